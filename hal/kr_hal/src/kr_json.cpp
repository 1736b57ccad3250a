// JSON reader (in place, no tree) and append-only writer. See kr_json.h.
#include "kr_json.h"

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

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

kr_errors_e kr_jsonreader_init(char *buffer, uint32_t buffer_length)
{
    if (buffer == nullptr) return ERR_NULL_PTR;
    json_remove_whitespace(buffer, buffer_length);
    return ERR_NONE;
}

kr_json_types_e kr_jsonreader_get_type(char *node) { return type_at(value_of(node)); }

char *kr_jsonreader_find_child(char *parent, const char *child_name)
{
    if (child_name == nullptr) return nullptr;
    const char *p = first_inside(value_of(parent));
    const size_t n = std::strlen(child_name);
    while (p != nullptr) {
        // Equal characters guarantee p[1..n] are not NUL, so p[n + 1] and p[n + 2] are in the text.
        if (*p == '"' && std::strncmp(p + 1, child_name, n) == 0 && p[n + 1] == '"' && p[n + 2] == ':')
            return const_cast<char *>(p);
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

bool has_quote(const char *s) { return s != nullptr && std::strchr(s, '"') != nullptr; }

// A backslash is written doubled, so that the reader gives it back as it was.
std::string escaped(const char *s)
{
    std::string out;
    for (; *s != '\0'; ++s) {
        if (*s == '\\') out += '\\';
        out += *s;
    }
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
    if (has_quote(name)) return ERR_INVALID_DATA;
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
    if (has_quote(name)) return ERR_INVALID_DATA;
    return append(json, json->text_length, std::strlen(name) + 4, "\"%s\":{", name);
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
    if (has_quote(name)) return ERR_INVALID_DATA;
    const uint64_t room = std::strlen(name) + 5;
    if (name[0] == '\0') return append(json, json->text_length, room, "[");
    return append(json, json->text_length, room, "\"%s\":[", name);
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
    return append(json, json->text_length, std::strlen(name) + digits_of(value) + 4, "\"%s\":%i,", name, value);
}

kr_errors_e kr_jsonwriter_add_int_hex(kr_json_st *json, const char *name, uint32_t value)
{
    const kr_errors_e e = check_name(json, name);
    if (e != ERR_NONE) return e;
    return append(json, json->text_length, std::strlen(name) + hex_len_of(value) + 6, "\"%s\":\"0x%x\",", name, value);
}

kr_errors_e kr_jsonwriter_add_uint(kr_json_st *json, const char *name, uint32_t value)
{
    const kr_errors_e e = check_name(json, name);
    if (e != ERR_NONE) return e;
    const uint32_t digits = static_cast<uint32_t>(std::snprintf(nullptr, 0, "%u", value));
    return append(json, json->text_length, std::strlen(name) + digits + 4, "\"%s\":%u,", name, value);
}

kr_errors_e kr_jsonwriter_add_bool(kr_json_st *json, const char *name, bool value)
{
    const kr_errors_e e = check_name(json, name);
    if (e != ERR_NONE) return e;
    return append(json, json->text_length, std::strlen(name) + 9, "\"%s\":%s,", name, value ? "true" : "false");
}

kr_errors_e kr_jsonwriter_add_string(kr_json_st *json, const char *name, const char *value)
{
    kr_errors_e e = check_name(json, name);
    if (e != ERR_NONE) return e;
    if (value == nullptr) return ERR_NULL_PTR;
    if (has_quote(value)) return ERR_INVALID_DATA;
    const std::string text = escaped(value);
    return append(json, json->text_length, std::strlen(name) + text.size() + 6, "\"%s\":\"%s\",", name, text.c_str());
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
    if (has_quote(value)) return ERR_INVALID_DATA;
    const std::string text = escaped(value);
    return append(json, json->text_length, text.size() + 3, "\"%s\",", text.c_str());
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
