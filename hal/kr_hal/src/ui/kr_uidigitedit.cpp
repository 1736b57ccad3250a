// Digit edit and the numpad.
#include "ui/kr_uidigitedit.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kr_rtos.h"

namespace {

constexpr int32_t INCDEC_W = 40;
constexpr int32_t REPEAT_FIRST_MS = 250, REPEAT_MS = 30;
constexpr size_t MAX_DIGITS = NUMPAD_VALUE_STR_LEN - 1;

const char *const labels_dec[12] = {"1", "2", "3", "4", "5", "6", "7", "8", "9", "CANCEL", "0", "OK"};
const char *const labels_hex[20] = {"1", "2", "3", "A", "B", "4",      "5", "6", "C", "D",
                                    "7", "8", "9", "E", "F", "CANCEL", "",  "0", "",  "OK"};

int32_t clamp64(int64_t v, int32_t lo, int32_t hi)
{
    if (v < lo) return lo;
    if (v > hi) return hi;
    return (int32_t)v;
}

// ---- Digit edit ----

// The field holds 15 characters: longer texts (a long unit) are cut on purpose.
#if !defined(__clang__) // clang has no such warning
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-truncation"
#endif
void format_value(kr_uidigitedit_st *me, int32_t value)
{
    const char *u = me->unit ? me->unit : "";
    const int64_t v = value;
    const int64_t mag = v < 0 ? -v : v;
    if (me->divider == 0) {
        if (me->hex)
            std::snprintf(me->str, sizeof me->str, "%s0x%llx %s", v < 0 ? "-" : "", (unsigned long long)mag, u);
        else
            std::snprintf(me->str, sizeof me->str, "%i %s", value, u);
        return;
    }
    int32_t d = -1;
    for (uint32_t x = me->divider; x; x /= 10) ++d;
    int64_t s = 1;
    if (me->mode == UIDIGITEDIT_MODE_INCDEC) {
        int32_t step = me->modedata.incdec.inc_step < 0 ? -me->modedata.incdec.inc_step : me->modedata.incdec.inc_step;
        while (d > 0 && step > 9 && step % 10 == 0) {
            step /= 10;
            s *= 10;
            --d;
        }
    }
    // The sign goes in front of the whole number, so -5 with divider 10 reads -0.5.
    const char *sign = v < 0 ? "-" : "";
    if (d > 0)
        std::snprintf(me->str, sizeof me->str, "%s%lld.%0*lld %s", sign, (long long)(mag / me->divider), (int)d,
                      (long long)((mag % me->divider) / s), u);
    else
        std::snprintf(me->str, sizeof me->str, "%s%lld %s", sign, (long long)(mag / me->divider), u);
}
#if !defined(__clang__)
#pragma GCC diagnostic pop
#endif

// A text cut at the field's end drops a UTF-8 character it cut in two, which would draw as "?".
void drop_cut_character(char *s)
{
    size_t n = std::strlen(s), lead = n;
    while (lead > 0 && n - lead < 4 && ((uint8_t)s[lead - 1] & 0xC0) == 0x80) --lead;
    if (lead == 0 || ((uint8_t)s[lead - 1] & 0x80) == 0) return;
    const uint8_t b = (uint8_t)s[lead - 1];
    const size_t want = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 1;
    if (n - (lead - 1) < want) s[lead - 1] = '\0';
}

void set_value(kr_uidigitedit_st *me, int64_t value, bool force)
{
    const int32_t v = clamp64(value, me->limit_min, me->limit_max);
    if (v == me->value && !force) return;
    format_value(me, v);
    drop_cut_character(me->str);
    me->super.str = me->str;
    kr_ui_refresh(&me->super.super);
    if (v != me->value) me->changed = true;
    me->value = v;
}

void digitedit_draw(kr_uiobject_st *o, const kr_bounding_box_st *)
{
    kr_uidigitedit_st *me = (kr_uidigitedit_st *)o;
    const kr_uilabel_st &l = me->super;
    const int32_t x = kr_ui_get_xglobal(o), y = kr_ui_get_yglobal(o), w = o->bb.w, h = o->bb.h;
    const int32_t text_h = kr_ui_get_string_height(me->str, l.font);
    int32_t fh = text_h + 8;
    if (me->mode == UIDIGITEDIT_MODE_INCDEC) fh = INCDEC_W;
    if (me->mode == UIDIGITEDIT_MODE_RODIGIT) fh = text_h;
    const ui_font_st *title_font = l.font;
    if (me->mode == UIDIGITEDIT_MODE_RODIGIT && me->modedata.rodigit.title_font)
        title_font = me->modedata.rodigit.title_font;
    const int32_t th = me->title ? kr_ui_get_string_height(me->title, title_font) : 0;
    const int32_t yb = y + (h - (fh + th + 4)) / 2;
    if (me->mode == UIDIGITEDIT_MODE_NORMAL) {
        kr_ui_draw_shadowrrect(x, yb, w, fh, 0, me->bg_color, kr_uic_brighten(me->bg_color, -30),
                               kr_uic_brighten(me->bg_color, 30));
    } else if (me->mode == UIDIGITEDIT_MODE_INCDEC) {
        const int8_t held = me->modedata.incdec.pressed_button;
        for (int side = -1; side <= 1; side += 2) {
            const bool at_limit = side < 0 ? me->value == me->limit_min : me->value == me->limit_max;
            const color_t face = at_limit ? kr_uic_grayscale(me->bg_color) : me->bg_color;
            const bool down = held == side;
            const int32_t bx = side < 0 ? x : x + w - INCDEC_W;
            kr_ui_draw_shadowrrect(bx, yb, INCDEC_W, INCDEC_W, 2, face, kr_uic_brighten(face, down ? -80 : 80),
                                   kr_uic_brighten(face, down ? 80 : -80));
        }
        kr_ui_draw_string("-", l.font, x + 20, yb + fh / 2, ALIGN_CENTER, l.color);
        kr_ui_draw_string("+", l.font, x + w - 20, yb + fh / 2, ALIGN_CENTER, l.color);
    }
    kr_ui_draw_string(me->str, l.font, x + w / 2, yb + fh / 2 + 2, ALIGN_CENTER, l.color);
    if (me->title) kr_ui_draw_string(me->title, title_font, x + w / 2, yb + fh + 4, ALIGN_TOP_CENTER, l.color);
}

void digitedit_touch(kr_uiobject_st *o, kr_touch_st *t)
{
    kr_uidigitedit_st *me = (kr_uidigitedit_st *)o;
    if (me->mode == UIDIGITEDIT_MODE_NORMAL) {
        if (t->action != TOUCH_CLICKED) return;
        t->action = TOUCH_NONE;
        const int32_t v = kr_uinumpaddialog_exec(me->modedata.normal.numpaddialog_title, me->limit_max, me->limit_min,
                                                 me->value, me->hex ? UINUMPAD_FLAGS_HEX : UINUMPAD_FLAGS_NONE,
                                                 me->style);
        set_value(me, v, false);
        return;
    }
    if (me->mode != UIDIGITEDIT_MODE_INCDEC) return;
    auto &id = me->modedata.incdec;
    if (t->action == TOUCH_PRESSED) {
        if (t->x <= INCDEC_W)
            id.pressed_button = -1;
        else if (t->x > o->bb.w - INCDEC_W)
            id.pressed_button = 1;
        id.delay = REPEAT_FIRST_MS;
        set_value(me, (int64_t)me->value + (int64_t)id.pressed_button * id.inc_step, false);
        kr_ui_refresh(o);
    } else if (t->action != TOUCH_IS_DOWN && t->action != TOUCH_NONE) {
        id.delay = -1;
        id.pressed_button = 0;
        kr_ui_refresh(o);
    }
}

// ---- Numpad ----

int32_t columns(const kr_uinumpad_st *me) { return (me->flags & UINUMPAD_FLAGS_HEX) ? 5 : 3; }
const char *label(const kr_uinumpad_st *me, int32_t i)
{
    if (i < 0 || i >= columns(me) * 4) return "";
    return (me->flags & UINUMPAD_FLAGS_HEX) ? labels_hex[i] : labels_dec[i];
}
int32_t cancel_index(const kr_uinumpad_st *me) { return 3 * columns(me); }

// The string's number; false when it lies outside the limits (checked before narrowing).
bool parse(const kr_uinumpad_st *me, const char *s, int32_t *out)
{
    const long long v = std::strtoll(s, nullptr, (me->flags & UINUMPAD_FLAGS_HEX) ? 16 : 10);
    if (v > me->limit_max || v < me->limit_min) return false;
    *out = (int32_t)v;
    return true;
}

void reread(kr_uinumpad_st *me)
{
    int32_t v = 0;
    if (!parse(me, me->value_str, &v)) v = 0;
    me->value = v;
}

void strip_zeros(char *s)
{
    char *digits = s[0] == '-' ? s + 1 : s;
    size_t n = 0;
    while (digits[n] == '0') ++n;
    if (n) std::memmove(digits, digits + n, std::strlen(digits + n) + 1);
}

int32_t button_at(const kr_uinumpad_st *me, int32_t x, int32_t y, bool *sign_half)
{
    const kr_bounding_box_st &bb = me->super.bb;
    const int32_t cols = columns(me), cw = bb.w / cols, rh = bb.h / 5;
    *sign_half = false;
    if (cw <= 0 || rh <= 0 || x < 0 || y < 0) return -1;
    const int32_t row = y / rh, col = x / cw;
    if (row < 1 || row > 4 || col >= cols) return -1;
    const int32_t idx = (row - 1) * cols + col;
    if (idx == cancel_index(me) && me->limit_min < 0 && x - col * cw >= cw / 2) *sign_half = true;
    return idx;
}

void numpad_draw(kr_uiobject_st *o, const kr_bounding_box_st *)
{
    kr_uinumpad_st *me = (kr_uinumpad_st *)o;
    const int32_t x = kr_ui_get_xglobal(o), y = kr_ui_get_yglobal(o), cols = columns(me);
    const int32_t cw = o->bb.w / cols, rh = o->bb.h / 5;
    const ui_font_st *font = me->style->font;
    const color_t tc = me->style->text_color, bg = me->style->bg_c;
    if (me->title) kr_ui_draw_string(me->title, font, x + o->bb.w / 2, y, ALIGN_TOP_CENTER, tc);
    const char *number = me->value_str[0] ? me->value_str : me->current;
    if (number && number[0]) {
        const int32_t top = y + (font ? font->char_height : 0);
        kr_ui_draw_string(number, font, x + o->bb.w / 2, top + (y + rh - top) / 2, ALIGN_CENTER,
                          me->value_str[0] ? tc : kr_uic_brighten(tc, -110));
    }
    auto button = [&](int32_t bx, int32_t by, int32_t bw, const char *text, bool hot) {
        const color_t face = hot ? kr_uic_brighten(bg, 80) : bg;
        kr_ui_draw_shadowrrect(bx, by, bw, rh, 2, face, kr_uic_brighten(face, 80), kr_uic_brighten(face, -80));
        kr_ui_draw_string(text, font, bx + bw / 2, by + rh / 2, ALIGN_CENTER, tc);
    };
    for (int32_t i = 0; i < cols * 4; ++i) {
        const int32_t bx = x + (i % cols) * cw, by = y + (1 + i / cols) * rh;
        const char *lab = label(me, i);
        if (i == cancel_index(me)) {
            if (me->limit_min < 0) {
                button(bx, by, cw / 2, "Back", me->pressed_index == i);
                button(bx + cw / 2, by, cw - cw / 2, "+/-", me->sign < 0 || me->pressed_index == SIGN_INDEX);
            } else {
                button(bx, by, cw, "Back", me->pressed_index == i);
            }
            continue;
        }
        button(bx, by, cw, lab, me->pressed_index == i);
    }
}

void numpad_touch(kr_uiobject_st *o, kr_touch_st *t)
{
    kr_uinumpad_st *me = (kr_uinumpad_st *)o;
    if (t->action == TOUCH_PRESSED) {
        bool sign_half = false;
        const int32_t idx = button_at(me, t->x, t->y, &sign_half);
        if (sign_half) {
            me->pressed_index = SIGN_INDEX;
            me->sign = (int8_t)-me->sign;
        } else {
            me->pressed_index = (int8_t)idx;
        }
        kr_ui_refresh(o);
    } else if (t->action == TOUCH_RELEASED || t->action == TOUCH_CLICKED) {
        me->released_index = me->pressed_index;
        me->pressed_index = -1;
        kr_ui_refresh(o);
    }
}

void flip_sign(kr_uinumpad_st *me)
{
    me->sign = (int8_t)-me->sign;
    kr_uinumpad_apply_sign(me);
}

kr_uiobject_ret_e numpad_step(kr_uiobject_st *o, uint16_t)
{
    kr_uinumpad_st *me = (kr_uinumpad_st *)o;
    me->submitted = me->cancelled = false;
    if (me->released_index != -1) {
        const int32_t r = me->released_index;
        me->released_index = -1;
        if (r == SIGN_INDEX) {
            kr_uinumpad_apply_sign(me);
        } else if (r == cancel_index(me)) {
            if (!kr_uinumpad_delete(me)) me->cancelled = true;
        } else if (r == columns(me) * 4 - 1) {
            me->submitted = true;
        } else if (*label(me, r)) {
            kr_uinumpad_append(me, label(me, r)[0]);
        }
        kr_ui_refresh(o);
    }
    for (char k = kr_ui_get_key_press(); k; k = kr_ui_get_key_press()) {
        const bool hex = me->flags & UINUMPAD_FLAGS_HEX;
        if (k >= '0' && k <= '9') {
            kr_uinumpad_append(me, k);
        } else if (hex && k >= 'a' && k <= 'f') {
            kr_uinumpad_append(me, (char)(k - 'a' + 'A'));
        } else if (hex && k >= 'A' && k <= 'F') {
            kr_uinumpad_append(me, k);
        } else if ((k == '-' || k == '+') && me->limit_min < 0) {
            flip_sign(me);
        } else if (k == UI_KEY_BACKSPACE || k == UI_KEY_DELETE) {
            kr_uinumpad_delete(me);
        } else if (k == UI_KEY_ENTER || k == 13) {
            me->submitted = true;
            break;
        } else if (k == UI_KEY_ESCAPE) {
            me->cancelled = true;
            break;
        }
        kr_ui_refresh(o);
    }
    return UIOBJECT_RETURN_ALIVE;
}

struct numpad_dialog {
    kr_uidialog_st dialog;
    kr_uiobject_st *children[1];
    kr_uinumpad_st pad;
    char current[NUMPAD_VALUE_STR_LEN];
};

kr_uiobject_ret_e numpad_dialog_step(void *p, uint16_t)
{
    numpad_dialog *d = (numpad_dialog *)p;
    return d->pad.submitted || d->pad.cancelled ? UIOBJECT_RETURN_KILLED : UIOBJECT_RETURN_ALIVE;
}

} // namespace

