// The device tab and its terminal, in process: a child runs the library and plays the main window (a
// display with a tab window, the device tab built into it, one display step and one devicetab_step a
// frame) on the test's X server; clicks, dialog answers and keyboard keys go through the toolkit's event
// script. The parent checks the simulated devices and the bus.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "ui/devicetab.h"
#include "e2e/e2e.h"
#include "firmware/esp32.h"
#include "bus/find.h"
#include "hal/canopen_harness.h"
#include "kr_ui.h"
#include "run/main.h"
#include "sim_delay.h"
#include "sim_device.h"
#include "sim_media.h"
#include "sim_program.h"
#include "system/system.h"
#include "ui/terminaltab.h"
#include "system/package_builder.h"
#include "ui/kr_ui_hooks.h"
#include "ui/kr_uicontainers.h"
#include "ui/kr_uidisplay.h"
#include "ui/kr_uitextedit.h"
#include "ui/kr_uiwidgets.h"
#include "ui_support.h"
#include "../../src/ui/devicetab_internal.h"

namespace {

// ---- Child side ----

std::string dir() { return getenv("KRDT_DIR"); }

void capture_output()
{
    int out = open((dir() + "/child.out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(out, 1);
    dup2(out, 2);
    setvbuf(stdout, nullptr, _IONBF, 0);
    setvbuf(stderr, nullptr, _IONBF, 0);
}

struct window_st {
    kr_uidisplay_st disp;
    kr_uiobject_st *disp_buf[4];
    kr_uitabwindow_st tw;
    kr_uiobject_st *tw_buf[16];
    device_st *shown = nullptr;
    bool overview = false;
};
window_st *win = nullptr;
const char *const tab_names[] = {"Unit"};

void show(device_st *d)
{
    kr_uitabwindow_clear(&win->tw);
    win->shown = d;
    win->overview = false;
    devicetab_show_device(&win->tw, d);
}

void show_overview()
{
    kr_uitabwindow_clear(&win->tw);
    win->overview = true;
    devicetab_show_system(&win->tw, &dev.system);
}

bool open_window()
{
    silent = false;
    if (!kr_ui_init()) return false;
    win = new window_st();
    std::memset((void *)win, 0, sizeof *win);
    kr_uidisplay_init(&win->disp, win->disp_buf, nullptr);
    kr_uitabwindow_init(&win->tw, 1, nullptr, win->tw_buf, tab_names);
    kr_uiwindow_addxy(&win->disp.super, &win->tw.super.super, 0, 0, UI_SCREEN_WIDTH, UI_SCREEN_HEIGHT);
    find_start_monitor();
    devicetab_show_system(&win->tw, &dev.system);
    return true;
}

// One frame of the main window; a tab the device tab asks to rebuild is shown again.
void frame()
{
    kr_uidisplay_step(&win->disp, 20);
    if (devicetab_step()) {
        if (win->overview)
            show_overview();
        else
            show(win->shown);
    }
    kr_rtos_task_delay(20);
}

void frames(int n)
{
    for (int i = 0; i < n; i++) frame();
}

// Frames until the event script is played, then a few more.
void play()
{
    for (int i = 0; i < 3000 && kr_ui_script_pending() > 0; i++) frame();
    frames(5);
}

using uitest::script_idle;

void script_click(int x, int y)
{
    const double s = kr_ui_scale();
    uitest::script_click((int)(x * s), (int)(y * s));
}

void script_keys(const char *text)
{
    static const char letters[] = "qwertyuiopasdfghjklzxcvbnm";
    for (const char *p = text; *p; ++p) {
        int16_t key = KEY_ENTER;
        if (*p != '\n') key = (int16_t)(10 + (std::strchr(letters, *p) - letters));
        const kr_bounding_box_st b = kr_uikeyboard_key_geometry(key);
        script_click(b.x + b.w / 2, b.y + b.h / 2);
    }
}

kr_uiobject_st *find_button(kr_uiwindow_st *w, const char *text)
{
    for (uint16_t i = 0; i < w->objects_count; i++) {
        kr_uiobject_st *o = w->objects[i];
        if (!o) continue;
        if (o->is_window) {
            if (kr_uiobject_st *f = find_button((kr_uiwindow_st *)o, text)) return f;
        } else if (o->vrtl_touch == kr_uibutton_touch && std::strcmp(((kr_uibutton_st *)o)->text, text) == 0) {
            return o;
        }
    }
    return nullptr;
}

// Clicks a button of the page; false when it is not there.
bool click_button(const char *text)
{
    kr_uiobject_st *o = find_button(&win->tw.super, text);
    if (!o) return false;
    script_click(kr_ui_get_xglobal(o) + o->bb.w / 2, kr_ui_get_yglobal(o) + o->bb.h / 2);
    return true;
}

// The device page's sub-tab bar lies right under the outer tab bar.
void click_subtab(int index) { script_click(45 + 90 * index, 60); }

// The terminal's input line: the one widget of the sub-tab page that is no window.
kr_uiobject_st *terminal_input()
{
    kr_uiwindow_st *sub = (kr_uiwindow_st *)win->tw.super.objects[0];
    for (uint16_t i = 0; sub && i < sub->objects_count; i++)
        if (!sub->objects[i]->is_window && sub->objects[i]->vrtl_touch != kr_uibutton_touch) return sub->objects[i];
    return nullptr;
}

bool type_line(const char *line)
{
    kr_uiobject_st *in = terminal_input();
    if (!in) return false;
    script_click(kr_ui_get_xglobal(in) + in->bb.w / 2, kr_ui_get_yglobal(in) + in->bb.h / 2);
    script_keys(line);
    return true;
}

bool wait_text(const char *needle, int ms = 8000)
{
    for (int t = 0; t < ms; t += 40) {
        if (std::strstr(terminaltab_text(), needle)) return true;
        frame();
    }
    return false;
}

// Rows of text drawn in the terminal's view (runs of pixel rows holding a lit pixel).
int text_rows()
{
    int rows = 0;
    bool in_row = false;
    for (int y = 84; y < 560; y++) {
        bool lit = false;
        for (int x = 10; x < 1190 && !lit; x++) lit = (kr_ui_captured_pixel(x, y) & 0xFF) > 128;
        rows += lit && !in_row;
        in_row = lit;
    }
    return rows;
}

device_st *online_device(uint8_t node)
{
    device_st *d = system_add_empty_device(&dev.system);
    d->nodeid = node;
    d->loaded = true;
    d->state = DEV_STATE_OP;
    d->vendor_id = 797;
    d->dev_revision = 1;
    std::snprintf(d->name, sizeof d->name, "unit");
    return d;
}

// A device of the system from a package in the test's folder, operational at `node`.
device_st *package_device(const char *file, uint8_t node)
{
    const std::string krdev = dir() + "/" + file;
    if (!system_add_device(&dev.system, krdev.c_str(), node)) return nullptr;
    device_st *d = &dev.system.devs[dev.system.dev_count - 1];
    d->state = DEV_STATE_OP;
    d->dev_revision = 1;
    return d;
}

void wait_idle()
{
    for (int i = 0; i < 4000 && devicetab_is_busy(); i++) frame();
}

// Shows the device, clicks a job's button, answers "Yes" and plays frames until the tab is idle
// again; reports KEY=1 when the button was there and the tab came back.
void run_job(device_st *d, const char *button, const char *key)
{
    show(d);
    frames(3);
    const bool found = click_button(button);
    script_click(300, 600); // "Yes"
    play();
    wait_idle();
    frames(5);
    co::report("%s=%d", key, found && !devicetab_is_busy() ? 1 : 0);
}

// ---- Parent side ----

class DeviceTab : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (co::child_mode()) return; // the parent's X server
        UI_REQUIRE_DISPLAY();
        std::string err;
        ASSERT_TRUE(sim_setup_start(bench, {}, 0, err, true)) << err;
        setenv("KRDT_DIR", box.dir().c_str(), 1);
        old_path = getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin";
    }
    void start(std::vector<sim_device_config_st> devs)
    {
        std::string err;
        ASSERT_TRUE(sim_setup_add_devices(bench, devs, err)) << err;
    }
    void TearDown() override
    {
        if (co::child_mode()) return;
        unsetenv("KRDT_DIR");
        if (!old_path.empty()) setenv("PATH", old_path.c_str(), 1);
        sim_setup_stop(bench);
    }
    std::string out() { return box.read_file("child.out"); }
    // An outside program stood in for by a script in the sandbox's bin, first on PATH (the child
    // inherits it).
    void stand_in(const std::string &name, const std::string &script)
    {
        const std::string bin = box.dir().string() + "/bin";
        box.write_file("bin/" + name, script);
        chmod((bin + "/" + name).c_str(), 0755);
        const std::string path = getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin";
        if (path.rfind(bin + ":", 0) != 0) setenv("PATH", (bin + ":" + path).c_str(), 1);
    }
    // A stand-in zenity that answers with the file the child writes before each dialog.
    void zenity() { stand_in("zenity", "#!/bin/sh\ncat \"$KRDT_DIR/zenity.answer\"\n"); }

    e2e::sandbox box;
    sim_setup_st bench;
    sim_tap_st *&tap = bench.tap;
    sim_runner_st *&runner = bench.devs;
    uint16_t &port = bench.port;
    std::string old_path;
};

sim_device_config_st unit(uint8_t node)
{
    sim_device_config_st d;
    d.node_id = node;
    d.heartbeat_ms = 100;
    d.start_operational = true;
    return d;
}

size_t count_of(const std::string &s, const std::string &needle)
{
    size_t n = 0;
    for (size_t p = s.find(needle); p != std::string::npos; p = s.find(needle, p + 1)) n++;
    return n;
}

// Revert, save settings and reset reach the device (a refused restore fails the run); a line typed in
// the terminal goes out as terminal frames and the device's answer shows, a long one wrapped; with node
// id 0 every one of these is refused with a message and nothing goes on the bus.
TEST_F(DeviceTab, DeviceActionsAndTerminalAndNodeZeroRefused)
{
    if (!co::child_mode()) {
        start({unit(0x20)});
        sim_fault_st f;
        f.kind = SIM_FAULT_ABORT;
        f.index = 0x1011;
        f.count = -1;
        sim_dev_add_fault(runner, 0x20, f);
    }
    co::result_st res = co::run(port, [] {
        capture_output();
        if (!open_window()) return 3;
        device_st *d = online_device(0x20);
        show(d);
        frames(5);
        co::report("failed_before=%d", main_run_failed() ? 1 : 0);
        bool found = click_button("Revert to defaults");
        play();
        co::report("failed_after_revert=%d", main_run_failed() ? 1 : 0);
        found = click_button("Save settings") && found;
        play();
        found = click_button("Reset device") && found;
        play();
        co::report("buttons=%d", found ? 1 : 0);

        click_subtab(1);
        play();
        co::report("typed=%d", type_line("hi\n") ? 1 : 0);
        play();
        co::report("echo=%d", wait_text("Hi") ? 1 : 0);
        co::report("text=%s", terminaltab_text());
        // A line from the device wider than the view wraps onto a second row instead of running off its
        // right edge: two more rows of text.
        kr_ui_capture(true);
        frames(3);
        const int rows_before = text_rows();
        std::string wide(150, 'W');
        wide += "END\r\n";
        for (size_t i = 0; i < wide.size(); i += 4) {
            kr_can_message_st m{};
            m.id = 0x5A0;
            m.type = CAN_STD;
            const uint8_t head[] = {0x42, 0xFF, 0x5F, 0x00};
            std::memcpy(m.data, head, 4);
            const size_t n = std::min<size_t>(4, wide.size() - i);
            std::memcpy(m.data + 4, wide.data() + i, n);
            m.data_length = (uint8_t)(4 + n);
            find_can_callb(nullptr, &m);
        }
        wait_text("WEND");
        frames(3);
        co::report("wrapped_rows=%d", text_rows() - rows_before);
        kr_ui_capture(false);

        d->nodeid = 0;
        show(d); // the same device: the terminal stays
        frames(3);
        type_line("x\n");
        play();
        frames(60); // the transmit task had time to send anything queued
        click_subtab(0);
        play();
        click_button("Revert to defaults");
        play();
        click_button("Save settings");
        play();
        click_button("Reset device");
        play();

        // With the bus gone a reset that cannot go out is an error, not "sent".
        d->nodeid = 0x20;
        kr_can_set_dev("krdtnone0");
        kr_can_close();
        click_button("Reset device");
        play();
        return 0;
    });
    ASSERT_EQ(res.status, 0) << res.text << out();
    EXPECT_EQ(res.get("buttons"), "1");
    EXPECT_EQ(res.get("failed_before"), "0");
    EXPECT_EQ(res.get("failed_after_revert"), "1");
    EXPECT_EQ(res.get("typed"), "1");
    EXPECT_EQ(res.get("echo"), "1") << res.text << out();
    EXPECT_EQ(res.get("wrapped_rows"), "2") << "a long line is cut at the right edge";

    size_t saves = 0;
    for (const sim_write_log_st &w : sim_dev_write_log(runner, 0x20)) saves += w.index == 0x1010 && w.sub == 1;
    EXPECT_EQ(saves, 1u);
    EXPECT_EQ(sim_dev_nmt_log(runner, 0x20), std::vector<uint8_t>{0x81});
    auto lines = sim_term_lines(runner, 0x20);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].line, "Hi");
    // The typed line as terminal frames: 0x22 FF 5F 00 and up to 4 characters each.
    std::string sent;
    for (const sim_frame_st &f : sim_tap_frames(tap)) {
        if (f.id == 0x620 && f.len >= 5 && f.data[0] == 0x22 && f.data[1] == 0xFF && f.data[2] == 0x5F)
            sent.append((const char *)f.data + 4, f.len - 4);
        // Node 0: no SDO to 0x600, no NMT to every node.
        EXPECT_NE(f.id, 0x600u) << sim_frame_str(f);
        EXPECT_FALSE(f.id == 0 && f.len == 2 && f.data[1] == 0) << sim_frame_str(f);
    }
    EXPECT_EQ(sent, "Hi\n");
    const std::string o = out();
    EXPECT_NE(o.find("Settings stored to non-volatile memory on node 0x20."), std::string::npos) << o;
    EXPECT_NE(o.find("ERROR: restore-defaults request to node 0x20 failed."), std::string::npos) << o;
    EXPECT_EQ(count_of(o, "Reset command sent to node 0x20."), 1u) << o;
    EXPECT_NE(o.find("ERROR: reset command to node 0x20 could not be sent."), std::string::npos) << o;
    EXPECT_EQ(count_of(o, "refused: the device has node id 0x0"), 3u) << o;
    EXPECT_EQ(count_of(o, "The terminal does not send to node 0"), 1u) << o;
}

