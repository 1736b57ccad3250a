// Widget benchmarks, in the release tree under Xvfb with llvmpipe:
//   xvfb-run -a -s "-screen 0 1280x800x24" build-release/bench_widgets
// The CAN configuration window left alone for 10 s (frames drawn, CPU), the full redraw of a busy
// screen with every kind of widget, and the on-screen keyboard's frames. Everything runs in one RTOS
// task beside the library task, as the window does.
#include <GL/glew.h>
#include <GLFW/glfw3.h>
#include <fcntl.h>
#include <lodepng.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "bench_support.h"
#include "kr_rtos.h"
#include "kr_ui.h"
#include "ui/kr_ui_hooks.h"
#include "ui/kr_uiconfwindow.h"
#include "ui/kr_uicontainers.h"
#include "ui/kr_uidigitedit.h"
#include "ui/kr_uidisplay.h"
#include "ui/kr_uifileedit.h"
#include "ui/kr_uigauge.h"
#include "ui/kr_uigraph.h"
#include "ui/kr_uitextedit.h"
#include "ui/kr_uiwidgets.h"

extern "C" kr_uiobject_ret_e __real_kr_uidisplay_step(kr_uidisplay_st *me, uint16_t step_ms);

namespace {

using bench::mono_ms;
using bench::cpu_ms;
using bench::percentile;
using bench::quiet_stdout;

// ---- Steps of modal loops, seen through the linker ----

enum class phase { none, confwindow, keyboard };
phase g_phase = phase::none;
int g_steps;
const int IDLE_FROM = 50, IDLE_STEPS = 500; // 1 s to settle, then 10 s of 20 ms steps
uint64_t g_idle_frames0, g_idle_frames1;
double g_idle_wall0, g_idle_wall1, g_idle_cpu0, g_idle_cpu1;
std::vector<double> g_key_frames;

void script_idle(int polls)
{
    for (int i = 0; i < polls; ++i) kr_ui_script_push(KR_UI_EV_POLL, 0, 0);
}

} // namespace

extern "C" kr_uiobject_ret_e __wrap_kr_uidisplay_step(kr_uidisplay_st *me, uint16_t step_ms)
{
    if (g_phase == phase::keyboard) {
        const uint64_t f0 = kr_ui_frame_count();
        const double t0 = mono_ms();
        const kr_uiobject_ret_e r = __real_kr_uidisplay_step(me, step_ms);
        glFinish();
        if (kr_ui_frame_count() != f0) g_key_frames.push_back(mono_ms() - t0);
        return r;
    }
    if (g_phase == phase::confwindow) {
        ++g_steps;
        if (g_steps == IDLE_FROM) {
            g_idle_frames0 = kr_ui_frame_count();
            g_idle_wall0 = mono_ms();
            g_idle_cpu0 = cpu_ms();
        } else if (g_steps == IDLE_FROM + IDLE_STEPS) {
            g_idle_frames1 = kr_ui_frame_count();
            g_idle_wall1 = mono_ms();
            g_idle_cpu1 = cpu_ms();
            // OK holds the focus: Return closes the window.
            script_idle(1);
            kr_ui_script_push(KR_UI_EV_KEY, GLFW_KEY_ENTER, 0);
            script_idle(1);
        }
    }
    return __real_kr_uidisplay_step(me, step_ms);
}

namespace {

void confwindow_idle()
{
    const double lw0 = mono_ms(), lc0 = cpu_ms();
    kr_rtos_task_delay(5000);
    const double lib = 100.0 * (cpu_ms() - lc0) / (mono_ms() - lw0);
    g_phase = phase::confwindow;
    bool ok;
    {
        quiet_stdout q;
        ok = kr_uiconfwindow_run(nullptr);
    }
    g_phase = phase::none;
    if (!ok || g_steps < IDLE_FROM + IDLE_STEPS) {
        std::printf("The CAN configuration window did not run (run under Xvfb)\n");
        std::exit(1);
    }
    const double wall = g_idle_wall1 - g_idle_wall0, cpu = g_idle_cpu1 - g_idle_cpu0;
    std::printf("CAN configuration window idle for %.1f s: %llu frames drawn, CPU %.3f%% of one core with the "
                "library task (%.3f%% for it alone), %.3f%% for the window (goal: no frame, under 1%%)\n",
                wall / 1e3, (unsigned long long)(g_idle_frames1 - g_idle_frames0), 100.0 * cpu / wall, lib,
                100.0 * cpu / wall - lib);
}

// ---- The busy widget screen ----

constexpr int WIDGETS = 150;

struct busy {
    kr_uidisplay_st display;
    kr_uiobject_st *display_children[WIDGETS];
    int count = 0;

