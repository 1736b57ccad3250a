// The library's SDO server (in the node program kr_sdonode, the library built with the server on)
// against three clients: krcan's SDO commands, the library's own client, and the independent client
// of tests/sim. Each test checks what the node's dictionary holds afterwards, its canaries and its
// write callbacks, not only what the client saw.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <filesystem>
#include <map>

#include "e2e/e2e.h"
#include "hal/canopen_harness.h"
#include "sim/sim_process.h"
#include "sim/sim_sdo_client.h"

namespace {

using bytes = std::vector<uint8_t>;
constexpr uint8_t NODE = 0x22;

std::string hex(const bytes &b)
{
    static const char d[] = "0123456789abcdef";
    std::string s;
    for (uint8_t x : b) s += d[x >> 4], s += d[x & 15];
    return s;
}

bytes unhex(const std::string &s)
{
    bytes b;
    for (size_t i = 0; i + 1 < s.size(); i += 2) b.push_back((uint8_t)std::stoul(s.substr(i, 2), nullptr, 16));
    return b;
}

// Text-like data without zero bytes, different for each seed.
bytes pattern(size_t n, unsigned seed)
{
    bytes b(n);
    for (size_t i = 0; i < n; i++) b[i] = (uint8_t)(1 + (i * 7 + seed * 13) % 255);
    return b;
}

struct dump_st {
    std::map<uint16_t, bytes> obj;
    bool canaries_ok = false;
};

class SdoServer : public co::bus_test {
protected:
    sim_proc_st node;
    std::filesystem::path dir;
    std::vector<std::string> writes; // "0x2007 0" per write callback, in order
    sim_client_st cli;

    void SetUp() override
    {
        co::bus_test::SetUp();
        if (co::child_mode()) return;
        char tmpl[] = "/tmp/krcan_sdonode_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        std::string err;
        ASSERT_TRUE(sim_proc_spawn(node,
                                   {KR_BIN_DIR "/kr_sdonode", "--port", std::to_string(port), "--node", "0x22",
                                    "--nonvol", (dir / "nv").string()},
                                   err))
            << err;
        std::string line;
        ASSERT_TRUE(sim_proc_read_line(node, line, 10000));
        ASSERT_EQ(line, "ready");
        ASSERT_TRUE(sim_client_connect(cli, "127.0.0.1", port, "vcan0"));
    }
    void TearDown() override
    {
        if (!co::child_mode()) {
            sim_client_close(cli);
            if (node.pid > 0) sim_proc_stop(node, SIGTERM);
            std::error_code ec;
            if (!dir.empty()) std::filesystem::remove_all(dir, ec);
        }
        co::bus_test::TearDown();
    }

    // The node's dictionary now; write callbacks printed before it are collected on the way.
    dump_st dump()
    {
        dump_st d;
        EXPECT_TRUE(sim_proc_write(node, "dump\n"));
        std::string line;
        while (sim_proc_read_line(node, line, 10000) && line != "end") {
            if (line.rfind("obj ", 0) == 0)
                d.obj[(uint16_t)std::stoul(line.substr(4, 6), nullptr, 16)] = unhex(line.substr(11));
            else if (line.rfind("write ", 0) == 0)
                writes.push_back(line.substr(6));
            else if (line == "canaries ok")
                d.canaries_ok = true;
            else if (line.rfind("canar", 0) == 0)
                ADD_FAILURE() << line;
        }
        EXPECT_EQ(line, "end");
        return d;
    }
    e2e::result krcan(std::vector<std::string> args)
    {
        args.insert(args.begin(),
                    {"--can", "socketcand://127.0.0.1:" + std::to_string(port) + "/vcan0", "--nodeid", "0x22"});
        e2e::options o;
        o.timeout_ms = 60000;
        return box.krcan(args, o);
    }
    sim_sdo_result_st down(uint16_t index, uint8_t sub, const bytes &data, sim_sdo_mode_e mode,
                           const sim_sdo_fault_st &f = {})
    {
        sim_sdo_drain(cli);
        return sim_sdo_download(cli, NODE, index, sub, data, mode, f);
    }
    sim_sdo_result_st up(uint16_t index, uint8_t sub, sim_sdo_mode_e mode, uint8_t blksize = 127,
                         const sim_sdo_fault_st &f = {})
    {
        sim_sdo_drain(cli);
        return sim_sdo_upload(cli, NODE, index, sub, mode, blksize, f);
    }

