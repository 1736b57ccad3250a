// Test helpers for the YAML reader and writer: a document read into a canonical JSON line (the
// same form tests/data/yaml/canon.py prints for yaml.safe_load), and running python without a
// shell.
#pragma once

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "e2e/e2e.h"
#include "kr_yamlreader.h"
#include "kr_yamlwriter.h"

namespace yamltest {

inline void json_string(const std::string &s, std::string &out)
{
    out += '"';
    for (unsigned char c : s) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        default:
            if (c < 0x20) {
                char hex[8];
                snprintf(hex, sizeof hex, "\\u%04x", c);
                out += hex;
            } else {
                out += (char)c;
            }
        }
    }
    out += '"';
}

inline std::string node_string(kr_yaml_node_st n)
{
    std::vector<char> buf(kr_yamlreader_get_string_len(n) + 1);
    kr_yamlreader_get_string(n, buf.data(), (uint32_t)buf.size());
    return buf.data();
}

inline std::string node_name(kr_yaml_node_st n)
{
    std::vector<char> buf(4096);
    kr_yamlreader_get_obj_name(n, buf.data(), (uint32_t)buf.size());
    return buf.data();
}

// The node's value as one JSON text, walking children by siblings.
inline void canon(kr_yaml_node_st n, std::string &out)
{
    kr_yaml_types_e t = kr_yamlreader_get_type(n);
    if (t == YAML_MAP || t == YAML_SEQ) {
        out += t == YAML_MAP ? '{' : '[';
        kr_yaml_node_st c = kr_yamlreader_get_child(n, 0);
        bool first = true;
        while (c.ptr) {
            if (!first) out += ',';
            first = false;
            if (t == YAML_MAP) {
                json_string(node_name(c), out);
                out += ':';
            }
            canon(c, out);
            if (!kr_yamlreader_get_next_sibling(c, &c)) break;
        }
        out += t == YAML_MAP ? '}' : ']';
    } else if (t == YAML_INT) {
        out += std::to_string(kr_yamlreader_get_int(n));
    } else if (t == YAML_BOOL) {
        out += kr_yamlreader_get_bool(n) ? "true" : "false";
    } else if (t == YAML_STRING) {
        json_string(node_string(n), out);
    } else {
        out += "null";
    }
}

// Cleans a copy of the text (in a buffer of exactly its size plus the terminator, so that an
// overrun shows under the sanitizer) and returns its canonical JSON; "refused" when init refuses.
inline std::string read_canon(const std::string &text)
{
    std::vector<char> buf(text.begin(), text.end());
    buf.push_back('\0');
    if (kr_yamlreader_init(buf.data(), (uint32_t)buf.size()) != ERR_NONE) return "refused";
    std::string out;
    canon(kr_yamlreader_get_root(buf.data()), out);
    return out;
}

// Runs a program without a shell; returns its standard output, and its exit status in *status.
inline std::string run_capture(const std::vector<std::string> &args, int *status)
{
    e2e::result r = e2e::run_tool(args[0], std::vector<std::string>(args.begin() + 1, args.end()));
    *status = r.timed_out || r.signal != 0 ? -1 : r.exit_code;
    return r.out;
}

// A generated document: what the writer is told, and the tree it must read back as.
struct TNode {
    enum Kind { MAP, SEQ, INT, HEX, BOOL, STR } kind = MAP;
    std::string key;
    int32_t i = 0;
    uint32_t u = 0;
    bool b = false;
    std::string s;
    std::vector<TNode> kids;
    bool keyed_item = false; // a sequence item written with a key: reads as a one-member mapping
};

inline void expect_json(const TNode &n, std::string &out)
{
    switch (n.kind) {
    case TNode::MAP:
    case TNode::SEQ:
        out += n.kind == TNode::MAP ? '{' : '[';
        for (size_t k = 0; k < n.kids.size(); k++) {
            if (k) out += ',';
            bool wrap = n.kind == TNode::SEQ && n.kids[k].keyed_item;
            if (wrap) out += '{';
            if (n.kind == TNode::MAP || wrap) {
                json_string(n.kids[k].key, out);
                out += ':';
            }
            expect_json(n.kids[k], out);
            if (wrap) out += '}';
        }
        out += n.kind == TNode::MAP ? '}' : ']';
        break;
    case TNode::INT: out += std::to_string(n.i); break;
    case TNode::HEX: out += std::to_string((int32_t)n.u); break;
    case TNode::BOOL: out += n.b ? "true" : "false"; break;
    case TNode::STR: json_string(n.s, out); break;
    }
}

