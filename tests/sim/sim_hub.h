// The virtual CAN bus: the server side of socketcand's raw mode on a loopback port. Every frame a
// client sends goes to every other raw-mode client of the same bus name, in order, none lost.
// Optional pacing delivers frames no faster than a real bus at the given bit rate. Test code.
#pragma once

#include <cstdint>
#include <string>

struct sim_hub_config_st {
    uint16_t port = 0;    // 0: pick a free one (see sim_hub_port)
    uint32_t bitrate = 0; // 0: unpaced
    bool quiet = false;   // no messages about clients and dropped input on stderr
};

struct sim_hub_stats_st {
    uint64_t frames_in = 0;  // frames accepted from clients
    uint64_t frames_out = 0; // frame copies handed to receiving clients
    uint64_t malformed = 0;  // elements dropped as malformed
    uint64_t overrun = 0;    // frame copies dropped because a client stopped reading
    uint32_t clients = 0;    // connected now
};

struct sim_hub_st;

// Listens on 127.0.0.1 and serves from a thread of its own. Null with `err` on failure.
sim_hub_st *sim_hub_start(const sim_hub_config_st &cfg, std::string &err);
uint16_t sim_hub_port(const sim_hub_st *hub);
sim_hub_stats_st sim_hub_stats(sim_hub_st *hub);
// Waits until the hub has read everything its clients had sent by the time of the call and handed
// every frame on (a paced bus: until its queue is empty). Output a receiver's full socket still
// holds counts as handed on. False when that takes longer than timeout_ms.
bool sim_hub_sync(sim_hub_st *hub, int timeout_ms);
// Closes every connection, stops the thread and frees the hub.
void sim_hub_stop(sim_hub_st *hub);
