// The online services of this build, end to end: the simulator job hands on at once, the server files
// command fails the run.
#include <gtest/gtest.h>

#include "e2e/sim_bench.h"
#include "online/selfupdate.h"

namespace {

class Online : public ::testing::Test {
protected:
    e2e::sandbox box;
};

TEST_F(Online, SimulatorJobHandsOnToTheNextJob)
{
    simbench::bench bench({0x10});
    const std::string bus = bench.channel();

    e2e::result r = box.krcan(
        {"--can", bus, "--sim", "--nodeid", "0x10", "--mindex", "0x1018", "--sindex", "1", "--sdoread"});
    EXPECT_TRUE(r.exited(1)) << r.out << r.err;
    EXPECT_EQ(r.out, "0x31d\n") << "the read ran after the simulator job";
    EXPECT_NE(r.err.find("WARNING: running simulators on the real CAN device '" + bus + "'."), std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("No simulators were started."), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("The simulators are running"), std::string::npos) << "nothing to wait for";
    EXPECT_EQ(r.err.substr(r.err.size() - 9), "Finished\n");
}

TEST_F(Online, ServerFilesFailsTheRun)
{
    e2e::result r = box.krcan({"--serverfiles", "--version"});
    EXPECT_TRUE(r.exited(1)) << r.err;
    EXPECT_EQ(r.out, "Listing the server files is not wired up on the Linux build.\nkrcan " +
                         std::string(selfupdate_this_name()) + " (build " + std::to_string(selfupdate_this_version()) +
                         ")\n");
}

} // namespace
