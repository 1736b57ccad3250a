// Gauge, range bar and slider.
#include "ui/kr_uigauge.h"

#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

const kr_uistyle_st *style_or_default(const kr_uistyle_st *s) { return s ? s : &kr_uistyles[0]; }

int32_t sin_tab(int32_t d)
{
    static int32_t tab[91];
    static bool ready = false;
    if (!ready) {
        for (int i = 0; i <= 90; ++i) tab[i] = (int32_t)std::lround(1024.0 * std::sin(i * M_PI / 180.0));
        ready = true;
    }
    return tab[d];
}
int32_t isin(int32_t a) { return a <= 90 ? sin_tab(a) : sin_tab(180 - a); }
int32_t icos(int32_t a) { return a <= 90 ? sin_tab(90 - a) : -sin_tab(a - 90); }

void wedge(int32_t cx, int32_t cy, int32_t r, int32_t from, int32_t to, color_t c)
{
    if (from <= to) return;
    kr_ui_linestrip_point_st pts[97];
    uint32_t n = 0;
    pts[n++] = {(int16_t)cx, (int16_t)cy};
    for (int32_t a = from; a > to && n < 95; a -= 2)
        pts[n++] = {(int16_t)(cx + r * icos(a) / 1024), (int16_t)(cy - r * isin(a) / 1024)};
    pts[n++] = {(int16_t)(cx + r * icos(to) / 1024), (int16_t)(cy - r * isin(to) / 1024)};
    kr_ui_draw_polygon(pts, n, c);
}

void gauge_draw(kr_uiobject_st *o, const kr_bounding_box_st *)
{
    kr_uigauge_st *me = (kr_uigauge_st *)o;
    const int32_t x = kr_ui_get_xglobal(o), y = kr_ui_get_yglobal(o), w = o->bb.w, h = o->bb.h;
    const ui_font_st *font = me->style->font;
    const int32_t th = me->title ? kr_ui_get_string_height(me->title, font) : 0;
    const int32_t cx = x + w / 2, cy = y + h - th - 4;
    int32_t r = (h - th < w / 2 ? h - th : w / 2) - 2;
    if (r < 2) r = 2;
    int32_t hr = r - me->thickness;
    if (hr < 1) hr = 1;
    kr_ui_set_mask(cx - r, cy - r, 2 * r, r + 1);
    wedge(cx, cy, r, 180, 0, me->arc_bg_c);
    const int32_t va = kr_uigauge_angle(me, me->value);
    if (!me->zones || me->zone_count == 0) {
        wedge(cx, cy, r, 180, va, me->style->fg_c);
    } else {
        for (uint8_t i = 0; i < me->zone_count; ++i) {
            if (me->zones[i].start >= me->value) continue;
            int32_t end = i + 1 < me->zone_count ? me->zones[i + 1].start : me->max_val;
            if (me->value < end) end = me->value;
            wedge(cx, cy, r, kr_uigauge_angle(me, me->zones[i].start), kr_uigauge_angle(me, end), me->zones[i].color);
        }
    }
    kr_ui_draw_point(cx, cy, me->hole_c, 2 * hr);
    kr_ui_set_mask(x, y, w, h);
    if (me->unit)
        std::snprintf(me->value_str, sizeof me->value_str, "%i %s", (int)me->value, me->unit);
    else
        std::snprintf(me->value_str, sizeof me->value_str, "%i", (int)me->value);
    kr_ui_draw_string(me->value_str, me->value_font, cx, cy - hr / 2, ALIGN_CENTER, me->style->text_color);
    if (me->title) kr_ui_draw_string(me->title, font, cx, y + h - th - 2, ALIGN_TOP_CENTER, me->style->text_color);
}

int32_t per_mille(int32_t v, int32_t lo, int32_t hi)
{
    const int32_t p = kr_reli(v, lo, hi);
    return p < 0 ? 0 : (p > 1000 ? 1000 : p);
}

