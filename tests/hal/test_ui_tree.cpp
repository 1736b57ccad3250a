// The widget tree, the display loop and transitions without a window: input goes through the back
// end's input handlers and the event script; drawing calls do nothing but frames are counted.
#include <GLFW/glfw3.h>
#include <sys/wait.h>
#include <unistd.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kr_ui.h"
#include "ui/kr_ui_hooks.h"
#include "ui/kr_uidisplay.h"
#include "ui/kr_uitransition.h"
#include "ui_widgets.h"

namespace {

void drain_keys()
{
    while (kr_ui_get_key_press() != 0) {
    }
}

struct screen {
    kr_uidisplay_st d;
    kr_uiobject_st *children[8];
    screen()
    {
        std::memset(this, 0, sizeof *this);
        kr_ui_input_button(false);
        kr_ui_script_clear();
        drain_keys();
        kr_uidisplay_init(&d, children, nullptr);
    }
    kr_touch_st step(int x, int y, bool pressed)
    {
        kr_ui_input_cursor(x, y);
        kr_ui_input_button(pressed);
        kr_uidisplay_step(&d, 20);
        return d.touch;
    }
};

} // namespace

// The touch machine by synthetic pointer input: dead time, the click square, drags and their deltas,
// jumps, release points and positions passed unfiltered.
TEST(UiTouch, PressDragReleaseAndDeadTime)
{
    screen s;
    uiw::box rec;
    uiw::box_init(&rec, 0);
    kr_uiwindow_addxy(&s.d.super, &rec.super, 0, 0, 1200, 720);

    // Held from the start: the dead time after init swallows five steps, the sixth is the press.
    for (int i = 0; i < 5; ++i) EXPECT_EQ(s.step(100, 100, true).action, TOUCH_NONE) << i;
    kr_touch_st t = s.step(100, 100, true);
    EXPECT_EQ(t.action, TOUCH_PRESSED);
    EXPECT_EQ(t.x, 100);
    EXPECT_EQ(t.y, 100);
    EXPECT_EQ(rec.last.action, TOUCH_PRESSED);

    kr_ui_input_cursor(601.7, 360.2); // window pixels to logical points, truncated
    int32_t lx = 0, ly = 0;
    kr_ui_get_touch(&lx, &ly);
    EXPECT_EQ(lx, 601);
    EXPECT_EQ(ly, 360);

    t = s.step(105, 95, true); // 5 px: still a press, at the press point
    EXPECT_EQ(t.action, TOUCH_IS_DOWN);
    EXPECT_EQ(t.x, 100);
    EXPECT_EQ(t.y, 100);

    // 6 px starts a drag with no movement; the deltas then add up to the whole way: 30 px.
    int sum_x = 0, sum_y = 0;
    t = s.step(106, 95, true);
    EXPECT_EQ(t.action, TOUCH_DRAG);
    EXPECT_EQ(t.x, 0);
    EXPECT_EQ(t.y, 0);
    for (int x : {110, 118, 125, 130}) {
        t = s.step(x, 100, true);
        EXPECT_EQ(t.action, TOUCH_DRAG);
        sum_x += t.x;
        sum_y += t.y;
    }
    EXPECT_EQ(sum_x, 30);
    EXPECT_EQ(sum_y, 0);
    EXPECT_EQ(rec.last.action, TOUCH_DRAG); // drags reach children as deltas, no bounds test

    t = s.step(181, 100, true); // a 51 px jump moves nothing
    EXPECT_EQ(t.action, TOUCH_DRAG);
    EXPECT_EQ(t.x, 0);
    EXPECT_EQ(t.y, 0);
    t = s.step(191, 120, true); // and the next deltas count from where it landed
    EXPECT_EQ(t.x, 10);
    EXPECT_EQ(t.y, 20);

    t = s.step(191, 120, false); // released after a drag: at the press point
    EXPECT_EQ(t.action, TOUCH_RELEASED);
    EXPECT_EQ(t.x, 100);
    EXPECT_EQ(t.y, 100);

    // A press within the dead time is ignored until it expires, then arrives as a press.
    for (int i = 0; i < 5; ++i) EXPECT_EQ(s.step(400, 300, true).action, TOUCH_NONE) << i;
    t = s.step(400, 300, true);
    EXPECT_EQ(t.action, TOUCH_PRESSED);
    EXPECT_EQ(t.x, 400); // not blended with the earlier positions
    EXPECT_EQ(t.y, 300);
    t = s.step(402, 301, false);
    EXPECT_EQ(t.action, TOUCH_CLICKED);
    EXPECT_EQ(t.x, 400);
    EXPECT_EQ(t.y, 300);
    EXPECT_EQ(rec.touches[TOUCH_CLICKED], 1);
    EXPECT_EQ(s.step(402, 301, false).action, TOUCH_NONE);

    // A click quicker than one step, inside the dead time: it waits, then arrives whole at its point.
    kr_ui_input_cursor(500, 200);
    kr_ui_input_button(true);
    kr_ui_input_button(false);
    kr_ui_input_cursor(700, 600);
    std::vector<int> seen;
    for (int i = 0; i < 8; ++i) {
        kr_uidisplay_step(&s.d, 20);
        if (s.d.touch.action != TOUCH_NONE) seen.push_back(s.d.touch.action);
    }
    EXPECT_EQ(seen, (std::vector<int>{TOUCH_PRESSED, TOUCH_CLICKED}));
    EXPECT_EQ(rec.last.x, 500);
    EXPECT_EQ(rec.last.y, 200);
}

