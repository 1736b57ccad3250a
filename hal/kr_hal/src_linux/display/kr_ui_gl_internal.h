// The display back end's state, shared by its window, text and bitmap parts.
#pragma once

#include <GL/glew.h>
#include <GLFW/glfw3.h>

#include <deque>
#include <string>

#include "kr_ui.h"
#include "kr_utilities.h"

struct uimedia_ll_st {
    std::string filename; // the whole name is the key
    GLuint texture = 0;
    GLuint vao = 0;
    GLuint vbo = 0;
    GLuint ebo = 0;
    uint32_t data_len = 0;
    uint32_t width = 0;
    uint32_t height = 0;
    uimedia_ll_st *next_ptr = nullptr;
};

// A press, a release, or a move while pressed, where it happened.
struct ui_button_event_st {
    bool pressed;
    bool moved;
    int32_t x, y;
};

struct ui_st {
    bool refresh = false;
    bool resized = false;
    bool pressed = false;
    int32_t x = 0;
    int32_t y = 0;
    std::deque<ui_button_event_st> buttons; // not yet taken by a display step, oldest first
    int32_t scroll = 0;
    double scalex = 1.0;
    double scaley = 1.0;
    double scale = 1.0;
    int32_t width = UI_SCREEN_WIDTH;
    int32_t height = UI_SCREEN_HEIGHT;
    uimedia_ll_st *uimediall = nullptr;
    kr_ring_buffer_st key_press{key_press_buffer, UI_KEY_QUEUE_LEN, 0, 1, 0, 0};
    uint8_t key_press_buffer[UI_KEY_QUEUE_LEN] = {};
    uint8_t brightness = 100;
    bool software_renderer = false;
    GLFWwindow *window = nullptr;
    GLuint text_shader_program = 0;
    GLuint text_vbo = 0;
    GLuint bitmap_shader_program = 0;

    // Text program lookups, done once per program.
    bool text_lookup_done = false;
    bool text_lookup_ok = false;
    GLint text_u_tex = -1;
    GLint text_u_color = -1;
    GLint text_a_coord = -1;
    GLint max_texture = 0;

    // The current scissor rectangle in logical coordinates (text culls lines outside it).
    bool mask_on = false;
    int32_t mask_x = 0, mask_y = 0, mask_w = UI_SCREEN_WIDTH, mask_h = UI_SCREEN_HEIGHT;

    bool close_requested = false; // without a window
    bool (*close_hold)(void) = nullptr;
    bool (*run_failed)(void) = nullptr;
    uint32_t close_count = 0; // close requests ever made

    uint64_t frames = 0;
    uint32_t gl_errors = 0;
    uint32_t decodes = 0;
    bool capture = false;
    std::string captured; // RGBA rows, top row first
    int32_t cap_w = 0, cap_h = 0;
};

extern ui_st ui;

// Fonts (kr_ui_text.cpp).
/* announce: print what is loaded (the start-up); a rebuild after a resize prints only failures. */
void ui_fonts_load(bool announce);
void ui_fonts_free(void);
void ui_shaders_build(void);
void ui_shaders_free(void);
// Bitmaps (kr_ui_bitmap.cpp).
void ui_bitmaps_free(void);
// The embedded font files.
extern "C" const unsigned char kr_font_sans_data[];
extern "C" const unsigned char kr_font_sans_end[];
extern "C" const unsigned char kr_font_mono_data[];
extern "C" const unsigned char kr_font_mono_end[];
// GLSL sources and shader building.
GLuint ui_build_program(const char *vs_file, const char *vs_builtin, const char *fs_file, const char *fs_builtin);
