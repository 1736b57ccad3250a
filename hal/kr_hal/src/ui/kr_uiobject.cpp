// The object base and the window container.
#include "ui/kr_uiobject.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr int8_t DISABLED_LUMINOSITY = -60;
constexpr int32_t SCROLLBAR_SPACE = 8;

bool tree_disabled(const kr_uiobject_st *me)
{
    for (const kr_uiobject_st *o = me; o; o = o->parent ? &o->parent->super : nullptr)
        if (!o->enabled) return true;
    return false;
}

// The intersection of a rectangle with a clip; empty (0 wide or high) when there is none.
kr_bounding_box_st intersect(int32_t x, int32_t y, int32_t w, int32_t h, const kr_bounding_box_st *clip)
{
    int32_t x0 = x, y0 = y, x1 = x + w, y1 = y + h;
    if (clip) {
        x0 = std::max(x0, (int32_t)clip->x);
        y0 = std::max(y0, (int32_t)clip->y);
        x1 = std::min(x1, (int32_t)clip->x + clip->w);
        y1 = std::min(y1, (int32_t)clip->y + clip->h);
    }
    kr_bounding_box_st r;
    r.x = (int16_t)x0;
    r.y = (int16_t)y0;
    r.w = (int16_t)std::max(0, x1 - x0);
    r.h = (int16_t)std::max(0, y1 - y0);
    return r;
}

void set_mask(const kr_bounding_box_st &bb) { kr_ui_set_mask(bb.x, bb.y, bb.w, bb.h); }

kr_bounding_box_st window_rect(const kr_uiwindow_st *me)
{
    kr_bounding_box_st r;
    r.x = (int16_t)kr_ui_get_xglobal(&me->super);
    r.y = (int16_t)kr_ui_get_yglobal(&me->super);
    r.w = me->super.bb.w;
    r.h = me->super.bb.h;
    return r;
}

bool focusable(const kr_uiobject_st *o) { return o->enablefocus && o->visible && o->enabled; }

void focus_walk(kr_uiwindow_st *win, uiwindow_focus_st *f)
{
    for (uint16_t i = 0; i < win->objects_count; ++i) {
        kr_uiobject_st *o = win->objects[i];
        if (!o) continue;
        if (focusable(o)) {
            if (!f->first) f->first = o;
            if (f->passed_current && !f->next) f->next = o;
            if (o->focused) {
                f->current = o;
                f->prev = f->last;
                f->passed_current = true;
            }
            f->last = o;
        }
        if (o->visible && o->is_window) focus_walk((kr_uiwindow_st *)o, f);
    }
}

// Every focused object of the tree loses focus, hidden and disabled ones too, except `keep`.
void unfocus_all(kr_uiwindow_st *win, const kr_uiobject_st *keep)
{
    for (uint16_t i = 0; i < win->objects_count; ++i) {
        kr_uiobject_st *o = win->objects[i];
        if (!o) continue;
        if (o->focused && o != keep) {
            o->focused = false;
            kr_ui_refresh(o);
        }
        if (o->is_window) unfocus_all((kr_uiwindow_st *)o, keep);
    }
}

bool focus_move(kr_uiwindow_st *window, bool forward)
{
    if (!window) return false;
    uiwindow_focus_st f = {};
    focus_walk(window, &f);
    kr_uiobject_st *target = forward ? (f.next ? f.next : f.first) : (f.prev ? f.prev : f.last);
    if (!target || target == f.current) return false;
    unfocus_all(window, target);
    if (!target->focused) {
        target->focused = true;
        kr_ui_refresh(target);
    }
    return true;
}

kr_uiobject_st *root_of(kr_uiobject_st *o)
{
    while (o->parent) o = &o->parent->super;
    return o;
}

} // namespace

