// In-place YAML reader. Every scan stops at a line end or the terminating NUL, and every place
// that tracks quotes uses the cleaner's rule for where a quote opens, so all queries agree on
// what is quoted.
#include "kr_yamlreader.h"

#include <stdarg.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>

#include "kr_docpos.h"

namespace {

// A line break inside a folded scalar. The syntax pass refuses this byte in the text itself, so in
// the cleaned text it can only stand for a break that folding kept.
constexpr char kLineMark = '\x01';

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

// The syntax pass left no comment, marker or blank line behind.
bool is_content(const char *c) { return !is_eol(*c); }

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
        else if (q == '\'' && c == q && p[1] == q)
            p++; // '' stands for one quote
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

// After a quoted scalar that opens at p: the character after its closing quote, or the line end.
const char *skip_quoted(const char *p)
{
    const char q = *p++;
    while (!is_eol(*p)) {
        if (q == '"' && *p == '\\' && !is_eol(p[1])) {
            p += 2;
        } else if (*p == q) {
            if (q == '\'' && p[1] == q) {
                p += 2;
                continue;
            }
            return p + 1;
        } else {
            p++;
        }
    }
    return p;
}

// The key separator of an entry, or null. In block context a key is a quoted scalar or a plain
// text up to the first ':' before a blank or the line end, as the syntax pass checked it.
const char *find_colon(const char *entry, bool flow)
{
    if (!flow) {
        const char *p = entry;
        if (*p == '"' || *p == '\'') {
            p = skip_blanks(skip_quoted(p));
            return (*p == ':' && (is_blank(p[1]) || is_eol(p[1]))) ? p : nullptr;
        }
        if (*p == '[' || *p == '{') return nullptr;
        for (; !is_eol(*p); p++) {
            if (*p == ':' && (is_blank(p[1]) || is_eol(p[1]))) return p;
        }
        return nullptr;
    }
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
        const char *colon = find_colon(n.ptr, n.flow);
        v = colon ? skip_blanks(colon + 1) : n.ptr;
    }
    if (is_eol(*v)) return nullptr;
    if (n.flow && (*v == ',' || is_closer(*v))) return nullptr;
    return v;
}

// A dash item whose value is itself a collection written inline (`- - x` or `- key: v`).
bool inline_collection(kr_yaml_node_st n, const char *v)
{
    return block_dash(n) && (is_dash_item(v) || find_colon(v, false));
}

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
        const char *end = skip_quoted(v);
        r.start = v + 1;
        r.len = (uint32_t)(end - r.start);
        if (end > r.start && end[-1] == *v) r.len--; // the closing quote
        r.quote = *v;
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
    const char *colon = find_colon(n.ptr, n.flow);
    if (!colon) return false;
    const char *k = n.ptr;
    uint32_t l = (uint32_t)(colon - k);
    while (l > 0 && is_blank(k[l - 1])) l--;
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

// The string codec's reading half: one character of a scalar's raw text at s[i] (i < len), its bytes
// in out and their count returned, i moved past it. Double quotes resolve YAML's escapes (the syntax
// pass checked them), single quotes read '' as one quote, and a kept fold break is a LF.
uint32_t decode_at(const char *s, uint32_t len, uint32_t &i, char quote, char out[4])
{
    const char c = s[i++];
    if (c == kLineMark) {
        out[0] = '\n';
        return 1;
    }
    if (quote == '\'' && c == '\'' && i < len && s[i] == '\'') {
        i++;
        out[0] = c;
        return 1;
    }
    if (quote != '"' || c != '\\' || i >= len) {
        out[0] = c;
        return 1;
    }
    const char e = s[i++];
    uint32_t cp = 0;
    uint32_t digits = 0;
    switch (e) {
    case 'a': out[0] = '\a'; return 1;
    case 'b': out[0] = '\b'; return 1;
    case 't':
    case '\t': out[0] = '\t'; return 1;
    case 'n': out[0] = '\n'; return 1;
    case 'v': out[0] = '\v'; return 1;
    case 'f': out[0] = '\f'; return 1;
    case 'r': out[0] = '\r'; return 1;
    case 'e': out[0] = '\x1b'; return 1;
    case 'N': cp = 0x85; break;
    case '_': cp = 0xA0; break;
    case 'L': cp = 0x2028; break;
    case 'P': cp = 0x2029; break;
    case 'x': digits = 2; break;
    case 'u': digits = 4; break;
    case 'U': digits = 8; break;
    default: out[0] = e; return 1; // '"', '/', '\\' and ' ' stand for themselves
    }
    for (uint32_t k = 0; k < digits && i < len && is_hex(s[i]); k++, i++)
        cp = cp * 16 + (uint32_t)kr_docpos::hex_digit(s[i]);
    return kr_docpos::utf8_put(cp, out);
}

