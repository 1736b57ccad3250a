// Device and system packages: manifests, hostile archives, caps, the system package's devices, the
// temporary folders and rebuilding a package in place.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "database/db.h"
#include "read_all.h"
#include "run/main.h"
#include "system/package.h"
#include "system/system.h"
#include "system/package_builder.h"
#include "e2e/e2e.h"

namespace fs = std::filesystem;
using pkgtest::entry;

namespace {

std::string device_db(const char *name, const char *nodeid)
{
    return std::string("{\"DEV\": \"") + name + "\", \"VENDORID\": \"0x31D\", \"PRODUCTCODE\": 7, \"NODEID\": \"" +
           nodeid +
           "\", \"OBJ_DICT\": [{\"name\": \"DEV_NAME\", \"index\": \"0x5FFF\", \"type\": \"CANOPEN_STRING\", "
           "\"permissions\": \"CANOPEN_RO\", \"stringsize\": 128, \"default\": \"" +
           name + "\", \"dataptr\": \"&dev_name\"}]}";
}

// The manifest of a device package with a database and a firmware binary.
std::string device_manifest(const char *version)
{
    return std::string("{\"DATABASE\": \"db/dev.json\", \"FIRMWARE\": \"fw.bin\", \"VERSION\": \"") + version + "\"}";
}

struct PackageTest : ::testing::Test {
    fs::path root, tmp;
    std::string old_tmpdir;
    bool had_tmpdir = false;

    void SetUp() override
    {
        char t[] = "/tmp/krcan_pkgtest_XXXXXX";
        ASSERT_NE(mkdtemp(t), nullptr);
        root = t;
        tmp = root / "tmp";
        fs::create_directories(tmp);
        if (const char *o = getenv("TMPDIR")) {
            old_tmpdir = o;
            had_tmpdir = true;
        }
        setenv("TMPDIR", tmp.c_str(), 1);
        silent = false;
        archive_set_limits(ARCHIVE_MAX_BYTES_DEFAULT, ARCHIVE_MAX_ENTRIES_DEFAULT);
        system_reset(&dev.system);
        db_set_nodeid_state(&dev.db, 0, false, false);
        std::ofstream(root / "canary.txt") << "canary";
    }
    void TearDown() override
    {
        system_remove_tmpdirs();
        archive_set_limits(ARCHIVE_MAX_BYTES_DEFAULT, ARCHIVE_MAX_ENTRIES_DEFAULT);
        silent = true;
        if (had_tmpdir)
            setenv("TMPDIR", old_tmpdir.c_str(), 1);
        else
            unsetenv("TMPDIR");
        std::error_code ec;
        fs::remove_all(root, ec);
    }

