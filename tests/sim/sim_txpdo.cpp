// Transmit PDOs of the simulated devices, written from CiA 301 (test code).
#include "sim_txpdo.h"

namespace {

constexpr uint8_t STATE_OPERATIONAL = 5;
constexpr uint32_t COBID_INVALID = 0x80000000u;
constexpr uint32_t SDO_NOT_MAPPABLE = 0x06040041;
constexpr uint32_t SDO_PDO_TOO_LONG = 0x06040042;
constexpr uint32_t SDO_BAD_VALUE = 0x06090030;
constexpr uint32_t SDO_UNSUPPORTED = 0x06010000;

uint32_t get(const sim_od_t &od, uint16_t index, uint8_t sub, bool *found = nullptr)
{
    auto it = od.find(sim_key(index, sub));
    if (found)
        *found = it != od.end();
    if (it == od.end())
        return 0;
    uint32_t v = 0;
    for (size_t i = 0; i < it->second.value.size() && i < 4; i++)
        v |= (uint32_t)it->second.value[i] << (8 * i);
    return v;
}

std::vector<uint8_t> le(uint32_t v, size_t n)
{
    std::vector<uint8_t> out;
    for (size_t i = 0; i < n; i++)
        out.push_back((uint8_t)(v >> (8 * i)));
    return out;
}

void add(sim_od_t &od, uint16_t index, uint8_t sub, uint8_t type, uint32_t value)
{
    sim_object_st o;
    o.type = type;
    o.access = SIM_RW;
    o.value = le(value, sim_type_size(type));
    o.stored = o.def = o.value;
    od[sim_key(index, sub)] = o;
}

uint8_t type_of(const sim_od_t &od, unsigned pdo)
{
    return (uint8_t)get(od, (uint16_t)(0x1800 + pdo), 2);
}
bool event_driven(uint8_t type)
{
    return type >= 0xFE;
}
int64_t ms_ns(uint32_t ms)
{
    return (int64_t)ms * 1000000;
}

// Mapped entries, or false when one is not byte-wide, names a missing object, or the sum passes 8 bytes.
bool mapping_fits(const sim_od_t &od, uint16_t map_index, uint32_t count)
{
    if (count > 8)
        return false;
    uint32_t bits = 0;
    for (uint8_t s = 1; s <= count; s++) {
        uint32_t e = get(od, map_index, s);
        uint32_t len = e & 0xFF;
        if (len == 0 || len % 8 != 0 || od.find(sim_key((uint16_t)(e >> 16), (uint8_t)(e >> 8))) == od.end())
            return false;
        bits += len;
    }
    return bits <= 64;
}

void transmit(sim_txpdo_st &t, const sim_od_t &od, unsigned pdo, int64_t now, const sim_txpdo_send_fn &send)
{
    sim_txpdo_st::one_st &p = t.p[pdo];
    p.pending = false;
    p.changed = false;
    // The timer runs on whether or not this PDO can be sent now (a later mapping may make it valid).
    uint32_t timer = get(od, (uint16_t)(0x1800 + pdo), 5);
    p.next_event_ns = timer && event_driven(type_of(od, pdo)) ? now + ms_ns(timer) : 0;
    sim_frame_st f;
    if (!sim_txpdo_frame(od, pdo, f))
        return;
    send(f);
    p.sent++;
    p.inhibit_until_ns = now + (int64_t)get(od, (uint16_t)(0x1800 + pdo), 3) * 100000;
}

// An event: sent now, or once the inhibit time has passed.
void event(sim_txpdo_st &t, const sim_od_t &od, unsigned pdo, int64_t now, const sim_txpdo_send_fn &send)
{
    if (now < t.p[pdo].inhibit_until_ns) {
        t.p[pdo].pending = true;
        t.p[pdo].next_event_ns = 0; // the deferred transmission starts the timer again
    } else
        transmit(t, od, pdo, now, send);
}

} // namespace

void sim_txpdo_add_objects(sim_od_t &od, uint8_t node)
{
    for (unsigned n = 0; n < 4; n++) {
        uint16_t comm = (uint16_t)(0x1800 + n), map = (uint16_t)(0x1A00 + n);
        add(od, comm, 0, SIM_U8, 5);
        add(od, comm, 1, SIM_U32, 0x180u + 0x100u * n + node);
        add(od, comm, 2, SIM_U8, 0xFE);
        add(od, comm, 3, SIM_U16, 0);
        add(od, comm, 5, SIM_U16, 0);
        add(od, map, 0, SIM_U8, 0);
        for (uint8_t s = 1; s <= 8; s++)
            add(od, map, s, SIM_U32, 0);
    }
}

