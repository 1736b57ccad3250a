/* Settings tab of the main window. */
#ifndef SETTINGSTAB_H
#define SETTINGSTAB_H

#include <stdbool.h>

#include "ui/kr_uicontainers.h"

#ifdef __cplusplus
extern "C" {
#endif

void settingstab_show(kr_uitabwindow_st *tabwin);
void settingstab_set_shown(bool shown);
void settingstab_step(void);
bool settingstab_is_busy(void);
bool settingstab_account_is_connecting(void);

#ifdef __cplusplus
}
#endif

#endif
