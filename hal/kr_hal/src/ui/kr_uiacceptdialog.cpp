// The accept dialog: an information text over two buttons.
#include "ui/kr_uiacceptdialog.h"

#include <cstring>

#include "ui/kr_uicontainers.h"

namespace {

kr_uiobject_ret_e accept_step(void *p, uint16_t)
{
    kr_uiacceptdialog_st *me = (kr_uiacceptdialog_st *)p;
    if (me->yes_button.state == UIBUTTON_CLICKED) {
        me->ret = UIACCEPTDIALOG_RET_YES;
        return UIOBJECT_RETURN_KILLED;
    }
    if (me->no_button.state == UIBUTTON_CLICKED) {
        me->ret = UIACCEPTDIALOG_RET_NO;
        return UIOBJECT_RETURN_KILLED;
    }
    return UIOBJECT_RETURN_ALIVE;
}

} // namespace

extern "C" {

kr_uiacceptdialog_ret_e kr_uiacceptdialog_exec(kr_uiacceptdialog_st *me, const char *info_str, const char *yes_str,
                                               const char *no_str, const kr_uistyle_st *style)
{
    if (!me) return UIACCEPTDIALOG_RET_NO;
    if (!style) style = &kr_uistyles[0];
    std::memset(me, 0, sizeof *me);
    me->ret = UIACCEPTDIALOG_RET_NO;
    kr_uidialog_init(&me->dialog, me->buffer, style);
    kr_uiwindow_set_stepcallback(&me->dialog.super.super, accept_step, me);
    const kr_bounding_box_st &area = me->dialog.super.super.super.bb;
    kr_uigridlayout_st g;
    kr_uigridlayout_init(&g, area.x, area.y, area.w, area.h, 2, 3);
    kr_bounding_box_st cell = kr_uigridlayout_next(&g);
    cell.w = (int16_t)(cell.w * 2);
    cell.h = (int16_t)(cell.h * 2);
    kr_uilabel_init(&me->info_label, style->font, ALIGN_CENTER, 0xFFFFFFFF, info_str);
    kr_uiwindow_add(&me->dialog.super.super, &me->info_label.super, cell);
    kr_uigridlayout_next(&g);
    kr_uigridlayout_next(&g);
    kr_uigridlayout_next(&g);
    kr_uibutton_init(&me->yes_button, yes_str, style);
    kr_uiwindow_add(&me->dialog.super.super, &me->yes_button.super, kr_uigridlayout_next(&g));
    kr_uibutton_init(&me->no_button, no_str, style);
    kr_uiwindow_add(&me->dialog.super.super, &me->no_button.super, kr_uigridlayout_next(&g));
    kr_uidialog_exec(&me->dialog);
    return me->ret;
}

} // extern "C"
