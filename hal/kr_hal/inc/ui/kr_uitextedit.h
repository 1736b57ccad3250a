/* Text edit: a labelled field over a caller's buffer, edited on the modal on-screen keyboard. */
#ifndef KR_UITEXTEDIT_H
#define KR_UITEXTEDIT_H

#include <stdbool.h>
#include <stdint.h>

#include "ui/kr_uidisplay.h"
#include "ui/kr_uiwidgets.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef enum {
    UITEXTEDIT_FLAG_NONE = 0,
    UITEXTEDIT_FLAG_ONELINE = 1,
    UITEXTEDIT_FLAG_CMDLINE = 2,
    UITEXTEDIT_FLAG_PASSWORD = 4,
} kr_uitextedit_flags_e;

typedef struct {
    kr_uilabel_st super;
    char *buffer;
    uint16_t buf_len;
    const char *title;
    color_t bg_color;
    bool changed;
    const kr_uistyle_st *style;
    uint8_t flags;
} kr_uitextedit_st;

#define KEY_NONE (-1)
#define KEY_SHIFT 1000
#define KEY_BACKSPACE 1001
#define KEY_ENTER 1002
#define KEY_SPACE 1003
#define UIKEYBOARD_KEY_COUNT 38

typedef struct {
    const char *normal;
    const char *shifted;
    bool show_alt;
} keyb_key_st;

typedef struct {
    kr_uidisplay_st super;
    kr_uiobject_st *bfr[1];
    bool shift;
    bool autocaps;
    int16_t pressed;
    const char *title;
    char *buffer;
    const kr_uistyle_st *style;
} kr_uikeyboard_st;

void kr_uitextedit_init(kr_uitextedit_st *me, char *buffer, uint16_t buf_len, uint8_t flags,
                        const kr_uistyle_st *style);
void kr_uitextedit_set_text(kr_uitextedit_st *me, const char *text);
bool kr_uikeyboard_show(const char *title, char *buffer, uint16_t buf_len, const kr_uistyle_st *style);

/* The keyboard's parts, for tests: the key under a screen point, a key's rectangle, and one edit. */
int16_t kr_uikeyboard_key_at(int32_t x, int32_t y);
kr_bounding_box_st kr_uikeyboard_key_geometry(int16_t key);
/* Applies one key to the text; returns true when Enter ends the edit. */
bool kr_uikeyboard_apply(kr_uikeyboard_st *me, int16_t key, uint16_t buf_len);

/* Cuts `s` to at most `max` bytes without splitting a UTF-8 character; returns the new length. */
size_t kr_utf8_cut(char *s, size_t max);

#ifdef __cplusplus
}
#endif

#endif
