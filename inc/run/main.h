/* The krcan tool's state record `dev`, the job queue and the output helpers shared by the jobs.
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

#ifdef __cplusplus
extern "C" {
#endif

#define TASKS_LEN 5
#define DEV_PATH_LEN 1024

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

/* ---- Device database (db_st and its records) ---- */
#define DB_OBJ_MAX_COUNT 512
#define DB_EMCY_MAX_COUNT 128
#define DB_DEFINE_MAX_COUNT 128
#define DB_PDO_MAX_COUNT 128
#define DB_REVNOTE_MAX_COUNT 16
#define DB_REVNOTE_MAX_NOTES 8
#define DB_REVNOTE_MAX_LEN 256
#define DB_INCLUDE_MAX_COUNT 128
#define DB_INCLUDE_MAX_LEN 128
#define DB_EMCY_INFO_COUNT 8

typedef enum { DBVALUE_INT = 0, DBVALUE_STRING = 1 } dbvalue_type_e;

typedef struct {
    dbvalue_type_e type;
    int32_t value_int;
    char *value_str; /* owned when type is DBVALUE_STRING */
    int64_t value_exact; /* the number as written, sign and all; value_int holds its low 32 bits */
} dbvalue_st;

typedef enum { DB_OBJ_NUMSYS_DEC = 0, DB_OBJ_NUMSYS_HEX = 1 } db_obj_numsys_e;

typedef enum {
    DB_OBJ_TYPE_UNDEFINED = 0,
    DB_OBJ_TYPE_IF_VERSION = 1,
    DB_OBJ_TYPE_NONVOL_PARAM = 2,
    DB_OBJ_TYPE_OPDB = 3,
    DB_OBJ_TYPE_OP_COUNT = 4,
    DB_OBJ_TYPE_CURRENT_OP = 5,
    DB_OBJ_TYPE_EMCY = 6,
    DB_OBJ_TYPE_COUNT = 7
} db_obj_type_e;

typedef struct db_array_child_st {
    dbvalue_st name;
    dbvalue_st min;
    dbvalue_st max;
    dbvalue_st def;
    db_obj_numsys_e numsys;
    struct db_array_child_st *next_sibling;
} db_array_child_st;

typedef struct {
    dbvalue_st name;
    canopen_object_st obj;
    dbvalue_st dataptr;
    char type_str[32];
    db_obj_type_e obj_type;
    db_obj_numsys_e numsys;
    dbvalue_st value;
    dbvalue_st def;
    dbvalue_st min;
    dbvalue_st max;
    db_array_child_st *child_ptr;
    dbvalue_st array_max_size;
    dbvalue_st string_len;
    dbvalue_st string_def;
} db_obj_st;

typedef struct {
    uint32_t revision;
    char notes[DB_REVNOTE_MAX_NOTES][DB_REVNOTE_MAX_LEN];
    uint8_t note_count;
} db_revnote_st;

typedef enum { DB_DEFINE_INT = 0, DB_DEFINE_ENUM = 1, DB_DEFINE_STRING = 2 } db_define_types_e;

typedef struct {
    char name[124];
    db_define_types_e type;
    int64_t value;              /* DB_DEFINE_INT, as written (-2^31 .. 2^32-1) */
    char (*childs)[128];        /* DB_DEFINE_ENUM: owned table of names */
    canopen_object_type_e data_type;
    int32_t child_count;
    char str[1024];             /* DB_DEFINE_STRING */
} db_define_st;

typedef struct {
    char name[124];
    char info_strs[DB_EMCY_INFO_COUNT][128];
    int32_t value;
} db_emcy_st;

typedef struct {
    char cobid[128];
    uint32_t transmission;
    canopen_pdo_mapping_parameter_st mappings;
} db_rxpdo_st;

typedef struct {
    char cobid[128];
    uint32_t transmission;
    int32_t inhibit_time;
    uint32_t event_timer;
    canopen_pdo_mapping_parameter_st mappings;
} db_txpdo_st;

typedef struct {
    db_obj_st objects_buffer[DB_OBJ_MAX_COUNT];
    kr_vector_st objects;
    uint8_t node_id;
    char dev_name[128];
    char dev_name_upper[128];
    char filepath[128];
    char basepath[128];
    char includes[DB_INCLUDE_MAX_COUNT][DB_INCLUDE_MAX_LEN];
    uint16_t include_count;
    db_emcy_st emcys_buffer[DB_EMCY_MAX_COUNT];
    kr_vector_st emcys;
    uint16_t emcys_index;
    db_define_st defines_buffer[DB_DEFINE_MAX_COUNT];
    kr_vector_st defines;
    db_rxpdo_st rxpdo_buffer[DB_PDO_MAX_COUNT];
    kr_vector_st rxpdos;
    db_txpdo_st txpdo_buffer[DB_PDO_MAX_COUNT];
    kr_vector_st txpdos;
    uint32_t vendor_id;
    uint32_t product_code;
    uint32_t revision_number;
    db_revnote_st revnotes_buffer[DB_REVNOTE_MAX_COUNT];
    kr_vector_st revnotes;
} db_st;

/* ---- System model ---- */
#define SYSTEM_MAX_DEVICES 20

