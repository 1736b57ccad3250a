// The display mirror's decoder on a recording sink: shapes, text layout, device fonts, bitmap
// requests and decoding, and hostile sizes, counts and ids from the device.
#include <gtest/gtest.h>
#include <lodepng.h>
#include <stb_image_write.h>

#include <cmath>
#include <cstdlib>
#include <utility>

#include "ui/mirror_recorder.h"

namespace {

constexpr uint32_t RED = 0xFFFF0000, GREEN = 0xFF00FF00, WHITE = 0xFFFFFFFF;

struct requests {
    std::vector<std::pair<uint8_t, uint32_t>> seen;
    static void callb(uint8_t kind, uint32_t id, void *user)
    {
        static_cast<requests *>(user)->seen.push_back({kind, id});
    }
    size_t count(uint8_t kind, uint32_t id) const
    {
        size_t n = 0;
        for (auto &r : seen)
            if (r.first == kind && r.second == id) ++n;
        return n;
    }
};

struct fixture {
    mirror_core core;
    recorder sink;
    requests reqs;
    fixture()
    {
        core.width = 320;
        core.height = 100;
        core.req = requests::callb;
        core.req_user = &reqs;
    }
    bool run(const list_builder &l)
    {
        sink.reset();
        return core.decode(l.b.data(), (uint32_t)l.b.size(), sink);
    }
    std::vector<op_st> glyphs() const
    {
        std::vector<op_st> g;
        for (auto &o : sink.ops)
            if (o.kind == 'G') g.push_back(o);
        return g;
    }
};

std::vector<uint8_t> png(unsigned w, unsigned h)
{
    std::vector<unsigned char> px((size_t)w * h * 4, 0xFF);
    unsigned char *out = nullptr;
    size_t len = 0;
    lodepng_encode32(&out, &len, px.data(), w, h);
    std::vector<uint8_t> v(out, out + len);
    std::free(out);
    return v;
}

// A small PNG whose header claims another size.
std::vector<uint8_t> png_claiming(uint32_t w, uint32_t h)
{
    std::vector<uint8_t> v = png(1, 1);
    for (int i = 0; i < 4; ++i) {
        v[16 + i] = (uint8_t)(w >> (24 - 8 * i));
        v[20 + i] = (uint8_t)(h >> (24 - 8 * i));
    }
    lodepng_chunk_generate_crc(v.data() + 8);
    return v;
}

std::vector<uint8_t> jpeg(int w, int h)
{
    std::vector<uint8_t> px((size_t)w * h * 3, 0x80), out;
    stbi_write_jpg_to_func(
        [](void *ctx, void *data, int size) {
            auto *o = static_cast<std::vector<uint8_t> *>(ctx);
            o->insert(o->end(), (uint8_t *)data, (uint8_t *)data + size);
        },
        &out, w, h, 3, px.data(), 90);
    return out;
}

bool inside(const op_st &f, float x0, float y0, float x1, float y1)
{
    for (auto &p : f.pts)
        if (p.x < x0 - 0.01f || p.x > x1 + 0.01f || p.y < y0 - 0.01f || p.y > y1 + 0.01f) return false;
    return true;
}

} // namespace

