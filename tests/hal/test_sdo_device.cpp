// The SDO client against the simulated CANopen device: what lands in the device, byte for byte,
// for block downloads of every size from 1 to 4000 bytes and of 1 MiB (the device checks the CRC),
// and the failures the device injects.
#include <gtest/gtest.h>

#include "hal/canopen_harness.h"
#include "sim_device.h"

namespace {

constexpr uint8_t NODE = 0x10;
constexpr uint16_t SMALL_BASE = 0x3000; // objects 0x3000 + n, sub 1: the n-byte download
constexpr uint32_t SMALL_MAX = 4000;
constexpr uint32_t BIG = 1024 * 1024;

uint8_t pattern(uint32_t n, uint32_t i) { return (uint8_t)((i * 131u + n * 7u + (i >> 8)) & 0xFF); }

// Every size up to 1000 (every tail length, the first block boundary at 889 bytes), then every
// 11th size (tail lengths keep changing) and 4000 itself: a few seconds instead of minutes.
std::vector<uint32_t> small_sizes()
{
    std::vector<uint32_t> v;
    for (uint32_t n = 1; n <= 1000; n++) v.push_back(n);
    for (uint32_t n = 1011; n < SMALL_MAX; n += 11) v.push_back(n);
    v.push_back(SMALL_MAX);
    return v;
}

class SdoDevice : public ::testing::Test {
protected:
    sim_hub_st *hub = nullptr;
    sim_tap_st *tap = nullptr;
    sim_runner_st *runner = nullptr;
    uint16_t port = 0;

    void SetUp() override
    {
        if (co::child_mode()) return;
        std::string err;
        sim_hub_config_st cfg;
        cfg.quiet = true;
        hub = sim_hub_start(cfg, err);
        ASSERT_NE(hub, nullptr) << err;
        port = sim_hub_port(hub);
        tap = sim_tap_start(port, "vcan0", err);
        ASSERT_NE(tap, nullptr) << err;
        sim_device_config_st d;
        d.node_id = NODE;
        d.heartbeat_ms = 0;
        d.block_size = 127;
        runner = sim_runner_start(port, "vcan0", {d}, err);
        ASSERT_NE(runner, nullptr) << err;
        sim_object_st dom;
        dom.type = SIM_DOMAIN;
        dom.access = SIM_RW;
        dom.max_size = BIG;
        ASSERT_TRUE(sim_dev_add_object(runner, NODE, 0x1F50, 1, dom));
        dom.max_size = SMALL_MAX;
        for (uint32_t n : small_sizes()) sim_dev_add_object(runner, NODE, (uint16_t)(SMALL_BASE + n), 1, dom);
        sim_tap_clear(tap);
    }
    void TearDown() override
    {
        if (runner) sim_runner_stop(runner);
        if (tap) sim_tap_stop(tap);
        if (hub) sim_hub_stop(hub);
    }
};

} // namespace

// Sizes from 1 to 4000 bytes, each to its own object, then 1 MiB: each lands whole.
TEST_F(SdoDevice, BlockDownloadsLandByteIdentical)
{
    co::result_st res = co::run(
        port,
        [] {
            static uint8_t buf[BIG];
            for (uint32_t n : small_sizes()) {
                for (uint32_t i = 0; i < n; i++) buf[i] = pattern(n, i);
                kr_errors_e e = _kr_canopen_sdo_client_block_write(NODE, (uint16_t)(SMALL_BASE + n), 1, n, buf);
                if (e != ERR_NONE) {
                    co::report("failed=%u:%u:0x%08x", n, e, _kr_canopen_sdo_get_error_code());
                    return 1;
                }
            }
            for (uint32_t i = 0; i < BIG; i++) buf[i] = pattern(BIG, i);
            uint32_t t0 = kr_rtos_get_tick_count();
            kr_errors_e e = _kr_canopen_sdo_client_block_write(NODE, 0x1F50, 1, BIG, buf);
            co::report("big=%u:0x%08x:%u", e, _kr_canopen_sdo_get_error_code(), kr_rtos_get_tick_count() - t0);
            return 0;
        },
        240000);
    ASSERT_EQ(res.status, 0) << res.text;
    EXPECT_EQ(res.get("big").substr(0, 12), "0:0x00000000");
    std::vector<uint8_t> v;
    for (uint32_t n : small_sizes()) {
        ASSERT_TRUE(sim_dev_get(runner, NODE, (uint16_t)(SMALL_BASE + n), 1, v));
        ASSERT_EQ(v.size(), n);
        for (uint32_t i = 0; i < n; i++) ASSERT_EQ(v[i], pattern(n, i)) << "size " << n << " byte " << i;
    }
    ASSERT_TRUE(sim_dev_get(runner, NODE, 0x1F50, 1, v));
    ASSERT_EQ(v.size(), BIG);
    size_t bad = 0;
    for (uint32_t i = 0; i < BIG; i++) bad += v[i] != pattern(BIG, i);
    EXPECT_EQ(bad, 0u);
    auto log = sim_dev_write_log(runner, NODE);
    ASSERT_EQ(log.size(), small_sizes().size() + 1);
    for (auto &w : log) EXPECT_EQ(w.how, 'b');
    EXPECT_TRUE(sim_dev_abort_log(runner, NODE).empty());
}

