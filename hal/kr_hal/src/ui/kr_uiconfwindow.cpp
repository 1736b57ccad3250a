// The CAN configuration window: device, bit rate, virtual bus creation, OK.
#include "ui/kr_uiconfwindow.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kr_bytes.h"
#include "kr_can.h"
#include "kr_rtos.h"
#include "kr_ui.h"
#include "ui/kr_uicontainers.h"
#include "ui/kr_uidisplay.h"
#include "ui/kr_uitextedit.h"
#include "ui/kr_uiwidgets.h"

namespace {

constexpr uint16_t STEP_MS = 20;
const char *const SOCKETCAND_PREFIX = "socketcand://";
constexpr uint8_t BAUD_COUNT = 4;
const char *const baud_listbutton_content[BAUD_COUNT] = {"125k", "250k", "500k", "1M"};
const uint32_t baud_listbutton_values[BAUD_COUNT] = {125000, 250000, 500000, 1000000};
const char *const layout_str = "#3can|#2baud\n#3vcanname|#2vcanbtn\nvcanstatus\n#4nc|close";

struct confwindow_st {
    bool terminate;
    bool rebuild;
    kr_uidisplay_st display;
    kr_uiobject_st *display_buffer[10];
    kr_uilistbutton_st can_listbutton;
    const char *can_listbutton_content[CONFWINDOW_MAX_CAN_DEVS];
    char can_listbutton_names[CONFWINDOW_MAX_CAN_DEVS][KR_CAN_DEV_NAME_LEN];
    uint8_t can_listbutton_count;
    kr_uilistbutton_st baud_listbutton;
    kr_uitextedit_st vcan_textedit;
    char vcan_name[KR_CAN_DEV_NAME_LEN]; // a bus to create, or a socketcand address to use
    kr_uibutton_st vcan_button;
    kr_uilabel_st vcan_status;
    char vcan_status_str[160];
    kr_uibutton_st ok_button;
    const kr_uistyle_st *style;
};

confwindow_st cw;

uint8_t baud_index_for(const char *dev)
{
    const uint32_t rate = kr_can_get_netdev_baudrate(dev);
    uint8_t def = 1;
    for (uint8_t i = 0; i < BAUD_COUNT; ++i) {
        if (baud_listbutton_values[i] == rate) return i;
        if (baud_listbutton_values[i] == BAUD_LISTBUTTON_DEFAULT) def = i;
    }
    return def;
}

// "vcan" followed by decimal digits to the end; -1 for other names and numbers too large to follow.
long vcan_number(const char *name)
{
    if (std::strncmp(name, "vcan", 4) != 0) return -1;
    const char *d = name + 4;
    if (*d < '0' || *d > '9') return -1;
    for (const char *p = d; *p; ++p)
        if (*p < '0' || *p > '9') return -1;
    errno = 0;
    const long n = std::strtol(d, nullptr, 10);
    if (errno == ERANGE || n >= INT_MAX) return -1; // the next number would not fit
    return n;
}

void add_device(const char *name, size_t max_len)
{
    if (cw.can_listbutton_count >= CONFWINDOW_MAX_CAN_DEVS) return;
    char *dst = cw.can_listbutton_names[cw.can_listbutton_count];
    kr_copy_text(dst, max_len, name);
    cw.can_listbutton_content[cw.can_listbutton_count] = dst;
    cw.can_listbutton_count++;
}

kr_uiobject_ret_e confwindow_step(void *, uint16_t)
{
    if (cw.can_listbutton.super.state == UIBUTTON_CLICKED) {
        const char *dev = kr_uilistbutton_entry(&cw.can_listbutton, cw.can_listbutton.current_index);
        kr_can_set_dev(dev);
        const uint8_t bi = baud_index_for(dev);
        if (bi != cw.baud_listbutton.current_index) kr_ui_refresh(&cw.baud_listbutton.super.super);
        cw.baud_listbutton.current_index = bi;
        kr_can_set_baudrate(kr_can_get_dev(), baud_listbutton_values[bi]);
    }
    if (cw.baud_listbutton.super.state == UIBUTTON_CLICKED)
        kr_can_set_baudrate(kr_can_get_dev(), baud_listbutton_values[cw.baud_listbutton.current_index]);
    if (cw.vcan_button.state == UIBUTTON_CLICKED && std::strncmp(cw.vcan_name, SOCKETCAND_PREFIX, 13) == 0) {
        // A bus reached over the network is used, not created.
        if (kr_can_set_dev(cw.vcan_name)) {
            std::snprintf(cw.vcan_status_str, sizeof cw.vcan_status_str, "Using '%.120s'.", cw.vcan_name);
            std::printf("Using the CAN bus '%s'\n", cw.vcan_name);
            cw.rebuild = true;
        } else {
            std::snprintf(cw.vcan_status_str, sizeof cw.vcan_status_str, "'%.120s' cannot be used.", cw.vcan_name);
            kr_ui_refresh(&cw.vcan_status.super);
        }
        std::fflush(stdout);
    } else if (cw.vcan_button.state == UIBUTTON_CLICKED) {
        char name[CONFWINDOW_IFNAME_LEN];
        kr_copy_text(name, sizeof name, cw.vcan_name);
        char err[128] = "";
        if (kr_can_create_vcan(name, err, sizeof err)) {
            std::snprintf(cw.vcan_status_str, sizeof cw.vcan_status_str, "Created '%s'.", name);
            std::printf("Created virtual CAN bus '%s'\n", name);
            std::fflush(stdout);
            kr_can_set_dev(name);
            cw.rebuild = true;
        } else {
            kr_copy_text(cw.vcan_status_str, sizeof cw.vcan_status_str, err);
            std::printf("Could not create virtual CAN bus '%s': %s\n", name, err);
            std::fflush(stdout);
            kr_ui_refresh(&cw.vcan_status.super);
        }
    }
    if (cw.ok_button.state == UIBUTTON_CLICKED) {
        kr_can_set_dev(kr_uilistbutton_entry(&cw.can_listbutton, cw.can_listbutton.current_index));
        kr_can_set_baudrate(kr_can_get_dev(), baud_listbutton_values[cw.baud_listbutton.current_index]);
        cw.terminate = true;
    }
    return UIOBJECT_RETURN_ALIVE;
}

void build(const kr_uistyle_st *style)
{
    kr_uidisplay_init(&cw.display, cw.display_buffer, style);
    kr_uiwindow_set_stepcallback(&cw.display.super, confwindow_step, nullptr);
    kr_uistrlayout_st layout;
    kr_uistrlayout_init(&layout, layout_str, 0, 0, UI_SCREEN_WIDTH, UI_SCREEN_HEIGHT, 5, 5);

    const char *cur = kr_can_get_dev();
    kr_can_set_baudrate(cur, kr_can_get_baudrate(cur));

    // Real adapters first, then virtual buses.
    cw.can_listbutton_count = 0;
    const int32_t n = kr_can_get_device_count();
    for (int pass = 0; pass < 2; ++pass)
        for (int32_t i = 0; i < n; ++i) {
            const char *name = kr_can_get_device_name(i);
            if (!name || !kr_can_device_is_can(name)) continue;
            if (kr_can_device_is_virtual(name) == (pass == 0)) continue;
            add_device(name, CONFWINDOW_IFNAME_LEN);
        }
    // A socketcand bus is no interface of this machine: listed when it is the one in use.
    cur = kr_can_get_dev();
    if (cur && std::strncmp(cur, SOCKETCAND_PREFIX, 13) == 0) add_device(cur, KR_CAN_DEV_NAME_LEN);
    uint8_t selected = 0;
    cur = kr_can_get_dev();
    for (uint8_t i = 0; i < cw.can_listbutton_count; ++i)
        if (cur && std::strcmp(cw.can_listbutton_names[i], cur) == 0) {
            selected = i;
            break;
        }
    if (cw.can_listbutton_count == 0) {
        cw.can_listbutton_content[0] = "NONE";
        cw.can_listbutton_count = 1;
    }
    kr_uilistbutton_init(&cw.can_listbutton, cw.can_listbutton_content, cw.can_listbutton_count, selected, style);
    cw.can_listbutton.title = "CAN dev:";
    kr_uiwindow_add(&cw.display.super, &cw.can_listbutton.super.super, kr_uistrlayout_find(&layout, "can"));

    kr_uilistbutton_init(&cw.baud_listbutton, baud_listbutton_content, BAUD_COUNT,
                         baud_index_for(kr_uilistbutton_entry(&cw.can_listbutton, selected)), style);
    cw.baud_listbutton.title = "CAN baudrate:";
    kr_uiwindow_add(&cw.display.super, &cw.baud_listbutton.super.super, kr_uistrlayout_find(&layout, "baud"));

    long highest = -1;
    for (int32_t i = 0; i < n; ++i) {
        const char *name = kr_can_get_device_name(i);
        const long v = name ? vcan_number(name) : -1;
        if (v > highest) highest = v;
    }
    std::snprintf(cw.vcan_name, sizeof cw.vcan_name, "vcan%d", (int)(highest + 1));
    kr_uitextedit_init(&cw.vcan_textedit, cw.vcan_name, sizeof cw.vcan_name, UITEXTEDIT_FLAG_NONE, style);
    cw.vcan_textedit.title = "Virtual CAN-bus name, or socketcand://HOST[:PORT]/BUS to use:";
    kr_uiwindow_add(&cw.display.super, &cw.vcan_textedit.super.super, kr_uistrlayout_find(&layout, "vcanname"));

    kr_uibutton_init(&cw.vcan_button, "Create virtual CAN-bus", style);
    kr_uiwindow_add(&cw.display.super, &cw.vcan_button.super, kr_uistrlayout_find(&layout, "vcanbtn"));

    kr_uilabel_init(&cw.vcan_status, style->font, ALIGN_CENTER_LEFT, style->text_color, cw.vcan_status_str);
    kr_uiwindow_add(&cw.display.super, &cw.vcan_status.super, kr_uistrlayout_find(&layout, "vcanstatus"));

    kr_uibutton_init(&cw.ok_button, "OK", style);
    kr_uiwindow_add(&cw.display.super, &cw.ok_button.super, kr_uistrlayout_find(&layout, "close"));
    kr_uiwindow_set_focus(&cw.ok_button.super);
}

} // namespace

extern "C" {

bool kr_uiconfwindow_run(const kr_uistyle_st *style)
{
    if (!style) style = &uistyle;
    if (!kr_ui_init()) {
        // Without a window nobody could ever press OK.
        std::printf("Could not open the CAN configuration window: %s\n",
                    std::getenv("DISPLAY") && *std::getenv("DISPLAY") ? "the display refused the window"
                                                                      : "no display (DISPLAY is not set)");
        std::fflush(stdout);
        return false;
    }
    std::memset(&cw, 0, sizeof cw);
    cw.style = style;
    build(style);
    for (;;) {
        kr_uidisplay_step(&cw.display, STEP_MS);
        if (cw.terminate) break;
        if (cw.rebuild) {
            cw.rebuild = false;
            build(style);
        }
        kr_rtos_task_delay(STEP_MS);
    }
    kr_ui_destroy();
    std::printf("Closed the configuration UI\n");
    std::fflush(stdout);
    return true;
}

} // extern "C"