// Shapes and where decoding stops: the five-byte blue list, a cut-short command, bad opcodes,
// rounded rectangles, lines, strips of 0 or 1 points, and the clip rectangle's conversion.
TEST(MirrorDecode, ShapesAndStops)
{
    fixture f;
    list_builder blue;
    blue.b = {0x01, 0xFF, 0x00, 0x00, 0x00};
    EXPECT_TRUE(f.run(blue));
    ASSERT_EQ(f.sink.kinds(), "C");
    EXPECT_EQ(f.sink.ops[0].color, 0x0000FFu);

    list_builder cut;
    cut.frame(0xFF00FF00).rrect(10, 10, 20, 20, 0, RED).line(0, 0, 5, 5, 1, RED);
    cut.b.resize(cut.b.size() - 5);
    EXPECT_FALSE(f.run(cut));
    EXPECT_EQ(f.sink.kinds(), "CFK"); // everything before it, then clipping off
    EXPECT_FALSE(f.sink.ops[2].on);
    for (uint8_t bad : {0, 12, 0xFF}) {
        list_builder l;
        l.mask(0, 0, 5, 5).u8(bad).frame(0);
        EXPECT_FALSE(f.run(l));
        EXPECT_EQ(f.sink.kinds(), "KK") << (int)bad;
    }
    // A counted command whose points run past the end.
    list_builder shortstrip;
    shortstrip.strip(1, RED, {{0, 0}, {1, 1}, {2, 2}});
    shortstrip.b.resize(shortstrip.b.size() - 1);
    EXPECT_FALSE(f.run(shortstrip));
    EXPECT_EQ(f.sink.kinds(), "K");

    // Radius limited to half the width, then half the height: 3 bands and 4 quarter fans, each in
    // its own corner of the box.
    EXPECT_TRUE(f.run(list_builder().rrect(0, 0, 40, 20, 100, GREEN)));
    ASSERT_EQ(f.sink.kinds(), "FFFFFFF");
    for (auto &o : f.sink.ops) EXPECT_TRUE(inside(o, 0, 0, 40, 20));
    EXPECT_TRUE(inside(f.sink.ops[3], 0, 0, 10, 10));   // top left
    EXPECT_TRUE(inside(f.sink.ops[4], 30, 0, 40, 10));  // top right
    EXPECT_TRUE(inside(f.sink.ops[5], 30, 10, 40, 20)); // bottom right
    EXPECT_TRUE(inside(f.sink.ops[6], 0, 10, 10, 20));  // bottom left
    EXPECT_EQ(f.sink.ops[3].pts.size(), (size_t)MIRROR_ROUND_SEGMENTS + 2);
    EXPECT_TRUE(f.run(list_builder().rrect(0, 0, 1, 10, 5, GREEN)));
    EXPECT_EQ(f.sink.kinds(), "F");

    // Lines: a dot, a thick line with caps, a thin one of half thickness 0.5.
    EXPECT_TRUE(f.run(list_builder().line(5, 5, 5, 5, 3, RED).line(0, 0, 10, 0, 4, RED).line(0, 0, 10, 0, 0, RED)));
    ASSERT_EQ(f.sink.kinds(), "FFFFF");
    EXPECT_EQ(f.sink.ops[0].pts.size(), (size_t)MIRROR_CIRCLE_SEGMENTS + 2);
    EXPECT_NEAR(f.sink.ops[0].pts[1].x, 6.5f, 0.01f);
    EXPECT_TRUE(inside(f.sink.ops[1], 0, -2, 10, 2));
    EXPECT_FALSE(inside(f.sink.ops[1], 0, -1.9f, 10, 1.9f));
    EXPECT_TRUE(inside(f.sink.ops[4], 0, -0.5f, 10, 0.5f));

    // 0 or 1 points draw nothing and are skipped correctly; polygons need 3.
    EXPECT_TRUE(f.run(list_builder()
                          .strip(2, RED, {})
                          .strip(2, RED, {{1, 1}})
                          .polygon(RED, {{0, 0}, {5, 5}})
                          .point(50, 50, 10, WHITE)
                          .strip(1, RED, {{0, 0}, {10, 0}, {10, 10}})
                          .polygon(GREEN, {{0, 0}, {10, 0}, {10, 10}, {0, 10}})));
    ASSERT_EQ(f.sink.kinds(), "FFFF");
    EXPECT_EQ(f.sink.ops[0].color, WHITE);
    EXPECT_TRUE(inside(f.sink.ops[0], 45, 45, 55, 55));
    EXPECT_EQ(f.sink.ops[3].pts.size(), 4u);

    // MASK in OpenGL's bottom-up convention (height 100); a list may end with clipping on.
    EXPECT_TRUE(f.run(list_builder().mask(10, 20, 30, 40).mask(0, 90, 10, 20)));
    ASSERT_EQ(f.sink.kinds(), "KK");
    EXPECT_TRUE(f.sink.ops[0].on);
    EXPECT_EQ(f.sink.ops[0].cx, 10);
    EXPECT_EQ(f.sink.ops[0].cy, 40);
    EXPECT_EQ(f.sink.ops[0].cw, 30);
    EXPECT_EQ(f.sink.ops[0].ch, 40);
    EXPECT_EQ(f.sink.ops[1].cy, 0);
    EXPECT_TRUE(f.run(list_builder().keep().mask(0, 0, 1, 1).end()));
    EXPECT_EQ(f.sink.kinds(), "KK");
    EXPECT_FALSE(f.sink.ops[1].on);
}