extern "C" {

// ---- Numpad editing ----

void kr_uinumpad_append(kr_uinumpad_st *me, char c)
{
    size_t n = std::strlen(me->value_str);
    if (n >= MAX_DIGITS) return;
    me->value_str[n] = c;
    me->value_str[n + 1] = 0;
    int32_t v = 0;
    if (!parse(me, me->value_str, &v)) me->value_str[n] = 0;
    strip_zeros(me->value_str);
    reread(me);
}

bool kr_uinumpad_delete(kr_uinumpad_st *me)
{
    const size_t n = std::strlen(me->value_str);
    if (n == 0) return false;
    if (n == 2 && me->value_str[0] == '-') {
        me->value_str[0] = 0;
        me->sign = 1;
    } else {
        me->value_str[n - 1] = 0;
        if (n == 1 && me->value_str[0] == 0) me->sign = 1; // a lone "-" went
    }
    reread(me);
    return true;
}

void kr_uinumpad_apply_sign(kr_uinumpad_st *me)
{
    const size_t n = std::strlen(me->value_str);
    if (me->sign < 0) {
        if (me->value_str[0] == '-') return;
        int32_t v = 0;
        char tmp[NUMPAD_VALUE_STR_LEN + 1];
        std::snprintf(tmp, sizeof tmp, "-%s", me->value_str);
        // No room for the sign, or the negative number is out of the limits: the sign stays positive.
        if (n >= MAX_DIGITS || !parse(me, tmp, &v)) {
            me->sign = 1;
            return;
        }
        std::memcpy(me->value_str, tmp, n + 2);
    } else if (me->value_str[0] == '-') {
        std::memmove(me->value_str, me->value_str + 1, n);
    }
    reread(me);
}

void kr_uinumpad_init(kr_uinumpad_st *me, const char *title, const kr_uistyle_st *style)
{
    if (!me) return;
    kr_uiobject_init(&me->super);
    me->super.vrtl_draw = numpad_draw;
    me->super.vrtl_touch = numpad_touch;
    me->super.step_callb = numpad_step;
    me->flags = UINUMPAD_FLAGS_NONE;
    me->value = 0;
    me->value_str[0] = 0;
    me->sign = 1;
    me->pressed_index = me->released_index = -1;
    me->submitted = me->cancelled = false;
    me->limit_max = 0x7FFFFFFF;
    me->limit_min = 0;
    me->title = title;
    me->current = nullptr;
    me->style = style ? style : &kr_uistyles[0];
    while (kr_ui_get_key_press() != 0) {
    }
}

int32_t kr_uinumpaddialog_exec(const char *title, int32_t max_limit, int32_t min_limit, int32_t fallback_value,
                               uint8_t flags, const kr_uistyle_st *style)
{
    numpad_dialog d;
    std::memset(&d, 0, sizeof d);
    kr_uidialog_init(&d.dialog, d.children, style);
    kr_uiwindow_set_stepcallback(&d.dialog.super.super, numpad_dialog_step, &d);
    kr_uinumpad_init(&d.pad, title, &kr_uistyles[0]);
    d.pad.flags = flags;
    d.pad.limit_max = max_limit;
    d.pad.limit_min = min_limit;
    // The value that stays when nothing is typed, so the user sees what is being changed.
    if (flags & UINUMPAD_FLAGS_HEX)
        std::snprintf(d.current, sizeof d.current, "%s0x%X", fallback_value < 0 ? "-" : "",
                      (unsigned)(fallback_value < 0 ? 0u - (uint32_t)fallback_value : (uint32_t)fallback_value));
    else
        std::snprintf(d.current, sizeof d.current, "%d", (int)fallback_value);
    d.pad.current = d.current;
    kr_uiwindow_add(&d.dialog.super.super, &d.pad.super, d.dialog.super.super.super.bb);
    kr_uidialog_exec(&d.dialog);
    return d.pad.cancelled ? fallback_value : d.pad.value;
}

// ---- Digit edit ----

void kr_uidigitedit_init(kr_uidigitedit_st *me, int32_t value, const kr_uistyle_st *style)
{
    if (!me) return;
    if (!style) style = &kr_uistyles[0];
    kr_uilabel_init(&me->super, style->font, ALIGN_CENTER, style->text_color, me->str);
    me->style = style;
    me->divider = 0;
    me->mode = UIDIGITEDIT_MODE_NORMAL;
    me->title = me->unit = nullptr;
    me->hex = false;
    me->bg_color = style->bg_c;
    me->limit_max = 0x7FFFFFFF;
    me->limit_min = value < 1 ? -32767 : 0;
    std::memset(&me->modedata, 0, sizeof me->modedata);
    set_value(me, value, true);
    me->changed = false;
    me->super.super.step_callb = kr_uidigitedit_step;
    me->super.super.vrtl_draw = digitedit_draw;
    me->super.super.vrtl_touch = digitedit_touch;
}

void kr_uidigitedit_set_value(kr_uidigitedit_st *me, int32_t value)
{
    if (me) set_value(me, value, false);
}

void kr_uidigitedit_set_limits(kr_uidigitedit_st *me, int32_t min, int32_t max)
{
    if (!me) return;
    me->limit_min = min;
    me->limit_max = max;
    if (me->value < min || me->value > max) set_value(me, me->value, true);
}

void kr_uidigitedit_set_hex(kr_uidigitedit_st *me, bool value)
{
    if (!me || me->hex == value) return;
    me->hex = value;
    set_value(me, me->value, true);
}

void kr_uidigitedit_set_divider(kr_uidigitedit_st *me, uint16_t divider)
{
    if (!me) return;
    me->divider = divider;
    set_value(me, me->value, true);
}

void kr_uidigitedit_set_unit(kr_uidigitedit_st *me, const char *unit)
{
    if (!me) return;
    me->unit = unit;
    set_value(me, me->value, true);
}

void kr_uidigitedit_set_inc_step(kr_uidigitedit_st *me, int16_t step)
{
    if (!me || me->mode != UIDIGITEDIT_MODE_INCDEC) return;
    me->modedata.incdec.inc_step = step;
    set_value(me, me->value, true);
}

void kr_uidigitedit_set_mode(kr_uidigitedit_st *me, uint8_t mode)
{
    if (!me) return;
    me->mode = mode;
    if (mode == UIDIGITEDIT_MODE_NORMAL) {
        me->modedata.normal.numpaddialog_title = me->title;
    } else if (mode == UIDIGITEDIT_MODE_INCDEC) {
        me->modedata.incdec.inc_step = 1;
        me->modedata.incdec.pressed_button = 0;
        me->modedata.incdec.delay = -1;
    }
    kr_ui_refresh(&me->super.super);
}

kr_uiobject_ret_e kr_uidigitedit_step(kr_uiobject_st *o, uint16_t step_ms)
{
    kr_uidigitedit_st *me = (kr_uidigitedit_st *)o;
    me->changed = false;
    if (me->mode == UIDIGITEDIT_MODE_INCDEC && kr_delay(&me->modedata.incdec.delay, step_ms)) {
        me->modedata.incdec.delay = REPEAT_MS;
        // In 64 bits and clamped: held at the maximum it stays there instead of wrapping.
        set_value(me, (int64_t)me->value + (int64_t)me->modedata.incdec.pressed_button * me->modedata.incdec.inc_step,
                  false);
    }
    return UIOBJECT_RETURN_ALIVE;
}

} // extern "C"
