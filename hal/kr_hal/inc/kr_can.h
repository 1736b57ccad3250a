/* The CAN port: only what the library start-up needs so far. */
#ifndef KR_CAN_H
#define KR_CAN_H

#include <stdbool.h>
#include <stdint.h>

#include "kr_errors.h"

#ifdef __cplusplus
extern "C" {
#endif

kr_errors_e _kr_can_init(void);
void _kr_can_hal_step(uint32_t step_ms);
kr_errors_e kr_can_set_dev(const char *name);

#ifdef __cplusplus
}
#endif

#endif
