// Small widgets for the display tests, the display test program and the benchmarks: a solid box, a
// text block, a bitmap, a field of shapes, a focusable key taker, and the busy screen.
#pragma once

#include <cstdio>
#include <cstring>

#include "kr_ui.h"
#include "ui/kr_uidisplay.h"

namespace uiw {

struct box {
    kr_uiobject_st super;
    color_t c;
    int touches[6]; // count per action
    kr_touch_st last;
    bool consume;
    int draws;
};

inline void box_draw(kr_uiobject_st *o, const kr_bounding_box_st *)
{
    box *me = (box *)o;
    me->draws++;
    kr_ui_draw_rrect(kr_ui_get_xglobal(o), kr_ui_get_yglobal(o), o->bb.w, o->bb.h, 0, me->c);
}

inline void box_touch(kr_uiobject_st *o, kr_touch_st *t)
{
    box *me = (box *)o;
    if (t->action < 6) me->touches[t->action]++;
    if (t->action != TOUCH_NONE) me->last = *t;
    if (me->consume && t->action != TOUCH_NONE) t->action = TOUCH_NONE;
}

inline void box_init(box *me, color_t c)
{
    std::memset(me, 0, sizeof *me);
    kr_uiobject_init(&me->super);
    me->c = c;
    me->super.vrtl_draw = box_draw;
    me->super.vrtl_touch = box_touch;
}

// Focusable: draws an outline when focused and counts Enter presses taken from the key queue.
struct button {
    box b;
    int clicks;
};

inline void button_draw(kr_uiobject_st *o, const kr_bounding_box_st *pbb)
{
    box_draw(o, pbb);
    if (o->focused) kr_uiobject_draw_focus(kr_ui_get_xglobal(o), kr_ui_get_yglobal(o), o->bb.w, o->bb.h, 0xFFFFFF00);
}

inline kr_uiobject_ret_e button_step(kr_uiobject_st *o, uint16_t)
{
    button *me = (button *)o;
    if (o->focused && kr_ui_peek_key_press() == UI_KEY_ENTER) {
        kr_ui_get_key_press();
        me->clicks++;
    }
    return UIOBJECT_RETURN_ALIVE;
}

inline void button_init(button *me, color_t c)
{
    std::memset(me, 0, sizeof *me);
    me->b.super.enablefocus = true;
    box_init(&me->b, c);
    me->b.super.enablefocus = true;
    me->b.super.vrtl_draw = button_draw;
    me->b.super.step_callb = button_step;
}

struct text {
    kr_uiobject_st super;
    const char *str;
    const ui_font_st *font;
    uint16_t align;
    color_t c;
};

inline void text_draw(kr_uiobject_st *o, const kr_bounding_box_st *)
{
    text *me = (text *)o;
    kr_ui_draw_string(me->str, me->font, kr_ui_get_xglobal(o), kr_ui_get_yglobal(o), me->align, me->c);
}

inline void text_init(text *me, const char *str, const ui_font_st *font, color_t c)
{
    std::memset(me, 0, sizeof *me);
    kr_uiobject_init(&me->super);
    me->str = str;
    me->font = font;
    me->c = c;
    me->super.vrtl_draw = text_draw;
}

struct picture {
    kr_uiobject_st super;
    kr_uimedia_st *bm;
};

inline void picture_draw(kr_uiobject_st *o, const kr_bounding_box_st *)
{
    picture *me = (picture *)o;
    kr_ui_draw_bitmap_ext(me->bm, kr_ui_get_xglobal(o), kr_ui_get_yglobal(o), o->bb.w, o->bb.h, 0, 0xFFFFFFFF);
}

inline void picture_init(picture *me, kr_uimedia_st *bm)
{
    std::memset(me, 0, sizeof *me);
    kr_uiobject_init(&me->super);
    me->bm = bm;
    me->super.vrtl_draw = picture_draw;
}

// `count` shapes of every kind spread over the object's rectangle.
struct shapes {
    kr_uiobject_st super;
    int count;
};

inline void shapes_draw(kr_uiobject_st *o, const kr_bounding_box_st *)
{
    shapes *me = (shapes *)o;
    const int x0 = kr_ui_get_xglobal(o), y0 = kr_ui_get_yglobal(o), w = o->bb.w > 40 ? o->bb.w - 40 : 1,
              h = o->bb.h > 40 ? o->bb.h - 40 : 1;
    for (int i = 0; i < me->count; ++i) {
        const int x = x0 + (i * 37) % w, y = y0 + (i * 53) % h;
        const color_t c = 0xFF000000u | ((uint32_t)(i * 2654435761u) & 0xFFFFFF);
        switch (i % 4) {
        case 0: kr_ui_draw_rrect(x, y, 36, 20, 4, c); break;
        case 1: kr_ui_draw_point(x + 10, y + 10, c, 18); break;
        case 2: kr_ui_draw_line(x, y, x + 30, y + 18, 2, c); break;
        default: kr_ui_draw_shadowrrect(x, y, 30, 24, 2, c, 0xFF808080, 0xFF202020); break;
        }
    }
}

inline void shapes_init(shapes *me, int count)
{
    std::memset(me, 0, sizeof *me);
    kr_uiobject_init(&me->super);
    me->count = count;
    me->super.vrtl_draw = shapes_draw;
}

// The busy screen: 300 shapes, 60 text lines, bitmaps, and windows scrolled inside scrolled windows.
struct busy_screen {
    kr_uidisplay_st display;
    kr_uiobject_st *display_children[8];
    shapes field;
    kr_uiwindow_st outer;
    kr_uiobject_st *outer_children[8];
    kr_uiwindow_st inner;
    kr_uiobject_st *inner_children[4];
    text lines;
    text mono;
    picture pics[4];
    kr_uimedia_st bm;
    char text_buf[60 * 64];
};

inline void busy_screen_init(busy_screen *s, const unsigned char *png, uint32_t png_len)
{
    std::memset(s, 0, sizeof *s);
    kr_uidisplay_init(&s->display, s->display_children, nullptr);
    shapes_init(&s->field, 300);
    kr_uiwindow_addxy(&s->display.super, &s->field.super, 0, 0, 700, 720);

    kr_uiwindow_init(&s->outer, s->outer_children, nullptr);
    kr_uiwindow_set_transparent(&s->outer, false);
    kr_uiwindow_addxy(&s->display.super, &s->outer.super, 700, 20, 480, 680);
    kr_uiwindow_set_contentbb(&s->outer, 480, 1400);
    kr_uiwindow_content_move(&s->outer, 0, -100);

    kr_uiwindow_init(&s->inner, s->inner_children, nullptr);
    kr_uiwindow_set_transparent(&s->inner, false);
    s->inner.bg_c = 0xFF202840;
    kr_uiwindow_addxy(&s->outer, &s->inner.super, 10, 120, 460, 560);
    kr_uiwindow_set_contentbb(&s->inner, 900, 1300);
    kr_uiwindow_content_move(&s->inner, -40, -60);

    size_t off = 0;
    for (int i = 0; i < 60; ++i)
        off += (size_t)std::snprintf(s->text_buf + off, sizeof s->text_buf - off, "%02d The quick brown fox %s\n", i,
                                     i % 2 ? "jumps over the lazy dog" : "\xc3\xa4\xc3\xb6\xc3\xa5 0123456789");
    text_init(&s->lines, s->text_buf, UI_TEXT_FONT, 0xFFFFFFFF);
    kr_uiwindow_addxy(&s->inner, &s->lines.super, 0, 0, 900, 1300);
    text_init(&s->mono, "mono 0x7F 0b1010 {}[]", UI_MONO_FONT, 0xFF80FF80);
    kr_uiwindow_addxy(&s->outer, &s->mono.super, 10, 20, 400, 20);

    kr_uimedia_newbitmapexmem_mem(&s->bm, "busy quadrants", png, png_len);
    for (int i = 0; i < 4; ++i) {
        picture_init(&s->pics[i], &s->bm);
        kr_uiwindow_addxy(i < 2 ? &s->outer : &s->display.super, &s->pics[i].super, (int16_t)(10 + i * 60),
                          (int16_t)(i < 2 ? 60 : 650), 40, 30);
    }
}

} // namespace uiw
