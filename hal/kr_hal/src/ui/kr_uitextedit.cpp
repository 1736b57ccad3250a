// Text edit and the on-screen keyboard.
#include "ui/kr_uitextedit.h"

#include <cstring>
#include <string>

#include "kr_rtos.h"

namespace {

constexpr int32_t STEP_MS = 20;

const keyb_key_st keys[UIKEYBOARD_KEY_COUNT] = {
    {"1", "/", true},
    {"2", ":", true},
    {"3", "\"", true},
    {"4", "?", true},
    {"5", "=", true},
    {"6", ".", true},
    {"7", "-", true},
    {"8", "_", true},
    {"9", "@", true},
    {"0", "&", true},
    {"q", "Q", false},
    {"w", "W", false},
    {"e", "E", false},
    {"r", "R", false},
    {"t", "T", false},
    {"y", "Y", false},
    {"u", "U", false},
    {"i", "I", false},
    {"o", "O", false},
    {"p", "P", false},
    {"a", "A", false},
    {"s", "S", false},
    {"d", "D", false},
    {"f", "F", false},
    {"g", "G", false},
    {"h", "H", false},
    {"j", "J", false},
    {"k", "K", false},
    {"l", "L", false},
    {"z", "Z", false},
    {"x", "X", false},
    {"c", "C", false},
    {"v", "V", false},
    {"b", "B", false},
    {"n", "N", false},
    {"m", "M", false},
    {"\xc3\xa4", "\xc3\x84", false},
    {"\xc3\xb6", "\xc3\x96", false},
};
const int32_t line_lengths[4] = {10, 10, 9, 9};
const int32_t line_indents[4] = {0, 1, 2, 2};
constexpr int32_t KEY_W = UI_SCREEN_WIDTH / 12;         // 100
constexpr int32_t KEY_H = UI_SCREEN_HEIGHT * 3 / 4 / 5; // 108
constexpr int32_t KEYS_TOP = UI_SCREEN_HEIGHT / 4 - 1;  // 179

bool is_cont(char c) { return ((unsigned char)c & 0xC0) == 0x80; }

void cut_line(char *s)
{
    if (char *p = std::strpbrk(s, "\r\n")) *p = 0;
}

const char *key_text(const kr_uikeyboard_st *me, int16_t k)
{
    const keyb_key_st &key = keys[k];
    if (key.show_alt) return me->shift ? key.shifted : key.normal;
    return me->shift || me->autocaps ? key.shifted : key.normal;
}

const ui_font_st *alt_font(const ui_font_st *f)
{
    for (int i = 1; i < UI_MAX_FONT_COUNT; ++i)
        if (f == &ui_fonts[i]) return &ui_fonts[i - 1];
    return f;
}

void draw_key(const kr_uikeyboard_st *me, int16_t k, const char *text, const char *hint, bool active)
{
    const kr_bounding_box_st r = kr_uikeyboard_key_geometry(k);
    color_t base = me->style->bg_c;
    if (active) base = kr_uic_brighten(base, 80);
    if (me->pressed == k)
        kr_ui_draw_shadowrrect(r.x, r.y, r.w, r.h, 2, kr_uic_brighten(base, 20), kr_uic_brighten(base, -80),
                               kr_uic_brighten(base, 80));
    else
        kr_ui_draw_shadowrrect(r.x, r.y, r.w, r.h, 2, base, kr_uic_brighten(base, 80), kr_uic_brighten(base, -80));
    const ui_font_st *font = me->style->font;
    const color_t tc = me->style->text_color;
    if (!hint) {
        kr_ui_draw_string(text, font, r.x + r.w / 2, r.y + r.h / 2, ALIGN_CENTER, tc);
        return;
    }
    kr_ui_draw_string(text, font, r.x + r.w / 2, r.y + r.h * 35 / 100, ALIGN_CENTER, tc);
    kr_ui_draw_string(hint, alt_font(font), r.x + r.w / 2, r.y + r.h * 78 / 100, ALIGN_CENTER,
                      kr_uic_brighten(tc, -80));
}

void keyboard_draw(kr_uiobject_st *o, const kr_bounding_box_st *)
{
    kr_uikeyboard_st *me = (kr_uikeyboard_st *)o;
    kr_ui_set_mask(0, 0, UI_SCREEN_WIDTH, UI_SCREEN_HEIGHT);
    kr_ui_clear(me->style->window_c);
    const ui_font_st *font = me->style->font;
    if (me->title) kr_ui_draw_string(me->title, font, 600, 0, ALIGN_TOP_CENTER, me->style->text_color);
    kr_ui_draw_string(me->buffer, font, 600, font ? font->char_height : 0, ALIGN_TOP_CENTER, me->style->text_color);
    for (int16_t k = 0; k < UIKEYBOARD_KEY_COUNT; ++k) {
        const char *hint = nullptr;
        if (keys[k].show_alt) hint = me->shift ? keys[k].normal : keys[k].shifted;
        draw_key(me, k, key_text(me, k), hint, false);
    }
    draw_key(me, KEY_BACKSPACE, "Backspace", nullptr, false);
    draw_key(me, KEY_ENTER, "Enter", nullptr, false);
    draw_key(me, KEY_SHIFT, "Shift", nullptr, me->shift || me->autocaps);
    draw_key(me, KEY_SPACE, "Space", nullptr, false);
    kr_uidisplay_draw_touch_ind(&me->super);
    kr_ui_dlswap();
}

int16_t get_press(kr_uikeyboard_st *me)
{
    const kr_touch_st &t = me->super.touch;
    if (t.action != TOUCH_PRESSED && t.action != TOUCH_IS_DOWN && t.action != TOUCH_CLICKED) {
        if (t.action == TOUCH_RELEASED || t.action == TOUCH_DRAG) {
            if (me->pressed != KEY_NONE) kr_ui_refresh(&me->super.super.super);
            me->pressed = KEY_NONE;
        }
        return KEY_NONE;
    }
    const int16_t k = kr_uikeyboard_key_at(t.x, t.y);
    if (t.action == TOUCH_CLICKED) {
        if (me->pressed != KEY_NONE) kr_ui_refresh(&me->super.super.super);
        me->pressed = KEY_NONE;
        return k;
    }
    if (me->pressed != k) kr_ui_refresh(&me->super.super.super);
    me->pressed = k;
    return KEY_NONE;
}

void textedit_draw(kr_uiobject_st *o, const kr_bounding_box_st *)
{
    kr_uitextedit_st *me = (kr_uitextedit_st *)o;
    const kr_uilabel_st &l = me->super;
    const int32_t x = kr_ui_get_xglobal(o), y = kr_ui_get_yglobal(o), w = o->bb.w, h = o->bb.h;
    const char *text = me->buffer ? me->buffer : "";
    char stars[128];
    if (me->flags & UITEXTEDIT_FLAG_PASSWORD) {
        size_t n = std::strlen(text);
        if (n > 127) n = 127;
        std::memset(stars, '*', n);
        stars[n] = 0;
        text = stars;
    }
    const int32_t hb = (*text ? kr_ui_get_string_height(text, l.font) : (l.font ? l.font->char_height : 0)) + 8;
    const int32_t ht = me->title ? kr_ui_get_string_height(me->title, l.font) : 0;
    const int32_t yb = y + (h - (hb + ht + 4)) / 2;
    kr_ui_draw_shadowrrect(x, yb, w, hb, 0, me->bg_color, kr_uic_brighten(me->bg_color, -30),
                           kr_uic_brighten(me->bg_color, 30));
    if (o->focused) kr_uiobject_draw_focus(x, yb, w, hb, kr_uic_brighten(me->bg_color, 120));
    if (l.align & (HALIGN_CENTER | HALIGN_RIGHT))
        kr_ui_draw_string(text, l.font, x + w / 2, yb + hb / 2 + 2, ALIGN_CENTER, l.color);
    else
        kr_ui_draw_string(text, l.font, x + 4, yb + hb / 2 + 2, ALIGN_CENTER_LEFT, l.color);
    if (me->title) kr_ui_draw_string(me->title, l.font, x + w / 2, yb + hb + 4, ALIGN_TOP_CENTER, l.color);
}

void textedit_touch(kr_uiobject_st *o, kr_touch_st *t)
{
    kr_uitextedit_st *me = (kr_uitextedit_st *)o;
    if (t->action != TOUCH_CLICKED) return;
    t->action = TOUCH_NONE;
    if (!me->buffer || me->buf_len == 0) return;
    const std::string before(me->buffer, strnlen(me->buffer, me->buf_len));
    kr_uikeyboard_show(me->title, me->buffer, me->buf_len, me->style);
    if (me->flags & UITEXTEDIT_FLAG_ONELINE) cut_line(me->buffer);
    // Compare the texts: bytes after the terminator are not part of the text.
    me->changed = before != me->buffer;
    kr_ui_refresh(o);
}

kr_uiobject_ret_e textedit_step(kr_uiobject_st *o, uint16_t)
{
    ((kr_uitextedit_st *)o)->changed = false;
    return UIOBJECT_RETURN_ALIVE;
}

bool has_nul(const char *b, uint16_t len) { return std::memchr(b, 0, len) != nullptr; }

} // namespace

