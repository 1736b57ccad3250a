// The leaf widgets.
#include "ui/kr_uiwidgets.h"

#include <cstdio>
#include <cstring>

#include "kr_bytes.h"

namespace {

const kr_uistyle_st *style_or_default(const kr_uistyle_st *s) { return s ? s : &kr_uistyles[0]; }

bool texts_differ(const char *a, const char *b) { return a && b && std::strcmp(a, b) != 0; }

int32_t gx(const kr_uiobject_st *o) { return kr_ui_get_xglobal(o); }
int32_t gy(const kr_uiobject_st *o) { return kr_ui_get_yglobal(o); }

// One segment of a coloured label: drawn at the pen, which then moves right by its width.
void flush_segment(char *seg, size_t &n, const ui_font_st *font, int32_t &pen_x, int32_t pen_y, color_t c)
{
    if (n == 0) return;
    seg[n] = 0;
    kr_ui_draw_string(seg, font, pen_x, pen_y, ALIGN_TOP_LEFT, c);
    pen_x += kr_ui_get_string_width(seg, font);
    n = 0;
}

void label_draw_colored(kr_uilabel_st *me)
{
    const kr_uiobject_st *o = &me->super;
    const int32_t x = gx(o);
    const int32_t line_h = me->font ? me->font->char_height : 0;
    int32_t pen_x = x;
    int32_t pen_y = (me->align & VALIGN_CENTER) ? gy(o) + (o->bb.h - line_h) / 2 : gy(o);
    color_t c = me->color;
    char seg[256];
    size_t n = 0;
    const char *p = me->str;
    while (*p) {
        const char ch = *p;
        if (ch == '\n' || ch == '\r' || ch == 27) {
            flush_segment(seg, n, me->font, pen_x, pen_y, c);
            ++p;
            if (ch == '\n') {
                pen_y += line_h;
                pen_x = x;
            } else if (ch == '\r') {
                pen_x = x;
            } else if (*p == '[') {
                p = kr_uilabel_parse_sgr(p + 1, me->color, &c);
            }
            continue;
        }
        seg[n++] = ch;
        ++p;
        if (n == 255) flush_segment(seg, n, me->font, pen_x, pen_y, c);
    }
    flush_segment(seg, n, me->font, pen_x, pen_y, c);
}

void label_draw(kr_uiobject_st *o, const kr_bounding_box_st *pbb) { kr_uilabel_draw(o, pbb); }

bool button_pressed_look(const kr_uibutton_st *b) { return b->state != UIBUTTON_UP; }

void button_draw(kr_uiobject_st *o, const kr_bounding_box_st *)
{
    kr_uibutton_st *me = (kr_uibutton_st *)o;
    const color_t face = button_pressed_look(me) ? kr_uic_brighten(me->main_c, 20) : me->main_c;
    kr_uibutton_draw_face(o, me->main_c, button_pressed_look(me), face);
    if (o->focused) kr_uiobject_draw_focus(gx(o), gy(o), o->bb.w, o->bb.h, kr_uic_brighten(face, 120));
    if (me->text)
        kr_ui_draw_string(me->text, me->font, gx(o) + o->bb.w / 2, gy(o) + o->bb.h / 2, ALIGN_CENTER, me->text_c);
}

// ---- Toggle ----

void toggle_touch(kr_uiobject_st *o, kr_touch_st *t)
{
    kr_uitogglebutton_st *me = (kr_uitogglebutton_st *)o;
    if (t->action == TOUCH_CLICKED) {
        me->clicked = true;
        me->state = !me->state;
        kr_ui_refresh(o);
        t->action = TOUCH_NONE;
    } else if (t->action == TOUCH_IS_DOWN) {
        me->is_down = true;
    }
}

kr_uiobject_ret_e toggle_step(kr_uiobject_st *o, uint16_t)
{
    kr_uitogglebutton_st *me = (kr_uitogglebutton_st *)o;
    me->clicked = false;
    me->is_down = false;
    return UIOBJECT_RETURN_ALIVE;
}

void toggle_draw(kr_uiobject_st *o, const kr_bounding_box_st *)
{
    kr_uitogglebutton_st *me = (kr_uitogglebutton_st *)o;
    kr_uibutton_draw_face(o, me->super.main_c, me->state, me->active_c);
    if (me->super.text)
        kr_ui_draw_string(me->super.text, me->super.font, gx(o) + o->bb.w / 2, gy(o) + o->bb.h / 2, ALIGN_CENTER,
                          me->super.text_c);
}

void checkbox_draw(kr_uiobject_st *o, const kr_bounding_box_st *)
{
    kr_uicheckbox_st *me = (kr_uicheckbox_st *)o;
    const kr_uibutton_st *b = &me->super.super;
    const int32_t s = (uint8_t)(2 * (b->font ? b->font->char_height : 0));
    const int32_t x = gx(o), y = gy(o), h = o->bb.h;
    const int32_t by = y + h / 2 - s / 2;
    kr_ui_draw_shadowrrect(x, by, s, s, 2, b->main_c, kr_uic_brighten(b->main_c, 80), kr_uic_brighten(b->main_c, -80));
    if (me->super.state) kr_ui_draw_rrect(x + 6, by + 6, s - 12, s - 12, 2, me->fillc);
    if (b->text) kr_ui_draw_string(b->text, b->font, x + 3 * s / 2, y + h / 2, ALIGN_CENTER_LEFT, b->text_c);
}

// ---- List button ----

void listbutton_touch(kr_uiobject_st *o, kr_touch_st *t)
{
    kr_uilistbutton_st *me = (kr_uilistbutton_st *)o;
    kr_uibutton_touch(o, t);
    if (me->super.state == UIBUTTON_CLICKED) {
        me->current_index = (uint8_t)(me->current_index + 1);
        if (me->current_index >= me->content_len) me->current_index = 0;
    }
}

void listbutton_text(const kr_uilistbutton_st *me, int32_t cx, int32_t left_unused, int32_t y, int32_t h)
{
    (void)left_unused;
    const char *entry = kr_uilistbutton_entry(me, me->current_index);
    const kr_uibutton_st *b = &me->super;
    if (me->title) {
        const int32_t th = kr_ui_get_string_height(me->title, b->font);
        const int32_t eh = kr_ui_get_string_height(entry, b->font);
        kr_ui_draw_string(me->title, b->font, cx, y + h / 2 - (th + eh) / 2 + th / 2, ALIGN_CENTER, b->text_c);
        kr_ui_draw_string(entry, b->font, cx, y + h / 2 + (th + eh) / 2 - eh / 2, ALIGN_CENTER, b->text_c);
    } else {
        kr_ui_draw_string(entry, b->font, cx, y + h / 2, ALIGN_CENTER, b->text_c);
    }
}

void listbutton_face_and_bar(kr_uiobject_st *o)
{
    kr_uilistbutton_st *me = (kr_uilistbutton_st *)o;
    const kr_uibutton_st *b = &me->super;
    const bool down = button_pressed_look(b);
    const color_t face = down ? kr_uic_brighten(b->main_c, 20) : b->main_c;
    kr_uibutton_draw_face(o, b->main_c, down, face);
    const int32_t x = gx(o), y = gy(o), w = o->bb.w, h = o->bb.h;
    if (o->focused) kr_uiobject_draw_focus(x, y, w, h, kr_uic_brighten(face, 120));
    if (me->content_len) {
        const int32_t bh = CONFIG_UI_LISTBUTTON_BAR_HEIGHT;
        kr_ui_draw_rrect(x + 4, y + h - 8, w - 8, bh, 0, me->bar_c);
        const int32_t seg = (w - 8) / me->content_len;
        kr_ui_draw_rrect(x + 4 + me->current_index * (w - 8) / me->content_len, y + h - 8, seg, bh, 0, me->activebar_c);
    }
}

void listbutton_draw(kr_uiobject_st *o, const kr_bounding_box_st *)
{
    kr_uilistbutton_st *me = (kr_uilistbutton_st *)o;
    listbutton_face_and_bar(o);
    listbutton_text(me, gx(o) + o->bb.w / 2, gx(o), gy(o), o->bb.h);
}

void medialistbutton_draw(kr_uiobject_st *o, const kr_bounding_box_st *)
{
    kr_uimedialistbutton_st *me = (kr_uimedialistbutton_st *)o;
    const kr_uilistbutton_st *lb = &me->super;
    listbutton_face_and_bar(o);
    const int32_t x = gx(o), y = gy(o), w = o->bb.w, h = o->bb.h;
    int32_t bw = 0, bh = 0;
    if (me->bitmap) {
        bw = w / 2 < me->bitmap->width ? w / 2 : me->bitmap->width;
        bh = h < me->bitmap->height ? h : me->bitmap->height;
    }
    const char *entry = kr_uilistbutton_entry(lb, lb->current_index);
    int32_t tw = kr_ui_get_string_width(entry, lb->super.font);
    if (lb->title) {
        const int32_t t = kr_ui_get_string_width(lb->title, lb->super.font);
        if (t > tw) tw = t;
    }
    const int32_t gw = bw + tw + 5;
    const int32_t left = x + (w - gw) / 2;
    listbutton_text(lb, left + bw + (gw - bw) / 2 + 5, left, y, h);
    if (me->bitmap && me->bitmap->size)
        kr_ui_draw_bitmap_ext(me->bitmap, left, y + h / 2 - bh / 2, bw, bh, 0, 0xFFFFFFFF);
}

// ---- Media buttons ----

void mediabutton_draw_common(kr_uiobject_st *o, bool pressed)
{
    kr_uimediabutton_st *me = (kr_uimediabutton_st *)o;
    const kr_uibutton_st *b = &me->super.super;
    kr_uibutton_draw_face(o, b->main_c, pressed, me->super.active_c);
    const int32_t x = gx(o), y = gy(o), w = o->bb.w, h = o->bb.h;
    const char *text = b->text ? b->text : "";
    const int32_t mw = me->media ? me->media->width : 0, mh = me->media ? me->media->height : 0;
    if (me->align == UIMEDIABUTTON_ALIGN_VERTICAL) {
        const int32_t th = kr_ui_get_string_height(text, b->font);
        const int32_t gap = (h - (mh + th)) / (*text ? 3 : 2);
        if (me->media) kr_ui_draw_bitmap(me->media, x + w / 2 - mw / 2, gap < 1 ? y : y + gap);
        int32_t ty = y + mh + 2 * gap;
        if (ty >= y + h - th) ty = y + h - th;
        kr_ui_draw_string(text, b->font, x + w / 2, ty, ALIGN_TOP_CENTER, b->text_c);
    } else if (me->media) {
        kr_ui_draw_bitmap(me->media, *text ? x + 10 : x + (w - mw) / 2, y + h / 2 - mh / 2);
        kr_ui_draw_string(text, b->font, x + mw + (w - mw) / 2, y + h / 2, ALIGN_CENTER, b->text_c);
    } else {
        kr_ui_draw_string(text, b->font, x + w / 2, y + h / 2, ALIGN_CENTER, b->text_c);
    }
}

void mediabutton_draw(kr_uiobject_st *o, const kr_bounding_box_st *)
{
    mediabutton_draw_common(o, kr_uibutton_is_down((kr_uibutton_st *)o));
}

void mediatoggle_draw(kr_uiobject_st *o, const kr_bounding_box_st *)
{
    mediabutton_draw_common(o, ((kr_uitogglebutton_st *)o)->state);
}

void duallabel_draw(kr_uiobject_st *o, const kr_bounding_box_st *)
{
    kr_uiduallabelbutton_st *me = (kr_uiduallabelbutton_st *)o;
    const kr_uibutton_st *b = &me->super;
    const bool down = button_pressed_look(b);
    kr_uibutton_draw_face(o, b->main_c, down, down ? kr_uic_brighten(b->main_c, 20) : b->main_c);
    const int32_t x = gx(o), y = gy(o), w = o->bb.w, h = o->bb.h;
    if (b->text)
        kr_ui_draw_string(b->text, b->font, x + w / 2, y + h / 2 - kr_ui_get_string_height(b->text, b->font),
                          ALIGN_TOP_CENTER, b->text_c);
    if (me->dualtext)
        kr_ui_draw_string(me->dualtext, me->dualfont, x + w / 2, y + h / 2, ALIGN_TOP_CENTER, me->dualtext_c);
}

void image_draw(kr_uiobject_st *o, const kr_bounding_box_st *)
{
    kr_uiimage_st *me = (kr_uiimage_st *)o;
    if (!me->media) return;
    const int32_t mw = me->media->width, mh = me->media->height;
    int32_t x = gx(o), y = gy(o);
    if (me->align & HALIGN_RIGHT)
        x += o->bb.w - mw;
    else if (me->align & HALIGN_CENTER)
        x += o->bb.w / 2 - mw / 2;
    if (me->align & VALIGN_CENTER) y += o->bb.h / 2 - mh / 2;
    kr_ui_draw_bitmap_ext(me->media, x, y, mw, mh, me->wrap, me->blend_c);
}

void toucharea_touch(kr_uiobject_st *o, kr_touch_st *t)
{
    kr_uitoucharea_st *me = (kr_uitoucharea_st *)o;
    if (!o->enabled) {
        me->touch.action = TOUCH_NONE;
        return;
    }
    me->touch = *t;
    if (!me->transparent && t->action != TOUCH_NONE && t->action != TOUCH_DRAG) t->action = TOUCH_NONE;
}

kr_uiobject_ret_e toucharea_step(kr_uiobject_st *o, uint16_t)
{
    kr_uitoucharea_st *me = (kr_uitoucharea_st *)o;
    me->touch.action = TOUCH_NONE;
    return UIOBJECT_RETURN_ALIVE;
}

bool toucharea_query(kr_uitoucharea_st *me, kr_touch_action_e a, int16_t *x, int16_t *y)
{
    if (!me || me->touch.action != a) return false;
    if (x && y) {
        *x = me->touch.x;
        *y = me->touch.y;
    }
    return true;
}

} // namespace

