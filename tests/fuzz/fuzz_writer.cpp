// The parser's writer in both formats: random operation sequences into random buffer sizes. Every
// refused operation must leave the text as it was, the text must stay terminated inside its buffer,
// and a document whose every step succeeded must read back through the parser as the same tree.
// corpus: writer
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_walk.h"
#include "database/parser.h"

namespace {

struct Val {
    enum Kind { OBJ, ARR, INT, HEX, BOOL, STR } kind;
    std::string key;
    int32_t i = 0;
    uint32_t h = 0;
    bool b = false;
    std::string s;
    std::vector<Val> kids;
};

std::string make_key(FuzzedDataProvider &p)
{
    static const char alphabet[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_";
    const size_t n = p.ConsumeIntegralInRange<size_t>(1, 6);
    std::string k;
    for (size_t i = 0; i < n; ++i) k += alphabet[p.ConsumeIntegralInRange<size_t>(0, sizeof alphabet - 2)];
    return k;
}

// Printable text and tabs; a double quote is refused by the JSON writer, which is checked too.
std::string make_text(FuzzedDataProvider &p)
{
    std::string s = p.ConsumeRandomLengthString(24);
    for (char &c : s) {
        const unsigned u = static_cast<unsigned char>(c) % 96;
        c = u == 95 ? '\t' : static_cast<char>(0x20 + u);
    }
    return s;
}

struct Doc {
    parser_formats_e format;
    uint32_t length;
    std::unique_ptr<char[]> buf;
    parser_writer_st w{};
    Val root{Val::OBJ, "", 0, 0, false, "", {}};
    std::vector<Val *> open;
    bool complete = true; // every step succeeded, so the text matches the model

    Doc(parser_formats_e f, uint32_t n) : format(f), length(n), buf(new char[n == 0 ? 1 : n]) {}

    const char *text() const { return w.format == PARSER_FORMAT_YAML ? w.yaml.start_ptr : w.json.start_ptr; }

    // Runs one step; a refusal must leave the text untouched.
    template <typename F> bool step(F f)
    {
        const std::string before = text();
        const kr_errors_e e = f();
        FUZZ_CHECK(std::memchr(buf.get(), '\0', length) != nullptr);
        if (e != ERR_NONE) {
            FUZZ_CHECK(before == text());
            return false;
        }
        return true;
    }
};

void check(parser_node_st n, const Val &v, bool is_root)
{
    char name[16];
    if (!is_root) {
        FUZZ_CHECK(parser_get_obj_name(n, name, sizeof name));
        FUZZ_CHECK(v.key == name);
    }
    const parser_types_e t = parser_get_type(n);
    switch (v.kind) {
    case Val::OBJ:
    case Val::ARR: {
        if (!is_root) FUZZ_CHECK(t == (v.kind == Val::OBJ ? PARSER_OBJECT : PARSER_ARRAY));
        FUZZ_CHECK(parser_get_child_count(n) == v.kids.size());
        parser_node_st c = parser_get_child(n, 0);
        for (size_t i = 0; i < v.kids.size(); ++i) {
            FUZZ_CHECK(parser_node_is_valid(c));
            if (v.kind == Val::ARR && i < 8) {
                const parser_node_st a = parser_array_at(n, static_cast<uint32_t>(i));
                FUZZ_CHECK(parser_node_is_valid(a) && parser_get_type(a) == parser_get_type(c));
            }
            check(c, v.kids[i], false);
            if (i + 1 < v.kids.size()) FUZZ_CHECK(parser_get_next_sibling(c, &c));
        }
        if (!v.kids.empty()) FUZZ_CHECK(!parser_get_next_sibling(c, nullptr));
        break;
    }
    case Val::INT: FUZZ_CHECK(t == PARSER_INT && parser_get_int(n) == v.i); break;
    case Val::HEX: FUZZ_CHECK(t == PARSER_INT && parser_get_int(n) == static_cast<int32_t>(v.h)); break;
    case Val::BOOL: FUZZ_CHECK(t == PARSER_BOOL && parser_get_bool(n) == v.b); break;
    case Val::STR: {
        FUZZ_CHECK(t == PARSER_STRING || t == PARSER_INT);
        std::vector<char> d(v.s.size() + 1);
        FUZZ_CHECK(parser_get_string(n, d.data(), static_cast<uint32_t>(d.size())));
        FUZZ_CHECK(v.s == d.data());
        break;
    }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider p(data, size);
    const parser_formats_e format = p.ConsumeBool() ? PARSER_FORMAT_YAML : PARSER_FORMAT_JSON;
    Doc d(format, p.ConsumeIntegralInRange<uint32_t>(1, 2048));
    if (parser_writer_init(&d.w, d.buf.get(), d.length, format) != ERR_NONE) return 0;
    d.open.push_back(&d.root);
    bool wellformed = true;

    while (p.remaining_bytes() > 0) {
        Val *top = d.open.back();
        const bool in_array = top->kind == Val::ARR;
        const std::string key = in_array ? std::string() : make_key(p);
        const char *k = in_array ? nullptr : key.c_str();
        Val v{Val::INT, key, 0, 0, false, "", {}};
        bool ok = false;
        switch (p.ConsumeIntegralInRange<int>(0, 8)) {
        case 0:
            v.kind = Val::STR;
            v.s = make_text(p);
            ok = d.step([&] {
                return in_array ? parser_writer_array_add_string(&d.w, v.s.c_str())
                                : parser_writer_add_string(&d.w, k, v.s.c_str());
            });
            // The JSON writer refuses what it could not read back.
            if (!ok && format == PARSER_FORMAT_JSON && v.s.find('"') != std::string::npos) continue;
            break;
        case 1:
            v.i = p.ConsumeIntegral<int32_t>();
            ok = d.step([&] {
                return in_array ? parser_writer_array_add_int(&d.w, v.i) : parser_writer_add_int(&d.w, k, v.i);
            });
            break;
        case 2:
            v.kind = Val::HEX;
            v.h = p.ConsumeIntegral<uint32_t>();
            ok = d.step([&] {
                return in_array ? parser_writer_array_add_int_hex(&d.w, v.h) : parser_writer_add_int_hex(&d.w, k, v.h);
            });
            break;
        case 3:
            v.kind = Val::BOOL;
            v.b = p.ConsumeBool();
            ok = d.step([&] {
                return in_array ? parser_writer_array_add_bool(&d.w, v.b) : parser_writer_add_bool(&d.w, k, v.b);
            });
            break;
        case 4:
        case 5: {
            if (d.open.size() > 30) continue;
            const bool obj = p.ConsumeBool();
            v.kind = obj ? Val::OBJ : Val::ARR;
            ok = d.step([&] { return obj ? parser_writer_begin_object(&d.w, k) : parser_writer_begin_array(&d.w, k); });
            if (ok) {
                top->kids.push_back(v);
                d.open.push_back(&top->kids.back());
                continue;
            }
            break;
        }
        case 6:
            if (d.open.size() < 2) continue;
            ok = d.step([&] { return in_array ? parser_writer_end_array(&d.w) : parser_writer_end_object(&d.w); });
            d.open.pop_back();
            if (!ok) d.complete = false;
            continue;
        case 7: {
            // A finished document of a few members, appended as an array element.
            if (!in_array) continue;
            const uint32_t n = p.ConsumeIntegralInRange<uint32_t>(1, 256);
            std::unique_ptr<char[]> sub(new char[n]);
            parser_writer_st w2;
            if (parser_writer_init(&w2, sub.get(), n, format) != ERR_NONE) continue;
            v.kind = Val::OBJ;
            bool sub_ok = true;
            for (int m = p.ConsumeIntegralInRange<int>(0, 3); m > 0 && sub_ok; --m) {
                Val e{Val::INT, make_key(p), p.ConsumeIntegral<int32_t>(), 0, false, "", {}};
                sub_ok = parser_writer_add_int(&w2, e.key.c_str(), e.i) == ERR_NONE;
                v.kids.push_back(e);
            }
            if (!sub_ok || parser_writer_end(&w2) != ERR_NONE) continue;
            const std::string before = d.text();
            ok = parser_writer_array_append_doc(&d.w, sub.get());
            FUZZ_CHECK(std::memchr(d.buf.get(), '\0', d.length) != nullptr);
            if (!ok) FUZZ_CHECK(before == d.text());
            break;
        }
        default: {
            // Misuse: what the writers must refuse or at least survive.
            wellformed = false;
            switch (p.ConsumeIntegralInRange<int>(0, 3)) {
            case 0: d.step([&] { return parser_writer_end_object(&d.w); }); break;
            case 1: d.step([&] { return parser_writer_end_array(&d.w); }); break;
            case 2: d.step([&] { return parser_writer_add_int(&d.w, nullptr, 1); }); break;
            default: d.step([&] { return parser_writer_begin_object(&d.w, nullptr); }); break;
            }
            continue;
        }
        }
        if (ok)
            top->kids.push_back(v);
        else
            d.complete = false;
    }
    while (d.open.size() > 1) {
        const bool arr = d.open.back()->kind == Val::ARR;
        if (!d.step([&] { return arr ? parser_writer_end_array(&d.w) : parser_writer_end_object(&d.w); }))
            d.complete = false;
        d.open.pop_back();
    }
    const kr_errors_e end = parser_writer_end(&d.w);
    FUZZ_CHECK(std::memchr(d.buf.get(), '\0', d.length) != nullptr);

    // Read the text back from an exact-size copy.
    const std::string text = d.text();
    fuzzwalk::Input in(reinterpret_cast<const uint8_t *>(text.data()), text.size());
    const parser_node_st root = parser_read_buffer(in.buf.get(), in.size, format);
    if (wellformed && d.complete && end == ERR_NONE) {
        if (!parser_node_is_valid(root)) std::fprintf(stderr, "%s\n---\n%s\n", parser_last_error(), text.c_str());
        FUZZ_CHECK(parser_node_is_valid(root));
        check(root, d.root, true);
    }
    return 0;
}
