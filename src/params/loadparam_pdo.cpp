// Restoring PDO parameters one PDO at a time, in the order CiA 301 asks of a PDO that changes: the
// PDO made not valid (COB-ID bit 31), its mapping count set to 0, the entries, the count, then the
// COB-ID; only then the next PDO. A file gives a PDO as two objects in any order, so its count and
// COB-ID are held back until the writer moves on to another object. A failure leaves only that PDO
// not valid: every other one is as the file or the device had it. Runs in the load run's task.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "kr_bytes.h"
#include "params/loadparam.h"
#include "loadparam_internal.h"

namespace {

constexpr uint32_t COBID_NOT_VALID = 0x80000000u;
constexpr uint16_t MAP_OFFSET = 0x0200u;

struct pdo_st {
    uint16_t com; // its communication object; the mapping is com + 0x200
    bool absent;  // the device has no such PDO: its entries are left out
    bool failed;  // a write of the PDO failed: the rest of it is left out
    bool done;
    bool cobid_known;
    uint32_t cobid_device;
    bool invalidated;
    bool cobid_pending;
    uint32_t cobid_file;
    bool map_open; // the count was set to 0
    bool count_known;
    uint8_t count_device;
    bool count_pending;
    uint8_t count_file;
};

std::vector<pdo_st> pdos;

bool is_map(uint16_t mindex) { return (mindex & MAP_OFFSET) != 0; }
uint16_t com_of(uint16_t mindex) { return (uint16_t)(mindex & ~MAP_OFFSET); }

std::string pdo_name(uint16_t com)
{
    bool rx = com < CANOPEN_TXPDO_COM_INDEX;
    unsigned n = (unsigned)(com - (rx ? CANOPEN_RXPDO_COM_INDEX : CANOPEN_TXPDO_COM_INDEX)) + 1u;
    char name[48];
    std::snprintf(name, sizeof name, "%s %u (0x%x/0x%x)", rx ? "RPDO" : "TPDO", n, (unsigned)com,
                  (unsigned)(com + MAP_OFFSET));
    return name;
}

kr_errors_e write_u32(uint8_t node, uint16_t index, uint8_t sub, uint32_t n, uint32_t value)
{
    uint8_t buf[4];
    kr_put_le32(buf, value);
    return loadparam_sdo_write(node, index, sub, n, buf);
}

// The PDO stops here; what it holds is said, then the user chooses: ERR_NONE goes on with the next.
kr_errors_e unit_failed(pdo_st &p, kr_errors_e e, const char *what, uint16_t index)
{
    p.failed = true;
    if (loadparam_is_cancelled()) return e;
    job_error("%s of 0x%x failed.\n", what, (unsigned)index);
    job_sdo_cause();
    std::string name = pdo_name(p.com);
    job_error("%s is left %s; the other PDOs are left as the file or the device has them.\n", name.c_str(),
              p.invalidated || p.map_open ? "not valid" : "as the device had it");
    if (lp::ask_skip(name.c_str())) return ERR_NONE;
    return e;
}

// The PDO's state, its COB-ID read and made not valid on first use.
kr_errors_e open(uint8_t node, uint16_t com, pdo_st **out)
{
    for (pdo_st &p : pdos)
        if (p.com == com) {
            *out = &p;
            return ERR_NONE;
        }
    pdos.push_back(pdo_st{});
    pdo_st &p = pdos.back();
    *out = &p;
    p.com = com;
    uint8_t buf[4] = {0, 0, 0, 0};
    if (loadparam_sdo_read(node, com, 1, sizeof buf, buf) == ERR_NONE) {
        p.cobid_known = true;
        p.cobid_device = kr_get_le32(buf);
    } else if (lp::sdo_said_absent()) {
        p.absent = true;
        lp::skip_absent(pdo_name(com).c_str(), "PDO");
        return ERR_NONE;
    }
    // A device whose COB-ID cannot be read (write-only, say) gets the PDO as the file has it.
    if (p.cobid_known && !(p.cobid_device & COBID_NOT_VALID)) {
        LOG("Making the PDO of 0x%x not valid...", (unsigned)com);
        kr_errors_e e = write_u32(node, com, 1, 4, p.cobid_device | COBID_NOT_VALID);
        if (e != ERR_NONE) return unit_failed(p, e, "Making the PDO not valid", com);
        LOG_OK();
        p.invalidated = true;
    }
    return ERR_NONE;
}

kr_errors_e finish_one(uint8_t node, pdo_st &p)
{
    if (p.done || p.absent || p.failed) return ERR_NONE;
    p.done = true;
    uint16_t map = (uint16_t)(p.com + MAP_OFFSET);
    if (p.count_pending || (p.map_open && p.count_known)) {
        uint8_t count = p.count_pending ? p.count_file : p.count_device;
        LOG("Writing the mapping count of 0x%x = %u", (unsigned)map, (unsigned)count);
        kr_errors_e e = write_u32(node, map, 0, 1, count);
        if (e != ERR_NONE) return unit_failed(p, e, "Writing the mapping count", map);
        LOG_OK();
    }
    if (p.cobid_pending || p.invalidated) {
        uint32_t cobid = p.cobid_pending ? p.cobid_file : p.cobid_device;
        LOG("Writing the COB-ID of 0x%x = 0x%x", (unsigned)p.com, (unsigned)cobid);
        kr_errors_e e = write_u32(node, p.com, 1, 4, cobid);
        if (e != ERR_NONE) return unit_failed(p, e, "Writing the COB-ID", p.com);
        LOG_OK();
    }
    return ERR_NONE;
}

} // namespace

