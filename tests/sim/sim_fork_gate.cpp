#include "sim_fork_gate.h"

#include <pthread.h>

#include <condition_variable>
#include <mutex>

namespace {

std::mutex g_m;
std::condition_variable g_cv;
int g_working = 0;      // threads between two waits
bool g_forking = false; // a fork waits for, or is in, its copy

void before_fork()
{
    std::unique_lock<std::mutex> lk(g_m);
    g_forking = true;
    g_cv.wait(lk, [] { return g_working == 0; });
}

void after_fork()
{
    {
        std::lock_guard<std::mutex> lk(g_m);
        g_forking = false;
    }
    g_cv.notify_all();
}

void in_child()
{
    // Only the forking thread lives on; the lock is free (a waiting thread does not hold it).
    g_forking = false;
    g_working = 0;
}

void register_once()
{
    static std::once_flag once;
    std::call_once(once, [] { pthread_atfork(before_fork, after_fork, in_child); });
}

} // namespace

void sim_gate_enter()
{
    register_once();
    std::unique_lock<std::mutex> lk(g_m);
    g_cv.wait(lk, [] { return !g_forking; });
    g_working++;
}

void sim_gate_leave()
{
    {
        std::lock_guard<std::mutex> lk(g_m);
        g_working--;
    }
    g_cv.notify_all();
}

int sim_gate_poll(pollfd *fds, nfds_t n, int timeout_ms)
{
    sim_gate_leave();
    int r = poll(fds, n, timeout_ms);
    sim_gate_enter();
    return r;
}

int sim_gate_ppoll(pollfd *fds, nfds_t n, const timespec *timeout)
{
    sim_gate_leave();
    int r = ppoll(fds, n, timeout, nullptr);
    sim_gate_enter();
    return r;
}
