// Media download and clearing, end to end: krcan on the virtual bus against simulated display
// devices, checked by what the devices stored, not only by what krcan printed. The bounded waits run
// the entry point in a forked child with shortened limits.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "e2e/e2e.h"
#include "e2e/krcan_child.h"
#include "firmware/media.h"
#include "sim_client.h"
#include "sim_media.h"
#include "sim_setup.h"
#include "system/package_builder.h"
#include "run/commands.h"
#include "run/main.h"

namespace {

std::string bytes(size_t n, unsigned seed)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++) s[i] = (char)((i * 2654435761u + seed * 97u) >> 13);
    return s;
}

sim_device_config_st display(uint8_t node, uint8_t block_size)
{
    sim_device_config_st c;
    c.node_id = node;
    c.heartbeat_ms = 100;
    c.start_operational = true;
    c.media.enabled = true;
    c.media.block_size = block_size;
    return c;
}

class Media : public ::testing::Test {
protected:
    void start(const std::vector<sim_device_config_st> &devs)
    {
        std::string err;
        ASSERT_TRUE(sim_setup_start(bench, devs, 0, err)) << err;
    }
    void TearDown() override { sim_setup_stop(bench); }

    // The files a device holds, by name.
    std::map<std::string, std::string> files(uint8_t node)
    {
        std::map<std::string, std::string> m;
        for (const sim_media_file_st &f : sim_media_files(bench.devs, node))
            m[f.name] = std::string(f.data.begin(), f.data.end());
        return m;
    }
    std::vector<std::string> args(std::vector<std::string> rest)
    {
        rest.insert(rest.begin(), {"--can", bench.channel});
        return rest;
    }

    e2e::sandbox box;
    sim_setup_st bench;
};

