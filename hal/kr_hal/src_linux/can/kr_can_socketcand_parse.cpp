// socketcand raw mode, the text side: elements "< word args... >", frames in and out.
#include "kr_can_socketcand_parse.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr uint32_t std_id_max = 0x7FFu;
constexpr uint32_t ext_id_max = 0x1FFFFFFFu;
constexpr size_t tokens_max = 16;

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

int hex_value(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

struct token {
    const char *p;
    size_t n;
};

bool token_is(const token &t, const char *word)
{
    size_t n = std::strlen(word);
    return t.n == n && std::memcmp(t.p, word, n) == 0;
}

// 1 to 8 hexadecimal digits.
bool parse_hex_id(const token &t, uint32_t *value)
{
    if (t.n == 0 || t.n > 8) return false;
    uint32_t v = 0;
    for (size_t i = 0; i < t.n; i++) {
        int d = hex_value(t.p[i]);
        if (d < 0) return false;
        v = (v << 4) | (uint32_t)d;
    }
    *value = v;
    return true;
}

// SECS[.USECS]: at most 18 digits of seconds; the fraction is read to microseconds.
bool parse_time(const token &t, struct timeval *tv)
{
    size_t i = 0;
    long long secs = 0;
    size_t digits = 0;
    while (i < t.n && t.p[i] >= '0' && t.p[i] <= '9') {
        if (++digits > 18) return false;
        secs = secs * 10 + (t.p[i] - '0');
        i++;
    }
    if (digits == 0) return false;
    long usecs = 0;
    if (i < t.n) {
        if (t.p[i] != '.') return false;
        i++;
        size_t frac = 0;
        while (i < t.n) {
            if (t.p[i] < '0' || t.p[i] > '9') return false;
            if (frac < 6) usecs = usecs * 10 + (t.p[i] - '0');
            frac++;
            i++;
        }
        if (frac == 0) return false;
        for (; frac < 6; frac++) usecs *= 10;
    }
    tv->tv_sec = (time_t)secs;
    tv->tv_usec = (suseconds_t)usecs;
    return true;
}

// Data bytes as hexadecimal, in one token ("1122AB") or several ("11 22 AB").
bool parse_data(const token *tok, size_t count, kr_can_message_st *msg, const char **why)
{
    size_t len = 0;
    for (size_t k = 0; k < count; k++) {
        const token &t = tok[k];
        if (t.n % 2 != 0) {
            *why = "bad hexadecimal data";
            return false;
        }
        for (size_t i = 0; i < t.n; i += 2) {
            int hi = hex_value(t.p[i]);
            int lo = hex_value(t.p[i + 1]);
            if (hi < 0 || lo < 0) {
                *why = "bad hexadecimal data";
                return false;
            }
            if (len == 8) {
                *why = "data longer than 8 bytes";
                return false;
            }
            msg->data[len++] = (uint8_t)((hi << 4) | lo);
        }
    }
    msg->data_length = (uint8_t)len;
    return true;
}

} // namespace

void kr_scd_reader_init(kr_scd_reader_st *r)
{
    r->start = 0;
    r->len = 0;
}

char *kr_scd_reader_space(kr_scd_reader_st *r, size_t *room)
{
    if (r->start > 0) {
        std::memmove(r->buf, r->buf + r->start, r->len - r->start);
        r->len -= r->start;
        r->start = 0;
    }
    *room = sizeof r->buf - r->len;
    return r->buf + r->len;
}

void kr_scd_reader_commit(kr_scd_reader_st *r, size_t n)
{
    if (n > sizeof r->buf - r->len) n = sizeof r->buf - r->len;
    r->len += n;
}

kr_scd_read_e kr_scd_reader_next(kr_scd_reader_st *r, char *out, size_t out_size)
{
    if (out_size == 0) return SCD_READ_NONE;
    out[0] = '\0';
    while (r->start < r->len && is_space(r->buf[r->start])) r->start++;
    if (r->start == r->len) {
        r->start = r->len = 0;
        return SCD_READ_NONE;
    }
    const char *b = r->buf;
    if (b[r->start] != '<') {
        const void *lt = std::memchr(b + r->start, '<', r->len - r->start);
        r->start = lt ? (size_t)((const char *)lt - b) : r->len;
        std::snprintf(out, out_size, "text outside an element");
        return SCD_READ_JUNK;
    }
    size_t limit = r->len - r->start;
    if (limit > KR_SCD_ELEMENT_MAX) limit = KR_SCD_ELEMENT_MAX;
    for (size_t i = 1; i < limit; i++) {
        char c = b[r->start + i];
        if (c == '>') {
            size_t n = i - 1;
            if (n >= out_size) n = out_size - 1;
            std::memcpy(out, b + r->start + 1, n);
            out[n] = '\0';
            r->start += i + 1;
            return SCD_READ_ELEMENT;
        }
        if (c == '<') { // a new element starts before this one ended
            r->start += i;
            std::snprintf(out, out_size, "unterminated element");
            return SCD_READ_JUNK;
        }
    }
    if (r->len - r->start >= KR_SCD_ELEMENT_MAX) {
        const void *lt = std::memchr(b + r->start + 1, '<', r->len - r->start - 1);
        r->start = lt ? (size_t)((const char *)lt - b) : r->len;
        std::snprintf(out, out_size, "element longer than %d characters", KR_SCD_ELEMENT_MAX);
        return SCD_READ_JUNK;
    }
    return SCD_READ_NONE;
}

