// The heartbeat monitor in process: which frames count as heartbeats, live states, the window's
// discovery of booting nodes, the boot expectation and the refusal of node ids outside 1..127.
// Only the booting node that later answers needs the library on the bus (in a child).
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "bus/find.h"
#include "hal/canopen_harness.h"
#include "kr_can.h"
#include "run/main.h"
#include "sim_setup.h"
#include "system/system.h"

namespace {

kr_can_message_st frame(uint32_t id, std::vector<uint8_t> bytes, kr_can_msg_types_e type = CAN_STD)
{
    kr_can_message_st m{};
    m.id = id;
    m.type = type;
    m.data_length = (uint8_t)bytes.size();
    for (size_t i = 0; i < bytes.size() && i < 8; i++) m.data[i] = bytes[i];
    return m;
}

// Heartbeat records outlive a test; the nodes a test used are blacklisted after it, so that later
// discovery passes in the same process do not pick them up.
std::vector<uint8_t> heard;

void heartbeat(uint8_t node, uint8_t state)
{
    heard.push_back(node);
    kr_can_message_st m = frame(0x700u + node, {state});
    find_can_callb(nullptr, &m);
}

int extra_calls = 0;
void extra(void *, const kr_can_message_st *) { extra_calls++; }

struct Monitor : ::testing::Test {
    void SetUp() override
    {
        system_reset(&dev.system);
        find_set_extra_can_callback(nullptr);
        extra_calls = 0;
    }
    void TearDown() override
    {
        kr_rtos_test_clock_manual(false);
        for (uint8_t node : heard) find_blacklist_node(node);
        heard.clear();
    }
};

// A bus that cannot be opened: the heartbeat monitor goes on without it, with a warning that does not
// read as an error; a wait for a node on it is an error, which fails the run.
TEST_F(Monitor, AClosedBusWarnsTheMonitorAndFailsAWait)
{
    kr_can_set_dev("krmonnone0");
    kr_can_close();
    const unsigned errors = job_error_count();
    testing::internal::CaptureStdout();
    find_start_monitor();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("The heartbeat monitor runs without the CAN interface"), std::string::npos) << out;
    EXPECT_EQ(out.find("ERROR"), std::string::npos) << out;
    EXPECT_EQ(job_error_count(), errors);
    testing::internal::CaptureStdout();
    EXPECT_FALSE(find_wait_node_operational(0x22, 100));
    out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(job_error_count(), errors + 1) << out;
}

TEST_F(Monitor, OnlyOneByteStandardHeartbeatsCount)
{
    find_set_extra_can_callback(extra);
    std::vector<kr_can_message_st> ignored = {
        frame(0x700, {0x05}),          // node 0
        frame(0x705, {0x05, 0x00}),    // two bytes
        frame(0x706, {}),              // none
        frame(0x707, {0x05}, CAN_EXT), // extended
        frame(0x788, {0x05}),          // past the heartbeat range
        frame(0x609, {0x05}),          // an SDO request
    };
    for (const kr_can_message_st &m : ignored) find_can_callb(nullptr, &m);
    for (uint8_t node : {0x05, 0x06, 0x07, 0x08, 0x09}) {
        EXPECT_EQ(find_node_get_state(node), DEV_STATE_OFFLINE) << (int)node;
        EXPECT_FALSE(find_node_is_online(node)) << (int)node;
    }
    EXPECT_EQ(extra_calls, (int)ignored.size()) << "every frame still reaches the extra callback";

    heartbeat(0x0C, 0x85);
    EXPECT_EQ(find_node_get_state(0x0C), DEV_STATE_OP) << "the top bit is not part of the state";
    EXPECT_TRUE(find_node_is_online(0x0C));
    heartbeat(0x0C, 127);
    EXPECT_EQ(find_node_get_state(0x0C), DEV_STATE_PREOP);
    heartbeat(0x0C, 4);
    EXPECT_EQ(find_node_get_state(0x0C), DEV_STATE_PREOP);
    heartbeat(0x0C, 0);
    EXPECT_EQ(find_node_get_state(0x0C), DEV_STATE_BOOTUP);
    heartbeat(0x0C, 0x7E);
    EXPECT_EQ(find_node_get_state(0x0C), DEV_STATE_BOOTUP);
    EXPECT_EQ(extra_calls, (int)ignored.size() + 5);

    for (uint8_t node : {0, 128, 200, 255}) EXPECT_EQ(find_node_get_state(node), DEV_STATE_OFFLINE) << (int)node;
    EXPECT_FALSE(find_node_is_online(0));
    find_can_callb(nullptr, nullptr);
}

