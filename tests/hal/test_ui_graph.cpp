// The point graph and the valve slider under Xvfb: editing by buttons, touch and arrows, the cases
// without a next point or a scale, and what is drawn where, by pixels.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "ui/kr_uigraph.h"
#include "ui/kr_uiwidgets.h"
#include "ui_screen.h"
#include "ui_support.h"

namespace {

constexpr color_t GREEN = 0xFF00FF00;

struct graph_bench {
    kr_uigraph_st g;
    kr_uibutton_st add, remove, left, right, up, down;
    kr_uistyle_st style;
};

// Pixel of a value inside the graph's last drawn plot, in screen coordinates.
int gx(const kr_uigraph_st &g, int v)
{
    return kr_ui_get_xglobal(&g.super) + g.content_x + v * g.content_w / (g.max_x - g.min_x);
}
int gy(const kr_uigraph_st &g, int v)
{
    return kr_ui_get_yglobal(&g.super) + g.content_h - (v - g.min_y) * g.content_h / (g.max_y - g.min_y);
}

int allowed_max_y = 1000;
bool allow_move(uint16_t, int32_t, int32_t y) { return y <= allowed_max_y; }

std::vector<int> xs(const kr_uigraph_st &g)
{
    std::vector<int> v;
    for (uint16_t i = 0; i < g.points_count; ++i) v.push_back(g.points[i].x);
    return v;
}

} // namespace

