// The Settings main tab: account, software, CAN interface and the parameter-file batch.
#include "ui/settingstab.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <vector>

#include "online/account.h"
#include "ui/devicetab.h"
#include "online/fleet.h"
#include "kr_bytes.h"
#include "kr_can.h"
#include "kr_rtos.h"
#include "ui/krui.h"
#include "params/loadparam.h"
#include "run/main.h"
#include "online/mqtt.h"
#include "online/remotefiles.h"
#include "online/selfupdate.h"
#include "settingstab_internal.h"
#include "ui/kr_uifiledialog.h"
#include "ui/kr_uitextedit.h"
#include "ui/kr_uiwidgets.h"

namespace {

constexpr uint32_t PARAMS_MAX = SETTINGSTAB_PARAMS_MAX;
constexpr uint32_t PATH_LEN = SETTINGSTAB_PARAM_PATH_LEN;
constexpr uint32_t CANBUS_MAX = SETTINGSTAB_CANBUS_MAX;
constexpr int16_t ROW_PITCH = 48;
constexpr int16_t ROW_H = 44;
constexpr uint32_t RESCAN_MS = 2000;
constexpr size_t DIALOG_LEN = 8192;
constexpr size_t STATUS_LINE = 192; // 191 characters
constexpr color_t GREEN = 0xFF22B14C;
constexpr color_t RED = 0xFFE02020;

struct content_st {
    kr_uiframewindow_st account_frame;
    kr_uiobject_st *account_children[9];
    kr_uitextedit_st account_url, account_fleet_url, account_user, account_pass;
    kr_uibutton_st account_connect_btn;
    kr_uilabel_st account_status, account_status_fleet;
    char account_status_str[256], account_status_fleet_str[256];

    kr_uiframewindow_st software_frame;
    kr_uiobject_st *software_children[5];
    kr_uilabel_st version_label;
    char version_str[128];
    kr_uicheckbox_st updates_check;
    kr_uibutton_st notes_btn;

    kr_uiframewindow_st canbus_frame;
    kr_uiobject_st *canbus_children[4];
    kr_uilistbutton_st canbus_list, canbus_baud_list;
    kr_uibutton_st canbus_apply_btn;

