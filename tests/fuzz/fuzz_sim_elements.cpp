// Fuzz target: bytes from a client of the virtual bus hub, cut into elements and read as the
// hub reads them; whatever parses writes back and reads as the same frame.
// fuzz-sources: tests/sim/sim_frame.cpp
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "../sim/sim_frame.h"

static void round_trip(const sim_frame_st &f)
{
    if (f.len > 8) std::abort();
    std::string err, el, garbage;
    sim_element_reader_st r;
    std::string sent = sim_format_send(f), rx = sim_format_rx(f, 1234567890123456);
    sim_element_feed(r, sent.data(), sent.size());
    sim_element_feed(r, rx.data(), rx.size());
    sim_frame_st g;
    if (!sim_element_next(r, el, garbage) ||
        !(f.kind == SIM_FRAME_ERR ? sim_parse_senderror(el, g, err) : sim_parse_send(el, g, err)) ||
        !sim_frame_same(f, g))
        std::abort();
    if (!sim_element_next(r, el, garbage) || !sim_parse_rx(el, g, err) || !sim_frame_same(f, g) ||
        g.stamp_us != 1234567890123456)
        std::abort();
    (void)sim_can_frame_bits(f);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    sim_element_reader_st r;
    std::string el, garbage, err;
    // Fed in uneven pieces, as reads deliver them.
    size_t pos = 0, step = 1;
    while (pos < size) {
        size_t n = std::min(step, size - pos);
        sim_element_feed(r, reinterpret_cast<const char *>(data) + pos, n);
        pos += n;
        step = step * 3 % 17 + 1;
        while (sim_element_next(r, el, garbage)) {
            if (el.size() > r.max_len) std::abort();
            sim_frame_st f;
            if (sim_parse_send(el, f, err)) round_trip(f);
            if (sim_parse_senderror(el, f, err)) round_trip(f);
            if (sim_parse_rx(el, f, err)) round_trip(f);
        }
    }
    return 0;
}
