// Display tests: one Xvfb per test program (started on first use, -displayfd, software GL), the
// small widgets that the tests and the display test program draw, and the busy screen.
#pragma once

#include <gtest/gtest.h>
#include <lodepng.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "e2e/e2e.h"
#include "kr_ui.h"
#include "ui/kr_ui_hooks.h"
#include "ui/kr_uidisplay.h"
#include "ui_widgets.h"

namespace uitest {

inline std::string find_program(const char *name)
{
    const char *path = getenv("PATH");
    std::string p = path && *path ? path : "/usr/bin:/bin";
    p += ":/usr/bin";
    size_t start = 0;
    while (start <= p.size()) {
        size_t end = p.find(':', start);
        if (end == std::string::npos) end = p.size();
        std::string f = p.substr(start, end - start) + "/" + name;
        if (access(f.c_str(), X_OK) == 0) return f;
        start = end + 1;
    }
    return "";
}

// CI installs Xvfb: there a missing one is a failure, elsewhere the display tests skip.
inline bool ci_run() { return getenv("KR_CI") || getenv("CI"); }

struct xserver {
    e2e::sandbox box;
    std::unique_ptr<e2e::background> proc;
    std::string display; // ":N", empty when none could start
    std::string error;
};

inline xserver &xvfb()
{
    static xserver x;
    static bool started = false;
    if (started) return x;
    started = true;
    const std::string bin = find_program("Xvfb");
    if (bin.empty()) {
        x.error = "Xvfb is not installed";
        return x;
    }
    x.proc = std::make_unique<e2e::background>(x.box, bin,
                                               std::vector<std::string>{"-displayfd", "1", "-screen", "0",
                                                                        "2560x1440x24", "-nolisten", "tcp",
                                                                        "-noreset"});
    const std::string n = x.proc->read_line(30000);
    if (n.empty()) {
        x.error = "Xvfb did not start: " + x.proc->err();
        return x;
    }
    x.display = ":" + n;
    setenv("DISPLAY", x.display.c_str(), 1);
    setenv("LIBGL_ALWAYS_SOFTWARE", "1", 1);
    return x;
}

// Use at the start of a display test: starts Xvfb or skips (fails on CI).
#define UI_REQUIRE_DISPLAY()                          \
    do {                                              \
        auto &x_ = uitest::xvfb();                    \
        if (x_.display.empty()) {                     \
            if (uitest::ci_run()) FAIL() << x_.error; \
            GTEST_SKIP() << x_.error;                 \
        }                                             \
    } while (0)

// A PNG of four coloured quadrants (red, green / blue, white), top row first.
inline std::vector<unsigned char> quadrant_png(unsigned w, unsigned h)
{
    std::vector<unsigned char> px((size_t)w * h * 4);
    for (unsigned y = 0; y < h; ++y)
        for (unsigned x = 0; x < w; ++x) {
            const bool right = x >= w / 2, bottom = y >= h / 2;
            color_t c = !bottom ? (right ? 0xFF00FF00 : 0xFFFF0000) : (right ? 0xFFFFFFFF : 0xFF0000FF);
            unsigned char *p = &px[((size_t)y * w + x) * 4];
            p[0] = (unsigned char)(c >> 16);
            p[1] = (unsigned char)(c >> 8);
            p[2] = (unsigned char)c;
            p[3] = 0xFF;
        }
    unsigned char *out = nullptr;
    size_t len = 0;
    lodepng_encode32(&out, &len, px.data(), w, h);
    std::vector<unsigned char> v(out, out + len);
    std::free(out);
    return v;
}

// Colour channels within a tolerance (software GL blends and filters).
inline bool near(color_t got, color_t want, int tol = 24)
{
    for (int s = 0; s < 24; s += 8) {
        int a = (int)((got >> s) & 0xFF), b = (int)((want >> s) & 0xFF);
        if (std::abs(a - b) > tol) return false;
    }
    return true;
}

// Every pixel of a window-pixel region has (or none has, with `all` false: at least one has) the colour.
inline bool region_is(int x0, int y0, int x1, int y1, color_t want, int tol = 24)
{
    for (int y = y0; y < y1; ++y)
        for (int x = x0; x < x1; ++x)
            if (!near(kr_ui_captured_pixel(x, y), want, tol)) return false;
    return true;
}

inline int count_in_region(int x0, int y0, int x1, int y1, color_t want, int tol = 24)
{
    int n = 0;
    for (int y = y0; y < y1; ++y)
        for (int x = x0; x < x1; ++x)
            if (near(kr_ui_captured_pixel(x, y), want, tol)) ++n;
    return n;
}

// Events for the toolkit's script, played one poll a display step (a modal loop's too).
inline void script_idle(int polls)
{
    for (int i = 0; i < polls; ++i) kr_ui_script_push(KR_UI_EV_POLL, 0, 0);
}

// A quick click at window pixels, press and release in one poll, past the dead time after the last
// release; two more polls let both reach the touch machine.
inline void script_click(int x, int y)
{
    script_idle(8);
    kr_ui_script_push(KR_UI_EV_CURSOR, x, y);
    kr_ui_script_push(KR_UI_EV_BUTTON, 1, 0);
    kr_ui_script_push(KR_UI_EV_BUTTON, 0, 0);
    script_idle(2);
}

} // namespace uitest
