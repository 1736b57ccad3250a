// CRC-16 (CCITT polynomial 0x1021, initial value 0) of the settings record and of SDO block
// transfers. Pure: any task may call it.
#include <array>
#include <cstddef>
#include <cstdint>

#include "kr_memory.h"

namespace {

constexpr std::array<uint16_t, 256> make_crc_table()
{
    std::array<uint16_t, 256> t{};
    for (unsigned i = 0; i < 256; i++) {
        uint16_t crc = (uint16_t)(i << 8);
        for (int b = 0; b < 8; b++) crc = (crc & 0x8000) ? (uint16_t)((crc << 1) ^ 0x1021) : (uint16_t)(crc << 1);
        t[i] = crc;
    }
    return t;
}

constexpr std::array<uint16_t, 256> crc_table = make_crc_table();

} // namespace

uint16_t kr_memory_calc_crc(const void *data, size_t len)
{
    const unsigned char *p = static_cast<const unsigned char *>(data);
    uint16_t crc = 0;
    for (size_t i = 0; i < len; i++) crc = (uint16_t)((crc << 8) ^ crc_table[((crc >> 8) ^ p[i]) & 0xFF]);
    return crc;
}
