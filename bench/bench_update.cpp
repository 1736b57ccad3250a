// Times `krcan --checkupdate` N times (default 100) against the stand-in curl, which answers at once with a
// manifest, and, interleaved, a bare spawn of the stand-in with the same kind of -K file. The difference of
// the medians is what krcan adds to one request: its start-up, the configuration file, the spawn through
// PATH, the manifest's parsing and the end of the run. Goal: under 20 ms.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "e2e/e2e.h"

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

// Wall time of one run in ms, or -1 when it failed.
static double time_one(const e2e::sandbox &box, const std::string &bin, const std::vector<std::string> &args,
                       const e2e::options &o)
{
    e2e::result r = box.run(bin, args, o);
    return r.exited(0) ? r.wall_ms : -1;
}

int main(int argc, char **argv)
{
    int runs = argc > 1 ? std::atoi(argv[1]) : 100;
    if (runs < 1) runs = 1;
    e2e::sandbox box;
    std::filesystem::create_directories(box.path("bin"));
    std::filesystem::create_symlink(CURL_STANDIN, box.path("bin/curl"));
    box.write_file("manifest", R"({"version":999999999,"name":"339-gabcd","file":"krcan.tar.gz",)"
                               R"("released":"2026-12-01","notes":"notes"})");
    box.write_file("bare.cfg", "silent\nurl = \"https://x/latest.json\"\noutput = \"" + box.path("bare.out").string() +
                                   "\"\nwrite-out = \"%{http_code}\"\n");
    unsetenv("KR_CURL_LOG");
    e2e::options o;
    o.stdout_to = e2e::output::null_dev;
    o.path_prepend = {box.path("bin").string()};
    o.env = {{"KR_CURL_BODY", box.path("manifest").string()}, {"KR_CURL_PRINT", "200"}};

    std::vector<double> check, bare, version;
    const std::string curl = box.path("bin/curl").string();
    for (int i = 0; i < runs; i++) {
        double c = time_one(box, KRCAN_BIN, {"--checkupdate"}, o);
        double b = time_one(box, curl, {"-K", box.path("bare.cfg").string()}, o);
        double v = time_one(box, KRCAN_BIN, {"--version"}, o);
        if (c < 0 || b < 0 || v < 0) {
            std::fprintf(stderr, "a run failed (checkupdate %.1f, stand-in %.1f, version %.1f)\n", c, b, v);
            return 1;
        }
        check.push_back(c);
        bare.push_back(b);
        version.push_back(v);
    }

    double over = median(check) - median(bare);
    std::printf("krcan --checkupdate (stand-in curl): %d runs, median %.2f ms, p90 %.2f ms\n", runs, median(check),
                p90(check));
    std::printf("bare spawn of the stand-in: median %.2f ms, p90 %.2f ms\n", median(bare), p90(bare));
    std::printf("krcan --version (same runs): median %.2f ms\n", median(version));
    std::printf("checkupdate over the bare stand-in: %.2f ms (goal < 20 ms)\n", over);
    return over < 20.0 ? 0 : 2;
}
