// A fault of a simulated device: every SDO answer leaves the device only after a delay, so that a
// job can be held in the middle of a transfer. Test code.
#pragma once

#include "sim_frame.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <utility>

struct sim_runner_st;

struct sim_delay_st {
    uint32_t ms = 0; // 0: answers leave at once
    std::deque<std::pair<int64_t, sim_frame_st>> held;
};

// True when the frame is held back (a delay is set, or earlier answers still wait: order is kept).
bool sim_delay_hold(sim_delay_st &d, const sim_frame_st &f, int64_t now_ns);
// Sends the held frames that are due, oldest first.
void sim_delay_release(sim_delay_st &d, int64_t now_ns, const std::function<void(const sim_frame_st &)> &send);
// When the next held frame is due; 0 when none waits.
int64_t sim_delay_next(const sim_delay_st &d);

// Sets the delay of one device (node 0: every device) while it runs (sim_device.cpp).
void sim_dev_set_sdo_delay(sim_runner_st *r, uint8_t node, uint32_t ms);
