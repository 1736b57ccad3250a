// Transmit PDOs 1-4 of a simulated device, from CiA 301: communication parameters 0x1800-0x1803
// (sub 1 COB-ID, bit 31 "not valid"; sub 2 transmission type; sub 3 inhibit time in 100 us; sub 5
// event timer in ms) and mapping 0x1A00-0x1A03 (sub 0 count, subs 1-8 index << 16 | sub << 8 | bits).
// PDOs go out only while the device is OPERATIONAL: event-driven ones (types 0xFE, 0xFF) once on
// entering OPERATIONAL, on their event timer and when a mapped object is set; synchronous ones on
// SYNC (type 0 after a change, 1-240 every n-th SYNC). Test code.
#pragma once

#include "sim_frame.h"
#include "sim_nodeid_opdb.h"

#include <cstdint>
#include <functional>
#include <vector>

struct sim_txpdo_st {
    struct one_st {
        int64_t next_event_ns = 0;    // 0: no event timer running
        int64_t inhibit_until_ns = 0; // no transmission before this
        bool pending = false;         // an event waits for the inhibit time to pass
        bool changed = false;         // type 0: a mapped object changed since the last SYNC
        uint32_t syncs = 0;           // SYNCs counted towards a cyclic type
        uint32_t sent = 0;
    } p[4];
    bool operational = false;
};

using sim_txpdo_send_fn = std::function<void(const sim_frame_st &)>;

// Adds the eight objects with their defaults: COB-ID 0x180/0x280/0x380/0x480 + node, type 0xFE, no
// inhibit time, no event timer, nothing mapped (a PDO without mapping is never sent).
void sim_txpdo_add_objects(sim_od_t &od, uint8_t node);
// A download into the PDO objects that CiA 301 refuses; 0 when it may be written.
uint32_t sim_txpdo_check_write(const sim_od_t &od, uint16_t index, uint8_t sub, const std::vector<uint8_t> &data);
// After an object was set (by SDO or by the test): sends or arms the PDOs that map it, and restarts
// the timers of a PDO whose parameters changed.
void sim_txpdo_object_set(sim_txpdo_st &t, const sim_od_t &od, uint8_t state, uint16_t index, uint8_t sub, int64_t now,
                          const sim_txpdo_send_fn &send);
void sim_txpdo_sync(sim_txpdo_st &t, const sim_od_t &od, uint8_t state, int64_t now, const sim_txpdo_send_fn &send);
void sim_txpdo_timers(sim_txpdo_st &t, const sim_od_t &od, uint8_t state, int64_t now, const sim_txpdo_send_fn &send);
// The next time sim_txpdo_timers has something to do; 0 for none.
int64_t sim_txpdo_next(const sim_txpdo_st &t);
// The PDO's frame from the current values; false when it is not valid or its mapping cannot be sent.
bool sim_txpdo_frame(const sim_od_t &od, unsigned pdo, sim_frame_st &f);
