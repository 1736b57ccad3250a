// The main window: krcan itself under Xvfb on simulated devices (state dots from heartbeats, the
// update notice, refused command lines), closing during a job in a child copy of this program
// (held, forced, temporary folders, every line out), and in process the tab bar's labels,
// shortening and hit-testing, main tabs kept during a job, the log strip answering prompts, and the
// device-selection and version-notes dialogs.
#include <GLFW/glfw3.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>

#include "../../src/ui/krui_internal.h"
#include "../../src/ui/versionnotes_internal.h"
#include "run/commands.h"
#include "run/console.h"
#include "ui/devsel.h"
#include "ui/kr_uitextedit.h"
#include "firmware/firmware_loader.h"
#include "params/loadparam.h"
#include "system/package.h"
#include "online/selfupdate.h"
#include "sim_setup.h"
#include "system/system.h"
#include "system/package_builder.h"
#include "ui_krcan.h"
#include "ui_support.h"
#include "ui_x11.h"

namespace fs = std::filesystem;

// The in-process window's tasks and the GL driver's threads still run when the program ends, and the
// leak check's stop-the-world has faulted on them under load (after every test had passed).
extern "C" int __lsan_is_turned_off() { return 1; }

// The window's view of running jobs, set by the tests (linked in place of the tabs' own).
static std::atomic<bool> fake_busy{false};
extern "C" bool __wrap_devicetab_is_busy(void) { return fake_busy; }
extern "C" bool __wrap_settingstab_is_busy(void) { return false; }

namespace {

constexpr color_t kOp = 0xFF22B14C, kPreop = 0xFFF2C200, kOffline = 0xFF888888;

using uitest::dot_x;
using uitest::send_delete;
using uitest::wait_end;
using uitest::wait_until;
using uitest::window_of;
using uitest::window_row;

} // namespace

// ---- krcan under Xvfb on simulated devices ----

