// Bitmaps: PNG files or PNG data decoded with LodePNG into a cache of textures keyed by name,
// drawn as textured quads through the bitmap shader.
#include <lodepng.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kr_ui_gl_internal.h"
#include "ui/kr_ui_hooks.h"

namespace {

uimedia_ll_st *find_entry(const char *name)
{
    if (!name || !*name) return nullptr;
    for (uimedia_ll_st *e = ui.uimediall; e; e = e->next_ptr)
        if (e->filename == name) return e;
    return nullptr;
}

// A picture this large would take the memory of the whole process to decode (4096 x 4096 fits).
constexpr uint64_t BITMAP_MAX_BYTES = 64u << 20;

// Reads the size first: a picture the texture cannot hold, or whose decoded size passes the memory
// cap, is refused before anything is decoded.
bool decode(const unsigned char *data, size_t len, unsigned char **out, unsigned *w, unsigned *h)
{
    *out = nullptr;
    LodePNGState state;
    lodepng_state_init(&state);
    unsigned iw = 0, ih = 0;
    const unsigned err = lodepng_inspect(&iw, &ih, &state, data, len);
    lodepng_state_cleanup(&state);
    const uint64_t limit = (uint64_t)kr_ui_max_texture_size();
    if (err || iw == 0 || ih == 0 || iw > limit || ih > limit || (uint64_t)iw * ih * 4 > BITMAP_MAX_BYTES) return false;
    ui.decodes++;
    if (lodepng_decode32(out, w, h, data, len) != 0) {
        std::free(*out);
        *out = nullptr;
        return false;
    }
    return true;
}

uimedia_ll_st *create_entry(const char *name, unsigned char *pixels, unsigned w, unsigned h)
{
    uimedia_ll_st *e = new uimedia_ll_st;
    e->filename = name;
    e->width = w;
    e->height = h;
    e->data_len = w * h * 4;
    if (ui.window) {
        glActiveTexture(GL_TEXTURE0);
        glGenTextures(1, &e->texture);
        glBindTexture(GL_TEXTURE_2D, e->texture);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
        glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
        glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA, (GLsizei)w, (GLsizei)h, 0, GL_RGBA, GL_UNSIGNED_BYTE, pixels);
        glGenVertexArrays(1, &e->vao);
        glGenBuffers(1, &e->vbo);
        glGenBuffers(1, &e->ebo);
    }
    std::free(pixels);
    uimedia_ll_st **tail = &ui.uimediall;
    while (*tail) tail = &(*tail)->next_ptr;
    *tail = e;
    return e;
}

uint32_t fill_handle(kr_uimedia_st *bitmap, const uimedia_ll_st *e)
{
    if (!e) return 0;
    bitmap->filename = e->filename.c_str();
    bitmap->width = (uint16_t)e->width;
    bitmap->height = (uint16_t)e->height;
    bitmap->size = e->data_len;
    return bitmap->size;
}

void clear_handle(kr_uimedia_st *bitmap)
{
    std::memset(bitmap, 0, sizeof *bitmap);
    bitmap->filename = "";
    bitmap->visible = true;
    bitmap->type = KR_UIMEDIA_IMAGE;
}

} // namespace

void ui_bitmaps_free(void)
{
    for (uimedia_ll_st *e = ui.uimediall; e;) {
        uimedia_ll_st *next = e->next_ptr;
        std::printf("Freeing bitmap '%s'\n", e->filename.c_str());
        if (ui.window) {
            if (e->texture) glDeleteTextures(1, &e->texture);
            if (e->vao) glDeleteVertexArrays(1, &e->vao);
            if (e->vbo) glDeleteBuffers(1, &e->vbo);
            if (e->ebo) glDeleteBuffers(1, &e->ebo);
        }
        delete e;
        e = next;
    }
    ui.uimediall = nullptr;
    std::fflush(stdout);
}