// Text: fonts by family and size, their metric requests and retries, skipped code points,
// malformed UTF-8, centred and aligned lines.
TEST(MirrorDecode, TextLayout)
{
    fixture f;
    // Mono size 3 at the toolkit's height, asked for once per retry period.
    EXPECT_TRUE(f.run(list_builder().text(0x83, 10, 50, 0, WHITE, "Hi")));
    ASSERT_EQ(f.sink.atlas_asks.size(), 1u);
    EXPECT_EQ(f.sink.atlas_asks[0], std::make_pair(true, font_sizes[3]));
    auto g = f.glyphs();
    ASSERT_EQ(g.size(), 2u);
    EXPECT_EQ(g[0].glyph, 'H' - 32);
    EXPECT_FLOAT_EQ(g[0].x, 11);
    EXPECT_FLOAT_EQ(g[0].y, 50 + 15 - 10);
    EXPECT_FLOAT_EQ(g[1].x, 11 + 10);
    EXPECT_EQ(f.reqs.count(KR_UI_REMOTE_ASSET_KIND_FONT, 0x83), 1u);
    f.run(list_builder().text(0x83, 10, 50, 0, WHITE, "Hi"));
    for (int i = 0; i < MIRROR_DEVFONT_RETRY_STEPS - 1; ++i) f.core.step();
    f.run(list_builder().text(0x83, 10, 50, 0, WHITE, "Hi"));
    EXPECT_EQ(f.reqs.count(KR_UI_REMOTE_ASSET_KIND_FONT, 0x83), 1u);
    f.core.step();
    f.run(list_builder().text(0x83, 10, 50, 0, WHITE, "Hi"));
    EXPECT_EQ(f.reqs.count(KR_UI_REMOTE_ASSET_KIND_FONT, 0x83), 2u);

    // Index 9 has no slot: 16 px, nothing asked. 0xFF draws nothing but is skipped.
    const size_t asked = f.reqs.seen.size();
    EXPECT_TRUE(f.run(list_builder().text(0x09, 0, 0, 0, WHITE, "A").text(0x89, 0, 0, 0, WHITE, "A")));
    ASSERT_EQ(f.sink.atlas_asks.size(), 2u);
    EXPECT_EQ(f.sink.atlas_asks[0], std::make_pair(false, (uint16_t)16));
    EXPECT_EQ(f.sink.atlas_asks[1], std::make_pair(true, (uint16_t)16));
    EXPECT_EQ(f.reqs.seen.size(), asked);
    EXPECT_TRUE(f.run(list_builder().text(0xFF, 0, 0, 0, WHITE, "hidden").point(1, 1, 2, RED)));
    EXPECT_EQ(f.sink.kinds(), "F");
    EXPECT_TRUE(f.sink.atlas_asks.empty());

    // Sans size 1 is 16 px (glyphs advance 9): the euro sign is skipped without moving on; a broken sequence
    // is code point 0 over one byte; Nordic letters have glyphs.
    f.run(list_builder().text(0x01, 0, 0, 0, WHITE,
                              "A\xE2\x82\xAC"
                              "B\xC3"
                              "A\xE2\x82"
                              "\xC3\xA4"));
    g = f.glyphs();
    ASSERT_EQ(g.size(), 4u);
    EXPECT_EQ(g[1].glyph, 'B' - 32);
    EXPECT_FLOAT_EQ(g[1].x, 1 + 9);
    EXPECT_EQ(g[2].glyph, 'A' - 32);
    EXPECT_FLOAT_EQ(g[2].x, 1 + 18);
    EXPECT_EQ(g[3].glyph, 98); // ä
    EXPECT_FLOAT_EQ(g[3].x, 1 + 27);

    // First line, empty line, last line centred on y = 100: up by 1.5 lines, the last directly
    // under the first. "\r\n" is one break.
    f.run(list_builder().text(0x01, 0, 100, UI_VALIGN_CENTER, WHITE, "ab\n\ncd").text(0x01, 0, 0, 0, WHITE, "e\r\nf"));
    g = f.glyphs();
    ASSERT_EQ(g.size(), 6u);
    EXPECT_FLOAT_EQ(g[0].y, 76 + 12 - 8);
    EXPECT_FLOAT_EQ(g[2].y, 92 + 12 - 8);
    EXPECT_FLOAT_EQ(g[5].y, g[4].y + 16);
    EXPECT_FLOAT_EQ(g[2].x, g[0].x);

    // Centre, right, and both bits (left).
    f.run(list_builder()
              .text(0x01, 100, 0, UI_HALIGN_CENTER, WHITE, "ab")
              .text(0x01, 100, 0, UI_HALIGN_RIGHT, WHITE, "ab")
              .text(0x01, 100, 0, UI_HALIGN_CENTER | UI_HALIGN_RIGHT, WHITE, "ab"));
    g = f.glyphs();
    ASSERT_EQ(g.size(), 6u);
    EXPECT_FLOAT_EQ(g[0].x, 100 - 9 + 1);
    EXPECT_FLOAT_EQ(g[2].x, 100 - 18 + 1);
    EXPECT_FLOAT_EQ(g[4].x, 100 + 1);
    EXPECT_EQ(g[0].color, WHITE);
}