uint32_t sim_txpdo_check_write(const sim_od_t &od, uint16_t index, uint8_t sub, const std::vector<uint8_t> &data)
{
    uint32_t v = 0;
    for (size_t i = 0; i < data.size() && i < 4; i++)
        v |= (uint32_t)data[i] << (8 * i);
    if (index >= 0x1800 && index <= 0x1803) {
        uint32_t old = get(od, index, 1);
        // A valid PDO keeps its identifier; it is changed while the PDO is marked not valid.
        if (sub == 1 && !(old & COBID_INVALID) && !(v & COBID_INVALID) && (v & 0x7FF) != (old & 0x7FF))
            return SDO_BAD_VALUE;
        if (sub == 1 && ((v & 0x7FF) == 0 || (v & 0x20000000)))
            return SDO_BAD_VALUE; // no 29-bit identifiers here
        if (sub == 2 && v > 0xF0 && v < 0xFC)
            return SDO_BAD_VALUE;
        return 0;
    }
    // A mapping changes as CiA 301 has it: its count only while the PDO is not valid, its entries
    // only while the count is 0.
    if (index >= 0x1A00 && index <= 0x1A03) {
        if (sub == 0 && !(get(od, (uint16_t)(index - 0x200), 1) & COBID_INVALID))
            return SDO_UNSUPPORTED;
        if (sub >= 1 && get(od, index, 0) != 0)
            return SDO_UNSUPPORTED;
    }
    if (index >= 0x1A00 && index <= 0x1A03 && sub == 0) {
        if (v > 8)
            return SDO_PDO_TOO_LONG;
        uint32_t bits = 0;
        for (uint8_t s = 1; s <= v; s++) {
            uint32_t e = get(od, index, s);
            if ((e & 0xFF) == 0 || (e & 7) || od.find(sim_key((uint16_t)(e >> 16), (uint8_t)(e >> 8))) == od.end())
                return SDO_NOT_MAPPABLE;
            bits += e & 0xFF;
        }
        if (bits > 64)
            return SDO_PDO_TOO_LONG;
    }
    return 0;
}

bool sim_txpdo_frame(const sim_od_t &od, unsigned pdo, sim_frame_st &f)
{
    if (pdo > 3)
        return false;
    uint32_t cobid = get(od, (uint16_t)(0x1800 + pdo), 1);
    uint16_t map = (uint16_t)(0x1A00 + pdo);
    uint32_t count = get(od, map, 0);
    if ((cobid & COBID_INVALID) || count == 0 || !mapping_fits(od, map, count))
        return false;
    uint8_t data[8] = {};
    uint8_t len = 0;
    for (uint8_t s = 1; s <= count; s++) {
        uint32_t e = get(od, map, s);
        const std::vector<uint8_t> &v = od.at(sim_key((uint16_t)(e >> 16), (uint8_t)(e >> 8))).value;
        for (uint32_t b = 0; b < (e & 0xFF) / 8; b++)
            data[len++] = b < v.size() ? v[b] : 0;
    }
    f = sim_frame_make(cobid & 0x7FF, data, len);
    return true;
}

void sim_txpdo_object_set(sim_txpdo_st &t, const sim_od_t &od, uint8_t state, uint16_t index, uint8_t sub, int64_t now,
                          const sim_txpdo_send_fn &send)
{
    if (index >= 0x1800 && index <= 0x1803) {
        // New parameters: the event timer counts from now.
        unsigned n = index - 0x1800u;
        uint32_t timer = get(od, index, 5);
        t.p[n].next_event_ns = t.operational && timer && event_driven(type_of(od, n)) ? now + ms_ns(timer) : 0;
        t.p[n].syncs = 0;
        return;
    }
    if (state != STATE_OPERATIONAL || !t.operational)
        return;
    for (unsigned n = 0; n < 4; n++) {
        uint16_t map = (uint16_t)(0x1A00 + n);
        uint32_t count = get(od, map, 0);
        bool mapped = false;
        for (uint8_t s = 1; s <= count && s <= 8 && !mapped; s++) {
            uint32_t e = get(od, map, s);
            mapped = (e >> 16) == index && (uint8_t)(e >> 8) == sub;
        }
        if (!mapped)
            continue;
        uint8_t type = type_of(od, n);
        if (event_driven(type))
            event(t, od, n, now, send);
        else if (type == 0)
            t.p[n].changed = true; // goes with the next SYNC
    }
}

void sim_txpdo_sync(sim_txpdo_st &t, const sim_od_t &od, uint8_t state, int64_t now, const sim_txpdo_send_fn &send)
{
    if (state != STATE_OPERATIONAL)
        return;
    for (unsigned n = 0; n < 4; n++) {
        uint8_t type = type_of(od, n);
        if (type == 0) {
            if (t.p[n].changed)
                transmit(t, od, n, now, send);
        } else if (type <= 0xF0 && ++t.p[n].syncs >= type) {
            t.p[n].syncs = 0;
            transmit(t, od, n, now, send);
        }
    }
}

void sim_txpdo_timers(sim_txpdo_st &t, const sim_od_t &od, uint8_t state, int64_t now, const sim_txpdo_send_fn &send)
{
    bool op = state == STATE_OPERATIONAL;
    if (op != t.operational) {
        t.operational = op;
        for (unsigned n = 0; n < 4; n++) {
            uint32_t sent = t.p[n].sent;
            t.p[n] = {};
            t.p[n].sent = sent;
            // Entering OPERATIONAL sends each event-driven PDO once, which starts its event timer.
            if (op && event_driven(type_of(od, n)))
                transmit(t, od, n, now, send);
        }
        return;
    }
    if (!op)
        return;
    for (unsigned n = 0; n < 4; n++) {
        sim_txpdo_st::one_st &p = t.p[n];
        if (p.pending && now >= p.inhibit_until_ns)
            transmit(t, od, n, now, send);
        else if (p.next_event_ns && now >= p.next_event_ns)
            event(t, od, n, now, send);
    }
}

int64_t sim_txpdo_next(const sim_txpdo_st &t)
{
    if (!t.operational)
        return 0;
    int64_t next = 0;
    for (const auto &p : t.p) {
        int64_t c = p.pending ? p.inhibit_until_ns : 0;
        if (p.next_event_ns && (c == 0 || p.next_event_ns < c))
            c = p.next_event_ns;
        if (c && (next == 0 || c < next))
            next = c;
    }
    return next;
}
