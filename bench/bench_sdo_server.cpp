// The library's SDO server (kr_sdonode, beside this program) on the hub paced at 250 kbit/s and
// 1 Mbit/s: a 60,000-byte block download from the library's client (a child process, a fresh run
// of this program, since the scheduler never returns), then its block upload to the independent
// client. Each is reported as a share of the bus's payload capacity: the wire time of the data
// segments alone (exact stuff bits) over the time from the initiation to the end confirmation as
// the bus saw them, with the idle time per block that the library steps leave.
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
#include "sim_sdo_client.h"
#include "sim_setup.h"

namespace {

constexpr uint8_t NODE = 0x22;
constexpr uint16_t INDEX = 0x2007;
constexpr uint32_t SIZE = 60000;

uint8_t payload(uint32_t i) { return (uint8_t)(1 + (i * 2654435761u >> 24) % 255); } // never 0: a string

int child_fd = -1;

void child_task(void *)
{
    static uint8_t buf[SIZE];
    for (uint32_t i = 0; i < SIZE; i++) buf[i] = payload(i);
    kr_rtos_task_delay(50);
    kr_errors_e e = _kr_canopen_sdo_client_block_write(NODE, INDEX, 0, SIZE, buf);
    char line[64];
    int n = snprintf(line, sizeof line, "%u 0x%08x\n", e, _kr_canopen_sdo_get_error_code());
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

double median(std::vector<double> v)
{
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

struct share_st {
    double secs = 0, share = 0, idle_ms = 0;
    double to_ack_ms = 0, after_ack_ms = 0; // medians: last segment of a block to its acknowledgement, and on
    uint64_t segments = 0, blocks = 0;
    bool ok = false;
};

// From the frames of one transfer: initiation (client byte `init`) to the end confirmation (0xA1).
share_st measure(const std::vector<sim_frame_st> &frames, uint8_t init, bool segments_from_client, uint32_t bitrate)
{
    share_st s;
    int64_t start = -1, end = -1;
    uint64_t data_bits = 0, all_bits = 0;
    bool in = false;
    int64_t last_seg = -1, ack_at = -1;
    std::vector<double> to_ack, after_ack;
    for (const auto &f : frames) {
        bool req = f.id == 0x600u + NODE, rsp = f.id == 0x580u + NODE;
        if (!req && !rsp) continue;
        if (req && f.data[0] == init && start < 0) start = f.stamp_us, in = true;
        if (!in) continue;
        all_bits += sim_can_frame_bits(f);
        if (req && f.data[0] == 0xA1 && !segments_from_client) end = f.stamp_us, in = false;
        if (rsp && f.data[0] == 0xA1 && segments_from_client) end = f.stamp_us, in = false;
        bool data_dir = segments_from_client ? req : rsp;
        bool ack = segments_from_client ? (rsp && f.data[0] == 0xA2) : (req && f.data[0] == 0xA2);
        if (ack) {
            s.blocks++;
            if (last_seg >= 0) to_ack.push_back((double)(f.stamp_us - last_seg) / 1000.0);
            ack_at = f.stamp_us;
        }
        // Segments: every frame of the data direction between the initiation answer and the end.
        if (data_dir && f.data[0] != init && (f.data[0] & 0xE3) != 0xC1 && f.data[0] != 0xA3 && f.data[0] != 0xC6) {
            data_bits += sim_can_frame_bits(f);
            s.segments++;
            last_seg = f.stamp_us;
            if (ack_at >= 0) after_ack.push_back((double)(f.stamp_us - ack_at) / 1000.0);
            ack_at = -1;
        }
    }
    if (start < 0 || end < 0) return s;
    s.secs = (double)(end - start) / 1e6;
    double ideal = (double)data_bits / bitrate;
    double busy = (double)all_bits / bitrate;
    s.share = 100.0 * ideal / s.secs;
    s.idle_ms = 1000.0 * (s.secs - busy) / (double)(s.blocks ? s.blocks : 1);
    s.to_ack_ms = median(to_ack);
    s.after_ack_ms = median(after_ack);
    s.ok = true;
    return s;
}

bool run(const std::string &self, const std::string &node_bin, uint32_t bitrate)
{
    std::string err;
    sim_setup_st bench;
    if (!sim_setup_start(bench, {}, bitrate, err, true))
        return fprintf(stderr, "bench_sdo_server: %s\n", err.c_str()), false;
    e2e::sandbox box;
    e2e::options open_input; // the node ends at the end of its standard input
    open_input.stdin_text = "";
    e2e::background node(box, node_bin,
                         {"--port", std::to_string(bench.port), "--node", "0x22", "--nonvol", box.path("nv").string()},
                         open_input);
    std::string line = node.read_line(10000);
    if (line != "ready") return fprintf(stderr, "bench_sdo_server: node: %s\n", line.c_str()), false;

    // The library's client, in a child.
    e2e::options o;
    o.timeout_ms = 600000;
    box.run(self, {"--child", std::to_string(bench.port), box.path("result").string()}, o);
    std::string out = box.read_file("result");
    unsigned e = 99, code = 0;
    sscanf(out.c_str(), "%u %x", &e, &code);
    sim_tap_wait(
        bench.tap,
        [](const std::vector<sim_frame_st> &fr) {
            return !fr.empty() && fr.back().id == 0x580u + NODE && fr.back().data[0] == 0xA1;
        },
        5000);
    share_st down = measure(sim_tap_frames(bench.tap), 0xC6, true, bitrate);
    sim_tap_clear(bench.tap);

    // Back to the independent client, with the largest block size.
    sim_client_st cli;
    sim_sdo_result_st up;
    if (sim_client_connect(cli, "127.0.0.1", bench.port, "vcan0"))
        up = sim_sdo_upload(cli, NODE, INDEX, 0, sim_sdo_mode_e::block, 127, {}, 10000);
    sim_tap_wait(
        bench.tap,
        [](const std::vector<sim_frame_st> &fr) {
            return !fr.empty() && fr.back().id == 0x600u + NODE && fr.back().data[0] == 0xA1;
        },
        5000);
    share_st upm = measure(sim_tap_frames(bench.tap), 0xA4, false, bitrate);
    bool same = up.ok && up.data.size() == SIZE;
    for (uint32_t i = 0; same && i < SIZE; i++) same = up.data[i] == payload(i);
    sim_client_close(cli);
    node.stop();
    sim_setup_stop(bench);

    if (e != 0 || !down.ok || !same || !upm.ok) {
        fprintf(stderr, "bench_sdo_server: %u bit/s: failed (download %u abort 0x%08x, upload %s %s)\n", bitrate, e,
                code, up.ok ? "ok" : up.error.c_str(), same ? "intact" : "wrong");
        return false;
    }
    printf("%7u bit/s: block download, library client -> library server: %.2f s, %llu segments in %llu blocks of "
           "37, %.1f%% of the bus's payload capacity, idle %.2f ms per block (median: last segment to "
           "acknowledgement %.2f ms, acknowledgement to next segment %.2f ms)\n",
           bitrate, down.secs, (unsigned long long)down.segments, (unsigned long long)down.blocks, down.share,
           down.idle_ms, down.to_ack_ms, down.after_ack_ms);
    printf("%7u bit/s: block upload, library server -> independent client: %.2f s, %llu segments in %llu blocks of "
           "127, %.1f%% of the bus's payload capacity, idle %.2f ms per block (median: last segment to "
           "acknowledgement %.2f ms, acknowledgement to next segment %.2f ms)\n",
           bitrate, upm.secs, (unsigned long long)upm.segments, (unsigned long long)upm.blocks, upm.share, upm.idle_ms,
           upm.to_ack_ms, upm.after_ack_ms);
    fflush(stdout);
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 4 && strcmp(argv[1], "--child") == 0) child(argv[2], argv[3]);
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return 1;
    std::string self(path, (size_t)n);
    std::string node_bin = self.substr(0, self.rfind('/')) + "/kr_sdonode";
    bool ok = true;
    for (uint32_t rate : {250000u, 1000000u}) ok = run(self, node_bin, rate) && ok;
    return ok ? 0 : 1;
}
