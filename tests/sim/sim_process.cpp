#include "sim_process.h"

#include "sim_frame.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

bool sim_proc_spawn(sim_proc_st &p, const std::vector<std::string> &argv, std::string &err)
{
    int fds[2], ins[2];
    if (pipe2(fds, O_CLOEXEC) != 0 || pipe2(ins, O_CLOEXEC) != 0) {
        err = std::string("pipe: ") + strerror(errno);
        return false;
    }
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&fa, ins[0], STDIN_FILENO);
    std::vector<char *> args;
    for (auto &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    int rc = posix_spawnp(&p.pid, args[0], &fa, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    close(fds[1]);
    close(ins[0]);
    if (rc != 0) {
        close(fds[0]);
        close(ins[1]);
        p.pid = -1;
        err = "cannot run " + argv[0] + ": " + strerror(rc);
        return false;
    }
    p.out_fd = fds[0];
    p.in_fd = ins[1];
    p.out_buf.clear();
    return true;
}

bool sim_proc_read_line(sim_proc_st &p, std::string &line, int timeout_ms)
{
    int64_t deadline = sim_mono_ns() + (int64_t)timeout_ms * 1000000;
    for (;;) {
        size_t nl = p.out_buf.find('\n');
        if (nl != std::string::npos) {
            line = p.out_buf.substr(0, nl);
            p.out_buf.erase(0, nl + 1);
            return true;
        }
        int64_t left = (deadline - sim_mono_ns()) / 1000000;
        if (p.out_fd < 0 || left < 0)
            return false;
        pollfd pf{p.out_fd, POLLIN, 0};
        if (poll(&pf, 1, (int)left + 1) <= 0)
            continue;
        char buf[4096];
        ssize_t n = read(p.out_fd, buf, sizeof buf);
        if (n <= 0) {
            if (n < 0 && errno == EINTR)
                continue;
            close(p.out_fd);
            p.out_fd = -1;
            return false;
        }
        p.out_buf.append(buf, (size_t)n);
    }
}

bool sim_proc_write(sim_proc_st &p, const std::string &text)
{
    size_t done = 0;
    while (p.in_fd >= 0 && done < text.size()) {
        ssize_t n = write(p.in_fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        done += (size_t)n;
    }
    return p.in_fd >= 0;
}

int sim_proc_wait(sim_proc_st &p, int timeout_ms)
{
    if (p.pid < 0)
        return -1;
    int64_t deadline = sim_mono_ns() + (int64_t)timeout_ms * 1000000;
    for (;;) {
        int status = 0;
        pid_t r = waitpid(p.pid, &status, WNOHANG);
        if (r == p.pid) {
            p.pid = -1;
            if (p.out_fd >= 0)
                close(p.out_fd);
            if (p.in_fd >= 0)
                close(p.in_fd);
            p.out_fd = p.in_fd = -1;
            return status;
        }
        int64_t left = (deadline - sim_mono_ns()) / 1000000;
        if (r < 0 || left < 0)
            return -1;
        // A pidfd becomes readable when the child ends.
        int pfd = (int)syscall(SYS_pidfd_open, p.pid, 0);
        if (pfd < 0)
            return -1;
        pollfd pf{pfd, POLLIN, 0};
        poll(&pf, 1, (int)left + 1);
        close(pfd);
    }
}

int sim_proc_stop(sim_proc_st &p, int sig, int timeout_ms)
{
    if (p.pid < 0)
        return -1;
    kill(p.pid, sig);
    int st = sim_proc_wait(p, timeout_ms);
    if (st == -1 && p.pid > 0) {
        kill(p.pid, SIGKILL);
        sim_proc_wait(p, 5000);
        return -1;
    }
    return st;
}

bool sim_hub_proc_start(sim_proc_st &p, const std::string &bin_dir, unsigned bitrate, unsigned &port, std::string &err)
{
    std::vector<std::string> argv = {bin_dir + "/kr_hub", "--quiet"};
    if (bitrate != 0) {
        argv.push_back("--bitrate");
        argv.push_back(std::to_string(bitrate));
    }
    if (!sim_proc_spawn(p, argv, err))
        return false;
    std::string line;
    if (!sim_proc_read_line(p, line, 5000) || line.empty() ||
        line.find_first_not_of("0123456789") != std::string::npos) {
        err = "kr_hub printed no port";
        sim_proc_stop(p, SIGKILL);
        return false;
    }
    port = (unsigned)std::stoul(line);
    return true;
}

bool sim_simdev_proc_start(sim_proc_st &p, const std::string &bin_dir, unsigned port,
                           const std::vector<std::string> &options, std::string &err)
{
    std::vector<std::string> argv = {bin_dir + "/kr_simdev", "--port", std::to_string(port)};
    argv.insert(argv.end(), options.begin(), options.end());
    if (!sim_proc_spawn(p, argv, err))
        return false;
    std::string line;
    if (!sim_proc_read_line(p, line, 10000) || line != "ready") {
        err = "kr_simdev did not get ready (see its messages above)";
        sim_proc_stop(p, SIGKILL);
        return false;
    }
    return true;
}