    kr_uiframewindow_st params_frame;
    kr_uiobject_st *params_children[5];
    kr_uiwindow_st params_list;
    kr_uiobject_st *params_list_children[130];
    kr_uilabel_st params_empty;
    kr_uilabel_st param_labels[PARAMS_MAX];
    kr_uibutton_st param_up_btns[PARAMS_MAX], param_down_btns[PARAMS_MAX], param_remove_btns[PARAMS_MAX];
    kr_uibutton_st params_add_btn, params_load_btn;
};

content_st content;
const kr_uistyle_st *style = &kr_uistyles[0];

char param_files[PARAMS_MAX][PATH_LEN];
uint8_t param_file_count = 0;
bool params_loading = false;
bool params_stopping = false;
bool shown = false;

// Names of up to 63 characters: a socketcand channel in use is shown and applied whole.
char canbus_names[CANBUS_MAX][KR_CAN_DEV_NAME_LEN];
const char *canbus_content[CANBUS_MAX];
uint8_t canbus_count = 0;
uint32_t canbus_rescan_tick = 0;
const uint32_t canbus_bauds[4] = {125000, 250000, 500000, 1000000};
const char *const canbus_baud_content[4] = {"125k", "250k", "500k", "1M"};

char account_url_buf[CREDENTIALS_TEXT_LEN], account_fleet_url_buf[CREDENTIALS_TEXT_LEN];
char account_user_buf[CREDENTIALS_TEXT_LEN], account_pass_buf[CREDENTIALS_TEXT_LEN];
bool account_seeded = false;
bool account_edited[4]; // latched from the edits' changed flags during the step walk
char account_err[256];
mqtt_state_e account_last_mqtt = MQTT_STATE_DISCONNECTED;
bool account_autoconnect_tried = false;
bool account_connect_by_user = false;
volatile bool account_connecting = false;
volatile bool account_connect_done = false;
char account_task_url[CREDENTIALS_TEXT_LEN], account_task_fleet_url[CREDENTIALS_TEXT_LEN];
char account_task_user[CREDENTIALS_TEXT_LEN], account_task_pass[CREDENTIALS_TEXT_LEN];
fleet_login_st account_task_result;

const kr_uifileedit_filter_st PARAM_FILE_FILTERS[2] = {{"Parameter files", "*.json *.yaml *.yml"}, {"All files", "*"}};

void set_enabled(kr_uiobject_st *o, bool on)
{
    if (o->enabled != on) kr_ui_set_enabled(o, on);
}

bool clicked(const kr_uibutton_st &b) { return b.super.enabled && b.state == UIBUTTON_CLICKED; }

// ---- Account ----

void account_refresh_status()
{
    if (!shown) return;
    content_st &c = content;
    char line[STATUS_LINE];
    color_t files_c = style->text_color;
    if (account_connecting) {
        std::snprintf(line, sizeof line, "Files: connecting to %.100s...", credentials_get_url());
    } else if (remotefiles_is_logged_in()) {
        std::snprintf(line, sizeof line, "Files: connected to %.100s as '%.60s'", credentials_get_url(),
                      credentials_get_username());
        files_c = GREEN;
    } else if (account_err[0]) {
        std::snprintf(line, sizeof line, "Files: %.180s", account_err);
        files_c = RED;
    } else {
        std::snprintf(line, sizeof line, "Files: not connected");
    }
    kr_copy_text(c.account_status_str, sizeof c.account_status_str, line);
    kr_uilabel_set_text(&c.account_status, c.account_status_str);
    kr_uilabel_set_color(&c.account_status, files_c);

    const mqtt_state_e st = mqtt_get_state();
    color_t fleet_c = style->text_color;
    if (st == MQTT_STATE_CONNECTED)
        std::snprintf(line, sizeof line, "Fleet: connected to %s as '%s'", credentials_fleet_get_url(),
                      credentials_get_username());
    else if (account_connecting || st == MQTT_STATE_CONNECTING)
        std::snprintf(line, sizeof line, "Fleet: connecting to %s...", credentials_fleet_get_url());
    else if (st == MQTT_STATE_ERROR)
        std::snprintf(line, sizeof line, "Fleet: %s", mqtt_get_error());
    else
        std::snprintf(line, sizeof line, "Fleet: not connected");
    if (mqtt_is_connected())
        fleet_c = GREEN;
    else if (st == MQTT_STATE_ERROR && !account_connecting)
        fleet_c = RED;
    kr_copy_text(c.account_status_fleet_str, sizeof c.account_status_fleet_str, line);
    kr_uilabel_set_text(&c.account_status_fleet, c.account_status_fleet_str);
    kr_uilabel_set_color(&c.account_status_fleet, fleet_c);
    kr_ui_refresh(&c.account_status.super);
    kr_ui_refresh(&c.account_status_fleet.super);

    set_enabled(&c.account_connect_btn.super,
                !account_connecting && !(remotefiles_is_logged_in() && mqtt_is_connected()));
    for (kr_uitextedit_st *e : {&c.account_url, &c.account_fleet_url, &c.account_user, &c.account_pass})
        set_enabled(&e->super.super, !account_connecting);
}

void account_connect_task(void *)
{
    fleet_login(account_task_url, account_task_fleet_url, account_task_user, account_task_pass, &account_task_result);
    account_connect_done = true;
    kr_rtos_task_delete(nullptr);
}

void account_connect(bool by_user)
{
    if (account_connecting) return;
    kr_copy_text(account_task_url, sizeof account_task_url, credentials_get_url());
    kr_copy_text(account_task_fleet_url, sizeof account_task_fleet_url, credentials_fleet_get_url());
    kr_copy_text(account_task_user, sizeof account_task_user, credentials_get_username());
    kr_copy_text(account_task_pass, sizeof account_task_pass, credentials_get_password());
    std::memset(&account_task_result, 0, sizeof account_task_result);
    account_err[0] = 0;
    mqtt_disconnect();
    account_connect_done = false;
    account_connecting = true;
    account_connect_by_user = by_user;
    if (kr_rtos_task_create(account_connect_task, "account_connect", 51200, nullptr, 2, nullptr) != KR_RTOS_PASS) {
        account_connecting = false;
        kr_copy_text(account_err, sizeof account_err, "the login could not be started");
        job_error("The login could not be started.\n");
    }
}

void account_connect_finish()
{
    account_connecting = false;
    fleet_login_finish(&account_task_result);
    kr_copy_text(account_err, sizeof account_err, account_task_result.err);
    // A login the user asked for that did not get through is a failed job; the log and the account
    // panel said why.
    if (account_connect_by_user && (account_err[0] || !account_task_result.files_ok)) job_failed();
}

// A setter that could not write the account file leaves the value for this run only: say so.
void stored(bool ok, const char *what)
{
    if (ok) return;
    job_error("Could not store the %s: %s\n", what, credentials_last_error());
}

kr_uiobject_ret_e account_frame_step(void *, uint16_t)
{
    // An edit's changed flag lasts until its own step, which follows this one.
    kr_uitextedit_st *edits[4] = {&content.account_url, &content.account_fleet_url, &content.account_user,
                                  &content.account_pass};
    for (int i = 0; i < 4; ++i)
        if (edits[i]->changed) account_edited[i] = true;
    return UIOBJECT_RETURN_ALIVE;
}

void account_step()
{
    bool edited[4];
    std::memcpy(edited, account_edited, sizeof edited);
    std::memset(account_edited, 0, sizeof account_edited);
    if (account_connecting) return;
    bool any = false;
    if (edited[0]) {
        stored(credentials_set_url(account_url_buf), "file server URL");
        any = true;
    }
    if (edited[1]) {
        stored(credentials_fleet_set_url(account_fleet_url_buf), "fleet URL");
        mqtt_disconnect();
        any = true;
    }
    if (edited[2]) {
        stored(credentials_set_username(account_user_buf), "user name");
        any = true;
    }
    if (edited[3]) {
        stored(credentials_set_password(account_pass_buf), "password");
        any = true;
    }
    if (any) {
        if (remotefiles_is_logged_in()) {
            std::printf("File server: disconnected (account settings changed)\n");
            std::fflush(stdout);
        }
        remotefiles_logout();
        mqtt_disconnect();
        account_err[0] = 0;
        account_refresh_status();
    }
    if (clicked(content.account_connect_btn)) {
        account_connect(true);
        account_refresh_status();
    }
}

// ---- CAN interface ----

bool busy_elsewhere() { return devicetab_is_busy() || params_loading; }

// Lists the port's CAN interfaces, real ones first; true when the list changed.
bool canbus_scan()
{
    // Refreshing the port's list restores its channel and rate: not while a job uses the port.
    if (!busy_elsewhere()) kr_can_set_baudrate(kr_can_get_dev(), kr_can_get_baudrate(kr_can_get_dev()));
    char names[CANBUS_MAX][KR_CAN_DEV_NAME_LEN];
    uint32_t n = 0;
    const int32_t total = kr_can_get_device_count();
    for (int pass = 0; pass < 2; ++pass)
        for (int32_t i = 0; i < total && n < CANBUS_MAX; ++i) {
            const char *name = kr_can_get_device_name(i);
            if (!name || !name[0] || std::strlen(name) >= KR_CAN_DEV_NAME_LEN) continue;
            if (!kr_can_device_is_can(name) || kr_can_device_is_virtual(name) != (pass == 1)) continue;
            kr_copy_text(names[n++], KR_CAN_DEV_NAME_LEN, name);
        }
    const char *in_use = kr_can_get_dev();
    if (in_use && in_use[0] && std::strlen(in_use) < KR_CAN_DEV_NAME_LEN && n < CANBUS_MAX) {
        bool listed = false;
        for (uint32_t i = 0; i < n && !listed; ++i) listed = std::strcmp(names[i], in_use) == 0;
        if (!listed) kr_copy_text(names[n++], KR_CAN_DEV_NAME_LEN, in_use);
    }
    bool changed = n != canbus_count;
    for (uint32_t i = 0; i < n && !changed; ++i) changed = std::strcmp(names[i], canbus_names[i]) != 0;
    if (!changed) return false;
    std::memcpy(canbus_names, names, sizeof names);
    canbus_count = (uint8_t)n;
    for (uint32_t i = 0; i < CANBUS_MAX; ++i) canbus_content[i] = canbus_names[i];
    if (n == 0) canbus_content[0] = "None";
    return true;
}

int canbus_index_of(const char *name)
{
    for (uint32_t i = 0; i < canbus_count; ++i)
        if (std::strcmp(canbus_names[i], name) == 0) return (int)i;
    return -1;
}

void canbus_refresh_list(const char *before)
{
    int idx = canbus_index_of(before);
    if (idx < 0) idx = canbus_index_of(kr_can_get_dev());
    if (idx < 0) idx = 0;
    kr_uilistbutton_st &l = content.canbus_list;
    l.content = canbus_content;
    l.content_len = canbus_count ? canbus_count : 1;
    l.current_index = (uint8_t)idx;
    kr_ui_refresh(&l.super.super);
}

const char *canbus_shown()
{
    const uint8_t i = content.canbus_list.current_index;
    return i < canbus_count ? canbus_names[i] : "";
}

uint32_t canbus_baud_shown()
{
    const uint8_t i = content.canbus_baud_list.current_index;
    return i < 4 ? canbus_bauds[i] : 250000;
}

uint8_t canbus_baud_index_of(uint32_t baud)
{
    for (uint8_t i = 0; i < 4; ++i)
        if (canbus_bauds[i] == baud) return i;
    return 1;
}

void canbus_refresh_apply()
{
    const char *name = canbus_shown();
    const char *in_use = kr_can_get_dev();
    const bool differs = std::strcmp(name, in_use ? in_use : "") != 0 ||
                         canbus_baud_shown() != kr_can_get_baudrate(in_use);
    set_enabled(&content.canbus_apply_btn.super, name[0] && differs && !busy_elsewhere());
}

void canbus_apply(const char *name_in, uint32_t baud)
{
    char name[KR_CAN_DEV_NAME_LEN];
    kr_copy_text(name, sizeof name, name_in); // the list may change under a pointer into it
    const char *cur = kr_can_get_dev();
    std::printf("Changing the CAN interface from %s (%u) to %s (%u)...\n", cur, (unsigned)kr_can_get_baudrate(cur),
                name, (unsigned)baud);
    std::fflush(stdout);
    kr_can_close();
    kr_copy_text(dev.can_channel, sizeof dev.can_channel, name);
    dev.baudrate = baud;
    kr_can_set_dev(dev.can_channel);
    kr_can_set_baudrate(dev.can_channel, dev.baudrate);
    kr_can_clear_rx_buffer(dev.can_channel);
    const uint32_t os_rate = kr_can_get_netdev_baudrate(dev.can_channel);
    const char *err = kr_can_set_up(os_rate != 0 && os_rate != baud);
    if (err) {
        job_error("%s: %s\n", dev.can_channel, err);
    } else {
        std::printf("Using the CAN interface %s at %u baud.\n", dev.can_channel, (unsigned)dev.baudrate);
    }
    std::fflush(stdout);
}

// ---- Parameter list ----

const char *path_basename(const char *p)
{
    const char *b = p;
    for (const char *s = p; *s; ++s)
        if (*s == '/' || *s == '\\') b = s + 1;
    return b;
}

int param_file_cmp(const char *a, const char *b)
{
    const char *x = path_basename(a), *y = path_basename(b);
    for (;; ++x, ++y) {
        const int cx = std::tolower((unsigned char)*x), cy = std::tolower((unsigned char)*y);
        if (cx != cy) return cx < cy ? -1 : 1;
        if (!cx) break;
    }
    return std::strcmp(a, b);
}

void params_add(char *list)
{
    std::vector<const char *> taken;
    char *save = nullptr;
    for (char *p = strtok_r(list, "\n", &save); p; p = strtok_r(nullptr, "\n", &save)) {
        bool dup = false;
        for (uint32_t i = 0; i < param_file_count && !dup; ++i) dup = std::strcmp(param_files[i], p) == 0;
        for (const char *t : taken)
            if (!dup) dup = std::strcmp(t, p) == 0;
        if (dup) continue;
        if (std::strlen(p) >= PATH_LEN) {
            std::printf("The path of the parameter file '%s' is too long to be loaded; it is not added.\n", p);
            continue;
        }
        if (param_file_count + taken.size() >= PARAMS_MAX) {
            std::printf("The list holds at most %u parameter files; '%s' is not added.\n", (unsigned)PARAMS_MAX, p);
            continue;
        }
        taken.push_back(p);
    }
    // Stable: equal names keep the dialog's order.
    for (size_t i = 1; i < taken.size(); ++i)
        for (size_t j = i; j > 0 && param_file_cmp(taken[j - 1], taken[j]) > 0; --j) std::swap(taken[j - 1], taken[j]);
    for (const char *t : taken) kr_copy_text(param_files[param_file_count++], PATH_LEN, t);
    std::fflush(stdout);
}

void arrow_draw(kr_uiobject_st *o, bool up)
{
    kr_uibutton_st *b = (kr_uibutton_st *)o;
    const int32_t x = kr_ui_get_xglobal(o), y = kr_ui_get_yglobal(o), w = o->bb.w, h = o->bb.h;
    const color_t face = b->state != UIBUTTON_UP ? kr_uic_brighten(b->main_c, 20) : b->main_c;
    kr_uibutton_draw_face(o, b->main_c, b->state != UIBUTTON_UP, face);
    if (o->focused) kr_uiobject_draw_focus(x, y, w, h, kr_uic_brighten(face, 120));
    const int32_t m = w < h ? w : h, cx = x + w / 2, cy = y + h / 2;
    const int32_t base_y = up ? cy + m / 8 : cy - m / 8, apex_y = up ? cy - m / 8 : cy + m / 8;
    const kr_ui_linestrip_point_st pts[3] = {{(int16_t)(cx - m / 4), (int16_t)base_y},
                                             {(int16_t)(cx + m / 4), (int16_t)base_y},
                                             {(int16_t)cx, (int16_t)apex_y}};
    kr_ui_draw_polygon(pts, 3, o->enabled ? b->text_c : kr_uic_brighten(b->main_c, 40));
}
void up_btn_draw(kr_uiobject_st *o, const kr_bounding_box_st *) { arrow_draw(o, true); }
void down_btn_draw(kr_uiobject_st *o, const kr_bounding_box_st *) { arrow_draw(o, false); }

void params_refresh_buttons()
{
    content_st &c = content;
    kr_uibutton_set_text(&c.params_load_btn, params_loading ? "Stop" : "Load parameters");
    set_enabled(&c.params_add_btn.super, !params_loading && param_file_count < PARAMS_MAX);
    set_enabled(&c.params_load_btn.super,
                !((!params_loading && param_file_count == 0) || (params_loading && params_stopping)));
}

void params_build_list()
{
    content_st &c = content;
    kr_uiwindow_st &l = c.params_list;
    kr_uiwindow_clear(&l);
    const int16_t lw = l.super.bb.w, lh = l.super.bb.h;
    if (param_file_count == 0) {
        std::memset(&c.params_empty, 0, sizeof c.params_empty);
        kr_uilabel_init(&c.params_empty, style->font, ALIGN_CENTER, style->text_color,
                        "No parameter files. Add them with \"Add parameter files\".");
        kr_uiwindow_addxy(&l, &c.params_empty.super, 0, 0, lw, lh);
        kr_uiwindow_set_contentbb(&l, lw, lh);
        return;
    }
    const int32_t rows_h = ROW_PITCH * param_file_count - 4;
    const int16_t w = (int16_t)(rows_h > lh ? lw - 10 : lw);
    for (uint32_t i = 0; i < param_file_count; ++i) {
        const int16_t y = (int16_t)(ROW_PITCH * i);
        kr_uilabel_st &lab = c.param_labels[i];
        std::memset(&lab, 0, sizeof lab);
        kr_uilabel_init(&lab, style->font, ALIGN_CENTER_LEFT, style->text_color, path_basename(param_files[i]));
        kr_uiwindow_addxy(&l, &lab.super, 10, y, (int16_t)(w - 254), ROW_H);
        kr_uibutton_st &up = c.param_up_btns[i], &down = c.param_down_btns[i], &rm = c.param_remove_btns[i];
        std::memset(&up, 0, sizeof up);
        std::memset(&down, 0, sizeof down);
        std::memset(&rm, 0, sizeof rm);
        kr_uibutton_init(&up, nullptr, style);
        up.super.vrtl_draw = up_btn_draw;
        kr_uibutton_init(&down, nullptr, style);
        down.super.vrtl_draw = down_btn_draw;
        kr_uibutton_init(&rm, "Remove", style);
        kr_uiwindow_addxy(&l, &up.super, (int16_t)(w - 240), y, 66, ROW_H);
        kr_uiwindow_addxy(&l, &down.super, (int16_t)(w - 170), y, 66, ROW_H);
        kr_uiwindow_addxy(&l, &rm.super, (int16_t)(w - 100), y, 100, ROW_H);
        kr_ui_set_enabled(&up.super, !params_loading && i > 0);
        kr_ui_set_enabled(&down.super, !params_loading && i + 1 < param_file_count);
        kr_ui_set_enabled(&rm.super, !params_loading);
    }
    kr_uiwindow_set_contentbb(&l, lw, (int16_t)(rows_h > lh ? rows_h : lh));
}

void params_rebuild()
{
    params_build_list();
    params_refresh_buttons();
    kr_ui_refresh(&content.params_frame.super.super);
}

void params_list_wheel_step()
{
    if (param_file_count == 0 || krui_log_is_expanded()) return;
    const int16_t steps = kr_ui_get_scroll();
    if (steps == 0) return;
    int32_t px = 0, py = 0;
    kr_ui_get_touch(&px, &py);
    const kr_uiobject_st &o = content.params_list.super;
    const int32_t x = kr_ui_get_xglobal(&o), y = kr_ui_get_yglobal(&o);
    if (px < x || px >= x + o.bb.w || py < y || py >= y + o.bb.h) return;
    kr_uiwindow_content_move(&content.params_list, 0, (int32_t)steps * ROW_PITCH);
    kr_ui_refresh(&content.params_list.super);
}

void params_step()
{
    content_st &c = content;
    if (params_loading) {
        if (clicked(c.params_load_btn) && !params_stopping) {
            loadparam_load_files_cancel();
            params_stopping = true;
            params_refresh_buttons();
        }
        return;
    }
    if (clicked(c.params_add_btn)) {
        static char answer[DIALOG_LEN];
        answer[0] = 0;
        if (kr_uifiledialog_exec_multi("Add parameter files", PARAM_FILE_FILTERS, 2, answer, sizeof answer))
            params_add(answer);
        params_rebuild();
        return;
    }
    if (clicked(c.params_load_btn) && param_file_count > 0) {
        const char *files[PARAMS_MAX];
        for (uint32_t i = 0; i < param_file_count; ++i) files[i] = param_files[i];
        krui_set_log_title("Loading parameter files...");
        if (loadparam_load_files_async(files, param_file_count)) {
            params_loading = true;
            params_stopping = false;
        } else {
            // The loader said why as an error: a batch that never ran is a failed job.
            krui_reset_log_title();
        }
        params_rebuild();
        return;
    }
    for (uint32_t i = 0; i < param_file_count; ++i) {
        if (clicked(c.param_up_btns[i]) && i > 0) {
            std::swap(param_files[i], param_files[i - 1]);
        } else if (clicked(c.param_down_btns[i]) && i + 1 < param_file_count) {
            std::swap(param_files[i], param_files[i + 1]);
        } else if (clicked(c.param_remove_btns[i])) {
            for (uint32_t j = i + 1; j < param_file_count; ++j)
                std::memcpy(param_files[j - 1], param_files[j], PATH_LEN);
            param_file_count--;
        } else {
            continue;
        }
        params_rebuild();
        return;
    }
}

void params_job_end()
{
    // The loader leaves its result in the run state: a stop or a skipped write is no success. The log
    // already holds why (the loader's error, or the stop).
    const bool ok = !params_stopping && dev.loadparam.success && loadparam_skipped_count() == 0;
    params_loading = false;
    params_stopping = false;
    krui_reset_log_title();
    if (!ok) job_failed();
    if (shown) params_rebuild();
}

// ---- Building ----

void add_text_edit(kr_uitextedit_st &e, char *buf, uint8_t flags, const char *title, int16_t x, int16_t y, int16_t w,
                   int16_t h)
{
    std::memset(&e, 0, sizeof e);
    kr_uitextedit_init(&e, buf, CREDENTIALS_TEXT_LEN, flags, style);
    e.title = title;
    e.super.align = ALIGN_CENTER_LEFT;
    kr_uiwindow_addxy(&content.account_frame.super, &e.super.super, x, y, w, h);
}

void init_frame(kr_uiframewindow_st &f, kr_uiobject_st **children, size_t n, const char *title)
{
    std::memset(&f, 0, sizeof f);
    std::memset(children, 0, n * sizeof *children);
    kr_uiframewindow_init(&f, children, style);
    kr_uiframewindow_set_title(&f, title);
}

kr_bounding_box_st frame_content(kr_uiframewindow_st &f) { return kr_uiframewindow_get_content_bb(&f); }

// Each frame's builder places its frame at y across the page, fw wide (ch: the font's line height),
// and returns where the next frame starts.
int16_t build_account_frame(kr_uitabwindow_st *tabwin, int16_t y, int16_t fw, int16_t ch)
{
    content_st &c = content;
    if (!account_seeded) {
        kr_copy_text(account_url_buf, sizeof account_url_buf, credentials_get_url());
        kr_copy_text(account_fleet_url_buf, sizeof account_fleet_url_buf, credentials_fleet_get_url());
        kr_copy_text(account_user_buf, sizeof account_user_buf, credentials_get_username());
        kr_copy_text(account_pass_buf, sizeof account_pass_buf, credentials_get_password());
        account_seeded = true;
    }
    std::memset(account_edited, 0, sizeof account_edited);
    const int16_t h = (int16_t)(4 * ch + 80);
    init_frame(c.account_frame, c.account_children, 9, "Account");
    kr_uiwindow_addxy(&tabwin->super, &c.account_frame.super.super, 10, y, fw, h);
    kr_uiwindow_set_stepcallback(&c.account_frame.super, account_frame_step, nullptr);
    const kr_bounding_box_st cb = frame_content(c.account_frame);
    const int16_t cw = cb.w;
    const int16_t r = (int16_t)((cb.h - 10) / 2);
    const int16_t a = (int16_t)((cw - 304) / 2), b = (int16_t)(((cw - 304) - a) / 2);
    add_text_edit(c.account_url, account_url_buf, UITEXTEDIT_FLAG_ONELINE, "File server URL", 0, 0, a, r);
    add_text_edit(c.account_fleet_url, account_fleet_url_buf, UITEXTEDIT_FLAG_ONELINE, "Fleet URL", 0,
                  (int16_t)(r + 10), a, r);
    add_text_edit(c.account_user, account_user_buf, UITEXTEDIT_FLAG_ONELINE, "Username", (int16_t)(a + 10), 0, b, r);
    add_text_edit(c.account_pass, account_pass_buf, UITEXTEDIT_FLAG_ONELINE | UITEXTEDIT_FLAG_PASSWORD, "Password",
                  (int16_t)(a + 10 + b + 10), 0, b, r);
    std::memset(&c.account_connect_btn, 0, sizeof c.account_connect_btn);
    kr_uibutton_init(&c.account_connect_btn, "Connect", style);
    const int16_t cx = (int16_t)(a + 10 + 2 * (b + 10));
    kr_uiwindow_addxy(&c.account_frame.super, &c.account_connect_btn.super, cx, 0, (int16_t)(cw - cx), cb.h);
    std::memset(&c.account_status, 0, sizeof c.account_status);
    std::memset(&c.account_status_fleet, 0, sizeof c.account_status_fleet);
    c.account_status_str[0] = c.account_status_fleet_str[0] = 0;
    kr_uilabel_init(&c.account_status, style->font, ALIGN_CENTER, style->text_color, c.account_status_str);
    kr_uilabel_init(&c.account_status_fleet, style->font, ALIGN_CENTER, style->text_color, c.account_status_fleet_str);
    kr_uiwindow_addxy(&c.account_frame.super, &c.account_status.super, (int16_t)(a + 10), (int16_t)(r + 10),
                      (int16_t)(2 * b + 10), (int16_t)(r / 2));
    kr_uiwindow_addxy(&c.account_frame.super, &c.account_status_fleet.super, (int16_t)(a + 10),
                      (int16_t)(r + r / 2 + 10), (int16_t)(2 * b + 10), (int16_t)(r / 2));
    return (int16_t)(y + h + 10);
}

int16_t build_software_frame(kr_uitabwindow_st *tabwin, int16_t y, int16_t fw, int16_t ch)
{
    content_st &c = content;
    const int16_t h = (int16_t)(2 * ch + 45);
    init_frame(c.software_frame, c.software_children, 5, "Software");
    kr_uiwindow_addxy(&tabwin->super, &c.software_frame.super.super, 10, y, fw, h);
    const int16_t cw = frame_content(c.software_frame).w;
    const int16_t row = (int16_t)(2 * ch + 5);
    const int16_t half = (int16_t)((cw - 274) / 2);
    std::snprintf(c.version_str, sizeof c.version_str, "krcan %s (build %u)", selfupdate_this_name(),
                  (unsigned)selfupdate_this_version());
    std::memset(&c.version_label, 0, sizeof c.version_label);
    kr_uilabel_init(&c.version_label, style->font, ALIGN_CENTER_LEFT, style->text_color, c.version_str);
    kr_uiwindow_addxy(&c.software_frame.super, &c.version_label.super, 10, 0, (int16_t)(half - 10), row);
    std::memset(&c.updates_check, 0, sizeof c.updates_check);
    kr_uicheckbox_init(&c.updates_check, credentials_get_check_updates(), "Check updates on start up", style);
    kr_uiwindow_addxy(&c.software_frame.super, &c.updates_check.super.super.super, half, 0,
                      (int16_t)((cw - 274) - half), row);
    std::memset(&c.notes_btn, 0, sizeof c.notes_btn);
    kr_uibutton_init(&c.notes_btn, "Version notes", style);
    kr_uiwindow_addxy(&c.software_frame.super, &c.notes_btn.super, (int16_t)(cw - 264), 0, 264, row);
    return (int16_t)(y + h + 10);
}

int16_t build_canbus_frame(kr_uitabwindow_st *tabwin, int16_t y, int16_t fw, int16_t ch)
{
    content_st &c = content;
    const int16_t h = (int16_t)(2 * ch + 61);
    init_frame(c.canbus_frame, c.canbus_children, 4, "CAN-bus");
    kr_uiwindow_addxy(&tabwin->super, &c.canbus_frame.super.super, 10, y, fw, h);
    const int16_t cw = frame_content(c.canbus_frame).w;
    const int16_t row = (int16_t)(2 * ch + 21);
    const int16_t cl = (int16_t)(((cw - 274) - 10) / 2);
    canbus_count = 0;
    canbus_names[0][0] = 0;
    canbus_content[0] = "None";
    canbus_scan();
    canbus_rescan_tick = kr_rtos_get_tick_count();
    int sel = canbus_index_of(kr_can_get_dev());
    std::memset(&c.canbus_list, 0, sizeof c.canbus_list);
    kr_uilistbutton_init(&c.canbus_list, canbus_content, canbus_count ? canbus_count : 1, (uint8_t)(sel < 0 ? 0 : sel),
                         style);
    c.canbus_list.title = "CAN interface";
    kr_uiwindow_addxy(&c.canbus_frame.super, &c.canbus_list.super.super, 0, 0, cl, row);
    std::memset(&c.canbus_baud_list, 0, sizeof c.canbus_baud_list);
    kr_uilistbutton_init(&c.canbus_baud_list, canbus_baud_content, 4,
                         canbus_baud_index_of(kr_can_get_baudrate(kr_can_get_dev())), style);
    c.canbus_baud_list.title = "Baudrate";
    kr_uiwindow_addxy(&c.canbus_frame.super, &c.canbus_baud_list.super.super, (int16_t)(cl + 10), 0,
                      (int16_t)((cw - 274) - cl - 10), row);
    std::memset(&c.canbus_apply_btn, 0, sizeof c.canbus_apply_btn);
    kr_uibutton_init(&c.canbus_apply_btn, "Apply", style);
    kr_uiwindow_addxy(&c.canbus_frame.super, &c.canbus_apply_btn.super, (int16_t)(cw - 264), 0, 264, row);
    canbus_refresh_apply();
    return (int16_t)(y + h + 10);
}

// The last frame takes the rest of the page, down to its bottom margin.
void build_params_frame(kr_uitabwindow_st *tabwin, int16_t y, int16_t fw, int16_t page_h)
{
    content_st &c = content;
    init_frame(c.params_frame, c.params_children, 5, "Load parameters");
    kr_uiwindow_addxy(&tabwin->super, &c.params_frame.super.super, 10, y, fw, (int16_t)(page_h - 10 - y));
    const kr_bounding_box_st cb = frame_content(c.params_frame);
    const int16_t cw = cb.w;
    std::memset(&c.params_list, 0, sizeof c.params_list);
    std::memset(c.params_list_children, 0, sizeof c.params_list_children);
    kr_uiwindow_init(&c.params_list, c.params_list_children, style);
    kr_uiwindow_addxy(&c.params_frame.super, &c.params_list.super, 0, 0, (int16_t)(cw - 274), cb.h);
    std::memset(&c.params_add_btn, 0, sizeof c.params_add_btn);
    kr_uibutton_init(&c.params_add_btn, "Add parameter files", style);
    kr_uiwindow_addxy(&c.params_frame.super, &c.params_add_btn.super, (int16_t)(cw - 264), 0, 264, 44);
    std::memset(&c.params_load_btn, 0, sizeof c.params_load_btn);
    kr_uibutton_init(&c.params_load_btn, "Load parameters", style);
    kr_uiwindow_addxy(&c.params_frame.super, &c.params_load_btn.super, (int16_t)(cw - 264), (int16_t)(cb.h - 44), 264,
                      44);
    params_build_list();
    params_refresh_buttons();
}

} // namespace

