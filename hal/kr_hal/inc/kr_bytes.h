/* Little-endian fields of CAN frames and stored records, and bounded copies of C strings.
 * Valid C11 and C++. */
#ifndef KR_BYTES_H
#define KR_BYTES_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#ifdef __cplusplus
extern "C" {
#endif

static inline uint16_t kr_get_le16(const uint8_t *p) { return (uint16_t)(p[0] | (p[1] << 8)); }

static inline uint32_t kr_get_le32(const uint8_t *p)
{
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}

/* The first n bytes as a little-endian number; bytes past the fourth are not read. */
static inline uint32_t kr_get_le(const uint8_t *p, uint32_t n)
{
    uint32_t v = 0;
    for (uint32_t i = 0; i < n && i < 4; i++) v |= (uint32_t)p[i] << (8 * i);
    return v;
}

static inline void kr_put_le32(uint8_t *p, uint32_t v)
{
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
    p[2] = (uint8_t)(v >> 16);
    p[3] = (uint8_t)(v >> 24);
}

/* Copies src (NULL as "") into dest of size bytes, cut to fit and always terminated when size is
 * not 0. The two may overlap. False when the text was cut (or size is 0). */
static inline bool kr_copy_text(char *dest, size_t size, const char *src)
{
    if (!dest || size == 0) return false;
    if (!src) src = "";
    size_t n = 0;
    while (n + 1 < size && src[n]) n++;
    bool whole = src[n] == '\0';
    memmove(dest, src, n);
    dest[n] = '\0';
    return whole;
}

#ifdef __cplusplus
}
#endif

#endif
