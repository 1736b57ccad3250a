/* The CANopen stack: only what the library start-up needs so far. */
#ifndef KR_CANOPEN_H
#define KR_CANOPEN_H

#include <stdint.h>

#include "kr_errors.h"
#include "kr_memory.h" /* memory_scope_e */

#ifdef __cplusplus
extern "C" {
#endif

void _kr_canopen_reset(void);
kr_errors_e _kr_canopen_init(uint8_t nodeid);
void _kr_canopen_step(uint32_t step_ms);

#ifdef __cplusplus
}
#endif

#endif