void progressbar_draw(kr_uiobject_st *o, const kr_bounding_box_st *)
{
    kr_uiprogressbar_st *me = (kr_uiprogressbar_st *)o;
    const int32_t x = kr_ui_get_xglobal(o), y = kr_ui_get_yglobal(o), w = o->bb.w, h = o->bb.h;
    const int32_t y0 = y + h / 2 - 5;
    kr_ui_draw_rrect(x, y0, w - 4, 6, 2, kr_uic_brighten(me->bg_c, -30));
    kr_ui_draw_rrect(x + 4, y0 + 4, w - 4, 6, 2, kr_uic_brighten(me->bg_c, 30));
    kr_ui_draw_rrect(x + 2, y0 + 2, w - 4, 6, 2, me->bg_c);
    if (me->value_min != me->value_max) {
        const int32_t a = (w - 4) * per_mille(me->value_min, me->limit_min, me->limit_max) / 1000;
        const int32_t b = (w - 4) * per_mille(me->value_max, me->limit_min, me->limit_max) / 1000;
        kr_ui_draw_rrect(x + 2 + a, y0 + 2, b - a < 6 ? 6 : b - a, 6, 2, me->main_c);
    }
    if (me->cursor_val >= me->value_min && me->cursor_val <= me->value_max) {
        const int32_t cx = x + 2 + (w - 4) * per_mille(me->cursor_val, me->limit_min, me->limit_max) / 1000;
        kr_ui_draw_line(cx, y0, cx, y0 + 10, 1, me->text_c);
    }
    if (me->title) kr_ui_draw_string(me->title, me->font, x + w / 2, y0 + 12, ALIGN_TOP_CENTER, me->text_c);
}

int32_t slider_length(const kr_uislider_st *me) { return me->horizontal ? me->super.bb.w : me->super.bb.h; }

// Offset of the handle's near edge along the track.
int32_t handle_offset(const kr_uislider_st *me)
{
    const int32_t room = slider_length(me) - 41;
    return kr_lerpi(per_mille(me->cur_val, me->min_val, me->max_val), 0, room > 0 ? room : 0);
}

void slider_draw(kr_uiobject_st *o, const kr_bounding_box_st *)
{
    kr_uislider_st *me = (kr_uislider_st *)o;
    const int32_t x = kr_ui_get_xglobal(o), y = kr_ui_get_yglobal(o), w = o->bb.w, h = o->bb.h;
    const color_t bg = me->bg_c, hc = me->handle_c;
    char val[12];
    std::snprintf(val, sizeof val, "%i", (int)me->cur_val);
    if (me->horizontal) {
        int32_t ry = h > 40 ? y + (h - 40) / 2 : y;
        if (me->title && me->font) ry -= me->font->char_height / 2;
        kr_ui_draw_shadowrrect(x, ry + 15, w, 10, 2, bg, kr_uic_brighten(bg, 80), kr_uic_brighten(bg, -80));
        const int32_t hx = x + handle_offset(me);
        kr_ui_draw_shadowrrect(hx, ry, 40, 40, 2, hc, kr_uic_brighten(hc, 80), kr_uic_brighten(hc, -80));
        if (me->show_value) kr_ui_draw_string(val, me->font, hx + 20, ry + 20, ALIGN_CENTER, me->text_c);
        if (me->title) kr_ui_draw_string(me->title, me->font, x + w / 2, ry + 45, ALIGN_TOP_CENTER, me->text_c);
    } else {
        kr_ui_draw_shadowrrect(x + 15, y, 10, h, 2, bg, kr_uic_brighten(bg, 80), kr_uic_brighten(bg, -80));
        const int32_t hy = y + h - 40 - handle_offset(me);
        kr_ui_draw_shadowrrect(x, hy, 40, 40, 2, hc, kr_uic_brighten(hc, 80), kr_uic_brighten(hc, -80));
        if (me->show_value) kr_ui_draw_string(val, me->font, x + 20, hy + 20, ALIGN_CENTER, me->text_c);
    }
}

int16_t clamp16(int64_t v, int16_t lo, int16_t hi) { return (int16_t)(v < lo ? lo : (v > hi ? hi : v)); }