    e2e::sandbox box;
};

} // namespace

// krcan's commands read and write each kind of object; refusals come with their codes and fail the
// run; each completed write calls back once; nothing is written past an object's storage.
TEST_F(SdoServer, KrcanReadsAndWritesEveryKindAndGetsRefusals)
{
    // The tool queues at most 5 jobs a run.
    const std::vector<std::pair<std::vector<std::string>, std::string>> runs = {
        {{"--mindex", "0x2000", "--sdoread", "--mindex", "0x2001", "--sdoread", "--mindex", "0x2002", "--sdoread",
          "--mindex", "0x2003", "--sindex", "3", "--sdoread", "--mindex", "0x2004", "--sindex", "2", "--sdoread"},
         "0x12\n0x3456\n0x789abcde\n0x3\n0x2222\n"},
        {{"--mindex",     "0x2005",   "--sindex", "0",         "--sdoread", "--mindex",   "0x2006",
          "--sdoreadstr", "--mindex", "0x2008",   "--sdoread", "--mindex",  "0x2000",     "--sdowrite",
          "0x7F",         "--mindex", "0x2001",   "--datalen", "2",         "--sdowrite", "0x1234"},
         "0x4\nhello\n0xcafef00d\n"},
        {{"--mindex",   "0x2002", "--sdowrite", "0x11223344", "--mindex",      "0x2004",
          "--sindex",   "4",      "--sdowrite", "0xBEEF",     "--sindex",      "0",
          "--mindex",   "0x2009", "--sdowrite", "5",          "--mindex",      "0x200A",
          "--sdowrite", "9",      "--mindex",   "0x2006",     "--sdowritestr", "twenty-five characters ok"},
         "SDO write succesful\n"},
        {{"--mindex", "0x2006", "--sdoreadstr", "--mindex", "0x2004", "--sindex", "4", "--sdoread"},
         "twenty-five characters ok\n0xbeef\n"},
    };
    for (const auto &run : runs) {
        e2e::result r = krcan(run.first);
        ASSERT_TRUE(r.exited(0)) << r.out << r.err;
        EXPECT_NE(r.out.find(run.second), std::string::npos) << run.second << "\n" << r.out;
    }
    dump_st d = dump();
    EXPECT_TRUE(d.canaries_ok);
    EXPECT_EQ(hex(d.obj[0x2000]), "7f");
    EXPECT_EQ(hex(d.obj[0x2001]), "3412");
    EXPECT_EQ(hex(d.obj[0x2002]), "44332211");
    EXPECT_EQ(hex(d.obj[0x2003]), "0102030405060708");
    EXPECT_EQ(hex(d.obj[0x2004]), "111122223333efbe");
    EXPECT_EQ(hex(d.obj[0x2009]), "05000000");
    bytes text(d.obj[0x2006].begin(), d.obj[0x2006].begin() + 26);
    EXPECT_EQ(std::string(text.begin(), text.end() - 1), "twenty-five characters ok");
    EXPECT_EQ(text.back(), 0);
    EXPECT_EQ(writes, (std::vector<std::string>{"0x2000 0", "0x2001 0", "0x2002 0", "0x2004 4", "0x2009 0", "0x200a 0",
                                                "0x2006 0"}));

    // Refusals: read-only, write-only, missing, an array's size, text longer than the storage.
    writes.clear();
    e2e::result r = krcan({"--mindex", "0x2008",    "--sdowrite",    "1",
                           "--mindex", "0x2009",    "--sdoread",     "--mindex",
                           "0x2100",   "--sdoread", "--mindex",      "0x2003",
                           "--sindex", "0",         "--sdowrite",    "3",
                           "--mindex", "0x2006",    "--sdowritestr", "this text is longer than the thirty-two bytes"});
    EXPECT_TRUE(r.exited(1)) << r.out << r.err;
    std::string all = r.out + r.err;
    for (const char *code :
         {"0x6010002: ATTEMPT TO WRITE A READ ONLY OBJECT", "0x6010001: ATTEMPT TO READ A WRITE ONLY",
          "0x6020000: OBJECT DOES NOT EXIST", "0x6010000: UNSUPPORTED ACCESS", "0x5030005: OUT OF MEMORY"})
        EXPECT_NE(all.find(code), std::string::npos) << code << "\n" << all;
    d = dump();
    EXPECT_TRUE(d.canaries_ok);
    EXPECT_EQ(hex(d.obj[0x2008]), "0df0feca");
    EXPECT_EQ(hex(d.obj[0x2003]), "0102030405060708");
    EXPECT_TRUE(writes.empty());

    // The unsized 4-byte download of a value beyond a u8: refused, not cut to its low byte.
    r = krcan({"--mindex", "0x2000", "--sdowrite", "300", "--mindex", "0x2001", "--sdowrite", "0x10000"});
    EXPECT_TRUE(r.exited(1)) << r.out << r.err;
    EXPECT_EQ(e2e::count(r.out, "0x6070012: DATA TYPE DOES NOT MATCH, LENGTH TOO HIGH"), 2u) << r.out;
    d = dump();
    EXPECT_EQ(hex(d.obj[0x2000]), "7f");
    EXPECT_EQ(hex(d.obj[0x2001]), "3412");
    EXPECT_TRUE(writes.empty());
}

