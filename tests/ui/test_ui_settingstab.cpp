// The Settings tab in process: the library runs in a child on the virtual bus with simulated devices,
// the tab is built into a tab window under Xvfb and driven through the toolkit's event script; the
// parent checks the devices, the account file and what the child printed.
#include <GLFW/glfw3.h>
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "online/account.h"
#include "run/console.h"
#include "database/db.h"
#include "e2e/param_units.h"
#include "hal/canopen_harness.h"
#include "kr_can.h"
#include "kr_rtos.h"
#include "params/loadparam.h"
#include "run/main.h"
#include "ui/settingstab.h"
#include "sim_device.h"
#include "ui/kr_uicontainers.h"
#include "ui/kr_uitextedit.h"
#include "ui_support.h"
#include "../../src/ui/settingstab_internal.h"
#include "run/stdout_of.h"

// Each child starts the GL driver once and ends with _exit; its unloaded modules are not the tab's.
extern "C" int __lsan_is_turned_off() { return 1; }

namespace {

// Interfaces the port reports, when a test sets them (the kernel here has no CAN).
struct fake_if {
    std::string name;
    bool can, virt;
};
std::vector<fake_if> *fake_ifs = nullptr;
int set_baudrate_calls = 0;
int device_count_calls = 0; // one per interface scan

} // namespace

extern "C" {
int32_t __real_kr_can_get_device_count(void);
const char *__real_kr_can_get_device_name(int32_t i);
bool __real_kr_can_device_is_can(const char *name);
bool __real_kr_can_device_is_virtual(const char *name);
bool __real_kr_can_set_baudrate(kr_can_channels_e chn, uint32_t baud);

int32_t __wrap_kr_can_get_device_count(void)
{
    device_count_calls++;
    return fake_ifs ? (int32_t)fake_ifs->size() : __real_kr_can_get_device_count();
}
const char *__wrap_kr_can_get_device_name(int32_t i)
{
    if (!fake_ifs) return __real_kr_can_get_device_name(i);
    return i >= 0 && i < (int32_t)fake_ifs->size() ? (*fake_ifs)[(size_t)i].name.c_str() : nullptr;
}
static const fake_if *find_if(const char *n)
{
    for (auto &f : *fake_ifs)
        if (n && f.name == n) return &f;
    return nullptr;
}
bool __wrap_kr_can_device_is_can(const char *n)
{
    if (!fake_ifs) return __real_kr_can_device_is_can(n);
    return find_if(n) ? find_if(n)->can : __real_kr_can_device_is_can(n);
}
bool __wrap_kr_can_device_is_virtual(const char *n)
{
    if (!fake_ifs) return __real_kr_can_device_is_virtual(n);
    return find_if(n) && find_if(n)->virt;
}
bool __wrap_kr_can_set_baudrate(kr_can_channels_e chn, uint32_t baud)
{
    set_baudrate_calls++;
    return __real_kr_can_set_baudrate(chn, baud);
}
}

namespace {

// ---- Child side ----

std::string dir() { return getenv("KRST_DIR"); }

void capture_output() { paramunits::capture_output(dir()); }

void answer_dialog(const std::string &text)
{
    std::ofstream f(dir() + "/zenity.answer");
    f << text;
}

// The main window's share: a display with the three main tabs, Settings selected.
struct window {
    kr_uidisplay_st d;
    kr_uiobject_st *children[4];
    kr_uitabwindow_st tabs;
    kr_uiobject_st *tab_children[8];
    const char *names[3] = {"System", "Fleet", "Settings"};

