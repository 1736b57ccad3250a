// `krcan --segloadbin` of 64 KiB and 1 MiB (or the sizes given as arguments, in bytes) to a simulated
// device with a CiA 302 bootloader on the unpaced hub, each size run three times (or as often as
// KR_BENCH_RUNS says). Reports the median of the segmented download alone (initiation to the answer
// to its last segment, as the bus tap saw them), of the whole run (spawn to exit), and the tool's
// turn (an answer to the next segment): its median and the share of all time the tool took.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "e2e/e2e.h"
#include "sim_client.h"
#include "sim_device.h"
#include "sim_setup.h"

namespace {

constexpr uint8_t NODE = 0x20;

struct figures_st {
    double download_s = 0, run_s = 0, turn_us = 0, tool_share = 0;
    uint64_t segments = 0;
};

double median(std::vector<double> v)
{
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// The download to 0x1F50:1: from its initiation to the answer to its last segment.
bool measure(const std::vector<sim_frame_st> &frames, figures_st &fig)
{
    int64_t start = -1, end = -1, answered = -1;
    bool last_sent = false;
    std::vector<double> turns;
    for (const sim_frame_st &f : frames) {
        bool req = f.id == 0x600u + NODE, rsp = f.id == 0x580u + NODE;
        if (req && f.data[0] == 0x21 && f.data[1] == 0x50 && f.data[2] == 0x1F && start < 0) start = f.rx_ns;
        if (start < 0 || end >= 0) continue;
        if (req && (f.data[0] & 0xE0) == 0x00) {
            fig.segments++;
            last_sent = (f.data[0] & 0x01) != 0;
            if (answered >= 0) turns.push_back((double)(f.rx_ns - answered) / 1e3);
        }
        if (rsp && (f.data[0] & 0xE0) == 0x20) {
            answered = f.rx_ns;
            if (last_sent) end = f.rx_ns;
        }
        if ((req || rsp) && f.data[0] == 0x80) return false;
    }
    if (start < 0 || end < 0) return false;
    fig.download_s = (double)(end - start) / 1e9;
    fig.turn_us = median(turns);
    double tool_us = 0;
    for (double t : turns) tool_us += t;
    fig.tool_share = tool_us / 1e6 / fig.download_s;
    return true;
}

bool run(const std::vector<uint8_t> &image, figures_st &fig)
{
    e2e::sandbox box;
    box.write_file("fw.bin", std::string(image.begin(), image.end()));
    sim_device_config_st d;
    d.node_id = NODE;
    d.heartbeat_ms = 0;
    d.reset_delay_ms = 10;
    d.program.flavour = SIM_BOOT_CIA302;
    d.program.image = {0};
    sim_setup_st bench;
    std::string err;
    if (!sim_setup_start(bench, {d}, 0, err, true)) {
        fprintf(stderr, "bench_sdo_segment: %s\n", err.c_str());
        return false;
    }
    e2e::options o;
    o.timeout_ms = 1200000;
    e2e::result r = box.krcan({"--can", bench.channel, "--nodeid", "0x20", "--segloadbin=fw.bin"}, o);
    sim_prog_info_st p;
    for (int i = 0; i < 200; i++) {
        p = sim_dev_program(bench.devs, NODE);
        if (p.image == image) break;
        usleep(10000);
    }
    sim_setup_settle(bench);
    std::vector<sim_frame_st> frames = sim_tap_frames(bench.tap);
    sim_setup_stop(bench);
    if (!r.exited(0) || p.image != image || !measure(frames, fig)) {
        fprintf(stderr, "bench_sdo_segment: %zu bytes failed (status %d%s)\n%s%s", image.size(), r.exit_code,
                r.timed_out ? ", timed out" : "", r.out.substr(r.out.size() > 2000 ? r.out.size() - 2000 : 0).c_str(),
                r.err.c_str());
        return false;
    }
    fig.run_s = r.wall_ms / 1e3;
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    std::vector<size_t> sizes;
    for (int i = 1; i < argc; i++) sizes.push_back(strtoul(argv[i], nullptr, 0));
    if (sizes.empty()) sizes = {64 * 1024, 1024 * 1024};
    const char *env = getenv("KR_BENCH_RUNS");
    int runs = env && atoi(env) > 0 ? atoi(env) : 3;
    bool ok = true;
    for (size_t size : sizes) {
        std::mt19937 rng((unsigned)size);
        std::vector<uint8_t> image(size);
        for (auto &b : image) b = (uint8_t)rng();
        std::vector<double> download, whole, turn, share;
        for (int i = 0; i < runs; i++) {
            figures_st fig;
            if (!run(image, fig)) {
                ok = false;
                continue;
            }
            download.push_back(fig.download_s);
            whole.push_back(fig.run_s);
            turn.push_back(fig.turn_us);
            share.push_back(fig.tool_share);
            printf("  %zu bytes, run %d: download %.2f s, whole run %.2f s, %llu segments; answer to next "
                   "segment (tool and hub): median %.0f us, %.0f%% of the download's time\n",
                   size, i + 1, fig.download_s, fig.run_s, (unsigned long long)fig.segments, fig.turn_us,
                   100.0 * fig.tool_share);
            fflush(stdout);
        }
        if (download.empty()) continue;
        double d = median(download);
        printf("--segloadbin of %zu bytes, unpaced bus, median of %zu: segmented download %.2f s (%.1f kB/s), whole "
               "run %.2f s, answer to next segment: median %.0f us, %.0f%% of the download's time\n",
               size, download.size(), d, size / d / 1000.0, median(whole), median(turn), 100.0 * median(share));
        fflush(stdout);
    }
    return ok ? 0 : 1;
}
