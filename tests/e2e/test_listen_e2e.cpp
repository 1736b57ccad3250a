// The bus listener, end to end: krcan on the virtual bus, frames put there by a test client.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <ctime>
#include <regex>
#include <thread>

#include "e2e/e2e.h"
#include "sim_setup.h"

namespace {

class Listen : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string err;
        ASSERT_TRUE(sim_setup_start(bench, {}, 0, err, true)) << err;
        ASSERT_TRUE(sim_client_connect(sender, "127.0.0.1", port, "vcan0"));
    }
    void TearDown() override
    {
        if (sender_thread.joinable()) sender_thread.join();
        sim_client_close(sender);
        sim_setup_stop(bench);
    }
    std::string can() const { return bench.channel; }

    // Once krcan listens, sends the frames. krcan joins while reading its command line and the listener
    // starts with the job, later: probe frames go out until one comes back in krcan's output. Give the
    // run listening() as its on_output; the probes are left out of what the test reads (probe_free).
    void send_when_listening(std::vector<sim_frame_st> frames)
    {
        sender_thread = std::thread([this, frames] {
            std::unique_lock<std::mutex> l(m);
            for (int i = 0; i < 600 && !heard; i++) {
                sim_client_send(sender, sim_frame_std(kProbe, {}));
                cv.wait_for(l, std::chrono::milliseconds(50), [this] { return heard; });
            }
            for (const sim_frame_st &f : frames) sim_client_send(sender, f);
        });
    }
    std::function<void(const std::string &)> listening()
    {
        return [this](const std::string &out) {
            if (out.find("STD ID: 0x7ff, DLC: 0,") == std::string::npos) return;
            std::lock_guard<std::mutex> l(m);
            heard = true;
            cv.notify_all();
        };
    }
    static std::vector<sim_frame_st> probe_free(const std::vector<sim_frame_st> &frames)
    {
        std::vector<sim_frame_st> out;
        for (const sim_frame_st &f : frames)
            if (f.id != kProbe) out.push_back(f);
        return out;
    }
    static constexpr uint32_t kProbe = 0x7FF;

    e2e::sandbox box;
    sim_setup_st bench;
    sim_hub_st *&hub = bench.hub;
    sim_tap_st *&tap = bench.tap;
    uint16_t &port = bench.port;
    sim_client_st sender;
    std::thread sender_thread;
    std::mutex m;
    std::condition_variable cv;
    bool heard = false;
};

// How far (ms) the stamp printed at the start of a line lies after the hub's stamp of the frame,
// read in a zone 5:30 east of UTC; far off when the zone or the conversion is wrong.
long stamp_lag_ms(const std::string &line, int64_t hub_stamp_us)
{
    unsigned h, m, sec, ms;
    if (sscanf(line.c_str(), "%2u:%2u:%2u:%3u ", &h, &m, &sec, &ms) != 4) return -999999;
    const long day = 86400000;
    long printed = ((h * 60 + m) * 60 + sec) * 1000L + ms;
    long expected = (long)((hub_stamp_us / 1000 + (5 * 3600 + 30 * 60) * 1000L) % day);
    return ((printed - expected) % day + day + day / 2) % day - day / 2;
}

// The lines of the output but those of the probe frames.
std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> out;
    size_t p = 0, nl;
    while ((nl = text.find('\n', p)) != std::string::npos) {
        std::string line = text.substr(p, nl + 1 - p);
        if (line.find("STD ID: 0x7ff, DLC: 0,") == std::string::npos) out.push_back(line);
        p = nl + 1;
    }
    return out;
}

TEST_F(Listen, PrintsEveryFrameForItsTime)
{
    send_when_listening({sim_frame_std(0x701, {0x05}), sim_frame_ext(0x1ABCDEF0, {0x01, 0xA2}),
                         sim_frame_std(0x123, {}), sim_frame_err(0x004)});
    e2e::options o;
    o.env = {{"TZ", "XST-5:30"}};
    o.timeout_ms = 15000;
    o.on_output = listening();
    e2e::result r = box.krcan({"--can", can(), "--listen=3"}, o);
    ASSERT_TRUE(r.exited(0)) << r.err;
    EXPECT_GE(r.wall_ms, 3000);
    EXPECT_LT(r.wall_ms, 13000);

    ASSERT_TRUE(sim_setup_settle(bench));
    std::vector<sim_frame_st> seen = probe_free(sim_tap_frames(tap));
    ASSERT_EQ(seen.size(), 4u);
    std::vector<std::string> lines = lines_of(r.out);
    ASSERT_EQ(lines.size(), 5u) << r.out;
    EXPECT_EQ(lines[0], "Listening on the CAN bus for 3 seconds.\n");
    const char *rest[] = {"STD ID: 0x701, DLC: 1, 0x05 \n", "EXT ID: 0x1abcdef0, DLC: 2, 0x01 0xa2 \n",
                          "STD ID: 0x123, DLC: 0, \n"};
    for (int i = 0; i < 3; i++) {
        const std::string &l = lines[i + 1];
        EXPECT_TRUE(std::regex_match(l, std::regex("[0-2][0-9]:[0-5][0-9]:[0-5][0-9]:[0-9]{3} .*\n"))) << l;
        EXPECT_EQ(l.substr(13), rest[i]);
        long lag = stamp_lag_ms(l, seen[i].stamp_us);
        EXPECT_GE(lag, 0) << l;
        EXPECT_LT(lag, 3000) << l;
    }
    EXPECT_EQ(lines[4].substr(13, 11), "ERR ID: 0x4") << lines[4];
}

