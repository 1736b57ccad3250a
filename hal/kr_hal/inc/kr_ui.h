/* The drawing interface of the widget toolkit (logical 1200 x 720 screen, y downwards), the colour
 * functions, the UTF-8 helpers, and the display back end (window, input, fonts, bitmaps).
 * Every kr_ui_draw_* call forwards to the back end's *_impl, which passes colours through kr_uic. */
#ifndef KR_UI_H
#define KR_UI_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "kr_ui_common.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Key codes in the key queue. */
#define UI_KEY_HOME 1
#define UI_KEY_END 5
#define UI_KEY_BACKSPACE 8
#define UI_KEY_TAB 9
#define UI_KEY_ENTER 10
#define UI_KEY_BACKTAB 15
#define UI_KEY_LEFT 17
#define UI_KEY_RIGHT 18
#define UI_KEY_PASTE 22
#define UI_KEY_ESCAPE 27
#define UI_KEY_DELETE 127
#define UI_KEY_QUEUE_LEN 20

/* ---- Drawing ---- */
void kr_ui_clear(color_t c);
void kr_ui_draw_point(int32_t x, int32_t y, color_t color, int32_t diameter);
void kr_ui_draw_rrect(int32_t x, int32_t y, int32_t width, int32_t height, int32_t radius, color_t color);
void kr_ui_draw_shadowrrect(int32_t x, int32_t y, int32_t width, int32_t height, int32_t radius, color_t color,
                            color_t highlight_c, color_t shadow_c);
void kr_ui_draw_shadowpoint(int32_t x, int32_t y, color_t color, color_t highlight_c, color_t shadow_c,
                            int32_t diameter);
void kr_ui_draw_line(int32_t start_x, int32_t start_y, int32_t end_x, int32_t end_y, int32_t width, color_t color);
void kr_ui_draw_linestrip(const kr_ui_linestrip_point_st *points, uint32_t point_count, int32_t line_width,
                          color_t color, kr_ui_strip_type_e type);
void kr_ui_draw_polygon(const kr_ui_linestrip_point_st *points, uint32_t point_count, color_t color);
void kr_ui_draw_string(const char *str, const ui_font_st *font, int32_t x, int32_t y, uint16_t align, color_t color);
void kr_ui_draw_bitmap(const kr_uimedia_st *bitmap, int32_t x, int32_t y);
void kr_ui_draw_bitmap_ext(const kr_uimedia_st *bitmap, int32_t x, int32_t y, int32_t w, int32_t h, uint8_t wrap,
                           color_t c);
void kr_ui_set_mask(int32_t x, int32_t y, int32_t width, int32_t height);
void kr_ui_dlswap(void);
bool kr_ui_get_touch(int32_t *x, int32_t *y);
int32_t kr_ui_get_string_height(const char *str, const ui_font_st *font);
int32_t kr_ui_get_string_width(const char *str, const ui_font_st *font);
/* Copies src into dst with a line break wherever a line would grow wider than width in the font
 * (colour sequences take no room); cut at dst_len - 1 characters, never inside a character.
 * Returns the number of lines. */
uint32_t kr_ui_wrap_text(const char *src, const ui_font_st *font, int32_t width, char *dst, size_t dst_len);
bool kr_ui_is_visible(int32_t x, int32_t y, int32_t width, int32_t height);

/* ---- Colour ---- */
void kr_ui_set_color_mode(ui_color_modes_e value);
ui_color_modes_e kr_ui_get_color_mode(void);
void kr_ui_set_grayscale_luminosity(int8_t value);
color_t kr_uic(color_t c);
color_t kr_uic_grayscale(color_t c);
color_t kr_uic_brighten(color_t c, int8_t value);
color_t kr_uic_alpha(color_t c, int16_t value);
color_t kr_uic_lerpi(int32_t t, color_t ca, color_t cb);

/* ---- Text ---- */
uint32_t kr_ui_utf8_next(const char **str_ptr);
uint8_t kr_ui_codepoint_glyph(uint32_t codepoint, bool nordic_glyphs);
uint32_t kr_ui_str_to_glyphs(const char *src, char *dst, uint32_t dst_len, bool nordic_glyphs);
uint32_t kr_str_get_line_count(const char *str);
const char *kr_str_next_line(const char *str);
const char *kr_uitr(uint32_t n, ...);

/* ---- Back end ---- */
bool kr_ui_init(void);
void kr_ui_destroy(void);
/* Button presses and releases are queued in order: the reading is the oldest event not yet taken,
 * or the pointer as it is when none is queued, so a click shorter than a display step is not lost. */
bool kr_ui_get_touch_impl(int32_t *x, int32_t *y);
/* The display has acted on the last reading: the next one shows the following event. */
void kr_ui_take_touch(void);
char kr_ui_get_key_press(void);
char kr_ui_peek_key_press(void);
int16_t kr_ui_get_scroll(void);
const char *kr_ui_get_clipboard(void);
bool kr_ui_get_refresh_request(void);
/* Asks every display for a full redraw at its next step (the screen beneath a closed dialog). */
void kr_ui_request_refresh(void);
void kr_ui_dlswap_impl(void);
void kr_ui_clear_impl(color_t col);
void kr_ui_set_mask_impl(int32_t x, int32_t y, int32_t width, int32_t height);
void kr_ui_force_mask(int32_t x, int32_t y, int32_t width, int32_t height);
void kr_ui_draw_point_impl(int32_t x, int32_t y, color_t color, int32_t diameter);
void kr_ui_draw_rrect_impl(int32_t x, int32_t y, int32_t width, int32_t height, int32_t radius, color_t color);
void kr_ui_draw_line_impl(int32_t start_x, int32_t start_y, int32_t end_x, int32_t end_y, int32_t width, color_t color);
void kr_ui_draw_linestrip_impl(const kr_ui_linestrip_point_st *points, uint32_t point_count, int32_t line_width,
                               color_t color, kr_ui_strip_type_e type);
void kr_ui_draw_polygon_impl(const kr_ui_linestrip_point_st *points, uint32_t point_count, color_t color);
void kr_ui_set_backlight(uint8_t percent);
uint8_t kr_ui_get_backlight(void);
void kr_ui_touchscreen_calibrate(ui_transfmat_st *transform_matrix);
void kr_ui_touchscreen_set_transform_matrix(const ui_transfmat_st *transform_matrix);

/* Closing the window: `hold` (may be null) keeps a close request pending while it returns true
 * (a job is running); `run_failed` (may be null) makes the process end with status 1. */
void kr_ui_set_close_hooks(bool (*hold)(void), bool (*run_failed)(void));
/* Close requests made so far (a held close followed by another one counts two). */
uint32_t kr_ui_close_request_count(void);

/* ---- Fonts, text and bitmaps ---- */
void kr_ui_draw_string_impl(const char *str, const ui_font_st *font, int32_t x, int32_t y, uint16_t align,
                            color_t color);
uint32_t kr_uimedia_newbitmapexmem(kr_uimedia_st *bitmap, void *exmem, const char *filename);
uint32_t kr_uimedia_newbitmapexmem_mem(kr_uimedia_st *bitmap, const char *name, const uint8_t *data, uint32_t datalen);
void kr_uimedia_free(kr_uimedia_st *bitmap);
void kr_ui_draw_bitmap_ext_impl(const kr_uimedia_st *bitmap, int32_t x, int32_t y, int32_t w, int32_t h, uint8_t wrap,
                                color_t c);

#ifdef __cplusplus
}
#endif

#endif
