/* Device tabs and the Overview tab of the main window. */
#ifndef DEVICETAB_H
#define DEVICETAB_H

#include <stdbool.h>
#include <stddef.h>

#include "run/main.h"
#include "ui/kr_uicontainers.h"

#ifdef __cplusplus
extern "C" {
#endif

void devicetab_show_device(kr_uitabwindow_st *tabwindow, device_st *device);
void devicetab_show_system(kr_uitabwindow_st *tabwindow, system_st *system);
bool devicetab_step(void);
bool devicetab_is_busy(void);
bool devicetab_poll_device_removed(void);

/* Why a device cannot receive a flash / take the system load; null when it can. */
const char *devicetab_flashtarget_reason(const device_st *device);
const char *devicetab_sysload_reason(const device_st *device);
/* Appends ".json" when the file name has no extension and the result fits `size`. */
void devicetab_param_file_default_ext(char *path, size_t size);

/* For a close request: cancels a flash that waits for its device to power on and a running parameter
 * load; true when something was cancelled. Other jobs run to their end. */
bool devicetab_cancel_for_close(void);

#ifdef __cplusplus
}
#endif

#endif
