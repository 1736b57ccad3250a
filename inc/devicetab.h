/* Device tabs and the Overview tab of the main window. */
#ifndef DEVICETAB_H
#define DEVICETAB_H

#include <stdbool.h>

#include "main.h"
#include "ui/kr_uicontainers.h"

#ifdef __cplusplus
extern "C" {
#endif

void devicetab_show_device(kr_uitabwindow_st *tabwindow, device_st *device);
void devicetab_show_system(kr_uitabwindow_st *tabwindow, system_st *system);
bool devicetab_step(void);
bool devicetab_is_busy(void);
bool devicetab_poll_device_removed(void);

#ifdef __cplusplus
}
#endif

#endif
