// Block-style YAML writer. Each write checks its room first and then appends; a write that does
// not fit changes nothing.
#include "kr_yamlwriter.h"

#include <inttypes.h>
#include <stdio.h>
#include <string.h>

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t'; }

bool is_hex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
bool is_dec(char c) { return c >= '0' && c <= '9'; }

bool ieq(const char *s, const char *word)
{
    for (; *s && *word; s++, word++) {
        char c = *s;
        if (c >= 'A' && c <= 'Z') c = (char)(c - 'A' + 'a');
        if (c != *word) return false;
    }
    return *s == '\0' && *word == '\0';
}

// Texts the reader would type as an integer or a boolean.
bool reads_as_non_string(const char *s)
{
    const char *p = s;
    if (*p == '+' || *p == '-') p++;
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && p[2]) {
        const char *h = p + 2;
        while (is_hex(*h)) h++;
        if (*h == '\0') return true;
    } else if (*p) {
        const char *d = p;
        while (is_dec(*d)) d++;
        if (*d == '\0') return true;
    }
    static const char *const words[] = {"true", "false", "yes", "no", "on", "off"};
    for (const char *w : words)
        if (ieq(s, w)) return true;
    return false;
}

bool needs_quotes(const char *s)
{
    size_t n = strlen(s);
    if (n == 0) return true;
    if (is_blank(s[0]) || is_blank(s[n - 1])) return true;
    if (strchr("-?:,[]{}#&*!|>'\"%@`", s[0])) return true;
    if (reads_as_non_string(s)) return true;
    // A key line beginning with a document-end marker would be skipped by the reader.
    if (strncmp(s, "...", 3) == 0 && is_blank(s[3])) return true;
    if (strcmp(s, "<<") == 0) return true; // a merge key, which the reader refuses

    for (size_t i = 0; i < n; i++) {
        char c = s[i];
        char prev = i ? s[i - 1] : '\0';
        if (c == ':' && (i + 1 == n || is_blank(s[i + 1]))) return true;
        if (c == '#' && is_blank(prev)) return true;
        if (strchr(",[]{}", c)) return true;
        if ((unsigned char)c < 0x20 || c == 0x7F) return true; // only escapes can hold these
        // The reader would open a quoted string here, and a key would lose its colon in it.
        if ((c == '"' || c == '\'') && (is_blank(prev) || prev == ':' || prev == '-')) return true;
    }
    return false;
}

// The exact length put_text writes: a text that fits is never refused for escapes it does not have.
uint32_t written_len(const char *s, bool quoted)
{
    uint32_t n = (uint32_t)strlen(s);
    if (!quoted) return n;
    for (const char *p = s; *p; p++) {
        const unsigned char c = (unsigned char)*p;
        if (c == '\t' || c == '\n' || c == '\r' || c == '"' || c == '\\')
            n++;
        else if (c < 0x20 || c == 0x7F)
            n += 3; // \xNN
    }
    return n + 2;
}

bool fits(const kr_yaml_st *st, uint64_t room)
{
    // The text and its terminator stay below the buffer's end, with one byte to spare.
    return (uint64_t)st->length + room + 1 < (uint64_t)st->buffer_length;
}

void put(kr_yaml_st *st, const char *s, size_t n)
{
    memcpy(st->start_ptr + st->length, s, n);
    st->length += (uint32_t)n;
    st->start_ptr[st->length] = '\0';
}

void put_str(kr_yaml_st *st, const char *s) { put(st, s, strlen(s)); }

void put_quoted(kr_yaml_st *st, const char *s)
{
    char *o = st->start_ptr + st->length;
    *o++ = '"';
    for (; *s; s++) {
        switch (*s) {
        case '\t':
            *o++ = '\\';
            *o++ = 't';
            break;
        case '\n':
            *o++ = '\\';
            *o++ = 'n';
            break;
        case '\r':
            *o++ = '\\';
            *o++ = 'r';
            break;
        case '"':
            *o++ = '\\';
            *o++ = '"';
            break;
        case '\\':
            *o++ = '\\';
            *o++ = '\\';
            break;
        default:
            if ((unsigned char)*s < 0x20 || *s == 0x7F) {
                static const char hex[] = "0123456789ABCDEF";
                *o++ = '\\';
                *o++ = 'x';
                *o++ = hex[(unsigned char)*s >> 4];
                *o++ = hex[*s & 15];
            } else {
                *o++ = *s;
            }
            break;
        }
    }
    *o++ = '"';
    *o = '\0';
    st->length = (uint32_t)(o - st->start_ptr);
}

void put_text(kr_yaml_st *st, const char *s, bool quoted)
{
    if (quoted)
        put_quoted(st, s);
    else
        put_str(st, s);
}

bool in_seq(const kr_yaml_st *st) { return st->depth > 0 && (st->seq_mask >> (st->depth - 1)) & 1u; }
bool in_map(const kr_yaml_st *st) { return st->depth > 0 && !in_seq(st); }

