// Runs the library (CAN port, library task, CANopen stack) in a forked child on the virtual bus, with
// scripted SDO servers and a bus tap in the parent. The scheduler never returns, so every scenario
// gets a process of its own; it reports "key=value" lines through a pipe and ends with its status.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "kr_can.h"
#include "kr_canopen.h"
#include "kr_rtos.h"
#include "kr_utilities.h"
#include "sim/sim_client.h"
#include "sim/sim_frame.h"
#include "sim/sim_hub.h"
#include "sim/sim_setup.h"
#include "canopen/kr_canopen_private.h"

namespace co {

inline int g_report_fd = -1;

// Child side: one line to the parent.
inline void report(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
inline void report(const char *fmt, ...)
{
    char line[512];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(line, sizeof(line) - 1, fmt, ap);
    va_end(ap);
    if (n < 0) return;
    if (n > (int)sizeof(line) - 2) n = (int)sizeof(line) - 2;
    line[n++] = '\n';
    if (g_report_fd >= 0) {
        ssize_t w = write(g_report_fd, line, (size_t)n);
        (void)w;
    }
}

struct result_st {
    int status = -1000;                    // exit code; -signal when killed; -1000 on time-out
    std::map<std::string, std::string> kv; // the child's reports
    std::string text;

    std::string get(const std::string &k) const
    {
        auto it = kv.find(k);
        return it == kv.end() ? std::string("<missing>") : it->second;
    }
    long num(const std::string &k) const { return std::strtol(get(k).c_str(), nullptr, 0); }
};

inline std::function<int()> *g_scenario = nullptr;
// The running bus test's bench: once the child has ended, run() waits until the tap has all it sent.
inline sim_setup_st *g_bench = nullptr;

inline void scenario_task(void *)
{
    int rc = (*g_scenario)();
    report("end=1");
    _exit(rc);
}

// A forked copy of a process that already runs threads (hub, tap, scripted devices) may inherit a
// lock some thread held; so the child is a fresh run of this test program, told by the
// environment to be the child. It runs the same test up to run(), where it becomes the library.
inline bool child_mode() { return std::getenv("KRCO_CHILD_PORT") != nullptr; }

[[noreturn]] inline void child_run(std::function<int()> scenario, uint8_t nodeid)
{
    g_report_fd = std::atoi(std::getenv("KRCO_CHILD_FD"));
    unsigned port = (unsigned)std::atoi(std::getenv("KRCO_CHILD_PORT"));
    const char *dir = std::getenv("KRCO_CHILD_DIR");
    if (!dir || chdir(dir) != 0) _exit(97);
    silent = true;
    std::string chn = "socketcand://127.0.0.1:" + std::to_string(port) + "/vcan0";
    kr_can_set_baudrate(chn.c_str(), 250000);
    const char *err = kr_can_set_up(true);
    if (err) {
        report("setup=%s", err);
        _exit(98);
    }
    kr_init(nullptr);
    if (nodeid) _kr_canopen_init(nodeid);
    g_scenario = new std::function<int()>(std::move(scenario));
    kr_rtos_task_create(scenario_task, "scenario", 51200, nullptr, 2, nullptr);
    kr_rtos_start_scheduler();
    _exit(99);
}

// Runs `scenario` in a child process that opens the bus at `port`, starts the library and runs
// the scenario in a job task (priority 2, as the tool's jobs). The scenario's return value is the
// child's status. One run per test.
inline result_st run(uint16_t port, std::function<int()> scenario, int timeout_ms = 60000, uint8_t nodeid = 0)
{
    if (child_mode()) child_run(std::move(scenario), nodeid);
    result_st res;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return res;
    int child_fd = fcntl(fds[1], F_DUPFD, 100); // without close-on-exec: the child's end
    const ::testing::TestInfo *ti = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string filter = std::string("--gtest_filter=") + ti->test_suite_name() + "." + ti->name();
    std::vector<std::string> env_s;
    for (char **e = environ; *e; e++)
        if (std::strncmp(*e, "TMPDIR=", 7) != 0) env_s.push_back(*e);
    env_s.push_back("KRCO_CHILD_PORT=" + std::to_string(port));
    env_s.push_back("KRCO_CHILD_FD=" + std::to_string(child_fd));
    // The child's working folder, made and removed here: the child may end any way it likes.
    char dir[] = "/tmp/krcan_co_XXXXXX";
    if (!mkdtemp(dir)) {
        close(child_fd);
        close(fds[0]);
        close(fds[1]);
        return res;
    }
    struct dir_guard {
        std::string path;
        ~dir_guard()
        {
            std::error_code ec;
            std::filesystem::remove_all(path, ec);
        }
    } guard{dir};
    env_s.push_back(std::string("KRCO_CHILD_DIR=") + dir);
    env_s.push_back(std::string("KR_TEST_SCRATCH=") + dir);
    env_s.push_back(std::string("TMPDIR=") + dir); // what the library extracts there goes with it
    std::vector<char *> envp;
    for (auto &e : env_s) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    char *argv[] = {self.data(), filter.data(), nullptr};
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, self.c_str(), &fa, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&fa);
    close(child_fd);
    close(fds[1]);
    if (rc != 0) {
        close(fds[0]);
        return res;
    }
    std::string buf;
    int status = 0;
    bool ended = false;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd p{fds[0], POLLIN, 0};
        if (poll(&p, 1, (int)std::min<long>(left.count(), 200)) <= 0) continue;
        char tmp[4096];
        ssize_t n = read(fds[0], tmp, sizeof tmp);
        if (n > 0) buf.append(tmp, (size_t)n);
        if (n == 0) {
            waitpid(pid, &status, 0);
            ended = true;
            break;
        }
    }
    if (!ended) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    close(fds[0]);
    if (g_bench) {
        EXPECT_TRUE(sim_setup_settle(*g_bench)) << "the bench did not settle";
    }
    res.text = buf;
    size_t pos = 0;
    while (pos < buf.size()) {
        size_t nl = buf.find('\n', pos);
        if (nl == std::string::npos) nl = buf.size();
        std::string line = buf.substr(pos, nl - pos);
        size_t eq = line.find('=');
        if (eq != std::string::npos) res.kv[line.substr(0, eq)] = line.substr(eq + 1);
        pos = nl + 1;
    }
    if (!ended)
        res.status = -1000;
    else if (WIFEXITED(status))
        res.status = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        res.status = -WTERMSIG(status);
    return res;
}

