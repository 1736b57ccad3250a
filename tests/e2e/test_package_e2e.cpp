// Device and system packages through the krcan binary: --sys fills the system that a search then
// sees, bad elements are skipped aloud, temporary folders never outlive the run, and the options
// that would write packages refuse.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "e2e/e2e.h"
#include "sim_device.h"
#include "sim_setup.h"
#include "system/package_builder.h"

namespace {

namespace fs = std::filesystem;

const char *const device_db =
    "{\"DEV\": \"Motor\", \"VENDORID\": \"0x31D\", \"PRODUCTCODE\": 7, \"NODEID\": \"0x30\", \"OBJ_DICT\": "
    "[{\"name\": \"DEV_NAME\", \"index\": \"0x5FFF\", \"type\": \"CANOPEN_STRING\", \"permissions\": \"CANOPEN_RO\", "
    "\"subindex\": 0, \"default\": \"Motor X\", \"dataptr\": \"&dev_name\"}]}";

void write_system(const e2e::sandbox &box, const std::string &name, const std::string &devs)
{
    std::string motor = box.path("motor.krdev").string();
    ASSERT_TRUE(
        pkgtest::write_zip(motor, {pkgtest::file("krdev.json", "{\"DATABASE\": \"dev.json\", \"VERSION\": \"2.1\"}"),
                                   pkgtest::file("dev.json", device_db)}));
    ASSERT_TRUE(pkgtest::write_zip(box.path(name).string(),
                                   {pkgtest::file("krsys.json", "{\"DATE\": \"2026-11-02\", \"DEVS\": [" + devs + "]}"),
                                    pkgtest::file("devs/motor.krdev", box.read_file("motor.krdev"))}));
}

std::vector<std::string> tmp_entries(const e2e::sandbox &box)
{
    std::vector<std::string> v;
    for (const auto &e : fs::directory_iterator(box.tmp())) v.push_back(e.path().filename().string());
    return v;
}

sim_device_config_st device(uint8_t node)
{
    sim_device_config_st c;
    c.node_id = node;
    c.product = node;
    c.heartbeat_ms = 100;
    return c;
}

TEST(PackageE2e, SystemPackageFillsTheSystemForTheSearch)
{
    e2e::sandbox box;
    std::string good = "{\"NODEID\": \"0x14\", \"KRDEV\": \"devs/motor.krdev\"},"
                       "{\"NODEID\": 32, \"KRDEV\": \"devs/motor.krdev\"},"
                       "{\"KRDEV\": \"devs/motor.krdev\"}";
    write_system(box, "machine.krsys", good);
    write_system(box, "bad.krsys",
                 good + ",{\"NODEID\": 7},"
                        "{\"NODEID\": \"0x114\", \"KRDEV\": \"devs/motor.krdev\"},"
                        "{\"NODEID\": \"0x14zz\", \"KRDEV\": \"devs/motor.krdev\"},"
                        "{\"KRDEV\": \"../../motor.krdev\"}");
    sim_setup_st bench;
    std::string err;
    ASSERT_TRUE(sim_setup_start(bench, {device(0x14), device(0x20), device(0x30), device(0x40)}, 0, err)) << err;
    // Elements that cannot become devices: each is named, even when silent, and the run stops before
    // its first job.
    e2e::result r = box.krcan({"--silent", "--can", bench.channel, "--sys", "bad.krsys", "--find"});
    EXPECT_TRUE(r.exited(1)) << r.out << r.err;
    EXPECT_NE(r.out.find("System file device 3 has no KRDEV package.\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("System file device 4 ('devs/motor.krdev') has the node id 276, outside 0..127"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("System file device 5 ('devs/motor.krdev') has the node id '0x14zz'"), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("System file device 6 names the KRDEV path '../../motor.krdev'"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(
                  "ERROR: failed to load system package 'bad.krsys': its device 3, device 4 ('devs/motor.krdev'), "
                  "device 5 ('devs/motor.krdev') and 1 more cannot be taken into the system.\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find("Searching"), std::string::npos) << "no job ran";

    r = box.krcan({"--can", bench.channel, "--sys", "machine.krsys", "--find"});
    sim_setup_stop(bench);
    EXPECT_TRUE(r.exited(0)) << r.out << r.err;
    EXPECT_NE(r.out.find("System file saved on 2026-11-02\n"
                         "Loaded device 'devs/motor.krdev' (node 0x14, version 2.1) from the system file.\n"
                         "Loaded device 'devs/motor.krdev' (node 0x20, version 2.1) from the system file.\n"
                         "Loaded device 'devs/motor.krdev' (node 0x30, version 2.1) from the system file.\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(e2e::count(r.out, "Found Korvane device"), 1u) << r.out;
    EXPECT_NE(r.out.find("Found Korvane device at node 0x40 (vendor 0x31d, product code 0x40)\n"), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("Device search finished: 1 new device(s) found.\n"), std::string::npos) << r.out;
    EXPECT_TRUE(tmp_entries(box).empty()) << "removed at exit";
}

TEST(PackageE2e, FullSystemAndTemporaryFoldersOfEveryEnd)
{
    e2e::sandbox box;
    std::string devs;
    for (int i = 0; i < 25; i++)
        devs += std::string(i ? "," : "") + "{\"NODEID\": " + std::to_string(0x50 + i) +
                ", \"KRDEV\": \"devs/motor.krdev\"}";
    write_system(box, "big.krsys", devs);

    // More devices than a system holds: those left over are named and the run stops.
    e2e::result r = box.krcan({"--sys", "big.krsys"});
    EXPECT_TRUE(r.exited(1)) << r.out << r.err;
    EXPECT_EQ(e2e::count(r.out, "Loaded device"), 20u) << r.out;
    EXPECT_EQ(e2e::count(r.out, "does not fit: a system can hold at most 20 devices."), 5u) << r.out;
    EXPECT_NE(r.out.find("System file device 24 ('devs/motor.krdev') does not fit"), std::string::npos) << r.out;
    EXPECT_TRUE(tmp_entries(box).empty()) << "refused package";
    write_system(box, "big.krsys", devs.substr(0, devs.find(",{\"NODEID\": " + std::to_string(0x50 + 20))));
    r = box.krcan({"--sys", "big.krsys"});
    EXPECT_TRUE(r.exited(0)) << r.out << r.err;
    EXPECT_NE(r.out.find("(node 0x63, version 2.1)"), std::string::npos) << r.out;
    EXPECT_TRUE(tmp_entries(box).empty()) << "normal run";

    // A job that fails: nothing listens on the channel's port.
    r = box.krcan({"--can", "socketcand://127.0.0.1:1/vcan0", "--sys", "big.krsys", "--find"});
    EXPECT_TRUE(r.exited(1)) << r.out << r.err;
    EXPECT_TRUE(tmp_entries(box).empty()) << "failed job";

    // A run refused while the command line is read.
    r = box.krcan({"--sys", "big.krsys", "--makekrdev", "out.krdev"});
    EXPECT_TRUE(r.exited(1)) << r.out << r.err;
    EXPECT_TRUE(tmp_entries(box).empty()) << "refused run";

    // A package that does not open stops the run, with the reason when not silent.
    r = box.krcan({"--silent", "--sys", "missing.krsys", "--find"});
    EXPECT_TRUE(r.exited(1)) << r.out << r.err;
    EXPECT_NE(r.err.find("Refusing 'missing.krsys': it could not be opened: No such file or directory.\n"
                         "Failed to extract 'missing.krsys'. Is it a valid .krsys package and is the extraction "
                         "tool (libarchive) available?\n"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.out.find("command 'sys' returned with FALSE, terminating."), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("Searching"), std::string::npos) << "no job ran";
    EXPECT_TRUE(tmp_entries(box).empty());

    // More system packages than any fixed registry would hold: every folder goes at exit.
    std::vector<std::string> many;
    for (int i = 0; i < 20; i++) many.insert(many.end(), {"--sys", "big.krsys"});
    r = box.krcan(many);
    EXPECT_TRUE(r.exited(0)) << r.out << r.err;
    EXPECT_TRUE(tmp_entries(box).empty()) << "twenty packages";

    // Left behind by runs that ended on a signal: a dead run's files and folders go at the next start;
    // a live run's, and a name without a pid, stay.
    pid_t dead = fork();
    if (dead == 0) _exit(0);
    ASSERT_EQ(waitpid(dead, nullptr, 0), dead);
    std::string d = std::to_string(dead), live = "krcan_krsys." + std::to_string(getpid()) + ".a1b2c3";
    fs::create_directories(box.tmp() / ("krcan_krdev." + d + ".a1b2c3") / "fw");
    fs::create_directories(box.tmp() / live);
    for (const std::string &f : {"krcan_http_cfg_" + d + "_a1b2c3", "krcan_su_manifest_" + d + "_a1b2c3",
                                 "krcan_krdev." + d + ".a1b2c3/fw/x.bin", std::string("krcan_http_cfg_a1b2c3")})
        std::ofstream(box.tmp() / f) << "x";
    // A run that makes no temporary folder leaves the folder unread.
    r = box.krcan({"--can", "socketcand://127.0.0.1:1/vcan0", "--version"});
    EXPECT_TRUE(r.exited(0)) << r.out << r.err;
    EXPECT_EQ(tmp_entries(box).size(), 5u);
    r = box.krcan({"--sys", "big.krsys"});
    EXPECT_TRUE(r.exited(0)) << r.out << r.err;
    std::vector<std::string> left = tmp_entries(box);
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"krcan_http_cfg_a1b2c3", live}));
}

// Why a package was refused is in the error line itself, whatever the message setting.
TEST(PackageE2e, RefusedPackagesSayWhy)
{
    e2e::sandbox box;
    ASSERT_TRUE(
        pkgtest::write_zip(box.path("slip.krdev").string(), {pkgtest::file("krdev.json", "{\"FIRMWARE\": \"fw.bin\"}"),
                                                             pkgtest::file("../fw.bin", "x")}));
    box.write_file("random.krsys", "no zip archive at all");
    e2e::result r = box.krcan({"--can", "socketcand://127.0.0.1:1/vcan0", "--loadbin=slip.krdev:0x70"});
    EXPECT_TRUE(r.exited(1)) << r.out << r.err;
    EXPECT_NE(r.out.find("ERROR: failed to open the device package 'slip.krdev': the entry '../fw.bin' would land "
                         "outside the folder.\n"),
              std::string::npos)
        << r.out;
    r = box.krcan({"--sys", "random.krsys"});
    EXPECT_TRUE(r.exited(1)) << r.out << r.err;
    EXPECT_NE(r.out.find("ERROR: failed to load system package 'random.krsys': Unrecognized archive format.\n"),
              std::string::npos)
        << r.out;
}

TEST(PackageE2e, WritingOptionsRefuse)
{
    e2e::sandbox box;
    struct refusal {
        std::vector<std::string> args;
        std::string message;
        std::string command;
    };
    std::vector<std::string> media;
    for (int i = 0; i < 33; i++) media.insert(media.end(), {"--media", "m" + std::to_string(i) + ".png"});
    std::vector<std::string> esp;
    for (int i = 0; i < 17; i++) esp.insert(esp.end(), {"--esp32", "0x" + std::to_string(i + 1) + "000=e.bin"});
    std::vector<refusal> cases = {
        {{"--makekrdev", "out.krdev"}, "ERROR: writing .krdev packages is not supported on Linux.\n", "makekrdev"},
        {{"--savesys", "out.krsys"},
         "ERROR: no devices to save. Give them with --dev or --sys before --savesys.\n",
         "savesys"},
        {media, "At most 32 'media' options can be given.\n", "media"},
        {{"--mediadir", "/abs"},
         "Give the 'mediadir' option a directory name inside the package, not an absolute path.\n",
         "mediadir"},
        {{"--mediadir", std::string(300, 'd')}, "The value given for the 'mediadir' option is too long.\n", "mediadir"},
        // Refused with the whole command line, before any command.
        {{"--esp32", "0x1000"}, "ERROR: invalid offset in '0x1000' for --esp32", ""},
        {{"--esp32", "=e.bin"}, "invalid offset in '=e.bin'", ""},
        {{"--esp32", "0x10zz=e.bin"}, "invalid offset in '0x10zz=e.bin'", ""},
        {{"--esp32", "0x100000000=e.bin"}, "invalid offset in '0x100000000=e.bin'", ""},
        {{"--esp32", "0x1000="}, "Give a value for the 'esp32' option.\n", "esp32"},
        {esp, "At most 16 'esp32' options can be given.\n", "esp32"},
    };
    for (const refusal &c : cases) {
        std::vector<std::string> args = {"--silent"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        args.push_back("--find");
        e2e::result r = box.krcan(args);
        EXPECT_TRUE(r.exited(1)) << c.message << r.out << r.err;
        EXPECT_NE(r.out.find(c.message), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("command '" + c.command + "' returned with FALSE, terminating.\n") != std::string::npos,
                  !c.command.empty())
            << r.out;
        EXPECT_EQ(r.out.find("Searching"), std::string::npos);
    }
    EXPECT_FALSE(fs::exists(box.path("out.krdev")));

    // Accepted forms confirm themselves when not silent.
    e2e::result r = box.krcan({"--silent", "--media", "a.png", "--mediadir", "media_hd", "--esp32",
                               "0x60000=esp-at.bin", "--esp32", "010=b.bin"});
    EXPECT_TRUE(r.exited(0)) << r.out << r.err;
    EXPECT_NE(r.err.find("Added 'a.png' to the media of the package\n"
                         "The media directory of the package set to 'media_hd'\n"
                         "Added ESP32 image 'esp-at.bin' at 0x60000 to the package\n"
                         "Added ESP32 image 'b.bin' at 0x8 to the package\n"),
              std::string::npos)
        << r.err;
}

TEST(PackageE2e, SavesysListensThenFailsTheRun)
{
    e2e::sandbox box;
    write_system(box, "machine.krsys", "{\"NODEID\": \"0x14\", \"KRDEV\": \"devs/motor.krdev\"}");
    sim_setup_st bench;
    std::string err;
    ASSERT_TRUE(sim_setup_start(bench, {device(0x14)}, 0, err)) << err;
    e2e::result r = box.krcan({"--can", bench.channel, "--sys", "machine.krsys", "--savesys", "out.krsys"});
    sim_setup_stop(bench);
    EXPECT_TRUE(r.exited(1)) << r.out << r.err;
    EXPECT_NE(r.out.find("Listening for the devices on the bus...\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("ERROR: writing .krsys packages is not supported on Linux.\n"), std::string::npos) << r.out;
    EXPECT_FALSE(fs::exists(box.path("out.krsys")));
    EXPECT_TRUE(tmp_entries(box).empty());
}

} // namespace
