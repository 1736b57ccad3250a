// Clocks, percentiles and output helpers the benchmarks share. Header-only.
#pragma once

#include <fcntl.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace bench {

inline double mono_ms()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec * 1e3 + (double)ts.tv_nsec / 1e6;
}

// User plus system time of this process.
inline double cpu_ms()
{
    rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return (double)(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1e3 +
           (double)(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e3;
}

// User plus system time of another process, or -1 when it cannot be read.
inline double proc_cpu_ms(pid_t pid)
{
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    std::string s((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    const size_t close = s.rfind(')');
    if (close == std::string::npos) return -1;
    std::istringstream in(s.substr(close + 2));
    std::string field;
    unsigned long long ut = 0, st = 0;
    for (int i = 3; i <= 15 && in >> field; ++i) {
        if (i == 14) ut = std::stoull(field);
        if (i == 15) st = std::stoull(field);
    }
    return (double)(ut + st) * 1000.0 / (double)sysconf(_SC_CLK_TCK);
}

// The nearest-rank percentile (p from 0 to 1); 0 for no samples.
inline double percentile(std::vector<double> v, double p)
{
    if (v.empty()) return 0;
    size_t i = std::min(v.size() - 1, (size_t)(p * (double)(v.size() - 1) + 0.5));
    std::nth_element(v.begin(), v.begin() + (long)i, v.end());
    return v[i];
}

// Standard output to /dev/null for a scope: the display back end prints while it builds atlases.
struct quiet_stdout {
    int saved;
    quiet_stdout()
    {
        std::fflush(stdout);
        saved = dup(1);
        int n = open("/dev/null", O_WRONLY);
        dup2(n, 1);
        close(n);
    }
    ~quiet_stdout()
    {
        std::fflush(stdout);
        dup2(saved, 1);
        close(saved);
    }
    quiet_stdout(const quiet_stdout &) = delete;
    quiet_stdout &operator=(const quiet_stdout &) = delete;
};

} // namespace bench
