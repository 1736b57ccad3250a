/* Remote-link framing: cuts a byte stream into the typed messages of the remote link, packs CAN
 * frames into it, and collects outgoing messages in a bounded pack. Pure functions over caller
 * memory; nothing in the tool calls them yet. Valid C11 and C++. */
#ifndef KR_REMOTE_H
#define KR_REMOTE_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "kr_can.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef enum {
    REMOTE_MSG_TYPE_CONNECT_REQ = 0,
    REMOTE_MSG_TYPE_CONNECT_RESP = 1,
    REMOTE_MSG_TYPE_CAN = 2,
    REMOTE_MSG_TYPE_RXCONF = 3,
    REMOTE_MSG_TYPE_RXCLEAR = 4,
    REMOTE_MSG_TYPE_RXDONE = 5,
    REMOTE_MSG_TYPE_UI = 6,
    REMOTE_MSG_TYPE_UI_INPUT = 7,
    REMOTE_MSG_TYPE_UI_ASSET_REQ = 8,
    REMOTE_MSG_TYPE_UI_ASSET = 9,
    REMOTE_MSG_TYPE_IOT_CTRL = 10,
    REMOTE_MSG_TYPE_IOT_STATUS = 11,
    REMOTE_MSG_TYPE_UI_INFO = 12,
    REMOTE_MSG_TYPE_CLOSE = 13,
    REMOTE_MSG_TYPE_CAN_STATS = 14,
    REMOTE_MSG_TYPE_SDO_REQ = 15,
    REMOTE_MSG_TYPE_SDO_RES = 16,
    REMOTE_MSG_TYPE_NAME_REQ = 17,
    REMOTE_MSG_TYPE_NAME = 18,
    REMOTE_MSG_TYPE_COUNT = 19
} remote_msg_types_e;

#define REMOTE_MSG_START_BYTE 0x85u
#define REMOTE_CAN_ID_EXT_FLAG (1u << 29)
#define REMOTE_STREAM_BUFFER_SIZE 204u /* the longest message (UI, UI asset) */
#define REMOTE_CAN_MSG_MAX_LEN 15u     /* 7 + 8 data bytes */
#define REMOTE_PACK_SIZE 256u

/* Bounds of the variable lengths (whole message, start and type byte included). */
#define REMOTE_CAN_HEADER_LEN 7u
#define REMOTE_UI_HEADER_LEN 4u
#define REMOTE_SDO_HEADER_LEN 3u
#define REMOTE_SDO_REQ_MIN_LEN 10u
#define REMOTE_SDO_REQ_MAX_LEN 138u
#define REMOTE_SDO_RES_MIN_LEN 14u
#define REMOTE_SDO_RES_MAX_LEN 142u

typedef struct {
    uint8_t receiving_type; /* REMOTE_MSG_TYPE_COUNT while waiting for a start */
    uint16_t byte_count;
    uint8_t msg_len;
    uint8_t buffer[REMOTE_STREAM_BUFFER_SIZE];
} remote_stream_st;

typedef struct {
    uint16_t len;
    uint8_t buf[REMOTE_PACK_SIZE];
} remote_pack_st;

/* Called once per complete message: its type, the whole message from the start byte, its length. */
typedef void (*remote_stream_callb_t)(void *user, uint8_t type, const uint8_t *msg, uint16_t len);

/* The total length of a fixed-length type; 0 for the variable ones and unknown types. */
uint16_t remote_msg_fixed_len(uint8_t type);

void remote_stream_reset(remote_stream_st *stream);
void remote_stream_feed(remote_stream_st *stream, const uint8_t *data, size_t len, remote_stream_callb_t callback,
                        void *user);

/* Writes one CAN message (at most REMOTE_CAN_MSG_MAX_LEN bytes) and returns its length. */
uint8_t remote_can_msg_encode(const kr_can_message_st *msg, uint8_t *out);
/* Reads one CAN message as the stream delivers it (at least 7 + its data length bytes). */
void remote_can_msg_decode(const uint8_t *in, kr_can_message_st *msg);

void remote_pack_clear(remote_pack_st *pack);
bool remote_pack_append(remote_pack_st *pack, const void *data, size_t len);
uint8_t *remote_pack_reserve(remote_pack_st *pack, size_t len);
void remote_pack_rewind(remote_pack_st *pack, size_t len);

#ifdef __cplusplus
}
#endif

#endif
