// Runs a scheduler scenario in a forked child: the scheduler never returns, so every scenario
// gets a fresh process. Results come back through shared memory; the child ends with exit().
#pragma once

#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <new>

template <class T> T *shared_block()
{
    void *p = mmap(nullptr, sizeof(T), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return nullptr;
    return new (p) T();
}

template <class T> void free_shared(T *p) { munmap(p, sizeof(T)); }

// Returns the child's wait status. The alarm is the time-out: a hung scenario dies by SIGALRM.
template <class F> int run_child(F body, unsigned timeout_s = 30)
{
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        alarm(timeout_s);
        body();
        _exit(99); // the scenario must end the process from a task
    }
    int status = -1;
    while (waitpid(pid, &status, 0) < 0) {
    }
    return status;
}

inline bool exited_with(int status, int code) { return WIFEXITED(status) && WEXITSTATUS(status) == code; }

inline double mono_ms()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}
