// Display benchmarks, in the release tree under Xvfb with llvmpipe:
//   xvfb-run -a -s "-screen 0 1280x800x24" build-release/bench_ui
// Everything runs in one RTOS task beside the library task, as the window does.
#include <GL/glew.h>
#include <fcntl.h>
#include <lodepng.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench_support.h"
#include "kr_rtos.h"
#include "kr_ui.h"
#include "ui/kr_ui_hooks.h"
#include "ui_widgets.h"

extern "C" void __real__kr_canopen_step(uint32_t step_ms);

namespace {

using bench::mono_ms;
using bench::cpu_ms;
using bench::percentile;
using bench::quiet_stdout;

constexpr size_t MAX_STEPS = 1u << 20;
double *step_times;
size_t step_count;
bool recording;

void atlases()
{
    for (double scale : {1.0, 2.0}) {
        kr_ui_input_resize((int32_t)(1200 * scale), (int32_t)(720 * scale)); // scale only; the window stays
        std::vector<double> t;
        for (int i = 0; i < 5; ++i) {
            quiet_stdout q;
            const double t0 = mono_ms();
            kr_ui_fonts_reload();
            glFinish();
            t.push_back(mono_ms() - t0);
        }
        std::printf("all 18 atlases at scale %.0f: median %.1f ms (goal at scale 1: 50 ms)\n", scale,
                    percentile(t, 0.5));
    }
    kr_ui_input_resize(1200, 720);
    quiet_stdout q;
    kr_ui_dlswap(); // rebuilds the atlases at scale 1
}

void long_text()
{
    std::string text;
    for (int i = 0; i < 1000; ++i) {
        char line[96];
        std::snprintf(line, sizeof line, "%04d %-74.74s\n", i,
                      "0123456789 abcdefghijklmnopqrstuvwxyz ABCDEFGHIJKLMNOPQRSTUVWXYZ !?()[]{}<>=+-*/");
        text += line;
    }
    const int ch = UI_MONO_FONT->char_height;
    for (bool masked : {true, false}) {
        std::vector<double> t, cpu_side;
        for (int i = 0; i < 60; ++i) {
            kr_ui_clear(0xFF000000);
            if (masked) kr_ui_set_mask(10, 100, 1180, 30 * ch);
            glFinish();
            const double t0 = mono_ms();
            // Scrolled to line 500: the visible part is in the middle of the text.
            kr_ui_draw_string(text.c_str(), UI_MONO_FONT, 10, 100 - 500 * ch, ALIGN_TOP_LEFT, 0xFFFFFFFF);
            const double t1 = mono_ms();
            glFinish();
            t.push_back(mono_ms() - t0);
            cpu_side.push_back(t1 - t0);
            kr_ui_dlswap();
        }
        std::printf("1000 lines x 80 columns %s: median %.3f ms, p99 %.3f ms, of which layout and upload median "
                    "%.3f ms%s\n",
                    masked ? "through a 30-line mask" : "unmasked", percentile(t, 0.5), percentile(t, 0.99),
                    percentile(cpu_side, 0.5), masked ? " (goal: 2 ms)" : "");
    }
}

uiw::busy_screen screen;

void busy_redraw()
{
    std::vector<double> t;
    for (int i = 0; i < 300; ++i) {
        kr_ui_refresh(&screen.display.super.super);
        const double t0 = mono_ms();
        kr_uidisplay_step(&screen.display, 20);
        glFinish();
        t.push_back(mono_ms() - t0);
    }
    std::printf("busy screen full redraw (300 shapes, 60 text lines, bitmaps, nested scrolled windows): p50 %.2f ms, "
                "p99 %.2f ms, worst %.2f ms (goal: p99 under 20 ms)\n",
                percentile(t, 0.5), percentile(t, 0.99), *std::max_element(t.begin(), t.end()));
}

void idle()
{
    // The library task alone first: the display's share is the difference.
    const double lw0 = mono_ms(), lc0 = cpu_ms();
    kr_rtos_task_delay(5000);
    const double lib = 100.0 * (cpu_ms() - lc0) / (mono_ms() - lw0);
    std::printf("library task alone for 5 s: CPU %.3f%% of one core\n", lib);
    const uint64_t f0 = kr_ui_frame_count();
    const double wall0 = mono_ms(), cpu0 = cpu_ms();
    while (mono_ms() - wall0 < 10000) {
        kr_uidisplay_step(&screen.display, 20);
        kr_rtos_task_delay(20);
    }
    const double wall = mono_ms() - wall0, cpu = cpu_ms() - cpu0;
    std::printf("idle for %.1f s of 20 ms steps: %llu frames drawn, CPU %.3f%% of one core with the library task, "
                "%.3f%% for the display (goal: no frame, under 1%%)\n",
                wall / 1e3, (unsigned long long)(kr_ui_frame_count() - f0), 100.0 * cpu / wall,
                100.0 * cpu / wall - lib);
}

void library_gaps()
{
    step_count = 0;
    recording = true;
    const double wall0 = mono_ms();
    int frames = 0;
    while (mono_ms() - wall0 < 5000) {
        kr_ui_refresh(&screen.display.super.super);
        kr_uidisplay_step(&screen.display, 20);
        ++frames;
        kr_rtos_task_delay(20);
    }
    recording = false;
    std::vector<double> gaps;
    for (size_t i = 1; i < step_count; ++i) gaps.push_back(step_times[i] - step_times[i - 1]);
    if (gaps.empty()) return;
    std::printf("library task while the busy screen redraws every step (%d frames in 5 s): step period median "
                "%.3f ms, p99 %.3f ms, longest gap %.3f ms\n",
                frames, percentile(gaps, 0.5), percentile(gaps, 0.99), *std::max_element(gaps.begin(), gaps.end()));
}

void display_task(void *)
{
    bool ok;
    {
        quiet_stdout q;
        ok = kr_ui_init();
    }
    if (!ok) {
        std::printf("The display could not start (run under Xvfb: xvfb-run -a build-release/bench_ui)\n");
        std::exit(1);
    }
    std::vector<unsigned char> png;
    {
        std::vector<unsigned char> px(40 * 30 * 4, 0xC0);
        unsigned char *out = nullptr;
        size_t len = 0;
        lodepng_encode32(&out, &len, px.data(), 40, 30);
        png.assign(out, out + len);
        std::free(out);
    }
    {
        quiet_stdout q;
        uiw::busy_screen_init(&screen, png.data(), (uint32_t)png.size());
        kr_uidisplay_step(&screen.display, 20);
    }
    atlases();
    long_text();
    busy_redraw();
    idle();
    library_gaps();
    std::printf("GL errors: %u\n", kr_ui_gl_error_count());
    std::fflush(stdout);
    std::exit(0);
}

} // namespace

extern "C" void __wrap__kr_canopen_step(uint32_t step_ms)
{
    if (recording && step_count < MAX_STEPS) step_times[step_count++] = mono_ms();
    __real__kr_canopen_step(step_ms);
}

int main()
{
    step_times = new double[MAX_STEPS];
    kr_init(nullptr);
    kr_rtos_task_create(display_task, "display", 51200, nullptr, 2, nullptr);
    kr_rtos_start_scheduler();
    return 1;
}
