// The joystick command end to end: without a configuration, with an unreadable file, and with a
// controller back end that cannot start here.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include "e2e/e2e.h"
#include "sim_hub.h"

namespace {

const char *CONF = R"({"NAME": "krcan e2e pad", "AXES": [{"AXIS": "X", "NODEID": "0x10", "COBID": "0x190",
  "TYPE": "CANOPEN_UNSIGNED16", "OFFSET": 0, "MIN": 0, "MAX": 1000}], "BUTTONS": []})";

struct Joystick : ::testing::Test {
    e2e::sandbox box;
    sim_hub_st *hub = nullptr;
    void SetUp() override
    {
        sim_hub_config_st cfg;
        cfg.quiet = true;
        std::string err;
        hub = sim_hub_start(cfg, err);
        ASSERT_NE(hub, nullptr) << err;
    }
    void TearDown() override
    {
        if (hub) sim_hub_stop(hub);
    }
    std::string can() const { return "socketcand://127.0.0.1:" + std::to_string(sim_hub_port(hub)) + "/vcan0"; }
};

TEST_F(Joystick, WithoutAConfigurationOrWithABadFileTheRunFails)
{
    e2e::result r = box.krcan({"--can", can(), "--joystick"});
    EXPECT_TRUE(r.exited(1)) << r.out << r.err;
    EXPECT_NE(r.out.find("No joystick configuration: give a system file with one (--sys) or a joystick configuration "
                         "file."),
              std::string::npos)
        << r.out;

    box.write_file("broken.json", "{\"AXES\": [");
    r = box.krcan({"--can", can(), "--joystick=broken.json"});
    EXPECT_TRUE(r.exited(1)) << r.out << r.err;
    EXPECT_NE(r.out.find("Failed to read the joystick configuration 'broken.json': "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("No joystick configuration"), std::string::npos) << r.out;
}

TEST_F(Joystick, AControllerThatCannotBeCreatedFailsTheRun)
{
    int fd = open("/dev/uinput", O_WRONLY | O_CLOEXEC);
    if (fd >= 0) {
        close(fd);
        GTEST_SKIP() << "/dev/uinput opens here; the failure path cannot be shown";
    }
    box.write_file("pad.json", CONF);
    e2e::result r = box.krcan({"--can", can(), "--joystick=pad.json"});
    EXPECT_TRUE(r.exited(1)) << r.out << r.err;
    EXPECT_NE(r.out.find("Joystick driver could not start: the uinput driver"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("Press Ctrl-C to stop."), std::string::npos) << r.out;
}

} // namespace
