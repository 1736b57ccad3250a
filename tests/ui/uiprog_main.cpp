// The display test program: shows the busy screen and prints every touch it gets as
// "touch ACTION X Y" (logical screen coordinates). "--fail" marks the run failed first, so closing
// the window must end it with status 1. Touch lines are not flushed: closing must not lose them.
// A new window size is printed (flushed) once the program reads input again after it.
#include <cstdio>
#include <cstring>
#include <vector>

#include "kr_rtos.h"
#include "run/main.h"
#include <lodepng.h>

#include <cstdlib>

#include "ui/kr_ui_hooks.h"
#include "ui_widgets.h"

namespace {

struct logger {
    kr_uiobject_st super;
};

void logger_touch(kr_uiobject_st *, kr_touch_st *t)
{
    if (t->action != TOUCH_NONE && t->action != TOUCH_IS_DOWN) std::printf("touch %d %d %d\n", t->action, t->x, t->y);
}

} // namespace

int main(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--fail") == 0) main_set_run_failed();
    kr_ui_set_close_hooks(nullptr, main_run_failed);
    if (!kr_ui_init()) {
        std::printf("The display could not start\n");
        return 1;
    }
    std::vector<unsigned char> png;
    {
        // A 40 x 30 picture of one colour is enough here; the tests check pixels in process.
        std::vector<unsigned char> px(40 * 30 * 4, 0xFF);
        unsigned char *out = nullptr;
        size_t len = 0;
        lodepng_encode32(&out, &len, px.data(), 40, 30);
        png.assign(out, out + len);
        std::free(out);
    }
    static uiw::busy_screen screen;
    uiw::busy_screen_init(&screen, png.data(), (uint32_t)png.size());
    static logger log;
    std::memset(&log, 0, sizeof log);
    kr_uiobject_init(&log.super);
    log.super.vrtl_touch = logger_touch;
    kr_uiwindow_addxy(&screen.display.super, &log.super, 0, 0, UI_SCREEN_WIDTH, UI_SCREEN_HEIGHT);

    kr_uidisplay_step(&screen.display, 20);
    std::printf("ready\n");
    std::fflush(stdout);
    int32_t width = kr_ui_window_width(), height = kr_ui_window_height();
    for (;;) {
        kr_uidisplay_step(&screen.display, 20);
        if (kr_ui_window_width() != width || kr_ui_window_height() != height) {
            // The step that saw the new size has drawn with rebuilt fonts: input is read again now.
            width = kr_ui_window_width();
            height = kr_ui_window_height();
            std::printf("size %d %d\n", (int)width, (int)height);
            std::fflush(stdout);
        }
        kr_rtos_task_delay(20);
    }
}
