// Device-tab jobs through the krcan binary under Xvfb on a simulated device, driven by xdotool at the
// window's positions, checked on the device, in the files and in the exit status.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "sim_setup.h"
#include "system/package_builder.h"
#include "ui_krcan.h"
#include "ui_support.h"
#include "ui_x11.h"

namespace fs = std::filesystem;
using namespace uitest;

namespace {

constexpr color_t kOp = 0xFF22B14C;

std::string unit_db()
{
    return R"({"DEV": "Unit", "NODEID": 32, "REVISIONNUMBER": 1, "OBJ_DICT": [
  {"name": "canif", "index": "0x2fff", "type": "CANOPEN_UNSIGNED16", "permissions": "CANOPEN_RO", "data_type": "CAN_IF",
   "subindex": 0, "value": 1, "dataptr": "&a"},
  {"name": "gain", "index": "0x2000", "type": "CANOPEN_UNSIGNED32", "permissions": "CANOPEN_RW",
   "data_type": "NONVOL_PARAM", "subindex": 0, "min": 0, "max": 1000000, "default": 0, "dataptr": "&b"}]})";
}

struct bench {
    e2e::sandbox box;
    sim_setup_st bus;
    std::unique_ptr<e2e::background> prog;
    std::string win;

    // The device and krcan's arguments after --can; the default is the unit at 0x20 from its package.
    bool start(std::string &err, const sim_device_config_st *device = nullptr, std::vector<std::string> args = {})
    {
        sim_device_config_st d;
        if (device) d = *device;
        d.node_id = 0x20;
        d.heartbeat_ms = 100;
        d.start_operational = true;
        if (!sim_setup_start(bus, {d}, 0, err)) return false;
        sim_object_st gain;
        gain.type = SIM_U32;
        gain.value = gain.stored = gain.def = {0x45, 0x23, 0x01, 0x00}; // 74565
        sim_dev_add_object(bus.devs, 0x20, 0x2000, 0, gain);
        if (!pkgtest::write_zip(box.path("unit.krdev").string(),
                                {pkgtest::file("krdev.json", R"({"DATABASE": "db.json", "VERSION": "2"})"),
                                 pkgtest::file("db.json", unit_db())}))
            return false;
        // The file dialogs answer with what the test writes before each one.
        box.write_file("bin/zenity",
                       "#!/bin/sh\necho \"$*\" >> \"$KRJ_DIR/zenity.log\"\ncat \"$KRJ_DIR/zenity.answer\"\n");
        chmod(box.path("bin/zenity").c_str(), 0755);
        e2e::options o;
        o.path_prepend = {box.path("bin").string(), box.refusing_bin().string()};
        o.env = {{"KRJ_DIR", box.dir().string()}};
        if (args.empty()) args = {"--dev", box.path("unit.krdev").string() + ":0x20"};
        args.insert(args.begin(), {"--can", bus.channel});
        args.push_back("--ui");
        prog = std::make_unique<e2e::background>(box, KRCAN_BIN, args, o);
        win = window_of(box, prog->pid());
        return !win.empty();
    }
    ~bench() { sim_setup_stop(bus); }
};

// Points of the shown device page (window pixels are logical points at 1200 x 720).
constexpr int kSaveSettings[] = {445, 507}, kReset[] = {302, 561}, kSaveParams[] = {753, 561},
              kLoadParams[] = {1040, 561}, kFlash[] = {900, 507};
constexpr color_t kButton = 0xFF373A44;

bool has(e2e::background &p, const std::string &text, int ms = 60000) { return p.wait_for_output(text, ms); }

size_t stores(sim_runner_st *r) { return sim_dev_write_count(r, 0x20, 0x1010, 1); }
size_t resets(sim_runner_st *r) { return sim_dev_nmt_count(r, 0x20, 0x81); }

// The device page is shown and enabled: its Reset button has its face colour, not the greyed one.
bool idle(bench &b) { return near(window_row(b.win, kReset[1] - 12, kReset[0], kReset[0] + 1)[0], kButton, 8); }

// The device's tab, opened from the tab bar once its heartbeat shows it operational.
bool open_device_tab(bench &b)
{
    int green = -1;
    if (!wait_until([&] { return (green = dot_x(b.win, kOp)) > 0; }, 60000)) return false;
    click(b.box, b.win, green + 30, 60);
    return wait_until([&] { return idle(b); }, 30000);
}

// A button of the device page, once no job greys the page out.
void press(bench &b, const int *at)
{
    EXPECT_TRUE(wait_until([&] { return idle(b); }, 60000)) << "the page stays disabled";
    click(b.box, b.win, at[0], at[1]);
}

