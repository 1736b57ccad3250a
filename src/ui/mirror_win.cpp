// The mirror's window: a GLFW window at the device's display size that draws decoded lists into a
// framebuffer object with immediate-mode OpenGL and shows it as one quad, so an overlay or a late
// asset redraws without a new list. Text comes from FreeType atlases of the Liberation faces.
#include <GL/glew.h>
#include <GLFW/glfw3.h>
#include <ft2build.h>
#include FT_FREETYPE_H

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "kr_ui_common.h"
#include "ui/mirror.h"

extern "C" const unsigned char kr_font_sans_data[];
extern "C" const unsigned char kr_font_sans_end[];
extern "C" const unsigned char kr_font_mono_data[];
extern "C" const unsigned char kr_font_mono_end[];

namespace {

const char *const SANS_FONT_FILE = "fonts/LiberationSans-Regular.ttf";
const char *const MONO_FONT_FILE = "fonts/LiberationMono-Regular.ttf";
constexpr uint32_t GLYPH_EXTRA[6] = {0xC4, 0xC5, 0xD6, 0xE4, 0xE5, 0xF6};
constexpr double DRAG_INTERVAL_S = 0.02;
constexpr uint32_t OVERLAY_SHADE = 0xC0000000;

void say(const char *s)
{
    std::fputs(s, stdout);
    std::fflush(stdout);
}

uint16_t clamp16u(long v) { return (uint16_t)std::clamp(v, 0L, 65535L); }
int16_t clamp16s(long v) { return (int16_t)std::clamp(v, -32768L, 32767L); }

struct fonts_st {
    FT_Library ft = nullptr;
    FT_Face face[2] = {nullptr, nullptr};
};
fonts_st fonts;

FT_Face face_of(bool mono)
{
    FT_Face &f = fonts.face[mono ? 1 : 0];
    if (f) return f;
    const char *file = mono ? MONO_FONT_FILE : SANS_FONT_FILE;
    if (FT_New_Face(fonts.ft, file, 0, &f) == 0) return f;
    f = nullptr;
    const unsigned char *data = mono ? kr_font_mono_data : kr_font_sans_data;
    const unsigned char *end = mono ? kr_font_mono_end : kr_font_sans_end;
    if (FT_New_Memory_Face(fonts.ft, data, (FT_Long)(end - data), 0, &f) == 0) return f;
    f = nullptr;
    std::printf("remote UI: neither '%s' nor the embedded font could be loaded, the mirrored view will have no "
                "text\n",
                file);
    std::fflush(stdout);
    return nullptr;
}

uint32_t glyph_code(int g) { return g < 95 ? (uint32_t)(g + 32) : GLYPH_EXTRA[g - 95]; }

class gl_sink final : public mirror_sink {
public:
    atlas_st atlases[MIRROR_ATLAS_MAX];
    bool made[MIRROR_ATLAS_MAX] = {}; // false: tried, but no atlas could be made
    GLint max_tex = 0;

    // Triangles gathered until the texture changes, a clear or a clip: far fewer calls into a
    // software rasteriser than one primitive per shape.
    struct vtx {
        float x, y, s, t;
        uint8_t c[4];
    };
    std::vector<vtx> batch;
    GLuint batch_tex = 0;

