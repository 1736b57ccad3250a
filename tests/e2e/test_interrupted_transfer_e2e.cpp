// SDO transfers that end before their end, end to end: a firmware load stopped by a signal, by
// another master addressing the node or by an NMT stop of the tool's own node leaves no transfer open
// at the device (its abort log shows the tool's abort), and the next load works at once; a failure of
// our own side is named as such, not as a device's abort code, after a flash and a media job.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <random>

#include "e2e/e2e.h"
#include "sim_client.h"
#include "sim_device.h"
#include "sim_setup.h"

namespace {

using bytes = std::vector<uint8_t>;

constexpr uint8_t NODE = 0x30;
constexpr uint32_t ABORT_GENERAL = 0x08000000;
constexpr uint32_t ABORT_TIMED_OUT = 0x05040000;

bytes random_bytes(size_t n, uint32_t seed)
{
    std::mt19937 rng(seed);
    bytes b(n);
    for (auto &x : b) x = (uint8_t)rng();
    return b;
}

bool has(const std::string &text, const std::string &what) { return text.find(what) != std::string::npos; }

class Interrupted : public ::testing::Test {
protected:
    // A CiA 302 device whose answers come late and whose blocks are short, so a load of `big` takes
    // seconds and can be caught in the middle.
    void start(bool tap = true, uint32_t bitrate = 0)
    {
        sim_device_config_st c;
        c.node_id = NODE;
        c.heartbeat_ms = 0;
        c.reset_delay_ms = 30;
        // Paced, the bus itself makes the load take seconds: full blocks, answered at once.
        c.block_size = bitrate ? 127 : 4;
        c.sdo_delay_ms = bitrate ? 0 : 5;
        c.program.flavour = SIM_BOOT_CIA302;
        c.program.image = old;
        std::string err;
        ASSERT_TRUE(sim_setup_start(bench, {c}, bitrate, err, tap)) << err;
        box.write_file("big.bin", std::string(big.begin(), big.end()));
        box.write_file("small.bin", std::string(small.begin(), small.end()));
    }
    void TearDown() override { sim_setup_stop(bench); }

    // krcan loading big.bin, once its download is under way.
    std::unique_ptr<e2e::background> load_in_background()
    {
        e2e::options o;
        o.stdin_text = "";
        auto k = std::make_unique<e2e::background>(box, KRCAN_BIN,
                                                   std::vector<std::string>{"--can", bench.channel, "--nodeid", "0x30",
                                                                            "--loadbin=big.bin"},
                                                   o);
        EXPECT_TRUE(k->wait_for_output("downloaded ", 60000)) << k->out();
        return k;
    }

    std::vector<uint32_t> aborts() { return sim_dev_abort_log(bench.devs, NODE); }

    // The next load goes through at once: one initiation, no abort, the new image running.
    void next_load_works()
    {
        EXPECT_TRUE(sim_setup_settle(bench));
        if (bench.tap) sim_tap_clear(bench.tap);
        size_t aborts_before = aborts().size();
        e2e::options o;
        o.timeout_ms = 60000;
        e2e::result r = box.krcan({"--can", bench.channel, "--nodeid", "0x30", "--loadbin=small.bin"}, o);
        EXPECT_TRUE(sim_setup_settle(bench));
        EXPECT_TRUE(r.exited(0)) << r.out << r.err;
        EXPECT_FALSE(has(r.out, "SDO abort")) << r.out;
        EXPECT_EQ(sim_dev_program(bench.devs, NODE).image, small);
        EXPECT_EQ(aborts().size(), aborts_before);
        std::vector<sim_frame_st> f = sim_tap_frames(bench.tap);
        EXPECT_EQ(std::count_if(f.begin(), f.end(),
                                [](const sim_frame_st &x) { return x.id == 0x600u + NODE && x.data[0] == 0xC6; }),
                  1)
            << "one initiation";
    }

    e2e::sandbox box;
    sim_setup_st bench;
    const bytes old = random_bytes(128, 1), big = random_bytes(60000, 2), small = random_bytes(700, 3);
};

// Ctrl-C, SIGTERM and SIGHUP each end the run at once, and the device hears the abort first.
TEST_F(Interrupted, ASignalClosesTheTransferAtTheDevice)
{
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(sig);
        start();
        auto k = load_in_background();
        kill(-k->pid(), sig);
        EXPECT_TRUE(k->wait_end(10000));
        e2e::result r = k->stop();
        EXPECT_TRUE(r.exited(sig)) << r.exit_code << " " << r.signal << r.out << r.err;
        EXPECT_TRUE(has(r.err, "Caught signal, terminating")) << r.err;
        // Said once, with what the device keeps.
        EXPECT_EQ(e2e::count(r.out + r.err, "interrupted"), 1u) << r.out << r.err;
        EXPECT_EQ(e2e::count(r.out + r.err, "Caught signal"), 1u) << r.out << r.err;
        EXPECT_TRUE(has(r.out, "The flash of node 0x30 was interrupted: the firmware was not loaded, its old image is "
                               "kept.\n"))
            << r.out;
        EXPECT_TRUE(sim_setup_settle(bench));
        EXPECT_EQ(aborts(), std::vector<uint32_t>{ABORT_GENERAL});
        EXPECT_EQ(sim_dev_program(bench.devs, NODE).image, old);
        next_load_works();
        sim_setup_stop(bench);
    }
}