// Key codes from the key and character handlers, the queue's bound, focus keys taken before any
// widget, and keys nobody takes dropped at the third step.
TEST(UiKeys, CodesQueueFocusKeysAndUnclaimed)
{
    screen s;
    kr_ui_input_key(GLFW_KEY_TAB, GLFW_MOD_SHIFT);
    kr_ui_input_key(GLFW_KEY_V, GLFW_MOD_CONTROL);
    kr_ui_input_key(GLFW_KEY_V, 0); // printable keys come from the character handler
    kr_ui_input_char('v');
    kr_ui_input_char(0xE4); // not below 128: dropped
    kr_ui_input_key(GLFW_KEY_KP_ENTER, 0);
    kr_ui_input_key(GLFW_KEY_HOME, 0);
    kr_ui_input_key(GLFW_KEY_F1, 0);
    const char want[] = {15, 22, 'v', 10, 1};
    for (char w : want) EXPECT_EQ(kr_ui_get_key_press(), w);
    EXPECT_EQ(kr_ui_get_key_press(), 0);

    for (int i = 0; i < 21; ++i) kr_ui_input_char((uint32_t)('a' + i));
    int n = 0;
    char last = 0;
    for (char c = kr_ui_get_key_press(); c; c = kr_ui_get_key_press(), ++n) last = c;
    EXPECT_EQ(n, 20); // the 21st key is lost
    EXPECT_EQ(last, 't');

    uiw::button b1, b2;
    uiw::button_init(&b1, 0xFF0000FF);
    uiw::button_init(&b2, 0xFF00FF00);
    kr_uiwindow_addxy(&s.d.super, &b1.b.super, 10, 10, 50, 20);
    kr_uiwindow_addxy(&s.d.super, &b2.b.super, 10, 40, 50, 20);
    kr_ui_input_key(GLFW_KEY_TAB, 0);
    kr_ui_input_key(GLFW_KEY_TAB, 0);
    kr_ui_input_key(GLFW_KEY_TAB, GLFW_MOD_SHIFT);
    kr_ui_input_char('x');
    s.step(0, 0, false);
    EXPECT_TRUE(b1.b.super.focused); // next, next, back
    EXPECT_FALSE(b2.b.super.focused);
    EXPECT_EQ(kr_ui_peek_key_press(), 'x');
    s.step(0, 0, false);
    EXPECT_EQ(kr_ui_peek_key_press(), 'x');
    s.step(0, 0, false);
    EXPECT_EQ(kr_ui_peek_key_press(), 0);
}

