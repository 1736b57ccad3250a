/* The SDO commands: the object they address and their reads and writes. Valid C11 and C++. */
#ifndef KRCAN_SDO_H
#define KRCAN_SDO_H

#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define SDO_DATA_MAX_LEN 4096u /* the longest sdoread / sdowrite the tool holds */
#define SDO_STR_MAX_LEN 256u   /* the sdoreadstr buffer */

typedef struct {
    uint16_t mindex;
    uint8_t sindex;
    uint32_t datalen;
    int32_t value;
    const char *str; /* into the command line, or null */
    bool is_str;
} sdo_st;

/* The commands. */
bool cmd_mindex(const char *arg);
bool cmd_sindex(const char *arg);
bool cmd_datalen(const char *arg);
bool cmd_sdoread(const char *arg);
bool cmd_sdoreadstr(const char *arg);
bool cmd_sdowrite(const char *arg);

/* Whether a value fits len bytes, signed or unsigned (len 0 or 4 and more: 32 bits). */
bool sdo_value_fits(int64_t value, uint32_t len);

#ifdef __cplusplus
}
#endif

#endif