// The library's client: block downloads of many sizes (around block boundaries, up to 60,000
// bytes) into the 65,535-byte string, each read back by block upload and segmented upload.
TEST_F(SdoServer, LibraryClientBlockTransfersOfEverySize)
{
    static const uint32_t sizes[] = {1, 6, 7, 8, 14, 258, 259, 260, 518, 1000, 4000, 60000};
    co::result_st res = co::run(
        port,
        [] {
            static uint8_t back[65536];
            for (uint32_t n : sizes) {
                bytes data = pattern(n, n);
                kr_errors_e e = _kr_canopen_sdo_client_block_write(NODE, 0x2007, 0, n, data.data());
                if (e != ERR_NONE) {
                    co::report("w%u=%u:0x%x", n, e, _kr_canopen_sdo_get_error_code());
                    continue;
                }
                std::memset(back, 0, sizeof back);
                e = _kr_canopen_sdo_client_block_read(NODE, 0x2007, 0, sizeof back, back);
                bool same = e == ERR_NONE && _kr_canopen_sdo_client_get_obj_size() == n &&
                            std::memcmp(back, data.data(), n) == 0;
                std::string seg = "-";
                if (n <= 4000) {
                    std::memset(back, 0, sizeof back);
                    e = _kr_canopen_sdo_client_read(NODE, 0x2007, 0, n + 10, back);
                    seg = e == ERR_NONE && kr_canopen_sdo_client_get_data_index() == n &&
                                  std::memcmp(back, data.data(), n) == 0
                              ? "ok"
                              : "bad";
                }
                co::report("w%u=%s:%s", n, same ? "ok" : "bad", seg.c_str());
            }
            return 0;
        },
        120000);
    ASSERT_EQ(res.status, 0) << res.text;
    for (uint32_t n : sizes) EXPECT_EQ(res.get("w" + std::to_string(n)), n <= 4000 ? "ok:ok" : "ok:-") << n;
    dump_st d = dump();
    EXPECT_TRUE(d.canaries_ok);
    bytes want = pattern(60000, 60000);
    want.resize(65535, 0);
    EXPECT_TRUE(d.obj[0x2007] == want);
    EXPECT_EQ(writes, std::vector<std::string>(std::size(sizes), "0x2007 0"));
}