// Add between the last two points or after the active one, never after the last point; remove
// clears the freed slot; the buttons follow the state; arrows move by units and stop one short of
// an interactive neighbour and at the range; touches nudge, repeat and obey the callback.
TEST(UiGraph, EditingByButtonsTouchAndArrows)
{
    START_DISPLAY();
    screen s;
    static graph_bench b;
    std::memset((void *)&b, 0, sizeof b);
    b.style = kr_uistyles[0];
    b.style.fg_c = GREEN;
    // Exactly the buffer's size: ASan sees any write or read past it.
    std::unique_ptr<kr_uigraph_point_st[]> pts(new kr_uigraph_point_st[7]);
    const int16_t init[5][2] = {{0, 0}, {2, 60}, {50, 30}, {80, 90}, {100, 50}};
    for (int i = 0; i < 5; ++i) kr_uigraph_point_init(&pts[i], init[i][0], init[i][1], i > 0);
    kr_uigraph_init(&b.g, pts.get(), 5, 0, 100, 0, 100, &b.style);
    kr_uibutton_st *btns[6] = {&b.add, &b.remove, &b.left, &b.right, &b.up, &b.down};
    for (int i = 0; i < 6; ++i) {
        kr_uibutton_init(btns[i], "b", nullptr);
        kr_uiwindow_addxy(&s.d.super, &btns[i]->super, (int16_t)(100 + i * 110), 600, 100, 60);
    }
    kr_uigraph_set_point_uibuttons(&b.g, &b.add, &b.remove, 7);
    kr_uigraph_set_arrow_uibuttons(&b.g, &b.left, &b.right, &b.up, &b.down);
    kr_uiwindow_addxy(&s.d.super, &b.g.super, 100, 150, 700, 400);
    s.ctx = &b.g;
    s.probe = [](screen *sc) {
        const kr_uigraph_st *g = (const kr_uigraph_st *)sc->ctx;
        return g->point_selected | g->point_changed << 1 | g->point_added << 2 | g->point_removed << 3;
    };
    s.redraw();
    // The plot leaves room for the y labels on the left and the x labels under the axis.
    EXPECT_GT(b.g.content_x, 10);
    EXPECT_LT(b.g.content_h, 400 - 10);
    EXPECT_EQ(b.g.content_x + b.g.content_w, 700);
    // The line from (50, 30) to (80, 90) through its middle, and the point (50, 30) itself.
    EXPECT_GT(uitest::count_in_region(gx(b.g, 65) - 2, gy(b.g, 60) - 2, gx(b.g, 65) + 3, gy(b.g, 60) + 3, GREEN, 60),
              0);
    EXPECT_TRUE(uitest::near(kr_ui_captured_pixel(gx(b.g, 50), gy(b.g, 30)), GREEN, 40));
    EXPECT_TRUE(uitest::near(kr_ui_captured_pixel(gx(b.g, 35), gy(b.g, 80)), 0xFF000000, 40)); // off the line
    EXPECT_FALSE(b.remove.super.enabled);                                                      // nothing active
    EXPECT_FALSE(b.left.super.enabled);

    s.click(150 + 110 * 0, 630); // add, none active: between the last two
    EXPECT_EQ(xs(b.g), (std::vector<int>{0, 2, 50, 80, 90, 100}));
    EXPECT_EQ(pts[4].y, 70);
    EXPECT_TRUE(pts[4].interactive);
    s.click(150, 630);
    EXPECT_EQ(xs(b.g), (std::vector<int>{0, 2, 50, 80, 90, 95, 100}));
    s.step(1); // the application sees the step's flags in the next walk
    EXPECT_EQ(count(s.seen, 4), 2);
    EXPECT_FALSE(b.add.super.enabled); // full
    s.click(150, 630);
    EXPECT_EQ(b.g.points_count, 7);

    s.click(gx(b.g, 80), gy(b.g, 90)); // select (80, 90)
    EXPECT_EQ(b.g.active_point, 3);
    EXPECT_EQ(count(s.seen, 1), 1);
    EXPECT_TRUE(b.remove.super.enabled);
    s.click(260, 630); // remove
    EXPECT_EQ(xs(b.g), (std::vector<int>{0, 2, 50, 90, 95, 100}));
    EXPECT_EQ(pts[6].x, 0);
    EXPECT_EQ(pts[6].y, 0);
    EXPECT_FALSE(pts[6].interactive);
    EXPECT_EQ(b.g.active_point, -1);
    s.step(1);
    EXPECT_EQ(count(s.seen, 8), 1);
    EXPECT_TRUE(b.add.super.enabled);

    // The last point active: add has no next point and does nothing.
    s.seen.clear();
    s.click(gx(b.g, 100), gy(b.g, 50));
    ASSERT_EQ(b.g.active_point, 5);
    s.click(150, 630);
    s.step(1);
    EXPECT_EQ(xs(b.g), (std::vector<int>{0, 2, 50, 90, 95, 100}));
    EXPECT_EQ(count(s.seen, 4), 0);

    // Arrows: right from 90 stops at 94 (95 is interactive); left from 2 stops at the range's 0.
    s.click(gx(b.g, 100), gy(b.g, 50)); // deselect
    EXPECT_EQ(b.g.active_point, -1);
    s.click(gx(b.g, 90), gy(b.g, 70));
    ASSERT_EQ(b.g.active_point, 3);
    s.click(480, 630, 3); // right, held 60 ms: one unit at once
    EXPECT_EQ(pts[3].x, 91);
    s.click(480, 630, 50);
    EXPECT_EQ(pts[3].x, 94);
    EXPECT_EQ(pts[3].y, 70);
    s.click(590, 630, 3); // up
    EXPECT_EQ(pts[3].y, 71);
    s.click(gx(b.g, 94), gy(b.g, 71)); // deselect
    s.click(gx(b.g, 2), gy(b.g, 60));
    ASSERT_EQ(b.g.active_point, 1);
    s.click(370, 630, 40); // left
    EXPECT_EQ(pts[1].x, 0);

    // Touch without a callback moves nothing; with one, a press above nudges up at once, repeats
    // while held, and stops where the callback refuses.
    s.seen.clear();
    s.click(gx(b.g, 0), gy(b.g, 60) - 100, 3);
    EXPECT_EQ(pts[1].y, 60);
    EXPECT_EQ(b.g.active_point, 1);
    b.g.point_moved_callb = allow_move;
    allowed_max_y = 75;
    s.click(gx(b.g, 0), gy(b.g, 60) - 100, 3); // 60 ms: before the first repeat
    EXPECT_EQ(pts[1].y, 61);
    s.click(gx(b.g, 0), gy(b.g, 61) - 100, 60);
    EXPECT_EQ(pts[1].y, 75);
    EXPECT_GE(count(s.seen, 2), 10);
    s.click(gx(b.g, 0) + 150, gy(b.g, 75), 3); // right of it
    EXPECT_EQ(pts[1].x, 1);
    EXPECT_EQ(pts[1].y, 75);
    s.click(gx(b.g, 1), gy(b.g, 75)); // on it: deselected
    EXPECT_EQ(b.g.active_point, -1);

    // Fewer than two points: add does nothing, nothing is read or written past the count.
    kr_uigraph_set_point_count(&b.g, 1);
    s.click(150, 630);
    EXPECT_EQ(b.g.points_count, 1);
    kr_uigraph_set_point_count(&b.g, 0);
    s.click(150, 630);
    EXPECT_EQ(b.g.points_count, 0);
    s.redraw();
}