extern "C" {

void settingstab_show(kr_uitabwindow_st *tabwin)
{
    if (!tabwin) return;
    const kr_bounding_box_st tb = kr_uitabwindow_get_contentbb(tabwin);
    const int16_t ch = (int16_t)(style->font ? style->font->char_height : 16);
    const int16_t fw = (int16_t)(tb.w - 20);
    int16_t y = build_account_frame(tabwin, 10, fw, ch);
    y = build_software_frame(tabwin, y, fw, ch);
    y = build_canbus_frame(tabwin, y, fw, ch);
    build_params_frame(tabwin, y, fw, tb.h);

    shown = true;
    account_last_mqtt = mqtt_get_state();
    account_refresh_status();
    kr_ui_refresh(&tabwin->super.super);
}

void settingstab_set_shown(bool value) { shown = value; }

void settingstab_step(void)
{
    if (!account_autoconnect_tried) {
        account_autoconnect_tried = true;
        if (credentials_get_username()[0] && credentials_get_password()[0]) account_connect(false);
    }
    if (account_connecting && account_connect_done) {
        account_connect_finish();
        account_refresh_status();
    }
    // A cancel from elsewhere (the window's close request) counts as "Stop".
    if (params_loading && !params_stopping && loadparam_is_cancelled()) {
        params_stopping = true;
        if (shown) params_refresh_buttons();
    }
    if (params_loading && loadparam_load_files_is_finished()) params_job_end();
    if (!shown) return;

    params_list_wheel_step();
    params_step();
    if (kr_rtos_get_tick_count() - canbus_rescan_tick > RESCAN_MS - 1) {
        char before[KR_CAN_DEV_NAME_LEN];
        kr_copy_text(before, sizeof before, canbus_shown());
        canbus_rescan_tick = kr_rtos_get_tick_count();
        if (canbus_scan()) canbus_refresh_list(before);
    }
    if (clicked(content.canbus_apply_btn)) canbus_apply(canbus_shown(), canbus_baud_shown());
    canbus_refresh_apply();
    if (clicked(content.notes_btn)) versionnotes_win_exec(style);
    const bool want = content.updates_check.super.state;
    if (want != credentials_get_check_updates()) {
        stored(credentials_set_check_updates(want), "update option");
        std::printf("Checking for updates on start up %s.\n", want ? "turned on" : "turned off");
        std::fflush(stdout);
    }

    const mqtt_state_e st = mqtt_get_state();
    if (st != account_last_mqtt) {
        account_last_mqtt = st;
        account_refresh_status();
    }
    account_step();
}

bool settingstab_is_busy(void) { return params_loading; }

bool settingstab_account_is_connecting(void) { return account_connecting; }

// ---- For tests ----

bool settingstab_widget(settingstab_widget_e which, uint32_t row, settingstab_widget_st *out)
{
    if (!shown || !out) return false;
    content_st &c = content;
    const kr_uiobject_st *o = nullptr;
    const char *text = "";
    const bool is_row = which >= SETTINGSTAB_W_ROW_UP;
    if (is_row && row >= param_file_count) return false;
    switch (which) {
    case SETTINGSTAB_W_URL:
        o = &c.account_url.super.super;
        text = account_url_buf;
        break;
    case SETTINGSTAB_W_FLEET_URL:
        o = &c.account_fleet_url.super.super;
        text = account_fleet_url_buf;
        break;
    case SETTINGSTAB_W_USER:
        o = &c.account_user.super.super;
        text = account_user_buf;
        break;
    case SETTINGSTAB_W_PASS:
        o = &c.account_pass.super.super;
        text = account_pass_buf;
        break;
    case SETTINGSTAB_W_CONNECT:
        o = &c.account_connect_btn.super;
        text = c.account_connect_btn.text;
        break;
    case SETTINGSTAB_W_FILES_STATUS:
        o = &c.account_status.super;
        text = c.account_status_str;
        break;
    case SETTINGSTAB_W_FLEET_STATUS:
        o = &c.account_status_fleet.super;
        text = c.account_status_fleet_str;
        break;
    case SETTINGSTAB_W_UPDATES:
        o = &c.updates_check.super.super.super;
        text = c.updates_check.super.super.text;
        break;
    case SETTINGSTAB_W_NOTES:
        o = &c.notes_btn.super;
        text = c.notes_btn.text;
        break;
    case SETTINGSTAB_W_CANBUS:
        o = &c.canbus_list.super.super;
        text = kr_uilistbutton_entry(&c.canbus_list, c.canbus_list.current_index);
        break;
    case SETTINGSTAB_W_BAUD:
        o = &c.canbus_baud_list.super.super;
        text = kr_uilistbutton_entry(&c.canbus_baud_list, c.canbus_baud_list.current_index);
        break;
    case SETTINGSTAB_W_APPLY:
        o = &c.canbus_apply_btn.super;
        text = c.canbus_apply_btn.text;
        break;
    case SETTINGSTAB_W_ADD:
        o = &c.params_add_btn.super;
        text = c.params_add_btn.text;
        break;
    case SETTINGSTAB_W_LOAD:
        o = &c.params_load_btn.super;
        text = c.params_load_btn.text;
        break;
    case SETTINGSTAB_W_ROW_UP: o = &c.param_up_btns[row].super; break;
    case SETTINGSTAB_W_ROW_DOWN: o = &c.param_down_btns[row].super; break;
    case SETTINGSTAB_W_ROW_REMOVE:
        o = &c.param_remove_btns[row].super;
        text = "Remove";
        break;
    case SETTINGSTAB_W_ROW_LABEL:
        o = &c.param_labels[row].super;
        text = c.param_labels[row].str;
        break;
    }
    if (!o) return false;
    out->x = kr_ui_get_xglobal(o) + o->bb.w / 2;
    out->y = kr_ui_get_yglobal(o) + o->bb.h / 2;
    out->enabled = o->enabled;
    out->visible = o->visible;
    out->text = text ? text : "";
    return true;
}

uint32_t settingstab_param_count(void) { return param_file_count; }
const char *settingstab_param_path(uint32_t index) { return index < param_file_count ? param_files[index] : ""; }
uint32_t settingstab_canbus_count(void) { return canbus_count; }
const char *settingstab_canbus_name(uint32_t index) { return index < canbus_count ? canbus_names[index] : ""; }
void settingstab_params_add(char *paths)
{
    if (!paths) return;
    params_add(paths);
    if (shown) params_rebuild();
}

} // extern "C"
