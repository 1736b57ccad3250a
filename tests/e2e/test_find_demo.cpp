// The quick-start demo (tools/demo.sh) against the test tree: it finds both simulated devices,
// reads a name and leaves nothing running, quietly.
#include <gtest/gtest.h>

#include <unistd.h>

#include <regex>
#include <string>

#include "e2e/e2e.h"

namespace {

TEST(FindDemo, FindsBothDevicesAndStopsWhatItStarted)
{
    e2e::sandbox box;
    e2e::options o;
    o.timeout_ms = 120000;
    e2e::result r = box.run("/bin/bash", {KR_SOURCE_DIR "/tools/demo.sh", KR_BIN_DIR}, o);
    ASSERT_FALSE(r.timed_out) << r.out << r.err;

    std::smatch m;
    ASSERT_TRUE(std::regex_search(r.out, m, std::regex("127\\.0\\.0\\.1:([0-9]+) \\(bus vcan0\\)"))) << r.out;
    int port = std::stoi(m[1]);
    EXPECT_NE(r.out.find("Found Korvane device at node 0x10 (vendor 0x31d, product code 0x100)\n"), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("Found Korvane device at node 0x20 (vendor 0x31d, product code 0x200)\n"), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("Device search finished: 2 new device(s) found.\n"), std::string::npos) << r.out;

    EXPECT_NE(r.out.find("--sdoreadstr\nDemo motor controller\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Demo finished."), std::string::npos);
    EXPECT_TRUE(r.exited(0)) << r.out << r.err;
    EXPECT_FALSE(e2e::port_open(port)) << "the virtual bus was left running";
    // The devices stop before the bus, so none complains that its connection closed.
    EXPECT_EQ(r.err.find("connection closed"), std::string::npos) << r.err;
}

} // namespace