kr_scd_element_e kr_scd_parse(const char *text, kr_can_message_st *msg, struct timeval *tv, const char **why)
{
    static const char *unused_why;
    if (!why) why = &unused_why;
    *why = "";
    token tok[tokens_max];
    size_t count = 0;
    for (const char *p = text; *p;) {
        while (*p && is_space(*p)) p++;
        if (!*p) break;
        if (count == tokens_max) {
            *why = "too many fields";
            return SCD_EL_BAD;
        }
        const char *s = p;
        while (*p && !is_space(*p)) p++;
        tok[count++] = token{s, (size_t)(p - s)};
    }
    if (count == 0) {
        *why = "empty element";
        return SCD_EL_BAD;
    }
    const token &word = tok[0];
    if (token_is(word, "hi")) return SCD_EL_HI;
    if (token_is(word, "ok")) return SCD_EL_OK;
    if (token_is(word, "echo")) return SCD_EL_OTHER;

    bool is_frame = token_is(word, "frame");
    bool is_error = token_is(word, "error");
    if (!is_frame && !is_error) {
        *why = "unknown element";
        return SCD_EL_BAD;
    }
    uint32_t id = 0;
    struct timeval when = {0, 0};
    // "< error CLASS SECS.USECS [data] >" is an error frame; any other "error" is the daemon's refusal.
    if (is_error && !(count >= 3 && parse_hex_id(tok[1], &id) && parse_time(tok[2], &when))) return SCD_EL_ERROR;
    if (count < 3) {
        *why = "frame without identifier and time";
        return SCD_EL_BAD;
    }
    if (!parse_hex_id(tok[1], &id)) {
        *why = "bad identifier";
        return SCD_EL_BAD;
    }
    if (!parse_time(tok[2], &when)) {
        *why = "bad time stamp";
        return SCD_EL_BAD;
    }
    kr_can_message_st m;
    std::memset(&m, 0, sizeof m);
    if (is_error) {
        if (id > ext_id_max) {
            *why = "identifier out of range";
            return SCD_EL_BAD;
        }
        m.type = CAN_ERR;
    } else if (tok[1].n > 3) {
        if (id > ext_id_max) {
            *why = "identifier out of range";
            return SCD_EL_BAD;
        }
        m.type = CAN_EXT;
    } else {
        if (id > std_id_max) {
            *why = "identifier out of range";
            return SCD_EL_BAD;
        }
        m.type = CAN_STD;
    }
    m.id = id;
    if (!parse_data(tok + 3, count - 3, &m, why)) return SCD_EL_BAD;
    if (msg) *msg = m;
    if (tv) *tv = when;
    return SCD_EL_FRAME;
}

size_t kr_scd_format_send(const kr_can_message_st *msg, char *out, size_t out_size)
{
    if (!msg || msg->data_length > 8) return 0;
    bool ext = msg->type == CAN_EXT;
    if (msg->id > (ext ? ext_id_max : std_id_max)) return 0;
    char line[KR_SCD_LINE_MAX];
    int n = ext ? std::snprintf(line, sizeof line, "< send %08X %u", (unsigned)msg->id, (unsigned)msg->data_length)
                : std::snprintf(line, sizeof line, "< send %03X %u", (unsigned)msg->id, (unsigned)msg->data_length);
    for (unsigned i = 0; i < msg->data_length; i++)
        n += std::snprintf(line + n, sizeof line - (size_t)n, " %02X", (unsigned)msg->data[i]);
    n += std::snprintf(line + n, sizeof line - (size_t)n, " >");
    if ((size_t)n >= out_size) return 0;
    std::memcpy(out, line, (size_t)n + 1);
    return (size_t)n;
}