    std::set<std::string> names_in(const fs::path &d) const
    {
        std::set<std::string> s;
        for (const auto &e : fs::directory_iterator(d)) s.insert(e.path().filename().string());
        return s;
    }
    std::string pkg(const std::string &name, const std::vector<entry> &entries) const
    {
        std::string p = (root / name).string();
        EXPECT_TRUE(pkgtest::write_zip(p, entries)) << name;
        return p;
    }
};

TEST_F(PackageTest, ManifestsJsonYamlAndEsp32Images)
{
    std::string long_version(100, 'v');
    std::string json = "{\"DATABASE\": \"db/dev.json\", \"FIRMWARE\": \"bin/fw.bin\", \"LINUX_BIN\": \"sim\", "
                       "\"VERSION\": \"" +
                       long_version +
                       "\", \"MEDIA\": \"media\", \"ESP32\": {\"0x10000\": "
                       "\"esp/app.bin\", \"word\": \"esp/x.bin\", \"0x8000\": \"esp/part.bin\", \"0x1000\": 5, "
                       "\"0x100000000\": \"esp/big.bin\", \"0x000000000000000000000000000000001\": \"esp/l.bin\"}}";
    std::string p = pkg("a.krdev",
                        {pkgtest::file("krdev.json", json), pkgtest::file("krdev.yaml", "VERSION: \"yaml\"\n"),
                         pkgtest::file("bin/fw.bin", "FIRMWARE"), pkgtest::file("sim", "#!", 0755),
                         pkgtest::dir("media/"), pkgtest::file("media/a.png", "png")});
    krdev_st k;
    ASSERT_TRUE(krdev_open(&k, p.c_str()));
    EXPECT_STREQ(k.database, "db/dev.json");
    EXPECT_STREQ(k.firmware, "bin/fw.bin");
    EXPECT_STREQ(k.linux_bin, "sim");
    EXPECT_STREQ(k.media, "media");
    EXPECT_EQ(std::string(k.version), long_version.substr(0, 63)) << "JSON wins over YAML; display texts are cut";
    ASSERT_EQ(k.esp32_count, 2) << "a word, a non-string, an offset past 32 bits and a 35-character key are skipped";
    EXPECT_EQ(k.esp32[0].offset, 0x10000u);
    EXPECT_STREQ(k.esp32[0].file, "esp/app.bin");
    EXPECT_EQ(k.esp32[1].offset, 0x8000u);
    EXPECT_STREQ(k.esp32[1].file, "esp/part.bin");
    fs::path dir = k.dir;
    EXPECT_EQ(dir.parent_path(), tmp);
    EXPECT_EQ(dir.filename().string().rfind("krcan_krdev." + std::to_string(getpid()) + ".", 0), 0u) << dir;
    EXPECT_EQ(fs::status(dir).permissions() & fs::perms::all, fs::perms::owner_all);
    EXPECT_EQ(read_all(dir / "bin/fw.bin"), "FIRMWARE");
    EXPECT_TRUE((fs::status(dir / "sim").permissions() & fs::perms::owner_exec) != fs::perms::none);
    EXPECT_TRUE((fs::status(dir / "bin/fw.bin").permissions() & fs::perms::owner_exec) == fs::perms::none);
    krdev_close(&k);
    EXPECT_EQ(k.dir[0], '\0');
    EXPECT_FALSE(fs::exists(dir));

    // Only YAML: read as YAML.
    p = pkg("y.krdev",
            {pkgtest::file("krdev.yml", "FIRMWARE: \"fw.bin\"\nVERSION: \"1.2\"\nESP32:\n  0x1000: \"b.bin\"\n")});
    ASSERT_TRUE(krdev_open(&k, p.c_str()));
    EXPECT_STREQ(k.firmware, "fw.bin");
    EXPECT_STREQ(k.version, "1.2");
    ASSERT_EQ(k.esp32_count, 1);
    EXPECT_EQ(k.esp32[0].offset, 0x1000u);
    krdev_close(&k);

    // A zero-size manifest, none at all, a system manifest without DEVS: refused, nothing left.
    testing::internal::CaptureStderr();
    EXPECT_FALSE(krdev_open(&k, pkg("e.krdev", {pkgtest::file("krdev.json", "")}).c_str()));
    EXPECT_FALSE(krdev_open(&k, pkg("n.krdev", {pkgtest::file("other.json", "{}")}).c_str()));
    EXPECT_FALSE(
        system_set_file(&dev.system, pkg("s.krsys", {pkgtest::file("krsys.json", "{\"DATE\": \"x\"}")}).c_str()));
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("Failed to read the manifest '" + tmp.string()), std::string::npos) << err;
    EXPECT_NE(err.find("/krdev.json' of '" + (root / "e.krdev").string() + "'.\n"), std::string::npos) << err;
    EXPECT_NE(err.find("Package '" + (root / "n.krdev").string() + "' does not contain a krdev.json manifest.\n"),
              std::string::npos);
    EXPECT_NE(err.find("ERROR: the system file has no DEVS array.\n"), std::string::npos);
    EXPECT_FALSE(dev.system.loaded);
    EXPECT_TRUE(names_in(tmp).empty());

    // A system package path the record cannot hold whole is refused before anything is extracted.
    std::string deep = (root / std::string(1100, 'd')).string();
    testing::internal::CaptureStderr();
    EXPECT_FALSE(system_set_file(&dev.system, deep.c_str()));
    err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("is longer than 1023 characters"), std::string::npos) << err;
    EXPECT_TRUE(names_in(tmp).empty());
}

