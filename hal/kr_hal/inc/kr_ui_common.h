/* Types shared by the widget toolkit, its drawing interface and the display back end: colours,
 * rectangles, touch events, alignment, the theme, fonts and bitmap handles. Valid C11 and C++. */
#ifndef KR_UI_COMMON_H
#define KR_UI_COMMON_H

#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define UI_SCREEN_WIDTH 1200
#define UI_SCREEN_HEIGHT 720
#define CONFIG_UI_NAME "krcan"
#define CONFIG_UI_RADIUS 2
#define CONFIG_UI_STYLES_COUNT 1
#define CONFIG_UI_CLICK_THRESHOLD 5

/* 0xAARRGGBB. */
typedef uint32_t color_t;

/* The same colour viewed byte-wise, in memory order. */
typedef struct {
    uint8_t b;
    uint8_t g;
    uint8_t r;
    uint8_t a;
} color_st;

typedef enum { COLOR_MODE_RGB = 0, COLOR_MODE_GRAYSCALE = 1 } ui_color_modes_e;

typedef struct {
    int16_t x;
    int16_t y;
} kr_ui_linestrip_point_st;

typedef enum {
    UI_STRIP_TYPE_LINE = 0,
    UI_STRIP_TYPE_RIGHT = 1,
    UI_STRIP_TYPE_LEFT = 2,
    UI_STRIP_TYPE_ABOVE = 3,
    UI_STRIP_TYPE_BELOW = 4,
} kr_ui_strip_type_e;

typedef enum {
    HALIGN_LEFT = 0,
    HALIGN_CENTER = 0x200,
    HALIGN_RIGHT = 0x800,
    VALIGN_TOP = 0,
    VALIGN_CENTER = 0x400,
    ALIGN_TOP_LEFT = 0,
    ALIGN_TOP_CENTER = 512,
    ALIGN_TOP_RIGHT = 2048,
    ALIGN_CENTER_LEFT = 1024,
    ALIGN_CENTER = 1536,
    ALIGN_CENTER_RIGHT = 3072,
} alignment_e;

typedef enum {
    UI_HALIGN_LEFT = 0,
    UI_HALIGN_CENTER = 0x200,
    UI_HALIGN_RIGHT = 0x800,
    UI_HALIGN_MASK = 0x200 | 0x800,
    UI_VALIGN_TOP = 0,
    UI_VALIGN_CENTER = 0x400,
    UI_VALIGN_MASK = 0x400,
    UI_ALIGN_LEFT_TOP = 0,
    UI_ALIGN_CENTER_TOP = 512,
    UI_ALIGN_RIGHT_TOP = 2048,
    UI_ALIGN_LEFT_CENTER = 1024,
    UI_ALIGN_CENTER = 1536,
    UI_ALIGN_RIGHT_CENTER = 3072,
} ui_align_e;

typedef struct {
    int16_t x;
    int16_t y;
    union {
        int16_t width;
        int16_t w;
    };
    union {
        int16_t height;
        int16_t h;
    };
} kr_bounding_box_st;

/* Touch actions (kept in one byte). */
typedef uint8_t kr_touch_action_e;
enum {
    TOUCH_NONE = 0,
    TOUCH_PRESSED = 1,
    TOUCH_IS_DOWN = 2,
    TOUCH_RELEASED = 3,
    TOUCH_CLICKED = 4,
    TOUCH_DRAG = 5,
};

/* For TOUCH_DRAG, x and y are the movement since the previous step; otherwise a point in the
 * receiver's own coordinates. */
typedef struct {
    kr_touch_action_e action;
    int16_t x;
    int16_t y;
} kr_touch_st;

/* Step results, combined with bitwise OR; the bit of value 2 means killed. */
typedef uint8_t kr_uiobject_ret_e;
enum {
    UIOBJECT_RETURN_ALIVE = 0,
    UIOBJECT_RETURN_REFRESH = 1,
    UIOBJECT_RETURN_KILLED = 2,
};

/* One glyph of an atlas. */
typedef struct {
    int16_t atlas_x;
    int16_t atlas_y;
    int16_t size_x;
    int16_t size_y;
    int16_t bearing_x;
    int16_t bearing_y;
    int16_t advance; /* 1/64 px */
} ui_font_char_st;

#define UI_FONT_SLOTS 128
#define UI_MAX_FONT_COUNT 9

/* One font at one size. */
typedef struct ui_font_st {
    uint16_t char_height; /* line height, logical px */
    uint32_t atlas_tex;
    int16_t atlas_w;
    int16_t atlas_h;
    ui_font_char_st ft_char[UI_FONT_SLOTS];
} ui_font_st;
typedef ui_font_st kr_font_st;

extern ui_font_st ui_fonts[UI_MAX_FONT_COUNT];
extern ui_font_st ui_mono_fonts[UI_MAX_FONT_COUNT];
extern const uint16_t font_sizes[UI_MAX_FONT_COUNT];

#define font16 (ui_fonts[0])
#define font20 (ui_fonts[1])
#define font25 (ui_fonts[2])
#define font28 (ui_fonts[3])
#define font36 (ui_fonts[4])
#define font49 (ui_fonts[5])
#define font63 (ui_fonts[6])
#define font83 (ui_fonts[7])
#define font108 (ui_fonts[8])
#define mono_font16 (ui_mono_fonts[0])
#define mono_font20 (ui_mono_fonts[1])
#define mono_font25 (ui_mono_fonts[2])
#define mono_font28 (ui_mono_fonts[3])
#define mono_font36 (ui_mono_fonts[4])
#define mono_font49 (ui_mono_fonts[5])
#define mono_font63 (ui_mono_fonts[6])
#define mono_font83 (ui_mono_fonts[7])
#define mono_font108 (ui_mono_fonts[8])

#define UI_TEXT_FONT (&font16)
#define UI_TITLE_FONT (&font25)
#define UI_BIG_FONT (&font28)
#define UI_LARGE_FONT (&font36)
#define UI_HUGE_FONT (&font63)
#define UI_GIGANT_FONT (&font83)
#define UI_MAXIMUM_FONT (&font108)
#define UI_MONO_FONT (&mono_font16)

/* The theme. */
typedef struct kr_uistyle_st {
    color_t bg_c;      /* widget faces */
    color_t fg_c;      /* accents */
    color_t window_c;  /* window backgrounds */
    color_t display_c; /* screen clear colour */
    ui_font_st *font;
    color_t text_color;
} kr_uistyle_st;

extern kr_uistyle_st kr_uistyles[CONFIG_UI_STYLES_COUNT];
extern kr_uistyle_st uistyle; /* the back end's default */

typedef enum { KR_UIMEDIA_IMAGE = 0, KR_UIMEDIA_AUDIO = 1 } kr_uimedia_types_e;

/* A bitmap handle owned by the caller. */
typedef struct {
    uint32_t size; /* bytes of the decoded picture, 0 when nothing is loaded */
    uint8_t type;
    bool visible;
    uint16_t width;
    uint16_t height;
    uint8_t format;
    uint16_t palette_size;
    union {
        uint32_t addr;
        void *surface_ptr;
    };
    const char *filename; /* the cache key, "" when nothing is loaded */
} kr_uimedia_st;

typedef struct {
    uint32_t m[6];
} ui_transfmat_st;

#ifdef __cplusplus
}
#endif

#endif
