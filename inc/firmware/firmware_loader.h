/* The firmware loader: a binary downloaded into 0x1F50:1 of a node through a CiA 302 bootloader or the
 * maker's own (reset first, boot-up, 256-byte pieces), then the node reset to start it. Six queued
 * commands on the command line; background loads for the window. Valid C11 and C++. */
#ifndef KRCAN_LOAD_H
#define KRCAN_LOAD_H

#include <stdbool.h>
#include <stdint.h>

#include "kr_utilities.h"
#include "run/limits.h"
#include "system/system.h"

#ifdef __cplusplus
extern "C" {
#endif

#define BLOCK_SIZE 256u
#define RESPONSE_DELAY_MS 2000
#define LOADWFR_WAIT_TIME_MS 10000
#define BOOTLOADER_SUBINDEX 1u
#define LOAD_UPDATE_PERIOD_MS 20u
#define LOAD_FILE_MAX_BYTES 0xFFFFFFFFull /* the SDO size field holds 32 bits */

/* `dev.load`: the load under way and the queued commands' next job. */
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

/* The queued commands. */
bool cmd_load(const char *arg);
bool cmd_loadwfr(const char *arg);
bool cmd_segload(const char *arg);
bool cmd_segloadwfr(const char *arg);
bool cmd_krload(const char *arg);
bool cmd_krloadwfr(const char *arg);
bool load_dispatch(const char *arg, bool wfr, bool kr, bool block);
void load_dispatch_step(void *app);
void flash_devices(uint32_t first, uint32_t end, bool wfr, bool kr, bool block);
bool flash_krdev_sync(const char *path, uint8_t node, bool wfr, bool kr, bool block);
bool flash_bin_sync(const char *path, uint8_t node, bool wfr, bool kr, bool block);

/* One load. load_configure refuses (false, with a message) a path that does not fit `firmware`. */
bool load_configure(const char *path, bool wfr, bool kr, bool block);
void load_step(void *arg);

/* The window's entry points: each starts "loadbin_task" and returns; the window polls
 * dev.load.finished, .waiting, .progress and .success. False when nothing was started (then
 * `finished` is set and `success` clear). */
bool loadbin(const char *path, uint8_t node, bool wfr, bool kr, bool block);
bool load_flash_device_to_node(const device_st *device, uint8_t node, bool wfr);
bool load_flash_device(const device_st *device, bool wfr);
bool load_flash_krdev_to_node(const char *path, uint8_t node, bool wfr);
/* Removes the private firmware copy of the window's flash, if any (also when the process ends mid-flash). */
void load_remove_window_copy(void);
bool load_firmware(const char *path, bool wfr, bool kr, bool block);
/* Cancels the running load: a boot-up wait ends, a download under way is aborted on the bus (SDO
 * abort 0x08000000) and the load fails without resetting the device. */
void load_cancel(void);
/* The download went through and the reset that starts the new image is being sent: it cannot be
 * cancelled any more. */
bool load_is_resetting(void);

/* Whether a device is the product a package's firmware is made for. */
typedef enum {
    LOAD_IDENTITY_SAME = 0,  /* the device's 0x1018 vendor id and product code are the package's */
    LOAD_IDENTITY_UNCHECKED, /* no database in the package, or the device's identity unreadable: warned */
    LOAD_IDENTITY_OTHER,     /* another product: a job error names both; flash nothing to it */
} load_identity_e;
/* Reads 0x1018:1 and :2 of the node (nothing else goes out) and compares them with the package's
 * database (VENDORID, PRODUCTCODE). Every flash of a package passes here before its first frame; the
 * window may ask it beforehand too. */
load_identity_e load_check_identity(const char *package, uint8_t node);

/* The binary set with the `firmware` option (empty when none). */
const char *makekrdev_get_firmware(void);

#ifdef __cplusplus
}
#endif

#endif
