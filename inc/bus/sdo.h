/* The SDO commands (their callbacks are declared with the command table). Valid C11 and C++. */
#ifndef KRCAN_SDO_H
#define KRCAN_SDO_H

#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define SDO_DATA_MAX_LEN 4096u /* the longest sdoread / sdowrite the tool holds */
#define SDO_STR_MAX_LEN 256u   /* the sdoreadstr buffer */

/* Whether a value fits len bytes, signed or unsigned (len 0 or 4 and more: 32 bits). */
bool sdo_value_fits(int64_t value, uint32_t len);

#ifdef __cplusplus
}
#endif

#endif
