#include "sim_setup.h"

bool sim_setup_start(sim_setup_st &s, const std::vector<sim_device_config_st> &devs, uint32_t bitrate, std::string &err,
                     bool tap)
{
    sim_hub_config_st cfg;
    cfg.bitrate = bitrate;
    cfg.quiet = true;
    s.hub = sim_hub_start(cfg, err);
    if (s.hub == nullptr)
        return false;
    s.port = sim_hub_port(s.hub);
    s.channel = "socketcand://127.0.0.1:" + std::to_string(s.port) + "/vcan0";
    if (!devs.empty() && !sim_setup_add_devices(s, devs, err)) {
        sim_setup_stop(s);
        return false;
    }
    if (tap) {
        s.tap = sim_tap_start(s.port, "vcan0", err);
        if (s.tap == nullptr) {
            sim_setup_stop(s);
            return false;
        }
        if (bitrate == 0)
            sim_tap_follow(s.tap, s.hub);
    }
    return true;
}

bool sim_setup_add_devices(sim_setup_st &s, const std::vector<sim_device_config_st> &devs, std::string &err)
{
    if (s.devs != nullptr) {
        err = "the bench already has devices";
        return false;
    }
    s.devs = sim_runner_start(s.port, "vcan0", devs, err);
    return s.devs != nullptr;
}

bool sim_setup_settle(sim_setup_st &s, int timeout_ms)
{
    if (s.hub != nullptr && !sim_hub_sync(s.hub, timeout_ms))
        return false;
    if (s.devs != nullptr && !sim_runner_settle(s.devs, timeout_ms))
        return false;
    // What the devices sent meanwhile (their boot-ups) is on the tap too.
    if (s.hub != nullptr && !sim_hub_sync(s.hub, timeout_ms))
        return false;
    return s.tap == nullptr || sim_tap_sync(s.tap, timeout_ms);
}

void sim_setup_stop(sim_setup_st &s)
{
    if (s.devs)
        sim_runner_stop(s.devs);
    if (s.tap)
        sim_tap_stop(s.tap);
    if (s.hub)
        sim_hub_stop(s.hub);
    s.devs = nullptr;
    s.tap = nullptr;
    s.hub = nullptr;
}
