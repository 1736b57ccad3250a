// The joystick configuration window under Xvfb: a child process runs the scheduler, the library task,
// the driver and the window on a system opened from a .krsys whose device package maps TXPDOs, while a
// simulated device sends them. A pilot task clicks through the window between its display steps.
#include <GLFW/glfw3.h>
#include <archive.h>
#include <archive_entry.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include "bus/find.h"
#include "joystick/joystick.h"
#include "ui/joystick_win.h"
#include "kr_rtos.h"
#include "sim_device.h"
#include "sim_setup.h"
#include "run/commands.h"
#include "system/system.h"
#include "system/package_builder.h"
#include "ui/kr_uitextedit.h"
#include "ui_support.h"

namespace fs = std::filesystem;

namespace {

constexpr uint8_t NODE = 0x20;
std::string dir, krsys;
sim_setup_st bench;

[[noreturn]] void fail(const std::string &why)
{
    std::fprintf(stderr, "FAIL: %s\n", why.c_str());
    std::fflush(stderr);
    std::_Exit(1);
}
#define CHECK(cond, what)                                      \
    do {                                                       \
        if (!(cond)) fail(std::string(#cond) + ": " + (what)); \
    } while (0)

std::string text(joystick_win_text_e w, unsigned i = 0)
{
    const char *t = joystick_win_text(w, i);
    return t ? t : "<none>";
}

// Waits (in the pilot task, so the window runs meanwhile) until pred holds.
void wait_for(const std::function<bool()> &pred, const std::string &what, int timeout_ms = 15000)
{
    for (int waited = 0; !pred(); waited += 20) {
        if (waited > timeout_ms) fail("timed out waiting for " + what);
        kr_rtos_task_delay(20);
    }
}

void wait_text(joystick_win_text_e w, unsigned i, const std::string &want)
{
    wait_for([&] { return text(w, i) == want; }, "'" + want + "' (have '" + text(w, i) + "')");
}

void idle(int polls)
{
    for (int i = 0; i < polls; ++i) kr_ui_script_push(KR_UI_EV_POLL, 0, 0);
}

// One more event poll as the window runs it: what the last replayed event led to is done.
void settle(int polls = 1)
{
    idle(polls);
    wait_for([] { return kr_ui_script_pending() == 0; }, "the window's next polls");
}

// A click at a logical point; returns once the script has been replayed.
void click(int x, int y)
{
    const double s = kr_ui_scale();
    idle(3);
    kr_ui_script_push(KR_UI_EV_CURSOR, (int32_t)(x * s), (int32_t)(y * s));
    kr_ui_script_push(KR_UI_EV_BUTTON, 1, 0);
    idle(2);
    kr_ui_script_push(KR_UI_EV_BUTTON, 0, 0);
    idle(2);
    wait_for([] { return kr_ui_script_pending() == 0; }, "the script to be replayed");
    settle();
}

// The on-screen keyboard: letters by their keys, then Enter.
void keyboard(const std::string &s)
{
    static const std::string order = "1234567890qwertyuiopasdfghjklzxcvbnm";
    for (char c : s) {
        const kr_bounding_box_st r = kr_uikeyboard_key_geometry((int16_t)order.find(c));
        click(r.x + r.w / 2, r.y + r.h / 2);
    }
    const kr_bounding_box_st r = kr_uikeyboard_key_geometry(KEY_ENTER);
    click(r.x + r.w / 2, r.y + r.h / 2);
}

// The numpad takes typed digits and Enter.
void numpad(const std::string &digits)
{
    idle(3);
    for (char c : digits) {
        kr_ui_script_push(KR_UI_EV_CHAR, c, 0);
        idle(1);
    }
    kr_ui_script_push(KR_UI_EV_KEY, GLFW_KEY_ENTER, 0);
    idle(2);
    wait_for([] { return kr_ui_script_pending() == 0; }, "the numpad script");
    settle();
}

// Row geometry inside the list at (10, 82), unscrolled: axes from y 34, buttons from y 478, 50 apart.
int row_mid(unsigned slot) { return 82 + (slot < 8 ? 34 + 50 * (int)slot : 478 + 50 * (int)(slot - 8)) + 22; }
constexpr int DEV_X = 10 + 106 + 125, OBJ_X = 10 + 362 + 170, MIN_X = 10 + 708 + 60;
constexpr int CANCEL[2] = {1200 - 320 + 75, 720 - 54 + 22}, SAVE[2] = {1200 - 160 + 75, 720 - 54 + 22};
constexpr int FILTER[2] = {290, 72}, OK_BTN[2] = {300, 600};
int pick_row(int k) { return 104 + 50 * k + 22; }

std::string file_bytes(const std::string &p)
{
    std::ifstream f(p, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

std::string zip_entry(const std::string &zip, const std::string &name)
{
    struct archive *a = archive_read_new();
    archive_read_support_format_zip(a);
    std::string data = "<missing>";
    if (archive_read_open_filename(a, zip.c_str(), 16384) == ARCHIVE_OK) {
        struct archive_entry *e;
        while (archive_read_next_header(a, &e) == ARCHIVE_OK) {
            if (name != archive_entry_pathname(e)) continue;
            data.clear();
            char buf[4096];
            la_ssize_t n;
            while ((n = archive_read_data(a, buf, sizeof buf)) > 0) data.append(buf, (size_t)n);
        }
    }
    archive_read_free(a);
    return data;
}

// Edits done twice: cancelled, then saved.
void edit_rows()
{
    // Node 0x25 of the package's configuration is in no device of the system.
    wait_text(JOYSTICK_WIN_DEVICE, 5, "Node 0x25 (not in system)");
    click(OBJ_X, row_mid(5));
    settle(10); // a picker would be open by now
    CHECK(text(JOYSTICK_WIN_PICKER_TITLE) == "<none>", "no picker for a node outside the system");
    click(OK_BTN[0], OK_BTN[1]);
    // Axis X: the lever, then the picker: every value, then filtered by "speed", the first row.
    click(DEV_X, row_mid(0));
    wait_text(JOYSTICK_WIN_OBJECT, 0, "Select input / output...");
    CHECK(text(JOYSTICK_WIN_DEVICE, 0).find("(0x20)") != std::string::npos, text(JOYSTICK_WIN_DEVICE, 0));
    click(OBJ_X, row_mid(0));
    wait_text(JOYSTICK_WIN_PICKER_INFO, 0, "Showing 128 of 139. Type in the filter to narrow the list down.");
    CHECK(text(JOYSTICK_WIN_PICKER_TITLE) == "Axis X: select an input or output of " + text(JOYSTICK_WIN_DEVICE, 0),
          text(JOYSTICK_WIN_PICKER_TITLE));
    click(FILTER[0], FILTER[1]);
    keyboard("speed");
    wait_text(JOYSTICK_WIN_PICKER_INFO, 0, "Showing 128 of 138. Type in the filter to narrow the list down.");
    CHECK(text(JOYSTICK_WIN_PICKER_ROW, 0) == "SPEED   (0x2000:0, TXPDO 0x1a0 byte 0)",
          text(JOYSTICK_WIN_PICKER_ROW, 0));
    CHECK(text(JOYSTICK_WIN_PICKER_ROW, 1) == "WHEELSPEED   (0x2002:0, TXPDO 0x1a0 byte 3)",
          text(JOYSTICK_WIN_PICKER_ROW, 1));
    click(600, pick_row(0));
    wait_text(JOYSTICK_WIN_OBJECT, 0, "SPEED");
    CHECK(text(JOYSTICK_WIN_LIVE, 0) == "-", "a mapping the driver does not run yet: " + text(JOYSTICK_WIN_LIVE, 0));
    // Button 1: the horn, the only match of "horn".
    click(DEV_X, row_mid(8));
    click(OBJ_X, row_mid(8));
    wait_for([] { return text(JOYSTICK_WIN_PICKER_INFO) != "<none>"; }, "the picker");
    click(FILTER[0], FILTER[1]);
    keyboard("horn");
    wait_text(JOYSTICK_WIN_PICKER_INFO, 0, "1 of 139 values");
    click(600, pick_row(0));
    wait_text(JOYSTICK_WIN_OBJECT, 8, "HORN");
    // Axis Y's minimum: a new scale on the same mapping keeps its live value.
    click(MIN_X, row_mid(1));
    numpad("500");
    wait_for([] { return text(JOYSTICK_WIN_LIVE, 1).rfind("750  ->  ", 0) == 0; }, "axis Y's live value kept");
    // "Not used" for axis RZ: its list walks from the outside node back to the first entry.
    click(DEV_X, row_mid(5));
    wait_text(JOYSTICK_WIN_DEVICE, 5, "Not used");
    wait_text(JOYSTICK_WIN_OBJECT, 5, "");
}

void window_task(void *)
{
    if (!kr_ui_init()) fail("no window");
    // 1. Live values from the package's configuration; the edits cancelled leave everything as it was.
    const std::string before = file_bytes(krsys);
    const uint32_t gen = joystick_get_generation();
    kr_rtos_task_create(
        [](void *) {
            wait_text(JOYSTICK_WIN_LIVE, 1, "750  ->  49 %");
            CHECK(text(JOYSTICK_WIN_STATUS).rfind("Joystick driver running (recorder)", 0) == 0,
                  text(JOYSTICK_WIN_STATUS));
            edit_rows();
            click(CANCEL[0], CANCEL[1]);
            kr_rtos_task_delete(nullptr);
        },
        "pilot", 51200, nullptr, 2, nullptr);
    if (joystick_win_exec(&dev.system, nullptr)) fail("cancel reported a save");
    CHECK(file_bytes(krsys) == before, "the package changed on Cancel");
    CHECK(joystick_get_generation() == gen, "the active configuration changed on Cancel");

    // 2. The same edits saved: active at once, and in the package.
    kr_rtos_task_create(
        [](void *) {
            edit_rows();
            click(SAVE[0], SAVE[1]);
            kr_rtos_task_delete(nullptr);
        },
        "pilot", 51200, nullptr, 2, nullptr);
    std::fflush(stdout);
    if (!joystick_win_exec(&dev.system, nullptr)) fail("save not reported");
    CHECK(joystick_get_generation() == gen + 1, "Save makes the configuration active");
    const joystick_conf_st *a = joystick_get_conf();
    CHECK(a->slots[0].nodeid == NODE && a->slots[0].cobid == 0x1A0 && a->slots[0].offset == 0 &&
              a->slots[0].size == 2 && a->slots[0].max == 1000 && std::string(a->slots[0].object) == "SPEED",
          "axis X");
    CHECK(a->slots[1].min == 500 && a->slots[1].nodeid == NODE, "axis Y's minimum");
    CHECK(a->slots[5].nodeid == 0, "axis RZ not used");
    CHECK(a->slots[8].nodeid == NODE && a->slots[8].offset == 2 && a->slots[8].size == 1 && a->slots[8].threshold == 1,
          "button 1: node " + std::to_string(a->slots[8].nodeid) + " offset " + std::to_string(a->slots[8].offset) +
              " size " + std::to_string(a->slots[8].size) + " threshold " + std::to_string(a->slots[8].threshold));
    const std::string json = zip_entry(krsys, "joystick.json");
    std::ofstream(dir + "/saved.json") << json;
    joystick_conf_st saved;
    CHECK(joystick_conf_read(&saved, (dir + "/saved.json").c_str()), json);
    for (unsigned i = 0; i < JOYSTICK_SLOT_COUNT; i++) {
        const joystick_slot_st &x = saved.slots[i], &y = a->slots[i];
        CHECK(x.nodeid == y.nodeid &&
                  (!x.nodeid ||
                   (std::strcmp(x.object, y.object) == 0 && x.cobid == y.cobid && x.offset == y.offset &&
                    x.size == y.size && (i < 8 ? x.min == y.min && x.max == y.max : x.threshold == y.threshold))),
              "slot " + std::to_string(i) + " of the package differs: " + json);
    }

    // 3. The main loop restarts the driver: live values of the new mapping, the button follows the device.
    joystick_step();
    kr_rtos_task_create(
        [](void *) {
            wait_text(JOYSTICK_WIN_LIVE, 0, "750  ->  49 %");
            wait_text(JOYSTICK_WIN_LIVE, 8, "0  ->  off");
            sim_dev_set(bench.devs, NODE, 0x2001, 0, {1});
            wait_text(JOYSTICK_WIN_LIVE, 8, "1  ->  ON");
            wait_text(JOYSTICK_WIN_LIVE, 1, "750  ->  0 %"); // the middle of 500 ... 1000
            click(CANCEL[0], CANCEL[1]);
            kr_rtos_task_delete(nullptr);
        },
        "pilot", 51200, nullptr, 2, nullptr);
    joystick_win_exec(&dev.system, nullptr);
    std::_Exit(0);
}

bool rec_open(const char *, char *, size_t) { return true; }
void rec_close(void) {}
const char *rec_name(void) { return "recorder"; }
void rec_axis(uint8_t, int32_t) {}
void rec_button(uint8_t, bool) {}
void rec_sync(void) {}
const jsdriver_ops_st recorder = {rec_open, rec_close, rec_name, rec_axis, rec_button, rec_sync};

std::string database()
{
    std::string objs =
        R"({"name": "speed", "index": "0x2000", "type": "CANOPEN_UNSIGNED16", "permissions": "CANOPEN_RO",
         "subindex": 0, "min": 0, "max": 1000, "default": 0, "dataptr": "&a"},
        {"name": "horn", "index": "0x2001", "type": "CANOPEN_UNSIGNED8", "permissions": "CANOPEN_RW",
         "subindex": 0, "min": 0, "max": 1, "default": 0, "dataptr": "&b"},
        {"name": "wheelspeed", "index": "0x2002", "type": "CANOPEN_SIGNED16", "permissions": "CANOPEN_RW",
         "subindex": 0, "min": -1000, "max": 1000, "default": 0, "dataptr": "&c"},
        {"name": "gearspeed", "index": "0x2010", "type": "CANOPEN_ARRAYUNSIGNED8", "permissions": "CANOPEN_RO",
         "dataptr": "g", "data": [)";
    for (int i = 1; i <= 136; i++)
        objs += (i > 1 ? ", " : "") + std::string("{\"name\": \"G") + std::to_string(i) + "\", \"default\": 0}";
    objs += "]}";
    std::string pdos = R"({"cobid": "TXPDO1 + NODEID", "transmission": "ASYNC", "inhibittime": 0, "eventtimer": 50,
         "mappings": [{"param": "speed"}, {"param": "horn"}, {"param": "wheelspeed"}]})";
    for (int p = 0; p < 17; p++) {
        pdos += ", {\"cobid\": \"" + std::to_string(0x500 + p) +
                "\", \"transmission\": \"ASYNC\", \"inhibittime\": 0, \"eventtimer\": 0, \"mappings\": [";
        for (int m = 1; m <= 8; m++)
            pdos += (m > 1 ? ", " : "") + std::string("{\"param\": \"gearspeed\", \"subindex\": ") +
                    std::to_string(p * 8 + m) + "}";
        pdos += "]}";
    }
    return R"({"DEV": "Lever", "NODEID": 32, "OBJ_DICT": [)" + objs + R"(], "TXPDO": [)" + pdos + "]}";
}

[[noreturn]] void run_window()
{
    setenv("TMPDIR", dir.c_str(), 1);
    std::ofstream(dir + "/lever.dict") << "0x2000 0 u16 ro 750\n0x2001 0 u8 ro 0\n0x2002 0 i16 ro -3\n"
                                          "0x1A00 0 u8 rw 3\n0x1A00 1 u32 rw 0x20000010\n0x1A00 2 u32 rw 0x20010008\n"
                                          "0x1A00 3 u32 rw 0x20020010\n0x1800 5 u16 rw 50\n";
    if (!pkgtest::write_zip(dir + "/lever.krdev", {pkgtest::file("krdev.json", R"({"DATABASE": "db.json"})"),
                                                   pkgtest::file("db.json", database())}))
        fail("krdev");
    const std::string conf = R"({"NAME": "pad", "AXES": [
        {"AXIS": "Y", "NODEID": "0x20", "DEVICE": "Lever", "OBJECT": "SPEED", "COBID": "0x1A0", "OFFSET": 0,
         "TYPE": "CANOPEN_UNSIGNED16", "MIN": 0, "MAX": 1000},
        {"AXIS": "RZ", "NODEID": "0x25", "DEVICE": "Other", "OBJECT": "X", "COBID": "0x1A5", "OFFSET": 0,
         "TYPE": "CANOPEN_UNSIGNED16"}], "BUTTONS": []})";
    krsys = dir + "/machine.krsys";
    std::ifstream krdev(dir + "/lever.krdev", std::ios::binary);
    std::stringstream kb;
    kb << krdev.rdbuf();
    if (!pkgtest::write_zip(krsys,
                            {pkgtest::file("krsys.json", R"({"DEVS": [{"NODEID": "0x20", "KRDEV": "lever.krdev"}]})"),
                             pkgtest::file("lever.krdev", kb.str()), pkgtest::file("joystick.json", conf)}))
        fail("krsys");

