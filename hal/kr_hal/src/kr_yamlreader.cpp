// In-place YAML reader. Every scan stops at a line end or the terminating NUL, and every place
// that tracks quotes uses the cleaner's rule for where a quote opens, so all queries agree on
// what is quoted.
#include "kr_yamlreader.h"

#include <stddef.h>
#include <string.h>

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t'; }
bool is_eol(char c) { return c == '\n' || c == '\0'; }
bool is_closer(char c) { return c == ']' || c == '}'; }
bool is_dash_item(const char *p) { return p[0] == '-' && (is_blank(p[1]) || is_eol(p[1])); }

// A quote opens a quoted string only after one of these (or at the start of the text or entry).
bool quote_may_follow(char prev)
{
    return is_blank(prev) || prev == '\n' || prev == ':' || prev == ',' || prev == '[' || prev == '{' || prev == '-';
}

const char *skip_blanks(const char *p)
{
    while (is_blank(*p)) p++;
    return p;
}

// The character after the next LF, or null on the last line.
const char *next_line(const char *p)
{
    const char *lf = strchr(p, '\n');
    return lf ? lf + 1 : nullptr;
}

bool is_content(const char *c)
{
    if (is_eol(*c) || *c == '#') return false;
    if ((strncmp(c, "---", 3) == 0 || strncmp(c, "...", 3) == 0) && (is_blank(c[3]) || is_eol(c[3]))) return false;
    return true;
}

// First content line at or after `line`: its first non-blank character and indent.
const char *find_content_line(const char *line, int *indent)
{
    while (line) {
        const char *c = skip_blanks(line);
        if (is_content(c)) {
            *indent = (int)(c - line);
            return c;
        }
        line = next_line(c);
    }
    return nullptr;
}

// One step of a scan that tracks quotes: consumes the character at p when it is quoted text or
// opens a quote (by the cleaner's rule; a quote at `start` opens), and returns true then.
bool quote_step(const char *start, const char *&p, char &q)
{
    char c = *p;
    if (q) {
        if (q == '"' && c == '\\' && !is_eol(p[1]))
            p++;
        else if (c == q)
            q = 0;
        p++;
        return true;
    }
    if ((c == '"' || c == '\'') && (p == start || quote_may_follow(p[-1]))) {
        q = c;
        p++;
        return true;
    }
    return false;
}

// The key separator of an entry, or null.
const char *find_colon(const char *entry)
{
    int depth = 0;
    char q = 0;
    const char *p = entry;
    while (!is_eol(*p)) {
        if (quote_step(entry, p, q)) continue;
        char c = *p;
        if (c == '[' || c == '{') {
            depth++;
        } else if (is_closer(c)) {
            if (depth == 0) return nullptr;
            depth--;
        } else if (c == ',' && depth == 0) {
            return nullptr;
        } else if (c == ':' && depth == 0) {
            char n = p[1];
            if (is_blank(n) || is_eol(n) || n == ',' || is_closer(n)) return p;
        }
        p++;
    }
    return nullptr;
}

bool is_root(kr_yaml_node_st n) { return n.indent == -1 && !n.flow; }

kr_yaml_node_st invalid_node() { return kr_yaml_node_st{nullptr, 0, false}; }

bool block_dash(kr_yaml_node_st n) { return !n.flow && is_dash_item(n.ptr); }

// Where the node's value starts, or null when it has none.
const char *value_of(kr_yaml_node_st n)
{
    if (!n.ptr || is_root(n)) return nullptr;
    const char *v;
    if (block_dash(n)) {
        v = skip_blanks(n.ptr + 1);
    } else {
        const char *colon = find_colon(n.ptr);
        v = colon ? skip_blanks(colon + 1) : n.ptr;
    }
    if (is_eol(*v)) return nullptr;
    if (n.flow && (*v == ',' || is_closer(*v))) return nullptr;
    return v;
}

// A dash item whose value is itself a collection written inline (`- - x` or `- key: v`).
bool inline_collection(kr_yaml_node_st n, const char *v) { return block_dash(n) && (is_dash_item(v) || find_colon(v)); }

bool is_collection_value(kr_yaml_node_st n, const char *v) { return *v == '[' || *v == '{' || inline_collection(n, v); }

struct raw_scalar {
    const char *start;
    uint32_t len;
    char quote; // 0 for a plain scalar
};

