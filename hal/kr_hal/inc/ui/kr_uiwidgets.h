/* The leaf widgets: label (with colour escape sequences), number label, push, toggle, check, list,
 * media and dual-label buttons, image and touch area. Records are caller-owned, zero-filled first. */
#ifndef KR_UIWIDGETS_H
#define KR_UIWIDGETS_H

#include <stdbool.h>
#include <stdint.h>

#include "kr_ui.h"
#include "kr_utilities.h"
#include "ui/kr_uiobject.h"

#ifdef __cplusplus
extern "C" {
#endif

#define CONFIG_UI_BUTTON_LONGPRESS_DELAY_MS 2000
#define CONFIG_UI_LISTBUTTON_BAR_HEIGHT 4

typedef struct {
    kr_uiobject_st super;
    const ui_font_st *font;
    color_t color;
    const char *str;
    uint16_t align; /* alignment_e */
} kr_uilabel_st;

typedef struct {
    kr_uilabel_st super;
    uint32_t divider;
    char str[13];
    char format[10];
    int32_t value;
} kr_uidigit_st;

typedef uint8_t uibutton_state_e;
enum { UIBUTTON_UP = 0, UIBUTTON_PRESSED = 1, UIBUTTON_CLICKED = 2, UIBUTTON_LONGPRESSED = 3 };

typedef struct {
    kr_uiobject_st super;
    uibutton_state_e state;
    kr_delay_st delay;
    const char *text;
    color_t main_c;
    color_t text_c;
    const ui_font_st *font;
} kr_uibutton_st;

typedef struct {
    kr_uibutton_st super;
    bool state;
    bool clicked;
    bool is_down;
    color_t active_c;
} kr_uitogglebutton_st;

typedef struct {
    kr_uitogglebutton_st super;
    color_t fillc;
} kr_uicheckbox_st;

typedef enum { UIMEDIABUTTON_ALIGN_HORIZONTAL = 0, UIMEDIABUTTON_ALIGN_VERTICAL = 1 } uimediabutton_alignment_e;

typedef struct {
    kr_uitogglebutton_st super;
    const kr_uimedia_st *media;
    uint8_t align; /* uimediabutton_alignment_e */
} kr_uimediabutton_st;

typedef enum {
    UILISTBUTTON_CONTENT_ARRAYOFPOINTER = 0,
    UILISTBUTTON_CONTENT_ARRAYOFSTRINGS = 1,
} kr_uilistbutton_content_e;

typedef struct {
    kr_uibutton_st super;
    const void *content;
    const char *title;
    uint8_t content_type; /* kr_uilistbutton_content_e */
    color_t activebar_c;
    color_t bar_c;
    uint8_t content_len;
    uint8_t current_index;
} kr_uilistbutton_st;

typedef struct {
    kr_uilistbutton_st super;
    const kr_uimedia_st *bitmap;
} kr_uimedialistbutton_st;

typedef struct {
    kr_uibutton_st super;
    const char *dualtext;
    color_t dualtext_c;
    const ui_font_st *dualfont;
} kr_uiduallabelbutton_st;

typedef enum { UIIMAGE_WRAP_BORDER = 0, UIIMAGE_WRAP_REPEAT = 1 } uiimage_wrap_e;

typedef struct {
    kr_uiobject_st super;
    const kr_uimedia_st *media;
    uint8_t wrap; /* uiimage_wrap_e */
    uint16_t align;
    color_t blend_c;
} kr_uiimage_st;

typedef struct {
    kr_uiobject_st super;
    bool transparent;
    kr_touch_st touch;
} kr_uitoucharea_st;

void kr_uilabel_init(kr_uilabel_st *me, const ui_font_st *font, uint16_t alignment, color_t color, const char *str);
void kr_uilabel_set_text(kr_uilabel_st *me, const char *str);
void kr_uilabel_set_color(kr_uilabel_st *me, color_t c);
void kr_uilabel_draw(kr_uiobject_st *me, const kr_bounding_box_st *pbb);
/* The colour a select-graphic-rendition code gives, `current` when the code names none. */
color_t kr_uilabel_sgr_color(uint32_t code, color_t own, color_t current);
/* Parses the sequence after ESC '[' at `p`: applies the codes to `*c` and returns the first
 * character after the sequence (at the NUL when the text ends inside it). */
const char *kr_uilabel_parse_sgr(const char *p, color_t own, color_t *c);

void kr_uidigit_init(kr_uidigit_st *me, const ui_font_st *font, uint16_t alignment, color_t color, const char *format,
                     int32_t value);
void kr_uidigit_set_value(kr_uidigit_st *me, int32_t value);
void kr_uidigit_set_text(kr_uidigit_st *me, const char *str);

void kr_uibutton_init(kr_uibutton_st *me, const char *text, const kr_uistyle_st *style);
void kr_uibutton_set_text(kr_uibutton_st *me, const char *text);
bool kr_uibutton_is_down(const kr_uibutton_st *me);
void kr_uibutton_touch(kr_uiobject_st *me, kr_touch_st *touch);
kr_uiobject_ret_e kr_uibutton_step(kr_uiobject_st *me, uint16_t step_ms);
void kr_uibutton_draw_face(const kr_uiobject_st *o, color_t main_c, bool pressed, color_t pressed_face);

void kr_uitogglebutton_init(kr_uitogglebutton_st *me, bool state, const char *text, const kr_uistyle_st *style);
void kr_uicheckbox_init(kr_uicheckbox_st *me, bool state, const char *text, const kr_uistyle_st *style);

void kr_uilistbutton_init(kr_uilistbutton_st *me, const void *content, uint8_t content_len, uint8_t current_index,
                          const kr_uistyle_st *style);
const char *kr_uilistbutton_entry(const kr_uilistbutton_st *me, uint8_t index);
void kr_uimedialistbutton_init(kr_uimedialistbutton_st *me, const void *content, uint8_t content_len,
                               uint8_t current_index, const kr_uimedia_st *bitmap, const kr_uistyle_st *style);
void kr_uimedialistbutton_set_media(kr_uimedialistbutton_st *me, const kr_uimedia_st *media);

void kr_uimediabutton_init(kr_uimediabutton_st *me, const char *text, const kr_uimedia_st *media,
                           const kr_uistyle_st *style);
void kr_uimediatogglebutton_init(kr_uimediabutton_st *me, bool state, const char *text, const kr_uimedia_st *media,
                                 const kr_uistyle_st *style);
void kr_uimediabutton_set_media(kr_uimediabutton_st *me, const kr_uimedia_st *media);

void kr_uiduallabelbutton_init(kr_uiduallabelbutton_st *me, const char *text, const char *dualtext,
                               const kr_uistyle_st *style);
void kr_uiduallabelbutton_set_dual_text(kr_uiduallabelbutton_st *me, const char *dualtext);

void kr_uiimage_init(kr_uiimage_st *me, const kr_uimedia_st *media, uint8_t wrap, uint16_t align);
void kr_uiimage_set_media(kr_uiimage_st *me, const kr_uimedia_st *media);
void kr_uiimage_set_blendc(kr_uiimage_st *me, color_t c);

void kr_uitoucharea_init(kr_uitoucharea_st *me);
bool kr_uitoucharea_pressed(kr_uitoucharea_st *me, int16_t *x, int16_t *y);
bool kr_uitoucharea_is_down(kr_uitoucharea_st *me, int16_t *x, int16_t *y);
bool kr_uitoucharea_clicked(kr_uitoucharea_st *me, int16_t *x, int16_t *y);
bool kr_uitoucharea_drag_released(kr_uitoucharea_st *me, int16_t *x, int16_t *y);
bool kr_uitoucharea_is_dragging(kr_uitoucharea_st *me, int16_t *x, int16_t *y);

#ifdef __cplusplus
}
#endif

#endif