TEST_F(Listen, ZeroEndsAtOnceAndBadTimesAreRefused)
{
    e2e::result zero = box.krcan({"--can", can(), "--listen=0", "--silent"});
    EXPECT_TRUE(zero.exited(0)) << zero.err;
    EXPECT_LT(zero.wall_ms, 8000) << "no listening time";
    EXPECT_NE(zero.err.find("Finished\n"), std::string::npos);

    // Negative, above what milliseconds in 32 bits hold (also where seconds x 1000 wraps), junk.
    for (const char *bad : {"-1", "4294968", "4294967296", "8589934", "2s"}) {
        e2e::result r = box.krcan({"--can", can(), "--listen=" + std::string(bad), "--listen=1"});
        EXPECT_TRUE(r.exited(1)) << bad;
        EXPECT_NE(r.out.find("invalid listening time in seconds '" + std::string(bad) + "' for --listen"),
                  std::string::npos)
            << bad << ": " << r.out;
        EXPECT_EQ(r.out.find("Listening on the CAN bus"), std::string::npos) << bad;
    }
}

// Each listener keeps its own time; a reader that goes away ends an endless listener even when the
// caller ignores SIGPIPE.
TEST_F(Listen, EachKeepsItsTimeAndALostReaderEndsIt)
{
    e2e::result r = box.krcan({"--can", can(), "--listen=1", "--listen=0"});
    EXPECT_TRUE(r.exited(0)) << r.err;
    EXPECT_GE(r.wall_ms, 1000) << "the second listener's 0 is its own";

    std::atomic<bool> stop{false};
    sender_thread = std::thread([&] {
        while (!stop) {
            sim_client_send(sender, sim_frame_std(0x701, {0x05}));
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    e2e::options o;
    o.timeout_ms = 20000;
    r = box.run("/bin/sh", {"-c", "trap '' PIPE; \"$0\" --can \"$1\" --listen | head -n 1", KRCAN_BIN, can()}, o);
    stop = true;
    EXPECT_TRUE(r.exited(0)) << r.err;
    EXPECT_LT(r.wall_ms, 15000) << "krcan went on listening into a closed pipe";
    EXPECT_NE(r.out.find("STD ID: 0x701"), std::string::npos) << r.out;
}

TEST_F(Listen, ClosedPortFailsTheRun)
{
    // Nothing listens on this port: the adapter cannot open, and a quiet listing would look like a quiet bus.
    std::string closed = "socketcand://127.0.0.1:1/vcan0";
    for (const char *time : {"--listen=1", "--listen"}) {
        e2e::result r = box.krcan({"--can", closed, time, "--silent"});
        EXPECT_TRUE(r.exited(1)) << time << ": " << r.err;
        EXPECT_NE(r.out.find("ERROR: listen: Couldn't open the connection to the CAN interface " + closed + ": "),
                  std::string::npos)
            << time << ": " << r.out;
        EXPECT_NE(r.err.find("Finished\n"), std::string::npos) << time;
    }
}

TEST_F(Listen, CtrlCLosesNoLineOnAPipe)
{
    std::vector<sim_frame_st> frames;
    for (int i = 0; i < 300; i++) frames.push_back(sim_frame_std(0x181, {(uint8_t)i, (uint8_t)(i >> 8)}));
    send_when_listening(frames);
    e2e::options o;
    o.sigint_on_output = "0x2b 0x01 \n"; // the last frame
    o.timeout_ms = 60000;
    o.on_output = listening();
    e2e::result r = box.krcan({"--can", can(), "--listen"}, o);
    EXPECT_TRUE(r.exited(2)) << "signal " << r.signal << " timed out " << r.timed_out;
    EXPECT_NE(r.err.find("Caught signal, terminating\n"), std::string::npos);
    ASSERT_TRUE(sim_setup_settle(bench));
    ASSERT_EQ(probe_free(sim_tap_frames(tap)).size(), 300u);
    EXPECT_EQ(e2e::count(r.out, "STD ID: 0x181, DLC: 2, "), 300u);
    EXPECT_NE(r.out.find("0x2b 0x01 \n"), std::string::npos) << "the last frame";
    EXPECT_EQ(r.out.back(), '\n');
}

} // namespace
