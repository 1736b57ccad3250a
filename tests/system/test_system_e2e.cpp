// The dev and sys commands of the krcan binary: postfixes, the 20-device limit, refusals.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "e2e/e2e.h"
#include "system/package_builder.h"

namespace {

TEST(SystemE2e, DevOptionsPostfixesAndLimit)
{
    e2e::sandbox box;
    std::filesystem::create_directories(box.path("pk"));
    for (std::string n : {"c", "d", "e"}) {
        for (int i = 0; i < (n == "e" ? 19 : 1); i++) {
            std::string name = n == "e" ? "e" + std::to_string(i) : n;
            ASSERT_TRUE(pkgtest::write_zip(box.path("pk/" + name + ".krdev").string(),
                                           {pkgtest::file("krdev.json", "{\"VERSION\": \"1\"}")}));
        }
    }
    std::vector<std::string> args = {"--silent", "--dev", "pk/c.krdev:0x14", "--dev", "pk/d.krdev", "--nodeid", "0x15"};
    for (int i = 0; i < 19; i++) args.insert(args.end(), {"--dev", "pk/e" + std::to_string(i) + ".krdev"});
    e2e::result r = box.krcan(args);
    EXPECT_TRUE(r.exited(1)) << r.err;
    EXPECT_NE(r.err.find("Added device configuration file 'pk/c.krdev' with node id 0x14\n"), std::string::npos);
    EXPECT_NE(r.err.find("Added device configuration file 'pk/d.krdev' (node id read from file)\n"), std::string::npos);
    EXPECT_NE(r.err.find("Node ID 0x15 assigned to device 'd'\n"), std::string::npos) << r.err;
    // c, d and 18 more fill the system; the 19th extra one does not fit, which stops the run, named
    // even when silent.
    EXPECT_NE(r.err.find("Added device configuration file 'pk/e17.krdev'"), std::string::npos);
    EXPECT_NE(r.out.find("ERROR: device 'pk/e18.krdev' does not fit: a system can hold at most 20 devices.\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("command 'dev' returned with FALSE, terminating."), std::string::npos) << r.out;
    EXPECT_EQ(r.err.find("Finished\n"), std::string::npos);

    // An empty path names no package: refused, and nothing after it runs.
    for (const char *empty : {"", ":0x10"}) {
        r = box.krcan({"--dev", empty, "--version"});
        EXPECT_TRUE(r.exited(1)) << empty;
        EXPECT_NE(r.out.find("--dev needs the path of a device package"), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("krcan "), std::string::npos) << "refused: the version is not printed";
    }

    // A package that is missing, is not an archive, or names a database that does not load is
    // refused, even when silent, and the run stops there.
    box.write_file("pk/text.krdev", "not a package");
    ASSERT_TRUE(pkgtest::write_zip(box.path("pk/baddb.krdev").string(),
                                   {pkgtest::file("krdev.json", "{\"DATABASE\": \"db.json\"}"),
                                    pkgtest::file("db.json", "{ broken")}));
    for (const char *bad : {"pk/missing.krdev", "pk/text.krdev:0x10", "pk/baddb.krdev"}) {
        r = box.krcan({"--silent", "--dev", bad, "--version"});
        EXPECT_TRUE(r.exited(1)) << bad << r.out << r.err;
        std::string path = std::string(bad).substr(0, std::string(bad).find(':'));
        EXPECT_NE(r.out.find("ERROR: could not read the device package '" + path + "'."), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("krcan "), std::string::npos) << bad;
    }
}

TEST(SystemE2e, SysPackageFailureStopsTheRun)
{
    e2e::sandbox box;
    e2e::result r = box.krcan({"--silent", "--sys", "machine.krsys", "--find"});
    EXPECT_TRUE(r.exited(1)) << r.out << r.err;
    EXPECT_NE(r.err.find("Failed to extract 'machine.krsys'"), std::string::npos) << r.err;
    EXPECT_NE(r.out.find("command 'sys' returned with FALSE, terminating."), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("Searching"), std::string::npos) << "no job ran";
}

} // namespace
