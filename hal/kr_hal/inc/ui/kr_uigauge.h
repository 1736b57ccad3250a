/* Display and input widgets: a half-circle gauge, a range (progress) bar and a slider. */
#ifndef KR_UIGAUGE_H
#define KR_UIGAUGE_H

#include <stdbool.h>
#include <stdint.h>

#include "kr_ui.h"
#include "kr_utilities.h"
#include "ui/kr_uiobject.h"

#ifdef __cplusplus
extern "C" {
#endif

#define UIGAUGE_ZONE_COUNT_MAX 8
#define UISLIDER_LONGPRESS_DELAY_MS 250
#define UISLIDER_LONGPRESS_MIN_DELAY_MS 30

typedef struct {
    int32_t start;
    color_t color;
} kr_uigauge_zone_st;

typedef struct {
    kr_uiobject_st super;
    int32_t min_val, max_val, value;
    uint8_t thickness;
    uint8_t seg_step;
    const kr_uigauge_zone_st *zones;
    uint8_t zone_count;
    const char *title;
    const char *unit;
    char value_str[12];
    const kr_uistyle_st *style;
    const ui_font_st *value_font;
    color_t arc_bg_c;
    color_t hole_c;
} kr_uigauge_st;

typedef struct {
    kr_uiobject_st super;
    int16_t value_max, value_min, cursor_val, limit_min, limit_max;
    bool horizontal;
    color_t limit_c, main_c, bg_c, text_c;
    const ui_font_st *font;
    const char *title;
} kr_uiprogressbar_st;

typedef struct {
    kr_uiobject_st super;
    int16_t min_val, max_val, cur_val, drag_val, drag_start_val;
    uint16_t inc_step;
    int8_t incdec;
    kr_delay_st longpress_delay;
    bool show_value : 1;
    bool horizontal : 1;
    bool dragging : 1;
    const char *title;
    void (*callb)(void *);
    color_t text_c;
    const ui_font_st *font;
    color_t handle_c;
    color_t bg_c;
} kr_uislider_st;

void kr_uigauge_init(kr_uigauge_st *me, int32_t min_val, int32_t max_val, color_t bg_c, const kr_uistyle_st *style);
void kr_uigauge_set_value(kr_uigauge_st *me, int32_t value);
void kr_uigauge_set_zones(kr_uigauge_st *me, const kr_uigauge_zone_st *zones, uint8_t count);
void kr_uigauge_set_title(kr_uigauge_st *me, const char *title);
void kr_uigauge_set_unit(kr_uigauge_st *me, const char *unit);
void kr_uigauge_set_thickness(kr_uigauge_st *me, uint8_t thickness);
void kr_uigauge_set_hole_color(kr_uigauge_st *me, color_t c);
void kr_uigauge_set_value_font(kr_uigauge_st *me, const ui_font_st *font);
/* The angle (degrees, 180 at the minimum, 0 at the maximum) a value reaches. */
int32_t kr_uigauge_angle(const kr_uigauge_st *me, int32_t value);

void kr_uiprogressbar_init(kr_uiprogressbar_st *me, int16_t limit_min, int16_t limit_max, const kr_uistyle_st *style);
void kr_uiprogressbar_set_value(kr_uiprogressbar_st *me, int16_t value_min, int16_t value_max);
void kr_uiprogressbar_set_cursor(kr_uiprogressbar_st *me, int16_t val);

void kr_uislider_init(kr_uislider_st *me, int16_t min_value, int16_t max_value, int16_t current_value,
                      const kr_uistyle_st *style);
void kr_uislider_set_value(kr_uislider_st *me, int16_t value);
void kr_uislider_set_min_value(kr_uislider_st *me, int16_t value);
void kr_uislider_set_max_value(kr_uislider_st *me, int16_t value);

#ifdef __cplusplus
}
#endif

#endif
