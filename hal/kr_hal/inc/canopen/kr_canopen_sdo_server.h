/* The SDO server: answers requests on 0x600 + own node id for the own object dictionary. Built in
 * only with CONFIG_CANOPEN_SDO_SERVER 1 (the tool keeps it 0). An application installs its callbacks
 * here; the server's state is the library's own. Valid C11 and C++. */
#ifndef KR_CANOPEN_SDO_SERVER_H
#define KR_CANOPEN_SDO_SERVER_H

#include <stdbool.h>
#include <stdint.h>

#include "kr_can.h"
#include "kr_utilities.h"
#include "canopen/kr_canopen_sdo.h"
#include "canopen/kr_canopen_types.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef void (*kr_canopen_sdo_server_callb_t)(uint16_t mindex, uint8_t sindex);

#if CONFIG_CANOPEN_SDO_SERVER
void _kr_canopen_sdo_server_add_write_callb(kr_canopen_sdo_server_callb_t callb);
void _kr_canopen_sdo_server_add_read_callb(kr_canopen_sdo_server_callb_t callb);
#endif

#ifdef __cplusplus
}
#endif

#endif
