// Remote-link framing and the J1939 helpers: lengths at their bounds, wrapping length bytes,
// resynchronisation, chunked input, CAN round trips, pack bounds, DM1 codes and transport reassembly.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "kr_j1939.h"
#include "kr_remote.h"

namespace {

using bytes = std::vector<uint8_t>;

struct got_st {
    uint8_t type;
    bytes msg;
};

void collect(void *user, uint8_t type, const uint8_t *msg, uint16_t len)
{
    static_cast<std::vector<got_st> *>(user)->push_back({type, bytes(msg, msg + len)});
}

// Feeds `in` in chunks of `chunk` bytes (0: all at once) into a fresh stream.
std::vector<got_st> decode(const bytes &in, size_t chunk = 0)
{
    remote_stream_st s;
    std::memset(&s, 0xA5, sizeof s); // reset must not rely on a zeroed record
    remote_stream_reset(&s);
    std::vector<got_st> out;
    if (chunk == 0) chunk = in.size() ? in.size() : 1;
    for (size_t i = 0; i < in.size(); i += chunk)
        remote_stream_feed(&s, in.data() + i, std::min(chunk, in.size() - i), collect, &out);
    return out;
}

// A message of `type`: start, type, then byte 2 and filler up to `len` bytes in all.
bytes message(uint8_t type, size_t len, uint8_t b2)
{
    bytes m{0x85, type};
    if (len > 2) m.push_back(b2);
    while (m.size() < len) m.push_back((uint8_t)(0x10 + m.size() % 0x60)); // never 0x85
    return m;
}

bytes cat(std::initializer_list<bytes> parts)
{
    bytes out;
    for (const bytes &p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

} // namespace

TEST(RemoteStream, EveryTypeHasItsLengthAndVariableLengthsStopAtTheirBounds)
{
    struct row {
        uint8_t type;
        uint8_t b2;
        size_t len; // 0: the message is dropped
    };
    const row rows[] = {
        {0, 0, 11},
        {1, 0, 2},
        {3, 0, 14},
        {4, 0, 2},
        {5, 0, 2},
        {7, 0, 9},
        {8, 0, 7},
        {10, 0, 3},
        {11, 0, 4},
        {12, 0, 6},
        {13, 0, 2},
        {14, 0, 38},
        {17, 0, 2},
        {18, 0, 34},
        // CAN: 7 + data length, at most 8 data bytes; 249 would wrap to 0 in 8 bits.
        {2, 0, 7},
        {2, 3, 10},
        {2, 8, 15},
        {2, 9, 0},
        {2, 249, 0},
        {2, 255, 0},
        // UI and UI asset: 4 + byte 2, at most 204; 252 would wrap to 0.
        {6, 0, 4},
        {6, 200, 204},
        {6, 201, 0},
        {6, 252, 0},
        {9, 200, 204},
        {9, 201, 0},
        {9, 255, 0},
        // SDO request 10..138, response 14..142; 253 would wrap to 0.
        {15, 7, 10},
        {15, 6, 0},
        {15, 135, 138},
        {15, 136, 0},
        {15, 253, 0},
        {16, 11, 14},
        {16, 10, 0},
        {16, 139, 142},
        {16, 140, 0},
        {16, 253, 0},
    };
    const bytes after = message(REMOTE_MSG_TYPE_IOT_STATUS, 4, 0x42);
    for (const row &r : rows) {
        SCOPED_TRACE(::testing::Message() << "type " << (int)r.type << " byte2 " << (int)r.b2);
        size_t body = r.len ? r.len : 300; // a dropped message is followed by bytes that must be skipped
        bytes m = message(r.type, body, r.b2);
        for (size_t chunk : {0, 1, 5}) {
            auto got = decode(cat({m, after}), chunk);
            if (r.len) {
                ASSERT_EQ(got.size(), 2u);
                EXPECT_EQ(got[0].type, r.type);
                EXPECT_EQ(got[0].msg, m);
                if (r.len <= 2) {
                    EXPECT_EQ(remote_msg_fixed_len(r.type), r.len);
                }
            } else {
                ASSERT_EQ(got.size(), 1u);
            }
            EXPECT_EQ(got.back().msg, after);
        }
    }
    EXPECT_EQ(remote_msg_fixed_len(REMOTE_MSG_TYPE_CAN), 0u);
    EXPECT_EQ(remote_msg_fixed_len(REMOTE_MSG_TYPE_COUNT), 0u);
}

TEST(RemoteStream, ResynchronisesAfterGarbageAndRepeatedStartBytesInAnyChunking)
{
    const bytes can = {0x85, 0x02, 0x03, 0x23, 0x01, 0x00, 0x00, 0xAA, 0xBB, 0xCC}; // 10 bytes
    const bytes close = {0x85, 0x0D};
    bytes in = cat({{0x00, 0x13, 0xFF},
                    can,
                    {0x85, 0x85},
                    close, // a second start byte starts over
                    {0x85, 0x13, 0x01},
                    close, // an unknown type is not a message
                    {0x85, 0x02, 0x85, 0x01},
                    close, // a bad length byte that is a start byte
                    {0x85, 0x85, 0x85},
                    can});
    const std::vector<bytes> want = {can, close, close, {0x85, 0x01}, close, can};
    for (size_t chunk : {0, 1, 2, 3, 7, 64}) {
        SCOPED_TRACE(chunk);
        auto got = decode(in, chunk);
        ASSERT_EQ(got.size(), want.size());
        for (size_t i = 0; i < want.size(); i++) {
            EXPECT_EQ(got[i].msg, want[i]) << i;
            EXPECT_EQ(got[i].type, want[i][1]);
        }
    }
    // A message cut off by the end of the input completes with the next feed.
    remote_stream_st s;
    remote_stream_reset(&s);
    std::vector<got_st> out;
    remote_stream_feed(&s, can.data(), 6, collect, &out);
    EXPECT_TRUE(out.empty());
    remote_stream_feed(&s, can.data() + 6, can.size() - 6, collect, &out);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].msg, can);
}

