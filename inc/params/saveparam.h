/* Saving the non-volatile parameters of devices into a parameter file that the loader writes back:
 * the `saveparam` and `saveparamall` commands and the window's save of one system device.
 * Valid C11 and C++. */
#ifndef KRCAN_SAVEPARAM_H
#define KRCAN_SAVEPARAM_H

#include <stdbool.h>
#include <stdint.h>

#include "kr_errors.h"
#include "database/db.h"
#include "system/system.h"
#include "database/parser.h"

#ifdef __cplusplus
extern "C" {
#endif

#define SAVEPARAM_DOC_LEN 0x100000u /* one whole document */
#define SAVEPARAM_ENTRY_LEN 20240u  /* one entry, built apart and then appended */
#define SAVEPARAM_STR_LEN 0x10000u  /* a string parameter, terminator included */
#define SAVEPARAM_NAME_LEN 257u     /* the device name of 0x5FFF, terminator included */

typedef struct {
    char file[256];
    bool finished;
    bool all;
} saveparam_st;

bool cmd_saveparam(const char *arg);
bool cmd_saveparamall(const char *arg);
void saveparam_step(void *ptr);
kr_errors_e save_device_from_krdev(parser_writer_st *writer, const char *krdev_path, uint8_t nodeid);
kr_errors_e save_device(parser_writer_st *writer);
kr_errors_e param_add_obj(parser_writer_st *dest, const db_obj_st *obj, const char *info_str);
bool saveparam_save_device(device_st *device, const char *file);
/* The command line as a whole: its check notes each accepted option in order, then
 * params_check_command_line refuses (and says why) a line where a save writes a file that a later
 * load on it reads. */
void params_note_option(const char *option, const char *arg);
bool params_check_command_line(void);
/* False when the task could not be started (finished is then set at once). */
bool saveparam_save_device_async(device_st *device, const char *file);

#ifdef __cplusplus
}
#endif

#endif
