// The CAN configuration window in process (the CAN port's calls answered here through the linker's
// --wrap) and the krcan binary's window under Xvfb.
#include <GLFW/glfw3.h>
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "kr_can.h"
#include "ui/kr_uiconfwindow.h"
#include "ui/kr_uitextedit.h"
#include "ui_support.h"
#include "ui_x11.h"
#include "run/stdout_of.h"

#include <X11/Xlib.h>

// Each start and end of the window leaves a few bytes in the GL driver's unloaded modules; the
// toolkit's own leaks are checked by the other display test programs, which start it once.
extern "C" int __lsan_is_turned_off() { return 1; }

namespace {

struct fake_dev {
    std::string name;
    bool can, virt;
    uint32_t netdev_rate;
};

struct fake_port {
    std::vector<fake_dev> devs;
    std::string current;
    uint32_t baud = 0;
    std::vector<std::string> set_devs;
    std::vector<uint32_t> rates;
    std::vector<std::string> created;
    bool create_ok = false;
    uint32_t new_rate = 0;
} port;

void reset_port(std::vector<fake_dev> devs, const std::string &current)
{
    kr_ui_script_clear();
    port = fake_port{};
    port.devs = std::move(devs);
    port.current = current;
}

const fake_dev *find_dev(const char *name)
{
    for (auto &d : port.devs)
        if (name && d.name == name) return &d;
    return nullptr;
}

} // namespace

extern "C" {
int32_t __wrap_kr_can_get_device_count(void) { return (int32_t)port.devs.size(); }
const char *__wrap_kr_can_get_device_name(int32_t i)
{
    return i >= 0 && i < (int32_t)port.devs.size() ? port.devs[(size_t)i].name.c_str() : nullptr;
}
bool __wrap_kr_can_device_is_can(const char *n) { return find_dev(n) && find_dev(n)->can; }
bool __wrap_kr_can_device_is_virtual(const char *n) { return find_dev(n) && find_dev(n)->virt; }
const char *__wrap_kr_can_get_dev(void) { return port.current.c_str(); }
bool __wrap_kr_can_set_dev(const char *n)
{
    port.current = n ? n : "";
    port.set_devs.push_back(port.current);
    return true;
}
uint32_t __wrap_kr_can_get_baudrate(kr_can_channels_e) { return port.baud; }
uint32_t __wrap_kr_can_get_netdev_baudrate(kr_can_channels_e n)
{
    const fake_dev *d = find_dev(n);
    return d ? d->netdev_rate : 0;
}
bool __wrap_kr_can_set_baudrate(kr_can_channels_e, uint32_t b)
{
    port.baud = b;
    port.rates.push_back(b);
    return true;
}
bool __wrap_kr_can_create_vcan(const char *name, char *err, size_t err_len)
{
    port.created.push_back(name);
    if (!port.create_ok) {
        std::snprintf(err, err_len, "Operation not permitted");
        return false;
    }
    port.devs.push_back({name, true, true, port.new_rate});
    return true;
}
}

namespace {

using uitest::script_click;
using uitest::script_idle;

void script_ok()
{
    script_idle(3);
    kr_ui_script_push(KR_UI_EV_KEY, GLFW_KEY_ENTER, 0);
    script_idle(1);
}

constexpr int CAN_BTN[2] = {360, 90}, CREATE_BTN[2] = {960, 270};

// Runs the window with standard output captured.
bool run_window(std::string &out)
{
    bool ok = false;
    out = stdout_of([&] { ok = kr_uiconfwindow_run(nullptr); });
    return ok;
}

} // namespace

