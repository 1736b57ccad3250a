// The desktop main window: System, Fleet and Settings tabs, the device tab bar, the log strip with
// its input line, the update notice, and what happens when the window is closed during a job.
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>

#include "online/account.h"
#include "run/console.h"
#include "ui/devicetab.h"
#include "bus/find.h"
#include "ui/fleettab.h"
#include "joystick/joystick.h"
#include "krui_internal.h"
#include "firmware/firmware_loader.h"
#include "params/loadparam.h"
#include "online/mqtt.h"
#include "system/package.h"
#include "online/selfupdate.h"
#include "ui/settingstab.h"
#include "system/system.h"
#include "ui/kr_uiacceptdialog.h"
#include "ui/kr_uidisplay.h"
#include "ui/kr_uitextedit.h"
#include "ui/kr_uitransition.h"
#include "ui/kr_uiwidgets.h"
#include "kr_bytes.h"

extern "C" const unsigned char krui_bg_png[];
extern "C" const unsigned char krui_bg_png_end[];
extern "C" const unsigned char krui_minus_png[];
extern "C" const unsigned char krui_minus_png_end[];

namespace {

typedef enum { MAINTAB_SYSTEM = 0, MAINTAB_FLEET = 1, MAINTAB_SETTINGS = 2, MAINTAB_COUNT = 3 } maintab_e;
const char *const maintab_names[MAINTAB_COUNT] = {"System", "Fleet", "Settings"};

constexpr int16_t W = UI_SCREEN_WIDTH;
constexpr int16_t H = UI_SCREEN_HEIGHT;
constexpr uint16_t STEP_MS = 20;
constexpr size_t LOG_TEXT_LEN = 40960;

struct krui_st {
    kr_uidisplay_st display;
    kr_uiobject_st *display_buffer[8];
    kr_uimedia_st bg_media;
    kr_uiimage_st bg_image;
    kr_uitabwindow_st maintabs;
    kr_uiobject_st *maintabs_buf[4];
    maintab_e maintab;
    kr_uitabwindow_st tabwindow;
    kr_uiobject_st *tabwindow_buffer[16];
    krui_tabbar_st bar;
    const char *tab_names[KRUI_TAB_MAX];
    int16_t device_tab;
    kr_uiwindow_st log_window;
    kr_uiobject_st *log_window_buf[4];
    kr_uiframewindow_st log_frame;
    kr_uiobject_st *log_frame_buf[4];
    char log_title_str[128];
    kr_uilabel_st log_full;
    char log_full_str[LOG_TEXT_LEN];
    kr_uibutton_st log_close;
    kr_uitextedit_st log_input;
    char log_input_buf[256];
    int16_t log_collapsed_h;
    int32_t log_scroll_lines;
    kr_uiscalartransition_st log_trans;
    int16_t log_anim_top;
    bool log_animating;
    bool log_expanded;
};

krui_st k;
bool started = false;
bool log_line_clicked = false;
void (*textedit_touch)(kr_uiobject_st *, kr_touch_st *) = nullptr;

// What the loop remembers between frames.
uint8_t seen_dev_count = 0;
uint32_t seen_prompts = 0;
int64_t seen_seq = -1, seen_scroll = -1, seen_lines = -1;
uint32_t fed_prompt = 0;
bool fed_any = false;

// Update notice.
bool update_seen = false;
uint32_t update_seen_tick = 0;
bool update_asked = false;
bool update_applying = false;

// Closing during a job.
bool close_announced = false;
uint32_t close_seen_count = 0;
bool close_forced = false;
char shown_log_title[192]; // the frame's title: the log title, marked while a close is held

kr_uimedia_st remove_media;
bool remove_media_loaded = false;

const kr_uistyle_st *style() { return &kr_uistyles[0]; }
bool job_running() { return devicetab_is_busy() || settingstab_is_busy(); }

void build_device_tabs();
void show_active_tab();
void show_active_maintab();

// ---- Log strip ----

void log_expand()
{
    if (k.log_expanded) return;
    k.log_expanded = true;
    k.log_animating = true;
    k.log_close.state = UIBUTTON_UP; // a hidden button keeps its last click
    k.log_scroll_lines = 0;
    kr_uiobject_set_visible(&k.log_close.super, true);
    kr_uiobject_set_visible(&k.log_input.super.super, true);
    kr_uitransition_play(&k.log_trans.super);
}

void log_collapse()
{
    if (!k.log_expanded) return;
    k.log_expanded = false;
    k.log_animating = true;
    k.log_close.state = UIBUTTON_UP;
    k.log_scroll_lines = 0;
    kr_uiobject_set_visible(&k.log_close.super, false);
    kr_uiobject_set_visible(&k.log_input.super.super, false);
    kr_uitransition_reverseplay(&k.log_trans.super);
}

void log_window_touch(kr_uiobject_st *o, kr_touch_st *t)
{
    if (!k.log_expanded && t->action == TOUCH_CLICKED) {
        log_line_clicked = true;
        t->action = TOUCH_NONE;
    }
    _kr_uiwindow_touch(o, t);
}

// The line takes what is typed while the log is open; the on-screen keyboard would cover the question
// it answers, so a click opens none.
void log_input_touch(kr_uiobject_st *o, kr_touch_st *t)
{
    if (t->action == TOUCH_CLICKED) {
        t->action = TOUCH_NONE;
        return;
    }
    textedit_touch(o, t);
}

// Keys typed while the strip is expanded go to its input line.
void log_input_keys()
{
    for (char c = kr_ui_peek_key_press(); c; c = kr_ui_peek_key_press()) {
        kr_ui_get_key_press();
        size_t len = std::strlen(k.log_input_buf);
        if (c == UI_KEY_ENTER) {
            krui_submit_input(k.log_input_buf);
            k.log_input_buf[0] = '\0';
        } else if (c == UI_KEY_BACKSPACE) {
            if (len) k.log_input_buf[len - 1] = '\0';
        } else if (c == UI_KEY_ESCAPE) {
            k.log_input_buf[0] = '\0';
        } else if ((unsigned char)c >= 32 && (unsigned char)c < 127 && len + 1 < sizeof k.log_input_buf) {
            k.log_input_buf[len] = c;
            k.log_input_buf[len + 1] = '\0';
        }
        kr_ui_refresh(&k.log_input.super.super);
    }
}

void place_log_strip()
{
    const int16_t top = k.log_anim_top;
    k.log_window.super.bb.y = top;
    k.log_window.super.bb.h = (int16_t)(H - top);
    k.log_frame.super.super.bb.h = (int16_t)(H - top - 16);
    const kr_bounding_box_st cb = kr_uiframewindow_get_content_bb(&k.log_frame);
    k.log_full.super.bb.w = cb.w;
    k.log_full.super.bb.h = cb.h;
    kr_ui_refresh(&k.display.super.super);
}

// The collapsed strip shows the newest line from its start: a line wider than the strip keeps its first
// rows, as its start says what it is about. Older lines join it above while they fit whole (a cut one
// could leave its colour on the lines below).
void log_fill_collapsed(const char *raw, int32_t visible)
{
    static char wrapped[LOG_TEXT_LEN];
    std::string shown;
    int32_t rows_left = visible;
    const char *end = raw + std::strlen(raw);
    for (bool newest = true; end > raw && rows_left > 0; newest = false) {
        const char *line_end = end[-1] == '\n' ? end - 1 : end;
        const char *start = line_end;
        while (start > raw && start[-1] != '\n') --start;
        const std::string line(start, line_end);
        kr_ui_wrap_text(line.c_str(), &mono_font16, k.log_full.super.bb.w, wrapped, sizeof wrapped);
        int32_t rows = 1;
        const char *cut = nullptr;
        for (const char *q = wrapped; *q && !cut; ++q) {
            if (*q != '\n') continue;
            if (rows == rows_left)
                cut = q;
            else
                rows++;
        }
        if (cut && !newest) break;
        shown.insert(0, (cut ? std::string(wrapped, (size_t)(cut - wrapped)) : std::string(wrapped)) + "\n");
        rows_left -= rows;
        end = start;
    }
    kr_copy_text(k.log_full_str, sizeof k.log_full_str, shown.c_str());
}

// The captured lines, wrapped at the strip's width; the newest ones that fit are shown.
void log_fill(int32_t visible)
{
    static char raw[LOG_TEXT_LEN];
    logcap_get_range(raw, sizeof raw, k.log_scroll_lines, visible);
    if (!k.log_expanded) {
        log_fill_collapsed(raw, visible);
        return;
    }
    kr_ui_wrap_text(raw, &mono_font16, k.log_full.super.bb.w, k.log_full_str, sizeof k.log_full_str);
    int32_t lines = 0;
    for (const char *p = k.log_full_str; *p; ++p) lines += *p == '\n';
    char *start = k.log_full_str;
    for (; lines > visible && *start; ++start)
        if (*start == '\n') lines--;
    if (start != k.log_full_str) std::memmove(k.log_full_str, start, std::strlen(start) + 1);
}

void log_step()
{
    if (log_line_clicked) {
        log_line_clicked = false;
        log_expand();
    } else if (k.log_expanded && k.log_close.state == UIBUTTON_CLICKED) {
        log_collapse();
    }
    if (k.log_animating) {
        kr_uitransition_step(&k.log_trans.super, &k.log_window.super, STEP_MS);
        const kr_uitransition_state_e s = k.log_trans.super.state;
        if (s != UITRANSITION_PLAY && s != UITRANSITION_REVERSEPLAY) {
            k.log_animating = false;
            k.log_anim_top = k.log_expanded ? 0 : (int16_t)(H - k.log_collapsed_h);
        }
        place_log_strip();
    }
    const int16_t wheel = kr_ui_get_scroll();
    if (k.log_expanded)
        k.log_scroll_lines += 3 * wheel;
    else
        k.log_scroll_lines = 0;
    if (k.log_expanded) log_input_keys();

    const kr_bounding_box_st cb = kr_uiframewindow_get_content_bb(&k.log_frame);
    const int32_t line_h = kr_ui_get_string_height("A", &mono_font16);
    int32_t visible = (cb.h - (k.log_expanded ? 42 : 0)) / (line_h > 0 ? line_h : 1);
    if (visible < 1) visible = 1;
    if (k.log_expanded) {
        k.log_input.super.super.bb = cb;
        k.log_input.super.super.bb.y = (int16_t)(cb.y + cb.h - 34);
        k.log_input.super.super.bb.h = 34;
    }
    const int32_t lines = (int32_t)logcap_get_line_count();
    const int32_t max_scroll = lines > visible ? lines - visible : 0;
    if (k.log_scroll_lines > max_scroll) k.log_scroll_lines = max_scroll;
    if (k.log_scroll_lines < 0) k.log_scroll_lines = 0;

    const int64_t seq = logcap_get_seq();
    if (seq != seen_seq || k.log_scroll_lines != seen_scroll || visible != seen_lines) {
        log_fill(visible);
        kr_ui_refresh(&k.log_full.super);
        seen_seq = seq;
        seen_scroll = k.log_scroll_lines;
        seen_lines = visible;
    }
}

// ---- Main tabs ----

kr_uiobject_ret_e maintab_step(void *, uint16_t)
{
    if (k.maintabs.tab_changed && k.maintabs.active_tab != k.maintab) {
        if (job_running()) {
            // The page of a running job stays on screen.
            k.maintabs.active_tab = k.maintab;
            kr_ui_refresh(&k.maintabs.super.super);
        } else if (k.maintabs.active_tab < MAINTAB_COUNT) {
            k.maintab = (maintab_e)k.maintabs.active_tab;
            show_active_maintab();
        }
    }
    return UIOBJECT_RETURN_ALIVE;
}

void tabwindow_draw(kr_uiobject_st *o, const kr_bounding_box_st *pbb)
{
    kr_uiwindow_draw(&k.tabwindow.super, pbb);
    k.bar.font = k.tabwindow.font;
    k.bar.width = o->bb.w;
    krui_compute_tab_display(&k.bar, k.tabwindow.active_tab);
    krui_draw_tabbar(&k.bar, k.tabwindow.active_tab, kr_ui_get_xglobal(o), kr_ui_get_yglobal(o), style()->bg_c,
                     k.tabwindow.text_c);
    _kr_uiwindow_draw_children(&k.tabwindow.super, pbb);
    kr_uiwindow_draw_scrollbars(&k.tabwindow.super, pbb);
}

void select_device_tab(uint16_t tab)
{
    if (tab == k.tabwindow.active_tab) return;
    k.tabwindow.active_tab = tab;
    k.tabwindow.tab_changed = true;
    kr_ui_refresh(&k.tabwindow.super.super);
}

void tabwindow_touch(kr_uiobject_st *o, kr_touch_st *t)
{
    if (t->action == TOUCH_CLICKED && t->y < 41) {
        const int32_t i = krui_tab_at(&k.bar, t->x);
        if (i >= 0) {
            select_device_tab((uint16_t)i);
            t->action = TOUCH_NONE;
        } else if (i == KRUI_TAB_PREV || i == KRUI_TAB_NEXT) {
            select_device_tab(krui_tab_step(&k.bar, k.tabwindow.active_tab, i == KRUI_TAB_PREV ? -1 : 1));
            t->action = TOUCH_NONE;
        }
    }
    _kr_uiwindow_touch(o, t);
}

// The wheel over the device tab bar steps through the tabs, as the arrows do.
void tabbar_wheel()
{
    if (k.log_expanded) return;
    int32_t px = 0, py = 0;
    kr_ui_get_touch(&px, &py);
    const kr_uiobject_st &o = k.tabwindow.super.super;
    const int32_t x = kr_ui_get_xglobal(&o), y = kr_ui_get_yglobal(&o);
    if (px < x || px >= x + o.bb.w || py < y || py >= y + 40) return;
    const int16_t wheel = kr_ui_get_scroll();
    if (wheel) select_device_tab(krui_tab_step(&k.bar, k.tabwindow.active_tab, wheel > 0 ? -1 : 1));
}

void rebuild_tabs()
{
    krui_populate_tab_names(&k.bar, &dev.system);
    for (uint16_t i = 0; i < KRUI_TAB_MAX; ++i) k.tab_names[i] = k.bar.display[i];
    k.tabwindow.tab_count = k.bar.count;
    if (k.tabwindow.active_tab >= k.bar.count) k.tabwindow.active_tab = (uint16_t)(k.bar.count - 1);
    kr_ui_refresh(&k.tabwindow.super.super);
}

kr_uiobject_ret_e tabwindow_step(void *, uint16_t)
{
    tabbar_wheel();
    if (k.tabwindow.tab_changed) {
        if ((int32_t)k.tabwindow.active_tab == k.bar.add_index && system_add_empty_device(&dev.system)) {
            const uint16_t keep = k.tabwindow.active_tab;
            rebuild_tabs();
            k.tabwindow.active_tab = keep < k.bar.count ? keep : (uint16_t)(k.bar.count - 1);
            seen_dev_count = dev.system.dev_count;
        }
        show_active_tab();
    }
    return UIOBJECT_RETURN_ALIVE;
}

void show_active_tab()
{
    kr_uitabwindow_clear(&k.tabwindow);
    k.tabwindow.super.super.vrtl_draw = tabwindow_draw;
    k.device_tab = (int16_t)k.tabwindow.active_tab;
    if (k.device_tab == 0) {
        devicetab_show_system(&k.tabwindow, &dev.system);
    } else if (k.device_tab != k.bar.add_index) {
        const int32_t i = k.device_tab - 1;
        devicetab_show_device(&k.tabwindow, i < dev.system.dev_count ? &dev.system.devs[i] : nullptr);
    }
    kr_uiwindow_set_stepcallback(&k.tabwindow.super, tabwindow_step, nullptr);
    kr_ui_refresh(&k.tabwindow.super.super);
}

void build_device_tabs()
{
    krui_populate_tab_names(&k.bar, &dev.system);
    for (uint16_t i = 0; i < KRUI_TAB_MAX; ++i) k.tab_names[i] = k.bar.display[i];
    std::memset((void *)&k.tabwindow, 0, sizeof k.tabwindow);
    kr_uitabwindow_init(&k.tabwindow, k.bar.count, style(), k.tabwindow_buffer, k.tab_names);
    kr_uiwindow_set_transparent(&k.tabwindow.super, true);
    k.tabwindow.super.super.vrtl_touch = tabwindow_touch;
    const kr_bounding_box_st cb = kr_uitabwindow_get_contentbb(&k.maintabs);
    kr_uiwindow_addxy(&k.maintabs.super, &k.tabwindow.super.super, 0, 0, cb.w, cb.h);
    k.bar.font = k.tabwindow.font;
    k.bar.width = cb.w;
    if (k.device_tab > (int16_t)(k.bar.count - 1)) k.device_tab = (int16_t)(k.bar.count - 1);
    if (k.device_tab < 0) k.device_tab = 0;
    k.tabwindow.active_tab = (uint16_t)k.device_tab;
    show_active_tab();
}

void select_and_show(int32_t tab)
{
    rebuild_tabs();
    if (tab > k.bar.count - 1) tab = k.bar.count - 1;
    if (tab < 0) tab = 0;
    k.tabwindow.active_tab = (uint16_t)tab;
    show_active_tab();
}

// ---- Update notice ----

void update_step()
{
    selfupdate_info_st info;
    bool ok = false, newer = false;
    char err[256] = "";
    if (selfupdate_check_poll(&info, &ok, &newer, err, sizeof err)) {
        if (!ok) {
            std::printf("Could not check for a newer krcan: %s\n", err);
        } else if (!newer) {
            std::printf("krcan %s (build %u) is the newest published version.\n", selfupdate_this_name(),
                        selfupdate_this_version());
        } else if (credentials_get_check_updates()) {
            update_seen = true;
            update_seen_tick = kr_rtos_get_tick_count();
            job_warning("A newer krcan is available: %s (build %u); this is %s (build %u).\n", info.name, info.version,
                        selfupdate_this_name(), selfupdate_this_version());
            if (info.notes[0]) job_warning("  %s\n", info.notes);
            if (!selfupdate_can_apply()) job_warning("  %s\n", SELFUPDATE_APPLY_TEXT);
        }
        std::fflush(stdout);
    }
    if (update_seen && !update_asked && selfupdate_can_apply() && credentials_get_check_updates()) {
        const bool quiet = !settingstab_account_is_connecting() && mqtt_get_state() != MQTT_STATE_CONNECTING;
        if ((quiet || kr_rtos_get_tick_count() - update_seen_tick >= 20000) && selfupdate_available(&info)) {
            update_asked = true;
            char text[512];
            std::snprintf(text, sizeof text,
                          "krcan %s (build %u) is available. This is %s (build %u).\n\nDownload and install it now? "
                          "krcan has to be restarted to use it.",
                          info.name, info.version, selfupdate_this_name(), selfupdate_this_version());
            static kr_uiacceptdialog_st dlg;
            std::memset((void *)&dlg, 0, sizeof dlg);
            if (kr_uiacceptdialog_exec(&dlg, text, "Update", "Not now", style()) == UIACCEPTDIALOG_RET_YES) {
                std::printf("Updating krcan to %s (build %u)...\n", info.name, info.version);
                update_applying = selfupdate_apply_async();
                if (!update_applying) std::printf("The update could not be started.\n");
            } else {
                std::printf("Update skipped. Install it later with 'krcan --update'.\n");
            }
            std::fflush(stdout);
        }
    }
    if (update_applying && selfupdate_apply_poll(&ok, err, sizeof err)) {
        update_applying = false;
        if (ok && selfupdate_available(&info))
            say_success("Updated to krcan %s (build %u). Restart krcan to use it.\n", info.name, info.version);
        else
            std::printf("Updating krcan failed: %s\n", err);
        std::fflush(stdout);
    }
}

// ---- Closing ----

const char *job_name()
{
    return std::strcmp(k.log_title_str, "Log") != 0 && k.log_title_str[0] ? k.log_title_str : "the running job";
}

// The running job as a phrase inside a sentence: "Saving parameters from pump..." becomes
// "saving parameters from pump".
std::string job_phrase()
{
    std::string t = job_name();
    while (!t.empty() && (t.back() == '.' || t.back() == ' ')) t.pop_back();
    if (t.size() > 1 && std::isupper((unsigned char)t[0]) && std::islower((unsigned char)t[1]))
        t[0] = (char)std::tolower((unsigned char)t[0]);
    return t;
}

// The log strip says that a close is held, and for which job, for as long as it is held.
void show_log_title()
{
    if (close_announced && !close_forced)
        std::snprintf(shown_log_title, sizeof shown_log_title, "Closing when finished: %s", k.log_title_str);
    else
        kr_copy_text(shown_log_title, sizeof shown_log_title, k.log_title_str);
    if (started) kr_uiframewindow_set_title(&k.log_frame, shown_log_title);
}

// Kept while a window job runs; a second close request ends krcan at once.
bool close_hold()
{
    if (close_forced || !job_running()) return false;
    const uint32_t n = kr_ui_close_request_count();
    if (!close_announced) {
        close_announced = true;
        close_seen_count = n;
        job_warning("Closing waits for %s to finish. Close the window again to end krcan at once.\n",
                    job_phrase().c_str());
        show_log_title();
        // Nothing is lost by stopping a flash that has not begun or a parameter batch.
        devicetab_cancel_for_close();
        loadparam_load_files_cancel();
        if (kr_stdin_is_waiting()) {
            // The job waits for the user: the question must be on screen, and the way to answer it said.
            job_warning("It waits for your answer to the question above: type it into the line at the bottom of the "
                        "log and press Enter.\n");
            log_expand();
        }
        std::fflush(stdout);
        return true;
    }
    if (n == close_seen_count) return true;
    close_forced = true;
    // What the tool knows of a flash cut short: not what the device runs now.
    std::string phrase = job_phrase();
    if (!phrase.empty()) phrase[0] = (char)std::toupper((unsigned char)phrase[0]);
    if (devicetab_is_busy() && !dev.load.finished && !dev.load.waiting && dev.load.nodeid)
        job_error("krcan ends at once: the flash of node 0x%x was cut short. The device may need a new flash.\n",
                  (unsigned)dev.load.nodeid);
    else
        job_error("krcan ends at once. %s was cut short and did not finish.\n", phrase.c_str());
    return false;
}

// Called right before the process ends: what exit handlers would do, and every captured line out.
bool close_finish()
{
    sysfile_remove_all_tmpdirs();
    load_remove_window_copy();
    std::fflush(nullptr);
    logcap_stop();
    return main_run_failed();
}

void show_active_maintab()
{
    kr_uitabwindow_clear(&k.maintabs);
    fleettab_set_shown(false);
    settingstab_set_shown(false);
    switch (k.maintab) {
    case MAINTAB_SYSTEM: build_device_tabs(); break;
    case MAINTAB_FLEET: fleettab_show(&k.maintabs); break;
    case MAINTAB_SETTINGS: settingstab_show(&k.maintabs); break;
    default: break;
    }
    k.maintabs.active_tab = (uint16_t)k.maintab;
    kr_uiwindow_set_stepcallback(&k.maintabs.super, maintab_step, nullptr);
    kr_ui_refresh(&k.maintabs.super.super);
}

} // namespace

