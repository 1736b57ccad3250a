// The simulated device's dictionary: its standard objects, the dictionary file, and the fault
// descriptions.
#include "sim_device_internal.h"

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace {

// Splits a line into words; "quoted strings" keep their spaces and lose their quotes.
bool split_words(const std::string &line, std::vector<std::string> &words, std::vector<bool> &quoted, std::string &err)
{
    size_t i = 0;
    while (i < line.size()) {
        char c = line[i];
        if (c == ' ' || c == '\t' || c == '\r') {
            i++;
            continue;
        }
        if (c == '#')
            break;
        std::string w;
        if (c == '"') {
            i++;
            bool closed = false;
            while (i < line.size()) {
                char d = line[i++];
                if (d == '"') {
                    closed = true;
                    break;
                }
                if (d == '\\' && i < line.size()) {
                    char e = line[i++];
                    w += e == 'n' ? '\n' : e;
                } else {
                    w += d;
                }
            }
            if (!closed) {
                err = "unclosed quote";
                return false;
            }
            words.push_back(w);
            quoted.push_back(true);
            continue;
        }
        while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r')
            w += line[i++];
        words.push_back(w);
        quoted.push_back(false);
    }
    return true;
}

bool parse_int(const std::string &s, long long lo, long long hi, long long &v)
{
    if (s.empty())
        return false;
    char *end = nullptr;
    errno = 0;
    v = strtoll(s.c_str(), &end, 0);
    return *end == '\0' && errno == 0 && v >= lo && v <= hi;
}

bool parse_type(const std::string &s, uint8_t &t)
{
    static const char *names[] = {"u8", "u16", "u32", "i8", "i16", "i32", "str", "domain"};
    for (uint8_t i = 0; i < 8; i++)
        if (s == names[i]) {
            t = i;
            return true;
        }
    return false;
}

size_t type_size(uint8_t t)
{
    switch (t) {
    case SIM_U8:
    case SIM_I8:
        return 1;
    case SIM_U16:
    case SIM_I16:
        return 2;
    case SIM_U32:
    case SIM_I32:
        return 4;
    default:
        return 0;
    }
}

bool parse_value(const std::string &w, bool quoted, uint8_t type, std::vector<uint8_t> &out, std::string &err)
{
    out.clear();
    size_t n = type_size(type);
    if (n != 0) {
        bool is_signed = type == SIM_I8 || type == SIM_I16 || type == SIM_I32;
        long long lo = is_signed ? -(1LL << (n * 8 - 1)) : 0;
        long long hi = is_signed ? (1LL << (n * 8 - 1)) - 1 : (1LL << (n * 8)) - 1;
        long long v;
        if (quoted || !parse_int(w, lo, hi, v)) {
            err = "bad value '" + w + "' for its type";
            return false;
        }
        for (size_t i = 0; i < n; i++)
            out.push_back((uint8_t)((unsigned long long)v >> (8 * i)));
        return true;
    }
    if (quoted) {
        out.assign(w.begin(), w.end());
        return true;
    }
    if (type == SIM_DOMAIN && w.rfind("hex:", 0) == 0 && w.size() % 2 == 0) {
        for (size_t i = 4; i < w.size(); i += 2) {
            long long b;
            if (!parse_int("0x" + w.substr(i, 2), 0, 255, b)) {
                err = "bad hex in '" + w + "'";
                return false;
            }
            out.push_back((uint8_t)b);
        }
        return true;
    }
    err = "expected a quoted string or hex:.. for '" + w + "'";
    return false;
}

void add_obj(std::map<uint32_t, sim_object_st> &od, uint16_t index, uint8_t sub, uint8_t type, uint8_t access,
             std::vector<uint8_t> value)
{
    sim_object_st o;
    o.type = type;
    o.access = access;
    o.value = value;
    o.stored = value;
    o.def = value;
    od[sim_key(index, sub)] = o;
}

} // namespace

size_t sim_type_size(uint8_t type)
{
    return type_size(type);
}

