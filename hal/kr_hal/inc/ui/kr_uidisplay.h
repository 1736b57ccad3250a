/* The display: the root window of one screen, with the touch state machine, focus keys and the
 * redraw decision; and the modal dialog built on it. */
#ifndef KR_UIDISPLAY_H
#define KR_UIDISPLAY_H

#include "kr_utilities.h"
#include "ui/kr_uiobject.h"

#ifdef __cplusplus
extern "C" {
#endif

#define UI_TOUCH_AVERAGE_COUNT 1
#define TOUCH_IND_DIAM_PX 15
#define TOUCH_IND_DELAY_MS 300
#define UI_PRESS_DEAD_MS 100
#define UI_DRAG_JUMP_PX 50

enum { PRESSING = 0, DRAGGING = 1, RELEASED = 2 };

typedef struct kr_uidisplay_st {
    kr_uiwindow_st super;
    kr_moving_aver_st avr_x;
    kr_moving_aver_st avr_y;
    int16_t press_x;
    int16_t press_y;
    int16_t drag_x;
    int16_t drag_y;
    int16_t press_state;
    kr_delay_st press_delay;
    color_t display_c;
    bool touch_ind;
    kr_delay_st touch_ind_delay;
    kr_touch_st touch;
    char unclaimed_key;
    uint8_t unclaimed_cycles;
} kr_uidisplay_st;

typedef struct kr_uidialog_st {
    kr_uidisplay_st super;
} kr_uidialog_st;

void kr_uidisplay_init(kr_uidisplay_st *me, kr_uiobject_st **objects, const kr_uistyle_st *style);
void kr_uidisplay_clear(kr_uidisplay_st *me);
void kr_uidisplay_draw(kr_uidisplay_st *me);
void kr_uidisplay_draw_touch_ind(kr_uidisplay_st *me);
kr_uiobject_ret_e kr_uidisplay_step(kr_uidisplay_st *me, uint16_t step_ms);
void kr_uidialog_init(kr_uidialog_st *me, kr_uiobject_st **objects, const kr_uistyle_st *style);
void kr_uidialog_exec(kr_uidialog_st *me);

#ifdef __cplusplus
}
#endif

#endif