std::string jobs_db()
{
    return R"({"DEV": "Unit", "NODEID": 32, "REVISIONNUMBER": 1, "OBJ_DICT": [
  {"name": "canif", "index": "0x2fff", "type": "CANOPEN_UNSIGNED16", "permissions": "CANOPEN_RO", "data_type": "CAN_IF",
   "subindex": 0, "value": 1, "dataptr": "&a"},
  {"name": "gain", "index": "0x2000", "type": "CANOPEN_UNSIGNED32", "permissions": "CANOPEN_RW",
   "data_type": "NONVOL_PARAM", "subindex": 0, "min": 0, "max": 1000000, "default": 0, "dataptr": "&b"}]})";
}

std::vector<uint8_t> firmware(size_t n)
{
    std::vector<uint8_t> b(n);
    for (size_t i = 0; i < n; i++) b[i] = (uint8_t)(i * 7 + 3);
    return b;
}

bool write_firmware_package(const e2e::sandbox &box, const std::vector<uint8_t> &fw)
{
    return pkgtest::write_zip(
        box.path("unit.krdev").string(),
        {pkgtest::file("krdev.json", R"({"DATABASE": "db.json", "FIRMWARE": "fw.bin", "VERSION": "2"})"),
         pkgtest::file("db.json", jobs_db()), pkgtest::file("fw.bin", std::string(fw.begin(), fw.end()))});
}