raw_scalar raw_of(const char *v, bool flow)
{
    raw_scalar r{v, 0, 0};
    if (*v == '"' || *v == '\'') {
        char q = *v;
        const char *p = v + 1;
        while (!is_eol(*p) && *p != q) {
            if (q == '"' && *p == '\\' && !is_eol(p[1])) p++;
            p++;
        }
        r.start = v + 1;
        r.len = (uint32_t)(p - r.start);
        r.quote = q;
        return r;
    }
    const char *p = v;
    if (flow) {
        // The same quote rule as the sibling scan, so an entry and the scan agree on its end.
        char q = 0;
        while (!is_eol(*p)) {
            if (quote_step(v, p, q)) continue;
            if (*p == ',' || is_closer(*p)) break;
            p++;
        }
    } else {
        p = strchr(v, '\n');
        if (!p) p = v + strlen(v);
    }
    while (p > v && is_blank(p[-1])) p--;
    r.len = (uint32_t)(p - v);
    return r;
}

bool is_hex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
bool is_dec(char c) { return c >= '0' && c <= '9'; }

bool ieq(const char *s, uint32_t len, const char *word)
{
    size_t wl = strlen(word);
    if (len != wl) return false;
    for (uint32_t i = 0; i < len; i++) {
        char c = s[i];
        if (c >= 'A' && c <= 'Z') c = (char)(c - 'A' + 'a');
        if (c != word[i]) return false;
    }
    return true;
}

kr_yaml_types_e scalar_type(const raw_scalar &r)
{
    if (r.quote) return YAML_STRING;
    if (r.len == 0) return YAML_UNSUPPORTED;
    const char *s = r.start;
    uint32_t i = 0;
    if (s[0] == '+' || s[0] == '-') i++;
    if (i + 1 < r.len && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X')) {
        uint32_t j = i + 2;
        if (j < r.len) {
            while (j < r.len && is_hex(s[j])) j++;
            if (j == r.len) return YAML_INT;
        }
    } else if (i < r.len) {
        uint32_t j = i;
        while (j < r.len && is_dec(s[j])) j++;
        if (j == r.len) return YAML_INT;
    }
    static const char *const words[] = {"true", "false", "yes", "no", "on", "off"};
    for (const char *w : words)
        if (ieq(s, r.len, w)) return YAML_BOOL;
    return YAML_STRING;
}

