/* The toolkit's object model: the base of every widget and the window container (children,
 * drawing and clipping, touch dispatch, scrolling, scrollbars, keyboard focus, the step walk).
 * Records are caller-owned, zero-filled before their first init. */
#ifndef KR_UIOBJECT_H
#define KR_UIOBJECT_H

#include <stdbool.h>
#include <stdint.h>

#include "kr_ui.h"

#ifdef __cplusplus
extern "C" {
#endif

struct kr_uiwindow_st;
struct kr_uitransition_st;

typedef struct kr_uiobject_st {
    kr_bounding_box_st bb; /* relative to the parent's content origin */
    struct kr_uiwindow_st *parent;
    kr_uiobject_ret_e (*step_callb)(struct kr_uiobject_st *me, uint16_t step_ms);
    void (*vrtl_draw)(struct kr_uiobject_st *me, const kr_bounding_box_st *pbb);
    void (*vrtl_touch)(struct kr_uiobject_st *me, kr_touch_st *touch);
    bool visible;
    bool refresh;
    bool enabled;
    struct kr_uitransition_st *transition;
    bool enablefocus;
    bool focused;
    bool is_window;
} kr_uiobject_st;

typedef struct kr_uiwindow_st {
    kr_uiobject_st super;
    kr_bounding_box_st content_bb; /* x, y: scroll offset (0 or negative); w, h: content size */
    int16_t content_bb_xdef;
    int16_t content_bb_ydef;
    bool content_autogrow;
    kr_uiobject_st **objects; /* caller-sized */
    uint16_t objects_count;
    bool dragging;
    bool transparent;
    color_t bg_c;
    color_t handle_c;
    void *user_ptr;
    kr_uiobject_ret_e (*app_step_callb)(void *user_ptr, uint16_t step_ms);
} kr_uiwindow_st;

typedef struct {
    kr_uiobject_st *first;
    kr_uiobject_st *last;
    kr_uiobject_st *current;
    kr_uiobject_st *next;
    kr_uiobject_st *prev;
    bool passed_current;
} uiwindow_focus_st;

/* Object base. */
void kr_uiobject_init(kr_uiobject_st *me);
void kr_uiobject_set_visible(kr_uiobject_st *me, bool value);
void kr_ui_hide(kr_uiobject_st *me);
kr_uiobject_ret_e kr_uiobject_step(kr_uiobject_st *me, uint16_t step_ms);
void kr_ui_refresh(kr_uiobject_st *me);
void kr_ui_refresh_parent(kr_uiobject_st *me);
void kr_ui_set_enabled(kr_uiobject_st *me, bool enabled);
int32_t kr_ui_get_xglobal(const kr_uiobject_st *me);
int32_t kr_ui_get_yglobal(const kr_uiobject_st *me);
void kr_bounding_box_init(kr_bounding_box_st *bb, int16_t x, int16_t y, int16_t width, int16_t height);
void kr_bb_set_marging(kr_bounding_box_st *bb, int16_t hmargin, int16_t vmargin);
void kr_uiobject_draw_focus(int32_t x, int32_t y, int32_t w, int32_t h, color_t color);
bool _kr_uiobject_draw(kr_uiobject_st *me, const kr_bounding_box_st *pbb);

/* Window. */
void kr_uiwindow_init(kr_uiwindow_st *me, kr_uiobject_st **objects, const kr_uistyle_st *style);
void kr_uiwindow_add(kr_uiwindow_st *me, kr_uiobject_st *object, kr_bounding_box_st bb);
void kr_uiwindow_addxy(kr_uiwindow_st *me, kr_uiobject_st *object, int16_t x, int16_t y, int16_t width, int16_t height);
void kr_uiwindow_remove(kr_uiwindow_st *me, kr_uiobject_st *object);
void kr_uiwindow_send_to_back(kr_uiwindow_st *me, kr_uiobject_st *object);
void kr_uiwindow_clear(kr_uiwindow_st *me);
void kr_uiwindow_set_stepcallback(kr_uiwindow_st *me, kr_uiobject_ret_e (*callback)(void *user_ptr, uint16_t step_ms),
                                  void *user_ptr);
void kr_uiwindow_set_transparent(kr_uiwindow_st *me, bool value);
void kr_uiwindow_set_content_autogrow(kr_uiwindow_st *me, bool value);
void kr_uiwindow_set_content_bb_default_pos(kr_uiwindow_st *me, int16_t x, int16_t y);
void kr_uiwindow_set_contentbb(kr_uiwindow_st *me, int16_t width, int16_t height);
kr_bounding_box_st kr_uiwindow_get_contentbb(kr_uiwindow_st *me);
void kr_uiwindow_content_move(kr_uiwindow_st *me, int32_t dx, int32_t dy);
void kr_uiwindow_content_move_to(kr_uiwindow_st *me, int32_t x, int32_t y);
void kr_uiwindow_set_enabled(kr_uiwindow_st *me, bool enabled);
void kr_uiwindow_set_focus(kr_uiobject_st *object);
void kr_uiwindow_clear_focus(kr_uiwindow_st *window);
bool kr_uiwindow_focus_next(kr_uiwindow_st *window);
bool kr_uiwindow_focus_prev(kr_uiwindow_st *window);
kr_uiobject_ret_e kr_uiwindow_step(kr_uiobject_st *me, uint16_t step_ms);
void _kr_uiwindow_draw(kr_uiobject_st *me, const kr_bounding_box_st *pbb);
void _kr_uiwindow_touch(kr_uiobject_st *me, kr_touch_st *touch);
void kr_uiwindow_draw(kr_uiwindow_st *me, const kr_bounding_box_st *pbb);
void _kr_uiwindow_draw_children(kr_uiwindow_st *me, const kr_bounding_box_st *pbb);
void kr_uiwindow_draw_scrollbars(kr_uiwindow_st *me, const kr_bounding_box_st *pbb);

#ifdef __cplusplus
}
#endif

#endif