// Types a line into the window; the expanded log strip's input line takes it.
void type_line(bench &b, const std::string &line)
{
    xdotool(b.box, {"windowfocus", "--sync", b.win, "type", "--delay", "60", line});
    xdotool(b.box, {"key", "--window", b.win, "Return"});
}

bool log_expanded(bench &b) { return near(window_row(b.win, 20, 1124, 1125)[0], kButton, 8); }

} // namespace

// Save settings and reset reach the device; saved parameters land in a ".json" file holding the
// device's value; a load whose query is answered from the log strip writes the chosen value, stores
// and resets; a close while the query waits is held until then, and nothing failed, so it ends with 0.
TEST(KruiJobs, DeviceActionsSaveAndLoadWithAQueryAnsweredFromTheLog)
{
    UI_REQUIRE_DISPLAY();
    REQUIRE_XDOTOOL();
    bench b;
    std::string err;
    ASSERT_TRUE(b.start(err)) << err << (b.prog ? b.prog->out() : "");
    ASSERT_TRUE(open_device_tab(b)) << b.prog->out();

    press(b, kSaveSettings);
    EXPECT_TRUE(has(*b.prog, "Settings stored to non-volatile memory on node 0x20.")) << b.prog->out();
    EXPECT_EQ(stores(b.bus.devs), 1u);
    press(b, kReset);
    EXPECT_TRUE(has(*b.prog, "Reset command sent to node 0x20.")) << b.prog->out();
    EXPECT_TRUE(wait_until([&] { return resets(b.bus.devs) == 1; }, 30000));
    EXPECT_TRUE(wait_until([&] { return sim_dev_bootups(b.bus.devs, 0x20) == 2; }, 30000)) << "up again";

    b.box.write_file("zenity.answer", b.box.path("saved").string() + "\n");
    press(b, kSaveParams);
    EXPECT_TRUE(has(*b.prog, "All parameters stored successfully to '" + b.box.path("saved.json").string() + "'"))
        << b.prog->out();
    EXPECT_FALSE(fs::exists(b.box.path("saved")));
    const std::string saved = b.box.read_file("saved.json");
    EXPECT_NE(saved.find("74565"), std::string::npos) << saved;

    b.box.write_file("query.json", R"({"QUERIES": [{"NAME": "range", "QUESTION": "Which gain range?",
        "ANSWERS": ["low", "high"]}], "CAN IF VERSION": 1, "CAN IF MINDEX": "0x2fff", "CAN IF SINDEX": 0,
        "NODEID": 32, "PARAMS": [{"INFO": "gain", "MAININDEX": "0x2000", "TYPE": "CANOPEN_UNSIGNED32",
        "range": [111, 222]}]})");
    b.box.write_file("zenity.answer", b.box.path("query.json").string() + "\n");
    press(b, kLoadParams);
    ASSERT_TRUE(has(*b.prog, "(2): high")) << b.prog->out();
    ASSERT_TRUE(wait_until([&] { return log_expanded(b); }, 30000)) << "a question opens the log";
    // Closed with the strip collapsed, the close is held: the log opens on the question again.
    click(b.box, b.win, 1124, 33); // the log's "Close"
    ASSERT_TRUE(wait_until([&] { return !log_expanded(b); }, 30000));
    send_delete(b.win);
    ASSERT_TRUE(has(*b.prog, "It waits for your answer to the question above")) << b.prog->out();
    EXPECT_TRUE(wait_until([&] { return log_expanded(b); }, 30000)) << "the question is not on screen";
    type_line(b, "2");
    EXPECT_TRUE(has(*b.prog, "Query 'range': selected (2) high")) << b.prog->out();
    EXPECT_TRUE(wait_until([&] { return sim_dev_get_u32(b.bus.devs, 0x20, 0x2000, 0) == 222; }, 60000))
        << sim_dev_get_u32(b.bus.devs, 0x20, 0x2000, 0) << b.prog->out();
    EXPECT_TRUE(wait_until([&] { return resets(b.bus.devs) == 2; }, 60000)) << b.prog->out();
    EXPECT_EQ(stores(b.bus.devs), 2u);

    const e2e::result r = wait_end(*b.prog, 60000); // the held close ends krcan once the load is done
    EXPECT_TRUE(r.exited(0)) << r.exit_code << " " << r.signal << r.out;
    // One dialog to save, one to open.
    const std::string dialogs = b.box.read_file("zenity.log");
    const size_t nl = dialogs.find('\n');
    EXPECT_NE(dialogs.substr(0, nl).find("--save"), std::string::npos) << dialogs;
    EXPECT_EQ(dialogs.find("--save", nl), std::string::npos) << dialogs;
}

