/* Library types the tool needs from library modules that are not on main yet (CANopen stack).
 * Each block goes when its module's own header lands. Valid C11 and C++. */
#ifndef KR_LIB_PENDING_H
#define KR_LIB_PENDING_H

#include <stdbool.h>
#include <stdint.h>

#include "kr_can.h"
#include "kr_errors.h"
#include "kr_memory.h"

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

#ifdef __cplusplus
}
#endif

#endif