// Copies a raw text into dest, decoded. Returns false when it was cut. dest_length is at least 1.
bool copy_text(const char *s, uint32_t len, char quote, char *dest, uint32_t dest_length)
{
    uint32_t o = 0;
    uint32_t i = 0;
    char out[4];
    while (i < len) {
        const uint32_t k = decode_at(s, len, i, quote, out);
        if (o + k >= dest_length) {
            dest[o] = '\0';
            return false;
        }
        memcpy(dest + o, out, k);
        o += k;
    }
    dest[o] = '\0';
    return true;
}

uint32_t text_length(const char *s, uint32_t len, char quote)
{
    uint32_t n = 0;
    uint32_t i = 0;
    char out[4];
    while (i < len) n += decode_at(s, len, i, quote, out);
    return n;
}

// Compares a key, decoded, with a name.
bool key_equals(const char *k, uint32_t len, char quote, const char *name)
{
    uint32_t i = 0;
    const char *p = name;
    char out[4];
    while (i < len) {
        const uint32_t n = decode_at(k, len, i, quote, out);
        for (uint32_t j = 0; j < n; j++, p++) {
            if (*p == '\0' || *p != out[j]) return false;
        }
    }
    return *p == '\0';
}

constexpr int kMaxLevels = 128;

// The syntax pass: checks the subset the queries read and writes the cleaned text behind the read
// position (comments, blank lines and markers dropped, every scalar folded onto its entry's line).
class YamlSyntax {
public:
    YamlSyntax(char *buf, size_t n, kr_doc_error_st *error) : b_(buf), n_(n), err_(error) {}

    size_t out_length() const { return w_; }

    bool run()
    {
        if (n_ >= 3 && memcmp(b_, "\xEF\xBB\xBF", 3) == 0) r_ = line_start_ = 3;
        for (size_t i = r_; i < n_; i++) {
            const unsigned char c = (unsigned char)b_[i];
            if ((c < 0x20 && c != '\t' && c != '\n' && c != '\r') || c == 0x7F) {
                locate(i);
                return fail(i, "a control character (0x%02X); write it as an escape in double quotes", c);
            }
            if (c == '\r' && (i + 1 == n_ || b_[i + 1] != '\n')) {
                locate(i);
                return fail(i, "a carriage return that is not part of a CRLF line end");
            }
        }
        while (r_ < n_) {
            size_t p = r_;
            while (p < n_ && b_[p] == ' ') p++;
            const int indent = (int)(p - r_);
            size_t q = p;
            while (q < n_ && is_blank(b_[q])) q++;
            if (eol_at(q) || b_[q] == '#') {
                skip_line(q);
                continue;
            }
            if (q != p) return fail(p, "a tab in the indentation");
            if (indent == 0 && marker_at(p, "---")) {
                if (started_ || content_) return fail(p, "several documents in one file (a second '---')");
                started_ = true;
                if (!rest_is_empty(p + 3)) return fail(p + 3, "content on the '---' line");
                continue;
            }
            if (indent == 0 && marker_at(p, "...")) {
                ended_ = true;
                if (!rest_is_empty(p + 3)) return fail(p + 3, "content on the '...' line");
                continue;
            }
            if (indent == 0 && b_[p] == '%') return fail(p, "a directive ('%%'), which the reader does not support");
            if (ended_) return fail(p, "content after the document's end '...' (several documents)");
            if (!structure(indent, p)) return false;
        }
        return true;
    }

private:
    struct Level {
        int indent;
        bool seq;
    };

