// Containers, layouts and lists.
#include "ui/kr_uicontainers.h"

#include <cstdlib>
#include <cstring>

namespace {

const kr_uistyle_st *style_or_default(const kr_uistyle_st *s) { return s ? s : &kr_uistyles[0]; }
int32_t gx(const kr_uiobject_st *o) { return kr_ui_get_xglobal(o); }
int32_t gy(const kr_uiobject_st *o) { return kr_ui_get_yglobal(o); }
int32_t line_h(const ui_font_st *f) { return f ? f->char_height : 0; }

// ---- Frame window ----

int32_t frame_title_offset(const kr_uiframewindow_st *me)
{
    if (!me->title) return 5;
    const int32_t hs = kr_ui_get_string_height(me->title, me->font);
    return hs < 12 ? 5 : hs / 2;
}

int32_t frame_top_inset(const kr_uiframewindow_st *me)
{
    if (!me->title) return 10;
    const int32_t hs = kr_ui_get_string_height(me->title, me->font);
    const int32_t v = hs / 2 + frame_title_offset(me) + 5;
    return v > 10 ? v : 10;
}

void frame_draw(kr_uiobject_st *o, const kr_bounding_box_st *pbb)
{
    kr_uiframewindow_st *me = (kr_uiframewindow_st *)o;
    kr_uiwindow_draw(&me->super, pbb);
    const int32_t x = gx(o), y = gy(o), w = o->bb.w, h = o->bb.h, ty = frame_title_offset(me);
    kr_ui_draw_line(x + 5, y + ty, x + 5, y + h - 5, 1, me->frame_c);
    kr_ui_draw_line(x + w - 5, y + ty, x + w - 5, y + h - 5, 1, me->frame_c);
    kr_ui_draw_line(x + 5, y + h - 5, x + w - 5, y + h - 5, 1, me->frame_c);
    if (!me->title) {
        kr_ui_draw_line(x + 5, y + ty, x + w - 5, y + ty, 1, me->frame_c);
    } else {
        kr_ui_draw_string(me->title, me->font, x + 11, y + ty, ALIGN_CENTER_LEFT, me->text_c);
        const int32_t start = x + 11 + kr_ui_get_string_width(me->title, me->font) + 4;
        if (start < x + w - 5) kr_ui_draw_line(start, y + ty, x + w - 5, y + ty, 1, me->frame_c);
    }
    _kr_uiwindow_draw_children(&me->super, pbb);
    kr_uiwindow_draw_scrollbars(&me->super, pbb);
}

// ---- Tab window ----

int32_t tab_width(const kr_uitabwindow_st *me, uint16_t i)
{
    const int32_t w = kr_ui_get_string_width(kr_uitabwindow_tab_name(me, i), me->font) + 10;
    return w > CONFIG_UI_TABWINDOW_HEADER_MIN_WIDTH ? w : CONFIG_UI_TABWINDOW_HEADER_MIN_WIDTH;
}

void tab_draw(kr_uiobject_st *o, const kr_bounding_box_st *pbb)
{
    kr_uitabwindow_st *me = (kr_uitabwindow_st *)o;
    kr_uiwindow_draw(&me->super, pbb);
    const color_t bg = style_or_default(nullptr)->bg_c;
    const int32_t x0 = gx(o), y = gy(o), hh = CONFIG_UI_TABWINDOW_HEADER_HEIGHT;
    int32_t x = x0, active_x = x0;
    for (uint16_t i = 0; i < me->tab_count; ++i) {
        const int32_t w = tab_width(me, i);
        if (i == me->active_tab) {
            active_x = x;
        } else {
            kr_ui_draw_shadowrrect(x, y, w, hh, 2, bg, kr_uic_brighten(bg, 80), kr_uic_brighten(bg, -80));
            kr_ui_draw_string(kr_uitabwindow_tab_name(me, i), me->font, x + 4, y + 20, ALIGN_CENTER_LEFT, me->text_c);
        }
        x += w;
    }
    kr_ui_draw_line(x0, y + 39, x0 + o->bb.w, y + 39, 1, 0xFFFFFFFF);
    if (me->active_tab < me->tab_count) {
        kr_ui_draw_shadowrrect(active_x, y, tab_width(me, me->active_tab), hh, 2, kr_uic_brighten(bg, 20), 0xFFFFFFFF,
                               0xFFFFFFFF);
        kr_ui_draw_string(kr_uitabwindow_tab_name(me, me->active_tab), me->font, active_x + 5, y + 20,
                          ALIGN_CENTER_LEFT, me->text_c);
    }
    _kr_uiwindow_draw_children(&me->super, pbb);
    kr_uiwindow_draw_scrollbars(&me->super, pbb);
}

void tab_touch(kr_uiobject_st *o, kr_touch_st *t)
{
    kr_uitabwindow_st *me = (kr_uitabwindow_st *)o;
    if (t->action == TOUCH_CLICKED && t->y < 41) {
        int32_t right = 0;
        for (uint16_t i = 0; i < me->tab_count; ++i) {
            right += tab_width(me, i);
            if (right > t->x) {
                me->active_tab = i;
                me->tab_changed = true;
                kr_ui_refresh(o);
                t->action = TOUCH_NONE;
                break;
            }
        }
    }
    _kr_uiwindow_touch(o, t);
}

kr_uiobject_ret_e tab_step(kr_uiobject_st *o, uint16_t step_ms)
{
    const kr_uiobject_ret_e r = kr_uiwindow_step(o, step_ms);
    ((kr_uitabwindow_st *)o)->tab_changed = false;
    return r;
}

// ---- Tree ----

void tree_draw(kr_uiobject_st *o, const kr_bounding_box_st *pbb);

int16_t content_width(kr_uiwindow_st *c)
{
    if (kr_uitreeobject_is(&c->super)) return kr_uitreeobject_get_content_bb((kr_uitreeobject_st *)c).w;
    return kr_uiwindow_get_contentbb(c).w;
}

int32_t recalc_height(kr_uiwindow_st *c)
{
    int32_t total = 0;
    for (uint16_t i = 0; i < c->objects_count; ++i) {
        const kr_uiobject_st *o = c->objects[i];
        if (!o || !o->visible || kr_uitreeobject_is(o)) continue;
        if (o->bb.y + o->bb.h > total) total = o->bb.y + o->bb.h;
    }
    for (uint16_t i = 0; i < c->objects_count; ++i) {
        kr_uiobject_st *o = c->objects[i];
        if (!o || !o->visible || !kr_uitreeobject_is(o)) continue;
        kr_uitreeobject_st *t = (kr_uitreeobject_st *)o;
        o->bb.y = (int16_t)total;
        o->bb.w = content_width(c);
        int32_t h = CONFIG_UI_TREEVIEW_ITEM_HEIGHT;
        if (t->open) {
            const int32_t inner = recalc_height(&t->super);
            h += t->content_h > inner ? t->content_h : inner;
        }
        o->bb.h = (int16_t)h;
        total += h;
    }
    return total;
}

kr_uiwindow_st *tree_root(kr_uiwindow_st *c)
{
    while (c && kr_uitreeobject_is(&c->super) && c->super.parent) c = c->super.parent;
    return c;
}

void relayout(kr_uiwindow_st *container)
{
    kr_uiwindow_st *root = tree_root(container);
    if (!root) return;
    const int32_t h = recalc_height(root);
    kr_uiwindow_set_contentbb(root, root->super.bb.w, (int16_t)h);
    kr_ui_refresh(&root->super);
}

bool container_one_active(kr_uiwindow_st *c)
{
    if (kr_uitreeobject_is(&c->super)) return ((kr_uitreeobject_st *)c)->one_active;
    return ((kr_uitreeview_st *)c)->one_active;
}

void tree_touch(kr_uiobject_st *o, kr_touch_st *t)
{
    kr_uitreeobject_st *me = (kr_uitreeobject_st *)o;
    if (t->action == TOUCH_CLICKED && t->y >= 0 && t->y < CONFIG_UI_TREEVIEW_ITEM_HEIGHT) {
        t->action = TOUCH_NONE;
        if (me->open)
            kr_uitreeview_close(o->parent, me);
        else
            kr_uitreeview_open(o->parent, me);
        return;
    }
    if (me->open) _kr_uiwindow_touch(o, t);
}

void tree_draw(kr_uiobject_st *o, const kr_bounding_box_st *pbb)
{
    kr_uitreeobject_st *me = (kr_uitreeobject_st *)o;
    const int32_t x = gx(o), y = gy(o), w = o->bb.w, h = o->bb.h, lh = line_h(me->font);
    if (me->open) kr_uiwindow_draw(&me->super, pbb);
    kr_ui_draw_string(me->open ? "-" : "+", me->font, x + 20, y + 20, ALIGN_CENTER_LEFT, me->text_c);
    if (me->name) kr_ui_draw_string(me->name, me->font, x + lh + 40, y + 20, ALIGN_CENTER_LEFT, me->text_c);
    const color_t lc = kr_uic_brighten(me->super.bg_c, 30);
    const int32_t ly = me->open ? y + h - 1 : y + 39;
    kr_ui_draw_line(x, ly, x + w, ly, 1, lc);
    if (!me->open) return;
    // Guides to the children at the smallest x.
    int32_t min_x = INT32_MAX;
    for (uint16_t i = 0; i < me->super.objects_count; ++i) {
        const kr_uiobject_st *c = me->super.objects[i];
        if (c && c->visible && c->bb.x < min_x) min_x = c->bb.x;
    }
    const int32_t guide_x = x + kr_ui_get_string_width("-", me->font) / 2 + 20;
    int32_t lowest = -1;
    for (uint16_t i = 0; i < me->super.objects_count; ++i) {
        const kr_uiobject_st *c = me->super.objects[i];
        if (!c || !c->visible || c->bb.x != min_x) continue;
        const int32_t cx = gx(c), cy = gy(c);
        const int32_t mid = kr_uitreeobject_is(c) ? cy + 20 : cy + c->bb.h / 2;
        if (guide_x < cx - 4) kr_ui_draw_line(guide_x, mid, cx - 4, mid, 1, 0xFFFFFFFF);
        if (mid > lowest) lowest = mid;
    }
    const int32_t top = y + lh / 2 + 20;
    if (lowest > top) kr_ui_draw_line(guide_x, top, guide_x, lowest, 1, 0xFFFFFFFF);
    _kr_uiwindow_draw_children(&me->super, pbb);
    kr_uiwindow_draw_scrollbars(&me->super, pbb);
}

// ---- String layout ----

struct cell {
    const char *name;
    size_t name_len;
    int32_t row, column, span, columns;
};

// Walks the cells in order; `fn` returns true to stop. Returns the number of cells seen.
template <class F> int32_t walk_cells(const kr_uistrlayout_st *me, F fn)
{
    const char *s = me->str ? me->str : "";
    if (!std::strncmp(s, "#V#", 3) || !std::strncmp(s, "#H#", 3)) s += 3;
    int32_t row = 0, index = 0;
    const char *row_start = s;
    while (true) {
        // The row's column count first.
        int32_t columns = 0;
        const char *p = row_start;
        while (true) {
            int32_t span = 1;
            if (*p == '#') {
                span = (int32_t)std::strtol(p + 1, nullptr, 10);
                if (span < 2) span = 1;
            }
            columns += span;
            while (*p && *p != '|' && *p != '\n') ++p;
            if (*p != '|') break;
            ++p;
        }
        p = row_start;
        int32_t column = 0;
        while (true) {
            int32_t span = 1;
            if (*p == '#') {
                char *end = nullptr;
                span = (int32_t)std::strtol(p + 1, &end, 10);
                if (span < 2) span = 1;
                p = end;
            }
            const char *name = p;
            while (*p && *p != '|' && *p != '\n' && *p != '#') ++p;
            cell c{name, (size_t)(p - name), row, column, span, columns};
            if (fn(index, c)) return index + 1;
            ++index;
            column += span;
            while (*p && *p != '|' && *p != '\n') ++p;
            if (*p != '|') break;
            ++p;
        }
        if (*p != '\n') break;
        row_start = p + 1;
        ++row;
    }
    return index;
}

kr_bounding_box_st cell_rect(const kr_uistrlayout_st *me, const cell &c)
{
    kr_bounding_box_st r;
    const int32_t rows = me->row_count ? me->row_count : 1, cols = c.columns ? c.columns : 1;
    if (me->horizontal) {
        const int32_t w = me->bb.w, h = me->bb.h;
        kr_bounding_box_init(&r, (int16_t)(me->bb.x + c.column * w / cols + me->h_padding),
                             (int16_t)(me->bb.y + c.row * h / rows + me->v_padding),
                             (int16_t)(w / cols - 2 * me->h_padding + (c.span - 1) * w / cols),
                             (int16_t)(h / rows - 2 * me->v_padding));
    } else {
        const int32_t w = me->bb.w, h = me->bb.h;
        kr_bounding_box_init(&r, (int16_t)(me->bb.x + c.row * w / rows + me->h_padding),
                             (int16_t)(me->bb.y + c.column * h / cols + me->v_padding),
                             (int16_t)(w / rows - 2 * me->h_padding),
                             (int16_t)(h / cols - 2 * me->v_padding + (c.span - 1) * h / cols));
    }
    return r;
}

kr_bounding_box_st find_from(kr_uistrlayout_st *me, const char *name, int32_t from)
{
    kr_bounding_box_st r{};
    const size_t n = name ? std::strlen(name) : 0;
    bool found = false;
    int32_t at = 0;
    walk_cells(me, [&](int32_t i, const cell &c) {
        if (i < from || c.name_len != n || std::strncmp(c.name, name, n) != 0) return false;
        r = cell_rect(me, c);
        found = true;
        at = i;
        return true;
    });
    if (found) me->index = (uint8_t)(at + 1);
    return r;
}

// ---- List ----

void list_default_entry(kr_uilist_st *me, const kr_uilist_entry_st *e, bool selected, const kr_bounding_box_st *bb)
{
    kr_ui_draw_shadowrrect(bb->x, bb->y, bb->w, bb->h, 2, kr_uic_brighten(me->bg_c, selected ? 30 : 0),
                           kr_uic_brighten(me->bg_c, selected ? 120 : 80),
                           kr_uic_brighten(me->bg_c, selected ? 0 : -80));
    if (e->str) kr_ui_draw_string(e->str, me->font, bb->x + bb->w / 2, bb->y + bb->h / 2, ALIGN_CENTER, me->text_c);
}

void list_media_entry(kr_uilist_st *me, const kr_uilist_entry_st *e, bool selected, const kr_bounding_box_st *bb)
{
    const kr_uimedialist_entry_st *m = (const kr_uimedialist_entry_st *)e;
    kr_ui_draw_shadowrrect(bb->x, bb->y, bb->w, bb->h, 2, kr_uic_brighten(me->bg_c, selected ? 30 : 0),
                           kr_uic_brighten(me->bg_c, selected ? 60 : 30),
                           kr_uic_brighten(me->bg_c, selected ? 0 : -30));
    int32_t tx = bb->x + 20;
    if (m->bitmap) {
        kr_ui_draw_bitmap(m->bitmap, bb->x + 10, bb->y + m->bitmap->height / 2);
        tx = bb->x + m->bitmap->width + 20;
    }
    if (e->str) kr_ui_draw_string(e->str, me->font, tx, bb->y + bb->h / 2, ALIGN_CENTER_LEFT, me->text_c);
}

// Entries overlap by one pixel row: entry i spans 49 i .. 49 i + 49 from the list's top.
constexpr int32_t LIST_PITCH = CONFIG_UI_LIST_ENTRY_HEIGHT - 1;

int32_t list_top_offset(const kr_uilist_st *me)
{
    if (!(me->align & VALIGN_CENTER)) return 0;
    return me->super.bb.h / 2 - me->entries.len * CONFIG_UI_LIST_ENTRY_HEIGHT / 2;
}

const kr_uilist_entry_st *list_entry(const kr_uilist_st *me, uint16_t i)
{
    return (const kr_uilist_entry_st *)((const char *)me->entries.buffer + (size_t)i * me->entries.element_size);
}

void list_draw(kr_uiobject_st *o, const kr_bounding_box_st *)
{
    kr_uilist_st *me = (kr_uilist_st *)o;
    const uint16_t n = me->entries.len;
    if (n && me->selected_index >= (int32_t)n) me->selected_index = (int16_t)(n - 1);
    const int32_t x = gx(o), top = gy(o) + list_top_offset(me), bottom = gy(o) + o->bb.h;
    int32_t drawn = 0;
    for (uint16_t i = 0; i < n; ++i) {
        kr_bounding_box_st bb;
        kr_bounding_box_init(&bb, (int16_t)x, (int16_t)(top + LIST_PITCH * i), o->bb.w, CONFIG_UI_LIST_ENTRY_HEIGHT);
        if (bb.y + bb.h > bottom) break;
        drawn = i + 1;
        if (i != me->selected_index) me->draw_entry(me, list_entry(me, i), false, &bb);
    }
    if (me->selected_index >= 0 && me->selected_index < drawn) {
        kr_bounding_box_st bb;
        kr_bounding_box_init(&bb, (int16_t)x, (int16_t)(top + LIST_PITCH * me->selected_index), o->bb.w,
                             CONFIG_UI_LIST_ENTRY_HEIGHT);
        me->draw_entry(me, list_entry(me, (uint16_t)me->selected_index), true, &bb);
    }
}

void list_touch(kr_uiobject_st *o, kr_touch_st *t)
{
    kr_uilist_st *me = (kr_uilist_st *)o;
    if (t->action != TOUCH_CLICKED) return;
    int32_t y = t->y;
    if (me->align & VALIGN_CENTER) y -= (o->bb.h - me->entries.len * CONFIG_UI_LIST_ENTRY_HEIGHT) / 2;
    if (y < 0) return;
    // Hit-test the rows as drawn (49 px apart); the shared last row belongs to the last entry.
    int32_t index = y / LIST_PITCH;
    if (index == me->entries.len && y == LIST_PITCH * index) index--;
    if (index < 0 || index >= me->entries.len) return;
    me->clicked = true;
    me->clicked_index = (uint8_t)index;
    kr_uilist_select(me, (int16_t)index);
    t->action = TOUCH_NONE;
}

} // namespace

