// The JSON reader on raw input: its syntax pass refuses with a place, or every query walks the result.
// corpus: json
#include <cstddef>
#include <cstdint>

#include "fuzz_walk.h"
#include "kr_json.h"

namespace {

struct JsonApi {
    using Node = char *;
    static bool valid(Node n) { return n != nullptr; }
    static int type(Node n) { return kr_jsonreader_get_type(n); }
    static int32_t get_int(Node n) { return kr_jsonreader_get_int(n); }
    static bool get_bool(Node n) { return kr_jsonreader_get_bool(n); }
    static bool get_string(Node n, char *d, uint32_t l) { return kr_jsonreader_get_string(n, d, l); }
    static uint32_t string_len(Node n) { return kr_jsonreader_get_string_len(n); }
    static char *string_ptr(Node n) { return kr_jsonreader_get_string_ptr(n); }
    static bool obj_name(Node n, char *d, uint32_t l) { return kr_jsonreader_get_obj_name(n, d, l); }
    static Node find_child(Node n, const char *name) { return kr_jsonreader_find_child(n, name); }
    static Node child(Node n, uint16_t i) { return kr_jsonreader_get_child(n, i); }
    static uint32_t count(Node n)
    {
        Node c = kr_jsonreader_get_child(n, 0);
        uint32_t k = c != nullptr ? 1 : 0;
        while (c != nullptr && kr_jsonreader_get_next_sibling(c, &c)) ++k;
        return k;
    }
    static bool next(Node n, Node *out) { return kr_jsonreader_get_next_sibling(n, out); }
    static Node at(Node n, uint32_t i) { return kr_jsonreader_array_at(n, i); }
    static uint32_t size(Node n) { return kr_jsonreader_array_get_size(n); }
    static int at_type(Node n, uint32_t i) { return kr_jsonreader_array_get_type(n, i); }
    static int32_t at_int(Node n, uint32_t i)
    {
        (void)kr_json_array_get_int(n, i);
        return kr_jsonreader_array_get_int(n, i);
    }
    static bool at_bool(Node n, uint32_t i) { return kr_jsonreader_array_get_bool(n, i); }
    static bool at_string(Node n, uint32_t i, char *d, uint32_t l)
    {
        return kr_jsonreader_array_get_string(n, i, d, l);
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 0xFFFFFF) return 0;
    fuzzwalk::Input in(data, size);
    kr_doc_error_st err{};
    if (kr_jsonreader_parse(in.buf.get(), static_cast<uint32_t>(size), &err) != ERR_NONE) {
        FUZZ_CHECK(err.line >= 1 && err.column >= 1 && err.reason[0] != '\0');
        return 0;
    }
    in.size = std::strlen(in.buf.get());
    fuzzwalk::Walker<JsonApi> w(in);
    w.walk(in.buf.get(), 0);
    return 0;
}