    char *b_;
    size_t n_;
    kr_doc_error_st *err_;
    size_t r_ = 0, w_ = 0;
    uint32_t line_ = 1;
    size_t line_start_ = 0;
    Level lv_[kMaxLevels];
    int depth_ = 0;
    bool pending_ = false; // an entry whose value starts on a later line
    bool pending_dash_ = false;
    int pending_indent_ = 0;
    bool started_ = false, ended_ = false, content_ = false;

    // line_ and line_start_ for a position past r_ (only for messages).
    void locate(size_t at)
    {
        for (size_t i = line_start_; i < at; i++) {
            if (b_[i] == '\n') {
                line_++;
                line_start_ = i + 1;
            }
        }
    }

    __attribute__((format(printf, 3, 4))) bool fail(size_t at, const char *fmt, ...)
    {
        if (err_) {
            locate(at);
            char reason[KR_DOC_REASON_LENGTH];
            va_list ap;
            va_start(ap, fmt);
            vsnprintf(reason, sizeof reason, fmt, ap);
            va_end(ap);
            kr_docpos::fail(err_, b_ + line_start_, b_ + at, line_, "%s", reason);
        }
        return false;
    }

    bool eol_at(size_t i) const { return i >= n_ || b_[i] == '\n' || b_[i] == '\r'; }
    bool blank_at(size_t i) const { return i < n_ && is_blank(b_[i]); }
    bool dash_at(size_t i) const { return i < n_ && b_[i] == '-' && (eol_at(i + 1) || blank_at(i + 1)); }
    bool marker_at(size_t i, const char *m) const
    {
        return n_ - i >= 3 && memcmp(b_ + i, m, 3) == 0 && (eol_at(i + 3) || blank_at(i + 3));
    }
    void put(char c) { b_[w_++] = c; }
    void copy() { b_[w_++] = b_[r_++]; }
    void trim_output(size_t floor)
    {
        while (w_ > floor && is_blank(b_[w_ - 1])) w_--;
    }
    // Past the line end at i (LF or CRLF), counting the line.
    void next_line_from(size_t i)
    {
        while (i < n_ && b_[i] != '\n') i++;
        r_ = i < n_ ? i + 1 : n_;
        if (i < n_) {
            line_++;
            line_start_ = r_;
        }
    }
    void skip_line(size_t from) { next_line_from(from); }
    bool rest_is_empty(size_t i)
    {
        while (blank_at(i)) i++;
        if (!eol_at(i) && b_[i] != '#') return false;
        next_line_from(i);
        return true;
    }
    void newline()
    {
        if (w_ > 0) put('\n');
    }

    // Blanks, an optional comment, then the line end: the line is done.
    bool end_line()
    {
        while (blank_at(r_)) r_++;
        if (r_ < n_ && b_[r_] == '#') {
            if (r_ == 0 || !is_blank(b_[r_ - 1]))
                return fail(r_, "a '#' directly after a value (a comment needs a blank before it)");
        } else if (!eol_at(r_)) {
            char shown[8];
            return fail(r_, "%s after the value", kr_docpos::shown(b_[r_], shown));
        }
        trim_output(0);
        next_line_from(r_);
        return true;
    }

