// The simulated device, driven with raw frames as CiA 301 lays them out.
#include "sim_client.h"
#include "sim_device.h"
#include "sim_hub.h"
#include "sim_process.h"
#include "sim_setup.h"

#include <csignal>
#include <cstdio>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using bytes = std::vector<uint8_t>;
constexpr uint8_t NODE = 0x20;

sim_device_config_st quiet_device(uint8_t node = NODE)
{
    sim_device_config_st c;
    c.node_id = node;
    c.heartbeat_ms = 0;
    c.reset_delay_ms = 20;
    return c;
}

bytes data_of(const sim_frame_st &f)
{
    return bytes(f.data, f.data + f.len);
}

bytes le32(uint32_t v)
{
    return {(uint8_t)v, (uint8_t)(v >> 8), (uint8_t)(v >> 16), (uint8_t)(v >> 24)};
}

uint16_t crc16(const bytes &v)
{
    uint16_t crc = 0;
    for (uint8_t b : v) {
        crc ^= (uint16_t)(b << 8);
        for (int i = 0; i < 8; i++)
            crc = (crc & 0x8000) ? (uint16_t)(crc << 1 ^ 0x1021) : (uint16_t)(crc << 1);
    }
    return crc;
}

struct Bus {
    sim_setup_st setup;
    sim_hub_st *hub = nullptr;
    sim_runner_st *run = nullptr;
    sim_client_st c;

    explicit Bus(std::vector<sim_device_config_st> devs = {quiet_device()})
    {
        // The test's client joins first, so it sees the boot-ups.
        std::string err;
        EXPECT_TRUE(sim_setup_start(setup, {}, 0, err)) << err;
        hub = setup.hub;
        EXPECT_EQ(setup.channel, "socketcand://127.0.0.1:" + std::to_string(setup.port) + "/vcan0");
        EXPECT_TRUE(sim_client_connect(c, "127.0.0.1", setup.port, "vcan0")) << c.last_error;
        run = setup.devs = sim_runner_start(setup.port, "vcan0", devs, err);
        EXPECT_NE(run, nullptr) << err;
        // Boot-ups were sent before start returned.
        sim_frame_st f;
        for (size_t i = 0; i < devs.size(); i++) {
            if (devs[i].bootup) {
                EXPECT_TRUE(sim_client_recv(c, f, 10000));
            }
        }
    }
    ~Bus()
    {
        sim_client_close(c);
        sim_setup_stop(setup);
    }
    // The next frame with this id; false when none came in time.
    bool wait_id(uint32_t id, sim_frame_st &f, int timeout_ms = 10000)
    {
        int64_t end = sim_mono_ns() + (int64_t)timeout_ms * 1000000;
        while (sim_mono_ns() < end)
            if (sim_client_recv(c, f, (int)((end - sim_mono_ns()) / 1000000) + 1) && f.id == id)
                return true;
        return false;
    }
    // One SDO request to the node; its answer's 8 bytes, or empty when it did not answer.
    bytes ask(const bytes &req, uint8_t node = NODE, int timeout_ms = 10000)
    {
        bytes r = req;
        r.resize(8, 0);
        EXPECT_TRUE(sim_client_send(c, sim_frame_make(0x600u + node, r.data(), 8)));
        sim_frame_st f;
        return wait_id(0x580u + node, f, timeout_ms) ? data_of(f) : bytes{};
    }
    void nmt(uint8_t cmd, uint8_t node) { ASSERT_TRUE(sim_client_send(c, sim_frame_std(0, {cmd, node}))); }
};

bytes abort_frame(uint16_t index, uint8_t sub, uint32_t code)
{
    bytes b = {0x80, (uint8_t)index, (uint8_t)(index >> 8), sub};
    for (uint8_t x : le32(code))
        b.push_back(x);
    return b;
}

// Segmented download of `v` as a CiA client does it; the device's last answer.
bytes segmented_download(Bus &bus, uint16_t index, uint8_t sub, const bytes &v)
{
    bytes init = {0x21, (uint8_t)index, (uint8_t)(index >> 8), sub};
    for (uint8_t x : le32((uint32_t)v.size()))
        init.push_back(x);
    bytes r = bus.ask(init);
    if (r.empty() || r[0] != 0x60)
        return r;
    uint8_t t = 0;
    for (size_t pos = 0; pos < v.size() || pos == 0; t ^= 1) {
        size_t n = std::min<size_t>(7, v.size() - pos);
        bool last = pos + n >= v.size();
        bytes seg = {(uint8_t)(t << 4 | (7 - n) << 1 | (last ? 1 : 0))};
        seg.insert(seg.end(), v.begin() + (long)pos, v.begin() + (long)(pos + n));
        r = bus.ask(seg);
        pos += n;
        if (r.empty() || r[0] != (uint8_t)(0x20 | t << 4) || last)
            return r;
    }
    return r;
}

