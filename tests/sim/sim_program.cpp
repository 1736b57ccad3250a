// The program store of a simulated device (see sim_program.h).
#include "sim_program.h"

#include "sim_device.h"
#include "sim_frame.h"

#include <cstdio>
#include <fstream>

namespace {

constexpr uint16_t PROGRAM_INDEX = 0x1F50;
constexpr uint8_t PROGRAM_SUB = 1;
constexpr uint32_t KR_PIECE_MAX = 256;
constexpr uint32_t DEFAULT_FLASH = 16u << 20;
constexpr uint32_t SDO_UNSUPPORTED = 0x06010000;

bool is_program(uint16_t index, uint8_t sub)
{
    return index == PROGRAM_INDEX && sub == PROGRAM_SUB;
}

uint32_t flash_size(const sim_program_st &p)
{
    return p.cfg.flash_size ? p.cfg.flash_size : DEFAULT_FLASH;
}

// CiA 302 devices have the program object in application and bootloader; the maker's only in its bootloader.
void place_object(sim_program_st &p, std::map<uint32_t, sim_object_st> &od)
{
    bool present = p.cfg.flavour == SIM_BOOT_CIA302 || (p.cfg.flavour == SIM_BOOT_KR && p.mode == SIM_MODE_BOOT);
    uint32_t key = sim_key(PROGRAM_INDEX, PROGRAM_SUB);
    if (!present) {
        od.erase(key);
        return;
    }
    if (od.count(key))
        return;
    sim_object_st o;
    o.type = SIM_DOMAIN;
    o.access = SIM_WO;
    od[key] = o;
}

void start_image(sim_program_st &p, std::vector<uint8_t> image, bool flashed)
{
    p.image = std::move(image);
    p.started_ns = sim_mono_ns();
    if (flashed)
        p.flashes++;
    if (p.cfg.image_dir.empty())
        return;
    char name[32];
    snprintf(name, sizeof name, "/node-0x%02X.bin", p.node);
    std::ofstream f(p.cfg.image_dir + name, std::ios::binary | std::ios::trunc);
    f.write((const char *)p.image.data(), (std::streamsize)p.image.size());
}

void drop_pending(sim_program_st &p)
{
    p.pending.clear();
    p.has_pending = false;
}

} // namespace

uint16_t sim_prog_crc(const std::vector<uint8_t> &data)
{
    uint16_t crc = 0;
    for (uint8_t b : data) {
        crc ^= (uint16_t)(b << 8);
        for (int i = 0; i < 8; i++)
            crc = (crc & 0x8000) ? (uint16_t)(crc << 1 ^ 0x1021) : (uint16_t)(crc << 1);
    }
    return crc;
}

void sim_prog_init(sim_program_st &p, uint8_t node, const sim_program_config_st &cfg,
                   std::map<uint32_t, sim_object_st> &od)
{
    p = sim_program_st{};
    p.cfg = cfg;
    p.node = node;
    p.mode = SIM_MODE_APP;
    start_image(p, cfg.image, false);
    place_object(p, od);
}

int64_t sim_prog_room(const sim_program_st &p, uint16_t index, uint8_t sub)
{
    if (p.cfg.flavour == SIM_BOOT_NONE || !is_program(index, sub))
        return -1;
    if (p.cfg.flavour == SIM_BOOT_CIA302)
        return flash_size(p);
    int64_t left = (int64_t)flash_size(p) - (int64_t)p.pending.size();
    if (left < 0)
        left = 0;
    return left < KR_PIECE_MAX ? left : KR_PIECE_MAX;
}

void sim_prog_transfer_start(sim_program_st &p, uint16_t index, uint8_t sub, bool upload)
{
    p.transfers++;
    // A new download replaces the pending image; if it does not complete, none is left.
    if (p.cfg.flavour == SIM_BOOT_CIA302 && !upload && is_program(index, sub))
        drop_pending(p);
}

bool sim_prog_commit(sim_program_st &p, uint16_t index, uint8_t sub, const std::vector<uint8_t> &data, char how,
                     uint32_t &code)
{
    code = 0;
    if (sim_prog_room(p, index, sub) < 0)
        return false;
    if ((int64_t)data.size() > sim_prog_room(p, index, sub)) {
        code = 0x06070012;
        return true;
    }
    if (p.cfg.flavour == SIM_BOOT_KR) {
        if (how != 'b') {
            code = SDO_UNSUPPORTED;
            return true;
        }
        p.pending.insert(p.pending.end(), data.begin(), data.end());
    } else {
        p.pending = data;
    }
    p.has_pending = true;
    return true;
}

void sim_prog_boot(sim_program_st &p, std::map<uint32_t, sim_object_st> &od, uint8_t reset_cmd, bool dead)
{
    if (dead) {
        p.mode = SIM_MODE_DEAD;
        return;
    }
    if (reset_cmd == 0) { // power on
        p.mode = p.cfg.flavour == SIM_BOOT_NONE ? SIM_MODE_APP : SIM_MODE_BOOT;
        if (p.mode == SIM_MODE_APP)
            start_image(p, p.image, false);
        if (p.mode == SIM_MODE_BOOT && p.cfg.flavour == SIM_BOOT_KR)
            drop_pending(p);
    } else if (reset_cmd == 0x81) {
        switch (p.cfg.flavour) {
        case SIM_BOOT_NONE:
            p.mode = SIM_MODE_APP;
            break;
        case SIM_BOOT_CIA302:
            if (p.has_pending)
                start_image(p, p.pending, true);
            drop_pending(p);
            p.mode = SIM_MODE_APP;
            break;
        default:
            if (p.mode == SIM_MODE_APP) {
                p.mode = SIM_MODE_BOOT;
            } else {
                if (p.has_pending)
                    start_image(p, p.pending, true);
                p.mode = SIM_MODE_APP;
            }
            drop_pending(p);
            break;
        }
    }
    place_object(p, od);
}

void sim_prog_power(sim_program_st &p, uint32_t ms)
{
    p.mode = SIM_MODE_OFF;
    p.power_on_ns = sim_mono_ns() + (int64_t)ms * 1000000;
}

std::string sim_prog_dump_line(const sim_program_st &p)
{
    static const char *modes[] = {"app", "boot", "off", "dead"};
    char line[160];
    snprintf(line, sizeof line, "prog %u mode %s image %zu crc 0x%04X flashes %u pending %zu", (unsigned)p.node,
             modes[p.mode < 4 ? p.mode : 0], p.image.size(), (unsigned)sim_prog_crc(p.image), (unsigned)p.flashes,
             p.pending.size());
    return line;
}
