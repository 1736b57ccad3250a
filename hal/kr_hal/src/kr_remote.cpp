// Remote-link framing. Lengths are computed in 32 bits and checked before anything is stored, so a
// length byte near 255 can never wrap into a short message or let bytes run past the buffer.
#include "kr_remote.h"

#include <cstring>

namespace {

// Whole lengths of the fixed types; 0 marks a type whose length comes with byte 2.
constexpr uint8_t fixed_len[REMOTE_MSG_TYPE_COUNT] = {
    11, 2, 0, 14, 2, 2, 0, 9, 7, 0, 3, 4, 6, 2, 38, 0, 0, 2, 34,
};

// The length a variable type announces with byte 2, or 0 when it is out of range.
uint32_t variable_len(uint8_t type, uint8_t b)
{
    uint32_t n;
    switch (type) {
    case REMOTE_MSG_TYPE_CAN: n = REMOTE_CAN_HEADER_LEN + (uint32_t)b; return n <= REMOTE_CAN_MSG_MAX_LEN ? n : 0;
    case REMOTE_MSG_TYPE_UI:
    case REMOTE_MSG_TYPE_UI_ASSET:
        n = REMOTE_UI_HEADER_LEN + (uint32_t)b;
        return n <= REMOTE_STREAM_BUFFER_SIZE ? n : 0;
    case REMOTE_MSG_TYPE_SDO_REQ:
        n = REMOTE_SDO_HEADER_LEN + (uint32_t)b;
        return n >= REMOTE_SDO_REQ_MIN_LEN && n <= REMOTE_SDO_REQ_MAX_LEN ? n : 0;
    case REMOTE_MSG_TYPE_SDO_RES:
        n = REMOTE_SDO_HEADER_LEN + (uint32_t)b;
        return n >= REMOTE_SDO_RES_MIN_LEN && n <= REMOTE_SDO_RES_MAX_LEN ? n : 0;
    default: return 0;
    }
}

void wait_for_start(remote_stream_st *s)
{
    s->receiving_type = REMOTE_MSG_TYPE_COUNT;
    s->byte_count = 0;
    s->msg_len = 0;
}

void deliver(remote_stream_st *s, remote_stream_callb_t callback, void *user)
{
    if (callback) callback(user, s->receiving_type, s->buffer, s->byte_count);
    wait_for_start(s);
}

void feed_byte(remote_stream_st *s, uint8_t b, remote_stream_callb_t callback, void *user)
{
    if (s->receiving_type >= REMOTE_MSG_TYPE_COUNT) {
        if (s->byte_count == 0) {
            if (b == REMOTE_MSG_START_BYTE) {
                s->buffer[0] = b;
                s->byte_count = 1;
            }
            return;
        }
        // The type byte. Another start byte begins a new message instead of losing this one.
        if (b == REMOTE_MSG_START_BYTE) return;
        if (b >= REMOTE_MSG_TYPE_COUNT) {
            wait_for_start(s);
            return;
        }
        s->receiving_type = b;
        s->buffer[1] = b;
        s->byte_count = 2;
        // Variable types wait for byte 2 before they know their length.
        s->msg_len = fixed_len[b] ? fixed_len[b] : 3;
        if (s->byte_count == s->msg_len) deliver(s, callback, user);
        return;
    }
    if (s->byte_count == 2 && fixed_len[s->receiving_type] == 0) {
        uint32_t n = variable_len(s->receiving_type, b);
        if (n == 0) {
            // Dropped; the length byte itself may be the next message's start.
            wait_for_start(s);
            feed_byte(s, b, callback, user);
            return;
        }
        s->msg_len = (uint8_t)n;
    }
    if (s->byte_count >= REMOTE_STREAM_BUFFER_SIZE) { // cannot happen with the bounds above
        wait_for_start(s);
        return;
    }
    s->buffer[s->byte_count++] = b;
    if (s->byte_count >= s->msg_len) deliver(s, callback, user);
}

} // namespace

extern "C" {

uint16_t remote_msg_fixed_len(uint8_t type) { return type < REMOTE_MSG_TYPE_COUNT ? fixed_len[type] : 0; }

void remote_stream_reset(remote_stream_st *stream)
{
    if (stream) wait_for_start(stream);
}

void remote_stream_feed(remote_stream_st *stream, const uint8_t *data, size_t len, remote_stream_callb_t callback,
                        void *user)
{
    if (!stream || !data) return;
    for (size_t i = 0; i < len; i++) feed_byte(stream, data[i], callback, user);
}

uint8_t remote_can_msg_encode(const kr_can_message_st *msg, uint8_t *out)
{
    uint8_t n = msg->data_length > 8 ? 8 : msg->data_length;
    uint32_t id = msg->id & 0x1FFFFFFFu;
    if (msg->type == CAN_EXT) id |= REMOTE_CAN_ID_EXT_FLAG;
    out[0] = REMOTE_MSG_START_BYTE;
    out[1] = REMOTE_MSG_TYPE_CAN;
    out[2] = n;
    out[3] = (uint8_t)id;
    out[4] = (uint8_t)(id >> 8);
    out[5] = (uint8_t)(id >> 16);
    out[6] = (uint8_t)(id >> 24);
    std::memcpy(&out[7], msg->data, n);
    return (uint8_t)(REMOTE_CAN_HEADER_LEN + n);
}

void remote_can_msg_decode(const uint8_t *in, kr_can_message_st *msg)
{
    uint32_t id = (uint32_t)in[3] | ((uint32_t)in[4] << 8) | ((uint32_t)in[5] << 16) | ((uint32_t)in[6] << 24);
    std::memset(msg, 0, sizeof(*msg));
    msg->type = (id & REMOTE_CAN_ID_EXT_FLAG) ? CAN_EXT : CAN_STD;
    msg->id = id & 0x1FFFFFFFu;
    msg->data_length = in[2] > 8 ? 8 : in[2];
    std::memcpy(msg->data, &in[7], msg->data_length);
}

void remote_pack_clear(remote_pack_st *pack) { pack->len = 0; }

bool remote_pack_append(remote_pack_st *pack, const void *data, size_t len)
{
    uint8_t *p = remote_pack_reserve(pack, len);
    if (!p) return false;
    if (len) std::memcpy(p, data, len);
    return true;
}

uint8_t *remote_pack_reserve(remote_pack_st *pack, size_t len)
{
    if (pack->len > REMOTE_PACK_SIZE || len > REMOTE_PACK_SIZE - pack->len) return nullptr;
    uint8_t *p = pack->buf + pack->len;
    pack->len = (uint16_t)(pack->len + len);
    return p;
}

void remote_pack_rewind(remote_pack_st *pack, size_t len)
{
    pack->len = len >= pack->len ? 0 : (uint16_t)(pack->len - len);
}

} // extern "C"
