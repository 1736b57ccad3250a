// The display mirror's window under Xvfb: lists, assets and the stale overlay read back from the
// window, and mouse input from xdotool turned into touches.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "ui/mirror.h"
#include "ui/mirror_recorder.h"
#include "ui_support.h"
#include "ui_x11.h"

#include <X11/Xlib.h>

namespace {

constexpr uint32_t RED = 0xFFFF0000, GREEN = 0xFF00FF00, BLUE = 0xFF0000FF, WHITE = 0xFFFFFFFF, BLACK = 0xFF000000;

struct requests {
    std::vector<std::pair<uint8_t, uint32_t>> seen;
    size_t count(uint8_t kind, uint32_t id) const
    {
        size_t n = 0;
        for (auto &r : seen)
            if (r.first == kind && r.second == id) ++n;
        return n;
    }
};
void on_request(uint8_t kind, uint32_t id, void *user) { static_cast<requests *>(user)->seen.push_back({kind, id}); }

void draw(const list_builder &l) { remoteui_win_draw_frame(l.b.data(), (uint32_t)l.b.size()); }

bool near_px(int x, int y, uint32_t want, int tol = 24)
{
    return uitest::near(remoteui_win_captured_pixel(x, y), want, tol);
}

int count_px(int x0, int y0, int x1, int y1, uint32_t want, int tol)
{
    int n = 0;
    for (int y = y0; y < y1; ++y)
        for (int x = x0; x < x1; ++x) n += near_px(x, y, want, tol);
    return n;
}

// Columns of a band holding white-ish pixels: first and last, -1 when none.
std::pair<int, int> white_cols(int x0, int y0, int x1, int y1)
{
    int first = -1, last = -1;
    for (int x = x0; x < x1; ++x)
        for (int y = y0; y < y1; ++y)
            if (uitest::near(remoteui_win_captured_pixel(x, y), WHITE, 90)) {
                if (first < 0) first = x;
                last = x;
                break;
            }
    return {first, last};
}

struct touch {
    uint8_t action;
    int16_t x, y, scroll;
    double t;
};
void on_input(uint8_t action, int16_t x, int16_t y, int16_t scroll, char, void *user)
{
    const double t = std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
    static_cast<std::vector<touch> *>(user)->push_back({action, x, y, scroll, t});
}

// Runs xdotool while the window's events are polled, as the remote command's loop does.
void xdotool_polling(const e2e::sandbox &box, const std::vector<std::string> &args)
{
    e2e::options o;
    o.timeout_ms = 30000;
    e2e::background x(box, uitest::find_program("xdotool"), args, o);
    const auto t0 = std::chrono::steady_clock::now();
    while (x.running() && std::chrono::steady_clock::now() - t0 < std::chrono::seconds(30)) {
        remoteui_win_poll_events();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    for (int i = 0; i < 50; ++i) {
        remoteui_win_poll_events();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_TRUE(x.stop().exited(0)) << "xdotool";
}

std::string xdotool_out(const e2e::sandbox &box, const std::vector<std::string> &args)
{
    e2e::options o;
    o.timeout_ms = 30000;
    e2e::result r = box.run(uitest::find_program("xdotool"), args, o);
    EXPECT_TRUE(r.exited(0)) << "xdotool";
    return r.out.substr(0, r.out.find('\n'));
}

using uitest::send_delete;

} // namespace

// Sizes refused; the blue list; text and its font request; a bitmap requested, outlined, then
// drawn the right way up; a refused one never asked again; a partial frame over the kept picture;
// a MASK left open clipping the blit; the stale overlay and its end; the device's font widths.
TEST(MirrorWindow, DrawsListsAssetsAndOverlay)
{
    UI_REQUIRE_DISPLAY();
    testing::internal::CaptureStdout();
    EXPECT_FALSE(remoteui_win_open("too big", 4097, 100));
    EXPECT_FALSE(remoteui_win_open("too big", 100, 65535));
    EXPECT_FALSE(remoteui_win_open("empty", 0, 100));
    const std::string refused = testing::internal::GetCapturedStdout();
    EXPECT_NE(refused.find("remote UI: the display size 4097x100 is too large to mirror"), std::string::npos)
        << refused;
    EXPECT_FALSE(remoteui_win_is_open());

    requests reqs;
    remoteui_win_set_asset_request_callb(on_request, &reqs);
    ASSERT_TRUE(remoteui_win_open("mirror test", 160, 120));
    remoteui_win_capture(true);
    list_builder blue;
    blue.b = {0x01, 0xFF, 0x00, 0x00, 0x00};
    draw(blue);
    EXPECT_TRUE(uitest::near(remoteui_win_captured_pixel(0, 0), BLUE));
    EXPECT_TRUE(near_px(159, 119, BLUE));

    list_builder scene;
    scene.frame(0xFF000000)
        .bitmap(5, 10, 10, 40, 40, WHITE)
        .text(0x01, 110, 90, UI_HALIGN_CENTER | UI_VALIGN_CENTER, WHITE, "HHHH");
    draw(scene);
    EXPECT_EQ(reqs.count(KR_UI_REMOTE_ASSET_KIND_BITMAP, 5), 1u);
    EXPECT_EQ(reqs.count(KR_UI_REMOTE_ASSET_KIND_FONT, 1), 1u);
    EXPECT_TRUE(near_px(10, 30, WHITE, 90)); // the outline
    EXPECT_TRUE(near_px(30, 30, BLACK));
    const auto narrow = white_cols(60, 70, 160, 110);
    ASSERT_GE(narrow.first, 0);
    EXPECT_NEAR((narrow.first + narrow.second) / 2.0, 110, 4); // centred on x

    const auto png = uitest::quadrant_png(40, 40);
    remoteui_win_asset_received(KR_UI_REMOTE_ASSET_KIND_BITMAP, 5, png.data(), (uint32_t)png.size());
    EXPECT_TRUE(near_px(20, 20, RED));
    EXPECT_TRUE(near_px(40, 20, GREEN));
    EXPECT_TRUE(near_px(20, 40, BLUE));
    EXPECT_TRUE(near_px(40, 40, WHITE));

    // The device's widths (20 px each at 30 px) make the same text wider.
    const auto fb = font_body(30, 20);
    remoteui_win_asset_received(KR_UI_REMOTE_ASSET_KIND_FONT, 1, fb.data(), (uint32_t)fb.size());
    const auto wide = white_cols(60, 70, 160, 110);
    EXPECT_NEAR(wide.second - wide.first, 60 + 10, 10) << narrow.first << " " << narrow.second;
    EXPECT_GT(wide.second - wide.first, narrow.second - narrow.first + 20);

    const uint8_t junk[] = {0xFF, 0xD8, 0xFF, 0, 1, 2};
    remoteui_win_asset_received(KR_UI_REMOTE_ASSET_KIND_BITMAP, 6, junk, sizeof junk);
    draw(list_builder().frame(0xFF000000).bitmap(6, 0, 0, 20, 20, RED).bitmap(5, 10, 10, 40, 40, WHITE));
    for (int i = 0; i < 400; ++i) remoteui_win_step();
    EXPECT_EQ(reqs.count(KR_UI_REMOTE_ASSET_KIND_BITMAP, 6), 0u);
    EXPECT_TRUE(near_px(0, 10, RED, 90));

    // A partial frame draws over the kept picture.
    draw(list_builder().keep().rrect(100, 20, 10, 10, 0, GREEN));
    EXPECT_TRUE(near_px(105, 25, GREEN));
    EXPECT_TRUE(near_px(20, 20, RED));

    // A MASK without FRAME_END clips the blit of that frame only.
    draw(list_builder().frame(0xFFFF0000).mask(0, 0, 20, 20));
    EXPECT_TRUE(near_px(5, 5, RED));
    EXPECT_FALSE(near_px(100, 60, RED));
    draw(list_builder().frame(0xFF0000FF).end());
    EXPECT_TRUE(near_px(100, 60, BLUE));
    EXPECT_TRUE(near_px(5, 5, BLUE));

    // Stale at 12 s: shaded, with white text; fresh again when the device is heard.
    remoteui_win_set_link_age(11);
    EXPECT_TRUE(near_px(5, 5, BLUE));
    remoteui_win_set_link_age(12);
    EXPECT_TRUE(near_px(5, 5, 0xFF00003F, 12));
    EXPECT_GT(count_px(0, 0, 160, 120, WHITE, 60), 10);
    remoteui_win_set_link_age(1);
    EXPECT_TRUE(near_px(5, 5, BLUE));

    remoteui_win_close();
    EXPECT_FALSE(remoteui_win_is_open());
    remoteui_win_set_asset_request_callb(nullptr, nullptr);
}

// Press, a quick drag (at most one touch per 0.02 s), release, the wheel; RELEASE when the window
// closes under a held button; the user's close ends the window at the next step.
TEST(MirrorWindow, MouseInput)
{
    UI_REQUIRE_DISPLAY();
    if (uitest::find_program("xdotool").empty()) {
        if (uitest::ci_run()) FAIL() << "xdotool is not installed";
        GTEST_SKIP() << "xdotool is not installed";
    }
    std::vector<touch> got;
    remoteui_win_set_input_callb(on_input, &got);
    ASSERT_TRUE(remoteui_win_open("krcan mirror input", 200, 100));
    e2e::sandbox box;
    const std::string win = xdotool_out(box, {"search", "--sync", "--name", "^krcan mirror input$"});
    ASSERT_FALSE(win.empty());
    for (int i = 0; i < 50; ++i) remoteui_win_poll_events();

    std::vector<std::string> args = {"mousemove", "--window", win, "20", "30", "mousedown", "1"};
    for (int i = 1; i <= 30; ++i)
        for (const std::string &a :
             {std::string("mousemove"), std::string("--window"), win, std::to_string(20 + i), std::string("30")})
            args.push_back(a);
    for (const char *a : {"mouseup", "1", "click", "4"}) args.push_back(a);
    xdotool_polling(box, args);

    ASSERT_GE(got.size(), 3u);
    EXPECT_EQ(got.front().action, KR_UI_REMOTE_INPUT_PRESS);
    EXPECT_EQ(got.front().x, 20);
    EXPECT_EQ(got.front().y, 30);
    size_t presses = 0, release_at = 0;
    for (size_t i = 0; i < got.size(); ++i) {
        if (got[i].action == KR_UI_REMOTE_INPUT_PRESS && got[i].scroll == 0) ++presses;
        if (got[i].action == KR_UI_REMOTE_INPUT_RELEASE && got[i].scroll == 0 && !release_at) release_at = i;
        // Drags after the press: index 0 is the press itself.
        if (i >= 2 && got[i].action == KR_UI_REMOTE_INPUT_PRESS && got[i - 1].action == KR_UI_REMOTE_INPUT_PRESS) {
            EXPECT_GE(got[i].t - got[i - 1].t, 0.019) << i;
        }
    }
    ASSERT_GT(release_at, 0u);
    EXPECT_EQ(got[release_at].x, 50);
    EXPECT_LT(presses, 31u); // drags in between were dropped
    EXPECT_GE(presses, 1u);
    ASSERT_EQ(got.back().scroll, 1); // wheel up, button released
    EXPECT_EQ(got.back().action, KR_UI_REMOTE_INPUT_RELEASE);
    EXPECT_EQ(got.back().x, 50);

    // Closed while the button is down: RELEASE at the last position.
    got.clear();
    xdotool_polling(box, {"mousemove", "--window", win, "70", "80", "mousedown", "1"});
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got.back().action, KR_UI_REMOTE_INPUT_PRESS);
    remoteui_win_close();
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got.back().action, KR_UI_REMOTE_INPUT_RELEASE);
    EXPECT_EQ(got.back().x, 70);
    EXPECT_EQ(got.back().y, 80);
    xdotool_out(box, {"mouseup", "1"});

    // The user closes the window: the next step says so and closes it.
    ASSERT_TRUE(remoteui_win_open("krcan mirror close", 100, 50));
    const std::string w2 = xdotool_out(box, {"search", "--sync", "--name", "^krcan mirror close$"});
    ASSERT_FALSE(w2.empty());
    send_delete(w2);
    testing::internal::CaptureStdout();
    for (int i = 0; i < 500 && remoteui_win_is_open(); ++i) {
        remoteui_win_poll_events();
        remoteui_win_step();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_FALSE(remoteui_win_is_open());
    EXPECT_NE(out.find("remote UI: window closed\n"), std::string::npos) << out;
    remoteui_win_set_input_callb(nullptr, nullptr);
}
