/* Fleet tab of the main window. */
#ifndef FLEETTAB_H
#define FLEETTAB_H

#include <stdbool.h>

#include "ui/kr_uicontainers.h"

#ifdef __cplusplus
extern "C" {
#endif

void fleettab_show(kr_uitabwindow_st *tabwin);
bool fleettab_step(void);
void fleettab_set_shown(bool shown);

#ifdef __cplusplus
}

#include "ui/kr_uiwidgets.h"

/* Tests: the tab's state and widgets; null where not built. */
struct fleettab_parts {
    const char *placeholder;
    kr_uitabwindow_st *fleet_tabs;
    uint16_t fleet_tab_count;
    kr_uitabwindow_st *dev_tabs;
    const char *detail;
    kr_uibutton_st *ui_btn;
    kr_uibutton_st *remove_btn;
    kr_uitogglebutton_st *can_toggle;
    kr_uicheckbox_st *std_box, *ext_box, *sdo_box;
    int16_t fleet, device;
};
fleettab_parts fleettab_test_parts(void);
#endif

#endif
