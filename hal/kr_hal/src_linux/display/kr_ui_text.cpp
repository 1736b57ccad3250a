// Fonts (FreeType glyph atlases for nine sizes of a sans and a mono face), text layout and
// drawing, string widths, and the shader programs of text and bitmaps.
#include <ft2build.h>
#include FT_FREETYPE_H

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include "kr_ui_gl_internal.h"
#include "ui/kr_ui_hooks.h"

ui_font_st ui_fonts[UI_MAX_FONT_COUNT];
ui_font_st ui_mono_fonts[UI_MAX_FONT_COUNT];
const uint16_t font_sizes[UI_MAX_FONT_COUNT] = {13, 16, 19, 21, 25, 30, 40, 58, 70};

namespace {

constexpr int FONT_ATLAS_WIDTH = 1024;
constexpr int FONT_ATLAS_PAD = 2;
constexpr int FONT_GLYPH_COUNT = 134;
constexpr int INT16_LIMIT = 32767;

const char *const SANS_FILE = "fonts/LiberationSans-Regular.ttf";
const char *const MONO_FILE = "fonts/LiberationMono-Regular.ttf";

const uint32_t font_extra_glyphs[6][2] = {{1, 0xE4}, {2, 0xF6}, {3, 0xE5}, {4, 0xC4}, {5, 0xD6}, {6, 0xC5}};

const char *const TEXT_VS = "attribute vec4 coord;\n"
                            "varying vec2 texpos;\n"
                            "void main(void) {\n"
                            "  gl_Position = vec4(coord.xy, 0, 1);\n"
                            "  texpos = coord.zw;\n"
                            "}\n";
const char *const TEXT_FS = "varying vec2 texpos;\n"
                            "uniform sampler2D tex;\n"
                            "uniform vec4 color;\n"
                            "void main(void) {\n"
                            "  gl_FragColor = vec4(1, 1, 1, texture2D(tex, texpos).a) * color;\n"
                            "}\n";
const char *const BITMAP_VS = "#version 330 core\n"
                              "layout (location = 0) in vec3 aPos;\n"
                              "layout (location = 1) in vec3 aColor;\n"
                              "layout (location = 2) in vec2 aTexCoord;\n"
                              "out vec3 ourColor;\n"
                              "out vec2 TexCoord;\n"
                              "void main() {\n"
                              "  gl_Position = vec4(aPos, 1.0);\n"
                              "  ourColor = aColor;\n"
                              "  TexCoord = aTexCoord;\n"
                              "}\n";
const char *const BITMAP_FS = "#version 330 core\n"
                              "out vec4 FragColor;\n"
                              "in vec3 ourColor;\n"
                              "in vec2 TexCoord;\n"
                              "uniform sampler2D ourTexture;\n"
                              "uniform vec4 blendColor;\n"
                              "void main() {\n"
                              "  FragColor = texture(ourTexture, TexCoord) * blendColor;\n"
                              "}\n";

bool fits16(long v) { return v >= -INT16_LIMIT && v <= INT16_LIMIT; }

void free_font(ui_font_st *f)
{
    if (f->char_height != 0 && f->atlas_tex != 0 && ui.window) {
        GLuint t = f->atlas_tex;
        glDeleteTextures(1, &t);
    }
    f->atlas_tex = 0;
    f->char_height = 0;
}

// Lays the glyphs out, renders them into one alpha atlas and uploads it when there is a context.
// Glyphs that cannot be rendered, are wider than a row, would push the atlas past the texture
// limit or do not fit the 16-bit fields are left out.
void build_atlas(ui_font_st *font, FT_Face face)
{
    int32_t list[FONT_GLYPH_COUNT][2];
    for (int i = 0; i < 128; ++i) list[i][0] = list[i][1] = i;
    for (int i = 0; i < 6; ++i) {
        list[128 + i][0] = (int32_t)font_extra_glyphs[i][0];
        list[128 + i][1] = (int32_t)font_extra_glyphs[i][1];
    }
    const int32_t max_h = std::min(kr_ui_max_texture_size(), INT16_LIMIT);
    std::memset(font->ft_char, 0, sizeof font->ft_char);
    bool placed[FONT_GLYPH_COUNT] = {};

    int32_t pen_x = FONT_ATLAS_PAD, pen_y = FONT_ATLAS_PAD, row_h = 0;
    for (int i = 0; i < FONT_GLYPH_COUNT; ++i) {
        ui_font_char_st &c = font->ft_char[list[i][0]];
        c = ui_font_char_st{};
        if (FT_Load_Char(face, (FT_ULong)list[i][1], FT_LOAD_RENDER)) continue;
        const FT_GlyphSlot g = face->glyph;
        const int32_t w = (int32_t)g->bitmap.width, h = (int32_t)g->bitmap.rows;
        if (w > FONT_ATLAS_WIDTH - 2 * FONT_ATLAS_PAD || !fits16(g->advance.x) || !fits16(g->bitmap_left) ||
            !fits16(g->bitmap_top) || h > INT16_LIMIT)
            continue;
        int32_t nx = pen_x, ny = pen_y, nrow = row_h;
        if (nx + w > FONT_ATLAS_WIDTH - FONT_ATLAS_PAD) {
            nx = FONT_ATLAS_PAD;
            ny += nrow + FONT_ATLAS_PAD;
            nrow = 0;
        }
        if ((int64_t)ny + std::max(nrow, h) + FONT_ATLAS_PAD > max_h) continue;
        c.atlas_x = (int16_t)nx;
        c.atlas_y = (int16_t)ny;
        c.size_x = (int16_t)w;
        c.size_y = (int16_t)h;
        c.bearing_x = (int16_t)g->bitmap_left;
        c.bearing_y = (int16_t)g->bitmap_top;
        c.advance = (int16_t)g->advance.x;
        placed[i] = true;
        pen_x = nx + w + FONT_ATLAS_PAD;
        pen_y = ny;
        row_h = std::max(nrow, h);
    }
    const int32_t atlas_h = pen_y + row_h + FONT_ATLAS_PAD;
    std::vector<unsigned char> buf;
    try {
        buf.assign((size_t)FONT_ATLAS_WIDTH * (size_t)atlas_h, 0);
    } catch (const std::bad_alloc &) {
        return;
    }
    for (int i = 0; i < FONT_GLYPH_COUNT; ++i) {
        if (!placed[i]) continue;
        const ui_font_char_st &c = font->ft_char[list[i][0]];
        if (FT_Load_Char(face, (FT_ULong)list[i][1], FT_LOAD_RENDER)) continue;
        const FT_Bitmap &bm = face->glyph->bitmap;
        if ((int32_t)bm.width != c.size_x || (int32_t)bm.rows != c.size_y) continue;
        for (int32_t r = 0; r < c.size_y; ++r) {
            // Rows are pitch apart in FreeType's buffer; the pitch may exceed the width.
            const unsigned char *src = bm.pitch >= 0 ? bm.buffer + (size_t)r * (size_t)bm.pitch
                                                     : bm.buffer + (size_t)(c.size_y - 1 - r) * (size_t)(-bm.pitch);
            std::memcpy(&buf[(size_t)(c.atlas_y + r) * FONT_ATLAS_WIDTH + (size_t)c.atlas_x], src, (size_t)c.size_x);
        }
    }
    if (ui.window) {
        if (font->atlas_tex) {
            GLuint old = font->atlas_tex;
            glDeleteTextures(1, &old);
        }
        GLuint tex = 0;
        glActiveTexture(GL_TEXTURE0);
        glGenTextures(1, &tex);
        glBindTexture(GL_TEXTURE_2D, tex);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
        glTexImage2D(GL_TEXTURE_2D, 0, GL_ALPHA, FONT_ATLAS_WIDTH, atlas_h, 0, GL_ALPHA, GL_UNSIGNED_BYTE, buf.data());
        font->atlas_tex = tex;
    } else {
        font->atlas_tex = 0;
    }
    font->atlas_w = FONT_ATLAS_WIDTH;
    font->atlas_h = (int16_t)atlas_h;
}

bool open_face(FT_Library lib, int which, FT_Face *face, bool *embedded)
{
    const char *path = which == 0 ? SANS_FILE : MONO_FILE;
    *embedded = false;
    if (FT_New_Face(lib, path, 0, face) == 0) return true;
    const unsigned char *data = which == 0 ? kr_font_sans_data : kr_font_mono_data;
    const unsigned char *end = which == 0 ? kr_font_sans_end : kr_font_mono_end;
    *embedded = true;
    return FT_New_Memory_Face(lib, data, (FT_Long)(end - data), 0, face) == 0;
}

void set_font_size(ui_font_st *font, FT_Face face, int32_t pixel_size)
{
    if (pixel_size < 1) pixel_size = 1;
    FT_Set_Pixel_Sizes(face, 0, (FT_UInt)pixel_size);
    const long line = (long)(face->size->metrics.height / 64);
    long ch = (long)((double)line / ui.scale);
    font->char_height = (uint16_t)(ch < 0 ? 0 : ch > 65535 ? 65535 : ch);
    build_atlas(font, face);
}

// announce: the start-up says what it loads; a rebuild after a resize says only what fails, or each
// resize would fill the window's log with the same lines.
void load_face(FT_Library lib, int which, ui_font_st *table, bool announce)
{
    const char *path = which == 0 ? SANS_FILE : MONO_FILE;
    FT_Face face = nullptr;
    bool embedded = false;
    if (!open_face(lib, which, &face, &embedded)) {
        std::printf("Could not load font '%s'\n", path);
        return;
    }
    if (announce && embedded) std::printf("Loaded embedded fallback font (file '%s' not found)\n", path);
    if (announce && !embedded) std::printf("Loaded font '%s'\n", path);
    if (ui.window) glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    for (int i = 0; i < UI_MAX_FONT_COUNT; ++i) {
        const int32_t px = (int32_t)(font_sizes[i] * ui.scale);
        if (announce) {
            std::printf("Loading font size %i... ", (int)px);
            std::fflush(stdout);
        }
        set_font_size(&table[i], face, px);
        if (announce) {
            std::printf("done\n");
            std::fflush(stdout);
        }
    }
    FT_Done_Face(face);
}

GLuint compile(GLenum type, const char *file, const char *builtin)
{
    std::string source = builtin;
    std::ifstream in(file, std::ios::binary);
    if (in) {
        std::stringstream ss;
        ss << in.rdbuf();
        source = ss.str();
        std::printf("Loaded shader '%s' from file\n", file);
    }
    GLuint s = glCreateShader(type);
    const char *src = source.c_str();
    glShaderSource(s, 1, &src, nullptr);
    glCompileShader(s);
    GLint ok = 0;
    glGetShaderiv(s, GL_COMPILE_STATUS, &ok);
    if (!ok) {
        GLint len = 0;
        glGetShaderiv(s, GL_INFO_LOG_LENGTH, &len);
        std::string log(len > 0 ? (size_t)len : 1, '\0');
        if (len > 0) glGetShaderInfoLog(s, len, nullptr, log.data());
        std::printf("Shader compile error: %s\n", log.c_str());
        glDeleteShader(s);
        return 0;
    }
    return s;
}

struct text_vertex {
    float x, y, u, v;
};

std::vector<text_vertex> text_vertices;

bool text_lookups()
{
    if (ui.text_lookup_done) return ui.text_lookup_ok;
    ui.text_lookup_done = true;
    const GLuint p = ui.text_shader_program;
    bool ok = p != 0;
    if (p) {
        ui.text_u_tex = glGetUniformLocation(p, "tex");
        if (ui.text_u_tex < 0) {
            std::printf("ERROR: Could not bind uniform %s\n", "tex");
            ok = false;
        }
        ui.text_u_color = glGetUniformLocation(p, "color");
        if (ui.text_u_color < 0) {
            std::printf("ERROR: Could not bind uniform %s\n", "color");
            ok = false;
        }
        ui.text_a_coord = glGetAttribLocation(p, "coord");
        if (ui.text_a_coord < 0) {
            std::printf("ERROR: Could not bind attribute %s\n", "coord");
            ok = false;
        }
    }
    if (!ok) std::printf("ERROR loading OPENGL text shader program\n");
    ui.text_lookup_ok = ok;
    return ok;
}

// Width of one line (up to the next CR, LF or NUL) in window pixels.
int32_t line_width_px(const char *s, const ui_font_st *font)
{
    int32_t w = 0;
    while (*s && *s != '\n' && *s != '\r') {
        const uint8_t g = kr_ui_codepoint_glyph(kr_ui_utf8_next(&s), true);
        w += font->ft_char[g & 0x7F].advance / 64;
    }
    return w;
}

void append_line(const char *s, const ui_font_st *font, double left_px, double top_px, double clip_right_px)
{
    const ui_font_char_st &H = font->ft_char[(int)'H'];
    const double base = top_px + H.size_y;
    const float aw = (float)(font->atlas_w < 1 ? 1 : font->atlas_w);
    const float ah = (float)(font->atlas_h < 1 ? 1 : font->atlas_h);
    const double ww = ui.width, wh = ui.height;
    double pen = left_px;
    while (*s && *s != '\n' && *s != '\r') {
        if (pen > clip_right_px) break; // the rest of the line is clipped away
        const uint8_t g = kr_ui_codepoint_glyph(kr_ui_utf8_next(&s), true);
        const ui_font_char_st &c = font->ft_char[g & 0x7F];
        if (c.size_x >= 1 && c.size_y >= 1) {
            const double x0 = pen + c.bearing_x, y0 = base - c.bearing_y;
            const double x1 = x0 + c.size_x, y1 = y0 + c.size_y;
            const float nx0 = (float)(2.0 * x0 / ww - 1), nx1 = (float)(2.0 * x1 / ww - 1);
            const float ny0 = (float)(1 - 2.0 * y0 / wh), ny1 = (float)(1 - 2.0 * y1 / wh);
            const float u0 = (float)c.atlas_x / aw, u1 = (float)(c.atlas_x + c.size_x) / aw;
            const float v0 = (float)c.atlas_y / ah, v1 = (float)(c.atlas_y + c.size_y) / ah;
            text_vertices.push_back({nx0, ny0, u0, v0});
            text_vertices.push_back({nx1, ny0, u1, v0});
            text_vertices.push_back({nx0, ny1, u0, v1});
            text_vertices.push_back({nx1, ny0, u1, v0});
            text_vertices.push_back({nx1, ny1, u1, v1});
            text_vertices.push_back({nx0, ny1, u0, v1});
        }
        pen += c.advance / 64;
    }
}

} // namespace

