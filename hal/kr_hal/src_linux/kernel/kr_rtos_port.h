/* What the kernel layer's files need from each other: the application hooks of the library
 * start-up, and the Ctrl-C handler's side of the child processes. */
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
/* Readable once a held Ctrl-C was asked for (kr_signal_requested); -1 before the handler is installed. */
int kr_signal_wake_fd(void);
/* In the handler, before the clean-ups: kills and reaps the children started to be stopped at a
 * signal's end. Async-signal-safe. */
void kr_process_signal_end(void);

#ifdef __cplusplus
}
#endif

#endif