    bool open()
    {
        if (!kr_ui_init()) return false;
        std::memset((void *)&d, 0, sizeof d);
        std::memset((void *)&tabs, 0, sizeof tabs);
        std::memset(children, 0, sizeof children);
        std::memset(tab_children, 0, sizeof tab_children);
        kr_uidisplay_init(&d, children, nullptr);
        kr_uitabwindow_init(&tabs, 3, nullptr, tab_children, names);
        tabs.active_tab = 2;
        kr_uiwindow_addxy(&d.super, &tabs.super.super, 0, 0, 1200, 660);
        settingstab_show(&tabs);
        frames(8);
        return true;
    }
    // One frame as the window runs it: the display step, then the tab's handler.
    void frames(int n)
    {
        for (int i = 0; i < n; ++i) {
            kr_uidisplay_step(&d, 20);
            settingstab_step();
            kr_rtos_task_delay(20);
        }
    }
    void idle_until_script_done()
    {
        for (int i = 0; i < 400 && kr_ui_script_pending() > 0; ++i) frames(1);
        frames(2);
    }
    static void polls(int n)
    {
        for (int i = 0; i < n; ++i) kr_ui_script_push(KR_UI_EV_POLL, 0, 0);
    }
    static void click_at(int x, int y)
    {
        polls(7); // past the dead time after a release
        kr_ui_script_push(KR_UI_EV_CURSOR, x, y);
        kr_ui_script_push(KR_UI_EV_BUTTON, 1, 0);
        polls(2);
        kr_ui_script_push(KR_UI_EV_BUTTON, 0, 0);
        polls(1);
    }
    // Clicks a control of the tab; false when it is not there.
    bool click(settingstab_widget_e w, uint32_t row = 0)
    {
        settingstab_widget_st s;
        if (!settingstab_widget(w, row, &s)) return false;
        click_at(s.x, s.y);
        idle_until_script_done();
        return true;
    }
    // Runs frames until `done` or about `ms` have passed.
    bool until(bool (*done)(), uint32_t ms = 60000)
    {
        const uint32_t t0 = kr_rtos_get_tick_count();
        while (!done() && kr_rtos_get_tick_count() - t0 < ms) frames(1);
        return done();
    }
};

settingstab_widget_st widget(settingstab_widget_e w, uint32_t row = 0)
{
    settingstab_widget_st s{};
    s.text = "<none>";
    settingstab_widget(w, row, &s);
    return s;
}

std::string list()
{
    std::string s;
    for (uint32_t i = 0; i < settingstab_param_count(); ++i) {
        const char *p = settingstab_param_path(i);
        const char *b = std::strrchr(p, '/');
        s += (s.empty() ? "" : " ") + std::string(b ? b + 1 : p);
    }
    return s;
}

bool not_busy() { return !settingstab_is_busy(); }
bool waiting() { return kr_stdin_is_waiting(); }
bool not_connecting() { return !settingstab_account_is_connecting(); }
int scans_before = 0;
bool rescanned() { return device_count_calls > scans_before; }

class SettingsTab : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (co::child_mode()) return;
        UI_REQUIRE_DISPLAY();
        std::string err;
        ASSERT_TRUE(paramunits::start(bench, err)) << err;
        box.write_file("db.json", db_json);
        // A stand-in file dialog that answers what the child last wrote.
        const std::string bin = box.dir().string() + "/bin";
        box.write_file("bin/zenity", "#!/bin/sh\ncat \"$KRST_DIR/zenity.answer\"\n");
        chmod((bin + "/zenity").c_str(), 0755);
        keep_path = getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin";
        setenv("PATH", (bin + ":" + keep_path).c_str(), 1);
        setenv("KRST_DIR", box.dir().c_str(), 1);
        setenv("XDG_CONFIG_HOME", box.config().c_str(), 1);
        setenv("HOME", box.home().c_str(), 1);
    }
    void TearDown() override
    {
        if (co::child_mode()) return;
        if (!keep_path.empty()) setenv("PATH", keep_path.c_str(), 1);
        unsetenv("KRST_DIR");
        sim_setup_stop(bench);
    }
    std::string out() { return box.read_file("child.out"); }
    std::string err() { return box.read_file("child.err"); }
    size_t writes(uint8_t node, uint16_t index) { return sim_dev_write_count(runner, node, index); }
    size_t resets(uint8_t node) { return sim_dev_nmt_count(runner, node, 0x81); }

    e2e::sandbox box;
    sim_setup_st bench;
    sim_runner_st *&runner = bench.devs;
    uint16_t &port = bench.port;
    std::string keep_path;
};

