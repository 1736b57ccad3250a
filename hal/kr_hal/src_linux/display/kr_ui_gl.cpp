// The display back end: a GLFW window with an OpenGL context plays the 1200 x 720 touch panel.
// The mouse is the touch point, the keyboard a small queue of key codes, and the shapes of the
// drawing interface are immediate-mode OpenGL. Everything runs in the task that steps the display.
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <deque>

#include "kr_rtos.h"
#include "kr_ui_gl_internal.h"
#include "ui/kr_ui_hooks.h"

ui_st ui;

kr_uistyle_st uistyle = {0xFF373A44, 0xFF945DD2, 0xFF040404, 0xFF151516, &font16, 0xFFFFFFFF};

namespace {

constexpr double CIRCLE_MAX_SAG_PX = 0.35;
constexpr int CIRCLE_SEG_MIN = 8;
constexpr int CIRCLE_SEG_MAX = 128;
constexpr size_t BUTTON_QUEUE_MAX = 32;

struct script_event {
    kr_ui_event_kind_e kind;
    int32_t a, b;
};
std::deque<script_event> script;

void push_key(uint8_t code)
{
    kr_rtos_enter_critical();
    kr_ring_buffer_push(&ui.key_press, &code);
    kr_rtos_exit_critical();
}

void set_color(color_t c)
{
    c = kr_uic(c);
    glColor4ub((GLubyte)(c >> 16), (GLubyte)(c >> 8), (GLubyte)c, (GLubyte)(c >> 24));
}

int circle_segments(double r)
{
    const double rs = std::fabs(r) * ui.scale;
    if (rs <= CIRCLE_MAX_SAG_PX) return CIRCLE_SEG_MIN;
    double n = M_PI / std::acos(1.0 - CIRCLE_MAX_SAG_PX / rs);
    if (n < CIRCLE_SEG_MIN) n = CIRCLE_SEG_MIN;
    if (n > CIRCLE_SEG_MAX) n = CIRCLE_SEG_MAX;
    return (int)std::lround(n);
}

// GLFW's callbacks forward to the input handlers that the tests drive as well.
void key_callback(GLFWwindow *, int key, int, int action, int mods)
{
    if (action == GLFW_PRESS || action == GLFW_REPEAT) kr_ui_input_key(key, mods);
}
void char_callback(GLFWwindow *, unsigned int codepoint) { kr_ui_input_char(codepoint); }
void cursor_callback(GLFWwindow *, double xpos, double ypos) { kr_ui_input_cursor(xpos, ypos); }
void button_callback(GLFWwindow *, int, int action, int) { kr_ui_input_button(action == GLFW_PRESS); }
void scroll_callback(GLFWwindow *, double, double yoffset) { kr_ui_input_scroll(yoffset); }
void size_callback(GLFWwindow *, int width, int height) { kr_ui_input_resize(width, height); }
void refresh_callback(GLFWwindow *) { kr_ui_input_expose(); }
void close_callback(GLFWwindow *) { ui.close_count++; }
void error_callback(int code, const char *description)
{
    std::fprintf(stderr, "GLFW error 0x%x: %s\n", (unsigned)code, description ? description : "");
}

void replay_script()
{
    while (!script.empty()) {
        const script_event e = script.front();
        script.pop_front();
        switch (e.kind) {
        case KR_UI_EV_CURSOR: kr_ui_input_cursor(e.a, e.b); break;
        case KR_UI_EV_BUTTON: kr_ui_input_button(e.a != 0); break;
        case KR_UI_EV_KEY: kr_ui_input_key(e.a, e.b); break;
        case KR_UI_EV_CHAR: kr_ui_input_char((uint32_t)e.a); break;
        case KR_UI_EV_RESIZE: kr_ui_input_resize(e.a, e.b); break;
        case KR_UI_EV_EXPOSE: kr_ui_input_expose(); break;
        case KR_UI_EV_CLOSE: kr_ui_input_close(); break;
        case KR_UI_EV_SCROLL: kr_ui_input_scroll(e.a); break;
        case KR_UI_EV_POLL: return;
        }
    }
}

bool close_requested() { return ui.window ? glfwWindowShouldClose(ui.window) != 0 : ui.close_requested; }

bool close_held() { return ui.close_hold && ui.close_hold(); }

void state_reset()
{
    ui.refresh = ui.resized = ui.pressed = false;
    ui.buttons.clear();
    ui.x = ui.y = ui.scroll = 0;
    ui.scalex = ui.scaley = ui.scale = 1.0;
    ui.width = UI_SCREEN_WIDTH;
    ui.height = UI_SCREEN_HEIGHT;
    ui.text_shader_program = ui.bitmap_shader_program = 0;
    ui.text_lookup_done = ui.text_lookup_ok = false;
    ui.close_requested = false;
    for (int i = 0; i < UI_MAX_FONT_COUNT; ++i) {
        ui_fonts[i].char_height = font_sizes[i];
        ui_mono_fonts[i].char_height = font_sizes[i];
    }
    kr_ring_buffer_init(&ui.key_press, ui.key_press_buffer, UI_KEY_QUEUE_LEN, 1);
}

bool probe_software_renderer()
{
    glfwWindowHint(GLFW_VISIBLE, GLFW_FALSE);
    GLFWwindow *probe = glfwCreateWindow(1, 1, "", nullptr, nullptr);
    bool software = false;
    if (probe) {
        glfwMakeContextCurrent(probe);
        const char *r = (const char *)glGetString(GL_RENDERER);
        std::printf("OPENGL renderer %s\n", r ? r : "");
        if (r && (std::strstr(r, "llvmpipe") || std::strstr(r, "softpipe") || std::strstr(r, "SWR") ||
                  std::strstr(r, "swrast")))
            software = true;
        glfwMakeContextCurrent(nullptr);
        glfwDestroyWindow(probe);
    }
    glfwDefaultWindowHints();
    return software;
}

void fail_init(const char *message)
{
    std::printf("%s", message);
    std::fflush(stdout);
    if (ui.window) glfwDestroyWindow(ui.window);
    ui.window = nullptr;
    glfwTerminate();
}

} // namespace

