// The Fleet tab of the main window: one tab per fleet with a device online, one tab per device in it,
// the device's details and its remote UI, remote CAN and remove controls.
#include "ui/fleettab.h"

#include <cstdio>
#include <cstring>

#include "online/fleet.h"
#include "ui/krui.h"
#include "online/mqtt.h"
#include "online/remotecan.h"
#include "ui/kr_uiwidgets.h"
#include "kr_bytes.h"

namespace {

constexpr int16_t MARGIN = 10, BUTTON_H = 44;
constexpr int FLEET_TABS_MAX = 16, DEV_TABS_MAX = 64;

bool shown = false;
kr_uitabwindow_st *main_tab = nullptr;

kr_uitabwindow_st fleet_tabs;
kr_uiobject_st *fleet_tab_children[2];
char fleet_labels[FLEET_TABS_MAX][72];
const char *fleet_label_ptrs[FLEET_TABS_MAX];
int fleet_of_tab[FLEET_TABS_MAX];
uint16_t fleet_tab_count = 0;
bool fleet_tabs_built = false;

kr_uitabwindow_st dev_tabs;
kr_uiobject_st *dev_tab_children[10];
char dev_labels[DEV_TABS_MAX][64];
const char *dev_label_ptrs[DEV_TABS_MAX];
uint16_t dev_tab_count = 0;

int16_t sel_fleet = -1, sel_dev = -1;

kr_uilabel_st detail_label;
char detail_text[1024];
kr_uibutton_st ui_btn;
char ui_btn_text[32];
kr_uimediabutton_st remove_btn;
kr_uitogglebutton_st can_toggle;
kr_uicheckbox_st std_box, ext_box, sdo_box;
kr_uilabel_st no_dev_label;
kr_uilabel_st placeholder;
char placeholder_text[320];

const kr_uistyle_st *style(void) { return &kr_uistyles[0]; }

template <typename T> void zero(T &record) { std::memset((void *)&record, 0, sizeof record); }

void add_placeholder(const char *text, int16_t w, int16_t h)
{
    kr_copy_text(placeholder_text, sizeof placeholder_text, text);
    zero(placeholder);
    kr_uilabel_init(&placeholder, style()->font, ALIGN_TOP_LEFT, style()->text_color, placeholder_text);
    kr_uiwindow_addxy(&main_tab->super, &placeholder.super, MARGIN, MARGIN, (int16_t)(w - 20), (int16_t)(h - 20));
}

// Fleets with a device online: "main" first, then the others in the broker's order.
int list_fleets(int *out)
{
    int n = 0;
    uint32_t count = mqtt_get_fleet_count();
    if (count > MQTT_MAX_FLEETS) count = MQTT_MAX_FLEETS;
    for (int pass = 0; pass < 2; ++pass)
        for (uint32_t f = 0; f < count && n < FLEET_TABS_MAX; ++f) {
            const bool is_main = std::strcmp(mqtt_get_fleet_name((uint8_t)f), FLEET_MAIN_NAME) == 0;
            if (is_main != (pass == 0) || mqtt_get_online_count((uint8_t)f) == 0) continue;
            out[n++] = (int)f;
        }
    return n;
}

void fleet_label(int f, char *buf, size_t len)
{
    std::snprintf(buf, len, "%s (%u)", mqtt_get_fleet_name((uint8_t)f), mqtt_get_online_count((uint8_t)f));
}

bool have_device(void) { return dev_tab_count > 0 && sel_fleet >= 0 && sel_dev >= 0; }

void refresh_controls(void)
{
    if (!have_device()) return;
    const uint8_t f = (uint8_t)sel_fleet, d = (uint8_t)sel_dev;
    const bool connected = mqtt_is_connected();
    const bool heard = mqtt_get_dev_msg_count(f, d) > 0;
    const bool mirrors = fleet_ui_shows(f, d);
    kr_copy_text(ui_btn_text, sizeof ui_btn_text, mirrors ? "Kill remote UI" : "Open remote UI");
    kr_uibutton_set_text(&ui_btn, ui_btn_text);
    kr_ui_set_enabled(&ui_btn.super, (connected && heard) || mirrors);
    can_toggle.state = remotecan_shows(f, d);
    kr_ui_set_enabled(&can_toggle.super.super, (connected && heard) || remotecan_is_active());
    std_box.super.state = remotecan_get_allow_std();
    ext_box.super.state = remotecan_get_allow_ext();
    sdo_box.super.state = remotecan_get_sdo_only();
    kr_ui_refresh(&can_toggle.super.super);
    kr_ui_refresh(&std_box.super.super.super);
    kr_ui_refresh(&ext_box.super.super.super);
    kr_ui_refresh(&sdo_box.super.super.super);
}

void show_device_page(void)
{
    kr_uitabwindow_clear(&dev_tabs);
    const kr_bounding_box_st page = kr_uitabwindow_get_contentbb(&dev_tabs);
    const uint8_t f = (uint8_t)sel_fleet, d = (uint8_t)sel_dev;
    int16_t h = (int16_t)(page.h - 74);
    if (h < 44) h = 44;
    fleet_dev_info(f, d, detail_text, sizeof detail_text);
    zero(detail_label);
    kr_uilabel_init(&detail_label, &mono_font16, ALIGN_TOP_LEFT, style()->text_color, detail_text);
    kr_uiwindow_addxy(&dev_tabs.super, &detail_label.super, MARGIN, MARGIN, (int16_t)(page.w - 20), h);
    const int16_t y = (int16_t)(h + 20);
    zero(ui_btn);
    std::snprintf(ui_btn_text, sizeof ui_btn_text, "Open remote UI");
    kr_uibutton_init(&ui_btn, ui_btn_text, style());
    kr_uiwindow_addxy(&dev_tabs.super, &ui_btn.super, 10, y, 220, BUTTON_H);
    zero(remove_btn);
    kr_uimediabutton_init(&remove_btn, "Remove Device", krui_get_remove_media(), style());
    kr_uiwindow_addxy(&dev_tabs.super, &remove_btn.super.super.super, 240, y, 220, BUTTON_H);
    zero(can_toggle);
    kr_uitogglebutton_init(&can_toggle, false, "Remote CAN", style());
    kr_uiwindow_addxy(&dev_tabs.super, &can_toggle.super.super, 470, y, 220, BUTTON_H);
    zero(std_box);
    zero(ext_box);
    zero(sdo_box);
    kr_uicheckbox_init(&std_box, false, "STD", style());
    kr_uicheckbox_init(&ext_box, false, "EXT", style());
    kr_uicheckbox_init(&sdo_box, false, "SDO only", style());
    kr_uiwindow_addxy(&dev_tabs.super, &std_box.super.super.super, 700, y, 132, BUTTON_H);
    kr_uiwindow_addxy(&dev_tabs.super, &ext_box.super.super.super, 842, y, 132, BUTTON_H);
    kr_uiwindow_addxy(&dev_tabs.super, &sdo_box.super.super.super, 984, y, 132, BUTTON_H);
    refresh_controls();
    kr_ui_refresh(&dev_tabs.super.super);
}

// The selected fleet's page: a tab per device, or the text that there is none.
void show_devices(void)
{
    kr_uitabwindow_clear(&fleet_tabs);
    const kr_bounding_box_st page = kr_uitabwindow_get_contentbb(&fleet_tabs);
    uint32_t n = mqtt_get_dev_count((uint8_t)sel_fleet);
    if (n > DEV_TABS_MAX) n = DEV_TABS_MAX;
    dev_tab_count = (uint16_t)n;
    if (n == 0) {
        sel_dev = -1;
        zero(no_dev_label);
        kr_uilabel_init(&no_dev_label, style()->font, ALIGN_TOP_LEFT, style()->text_color,
                        "No devices seen in this fleet yet.");
        kr_uiwindow_addxy(&fleet_tabs.super, &no_dev_label.super, MARGIN, MARGIN, (int16_t)(page.w - 20),
                          (int16_t)(page.h - 20));
        kr_ui_refresh(&fleet_tabs.super.super);
        return;
    }
    for (uint32_t d = 0; d < n; ++d) {
        const char *ident = mqtt_get_dev_ident((uint8_t)sel_fleet, (uint8_t)d);
        kr_copy_text(dev_labels[d], sizeof dev_labels[d],
                     ident[0] ? ident : mqtt_get_dev_name((uint8_t)sel_fleet, (uint8_t)d));
        dev_label_ptrs[d] = dev_labels[d];
    }
    if (sel_dev >= (int16_t)n) sel_dev = (int16_t)(n - 1);
    if (sel_dev < 0) sel_dev = 0;
    zero(dev_tabs);
    std::memset(dev_tab_children, 0, sizeof dev_tab_children);
    kr_uitabwindow_init(&dev_tabs, (uint16_t)n, style(), dev_tab_children, dev_label_ptrs);
    kr_uiwindow_set_transparent(&dev_tabs.super, true);
    dev_tabs.active_tab = (uint16_t)sel_dev;
    kr_uiwindow_addxy(&fleet_tabs.super, &dev_tabs.super.super, 0, 0, page.w, page.h);
    show_device_page();
    kr_ui_refresh(&fleet_tabs.super.super);
}

void show_fleets(const int *listed, int count, int16_t w, int16_t h)
{
    fleet_tab_count = (uint16_t)count;
    bool still = false;
    for (int i = 0; i < count; ++i) {
        fleet_of_tab[i] = listed[i];
        fleet_label(listed[i], fleet_labels[i], sizeof fleet_labels[i]);
        fleet_label_ptrs[i] = fleet_labels[i];
        still |= listed[i] == sel_fleet;
    }
    if (!still) {
        sel_fleet = (int16_t)listed[0];
        sel_dev = 0;
    }
    zero(fleet_tabs);
    std::memset(fleet_tab_children, 0, sizeof fleet_tab_children);
    kr_uitabwindow_init(&fleet_tabs, (uint16_t)count, style(), fleet_tab_children, fleet_label_ptrs);
    kr_uiwindow_set_transparent(&fleet_tabs.super, true);
    for (int i = 0; i < count; ++i)
        if (fleet_of_tab[i] == sel_fleet) fleet_tabs.active_tab = (uint16_t)i;
    kr_uiwindow_addxy(&main_tab->super, &fleet_tabs.super.super, MARGIN, MARGIN, (int16_t)(w - 20), (int16_t)(h - 20));
    fleet_tabs_built = true;
    show_devices();
}

bool take_click(kr_uibutton_st *b)
{
    if (b->state != UIBUTTON_CLICKED) return false;
    b->state = UIBUTTON_UP; // handled once, however often the loop passes before the next touch
    return true;
}

} // namespace

