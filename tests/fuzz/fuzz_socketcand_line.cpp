// Fuzz target: bytes from a socketcand server, cut into elements and read as frames.
// fuzz-sources: hal/kr_hal/src_linux/can/kr_can_socketcand_parse.cpp
// Build: clang++ -std=c++20 -fsanitize=fuzzer,address,undefined -Ihal/kr_hal/inc -Ihal/kr_hal/src_linux \
//        tests/fuzz/fuzz_socketcand_line.cpp hal/kr_hal/src_linux/can/kr_can_socketcand_parse.cpp
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "../../hal/kr_hal/src_linux/can/kr_can_socketcand_parse.h"

static void check_frame(const kr_can_message_st &m)
{
    if (m.data_length > 8) std::abort();
    // A frame read from the server can be written back and reads as the same frame.
    if (m.type == CAN_ERR) return;
    char line[KR_SCD_LINE_MAX];
    size_t n = kr_scd_format_send(&m, line, sizeof line);
    if (n == 0 || n >= sizeof line) std::abort();
    // "< send ID LEN B0 .. >" -> "frame ID 0.0 B0 .." without the length field
    char element[KR_SCD_ELEMENT_MAX];
    const char *id = line + 7;
    const char *len_end = std::strchr(std::strchr(id, ' ') + 1, ' ');
    size_t id_len = (size_t)(std::strchr(id, ' ') - id);
    std::memcpy(element, "frame ", 6);
    std::memcpy(element + 6, id, id_len);
    std::memcpy(element + 6 + id_len, " 0.0", 4);
    size_t rest = std::strlen(len_end) - 1; // drop the closing '>'
    std::memcpy(element + 10 + id_len, len_end, rest);
    element[10 + id_len + rest] = '\0';
    kr_can_message_st back;
    if (kr_scd_parse(element, &back, nullptr, nullptr) != SCD_EL_FRAME) std::abort();
    if (back.id != m.id || back.type != m.type || back.data_length != m.data_length ||
        std::memcmp(back.data, m.data, m.data_length) != 0)
        std::abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0) return 0;
    size_t chunk = (size_t)(data[0] % 64) + 1; // how the bytes arrive over TCP
    data++;
    size--;
    kr_scd_reader_st r;
    kr_scd_reader_init(&r);
    char element[KR_SCD_ELEMENT_MAX + 1];
    size_t at = 0;
    for (;;) {
        kr_scd_read_e k = kr_scd_reader_next(&r, element, sizeof element);
        if (k == SCD_READ_ELEMENT) {
            if (std::strlen(element) > KR_SCD_ELEMENT_MAX) std::abort();
            kr_can_message_st m;
            struct timeval tv;
            const char *why = nullptr;
            kr_scd_element_e kind = kr_scd_parse(element, &m, &tv, &why);
            if (kind == SCD_EL_FRAME) check_frame(m);
            if (kind == SCD_EL_BAD && (!why || !*why)) std::abort();
            continue;
        }
        if (k == SCD_READ_JUNK) continue;
        if (at == size) break;
        size_t room = 0;
        char *p = kr_scd_reader_space(&r, &room);
        if (room == 0) std::abort(); // the reader must always make progress
        size_t n = chunk < room ? chunk : room;
        if (n > size - at) n = size - at;
        std::memcpy(p, data + at, n);
        kr_scd_reader_commit(&r, n);
        at += n;
    }
    return 0;
}