// Block download with CRC; returns every answer of the device and the frames sent.
struct block_result {
    std::vector<bytes> answers;
    std::vector<bytes> sent;
};
block_result block_download(Bus &bus, uint16_t index, uint8_t sub, const bytes &v, int crc_delta = 0,
                            uint8_t node = NODE)
{
    block_result res;
    bytes init = {0xC6, (uint8_t)index, (uint8_t)(index >> 8), sub};
    for (uint8_t x : le32((uint32_t)v.size()))
        init.push_back(x);
    bytes r = bus.ask(init, node);
    res.answers.push_back(r);
    if (r.empty() || r[0] != 0xA4)
        return res;
    uint8_t blksize = r[4];
    size_t pos = 0;
    while (pos < v.size()) {
        size_t block_start = pos;
        uint8_t seq = 0;
        sim_frame_st f;
        while (seq < blksize && pos < v.size()) {
            size_t n = std::min<size_t>(7, v.size() - pos);
            bool last = pos + n >= v.size();
            bytes seg = {(uint8_t)(++seq | (last ? 0x80 : 0))};
            seg.insert(seg.end(), v.begin() + (long)pos, v.begin() + (long)(pos + n));
            seg.resize(8, 0);
            res.sent.push_back(seg);
            EXPECT_TRUE(sim_client_send(bus.c, sim_frame_make(0x600u + node, seg.data(), 8)));
            pos += n;
        }
        if (!bus.wait_id(0x580u + node, f))
            return res;
        r = data_of(f);
        res.answers.push_back(r);
        if (r[0] != 0xA2)
            return res;
        // Go on after the last segment the device acknowledged.
        pos = std::min(v.size(), block_start + 7 * (size_t)r[1]);
        blksize = r[2];
    }
    size_t unused = (7 - v.size() % 7) % 7;
    uint16_t crc = (uint16_t)(crc16(v) + crc_delta);
    bytes end = {(uint8_t)(0xC1 | unused << 2), (uint8_t)crc, (uint8_t)(crc >> 8)};
    res.sent.push_back(end);
    res.answers.push_back(bus.ask(end, node));
    return res;
}

bytes value_of(Bus &bus, uint16_t index, uint8_t sub, uint8_t node = NODE)
{
    bytes v;
    EXPECT_TRUE(sim_dev_get(bus.run, node, index, sub, v));
    return v;
}

bytes pattern(size_t n)
{
    bytes v(n);
    for (size_t i = 0; i < n; i++)
        v[i] = (uint8_t)(i * 31 + 7);
    return v;
}

const char *DICT = "# test objects\n"
                   "0x2000 0 u32 rw 0x11223344\n"
                   "0x2001 0 str rw \"abc\" \"stored\"\n"
                   "0x2002 0 domain rw hex:0102 max=64\n"
                   "0x2003 0 i16 ro -2\n"
                   "0x2004 1 u8 wo 7\n";

std::string write_dict()
{
    char path[] = "/tmp/kr_simdict_XXXXXX";
    int fd = mkstemp(path);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(write(fd, DICT, strlen(DICT)), (ssize_t)strlen(DICT));
    close(fd);
    return path;
}

} // namespace

TEST(SimDevice, DictionaryFile)
{
    std::map<uint32_t, sim_object_st> od;
    std::string err;
    ASSERT_TRUE(sim_dict_parse(DICT, od, err)) << err;
    EXPECT_EQ(od[sim_key(0x2000, 0)].value, (bytes{0x44, 0x33, 0x22, 0x11}));
    EXPECT_EQ(od[sim_key(0x2001, 0)].value, (bytes{'a', 'b', 'c'}));
    EXPECT_EQ(od[sim_key(0x2001, 0)].stored, (bytes{'s', 't', 'o', 'r', 'e', 'd'}));
    EXPECT_EQ(od[sim_key(0x2002, 0)].max_size, 64u);
    EXPECT_EQ(od[sim_key(0x2003, 0)].value, (bytes{0xFE, 0xFF}));
    for (const char *bad :
         {"0x2000 0 u8 rw 256", "0x2000 0 u32 rx 1", "0x10000 0 u8 rw 1", "0x2000 0 f32 rw 1", "0x2000 0 str rw \"open",
          "0x2000 0 str rw abc", "0x2000 0 u8 rw", "0x2000 0 domain rw hex:0G"})
        EXPECT_FALSE(sim_dict_parse(bad, od, err)) << bad;
    EXPECT_FALSE(sim_dict_load("/nonexistent/dict.txt", od, err));

    sim_fault_st f;
    uint8_t node;
    ASSERT_TRUE(sim_fault_parse("busy:count=3,node=0x21,index=0x1018,sub=1,dir=up", f, node, err)) << err;
    EXPECT_EQ(f.code, 0x05040001u);
    EXPECT_EQ(f.count, 3);
    EXPECT_EQ(node, 0x21);
    EXPECT_EQ(f.index, 0x1018);
    EXPECT_EQ(f.dir, SIM_DIR_UPLOAD);
    for (const char *bad : {"explode", "busy:count=x", "abort:node=200", "silent:colour=red"})
        EXPECT_FALSE(sim_fault_parse(bad, f, node, err)) << bad;
}