// No devices: the list holds "NONE" and OK (by Return, the focused button) makes it the device.
// Rates 800000 and 0 start at 250k and OK applies 250000; a failed creation shows its reason and
// keeps the window; vcan0, vcan7 and vcanx propose vcan8.
TEST(UiConfWindow, NoneDefaultsAndFailedCreation)
{
    UI_REQUIRE_DISPLAY();
    reset_port({}, "can0");
    script_ok();
    std::string out;
    ASSERT_TRUE(run_window(out)) << out;
    EXPECT_NE(out.find("Closed the configuration UI\n"), std::string::npos) << out;
    ASSERT_FALSE(port.set_devs.empty());
    EXPECT_EQ(port.set_devs.back(), "NONE");
    EXPECT_EQ(port.rates.back(), 250000u);
    EXPECT_EQ(kr_ui_script_pending(), 0u);

    reset_port({{"vcan0", true, true, 0},
                {"eth0", false, false, 0},
                {"can0", true, false, 800000},
                {"vcan7", true, true, 0},
                {"vcanx", true, true, 0}},
               "can0");
    script_click(CREATE_BTN[0], CREATE_BTN[1]);
    script_ok();
    ASSERT_TRUE(run_window(out)) << out;
    ASSERT_EQ(port.created.size(), 1u);
    EXPECT_EQ(port.created[0], "vcan8");
    EXPECT_NE(out.find("Could not create virtual CAN bus 'vcan8': Operation not permitted\n"), std::string::npos)
        << out;
    EXPECT_EQ(port.set_devs.back(), "can0"); // the real adapter is listed first and stays chosen
    EXPECT_EQ(port.rates.back(), 250000u);
}

// A created bus becomes the device and the window is built again with it chosen, at its own rate;
// clicking the device button walks the list and applies each device's rate; a number that cannot
// be followed is not proposed from.
TEST(UiConfWindow, CreatedBusRebuildsAndDeviceClicksApplyRates)
{
    UI_REQUIRE_DISPLAY();
    reset_port({{"vcan3", true, true, 0}, {"vcan2147483647", true, true, 0}}, "vcan3");
    port.create_ok = true;
    port.new_rate = 500000;
    script_click(CREATE_BTN[0], CREATE_BTN[1]);
    script_ok();
    std::string out;
    ASSERT_TRUE(run_window(out)) << out;
    ASSERT_EQ(port.created.size(), 1u);
    EXPECT_EQ(port.created[0], "vcan4");
    EXPECT_NE(out.find("Created virtual CAN bus 'vcan4'\n"), std::string::npos) << out;
    EXPECT_EQ(port.set_devs.back(), "vcan4");
    EXPECT_EQ(port.rates.back(), 500000u);

    reset_port({{"a", true, false, 125000}, {"b", true, false, 1000000}, {"c", true, false, 0}}, "a");
    script_click(CAN_BTN[0], CAN_BTN[1]);
    script_click(CAN_BTN[0], CAN_BTN[1]);
    script_ok();
    ASSERT_TRUE(run_window(out)) << out;
    const std::vector<std::string> want_devs = {"b", "c", "c"};
    EXPECT_EQ(port.set_devs, want_devs);
    // The rate re-applied at build, then b's, c's (none of the list: 250k), and OK's.
    const std::vector<uint32_t> want_rates = {0, 1000000, 250000, 250000};
    EXPECT_EQ(port.rates, want_rates);
}

// A socketcand address typed on the on-screen keyboard into the name field is used, not created: it is
// listed and chosen, and OK keeps it as the bus.
TEST(UiConfWindow, ASocketcandAddressIsUsed)
{
    UI_REQUIRE_DISPLAY();
    reset_port({{"can0", true, false, 0}}, "can0");
    const std::string digits = "1234567890", shifted = "/:\"?=.-_@&", letters = "qwertyuiopasdfghjklzxcvbnm";
    auto key = [](int16_t k) {
        const kr_bounding_box_st b = kr_uikeyboard_key_geometry(k);
        script_click(b.x + b.w / 2, b.y + b.h / 2);
    };
    script_click(360, 270); // the name field
    for (int i = 0; i < 6; ++i) key(KEY_BACKSPACE);
    key(KEY_SHIFT); // off the capital an empty field starts with
    const std::string bus = "socketcand://127.0.0.1/vcan0";
    for (char c : bus) {
        if (shifted.find(c) != std::string::npos) {
            key(KEY_SHIFT);
            key((int16_t)shifted.find(c));
            key(KEY_SHIFT);
        } else {
            key((int16_t)(digits.find(c) != std::string::npos ? digits.find(c) : 10 + letters.find(c)));
        }
    }
    key(KEY_ENTER);
    script_click(CREATE_BTN[0], CREATE_BTN[1]);
    script_ok();
    std::string out;
    ASSERT_TRUE(run_window(out)) << out;
    EXPECT_TRUE(port.created.empty()) << port.created[0];
    EXPECT_EQ(port.set_devs.back(), bus) << out;
    EXPECT_NE(out.find("Using the CAN bus '" + bus + "'"), std::string::npos) << out;
}

