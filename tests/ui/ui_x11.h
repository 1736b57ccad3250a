// What a window manager sends when the user closes a window, for the display tests.
#ifndef KR_UI_X11_H
#define KR_UI_X11_H

#include <X11/Xlib.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "ui_support.h"

namespace uitest {

inline void send_delete(const std::string &win)
{
    Display *dpy = XOpenDisplay(xvfb().display.c_str());
    ASSERT_NE(dpy, nullptr);
    XEvent ev;
    std::memset(&ev, 0, sizeof ev);
    ev.xclient.type = ClientMessage;
    ev.xclient.window = (Window)std::stoul(win);
    ev.xclient.message_type = XInternAtom(dpy, "WM_PROTOCOLS", False);
    ev.xclient.format = 32;
    ev.xclient.data.l[0] = (long)XInternAtom(dpy, "WM_DELETE_WINDOW", False);
    ev.xclient.data.l[1] = CurrentTime;
    XSendEvent(dpy, ev.xclient.window, False, NoEventMask, &ev);
    XFlush(dpy);
    XCloseDisplay(dpy);
}

} // namespace uitest

#endif
