/* The joystick: its configuration (40 slots naming a device value each, read and written as JSON or
 * YAML, one active configuration with a generation counter, stored inside a system package), the
 * driver that turns received TXPDO values into a virtual game controller, and the controller back
 * end behind a table of functions. Valid C11 and C++. */
#ifndef KRCAN_JOYSTICK_H
#define KRCAN_JOYSTICK_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "kr_can.h"
#include "run/main.h"

#ifdef __cplusplus
extern "C" {
#endif

#define JOYSTICK_AXIS_COUNT 8u
#define JOYSTICK_BUTTON_COUNT 32u
#define JOYSTICK_SLOT_COUNT 40u
#define JOYSTICK_AXIS_MAX 32767
#define JOYSTICK_FILE_NAME "joystick"
#define JOYSTICK_DEFAULT_NAME "krcan joystick"

extern const char *const JOYSTICK_AXIS_NAMES[JOYSTICK_AXIS_COUNT];

typedef struct {
    uint8_t nodeid; /* 0: slot not in use */
    char device[64];
    char object[96];
    uint16_t mindex;
    uint8_t sindex;
    uint8_t size; /* 1, 2 or 4 */
    bool is_signed;
    uint16_t cobid;
    uint8_t offset;
    int32_t min;
    int32_t max;
    int32_t threshold;
    bool invert;
} joystick_slot_st;

typedef struct {
    char name[64];
    joystick_slot_st slots[JOYSTICK_SLOT_COUNT]; /* axes 0..7, then button n in slot 7 + n */
} joystick_conf_st;

bool cmd_joystick(const char *arg);

/* ---- Configuration ---- */
void joystick_conf_reset(joystick_conf_st *conf);
bool joystick_conf_is_used(const joystick_conf_st *conf);
bool joystick_conf_read(joystick_conf_st *conf, const char *path);
bool joystick_conf_write(const joystick_conf_st *conf, const char *path);
const joystick_conf_st *joystick_get_conf(void);
void joystick_set_conf(const joystick_conf_st *conf);
uint32_t joystick_get_generation(void);
bool joystick_has_conf(void);
bool joystick_load_from_dir(const char *dir);
bool joystick_write_to_dir(const char *dir, char *name, size_t name_length);
bool joystick_save_to_system(const system_st *system);

/* ---- Driver ---- */
#define JOYSTICK_STEP_MS 10u
#define JOYSTICK_VALUE_TIMEOUT_MS 1000u
#define JOYSTICK_STOP_TIMEOUT_MS 2000u

typedef struct {
    char name[96];
    uint16_t mindex;
    uint8_t sindex;
    uint8_t size;
    bool is_signed;
    int32_t min;
    int32_t max;
    uint16_t pdo_cobid;
    uint8_t pdo_offset;
} joystick_obj_st;

void joystick_step(void);
void joystick_stop(void);
bool joystick_is_running(void);
const char *joystick_get_status(void);
bool joystick_get_live(uint8_t slot, int32_t *raw, int32_t *output);
void joystick_can_rx(const kr_can_msg_st *msg);
/* The catalogue of the device's database (loaded from its package); the caller frees the result. */
joystick_obj_st *joystick_catalog_build(device_st *device, uint16_t *count);
/* The same two passes over a database already loaded into db. */
joystick_obj_st *joystick_catalog_from_db(const db_st *db, uint8_t nodeid, uint16_t *count);
uint16_t joystick_cobid_from_text(const char *text, uint8_t nodeid);
void joystick_slot_set_obj(joystick_slot_st *slot, uint8_t index, const device_st *device, const joystick_obj_st *obj);
/* One slot's output from its raw value (fresh values only): axes -32767..32767, buttons 0 or 1. */
int32_t joystick_axis_output(int32_t value, int32_t min, int32_t max, bool invert);
int32_t joystick_button_output(int32_t value, int32_t threshold, bool invert);

/* ---- Controller back end ---- */
typedef struct {
    bool (*open)(const char *name, char *err, size_t err_length);
    void (*close)(void);
    const char *(*name)(void);
    void (*set_axis)(uint8_t axis, int32_t value);
    void (*set_button)(uint8_t index, bool pressed);
    void (*sync)(void);
} jsdriver_ops_st;

/* Null puts the uinput back end back. */
void jsdriver_set_backend(const jsdriver_ops_st *ops);
extern const jsdriver_ops_st jsdriver_uinput_ops;
/* -32767..32767 to the controller's 0..32768. */
int32_t jsdriver_axis_to_device(int32_t value);

bool jsdriver_open(const char *name, char *err, size_t err_length);
void jsdriver_close(void);
const char *jsdriver_name(void);
void jsdriver_set_axis(uint8_t axis, int32_t value);
void jsdriver_set_button(uint8_t index, bool pressed);
void jsdriver_sync(void);

#ifdef __cplusplus
}
#endif

#endif