// Dispatch bounds (inclusive edges), overlapping children and consumption, opaque windows.
TEST(UiTree, DispatchEdgesOverlapAndConsumption)
{
    screen s;
    kr_uiwindow_st win;
    kr_uiobject_st *wc[4];
    std::memset(&win, 0, sizeof win);
    kr_uiwindow_init(&win, wc, nullptr);
    kr_uiwindow_addxy(&s.d.super, &win.super, 100, 100, 400, 300);
    uiw::box under, over;
    uiw::box_init(&under, 0);
    uiw::box_init(&over, 0);
    kr_uiwindow_addxy(&win, &under.super, 10, 10, 100, 50);
    kr_uiwindow_addxy(&win, &over.super, 60, 10, 100, 50);

    kr_touch_st t{TOUCH_PRESSED, 110, 60}; // window-local: under's right-bottom corner exactly
    _kr_uiwindow_touch(&win.super, &t);
    EXPECT_EQ(under.last.action, TOUCH_PRESSED);
    EXPECT_EQ(under.last.x, 100);
    EXPECT_EQ(under.last.y, 50);
    std::memset(under.touches, 0, sizeof under.touches);
    under.last = {};
    t = {TOUCH_PRESSED, 111, 60};
    _kr_uiwindow_touch(&win.super, &t);
    EXPECT_EQ(under.last.action, TOUCH_NONE);
    EXPECT_EQ(under.touches[TOUCH_NONE], 1); // one pixel further: a TOUCH_NONE

    // Overlap: the later child is asked first; when it takes the event the earlier one gets none.
    over.consume = true;
    std::memset(under.touches, 0, sizeof under.touches);
    t = {TOUCH_CLICKED, 80, 20};
    _kr_uiwindow_touch(&win.super, &t);
    EXPECT_EQ(over.last.action, TOUCH_CLICKED);
    EXPECT_EQ(over.last.x, 20);
    EXPECT_EQ(under.touches[TOUCH_CLICKED], 0);
    EXPECT_EQ(under.touches[TOUCH_NONE], 1);
    EXPECT_EQ(t.action, TOUCH_NONE);

    // Hidden or disabled children are not asked at all; an opaque window swallows what is left.
    over.consume = false;
    kr_ui_hide(&over.super);
    kr_ui_set_enabled(&under.super, false);
    std::memset(over.touches, 0, sizeof over.touches);
    std::memset(under.touches, 0, sizeof under.touches);
    t = {TOUCH_PRESSED, 80, 20};
    _kr_uiwindow_touch(&win.super, &t);
    EXPECT_EQ(over.touches[TOUCH_PRESSED] + over.touches[TOUCH_NONE], 0);
    EXPECT_EQ(under.touches[TOUCH_PRESSED] + under.touches[TOUCH_NONE], 0);
    EXPECT_EQ(t.action, TOUCH_PRESSED); // transparent: passes
    kr_uiwindow_set_transparent(&win, false);
    _kr_uiwindow_touch(&win.super, &t);
    EXPECT_EQ(t.action, TOUCH_NONE);
    t = {TOUCH_DRAG, 3, 4};
    _kr_uiwindow_touch(&win.super, &t);
    EXPECT_EQ(t.action, TOUCH_DRAG);

    // Global positions follow the parents' scroll offsets.
    win.content_bb.y = -30;
    EXPECT_EQ(kr_ui_get_xglobal(&under.super), 110);
    EXPECT_EQ(kr_ui_get_yglobal(&under.super), 80);
}

// Scrolling by dragging through the display, clamped on both axes; content narrower or shorter
// than its window stays at its default offset.
TEST(UiTree, ScrollByDragClampsBothAxes)
{
    screen s;
    kr_uiwindow_st win;
    kr_uiobject_st *wc[2];
    std::memset(&win, 0, sizeof win);
    kr_uiwindow_init(&win, wc, nullptr);
    kr_uiwindow_addxy(&s.d.super, &win.super, 100, 100, 200, 100);
    kr_uiwindow_set_contentbb(&win, 200, 300);
    for (int i = 0; i < 6; ++i) s.step(0, 0, false); // past the dead time

    s.step(150, 180, true);
    EXPECT_TRUE(win.dragging);
    EXPECT_EQ(s.d.touch.action, TOUCH_NONE); // the window took the press
    s.step(150, 170, true);                  // drag starts (10 px)
    s.step(150, 140, true);                  // 40 px up from the press
    EXPECT_EQ(win.content_bb.y, -40);
    for (int y = 110; y >= -150; y -= 40) s.step(150, y, true);
    EXPECT_EQ(win.content_bb.y, -200); // the content's bottom stays at the window's bottom
    s.step(150, -150, false);
    EXPECT_FALSE(win.dragging);
    kr_uiwindow_content_move(&win, 0, 500);
    EXPECT_EQ(win.content_bb.y, 0); // never below the default offset

    // Narrower content with a default offset: x stays at the default, also when moved left.
    kr_uiwindow_set_content_bb_default_pos(&win, 10, 5);
    kr_uiwindow_set_contentbb(&win, 100, 50);
    kr_uiwindow_content_move(&win, -50, -50);
    EXPECT_EQ(win.content_bb.x, 10);
    EXPECT_EQ(win.content_bb.y, 5);
    kr_uiwindow_content_move(&win, 30, 30);
    EXPECT_EQ(win.content_bb.x, 10);
    EXPECT_EQ(win.content_bb.y, 5);

    // Wider content scrolls and clamps on x as on y; the reported content area leaves room for bars.
    kr_uiwindow_set_content_bb_default_pos(&win, 0, 0);
    kr_uiwindow_set_contentbb(&win, 500, 400);
    kr_uiwindow_content_move_to(&win, 1000, 1000);
    EXPECT_EQ(win.content_bb.x, -300);
    EXPECT_EQ(win.content_bb.y, -300);
    const kr_bounding_box_st cb = kr_uiwindow_get_contentbb(&win);
    EXPECT_EQ(cb.w, 492);
    EXPECT_EQ(cb.h, 392);
}