    void flush()
    {
        if (batch.empty()) return;
        glBindBuffer(GL_ARRAY_BUFFER, 0);
        glEnableClientState(GL_VERTEX_ARRAY);
        glEnableClientState(GL_COLOR_ARRAY);
        glVertexPointer(2, GL_FLOAT, sizeof(vtx), &batch[0].x);
        glColorPointer(4, GL_UNSIGNED_BYTE, sizeof(vtx), batch[0].c);
        if (batch_tex) {
            glEnable(GL_TEXTURE_2D);
            glBindTexture(GL_TEXTURE_2D, batch_tex);
            glTexEnvi(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, GL_MODULATE);
            glEnableClientState(GL_TEXTURE_COORD_ARRAY);
            glTexCoordPointer(2, GL_FLOAT, sizeof(vtx), &batch[0].s);
        }
        glDrawArrays(GL_TRIANGLES, 0, (GLsizei)batch.size());
        if (batch_tex) {
            glDisableClientState(GL_TEXTURE_COORD_ARRAY);
            glDisable(GL_TEXTURE_2D);
        }
        glDisableClientState(GL_COLOR_ARRAY);
        glDisableClientState(GL_VERTEX_ARRAY);
        batch.clear();
    }
    void use(GLuint tex)
    {
        if (tex == batch_tex) return;
        flush();
        batch_tex = tex;
    }
    void put(float x, float y, float s, float t, uint32_t c)
    {
        batch.push_back({x, y, s, t, {(uint8_t)(c >> 16), (uint8_t)(c >> 8), (uint8_t)c, (uint8_t)(c >> 24)}});
    }
    void quad(float x, float y, float w, float h, float s0, float t0, float s1, float t1, uint32_t c)
    {
        put(x, y, s0, t0, c);
        put(x + w, y, s1, t0, c);
        put(x + w, y + h, s1, t1, c);
        put(x, y, s0, t0, c);
        put(x + w, y + h, s1, t1, c);
        put(x, y + h, s0, t1, c);
    }

    void clear(uint32_t rgb) override
    {
        flush();
        glClearColor((float)((rgb >> 16) & 0xFF) / 255.f, (float)((rgb >> 8) & 0xFF) / 255.f,
                     (float)(rgb & 0xFF) / 255.f, 1.f);
        glClear(GL_COLOR_BUFFER_BIT);
    }
    void fan(const mirror_pt *p, uint32_t n, uint32_t argb) override
    {
        use(0);
        for (uint32_t i = 1; i + 1 < n; ++i) {
            put(p[0].x, p[0].y, 0, 0, argb);
            put(p[i].x, p[i].y, 0, 0, argb);
            put(p[i + 1].x, p[i + 1].y, 0, 0, argb);
        }
    }
    void outline(float x, float y, float w, float h, uint32_t argb) override
    {
        use(0);
        if (w < 2 || h < 2) {
            quad(x, y, w, h, 0, 0, 0, 0, argb);
            return;
        }
        quad(x, y, w, 1, 0, 0, 0, 0, argb);
        quad(x, y + h - 1, w, 1, 0, 0, 0, 0, argb);
        quad(x, y + 1, 1, h - 2, 0, 0, 0, 0, argb);
        quad(x + w - 1, y + 1, 1, h - 2, 0, 0, 0, 0, argb);
    }
    void bitmap(uint32_t tex, float x, float y, float w, float h, uint32_t argb) override
    {
        use(tex);
        quad(x, y, w, h, 0, 0, 1, 1, argb);
    }
    void glyph(const atlas_st &a, int g, float x, float y, uint32_t argb) override
    {
        const float tw = a.tex_w, th = a.tex_h;
        // Whole pixels keep the glyphs as crisp as they were rendered.
        x = std::floor(x + 0.5f);
        y = std::floor(y + 0.5f);
        use(a.tex);
        quad(x, y, a.w[g], a.h[g], a.x[g] / tw, 0, (a.x[g] + a.w[g]) / tw, a.h[g] / th, argb);
    }
    void clip(bool on, int32_t x, int32_t y, int32_t w, int32_t h) override
    {
        flush();
        if (!on) {
            glDisable(GL_SCISSOR_TEST);
            return;
        }
        glEnable(GL_SCISSOR_TEST);
        glScissor(x, y, w, h);
    }
    const atlas_st *atlas(bool mono, uint16_t px) override;
    uint16_t toolkit_height(bool mono, int index) override
    {
        const uint16_t h = (mono ? ui_mono_fonts : ui_fonts)[index].char_height;
        // Without the desktop window the toolkit's fonts are not loaded: their nominal sizes stand.
        return h ? h : font_sizes[index];
    }
    uint32_t upload(const uint8_t *rgba, int w, int h) override
    {
        GLuint t = 0;
        glGenTextures(1, &t);
        glBindTexture(GL_TEXTURE_2D, t);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
        glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
        while (glGetError() != GL_NO_ERROR) {
        }
        glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, w, h, 0, GL_RGBA, GL_UNSIGNED_BYTE, rgba);
        if (glGetError() != GL_NO_ERROR) {
            glDeleteTextures(1, &t);
            return 0;
        }
        return t;
    }
    void release(uint32_t tex) override
    {
        if (tex == batch_tex) {
            flush();
            batch_tex = 0;
        }
        GLuint t = tex;
        glDeleteTextures(1, &t);
    }
    int32_t max_texture() override { return max_tex > 0 ? max_tex : 0; }