// The independent client: every transfer kind at block boundaries and with chosen block sizes,
// uploads that must come out empty, and a segment that carries 50 1F 01 as data.
TEST_F(SdoServer, IndependentClientTransfersEveryKind)
{
    using m = sim_sdo_mode_e;
    int want_writes = 0;
    for (auto [index, value] :
         {std::pair<uint16_t, bytes>{0x2000, {0xA5}}, {0x2001, {0x01, 0x02}}, {0x2002, {0x01, 0x02, 0x03, 0x04}}}) {
        ASSERT_TRUE(down(index, 0, value, m::expedited).ok) << index;
        sim_sdo_result_st r = up(index, 0, m::segmented);
        ASSERT_TRUE(r.ok) << r.error;
        EXPECT_EQ(r.data, value);
        want_writes++;
    }
    // Array elements: the element alone; sub-index 0 is the size.
    EXPECT_EQ(up(0x2004, 3, m::segmented).data, (bytes{0x33, 0x33}));
    EXPECT_EQ(up(0x2003, 0, m::segmented).data, (bytes{8}));

    // Segmented download whose first segment reads 50 1F 01: data, never a restart.
    const uint8_t program_data[3] = {0x50, 0x1F, 0x01};
    sim_sdo_fault_st looks_like_program_data;
    looks_like_program_data.segment_override = program_data;
    bytes text = pattern(20, 1);
    ASSERT_TRUE(down(0x2006, 0, text, m::segmented, looks_like_program_data).ok);
    want_writes++;
    text[0] = 0x50, text[1] = 0x1F, text[2] = 0x01;
    EXPECT_EQ(up(0x2006, 0, m::segmented).data, text);
    // From an offset inside the text, at its end and past the storage: what is left, or nothing.
    EXPECT_EQ(up(0x2006, 15, m::segmented).data, bytes(text.begin() + 15, text.end()));
    for (uint8_t sub : {20, 31, 32}) {
        sim_sdo_result_st r = up(0x2006, sub, m::segmented);
        EXPECT_TRUE(r.ok && r.data.empty()) << (int)sub << " " << r.error << " " << r.data.size();
    }
    // An empty string's block upload: the last segment carries no data.
    ASSERT_TRUE(down(0x2006, 0, {0}, m::expedited).ok);
    want_writes++;
    sim_sdo_result_st empty = up(0x2006, 0, m::block, 5);
    EXPECT_TRUE(empty.ok && empty.data.empty()) << empty.error << " " << empty.data.size();

    // Block downloads around block boundaries, each read back with several block sizes; the data
    // of the first starts with 50 1F 01 too.
    size_t n_prev = 0;
    for (size_t n : {1, 258, 259, 260, 518, 4000}) {
        bytes data = pattern(n, (unsigned)n);
        if (n == 1) data = {0x50};
        if (n == 258) std::memcpy(data.data(), program_data, 3);
        sim_sdo_result_st w = down(0x2007, 0, data, m::block);
        ASSERT_TRUE(w.ok) << n << " " << w.error << " 0x" << std::hex << w.abort_code;
        EXPECT_EQ(w.server_blksize, 37);
        EXPECT_EQ(w.blocks, (n + 258) / 259) << n;
        want_writes++;
        for (uint8_t blk : {1, 37, 127}) {
            sim_sdo_result_st r = up(0x2007, 0, m::block, blk);
            ASSERT_TRUE(r.ok) << n << "/" << (int)blk << " " << r.error << " 0x" << std::hex << r.abort_code;
            EXPECT_TRUE(r.data == data) << n << "/" << (int)blk << " got " << r.data.size();
            EXPECT_EQ(r.blocks, (n + 7u * blk - 1) / (7u * blk)) << n << "/" << (int)blk;
        }
        n_prev = n;
    }
    dump_st d = dump();
    EXPECT_TRUE(d.canaries_ok);
    EXPECT_TRUE(bytes(d.obj[0x2007].begin(), d.obj[0x2007].begin() + (long)n_prev) ==
                pattern(n_prev, (unsigned)n_prev));
    EXPECT_EQ(hex(d.obj[0x2002]), "01020304");
    EXPECT_EQ(writes.size(), (size_t)want_writes);
    EXPECT_EQ(node.pid > 0 ? sim_proc_wait(node, 0) : 0, -1) << "the node ended";
}

