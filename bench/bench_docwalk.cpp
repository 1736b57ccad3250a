// The time per entry of reading a joystick configuration and loading a parameter file, at 1k, 10k and
// 100k entries, no bus. The joystick document goes through joystick_conf_read. The parameter file goes
// through the load run itself (loadparam_step, system mode, so nothing is stored or reset): its entries
// hold empty value arrays, so each entry is walked, read and dispatched without a transfer.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "bench_support.h"
#include "database/db.h"
#include "joystick/joystick.h"
#include "params/loadparam.h"
#include "run/main.h"

namespace {

std::string tmp_path(const std::string &name)
{
    return std::string(std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp") + "/" + name;
}

void write_file(const std::string &path, const std::string &text) { std::ofstream(path) << text; }

std::string joystick_doc(uint32_t n)
{
    std::string d = "{\"NAME\": \"bench\", \"AXES\": [";
    for (uint32_t i = 0; i < n; i++) d += std::string(i ? "," : "") + "{\"AXIS\": \"X\", \"NODEID\": 32}";
    return d + "], \"BUTTONS\": []}";
}

std::string param_doc(uint32_t n)
{
    std::string d = "{\"NODEID\": 32, \"PARAMS\": [";
    for (uint32_t i = 0; i < n; i++)
        d += std::string(i ? "," : "") + "{\"MAININDEX\": \"0x2000\", \"TYPE\": \"CANOPEN_UNSIGNED8\", \"DATA\": []}";
    return d + "]}";
}

// Standard output and input moved aside for the run: its notes to /dev/null, its one question
// (the file gives no CAN interface version) answered with an empty line.
struct quiet_run {
    int out = dup(1), in = dup(0);
    quiet_run()
    {
        std::fflush(stdout);
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        close(null);
        int p[2];
        if (pipe(p) == 0) {
            (void)!::write(p[1], "\n", 1);
            close(p[1]);
            dup2(p[0], 0);
            close(p[0]);
        }
    }
    ~quiet_run()
    {
        std::fflush(stdout);
        dup2(out, 1);
        dup2(in, 0);
        close(out);
        close(in);
    }
};

double joystick_us_per_entry(uint32_t n)
{
    const std::string path = tmp_path("bench_docwalk_joystick.json");
    write_file(path, joystick_doc(n));
    joystick_conf_st conf;
    double t0 = bench::mono_ms();
    bool ok = joystick_conf_read(&conf, path.c_str());
    double ms = bench::mono_ms() - t0;
    std::remove(path.c_str());
    return ok ? ms * 1000.0 / n : -1;
}

double params_us_per_entry(uint32_t n)
{
    const std::string path = tmp_path("bench_docwalk_params.json");
    write_file(path, param_doc(n));
    loadparam_st &l = dev.loadparam;
    l.current_file = 0;
    l.dev_count = 0;
    l.sys_load_mode = true;
    loadparam_clear_files();
    loadparam_queries_reset();
    bool ok = loadparam_set_file(0, path.c_str());
    double t0 = bench::mono_ms();
    {
        quiet_run q;
        loadparam_step(nullptr);
    }
    double ms = bench::mono_ms() - t0;
    std::remove(path.c_str());
    return ok && l.success ? ms * 1000.0 / n : -1;
}

} // namespace

int main()
{
    const std::string db = tmp_path("bench_docwalk_db.json");
    write_file(db, R"({"DEV": "Bench", "NODEID": 32, "OBJ_DICT": [{"name": "gain", "index": "0x2000",
      "type": "CANOPEN_UNSIGNED8", "permissions": "CANOPEN_RW", "subindex": 0, "default": 0, "dataptr": "&g"}]})");
    {
        quiet_run q;
        cmd_db(db.c_str());
    }
    std::remove(db.c_str());
    std::printf("%10s %22s %22s\n", "entries", "joystick us/entry", "parameters us/entry");
    for (uint32_t n : {1000u, 10000u, 100000u})
        std::printf("%10u %22.3f %22.3f\n", (unsigned)n, joystick_us_per_entry(n), params_us_per_entry(n));
    return 0;
}
