/* Library types and calls the tool needs from library modules that are not on main yet (CAN port,
 * settings file, CANopen stack). Each block goes when its module's own header lands; the bodies of
 * the calls are in src/kr_can_pending.cpp. Valid C11 and C++. */
#ifndef KR_LIB_PENDING_H
#define KR_LIB_PENDING_H

#include <stdbool.h>
#include <stdint.h>

#include "kr_errors.h"

#ifdef __cplusplus
extern "C" {
#endif

/* CANopen vocabulary and records (CANopen stack). */
typedef uint8_t canopen_object_type_e;
typedef uint8_t canopen_permissions_e;

typedef struct {
    uint16_t main_index;
    union {
        uint8_t sub_index;
        uint8_t array_max_size;
    };
    canopen_object_type_e type;
    void *data_ptr;
    const void *def_ptr;
    uint16_t string_len;
    canopen_permissions_e permissions;
} canopen_object_st;

typedef struct {
    uint16_t main_index;
    uint8_t sub_index;
    uint8_t length;
} canopen_pdo_mapping_st;

typedef struct {
    canopen_pdo_mapping_st mappings[8];
} canopen_pdo_mapping_parameter_st;

/* The stack's part of the settings record; the PDO parameter arrays are empty in this build. */
typedef struct {
    uint16_t producer_heartbeat_time_ms;
    uint16_t _pdo_params; /* where the (empty) PDO parameter arrays start */
    uint16_t crc;
    uint16_t _pad;
} kr_canopen_non_volatile_st;

/* The settings record: bytes 0..27 and 28..31 of the settings file. */
typedef struct {
    uint32_t _reserved;
    uint32_t _reserved2;
    uint16_t id;
    uint16_t _reserved3;
    uint32_t can_baudrate;
    uint32_t bootloader_wait_time;
    kr_canopen_non_volatile_st canopen;
} kr_data_start_t;

typedef struct {
    uint16_t hal_crc;
    uint16_t crc;
} kr_data_end_t;

/* CAN port. Channel names are 64 characters, terminator included. */
bool kr_can_set_baudrate(const char *chn, uint32_t baud);
const char *kr_can_get_dev(void);
const char *kr_can_set_up(bool force);
bool kr_can_is_connected(void);
void kr_can_use_gui_password(bool enable);

#ifdef __cplusplus
}
static_assert(sizeof(kr_data_start_t) == 28, "settings record start is 28 bytes");
static_assert(sizeof(kr_data_end_t) == 4, "settings record end is 4 bytes");
#endif

#endif