void slider_touch(kr_uiobject_st *o, kr_touch_st *t)
{
    kr_uislider_st *me = (kr_uislider_st *)o;
    switch (t->action) {
    case TOUCH_PRESSED:
        me->dragging = true;
        me->drag_start_val = me->cur_val;
        me->drag_val = 0;
        t->action = TOUCH_NONE;
        break;
    case TOUCH_DRAG: {
        me->incdec = 0;
        me->longpress_delay = -1;
        const int32_t room = slider_length(me) - 40;
        // A track no longer than the handle has no range to drag over.
        if (!me->dragging || room <= 0) break;
        me->drag_val = (int16_t)(me->drag_val + (me->horizontal ? t->x : -t->y));
        kr_uislider_set_value(me, clamp16((int64_t)me->drag_start_val +
                                              (int64_t)me->drag_val * (me->max_val - me->min_val) / room,
                                          me->min_val, me->max_val));
        t->action = TOUCH_NONE;
        break;
    }
    case TOUCH_IS_DOWN: {
        if (me->longpress_delay >= 0) break;
        const int32_t step = me->inc_step ? me->inc_step : 1;
        if (me->incdec == 0) {
            const int32_t centre = handle_offset(me) + 20;
            const bool up = me->horizontal ? t->x > centre : t->y < slider_length(me) - centre;
            me->incdec = up ? 1 : -1;
            me->longpress_delay = UISLIDER_LONGPRESS_DELAY_MS;
        } else {
            me->longpress_delay = UISLIDER_LONGPRESS_MIN_DELAY_MS;
        }
        int64_t v = me->cur_val;
        const int64_t rem = ((v - me->min_val) % step + step) % step;
        if (rem != 0)
            v = me->incdec > 0 ? v + (step - rem) : v - rem; // first to the next multiple
        else
            v += me->incdec * step;
        kr_uislider_set_value(me, clamp16(v, me->min_val, me->max_val));
        break;
    }
    case TOUCH_NONE:
        if (me->dragging) {
            me->dragging = false;
            me->drag_val = 0;
        }
        me->incdec = 0;
        me->longpress_delay = -1;
        break;
    case TOUCH_CLICKED: break;
    default:
        me->incdec = 0;
        me->longpress_delay = -1;
        break;
    }
}

kr_uiobject_ret_e slider_step(kr_uiobject_st *o, uint16_t step_ms)
{
    kr_delay(&((kr_uislider_st *)o)->longpress_delay, step_ms);
    return UIOBJECT_RETURN_ALIVE;
}

} // namespace

