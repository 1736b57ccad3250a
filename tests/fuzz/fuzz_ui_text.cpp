// Fuzz target: UTF-8 decoding, glyph mapping and string width on arbitrary bytes.
// Links the toolkit (kr_ui); the font's glyph records come from FreeType, no window is opened.
#include <cstdint>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "kr_ui.h"
#include "ui/kr_ui_hooks.h"

static ui_font_st font;
static int32_t widest_advance;

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    if (!kr_ui_font_render(&font, 0, 13)) std::abort();
    for (const ui_font_char_st &c : font.ft_char) widest_advance = std::max<int32_t>(widest_advance, c.advance / 64);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // A string that ends exactly at its NUL: any read past it is caught by ASan.
    std::vector<char> s(data, data + size);
    s.push_back('\0');
    const size_t len = std::strlen(s.data());

    size_t code_points = 0;
    for (const char *p = s.data(); *p;) {
        const char *before = p;
        const uint32_t cp = kr_ui_utf8_next(&p);
        const size_t step = (size_t)(p - before);
        if (step < 1 || step > 4 || p > s.data() + len) std::abort();
        if (step == 1 && cp != (uint8_t)*before) std::abort(); // a lone byte is its own value
        if (cp > 0x1FFFFF) std::abort();
        const uint8_t g = kr_ui_codepoint_glyph(cp, true);
        // Above ASCII: a Nordic glyph, '?', or the ASCII stand-in of a dash or a typographic quote.
        const bool stand_in = g == '?' || g == '-' || g == '\'' || g == '"';
        if (g >= 128 || (cp < 128 && g != cp) || (cp >= 128 && g > 6 && !stand_in)) std::abort();
        ++code_points;
    }

    std::vector<char> glyphs(len + 1);
    const uint32_t n = kr_ui_str_to_glyphs(s.data(), glyphs.data(), (uint32_t)glyphs.size(), true);
    if (n != code_points || glyphs[n] != '\0' || std::strlen(glyphs.data()) != n) std::abort();
    char small[5];
    if (kr_ui_str_to_glyphs(s.data(), small, sizeof small, false) > 4) std::abort();

    const int32_t w = kr_ui_get_string_width(s.data(), &font);
    if (w < 0 || (int64_t)w > (int64_t)widest_advance * (int64_t)code_points) std::abort();
    // The widest line decides: no line is wider than the whole.
    for (const char *line = s.data(); *line; line = kr_str_next_line(line)) {
        const char *end = std::strchr(line, '\n');
        std::string one(line, end ? (size_t)(end - line) : std::strlen(line));
        if (kr_ui_get_string_width(one.c_str(), &font) > w) std::abort();
    }
    if (kr_str_get_line_count(s.data()) == 0 && len != 0) std::abort();
    return 0;
}