// The root's members written as the document; an empty root reads back as no document.
inline std::string expect_root(const TNode &root)
{
    if (root.kids.empty()) return "null";
    std::string out;
    expect_json(root, out);
    return out;
}

// Writes a member (key given) or a sequence item (key null); returns the first error.
inline kr_errors_e write_node(kr_yaml_st *st, const TNode &n, const char *key)
{
    kr_errors_e err = ERR_NONE;
    switch (n.kind) {
    case TNode::MAP:
    case TNode::SEQ:
        err = n.kind == TNode::MAP ? kr_yamlwriter_begin_map(st, key) : kr_yamlwriter_begin_seq(st, key);
        if (err) return err;
        for (const TNode &k : n.kids) {
            err = write_node(st, k, n.kind == TNode::MAP || k.keyed_item ? k.key.c_str() : nullptr);
            if (err) return err;
        }
        return n.kind == TNode::MAP ? kr_yamlwriter_end_map(st) : kr_yamlwriter_end_seq(st);
    case TNode::INT: return kr_yamlwriter_add_int(st, key, n.i);
    case TNode::HEX: return kr_yamlwriter_add_int_hex(st, key, n.u);
    case TNode::BOOL: return kr_yamlwriter_add_bool(st, key, n.b);
    case TNode::STR: return kr_yamlwriter_add_string(st, key, n.s.c_str());
    }
    return err;
}

inline kr_errors_e write_root(kr_yaml_st *st, const TNode &root)
{
    for (const TNode &k : root.kids) {
        kr_errors_e err = write_node(st, k, k.key.c_str());
        if (err) return err;
    }
    return kr_yamlwriter_end(st, nullptr);
}

struct TreeGen {
    std::mt19937 rng;
    explicit TreeGen(unsigned seed) : rng(seed) {}
    unsigned pick(unsigned n) { return (unsigned)(rng() % n); }

    std::string text(bool as_key)
    {
        // Characters that steer quoting, comments and flow, and some UTF-8.
        static const char *const pieces[] = {"a",  "b", "Z", "0", "7", " ",        " ",           "\t", "\n",
                                             "\r", ":", "#", "-", "'", "\"",       "\\",          "[",  "]",
                                             "{",  "}", ",", "&", "*", "!",        "|",           ">",  "%",
                                             "@",  "?", "`", ".", "x", "\xc3\xa9", "\xe2\x82\xac"};
        static const char *const key_pieces[] = {"a", "b", "Z", "0", "_", " ", "-", "'", "\"", ":", "#", "."};
        static const char *const specials[] = {"",     "  ",    "123",  "0x1F", "-0x10",       "True",
                                               "off",  "yes",   "a: b", "x #y", "[a]",         "a\t",
                                               "-x",   "a:b",   "x#y",  "it's", "hello world", "... x",
                                               "a 'b", "k:\"v", "---",  "null", "~",           "q\"\\"};
        std::string s;
        if (as_key) {
            s = "k";
            s += (char)('a' + pick(26));
            unsigned n = pick(8);
            for (unsigned i = 0; i < n; i++) s += key_pieces[pick(sizeof key_pieces / sizeof *key_pieces)];
            return s;
        }
        if (pick(4) == 0) return specials[pick(sizeof specials / sizeof *specials)];
        unsigned n = pick(12);
        for (unsigned i = 0; i < n; i++) s += pieces[pick(sizeof pieces / sizeof *pieces)];
        return s;
    }

    TNode scalar()
    {
        TNode n;
        switch (pick(4)) {
        case 0:
            n.kind = TNode::INT;
            n.i = pick(3) == 0 ? (pick(2) ? INT32_MIN : INT32_MAX) : (int32_t)rng();
            break;
        case 1:
            n.kind = TNode::HEX;
            n.u = pick(3) == 0 ? 0xFFFFFFFFu : (uint32_t)rng();
            break;
        case 2:
            n.kind = TNode::BOOL;
            n.b = pick(2);
            break;
        default:
            n.kind = TNode::STR;
            n.s = text(false);
            break;
        }
        return n;
    }

    TNode collection(bool map, int depth)
    {
        TNode n;
        n.kind = map ? TNode::MAP : TNode::SEQ;
        unsigned count = pick(5);
        for (unsigned k = 0; k < count; k++) {
            TNode c = depth > 0 && pick(3) == 0 ? collection(pick(2), depth - 1) : scalar();
            if (map || pick(5) == 0) {
                c.key = text(true) + std::to_string(k); // unique within the mapping
                c.keyed_item = !map;
            }
            n.kids.push_back(c);
        }
        return n;
    }
};

} // namespace yamltest
