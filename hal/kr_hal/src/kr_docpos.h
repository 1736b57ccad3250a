// Fills a kr_doc_error_st from a position in a text. Shared by the JSON and YAML syntax passes.
#ifndef KR_DOCPOS_H
#define KR_DOCPOS_H

#include <cstdarg>
#include <cstdio>

#include "kr_docerror.h"

namespace kr_docpos {

// line is the 1-based line of pos, line_start the first byte of that line.
__attribute__((format(printf, 5, 6))) inline void fail(kr_doc_error_st *error, const char *line_start, const char *pos,
                                                       uint32_t line, const char *fmt, ...)
{
    if (error == nullptr) return;
    uint32_t column = 1;
    for (const char *p = line_start; p < pos; ++p) {
        if ((static_cast<unsigned char>(*p) & 0xC0) != 0x80) ++column; // UTF-8 continuation bytes share a column
    }
    error->line = line;
    error->column = column;
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(error->reason, sizeof error->reason, fmt, ap);
    va_end(ap);
}

// A character for a message: printable ASCII as itself, anything else as its code.
inline const char *shown(char c, char (&buf)[8])
{
    const unsigned char u = static_cast<unsigned char>(c);
    if (u >= 0x21 && u < 0x7F)
        std::snprintf(buf, sizeof buf, "'%c'", c);
    else
        std::snprintf(buf, sizeof buf, "0x%02X", u);
    return buf;
}

// A hexadecimal digit's value, or -1.
inline int hex_digit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// A code point as UTF-8 in out; its length (1 to 4).
inline unsigned utf8_put(uint32_t cp, char *out)
{
    if (cp < 0x80) {
        out[0] = static_cast<char>(cp);
        return 1;
    }
    if (cp < 0x800) {
        out[0] = static_cast<char>(0xC0 | (cp >> 6));
        out[1] = static_cast<char>(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000) {
        out[0] = static_cast<char>(0xE0 | (cp >> 12));
        out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out[2] = static_cast<char>(0x80 | (cp & 0x3F));
        return 3;
    }
    out[0] = static_cast<char>(0xF0 | ((cp >> 18) & 0x07));
    out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (cp & 0x3F));
    return 4;
}

} // namespace kr_docpos

#endif
