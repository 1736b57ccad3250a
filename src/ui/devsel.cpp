// The device-selection dialog: the system's devices with a check box each, several at once or
// exactly one (with an optional extra row); a reason callback greys out what cannot be chosen.
#include "ui/devsel.h"

#include <cstdio>
#include <cstring>

#include "ui/kr_uicontainers.h"
#include "ui/kr_uidisplay.h"
#include "ui/kr_uiwidgets.h"
#include "kr_bytes.h"
#include "kr_ui.h"

namespace {

constexpr int16_t DSW_MARGIN = 10;
constexpr int16_t DSW_TITLE_H = 30;
constexpr int16_t DSW_INFO_H = 26;
constexpr int16_t DSW_BTN_H = 44;
constexpr int16_t DSW_BTN_W = 150;
constexpr int16_t DSW_ROW_H = 44;
constexpr int DSW_ROW_MAX = 21;
constexpr color_t DSW_DIM_COLOR = 0xFF909090;
const char *const DSW_MULTI_INFO = "Select the devices to include. Devices that cannot take part are greyed out.";

struct row_st {
    kr_uicheckbox_st box;
    char text[160];
    kr_uilabel_st reason;
    char reason_text[96];
    device_st *device;
    bool selectable;
};

struct devsel_st {
    kr_uidialog_st dialog;
    kr_uiobject_st *buffer[8];
    kr_uilabel_st title;
    char title_text[160];
    kr_uilabel_st info;
    char info_text[256];
    kr_uibutton_st all_btn, none_btn, cancel_btn, accept_btn;
    char accept_text[64];
    kr_uiwindow_st list;
    kr_uiobject_st *list_buffer[2 * DSW_ROW_MAX];
    row_st rows[DSW_ROW_MAX];
    uint8_t listed_count;
    bool single_mode;
    bool accepted;
    int16_t box_w, reason_w;
};

devsel_st s;

void set_ticked(row_st &r, bool on)
{
    if (r.box.super.state == on) return;
    r.box.super.state = on;
    kr_ui_refresh(&r.box.super.super.super);
}

void add_row(device_st *device, const char *extra, const char *reason, bool ticked, const kr_uistyle_st *style)
{
    const uint8_t i = s.listed_count++;
    row_st &r = s.rows[i];
    r.device = device;
    r.selectable = reason == nullptr;
    if (device) {
        const char *name = device->devname[0] ? device->devname : device->name[0] ? device->name : "Unnamed device";
        std::snprintf(r.text, sizeof r.text, "%s  (node 0x%x)", name, (unsigned)device->nodeid);
    } else {
        kr_copy_text(r.text, sizeof r.text, extra);
    }
    kr_uicheckbox_init(&r.box, ticked, r.text, style);
    kr_uiwindow_addxy(&s.list, &r.box.super.super.super, 0, (int16_t)(DSW_ROW_H * i), s.box_w, DSW_ROW_H);
    if (!r.selectable) kr_ui_set_enabled(&r.box.super.super.super, false);
    if (s.reason_w > 0) {
        kr_copy_text(r.reason_text, sizeof r.reason_text, reason);
        kr_uilabel_init(&r.reason, style->font, ALIGN_CENTER_RIGHT, DSW_DIM_COLOR, r.reason_text);
        kr_uiwindow_addxy(&s.list, &r.reason.super, (int16_t)(s.box_w + 10), (int16_t)(DSW_ROW_H * i), s.reason_w,
                          DSW_ROW_H);
    }
}

// The wheel over the list scrolls it a row a notch.
void list_wheel()
{
    const int16_t notches = kr_ui_get_scroll();
    if (!notches) return;
    int32_t x = 0, y = 0;
    kr_ui_get_touch(&x, &y);
    const kr_uiobject_st &o = s.list.super;
    const int32_t lx = kr_ui_get_xglobal(&o), ly = kr_ui_get_yglobal(&o);
    if (x >= lx && x < lx + o.bb.w && y >= ly && y < ly + o.bb.h)
        kr_uiwindow_content_move(&s.list, 0, (int32_t)notches * DSW_ROW_H);
}

// The first ticked row is in sight when the dialog opens: accepting never chooses a row the user did
// not see (with 20 devices the extra row lies below the list's fold).
void show_first_ticked()
{
    for (uint8_t i = 0; i < s.listed_count; ++i) {
        if (!s.rows[i].box.super.state) continue;
        const int32_t bottom = (int32_t)DSW_ROW_H * (i + 1);
        if (bottom > s.list.super.bb.h) kr_uiwindow_content_move_to(&s.list, 0, bottom - s.list.super.bb.h);
        return;
    }
}

kr_uiobject_ret_e dsw_step(void *, uint16_t)
{
    list_wheel();
    if (s.accept_btn.state == UIBUTTON_CLICKED) {
        s.accepted = true;
        return UIOBJECT_RETURN_KILLED;
    }
    if (s.cancel_btn.state == UIBUTTON_CLICKED) return UIOBJECT_RETURN_KILLED;
    if (!s.single_mode) {
        const bool all = s.all_btn.state == UIBUTTON_CLICKED, none = s.none_btn.state == UIBUTTON_CLICKED;
        if (all || none)
            for (uint8_t i = 0; i < s.listed_count; ++i)
                if (s.rows[i].selectable) set_ticked(s.rows[i], all);
        return UIOBJECT_RETURN_ALIVE;
    }
    for (uint8_t i = 0; i < s.listed_count; ++i) {
        if (!s.rows[i].box.super.clicked) continue;
        // Radio buttons: the clicked row is the only one ticked, also when it was ticked before.
        for (uint8_t j = 0; j < s.listed_count; ++j) set_ticked(s.rows[j], j == i);
        break;
    }
    return UIOBJECT_RETURN_ALIVE;
}

} // namespace

