/* Device packages (.krdev) and system packages (.krsys): zip archives with a manifest at their root.
 * Extraction runs in process and refuses any entry that would land outside its folder; rewriting goes
 * to a temporary file beside the package that is renamed over it. Also the temporary folders of the
 * system module, and the options that describe a package to be written. Valid C11 and C++. */
#ifndef KRCAN_PACKAGE_H
#define KRCAN_PACKAGE_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "run/main.h"
#include "database/parser.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Device packages ---- */
#define KRDEV_ESP32_MAX_COUNT 16

typedef struct {
    uint32_t offset;
    char file[256];
} krdev_esp32_image_st;

typedef struct {
    char dir[1024];
    char database[512];
    char firmware[512];
    char linux_bin[512];
    char version[64];
    char media[512];
    krdev_esp32_image_st esp32[KRDEV_ESP32_MAX_COUNT];
    uint16_t esp32_count;
} krdev_st;

/* Paths in `krdev_st` are relative to `dir`; they never hold an absolute path or a ".." component. */
bool krdev_open(krdev_st *krdev, const char *path);
void krdev_close(krdev_st *krdev);

/* ---- Archives ---- */
#define ARCHIVE_MAX_BYTES_DEFAULT (4ull << 30) /* bytes extracted from one archive */
#define ARCHIVE_MAX_ENTRIES_DEFAULT 65536u     /* entries of one archive */

/* The caps of archive_extract (tests lower them). */
void archive_set_limits(uint64_t max_bytes, uint32_t max_entries);

/* A fresh folder "$TMPDIR/<prefix>.<pid>.XXXXXX" (else under /tmp), mode 0700. */
bool archive_mktempdir(const char *prefix, char *path, size_t size);
/* Extracts a zip into an existing empty folder. A hostile or broken archive fails as a whole (the
 * reason is written to standard error unless silent); the folder may then hold part of it. */
bool archive_extract(const char *archive, const char *dir);
/* Both rebuild the archive as a zip of the whole folder, names relative to it; the old archive stays
 * byte-identical when that fails. The file name is not used (the folder already holds the change). */
bool archive_put_file(const char *archive, const char *dir, const char *name);
bool archive_remove_file(const char *archive, const char *dir, const char *name);
void archive_rmtree(const char *dir);
/* Removes this user's temporary folders and HTTP files of runs whose process has ended (the pid is
 * in their names); a live run's, another user's and any other name stay. */
void archive_sweep_stale_tmpdirs(void);

/* Why the last krdev_open, system_set_file or archive_extract failed, for the error line that
 * reports it (the messages on standard error show only when not silent). */
const char *package_error(void);
void package_set_error(const char *why);

/* A relative path that stays inside its folder: not empty, not absolute, no ".." component ("." is the
 * folder itself). */
bool package_path_is_inside(const char *rel);

/* ---- System packages and the temporary folders of the system module ---- */
bool system_set_file(system_st *system, const char *path);
bool system_parse_sysfile(system_st *system, parser_node_st root, const char *dir);
bool system_mktempdir(const char *prefix, char *path, size_t size);
/* Registers the removal of this run's temporary folders at exit. */
void system_init_tmp_cleanup(void);
/* Called before a run makes its first temporary file or folder: the first call removes what ended
 * runs left behind (archive_sweep_stale_tmpdirs), so a run that makes none never reads the folder. */
void system_tmp_first_use(void);
void sysfile_track_tmpdir(const char *dir);
void sysfile_rmdir(const char *dir);
void sysfile_remove_all_tmpdirs(void);
void system_remove_tmpdirs(void);
bool all_devs_online(const system_st *system);

/* ---- Options of a package to be written ---- */
#define MEDIA_MAX_COUNT 32
#define MEDIA_DIR_DEFAULT "media"
#define ESP32_MAX_COUNT 16
#define SAVESYS_HEARTBEAT_WAIT_MS 3000u
#define SAVESYS_HEARTBEAT_POLL_MS 100u

/* Copies an option's value; false (with a message) when it is missing, empty or does not fit. */
bool set_arg(const char *value, char *dest, uint32_t size, const char *name);

/* The options, and savesys that writes the package. */
bool cmd_firmware(const char *arg);
bool cmd_linuxbin(const char *arg);
bool cmd_bootloader(const char *arg);
bool cmd_fwversion(const char *arg);
bool cmd_media(const char *arg);
bool cmd_mediadir(const char *arg);
bool cmd_esp32(const char *arg);
bool cmd_makekrdev(const char *arg);
bool cmd_savesys(const char *arg);

bool savesys_save(const char *path);
void savesys_save_async(const char *path);
bool savesys_is_finished(void);

#ifdef __cplusplus
}
#endif

#endif
