// Drawing through the OpenGL back end under Xvfb: frames are read back and checked by regions.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "ui_support.h"

namespace {

constexpr color_t RED = 0xFFFF0000, GREEN = 0xFF00FF00, BLUE = 0xFF0000FF, WHITE = 0xFFFFFFFF;

bool display_up()
{
    static int state = 0; // 0 not tried, 1 up, 2 failed
    if (state == 0) {
        state = kr_ui_init() ? 1 : 2;
        kr_ui_capture(true);
    }
    return state == 1;
}

#define START_DISPLAY()        \
    UI_REQUIRE_DISPLAY();      \
    ASSERT_TRUE(display_up()); \
    const uint32_t gl_errors_at_start = kr_ui_gl_error_count()

// Steps until the window has the size and a frame with rebuilt fonts was drawn.
void settle(kr_uidisplay_st *d, int w, int h)
{
    for (int i = 0; i < 200 && (kr_ui_window_width() != w || kr_ui_window_height() != h); ++i) {
        kr_uidisplay_step(d, 20);
        usleep(5000);
    }
    for (int i = 0; i < 3; ++i) {
        kr_ui_refresh(&d->super.super);
        kr_uidisplay_step(d, 20);
    }
}

// The rows (window pixels) in which a region has pixels near a colour: first and last, -1 if none.
std::pair<int, int> rows_with(int x0, int y0, int x1, int y1, color_t c, int tol = 80)
{
    int first = -1, last = -1;
    for (int y = y0; y < y1; ++y)
        for (int x = x0; x < x1; ++x)
            if (uitest::near(kr_ui_captured_pixel(x, y), c, tol)) {
                if (first < 0) first = y;
                last = y;
                break;
            }
    return {first, last};
}

std::pair<int, int> cols_with(int x0, int y0, int x1, int y1, color_t c, int tol = 80)
{
    int first = -1, last = -1;
    for (int x = x0; x < x1; ++x)
        for (int y = y0; y < y1; ++y)
            if (uitest::near(kr_ui_captured_pixel(x, y), c, tol)) {
                if (first < 0) first = x;
                last = x;
                break;
            }
    return {first, last};
}

std::string region(int x0, int y0, int x1, int y1)
{
    std::string s;
    for (int y = y0; y < y1; ++y)
        for (int x = x0; x < x1; ++x) s += kr_ui_captured_pixel(x, y) > 0xFF808080 ? '#' : '.';
    return s;
}

struct masked {
    kr_uiobject_st super;
};
void masked_draw(kr_uiobject_st *o, const kr_bounding_box_st *)
{
    const int x = kr_ui_get_xglobal(o), y = kr_ui_get_yglobal(o);
    kr_ui_set_mask(x + 10, y + 10, 20, 20);
    kr_ui_draw_rrect(x, y, 100, 100, 0, BLUE);
}

} // namespace