// Integer of a scalar by the runtime's base-0 rules. Values from -2147483648 to 4294967295 keep
// their 32 bits; anything beyond saturates at the nearer end of that range.
int32_t scalar_int(const char *s, uint32_t len)
{
    uint32_t i = 0;
    while (i < len && (is_blank(s[i]) || s[i] == '\n' || s[i] == '\r' || s[i] == '\v' || s[i] == '\f')) i++;
    bool neg = false;
    if (i < len && (s[i] == '+' || s[i] == '-')) neg = s[i++] == '-';
    unsigned base = 10;
    if (i + 2 < len && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X') && is_hex(s[i + 2])) {
        base = 16;
        i += 2;
    } else if (i < len && s[i] == '0') {
        base = 8;
    }
    const uint64_t cap = 0x1FFFFFFFFull; // beyond every value that keeps its bits
    uint64_t v = 0;
    for (; i < len; i++) {
        char c = s[i];
        unsigned d;
        if (c >= '0' && c <= '9')
            d = (unsigned)(c - '0');
        else if (c >= 'a' && c <= 'f')
            d = (unsigned)(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F')
            d = (unsigned)(c - 'A' + 10);
        else
            break;
        if (d >= base) break;
        v = v * base + d;
        if (v > cap) v = cap;
    }
    if (neg) {
        if (v > 0x80000000ull) return INT32_MIN;
        return (int32_t)(uint32_t)(0u - (uint32_t)v);
    }
    if (v > 0xFFFFFFFFull) v = 0xFFFFFFFFull;
    return (int32_t)(uint32_t)v;
}

kr_yaml_node_st first_child(kr_yaml_node_st n)
{
    if (!n.ptr) return invalid_node();
    bool root = is_root(n);
    const char *v = value_of(n);
    if (root || !v) {
        // A flow entry without a value has nothing below it: lines below belong to the block.
        if (n.flow) return invalid_node();
        const char *start = root ? n.ptr : next_line(n.ptr);
        int indent = 0;
        const char *c = find_content_line(start, &indent);
        if (!c) return invalid_node();
        if (indent > n.indent || (indent == n.indent && is_dash_item(c) && !root && !is_dash_item(n.ptr)))
            return kr_yaml_node_st{const_cast<char *>(c), (int16_t)indent, false};
        return invalid_node();
    }
    if (*v == '[' || *v == '{') {
        const char *p = skip_blanks(v + 1);
        if (is_eol(*p) || is_closer(*p)) return invalid_node();
        return kr_yaml_node_st{const_cast<char *>(p), 0, true};
    }
    if (inline_collection(n, v)) {
        // The cleaner refused lines whose nodes sit beyond column 32767, so this fits.
        int indent = n.indent + (int)(v - n.ptr);
        return kr_yaml_node_st{const_cast<char *>(v), (int16_t)indent, false};
    }
    return invalid_node();
}

bool next_sibling(kr_yaml_node_st n, kr_yaml_node_st *out)
{
    if (!n.ptr || is_root(n)) return false;
    if (n.flow) {
        int depth = 0;
        char q = 0;
        const char *p = n.ptr;
        while (!is_eol(*p)) {
            if (quote_step(n.ptr, p, q)) continue;
            char c = *p;
            if (c == '[' || c == '{') {
                depth++;
            } else if (is_closer(c)) {
                if (depth == 0) return false;
                depth--;
            } else if (c == ',' && depth == 0) {
                const char *s = skip_blanks(p + 1);
                if (is_eol(*s) || is_closer(*s)) return false;
                *out = kr_yaml_node_st{const_cast<char *>(s), 0, true};
                return true;
            }
            p++;
        }
        return false;
    }
    bool dash = is_dash_item(n.ptr);
    const char *line = next_line(n.ptr);
    int indent = 0;
    while (line) {
        const char *c = find_content_line(line, &indent);
        if (!c || indent < n.indent) return false;
        if (indent == n.indent) {
            bool d = is_dash_item(c);
            if (d == dash) {
                *out = kr_yaml_node_st{const_cast<char *>(c), (int16_t)indent, false};
                return true;
            }
            if (dash) return false;
        }
        line = next_line(c);
    }
    return false;
}

// The key of an entry: text and length, surrounding quotes removed. False for no key.
bool key_of(kr_yaml_node_st n, const char **key, uint32_t *len, char *quote)
{
    if (!n.ptr || is_root(n) || block_dash(n)) return false;
    const char *colon = find_colon(n.ptr);
    if (!colon) return false;
    const char *k = n.ptr;
    uint32_t l = (uint32_t)(colon - k);
    *quote = 0;
    if (l > 1 && (k[0] == '"' || k[0] == '\'') && k[l - 1] == k[0]) {
        *quote = k[0];
        k++;
        l -= 2;
    }
    *key = k;
    *len = l;
    return true;
}

// Copies a raw text into dest, resolving backslash escapes when `escapes` is set. Returns false
// when it was cut. dest_length is at least 1.
bool copy_text(const char *s, uint32_t len, bool escapes, char *dest, uint32_t dest_length)
{
    uint32_t o = 0;
    uint32_t i = 0;
    while (i < len) {
        if (o + 1 >= dest_length) {
            dest[o] = '\0';
            return false;
        }
        char c = s[i++];
        if (escapes && c == '\\' && i < len) {
            char e = s[i++];
            switch (e) {
            case '0': c = '\0'; break;
            case 'n': c = '\n'; break;
            case 'r': c = '\r'; break;
            case 't': c = '\t'; break;
            default: c = e; break;
            }
        }
        dest[o++] = c;
    }
    dest[o] = '\0';
    return true;
}

// Compares a key (escapes resolved for a double-quoted one) with a name.
bool key_equals(const char *k, uint32_t len, bool escapes, const char *name)
{
    uint32_t i = 0;
    const char *p = name;
    while (i < len) {
        char c = k[i++];
        if (escapes && c == '\\' && i < len) {
            char e = k[i++];
            switch (e) {
            case '0': return false; // a NUL cannot match inside a C name
            case 'n': c = '\n'; break;
            case 'r': c = '\r'; break;
            case 't': c = '\t'; break;
            default: c = e; break;
            }
        }
        if (*p != c) return false;
        p++;
    }
    return *p == '\0';
}

} // namespace