// Keyboard focus: Tab order with wrapping and nested windows, hidden, disabled and removed
// focused objects, one outline, and Enter reaching the focused button only.
TEST(UiFocus, WalkWrapHiddenDisabledAndRemoved)
{
    screen s;
    uiw::button b1, b2, b3;
    uiw::button_init(&b1, 0);
    uiw::button_init(&b2, 0);
    uiw::button_init(&b3, 0);
    kr_uiwindow_st inner;
    kr_uiobject_st *ic[2];
    std::memset(&inner, 0, sizeof inner);
    kr_uiwindow_init(&inner, ic, nullptr);
    kr_uiwindow_addxy(&s.d.super, &b1.b.super, 10, 10, 50, 20);
    kr_uiwindow_addxy(&s.d.super, &inner.super, 10, 40, 300, 100);
    kr_uiwindow_addxy(&inner, &b2.b.super, 0, 0, 50, 20);
    kr_uiwindow_addxy(&s.d.super, &b3.b.super, 10, 200, 50, 20);
    kr_uiwindow_st *root = &s.d.super;
    auto focused_count = [&] { return (int)b1.b.super.focused + (int)b2.b.super.focused + (int)b3.b.super.focused; };

    EXPECT_TRUE(kr_uiwindow_focus_next(root)); // nothing focused: the first
    EXPECT_TRUE(b1.b.super.focused);
    EXPECT_TRUE(kr_uiwindow_focus_next(root)); // into the nested window
    EXPECT_TRUE(b2.b.super.focused);
    EXPECT_TRUE(kr_uiwindow_focus_next(root));
    EXPECT_TRUE(b3.b.super.focused);
    EXPECT_TRUE(kr_uiwindow_focus_next(root)); // wraps
    EXPECT_TRUE(b1.b.super.focused);
    EXPECT_TRUE(kr_uiwindow_focus_prev(root)); // and back round
    EXPECT_TRUE(b3.b.super.focused);
    EXPECT_EQ(focused_count(), 1);

    // A focused object that is hidden (or disabled) loses its focus when focus moves on.
    kr_uiobject_set_visible(&b3.b.super, false);
    EXPECT_TRUE(kr_uiwindow_focus_next(root));
    EXPECT_TRUE(b1.b.super.focused);
    kr_uiobject_set_visible(&b3.b.super, true);
    EXPECT_EQ(focused_count(), 1);
    kr_uiwindow_set_focus(&b2.b.super);
    kr_ui_set_enabled(&b2.b.super, false);
    kr_uiwindow_clear_focus(root);
    kr_ui_set_enabled(&b2.b.super, true);
    EXPECT_EQ(focused_count(), 0);

    // Removing a focused button keeps its flag (pages are rebuilt by clearing and re-adding); Tab
    // then shows one outline in the tree and Enter clicks the button it shows.
    kr_uiwindow_set_focus(&b1.b.super);
    kr_uiwindow_remove(root, &b1.b.super);
    EXPECT_TRUE(b1.b.super.focused);
    kr_ui_input_key(GLFW_KEY_TAB, 0);
    kr_ui_input_key(GLFW_KEY_ENTER, 0);
    s.step(0, 0, false);
    EXPECT_TRUE(b2.b.super.focused);
    EXPECT_FALSE(b3.b.super.focused);
    EXPECT_EQ(b2.clicks, 1);
    EXPECT_EQ(b1.clicks, 0);
    drain_keys();
}

// The step walk and the redraw decision: results ORed, killed stops the walk, nothing changing
// draws nothing, a request draws the whole tree once; dialogs end on killed and leave a redraw
// request for the screen beneath.
namespace {
int app_calls;
kr_uiobject_ret_e app_result;
kr_uiobject_ret_e app_step(void *, uint16_t)
{
    app_calls++;
    return app_result;
}
int child_steps;
kr_uiobject_ret_e child_step(kr_uiobject_st *, uint16_t)
{
    child_steps++;
    return UIOBJECT_RETURN_REFRESH;
}
uiw::box *dialog_target;
kr_uiobject_ret_e kill_on_click(void *, uint16_t)
{
    return dialog_target->touches[TOUCH_CLICKED] ? UIOBJECT_RETURN_KILLED : UIOBJECT_RETURN_ALIVE;
}
} // namespace