    kr_uiframewindow_st labels_frame;
    kr_uiobject_st *labels_children[40];
    kr_uilabel_st labels[40];
    char label_text[40][96];

    kr_uigraph_st graph;
    kr_uigraph_point_st points[50];
    kr_uigauge_st gauges[3];
    kr_uigauge_zone_st zones[3];
    kr_uiprogressbar_st bars[3];
    kr_uislider_st sliders[3];
    kr_uivalveslider_st valves[2];

    kr_uitabwindow_st tabs;
    kr_uiobject_st *tabs_children[8];
    kr_uitextedit_st texts[3];
    char text_bufs[3][32];
    kr_uidigitedit_st digits[3];
    kr_uifileedit_st files[2];
    char file_bufs[2][128];

    kr_uitreeview_st tree;
    kr_uiobject_st *tree_children[3];
    kr_uitreeobject_st tree_items[3];
    kr_uiobject_st *tree_item_children[3][2];
    kr_uibutton_st tree_buttons[3];

    kr_uilist_st list;
    kr_uilist_entry_st list_buf[20];
    char list_text[20][16];
    kr_uilist_st mlist;
    kr_uimedialist_entry_st mlist_buf[6];

    kr_uibutton_st buttons[42];
    kr_uitogglebutton_st toggles[4];
    kr_uicheckbox_st checks[4];
    kr_uilistbutton_st listbuttons[3];
    kr_uimedialistbutton_st medialistbutton;
    kr_uimediabutton_st mediabuttons[3];
    kr_uimediabutton_st mediatoggles[2];
    kr_uiduallabelbutton_st duals[3];
    kr_uiimage_st images[3];
    kr_uitoucharea_st touchareas[2];
    kr_uidigit_st numbers[12];
    kr_uimedia_st bm;
};

const char *const LIST_ENTRIES[] = {"slow", "medium", "fast"};
const char *const TAB_NAMES[] = {"Edit", "More", "Rest"};
const char *const VALVE_LABELS[] = {"min", "max", "-min", "-max"};
const int16_t VALVE_VALUES[] = {100, 700, -150, -800};

void place(busy &b, kr_uiwindow_st *w, kr_uiobject_st *o, int x, int y, int width, int height)
{
    kr_uiwindow_addxy(w, o, (int16_t)x, (int16_t)y, (int16_t)width, (int16_t)height);
    b.count++;
}

void busy_init(busy &b)
{
    std::memset((void *)&b, 0, sizeof b);
    kr_uidisplay_init(&b.display, b.display_children, nullptr);
    kr_uiwindow_st *d = &b.display.super;
    {
        std::vector<unsigned char> px(48 * 48 * 4);
        for (size_t i = 0; i < px.size(); i += 4) {
            px[i] = (unsigned char)(i * 7);
            px[i + 1] = 0x80;
            px[i + 2] = (unsigned char)(255 - i);
            px[i + 3] = 0xFF;
        }
        unsigned char *out = nullptr;
        size_t len = 0;
        lodepng_encode32(&out, &len, px.data(), 48, 48);
        kr_uimedia_newbitmapexmem_mem(&b.bm, "busy widgets", out, (uint32_t)len);
        std::free(out);
    }

    // 40 labels with colour sequences in a frame window on the left.
    kr_uiframewindow_init(&b.labels_frame, b.labels_children, nullptr);
    kr_uiframewindow_set_title(&b.labels_frame, "Log");
    place(b, d, &b.labels_frame.super.super, 0, 0, 300, 720);
    for (int i = 0; i < 40; ++i) {
        std::snprintf(b.label_text[i], sizeof b.label_text[i],
                      "\x1b[3%dm%02d node\x1b[0m state \x1b[1;9%dm%s\x1b[0m 0x%04X", 1 + i % 7, i, 1 + (i + 3) % 7,
                      i % 2 ? "operational" : "pre-op", i * 97);
        kr_uilabel_init(&b.labels[i], UI_TEXT_FONT, ALIGN_TOP_LEFT, 0xFFFFFFFF, b.label_text[i]);
        place(b, &b.labels_frame.super, &b.labels[i].super, 4, 30 + i * 17, 290, 17);
    }

    // A 50-point graph with a grid, an active point and the current value.
    for (int i = 0; i < 50; ++i)
        kr_uigraph_point_init(&b.points[i], (int16_t)(i * 20), (int16_t)(500 + (i * 37) % 400 - (i % 5) * 60),
                              i % 3 == 0);
    kr_uigraph_init(&b.graph, b.points, 50, 0, 1000, -200, 1000, nullptr);
    b.graph.grid_size_x = 100;
    b.graph.grid_size_y = 100;
    b.graph.title = "Torque curve";
    b.graph.x_unit = "rpm";
    b.graph.y_unit = "Nm";
    b.graph.active_point = 12;
    kr_uigraph_set_current_val(&b.graph, 430, 300);
    place(b, d, &b.graph.super, 810, 0, 390, 300);

    // Gauges, range bars, sliders and valve sliders.
    b.zones[0] = {0, 0xFF30B030};
    b.zones[1] = {60, 0xFFE0C020};
    b.zones[2] = {80, 0xFFE02020};
    for (int i = 0; i < 3; ++i) {
        kr_uigauge_init(&b.gauges[i], 0, 100, 0xFF000000, nullptr);
        kr_uigauge_set_value(&b.gauges[i], 30 + 25 * i);
        kr_uigauge_set_title(&b.gauges[i], "Load");
        kr_uigauge_set_unit(&b.gauges[i], "%");
        if (i) kr_uigauge_set_zones(&b.gauges[i], b.zones, 3);
        place(b, d, &b.gauges[i].super, 810 + i * 130, 305, 125, 90);
        kr_uiprogressbar_init(&b.bars[i], 0, 1000, nullptr);
        kr_uiprogressbar_set_value(&b.bars[i], (int16_t)(100 * i), (int16_t)(400 + 200 * i));
        kr_uiprogressbar_set_cursor(&b.bars[i], (int16_t)(300 + 100 * i));
        b.bars[i].title = "Flash";
        place(b, d, &b.bars[i].super, 810 + i * 130, 400, 125, 40);
        kr_uislider_init(&b.sliders[i], 0, 100, (int16_t)(20 * (i + 1)), nullptr);
        b.sliders[i].title = "Gain";
        b.sliders[i].horizontal = i != 2;
        if (i < 2)
            place(b, d, &b.sliders[i].super, 810, 445 + i * 60, 330, 60);
        else
            place(b, d, &b.sliders[i].super, 1150, 445, 45, 120);
    }
    for (int i = 0; i < 2; ++i) {
        kr_uivalveslider_init(&b.valves[i], -1000, 1000, nullptr, nullptr, VALVE_LABELS, VALVE_VALUES, nullptr);
        kr_uivalveslider_set_cursor(&b.valves[i], (int16_t)(i ? -40 : 60), "out");
        b.valves[i].title = "Valve";
        b.valves[i].selected_handle = i ? UIVALVESLIDER_HANDLE_NEG_MAX : UIVALVESLIDER_HANDLE_COUNT;
        place(b, d, &b.valves[i].super, 810, 570 + i * 75, 390, 72);
    }

    // Tabs with edit fields.
    kr_uitabwindow_init(&b.tabs, 3, nullptr, b.tabs_children, TAB_NAMES);
    place(b, d, &b.tabs.super.super, 305, 0, 500, 230);
    for (int i = 0; i < 3; ++i) {
        std::snprintf(b.text_bufs[i], sizeof b.text_bufs[i], "device %d", i);
        kr_uitextedit_init(&b.texts[i], b.text_bufs[i], sizeof b.text_bufs[i], UITEXTEDIT_FLAG_ONELINE, nullptr);
        place(b, &b.tabs.super, &b.texts[i].super.super, 5, 45 + i * 60, 240, 55);
        kr_uidigitedit_init(&b.digits[i], 1000 * i - 5, nullptr);
        place(b, &b.tabs.super, &b.digits[i].super.super, 250, 45 + i * 60, 120, 55);
    }
    for (int i = 0; i < 2; ++i) {
        kr_uifileedit_init(&b.files[i], b.file_bufs[i], sizeof b.file_bufs[i], nullptr);
        kr_uifileedit_set_path(&b.files[i], "/home/service/packages/machine_4711/parameters/drive_left.yaml");
        place(b, &b.tabs.super, &b.files[i].super.super, 375, 45 + i * 90, 120, 85);
    }

    // A tree with three headers, one open, each with a button.
    kr_uitreeview_init(&b.tree, b.tree_children, nullptr);
    place(b, d, &b.tree.super.super, 305, 235, 250, 240);
    static const char *const names[] = {"Drive", "Display", "Joystick"};
    for (int i = 0; i < 3; ++i) {
        kr_uitreeobject_init(&b.tree_items[i], b.tree_item_children[i], names[i], nullptr, nullptr);
        kr_uitreeview_add(&b.tree.super, &b.tree_items[i], 80, i == 0);
        b.count++;
        kr_uibutton_init(&b.tree_buttons[i], "Flash", nullptr);
        place(b, &b.tree_items[i].super, &b.tree_buttons[i].super, 10, 40, 200, 35);
    }

    // A list of 20 entries and a media list.
    kr_uilist_init(&b.list, b.list_buf, 20, nullptr);
    for (int i = 0; i < 20; ++i) {
        std::snprintf(b.list_text[i], sizeof b.list_text[i], "device %02d", i);
        kr_uilist_entry_st e{b.list_text[i]};
        kr_uilist_push_back(&b.list, &e);
    }
    b.list.selected_index = 3;
    b.list.align = ALIGN_TOP_CENTER;
    place(b, d, &b.list.super, 560, 235, 245, 240);
    kr_uimedialist_init(&b.mlist, b.mlist_buf, 6, nullptr);
    for (int i = 0; i < 6; ++i) {
        kr_uimedialist_entry_st e{{LIST_ENTRIES[i % 3]}, &b.bm};
        kr_uilist_push_back(&b.mlist, &e);
    }
    b.mlist.align = ALIGN_TOP_CENTER;
    place(b, d, &b.mlist.super, 305, 480, 160, 235);

    // The rest in a grid below the tabs: every kind of button, images, touch areas, number labels.
    kr_uigridlayout_st g;
    kr_uigridlayout_init(&g, 470, 480, 335, 240, 6, 14);
    auto next = [&](kr_uiobject_st *o) {
        const kr_bounding_box_st r = kr_uigridlayout_next(&g);
        place(b, d, o, r.x, r.y, r.w - 2, r.h - 2);
    };
    for (auto &x : b.toggles) {
        kr_uitogglebutton_init(&x, &x == &b.toggles[0], "On", nullptr);
        next(&x.super.super);
    }
    for (auto &x : b.checks) {
        kr_uicheckbox_init(&x, &x != &b.checks[0], "Log", nullptr);
        next(&x.super.super.super);
    }
    for (auto &x : b.listbuttons) {
        kr_uilistbutton_init(&x, LIST_ENTRIES, 3, 1, nullptr);
        next(&x.super.super);
    }
    kr_uimedialistbutton_init(&b.medialistbutton, LIST_ENTRIES, 3, 2, &b.bm, nullptr);
    next(&b.medialistbutton.super.super.super);
    for (auto &x : b.mediabuttons) {
        kr_uimediabutton_init(&x, "Load", &b.bm, nullptr);
        next(&x.super.super.super);
    }
    for (auto &x : b.mediatoggles) {
        kr_uimediatogglebutton_init(&x, true, "Mute", &b.bm, nullptr);
        next(&x.super.super.super);
    }
    for (auto &x : b.duals) {
        kr_uiduallabelbutton_init(&x, "Node", "0x10", nullptr);
        next(&x.super.super);
    }
    for (auto &x : b.images) {
        kr_uiimage_init(&x, &b.bm, 0, ALIGN_CENTER);
        next(&x.super);
    }
    for (auto &x : b.touchareas) {
        kr_uitoucharea_init(&x);
        next(&x.super);
    }
    for (int i = 0; i < 12; ++i) {
        kr_uidigit_init(&b.numbers[i], UI_TEXT_FONT, ALIGN_CENTER, 0xFFFFFFFF, "%d", i * 1234);
        next(&b.numbers[i].super.super);
    }
    for (auto &x : b.buttons) {
        if (b.count == WIDGETS) break;
        kr_uibutton_init(&x, "Go", nullptr);
        next(&x.super);
    }
}

busy g_busy;

void busy_redraw()
{
    {
        quiet_stdout q;
        busy_init(g_busy);
        kr_uidisplay_step(&g_busy.display, 20);
    }
    std::vector<double> t;
    for (int i = 0; i < 300; ++i) {
        kr_ui_refresh(&g_busy.display.super.super);
        const double t0 = mono_ms();
        kr_uidisplay_step(&g_busy.display, 20);
        glFinish();
        t.push_back(mono_ms() - t0);
    }
    std::printf("busy widget screen full redraw (%d widgets of every kind, a 50-point graph, 40 coloured labels), "
                "300 frames: p50 %.2f ms, p99 %.2f ms, worst %.2f ms (goal: p99 under 20 ms)\n",
                g_busy.count, percentile(t, 0.5), percentile(t, 0.99), *std::max_element(t.begin(), t.end()));
    // Idle afterwards: nothing changes, nothing is drawn.
    const uint64_t f0 = kr_ui_frame_count();
    for (int i = 0; i < 50; ++i) {
        kr_uidisplay_step(&g_busy.display, 20);
        kr_rtos_task_delay(20);
    }
    std::printf("busy widget screen left alone for 50 steps: %llu frames drawn\n",
                (unsigned long long)(kr_ui_frame_count() - f0));
}

void keyboard_frames()
{
    // Twenty keys over the letter rows, each pressed and released, then Enter.
    static const int keys[][2] = {{150, 449}, {550, 557}, {350, 557}, {250, 449}, {450, 449},  {650, 341}, {750, 341},
                                  {850, 449}, {950, 557}, {150, 341}, {250, 341}, {350, 341},  {450, 341}, {550, 449},
                                  {650, 449}, {750, 557}, {850, 341}, {950, 341}, {1100, 233}, {1100, 233}};
    kr_ui_script_clear();
    for (const auto &k : keys) {
        script_idle(7);
        kr_ui_script_push(KR_UI_EV_CURSOR, k[0], k[1]);
        kr_ui_script_push(KR_UI_EV_BUTTON, 1, 0);
        script_idle(2);
        kr_ui_script_push(KR_UI_EV_BUTTON, 0, 0);
        script_idle(1);
    }
    script_idle(7);
    kr_ui_script_push(KR_UI_EV_CURSOR, 1125, 449);
    kr_ui_script_push(KR_UI_EV_BUTTON, 1, 0);
    script_idle(2);
    kr_ui_script_push(KR_UI_EV_BUTTON, 0, 0);
    script_idle(1);
    char buf[64] = "";
    g_key_frames.clear();
    g_phase = phase::keyboard;
    kr_uikeyboard_show("Device name", buf, sizeof buf, nullptr);
    g_phase = phase::none;
    std::printf("on-screen keyboard: %zu frames while typing \"%s\": p50 %.2f ms, p99 %.2f ms, worst %.2f ms\n",
                g_key_frames.size(), buf, percentile(g_key_frames, 0.5), percentile(g_key_frames, 0.99),
                g_key_frames.empty() ? 0.0 : *std::max_element(g_key_frames.begin(), g_key_frames.end()));
}

void display_task(void *)
{
    confwindow_idle();
    bool ok;
    {
        quiet_stdout q;
        ok = kr_ui_init();
    }
    if (!ok) {
        std::printf("The display could not start (run under Xvfb)\n");
        std::exit(1);
    }
    busy_redraw();
    keyboard_frames();
    std::printf("GL errors: %u\n", kr_ui_gl_error_count());
    std::fflush(stdout);
    std::exit(0);
}

} // namespace

int main()
{
    kr_init(nullptr);
    kr_rtos_task_create(display_task, "display", 51200, nullptr, 2, nullptr);
    kr_rtos_start_scheduler();
    return 1;
}
