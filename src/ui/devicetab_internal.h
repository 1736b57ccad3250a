// Shared by the parts of the device tab: the page widgets, the tab's state, the jobs that make it
// busy, and the device page and Overview that start them. All of it runs in the window's loop.
#pragma once

#include <cstdint>
#include <functional>

#include "run/main.h"
#include "ui/kr_uicontainers.h"
#include "ui/kr_uidigitedit.h"
#include "ui/kr_uifileedit.h"
#include "ui/kr_uiwidgets.h"

namespace dt {

enum busy_op_e {
    OP_NONE = 0,
    OP_FLASH = 1,
    OP_MEDIA = 2,
    OP_ESP32 = 3,
    OP_SAVE = 4,
    OP_LOAD = 5,
    OP_SAVESYS = 6,
    OP_SYSPARAM = 7,
    OP_SYSLOAD = 8,
    OP_SIMPARAM = 9,
    OP_DOWNLOAD = 10
};

enum subtab_e { SUBTAB_DEVICE = 0, SUBTAB_TERMINAL = 1, SUBTAB_COUNT = 2 };

struct statusdot_st {
    kr_uiobject_st super;
    color_t color;
    color_t bg;
    bool hollow;
};

// The widgets of the page shown: a device's sub-tabs and frames, or the Overview's frame.
struct content_st {
    kr_uitabwindow_st subtabs;
    kr_uiobject_st *subtabs_buf[8];
    kr_uilabel_st title;
    char title_str[256];
    kr_uilabel_st empty_text;
    kr_uiframewindow_st left;
    kr_uiobject_st *left_buf[12];
    kr_uiframewindow_st right;
    kr_uiobject_st *right_buf[12];
    kr_uiframewindow_st overview;
    kr_uiobject_st *overview_buf[8];
    kr_uilabel_st summary;
    char summary_str[5920];
    kr_uilabel_st devname;
    char devname_str[128];
    kr_uilabel_st state;
    char state_str[80];
    statusdot_st dot;
    kr_uilabel_st identity;
    char identity_str[1152];
    kr_uilabel_st devrev;
    char devrev_str[64];
    kr_uifileedit_st pkg_edit;
    char pkg_path[DEV_PATH_LEN];
    kr_uibutton_st server_btn;
    kr_uilabel_st pkg_version;
    char pkg_version_str[128];
    kr_uilabel_st pkg_rev;
    char pkg_rev_str[64];
    kr_uilabel_st default_id;
    char default_id_str[48];
    kr_uilabel_st warning;
    char warning_str[192];
    kr_uibutton_st flash_btn, media_btn, esp32_btn, save_btn, load_btn;
    kr_uidigitedit_st nodeid_edit;
    int32_t nodeid_shown;
    kr_uibutton_st revert_btn, savesettings_btn, reset_btn;
    kr_uimediabutton_st remove_btn;
    kr_uibutton_st open_sys_btn, joystick_btn, savesys_btn, loadsys_btn;
};

extern content_st content;
extern system_st *shown_system;

// The device page (devicetab_page.cpp).
extern device_st *current_device;
extern subtab_e shown_subtab;
extern bool view_built; // the device view's widgets are on the page
extern bool device_removed;
bool device_step(device_st *d);

// The Overview (devicetab_overview.cpp).
extern bool showing_system;
extern bool overview_built; // the Overview's widgets are on the page
bool overview_step(system_st *s);

// The jobs (devicetab_jobs.cpp). While one runs the tab is busy and its frames are disabled.
extern bool busy;
extern busy_op_e busy_op;
extern device_st *download_device;
extern device_st *flash_device;
extern device_st *flash_origin; // the tab the flash was started from (its target may be another)
extern uint8_t flash_default_nodeid;
void set_frames_enabled(bool enabled);
void flash_btn_set_cancel_mode();
void start_busy(busy_op_e op);
// Names the job in the log title (its "%s" the name of d, which may be null) and starts it; the tab is
// then busy with it, or idle again when it did not start, and the error names `what`.
void start_job(busy_op_e op, const device_st *d, const char *title_format, const char *what,
               const std::function<bool()> &start);
// One frame of a running job: true when it ended (and the tab is idle again).
bool jobs_step();

// Widgets and dialogs (devicetab.cpp).
const kr_uistyle_st *style();
// The area a page's widgets may take: a tab window's content lies under its tab bar.
kr_bounding_box_st page_area(const kr_uiwindow_st *w);
bool ask(const char *text, const char *yes, const char *no);
void tell(const char *text);
// A click is consumed once, so a modal dialog opened from it cannot see it again.
bool clicked(kr_uibutton_st *b);
bool on_page(const kr_uiwindow_st *w, const kr_uiobject_st *o);
const char *base_name(const char *path);
void label(kr_uiwindow_st *w, kr_uilabel_st *l, const char *text, int16_t x, int16_t y, int16_t width, int16_t height,
           color_t c = 0, const ui_font_st *font = nullptr);
void button(kr_uiwindow_st *w, kr_uibutton_st *b, const char *text, int16_t x, int16_t y, int16_t width, int16_t height,
            bool enabled = true);

} // namespace dt