TEST(UiDisplay, StepWalkRedrawsAndDialogs)
{
    screen s;
    uiw::box a, b;
    uiw::box_init(&a, 0);
    uiw::box_init(&b, 0);
    kr_uiwindow_addxy(&s.d.super, &a.super, 0, 0, 10, 10);
    kr_uiwindow_addxy(&s.d.super, &b.super, 20, 0, 10, 10);
    kr_ui_hide(&b.super);

    const uint64_t f0 = kr_ui_frame_count();
    s.step(0, 0, false);
    EXPECT_EQ(kr_ui_frame_count(), f0 + 1); // the first step draws the new tree
    EXPECT_EQ(a.draws, 1);
    EXPECT_EQ(b.draws, 0); // hidden
    for (int i = 0; i < 100; ++i) s.step(0, 0, false);
    EXPECT_EQ(kr_ui_frame_count(), f0 + 1); // nothing changed: no frame
    kr_ui_input_expose();
    s.step(0, 0, false);
    EXPECT_EQ(kr_ui_frame_count(), f0 + 2);
    kr_ui_refresh(&a.super); // any object's request redraws every visible object of its tree
    s.step(0, 0, false);
    EXPECT_EQ(kr_ui_frame_count(), f0 + 3);
    EXPECT_EQ(a.draws, 3);

    // Killed from the application stops the walk before the children; a child's REFRESH redraws.
    a.super.step_callb = child_step;
    kr_uiwindow_set_stepcallback(&s.d.super, app_step, nullptr);
    app_result = UIOBJECT_RETURN_KILLED;
    EXPECT_EQ(kr_uidisplay_step(&s.d, 20), UIOBJECT_RETURN_KILLED);
    EXPECT_EQ(child_steps, 0);
    app_result = UIOBJECT_RETURN_ALIVE;
    const uint64_t f1 = kr_ui_frame_count();
    EXPECT_EQ(kr_uidisplay_step(&s.d, 20), UIOBJECT_RETURN_REFRESH);
    EXPECT_EQ(child_steps, 1);
    EXPECT_EQ(kr_ui_frame_count(), f1 + 1);
    kr_ui_set_enabled(&s.d.super.super, false); // a disabled window's application step is skipped
    app_calls = 0;
    kr_uidisplay_step(&s.d, 20);
    EXPECT_EQ(app_calls, 0);
    kr_ui_set_enabled(&s.d.super.super, true);
    a.super.step_callb = nullptr;

    // A dialog killed at its first step returns at once; the screen beneath, which asks for
    // nothing itself, is drawn again at its next step.
    for (int i = 0; i < 3; ++i) s.step(0, 0, false);
    kr_uidialog_st dlg;
    kr_uiobject_st *dc[2];
    std::memset(&dlg, 0, sizeof dlg);
    kr_uidialog_init(&dlg, dc, nullptr);
    app_result = UIOBJECT_RETURN_KILLED;
    app_calls = 0;
    kr_uiwindow_set_stepcallback(&dlg.super.super, app_step, nullptr);
    kr_uidialog_exec(&dlg);
    EXPECT_EQ(app_calls, 1);
    kr_uiwindow_set_stepcallback(&s.d.super, nullptr, nullptr);
    const uint64_t f2 = kr_ui_frame_count();
    s.step(0, 0, false);
    EXPECT_EQ(kr_ui_frame_count(), f2 + 1);

    // A modal loop fed by the event script: the poll replays a click on the dialog's box.
    kr_uidialog_st dlg2;
    kr_uiobject_st *dc2[2];
    std::memset(&dlg2, 0, sizeof dlg2);
    kr_uidialog_init(&dlg2, dc2, nullptr);
    uiw::box target;
    uiw::box_init(&target, 0);
    kr_uiwindow_addxy(&dlg2.super.super, &target.super, 500, 300, 100, 100);
    dialog_target = &target;
    kr_uiwindow_set_stepcallback(&dlg2.super.super, kill_on_click, nullptr);
    kr_ui_script_push(KR_UI_EV_CURSOR, 550, 350);
    for (int i = 0; i < 6; ++i) kr_ui_script_push(KR_UI_EV_POLL, 0, 0);
    kr_ui_script_push(KR_UI_EV_BUTTON, 1, 0);
    kr_ui_script_push(KR_UI_EV_POLL, 0, 0);
    kr_ui_script_push(KR_UI_EV_BUTTON, 0, 0);
    kr_uidialog_exec(&dlg2);
    EXPECT_EQ(target.touches[TOUCH_CLICKED], 1);
    EXPECT_EQ(target.last.x, 50);
    EXPECT_EQ(target.last.y, 50);
    EXPECT_EQ(kr_ui_script_pending(), 0u);
}

// Transitions: the easing values, the final value at the duration (also 0 and 1 ms), speed,
// reverse play, restart, chaining and the colour calculation.
namespace {
std::vector<int16_t> run_transition(kr_uitransition_easing_e e, int16_t dur, int16_t a, int16_t b, uint16_t step,
                                    int max_steps = 100)
{
    int16_t v = -32768;
    kr_uiscalartransition_st t;
    kr_uiscalartransition_init(&t, e, dur, a, b, &v);
    kr_uitransition_play(&t.super);
    std::vector<int16_t> out;
    for (int i = 0; i < max_steps && !(t.super.state == UITRANSITION_FINISH && t.super.current_time_ms != dur); ++i) {
        const int16_t before = v;
        kr_uitransition_step(&t.super, nullptr, step);
        if (v != before || out.empty()) out.push_back(v);
    }
    return out;
}
int changes;
void on_change(kr_uitransition_st *, kr_uitransition_state_e) { changes++; }
} // namespace