// Another master's request to the node ends the load: the device is told, and the reason is ours.
TEST_F(Interrupted, AnotherMasterOnTheNodeClosesTheTransferAndIsNamed)
{
    start();
    sim_client_st master;
    ASSERT_TRUE(sim_client_connect(master, "127.0.0.1", bench.port, "vcan0"));
    auto k = load_in_background();
    sim_client_send(master, sim_frame_std(0x600 + NODE, {0x40, 0x18, 0x10, 0x01, 0, 0, 0, 0}));
    e2e::result r = e2e::wait_end(*k, 30000);
    sim_client_close(master);
    EXPECT_TRUE(r.exited(1)) << r.out << r.err;
    EXPECT_TRUE(has(r.out, "SDO transfer failed: another SDO client is using node 0x30\n")) << r.out;
    EXPECT_FALSE(has(r.out, "SDO abort code")) << r.out;
    EXPECT_TRUE(sim_setup_settle(bench));
    EXPECT_EQ(aborts(), std::vector<uint32_t>{ABORT_GENERAL});
    EXPECT_EQ(sim_dev_program(bench.devs, NODE).image, old);
    next_load_works();
}

// The tool's own node stopped by an NMT command: the load ends with its time-out, the device is told,
// and the line says why.
TEST_F(Interrupted, AStoppedOwnNodeClosesTheTransferAndIsNamed)
{
    start();
    sim_client_st master;
    ASSERT_TRUE(sim_client_connect(master, "127.0.0.1", bench.port, "vcan0"));
    auto k = load_in_background();
    sim_client_send(master, sim_frame_std(0x000, {0x02, 0x01}));
    e2e::result r = e2e::wait_end(*k, 30000);
    sim_client_close(master);
    EXPECT_TRUE(r.exited(1)) << r.out << r.err;
    EXPECT_TRUE(has(r.out, "SDO transfer failed: the tool's own CANopen node 0x1 was stopped by an NMT command"))
        << r.out;
    EXPECT_FALSE(has(r.out, "SDO abort code")) << r.out;
    EXPECT_TRUE(sim_setup_settle(bench));
    EXPECT_EQ(aborts(), std::vector<uint32_t>{ABORT_TIMED_OUT});
    next_load_works();
}

// A device still holding an older block download (the tool that started it was killed outright) takes
// the next initiation for a segment and acknowledges it; on a paced bus the dead run's queued segments
// still pass meanwhile, which no other client sends. Either way the tool closes that transfer and
// starts again once, and the load goes through.
TEST_F(Interrupted, AnOlderTransferStillOpenIsClosedAndTheLoadStartsAgain)
{
    for (uint32_t bitrate : {0u, 20000u}) {
        SCOPED_TRACE(bitrate);
        start(true, bitrate);
        auto k = load_in_background();
        kill(-k->pid(), SIGKILL);
        k->stop();
        if (bitrate == 0) {
            EXPECT_TRUE(sim_setup_settle(bench));
            ASSERT_TRUE(aborts().empty());
        }
        sim_tap_clear(bench.tap);
        e2e::options o;
        o.timeout_ms = 60000;
        // Paced: straight after the kill, while its segments are still on their way.
        e2e::result r = box.krcan({"--can", bench.channel, "--nodeid", "0x30", "--loadbin=small.bin"}, o);
        EXPECT_TRUE(sim_setup_settle(bench));
        EXPECT_TRUE(r.exited(0)) << r.out << r.err;
        EXPECT_EQ(sim_dev_program(bench.devs, NODE).image, small);
        EXPECT_EQ(aborts(), std::vector<uint32_t>{0x05040001});
        std::vector<sim_frame_st> f = sim_tap_frames(bench.tap);
        EXPECT_EQ(std::count_if(f.begin(), f.end(),
                                [](const sim_frame_st &x) { return x.id == 0x600u + NODE && x.data[0] == 0xC6; }),
                  2)
            << "the initiation once more";
        sim_setup_stop(bench);
    }
}

// The bus server stops in the middle of a flash and of a media download: each names the lost
// connection instead of a device's abort code.
TEST_F(Interrupted, ALostBusServerIsNamedAfterAFlashAndAMediaJob)
{
    for (bool media : {false, true}) {
        SCOPED_TRACE(media);
        sim_device_config_st c;
        c.node_id = NODE;
        c.heartbeat_ms = 100; // the media job waits for an operational heartbeat
        c.block_size = 4;
        c.sdo_delay_ms = 5;
        c.start_operational = true;
        c.program.flavour = SIM_BOOT_CIA302;
        c.program.image = old;
        c.media.enabled = true;
        c.media.block_size = 64;
        std::string err;
        ASSERT_TRUE(sim_setup_start(bench, {c}, 0, err)) << err;
        box.write_file("big.bin", std::string(big.begin(), big.end()));
        e2e::options o;
        o.stdin_text = "";
        std::vector<std::string> args = {"--can", bench.channel, "--nodeid", "0x30"};
        args.push_back(media ? "--loadmedia=big.bin" : "--loadbin=big.bin");
        e2e::background k(box, KRCAN_BIN, args, o);
        ASSERT_TRUE(k.wait_for_output(media ? "Loading 'big.bin'" : "downloaded ", 60000)) << k.out();
        sim_hub_stop(bench.hub);
        bench.hub = nullptr;
        e2e::result r = e2e::wait_end(k, 30000);
        EXPECT_TRUE(r.exited(1)) << r.out << r.err;
        EXPECT_TRUE(
            has(r.out, "SDO transfer failed: The connection to the CAN interface " + bench.channel + " was lost"))
            << r.out;
        EXPECT_FALSE(has(r.out, "SDO abort code")) << r.out;
        sim_setup_stop(bench);
    }
}

} // namespace
