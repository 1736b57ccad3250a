// The display loop: pointer to touch events, focus keys, dispatch, step walk and the redraw
// decision; the display and dialog draws; the modal dialog loop.
#include "ui/kr_uidisplay.h"

#include "kr_rtos.h"

namespace {

constexpr uint16_t DIALOG_STEP_MS = 20;

void display_draw(kr_uiobject_st *obj, const kr_bounding_box_st *)
{
    kr_uidisplay_st *me = (kr_uidisplay_st *)obj;
    const kr_bounding_box_st &bb = me->super.super.bb;
    kr_ui_set_mask(bb.x, bb.y, bb.w, bb.h);
    kr_ui_clear(me->display_c);
    kr_ui_draw_point(600, -400, kr_uic_brighten(me->display_c, 20), 1000);
    _kr_uiwindow_draw_children(&me->super, &bb);
    kr_uidisplay_draw_touch_ind(me);
    kr_ui_dlswap();
}

void dialog_draw(kr_uiobject_st *obj, const kr_bounding_box_st *)
{
    kr_uidisplay_st *me = (kr_uidisplay_st *)obj;
    const kr_bounding_box_st &bb = me->super.super.bb;
    kr_uiwindow_draw(&me->super, &bb);
    _kr_uiwindow_draw_children(&me->super, &bb);
    kr_uiwindow_draw_scrollbars(&me->super, &bb);
    kr_uidisplay_draw_touch_ind(me);
    kr_ui_dlswap();
}

void reset_averages(kr_uidisplay_st *me)
{
    kr_moving_aver_reset(&me->avr_x);
    kr_moving_aver_reset(&me->avr_y);
}

int16_t abs16(int32_t v) { return (int16_t)(v < 0 ? -v : v); }

} // namespace

