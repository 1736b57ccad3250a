/* Transitions: one 16-bit value or one colour animated from a start to an end over a duration
 * with an easing curve, driven by the owner's step time; chainable in parallel and in series. */
#ifndef KR_UITRANSITION_H
#define KR_UITRANSITION_H

#include "ui/kr_uiobject.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef enum {
    UITRANSITION_INIT = 0,
    UITRANSITION_PLAY = 1,
    UITRANSITION_REVERSEPLAY = 2,
    UITRANSITION_PAUSE = 3,
    UITRANSITION_FINISH = 4,
} kr_uitransition_state_e;

typedef enum {
    UITRANSITION_EASING_LINEAR = 0,
    UITRANSITION_EASING_OUT_QUAD = 1,
    UITRANSITION_EASING_IN_QUAD = 2,
    UITRANSITION_EASING_INOUT_QUAD = 3,
} kr_uitransition_easing_e;

typedef struct kr_uitransition_st {
    struct kr_uitransition_st *parallel;
    struct kr_uitransition_st *series;
    int16_t duration_ms;
    int16_t current_time_ms;
    kr_uitransition_state_e state;
    kr_uitransition_easing_e easing;
    uint16_t speed_ppt;
    void (*calc_callb)(struct kr_uitransition_st *me);
    void (*state_change_callback)(struct kr_uitransition_st *me, kr_uitransition_state_e previous);
} kr_uitransition_st;

typedef struct {
    kr_uitransition_st super;
    int16_t start_val;
    int16_t end_val;
    int16_t *cur_val;
} kr_uiscalartransition_st;

typedef struct {
    kr_uitransition_st super;
    color_t start_c;
    color_t end_c;
    color_t *cur_c;
} kr_uicolortransition_st;

int32_t scalar_calc(kr_uitransition_easing_e easing, int32_t current_time_ms, int32_t duration_ms, int32_t start_val,
                    int32_t end_val);
void _kr_uitransition_init(kr_uitransition_st *me, kr_uitransition_easing_e easing, int16_t duration_ms,
                           void (*calc_callb)(kr_uitransition_st *me));
void kr_uiscalartransition_init(kr_uiscalartransition_st *me, kr_uitransition_easing_e easing, int16_t duration_ms,
                                int16_t start_val, int16_t end_val, int16_t *val_ptr);
void kr_uicolortransition_init(kr_uicolortransition_st *me, kr_uitransition_easing_e easing, int16_t duration_ms,
                               color_t start_c, color_t end_c, color_t *c_ptr);
void kr_uitransition_play(kr_uitransition_st *me);
void kr_uitransition_reverseplay(kr_uitransition_st *me);
void kr_uitransition_pause(kr_uitransition_st *me);
void kr_uitransition_stop(kr_uitransition_st *me);
void kr_uitransition_set_position(kr_uitransition_st *me, int16_t time);
void kr_uitransition_step(kr_uitransition_st *me, kr_uiobject_st *parent, uint16_t step_ms);

#ifdef __cplusplus
}
#endif

#endif
