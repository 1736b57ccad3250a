// Times `krcan --checkupdate` N times (default 100) against the stand-in curl, which answers at once with a
// manifest, and, interleaved, a bare spawn of the stand-in with the same kind of -K file. The difference of
// the medians is what krcan adds to one request: its start-up, the configuration file, the spawn through
// PATH, the manifest's parsing and the end of the run. Goal: under 20 ms.
#include <fcntl.h>
#include <spawn.h>
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

static double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

static double p90(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, (v.size() * 9) / 10)];
}

static double time_one(const char *bin, std::vector<const char *> args, posix_spawn_file_actions_t *fa, bool want_ok)
{
    args.insert(args.begin(), bin);
    args.push_back(nullptr);
    auto t0 = std::chrono::steady_clock::now();
    pid_t pid;
    if (posix_spawnp(&pid, bin, fa, nullptr, const_cast<char *const *>(args.data()), environ) != 0) return -1;
    int status = 0;
    waitpid(pid, &status, 0);
    auto t1 = std::chrono::steady_clock::now();
    if (want_ok && (!WIFEXITED(status) || WEXITSTATUS(status) != 0)) return -1;
    return std::chrono::duration<double, std::milli>(t1 - t0).count();
}

static bool write_file(const std::string &path, const std::string &text)
{
    FILE *f = std::fopen(path.c_str(), "w");
    if (!f) return false;
    bool ok = std::fputs(text.c_str(), f) >= 0;
    return std::fclose(f) == 0 && ok;
}

int main(int argc, char **argv)
{
    int runs = argc > 1 ? std::atoi(argv[1]) : 100;
    if (runs < 1) runs = 1;
    char dir_tmpl[] = "/tmp/krcan_bench_update_XXXXXX";
    if (!mkdtemp(dir_tmpl)) return 1;
    std::string dir = dir_tmpl, bin = dir + "/bin", tmp = dir + "/tmp", cfg = dir + "/config";
    mkdir(bin.c_str(), 0700);
    mkdir(tmp.c_str(), 0700);
    mkdir(cfg.c_str(), 0700);
    if (symlink(CURL_STANDIN, (bin + "/curl").c_str()) != 0 ||
        !write_file(dir + "/manifest", R"({"version":999999999,"name":"339-gabcd","file":"krcan.tar.gz",)"
                                       R"("released":"2026-12-01","notes":"notes"})") ||
        !write_file(dir + "/bare.cfg", "silent\nurl = \"https://x/latest.json\"\noutput = \"" + dir +
                                           "/bare.out\"\nwrite-out = \"%{http_code}\"\n")) {
        std::fprintf(stderr, "setup failed\n");
        return 1;
    }
    const char *path = std::getenv("PATH");
    setenv("PATH", (bin + ":" + (path ? path : "/usr/bin:/bin")).c_str(), 1);
    setenv("TMPDIR", tmp.c_str(), 1);
    setenv("XDG_CONFIG_HOME", cfg.c_str(), 1);
    setenv("KR_CURL_BODY", (dir + "/manifest").c_str(), 1);
    setenv("KR_CURL_PRINT", "200", 1);
    unsetenv("KR_CURL_LOG");

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    std::vector<double> check, bare, version;
    std::string bare_cfg = dir + "/bare.cfg";
    for (int i = 0; i < runs; i++) {
        double c = time_one(KRCAN_BIN, {"--checkupdate"}, &fa, true);
        double b = time_one("curl", {"-K", bare_cfg.c_str()}, &fa, true);
        double v = time_one(KRCAN_BIN, {"--version"}, &fa, true);
        if (c < 0 || b < 0 || v < 0) {
            std::fprintf(stderr, "a run failed (checkupdate %.1f, stand-in %.1f, version %.1f)\n", c, b, v);
            return 1;
        }
        check.push_back(c);
        bare.push_back(b);
        version.push_back(v);
    }
    posix_spawn_file_actions_destroy(&fa);
    std::string rm[] = {dir + "/bin/curl", dir + "/manifest", dir + "/bare.cfg", dir + "/bare.out"};
    for (const std::string &f : rm) unlink(f.c_str());
    for (const std::string &d : {bin, tmp, cfg, dir}) rmdir(d.c_str());

    double over = median(check) - median(bare);
    std::printf("krcan --checkupdate (stand-in curl): %d runs, median %.2f ms, p90 %.2f ms\n", runs, median(check),
                p90(check));
    std::printf("bare spawn of the stand-in: median %.2f ms, p90 %.2f ms\n", median(bare), p90(bare));
    std::printf("krcan --version (same runs): median %.2f ms\n", median(version));
    std::printf("checkupdate over the bare stand-in: %.2f ms (goal < 20 ms)\n", over);
    return over < 20.0 ? 0 : 2;
}