// The socketcand channel is listed whole and "Apply" stays off for it; files from two dialogs keep
// the first dialog's files first (sorted among themselves), duplicates dropped silently; rows move and
// go; a baud change is applied, and the two-file batch then lands on both devices, with the tab
// locked while it runs (held at the first file's question until the baud click is done).
TEST_F(SettingsTab, ListBaudChangeAndTwoFileBatchLand)
{
    if (!co::child_mode()) {
        box.write_file("b.json", param_file(0x22, 22));
        box.write_file("a.json", param_file(0x20, 21,
                                            R"("QUERIES": [{"NAME": "HOLD", "QUESTION": "Go on?", )"
                                            R"("ANSWERS": ["yes"]}], )"));
        box.write_file("A0.json", param_file(0x20, 99));
    }
    co::result_st res = co::run(
        port,
        [] {
            capture_output();
            credentials_init();
            cmd_db((dir() + "/db.json").c_str());
            static window w;
            if (!w.open()) return 3;
            co::report("channel=%s", kr_can_get_dev());
            co::report("listed0=%s", settingstab_canbus_name(0));
            co::report("shown_if=%s", widget(SETTINGSTAB_W_CANBUS).text);
            co::report("apply_same=%d", widget(SETTINGSTAB_W_APPLY).enabled);
            co::report("load_empty=%d", widget(SETTINGSTAB_W_LOAD).enabled);

            const std::string d = dir();
            answer_dialog(d + "/b.json//" + d + "/a.json//" + d + "/b.json");
            w.click(SETTINGSTAB_W_ADD);
            answer_dialog(d + "/A0.json//" + d + "/a.json");
            w.click(SETTINGSTAB_W_ADD);
            co::report("after_adds=%s", list().c_str());
            co::report("first_up=%d last_down=%d", widget(SETTINGSTAB_W_ROW_UP, 0).enabled,
                       widget(SETTINGSTAB_W_ROW_DOWN, 2).enabled);
            w.click(SETTINGSTAB_W_ROW_DOWN, 0);
            co::report("after_down=%s", list().c_str());
            w.click(SETTINGSTAB_W_ROW_UP, 2);
            co::report("after_up=%s", list().c_str());
            w.click(SETTINGSTAB_W_ROW_REMOVE, 1);
            co::report("after_remove=%s", list().c_str());
            w.click(SETTINGSTAB_W_ROW_UP, 1);
            co::report("final=%s", list().c_str());

            w.click(SETTINGSTAB_W_BAUD); // 250k -> 500k
            co::report("baud_shown=%s apply_on=%d", widget(SETTINGSTAB_W_BAUD).text,
                       widget(SETTINGSTAB_W_APPLY).enabled);
            w.click(SETTINGSTAB_W_APPLY);
            co::report("baud_now=%u apply_after=%d channel_after=%s", (unsigned)kr_can_get_baudrate(nullptr),
                       widget(SETTINGSTAB_W_APPLY).enabled, kr_can_get_dev());

            w.click(SETTINGSTAB_W_LOAD);
            if (!w.until(waiting)) return 4; // the batch waits at the question: it runs for sure
            co::report("busy=%d load_text=%s add=%d remove=%d", settingstab_is_busy() ? 1 : 0,
                       widget(SETTINGSTAB_W_LOAD).text, widget(SETTINGSTAB_W_ADD).enabled,
                       widget(SETTINGSTAB_W_ROW_REMOVE, 0).enabled);
            w.click(SETTINGSTAB_W_BAUD); // 500k -> 1M: differs, but a job runs
            co::report("apply_busy=%d", widget(SETTINGSTAB_W_APPLY).enabled);
            kr_stdin_feed("1\n");
            co::report("finished=%d", w.until(not_busy) ? 1 : 0);
            w.frames(3);
            co::report("load_text_after=%s apply_idle=%d", widget(SETTINGSTAB_W_LOAD).text,
                       widget(SETTINGSTAB_W_APPLY).enabled);
            co::report("failed=%d", main_run_failed() ? 1 : 0);
            return 0;
        },
        120000);
    ASSERT_EQ(res.status, 0) << res.text << out() << err();
    const std::string chn = res.get("channel");
    ASSERT_GT(chn.size(), 31u) << "the channel must be longer than the old 31-character cut";
    EXPECT_EQ(res.get("listed0"), chn);
    EXPECT_EQ(res.get("shown_if"), chn);
    EXPECT_EQ(res.get("apply_same"), "0");
    EXPECT_EQ(res.get("load_empty"), "0");

    EXPECT_EQ(res.get("after_adds"), "a.json b.json A0.json");
    EXPECT_EQ(res.get("first_up"), "0 last_down=0");
    EXPECT_EQ(res.get("after_down"), "b.json a.json A0.json");
    EXPECT_EQ(res.get("after_up"), "b.json A0.json a.json");
    EXPECT_EQ(res.get("after_remove"), "b.json a.json");
    EXPECT_EQ(res.get("final"), "a.json b.json");
    EXPECT_EQ(out().find("is not added"), std::string::npos) << out();

    EXPECT_EQ(res.get("baud_shown"), "500k apply_on=1");
    EXPECT_EQ(res.get("baud_now"), "500000 apply_after=0 channel_after=" + chn);
    EXPECT_NE(out().find("Changing the CAN interface from " + chn + " (250000) to " + chn + " (500000)...\n"),
              std::string::npos)
        << out();
    EXPECT_NE(out().find("Using the CAN interface " + chn + " at 500000 baud.\n"), std::string::npos) << out();

    EXPECT_EQ(res.get("busy"), "1 load_text=Stop add=0 remove=0");
    EXPECT_EQ(res.get("apply_busy"), "0");
    EXPECT_EQ(res.get("finished"), "1");
    EXPECT_EQ(res.get("load_text_after"), "Load parameters apply_idle=1");
    EXPECT_EQ(res.get("failed"), "0") << out();
    EXPECT_NE(out().find("All 2 parameter file(s) loaded.\n"), std::string::npos) << out();
    // Heard after the change: both devices hold their files' values and were reset once.
    EXPECT_EQ(sim_dev_get_u32(runner, 0x20, 0x2000, 0), 21u);
    EXPECT_EQ(sim_dev_get_u32(runner, 0x22, 0x2000, 0), 22u);
    EXPECT_EQ(resets(0x20), 1u);
    EXPECT_EQ(resets(0x22), 1u);
}

