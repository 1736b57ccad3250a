/* The krcan tool's state record `dev`, the job queue and the output helpers shared by the jobs. Each
 * subject's record in `dev` is declared in the subject's own header.
 * Valid C11 and C++. */
#ifndef MAIN_H
#define MAIN_H

#include <stdarg.h>
#include <stdbool.h>
#include <stdint.h>
#include <stdio.h>

#include "kr_can.h"
#include "kr_canopen.h"
#include "kr_rtos.h"
#include "kr_utilities.h"
#include "run/limits.h"
#include "bus/listen.h"
#include "bus/sdo.h"
#include "database/db.h"
#include "database/export.h"
#include "firmware/firmware_loader.h"
#include "firmware/media.h"
#include "params/loadparam.h"
#include "params/saveparam.h"
#include "system/system.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The console colours: only the run model and its output macros use them. */
#define PRINT_RESET "\033[0m"
#define PRINT_BLACK "\033[30m"
#define PRINT_RED "\033[31m"
#define PRINT_GREEN "\033[32m"
#define PRINT_YELLOW "\033[33m"
#define PRINT_BLUE "\033[34m"
#define PRINT_MAGENTA "\033[35m"
#define PRINT_CYAN "\033[36m"
#define PRINT_WHITE "\033[37m"
#define PRINT_BOLD "\033[1m"
#define PRINT_BOLDBLACK "\033[1m\033[30m"
#define PRINT_BOLDRED "\033[1m\033[31m"
#define PRINT_BOLDGREEN "\033[1m\033[32m"
#define PRINT_BOLDYELLOW "\033[1m\033[33m"
#define PRINT_BOLDBLUE "\033[1m\033[34m"
#define PRINT_BOLDMAGENTA "\033[1m\033[35m"
#define PRINT_BOLDCYAN "\033[1m\033[36m"
#define PRINT_BOLDWHITE "\033[1m\033[37m"

/* Progress and diagnostics: standard error, only while not silent. */
#define PRINT(...)                        \
    do {                                  \
        if (!silent) {                    \
            fprintf(stderr, __VA_ARGS__); \
        }                                 \
    } while (0)

/* ---- Job queue ---- */
typedef struct {
    kr_mutex_st mutex;
    void (*step)(void *app); /* receives `dev` */
} task_st;

/* ---- The tool's state ---- */
struct _dev_st {
    char can_channel[KR_CAN_DEV_NAME_LEN];
    uint32_t baudrate;
    char srcdest[DEV_PATH_LEN];
    char incdest[DEV_PATH_LEN];
    task_st task_buffer[TASKS_LEN];
    kr_vector_st tasks;
    load_st load;
    listen_st listen;
    db_st db;
    export_st export_;
    loadmedia_st loadmedia;
    sdo_st sdo;
    loadparam_st loadparam;
    saveparam_st saveparam;
    system_st system;
    kr_data_start_t data_start; /* data_start and data_end form the 32-byte settings record */
    kr_data_end_t data_end;
    char **nonopt_argv;
    uint32_t argv_count;
    int32_t argc;
    char **argv;
};

extern struct _dev_st dev;

/* The tool's own node has no application objects. */
extern const canopen_object_st obj_dict[];
uint32_t obj_dict_len(void);

void init(struct _dev_st *d);
/* Queues a job. False (with a message) when the queue is full: the command is refused. The job keeps
 * the CAN interface and baud rate that stand now: it runs on that bus. */
bool add_task(void (*step)(void *app));
void task_step(void *task);
void step(void *app);
/* The entry point's body; src/run/main.cpp calls it. */
int krcan_main(int argc, char **argv);
/* The one point where the whole command line is accepted, before any command runs: whole option
 * names only, every required value present (an option name is no value), every number, value and
 * node-id postfix readable, every loose word taken by exactly one command. False, with the reason
 * said, refuses the line and nothing runs. Also stores the loose words in dev. */
bool cmdline_accept(int argc, char **argv);
/* Then each option's callback in command-line order; false when one refused (said, nothing queued
 * runs and no lasting effect of an earlier one happens, see cmdline_when_accepted). With help on the
 * line only help runs. */
bool cmdline_run(int argc, char **argv);
bool cmdline_help_asked(void);
/* Its parts: standard output line-buffered when not a terminal; after parsing, one task per queued
 * job and "Step", the library start-up and the scheduler (the run ends inside). */
void main_setup_output(void);
/* /dev/null on each of descriptors 0-2 that is closed; first thing of the run. */
void main_open_std_fds(void);
int main_start_run(void);

/* Any job or command that fails sets this; the run then ends with status 1. */
void main_set_run_failed(void);
bool main_run_failed(void);

/* ---- Output ---- */
extern bool log_line_live;

