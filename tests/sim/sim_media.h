// The display side of a simulated device: media storage behind objects 0x5FF8-0x5FFE and the
// terminal on 0x5FFF (expedited downloads without size are typed input, echoed back as upload-shaped
// frames). Test code, written from the device's object table.
#pragma once

#include "sim_frame.h"

#include <cstdint>
#include <functional>
#include <map>
#include <ostream>
#include <string>
#include <vector>

struct sim_object_st;
struct sim_runner_st;

struct sim_media_config_st {
    bool enabled = false;      // the device has the media objects
    uint8_t block_size = 0;    // 0x5FFD; 0 = not ready
    uint32_t commit_ms = 0;    // 0x5FF9 reads non-zero this long after a commit
    bool commit_never = false; // ... or for ever
    uint32_t clear_ms = 0;     // 0x5FF8 reads non-zero this long after a clear
    bool clear_never = false;
    uint32_t abort_block = 0; // the n-th block (1-based, over the device's life) is refused, retries included
};

struct sim_media_file_st {
    std::string name;
    uint32_t size = 0; // as announced
    std::vector<uint8_t> data;
};

struct sim_media_commit_st {
    std::string name;
    uint32_t offset;
    uint32_t len;
};

struct sim_term_line_st {
    int64_t wall_us; // wall clock, microseconds since the epoch
    std::string line;
};

struct sim_media_st {
    sim_media_config_st cfg;
    std::vector<sim_media_file_st> files; // in the order they were first announced
    std::string name;                     // the file being sent
    bool have_name = false;
    std::vector<uint8_t> pending; // the last block's data, until committed
    bool have_pending = false;
    uint32_t offset = 0;
    uint32_t last_commit = 0;
    std::vector<sim_media_commit_st> commits;
    int64_t commit_until_ns = 0; // -1: for ever
    bool clearing = false;
    int64_t clear_until_ns = 0; // -1: for ever
    uint32_t clears = 0;
    uint32_t blocks = 0;   // blocks stored or refused
    bool refusing = false; // the refused block's retries are refused too
    std::string term_partial;
    std::vector<sim_term_line_st> term_lines;
    bool esp_paused = false;
};

// Hooks of the device (sim_device.cpp).
void sim_media_add_objects(const sim_media_st &m, std::map<uint32_t, sim_object_st> &od);
// A terminal input frame to 0x600 + node: echoed through `send`; true when the frame was one.
bool sim_media_terminal(sim_media_st &m, uint8_t node, const sim_frame_st &f,
                        const std::function<void(const sim_frame_st &)> &send);
// A completed download: -1 when the object is not a media object, 0 taken, else the abort code.
int64_t sim_media_write(sim_media_st &m, uint16_t index, uint8_t sub, const std::vector<uint8_t> &data);
// Before an upload: what the device shows now.
void sim_media_read(sim_media_st &m, uint16_t index, uint8_t sub, std::map<uint32_t, sim_object_st> &od);
// Dump lines: "mediafile N SIZE HEX NAME", "mediacommit N OFFSET LEN NAME", "mediaclear N COUNT",
// "term N WALL_US LINE", "esppaused N 0|1".
void sim_media_dump(sim_media_st &m, unsigned node, std::ostream &o);

// In-process accessors (any thread).
bool sim_dev_media(
    sim_runner_st *r, uint8_t node,
    const std::function<void(sim_media_st &, std::map<uint32_t, sim_object_st> &)> &fn); // sim_device.cpp
std::vector<sim_media_file_st> sim_media_files(sim_runner_st *r, uint8_t node);
std::vector<sim_media_commit_st> sim_media_commits(sim_runner_st *r, uint8_t node);
std::vector<sim_term_line_st> sim_term_lines(sim_runner_st *r, uint8_t node);
bool sim_esp_paused(sim_runner_st *r, uint8_t node);
// Replaces the device's media settings (the objects appear when enabled).
void sim_media_configure(sim_runner_st *r, uint8_t node, const sim_media_config_st &cfg);