bool krui_submit_input(const char *line)
{
    const uint32_t prompts = kr_stdin_get_prompt_count();
    if (!kr_stdin_is_waiting() || (fed_any && fed_prompt == prompts)) {
        std::printf("No question is waiting for an answer; the line was not sent.\n");
        std::fflush(stdout);
        return false;
    }
    fed_any = true;
    fed_prompt = prompts;
    // The echo ends the prompt's line in the log, as a terminal's echo would.
    std::printf("%s\n", line);
    std::fflush(stdout);
    kr_stdin_feed(line);
    return true;
}

bool krui_start(void)
{
    logcap_init();
    kr_stdin_use_pipe();
    mqtt_start_pump();
    if (!credentials_get_check_updates()) {
        std::printf("Not checking for a newer krcan: \"Check updates on start up\" is off in the Settings tab.\n");
        std::fflush(stdout);
    } else {
        selfupdate_check_async();
    }
    if (!kr_ui_init()) {
        // The log strip will never show: the console must hear why.
        logcap_stop();
        job_error_stderr("ERROR: the window could not be opened: no display could be reached. Set DISPLAY, or run "
                         "krcan without --ui.\n");
        return false;
    }
    kr_ui_set_close_hooks(close_hold, close_finish);
    char title[sizeof k.log_title_str];
    kr_copy_text(title, sizeof title, k.log_title_str[0] ? k.log_title_str : "Log");
    std::memset((void *)&k, 0, sizeof k);
    kr_copy_text(k.log_title_str, sizeof k.log_title_str, title);
    kr_uidisplay_init(&k.display, k.display_buffer, style());
    k.display.touch_ind = true;

    kr_uitabwindow_init(&k.maintabs, MAINTAB_COUNT, style(), k.maintabs_buf, maintab_names);
    kr_uiwindow_set_transparent(&k.maintabs.super, true);

    kr_uimedia_newbitmapexmem_mem(&k.bg_media, "korvane_bg", krui_bg_png, (uint32_t)(krui_bg_png_end - krui_bg_png));
    kr_uiimage_init(&k.bg_image, &k.bg_media, UIIMAGE_WRAP_BORDER, ALIGN_CENTER);
    kr_uiimage_set_blendc(&k.bg_image, 0x10FFFFFF);
    kr_uiwindow_addxy(&k.display.super, &k.bg_image.super, 0, 0, W, H);

    k.log_collapsed_h = (int16_t)(2 * kr_ui_get_string_height("A", &mono_font16) + 32);
    kr_uiwindow_addxy(&k.display.super, &k.maintabs.super.super, 0, 0, W, (int16_t)(H - k.log_collapsed_h));

    kr_uiwindow_init(&k.log_window, k.log_window_buf, style());
    kr_uiwindow_set_transparent(&k.log_window, false);
    k.log_window.super.vrtl_touch = log_window_touch;
    kr_uiwindow_addxy(&k.display.super, &k.log_window.super, 0, (int16_t)(H - k.log_collapsed_h), W, k.log_collapsed_h);
    kr_uiframewindow_init(&k.log_frame, k.log_frame_buf, style());
    kr_uiframewindow_set_title(&k.log_frame, k.log_title_str);
    kr_uiwindow_addxy(&k.log_window, &k.log_frame.super.super, 8, 8, W - 16, (int16_t)(k.log_collapsed_h - 16));
    kr_uilabel_init(&k.log_full, &mono_font16, ALIGN_TOP_LEFT, style()->text_color, k.log_full_str);
    const kr_bounding_box_st cb = kr_uiframewindow_get_content_bb(&k.log_frame);
    kr_uiwindow_addxy(&k.log_frame.super, &k.log_full.super, 0, 0, cb.w, cb.h);

    kr_uibutton_init(&k.log_close, "Close", style());
    kr_uiwindow_addxy(&k.log_window, &k.log_close.super, W - 136, 16, 120, 34);
    kr_uiobject_set_visible(&k.log_close.super, false);
    kr_uitextedit_init(&k.log_input, k.log_input_buf, sizeof k.log_input_buf,
                       UITEXTEDIT_FLAG_ONELINE | UITEXTEDIT_FLAG_CMDLINE, style());
    k.log_input.super.font = &mono_font16;
    k.log_input.super.align = ALIGN_CENTER_LEFT;
    textedit_touch = k.log_input.super.super.vrtl_touch;
    k.log_input.super.super.vrtl_touch = log_input_touch;
    kr_uiwindow_addxy(&k.log_window, &k.log_input.super.super, 8, H - 42, W - 16, 34);
    kr_uiobject_set_visible(&k.log_input.super.super, false);

    k.log_expanded = k.log_animating = false;
    k.log_anim_top = (int16_t)(H - k.log_collapsed_h);
    kr_uiscalartransition_init(&k.log_trans, UITRANSITION_EASING_INOUT_QUAD, 125, (int16_t)(H - k.log_collapsed_h), 0,
                               &k.log_anim_top);

    // An earlier --listen or --terminal job may have the frames: the window needs the monitor to hear them.
    find_start_monitor();
    find_reinstall_monitor();
    find_update_device_states(&dev.system);

    k.maintab = MAINTAB_SYSTEM;
    k.device_tab = 0;
    show_active_maintab();

    seen_dev_count = dev.system.dev_count;
    seen_prompts = kr_stdin_get_prompt_count();
    seen_seq = seen_scroll = seen_lines = -1;
    started = true;
    return true;
}

