/* Digit edit (an integer field: numpad on click, minus/plus buttons, or read-only) and the numpad. */
#ifndef KR_UIDIGITEDIT_H
#define KR_UIDIGITEDIT_H

#include <stdbool.h>
#include <stdint.h>

#include "ui/kr_uidisplay.h"
#include "ui/kr_uiwidgets.h"

#ifdef __cplusplus
extern "C" {
#endif

#define NUMPAD_VALUE_STR_LEN 16
#define SIGN_INDEX 99

typedef enum {
    UIDIGITEDIT_MODE_NORMAL = 0,
    UIDIGITEDIT_MODE_INCDEC = 1,
    UIDIGITEDIT_MODE_RODIGIT = 2,
    UIDIGITEDIT_MODE_COUNT = 3,
} kr_uidigitedit_mode_e;

typedef struct {
    kr_uilabel_st super;
    char str[16];
    const char *title;
    const char *unit;
    color_t bg_color;
    int32_t value;
    uint16_t divider;
    bool changed;
    bool hex;
    const kr_uistyle_st *style;
    int32_t limit_max;
    int32_t limit_min;
    uint8_t mode; /* kr_uidigitedit_mode_e */
    union {
        struct {
            const char *numpaddialog_title;
        } normal;
        struct {
            int8_t pressed_button;
            int16_t inc_step;
            kr_delay_st delay;
        } incdec;
        struct {
            const ui_font_st *title_font;
        } rodigit;
    } modedata;
} kr_uidigitedit_st;

typedef enum { UINUMPAD_FLAGS_NONE = 0, UINUMPAD_FLAGS_HEX = 1 } kr_uinumpad_flags_e;

typedef struct {
    kr_uiobject_st super;
    uint8_t flags;
    char value_str[NUMPAD_VALUE_STR_LEN];
    int32_t value;
    const char *title;
    const kr_uistyle_st *style;
    bool submitted;
    bool cancelled;
    int8_t pressed_index;
    int8_t released_index;
    int8_t sign;
    int32_t limit_max;
    int32_t limit_min;
    const char *current; /* shown dimmed in the number's place while nothing is typed, or null */
} kr_uinumpad_st;

void kr_uidigitedit_init(kr_uidigitedit_st *me, int32_t value, const kr_uistyle_st *style);
void kr_uidigitedit_set_value(kr_uidigitedit_st *me, int32_t value);
void kr_uidigitedit_set_limits(kr_uidigitedit_st *me, int32_t min, int32_t max);
void kr_uidigitedit_set_hex(kr_uidigitedit_st *me, bool value);
void kr_uidigitedit_set_divider(kr_uidigitedit_st *me, uint16_t divider);
void kr_uidigitedit_set_unit(kr_uidigitedit_st *me, const char *unit);
void kr_uidigitedit_set_inc_step(kr_uidigitedit_st *me, int16_t step);
void kr_uidigitedit_set_mode(kr_uidigitedit_st *me, uint8_t mode);
kr_uiobject_ret_e kr_uidigitedit_step(kr_uiobject_st *me, uint16_t step_ms);

void kr_uinumpad_init(kr_uinumpad_st *me, const char *title, const kr_uistyle_st *style);
int32_t kr_uinumpaddialog_exec(const char *title, int32_t max_limit, int32_t min_limit, int32_t fallback_value,
                               uint8_t flags, const kr_uistyle_st *style);
/* Editing steps of the numpad, as its buttons and keys use them (for tests). */
void kr_uinumpad_append(kr_uinumpad_st *me, char c);
bool kr_uinumpad_delete(kr_uinumpad_st *me);
void kr_uinumpad_apply_sign(kr_uinumpad_st *me);

#ifdef __cplusplus
}
#endif

#endif
