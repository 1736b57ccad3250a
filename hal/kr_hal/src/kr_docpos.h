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

} // namespace kr_docpos

#endif
