// Frames of the virtual bus, the socketcand raw-mode text elements that carry them, and the
// length of a frame on a real CAN wire (for pacing). Test code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

enum sim_frame_kind_e : uint8_t {
    SIM_FRAME_STD = 0, // 11-bit identifier
    SIM_FRAME_EXT = 1, // 29-bit identifier
    SIM_FRAME_ERR = 2, // error frame: id holds the error class
};

struct sim_frame_st {
    uint32_t id = 0;
    uint8_t kind = SIM_FRAME_STD;
    uint8_t len = 0;
    uint8_t data[8] = {};
    int64_t stamp_us = 0; // the hub's time stamp of a received frame (wall clock, microseconds)
    int64_t rx_ns = 0;    // when the client took it (monotonic clock, nanoseconds)
};

sim_frame_st sim_frame_std(uint32_t id, std::initializer_list<uint8_t> bytes);
sim_frame_st sim_frame_ext(uint32_t id, std::initializer_list<uint8_t> bytes);
sim_frame_st sim_frame_err(uint32_t error_class);
sim_frame_st sim_frame_make(uint32_t id, const uint8_t *bytes, uint8_t len);

// Same identifier, kind, length and data (time stamps aside).
bool sim_frame_same(const sim_frame_st &a, const sim_frame_st &b);
// "581 [8] 43 18 10 01 1D 03 00 00", "1ABCDEF0x [2] ..", "ERR 004", for messages.
std::string sim_frame_str(const sim_frame_st &f);

int64_t sim_mono_ns(); // CLOCK_MONOTONIC
int64_t sim_wall_us(); // CLOCK_REALTIME

// --- socketcand elements ---------------------------------------------------------------

// Cuts "< ... >" elements out of a byte stream. Bytes outside an element, and elements
// longer than max_len, are skipped and reported through `garbage` (for a message).
struct sim_element_reader_st {
    std::string buf;
    size_t pos = 0;
    size_t max_len = 512;
};
void sim_element_feed(sim_element_reader_st &r, const char *bytes, size_t n);
// Next complete element's inner text (without the brackets, trimmed); false when none yet.
bool sim_element_next(sim_element_reader_st &r, std::string &element, std::string &garbage);

// The words of an element, without allocating; more than 16 words marks it overflowed.
struct sim_tokens_st {
    std::string_view t[16];
    size_t n = 0;
    bool overflow = false;
    size_t size() const { return n; }
    bool empty() const { return n == 0; }
    std::string_view operator[](size_t i) const { return t[i]; }
};
sim_tokens_st sim_tokens(std::string_view s);

// "send ID LEN B0 .." (client to server). 8 hex digits make an extended identifier.
bool sim_parse_send(std::string_view element, sim_frame_st &f, std::string &err);
// "senderror CLASS": this hub's way for a test client to put an error frame on the bus.
bool sim_parse_senderror(std::string_view element, sim_frame_st &f, std::string &err);
// "frame ID SECS.USECS B0 .." or "error CLASS SECS.USECS" (server to client).
bool sim_parse_rx(std::string_view element, sim_frame_st &f, std::string &err);

std::string sim_format_send(const sim_frame_st &f);
std::string sim_format_rx(const sim_frame_st &f, int64_t stamp_us);

// --- the wire -------------------------------------------------------------------------

// CRC-15 of CAN (polynomial 0x4599) over a bit string (one bit per byte, 0 or 1).
uint16_t sim_can_crc15(const uint8_t *bits, size_t n);
// Bits a frame occupies on the wire, interframe space included: the exact stuff bits of
// this identifier and data (an error frame counts its flag, delimiter and interframe space).
uint32_t sim_can_frame_bits(const sim_frame_st &f);
