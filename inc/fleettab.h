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
#endif

#endif