// Equal limits draw axes but no grid, touches and drags on them move nothing and divide by nothing;
// zero outside the y range keeps a plot; a grid of a real range is drawn.
TEST(UiGraph, EqualLimitsAndZeroOutsideTheRange)
{
    START_DISPLAY();
    screen s;
    static kr_uigraph_st g;
    static kr_uigraph_point_st pts[3];
    std::memset((void *)&g, 0, sizeof g);
    kr_uigraph_point_init(&pts[0], 5, 5, true);
    kr_uigraph_point_init(&pts[1], 5, 5, true);
    kr_uigraph_point_init(&pts[2], 5, 5, true);
    kr_uigraph_init(&g, pts, 3, 0, 100, 0, 100, nullptr);
    g.coordinate_c = 0xFFFFFFFF;
    g.grid_size_x = g.grid_size_y = 10;
    kr_uiwindow_addxy(&s.d.super, &g.super, 100, 100, 600, 400);
    s.redraw();
    const int x0 = 100 + g.content_x + 3, x1 = 100 + g.content_x + g.content_w - 3;
    const int grid_px = uitest::count_in_region(x0, 110, x1, 100 + g.content_h - 3, 0xFF808080, 30);
    EXPECT_GT(grid_px, 500);

    g.min_x = g.max_x = 5;
    g.min_y = g.max_y = 5;
    g.point_moved_callb = allow_move;
    allowed_max_y = 1000;
    s.redraw();
    EXPECT_EQ(uitest::count_in_region(x0, 110, x1, 100 + g.content_h - 3, 0xFF808080, 30), 0);
    EXPECT_GT(uitest::count_in_region(100, 100, 700, 500, 0xFFFFFFFF, 30), 100); // axes and labels
    s.click(100 + g.content_x, 100 + g.content_h);                               // selects a point at the origin
    ASSERT_GE(g.active_point, 0);
    s.step(6);
    kr_ui_input_cursor(400, 300);
    kr_ui_input_button(true);
    for (int i = 1; i <= 5; ++i) {
        kr_ui_input_cursor(400 + 30 * i, 300 - 20 * i);
        s.step(1);
    }
    kr_ui_input_button(false);
    s.step(2);
    for (const auto &p : pts) {
        EXPECT_EQ(p.x, 5); // the press nudges towards an equal neighbour: no move
        EXPECT_EQ(p.y, 5);
    }

    // Zero below the y range: the plot keeps its height and the points their places.
    g.min_x = 0;
    g.max_x = 100;
    g.min_y = 10;
    g.max_y = 20;
    g.active_point = -1;
    kr_uigraph_point_init(&pts[1], 50, 15, true);
    g.graph_c = GREEN;
    s.redraw();
    EXPECT_GT(g.content_h, 300);
    EXPECT_LE(g.content_h, 400);
    EXPECT_TRUE(uitest::near(kr_ui_captured_pixel(gx(g, 50), gy(g, 15)), GREEN, 40));
}

