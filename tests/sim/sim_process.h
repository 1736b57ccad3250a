// Running the simulator programs (kr_hub, kr_simdev) from tests: spawned without a shell, their
// standard output readable line by line. Test code.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

struct sim_proc_st {
    pid_t pid = -1;
    int out_fd = -1;     // the child's standard output (read end)
    int in_fd = -1;      // the child's standard input (write end)
    std::string out_buf; // read but not yet taken as lines
};

// Starts argv[0] (searched on PATH when it has no '/'). Standard error stays the test's.
bool sim_proc_spawn(sim_proc_st &p, const std::vector<std::string> &argv, std::string &err);
// One line of the child's standard output without its '\n'; false on time-out or end.
bool sim_proc_read_line(sim_proc_st &p, std::string &line, int timeout_ms);
// Writes to the child's standard input.
bool sim_proc_write(sim_proc_st &p, const std::string &text);
// Sends `sig` (when still running) and waits up to timeout_ms; returns the wait status, or -1
// when the child had to be killed.
int sim_proc_stop(sim_proc_st &p, int sig, int timeout_ms = 5000);
// Waits for the child to end by itself; the wait status, or -1 on time-out (child left running).
int sim_proc_wait(sim_proc_st &p, int timeout_ms);

// Starts the kr_hub program from the build tree (bin_dir) and reads its port.
bool sim_hub_proc_start(sim_proc_st &p, const std::string &bin_dir, unsigned bitrate, unsigned &port, std::string &err);

// Starts kr_simdev from the build tree on the hub's port with these extra options, and waits
// for its "ready".
bool sim_simdev_proc_start(sim_proc_st &p, const std::string &bin_dir, unsigned port,
                           const std::vector<std::string> &options, std::string &err);
