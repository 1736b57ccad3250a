// Firmware loads of 1 MiB (or the size given as the first argument, in bytes) by the krcan binary to a
// simulated device, through the hub paced at 250 kbit/s and 1 Mbit/s, in both bootloader flavours.
// (a) The wire time of the image's data segments (exact stuff bits) over the time from the job's first
//     frame to its final reset, as the bus tap saw them.
// (b) The time from starting krcan to the device running the new image, minus that span.
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
    double span_s = 0, data_s = 0, start_ms = 0, finish_ms = 0;
    uint64_t segments = 0, frames = 0;
};

// Walks the client's frames and the device's answers: a client frame after an initiate reply or a
// block acknowledgement with data left is a data segment.
bool measure(const std::vector<sim_frame_st> &frames, uint32_t bitrate, figures_st &fig, int64_t &first_ns,
             int64_t &reset_ns)
{
    enum { IDLE, WAIT_REPLY, SEGMENTS, END } st = IDLE;
    uint32_t size = 0, sent = 0;
    uint64_t data_bits = 0;
    first_ns = reset_ns = -1;
    for (const sim_frame_st &f : frames) {
        bool req = f.id == 0x600u + NODE, rsp = f.id == 0x580u + NODE;
        bool nmt = f.id == 0 && f.len == 2 && (f.data[1] == NODE || f.data[1] == 0);
        if (req || nmt) {
            if (first_ns < 0) first_ns = f.rx_ns;
            fig.frames++;
        }
        if (nmt && f.data[0] == 0x81) reset_ns = f.rx_ns;
        if (req) {
            if (st == SEGMENTS) {
                data_bits += sim_can_frame_bits(f);
                fig.segments++;
                sent += 7;
            } else if (st == IDLE && (f.data[0] & 0xE0) == 0xC0) {
                size = (uint32_t)f.data[4] | (uint32_t)f.data[5] << 8 | (uint32_t)f.data[6] << 16 |
                       (uint32_t)f.data[7] << 24;
                sent = 0;
                st = WAIT_REPLY;
            } else if (st == END) {
                st = IDLE;
            }
        }
        if (rsp) {
            if (f.data[0] == 0xA4)
                st = SEGMENTS;
            else if (f.data[0] == 0xA2)
                st = sent >= size ? END : SEGMENTS;
            else if (f.data[0] == 0xA1 || f.data[0] == 0x80)
                st = IDLE;
        }
    }
    if (first_ns < 0 || reset_ns < 0) return false;
    fig.data_s = (double)data_bits / bitrate;
    fig.span_s = (double)(reset_ns - first_ns) / 1e9;
    return true;
}

bool run(uint32_t bitrate, bool kr, const std::vector<uint8_t> &image, figures_st &fig)
{
    const char *name = kr ? "krloadbin" : "loadbin";
    e2e::sandbox box;
    box.write_file("fw.bin", std::string(image.begin(), image.end()));
    sim_device_config_st d;
    d.node_id = NODE;
    d.heartbeat_ms = 0;
    d.reset_delay_ms = 10;
    d.program.flavour = kr ? SIM_BOOT_KR : SIM_BOOT_CIA302;
    d.program.image = {0};
    sim_setup_st bench;
    std::string err;
    if (!sim_setup_start(bench, {d}, bitrate, err, true)) {
        fprintf(stderr, "bench_load: %s\n", err.c_str());
        return false;
    }
    e2e::options o;
    o.timeout_ms = 600000;
    int64_t spawn_ns = sim_mono_ns();
    e2e::result r = box.krcan({"--can", bench.channel, "--nodeid", "0x20", std::string("--") + name + "=fw.bin"}, o);
    // The image starts once the device has booted after the final reset.
    sim_prog_info_st p;
    for (int i = 0; i < 200; i++) {
        p = sim_dev_program(bench.devs, NODE);
        if (p.image == image) break;
        usleep(10000);
    }
    std::vector<sim_frame_st> frames = sim_tap_frames(bench.tap);
    sim_setup_stop(bench);
    int64_t first_ns, reset_ns;
    if (!r.exited(0) || p.image != image || !measure(frames, bitrate, fig, first_ns, reset_ns)) {
        fprintf(stderr, "bench_load: %s at %u bit/s failed (status %d)\n%s%s", name, bitrate, r.exit_code,
                r.out.substr(r.out.size() > 2000 ? r.out.size() - 2000 : 0).c_str(), r.err.c_str());
        return false;
    }
    fig.start_ms = (double)(first_ns - spawn_ns) / 1e6;
    fig.finish_ms = (double)(p.started_ns - reset_ns) / 1e6;
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    e2e::remove_sandboxes_at_signal(); // a benchmark stopped with Ctrl-C leaves no sandbox behind
    size_t size = argc > 1 ? strtoul(argv[1], nullptr, 0) : 1024 * 1024;
    std::mt19937 rng(1);
    std::vector<uint8_t> image(size);
    for (auto &b : image) b = (uint8_t)rng();
    bool ok = true;
    printf("Firmware load of %zu bytes by krcan, device reset delay 10 ms\n", size);
    for (uint32_t bitrate : {250000u, 1000000u}) {
        for (bool kr : {false, true}) {
            figures_st fig;
            if (!run(bitrate, kr, image, fig)) {
                ok = false;
                continue;
            }
            double share = fig.data_s / fig.span_s * 100.0;
            // The share has its limit at 250 kbit/s; at 1 Mbit/s it is reported.
            double limit = kr ? 70.0 : 90.0;
            bool pass = (bitrate != 250000u || share >= limit) && fig.start_ms + fig.finish_ms < 300.0;
            ok = ok && pass;
            printf(
                "%-9s %7u bit/s: first frame to final reset %.2f s (%.1f kB/s), %llu data segments of %llu frames "
                "on the wire %.2f s -> %.1f%% (limit %.0f%% at 250 kbit/s); start to first frame %.1f ms + final reset to "
                "image running %.1f ms = %.1f ms (limit 300 ms) %s\n",
                kr ? "krloadbin" : "loadbin", bitrate, fig.span_s, size / fig.span_s / 1000.0,
                (unsigned long long)fig.segments, (unsigned long long)fig.frames, fig.data_s, share, limit,
                fig.start_ms, fig.finish_ms, fig.start_ms + fig.finish_ms, pass ? "ok" : "BELOW");
            fflush(stdout);
        }
    }
    return ok ? 0 : 1;
}
