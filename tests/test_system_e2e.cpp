// The dev and sys commands of the krcan binary: postfixes, the 20-device limit, refusals.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "e2e/e2e.h"

namespace {

TEST(SystemE2e, DevOptionsPostfixesAndLimit)
{
    e2e::sandbox box;
    std::vector<std::string> args = {"--silent", "--dev", "pk/a.krdev:200", "--dev", "pk/b.krdev:0", "--dev",
                                     "pk/c.krdev:0x14", "--dev", "pk/d.krdev", "--nodeid", "0x15"};
    for (int i = 0; i < 19; i++) args.insert(args.end(), {"--dev", "pk/e" + std::to_string(i) + ".krdev"});
    e2e::result r = box.krcan(args);
    EXPECT_TRUE(r.exited(0)) << r.err;
    EXPECT_NE(r.err.find("ERROR: invalid node id in device 'pk/a.krdev:200'; it must be in the range 1..127 "
                         "(0x1..0x7f). Ignoring this device."),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("invalid node id in device 'pk/b.krdev:0'"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("Added device configuration file 'pk/c.krdev' with node id 0x14\n"), std::string::npos);
    EXPECT_NE(r.err.find("Added device configuration file 'pk/d.krdev' (node id read from file)\n"),
              std::string::npos);
    EXPECT_NE(r.err.find("Node ID 0x15 assigned to device 'd'\n"), std::string::npos) << r.err;
    // c, d and 18 more fill the system; the 19th extra one is refused and the run goes on.
    EXPECT_NE(r.err.find("Added device configuration file 'pk/e17.krdev'"), std::string::npos);
    EXPECT_NE(r.err.find("Ignoring device 'pk/e18.krdev': a system can hold at most 20 devices.\n"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(e2e::count(r.err, "Ignoring device"), 1u);
    EXPECT_NE(r.err.find("Finished\n"), std::string::npos);

    // An empty path names no package: refused, and nothing after it runs.
    for (const char *empty : {"", ":0x10"}) {
        r = box.krcan({"--dev", empty, "--version"});
        EXPECT_TRUE(r.exited(1)) << empty;
        EXPECT_NE(r.out.find("--dev needs the path of a device package"), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("krcan "), std::string::npos) << "refused: the version is not printed";
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
