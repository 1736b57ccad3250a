/* What the kernel layer needs from the library start-up: the application hooks. */
#ifndef KR_RTOS_PORT_H
#define KR_RTOS_PORT_H

#include "kr_rtos.h"

#ifdef __cplusplus
extern "C" {
#endif

void vApplicationIdleHook(void);
void vApplicationTickHook(void);
void vApplicationMallocFailedHook(void);
void vApplicationStackOverflowHook(kr_rtos_task_handle_t task, char *name);
bool kr_rtos_tick_task_set(void);

#ifdef __cplusplus
}
#endif

#endif