extern "C" {

bool kr_ui_init(void)
{
    state_reset();
    std::printf("Initializing GLFW\n");
    std::fflush(stdout);
    glfwSetErrorCallback(error_callback);
    if (!glfwInit()) return false; // the error callback said why
    std::printf("Creating GLFW window, version %s\n", glfwGetVersionString());
    ui.software_renderer = probe_software_renderer();
    if (ui.software_renderer)
        std::printf("Software OpenGL rasterizer, multisampling disabled. Check that the X server supports DRI3 for "
                    "hardware accelerated rendering.\n");
    glfwWindowHint(GLFW_SAMPLES, ui.software_renderer ? 0 : 8);
    glfwWindowHint(GLFW_DEPTH_BITS, 0);
    ui.window = glfwCreateWindow(UI_SCREEN_WIDTH, UI_SCREEN_HEIGHT, CONFIG_UI_NAME, nullptr, nullptr);
    if (!ui.window) {
        fail_init("GLFW terminated\n");
        return false;
    }
    glfwMakeContextCurrent(ui.window);
    // The swap must not wait for a display refresh while this task holds the run token.
    glfwSwapInterval(0);
    glfwSetKeyCallback(ui.window, key_callback);
    glfwSetCharCallback(ui.window, char_callback);
    glfwSetCursorPosCallback(ui.window, cursor_callback);
    glfwSetMouseButtonCallback(ui.window, button_callback);
    glfwSetScrollCallback(ui.window, scroll_callback);
    glfwSetWindowSizeCallback(ui.window, size_callback);
    // X11 keeps no covered pixels: an expose needs a new frame.
    glfwSetWindowRefreshCallback(ui.window, refresh_callback);
    glfwSetWindowCloseCallback(ui.window, close_callback);

    glewExperimental = GL_TRUE;
    if (glewInit() != GLEW_OK) {
        fail_init("GLEW init failed\n");
        return false;
    }
    while (glGetError() != GL_NO_ERROR) {
    } // GLEW's probing may leave an error behind
    std::printf("OPENGL version %s\n", (const char *)glGetString(GL_VERSION));
    std::fflush(stdout);
    glGetIntegerv(GL_MAX_TEXTURE_SIZE, &ui.max_texture);
    glViewport(0, 0, UI_SCREEN_WIDTH, UI_SCREEN_HEIGHT);
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    glOrtho(0, UI_SCREEN_WIDTH, UI_SCREEN_HEIGHT, 0, -10, 10);
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
    if (ui.software_renderer)
        glDisable(GL_MULTISAMPLE);
    else
        glEnable(GL_MULTISAMPLE);
    glEnable(GL_STENCIL_TEST);
    glEnable(GL_BLEND);
    glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);

    ui_fonts_load(true);
    ui_shaders_build();
    glClear(GL_COLOR_BUFFER_BIT);
    kr_set_deinit_hook(kr_ui_destroy);
    return true;
}