    sim_device_config_st c;
    c.node_id = NODE;
    c.heartbeat_ms = 200;
    c.start_operational = true;
    c.dict_file = dir + "/lever.dict";
    std::string err;
    if (!sim_setup_start(bench, {c}, 0, err)) fail(err);
    static int app;
    kr_init(&app);
    kr_can_set_baudrate(bench.channel.c_str(), 250000);
    jsdriver_set_backend(&recorder);
    if (!cmd_system(krsys.c_str())) fail("the system package does not open");
    if (!joystick_has_conf()) fail("the package's joystick configuration was not loaded");
    kr_rtos_task_create(
        [](void *) {
            if (kr_can_set_up(true) != nullptr) fail("CAN");
            find_start_monitor();
            joystick_step();
            window_task(nullptr);
        },
        "window", 51200, nullptr, 2, nullptr);
    kr_rtos_start_scheduler();
    std::_Exit(31);
}

TEST(JoystickWindow, MapsDeviceValuesSavesIntoThePackageAndShowsLiveValues)
{
    UI_REQUIRE_DISPLAY();
    // Made here, not in the window's process: that one ends without clean-up.
    char tmpl[] = "/tmp/kr_joywin.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir = tmpl;
    EXPECT_EXIT(run_window(), ::testing::ExitedWithCode(0), "");
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
}

} // namespace