extern "C" {

size_t kr_utf8_cut(char *s, size_t max)
{
    if (!s) return 0;
    const size_t len = std::strlen(s);
    if (len <= max) return len;
    size_t p = max;
    size_t q = p;
    while (q > 0 && is_cont(s[q]) && p - q < 3) --q;
    // Back to the lead byte of the character that would be split; stray bytes are cut where they are.
    if (q < p && ((unsigned char)s[q] & 0xC0) == 0xC0) p = q;
    s[p] = 0;
    return p;
}

void kr_uitextedit_init(kr_uitextedit_st *me, char *buffer, uint16_t buf_len, uint8_t flags, const kr_uistyle_st *style)
{
    if (!me) return;
    if (!style) style = &kr_uistyles[0];
    kr_uilabel_init(&me->super, style->font, ALIGN_CENTER, style->text_color, buffer);
    me->buffer = buffer;
    me->buf_len = buf_len;
    me->flags = flags;
    me->style = style;
    me->title = nullptr;
    me->bg_color = style->bg_c;
    me->changed = false;
    if (buffer && buf_len && !has_nul(buffer, buf_len)) buffer[0] = 0;
    if (buffer && buf_len && (flags & UITEXTEDIT_FLAG_ONELINE)) cut_line(buffer);
    me->super.super.step_callb = textedit_step;
    me->super.super.vrtl_draw = textedit_draw;
    me->super.super.vrtl_touch = textedit_touch;
}

void kr_uitextedit_set_text(kr_uitextedit_st *me, const char *text)
{
    if (!me || !text || !me->buffer || me->buf_len == 0) return;
    // At most buf_len bytes are looked at; the cut falls where a character begins, not inside one.
    std::string tmp(text, strnlen(text, me->buf_len));
    kr_utf8_cut(tmp.data(), me->buf_len - 1u);
    std::memcpy(me->buffer, tmp.c_str(), std::strlen(tmp.c_str()) + 1);
    if (me->flags & UITEXTEDIT_FLAG_ONELINE) cut_line(me->buffer);
    kr_ui_refresh(&me->super.super);
}

kr_bounding_box_st kr_uikeyboard_key_geometry(int16_t key)
{
    kr_bounding_box_st r{};
    auto line_y = [](int32_t n) { return (int16_t)(KEYS_TOP + KEY_H * n); };
    if (key >= 0 && key < UIKEYBOARD_KEY_COUNT) {
        int32_t line = 0, pos = key;
        while (line < 3 && pos >= line_lengths[line]) pos -= line_lengths[line++];
        kr_bounding_box_init(&r, (int16_t)(KEY_W * pos + KEY_W / 2 * line_indents[line]), line_y(line), KEY_W, KEY_H);
    } else if (key == KEY_BACKSPACE) {
        kr_bounding_box_init(&r, (int16_t)(KEY_W * line_lengths[0] + KEY_W / 2 * line_indents[0]), line_y(0), 2 * KEY_W,
                             KEY_H);
    } else if (key == KEY_SHIFT) {
        kr_bounding_box_init(&r, (int16_t)(KEY_W * line_lengths[3] + KEY_W / 2 * line_indents[3]), line_y(3), 2 * KEY_W,
                             KEY_H);
    } else if (key == KEY_ENTER) {
        kr_bounding_box_init(&r, 1050, line_y(1), 150, 2 * KEY_H + 1);
    } else if (key == KEY_SPACE) {
        kr_bounding_box_init(&r, 120, line_y(4), 960, KEY_H);
    }
    return r;
}

int16_t kr_uikeyboard_key_at(int32_t x, int32_t y)
{
    static const int16_t others[] = {KEY_BACKSPACE, KEY_ENTER, KEY_SHIFT, KEY_SPACE};
    auto inside = [&](int16_t k) {
        const kr_bounding_box_st r = kr_uikeyboard_key_geometry(k);
        return x >= r.x && x < r.x + r.w && y >= r.y && y < r.y + r.h;
    };
    for (int16_t k = 0; k < UIKEYBOARD_KEY_COUNT; ++k)
        if (inside(k)) return k;
    for (int16_t k : others)
        if (inside(k)) return k;
    return KEY_NONE;
}

bool kr_uikeyboard_apply(kr_uikeyboard_st *me, int16_t key, uint16_t buf_len)
{
    char *b = me->buffer;
    size_t len = std::strlen(b);
    const char *add = nullptr;
    switch (key) {
    case KEY_NONE: return false;
    case KEY_ENTER: return true;
    case KEY_SHIFT:
        if (me->autocaps)
            me->autocaps = me->shift = false;
        else
            me->shift = !me->shift;
        kr_ui_refresh(&me->super.super.super);
        return false;
    case KEY_BACKSPACE:
        if (len == 0) {
            me->autocaps = true;
        } else {
            // One whole character; a stray continuation byte at the start stops the walk at 0.
            --len;
            while (len > 0 && is_cont(b[len])) --len;
            b[len] = 0;
        }
        kr_ui_refresh(&me->super.super.super);
        return false;
    case KEY_SPACE: add = " "; break;
    default:
        if (key < 0 || key >= UIKEYBOARD_KEY_COUNT) return false;
        add = key_text(me, key);
        break;
    }
    const size_t n = std::strlen(add);
    if (len + n < buf_len) {
        std::memcpy(b + len, add, n + 1);
        me->autocaps = false;
        kr_ui_refresh(&me->super.super.super);
    }
    return false;
}

bool kr_uikeyboard_show(const char *title, char *buffer, uint16_t buf_len, const kr_uistyle_st *style)
{
    if (!buffer || buf_len == 0) return false;
    kr_uikeyboard_st kb;
    std::memset(&kb, 0, sizeof kb);
    kr_uidisplay_init(&kb.super, kb.bfr, &kr_uistyles[0]);
    kb.super.super.super.vrtl_draw = keyboard_draw;
    kb.shift = false;
    kb.autocaps = true;
    kb.pressed = KEY_NONE;
    kb.title = title;
    kb.buffer = buffer;
    kb.style = style ? style : &kr_uistyles[0];
    if (!has_nul(buffer, buf_len)) buffer[0] = 0;
    for (;;) {
        kr_uidisplay_step(&kb.super, STEP_MS);
        if (kr_uikeyboard_apply(&kb, get_press(&kb), buf_len)) break;
        kr_rtos_task_delay(STEP_MS);
    }
    for (char *p = buffer; *p; ++p)
        if (*p == '\n') *p = ' ';
    // The screen beneath must show again.
    kr_ui_request_refresh();
    return buffer[0] != 0;
}

} // extern "C"
