// The drawing interface (forwarding to the back end), colours and the colour mode, the theme
// table, and the UTF-8 and glyph helpers shared by the back end and the display mirror.
#include <cstring>
#include <cstdarg>
#include <cstddef>

#include "kr_ui.h"
#include "kr_utilities.h"

kr_uistyle_st kr_uistyles[CONFIG_UI_STYLES_COUNT] = {
    {0xFF373A44, 0xFF945DD2, 0xFF040404, 0xFF000000, &font16, 0xFFFFFFFF},
};

namespace {

int8_t grayscale_luminosity = 0;
ui_color_modes_e color_mode = COLOR_MODE_RGB;

inline uint8_t clamp_byte(int32_t v) { return (uint8_t)(v < 0 ? 0 : v > 255 ? 255 : v); }

inline color_t pack(int32_t a, int32_t r, int32_t g, int32_t b)
{
    return ((color_t)clamp_byte(a) << 24) | ((color_t)clamp_byte(r) << 16) | ((color_t)clamp_byte(g) << 8) |
           (color_t)clamp_byte(b);
}

inline bool is_continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

} // namespace

extern "C" {

// ---- Drawing ----

void kr_ui_clear(color_t c) { kr_ui_clear_impl(c); }

void kr_ui_draw_point(int32_t x, int32_t y, color_t color, int32_t diameter)
{
    kr_ui_draw_point_impl(x, y, color, diameter);
}

void kr_ui_draw_rrect(int32_t x, int32_t y, int32_t width, int32_t height, int32_t radius, color_t color)
{
    kr_ui_draw_rrect_impl(x, y, width, height, radius, color);
}

void kr_ui_draw_shadowrrect(int32_t x, int32_t y, int32_t width, int32_t height, int32_t radius, color_t color,
                            color_t highlight_c, color_t shadow_c)
{
    kr_ui_draw_rrect_impl(x, y, width - 4, height - 4, radius, shadow_c);
    kr_ui_draw_rrect_impl(x + 4, y + 4, width - 4, height - 4, radius, highlight_c);
    kr_ui_draw_rrect_impl(x + 2, y + 2, width - 4, height - 4, radius, color);
}

void kr_ui_draw_shadowpoint(int32_t x, int32_t y, color_t color, color_t highlight_c, color_t shadow_c,
                            int32_t diameter)
{
    kr_ui_draw_point_impl(x - 2, y - 2, shadow_c, diameter);
    kr_ui_draw_point_impl(x + 2, y + 2, highlight_c, diameter);
    kr_ui_draw_point_impl(x, y, color, diameter);
}

void kr_ui_draw_line(int32_t start_x, int32_t start_y, int32_t end_x, int32_t end_y, int32_t width, color_t color)
{
    kr_ui_draw_line_impl(start_x, start_y, end_x, end_y, width, color);
}

void kr_ui_draw_linestrip(const kr_ui_linestrip_point_st *points, uint32_t point_count, int32_t line_width,
                          color_t color, kr_ui_strip_type_e type)
{
    if (!points || point_count == 0) return;
    kr_ui_draw_linestrip_impl(points, point_count, line_width, color, type);
}

void kr_ui_draw_polygon(const kr_ui_linestrip_point_st *points, uint32_t point_count, color_t color)
{
    if (!points || point_count < 3) return;
    kr_ui_draw_polygon_impl(points, point_count, color);
}

void kr_ui_draw_string(const char *str, const ui_font_st *font, int32_t x, int32_t y, uint16_t align, color_t color)
{
    kr_ui_draw_string_impl(str, font, x, y, align, color);
}

void kr_ui_draw_bitmap(const kr_uimedia_st *bitmap, int32_t x, int32_t y)
{
    if (!bitmap) return;
    kr_ui_draw_bitmap_ext_impl(bitmap, x, y, bitmap->width, bitmap->height, 0, 0xFFFFFFFF);
}

void kr_ui_draw_bitmap_ext(const kr_uimedia_st *bitmap, int32_t x, int32_t y, int32_t w, int32_t h, uint8_t wrap,
                           color_t c)
{
    kr_ui_draw_bitmap_ext_impl(bitmap, x, y, w, h, wrap, c);
}

void kr_ui_set_mask(int32_t x, int32_t y, int32_t width, int32_t height) { kr_ui_set_mask_impl(x, y, width, height); }

void kr_ui_dlswap(void) { kr_ui_dlswap_impl(); }

bool kr_ui_get_touch(int32_t *x, int32_t *y) { return kr_ui_get_touch_impl(x, y); }

int32_t kr_ui_get_string_height(const char *str, const ui_font_st *font)
{
    if (!font) return 0;
    return (int32_t)font->char_height * (int32_t)kr_str_get_line_count(str);
}

uint32_t kr_ui_wrap_text(const char *src, const ui_font_st *font, int32_t width, char *dst, size_t dst_len)
{
    if (!dst || dst_len == 0) return 0;
    size_t o = 0;
    uint32_t lines = 1;
    int32_t line_w = 0;
    for (const char *p = src ? src : ""; *p;) {
        size_t n = 1;
        int32_t cw = 0;
        if (*p == 27 && p[1] == '[') {
            // A colour sequence takes no room on the line.
            n = 2;
            while (p[n] && !(p[n] >= 0x40 && p[n] <= 0x7E)) n++;
            if (p[n]) n++;
        } else if (*p != '\n' && *p != '\r') {
            const unsigned char c = (unsigned char)*p;
            n = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
            for (size_t i = 1; i < n; i++)
                if (((unsigned char)p[i] & 0xC0) != 0x80) n = i;
            char ch[5] = {};
            std::memcpy(ch, p, n);
            cw = font ? kr_ui_get_string_width(ch, font) : 0;
        }
        const bool wrap = cw > 0 && line_w > 0 && line_w + cw > width;
        if (o + n + (wrap ? 1 : 0) >= dst_len) break;
        if (wrap) {
            dst[o++] = '\n';
            lines++;
            line_w = 0;
        }
        std::memcpy(dst + o, p, n);
        o += n;
        if (*p == '\n') lines++;
        line_w = (*p == '\n' || *p == '\r') ? 0 : line_w + cw;
        p += n;
    }
    dst[o] = '\0';
    return lines;
}

bool kr_ui_is_visible(int32_t x, int32_t y, int32_t width, int32_t height)
{
    if (x + width < 0 || x > UI_SCREEN_WIDTH) return false;
    if (y + height < 0 || y > UI_SCREEN_HEIGHT) return false;
    return true;
}

// ---- Colour ----

void kr_ui_set_color_mode(ui_color_modes_e value) { color_mode = value; }

ui_color_modes_e kr_ui_get_color_mode(void) { return color_mode; }

void kr_ui_set_grayscale_luminosity(int8_t value) { grayscale_luminosity = value; }

color_t kr_uic(color_t c) { return color_mode == COLOR_MODE_GRAYSCALE ? kr_uic_grayscale(c) : c; }

color_t kr_uic_grayscale(color_t c)
{
    const int32_t r = (c >> 16) & 0xFF, g = (c >> 8) & 0xFF, b = c & 0xFF;
    int32_t grey = (r + g + b) / 3;
    if (grayscale_luminosity != 0) {
        int32_t f = kr_reli(grayscale_luminosity, -127, 127);
        f = f < 0 ? 0 : f > 1000 ? 1000 : f;
        grey = grey * f / 500; // a positive luminosity saturates at white
    }
    return pack((int32_t)(c >> 24), grey, grey, grey);
}

color_t kr_uic_brighten(color_t c, int8_t value)
{
    return pack((int32_t)(c >> 24), (int32_t)((c >> 16) & 0xFF) + value, (int32_t)((c >> 8) & 0xFF) + value,
                (int32_t)(c & 0xFF) + value);
}

color_t kr_uic_alpha(color_t c, int16_t value)
{
    return (c & 0x00FFFFFFu) | ((color_t)clamp_byte((int32_t)(c >> 24) + value) << 24);
}

color_t kr_uic_lerpi(int32_t t, color_t ca, color_t cb)
{
    color_t out = 0;
    for (int shift = 0; shift < 32; shift += 8) {
        const int32_t v = kr_lerpi(t, (int32_t)((ca >> shift) & 0xFF), (int32_t)((cb >> shift) & 0xFF));
        out |= ((color_t)v & 0xFFu) << shift;
    }
    return out;
}

// ---- Text ----

uint32_t kr_ui_utf8_next(const char **str_ptr)
{
    const unsigned char *s = (const unsigned char *)*str_ptr;
    const unsigned char lead = s[0];
    // Each continuation byte is tested before the next one is read, so a NUL ends the look-ahead.
    if (lead >= 0xC0 && lead <= 0xDF && is_continuation(s[1])) {
        *str_ptr += 2;
        return ((uint32_t)(lead & 0x1F) << 6) | (s[1] & 0x3F);
    }
    if (lead >= 0xE0 && lead <= 0xEF && is_continuation(s[1]) && is_continuation(s[2])) {
        *str_ptr += 3;
        return ((uint32_t)(lead & 0x0F) << 12) | ((uint32_t)(s[1] & 0x3F) << 6) | (s[2] & 0x3F);
    }
    if (lead >= 0xF0 && lead <= 0xF7 && is_continuation(s[1]) && is_continuation(s[2]) && is_continuation(s[3])) {
        *str_ptr += 4;
        return ((uint32_t)(lead & 0x07) << 18) | ((uint32_t)(s[1] & 0x3F) << 12) | ((uint32_t)(s[2] & 0x3F) << 6) |
               (s[3] & 0x3F);
    }
    *str_ptr += 1;
    return lead;
}

uint8_t kr_ui_codepoint_glyph(uint32_t codepoint, bool nordic_glyphs)
{
    if (codepoint < 128) return (uint8_t)codepoint;
    switch (codepoint) {
    case 0xE4: return nordic_glyphs ? 1 : 'a';
    case 0xF6: return nordic_glyphs ? 2 : 'o';
    case 0xE5: return nordic_glyphs ? 3 : 'a';
    case 0xC4: return nordic_glyphs ? 4 : 'A';
    case 0xD6: return nordic_glyphs ? 5 : 'O';
    case 0xC5: return nordic_glyphs ? 6 : 'A';
    // Typographic punctuation the fonts' 128 slots lack reads as its ASCII form, not as "?".
    case 0x2010:
    case 0x2011:
    case 0x2012:
    case 0x2013:
    case 0x2014:
    case 0x2212: return '-';
    case 0x2018:
    case 0x2019: return '\'';
    case 0x201C:
    case 0x201D: return '"';
    default: return '?';
    }
}

uint32_t kr_ui_str_to_glyphs(const char *src, char *dst, uint32_t dst_len, bool nordic_glyphs)
{
    if (!src || !dst || dst_len == 0) return 0;
    uint32_t n = 0;
    while (*src && n + 1 < dst_len) {
        const uint32_t cp = kr_ui_utf8_next(&src);
        // An overlong NUL (C0 80) would end the glyph string early.
        dst[n++] = cp == 0 ? '?' : (char)kr_ui_codepoint_glyph(cp, nordic_glyphs);
    }
    dst[n] = '\0';
    return n;
}

uint32_t kr_str_get_line_count(const char *str)
{
    if (!str || !*str) return 0;
    uint32_t n = 1;
    for (; *str; ++str)
        if (*str == '\n') ++n;
    return n;
}

const char *kr_str_next_line(const char *str)
{
    if (!str) return str;
    while (*str && *str != '\n') ++str;
    return *str ? str + 1 : str;
}

const char *kr_uitr(uint32_t n, ...)
{
    va_list ap;
    va_start(ap, n);
    const char *s = nullptr;
    for (uint32_t i = 0; i <= n; ++i) s = va_arg(ap, const char *);
    va_end(ap);
    return s;
}

} // extern "C"