    // A node that starts with a character the reader does not support is named, not misread.
    bool unsupported_at(size_t i)
    {
        switch (b_[i]) {
        case '&': return fail(i, "an anchor ('&'), which the reader does not support");
        case '*': return fail(i, "an alias ('*'), which the reader does not support");
        case '!': return fail(i, "a tag ('!'), which the reader does not support");
        case '|':
        case '>': return fail(i, "a block scalar ('%c'), which the reader does not support", b_[i]);
        case '%':
        case '@':
        case '`': return fail(i, "a plain scalar cannot begin with '%c'; quote it", b_[i]);
        case '?':
            if (eol_at(i + 1) || blank_at(i + 1))
                return fail(i, "a complex key ('? '), which the reader does not support");
            return true;
        default: return true;
        }
    }

    // The closing quote of a quoted scalar that starts at i, on the same line, or n_ when none.
    size_t quote_end_on_line(size_t i) const
    {
        const char q = b_[i];
        for (size_t p = i + 1; !eol_at(p); p++) {
            if (q == '"' && b_[p] == '\\' && !eol_at(p + 1)) {
                p++;
            } else if (b_[p] == q) {
                if (q == '\'' && p + 1 < n_ && b_[p + 1] == '\'') {
                    p++;
                    continue;
                }
                return p;
            }
        }
        return n_;
    }

    // A block entry at i is `key: ...` (the reader's rule, and YAML's for this subset).
    bool has_key(size_t i) const
    {
        size_t p = i;
        if (b_[p] == '"' || b_[p] == '\'') {
            p = quote_end_on_line(p);
            if (p == n_) return false;
            p++;
            while (blank_at(p)) p++;
            return p < n_ && b_[p] == ':' && (eol_at(p + 1) || blank_at(p + 1));
        }
        if (b_[p] == '[' || b_[p] == '{') return false;
        for (; !eol_at(p); p++) {
            if (b_[p] == '#' && p > i && is_blank(b_[p - 1])) return false;
            if (b_[p] == ':' && (eol_at(p + 1) || blank_at(p + 1))) return true;
        }
        return false;
    }

    bool push(int indent, bool seq, size_t at)
    {
        if (depth_ == kMaxLevels) return fail(at, "the document nests deeper than %d levels", kMaxLevels);
        if (indent > INT16_MAX) return fail(at, "a node beyond column %d", INT16_MAX);
        lv_[depth_++] = Level{indent, seq};
        return true;
    }

    bool structure(int indent, size_t p)
    {
        if (pending_) {
            pending_ = false;
            const bool child = indent > pending_indent_ || (indent == pending_indent_ && !pending_dash_ && dash_at(p));
            if (child && !dash_at(p) && !has_key(p)) {
                // A scalar or flow value below its key or dash reads as if written on that line.
                put(' ');
                r_ = p;
                return value(pending_indent_);
            }
            if (child) {
                if (!push(indent, dash_at(p), p)) return false;
                newline();
                for (int i = 0; i < indent; i++) put(' ');
                r_ = p;
                return entry(indent);
            }
        }
        if (depth_ == 0) {
            if (content_) return fail(p, "a line indented less than the document's first line");
            content_ = true;
            if (!dash_at(p) && !has_key(p)) {
                if (!unsupported_at(p)) return false;
                return fail(p, "the document is a single value; the reader takes a mapping or a sequence");
            }
            if (!push(indent, dash_at(p), p)) return false;
        } else {
            while (depth_ > 0 && lv_[depth_ - 1].indent > indent) depth_--;
            if (depth_ == 0) return fail(p, "a line indented less than the document's first line");
            if (lv_[depth_ - 1].indent != indent) return fail(p, "the indentation matches no open mapping or sequence");
            if (lv_[depth_ - 1].seq && !dash_at(p)) {
                // The sequence written at its key's column ends with the next key.
                if (depth_ >= 2 && lv_[depth_ - 2].indent == indent && !lv_[depth_ - 2].seq)
                    depth_--;
                else
                    return fail(p, "a line without '- ' inside a sequence");
            } else if (!lv_[depth_ - 1].seq && dash_at(p)) {
                return fail(p, "a sequence item ('- ') inside a mapping");
            }
        }
        newline();
        for (int i = 0; i < indent; i++) put(' ');
        r_ = p;
        return entry(indent);
    }

