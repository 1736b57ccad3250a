/* The RTOS wrapper: tasks, time, mutexes, queues, critical sections, and the library start-up.
 * On Linux each task is a host thread, but exactly one task runs at a time (a run token passes
 * at RTOS calls). Blocking host calls run inside a blocking section so the others keep running. */
#ifndef KR_RTOS_H
#define KR_RTOS_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "kr_errors.h"

#ifdef __cplusplus
extern "C" {
#endif

#define CONFIG_HAL_STEP_MS 2
#define KR_RTOS_MAX_PRIORITY 6
#define KR_RTOS_MAX_TASK_NAME_LEN 11
#define KR_RTOS_STACK_BUDGET 52428800u
#define KR_RTOS_WAIT_FOREVER 0xFFFFFFFFu

#define KR_RTOS_PASS 1 /* kernel result of a successful create */
#define KR_RTOS_FAIL 0

typedef void (*kr_rtos_task_function_t)(void *this_ptr);
typedef struct kr_rtos_task *kr_rtos_task_handle_t;
typedef struct kr_rtos_sem *kr_mutex_st;
typedef struct kr_rtos_queue *kr_queue_st;

/* Tasks and time. */
int32_t kr_rtos_task_create(kr_rtos_task_function_t task_function, const char *task_name, uint32_t stack_depth,
                            void *this_ptr, uint32_t task_priority, kr_rtos_task_handle_t *handle);
void kr_rtos_task_delete(kr_rtos_task_handle_t task); /* null deletes the calling task (does not return) */
void kr_rtos_task_delay(uint32_t ms);
void kr_rtos_task_delay_until(uint32_t *previous_wake, uint32_t period_ms);
void kr_rtos_yield(void); /* with nothing else ready, waits for the next tick */
uint32_t kr_rtos_get_tick_count(void);
kr_rtos_task_handle_t kr_rtos_current_task(void);
const char *kr_rtos_task_name(kr_rtos_task_handle_t task);
uint32_t kr_rtos_task_priority(kr_rtos_task_handle_t task);
void kr_rtos_start_scheduler(void);
bool kr_rtos_scheduler_running(void);
kr_errors_e kr_rtos_add_idle_task(void (*task_function)(void *app, uint32_t step_ms));
bool kr_rtos_idle_task_set(void);
kr_errors_e kr_rtos_add_tick_task(void (*task_function)(void *app, uint32_t step_ms));
/* Tests in one process that run no scheduler: the tick count stops and moves only by
 * kr_rtos_test_clock_advance, so a test moves time on instead of sleeping through it. Back on the
 * host clock, time goes on from where it was moved to. False while the scheduler runs. */
bool kr_rtos_test_clock_manual(bool manual);
void kr_rtos_test_clock_advance(uint32_t ms);

/* Critical sections hold the run token; they nest. */
void kr_rtos_enter_critical(void);
void kr_rtos_exit_critical(void);

/* Blocking section: hands the run token on around a blocking host call (stdin, child process,
 * socket) and takes it back afterwards. Outside the scheduler both are no-ops. */
void kr_rtos_blocking_enter(void);
void kr_rtos_blocking_leave(void);

/* Binary semaphores. */
kr_mutex_st kr_rtos_sem_create(void); /* starts taken */
bool kr_rtos_sem_take(kr_mutex_st sem, uint32_t wait_ms);
void kr_rtos_sem_give(kr_mutex_st sem);
void kr_rtos_sem_delete(kr_mutex_st sem);

/* Mutexes: binary semaphores that start free. */
static inline void kr_mutex_init(kr_mutex_st *mutex)
{
    *mutex = kr_rtos_sem_create();
    kr_rtos_sem_give(*mutex);
}
static inline bool kr_mutex_lock(kr_mutex_st *mutex) { return kr_rtos_sem_take(*mutex, KR_RTOS_WAIT_FOREVER); }
static inline void kr_mutex_unlock(kr_mutex_st *mutex) { kr_rtos_sem_give(*mutex); }
static inline void kr_mutex_unlock_isr(kr_mutex_st *mutex) { kr_rtos_sem_give(*mutex); }

/* Queues. */
kr_queue_st kr_queue_create(uint32_t length, uint32_t item_size);
void kr_queue_delete(kr_queue_st queue);
kr_errors_e kr_queue_push(kr_queue_st queue, const void *src, uint32_t wait_ms);
kr_errors_e kr_queue_push_isr(kr_queue_st queue, const void *src);
kr_errors_e kr_queue_pop(kr_queue_st queue, void *dest, uint32_t wait_ms);
kr_errors_e kr_queue_pop_isr(kr_queue_st queue, void *dest);
kr_errors_e kr_queue_peek(kr_queue_st queue, void *dest, uint32_t wait_ms);

/* Library start-up and end. */
void kr_init(void *device);
void kr_init_arg(void *device, int argc, char **argv);
void kr_deinit(void); /* tears the display down, when one was started */
void kr_set_deinit_hook(void (*hook)(void));
/* While held, Ctrl-C only asks the holder to stop (kr_signal_requested), so that it can first undo
 * what must not be left half done; a second Ctrl-C ends the process at once. Releasing the hold
 * after a request ends the process as the signal would have. */
void kr_signal_hold(void);
bool kr_signal_requested(void);
void kr_signal_release(void);
/* True once the handler ends the process: its clean-up (stopping a child, say) can let another task
 * finish its job meanwhile, and that task's exit must not take the signal's status from the run. */
bool kr_signal_ending(void);
/* Ctrl-C: kr_init installs the handler; a program that runs outside programs before that (while it
 * reads its command line) installs it earlier. Each cleanup added runs in the handler before the
 * process ends, so it may make async-signal-safe calls only (unlink, kill, waitpid). At most 8.
 * The preamble runs in the handler before its message (a line left open must end first); it too
 * makes async-signal-safe calls only. */
void kr_install_signal_handler(void);
/* The signals whose default ends the process without a crash (SIGINT, SIGTERM, SIGHUP, SIGQUIT, ...):
 * the handler takes each of them; count set to their number. Children get their defaults back. */
const int *kr_ending_signals(unsigned *count);
void kr_add_signal_cleanup(void (*cleanup)(void));
void kr_set_signal_preamble(void (*preamble)(void));
void kr_set_application_ptr(void *ptr);
void *__kr_get_user_ptr(void);
void kr_system_reset(void);
void kr_bootloader_start(void);
void kr_app_restart(void);
void kr_data_reset(void);
void _kr_rtos_hal_reset(void);
void vAssertCalled(const char *file, unsigned line);

/* Platform stubs. */
void kr_stdout_send(const char *str, uint32_t count);
void _kr_stdout_hal_step(uint32_t step_ms);
int outbyte(int c, ...);
int printf_flags(uint32_t flags, const char *format, ...) __attribute__((format(printf, 2, 3)));
void kr_gpio_add_interrupt_callback(void (*callback)(void *app, uint32_t pin));

#ifdef __cplusplus
}

/* Scoped blocking section for C++ callers. */
struct kr_rtos_blocking_section {
    kr_rtos_blocking_section() { kr_rtos_blocking_enter(); }
    ~kr_rtos_blocking_section() { kr_rtos_blocking_leave(); }
    kr_rtos_blocking_section(const kr_rtos_blocking_section &) = delete;
    kr_rtos_blocking_section &operator=(const kr_rtos_blocking_section &) = delete;
};
#endif

#endif
