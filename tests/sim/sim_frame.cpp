#include "sim_frame.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <ctime>

sim_frame_st sim_frame_make(uint32_t id, const uint8_t *bytes, uint8_t len)
{
    sim_frame_st f;
    f.id = id;
    f.kind = id > 0x7FF ? SIM_FRAME_EXT : SIM_FRAME_STD;
    f.len = len > 8 ? 8 : len;
    if (bytes != nullptr)
        std::memcpy(f.data, bytes, f.len);
    return f;
}

static sim_frame_st frame_from_list(uint32_t id, uint8_t kind, std::initializer_list<uint8_t> bytes)
{
    sim_frame_st f;
    f.id = id;
    f.kind = kind;
    for (uint8_t b : bytes) {
        if (f.len == 8)
            break;
        f.data[f.len++] = b;
    }
    return f;
}

sim_frame_st sim_frame_std(uint32_t id, std::initializer_list<uint8_t> bytes)
{
    return frame_from_list(id & 0x7FF, SIM_FRAME_STD, bytes);
}

sim_frame_st sim_frame_ext(uint32_t id, std::initializer_list<uint8_t> bytes)
{
    return frame_from_list(id & 0x1FFFFFFF, SIM_FRAME_EXT, bytes);
}

sim_frame_st sim_frame_err(uint32_t error_class)
{
    sim_frame_st f;
    f.id = error_class & 0x1FFFFFFF;
    f.kind = SIM_FRAME_ERR;
    return f;
}

bool sim_frame_same(const sim_frame_st &a, const sim_frame_st &b)
{
    return a.id == b.id && a.kind == b.kind && a.len == b.len && std::memcmp(a.data, b.data, a.len) == 0;
}

std::string sim_frame_str(const sim_frame_st &f)
{
    char buf[80];
    int n;
    if (f.kind == SIM_FRAME_ERR)
        return (snprintf(buf, sizeof buf, "ERR %03X", (unsigned)f.id), buf);
    if (f.kind == SIM_FRAME_EXT)
        n = snprintf(buf, sizeof buf, "%08X [%u]", (unsigned)f.id, f.len);
    else
        n = snprintf(buf, sizeof buf, "%03X [%u]", (unsigned)f.id, f.len);
    for (unsigned i = 0; i < f.len && i < 8; i++)
        n += snprintf(buf + n, sizeof buf - n, " %02X", f.data[i]);
    return buf;
}

int64_t sim_mono_ns()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
}

int64_t sim_wall_us()
{
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return (int64_t)ts.tv_sec * 1000000 + ts.tv_nsec / 1000;
}

// --- elements --------------------------------------------------------------------------

void sim_element_feed(sim_element_reader_st &r, const char *bytes, size_t n)
{
    // Drop what was consumed before growing, so a long stream stays linear.
    if (r.pos > 0 && r.pos >= r.buf.size() / 2) {
        r.buf.erase(0, r.pos);
        r.pos = 0;
    }
    r.buf.append(bytes, n);
}

static bool is_space(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool sim_element_next(sim_element_reader_st &r, std::string &element, std::string &garbage)
{
    garbage.clear();
    for (;;) {
        // Skip to the next '<', collecting anything but white space as garbage.
        size_t lt = r.buf.find('<', r.pos);
        size_t stop = lt == std::string::npos ? r.buf.size() : lt;
        for (size_t i = r.pos; i < stop; i++)
            if (!is_space(r.buf[i]) && garbage.size() < 64)
                garbage += r.buf[i];
        r.pos = stop;
        if (lt == std::string::npos)
            return false;
        size_t gt = r.buf.find_first_of("<>", lt + 1);
        if (gt == std::string::npos) {
            if (r.buf.size() - lt > r.max_len) {
                // Never closed within the limit: give up on it.
                garbage += "<overlong element>";
                r.pos = r.buf.size();
            }
            return false;
        }
        if (r.buf[gt] == '<') {
            // A new element starts before this one closed: the first is broken.
            garbage += r.buf.substr(lt, std::min<size_t>(gt - lt, 32));
            r.pos = gt;
            continue;
        }
        r.pos = gt + 1;
        if (gt - lt > r.max_len) {
            garbage += "<overlong element>";
            continue;
        }
        size_t b = lt + 1, e = gt;
        while (b < e && is_space(r.buf[b]))
            b++;
        while (e > b && is_space(r.buf[e - 1]))
            e--;
        element.assign(r.buf, b, e - b);
        return true;
    }
}

sim_tokens_st sim_tokens(std::string_view s)
{
    sim_tokens_st out;
    size_t i = 0;
    while (i < s.size()) {
        while (i < s.size() && is_space(s[i]))
            i++;
        size_t j = i;
        while (j < s.size() && !is_space(s[j]))
            j++;
        if (j > i) {
            if (out.n == 16) {
                out.overflow = true;
                break;
            }
            out.t[out.n++] = s.substr(i, j - i);
        }
        i = j;
    }
    return out;
}

static bool parse_hex(std::string_view t, size_t max_digits, uint32_t &v)
{
    if (t.empty() || t.size() > max_digits)
        return false;
    v = 0;
    for (char c : t) {
        int d;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        else
            return false;
        v = v << 4 | (uint32_t)d;
    }
    return true;
}

static bool parse_dec(std::string_view t, size_t max_digits, uint64_t &v)
{
    if (t.empty() || t.size() > max_digits)
        return false;
    v = 0;
    for (char c : t) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + (uint64_t)(c - '0');
    }
    return true;
}