// "Stop" while the batch waits at a question answers it with an empty line: nothing is written,
// stored or reset, and the stopped batch fails the run. The
// periodic interface rescan leaves the port alone while the job runs.
TEST_F(SettingsTab, StopAtAWaitingQuestionStoresNothing)
{
    if (!co::child_mode())
        box.write_file(
            "q.json",
            param_file(0x20, 21,
                       R"("QUERIES": [{"NAME": "ONE", "QUESTION": "First question?", "ANSWERS": ["a", "b"]}], )"));
    co::result_st res = co::run(
        port,
        [] {
            capture_output();
            credentials_init();
            cmd_db((dir() + "/db.json").c_str());
            static window w;
            if (!w.open()) return 3;
            answer_dialog(dir() + "/q.json");
            w.click(SETTINGSTAB_W_ADD);
            w.click(SETTINGSTAB_W_LOAD);
            co::report("asked=%d", w.until(waiting) ? 1 : 0);
            // The interface list is rescanned every 2 s, but never by restoring the port under a job.
            const int calls = set_baudrate_calls;
            scans_before = device_count_calls;
            if (!w.until(rescanned)) return 4;
            co::report("port_touched=%d", set_baudrate_calls - calls);
            w.click(SETTINGSTAB_W_LOAD); // "Stop"
            co::report("finished=%d", w.until(not_busy) ? 1 : 0);
            w.frames(3);
            co::report("load_text=%s enabled=%d", widget(SETTINGSTAB_W_LOAD).text, widget(SETTINGSTAB_W_LOAD).enabled);
            co::report("failed=%d", main_run_failed() ? 1 : 0);
            // The window's close request cancels the batch itself: the tab shows it as stopping (held in
            // a critical section, so the job cannot end before the tab's step).
            w.click(SETTINGSTAB_W_LOAD);
            co::report("asked_again=%d", w.until(waiting) ? 1 : 0);
            kr_rtos_enter_critical();
            loadparam_load_files_cancel();
            settingstab_step();
            kr_rtos_exit_critical();
            co::report("outside_stop=%s enabled=%d", widget(SETTINGSTAB_W_LOAD).text,
                       widget(SETTINGSTAB_W_LOAD).enabled);
            co::report("finished_again=%d", w.until(not_busy) ? 1 : 0);
            return 0;
        },
        120000);
    ASSERT_EQ(res.status, 0) << res.text << out() << err();
    EXPECT_EQ(res.get("asked_again"), "1");
    EXPECT_EQ(res.get("outside_stop"), "Stop enabled=0");
    EXPECT_EQ(res.get("finished_again"), "1");
    EXPECT_EQ(res.get("asked"), "1");
    EXPECT_EQ(res.get("port_touched"), "0");
    EXPECT_EQ(res.get("finished"), "1");
    EXPECT_EQ(res.get("load_text"), "Load parameters enabled=1");
    EXPECT_EQ(res.get("failed"), "1");
    EXPECT_NE(err().find("First question?"), std::string::npos) << err();
    EXPECT_NE(out().find("Stopping the parameter load...\n"), std::string::npos) << out();
    EXPECT_NE(out().find("Parameter loading was stopped by the user."), std::string::npos) << out();
    EXPECT_EQ(writes(0x20, 0x2000), 0u);
    EXPECT_EQ(writes(0x20, 0x1010), 0u);
    EXPECT_EQ(resets(0x20), 0u);
}

