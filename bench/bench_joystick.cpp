// The joystick driver under the scheduler, fed over the virtual bus by a plain client, with a back end
// that time-stamps its calls:
//   1. the task's period: the start of each pass (the return of its delay-until, wrapped at link time)
//      over 3000 passes, while the client sends a new value every 1 ms;
//   2. latency: 2000 frames, each at a random phase of the 10 ms grid, from the send to the axis call;
//   3. CPU of the process over 10 s with the driver running and nothing on the bus, beside 10 s with
//      the driver stopped (the library task alone).
#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "bus/find.h"
#include "joystick/joystick.h"
#include "kr_rtos.h"
#include "sim_setup.h"

namespace {

using bench::mono_ms;
using bench::cpu_ms;
using bench::percentile;

constexpr size_t PASSES = 3000, FRAMES = 2000;
constexpr uint32_t COBID = 0x190;

// Written by the joystick task, read by the client thread.
std::vector<double> syncs; // pass starts
std::atomic<bool> record_syncs{false};
std::atomic<size_t> sync_count{0};
std::atomic<int32_t> last_axis{0};
std::atomic<double> last_axis_ms{0};
std::atomic<uint32_t> axis_calls{0};
std::atomic<int> phase{0}; // 1: period, 2: latency, 3: done

bool rec_open(const char *, char *, size_t) { return true; }
void rec_close(void) {}
const char *rec_name(void) { return "bench"; }
void rec_axis(uint8_t, int32_t value)
{
    last_axis_ms = mono_ms();
    last_axis = value;
    axis_calls++;
}
void rec_button(uint8_t, bool) {}
void rec_sync(void) {}
const jsdriver_ops_st bench_ops = {rec_open, rec_close, rec_name, rec_axis, rec_button, rec_sync};

sim_client_st peer;

void send_value(uint16_t v)
{
    uint8_t b[2] = {(uint8_t)v, (uint8_t)(v >> 8)};
    if (!sim_client_send(peer, sim_frame_make(COBID, b, 2))) {
        std::fprintf(stderr, "bench_joystick: send failed\n");
        std::_Exit(1);
    }
}

void client()
{
    // 1. Period.
    record_syncs = true;
    for (uint32_t v = 0; sync_count < PASSES + 1; v++) {
        send_value((uint16_t)(v % 1000));
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    record_syncs = false;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));

    // 2. Latency: each frame after a random wait, once the previous one has reached the back end.
    std::mt19937 rng(21);
    std::uniform_int_distribution<int> wait_us(3000, 23000);
    std::vector<double> lat;
    for (size_t i = 0; i < FRAMES; i++) {
        std::this_thread::sleep_for(std::chrono::microseconds(wait_us(rng)));
        uint16_t v = (uint16_t)(i % 2 ? 100 : 900);
        int32_t want = joystick_axis_output(v, 0, 1000, false);
        uint32_t calls = axis_calls;
        double sent = mono_ms();
        send_value(v);
        while (axis_calls == calls || last_axis != want) {
            if (mono_ms() - sent > 2000) {
                std::fprintf(stderr, "bench_joystick: frame %zu never reached the back end\n", i);
                std::_Exit(1);
            }
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
        lat.push_back(last_axis_ms - sent);
    }
    std::vector<double> periods;
    for (size_t i = 1; i < syncs.size(); i++) periods.push_back(syncs[i] - syncs[i - 1]);
    double sum = 0, dev99;
    for (double p : periods) sum += p;
    std::vector<double> dev;
    for (double p : periods) dev.push_back(p > 10 ? p - 10 : 10 - p);
    dev99 = percentile(dev, 0.99);
    double mean = sum / (double)periods.size();
    std::printf("task period over %zu passes: mean %.3f ms (%.2f %% off 10 ms; goal within 1 %%), p99 deviation "
                "%.3f ms (goal <= 1 ms), worst %.3f ms\n",
                periods.size(), mean, 100.0 * (mean - 10) / 10, dev99,
                *std::max_element(periods.begin(), periods.end()));
    std::printf("TXPDO to back-end call over %zu frames: p50 %.2f ms (goal <= 7), p99 %.2f ms (goal <= 13), worst "
                "%.2f ms\n",
                lat.size(), percentile(lat, 0.5), percentile(lat, 0.99), *std::max_element(lat.begin(), lat.end()));
    std::fflush(stdout);
    phase = 3;
}

void bench_job(void *)
{
    if (kr_can_set_up(true) != nullptr) {
        std::fprintf(stderr, "bench_joystick: CAN\n");
        std::_Exit(1);
    }
    find_start_monitor();
    joystick_conf_st c;
    joystick_conf_reset(&c);
    c.slots[0].nodeid = 0x10;
    c.slots[0].cobid = COBID;
    c.slots[0].size = 2;
    c.slots[0].max = 1000;
    c.slots[0].threshold = 1;
    joystick_set_conf(&c);
    joystick_step();
    if (!joystick_is_running()) std::_Exit(1);
    std::thread t(client);
    t.detach();
    while (phase != 3) kr_rtos_task_delay(100);

    // 3. Idle: the driver running with nothing on the bus, then the library task alone.
    kr_rtos_task_delay(1500); // the values go stale and the outputs settle first
    double w0 = mono_ms(), c0 = cpu_ms();
    kr_rtos_task_delay(10000);
    double running = cpu_ms() - c0, wr = mono_ms() - w0;
    joystick_stop();
    w0 = mono_ms();
    c0 = cpu_ms();
    kr_rtos_task_delay(10000);
    double stopped = cpu_ms() - c0, ws = mono_ms() - w0;
    std::printf("idle CPU over %.1f s: %.3f %% of a core with the driver running (goal < 1 %%), %.3f %% without "
                "it\n",
                wr / 1e3, 100.0 * running / wr, 100.0 * stopped / ws);
    std::fflush(stdout);
    std::_Exit(0);
}

} // namespace

extern "C" void __real_kr_rtos_task_delay_until(uint32_t *previous_wake, uint32_t period_ms);
extern "C" void __wrap_kr_rtos_task_delay_until(uint32_t *previous_wake, uint32_t period_ms)
{
    __real_kr_rtos_task_delay_until(previous_wake, period_ms);
    if (record_syncs && syncs.size() < PASSES + 1) {
        syncs.push_back(mono_ms());
        sync_count = syncs.size();
    }
}

int main()
{
    std::string err;
    sim_setup_st bench;
    if (!sim_setup_start(bench, {}, 0, err) || !sim_client_connect(peer, "127.0.0.1", bench.port, "vcan0")) {
        std::fprintf(stderr, "bench_joystick: no hub: %s\n", err.c_str());
        return 1;
    }
    syncs.reserve(PASSES + 1);
    static int app;
    kr_init(&app);
    kr_can_set_baudrate(bench.channel.c_str(), 250000);
    jsdriver_set_backend(&bench_ops);
    kr_rtos_task_create(bench_job, "bench", 51200, nullptr, 2, nullptr);
    kr_rtos_start_scheduler();
    return 1;
}
