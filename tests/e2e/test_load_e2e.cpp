// Firmware loading, end to end: krcan against simulated devices with a program store; the images the
// devices run afterwards are compared with the files byte for byte, and the bus tap shows what went out.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <random>
#include <thread>

#include "e2e/e2e.h"
#include "sim_client.h"
#include "sim_device.h"
#include "sim_setup.h"
#include "run/main.h"
#include "system/package_builder.h"

namespace {

using bytes = std::vector<uint8_t>;

bytes random_bytes(size_t n, uint32_t seed)
{
    std::mt19937 rng(seed);
    bytes b(n);
    for (auto &x : b) x = (uint8_t)rng();
    return b;
}

std::string str(const bytes &b) { return std::string(b.begin(), b.end()); }

sim_device_config_st device(uint8_t node, uint8_t flavour, const bytes &image, uint32_t flash_size = 0)
{
    sim_device_config_st c;
    c.node_id = node;
    c.heartbeat_ms = 0;
    c.reset_delay_ms = 30;
    c.program.flavour = flavour;
    c.program.image = image;
    c.program.flash_size = flash_size;
    return c;
}

sim_fault_st fault(const std::string &spec)
{
    sim_fault_st f;
    uint8_t node = 0;
    std::string err;
    EXPECT_TRUE(sim_fault_parse(spec, f, node, err)) << err;
    return f;
}

class Load : public ::testing::Test {
protected:
    void start(const std::vector<sim_device_config_st> &devs)
    {
        std::string err;
        ASSERT_TRUE(sim_setup_start(bench, devs, 0, err, true)) << err;
    }
    void TearDown() override { sim_setup_stop(bench); }
    std::vector<std::string> args(std::vector<std::string> a)
    {
        a.insert(a.begin(), {"--can", bench.channel});
        return a;
    }
    e2e::result krcan(std::vector<std::string> a)
    {
        e2e::options o;
        o.timeout_ms = 120000;
        e2e::result r = box.krcan(args(std::move(a)), o);
        // The last reset goes out just before krcan ends; the devices boot 30 ms later.
        settle();
        return r;
    }
    void settle() { EXPECT_TRUE(sim_setup_settle(bench)) << "the simulated devices did not settle"; }
    void file(const std::string &name, const bytes &b) { box.write_file(name, std::string(b.begin(), b.end())); }
    sim_prog_info_st prog(uint8_t node) { return sim_dev_program(bench.devs, node); }
    // Frames krcan sent: NMT and SDO requests (to one node, or to any).
    std::vector<sim_frame_st> sent(int node = -1)
    {
        std::vector<sim_frame_st> out;
        for (const sim_frame_st &f : sim_tap_frames(tap))
            if (sent_to(f, node)) out.push_back(f);
        return out;
    }
    static bool sent_to(const sim_frame_st &f, int node)
    {
        bool nmt = f.id == 0 && f.len == 2 && (node < 0 || f.data[1] == node || f.data[1] == 0);
        bool sdo = f.id >= 0x601 && f.id <= 0x67F && (node < 0 || f.id == 0x600u + node);
        return f.kind == SIM_FRAME_STD && (nmt || sdo);
    }
    std::vector<uint8_t> nmt(uint8_t node) { return sim_dev_nmt_log(bench.devs, node); }