// Without a display the window says why and fails at once instead of waiting for an OK.
TEST(UiConfWindow, NoDisplayFails)
{
    UI_REQUIRE_DISPLAY();
    const std::string keep = getenv("DISPLAY");
    unsetenv("DISPLAY");
    reset_port({}, "can0");
    std::string out;
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(run_window(out));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
    setenv("DISPLAY", keep.c_str(), 1);
    EXPECT_NE(out.find("Could not open the CAN configuration window: no display"), std::string::npos) << out;
    EXPECT_TRUE(port.set_devs.empty());
}

namespace {

std::string xdotool(const e2e::sandbox &box, const std::vector<std::string> &args)
{
    e2e::options o;
    o.timeout_ms = 30000;
    e2e::result r = box.run(uitest::find_program("xdotool"), args, o);
    EXPECT_TRUE(r.exited(0)) << "xdotool";
    return r.out;
}

// A window that goes away while xdotool looks at it fails that search (BadWindow): it is searched again.
std::string find_window(const e2e::sandbox &box)
{
    e2e::options o;
    o.timeout_ms = 30000;
    for (int i = 0; i < 20; ++i) {
        const e2e::result r = box.run(uitest::find_program("xdotool"), {"search", "--sync", "--name", "^krcan$"}, o);
        if (r.exited(0) && !r.out.empty()) return r.out.substr(0, r.out.find('\n'));
    }
    return "";
}

using uitest::send_delete;

// The window takes input once both font sets are loaded.
bool wait_ready(e2e::background &prog)
{
    const auto t0 = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - t0 < std::chrono::seconds(60)) {
        const std::string o = prog.out();
        const size_t first = o.find("Loading font size 70... done");
        if (first != std::string::npos && o.find("Loading font size 70... done", first + 1) != std::string::npos) {
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
            return true;
        }
        if (!prog.running()) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

using e2e::wait_end;

} // namespace

// `krcan --ui`: OK closes the window and the run goes on to the main window; the window manager's
// close ends the program with 0; without a display the run says why and fails at once.
TEST(UiConfWindow, KrcanUiRuns)
{
    UI_REQUIRE_DISPLAY();
    if (uitest::find_program("xdotool").empty()) {
        if (uitest::ci_run()) FAIL() << "xdotool is not installed";
        GTEST_SKIP() << "xdotool is not installed";
    }
    {
        e2e::sandbox box;
        e2e::background prog(box, KRCAN_BIN, {"--ui"});
        const std::string win = find_window(box);
        ASSERT_FALSE(win.empty());
        ASSERT_TRUE(wait_ready(prog)) << prog.out() << prog.err();
        xdotool(box, {"mousemove", "--window", win, "1080", "630", "click", "1"});
        // The main window opens on the chosen channel; closing it ends the run.
        ASSERT_TRUE(prog.wait_for_output("Loading embedded bitmap 'korvane_bg'", 60000)) << prog.out() << prog.err();
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        send_delete(find_window(box));
        e2e::result r = wait_end(prog, 30000);
        EXPECT_NE(r.out.find("Closed the configuration UI\n"), std::string::npos) << r.out << r.err;
        EXPECT_TRUE(r.exited(0)) << r.out << r.err;
    }
    {
        e2e::sandbox box;
        e2e::background prog(box, KRCAN_BIN, {"--ui"});
        const std::string win = find_window(box);
        ASSERT_FALSE(win.empty());
        ASSERT_TRUE(wait_ready(prog)) << prog.out() << prog.err();
        send_delete(win);
        e2e::result r = wait_end(prog, 30000);
        EXPECT_TRUE(r.exited(0)) << r.out << r.err;
        EXPECT_EQ(r.out.find("Closed the configuration UI"), std::string::npos) << r.out;
    }
    {
        e2e::sandbox box;
        e2e::options o;
        o.env = {{"DISPLAY", ""}};
        o.timeout_ms = 5000;
        e2e::result r = box.run(KRCAN_BIN, {"--ui"}, o);
        EXPECT_TRUE(r.exited(1)) << r.out << r.err;
        EXPECT_NE(r.out.find("Could not open the CAN configuration window: no display"), std::string::npos)
            << r.out << r.err;
        EXPECT_EQ(r.out.find("main window"), std::string::npos) << r.out;
    }
}
