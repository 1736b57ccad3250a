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

/* A whole word that is one number (base detection, signed or unsigned 32-bit): true and *value. */
bool sdo_parse_number(const char *text, int32_t *value);
/* Whether that number fits len bytes, signed or unsigned (len 0 or 4 and more: 32 bits). */
bool sdo_number_fits(const char *text, uint32_t len);

#ifdef __cplusplus
}
#endif

#endif
