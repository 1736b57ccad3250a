// The mirror's decoding of draw-command lists and assets, apart from any window: shapes become
// triangle fans for a sink, text is laid out on the sink's glyph atlases, bitmap bodies are decoded
// here and handed to the sink as pixels. Every size, count and id from the device is checked.
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>

#include <stb_image.h>

#include "kr_bytes.h"
#include "kr_ui_common.h"
#include "ui/mirror.h"

namespace {

constexpr uint16_t FALLBACK_PX = 16;

// Bytes of each opcode's fixed part (0 for unused opcodes).
constexpr uint32_t OP_LEN[12] = {0, 5, 21, 11, 15, 15, 10, 7, 14, 9, 1, 1};

inline uint16_t u16(const uint8_t *p) { return kr_get_le16(p); }
inline int16_t s16(const uint8_t *p) { return (int16_t)u16(p); }
inline uint32_t u32(const uint8_t *p) { return kr_get_le32(p); }

void rect(float x, float y, float w, float h, uint32_t color, mirror_sink &sink)
{
    const mirror_pt p[4] = {{x, y}, {x + w, y}, {x + w, y + h}, {x, y + h}};
    sink.fan(p, 4, color);
}

// Unit circle points at steps of 2π / 24, shared by circles and the quarter-turn corners.
struct unit_circle {
    float c[MIRROR_CIRCLE_SEGMENTS + 1], s[MIRROR_CIRCLE_SEGMENTS + 1];
    unit_circle()
    {
        for (int k = 0; k <= MIRROR_CIRCLE_SEGMENTS; ++k) {
            const double a = (double)k * 2 * 3.14159265358979323846 / MIRROR_CIRCLE_SEGMENTS;
            c[k] = (float)std::cos(a);
            s[k] = (float)std::sin(a);
        }
    }
};
const unit_circle unit;
static_assert(MIRROR_CIRCLE_SEGMENTS == 4 * MIRROR_ROUND_SEGMENTS, "corners reuse the circle's steps");

// A quarter fan from the step `first` (6 steps = a quarter turn).
void corner(float cx, float cy, float r, int first, uint32_t color, mirror_sink &sink)
{
    mirror_pt p[MIRROR_ROUND_SEGMENTS + 2];
    p[0] = {cx, cy};
    for (int k = 0; k <= MIRROR_ROUND_SEGMENTS; ++k) {
        p[k + 1] = {cx + r * unit.c[first + k], cy + r * unit.s[first + k]};
    }
    sink.fan(p, MIRROR_ROUND_SEGMENTS + 2, color);
}

void rrect(float x, float y, float w, float h, float r, uint32_t color, mirror_sink &sink)
{
    if (r > w / 2) r = w / 2;
    if (r > h / 2) r = h / 2;
    if (r <= 0.5f) {
        rect(x, y, w, h, color, sink);
        return;
    }
    rect(x + r, y, w - 2 * r, h, color, sink);
    rect(x, y + r, r, h - 2 * r, color, sink);
    rect(x + w - r, y + r, r, h - 2 * r, color, sink);
    // Top left from π, top right from 3π/2, bottom right from 0, bottom left from π/2 (y down).
    corner(x + r, y + r, r, 2 * MIRROR_ROUND_SEGMENTS, color, sink);
    corner(x + w - r, y + r, r, 3 * MIRROR_ROUND_SEGMENTS, color, sink);
    corner(x + w - r, y + h - r, r, 0, color, sink);
    corner(x + r, y + h - r, r, MIRROR_ROUND_SEGMENTS, color, sink);
}

// One code point from at most n bytes; anything malformed is code point 0 over one byte.
uint32_t utf8_next(const uint8_t *s, uint32_t n, uint32_t &i)
{
    const uint8_t lead = s[i];
    uint32_t more, cp;
    if (lead < 0x80) {
        ++i;
        return lead;
    }
    if (lead >= 0xC0 && lead <= 0xDF) {
        more = 1;
        cp = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        more = 2;
        cp = lead & 0x0Fu;
    } else if (lead >= 0xF0 && lead <= 0xF7) {
        more = 3;
        cp = lead & 0x07u;
    } else {
        ++i;
        return 0;
    }
    if (n - i <= more) {
        ++i;
        return 0;
    }
    for (uint32_t k = 1; k <= more; ++k) {
        if ((s[i + k] & 0xC0) != 0x80) {
            ++i;
            return 0;
        }
        cp = (cp << 6) | (s[i + k] & 0x3Fu);
    }
    i += more + 1;
    return cp;
}

float glyph_advance(const atlas_st &a, const devfont_st *df, uint32_t cp, int g)
{
    if (df) {
        const uint8_t w = df->advance[mirror_device_glyph(cp) & 0x7F];
        if (w) return w;
    }
    return a.advance[g];
}

void say(const char *fmt, unsigned a, unsigned b = 0, unsigned c = 0)
{
    std::printf(fmt, a, b, c);
    std::fflush(stdout);
}

bool png_or_jpeg(const uint8_t *b, uint32_t len)
{
    static const uint8_t png[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    if (len >= 8 && std::memcmp(b, png, 8) == 0) return true;
    return len >= 3 && b[0] == 0xFF && b[1] == 0xD8 && b[2] == 0xFF;
}

} // namespace

int mirror_glyph_index(uint32_t cp)
{
    if (cp >= 32 && cp <= 126) return (int)cp - 32;
    switch (cp) {
    case 0xC4: return 95;
    case 0xC5: return 96;
    case 0xD6: return 97;
    case 0xE4: return 98;
    case 0xE5: return 99;
    case 0xF6: return 100;
    default: return -1;
    }
}

uint8_t mirror_device_glyph(uint32_t cp)
{
    if (cp < 128) return (uint8_t)cp;
    switch (cp) {
    case 0xE4: return 1;
    case 0xF6: return 2;
    case 0xE5: return 3;
    case 0xC4: return 4;
    case 0xD6: return 5;
    case 0xC5: return 6;
    default: return '?';
    }
}

void mirror_circle(float cx, float cy, float r, uint32_t color, mirror_sink &sink)
{
    mirror_pt p[MIRROR_CIRCLE_SEGMENTS + 2];
    p[0] = {cx, cy};
    for (int k = 0; k <= MIRROR_CIRCLE_SEGMENTS; ++k) p[k + 1] = {cx + r * unit.c[k], cy + r * unit.s[k]};
    sink.fan(p, MIRROR_CIRCLE_SEGMENTS + 2, color);
}

float mirror_text_width(const atlas_st &a, const devfont_st *df, const uint8_t *s, uint32_t n)
{
    float w = 0;
    for (uint32_t i = 0; i < n;) {
        const uint32_t cp = utf8_next(s, n, i);
        const int g = mirror_glyph_index(cp);
        if (g >= 0) w += glyph_advance(a, df, cp, g);
    }
    return w;
}

void mirror_text_line(const atlas_st &a, const devfont_st *df, const uint8_t *s, uint32_t n, float x, float y,
                      uint32_t color, mirror_sink &sink)
{
    for (uint32_t i = 0; i < n;) {
        const uint32_t cp = utf8_next(s, n, i);
        const int g = mirror_glyph_index(cp);
        if (g < 0) continue; // no glyph: skipped without moving on
        if (a.w[g] && a.h[g])
            sink.glyph(a, g, x + (float)a.bearing_x[g], y + (float)a.ascender - (float)a.bearing_y[g], color);
        x += glyph_advance(a, df, cp, g);
    }
}

void mirror_core::request(uint8_t kind, uint32_t id)
{
    if (req) req(kind, id, req_user);
}

devbitmap_st *mirror_core::bitmap_record(uint32_t id, bool create)
{
    const auto it = bitmap_index.find(id);
    if (it != bitmap_index.end()) return &bitmaps[it->second];
    // A device can name any number of ids; past the limit they stay outlines.
    if (!create || bitmaps.size() >= MIRROR_BITMAP_RECORDS_MAX) return nullptr;
    devbitmap_st b;
    b.id = id;
    bitmaps.push_back(b);
    bitmap_index.emplace(id, bitmaps.size() - 1);
    return &bitmaps.back();
}

const devbitmap_st *mirror_core::find_bitmap(uint32_t id) const
{
    const auto it = bitmap_index.find(id);
    return it == bitmap_index.end() ? nullptr : &bitmaps[it->second];
}

void mirror_core::line(float x0, float y0, float x1, float y1, uint16_t width, uint32_t color, mirror_sink &sink)
{
    const float ht = width < 1 ? 0.5f : (float)width / 2;
    const float dx = x1 - x0, dy = y1 - y0;
    const float len = std::sqrt(dx * dx + dy * dy);
    if (len < 0.0001f) {
        mirror_circle(x0, y0, ht, color, sink);
        return;
    }
    const float nx = -dy / len * ht, ny = dx / len * ht;
    const mirror_pt p[4] = {{x0 + nx, y0 + ny}, {x1 + nx, y1 + ny}, {x1 - nx, y1 - ny}, {x0 - nx, y0 - ny}};
    sink.fan(p, 4, color);
    if (width > 2) {
        mirror_circle(x0, y0, ht, color, sink);
        mirror_circle(x1, y1, ht, color, sink);
    }
}

void mirror_core::string(const uint8_t *c, uint32_t len, mirror_sink &sink)
{
    const uint8_t font = c[1];
    if (font == KR_UI_REMOTE_FONT_UNKNOWN) return;
    const bool mono = (font & 0x80) != 0;
    const int index = font & 0x7F;
    devfont_st *df = index < UI_MAX_FONT_COUNT ? &fonts[index + (mono ? UI_MAX_FONT_COUNT : 0)] : nullptr;
    if (df && !df->known && df->retry == 0) {
        request(KR_UI_REMOTE_ASSET_KIND_FONT, font);
        df->retry = MIRROR_DEVFONT_RETRY_STEPS;
    }
    const devfont_st *held = df && df->have ? df : nullptr;
    uint16_t px = FALLBACK_PX;
    if (held)
        px = held->height ? held->height : FALLBACK_PX;
    else if (index < UI_MAX_FONT_COUNT) {
        px = sink.toolkit_height(mono, index);
        if (px == 0) px = FALLBACK_PX;
    }
    const atlas_st *a = sink.atlas(mono, px);
    if (!a) return;

    const float x = s16(c + 2);
    float y = s16(c + 4);
    const uint16_t align = u16(c + 6);
    const uint32_t color = u32(c + 8);
    const uint8_t *text = c + 14;
    if (align & UI_VALIGN_CENTER) {
        uint32_t breaks = 0;
        for (uint32_t i = 0; i < len; ++i)
            if (text[i] == '\n') ++breaks;
        y -= (float)px * (float)(1 + breaks) / 2;
    }
    const uint16_t h = align & UI_HALIGN_MASK;
    uint32_t start = 0;
    for (uint32_t i = 0; i <= len; ++i) {
        if (i < len && text[i] != '\n' && text[i] != '\r') continue;
        const uint32_t n = i - start;
        if (n) {
            float lx = x;
            if (h == UI_HALIGN_CENTER || h == UI_HALIGN_RIGHT) {
                const float w = mirror_text_width(*a, held, text + start, n);
                lx -= h == UI_HALIGN_CENTER ? w / 2 : w;
            }
            mirror_text_line(*a, held, text + start, n, lx, y, color, sink);
            y += px;
        }
        start = i + 1;
    }
}

bool mirror_core::decode(const uint8_t *list, uint32_t len, mirror_sink &sink)
{
    uint32_t p = 0;
    bool whole = true;
    while (p < len) {
        const uint8_t *c = list + p;
        const uint8_t op = c[0];
        const uint32_t left = len - p;
        if (op == 0 || op > KR_UI_REMOTE_OP_FRAME_BEGIN_KEEP || left < OP_LEN[op]) {
            whole = false;
            break;
        }
        uint32_t need = OP_LEN[op];
        if (op == KR_UI_REMOTE_OP_LINESTRIP) need += 4u * u16(c + 8);
        if (op == KR_UI_REMOTE_OP_POLYGON) need += 4u * u16(c + 5);
        if (op == KR_UI_REMOTE_OP_STRING) need += u16(c + 12);
        if (left < need) {
            whole = false;
            break;
        }
        ++commands;
        switch (op) {
        case KR_UI_REMOTE_OP_FRAME_BEGIN: sink.clear(u32(c + 1) & 0xFFFFFFu); break;
        case KR_UI_REMOTE_OP_BITMAP: {
            const uint32_t id = u32(c + 1);
            const float x = s16(c + 5), y = s16(c + 7), w = u16(c + 9), hh = u16(c + 11);
            const uint32_t tint = u32(c + 17);
            devbitmap_st *b = bitmap_record(id, false);
            if (!b && req) {
                b = bitmap_record(id, true);
                if (b) {
                    b->retry = MIRROR_DEVFONT_RETRY_STEPS;
                    request(KR_UI_REMOTE_ASSET_KIND_BITMAP, id);
                }
            } else if (b && b->missing && !b->refused && b->retry == 0) {
                b->retry = MIRROR_DEVFONT_RETRY_STEPS;
                request(KR_UI_REMOTE_ASSET_KIND_BITMAP, id);
            }
            if (b && b->tex)
                sink.bitmap(b->tex, x, y, w, hh, tint);
            else
                sink.outline(x, y, w, hh, tint);
            break;
        }
        case KR_UI_REMOTE_OP_POINT:
            mirror_circle(s16(c + 1), s16(c + 3), (float)u16(c + 5) / 2, u32(c + 7), sink);
            break;
        case KR_UI_REMOTE_OP_RRECT:
            rrect(s16(c + 1), s16(c + 3), u16(c + 5), u16(c + 7), u16(c + 9), u32(c + 11), sink);
            break;
        case KR_UI_REMOTE_OP_LINE:
            line(s16(c + 1), s16(c + 3), s16(c + 5), s16(c + 7), u16(c + 9), u32(c + 11), sink);
            break;
        case KR_UI_REMOTE_OP_LINESTRIP: {
            const uint16_t n = u16(c + 8), width = u16(c + 2);
            const uint32_t color = u32(c + 4);
            // 0 or 1 points draw nothing (n - 1 must not wrap).
            for (uint32_t k = 1; k < n; ++k) {
                const uint8_t *a = c + 10 + 4 * (k - 1), *b = c + 10 + 4 * k;
                line(s16(a), s16(a + 2), s16(b), s16(b + 2), width, color, sink);
            }
            break;
        }
        case KR_UI_REMOTE_OP_POLYGON: {
            const uint16_t n = u16(c + 5);
            if (n < 3) break;
            std::vector<mirror_pt> pts(n);
            for (uint32_t k = 0; k < n; ++k) pts[k] = {(float)s16(c + 7 + 4 * k), (float)s16(c + 9 + 4 * k)};
            sink.fan(pts.data(), n, u32(c + 1));
            break;
        }
        case KR_UI_REMOTE_OP_STRING: string(c, u16(c + 12), sink); break;
        case KR_UI_REMOTE_OP_MASK: {
            const int32_t x = s16(c + 1), y = s16(c + 3), w = u16(c + 5), hh = u16(c + 7);
            const int32_t gy = (int32_t)height - y - hh;
            sink.clip(true, x, gy < 0 ? 0 : gy, w, hh);
            break;
        }
        case KR_UI_REMOTE_OP_FRAME_END: sink.clip(false, 0, 0, 0, 0); break;
        default: break; // FRAME_BEGIN_KEEP draws over the kept picture
        }
        p += need;
    }
    if (!whole) sink.clip(false, 0, 0, 0, 0);
    return whole;
}

bool mirror_core::asset(uint8_t kind, uint32_t id, const uint8_t *body, uint32_t len, mirror_sink &sink)
{
    if (kind == KR_UI_REMOTE_ASSET_KIND_BITMAP) {
        quiet = 0;
        devbitmap_st *b = bitmap_record(id, true);
        if (!b) return false;
        b->retry = 0;
        const int32_t limit = sink.max_texture();
        int w = 0, h = 0, comp = 0;
        uint32_t tex = 0;
        // The declared size is checked before anything is decoded.
        if (body && len > 0 && len <= (uint32_t)INT_MAX && png_or_jpeg(body, len) &&
            stbi_info_from_memory(body, (int)len, &w, &h, &comp) && w > 0 && h > 0 && w <= limit && h <= limit &&
            w <= 65535 && h <= 65535 && (uint64_t)w * (uint64_t)h <= MIRROR_BITMAP_PIXELS_MAX) {
            int dw = 0, dh = 0;
            stbi_uc *px = stbi_load_from_memory(body, (int)len, &dw, &dh, &comp, 4);
            if (px && dw == w && dh == h) tex = sink.upload(px, w, h);
            if (px) stbi_image_free(px);
        }
        if (b->tex) sink.release(b->tex);
        b->tex = tex;
        if (!tex) {
            b->missing = b->refused = true;
            b->w = b->h = 0;
            say("remote UI: image %u could not be decoded (%u bytes)\n", id, len);
            return false;
        }
        b->w = (uint16_t)w;
        b->h = (uint16_t)h;
        b->missing = b->refused = false;
        std::printf("remote UI: image %u is %dx%d\n", (unsigned)id, w, h);
        std::fflush(stdout);
        return true;
    }
    if (kind != KR_UI_REMOTE_ASSET_KIND_FONT) return false;
    quiet = 0;
    // The id is the font byte: anything wider is not a font (0x103 is not font 3).
    if (id > 0xFF) return false;
    const int index = (int)(id & 0x7F);
    if (index >= UI_MAX_FONT_COUNT) return false;
    devfont_st &df = fonts[index + ((id & 0x80) ? UI_MAX_FONT_COUNT : 0)];
    df.known = true;
    df.retry = 0;
    if (!body || len < KR_UI_REMOTE_FONT_BODY_HDR_LEN) {
        df.have = false;
        return false;
    }
    df.height = u16(body);
    std::memcpy(df.advance, body + 7, KR_UI_REMOTE_FONT_WIDTHS);
    if (df.height > MIRROR_FONT_HEIGHT_MAX) {
        // Its atlas would be absurd: the mirror's own size is used instead.
        df.have = false;
        say("remote UI: font %u claims %u px on the device; the mirror's own size is used\n", id, df.height);
        return false;
    }
    df.have = df.height != 0;
    say("remote UI: font %u is %u px on the device\n", id, df.height);
    return true;
}

void mirror_core::step()
{
    for (devfont_st &f : fonts)
        if (f.retry) --f.retry;
    for (devbitmap_st &b : bitmaps)
        if (b.retry) --b.retry;
    if (quiet < MIRROR_ASSET_IDLE_STEPS) {
        ++quiet;
        return;
    }
    if (stale) return;
    // The newest missing bitmap first.
    for (auto it = bitmaps.rbegin(); it != bitmaps.rend(); ++it) {
        if (!it->missing || it->refused || it->retry) continue;
        if (req) {
            request(KR_UI_REMOTE_ASSET_KIND_BITMAP, it->id);
            it->retry = MIRROR_DEVFONT_RETRY_STEPS;
            quiet = 0;
        }
        break;
    }
}

void mirror_core::reset(mirror_sink *sink)
{
    if (sink)
        for (devbitmap_st &b : bitmaps)
            if (b.tex) sink->release(b.tex);
    bitmaps.clear();
    bitmap_index.clear();
    for (devfont_st &f : fonts) f = devfont_st{};
    quiet = 0;
    stale = false;
}
