// Fuzz target: the label's colour sequences and the UTF-8 cut on arbitrary bytes. Every parse ends
// inside the text and gives the label's colour, the one it had, or a colour of the table.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "ui/kr_uitextedit.h"
#include "ui/kr_uiwidgets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::vector<char> s(data, data + size);
    s.push_back('\0');
    const char *end = s.data() + std::strlen(s.data());
    static const color_t allowed[] = {0xFF000001, 0xFF000002, 0xFF505050, 0xFFE02020, 0xFF30B030,
                                      0xFFF2C200, 0xFF4878E0, 0xFFC040C0, 0xFF20B0B0, 0xFFE8E8E8};
    const char *p = s.data();
    color_t c = 0xFF000002;
    while (p < end) {
        const char *next = kr_uilabel_parse_sgr(p, 0xFF000001, &c);
        if (next <= p && *p) std::abort();
        if (next > end) std::abort();
        bool ok = false;
        for (color_t a : allowed) ok |= a == c;
        if (!ok) std::abort();
        p = next;
    }
    for (size_t max = 0; max <= std::strlen(s.data()) && max < 8; ++max) {
        std::vector<char> t(s);
        const size_t n = kr_utf8_cut(t.data(), max);
        if (n > max || std::strlen(t.data()) != n) std::abort();
    }
    return 0;
}