extern "C" {

kr_errors_e kr_yamlreader_init(char *buffer, uint32_t buffer_length)
{
    if (!buffer) return ERR_NULL_PTR;
    if (buffer_length == 0) return ERR_BUFFER_OVERFLOW;
    size_t n = strnlen(buffer, buffer_length);
    size_t o = 0;
    char q = 0;
    auto crlf_at = [&](size_t i) { return buffer[i] == '\r' && i + 1 < n && buffer[i + 1] == '\n'; };
    // A byte-order mark, as some editors save, is not part of the first key.
    size_t first = n >= 3 && memcmp(buffer, "\xEF\xBB\xBF", 3) == 0 ? 3 : 0;
    bool cut = false; // the last quote opened is still open: the text was cut short
    for (size_t i = first; i < n; i++) {
        char c = buffer[i];
        if (crlf_at(i)) continue; // a CRLF line end reads as LF, in quotes too
        if (!q && c != '\n' && c != '\r' && !is_blank(c)) cut = false;
        if (q) {
            if (c != '\n') {
                // A backslash escapes the next character only when that is not a line end.
                if (q == '"' && c == '\\' && i + 1 < n && buffer[i + 1] != '\n' && !crlf_at(i + 1)) {
                    buffer[o++] = c;
                    buffer[o++] = buffer[++i];
                    continue;
                }
                buffer[o++] = c;
                if (c == q) q = 0;
                continue;
            }
            q = 0; // a quoted scalar ends at its line end
            cut = true;
        }
        if (c == '\r') continue;
        if (c == '#' && (o == 0 || is_blank(buffer[o - 1]) || buffer[o - 1] == '\n')) {
            while (i + 1 < n && buffer[i + 1] != '\n') i++;
            continue;
        }
        if ((c == '"' || c == '\'') && (o == 0 || quote_may_follow(buffer[o - 1]))) {
            q = c;
        } else if (c == '\n') {
            while (o > 0 && is_blank(buffer[o - 1])) o--;
        }
        buffer[o++] = c;
    }
    // A quote still open at the end of the text: the value was cut, and what it holds is not known.
    if (q || cut) return KR_YAML_ERR_SYNTAX;
    while (o > 0 && is_blank(buffer[o - 1])) o--;
    if (o >= buffer_length) return ERR_BUFFER_OVERFLOW; // untouched: nothing was dropped
    buffer[o] = '\0';

    // Node indents are 16-bit: refuse a line whose entries sit beyond that column rather than
    // read a wrong structure.
    for (const char *line = buffer; line; line = next_line(line)) {
        const char *p = skip_blanks(line);
        while (is_dash_item(p)) p = skip_blanks(p + 1);
        if (!is_eol(*p) && p - line > INT16_MAX) return KR_YAML_ERR_SYNTAX;
    }
    return ERR_NONE;
}

kr_yaml_node_st kr_yamlreader_get_root(char *buffer) { return kr_yaml_node_st{buffer, -1, false}; }

kr_yaml_types_e kr_yamlreader_get_type(kr_yaml_node_st node)
{
    if (!node.ptr) return YAML_UNSUPPORTED;
    const char *v = value_of(node);
    if (v) {
        if (*v == '[') return YAML_SEQ;
        if (*v == '{') return YAML_MAP;
        if (block_dash(node)) {
            if (is_dash_item(v)) return YAML_SEQ;
            if (find_colon(v)) return YAML_MAP;
        }
        return scalar_type(raw_of(v, node.flow));
    }
    if (node.flow) return YAML_UNSUPPORTED;
    kr_yaml_node_st c = first_child(node);
    if (!c.ptr) return YAML_UNSUPPORTED;
    return is_dash_item(c.ptr) ? YAML_SEQ : YAML_MAP;
}

kr_yaml_node_st kr_yamlreader_find_child(kr_yaml_node_st node, const char *name)
{
    bool want_none = !name || !*name;
    kr_yaml_node_st c = first_child(node);
    while (c.ptr) {
        const char *k;
        uint32_t len;
        char quote;
        if (key_of(c, &k, &len, &quote)) {
            if (!want_none ? key_equals(k, len, quote == '"', name) : len == 0) return c;
        } else if (want_none) {
            return c;
        }
        if (!next_sibling(c, &c)) break;
    }
    return invalid_node();
}

kr_yaml_node_st kr_yamlreader_get_child(kr_yaml_node_st node, int16_t index)
{
    if (index < 0) return invalid_node();
    kr_yaml_node_st c = first_child(node);
    for (int16_t i = 0; c.ptr && i < index; i++)
        if (!next_sibling(c, &c)) return invalid_node();
    return c;
}

uint32_t kr_yamlreader_get_child_count(kr_yaml_node_st node)
{
    kr_yaml_node_st c = first_child(node);
    if (!c.ptr) return 0;
    uint32_t count = 1;
    while (next_sibling(c, &c)) count++;
    return count;
}

bool kr_yamlreader_get_next_sibling(kr_yaml_node_st node, kr_yaml_node_st *out)
{
    kr_yaml_node_st s;
    if (!next_sibling(node, &s)) return false;
    if (out) *out = s;
    return true;
}

bool kr_yamlreader_get_obj_name(kr_yaml_node_st node, char *dest, uint32_t dest_length)
{
    if (!node.ptr || !dest || dest_length == 0) return false;
    const char *k;
    uint32_t len;
    char quote;
    if (!key_of(node, &k, &len, &quote)) {
        dest[0] = '\0';
        return true;
    }
    return copy_text(k, len, quote == '"', dest, dest_length);
}

bool kr_yamlreader_get_string(kr_yaml_node_st node, char *dest, uint32_t dest_length)
{
    if (!dest || dest_length == 0) return false;
    dest[0] = '\0';
    const char *v = value_of(node);
    if (!v || is_collection_value(node, v)) return false;
    raw_scalar r = raw_of(v, node.flow);
    return copy_text(r.start, r.len, r.quote == '"', dest, dest_length);
}

uint32_t kr_yamlreader_get_string_len(kr_yaml_node_st node)
{
    const char *v = value_of(node);
    if (!v || is_collection_value(node, v)) return 0;
    return raw_of(v, node.flow).len;
}

char *kr_yamlreader_get_string_ptr(kr_yaml_node_st node)
{
    const char *v = value_of(node);
    if (!v || is_collection_value(node, v)) return nullptr;
    return const_cast<char *>(raw_of(v, node.flow).start);
}

int32_t kr_yamlreader_get_int(kr_yaml_node_st node)
{
    const char *v = value_of(node);
    if (!v || is_collection_value(node, v)) return 0;
    raw_scalar r = raw_of(v, node.flow);
    return scalar_int(r.start, r.len);
}

bool kr_yamlreader_get_bool(kr_yaml_node_st node)
{
    const char *v = value_of(node);
    if (!v || is_collection_value(node, v)) return false;
    raw_scalar r = raw_of(v, node.flow);
    return ieq(r.start, r.len, "true") || ieq(r.start, r.len, "yes") || ieq(r.start, r.len, "on");
}

kr_yaml_node_st kr_yamlreader_seq_at(kr_yaml_node_st node, int16_t index)
{
    return kr_yamlreader_get_child(node, index);
}

uint32_t kr_yamlreader_seq_get_size(kr_yaml_node_st node) { return kr_yamlreader_get_child_count(node); }

int32_t kr_yamlreader_seq_get_int(kr_yaml_node_st node, int16_t index)
{
    return kr_yamlreader_get_int(kr_yamlreader_get_child(node, index));
}

bool kr_yamlreader_seq_get_bool(kr_yaml_node_st node, int16_t index)
{
    return kr_yamlreader_get_bool(kr_yamlreader_get_child(node, index));
}

bool kr_yamlreader_seq_get_string(kr_yaml_node_st node, int16_t index, char *dest, uint32_t dest_length)
{
    return kr_yamlreader_get_string(kr_yamlreader_get_child(node, index), dest, dest_length);
}

kr_yaml_types_e kr_yamlreader_seq_get_type(kr_yaml_node_st node, int16_t index)
{
    return kr_yamlreader_get_type(kr_yamlreader_get_child(node, index));
}

const char *kr_yaml_type_to_str(kr_yaml_types_e type)
{
    switch (type) {
    case YAML_MAP: return "MAPPING";
    case YAML_SEQ: return "SEQUENCE";
    case YAML_UNSUPPORTED: return "UNSUPPORTED";
    case YAML_INT: return "INT";
    case YAML_BOOL: return "BOOL";
    case YAML_STRING: return "STRING";
    }
    return "UNDEFINED";
}

} // extern "C"
