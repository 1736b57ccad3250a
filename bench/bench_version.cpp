// Spawns `krcan --version` N times (default 200) without a shell, with an account file in its settings
// folder, and reports the median and p90 wall time from spawn to exit. Goal: median below 10 ms. /bin/true is
// timed the same way, interleaved, as the machine's floor for one spawn, so a loaded machine shows in the figures.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

extern char **environ;

struct stats {
    double median, p90, min, max;
};

static stats summarise(std::vector<double> ms)
{
    std::sort(ms.begin(), ms.end());
    size_t i90 = (ms.size() * 9) / 10;
    if (i90 >= ms.size()) i90 = ms.size() - 1;
    return {ms[ms.size() / 2], ms[i90], ms.front(), ms.back()};
}

// Wall time of one run in ms, or a negative number when it failed; its CPU time (user + system) in *cpu_ms.
static double time_one(const char *bin, const char *arg, posix_spawn_file_actions_t *fa, double *cpu_ms)
{
    char *args[] = {const_cast<char *>(bin), const_cast<char *>(arg), nullptr};
    auto t0 = std::chrono::steady_clock::now();
    pid_t pid;
    if (posix_spawn(&pid, bin, fa, nullptr, args, environ) != 0) return -1;
    int status = 0;
    struct rusage ru = {};
    wait4(pid, &status, 0, &ru);
    auto t1 = std::chrono::steady_clock::now();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
    *cpu_ms = (ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1e3 + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e3;
    return std::chrono::duration<double, std::milli>(t1 - t0).count();
}

// A settings folder of its own holding an account file, so each run reads one as a user's would.
static std::string account_folder()
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

int main(int argc, char **argv)
{
    int runs = argc > 1 ? std::atoi(argv[1]) : 200;
    if (runs < 1) runs = 1;
    std::string config = account_folder();
    if (config.empty() || setenv("XDG_CONFIG_HOME", config.c_str(), 1) != 0) {
        std::fprintf(stderr, "no settings folder for the account file\n");
        return 1;
    }
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    std::vector<double> krcan, krcan_cpu, floor;
    for (int i = 0; i < runs; i++) {
        double cpu = 0, true_cpu = 0;
        double k = time_one(KRCAN_BIN, "--version", &fa, &cpu);
        double t = time_one("/bin/true", nullptr, &fa, &true_cpu);
        if (k < 0) {
            std::fprintf(stderr, "krcan --version failed\n");
            return 1;
        }
        krcan.push_back(k);
        krcan_cpu.push_back(cpu);
        if (t >= 0) floor.push_back(t);
    }
    posix_spawn_file_actions_destroy(&fa);
    std::string rm = config + "/krcan/account.conf";
    unlink(rm.c_str());
    rmdir((config + "/krcan").c_str());
    rmdir(config.c_str());
    stats s = summarise(krcan);
    std::printf("krcan --version (account file present): %d runs, median %.2f ms, p90 %.2f ms, min %.2f ms, max %.2f ms (goal: median < 10 ms)\n",
                runs, s.median, s.p90, s.min, s.max);
    stats c = summarise(krcan_cpu);
    std::printf("krcan --version CPU time (user + system): median %.2f ms, p90 %.2f ms\n", c.median, c.p90);
    if (!floor.empty()) {
        stats f = summarise(floor);
        std::printf("/bin/true (spawn floor): median %.2f ms, p90 %.2f ms, min %.2f ms\n", f.median, f.p90, f.min);
    }
    return s.median < 10.0 ? 0 : 2;
}