extern "C" {

// ---- Label ----

color_t kr_uilabel_sgr_color(uint32_t code, color_t own, color_t current)
{
    static const color_t table[8] = {0xFF505050, 0xFFE02020, 0xFF30B030, 0xFFF2C200,
                                     0xFF4878E0, 0xFFC040C0, 0xFF20B0B0, 0xFFE8E8E8};
    if (code == 0) return own;
    if (code >= 30 && code <= 37) return table[code - 30];
    if (code >= 90 && code <= 97) return table[code - 90];
    return current;
}

const char *kr_uilabel_parse_sgr(const char *p, color_t own, color_t *c)
{
    uint32_t value = 0;
    bool digits = false;
    for (;;) {
        const char ch = *p;
        if (ch == 0) {
            if (digits) *c = kr_uilabel_sgr_color(value, own, *c);
            return p;
        }
        if (ch >= '0' && ch <= '9') {
            // Device text reaches labels: a run of digits saturates instead of wrapping onto a code.
            value = value > 100000 ? value : value * 10 + (uint32_t)(ch - '0');
            digits = true;
            ++p;
            continue;
        }
        if (digits) *c = kr_uilabel_sgr_color(value, own, *c);
        value = 0;
        digits = false;
        ++p; // ';' separates; anything else ends the sequence and is consumed
        if (ch != ';') return p;
    }
}

void kr_uilabel_init(kr_uilabel_st *me, const ui_font_st *font, uint16_t alignment, color_t color, const char *str)
{
    if (!me) return;
    kr_uiobject_init(&me->super);
    me->font = font;
    me->align = alignment;
    me->color = color;
    me->str = str;
    me->super.vrtl_draw = label_draw;
}

void kr_uilabel_draw(kr_uiobject_st *o, const kr_bounding_box_st *)
{
    kr_uilabel_st *me = (kr_uilabel_st *)o;
    if (!me->str) return;
    if (std::strchr(me->str, 27)) {
        label_draw_colored(me);
        return;
    }
    int32_t x = gx(o), y = gy(o);
    if (me->align & HALIGN_RIGHT)
        x += o->bb.w;
    else if (me->align & HALIGN_CENTER)
        x += o->bb.w / 2;
    if (me->align & VALIGN_CENTER) y += o->bb.h / 2;
    kr_ui_draw_string(me->str, me->font, x, y, me->align, me->color);
}

void kr_uilabel_set_text(kr_uilabel_st *me, const char *str)
{
    if (!me) return;
    if (texts_differ(me->str, str)) kr_ui_refresh(&me->super);
    me->str = str;
}

void kr_uilabel_set_color(kr_uilabel_st *me, color_t c)
{
    if (!me || me->color == c) return;
    me->color = c;
    kr_ui_refresh(&me->super);
}

// ---- Number label ----

void kr_uidigit_init(kr_uidigit_st *me, const ui_font_st *font, uint16_t alignment, color_t color, const char *format,
                     int32_t value)
{
    if (!me) return;
    kr_uilabel_init(&me->super, font, alignment, color, "");
    me->divider = 1;
    kr_copy_text(me->format, sizeof me->format, format ? format : "%d");
    me->value = value == INT32_MAX ? INT32_MIN : value + 1; // differs, so the text is always formatted
    kr_uidigit_set_value(me, value);
}

void kr_uidigit_set_value(kr_uidigit_st *me, int32_t value)
{
    if (!me || me->value == value) return;
    kr_uilabel_set_text(&me->super, "");
    me->value = value;
    const uint32_t div = me->divider ? me->divider : 1;
    const int64_t v = value;
    const int64_t mag = v < 0 ? -v : v;
    // The caller's format takes two integers: the quotient and the remainder's magnitude.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    std::snprintf(me->str, sizeof me->str, me->format, (int)(v / (int64_t)div), (int)(mag % div));
#pragma GCC diagnostic pop
    me->super.str = me->str;
    kr_ui_refresh(&me->super.super);
}

void kr_uidigit_set_text(kr_uidigit_st *me, const char *str)
{
    if (!me) return;
    kr_copy_text(me->str, sizeof me->str, str);
    kr_uilabel_set_text(&me->super, str);
}

// ---- Push button ----

void kr_uibutton_draw_face(const kr_uiobject_st *o, color_t main_c, bool pressed, color_t pressed_face)
{
    if (pressed)
        kr_ui_draw_shadowrrect(gx(o), gy(o), o->bb.w, o->bb.h, 2, pressed_face, kr_uic_brighten(main_c, -80),
                               kr_uic_brighten(main_c, 80));
    else
        kr_ui_draw_shadowrrect(gx(o), gy(o), o->bb.w, o->bb.h, 2, main_c, kr_uic_brighten(main_c, 80),
                               kr_uic_brighten(main_c, -80));
}

void kr_uibutton_init(kr_uibutton_st *me, const char *text, const kr_uistyle_st *style)
{
    if (!me) return;
    style = style_or_default(style);
    me->super.enablefocus = true;
    kr_uiobject_init(&me->super);
    me->state = UIBUTTON_UP;
    me->text = text;
    me->main_c = style->bg_c;
    me->text_c = style->text_color;
    me->font = style->font;
    me->delay = CONFIG_UI_BUTTON_LONGPRESS_DELAY_MS;
    me->super.vrtl_draw = button_draw;
    me->super.vrtl_touch = kr_uibutton_touch;
    me->super.step_callb = kr_uibutton_step;
}

void kr_uibutton_set_text(kr_uibutton_st *me, const char *text)
{
    if (!me) return;
    if (texts_differ(me->text, text)) kr_ui_refresh(&me->super);
    me->text = text;
}

bool kr_uibutton_is_down(const kr_uibutton_st *me)
{
    return me && (me->state == UIBUTTON_PRESSED || me->state == UIBUTTON_LONGPRESSED);
}

void kr_uibutton_touch(kr_uiobject_st *o, kr_touch_st *t)
{
    kr_uibutton_st *me = (kr_uibutton_st *)o;
    if (o->focused && o->enabled) {
        const char k = kr_ui_peek_key_press();
        if (k == ' ' || k == UI_KEY_ENTER) {
            kr_ui_get_key_press();
            me->state = UIBUTTON_CLICKED;
            kr_ui_refresh(o);
            return;
        }
    }
    switch (t->action) {
    case TOUCH_IS_DOWN:
        if (me->state != UIBUTTON_LONGPRESSED) {
            if (me->state != UIBUTTON_PRESSED) kr_ui_refresh(o);
            me->state = UIBUTTON_PRESSED;
        }
        break;
    case TOUCH_CLICKED:
        t->action = TOUCH_NONE;
        me->state = me->state == UIBUTTON_LONGPRESSED ? UIBUTTON_UP : UIBUTTON_CLICKED;
        kr_ui_refresh(o);
        break;
    default:
        if (me->state != UIBUTTON_UP) kr_ui_refresh(o);
        me->state = UIBUTTON_UP;
        break;
    }
}

kr_uiobject_ret_e kr_uibutton_step(kr_uiobject_st *o, uint16_t step_ms)
{
    kr_uibutton_st *me = (kr_uibutton_st *)o;
    if (!o->enabled && me->state != UIBUTTON_UP) {
        me->state = UIBUTTON_UP;
        kr_ui_refresh(o);
    }
    if (me->state != UIBUTTON_PRESSED) {
        me->delay = CONFIG_UI_BUTTON_LONGPRESS_DELAY_MS;
    } else if (kr_delay(&me->delay, step_ms)) {
        me->state = UIBUTTON_LONGPRESSED;
        me->delay = CONFIG_UI_BUTTON_LONGPRESS_DELAY_MS;
    }
    return UIOBJECT_RETURN_ALIVE;
}

// ---- Toggle button and check box ----

void kr_uitogglebutton_init(kr_uitogglebutton_st *me, bool state, const char *text, const kr_uistyle_st *style)
{
    if (!me) return;
    kr_uibutton_init(&me->super, text, style);
    me->state = state;
    me->clicked = false;
    me->is_down = false;
    me->active_c = kr_uic_brighten(me->super.main_c, 30);
    me->super.super.step_callb = toggle_step;
    me->super.super.vrtl_draw = toggle_draw;
    me->super.super.vrtl_touch = toggle_touch;
}

void kr_uicheckbox_init(kr_uicheckbox_st *me, bool state, const char *text, const kr_uistyle_st *style)
{
    if (!me) return;
    kr_uitogglebutton_init(&me->super, state, text, style);
    me->super.super.super.vrtl_draw = checkbox_draw;
    me->fillc = style_or_default(style)->fg_c;
}

// ---- List buttons ----

const char *kr_uilistbutton_entry(const kr_uilistbutton_st *me, uint8_t index)
{
    if (!me || !me->content || index >= me->content_len) return "";
    if (me->content_type == UILISTBUTTON_CONTENT_ARRAYOFPOINTER) {
        const char *e = ((const char *const *)me->content)[index];
        return e ? e : "";
    }
    const char *p = (const char *)me->content;
    for (uint8_t i = 0; i < index; ++i) {
        p += std::strlen(p);
        while (*p == 0) ++p; // names are followed by one or more NULs
    }
    return p;
}

void kr_uilistbutton_init(kr_uilistbutton_st *me, const void *content, uint8_t content_len, uint8_t current_index,
                          const kr_uistyle_st *style)
{
    if (!me) return;
    style = style_or_default(style);
    me->content = content;
    me->content_len = content_len;
    me->current_index = current_index < content_len ? current_index : 0;
    me->content_type = UILISTBUTTON_CONTENT_ARRAYOFPOINTER;
    me->title = nullptr;
    kr_uibutton_init(&me->super, kr_uilistbutton_entry(me, me->current_index), style);
    me->super.super.vrtl_draw = listbutton_draw;
    me->super.super.vrtl_touch = listbutton_touch;
    me->activebar_c = style->fg_c;
    me->bar_c = kr_uic_brighten(style->bg_c, -10);
}

void kr_uimedialistbutton_init(kr_uimedialistbutton_st *me, const void *content, uint8_t content_len,
                               uint8_t current_index, const kr_uimedia_st *bitmap, const kr_uistyle_st *style)
{
    if (!me) return;
    kr_uilistbutton_init(&me->super, content, content_len, current_index, style);
    me->bitmap = bitmap;
    me->super.super.super.vrtl_draw = medialistbutton_draw;
}

void kr_uimedialistbutton_set_media(kr_uimedialistbutton_st *me, const kr_uimedia_st *media)
{
    if (!me || me->bitmap == media) return;
    me->bitmap = media;
    kr_ui_refresh(&me->super.super.super);
}

// ---- Media buttons ----

void kr_uimediabutton_init(kr_uimediabutton_st *me, const char *text, const kr_uimedia_st *media,
                           const kr_uistyle_st *style)
{
    if (!me) return;
    kr_uibutton_init(&me->super.super, text, style);
    me->super.active_c = kr_uic_brighten(me->super.super.main_c, 30);
    me->media = media && media->size ? media : nullptr;
    me->align = UIMEDIABUTTON_ALIGN_HORIZONTAL;
    me->super.super.super.vrtl_draw = mediabutton_draw;
}

void kr_uimediatogglebutton_init(kr_uimediabutton_st *me, bool state, const char *text, const kr_uimedia_st *media,
                                 const kr_uistyle_st *style)
{
    if (!me) return;
    kr_uimediabutton_init(me, text, media, style);
    const kr_uimedia_st *keep = me->media;
    kr_uitogglebutton_init(&me->super, state, text, style);
    me->media = keep;
    me->super.super.super.vrtl_draw = mediatoggle_draw;
    me->super.super.super.step_callb = toggle_step;
}

void kr_uimediabutton_set_media(kr_uimediabutton_st *me, const kr_uimedia_st *media)
{
    if (!me || me->media == media) return;
    me->media = media;
    kr_ui_refresh(&me->super.super.super);
}

void kr_uiduallabelbutton_init(kr_uiduallabelbutton_st *me, const char *text, const char *dualtext,
                               const kr_uistyle_st *style)
{
    if (!me) return;
    style = style_or_default(style);
    kr_uibutton_init(&me->super, text, style);
    me->dualtext = dualtext;
    me->dualfont = style->font;
    me->dualtext_c = style->text_color;
    me->super.super.vrtl_draw = duallabel_draw;
}

void kr_uiduallabelbutton_set_dual_text(kr_uiduallabelbutton_st *me, const char *dualtext)
{
    if (!me) return;
    if (texts_differ(me->dualtext, dualtext)) kr_ui_refresh(&me->super.super);
    me->dualtext = dualtext;
}

// ---- Image and touch area ----

void kr_uiimage_init(kr_uiimage_st *me, const kr_uimedia_st *media, uint8_t wrap, uint16_t align)
{
    if (!me) return;
    kr_uiobject_init(&me->super);
    me->media = media;
    me->wrap = wrap;
    me->align = align;
    me->blend_c = 0xFFFFFFFF;
    me->super.vrtl_draw = image_draw;
}

void kr_uiimage_set_media(kr_uiimage_st *me, const kr_uimedia_st *media)
{
    if (!me || me->media == media) return;
    me->media = media;
    kr_ui_refresh(&me->super);
}

void kr_uiimage_set_blendc(kr_uiimage_st *me, color_t c)
{
    if (!me || me->blend_c == c) return;
    me->blend_c = c;
    kr_ui_refresh(&me->super);
}

void kr_uitoucharea_init(kr_uitoucharea_st *me)
{
    if (!me) return;
    kr_uiobject_init(&me->super);
    me->super.vrtl_touch = toucharea_touch;
    me->super.step_callb = toucharea_step;
    me->touch.action = TOUCH_NONE;
    me->transparent = false;
}

bool kr_uitoucharea_pressed(kr_uitoucharea_st *me, int16_t *x, int16_t *y)
{
    return toucharea_query(me, TOUCH_PRESSED, x, y);
}
bool kr_uitoucharea_is_down(kr_uitoucharea_st *me, int16_t *x, int16_t *y)
{
    return toucharea_query(me, TOUCH_IS_DOWN, x, y);
}
bool kr_uitoucharea_clicked(kr_uitoucharea_st *me, int16_t *x, int16_t *y)
{
    return toucharea_query(me, TOUCH_CLICKED, x, y);
}
bool kr_uitoucharea_drag_released(kr_uitoucharea_st *me, int16_t *x, int16_t *y)
{
    return toucharea_query(me, TOUCH_RELEASED, x, y);
}
bool kr_uitoucharea_is_dragging(kr_uitoucharea_st *me, int16_t *x, int16_t *y)
{
    return toucharea_query(me, TOUCH_DRAG, x, y);
}

} // extern "C"
