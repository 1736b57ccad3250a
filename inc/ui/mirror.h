/* The remote display mirror: a window that draws a fleet device's draw-command lists and sends
 * mouse input back as touches. The decoding of lists and assets (mirror_core) is apart from the
 * OpenGL drawing (a mirror_sink), so it runs and is tested without a window. */
#ifndef MIRROR_H
#define MIRROR_H

#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum {
    KR_UI_REMOTE_OP_FRAME_BEGIN = 1,
    KR_UI_REMOTE_OP_BITMAP = 2,
    KR_UI_REMOTE_OP_POINT = 3,
    KR_UI_REMOTE_OP_RRECT = 4,
    KR_UI_REMOTE_OP_LINE = 5,
    KR_UI_REMOTE_OP_LINESTRIP = 6,
    KR_UI_REMOTE_OP_POLYGON = 7,
    KR_UI_REMOTE_OP_STRING = 8,
    KR_UI_REMOTE_OP_MASK = 9,
    KR_UI_REMOTE_OP_FRAME_END = 10,
    KR_UI_REMOTE_OP_FRAME_BEGIN_KEEP = 11,
};

#define KR_UI_REMOTE_FONT_UNKNOWN 0xFF
#define KR_UI_REMOTE_ASSET_INVALID 0xFFFFu
#define KR_UI_REMOTE_ASSET_INVALID_ID 0xFFFFFFFFu
#define KR_UI_REMOTE_ASSET_KIND_FONT 0
#define KR_UI_REMOTE_ASSET_KIND_BITMAP 1
#define KR_UI_REMOTE_FONT_FLAG_GLYPHS 1
#define KR_UI_REMOTE_FONT_WIDTHS 128
#define KR_UI_REMOTE_FONT_BODY_HDR_LEN (7 + KR_UI_REMOTE_FONT_WIDTHS)
#define KR_UI_REMOTE_ASSET_CHUNK 191
#define KR_UI_REMOTE_ASSET_HDR_LEN 9
#define KR_UI_REMOTE_ASSET_FLAG_START 1
#define KR_UI_REMOTE_ASSET_FLAG_END 2
#define KR_UI_REMOTE_INPUT_RELEASE 0
#define KR_UI_REMOTE_INPUT_PRESS 1

typedef void (*remoteui_asset_req_t)(uint8_t kind, uint32_t id, void *user);
typedef void (*remoteui_input_t)(uint8_t action, int16_t x, int16_t y, int16_t scroll, char key, void *user);

bool remoteui_win_open(const char *title, uint16_t width, uint16_t height);
void remoteui_win_close(void);
bool remoteui_win_is_open(void);
void remoteui_win_poll_events(void);
void remoteui_win_step(void);
void remoteui_win_draw_frame(const uint8_t *list, uint32_t length);
void remoteui_win_asset_received(uint8_t kind, uint32_t id, const uint8_t *body, uint32_t length);
void remoteui_win_set_link_age(uint32_t seconds);
void remoteui_win_set_asset_request_callb(remoteui_asset_req_t callb, void *user);
void remoteui_win_set_input_callb(remoteui_input_t callb, void *user);

/* Tests: keep a copy of each shown picture (window pixels, 0xAARRGGBB, top row first). */
void remoteui_win_capture(bool on);
uint32_t remoteui_win_captured_pixel(int32_t x, int32_t y);

#ifdef __cplusplus
}

#include <memory>
#include <unordered_map>
#include <vector>

constexpr uint32_t MIRROR_STALE_AGE_S = 12;
constexpr uint16_t MIRROR_ASSET_IDLE_STEPS = 25;
constexpr uint16_t MIRROR_DEVFONT_RETRY_STEPS = 150;
constexpr int MIRROR_DEVFONT_COUNT = 18;
constexpr int MIRROR_ATLAS_MAX = 16;
constexpr int MIRROR_ROUND_SEGMENTS = 6;
constexpr int MIRROR_CIRCLE_SEGMENTS = 24;
constexpr int MIRROR_GLYPHS = 101;
constexpr uint32_t MIRROR_SIDE_MAX = 4096;         // display sides beyond this are refused
constexpr size_t MIRROR_BITMAP_RECORDS_MAX = 1024; // unknown ids beyond this stay outlines
constexpr uint64_t MIRROR_BITMAP_PIXELS_MAX = 16u * 1024u * 1024u;
constexpr uint16_t MIRROR_FONT_HEIGHT_MAX = 256; // device line heights above this are unusable

