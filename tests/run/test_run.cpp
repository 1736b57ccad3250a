// The job queue and the end of the run, driven in a forked child (the run ends the process).
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "read_all.h"
#include "run/commands.h"
#include "run/main.h"

namespace {

int trace_fd = -1; // the child's end of the pipe the jobs write their trace into

void trace(const char *what)
{
    char line[64];
    int n = std::snprintf(line, sizeof line, "%s %u\n", what, kr_rtos_get_tick_count());
    (void)!write(trace_fd, line, (size_t)n);
}

void job_a(void *)
{
    trace("a+");
    kr_rtos_task_delay(30);
    trace("a-");
}
void job_b(void *)
{
    trace("b+");
    kr_rtos_task_delay(5);
    trace("b-");
}
void job_c(void *)
{
    trace("c+");
    kr_rtos_yield();
    trace("c-");
}
void job_fail(void *)
{
    trace("f");
    main_set_run_failed();
}

struct child_result {
    int status = -1;
    std::string trace; // what the jobs traced
    std::string out;   // the child's standard output
    std::string err;   // the child's standard error
};

// Runs `body` in a child whose standard output and error go to pipes; returns after the child ended.
template <typename F> child_result in_child(F body)
{
    int t[2], o[2], e[2];
    EXPECT_EQ(pipe(t), 0);
    EXPECT_EQ(pipe(o), 0);
    EXPECT_EQ(pipe(e), 0);
    std::fflush(stdout);
    std::fflush(stderr);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(o[1], 1);
        dup2(e[1], 2);
        close(t[0]);
        close(o[0]);
        close(e[0]);
        close(o[1]);
        close(e[1]);
        trace_fd = t[1];
        body();
        _exit(99); // the run never comes back
    }
    close(t[1]);
    close(o[1]);
    close(e[1]);
    child_result r;
    // The child writes little; reading stdout and stderr one after another cannot block it.
    r.trace = read_all(t[0]);
    r.out = read_all(o[0]);
    r.err = read_all(e[0]);
    close(t[0]);
    close(o[0]);
    close(e[0]);
    waitpid(pid, &r.status, 0);
    return r;
}

// Trace lines "name tick" → names in order, and the tick of each.
std::vector<std::pair<std::string, unsigned>> parse(const std::string &trace)
{
    std::vector<std::pair<std::string, unsigned>> v;
    char name[16];
    unsigned tick;
    const char *p = trace.c_str();
    int used;
    while (std::sscanf(p, "%15s %u\n%n", name, &tick, &used) == 2) {
        v.emplace_back(name, tick);
        p += used;
    }
    return v;
}

TEST(Run, JobsRunOneAfterAnotherInQueueOrder)
{
    child_result r = in_child([] {
        init(&dev);
        ASSERT_TRUE(add_task(job_a));
        ASSERT_TRUE(add_task(job_b));
        ASSERT_TRUE(add_task(job_c));
        main_start_run();
    });
    ASSERT_TRUE(WIFEXITED(r.status)) << r.err;
    EXPECT_EQ(WEXITSTATUS(r.status), 0) << r.err;
    auto v = parse(r.trace);
    ASSERT_EQ(v.size(), 6u) << r.trace;
    const char *order[] = {"a+", "a-", "b+", "b-", "c+", "c-"};
    for (size_t i = 0; i < 6; i++) EXPECT_EQ(v[i].first, order[i]) << r.trace;
    EXPECT_GE(v[1].second - v[0].second, 30u) << "a's delay let nothing else start";
    EXPECT_EQ(r.err, "") << "silent: no Finished";
}

TEST(Run, FinishedAndRunFailedFlag)
{
    child_result ok = in_child([] {
        init(&dev);
        silent = false;
        main_start_run();
    });
    ASSERT_TRUE(WIFEXITED(ok.status));
    EXPECT_EQ(WEXITSTATUS(ok.status), 0);
    EXPECT_EQ(ok.err.substr(ok.err.size() >= 9 ? ok.err.size() - 9 : 0), "Finished\n") << ok.err;

    child_result failed = in_child([] {
        init(&dev);
        silent = false;
        add_task(job_fail);
        add_task(job_b);
        main_start_run();
    });
    ASSERT_TRUE(WIFEXITED(failed.status));
    EXPECT_EQ(WEXITSTATUS(failed.status), 1);
    EXPECT_EQ(parse(failed.trace).size(), 3u) << "the jobs after a failed one still run";
    EXPECT_NE(failed.err.find("Finished\n"), std::string::npos);
}

TEST(Run, QueueHoldsFiveJobs)
{
    child_result r = in_child([] {
        init(&dev);
        for (int i = 0; i < TASKS_LEN; i++)
            if (!add_task(job_c)) _exit(10 + i);
        if (add_task(job_c)) _exit(20);
        if (dev.tasks.len != TASKS_LEN) _exit(21);
        _exit(0);
    });
    ASSERT_TRUE(WIFEXITED(r.status));
    EXPECT_EQ(WEXITSTATUS(r.status), 0);
    EXPECT_NE(r.out.find("at most 5 commands"), std::string::npos) << r.out;
}

TEST(Run, OutputBeforeCtrlCIsKept)
{
    // Standard output is a pipe here; the Ctrl-C handler ends the process without flushing.
    child_result r = in_child([] {
        main_setup_output();
        init(&dev);
        std::printf("progress line\n");
        std::printf("open progress");
        kr_init(&dev);
        raise(SIGINT);
    });
    ASSERT_TRUE(WIFEXITED(r.status)) << r.err;
    EXPECT_EQ(WEXITSTATUS(r.status), 2);
    EXPECT_EQ(r.out.rfind("progress line\n", 0), 0u) << r.out;
    EXPECT_NE(r.err.find("Caught signal, terminating\n"), std::string::npos);
}

TEST(Run, ProgressLinesOnAPipe)
{
    child_result r = in_child([] {
        LOG("reading 0x%x", 0x1018);
        LOG("reading %s", "next");
        LOG_OK();
        LOG_OK(); // nothing open: nothing printed
        LOG("writing");
        LOG_END();
        LOG_END();
        std::fflush(stdout);
        _exit(log_line_live ? 1 : 0);
    });
    ASSERT_TRUE(WIFEXITED(r.status));
    EXPECT_EQ(WEXITSTATUS(r.status), 0);
    EXPECT_EQ(r.out, "reading 0x1018\nreading next OK\nwriting\n") << "no colour into a pipe";
}

} // namespace
