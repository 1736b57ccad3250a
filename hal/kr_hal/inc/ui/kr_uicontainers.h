/* Containers on the window: frame window, tab window, tree view; grid and string layouts; lists. */
#ifndef KR_UICONTAINERS_H
#define KR_UICONTAINERS_H

#include <stdbool.h>
#include <stdint.h>

#include "kr_ui.h"
#include "kr_utilities.h"
#include "ui/kr_uiobject.h"

#ifdef __cplusplus
extern "C" {
#endif

#define CONFIG_UI_TABWINDOW_HEADER_HEIGHT 40
#define CONFIG_UI_TABWINDOW_HEADER_MIN_WIDTH 90
#define CONFIG_UI_TREEVIEW_ITEM_HEIGHT 40
#define CONFIG_UI_LIST_ENTRY_HEIGHT 50

typedef struct {
    kr_uiwindow_st super;
    const char *title;
    color_t frame_c;
    color_t text_c;
    const ui_font_st *font;
} kr_uiframewindow_st;

typedef enum { UITABWINDOW_LIST_OF_POINTERS = 0, UITABWINDOW_LIST_OF_STRINGS = 1 } uitabwindow_names_type_e;

typedef struct {
    kr_uiwindow_st super;
    uint16_t tab_count;
    const void *tab_names;
    uint8_t names_type; /* uitabwindow_names_type_e */
    uint16_t active_tab;
    bool tab_changed;
    color_t text_c;
    const ui_font_st *font;
} kr_uitabwindow_st;

typedef struct kr_uitreeobject_st {
    kr_uiwindow_st super;
    const char *name;
    void (*show_callb)(struct kr_uitreeobject_st *me);
    color_t text_c;
    const ui_font_st *font;
    bool open;
    bool one_active;
    int16_t content_h;
} kr_uitreeobject_st;

typedef struct {
    kr_uiwindow_st super;
    bool one_active;
} kr_uitreeview_st;

typedef struct {
    kr_bounding_box_st bb;
    int16_t index;
    int16_t cell_count;
    int16_t row_count;
    int16_t hpadding;
    int16_t vpadding;
    bool horizontal;
} kr_uigridlayout_st;

typedef struct {
    kr_bounding_box_st bb;
    int16_t h_padding;
    int16_t v_padding;
    const char *str;
    uint8_t row_count;
    uint8_t index;
    bool horizontal;
} kr_uistrlayout_st;

typedef struct {
    const char *str;
} kr_uilist_entry_st;

typedef struct {
    kr_uilist_entry_st super;
    const kr_uimedia_st *bitmap;
} kr_uimedialist_entry_st;

typedef struct kr_uilist_st {
    kr_uiobject_st super;
    kr_vector_st entries;
    int16_t selected_index;
    bool clicked;
    uint8_t clicked_index;
    color_t bg_c;
    color_t text_c;
    const ui_font_st *font;
    void (*draw_entry)(struct kr_uilist_st *me, const kr_uilist_entry_st *entry, bool selected,
                       const kr_bounding_box_st *bb);
    uint16_t align;
} kr_uilist_st;

typedef kr_uilist_st kr_uimedialist_st;

/* Frame window. */
void kr_uiframewindow_init(kr_uiframewindow_st *me, kr_uiobject_st **obj_array, const kr_uistyle_st *style);
void kr_uiframewindow_set_title(kr_uiframewindow_st *me, const char *title);
kr_bounding_box_st kr_uiframewindow_get_content_bb(kr_uiframewindow_st *me);
void kr_uiframewindow_clear(kr_uiframewindow_st *me);

/* Tab window. */
void kr_uitabwindow_init(kr_uitabwindow_st *me, uint16_t tab_count, const kr_uistyle_st *style,
                         kr_uiobject_st **obj_array, const void *tab_names);
kr_bounding_box_st kr_uitabwindow_get_contentbb(kr_uitabwindow_st *me);
void kr_uitabwindow_clear(kr_uitabwindow_st *me);
const char *kr_uitabwindow_tab_name(const kr_uitabwindow_st *me, uint16_t index);

/* Tree. */
void kr_uitreeview_init(kr_uitreeview_st *me, kr_uiobject_st **obj_array, const kr_uistyle_st *style);
void kr_uitreeobject_init(kr_uitreeobject_st *me, kr_uiobject_st **obj_array, const char *name,
                          void (*show_callb)(kr_uitreeobject_st *me), const kr_uistyle_st *style);
void kr_uitreeobject_set_font(kr_uitreeobject_st *me, const ui_font_st *font);
kr_bounding_box_st kr_uitreeobject_get_content_bb(kr_uitreeobject_st *me);
void kr_uitreeobject_clear(kr_uitreeobject_st *me);
bool kr_uitreeobject_is(const kr_uiobject_st *o);
void kr_uitreeview_add(kr_uiwindow_st *container, kr_uitreeobject_st *obj, int16_t content_h, bool open);
void kr_uitreeview_open(kr_uiwindow_st *container, kr_uitreeobject_st *obj);
void kr_uitreeview_close(kr_uiwindow_st *container, kr_uitreeobject_st *obj);
void kr_uitreeview_set_oneactive(kr_uiwindow_st *container, bool value);

/* Layouts. */
void kr_uigridlayout_init(kr_uigridlayout_st *me, int16_t x, int16_t y, int16_t width, int16_t height,
                          int16_t column_count, int16_t row_count);
kr_bounding_box_st kr_uigridlayout_next(kr_uigridlayout_st *me);
void kr_uistrlayout_init(kr_uistrlayout_st *me, const char *str, int16_t x, int16_t y, int16_t width, int16_t height,
                         int16_t hpadding, int16_t vpadding);
kr_bounding_box_st kr_uistrlayout_find(kr_uistrlayout_st *me, const char *name);
kr_bounding_box_st kr_uistrlayout_find_next(kr_uistrlayout_st *me, const char *name);
kr_bounding_box_st kr_uistrlayout_next(kr_uistrlayout_st *me);
bool kr_uistrlayout_contains(kr_uistrlayout_st *me, const char *name);
void kr_uistrlayout_set_margin(kr_uistrlayout_st *me, int16_t hmargin, int16_t vmargin);

/* Lists. */
void kr_uilist_init(kr_uilist_st *me, void *buffer, uint16_t buffer_len, const kr_uistyle_st *style);
void kr_uilist_push_back(kr_uilist_st *me, const void *entry);
void kr_uilist_insert(kr_uilist_st *me, uint16_t index, const char *str);
void kr_uilist_remove(kr_uilist_st *me, uint16_t index);
void kr_uilist_pop_back(kr_uilist_st *me, void *dest);
void kr_uilist_clear(kr_uilist_st *me);
void kr_uilist_recalc_height(kr_uilist_st *me);
void kr_uilist_select(kr_uilist_st *me, int16_t index);
kr_uiobject_ret_e kr_uilist_step(kr_uiobject_st *me, uint16_t step_ms);
void kr_uimedialist_init(kr_uimedialist_st *me, void *buffer, uint16_t buffer_len, const kr_uistyle_st *style);

#ifdef __cplusplus
}
#endif

#endif
