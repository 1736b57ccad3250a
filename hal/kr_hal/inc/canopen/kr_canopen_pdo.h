/* PDO parameters: the records of the settings record's PDO part and of generated firmware
 * sources. A firmware project sets its PDO counts (CONFIG_CANOPEN_RXPDO_COUNT,
 * CONFIG_CANOPEN_TXPDO_COUNT) before these headers; this tool has none. Valid C11 and C++. */
#ifndef KR_CANOPEN_PDO_H
#define KR_CANOPEN_PDO_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#ifndef CONFIG_CANOPEN_TXPDO_COUNT
#define CONFIG_CANOPEN_TXPDO_COUNT 0
#endif
#ifndef CONFIG_CANOPEN_RXPDO_COUNT
#define CONFIG_CANOPEN_RXPDO_COUNT 0
#endif
#ifndef CONFIG_CANOPEN_PDO_MAPPING_COUNT
#define CONFIG_CANOPEN_PDO_MAPPING_COUNT 8
#endif

#define CANOPEN_PDO_TRANSMISSION_ASYNC 255u
/* COB-ID of a PDO that is not used (its valid bit set). */
#define CANOPEN_PDO_DISABLED 0x80000000u

typedef struct {
    uint32_t cob_id;
    uint32_t transmission_type;
    int32_t inhibit_time;
    int32_t reserved;
    uint32_t event_timer;
} canopen_pdo_com_parameter_st;

typedef struct {
    uint16_t main_index;
    uint8_t sub_index;
    uint8_t length; /* bytes */
} canopen_pdo_mapping_st;

typedef struct {
    canopen_pdo_mapping_st mappings[CONFIG_CANOPEN_PDO_MAPPING_COUNT];
} canopen_pdo_mapping_parameter_st;

#ifdef __cplusplus
}
#endif

#endif
