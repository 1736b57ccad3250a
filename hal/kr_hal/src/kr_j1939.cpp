// J1939 helpers. The transport takes packets strictly in order: a repeated packet is ignored and a
// gap drops the message, so a lost frame can never produce a "complete" message with bytes misplaced.
#include "kr_j1939.h"

#include <cstring>

extern "C" {

kr_errors_e kr_j1939_dm1_get_dtc(j1939_dtc_st *dtc, const uint8_t *data, uint16_t len, uint16_t index)
{
    if (!dtc || !data) return ERR_NULL_PTR;
    uint32_t last = (uint32_t)index * 4u + 5u; // the code's last byte
    if (last >= len) return ERR_BUFFER_OVERFLOW;
    const uint8_t *b = data + 2u + (uint32_t)index * 4u;
    dtc->fmi = b[2] & 0x1F;
    dtc->cm = b[3] >> 7;
    dtc->oc = b[3] & 0x7F;
    if (dtc->cm == 0)
        dtc->spn = (uint32_t)b[0] + (uint32_t)b[1] * 256u + (uint32_t)(b[2] >> 5) * 65536u;
    else
        dtc->spn = (uint32_t)b[0] * 2048u + (uint32_t)b[1] * 8u + (uint32_t)(b[2] >> 5);
    return ERR_NONE;
}

void kr_j1939_transport_init(kr_j1939_transport_st *transport, uint8_t *dest, uint16_t dest_max_count, uint16_t pgn)
{
    std::memset(transport, 0, sizeof(*transport));
    transport->dest = dest;
    transport->dest_max_count = dest_max_count;
    transport->pgn = pgn;
    kr_can_config_rx_message(kr_can_get_dev(), J1939_TRANSPORT_CONNECTION_MANAGEMENT, J1939_PGN_MASK, CAN_EXT);
    kr_can_config_rx_message(kr_can_get_dev(), J1939_TRANSPORT_DATA_TRANSFER, J1939_PGN_MASK, CAN_EXT);
}

bool kr_j1939_transport_rx(kr_j1939_transport_st *t, const kr_can_message_st *msg)
{
    if (!t || !msg || msg->type != CAN_EXT) return false;
    uint32_t id = msg->id & J1939_PGN_MASK;
    if (id == (J1939_TRANSPORT_CONNECTION_MANAGEMENT & J1939_PGN_MASK)) {
        if (msg->data_length != 8) return false;
        uint16_t pgn = (uint16_t)(msg->data[5] | (msg->data[6] << 8));
        if (t->pgn == 0) t->pgn = pgn;
        t->byte_index = 0;
        t->next_packet = 1;
        if (pgn == t->pgn) {
            t->byte_count = (uint16_t)(msg->data[1] | (msg->data[2] << 8));
            t->receiving = t->byte_count > 0;
        } else {
            t->byte_count = 0;
            t->receiving = false;
        }
        return false;
    }
    if (id != (J1939_TRANSPORT_DATA_TRANSFER & J1939_PGN_MASK)) return false;
    if (!t->receiving || msg->data_length < 1) return false;
    uint8_t packet = msg->data[0];
    if (packet != t->next_packet) {
        // A repeat of a packet already taken changes nothing; a gap loses the message.
        if (packet == 0 || packet > t->next_packet) t->receiving = false;
        return false;
    }
    t->next_packet++;
    uint32_t n = msg->data_length > 8 ? 7u : msg->data_length - 1u;
    for (uint32_t i = 0; i < n && t->byte_index < t->byte_count && t->byte_index < t->dest_max_count; i++)
        t->dest[t->byte_index++] = msg->data[1 + i];
    if (t->byte_index == t->byte_count) {
        t->receiving = false;
        return true;
    }
    return false;
}

} // extern "C"
