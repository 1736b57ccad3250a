// Restoring PDO parameters in the order CiA 301 asks of a PDO that changes: the PDO made not valid
// (COB-ID bit 31), its mapping count set to 0, the entries, the count, then the COB-ID. A file
// gives them as whole objects in any order, so the count and the COB-ID are held back until the
// device's entries are written. Runs in the load run's task.
#include <cstdint>
#include <vector>

#include "kr_bytes.h"
#include "params/loadparam.h"
#include "loadparam_internal.h"

namespace {

constexpr uint32_t COBID_NOT_VALID = 0x80000000u;

struct pdo_st {
    uint16_t com; // its communication object; the mapping is com + 0x200
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

bool is_map(uint16_t mindex) { return (mindex & 0x0200u) != 0; }

kr_errors_e write_u32(uint8_t node, uint16_t index, uint8_t sub, uint32_t n, uint32_t value)
{
    uint8_t buf[4];
    kr_put_le32(buf, value);
    return loadparam_sdo_write(node, index, sub, n, buf);
}

// The PDO's state, its COB-ID read and made not valid on first use.
kr_errors_e open(uint8_t node, uint16_t com, pdo_st **out)
{
    for (pdo_st &p : pdos)
        if (p.com == com) {
            *out = &p;
            return ERR_NONE;
        }
    pdo_st p{};
    p.com = com;
    uint8_t buf[4] = {0, 0, 0, 0};
    // A device without the communication object (or a write-only one) is written as the file says.
    if (loadparam_sdo_read(node, com, 1, sizeof buf, buf) == ERR_NONE) {
        p.cobid_known = true;
        p.cobid_device = kr_get_le32(buf);
    }
    if (p.cobid_known && !(p.cobid_device & COBID_NOT_VALID)) {
        LOG("Making the PDO of 0x%x not valid...", (unsigned)com);
        kr_errors_e e = write_u32(node, com, 1, 4, p.cobid_device | COBID_NOT_VALID);
        if (e != ERR_NONE) {
            if (!loadparam_is_cancelled()) {
                job_error("Making the PDO of 0x%x not valid failed.\n", (unsigned)com);
                job_sdo_cause();
            }
            return e;
        }
        LOG_OK();
        p.invalidated = true;
    }
    pdos.push_back(p);
    *out = &pdos.back();
    return ERR_NONE;
}

kr_errors_e finish_one(uint8_t node, pdo_st &p)
{
    uint16_t map = (uint16_t)(p.com + 0x200u);
    if (p.count_pending || (p.map_open && p.count_known)) {
        uint8_t count = p.count_pending ? p.count_file : p.count_device;
        LOG("Writing the mapping count of 0x%x = %u", (unsigned)map, (unsigned)count);
        kr_errors_e e = write_u32(node, map, 0, 1, count);
        if (e != ERR_NONE) {
            if (!loadparam_is_cancelled()) {
                job_error("Writing the mapping count of 0x%x failed.\n", (unsigned)map);
                job_sdo_cause();
            }
            return e;
        }
        LOG_OK();
    }
    if (p.cobid_pending || p.invalidated) {
        uint32_t cobid = p.cobid_pending ? p.cobid_file : p.cobid_device;
        LOG("Writing the COB-ID of 0x%x = 0x%x", (unsigned)p.com, (unsigned)cobid);
        kr_errors_e e = write_u32(node, p.com, 1, 4, cobid);
        if (e != ERR_NONE) {
            if (!loadparam_is_cancelled()) {
                job_error("Writing the COB-ID of 0x%x failed.\n", (unsigned)p.com);
                job_sdo_cause();
            }
            return e;
        }
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

kr_errors_e loadparam_pdo_write(uint8_t node, uint16_t mindex, uint8_t sindex, uint32_t data_len, uint32_t value)
{
    pdo_st *p = nullptr;
    kr_errors_e e = open(node, (uint16_t)(mindex & ~0x0200u), &p);
    if (e != ERR_NONE) return e;
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
        if (e != ERR_NONE) return e;
        p->map_open = true;
    }
    return write_u32(node, mindex, sindex, data_len, value);
}

kr_errors_e loadparam_pdo_finish(uint8_t node)
{
    kr_errors_e e = ERR_NONE;
    for (pdo_st &p : pdos)
        if (e == ERR_NONE) e = finish_one(node, p);
    pdos.clear();
    return e;
}

} // extern "C"
