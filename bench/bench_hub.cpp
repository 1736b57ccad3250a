// Frames per second through the hub unpaced, and the delivered rate at 1 Mbit/s and 250 kbit/s
// as a fraction of what a real bus carries for the same frames.
#include "sim_client.h"
#include "sim_setup.h"

#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

// SDO-like traffic: 8-byte standard frames with varied data.
static sim_frame_st bench_frame(uint32_t i)
{
    uint8_t d[8] = {(uint8_t)(i & 0x7F), (uint8_t)i, (uint8_t)(i >> 8), (uint8_t)(i >> 16), 0x5A, 0xA5, 0, 0xFF};
    sim_frame_st f = sim_frame_make(0x600 + (i % 7) + 1, d, 8);
    return f;
}

struct result_st {
    double seconds = 0; // first to last frame at the receiver
    double bus_seconds = 0;
    uint32_t received = 0;
};

static bool run(uint32_t bitrate, uint32_t n, result_st &res)
{
    std::string err;
    sim_setup_st bench;
    if (!sim_setup_start(bench, {}, bitrate, err)) {
        fprintf(stderr, "bench_hub: %s\n", err.c_str());
        return false;
    }
    sim_client_st a, b;
    if (!sim_client_connect(a, "127.0.0.1", bench.port, "vcan0") ||
        !sim_client_connect(b, "127.0.0.1", bench.port, "vcan0")) {
        fprintf(stderr, "bench_hub: %s%s\n", a.last_error.c_str(), b.last_error.c_str());
        sim_setup_stop(bench);
        return false;
    }
    int64_t first = 0, last = 0;
    std::thread rx([&] {
        sim_frame_st f;
        while (res.received < n && sim_client_recv(b, f, 5000)) {
            if (res.received == 0) first = f.rx_ns;
            last = f.rx_ns;
            res.received++;
        }
    });
    int64_t t0 = sim_mono_ns();
    for (uint32_t i = 0; i < n; i++) {
        sim_frame_st f = bench_frame(i);
        if (i > 0) res.bus_seconds += bitrate ? (double)sim_can_frame_bits(f) / bitrate : 0;
        sim_client_send(a, f);
    }
    rx.join();
    // Unpaced, count from the first send: the receiver may see the first frame late.
    res.seconds = (double)(last - (bitrate ? first : t0)) / 1e9;
    sim_client_close(a);
    sim_client_close(b);
    sim_setup_stop(bench);
    return res.received == n;
}

int main()
{
    result_st r;
    const uint32_t n_unpaced = 500000;
    if (!run(0, n_unpaced, r)) {
        fprintf(stderr, "bench_hub: unpaced run lost frames (%u of %u)\n", r.received, n_unpaced);
        return 1;
    }
    printf("unpaced: %u frames in %.3f s = %.0f frames/s\n", n_unpaced, r.seconds, n_unpaced / r.seconds);
    int rc = 0;
    for (uint32_t bitrate : {1000000u, 250000u}) {
        result_st p;
        uint32_t n = bitrate / 50; // about 2.5 s of bus time
        if (!run(bitrate, n, p)) {
            fprintf(stderr, "bench_hub: paced run lost frames (%u of %u)\n", p.received, n);
            return 1;
        }
        double rate = (n - 1) / p.seconds, theory = (n - 1) / p.bus_seconds;
        double frac = rate / theory;
        printf("paced %7u bit/s: %u frames, %.1f frames/s delivered, %.1f frames/s on a real bus: %.2f%%%s\n", bitrate,
               n, rate, theory, 100.0 * frac, (frac > 1.02 || frac < 0.98) ? " (outside 2%)" : "");
        if (frac > 1.02 || frac < 0.98) rc = 1;
    }
    return rc;
}