extern "C" {

uint8_t devsel_exec(system_st *system, const char *title, const char *info, const char *accept_text,
                    devsel_reason_t reason_callb, const char *extra_text, device_st **targets, uint8_t max_count,
                    bool single, const kr_uistyle_st *style)
{
    if (!style) style = &kr_uistyles[0];
    std::memset((void *)&s, 0, sizeof s);
    s.single_mode = single;
    kr_uidialog_init(&s.dialog, s.buffer, style);
    kr_uiwindow_set_stepcallback(&s.dialog.super.super, dsw_step, nullptr);
    const int16_t w = s.dialog.super.super.super.bb.w, h = s.dialog.super.super.super.bb.h;

    kr_copy_text(s.title_text, sizeof s.title_text, title);
    kr_uilabel_init(&s.title, &font25, ALIGN_CENTER_LEFT, style->text_color, s.title_text);
    kr_uiwindow_addxy(&s.dialog.super.super, &s.title.super, DSW_MARGIN, DSW_MARGIN, (int16_t)(w - 20), DSW_TITLE_H);
    kr_copy_text(s.info_text, sizeof s.info_text, info);
    kr_uilabel_init(&s.info, style->font, ALIGN_CENTER_LEFT, style->text_color, s.info_text);
    kr_uiwindow_addxy(&s.dialog.super.super, &s.info.super, DSW_MARGIN, 40, (int16_t)(w - 20), DSW_INFO_H);

    kr_uiwindow_init(&s.list, s.list_buffer, style);
    kr_uiwindow_set_transparent(&s.list, true);
    kr_uiwindow_addxy(&s.dialog.super.super, &s.list.super, DSW_MARGIN, 76, (int16_t)(w - 20), (int16_t)(h - 140));
    const int16_t inner = (int16_t)(w - 26);
    s.reason_w = single ? 0 : (int16_t)(inner / 3);
    s.box_w = single ? inner : (int16_t)(inner - s.reason_w - 10);

    const uint8_t count = system ? (system->dev_count < SYSTEM_MAX_DEVICES ? system->dev_count : SYSTEM_MAX_DEVICES)
                                 : 0;
    for (uint8_t i = 0; i < count && s.listed_count < DSW_ROW_MAX; ++i) {
        device_st *d = &system->devs[i];
        const char *reason = reason_callb ? reason_callb(d) : nullptr;
        if (single && reason) continue;
        // With an extra row (the device the caller stands for) no other device is chosen unasked.
        add_row(d, nullptr, reason, single ? s.listed_count == 0 && !extra_text : reason == nullptr, style);
    }
    if (single && extra_text && s.listed_count < DSW_ROW_MAX) add_row(nullptr, extra_text, nullptr, true, style);
    const int32_t rows_h = s.listed_count * DSW_ROW_H;
    kr_uiwindow_set_contentbb(&s.list, inner, (int16_t)(rows_h > h - 140 ? rows_h : h - 140));

    const int16_t by = (int16_t)(h - 54);
    if (!single) {
        kr_uibutton_init(&s.all_btn, "Select all", style);
        kr_uiwindow_addxy(&s.dialog.super.super, &s.all_btn.super, 10, by, DSW_BTN_W, DSW_BTN_H);
        kr_uibutton_init(&s.none_btn, "Select none", style);
        kr_uiwindow_addxy(&s.dialog.super.super, &s.none_btn.super, 170, by, DSW_BTN_W, DSW_BTN_H);
    }
    kr_uibutton_init(&s.cancel_btn, "Cancel", style);
    kr_uiwindow_addxy(&s.dialog.super.super, &s.cancel_btn.super, (int16_t)(w - 320), by, DSW_BTN_W, DSW_BTN_H);
    kr_copy_text(s.accept_text, sizeof s.accept_text, accept_text);
    kr_uibutton_init(&s.accept_btn, s.accept_text, style);
    kr_uiwindow_addxy(&s.dialog.super.super, &s.accept_btn.super, (int16_t)(w - 160), by, DSW_BTN_W, DSW_BTN_H);

    show_first_ticked();
    kr_uidialog_exec(&s.dialog);
    if (!s.accepted) return 0;
    uint8_t n = 0;
    for (uint8_t i = 0; i < s.listed_count && n < max_count; ++i) {
        const row_st &r = s.rows[i];
        if (r.selectable && r.box.super.state) {
            if (targets) targets[n] = r.device;
            n++;
        }
    }
    return n;
}

uint8_t devsel_win_exec(system_st *system, const char *title, const char *accept_text, devsel_reason_t reason_callb,
                        device_st **targets, uint8_t max_count, const kr_uistyle_st *style)
{
    return devsel_exec(system, title, DSW_MULTI_INFO, accept_text, reason_callb, nullptr, targets, max_count, false,
                       style);
}

bool devsel_win_exec_single(system_st *system, const char *title, const char *info, const char *accept_text,
                            devsel_reason_t reason_callb, const char *extra_text, device_st **target,
                            const kr_uistyle_st *style)
{
    device_st *chosen = nullptr;
    if (devsel_exec(system, title, info, accept_text, reason_callb, extra_text, &chosen, 1, true, style) == 0)
        return false;
    if (target) *target = chosen;
    return true;
}

} // extern "C"