void kr_ui_destroy(void)
{
    ui_fonts_free();
    ui_bitmaps_free();
    if (ui.window) {
        ui_shaders_free();
        std::printf("Terminating GLFW window\n");
        std::fflush(stdout);
        glfwDestroyWindow(ui.window);
        ui.window = nullptr;
        glfwTerminate();
    }
}

bool kr_ui_get_touch_impl(int32_t *x, int32_t *y)
{
    if (ui.window) glfwPollEvents();
    replay_script();
    if (!ui.buttons.empty()) {
        const ui_button_event_st &e = ui.buttons.front();
        if (x) *x = e.x;
        if (y) *y = e.y;
        return e.pressed;
    }
    if (x) *x = ui.x;
    if (y) *y = ui.y;
    return ui.pressed;
}

void kr_ui_take_touch(void)
{
    if (!ui.buttons.empty()) ui.buttons.pop_front();
}

char kr_ui_get_key_press(void)
{
    uint8_t c = 0;
    kr_rtos_enter_critical();
    if (kr_ring_buffer_pop(&ui.key_press, &c) != ERR_NONE) c = 0;
    kr_rtos_exit_critical();
    return (char)c;
}

char kr_ui_peek_key_press(void)
{
    uint8_t c = 0;
    kr_rtos_enter_critical();
    if (kr_ring_buffer_peek(&ui.key_press, &c) != ERR_NONE) c = 0;
    kr_rtos_exit_critical();
    return (char)c;
}

int16_t kr_ui_get_scroll(void)
{
    const int16_t s = (int16_t)ui.scroll;
    ui.scroll = 0;
    return s;
}

const char *kr_ui_get_clipboard(void)
{
    if (!ui.window) return "";
    const char *s = glfwGetClipboardString(ui.window);
    return s ? s : "";
}

bool kr_ui_get_refresh_request(void)
{
    if (close_requested() && !close_held()) ui.refresh = true;
    return ui.refresh;
}

void kr_ui_request_refresh(void) { ui.refresh = true; }

void kr_ui_set_close_hooks(bool (*hold)(void), bool (*run_failed)(void))
{
    ui.close_hold = hold;
    ui.run_failed = run_failed;
}

uint32_t kr_ui_close_request_count(void) { return ui.close_count; }

void kr_ui_dlswap_impl(void)
{
    // Clicks made before the close still reach the window: they were the user's last actions.
    if (close_requested() && ui.buttons.empty() && !close_held()) {
        // Whatever was printed must reach its reader; exit handlers do not run.
        std::fflush(nullptr);
        _exit(ui.run_failed && ui.run_failed() ? 1 : 0);
    }
    if (ui.window) {
        for (GLenum e = glGetError(); e != GL_NO_ERROR; e = glGetError()) ui.gl_errors++;
        if (ui.capture) {
            ui.cap_w = ui.width;
            ui.cap_h = ui.height;
            ui.captured.assign((size_t)ui.cap_w * (size_t)ui.cap_h * 4, '\0');
            glPixelStorei(GL_PACK_ALIGNMENT, 1);
            glReadPixels(0, 0, ui.cap_w, ui.cap_h, GL_RGBA, GL_UNSIGNED_BYTE, ui.captured.data());
        }
        {
            // llvmpipe rasterises here: let the other tasks run meanwhile.
            kr_rtos_blocking_section section;
            glfwSwapBuffers(ui.window);
        }
        glClearStencil(1);
        glDisable(GL_SCISSOR_TEST);
        ui.mask_on = false;
        glClear(GL_COLOR_BUFFER_BIT | GL_STENCIL_BUFFER_BIT);
    }
    ui.frames++;
    ui.refresh = false;
    if (ui.resized) {
        ui_fonts_load(false);
        ui.refresh = true;
        ui.resized = false;
    }
}

