// The Fleet tab over a broker-client double, without a window: placeholders, the fleets listed with
// "main" first, fleets leaving when their devices go offline, removal, and the device controls.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "online/fleet.h"
#include "ui/fleettab.h"
#include "online/fleet_double.h"

namespace {

fleetdbl::device mkdev(const char *name, const char *ident = "", bool online = true)
{
    fleetdbl::device d;
    d.name = name;
    d.ident = ident;
    d.online = online;
    return d;
}

struct main_tab {
    kr_uitabwindow_st tw;
    kr_uiobject_st *children[4];
    const char *names[1] = {"Fleet"};
    main_tab()
    {
        std::memset((void *)&tw, 0, sizeof tw);
        std::memset(children, 0, sizeof children);
        kr_uitabwindow_init(&tw, 1, nullptr, children, names);
        kr_bounding_box_init(&tw.super.super.bb, 0, 0, 1200, 640);
    }
    void show()
    {
        kr_uiwindow_clear(&tw.super);
        fleettab_show(&tw);
    }
};

std::string tab_names(const kr_uitabwindow_st *t)
{
    std::string s;
    for (uint16_t i = 0; t && i < t->tab_count; ++i) s += std::string(kr_uitabwindow_tab_name(t, i)) + ";";
    return s;
}

class FleetTab : public ::testing::Test {
protected:
    main_tab tab;
    void SetUp() override
    {
        fleetdbl::reset();
        fleet_ui_stop();
        // The selection outlives a show, and the tests share one process: park it on a fleet index that
        // no test uses, so each test starts with its first listed fleet selected.
        W.fleets.resize(MQTT_MAX_FLEETS);
        W.fleets.back().devs.push_back(mkdev("parked"));
        tab.show();
        fleettab_set_shown(false);
        W.fleets.clear();
    }
    int steps_asking(int n)
    {
        int asked = 0;
        for (int i = 0; i < n; ++i) asked += fleettab_step();
        return asked;
    }
};

// Each state before a fleet shows has its placeholder; without a broker client the step never asks
// for a rebuild.
TEST_F(FleetTab, Placeholders)
{
    W.supported = false;
    W.state = MQTT_STATE_DISCONNECTED;
    tab.show();
    fleettab_parts p = fleettab_test_parts();
    ASSERT_NE(p.placeholder, nullptr);
    EXPECT_STREQ(p.placeholder, "The fleet view needs an MQTT connection, which is not available in the Linux build.");
    EXPECT_EQ(tab.tw.super.objects_count, 1);
    EXPECT_EQ(steps_asking(30), 0);

    W.supported = true;
    tab.show();
    const std::string not_connected = fleettab_test_parts().placeholder;
    EXPECT_NE(not_connected.find("Settings tab"), std::string::npos) << not_connected;
    EXPECT_NE(not_connected.find("Account"), std::string::npos) << not_connected;

    W.state = MQTT_STATE_CONNECTED;
    tab.show();
    EXPECT_STREQ(fleettab_test_parts().placeholder,
                 "Connected to broker. No fleets seen yet - a fleet appears once one "
                 "of its devices publishes something.");
    W.fleets = {{"quiet", {mkdev("q1", "", false)}}};
    tab.show();
    EXPECT_STREQ(fleettab_test_parts().placeholder,
                 "Connected to broker. None of the fleets has a device online - a fleet is shown while at least one "
                 "of its devices is online.");
    EXPECT_EQ(steps_asking(5), 0);
    W.fleets[0].devs[0].online = true;
    EXPECT_EQ(steps_asking(1), 1) << "a fleet came online";
    tab.show();
    EXPECT_EQ(fleettab_test_parts().placeholder, nullptr);
}

// "main" comes first; tab labels count online devices and follow changes without a rebuild; a fleet
// whose devices all go offline leaves at the next step, and when it was the selected one the first
// listed fleet is selected.
TEST_F(FleetTab, FleetsListedAndLeaving)
{
    W.fleets = {{"alpha", {mkdev("a1")}},
                {"main", {mkdev("m1", "Front"), mkdev("m2")}},
                {"idle", {mkdev("i1", "", false)}}};
    tab.show();
    fleettab_parts p = fleettab_test_parts();
    ASSERT_NE(p.fleet_tabs, nullptr);
    EXPECT_EQ(tab_names(p.fleet_tabs), "main (2);alpha (1);");
    EXPECT_EQ(p.fleet, 1);
    EXPECT_EQ(p.device, 0);
    EXPECT_EQ(tab_names(p.dev_tabs), "Front;m2;");
    ASSERT_NE(p.detail, nullptr);
    EXPECT_EQ(std::string(p.detail).rfind("Name:       Front\n", 0), 0u);
    EXPECT_EQ(steps_asking(3), 0);

    W.fleets[1].devs[1].online = false;
    EXPECT_EQ(steps_asking(1), 0) << "only the count changed";
    EXPECT_EQ(tab_names(p.fleet_tabs), "main (1);alpha (1);");

    // The user picks alpha; then alpha's device goes offline.
    p.fleet_tabs->active_tab = 1;
    EXPECT_EQ(steps_asking(1), 0);
    p = fleettab_test_parts();
    EXPECT_EQ(p.fleet, 0);
    EXPECT_EQ(tab_names(p.dev_tabs), "a1;");
    W.fleets[0].devs[0].online = false;
    EXPECT_EQ(steps_asking(1), 1);
    tab.show();
    p = fleettab_test_parts();
    EXPECT_EQ(tab_names(p.fleet_tabs), "main (1);");
    EXPECT_EQ(p.fleet, 1);
    EXPECT_EQ(p.device, 0);

    W.changed = true;
    EXPECT_EQ(steps_asking(2), 1) << "a changed fleet view is reported once";
}

// Removing the selected device selects the one before it, removing the first keeps index 0; a failed
// removal changes nothing.
TEST_F(FleetTab, RemovingSelectsThePreviousDevice)
{
    W.fleets = {{"main", {mkdev("d0"), mkdev("d1"), mkdev("d2")}}};
    tab.show();
    fleettab_parts p = fleettab_test_parts();
    p.dev_tabs->active_tab = 2;
    fleettab_step();
    p = fleettab_test_parts();
    EXPECT_EQ(p.device, 2);
    EXPECT_EQ(std::string(p.detail).find("Client id:  d2\n") != std::string::npos, true);

    W.remove_ok = false;
    p.remove_btn->state = UIBUTTON_CLICKED;
    EXPECT_FALSE(fleettab_step());
    EXPECT_EQ(fleettab_test_parts().device, 2);
    W.remove_ok = true;
    p.remove_btn->state = UIBUTTON_CLICKED;
    EXPECT_TRUE(fleettab_step());
    EXPECT_EQ(W.calls.back(), "remove 0/2");
    tab.show();
    p = fleettab_test_parts();
    EXPECT_EQ(p.device, 1);
    EXPECT_EQ(tab_names(p.dev_tabs), "d0;d1;");

    p.dev_tabs->active_tab = 0;
    fleettab_step();
    p.remove_btn->state = UIBUTTON_CLICKED;
    EXPECT_TRUE(fleettab_step());
    tab.show();
    p = fleettab_test_parts();
    EXPECT_EQ(p.device, 0);
    EXPECT_EQ(tab_names(p.dev_tabs), "d1;");
}

// A device that has sent nothing has its remote UI button and Remote CAN toggle off; once heard, the
// button asks the device to stream, the toggle starts the bridge (a refused start turns it back off
// and is not retried by itself) and the check boxes set the bridge's options.
TEST_F(FleetTab, DeviceControls)
{
    W.fleets = {{"main", {mkdev("silent"), mkdev("talks")}}};
    W.fleets[0].devs[0].msgs = 0;
    tab.show();
    fleettab_parts p = fleettab_test_parts();
    EXPECT_FALSE(p.ui_btn->super.enabled);
    EXPECT_FALSE(p.can_toggle->super.super.enabled);
    EXPECT_TRUE(p.remove_btn->super.enabled);

    p.dev_tabs->active_tab = 1;
    fleettab_step();
    p = fleettab_test_parts();
    EXPECT_TRUE(p.ui_btn->super.enabled);
    EXPECT_TRUE(p.can_toggle->super.super.enabled);
    EXPECT_STREQ(p.ui_btn->text, "Open remote UI");
    W.calls.clear();
    p.ui_btn->state = UIBUTTON_CLICKED;
    fleettab_step();
    fleettab_step();
    EXPECT_EQ(W.calls.front(), "ui on 0/1");
    EXPECT_EQ(std::count(W.calls.begin(), W.calls.end(), "ui on 0/1"), 1) << "one click, one request";
    EXPECT_TRUE(fleet_ui_is_active());

    W.can_start_ok = false;
    p.can_toggle->state = true;
    fleettab_step();
    EXPECT_FALSE(p.can_toggle->state) << "shows the bridge is not running";
    for (int i = 0; i < 5; ++i) fleettab_step();
    EXPECT_EQ(std::count(W.calls.begin(), W.calls.end(), "can start 0/1"), 1);

    W.can_start_ok = true;
    p.can_toggle->state = true;
    EXPECT_TRUE(fleettab_step()) << "the tab is rebuilt";
    EXPECT_TRUE(remotecan_shows(0, 1));
    fleettab_step();
    p = fleettab_test_parts();
    EXPECT_NE(std::string(p.detail).find("Remote CAN: netdev krremote0, STD and EXT messages"), std::string::npos)
        << p.detail;
    p.ext_box->super.state = false;
    EXPECT_TRUE(fleettab_step());
    EXPECT_FALSE(W.allow_ext);
    EXPECT_TRUE(W.allow_std);
    fleettab_step();
    EXPECT_NE(std::string(fleettab_test_parts().detail).find("STD messages"), std::string::npos);
    p.can_toggle->state = false;
    fleettab_step();
    EXPECT_FALSE(remotecan_is_active());
}

} // namespace