GLuint ui_build_program(const char *vs_file, const char *vs_builtin, const char *fs_file, const char *fs_builtin)
{
    const GLuint vs = compile(GL_VERTEX_SHADER, vs_file, vs_builtin);
    const GLuint fs = compile(GL_FRAGMENT_SHADER, fs_file, fs_builtin);
    if (!vs || !fs) {
        std::printf("ERROR loading vertex & fragment shaders\n");
        if (vs) glDeleteShader(vs);
        if (fs) glDeleteShader(fs);
        return 0;
    }
    GLuint p = glCreateProgram();
    glAttachShader(p, vs);
    glAttachShader(p, fs);
    glLinkProgram(p);
    glDeleteShader(vs);
    glDeleteShader(fs);
    GLint ok = 0;
    glGetProgramiv(p, GL_LINK_STATUS, &ok);
    if (!ok) {
        std::printf("ERROR linking shader program\n");
        glDeleteProgram(p);
        return 0;
    }
    return p;
}

void ui_fonts_free(void)
{
    for (int i = 0; i < UI_MAX_FONT_COUNT; ++i) {
        free_font(&ui_fonts[i]);
        free_font(&ui_mono_fonts[i]);
    }
}

void ui_fonts_load(bool announce)
{
    ui_fonts_free();
    FT_Library lib = nullptr;
    if (FT_Init_FreeType(&lib)) {
        std::printf("Could not init Freetype\n");
        return;
    }
    load_face(lib, 0, ui_fonts, announce);
    load_face(lib, 1, ui_mono_fonts, announce);
    FT_Done_FreeType(lib);
    std::fflush(stdout);
}