// From the device's own package, with every SDO answer held back: parameters saved to a name without
// extension land in a ".json" file holding the device's value; a device in its bootloader at 0x7F whose
// package says 0x20 is flashed at 0x7F and keeps 0x7F while the flash runs; a line typed into the
// terminal during the flash is held until the flash is over; nothing fails the run.
TEST_F(DeviceTab, SaveAndFlashFromThePackageWithTheTerminalHeldMeanwhile)
{
    const std::vector<uint8_t> fw = firmware(60000); // long enough to type into the terminal meanwhile
    if (!co::child_mode()) {
        sim_device_config_st d = unit(0x7F);
        d.program.flavour = SIM_BOOT_CIA302;
        d.program.image = {1, 2, 3};
        d.sdo_delay_ms = 150;
        start({d});
        sim_object_st gain;
        gain.type = SIM_U32;
        gain.value = gain.stored = gain.def = {0x45, 0x23, 0x01, 0x00}; // 74565
        sim_dev_add_object(runner, 0x7F, 0x2000, 0, gain);
        ASSERT_TRUE(write_firmware_package(box, fw));
        zenity();
    }
    co::result_st res = co::run(port, [] {
        capture_output();
        if (!open_window()) return 3;
        device_st *d = package_device("unit.krdev", 0x7F);
        if (!d) return 4;
        show(d);
        frames(5);
        std::ofstream(dir() + "/zenity.answer") << dir() << "/saved\n";
        co::report("save_button=%d", click_button("Save parameters") ? 1 : 0);
        play();
        co::report("save_busy=%d", devicetab_is_busy() ? 1 : 0);
        for (int i = 0; i < 1500 && devicetab_is_busy(); i++) frame();
        co::report("save_done=%d", devicetab_is_busy() ? 0 : 1);

        d->state = DEV_STATE_BOOTUP;
        show(d);
        frames(3);
        co::report("flash_button=%d", click_button("Flash firmware") ? 1 : 0);
        script_click(300, 600); // "Yes"
        play();
        co::report("flash_busy=%d", devicetab_is_busy() ? 1 : 0);
        co::report("node_at_start=0x%x", d->nodeid);
        click_subtab(1);
        play();
        type_line("ab\n");
        play();
        co::report("busy_after_typing=%d", devicetab_is_busy() ? 1 : 0);
        for (int i = 0; i < 3000 && devicetab_is_busy(); i++) frame();
        co::report("flash_done=%d success=%d", devicetab_is_busy() ? 0 : 1, dev.load.success ? 1 : 0);
        frames(100); // the held line goes out now
        co::report("failed=%d", main_run_failed() ? 1 : 0);
        return 0;
    });
    ASSERT_EQ(res.status, 0) << res.text << out();
    EXPECT_EQ(res.get("save_button"), "1");
    EXPECT_EQ(res.get("save_busy"), "1");
    EXPECT_EQ(res.get("save_done"), "1");
    EXPECT_EQ(res.get("flash_button"), "1");
    EXPECT_EQ(res.get("flash_busy"), "1");
    EXPECT_EQ(res.get("node_at_start"), "0x7f") << "the tab follows the device only once it answers at 0x20";
    EXPECT_EQ(res.get("busy_after_typing"), "1") << "the line was typed after the flash";
    EXPECT_EQ(res.get("flash_done"), "1 success=1") << out();
    EXPECT_EQ(res.get("failed"), "0") << out();

    const std::string saved = box.read_file("saved.json");
    EXPECT_NE(saved.find("74565"), std::string::npos) << saved;
    EXPECT_FALSE(std::filesystem::exists(box.path("saved")));
    EXPECT_EQ(sim_dev_program(runner, 0x7F).image, fw);
    // Every terminal frame comes after the flash's last frame (the reset that starts the image).
    const std::vector<sim_frame_st> frames = sim_tap_frames(tap);
    long last_flash = -1, first_term = -1;
    for (size_t i = 0; i < frames.size(); i++) {
        const sim_frame_st &f = frames[i];
        if (f.id == 0 && f.len == 2 && f.data[0] == 0x81 && f.data[1] == 0x7F) last_flash = (long)i;
        if (f.id >= 0x600 && f.id <= 0x67F && f.len >= 5 && f.data[0] == 0x22 && f.data[1] == 0xFF &&
            f.data[2] == 0x5F && first_term < 0)
            first_term = (long)i;
    }
    EXPECT_GE(last_flash, 0);
    EXPECT_GT(first_term, last_flash);
    if (first_term >= 0 && first_term <= last_flash)
        for (long i = std::max(0L, first_term - 5); i < (long)frames.size() && i <= last_flash + 2; i++)
            ADD_FAILURE() << i << ": " << sim_frame_str(frames[(size_t)i]);
}