// Faults of the client: each is refused with its code, nothing is written past what the server
// acknowledged, no write is called back, and the next transfer works.
TEST_F(SdoServer, IndependentClientFaultsAreRefusedAndWriteNothingUnacknowledged)
{
    using m = sim_sdo_mode_e;
    const bytes a = pattern(600, 1);
    ASSERT_TRUE(down(0x2007, 0, a, m::block).ok);
    dump();
    writes.clear();
    auto fault = [](auto set) {
        sim_sdo_fault_st f;
        set(f);
        return f;
    };
    auto expect_abort = [](const sim_sdo_result_st &r, uint32_t code, const char *what) {
        EXPECT_FALSE(r.ok) << what;
        EXPECT_EQ(r.abort_code, code) << what << ": " << r.error;
    };
    // A skipped number in the second block: the first block (acknowledged) is in, nothing after it.
    const bytes b = pattern(600, 2);
    expect_abort(down(0x2007, 0, b, m::block, fault([](auto &f) { f.skip_seq_at = 40; })), 0x05040003, "skip");
    bytes want = a;
    std::copy(b.begin(), b.begin() + 259, want.begin());
    // A repeated number in the first block: nothing of it.
    expect_abort(down(0x2007, 0, pattern(600, 3), m::block, fault([](auto &f) { f.repeat_seq_at = 5; })), 0x05040003,
                 "repeat");
    // The client aborts in the middle of the third block.
    expect_abort(down(0x2007, 0, pattern(600, 4), m::block, fault([](auto &f) { f.abort_after = 80; })), 0,
                 "client abort");
    dump_st d = dump();
    EXPECT_TRUE(bytes(d.obj[0x2007].begin(), d.obj[0x2007].begin() + 600) == [&] {
        bytes w = want;
        bytes c = pattern(600, 4); // two blocks acknowledged before the abort
        std::copy(c.begin(), c.begin() + 518, w.begin());
        return w;
    }());
    // A wrong CRC: refused at the end, no callback, and the object keeps its value.
    const bytes before_crc = d.obj[0x2007];
    expect_abort(down(0x2007, 0, pattern(600, 8), m::block, fault([](auto &f) { f.bad_crc = true; })), 0x05030004,
                 "crc");
    EXPECT_TRUE(dump().obj[0x2007] == before_crc);
    // More than the storage holds (a block download says so at once); an array's size by segments.
    expect_abort(down(0x2007, 0, pattern(65536, 5), m::block), 0x05030005, "block past the storage");
    expect_abort(down(0x2006, 0, pattern(40, 6), m::segmented), 0x05030005, "segments past the storage");
    expect_abort(down(0x2003, 0, pattern(6, 7), m::segmented), 0x06010000, "array size by segments");
    expect_abort(down(0x2008, 0, {1, 2, 3, 4}, m::expedited), 0x06010002, "read-only");
    expect_abort(down(0x100B, 0, {0}, m::expedited), 0x06090032, "node id 0");
    expect_abort(down(0x100B, 0, {128}, m::expedited), 0x06090031, "node id 128");
    // Block uploads asking for a block size of 0 or 128, first or in an acknowledgement.
    expect_abort(up(0x2007, 0, m::block, 0), 0x05040002, "block size 0");
    expect_abort(up(0x2007, 0, m::block, 128), 0x05040002, "block size 128");
    expect_abort(up(0x2007, 0, m::block, 10, fault([](auto &f) { f.ack_blksize = 0; })), 0x05040002, "ack size 0");
    expect_abort(up(0x2007, 0, m::block, 10, fault([](auto &f) { f.ack_blksize = 128; })), 0x05040002, "ack size 128");
    expect_abort(up(0x2007, 0, m::block, 10, fault([](auto &f) { f.ack_seq_delta = -1; })), 0x05040003,
                 "acknowledged fewer segments");
    // The client aborts a block upload; the next one works.
    expect_abort(up(0x2007, 0, m::block, 10, fault([](auto &f) { f.abort_after = 15; })), 0, "upload abort");
    d = dump();
    EXPECT_TRUE(d.canaries_ok);
    EXPECT_TRUE(writes.empty()) << writes.size();
    EXPECT_EQ(hex(d.obj[0x2003]), "0102030405060708");
    sim_sdo_result_st r = up(0x2007, 0, m::block, 127);
    ASSERT_TRUE(r.ok) << r.error;
    // Neither the CRC-refused download nor the over-long one changed it.
    EXPECT_TRUE(r.data.size() <= before_crc.size() && std::equal(r.data.begin(), r.data.end(), before_crc.begin()));
    ASSERT_TRUE(down(0x2007, 0, a, m::block).ok);
    dump();
    EXPECT_EQ(writes, std::vector<std::string>{"0x2007 0"});
}

