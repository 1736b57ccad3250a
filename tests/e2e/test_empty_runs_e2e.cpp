// Runs that find nothing to do fail and say what they found, checked on the devices too; and the
// temporary folders of packages are gone after Ctrl-C, which ends krcan without exit handlers.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "e2e/e2e.h"
#include "sim_media.h"
#include "sim_setup.h"
#include "system/package_builder.h"

namespace {

sim_device_config_st display(uint8_t node, bool operational)
{
    sim_device_config_st c;
    c.node_id = node;
    c.heartbeat_ms = 100;
    c.start_operational = operational;
    c.media.enabled = true;
    c.media.block_size = 64;
    return c;
}

std::string krdev(const std::string &media_folder)
{
    return R"({"FIRMWARE": "fw.bin", "MEDIA": ")" + media_folder + R"("})";
}

class EmptyRuns : public ::testing::Test {
protected:
    void start(const std::vector<sim_device_config_st> &devs)
    {
        std::string err;
        ASSERT_TRUE(sim_setup_start(bench, devs, 0, err)) << err;
    }
    void TearDown() override { sim_setup_stop(bench); }
    // The run, then the devices settled, so that what they hold is all the run did.
    e2e::result krcan(std::vector<std::string> rest, const e2e::options &o = {})
    {
        rest.insert(rest.begin(), {"--can", bench.channel});
        e2e::result r = box.krcan(rest, o);
        EXPECT_TRUE(sim_setup_settle(bench));
        return r;
    }
    e2e::sandbox box;
    sim_setup_st bench;
};

// A folder, or a package's media folder, without a file named as media loads nothing: that fails.
TEST_F(EmptyRuns, MediaFolderWithoutMediaFilesFails)
{
    start({display(0x20, true)});
    box.write_file("pics/notes.txt", "not media");
    box.write_file("pics/logo.Png", "mixed case is not media in a folder");
    box.write_file("pics/sub.png/inner.png", "a folder is not entered");
    e2e::result r = krcan({"-n", "0x20", "--loadmedia=pics"});
    EXPECT_TRUE(r.exited(1)) << r.out << r.err;
    EXPECT_NE(r.out.find("ERROR: the folder 'pics' holds no media file to load (2 other file(s)); media files have "
                         ".jpg, .jpeg, .png or .bin in their names"),
              std::string::npos)
        << r.out;

    ASSERT_TRUE(pkgtest::write_zip(box.path("d.krdev").string(),
                                   {pkgtest::file("krdev.json", krdev("media")), pkgtest::file("fw.bin", "x"),
                                    pkgtest::file("media/readme.txt", "no media here")}));
    r = krcan({"--loadmedia=d.krdev:0x20"});
    EXPECT_TRUE(r.exited(1)) << r.out << r.err;
    EXPECT_NE(r.out.find("ERROR: the folder 'media' holds no media file to load (1 other file(s))"), std::string::npos)
        << r.out;
    EXPECT_TRUE(sim_media_files(bench.devs, 0x20).empty());

    // Packages that bundle no media at all, named on their own or given with --dev.
    ASSERT_TRUE(
        pkgtest::write_zip(box.path("plain.krdev").string(),
                           {pkgtest::file("krdev.json", R"({"FIRMWARE": "fw.bin"})"), pkgtest::file("fw.bin", "x")}));
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{"--loadmedia=plain.krdev:0x20"},
          {"--dev", "plain.krdev:0x20", "--dev", "plain.krdev:0x21", "--loadmedia"}}) {
        r = krcan(args);
        EXPECT_TRUE(r.exited(1)) << r.out << r.err;
        EXPECT_NE(r.out.find("ERROR: none of the " + std::string(args.size() == 1 ? "1" : "2") +
                             " device(s) has bundled media, so nothing was loaded."),
                  std::string::npos)
            << r.out;
    }
    EXPECT_TRUE(sim_media_files(bench.devs, 0x20).empty());

    // A folder with one media file among others still loads it and succeeds.
    box.write_file("pics/a.png", "picture");
    r = krcan({"-n", "0x20", "--loadmedia=pics"});
    EXPECT_TRUE(r.exited(0)) << r.out << r.err;
    EXPECT_EQ(sim_media_files(bench.devs, 0x20).size(), 1u);
}

// A device package carries no parameters: loading those of the devices given with --dev writes nothing.
TEST_F(EmptyRuns, ParameterLoadOfDevicesWithoutParametersFails)
{
    start({display(0x20, true)});
    ASSERT_TRUE(
        pkgtest::write_zip(box.path("d.krdev").string(),
                           {pkgtest::file("krdev.json", R"({"FIRMWARE": "fw.bin"})"), pkgtest::file("fw.bin", "x")}));
    e2e::result r = krcan({"--dev", "d.krdev:0x20", "--loadparam"});
    EXPECT_TRUE(r.exited(1)) << r.out << r.err;
    EXPECT_NE((r.out + r.err).find("ERROR: none of the 1 device(s) has bundled parameters, so nothing was loaded."),
              std::string::npos)
        << r.out << r.err;
    EXPECT_EQ((r.out + r.err).find("Loaded parameters to 0/0 device(s)."), std::string::npos) << r.out;
    EXPECT_TRUE(sim_dev_write_log(bench.devs, 0x20).empty());
    EXPECT_TRUE(sim_dev_nmt_log(bench.devs, 0x20).empty()); // neither stored nor reset

    // A parameter file whose device list is empty loads nothing either.
    box.write_file("none.json", R"({"DEVS": []})");
    r = krcan({"-n", "0x20", "--loadparam=none.json"});
    EXPECT_TRUE(r.exited(1)) << r.out << r.err;
    EXPECT_NE(r.out.find("its DEVS array is empty"), std::string::npos) << r.out;
    EXPECT_TRUE(sim_dev_write_log(bench.devs, 0x20).empty());
    EXPECT_TRUE(sim_dev_nmt_log(bench.devs, 0x20).empty());
}

// Ctrl-C while a system package and a device package are unpacked: both folders go.
TEST_F(EmptyRuns, CtrlCRemovesTheUnpackedPackages)
{
    start({display(0x20, false)}); // never operational, so the media download waits
    ASSERT_TRUE(
        pkgtest::write_zip(box.path("d.krdev").string(),
                           {pkgtest::file("krdev.json", krdev("media")), pkgtest::file("fw.bin", "x"),
                            pkgtest::file("media/sub/deep/a.png", "nested"), pkgtest::file("media/b.png", "b")}));
    std::string dev_zip = box.read_file("d.krdev");
    ASSERT_TRUE(
        pkgtest::write_zip(box.path("m.krsys").string(),
                           {pkgtest::file("krsys.json", R"({"DEVS": [{"NODEID": "0x20", "KRDEV": "d.krdev"}]})"),
                            pkgtest::file("d.krdev", dev_zip)}));
    e2e::options o;
    o.sigint_on_output = "Waiting for node 0x20 to become operational";
    e2e::result r = krcan({"--sys", "m.krsys", "--loadmedia"}, o);
    EXPECT_TRUE(r.exited(2)) << r.out << r.err;
    EXPECT_NE(r.out.find("Waiting for node 0x20"), std::string::npos) << r.out;
    std::vector<std::string> left;
    for (const auto &e : std::filesystem::directory_iterator(box.tmp())) left.push_back(e.path().filename());
    EXPECT_TRUE(left.empty()) << "left in TMPDIR: " << (left.empty() ? "" : left.front());
}

} // namespace
