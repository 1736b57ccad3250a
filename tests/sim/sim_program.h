// The program store of a simulated device: the image it runs, a bootloader that takes a new one
// through 0x1F50:1 (CiA 302, or the maker's: reset into the bootloader, 256-byte pieces appended),
// and the faults of a device that is being flashed. Test code, written from CiA 301/302.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

struct sim_object_st;

enum sim_boot_flavour_e : uint8_t { SIM_BOOT_NONE, SIM_BOOT_CIA302, SIM_BOOT_KR };

// Mode of the device as the program store sees it.
enum sim_prog_mode_e : uint8_t { SIM_MODE_APP, SIM_MODE_BOOT, SIM_MODE_OFF, SIM_MODE_DEAD };

struct sim_program_config_st {
    uint8_t flavour = SIM_BOOT_NONE;
    std::vector<uint8_t> image; // running at start
    uint32_t flash_size = 0;    // the most bytes an image may have; 0: 16 MiB
    std::string image_dir;      // each started image is written there as node-0xNN.bin
};

struct sim_program_st {
    sim_program_config_st cfg;
    uint8_t node = 0;
    uint8_t mode = SIM_MODE_APP;
    std::vector<uint8_t> image;
    std::vector<uint8_t> pending;
    bool has_pending = false;
    uint32_t flashes = 0;    // images started from a download
    int64_t started_ns = 0;  // monotonic time the running image was last started
    uint32_t transfers = 0;  // SDO transfers begun (for faults with xfer=N)
    int64_t power_on_ns = 0; // SIM_MODE_OFF until then
};

struct sim_prog_info_st {
    uint8_t mode = SIM_MODE_APP;
    std::vector<uint8_t> image;
    uint32_t flashes = 0;
    size_t pending = 0;
    int64_t started_ns = 0;
};

// Sets the store up and puts 0x1F50:1 into the dictionary where the flavour has it.
void sim_prog_init(sim_program_st &p, uint8_t node, const sim_program_config_st &cfg,
                   std::map<uint32_t, sim_object_st> &od);
// The room for a download into this object; -1 when the object is not the store's.
int64_t sim_prog_room(const sim_program_st &p, uint16_t index, uint8_t sub);
// An SDO transfer begins (counted); a CiA download into 0x1F50:1 drops the pending image.
void sim_prog_transfer_start(sim_program_st &p, uint16_t index, uint8_t sub, bool upload);
// A complete download: true when the store took it, with an abort code in `code` or 0.
bool sim_prog_commit(sim_program_st &p, uint16_t index, uint8_t sub, const std::vector<uint8_t> &data, char how,
                     uint32_t &code);
// The boot after a reset (reset_cmd 0x81 or 0x82) or a power cycle (0): switches image or mode.
// `dead`: the device stays silent for good instead.
void sim_prog_boot(sim_program_st &p, std::map<uint32_t, sim_object_st> &od, uint8_t reset_cmd, bool dead);
// Power cycle: silent for `ms`, then boot-up into the bootloader (a device without one: its application).
void sim_prog_power(sim_program_st &p, uint32_t ms);
// The device answers nothing and sends nothing.
inline bool sim_prog_silent(const sim_program_st &p)
{
    return p.mode == SIM_MODE_OFF || p.mode == SIM_MODE_DEAD;
}
inline bool sim_prog_in_boot(const sim_program_st &p)
{
    return p.mode == SIM_MODE_BOOT;
}
std::string sim_prog_dump_line(const sim_program_st &p);
uint16_t sim_prog_crc(const std::vector<uint8_t> &data);
