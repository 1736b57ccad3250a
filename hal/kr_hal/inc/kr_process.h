/* Child processes: a program found on PATH, started from an argument vector (never a shell), with
 * its standard descriptors where the caller maps them, every other descriptor closed, default
 * signal handling and no blocked signals. A wait ends when the child ends, never by polling for it.
 * The waits block the calling thread: a task wraps them in a blocking section. Valid C11 and C++. */
#ifndef KR_PROCESS_H
#define KR_PROCESS_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

#define KR_PROCESS_NO_DEADLINE 0xFFFFFFFFu

/* Where one of the child's standard descriptors goes. */
typedef enum {
    KR_PROCESS_INHERIT = 0, /* this process's own */
    KR_PROCESS_DEV_NULL,
    KR_PROCESS_PIPE, /* standard output and error: a pipe the waits read and hand to on_output */
} kr_process_fd_e;

typedef struct {
    kr_process_fd_e stdio[3]; /* standard input, output and error */
    char *const *envp;        /* null: this process's environment */
    /* When the run ends by a signal, the handler kills and reaps the child before any clean-up runs
     * (a clean-up may remove files the child writes). */
    bool stop_at_signal_end;
    /* The child leads a process group of its own, and every stop (a signal's end, kr_process_stop) ends
     * the whole group: what it starts in turn (a serial port's holder, say) does not outlive it. */
    bool own_group;
    /* What the child writes to its pipe, as it comes. */
    void (*on_output)(void *ctx, const char *data, size_t size);
    /* Asked before the wait starts and at least every check_ms while it runs; false ends the wait. */
    bool (*keep_waiting)(void *ctx);
    uint32_t check_ms;
    void *ctx;
} kr_process_options_st;

typedef struct {
    pid_t pid;  /* 0 once reaped */
    int pidfd;  /* -1 where the kernel gives none */
    int out_fd; /* the pipe's read end; -1 once it is closed */
    int status; /* the wait status once reaped; -1 when it could not be had */
    kr_process_options_st options;
} kr_process_st;

typedef enum {
    KR_PROCESS_ENDED,    /* it ended, its pipe was read to the end, and it was reaped */
    KR_PROCESS_DEADLINE, /* still running */
    KR_PROCESS_SIGNAL,   /* a signal asked the run to stop (kr_signal_requested); still running */
    KR_PROCESS_STOPPED,  /* keep_waiting said no; still running */
} kr_process_wait_e;

/* Starts argv[0] with the argument list (null-terminated). 0, or the errno of the failed start
 * (ENOENT: not found on PATH). options null: everything inherited. */
int kr_process_spawn(kr_process_st *process, const char *const argv[], const kr_process_options_st *options);

/* Waits at most timeout_ms (KR_PROCESS_NO_DEADLINE: no bound) for the child's end; with
 * until_signal a held Ctrl-C also ends the wait. */
kr_process_wait_e kr_process_wait(kr_process_st *process, uint32_t timeout_ms, bool until_signal);

/* Asks the child to end (SIGTERM), kills it after grace_ms (0: at once) and reaps it; with own_group
 * the same for its whole group, whose other members get what is left of the grace after the child ends. */
void kr_process_stop(kr_process_st *process, uint32_t grace_ms);

#ifdef __cplusplus
}
#endif

#endif
