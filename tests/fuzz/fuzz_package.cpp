// Fuzz target: the input is a package file. It is opened as a device package and as a system package
// with lowered caps; whatever opens, nothing may land outside the extraction folder, no manifest path
// may leave it, and closing leaves no folder behind.
// Seeds in tests/fuzz/corpus/fuzz_package/ were written with tests/system/package_builder.h.
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "run/main.h"
#include "system/package.h"
#include "system/system.h"

namespace fs = std::filesystem;

static std::string work, tmp, input;
static system_st fuzz_system;
static int null_fd = -1;

static void check(bool ok, const char *what)
{
    if (!ok) {
        std::fprintf(stderr, "fuzz_package: %s\n", what);
        std::abort();
    }
}

// Every entry under dir, links resolved where they lead anywhere, stays under dir.
static void check_tree(const std::string &dir)
{
    char real_dir[PATH_MAX];
    check(realpath(dir.c_str(), real_dir) != nullptr, "the folder resolves");
    std::string prefix = std::string(real_dir) + "/";
    std::error_code ec;
    for (fs::recursive_directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        char real[PATH_MAX];
        if (!realpath(it->path().c_str(), real)) continue; // a dangling link leads nowhere
        check(std::string(real) + "/" == prefix || std::string(real).rfind(prefix, 0) == 0,
              "an entry leaves the folder");
    }
}

static bool only_input_left()
{
    std::error_code ec;
    for (const auto &e : fs::directory_iterator(work, ec))
        if (e.path() != input && e.path() != tmp) return false;
    return fs::is_empty(tmp, ec);
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    char t[] = "/tmp/krcan_fuzzpkg_XXXXXX";
    if (!mkdtemp(t)) std::abort();
    work = t;
    tmp = work + "/tmp";
    input = work + "/in.krdev";
    fs::create_directories(tmp);
    setenv("TMPDIR", tmp.c_str(), 1);
    std::atexit([] {
        std::error_code ec;
        fs::remove_all(work, ec);
    });
    archive_set_limits(1u << 20, 64);
    silent = true;
    // Results of the system package go to standard output: not wanted in the fuzz log.
    null_fd = open("/dev/null", O_WRONLY);
    if (null_fd < 0) std::abort();
    dup2(null_fd, STDOUT_FILENO);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > (1u << 20)) return 0;
    FILE *f = std::fopen(input.c_str(), "wb");
    if (!f) std::abort();
    std::fwrite(data, 1, size, f);
    std::fclose(f);

    krdev_st k;
    if (krdev_open(&k, input.c_str())) {
        check(fs::path(k.dir).parent_path() == tmp, "extracted under TMPDIR");
        check_tree(k.dir);
        for (const char *p : {k.database, k.firmware, k.linux_bin, k.media})
            check(!p[0] || package_path_is_inside(p), "a manifest path leaves the package");
        check(k.esp32_count <= KRDEV_ESP32_MAX_COUNT, "ESP32 images fit");
        for (uint16_t i = 0; i < k.esp32_count; i++)
            check(package_path_is_inside(k.esp32[i].file), "an ESP32 path leaves the package");
        krdev_close(&k);
    }
    check(only_input_left(), "a device package left something behind");

    // Skipped elements are reported on standard error whatever silent says; kept out of the fuzz log.
    system_reset(&fuzz_system);
    std::fflush(stderr);
    int saved_err = dup(STDERR_FILENO);
    dup2(null_fd, STDERR_FILENO);
    bool opened = system_set_file(&fuzz_system, input.c_str());
    std::fflush(stderr);
    dup2(saved_err, STDERR_FILENO);
    close(saved_err);
    if (opened) {
        check_tree(fuzz_system.extract_dir);
        check(fuzz_system.dev_count <= SYSTEM_MAX_DEVICES, "devices fit");
        std::string prefix = std::string(fuzz_system.extract_dir) + "/";
        for (uint8_t i = 0; i < fuzz_system.dev_count; i++) {
            const device_st &d = fuzz_system.devs[i];
            check(std::string(d.filepath).rfind(prefix, 0) == 0, "a device package lies outside");
            check(package_path_is_inside(d.filepath + prefix.size()), "a device package path leaves");
            check(!d.param_file[0] || package_path_is_inside(d.param_file + prefix.size()), "a parameter path leaves");
            check(d.nodeid <= 127, "node ids stay in range");
        }
    }
    system_remove_tmpdirs();
    check(only_input_left(), "a system package left something behind");
    return 0;
}