extern "C" {

bool loadparam_pdo_is(uint16_t mindex)
{
    return mindex >= CANOPEN_RXPDO_COM_INDEX && mindex < CANOPEN_TXPDO_MAPPING_INDEX + CANOPEN_PDO_PARAM_SPAN;
}

void loadparam_pdo_reset(void) { pdos.clear(); }

bool loadparam_pdo_left_out(uint16_t mindex)
{
    if (!loadparam_pdo_is(mindex)) return false;
    for (const pdo_st &p : pdos)
        if (p.com == com_of(mindex)) return p.absent || p.failed;
    return false;
}

kr_errors_e loadparam_pdo_write(uint8_t node, uint16_t mindex, uint8_t sindex, uint32_t data_len, uint32_t value)
{
    pdo_st *p = nullptr;
    kr_errors_e e = open(node, com_of(mindex), &p);
    if (e != ERR_NONE || p->absent || p->failed) return e;
    if (!is_map(mindex) && sindex == 1) {
        p->cobid_pending = true;
        p->cobid_file = value;
        return ERR_NONE;
    }
    if (is_map(mindex) && sindex == 0) {
        p->count_pending = true;
        p->count_file = (uint8_t)value;
        return ERR_NONE;
    }
    if (is_map(mindex) && !p->map_open) {
        uint8_t buf[4] = {0, 0, 0, 0};
        if (loadparam_sdo_read(node, mindex, 0, sizeof buf, buf) == ERR_NONE) {
            p->count_known = true;
            p->count_device = buf[0];
        }
        e = write_u32(node, mindex, 0, 1, 0);
        if (e != ERR_NONE) return unit_failed(*p, e, "Setting the mapping count to 0", mindex);
        p->map_open = true;
    }
    e = write_u32(node, mindex, sindex, data_len, value);
    if (e == ERR_NONE) return ERR_NONE;
    // A sub-index the device lacks (an unused one of the communication object) is no fault of the PDO.
    if (!is_map(mindex) && lp::sdo_said_absent()) {
        char what[64];
        std::snprintf(what, sizeof what, "0x%x:%u", (unsigned)mindex, (unsigned)sindex);
        lp::skip_absent(what, "sub-index");
        return ERR_NONE;
    }
    char what[48];
    std::snprintf(what, sizeof what, "Writing sub-index %u", (unsigned)sindex);
    return unit_failed(*p, e, what, mindex);
}

kr_errors_e loadparam_pdo_finish_except(uint8_t node, uint16_t mindex)
{
    uint16_t keep = loadparam_pdo_is(mindex) ? com_of(mindex) : 0;
    for (size_t i = 0; i < pdos.size();) {
        if (pdos[i].com == keep || pdos[i].absent || pdos[i].failed) {
            i++;
            continue;
        }
        kr_errors_e e = finish_one(node, pdos[i]);
        if (e != ERR_NONE) return e;
        // Restored: a later object of the same PDO makes it not valid again first.
        if (pdos[i].done && !pdos[i].failed)
            pdos.erase(pdos.begin() + (std::ptrdiff_t)i);
        else
            i++;
    }
    return ERR_NONE;
}

kr_errors_e loadparam_pdo_finish(uint8_t node)
{
    kr_errors_e e = loadparam_pdo_finish_except(node, 0);
    if (e == ERR_NONE) pdos.clear();
    return e;
}

void loadparam_pdo_left_off(const uint16_t *unreached, uint32_t count)
{
    std::string open_ones, later;
    for (const pdo_st &p : pdos)
        if (!p.done && !p.absent && !p.failed && (p.invalidated || p.map_open))
            open_ones += (open_ones.empty() ? "" : ", ") + pdo_name(p.com);
    for (uint32_t i = 0; i < count; i++) {
        bool seen = false;
        for (const pdo_st &p : pdos) seen = seen || p.com == com_of(unreached[i]);
        if (seen) continue; // told already, or left out
        std::string name = pdo_name(com_of(unreached[i]));
        if (later.find(name) == std::string::npos) later += (later.empty() ? "" : ", ") + name;
    }
    pdos.clear();
    if (loadparam_is_cancelled()) return;
    if (!open_ones.empty()) job_error("Left not valid, as the load stopped inside them: %s.\n", open_ones.c_str());
    if (!later.empty()) job_error("Not restored, left as the device had them: %s.\n", later.c_str());
}

} // extern "C"
