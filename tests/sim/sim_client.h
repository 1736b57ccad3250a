// A client of the virtual bus for tests: connect, send, receive with a time-out, and a bus tap
// that records every frame with its time. Test code.
#pragma once

#include "sim_frame.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct sim_client_st {
    int fd = -1;
    std::string bus;
    sim_element_reader_st in;
    std::string last_error;
    uint64_t bad_elements = 0; // elements from the hub that were not frames
};

// Connects to HOST:PORT, waits for "< hi >", opens BUS and switches to raw mode. After it
// returns true, every frame another client sends on BUS reaches this one.
bool sim_client_connect(sim_client_st &c, const std::string &host, uint16_t port, const std::string &bus,
                        int timeout_ms = 5000);
// Sends one frame (an error frame goes as the hub's "senderror").
bool sim_client_send(sim_client_st &c, const sim_frame_st &f);
// Sends raw text as it stands (for malformed-input tests).
bool sim_client_send_text(sim_client_st &c, const std::string &text);
// Takes the next frame; false when none came within timeout_ms (or the hub closed).
bool sim_client_recv(sim_client_st &c, sim_frame_st &f, int timeout_ms);
void sim_client_close(sim_client_st &c);

// The bus tap: a client on its own thread that records every frame it sees.
struct sim_tap_st;
sim_tap_st *sim_tap_start(uint16_t port, const std::string &bus, std::string &err);
std::vector<sim_frame_st> sim_tap_frames(sim_tap_st *t);
size_t sim_tap_count(sim_tap_st *t);
void sim_tap_clear(sim_tap_st *t);
// Waits until pred(frames) holds; false on time-out.
bool sim_tap_wait(sim_tap_st *t, const std::function<bool(const std::vector<sim_frame_st> &)> &pred, int timeout_ms);
// Waits until at least n frames are recorded.
bool sim_tap_wait_count(sim_tap_st *t, size_t n, int timeout_ms);
// Waits until the tap has recorded every frame that had reached it (false after timeout_ms).
bool sim_tap_sync(sim_tap_st *t, int timeout_ms);
// From then on the tap's reads (frames, count) first take in all the hub has handed on (an in-process,
// unpaced hub), so a read after a run holds everything the run sent.
struct sim_hub_st;
void sim_tap_follow(sim_tap_st *t, sim_hub_st *hub);
void sim_tap_stop(sim_tap_st *t);