bool sim_dict_parse(const std::string &text, std::map<uint32_t, sim_object_st> &dict, std::string &err)
{
    std::istringstream in(text);
    std::string line;
    int lineno = 0;
    while (std::getline(in, line)) {
        lineno++;
        std::vector<std::string> w;
        std::vector<bool> q;
        std::string e;
        auto fail = [&](const std::string &why) {
            err = "line " + std::to_string(lineno) + ": " + why;
            return false;
        };
        if (!split_words(line, w, q, e))
            return fail(e);
        if (w.empty())
            continue;
        uint32_t max_size = 0;
        if (w.size() > 5 && !q.back() && w.back().rfind("max=", 0) == 0) {
            long long m;
            if (!parse_int(w.back().substr(4), 1, 1 << 30, m))
                return fail("bad max=");
            max_size = (uint32_t)m;
            w.pop_back();
            q.pop_back();
        }
        if (w.size() < 5 || w.size() > 6)
            return fail("expected INDEX SUB TYPE ACCESS VALUE [STORED] [max=N]");
        long long index, sub;
        uint8_t type;
        if (!parse_int(w[0], 0, 0xFFFF, index) || !parse_int(w[1], 0, 0xFF, sub))
            return fail("bad index or sub-index");
        if (!parse_type(w[2], type))
            return fail("unknown type '" + w[2] + "'");
        sim_object_st o;
        o.type = type;
        if (w[3] == "ro")
            o.access = SIM_RO;
        else if (w[3] == "wo")
            o.access = SIM_WO;
        else if (w[3] == "rw")
            o.access = SIM_RW;
        else
            return fail("access must be ro, wo or rw");
        o.max_size = max_size;
        if (!parse_value(w[4], q[4], type, o.value, e))
            return fail(e);
        o.stored = o.value;
        if (w.size() == 6 && !parse_value(w[5], q[5], type, o.stored, e))
            return fail(e);
        o.def = o.value;
        if (max_size != 0 && (o.value.size() > max_size || o.stored.size() > max_size))
            return fail("value longer than max=");
        dict[sim_key((uint16_t)index, (uint8_t)sub)] = o;
    }
    return true;
}

bool sim_dict_load(const std::string &path, std::map<uint32_t, sim_object_st> &dict, std::string &err)
{
    std::ifstream f(path, std::ios::binary);
    if (!f) {
        err = "cannot read " + path;
        return false;
    }
    std::stringstream ss;
    ss << f.rdbuf();
    if (!sim_dict_parse(ss.str(), dict, err)) {
        err = path + ": " + err;
        return false;
    }
    return true;
}

std::vector<uint8_t> sim_le(uint32_t v, size_t n)
{
    std::vector<uint8_t> out;
    for (size_t i = 0; i < n; i++)
        out.push_back((uint8_t)(v >> (8 * i)));
    return out;
}

bool sim_dict_build(sim_dev_st &d, std::string &err)
{
    const sim_device_config_st &c = d.cfg;
    auto &od = d.od;
    add_obj(od, 0x1000, 0, SIM_U32, SIM_RO, sim_le(0, 4));
    for (uint16_t idx : {0x1010, 0x1011}) {
        add_obj(od, idx, 0, SIM_U8, SIM_RO, {3});
        for (uint8_t s = 1; s <= 3; s++)
            add_obj(od, idx, s, SIM_U32, SIM_RW, sim_le(1, 4));
    }
    add_obj(od, 0x1017, 0, SIM_U16, SIM_RW, sim_le(c.heartbeat_ms, 2));
    add_obj(od, 0x1018, 0, SIM_U8, SIM_RO, {3});
    add_obj(od, 0x1018, 1, SIM_U32, SIM_RO, sim_le(c.vendor, 4));
    add_obj(od, 0x1018, 2, SIM_U32, SIM_RO, sim_le(c.product, 4));
    add_obj(od, 0x1018, 3, SIM_U32, SIM_RO, sim_le(c.revision, 4));
    add_obj(od, 0x2FFF, 0, SIM_U32, SIM_RO, sim_le(c.can_if_version, 4));
    add_obj(od, 0x5FFF, 0, SIM_STR, SIM_RO, std::vector<uint8_t>(c.name.begin(), c.name.end()));
    d.ext = sim_ext_create(od, c.node_id);
    sim_prog_init(d.prog, c.node_id, c.program, od);
    d.media.cfg = c.media;
    d.delay.ms = c.sdo_delay_ms;
    sim_media_add_objects(d.media, od);
    sim_txpdo_add_objects(od, c.node_id);
    return c.dict_file.empty() || sim_dict_load(c.dict_file, od, err);
}

