// Start-up cost of a command-line run. Spawns, without a shell and interleaved, a hello-world linked with
// libsocketcan alone, `krcan --version` and `krcan --help sdoread`, N times each (default 200), with an
// account file in krcan's settings folder as a user's would have. Reports each one's median and p90 wall
// time from spawn to exit, its CPU time, and the ratio of each krcan run to the hello-world (goal:
// `krcan --version` at most 1.5 times it). Also lists the libraries krcan maps: none may be a window
// library. Exit status 0 when both hold, 2 otherwise. The machine's load is printed with the figures.
// Usage: bench_version [RUNS [KRCAN]]; KRCAN times another build's binary (an earlier one, say).
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "bench_support.h"
#include "e2e/e2e.h"

namespace {

constexpr double GOAL_RATIO = 1.5;
const char *const WINDOW_LIBS[] = {"libGL",   "libGLX", "libGLdispatch", "libGLEW",
                                   "libglfw", "libX11", "libxcb",        "libfreetype"};

struct program {
    const char *label;
    std::string bin;
    std::vector<std::string> args;
    std::vector<double> wall, cpu;
};

// The libraries the dynamic loader maps for krcan, one name each (what ldd lists).
std::vector<std::string> mapped_libraries(const e2e::sandbox &box, const std::string &krcan)
{
    e2e::options o;
    o.env = {{"LD_TRACE_LOADED_OBJECTS", "1"}};
    const std::string out = box.run(krcan, {}, o).out;
    std::vector<std::string> libs;
    size_t at = 0;
    while (at < out.size()) {
        size_t end = out.find('\n', at);
        if (end == std::string::npos) end = out.size();
        const std::string line = out.substr(at, end - at);
        const size_t b = line.find_first_not_of(" \t");
        if (b != std::string::npos) libs.push_back(line.substr(b, line.find_first_of(" \t", b) - b));
        at = end + 1;
    }
    return libs;
}

std::string load_average()
{
    std::ifstream f("/proc/loadavg");
    std::string one, five, fifteen;
    f >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen + " on " + std::to_string(sysconf(_SC_NPROCESSORS_ONLN)) + " CPUs";
}

} // namespace

int main(int argc, char **argv)
{
    int runs = argc > 1 ? std::atoi(argv[1]) : 200;
    if (runs < 1) runs = 1;
    const std::string krcan = argc > 2 ? argv[2] : KRCAN_BIN;
    // An account file in the settings folder, so each run reads one as a user's would.
    e2e::sandbox box;
    box.write_file("config/krcan/account.conf",
                   "username=bench\npassword=secret\nurl=files.example\nfleet_username=\nfleet_password=\n"
                   "fleet_url=fleet.example\ncheck_updates=1\n");
    program progs[] = {
        {"hello-world (libsocketcan)", HELLO_BIN, {}, {}, {}},
        {"krcan --version", krcan, {"--version"}, {}, {}},
        {"krcan --help sdoread", krcan, {"--help", "sdoread"}, {}, {}},
    };
    const std::string load_before = load_average();
    e2e::options quiet;
    quiet.stdout_to = e2e::output::null_dev;
    for (int i = 0; i < runs; i++) {
        for (program &p : progs) {
            const e2e::result r = box.run(p.bin, p.args, quiet);
            if (!r.exited(0)) {
                std::fprintf(stderr, "%s failed\n", p.label);
                return 1;
            }
            p.wall.push_back(r.wall_ms);
            p.cpu.push_back(r.cpu_ms);
        }
    }

    std::printf("start-up of %s, %d runs each, interleaved; load average %s before, %s after\n", krcan.c_str(), runs,
                load_before.c_str(), load_average().c_str());
    const double floor = bench::percentile(progs[0].wall, 0.5);
    double version_ratio = 0;
    for (const program &p : progs) {
        const double median = bench::percentile(p.wall, 0.5);
        std::printf("  %-28s median %7.2f ms, p90 %7.2f ms, min %7.2f ms; CPU median %6.2f ms", p.label, median,
                    bench::percentile(p.wall, 0.9), bench::percentile(p.wall, 0), bench::percentile(p.cpu, 0.5));
        if (&p != &progs[0]) std::printf("; %.2fx the hello-world", median / floor);
        std::printf("\n");
        if (&p == &progs[1]) version_ratio = median / floor;
    }
    std::printf("  goal: krcan --version at most %.1fx the hello-world: %s\n", GOAL_RATIO,
                version_ratio <= GOAL_RATIO ? "met" : "MISSED");

    const std::vector<std::string> libs = mapped_libraries(box, krcan);
    std::string window;
    for (const std::string &l : libs) {
        for (const char *w : WINDOW_LIBS) {
            if (l.compare(0, std::strlen(w), w) == 0 && l.size() > std::strlen(w) && l[std::strlen(w)] == '.')
                window += " " + l;
        }
    }
    std::printf("krcan maps %zu libraries; window libraries among them:%s\n", libs.size(),
                window.empty() ? " none" : window.c_str());
    return libs.empty() || !window.empty() || version_ratio > GOAL_RATIO ? 2 : 0;
}