    // An entry at r_ (column col): dashes, then a key or a value.
    bool entry(int col)
    {
        while (dash_at(r_)) {
            const size_t dash = r_;
            copy();
            while (blank_at(r_)) {
                if (b_[r_] == '\t') return fail(r_, "a tab after '-'");
                copy();
            }
            if (eol_at(r_) || b_[r_] == '#') {
                pending_ = true;
                pending_dash_ = true;
                pending_indent_ = col;
                return end_line();
            }
            const int col2 = col + (int)(r_ - dash);
            if (dash_at(r_)) {
                if (!push(col2, true, r_)) return false;
                col = col2;
                continue;
            }
            if (has_key(r_)) {
                if (!push(col2, false, r_)) return false;
                return key_entry(col2);
            }
            return value(col);
        }
        if (!has_key(r_)) {
            if (!unsupported_at(r_)) return false;
            return fail(r_, "a line without 'key: ' inside a mapping");
        }
        return key_entry(col);
    }

    bool key_entry(int col)
    {
        if (!unsupported_at(r_)) return false;
        const size_t key = r_;
        if (b_[r_] == '"' || b_[r_] == '\'') {
            const size_t end = quote_end_on_line(r_);
            if (!check_quoted_escapes(r_, end)) return false;
            while (r_ <= end) copy();
        } else {
            if (!plain_start_ok(r_, false)) return false;
            while (!(b_[r_] == ':' && (eol_at(r_ + 1) || blank_at(r_ + 1)))) copy();
            if (r_ - key == 2 && b_[key] == '<' && b_[key + 1] == '<')
                return fail(key, "a merge key ('<<'), which the reader does not support");
        }
        while (blank_at(r_)) copy();
        copy(); // the ':'
        const size_t colon_out = w_;
        while (blank_at(r_)) copy();
        if (eol_at(r_) || b_[r_] == '#') {
            w_ = colon_out;
            pending_ = true;
            pending_dash_ = false;
            pending_indent_ = col;
            return end_line();
        }
        if (dash_at(r_)) return fail(r_, "a sequence on the line of its key");
        if (has_key(r_)) return fail(r_, "a second 'key: ' on one line");
        return value(col);
    }

    // A scalar or flow collection at r_, whose continuation lines must be indented beyond parent.
    bool value(int parent)
    {
        if (!unsupported_at(r_)) return false;
        const char c = b_[r_];
        if (c == '[' || c == '{') return flow() && end_line();
        if (c == '"' || c == '\'') {
            if (!quoted(parent, false)) return false;
            size_t p = r_;
            while (blank_at(p)) p++;
            if (p < n_ && b_[p] == ':' && (eol_at(p + 1) || blank_at(p + 1)))
                return fail(p, "a key in quotes that spans lines");
            return end_line();
        }
        if (c == ',' || c == ']' || c == '}') return fail(r_, "a '%c' outside a flow collection", c);
        if (!plain_start_ok(r_, false)) return false;
        return plain(parent);
    }

    bool plain_start_ok(size_t i, bool in_flow)
    {
        const char c = b_[i];
        const char n = i + 1 < n_ ? b_[i + 1] : '\0';
        if (c == '-' || c == '?' || c == ':') {
            if (eol_at(i + 1) || is_blank(n) || (in_flow && (n == ',' || n == '[' || n == ']' || n == '{' || n == '}')))
                return fail(i, "a plain scalar cannot be a lone '%c'; quote it", c);
            return true;
        }
        if (strchr(",[]{}#&*!|>'\"%@`", c) != nullptr)
            return fail(i, "a plain scalar cannot begin with '%c'; quote it", c);
        return true;
    }