// The device view shows the identity the device reports, whatever package the tab is given: one made for
// another product is named beside it; a matching one, or one without a database, changes nothing shown.
TEST_F(DeviceTab, DeviceViewShowsTheDevicesIdentityBesideThePackages)
{
    if (!co::child_mode()) {
        sim_device_config_st d = unit(0x22);
        d.product = 0x400;
        start({d});
        for (const auto &[name, product] : {std::pair{"other", 256}, std::pair{"same", 1024}}) {
            std::string db = jobs_db();
            db.replace(db.find("\"NODEID\""), 0,
                       "\"VENDORID\": 797, \"PRODUCTCODE\": " + std::to_string(product) + ", ");
            ASSERT_TRUE(
                pkgtest::write_zip(box.path(std::string(name) + ".krdev").string(),
                                   {pkgtest::file("krdev.json", R"({"DATABASE": "db.json", "FIRMWARE": "fw.bin"})"),
                                    pkgtest::file("db.json", db), pkgtest::file("fw.bin", "x")}));
        }
        ASSERT_TRUE(pkgtest::write_zip(box.path("nodb.krdev").string(),
                                       {pkgtest::file("krdev.json", R"({"FIRMWARE": "fw.bin"})"),
                                        pkgtest::file("fw.bin", "x")}));
    }
    co::result_st res = co::run(port, [] {
        capture_output();
        if (!open_window()) return 3;
        device_st *d = online_device(0x22);
        for (int i = 0; i < 100 && !d->dev_identity_read; i++) {
            frame();
            find_update_device_states(&dev.system); // as the main window does each frame
        }
        for (const char *pkg : {"none", "other", "same", "nodb"}) {
            if (std::strcmp(pkg, "none") != 0) system_set_device_file(d, (dir() + "/" + pkg + ".krdev").c_str());
            show(d);
            frames(2);
            std::string text = dt::content.identity_str;
            std::replace(text.begin(), text.end(), '\n', '|');
            co::report("%s=%s", pkg, text.c_str());
        }
        return 0;
    });
    ASSERT_EQ(res.status, 0) << res.text << out();
    EXPECT_EQ(res.get("other"),
              "Vendor ID: 0x31D (Korvane Oy)|Product code: 0x400  (the package is for 0x100)|Software version: -");
    const std::string as_device = "Vendor ID: 0x31D (Korvane Oy)|Product code: 0x400|Software version: -";
    EXPECT_EQ(res.get("none"), as_device);
    EXPECT_EQ(res.get("same"), as_device);
    EXPECT_EQ(res.get("nodb"), as_device) << "a package without a database changed what is shown";
}

// After a flash the tab waits for the device's boot-up, saying it is too late to cancel, and is back
// within a second of it (a request sent while the device resets would hold the window for the SDO
// time-out). A device that falls silent mid-flash fails it within a few seconds, not after the time-outs.
TEST_F(DeviceTab, FlashEndsOnTheBootUpAndASilencedDeviceFailsAtOnce)
{
    const std::vector<uint8_t> fw = firmware(60000);
    std::atomic<bool> ended{false};
    std::atomic<int64_t> killed_ns{0};
    std::thread killer;
    if (!co::child_mode()) {
        sim_device_config_st a = unit(0x20), b = unit(0x21);
        a.program.flavour = b.program.flavour = SIM_BOOT_CIA302;
        a.program.image = b.program.image = {5};
        a.reset_delay_ms = 800; // a request sent during the reset goes unanswered
        b.sdo_delay_ms = 100;   // a download of some seconds
        start({a, b});
        ASSERT_TRUE(write_firmware_package(box, fw));
        killer = std::thread([&] {
            while (!ended && count_of(out(), "Downloading the firmware as SDO block transfer.") < 2)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
            if (ended) return;
            killed_ns = sim_mono_ns();
            sim_dev_power(runner, 0x21, 60000);
        });
    }
    co::result_st res = co::run(
        port,
        [] {
            capture_output();
            if (!open_window()) return 3;
            device_st *a = package_device("unit.krdev", 0x20), *b = package_device("unit.krdev", 0x21);
            if (!a || !b) return 4;
            show(a);
            frames(3);
            click_button("Flash firmware");
            script_click(300, 600); // "Yes"
            play();
            bool too_late = false;
            for (int i = 0; i < 4000 && devicetab_is_busy(); i++) {
                frame();
                too_late = too_late || find_button(&win->tw.super, "Resetting the device: too late to cancel");
            }
            frames(1);
            co::report("back_ns=%lld", (long long)sim_mono_ns());
            kr_uiobject_st *flash = find_button(&win->tw.super, "Flash firmware");
            co::report("flashed=%d too_late=%d enabled=%d", dev.load.success ? 1 : 0, too_late ? 1 : 0,
                       flash && flash->enabled ? 1 : 0);

            show(b);
            frames(3);
            click_button("Flash firmware");
            script_click(300, 600);
            play();
            wait_idle();
            co::report("silenced_end_ns=%lld", (long long)sim_mono_ns());
            co::report("silenced=%d failed=%d", dev.load.success ? 1 : 0, main_run_failed() ? 1 : 0);
            return 0;
        },
        120000);
    ended = true;
    if (killer.joinable()) killer.join();
    ASSERT_EQ(res.status, 0) << res.text << out();
    EXPECT_EQ(res.get("flashed"), "1 too_late=1 enabled=1") << out();
    EXPECT_EQ(sim_dev_program(runner, 0x20).image, fw);
    int64_t reset_ns = 0, bootup_ns = 0;
    for (const sim_frame_st &f : sim_tap_frames(tap)) {
        if (f.id == 0 && f.len == 2 && f.data[0] == 0x81 && f.data[1] == 0x20) reset_ns = f.rx_ns;
        if (reset_ns && !bootup_ns && f.id == 0x720 && f.len == 1 && f.data[0] == 0) bootup_ns = f.rx_ns;
    }
    ASSERT_NE(bootup_ns, 0);
    EXPECT_LT(res.num("back_ns") - bootup_ns, 1000000000LL)
        << "buttons back " << (res.num("back_ns") - bootup_ns) / 1000000 << " ms after the boot-up";

    EXPECT_EQ(res.get("silenced"), "0 failed=1") << out();
    ASSERT_NE(killed_ns.load(), 0);
    EXPECT_LT(res.num("silenced_end_ns") - killed_ns, 4000000000LL)
        << "the silenced device's flash ended " << (res.num("silenced_end_ns") - killed_ns) / 1000000 << " ms after";
    EXPECT_NE(out().find("node 0x21 fell silent"), std::string::npos) << out();
}