// Shapes, an explicit mask, a window scrolled out of its scrolled parent, a disabled parent, and
// the same screen stretched to 2400 x 720 with glyphs that keep their height; no GL error.
TEST(UiDraw, ShapesMasksClippingGreyAndStretch)
{
    START_DISPLAY();
    static kr_uidisplay_st d;
    static kr_uiobject_st *dc[8];
    std::memset(&d, 0, sizeof d);
    kr_uidisplay_init(&d, dc, nullptr);

    static uiw::box red;
    uiw::box_init(&red, RED);
    kr_uiwindow_addxy(&d.super, &red.super, 50, 400, 100, 50);

    static masked m;
    std::memset(&m, 0, sizeof m);
    kr_uiobject_init(&m.super);
    m.super.vrtl_draw = masked_draw;
    kr_uiwindow_addxy(&d.super, &m.super, 50, 500, 100, 100);

    // A parent scrolled so that its child window lies wholly above the parent's child area.
    static kr_uiwindow_st parent, child;
    static kr_uiobject_st *pc[2], *cc[2];
    std::memset(&parent, 0, sizeof parent);
    std::memset(&child, 0, sizeof child);
    kr_uiwindow_init(&parent, pc, nullptr);
    kr_uiwindow_set_transparent(&parent, false);
    parent.bg_c = 0xFF000080;
    kr_uiwindow_addxy(&d.super, &parent.super, 300, 400, 200, 100);
    kr_uiwindow_init(&child, cc, nullptr);
    kr_uiwindow_set_transparent(&child, false);
    child.bg_c = GREEN;
    child.handle_c = 0xFFFF00FF;
    kr_uiwindow_addxy(&parent, &child.super, 0, 0, 200, 100);
    kr_uiwindow_set_contentbb(&child, 200, 300); // scrollbars of its own
    kr_uiwindow_set_contentbb(&parent, 200, 400);
    kr_uiwindow_content_move(&parent, 0, -250);

    static kr_uiwindow_st grey;
    static kr_uiobject_st *gc[2];
    static uiw::box inside;
    std::memset(&grey, 0, sizeof grey);
    kr_uiwindow_init(&grey, gc, nullptr);
    kr_uiwindow_addxy(&d.super, &grey.super, 600, 400, 100, 100);
    uiw::box_init(&inside, RED);
    kr_uiwindow_addxy(&grey, &inside.super, 0, 0, 100, 100);
    kr_ui_set_enabled(&grey.super, false);

    static uiw::text letters;
    uiw::text_init(&letters, "HHHH", UI_TEXT_FONT, WHITE);
    kr_uiwindow_addxy(&d.super, &letters.super, 800, 600, 100, 40);

    settle(&d, 1200, 720);
    EXPECT_TRUE(uitest::region_is(50, 400, 150, 450, RED, 8));
    EXPECT_TRUE(uitest::region_is(60, 510, 80, 530, BLUE, 8)); // the mask's inside
    EXPECT_EQ(uitest::count_in_region(50, 500, 150, 600, BLUE, 8), 400);
    // The scrolled-out child paints nothing, neither background nor bars, outside the parent.
    EXPECT_EQ(uitest::count_in_region(300, 140, 500, 260, GREEN, 60), 0);
    EXPECT_EQ(uitest::count_in_region(290, 140, 510, 400, 0xFFFF00FF, 60), 0);
    EXPECT_TRUE(uitest::region_is(300, 400, 480, 500, 0xFF000080, 8)); // the parent, left of its bars
    EXPECT_TRUE(uitest::region_is(610, 410, 690, 490, 0xFF2C2C2C, 6)); // red, greyed by the parent
    EXPECT_TRUE(uitest::region_is(0, 300, 40, 320, 0xFF000000, 4));    // display colour
    const auto h1 = rows_with(800, 590, 900, 640, WHITE);
    ASSERT_GE(h1.first, 0);
    const auto w1 = cols_with(790, 590, 1000, 640, WHITE);

    kr_ui_set_window_size(2400, 720);
    settle(&d, 2400, 720);
    EXPECT_DOUBLE_EQ(kr_ui_scale(), 1.0);
    EXPECT_TRUE(uitest::region_is(100, 400, 300, 450, RED, 8)); // stretched twice as wide
    EXPECT_FALSE(uitest::near(kr_ui_captured_pixel(301, 425), RED, 8));
    EXPECT_TRUE(uitest::region_is(120, 510, 160, 530, BLUE, 8));
    const auto h2 = rows_with(1600, 590, 1800, 640, WHITE);
    const auto w2 = cols_with(1580, 590, 2000, 640, WHITE);
    EXPECT_EQ(h2.second - h2.first, h1.second - h1.first); // glyphs keep their height
    EXPECT_EQ(w2.second - w2.first, w1.second - w1.first); // and their pixel width
    EXPECT_NEAR(w2.first, 1600, 3);                        // while their position stretches

    kr_ui_set_window_size(1200, 720);
    settle(&d, 1200, 720);
    EXPECT_EQ(kr_ui_gl_error_count(), gl_errors_at_start);
}