TEST_F(Monitor, DiscoveryAddsABootingNodeOnceAndRefreshesStates)
{
    heartbeat(0x21, 0);
    heartbeat(0x22, 4); // stopped: no SDO answers, so a provisional entry too
    find_blacklist_node(0x23);
    heartbeat(0x23, 0);
    find_blacklist_node(0); // outside the tables: ignored
    find_blacklist_node(200);

    testing::internal::CaptureStdout();
    EXPECT_TRUE(find_poll_new_devices());
    EXPECT_FALSE(find_poll_new_devices()) << "a provisional entry is added once";
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Found device at node 0x21 in BOOT-UP state"), std::string::npos) << out;
    EXPECT_NE(out.find("Found device at node 0x22 in BOOT-UP state"), std::string::npos) << out;
    EXPECT_EQ(out.find("0x23"), std::string::npos) << "a blacklisted node is never added";
    ASSERT_EQ(dev.system.dev_count, 2);
    EXPECT_EQ(find_device_by_nodeid(0x21), &dev.system.devs[0]);
    EXPECT_EQ(dev.system.devs[0].state, DEV_STATE_BOOTUP);
    EXPECT_EQ(find_device_by_nodeid(0), nullptr);

    // Live states: a device nobody heard is offline and will read its versions again.
    device_st *silent = system_add_found_device(&dev.system, 0x50, 797, 1);
    ASSERT_NE(silent, nullptr);
    silent->sw_version_tried = silent->devname_tried = true;
    dev.system.devs[1].state = DEV_STATE_OP;
    dev.system.devs[1].sw_version_tried = true; // no SDO server here
    EXPECT_TRUE(find_update_device_states(&dev.system));
    EXPECT_EQ(silent->state, DEV_STATE_OFFLINE);
    EXPECT_FALSE(silent->sw_version_tried || silent->devname_tried);
    EXPECT_EQ(dev.system.devs[1].state, DEV_STATE_PREOP) << "stopped reads as pre-operational";
    EXPECT_FALSE(find_update_device_states(&dev.system)) << "nothing changed since";

    find_drop_device(0x21);
    EXPECT_EQ(dev.system.dev_count, 2);
    EXPECT_EQ(find_device_by_nodeid(0x21), nullptr);
    find_drop_device(0); // no device is "at node 0"
    EXPECT_EQ(dev.system.dev_count, 2);
}

TEST_F(Monitor, AFullSystemIsReportedOnceNotOnEveryPass)
{
    while (system_add_empty_device(&dev.system)) {
    }
    ASSERT_EQ(dev.system.dev_count, SYSTEM_MAX_DEVICES);
    heartbeat(0x25, 0);
    testing::internal::CaptureStdout();
    for (int i = 0; i < 5; i++) EXPECT_FALSE(find_poll_new_devices());
    std::string out = testing::internal::GetCapturedStdout();
    std::string msg = "Found a booting device at node 0x25 but the system is full; ignoring it.\n";
    size_t first = out.find(msg);
    EXPECT_NE(first, std::string::npos) << out;
    EXPECT_EQ(out.find(msg, first + 1), std::string::npos) << out;
    EXPECT_EQ(dev.system.dev_count, SYSTEM_MAX_DEVICES);
}

