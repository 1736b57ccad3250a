// krcan's own window under the tests' Xvfb, driven from outside: xdotool input, the shown window
// of a process, its pixels read back from the X server, and waiting for state instead of sleeping.
#pragma once

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <gtest/gtest.h>
#include <lodepng.h>

#include <chrono>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ui_support.h"

#define REQUIRE_XDOTOOL()                                               \
    do {                                                                \
        if (uitest::find_program("xdotool").empty()) {                  \
            if (uitest::ci_run()) FAIL() << "xdotool is not installed"; \
            GTEST_SKIP() << "xdotool is not installed";                 \
        }                                                               \
    } while (0)

namespace uitest {

inline std::string xdotool(const e2e::sandbox &box, const std::vector<std::string> &args)
{
    e2e::options o;
    o.timeout_ms = 60000;
    return box.run(find_program("xdotool"), args, o).out;
}

inline int ignore_x_error(Display *, XErrorEvent *) { return 0; }

// The shown 1200 x 720 window of a process (GLFW also makes windows that are never mapped).
inline std::string window_of(const e2e::sandbox &box, pid_t pid)
{
    XSetErrorHandler(ignore_x_error);
    for (int i = 0; i < 600; ++i) {
        std::istringstream ids(xdotool(box, {"search", "--all", "--pid", std::to_string(pid), "--name", "^krcan$"}));
        Display *dpy = XOpenDisplay(xvfb().display.c_str());
        std::string id, found;
        while (dpy && found.empty() && std::getline(ids, id)) {
            XWindowAttributes a;
            if (XGetWindowAttributes(dpy, (Window)std::stoul(id), &a) && a.map_state == IsViewable && a.width == 1200)
                found = id;
        }
        if (dpy) XCloseDisplay(dpy);
        if (!found.empty()) return found;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return "";
}

// A rectangle of another program's window, row by row; empty when it cannot be read.
inline std::vector<color_t> window_rect(const std::string &win, int x0, int y0, int x1, int y1)
{
    std::vector<color_t> px;
    Display *dpy = XOpenDisplay(xvfb().display.c_str());
    if (!dpy) return px;
    XImage *im = XGetImage(dpy, (Window)std::stoul(win), x0, y0, (unsigned)(x1 - x0), (unsigned)(y1 - y0), AllPlanes,
                           ZPixmap);
    if (im) {
        for (int y = 0; y < y1 - y0; ++y)
            for (int x = 0; x < x1 - x0; ++x) px.push_back(0xFF000000u | (color_t)XGetPixel(im, x, y));
        XDestroyImage(im);
    }
    XCloseDisplay(dpy);
    return px;
}

inline std::vector<color_t> window_row(const std::string &win, int y, int x0, int x1)
{
    return window_rect(win, x0, y, x1, y + 1);
}

// The whole window as a PNG, for a failure's record.
inline void window_png(const std::string &win, const std::string &path)
{
    const std::vector<color_t> px = window_rect(win, 0, 0, 1200, 720);
    if (px.size() != 1200u * 720u) return;
    std::vector<unsigned char> rgba;
    for (color_t c : px)
        rgba.insert(rgba.end(), {(unsigned char)(c >> 16), (unsigned char)(c >> 8), (unsigned char)c, 255});
    lodepng_encode32_file(path.c_str(), rgba.data(), 1200, 720);
}

// The first x in the device tab bar's dot row with the colour, -1 when none.
inline int dot_x(const std::string &win, color_t c)
{
    const std::vector<color_t> row = window_row(win, 60, 0, 1200);
    for (size_t x = 0; x < row.size(); ++x)
        if (near(row[x], c, 10)) return (int)x;
    return -1;
}

// A quick click, as a user or a touchpad tap makes it: the back end queues the press and release.
inline void click(const e2e::sandbox &box, const std::string &win, int x, int y)
{
    xdotool(box, {"mousemove", "--window", win, std::to_string(x), std::to_string(y), "click", "1"});
}

template <typename F> bool wait_until(F f, int ms)
{
    const auto t0 = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - t0 < std::chrono::milliseconds(ms)) {
        if (f()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return f();
}

using e2e::wait_end;

} // namespace uitest
