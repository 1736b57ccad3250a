/* Device-selection dialogs. */
#ifndef DEVSEL_H
#define DEVSEL_H

#include <stdbool.h>
#include <stdint.h>

#include "run/main.h"
#include "ui/kr_uiobject.h"

#ifdef __cplusplus
extern "C" {
#endif

/* None when the device can be chosen, else a short reason. */
typedef const char *(*devsel_reason_t)(const device_st *device);

uint8_t devsel_win_exec(system_st *system, const char *title, const char *accept_text, devsel_reason_t reason_callb,
                        device_st **targets, uint8_t max_count, const kr_uistyle_st *style);
bool devsel_win_exec_single(system_st *system, const char *title, const char *info, const char *accept_text,
                            devsel_reason_t reason_callb, const char *extra_text, device_st **target,
                            const kr_uistyle_st *style);
uint8_t devsel_exec(system_st *system, const char *title, const char *info, const char *accept_text,
                    devsel_reason_t reason_callb, const char *extra_text, device_st **targets, uint8_t max_count,
                    bool single, const kr_uistyle_st *style);

#ifdef __cplusplus
}
#endif

#endif
