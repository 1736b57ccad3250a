/* File edit: a field that shows a path and opens the file dialog when clicked. */
#ifndef KR_UIFILEEDIT_H
#define KR_UIFILEEDIT_H

#include "ui/kr_uifiledialog.h"
#include "ui/kr_uiwidgets.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct {
    kr_uilabel_st super;
    char *buffer;
    uint16_t buf_len;
    const char *title;
    color_t bg_color;
    bool changed;
    bool save_mode;
    const kr_uistyle_st *style;
    const kr_uifileedit_filter_st *filters;
    uint8_t filter_count;
} kr_uifileedit_st;

void kr_uifileedit_init(kr_uifileedit_st *me, char *buffer, uint16_t buf_len, const kr_uistyle_st *style);
void kr_uifileedit_set_path(kr_uifileedit_st *me, const char *path);
/* The text shown for `path` in `width` pixels: "..." and the longest tail that fits, cut where a
 * character begins. */
void kr_uifileedit_shown_text(const char *path, const ui_font_st *font, int32_t width, char *out, size_t out_len);

#ifdef __cplusplus
}
#endif

#endif