    // A plain scalar in block context, folded over its continuation lines.
    bool plain(int parent)
    {
        for (;;) {
            const size_t line_out = w_;
            while (!eol_at(r_)) {
                if (b_[r_] == '#' && is_blank(b_[r_ - 1])) {
                    trim_output(line_out);
                    return end_line();
                }
                if (b_[r_] == ':' && (eol_at(r_ + 1) || blank_at(r_ + 1)))
                    return fail(r_, "': ' inside a plain value (quote the text)");
                copy();
            }
            trim_output(line_out);
            // The next line continues the scalar when it is indented beyond the parent.
            size_t p = r_;
            unsigned empty = 0;
            size_t content = n_;
            while (p < n_) {
                size_t lf = p;
                while (lf < n_ && b_[lf] != '\n') lf++;
                if (lf == n_) break;
                size_t s = lf + 1, i = s;
                while (i < n_ && b_[i] == ' ') i++;
                size_t j = i;
                while (blank_at(j)) j++;
                if (eol_at(j)) {
                    empty++;
                    p = j;
                    continue;
                }
                if ((int)(i - s) > parent && b_[j] != '#') {
                    if (j != i) return fail(i, "a tab in the indentation");
                    content = j;
                }
                break;
            }
            if (content == n_) return end_line();
            locate(content); // before the fold's output covers the line ends
            if (empty == 0)
                put(' ');
            else
                for (unsigned k = 0; k < empty; k++) put(kLineMark);
            r_ = content;
        }
    }

    bool check_hex(size_t at, size_t digits, uint32_t *code)
    {
        uint32_t v = 0;
        for (size_t k = 0; k < digits; k++) {
            const int d = at + k < n_ ? kr_docpos::hex_digit(b_[at + k]) : -1;
            if (d < 0) return fail(at - 2, "an escape without %zu hexadecimal digits", digits);
            v = v * 16 + (uint32_t)d;
        }
        *code = v;
        return true;
    }

