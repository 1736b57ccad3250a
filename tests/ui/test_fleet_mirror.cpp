// The fleet layer driving the display mirror under Xvfb, with a broker-client double: the window opens
// once the display size is known, frames of other devices are ignored, asset requests go to the
// mirrored device (also after a removal moved it), and a close request closes the window.
#include <gtest/gtest.h>

#include <algorithm>

#include "online/fleet.h"
#include "ui/mirror.h"
#include "online/fleet_double.h"
#include "ui/mirror_recorder.h"
#include "ui_support.h"

namespace {

constexpr uint32_t BLUE = 0xFF0000FF, RED = 0xFFFF0000;

fleetdbl::device mkdev(const char *name, const char *ident)
{
    fleetdbl::device d;
    d.name = name;
    d.ident = ident;
    d.features = 1;
    return d;
}

void frame_from(uint8_t f, uint8_t d, const mirror_test::list_builder &l)
{
    ASSERT_NE(W.frame_cb, nullptr);
    W.frame_cb(f, d, l.b.data(), (uint32_t)l.b.size(), nullptr);
}

bool logged(const std::string &call) { return std::find(W.calls.begin(), W.calls.end(), call) != W.calls.end(); }

TEST(FleetMirror, FramesAssetsRemovalAndClose)
{
    UI_REQUIRE_DISPLAY();
    fleetdbl::reset();
    W.fleets = {{"main", {mkdev("other", ""), mkdev("cab-7", "Front")}}};
    fleet_step(); // registers the close handler
    ASSERT_TRUE(fleet_ui_start(0, 1));
    mirror_test::list_builder blue, red, bitmap;
    blue.frame(BLUE);
    red.frame(RED);
    bitmap.frame(BLUE).bitmap(77, 10, 10, 20, 20, 0xFFFFFFFF);

    frame_from(0, 1, blue);
    fleet_step();
    EXPECT_FALSE(remoteui_win_is_open()) << "the display size is not known yet";
    EXPECT_TRUE(fleet_ui_is_active());

    W.fleets[0].devs[1].ui_size = true;
    W.fleets[0].devs[1].w = 160;
    W.fleets[0].devs[1].h = 120;
    testing::internal::CaptureStdout();
    fleet_step();
    const std::string opened = testing::internal::GetCapturedStdout();
    ASSERT_TRUE(remoteui_win_is_open()) << opened;
    EXPECT_NE(opened.find("remote UI: mirroring 'Front - cab-7' at 160x120"), std::string::npos) << opened;
    EXPECT_TRUE(fleet_ui_shows(0, 1));
    EXPECT_FALSE(fleet_ui_shows(0, 0));
    remoteui_win_capture(true);
    frame_from(0, 1, blue);
    EXPECT_TRUE(uitest::near(remoteui_win_captured_pixel(80, 60), BLUE));
    frame_from(0, 0, red);
    EXPECT_TRUE(uitest::near(remoteui_win_captured_pixel(80, 60), BLUE)) << "another device's frame";

    // The device before it goes: the mirror follows the same device at its new index.
    EXPECT_TRUE(fleet_remove_dev(0, 0));
    EXPECT_TRUE(remoteui_win_is_open());
    W.calls.clear();
    frame_from(0, 0, bitmap);
    for (int i = 0; i < 40; ++i) fleet_step();
    EXPECT_TRUE(logged("asset 1:77 0/0")) << "asked of the mirrored device";
    frame_from(0, 0, red);
    EXPECT_TRUE(uitest::near(remoteui_win_captured_pixel(80, 60), RED));

    testing::internal::CaptureStdout();
    W.close_cb(0, 0, nullptr);
    const std::string closed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(closed, "remote UI: closing the mirrored view - the device sent a close request\n");
    EXPECT_FALSE(remoteui_win_is_open());
    EXPECT_FALSE(fleet_ui_is_active());
    EXPECT_TRUE(logged("ui off 0/0"));
}

} // namespace
