// Child processes for the tool's outside programs (esptool, curl, zenity). The wait sleeps in poll on
// the child's pidfd, its output pipe and the signal handler's wake-up pipe, so the child's end, its
// output or a Ctrl-C wakes it at once. Any task may call these; the caller chooses whether the wait
// runs in a blocking section (the others run) or a critical section (nothing else runs).
#include "kr_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "kr_rtos.h"
#include "kr_rtos_port.h"

extern char **environ;

namespace {

using pclock = std::chrono::steady_clock;

// Without a pidfd (an old kernel) the child's end is looked for this often.
constexpr int NO_PIDFD_CHECK_MS = 10;

// Children the signal handler stops: lock-free atomics only, as the handler reads them. A negative
// pid stands for the child's whole group.
std::atomic<pid_t> signal_end_pids[4];
// Set while such a child is started and its pid not yet stored; that thread holds signals off meanwhile.
std::atomic<int> spawning{0};

void track(pid_t pid)
{
    for (auto &slot : signal_end_pids) {
        pid_t expected = 0;
        if (slot.compare_exchange_strong(expected, pid)) return;
    }
}

void untrack(pid_t pid)
{
    for (auto &slot : signal_end_pids) {
        pid_t expected = pid;
        slot.compare_exchange_strong(expected, 0);
        expected = -pid;
        slot.compare_exchange_strong(expected, 0);
    }
}

void close_fd(int &fd)
{
    if (fd >= 0) close(fd);
    fd = -1;
}

int open_pidfd(pid_t pid)
{
#ifdef SYS_pidfd_open
    long fd = syscall(SYS_pidfd_open, pid, 0); // close-on-exec by itself
    if (fd >= 0) return (int)fd;
#endif
    (void)pid;
    return -1;
}

bool wants_pipe(const kr_process_options_st &o)
{
    return o.stdio[1] == KR_PROCESS_PIPE || o.stdio[2] == KR_PROCESS_PIPE;
}

void map_stdio(posix_spawn_file_actions_t *fa, const kr_process_options_st &o, int pipe_write)
{
    for (int fd = 0; fd < 3; fd++) {
        if (o.stdio[fd] == KR_PROCESS_DEV_NULL)
            posix_spawn_file_actions_addopen(fa, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY, 0);
        else if (o.stdio[fd] == KR_PROCESS_PIPE && fd > 0)
            posix_spawn_file_actions_adddup2(fa, pipe_write, fd);
    }
    // Nothing of this process's but what was mapped: no socket or file stays open in the child.
    posix_spawn_file_actions_addclosefrom_np(fa, 3);
}

void default_signals(posix_spawnattr_t *attr, bool own_group)
{
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (int s : {SIGPIPE, SIGCHLD}) sigaddset(&defaults, s);
    unsigned n = 0;
    const int *ending = kr_ending_signals(&n);
    for (unsigned i = 0; i < n; i++) sigaddset(&defaults, ending[i]);
    posix_spawnattr_setsigmask(attr, &none);
    posix_spawnattr_setsigdefault(attr, &defaults);
    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    if (own_group) {
        posix_spawnattr_setpgroup(attr, 0);
        flags |= POSIX_SPAWN_SETPGROUP;
    }
    posix_spawnattr_setflags(attr, flags);
}

// Started with signals held off when the handler must stop it: a signal between the start and the
// stored pid would leave the child running on.
int start(kr_process_st *p, const char *const argv[], posix_spawn_file_actions_t *fa, posix_spawnattr_t *attr)
{
    char *const *envp = p->options.envp ? p->options.envp : environ;
    char *const *args = const_cast<char *const *>(argv);
    if (!p->options.stop_at_signal_end) return posix_spawnp(&p->pid, argv[0], fa, attr, args, envp);
    sigset_t all, before;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &before);
    spawning.fetch_add(1);
    int rc = posix_spawnp(&p->pid, argv[0], fa, attr, args, envp);
    if (rc == 0) track(p->options.own_group ? -p->pid : p->pid);
    spawning.fetch_sub(1);
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    return rc;
}

bool exited_without_pidfd(pid_t pid)
{
    siginfo_t si{};
    int w = waitid(P_PID, (id_t)pid, &si, WEXITED | WNOHANG | WNOWAIT);
    return (w == 0 && si.si_pid == pid) || (w < 0 && errno != EINTR);
}

// Forgotten by the signal handler before it is reaped, so its pid cannot go to another process
// while the handler may still kill it.
void reap(kr_process_st *p)
{
    if (p->pid <= 0) return;
    untrack(p->pid);
    int status = 0;
    pid_t r;
    while ((r = waitpid(p->pid, &status, 0)) < 0 && errno == EINTR) {
    }
    p->status = r == p->pid ? status : -1;
    p->pid = 0;
    close_fd(p->pidfd);
    close_fd(p->out_fd);
}