void krui_frame(bool wait)
{
    kr_uidisplay_step(&k.display, STEP_MS);
    const uint32_t prompts = kr_stdin_get_prompt_count();
    if (prompts != seen_prompts) {
        log_expand();
        seen_prompts = prompts;
    }
    joystick_step();
    const bool system_shown = k.maintab == MAINTAB_SYSTEM;
    if (devicetab_step()) {
        const bool removed = devicetab_poll_device_removed();
        if (system_shown) select_and_show(removed ? k.tabwindow.active_tab - 1 : k.tabwindow.active_tab);
    }
    if (fleettab_step() && k.maintab == MAINTAB_FLEET) show_active_maintab();
    settingstab_step();
    update_step();
    if (!job_running()) {
        if (find_update_device_states(&dev.system) && k.maintab == MAINTAB_SYSTEM)
            select_and_show(k.tabwindow.active_tab);
        if (find_search_is_finished() && find_poll_new_devices() && k.maintab == MAINTAB_SYSTEM)
            select_and_show(k.tabwindow.active_tab);
    }
    if (dev.system.dev_count != seen_dev_count) {
        if (k.maintab == MAINTAB_SYSTEM) select_and_show(k.tabwindow.active_tab);
        seen_dev_count = dev.system.dev_count;
    }
    log_step();
    if (wait) kr_rtos_task_delay(STEP_MS);
}

const krui_tabbar_st *krui_tabbar(void) { return &k.bar; }
int32_t krui_active_maintab(void) { return k.maintab; }
int32_t krui_active_device_tab(void) { return k.device_tab; }

extern "C" {

void krui_exec(void)
{
    if (!krui_start()) return;
    for (;;) krui_frame(true);
}

void krui_set_log_title(const char *title)
{
    kr_copy_text(k.log_title_str, sizeof k.log_title_str, title ? title : "Log");
    show_log_title();
}

void krui_reset_log_title(void) { krui_set_log_title("Log"); }

bool krui_log_is_expanded(void) { return k.log_expanded; }

const kr_uimedia_st *krui_get_remove_media(void)
{
    if (!remove_media_loaded) {
        kr_uimedia_newbitmapexmem_mem(&remove_media, "minus_hd", krui_minus_png,
                                      (uint32_t)(krui_minus_png_end - krui_minus_png));
        remove_media_loaded = true;
    }
    return &remove_media;
}

} // extern "C"
