// The YAML reader on raw input.
// corpus: yaml
#include <cstddef>
#include <cstdint>

#include "fuzz_walk.h"
#include "kr_yamlreader.h"

namespace {

struct YamlApi {
    using Node = kr_yaml_node_st;
    static bool valid(Node n) { return n.ptr != nullptr; }
    static int type(Node n) { return kr_yamlreader_get_type(n); }
    static int32_t get_int(Node n) { return kr_yamlreader_get_int(n); }
    static bool get_bool(Node n) { return kr_yamlreader_get_bool(n); }
    static bool get_string(Node n, char *d, uint32_t l) { return kr_yamlreader_get_string(n, d, l); }
    static uint32_t string_len(Node n) { return kr_yamlreader_get_string_len(n); }
    static char *string_ptr(Node n) { return kr_yamlreader_get_string_ptr(n); }
    static bool obj_name(Node n, char *d, uint32_t l) { return kr_yamlreader_get_obj_name(n, d, l); }
    static Node find_child(Node n, const char *name) { return kr_yamlreader_find_child(n, name); }
    static Node child(Node n, uint16_t i) { return kr_yamlreader_get_child(n, static_cast<int16_t>(i)); }
    static uint32_t count(Node n) { return kr_yamlreader_get_child_count(n); }
    static bool next(Node n, Node *out) { return kr_yamlreader_get_next_sibling(n, out); }
    static Node at(Node n, uint32_t i)
    {
        return i > 0x7FFF ? Node{} : kr_yamlreader_seq_at(n, static_cast<int16_t>(i));
    }
    static uint32_t size(Node n) { return kr_yamlreader_seq_get_size(n); }
    static int at_type(Node n, uint32_t i) { return kr_yamlreader_seq_get_type(n, static_cast<int16_t>(i)); }
    static int32_t at_int(Node n, uint32_t i) { return kr_yamlreader_seq_get_int(n, static_cast<int16_t>(i)); }
    static bool at_bool(Node n, uint32_t i) { return kr_yamlreader_seq_get_bool(n, static_cast<int16_t>(i)); }
    static bool at_string(Node n, uint32_t i, char *d, uint32_t l)
    {
        return kr_yamlreader_seq_get_string(n, static_cast<int16_t>(i), d, l);
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 0xFFFFFF) return 0;
    fuzzwalk::Input in(data, size);
    kr_doc_error_st err{};
    const kr_errors_e e = kr_yamlreader_parse(in.buf.get(), static_cast<uint32_t>(size + 1), &err);
    if (e == KR_YAML_ERR_SYNTAX) FUZZ_CHECK(err.line >= 1 && err.column >= 1 && err.reason[0] != '\0');
    if (e != ERR_NONE) return 0;
    in.size = std::strlen(in.buf.get());
    fuzzwalk::Walker<YamlApi> w(in);
    w.walk(kr_yamlreader_get_root(in.buf.get()), 0);
    return 0;
}