void line_start(kr_yaml_st *st)
{
    unsigned p = st->pending_dashes < st->depth ? st->pending_dashes : st->depth;
    for (unsigned i = 0; i < (unsigned)st->depth - p; i++) put(st, "  ", 2);
    for (unsigned i = 0; i < p; i++) put(st, "- ", 2);
    st->pending_dashes = 0;
    st->empty_mask = 0;
}

bool has_key(const char *key) { return key && *key; }

// Checks the room of an entry line and writes its start: indentation, dashes, key and colon.
kr_errors_e entry_start(kr_yaml_st *st, const char *key, uint32_t value_len)
{
    bool keyed = has_key(key);
    bool key_quoted = keyed && needs_quotes(key);
    uint64_t room = (uint64_t)st->depth * 2 + value_len + (in_seq(st) ? 3 : 1);
    if (keyed) room += written_len(key, key_quoted) + 2;
    if (!fits(st, room)) return ERR_BUFFER_OVERFLOW;
    line_start(st);
    if (in_seq(st)) put(st, "- ", 2);
    if (keyed) {
        put_text(st, key, key_quoted);
        put(st, value_len ? ": " : ":", value_len ? 2 : 1);
    }
    return ERR_NONE;
}

kr_errors_e check(const kr_yaml_st *st, const char *key)
{
    if (!st || !st->start_ptr) return ERR_NULL_PTR;
    // A mapping member needs its key, or the text would not read back as that mapping.
    if (!has_key(key) && in_map(st)) return KR_YAML_ERR_SYNTAX;
    return ERR_NONE;
}

kr_errors_e add_raw(kr_yaml_st *st, const char *key, const char *text)
{
    kr_errors_e err = check(st, key);
    if (err) return err;
    err = entry_start(st, key, (uint32_t)strlen(text));
    if (err) return err;
    put_str(st, text);
    put(st, "\n", 1);
    return ERR_NONE;
}

kr_errors_e add_string(kr_yaml_st *st, const char *key, const char *value)
{
    kr_errors_e err = check(st, key);
    if (err) return err;
    if (!value) return ERR_NULL_PTR;
    bool quoted = st->quote_strings || needs_quotes(value);
    err = entry_start(st, key, written_len(value, quoted));
    if (err) return err;
    put_text(st, value, quoted);
    put(st, "\n", 1);
    return ERR_NONE;
}

void open_level(kr_yaml_st *st, bool seq)
{
    st->depth++;
    uint32_t bit = 1u << (st->depth - 1);
    if (seq)
        st->seq_mask |= bit;
    else
        st->seq_mask &= ~bit;
    st->empty_mask |= bit;
    st->implicit_mask &= ~bit;
}

kr_errors_e begin(kr_yaml_st *st, const char *key, bool seq)
{
    kr_errors_e err = check(st, key);
    if (err) return err;
    if (st->depth >= KR_YAML_MAX_DEPTH) return ERR_BUFFER_OVERFLOW;
    if (has_key(key) && in_seq(st)) {
        // `- key:` makes the item a mapping whose one member is this collection; its lines must
        // sit deeper than the key, so a mapping level is opened around it and closed with it.
        if (st->depth + 2 > KR_YAML_MAX_DEPTH) return ERR_BUFFER_OVERFLOW;
        kr_yaml_st saved = *st;
        st->pending_dashes++;
        open_level(st, false);
        err = entry_start(st, key, 0);
        if (err) {
            *st = saved;
            return err;
        }
        put(st, "\n", 1);
        st->implicit_mask |= 1u << (st->depth - 1);
        open_level(st, seq);
        return ERR_NONE;
    }
    if (has_key(key)) {
        err = entry_start(st, key, 0);
        if (err) return err;
        put(st, "\n", 1);
    } else if (in_seq(st)) {
        st->pending_dashes++;
    }
    open_level(st, seq);
    return ERR_NONE;
}

kr_errors_e end(kr_yaml_st *st, bool seq)
{
    if (!st || !st->start_ptr) return ERR_NULL_PTR;
    if (st->depth == 0) return KR_YAML_ERR_INTERNAL;
    kr_errors_e err = ERR_NONE;
    const char *empty = seq ? "[]\n" : "{}\n";
    if ((st->empty_mask >> (st->depth - 1)) & 1u) {
        if (st->pending_dashes) {
            if (fits(st, (uint64_t)st->depth * 2 + 3)) {
                line_start(st);
                put_str(st, empty);
            } else {
                err = ERR_BUFFER_OVERFLOW;
            }
        } else if (!fits(st, 3)) {
            err = ERR_BUFFER_OVERFLOW;
        } else if (st->length == 0) {
            // Nothing to hang the empty collection on: it is the whole document.
            put_str(st, empty);
            st->empty_mask = 0;
        } else if (st->length >= 2 && st->start_ptr[st->length - 1] == '\n' && st->start_ptr[st->length - 2] == ':') {
            st->length--; // the key line becomes `key: []`
            put(st, " ", 1);
            put_str(st, empty);
            st->empty_mask = 0;
        } else {
            // An anonymous top-level collection after other lines: appending to the last line
            // would change that line's value.
            err = KR_YAML_ERR_SYNTAX;
        }
    }
    st->depth--;
    if (st->depth > 0 && (st->implicit_mask >> (st->depth - 1)) & 1u) {
        st->implicit_mask &= ~(1u << (st->depth - 1));
        st->depth--;
    }
    return err;
}

} // namespace

