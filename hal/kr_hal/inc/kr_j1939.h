/* J1939 helpers: the trouble codes of a DM1 message, and reassembly of a broadcast multi-frame
 * message of the transport protocol. Nothing in the tool calls them yet. Valid C11 and C++. */
#ifndef KR_J1939_H
#define KR_J1939_H

#include <stdbool.h>
#include <stdint.h>

#include "kr_can.h"
#include "kr_errors.h"

#ifdef __cplusplus
extern "C" {
#endif

#define J1939_TRANSPORT_CONNECTION_MANAGEMENT 0x18ECFF00u
#define J1939_TRANSPORT_DATA_TRANSFER 0x18EBFF00u
#define J1939_ENGINE_DIAGNOSTICS_MSG 0x18FECA00u
#define J1939_REQ_ENGINE_HOURS 0x18FEE500u
#define J1939_ENGINE_DPFC1 0x18FD7C00u
#define J1939_ENGINE_AT1S 0x18FD7B00u
#define J1939_PGN_MASK 0x03FFFF00u

typedef struct {
    uint32_t spn;
    uint8_t fmi;
    uint8_t cm;
    uint8_t oc;
} j1939_dtc_st;

typedef struct {
    uint16_t pgn;
    uint16_t byte_count;
    uint16_t byte_index;
    uint8_t *dest;
    uint16_t dest_max_count;
    uint8_t next_packet; /* the packet number the message continues with */
    bool receiving;      /* announced and neither complete nor dropped */
} kr_j1939_transport_st;

/* Trouble code `index` of a DM1 message of `len` bytes (two lamp bytes, then 4 bytes a code). */
kr_errors_e kr_j1939_dm1_get_dtc(j1939_dtc_st *dtc, const uint8_t *data, uint16_t len, uint16_t index);

void kr_j1939_transport_init(kr_j1939_transport_st *transport, uint8_t *dest, uint16_t dest_max_count, uint16_t pgn);
/* True once, on the frame that completes an announced message of at least one byte. */
bool kr_j1939_transport_rx(kr_j1939_transport_st *transport, const kr_can_message_st *msg);

#ifdef __cplusplus
}
#endif

#endif