// ID token: up to 3 hex digits is standard, exactly 8 extended.
static bool parse_id(std::string_view t, sim_frame_st &f, std::string &err)
{
    uint32_t id;
    if (!parse_hex(t, 8, id)) {
        err = "bad identifier '" + std::string(t.substr(0, 16)) + "'";
        return false;
    }
    if (t.size() == 8) {
        if (id > 0x1FFFFFFF) {
            err = "extended identifier over 29 bits";
            return false;
        }
        f.kind = SIM_FRAME_EXT;
    } else if (t.size() <= 3) {
        if (id > 0x7FF) {
            err = "standard identifier over 0x7FF";
            return false;
        }
        f.kind = SIM_FRAME_STD;
    } else {
        err = "identifier must have up to 3 or exactly 8 hex digits";
        return false;
    }
    f.id = id;
    return true;
}

static bool parse_bytes(const sim_tokens_st &tok, size_t first, sim_frame_st &f, std::string &err)
{
    size_t n = tok.size() - first;
    if (n > 8 || tok.overflow) {
        err = "more than 8 data bytes";
        return false;
    }
    for (size_t i = 0; i < n; i++) {
        uint32_t b;
        if (!parse_hex(tok[first + i], 2, b)) {
            err = "bad data byte '" + std::string(tok[first + i].substr(0, 16)) + "'";
            return false;
        }
        f.data[i] = (uint8_t)b;
    }
    f.len = (uint8_t)n;
    return true;
}

bool sim_parse_send(std::string_view element, sim_frame_st &f, std::string &err)
{
    auto tok = sim_tokens(element);
    f = sim_frame_st{};
    if (tok.size() < 3 || tok[0] != "send") {
        err = "not a send element";
        return false;
    }
    if (!parse_id(tok[1], f, err))
        return false;
    uint64_t len;
    if (!parse_dec(tok[2], 2, len) || len > 8) {
        err = "bad length '" + std::string(tok[2].substr(0, 16)) + "'";
        return false;
    }
    if (!parse_bytes(tok, 3, f, err))
        return false;
    if (f.len != len) {
        err = "length " + std::to_string(len) + " but " + std::to_string(f.len) + " data bytes";
        return false;
    }
    return true;
}

bool sim_parse_senderror(std::string_view element, sim_frame_st &f, std::string &err)
{
    auto tok = sim_tokens(element);
    f = sim_frame_st{};
    uint32_t cls;
    if (tok.size() != 2 || tok[0] != "senderror" || !parse_hex(tok[1], 8, cls) || cls > 0x1FFFFFFF) {
        err = "expected 'senderror CLASS'";
        return false;
    }
    f = sim_frame_err(cls);
    return true;
}

static bool parse_stamp(std::string_view t, int64_t &us)
{
    size_t dot = t.find('.');
    if (dot == std::string_view::npos)
        return false;
    uint64_t s, u;
    if (!parse_dec(t.substr(0, dot), 12, s) || !parse_dec(t.substr(dot + 1), 6, u) || t.size() - dot - 1 != 6)
        return false;
    us = (int64_t)s * 1000000 + (int64_t)u;
    return true;
}