// Text: centred letters inside their box, CR LF as two lines, malformed UTF-8 drawn as "?", widths.
TEST(UiDraw, TextCentringLinesAndBadUtf8)
{
    START_DISPLAY();
    static kr_uidisplay_st d;
    static kr_uiobject_st *dc[12];
    std::memset(&d, 0, sizeof d);
    kr_uidisplay_init(&d, dc, nullptr);
    static uiw::text centred, crlf, bad[4], good[4];
    uiw::text_init(&centred, "HH", UI_TEXT_FONT, WHITE);
    centred.align = ALIGN_CENTER;
    kr_uiwindow_addxy(&d.super, &centred.super, 600, 360, 1, 1);
    uiw::text_init(&crlf, "H\r\nH", UI_TEXT_FONT, WHITE);
    kr_uiwindow_addxy(&d.super, &crlf.super, 100, 100, 50, 50);
    static const char lone[] = {'\xC3', '\0'}, cut[] = {'\xE2', '\x82', '\0'}, stray[] = {'\x80', 'x', '\0'},
                      cut4[] = {'\xF0', '\x9F', '\0'};
    const char *bads[4] = {lone, cut, stray, cut4};
    const char *goods[4] = {"?", "??", "?x", "??"};
    for (int i = 0; i < 4; ++i) {
        uiw::text_init(&bad[i], bads[i], UI_TEXT_FONT, WHITE);
        uiw::text_init(&good[i], goods[i], UI_TEXT_FONT, WHITE);
        kr_uiwindow_addxy(&d.super, &bad[i].super, (int16_t)(100 + i * 60), 200, 50, 30);
        kr_uiwindow_addxy(&d.super, &good[i].super, (int16_t)(100 + i * 60), 250, 50, 30);
    }
    settle(&d, 1200, 720);

    const int w = kr_ui_get_string_width("HH", UI_TEXT_FONT);
    const int ch = UI_TEXT_FONT->char_height;
    ASSERT_GT(w, 0);
    const auto rows = rows_with(500, 300, 700, 420, WHITE);
    const auto cols = cols_with(500, 300, 700, 420, WHITE);
    EXPECT_GE(cols.first, 600 - w / 2 - 1);
    EXPECT_LE(cols.second, 600 + w / 2 + 1);
    EXPECT_LT(cols.first, 600);
    EXPECT_GT(cols.second, 600);
    EXPECT_GE(rows.first, 360 - ch / 2);
    EXPECT_LE(rows.second, 360 + ch / 2);

    // Two lines one line height apart: the second H starts exactly char_height below the first.
    const auto first = rows_with(100, 95, 140, 100 + ch, WHITE);
    const auto second = rows_with(100, 100 + ch, 140, 100 + 2 * ch + 4, WHITE);
    ASSERT_GE(first.first, 0);
    ASSERT_GE(second.first, 0);
    EXPECT_EQ(second.first - first.first, ch);
    EXPECT_EQ(kr_ui_get_string_height("H\r\nH", UI_TEXT_FONT), 2 * ch);

    for (int i = 0; i < 4; ++i) {
        const int x = 100 + i * 60;
        EXPECT_EQ(region(x, 200, x + 50, 230), region(x, 250, x + 50, 280)) << "case " << i;
        EXPECT_NE(region(x, 250, x + 50, 280).find('#'), std::string::npos);
    }
    EXPECT_EQ(kr_ui_get_string_width("H\nHH\r", UI_TEXT_FONT), w);
    EXPECT_EQ(kr_ui_get_string_width(nullptr, UI_TEXT_FONT), 0);
    EXPECT_EQ(kr_ui_get_string_width("\xC3\xA4", UI_TEXT_FONT), kr_ui_get_string_width("\x01", UI_TEXT_FONT));
    EXPECT_EQ(kr_ui_gl_error_count(), gl_errors_at_start);
}

