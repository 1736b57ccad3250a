/* Loading parameter files onto devices: the run over the files of one `loadparam` command (queries,
 * node-id lists, version check, operators, store and reset) and the writes of single entries with
 * their SDO wrappers and EMCY suppression. The run state is `dev.loadparam`.
 * Valid C11 and C++. */
#ifndef KRCAN_LOADPARAM_H
#define KRCAN_LOADPARAM_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "kr_canopen.h"
#include "kr_errors.h"
#include "kr_utilities.h"
#include "run/limits.h"
#include "system/system.h"
#include "database/parser.h"

#ifdef __cplusplus
extern "C" {
#endif

#define LOADPARAM_RETRIES 5u
#define LOADPARAM_STR_MAX 0xFFFFu     /* a string value, NUL not counted: the longest the saver reads */
#define LOADPARAM_SWITCH_STR_MAX 127u /* a string taken from a switch array */
#define LOADPARAM_INFO_LEN 128u
#define LOADPARAM_ANSWER_LEN 128u /* an answer line: 127 characters */

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

typedef enum { LOADPARAM_WRITE_SET = 0, LOADPARAM_WRITE_OR = 1 } loadparam_write_e;

typedef struct {
    uint16_t mindex;
    uint8_t sindex;
    canopen_object_type_e type; /* low 3 bits: bytes */
    bool guessed;
} emcy_suppress_st;

/* ---- The run (one command) ---- */
bool cmd_loadparam(const char *arg);
void loadparam_dispatch_step(void *app);
/* False when a slot does not parse (nothing is then written) or the run failed. */
bool loadparam_run_files(const char *primary);
bool loadparam_set_file(uint32_t index, const char *arg);
void loadparam_clear_files(void);
bool loadparam_filter_active(void);
bool loadparam_filter_has(uint8_t nodeid);
void loadparam_filter_str(char *dest, size_t len);
void loadparam_queries_reset(void);
void loadparam_step(void *ptr);
kr_errors_e parse_dev(parser_node_st devnode);
bool loadparam_answer_skips(const char *line);
bool loadparam_load(const char *path);
/* Reads the files, asks their questions and checks every device object in them, writing nothing:
 * false, with the reason told and the run failed, when one of them is not to be loaded. */
bool loadparam_check_files(const char *const *paths, uint32_t count);
/* ---- Whole systems and the window's jobs ---- */
#define LOADPARAM_SYS_MAX SYSTEM_MAX_DEVICES
#define LOADPARAM_BATCH_MAX 32u
#define LOADPARAM_ASYNC_FILE_LEN 1024u

/* Loads the database of the device's package into `dev.db` (its node id forced); false without one. */
bool load_device_db(device_st *device);
/* One run of one file against one device with its own database; sys_mode leaves EMCY, store and reset
 * to the system run. True when the run succeeded. */
bool loadparam_load_device_ex(device_st *device, const char *file, bool sys_mode);
bool loadparam_load_device(device_st *device, const char *file);
/* The nodes the last run wrote (what a system run stores and resets). */
uint32_t loadparam_written_nodes(uint8_t *dest, uint32_t capacity);
void loadparam_sequence_begin(void);
void loadparam_sequence_end(void);
bool loadparam_ask_continue(uint8_t nodeid, uint32_t remaining);
bool loadparam_emcy_suppress_device(device_st *device, uint32_t value, emcy_suppress_st *out);
/* The system run: EMCY off everywhere, each device's file, EMCY back on, one store and reset each.
 * True only when every device with a file was loaded and stored. */
bool loadparam_system(device_st **devices, uint32_t count);
/* The system run over the system model's devices [start, end). */
bool loadparam_devices(uint32_t start, uint32_t end);
bool loadparam_can_if_mismatch(device_st *device, uint32_t *file_if, uint32_t *dev_if);
void loadparam_set_title(const char *title);
void loadparam_reset_title(void);

/* The window's jobs: each start clears its finished flag, each task sets it as its last act. A start
 * that is refused (bad input, a task that cannot be created) returns false with the flag set. */
bool loadparam_load_device_async(device_st *device, const char *file);
bool loadparam_load_params_async(device_st **devices, uint32_t count);
bool loadparam_load_files_async(const char *const *files, uint32_t count);
bool loadparam_load_system_async(device_st **devices, uint32_t count);
bool loadparam_load_params_is_finished(void);
bool loadparam_load_files_is_finished(void);
bool loadparam_load_system_is_finished(void);
void loadparam_load_files_cancel(void);

/* One answer line of at most LOADPARAM_ANSWER_LEN - 1 characters, its line end removed; the rest of
 * a longer line is read and dropped, so it never answers the next question. False at end of input
 * (dest then empty). */
bool loadparam_read_answer(char *dest, size_t len);

/* ---- Entry writes ---- */
kr_errors_e loadparam_sdo_write(uint8_t node_id, uint16_t mindex, uint8_t sindex, uint32_t data_len, const void *data);
kr_errors_e loadparam_sdo_write_ex(uint8_t node_id, uint16_t mindex, uint8_t sindex, uint32_t data_len,
                                   const void *data, bool uncancellable);
kr_errors_e loadparam_sdo_read(uint8_t node_id, uint16_t mindex, uint8_t sindex, uint32_t data_len, void *data);
kr_errors_e loadparam_sdo_store_params(uint8_t node_id, uint8_t param_scope);
uint32_t loadparam_get_progress_counter(void);
/* The cancel flag of a running load (set by the window's stop, read by every transfer). */
void loadparam_set_cancelled(bool cancelled);
bool loadparam_is_cancelled(void);

/* The device the entries go to: its node id, and whether the user confirmed giving it a new node id
 * (only then, or when the value is its own id, does an entry write 0x100B). */
void loadparam_set_target(uint8_t nodeid, bool nodeid_change_confirmed);
/* PDO parameters (0x1400-0x1BFF), one PDO at a time in the order CiA 301 asks: loadparam_pdo_write
 * makes the PDO not valid before its first write and holds back the mapping count and the COB-ID,
 * which loadparam_pdo_finish_except writes (count, then COB-ID) for every PDO but the one of mindex
 * once the writer moves on, and loadparam_pdo_finish for all. A PDO the device lacks is left out with
 * one line; a failed write leaves only its PDO not valid and asks the failed-write question (ERR_NONE
 * when the user goes on). loadparam_pdo_left_off names, after a stop, the PDOs left not valid and the
 * unreached main indexes given; loadparam_set_target forgets what a device left held back. */
bool loadparam_pdo_is(uint16_t mindex);
kr_errors_e loadparam_pdo_write(uint8_t node, uint16_t mindex, uint8_t sindex, uint32_t data_len, uint32_t value);
kr_errors_e loadparam_pdo_finish_except(uint8_t node, uint16_t mindex);
kr_errors_e loadparam_pdo_finish(uint8_t node);
/* The PDO of mindex is left out (the device lacks it, or a write of it failed): its entries go nowhere. */
bool loadparam_pdo_left_out(uint16_t mindex);
void loadparam_pdo_left_off(const uint16_t *unreached, uint32_t count);
void loadparam_pdo_reset(void);
/* Failed writes the user chose to skip since the last reset: a run with any does not succeed. */
void loadparam_skipped_reset(void);
uint32_t loadparam_skipped_count(void);
/* Objects, sub-indexes and PDOs the device said it does not have, left out since the last reset of
 * the skipped count: a backup of a fuller device still restores the rest. */
uint32_t loadparam_absent_count(void);
kr_errors_e load_param(parser_node_st param_obj, uint16_t mindex, canopen_object_type_e objtype,
                       const char *parent_info, loadparam_write_e write_mode);
bool loadparam_ask_sdo_continue(const char *info);
bool is_empty_line(const char *str);

/* A value that may be keyed by queries, resolved to an integer (64 bits, so nothing is cut on the
 * way). `found` is false when it did not resolve (no answered query keys it, the chosen answer is
 * missing, or it is no integer). */
int64_t query_get_int(parser_node_st obj, bool *found);
/* The integer a node holds, read from its text with base detection; false when the node holds no
 * integer or one beyond 64 bits. */
bool loadparam_node_int(parser_node_st node, int64_t *value);
/* Whether value is in the range of a `bytes`-byte integer: 0..max unsigned, or the signed range. */
bool loadparam_int_fits(int64_t value, uint32_t bytes, bool is_signed);
/* While on, load_param reads and judges every entry (types, ranges, keys) but writes nothing and prints
 * only faults: a file is checked whole before its first write. */
void loadparam_set_check_only(bool on);
/* What the line that a signal ending the load prints says was stored so far (empty: nothing). */
void loadparam_signal_note_stored(const char *stored);
/* The answered query (in answer order) whose name is a member of obj, with that member; null when none. */
const query_st *loadparam_switch_member(parser_node_st obj, parser_node_st *member);
parser_node_st query_keyed_select(parser_node_st qref, const query_st *q);

/* EMCY suppression of the devices while their parameters change. */
void emcy_suppress_begin(void);
bool emcy_suppress_find(emcy_suppress_st *out);
void emcy_suppress_node(uint8_t node);
bool emcy_suppress_write(const emcy_suppress_st *s, uint8_t node, uint32_t value);
void emcy_suppress_end(void);
/* Takes the run's suppression object from the loaded database, keeping the nodes already suppressed. */
void emcy_suppress_use_db(void);
/* Records a node switched off through s, for emcy_suppress_end and the stores to switch back on. */
void emcy_suppress_mark(uint8_t node, const emcy_suppress_st *s);
/* Stores all parameters of the node with its EMCY messages switched on, then off again if they were. */
kr_errors_e loadparam_store_unsuppressed(uint8_t node);

#ifdef __cplusplus
}
#endif

#endif