namespace {

// The expanded log's text lines left of its "Close" button, as drawn.
constexpr int kLogX0 = 18, kLogY0 = 24, kLogX1 = 1060, kLogY1 = 660;
std::vector<color_t> log_text(bench &b) { return window_rect(b.win, kLogX0, kLogY0, kLogX1, kLogY1); }

// How far `after` shows `before` moved down (earlier lines put on top), 0 when it is no such shift.
// The frame clips the top line and a line moved below the last one is not drawn: both are left out.
int shifted_down_by(const std::vector<color_t> &before, const std::vector<color_t> &after)
{
    const size_t w = kLogX1 - kLogX0, h = kLogY1 - kLogY0, top = 20, line = 16;
    if (before.size() != w * h || after.size() != w * h) return 0;
    for (size_t s = 1; s < h / 2; ++s)
        if (std::equal(before.begin() + (long)(top * w), before.begin() + (long)((h - s - line) * w),
                       after.begin() + (long)((top + s) * w)))
            return (int)s;
    return 0;
}

} // namespace

// A value the device refuses asks what to do; "q" typed into the log strip quits the load: what came
// before it is on the device, nothing after it, nothing stored or reset, and the run ends with 1. The
// wheel scrolls the expanded log back to earlier lines and forward again.
TEST(KruiJobs, RefusedValueQuitFromTheLogFailsTheRunAndTheLogScrolls)
{
    UI_REQUIRE_DISPLAY();
    REQUIRE_XDOTOOL();
    bench b;
    std::string err;
    ASSERT_TRUE(b.start(err)) << err << (b.prog ? b.prog->out() : "");
    sim_object_st o;
    o.type = SIM_U8;
    o.value = o.stored = o.def = {0};
    std::string params;
    for (int i = 0; i <= 40; ++i) {
        sim_dev_add_object(b.bus.devs, 0x20, (uint16_t)(0x2100 + i), 0, o);
        char entry[128];
        std::snprintf(entry, sizeof entry,
                      R"({"INFO": "p%d", "MAININDEX": "0x%x", "TYPE": "CANOPEN_UNSIGNED8", "DATA": %d},)", i,
                      0x2100 + i, i + 1);
        if (i == 40) params += R"({"INFO": "gain", "MAININDEX": "0x2000", "TYPE": "CANOPEN_UNSIGNED32", "DATA": 5},)";
        params += entry;
    }
    params.pop_back();
    sim_fault_st refuse;
    refuse.index = 0x2000;
    refuse.dir = SIM_DIR_DOWNLOAD;
    refuse.code = 0x06090030; // value out of range
    refuse.count = -1;
    sim_dev_add_fault(b.bus.devs, 0x20, refuse);
    b.box.write_file("many.json", R"({"CAN IF VERSION": 1, "CAN IF MINDEX": "0x2fff", "CAN IF SINDEX": 0,
        "NODEID": 32, "PARAMS": [)" + params +
                                      "]}");
    ASSERT_TRUE(open_device_tab(b)) << b.prog->out();

    b.box.write_file("zenity.answer", b.box.path("many.json").string() + "\n");
    press(b, kLoadParams);
    ASSERT_TRUE(has(*b.prog, "or type 'q' to quit the whole parameter load.")) << b.prog->out();
    ASSERT_TRUE(wait_until([&] { return log_expanded(b); }, 30000)) << "a question opens the log";
    type_line(b, "q");
    EXPECT_TRUE(has(*b.prog, "User selected: quit the parameter load")) << b.prog->out();
    EXPECT_TRUE(has(*b.prog, "were\nNOT stored or reset.")) << b.prog->out();
    for (int i = 0; i < 40; ++i)
        EXPECT_EQ(sim_dev_get_u32(b.bus.devs, 0x20, (uint16_t)(0x2100 + i), 0), (uint32_t)i + 1);
    EXPECT_EQ(sim_dev_get_u32(b.bus.devs, 0x20, 0x2000, 0), 74565u);
    EXPECT_EQ(sim_dev_get_u32(b.bus.devs, 0x20, 0x2128, 0), 0u) << "nothing after the quit";
    EXPECT_EQ(stores(b.bus.devs), 0u);
    EXPECT_TRUE(sim_dev_nmt_log(b.bus.devs, 0x20).empty()) << "no reset";

    // Each wheel notch up shows the same number of earlier lines on top; down brings them back. The
    // log must be quiet first, and a busy machine may draw the last lines late: two seconds unchanged.
    std::vector<color_t> before = log_text(b);
    auto since = std::chrono::steady_clock::now();
    ASSERT_TRUE(wait_until(
        [&] {
            std::vector<color_t> now = log_text(b);
            if (now != before) {
                before.swap(now);
                since = std::chrono::steady_clock::now();
            }
            return std::chrono::steady_clock::now() - since > std::chrono::seconds(2);
        },
        60000));
    ASSERT_TRUE(std::any_of(before.begin(), before.end(), [&](color_t c) { return c != before[0]; })) << "text shown";
    auto wheel = [&](const char *button) {
        xdotool(b.box, {"mousemove", "--window", b.win, "600", "300", "click", button});
    };
    auto shown_shift = [&](int want) {
        return wait_until([&] { return shifted_down_by(before, log_text(b)) == want; }, 30000);
    };
    wheel("4");
    int notch = 0;
    ASSERT_TRUE(wait_until([&] { return (notch = shifted_down_by(before, log_text(b))) > 0; }, 30000));
    wheel("4");
    EXPECT_TRUE(shown_shift(2 * notch)) << "each notch the same lines further back";
    wheel("5");
    EXPECT_TRUE(shown_shift(notch));
    wheel("5");
    EXPECT_TRUE(wait_until([&] { return log_text(b) == before; }, 30000));

    send_delete(b.win);
    const e2e::result r = wait_end(*b.prog, 60000);
    EXPECT_TRUE(r.exited(1)) << r.exit_code << " " << r.signal << r.out;
}