// Each button acts on its tab's device. 0x30, put into the maker's bootloader by "Reset device", flashed
// from a package whose default node id 0x10 another live device has: refused as one block, the flash
// waits for its power cycle (a bootloader may hold an earlier flash's pieces), then the firmware goes
// in the maker's pieces until one fails; the flash says so, and the tab keeps 0x30 (its reset reaches
// 0x30, never 0x10). 0x10, flashed from a chosen package that the page shows at once: "Cancel
// flashing" halfway aborts the download on the bus, the image stays and the device is not reset. A new
// tab given that package keeps its own node id, not 0x10. The node id of 0x10: 0x30 is refused (another
// device's); 0x11 reset unsaved is dropped; 0x11 written, stored and reset is followed once the device
// answers there.
TEST_F(DeviceTab, ButtonsActOnTheTabsOwnDevice)
{
    if (!co::child_mode()) {
        sim_device_config_st boot = unit(0x30), app = unit(0x10);
        boot.program.flavour = SIM_BOOT_KR;
        app.program.flavour = SIM_BOOT_CIA302;
        boot.program.image = app.program.image = {9};
        app.sdo_delay_ms = 100;
        start({app, boot});
        sim_fault_st f; // the second of the 256-byte pieces (after the block refused and a read of 0x1017)
        f.index = 0x1F50;
        f.xfer = 4;
        f.code = 0x08000020;
        sim_dev_add_fault(runner, 0x30, f);
        std::string db = jobs_db();
        db.replace(db.find("\"NODEID\": 32"), 12, "\"NODEID\": 16");
        ASSERT_TRUE(
            pkgtest::write_zip(box.path("boot.krdev").string(),
                               {pkgtest::file("krdev.json", R"({"DATABASE": "db.json", "FIRMWARE": "fw.bin"})"),
                                pkgtest::file("db.json", db), pkgtest::file("fw.bin", std::string(30000, 'f'))}));
        zenity();
    }
    // The child marks the moment the flash of 0x30 waits for it; then it is switched off and on.
    std::thread power;
    if (!co::child_mode())
        power = std::thread([this] {
            for (int i = 0; i < 120000 && !std::filesystem::exists(box.path("waiting")); i++) usleep(1000);
            sim_dev_power(runner, 0x30, 1000);
        });
    co::result_st res = co::run(port, [] {
        capture_output();
        if (!open_window()) return 3;
        device_st *app = online_device(0x10), *d = package_device("boot.krdev", 0x30);
        show(d);
        frames(3);
        click_button("Reset device"); // into its bootloader
        play();
        d->state = DEV_STATE_BOOTUP;
        show(d);
        frames(20);
        click_button("Flash firmware");
        script_click(300, 600); // "Yes"
        play();
        for (int i = 0; i < 4000 && devicetab_is_busy() && !dev.load.waiting; i++) frame();
        co::report("waited=%d", dev.load.waiting ? 1 : 0);
        std::ofstream(dir() + "/waiting") << "\n";
        wait_idle();
        click_button("Reset device");
        play();
        co::report("boot=0x%x success=%d failed=%d", d->nodeid, dev.load.success ? 1 : 0, main_run_failed() ? 1 : 0);

        show(app);
        frames(3);
        std::ofstream(dir() + "/zenity.answer") << dir() << "/boot.krdev\n";
        click_button("Flash firmware");
        script_click(300, 600); // "Yes"
        play();
        co::report("package_shown=%d", std::strstr(dt::content.state_str, "NOT SELECTED") ? 0 : 1);
        for (int i = 0; i < 3000 && devicetab_is_busy() && dev.load.progress < 50; i++) frame();
        co::report("cancel=%d", dev.load.progress < 100 && click_button("Cancel flashing") ? 1 : 0);
        play();
        wait_idle();
        device_st *fresh = system_add_empty_device(&dev.system); // a "New device (+)" tab
        show(fresh);
        frames(3);
        std::snprintf(dt::content.pkg_path, sizeof dt::content.pkg_path, "%s/boot.krdev", dir().c_str());
        frames(3); // as the file dialog leaves it: the package's default 0x10 is app's
        co::report("fresh=0x%x", fresh->nodeid);
        show(app);
        frames(3);
        auto edit_id = [](int id) {
            dt::content.nodeid_edit.value = id; // as the numpad leaves it
            frames(3);
        };
        edit_id(0x30); // the other device's
        co::report("taken=0x%x shown=0x%x", app->nodeid, (unsigned)dt::content.nodeid_edit.value);
        edit_id(0x11);
        click_button("Reset device"); // drops the unsaved id
        play();
        click_button("Save settings");
        play();
        click_button("Reset device");
        play();
        for (int i = 0; i < 10; i++) find_poll_new_devices(), frame();
        co::report("unsaved=0x%x", app->nodeid);
        edit_id(0x11);
        co::report("edited=0x%x", app->nodeid);
        click_button("Save settings");
        play();
        click_button("Reset device");
        play();
        for (int i = 0; i < 1000 && app->nodeid != 0x11; i++) find_poll_new_devices(), frame(); // as the window polls
        co::report("app=0x%x success=%d", app->nodeid, dev.load.success ? 1 : 0);
        return 0;
    });
    power.join();
    ASSERT_EQ(res.status, 0) << res.text << out();
    EXPECT_EQ(res.get("waited"), "1") << out();
    EXPECT_EQ(res.get("boot"), "0x30 success=0 failed=1") << out();
    EXPECT_EQ(sim_dev_nmt_log(runner, 0x30), (std::vector<uint8_t>{0x81, 0x81}));
    EXPECT_EQ(res.get("package_shown"), "1") << "CONFIGURATION FILE NOT SELECTED during the flash";
    EXPECT_EQ(res.get("cancel"), "1") << out();
    EXPECT_EQ(res.get("fresh"), "0x0") << "two tabs for node 0x10";
    EXPECT_EQ(res.get("taken"), "0x10 shown=0x10") << out();
    EXPECT_EQ(res.get("unsaved"), "0x10") << "the tab followed an id the reset dropped\n" << out();
    EXPECT_EQ(res.get("edited"), "0x10") << "the tab left the device before it took the id";
    EXPECT_EQ(res.get("app"), "0x11 success=0") << out();
    std::vector<uint8_t> id;
    for (int i = 0; i < 500 && !sim_dev_get(runner, 0x11, 0x100B, 0, id); i++) usleep(10000);
    EXPECT_EQ(id, std::vector<uint8_t>{0x11}) << "the device does not answer at 0x11";
    EXPECT_EQ(sim_dev_nmt_log(runner, 0x11), (std::vector<uint8_t>{0x81, 0x81, 0x81}))
        << "reset by the flash, or at 0x30";
    EXPECT_EQ(sim_dev_program(runner, 0x11).image, std::vector<uint8_t>{9});
    EXPECT_EQ(sim_dev_abort_log(runner, 0x11), std::vector<uint32_t>{0x08000000}) << "the cancel's abort";
    const std::string o = out();
    EXPECT_NE(o.find("Node 0x30 takes the firmware in pieces of 256 bytes"), std::string::npos) << o;
    EXPECT_NE(o.find("Block 1 downloaded, 256 / 30000 bytes"), std::string::npos) << o;
    EXPECT_NE(o.find("ERROR: flashing the firmware to node 0x30 failed."), std::string::npos) << o;
    EXPECT_NE(o.find("ERROR: the flash of node 0x10 was cancelled before it completed"), std::string::npos) << o;
}

std::string param_file(int node, uint32_t value)
{
    return R"({"CAN IF VERSION": 1, "CAN IF MINDEX": "0x2fff", "CAN IF SINDEX": 0, "NODEID": )" + std::to_string(node) +
           R"(, "PARAMS": [{"INFO": "gain", "MAININDEX": "0x2000", "TYPE": "CANOPEN_UNSIGNED32", "DATA": )" +
           std::to_string(value) + "}]}";
}

