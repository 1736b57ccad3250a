// Point graph and valve slider.
#include "ui/kr_uigraph.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ui/kr_uitextedit.h"

namespace {

const kr_uistyle_st *style_or_default(const kr_uistyle_st *s) { return s ? s : &kr_uistyles[0]; }

int32_t clamp32(int64_t v, int64_t lo, int64_t hi) { return (int32_t)(v < lo ? lo : (v > hi ? hi : v)); }

int32_t per_mille(int32_t v, int32_t lo, int32_t hi) { return clamp32(kr_reli(v, lo, hi), 0, 1000); }

// A clip rectangle that never reaches outside the parent's visible area.
void clip(int32_t x, int32_t y, int32_t w, int32_t h, const kr_bounding_box_st *pbb)
{
    if (pbb) {
        const int32_t x1 = std::min(x + w, (int32_t)pbb->x + pbb->w), y1 = std::min(y + h, (int32_t)pbb->y + pbb->h);
        x = std::max(x, (int32_t)pbb->x);
        y = std::max(y, (int32_t)pbb->y);
        w = x1 - x;
        h = y1 - y;
    }
    kr_ui_set_mask(x, y, w < 0 ? 0 : w, h < 0 ? 0 : h);
}

void clip_reset(const kr_bounding_box_st *pbb)
{
    if (pbb)
        kr_ui_set_mask(pbb->x, pbb->y, pbb->w, pbb->h);
    else
        kr_ui_set_mask(0, 0, UI_SCREEN_WIDTH, UI_SCREEN_HEIGHT);
}

// A number with its unit, cut to the buffer at a character boundary.
void value_text(char *buf, size_t len, const char *fmt_unit, const char *fmt, int32_t v, const char *unit)
{
    char full[256];
    if (unit)
        std::snprintf(full, sizeof full, fmt_unit, (int)v, unit);
    else
        std::snprintf(full, sizeof full, fmt, (int)v);
    kr_utf8_cut(full, len - 1);
    std::memcpy(buf, full, std::strlen(full) + 1);
}

// ---- Graph ----

struct plot {
    int32_t x, y, w, h; // widget-relative when from the stored content fields
};

bool active_valid(const kr_uigraph_st *me)
{
    return me->points && me->active_point >= 0 && me->active_point < (int32_t)me->points_count;
}

int32_t graph_px(const kr_uigraph_st *me, const plot &p, int32_t v)
{
    return kr_lerpi(kr_reli(v, me->min_x, me->max_x), p.x, p.x + p.w);
}
int32_t graph_py(const kr_uigraph_st *me, const plot &p, int32_t v)
{
    return kr_lerpi(kr_reli(v, me->min_y, me->max_y), p.y + p.h, p.y);
}

// Lowest and highest x the point may take without passing an interactive neighbour.
void x_limits(const kr_uigraph_st *me, uint16_t i, int32_t &lo, int32_t &hi)
{
    lo = INT16_MIN;
    hi = INT16_MAX;
    if (i > 0 && me->points[i - 1].interactive) lo = me->points[i - 1].x + 1;
    if (i + 1 < me->points_count && me->points[i + 1].interactive) hi = me->points[i + 1].x - 1;
}

// Moves the active point; `ask` routes the move through the application's callback.
bool graph_move_to(kr_uigraph_st *me, int64_t nx, int64_t ny, bool ask)
{
    if (!active_valid(me)) return false;
    const uint16_t i = (uint16_t)me->active_point;
    kr_uigraph_point_st &pt = me->points[i];
    int32_t lo, hi;
    x_limits(me, i, lo, hi);
    int32_t x = clamp32(nx, INT16_MIN, INT16_MAX);
    const int32_t y = clamp32(ny, INT16_MIN, INT16_MAX);
    // Stops short of a neighbour, and never jumps back when it already lies at one.
    if (x > pt.x)
        x = std::max<int32_t>(pt.x, std::min(x, hi));
    else if (x < pt.x)
        x = std::min<int32_t>(pt.x, std::max(x, lo));
    if (x == pt.x && y == pt.y) return false;
    if (ask && !(me->point_moved_callb && me->point_moved_callb(i, x, y))) return false;
    pt.x = (int16_t)x;
    pt.y = (int16_t)y;
    me->point_changed = true;
    kr_ui_refresh(&me->super);
    return true;
}

bool graph_nudge(kr_uigraph_st *me, kr_uigraph_point_dir_e dir, bool ask, bool clamp_to_range)
{
    if (!active_valid(me)) return false;
    const kr_uigraph_point_st &pt = me->points[me->active_point];
    int64_t x = pt.x, y = pt.y;
    switch (dir) {
    case UIGRAPH_POINT_DIR_X_NEG: --x; break;
    case UIGRAPH_POINT_DIR_X_POS: ++x; break;
    case UIGRAPH_POINT_DIR_Y_NEG: --y; break;
    case UIGRAPH_POINT_DIR_Y_POS: ++y; break;
    default: return false;
    }
    if (clamp_to_range) {
        x = clamp32(x, std::min(me->min_x, me->max_x), std::max(me->min_x, me->max_x));
        y = clamp32(y, std::min(me->min_y, me->max_y), std::max(me->min_y, me->max_y));
    }
    return graph_move_to(me, x, y, ask);
}

void draw_label(const char *s, const ui_font_st *font, int32_t x, int32_t y, uint16_t align, color_t c)
{
    if (font) kr_ui_draw_string(s, font, x, y, align, c);
}

void graph_draw(kr_uiobject_st *o, const kr_bounding_box_st *pbb)
{
    kr_uigraph_st *me = (kr_uigraph_st *)o;
    const int32_t x = kr_ui_get_xglobal(o), y = kr_ui_get_yglobal(o), w = o->bb.w, h = o->bb.h;
    const ui_font_st *font = me->style->font;
    const int32_t ch = font ? font->char_height : 0;
    const int32_t th = me->title && font ? kr_ui_get_string_height(me->title, font) : 0;
    const int32_t fh = ch + 1;
    char ymax[48], ymin[48], xmin[48], xmax[48];
    value_text(ymax, sizeof ymax, "%i %s", "%i", me->max_y, me->y_unit);
    value_text(ymin, sizeof ymin, "%i %s", "%i", me->min_y, me->y_unit);
    value_text(xmin, sizeof xmin, "%i %s", "%i", me->min_x, me->x_unit);
    value_text(xmax, sizeof xmax, "%i %s", "%i", me->max_x, me->x_unit);
    const int32_t lw = (font ? std::max(kr_ui_get_string_width(ymax, font), kr_ui_get_string_width(ymin, font)) : 0) +
                       1;

    // Zero outside the ranges puts the axis on the plot's edge, so the plot never turns inside out.
    const int32_t p0y = per_mille(0, me->min_y, me->max_y), p0x = per_mille(0, me->min_x, me->max_x);
    plot p{x, y, w, h - th};
    int32_t row0 = kr_lerpi(p0y, p.y + p.h, p.y);
    if (row0 > p.y + p.h - fh) p.h -= row0 - (p.y + p.h - fh);
    const int32_t col0_full = kr_lerpi(p0x, x, x + w);
    if (col0_full < x + lw) {
        const int32_t shift = x + lw - col0_full;
        p.x += shift;
        p.w -= shift;
    }
    me->content_x = (int16_t)(p.x - x);
    me->content_w = (int16_t)std::max<int32_t>(p.w, 0);
    me->content_h = (int16_t)std::max<int32_t>(p.h, 0);
    if (p.w <= 0 || p.h <= 0) return; // no room for a plot
    row0 = kr_lerpi(p0y, p.y + p.h, p.y);
    const int32_t col0 = kr_lerpi(p0x, p.x, p.x + p.w);
    clip(x, y, w, h, pbb);

    // Equal limits have no scale: no grid.
    const int64_t rx = std::llabs((int64_t)me->max_x - me->min_x), ry = std::llabs((int64_t)me->max_y - me->min_y);
    if (me->grid_size_x > 0 && me->grid_size_y > 0 && rx > 0 && ry > 0) {
        const color_t gc = kr_uic_alpha(me->coordinate_c, -127);
        if ((int64_t)me->grid_size_x * p.w / rx > 2) {
            const int64_t lo = std::min(me->min_x, me->max_x), hi = std::max(me->min_x, me->max_x);
            for (int64_t v = lo - ((lo % me->grid_size_x) + me->grid_size_x) % me->grid_size_x; v <= hi;
                 v += me->grid_size_x) {
                if (v < lo) continue;
                const int32_t gx = graph_px(me, p, (int32_t)v);
                kr_ui_draw_line(gx, p.y, gx, p.y + p.h, 1, gc);
            }
        }
        if ((int64_t)me->grid_size_y * p.h / ry > 2) {
            const int64_t lo = std::min(me->min_y, me->max_y), hi = std::max(me->min_y, me->max_y);
            for (int64_t v = lo - ((lo % me->grid_size_y) + me->grid_size_y) % me->grid_size_y; v <= hi;
                 v += me->grid_size_y) {
                if (v < lo) continue;
                const int32_t gy = graph_py(me, p, (int32_t)v);
                kr_ui_draw_line(p.x, gy, p.x + p.w, gy, 1, gc);
            }
        }
    }
    auto inside = [](int32_t v, int32_t a, int32_t b) { return v >= std::min(a, b) && v <= std::max(a, b); };
    if (inside(me->current_val_x, me->min_x, me->max_x)) {
        const int32_t cx = graph_px(me, p, me->current_val_x);
        kr_ui_draw_line(cx, p.y, cx, p.y + p.h, 1, me->coordinate_c);
    }
    if (inside(me->current_val_y, me->min_y, me->max_y)) {
        const int32_t cy = graph_py(me, p, me->current_val_y);
        kr_ui_draw_line(p.x, cy, p.x + p.w, cy, 1, me->coordinate_c);
    }
    kr_ui_draw_line(p.x, row0, p.x + p.w, row0, 1, me->coordinate_c);
    kr_ui_draw_line(col0, p.y, col0, p.y + p.h, 1, me->coordinate_c);
    draw_label(xmin, font, p.x, row0 + 1, ALIGN_TOP_LEFT, me->coordinate_c);
    draw_label(xmax, font, p.x + p.w, row0 + 1, ALIGN_TOP_RIGHT, me->coordinate_c);
    draw_label(ymax, font, col0 - 1, p.y, ALIGN_TOP_RIGHT, me->coordinate_c);
    draw_label(ymin, font, col0 - 1, p.y + p.h - ch, ALIGN_TOP_RIGHT, me->coordinate_c);
    if (me->title && font)
        kr_ui_draw_string(me->title, font, p.x + w / 2, y + h - th, ALIGN_TOP_CENTER, me->style->text_color);

    if (me->points && me->points_count > 0) {
        clip(p.x, p.y, p.w + 1, p.h + 1, pbb);
        for (uint16_t i = 0; i + 1 < me->points_count; ++i)
            kr_ui_draw_line(graph_px(me, p, me->points[i].x), graph_py(me, p, me->points[i].y),
                            graph_px(me, p, me->points[i + 1].x), graph_py(me, p, me->points[i + 1].y), 1, me->graph_c);
        for (uint16_t i = 0; i < me->points_count; ++i) {
            if (!me->points[i].interactive || (int32_t)i == me->active_point) continue;
            kr_ui_draw_point(graph_px(me, p, me->points[i].x), graph_py(me, p, me->points[i].y), me->graph_c, ch);
        }
        if (active_valid(me)) {
            const kr_uigraph_point_st &a = me->points[me->active_point];
            const int32_t ax = graph_px(me, p, a.x), ay = graph_py(me, p, a.y);
            kr_ui_draw_shadowpoint(ax, ay, me->graph_c, kr_uic_brighten(me->graph_c, 30),
                                   kr_uic_brighten(me->graph_c, -30), ch * 3 / 2);
            if (font) {
                char xs[48], ys[48], both[96];
                value_text(xs, sizeof xs, "(%i %s, ", "(%i, ", a.x, me->x_unit);
                value_text(ys, sizeof ys, "%i %s)", "%i)", a.y, me->y_unit);
                std::snprintf(both, sizeof both, "%s%s", xs, ys);
                const bool left = kr_reli(a.x, me->min_x, me->max_x) > 500;
                const bool below = kr_reli(a.y, me->min_y, me->max_y) > 500;
                kr_ui_draw_string(both, font, left ? ax - ch : ax + ch, below ? ay + ch : ay - 2 * ch,
                                  left ? ALIGN_TOP_RIGHT : ALIGN_TOP_LEFT, me->graph_c);
            }
        }
    }
    clip_reset(pbb);
}

void graph_touch(kr_uiobject_st *o, kr_touch_st *t)
{
    kr_uigraph_st *me = (kr_uigraph_st *)o;
    const plot p{me->content_x, 0, me->content_w, me->content_h}; // widget-relative, as the touch
    const int32_t reach = 2 * (me->style->font ? me->style->font->char_height : 8);
    switch (t->action) {
    case TOUCH_PRESSED: {
        me->press_delay = -1;
        me->dragging = false;
        if (!me->points) break;
        if (active_valid(me)) {
            const kr_uigraph_point_st &a = me->points[me->active_point];
            const int32_t dx = t->x - graph_px(me, p, a.x), dy = t->y - graph_py(me, p, a.y);
            if (std::abs(dx) <= reach && std::abs(dy) <= reach) {
                me->active_point = -1;
                kr_ui_refresh(o);
                t->action = TOUCH_NONE;
                break;
            }
            if (!me->point_moved_callb) break;
            if (std::abs(dx) >= std::abs(dy))
                me->point_dir = dx < 0 ? UIGRAPH_POINT_DIR_X_NEG : UIGRAPH_POINT_DIR_X_POS;
            else
                me->point_dir = dy < 0 ? UIGRAPH_POINT_DIR_Y_POS : UIGRAPH_POINT_DIR_Y_NEG; // screen y runs down
            me->press_delay = UIGRAPH_POINT_FIRST_REPEAT_MS;
            if (graph_nudge(me, me->point_dir, true, false)) t->action = TOUCH_NONE;
            break;
        }
        int32_t best = -1, best_d = 0;
        for (uint16_t i = 0; i < me->points_count; ++i) {
            if (!me->points[i].interactive) continue;
            const int32_t dx = std::abs(t->x - graph_px(me, p, me->points[i].x));
            const int32_t dy = std::abs(t->y - graph_py(me, p, me->points[i].y));
            if (dx > reach || dy > reach) continue;
            if (best < 0 || dx + dy < best_d) {
                best = i;
                best_d = dx + dy;
            }
        }
        if (best >= 0) {
            me->active_point = (int16_t)best;
            me->point_selected = true;
            kr_ui_refresh(o);
            t->action = TOUCH_NONE;
        }
        break;
    }
    case TOUCH_IS_DOWN:
        if (me->press_delay != 0 || !me->point_moved_callb || me->point_dir == UIGRAPH_POINT_DRAG) break;
        me->press_delay = POINT_MOVE_DELAY_MS;
        if (graph_nudge(me, me->point_dir, true, false)) t->action = TOUCH_NONE;
        break;
    case TOUCH_DRAG: {
        me->press_delay = -1;
        if (!active_valid(me) || !me->point_moved_callb) break;
        const kr_uigraph_point_st &a = me->points[me->active_point];
        if (!me->dragging) {
            me->dragging = true;
            me->point_dir = UIGRAPH_POINT_DRAG;
            me->drag_start_x = a.x;
            me->drag_start_y = a.y;
            me->drag_x = me->drag_y = 0;
        }
        me->drag_x += t->x;
        me->drag_y += t->y;
        const int64_t nx = p.w > 0 ? me->drag_start_x + (int64_t)me->drag_x * ((int64_t)me->max_x - me->min_x) / p.w
                                   : a.x;
        const int64_t ny = p.h > 0 ? me->drag_start_y - (int64_t)me->drag_y * ((int64_t)me->max_y - me->min_y) / p.h
                                   : a.y;
        if (graph_move_to(me, nx, ny, true)) t->action = TOUCH_NONE;
        break;
    }
    default:
        me->press_delay = -1;
        me->dragging = false;
        break;
    }
}

void set_button_enabled(kr_uibutton_st *b, bool on)
{
    if (!b || b->super.enabled == on) return;
    kr_ui_set_enabled(&b->super, on);
    kr_ui_refresh(&b->super);
}

bool clicked(const kr_uibutton_st *b) { return b && b->state == UIBUTTON_CLICKED; }

kr_uiobject_ret_e graph_step(kr_uiobject_st *o, uint16_t step_ms)
{
    kr_uigraph_st *me = (kr_uigraph_st *)o;
    me->point_selected = me->point_changed = me->point_added = me->point_removed = false;
    if (me->press_delay > 0) me->press_delay = std::max<int32_t>(0, me->press_delay - step_ms);
    if (me->points && clicked(me->add_point_button) && me->points_count < me->points_buffer_size) {
        // Between the active point and the next, or the last two; nothing when there is no next point.
        const int32_t i = active_valid(me) ? me->active_point : (int32_t)me->points_count - 2;
        if (i >= 0 && i + 1 < (int32_t)me->points_count) {
            const kr_uigraph_point_st a = me->points[i], b = me->points[i + 1];
            std::memmove(&me->points[i + 2], &me->points[i + 1],
                         sizeof(kr_uigraph_point_st) * (size_t)(me->points_count - (i + 1)));
            kr_uigraph_point_init(&me->points[i + 1], (int16_t)(((int32_t)a.x + b.x) / 2),
                                  (int16_t)(((int32_t)a.y + b.y) / 2), true);
            me->points_count++;
            me->point_added = true;
            kr_ui_refresh(o);
        }
    } else if (me->points && clicked(me->remove_point_button) && active_valid(me)) {
        const uint16_t i = (uint16_t)me->active_point;
        std::memmove(&me->points[i], &me->points[i + 1],
                     sizeof(kr_uigraph_point_st) * (size_t)(me->points_count - i - 1));
        me->points_count--;
        std::memset(&me->points[me->points_count], 0, sizeof(kr_uigraph_point_st));
        me->active_point = -1;
        me->point_removed = true;
        kr_ui_refresh(o);
    }
    const bool active = active_valid(me);
    set_button_enabled(me->add_point_button, me->points_count < me->points_buffer_size);
    set_button_enabled(me->remove_point_button, active);
    kr_uibutton_st *arrows[4] = {me->left_button, me->right_button, me->up_button, me->down_button};
    const kr_uigraph_point_dir_e dirs[4] = {UIGRAPH_POINT_DIR_X_NEG, UIGRAPH_POINT_DIR_X_POS, UIGRAPH_POINT_DIR_Y_POS,
                                            UIGRAPH_POINT_DIR_Y_NEG};
    int held = -1;
    for (int k = 0; k < 4; ++k) {
        set_button_enabled(arrows[k], active);
        if (held < 0 && arrows[k] && kr_uibutton_is_down(arrows[k])) held = k;
    }
    if (active && held >= 0) {
        // At once on the first step held, then at every expiry.
        if (me->arrow_delay < 0 || kr_delay(&me->arrow_delay, step_ms)) {
            me->arrow_delay = UIGRAPH_ARROW_DELAY_MS;
            graph_nudge(me, dirs[held], false, true);
        }
    } else {
        me->arrow_delay = -1;
    }
    return UIOBJECT_RETURN_ALIVE;
}

// ---- Valve slider ----

bool positive_handle(int h) { return h == UIVALVESLIDER_HANDLE_POS_MIN || h == UIVALVESLIDER_HANDLE_POS_MAX; }

void valve_set_selected(kr_uivalveslider_st *me, int64_t v)
{
    const int h = me->selected_handle;
    if (h >= UIVALVESLIDER_HANDLE_COUNT) return;
    int16_t *hv = me->handle_values;
    const int32_t val = positive_handle(h) ? clamp32(v, 0, std::max<int16_t>(me->max_val, 0))
                                           : clamp32(v, std::min<int16_t>(me->min_val, 0), 0);
    hv[h] = (int16_t)val;
    switch (h) {
    case UIVALVESLIDER_HANDLE_POS_MIN: hv[1] = std::max(hv[1], hv[0]); break;
    case UIVALVESLIDER_HANDLE_POS_MAX: hv[0] = std::min(hv[0], hv[1]); break;
    case UIVALVESLIDER_HANDLE_NEG_MIN: hv[3] = std::min(hv[3], hv[2]); break;
    default: hv[2] = std::max(hv[2], hv[3]); break;
    }
    if (me->unidir) {
        const int32_t lo = std::min<int16_t>(me->min_val, 0);
        hv[2] = (int16_t)clamp32(-(int32_t)hv[0], lo, 0);
        hv[3] = (int16_t)clamp32(-(int32_t)hv[1], lo, 0);
    }
    me->value_changed = true;
    kr_ui_refresh(&me->super);
}

void valve_stop_repeat(kr_uivalveslider_st *me) { me->inc_delay = -1; }

void valve_touch(kr_uiobject_st *o, kr_touch_st *t)
{
    kr_uivalveslider_st *me = (kr_uivalveslider_st *)o;
    int32_t hx[4];
    kr_uivalveslider_handle_x_coords(me, 0, o->bb.w, hx);
    const int sel = me->selected_handle;
    switch (t->action) {
    case TOUCH_PRESSED: {
        if (sel >= UIVALVESLIDER_HANDLE_COUNT) {
            const int n = me->unidir ? 2 : 4;
            int best = -1;
            for (int i = 0; i < n; ++i)
                if (std::abs(t->x - hx[i]) <= 20 && (best < 0 || std::abs(t->x - hx[i]) < std::abs(t->x - hx[best])))
                    best = i;
            if (best < 0) break;
            me->selected_handle = (kr_uivalveslider_handles_e)best;
            kr_ui_refresh(o);
            t->action = TOUCH_NONE;
            break;
        }
        if (std::abs(t->x - hx[sel]) <= 20) {
            me->selected_handle = UIVALVESLIDER_HANDLE_COUNT;
            valve_stop_repeat(me);
            kr_ui_refresh(o);
        } else {
            me->inc = t->x > hx[sel];
            valve_set_selected(me, (int32_t)me->handle_values[sel] + (me->inc ? me->inc_step : -me->inc_step));
            me->inc_delay = UIVALVESLIDER_INC_DELAY_MS;
        }
        me->drag_start_val = me->handle_values[std::min(sel, 3)];
        me->drag_x = 0;
        t->action = TOUCH_NONE;
        break;
    }
    case TOUCH_DRAG: {
        if (sel >= UIVALVESLIDER_HANDLE_COUNT) break;
        valve_stop_repeat(me);
        me->drag_x += t->x;
        // Half the width, less the padding and the handles' room, spans one side's range.
        const int32_t span = o->bb.w / 2 - me->horiz_padding - 80;
        if (span > 0) {
            const int32_t range = positive_handle(sel) ? me->max_val : -(int32_t)me->min_val;
            valve_set_selected(me, me->drag_start_val + (int64_t)me->drag_x * range / span);
        }
        t->action = TOUCH_NONE;
        break;
    }
    case TOUCH_IS_DOWN:
        if (sel >= UIVALVESLIDER_HANDLE_COUNT) break;
        me->drag_start_val = me->handle_values[sel];
        me->drag_x = 0;
        t->action = TOUCH_NONE;
        break;
    default: valve_stop_repeat(me); break;
    }
}

kr_uiobject_ret_e valve_step(kr_uiobject_st *o, uint16_t step_ms)
{
    kr_uivalveslider_st *me = (kr_uivalveslider_st *)o;
    me->value_changed = false;
    if (me->inc_delay >= 0 && kr_delay(&me->inc_delay, step_ms) && me->selected_handle < UIVALVESLIDER_HANDLE_COUNT) {
        me->inc_delay = UIVALVESLIDER_INC_MIN_DELAY_MS;
        valve_set_selected(me,
                           (int32_t)me->handle_values[me->selected_handle] + (me->inc ? me->inc_step : -me->inc_step));
    }
    return UIOBJECT_RETURN_ALIVE;
}

void draw_handle(const kr_uivalveslider_st *me, int i, int32_t hx, int32_t y, int32_t hh)
{
    const int sel = me->selected_handle;
    color_t face = me->handle_c, text = me->text_c;
    if (sel == i) {
        face = me->selected_handle_c;
    } else if (sel < UIVALVESLIDER_HANDLE_COUNT || (me->unidir && !positive_handle(i))) {
        face = kr_uic_grayscale(me->handle_c);
        text = kr_uic_brighten(me->text_c, -128);
    }
    kr_ui_draw_shadowrrect(hx - 20, y, 40, hh, 2, face, kr_uic_brighten(face, 80), kr_uic_brighten(face, -80));
    if (!me->font) return;
    const char *label = me->handle_strs[i] ? me->handle_strs[i] : "";
    kr_ui_draw_string(label, me->font, hx, y + hh / 2 - 2 - kr_ui_get_string_height(label, me->font), ALIGN_TOP_CENTER,
                      text);
    char v[12];
    std::snprintf(v, sizeof v, "%i", (int)me->handle_values[i]);
    kr_ui_draw_string(v, me->font, hx, y + hh / 2 + 2, ALIGN_TOP_CENTER, text);
}

void ramp(int32_t x0, int32_t y0, int32_t x1, int32_t y1, color_t c)
{
    const kr_ui_linestrip_point_st pts[2] = {{(int16_t)clamp32(x0, INT16_MIN, INT16_MAX),
                                              (int16_t)clamp32(y0, INT16_MIN, INT16_MAX)},
                                             {(int16_t)clamp32(x1, INT16_MIN, INT16_MAX),
                                              (int16_t)clamp32(y1, INT16_MIN, INT16_MAX)}};
    kr_ui_draw_linestrip(pts, 2, 1, c, UI_STRIP_TYPE_BELOW);
}

// FNV-1a: tells a rewritten cursor text in the same buffer from the one drawn.
uint32_t text_hash(const char *s)
{
    if (!s) return 0;
    uint32_t h = 2166136261u;
    for (; *s; ++s) h = (h ^ (uint8_t)*s) * 16777619u;
    return h;
}

color_t alpha32(color_t c) { return (c & 0x00FFFFFFu) | 0x20000000u; }

void valve_draw(kr_uiobject_st *o, const kr_bounding_box_st *pbb)
{
    kr_uivalveslider_st *me = (kr_uivalveslider_st *)o;
    const int32_t x = kr_ui_get_xglobal(o), y = kr_ui_get_yglobal(o), w = o->bb.w, h = o->bb.h;
    const int32_t p = me->horiz_padding, cx = x + w / 2;
    const int32_t ct = me->cursor_text && me->font ? kr_ui_get_string_height(me->cursor_text, me->font) : 0;
    const int32_t tt = me->title && me->font ? kr_ui_get_string_height(me->title, me->font) : 0;
    const int32_t hh = h - ct - tt;
    int32_t hx[4];
    kr_uivalveslider_handle_x_coords(me, x, w, hx);
    const int sel = me->selected_handle;
    const bool none = sel >= UIVALVESLIDER_HANDLE_COUNT;

    color_t pos_c = none                   ? me->positive_c
                    : positive_handle(sel) ? alpha32(me->positive_c)
                                           : kr_uic_grayscale(me->positive_c);
    clip(cx, y, hx[0] - cx, hh - 2, pbb);
    ramp(cx, y + hh - 2, x + 3 * w / 2 - 2 * p, y - hh - 2, me->outbounds_c);
    clip(hx[0], y, hx[1] - hx[0], hh - 2, pbb);
    ramp(cx, y + hh - 2, x + 3 * w / 2 - 2 * p, y - hh - 2, pos_c);
    clip(hx[1], y + 2, x + w - hx[1], hh - 4, pbb);
    ramp(cx, y + hh - 2, x + 3 * w / 2 - 2 * p, y - hh - 2, me->outbounds_c);

    color_t neg_c = (none && !me->unidir)              ? me->negative_c
                    : (!none && !positive_handle(sel)) ? alpha32(me->negative_c)
                                                       : kr_uic_grayscale(me->negative_c);
    clip(hx[2], y, cx - hx[2], hh - 2, pbb);
    ramp(cx, y + hh - 2, x - w / 2 + 2 * p, y - hh, me->outbounds_c);
    clip(hx[3], y, hx[2] - hx[3], hh - 2, pbb);
    ramp(cx, y + hh - 2, x - w / 2 + 2 * p, y - hh, neg_c);
    clip(x, y + 2, hx[3] - x, hh - 4, pbb);
    ramp(cx, y + hh - 2, x - w / 2 + 2 * p, y - hh, me->outbounds_c);
    clip(x, y, w, h, pbb);

    if (!none && me->leftarrow_media && me->rightarrow_media) {
        const kr_uimedia_st *l = me->leftarrow_media, *r = me->rightarrow_media;
        kr_ui_draw_bitmap(l, hx[sel] - 20 - l->width, y + hh / 2 - l->height / 2);
        kr_ui_draw_bitmap(r, hx[sel] + 20, y + hh / 2 - r->height / 2);
    }
    for (int i = 0; i < UIVALVESLIDER_HANDLE_COUNT; ++i) draw_handle(me, i, hx[i], y, hh);

    const int32_t cp = me->cursor_position;
    if (me->cursor_text && cp >= VALVESLIDER_CURSOR_MIN && cp <= VALVESLIDER_CURSOR_MAX) {
        // The cursor is a share of the band between a side's handles, so it scales by its own range.
        int32_t px = cx;
        color_t c = me->text_c;
        if (cp > 0) {
            px = kr_lerpi(kr_reli(cp, 0, VALVESLIDER_CURSOR_MAX), hx[0] + 20, hx[1] - 20);
            c = me->invert ? 0xFFFF0000 : 0xFF00FF00;
        } else if (cp < 0) {
            px = kr_lerpi(kr_reli(cp, 0, VALVESLIDER_CURSOR_MIN), hx[2] - 20, hx[3] + 20);
            c = me->invert ? 0xFF00FF00 : 0xFFFF0000;
        }
        kr_ui_draw_line(px, y, px, y + hh, 1, c);
        if (me->font) kr_ui_draw_string(me->cursor_text, me->font, px, y + hh, ALIGN_TOP_CENTER, c);
    }
    if (me->title && me->font) kr_ui_draw_string(me->title, me->font, cx, y + h - tt, ALIGN_TOP_CENTER, me->text_c);
    clip_reset(pbb);
}

} // namespace