// The device's font metrics: its height and widths rule the layout; ids above 0xFF, heights
// above 256 px and short bodies do not.
TEST(MirrorDecode, DeviceFontMetrics)
{
    fixture f;
    EXPECT_TRUE(f.core.asset(KR_UI_REMOTE_ASSET_KIND_FONT, 0x01, font_body(20, 7, {{'b', 0}, {1, 3}}).data(),
                             KR_UI_REMOTE_FONT_BODY_HDR_LEN, f.sink));
    f.run(list_builder().text(0x01, 0, 0, 0, WHITE,
                              "ab\xC3\xA4"
                              "a"));
    EXPECT_EQ(f.sink.atlas_asks[0], std::make_pair(false, (uint16_t)20));
    auto g = f.glyphs();
    ASSERT_EQ(g.size(), 4u);
    EXPECT_FLOAT_EQ(g[1].x, 1 + 7);          // the device's width of 'a'
    EXPECT_FLOAT_EQ(g[2].x, 1 + 7 + 11);     // 'b' has none: the atlas advance
    EXPECT_FLOAT_EQ(g[3].x, 1 + 7 + 11 + 3); // ä on the device's slot 1
    EXPECT_EQ(f.reqs.count(KR_UI_REMOTE_ASSET_KIND_FONT, 0x01), 0u);

    // 0x103 is not font 3: ignored, so font 3 is still asked for.
    EXPECT_FALSE(f.core.asset(KR_UI_REMOTE_ASSET_KIND_FONT, 0x103, font_body(30, 5).data(),
                              KR_UI_REMOTE_FONT_BODY_HDR_LEN, f.sink));
    EXPECT_FALSE(f.core.fonts[3].known);
    f.run(list_builder().text(0x03, 0, 0, 0, WHITE, "a"));
    EXPECT_EQ(f.reqs.count(KR_UI_REMOTE_ASSET_KIND_FONT, 0x03), 1u);
    EXPECT_EQ(f.sink.atlas_asks[0].second, font_sizes[3]);

    // A 60000 px line height is unusable: the toolkit's size, and no new request.
    EXPECT_FALSE(f.core.asset(KR_UI_REMOTE_ASSET_KIND_FONT, 0x02, font_body(60000, 5).data(),
                              KR_UI_REMOTE_FONT_BODY_HDR_LEN, f.sink));
    EXPECT_TRUE(f.core.asset(KR_UI_REMOTE_ASSET_KIND_FONT, 0x82, font_body(256, 5).data(),
                             KR_UI_REMOTE_FONT_BODY_HDR_LEN, f.sink));
    // A short body: the mirror's own size, not asked again.
    EXPECT_FALSE(f.core.asset(KR_UI_REMOTE_ASSET_KIND_FONT, 0x04, font_body(20, 5).data(), 134, f.sink));
    EXPECT_FALSE(f.core.asset(KR_UI_REMOTE_ASSET_KIND_FONT, 0x0A, font_body(20, 5).data(),
                              KR_UI_REMOTE_FONT_BODY_HDR_LEN, f.sink));
    f.run(
        list_builder().text(0x02, 0, 0, 0, WHITE, "a").text(0x82, 0, 0, 0, WHITE, "a").text(0x04, 0, 0, 0, WHITE, "a"));
    ASSERT_EQ(f.sink.atlas_asks.size(), 3u);
    EXPECT_EQ(f.sink.atlas_asks[0], std::make_pair(false, font_sizes[2]));
    EXPECT_EQ(f.sink.atlas_asks[1], std::make_pair(true, (uint16_t)256));
    EXPECT_EQ(f.sink.atlas_asks[2], std::make_pair(false, font_sizes[4]));
    EXPECT_EQ(f.reqs.count(KR_UI_REMOTE_ASSET_KIND_FONT, 0x02) + f.reqs.count(KR_UI_REMOTE_ASSET_KIND_FONT, 0x04), 0u);

    // Without atlases (no FreeType), text draws nothing and decoding goes on.
    f.sink.no_atlas = true;
    EXPECT_TRUE(f.run(list_builder().text(0x01, 0, 0, 0, WHITE, "a").point(0, 0, 2, RED)));
    EXPECT_EQ(f.sink.kinds(), "F");
}