void kr_ui_clear_impl(color_t col)
{
    if (!ui.window) return;
    col = kr_uic(col);
    glDisable(GL_SCISSOR_TEST);
    ui.mask_on = false;
    glClearColor((float)((col >> 16) & 0xFF) / 255.0f, (float)((col >> 8) & 0xFF) / 255.0f,
                 (float)(col & 0xFF) / 255.0f, (float)(col >> 24) / 255.0f);
    glClear(GL_COLOR_BUFFER_BIT);
}

void kr_ui_set_mask_impl(int32_t x, int32_t y, int32_t width, int32_t height)
{
    if (width < 0) width = 0;
    if (height < 0) height = 0;
    ui.mask_on = true;
    ui.mask_x = x;
    ui.mask_y = y;
    ui.mask_w = width;
    ui.mask_h = height;
    if (!ui.window) return;
    glEnable(GL_SCISSOR_TEST);
    glScissor((GLint)(x * ui.scalex), (GLint)(ui.height - (y + height) * ui.scaley), (GLsizei)(width * ui.scalex),
              (GLsizei)(height * ui.scaley));
}

void kr_ui_force_mask(int32_t x, int32_t y, int32_t width, int32_t height)
{
    if (!ui.window) return;
    glEnable(GL_STENCIL_TEST);
    glClearStencil(0);
    glClear(GL_STENCIL_BUFFER_BIT);
    glColorMask(GL_FALSE, GL_FALSE, GL_FALSE, GL_FALSE);
    glStencilFunc(GL_ALWAYS, 1, 0xFF);
    glStencilOp(GL_REPLACE, GL_REPLACE, GL_REPLACE);
    glBegin(GL_POLYGON);
    glVertex2i(x, y);
    glVertex2i(x + width, y);
    glVertex2i(x + width, y + height);
    glVertex2i(x, y + height);
    glEnd();
    glColorMask(GL_TRUE, GL_TRUE, GL_TRUE, GL_TRUE);
    glStencilOp(GL_KEEP, GL_KEEP, GL_KEEP);
    glStencilFunc(GL_EQUAL, 1, 0xFF);
}

void kr_ui_draw_point_impl(int32_t x, int32_t y, color_t color, int32_t diameter)
{
    if (!ui.window) return;
    const double r = diameter / 2.0;
    const int n = circle_segments(r);
    set_color(color);
    glBegin(GL_TRIANGLE_FAN);
    glVertex2d(x, y);
    for (int k = 0; k <= n; ++k) {
        const double a = 2.0 * M_PI * k / n;
        glVertex2d(x + std::cos(a) * r, y + std::sin(a) * r);
    }
    glEnd();
}

void kr_ui_draw_rrect_impl(int32_t x, int32_t y, int32_t width, int32_t height, int32_t radius, color_t color)
{
    if (!ui.window) return;
    set_color(color);
    glBegin(GL_TRIANGLE_FAN);
    if (radius <= 0) {
        glVertex2i(x, y);
        glVertex2i(x + width, y);
        glVertex2i(x + width, y + height);
        glVertex2i(x, y + height);
    } else {
        const double r = radius;
        const int q = (circle_segments(r) + 3) / 4;
        const double cx[4] = {x + width - r, x + r, x + r, x + width - r};
        const double cy[4] = {y + r, y + r, y + height - r, y + height - r};
        glVertex2d(x + width, y + r);
        for (int corner = 0; corner < 4; ++corner)
            for (int k = 0; k <= q; ++k) {
                const double a = (corner + (double)k / q) * M_PI / 2.0;
                glVertex2d(cx[corner] + std::cos(a) * r, cy[corner] - std::sin(a) * r);
            }
        glVertex2d(x + width, y + r);
    }
    glEnd();
}