TEST_F(Media, FolderFilesAndWordsShareOneCount)
{
    start({display(0x20, 200)});
    const std::string a = bytes(1000, 1), c = bytes(333, 2), logo = bytes(77, 3);
    box.write_file("pics/a.png", a);
    box.write_file("pics/b.txt", "not media");
    box.write_file("pics/c.BIN", c);
    box.write_file("pics/logo.Png", "mixed case is not recognised in a folder");
    box.write_file("pics/y.png/inner.png", "a folder named like a picture is not entered");
    box.write_file("logo.Png", logo);
    box.write_file("more/empty.bin", "");

    e2e::result r = box.krcan(args({"--nodeid", "0x20", "--loadmedia=pics", "logo.Png", "more/"}));
    ASSERT_TRUE(r.exited(0)) << r.out << r.err;

    std::map<std::string, std::string> got = files(0x20);
    ASSERT_EQ(got.size(), 4u) << r.out;
    EXPECT_EQ(got["pics/a.png"], a);
    EXPECT_EQ(got["pics/c.BIN"], c);
    EXPECT_EQ(got["logo.Png"], logo);
    ASSERT_TRUE(got.count("more/empty.bin")) << "the join adds no second '/'";
    EXPECT_EQ(got["more/empty.bin"], "");

    // a.png: five blocks at 0..800, the progress at 20 % steps; the empty file sends no block.
    std::vector<uint32_t> offsets;
    for (const sim_media_commit_st &k : sim_media_commits(bench.devs, 0x20)) {
        EXPECT_NE(k.name, "more/empty.bin");
        if (k.name == "pics/a.png") {
            offsets.push_back(k.offset);
            EXPECT_EQ(k.len, 200u);
        }
    }
    EXPECT_EQ(offsets, (std::vector<uint32_t>{0, 200, 400, 600, 800}));
    for (int pct = 20; pct <= 100; pct += 20)
        EXPECT_NE(r.out.find("bytes (" + std::to_string(pct) + " %) file "), std::string::npos) << pct << r.out;
    EXPECT_NE(r.out.find("Loading 'pics/a.png' 1000 / 1000 bytes (100 %) file "), std::string::npos) << r.out;
    // The folder's files in the order the file system lists them, then the words, in one count.
    bool a_first = r.out.find("'pics/a.png' 1000 / 1000 bytes (100 %) file 1/4") != std::string::npos;
    EXPECT_NE(r.out.find(std::string("'pics/c.BIN' 333 / 333 bytes (100 %) file ") + (a_first ? "2/4" : "1/4")),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("'logo.Png' 77 / 77 bytes (100 %) file 3/4"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Opened file more/empty.bin. Size: 0 bytes.\n\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Node 0x20 is operational, starting the media download.\n"), std::string::npos);
}

TEST_F(Media, FailedFilesFailTheRunAndLaterFilesStillLoad)
{
    sim_device_config_st d = display(0x20, 100);
    d.media.abort_block = 2; // the second block of the device's life
    start({d});
    const std::string first = bytes(350, 4), second = bytes(150, 5);
    box.write_file("first.bin", first);
    box.write_file("second.bin", second);

    // A file the 4-byte size cannot announce (sparse, so nothing is written).
    box.write_file("huge.bin", "");
    std::filesystem::resize_file(box.path("huge.bin"), (1ull << 32) + 1);

    e2e::result r = box.krcan(
        args({"-n", "0x20", "--loadmedia", "first.bin", "missing.png", "huge.bin", "second.bin"}));
    EXPECT_TRUE(r.exited(1)) << r.out << r.err;
    EXPECT_NE(r.out.find("Error while downloading the media data.\nSDO abort code 0x06060000: OBJECT ACCESS FAILED DUE "
                         "TO HARDWARE\n*** ERROR ***:\n    Media file first.bin loading failed\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("Unknown file 'missing.png' given to *loadmedia*\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Opened file huge.bin. Size: 4294967297 bytes.\n"
                         "ERROR: media file 'huge.bin' is larger than the 4 GiB a device can be told.\n"),
              std::string::npos)
        << r.out;
    std::map<std::string, std::string> got = files(0x20);
    EXPECT_EQ(got["second.bin"], second) << "the file after the failures loads";
    EXPECT_EQ(got.count("huge.bin"), 0u) << "not announced with a cut size";
    EXPECT_NE(r.out.find("'second.bin' 150 / 150 bytes (100 %) file 3/3"), std::string::npos) << r.out;
    EXPECT_EQ(got["first.bin"].size(), 100u) << "only the block before the abort was stored";

    // A file that cannot be opened says so whatever --silent says (here as an account that may not read
    // it: root reads every file).
    box.write_file("locked.png", "secret");
    chmod(box.path("locked.png").c_str(), 0);
    chmod(box.dir().c_str(), 0755);
    r = e2e::krcan_in_child(box, args({"-n", "0x20", "--loadmedia", "locked.png", "second.bin"}), [] {
        if (geteuid() == 0 && (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0)) _exit(95);
    });
    EXPECT_TRUE(r.exited(1)) << r.out << r.err;
    EXPECT_EQ(r.err, "Failed to open media file locked.png.\n");
    EXPECT_NE(r.out.find("*** ERROR ***:\n    Media file locked.png loading failed\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("'second.bin' 150 / 150 bytes (100 %) file 2/2"), std::string::npos) << r.out;

    // A device that is not ready (block size 0) fails every file before anything is announced.
    sim_media_config_st not_ready = d.media;
    not_ready.block_size = 0;
    sim_media_configure(bench.devs, 0x20, not_ready);
    box.write_file("third.png", bytes(10, 6));
    r = box.krcan(args({"-n", "0x20", "--loadmedia", "third.png"}));
    EXPECT_TRUE(r.exited(1)) << r.out << r.err;
    EXPECT_NE(r.out.find("ERROR: Couldn't read the block size for media transfer.\n*** ERROR ***:\n    Media file "
                         "third.png loading failed\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(files(0x20).count("third.png"), 0u);
}

TEST_F(Media, EachJobKeepsItsOwnFileAndNode)
{
    start({display(0x10, 64), display(0x20, 64)});
    const std::string a = bytes(90, 7), b = bytes(130, 8);
    box.write_file("a.png", a);
    box.write_file("b.png", b);
    e2e::result r = box.krcan(args({"--loadmedia=a.png:0x10", "--loadmedia=b.png:0x20"}));
    ASSERT_TRUE(r.exited(0)) << r.out << r.err;
    EXPECT_EQ(files(0x10), (std::map<std::string, std::string>{{"a.png", a}}));
    EXPECT_EQ(files(0x20), (std::map<std::string, std::string>{{"b.png", b}}));

    // The node selected before --clearmedia is the one cleared, not the one selected after it.
    r = box.krcan(args({"--nodeid", "0x10", "--clearmedia", "--nodeid", "0x20"}));
    ASSERT_TRUE(r.exited(0)) << r.out << r.err;
    EXPECT_NE(r.out.find("Media cleared from node 0x10\n"), std::string::npos) << r.out;
    EXPECT_TRUE(files(0x10).empty());
    EXPECT_EQ(files(0x20).size(), 1u);

    // Without a node before it, the node selected when it runs.
    r = box.krcan(args({"--clearmedia", "--nodeid", "0x20"}));
    ASSERT_TRUE(r.exited(0)) << r.out << r.err;
    EXPECT_TRUE(files(0x20).empty());

    // Node 0 reaches no media job, and nothing goes on the bus for it.
    std::string err;
    sim_tap_st *tap = sim_tap_start(bench.port, "vcan0", err);
    ASSERT_NE(tap, nullptr) << err;
    r = box.krcan(args({"--nodeid", "0", "--loadmedia=a.png", "--clearmedia"}));
    EXPECT_TRUE(r.exited(1)) << r.out << r.err;
    EXPECT_EQ(e2e::count(r.out, "needs the device's node id (1..127)"), 2u) << r.out;
    for (const sim_frame_st &f : sim_tap_frames(tap)) EXPECT_NE(f.id & 0x780u, 0x600u) << sim_frame_str(f);
    sim_tap_stop(tap);
}

TEST_F(Media, EveryWaitOnTheDeviceIsBounded)
{
    sim_device_config_st stuck = display(0x20, 64);
    stuck.media.commit_never = true;
    stuck.media.clear_never = true;
    sim_device_config_st deaf = display(0x21, 64);
    sim_device_config_st slow = display(0x22, 64);
    slow.media.clear_ms = 1500;
    start({stuck, deaf, slow});
    sim_fault_st silent;
    silent.kind = SIM_FAULT_SILENT;
    silent.index = 0x5FF9;
    silent.dir = SIM_DIR_UPLOAD;
    silent.count = -1;
    sim_dev_add_fault(bench.devs, 0x21, silent);
    box.write_file("x.png", bytes(100, 9));
    auto shortened = [] { loadmedia_set_time_limits(1500, 2500); };

    // A commit that is never done, and one whose reads go unanswered: each fails its file.
    e2e::result r = e2e::krcan_in_child(box,
                                        args({"-n", "0x20", "--loadmedia=x.png", "-n", "0x21", "--loadmedia=x.png"}),
                                        shortened);
    EXPECT_TRUE(r.exited(1)) << r.out << r.err;
    EXPECT_NE(r.out.find("ERROR: node 0x20 did not store the block at offset 0 within 1500 ms.\n*** ERROR ***"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("ERROR: couldn't read whether node 0x21 stored the block at offset 0.\nSDO abort code "
                         "0x05040000: SDO PROTOCOL TIMED OUT\n*** ERROR ***"),
              std::string::npos)
        << r.out;
    EXPECT_LT(r.wall_ms, 25000) << "the SDO time-out and one retry bound the unanswered read";

    // A clear that never ends is given up; a working one empties the device.
    box.write_file("y.png", bytes(20, 10));
    ASSERT_TRUE(box.krcan(args({"-n", "0x22", "--loadmedia=y.png"})).exited(0));
    ASSERT_EQ(files(0x22).size(), 1u);
    r = e2e::krcan_in_child(box, args({"-n", "0x20", "--clearmedia", "-n", "0x22", "--clearmedia"}), shortened);
    EXPECT_TRUE(r.exited(1)) << r.out << r.err;
    EXPECT_NE(r.out.find("ERROR: node 0x20 did not finish clearing its media within 2 seconds.\n"), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find(".Media cleared from node 0x22\n"), std::string::npos) << r.out;
    EXPECT_TRUE(files(0x22).empty());
}

const char *const kDisplayDb =
    "{\"DEV\": \"Display\", \"VENDORID\": \"0x31D\", \"PRODUCTCODE\": 9, \"NODEID\": \"0x30\", \"OBJ_DICT\": "
    "[{\"name\": \"DEV_NAME\", \"index\": \"0x5FFF\", \"type\": \"CANOPEN_STRING\", \"permissions\": \"CANOPEN_RO\", "
    "\"subindex\": 0, \"default\": \"Display\", \"dataptr\": \"&dev_name\"}]}";

std::string g_channel, g_package;

// The window's media job, then its end polled as the window does.
void window_job(void *)
{
    for (uint8_t node : {(uint8_t)0x30, (uint8_t)0x31, (uint8_t)0}) {
        loadmedia_load_device_async(g_package.c_str(), node);
        for (int i = 0; i < 600 && !loadmedia_load_device_is_finished(); i++) kr_rtos_task_delay(50);
        std::printf("finished 0x%x %d\n", node, loadmedia_load_device_is_finished() ? 1 : 0);
        std::fflush(stdout);
    }
}

TEST_F(Media, PackagesSendNamesRelativeToTheirRoot)
{
    sim_device_config_st plain = display(0x40, 64);
    plain.media.enabled = false;
    start({display(0x30, 64), display(0x31, 64), plain});
    const std::string x = bytes(150, 11);
    ASSERT_TRUE(pkgtest::write_zip(box.path("media.krdev").string(),
                                   {pkgtest::file("krdev.json", "{\"DATABASE\": \"dev.json\", \"MEDIA\": \"media\"}"),
                                    pkgtest::file("dev.json", kDisplayDb), pkgtest::file("media/x.png", x),
                                    pkgtest::file("media/notes.txt", "not media"),
                                    pkgtest::file("media/deep/y.png", "not entered")}));
    ASSERT_TRUE(pkgtest::write_zip(box.path("nomedia.krdev").string(),
                                   {pkgtest::file("krdev.json", "{\"DATABASE\": \"dev.json\"}"),
                                    pkgtest::file("dev.json", kDisplayDb)}));
    ASSERT_TRUE(pkgtest::write_zip(
        box.path("machine.krsys").string(),
        {pkgtest::file("krsys.json", "{\"DEVS\": [{\"NODEID\": \"0x30\", \"KRDEV\": \"devs/media.krdev\"}, "
                                     "{\"NODEID\": \"0x31\", \"KRDEV\": \"devs/nomedia.krdev\"}]}"),
         pkgtest::file("devs/media.krdev", box.read_file("media.krdev")),
         pkgtest::file("devs/nomedia.krdev", box.read_file("nomedia.krdev"))}));

    // A device package at its database's node id.
    e2e::result r = box.krcan(args({"--loadmedia=media.krdev"}));
    ASSERT_TRUE(r.exited(0)) << r.out << r.err;
    EXPECT_NE(r.out.find("=== Loading media to device 'media' (node 0x30) ===\n"), std::string::npos) << r.out;
    EXPECT_EQ(files(0x30), (std::map<std::string, std::string>{{"media/x.png", x}}));
    EXPECT_NE(r.out.find("'media/x.png' 150 / 150 bytes (100 %) file 1/1"), std::string::npos) << r.out;

    // A system package, then every device of the system: one without media warns, one found on the bus
    // without a package is skipped; neither fails the run.
    sim_dev_media(bench.devs, 0x30, [](sim_media_st &m, std::map<uint32_t, sim_object_st> &) { m.files.clear(); });
    r = box.krcan(args({"--loadmedia=machine.krsys", "--find", "--loadmedia"}));
    ASSERT_TRUE(r.exited(0)) << r.out << r.err;
    EXPECT_EQ(files(0x30), (std::map<std::string, std::string>{{"media/x.png", x}}));
    EXPECT_TRUE(files(0x31).empty());
    EXPECT_EQ(e2e::count(r.out, "nomedia.krdev' bundles no media files to load.\n"), 2u) << r.out;
    EXPECT_NE(r.out.find("Skipping device 'Node 0x40' (node 0x40): no configuration package.\n"), std::string::npos)
        << r.out;

    // The window's job resets the device only when every file loaded, and never runs for node 0.
    sim_media_config_st not_ready = display(0x31, 0).media;
    sim_media_configure(bench.devs, 0x31, not_ready);
    g_channel = bench.channel;
    g_package = box.path("media.krdev").string();
    r = e2e::run_in_child(box, [] {
        init(&dev);
        if (!cmd_can(g_channel.c_str()) || !add_task(window_job)) return 97;
        return main_start_run();
    });
    EXPECT_TRUE(r.exited(1)) << r.out << r.err;
    EXPECT_NE(r.out.find("Resetting node 0x30 (NMT reset node) to apply the new media...\nfinished 0x30 1\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("ERROR: the media of node 0x31 did not load; the node is not reset.\n"
                         "finished 0x31 1\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("finished 0x0 1\n"), std::string::npos) << r.out;
    EXPECT_EQ(sim_dev_nmt_count(bench.devs, 0x30, 0x81), 1u);
    EXPECT_EQ(sim_dev_nmt_count(bench.devs, 0x31, 0x81), 0u);
    EXPECT_EQ(sim_dev_nmt_count(bench.devs, 0x40, 0x81), 0u) << "no reset for all nodes";
}

} // namespace