TEST(UiTransition, EasingEndsChainsAndReverse)
{
    EXPECT_EQ(run_transition(UITRANSITION_EASING_LINEAR, 200, 0, 100, 50), (std::vector<int16_t>{0, 25, 50, 75, 100}));
    EXPECT_EQ(scalar_calc(UITRANSITION_EASING_INOUT_QUAD, 250, 1000, 0, 1000), 125);
    EXPECT_EQ(scalar_calc(UITRANSITION_EASING_INOUT_QUAD, 500, 1000, 0, 1000), 500);
    EXPECT_EQ(scalar_calc(UITRANSITION_EASING_INOUT_QUAD, 750, 1000, 0, 1000), 875);
    EXPECT_EQ(scalar_calc(UITRANSITION_EASING_OUT_QUAD, 100, 200, 0, 100), 75);
    EXPECT_EQ(scalar_calc(UITRANSITION_EASING_IN_QUAD, 100, 200, 0, 100), 25);
    for (auto e : {UITRANSITION_EASING_LINEAR, UITRANSITION_EASING_IN_QUAD, UITRANSITION_EASING_OUT_QUAD,
                   UITRANSITION_EASING_INOUT_QUAD})
        for (int16_t dur : {0, 1, 125, 1000}) {
            const std::vector<int16_t> v = run_transition(e, dur, 7, 333, 20);
            ASSERT_FALSE(v.empty());
            EXPECT_EQ(v.back(), 333) << "easing " << e << " duration " << dur;
        }
    EXPECT_EQ(run_transition(UITRANSITION_EASING_INOUT_QUAD, 0, 10, 20, 20).size(), 1u); // straight to the end

    // Half speed takes twice the steps; the final calculation happens once.
    int16_t v = 0;
    kr_uiscalartransition_st t;
    kr_uiscalartransition_init(&t, UITRANSITION_EASING_LINEAR, 100, 0, 100, &v);
    t.super.speed_ppt = 500;
    t.super.state_change_callback = on_change;
    kr_uitransition_play(&t.super);
    int steps = 0;
    while (t.super.state != UITRANSITION_FINISH && steps < 100) {
        kr_uitransition_step(&t.super, nullptr, 20);
        ++steps;
    }
    EXPECT_EQ(steps, 10);
    kr_uitransition_step(&t.super, nullptr, 20);
    EXPECT_EQ(v, 100);
    v = 55;
    kr_uitransition_step(&t.super, nullptr, 20);
    EXPECT_EQ(v, 55);
    EXPECT_EQ(changes, 1);

    // Play on a finished transition starts again from 0; reverse play from INIT runs from the end
    // back to the start value and ends in INIT.
    kr_uitransition_play(&t.super);
    EXPECT_EQ(t.super.current_time_ms, 0);
    EXPECT_EQ(t.super.state, UITRANSITION_PLAY);
    kr_uitransition_stop(&t.super);
    kr_uiscalartransition_init(&t, UITRANSITION_EASING_LINEAR, 100, 0, 100, &v);
    kr_uitransition_reverseplay(&t.super);
    EXPECT_EQ(t.super.state, UITRANSITION_REVERSEPLAY);
    kr_uitransition_step(&t.super, nullptr, 40);
    EXPECT_EQ(v, 60);
    for (int i = 0; i < 5; ++i) kr_uitransition_step(&t.super, nullptr, 40);
    EXPECT_EQ(v, 0);
    EXPECT_EQ(t.super.state, UITRANSITION_INIT);

    // A series transition starts when its predecessor finishes; a parallel one runs alongside.
    int16_t a = 0, b = 0, c = 0;
    kr_uiscalartransition_st ta, tb, tc;
    kr_uiscalartransition_init(&ta, UITRANSITION_EASING_LINEAR, 40, 0, 10, &a);
    kr_uiscalartransition_init(&tb, UITRANSITION_EASING_LINEAR, 40, 0, 20, &b);
    kr_uiscalartransition_init(&tc, UITRANSITION_EASING_LINEAR, 40, 0, 30, &c);
    ta.super.series = &tb.super;
    ta.super.parallel = &tc.super;
    kr_uitransition_play(&ta.super);
    EXPECT_EQ(tc.super.state, UITRANSITION_PLAY);
    EXPECT_EQ(tb.super.state, UITRANSITION_INIT);
    for (int i = 0; i < 8; ++i) kr_uitransition_step(&ta.super, nullptr, 20);
    EXPECT_EQ(a, 10);
    EXPECT_EQ(b, 20);
    EXPECT_EQ(c, 30);

    color_t col = 0;
    kr_uicolortransition_st ct;
    kr_uicolortransition_init(&ct, UITRANSITION_EASING_LINEAR, 100, 0xFF000000, 0x80FF8040, &col);
    EXPECT_EQ(col, 0xFF000000u);
    kr_uitransition_set_position(&ct.super, 50);
    EXPECT_EQ(col, 0xBF7F4020u);
}