void kr_ui_draw_line_impl(int32_t start_x, int32_t start_y, int32_t end_x, int32_t end_y, int32_t width, color_t color)
{
    if (!ui.window) return;
    set_color(color);
    glLineWidth((GLfloat)(width > 0 ? width : 1));
    glBegin(GL_LINES);
    glVertex2i(start_x, start_y);
    glVertex2i(end_x, end_y);
    glEnd();
}

void kr_ui_draw_linestrip_impl(const kr_ui_linestrip_point_st *points, uint32_t point_count, int32_t line_width,
                               color_t color, kr_ui_strip_type_e type)
{
    if (!ui.window || !points || point_count == 0) return;
    set_color(color);
    if (type == UI_STRIP_TYPE_LINE) {
        glLineWidth((GLfloat)(line_width > 0 ? line_width : 1));
        glBegin(GL_LINE_STRIP);
        for (uint32_t i = 0; i < point_count; ++i) glVertex2i(points[i].x, points[i].y);
        glEnd();
        return;
    }
    glBegin(GL_QUAD_STRIP);
    for (uint32_t i = 0; i < point_count; ++i) {
        const int32_t px = points[i].x, py = points[i].y;
        glVertex2i(px, py);
        switch (type) {
        case UI_STRIP_TYPE_RIGHT: glVertex2i(UI_SCREEN_WIDTH, py); break;
        case UI_STRIP_TYPE_LEFT: glVertex2i(0, py); break;
        case UI_STRIP_TYPE_ABOVE: glVertex2i(px, 0); break;
        case UI_STRIP_TYPE_BELOW: glVertex2i(px, UI_SCREEN_HEIGHT); break;
        default: glVertex2i(px, py); break;
        }
    }
    glEnd();
}

void kr_ui_draw_polygon_impl(const kr_ui_linestrip_point_st *points, uint32_t point_count, color_t color)
{
    if (!ui.window || !points || point_count < 3) return;
    set_color(color);
    glBegin(GL_TRIANGLE_FAN);
    for (uint32_t i = 0; i < point_count; ++i) glVertex2i(points[i].x, points[i].y);
    glEnd();
}

void kr_ui_set_backlight(uint8_t percent) { ui.brightness = percent; }

uint8_t kr_ui_get_backlight(void) { return ui.brightness; }

void kr_ui_touchscreen_calibrate(ui_transfmat_st *) {}

void kr_ui_touchscreen_set_transform_matrix(const ui_transfmat_st *) {}

// ---- Input handlers ----

void kr_ui_input_cursor(double xpos, double ypos)
{
    ui.x = (int32_t)(std::trunc(xpos) / ui.scalex);
    ui.y = (int32_t)(std::trunc(ypos) / ui.scaley);
    // While events wait, a move past the click square after a press keeps its place between them,
    // so that a drag stays a drag; further moves only update it.
    if (!ui.pressed || ui.buttons.empty()) return;
    ui_button_event_st &last = ui.buttons.back();
    if (last.moved) {
        last.x = ui.x;
        last.y = ui.y;
    } else if (std::abs(ui.x - last.x) > CONFIG_UI_CLICK_THRESHOLD ||
               std::abs(ui.y - last.y) > CONFIG_UI_CLICK_THRESHOLD) {
        if (ui.buttons.size() < BUTTON_QUEUE_MAX) ui.buttons.push_back({true, true, ui.x, ui.y});
    }
}

void kr_ui_input_button(bool pressed)
{
    if (pressed == ui.pressed) return; // another button, or the same state told again
    ui.pressed = pressed;
    // A full queue keeps the newest state in its last entry, so the pointer never stays down.
    if (ui.buttons.size() >= BUTTON_QUEUE_MAX)
        ui.buttons.back() = {pressed, false, ui.x, ui.y};
    else
        ui.buttons.push_back({pressed, false, ui.x, ui.y});
}