void fleettab_show(kr_uitabwindow_st *tabwin)
{
    main_tab = tabwin;
    fleet_tabs_built = false;
    dev_tab_count = 0;
    fleet_tab_count = 0;
    if (!tabwin) return;
    const kr_bounding_box_st content = kr_uitabwindow_get_contentbb(tabwin);
    const int16_t w = content.w, h = (int16_t)(content.h - 20);
    int listed[FLEET_TABS_MAX];
    int count = 0;
    if (!mqtt_is_supported())
        add_placeholder("The fleet view needs an MQTT connection, which is not available in the Linux build.", w, h);
    else if (!mqtt_is_connected())
        add_placeholder("Not connected to the fleet broker. Enter your account on the Settings tab, in its Account "
                        "panel, and connect there.",
                        w, h);
    else if (mqtt_get_fleet_count() == 0)
        add_placeholder("Connected to broker. No fleets seen yet - a fleet appears once one of its devices publishes "
                        "something.",
                        w, h);
    else if ((count = list_fleets(listed)) > 0)
        show_fleets(listed, count, w, h);
    else
        add_placeholder("Connected to broker. None of the fleets has a device online - a fleet is shown while at "
                        "least one of its devices is online.",
                        w, h);
    shown = true;
}

void fleettab_set_shown(bool value) { shown = value; }

