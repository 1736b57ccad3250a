// Runs the library start-up and nothing else for a while, then reports the CPU time the process
// used and the time between two steps of the library task (median, 99th percentile, worst).
#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "bench_support.h"
#include "kr_rtos.h"
#include "kr_utilities.h"

extern "C" void __real__kr_canopen_step(uint32_t step_ms);

namespace {

using bench::mono_ms;
using bench::cpu_ms;
using bench::percentile;

constexpr size_t MAX_STEPS = 1u << 20;
double *step_times;
size_t step_count;
uint32_t run_ms = 10000;

void print_periods(const char *what, std::vector<double> &periods)
{
    if (periods.empty()) return;
    double worst = *std::max_element(periods.begin(), periods.end());
    double median = percentile(periods, 0.5), p99 = percentile(periods, 0.99);
    std::printf("%s: median %.3f ms, p99 %.3f ms, worst %.3f ms\n", what, median, p99, worst);
}

// The floor of this machine: one thread that only sleeps to an absolute 2 ms grid.
void baseline()
{
    std::vector<double> periods;
    const double wall0 = mono_ms(), cpu0 = cpu_ms();
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    double last = mono_ms();
    for (uint32_t i = 0; i < run_ms / CONFIG_HAL_STEP_MS; ++i) {
        t.tv_nsec += CONFIG_HAL_STEP_MS * 1000000L;
        if (t.tv_nsec >= 1000000000L) {
            t.tv_nsec -= 1000000000L;
            t.tv_sec++;
        }
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, nullptr);
        double now = mono_ms();
        periods.push_back(now - last);
        last = now;
    }
    const double wall = mono_ms() - wall0, cpu = cpu_ms() - cpu0;
    std::printf("baseline, a bare 2 ms sleep loop for %.1f s: CPU %.3f%% of one core\n", wall / 1e3,
                100.0 * cpu / wall);
    print_periods("baseline period", periods);
}

void report(void *)
{
    // Let the start-up settle, then measure a clean window.
    kr_rtos_task_delay(200);
    step_count = 0;
    const double wall0 = mono_ms(), cpu0 = cpu_ms();
    kr_rtos_task_delay(run_ms);
    const double wall = mono_ms() - wall0, cpu = cpu_ms() - cpu0;
    const size_t n = step_count;

    std::vector<double> periods;
    for (size_t i = 1; i < n; ++i) periods.push_back(step_times[i] - step_times[i - 1]);
    std::printf("library task alone for %.1f s: %zu steps\n", wall / 1e3, n);
    std::printf("CPU time: %.1f ms = %.3f%% of one core (goal < 0.5%%)\n", cpu, 100.0 * cpu / wall);
    print_periods("step period (goal: p99 < 3 ms)", periods);
    std::fflush(stdout);
    std::exit(0);
}

} // namespace

extern "C" void __wrap__kr_canopen_step(uint32_t step_ms)
{
    if (step_count < MAX_STEPS) step_times[step_count++] = mono_ms();
    __real__kr_canopen_step(step_ms);
}

int main(int argc, char **argv)
{
    if (argc > 1) run_ms = (uint32_t)std::strtoul(argv[1], nullptr, 10);
    step_times = new double[MAX_STEPS];
    if (argc <= 2 || std::strcmp(argv[2], "nobaseline") != 0) baseline();
    kr_init(nullptr);
    kr_rtos_task_create(report, "report", 10240, nullptr, 0, nullptr);
    kr_rtos_start_scheduler();
    return 1;
}