// Bitmaps: placement and orientation, mixed with shapes and text in one frame, the cache (one
// decode per name, whole names as keys), and pictures refused without harm.
TEST(UiDraw, BitmapsPlacementCacheAndRefusals)
{
    START_DISPLAY();
    const std::vector<unsigned char> png = uitest::quadrant_png(40, 30);
    static kr_uimedia_st quad, again;
    const uint32_t decodes = kr_ui_decode_count();
    EXPECT_EQ(kr_uimedia_newbitmapexmem_mem(&quad, "quadrants", png.data(), (uint32_t)png.size()), 40u * 30u * 4u);
    EXPECT_EQ(kr_uimedia_newbitmapexmem_mem(&again, "quadrants", png.data(), (uint32_t)png.size()), 40u * 30u * 4u);
    EXPECT_EQ(kr_ui_decode_count(), decodes + 1);
    EXPECT_EQ(quad.filename, again.filename);

    // From a file, twice: decoded once.
    e2e::sandbox box;
    const std::string path = box.path("quad.png").string();
    {
        std::ofstream f(path, std::ios::binary);
        f.write((const char *)png.data(), (std::streamsize)png.size());
    }
    static kr_uimedia_st file1, file2;
    EXPECT_EQ(kr_uimedia_newbitmapexmem(&file1, nullptr, path.c_str()), 4800u);
    EXPECT_EQ(kr_uimedia_newbitmapexmem(&file2, nullptr, path.c_str()), 4800u);
    EXPECT_EQ(kr_ui_decode_count(), decodes + 2);

    // Names that share their first 127 characters keep their own pictures.
    const std::string prefix(127, 'p');
    const std::vector<unsigned char> small = uitest::quadrant_png(10, 10);
    static kr_uimedia_st long1, long2;
    EXPECT_EQ(kr_uimedia_newbitmapexmem_mem(&long1, (prefix + "1").c_str(), png.data(), (uint32_t)png.size()), 4800u);
    EXPECT_EQ(kr_uimedia_newbitmapexmem_mem(&long2, (prefix + "2").c_str(), small.data(), (uint32_t)small.size()),
              400u);
    EXPECT_EQ(long2.width, 10);
    EXPECT_EQ(kr_ui_decode_count(), decodes + 4);

    // Corrupt data and pictures beyond the texture limit give size 0; the big one is not decoded.
    static kr_uimedia_st broken, cut, big, none;
    std::vector<unsigned char> garbage(png);
    for (size_t i = 20; i < garbage.size(); i += 7) garbage[i] ^= 0x5A;
    EXPECT_EQ(kr_uimedia_newbitmapexmem_mem(&broken, "garbage", garbage.data(), (uint32_t)garbage.size()), 0u);
    EXPECT_EQ(kr_uimedia_newbitmapexmem_mem(&cut, "cut", png.data(), 30), 0u);
    {
        const unsigned h = (unsigned)kr_ui_max_texture_size() + 1;
        std::vector<unsigned char> px((size_t)h * 4, 0x80);
        unsigned char *out = nullptr;
        size_t len = 0;
        ASSERT_EQ(lodepng_encode32(&out, &len, px.data(), 1, h), 0u);
        const uint32_t before = kr_ui_decode_count();
        EXPECT_EQ(kr_uimedia_newbitmapexmem_mem(&big, "too tall", out, (uint32_t)len), 0u);
        EXPECT_EQ(kr_ui_decode_count(), before);
        // Sides within the limit, but 4100 x 4100 x 4 bytes is past the memory cap: the header
        // says so before any decoding.
        ASSERT_GE(kr_ui_max_texture_size(), 4100);
        for (int at : {16, 20}) {
            out[at] = 0, out[at + 1] = 0, out[at + 2] = 0x10, out[at + 3] = 0x04;
        }
        const unsigned crc = lodepng_crc32(out + 12, 17);
        for (int i = 0; i < 4; i++) out[29 + i] = (unsigned char)(crc >> (24 - 8 * i));
        EXPECT_EQ(kr_uimedia_newbitmapexmem_mem(&big, "too large", out, (uint32_t)len), 0u);
        EXPECT_EQ(kr_ui_decode_count(), before);
        std::free(out);
    }
    EXPECT_EQ(kr_uimedia_newbitmapexmem(&none, nullptr, box.path("missing.png").c_str()), 0u);
    EXPECT_STREQ(none.filename, "");

    static kr_uidisplay_st d;
    static kr_uiobject_st *dc[12];
    std::memset(&d, 0, sizeof d);
    kr_uidisplay_init(&d, dc, nullptr);
    // Bitmap, shapes, text, bitmap in one frame; then the long-named pair; a freed handle.
    static uiw::picture p1, p2, pl1, pl2, freed;
    static uiw::box shape;
    static uiw::text words;
    static kr_uimedia_st gone;
    uiw::picture_init(&p1, &quad);
    kr_uiwindow_addxy(&d.super, &p1.super, 10, 20, 40, 30);
    uiw::box_init(&shape, 0xFF808000);
    kr_uiwindow_addxy(&d.super, &shape.super, 100, 20, 40, 30);
    uiw::text_init(&words, "text", UI_TEXT_FONT, WHITE);
    kr_uiwindow_addxy(&d.super, &words.super, 150, 20, 40, 30);
    uiw::picture_init(&p2, &file2);
    kr_uiwindow_addxy(&d.super, &p2.super, 200, 20, 40, 30);
    uiw::picture_init(&pl1, &long1);
    kr_uiwindow_addxy(&d.super, &pl1.super, 300, 20, 40, 30);
    uiw::picture_init(&pl2, &long2);
    kr_uiwindow_addxy(&d.super, &pl2.super, 400, 20, 40, 30);
    kr_uimedia_newbitmapexmem_mem(&gone, "quadrants", png.data(), (uint32_t)png.size());
    kr_uimedia_free(&gone);
    uiw::picture_init(&freed, &gone);
    kr_uiwindow_addxy(&d.super, &freed.super, 500, 20, 40, 30);
    settle(&d, 1200, 720);

    // 10..50 x 20..50, first row on top: red, green over blue, white.
    EXPECT_TRUE(uitest::region_is(10, 20, 29, 34, RED, 10));
    EXPECT_TRUE(uitest::region_is(31, 20, 50, 34, GREEN, 10));
    EXPECT_TRUE(uitest::region_is(10, 36, 29, 50, BLUE, 10));
    EXPECT_TRUE(uitest::region_is(31, 36, 50, 50, WHITE, 10));
    for (int x : {9, 50})
        for (int y : {25, 45}) EXPECT_TRUE(uitest::near(kr_ui_captured_pixel(x, y), 0xFF000000, 30)) << x << "," << y;
    for (int x : {20, 40}) {
        EXPECT_TRUE(uitest::near(kr_ui_captured_pixel(x, 19), 0xFF000000, 30)) << x;
        EXPECT_TRUE(uitest::near(kr_ui_captured_pixel(x, 50), 0xFF000000, 30)) << x;
    }
    EXPECT_TRUE(uitest::region_is(100, 20, 140, 50, 0xFF808000, 6));
    EXPECT_TRUE(uitest::region_is(200, 20, 219, 34, RED, 10)); // the second bitmap, after text
    EXPECT_TRUE(uitest::region_is(231, 36, 240, 50, WHITE, 10));
    EXPECT_TRUE(uitest::region_is(300, 20, 319, 34, RED, 10)); // 40 x 30 picture
    EXPECT_TRUE(uitest::region_is(400, 20, 418, 33, RED, 10)); // its own 10 x 10 picture, stretched
    EXPECT_TRUE(uitest::region_is(422, 37, 440, 50, WHITE, 10));
    EXPECT_TRUE(uitest::region_is(500, 20, 540, 50, 0xFF000000, 30)); // freed: nothing
    EXPECT_EQ(kr_ui_gl_error_count(), gl_errors_at_start);
}

