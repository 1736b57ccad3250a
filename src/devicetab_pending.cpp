// Device tabs are not built yet (their owner deletes this file).
#include "devicetab.h"

void devicetab_show_device(kr_uitabwindow_st *, device_st *) {}
void devicetab_show_system(kr_uitabwindow_st *, system_st *) {}
bool devicetab_step(void) { return false; }
bool devicetab_is_busy(void) { return false; }
bool devicetab_poll_device_removed(void) { return false; }