// Bitmaps: asked for when first drawn and again after the retry time or in idle time, drawn once
// decoded (PNG and JPEG); undecodable ones are refused for good.
TEST(MirrorDecode, BitmapsRequestedDecodedRefused)
{
    fixture f;
    EXPECT_TRUE(f.run(list_builder().bitmap(7, 10, 20, 30, 40, WHITE).bitmap(0xFFFFFFFF, 0, 0, 1, 1, RED)));
    ASSERT_EQ(f.sink.kinds(), "OO");
    EXPECT_FLOAT_EQ(f.sink.ops[0].h, 40);
    EXPECT_EQ(f.sink.ops[1].color, RED);
    EXPECT_EQ(f.reqs.count(1, 7), 1u);
    EXPECT_EQ(f.reqs.count(1, 0xFFFFFFFF), 1u);
    f.run(list_builder().bitmap(7, 10, 20, 30, 40, WHITE));
    for (int i = 0; i < MIRROR_DEVFONT_RETRY_STEPS - 1; ++i) f.core.step();
    f.run(list_builder().bitmap(7, 10, 20, 30, 40, WHITE));
    EXPECT_EQ(f.reqs.count(1, 7), 1u);
    f.core.step(); // retry over, quiet for long: the idle fetch asks for the newest missing one
    EXPECT_EQ(f.reqs.count(1, 0xFFFFFFFF), 2u);
    f.run(list_builder().bitmap(7, 10, 20, 30, 40, WHITE));
    EXPECT_EQ(f.reqs.count(1, 7), 2u);

    const auto p = png(4, 2);
    EXPECT_TRUE(f.core.asset(1, 7, p.data(), (uint32_t)p.size(), f.sink));
    const devbitmap_st *b = f.core.find_bitmap(7);
    ASSERT_NE(b, nullptr);
    EXPECT_FALSE(b->missing);
    EXPECT_EQ(b->w, 4);
    EXPECT_EQ(b->h, 2);
    f.run(list_builder().bitmap(7, 10, 20, 30, 40, 0x80FFFFFF));
    ASSERT_EQ(f.sink.kinds(), "B");
    EXPECT_EQ(f.sink.ops[0].tex, b->tex);
    EXPECT_EQ(f.sink.ops[0].color, 0x80FFFFFFu);
    const auto j = jpeg(16, 8);
    EXPECT_TRUE(f.core.asset(1, 8, j.data(), (uint32_t)j.size(), f.sink));
    EXPECT_EQ(f.core.find_bitmap(8)->w, 16);

    // Garbage, an empty body, a BMP: refused, outlines, never asked again.
    const uint8_t junk[] = {0x89, 'P', 'N', 'G', 1, 2, 3, 4, 5, 6, 7, 8};
    std::vector<uint8_t> bmp = {'B', 'M'};
    bmp.resize(64, 0);
    EXPECT_FALSE(f.core.asset(1, 9, junk, sizeof junk, f.sink));
    EXPECT_FALSE(f.core.asset(1, 10, nullptr, 0, f.sink));
    EXPECT_FALSE(f.core.asset(1, 11, bmp.data(), (uint32_t)bmp.size(), f.sink));
    // A good bitmap replaced by a bad body gives its texture back.
    const size_t live = f.sink.live.size();
    EXPECT_FALSE(f.core.asset(1, 8, junk, sizeof junk, f.sink));
    EXPECT_EQ(f.sink.live.size(), live - 1);
    f.reqs.seen.clear();
    for (int i = 0; i < 1000; ++i) {
        f.run(list_builder().bitmap(9, 0, 0, 5, 5, WHITE).bitmap(10, 0, 0, 5, 5, WHITE).bitmap(8, 0, 0, 5, 5, WHITE));
        f.core.step();
    }
    EXPECT_EQ(f.sink.kinds(), "OOO");
    for (uint32_t id = 8; id <= 11; ++id) EXPECT_EQ(f.reqs.count(1, id), 0u) << id;
    EXPECT_GT(f.reqs.count(1, 0xFFFFFFFF), 0u); // the one still missing is asked for in idle time
    EXPECT_TRUE(f.core.find_bitmap(9)->refused);

    // Stale: no idle fetch. Without a callback: no record, only the outline.
    fixture s;
    s.run(list_builder().bitmap(1, 0, 0, 5, 5, WHITE));
    s.core.stale = true;
    for (int i = 0; i < 400; ++i) s.core.step();
    EXPECT_EQ(s.reqs.count(1, 1), 1u);
    s.core.req = nullptr;
    s.run(list_builder().bitmap(2, 0, 0, 5, 5, WHITE));
    EXPECT_EQ(s.sink.kinds(), "O");
    EXPECT_EQ(s.core.find_bitmap(2), nullptr);
    s.core.reset(&s.sink);
    EXPECT_TRUE(s.core.bitmaps.empty());
}

