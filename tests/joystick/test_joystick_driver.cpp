// The joystick driver: scaling, the catalogue of database files, and the driver under the scheduler with
// a recording back end, fed by TXPDO frames over the virtual bus.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "database/db.h"
#include "bus/find.h"
#include "joystick/joystick.h"
#include "kr_canopen.h"
#include "kr_rtos.h"
#include "sim_setup.h"
#include "scratch.h"

namespace fs = std::filesystem;

namespace {

TEST(JoystickScaling, AxesButtonsCobidsAndSlotFilling)
{
    EXPECT_EQ(joystick_axis_output(0, 0, 1000, false), -32767);
    EXPECT_EQ(joystick_axis_output(500, 0, 1000, false), 0);
    EXPECT_EQ(joystick_axis_output(1000, 0, 1000, false), 32767);
    EXPECT_EQ(joystick_axis_output(2000, 0, 1000, false), 32767);
    EXPECT_EQ(joystick_axis_output(-2000, 0, 1000, false), -32767);
    EXPECT_EQ(joystick_axis_output(0, 0, 1000, true), 32767);
    EXPECT_EQ(joystick_axis_output(2000, 0, 1000, true), -32767);
    EXPECT_EQ(joystick_axis_output(7, 5, 5, false), 0);
    EXPECT_EQ(joystick_axis_output(INT32_MAX, INT32_MIN, INT32_MAX, false), 32767);
    EXPECT_EQ(joystick_axis_output(INT32_MIN, INT32_MIN, INT32_MAX, false), -32767);
    EXPECT_EQ(joystick_axis_output(0, 1000, 0, false), 32767) << "max below min reverses";
    EXPECT_EQ(joystick_axis_output(250, 1000, 0, false), 16383);
    EXPECT_EQ(joystick_button_output(0, 1, false), 0);
    EXPECT_EQ(joystick_button_output(1, 1, false), 1);
    EXPECT_EQ(joystick_button_output(5, 1, false), 1);
    EXPECT_EQ(joystick_button_output(0, 1, true), 1);
    EXPECT_EQ(joystick_button_output(-3, -2, false), 0);

    EXPECT_EQ(jsdriver_axis_to_device(-32767), 0);
    EXPECT_EQ(jsdriver_axis_to_device(0), 16384);
    EXPECT_EQ(jsdriver_axis_to_device(32767), 32768);

    EXPECT_EQ(joystick_cobid_from_text("TXPDO2 + NODEID", 0x10), 0x290);
    EXPECT_EQ(joystick_cobid_from_text("0x1A0", 5), 0x1A0);
    EXPECT_EQ(joystick_cobid_from_text("0x1A0 + DRIVE_NODEID", 5), 0x1A5);
    EXPECT_EQ(joystick_cobid_from_text("0x180 + NODEID DISABLED", 5), 0);
    EXPECT_EQ(joystick_cobid_from_text("0", 5), 0);
    EXPECT_EQ(joystick_cobid_from_text("TXPDO5", 5), 0);
    EXPECT_EQ(joystick_cobid_from_text("0x800", 5), 0);
    EXPECT_EQ(joystick_cobid_from_text("0x7FF + NODEID", 5), 0x804) << "the sum may pass 2047";
    EXPECT_EQ(joystick_cobid_from_text("0200", 0), 0x80) << "octal";

    device_st d{};
    d.nodeid = 0x22;
    std::snprintf(d.name, sizeof d.name, "%s", std::string(120, 'p').c_str());
    joystick_obj_st o{};
    std::snprintf(o.name, sizeof o.name, "lever");
    o.mindex = 0x2100;
    o.sindex = 3;
    o.size = 2;
    o.is_signed = true;
    o.min = -100;
    o.max = 100;
    o.pdo_cobid = 0x1A2;
    o.pdo_offset = 6;
    joystick_slot_st s;
    std::memset(&s, 0xAB, sizeof s);
    joystick_slot_set_obj(&s, 9, &d, &o);
    EXPECT_EQ(s.nodeid, 0x22);
    EXPECT_EQ(std::string(s.device), std::string(63, 'p')) << "package name, cut";
    EXPECT_STREQ(s.object, "lever");
    EXPECT_EQ(s.cobid, 0x1A2);
    EXPECT_EQ(s.offset, 6);
    EXPECT_EQ(s.threshold, 1);
    EXPECT_FALSE(s.invert);
    std::snprintf(d.devname, sizeof d.devname, "Pump");
    o.min = 10;
    o.max = 50;
    joystick_slot_set_obj(&s, 9, &d, &o);
    EXPECT_STREQ(s.device, "Pump");
    EXPECT_EQ(s.threshold, 50) << "a range without 1 presses at its maximum";
    o.min = -50;
    o.max = 0;
    joystick_slot_set_obj(&s, 9, &d, &o);
    EXPECT_EQ(s.threshold, 0);
}

TEST(JoystickCatalogue, DatabaseFile)
{
    scratch_dir scratch("kr_jscat.");
    fs::path dir = scratch.path;
    std::ofstream(dir / "db.json") << R"({
    "DEV": "Lever", "NODEID": 16,
    "OBJ_DICT": [
        {"name": "pos", "index": "0x2000", "type": "CANOPEN_UNSIGNED16", "permissions": "CANOPEN_RW",
         "subindex": 0, "min": 0, "max": 1000, "default": 1, "dataptr": "&a"},
        {"name": "dir", "index": "0x2001", "type": "CANOPEN_SIGNED8", "permissions": "CANOPEN_RW",
         "subindex": 0, "min": -128, "max": 127, "default": 0, "dataptr": "&b"},
        {"name": "big", "index": "0x2002", "type": "CANOPEN_UNSIGNED32", "permissions": "CANOPEN_RW",
         "subindex": 0, "min": 0, "max": 4294967295, "default": 0, "dataptr": "&c"},
        {"name": "label", "index": "0x2003", "type": "CANOPEN_STRING", "permissions": "CANOPEN_RW",
         "subindex": 0, "default": "x", "stringsize": 8, "dataptr": "d"},
        {"name": "keys", "index": "0x2010", "type": "CANOPEN_ARRAYSIGNED16", "permissions": "CANOPEN_RO",
         "dataptr": "keys", "data": [{"name": "K1", "default": 0}, {"name": "K2", "default": 0, "min": -5, "max": 5}]}
    ],
    "TXPDO": [
        {"cobid": "0x180 + LEVER_NODEID", "transmission": "ASYNC", "inhibittime": 0, "eventtimer": 0,
         "mappings": [{"param": "pos"}, {"param": "dir"}]},
        {"cobid": "0x280 + LEVER_NODEID", "transmission": "ASYNC", "inhibittime": 0, "eventtimer": 0,
         "mappings": [{"param": "big"}, {"param": "big"}]},
        {"cobid": "0x380 + LEVER_NODEID", "transmission": "ASYNC", "inhibittime": 0, "eventtimer": 0,
         "mappings": [{"param": "keys", "subindex": 2}, {"param": "keys", "subindex": 1}]},
        {"cobid": "DISABLED", "transmission": "ASYNC", "inhibittime": 0, "eventtimer": 0, "mappings": [{"param": "pos"}]}
    ]})";
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    bool loaded = cmd_db((dir / "db.json").c_str());
    std::string out = testing::internal::GetCapturedStdout() + testing::internal::GetCapturedStderr();
    ASSERT_TRUE(loaded) << out;
    // The loader refuses mappings past 8 bytes; one that got there anyway contributes only what fits.
    ASSERT_EQ(dev.db.txpdos.len, 4);
    dev.db.txpdo_buffer[1].mappings.mappings[2] = {0x2000, 0, 2};
    uint16_t n = 0;
    joystick_obj_st *cat = joystick_catalog_from_db(&dev.db, 0x10, &n);
    ASSERT_NE(cat, nullptr);
    ASSERT_EQ(n, 6);
    EXPECT_STREQ(cat[0].name, "POS");
    EXPECT_EQ(cat[0].pdo_cobid, 0x190);
    EXPECT_EQ(cat[0].pdo_offset, 0);
    EXPECT_EQ(cat[0].size, 2);
    EXPECT_FALSE(cat[0].is_signed);
    EXPECT_EQ(cat[0].max, 1000);
    EXPECT_EQ(cat[1].pdo_offset, 2);
    EXPECT_EQ(cat[1].size, 1);
    EXPECT_TRUE(cat[1].is_signed);
    EXPECT_EQ(cat[1].min, -128);
    EXPECT_EQ(cat[1].max, 127);
    for (int i : {2, 3}) {
        EXPECT_EQ(cat[i].mindex, 0x2002);
        EXPECT_EQ(cat[i].pdo_cobid, 0x290);
        EXPECT_EQ(cat[i].min, 0);
        EXPECT_EQ(cat[i].max, INT32_MAX) << "unsigned 32-bit stops at the signed limit";
    }
    EXPECT_EQ(cat[3].pdo_offset, 4) << "pos would pass 8 bytes and is left out";
    EXPECT_EQ(cat[4].mindex, 0x2010);
    EXPECT_EQ(cat[4].sindex, 2);
    EXPECT_EQ(cat[4].pdo_cobid, 0x390);
    EXPECT_EQ(cat[4].pdo_offset, 0);
    EXPECT_EQ(cat[4].min, -5);
    EXPECT_EQ(cat[4].max, 5);
    EXPECT_NE(std::string(cat[4].name).find("K2"), std::string::npos) << cat[4].name;
    EXPECT_EQ(cat[5].sindex, 1);
    EXPECT_EQ(cat[5].pdo_offset, 2);
    EXPECT_EQ(cat[5].min, -32768);
    EXPECT_EQ(cat[5].max, 32767);
    std::free(cat);
    db_deinit(&dev.db);
}

