/* The CANopen stack: only what the library start-up needs so far. */
#ifndef KR_CANOPEN_H
#define KR_CANOPEN_H

#include <stdint.h>

#include "kr_errors.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef enum {
    MEMORY_COM_PARAMS = 1,
    MEMORY_APP_PARAMS = 2,
    MEMORY_ALL_PARAMS = 3
} memory_scope_e;

void _kr_canopen_reset(void);
kr_errors_e _kr_canopen_init(uint8_t nodeid);
void _kr_canopen_step(uint32_t step_ms);

#ifdef __cplusplus
}
#endif

#endif