// Hostile input stays bounded: endless bitmap ids, pictures that claim huge sizes, sizes past the
// texture limit.
TEST(MirrorDecode, HostileInputBounded)
{
    fixture f;
    list_builder many;
    for (uint32_t id = 0; id < 3000; ++id) many.bitmap(id * 7919u, 0, 0, 2, 2, WHITE);
    EXPECT_TRUE(f.run(many));
    EXPECT_EQ(f.core.bitmaps.size(), MIRROR_BITMAP_RECORDS_MAX);
    EXPECT_EQ(f.reqs.seen.size(), MIRROR_BITMAP_RECORDS_MAX);
    EXPECT_EQ(f.sink.count, 3000u);
    const auto small = png(2, 2);
    EXPECT_FALSE(f.core.asset(1, 0xABCDEF, small.data(), (uint32_t)small.size(), f.sink)); // no room, unasked
    EXPECT_EQ(f.sink.uploads, 0u);
    EXPECT_EQ(f.core.bitmaps.size(), MIRROR_BITMAP_RECORDS_MAX);
    EXPECT_TRUE(f.core.asset(1, 0, small.data(), (uint32_t)small.size(), f.sink)); // a known id still decodes
    f.run(many);
    EXPECT_EQ(f.reqs.seen.size(), MIRROR_BITMAP_RECORDS_MAX); // beyond the limit: never asked

    fixture h;
    const auto huge = png_claiming(30000, 30000);
    const auto big = png_claiming(5000, 4000); // 20 megapixels, within the texture limit
    const auto wide = png(64, 1);
    EXPECT_FALSE(h.core.asset(1, 1, huge.data(), (uint32_t)huge.size(), h.sink));
    EXPECT_FALSE(h.core.asset(1, 2, big.data(), (uint32_t)big.size(), h.sink));
    h.sink.max_tex = 32;
    EXPECT_FALSE(h.core.asset(1, 3, wide.data(), (uint32_t)wide.size(), h.sink));
    EXPECT_EQ(h.sink.uploads, 0u);
    for (uint32_t id = 1; id <= 3; ++id) EXPECT_TRUE(h.core.find_bitmap(id)->refused);
    h.sink.max_tex = 64;
    EXPECT_TRUE(h.core.asset(1, 3, wide.data(), (uint32_t)wide.size(), h.sink));
    EXPECT_EQ(h.sink.live_pixels, 64u);

    // Counts that claim more than the list holds stop decoding; they are not trusted.
    list_builder liar;
    liar.u8(KR_UI_REMOTE_OP_POLYGON).u32(RED).u16(0xFFFF).u16(1).u16(1);
    EXPECT_FALSE(h.run(liar));
    list_builder text_liar;
    text_liar.u8(KR_UI_REMOTE_OP_STRING).u8(0).u16(0).u16(0).u16(0).u32(WHITE).u16(0xFFFF).u8('a');
    EXPECT_FALSE(h.run(text_liar));
    EXPECT_EQ(h.sink.kinds(), "K");
}