extern "C" {

// ---- Object base ----

void kr_uiobject_init(kr_uiobject_st *me)
{
    if (!me) return;
    kr_bounding_box_init(&me->bb, 0, 0, 0, 0);
    me->parent = nullptr;
    me->step_callb = nullptr;
    me->vrtl_draw = nullptr;
    me->vrtl_touch = nullptr;
    me->visible = true;
    kr_ui_refresh(me);
    me->enabled = true;
    me->transition = nullptr;
}

void kr_uiobject_set_visible(kr_uiobject_st *me, bool value)
{
    if (!me) return;
    if (me->visible != value) kr_ui_refresh(me);
    me->visible = value;
}

void kr_ui_hide(kr_uiobject_st *me)
{
    if (me) me->visible = false;
}

kr_uiobject_ret_e kr_uiobject_step(kr_uiobject_st *me, uint16_t step_ms)
{
    if (!me || !me->step_callb) return UIOBJECT_RETURN_ALIVE;
    return me->step_callb(me, step_ms);
}

void kr_ui_refresh(kr_uiobject_st *me)
{
    if (!me) return;
    root_of(me)->refresh = true;
}

void kr_ui_refresh_parent(kr_uiobject_st *) {}

void kr_ui_set_enabled(kr_uiobject_st *me, bool enabled)
{
    if (!me) return;
    if (!me->enabled && enabled) kr_ui_refresh(me);
    me->enabled = enabled;
}

int32_t kr_ui_get_xglobal(const kr_uiobject_st *me)
{
    if (!me) return 0;
    if (!me->parent) return me->bb.x;
    return me->bb.x + kr_ui_get_xglobal(&me->parent->super) + me->parent->content_bb.x;
}

int32_t kr_ui_get_yglobal(const kr_uiobject_st *me)
{
    if (!me) return 0;
    if (!me->parent) return me->bb.y;
    return me->bb.y + kr_ui_get_yglobal(&me->parent->super) + me->parent->content_bb.y;
}

void kr_bounding_box_init(kr_bounding_box_st *bb, int16_t x, int16_t y, int16_t width, int16_t height)
{
    if (!bb) return;
    bb->x = x;
    bb->y = y;
    bb->w = width;
    bb->h = height;
}

void kr_bb_set_marging(kr_bounding_box_st *bb, int16_t hmargin, int16_t vmargin)
{
    if (!bb) return;
    bb->x = (int16_t)(bb->x + hmargin);
    bb->w = (int16_t)(bb->w - 2 * hmargin);
    bb->y = (int16_t)(bb->y + vmargin);
    bb->h = (int16_t)(bb->h - 2 * vmargin);
}

void kr_uiobject_draw_focus(int32_t x, int32_t y, int32_t w, int32_t h, color_t color)
{
    const int32_t x0 = x + 1, y0 = y + 1, x1 = x + w - 2, y1 = y + h - 2;
    kr_ui_draw_line(x0, y0, x1, y0, 3, color);
    kr_ui_draw_line(x1, y0, x1, y1, 3, color);
    kr_ui_draw_line(x1, y1, x0, y1, 3, color);
    kr_ui_draw_line(x0, y1, x0, y0, 3, color);
}

bool _kr_uiobject_draw(kr_uiobject_st *me, const kr_bounding_box_st *pbb)
{
    if (!me) return false;
    const bool draw = me->refresh && me->vrtl_draw && me->visible;
    me->refresh = false;
    if (!draw) return false;
    if (tree_disabled(me)) {
        kr_ui_set_color_mode(COLOR_MODE_GRAYSCALE);
        kr_ui_set_grayscale_luminosity(DISABLED_LUMINOSITY);
    } else {
        kr_ui_set_color_mode(COLOR_MODE_RGB);
    }
    me->vrtl_draw(me, pbb);
    return true;
}

// ---- Window ----

void kr_uiwindow_init(kr_uiwindow_st *me, kr_uiobject_st **objects, const kr_uistyle_st *style)
{
    if (!me) return;
    if (!style) style = &kr_uistyles[0];
    kr_uiobject_init(&me->super);
    kr_bounding_box_init(&me->content_bb, 0, 0, 0, 0);
    me->content_bb_xdef = 0;
    me->content_bb_ydef = 0;
    me->content_autogrow = false;
    me->objects = objects;
    me->objects_count = 0;
    me->bg_c = style->window_c;
    me->handle_c = style->bg_c;
    me->dragging = false;
    me->transparent = true;
    me->app_step_callb = nullptr;
    me->user_ptr = nullptr;
    me->super.vrtl_draw = _kr_uiwindow_draw;
    me->super.vrtl_touch = _kr_uiwindow_touch;
    me->super.step_callb = kr_uiwindow_step;
    me->super.is_window = true;
}

void kr_uiwindow_add(kr_uiwindow_st *me, kr_uiobject_st *object, kr_bounding_box_st bb)
{
    if (!me || !object) return;
    object->bb = bb;
    object->parent = me;
    kr_ui_refresh(object);
    me->objects[me->objects_count++] = object;
    if (me->content_autogrow) {
        me->content_bb.w = (int16_t)std::max<int32_t>(me->content_bb.w, bb.x + bb.w);
        me->content_bb.h = (int16_t)std::max<int32_t>(me->content_bb.h, bb.y + bb.h);
    }
    me->content_bb.w = std::max(me->content_bb.w, me->super.bb.w);
    me->content_bb.h = std::max(me->content_bb.h, me->super.bb.h);
}

void kr_uiwindow_addxy(kr_uiwindow_st *me, kr_uiobject_st *object, int16_t x, int16_t y, int16_t width, int16_t height)
{
    kr_bounding_box_st bb;
    kr_bounding_box_init(&bb, x, y, width, height);
    kr_uiwindow_add(me, object, bb);
}

void kr_uiwindow_remove(kr_uiwindow_st *me, kr_uiobject_st *object)
{
    if (!me) return;
    for (uint16_t i = 0; i < me->objects_count; ++i) {
        if (me->objects[i] != object) continue;
        for (uint16_t j = i; j + 1 < me->objects_count; ++j) me->objects[j] = me->objects[j + 1];
        me->objects_count--;
        kr_ui_refresh(&me->super);
        return;
    }
}

void kr_uiwindow_send_to_back(kr_uiwindow_st *me, kr_uiobject_st *object)
{
    if (!me) return;
    for (uint16_t i = 0; i < me->objects_count; ++i) {
        if (me->objects[i] != object) continue;
        for (uint16_t j = i; j > 0; --j) me->objects[j] = me->objects[j - 1];
        me->objects[0] = object;
        kr_ui_refresh(&me->super);
        return;
    }
}

void kr_uiwindow_clear(kr_uiwindow_st *me)
{
    if (!me) return;
    if (me->objects_count) kr_ui_refresh(&me->super);
    me->objects_count = 0;
    me->app_step_callb = nullptr;
    me->user_ptr = nullptr;
    me->super.vrtl_draw = _kr_uiwindow_draw;
}

void kr_uiwindow_set_stepcallback(kr_uiwindow_st *me, kr_uiobject_ret_e (*callback)(void *user_ptr, uint16_t step_ms),
                                  void *user_ptr)
{
    if (!me) return;
    me->app_step_callb = callback;
    me->user_ptr = user_ptr;
}

void kr_uiwindow_set_transparent(kr_uiwindow_st *me, bool value)
{
    if (!me) return;
    if (me->transparent != value) kr_ui_refresh(&me->super);
    me->transparent = value;
}

void kr_uiwindow_set_content_autogrow(kr_uiwindow_st *me, bool value)
{
    if (me) me->content_autogrow = value;
}

void kr_uiwindow_set_content_bb_default_pos(kr_uiwindow_st *me, int16_t x, int16_t y)
{
    if (!me) return;
    me->content_bb_xdef = x;
    me->content_bb_ydef = y;
    me->content_bb.x = x;
    me->content_bb.y = y;
}

void kr_uiwindow_set_contentbb(kr_uiwindow_st *me, int16_t width, int16_t height)
{
    if (!me) return;
    me->content_bb.w = width;
    me->content_bb.h = height;
    kr_uiwindow_content_move(me, 0, 0);
    kr_ui_refresh(&me->super);
}

kr_bounding_box_st kr_uiwindow_get_contentbb(kr_uiwindow_st *me)
{
    if (me->content_bb.w == 0) me->content_bb.w = me->super.bb.w;
    if (me->content_bb.h == 0) me->content_bb.h = me->super.bb.h;
    kr_bounding_box_st r = me->content_bb;
    if (me->content_bb.h > me->super.bb.h) r.w = (int16_t)(r.w - SCROLLBAR_SPACE);
    if (me->content_bb.w > me->super.bb.w) r.h = (int16_t)(r.h - SCROLLBAR_SPACE);
    return r;
}

void kr_uiwindow_content_move(kr_uiwindow_st *me, int32_t dx, int32_t dy)
{
    if (!me) return;
    // Content narrower (shorter) than the window stays at its default offset on both axes.
    const int32_t nx = me->content_bb.x + dx;
    const int32_t minx = me->super.bb.w - me->content_bb.w;
    if (nx > me->content_bb_xdef)
        me->content_bb.x = me->content_bb_xdef;
    else if (nx >= minx)
        me->content_bb.x = (int16_t)nx;
    else
        me->content_bb.x = me->content_bb.w > me->super.bb.w ? (int16_t)minx : me->content_bb_xdef;

    const int32_t ny = me->content_bb.y + dy;
    const int32_t miny = me->super.bb.h - me->content_bb.h;
    if (ny > me->content_bb_ydef)
        me->content_bb.y = me->content_bb_ydef;
    else if (ny >= miny)
        me->content_bb.y = (int16_t)ny;
    else
        me->content_bb.y = me->content_bb.h > me->super.bb.h ? (int16_t)miny : me->content_bb_ydef;

    if (dx != 0 || dy != 0) kr_ui_refresh(&me->super);
}

void kr_uiwindow_content_move_to(kr_uiwindow_st *me, int32_t x, int32_t y)
{
    if (!me) return;
    kr_uiwindow_content_move(me, -x - me->content_bb.x, -y - me->content_bb.y);
}

void kr_uiwindow_set_enabled(kr_uiwindow_st *me, bool enabled)
{
    if (!me) return;
    for (uint16_t i = 0; i < me->objects_count; ++i) kr_ui_set_enabled(me->objects[i], enabled);
    kr_ui_set_enabled(&me->super, enabled);
}

void kr_uiwindow_set_focus(kr_uiobject_st *object)
{
    if (!object) return;
    kr_uiobject_st *root = root_of(object);
    if (root->is_window) unfocus_all((kr_uiwindow_st *)root, object);
    if (root != object && root->focused) {
        root->focused = false;
        kr_ui_refresh(root);
    }
    if (!object->focused) {
        object->focused = true;
        kr_ui_refresh(object);
    }
}

void kr_uiwindow_clear_focus(kr_uiwindow_st *window)
{
    if (window) unfocus_all(window, nullptr);
}

bool kr_uiwindow_focus_next(kr_uiwindow_st *window) { return focus_move(window, true); }

bool kr_uiwindow_focus_prev(kr_uiwindow_st *window) { return focus_move(window, false); }

kr_uiobject_ret_e kr_uiwindow_step(kr_uiobject_st *obj, uint16_t step_ms)
{
    kr_uiwindow_st *me = (kr_uiwindow_st *)obj;
    kr_uiobject_ret_e ret = UIOBJECT_RETURN_ALIVE;
    if (me->app_step_callb && me->super.enabled) ret = me->app_step_callb(me->user_ptr, step_ms);
    if (ret & UIOBJECT_RETURN_KILLED) return ret;
    for (uint16_t i = 0; i < me->objects_count; ++i) {
        kr_uiobject_st *o = me->objects[i];
        if (!o || !o->step_callb) continue;
        ret |= o->step_callb(o, step_ms);
        if (ret & UIOBJECT_RETURN_KILLED) break;
    }
    return ret;
}

void kr_uiwindow_draw(kr_uiwindow_st *me, const kr_bounding_box_st *pbb)
{
    const kr_bounding_box_st r = window_rect(me);
    const kr_bounding_box_st m = intersect(r.x, r.y, r.w, r.h, pbb);
    set_mask(m);
    if (!me->transparent && m.w > 0 && m.h > 0) kr_ui_draw_rrect(r.x, r.y, r.w, r.h, 0, me->bg_c);
}

void _kr_uiwindow_draw_children(kr_uiwindow_st *me, const kr_bounding_box_st *pbb)
{
    const kr_bounding_box_st r = window_rect(me);
    const kr_bounding_box_st area = intersect(r.x + me->content_bb_xdef, r.y + me->content_bb_ydef,
                                              r.w - me->content_bb_xdef, r.h - me->content_bb_ydef, pbb);
    set_mask(area);
    for (uint16_t i = 0; i < me->objects_count; ++i) {
        kr_uiobject_st *o = me->objects[i];
        if (!o) continue;
        o->refresh = true;
        if (_kr_uiobject_draw(o, &area)) set_mask(area);
    }
}

void kr_uiwindow_draw_scrollbars(kr_uiwindow_st *me, const kr_bounding_box_st *pbb)
{
    const bool vertical = me->content_bb.h > me->super.bb.h;
    const bool horizontal = me->content_bb.w > me->super.bb.w;
    if (!vertical && !horizontal) return;
    const kr_bounding_box_st r = window_rect(me);
    // Clipped to the parent too, so a window scrolled out of view paints no bars over its neighbours.
    const kr_bounding_box_st m = intersect(r.x, r.y, r.w, r.h, pbb);
    if (m.w <= 0 || m.h <= 0) return;
    set_mask(m);
    const float xg = r.x, yg = r.y, w = r.w, h = r.h;
    if (vertical) {
        const float track = h - 4;
        const float ratio = me->content_bb.h ? h / (float)me->content_bb.h : 1.0f;
        const float len = track * ratio;
        const float range = (float)me->content_bb.h - h;
        const float top = yg + 2 + (range > 0 ? (track - len) * (float)-me->content_bb.y / range : 0);
        kr_ui_draw_rrect((int32_t)(xg + w - 6), (int32_t)(yg + 2), 6, (int32_t)track, 3, me->bg_c);
        kr_ui_draw_rrect((int32_t)(xg + w - 6), (int32_t)top, 6, (int32_t)len, 3, me->handle_c);
    }
    if (horizontal) {
        const float track = w - 4;
        const float ratio = me->content_bb.w ? w / (float)me->content_bb.w : 1.0f;
        const float len = track * ratio;
        const float range = (float)me->content_bb.w - w;
        const float left = xg + 2 + (range > 0 ? (track - len) * (float)-me->content_bb.x / range : 0);
        kr_ui_draw_rrect((int32_t)(xg + 2), (int32_t)(yg + h - 8), (int32_t)track, 6, 3, me->bg_c);
        kr_ui_draw_rrect((int32_t)left, (int32_t)(yg + h - 8), (int32_t)len, 6, 3, me->handle_c);
    }
}

void _kr_uiwindow_draw(kr_uiobject_st *obj, const kr_bounding_box_st *pbb)
{
    kr_uiwindow_st *me = (kr_uiwindow_st *)obj;
    kr_uiwindow_draw(me, pbb);
    _kr_uiwindow_draw_children(me, pbb);
    kr_uiwindow_draw_scrollbars(me, pbb);
}

void _kr_uiwindow_touch(kr_uiobject_st *obj, kr_touch_st *touch)
{
    kr_uiwindow_st *me = (kr_uiwindow_st *)obj;
    for (int32_t i = (int32_t)me->objects_count - 1; i >= 0; --i) {
        kr_uiobject_st *o = me->objects[i];
        if (!o || !o->visible || !o->enabled || !o->vrtl_touch) continue;
        kr_touch_st copy = *touch;
        if (copy.action != TOUCH_NONE && copy.action != TOUCH_DRAG) {
            const int32_t lx = copy.x - (o->bb.x + me->content_bb.x);
            const int32_t ly = copy.y - (o->bb.y + me->content_bb.y);
            copy.x = (int16_t)lx;
            copy.y = (int16_t)ly;
            if (lx < 0 || lx > o->bb.w || ly < 0 || ly > o->bb.h) copy.action = TOUCH_NONE;
        }
        const kr_touch_action_e given = copy.action;
        o->vrtl_touch(o, &copy);
        if (copy.action != given) touch->action = TOUCH_NONE;
    }
    if (me->content_bb.h > me->super.bb.h || me->content_bb.w > me->super.bb.w) {
        if (touch->action == TOUCH_PRESSED) {
            me->dragging = true;
            touch->action = TOUCH_NONE;
        } else if (touch->action == TOUCH_RELEASED) {
            me->dragging = false;
            touch->action = TOUCH_NONE;
        } else if (touch->action == TOUCH_DRAG && me->dragging) {
            kr_uiwindow_content_move(me, touch->x, touch->y);
            touch->action = TOUCH_NONE;
        }
    }
    if (!me->transparent && touch->action != TOUCH_DRAG) touch->action = TOUCH_NONE;
}

} // extern "C"