extern "C" {

kr_errors_e kr_yamlwriter_init(kr_yaml_st *st, char *buffer, uint32_t buffer_length)
{
    if (!st || !buffer) return ERR_NULL_PTR;
    st->start_ptr = buffer;
    st->buffer_length = buffer_length;
    st->depth = 0;
    st->seq_mask = 0;
    st->pending_dashes = 0;
    st->empty_mask = 0;
    st->quote_strings = false;
    st->length = 0;
    st->implicit_mask = 0;
    if (buffer_length == 0) return ERR_BUFFER_OVERFLOW; // not even room for the terminator
    buffer[0] = '\0';
    return ERR_NONE;
}

void kr_yamlwriter_set_quote_strings(kr_yaml_st *st, bool quote)
{
    if (st) st->quote_strings = quote;
}

kr_errors_e kr_yamlwriter_begin_map(kr_yaml_st *st, const char *key) { return begin(st, key, false); }
kr_errors_e kr_yamlwriter_begin_seq(kr_yaml_st *st, const char *key) { return begin(st, key, true); }
kr_errors_e kr_yamlwriter_end_map(kr_yaml_st *st) { return end(st, false); }
kr_errors_e kr_yamlwriter_end_seq(kr_yaml_st *st) { return end(st, true); }

kr_errors_e kr_yamlwriter_add_string(kr_yaml_st *st, const char *key, const char *value)
{
    return add_string(st, key, value);
}

kr_errors_e kr_yamlwriter_add_int(kr_yaml_st *st, const char *key, int32_t value)
{
    char text[16];
    snprintf(text, sizeof text, "%" PRIi32, value);
    return add_raw(st, key, text);
}

kr_errors_e kr_yamlwriter_add_int_hex(kr_yaml_st *st, const char *key, uint32_t value)
{
    char text[16];
    snprintf(text, sizeof text, "0x%" PRIx32, value);
    return add_raw(st, key, text);
}

kr_errors_e kr_yamlwriter_add_uint(kr_yaml_st *st, const char *key, uint32_t value)
{
    char text[16];
    snprintf(text, sizeof text, "%" PRIu32, value);
    return add_raw(st, key, text);
}

kr_errors_e kr_yamlwriter_add_bool(kr_yaml_st *st, const char *key, bool value)
{
    return add_raw(st, key, value ? "true" : "false");
}

kr_errors_e kr_yamlwriter_seq_add_string(kr_yaml_st *st, const char *value) { return add_string(st, nullptr, value); }
kr_errors_e kr_yamlwriter_seq_add_int(kr_yaml_st *st, int32_t value)
{
    return kr_yamlwriter_add_int(st, nullptr, value);
}
kr_errors_e kr_yamlwriter_seq_add_int_hex(kr_yaml_st *st, uint32_t value)
{
    return kr_yamlwriter_add_int_hex(st, nullptr, value);
}
kr_errors_e kr_yamlwriter_seq_add_bool(kr_yaml_st *st, bool value)
{
    return kr_yamlwriter_add_bool(st, nullptr, value);
}

bool kr_yamlwriter_append_yaml(kr_yaml_st *st, const char *text)
{
    if (!st || !st->start_ptr || !text) return false;
    const char *p = text;
    while (*p) {
        const char *lf = strchr(p, '\n');
        size_t n = lf ? (size_t)(lf - p) : strlen(p);
        if (n == 0) {
            if (!fits(st, 1)) return false;
            put(st, "\n", 1);
        } else {
            if (!fits(st, (uint64_t)st->depth * 2 + n + 1)) return false;
            line_start(st);
            put(st, p, n);
            put(st, "\n", 1);
        }
        if (!lf) break;
        p = lf + 1; // the text's own last line end adds no empty line
    }
    return true;
}

kr_errors_e kr_yamlwriter_end(kr_yaml_st *st, kr_yaml_errors_e *errors)
{
    if (errors) *errors = YAML_ERR_NONE;
    if (!st || !st->start_ptr) return ERR_NULL_PTR;
    if (st->depth == 0) return ERR_NONE;
    if (errors) *errors = YAML_ERR_UNTERMINATED_OBJ;
    return KR_YAML_ERR_INTERNAL;
}

} // extern "C"