// Failures the device injects end the block download with the right abort and land nothing:
// a CRC refusal, acknowledgements that stay one segment short however often the segment is sent
// again, a busy answer (block writes are not retried) and silence (the client's time-out abort).
TEST_F(SdoDevice, BlockDownloadFailuresAreReported)
{
    auto add = [this](uint8_t kind, uint16_t index, uint32_t stage, uint32_t code) {
        sim_fault_st f;
        f.kind = kind;
        f.index = index;
        f.stage = stage;
        f.code = code;
        if (kind == SIM_FAULT_ACKSEQ) {
            f.every = 1;
            f.count = -1;
        }
        if (!co::child_mode()) sim_dev_add_fault(runner, NODE, f);
    };
    add(SIM_FAULT_CRC, 0x3001, 0, 0);
    add(SIM_FAULT_ACKSEQ, 0x3200, 1, 0);
    add(SIM_FAULT_ABORT, 0x3003, 0, 0x05040001);
    add(SIM_FAULT_SILENT, 0x3004, 1, 0);
    co::result_st res = co::run(
        port,
        [] {
            static uint8_t buf[2000];
            for (uint32_t i = 0; i < sizeof buf; i++) buf[i] = (uint8_t)i;
            struct {
                const char *name;
                uint16_t index;
                uint32_t len;
            } cases[] = {{"crc", 0x3001, 1}, {"ackseq", 0x3200, 0x200}, {"busy", 0x3003, 3}, {"silent", 0x3004, 4}};
            for (auto &c : cases) {
                kr_errors_e e = _kr_canopen_sdo_client_block_write(NODE, c.index, 1, c.len, buf);
                co::report("%s=%u:0x%08x", c.name, e, _kr_canopen_sdo_get_error_code());
            }
            co::report("after=%u", _kr_canopen_sdo_client_block_write(NODE, 0x3005, 1, 5, buf));
            return 0;
        },
        60000);
    ASSERT_EQ(res.status, 0) << res.text;
    EXPECT_EQ(res.get("crc"), "44:0x05030004");
    EXPECT_EQ(res.get("ackseq"), "44:0x05040003");
    EXPECT_EQ(res.get("busy"), "44:0x05040001");
    EXPECT_EQ(res.get("silent"), "44:0x05040000");
    EXPECT_EQ(res.get("after"), "0");
    std::vector<uint8_t> v;
    for (uint16_t idx : {0x3001, 0x3200, 0x3003, 0x3004}) {
        ASSERT_TRUE(sim_dev_get(runner, NODE, idx, 1, v));
        EXPECT_TRUE(v.empty()) << std::hex << idx;
    }
    ASSERT_TRUE(sim_dev_get(runner, NODE, 0x3005, 1, v));
    EXPECT_EQ(v, (std::vector<uint8_t>{0, 1, 2, 3, 4}));
    auto aborts = sim_dev_abort_log(runner, NODE);
    EXPECT_NE(std::find(aborts.begin(), aborts.end(), 0x05040003u), aborts.end());
    EXPECT_NE(std::find(aborts.begin(), aborts.end(), 0x05040000u), aborts.end());
}

// Reads and writes of the device's own objects through the helpers, and a store request.
TEST_F(SdoDevice, HelpersReadAndWriteTheDevice)
{
    sim_fault_st f;
    f.kind = SIM_FAULT_ABORT;
    f.index = 0x2FFF;
    f.code = 0x05040001;
    f.count = 2;
    if (!co::child_mode()) sim_dev_add_fault(runner, NODE, f);
    co::result_st res = co::run(port, [] {
        co::report("vendor=0x%x", kr_canopen_sdo_read32(NODE, 0x1018, 1));
        co::report("canif=%u", kr_canopen_sdo_read32(NODE, 0x2FFF, 0));
        char name[32] = {};
        kr_errors_e e = _kr_canopen_sdo_client_read(NODE, 0x5FFF, 0, sizeof name - 1, name);
        co::report("name=%u:%s:%u", e, name, _kr_canopen_sdo_client_get_obj_size());
        co::report("hb=%u", kr_canopen_sdo_write16(NODE, 0x1017, 0, 250));
        const char text[] = "service tool";
        co::report("wtext=%u", _kr_canopen_sdo_client_write(NODE, 0x3010, 1, sizeof text, text));
        co::report("store=%u", kr_canopen_sdo_store_params(NODE, MEMORY_ALL_PARAMS));
        e = kr_canopen_sdo_write8(NODE, 0x2555, 0, 1);
        co::report("missing=%u:0x%08x", e, _kr_canopen_sdo_get_error_code());
        return 0;
    });
    ASSERT_EQ(res.status, 0) << res.text;
    EXPECT_EQ(res.get("vendor"), "0x31d");
    EXPECT_EQ(res.get("canif"), "1");
    EXPECT_EQ(res.get("name"), "0:kr_simdev:9");
    EXPECT_EQ(res.get("hb"), "0");
    EXPECT_EQ(res.get("wtext"), "0");
    EXPECT_EQ(res.get("store"), "0");
    EXPECT_EQ(res.get("missing"), "44:0x06020000");
    EXPECT_EQ(sim_dev_get_u32(runner, NODE, 0x1017, 0), 250u);
    std::vector<uint8_t> v;
    ASSERT_TRUE(sim_dev_get_stored(runner, NODE, 0x3010, 1, v));
    EXPECT_EQ(std::string(v.begin(), v.end()), std::string("service tool", 13));
}