// A number takes a write of exactly its size, expedited or segmented: fewer bytes are refused with
// 0x06070013, more with 0x06070012, and the value keeps every byte it had.
TEST_F(SdoServer, NumbersTakeOnlyTheirOwnSize)
{
    using m = sim_sdo_mode_e;
    struct number_st {
        uint16_t index;
        uint8_t sub;
        size_t size;
    };
    const number_st numbers[] = {{0x2000, 0, 1}, {0x2001, 0, 2}, {0x2002, 0, 4}, {0x2004, 2, 2}, {0x2005, 3, 4}};
    size_t want_writes = 0;
    for (const number_st &n : numbers) {
        bytes held = up(n.index, n.sub, m::segmented).data;
        ASSERT_EQ(held.size(), n.size) << std::hex << n.index;
        for (m mode : {m::expedited, m::segmented})
            for (size_t width = 1; width <= 4; width++) {
                bytes data(width);
                for (size_t i = 0; i < width; i++) data[i] = (uint8_t)(0xA0 + 16 * width + i + (mode == m::segmented));
                sim_sdo_result_st r = down(n.index, n.sub, data, mode);
                std::string row = std::to_string(n.index) + ":" + std::to_string(n.sub) + " width " +
                                  std::to_string(width) + (mode == m::expedited ? " expedited" : " segmented");
                if (width == n.size) {
                    EXPECT_TRUE(r.ok) << row << " " << r.error << " 0x" << std::hex << r.abort_code;
                    held = data;
                    want_writes++;
                } else {
                    EXPECT_EQ(r.abort_code, width < n.size ? 0x06070013u : 0x06070012u) << row << " " << r.error;
                }
                EXPECT_EQ(up(n.index, n.sub, m::segmented).data, held) << row;
            }
    }
    dump_st d = dump();
    EXPECT_TRUE(d.canaries_ok);
    EXPECT_EQ(writes.size(), want_writes);
    const bytes u16_before = d.obj[0x2001];

    // krcan says so and fails the run; the value stays whole.
    e2e::result r = krcan({"--mindex", "0x2002", "--sdowrite", "0x11223344", "--datalen", "1", "--sdowrite=5",
                           "--datalen", "2", "--sdowrite=5", "--mindex", "0x2001", "--datalen", "1", "--sdowrite=5"});
    EXPECT_TRUE(r.exited(1)) << r.out << r.err;
    EXPECT_EQ(e2e::count(r.out, "0x6070013: DATA TYPE DOES NOT MATCH, LENGTH TOO LOW"), 3u) << r.out;
    d = dump();
    EXPECT_EQ(hex(d.obj[0x2002]), "44332211");
    EXPECT_EQ(d.obj[0x2001], u16_before);
}

