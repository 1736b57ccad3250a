// The joystick configuration window: one row per axis and button slot (device, object, limits, invert,
// live value), edited on a copy of the active configuration, and the picker over a device's catalogue.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "joystick/joystick.h"
#include "ui/joystick_win.h"
#include "ui/kr_uiacceptdialog.h"
#include "ui/kr_uidigitedit.h"
#include "ui/kr_uidisplay.h"
#include "ui/kr_uitextedit.h"
#include "ui/kr_uiwidgets.h"
#include "kr_bytes.h"

namespace {

constexpr int16_t JW_MARGIN = 10, JW_TITLE_H = 30, JW_HEAD_H = 26, JW_BTN_H = 44, JW_BTN_W = 150, JW_ROW_H = 44,
                  JW_GAP = 6, JW_LIST_PAD = 12, JW_SECTION_H = 34;
constexpr int16_t JW_COL_SLOT_W = 100, JW_COL_DEV_W = 250, JW_COL_OBJ_W = 340, JW_COL_MIN_W = 120, JW_COL_MAX_W = 120,
                  JW_COL_INV_W = 100;
constexpr unsigned JW_DEV_MAX = 61, JW_PICK_MAX = 128;
constexpr color_t JW_DIM_COLOR = 0xFF909090;
constexpr int32_t VALUE_LIMIT = 2147483647;
constexpr int16_t SCROLL_PX = 50;

struct jw_dev_st {
    char str[96];
    uint8_t nodeid;
    device_st *device;
    joystick_obj_st *objs;
    uint16_t obj_count;
    bool objs_tried;
};

struct jw_row_st {
    kr_uilabel_st name;
    char name_str[24];
    kr_uilistbutton_st dev;
    kr_uibutton_st obj;
    char obj_str[128];
    kr_uidigitedit_st min;
    kr_uidigitedit_st max;
    kr_uicheckbox_st invert;
    kr_uilabel_st live;
    char live_str[48];
    uint8_t dev_index;
};

struct win_st {
    kr_uidialog_st dialog;
    kr_uiobject_st *children[16];
    kr_uilabel_st title;
    kr_uilabel_st status_label;
    kr_uilabel_st heads[7];
    kr_uiwindow_st list;
    kr_uiobject_st *list_children[2 + JOYSTICK_SLOT_COUNT * 7];
    kr_uilabel_st section[2];
    jw_row_st rows[JOYSTICK_SLOT_COUNT];
    kr_uibutton_st cancel;
    kr_uibutton_st save;
    joystick_conf_st conf;
    system_st *system;
    const kr_uistyle_st *style;
    jw_dev_st devs[JW_DEV_MAX];
    const char *dev_labels[JW_DEV_MAX + 1];
    uint8_t dev_count;
    bool saved;
    char status[200];
};

struct picker_st {
    kr_uidialog_st dialog;
    kr_uiobject_st *children[8];
    kr_uilabel_st title;
    char title_str[256];
    kr_uilabel_st filter_label;
    kr_uitextedit_st filter;
    char filter_str[64];
    char applied[64];
    kr_uilabel_st info;
    char info_str[96];
    kr_uiwindow_st list;
    kr_uiobject_st *list_children[JW_PICK_MAX];
    kr_uibutton_st rows[JW_PICK_MAX];
    char row_str[JW_PICK_MAX][160];
    uint16_t row_obj[JW_PICK_MAX];
    uint16_t shown;
    kr_uibutton_st cancel;
    int32_t result;
    const jw_dev_st *dev;
};

// Modal and one at a time, so the state is file-scope; `open` says which parts a test may look at.
win_st W;
picker_st P;
bool win_open = false, picker_open = false;

bool is_axis(unsigned slot) { return slot < JOYSTICK_AXIS_COUNT; }

int16_t row_y(unsigned slot)
{
    if (is_axis(slot)) return (int16_t)(JW_SECTION_H + slot * (JW_ROW_H + JW_GAP));
    // The "Buttons" label sits 10 below the last axis row; button rows start 44 further down.
    const int16_t first = (int16_t)(JW_SECTION_H + JOYSTICK_AXIS_COUNT * (JW_ROW_H + JW_GAP) + JW_ROW_H);
    return (int16_t)(first + (slot - JOYSTICK_AXIS_COUNT) * (JW_ROW_H + JW_GAP));
}

bool clicked(const kr_uibutton_st &b) { return b.state == UIBUTTON_CLICKED; }

// The wheel over a list scrolls it, 50 px per notch.
void wheel(kr_uiwindow_st *list)
{
    const int16_t notches = kr_ui_get_scroll();
    if (!notches) return;
    int32_t x = 0, y = 0;
    kr_ui_get_touch(&x, &y);
    const int32_t lx = kr_ui_get_xglobal(&list->super), ly = kr_ui_get_yglobal(&list->super);
    if (x >= lx && x < lx + list->super.bb.w && y >= ly && y < ly + list->super.bb.h)
        kr_uiwindow_content_move(list, 0, notches * SCROLL_PX);
}

void inform(const char *text)
{
    kr_uiacceptdialog_st d;
    kr_uiacceptdialog_exec(&d, text, "OK", "OK", W.style);
}

// ---- Device list ----

uint8_t add_dev(const char *label, uint8_t nodeid, device_st *device)
{
    jw_dev_st &d = W.devs[W.dev_count];
    std::memset(&d, 0, sizeof d);
    kr_copy_text(d.str, sizeof d.str, label);
    d.nodeid = nodeid;
    d.device = device;
    W.dev_labels[W.dev_count] = d.str;
    W.dev_labels[W.dev_count + 1] = nullptr;
    return W.dev_count++;
}

void build_devices()
{
    W.dev_count = 0;
    add_dev("Not used", 0, nullptr);
    if (W.system) {
        for (uint8_t i = 0; i < W.system->dev_count && i < SYSTEM_MAX_DEVICES; i++) {
            device_st &d = W.system->devs[i];
            if (!d.nodeid || !d.filepath[0] || d.thirdparty || W.dev_count >= JW_DEV_MAX) continue;
            char label[96];
            std::snprintf(label, sizeof label, "%.80s (0x%x)", d.devname[0] ? d.devname : d.name, d.nodeid);
            add_dev(label, d.nodeid, &d);
        }
    }
    for (unsigned s = 0; s < JOYSTICK_SLOT_COUNT; s++) {
        const uint8_t node = W.conf.slots[s].nodeid;
        uint8_t found = 0;
        for (uint8_t e = 1; node && e < W.dev_count && !found; e++)
            if (W.devs[e].nodeid == node) found = e;
        if (node && !found && W.dev_count < JW_DEV_MAX) {
            char label[96];
            std::snprintf(label, sizeof label, "Node 0x%x (not in system)", node);
            found = add_dev(label, node, nullptr);
        }
        W.rows[s].dev_index = found;
    }
}

// ---- Rows ----

void set_edit(kr_uidigitedit_st &e, int32_t v)
{
    kr_uidigitedit_set_value(&e, v);
    e.changed = false; // set by the window, not by the user
}

void show_row(unsigned s)
{
    jw_row_st &r = W.rows[s];
    const joystick_slot_st &slot = W.conf.slots[s];
    const bool used = slot.nodeid != 0;
    if (used)
        kr_copy_text(r.obj_str, sizeof r.obj_str, slot.object);
    else
        kr_copy_text(r.obj_str, sizeof r.obj_str, r.dev_index ? "Select input / output..." : "");
    kr_uibutton_set_text(&r.obj, r.obj_str);
    kr_ui_refresh(&r.obj.super);
    kr_ui_set_enabled(&r.obj.super, r.dev_index != 0);
    set_edit(r.min, is_axis(s) ? slot.min : slot.threshold);
    kr_ui_set_enabled(&r.min.super.super, used);
    if (is_axis(s)) {
        set_edit(r.max, slot.max);
        kr_ui_set_enabled(&r.max.super.super, used);
    }
    r.invert.super.state = slot.invert;
    kr_ui_refresh(&r.invert.super.super.super);
    kr_ui_set_enabled(&r.invert.super.super.super, used);
}

void show_live(unsigned s)
{
    jw_row_st &r = W.rows[s];
    const joystick_slot_st &e = W.conf.slots[s];
    const joystick_slot_st &a = joystick_get_conf()->slots[s];
    char text[sizeof r.live_str];
    int32_t raw = 0, out = 0;
    if (!e.nodeid)
        text[0] = 0;
    else if (a.nodeid != e.nodeid || a.cobid != e.cobid || a.offset != e.offset || a.size != e.size ||
             !joystick_get_live((uint8_t)s, &raw, &out))
        kr_copy_text(text, sizeof text, "-"); // the running driver does not map this yet, or has no fresh value
    else if (is_axis(s))
        std::snprintf(text, sizeof text, "%d  ->  %d %%", raw, out * 100 / JOYSTICK_AXIS_MAX);
    else
        std::snprintf(text, sizeof text, "%d  ->  %s", raw, out ? "ON" : "off");
    if (std::strcmp(text, r.live_str) != 0) {
        kr_copy_text(r.live_str, sizeof r.live_str, text);
        kr_ui_refresh(&r.live.super);
    }
}

void init_edit(kr_uidigitedit_st &e, const char *numpad_title)
{
    kr_uidigitedit_init(&e, 0, W.style);
    kr_uidigitedit_set_limits(&e, -VALUE_LIMIT, VALUE_LIMIT);
    e.modedata.normal.numpaddialog_title = numpad_title;
}

void add_row(unsigned s)
{
    jw_row_st &r = W.rows[s];
    kr_uiwindow_st *l = &W.list;
    const int16_t y = row_y(s);
    if (is_axis(s))
        kr_copy_text(r.name_str, sizeof r.name_str, JOYSTICK_AXIS_NAMES[s]);
    else
        std::snprintf(r.name_str, sizeof r.name_str, "%u", s - JOYSTICK_AXIS_COUNT + 1);
    kr_uilabel_init(&r.name, W.style->font, ALIGN_CENTER_LEFT, W.style->text_color, r.name_str);
    kr_uiwindow_addxy(l, &r.name.super, 0, y, JW_COL_SLOT_W, JW_ROW_H);
    int16_t x = JW_COL_SLOT_W + JW_GAP;
    kr_uilistbutton_init(&r.dev, W.dev_labels, W.dev_count, r.dev_index, W.style);
    kr_uiwindow_addxy(l, &r.dev.super.super, x, y, JW_COL_DEV_W, JW_ROW_H);
    x = (int16_t)(x + JW_COL_DEV_W + JW_GAP);
    kr_uibutton_init(&r.obj, r.obj_str, W.style);
    kr_uiwindow_addxy(l, &r.obj.super, x, y, JW_COL_OBJ_W, JW_ROW_H);
    x = (int16_t)(x + JW_COL_OBJ_W + JW_GAP);
    init_edit(r.min, is_axis(s) ? "The device value at the axis' minimum"
                                : "The device value from which on the button is pressed");
    kr_uiwindow_addxy(l, &r.min.super.super, x, y, JW_COL_MIN_W, JW_ROW_H);
    x = (int16_t)(x + JW_COL_MIN_W + JW_GAP);
    if (is_axis(s)) {
        init_edit(r.max, "The device value at the axis' maximum");
        kr_uiwindow_addxy(l, &r.max.super.super, x, y, JW_COL_MAX_W, JW_ROW_H);
    }
    x = (int16_t)(x + JW_COL_MAX_W + JW_GAP);
    kr_uicheckbox_init(&r.invert, false, "Invert", W.style);
    kr_uiwindow_addxy(l, &r.invert.super.super.super, x, y, JW_COL_INV_W, JW_ROW_H);
    x = (int16_t)(x + JW_COL_INV_W + JW_GAP);
    kr_uilabel_init(&r.live, W.style->font, ALIGN_CENTER_LEFT, W.style->text_color, r.live_str);
    kr_uiwindow_addxy(l, &r.live.super, x, y, (int16_t)(l->super.bb.w - JW_LIST_PAD - x), JW_ROW_H);
    show_row(s);
}

// ---- Picker ----

bool matches(const char *name, const char *filter)
{
    if (!filter[0]) return true;
    const size_t n = std::strlen(filter);
    for (const char *p = name; *p; p++) {
        size_t i = 0;
        while (i < n && p[i] && std::tolower((unsigned char)p[i]) == std::tolower((unsigned char)filter[i])) i++;
        if (i == n) return true;
    }
    return false;
}

void picker_build()
{
    kr_copy_text(P.applied, sizeof P.applied, P.filter_str);
    kr_uiwindow_clear(&P.list);
    const int16_t w = (int16_t)(P.list.super.bb.w - JW_LIST_PAD);
    unsigned matched = 0;
    P.shown = 0;
    for (uint16_t i = 0; i < P.dev->obj_count; i++) {
        const joystick_obj_st &o = P.dev->objs[i];
        if (!matches(o.name, P.applied)) continue;
        matched++;
        if (P.shown >= JW_PICK_MAX) continue;
        const uint16_t k = P.shown++;
        std::snprintf(P.row_str[k], sizeof P.row_str[k], "%s   (0x%x:%u, TXPDO 0x%x byte %u)", o.name, o.mindex,
                      o.sindex, o.pdo_cobid, o.pdo_offset);
        P.row_obj[k] = i;
        std::memset(&P.rows[k], 0, sizeof P.rows[k]);
        kr_uibutton_init(&P.rows[k], P.row_str[k], W.style);
        kr_uiwindow_addxy(&P.list, &P.rows[k].super, 0, (int16_t)(k * (JW_ROW_H + JW_GAP)), w, JW_ROW_H);
    }
    int32_t h = P.shown * (JW_ROW_H + JW_GAP);
    if (h < P.list.super.bb.h) h = P.list.super.bb.h;
    kr_uiwindow_set_contentbb(&P.list, w, (int16_t)h);
    kr_uiwindow_content_move_to(&P.list, 0, 0);
    if (P.shown == matched)
        std::snprintf(P.info_str, sizeof P.info_str, "%u of %u values", matched, (unsigned)P.dev->obj_count);
    else
        std::snprintf(P.info_str, sizeof P.info_str, "Showing %u of %u. Type in the filter to narrow the list down.",
                      (unsigned)P.shown, matched);
    kr_ui_refresh(&P.info.super);
}

kr_uiobject_ret_e picker_step(void *, uint16_t)
{
    wheel(&P.list);
    if (clicked(P.cancel)) {
        P.result = -1;
        return UIOBJECT_RETURN_KILLED;
    }
    if (std::strcmp(P.filter_str, P.applied) != 0) {
        picker_build();
        return UIOBJECT_RETURN_REFRESH;
    }
    for (uint16_t k = 0; k < P.shown; k++)
        if (clicked(P.rows[k])) {
            P.result = P.row_obj[k];
            return UIOBJECT_RETURN_KILLED;
        }
    return UIOBJECT_RETURN_ALIVE;
}

int32_t picker_exec(unsigned slot, const jw_dev_st &d)
{
    std::memset(&P, 0, sizeof P);
    P.dev = &d;
    P.result = -1;
    kr_uidialog_init(&P.dialog, P.children, W.style);
    kr_uiwindow_st *root = &P.dialog.super.super;
    const int16_t w = root->super.bb.w, h = root->super.bb.h;
    std::snprintf(P.title_str, sizeof P.title_str, "%s %s: select an input or output of %s",
                  is_axis(slot) ? "Axis" : "Button", W.rows[slot].name_str, d.str);
    kr_uilabel_init(&P.title, &ui_fonts[1], ALIGN_CENTER_LEFT, W.style->text_color, P.title_str);
    kr_uiwindow_addxy(root, &P.title.super, JW_MARGIN, JW_MARGIN, (int16_t)(w - 2 * JW_MARGIN), JW_TITLE_H);
    kr_uilabel_init(&P.filter_label, W.style->font, ALIGN_CENTER_LEFT, W.style->text_color, "Filter:");
    kr_uiwindow_addxy(root, &P.filter_label.super, JW_MARGIN, 50, 80, JW_BTN_H);
    kr_uitextedit_init(&P.filter, P.filter_str, sizeof P.filter_str, UITEXTEDIT_FLAG_ONELINE, W.style);
    P.filter.super.align = ALIGN_CENTER_LEFT;
    kr_uiwindow_addxy(root, &P.filter.super.super, 90, 50, 400, JW_BTN_H);
    kr_uilabel_init(&P.info, W.style->font, ALIGN_CENTER_LEFT, JW_DIM_COLOR, P.info_str);
    kr_uiwindow_addxy(root, &P.info.super, 500, 50, (int16_t)(w - 510), JW_BTN_H);
    kr_uiwindow_init(&P.list, P.list_children, W.style);
    kr_uiwindow_set_transparent(&P.list, true);
    kr_uiwindow_addxy(root, &P.list.super, JW_MARGIN, 104, (int16_t)(w - 2 * JW_MARGIN), (int16_t)(h - 168));
    kr_uibutton_init(&P.cancel, "Cancel", W.style);
    kr_uiwindow_addxy(root, &P.cancel.super, (int16_t)(w - JW_BTN_W - JW_MARGIN), (int16_t)(h - 54), JW_BTN_W,
                      JW_BTN_H);
    kr_uiwindow_set_focus(&P.filter.super.super);
    picker_build();
    kr_uiwindow_set_stepcallback(root, picker_step, nullptr);
    picker_open = true;
    kr_uidialog_exec(&P.dialog);
    picker_open = false;
    return P.result;
}

void pick(unsigned s)
{
    jw_row_st &r = W.rows[s];
    jw_dev_st &d = W.devs[r.dev_index];
    if (d.device && !d.objs_tried) {
        d.objs = joystick_catalog_build(d.device, &d.obj_count);
        d.objs_tried = true;
    }
    if (!d.device) {
        inform("This node is not one of the system's devices, so what it sends cannot be listed. Load the system file "
               "holding it, or pick another device.");
    } else if (!d.objs || !d.obj_count) {
        inform("This device sends no values in its TXPDOs, or its configuration package could not be read.");
    } else {
        const int32_t chosen = picker_exec(s, d);
        if (chosen >= 0 && chosen < d.obj_count)
            joystick_slot_set_obj(&W.conf.slots[s], (uint8_t)s, d.device, &d.objs[chosen]);
    }
    show_row(s);
}

// ---- The dialog ----

kr_uiobject_ret_e win_step(void *, uint16_t)
{
    wheel(&W.list);
    if (clicked(W.cancel)) return UIOBJECT_RETURN_KILLED;
    if (clicked(W.save)) {
        W.saved = true;
        return UIOBJECT_RETURN_KILLED;
    }
    for (unsigned s = 0; s < JOYSTICK_SLOT_COUNT; s++) {
        jw_row_st &r = W.rows[s];
        joystick_slot_st &slot = W.conf.slots[s];
        if (r.dev.current_index != r.dev_index) {
            r.dev_index = r.dev.current_index;
            std::memset(&slot, 0, sizeof slot);
            show_row(s);
        } else if (clicked(r.obj) && r.dev_index) {
            r.obj.state = UIBUTTON_UP; // the picker's loop must not see this click again
            pick(s);
        } else if (r.min.changed) {
            (is_axis(s) ? slot.min : slot.threshold) = r.min.value;
        } else if (is_axis(s) && r.max.changed) {
            slot.max = r.max.value;
        } else if (r.invert.super.clicked) {
            slot.invert = r.invert.super.state;
        }
        show_live(s);
    }
    const char *st = joystick_get_status();
    if (std::strncmp(st, W.status, sizeof W.status - 1) != 0) {
        kr_copy_text(W.status, sizeof W.status, st);
        kr_ui_refresh(&W.status_label.super);
    }
    return UIOBJECT_RETURN_ALIVE;
}

void build_window()
{
    kr_uidialog_init(&W.dialog, W.children, W.style);
    kr_uiwindow_st *root = &W.dialog.super.super;
    const int16_t w = root->super.bb.w, h = root->super.bb.h;
    kr_uilabel_init(&W.title, &ui_fonts[1], ALIGN_CENTER_LEFT, W.style->text_color, "Joystick driver");
    kr_uiwindow_addxy(root, &W.title.super, JW_MARGIN, JW_MARGIN, 300, JW_TITLE_H);
    kr_copy_text(W.status, sizeof W.status, joystick_get_status());
    kr_uilabel_init(&W.status_label, W.style->font, ALIGN_CENTER_RIGHT, JW_DIM_COLOR, W.status);
    kr_uiwindow_addxy(root, &W.status_label.super, 310, JW_MARGIN, (int16_t)(w - 320), JW_TITLE_H);

    static const char *const heads[7] = {"Axis", "CAN-bus device", "Input / output (TXPDO)", "Min / threshold", "Max",
                                         "",     "Live value"};
    static const int16_t widths[7] = {JW_COL_SLOT_W, JW_COL_DEV_W, JW_COL_OBJ_W, JW_COL_MIN_W,
                                      JW_COL_MAX_W,  JW_COL_INV_W, 200};
    int16_t x = 22;
    for (unsigned i = 0; i < 7; i++) {
        kr_uilabel_init(&W.heads[i], W.style->font, ALIGN_CENTER_LEFT, JW_DIM_COLOR, heads[i]);
        kr_uiwindow_addxy(root, &W.heads[i].super, x, 50, widths[i], JW_HEAD_H);
        x = (int16_t)(x + widths[i] + JW_GAP);
    }

    kr_uiwindow_init(&W.list, W.list_children, W.style);
    kr_uiwindow_set_transparent(&W.list, true);
    kr_uiwindow_addxy(root, &W.list.super, JW_MARGIN, 82, (int16_t)(w - 2 * JW_MARGIN), (int16_t)(h - 146));
    const int16_t cw = (int16_t)(w - 32);
    kr_uilabel_init(&W.section[0], &ui_fonts[1], ALIGN_CENTER_LEFT, W.style->text_color, "Axes");
    kr_uiwindow_addxy(&W.list, &W.section[0].super, 0, 0, cw, JW_SECTION_H);
    kr_uilabel_init(&W.section[1], &ui_fonts[1], ALIGN_CENTER_LEFT, W.style->text_color, "Buttons");
    kr_uiwindow_addxy(&W.list, &W.section[1].super, 0, (int16_t)(row_y(JOYSTICK_AXIS_COUNT - 1) + JW_ROW_H + 10), cw,
                      JW_SECTION_H);
    for (unsigned s = 0; s < JOYSTICK_SLOT_COUNT; s++) add_row(s);
    kr_uiwindow_set_contentbb(&W.list, cw, (int16_t)(row_y(JOYSTICK_SLOT_COUNT - 1) + JW_ROW_H));

    kr_uibutton_init(&W.cancel, "Cancel", W.style);
    kr_uiwindow_addxy(root, &W.cancel.super, (int16_t)(w - 320), (int16_t)(h - 54), JW_BTN_W, JW_BTN_H);
    kr_uibutton_init(&W.save, "Save", W.style);
    kr_uiwindow_addxy(root, &W.save.super, (int16_t)(w - 160), (int16_t)(h - 54), JW_BTN_W, JW_BTN_H);
    kr_uiwindow_set_stepcallback(root, win_step, nullptr);
}

} // namespace

