#include "sim_setup.h"

bool sim_setup_start(sim_setup_st &s, const std::vector<sim_device_config_st> &devs, uint32_t bitrate,
                     std::string &err)
{
    sim_hub_config_st cfg;
    cfg.bitrate = bitrate;
    cfg.quiet = true;
    s.hub = sim_hub_start(cfg, err);
    if (s.hub == nullptr)
        return false;
    s.port = sim_hub_port(s.hub);
    s.channel = "socketcand://127.0.0.1:" + std::to_string(s.port) + "/vcan0";
    if (!devs.empty()) {
        s.devs = sim_runner_start(s.port, "vcan0", devs, err);
        if (s.devs == nullptr) {
            sim_setup_stop(s);
            return false;
        }
    }
    return true;
}

void sim_setup_stop(sim_setup_st &s)
{
    sim_runner_stop(s.devs);
    sim_hub_stop(s.hub);
    s.devs = nullptr;
    s.hub = nullptr;
}

bool sim_hub_tap_start(sim_hub_st *&hub, sim_tap_st *&tap, uint16_t &port, std::string &err)
{
    sim_hub_config_st cfg;
    cfg.quiet = true;
    hub = sim_hub_start(cfg, err);
    if (!hub) return false;
    port = sim_hub_port(hub);
    tap = sim_tap_start(port, "vcan0", err);
    return tap != nullptr;
}

void sim_hub_tap_stop(sim_hub_st *&hub, sim_tap_st *&tap)
{
    if (tap) sim_tap_stop(tap);
    if (hub) sim_hub_stop(hub);
    tap = nullptr;
    hub = nullptr;
}