    void free_atlases()
    {
        flush();
        batch_tex = 0;

        for (int i = 0; i < MIRROR_ATLAS_MAX; ++i) {
            if (atlases[i].tex) release(atlases[i].tex);
            atlases[i] = atlas_st{};
            made[i] = false;
        }
    }
};

// Builds one row of the 101 glyphs at the pixel height; false when none can be made.
bool build_atlas(atlas_st &a, FT_Face face, uint16_t px, int32_t max_tex)
{
    FT_Set_Pixel_Sizes(face, 0, px);
    const long line = (long)(face->size->metrics.height >> 6);
    if (line > 0 && line != px) {
        const long sized = std::max(1L, (long)px * px / line);
        FT_Set_Pixel_Sizes(face, 0, (FT_UInt)sized);
    }
    long total_w = 0, max_h = 0;
    for (int g = 0; g < MIRROR_GLYPHS; ++g) {
        a.w[g] = a.h[g] = 0;
        if (FT_Load_Char(face, glyph_code(g), FT_LOAD_RENDER)) continue;
        const FT_GlyphSlot s = face->glyph;
        a.x[g] = clamp16u(total_w);
        a.w[g] = clamp16u((long)s->bitmap.width);
        a.h[g] = clamp16u((long)s->bitmap.rows);
        a.bearing_x[g] = clamp16s(s->bitmap_left);
        a.bearing_y[g] = clamp16s(s->bitmap_top);
        a.advance[g] = clamp16u(s->advance.x >> 6);
        total_w += (long)s->bitmap.width + 1;
        max_h = std::max(max_h, (long)s->bitmap.rows);
        if (total_w > max_tex) return false; // wider than any texture may be
    }
    if (total_w == 0 || max_h == 0 || max_h > max_tex) return false;
    std::vector<uint8_t> buf;
    try {
        buf.assign((size_t)total_w * (size_t)max_h, 0);
    } catch (const std::bad_alloc &) {
        return false;
    }
    for (int g = 0; g < MIRROR_GLYPHS; ++g) {
        if (!a.w[g] || FT_Load_Char(face, glyph_code(g), FT_LOAD_RENDER)) continue;
        const FT_Bitmap &bm = face->glyph->bitmap;
        if (bm.width != a.w[g] || bm.rows != a.h[g]) {
            a.w[g] = a.h[g] = 0;
            continue;
        }
        for (unsigned r = 0; r < bm.rows; ++r) {
            const unsigned char *src = bm.pitch >= 0 ? bm.buffer + (size_t)r * (size_t)bm.pitch
                                                     : bm.buffer + (size_t)(bm.rows - 1 - r) * (size_t)(-bm.pitch);
            std::memcpy(&buf[(size_t)r * (size_t)total_w + a.x[g]], src, bm.width);
        }
    }
    a.ascender = clamp16u(face->size->metrics.ascender >> 6);
    a.tex_w = (uint16_t)total_w;
    a.tex_h = (uint16_t)max_h;
    GLuint t = 0;
    glGenTextures(1, &t);
    glBindTexture(GL_TEXTURE_2D, t);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
    glTexImage2D(GL_TEXTURE_2D, 0, GL_ALPHA, a.tex_w, a.tex_h, 0, GL_ALPHA, GL_UNSIGNED_BYTE, buf.data());
    a.tex = t;
    return true;
}