// Reads what the pipe holds; closes it at its end.
void read_output(kr_process_st *p)
{
    char buf[4096];
    ssize_t n = read(p->out_fd, buf, sizeof buf);
    if (n > 0) {
        if (p->options.on_output) p->options.on_output(p->options.ctx, buf, (size_t)n);
    } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
        close_fd(p->out_fd);
    }
}

} // namespace

extern "C" {

int kr_process_spawn(kr_process_st *p, const char *const argv[], const kr_process_options_st *options)
{
    *p = kr_process_st{};
    p->pid = 0;
    p->pidfd = -1;
    p->out_fd = -1;
    p->status = -1;
    if (options) p->options = *options;
    if (!argv || !argv[0]) return EINVAL;
    int pipe_fds[2] = {-1, -1};
    if (wants_pipe(p->options) && pipe2(pipe_fds, O_CLOEXEC) != 0) return errno;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    map_stdio(&fa, p->options, pipe_fds[1]);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    default_signals(&attr, p->options.own_group);
    int rc = start(p, argv, &fa, &attr);
    posix_spawn_file_actions_destroy(&fa);
    posix_spawnattr_destroy(&attr);
    close_fd(pipe_fds[1]);
    if (rc != 0) {
        close_fd(pipe_fds[0]);
        p->pid = 0;
        return rc;
    }
    p->out_fd = pipe_fds[0];
    p->pidfd = open_pidfd(p->pid);
    return 0;
}

kr_process_wait_e kr_process_wait(kr_process_st *p, uint32_t timeout_ms, bool until_signal)
{
    if (p->pid <= 0) return KR_PROCESS_ENDED;
    const bool bounded = timeout_ms != KR_PROCESS_NO_DEADLINE;
    const pclock::time_point deadline = pclock::now() + std::chrono::milliseconds(bounded ? timeout_ms : 0);
    const int wake_fd = until_signal ? kr_signal_wake_fd() : -1;
    bool exited = false;
    for (;;) {
        if (!exited) exited = p->pidfd < 0 && exited_without_pidfd(p->pid);
        if (exited && p->out_fd < 0) {
            reap(p);
            return KR_PROCESS_ENDED;
        }
        const pclock::time_point now = pclock::now();
        if (bounded && now >= deadline) return KR_PROCESS_DEADLINE;
        if (until_signal && kr_signal_requested()) return KR_PROCESS_SIGNAL;
        if (p->options.keep_waiting && !p->options.keep_waiting(p->options.ctx)) return KR_PROCESS_STOPPED;

        int wait_ms = -1;
        if (bounded) wait_ms = (int)std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
        auto at_most = [&wait_ms](int ms) { wait_ms = wait_ms < 0 ? ms : std::min(wait_ms, ms); };
        if (p->options.keep_waiting) at_most((int)std::max<uint32_t>(p->options.check_ms, 1));
        if (p->pidfd < 0 && !exited) at_most(NO_PIDFD_CHECK_MS);
        pollfd fds[3] = {{exited ? -1 : p->pidfd, POLLIN, 0}, {p->out_fd, POLLIN, 0}, {wake_fd, POLLIN, 0}};
        int n = poll(fds, 3, wait_ms);
        if (n < 0 && errno != EINTR) {
            // poll itself failed: the child is then looked for as without a pidfd, its output dropped.
            close_fd(p->out_fd);
            close_fd(p->pidfd);
            continue;
        }
        if (n <= 0) continue;
        if (fds[0].revents) exited = true;
        if (fds[1].revents) read_output(p);
    }
}

void kr_process_stop(kr_process_st *p, uint32_t grace_ms)
{
    if (p->pid <= 0) return;
    // The group keeps the child's pid as its id while any member lives.
    const pid_t target = p->options.own_group ? -p->pid : p->pid;
    const pclock::time_point deadline = pclock::now() + std::chrono::milliseconds(grace_ms);
    if (grace_ms > 0) {
        kill(target, SIGTERM);
        kr_process_options_st saved = p->options;
        p->options.keep_waiting = nullptr;
        kr_process_wait_e r = kr_process_wait(p, grace_ms, false);
        p->options = saved;
        if (r == KR_PROCESS_ENDED && target > 0) return;
        // The rest of the group has what is left of the grace.
        while (target < 0 && r == KR_PROCESS_ENDED && pclock::now() < deadline && kill(target, 0) == 0) {
            struct timespec ms = {0, 5000000};
            nanosleep(&ms, nullptr);
        }
    }
    kill(target, SIGKILL);
    reap(p);
}

void kr_process_signal_end(void)
{
    for (int i = 0; i < 500 && spawning.load(); i++) {
        struct timespec ms = {0, 1000000};
        nanosleep(&ms, nullptr);
    }
    for (auto &slot : signal_end_pids) {
        pid_t pid = slot.load();
        if (pid == 0) continue;
        kill(pid, SIGKILL); // a negative pid: the whole group
        waitpid(pid < 0 ? -pid : pid, nullptr, 0);
    }
}

} // extern "C"