// A device found on the bus, then a system package naming it: one tab, which takes the package. Its
// flash, closed twice while the download runs: the forced close says the flash was cut short and that
// the device may need a new flash, not that it is left in its bootloader; the device runs its old
// image, operational, and the run ends with 1.
TEST(KruiJobs, ASystemJoinsTheFoundDeviceAndAForcedCloseDuringItsFlash)
{
    UI_REQUIRE_DISPLAY();
    REQUIRE_XDOTOOL();
    bench b;
    std::string err;
    sim_device_config_st d;
    d.program.flavour = SIM_BOOT_CIA302;
    d.program.image = {7, 7, 7};
    d.sdo_delay_ms = 100;
    ASSERT_TRUE(b.start(err, &d, {"--nodeid", "0x20"})) << err << (b.prog ? b.prog->out() : "");
    std::string fw(60000, 'x');
    ASSERT_TRUE(pkgtest::write_zip(b.box.path("fw.krdev").string(),
                                   {pkgtest::file("krdev.json", R"({"DATABASE": "db.json", "FIRMWARE": "fw.bin"})"),
                                    pkgtest::file("db.json", unit_db()), pkgtest::file("fw.bin", fw)}));
    ASSERT_TRUE(
        pkgtest::write_zip(b.box.path("machine.krsys").string(),
                           {pkgtest::file("krsys.json", R"({"DEVS": [{"NODEID": "0x20", "KRDEV": "fw.krdev"}]})"),
                            pkgtest::file("fw.krdev", b.box.read_file("fw.krdev"))}));
    ASSERT_TRUE(wait_until([&] { return dot_x(b.win, kOp) > 0; }, 60000)) << "the found device's tab" << b.prog->out();
    b.box.write_file("zenity.answer", b.box.path("machine.krsys").string() + "\n");
    click(b.box, b.win, 300, 131); // "Open system configuration file"
    ASSERT_TRUE(has(*b.prog, "Loaded device 'fw.krdev' (node 0x20")) << b.prog->out();
    // The found tab's dot was hollow: it turns solid when that tab, not a second one, takes the package.
    EXPECT_TRUE(
        wait_until([&] { return near(window_row(b.win, 60, 0, 1200)[(size_t)dot_x(b.win, kOp) + 6], kOp, 10); }, 30000))
        << "two tabs for node 0x20";

    ASSERT_TRUE(open_device_tab(b)) << b.prog->out();
    press(b, kFlash);
    click(b.box, b.win, 300, 600); // "Yes"
    ASSERT_TRUE(has(*b.prog, "downloaded ")) << b.prog->out();
    send_delete(b.win);
    ASSERT_TRUE(has(*b.prog, "Closing waits for")) << b.prog->out();
    send_delete(b.win);
    const e2e::result r = wait_end(*b.prog, 60000);
    EXPECT_TRUE(r.exited(1)) << r.exit_code << " " << r.signal;
    EXPECT_NE(r.out.find("krcan ends at once: the flash of node 0x20 was cut short. The device may need a new flash."),
              std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find("bootloader"), std::string::npos) << r.out;
    EXPECT_EQ(sim_dev_program(b.bus.devs, 0x20).image, (std::vector<uint8_t>{7, 7, 7}));
    EXPECT_TRUE(wait_until([&] { return sim_dev_nmt_state(b.bus.devs, 0x20) == 5; }, 30000)) << "operational";
}