    // One escape at i (the backslash) inside double quotes; its length in *len.
    bool check_escape(size_t i, size_t *len)
    {
        const char e = i + 1 < n_ ? b_[i + 1] : '\0';
        size_t digits = 0;
        switch (e) {
        case 'a':
        case 'b':
        case 't':
        case '\t':
        case 'n':
        case 'v':
        case 'f':
        case 'r':
        case 'e':
        case ' ':
        case '"':
        case '/':
        case '\\':
        case 'N':
        case '_':
        case 'L':
        case 'P': *len = 2; return true;
        case '0': return fail(i, "a \\0 escape: a text cannot hold a NUL");
        case 'x': digits = 2; break;
        case 'u': digits = 4; break;
        case 'U': digits = 8; break;
        default: {
            char shown[8];
            return fail(i, "an unknown escape \\%s", kr_docpos::shown(e, shown));
        }
        }
        uint32_t code = 0;
        if (!check_hex(i + 2, digits, &code)) return false;
        if (code == 0) return fail(i, "an escape of a NUL: a text cannot hold one");
        if (code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return fail(i, "an escape of no Unicode character");
        *len = 2 + digits;
        return true;
    }

    // The escapes of a double-quoted scalar between i and end (its closing quote) on one line.
    bool check_quoted_escapes(size_t i, size_t end)
    {
        if (end == n_) return fail(i, "a key in quotes that is not closed on its line");
        if (b_[i] != '"') return true;
        for (size_t p = i + 1; p < end;) {
            if (b_[p] != '\\') {
                p++;
                continue;
            }
            size_t len = 0;
            if (!check_escape(p, &len)) return false;
            p += len;
        }
        return true;
    }

    // A quoted scalar at r_. In block context it may continue on lines indented beyond parent;
    // the breaks are folded as YAML folds them, a kept break written as kLineMark.
    bool quoted(int parent, bool in_flow)
    {
        const size_t open = r_;
        const char q = b_[r_];
        copy();
        size_t keep = w_; // blanks before this are text (escaped or inside the line)
        for (;;) {
            if (r_ >= n_) return fail(open, "a quoted scalar that is never closed");
            const char c = b_[r_];
            if (c == q) {
                if (q == '\'' && r_ + 1 < n_ && b_[r_ + 1] == '\'') {
                    copy();
                    copy();
                    keep = w_;
                    continue;
                }
                copy();
                return true;
            }
            bool escaped_break = false;
            if (q == '"' && c == '\\') {
                if (!eol_at(r_ + 1)) {
                    size_t len = 0;
                    if (!check_escape(r_, &len)) return false;
                    for (size_t k = 0; k < len; k++) copy();
                    keep = w_;
                    continue;
                }
                escaped_break = true;
                r_++;
            } else if (!eol_at(r_)) {
                copy();
                if (!is_blank(c)) keep = w_;
                continue;
            }
            if (in_flow) return fail(r_, "a flow collection continued on the next line (the reader takes one line)");
            if (!escaped_break) trim_output(keep);
            // Fold: empty lines become breaks, a single break a blank (none after an escaped break).
            unsigned empty = 0;
            size_t p = r_;
            for (;;) {
                while (p < n_ && b_[p] != '\n') p++;
                if (p >= n_) return fail(open, "a quoted scalar that is never closed");
                size_t s = p + 1, i = s;
                while (i < n_ && b_[i] == ' ') i++;
                size_t j = i;
                while (blank_at(j)) j++;
                if (eol_at(j) && j < n_) {
                    empty++;
                    p = j;
                    continue;
                }
                if (j >= n_) return fail(open, "a quoted scalar that is never closed");
                if ((int)(i - s) <= parent) return fail(i, "a line of a quoted scalar indented no deeper than its key");
                if (j != i) return fail(i, "a tab in the indentation");
                locate(j);
                r_ = j;
                break;
            }
            if (empty == 0 && !escaped_break) put(' ');
            for (unsigned k = 0; k < empty; k++) put(kLineMark);
            keep = w_;
        }
    }

    // A flow collection on one line, at r_.
    bool flow()
    {
        enum { ENTRY, VALUE, AFTER } st = ENTRY;
        uint64_t maps = 0; // bit d: the collection at depth d is a mapping
        int depth = 0;
        for (;;) {
            while (blank_at(r_)) copy();
            if (eol_at(r_) || (b_[r_] == '#' && is_blank(b_[r_ - 1])))
                return fail(r_, "a flow collection continued on the next line (the reader takes one line)");
            const char c = b_[r_];
            const bool in_map = depth > 0 && ((maps >> (depth - 1)) & 1u) != 0;
            if (c == ']' || c == '}') {
                if (depth == 0 || (c == '}') != in_map) return fail(r_, "a '%c' that closes nothing", c);
                copy();
                if (--depth == 0) return true;
                st = AFTER;
                continue;
            }
            if (st == AFTER || c == ',') {
                if (c != ',') return fail(r_, "',' or '%c' expected", in_map ? '}' : ']');
                if (st == ENTRY) return fail(r_, "an empty entry in a flow collection");
                copy();
                st = ENTRY;
                continue;
            }
            if (c == '[' || c == '{') {
                if (in_map && st == ENTRY) return fail(r_, "a flow collection as a key");
                if (depth == 64) return fail(r_, "flow collections nested deeper than 64 levels");
                if (c == '{')
                    maps |= uint64_t{1} << depth;
                else
                    maps &= ~(uint64_t{1} << depth);
                depth++;
                copy();
                st = ENTRY;
                continue;
            }
            if (!flow_scalar()) return false;
            size_t p = r_;
            while (blank_at(p)) p++;
            const bool colon = p < n_ && b_[p] == ':';
            if (st == VALUE) {
                if (colon) return fail(p, "a second ':' in a flow mapping entry");
                st = AFTER;
                continue;
            }
            if (!in_map) {
                if (colon) return fail(p, "a 'key: value' pair inside a flow sequence");
                st = AFTER;
                continue;
            }
            if (!colon) return fail(p, "a flow mapping entry without ': '");
            if (!(blank_at(p + 1) || eol_at(p + 1) || b_[p + 1] == ',' || b_[p + 1] == '}'))
                return fail(p, "a ':' without a blank after it");
            while (r_ <= p) copy();
            st = VALUE;
        }
    }

    // A quoted or plain scalar inside a flow collection, at r_.
    bool flow_scalar()
    {
        if (!unsupported_at(r_)) return false;
        if (b_[r_] == '"' || b_[r_] == '\'') return quoted(0, true);
        if (!plain_start_ok(r_, true)) return false;
        const size_t start_out = w_;
        while (!eol_at(r_)) {
            const char c = b_[r_];
            if (c == ',' || c == ']' || c == '}' || c == '[' || c == '{') {
                if (c == '[' || c == '{') return fail(r_, "a '%c' inside a plain scalar; quote the text", c);
                break;
            }
            if (c == ':' &&
                (blank_at(r_ + 1) || eol_at(r_ + 1) || b_[r_ + 1] == ',' || b_[r_ + 1] == ']' || b_[r_ + 1] == '}'))
                break;
            if (c == '#' && is_blank(b_[r_ - 1])) break;
            // The queries take a quote after a blank, ':' or '-' for an opening one.
            if ((c == '"' || c == '\'') && (is_blank(b_[r_ - 1]) || b_[r_ - 1] == ':' || b_[r_ - 1] == '-'))
                return fail(r_, "a quote after a blank inside a plain scalar in a flow collection; quote the text");
            copy();
        }
        trim_output(start_out);
        return true;
    }
};

} // namespace