void log_printf(const char *format, ...) __attribute__((format(printf, 1, 2)));
void log_end(void);
/* A message on standard output, flushed at once (a job's progress reaches the log as it happens). */
void say_flushed(const char *format, ...) __attribute__((format(printf, 1, 2)));
/* The one road for failures and warnings. Each ends an open progress line first, prints flushed on
 * standard output whatever silent says, and only these (and the run model itself) fail the run.
 *
 * A job's error, in bold red; the run fails, so no error is shown on a run that then ends with
 * status 0. What a job passes over is a warning. */
void job_error(const char *format, ...) __attribute__((format(printf, 1, 2)));
void vjob_error(const char *format, va_list ap);
/* The same for a fixed uncoloured text: printed as it stands, the run fails. */
void job_error_plain(const char *format, ...) __attribute__((format(printf, 1, 2)));
/* The same on standard error, for the texts that go there (a failed SDO read). */
void job_error_plain_stderr(const char *format, ...) __attribute__((format(printf, 1, 2)));
/* A job error in bold red on standard error, for an error the console must hear while standard
 * output is not the console's (the window's log capture). */
void job_error_stderr(const char *format, ...) __attribute__((format(printf, 1, 2)));
/* A failure already told to the user another way (a dialog, the device's own answer): the run fails,
 * nothing is printed. */
void job_failed(void);
/* How many job errors the run has printed: a step that printed one has failed. */
unsigned job_error_count(void);
/* The text of error `number` (counted from 0) while it is one of the last four, else "". */
const char *job_error_text(unsigned number);
/* A warning: bold yellow; the run goes on. */
void job_warning(const char *format, ...) __attribute__((format(printf, 1, 2)));
void vjob_warning(const char *format, va_list ap);
/* A cause line under an error, warning or question (an SDO abort code, why esptool or a terminal
 * frame failed), in bold red: the caller's own line says what became of the job. */
void job_cause(const char *format, ...) __attribute__((format(printf, 1, 2)));
void vjob_cause(const char *format, va_list ap);
/* The cause line of the SDO transfer that just failed, as job_cause: "  SDO transfer failed: " and the
 * client's own reason when the failure was ours, else the SDO error line of LOG_SDO_ERROR. */
void job_sdo_cause(void);
/* A progress note of a job: standard error, flushed, only while not silent; an open progress line is
 * ended first. It neither fails nor warns. */
void job_note(const char *format, ...) __attribute__((format(printf, 1, 2)));
/* A step that came right in the end, on a line of its own: the text in green, then " OK" as LOG_OK. */
void log_ok_line(const char *format, ...) __attribute__((format(printf, 1, 2)));
/* A success worth noticing (an update installed), in bold green; ends an open progress line. */
void say_success(const char *format, ...) __attribute__((format(printf, 1, 2)));
void log_ok(void);
/* A colour sequence for out: itself on a terminal and in the window's log, "" in a pipe or a file. */
const char *console_colour(FILE *out, const char *colour);
/* Bold for the help's marks: the escapes on a terminal, "" when standard output is none. */
const char *bold_on(void);
const char *bold_off(void);

/* The cause line of the SDO transfer that just failed, on standard output: the client's own reason
 * when the failure was ours (lost port, stopped own node, another client on the node, a cancel),
 * else the device's abort code with its text. */
void print_sdo_failure(void);
/* The same line without its line end, in dest. */
const char *sdo_failure_text(char *dest, size_t dest_len);

#define LOG(...) log_printf(__VA_ARGS__)
#define LOG_END() log_end()
#define LOG_OK() log_ok()
/* Needs the SDO client's header where it is used. */
#define LOG_SDO_ERROR()                                                                   \
    do {                                                                                  \
        job_cause("  SDO error 0x%08x: %s\n", (unsigned)_kr_canopen_sdo_get_error_code(), \
                  kr_canopen_sdo_error_code_to_str(_kr_canopen_sdo_get_error_code()));    \
    } while (0)
#define PROMPT(...)                                         \
    do {                                                    \
        log_end();                                          \
        fputs(console_colour(stderr, PRINT_BOLD), stderr);  \
        fprintf(stderr, __VA_ARGS__);                       \
        fputs(console_colour(stderr, PRINT_RESET), stderr); \
        fflush(stderr);                                     \
    } while (0)
#define PROMPTSTR(text) PROMPT("%s", (text))

#ifdef __cplusplus
}

#include <functional>

/* A lasting effect of a command (a file written, a request sent): while the command line is walked it
 * waits until every later command has accepted the line too, and then runs in command-line order; a
 * refused line drops it. Outside the walk it runs at once. */
void cmdline_when_accepted(std::function<void()> effect);
#endif

#endif