TEST_F(PackageTest, HostileArchivesAreRefusedWhole)
{
    const std::string manifest = "{\"FIRMWARE\": \"fw.bin\"}";
    std::string abs_target = (root / "abs_written").string();
    struct hostile {
        const char *what;
        std::vector<entry> entries;
        std::string reason;
    };
    std::vector<hostile> cases = {
        {"dot-dot",
         {pkgtest::file("krdev.json", manifest), pkgtest::file("a/../../canary.txt", "owned")},
         "would land outside the folder"},
        {"absolute",
         {pkgtest::file("krdev.json", manifest), pkgtest::file(abs_target, "owned")},
         "would land outside the folder"},
        {"link out",
         {pkgtest::file("krdev.json", manifest), pkgtest::link("up", "../../canary.txt")},
         "the symbolic link 'up' points outside the folder"},
        {"absolute link",
         {pkgtest::file("krdev.json", manifest), pkgtest::link("etc", "/etc")},
         "the symbolic link 'etc' points outside the folder"},
        // Each link lexically inside; together "s/z" resolves to the folder's parent.
        {"link chain",
         {pkgtest::file("krdev.json", manifest), pkgtest::link("s/y", "."), pkgtest::link("s/z", "y/../..")},
         "the symbolic link 's/z' points outside the folder"},
        // A later entry would pass through an earlier link, even one that stays inside.
        {"through link",
         {pkgtest::file("krdev.json", manifest), pkgtest::dir("real/"), pkgtest::link("d", "real"),
          pkgtest::file("d/x", "x")},
         "written through the symbolic link 'd'"},
        {"through link out",
         {pkgtest::file("krdev.json", manifest), pkgtest::link("d", "../.."), pkgtest::file("d/canary.txt", "owned")},
         "written through the symbolic link 'd'"},
        {"duplicate",
         {pkgtest::file("krdev.json", manifest), pkgtest::file("fw.bin", "one"), pkgtest::file("fw.bin", "two")},
         "two entries are named 'fw.bin'"},
        {"file over folder",
         {pkgtest::file("krdev.json", manifest), pkgtest::dir("m/"), pkgtest::file("m", "x")},
         "two entries are named 'm'"},
        {"link over file",
         {pkgtest::file("krdev.json", manifest), pkgtest::link("krdev.json", "fw.bin")},
         "two entries are named 'krdev.json'"},
    };
    for (const hostile &c : cases) {
        std::string p = pkg("h.krdev", c.entries);
        krdev_st k;
        testing::internal::CaptureStderr();
        EXPECT_FALSE(krdev_open(&k, p.c_str())) << c.what;
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find(c.reason), std::string::npos) << c.what << ": " << err;
        EXPECT_NE(err.find("Failed to extract '" + p +
                           "'. Is it a valid .krdev package and is the extraction tool "
                           "(libarchive) available?\n"),
                  std::string::npos)
            << c.what << ": " << err;
        EXPECT_EQ(k.dir[0], '\0') << c.what;
        EXPECT_TRUE(names_in(tmp).empty()) << c.what << ": the folder is removed";
        EXPECT_EQ(read_all(root / "canary.txt"), "canary") << c.what;
        EXPECT_FALSE(fs::exists(abs_target)) << c.what;
        EXPECT_EQ(names_in(root), (std::set<std::string>{"canary.txt", "h.krdev", "tmp"})) << c.what;
    }
}