const atlas_st *gl_sink::atlas(bool mono, uint16_t px)
{
    int free_slot = -1;
    for (int i = 0; i < MIRROR_ATLAS_MAX; ++i) {
        if (atlases[i].used && atlases[i].mono == mono && atlases[i].px == px) return made[i] ? &atlases[i] : nullptr;
        if (!atlases[i].used && free_slot < 0) free_slot = i;
    }
    if (free_slot < 0) return nullptr;
    if (!fonts.ft && FT_Init_FreeType(&fonts.ft) != 0) {
        fonts.ft = nullptr;
        say("remote UI: FreeType could not be initialised, the mirrored view will have no text\n");
        return nullptr;
    }
    FT_Face face = face_of(mono);
    if (!face) return nullptr;
    atlas_st &a = atlases[free_slot];
    a = atlas_st{};
    a.used = true;
    a.mono = mono;
    a.px = px;
    // A failed size keeps its slot, so it is not rendered again for every string.
    made[free_slot] = build_atlas(a, face, px, max_texture());
    return made[free_slot] ? &a : nullptr;
}

struct win_st {
    GLFWwindow *window = nullptr;
    uint16_t w = 0, h = 0;
    char title[128] = {};
    GLuint fbo = 0, fbo_tex = 0;
    uint16_t fbo_w = 0, fbo_h = 0;
    bool fbo_failed = false;
    uint32_t age = 0, shown_age = 0;
    std::vector<uint8_t> kept;
    remoteui_input_t input = nullptr;
    void *input_user = nullptr;
    bool down = false;
    int16_t mx = 0, my = 0;
    double last_drag = -1e9;
    double cur_x = 0, cur_y = 0; // the pointer as its events reported it
    bool capture = false;
    std::vector<uint32_t> cap;
    int cap_w = 0, cap_h = 0;
};
win_st win;
mirror_core core;
gl_sink sink;

struct context_guard {
    GLFWwindow *prev;
    context_guard() : prev(glfwGetCurrentContext()) { glfwMakeContextCurrent(win.window); }
    ~context_guard() { glfwMakeContextCurrent(prev == win.window ? nullptr : prev); }
};

void ortho(int vw, int vh)
{
    glViewport(0, 0, vw, vh);
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    glOrtho(0, win.w, win.h, 0, -1, 1);
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
}

void delete_fbo()
{
    if (win.fbo) glDeleteFramebuffers(1, &win.fbo);
    if (win.fbo_tex) glDeleteTextures(1, &win.fbo_tex);
    win.fbo = win.fbo_tex = 0;
    win.fbo_w = win.fbo_h = 0;
}

// The framebuffer object at the device size; false when frames go straight to the window.
bool ensure_fbo()
{
    if (win.fbo && win.fbo_w == win.w && win.fbo_h == win.h) return true;
    delete_fbo();
    if (win.fbo_failed) return false;
    if (!glGenFramebuffers || !glBindFramebuffer || !glFramebufferTexture2D || !glCheckFramebufferStatus) {
        win.fbo_failed = true;
    } else {
        glGenTextures(1, &win.fbo_tex);
        glBindTexture(GL_TEXTURE_2D, win.fbo_tex);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
        glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, win.w, win.h, 0, GL_RGBA, GL_UNSIGNED_BYTE, nullptr);
        glGenFramebuffers(1, &win.fbo);
        glBindFramebuffer(GL_FRAMEBUFFER, win.fbo);
        glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, win.fbo_tex, 0);
        if (glCheckFramebufferStatus(GL_FRAMEBUFFER) == GL_FRAMEBUFFER_COMPLETE) {
            win.fbo_w = win.w;
            win.fbo_h = win.h;
            return true;
        }
        glBindFramebuffer(GL_FRAMEBUFFER, 0);
        delete_fbo();
        win.fbo_failed = true; // said once; later frames do not try again
    }
    say("remote UI: no framebuffer object; partial screen updates will not be shown\n");
    return false;
}