bool sim_parse_rx(std::string_view element, sim_frame_st &f, std::string &err)
{
    auto tok = sim_tokens(element);
    f = sim_frame_st{};
    if (tok.size() >= 3 && tok[0] == "frame") {
        if (!parse_id(tok[1], f, err))
            return false;
        if (!parse_stamp(tok[2], f.stamp_us)) {
            err = "bad time stamp";
            return false;
        }
        // A daemon sends the data as one run of hex digits ("1A220344"); older peers space the bytes.
        if (tok.size() == 4 && tok[3].size() > 2) {
            std::string_view run = tok[3];
            if (run.size() % 2 != 0 || run.size() > 16) {
                err = "bad data '" + std::string(run.substr(0, 20)) + "'";
                return false;
            }
            for (size_t i = 0; i < run.size() / 2; i++) {
                uint32_t b;
                if (!parse_hex(run.substr(2 * i, 2), 2, b)) {
                    err = "bad data '" + std::string(run.substr(0, 20)) + "'";
                    return false;
                }
                f.data[i] = (uint8_t)b;
            }
            f.len = (uint8_t)(run.size() / 2);
            return true;
        }
        return parse_bytes(tok, 3, f, err);
    }
    if (tok.size() == 3 && tok[0] == "error") {
        uint32_t cls;
        if (!parse_hex(tok[1], 8, cls) || cls > 0x1FFFFFFF) {
            err = "bad error class";
            return false;
        }
        f = sim_frame_err(cls);
        if (!parse_stamp(tok[2], f.stamp_us)) {
            err = "bad time stamp";
            return false;
        }
        return true;
    }
    err = "not a frame element";
    return false;
}

std::string sim_format_send(const sim_frame_st &f)
{
    char buf[96];
    int n;
    if (f.kind == SIM_FRAME_ERR)
        return (snprintf(buf, sizeof buf, "< senderror %03X >", (unsigned)f.id), buf);
    n = snprintf(buf, sizeof buf, f.kind == SIM_FRAME_EXT ? "< send %08X %u " : "< send %03X %u ", (unsigned)f.id,
                 (unsigned)f.len);
    for (unsigned i = 0; i < f.len && i < 8; i++)
        n += snprintf(buf + n, sizeof buf - n, "%02X ", f.data[i]);
    snprintf(buf + n, sizeof buf - n, ">");
    return buf;
}

std::string sim_format_rx(const sim_frame_st &f, int64_t stamp_us)
{
    char buf[112];
    long long s = stamp_us / 1000000, u = stamp_us % 1000000;
    if (f.kind == SIM_FRAME_ERR)
        return (snprintf(buf, sizeof buf, "< error %03X %lld.%06lld >", (unsigned)f.id, s, u), buf);
    // As a socketcand daemon writes it: the data bytes as one run of uppercase hex digits.
    int n = snprintf(buf, sizeof buf,
                     f.kind == SIM_FRAME_EXT ? "< frame %08X %lld.%06lld " : "< frame %03X %lld.%06lld ",
                     (unsigned)f.id, s, u);
    for (unsigned i = 0; i < f.len && i < 8; i++)
        n += snprintf(buf + n, sizeof buf - n, "%02X", f.data[i]);
    snprintf(buf + n, sizeof buf - n, f.len ? " >" : ">");
    return buf;
}

// --- the wire --------------------------------------------------------------------------

uint16_t sim_can_crc15(const uint8_t *bits, size_t n)
{
    uint16_t crc = 0;
    for (size_t i = 0; i < n; i++) {
        bool next = ((crc >> 14) & 1) ^ (bits[i] & 1);
        crc = (uint16_t)((crc << 1) & 0x7FFF);
        if (next)
            crc ^= 0x4599;
    }
    return crc;
}

uint32_t sim_can_frame_bits(const sim_frame_st &f)
{
    if (f.kind == SIM_FRAME_ERR)
        return 6 + 6 + 8 + 3; // own flag, the others' overlapping flags, delimiter, interframe space
    uint8_t bits[160];
    size_t n = 0;
    auto put = [&](uint32_t v, int width) {
        for (int i = width - 1; i >= 0; i--)
            bits[n++] = (uint8_t)((v >> i) & 1);
    };
    uint8_t len = f.len > 8 ? 8 : f.len;
    put(0, 1); // SOF
    if (f.kind == SIM_FRAME_EXT) {
        put(f.id >> 18, 11);
        put(1, 1); // SRR
        put(1, 1); // IDE
        put(f.id & 0x3FFFF, 18);
        put(0, 1); // RTR
        put(0, 2); // r1, r0
    } else {
        put(f.id, 11);
        put(0, 1); // RTR
        put(0, 1); // IDE
        put(0, 1); // r0
    }
    put(len, 4);
    for (unsigned i = 0; i < len; i++)
        put(f.data[i], 8);
    put(sim_can_crc15(bits, n), 15);
    // Stuff bits: after five equal bits a complement goes in, and counts towards the next run.
    uint32_t stuffed = 0;
    int run = 1;
    uint8_t last = bits[0];
    for (size_t i = 1; i < n; i++) {
        if (bits[i] == last) {
            if (++run == 5) {
                stuffed++;
                last = (uint8_t)!last;
                run = 1;
            }
        } else {
            last = bits[i];
            run = 1;
        }
    }
    // CRC delimiter, ACK slot, ACK delimiter, end of frame (7), interframe space (3).
    return (uint32_t)n + stuffed + 1 + 1 + 1 + 7 + 3;
}