TEST_F(PackageTest, CapsBrokenArchivesAndNonFiles)
{
    std::string manifest = "{\"FIRMWARE\": \"fw.bin\"}";
    std::string big = pkg("big.krdev",
                          {pkgtest::file("krdev.json", manifest), pkgtest::file("fw.bin", std::string(300, 'x'))});
    std::string many = pkg("many.krdev", {pkgtest::file("krdev.json", manifest), pkgtest::file("a", "a"),
                                          pkgtest::file("b", "b"), pkgtest::dir("c/")});
    std::string whole = read_all(big);
    std::ofstream(root / "cut.krdev", std::ios::binary) << whole.substr(0, whole.size() / 2);
    std::ofstream(root / "text.krdev") << "this is no zip archive, only text";
    ASSERT_EQ(mkfifo((root / "fifo.krdev").c_str(), 0600), 0);
    fs::create_directories(root / "folder.krdev");

    struct bad {
        std::string path;
        std::string reason;
    };
    // Declares 100 bytes, holds 4 MiB of zeros: refused after the 100 bytes, before the cap.
    std::string liar = pkg("liar.krdev", {pkgtest::file("krdev.json", manifest),
                                          pkgtest::lying("fw.bin", std::string(4 << 20, '\0'), 100)});
    std::vector<bad> cases = {
        {big, "the archive declares 322 bytes, more than the cap of 200 bytes or the "},
        {liar, "the entry 'fw.bin' holds more than the 100 bytes it declares"},
        {many, "more than 3 entries"},
        {(root / "cut.krdev").string(), "Refusing '" + (root / "cut.krdev").string() + "': "},
        {(root / "text.krdev").string(), "Refusing '" + (root / "text.krdev").string() + "': "},
        {(root / "fifo.krdev").string(), "it is not a regular file"},
        {(root / "folder.krdev").string(), "it is not a regular file"},
        {(root / "missing.krdev").string(), "it could not be opened: No such file or directory"},
    };
    archive_set_limits(200, 3);
    for (const bad &c : cases) {
        krdev_st k;
        testing::internal::CaptureStderr();
        EXPECT_FALSE(krdev_open(&k, c.path.c_str())) << c.path;
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find(c.reason), std::string::npos) << c.path << ": " << err;
        EXPECT_NE(err.find("Failed to extract '" + c.path + "'"), std::string::npos) << err;
        EXPECT_TRUE(names_in(tmp).empty()) << c.path;
    }
    // Within the caps the same package opens.
    archive_set_limits(400, 4);
    krdev_st k;
    ASSERT_TRUE(krdev_open(&k, big.c_str()));
    krdev_close(&k);
    ASSERT_TRUE(krdev_open(&k, many.c_str()));
    krdev_close(&k);

    // A disk that fills up fails the extraction (file-size limit in a child process).
    fs::create_directories(root / "out");
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit rl = {100, 100};
        setrlimit(RLIMIT_FSIZE, &rl);
        silent = true;
        _exit(archive_extract(big.c_str(), (root / "out").c_str()) ? 0 : 3);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 3) << status;
}

TEST_F(PackageTest, ManifestPathsStayInsideAndFit)
{
    std::string longpath(600, 'f');
    struct bad {
        std::string manifest;
        std::string reason;
    };
    std::vector<bad> cases = {
        {"{\"FIRMWARE\": \"../../canary.txt\"}", "its FIRMWARE path '../../canary.txt' leaves the package"},
        {"{\"DATABASE\": \"/etc/passwd\"}", "its DATABASE path '/etc/passwd' leaves the package"},
        {"{\"MEDIA\": \"media/../..\"}", "its MEDIA path 'media/../..' leaves the package"},
        {"{\"LINUX_BIN\": \"" + longpath + "\"}", "its LINUX_BIN path is longer than 511 characters"},
        {"{\"ESP32\": {\"0x1000\": \"../esp.bin\"}}", "its ESP32 image path '../esp.bin' leaves the package"},
        {"{\"ESP32\": {\"0x1000\": \"" + std::string(300, 'e') + "\"}}", "has a path longer than 255 characters"},
    };
    for (const bad &c : cases) {
        std::string p = pkg("m.krdev", {pkgtest::file("krdev.json", c.manifest)});
        krdev_st k;
        testing::internal::CaptureStderr();
        EXPECT_FALSE(krdev_open(&k, p.c_str())) << c.manifest;
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find(c.reason), std::string::npos) << err;
        EXPECT_EQ(k.firmware[0], '\0');
        EXPECT_EQ(k.database[0], '\0');
        EXPECT_TRUE(names_in(tmp).empty());
    }
}