TEST(KruiProcess, DotsFollowHeartbeatsUpdateNoticeAndRefusals)
{
    e2e::sandbox box;
    // Refused before any window: nothing after the window would ever run.
    e2e::result r = box.krcan({"--can", "vcan0", "--ui", "--find"});
    EXPECT_TRUE(r.exited(1)) << r.out;
    EXPECT_NE(r.out.find("'find' is given after 'ui'"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("Initializing GLFW"), std::string::npos) << r.out;
    // No display: said on the console's standard error, not lost in the log, and the run fails.
    e2e::options nod;
    nod.env = {{"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}};
    nod.timeout_ms = 60000;
    r = box.krcan({"--can", "socketcand://127.0.0.1:1/vcan0", "--ui"}, nod);
    EXPECT_TRUE(r.exited(1)) << r.out << r.err;
    EXPECT_NE(r.err.find("the window could not be opened: no display"), std::string::npos) << r.err;

    UI_REQUIRE_DISPLAY();
    REQUIRE_XDOTOOL();
    sim_setup_st bus;
    std::string err;
    sim_device_config_st op, third;
    op.node_id = 0x10;
    op.start_operational = true;
    op.heartbeat_ms = 200;
    third.node_id = 0x20;
    third.vendor = 5;
    third.heartbeat_ms = 200;
    ASSERT_TRUE(sim_setup_start(bus, {op, third}, 0, err)) << err;

    fs::create_directories(box.path("bin"));
    fs::create_symlink(KR_BIN_DIR "/kr_curl_standin", box.path("bin/curl"));
    const std::string newer = std::to_string(selfupdate_this_version() + 100000u);
    box.write_file("manifest", R"({"version":)" + newer +
                                   R"(,"name":"339-gabcd","file":"krcan-339.tar.gz",)"
                                   R"("notes":"Faster block transfers"})");
    e2e::options o;
    o.path_prepend = {box.path("bin").string()};
    o.env = {{"KR_CURL_LOG", box.path("curl.log").string()},
             {"KR_CURL_BODY", box.path("manifest").string()},
             {"KR_CURL_PRINT", "200"}};
    e2e::background prog(box, KRCAN_BIN, {"--can", bus.channel, "--ui"}, o);
    const std::string win = window_of(box, prog.pid());
    ASSERT_FALSE(win.empty()) << prog.out() << prog.err();

    EXPECT_TRUE(prog.wait_for_output("A newer krcan is available: 339-gabcd (build " + newer + ")", 60000))
        << prog.out();
    EXPECT_TRUE(prog.wait_for_output(std::string("  ") + SELFUPDATE_APPLY_TEXT, 10000)) << prog.out();
    EXPECT_NE(prog.out().find("  Faster block transfers"), std::string::npos);

    // 0x10 operational (green) left of 0x20, a third-party device in pre-operational (yellow).
    int green = -1, yellow = -1;
    EXPECT_TRUE(wait_until(
        [&] {
            green = dot_x(win, kOp);
            yellow = dot_x(win, kPreop);
            return green > 0 && yellow > 0;
        },
        60000))
        << prog.out();
    EXPECT_LT(green, yellow);
    // A stopped heartbeat greys that dot only.
    sim_dev_set_heartbeat(bus.devs, 0x10, 0);
    EXPECT_TRUE(wait_until([&] { return dot_x(win, kOp) < 0; }, 30000));
    const std::vector<color_t> row = window_row(win, 60, 0, 1200);
    ASSERT_GT(row.size(), (size_t)green + 2);
    EXPECT_TRUE(uitest::near(row[green + 1], kOffline, 12)) << std::hex << row[green + 1];
    EXPECT_GE(dot_x(win, kPreop), 0);

    send_delete(win);
    r = wait_end(prog, 30000);
    EXPECT_TRUE(r.exited(0)) << r.exit_code << " " << r.signal << r.err;
    EXPECT_NE(r.out.find("Found third-party device at node 0x20"), std::string::npos) << r.out;
    sim_setup_stop(bus);
}

// ---- Closing during a job, in a child copy of this program ----

TEST(KruiChild, Run)
{
    const char *mode = getenv("KRUI_CHILD");
    if (!mode) GTEST_SKIP() << "runs as the child of KruiClose";
    const fs::path dir = getenv("KRUI_DIR");
    fake_busy = true;
    char tmp[1024];
    ASSERT_TRUE(system_mktempdir("krcan_sys_", tmp, sizeof tmp));
    loadparam_set_title("Saving parameters from pump..."); // the parameter runs' titles reach the strip
    // A flash waiting for its device (no scheduler runs here) holds its private firmware copy.
    const std::string pkg = (dir / "fw.krdev").string();
    ASSERT_TRUE(pkgtest::write_zip(pkg, {pkgtest::file("krdev.json", R"({"FIRMWARE": "fw.bin", "VERSION": "1"})"),
                                         pkgtest::file("fw.bin", "image")}));
    if (std::string(mode) != "force-save") {
        ASSERT_TRUE(load_flash_krdev_to_node(pkg.c_str(), 0x20, true));
    }
    ASSERT_TRUE(krui_start());
    std::printf("tmpdir %s\nready\n", tmp);
    std::fflush(stdout);
    for (;;) {
        if (fake_busy && fs::exists(dir / "idle")) {
            // Lines still in the capture pipe when the process ends must reach the console.
            for (int i = 0; i < 3000; ++i) std::printf("burst line %d\n", i);
            std::printf("last line\n");
            fake_busy = false;
        }
        krui_frame(true);
    }
}

// Where the log strip frame's top line starts, right of its title; -1 when not found.
int log_title_end(const std::string &win)
{
    for (int y = 600; y < 700; y++) {
        const std::vector<color_t> row = window_row(win, y, 0, 1180);
        int x = (int)row.size();
        while (x > 0 && uitest::near(row[x - 1], 0xFFFFFFFF, 40)) x--;
        if (x < 1000 && x > 20) return x;
    }
    return -1;
}

// A close during a job is held until the job ends, every line out; a second close ends krcan at once and
// says what was cut short: the flash, or (no flash) the job the log title names, as a sentence.
TEST(KruiClose, HeldUntilTheJobEndsThenForcedOnSecondClose)
{
    UI_REQUIRE_DISPLAY();
    REQUIRE_XDOTOOL();
    for (const std::string mode : {"hold", "force", "force-save"}) {
        e2e::sandbox box;
        e2e::options o;
        o.env = {{"KRUI_CHILD", mode}, {"KRUI_DIR", box.dir().string()}};
        e2e::background child(box, "/proc/self/exe", {"--gtest_filter=KruiChild.Run"}, o);
        ASSERT_TRUE(child.wait_for_output("ready\n", 60000)) << child.out() << child.err();
        const std::string out0 = child.out();
        const size_t at = out0.find("tmpdir ");
        ASSERT_NE(at, std::string::npos);
        const fs::path tmpdir = out0.substr(at + 7, out0.find('\n', at) - at - 7);
        ASSERT_TRUE(fs::is_directory(tmpdir)) << tmpdir;
        const std::string win = window_of(box, child.pid());
        ASSERT_FALSE(win.empty());

        int title_end = -1;
        ASSERT_TRUE(wait_until([&] { return (title_end = log_title_end(win)) > 0; }, 30000)) << "the strip is drawn";
        send_delete(win);
        ASSERT_TRUE(child.wait_for_output("Closing waits for saving parameters from pump to finish.", 30000))
            << child.out();
        // The strip's title says so until the job ends: the frame's top line starts further right.
        EXPECT_TRUE(wait_until([&] { return log_title_end(win) > title_end + 100; }, 30000)) << title_end;
        EXPECT_TRUE(child.running()) << "a close during a job is held";
        if (mode == "hold") {
            box.write_file("idle", "");
            const e2e::result r = wait_end(child, 30000);
            EXPECT_TRUE(r.exited(0)) << r.exit_code << " " << r.signal;
            EXPECT_NE(r.out.find("burst line 2999\nlast line\n"), std::string::npos) << "every line out";
            EXPECT_EQ(r.out.find("cut short"), std::string::npos);
        } else {
            send_delete(win);
            const e2e::result r = wait_end(child, 30000);
            EXPECT_TRUE(r.exited(1)) << r.exit_code << " " << r.signal;
            const char *said = mode == "force" ? "krcan ends at once: the flash of node 0x20 was cut short. The device "
                                                 "may need a new flash."
                                               : "krcan ends at once. Saving parameters from pump was cut short and "
                                                 "did not finish.";
            EXPECT_NE(r.out.find(said), std::string::npos) << r.out;
        }
        EXPECT_FALSE(fs::exists(tmpdir)) << "exit handlers' work done on close";
        for (const auto &e : fs::directory_iterator(tmpdir.parent_path()))
            EXPECT_NE(e.path().filename().string().rfind("krcan_flash.", 0), 0u) << e.path();
    }
}

// ---- In process: the tab bar ----

namespace {

bool shell_up()
{
    static int state = 0;
    if (state == 0) {
        init(&dev);
        state = krui_start() ? 1 : 2;
        kr_ui_capture(true);
    }
    return state == 1;
}

#define START_SHELL()     \
    UI_REQUIRE_DISPLAY(); \
    ASSERT_TRUE(shell_up())

void frames(int n)
{
    for (int i = 0; i < n; ++i) krui_frame(false);
}

void click(int x, int y)
{
    frames(6);
    kr_ui_input_cursor(x, y);
    kr_ui_input_button(true);
    frames(3);
    kr_ui_input_button(false);
    frames(3);
}

device_st make_dev(const char *name, const char *devname, const char *file, uint8_t node, dev_state_e state)
{
    device_st d;
    std::memset(&d, 0, sizeof d);
    std::snprintf(d.name, sizeof d.name, "%s", name);
    std::snprintf(d.devname, sizeof d.devname, "%s", devname);
    std::snprintf(d.filepath, sizeof d.filepath, "%s", file);
    d.nodeid = node;
    d.state = state;
    return d;
}

// The x where a tab of the live bar starts.
int tab_x(const krui_tabbar_st *bar, uint16_t tab) { return krui_tab_x(bar, tab); }

} // namespace

TEST(KruiTabs, LabelsDotsShorteningAndHitTesting)
{
    START_SHELL();
    static system_st sys;
    std::memset(&sys, 0, sizeof sys);
    sys.devs[0] = make_dev("pump_0x10", "", "/p/pump.krdev", 0x10, DEV_STATE_OP);
    sys.devs[1] = make_dev("pump_0x10", "", "/p/pump.krdev", 0x11, DEV_STATE_PREOP);
    sys.devs[2] = make_dev("Node 0x12", "valve", "", 0x12, DEV_STATE_BOOTUP);
    sys.devs[3] = make_dev("x_0x13_0x13", "", "/p/x.krdev", 0x13, DEV_STATE_OFFLINE);
    sys.devs[4] = make_dev("zero", "", "/p/z.krdev", 0, DEV_STATE_OP);
    sys.dev_count = 5;
    krui_tabbar_st bar;
    std::memset(&bar, 0, sizeof bar);
    krui_populate_tab_names(&bar, &sys);
    ASSERT_EQ(bar.count, 7);
    const char *want[] = {"Overview", "pump_0x10", "pump_0x10_0x11", "valve_0x12", "x_0x13", "zero", "New device (+)"};
    for (int i = 0; i < 7; ++i) EXPECT_STREQ(bar.names[i], want[i]) << i;
    EXPECT_EQ(bar.add_index, 6);
    // Once a package is set its name is used.
    std::snprintf(sys.devs[2].filepath, sizeof sys.devs[2].filepath, "/p/v.krdev");
    krui_populate_tab_names(&bar, &sys);
    EXPECT_STREQ(bar.names[3], "Node 0x12_0x12");

    color_t c = 0;
    EXPECT_FALSE(krui_tab_dot_color(&bar, 0, &c));
    EXPECT_FALSE(krui_tab_dot_color(&bar, 6, &c));
    const color_t dots[] = {kOp, kPreop, 0xFFF7E98A, kOffline, kOp};
    for (uint16_t t = 1; t <= 5; ++t) {
        ASSERT_TRUE(krui_tab_dot_color(&bar, t, &c));
        EXPECT_EQ(c, dots[t - 1]) << t;
    }

    // A full system has no add tab.
    for (int i = 5; i < 20; ++i) sys.devs[i] = make_dev("dev", "", "/p/d.krdev", (uint8_t)(0x20 + i), DEV_STATE_OP);
    sys.dev_count = 20;
    krui_populate_tab_names(&bar, &sys);
    EXPECT_EQ(bar.count, 21);
    EXPECT_EQ(bar.add_index, -1);

    // Twelve long names do not fit: the overview, the active and the add tab stay whole.
    sys.dev_count = 12;
    for (int i = 0; i < 12; ++i)
        sys.devs[i] = make_dev("a_rather_long_package_name_for_a_device", "", "/p/l.krdev", (uint8_t)(0x20 + i),
                               DEV_STATE_OP);
    krui_populate_tab_names(&bar, &sys);
    bar.font = &font16;
    bar.width = 1200;
    krui_compute_tab_display(&bar, 5);
    EXPECT_STREQ(bar.display[0], "Overview");
    EXPECT_STREQ(bar.display[5], bar.names[5]);
    EXPECT_STREQ(bar.display[13], "New device (+)");
    const int add_x = krui_tab_x(&bar, 13);
    for (uint16_t t = 0; t < bar.count; ++t) {
        const int w = krui_tab_width_of(&bar, t), x = krui_tab_x(&bar, t);
        if (t != 0 && t != 5 && t != 13) {
            const std::string d = bar.display[t];
            char id[16];
            std::snprintf(id, sizeof id, "..._0x%x", 0x20 + t - 1);
            EXPECT_EQ(d.substr(d.size() - std::strlen(id)), id) << "shortened before the node id";
            EXPECT_GE(w, KRUI_TAB_MIN_W) << t;
        }
        // Hit-testing agrees with the drawn widths at both edges of every tab shown whole.
        if (t != 13 && x + w > (bar.arrows ? krui_arrows_x(&bar) : add_x)) continue;
        EXPECT_EQ(krui_tab_at(&bar, x), t);
        EXPECT_EQ(krui_tab_at(&bar, x + w - 1), t);
    }
    EXPECT_EQ(krui_tab_at(&bar, 1200), -1);
    // Twenty tabs overflow even shortened: the bar scrolls to the selected tab and keeps the add tab.
    sys.dev_count = 18;
    for (int i = 12; i < 18; ++i) sys.devs[i] = sys.devs[0], sys.devs[i].nodeid = (uint8_t)(0x20 + i);
    krui_populate_tab_names(&bar, &sys);
    for (uint16_t active : {1, 12, 18}) {
        krui_compute_tab_display(&bar, active);
        for (uint16_t t : {active, (uint16_t)bar.add_index}) {
            EXPECT_GE(krui_tab_x(&bar, t), 0) << active << " " << t;
            EXPECT_LE(krui_tab_x(&bar, t) + krui_tab_width_of(&bar, t), 1200) << active << " " << t;
            EXPECT_EQ(krui_tab_at(&bar, krui_tab_x(&bar, t) + 5), t) << active;
        }
    }
    char out[16];
    krui_shorten_to_width("abcdefghijklmnopqrstuvwxyz", &font16, 1, out, sizeof out);
    EXPECT_STREQ(out, "...");
    krui_shorten_to_width("abcdefghijklmnopqrstuvwxyz", &font16, 1000, out, sizeof out);
    EXPECT_STREQ(out, "abcdefghijklmno") << "cut to the buffer";
    krui_shorten_to_width("abcdefghijklmnopqrstuvwxyz", &font16, 60, out, sizeof out);
    EXPECT_LE(kr_ui_get_string_width(out, &font16), 60);
    EXPECT_EQ(std::string(out).substr(std::strlen(out) - 3), "...");
}

// Fifteen and twenty devices overflow the bar: its arrows, and the wheel over it, step through every
// tab, each drawn whole left of the arrows, and never onto the add tab.
TEST(KruiTabs, EveryTabOfAFullBarIsReachedByTheArrowsAndTheWheel)
{
    START_SHELL();
    fake_busy = true;
    for (int n : {15, 20}) {
        dev.system.dev_count = 0;
        for (int i = 0; i < n; ++i)
            *system_add_empty_device(&dev.system) = make_dev("a_rather_long_package_name", "", "/p/l.krdev",
                                                             (uint8_t)(0x20 + i), DEV_STATE_OP);
        frames(5);
        const krui_tabbar_st *bar = krui_tabbar();
        ASSERT_TRUE(bar->arrows) << n;
        const int prev_x = krui_arrows_x(bar) + KRUI_ARROW_W / 2, next_x = prev_x + KRUI_ARROW_W;
        for (int i = 0; i <= n && krui_active_device_tab() > 0; ++i) click(prev_x, 60);
        for (int t = 1; t <= n + 1; ++t) {
            click(next_x, 60);
            const uint16_t a = (uint16_t)krui_active_device_tab();
            ASSERT_EQ(a, std::min(t, n)) << "never onto the add tab";
            EXPECT_TRUE(krui_tab_x(bar, a) >= 0 && krui_tab_x(bar, a) + krui_tab_width_of(bar, a) <= krui_arrows_x(bar))
                << t;
        }
        kr_ui_input_cursor(300, 60);
        kr_ui_input_scroll(1);
        frames(3);
        EXPECT_EQ(krui_active_device_tab(), n - 1) << "the wheel up steps left";
    }
    dev.system.dev_count = 0;
    frames(5);
    fake_busy = false;
}

// A line longer than the collapsed log strip shows its start across the strip's row, not the last piece
// of its wrapping.
TEST(KruiShell, ALongLogLineWraps)
{
    START_SHELL();
    auto right_half_lit = [] {
        frames(2);
        for (int y = 678; y < 704; ++y)
            for (int x = 700; x < 1150; ++x)
                if ((kr_ui_captured_pixel(x, y) & 0xFF) > 150) return true;
        return false;
    };
    // The strip is 1164 pixels wide; the capture keeps 255 characters a line.
    const size_t per_row = (size_t)(1164 / kr_ui_get_string_width("W", &mono_font16));
    std::printf("\n%s\n", std::string(per_row, 'M').c_str());
    std::fflush(stdout);
    ASSERT_TRUE(wait_until(right_half_lit, 10000));
    std::printf("short\n");
    std::fflush(stdout);
    ASSERT_TRUE(wait_until([&] { return !right_half_lit(); }, 10000));
    std::printf("%s\n", std::string(per_row + 5, 'W').c_str());
    std::fflush(stdout);
    EXPECT_TRUE(wait_until(right_half_lit, 10000)) << "the strip shows the long line's last piece";
}

TEST(KruiShell, TabsJobsLogStripAndPrompts)
{
    START_SHELL();
    fake_busy = true; // no heartbeat monitor refresh: the states below stay as set
    dev.system.dev_count = 0;
    device_st *a = system_add_empty_device(&dev.system);
    device_st *b = system_add_empty_device(&dev.system);
    ASSERT_TRUE(a && b);
    a->nodeid = 0x10;
    a->state = DEV_STATE_OP;
    b->nodeid = 0x20;
    b->state = DEV_STATE_PREOP;
    std::snprintf(b->filepath, sizeof b->filepath, "/p/b.krdev");
    frames(5);
    const krui_tabbar_st *bar = krui_tabbar();
    ASSERT_EQ(bar->count, 4);
    // Dots: hollow for a device without package, solid with one.
    const int ax = tab_x(bar, 1) + 12, bx = tab_x(bar, 2) + 12;
    EXPECT_TRUE(uitest::near(kr_ui_captured_pixel(ax + 4, 60), kOp, 16))
        << std::hex << kr_ui_captured_pixel(ax + 4, 60);
    EXPECT_FALSE(uitest::near(kr_ui_captured_pixel(ax, 60), kOp, 40)) << "hollow";
    EXPECT_TRUE(uitest::near(kr_ui_captured_pixel(bx, 60), kPreop, 16));
    EXPECT_TRUE(uitest::near(kr_ui_captured_pixel(bx + 4, 60), kPreop, 16));

    // Device tabs switch during a job; the main tabs do not.
    click(tab_x(bar, 2) + 30, 60);
    EXPECT_EQ(krui_active_device_tab(), 2);
    click(135, 20); // "Fleet"
    EXPECT_EQ(krui_active_maintab(), 0) << "a job keeps the System tab";
    fake_busy = false;
    click(135, 20);
    EXPECT_EQ(krui_active_maintab(), 1);
    click(45, 20);
    EXPECT_EQ(krui_active_maintab(), 0);
    EXPECT_EQ(krui_active_device_tab(), 2) << "the selection is kept";
    fake_busy = true;
    // The add tab adds a device and becomes its tab; right of the last tab nothing happens.
    click(tab_x(bar, 3) + 30, 60);
    EXPECT_EQ(dev.system.dev_count, 3);
    EXPECT_EQ(krui_active_device_tab(), 3);
    EXPECT_EQ(bar->add_index, 4);
    click(tab_x(bar, 4) + krui_tab_width_of(bar, 4) + 20, 60);
    EXPECT_EQ(krui_active_device_tab(), 3);

    // The strip expands on a click and collapses with "Close".
    EXPECT_FALSE(krui_log_is_expanded());
    click(600, 705);
    frames(10);
    EXPECT_TRUE(krui_log_is_expanded());
    click(1124, 33);
    frames(10);
    EXPECT_FALSE(krui_log_is_expanded());

    // A prompt expands it; typed lines answer one prompt each.
    std::string got;
    std::atomic<bool> done{false};
    auto ask_line = [&] {
        done = false;
        return std::thread([&] {
            char line[64];
            got = kr_stdin_getline(line, sizeof line) ? line : "(none)";
            done = true;
        });
    };
    auto type = [&](const char *text) {
        for (const char *p = text; *p; ++p) kr_ui_input_char((unsigned char)*p);
        kr_ui_input_key(GLFW_KEY_ENTER, 0);
        frames(2);
    };
    std::thread t = ask_line();
    ASSERT_TRUE(wait_until([] { return kr_stdin_is_waiting(); }, 10000));
    frames(10);
    EXPECT_TRUE(krui_log_is_expanded());
    // A click on the answer line opens no on-screen keyboard over the question: every step of the window
    // takes one poll of the script (a keyboard's own loop would take them all, up to a click on its Enter).
    kr_ui_script_clear();
    uitest::script_click(600, 695);
    uitest::script_idle(20);
    const kr_bounding_box_st enter = kr_uikeyboard_key_geometry(KEY_ENTER);
    uitest::script_click(enter.x + enter.w / 2, enter.y + enter.h / 2);
    int steps = 0;
    for (; steps < 500 && kr_ui_script_pending() > 0; ++steps) krui_frame(false);
    EXPECT_GE(steps, 30) << "a keyboard opened over the question";
    EXPECT_TRUE(kr_stdin_is_waiting()) << "the click answered the question";
    type("42");
    t.join();
    EXPECT_EQ(got, "42\n");
    // A whole line given to a one-character prompt leaves nothing for the next prompt.
    int ch = 0;
    std::thread tc([&] { ch = kr_stdin_getchar(); });
    ASSERT_TRUE(wait_until([] { return kr_stdin_is_waiting(); }, 10000));
    frames(2);
    type("yes");
    tc.join();
    EXPECT_EQ(ch, 'y');
    // A line typed while nothing asks is not kept for a later question.
    type("stray");
    t = ask_line();
    ASSERT_TRUE(wait_until([] { return kr_stdin_is_waiting(); }, 10000));
    frames(2);
    type("next");
    t.join();
    EXPECT_EQ(got, "next\n");
    fake_busy = false;
}

// ---- In process: the dialogs ----

namespace {

using uitest::script_click;

const char *offline_second(const device_st *d) { return d->nodeid == 0x21 ? "Offline" : nullptr; }
const char *all_offline(const device_st *) { return "Offline"; }

constexpr int kAccept = 1115, kCancel = 955, kButtons = 688, kAll = 85, kNone = 245;
int row_y(int r) { return 76 + 44 * r + 22; }

} // namespace

TEST(KruiDialogs, DeviceSelection)
{
    START_SHELL();
    static system_st sys;
    std::memset(&sys, 0, sizeof sys);
    sys.devs[0] = make_dev("a", "", "", 0x20, DEV_STATE_OP);
    sys.devs[1] = make_dev("b", "", "", 0x21, DEV_STATE_OFFLINE);
    sys.devs[2] = make_dev("", "", "", 0x05, DEV_STATE_OP);
    sys.dev_count = 3;
    device_st *got[4] = {};

    // Multi: "Select none", "Select all" (the greyed row stays unticked), accept: the first and third.
    kr_ui_script_clear();
    script_click(kNone, kButtons);
    script_click(kAll, kButtons);
    script_click(30, row_y(1)); // greyed: not clickable
    script_click(kAccept, kButtons);
    EXPECT_EQ(devsel_win_exec(&sys, "Load", "Load", offline_second, got, 4, nullptr), 2);
    EXPECT_EQ(got[0], &sys.devs[0]);
    EXPECT_EQ(got[1], &sys.devs[2]);
    // max_count limits; cancel returns none whatever is ticked.
    kr_ui_script_clear();
    script_click(kAccept, kButtons);
    EXPECT_EQ(devsel_win_exec(&sys, "Load", "Load", offline_second, got, 1, nullptr), 1);
    kr_ui_script_clear();
    script_click(kCancel, kButtons);
    EXPECT_EQ(devsel_win_exec(&sys, "Load", "Load", nullptr, got, 4, nullptr), 0);

    // Single: the rejected device is not listed; clicking the second row moves the tick there.
    device_st *one = nullptr;
    kr_ui_script_clear();
    script_click(30, row_y(1));
    script_click(30, row_y(1)); // clicking the ticked row keeps it ticked
    script_click(kAccept, kButtons);
    EXPECT_TRUE(devsel_win_exec_single(&sys, "Flash", "Pick one", "Flash", offline_second, nullptr, &one, nullptr));
    EXPECT_EQ(one, &sys.devs[2]);
    // With an extra row and devices to choose, the extra row is the one ticked: no device unasked.
    one = &sys.devs[0];
    kr_ui_script_clear();
    script_click(kAccept, kButtons);
    EXPECT_TRUE(devsel_win_exec_single(&sys, "Flash", "Pick", "Flash", offline_second, "Wait for it", &one, nullptr));
    EXPECT_EQ(one, nullptr);
    // Only the extra row: ticked, accepted with no device.
    one = &sys.devs[0];
    kr_ui_script_clear();
    script_click(kAccept, kButtons);
    EXPECT_TRUE(devsel_win_exec_single(&sys, "Flash", "Pick", "Flash", all_offline, "Wait for it", &one, nullptr));
    EXPECT_EQ(one, nullptr);
    kr_ui_script_clear();
    script_click(kCancel, kButtons);
    EXPECT_FALSE(devsel_win_exec_single(&sys, "Flash", "Pick", "Flash", nullptr, nullptr, &one, nullptr));
    // Nothing selectable and no extra row: nothing chosen.
    kr_ui_script_clear();
    script_click(kAccept, kButtons);
    EXPECT_FALSE(devsel_win_exec_single(&sys, "Flash", "Pick", "Flash", all_offline, nullptr, &one, nullptr));

    // Twenty devices and the extra row overflow the list: it opens scrolled to the ticked extra row, where
    // the row above it is the twentieth device; the wheel over the list brings the first row back.
    for (uint8_t i = 0; i < SYSTEM_MAX_DEVICES; i++)
        sys.devs[i] = make_dev("d", "", "", (uint8_t)(0x30 + i), DEV_STATE_OP);
    sys.dev_count = SYSTEM_MAX_DEVICES;
    const int shift = 21 * 44 - (720 - 140); // the list's fold
    kr_ui_script_clear();
    script_click(30, row_y(19) - shift);
    script_click(kAccept, kButtons);
    EXPECT_TRUE(devsel_win_exec_single(&sys, "Flash", "Pick", "Flash", nullptr, "Wait for it", &one, nullptr));
    EXPECT_EQ(one, &sys.devs[19]) << "the ticked row was out of sight";
    kr_ui_script_clear();
    kr_ui_script_push(KR_UI_EV_CURSOR, 300, 300);
    kr_ui_script_push(KR_UI_EV_SCROLL, 10, 0);
    script_click(30, row_y(0));
    script_click(kAccept, kButtons);
    EXPECT_TRUE(devsel_win_exec_single(&sys, "Flash", "Pick", "Flash", nullptr, "Wait for it", &one, nullptr));
    EXPECT_EQ(one, &sys.devs[0]) << "the wheel did not scroll the list";
    kr_ui_script_clear();
}

TEST(KruiDialogs, VersionNotesWrapAndClose)
{
    START_SHELL();
    char out[288];
    const std::string text = "one two three four five six seven eight nine ten eleven twelve";
    const uint32_t lines = vnw_wrap(text.c_str(), &font16, 100, out, sizeof out);
    EXPECT_GT(lines, 2u);
    std::string joined = out;
    int counted = 1;
    for (char &c : joined)
        if (c == '\n') {
            c = ' ';
            counted++;
        }
    EXPECT_EQ(joined, text) << "words kept, one blank between";
    EXPECT_EQ((uint32_t)counted, lines);
    for (const char *l = out; *l;) {
        const char *e = std::strchr(l, '\n');
        const std::string line(l, e ? (size_t)(e - l) : std::strlen(l));
        EXPECT_LE(kr_ui_get_string_width(line.c_str(), &font16), 100) << line;
        if (!e) break;
        l = e + 1;
    }
    // Blanks and tabs collapse; a long note is cut at 287 characters.
    vnw_wrap("  a\t\tb  ", &font16, 1000, out, sizeof out);
    EXPECT_STREQ(out, "a b");
    const std::string longer(400, 'x');
    vnw_wrap((longer + " y").c_str(), &font16, 100000, out, sizeof out);
    EXPECT_EQ(std::strlen(out), 287u);

    kr_ui_script_clear();
    script_click(1200 - 160 + 75, 720 - 54 + 22);
    versionnotes_win_exec(nullptr); // returns once "Close" is clicked
    EXPECT_EQ(kr_ui_script_pending(), 0u);
}
