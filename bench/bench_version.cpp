// Spawns `krcan --version` N times (default 200) without a shell and reports the median and p90 wall time
// from spawn to exit. Goal: median below 10 ms.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

extern char **environ;

int main(int argc, char **argv)
{
    int runs = argc > 1 ? std::atoi(argv[1]) : 200;
    if (runs < 1) runs = 1;
    const char *bin = KRCAN_BIN;
    std::vector<double> ms;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    for (int i = 0; i < runs; i++) {
        char *args[] = {const_cast<char *>(bin), const_cast<char *>("--version"), nullptr};
        auto t0 = std::chrono::steady_clock::now();
        pid_t pid;
        if (posix_spawn(&pid, bin, &fa, nullptr, args, environ) != 0) {
            std::perror("posix_spawn");
            return 1;
        }
        int status = 0;
        waitpid(pid, &status, 0);
        auto t1 = std::chrono::steady_clock::now();
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            std::fprintf(stderr, "krcan --version failed (status 0x%x)\n", status);
            return 1;
        }
        ms.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
    }
    posix_spawn_file_actions_destroy(&fa);
    std::sort(ms.begin(), ms.end());
    double median = ms[ms.size() / 2];
    double p90 = ms[(ms.size() * 9) / 10 < ms.size() ? (ms.size() * 9) / 10 : ms.size() - 1];
    std::printf("krcan --version: %d runs, median %.2f ms, p90 %.2f ms, min %.2f ms, max %.2f ms (goal: median < 10 ms)\n",
                runs, median, p90, ms.front(), ms.back());
    return median < 10.0 ? 0 : 2;
}
