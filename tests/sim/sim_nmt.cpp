// The simulated device's NMT slave and heartbeat producer: commands, reset and power-on, boot-up,
// and the heartbeat 0x1017 sets.
#include "sim_device_internal.h"

int64_t sim_hb_period_ns(const sim_dev_st &d)
{
    auto it = d.od.find(sim_key(0x1017, 0));
    if (it == d.od.end() || it->second.value.size() < 2)
        return 0;
    return (int64_t)(it->second.value[0] | it->second.value[1] << 8) * 1000000;
}

void sim_nmt_bootup(sim_dev_st &d, bool frame)
{
    if (frame) {
        sim_dev_send_frame(d, sim_frame_std(0x700u + d.cfg.node_id, {0x00}));
        d.bootups++;
    }
    d.state = d.cfg.auto_start && !sim_prog_in_boot(d.prog) ? 5 : 127;
    int64_t p = sim_hb_period_ns(d);
    d.next_hb_ns = p ? sim_mono_ns() + p : 0;
}

void sim_nmt_command(sim_dev_st &d, const sim_frame_st &f)
{
    if (f.len < 2 || (f.data[1] != 0 && f.data[1] != d.cfg.node_id))
        return;
    uint8_t cmd = f.data[0];
    if (cmd != 0x01 && cmd != 0x02 && cmd != 0x80 && cmd != 0x81 && cmd != 0x82)
        return;
    d.nmt_log.push_back(cmd);
    if (d.state == 0 && !sim_prog_in_boot(d.prog)) // resetting: nothing else until boot-up
        return;
    if (cmd == 0x81 && sim_fault_take(d, SIM_FAULT_NORESET, 0))
        return;
    if (sim_prog_in_boot(d.prog) && cmd != 0x81 && cmd != 0x82) // a bootloader only resets
        return;
    switch (cmd) {
    case 0x01:
        d.state = 5;
        break;
    case 0x02:
        d.state = 4;
        d.x.state = SIM_XFER_IDLE;
        break;
    case 0x80:
        d.state = 127;
        break;
    default:
        d.state = 0;
        d.x.state = SIM_XFER_IDLE;
        d.reset_cmd = cmd;
        d.reset_at_ns = sim_mono_ns() + (int64_t)d.cfg.reset_delay_ms * 1000000;
        break;
    }
}

void sim_nmt_timers(sim_dev_st &d, int64_t now)
{
    if (d.prog.mode == SIM_MODE_OFF && now >= d.prog.power_on_ns) {
        d.reset_at_ns = now; // power on: a reset into the bootloader
        d.reset_cmd = 0;
    }
    if (d.reset_at_ns != 0 && now >= d.reset_at_ns) {
        d.reset_at_ns = 0;
        for (auto &[key, o] : d.od) {
            uint16_t idx = (uint16_t)(key >> 8);
            if (d.reset_cmd != 0x82 || (idx >= 0x1000 && idx <= 0x1FFF))
                o.value = o.stored;
        }
        sim_ext_reset(d.ext.get(), d.od, d.cfg.node_id);
        bool dead = sim_fault_take(d, SIM_FAULT_DEAD, 0) != nullptr;
        bool quiet = sim_fault_take(d, SIM_FAULT_QUIETBOOT, 0) != nullptr;
        sim_prog_boot(d.prog, d.od, d.reset_cmd, dead);
        if (!dead)
            sim_nmt_bootup(d, !quiet);
        if (sim_prog_in_boot(d.prog))
            d.state = 0;
    }
}

void sim_hb_timer(sim_dev_st &d, int64_t now)
{
    if ((d.state != 0 || sim_prog_in_boot(d.prog)) && d.next_hb_ns != 0 && now >= d.next_hb_ns) {
        sim_dev_send_frame(d, sim_frame_std(0x700u + d.cfg.node_id, {d.state}));
        int64_t p = sim_hb_period_ns(d);
        d.next_hb_ns = p == 0 ? 0 : (d.next_hb_ns + p > now ? d.next_hb_ns + p : now + p);
    }
}
