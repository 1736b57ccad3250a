// Main window benchmarks, in the release tree under Xvfb with llvmpipe:
//   xvfb-run -a -s "-screen 0 1280x800x24" build-release/bench_krui [idle seconds, default 60]
// 1. Idle CPU of krcan's open window on a bus of 20 simulated devices, over 60 s (goal: 2% of a core).
// 2. One frame of the loop without its 20 ms wait, 20 devices and their tabs: as the loop runs it, and
//    with a full redraw forced every frame (goals: 1 ms and 15 ms).
// 3. The frame while a job prints 1000 lines a second into the log (goal: 20 ms).
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "e2e/e2e.h"
#include "../src/ui/krui_internal.h"
#include "sim_setup.h"
#include "system/system.h"

namespace {

using bench::mono_ms;
using bench::percentile;
using bench::proc_cpu_ms;

std::vector<sim_device_config_st> twenty()
{
    std::vector<sim_device_config_st> v;
    for (int i = 0; i < 20; ++i) {
        sim_device_config_st c;
        c.node_id = (uint8_t)(0x10 + i);
        c.start_operational = i % 2 == 0;
        c.heartbeat_ms = 1000;
        v.push_back(c);
    }
    return v;
}

void idle_cpu(int seconds)
{
    sim_setup_st bus;
    std::string err;
    if (!sim_setup_start(bus, twenty(), 0, err)) {
        std::printf("idle: no bus: %s\n", err.c_str());
        return;
    }
    // The stand-in curl answers the update check at once, without the network.
    e2e::sandbox box;
    std::filesystem::create_directories(box.path("bin"));
    std::filesystem::create_symlink(KR_BIN_DIR "/kr_curl_standin", box.path("bin/curl"));
    e2e::options o;
    o.stdout_to = e2e::output::null_dev;
    o.path_prepend = {box.path("bin").string()};
    e2e::background krcan(box, KRCAN_BIN, {"--can", bus.channel, "--ui"}, o);
    std::this_thread::sleep_for(std::chrono::seconds(10)); // window up, devices found
    if (!krcan.running()) {
        std::printf("idle: krcan did not start\n");
    } else {
        const double c0 = proc_cpu_ms(krcan.pid()), t0 = mono_ms();
        std::this_thread::sleep_for(std::chrono::seconds(seconds));
        const double c1 = proc_cpu_ms(krcan.pid()), t1 = mono_ms();
        std::printf("idle window, 20 devices, %d s: %.2f%% of one core (goal 2%%)\n", seconds,
                    100.0 * (c1 - c0) / (t1 - t0));
    }
    krcan.stop();
    sim_setup_stop(bus);
}

// The window captures standard output into its log; results go to the console it started on.
int console_fd = 1;

void report(const char *what, const std::vector<double> &t, double goal)
{
    dprintf(console_fd, "%s: p50 %.3f ms, p99 %.3f ms, max %.3f ms over %zu frames (goal %.0f ms)\n", what,
            percentile(t, 0.5), percentile(t, 0.99), *std::max_element(t.begin(), t.end()), t.size(), goal);
}

void frame_times()
{
    init(&dev);
    if (!krui_start()) {
        std::printf("frames: no window\n");
        return;
    }
    for (int i = 0; i < 20; ++i) {
        device_st *d = system_add_empty_device(&dev.system);
        if (!d) break;
        d->nodeid = (uint8_t)(0x10 + i);
        std::snprintf(d->name, sizeof d->name, "device_with_a_long_package_name_%d", i);
        d->state = i % 2 ? DEV_STATE_OP : DEV_STATE_PREOP;
    }
    for (int i = 0; i < 50; ++i) krui_frame(false);
    std::vector<double> plain, full, printing;
    for (int i = 0; i < 500; ++i) {
        const double t0 = mono_ms();
        krui_frame(false);
        plain.push_back(mono_ms() - t0);
    }
    for (int i = 0; i < 300; ++i) {
        kr_ui_request_refresh();
        const double t0 = mono_ms();
        krui_frame(false);
        full.push_back(mono_ms() - t0);
    }
    // A job printing 20 lines every 20 ms beside the loop, which runs with its wait.
    std::atomic<bool> stop{false};
    std::thread job([&] {
        int n = 0;
        double next = mono_ms();
        while (!stop) {
            for (int i = 0; i < 20; ++i) std::printf("job output line %d with some text after it\n", n++);
            std::fflush(stdout);
            next += 20;
            std::this_thread::sleep_for(std::chrono::microseconds((long)std::max(0.0, (next - mono_ms()) * 1000)));
        }
    });
    for (int i = 0; i < 250; ++i) {
        const double t0 = mono_ms();
        krui_frame(false);
        printing.push_back(mono_ms() - t0);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    stop = true;
    job.join();
    report("frame, 20 devices, as the loop runs it", plain, 1);
    report("frame, 20 devices, full redraw", full, 15);
    report("frame while a job prints 1000 lines/s", printing, 20);
}

} // namespace

int main(int argc, char **argv)
{
    e2e::remove_sandboxes_at_signal(); // a benchmark stopped with Ctrl-C leaves no sandbox behind
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 60;
    console_fd = dup(1);
    if (seconds > 0) idle_cpu(seconds);
    std::fflush(stdout);
    frame_times();
    std::fflush(stdout);
    _exit(0);
}