bool joystick_win_exec(system_st *system, const kr_uistyle_st *style)
{
    std::memset(&W, 0, sizeof W);
    W.system = system;
    W.style = style ? style : &kr_uistyles[0];
    W.conf = *joystick_get_conf();
    build_devices();
    build_window();
    win_open = true;
    kr_uidialog_exec(&W.dialog);
    win_open = false;
    for (unsigned i = 0; i < W.dev_count; i++) {
        std::free(W.devs[i].objs);
        W.devs[i].objs = nullptr;
    }
    if (!W.saved) return false;
    joystick_set_conf(&W.conf);
    if (!system || !system->loaded || !system->extract_dir[0])
        inform("No system file is loaded, so the joystick configuration is not saved in one yet. The driver uses it "
               "now, and it goes into the system file the next time one is saved with \"Save system configuration to "
               "file\".");
    else if (!joystick_save_to_system(system))
        inform("The joystick configuration is in use, but it could not be saved into the system file. The log tells "
               "why.");
    return true;
}

const char *joystick_win_text(joystick_win_text_e which, unsigned index)
{
    const bool row = index < JOYSTICK_SLOT_COUNT;
    switch (which) {
    case JOYSTICK_WIN_STATUS: return win_open ? W.status : nullptr;
    case JOYSTICK_WIN_DEVICE: return win_open && row ? W.devs[W.rows[index].dev_index].str : nullptr;
    case JOYSTICK_WIN_OBJECT: return win_open && row ? W.rows[index].obj_str : nullptr;
    case JOYSTICK_WIN_LIVE: return win_open && row ? W.rows[index].live_str : nullptr;
    case JOYSTICK_WIN_PICKER_TITLE: return picker_open ? P.title_str : nullptr;
    case JOYSTICK_WIN_PICKER_INFO: return picker_open ? P.info_str : nullptr;
    case JOYSTICK_WIN_PICKER_ROW: return picker_open && index < P.shown ? P.row_str[index] : nullptr;
    }
    return nullptr;
}