extern "C" {

uint32_t kr_uimedia_newbitmapexmem(kr_uimedia_st *bitmap, void *, const char *filename)
{
    if (!bitmap) return 0;
    uimedia_ll_st *e = find_entry(filename);
    clear_handle(bitmap);
    if (!e && filename && *filename) {
        std::printf("Loading bitmap '%s'\n", filename);
        unsigned char *file = nullptr;
        size_t len = 0;
        unsigned char *pixels = nullptr;
        unsigned w = 0, h = 0;
        if (lodepng_load_file(&file, &len, filename) == 0 && decode(file, len, &pixels, &w, &h))
            e = create_entry(filename, pixels, w, h);
        else
            std::printf("Loading bitmap '%s' failed\n", filename);
        std::free(file);
        std::fflush(stdout);
    }
    return fill_handle(bitmap, e);
}

uint32_t kr_uimedia_newbitmapexmem_mem(kr_uimedia_st *bitmap, const char *name, const uint8_t *data, uint32_t datalen)
{
    if (!bitmap) return 0;
    uimedia_ll_st *e = find_entry(name);
    clear_handle(bitmap);
    if (!e && name && *name && data && datalen) {
        std::printf("Loading embedded bitmap '%s'\n", name);
        unsigned char *pixels = nullptr;
        unsigned w = 0, h = 0;
        if (decode(data, datalen, &pixels, &w, &h))
            e = create_entry(name, pixels, w, h);
        else
            std::printf("Loading embedded bitmap '%s' failed\n", name);
        std::fflush(stdout);
    }
    return fill_handle(bitmap, e);
}

void kr_uimedia_free(kr_uimedia_st *bitmap)
{
    if (!bitmap) return;
    std::memset(bitmap, 0, sizeof *bitmap);
    bitmap->filename = "";
}

void kr_ui_draw_bitmap_ext_impl(const kr_uimedia_st *bitmap, int32_t x, int32_t y, int32_t w, int32_t h, uint8_t,
                                color_t c)
{
    if (!bitmap || !bitmap->visible) return;
    const uimedia_ll_st *e = find_entry(bitmap->filename);
    if (!e) {
        std::printf("ERROR: load bitmap with kr_ui_media_loadbitmapexmem before drawing it.\n");
        return;
    }
    if (!ui.window || !ui.bitmap_shader_program) return;
    c = kr_uic(c);
    glUseProgram(ui.bitmap_shader_program);
    const GLint blend = glGetUniformLocation(ui.bitmap_shader_program, "blendColor");
    glUniform4f(blend, (float)((c >> 16) & 0xFF) / 255.0f, (float)((c >> 8) & 0xFF) / 255.0f,
                (float)(c & 0xFF) / 255.0f, (float)(c >> 24) / 255.0f);
    glActiveTexture(GL_TEXTURE0);
    glBindTexture(GL_TEXTURE_2D, e->texture);

    const float sx = 2.0f / UI_SCREEN_WIDTH, sy = 2.0f / UI_SCREEN_HEIGHT;
    const float left = (float)x * sx - 1, right = (float)(x + w) * sx - 1;
    const float top = 1 - (float)y * sy, bottom = 1 - (float)(y + h) * sy;
    const float vertices[32] = {
        right, top,    0, 1, 0, 0, 1, 0, // first row of the picture at the top
        right, bottom, 0, 0, 1, 0, 1, 1, //
        left,  bottom, 0, 0, 0, 1, 0, 1, //
        left,  top,    0, 1, 1, 0, 0, 0, //
    };
    const uint32_t indices[6] = {0, 1, 3, 1, 2, 3};
    // The element buffer belongs to the vertex array: bind the array before anything else.
    glBindVertexArray(e->vao);
    glBindBuffer(GL_ARRAY_BUFFER, e->vbo);
    glBufferData(GL_ARRAY_BUFFER, sizeof vertices, vertices, GL_STATIC_DRAW);
    glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, e->ebo);
    glBufferData(GL_ELEMENT_ARRAY_BUFFER, sizeof indices, indices, GL_STATIC_DRAW);
    glVertexAttribPointer(0, 3, GL_FLOAT, GL_FALSE, 32, (void *)0);
    glEnableVertexAttribArray(0);
    glVertexAttribPointer(1, 3, GL_FLOAT, GL_FALSE, 32, (void *)12);
    glEnableVertexAttribArray(1);
    glVertexAttribPointer(2, 2, GL_FLOAT, GL_FALSE, 32, (void *)24);
    glEnableVertexAttribArray(2);
    glDrawElements(GL_TRIANGLES, 6, GL_UNSIGNED_INT, nullptr);
    glBindVertexArray(0);
    glBindBuffer(GL_ARRAY_BUFFER, 0);
    glUseProgram(0);
}

} // extern "C"