// A transfer the client leaves hanging times out with 0x05040000 and the next one works; only an
// initiate for 0x1F50:1 restarts the node (status 1).
TEST_F(SdoServer, TimeOutThenProgramDataRestart)
{
    sim_sdo_drain(cli);
    sim_client_send(cli, sim_frame_std(0x600 + NODE, {0x21, 0x06, 0x20, 0, 20, 0, 0, 0}));
    sim_frame_st f;
    ASSERT_TRUE(sim_sdo_wait_reply(cli, NODE, f, 3000));
    EXPECT_EQ(f.data[0], 0x60);
    auto t0 = std::chrono::steady_clock::now();
    ASSERT_TRUE(sim_sdo_wait_reply(cli, NODE, f, 20000));
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_EQ(hex(bytes(f.data, f.data + 8)), "8006200000000405");
    EXPECT_GT(s, 4.0);
    sim_sdo_result_st r = sim_sdo_download(cli, NODE, 0x2006, 0, pattern(12, 9), sim_sdo_mode_e::segmented);
    EXPECT_TRUE(r.ok) << r.error;
    // 50 1F 01 as an upload request's data bytes and as an abort changes nothing; the initiate does.
    sim_client_send(cli, sim_frame_std(0x600 + NODE, {0x80, 0x50, 0x1F, 0x01, 0, 0, 0, 0}));
    sim_client_send(cli, sim_frame_std(0x600 + NODE, {0x60, 0x50, 0x1F, 0x01, 0, 0, 0, 0}));
    ASSERT_TRUE(sim_sdo_wait_reply(cli, NODE, f, 3000)); // no transfer runs: refused
    EXPECT_EQ(f.data[0], 0x80);
    EXPECT_EQ(sim_proc_wait(node, 300), -1) << "the node ended";
    sim_client_send(cli, sim_frame_std(0x600 + NODE, {0x23, 0x50, 0x1F, 0x01, 1, 2, 3, 4}));
    int status = sim_proc_wait(node, 10000);
    node.pid = -1;
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 1);
}

// The tool's own library build has no server: requests to its node (1) stay unanswered while the
// server node beside it answers the same request.
TEST_F(SdoServer, ToolBuildLeavesRequestsToItsNodeUnanswered)
{
    std::atomic<bool> stop{false};
    std::thread asker;
    if (!co::child_mode())
        asker = std::thread([&] {
            while (!stop) {
                sim_client_send(cli, sim_frame_std(0x601, {0x40, 0x00, 0x10, 0, 0, 0, 0, 0}));
                sim_client_send(cli, sim_frame_std(0x600 + NODE, {0x40, 0x00, 0x10, 0, 0, 0, 0, 0}));
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
        });
    co::result_st res = co::run(port, [] {
        kr_rtos_task_delay(1500);
        co::report("node=%u", kr_canopen_get_nodeid());
        return 0;
    });
    stop = true;
    asker.join();
    ASSERT_EQ(res.status, 0) << res.text;
    EXPECT_EQ(res.get("node"), "1");
    auto frames = sim_tap_frames(tap);
    EXPECT_GE(co::with_id(frames, 0x601).size(), 10u);
    EXPECT_TRUE(co::with_id(frames, 0x581).empty());
    EXPECT_GE(co::with_id(frames, 0x580 + NODE).size(), 10u); // 0x1000: device type 0x55
}
