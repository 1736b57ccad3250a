// The terminal, end to end: krcan on the virtual bus against a scripted device that echoes what it
// is sent and answers each line, checked through a bus tap.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "e2e/e2e.h"
#include "sim_setup.h"

namespace {

constexpr uint8_t kNode = 0x10;
constexpr uint32_t kZbId = 0x15560000u + kNode;

enum class device_mode { echo, silent };

class Terminal : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string err;
        ASSERT_TRUE(sim_setup_start(bench, {}, 0, err, true)) << err;
        ASSERT_TRUE(sim_client_connect(device, "127.0.0.1", port, "vcan0"));
    }
    void TearDown() override
    {
        stop = true;
        if (device_thread.joinable()) device_thread.join();
        sim_client_close(device);
        sim_setup_stop(bench);
    }
    std::string can() const { return bench.channel; }

    void reply(const std::string &text)
    {
        for (size_t i = 0; i < text.size(); i += 4) {
            sim_frame_st f = sim_frame_std(0x580 + kNode, {0x42, 0xFF, 0x5F, 0x00});
            size_t n = std::min<size_t>(4, text.size() - i);
            for (size_t k = 0; k < n; k++) f.data[4 + k] = (uint8_t)text[i + k];
            f.len = (uint8_t)(4 + n);
            sim_client_send(device, f);
        }
    }

    // Echoes every character; after a line end answers "R:<line>\r\n".
    void start_device(device_mode mode)
    {
        device_thread = std::thread([this, mode] {
            std::string line;
            while (!stop) {
                sim_frame_st f;
                if (!sim_client_recv(device, f, 20) || mode == device_mode::silent) continue;
                if (f.kind == SIM_FRAME_EXT && f.id == kZbId) {
                    sim_client_send(device, sim_frame_make(kZbId, f.data, f.len));
                    continue;
                }
                if (f.kind != SIM_FRAME_STD || f.id != 0x600 + kNode || f.len < 4 || f.data[0] != 0x22 ||
                    f.data[1] != 0xFF || f.data[2] != 0x5F || f.data[3] != 0x00)
                    continue;
                std::string chars((const char *)f.data + 4, f.len - 4);
                reply(chars);
                for (char c : chars) {
                    if (c != '\n') {
                        line += c;
                        continue;
                    }
                    reply("R:" + line + "\r\n");
                    line.clear();
                }
            }
        });
    }

    // The frames krcan sent to the device, in order.
    std::vector<sim_frame_st> sent_by_tool(uint32_t id) const
    {
        std::vector<sim_frame_st> out;
        for (const sim_frame_st &f : sim_tap_frames(tap))
            if (f.id == id) out.push_back(f);
        return out;
    }

    e2e::sandbox box;
    sim_setup_st bench;
    sim_hub_st *&hub = bench.hub;
    sim_tap_st *&tap = bench.tap;
    uint16_t &port = bench.port;
    sim_client_st device;
    std::thread device_thread;
    std::atomic<bool> stop{false};
};

std::string payload(const sim_frame_st &f) { return std::string((const char *)f.data + 4, f.len - 4); }

bool is_terminal_frame(const sim_frame_st &f)
{
    return f.kind == SIM_FRAME_STD && f.len >= 5 && f.data[0] == 0x22 && f.data[1] == 0xFF && f.data[2] == 0x5F &&
           f.data[3] == 0x00;
}

