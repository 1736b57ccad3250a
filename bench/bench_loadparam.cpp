// krcan loads a 500-entry file of 32-bit integers onto a simulated device on the hub paced at
// 250 kbit/s. The time from the first parameter write request to the answer of the last one, as the
// bus saw them (the hub's stamps), is set against the floor: 500 x (10 ms pause + the wire time of the
// request and its answer). Start-up, EMCY suppression, the store and the reset are outside the window.
#include <cstdio>
#include <string>
#include <vector>

#include "e2e/e2e.h"
#include "sim_setup.h"

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
    e2e::remove_sandboxes_at_signal(); // a benchmark stopped with Ctrl-C leaves no sandbox behind
    std::string err;
    sim_device_config_st d;
    d.node_id = NODE;
    d.heartbeat_ms = 0;
    sim_setup_st bench;
    if (!sim_setup_start(bench, {d}, BITRATE, err, true)) {
        fprintf(stderr, "bench_loadparam: %s\n", err.c_str());
        return 1;
    }
    std::string file =
        "{\"NODEID\": \"0x20\", \"CAN IF VERSION\": 1, \"CAN IF MINDEX\": \"0x2fff\", \"CAN IF SINDEX\": 0,"
        " \"PARAMS\": [";
    for (uint32_t i = 0; i < ENTRIES; i++) {
        sim_object_st o;
        o.type = SIM_U32;
        o.value = o.stored = o.def = {0, 0, 0, 0};
        sim_dev_add_object(bench.devs, NODE, (uint16_t)(0x3000 + i), 0, o);
        char e[160];
        snprintf(e, sizeof e,
                 "%s{\"INFO\": \"p%u\", \"MAININDEX\": \"0x%x\", \"TYPE\": \"CANOPEN_UNSIGNED32\", \"DATA\": %u}",
                 i ? "," : "", i, 0x3000 + i, i * 7919u);
        file += e;
    }
    file += "]}";
    e2e::sandbox box;
    box.write_file("params.json", file);

    e2e::options o;
    o.stdout_to = e2e::output::null_dev;
    o.timeout_ms = 600000;
    e2e::result r = box.krcan({"--can", bench.channel, "--loadparam", box.path("params.json").string()}, o);
    fputs(r.err.c_str(), stderr);
    // The tap may still be reading the last frames.
    sim_tap_wait(
        bench.tap,
        [](const std::vector<sim_frame_st> &fr) {
            for (auto it = fr.rbegin(); it != fr.rend(); ++it)
                if (it->id == 0) return true; // the reset after the store
            return false;
        },
        5000);
    std::vector<sim_frame_st> frames = sim_tap_frames(bench.tap);

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
        if (!sim_dev_get_stored(bench.devs, NODE, (uint16_t)(0x3000 + i), 0, v) || v.size() != 4)
            values_ok = false;
        else
            values_ok = values_ok && (uint32_t)(v[0] | v[1] << 8 | v[2] << 16 | (uint32_t)v[3] << 24) == i * 7919u;
    }
    sim_setup_stop(bench);

    if (!r.exited(0) || writes != ENTRIES || !values_ok || first < 0) {
        fprintf(stderr, "bench_loadparam: load failed (status %d, %u of %u writes answered, values %s)\n", r.exit_code,
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