TEST_F(Monitor, BootExpectationFollowsOnlyInTime)
{
    device_st *flashed = system_add_found_device(&dev.system, 0x31, 797, 1);
    ASSERT_NE(flashed, nullptr);
    flashed->sw_version = 7;
    flashed->dev_revision = 3;

    testing::internal::CaptureStdout();
    find_expect_boot_nodeid(flashed, 0x32);
    heartbeat(0x32, 0);
    EXPECT_TRUE(find_poll_new_devices());
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Node 0x32 booted right after flashing node 0x31, at the package's default node id: the "
                       "device's settings were reset. Following it to node 0x32.\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(dev.system.dev_count, 1) << "followed, not added";
    EXPECT_EQ(flashed->nodeid, 0x32);
    EXPECT_EQ(flashed->state, DEV_STATE_BOOTUP);
    EXPECT_EQ(flashed->sw_version, 0u);
    EXPECT_EQ(flashed->dev_revision, 0u);

    // Refused expectations: same node, node 0 or past 127.
    for (uint8_t node : {0x32, 0, 0x80}) {
        find_expect_boot_nodeid(flashed, node);
        heartbeat(0x33, 0);
        testing::internal::CaptureStdout();
        find_poll_new_devices();
        out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(out.find("Following"), std::string::npos) << (int)node << out;
        EXPECT_EQ(flashed->nodeid, 0x32);
    }

    // Late: the node comes back more than 2000 ticks after the flash, so discovery adds it as new.
    kr_rtos_test_clock_manual(true);
    find_expect_boot_nodeid(flashed, 0x34);
    kr_rtos_test_clock_advance(2100);
    heartbeat(0x34, 0);
    testing::internal::CaptureStdout();
    find_poll_new_devices();
    out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.find("Following"), std::string::npos) << out;
    EXPECT_NE(out.find("Found device at node 0x34 in BOOT-UP state"), std::string::npos) << out;
    EXPECT_EQ(flashed->nodeid, 0x32);

    // The flashed device was removed and the next one moved into its slot: that one stays where it is.
    system_reset(&dev.system);
    device_st *gone = system_add_found_device(&dev.system, 0x36, 797, 1);
    ASSERT_NE(system_add_found_device(&dev.system, 0x37, 797, 2), nullptr);
    find_expect_boot_nodeid(gone, 0x35);
    ASSERT_TRUE(system_remove_device(&dev.system, gone));
    heartbeat(0x35, 0);
    testing::internal::CaptureStdout();
    find_poll_new_devices();
    out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.find("Following"), std::string::npos) << out;
    EXPECT_EQ(dev.system.devs[0].nodeid, 0x37);
}

// The window refreshes live states every frame, so the booting entry is pre-operational or
// operational by the time the node answers: it still becomes the one device, with its identity.
TEST(MonitorOnBus, ABootingNodeThatAnswersLaterStaysOneDevice)
{
    sim_setup_st bus;
    sim_device_config_st d;
    d.node_id = 0x40;
    d.heartbeat_ms = 100;
    d.start_operational = true;
    d.revision = 5;
    std::string err;
    if (!co::child_mode()) {
        ASSERT_TRUE(sim_setup_start(bus, {d}, 0, err)) << err;
    }
    co::result_st res = co::run(bus.port, [] {
        find_start_monitor();
        // Its boot-up message, heard before any heartbeat: nothing else runs until the pass is over.
        kr_can_message_st boot = frame(0x740, {0});
        find_can_callb(nullptr, &boot);
        find_poll_new_devices();
        co::report("booting=%u", (unsigned)dev.system.dev_count);
        for (int i = 0; i < 500 && find_node_get_state(0x40) != DEV_STATE_OP; i++) kr_rtos_task_delay(20);
        find_update_device_states(&dev.system);
        co::report("refreshed=%d", (int)dev.system.devs[0].state);
        find_poll_new_devices();
        co::report("devices=%u vendor=%u", (unsigned)dev.system.dev_count, (unsigned)dev.system.devs[0].vendor_id);
        dev.system.devs[0].sw_version = 0; // as after a flash: read again, and the page is shown anew
        dev.system.devs[0].sw_version_tried = false;
        dev.system.devs[0].devname_tried = true; // nothing else to show anew
        const bool reread = find_update_device_states(&dev.system);
        co::report("reread=%d version=%u", reread ? 1 : 0, (unsigned)dev.system.devs[0].sw_version);
        return 0;
    });
    sim_setup_stop(bus);
    EXPECT_EQ(res.get("booting"), "1") << res.text;
    EXPECT_EQ(res.num("refreshed"), (long)DEV_STATE_OP) << res.text;
    EXPECT_EQ(res.get("devices"), "1 vendor=797") << res.text;
    EXPECT_EQ(res.get("reread"), "1 version=5") << res.text;
}

TEST_F(Monitor, NoBusAccessForInvalidNodes)
{
    device_st d{};
    d.state = DEV_STATE_OP;
    d.nodeid = 0;
    EXPECT_EQ(find_read_device_revision(&d), 0u);
    d.nodeid = 0x80;
    EXPECT_EQ(find_read_device_revision(&d), 0u);
    EXPECT_EQ(find_read_device_revision(nullptr), 0u);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(find_wait_node_operational(0, 60000));
    EXPECT_FALSE(find_wait_node_operational(0x80, 60000));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(30)) << "refused at once, no waiting";

    // A device with node id 0 in the system is left alone by the state refresh.
    system_add_empty_device(&dev.system);
    EXPECT_FALSE(find_update_device_states(&dev.system));
    EXPECT_EQ(dev.system.devs[0].state, DEV_STATE_OFFLINE);
    EXPECT_FALSE(dev.system.devs[0].sw_version_tried);
}

} // namespace