extern "C" {

int32_t kr_uigauge_angle(const kr_uigauge_st *me, int32_t value)
{
    return 180 - 180 * per_mille(value, me->min_val, me->max_val) / 1000;
}

void kr_uigauge_init(kr_uigauge_st *me, int32_t min_val, int32_t max_val, color_t bg_c, const kr_uistyle_st *style)
{
    if (!me) return;
    style = style_or_default(style);
    kr_uiobject_init(&me->super);
    me->min_val = min_val;
    me->max_val = max_val;
    me->value = min_val;
    me->thickness = 18;
    me->seg_step = 4;
    me->zones = nullptr;
    me->zone_count = 0;
    me->title = me->unit = nullptr;
    me->style = style;
    me->value_font = style->font;
    me->arc_bg_c = 0xFF505050;
    me->hole_c = bg_c;
    me->super.vrtl_draw = gauge_draw;
}

void kr_uigauge_set_value(kr_uigauge_st *me, int32_t value)
{
    if (!me || me->value == value) return;
    me->value = value;
    kr_ui_refresh(&me->super);
}

void kr_uigauge_set_zones(kr_uigauge_st *me, const kr_uigauge_zone_st *zones, uint8_t count)
{
    if (!me) return;
    me->zones = zones;
    me->zone_count = count > UIGAUGE_ZONE_COUNT_MAX ? UIGAUGE_ZONE_COUNT_MAX : count;
    kr_ui_refresh(&me->super);
}

void kr_uigauge_set_title(kr_uigauge_st *me, const char *title)
{
    if (!me) return;
    me->title = title;
    kr_ui_refresh(&me->super);
}
void kr_uigauge_set_unit(kr_uigauge_st *me, const char *unit)
{
    if (!me) return;
    me->unit = unit;
    kr_ui_refresh(&me->super);
}
void kr_uigauge_set_thickness(kr_uigauge_st *me, uint8_t thickness)
{
    if (!me) return;
    me->thickness = thickness;
    kr_ui_refresh(&me->super);
}
void kr_uigauge_set_hole_color(kr_uigauge_st *me, color_t c)
{
    if (!me) return;
    me->hole_c = c;
    kr_ui_refresh(&me->super);
}
void kr_uigauge_set_value_font(kr_uigauge_st *me, const ui_font_st *font)
{
    if (!me) return;
    me->value_font = font;
    kr_ui_refresh(&me->super);
}

void kr_uiprogressbar_init(kr_uiprogressbar_st *me, int16_t limit_min, int16_t limit_max, const kr_uistyle_st *style)
{
    if (!me) return;
    style = style_or_default(style);
    kr_uiobject_init(&me->super);
    me->horizontal = true;
    me->limit_min = limit_min;
    me->limit_max = limit_max;
    me->value_min = me->value_max = limit_min;
    me->cursor_val = (int16_t)(limit_min - 1);
    me->main_c = style->fg_c;
    me->bg_c = style->window_c;
    me->text_c = style->text_color;
    me->limit_c = style->fg_c;
    me->font = style->font;
    me->title = nullptr;
    me->super.vrtl_draw = progressbar_draw;
}

void kr_uiprogressbar_set_value(kr_uiprogressbar_st *me, int16_t value_min, int16_t value_max)
{
    if (!me) return;
    const int16_t a = clamp16(value_min, me->limit_min, me->limit_max);
    const int16_t b = clamp16(value_max, me->limit_min, me->limit_max);
    if (a == me->value_min && b == me->value_max) return;
    me->value_min = a;
    me->value_max = b;
    kr_ui_refresh(&me->super);
}

void kr_uiprogressbar_set_cursor(kr_uiprogressbar_st *me, int16_t val)
{
    if (!me) return;
    const int16_t v = clamp16(val, me->limit_min, me->limit_max);
    if (v == me->cursor_val) return;
    me->cursor_val = v;
    kr_ui_refresh(&me->super);
}

void kr_uislider_init(kr_uislider_st *me, int16_t min_value, int16_t max_value, int16_t current_value,
                      const kr_uistyle_st *style)
{
    if (!me) return;
    style = style_or_default(style);
    kr_uiobject_init(&me->super);
    me->min_val = min_value;
    me->max_val = max_value;
    me->cur_val = clamp16(current_value, min_value, max_value);
    me->show_value = true;
    me->horizontal = true;
    me->dragging = false;
    me->inc_step = 1;
    me->incdec = 0;
    me->longpress_delay = -1;
    me->title = nullptr;
    me->callb = nullptr;
    me->text_c = style->text_color;
    me->font = style->font;
    me->handle_c = style->fg_c;
    me->bg_c = style->bg_c;
    me->super.vrtl_draw = slider_draw;
    me->super.vrtl_touch = slider_touch;
    me->super.step_callb = slider_step;
}

void kr_uislider_set_value(kr_uislider_st *me, int16_t value)
{
    if (!me) return;
    const int16_t v = clamp16(value, me->min_val, me->max_val);
    if (v == me->cur_val) return;
    me->cur_val = v;
    kr_ui_refresh(&me->super);
}

void kr_uislider_set_min_value(kr_uislider_st *me, int16_t value)
{
    if (!me || me->min_val == value) return;
    me->min_val = value;
    me->cur_val = clamp16(me->cur_val, me->min_val, me->max_val);
    kr_ui_refresh(&me->super);
}

void kr_uislider_set_max_value(kr_uislider_st *me, int16_t value)
{
    if (!me || me->max_val == value) return;
    me->max_val = value;
    me->cur_val = clamp16(me->cur_val, me->min_val, me->max_val);
    kr_ui_refresh(&me->super);
}

} // extern "C"