bool fleettab_step(void)
{
    bool rebuild = false;
    if (fleet_step() && shown && dev_tab_count > 0) refresh_controls();

    if (shown && fleet_tabs_built && fleet_tabs.active_tab < fleet_tab_count &&
        fleet_of_tab[fleet_tabs.active_tab] != sel_fleet) {
        sel_fleet = (int16_t)fleet_of_tab[fleet_tabs.active_tab];
        sel_dev = 0;
        show_devices();
    }
    if (shown && have_device()) {
        const uint8_t f = (uint8_t)sel_fleet, d = (uint8_t)sel_dev;
        if (dev_tabs.active_tab < dev_tab_count && dev_tabs.active_tab != (uint16_t)sel_dev) {
            sel_dev = (int16_t)dev_tabs.active_tab;
            show_device_page();
        } else if (take_click(&ui_btn)) {
            if (fleet_ui_shows(f, d))
                fleet_ui_stop();
            else
                fleet_ui_start(f, d);
            refresh_controls();
        } else if (can_toggle.state != remotecan_shows(f, d)) {
            if (can_toggle.state)
                remotecan_start(f, d);
            else
                remotecan_stop();
            refresh_controls();
            rebuild = true;
        } else if (std_box.super.state != remotecan_get_allow_std() ||
                   ext_box.super.state != remotecan_get_allow_ext() ||
                   sdo_box.super.state != remotecan_get_sdo_only()) {
            remotecan_set_allow_std(std_box.super.state);
            remotecan_set_allow_ext(ext_box.super.state);
            remotecan_set_sdo_only(sdo_box.super.state);
            refresh_controls();
            rebuild = true;
        } else if (take_click(&remove_btn.super.super)) {
            if (fleet_remove_dev(f, d)) {
                if (sel_dev > 0) --sel_dev;
                rebuild = true;
            }
        }
        if (have_device() && !rebuild) {
            char text[sizeof detail_text];
            fleet_dev_info((uint8_t)sel_fleet, (uint8_t)sel_dev, text, sizeof text);
            if (std::strcmp(text, detail_text) != 0) {
                std::memcpy(detail_text, text, sizeof detail_text);
                kr_uilabel_set_text(&detail_label, detail_text);
                kr_ui_refresh(&detail_label.super);
            }
        }
    }
    if (shown && mqtt_is_connected()) {
        int listed[FLEET_TABS_MAX];
        const int count = list_fleets(listed);
        if (!fleet_tabs_built && count > 0) rebuild = true;
        if (fleet_tabs_built &&
            (count != fleet_tab_count || std::memcmp(listed, fleet_of_tab, sizeof(int) * (size_t)count) != 0))
            rebuild = true;
    }
    if (shown && fleet_tabs_built && !rebuild) {
        bool changed = false;
        for (uint16_t i = 0; i < fleet_tab_count; ++i) {
            char label[sizeof fleet_labels[0]];
            fleet_label(fleet_of_tab[i], label, sizeof label);
            if (std::strcmp(label, fleet_labels[i]) != 0) {
                std::memcpy(fleet_labels[i], label, sizeof label);
                changed = true;
            }
        }
        if (changed) kr_ui_refresh(&fleet_tabs.super.super);
    }
    return mqtt_poll_changed() || rebuild;
}

fleettab_parts fleettab_test_parts(void)
{
    fleettab_parts p;
    std::memset(&p, 0, sizeof p);
    p.placeholder = shown && !fleet_tabs_built ? placeholder_text : nullptr;
    p.fleet_tabs = fleet_tabs_built ? &fleet_tabs : nullptr;
    p.fleet_tab_count = fleet_tabs_built ? fleet_tab_count : 0;
    p.dev_tabs = have_device() ? &dev_tabs : nullptr;
    p.detail = have_device() ? detail_text : nullptr;
    p.ui_btn = &ui_btn;
    p.remove_btn = &remove_btn.super.super;
    p.can_toggle = &can_toggle;
    p.std_box = &std_box;
    p.ext_box = &ext_box;
    p.sdo_box = &sdo_box;
    p.fleet = sel_fleet;
    p.device = sel_dev;
    return p;
}