// machine.krsys with unit.krdev at each node and saved parameters of 0x2000 = 4711 + the node's place;
// the parameter objects added to those of the nodes that run.
bool write_system(const e2e::sandbox &box, sim_runner_st *runner, const std::vector<uint8_t> &nodes)
{
    std::string devs;
    std::vector<pkgtest::entry> files;
    for (size_t i = 0; i < nodes.size(); i++) {
        char node[8];
        std::snprintf(node, sizeof node, "%02x", nodes[i]);
        devs += std::string(i ? "," : "") + R"({"NODEID": "0x)" + node +
                R"(", "KRDEV": "devs/unit.krdev", "PARAM": "p)" + node + R"(.json"})";
        files.push_back(pkgtest::file(std::string("p") + node + ".json", param_file(nodes[i], 4711 + (uint32_t)i)));
        sim_object_st o;
        o.type = SIM_U32;
        o.value = o.stored = o.def = {0, 0, 0, 0};
        sim_dev_add_object(runner, nodes[i], 0x2000, 0, o);
        o.type = SIM_U8;
        o.value = o.stored = o.def = {0};
        sim_dev_add_object(runner, nodes[i], 0x2020, 1, o);
    }
    if (!pkgtest::write_zip(box.path("unit.krdev").string(),
                            {pkgtest::file("krdev.json", R"({"DATABASE": "db.json", "VERSION": "2"})"),
                             pkgtest::file("db.json", jobs_db())}))
        return false;
    files.push_back(pkgtest::file("krsys.json", R"({"DATE": "2026-11-02", "DEVS": [)" + devs + "]}"));
    files.push_back(pkgtest::file("devs/unit.krdev", box.read_file("unit.krdev")));
    return pkgtest::write_zip(box.path("machine.krsys").string(), files);
}

// The Overview: opening a system package asks to load the saved parameters of its online devices only
// (the offline one is left out) and loads them; saving the system says at once that it cannot be done,
// asks for no file name, writes nothing and fails the run.
TEST_F(DeviceTab, OverviewOpensASystemLoadsSavedParametersAndSystemSaveFails)
{
    if (!co::child_mode()) {
        start({unit(0x20)});
        ASSERT_TRUE(write_system(box, runner, {0x20, 0x21}));
        zenity();
    }
    co::result_st res = co::run(port, [] {
        capture_output();
        if (!open_window()) return 3;
        show_overview();
        frames(20); // the monitor hears 0x20
        std::ofstream(dir() + "/zenity.answer") << dir() << "/machine.krsys\n";
        co::report("open_button=%d", click_button("Open system configuration file") ? 1 : 0);
        script_click(300, 600); // "Yes" to loading the saved parameters
        bool busy_seen = false; // the load may end within a few frames: watch for it while playing
        for (int i = 0; i < 3000 && (kr_ui_script_pending() > 0 || !busy_seen); i++) {
            frame();
            busy_seen = busy_seen || devicetab_is_busy();
        }
        co::report("devices=%u", (unsigned)dev.system.dev_count);
        co::report("param_busy=%d", busy_seen ? 1 : 0);
        for (int i = 0; i < 1500 && devicetab_is_busy(); i++) frame();
        co::report("failed_after_load=%d", main_run_failed() ? 1 : 0);
        frames(5);
        std::filesystem::remove(dir() + "/zenity.answer"); // no file name is asked for
        co::report("save_button=%d", click_button("Save system configuration to file") ? 1 : 0);
        script_click(300, 600); // "OK"
        play();
        for (int i = 0; i < 500 && devicetab_is_busy(); i++) frame();
        co::report("failed_after_save=%d", main_run_failed() ? 1 : 0);
        return 0;
    });
    ASSERT_EQ(res.status, 0) << res.text << out();
    EXPECT_EQ(res.get("open_button"), "1");
    EXPECT_EQ(res.get("devices"), "2");
    EXPECT_EQ(res.get("param_busy"), "1");
    EXPECT_EQ(res.get("failed_after_load"), "0") << out();
    EXPECT_EQ(res.get("save_button"), "1");
    EXPECT_EQ(res.get("failed_after_save"), "1");
    EXPECT_EQ(sim_dev_get_u32(runner, 0x20, 0x2000, 0), 4711u);
    const std::string o = out();
    EXPECT_EQ(o.find("node 0x21 from"), std::string::npos) << o;
    EXPECT_NE(o.find("writing .krsys packages is not supported on Linux."), std::string::npos) << o;
    EXPECT_FALSE(std::filesystem::exists(box.path("out.krsys")));
}

// A close request during a load of saved parameters onto several devices stops it: the device being
// loaded keeps what it had stored and the next one is not touched; the run fails. With no job running
// there is nothing to cancel.
TEST_F(DeviceTab, CloseRequestStopsALoadOntoSeveralDevices)
{
    if (!co::child_mode()) {
        sim_device_config_st slow = unit(0x20);
        slow.sdo_delay_ms = 150; // holds the load at the first device
        start({slow, unit(0x22)});
        ASSERT_TRUE(write_system(box, runner, {0x20, 0x22}));
        zenity();
    }
    // Once the first device's load begins, its answers take 1.5 s each: the close request then lands
    // in the middle of that load however slowly a busy machine draws the window's frames.
    std::atomic<bool> ended{false};
    std::thread hold;
    if (!co::child_mode())
        hold = std::thread([&] {
            while (!ended && out().find("node 0x20 from") == std::string::npos)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            if (!ended) sim_dev_set_sdo_delay(runner, 0x20, 1500);
        });
    co::result_st res = co::run(port, [] {
        capture_output();
        if (!open_window()) return 3;
        show_overview();
        frames(20);
        co::report("idle_cancel=%d", devicetab_cancel_for_close() ? 1 : 0);
        std::ofstream(dir() + "/zenity.answer") << dir() << "/machine.krsys\n";
        click_button("Open system configuration file");
        script_click(300, 600); // "Yes" to loading the saved parameters
        play();
        bool at_first = false;
        for (int i = 0; i < 1500 && !at_first; i++) {
            frame();
            std::ifstream f(dir() + "/child.out");
            at_first = std::string(std::istreambuf_iterator<char>(f), {}).find("node 0x20 from") != std::string::npos;
        }
        co::report("cancel=%d", at_first && devicetab_cancel_for_close() ? 1 : 0);
        wait_idle();
        co::report("idle=%d", devicetab_is_busy() ? 0 : 1);
        co::report("failed=%d", main_run_failed() ? 1 : 0);
        return 0;
    });
    ended = true;
    if (hold.joinable()) hold.join();
    ASSERT_EQ(res.status, 0) << res.text << out();
    EXPECT_EQ(res.get("idle_cancel"), "0");
    EXPECT_EQ(res.get("cancel"), "1") << out();
    EXPECT_EQ(res.get("idle"), "1");
    EXPECT_EQ(res.get("failed"), "1") << out();
    EXPECT_NE(out().find("Stopping the parameter load...\n"), std::string::npos) << out();
    EXPECT_EQ(out().find("node 0x22 from"), std::string::npos) << out();
    EXPECT_EQ(sim_dev_get_u32(runner, 0x22, 0x2000, 0), 0u);
    for (uint8_t n : {0x20, 0x22}) {
        EXPECT_EQ(sim_dev_write_count(runner, n, 0x1010), 0u) << "stored at 0x" << std::hex << (int)n;
        EXPECT_EQ(sim_dev_nmt_count(runner, n, 0x81), 0u) << "reset at 0x" << std::hex << (int)n;
    }
}

