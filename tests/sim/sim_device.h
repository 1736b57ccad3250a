// Simulated CANopen devices on the virtual bus: NMT, boot-up, heartbeat, an object dictionary
// with stored values, and an SDO server (expedited, segmented, block download with CRC) with
// fault injection. Several devices run in one "runner" (one thread). Test code.
#pragma once

#include "sim_frame.h"
#include "sim_media.h"
#include "sim_program.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

enum sim_obj_type_e : uint8_t { SIM_U8, SIM_U16, SIM_U32, SIM_I8, SIM_I16, SIM_I32, SIM_STR, SIM_DOMAIN };
enum sim_access_e : uint8_t { SIM_RO = 1, SIM_WO = 2, SIM_RW = 3 };

struct sim_object_st {
    uint8_t type = SIM_U32;
    uint8_t access = SIM_RW;
    std::vector<uint8_t> value;  // as on the wire (integers little-endian)
    std::vector<uint8_t> stored; // non-volatile copy: what a reset brings back
    std::vector<uint8_t> def;    // factory value: what "load" (restore) puts into `stored`
    uint32_t max_size = 0;       // strings and domains: the most bytes accepted (0: 16 MiB)
};

// Faults. `stage` counts the device's replies within one transfer: 0 is the reply to the
// initiation, 1 the first reply after it (a segment reply, a block acknowledgement), ...
enum sim_fault_kind_e : uint8_t {
    SIM_FAULT_ABORT,     // send abort `code` instead of that reply (busy: code 0x05040001, stage 0)
    SIM_FAULT_SILENT,    // send nothing instead of that reply
    SIM_FAULT_TOGGLE,    // segmented transfers: that segment reply carries the wrong toggle bit
    SIM_FAULT_CRC,       // block download: the end is refused with a CRC error (0x05030004)
    SIM_FAULT_ACKSEQ,    // block download: that block's acknowledgement is one sequence number short
    SIM_FAULT_DROP,      // block download: the middle segment of that block is lost on its way in
    SIM_FAULT_NORESET,   // NMT reset node is ignored
    SIM_FAULT_QUIETBOOT, // a reset boots without the boot-up frame
    SIM_FAULT_DEAD,      // silent for good after a reset
};
enum sim_fault_dir_e : uint8_t { SIM_DIR_ANY, SIM_DIR_UPLOAD, SIM_DIR_DOWNLOAD };

struct sim_fault_st {
    uint8_t kind = SIM_FAULT_ABORT;
    int32_t index = -1; // -1: any object
    int32_t sub = -1;   // -1: any sub-index
    uint8_t dir = SIM_DIR_ANY;
    uint32_t stage = 0;
    uint32_t every = 0; // instead of `stage`: at every every-th stage (every, 2 every, ...)
    uint32_t code = 0x08000000;
    int32_t count = 1; // times it fires; -1: always
    uint32_t fired = 0;
    uint32_t xfer = 0; // only in the device's xfer-th SDO transfer (from 1); 0: any
};

// "busy:count=3", "abort:code=0x06020000,index=0x2000,sub=0", "silent:index=0x1018,count=-1",
// "toggle:stage=2", "crc", "ackseq:stage=1", "drop:every=100,count=-1", with optional node=ID,
// dir=up|down, stage=N and every=N.
// node is 0 when the fault text names none (all devices).
bool sim_fault_parse(const std::string &spec, sim_fault_st &f, uint8_t &node, std::string &err);

struct sim_device_config_st {
    uint8_t node_id = 0x10;
    uint32_t vendor = 797;
    uint32_t product = 0;
    uint32_t revision = 0;
    std::string name = "kr_simdev"; // 0x5FFF
    uint32_t can_if_version = 1;    // 0x2FFF
    uint16_t heartbeat_ms = 1000;   // 0x1017; 0 = none
    uint8_t block_size = 127;       // offered in block downloads
    bool expedited_size = true;     // upload answers (expedited and segmented) indicate their size
    bool bootup = true;             // send boot-up on start
    uint32_t reset_delay_ms = 50;   // NMT reset to boot-up
    std::string dict_file;          // extra or overriding objects
    bool start_operational = false; // OPERATIONAL right after boot-up
    bool auto_start = false;        // OPERATIONAL after every boot-up of the application
    sim_media_config_st media;      // media objects 0x5FF8-0x5FFE (sim_media.h)
    std::vector<sim_fault_st> faults;
    uint32_t sdo_delay_ms = 0;     // every SDO answer leaves this late (sim_delay.h)
    sim_program_config_st program; // bootloader flavour, image, flash size
};