TEST_F(PackageTest, ModesOfExtractedFiles)
{
    // Set-id bits and other types in the archive never reach the disk: only the owner's execute bit.
    std::string p = pkg("m.krdev", {pkgtest::file("krdev.json", "{}"), pkgtest::raw("suid", "x", 0104755),
                                    pkgtest::raw("fifo", "", 0010644), pkgtest::raw("plain", "p", 0100600)});
    krdev_st k;
    ASSERT_TRUE(krdev_open(&k, p.c_str()));
    struct stat st {};
    ASSERT_EQ(lstat((fs::path(k.dir) / "suid").c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07000, 0u);
    EXPECT_NE(st.st_mode & S_IXUSR, 0u);
    ASSERT_EQ(lstat((fs::path(k.dir) / "fifo").c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode)) << "never a FIFO on disk";
    ASSERT_EQ(lstat((fs::path(k.dir) / "plain").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & S_IXUSR, 0u);
    krdev_close(&k);
}

// Each element that cannot become a device is named, even when silent, and refuses the package
// whole: the system is left as it was, and nothing of the package stays behind.
TEST_F(PackageTest, SystemPackageFillsTheSystem)
{
    std::string motor = (root / "motor.krdev").string();
    ASSERT_TRUE(pkgtest::write_zip(motor, {pkgtest::file("krdev.json", device_manifest("2.1")),
                                           pkgtest::file("db/dev.json", device_db("Motor X", "0x30"))}));
    std::string motor_bytes = read_all(motor);
    std::string long_krdev(600, 'k');
    std::string good = "{\"NODEID\": \"0x14\", \"KRDEV\": \"devs/motor.krdev\", \"PARAM\": \"p/a.yml\"},"
                       "{\"NODEID\": 32, \"KRDEV\": \"devs/motor.krdev\"},"
                       "{\"KRDEV\": \"devs/motor.krdev\"},"
                       "{\"NODEID\": \"0\", \"KRDEV\": \"devs/missing.krdev\"}";
    std::string bad = "{\"NODEID\": 5},"
                      "{\"NODEID\": \"0x114\", \"KRDEV\": \"devs/motor.krdev\"},"
                      "{\"NODEID\": 276, \"KRDEV\": \"devs/motor.krdev\"},"
                      "{\"NODEID\": \"0x41 \", \"KRDEV\": \"devs/motor.krdev\"},"
                      "{\"KRDEV\": \"../motor.krdev\"},"
                      "{\"KRDEV\": \"devs/motor.krdev\", \"PARAM\": \"/etc/passwd\"},"
                      "{\"KRDEV\": \"" +
                      long_krdev + "\"}";
    auto system_file = [&](const std::string &name, const std::string &devs) {
        return pkg(name, {pkgtest::file("krsys.json", "{\"DATE\": \"2026-11-02\", \"DEVS\": [" + devs + "]}"),
                          pkgtest::file("devs/motor.krdev", motor_bytes), pkgtest::file("p/a.yml", "x: 1\n")});
    };
    std::string refused = system_file("refused.krsys", good + "," + bad);
    silent = true; // the elements left out are named all the same
    testing::internal::CaptureStdout();
    EXPECT_FALSE(system_set_file(&dev.system, refused.c_str()));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("System file device 4 has no KRDEV package.\n"), std::string::npos) << out;
    EXPECT_NE(out.find("System file device 5 ('devs/motor.krdev') has the node id 276, outside 0..127"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("System file device 6 ('devs/motor.krdev') has the node id 276, outside 0..127"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("System file device 7 ('devs/motor.krdev') has the node id '0x41 '"), std::string::npos) << out;
    EXPECT_NE(out.find("System file device 8 names the KRDEV path '../motor.krdev', which leaves the system file.\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("System file device 9 ('devs/motor.krdev') names the PARAM path '/etc/passwd'"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("System file device 10 has a KRDEV path longer than 511 characters"), std::string::npos) << out;
    EXPECT_STREQ(package_error(),
                 "its device 4, device 5 ('devs/motor.krdev'), device 6 ('devs/motor.krdev') and 4 more "
                 "cannot be taken into the system");
    EXPECT_EQ(dev.system.dev_count, 0);
    EXPECT_EQ(dev.system.sysfile_dev_count, 0);
    EXPECT_FALSE(dev.system.loaded);
    EXPECT_TRUE(names_in(tmp).empty()) << "the package and the device packages it opened are gone";

    std::string sys = system_file("machine.krsys", good);
    testing::internal::CaptureStdout();
    ASSERT_TRUE(system_set_file(&dev.system, sys.c_str()));
    out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("System file saved on 2026-11-02\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Loaded device 'devs/motor.krdev' (node 0x14, version 2.1) from the system file.\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("Loaded device 'devs/motor.krdev' (node 0x20, version 2.1) from the system file.\n"),
              std::string::npos);
    EXPECT_NE(out.find("Loaded device 'devs/motor.krdev' (node 0x30, version 2.1) from the system file.\n"),
              std::string::npos);
    EXPECT_NE(out.find("Loaded device 'devs/missing.krdev' (node 0x0, version unknown) from the system file.\n"),
              std::string::npos);

    ASSERT_EQ(dev.system.dev_count, 4);
    const system_st &s = dev.system;
    EXPECT_TRUE(s.loaded);
    EXPECT_STREQ(s.filepath, sys.c_str());
    EXPECT_STREQ(s.name, "machine");
    EXPECT_STREQ(s.date, "2026-11-02");
    fs::path dir = s.extract_dir;
    EXPECT_EQ(dir.parent_path(), tmp);
    EXPECT_EQ(s.devs[0].nodeid, 0x14);
    EXPECT_EQ(s.devs[1].nodeid, 0x20);
    EXPECT_EQ(s.devs[2].nodeid, 0x30) << "no NODEID: the package's default";
    EXPECT_EQ(s.devs[2].default_nodeid, 0x30);
    EXPECT_STREQ(s.devs[0].devname, "Motor X");
    EXPECT_EQ(s.devs[0].vendor_id, 0x31Du);
    EXPECT_STREQ(s.devs[0].filepath, (dir / "devs/motor.krdev").c_str());
    EXPECT_STREQ(s.devs[0].param_file, (dir / "p/a.yml").c_str());
    EXPECT_EQ(s.devs[1].param_file[0], '\0');
    ASSERT_EQ(s.sysfile_dev_count, 4);
    EXPECT_STREQ(s.sysfile_devs[1].krdev, "devs/motor.krdev");
    EXPECT_STREQ(s.sysfile_devs[1].devname, "Motor X");
    EXPECT_EQ(s.sysfile_devs[1].nodeid, 0x20);
    EXPECT_STREQ(s.sysfile_devs[3].version, "unknown");
    EXPECT_EQ(names_in(tmp), std::set<std::string>{dir.filename().string()}) << "device packages are closed again";

    // Opened again: each of its devices joins the one at its node, which keeps what the bus told of it.
    dev.system.devs[1].state = DEV_STATE_OP;
    dev.system.devs[1].sw_version = 7;
    dev.system.devs[1].param_file[0] = '\0';
    testing::internal::CaptureStdout();
    ASSERT_TRUE(system_set_file(&dev.system, sys.c_str()));
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(dev.system.dev_count, 5) << "node 0 (no database) is no node to join";
    EXPECT_EQ(dev.system.devs[1].nodeid, 0x20);
    EXPECT_EQ(dev.system.devs[1].state, DEV_STATE_OP);
    EXPECT_EQ(dev.system.devs[1].sw_version, 7u);
    EXPECT_STREQ(dev.system.devs[0].param_file, (fs::path(dev.system.extract_dir) / "p/a.yml").c_str());

    // A package that does not fit the 20 a system holds names each device left over and adds none.
    std::string twenty;
    for (int i = 0; i < 17; i++)
        twenty += std::string(i ? "," : "") + "{\"NODEID\": " + std::to_string(i + 2) + ", \"KRDEV\": \"x.krdev\"}";
    std::string big = pkg("big.krsys", {pkgtest::file("krsys.json", "{\"DEVS\": [" + twenty + "]}")});
    system_st kept = dev.system;
    testing::internal::CaptureStdout();
    EXPECT_FALSE(system_set_file(&dev.system, big.c_str()));
    out = testing::internal::GetCapturedStdout();
    for (int i = 15; i < 17; i++)
        EXPECT_NE(out.find("System file device " + std::to_string(i) +
                           " ('x.krdev') does not fit: a system can hold at most 20 devices.\n"),
                  std::string::npos)
            << i << out;
    EXPECT_EQ(out.find("System file device 14 "), std::string::npos) << out;
    EXPECT_STREQ(package_error(), "its device 15 ('x.krdev'), device 16 ('x.krdev') cannot be taken into the system");
    EXPECT_EQ(dev.system.dev_count, kept.dev_count) << "the system is as it was";
    EXPECT_EQ(dev.system.sysfile_dev_count, kept.sysfile_dev_count);
    EXPECT_STREQ(dev.system.filepath, kept.filepath);
    EXPECT_STREQ(dev.system.devs[4].filepath, kept.devs[4].filepath);
    EXPECT_EQ(dev.system.devs[5].filepath[0], '\0');
    EXPECT_EQ(names_in(tmp).size(), 2u);

    // Every registered folder goes at exit.
    system_remove_tmpdirs();
    EXPECT_TRUE(names_in(tmp).empty());
}

// Zip writers other than Info-ZIP (Python's zipfile among them) mark a non-ASCII name with the zip's
// UTF-8 flag; such a package opens with its names as written.
TEST_F(PackageTest, NamesFlaggedAsUtf8AreReadAsUtf8)
{
    std::string p = (root / "py.krdev").string();
    const char *script =
        "import sys, zipfile\n"
        "with zipfile.ZipFile(sys.argv[1], 'w') as z:\n"
        "    z.writestr('krdev.json', '{\"FIRMWARE\": \"fw/Gr\\u00f6\\u00dfe.bin\", \"MEDIA\": \"media\"}')\n"
        "    z.writestr('media/Gr\\u00f6\\u00dfe.png', 'png')\n"
        "    z.writestr('fw/Gr\\u00f6\\u00dfe.bin', 'FW')\n"
        "with zipfile.ZipFile(sys.argv[1]) as z:\n"
        "    assert all(i.flag_bits & 0x800 for i in z.infolist()[1:])\n";
    e2e::result r = e2e::run_tool("python3", {"-c", script, p});
    ASSERT_TRUE(r.exited(0)) << r.out << r.err;
    krdev_st k;
    ASSERT_TRUE(krdev_open(&k, p.c_str())) << package_error();
    EXPECT_STREQ(k.firmware, "fw/Gr\xc3\xb6\xc3\x9f"
                             "e.bin");
    EXPECT_EQ(read_all(fs::path(k.dir) / "media/Gr\xc3\xb6\xc3\x9f"
                                         "e.png"),
              "png");
    EXPECT_EQ(read_all(fs::path(k.dir) / k.firmware), "FW");
    krdev_close(&k);
}

TEST_F(PackageTest, RebuildKeepsEntriesAndFailsCleanly)
{
    std::string bin(70000, '\0');
    uint32_t x = 12345; // incompressible, so the zip outgrows the file-size limit below
    for (char &c : bin) {
        x ^= x << 13, x ^= x >> 17, x ^= x << 5;
        c = (char)x;
    }
    std::string p = pkg("machine.krsys",
                        {pkgtest::file("krsys.json", "{\"DEVS\": []}"), pkgtest::file("sim/run", "#!/bin/sh\n", 0755),
                         pkgtest::file("data/fw.bin", bin), pkgtest::link("latest", "data/fw.bin"),
                         pkgtest::dir("empty/")});
    chmod(p.c_str(), 0640);
    fs::path dir = root / "x";
    fs::create_directories(dir);
    ASSERT_TRUE(archive_extract(p.c_str(), dir.c_str()));

    std::ofstream(dir / "joystick.json") << "{\"a\": 1}";
    ASSERT_TRUE(archive_put_file(p.c_str(), dir.c_str(), "joystick.json"));
    EXPECT_EQ(names_in(root), (std::set<std::string>{"canary.txt", "machine.krsys", "tmp", "x"}))
        << "no temporary file";
    EXPECT_EQ(fs::status(p).permissions() & fs::perms::all, fs::perms(0640)) << "the package keeps its permissions";
    fs::path back = root / "back";
    fs::create_directories(back);
    ASSERT_TRUE(archive_extract(p.c_str(), back.c_str()));
    EXPECT_EQ(read_all(back / "joystick.json"), "{\"a\": 1}");
    EXPECT_EQ(read_all(back / "data/fw.bin"), bin);
    EXPECT_EQ(read_all(back / "krsys.json"), "{\"DEVS\": []}");
    EXPECT_TRUE(fs::is_symlink(back / "latest"));
    EXPECT_EQ(fs::read_symlink(back / "latest"), "data/fw.bin");
    EXPECT_TRUE(fs::is_directory(back / "empty"));
    EXPECT_TRUE((fs::status(back / "sim/run").permissions() & fs::perms::owner_exec) != fs::perms::none);
    EXPECT_TRUE((fs::status(back / "data/fw.bin").permissions() & fs::perms::owner_exec) == fs::perms::none);

    // Through a symbolic link: the package it names is rewritten, the link stays a link.
    fs::create_symlink("machine.krsys", root / "link.krsys");
    std::ofstream(dir / "joystick.json") << "{\"a\": 2}";
    ASSERT_TRUE(archive_put_file((root / "link.krsys").c_str(), dir.c_str(), "joystick.json"));
    EXPECT_TRUE(fs::is_symlink(root / "link.krsys"));
    fs::remove_all(back);
    fs::create_directories(back);
    ASSERT_TRUE(archive_extract(p.c_str(), back.c_str()));
    EXPECT_EQ(read_all(back / "joystick.json"), "{\"a\": 2}");
    fs::remove(root / "link.krsys");

    fs::remove(dir / "joystick.json");
    ASSERT_TRUE(archive_remove_file(p.c_str(), dir.c_str(), "joystick.json"));
    fs::remove_all(back);
    fs::create_directories(back);
    ASSERT_TRUE(archive_extract(p.c_str(), back.c_str()));
    EXPECT_FALSE(fs::exists(back / "joystick.json"));
    EXPECT_EQ(read_all(back / "data/fw.bin"), bin);

    // A rewrite that cannot finish leaves the old package byte-identical and no temporary file.
    std::string before = read_all(p);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit rl = {20000, 20000};
        setrlimit(RLIMIT_FSIZE, &rl);
        silent = true;
        _exit(archive_put_file(p.c_str(), dir.c_str(), "x") ? 0 : 3);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 3) << status;
    EXPECT_EQ(read_all(p), before);
    EXPECT_EQ(names_in(root), (std::set<std::string>{"back", "canary.txt", "machine.krsys", "tmp", "x"}));

    ASSERT_EQ(mkfifo((dir / "pipe").c_str(), 0600), 0);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(archive_put_file(p.c_str(), dir.c_str(), "pipe"));
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("'pipe' is not a file, a folder or a link"), std::string::npos) << err;
    EXPECT_EQ(read_all(p), before);
    EXPECT_EQ(names_in(root), (std::set<std::string>{"back", "canary.txt", "machine.krsys", "tmp", "x"}));
    fs::remove(dir / "pipe");

    if (geteuid() != 0) {
        chmod(root.c_str(), 0555);
        EXPECT_FALSE(archive_put_file(p.c_str(), dir.c_str(), "x"));
        chmod(root.c_str(), 0755);
        EXPECT_EQ(read_all(p), before);
    }
}

TEST_F(PackageTest, TemporaryFoldersAndOnlineCheck)
{
    char a[256], b[256];
    ASSERT_TRUE(system_mktempdir("krcan_pkg", a, sizeof a));
    ASSERT_TRUE(archive_mktempdir("krcan_pkg", b, sizeof b));
    EXPECT_STRNE(a, b);
    std::ofstream(fs::path(a) / "f") << "x";
    char tiny[8];
    EXPECT_FALSE(archive_mktempdir("krcan_pkg", tiny, sizeof tiny));
    unsetenv("TMPDIR");
    char c[256];
    ASSERT_TRUE(archive_mktempdir("krcan_pkg", c, sizeof c));
    EXPECT_EQ(fs::path(c).parent_path(), "/tmp");
    archive_rmtree(c);
    EXPECT_FALSE(fs::exists(c));
    setenv("TMPDIR", tmp.c_str(), 1);
    system_remove_tmpdirs();
    EXPECT_FALSE(fs::exists(a)) << "registered";
    EXPECT_TRUE(fs::exists(b)) << "not registered";

    system_st s;
    system_reset(&s);
    EXPECT_TRUE(all_devs_online(&s));
    device_st *found = system_add_found_device(&s, 0x10, 0x31D, 1); // no package
    ASSERT_NE(found, nullptr);
    s.devs[1] = s.devs[0];
    s.dev_count = 2;
    std::snprintf(s.devs[1].filepath, sizeof s.devs[1].filepath, "a.krdev");
    EXPECT_FALSE(all_devs_online(&s));
    s.devs[1].thirdparty = true;
    EXPECT_TRUE(all_devs_online(&s));
    s.devs[1].thirdparty = false;
    s.devs[1].sw_version = 0x10203;
    EXPECT_TRUE(all_devs_online(&s));
    s.devs[1].sw_version = 0;
    s.devs[1].nodeid = 0;
    EXPECT_TRUE(all_devs_online(&s));
}

} // namespace
