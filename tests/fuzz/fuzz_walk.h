// Walks a whole document tree with every query of one reader interface, including out-of-range
// indexes and small destination buffers, and checks what every reader promises: strings stay inside
// the text, copies are terminated inside their destination, children below the count exist.
// Each destination is its own exact-size heap block, so a one-byte overrun is caught by ASan.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#define FUZZ_CHECK(cond)                                                                   \
    do {                                                                                   \
        if (!(cond)) {                                                                     \
            std::fprintf(stderr, "check failed: %s (%s:%d)\n", #cond, __FILE__, __LINE__); \
            std::abort();                                                                  \
        }                                                                                  \
    } while (0)

namespace fuzzwalk {

// The input as the readers take it: its bytes and a terminator, in a block of exactly that size.
struct Input {
    std::unique_ptr<char[]> buf;
    size_t size;
    Input(const uint8_t *data, size_t n) : buf(new char[n + 1]), size(n)
    {
        std::memcpy(buf.get(), data, n);
        buf[n] = '\0';
    }
    bool holds(const char *p, size_t len) const { return p >= buf.get() && p + len <= buf.get() + size; }
};

// Copies into destinations of several sizes; a true result must be a terminated text that fitted.
template <typename F> void copy_checks(F copy, uint32_t expect_len_hint)
{
    const uint32_t sizes[] = {1, 4, expect_len_hint + 1};
    for (uint32_t n : sizes) {
        std::unique_ptr<char[]> d(new char[n]);
        std::memset(d.get(), 'Z', n);
        const bool ok = copy(d.get(), n);
        FUZZ_CHECK(std::memchr(d.get(), '\0', n) != nullptr);
        (void)ok;
    }
    (void)copy(nullptr, 0);
    char one = 'Z';
    (void)copy(&one, 0);
    FUZZ_CHECK(one == 'Z');
}

// Api provides: Node, valid, type, get_int, get_bool, get_string, string_len, string_ptr, obj_name,
// find_child, child(node, i), count(node), next(node, out*), at(node, i), size(node), at_type,
// at_int, at_bool, at_string.
template <typename Api> struct Walker {
    const Input &in;
    int budget = 48;
    std::vector<std::string> names;

    explicit Walker(const Input &i) : in(i) {}

    void scalar(typename Api::Node n)
    {
        (void)Api::type(n);
        (void)Api::get_int(n);
        (void)Api::get_bool(n);
        const uint32_t len = Api::string_len(n);
        const char *p = Api::string_ptr(n);
        if (p != nullptr) FUZZ_CHECK(in.holds(p, len));
        copy_checks([&](char *d, uint32_t l) { return Api::get_string(n, d, l); }, len);
        copy_checks(
            [&](char *d, uint32_t l) {
                const bool ok = Api::obj_name(n, d, l);
                if (ok && d != nullptr && l > 1 && names.size() < 4) names.emplace_back(d);
                return ok;
            },
            64);
    }

    void walk(typename Api::Node n, int depth)
    {
        if (--budget < 0 || depth > 80) return;
        scalar(n);
        if (!Api::valid(n)) return;
        const uint32_t count = Api::count(n);
        const uint32_t size = Api::size(n);
        const uint32_t probes[] = {0, count, size, count + 1, 0x8000, 0xFFFFFFFFu};
        for (size_t k = 0; k < sizeof probes / sizeof probes[0]; ++k) {
            const uint32_t i = probes[k];
            if ((k == 1 && count == 0) || (k == 2 && (size == count || size == 0))) continue;
            (void)Api::at_type(n, i);
            (void)Api::at_int(n, i);
            (void)Api::at_bool(n, i);
            copy_checks([&](char *d, uint32_t l) { return Api::at_string(n, i, d, l); }, 16);
            if (i <= 0xFFFF) {
                typename Api::Node c = Api::child(n, static_cast<uint16_t>(i));
                if (i < count && i < 64) FUZZ_CHECK(Api::valid(c));
                if (i >= count) FUZZ_CHECK(!Api::valid(c));
                if (Api::valid(c)) scalar(c);
            }
            typename Api::Node e = Api::at(n, i);
            if (i >= size) FUZZ_CHECK(!Api::valid(e));
        }
        for (const std::string &name : names) (void)Api::find_child(n, name.c_str());
        (void)Api::find_child(n, "");
        (void)Api::find_child(n, "name");

        // The sibling walk meets as many children as the count says.
        typename Api::Node c = Api::child(n, 0);
        uint32_t seen = Api::valid(c) ? 1 : 0;
        while (Api::valid(c) && budget > 0) {
            walk(c, depth + 1);
            typename Api::Node next = c;
            if (!Api::next(c, &next)) break;
            FUZZ_CHECK(Api::valid(next));
            c = next;
            ++seen;
        }
        if (budget > 0) FUZZ_CHECK(seen == count);
        (void)Api::next(c, nullptr);
    }
};

} // namespace fuzzwalk