// Colours, UTF-8 decoding (malformed input included), glyph mapping and line helpers.
TEST(UiText, ColoursUtf8GlyphsAndLines)
{
    kr_ui_set_grayscale_luminosity(0);
    EXPECT_EQ(kr_uic_grayscale(0x80FF0000), 0x80555555u);
    kr_ui_set_grayscale_luminosity(-60);
    EXPECT_EQ(kr_uic_grayscale(0x80FF0000), 0x802C2C2Cu);
    kr_ui_set_grayscale_luminosity(127);
    EXPECT_EQ(kr_uic_grayscale(0xFFFFFFFF), 0xFFFFFFFFu); // saturates
    kr_ui_set_grayscale_luminosity(0);
    EXPECT_EQ(kr_uic_brighten(0xFFFAFAFA, 20), 0xFFFFFFFFu);
    EXPECT_EQ(kr_uic_brighten(0xFF101010, -20), 0xFF000000u);
    EXPECT_EQ(kr_uic_alpha(0x10123456, 300), 0xFF123456u);
    EXPECT_EQ(kr_uic_alpha(0x10123456, -300), 0x00123456u);
    EXPECT_EQ(kr_uic_lerpi(500, 0xFF000000, 0x01FEFEFE), 0x807F7F7Fu);

    const char *p = "\xC3\xA4";
    EXPECT_EQ(kr_ui_utf8_next(&p), 0xE4u);
    EXPECT_EQ(*p, '\0');
    EXPECT_EQ(kr_ui_codepoint_glyph(0xE4, true), 1);
    EXPECT_EQ(kr_ui_codepoint_glyph(0xE4, false), 'a');
    EXPECT_EQ(kr_ui_codepoint_glyph(0xC5, true), 6);
    EXPECT_EQ(kr_ui_codepoint_glyph(0xC5, false), 'A');
    p = "\xE2\x82\xAC";
    EXPECT_EQ(kr_ui_utf8_next(&p), 0x20ACu);
    EXPECT_EQ(kr_ui_codepoint_glyph(0x20AC, true), '?');
    p = "\xF0\x9F\x98\x80";
    EXPECT_EQ(kr_ui_utf8_next(&p), 0x1F600u);

    // Malformed input: each bad byte is its own code point, and nothing past the NUL is read (the
    // buffers end right at it, so ASan sees any read beyond).
    const char lone[] = {'x', '\xC3', '\0'};
    const char cut[] = {'\xE2', '\x82', '\0'};
    const char cut4[] = {'\xF0', '\x9F', '\x98', '\0'};
    const char stray[] = {'\x80', '\xBF', 'y', '\0'};
    char g[16];
    EXPECT_EQ(kr_ui_str_to_glyphs(lone, g, sizeof g, true), 2u);
    EXPECT_STREQ(g, "x?");
    EXPECT_EQ(kr_ui_str_to_glyphs(cut, g, sizeof g, true), 2u);
    EXPECT_STREQ(g, "??");
    EXPECT_EQ(kr_ui_str_to_glyphs(cut4, g, sizeof g, true), 3u);
    EXPECT_STREQ(g, "???");
    EXPECT_EQ(kr_ui_str_to_glyphs(stray, g, sizeof g, true), 3u);
    EXPECT_STREQ(g, "??y");
    EXPECT_EQ(kr_ui_str_to_glyphs("\xC3\xA4\xC3\xB6x", g, 3, true), 2u); // bounded by dst_len - 1
    EXPECT_STREQ(g, "\x01\x02");
    EXPECT_EQ(kr_ui_str_to_glyphs("\xC0\x80x", g, sizeof g, true), 2u); // an overlong NUL ends nothing
    EXPECT_STREQ(g, "?x");
    EXPECT_EQ(kr_ui_str_to_glyphs(nullptr, g, sizeof g, true), 0u);
    EXPECT_EQ(kr_ui_str_to_glyphs("a", g, 0, true), 0u);

    EXPECT_EQ(kr_str_get_line_count("a\nb\n"), 3u);
    EXPECT_EQ(kr_str_get_line_count(""), 0u);
    EXPECT_EQ(kr_str_get_line_count(nullptr), 0u);
    const char *two = "ab\ncd";
    EXPECT_STREQ(kr_str_next_line(two), "cd");
    EXPECT_STREQ(kr_str_next_line("cd"), "");
    EXPECT_STREQ(kr_uitr(1, "en", "fi"), "fi");
    EXPECT_FALSE(kr_ui_is_visible(-20, 0, 10, 10));
    EXPECT_TRUE(kr_ui_is_visible(-20, 0, 30, 10));
    EXPECT_FALSE(kr_ui_is_visible(0, 721, 10, 10));
}

