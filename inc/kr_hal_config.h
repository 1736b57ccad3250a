/* Build configuration of the library for the krcan tool: sizes of the CAN port and the CANopen stack,
 * and the PRINT macro through which the library and the tool write progress and diagnostics.
 * Valid C11 and C++. */
#ifndef KR_HAL_CONFIG_H
#define KR_HAL_CONFIG_H

#include <stdbool.h>
#include <stdio.h>

#include "kr_utilities.h"

#define CONFIG_TARGET_LINUX 1

/* The same as the CAN port's own (identical redefinitions are allowed). */
#define CONFIG_CAN0_BAUDRATE 250000u
#define CONFIG_CAN0_RX_BUFFER_SIZE 2048u
#define CONFIG_CAN0_TX_BUFFER_SIZE 256u
#define CONFIG_CAN_DEV_NAME_LEN 64u /* channel names, terminator included */

/* Progress and diagnostics: standard error, only while not silent. */
#define PRINT(...)                        \
    do {                                  \
        if (!silent) {                    \
            fprintf(stderr, __VA_ARGS__); \
        }                                 \
    } while (0)

#endif