typedef enum {
    DEV_STATE_OFFLINE = 0,
    DEV_STATE_BOOTUP = 1,
    DEV_STATE_PREOP = 2,
    DEV_STATE_OP = 3
} dev_state_e;

typedef struct {
    char filepath[DEV_PATH_LEN];
    char name[128];
    char devname[64];
    uint8_t nodeid;
    uint8_t default_nodeid;
    uint32_t revision;
    uint32_t dev_revision;
    uint16_t if_version_mindex;
    uint8_t if_version_sindex;
    uint8_t if_version_size;
    char conf_version[64];
    uint32_t vendor_id;
    uint32_t product_code;
    uint32_t sw_version;
    bool sw_version_tried;
    bool devname_tried;
    dev_state_e state;
    bool loaded;
    bool has_media;
    bool has_esp32;
    bool thirdparty;
    char param_file[DEV_PATH_LEN];
} device_st;

typedef struct {
    char krdev[128];
    char devname[64];
    uint8_t nodeid;
    char version[64];
} sysfile_dev_st;

typedef struct {
    char filepath[DEV_PATH_LEN];
    char name[128];
    bool loaded;
    char extract_dir[DEV_PATH_LEN];
    char date[32];
    sysfile_dev_st sysfile_devs[SYSTEM_MAX_DEVICES];
    uint8_t sysfile_dev_count;
    device_st devs[SYSTEM_MAX_DEVICES];
    uint8_t dev_count;
    uint8_t last_cmdline_dev; /* 1-based; 0 = none */
    bool forced_nodeid_set;
    uint8_t forced_nodeid;
    bool forcenodeid;
} system_st;

typedef struct {
    uint8_t nodeids[SYSTEM_MAX_DEVICES];
    uint8_t count;
    uint8_t db_nodeid;
    bool db_nodeid_set;
    bool db_nodeid_forced;
    bool forced_nodeid_set;
    uint8_t forced_nodeid;
    bool forcenodeid;
} system_nodeids_st;

/* ---- Command families ---- */
typedef struct {
    char firmware[256];
    kr_delay_st delay;
    bool response;
    bool wfr;
    bool kr;
    bool block_transfer;
    uint8_t nodeid;
    uint8_t progress;
    bool finished;
    volatile bool cancel;
    volatile bool waiting;
    bool wait_forever;
    bool success;
    char dispatch_arg[DEV_PATH_LEN];
    bool dispatch_wfr;
    bool dispatch_kr;
    bool dispatch_block;
    system_nodeids_st dispatch_nodeids;
} load_st;

typedef struct {
    uint32_t time; /* ms; 0xFFFFFFFF = without end */
} listen_st;

typedef struct {
    uint8_t _unused; /* the C export keeps no state; C has no empty structs */
} export_st;

typedef struct {
    char file[DEV_PATH_LEN];
    system_nodeids_st nodeids;
} loadmedia_st;

typedef struct {
    uint16_t mindex;
    uint8_t sindex;
    uint32_t datalen;
    int32_t value;
    const char *str; /* into the command line, or null */
    bool is_str;
} sdo_st;

#define LOADPARAM_FILES_MAX 64
#define LOADPARAM_FILE_LEN 256
#define LOADPARAM_FILTER_MAX 32
#define LOADPARAM_QUERIES_MAX 20
#define LOADPARAM_MODIFIED_MAX 127

typedef struct {
    char name[64];
    char question[128];
    char answers[6][64];
    uint8_t answer_count;
    uint8_t correct_answer;
} query_st;

typedef struct {
    char files[LOADPARAM_FILES_MAX][LOADPARAM_FILE_LEN];
    uint32_t current_file;
    uint8_t nodeid_filter[LOADPARAM_FILES_MAX][LOADPARAM_FILTER_MAX];
    uint8_t nodeid_filter_count[LOADPARAM_FILES_MAX];
    bool nodeid_filter_matched;
    char dispatch_arg[DEV_PATH_LEN];
    system_nodeids_st dispatch_nodeids;
    query_st queries_buffer[LOADPARAM_QUERIES_MAX];
    kr_vector_st queries;
    bool keep_queries;
    uint8_t modified_dev_nodeids[LOADPARAM_MODIFIED_MAX];
    uint32_t dev_count;
    uint32_t file_dev_count;
    bool sys_load_mode;
    bool finished;
    bool success;
    bool file_invalid;
    bool force_continue;
    bool skip_file;
} loadparam_st;

typedef struct {
    char file[256];
    bool finished;
    bool all;
} saveparam_st;

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
/* A success worth noticing (an update installed), in bold green; ends an open progress line. */
void say_success(const char *format, ...) __attribute__((format(printf, 1, 2)));
void log_ok(void);
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
#define LOG_SDO_ERROR()                                                                         \
    do {                                                                                        \
        job_cause("  SDO error 0x%08x: %s\n", (unsigned)_kr_canopen_sdo_get_error_code(),        \
                    kr_canopen_sdo_error_code_to_str(_kr_canopen_sdo_get_error_code()));        \
    } while (0)
#define PROMPT(...)                           \
    do {                                      \
        fprintf(stderr, PRINT_BOLD);          \
        fprintf(stderr, __VA_ARGS__);         \
        fprintf(stderr, PRINT_RESET);         \
        fflush(stderr);                       \
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
