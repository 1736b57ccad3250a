// Loads generated device databases of 50 and 500 objects (one in five an array of 48 elements,
// ten objects to a content file) and reports the median load time of each and their ratio.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "database/db.h"
#include "run/main.h"

namespace fs = std::filesystem;

static std::string object(int i)
{
    std::string name = "\"name\": \"OBJECT " + std::to_string(i) +
                       "\", \"index\": \"BASE\", \"index_offset\": " + std::to_string(i) +
                       ", \"permissions\": \"CANOPEN_RW\", \"dataptr\": \"&obj" + std::to_string(i) + "\"";
    if (i % 5 == 0) {
        std::string data;
        for (int k = 0; k < 48; ++k)
            data += (k ? ", " : "") + std::string("{\"name\": \"E") + std::to_string(k) +
                    "\", \"min\": 0, \"max\": \"LIMIT\", \"default\": \"MODE_ON\"}";
        return "{" + name + ", \"type\": \"CANOPEN_ARRAY16\", \"data\": [" + data + "]}";
    }
    return "{" + name +
           ", \"type\": \"CANOPEN_UNSIGNED16\", \"subindex\": 0, \"min\": 0, \"max\": \"LIMIT\", "
           "\"default\": \"0x10\"}";
}

static std::string generate(const fs::path &dir, int objects)
{
    fs::create_directories(dir);
    std::string entries;
    for (int file = 0; file * 10 < objects; ++file) {
        std::string content;
        for (int i = file * 10; i < std::min(objects, file * 10 + 10); ++i)
            content += (content.empty() ? "" : ", ") + object(i);
        std::string name = "part" + std::to_string(file) + ".json";
        std::ofstream(dir / name) << "{\"content\": [" << content << "]}";
        entries += (entries.empty() ? "" : ", ") + std::string("{\"content\": \"") + name + "\"}";
    }
    std::string root = dir / "db.json";
    std::ofstream(root) << "{\"DEV\": \"Bench\", \"NODEID\": 16, \"DEFINES\": [{\"LIMIT\": 1000}, {\"BASE\": 8192}, "
                           "{\"name\": \"MODE\", \"value\": [\"OFF\", \"ON\"]}], \"OBJ_DICT\": ["
                        << entries
                        << "], \"TXPDO\": [{\"cobid\": \"0x180\", \"transmission\": \"A\", \"inhibittime\": 10, "
                           "\"eventtimer\": 100, \"mappings\": [{\"param\": \"OBJECT_1\"}]}], \"RXPDO_COUNT\": 4}";
    return root;
}

static double median_load_ms(const std::string &path, int objects)
{
    std::vector<double> times;
    for (int run = 0; run < 25; ++run) {
        auto t0 = std::chrono::steady_clock::now();
        bool ok = cmd_db(path.c_str());
        double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
        if (!ok || dev.db.objects.len != objects) {
            std::fprintf(stderr, "load of %s failed\n", path.c_str());
            std::exit(1);
        }
        times.push_back(ms);
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

int main()
{
    char templ[] = "/tmp/krcan_bench_db_XXXXXX";
    fs::path dir = mkdtemp(templ);
    std::string small = generate(dir / "small", 50);
    std::string large = generate(dir / "large", 500);

    // The loader's messages go to standard output; keep them out of the figures.
    fflush(stdout);
    int saved = dup(1);
    int null_fd = open("/dev/null", O_WRONLY);
    dup2(null_fd, 1);
    double t50 = median_load_ms(small, 50);
    double t500 = median_load_ms(large, 500);
    fflush(stdout);
    dup2(saved, 1);
    close(null_fd);
    close(saved);

    std::printf("50 objects:  %.3f ms (median of 25 loads)\n", t50);
    std::printf("500 objects: %.3f ms (median of 25 loads)\n", t500);
    std::printf("ratio 500/50: %.1f (linear growth: about 10)\n", t500 / t50);
    fs::remove_all(dir);
    return t500 < 50.0 ? 0 : 1;
}