// A scripted device: a bus client on its own thread that answers the frames it sees.
struct responder_st {
    sim_client_st client;
    std::thread thread;
    std::atomic<bool> stop{false};
    std::function<void(responder_st &, const sim_frame_st &)> on_frame;

    void send(const sim_frame_st &f) { sim_client_send(client, f); }
    void send(uint32_t id, std::initializer_list<uint8_t> bytes) { send(sim_frame_std(id, bytes)); }
};

inline bool responder_start(responder_st &r, uint16_t port,
                            std::function<void(responder_st &, const sim_frame_st &)> on_frame)
{
    r.on_frame = std::move(on_frame);
    if (child_mode()) return true; // the parent serves
    if (!sim_client_connect(r.client, "127.0.0.1", port, "vcan0")) return false;
    r.thread = std::thread([&r] {
        while (!r.stop) {
            sim_frame_st f;
            if (sim_client_recv(r.client, f, 50)) r.on_frame(r, f);
        }
    });
    return true;
}

inline void responder_stop(responder_st &r)
{
    r.stop = true;
    if (r.thread.joinable()) r.thread.join();
    sim_client_close(r.client);
}

// The test's own CRC-16/XMODEM, written apart from the library's.
inline uint16_t crc16_xmodem(const uint8_t *p, size_t n)
{
    uint16_t crc = 0;
    for (size_t i = 0; i < n; i++) {
        crc ^= (uint16_t)(p[i] << 8);
        for (int b = 0; b < 8; b++) crc = (crc & 0x8000) ? (uint16_t)((crc << 1) ^ 0x1021) : (uint16_t)(crc << 1);
    }
    return crc;
}

inline uint32_t le32(const uint8_t *p)
{
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}

// Frames of one identifier, in bus order.
inline std::vector<sim_frame_st> with_id(const std::vector<sim_frame_st> &frames, uint32_t id)
{
    std::vector<sim_frame_st> out;
    for (const auto &f : frames)
        if (f.kind == SIM_FRAME_STD && f.id == id) out.push_back(f);
    return out;
}

// A hub and a bus tap for each test. The child process only runs the library and sets up nothing.
class bus_test : public ::testing::Test {
protected:
    sim_setup_st bench;
    sim_hub_st *&hub = bench.hub;
    sim_tap_st *&tap = bench.tap;
    uint16_t &port = bench.port;

    void SetUp() override
    {
        if (child_mode()) return;
        std::string err;
        ASSERT_TRUE(sim_setup_start(bench, {}, 0, err, true)) << err;
        g_bench = &bench;
    }
    void TearDown() override
    {
        g_bench = nullptr;
        sim_setup_stop(bench);
    }
};

} // namespace co