// A display's package: media files beside a file that is none, and ESP32 images listed out of
// offset order.
std::string pattern(size_t n, unsigned seed)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++) s[i] = (char)((i * 131 + seed * 17) >> 2);
    return s;
}

bool write_display_package(const e2e::sandbox &box)
{
    return pkgtest::write_zip(
        box.path("display.krdev").string(),
        {pkgtest::file("krdev.json", R"({"DATABASE": "db.json", "VERSION": "3", "MEDIA": "media", "ESP32":
                          {"0x10000": "esp32/app.bin", "0x1000": "esp32/boot loader.bin"}})"),
         pkgtest::file("db.json", jobs_db()), pkgtest::file("media/x.png", pattern(300, 1)),
         pkgtest::file("media/y.bin", pattern(150, 2)), pkgtest::file("media/notes.txt", "not media"),
         pkgtest::file("esp32/app.bin", "app image"), pkgtest::file("esp32/boot loader.bin", "boot image")});
}

// The media job: "No" starts nothing; the package's media files land on the device, which is reset
// once, after its last block was stored; a device that takes no block is not reset and the run fails.
TEST_F(DeviceTab, MediaFromThePackageResetsOnlyAWholeLoad)
{
    if (!co::child_mode()) {
        sim_device_config_st good = unit(0x30), not_ready = unit(0x31);
        good.media.enabled = not_ready.media.enabled = true;
        good.media.block_size = 64; // x.png in five blocks
        start({good, not_ready});
        ASSERT_TRUE(write_display_package(box));
    }
    co::result_st res = co::run(
        port,
        [] {
            capture_output();
            if (!open_window()) return 3;
            device_st *good = package_device("display.krdev", 0x30), *bad = package_device("display.krdev", 0x31);
            if (!good || !bad) return 4;
            show(good);
            frames(3);
            click_button("Load media files");
            script_click(900, 600); // "No"
            play();
            run_job(good, "Load media files", "good_job");
            co::report("failed_after_good=%d", main_run_failed() ? 1 : 0);
            run_job(bad, "Load media files", "bad_job");
            co::report("failed_after_bad=%d", main_run_failed() ? 1 : 0);
            return 0;
        },
        120000);
    ASSERT_EQ(res.status, 0) << res.text << out();
    EXPECT_EQ(res.get("good_job"), "1");
    EXPECT_EQ(res.get("bad_job"), "1");
    EXPECT_EQ(res.get("failed_after_good"), "0") << out();
    EXPECT_EQ(res.get("failed_after_bad"), "1");

    std::map<std::string, std::string> held;
    for (const sim_media_file_st &f : sim_media_files(runner, 0x30))
        held[f.name] = std::string(f.data.begin(), f.data.end());
    EXPECT_EQ(held,
              (std::map<std::string, std::string>{{"media/x.png", pattern(300, 1)}, {"media/y.bin", pattern(150, 2)}}));
    EXPECT_TRUE(sim_media_files(runner, 0x31).empty());
    EXPECT_EQ(sim_dev_nmt_log(runner, 0x30), std::vector<uint8_t>{0x81});
    EXPECT_TRUE(sim_dev_nmt_log(runner, 0x31).empty());
    long last_commit = -1, reset = -1;
    const std::vector<sim_frame_st> frames = sim_tap_frames(tap);
    for (size_t i = 0; i < frames.size(); i++) {
        const sim_frame_st &f = frames[i];
        if (f.id == 0x630 && f.len == 8 && (f.data[0] & 0xE0) == 0x20 && f.data[1] == 0xF9 && f.data[2] == 0x5F)
            last_commit = (long)i;
        if (f.id == 0 && f.len == 2 && f.data[0] == 0x81 && f.data[1] == 0x30) reset = (long)i;
    }
    EXPECT_GE(last_commit, 0);
    EXPECT_GT(reset, last_commit) << "reset before the last block was stored";
    const std::string o = out();
    EXPECT_EQ(count_of(o, "Waiting for node 0x30 to become operational"), 1u) << "\"No\" started a job\n" << o;
    EXPECT_NE(o.find("ERROR: the media of node 0x31 did not load; the node is not reset."), std::string::npos) << o;
}

// Logs each run's start and end (wall clock, microseconds), its arguments, and what each image
// argument holds; exits with the code the child wrote.
const char *const kEsptool = R"SH(#!/bin/sh
log="$KRDT_DIR/esptool.log"
echo "start $(date +%s%6N)" >> "$log"
for a in "$@"; do
  printf 'arg %s\n' "$a" >> "$log"
  case "$a" in *.bin) printf 'file %s\n' "$(cat "$a" 2>&1)" >> "$log" ;; esac
done
code=$(cat "$KRDT_DIR/esptool.exit")
echo "end $(date +%s%6N)" >> "$log"
exit "$code"
)SH";

struct esptool_run {
    long long start_us = 0, end_us = 0;
    std::vector<std::string> args, files;
};

std::vector<esptool_run> esptool_runs(const std::string &log)
{
    std::vector<esptool_run> runs;
    std::istringstream in(log);
    for (std::string line; std::getline(in, line);) {
        const std::string kind = line.substr(0, line.find(' ')), rest = line.substr(line.find(' ') + 1);
        if (kind == "start") runs.emplace_back().start_us = std::stoll(rest);
        if (runs.empty()) continue;
        if (kind == "arg") runs.back().args.push_back(rest);
        if (kind == "file") runs.back().files.push_back(rest);
        if (kind == "end") runs.back().end_us = std::stoll(rest);
    }
    return runs;
}