extern "C" {

void kr_uigraph_point_init(kr_uigraph_point_st *point, int16_t x, int16_t y, bool interactive)
{
    if (!point) return;
    point->x = x;
    point->y = y;
    point->interactive = interactive;
}

void kr_uigraph_init(kr_uigraph_st *me, kr_uigraph_point_st *points_buffer, uint16_t points_count, int32_t min_x,
                     int32_t max_x, int32_t min_y, int32_t max_y, const kr_uistyle_st *style)
{
    if (!me) return;
    style = style_or_default(style);
    kr_uiobject_init(&me->super);
    me->points = points_buffer;
    me->points_count = points_buffer ? points_count : 0;
    me->active_point = -1;
    me->point_selected = me->point_changed = me->point_added = me->point_removed = false;
    me->add_point_button = me->remove_point_button = nullptr;
    me->left_button = me->right_button = me->up_button = me->down_button = nullptr;
    me->arrow_delay = -1;
    me->press_delay = -1;
    me->points_buffer_size = 0;
    me->min_x = min_x;
    me->max_x = max_x;
    me->min_y = min_y;
    me->max_y = max_y;
    me->current_val_x = min_x == INT32_MIN ? min_x : min_x - 1;
    me->current_val_y = min_y == INT32_MIN ? min_y : min_y - 1;
    me->point_moved_callb = nullptr;
    me->dragging = false;
    me->drag_start_x = me->drag_start_y = me->drag_x = me->drag_y = 0;
    me->grid_size_x = me->grid_size_y = 0;
    me->point_dir = UIGRAPH_POINT_DIR_X_NEG;
    me->content_w = me->content_x = me->content_h = 0;
    me->title = me->x_unit = me->y_unit = nullptr;
    me->coordinate_c = style->text_color;
    me->graph_c = style->fg_c;
    me->style = style;
    me->super.vrtl_draw = graph_draw;
    me->super.vrtl_touch = graph_touch;
    me->super.step_callb = graph_step;
}

void kr_uigraph_set_point_uibuttons(kr_uigraph_st *me, kr_uibutton_st *add, kr_uibutton_st *remove,
                                    uint16_t points_buffer_size)
{
    if (!me) return;
    me->add_point_button = add;
    me->remove_point_button = remove;
    me->points_buffer_size = points_buffer_size;
}

void kr_uigraph_set_arrow_uibuttons(kr_uigraph_st *me, kr_uibutton_st *left, kr_uibutton_st *right, kr_uibutton_st *up,
                                    kr_uibutton_st *down)
{
    if (!me) return;
    me->left_button = left;
    me->right_button = right;
    me->up_button = up;
    me->down_button = down;
}

void kr_uigraph_set_point_count(kr_uigraph_st *me, uint16_t points_count)
{
    if (!me) return;
    me->points_count = me->points ? points_count : 0;
    if (me->active_point >= (int32_t)me->points_count) me->active_point = (int16_t)((int32_t)me->points_count - 1);
    kr_ui_refresh(&me->super);
}

void kr_uigraph_set_current_val(kr_uigraph_st *me, int32_t x, int32_t y)
{
    if (!me || (me->current_val_x == x && me->current_val_y == y)) return;
    me->current_val_x = x;
    me->current_val_y = y;
    kr_ui_refresh(&me->super);
}

void kr_uivalveslider_handle_x_coords(const kr_uivalveslider_st *me, int32_t x, int32_t w, int32_t hx[4])
{
    const int32_t cx = x + w / 2, p = me->horiz_padding;
    const int16_t *v = me->handle_values;
    hx[0] = kr_lerpi(per_mille(v[0], 0, me->max_val), cx + 20, x + w - 60 - p);
    hx[1] = kr_lerpi(per_mille(v[1], 0, me->max_val), cx + 60, x + w - 20 - p);
    hx[2] = kr_lerpi(per_mille(v[2], 0, me->min_val), cx - 20, x + p + 60);
    hx[3] = kr_lerpi(per_mille(v[3], 0, me->min_val), cx - 60, x + p + 20);
}

void kr_uivalveslider_init(kr_uivalveslider_st *me, int16_t min_val, int16_t max_val,
                           const kr_uimedia_st *leftarrow_media, const kr_uimedia_st *rightarrow_media,
                           const char *const *handle_strs, const int16_t *handle_values, const kr_uistyle_st *style)
{
    if (!me) return;
    style = style_or_default(style);
    kr_uiobject_init(&me->super);
    me->min_val = min_val;
    me->max_val = max_val;
    const int32_t range = (int32_t)max_val - min_val;
    me->inc_step = (int16_t)(range >= 400 ? range / 200 : 1);
    me->selected_handle = UIVALVESLIDER_HANDLE_COUNT;
    me->value_changed = false;
    me->unidir = false;
    me->invert = false;
    me->horiz_padding = 0;
    me->drag_start_val = 0;
    me->drag_x = 0;
    me->leftarrow_media = leftarrow_media;
    me->rightarrow_media = rightarrow_media;
    for (int i = 0; i < UIVALVESLIDER_HANDLE_COUNT; ++i) {
        me->handle_strs[i] = handle_strs ? handle_strs[i] : nullptr;
        me->handle_values[i] = handle_values ? handle_values[i] : 0;
    }
    me->cursor_position = INT16_MAX;
    me->cursor_text = nullptr;
    me->cursor_text_hash = 0;
    me->title = nullptr;
    me->positive_c = 0x9000FF00;
    me->negative_c = 0x90FF0000;
    me->outbounds_c = 0x20FFFFFF;
    me->font = style->font;
    me->handle_c = style->bg_c;
    me->selected_handle_c = style->fg_c;
    me->text_c = style->text_color;
    me->inc_delay = -1;
    me->inc = false;
    me->super.vrtl_draw = valve_draw;
    me->super.vrtl_touch = valve_touch;
    me->super.step_callb = valve_step;
}

void kr_uivalveslider_set_cursor(kr_uivalveslider_st *me, int16_t position, const char *text)
{
    if (!me) return;
    if (me->unidir && position < 0) position = position == INT16_MIN ? INT16_MAX : (int16_t)-position;
    const uint32_t hash = text_hash(text);
    if (me->cursor_position == position && me->cursor_text == text && me->cursor_text_hash == hash) return;
    me->cursor_position = position;
    me->cursor_text = text;
    me->cursor_text_hash = hash;
    kr_ui_refresh(&me->super);
}

void kr_uivalveslider_set_invert(kr_uivalveslider_st *me, bool invert)
{
    if (!me || me->invert == invert) return;
    me->invert = invert;
    std::swap(me->positive_c, me->negative_c);
    kr_ui_refresh(&me->super);
}

int16_t kr_uivalveslider_get_selected_handle_value(const kr_uivalveslider_st *me)
{
    if (!me || me->selected_handle >= UIVALVESLIDER_HANDLE_COUNT) return 0;
    return me->handle_values[me->selected_handle];
}

} // extern "C"
