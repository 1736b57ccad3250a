// The main window's parts that tests and benchmarks reach: the device tab bar's labels, widths,
// dots and hit-testing, and the window started and stepped one frame at a time.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "ui/krui.h"
#include "run/main.h"
#include "ui/kr_uicontainers.h"

#define KRUI_TAB_MAX 22 /* the overview, 20 devices and the add tab */
#define KRUI_TAB_NAME_LEN 128
#define KRUI_TAB_MIN_W 90
#define KRUI_DOT_SPACE 20

typedef struct {
    const system_st *system;
    char names[KRUI_TAB_MAX][KRUI_TAB_NAME_LEN];   /* full labels */
    char display[KRUI_TAB_MAX][KRUI_TAB_NAME_LEN]; /* labels as drawn, maybe shortened */
    uint16_t count;
    int16_t add_index; /* -1: no add tab */
    const ui_font_st *font;
    int32_t width;   /* the bar's width */
    int32_t scroll;  /* how far the tabs are moved left so that the active one shows */
    bool add_pinned; /* the tabs overflow: the add tab stays at the bar's right end */
    bool arrows;     /* the tabs overflow: two arrows left of the add tab step through every tab */
} krui_tabbar_st;

#define KRUI_ARROW_W 40
/* What krui_tab_at finds besides a tab: nothing, or one of the arrows. */
#define KRUI_TAB_NONE (-1)
#define KRUI_TAB_PREV (-2)
#define KRUI_TAB_NEXT (-3)

/* Tab 0 "Overview", one label per device, then "New device (+)" while the system has room. */
void krui_populate_tab_names(krui_tabbar_st *bar, const system_st *system);
/* The state dot's colour of a tab; false for the overview and the add tab. */
bool krui_tab_dot_color(const krui_tabbar_st *bar, uint16_t tab, color_t *color);
color_t krui_dot_color_for_state(dev_state_e state);
int32_t krui_tab_dot_space(const krui_tabbar_st *bar, uint16_t tab);
/* Width of a tab as drawn (after krui_compute_tab_display). */
int32_t krui_tab_width_of(const krui_tabbar_st *bar, uint16_t tab);
void krui_compute_tab_display(krui_tabbar_st *bar, uint16_t active);
void krui_shorten_to_width(const char *src, const ui_font_st *font, int32_t limit, char *dst, size_t dst_len);
/* Where a tab starts, bar-local (after krui_compute_tab_display); may lie outside the bar. */
int32_t krui_tab_x(const krui_tabbar_st *bar, uint16_t tab);
/* The tab under a bar-local x, an arrow, or KRUI_TAB_NONE where none is shown. */
int32_t krui_tab_at(const krui_tabbar_st *bar, int32_t x);
/* The tab one step from `active` (-1 left, +1 right), never the add tab; `active` at either end. */
uint16_t krui_tab_step(const krui_tabbar_st *bar, uint16_t active, int32_t direction);
/* Where the two arrows start, bar-local; only while `arrows` is set. */
int32_t krui_arrows_x(const krui_tabbar_st *bar);
/* Draws the bar (not the page) with its top-left corner at (x, y). */
void krui_draw_tabbar(const krui_tabbar_st *bar, uint16_t active, int32_t x, int32_t y, color_t bg, color_t text_c);

/* krui_exec in parts: start returns false when no window could open (said on the console's
 * standard error); a frame is one pass of the loop, with or without its 20 ms wait. */
bool krui_start(void);
void krui_frame(bool wait);
/* The live window's tab bar and selections, for tests. */
const krui_tabbar_st *krui_tabbar(void);
int32_t krui_active_maintab(void);
int32_t krui_active_device_tab(void);
/* Feeds a line of the log strip's input to a waiting prompt; false when no prompt waits for one. */
bool krui_submit_input(const char *line);
