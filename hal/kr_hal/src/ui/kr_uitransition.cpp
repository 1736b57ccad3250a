// Transitions: eased values driven by the owner's step time.
#include "ui/kr_uitransition.h"

#include <algorithm>

#include "kr_utilities.h"

namespace {

void set_state(kr_uitransition_st *me, kr_uitransition_state_e state)
{
    const kr_uitransition_state_e previous = me->state;
    me->state = state;
    if (me->state_change_callback) me->state_change_callback(me, previous);
}

void calc(kr_uitransition_st *me)
{
    if (me->calc_callb) me->calc_callb(me);
}

void scalar_calc_callb(kr_uitransition_st *t)
{
    kr_uiscalartransition_st *me = (kr_uiscalartransition_st *)t;
    if (!me->cur_val) return;
    *me->cur_val = (int16_t)scalar_calc(t->easing, t->current_time_ms, t->duration_ms, me->start_val, me->end_val);
}

void color_calc_callb(kr_uitransition_st *t)
{
    kr_uicolortransition_st *me = (kr_uicolortransition_st *)t;
    if (!me->cur_c) return;
    color_t out = 0;
    for (int shift = 0; shift < 32; shift += 8) {
        int32_t v = scalar_calc(t->easing, t->current_time_ms, t->duration_ms, (int32_t)((me->start_c >> shift) & 0xFF),
                                (int32_t)((me->end_c >> shift) & 0xFF));
        v = v < 0 ? 0 : v > 255 ? 255 : v;
        out |= (color_t)v << shift;
    }
    *me->cur_c = out;
}

} // namespace

extern "C" {

int32_t scalar_calc(kr_uitransition_easing_e easing, int32_t current_time_ms, int32_t duration_ms, int32_t start_val,
                    int32_t end_val)
{
    // At (or past) its duration a transition is exactly at its end, whatever the easing's rounding;
    // this also keeps durations of 0 and 1 ms away from the divisions below.
    if (current_time_ms >= duration_ms) return easing <= UITRANSITION_EASING_INOUT_QUAD ? end_val : 0;
    if (current_time_ms < 0) current_time_ms = 0;
    const int32_t t = kr_reli(current_time_ms, 0, duration_ms);
    switch (easing) {
    case UITRANSITION_EASING_LINEAR: return kr_lerpi(t, start_val, end_val);
    case UITRANSITION_EASING_IN_QUAD: return kr_lerpi(t * t / 1000, start_val, end_val);
    case UITRANSITION_EASING_OUT_QUAD: return kr_lerpi(-(t * (t - 2000)) / 1000, start_val, end_val);
    case UITRANSITION_EASING_INOUT_QUAD: {
        const int32_t half = duration_ms / 2 > 0 ? duration_ms / 2 : 1; // 1 ms: no half to divide by
        const int32_t t2 = std::min<int32_t>(current_time_ms * 1000 / half, 2000);
        const int32_t mid = end_val + (start_val - end_val) / 2;
        int32_t x;
        if (t2 <= 999) {
            x = t2 * t2 / 1000;
        } else {
            const int32_t u = t2 - 1000;
            x = 1000 - (u * (u - 2000)) / 1000;
        }
        return kr_lerpi(x, start_val, mid);
    }
    default: return 0;
    }
}

void _kr_uitransition_init(kr_uitransition_st *me, kr_uitransition_easing_e easing, int16_t duration_ms,
                           void (*calc_callb)(kr_uitransition_st *me))
{
    if (!me) return;
    me->easing = easing;
    me->duration_ms = duration_ms;
    me->calc_callb = calc_callb;
    me->current_time_ms = 0;
    me->speed_ppt = 1000;
    me->parallel = nullptr;
    me->series = nullptr;
    me->state = UITRANSITION_INIT;
    me->state_change_callback = nullptr;
}

void kr_uiscalartransition_init(kr_uiscalartransition_st *me, kr_uitransition_easing_e easing, int16_t duration_ms,
                                int16_t start_val, int16_t end_val, int16_t *val_ptr)
{
    if (!me) return;
    _kr_uitransition_init(&me->super, easing, duration_ms, scalar_calc_callb);
    me->start_val = start_val;
    me->end_val = end_val;
    me->cur_val = val_ptr;
}

void kr_uicolortransition_init(kr_uicolortransition_st *me, kr_uitransition_easing_e easing, int16_t duration_ms,
                               color_t start_c, color_t end_c, color_t *c_ptr)
{
    if (!me) return;
    _kr_uitransition_init(&me->super, easing, duration_ms, color_calc_callb);
    me->start_c = start_c;
    me->end_c = end_c;
    me->cur_c = c_ptr;
    if (c_ptr) *c_ptr = start_c;
}

void kr_uitransition_play(kr_uitransition_st *me)
{
    for (; me; me = me->parallel) {
        if (me->state == UITRANSITION_FINISH) me->current_time_ms = 0;
        me->state = me->current_time_ms >= me->duration_ms ? UITRANSITION_FINISH : UITRANSITION_PLAY;
    }
}

void kr_uitransition_reverseplay(kr_uitransition_st *me)
{
    for (; me; me = me->parallel) {
        if (me->state == UITRANSITION_INIT) me->current_time_ms = me->duration_ms;
        me->state = me->current_time_ms < 1 ? UITRANSITION_INIT : UITRANSITION_REVERSEPLAY;
    }
}

void kr_uitransition_pause(kr_uitransition_st *me)
{
    for (; me; me = me->parallel) me->state = UITRANSITION_PAUSE;
}

void kr_uitransition_stop(kr_uitransition_st *me)
{
    for (; me; me = me->parallel) me->state = UITRANSITION_INIT;
}

void kr_uitransition_set_position(kr_uitransition_st *me, int16_t time)
{
    for (; me; me = me->parallel) {
        me->current_time_ms = time;
        calc(me);
    }
}

void kr_uitransition_step(kr_uitransition_st *me, kr_uiobject_st *parent, uint16_t step_ms)
{
    for (; me; me = me->parallel) {
        const int32_t a = (int32_t)step_ms * me->speed_ppt / 1000;
        switch (me->state) {
        case UITRANSITION_PLAY:
            calc(me);
            kr_ui_refresh(parent);
            if (me->current_time_ms + a >= me->duration_ms) {
                me->current_time_ms = me->duration_ms;
                set_state(me, UITRANSITION_FINISH);
                if (me->series) kr_uitransition_play(me->series);
            } else {
                me->current_time_ms = (int16_t)(me->current_time_ms + a);
            }
            break;
        case UITRANSITION_REVERSEPLAY:
            kr_ui_refresh(parent);
            if (me->current_time_ms - a < 0) {
                me->current_time_ms = 0;
                set_state(me, UITRANSITION_INIT);
                if (me->series) kr_uitransition_reverseplay(me->series);
            } else {
                me->current_time_ms = (int16_t)(me->current_time_ms - a);
            }
            calc(me);
            break;
        case UITRANSITION_FINISH:
            if (me->current_time_ms == me->duration_ms) {
                calc(me);
                kr_ui_refresh(parent);
                // Once only: the time moves past the duration (at least 1 ms, within 16 bits).
                const int32_t next = me->current_time_ms + (a > 0 ? a : 1);
                me->current_time_ms = (int16_t)(next > 32767 ? me->duration_ms - 1 : next);
            }
            if (me->series) kr_uitransition_step(me->series, parent, step_ms);
            break;
        default: break;
        }
    }
}

} // extern "C"