// Atlases hold ASCII and the six extra letters at scales 1 and 2; every glyph lies inside its atlas;
// a huge pixel size leaves out what does not fit instead of writing past the buffer.
TEST(UiFonts, AtlasesHoldGlyphsAndStayInBounds)
{
    static ui_font_st f1, f2, huge;
    for (int face = 0; face < 2; ++face) {
        ASSERT_TRUE(kr_ui_font_render(&f1, face, 13));
        ASSERT_TRUE(kr_ui_font_render(&f2, face, 26));
        for (int slot = 1; slot < 128; ++slot) {
            const bool printable = slot >= 33 && slot < 127;
            if (!printable && !(slot >= 1 && slot <= 6)) continue;
            for (const ui_font_st *f : {&f1, &f2}) {
                const ui_font_char_st &c = f->ft_char[slot];
                EXPECT_GT(c.size_x, 0) << "face " << face << " slot " << slot;
                EXPECT_GT(c.advance, 0) << "face " << face << " slot " << slot;
                EXPECT_LE(c.atlas_x + c.size_x, f->atlas_w - 2);
                EXPECT_LE(c.atlas_y + c.size_y, f->atlas_h - 2);
            }
        }
        EXPECT_NEAR(f2.ft_char['H'].size_y, 2 * f1.ft_char['H'].size_y, 2);
        EXPECT_EQ(f1.ft_char[' '].size_x, 0);
        EXPECT_GT(f1.ft_char[' '].advance, 0);
    }
    // The tables at scale 2 (a 2400 x 1440 window): glyphs twice as big, line heights still logical.
    kr_ui_input_resize(1200, 720);
    kr_ui_fonts_reload();
    const uint16_t ch1 = font16.char_height;
    const int16_t h1 = font16.ft_char['H'].size_y;
    kr_ui_input_resize(2400, 1440);
    kr_ui_fonts_reload();
    EXPECT_NEAR(font16.char_height, ch1, 1);
    EXPECT_NEAR(font16.ft_char['H'].size_y, 2 * h1, 2);
    EXPECT_NEAR(mono_font108.ft_char['M'].size_y, 2 * 70 * 0.7, 20);
    kr_ui_input_resize(1200, 720);
    kr_ui_dlswap(); // takes the new size: rebuilds the tables at scale 1

    for (int px : {700, 1100}) {
        ASSERT_TRUE(kr_ui_font_render(&huge, 0, px));
        EXPECT_LE(huge.atlas_h, kr_ui_max_texture_size());
        int placed = 0;
        for (const ui_font_char_st &c : huge.ft_char) {
            if (c.size_x == 0) continue;
            ++placed;
            EXPECT_LE(c.atlas_x + c.size_x, 1022);
            EXPECT_LE(c.atlas_y + c.size_y, huge.atlas_h);
        }
        EXPECT_GT(placed, px == 700 ? 20 : -1);
        EXPECT_LT(placed, 128);
    }
}

// Closing the window (here without one): a hold keeps the request pending and forces no redraw;
// released, the next frame ends the process with 1 after a failed run, flushing what was printed.
namespace {
bool hold_close = true;
bool hold() { return hold_close; }
bool failed() { return true; }
} // namespace

TEST(UiClose, HoldThenEndWithRunFailedAndFlushedOutput)
{
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], 1);
        close(fds[0]);
        screen s;
        kr_ui_set_close_hooks(hold, failed);
        for (int i = 0; i < 3; ++i) s.step(0, 0, false); // whatever earlier cases left to draw
        kr_ui_input_close();
        const uint64_t f = kr_ui_frame_count();
        for (int i = 0; i < 10; ++i) s.step(0, 0, false);
        std::printf("held %d\n", (int)(kr_ui_frame_count() - f)); // not flushed: a pipe is buffered
        hold_close = false;
        s.step(0, 0, false); // draws and ends at the frame's swap
        std::printf("not reached\n");
        std::fflush(stdout);
        _exit(7);
    }
    close(fds[1]);
    std::string out;
    char buf[256];
    for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) out.append(buf, (size_t)n);
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    ASSERT_GE(out.size(), 7u);
    EXPECT_EQ(out.substr(out.size() - 7), "held 0\n");
}
