// The bus listener, end to end: krcan on the virtual bus, frames put there by a test client.
#include <gtest/gtest.h>

#include <atomic>
#include <ctime>
#include <regex>
#include <thread>

#include "e2e/e2e.h"
#include "sim_client.h"
#include "sim_hub.h"

namespace {

class Listen : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string err;
        sim_hub_config_st cfg;
        cfg.quiet = true;
        hub = sim_hub_start(cfg, err);
        ASSERT_NE(hub, nullptr) << err;
        port = sim_hub_port(hub);
        tap = sim_tap_start(port, "vcan0", err);
        ASSERT_NE(tap, nullptr) << err;
        ASSERT_TRUE(sim_client_connect(sender, "127.0.0.1", port, "vcan0"));
    }
    void TearDown() override
    {
        if (sender_thread.joinable()) sender_thread.join();
        sim_client_close(sender);
        if (tap) sim_tap_stop(tap);
        if (hub) sim_hub_stop(hub);
    }
    std::string can() const { return "socketcand://127.0.0.1:" + std::to_string(port) + "/vcan0"; }

    // Once krcan has joined the bus (a third client), sends the frames.
    void send_when_joined(std::vector<sim_frame_st> frames)
    {
        sender_thread = std::thread([this, frames] {
            for (int i = 0; i < 1000 && sim_hub_stats(hub).clients < 3; i++)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            for (const sim_frame_st &f : frames) sim_client_send(sender, f);
        });
    }

    e2e::sandbox box;
    sim_hub_st *hub = nullptr;
    sim_tap_st *tap = nullptr;
    uint16_t port = 0;
    sim_client_st sender;
    std::thread sender_thread;
};

// The stamp krcan must print for a frame the tap saw, in a zone 5:30 east of UTC.
std::string stamp_text(int64_t stamp_us)
{
    time_t secs = (time_t)(stamp_us / 1000000) + 5 * 3600 + 30 * 60;
    struct tm t {};
    gmtime_r(&secs, &t);
    char buf[32];
    snprintf(buf, sizeof buf, "%02d:%02d:%02d:%03d ", t.tm_hour, t.tm_min, t.tm_sec, (int)(stamp_us % 1000000 / 1000));
    return buf;
}

TEST_F(Listen, PrintsEveryFrameForItsTime)
{
    send_when_joined({sim_frame_std(0x701, {0x05}), sim_frame_ext(0x1ABCDEF0, {0x01, 0xA2}),
                      sim_frame_std(0x123, {}), sim_frame_err(0x004)});
    e2e::options o;
    o.env = {{"TZ", "XST-5:30"}};
    o.timeout_ms = 15000;
    e2e::result r = box.krcan({"--can", can(), "--listen", "2"}, o);
    ASSERT_TRUE(r.exited(0)) << r.err;
    EXPECT_GE(r.wall_ms, 2000);
    EXPECT_LT(r.wall_ms, 6000);

    std::vector<sim_frame_st> seen = sim_tap_frames(tap);
    ASSERT_EQ(seen.size(), 4u);
    std::string want = "Listening on the CAN bus for 2 seconds.\n";
    want += stamp_text(seen[0].stamp_us) + "STD ID: 0x701, DLC: 1, 0x05 \n";
    want += stamp_text(seen[1].stamp_us) + "EXT ID: 0x1abcdef0, DLC: 2, 0x01 0xa2 \n";
    want += stamp_text(seen[2].stamp_us) + "STD ID: 0x123, DLC: 0, \n";
    EXPECT_EQ(r.out.substr(0, want.size()), want);
    EXPECT_NE(r.out.find("ERR ID: 0x"), std::string::npos) << r.out;
}

TEST_F(Listen, ZeroEndsAtOnceAndBadTimesAreRefused)
{
    e2e::result zero = box.krcan({"--can", can(), "--listen", "0", "--silent"});
    EXPECT_TRUE(zero.exited(0)) << zero.err;
    EXPECT_LT(zero.wall_ms, 1500);
    EXPECT_NE(zero.err.find("Finished\n"), std::string::npos);

    // Negative, above what milliseconds in 32 bits hold (also where seconds x 1000 wraps), junk.
    for (const char *bad : {"-1", "4294968", "4294967296", "8589934", "2s"}) {
        e2e::result r = box.krcan({"--can", can(), "--listen", bad, "--listen", "1"});
        EXPECT_TRUE(r.exited(1)) << bad;
        EXPECT_NE(r.out.find("Invalid listening time"), std::string::npos) << bad << ": " << r.out;
        EXPECT_EQ(r.out.find("Listening on the CAN bus"), std::string::npos) << bad;
    }
}

TEST_F(Listen, CtrlCLosesNoLineOnAPipe)
{
    std::vector<sim_frame_st> frames;
    for (int i = 0; i < 300; i++) frames.push_back(sim_frame_std(0x181, {(uint8_t)i, (uint8_t)(i >> 8)}));
    send_when_joined(frames);
    e2e::options o;
    o.sigint_after_ms = 3000;
    o.timeout_ms = 15000;
    e2e::result r = box.krcan({"--can", can(), "--listen"}, o);
    EXPECT_TRUE(r.exited(2)) << "signal " << r.signal << " timed out " << r.timed_out;
    EXPECT_NE(r.err.find("Caught signal, terminating\n"), std::string::npos);
    ASSERT_EQ(sim_tap_count(tap), 300u);
    EXPECT_EQ(e2e::count(r.out, "STD ID: 0x181, DLC: 2, "), 300u);
    EXPECT_NE(r.out.find("0x2b 0x01 \n"), std::string::npos) << "the last frame";
    EXPECT_EQ(r.out.back(), '\n');
}

} // namespace