void overlay_text(const char *s, uint16_t px, float cx, float cy, uint32_t color)
{
    const atlas_st *a = sink.atlas(false, px);
    if (!a) return;
    const uint8_t *t = (const uint8_t *)s;
    const uint32_t n = (uint32_t)std::strlen(s);
    const float w = mirror_text_width(*a, nullptr, t, n);
    mirror_text_line(*a, nullptr, t, n, cx - w / 2, cy - (float)px / 2, color, sink);
}

void draw_overlay()
{
    glDisable(GL_SCISSOR_TEST);
    const mirror_pt p[4] = {{0, 0}, {(float)win.w, 0}, {(float)win.w, (float)win.h}, {0, (float)win.h}};
    sink.fan(p, 4, OVERLAY_SHADE);
    uint16_t px = (uint16_t)(win.h / 16);
    if (win.h < 224) px = 14;
    if (win.h > 655) px = 40;
    const float cx = (float)win.w / 2, cy = (float)win.h / 2;
    overlay_text("Waiting for the connection to come back online...", px, cx, cy - px, 0xFFFFFFFF);
    char line[80];
    std::snprintf(line, sizeof line, "nothing heard from the device for %u s", (unsigned)win.age);
    overlay_text(line, px, cx, cy + (float)px / 4, 0xFFB0B0B0);
    sink.flush();
}

void read_back(int fw, int fh)
{
    win.cap.assign((size_t)fw * (size_t)fh, 0);
    std::vector<uint8_t> rgba((size_t)fw * (size_t)fh * 4);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glReadBuffer(GL_BACK);
    glReadPixels(0, 0, fw, fh, GL_RGBA, GL_UNSIGNED_BYTE, rgba.data());
    for (int y = 0; y < fh; ++y)
        for (int x = 0; x < fw; ++x) {
            const uint8_t *q = &rgba[((size_t)(fh - 1 - y) * (size_t)fw + (size_t)x) * 4];
            win.cap[(size_t)y * (size_t)fw + (size_t)x] = 0xFF000000u | ((uint32_t)q[0] << 16) | ((uint32_t)q[1] << 8) |
                                                          q[2];
        }
    win.cap_w = fw;
    win.cap_h = fh;
}

void render(const uint8_t *list, uint32_t len, bool replay)
{
    context_guard cg;
    glDisable(GL_SCISSOR_TEST);
    const bool fbo = ensure_fbo();
    int fw = 0, fh = 0;
    glfwGetFramebufferSize(win.window, &fw, &fh);
    if (fw < 1 || fh < 1) {
        fw = win.w;
        fh = win.h;
    }
    if (fbo) {
        glBindFramebuffer(GL_FRAMEBUFFER, win.fbo);
        ortho(win.w, win.h);
    } else {
        ortho(fw, fh);
        if (len == 0) sink.clear(0);
    }
    if (len) core.decode(list, len, sink);
    sink.flush();
    if (fbo) {
        // A MASK left open clips this blit too.
        glBindFramebuffer(GL_FRAMEBUFFER, 0);
        ortho(fw, fh);
        glDisable(GL_BLEND);
        glEnable(GL_TEXTURE_2D);
        glBindTexture(GL_TEXTURE_2D, win.fbo_tex);
        glTexEnvi(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, GL_MODULATE);
        glColor4ub(255, 255, 255, 255);
        glBegin(GL_QUADS);
        glTexCoord2f(0, 1);
        glVertex2f(0, 0);
        glTexCoord2f(1, 1);
        glVertex2f(win.w, 0);
        glTexCoord2f(1, 0);
        glVertex2f(win.w, win.h);
        glTexCoord2f(0, 0);
        glVertex2f(0, win.h);
        glEnd();
        glDisable(GL_TEXTURE_2D);
        glEnable(GL_BLEND);
    }
    if (core.stale) draw_overlay();
    glDisable(GL_SCISSOR_TEST);
    if (win.capture) read_back(fw, fh);
    glfwSwapBuffers(win.window);
    if (!replay && len) {
        try {
            win.kept.assign(list, list + len);
        } catch (const std::bad_alloc &) {
            win.kept.clear();
            win.kept.shrink_to_fit();
        }
    }
}