// Dictionary file: one object a line, '#' starts a comment:
//   INDEX SUB TYPE ACCESS VALUE [STORED] [max=N]
// TYPE u8 u16 u32 i8 i16 i32 str domain; ACCESS ro wo rw; integers in C notation; str values
// in double quotes (\" \\ \n escapes); domain values as hex:0011AA or a quoted string.
bool sim_dict_load(const std::string &path, std::map<uint32_t, sim_object_st> &dict, std::string &err);
bool sim_dict_parse(const std::string &text, std::map<uint32_t, sim_object_st> &dict, std::string &err);
inline uint32_t sim_key(uint16_t index, uint8_t sub)
{
    return (uint32_t)index << 8 | sub;
}
// Bytes of an integer type; 0 for strings and domains.
size_t sim_type_size(uint8_t type);

struct sim_write_log_st {
    uint16_t index;
    uint8_t sub;
    uint32_t size;
    char how; // 'e' expedited, 's' segmented, 'b' block
};

struct sim_runner_st;

// Connects one client per device to the hub and runs them on a thread. Boot-up frames are on
// the bus when this returns.
sim_runner_st *sim_runner_start(uint16_t port, const std::string &bus, const std::vector<sim_device_config_st> &devs,
                                std::string &err);
void sim_runner_stop(sim_runner_st *r);

// Waits until the devices have taken in every frame that had reached them by the time of the call
// and none has a reset or a power-on pending. False when that takes longer than timeout_ms.
bool sim_runner_settle(sim_runner_st *r, int timeout_ms);

// In-process accessors (any thread). Node ids name the device.
bool sim_dev_get(sim_runner_st *r, uint8_t node, uint16_t index, uint8_t sub, std::vector<uint8_t> &value);
bool sim_dev_get_stored(sim_runner_st *r, uint8_t node, uint16_t index, uint8_t sub, std::vector<uint8_t> &value);
uint32_t sim_dev_get_u32(sim_runner_st *r, uint8_t node, uint16_t index, uint8_t sub); // 0 when missing
bool sim_dev_set(sim_runner_st *r, uint8_t node, uint16_t index, uint8_t sub, const std::vector<uint8_t> &value);
bool sim_dev_add_object(sim_runner_st *r, uint8_t node, uint16_t index, uint8_t sub, const sim_object_st &obj);
uint8_t sim_dev_nmt_state(sim_runner_st *r, uint8_t node);            // 0 boot-up/resetting, 4, 5, 127
std::vector<uint8_t> sim_dev_nmt_log(sim_runner_st *r, uint8_t node); // commands obeyed
std::vector<sim_write_log_st> sim_dev_write_log(sim_runner_st *r, uint8_t node);
// Writes of index (and of sub unless it is -1) in the write log; NMT commands of one kind obeyed.
size_t sim_dev_write_count(sim_runner_st *r, uint8_t node, uint16_t index, int sub = -1);
size_t sim_dev_nmt_count(sim_runner_st *r, uint8_t node, uint8_t command);
std::vector<uint32_t> sim_dev_abort_log(sim_runner_st *r, uint8_t node); // abort codes received
uint32_t sim_dev_bootups(sim_runner_st *r, uint8_t node);
// SDO transfers the device has begun (for faults with xfer=N).
uint32_t sim_dev_transfers(sim_runner_st *r, uint8_t node);
void sim_dev_add_fault(sim_runner_st *r, uint8_t node, const sim_fault_st &f); // node 0: every device
void sim_dev_clear_faults(sim_runner_st *r, uint8_t node);
void sim_dev_set_heartbeat(sim_runner_st *r, uint8_t node, uint16_t ms);
// Frames outside the SDO server: any raw frame, an EMCY on 0x80 + node in the maker's layout
// (data in bytes 0-3, the error code in bytes 6-7), one heartbeat with the current state.
bool sim_dev_send_raw(sim_runner_st *r, uint8_t node, const sim_frame_st &f);
bool sim_dev_send_emcy(sim_runner_st *r, uint8_t node, uint16_t code, uint32_t data);
bool sim_dev_send_heartbeat(sim_runner_st *r, uint8_t node);

// The program store: mode, running image, flashes, pending bytes, start time of the image.
sim_prog_info_st sim_dev_program(sim_runner_st *r, uint8_t node);
// Power cycle: silent for ms, then boot-up into the bootloader.
bool sim_dev_power(sim_runner_st *r, uint8_t node, uint32_t ms);

// Plain-text dump of every device, one fact per line:
//   node N state S bootups B
//   obj N 0xIIII S value HEX stored HEX
//   nmt N CMD
//   write N 0xIIII S SIZE e|s|b
//   abort N 0xCODE
//   prog N mode app|boot|off|dead image SIZE crc 0xCCCC flashes F pending P   (devices with a bootloader)
std::string sim_runner_dump(sim_runner_st *r);
bool sim_runner_dump_file(sim_runner_st *r, const std::string &path, std::string &err);
// Reads a value back out of a dump's text.
bool sim_dump_value(const std::string &dump, uint8_t node, uint16_t index, uint8_t sub, std::vector<uint8_t> &value,
                    bool stored = false);
