// One call for a test's or a benchmark's whole virtual bench: a hub (optionally paced), a bus tap
// and simulated devices on it, in process, plus the channel name the tool is given. Test code.
#pragma once

#include "sim_client.h"
#include "sim_device.h"
#include "sim_hub.h"

#include <string>
#include <vector>

struct sim_setup_st {
    sim_hub_st *hub = nullptr;
    sim_tap_st *tap = nullptr;     // null unless asked for
    sim_runner_st *devs = nullptr; // null when no device was asked for
    uint16_t port = 0;
    std::string channel; // "socketcand://127.0.0.1:PORT/vcan0", for --can
};

// The tap, when asked for, joins after the devices: it hears what happens once the bench is up.
bool sim_setup_start(sim_setup_st &s, const std::vector<sim_device_config_st> &devs, uint32_t bitrate, std::string &err,
                     bool tap = false);
// Devices started later (on a bench started without any); false when it already has some.
bool sim_setup_add_devices(sim_setup_st &s, const std::vector<sim_device_config_st> &devs, std::string &err);
// After a run of the tool: waits until the hub has handed on everything the tool sent and the devices
// have taken it in and finished any reset or power-on it started, and the tap has recorded all of
// it. False after timeout_ms (a hung bench).
bool sim_setup_settle(sim_setup_st &s, int timeout_ms = 30000);
// Stops what is still running; safe to call twice.
void sim_setup_stop(sim_setup_st &s);
