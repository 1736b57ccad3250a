/* Test and benchmark hooks of the display back end: the input handlers driven by hand or replayed
 * from a script by the event poll, frame read-back, counters. */
#ifndef KR_UI_HOOKS_H
#define KR_UI_HOOKS_H

#include <stdbool.h>
#include <stdint.h>

#include "kr_ui_common.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The input handlers, as the window system's callbacks call them. `key` is a GLFW key code,
 * `mods` GLFW modifier bits. Positions are window pixels. */
void kr_ui_input_cursor(double xpos, double ypos);
void kr_ui_input_button(bool pressed);
void kr_ui_input_key(int key, int mods);
void kr_ui_input_char(uint32_t codepoint);
void kr_ui_input_scroll(double yoffset);
void kr_ui_input_resize(int32_t width, int32_t height);
void kr_ui_input_expose(void);
void kr_ui_input_close(void);

typedef enum {
    KR_UI_EV_CURSOR, /* a, b: window pixels */
    KR_UI_EV_BUTTON, /* a: pressed */
    KR_UI_EV_KEY,    /* a: key, b: mods */
    KR_UI_EV_CHAR,   /* a: code point */
    KR_UI_EV_RESIZE, /* a, b: size */
    KR_UI_EV_EXPOSE,
    KR_UI_EV_CLOSE,
    KR_UI_EV_SCROLL, /* a: wheel notches, up positive */
    KR_UI_EV_POLL,   /* ends the events of one poll */
} kr_ui_event_kind_e;

/* Queues an event that a later event poll replays (inside modal loops too); each poll replays up to
 * and including the next KR_UI_EV_POLL. Clearing also drops button events no display took yet. */
void kr_ui_script_push(kr_ui_event_kind_e kind, int32_t a, int32_t b);
void kr_ui_script_clear(void);
uint32_t kr_ui_script_pending(void);

/* Frames ended with a swap, and GL errors seen at the ends of frames. */
uint64_t kr_ui_frame_count(void);
uint32_t kr_ui_gl_error_count(void);
/* When on, every frame is read back before its swap; the pixel is in window pixels from the top. */
void kr_ui_capture(bool on);
color_t kr_ui_captured_pixel(int32_t x, int32_t y);
/* Asks the window system for a new window size (arrives through the size handler at a poll). */
void kr_ui_set_window_size(int32_t width, int32_t height);
int32_t kr_ui_window_width(void);
int32_t kr_ui_window_height(void);
double kr_ui_scale(void);
/* Bitmap decodes since start, and the texture limit (a default without a window). */
uint32_t kr_ui_decode_count(void);
int32_t kr_ui_max_texture_size(void);
/* Rebuilds all 18 atlases at the current scale (as after a resize). */
void kr_ui_fonts_reload(void);
/* Renders one face (0 sans, 1 mono) at a pixel size into `font`; a texture only with a window. */
bool kr_ui_font_render(ui_font_st *font, int face, int32_t pixel_size);

#ifdef __cplusplus
}
#endif

#endif
