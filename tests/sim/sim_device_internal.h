// Shared between the simulated device's files (the runner, the SDO server, NMT with heartbeat and
// the dictionary): one device's state. Test code includes sim_device.h, not this.
#pragma once

#include "sim_device.h"
#include "sim_client.h"
#include "sim_delay.h"
#include "sim_nodeid_opdb.h"
#include "sim_txpdo.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

// The SDO transfer in hand (sim_sdo_server.cpp); an NMT stop, a reset or a power cut ends it.
enum sim_xfer_state_e { SIM_XFER_IDLE, SIM_XFER_DL_SEG, SIM_XFER_UL_SEG, SIM_XFER_DL_BLOCK, SIM_XFER_DL_BLOCK_END };

struct sim_xfer_st {
    sim_xfer_state_e state = SIM_XFER_IDLE;
    uint16_t index = 0;
    uint8_t sub = 0;
    bool upload = false;
    std::vector<uint8_t> buf;
    size_t pos = 0;
    bool size_known = false;
    uint32_t size = 0;
    uint8_t toggle = 0;
    uint32_t replies = 0; // replies sent in this transfer (the fault stage)
    uint8_t expect_seq = 1;
    bool crc = false;
    bool last_seen = false;    // block download: the segment with the "last" bit was taken
    bool block_broken = false; // a segment went missing in this block
};

// One simulated device; its runner's mutex guards it.
struct sim_dev_st {
    sim_device_config_st cfg;
    sim_client_st client;
    std::map<uint32_t, sim_object_st> od;
    uint8_t state = 0;
    int64_t next_hb_ns = 0;
    int64_t reset_at_ns = 0;
    uint8_t reset_cmd = 0;
    sim_xfer_st x;
    std::vector<sim_fault_st> faults;
    std::vector<uint8_t> nmt_log;
    std::vector<sim_write_log_st> write_log;
    std::vector<uint32_t> abort_log;
    uint32_t bootups = 0;
    std::shared_ptr<sim_ext_st> ext; // node-id object and operator database
    sim_program_st prog;
    sim_media_st media;
    sim_txpdo_st tx;
    sim_delay_st delay;
    ~sim_dev_st() { sim_client_close(client); }
};

// The runner's side (sim_device.cpp): a frame onto the bus (a failure is printed, the device goes
// on), a written value handed to the TXPDOs, and the armed fault of this kind for the transfer in
// hand at this stage (used up; null when none).
void sim_dev_send_frame(sim_dev_st &d, const sim_frame_st &f);
void sim_dev_txpdo_object_set(sim_dev_st &d, uint16_t index, uint8_t sub);
sim_fault_st *sim_fault_take(sim_dev_st &d, uint8_t kind, uint32_t stage);

// SDO server (sim_sdo_server.cpp): one request to 0x600 + node id.
void sim_sdo_server_request(sim_dev_st &d, const sim_frame_st &f);

// NMT slave and heartbeat producer (sim_nmt.cpp).
void sim_nmt_command(sim_dev_st &d, const sim_frame_st &f);
// Enters PRE-OPERATIONAL, with the boot-up frame unless frame is false, and restarts the heartbeat.
void sim_nmt_bootup(sim_dev_st &d, bool frame = true);
// Power-on and a reset that is due: values back from their stored copies, then boot-up.
void sim_nmt_timers(sim_dev_st &d, int64_t now);
// The heartbeat period 0x1017 gives (0: none).
int64_t sim_hb_period_ns(const sim_dev_st &d);
void sim_hb_timer(sim_dev_st &d, int64_t now);

// Dictionary (sim_dict.cpp): the standard objects, those of the device's parts and the
// dictionary file's.
bool sim_dict_build(sim_dev_st &d, std::string &err);
// n bytes of v, little-endian.
std::vector<uint8_t> sim_le(uint32_t v, size_t n);
