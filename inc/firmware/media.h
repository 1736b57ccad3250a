/* Media download to display devices (objects 0x5FF8-0x5FFE) and clearing their media storage:
 * the loadmedia and clearmedia commands and the window's media job. Valid C11 and C++. */
#ifndef KRCAN_MEDIA_H
#define KRCAN_MEDIA_H

#include <stdbool.h>
#include <stdint.h>

#include "run/limits.h"
#include "system/system.h"

#ifdef __cplusplus
extern "C" {
#endif

#define LOADMEDIA_OP_WAIT_MS 15000u
#define LOADMEDIA_COMMIT_WAIT_MS 10000u /* a block not stored by then fails its file */
#define CLEARMEDIA_WAIT_MS 600000u      /* above the longest flash erase */

typedef struct {
    char file[DEV_PATH_LEN];
    system_nodeids_st nodeids;
} loadmedia_st;

/* The commit and clear waits; tests shorten them (0 keeps the current value). */
void loadmedia_set_time_limits(uint32_t commit_ms, uint32_t clear_ms);

bool is_known_mediafile(const char *name);
/* The name a file is sent under: the path without the prefix (and the '/' after it) when it starts
 * with the prefix, else the path. Returns a pointer into path. */
const char *media_devname(const char *path, const char *prefix);
uint32_t count_media_path(const char *path);
/* Loads a file or a folder's media files; false when any file failed. */
bool run_media_path(const char *path, const char *prefix);
bool run_media_paths(const char *const *paths, uint32_t count, const char *prefix);
void wait_node_operational(uint8_t node);

/* The commands. */
bool cmd_loadmedia(const char *arg);
bool cmd_clearmedia(const char *arg);

void loadmedia_dispatch_step(void *app);
void loadmedia_devices(uint32_t first, uint32_t end);
/* The media folder of one package to one node; false when it could not be loaded or any file failed. */
bool loadmedia_krdev(const char *path, uint8_t node);
bool loadmedia_load(const char *path);
void loadmedia_step(void *app);
void clearmedia_step(void *app);

/* The window's job. */
void loadmedia_load_device_async(const char *path, uint8_t node);
bool loadmedia_load_device_is_finished(void);

#ifdef __cplusplus
}
#endif

#endif
