// Runs the tool's entry point in a forked child of the test program, so a test can first change
// in-process settings (shorter time limits, folders) that the binary offers no option for. The child
// runs in the sandbox's folder with its HOME, XDG_CONFIG_HOME and TMPDIR; its standard output and
// error go to files there. Header-only.
#ifndef KR_KRCAN_CHILD_H
#define KR_KRCAN_CHILD_H

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "e2e/e2e.h"
#include "run/main.h"

namespace e2e {

// Runs body in a forked child set up as above; the child ends with body's result (or ends itself).
inline result run_in_child(const sandbox &box, const std::function<int()> &body, const options &o = {})
{
    static int serial = 0;
    std::string tag = std::to_string(getpid()) + "_" + std::to_string(serial++);
    std::string out_path = (box.dir() / ("child_out_" + tag)).string();
    std::string err_path = (box.dir() / ("child_err_" + tag)).string();
    std::vector<std::string> env = box.environment(o);
    std::fflush(stdout);
    std::fflush(stderr);
    auto t0 = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0); // its own group, so a time-out also ends what it started
        int in = open("/dev/null", O_RDONLY);
        int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || out < 0 || err < 0 || chdir(box.dir().c_str()) != 0) _exit(98);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        clearenv();
        for (const std::string &e : env) putenv(const_cast<char *>(e.c_str()));
        // The test program's own objects (hub, devices, their threads) were copied into the child
        // without their threads; ending without exit handlers keeps the leak check off them.
        on_exit(
            [](int status, void *) {
                std::fflush(stdout);
                std::fflush(stderr);
                _exit(status);
            },
            nullptr);
        int rc = body();
        std::fflush(stdout);
        std::fflush(stderr);
        _exit(rc);
    }
    result r;
    int status = 0;
    for (;;) {
        if (waitpid(pid, &status, WNOHANG) == pid) break;
        if (detail::ms_since(t0) >= o.timeout_ms) {
            kill(-pid, SIGKILL);
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            r.timed_out = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    r.wall_ms = detail::ms_since(t0);
    detail::decode_status(status, r);
    r.out = box.read_file("child_out_" + tag);
    r.err = box.read_file("child_err_" + tag);
    return r;
}

// krcan's entry point with these arguments, after setup.
inline result krcan_in_child(const sandbox &box, const std::vector<std::string> &args,
                             const std::function<void()> &setup, const options &o = {})
{
    return run_in_child(
        box,
        [&args, &setup] {
            if (setup) setup();
            std::vector<char *> argv{const_cast<char *>("krcan")};
            for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
            argv.push_back(nullptr);
            return krcan_main((int)argv.size() - 1, argv.data());
        },
        o);
}

} // namespace e2e

#endif