void kr_ui_input_key(int key, int mods)
{
    uint8_t code = 0;
    switch (key) {
    case GLFW_KEY_ESCAPE: code = UI_KEY_ESCAPE; break;
    case GLFW_KEY_ENTER:
    case GLFW_KEY_KP_ENTER: code = UI_KEY_ENTER; break;
    case GLFW_KEY_TAB: code = (mods & GLFW_MOD_SHIFT) ? UI_KEY_BACKTAB : UI_KEY_TAB; break;
    case GLFW_KEY_BACKSPACE: code = UI_KEY_BACKSPACE; break;
    case GLFW_KEY_DELETE: code = UI_KEY_DELETE; break;
    case GLFW_KEY_RIGHT: code = UI_KEY_RIGHT; break;
    case GLFW_KEY_LEFT: code = UI_KEY_LEFT; break;
    case GLFW_KEY_HOME: code = UI_KEY_HOME; break;
    case GLFW_KEY_END: code = UI_KEY_END; break;
    case GLFW_KEY_V:
        if (mods & GLFW_MOD_CONTROL) code = UI_KEY_PASTE;
        break;
    default: break;
    }
    if (code) push_key(code);
}

void kr_ui_input_char(uint32_t codepoint)
{
    if (codepoint < 128) push_key((uint8_t)codepoint);
}

void kr_ui_input_scroll(double yoffset) { ui.scroll += (int32_t)yoffset; }

void kr_ui_input_resize(int32_t width, int32_t height)
{
    if (width < 1) width = 1;
    if (height < 1) height = 1;
    kr_rtos_enter_critical();
    ui.scalex = (double)width / UI_SCREEN_WIDTH;
    ui.scaley = (double)height / UI_SCREEN_HEIGHT;
    ui.scale = ui.scalex < ui.scaley ? ui.scalex : ui.scaley;
    ui.width = width;
    ui.height = height;
    if (ui.window) glViewport(0, 0, width, height);
    ui.refresh = true;
    ui.resized = true;
    kr_rtos_exit_critical();
}

void kr_ui_input_expose(void) { ui.refresh = true; }

void kr_ui_input_close(void)
{
    ui.close_count++;
    if (ui.window)
        glfwSetWindowShouldClose(ui.window, GLFW_TRUE);
    else
        ui.close_requested = true;
}

// ---- Hooks ----

void kr_ui_script_push(kr_ui_event_kind_e kind, int32_t a, int32_t b) { script.push_back({kind, a, b}); }

void kr_ui_script_clear(void)
{
    script.clear();
    ui.buttons.clear();
}

uint32_t kr_ui_script_pending(void) { return (uint32_t)script.size(); }

uint64_t kr_ui_frame_count(void) { return ui.frames; }

uint32_t kr_ui_gl_error_count(void) { return ui.gl_errors; }

void kr_ui_capture(bool on) { ui.capture = on; }

color_t kr_ui_captured_pixel(int32_t x, int32_t y)
{
    if (x < 0 || y < 0 || x >= ui.cap_w || y >= ui.cap_h || ui.captured.empty()) return 0;
    const size_t row = (size_t)(ui.cap_h - 1 - y); // GL rows start at the bottom
    const unsigned char *p = (const unsigned char *)ui.captured.data() + (row * (size_t)ui.cap_w + (size_t)x) * 4;
    return ((color_t)p[3] << 24) | ((color_t)p[0] << 16) | ((color_t)p[1] << 8) | p[2];
}

void kr_ui_set_window_size(int32_t width, int32_t height)
{
    if (ui.window) glfwSetWindowSize(ui.window, width, height);
}

int32_t kr_ui_window_width(void) { return ui.width; }

int32_t kr_ui_window_height(void) { return ui.height; }

double kr_ui_scale(void) { return ui.scale; }

uint32_t kr_ui_decode_count(void) { return ui.decodes; }

int32_t kr_ui_max_texture_size(void) { return ui.max_texture > 0 ? ui.max_texture : 16384; }

} // extern "C"
