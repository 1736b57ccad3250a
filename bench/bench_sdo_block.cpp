// 1 MiB by SDO block download to the simulated device, through the hub paced at 250 kbit/s and
// 1 Mbit/s. Reports the payload throughput as a fraction of what the bus carries for that payload
// at that rate: the wire time of the data segments alone (exact stuff bits) over the time the
// transfer took. A third run at 250 kbit/s loses the middle segment of every 100th block, which the
// client sends again with the rest of that block; its speed is reported as a share of the clean
// run's (goal: at least 95 %). The library runs in a child process (a fresh run of this program), since its
// scheduler never returns.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "kr_can.h"
#include "kr_canopen.h"
#include "kr_rtos.h"
#include "kr_utilities.h"
#include "e2e/e2e.h"
#include "sim_setup.h"

namespace {

constexpr uint8_t NODE = 0x10;
constexpr uint32_t SIZE = 1024 * 1024;

uint8_t payload(uint32_t i) { return (uint8_t)((i * 2654435761u) >> 24); }

int child_fd = -1;

void child_task(void *)
{
    static uint8_t buf[SIZE];
    for (uint32_t i = 0; i < SIZE; i++) buf[i] = payload(i);
    kr_rtos_task_delay(50);
    uint32_t t0 = kr_rtos_get_tick_count();
    kr_errors_e e = _kr_canopen_sdo_client_block_write(NODE, 0x1F50, 1, SIZE, buf);
    uint32_t ms = kr_rtos_get_tick_count() - t0;
    char line[128];
    int n = snprintf(line, sizeof line, "%u %u 0x%08x\n", e, ms, _kr_canopen_sdo_get_error_code());
    if (write(child_fd, line, (size_t)n) < 0) _exit(3);
    _exit(e == ERR_NONE ? 0 : 1);
}

[[noreturn]] void child(const char *port, const char *result_file)
{
    child_fd = open(result_file, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    silent = true;
    std::string chn = std::string("socketcand://127.0.0.1:") + port + "/vcan0";
    kr_can_set_baudrate(chn.c_str(), 250000);
    if (kr_can_set_up(true)) _exit(2);
    kr_init(nullptr);
    kr_rtos_task_create(child_task, "bench", 51200, nullptr, 2, nullptr);
    kr_rtos_start_scheduler();
    _exit(4);
}

// Seconds from the initiation to the end confirmation on the bus; -1 when the transfer failed.
double run(const char *self, uint32_t bitrate, const char *fault = nullptr)
{
    std::string err;
    sim_device_config_st d;
    d.node_id = NODE;
    d.heartbeat_ms = 0;
    d.block_size = 127;
    uint8_t fault_node = 0;
    if (fault) d.faults.emplace_back();
    if (fault && !sim_fault_parse(fault, d.faults.back(), fault_node, err)) {
        fprintf(stderr, "bench_sdo_block: %s\n", err.c_str());
        return -1;
    }
    sim_setup_st bench;
    if (!sim_setup_start(bench, {d}, bitrate, err, true)) {
        fprintf(stderr, "bench_sdo_block: %s\n", err.c_str());
        return -1;
    }
    sim_object_st dom;
    dom.type = SIM_DOMAIN;
    dom.max_size = SIZE;
    sim_dev_add_object(bench.devs, NODE, 0x1F50, 1, dom);
    sim_tap_clear(bench.tap);

    e2e::sandbox box;
    e2e::options o;
    o.timeout_ms = 600000;
    box.run(self, {"--child", std::to_string(bench.port), box.path("result").string()}, o);
    std::string out = box.read_file("result");
    unsigned e = 99, ms = 0, code = 0;
    sscanf(out.c_str(), "%u %u %x", &e, &ms, &code);

    // The tap may still be reading the last frames the child already saw.
    sim_tap_wait(
        bench.tap,
        [](const std::vector<sim_frame_st> &fr) {
            return !fr.empty() && fr.back().id == 0x580u + NODE && fr.back().data[0] == 0xA1;
        },
        5000);
    std::vector<sim_frame_st> frames = sim_tap_frames(bench.tap);
    std::vector<uint8_t> got;
    bool same = sim_dev_get(bench.devs, NODE, 0x1F50, 1, got) && got.size() == SIZE;
    for (uint32_t i = 0; same && i < SIZE; i++) same = got[i] == payload(i);
    sim_setup_stop(bench);

    // From the initiation to the end confirmation, as the bus saw them (the hub's delivery stamps).
    int64_t start = -1, end = -1, ack_at = -1;
    std::vector<double> react_ms; // block acknowledgement to the next block's first segment, on the bus
    double dev_ms = 0;            // device: last segment of a block to its acknowledgement
    int64_t prev_req = -1;
    uint64_t data_bits = 0, all_bits = 0, segments = 0, blocks = 0;
    for (const auto &f : frames) {
        bool req = f.id == 0x600u + NODE, rsp = f.id == 0x580u + NODE;
        if (!req && !rsp) continue;
        all_bits += sim_can_frame_bits(f);
        if (req && f.data[0] == 0xC6 && start < 0) start = (f.stamp_us * 1000);
        if (rsp && f.data[0] == 0xA1) end = (f.stamp_us * 1000);
        if (rsp && f.data[0] == 0xA2) {
            blocks++;
            ack_at = (f.stamp_us * 1000);
        }
        if (rsp && f.data[0] == 0xA2 && prev_req >= 0) dev_ms += (double)((f.stamp_us * 1000) - prev_req) / 1e6;
        if (req && ack_at >= 0) {
            react_ms.push_back((double)((f.stamp_us * 1000) - ack_at) / 1e6);
            ack_at = -1;
        }
        if (req) prev_req = (f.stamp_us * 1000);
        if (req && start >= 0 && f.data[0] != 0xC6 && (f.data[0] & 0xE3) != 0xC1) {
            data_bits += sim_can_frame_bits(f);
            segments++;
        }
    }
    if (e != 0 || !same || start < 0 || end < 0) {
        fprintf(stderr,
                "bench_sdo_block: %u bit/s: transfer failed (result %u, abort 0x%08x, data %s, %zu frames seen)\n",
                bitrate, e, code, same ? "intact" : "wrong", frames.size());
        return -1;
    }
    double secs = (double)(end - start) / 1e9;
    std::sort(react_ms.begin(), react_ms.end());
    double react_med = react_ms.empty() ? 0 : react_ms[react_ms.size() / 2];
    double react_p90 = react_ms.empty() ? 0 : react_ms[react_ms.size() * 9 / 10];
    double ideal = (double)data_bits / bitrate;
    double busy = (double)all_bits / bitrate;
    printf(
        "%7u bit/s%s: 1 MiB in %.2f s (%.1f kB/s); %llu segments in %llu blocks; bus time of the data "
        "segments %.2f s -> %.1f%% of what the bus carries; bus busy %.1f%%; idle %.2f ms per block "
        "turnaround (acknowledgement to next segment on the bus: median %.2f ms, p90 %.2f ms; last segment to acknowledgement %.2f ms)\n",
        bitrate, fault ? ", one segment lost per 100 blocks" : "", secs, SIZE / secs / 1000.0,
        (unsigned long long)segments, (unsigned long long)blocks, ideal, 100.0 * ideal / secs, 100.0 * busy / secs,
        1000.0 * (secs - busy) / (double)(blocks ? blocks : 1), react_med, react_p90,
        dev_ms / (double)(blocks ? blocks : 1));
    fflush(stdout);
    return secs;
}

} // namespace

int main(int argc, char **argv)
{
    e2e::remove_sandboxes_at_signal(); // a benchmark stopped with Ctrl-C leaves no sandbox behind
    if (argc == 4 && strcmp(argv[1], "--child") == 0) child(argv[2], argv[3]);
    std::string self = argv[0];
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n > 0) self.assign(path, (size_t)n);
    double clean = run(self.c_str(), 250000);
    bool ok = run(self.c_str(), 1000000) > 0;
    double lossy = clean > 0 ? run(self.c_str(), 250000, "drop:every=100,count=-1") : -1;
    if (clean <= 0 || lossy <= 0) return 1;
    printf("250000 bit/s with one segment lost per 100 blocks: %.1f%% of the clean run's speed (goal >= 95%%)\n",
           100.0 * clean / lossy);
    return ok ? 0 : 1;
}