TEST(SimDevice, UploadsExpeditedAndSegmented)
{
    sim_device_config_st c = quiet_device();
    c.product = 0x1234;
    sim_device_config_st nosize = quiet_device(0x21);
    nosize.expedited_size = false;
    nosize.bootup = false;
    Bus bus({c, nosize});
    EXPECT_EQ(bus.ask({0x40, 0x18, 0x10, 1}), (bytes{0x43, 0x18, 0x10, 1, 0x1D, 0x03, 0, 0}));
    EXPECT_EQ(bus.ask({0x40, 0x18, 0x10, 2}), (bytes{0x43, 0x18, 0x10, 2, 0x34, 0x12, 0, 0}));
    EXPECT_EQ(bus.ask({0x40, 0x18, 0x10, 0}), (bytes{0x4F, 0x18, 0x10, 0, 3, 0, 0, 0}));
    EXPECT_EQ(bus.ask({0x40, 0x17, 0x10, 0}), (bytes{0x4B, 0x17, 0x10, 0, 0, 0, 0, 0}));
    // Without size indication: 4 bytes, whatever the object's size.
    EXPECT_EQ(bus.ask({0x40, 0x17, 0x10, 0}, 0x21), (bytes{0x42, 0x17, 0x10, 0, 0, 0, 0, 0}));

    // "kr_simdev" is 9 bytes: announced, then 7 bytes and a last segment of 2.
    EXPECT_EQ(bus.ask({0x40, 0xFF, 0x5F, 0}), (bytes{0x41, 0xFF, 0x5F, 0, 9, 0, 0, 0}));
    EXPECT_EQ(bus.ask({0x60}), (bytes{0x00, 'k', 'r', '_', 's', 'i', 'm', 'd'}));
    EXPECT_EQ(bus.ask({0x70}), (bytes{0x1B, 'e', 'v', 0, 0, 0, 0, 0}));
    // Without size indication the segmented answer announces none either.
    EXPECT_EQ(bus.ask({0x40, 0xFF, 0x5F, 0}, 0x21), (bytes{0x40, 0xFF, 0x5F, 0, 0, 0, 0, 0}));
    EXPECT_EQ(bus.ask({0x60}, 0x21), (bytes{0x00, 'k', 'r', '_', 's', 'i', 'm', 'd'}));
    EXPECT_EQ(bus.ask({0x70}, 0x21), (bytes{0x1B, 'e', 'v', 0, 0, 0, 0, 0}));
    // A repeated toggle is refused.
    EXPECT_EQ(bus.ask({0x40, 0xFF, 0x5F, 0})[0], 0x41);
    EXPECT_EQ(bus.ask({0x70}), abort_frame(0x5FFF, 0, 0x05030000));
    // Segment request with no transfer running.
    EXPECT_EQ(bus.ask({0x60, 0xFF, 0x5F})[0], 0x80);

    EXPECT_EQ(bus.ask({0x40, 0x34, 0x12, 0}), abort_frame(0x1234, 0, 0x06020000));
    EXPECT_EQ(bus.ask({0x40, 0x18, 0x10, 9}), abort_frame(0x1018, 9, 0x06090011));
    EXPECT_EQ(bus.ask({0x23, 0x18, 0x10, 1, 1, 2, 3, 4}), abort_frame(0x1018, 1, 0x06010002));
    EXPECT_EQ(bus.ask({0xA4, 0x18, 0x10, 1, 10}), abort_frame(0x1018, 1, 0x05040001)); // block upload

    // An empty value: announced as 0 bytes, then one last segment that carries none.
    ASSERT_TRUE(sim_dev_set(bus.run, NODE, 0x5FFF, 0, {}));
    EXPECT_EQ(bus.ask({0x40, 0xFF, 0x5F, 0}), (bytes{0x41, 0xFF, 0x5F, 0, 0, 0, 0, 0}));
    EXPECT_EQ(bus.ask({0x60}), (bytes{0x0F, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(SimDevice, DownloadsExpeditedAndSegmented)
{
    sim_device_config_st c = quiet_device();
    c.dict_file = write_dict();
    Bus bus({c});
    unlink(c.dict_file.c_str());
    EXPECT_EQ(bus.ask({0x23, 0x00, 0x20, 0, 0xDE, 0xAD, 0xBE, 0xEF}), (bytes{0x60, 0x00, 0x20, 0, 0, 0, 0, 0}));
    EXPECT_EQ(value_of(bus, 0x2000, 0), (bytes{0xDE, 0xAD, 0xBE, 0xEF}));
    EXPECT_EQ(sim_dev_get_u32(bus.run, NODE, 0x2000, 0), 0xEFBEADDEu);
    // Wrong length for a 32-bit object, short or long; the value stays.
    EXPECT_EQ(bus.ask({0x2B, 0x00, 0x20, 0, 1, 2}), abort_frame(0x2000, 0, 0x06070013));
    EXPECT_EQ(bus.ask({0x21, 0x00, 0x20, 0, 5, 0, 0, 0}), abort_frame(0x2000, 0, 0x06070012));
    EXPECT_EQ(value_of(bus, 0x2000, 0), (bytes{0xDE, 0xAD, 0xBE, 0xEF}));
    EXPECT_EQ(bus.ask({0x2F, 0x04, 0x20, 1, 9}), (bytes{0x60, 0x04, 0x20, 1, 0, 0, 0, 0}));
    EXPECT_EQ(bus.ask({0x40, 0x04, 0x20, 1}), abort_frame(0x2004, 1, 0x06010001)); // write-only

    // 7 bytes: one segment 0x01. 8 bytes: 0x00 then 0x1D.
    EXPECT_EQ(segmented_download(bus, 0x2001, 0, pattern(7)), (bytes{0x20, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(value_of(bus, 0x2001, 0), pattern(7));
    EXPECT_EQ(segmented_download(bus, 0x2001, 0, pattern(8)), (bytes{0x30, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(value_of(bus, 0x2001, 0), pattern(8));
    EXPECT_EQ(segmented_download(bus, 0x2001, 0, pattern(1000))[0], 0x20);
    EXPECT_EQ(value_of(bus, 0x2001, 0), pattern(1000));

    // A wrong toggle aborts and leaves the old value.
    EXPECT_EQ(bus.ask({0x21, 0x01, 0x20, 0, 14, 0, 0, 0})[0], 0x60);
    EXPECT_EQ(bus.ask({0x00, 1, 2, 3, 4, 5, 6, 7}), (bytes{0x20, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(bus.ask({0x00, 1, 2, 3, 4, 5, 6, 7}), abort_frame(0x2001, 0, 0x05030000));
    EXPECT_EQ(value_of(bus, 0x2001, 0), pattern(1000));
    // More than the object holds, announced or not.
    EXPECT_EQ(bus.ask({0x21, 0x02, 0x20, 0, 65, 0, 0, 0}), abort_frame(0x2002, 0, 0x06070012));
    EXPECT_EQ(segmented_download(bus, 0x2002, 0, pattern(64))[0], 0x30); // 10 segments: the last has toggle 1
    // Fewer bytes than announced.
    EXPECT_EQ(bus.ask({0x21, 0x02, 0x20, 0, 9, 0, 0, 0})[0], 0x60);
    EXPECT_EQ(bus.ask({0x05, 1, 2, 3, 4, 5, 0, 0}), abort_frame(0x2002, 0, 0x06070010));
    EXPECT_EQ(value_of(bus, 0x2002, 0), pattern(64));
    auto log = sim_dev_write_log(bus.run, NODE);
    ASSERT_GE(log.size(), 6u);
    EXPECT_EQ(log[0].index, 0x2000);
    EXPECT_EQ(log[0].how, 'e');
    EXPECT_EQ(log.back().size, 64u);
    EXPECT_EQ(log.back().how, 's');
}

TEST(SimDevice, BlockDownloadWithCrc)
{
    sim_device_config_st c = quiet_device(), big = quiet_device(0x21);
    c.block_size = 4;
    c.dict_file = big.dict_file = write_dict();
    big.bootup = false;
    Bus bus({c, big});
    unlink(c.dict_file.c_str());
    // 1 MiB in blocks of 127 segments, byte-identical.
    bytes mib = pattern(1 << 20);
    block_result rb = block_download(bus, 0x2001, 0, mib, 0, 0x21);
    EXPECT_EQ(rb.answers.back(), (bytes{0xA1, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(rb.answers.size(), 2 + ((1u << 20) + 127 * 7 - 1) / (127 * 7));
    EXPECT_TRUE(value_of(bus, 0x2001, 0, 0x21) == mib);

    // 14 bytes end with 0xC1, 15 with 0xD9 (6 bytes without data).
    block_result r14 = block_download(bus, 0x2001, 0, pattern(14));
    EXPECT_EQ(r14.answers.front(), (bytes{0xA4, 0x01, 0x20, 0, 4, 0, 0, 0}));
    EXPECT_EQ(r14.answers.back(), (bytes{0xA1, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(r14.sent.back()[0], 0xC1);
    EXPECT_EQ(value_of(bus, 0x2001, 0), pattern(14));
    block_result r15 = block_download(bus, 0x2001, 0, pattern(15));
    EXPECT_EQ(r15.sent.back()[0], 0xD9);
    EXPECT_EQ(r15.answers.back()[0], 0xA1);
    EXPECT_EQ(value_of(bus, 0x2001, 0), pattern(15));
    // Several blocks of 4 segments; every acknowledgement names its last segment.
    for (size_t n : {1u, 6u, 7u, 27u, 28u, 29u, 400u, 4000u}) {
        block_result r = block_download(bus, 0x2001, 0, pattern(n));
        ASSERT_EQ(r.answers.back(), (bytes{0xA1, 0, 0, 0, 0, 0, 0, 0})) << n << " bytes";
        EXPECT_EQ(value_of(bus, 0x2001, 0), pattern(n)) << n << " bytes";
        EXPECT_EQ(r.answers.size(), 2 + (n + 27) / 28) << n << " bytes";
        for (size_t i = 1; i + 1 < r.answers.size(); i++)
            EXPECT_EQ(r.answers[i][1], i + 2 < r.answers.size() ? 4 : ((n + 6) / 7 - 1) % 4 + 1);
    }
    // A wrong CRC is refused and the old value stays.
    EXPECT_EQ(block_download(bus, 0x2001, 0, pattern(20), 1).answers.back(), abort_frame(0x2001, 0, 0x05030004));
    EXPECT_EQ(value_of(bus, 0x2001, 0), pattern(4000));

    // A segment out of sequence: the acknowledgement names the last one in order.
    ASSERT_EQ(bus.ask({0xC6, 0x01, 0x20, 0, 21, 0, 0, 0})[0], 0xA4);
    bytes v = pattern(21);
    ASSERT_TRUE(
        sim_client_send(bus.c, sim_frame_make(0x620, bytes{0x01, v[0], v[1], v[2], v[3], v[4], v[5], v[6]}.data(), 8)));
    ASSERT_TRUE(sim_client_send(bus.c, sim_frame_make(0x620, bytes{0x83, 0, 0, 0, 0, 0, 0, 0}.data(), 8)));
    sim_frame_st f;
    ASSERT_TRUE(bus.wait_id(0x5A0, f));
    EXPECT_EQ(data_of(f), (bytes{0xA2, 1, 4, 0, 0, 0, 0, 0}));
    ASSERT_TRUE(
        sim_client_send(bus.c,
                        sim_frame_make(0x620, bytes{0x01, v[7], v[8], v[9], v[10], v[11], v[12], v[13]}.data(), 8)));
    ASSERT_TRUE(
        sim_client_send(bus.c,
                        sim_frame_make(0x620, bytes{0x82, v[14], v[15], v[16], v[17], v[18], v[19], v[20]}.data(), 8)));
    ASSERT_TRUE(bus.wait_id(0x5A0, f));
    EXPECT_EQ(data_of(f), (bytes{0xA2, 2, 4, 0, 0, 0, 0, 0}));
    uint16_t crc = crc16(v);
    EXPECT_EQ(bus.ask({0xC1, (uint8_t)crc, (uint8_t)(crc >> 8)})[0], 0xA1);
    EXPECT_EQ(value_of(bus, 0x2001, 0), v);
}

TEST(SimDevice, StoreRestoreAndNmt)
{
    sim_device_config_st c = quiet_device();
    c.dict_file = write_dict();
    sim_device_config_st other = quiet_device(0x21);
    other.bootup = false;
    Bus bus({c, other});
    unlink(c.dict_file.c_str());
    // The file's stored value comes back on reset.
    bus.nmt(0x81, NODE);
    sim_frame_st f;
    ASSERT_TRUE(bus.wait_id(0x720, f, 10000));
    EXPECT_EQ(data_of(f), bytes{0});
    EXPECT_EQ(value_of(bus, 0x2001, 0), (bytes{'s', 't', 'o', 'r', 'e', 'd'}));

    // save, change, reset: the saved value.
    ASSERT_EQ(bus.ask({0x23, 0x00, 0x20, 0, 1, 0, 0, 0})[0], 0x60);
    EXPECT_EQ(bus.ask({0x23, 0x10, 0x10, 1, 's', 'a', 'v', 'e'}), (bytes{0x60, 0x10, 0x10, 1, 0, 0, 0, 0}));
    EXPECT_EQ(bus.ask({0x23, 0x10, 0x10, 1, 'e', 'v', 'a', 's'}), abort_frame(0x1010, 1, 0x08000020));
    ASSERT_EQ(bus.ask({0x23, 0x00, 0x20, 0, 2, 0, 0, 0})[0], 0x60);
    bytes stored;
    ASSERT_TRUE(sim_dev_get_stored(bus.run, NODE, 0x2000, 0, stored));
    EXPECT_EQ(stored, le32(1));
    bus.nmt(0x81, 0); // all nodes
    ASSERT_TRUE(bus.wait_id(0x720, f, 10000));
    EXPECT_EQ(sim_dev_get_u32(bus.run, NODE, 0x2000, 0), 1u);
    EXPECT_EQ(sim_dev_nmt_state(bus.run, NODE), 127);
    EXPECT_EQ(sim_dev_bootups(bus.run, NODE), 3u);
    EXPECT_EQ(sim_dev_bootups(bus.run, 0x21), 1u) << "node 0x21 takes the all-nodes reset too";

    // load: factory values are stored, and take effect at the next reset.
    EXPECT_EQ(bus.ask({0x23, 0x11, 0x10, 1, 'l', 'o', 'a', 'd'})[0], 0x60);
    EXPECT_EQ(sim_dev_get_u32(bus.run, NODE, 0x2000, 0), 1u);
    bus.nmt(0x81, NODE);
    ASSERT_TRUE(bus.wait_id(0x720, f, 10000));
    EXPECT_EQ(sim_dev_get_u32(bus.run, NODE, 0x2000, 0), 0x11223344u);
    EXPECT_EQ(value_of(bus, 0x2001, 0), (bytes{'a', 'b', 'c'}));

    // Reset communication brings back communication objects only.
    ASSERT_EQ(bus.ask({0x2B, 0x17, 0x10, 0, 0x00, 0x10})[0], 0x60); // heartbeat 4096 ms, not stored
    ASSERT_EQ(bus.ask({0x23, 0x00, 0x20, 0, 5, 0, 0, 0})[0], 0x60);
    bus.nmt(0x82, NODE);
    ASSERT_TRUE(bus.wait_id(0x720, f, 10000));
    EXPECT_EQ(sim_dev_get_u32(bus.run, NODE, 0x1017, 0), 0u);
    EXPECT_EQ(sim_dev_get_u32(bus.run, NODE, 0x2000, 0), 5u);

    // Stopped: no SDO answers; start and pre-operational bring them back. Other nodes' commands
    // and unknown commands change nothing.
    bus.nmt(0x02, NODE);
    EXPECT_TRUE(bus.ask({0x40, 0x18, 0x10, 1}, NODE, 200).empty());
    EXPECT_EQ(sim_dev_nmt_state(bus.run, NODE), 4);
    bus.nmt(0x01, 0x21);
    bus.nmt(0x77, NODE);
    EXPECT_TRUE(bus.ask({0x40, 0x18, 0x10, 1}, NODE, 200).empty());
    bus.nmt(0x01, NODE);
    EXPECT_EQ(bus.ask({0x40, 0x18, 0x10, 1})[0], 0x43);
    EXPECT_EQ(sim_dev_nmt_state(bus.run, NODE), 5);
    EXPECT_EQ(sim_dev_nmt_state(bus.run, 0x21), 5);
    bus.nmt(0x80, NODE);
    EXPECT_EQ(bus.ask({0x40, 0x18, 0x10, 1})[0], 0x43);
    EXPECT_EQ(sim_dev_nmt_state(bus.run, NODE), 127);
    EXPECT_EQ(sim_dev_nmt_log(bus.run, NODE), (bytes{0x81, 0x81, 0x81, 0x82, 0x02, 0x01, 0x80}));

    // The dump holds the same state.
    std::string dump = sim_runner_dump(bus.run);
    bytes v;
    ASSERT_TRUE(sim_dump_value(dump, NODE, 0x2000, 0, v));
    EXPECT_EQ(v, le32(5));
    ASSERT_TRUE(sim_dump_value(dump, NODE, 0x2001, 0, v, true));
    EXPECT_EQ(v, (bytes{'a', 'b', 'c'}));
    EXPECT_NE(dump.find("node 32 state 127 bootups 5\n"), std::string::npos) << dump;
    EXPECT_NE(dump.find("write 32 0x1010 1 4 e\n"), std::string::npos) << dump;
}

TEST(SimDevice, HeartbeatEmcyAndRawFrames)
{
    sim_device_config_st c = quiet_device();
    c.heartbeat_ms = 40;
    Bus bus({c});
    sim_tap_st *tap = nullptr;
    std::string err;
    tap = sim_tap_start(sim_hub_port(bus.hub), "vcan0", err);
    ASSERT_NE(tap, nullptr) << err;
    auto heartbeats_in = [](const std::vector<sim_frame_st> &frames) {
        std::vector<int64_t> t;
        for (auto &f : frames)
            if (f.id == 0x720 && f.len == 1 && f.data[0] == 127)
                t.push_back(f.rx_ns);
        return t;
    };
    auto heartbeats = [&] { return heartbeats_in(sim_tap_frames(tap)); };
    ASSERT_TRUE(sim_tap_wait(
        tap, [&](const std::vector<sim_frame_st> &fr) { return heartbeats_in(fr).size() >= 8; }, 30000));
    // The period holds on average, even when a loaded machine delays one.
    std::vector<int64_t> t = heartbeats();
    // (A heavily loaded machine delays some, the first one's delay shortening the span, a
    // delay past the next one's time restarting the period.)
    ASSERT_GE(t.size(), 4u);
    EXPECT_LE(t.size(), 12u);
    double mean_ms = (double)(t.back() - t.front()) / 1e6 / (double)(t.size() - 1);
    EXPECT_GE(mean_ms, 28.0);
    EXPECT_LE(mean_ms, 70.0);
    // Writing 0x1017 = 0 stops them.
    ASSERT_EQ(bus.ask({0x2B, 0x17, 0x10, 0, 0, 0})[0], 0x60);
    // One sent before the answer may still be on its way to the tap.
    ASSERT_TRUE(sim_hub_sync(bus.hub, 30000));
    ASSERT_TRUE(sim_tap_sync(tap, 30000));
    size_t before = heartbeats().size();
    usleep(200 * 1000);
    EXPECT_EQ(heartbeats().size(), before);

    sim_tap_clear(tap);
    ASSERT_TRUE(sim_dev_send_emcy(bus.run, NODE, 0x8130, 0x04030201));
    ASSERT_TRUE(sim_dev_send_heartbeat(bus.run, NODE));
    ASSERT_TRUE(sim_dev_send_raw(bus.run, NODE, sim_frame_ext(0x15560020, {'h', 'i'})));
    ASSERT_TRUE(sim_tap_wait_count(tap, 3, 10000));
    auto frames = sim_tap_frames(tap);
    EXPECT_TRUE(sim_frame_same(frames[0], sim_frame_std(0xA0, {1, 2, 3, 4, 0, 0, 0x30, 0x81})));
    EXPECT_TRUE(sim_frame_same(frames[1], sim_frame_std(0x720, {127})));
    EXPECT_TRUE(sim_frame_same(frames[2], sim_frame_ext(0x15560020, {'h', 'i'})));
    sim_tap_stop(tap);
}

TEST(SimDevice, Faults)
{
    sim_device_config_st c = quiet_device();
    c.block_size = 4;
    c.dict_file = write_dict();
    Bus bus({c});
    unlink(c.dict_file.c_str());
    sim_fault_st f;
    uint8_t node;
    std::string err;
    auto add = [&](const char *spec) {
        ASSERT_TRUE(sim_fault_parse(spec, f, node, err)) << err;
        sim_dev_add_fault(bus.run, node, f);
    };
    // Busy twice, then the answer.
    add("busy:count=2,index=0x1018");
    EXPECT_EQ(bus.ask({0x40, 0x18, 0x10, 1}), abort_frame(0x1018, 1, 0x05040001));
    EXPECT_EQ(bus.ask({0x40, 0x18, 0x10, 1}), abort_frame(0x1018, 1, 0x05040001));
    EXPECT_EQ(bus.ask({0x40, 0x18, 0x10, 1})[0], 0x43);
    // Abort before initiation with a chosen code, only for downloads.
    add("abort:code=0x06090030,dir=down");
    EXPECT_EQ(bus.ask({0x40, 0x00, 0x20, 0})[0], 0x43);
    EXPECT_EQ(bus.ask({0x23, 0x00, 0x20, 0, 1, 2, 3, 4}), abort_frame(0x2000, 0, 0x06090030));
    EXPECT_EQ(sim_dev_get_u32(bus.run, NODE, 0x2000, 0), 0x11223344u);
    // Abort after initiation: at the second segment of a download; nothing is written.
    add("abort:stage=2,code=0x08000021");
    EXPECT_EQ(segmented_download(bus, 0x2001, 0, pattern(20)), abort_frame(0x2001, 0, 0x08000021));
    EXPECT_EQ(value_of(bus, 0x2001, 0), (bytes{'a', 'b', 'c'}));
    // Silent once: no answer, then answers again.
    add("silent:index=0x1018,sub=2");
    EXPECT_TRUE(bus.ask({0x40, 0x18, 0x10, 2}, NODE, 300).empty());
    EXPECT_EQ(bus.ask({0x40, 0x18, 0x10, 2})[0], 0x43);
    // Wrong toggle in the first upload segment.
    add("toggle:stage=1,dir=up");
    EXPECT_EQ(bus.ask({0x40, 0xFF, 0x5F, 0})[0], 0x41);
    EXPECT_EQ(bus.ask({0x60})[0], 0x10);
    // Wrong toggle in a download's segment reply.
    add("toggle:stage=1,dir=down");
    EXPECT_EQ(segmented_download(bus, 0x2001, 0, pattern(3)), (bytes{0x30, 0, 0, 0, 0, 0, 0, 0}));
    // CRC refused although right; the value stays.
    add("crc");
    EXPECT_EQ(block_download(bus, 0x2001, 0, pattern(30)).answers.back(), abort_frame(0x2001, 0, 0x05030004));
    EXPECT_NE(value_of(bus, 0x2001, 0), pattern(30));
    // The first block's acknowledgement one short: the client sends that segment again, and the
    // data lands whole.
    add("ackseq:stage=1");
    block_result r = block_download(bus, 0x2001, 0, pattern(60));
    ASSERT_GE(r.answers.size(), 3u);
    EXPECT_EQ(r.answers[1], (bytes{0xA2, 3, 4, 0, 0, 0, 0, 0}));
    EXPECT_EQ(r.answers.back()[0], 0xA1);
    EXPECT_EQ(value_of(bus, 0x2001, 0), pattern(60));
    // Silent forever on one object, as a device whose heartbeat runs but SDO is dead.
    add("silent:count=-1,index=0x1018");
    for (int i = 0; i < 3; i++)
        EXPECT_TRUE(bus.ask({0x40, 0x18, 0x10, 1}, NODE, 100).empty());
    // Client aborts are logged.
    ASSERT_TRUE(sim_client_send(bus.c, sim_frame_make(0x620, abort_frame(0x1018, 1, 0x05040000).data(), 8)));
    EXPECT_EQ(bus.ask({0x40, 0x00, 0x20, 0})[0], 0x43);
    EXPECT_EQ(sim_dev_abort_log(bus.run, NODE), std::vector<uint32_t>{0x05040000});
}

// The program: options, "ready", SDO through the hub, commands, and the dump at exit.
TEST(SimDevice, ProgramEndToEnd)
{
    sim_proc_st hub;
    unsigned port;
    std::string err;
    ASSERT_TRUE(sim_hub_proc_start(hub, KR_BIN_DIR, 0, port, err)) << err;
    std::string dict = write_dict(), dump = dict + ".dump";
    sim_proc_st dev;
    ASSERT_TRUE(sim_simdev_proc_start(dev, KR_BIN_DIR, port,
                                      {"--node", "0x20,0x21", "--dict", dict, "--heartbeat", "0", "--vendor", "0x42",
                                       "--fault", "busy:node=0x21,count=1", "--dump", dump},
                                      err))
        << err;
    std::string line;
    sim_client_st c;
    ASSERT_TRUE(sim_client_connect(c, "127.0.0.1", (uint16_t)port, "vcan0")) << c.last_error;
    auto ask = [&](uint8_t node, bytes req) {
        req.resize(8, 0);
        EXPECT_TRUE(sim_client_send(c, sim_frame_make(0x600u + node, req.data(), 8)));
        sim_frame_st f;
        while (sim_client_recv(c, f, 10000))
            if (f.id == 0x580u + node)
                return data_of(f);
        return bytes{};
    };
    EXPECT_EQ(ask(0x20, {0x40, 0x18, 0x10, 1}), (bytes{0x43, 0x18, 0x10, 1, 0x42, 0, 0, 0}));
    EXPECT_EQ(ask(0x21, {0x40, 0x18, 0x10, 1}), abort_frame(0x1018, 1, 0x05040001));
    EXPECT_EQ(ask(0x21, {0x23, 0x00, 0x20, 0, 9, 9, 9, 9})[0], 0x60);
    EXPECT_EQ(ask(0x20, {0x40, 0x03, 0x20, 0}), (bytes{0x4B, 0x03, 0x20, 0, 0xFE, 0xFF, 0, 0}));

    // Commands on standard input: a raw frame, an EMCY, a dump, and a malformed one refused.
    ASSERT_TRUE(sim_proc_write(dev, "raw 0x20 0x123 01 02\nemcy 0x21 0x1000 5\nfrobnicate\ndump\n"));
    sim_frame_st f;
    ASSERT_TRUE(sim_client_recv(c, f, 10000));
    EXPECT_TRUE(sim_frame_same(f, sim_frame_std(0x123, {1, 2})));
    ASSERT_TRUE(sim_client_recv(c, f, 10000));
    EXPECT_TRUE(sim_frame_same(f, sim_frame_std(0xA1, {5, 0, 0, 0, 0, 0, 0, 0x10})));
    for (const char *want : {"ok", "ok", "error unknown", "ok"}) {
        ASSERT_TRUE(sim_proc_read_line(dev, line, 10000));
        EXPECT_EQ(line.rfind(want, 0), 0u) << line;
    }
    ASSERT_EQ(access(dump.c_str(), F_OK), 0);
    ASSERT_EQ(ask(0x20, {0x23, 0x00, 0x20, 0, 7, 7, 7, 7})[0], 0x60);
    int st = sim_proc_stop(dev, SIGTERM);
    ASSERT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), 0);
    std::ifstream df(dump);
    std::string text((std::istreambuf_iterator<char>(df)), std::istreambuf_iterator<char>());
    bytes v;
    ASSERT_TRUE(sim_dump_value(text, 0x21, 0x2000, 0, v)) << text;
    EXPECT_EQ(v, (bytes{9, 9, 9, 9}));
    ASSERT_TRUE(sim_dump_value(text, 0x20, 0x2000, 0, v));
    EXPECT_EQ(v, le32(0x07070707)) << "the exit dump is taken at exit";
    EXPECT_NE(text.find("write 33 0x2000 0 4 e\n"), std::string::npos);
    unlink(dict.c_str());
    unlink(dump.c_str());
    sim_proc_stop(hub, SIGTERM);

    // Bad options end with an error status.
    sim_proc_st bad;
    ASSERT_TRUE(sim_proc_spawn(bad, {std::string(KR_BIN_DIR) + "/kr_simdev", "--port", "1", "--fault", "nope"}, err));
    st = sim_proc_wait(bad, 5000);
    ASSERT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), 2);
}