void redraw()
{
    if (!win.window) return;
    if (win.kept.empty())
        render(nullptr, 0, true);
    else
        render(win.kept.data(), (uint32_t)win.kept.size(), true);
}

void to_device(double cx, double cy, int16_t &x, int16_t &y)
{
    int ww = 0, wh = 0;
    glfwGetWindowSize(win.window, &ww, &wh);
    if (ww < 1) ww = win.w;
    if (wh < 1) wh = win.h;
    x = clamp16s((long)((double)win.w * cx / ww));
    y = clamp16s((long)((double)win.h * cy / wh));
}

void send(uint8_t action, int16_t scroll)
{
    if (win.input) win.input(action, win.mx, win.my, scroll, 0, win.input_user);
}

void on_button(GLFWwindow *w, int button, int action, int)
{
    if (button != GLFW_MOUSE_BUTTON_LEFT) return;
    (void)w;
    // The pointer where the press happened, not where it is by the time events are polled.
    to_device(win.cur_x, win.cur_y, win.mx, win.my);
    win.down = action == GLFW_PRESS;
    send(win.down ? KR_UI_REMOTE_INPUT_PRESS : KR_UI_REMOTE_INPUT_RELEASE, 0);
}

void on_cursor(GLFWwindow *, double cx, double cy)
{
    win.cur_x = cx;
    win.cur_y = cy;
    if (!win.down) return;
    int16_t x = 0, y = 0;
    to_device(cx, cy, x, y);
    if (x == win.mx && y == win.my) return;
    win.mx = x;
    win.my = y;
    const double now = glfwGetTime();
    if (now - win.last_drag < DRAG_INTERVAL_S) return; // dropped, not delayed
    win.last_drag = now;
    send(KR_UI_REMOTE_INPUT_PRESS, 0);
}

void on_scroll(GLFWwindow *, double, double dy)
{
    const long notches = (long)dy;
    if (notches == 0) return;
    send(win.down ? KR_UI_REMOTE_INPUT_PRESS : KR_UI_REMOTE_INPUT_RELEASE, clamp16s(notches));
}

} // namespace