// The busy screen draws without GL errors; an expose asks for exactly one frame.
TEST(UiDraw, BusyScreenAndExpose)
{
    START_DISPLAY();
    const std::vector<unsigned char> png = uitest::quadrant_png(40, 30);
    static uiw::busy_screen s;
    uiw::busy_screen_init(&s, png.data(), (uint32_t)png.size());
    settle(&s.display, 1200, 720);
    const uint64_t f = kr_ui_frame_count();
    for (int i = 0; i < 20; ++i) kr_uidisplay_step(&s.display, 20);
    EXPECT_EQ(kr_ui_frame_count(), f);
    kr_ui_input_expose();
    kr_uidisplay_step(&s.display, 20);
    kr_uidisplay_step(&s.display, 20);
    EXPECT_EQ(kr_ui_frame_count(), f + 1);
    // Something of every kind shows: shapes on the left, text lines in the nested window.
    EXPECT_GT(uitest::count_in_region(0, 0, 700, 720, 0xFF000000, 10), 1000);
    EXPECT_LT(uitest::count_in_region(0, 0, 700, 720, 0xFF000000, 10), 700 * 720 - 10000);
    EXPECT_GT(uitest::count_in_region(720, 150, 1170, 690, WHITE, 60), 500);
    EXPECT_EQ(kr_ui_gl_error_count(), gl_errors_at_start);
}
