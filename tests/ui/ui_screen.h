// The display of the widget tests: started once per program, a screen whose step callback records
// what the application sees in each step walk, and clicks through the back end's input handlers.
#pragma once

#include <cstring>
#include <vector>

#include "ui_support.h"

namespace {

bool display_up()
{
    static int state = 0;
    if (state == 0) {
        state = kr_ui_init() ? 1 : 2;
        kr_ui_capture(true);
    }
    return state == 1;
}

#define START_DISPLAY()   \
    UI_REQUIRE_DISPLAY(); \
    ASSERT_TRUE(display_up())

void drain_keys()
{
    while (kr_ui_get_key_press() != 0) {
    }
}

// A display with a step callback that records what the application sees in each step walk.
struct screen {
    kr_uidisplay_st d;
    kr_uiobject_st *children[16];
    std::vector<int> seen; // one entry per step walk, filled by `probe`
    int (*probe)(screen *) = nullptr;
    void *ctx = nullptr;

    static kr_uiobject_ret_e app_step(void *p, uint16_t)
    {
        screen *s = (screen *)p;
        if (s->probe) s->seen.push_back(s->probe(s));
        return UIOBJECT_RETURN_ALIVE;
    }
    screen()
    {
        std::memset((void *)&d, 0, sizeof d);
        std::memset(children, 0, sizeof children);
        kr_ui_input_button(false);
        kr_ui_script_clear();
        drain_keys();
        kr_uidisplay_init(&d, children, nullptr);
        kr_uiwindow_set_stepcallback(&d.super, app_step, this);
        settle();
    }
    void step(int n = 1)
    {
        for (int i = 0; i < n; ++i) kr_uidisplay_step(&d, 20);
    }
    void settle() { step(8); } // past the dead time after init
    // Press at (x, y), hold for the press step and `held` more, release; then one more step. Held
    // for no step, it is a click quicker than a step.
    void click(int x, int y, int held = 0)
    {
        step(6); // past the dead time after a release
        kr_ui_input_cursor(x, y);
        kr_ui_input_button(true);
        if (held) step(1 + held);
        kr_ui_input_button(false);
        step(held ? 1 : 2);
    }
    void redraw()
    {
        kr_ui_refresh(&d.super.super);
        step(1);
    }
};

int count(const std::vector<int> &v, int x)
{
    int n = 0;
    for (int e : v) n += e == x;
    return n;
}

} // namespace