extern "C" {

bool remoteui_win_open(const char *title, uint16_t width, uint16_t height)
{
    remoteui_win_close();
    if (width == 0 || height == 0) return false;
    // The window and a framebuffer follow from the size the device claims.
    if (width > MIRROR_SIDE_MAX || height > MIRROR_SIDE_MAX) {
        std::printf("remote UI: the display size %ux%u is too large to mirror (at most %u on a side)\n",
                    (unsigned)width, (unsigned)height, (unsigned)MIRROR_SIDE_MAX);
        std::fflush(stdout);
        return false;
    }
    if (!glfwInit()) {
        say("remote UI: GLFW is not available\n");
        return false;
    }
    std::snprintf(win.title, sizeof win.title, "%.127s", title ? title : "");
    GLFWwindow *prev = glfwGetCurrentContext();
    glfwDefaultWindowHints();
    glfwWindowHint(GLFW_DEPTH_BITS, 0);
    win.window = glfwCreateWindow(width, height, win.title, nullptr, prev);
    if (!win.window) {
        say("remote UI: could not create the mirror window\n");
        return false;
    }
    win.w = width;
    win.h = height;
    win.age = win.shown_age = 0;
    core.stale = false;
    core.quiet = 0;
    core.width = width;
    core.height = height;
    win.down = false;
    win.mx = win.my = 0;
    win.last_drag = -1e9;
    win.fbo_failed = false;
    glfwSetMouseButtonCallback(win.window, on_button);
    glfwSetCursorPosCallback(win.window, on_cursor);
    glfwSetScrollCallback(win.window, on_scroll);
    glfwGetCursorPos(win.window, &win.cur_x, &win.cur_y);
    bool ok = true;
    {
        context_guard cg;
        glfwSwapInterval(0);
        glewExperimental = GL_TRUE;
        const GLenum ge = glewInit();
        while (glGetError() != GL_NO_ERROR) {
        }
        glGetIntegerv(GL_MAX_TEXTURE_SIZE, &sink.max_tex);
        if (ge != GLEW_OK || sink.max_tex < (GLint)width || sink.max_tex < (GLint)height) {
            std::printf("remote UI: the display size %ux%u is too large to mirror (at most %d on a side)\n",
                        (unsigned)width, (unsigned)height, (int)sink.max_tex);
            std::fflush(stdout);
            ok = false;
        } else {
            glEnable(GL_BLEND);
            glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
            glClearColor(0, 0, 0, 1);
            glClear(GL_COLOR_BUFFER_BIT);
            glfwSwapBuffers(win.window);
        }
    }
    if (!ok) {
        glfwDestroyWindow(win.window);
        win.window = nullptr;
        win.w = win.h = 0;
        return false;
    }
    std::printf("remote UI: mirroring '%s' at %ux%u\n", win.title, (unsigned)width, (unsigned)height);
    std::fflush(stdout);
    return true;
}

void remoteui_win_close(void)
{
    if (!win.window) return;
    {
        context_guard cg;
        sink.free_atlases();
        core.reset(&sink);
        delete_fbo();
        if (win.down) send(KR_UI_REMOTE_INPUT_RELEASE, 0);
        win.down = false;
    }
    glfwDestroyWindow(win.window);
    win.window = nullptr;
    win.w = win.h = 0;
    core.width = core.height = 0;
    core.stale = false;
    win.age = win.shown_age = 0;
    win.kept.clear();
    win.kept.shrink_to_fit();
}

bool remoteui_win_is_open(void) { return win.window != nullptr; }

void remoteui_win_poll_events(void)
{
    if (win.window) glfwPollEvents();
}

void remoteui_win_step(void)
{
    if (!win.window) return;
    core.step();
    if (glfwWindowShouldClose(win.window)) {
        say("remote UI: window closed\n");
        remoteui_win_close();
    }
}

void remoteui_win_draw_frame(const uint8_t *list, uint32_t length)
{
    if (!win.window) return;
    core.stale = false;
    win.age = win.shown_age = 0;
    core.quiet = 0;
    render(list, list ? length : 0, false);
}

void remoteui_win_asset_received(uint8_t kind, uint32_t id, const uint8_t *body, uint32_t length)
{
    if (!win.window) return;
    bool again;
    {
        context_guard cg;
        again = core.asset(kind, id, body, length, sink);
    }
    if (again) redraw();
}

void remoteui_win_set_link_age(uint32_t seconds)
{
    win.age = seconds;
    if (!win.window) return;
    const bool stale = seconds >= MIRROR_STALE_AGE_S;
    if (stale != core.stale || (stale && seconds != win.shown_age)) {
        core.stale = stale;
        win.shown_age = seconds;
        redraw();
    }
}

void remoteui_win_set_asset_request_callb(remoteui_asset_req_t callb, void *user)
{
    core.req = callb;
    core.req_user = user;
}

void remoteui_win_set_input_callb(remoteui_input_t callb, void *user)
{
    win.input = callb;
    win.input_user = user;
}

void remoteui_win_capture(bool on)
{
    win.capture = on;
    if (!on) win.cap.clear();
}

uint32_t remoteui_win_captured_pixel(int32_t x, int32_t y)
{
    if (x < 0 || y < 0 || x >= win.cap_w || y >= win.cap_h) return 0;
    return win.cap[(size_t)y * (size_t)win.cap_w + (size_t)x];
}

} // extern "C"
