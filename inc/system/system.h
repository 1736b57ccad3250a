/* The system model: the devices the tool services (at most 20), their packages and node ids, the
 * node-id postfixes of file arguments, the node-id snapshots of queued commands and the forced node
 * id. Valid C11 and C++. */
#ifndef KRCAN_SYSTEM_H
#define KRCAN_SYSTEM_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "run/limits.h"

#ifdef __cplusplus
extern "C" {
#endif

#define SYSTEM_MAX_DEVICES 20

typedef enum { DEV_STATE_OFFLINE = 0, DEV_STATE_BOOTUP = 1, DEV_STATE_PREOP = 2, DEV_STATE_OP = 3 } dev_state_e;

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
    uint32_t vendor_id; /* the package database's, or the device's when it came without one */
    uint32_t product_code;
    uint32_t sw_version;
    bool sw_version_tried;
    /* What the device itself says in 0x1018:1 and :2, whatever package it was given. */
    bool dev_identity_read;
    uint32_t dev_vendor_id;
    uint32_t dev_product_code;
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

#define SYSTEM_NODEID_MAX 127u

/* A node id that can address one device: 1..127 (0 broadcasts, above 127 is no CANopen node). */
static inline bool system_nodeid_valid(uint32_t nodeid) { return nodeid >= 1 && nodeid <= SYSTEM_NODEID_MAX; }

/* The system and device commands. */
bool cmd_system(const char *arg);
bool cmd_device(const char *arg);

void system_reset(system_st *system);
/* nodeid 0: the package's default. False when full or the node id is above 127. */
bool system_add_device(system_st *system, const char *path, uint8_t nodeid);
device_st *system_add_empty_device(system_st *system);
/* Adds a device, or, at a node another device of the system already has, joins that one: it takes
 * the package and keeps what the bus told of it, so it needs no free place. Returns the device that
 * holds the package; none when the system is full and no device is at its node. */
device_st *system_add_joining(system_st *system, const char *path, uint8_t nodeid);
/* None when full or the node id is not 1..127. */
device_st *system_add_found_device(system_st *system, uint8_t nodeid, uint32_t vendor_id, uint32_t product_code);
bool system_remove_device(system_st *system, device_st *device);
void system_clear_devices(system_st *system);
void system_set_device_file(device_st *device, const char *path);
uint8_t system_read_file_nodeid(const char *path);
bool system_load_device_database(device_st *device);
bool load_krdev_database(const char *path, char *version, uint32_t version_size, bool *has_media, bool *has_esp32);

device_st *system_set_cmdline_dev_nodeid(system_st *system, uint8_t nodeid);
/* Over devs[first .. end): one device takes the forced node id; several ignore it with a warning. */
void system_apply_forced_nodeid(system_st *system, uint32_t first, uint32_t end);
void system_clear_forced_nodeid(system_st *system);
void system_nodeids_save(const system_st *system, system_nodeids_st *snapshot);
void system_nodeids_restore(system_st *system, const system_nodeids_st *snapshot);

/* Command-line arguments of queued commands. */
const char *cmdline_load_arg(const char *stored);
bool cmdline_load_arg_nodeid(const char *stored, char *path, uint32_t path_size, const char **path_ptr);
bool cmdline_parse_nodeid_arg(const char *text, char *path, uint32_t path_size, uint8_t *nodeid);
bool cmdline_parse_nodeid_list(const char *text, char *path, uint32_t path_size, uint8_t *list, uint32_t capacity,
                               uint32_t *count);
/* For a command that takes its file from the first loose word when given none (`first_only`), or whose
 * plain file may be followed by more files among the loose words: which words it takes (the
 * CMDLINE_WORDS flags), or -1 for none. A package argument (.krsys, .krdev) takes no loose words. */
int cmdline_file_words(const char *arg, bool first_only);
/* False, with a message naming the limit, when a path given to `cmd` does not fit `size` characters
 * with its terminator: a cut path could name another file. */
bool cmdline_path_fits(const char *cmd, const char *path, size_t size);

/* The pattern every queued device command follows. Each queued job keeps its own argument, flags and
 * node-id snapshot, so two --loadbin options never share one slot. At parse time system_dispatch_queue
 * refuses an argument longer than SYSTEM_JOB_ARG_LEN - 1 (a cut path could name another file), stores the
 * argument (empty when none) with the snapshot in the module's queue, queues the step and opens the CAN
 * link; false when the job could not be queued. In the step: system_dispatch_take hands out the module's
 * next job in queue order; system_dispatch_begin saves the context into *saved and restores the job's
 * snapshot; system_dispatch_end puts *saved back. */
#define SYSTEM_JOB_ARG_LEN 1024u

typedef struct {
    char arg[SYSTEM_JOB_ARG_LEN];
    uint32_t flags; /* the module's own flags (wfr, kr, block, ...) */
    system_nodeids_st nodeids;
} system_job_st;

typedef struct {
    system_job_st jobs[TASKS_LEN];
    uint32_t queued;
    uint32_t taken;
} system_job_queue_st;

bool system_dispatch_queue(system_job_queue_st *queue, const char *arg, uint32_t flags, void (*step_fn)(void *app));
bool system_dispatch_take(system_job_queue_st *queue, system_job_st *job);
void system_dispatch_begin(const system_nodeids_st *snapshot, system_nodeids_st *saved);
void system_dispatch_end(const system_nodeids_st *saved);

bool path_ends_with(const char *path, const char *suffix);
void name_from_path(const char *path, char *name, uint32_t size);

#ifdef __cplusplus
}
#endif

#endif
