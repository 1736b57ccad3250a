// The fleet layer and the fleet command jobs over a broker-client double: finding devices, the listing
// and detail texts, mirroring selection through removals, refusals and close requests.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "run/commands.h"
#include "online/fleet.h"
#include "run/main.h"
#include "online/fleet_double.h"
#include "run/stdout_of.h"

namespace {

fleetdbl::device mkdev(const char *name, const char *ident = "", const char *devname = "")
{
    fleetdbl::device d;
    d.name = name;
    d.ident = ident;
    d.devname = devname;
    return d;
}

class Fleet : public ::testing::Test {
protected:
    void SetUp() override
    {
        fleetdbl::reset();
        fleet_ui_stop();
        fleet_step();
        W.fleets = {{"main", {mkdev("cab-7", "", "Panel7"), mkdev("gate")}},
                    {"yard", {mkdev("pump", "CAB-9", "Pumper"), mkdev("cab-7", "Front")}}};
        W.calls.clear();
    }
    std::string find(const char *text, int *f = nullptr, int *d = nullptr)
    {
        uint8_t fi = 99, di = 99;
        char err[320] = "unchanged";
        if (!fleet_find_dev(text, &fi, &di, err, sizeof err)) return err;
        if (f) *f = fi;
        if (d) *d = di;
        return std::to_string(fi) + "/" + std::to_string(di);
    }
};

// "<fleet>/<client id>" is exact on both sides; a bare text matches client id, device name or a
// non-empty ident in any fleet ignoring case; several matches are listed; empty texts name nothing.
TEST_F(Fleet, FindDevice)
{
    EXPECT_EQ(find("main/cab-7"), "0/0");
    EXPECT_EQ(find("yard/cab-7"), "1/1");
    EXPECT_EQ(find("main/CAB-7"), "No device 'main/CAB-7' in the fleet view.");
    EXPECT_EQ(find("Main/cab-7"), "No device 'Main/cab-7' in the fleet view.");
    EXPECT_EQ(find("mai/cab-7"), "No device 'mai/cab-7' in the fleet view.");
    EXPECT_EQ(find("CAB-7"), "'CAB-7' names 2 devices: main/cab-7 yard/cab-7. Give it as <fleet>/<client id>.");
    EXPECT_EQ(find("PANEL7"), "0/0"); // device name
    EXPECT_EQ(find("cab-9"), "1/0");  // ident
    EXPECT_EQ(find("front"), "1/1");  // ident of the second cab-7
    EXPECT_EQ(find("GATE"), "0/1");   // client id
    EXPECT_EQ(find(""), "No device '' in the fleet view.");
    W.fleets[1].devs[1].name = "other";
    EXPECT_EQ(find("cab-7"), "0/0") << "one match left";

    // The list of matches stays within its bounds.
    W.fleets.clear();
    for (int f = 0; f < MQTT_MAX_FLEETS; ++f) {
        W.fleets.push_back({"fleet-with-a-long-name-" + std::to_string(f), {}});
        for (int d = 0; d < 4; ++d) W.fleets.back().devs.push_back(mkdev("same"));
    }
    const std::string many = find("SAME");
    EXPECT_EQ(many.rfind("'SAME' names 64 devices: fleet-with-a-long-name-0/same", 0), 0u) << many;
    EXPECT_LT(many.size(), 320u);
}

// The listing row and the detail text: uptime 3725 s, feature bits, names not known yet, and the
// remote CAN block with and without the device's report.
TEST_F(Fleet, ListingAndDetailTexts)
{
    fleetdbl::device &d = W.fleets[0].devs[0];
    d.uptime = 3725;
    d.features = 1 | 4;
    d.age = 9;
    d.msgs = 42;
    d.state = 5;
    char buf[1024];
    fleet_dev_summary(0, 0, buf, sizeof buf);
    EXPECT_STREQ(
        buf, "main/cab-7                           -                Panel7                1h02m     on  off  9s ago");
    EXPECT_EQ(std::string(fleet_dev_summary_header()).find("UPTIME"), std::string(buf).find("1h02m"));

    fleet_dev_info(0, 0, buf, sizeof buf);
    EXPECT_STREQ(buf,
                 "Name:       -\nDevice:     Panel7\nFleet:      main\nClient id:  cab-7\nState:      5\n"
                 "Uptime:     1 h 02 min\nRemote:     UI on, CAN off (SDO only)\nDisplay:    unknown until mirrored\n"
                 "Messages:   42\nLast seen:  9 s ago\n");

    fleetdbl::device &g = W.fleets[0].devs[1];
    g.ident_known = true;
    g.features = 2;
    g.uptime = 59;
    g.ui_size = true;
    g.w = 800;
    g.h = 480;
    W.allow_std = true;
    W.allow_ext = false;
    W.sdo_only = true;
    W.rx = 1;
    W.tx = 2;
    W.filtered = 3;
    W.failed = 4;
    ASSERT_TRUE(remotecan_start(0, 1));
    fleet_dev_info(0, 1, buf, sizeof buf);
    EXPECT_STREQ(buf,
                 "Name:       (not named yet)\nDevice:     (not heard from yet)\nFleet:      main\nClient id:  gate\n"
                 "State:      5\nUptime:     0 h 00 min\nRemote:     UI off, CAN on\nDisplay:    800 x 480\n"
                 "Messages:   3\nLast seen:  1 s ago\n\nRemote CAN: netdev krremote0, STD messages, SDO only   "
                 "(device reports CAN off)\n  (waiting for the device's first report)\n  to netdev 1   from "
                 "netdev 2   filtered 3   failed 4\n");
    g.has_stats = true;
    g.can_active = true;
    g.stats = {{10, 20, 30}, {1, 2, 3}, {7, 8, 9}, 99, 2, 1};
    W.allow_ext = true;
    W.sdo_only = false;
    fleet_dev_info(0, 1, buf, sizeof buf);
    const std::string info = buf;
    EXPECT_NE(info.find("\nRemote CAN: netdev krremote0, STD and EXT messages\n"
                        "  ctrl        10 fwd        1 drop  q 7\n"
                        "  sdo         20 fwd        2 drop  q 8\n"
                        "  bulk        30 fwd        3 drop  q 9\n"
                        "  injected 99   filters 2 (whole bus)\n"
                        "  to netdev 1   from netdev 2   filtered 3   failed 4\n"),
              std::string::npos)
        << info;
    // A short buffer is cut and terminated.
    char small[12];
    fleet_dev_info(0, 1, small, sizeof small);
    EXPECT_STREQ(small, "Name:      ");
}

// Mirroring selection: a refused start leaves none; removing an earlier device shifts the mirrored
// index, a failed removal does not; removing the mirrored device ends the mirroring and the bridge.
TEST_F(Fleet, MirrorSelectionThroughRemovals)
{
    int16_t f = 0, d = 0;
    W.accept_ui = false;
    EXPECT_FALSE(fleet_ui_start(0, 1));
    fleet_ui_selected(&f, &d);
    EXPECT_EQ(f, -1);
    EXPECT_FALSE(fleet_ui_is_active());
    EXPECT_TRUE(fleet_step()) << "a start changes the view";
    EXPECT_FALSE(fleet_step()) << "reported once";

    W.accept_ui = true;
    W.fleets[0].devs.push_back(mkdev("third"));
    W.fleets[0].devs.push_back(mkdev("fourth"));
    ASSERT_TRUE(fleet_ui_start(0, 2));
    EXPECT_TRUE(fleet_ui_is_active());
    EXPECT_FALSE(fleet_ui_shows(0, 2)) << "no window before the display size is known";

    W.remove_ok = false;
    EXPECT_FALSE(fleet_remove_dev(0, 0));
    fleet_ui_selected(&f, &d);
    EXPECT_EQ(d, 2) << "nothing moved";
    W.remove_ok = true;
    EXPECT_TRUE(fleet_remove_dev(1, 0)) << "another fleet";
    fleet_ui_selected(&f, &d);
    EXPECT_EQ(f, 0);
    EXPECT_EQ(d, 2);
    EXPECT_TRUE(fleet_remove_dev(0, 0));
    fleet_ui_selected(&f, &d);
    EXPECT_EQ(d, 1);
    EXPECT_EQ(W.fleets[0].devs[(size_t)d].name, "third") << "still the same device";
    EXPECT_TRUE(fleet_remove_dev(0, 2)) << "a later device";
    fleet_ui_selected(&f, &d);
    EXPECT_EQ(d, 1);

    // The mirrored device itself, with the bridge on it.
    ASSERT_TRUE(remotecan_start(0, 1));
    W.calls.clear();
    EXPECT_TRUE(fleet_remove_dev(0, 1));
    EXPECT_FALSE(fleet_ui_is_active());
    EXPECT_FALSE(remotecan_is_active());
    EXPECT_EQ(W.calls, (std::vector<std::string>{"can stop 0/1", "ui off 0/1", "remove 0/1"}));
}

// The step: feature bits asked for while the device reports none, not while it does; a known display
// size with no window ends the mirroring; a close request ends the bridge and the mirroring with
// their messages; losing the broker closes the bridge.
TEST_F(Fleet, StepAndCloseRequests)
{
    ASSERT_TRUE(fleet_ui_start(1, 1));
    W.calls.clear();
    fleet_step();
    EXPECT_EQ(W.calls, std::vector<std::string>{"features 1 1/1"});
    fleet_step();
    EXPECT_EQ(W.calls.size(), 1u) << "not again within 2 s";
    W.fleets[1].devs[1].features = 1;
    fleet_step();
    EXPECT_EQ(W.calls.size(), 1u);

    ASSERT_NE(W.close_cb, nullptr) << "the step registers the close handler";
    ASSERT_TRUE(remotecan_start(1, 1));
    fleet_step();
    std::string out = stdout_of([] { W.close_cb(1, 0, nullptr); });
    EXPECT_EQ(out, "") << "another device";
    EXPECT_TRUE(fleet_ui_is_active());
    out = stdout_of([] { W.close_cb(1, 1, nullptr); });
    EXPECT_EQ(out, "remote CAN: closing the bridge - the device sent a close request\n"
                   "remote UI: closing the mirrored view - the device sent a close request\n");
    EXPECT_FALSE(fleet_ui_is_active());
    EXPECT_FALSE(remotecan_is_active());
    EXPECT_TRUE(fleet_step());

    ASSERT_TRUE(remotecan_start(0, 0));
    W.state = MQTT_STATE_DISCONNECTED;
    out = stdout_of([] { EXPECT_TRUE(fleet_step()); });
    EXPECT_EQ(out, "remote CAN: closing the bridge - the broker connection is gone\n");
    EXPECT_FALSE(remotecan_is_active());
    W.state = MQTT_STATE_CONNECTED;

    // Once the display size is known the window opens; where it cannot, the mirroring ends.
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
    ASSERT_TRUE(fleet_ui_start(0, 0));
    W.fleets[0].devs[0].ui_size = true;
    W.fleets[0].devs[0].w = 320;
    W.fleets[0].devs[0].h = 240;
    stdout_of([] { fleet_step(); });
    EXPECT_FALSE(fleet_ui_is_active());
}

// The login: the file server's error wins over the broker's; the broker's fills an empty one;
// waiting for the connection ends on error, on success and on time-out.
TEST_F(Fleet, LoginAndWait)
{
    fleet_login_st r;
    std::memset(&r, 0, sizeof r);
    const std::string out = stdout_of([&] { fleet_login("files.test", "broker.test", "ann", "pw", &r); });
    EXPECT_EQ(out,
              "File server: connecting to 'files.test' as 'ann'...\nFile server: connecting to 'files.test' failed: "
              "The server file browser is not available in the Linux build yet.\n");
    EXPECT_FALSE(r.files_ok);
    EXPECT_TRUE(r.broker_ok);
    fleet_login_finish(&r);
    EXPECT_STREQ(r.err, "The server file browser is not available in the Linux build yet.");
    W.supported = false;
    stdout_of([&] { fleet_login("f", "b", "u", "p", &r); });
    r.err[0] = '\0';
    fleet_login_finish(&r);
    EXPECT_STREQ(r.err, "double: no broker");

    char err[256] = "";
    EXPECT_TRUE(fleet_wait_connected(0, err, sizeof err));
    W.state = MQTT_STATE_ERROR;
    EXPECT_FALSE(fleet_wait_connected(1000, err, sizeof err));
    EXPECT_STREQ(err, "double: no broker");
    W.state = MQTT_STATE_CONNECTING;
    EXPECT_FALSE(fleet_wait_connected(60, err, sizeof err));
    EXPECT_STREQ(err, "Timed out connecting to broker.test.");
}

// The jobs as queued by their options: each remotelist keeps its own time, the listing shows every
// fleet with its rows or the empty line; a refused mirroring start fails the run.
TEST_F(Fleet, CommandJobs)
{
    init(&dev);
    W.fleets.push_back({"empty", {}});
    W.fleets[0].devs[0].uptime = 3725;
    ASSERT_TRUE(cmd_remotelist("1"));
    ASSERT_TRUE(cmd_remotelist("0x2"));
    ASSERT_TRUE(cmd_remoteui("yard/cab-7"));
    ASSERT_EQ(dev.tasks.len, 3u);
    task_st *t = (task_st *)dev.tasks.buffer;
    const std::string list = stdout_of([&] { t[0].step(&dev); });
    EXPECT_EQ(list.rfind("Listening for devices for 1 s...\n\nFLEET/CLIENT ID", 0), 0u) << list;
    EXPECT_NE(list.find("\nmain/cab-7                           -                Panel7                1h02m"),
              std::string::npos);
    EXPECT_NE(list.find("\nyard/pump                            CAB-9            Pumper"), std::string::npos);
    EXPECT_NE(list.find("\nempty                                (no devices heard from)\n"), std::string::npos);
    const std::string tail = "\n4 device(s) in 3 fleet(s)\n";
    EXPECT_EQ(list.substr(list.size() - tail.size()), tail) << list;
    EXPECT_EQ(stdout_of([&] { t[1].step(&dev); }).rfind("Listening for devices for 2 s...\n", 0), 0u)
        << "the second option's own time";
    EXPECT_FALSE(main_run_failed());

    EXPECT_FALSE(cmd_remotelist("5s"));
    EXPECT_FALSE(cmd_remotelist("4294968")) << "milliseconds beyond 32 bits";
    EXPECT_EQ(dev.tasks.len, 3u);

    W.accept_ui = false;
    const std::string ui = stdout_of([&] { t[2].step(&dev); });
    EXPECT_EQ(ui, "Looking for 'yard/cab-7'...\nFound yard/cab-7\nremote UI: could not ask the device to start "
                  "mirroring\n");
    EXPECT_TRUE(main_run_failed());
}

} // namespace