extern "C" {

void kr_uidisplay_init(kr_uidisplay_st *me, kr_uiobject_st **objects, const kr_uistyle_st *style)
{
    if (!me) return;
    if (!style) style = &kr_uistyles[0];
    kr_uiwindow_init(&me->super, objects, style);
    kr_bounding_box_init(&me->super.super.bb, 0, 0, UI_SCREEN_WIDTH, UI_SCREEN_HEIGHT);
    me->display_c = style->display_c;
    me->touch_ind = true;
    me->touch_ind_delay = -1;
    me->super.super.vrtl_draw = display_draw;
    me->super.super.vrtl_touch = nullptr;
    me->touch = kr_touch_st{};
    me->press_delay = UI_PRESS_DEAD_MS;
    kr_moving_aver_init(&me->avr_x, UI_TOUCH_AVERAGE_COUNT);
    kr_moving_aver_init(&me->avr_y, UI_TOUCH_AVERAGE_COUNT);
    me->press_x = me->press_y = me->drag_x = me->drag_y = 0;
    me->press_state = RELEASED;
    me->unclaimed_key = 0;
    me->unclaimed_cycles = 0;
}

void kr_uidisplay_clear(kr_uidisplay_st *me)
{
    if (!me) return;
    kr_uiwindow_clear(&me->super);
    me->super.super.vrtl_draw = display_draw;
}

void kr_uidisplay_draw(kr_uidisplay_st *me)
{
    if (!me || !me->super.super.vrtl_draw) return;
    me->super.super.vrtl_draw(&me->super.super, &me->super.super.bb);
}

void kr_uidisplay_draw_touch_ind(kr_uidisplay_st *me)
{
    if (!me->touch_ind || me->touch_ind_delay < 0) return;
    const int32_t t = kr_reli(me->touch_ind_delay, 0, TOUCH_IND_DELAY_MS);
    const color_t c = 0x00FFFFFFu | ((color_t)(t * 255 / 1000) << 24);
    kr_ui_draw_point(me->press_x, me->press_y, c, kr_lerpi(t, 0, TOUCH_IND_DIAM_PX));
}

kr_uiobject_ret_e kr_uidisplay_step(kr_uidisplay_st *me, uint16_t step_ms)
{
    kr_uiwindow_st *win = &me->super;
    kr_touch_st &ev = me->touch;
    ev.action = TOUCH_NONE;

    for (char k = kr_ui_peek_key_press(); k == UI_KEY_TAB || k == UI_KEY_BACKTAB; k = kr_ui_peek_key_press()) {
        kr_ui_get_key_press();
        if (k == UI_KEY_BACKTAB)
            kr_uiwindow_focus_prev(win);
        else
            kr_uiwindow_focus_next(win);
    }

    int32_t px = 0, py = 0;
    const bool pressed = kr_ui_get_touch(&px, &py);
    ev.x = (int16_t)px;
    ev.y = (int16_t)py;
    kr_delay(&me->press_delay, step_ms);

    // A press inside the dead time stays queued until the dead time is over.
    if (!pressed || me->press_delay < 0) kr_ui_take_touch();

    if (!pressed || me->press_delay >= 0) {
        if (me->press_state != RELEASED) {
            ev.x = me->press_x;
            ev.y = me->press_y;
            ev.action = me->press_state == PRESSING ? TOUCH_CLICKED : TOUCH_RELEASED;
            me->press_delay = UI_PRESS_DEAD_MS;
            reset_averages(me);
            me->press_state = RELEASED;
        }
    } else {
        const int16_t x = (int16_t)kr_moving_aver_step(&me->avr_x, px);
        const int16_t y = (int16_t)kr_moving_aver_step(&me->avr_y, py);
        switch (me->press_state) {
        case RELEASED:
            me->press_x = x;
            me->press_y = y;
            ev.x = x;
            ev.y = y;
            ev.action = TOUCH_PRESSED;
            me->press_state = PRESSING;
            break;
        case PRESSING:
            if (abs16(x - me->press_x) <= CONFIG_UI_CLICK_THRESHOLD &&
                abs16(y - me->press_y) <= CONFIG_UI_CLICK_THRESHOLD) {
                ev.action = TOUCH_IS_DOWN;
                ev.x = me->press_x;
                ev.y = me->press_y;
            } else {
                // The first drag event moves nothing, and the next deltas count from the press point,
                // so that content follows the whole way the pointer went.
                ev.action = TOUCH_DRAG;
                ev.x = ev.y = 0;
                me->drag_x = me->press_x;
                me->drag_y = me->press_y;
                me->press_state = DRAGGING;
            }
            break;
        default: {
            int32_t dx = x - me->drag_x, dy = y - me->drag_y;
            if (abs16(dx) > UI_DRAG_JUMP_PX || abs16(dy) > UI_DRAG_JUMP_PX) dx = dy = 0;
            ev.action = TOUCH_DRAG;
            ev.x = (int16_t)dx;
            ev.y = (int16_t)dy;
            me->drag_x = x;
            me->drag_y = y;
            break;
        }
        }
    }

    if (ev.action == TOUCH_PRESSED) {
        me->touch_ind_delay = TOUCH_IND_DELAY_MS;
    } else if (kr_delay(&me->touch_ind_delay, step_ms) || me->touch_ind_delay >= 0) {
        const int32_t period = 2 * (int32_t)step_ms;
        if (period == 0 || me->touch_ind_delay < 0 || me->touch_ind_delay % period == 0) kr_ui_refresh(&win->super);
    }

    if (win->super.vrtl_touch && ev.action != TOUCH_NONE) win->super.vrtl_touch(&win->super, &ev);
    _kr_uiwindow_touch(&win->super, &ev);

    const kr_uiobject_ret_e ret = kr_uiwindow_step(&win->super, step_ms);

    const char head = kr_ui_peek_key_press();
    if (head == 0) {
        me->unclaimed_key = 0;
        me->unclaimed_cycles = 0;
    } else if (head == me->unclaimed_key) {
        if (++me->unclaimed_cycles > 2) {
            kr_ui_get_key_press();
            me->unclaimed_key = 0;
            me->unclaimed_cycles = 0;
        }
    } else {
        me->unclaimed_key = head;
        me->unclaimed_cycles = 1;
    }

    if (ret & UIOBJECT_RETURN_KILLED) kr_ui_refresh(&win->super);
    if (win->super.refresh || ret == UIOBJECT_RETURN_REFRESH || kr_ui_get_refresh_request()) {
        win->super.refresh = true;
        _kr_uiobject_draw(&win->super, &win->super.bb);
    }
    return ret;
}

void kr_uidialog_init(kr_uidialog_st *me, kr_uiobject_st **objects, const kr_uistyle_st *style)
{
    if (!me) return;
    kr_uidisplay_init(&me->super, objects, style);
    kr_uiwindow_set_transparent(&me->super.super, false);
    me->super.super.super.vrtl_draw = dialog_draw;
}

void kr_uidialog_exec(kr_uidialog_st *me)
{
    if (!me) return;
    while (!(kr_uidisplay_step(&me->super, DIALOG_STEP_MS) & UIOBJECT_RETURN_KILLED))
        kr_rtos_task_delay(DIALOG_STEP_MS);
    // The screen beneath may ask for nothing itself; it must not keep showing the dialog.
    kr_ui_request_refresh();
}

} // extern "C"
