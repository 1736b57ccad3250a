// JSON reader (in place, no tree) and append-only writer. See kr_json.h.
#include "kr_json.h"

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "kr_docpos.h"

namespace {

bool is_ws(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// Strips white space outside strings from the first `limit` characters (or up to the first NUL).
// Returns the compacted length. The terminator is written only inside the walked range, so a text
// that loses nothing keeps its last character and its own terminator.
size_t json_remove_whitespace(char *buf, size_t limit)
{
    size_t r = 0, w = 0;
    bool in_string = false;
    while (r < limit && buf[r] != '\0') {
        const char c = buf[r++];
        if (c == '"') in_string = !in_string;
        if (!in_string && is_ws(c)) continue;
        buf[w++] = c;
        // An escaped character inside a string is copied with its backslash, whatever it is.
        if (in_string && c == '\\' && r < limit && buf[r] != '\0') buf[w++] = buf[r++];
    }
    if (w < r || r < limit) buf[w] = '\0';
    return w;
}

// The syntax pass: one walk that checks RFC 8259 and writes the compacted text behind it (the write
// position never passes the read position, as every decoded escape is shorter than its source).
class Syntax {
public:
    Syntax(char *buf, size_t n, kr_doc_error_st *error) : buf_(buf), n_(n), error_(error), line_start_(buf) {}

    bool run()
    {
        skip_ws();
        if (r_ == n_) return fail(buf_ + r_, "the document is empty");
        bool need_value = true;
        for (;;) {
            if (need_value) {
                if (!value()) return false;
                need_value = pending_;
                pending_ = false;
                if (need_value) continue;
            }
            if (depth_ == 0) break;
            skip_ws();
            if (r_ == n_) return fail(buf_ + r_, "the document ends inside %s", in_object() ? "an object" : "an array");
            const char c = buf_[r_];
            if (c == ',') {
                put(buf_[r_++]);
                skip_ws();
                if (in_object()) {
                    if (!member_name()) return false;
                } else if (r_ < n_ && buf_[r_] == ']') {
                    return fail(buf_ + r_, "a ',' before ']' (a trailing comma)");
                }
                need_value = true;
            } else if (c == (in_object() ? '}' : ']')) {
                put(buf_[r_++]);
                --depth_;
            } else {
                return unexpected(in_object() ? "',' or '}'" : "',' or ']'");
            }
        }
        skip_ws();
        if (r_ < n_) return unexpected("the end of the document");
        if (w_ < r_ || r_ < limit_) buf_[w_] = '\0';
        return true;
    }

    size_t limit_ = 0;

private:
    char *buf_;
    size_t n_;
    kr_doc_error_st *error_;
    const char *line_start_;
    uint32_t line_ = 1;
    size_t r_ = 0, w_ = 0;
    uint32_t depth_ = 0;
    bool pending_ = false;                        // value() opened a collection whose first member or element follows
    uint64_t kinds_[KR_JSON_MAX_DEPTH / 64] = {}; // bit set: an object at that depth

    bool in_object() const { return (kinds_[(depth_ - 1) / 64] >> ((depth_ - 1) % 64) & 1u) != 0; }
    void put(char c) { buf_[w_++] = c; }

    __attribute__((format(printf, 3, 4))) bool fail(const char *at, const char *fmt, ...)
    {
        if (error_ != nullptr) {
            char reason[KR_DOC_REASON_LENGTH];
            va_list ap;
            va_start(ap, fmt);
            std::vsnprintf(reason, sizeof reason, fmt, ap);
            va_end(ap);
            kr_docpos::fail(error_, line_start_, at, line_, "%s", reason);
        }
        return false;
    }

    bool unexpected(const char *wanted)
    {
        if (r_ == n_) return fail(buf_ + r_, "the document ends where %s was expected", wanted);
        char shown[8];
        return fail(buf_ + r_, "%s where %s was expected", kr_docpos::shown(buf_[r_], shown), wanted);
    }

    void skip_ws()
    {
        while (r_ < n_) {
            const char c = buf_[r_];
            if (c == '\n') {
                line_++;
                line_start_ = buf_ + r_ + 1;
            } else if (c != ' ' && c != '\t' && c != '\r') {
                return;
            }
            ++r_;
        }
    }

    bool open(bool object)
    {
        if (depth_ == KR_JSON_MAX_DEPTH)
            return fail(buf_ + r_, "the document nests deeper than %u levels", KR_JSON_MAX_DEPTH);
        const uint64_t bit = uint64_t{1} << (depth_ % 64);
        if (object)
            kinds_[depth_ / 64] |= bit;
        else
            kinds_[depth_ / 64] &= ~bit;
        ++depth_;
        put(buf_[r_++]);
        skip_ws();
        return true;
    }

    bool member_name()
    {
        if (r_ == n_ || buf_[r_] != '"') return unexpected("a member name in double quotes");
        if (!string()) return false;
        skip_ws();
        if (r_ == n_ || buf_[r_] != ':') return unexpected("':' after the member name");
        put(buf_[r_++]);
        skip_ws();
        return true;
    }

    // One value; an opened collection leaves its members to run().
    bool value()
    {
        skip_ws();
        if (r_ == n_) return unexpected("a value");
        const char c = buf_[r_];
        if (c == '{') {
            if (!open(true)) return false;
            if (r_ < n_ && buf_[r_] == '}') {
                put(buf_[r_++]);
                --depth_;
                return true;
            }
            pending_ = true;
            return member_name();
        }
        if (c == '[') {
            if (!open(false)) return false;
            if (r_ < n_ && buf_[r_] == ']') {
                put(buf_[r_++]);
                --depth_;
                return true;
            }
            pending_ = true;
            return true;
        }
        if (c == '"') return string();
        if (c == '-' || (c >= '0' && c <= '9')) return number();
        for (const char *word : {"true", "false", "null"}) {
            const size_t len = std::strlen(word);
            if (c == word[0]) {
                if (n_ - r_ < len || std::memcmp(buf_ + r_, word, len) != 0)
                    return fail(buf_ + r_, "not a JSON value (did you mean %s?)", word);
                for (size_t i = 0; i < len; ++i) put(buf_[r_++]);
                return true;
            }
        }
        return unexpected("a value");
    }

    bool digits()
    {
        const size_t start = r_;
        while (r_ < n_ && buf_[r_] >= '0' && buf_[r_] <= '9') put(buf_[r_++]);
        return r_ > start;
    }

    bool number()
    {
        const char *start = buf_ + r_;
        if (buf_[r_] == '-') put(buf_[r_++]);
        if (r_ < n_ && buf_[r_] == '0') {
            put(buf_[r_++]);
            if (r_ < n_ && buf_[r_] >= '0' && buf_[r_] <= '9') return fail(start, "a number with a leading zero");
        } else if (!digits()) {
            return fail(start, "a '-' without digits");
        }
        if (r_ < n_ && buf_[r_] == '.') {
            put(buf_[r_++]);
            if (!digits()) return fail(start, "a number without digits after its '.'");
        }
        if (r_ < n_ && (buf_[r_] == 'e' || buf_[r_] == 'E')) {
            put(buf_[r_++]);
            if (r_ < n_ && (buf_[r_] == '+' || buf_[r_] == '-')) put(buf_[r_++]);
            if (!digits()) return fail(start, "a number without digits in its exponent");
        }
        return true;
    }

    int hex4(size_t at) const
    {
        if (n_ - at < 4) return -1;
        int v = 0;
        for (size_t i = at; i < at + 4; ++i) {
            const int d = kr_docpos::hex_digit(buf_[i]);
            if (d < 0) return -1;
            v = v * 16 + d;
        }
        return v;
    }

    void put_code(uint32_t cp)
    {
        if (cp == '"' || cp == '\\') {
            put('\\');
            put(static_cast<char>(cp));
        } else {
            char bytes[4];
            const unsigned n = kr_docpos::utf8_put(cp, bytes);
            for (unsigned i = 0; i < n; ++i) put(bytes[i]);
        }
    }

    bool string()
    {
        const char *open_quote = buf_ + r_;
        put(buf_[r_++]);
        for (;;) {
            if (r_ == n_) return fail(open_quote, "a string that is never closed");
            const char c = buf_[r_];
            if (c == '"') {
                put(buf_[r_++]);
                return true;
            }
            if (static_cast<unsigned char>(c) < 0x20) {
                return fail(buf_ + r_, c == '\n' ? "a line break inside a string (write \\n)"
                                                 : "a control character inside a string (write it as an escape)");
            }
            if (c != '\\') {
                put(buf_[r_++]);
                continue;
            }
            const char *esc = buf_ + r_;
            const char e = r_ + 1 < n_ ? buf_[r_ + 1] : '\0';
            r_ += 2;
            switch (e) {
            case '"':
                put('\\');
                put('"');
                break;
            case '\\':
                put('\\');
                put('\\');
                break;
            case '/': put('/'); break;
            case 'b': put('\b'); break;
            case 'f': put('\f'); break;
            case 'n': put('\n'); break;
            case 'r': put('\r'); break;
            case 't': put('\t'); break;
            case 'u': {
                int cp = hex4(r_);
                if (cp < 0) return fail(esc, "a \\u escape without four hexadecimal digits");
                r_ += 4;
                if (cp == 0) return fail(esc, "a \\u0000 escape: a text cannot hold a NUL");
                if (cp >= 0xDC00 && cp <= 0xDFFF) return fail(esc, "a \\u escape of a lone low surrogate");
                if (cp >= 0xD800 && cp <= 0xDBFF) {
                    const int low = (n_ - r_ >= 6 && buf_[r_] == '\\' && buf_[r_ + 1] == 'u') ? hex4(r_ + 2) : -1;
                    if (low < 0xDC00 || low > 0xDFFF)
                        return fail(esc, "a \\u escape of a high surrogate without its low half");
                    r_ += 6;
                    cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                }
                put_code(static_cast<uint32_t>(cp));
                break;
            }
            default: {
                char shown[8];
                if (esc + 1 >= buf_ + n_) return fail(open_quote, "a string that is never closed");
                return fail(esc, "an unknown escape \\%s", kr_docpos::shown(e, shown));
            }
            }
        }
    }
};

// Inside a string a backslash escapes the next character: \" and \\ stand for " and \.
const char *string_end(const char *p)
{
    while (*p != '\0' && *p != '"') p += (p[0] == '\\' && p[1] != '\0') ? 2 : 1;
    return p;
}

// From an opening quote: the character after the closing quote, or the NUL.
const char *skip_string(const char *p)
{
    p = string_end(p + 1);
    return *p == '"' ? p + 1 : p;
}

// The value a node stands for: after a member's name and colon, or the node itself (the root,
// an element). Quote-aware, so a name holding ':' or '{' and a string element holding brackets
// are read for what they are.
const char *value_of(const char *node)
{
    if (node == nullptr) return nullptr;
    if (*node == '"') {
        const char *p = skip_string(node);
        if (*p == ':') return p + 1;
    }
    return node;
}

kr_json_types_e type_at(const char *v)
{
    if (v == nullptr) return JSON_UNSUPPORTED;
    switch (*v) {
    case '\0': return JSON_UNSUPPORTED;
    case '[': return JSON_ARRAY;
    case '{': return JSON_OBJECT;
    case 't':
    case 'f': return JSON_BOOL;
    case '"': {
        const char *p = v + 1;
        if (*p == '"') return JSON_STRING;
        if (p[0] == '0' && p[1] == 'x') {
            p += 2;
            while (std::isxdigit(static_cast<unsigned char>(*p))) ++p;
        } else {
            while (std::isdigit(static_cast<unsigned char>(*p))) ++p;
        }
        return *p == '"' ? JSON_INT : JSON_STRING;
    }
    default: return JSON_INT;
    }
}

// Base-0 conversion: -2147483648..4294967295 keep their 32 bits, values beyond saturate.
int32_t convert_int(const char *s)
{
    const long long v = std::strtoll(s, nullptr, 0);
    if (v > 4294967295LL) return INT32_MAX;
    if (v < -2147483648LL) return INT32_MIN;
    return static_cast<int32_t>(static_cast<uint32_t>(static_cast<unsigned long long>(v)));
}

void clear_dest(char *dest, uint32_t dest_length)
{
    if (dest != nullptr && dest_length > 0) dest[0] = '\0';
}

// Copies up to the closing quote; false when cut or when the string has no closing quote.
bool copy_quoted(const char *src, char *dest, uint32_t dest_length)
{
    if (dest == nullptr || dest_length == 0) return false;
    uint32_t n = 0;
    const char *p = src;
    while (*p != '\0' && *p != '"') {
        if (n == dest_length - 1) {
            dest[n] = '\0';
            return false;
        }
        // Only \" and \\ are escapes; any other backslash is the character itself.
        if (p[0] == '\\' && (p[1] == '"' || p[1] == '\\')) ++p;
        dest[n++] = *p++;
    }
    dest[n] = '\0';
    return *p == '"';
}

bool next_sibling(const char *node, const char **out)
{
    if (node == nullptr) return false;
    const char *p = node;
    long depth = 0;
    while (*p != '\0') {
        const char c = *p;
        if (c == '"') {
            p = skip_string(p);
            continue;
        }
        if (c == '{' || c == '[') {
            ++depth;
        } else if (c == '}' || c == ']') {
            if (--depth < 0) return false;
        } else if (c == ',' && depth == 0) {
            const char *n = p + 1;
            // A trailing comma before the closer starts no member.
            if (*n == '\0' || *n == '}' || *n == ']') return false;
            if (out != nullptr) *out = n;
            return true;
        }
        ++p;
    }
    return false;
}

// First member or element of a collection value, or null when it is empty or not a collection.
// True when the member name after p (its opening quote) is name, \" and \\ read as one character, and
// a ':' follows the name's closing quote.
bool name_matches(const char *p, const char *name)
{
    while (*p != '"') {
        if (*p == '\0') return false;
        char c = *p;
        if (c == '\\' && p[1] != '\0') c = *++p;
        if (*name != c) return false;
        ++p;
        ++name;
    }
    return *name == '\0' && p[1] == ':';
}

const char *first_inside(const char *v)
{
    if (v == nullptr || (*v != '{' && *v != '[')) return nullptr;
    const char *p = v + 1;
    if (*p == '\0' || *p == '}' || *p == ']') return nullptr;
    return p;
}

const char *array_value(const char *node)
{
    const char *v = value_of(node);
    return (v != nullptr && *v == '[') ? v : nullptr;
}

const char *element_at(const char *node, uint32_t index)
{
    const char *p = first_inside(array_value(node));
    for (uint32_t i = 0; p != nullptr && i < index; ++i) {
        if (!next_sibling(p, &p)) return nullptr;
    }
    return p;
}

} // namespace

extern "C" {

kr_errors_e kr_jsonreader_parse(char *buffer, uint32_t buffer_length, kr_doc_error_st *error)
{
    if (buffer == nullptr) return ERR_NULL_PTR;
    Syntax syntax(buffer, strnlen(buffer, buffer_length), error);
    syntax.limit_ = buffer_length;
    if (!syntax.run()) return KR_JSON_ERR_SYNTAX;
    return ERR_NONE;
}

kr_errors_e kr_jsonreader_init(char *buffer, uint32_t buffer_length)
{
    return kr_jsonreader_parse(buffer, buffer_length, nullptr);
}

kr_json_types_e kr_jsonreader_get_type(char *node) { return type_at(value_of(node)); }

char *kr_jsonreader_find_child(char *parent, const char *child_name)
{
    if (child_name == nullptr) return nullptr;
    const char *p = first_inside(value_of(parent));
    while (p != nullptr) {
        if (*p == '"' && name_matches(p + 1, child_name)) return const_cast<char *>(p);
        if (!next_sibling(p, &p)) return nullptr;
    }
    return nullptr;
}

char *kr_jsonreader_get_child(char *parent, uint16_t index)
{
    const char *p = first_inside(value_of(parent));
    for (uint32_t i = 0; p != nullptr && i < index; ++i) {
        if (!next_sibling(p, &p)) return nullptr;
    }
    return const_cast<char *>(p);
}

bool kr_jsonreader_get_next_sibling(char *node, char **out)
{
    const char *n = nullptr;
    if (!next_sibling(node, &n)) return false;
    if (out != nullptr) *out = const_cast<char *>(n);
    return true;
}

bool kr_jsonreader_get_obj_name(char *node, char *dest, uint32_t dest_length)
{
    if (node == nullptr || *node != '"') {
        clear_dest(dest, dest_length);
        return false;
    }
    return copy_quoted(node + 1, dest, dest_length);
}

int32_t kr_jsonreader_get_int(char *node)
{
    const char *v = value_of(node);
    switch (type_at(v)) {
    case JSON_INT: return convert_int(*v == '"' ? v + 1 : v);
    case JSON_STRING: return convert_int(v + 1);
    default: return 0;
    }
}

bool kr_jsonreader_get_bool(char *node)
{
    const char *v = value_of(node);
    return v != nullptr && std::strncmp(v, "true", 4) == 0;
}

bool kr_jsonreader_get_string(char *node, char *dest, uint32_t dest_length)
{
    const char *v = value_of(node);
    if (v == nullptr || *v != '"') {
        clear_dest(dest, dest_length);
        return false;
    }
    return copy_quoted(v + 1, dest, dest_length);
}

uint32_t kr_jsonreader_get_string_len(char *node)
{
    const char *v = value_of(node);
    if (v == nullptr || *v != '"') return 0;
    return static_cast<uint32_t>(string_end(v + 1) - (v + 1));
}

char *kr_jsonreader_get_string_ptr(char *node)
{
    const char *v = value_of(node);
    if (v == nullptr || *v != '"') return nullptr;
    return const_cast<char *>(v + 1);
}

uint32_t kr_jsonreader_array_get_size(char *node)
{
    const char *p = first_inside(array_value(node));
    if (p == nullptr) return 0;
    uint32_t count = 1;
    long depth = 0;
    while (*p != '\0') {
        const char c = *p;
        if (c == '"') {
            p = skip_string(p);
            continue;
        }
        if (c == '{' || c == '[') {
            ++depth;
        } else if (c == '}' || c == ']') {
            if (depth == 0) break;
            --depth;
        } else if (c == ',' && depth == 0 && p[1] != ']' && p[1] != '}' && p[1] != '\0') {
            ++count;
        }
        ++p;
    }
    return count;
}

char *kr_jsonreader_array_at(char *node, uint32_t index) { return const_cast<char *>(element_at(node, index)); }

kr_json_types_e kr_jsonreader_array_get_type(char *node, uint32_t index)
{
    const char *e = element_at(node, index);
    return e == nullptr ? JSON_UNSUPPORTED : type_at(value_of(e));
}

int32_t kr_jsonreader_array_get_int(char *node, uint32_t index)
{
    return kr_jsonreader_get_int(const_cast<char *>(element_at(node, index)));
}

bool kr_jsonreader_array_get_bool(char *node, uint32_t index)
{
    return kr_jsonreader_get_bool(const_cast<char *>(element_at(node, index)));
}

bool kr_jsonreader_array_get_string(char *node, uint32_t index, char *dest, uint32_t dest_length)
{
    return kr_jsonreader_get_string(const_cast<char *>(element_at(node, index)), dest, dest_length);
}

const char *kr_json_type_to_str(kr_json_types_e type)
{
    switch (type) {
    case JSON_OBJECT: return "OBJECT";
    case JSON_ARRAY: return "ARRAY";
    case JSON_UNSUPPORTED: return "UNSUPPORTED";
    case JSON_INT: return "INT";
    case JSON_BOOL: return "BOOL";
    case JSON_STRING: return "STRING";
    }
    return "UNDEFINED";
}

int32_t kr_json_array_get_int(char *node, uint32_t index)
{
    const char *e = element_at(node, index);
    return e == nullptr ? 0 : convert_int(e);
}

} // extern "C"

// ---- Writer ----

namespace {

bool writer_ok(const kr_json_st *j) { return j != nullptr && j->start_ptr != nullptr; }

// One byte beyond the terminator is always kept free; a buffer under 2 bytes has no room at all.
bool has_room(const kr_json_st *j, uint64_t length, uint64_t room) { return length + room + 1 < j->buffer_length; }

// The writer's half of the string codec: what the syntax pass decodes back to the same bytes.
template <typename Put> void escape_each(const char *s, Put put)
{
    static const char hex[] = "0123456789abcdef";
    for (; *s != '\0'; ++s) {
        const unsigned char c = static_cast<unsigned char>(*s);
        switch (c) {
        case '"': put("\\\"", 2); break;
        case '\\': put("\\\\", 2); break;
        case '\b': put("\\b", 2); break;
        case '\f': put("\\f", 2); break;
        case '\n': put("\\n", 2); break;
        case '\r': put("\\r", 2); break;
        case '\t': put("\\t", 2); break;
        default:
            if (c < 0x20) {
                const char u[6] = {'\\', 'u', '0', '0', hex[c >> 4], hex[c & 15]};
                put(u, 6);
            } else {
                put(s, 1);
            }
        }
    }
}

std::string escaped(const char *s)
{
    std::string out;
    escape_each(s, [&](const char *t, size_t n) { out.append(t, n); });
    return out;
}

uint32_t length_without_comma(const kr_json_st *j)
{
    const uint32_t n = j->text_length;
    return (n > 0 && j->start_ptr[n - 1] == ',') ? n - 1 : n;
}

__attribute__((format(printf, 4, 5))) kr_errors_e append(kr_json_st *j, uint32_t length, uint64_t room, const char *fmt,
                                                         ...)
{
    if (!has_room(j, length, room)) return ERR_BUFFER_OVERFLOW;
    const size_t space = j->buffer_length - length;
    va_list ap;
    va_start(ap, fmt);
    const int n = std::vsnprintf(j->start_ptr + length, space, fmt, ap);
    va_end(ap);
    if (n < 0 || static_cast<size_t>(n) >= space) {
        // Cannot happen while room covers the text; keep the old text intact if it ever does.
        j->start_ptr[j->text_length] = '\0';
        return ERR_BUFFER_OVERFLOW;
    }
    j->text_length = length + static_cast<uint32_t>(n);
    return ERR_NONE;
}

uint32_t digits_of(int32_t v) { return static_cast<uint32_t>(std::snprintf(nullptr, 0, "%i", v)); }
uint32_t hex_len_of(uint32_t v) { return static_cast<uint32_t>(std::snprintf(nullptr, 0, "0x%x", v)); }

kr_errors_e check_name(const kr_json_st *j, const char *name)
{
    if (!writer_ok(j) || name == nullptr) return ERR_NULL_PTR;
    return ERR_NONE;
}

} // namespace

extern "C" {

kr_errors_e kr_jsonwriter_init(kr_json_st *json, char *buffer, uint32_t buffer_length)
{
    if (json == nullptr || buffer == nullptr) return ERR_NULL_PTR;
    json->start_ptr = buffer;
    json->buffer_length = buffer_length;
    json->text_length = 0;
    if (buffer_length < 2) {
        if (buffer_length == 1) buffer[0] = '\0';
        return ERR_BUFFER_OVERFLOW;
    }
    buffer[0] = '{';
    buffer[1] = '\0';
    json->text_length = 1;
    return ERR_NONE;
}

kr_errors_e kr_jsonwriter_begin_object_named(kr_json_st *json, const char *name)
{
    if (!writer_ok(json)) return ERR_NULL_PTR;
    if (name == nullptr || name[0] == '\0') return append(json, json->text_length, 1, "{");
    const std::string n = escaped(name);
    return append(json, json->text_length, n.size() + 4, "\"%s\":{", n.c_str());
}

kr_errors_e kr_jsonwriter_begin_object(kr_json_st *json)
{
    if (!writer_ok(json)) return ERR_NULL_PTR;
    return append(json, json->text_length, 1, "{");
}

kr_errors_e kr_jsonwriter_end_object(kr_json_st *json)
{
    if (!writer_ok(json)) return ERR_NULL_PTR;
    return append(json, length_without_comma(json), 2, "},");
}

kr_errors_e kr_jsonwriter_begin_array(kr_json_st *json, const char *name)
{
    if (!writer_ok(json)) return ERR_NULL_PTR;
    if (name == nullptr) name = "";
    const std::string n = escaped(name);
    const uint64_t room = n.size() + 5;
    if (name[0] == '\0') return append(json, json->text_length, room, "[");
    return append(json, json->text_length, room, "\"%s\":[", n.c_str());
}

kr_errors_e kr_jsonwriter_end_array(kr_json_st *json)
{
    if (!writer_ok(json)) return ERR_NULL_PTR;
    return append(json, length_without_comma(json), 2, "],");
}

kr_errors_e kr_jsonwriter_add_int(kr_json_st *json, const char *name, int32_t value)
{
    const kr_errors_e e = check_name(json, name);
    if (e != ERR_NONE) return e;
    const std::string n = escaped(name);
    return append(json, json->text_length, n.size() + digits_of(value) + 4, "\"%s\":%i,", n.c_str(), value);
}

kr_errors_e kr_jsonwriter_add_int_hex(kr_json_st *json, const char *name, uint32_t value)
{
    const kr_errors_e e = check_name(json, name);
    if (e != ERR_NONE) return e;
    const std::string n = escaped(name);
    return append(json, json->text_length, n.size() + hex_len_of(value) + 6, "\"%s\":\"0x%x\",", n.c_str(), value);
}

kr_errors_e kr_jsonwriter_add_uint(kr_json_st *json, const char *name, uint32_t value)
{
    const kr_errors_e e = check_name(json, name);
    if (e != ERR_NONE) return e;
    const uint32_t digits = static_cast<uint32_t>(std::snprintf(nullptr, 0, "%u", value));
    const std::string n = escaped(name);
    return append(json, json->text_length, n.size() + digits + 4, "\"%s\":%u,", n.c_str(), value);
}

kr_errors_e kr_jsonwriter_add_bool(kr_json_st *json, const char *name, bool value)
{
    const kr_errors_e e = check_name(json, name);
    if (e != ERR_NONE) return e;
    const std::string n = escaped(name);
    return append(json, json->text_length, n.size() + 9, "\"%s\":%s,", n.c_str(), value ? "true" : "false");
}

kr_errors_e kr_jsonwriter_add_string(kr_json_st *json, const char *name, const char *value)
{
    kr_errors_e e = check_name(json, name);
    if (e != ERR_NONE) return e;
    if (value == nullptr) return ERR_NULL_PTR;
    const std::string n = escaped(name);
    const std::string text = escaped(value);
    return append(json, json->text_length, n.size() + text.size() + 6, "\"%s\":\"%s\",", n.c_str(), text.c_str());
}

kr_errors_e kr_jsonwriter_array_add_int(kr_json_st *json, int32_t value)
{
    if (!writer_ok(json)) return ERR_NULL_PTR;
    return append(json, json->text_length, digits_of(value) + 1, "%i,", value);
}

kr_errors_e kr_jsonwriter_array_add_int_hex(kr_json_st *json, int32_t value)
{
    if (!writer_ok(json)) return ERR_NULL_PTR;
    const uint32_t u = static_cast<uint32_t>(value);
    return append(json, json->text_length, hex_len_of(u) + 3, "\"0x%x\",", u);
}

kr_errors_e kr_jsonwriter_array_add_bool(kr_json_st *json, bool value)
{
    if (!writer_ok(json)) return ERR_NULL_PTR;
    return append(json, json->text_length, 6, "%s,", value ? "true" : "false");
}

kr_errors_e kr_jsonwriter_array_add_string(kr_json_st *json, const char *value)
{
    if (!writer_ok(json) || value == nullptr) return ERR_NULL_PTR;
    const std::string text = escaped(value);
    return append(json, json->text_length, text.size() + 3, "\"%s\",", text.c_str());
}

bool kr_json_escape(const char *text, char *out, uint32_t out_size)
{
    if (text == nullptr || out == nullptr) return false;
    const uint32_t need = kr_json_escaped_length(text);
    if (need >= out_size) {
        if (out_size > 0) out[0] = '\0';
        return false;
    }
    char *p = out;
    *p++ = '"';
    escape_each(text, [&](const char *t, size_t n) {
        std::memcpy(p, t, n);
        p += n;
    });
    *p++ = '"';
    *p = '\0';
    return true;
}

uint32_t kr_json_escaped_length(const char *text)
{
    if (text == nullptr) return 0;
    uint64_t n = 2;
    escape_each(text, [&](const char *, size_t k) { n += k; });
    return n > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(n);
}

bool kr_jsonwriter_append_json(kr_json_st *json, char *data)
{
    if (!writer_ok(json) || data == nullptr) return false;
    const size_t n = json_remove_whitespace(data, std::strlen(data));
    if (n == 0) return false; // an empty element would leave a bare comma behind
    const uint64_t length = json->text_length;
    if (json->buffer_length < length + n + 2) return false;
    std::memcpy(json->start_ptr + length, data, n);
    json->start_ptr[length + n] = ',';
    json->start_ptr[length + n + 1] = '\0';
    json->text_length = static_cast<uint32_t>(length + n + 1);
    return true;
}

kr_errors_e kr_jsonwriter_end(kr_json_st *json, kr_json_errors_e *errors)
{
    if (errors != nullptr) *errors = JSON_ERR_NONE;
    if (!writer_ok(json)) {
        if (errors != nullptr) *errors = JSON_ERR_UNTERMINATED_OBJ;
        return ERR_NULL_PTR;
    }
    const kr_errors_e e = append(json, length_without_comma(json), 1, "}");
    if (e != ERR_NONE) {
        if (errors != nullptr) *errors = JSON_ERR_UNTERMINATED_OBJ;
        return e;
    }
    // Brackets inside strings are text, not structure.
    long balance = 0;
    bool in_string = false;
    for (const char *p = json->start_ptr; *p != '\0'; ++p) {
        const char c = *p;
        if (c == '"')
            in_string = !in_string;
        else if (in_string && c == '\\' && p[1] != '\0')
            ++p;
        else if (in_string)
            continue;
        else if (c == '{' || c == '[')
            ++balance;
        else if (c == '}' || c == ']')
            --balance;
    }
    if (balance != 0 || in_string) {
        if (errors != nullptr) *errors = JSON_ERR_UNTERMINATED_OBJ;
        return static_cast<uint32_t>(HAL_MODULE_JSON) | static_cast<uint32_t>(ERR_INTERNAL);
    }
    return ERR_NONE;
}

} // extern "C"
