// A draw sink that records what the mirror's decoder asks for, with made-up glyph metrics, so lists
// and assets are checked, fuzzed and timed without a window. Shared by tests, the fuzz target and
// the benchmark.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "kr_ui_common.h"
#include "ui/mirror.h"

namespace mirror_test {

struct op_st {
    explicit op_st(char k) : kind(k) {}
    char kind; // 'C'lear, 'F'an, 'O'utline, 'B'itmap, 'G'lyph, 'K' clip
    uint32_t color = 0;
    std::vector<mirror_pt> pts;
    float x = 0, y = 0, w = 0, h = 0;
    uint32_t tex = 0;
    int glyph = -1;
    bool mono = false;
    uint16_t px = 0;
    bool on = false;
    int32_t cx = 0, cy = 0, cw = 0, ch = 0;
};

// Glyph metrics of a made-up font: every glyph px/2 wide, advance px/2 + 1 (mono px/2), ascender
// 3/4 of px.
inline void fake_atlas(atlas_st &a, bool mono, uint16_t px)
{
    a.used = true;
    a.mono = mono;
    a.px = px;
    a.tex = 1000u + px + (mono ? 500u : 0u);
    a.ascender = (uint16_t)(px * 3 / 4);
    for (int g = 0; g < MIRROR_GLYPHS; ++g) {
        a.x[g] = (uint16_t)(g * (px / 2 + 1));
        a.w[g] = (uint16_t)(px / 2);
        a.h[g] = (uint16_t)(px / 2);
        a.bearing_x[g] = 1;
        a.bearing_y[g] = (int16_t)(px / 2);
        a.advance[g] = (uint16_t)(mono ? px / 2 : px / 2 + 1);
    }
    a.tex_w = (uint16_t)(MIRROR_GLYPHS * (px / 2 + 1));
    a.tex_h = (uint16_t)(px / 2);
}

class recorder : public mirror_sink {
public:
    bool keep = true; // false: count only (benchmarks, fuzzing)
    std::vector<op_st> ops;
    uint64_t count = 0, fan_points = 0, glyphs = 0;
    std::vector<std::pair<bool, uint16_t>> atlas_asks;
    std::map<std::pair<bool, uint16_t>, atlas_st> atlases;
    std::set<uint32_t> live; // textures made and not released
    uint64_t live_pixels = 0, uploads = 0;
    std::map<uint32_t, uint64_t> tex_pixels;
    uint32_t next_tex = 1;
    int32_t max_tex = 16384;
    bool no_atlas = false;

    void add(op_st o)
    {
        ++count;
        if (keep) ops.push_back(std::move(o));
    }
    void clear(uint32_t rgb) override
    {
        op_st o('C');
        o.color = rgb;
        add(o);
    }
    void fan(const mirror_pt *p, uint32_t n, uint32_t argb) override
    {
        fan_points += n;
        if (!keep) {
            ++count;
            return;
        }
        op_st o('F');
        o.color = argb;
        o.pts.assign(p, p + n);
        add(o);
    }
    void outline(float x, float y, float w, float h, uint32_t argb) override
    {
        op_st o('O');
        o.color = argb;
        o.x = x, o.y = y, o.w = w, o.h = h;
        add(o);
    }
    void bitmap(uint32_t tex, float x, float y, float w, float h, uint32_t argb) override
    {
        op_st o('B');
        o.tex = tex, o.color = argb;
        o.x = x, o.y = y, o.w = w, o.h = h;
        add(o);
    }
    void glyph(const atlas_st &a, int g, float x, float y, uint32_t argb) override
    {
        ++glyphs;
        op_st o('G');
        o.glyph = g, o.color = argb, o.mono = a.mono, o.px = a.px;
        o.x = x, o.y = y;
        add(o);
    }
    void clip(bool on, int32_t x, int32_t y, int32_t w, int32_t h) override
    {
        op_st o('K');
        o.on = on, o.cx = x, o.cy = y, o.cw = w, o.ch = h;
        add(o);
    }
    const atlas_st *atlas(bool mono, uint16_t px) override
    {
        if (atlas_asks.size() < 4096) atlas_asks.push_back({mono, px});
        if (no_atlas) return nullptr;
        auto it = atlases.find({mono, px});
        if (it != atlases.end()) return &it->second;
        if (atlases.size() >= (size_t)MIRROR_ATLAS_MAX) return nullptr;
        atlas_st &a = atlases[{mono, px}];
        fake_atlas(a, mono, px);
        return &a;
    }
    uint16_t toolkit_height(bool, int index) override { return font_sizes[index]; }
    uint32_t upload(const uint8_t *, int w, int h) override
    {
        const uint32_t t = next_tex++;
        live.insert(t);
        tex_pixels[t] = (uint64_t)w * (uint64_t)h;
        live_pixels += (uint64_t)w * (uint64_t)h;
        ++uploads;
        return t;
    }
    void release(uint32_t tex) override
    {
        if (live.erase(tex)) live_pixels -= tex_pixels[tex];
        tex_pixels.erase(tex);
    }
    int32_t max_texture() override { return max_tex; }

