/* Calls of the tool's modules that are not built yet (system model, device database, packages,
 * CAN configuration window, main window). Each
 * owner moves its declarations into its own header and deletes its src/..._pending.cpp file. */
#ifndef TOOL_PENDING_H
#define TOOL_PENDING_H

#include <stdbool.h>
#include <stdint.h>

#include "main.h"
#include "db.h"
#include "system.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Device packages. */
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

bool krdev_open(krdev_st *krdev, const char *path);
void krdev_close(krdev_st *krdev);
bool system_set_file(system_st *system, const char *path);

/* Joystick driver: every frame the heartbeat monitor receives. */
void joystick_can_rx(const kr_can_msg_st *msg);

/* File dialogs: the folder they open in. */
void kr_uifiledialog_set_default_dir(const char *path);

/* Packages: temporary folders. */
void system_init_tmp_cleanup(void);

/* Windows: the CAN configuration window (null style: the default one; with the library start-up) and the
 * main window. */
struct kr_uistyle_st;
void kr_ui_confwindow_exec(const struct kr_uistyle_st *style);
void krui_exec(void);

#ifdef __cplusplus
}
#endif

#endif