// ---- The driver under the scheduler ----

struct call_st {
    char kind; // o(pen) c(lose) a(xis) b(utton) s(ync)
    int index;
    int32_t value;
    uint32_t tick;
    kr_rtos_task_handle_t task;
};
std::vector<call_st> calls;
bool fail_open = false;
uint32_t block_axis_ms = 0;
std::string opened_name;

void rec(char kind, int index, int32_t value)
{
    calls.push_back({kind, index, value, kr_rtos_get_tick_count(), kr_rtos_current_task()});
}
bool rec_open(const char *name, char *err, size_t len)
{
    opened_name = name;
    if (fail_open) {
        std::snprintf(err, len, "the recorder refuses");
        return false;
    }
    rec('o', 0, 0);
    return true;
}
void rec_close(void) { rec('c', 0, 0); }
const char *rec_name(void) { return "recorder"; }
void rec_axis(uint8_t axis, int32_t value)
{
    rec('a', axis, value);
    if (block_axis_ms) {
        uint32_t ms = block_axis_ms;
        block_axis_ms = 0;
        kr_rtos_task_delay(ms);
        rec('A', axis, value); // the call returned
    }
}
void rec_button(uint8_t index, bool pressed) { rec('b', index, pressed); }
void rec_sync(void) { rec('s', 0, 0); }
const jsdriver_ops_st recorder = {rec_open, rec_close, rec_name, rec_axis, rec_button, rec_sync};