// Handle places, the bands' colours, a press repeat, the push between one side's handles, unidir
// mirroring, a drag on a slider without room, and the cursor at the end of the band.
TEST(UiValveSlider, HandlesPushRepeatDragAndCursor)
{
    START_DISPLAY();
    screen s;
    static kr_uivalveslider_st v;
    std::memset((void *)&v, 0, sizeof v);
    static const char *labels[4] = {"min", "max", "-min", "-max"};
    const int16_t values[4] = {200, 600, -200, -600};
    kr_uivalveslider_init(&v, -1000, 1000, nullptr, nullptr, labels, values, nullptr);
    EXPECT_EQ(v.inc_step, 10);
    kr_uiwindow_addxy(&s.d.super, &v.super, 100, 300, 1000, 120);
    int32_t hx[4];
    kr_uivalveslider_handle_x_coords(&v, 100, 1000, hx);
    EXPECT_EQ(hx[0], 704);
    EXPECT_EQ(hx[1], 912);
    EXPECT_EQ(hx[2], 496);
    EXPECT_EQ(hx[3], 288);
    s.redraw();
    EXPECT_TRUE(uitest::near(kr_ui_captured_pixel(800, 415), 0xFF009000, 30));  // positive band
    EXPECT_TRUE(uitest::near(kr_ui_captured_pixel(400, 415), 0xFF900000, 30));  // negative band
    EXPECT_TRUE(uitest::near(kr_ui_captured_pixel(650, 415), 0xFF202020, 16));  // out of bounds
    EXPECT_TRUE(uitest::near(kr_ui_captured_pixel(1000, 415), 0xFF202020, 16)); // beyond the maximum

    s.ctx = &v;
    s.probe = [](screen *sc) { return (int)((kr_uivalveslider_st *)sc->ctx)->handle_values[0]; };
    s.click(704, 360); // select
    ASSERT_EQ(v.selected_handle, UIVALVESLIDER_HANDLE_POS_MIN);
    EXPECT_TRUE(uitest::near(kr_ui_captured_pixel(800, 415), 0xFF002000, 16)); // faded while selected
    s.seen.clear();
    s.click(850, 360, 3); // right of it: one step at once
    EXPECT_EQ(v.handle_values[0], 210);
    s.click(850, 360, 30); // 600 ms: steps every 30 ms after 250 ms
    EXPECT_GT(v.handle_values[0], 240);
    for (size_t i = 1; i < s.seen.size(); ++i) EXPECT_GE(s.seen[i], s.seen[i - 1]);
    const int16_t after = v.handle_values[0];
    s.step(20);
    EXPECT_EQ(v.handle_values[0], after); // released: no more steps
    EXPECT_EQ(kr_uivalveslider_get_selected_handle_value(&v), after);

    // Dragged far right: the minimum stops at the end and takes the maximum along.
    s.step(6);
    kr_ui_input_cursor(700, 360);
    kr_ui_input_button(true);
    s.step(3);
    for (int i = 1; i <= 12; ++i) {
        kr_ui_input_cursor(700 + 40 * i, 360);
        s.step(1);
    }
    kr_ui_input_button(false);
    s.step(2);
    EXPECT_EQ(v.handle_values[0], 1000);
    EXPECT_EQ(v.handle_values[1], 1000);
    EXPECT_EQ(v.handle_values[2], -200);

    // Unidir: the maximum lowered pushes the minimum down; the negative side mirrors both.
    kr_uivalveslider_handle_x_coords(&v, 100, 1000, hx);
    s.click(hx[0], 360); // deselect
    ASSERT_EQ(v.selected_handle, UIVALVESLIDER_HANDLE_COUNT);
    v.unidir = true;
    s.click(hx[1], 360);
    ASSERT_EQ(v.selected_handle, UIVALVESLIDER_HANDLE_POS_MAX);
    s.click(hx[1] - 100, 360, 3);
    EXPECT_EQ(v.handle_values[1], 990);
    EXPECT_EQ(v.handle_values[0], 990);
    EXPECT_EQ(v.handle_values[2], -990);
    EXPECT_EQ(v.handle_values[3], -990);
    s.click(hx[1], 360); // deselect (it moved less than the handle's half width)
    v.unidir = false;

    // The cursor at 100 sits at the positive band's end, green; inverted, -50 is green in the middle
    // of the negative band.
    const int16_t band[4] = {0, 1000, 0, -1000};
    std::memcpy(v.handle_values, band, sizeof band);
    kr_uivalveslider_set_cursor(&v, 100, "out");
    s.redraw();
    kr_uivalveslider_handle_x_coords(&v, 100, 1000, hx);
    EXPECT_GT(uitest::count_in_region(hx[1] - 21, 310, hx[1] - 18, 330, GREEN, 40), 10);
    kr_uivalveslider_set_invert(&v, true);
    kr_uivalveslider_set_cursor(&v, -50, "in");
    s.redraw();
    const int mid = (hx[2] - 20 + hx[3] + 20) / 2;
    EXPECT_GT(uitest::count_in_region(mid - 2, 310, mid + 2, 330, GREEN, 40), 10);
    // The same buffer rewritten is a new text; the same text again is no change.
    static char cbuf[8] = "in";
    kr_uivalveslider_set_cursor(&v, -50, cbuf);
    s.step(1);
    std::strcpy(cbuf, "in 2");
    kr_uivalveslider_set_cursor(&v, -50, cbuf);
    EXPECT_TRUE(s.d.super.super.refresh);
    s.step(1);
    kr_uivalveslider_set_cursor(&v, -50, cbuf);
    EXPECT_FALSE(s.d.super.super.refresh);
    kr_uiwindow_remove(&s.d.super, &v.super);

    // No room to drag over and no range: selected and dragged, nothing moves or faults.
    static kr_uivalveslider_st tiny;
    std::memset((void *)&tiny, 0, sizeof tiny);
    kr_uivalveslider_init(&tiny, 0, 0, nullptr, nullptr, nullptr, nullptr, nullptr);
    kr_uiwindow_addxy(&s.d.super, &tiny.super, 100, 500, 120, 80);
    s.click(100 + 60 + 20, 540);
    ASSERT_EQ(tiny.selected_handle, UIVALVESLIDER_HANDLE_POS_MIN);
    s.step(6);
    kr_ui_input_cursor(215, 540); // right of the handle: a step up, held at the end of no range
    kr_ui_input_button(true);
    s.step(2);
    kr_ui_input_cursor(175, 540);
    s.step(2);
    kr_ui_input_button(false);
    s.step(2);
    for (int16_t hv : tiny.handle_values) EXPECT_EQ(hv, 0);
}
