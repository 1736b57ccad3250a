// Ending the back end and starting it again, as the CAN configuration window and then the main
// window do. A program of its own: the GL driver is unloaded at the end and leaves allocations of its
// JIT code behind that have no stack to suppress by name, so leak checking is off here only.
#include <gtest/gtest.h>

#include "ui_support.h"

extern "C" int __lsan_is_turned_off() { return 1; }

namespace {
constexpr color_t RED = 0xFFFF0000, WHITE = 0xFFFFFFFF;

void settle(kr_uidisplay_st *d)
{
    for (int i = 0; i < 3; ++i) {
        kr_ui_refresh(&d->super.super);
        kr_uidisplay_step(d, 20);
    }
}
} // namespace

// The CAN configuration window and the main window each start and end the back end: a second start
// after an end draws again, with fonts, shaders and a fresh bitmap cache.
TEST(UiDraw, DestroyAndStartAgain)
{
    UI_REQUIRE_DISPLAY();
    ASSERT_TRUE(kr_ui_init());
    kr_ui_capture(true);
    const uint32_t gl_errors_at_start = kr_ui_gl_error_count();
    {
        static kr_uimedia_st first;
        const std::vector<unsigned char> png = uitest::quadrant_png(40, 30);
        kr_uimedia_newbitmapexmem_mem(&first, "quadrants", png.data(), (uint32_t)png.size());
    }
    kr_ui_destroy();
    kr_ui_destroy(); // twice is harmless
    ASSERT_TRUE(kr_ui_init());
    const std::vector<unsigned char> png = uitest::quadrant_png(40, 30);
    static kr_uimedia_st bm;
    const uint32_t decodes = kr_ui_decode_count();
    EXPECT_EQ(kr_uimedia_newbitmapexmem_mem(&bm, "quadrants", png.data(), (uint32_t)png.size()), 4800u);
    EXPECT_EQ(kr_ui_decode_count(), decodes + 1); // the old cache went with the old window
    static kr_uidisplay_st d;
    static kr_uiobject_st *dc[4];
    static uiw::box red;
    static uiw::text words;
    static uiw::picture pic;
    std::memset(&d, 0, sizeof d);
    kr_uidisplay_init(&d, dc, nullptr);
    uiw::box_init(&red, RED);
    kr_uiwindow_addxy(&d.super, &red.super, 100, 100, 50, 50);
    uiw::text_init(&words, "HHHH", UI_TEXT_FONT, WHITE);
    kr_uiwindow_addxy(&d.super, &words.super, 300, 100, 100, 40);
    uiw::picture_init(&pic, &bm);
    kr_uiwindow_addxy(&d.super, &pic.super, 500, 100, 40, 30);
    settle(&d);
    EXPECT_TRUE(uitest::region_is(100, 100, 150, 150, RED, 8));
    EXPECT_GT(uitest::count_in_region(300, 95, 400, 140, WHITE, 60), 20);
    EXPECT_TRUE(uitest::region_is(500, 100, 519, 114, RED, 10));
    EXPECT_EQ(kr_ui_gl_error_count(), gl_errors_at_start);
}