sim_client_st g_peer;

[[noreturn]] void fail(const std::string &why)
{
    std::fprintf(stderr, "FAIL: %s\n", why.c_str());
    for (const call_st &c : calls) std::fprintf(stderr, "  %c %d %d @%u\n", c.kind, c.index, (int)c.value, c.tick);
    std::fflush(stderr);
    std::_Exit(1);
}
#define CHECK(cond)               \
    do {                          \
        if (!(cond)) fail(#cond); \
    } while (0)

void send(uint32_t id, std::vector<uint8_t> bytes, bool ext = false)
{
    sim_frame_st f = sim_frame_make(id, bytes.data(), static_cast<uint8_t>(bytes.size()));
    if (ext) f.kind = SIM_FRAME_EXT;
    if (!sim_client_send(g_peer, f)) fail("send");
}

// Waits until the calls from index `from` on hold a call of this kind and index; its position or -1.
int wait_call(size_t from, char kind, int index, uint32_t timeout_ms = 5000)
{
    for (uint32_t waited = 0; waited <= timeout_ms; waited += 5) {
        for (size_t i = from; i < calls.size(); i++)
            if (calls[i].kind == kind && calls[i].index == index) return static_cast<int>(i);
        kr_rtos_task_delay(5);
    }
    return -1;
}

joystick_slot_st slot(uint16_t cobid, uint8_t offset, uint8_t size, bool is_signed)
{
    joystick_slot_st s{};
    s.nodeid = 0x10;
    s.cobid = cobid;
    s.offset = offset;
    s.size = size;
    s.is_signed = is_signed;
    s.min = 0;
    s.max = 1000;
    s.threshold = 1;
    return s;
}

void driver_job(void *)
{
    if (kr_can_set_up(true) != nullptr) fail("CAN");
    find_start_monitor();
    joystick_conf_st c;
    joystick_conf_reset(&c);
    std::snprintf(c.name, sizeof c.name, "pit lever");
    c.slots[0] = slot(0x190, 0, 2, false);
    c.slots[1] = slot(0x190, 0, 2, false);
    c.slots[1].invert = true;
    c.slots[2] = slot(0x290, 4, 4, false);
    c.slots[8] = slot(0x190, 2, 1, true); // button 1
    c.slots[9] = slot(0x190, 3, 2, true); // button 2, threshold -1
    c.slots[9].threshold = -1;
    c.slots[10] = slot(0x190, 2, 1, false); // button 3, threshold 200, inverted
    c.slots[10].threshold = 200;
    c.slots[10].invert = true;
    joystick_set_conf(&c);
    joystick_step();
    CHECK(joystick_is_running());
    CHECK(std::string(joystick_get_status()) == "Joystick driver running (recorder): 3 axes, 3 buttons");
    CHECK(opened_name == "pit lever");

    // The first pass sends every used slot once, centred and released, then one sync.
    CHECK(wait_call(0, 's', 0) >= 0);
    kr_rtos_task_delay(100);
    {
        std::vector<char> kinds;
        for (const call_st &k : calls) kinds.push_back(k.kind);
        CHECK((kinds == std::vector<char>{'o', 'a', 'a', 'a', 'b', 'b', 'b', 's'}));
        CHECK(calls[1].value == 0 && calls[4].value == 0 && calls[6].value == 0);
    }

    // One frame feeds five slots: 1000 unsigned; 0xFF signed is -1; 0xFFFE signed is -2.
    size_t mark = calls.size();
    send(0x190, {0xE8, 0x03, 0xFF, 0xFE, 0xFF, 0, 0, 0});
    int sync = wait_call(mark, 's', 0);
    CHECK(sync >= 0);
    kr_rtos_task_delay(100);
    {
        // axis 0 up, axis 1 (inverted) down, button 1 stays released (-1 < 1), button 2 (-2 < -1) stays
        // released, button 3 (255 >= 200, inverted) released: only the two axes change.
        std::vector<call_st> got(calls.begin() + static_cast<long>(mark), calls.end());
        CHECK(got.size() == 3);
        CHECK(got[0].kind == 'a' && got[0].index == 0 && got[0].value == 32767);
        CHECK(got[1].kind == 'a' && got[1].index == 1 && got[1].value == -32767);
        CHECK(got[2].kind == 's');
        int32_t raw, out;
        CHECK(joystick_get_live(8, &raw, &out) && raw == -1 && out == 0);
        CHECK(joystick_get_live(9, &raw, &out) && raw == -2 && out == 0);
        CHECK(joystick_get_live(10, &raw, &out) && raw == 255 && out == 0);
        CHECK(!joystick_get_live(3, &raw, &out)); // unused
        CHECK(!joystick_get_live(40, &raw, &out));
    }

    // Too short for offset 4 size 4, and an extended frame: nothing. Then a full frame moves axis 2.
    mark = calls.size();
    send(0x290, {1, 2, 3, 4, 0xE8, 0x03});
    send(0x190, {0, 0, 0, 0, 0, 0, 0, 0}, true);
    send(0x290, {0, 0, 0, 0, 0xE8, 0x03, 0, 0});
    // The bus keeps the order: the full frame's call is the first after the two.
    CHECK(wait_call(mark, 'a', 2) == static_cast<int>(mark));
    CHECK(calls[static_cast<size_t>(wait_call(mark, 'a', 2))].value == 32767);

    // Button 2 pressed by a value at its threshold; keep it fresh for a while, then go silent: 1 s after
    // the last frame everything is centred and released, inverted ones included.
    mark = calls.size();
    uint32_t last = 0;
    for (int i = 0; i < 5; i++) {
        send(0x190, {0xE8, 0x03, 0x05, 0xFF, 0xFF, 0, 0, 0});
        last = kr_rtos_get_tick_count();
        kr_rtos_task_delay(100);
    }
    int b2 = wait_call(mark, 'b', 1);
    CHECK(b2 >= 0 && calls[static_cast<size_t>(b2)].value == 1);
    int b1 = wait_call(mark, 'b', 0);
    CHECK(b1 >= 0 && calls[static_cast<size_t>(b1)].value == 1);
    size_t before_stale = calls.size();
    int centred = wait_call(before_stale, 'a', 0, 3000);
    CHECK(centred >= 0);
    uint32_t after = calls[static_cast<size_t>(centred)].tick - last;
    if (after < 990 || after > 1500) fail("centred after " + std::to_string(after) + " ms");
    kr_rtos_task_delay(100);
    for (size_t i = before_stale; i < calls.size(); i++)
        if (calls[i].kind == 'a' || calls[i].kind == 'b') CHECK(calls[i].value == 0);
    CHECK(wait_call(before_stale, 'a', 1) >= 0); // inverted axis back to 0 as well
    CHECK(wait_call(before_stale, 'b', 0) >= 0);

    // A new generation whose open fails stays stopped, also at the next step.
    fail_open = true;
    joystick_set_conf(&c);
    joystick_step();
    CHECK(!joystick_is_running());
    CHECK(std::string(joystick_get_status()) == "Joystick driver could not start: the recorder refuses");
    fail_open = false;
    joystick_step();
    CHECK(!joystick_is_running());

    // A back end stuck 3 s in a call: the stop gives up after 2 s, the next start's task runs, and the old
    // task never calls the back end again once it wakes.
    joystick_set_conf(&c);
    block_axis_ms = 3000;
    joystick_step();
    CHECK(joystick_is_running());
    CHECK(wait_call(0, 'A', 0, 0) < 0);
    kr_rtos_task_delay(100);
    kr_rtos_task_handle_t old_task = nullptr;
    for (const call_st &k : calls)
        if (k.kind == 'a') old_task = k.task;
    mark = calls.size();
    joystick_set_conf(&c);
    uint32_t t0 = kr_rtos_get_tick_count();
    joystick_step();
    uint32_t waited = kr_rtos_get_tick_count() - t0;
    if (waited < 1900 || waited > 2900) fail("stop waited " + std::to_string(waited));
    CHECK(joystick_is_running());
    int returned = wait_call(mark, 'A', 0, 3000);
    CHECK(returned >= 0);
    kr_rtos_task_delay(300);
    for (size_t i = static_cast<size_t>(returned) + 1; i < calls.size(); i++) CHECK(calls[i].task != old_task);
    // The new task is alive: a frame still moves the axes.
    mark = calls.size();
    send(0x190, {0xFA, 0x00, 0, 0, 0, 0, 0, 0});
    int a0 = wait_call(mark, 'a', 0);
    CHECK(a0 >= 0 && calls[static_cast<size_t>(a0)].value == -16384 && calls[static_cast<size_t>(a0)].task != old_task);

    // An unused configuration stops the driver and closes the back end.
    joystick_conf_st empty;
    joystick_conf_reset(&empty);
    joystick_set_conf(&empty);
    joystick_step();
    CHECK(!joystick_is_running());
    CHECK(calls.back().kind == 'c');
    CHECK(std::string(joystick_get_status()) == "Joystick driver is not configured");
    std::_Exit(0);
}

[[noreturn]] void run_driver()
{
    silent = true;
    std::string err;
    sim_setup_st bench;
    if (!sim_setup_start(bench, {}, 0, err) || !sim_client_connect(g_peer, "127.0.0.1", bench.port, "vcan0"))
        std::_Exit(30);
    static int app;
    kr_init(&app);
    kr_can_set_baudrate(bench.channel.c_str(), 250000);
    jsdriver_set_backend(&recorder);
    std::freopen("/dev/null", "w", stdout);
    kr_rtos_task_create(driver_job, "job", 51200, nullptr, 2, nullptr);
    kr_rtos_start_scheduler();
    std::_Exit(31);
}

TEST(JoystickDriver, FollowsTxpdosThroughARecordingBackEnd)
{
    EXPECT_EXIT(run_driver(), ::testing::ExitedWithCode(0), "");
}

} // namespace
