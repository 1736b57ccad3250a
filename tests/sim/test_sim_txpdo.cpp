// The simulated devices' transmit PDOs, watched on the bus: only while OPERATIONAL, on the event timer,
// when a mapped object is set, after the inhibit time, on SYNC, and the PDO writes a device refuses.
#include "sim_client.h"
#include "sim_device.h"
#include "sim_sdo_client.h"
#include "sim_setup.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <thread>

namespace {

using bytes = std::vector<uint8_t>;
constexpr uint8_t NODE = 0x23;

std::vector<sim_frame_st> on(const std::vector<sim_frame_st> &frames, uint32_t id)
{
    std::vector<sim_frame_st> r;
    for (const sim_frame_st &f : frames)
        if (f.kind == SIM_FRAME_STD && f.id == id)
            r.push_back(f);
    return r;
}

std::vector<sim_frame_st> on(sim_tap_st *tap, uint32_t id)
{
    return on(sim_tap_frames(tap), id);
}

bytes data_of(const sim_frame_st &f)
{
    return bytes(f.data, f.data + f.len);
}

void sleep_ms(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

struct TxpdoBus : ::testing::Test {
    sim_setup_st setup;
    sim_tap_st *tap = nullptr;
    sim_client_st master;
    std::string dict;

    void start(const std::string &text)
    {
        char path[] = "/tmp/kr_txpdo_dict_XXXXXX";
        int fd = mkstemp(path);
        ASSERT_GE(fd, 0);
        close(fd);
        dict = path;
        std::ofstream(dict) << text;
        std::string err;
        ASSERT_TRUE(sim_setup_start(setup, {}, 0, err)) << err;
        tap = sim_tap_start(setup.port, "vcan0", err);
        ASSERT_NE(tap, nullptr) << err;
        ASSERT_TRUE(sim_client_connect(master, "127.0.0.1", setup.port, "vcan0"));
        sim_device_config_st c;
        c.node_id = NODE;
        c.heartbeat_ms = 0;
        c.dict_file = dict;
        setup.devs = sim_runner_start(setup.port, "vcan0", {c}, err);
        ASSERT_NE(setup.devs, nullptr) << err;
    }
    void nmt(uint8_t cmd) { ASSERT_TRUE(sim_client_send(master, sim_frame_std(0, {cmd, NODE}))); }
    // What was sent is handled and what the device sent meanwhile is on the tap.
    void settle()
    {
        ASSERT_TRUE(sim_setup_settle(setup));
        ASSERT_TRUE(sim_tap_sync(tap, 30000));
    }
    void TearDown() override
    {
        sim_client_close(master);
        if (tap)
            sim_tap_stop(tap);
        sim_setup_stop(setup);
        if (!dict.empty())
            unlink(dict.c_str());
    }
};

// PDO1: u16 0x2000 then i8 0x2001, event timer 100 ms. PDO2: u32 0x2002, no timer, inhibit 300 ms.
const char *DICT = R"(
0x2000 0 u16 rw 0x1234
0x2001 0 i8 rw -2
0x2002 0 u32 rw 7
0x2003 0 u16 rw 0
0x1A00 0 u8 rw 2
0x1A00 1 u32 rw 0x20000010
0x1A00 2 u32 rw 0x20010008
0x1800 5 u16 rw 100
0x1A01 0 u8 rw 1
0x1A01 1 u32 rw 0x20020020
0x1801 3 u16 rw 3000
0x1A02 0 u8 rw 1
0x1A02 1 u32 rw 0x20030010
0x1802 2 u8 rw 2
)";

TEST_F(TxpdoBus, SentOnlyWhileOperationalOnTimerChangeAndInhibit)
{
    ASSERT_NO_FATAL_FAILURE(start(DICT));
    const uint32_t pdo1 = 0x180 + NODE, pdo2 = 0x280 + NODE, pdo3 = 0x380 + NODE;
    // Pre-operational: nothing, neither on the timer nor when a mapped object is set.
    ASSERT_TRUE(sim_dev_set(setup.devs, NODE, 0x2000, 0, {0x10, 0x00}));
    sleep_ms(400);
    EXPECT_TRUE(on(tap, pdo1).empty());
    EXPECT_TRUE(on(tap, pdo2).empty());

    // Entering OPERATIONAL sends the event-driven PDOs at once, in mapping order.
    nmt(0x01);
    ASSERT_TRUE(sim_tap_wait(
        tap, [&](const std::vector<sim_frame_st> &fr) { return !on(fr, pdo2).empty(); }, 5000));
    ASSERT_FALSE(on(tap, pdo1).empty());
    EXPECT_EQ(data_of(on(tap, pdo1)[0]), (bytes{0x10, 0x00, 0xFE}));
    EXPECT_EQ(data_of(on(tap, pdo2)[0]), (bytes{7, 0, 0, 0}));
    EXPECT_TRUE(on(tap, pdo3).empty()) << "a synchronous PDO waits for SYNC";

    // The 100 ms timer keeps PDO1 coming; PDO2 has none.
    sleep_ms(1000);
    size_t n1 = on(tap, pdo1).size();
    EXPECT_GE(n1, 5u);
    EXPECT_LE(n1, 14u);
    EXPECT_EQ(on(tap, pdo2).size(), 1u);

    // Setting a mapped object sends its PDO at once; an unmapped one sends nothing.
    ASSERT_TRUE(sim_dev_set(setup.devs, NODE, 0x2002, 0, {0x44, 0x33, 0x22, 0x11}));
    ASSERT_TRUE(sim_tap_wait(
        tap, [&](const std::vector<sim_frame_st> &fr) { return on(fr, pdo2).size() == 2; }, 2000));
    EXPECT_EQ(data_of(on(tap, pdo2)[1]), (bytes{0x44, 0x33, 0x22, 0x11}));
    // Within the 300 ms inhibit time a second change waits, and goes with the newest value.
    ASSERT_TRUE(sim_dev_set(setup.devs, NODE, 0x2002, 0, {1, 0, 0, 0}));
    ASSERT_TRUE(sim_dev_set(setup.devs, NODE, 0x2002, 0, {2, 0, 0, 0}));
    ASSERT_TRUE(sim_tap_wait(
        tap, [&](const std::vector<sim_frame_st> &fr) { return on(fr, pdo2).size() >= 3; }, 3000));
    auto p2 = on(tap, pdo2);
    EXPECT_EQ(p2.size(), 3u);
    EXPECT_EQ(data_of(p2[2]), (bytes{2, 0, 0, 0}));
    EXPECT_GE((p2[2].rx_ns - p2[1].rx_ns) / 1000000, 250);

    // A value set over SDO goes out too.
    sim_sdo_result_st w = sim_sdo_download(master, NODE, 0x2001, 0, {0x05}, sim_sdo_mode_e::expedited);
    ASSERT_TRUE(w.ok) << w.error << std::hex << w.abort_code;
    ASSERT_TRUE(sim_tap_wait(
        tap,
        [&](const std::vector<sim_frame_st> &fr) {
            return data_of(on(fr, pdo1).back()) == bytes{0x10, 0x00, 0x05};
        },
        2000));

    // SYNC: the type-2 PDO goes with every second one.
    for (int i = 0; i < 4; i++) {
        ASSERT_TRUE(sim_client_send(master, sim_frame_std(0x80, {})));
        settle();
    }
    EXPECT_EQ(on(tap, pdo3).size(), 2u);

    // Stopped: silence, whatever changes.
    nmt(0x02);
    settle();
    sim_tap_clear(tap);
    ASSERT_TRUE(sim_dev_set(setup.devs, NODE, 0x2000, 0, {0x99, 0x00}));
    sleep_ms(400);
    EXPECT_TRUE(on(tap, pdo1).empty());
    EXPECT_TRUE(on(tap, pdo2).empty());
}

TEST_F(TxpdoBus, RefusedWritesAndARemappedPdo)
{
    ASSERT_NO_FATAL_FAILURE(start(DICT));
    auto dl = [&](uint16_t index, uint8_t sub, bytes v) {
        return sim_sdo_download(master, NODE, index, sub, v, sim_sdo_mode_e::expedited);
    };
    const uint32_t pdo1 = 0x180 + NODE;
    // A valid PDO keeps its identifier; reserved transmission types are refused.
    EXPECT_EQ(dl(0x1800, 1, {0x99, 0x01, 0, 0}).abort_code, 0x06090030u);
    EXPECT_EQ(dl(0x1800, 2, {0xF5}).abort_code, 0x06090030u);
    // CiA 301's order: the count changes only while the PDO is not valid, the entries only at count 0.
    EXPECT_EQ(dl(0x1A00, 0, {0}).abort_code, 0x06010000u);
    ASSERT_TRUE(dl(0x1800, 1, {(uint8_t)pdo1, (uint8_t)(pdo1 >> 8), 0, 0x80}).ok);
    EXPECT_EQ(dl(0x1A00, 3, {0x20, 0x00, 0x02, 0x20}).abort_code, 0x06010000u);
    ASSERT_TRUE(dl(0x1A00, 0, {0}).ok);
    // More than 8 entries, more than 64 bits, a missing object: refused, the count stays 0.
    EXPECT_EQ(dl(0x1A00, 0, {9}).abort_code, 0x06040042u);
    ASSERT_TRUE(dl(0x1A00, 3, {0x20, 0x00, 0x02, 0x20}).ok); // 0x2002 u32 as a third entry: 7 bytes
    ASSERT_TRUE(dl(0x1A00, 4, {0x20, 0x00, 0x02, 0x20}).ok); // a fourth: 11 bytes
    EXPECT_EQ(dl(0x1A00, 0, {4}).abort_code, 0x06040042u);
    ASSERT_TRUE(dl(0x1A00, 4, {0x10, 0x00, 0x00, 0x60}).ok); // 0x6000 does not exist
    EXPECT_EQ(dl(0x1A00, 0, {4}).abort_code, 0x06040041u);
    EXPECT_EQ(sim_dev_get_u32(setup.devs, NODE, 0x1A00, 0), 0u);

    // Not valid while remapped to three entries on a new identifier: sent there once valid again.
    ASSERT_TRUE(dl(0x1800, 1, {0xA3, 0x01, 0, 0x80}).ok);
    ASSERT_TRUE(dl(0x1A00, 0, {3}).ok);
    ASSERT_TRUE(dl(0x1800, 1, {0x99, 0x01, 0, 0}).ok);
    nmt(0x01);
    ASSERT_TRUE(sim_tap_wait(
        tap, [&](const std::vector<sim_frame_st> &fr) { return !on(fr, 0x199).empty(); }, 3000));
    EXPECT_EQ(data_of(on(tap, 0x199)[0]), (bytes{0x34, 0x12, 0xFE, 7, 0, 0, 0}));
    EXPECT_TRUE(on(tap, pdo1).empty());
    // Not valid: the timer sends nothing.
    ASSERT_TRUE(dl(0x1800, 1, {0x99, 0x01, 0, 0x80}).ok);
    settle();
    size_t n = on(tap, 0x199).size();
    sleep_ms(400);
    EXPECT_EQ(on(tap, 0x199).size(), n);
}

} // namespace
