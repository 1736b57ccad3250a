// krcan loads a 500-entry file of 32-bit integers onto a simulated device on the hub paced at
// 250 kbit/s. The time from the first parameter write request to the answer of the last one, as the
// bus saw them (the hub's stamps), is set against the floor: 500 x (10 ms pause + the wire time of the
// request and its answer). Start-up, EMCY suppression, the store and the reset are outside the window.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "sim_client.h"
#include "sim_device.h"
#include "sim_hub.h"

namespace {

constexpr uint8_t NODE = 0x20;
constexpr uint32_t ENTRIES = 500;
constexpr uint32_t BITRATE = 250000;

bool is_param_write(const sim_frame_st &f)
{
    if (f.id != 0x600u + NODE || f.len != 8 || (f.data[0] & 0xE0) != 0x20) return false;
    uint16_t index = (uint16_t)(f.data[1] | f.data[2] << 8);
    return index >= 0x3000 && index < 0x3000 + ENTRIES;
}

bool is_answer_to(const sim_frame_st &f, uint16_t index)
{
    return f.id == 0x580u + NODE && f.len == 8 && f.data[0] == 0x60 && (uint16_t)(f.data[1] | f.data[2] << 8) == index;
}

} // namespace

int main()
{
    std::string err;
    sim_hub_config_st cfg;
    cfg.bitrate = BITRATE;
    cfg.quiet = true;
    sim_hub_st *hub = sim_hub_start(cfg, err);
    if (!hub) {
        fprintf(stderr, "bench_loadparam: %s\n", err.c_str());
        return 1;
    }
    uint16_t port = sim_hub_port(hub);
    sim_tap_st *tap = sim_tap_start(port, "vcan0", err);
    sim_device_config_st d;
    d.node_id = NODE;
    d.heartbeat_ms = 0;
    sim_runner_st *runner = tap ? sim_runner_start(port, "vcan0", {d}, err) : nullptr;
    if (!runner) {
        fprintf(stderr, "bench_loadparam: %s\n", err.c_str());
        return 1;
    }
    std::string file = "{\"NODEID\": \"0x20\", \"CAN IF VERSION\": 1, \"CAN IF MINDEX\": \"0x2fff\", \"CAN IF SINDEX\": 0,"
                       " \"PARAMS\": [";
    for (uint32_t i = 0; i < ENTRIES; i++) {
        sim_object_st o;
        o.type = SIM_U32;
        o.value = o.stored = o.def = {0, 0, 0, 0};
        sim_dev_add_object(runner, NODE, (uint16_t)(0x3000 + i), 0, o);
        char e[160];
        snprintf(e, sizeof e, "%s{\"INFO\": \"p%u\", \"MAININDEX\": \"0x%x\", \"TYPE\": \"CANOPEN_UNSIGNED32\", \"DATA\": %u}",
                 i ? "," : "", i, 0x3000 + i, i * 7919u);
        file += e;
    }
    file += "]}";
    char dir[] = "/tmp/bench_loadparam_XXXXXX";
    if (!mkdtemp(dir)) return 1;
    std::string path = std::string(dir) + "/params.json";
    std::ofstream(path) << file;

    std::string chn = "socketcand://127.0.0.1:" + std::to_string(port) + "/vcan0";
    std::vector<std::string> args = {KRCAN_BIN, "--can", chn, "--loadparam", path};
    std::vector<char *> argv;
    for (auto &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addchdir_np(&fa, dir);
    pid_t pid;
    if (posix_spawn(&pid, KRCAN_BIN, &fa, nullptr, argv.data(), environ) != 0) {
        fprintf(stderr, "bench_loadparam: cannot start %s\n", KRCAN_BIN);
        return 1;
    }
    posix_spawn_file_actions_destroy(&fa);
    int status = 0;
    waitpid(pid, &status, 0);
    // The tap may still be reading the last frames.
    sim_tap_wait(tap, [](const std::vector<sim_frame_st> &fr) {
        for (auto it = fr.rbegin(); it != fr.rend(); ++it)
            if (it->id == 0) return true; // the reset after the store
        return false;
    }, 5000);
    std::vector<sim_frame_st> frames = sim_tap_frames(tap);

    int64_t first = -1, last = -1;
    uint64_t bits = 0;
    uint32_t writes = 0;
    uint16_t pending = 0;
    bool waiting = false;
    for (const auto &f : frames) {
        if (is_param_write(f)) {
            if (first < 0) first = f.stamp_us;
            pending = (uint16_t)(f.data[1] | f.data[2] << 8);
            waiting = true;
            bits += sim_can_frame_bits(f);
        } else if (waiting && is_answer_to(f, pending)) {
            last = f.stamp_us;
            bits += sim_can_frame_bits(f);
            writes++;
            waiting = false;
        }
    }
    bool values_ok = true;
    for (uint32_t i = 0; i < ENTRIES; i++) {
        std::vector<uint8_t> v;
        if (!sim_dev_get_stored(runner, NODE, (uint16_t)(0x3000 + i), 0, v) || v.size() != 4) values_ok = false;
        else values_ok = values_ok && (uint32_t)(v[0] | v[1] << 8 | v[2] << 16 | (uint32_t)v[3] << 24) == i * 7919u;
    }
    sim_runner_stop(runner);
    sim_tap_stop(tap);
    sim_hub_stop(hub);
    std::remove(path.c_str());
    rmdir(dir);

    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || writes != ENTRIES || !values_ok || first < 0) {
        fprintf(stderr, "bench_loadparam: load failed (status %d, %u of %u writes answered, values %s)\n", status,
                writes, ENTRIES, values_ok ? "stored" : "wrong");
        return 1;
    }
    // The window holds 499 pauses (the last one comes after the last answer), so it is set against
    // 499 of them; the wire time counts every request and answer.
    double secs = (double)(last - first) / 1e6;
    double wire = (double)bits / BITRATE;
    double floor = (ENTRIES - 1) * 0.010 + wire;
    printf("%u entries at %u bit/s: %.3f s from the first write to the last answer; floor %.3f s (%u x 10 ms + "
           "%.3f s on the wire) -> %.3f x the floor (goal 1.25); %.2f ms per entry\n",
           ENTRIES, BITRATE, secs, floor, ENTRIES - 1, wire, secs / floor, 1000.0 * secs / ENTRIES);
    return secs / floor <= 1.25 ? 0 : 2;
}
