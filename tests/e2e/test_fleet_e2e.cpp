// The fleet commands of this build end to end: each job stops at its first step with the MQTT line and
// fails the run, later jobs still run; a bad remotelist time stops the run before any job.
#include <gtest/gtest.h>

#include "e2e/sim_bench.h"

namespace {

const std::string kNoMqtt = "The remote fleet needs an MQTT client, which this build does not have.\n";

TEST(FleetE2e, EveryJobFailsSoftlyAndLaterJobsRun)
{
    e2e::sandbox box;
    simbench::bench bench({0x10});
    const std::string bus = bench.channel();

    e2e::result r = box.krcan({"--can", bus, "--login", "--remotelist=0x10", "--remoteui", "cab-7", "--remotecan",
                               "cab-7", "--nodeid", "0x10", "--mindex", "0x1018", "--sindex", "1", "--sdoread"});
    EXPECT_TRUE(r.exited(1)) << r.out << r.err;
    EXPECT_EQ(r.out, kNoMqtt + kNoMqtt + kNoMqtt + kNoMqtt + "0x31d\n") << r.err;
    EXPECT_EQ(r.wall_ms < 12000, true) << "no listening or waiting without a broker";
}

TEST(FleetE2e, BadListeningTimeStopsTheRunBeforeAnyJob)
{
    e2e::sandbox box;
    for (const char *bad : {"0", "abc", "5s", "99999999999", "4294968", "-1", ""}) {
        e2e::result r = box.krcan({"--login", std::string("--remotelist=") + bad, "--version"});
        EXPECT_TRUE(r.exited(1)) << bad << r.out << r.err;
        EXPECT_NE(r.out.find("invalid listening time in seconds '" + std::string(bad) + "' for --remotelist"),
                  std::string::npos)
            << bad << ": " << r.out;
        EXPECT_EQ(r.out.find("MQTT"), std::string::npos) << bad << ": no job ran";
        EXPECT_EQ(r.out.find("krcan "), std::string::npos) << bad << ": nor the later command";
    }
    e2e::result r = box.krcan({"--remotelist=4294967", "--remotelist"});
    EXPECT_TRUE(r.exited(1));
    EXPECT_EQ(r.out, kNoMqtt + kNoMqtt) << "the largest time that fits, and the default";
}

} // namespace
