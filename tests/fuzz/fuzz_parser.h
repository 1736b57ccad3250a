// The document parser on raw input: its bracket check and reading, then the whole tree walked with
// every parser query.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fuzz_walk.h"
#include "database/parser.h"

namespace fuzzparser {

struct ParserApi {
    using Node = parser_node_st;
    static bool valid(Node n) { return parser_node_is_valid(n); }
    static int type(Node n) { return parser_get_type(n); }
    static int32_t get_int(Node n) { return parser_get_int(n); }
    static bool get_bool(Node n) { return parser_get_bool(n); }
    static bool get_string(Node n, char *d, uint32_t l) { return parser_get_string(n, d, l); }
    static uint32_t string_len(Node n) { return parser_get_string_len(n); }
    static char *string_ptr(Node n) { return parser_get_string_ptr(n); }
    static bool obj_name(Node n, char *d, uint32_t l) { return parser_get_obj_name(n, d, l); }
    static Node find_child(Node n, const char *name) { return parser_find_child(n, name); }
    static Node child(Node n, uint16_t i) { return parser_get_child(n, i); }
    static uint32_t count(Node n) { return parser_get_child_count(n); }
    static bool next(Node n, Node *out) { return parser_get_next_sibling(n, out); }
    static Node at(Node n, uint32_t i) { return parser_array_at(n, i); }
    static uint32_t size(Node n) { return parser_array_get_size(n); }
    static int at_type(Node n, uint32_t i) { return parser_array_get_type(n, i); }
    static int32_t at_int(Node n, uint32_t i) { return parser_array_get_int(n, i); }
    static bool at_bool(Node n, uint32_t i) { return parser_array_get_bool(n, i); }
    static bool at_string(Node n, uint32_t i, char *d, uint32_t l) { return parser_array_get_string(n, i, d, l); }
};

inline int run(const uint8_t *data, size_t size, parser_formats_e format)
{
    if (size > 0xFFFFFF) return 0;
    fuzzwalk::Input in(data, size);
    const parser_node_st root = parser_read_buffer(in.buf.get(), size, format);
    FUZZ_CHECK(std::memchr(parser_last_error(), '\0', PARSER_ERROR_LENGTH) != nullptr);
    if (!parser_node_is_valid(root)) {
        FUZZ_CHECK(std::strcmp(parser_last_error(), "no error") != 0);
        return 0;
    }
    FUZZ_CHECK(std::strcmp(parser_last_error(), "no error") == 0);
    FUZZ_CHECK(root.format == format);
    // The text may begin after a byte-order mark; all of it lies inside the input block.
    in.size = size;
    fuzzwalk::Walker<ParserApi> w(in);
    w.walk(root, 0);
    return 0;
}

} // namespace fuzzparser