extern "C" {

// ---- Frame window ----

void kr_uiframewindow_init(kr_uiframewindow_st *me, kr_uiobject_st **obj_array, const kr_uistyle_st *style)
{
    if (!me) return;
    style = style_or_default(style);
    kr_uiwindow_init(&me->super, obj_array, style);
    me->super.transparent = true;
    me->title = nullptr;
    me->font = style->font;
    me->text_c = style->text_color;
    me->frame_c = style->text_color;
    kr_uiwindow_set_content_bb_default_pos(&me->super, 10, (int16_t)frame_top_inset(me));
    me->super.super.vrtl_draw = frame_draw;
}

void kr_uiframewindow_set_title(kr_uiframewindow_st *me, const char *title)
{
    if (!me) return;
    me->title = title;
    kr_uiwindow_set_content_bb_default_pos(&me->super, 10, (int16_t)frame_top_inset(me));
    kr_ui_refresh(&me->super.super);
}

kr_bounding_box_st kr_uiframewindow_get_content_bb(kr_uiframewindow_st *me)
{
    const kr_bounding_box_st &b = me->super.super.bb;
    const int32_t top = frame_top_inset(me);
    kr_bounding_box_st r;
    kr_bounding_box_init(&r, (int16_t)(b.x + 10), (int16_t)(b.y + top), (int16_t)(b.w - 20), (int16_t)(b.h - 10 - top));
    return r;
}

void kr_uiframewindow_clear(kr_uiframewindow_st *me)
{
    if (!me) return;
    kr_uiwindow_clear(&me->super);
    me->super.super.vrtl_draw = frame_draw;
}

// ---- Tab window ----

const char *kr_uitabwindow_tab_name(const kr_uitabwindow_st *me, uint16_t index)
{
    if (!me || !me->tab_names || index >= me->tab_count) return "";
    if (me->names_type == UITABWINDOW_LIST_OF_POINTERS) {
        const char *n = ((const char *const *)me->tab_names)[index];
        return n ? n : "";
    }
    const char *p = (const char *)me->tab_names;
    for (uint16_t i = 0; i < index; ++i) {
        p += std::strlen(p);
        while (*p == 0) ++p;
    }
    return p;
}

void kr_uitabwindow_init(kr_uitabwindow_st *me, uint16_t tab_count, const kr_uistyle_st *style,
                         kr_uiobject_st **obj_array, const void *tab_names)
{
    if (!me) return;
    style = style_or_default(style);
    kr_uiwindow_init(&me->super, obj_array, style);
    me->super.transparent = false;
    kr_uiwindow_set_content_bb_default_pos(&me->super, 0, CONFIG_UI_TABWINDOW_HEADER_HEIGHT);
    me->font = style->font;
    me->text_c = style->text_color;
    me->tab_count = tab_count;
    me->tab_names = tab_names;
    me->names_type = UITABWINDOW_LIST_OF_POINTERS;
    me->active_tab = 0;
    me->tab_changed = false;
    me->super.super.step_callb = tab_step;
    me->super.super.vrtl_draw = tab_draw;
    me->super.super.vrtl_touch = tab_touch;
}

kr_bounding_box_st kr_uitabwindow_get_contentbb(kr_uitabwindow_st *me)
{
    const kr_bounding_box_st &b = me->super.super.bb;
    kr_bounding_box_st r;
    kr_bounding_box_init(&r, b.x, (int16_t)(b.y + CONFIG_UI_TABWINDOW_HEADER_HEIGHT), b.w,
                         (int16_t)(b.h - CONFIG_UI_TABWINDOW_HEADER_HEIGHT));
    return r;
}

void kr_uitabwindow_clear(kr_uitabwindow_st *me)
{
    if (!me) return;
    kr_uiwindow_clear(&me->super);
    me->super.super.vrtl_draw = tab_draw;
}

// ---- Tree ----

bool kr_uitreeobject_is(const kr_uiobject_st *o) { return o && o->vrtl_draw == tree_draw; }

void kr_uitreeview_init(kr_uitreeview_st *me, kr_uiobject_st **obj_array, const kr_uistyle_st *style)
{
    if (!me) return;
    kr_uiwindow_init(&me->super, obj_array, style);
    me->one_active = true;
}

void kr_uitreeobject_init(kr_uitreeobject_st *me, kr_uiobject_st **obj_array, const char *name,
                          void (*show_callb)(kr_uitreeobject_st *me), const kr_uistyle_st *style)
{
    if (!me) return;
    style = style_or_default(style);
    kr_uiwindow_init(&me->super, obj_array, style);
    me->text_c = style->text_color;
    me->font = style->font;
    kr_uiwindow_set_content_bb_default_pos(&me->super, (int16_t)(line_h(me->font) + 40),
                                           CONFIG_UI_TREEVIEW_ITEM_HEIGHT);
    me->name = name;
    me->show_callb = show_callb;
    me->open = false;
    me->one_active = true;
    me->super.transparent = true;
    me->super.super.step_callb = kr_uiwindow_step;
    me->super.super.vrtl_draw = tree_draw;
    me->super.super.vrtl_touch = tree_touch;
}

void kr_uitreeobject_set_font(kr_uitreeobject_st *me, const ui_font_st *font)
{
    if (!me || !font) return;
    me->font = font;
    kr_uiwindow_set_content_bb_default_pos(&me->super, (int16_t)(line_h(font) + 40), CONFIG_UI_TREEVIEW_ITEM_HEIGHT);
    kr_ui_refresh(&me->super.super);
}

kr_bounding_box_st kr_uitreeobject_get_content_bb(kr_uitreeobject_st *me)
{
    kr_bounding_box_st r = kr_uiwindow_get_contentbb(&me->super);
    r.h = (int16_t)(r.h - CONFIG_UI_TREEVIEW_ITEM_HEIGHT);
    r.w = (int16_t)(r.w - me->super.content_bb_xdef);
    return r;
}

void kr_uitreeobject_clear(kr_uitreeobject_st *me)
{
    if (!me) return;
    kr_uiwindow_clear(&me->super);
    me->super.super.vrtl_draw = tree_draw;
    me->super.super.step_callb = kr_uiwindow_step;
}

void kr_uitreeview_add(kr_uiwindow_st *container, kr_uitreeobject_st *obj, int16_t content_h, bool open)
{
    if (!container || !obj) return;
    kr_uiwindow_addxy(container, &obj->super.super, 0, 0, content_width(container),
                      (int16_t)(content_h + CONFIG_UI_TREEVIEW_ITEM_HEIGHT));
    obj->content_h = content_h;
    if (open)
        kr_uitreeview_open(container, obj);
    else
        kr_uitreeview_close(container, obj);
}

void kr_uitreeview_open(kr_uiwindow_st *container, kr_uitreeobject_st *obj)
{
    if (!container || !obj) return;
    if (container_one_active(container)) {
        for (uint16_t i = 0; i < container->objects_count; ++i) {
            kr_uiobject_st *o = container->objects[i];
            if (o && o != &obj->super.super && kr_uitreeobject_is(o) && ((kr_uitreeobject_st *)o)->open)
                kr_uitreeview_close(container, (kr_uitreeobject_st *)o);
        }
    }
    obj->open = true;
    if (obj->show_callb) obj->show_callb(obj);
    relayout(container);
    // Scroll the root so that the opened header is at the top of the view.
    int32_t y = obj->super.super.bb.y;
    kr_uiwindow_st *c = container;
    while (c && kr_uitreeobject_is(&c->super)) {
        y += c->content_bb.y + c->super.bb.y;
        c = c->super.parent;
    }
    kr_uiwindow_st *root = tree_root(container);
    if (root) kr_uiwindow_content_move_to(root, 0, y);
}

void kr_uitreeview_close(kr_uiwindow_st *container, kr_uitreeobject_st *obj)
{
    if (!container || !obj) return;
    obj->open = false;
    relayout(container);
}

void kr_uitreeview_set_oneactive(kr_uiwindow_st *container, bool value)
{
    if (!container) return;
    if (kr_uitreeobject_is(&container->super))
        ((kr_uitreeobject_st *)container)->one_active = value;
    else
        ((kr_uitreeview_st *)container)->one_active = value;
    kr_ui_refresh(&container->super);
}

// ---- Grid layout ----

void kr_uigridlayout_init(kr_uigridlayout_st *me, int16_t x, int16_t y, int16_t width, int16_t height,
                          int16_t column_count, int16_t row_count)
{
    if (!me) return;
    kr_bounding_box_init(&me->bb, x, y, width, height);
    me->index = 0;
    me->cell_count = column_count;
    me->row_count = row_count;
    me->hpadding = me->vpadding = 0;
    me->horizontal = true;
}

kr_bounding_box_st kr_uigridlayout_next(kr_uigridlayout_st *me)
{
    kr_bounding_box_st r{};
    if (!me || me->cell_count <= 0 || me->row_count <= 0 || me->index >= me->cell_count * me->row_count) return r;
    int32_t row, col;
    if (me->horizontal) {
        row = me->index / me->cell_count;
        col = me->index % me->cell_count;
    } else {
        col = me->index / me->row_count;
        row = me->index % me->row_count;
    }
    const int32_t w = me->bb.w, h = me->bb.h;
    kr_bounding_box_init(&r, (int16_t)(me->bb.x + col * w / me->cell_count + me->hpadding),
                         (int16_t)(me->bb.y + row * h / me->row_count + me->vpadding),
                         (int16_t)(w / me->cell_count - 2 * me->hpadding),
                         (int16_t)(h / me->row_count - 2 * me->vpadding));
    me->index++;
    return r;
}

// ---- String layout ----

void kr_uistrlayout_init(kr_uistrlayout_st *me, const char *str, int16_t x, int16_t y, int16_t width, int16_t height,
                         int16_t hpadding, int16_t vpadding)
{
    if (!me) return;
    me->str = str ? str : "";
    kr_bounding_box_init(&me->bb, x, y, width, height);
    me->h_padding = hpadding;
    me->v_padding = vpadding;
    me->index = 0;
    me->horizontal = std::strncmp(me->str, "#V#", 3) != 0;
    uint32_t rows = 1;
    for (const char *p = me->str; *p; ++p)
        if (*p == '\n') ++rows;
    me->row_count = (uint8_t)(rows > 255 ? 255 : rows);
}

kr_bounding_box_st kr_uistrlayout_find(kr_uistrlayout_st *me, const char *name)
{
    if (!me) return kr_bounding_box_st{};
    return find_from(me, name, 0);
}

kr_bounding_box_st kr_uistrlayout_find_next(kr_uistrlayout_st *me, const char *name)
{
    if (!me) return kr_bounding_box_st{};
    return find_from(me, name, me->index);
}

kr_bounding_box_st kr_uistrlayout_next(kr_uistrlayout_st *me)
{
    kr_bounding_box_st r{};
    if (!me) return r;
    bool found = false;
    const int32_t want = me->index;
    walk_cells(me, [&](int32_t i, const cell &c) {
        if (i != want) return false;
        r = cell_rect(me, c);
        found = true;
        return true;
    });
    if (found) {
        me->index++;
        return r;
    }
    walk_cells(me, [&](int32_t, const cell &c) {
        r = cell_rect(me, c);
        return true;
    });
    me->index = 1;
    return r;
}

bool kr_uistrlayout_contains(kr_uistrlayout_st *me, const char *name)
{
    if (!me) return false;
    const uint8_t keep = me->index;
    const kr_bounding_box_st r = kr_uistrlayout_find(me, name);
    me->index = keep;
    return r.x || r.y || r.w || r.h;
}

void kr_uistrlayout_set_margin(kr_uistrlayout_st *me, int16_t hmargin, int16_t vmargin)
{
    if (!me) return;
    kr_bb_set_marging(&me->bb, hmargin, vmargin);
}

// ---- List ----

void kr_uilist_init(kr_uilist_st *me, void *buffer, uint16_t buffer_len, const kr_uistyle_st *style)
{
    if (!me) return;
    style = style_or_default(style);
    kr_uiobject_init(&me->super);
    me->selected_index = -1;
    kr_vector_init(&me->entries, buffer, buffer_len, sizeof(kr_uilist_entry_st));
    me->super.step_callb = kr_uilist_step;
    me->super.vrtl_draw = list_draw;
    me->super.vrtl_touch = list_touch;
    me->align = ALIGN_CENTER;
    me->clicked = false;
    me->bg_c = style->bg_c;
    me->text_c = style->text_color;
    me->font = style->font;
    me->draw_entry = list_default_entry;
}

void kr_uimedialist_init(kr_uimedialist_st *me, void *buffer, uint16_t buffer_len, const kr_uistyle_st *style)
{
    if (!me) return;
    kr_uilist_init(me, buffer, buffer_len, style);
    kr_vector_init(&me->entries, buffer, buffer_len, sizeof(kr_uimedialist_entry_st));
    me->draw_entry = list_media_entry;
}

void kr_uilist_recalc_height(kr_uilist_st *me)
{
    if (!me) return;
    const int32_t h = me->entries.len * CONFIG_UI_LIST_ENTRY_HEIGHT;
    if (me->super.bb.h < h) me->super.bb.h = (int16_t)(h > INT16_MAX ? INT16_MAX : h);
}

void kr_uilist_push_back(kr_uilist_st *me, const void *entry)
{
    if (!me) return;
    kr_vector_push_back(&me->entries, entry);
    kr_uilist_recalc_height(me);
}

void kr_uilist_insert(kr_uilist_st *me, uint16_t index, const char *str)
{
    if (!me) return;
    kr_uimedialist_entry_st e{};
    e.super.str = str;
    kr_vector_insert(&me->entries, index, &e);
    kr_uilist_recalc_height(me);
}

void kr_uilist_remove(kr_uilist_st *me, uint16_t index)
{
    if (!me) return;
    kr_vector_remove(&me->entries, index, 1);
    kr_uilist_recalc_height(me);
}

void kr_uilist_pop_back(kr_uilist_st *me, void *dest)
{
    if (!me) return;
    kr_vector_pop_back(&me->entries, dest);
    kr_uilist_recalc_height(me);
}

void kr_uilist_clear(kr_uilist_st *me)
{
    if (!me) return;
    me->entries.len = 0;
    kr_uilist_recalc_height(me);
}

void kr_uilist_select(kr_uilist_st *me, int16_t index)
{
    if (!me || me->selected_index == index) return;
    me->selected_index = index;
    kr_ui_refresh(&me->super);
}

kr_uiobject_ret_e kr_uilist_step(kr_uiobject_st *o, uint16_t)
{
    ((kr_uilist_st *)o)->clicked = false;
    return UIOBJECT_RETURN_ALIVE;
}

} // extern "C"