void ui_shaders_build(void)
{
    ui.text_shader_program = ui_build_program("shaders/text_shader.vs", TEXT_VS, "shaders/text_shader.ts", TEXT_FS);
    glGenBuffers(1, &ui.text_vbo);
    ui.bitmap_shader_program = ui_build_program("shaders/bitmap_shader.vs", BITMAP_VS, "shaders/bitmap_shader.ts",
                                                BITMAP_FS);
    ui.text_lookup_done = false;
}

void ui_shaders_free(void)
{
    if (ui.text_shader_program) glDeleteProgram(ui.text_shader_program);
    if (ui.bitmap_shader_program) glDeleteProgram(ui.bitmap_shader_program);
    if (ui.text_vbo) glDeleteBuffers(1, &ui.text_vbo);
    ui.text_shader_program = ui.bitmap_shader_program = ui.text_vbo = 0;
    ui.text_lookup_done = false;
}

extern "C" {

void kr_ui_draw_string_impl(const char *str, const ui_font_st *font, int32_t x, int32_t y, uint16_t align,
                            color_t color)
{
    if (!str || !font || !*str || !ui.window) return;
    if (!text_lookups()) return;
    const int32_t lines = (int32_t)kr_str_get_line_count(str);
    if (align & UI_VALIGN_CENTER) y -= lines * font->char_height / 2;

    // Lines wholly outside the mask add no quads (a long text through a small window).
    const int32_t clip_top = ui.mask_on ? ui.mask_y : INT32_MIN / 2;
    const int32_t clip_bottom = ui.mask_on ? ui.mask_y + ui.mask_h : INT32_MAX / 2;
    const double clip_right_px = ui.mask_on ? (double)(ui.mask_x + ui.mask_w) * ui.scalex : 1e12;

    text_vertices.clear();
    const char *s = str;
    while (*s) {
        const char *end = s;
        while (*end && *end != '\n' && *end != '\r') ++end;
        if (end != s) {
            if (y + (int32_t)font->char_height > clip_top && y < clip_bottom) {
                const int32_t w = (align & (UI_HALIGN_CENTER | UI_HALIGN_RIGHT))
                                      ? (int32_t)(line_width_px(s, font) / ui.scalex)
                                      : 0;
                int32_t left = x;
                if (align & UI_HALIGN_CENTER)
                    left = x - w / 2;
                else if (align & UI_HALIGN_RIGHT)
                    left = x - w;
                append_line(s, font, left * ui.scalex, y * ui.scaley, clip_right_px);
            }
        }
        // An empty line between paragraphs keeps its height; the LF of a CR LF pair ends no line of its own.
        if (end != s || !(*end == '\n' && s > str && s[-1] == '\r')) y += font->char_height;
        s = *end ? end + 1 : end;
    }
    if (text_vertices.empty()) return;

    const color_t c = kr_uic(color);
    glUseProgram(ui.text_shader_program);
    glUniform4f(ui.text_u_color, (float)((c >> 16) & 0xFF) / 255.0f, (float)((c >> 8) & 0xFF) / 255.0f,
                (float)(c & 0xFF) / 255.0f, (float)(c >> 24) / 255.0f);
    glActiveTexture(GL_TEXTURE0);
    glBindTexture(GL_TEXTURE_2D, font->atlas_tex);
    glUniform1i(ui.text_u_tex, 0);
    glBindBuffer(GL_ARRAY_BUFFER, ui.text_vbo);
    glBufferData(GL_ARRAY_BUFFER, (GLsizeiptr)(text_vertices.size() * sizeof(text_vertex)), text_vertices.data(),
                 GL_DYNAMIC_DRAW);
    glEnableVertexAttribArray((GLuint)ui.text_a_coord);
    glVertexAttribPointer((GLuint)ui.text_a_coord, 4, GL_FLOAT, GL_FALSE, 0, nullptr);
    glDrawArrays(GL_TRIANGLES, 0, (GLsizei)text_vertices.size());
    glDisableVertexAttribArray((GLuint)ui.text_a_coord);
    glBindBuffer(GL_ARRAY_BUFFER, 0);
    glUseProgram(0);
}

int32_t kr_ui_get_string_width(const char *str, const ui_font_st *font)
{
    if (!str || !font) return 0;
    int32_t widest = 0, w = 0;
    while (*str) {
        const uint32_t cp = kr_ui_utf8_next(&str);
        if (cp == '\n' || cp == '\r') {
            w = 0;
            continue;
        }
        w += font->ft_char[kr_ui_codepoint_glyph(cp, true) & 0x7F].advance / 64;
        if (w > widest) widest = w;
    }
    return (int32_t)(widest / ui.scalex);
}

void kr_ui_fonts_reload(void) { ui_fonts_load(false); }

bool kr_ui_font_render(ui_font_st *font, int face_index, int32_t pixel_size)
{
    if (!font) return false;
    FT_Library lib = nullptr;
    if (FT_Init_FreeType(&lib)) return false;
    FT_Face face = nullptr;
    bool embedded = false;
    const bool ok = open_face(lib, face_index, &face, &embedded);
    if (ok) {
        set_font_size(font, face, pixel_size);
        FT_Done_Face(face);
    }
    FT_Done_FreeType(lib);
    return ok;
}

} // extern "C"