// The mirror's glyph index of a code point (32..126, then Ä Å Ö ä å ö), -1 for none.
int mirror_glyph_index(uint32_t cp);
// The device's glyph slot of a code point (ASCII, the Nordic letters on 1..6, else '?').
uint8_t mirror_device_glyph(uint32_t cp);

// One glyph atlas of the mirror: one row of glyphs of one family and pixel size.
struct atlas_st {
    bool used = false;
    bool mono = false;
    uint16_t px = 0;
    uint32_t tex = 0;
    uint16_t tex_w = 0, tex_h = 0;
    uint16_t x[MIRROR_GLYPHS] = {}, w[MIRROR_GLYPHS] = {}, h[MIRROR_GLYPHS] = {};
    int16_t bearing_x[MIRROR_GLYPHS] = {}, bearing_y[MIRROR_GLYPHS] = {};
    uint16_t advance[MIRROR_GLYPHS] = {};
    uint16_t ascender = 0;
};

struct devfont_st {
    bool known = false;
    bool have = false;
    uint16_t height = 0;
    uint8_t advance[KR_UI_REMOTE_FONT_WIDTHS] = {};
    uint16_t retry = 0;
};

struct devbitmap_st {
    uint32_t id = 0;
    uint32_t tex = 0;
    uint16_t w = 0, h = 0;
    bool missing = true;
    bool refused = false;
    uint16_t retry = 0;
};

struct mirror_pt {
    float x, y;
};

// Where decoded lists go: the window's OpenGL drawing, or a recorder in tests and benchmarks.
class mirror_sink {
public:
    virtual ~mirror_sink() = default;
    virtual void clear(uint32_t rgb) = 0;
    virtual void fan(const mirror_pt *pts, uint32_t n, uint32_t argb) = 0; // one triangle fan
    virtual void outline(float x, float y, float w, float h, uint32_t argb) = 0;
    virtual void bitmap(uint32_t tex, float x, float y, float w, float h, uint32_t argb) = 0;
    virtual void glyph(const atlas_st &a, int g, float x, float y, uint32_t argb) = 0;
    // Clipping in the bottom-up convention of OpenGL; off when `on` is false.
    virtual void clip(bool on, int32_t x, int32_t y, int32_t w, int32_t h) = 0;
    // The atlas of a family and pixel height, nullptr when there is none.
    virtual const atlas_st *atlas(bool mono, uint16_t px) = 0;
    // The toolkit's line height of a font (0 when unknown).
    virtual uint16_t toolkit_height(bool mono, int index) = 0;
    // An RGBA picture as a texture; 0 when it cannot be made.
    virtual uint32_t upload(const uint8_t *rgba, int w, int h) = 0;
    virtual void release(uint32_t tex) = 0;
    virtual int32_t max_texture() = 0;
};

// The device's state as the mirror sees it: its fonts and bitmaps, requests and retries.
class mirror_core {
public:
    uint16_t width = 0, height = 0;
    devfont_st fonts[MIRROR_DEVFONT_COUNT];
    std::vector<devbitmap_st> bitmaps; // in order of creation; the newest is last
    std::unordered_map<uint32_t, size_t> bitmap_index;
    remoteui_asset_req_t req = nullptr;
    void *req_user = nullptr;
    uint16_t quiet = 0;
    bool stale = false;
    uint64_t commands = 0; // decoded commands, for benchmarks

    // Draws a list; false when it stopped at a bad or cut-short command.
    bool decode(const uint8_t *list, uint32_t len, mirror_sink &sink);
    // Stores an asset; true when the picture should be redrawn.
    bool asset(uint8_t kind, uint32_t id, const uint8_t *body, uint32_t len, mirror_sink &sink);
    // Retry count-downs and the idle fetch of missing bitmaps.
    void step();
    // Frees every texture and forgets the device's fonts and bitmaps.
    void reset(mirror_sink *sink);
    const devbitmap_st *find_bitmap(uint32_t id) const;

private:
    devbitmap_st *bitmap_record(uint32_t id, bool create);
    void request(uint8_t kind, uint32_t id);
    void string(const uint8_t *c, uint32_t len, mirror_sink &sink);
    void line(float x0, float y0, float x1, float y1, uint16_t width, uint32_t color, mirror_sink &sink);
};

// Shared by the decoder and the stale overlay: the width and drawing of one line of text.
float mirror_text_width(const atlas_st &a, const devfont_st *df, const uint8_t *s, uint32_t n);
void mirror_text_line(const atlas_st &a, const devfont_st *df, const uint8_t *s, uint32_t n, float x, float y,
                      uint32_t color, mirror_sink &sink);
void mirror_circle(float cx, float cy, float r, uint32_t color, mirror_sink &sink);

#endif

#endif
