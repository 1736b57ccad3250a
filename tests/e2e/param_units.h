// Two simulated units at 0x20 and 0x22 with a parameter object each (0x2000 u32 "gain", 0x2020:1 u8),
// their database and parameter files: the bench of the window's parameter-job tests. Header-only.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "run/console.h"
#include "e2e/sim_bench.h"
#include "sim_setup.h"

namespace paramunits {

inline const char *const db_json = R"({"DEV": "Unit", "NODEID": 32, "REVISIONNUMBER": 1, "OBJ_DICT": [
  {"name": "canif", "index": "0x2fff", "type": "CANOPEN_UNSIGNED16", "permissions": "CANOPEN_RO", "data_type": "CAN_IF",
   "subindex": 0, "value": 1, "dataptr": "&a"},
  {"name": "suppress emcy", "index": "0x2020", "type": "CANOPEN_UNSIGNED8", "permissions": "CANOPEN_RW",
   "subindex": 1, "min": 0, "max": 1, "default": 0, "dataptr": "&c"}]})";

// A file setting gain to value at node; queries go before the rest, extra entries after gain.
inline std::string param_file(int node, uint32_t value, const std::string &queries = "", const std::string &extra = "")
{
    return "{" + queries + R"("CAN IF VERSION": 1, "CAN IF MINDEX": "0x2fff", "CAN IF SINDEX": 0, "NODEID": )" +
           std::to_string(node) +
           R"(, "PARAMS": [{"INFO": "gain", "MAININDEX": "0x2000", "TYPE": "CANOPEN_UNSIGNED32", "DATA": )" +
           std::to_string(value) + "}" + extra + "]}";
}

// The bench with its tap (which hears the units boot) and the two units, without heartbeats; false with
// err when something did not start.
inline bool start(sim_setup_st &bench, std::string &err)
{
    if (!sim_setup_start(bench, {}, 0, err, true)) return false;
    std::vector<sim_device_config_st> devs;
    for (uint8_t n : {0x20, 0x22}) {
        sim_device_config_st d;
        d.node_id = n;
        d.heartbeat_ms = 0;
        devs.push_back(d);
    }
    if (!sim_setup_add_devices(bench, devs, err)) return false;
    for (uint8_t n : {0x20, 0x22}) {
        sim_dev_add_object(bench.devs, n, 0x2000, 0, simbench::object(SIM_U32, {0, 0, 0, 0}));
        sim_dev_add_object(bench.devs, n, 0x2020, 1, simbench::object(SIM_U8, {0}));
    }
    return true;
}

// In the child that runs the library: standard output and error unbuffered into child.out and
// child.err in dir, standard input from the pipe the tests answer prompts through.
inline void capture_output(const std::string &dir)
{
    int out = open((dir + "/child.out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int err = open((dir + "/child.err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(out, 1);
    dup2(err, 2);
    setvbuf(stdout, nullptr, _IONBF, 0);
    setvbuf(stderr, nullptr, _IONBF, 0);
    kr_stdin_use_pipe();
}

} // namespace paramunits

// The two builders, by their short names in every test that includes this.
using paramunits::db_json;
using paramunits::param_file;
