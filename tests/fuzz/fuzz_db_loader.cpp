// The device database loader (--db) on hostile JSON and YAML: the first byte picks the format, the
// rest is the document. Content files are off, so no input reaches other files. Whatever it is
// given, a load ends (no crash, no overrun, no hang) and a refused load leaves no database loaded.
// Seeds: tests/fuzz/corpus/fuzz_db_loader/.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "database/db.h"
#include "../../src/database/db_internal.h"
#include "run/main.h"

namespace {

std::string folder;

void setup()
{
    if (!folder.empty()) return;
    char tmpl[] = "/tmp/krfuzz_db_XXXXXX";
    if (!mkdtemp(tmpl)) std::abort();
    folder = tmpl;
    // The loader's messages go to standard output: keep them off the fuzzer's log.
    int null_fd = open("/dev/null", O_WRONLY);
    if (null_fd >= 0) dup2(null_fd, 1);
    db_allow_content_files(false);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    setup();
    if (size == 0) return 0;
    std::string path = folder + ((data[0] & 1) ? "/db.yaml" : "/db.json");
    FILE *f = std::fopen(path.c_str(), "wb");
    if (!f) std::abort();
    std::fwrite(data + 1, 1, size - 1, f);
    std::fclose(f);
    bool ok = cmd_db(path.c_str());
    if (ok != db_is_loaded(&dev.db)) std::abort();
    // Whatever loaded has objects within their limits.
    for (uint16_t i = 0; ok && i < dev.db.objects.len; ++i)
        if (dev.db.objects_buffer[i].obj.type > 63 && dev.db.objects_buffer[i].array_max_size.value_int < 0)
            std::abort();
    db_deinit(&dev.db);
    return 0;
}
