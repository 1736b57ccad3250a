// Start-up cost of a command-line run. Spawns, without a shell and interleaved, a hello-world linked with
// libsocketcan alone, `krcan --version` and `krcan --help sdoread`, N times each (default 200), with an
// account file in krcan's settings folder as a user's would have. Reports each one's median and p90 wall
// time from spawn to exit, its CPU time, and the ratio of each krcan run to the hello-world (goal:
// `krcan --version` at most 1.5 times it). Also lists the libraries krcan maps: none may be a window
// library. Exit status 0 when both hold, 2 otherwise. The machine's load is printed with the figures.
// Usage: bench_version [RUNS [KRCAN]]; KRCAN times another build's binary (an earlier one, say).
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "bench_support.h"

extern char **environ;

namespace {

constexpr double GOAL_RATIO = 1.5;
const char *const WINDOW_LIBS[] = {"libGL", "libGLX", "libGLdispatch", "libGLEW", "libglfw", "libX11", "libxcb", "libfreetype"};

struct program {
    const char *label;
    std::vector<const char *> argv;
    std::vector<double> wall, cpu;
};

// Wall time of one run in ms, or a negative number when it failed; its CPU time (user + system) in *cpu_ms.
double time_one(const std::vector<const char *> &argv, posix_spawn_file_actions_t *fa, double *cpu_ms)
{
    std::vector<char *> args;
    for (const char *a : argv) args.push_back(const_cast<char *>(a));
    args.push_back(nullptr);
    auto t0 = std::chrono::steady_clock::now();
    pid_t pid;
    if (posix_spawn(&pid, args[0], fa, nullptr, args.data(), environ) != 0) return -1;
    int status = 0;
    struct rusage ru = {};
    wait4(pid, &status, 0, &ru);
    auto t1 = std::chrono::steady_clock::now();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
    *cpu_ms = (double)(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1e3 +
              (double)(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e3;
    return std::chrono::duration<double, std::milli>(t1 - t0).count();
}

// A settings folder of its own holding an account file, so each run reads one as a user's would.
std::string account_folder()
{
    char dir[] = "/tmp/krcan_bench_version_XXXXXX";
    if (!mkdtemp(dir)) return "";
    std::string krcan = std::string(dir) + "/krcan";
    mkdir(krcan.c_str(), 0700);
    if (FILE *f = std::fopen((krcan + "/account.conf").c_str(), "w")) {
        std::fputs("username=bench\npassword=secret\nurl=files.example\nfleet_username=\nfleet_password=\n"
                   "fleet_url=fleet.example\ncheck_updates=1\n",
                   f);
        std::fclose(f);
    }
    return dir;
}

// The libraries the dynamic loader maps for krcan, one name each (what ldd lists).
std::vector<std::string> mapped_libraries(const char *krcan)
{
    int p[2];
    if (pipe(p) != 0) return {};
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, p[1], 1);
    posix_spawn_file_actions_addclose(&fa, p[0]);
    std::vector<std::string> env_s{"LD_TRACE_LOADED_OBJECTS=1"};
    std::vector<char *> env{env_s[0].data(), nullptr};
    char *args[] = {const_cast<char *>(krcan), nullptr};
    pid_t pid;
    const bool spawned = posix_spawn(&pid, krcan, &fa, nullptr, args, env.data()) == 0;
    posix_spawn_file_actions_destroy(&fa);
    close(p[1]);
    std::string out;
    char buf[4096];
    for (ssize_t n; (n = read(p[0], buf, sizeof buf)) > 0;) out.append(buf, (size_t)n);
    close(p[0]);
    if (spawned) waitpid(pid, nullptr, 0);
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
    const char *krcan = argc > 2 ? argv[2] : KRCAN_BIN;
    std::string config = account_folder();
    if (config.empty() || setenv("XDG_CONFIG_HOME", config.c_str(), 1) != 0) {
        std::fprintf(stderr, "no settings folder for the account file\n");
        return 1;
    }
    program progs[] = {
        {"hello-world (libsocketcan)", {HELLO_BIN}, {}, {}},
        {"krcan --version", {krcan, "--version"}, {}, {}},
        {"krcan --help sdoread", {krcan, "--help", "sdoread"}, {}, {}},
    };
    const std::string load_before = load_average();
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    for (int i = 0; i < runs; i++) {
        for (program &p : progs) {
            double cpu = 0;
            const double wall = time_one(p.argv, &fa, &cpu);
            if (wall < 0) {
                std::fprintf(stderr, "%s failed\n", p.label);
                return 1;
            }
            p.wall.push_back(wall);
            p.cpu.push_back(cpu);
        }
    }
    posix_spawn_file_actions_destroy(&fa);
    unlink((config + "/krcan/account.conf").c_str());
    rmdir((config + "/krcan").c_str());
    rmdir(config.c_str());

    std::printf("start-up of %s, %d runs each, interleaved; load average %s before, %s after\n", krcan, runs,
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

    const std::vector<std::string> libs = mapped_libraries(krcan);
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
