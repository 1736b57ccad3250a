// One call for a test's whole virtual bench: a hub (optionally paced) and simulated devices on
// it, in process, plus the channel name the tool is given. Test code.
#pragma once

#include "sim_client.h"
#include "sim_device.h"
#include "sim_hub.h"

#include <string>
#include <vector>

struct sim_setup_st {
    sim_hub_st *hub = nullptr;
    sim_runner_st *devs = nullptr; // null when no device was asked for
    uint16_t port = 0;
    std::string channel;           // "socketcand://127.0.0.1:PORT/vcan0", for --can
};

bool sim_setup_start(sim_setup_st &s, const std::vector<sim_device_config_st> &devs, uint32_t bitrate,
                     std::string &err);
void sim_setup_stop(sim_setup_st &s);

// A quiet hub with a bus tap on "vcan0", the start of most bus tests. Stop undoes what start made.
bool sim_hub_tap_start(sim_hub_st *&hub, sim_tap_st *&tap, uint16_t &port, std::string &err);
void sim_hub_tap_stop(sim_hub_st *&hub, sim_tap_st *&tap);
