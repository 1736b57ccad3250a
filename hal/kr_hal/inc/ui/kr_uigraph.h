/* An editable point graph and a valve slider with four limit handles. */
#ifndef KR_UIGRAPH_H
#define KR_UIGRAPH_H

#include <stdbool.h>
#include <stdint.h>

#include "kr_ui.h"
#include "kr_utilities.h"
#include "ui/kr_uiobject.h"
#include "ui/kr_uiwidgets.h"

#ifdef __cplusplus
extern "C" {
#endif

#define POINT_MOVE_DELAY_MS 50
#define UIGRAPH_POINT_FIRST_REPEAT_MS 150
#define UIGRAPH_ARROW_DELAY_MS 100
#define VALVESLIDER_CURSOR_MIN (-100)
#define VALVESLIDER_CURSOR_MAX 100
#define UIVALVESLIDER_INC_DELAY_MS 250
#define UIVALVESLIDER_INC_MIN_DELAY_MS 30

typedef struct {
    int16_t x, y;
    bool interactive;
} kr_uigraph_point_st;

typedef enum {
    UIGRAPH_POINT_DIR_X_NEG = 0,
    UIGRAPH_POINT_DIR_X_POS = 1,
    UIGRAPH_POINT_DIR_Y_NEG = 2,
    UIGRAPH_POINT_DIR_Y_POS = 3,
    UIGRAPH_POINT_DRAG = 4,
} kr_uigraph_point_dir_e;

typedef struct {
    kr_uiobject_st super;
    color_t coordinate_c, graph_c;
    kr_uigraph_point_st *points;
    uint16_t points_count;
    int16_t active_point;                                           /* -1: none */
    bool point_selected, point_changed, point_added, point_removed; /* one step each */
    kr_uibutton_st *add_point_button, *remove_point_button;
    kr_uibutton_st *left_button, *right_button, *up_button, *down_button;
    kr_delay_st arrow_delay;
    uint16_t points_buffer_size;
    int32_t min_x, min_y, max_x, max_y;
    int32_t current_val_x, current_val_y;
    /* Given the point's index and its proposed x and y; returns whether the move is allowed. */
    bool (*point_moved_callb)(uint16_t index, int32_t x, int32_t y);
    kr_delay_st press_delay;
    bool dragging;
    int32_t drag_start_x, drag_start_y, drag_x, drag_y;
    int32_t grid_size_x, grid_size_y;
    kr_uigraph_point_dir_e point_dir;
    int16_t content_w, content_x, content_h; /* the plot area of the last drawing, widget-relative */
    const char *title, *x_unit, *y_unit;
    const kr_uistyle_st *style;
} kr_uigraph_st;

typedef enum {
    UIVALVESLIDER_HANDLE_POS_MIN = 0,
    UIVALVESLIDER_HANDLE_POS_MAX = 1,
    UIVALVESLIDER_HANDLE_NEG_MIN = 2,
    UIVALVESLIDER_HANDLE_NEG_MAX = 3,
    UIVALVESLIDER_HANDLE_COUNT = 4, /* also: no handle selected */
} kr_uivalveslider_handles_e;

typedef struct {
    kr_uiobject_st super;
    int16_t min_val, max_val, inc_step;
    kr_uivalveslider_handles_e selected_handle;
    bool value_changed; /* one step */
    bool unidir;
    bool invert;
    uint8_t horiz_padding;
    int16_t drag_start_val;
    int32_t drag_x;
    const kr_uimedia_st *leftarrow_media, *rightarrow_media;
    const char *handle_strs[UIVALVESLIDER_HANDLE_COUNT];
    int16_t handle_values[UIVALVESLIDER_HANDLE_COUNT];
    int16_t cursor_position; /* VALVESLIDER_CURSOR_MIN..MAX; outside: hidden */
    const char *cursor_text;
    const char *title;
    color_t negative_c, positive_c, outbounds_c;
    const ui_font_st *font;
    color_t handle_c, selected_handle_c, text_c;
    kr_delay_st inc_delay;
    bool inc;
    uint32_t cursor_text_hash; /* a caller may rewrite the same text buffer */
} kr_uivalveslider_st;

void kr_uigraph_init(kr_uigraph_st *me, kr_uigraph_point_st *points_buffer, uint16_t points_count, int32_t min_x,
                     int32_t max_x, int32_t min_y, int32_t max_y, const kr_uistyle_st *style);
void kr_uigraph_point_init(kr_uigraph_point_st *point, int16_t x, int16_t y, bool interactive);
void kr_uigraph_set_point_uibuttons(kr_uigraph_st *me, kr_uibutton_st *add, kr_uibutton_st *remove,
                                    uint16_t points_buffer_size);
void kr_uigraph_set_arrow_uibuttons(kr_uigraph_st *me, kr_uibutton_st *left, kr_uibutton_st *right, kr_uibutton_st *up,
                                    kr_uibutton_st *down);
void kr_uigraph_set_point_count(kr_uigraph_st *me, uint16_t points_count);
void kr_uigraph_set_current_val(kr_uigraph_st *me, int32_t x, int32_t y);

void kr_uivalveslider_init(kr_uivalveslider_st *me, int16_t min_val, int16_t max_val,
                           const kr_uimedia_st *leftarrow_media, const kr_uimedia_st *rightarrow_media,
                           const char *const *handle_strs, const int16_t *handle_values, const kr_uistyle_st *style);
void kr_uivalveslider_set_cursor(kr_uivalveslider_st *me, int16_t position, const char *text);
void kr_uivalveslider_set_invert(kr_uivalveslider_st *me, bool invert);
int16_t kr_uivalveslider_get_selected_handle_value(const kr_uivalveslider_st *me);
/* The four handles' x positions for a widget drawn at x with width w. */
void kr_uivalveslider_handle_x_coords(const kr_uivalveslider_st *me, int32_t x, int32_t w, int32_t hx[4]);

#ifdef __cplusplus
}
#endif

#endif