TEST(RemoteCan, RoundTripsThroughTheStreamAndCapsTheLength)
{
    kr_can_message_st std_msg{}, ext_msg{}, long_msg{}, back{};
    std_msg.id = 0x7FF;
    std_msg.type = CAN_STD;
    std_msg.data_length = 3;
    std_msg.data[0] = 1, std_msg.data[1] = 2, std_msg.data[2] = 3;
    ext_msg.id = 0x18FECA00;
    ext_msg.type = CAN_EXT;
    ext_msg.data_length = 8;
    for (int i = 0; i < 8; i++) ext_msg.data[i] = (uint8_t)(0xF0 + i);
    long_msg = ext_msg;
    long_msg.data_length = 200; // a corrupted length: never more than the 8 data bytes go out

    uint8_t out[64];
    std::memset(out, 0xEE, sizeof out);
    ASSERT_EQ(remote_can_msg_encode(&std_msg, out), 10);
    EXPECT_EQ(bytes(out, out + 11), (bytes{0x85, 2, 3, 0xFF, 0x07, 0, 0, 1, 2, 3, 0xEE}));
    ASSERT_EQ(remote_can_msg_encode(&ext_msg, out), 15);
    EXPECT_EQ(bytes(out + 3, out + 7), (bytes{0x00, 0xCA, 0xFE, 0x38})); // bit 29 marks extended
    std::memset(out, 0xEE, sizeof out);
    ASSERT_EQ(remote_can_msg_encode(&long_msg, out), 15);
    EXPECT_EQ(out[2], 8);
    EXPECT_EQ(out[15], 0xEE);

    for (const kr_can_message_st *m : {&std_msg, &ext_msg, &long_msg}) {
        uint8_t n = remote_can_msg_encode(m, out);
        auto got = decode(bytes(out, out + n), 1);
        ASSERT_EQ(got.size(), 1u);
        remote_can_msg_decode(got[0].msg.data(), &back);
        EXPECT_EQ(back.id, m->id);
        EXPECT_EQ(back.type, m->type);
        EXPECT_EQ(back.data_length, m->data_length > 8 ? 8 : m->data_length);
        EXPECT_EQ(0, std::memcmp(back.data, m->data, back.data_length));
    }
    // A decoded length byte above 8 is capped.
    uint8_t raw[16] = {0x85, 2, 9, 1, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    remote_can_msg_decode(raw, &back);
    EXPECT_EQ(back.data_length, 8);
    EXPECT_EQ(back.type, CAN_STD);
}

TEST(RemotePack, NeverGoesPastItsBufferNorWrapsItsLength)
{
    remote_pack_st p;
    std::memset(&p, 0xEE, sizeof p);
    remote_pack_clear(&p);
    bytes chunk(100, 7);
    EXPECT_TRUE(remote_pack_append(&p, chunk.data(), 100));
    EXPECT_TRUE(remote_pack_append(&p, chunk.data(), 100));
    EXPECT_FALSE(remote_pack_append(&p, chunk.data(), 57)); // 257
    EXPECT_EQ(p.len, 200);
    EXPECT_EQ(remote_pack_reserve(&p, (size_t)-1), nullptr); // no wrap-around
    EXPECT_EQ(remote_pack_reserve(&p, 65336), nullptr);      // 200 + 65336 wraps a 16-bit length
    uint8_t *r = remote_pack_reserve(&p, 56);
    ASSERT_EQ(r, p.buf + 200);
    EXPECT_EQ(p.len, 256);
    EXPECT_EQ(remote_pack_reserve(&p, 1), nullptr);
    EXPECT_NE(remote_pack_reserve(&p, 0), nullptr);
    remote_pack_rewind(&p, 6);
    EXPECT_EQ(p.len, 250);
    remote_pack_rewind(&p, 1000);
    EXPECT_EQ(p.len, 0);
}

TEST(J1939, Dm1CodesInBothConversionsAndIndexBounds)
{
    j1939_dtc_st d{};
    const uint8_t one[] = {0x00, 0xFF, 0x5C, 0x00, 0x03, 0x01};
    ASSERT_EQ(kr_j1939_dm1_get_dtc(&d, one, sizeof one, 0), ERR_NONE);
    EXPECT_EQ(d.spn, 92u);
    EXPECT_EQ(d.fmi, 3);
    EXPECT_EQ(d.cm, 0);
    EXPECT_EQ(d.oc, 1);
    const uint8_t two[] = {0x00, 0xFF, 0x5C, 0x00, 0x03, 0x01, 0x12, 0x34, 0xB6, 0x85};
    ASSERT_EQ(kr_j1939_dm1_get_dtc(&d, two, sizeof two, 1), ERR_NONE);
    EXPECT_EQ(d.cm, 1);
    EXPECT_EQ(d.oc, 5);
    EXPECT_EQ(d.fmi, 0x16);
    EXPECT_EQ(d.spn, 0x12u * 2048u + 0x34u * 8u + 5u);
    d = {};
    EXPECT_EQ(kr_j1939_dm1_get_dtc(&d, one, 5, 0), ERR_BUFFER_OVERFLOW);
    EXPECT_EQ(kr_j1939_dm1_get_dtc(&d, two, sizeof two, 2), ERR_BUFFER_OVERFLOW);
    EXPECT_EQ(kr_j1939_dm1_get_dtc(&d, two, 0xFFFF, 0xFFFF), ERR_BUFFER_OVERFLOW);     // 0xFFFF * 4 + 5 no wrap
    EXPECT_EQ(kr_j1939_dm1_get_dtc(&d, two, sizeof two, 0x4000), ERR_BUFFER_OVERFLOW); // wraps in 16 bits
    EXPECT_EQ(d.spn, 0u);
}

namespace {

kr_can_message_st j1939_frame(uint32_t id, bytes data)
{
    kr_can_message_st m{};
    m.id = id;
    m.type = CAN_EXT;
    m.data_length = (uint8_t)data.size();
    if (!data.empty()) std::memcpy(m.data, data.data(), data.size());
    return m;
}

kr_can_message_st bam(uint16_t size, uint16_t pgn)
{
    uint8_t packets = (uint8_t)((size + 6) / 7);
    return j1939_frame(0x1CECFF3D, {0x20, (uint8_t)size, (uint8_t)(size >> 8), packets, 0xFF, (uint8_t)pgn,
                                    (uint8_t)(pgn >> 8), 0});
}

kr_can_message_st packet(uint8_t n, const bytes &msg)
{
    bytes d{n};
    for (size_t i = 0; i < 7; i++) {
        size_t at = (size_t)(n - 1) * 7 + i;
        d.push_back(at < msg.size() ? msg[at] : 0xFF);
    }
    return j1939_frame(0x1CEBFF3D, d);
}

struct rx_st {
    uint8_t dest[40];
    kr_j1939_transport_st t;
    explicit rx_st(uint16_t pgn)
    {
        std::memset(dest, 0xEE, sizeof dest);
        kr_j1939_transport_init(&t, dest, 32, pgn);
    }
    // Which of the frames reported a complete message.
    std::vector<size_t> feed(const std::vector<kr_can_message_st> &frames)
    {
        std::vector<size_t> done;
        for (size_t i = 0; i < frames.size(); i++)
            if (kr_j1939_transport_rx(&t, &frames[i])) done.push_back(i);
        return done;
    }
};

} // namespace

TEST(J1939, BroadcastReassemblesOnceAndOnlyInOrder)
{
    bytes msg;
    for (int i = 0; i < 20; i++) msg.push_back((uint8_t)(i + 1));
    const uint16_t pgn = 0xFECA;

    { // Data before any announcement, then the message, then a stray packet after it.
        rx_st r(pgn);
        auto done = r.feed({packet(1, msg), bam(20, pgn), packet(1, msg), packet(2, msg), packet(3, msg),
                            packet(3, msg), packet(1, msg)});
        EXPECT_EQ(done, std::vector<size_t>{4});
        EXPECT_EQ(bytes(r.dest, r.dest + 20), msg);
        EXPECT_EQ(r.dest[20], 0xEE); // the last packet's padding is not data
    }
    { // A repeated packet is ignored.
        rx_st r(pgn);
        EXPECT_EQ(r.feed({bam(20, pgn), packet(1, msg), packet(2, msg), packet(2, msg), packet(3, msg)}),
                  std::vector<size_t>{4});
        EXPECT_EQ(bytes(r.dest, r.dest + 20), msg);
    }
    { // A lost packet drops the message; the next announcement starts a new one.
        rx_st r(pgn);
        EXPECT_TRUE(r.feed({bam(20, pgn), packet(1, msg), packet(3, msg), packet(2, msg), packet(3, msg)}).empty());
        EXPECT_EQ(r.feed({bam(20, pgn), packet(1, msg), packet(2, msg), packet(3, msg)}), std::vector<size_t>{3});
        EXPECT_EQ(bytes(r.dest, r.dest + 20), msg);
    }
    { // Zero-length and standard frames, another PGN's message, an empty announcement: nothing completes.
        rx_st r(pgn);
        kr_can_message_st empty = j1939_frame(0x1CEBFF3D, {});
        kr_can_message_st std_frame = packet(1, msg);
        std_frame.type = CAN_STD;
        EXPECT_TRUE(
            r.feed({bam(20, pgn), empty, std_frame, bam(7, 0xFEE5), packet(1, msg), bam(0, pgn), empty, packet(1, msg)})
                .empty());
        EXPECT_EQ(r.dest[0], 0xEE);
    }
    { // PGN 0 adopts the first announced one; a message larger than the destination never completes.
        rx_st r(0);
        bytes big(40, 0x11);
        std::vector<kr_can_message_st> frames{bam(40, 0xFD7C)};
        for (uint8_t n = 1; n <= 6; n++) frames.push_back(packet(n, big));
        EXPECT_TRUE(r.feed(frames).empty());
        EXPECT_EQ(r.t.pgn, 0xFD7C);
        EXPECT_EQ(r.dest[31], 0x11);
        EXPECT_EQ(r.dest[32], 0xEE);
        EXPECT_EQ(r.feed({bam(7, 0xFD7C), packet(1, msg)}), std::vector<size_t>{1});
    }
}