bool sim_fault_parse(const std::string &spec, sim_fault_st &f, uint8_t &node, std::string &err)
{
    f = sim_fault_st{};
    node = 0;
    size_t colon = spec.find(':');
    std::string kind = spec.substr(0, colon);
    if (kind == "abort") {
        f.kind = SIM_FAULT_ABORT;
    } else if (kind == "busy") {
        f.kind = SIM_FAULT_ABORT;
        f.code = 0x05040001;
    } else if (kind == "silent") {
        f.kind = SIM_FAULT_SILENT;
    } else if (kind == "toggle") {
        f.kind = SIM_FAULT_TOGGLE;
        f.stage = 1;
    } else if (kind == "crc") {
        f.kind = SIM_FAULT_CRC;
    } else if (kind == "ackseq") {
        f.kind = SIM_FAULT_ACKSEQ;
        f.stage = 1;
    } else if (kind == "drop") {
        f.kind = SIM_FAULT_DROP;
        f.stage = 1;
    } else if (kind == "noreset") {
        f.kind = SIM_FAULT_NORESET;
    } else if (kind == "quietboot") {
        f.kind = SIM_FAULT_QUIETBOOT;
    } else if (kind == "dead") {
        f.kind = SIM_FAULT_DEAD;
    } else {
        err = "unknown fault '" + kind + "' (abort, busy, silent, toggle, crc, ackseq, drop, noreset, quietboot, dead)";
        return false;
    }
    if (colon == std::string::npos)
        return true;
    std::istringstream in(spec.substr(colon + 1));
    std::string kv;
    while (std::getline(in, kv, ',')) {
        size_t eq = kv.find('=');
        std::string k = kv.substr(0, eq), v = eq == std::string::npos ? "" : kv.substr(eq + 1);
        long long n = 0;
        bool ok;
        if (k == "dir") {
            ok = v == "up" || v == "down" || v == "any";
            f.dir = v == "up" ? SIM_DIR_UPLOAD : v == "down" ? SIM_DIR_DOWNLOAD : SIM_DIR_ANY;
        } else if (k == "node") {
            ok = parse_int(v, 1, 127, n);
            node = (uint8_t)n;
        } else if (k == "index") {
            ok = parse_int(v, 0, 0xFFFF, n);
            f.index = (int32_t)n;
        } else if (k == "sub") {
            ok = parse_int(v, 0, 0xFF, n);
            f.sub = (int32_t)n;
        } else if (k == "stage") {
            ok = parse_int(v, 0, 1 << 30, n);
            f.stage = (uint32_t)n;
        } else if (k == "every") {
            ok = parse_int(v, 1, 1 << 30, n);
            f.every = (uint32_t)n;
        } else if (k == "code") {
            ok = parse_int(v, 0, 0xFFFFFFFFLL, n);
            f.code = (uint32_t)n;
        } else if (k == "xfer") {
            ok = parse_int(v, 1, 1 << 30, n);
            f.xfer = (uint32_t)n;
        } else if (k == "count") {
            ok = parse_int(v, -1, 1 << 30, n);
            f.count = (int32_t)n;
        } else {
            ok = false;
        }
        if (!ok) {
            err = "bad fault setting '" + kv + "' in '" + spec + "'";
            return false;
        }
    }
    return true;
}