// Stored credentials log in on the first frame (the login fails here, shown in red, and the run does
// not fail for it); a password typed on the on-screen keyboard rewrites account.conf (0600); the
// update option prints once; a failed "Connect" the user asked for fails the run. Interfaces: real
// ones first, then virtual ones, then the channel in use.
TEST_F(SettingsTab, AccountFieldsUpdateOptionAndInterfaceOrder)
{
    if (!co::child_mode()) {
        box.write_file("config/krcan/account.conf", "username=me\npassword=pw\nurl=files.example\ncheck_updates=1\n");
        chmod(box.path("config/krcan/account.conf").c_str(), 0600);
    }
    co::result_st res = co::run(
        port,
        [] {
            capture_output();
            credentials_init();
            static std::vector<fake_if> ifs = {{"vcan1", true, true},
                                               {"can0", true, false},
                                               {"eth0", false, false},
                                               {"vcan0", true, true},
                                               {"can1", true, false}};
            fake_ifs = &ifs;
            static window w;
            if (!w.open()) return 3;
            std::string names;
            for (uint32_t i = 0; i < settingstab_canbus_count(); ++i)
                names += std::string(i ? " " : "") + settingstab_canbus_name(i);
            co::report("ifs=%s", names.c_str());
            if (!w.until(not_connecting)) return 4; // the stored credentials' login has ended
            co::report("files_status=%s", widget(SETTINGSTAB_W_FILES_STATUS).text);
            co::report("fleet_status=%s", widget(SETTINGSTAB_W_FLEET_STATUS).text);
            co::report("failed_auto=%d", main_run_failed() ? 1 : 0);

            // The password field opens the keyboard, whose loop takes "1", "2" and Enter.
            const settingstab_widget_st pass = widget(SETTINGSTAB_W_PASS);
            window::click_at(pass.x, pass.y);
            for (int16_t k : {(int16_t)0, (int16_t)1, (int16_t)KEY_ENTER}) {
                kr_bounding_box_st r = kr_uikeyboard_key_geometry(k);
                window::click_at(r.x + r.w / 2, r.y + r.h / 2);
            }
            w.idle_until_script_done();
            co::report("pass=%s stored=%s", widget(SETTINGSTAB_W_PASS).text, credentials_get_password());

            w.click(SETTINGSTAB_W_UPDATES);
            w.frames(5);
            co::report("check=%d", credentials_get_check_updates() ? 1 : 0);

            w.click(SETTINGSTAB_W_CONNECT);
            if (!w.until(not_connecting)) return 4;
            co::report("failed_connect=%d", main_run_failed() ? 1 : 0);
            return 0;
        },
        120000);
    ASSERT_EQ(res.status, 0) << res.text << out() << err();
    const std::string chn = "socketcand://127.0.0.1:" + std::to_string(port) + "/vcan0";
    EXPECT_EQ(res.get("ifs"), "can0 can1 vcan1 vcan0 " + chn);
    // This build has no file-server client: the login's own error text follows "Files: ".
    const std::string files = res.get("files_status");
    EXPECT_EQ(files.rfind("Files: ", 0), 0u) << files;
    EXPECT_GT(files.size(), 8u) << files;
    EXPECT_EQ(files.find("not connected"), std::string::npos) << files;
    EXPECT_EQ(files.find("connecting"), std::string::npos) << files;
    EXPECT_EQ(res.get("fleet_status"), "Fleet: not connected");
    EXPECT_EQ(res.get("failed_auto"), "0");
    EXPECT_EQ(res.get("pass"), "pw12 stored=pw12");
    EXPECT_EQ(res.get("check"), "0");
    EXPECT_EQ(res.get("failed_connect"), "1");

    const std::string conf = box.read_file("config/krcan/account.conf");
    EXPECT_NE(conf.find("password=pw12\n"), std::string::npos) << conf;
    EXPECT_NE(conf.find("username=me\n"), std::string::npos) << conf;
    EXPECT_NE(conf.find("check_updates=0\n"), std::string::npos) << conf;
    struct stat st;
    ASSERT_EQ(stat(box.path("config/krcan/account.conf").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    const std::string o = out();
    const size_t first = o.find("Checking for updates on start up turned off.\n");
    EXPECT_NE(first, std::string::npos) << o;
    EXPECT_EQ(o.find("Checking for updates on start up", first + 1), std::string::npos) << o;
    EXPECT_EQ(o.find("File server: disconnected"), std::string::npos) << o;
}

// Adding without the dialog: each dialog's files sorted by name (case-insensitive, ties by the whole
// path) after those listed; duplicates dropped silently; 32 at most, the overflow and paths too long
// named on standard output.
TEST(SettingsTabList, OrderDuplicatesAndLimit)
{
    auto add = [](std::string text) { settingstab_params_add(text.data()); };
    std::string first, tie;
    uint32_t before_full = 0;
    const std::string out = stdout_of([&] {
        add("/d/B.json\n/d/a.yaml\n/q/x.json\n/p/X.json");
        add("/z/A0.json\n/d/a.yaml");
        first = list();
        tie = std::string(settingstab_param_path(2)) + " " + settingstab_param_path(3);
        std::string many;
        for (int i = 0; i < 25; ++i) many += "/m/f" + std::to_string(100 + i) + ".json\n";
        add(many);
        before_full = settingstab_param_count();
        add("/n/n3.json\n/n/n1.json\n/n/n2.json");
        add("/long/" + std::string(250, 'x') + ".json");
    });

    EXPECT_EQ(first, "a.yaml B.json X.json x.json A0.json");
    EXPECT_EQ(tie, "/p/X.json /q/x.json");
    EXPECT_EQ(before_full, 30u);
    ASSERT_EQ(settingstab_param_count(), 32u);
    EXPECT_EQ(std::string(settingstab_param_path(30)), "/n/n1.json");
    EXPECT_EQ(std::string(settingstab_param_path(31)), "/n/n3.json");
    EXPECT_NE(out.find("The list holds at most 32 parameter files; '/n/n2.json' is not added.\n"), std::string::npos)
        << out;
    EXPECT_NE(out.find("is too long to be loaded; it is not added.\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("a.yaml"), std::string::npos) << "a duplicate is dropped silently: " << out;
}

} // namespace
