// Fuzz target: random bytes fed in random chunks into the remote-link stream decoder. Every
// message must start with the start byte, have the length its type allows and fit the buffer;
// feeding the same bytes one at a time must give the same messages.
// fuzz-sources: hal/kr_hal/src/kr_remote.cpp
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "kr_remote.h"

namespace {

struct seen_st {
    std::vector<uint8_t> all; // every message, type and length first
    size_t count = 0;
};

uint32_t allowed_len(uint8_t type, const uint8_t *msg, uint16_t len)
{
    uint16_t fixed = remote_msg_fixed_len(type);
    if (fixed) return fixed;
    if (len < 3) return 0;
    uint32_t b = msg[2];
    switch (type) {
    case REMOTE_MSG_TYPE_CAN: return b <= 8 ? 7 + b : 0;
    case REMOTE_MSG_TYPE_UI:
    case REMOTE_MSG_TYPE_UI_ASSET: return b <= 200 ? 4 + b : 0;
    case REMOTE_MSG_TYPE_SDO_REQ: return b >= 7 && b <= 135 ? 3 + b : 0;
    case REMOTE_MSG_TYPE_SDO_RES: return b >= 11 && b <= 139 ? 3 + b : 0;
    default: return 0;
    }
}

void check(void *user, uint8_t type, const uint8_t *msg, uint16_t len)
{
    if (type >= REMOTE_MSG_TYPE_COUNT || len < 2 || len > REMOTE_STREAM_BUFFER_SIZE) std::abort();
    if (msg[0] != REMOTE_MSG_START_BYTE || msg[1] != type) std::abort();
    if (allowed_len(type, msg, len) != len) std::abort();
    if (type == REMOTE_MSG_TYPE_CAN) {
        kr_can_message_st m;
        remote_can_msg_decode(msg, &m);
        uint8_t out[REMOTE_CAN_MSG_MAX_LEN];
        if (remote_can_msg_encode(&m, out) != len || m.data_length != msg[2]) std::abort();
        if (std::memcmp(out + 7, msg + 7, m.data_length) != 0) std::abort();
    }
    seen_st *s = static_cast<seen_st *>(user);
    s->all.push_back(type);
    s->all.push_back((uint8_t)len);
    s->all.insert(s->all.end(), msg, msg + len);
    s->count++;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0) return 0;
    uint8_t seed = data[0];
    data++;
    size--;
    seen_st chunked, single;
    remote_stream_st a, b;
    remote_stream_reset(&a);
    remote_stream_reset(&b);
    size_t i = 0;
    uint32_t r = seed * 2654435761u + 1;
    while (i < size) {
        r = r * 1103515245u + 12345u;
        size_t n = (r >> 16) % 300 + 1;
        if (n > size - i) n = size - i;
        remote_stream_feed(&a, data + i, n, check, &chunked);
        i += n;
    }
    for (size_t k = 0; k < size; k++) remote_stream_feed(&b, data + k, 1, check, &single);
    if (chunked.all != single.all) std::abort();
    return 0;
}