    std::string kinds() const
    {
        std::string s;
        for (const op_st &o : ops) s += o.kind;
        return s;
    }
    void reset()
    {
        ops.clear();
        atlas_asks.clear();
        count = fan_points = glyphs = 0;
    }
};

// Little-endian list building.
struct list_builder {
    std::vector<uint8_t> b;
    list_builder &u8(uint32_t v)
    {
        b.push_back((uint8_t)v);
        return *this;
    }
    list_builder &u16(uint32_t v) { return u8(v & 0xFF).u8((v >> 8) & 0xFF); }
    list_builder &u32(uint32_t v) { return u16(v & 0xFFFF).u16(v >> 16); }
    list_builder &frame(uint32_t c) { return u8(KR_UI_REMOTE_OP_FRAME_BEGIN).u32(c); }
    list_builder &keep() { return u8(KR_UI_REMOTE_OP_FRAME_BEGIN_KEEP); }
    list_builder &end() { return u8(KR_UI_REMOTE_OP_FRAME_END); }
    list_builder &rrect(int x, int y, int w, int h, int r, uint32_t c)
    {
        return u8(KR_UI_REMOTE_OP_RRECT).u16((uint16_t)x).u16((uint16_t)y).u16(w).u16(h).u16(r).u32(c);
    }
    list_builder &point(int x, int y, int d, uint32_t c)
    {
        return u8(KR_UI_REMOTE_OP_POINT).u16((uint16_t)x).u16((uint16_t)y).u16(d).u32(c);
    }
    list_builder &line(int x0, int y0, int x1, int y1, int w, uint32_t c)
    {
        return u8(KR_UI_REMOTE_OP_LINE)
            .u16((uint16_t)x0)
            .u16((uint16_t)y0)
            .u16((uint16_t)x1)
            .u16((uint16_t)y1)
            .u16(w)
            .u32(c);
    }
    list_builder &strip(int w, uint32_t c, const std::vector<std::pair<int, int>> &pts)
    {
        u8(KR_UI_REMOTE_OP_LINESTRIP).u8(0).u16(w).u32(c).u16((uint32_t)pts.size());
        for (auto &p : pts) u16((uint16_t)p.first).u16((uint16_t)p.second);
        return *this;
    }
    list_builder &polygon(uint32_t c, const std::vector<std::pair<int, int>> &pts)
    {
        u8(KR_UI_REMOTE_OP_POLYGON).u32(c).u16((uint32_t)pts.size());
        for (auto &p : pts) u16((uint16_t)p.first).u16((uint16_t)p.second);
        return *this;
    }
    list_builder &text(uint8_t font, int x, int y, uint16_t align, uint32_t c, const std::string &s)
    {
        u8(KR_UI_REMOTE_OP_STRING).u8(font).u16((uint16_t)x).u16((uint16_t)y).u16(align).u32(c).u16((uint32_t)s.size());
        for (char ch : s) u8((uint8_t)ch);
        return *this;
    }
    list_builder &bitmap(uint32_t id, int x, int y, int w, int h, uint32_t tint)
    {
        return u8(KR_UI_REMOTE_OP_BITMAP).u32(id).u16((uint16_t)x).u16((uint16_t)y).u16(w).u16(h).u32(0).u32(tint);
    }
    list_builder &mask(int x, int y, int w, int h)
    {
        return u8(KR_UI_REMOTE_OP_MASK).u16((uint16_t)x).u16((uint16_t)y).u16(w).u16(h);
    }
};

// A font-metrics body: line height, then widths (all `w`, or per slot from `widths`).
inline std::vector<uint8_t> font_body(uint16_t height, uint8_t w, const std::map<int, uint8_t> &widths = {})
{
    std::vector<uint8_t> b(KR_UI_REMOTE_FONT_BODY_HDR_LEN, 0);
    b[0] = (uint8_t)height;
    b[1] = (uint8_t)(height >> 8);
    b[2] = KR_UI_REMOTE_FONT_FLAG_GLYPHS;
    for (int i = 0; i < KR_UI_REMOTE_FONT_WIDTHS; ++i) b[7 + i] = w;
    for (auto &kv : widths) b[7 + kv.first] = kv.second;
    return b;
}

} // namespace mirror_test

// The recorder and the list builders, by their short names in every test that includes this.
using mirror_test::font_body;
using mirror_test::list_builder;
using mirror_test::op_st;
using mirror_test::recorder;
