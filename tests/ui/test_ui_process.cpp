// The display test program under Xvfb, driven from outside: xdotool clicks land on the right logical
// points, also after the window is stretched to 2400 x 720 (whose font rebuild prints nothing into the
// log, as the start-up's loading does); the window manager's close message
// ends the program at the next frame with 0, or 1 after a failed job, losing no printed line.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "ui_krcan.h"
#include "ui_x11.h"

namespace {

using uitest::click;
using uitest::send_delete;
using uitest::wait_end;
using uitest::xdotool;

std::string find_window(const e2e::sandbox &box)
{
    std::string out = xdotool(box, {"search", "--sync", "--name", "^krcan$"});
    return out.substr(0, out.find('\n'));
}

} // namespace

TEST(UiProcess, ClicksLandOnLogicalPointsAndCloseEndsWithZero)
{
    UI_REQUIRE_DISPLAY();
    REQUIRE_XDOTOOL();
    e2e::sandbox box;
    e2e::background prog(box, KR_UIPROG_BIN, {});
    ASSERT_TRUE(prog.wait_for_output("ready\n", 60000)) << prog.out() << prog.err();
    const std::string win = find_window(box);
    ASSERT_FALSE(win.empty());

    click(box, win, 300, 200);
    xdotool(box, {"windowsize", win, "2400", "720"});
    ASSERT_TRUE(prog.wait_for_output("size 2400 720\n", 60000)) << prog.out();
    click(box, win, 1200, 300); // window pixels: the logical point (600, 300)
    click(box, win, 2390, 710); // the logical (1195, 710)
    send_delete(win);
    const e2e::result r = wait_end(prog, 30000);
    EXPECT_TRUE(r.exited(0)) << r.exit_code << " signal " << r.signal << "\n" << r.err;
    // Touch lines are printed without flushing: they arrive only if closing flushes.
    for (const char *line : {"touch 1 300 200\n", "touch 4 300 200\n", "touch 1 600 300\n", "touch 4 600 300\n",
                             "touch 1 1195 710\n", "touch 4 1195 710\n"})
        EXPECT_NE(r.out.find(line), std::string::npos) << line << r.out;
    size_t loading = 0;
    for (size_t p = r.out.find("Loading font size"); p != std::string::npos; p = r.out.find("Loading font size", p + 1))
        loading++;
    EXPECT_EQ(loading, 18u) << "nine sizes of two faces at the start only\n" << r.out;
}

TEST(UiProcess, CloseAfterFailedJobEndsWithOne)
{
    UI_REQUIRE_DISPLAY();
    REQUIRE_XDOTOOL();
    e2e::sandbox box;
    e2e::background prog(box, KR_UIPROG_BIN, {"--fail"});
    ASSERT_TRUE(prog.wait_for_output("ready\n", 60000)) << prog.out() << prog.err();
    const std::string win = find_window(box);
    ASSERT_FALSE(win.empty());
    click(box, win, 640, 480);
    send_delete(win);
    const e2e::result r = wait_end(prog, 30000);
    EXPECT_TRUE(r.exited(1)) << r.exit_code << " signal " << r.signal << "\n" << r.err;
    EXPECT_NE(r.out.find("touch 4 640 480\n"), std::string::npos) << r.out;
}

// Without a display the start fails with the window system's reason, and nothing hangs.
TEST(UiProcess, NoDisplaySaysWhyAndFails)
{
    e2e::sandbox box;
    e2e::options o;
    o.env = {{"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}};
    o.timeout_ms = 30000;
    const e2e::result r = box.run(KR_UIPROG_BIN, {}, o);
    EXPECT_TRUE(r.exited(1)) << r.exit_code << " " << r.signal;
    EXPECT_NE(r.err.find("GLFW error"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("display"), std::string::npos) << r.err;
    EXPECT_NE(r.out.find("The display could not start"), std::string::npos) << r.out;
}