    e2e::sandbox box;
    sim_setup_st bench;
    sim_tap_st *&tap = bench.tap;
};

// Two queued loads each keep their own file, node and transfer kind; each device ends up running its own
// file, reset once after one download; the progress task reports each load to 100 % and then stops.
TEST_F(Load, CiaBlockAndSegmentedLoadsEachFlashTheirOwnFile)
{
    bytes old_a = random_bytes(300, 1), old_b = random_bytes(40, 2);
    bytes a = random_bytes(100 * 1024, 3), b = random_bytes(2048, 4);
    start({device(0x20, SIM_BOOT_CIA302, old_a), device(0x21, SIM_BOOT_CIA302, old_b)});
    file("a.bin", a);
    file("b.bin", b);

    e2e::result r = krcan({"--nodeid", "0x20", "--loadbin=a.bin", "--nodeid", "0x21", "--segloadbin=b.bin"});
    ASSERT_TRUE(r.exited(0)) << r.out << r.err;
    EXPECT_EQ(prog(0x20).image, a);
    EXPECT_EQ(prog(0x21).image, b);
    EXPECT_EQ(prog(0x20).flashes, 1u);
    EXPECT_EQ(prog(0x21).flashes, 1u);
    EXPECT_EQ(prog(0x20).mode, SIM_MODE_APP);

    auto w20 = sim_dev_write_log(bench.devs, 0x20), w21 = sim_dev_write_log(bench.devs, 0x21);
    ASSERT_EQ(w20.size(), 1u);
    EXPECT_EQ(w20[0].index, 0x1F50);
    EXPECT_EQ(w20[0].size, a.size());
    EXPECT_EQ(w20[0].how, 'b');
    ASSERT_EQ(w21.size(), 1u);
    EXPECT_EQ(w21[0].size, b.size());
    EXPECT_EQ(w21[0].how, 's');
    EXPECT_EQ(nmt(0x20), bytes{0x81});
    EXPECT_EQ(nmt(0x21), bytes{0x81});
    // The reset comes after the download, never before.
    auto f20 = sent(0x20);
    ASSERT_FALSE(f20.empty());
    EXPECT_EQ(f20.front().id, 0x620u);
    EXPECT_EQ(f20.back().id, 0u);

    EXPECT_NE(r.out.find("Opened file a.bin. Size: 102400 bytes.\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("downloaded 102400 / 102400 bytes (100 %)\nLoading done!\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("downloaded 2048 / 2048 bytes (100 %)\nLoading done!\n"), std::string::npos) << r.out;
    EXPECT_EQ(e2e::count(r.out, "Loading done!\n"), 2u);
    EXPECT_EQ(e2e::count(r.out, "Loading done. Resetting device... OK!\n"), 2u);
    // The first load's progress never reports the second one's bytes.
    size_t second = r.out.find("Firmware b.bin selected");
    ASSERT_NE(second, std::string::npos);
    EXPECT_EQ(r.out.substr(0, second).find("/ 2048 bytes"), std::string::npos) << r.out;
}

// The maker's bootloader: reset, boot-up, then 256-byte pieces, each its own block download, and a reset
// that starts the image. A second run loads it again and then 64 KiB + 1 the same way.
TEST_F(Load, MakersBootloaderTakesPiecesBetweenTwoResets)
{
    bytes old = random_bytes(100, 5), c = random_bytes(600, 6), d = random_bytes(64 * 1024 + 1, 7);
    sim_device_config_st dv = device(0x22, SIM_BOOT_KR, old);
    std::filesystem::create_directories(box.path("images"));
    dv.program.image_dir = box.path("images").string();
    start({dv});
    file("c.bin", c);
    file("d.bin", d);

    e2e::result r = krcan({"--nodeid", "0x22", "--krloadbin=c.bin"});
    ASSERT_TRUE(r.exited(0)) << r.out << r.err;
    EXPECT_EQ(prog(0x22).image, c);
    EXPECT_EQ(prog(0x22).mode, SIM_MODE_APP);
    auto w = sim_dev_write_log(bench.devs, 0x22);
    ASSERT_EQ(w.size(), 3u);
    EXPECT_EQ(w[0].size, 256u);
    EXPECT_EQ(w[1].size, 256u);
    EXPECT_EQ(w[2].size, 88u);
    for (auto &x : w) EXPECT_EQ(x.how, 'b');
    EXPECT_EQ(nmt(0x22), (bytes{0x81, 0x81}));
    auto f = sent(0x22);
    ASSERT_GE(f.size(), 2u);
    // The reset into the bootloader comes first; only reads (of what the node is in) before it.
    auto reset = std::find_if(f.begin(), f.end(), [](const sim_frame_st &x) { return x.id == 0; });
    ASSERT_NE(reset, f.end());
    for (auto x = f.begin(); x != reset; ++x) EXPECT_EQ(x->data[0], 0x40) << sim_frame_str(*x);
    EXPECT_EQ(f.back().id, 0u);
    EXPECT_NE(r.out.find("Resetting node 0x22\nWaiting to receive boot up message from node 0x22...\ndone\n"
                         "Reset OK. Now downloading...\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("Block 1 downloaded, 256 / 600 bytes (42 %)\nBlock 2 downloaded, 512 / 600 bytes (85 %)\n"
                         "Block 3 downloaded, 600 / 600 bytes (100 %)\n"),
              std::string::npos)
        << r.out;

    // Two loads in one run: the second waits for the boot-up after its own reset, not the first one's.
    r = krcan({"--nodeid", "0x22", "--krloadbin=c.bin", "--krloadbin=d.bin"});
    ASSERT_TRUE(r.exited(0)) << r.out << r.err;
    EXPECT_EQ(prog(0x22).image, d);
    EXPECT_EQ(prog(0x22).flashes, 3u);
    w = sim_dev_write_log(bench.devs, 0x22);
    ASSERT_EQ(w.size(), 3u + 3u + 257u);
    EXPECT_EQ(w.back().size, 1u);
    EXPECT_NE(r.out.find("Block 257 downloaded, 65537 / 65537 bytes (100 %)\n"), std::string::npos);
    EXPECT_EQ(box.read_file("images/node-0x22.bin"), str(d)); // each started image is written out
}

// Segments lost on the bus (the middle one of every 10th block, of every 2nd for the maker's pieces):
// each block download goes on from the first segment the device lacks, and the images arrive whole.
TEST_F(Load, LostBlockSegmentsAreSentAgain)
{
    bytes old = random_bytes(64, 19), a = random_bytes(64 * 1024, 20), c = random_bytes(2000, 21);
    std::vector<sim_device_config_st> devs = {device(0x26, SIM_BOOT_CIA302, old), device(0x27, SIM_BOOT_KR, old)};
    for (auto &d : devs) {
        d.block_size = 16;
        d.faults.push_back(fault(d.node_id == 0x26 ? "drop:every=10,count=-1" : "drop:every=2,count=-1"));
    }
    start(devs);
    file("a.bin", a);
    file("c.bin", c);
    e2e::result r = krcan({"--nodeid", "0x26", "--loadbin=a.bin", "--nodeid", "0x27", "--krloadbin=c.bin"});
    ASSERT_TRUE(r.exited(0)) << r.out << r.err;
    EXPECT_EQ(prog(0x26).image, a);
    EXPECT_EQ(prog(0x27).image, c);
    for (uint8_t node : {0x26, 0x27}) EXPECT_TRUE(sim_dev_abort_log(bench.devs, node).empty()) << std::hex << (int)node;
}

// Waiting for the boot-up: nothing goes out until the device is powered on; then the download and one reset.
TEST_F(Load, WaitForBootupFlashesADevicePoweredOnLater)
{
    bytes old = random_bytes(64, 8), a = random_bytes(5000, 9), c = random_bytes(700, 10);
    start({device(0x23, SIM_BOOT_CIA302, old), device(0x24, SIM_BOOT_KR, old)});
    file("a.bin", a);
    file("c.bin", c);

    for (uint8_t node : {0x23, 0x24}) {
        std::string cmd = node == 0x23 ? "--loadbinwfr=a.bin" : "--krloadbinwfr=c.bin";
        e2e::background k(box, KRCAN_BIN, args({"--nodeid", node == 0x23 ? "0x23" : "0x24", cmd}));
        ASSERT_TRUE(k.wait_for_output("Waiting to receive boot up message", 30000)) << k.out() << k.err();
        settle();
        EXPECT_TRUE(sent(node).empty()); // no reset before the device boots
        int64_t powered = sim_mono_ns();
        ASSERT_TRUE(sim_dev_power(bench.devs, node, 200));
        k.wait_end(60000);
        settle();
        e2e::result r = k.stop();
        // Nor later while it was off: the first frame to the node comes after its boot-up.
        std::vector<sim_frame_st> all = sim_tap_frames(tap);
        auto boot = std::find_if(all.begin(), all.end(), [node](const sim_frame_st &f) {
            return f.id == 0x700u + node && f.len == 1 && f.data[0] == 0;
        });
        auto first = std::find_if(all.begin(), all.end(), [node](const sim_frame_st &f) { return sent_to(f, node); });
        EXPECT_LT(boot - all.begin(), first - all.begin());
        ASSERT_TRUE(r.exited(0)) << r.out << r.err;
        sim_prog_info_st p = prog(node);
        EXPECT_EQ(p.image, node == 0x23 ? a : c);
        EXPECT_GT(p.started_ns, powered);
        EXPECT_EQ(nmt(node), bytes{0x81});
        EXPECT_NE(r.out.find("done\n"), std::string::npos) << r.out;
    }
}

// A bootloader that sends no boot-up frame: the maker's flavour says so, downloads anyway and succeeds;
// the watcher is gone by then, so the boot-up after the final reset (awaited by a read the resetting
// device answers only after the client's time-out) prints no stray "done".
TEST_F(Load, MakersFlavourDownloadsAfterAQuietBoot)
{
    bytes old = random_bytes(64, 11), c = random_bytes(300, 12);
    sim_device_config_st d = device(0x25, SIM_BOOT_KR, old);
    d.faults.push_back(fault("quietboot"));
    start({d});
    file("c.bin", c);
    e2e::result r = krcan(
        {"--nodeid", "0x25", "--krloadbin=c.bin", "--mindex", "0x1018", "--sindex", "1", "--sdoread"});
    ASSERT_TRUE(r.exited(0)) << r.out << r.err;
    EXPECT_EQ(prog(0x25).image, c);
    EXPECT_NE(r.out.find("Couldn't reset node. No response to NMT Reset Node.\nNow downloading...\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find("Reset OK"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("done\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("0x31d\n"), std::string::npos) << r.out;
}

// Failed loads: status 1, a message that says why, the old image still in place and no reset afterwards.
TEST_F(Load, FailedLoadsLeaveTheOldImageAndFailTheRun)
{
    bytes old = random_bytes(128, 13), a = random_bytes(20000, 14), c = random_bytes(700, 15);
    std::vector<sim_device_config_st> devs = {device(0x30, SIM_BOOT_CIA302, old), device(0x31, SIM_BOOT_KR, old),
                                              device(0x32, SIM_BOOT_KR, old), device(0x33, SIM_BOOT_CIA302, old),
                                              device(0x34, SIM_BOOT_KR, old)};
    devs[0].block_size = 4;
    devs[0].faults.push_back(fault("silent:stage=6")); // silent after the 5th block acknowledgement
    // Three reads first: its heartbeat period and program object before the reset, its period after it.
    devs[1].faults.push_back(fault("abort:xfer=6,code=0x08000020"));
    devs[2].faults.push_back(fault("noreset"));
    devs[3].faults.push_back(fault("crc"));
    devs[3].sdo_delay_ms = 100; // the refused end comes well after the last byte went
    devs[4].faults.push_back(fault("dead"));
    start(devs);
    file("a.bin", a);
    file("c.bin", c);

    e2e::result r = krcan({"--nodeid", "0x30", "--loadbin=a.bin", "--nodeid", "0x31", "--krloadbin=c.bin", "--nodeid",
                           "0x32", "--krloadbin=c.bin", "--nodeid", "0x33", "--loadbin=a.bin", "--nodeid", "0x34",
                           "--krloadbin=c.bin"});
    EXPECT_TRUE(r.exited(1)) << r.out << r.err;
    for (uint8_t node : {0x30, 0x31, 0x32, 0x33, 0x34}) {
        EXPECT_EQ(prog(node).image, old) << std::hex << (int)node;
        EXPECT_EQ(prog(node).flashes, 0u) << std::hex << (int)node;
    }
    // CiA: nothing reset; the maker's: only the reset into the bootloader.
    EXPECT_TRUE(nmt(0x30).empty());
    EXPECT_TRUE(nmt(0x33).empty());
    EXPECT_EQ(nmt(0x31), bytes{0x81});
    EXPECT_EQ(prog(0x31).mode, SIM_MODE_BOOT); // left in the bootloader
    EXPECT_EQ(prog(0x31).pending, 512u);
    EXPECT_EQ(nmt(0x32), bytes{0x81});
    EXPECT_EQ(prog(0x32).mode, SIM_MODE_APP);
    EXPECT_EQ(nmt(0x34), bytes{0x81});
    EXPECT_EQ(prog(0x30).pending, 0u);

    // krcan's own time-out is no answer of the device's.
    EXPECT_NE(r.out.find("Downloading the binary failed. Error code: 44\nERROR: node 0x30 did not "
                         "answer within 5 s: the firmware was not loaded, its old image is kept.\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find("0x05040000"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("ERROR: the firmware was not loaded into node 0x33; its old image is kept.\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("ERROR: node 0x31 holds part of an image (512 of 700 bytes) in its bootloader: switch it off "
                         "and on before the next flash.\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("Error while downloading block 3.\nSDO abort code 0x08000020"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("SDO abort code 0x06020000: OBJECT DOES NOT EXIST"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("SDO abort code 0x05030004: CRC ERROR"), std::string::npos) << r.out;
    EXPECT_EQ(e2e::count(r.out, "Couldn't reset node. No response to NMT Reset Node.\nNow downloading...\n"), 2u)
        << r.out;
    EXPECT_EQ(r.out.find("Loading done"), std::string::npos) << r.out;
}

// Images beyond the flash are refused in both flavours; a device that never boots fails a wait after 10 s
// with nothing sent to it.
TEST_F(Load, TooLargeImagesAndAMissingBootupFail)
{
    bytes old = random_bytes(50, 16), big = random_bytes(1500, 17);
    start({device(0x40, SIM_BOOT_CIA302, old, 1000), device(0x41, SIM_BOOT_KR, old, 600),
           device(0x42, SIM_BOOT_CIA302, old), device(0x43, SIM_BOOT_CIA302, old, 1000)});
    file("big.bin", big);
    file("ok.bin", random_bytes(1000, 18));
    e2e::result r = krcan({"--nodeid", "0x40", "--loadbin=big.bin", "--nodeid", "0x41", "--krloadbin=big.bin",
                           "--nodeid", "0x42", "--loadbinwfr=big.bin", "--nodeid", "0x43", "--segloadbin=big.bin"});
    EXPECT_TRUE(r.exited(1)) << r.out << r.err;
    for (uint8_t node : {0x40, 0x41, 0x42, 0x43}) EXPECT_EQ(prog(node).image, old) << std::hex << (int)node;
    EXPECT_TRUE(nmt(0x40).empty());
    EXPECT_EQ(nmt(0x41), bytes{0x81});
    EXPECT_EQ(sim_dev_write_log(bench.devs, 0x41).size(), 2u); // the third piece overflows
    EXPECT_EQ(e2e::count(r.out, "SDO abort code 0x06070012"), 3u) << r.out;
    EXPECT_EQ(e2e::count(r.out, "which takes its firmware in pieces: --krloadbin is that flavour.\n"), 2u) << r.out;
    EXPECT_TRUE(sent(0x42).empty());
    // No reset went out, so none is said to have failed; the line after says what became of the load.
    EXPECT_NE(r.out.find("Waiting to receive boot up message from node 0x42...\nNo boot up message from node 0x42 "
                         "within 10 seconds.\nERROR: node 0x42 sent no boot up message; the firmware "
                         "was not loaded.\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find("Couldn't reset node"), std::string::npos) << r.out;

    // Exactly the flash size fits.
    r = krcan({"--nodeid", "0x40", "--loadbin=ok.bin"});
    ASSERT_TRUE(r.exited(0)) << r.out << r.err;
    EXPECT_EQ(prog(0x40).image, random_bytes(1000, 18));
}

// Loads that cannot be right are refused before any frame goes out, each failing the run.
TEST_F(Load, HopelessLoadsAreRefusedBeforeAnyFrame)
{
    bytes old = random_bytes(50, 19);
    start({device(0x20, SIM_BOOT_KR, old)});
    file("a.bin", random_bytes(100, 20));
    file("empty.bin", {});
    std::string deep = "d";
    while (deep.size() < 250) deep += "/" + std::string(40, 'x');
    file(deep + "/a.bin", random_bytes(100, 21));
    ASSERT_EQ(mkfifo(box.path("fifo.bin").c_str(), 0600), 0);
    // A sparse file one byte beyond what the 32-bit size holds.
    ASSERT_EQ(truncate((box.write_file("huge.bin", ""), box.path("huge.bin")).c_str(), 0x100000000LL), 0);
    // Documents are no images, whatever their names.
    box.write_file("motor.json", "{\"DEV\": \"Motor\", \"NODEID\": \"0x20\"}\n");
    box.write_file("plant.fw", "devices:\n  - node: 0x20\n    file: motor-params.json\n");
    ASSERT_TRUE(
        pkgtest::write_zip(box.path("motor-v2.zip").string(),
                           {pkgtest::file("krdev.json", "{\"FIRMWARE\": \"m.bin\"}"), pkgtest::file("m.bin", "x")}));

    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--krloadbin=a.bin"}, "ERROR: no node id to flash"},
        {{"--nodeid", "0x20", "--krloadbin=empty.bin"}, "is empty. Firmware download cancelled."},
        {{"--nodeid", "0x20", "--loadbin=empty.bin"}, "is empty. Firmware download cancelled."},
        {{"--nodeid", "0x20", "--krloadbin=" + deep + "/a.bin"}, "is longer than 255 characters"},
        {{"--nodeid", "0x20", "--krloadbin=fifo.bin"}, "Failed to open firmware file fifo.bin. (it is not a regular"},
        {{"--nodeid", "0x20", "--krloadbin=huge.bin"}, "Failed to open firmware file huge.bin. (it is larger than"},
        {{"--nodeid", "0x20", "--krloadbin=missing.bin"}, "Failed to open firmware file missing.bin. (No such file"},
        {{"--krloadbin=a.bin:200"}, "ERROR: invalid node id in 'a.bin:200'"},
        {{"--nodeid", "0x20", "--loadbin=motor.json"}, "firmware file motor.json is a JSON document, not a firmware"},
        {{"--nodeid", "0x20", "--krloadbin=plant.fw"}, "firmware file plant.fw is a YAML document, not a firmware"},
        {{"--nodeid", "0x20", "--loadbin=motor-v2.zip"}, "is a zip archive: this is a package; name it .krdev."},
        {{"--loadbin=motor.json:0x20"},
         "a node id postfix is for a .krdev or .krsys package, and motor.json is a JSON"},
        {{"--loadbin=a.bin:0x20"}, "and a.bin is no package. Give a firmware file's node with --nodeid."},
        {{"--loadbin=motor-v2.zip:0x20"}, "motor-v2.zip is a zip archive: this is a package; name it .krdev."},
        {{"--nodeid", "0x20", "--loadbin"}, "ERROR: no firmware given."}};
    for (const auto &[a, message] : cases) {
        e2e::result r = krcan(a);
        EXPECT_TRUE(r.exited(1)) << a.back() << "\n" << r.out << r.err;
        EXPECT_NE(r.out.find(message), std::string::npos) << a.back() << "\n" << r.out;
        EXPECT_LT(r.wall_ms, 20000);
        EXPECT_EQ(r.out.find("Loading done"), std::string::npos) << r.out;
    }
    EXPECT_TRUE(sent().empty());
    EXPECT_EQ(prog(0x20).image, old);
}

// The progress task ends with its load: a failed CiA load, a 64-byte SDO write and a second load show
// no progress line in between, one "Loading done!" and the second image in place.
TEST_F(Load, TheProgressTaskEndsWithItsLoad)
{
    bytes old = random_bytes(50, 22), a = random_bytes(20000, 23), b = random_bytes(3000, 24);
    sim_device_config_st d = device(0x26, SIM_BOOT_CIA302, old);
    d.block_size = 8;
    d.faults.push_back(fault("abort:stage=4,code=0x08000000,index=0x1F50"));
    start({d});
    sim_object_st dom;
    dom.type = SIM_DOMAIN;
    dom.access = SIM_RW;
    dom.max_size = 200;
    sim_dev_add_object(bench.devs, 0x26, 0x2004, 0, dom);
    file("a.bin", a);
    file("b.bin", b);

    e2e::result r = krcan({"--nodeid", "0x26", "--loadbin=a.bin", "--mindex", "0x2004", "--datalen", "64", "--sdowrite",
                           std::string(63, 'q'), "--loadbin=b.bin"});
    EXPECT_TRUE(r.exited(1)) << r.out << r.err;
    EXPECT_EQ(prog(0x26).image, b);
    EXPECT_EQ(e2e::count(r.out, "Loading done!\n"), 1u) << r.out;
    size_t failed = r.out.find("Downloading the binary failed.");
    size_t second = r.out.find("Firmware b.bin selected");
    ASSERT_NE(failed, std::string::npos) << r.out;
    ASSERT_NE(second, std::string::npos) << r.out;
    EXPECT_EQ(r.out.substr(failed, second - failed).find("downloaded"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.substr(second).find("/ 20000 bytes"), std::string::npos) << r.out;
}

// Packages: a .krdev argument with a node postfix, a .krsys of two devices beside a third found on the
// bus (skipped), the --firmware fallback, and a package without FIRMWARE refused before any frame.
TEST_F(Load, PackagesSystemsAndTheFirmwareFallback)
{
    bytes old = random_bytes(64, 30), m = random_bytes(3000, 31), p = random_bytes(5000, 32), f = random_bytes(900, 33);
    std::vector<sim_device_config_st> devs = {device(0x10, SIM_BOOT_CIA302, old), device(0x14, SIM_BOOT_CIA302, old),
                                              device(0x15, SIM_BOOT_CIA302, old), device(0x16, SIM_BOOT_CIA302, old),
                                              device(0x17, SIM_BOOT_CIA302, old), device(0x18, SIM_BOOT_KR, old)};
    for (auto &d : devs) d.heartbeat_ms = 100;
    start(devs);
    ASSERT_TRUE(pkgtest::write_zip(box.path("motor.krdev").string(),
                                   {pkgtest::file("krdev.json", "{\"FIRMWARE\": \"fw/motor.bin\"}"),
                                    pkgtest::file("fw/motor.bin", str(m))}));
    ASSERT_TRUE(
        pkgtest::write_zip(box.path("pump.krdev").string(),
                           {pkgtest::file("krdev.yaml", "FIRMWARE: pump.bin\n"), pkgtest::file("pump.bin", str(p))}));
    ASSERT_TRUE(
        pkgtest::write_zip(box.path("nofw.krdev").string(), {pkgtest::file("krdev.json", "{\"VERSION\": \"1\"}")}));
    ASSERT_TRUE(pkgtest::write_zip(box.path("machine.krsys").string(),
                                   {pkgtest::file("krsys.json",
                                                  "{\"DEVS\": [{\"NODEID\": \"0x14\", \"KRDEV\": \"devs/motor.krdev\"},"
                                                  "{\"NODEID\": \"0x15\", \"KRDEV\": \"devs/pump.krdev\"}]}"),
                                    pkgtest::file("devs/motor.krdev", box.read_file("motor.krdev")),
                                    pkgtest::file("devs/pump.krdev", box.read_file("pump.krdev"))}));
    file("f.bin", f);

    e2e::result r = krcan({"--loadbin=motor.krdev:0x10"});
    ASSERT_TRUE(r.exited(0)) << r.out << r.err;
    EXPECT_EQ(prog(0x10).image, m);
    EXPECT_NE(r.out.find("Flashing firmware 'fw/motor.bin' to node 0x10\n"), std::string::npos) << r.out;

    // The system's devices each get their own image; devices found on the bus without package are skipped.
    r = krcan({"--sys", "machine.krsys", "--find", "--loadbin"});
    ASSERT_TRUE(r.exited(0)) << r.out << r.err;
    EXPECT_EQ(prog(0x14).image, m);
    EXPECT_EQ(prog(0x15).image, p);
    EXPECT_EQ(prog(0x16).image, old);
    EXPECT_NE(r.out.find("Skipping device 'Node 0x16' (node 0x16): no configuration package.\n"), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("=== Flashing device 2/"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Flashed 2/2 device(s) successfully.\n"), std::string::npos) << r.out;

    // A device given with --dev, through the maker's bootloader; a package that cannot be opened fails.
    r = krcan({"--dev", "pump.krdev:0x18", "--krloadbin", "--krloadbin=missing.krdev:0x18"});
    EXPECT_TRUE(r.exited(1)) << r.out << r.err;
    EXPECT_EQ(prog(0x18).image, p);
    EXPECT_EQ(prog(0x18).flashes, 1u);
    EXPECT_NE(r.out.find("Flashed 1/1 device(s) successfully.\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Flashed 0/1 device(s) successfully.\n"), std::string::npos) << r.out;

    r = krcan({"--nodeid", "0x17", "--firmware", "f.bin", "--loadbin"});
    ASSERT_TRUE(r.exited(0)) << r.out << r.err;
    EXPECT_EQ(prog(0x17).image, f);
    EXPECT_NE(r.out.find("Firmware f.bin selected\n"), std::string::npos) << r.out;

    sim_tap_clear(tap);
    r = krcan({"--loadbin=nofw.krdev:0x16"});
    EXPECT_TRUE(r.exited(1)) << r.out << r.err;
    EXPECT_NE(r.out.find("has no FIRMWARE entry in its manifest."), std::string::npos) << r.out;
    // A path that does not fit is refused before any job: cut to 1023 characters, <A>.other would be A.
    std::string a;
    while (a.size() + 250 < 1023 - 6) a += std::string(249, 'd') + "/";
    a += std::string(1023 - 6 - a.size(), 'p') + ".krdev";
    box.write_file(a, box.read_file("motor.krdev"));
    box.write_file(a + ".other", box.read_file("pump.krdev"));
    for (const std::vector<std::string> &cmd : {std::vector<std::string>{"--nodeid", "0x16", "--loadbin", a + ".other"},
                                                {"--dev", a + ".other:0x16", "--loadbin"}}) {
        r = krcan(cmd);
        EXPECT_TRUE(r.exited(1)) << r.out << r.err;
        EXPECT_NE(r.out.find("is longer than 1023 characters"), std::string::npos) << r.out;
    }
    r = krcan({"--firmware", std::string(1030, 'f')});
    EXPECT_TRUE(r.exited(1)) << r.out << r.err;
    EXPECT_NE(r.out.find("The value given for the 'firmware' option is too long."), std::string::npos) << r.out;
    EXPECT_TRUE(sent().empty());
    EXPECT_EQ(prog(0x16).image, old);
    EXPECT_TRUE(std::filesystem::is_empty(box.tmp()));
}

// The maker's flavour on nodes that send heartbeats. A CiA 302 device shows after the reset that it runs
// its application: refused before any piece could replace its image. The maker's bootloader sends
// heartbeats of state 0, as a boot-up is, and resets slower than it beats: two loads in one run, the
// second resetting the node only once the first one's image runs.
TEST_F(Load, MakersFlavourTellsTheBootloaderByItsHeartbeat)
{
    bytes old = random_bytes(64, 40), c = random_bytes(600, 41), d = random_bytes(700, 42);
    std::vector<sim_device_config_st> devs = {device(0x30, SIM_BOOT_CIA302, old), device(0x31, SIM_BOOT_KR, old)};
    for (auto &x : devs) x.heartbeat_ms = 40;
    devs[1].reset_delay_ms = 150;
    start(devs);
    file("c.bin", c);
    file("d.bin", d);

    e2e::result r = krcan({"--nodeid", "0x30", "--krloadbin=c.bin"});
    EXPECT_TRUE(r.exited(1)) << r.out << r.err;
    EXPECT_NE(r.out.find("ERROR: node 0x30 runs its application after the reset (its heartbeat says pre-operational), "
                         "so it has no bootloader of the maker's kind: give its firmware to --loadbin. Nothing was "
                         "downloaded.\n"),
              std::string::npos)
        << r.out;
    EXPECT_TRUE(sim_dev_write_log(bench.devs, 0x30).empty());
    EXPECT_EQ(nmt(0x30), bytes{0x81}) << "no reset after the refusal";
    EXPECT_EQ(prog(0x30).image, old);
    EXPECT_EQ(r.out.find("OK!"), std::string::npos) << r.out;

    r = krcan({"--nodeid", "0x31", "--krloadbin=c.bin", "--krloadbin=d.bin"});
    ASSERT_TRUE(r.exited(0)) << r.out << r.err;
    EXPECT_EQ(prog(0x31).image, d);
    EXPECT_EQ(prog(0x31).flashes, 2u);
    EXPECT_EQ(nmt(0x31), (bytes{0x81, 0x81, 0x81, 0x81}));
}

// A segmented download that the device aborts half way is started again by the client: its progress
// falls back, says so, and the image arrives whole.
TEST_F(Load, ARestartedDownloadSaysWhyItsProgressFallsBack)
{
    bytes old = random_bytes(64, 43), a = random_bytes(700, 44);
    sim_device_config_st d = device(0x32, SIM_BOOT_CIA302, old);
    // Quick enough that the restarted download is well past its start when the progress next looks.
    d.sdo_delay_ms = 1;
    d.faults.push_back(fault("busy:stage=50,index=0x1F50"));
    start({d});
    file("a.bin", a);
    e2e::result r = krcan({"--nodeid", "0x32", "--segloadbin=a.bin"});
    ASSERT_TRUE(r.exited(0)) << r.out << r.err;
    EXPECT_EQ(prog(0x32).image, a);
    // The restarted download begins again at its first byte, whatever the progress looked at since.
    size_t back = r.out.find("The download went back to byte 0: the device did not take what followed, which is "
                             "sent again.\n");
    ASSERT_NE(back, std::string::npos) << r.out;
    EXPECT_NE(r.out.find("downloaded 700 / 700 bytes (100 %)\n", back), std::string::npos) << r.out;
}

// A device named on the command line or in a system package that the system cannot take fails the run,
// named, before any device is flashed.
TEST_F(Load, DevicesLeftOutOfTheSystemStopTheRunBeforeAnyFlash)
{
    bytes old = random_bytes(64, 45), m = random_bytes(500, 46);
    start({device(0x40, SIM_BOOT_CIA302, old)});
    ASSERT_TRUE(
        pkgtest::write_zip(box.path("m.krdev").string(),
                           {pkgtest::file("krdev.json", "{\"FIRMWARE\": \"m.bin\"}"), pkgtest::file("m.bin", str(m))}));
    std::vector<std::string> a = {"--silent"};
    for (int n = 0x40; n <= 0x55; n++) a.insert(a.end(), {"--dev", "m.krdev:" + std::to_string(n)});
    a.push_back("--loadbin");
    e2e::result r = krcan(a);
    EXPECT_TRUE(r.exited(1)) << r.out << r.err;
    EXPECT_NE(r.out.find("ERROR: device 'm.krdev' does not fit: a system can hold at most 20 devices.\n"),
              std::string::npos)
        << r.out;

    for (const char *el : {"{\"NODEID\": \"0x41 \", \"KRDEV\": \"m.krdev\"}", "{\"KRDEV\": \"../m.krdev\"}"}) {
        ASSERT_TRUE(
            pkgtest::write_zip(box.path("machine.krsys").string(),
                               {pkgtest::file("krsys.json", std::string("{\"DEVS\": [{\"NODEID\": 64, \"KRDEV\": "
                                                                        "\"m.krdev\"},") +
                                                                el + "]}"),
                                pkgtest::file("m.krdev", box.read_file("m.krdev"))}));
        r = krcan({"--silent", "--loadbin=machine.krsys"});
        EXPECT_TRUE(r.exited(1)) << r.out << r.err;
        EXPECT_NE(r.out.find("ERROR: failed to load system package 'machine.krsys': its device 1"), std::string::npos)
            << r.out;
        EXPECT_EQ(r.out.find("Flashed"), std::string::npos) << r.out;
        r = krcan({"--silent", "--sys", "machine.krsys", "--loadbin"});
        EXPECT_TRUE(r.exited(1)) << r.out << r.err;
        EXPECT_NE(r.out.find("command 'sys' returned with FALSE, terminating."), std::string::npos) << r.out;
    }
    EXPECT_TRUE(sent().empty());
    EXPECT_EQ(prog(0x40).image, old);
    EXPECT_TRUE(std::filesystem::is_empty(box.tmp()));
}

std::string database(const char *vendor, const char *product)
{
    return std::string("{\"DEV\": \"Motor\", \"VENDORID\": \"") + vendor + "\", \"PRODUCTCODE\": \"" + product +
           "\", \"NODEID\": \"0x10\", \"OBJ_DICT\": []}";
}

// A package's firmware goes only to the product its database names: each row a package and a device
// (its 0x1018 as the simulated device holds it), flashed or refused before any download; a system
// run with one device of another product flashes none of its devices.
TEST_F(Load, PackagesGoOnlyToTheProductTheyAreMadeFor)
{
    bytes old = random_bytes(64, 50), m = random_bytes(900, 51);
    std::vector<sim_device_config_st> devs = {device(0x50, SIM_BOOT_CIA302, old), device(0x51, SIM_BOOT_CIA302, old),
                                              device(0x52, SIM_BOOT_CIA302, old)};
    for (auto &d : devs) d.product = 0x100;
    devs[1].vendor = 0x123;
    devs[2].faults.push_back(fault("abort:index=0x1018,code=0x06020000,count=-1"));
    start(devs);
    auto package = [&](const std::string &name, const std::string &db) {
        std::vector<pkgtest::entry> e = {pkgtest::file("m.bin", str(m))};
        e.push_back(pkgtest::file("krdev.json", db.empty() ? "{\"FIRMWARE\": \"m.bin\"}"
                                                           : "{\"FIRMWARE\": \"m.bin\", \"DATABASE\": \"db.json\"}"));
        if (!db.empty()) e.push_back(pkgtest::file("db.json", db));
        ASSERT_TRUE(pkgtest::write_zip(box.path(name).string(), e));
    };
    package("motor.krdev", database("0x31D", "0x100"));
    package("display.krdev", database("0x31D", "0x200"));
    package("nodb.krdev", "");

    struct row {
        std::string arg;
        uint8_t node;
        bool flashed;
        std::string said;
    };
    const std::vector<row> rows = {
        {"motor.krdev:0x50", 0x50, true, ""},
        {"display.krdev:0x50", 0x50, false,
         "ERROR: node 0x50 is vendor 0x31D product 0x100, but package 'display.krdev' is made for vendor 0x31D product "
         "0x200: nothing was downloaded to it. To flash another product on purpose, give the firmware file itself "
         "(--loadbin=FILE).\n"},
        {"motor.krdev:0x51", 0x51, false, "node 0x51 is vendor 0x123 product 0x100, but package 'motor.krdev'"},
        {"nodb.krdev:0x50", 0x50, true, "WARNING: package 'nodb.krdev' has no device database, so node 0x50 could not"},
        {"motor.krdev:0x52", 0x52, true, "WARNING: the identity (0x1018) of node 0x52 could not be read"},
    };
    for (const row &x : rows) {
        sim_tap_clear(tap);
        uint32_t before = prog(x.node).flashes;
        e2e::result r = krcan({"--loadbin=" + x.arg});
        EXPECT_TRUE(r.exited(x.flashed ? 0 : 1)) << x.arg << r.out << r.err;
        EXPECT_EQ(prog(x.node).flashes, before + (x.flashed ? 1u : 0u)) << x.arg;
        if (!x.said.empty()) {
            EXPECT_NE(r.out.find(x.said), std::string::npos) << x.arg << r.out;
        }
        if (x.flashed) continue;
        // Only the two reads of its identity went to it.
        for (const sim_frame_st &f : sent(x.node)) EXPECT_EQ(f.data[0], 0x40) << x.arg << sim_frame_str(f);
    }

    // The system run: the device that cannot be read would be flashed, but 0x50 is another product.
    ASSERT_TRUE(pkgtest::write_zip(box.path("machine.krsys").string(),
                                   {pkgtest::file("krsys.json", "{\"DEVS\": [{\"NODEID\": \"0x52\", \"KRDEV\": "
                                                                "\"motor.krdev\"}, {\"NODEID\": \"0x50\", \"KRDEV\": "
                                                                "\"display.krdev\"}]}"),
                                    pkgtest::file("motor.krdev", box.read_file("motor.krdev")),
                                    pkgtest::file("display.krdev", box.read_file("display.krdev"))}));
    sim_tap_clear(tap);
    uint32_t f52 = prog(0x52).flashes, f50 = prog(0x50).flashes;
    e2e::result r = krcan({"--loadbin=machine.krsys"});
    EXPECT_TRUE(r.exited(1)) << r.out << r.err;
    EXPECT_EQ(prog(0x52).flashes, f52);
    EXPECT_EQ(prog(0x50).flashes, f50);
    for (const sim_frame_st &f : sent()) EXPECT_EQ(f.data[0], 0x40) << sim_frame_str(f);
    EXPECT_NE(r.out.find("Flashed 0/2 device(s) successfully.\n"), std::string::npos) << r.out;

    // The other rows in a system run: another vendor refuses it too; the matching device, the package
    // without a database and the unreadable identity are flashed, the last two with their warnings.
    auto system = [&](const std::string &name, const std::vector<std::pair<const char *, const char *>> &devs) {
        std::string list;
        std::vector<pkgtest::entry> e;
        for (const auto &[node, pkg] : devs) {
            list += std::string(list.empty() ? "" : ", ") + "{\"NODEID\": \"" + node + "\", \"KRDEV\": \"" + pkg +
                    "\"}";
            if (list.find(std::string("\"") + pkg + "\"") == list.rfind(std::string("\"") + pkg + "\""))
                e.push_back(pkgtest::file(pkg, box.read_file(pkg))); // one entry per package, however many use it
        }
        e.push_back(pkgtest::file("krsys.json", "{\"DEVS\": [" + list + "]}"));
        ASSERT_TRUE(pkgtest::write_zip(box.path(name).string(), e));
    };
    system("vendor.krsys", {{"0x50", "motor.krdev"}, {"0x51", "motor.krdev"}});
    uint32_t f51 = prog(0x51).flashes;
    f50 = prog(0x50).flashes;
    r = krcan({"--loadbin=vendor.krsys"});
    EXPECT_TRUE(r.exited(1)) << r.out << r.err;
    EXPECT_EQ(prog(0x50).flashes, f50);
    EXPECT_EQ(prog(0x51).flashes, f51);
    EXPECT_NE(r.out.find("node 0x51 is vendor 0x123 product 0x100, but package 'motor.krdev'"), std::string::npos)
        << r.out;

    system("fine.krsys", {{"0x50", "motor.krdev"}, {"0x51", "nodb.krdev"}, {"0x52", "motor.krdev"}});
    r = krcan({"--loadbin=fine.krsys"});
    EXPECT_TRUE(r.exited(0)) << r.out << r.err;
    EXPECT_EQ(prog(0x50).flashes, f50 + 1);
    EXPECT_EQ(prog(0x51).flashes, f51 + 1);
    EXPECT_EQ(prog(0x52).flashes, f52 + 1);
    EXPECT_EQ(prog(0x52).image, m);
    EXPECT_NE(r.out.find("Flashed 3/3 device(s) successfully.\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("WARNING: package 'nodb.krdev' has no device database, so node 0x51 could not"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("WARNING: the identity (0x1018) of node 0x52 could not be read"), std::string::npos) << r.out;
}

// The maker's bootloader after a flash cut short by Ctrl-C: it holds the pieces sent, which a reset
// would start. The interrupted run says so; the next flash does not reset it but waits for its power
// cycle, and the device then runs the whole new image, nothing before it.
TEST_F(Load, AMakersFlashAfterAnInterruptedOneWaitsForThePowerCycle)
{
    bytes old = random_bytes(64, 60), big = random_bytes(60000, 61);
    sim_device_config_st d = device(0x44, SIM_BOOT_KR, old);
    d.heartbeat_ms = 40;
    start({d});
    file("big.bin", big);

    e2e::background cut(box, KRCAN_BIN, args({"--nodeid", "0x44", "--krloadbin=big.bin"}));
    ASSERT_TRUE(cut.wait_for_output("Block 40 downloaded", 60000)) << cut.out() << cut.err();
    kill(cut.pid(), SIGINT);
    e2e::result r = e2e::wait_end(cut, 30000);
    settle();
    EXPECT_TRUE(r.exited(SIGINT)) << r.out << r.err;
    EXPECT_EQ(e2e::count(r.out, "was interrupted"), 1u) << r.out;
    EXPECT_NE(r.out.find("The flash of node 0x44 was interrupted: the device holds part of an image in its bootloader "
                         "and needs a power cycle (switch it off and on) before the next flash.\n"),
              std::string::npos)
        << r.out;
    ASSERT_GT(prog(0x44).pending, 0u);
    ASSERT_EQ(prog(0x44).mode, SIM_MODE_BOOT);

    e2e::background next(box, KRCAN_BIN, args({"--nodeid", "0x44", "--krloadbin=big.bin"}));
    ASSERT_TRUE(next.wait_for_output("Switch it off and on", 60000)) << next.out() << next.err();
    EXPECT_EQ(nmt(0x44), bytes{0x81}) << "only the cut flash's reset";
    ASSERT_TRUE(sim_dev_power(bench.devs, 0x44, 1000));
    EXPECT_TRUE(next.wait_end(120000));
    settle();
    r = next.stop();
    ASSERT_TRUE(r.exited(0)) << r.out << r.err;
    EXPECT_EQ(prog(0x44).image, big);
    EXPECT_EQ(prog(0x44).flashes, 1u);
    EXPECT_EQ(prog(0x44).mode, SIM_MODE_APP);
}

// A flash ends once the device has booted its new image, so a command straight after it finds the
// device up: loads run back to back against a device that takes a second to boot, none timing out.
TEST_F(Load, LoadsRunBackToBack)
{
    bytes old = random_bytes(64, 70), a = random_bytes(3000, 71), b = random_bytes(2000, 72);
    sim_device_config_st d = device(0x46, SIM_BOOT_CIA302, old);
    d.reset_delay_ms = 1000;
    start({d});
    file("a.bin", a);
    file("b.bin", b);
    for (int i = 0; i < 2; i++) {
        for (const char *f : {"a.bin", "b.bin"}) {
            e2e::options o;
            o.timeout_ms = 120000;
            // No settling between the runs: the next one starts as soon as the last has ended.
            e2e::result r = box.krcan(args({"--nodeid", "0x46", std::string("--loadbin=") + f}), o);
            EXPECT_TRUE(r.exited(0)) << f << r.out << r.err;
        }
    }
    settle();
    EXPECT_EQ(prog(0x46).image, b);
    EXPECT_EQ(prog(0x46).flashes, 4u);
    EXPECT_TRUE(sim_dev_abort_log(bench.devs, 0x46).empty());
}

} // namespace
