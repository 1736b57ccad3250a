/* A full-screen modal question with two answers. */
#ifndef KR_UIACCEPTDIALOG_H
#define KR_UIACCEPTDIALOG_H

#include "ui/kr_uidisplay.h"
#include "ui/kr_uiwidgets.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef enum { UIACCEPTDIALOG_RET_NO = 0, UIACCEPTDIALOG_RET_YES = 1 } kr_uiacceptdialog_ret_e;

typedef struct {
    kr_uidialog_st dialog;
    kr_uiobject_st *buffer[4];
    kr_uilabel_st info_label;
    kr_uibutton_st yes_button;
    kr_uibutton_st no_button;
    kr_uiacceptdialog_ret_e ret;
} kr_uiacceptdialog_st;

kr_uiacceptdialog_ret_e kr_uiacceptdialog_exec(kr_uiacceptdialog_st *me, const char *info_str, const char *yes_str,
                                               const char *no_str, const kr_uistyle_st *style);

#ifdef __cplusplus
}
#endif

#endif