// The ESP32 job: esptool gets the package's images at their offsets and the module's port, while the
// images exist, between the device's pause and resume; a failing esptool still resumes the device,
// fails the run and leaves the tab idle; no extracted package is left behind.
TEST_F(DeviceTab, Esp32FromThePackageBetweenPauseAndResume)
{
    if (!co::child_mode()) {
        start({unit(0x30)});
        ASSERT_TRUE(write_display_package(box));
        box.write_file("by-id/usb-Espressif_USB_JTAG_serial_debug_unit_AA:BB-if00", "");
        stand_in("esptool", kEsptool);
    }
    co::result_st res = co::run(
        port,
        [] {
            capture_output();
            loadesp32_set_time_limit(60000, 2000);
            esp32_set_serial_dir((dir() + "/by-id").c_str());
            if (!open_window()) return 3;
            device_st *d = package_device("display.krdev", 0x30);
            if (!d) return 4;
            std::ofstream(dir() + "/esptool.exit") << "0\n";
            run_job(d, "Flash ESP32 firmware", "ok_job");
            co::report("failed_after_ok=%d", main_run_failed() ? 1 : 0);
            std::ofstream(dir() + "/esptool.exit") << "2\n";
            run_job(d, "Flash ESP32 firmware", "bad_job");
            co::report("failed_after_bad=%d", main_run_failed() ? 1 : 0);
            return 0;
        },
        120000);
    ASSERT_EQ(res.status, 0) << res.text << out();
    EXPECT_EQ(res.get("ok_job"), "1");
    EXPECT_EQ(res.get("failed_after_ok"), "0") << out();
    EXPECT_EQ(res.get("bad_job"), "1");
    EXPECT_EQ(res.get("failed_after_bad"), "1");

    const std::vector<esptool_run> runs = esptool_runs(box.read_file("esptool.log"));
    ASSERT_EQ(runs.size(), 2u) << box.read_file("esptool.log");
    const std::vector<std::string> head = {
        "--chip",      "auto",
        "--port",      box.path("by-id/usb-Espressif_USB_JTAG_serial_debug_unit_AA:BB-if00").string(),
        "--baud",      "921600",
        "--before",    "default-reset",
        "--after",     "hard-reset",
        "write-flash", "-z"};
    const std::vector<sim_term_line_st> lines = sim_term_lines(runner, 0x30);
    ASSERT_EQ(lines.size(), 4u);
    for (size_t i = 0; i < runs.size(); i++) {
        const esptool_run &r = runs[i];
        ASSERT_EQ(r.args.size(), head.size() + 4) << i;
        EXPECT_EQ(std::vector<std::string>(r.args.begin(), r.args.begin() + (long)head.size()), head);
        const std::string *img = &r.args[head.size()];
        EXPECT_EQ(img[0], "0x10000");
        EXPECT_TRUE(img[1].ends_with("/esp32/app.bin")) << img[1];
        EXPECT_EQ(img[2], "0x1000");
        EXPECT_TRUE(img[3].ends_with("/esp32/boot loader.bin")) << img[3];
        EXPECT_EQ(r.files, (std::vector<std::string>{"app image", "boot image"})) << i;
        EXPECT_FALSE(std::filesystem::exists(img[1])) << "the extracted package was left behind";
        EXPECT_EQ(lines[2 * i].line, "esp \"comm\" 0");
        EXPECT_EQ(lines[2 * i + 1].line, "esp \"comm\" 1");
        EXPECT_LT(lines[2 * i].wall_us, r.start_us) << i;
        EXPECT_GT(lines[2 * i + 1].wall_us, r.end_us) << i;
    }
    EXPECT_FALSE(sim_esp_paused(runner, 0x30));
    const std::string o = out();
    EXPECT_EQ(count_of(o, "ESP32 firmware flashed."), 1u) << o;
    EXPECT_EQ(count_of(o, "ERROR: flashing the ESP32 firmware failed."), 1u) << o;
}

// Flashing an offline device: the selection lists the online devices of the maker and the extra row
// (the offline and the third-party device are left out); "Cancel" flashes nothing; the picked device
// gets the image and the others keep theirs; choosing to wait keeps the flash waiting for the
// offline device until its cancel button is clicked, which fails the run.
TEST_F(DeviceTab, OfflineDeviceFlashesTheDevicePickedOnTheBus)
{
    const std::vector<uint8_t> fw = firmware(3000);
    if (!co::child_mode()) {
        std::vector<sim_device_config_st> devs;
        for (uint8_t node : {0x20, 0x21, 0x23}) {
            sim_device_config_st d = unit(node);
            d.program.flavour = SIM_BOOT_CIA302;
            d.program.image = {node};
            devs.push_back(d);
        }
        start(devs);
        ASSERT_TRUE(write_firmware_package(box, fw));
    }
    co::result_st res = co::run(
        port,
        [] {
            auto pick = [](int row) {
                click_button("Flash firmware");
                script_click(30, 76 + 44 * row + 22);
                script_click(1115, 688); // "Flash"
                script_click(300, 600);  // "Yes"
                play();
            };
            capture_output();
            if (!open_window()) return 3;
            device_st *shown = package_device("unit.krdev", 0x22);
            if (!shown) return 4;
            shown->state = DEV_STATE_OFFLINE;
            device_st *other = online_device(0x20);
            online_device(0x21)->thirdparty = true;
            device_st *target = online_device(0x23);
            target->sw_version = 7; // read before the flash
            show(shown);
            frames(3);
            co::report("flash_button=%d", click_button("Flash firmware") ? 1 : 0);
            script_click(955, 688); // "Cancel"
            play();
            co::report("busy_after_cancel=%d", devicetab_is_busy() ? 1 : 0);

            pick(1); // rows: 0x20, 0x23, wait
            wait_idle();
            co::report("picked=%d success=%d node=0x%x", devicetab_is_busy() ? 0 : 1, dev.load.success ? 1 : 0,
                       shown->nodeid);
            co::report("failed_after_pick=%d", main_run_failed() ? 1 : 0);
            co::report("target_version=%u", (unsigned)target->sw_version);
            frames(5);

            pick(2);
            for (int i = 0; i < 1000 && !dev.load.waiting; i++) frame();
            frames(3); // the button follows
            co::report("waiting=%d", devicetab_is_busy() && dev.load.waiting ? 1 : 0);
            show(other); // another device's tab neither shows nor cancels this flash
            kr_ui_capture(true);
            frames(3);
            co::report("other_cancel=%d", find_button(&win->tw.super, "Cancel (waiting for device)") ? 1 : 0);
            co::report("state_dot_green=%d", uitest::count_in_region(0, 90, 600, 300, 0xFF22B14C, 16) > 0 ? 1 : 0);
            kr_ui_capture(false);
            show(shown);
            frames(3);
            co::report("cancel_button=%d", click_button("Cancel (waiting for device)") ? 1 : 0);
            play();
            wait_idle();
            co::report("cancelled=%d success=%d failed=%d", devicetab_is_busy() ? 0 : 1, dev.load.success ? 1 : 0,
                       main_run_failed() ? 1 : 0);
            return 0;
        },
        120000);
    ASSERT_EQ(res.status, 0) << res.text << out();
    EXPECT_EQ(res.get("flash_button"), "1");
    EXPECT_EQ(res.get("busy_after_cancel"), "0");
    EXPECT_EQ(res.get("picked"), "1 success=1 node=0x22") << out();
    EXPECT_EQ(res.get("failed_after_pick"), "0") << out();
    EXPECT_EQ(res.get("target_version"), "0") << "the flashed device kept showing its old version";
    EXPECT_EQ(res.get("waiting"), "1") << out();
    EXPECT_EQ(res.get("other_cancel"), "0");
    EXPECT_EQ(res.get("state_dot_green"), "1") << "a job greys the page, not the device's state";
    EXPECT_EQ(res.get("cancel_button"), "1");
    EXPECT_EQ(res.get("cancelled"), "1 success=0 failed=1") << out();

    sim_prog_info_st p;
    for (int i = 0; i < 500 && (p = sim_dev_program(runner, 0x23)).image != fw; i++) usleep(10000);
    EXPECT_TRUE(p.image == fw) << p.image.size() << " bytes";
    EXPECT_EQ(p.flashes, 1u) << "flashed again, or before the pick";
    for (uint8_t node : {0x20, 0x21}) {
        EXPECT_EQ(sim_dev_program(runner, node).image, std::vector<uint8_t>{node});
        EXPECT_TRUE(sim_dev_nmt_log(runner, node).empty()) << (int)node;
    }
    EXPECT_NE(out().find("Cancelling flashing of node 0x22..."), std::string::npos) << out();
}

} // namespace