extern "C" {

kr_errors_e kr_yamlreader_parse(char *buffer, uint32_t buffer_length, kr_doc_error_st *error)
{
    if (!buffer) return ERR_NULL_PTR;
    if (buffer_length == 0) return ERR_BUFFER_OVERFLOW;
    const size_t n = strnlen(buffer, buffer_length);
    YamlSyntax syntax(buffer, n, error);
    if (!syntax.run()) return KR_YAML_ERR_SYNTAX;
    const size_t o = syntax.out_length();
    if (o >= buffer_length) return ERR_BUFFER_OVERFLOW; // untouched: nothing was dropped
    buffer[o] = '\0';
    return ERR_NONE;
}

kr_errors_e kr_yamlreader_init(char *buffer, uint32_t buffer_length)
{
    return kr_yamlreader_parse(buffer, buffer_length, nullptr);
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
            if (find_colon(v, false)) return YAML_MAP;
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
            if (!want_none ? key_equals(k, len, quote, name) : len == 0) return c;
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
    return copy_text(k, len, quote, dest, dest_length);
}

bool kr_yamlreader_get_string(kr_yaml_node_st node, char *dest, uint32_t dest_length)
{
    if (!dest || dest_length == 0) return false;
    dest[0] = '\0';
    const char *v = value_of(node);
    if (!v || is_collection_value(node, v)) return false;
    raw_scalar r = raw_of(v, node.flow);
    return copy_text(r.start, r.len, r.quote, dest, dest_length);
}

uint32_t kr_yamlreader_get_string_len(kr_yaml_node_st node)
{
    const char *v = value_of(node);
    if (!v || is_collection_value(node, v)) return 0;
    const raw_scalar r = raw_of(v, node.flow);
    return text_length(r.start, r.len, r.quote);
}

uint32_t kr_yamlreader_get_raw_len(kr_yaml_node_st node)
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
