/* The non-volatile settings record and its file, and the library's CRC-16 (XMODEM).
 * The record is 32 bytes, little-endian: kr_data_start_t (28 bytes) then kr_data_end_t (4 bytes).
 * Valid C11 and C++. */
#ifndef KR_MEMORY_H
#define KR_MEMORY_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "kr_errors.h"
#include "canopen/kr_canopen_pdo.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The project name is "kr03_can_" and the release name; the settings file is "./<project>.nvconf". */
#define KR_MEMORY_PROJECT_PREFIX "kr03_can_"
#define KR_MEMORY_FILEPATH_LEN 128 /* terminator included */
#define KR_MEMORY_RECORD_SIZE 32u
#define KR_MEMORY_DEFAULT_NODE_ID 1u
#define KR_MEMORY_DEFAULT_HEARTBEAT_MS 1000u

typedef enum { MEMORY_COM_PARAMS = 1, MEMORY_APP_PARAMS = 2, MEMORY_ALL_PARAMS = 3 } memory_scope_e;

typedef uint32_t kr_bootloader_wait_t;

/* The CANopen stack's part of the record (no PDO parameters in this build; a firmware build that
 * configures PDOs has them here). */
typedef struct {
    uint16_t producer_heartbeat_time_ms;
    uint16_t _pad;
#if CONFIG_CANOPEN_RXPDO_COUNT > 0
    canopen_pdo_com_parameter_st rxpdo_coms[CONFIG_CANOPEN_RXPDO_COUNT];
    canopen_pdo_mapping_parameter_st rxpdo_maps[CONFIG_CANOPEN_RXPDO_COUNT];
#endif
#if CONFIG_CANOPEN_TXPDO_COUNT > 0
    canopen_pdo_com_parameter_st txpdo_coms[CONFIG_CANOPEN_TXPDO_COUNT];
    canopen_pdo_mapping_parameter_st txpdo_maps[CONFIG_CANOPEN_TXPDO_COUNT];
#endif
    uint16_t crc; /* not computed on this platform */
    uint16_t _pad2;
} kr_canopen_non_volatile_st;

typedef struct {
    uint32_t _reserved;
    uint32_t _reserved2;
    uint16_t id; /* own CANopen node id */
    uint16_t _reserved3;
    uint32_t can_baudrate; /* object 0x5FF7 */
    kr_bootloader_wait_t bootloader_wait_time;
    kr_canopen_non_volatile_st canopen;
} kr_data_start_t;

typedef struct {
    uint16_t hal_crc; /* CRC-16 of the 28 bytes of kr_data_start_t */
    uint16_t crc;     /* CRC-16 of the application area, empty here, so 0 */
} kr_data_end_t;

/* Where the record lives. The application hands its own storage (dev.data_start, dev.data_end);
 * until it does, the library uses storage of its own. */
void kr_memory_set_data(kr_data_start_t *start, kr_data_end_t *end);
kr_data_start_t *kr_memory_get_data_start(void);
kr_data_end_t *kr_memory_get_data_end(void);
/* Node id 1, heartbeat 1000 ms, every other field 0. */
void kr_memory_set_defaults(void);

/* Loads the file into the record only when it is exactly 32 bytes with both CRCs right;
 * otherwise the record holds the defaults and the result says why. */
kr_errors_e kr_memory_load(memory_scope_e scope);
/* Writes a temporary file and renames it over the old one; the old file survives a failure. */
kr_errors_e kr_memory_save(void);
kr_errors_e kr_memory_clear(memory_scope_e scope);

/* CRC-16/XMODEM: polynomial 0x1021, initial value 0, no reflection, no final XOR. */
uint16_t kr_memory_calc_crc(const void *data, size_t len);

const char *kr_memory_get_nonvol_filepath(void);
/* False, with a message, for a null or empty path or one of KR_MEMORY_FILEPATH_LEN characters or more. */
bool kr_memory_set_nonvol_filepath(const char *path);
const char *kr_memory_get_project_name(void);
const char *kr_memory_get_default_filepath(void);
const char *kr_memory_get_project_date(const kr_data_start_t *start);
uint32_t kr_memory_get_project_id(const kr_data_start_t *start);
void kr_memory_set_can_baudrate(uint32_t baud);

void kr_set_id(uint8_t id);
uint8_t kr_get_id(void);
void kr_get_device_serial(uint32_t dest[4]);

#ifdef __cplusplus
}
#endif

#endif
