// The find command end to end: krcan searches a virtual bus of simulated devices.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "e2e/e2e.h"
#include "sim_setup.h"
#include "system/package_builder.h"

namespace {

struct FindE2e : ::testing::Test {
    e2e::sandbox box;
    sim_setup_st bench;
    sim_runner_st *&runner = bench.devs;
    sim_tap_st *&tap = bench.tap;
    uint16_t &port = bench.port;

    void SetUp() override
    {
        std::string err;
        ASSERT_TRUE(sim_setup_start(bench, {}, 0, err, true)) << err;
    }
    void TearDown() override { sim_setup_stop(bench); }
    std::string channel() const { return bench.channel; }
    // --dev refuses a package it cannot read: the known devices get a minimal one.
    std::string package(const std::string &rel)
    {
        std::filesystem::create_directories(box.path(rel).parent_path());
        EXPECT_TRUE(pkgtest::write_zip(box.path(rel).string(), {pkgtest::file("krdev.json", "{\"VERSION\": \"1\"}")}));
        return rel;
    }
};

sim_device_config_st device(uint8_t node, uint32_t vendor, uint32_t product, uint16_t heartbeat_ms)
{
    sim_device_config_st c;
    c.node_id = node;
    c.vendor = vendor;
    c.product = product;
    c.heartbeat_ms = heartbeat_ms;
    return c;
}

using e2e::wait_end;

TEST_F(FindE2e, SearchFindsEachAnsweringNodeOnce)
{
    sim_device_config_st maker = device(0x10, 797, 0x1234, 100);
    sim_device_config_st third = device(0x20, 0x5A5A, 7, 100);
    sim_device_config_st booting = device(0x30, 797, 0x30, 0); // its heartbeats come from the test below
    sim_device_config_st mute = device(0x40, 797, 0x40, 0);    // so are these, once 0x30 is read
    sim_fault_st f;
    uint8_t fnode = 0;
    std::string err;
    ASSERT_TRUE(sim_fault_parse("silent:index=0x1018,count=-1", f, fnode, err)) << err;
    mute.faults.push_back(f);
    ASSERT_TRUE(sim_setup_add_devices(bench, {maker, third, booting, mute}, err)) << err;

    sim_client_st ctl;
    ASSERT_TRUE(sim_client_connect(ctl, "127.0.0.1", port, "vcan0"));
    ASSERT_TRUE(sim_client_send(ctl, sim_frame_std(0x000, {0x01, 0x10}))); // start 0x10
    for (int i = 0; i < 3000 && sim_dev_nmt_state(runner, 0x10) != 5; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(sim_dev_nmt_state(runner, 0x10), 5);

    e2e::background krcan(box, KRCAN_BIN, {"--can", channel(), "--find"});

    // Node 0x30 sends boot-up heartbeats until krcan has seen it booting, then operational ones
    // (0x85: the top bit is not part of the state). Frames that are no heartbeats go along.
    std::atomic<bool> stop{false};
    std::thread bus([&] {
        while (!stop) {
            std::string out = krcan.out();
            bool booted = out.find("node 0x30 in BOOT-UP") != std::string::npos;
            sim_dev_send_raw(runner, 0x30, sim_frame_std(0x730, {(uint8_t)(booted ? 0x85 : 0x00)}));
            // The silent node's read takes what is left of the search; heard earlier, it would leave
            // none for 0x30.
            if (out.find("at node 0x30 (vendor") != std::string::npos)
                sim_dev_send_raw(runner, 0x40, sim_frame_std(0x740, {0x05}));
            sim_client_send(ctl, sim_frame_std(0x700, {0x05}));       // node 0
            sim_client_send(ctl, sim_frame_std(0x70A, {0x05, 0x00})); // two bytes
            sim_client_send(ctl, sim_frame_ext(0x70B, {0x05}));       // extended
            sim_client_send(ctl, sim_frame_std(0x78C, {0x05}));       // past 0x77F
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    });
    e2e::result r = wait_end(krcan, 120000);
    stop = true;
    bus.join();
    sim_client_close(ctl);

    EXPECT_TRUE(r.exited(0)) << r.out << r.err;
    EXPECT_NE(r.out.find("Searching for devices on the CAN bus for 2000 ms...\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Found Korvane device at node 0x10 (vendor 0x31d, product code 0x1234)\n"), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("Found third-party device at node 0x20 (vendor 0x5a5a, product code 0x7)\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(e2e::count(r.out, "Found device at node 0x30 in BOOT-UP state (bootloader); its identity is not read "
                                "while it is booting.\n"),
              1u)
        << r.out;
    EXPECT_EQ(e2e::count(r.out, "Found Korvane device at node 0x30 (vendor 0x31d, product code 0x30)\n"), 1u) << r.out;
    EXPECT_EQ(e2e::count(r.out, "Node 0x40 sends heartbeats but did not answer the identity read (0x1018:1); it is "
                                "not added.\n"),
              1u)
        << r.out;
    for (const char *absent : {"node 0x0 ", "node 0xa ", "node 0xb ", "node 0xc "})
        EXPECT_EQ(r.out.find(absent), std::string::npos) << absent << "\n" << r.out;
    EXPECT_NE(r.out.find("Device search finished: 3 new device(s) found.\n"), std::string::npos) << r.out;

    // The search only reads: no NMT but the test's own start, no writes, nothing to node 0.
    for (uint8_t node : {0x10, 0x20, 0x30, 0x40}) EXPECT_TRUE(sim_dev_write_log(runner, node).empty()) << (int)node;
    EXPECT_EQ(sim_dev_nmt_log(runner, 0x10).size(), 1u);
    EXPECT_TRUE(sim_dev_nmt_log(runner, 0x20).empty());
    size_t nmt = 0, sdo_to_0x40 = 0;
    for (const sim_frame_st &fr : sim_tap_frames(tap)) {
        EXPECT_NE(fr.id, 0x600u) << "SDO to node 0";
        if (fr.kind == SIM_FRAME_STD && fr.id == 0) nmt++;
        if (fr.kind == SIM_FRAME_STD && fr.id == 0x640) sdo_to_0x40++;
    }
    EXPECT_EQ(nmt, 1u);
    EXPECT_GE(sdo_to_0x40, 1u) << "the mute node was asked";
}

// Nodes that send heartbeats but never answer their identity read: the search still ends when it
// said it would, the time its reads wait counted in.
TEST_F(FindE2e, SilentNodesDoNotLengthenTheSearch)
{
    std::vector<sim_device_config_st> mute;
    sim_fault_st f;
    uint8_t fnode = 0;
    std::string err;
    ASSERT_TRUE(sim_fault_parse("silent:index=0x1018,count=-1", f, fnode, err)) << err;
    for (uint8_t node : {0x40, 0x41, 0x42}) {
        mute.push_back(device(node, 797, node, 100));
        mute.back().faults.push_back(f);
    }
    ASSERT_TRUE(sim_setup_add_devices(bench, mute, err)) << err;

    e2e::background krcan(box, KRCAN_BIN, {"--can", channel(), "--find"});
    using clock = std::chrono::steady_clock;
    auto seen = [&](const char *line) {
        while (krcan.running() && krcan.out().find(line) == std::string::npos)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        return clock::now();
    };
    clock::time_point from = seen("Searching for devices");
    clock::time_point to = seen("Device search finished");
    e2e::result r = wait_end(krcan, 30000);
    EXPECT_TRUE(r.exited(0)) << r.out;
    EXPECT_GE(e2e::count(r.out, "sends heartbeats but did not answer the identity read"), 1u) << r.out;
    EXPECT_EQ(e2e::count(r.out, "sends heartbeats but did not answer the identity read") +
                  e2e::count(r.out, "sends heartbeats but the search had no time left to read its identity"),
              3u)
        << r.out;
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(to - from).count();
    EXPECT_GE(ms, 1900);
    // Counting passes instead of time took 6.5 s and more with three silent nodes; the room above
    // 2000 ms is for a loaded machine.
    EXPECT_LT(ms, 5000) << "the search announced 2000 ms";
}

TEST_F(FindE2e, KnownDevicesEmptyBusAndClosedPort)
{
    e2e::result r = box.krcan({"--can", channel(), "--find"}, {});
    EXPECT_TRUE(r.exited(0)) << r.out << r.err;
    EXPECT_NE(r.out.find("Device search finished: 0 new device(s) found.\n"), std::string::npos) << r.out;

    // A device the system already holds at that node id is not added again.
    std::string err;
    ASSERT_TRUE(sim_setup_add_devices(bench, {device(0x10, 797, 1, 100), device(0x11, 797, 2, 100)}, err)) << err;
    r = box.krcan({"--can", channel(), "--dev", package("pk/known.krdev") + ":0x10", "--find"}, {});
    EXPECT_TRUE(r.exited(0)) << r.out << r.err;
    EXPECT_EQ(r.out.find("node 0x10"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Found Korvane device at node 0x11 (vendor 0x31d, product code 0x2)\n"), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("Device search finished: 1 new device(s) found.\n"), std::string::npos) << r.out;
    sim_runner_stop(runner);
    runner = nullptr;

    // Nothing listens on the hub's port once it is gone: the search says so and the run fails.
    sim_setup_stop(bench);
    r = box.krcan({"--can", channel(), "--find"}, {});
    EXPECT_TRUE(r.exited(1)) << r.out << r.err;
    EXPECT_NE(r.out.find("ERROR: find: Couldn't open the connection to the CAN interface " + channel()),
              std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find("new device(s) found"), std::string::npos) << r.out;
}

TEST_F(FindE2e, AFullSystemReportsABootingNodeOnce)
{
    std::vector<std::string> args = {"--can", channel()};
    for (unsigned node = 0x50; node < 0x50 + 20; node++) {
        char dev_arg[64];
        std::snprintf(dev_arg, sizeof dev_arg, "%s:0x%x", package("pk/d" + std::to_string(node) + ".krdev").c_str(),
                      node);
        args.push_back("--dev");
        args.push_back(dev_arg);
    }
    args.push_back("--find");
    sim_client_st ctl;
    ASSERT_TRUE(sim_client_connect(ctl, "127.0.0.1", port, "vcan0"));
    e2e::background krcan(box, KRCAN_BIN, args);
    std::atomic<bool> stop{false};
    std::thread bus([&] {
        while (!stop) {
            sim_client_send(ctl, sim_frame_std(0x731, {0x00})); // boot-up, all through the search
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    });
    e2e::result r = wait_end(krcan, 60000);
    stop = true;
    bus.join();
    sim_client_close(ctl);
    EXPECT_EQ(e2e::count(r.out, "Found a booting device at node 0x31 but the system is full; ignoring it.\n"), 1u)
        << r.out;
    EXPECT_NE(r.out.find("Device search finished: 0 new device(s) found.\n"), std::string::npos) << r.out;
}

// A node seen booting while it fills the system's last place, which then answers: the booting
// entry becomes the real device, with its vendor, instead of staying as vendor 0.
TEST_F(FindE2e, ABootingNodeInTheLastPlaceBecomesTheRealDevice)
{
    std::vector<std::string> args = {"--can", channel()};
    for (unsigned node = 0x50; node < 0x50 + 19; node++)
        args.insert(args.end(),
                    {"--dev", package("pk/d" + std::to_string(node) + ".krdev") + ":" + std::to_string(node)});
    args.push_back("--find");
    sim_client_st ctl;
    ASSERT_TRUE(sim_client_connect(ctl, "127.0.0.1", port, "vcan0"));
    e2e::background krcan(box, KRCAN_BIN, args);
    ASSERT_TRUE(krcan.wait_for_output("Searching for devices", 30000)) << krcan.out();
    // Boot-ups every 50 ms until krcan has taken the node for a booting one.
    for (int i = 0; i < 600; i++) {
        sim_client_send(ctl, sim_frame_std(0x731, {0x00}));
        if (krcan.wait_for_output("Found device at node 0x31 in BOOT-UP state", 50)) break;
    }
    std::string err;
    ASSERT_TRUE(sim_setup_add_devices(bench, {device(0x31, 797, 7, 100)}, err)) << err;
    e2e::result r = wait_end(krcan, 60000);
    sim_client_close(ctl);
    EXPECT_TRUE(r.exited(0)) << r.out << r.err;
    EXPECT_NE(r.out.find("Found device at node 0x31 in BOOT-UP state"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Found Korvane device at node 0x31 (vendor 0x31d, product code 0x7)\n"), std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find("system is full"), std::string::npos) << r.out;
}

TEST_F(FindE2e, SearchAfterListenHearsHeartbeats)
{
    std::string err;
    ASSERT_TRUE(sim_setup_add_devices(bench, {device(0x12, 797, 3, 0)}, err)) << err; // silent until told
    e2e::background krcan(box, KRCAN_BIN, {"--can", channel(), "--find", "--listen=3", "--find"});
    ASSERT_TRUE(krcan.wait_for_output("Device search finished: 0 new device(s) found.\n", 60000)) << krcan.out();
    sim_dev_set_heartbeat(runner, 0x12, 100);
    e2e::result r = wait_end(krcan, 60000);
    EXPECT_TRUE(r.exited(0)) << r.out << r.err;
    EXPECT_NE(r.out.find("ID: 0x712, DLC: 1"), std::string::npos) << "the listener had the hook\n" << r.out;
    EXPECT_NE(r.out.find("Found Korvane device at node 0x12 (vendor 0x31d, product code 0x3)\n"), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("Device search finished: 1 new device(s) found.\n"), std::string::npos) << r.out;
}

} // namespace
