// Opens and closes a 256 MiB .krdev (1,000 media files of random data) and copies the same file with
// std::filesystem::copy_file, the floor for moving those bytes; then runs `krcan --sys` on a system of
// 20 devices, each with a 1 MiB firmware and a 200-object database. Median of 3 runs each.
// Goals: open and close under 3 s; the --sys run under 1 s.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "e2e/e2e.h"
#include "run/main.h"
#include "system/package.h"
#include "system/package_builder.h"

namespace fs = std::filesystem;

static std::string random_bytes(std::mt19937_64 &rng, size_t n)
{
    std::string s(n, '\0');
    for (size_t i = 0; i + 8 <= n; i += 8) {
        uint64_t v = rng();
        std::memcpy(&s[i], &v, 8);
    }
    return s;
}

static double median_ms(int runs, const std::function<bool()> &fn)
{
    std::vector<double> t;
    for (int i = 0; i < runs; i++) {
        auto t0 = std::chrono::steady_clock::now();
        if (!fn()) {
            std::fprintf(stderr, "benchmark step failed\n");
            std::exit(1);
        }
        t.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
    }
    std::sort(t.begin(), t.end());
    return t[t.size() / 2];
}

static std::string database(int objects)
{
    std::string objs;
    for (int i = 0; i < objects; i++)
        objs += std::string(i ? ", " : "") + "{\"name\": \"OBJECT " + std::to_string(i) +
                "\", \"index\": \"0x2000\", \"index_offset\": " + std::to_string(i) +
                ", \"type\": \"CANOPEN_UNSIGNED16\", \"permissions\": \"CANOPEN_RW\", \"subindex\": 0, \"min\": 0, "
                "\"max\": 1000, \"default\": \"0x10\", \"dataptr\": \"&obj" +
                std::to_string(i) + "\"}";
    return "{\"DEV\": \"Bench\", \"VENDORID\": \"0x31D\", \"NODEID\": 16, \"OBJ_DICT\": [" + objs + "]}";
}

int main()
{
    e2e::remove_sandboxes_at_signal(); // a benchmark stopped with Ctrl-C leaves no sandbox behind
    // Every temporary folder, this program's and krcan's, goes to the sandbox's tmp/.
    e2e::sandbox box;
    fs::path dir = box.tmp();
    setenv("TMPDIR", dir.c_str(), 1);
    std::mt19937_64 rng(42);

    // 1,000 media files of 268,435 bytes: 256 MiB in all.
    std::vector<pkgtest::entry> media = {pkgtest::file("krdev.json", "{\"MEDIA\": \"media\", \"VERSION\": \"1\"}")};
    const size_t each = (256u << 20) / 1000;
    for (int i = 0; i < 1000; i++)
        media.push_back(pkgtest::file("media/m" + std::to_string(i) + ".png", random_bytes(rng, each)));
    std::string big = (dir / "big.krdev").string();
    if (!pkgtest::write_zip(big, media, true)) return 1;
    media.clear();

    double open_ms = median_ms(3, [&] {
        krdev_st k;
        bool ok = krdev_open(&k, big.c_str()) && fs::file_size(fs::path(k.dir) / "media/m999.png") == each;
        krdev_close(&k);
        return ok;
    });
    double copy_ms = median_ms(3, [&] {
        fs::path to = dir / "copy.krdev";
        bool ok = fs::copy_file(big, to, fs::copy_options::overwrite_existing);
        fs::remove(to);
        return ok;
    });
    std::printf("open and close a 256 MiB .krdev (1,000 media files): %.0f ms (median of 3; goal < 3000 ms)\n",
                open_ms);
    std::printf("copy_file of the same %.0f MiB: %.0f ms (median of 3)\n", fs::file_size(big) / 1048576.0, copy_ms);
    fs::remove(big);

    // 20 devices, each a 1 MiB firmware and a 200-object database, in one system package.
    std::string db = database(200);
    std::vector<pkgtest::entry> sys;
    std::string devs;
    for (int i = 0; i < 20; i++) {
        std::string one = (dir / "one.krdev").string();
        if (!pkgtest::write_zip(
                one, {pkgtest::file("krdev.json",
                                    "{\"DATABASE\": \"db.json\", \"FIRMWARE\": \"fw.bin\", \"VERSION\": \"1\"}"),
                      pkgtest::file("db.json", db), pkgtest::file("fw.bin", random_bytes(rng, 1u << 20))}))
            return 1;
        std::ifstream in(one, std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        sys.push_back(pkgtest::file("devs/d" + std::to_string(i) + ".krdev", bytes));
        devs += std::string(i ? "," : "") + "{\"NODEID\": " + std::to_string(0x10 + i) + ", \"KRDEV\": \"devs/d" +
                std::to_string(i) + ".krdev\"}";
    }
    sys.push_back(pkgtest::file("krsys.json", "{\"DEVS\": [" + devs + "]}"));
    std::string machine = (dir / "machine.krsys").string();
    if (!pkgtest::write_zip(machine, sys)) return 1;
    sys.clear();

    e2e::options quiet;
    quiet.stdout_to = e2e::output::null_dev;
    double sys_ms = median_ms(3, [&] { return box.krcan({"--sys", machine}, quiet).exited(0); });
    std::printf("krcan --sys of 20 devices (1 MiB firmware, 200-object database each; %.1f MiB package): %.0f ms "
                "(median of 3; goal < 1000 ms)\n",
                fs::file_size(machine) / 1048576.0, sys_ms);

    bool left = false;
    for (const auto &e : fs::directory_iterator(dir))
        left = left || e.path().filename().string().rfind("krcan_", 0) == 0;
    if (left) {
        std::printf("temporary folders were left behind\n");
        return 1;
    }
    return open_ms < 3000 && sys_ms < 1000 ? 0 : 2;
}