TEST_F(Terminal, WordsAreSentInFramesOfFourAndAnswersPrinted)
{
    start_device(device_mode::echo);
    e2e::result r = box.krcan({"--can", can(), "--silent", "--nodeid", "0x10", "--terminal", "help", "abcdefghi"});
    ASSERT_TRUE(r.exited(0)) << r.err;
    EXPECT_EQ(r.out, "help\nR:help\r\nabcdefghi\nR:abcdefghi\r\n");
    EXPECT_NE(r.err.find("Terminal opened for node ID 0x10\n"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("Done\n"), std::string::npos);
    EXPECT_EQ(r.err.find("NO RESPONSE"), std::string::npos) << r.err;

    std::vector<sim_frame_st> sent = sent_by_tool(0x610);
    ASSERT_EQ(sent.size(), 5u);
    for (const sim_frame_st &f : sent) EXPECT_TRUE(is_terminal_frame(f)) << sim_frame_str(f);
    EXPECT_EQ(sent[0].len, 8);
    EXPECT_EQ(payload(sent[0]), "help");
    EXPECT_EQ(payload(sent[1]), "\n");
    EXPECT_EQ(payload(sent[2]), "abcd");
    EXPECT_EQ(payload(sent[3]), "efgh");
    EXPECT_EQ(payload(sent[4]), "i\n");
}

TEST_F(Terminal, DeprecatedProtocolSendsOneCharacterPerFrame)
{
    start_device(device_mode::echo);
    e2e::result r = box.krcan({"--can", can(), "--nodeid", "0x10", "--zbterminal", "ab"});
    ASSERT_TRUE(r.exited(0)) << r.err;
    EXPECT_EQ(r.out, "ab\n");
    std::vector<sim_frame_st> sent = sent_by_tool(kZbId);
    ASSERT_EQ(sent.size(), 6u) << "three from the tool, three echoed";
    std::string chars;
    for (const sim_frame_st &f : sent) {
        EXPECT_EQ(f.kind, SIM_FRAME_EXT);
        EXPECT_EQ(f.len, 1);
        chars += (char)f.data[0];
    }
    std::sort(chars.begin(), chars.end());
    EXPECT_EQ(chars, "\n\naabb");
}

TEST_F(Terminal, SilentDeviceGetsEachFrameTwoSecondsApart)
{
    start_device(device_mode::silent);
    // Silent, as by default: the failure is still said, and it fails the run.
    e2e::result r = box.krcan({"--can", can(), "--nodeid", "0x10", "--terminal", "abcdefg"});
    ASSERT_TRUE(r.exited(1)) << r.err;
    std::vector<sim_frame_st> sent = sent_by_tool(0x610);
    ASSERT_EQ(sent.size(), 2u);
    double gap_ms = (sent[1].rx_ns - sent[0].rx_ns) / 1e6;
    EXPECT_GE(gap_ms, 1900);
    EXPECT_LT(gap_ms, 3000);
    // Before the second frame and for the last frame's answer.
    EXPECT_EQ(e2e::count(r.err, "\n*** NO RESPONSE ***\n"), 2u) << r.err;
    EXPECT_EQ(r.err.find("Done\n"), std::string::npos) << "silent: only the failure is said";
}

TEST_F(Terminal, WordsStayInsideTheTerminalJob)
{
    start_device(device_mode::echo);
    // A listener before and after: neither may see the device answer a word.
    e2e::result r = box.krcan(
        {"--can", can(), "--nodeid", "0x10", "--listen=1", "--terminal", "--listen=1", "one", "two"});
    ASSERT_TRUE(r.exited(0)) << r.err;
    EXPECT_EQ(r.out.find("ID: 0x590"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("one\nR:one\r\ntwo\nR:two\r\n"), std::string::npos) << r.out;
    EXPECT_EQ(sent_by_tool(0x610).size(), 2u) << "one frame a word";
}

TEST_F(Terminal, ALongWordGoesOutWhole)
{
    start_device(device_mode::echo);
    std::string word(1030, 'x');
    word.back() = 'E';
    e2e::result r = box.krcan({"--can", can(), "--silent", "--nodeid", "0x10", "--terminal", word});
    ASSERT_TRUE(r.exited(0)) << r.err;
    std::string text;
    for (const sim_frame_st &f : sent_by_tool(0x610)) text += payload(f);
    EXPECT_EQ(text, word + "\n") << "sent " << text.size() << " characters";
}

TEST_F(Terminal, InteractiveLinesFromAPipe)
{
    start_device(device_mode::echo);
    e2e::options o;
    o.stdin_text = "ver\nstatus all\n";
    o.sigint_on_output = "R:status all\r\n";
    o.timeout_ms = 20000;
    e2e::result r = box.krcan({"--can", can(), "--nodeid", "0x10", "--terminal"}, o);
    EXPECT_TRUE(r.exited(2)) << r.err;
    EXPECT_NE(r.out.find("ver\nR:ver\r\nstatus all\nR:status all\r\n"), std::string::npos) << r.out;
    std::vector<sim_frame_st> sent = sent_by_tool(0x610);
    std::string text;
    for (const sim_frame_st &f : sent) text += payload(f);
    EXPECT_EQ(text, "ver\nstatus all\n");
}

// A line holding a NUL is not sent (cut, it would run together with the next line); a last line
// without its line end still goes out as a line. The old protocol fails a device that never answered;
// node ids that name no device are said as such.
TEST_F(Terminal, LinesGoOutWholeAndSilenceFails)
{
    start_device(device_mode::echo);
    e2e::options o;
    o.stdin_text = std::string("ab\0cd\nxy", 8);
    e2e::result r = box.krcan({"--can", can(), "--nodeid", "0x10", "--terminal"}, o);
    EXPECT_TRUE(r.exited(1)) << r.out << r.err;
    EXPECT_NE(r.out.find("a terminal line holding a NUL byte is not sent"), std::string::npos) << r.out;
    std::string text;
    for (const sim_frame_st &f : sent_by_tool(0x610)) text += payload(f);
    EXPECT_EQ(text, "xy\n");
    EXPECT_NE(r.out.find("R:xy\r\n"), std::string::npos) << r.out;

    r = box.krcan({"--can", can(), "--nodeid", "0x11", "--zbterminal", "ab"});
    EXPECT_TRUE(r.exited(1)) << r.out << r.err;
    EXPECT_NE(r.err.find("*** NO RESPONSE ***"), std::string::npos) << r.err;

    r = box.krcan({"--can", can(), "-n", "1", "--terminal", "x"});
    EXPECT_TRUE(r.exited(1));
    EXPECT_NE(r.out.find("node id 0x1 is krcan's own node id"), std::string::npos) << r.out;
    r = box.krcan({"--can", can(), "-n", "0", "--terminal", "x"});
    EXPECT_TRUE(r.exited(1));
    EXPECT_NE(r.out.find("node id 0 names no device"), std::string::npos) << r.out;
    EXPECT_EQ(sent_by_tool(0x600).size() + sent_by_tool(0x601).size(), 0u);
}

TEST_F(Terminal, ClosedPortFailsTheRun)
{
    // Nothing listens on this port: the adapter cannot open.
    std::string closed = "socketcand://127.0.0.1:1/vcan0";
    e2e::result r = box.krcan({"--can", closed, "-n", "0x20", "--terminal", "help"});
    EXPECT_TRUE(r.exited(1)) << r.err;
    EXPECT_NE(r.out.find("ERROR: terminal: Couldn't open the connection to the CAN interface " + closed + ": "),
              std::string::npos)
        << r.out;
}

TEST_F(Terminal, NeedsANodeId)
{
    e2e::result r = box.krcan({"--can", can(), "--terminal", "help"});
    EXPECT_TRUE(r.exited(1));
    EXPECT_NE(r.out.find("no device node id selected"), std::string::npos) << r.out;
    EXPECT_EQ(sent_by_tool(0x600).size(), 0u);
}

} // namespace
