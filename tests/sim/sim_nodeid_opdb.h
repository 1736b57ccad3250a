// Two features of the simulated devices that parameter loading needs (test code):
// - the node-id object 0x100B:0: a stored value other than the device's node id takes effect at the
//   next reset, so the device boots and answers at the new id;
// - an operator database: object M sub 1 selects the active operator (1-based), M sub 3 = 1
//   appends a copy of operator 1, M + 1 sub 0 holds the operator count (16-bit), and a 0-based
//   current-operator object. The per-operator objects keep a value and a stored value per operator.
#pragma once

#include "sim_device.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <vector>

struct sim_opdb_config_st {
    uint16_t index = 0x3000;         // M
    uint8_t width = 1;               // bytes of M:1 and M:3
    uint16_t count = 1;              // operators at start
    uint16_t current_index = 0x3002; // 0-based current operator, sub 0, u8, read-only
    std::vector<uint32_t> keys;      // sim_key() of the per-operator objects (already in the dictionary)
    uint32_t refuse_switch_to = 0;   // a fault: switching to this operator is refused (0: none)
};

struct sim_ext_st;
using sim_od_t = std::map<uint32_t, sim_object_st>;

// Called by the device: at start (adds 0x100B), after each completed download (a non-zero abort code
// undoes the write), and after a reset has brought the stored values back (node_id may change).
std::shared_ptr<sim_ext_st> sim_ext_create(sim_od_t &od, uint8_t node_id);
uint32_t sim_ext_written(sim_ext_st *ext, sim_od_t &od, uint16_t index, uint8_t sub);
void sim_ext_reset(sim_ext_st *ext, sim_od_t &od, uint8_t &node_id);

// The device's hook for the accessors below: runs fn under the runner's lock; false when no device has
// that node id.
bool sim_dev_with_ext(sim_runner_st *r, uint8_t node, const std::function<void(sim_ext_st &, sim_od_t &)> &fn);

bool sim_dev_add_opdb(sim_runner_st *r, uint8_t node, const sim_opdb_config_st &cfg);
// An operator's (1-based) value and stored value of a per-operator object.
bool sim_dev_opdb_get(sim_runner_st *r, uint8_t node, uint32_t op, uint16_t index, uint8_t sub,
                      std::vector<uint8_t> &value, std::vector<uint8_t> &stored);
uint32_t sim_dev_opdb_count(sim_runner_st *r, uint8_t node);
uint32_t sim_dev_opdb_active(sim_runner_st *r, uint8_t node);
