// The file edit field.
#include "ui/kr_uifileedit.h"

#include <cstring>
#include <string>

#include "ui/kr_uitextedit.h"

namespace {

bool is_cont(char c) { return ((unsigned char)c & 0xC0) == 0x80; }

void fileedit_draw(kr_uiobject_st *o, const kr_bounding_box_st *)
{
    kr_uifileedit_st *me = (kr_uifileedit_st *)o;
    const kr_uilabel_st &l = me->super;
    const int32_t x = kr_ui_get_xglobal(o), y = kr_ui_get_yglobal(o), w = o->bb.w, h = o->bb.h;
    char shown[1024];
    kr_uifileedit_shown_text(me->buffer ? me->buffer : "", l.font, w - 12, shown, sizeof shown);
    const int32_t hb = (shown[0] ? kr_ui_get_string_height(shown, l.font) : (l.font ? l.font->char_height : 0)) + 8;
    const int32_t ht = me->title ? kr_ui_get_string_height(me->title, l.font) : 0;
    const int32_t yb = y + (h - (hb + ht + 4)) / 2;
    kr_ui_draw_shadowrrect(x, yb, w, hb, 0, me->bg_color, kr_uic_brighten(me->bg_color, -30),
                           kr_uic_brighten(me->bg_color, 30));
    if (shown[0]) kr_ui_draw_string(shown, l.font, x + w / 2, yb + hb / 2 + 2, ALIGN_CENTER, l.color);
    if (me->title) kr_ui_draw_string(me->title, l.font, x + w / 2, yb + hb + 4, ALIGN_TOP_CENTER, l.color);
}

void fileedit_touch(kr_uiobject_st *o, kr_touch_st *t)
{
    kr_uifileedit_st *me = (kr_uifileedit_st *)o;
    if (t->action != TOUCH_CLICKED) return;
    t->action = TOUCH_NONE;
    if (!me->buffer || me->buf_len == 0) return;
    const std::string before = me->buffer;
    if (kr_uifiledialog_exec(me->title, me->filters, me->filter_count, me->save_mode, me->buffer, me->buf_len) &&
        before != me->buffer)
        me->changed = true;
    kr_ui_refresh(o);
}

kr_uiobject_ret_e fileedit_step(kr_uiobject_st *o, uint16_t)
{
    ((kr_uifileedit_st *)o)->changed = false;
    return UIOBJECT_RETURN_ALIVE;
}

} // namespace

extern "C" {

void kr_uifileedit_shown_text(const char *path, const ui_font_st *font, int32_t width, char *out, size_t out_len)
{
    if (!out || out_len == 0) return;
    out[0] = 0;
    if (!path || !*path) return;
    if (kr_ui_get_string_width(path, font) <= width && std::strlen(path) < out_len) {
        std::memcpy(out, path, std::strlen(path) + 1);
        return;
    }
    // Drop at least one character, then more until "..." and the tail fit; tails start at characters.
    const size_t len = std::strlen(path);
    size_t start = 1;
    while (start < len && is_cont(path[start])) ++start;
    std::string shown;
    for (; start <= len; ++start) {
        if (start < len && is_cont(path[start])) continue;
        shown = std::string("...") + (path + start);
        if (shown.size() < out_len && kr_ui_get_string_width(shown.c_str(), font) <= width) break;
    }
    if (start > len) shown = "...";
    std::memcpy(out, shown.c_str(), shown.size() < out_len ? shown.size() + 1 : out_len);
    out[out_len - 1] = 0;
}

void kr_uifileedit_init(kr_uifileedit_st *me, char *buffer, uint16_t buf_len, const kr_uistyle_st *style)
{
    if (!me) return;
    if (!style) style = &kr_uistyles[0];
    kr_uilabel_init(&me->super, style->font, ALIGN_CENTER, style->text_color, buffer);
    me->buffer = buffer;
    me->buf_len = buf_len;
    me->style = style;
    me->title = nullptr;
    me->bg_color = style->bg_c;
    me->changed = me->save_mode = false;
    me->filters = nullptr;
    me->filter_count = 0;
    if (buffer && buf_len && !std::memchr(buffer, 0, buf_len)) buffer[0] = 0;
    me->super.super.step_callb = fileedit_step;
    me->super.super.vrtl_draw = fileedit_draw;
    me->super.super.vrtl_touch = fileedit_touch;
}

void kr_uifileedit_set_path(kr_uifileedit_st *me, const char *path)
{
    if (!me || !path || !me->buffer || me->buf_len == 0) return;
    std::string tmp(path, strnlen(path, me->buf_len));
    kr_utf8_cut(tmp.data(), me->buf_len - 1u);
    std::memcpy(me->buffer, tmp.c_str(), std::strlen(tmp.c_str()) + 1);
    kr_ui_refresh(&me->super.super);
}

} // extern "C"
