// End-to-end harness: runs krcan (or any program) without a shell in a private temporary folder with
// its own HOME, XDG_CONFIG_HOME and TMPDIR, capturing standard output and standard error apart.
// Header-only so that every test program can include it.
//
//   e2e::sandbox box;                                   // folder with home/, config/, tmp/; cwd of runs
//   e2e::result r = box.krcan({"--version"});           // r.out, r.err, r.exit_code, r.signal, r.timed_out
//   e2e::options o; o.stdin_text = "y\n"; o.timeout_ms = 5000; o.sigint_on_output = "Listening";
//   e2e::background hub(box, KR_BIN_DIR "/kr_hub", {"--port", "0"});   // a helper program in the background
//   std::string port = hub.read_line(5000); ... hub.stop();
// Benchmarks use the same runner: result.wall_ms and result.cpu_ms time one run. e2e::run_tool runs a
// tool such as gcc outside any sandbox.
#ifndef KR_E2E_H
#define KR_E2E_H

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

extern char **environ;

namespace e2e {

struct result {
    std::string out;    // standard output (the terminal's output in pty mode)
    std::string err;    // standard error
    int exit_code = -1; // the exit status when the program exited
    int signal = 0;     // the signal that ended it, 0 when it exited
    bool timed_out = false;
    double wall_ms = 0; // spawn to exit
    double cpu_ms = 0;  // the program's user plus system time
    bool exited(int code) const { return !timed_out && signal == 0 && exit_code == code; }
};

// Where the program's standard output goes.
enum class output { captured, null_dev, full_dev, closed };

struct options {
    std::optional<std::string> stdin_text;                // none: standard input is /dev/null
    bool stdin_closed = false;                            // descriptor 0 closed instead
    output stdout_to = output::captured;                  // result.out stays empty unless captured
    int timeout_ms = 30000;                               // then SIGKILL and timed_out
    int sigint_after_ms = -1;                             // SIGINT this long after the start
    std::string sigint_on_output;                         // or SIGINT once standard output holds this text
    std::function<void(const std::string &)> on_output;   // called with standard output so far as it grows
    bool pty = false;                                     // standard output on a pseudo-terminal
    std::vector<std::pair<std::string, std::string>> env; // set or override
    std::vector<std::string> path_prepend;                // folders put first on PATH (stand-in programs)
};

// Whether something listens on a loopback TCP port (a bus left running after its test).
inline bool port_open(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons((uint16_t)port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = connect(fd, (sockaddr *)&a, sizeof a) == 0;
    close(fd);
    return ok;
}

// A folder's files by name with their contents, to tell that a refused run changed nothing.
inline std::map<std::string, std::string> folder_files(const std::filesystem::path &dir)
{
    std::map<std::string, std::string> files;
    for (const auto &e : std::filesystem::directory_iterator(dir)) {
        std::ifstream f(e.path(), std::ios::binary);
        files[e.path().filename().string()] = std::string(std::istreambuf_iterator<char>(f), {});
    }
    return files;
}

namespace detail {

inline void set_nonblock(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

// Reads what is there; false at end of file (or EIO of a pseudo-terminal whose other side closed).
inline bool drain(int fd, std::string &into)
{
    char buf[65536];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0) {
            into.append(buf, (size_t)n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) return true;
        return false;
    }
}

inline double ms_since(std::chrono::steady_clock::time_point t0)
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}

struct fd_guard {
    int fd = -1;
    fd_guard() = default;
    explicit fd_guard(int f) : fd(f) {}
    fd_guard(const fd_guard &) = delete;
    fd_guard &operator=(const fd_guard &) = delete;
    fd_guard(fd_guard &&o) noexcept : fd(o.fd) { o.fd = -1; }
    fd_guard &operator=(fd_guard &&o) noexcept
    {
        if (this != &o) {
            reset(o.fd);
            o.fd = -1;
        }
        return *this;
    }
    ~fd_guard() { reset(); }
    void reset(int f = -1)
    {
        if (fd >= 0) close(fd);
        fd = f;
    }
};

// A started child: its pid and the parent's ends of its standard streams.
struct child {
    pid_t pid = -1;
    fd_guard in, out, err;
    fd_guard pty_slave; // held open so the terminal never reads as closed while the child starts
    fd_guard exit_fd;   // readable once the child has ended, so a wait wakes at once
};

inline child spawn(const std::string &program, const std::vector<std::string> &args, const std::string &cwd,
                   const std::vector<std::string> &envs, const options &o)
{
    int out_pipe[2], err_pipe[2], in_pipe[2] = {-1, -1};
    if (pipe2(err_pipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    fd_guard err_r(err_pipe[0]), err_w(err_pipe[1]);
    fd_guard out_r, out_w, in_r, in_w;
    std::string pty_name;
    fd_guard slave;
    if (o.pty) {
        int m = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (m < 0 || grantpt(m) != 0 || unlockpt(m) != 0) throw std::runtime_error("posix_openpt");
        out_r.reset(m);
        pty_name = ptsname(m);
        // No output processing, so the text arrives as written (no "\r\n").
        slave.reset(open(pty_name.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
        fd_guard &s = slave;
        termios t{};
        if (s.fd >= 0 && tcgetattr(s.fd, &t) == 0) {
            t.c_oflag &= ~(tcflag_t)OPOST;
            tcsetattr(s.fd, TCSANOW, &t);
        }
    } else if (o.stdout_to == output::captured) {
        if (pipe2(out_pipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
        out_r.reset(out_pipe[0]);
        out_w.reset(out_pipe[1]);
    }
    if (o.stdin_text) {
        if (pipe2(in_pipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
        in_r.reset(in_pipe[0]);
        in_w.reset(in_pipe[1]);
    }

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    if (in_r.fd >= 0)
        posix_spawn_file_actions_adddup2(&fa, in_r.fd, 0);
    else if (o.stdin_closed)
        posix_spawn_file_actions_addclose(&fa, 0);
    else
        posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    if (o.pty)
        posix_spawn_file_actions_addopen(&fa, 1, pty_name.c_str(), O_RDWR | O_NOCTTY, 0);
    else if (o.stdout_to == output::captured)
        posix_spawn_file_actions_adddup2(&fa, out_w.fd, 1);
    else if (o.stdout_to == output::closed)
        posix_spawn_file_actions_addclose(&fa, 1);
    else
        posix_spawn_file_actions_addopen(&fa, 1, o.stdout_to == output::full_dev ? "/dev/full" : "/dev/null", O_WRONLY,
                                         0);
    posix_spawn_file_actions_adddup2(&fa, err_w.fd, 2);
    if (!cwd.empty()) posix_spawn_file_actions_addchdir_np(&fa, cwd.c_str());
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setpgroup(&attr, 0); // its own process group, so a time-out ends its children too
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGTERM);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(program.c_str()));
    for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<char *> envp;
    for (const std::string &e : envs) envp.push_back(const_cast<char *>(e.c_str()));
    envp.push_back(nullptr);

    child c;
    int rc = posix_spawn(&c.pid, program.c_str(), &fa, &attr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) throw std::runtime_error("posix_spawn " + program + ": " + std::strerror(rc));

    c.out.reset(out_r.fd);
    out_r.fd = -1;
    c.pty_slave.reset(slave.fd);
    slave.fd = -1;
    c.err.reset(err_r.fd);
    err_r.fd = -1;
    if (c.out.fd >= 0) set_nonblock(c.out.fd);
    set_nonblock(c.err.fd);
    c.exit_fd.reset((int)syscall(SYS_pidfd_open, c.pid, 0));
    if (in_w.fd >= 0) {
        c.in.reset(in_w.fd);
        in_w.fd = -1;
        set_nonblock(c.in.fd);
    }
    return c;
}

inline void decode_status(int status, result &r)
{
    if (WIFEXITED(status)) r.exit_code = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) r.signal = WTERMSIG(status);
}

inline double cpu_ms(const rusage &ru)
{
    return (double)(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1e3 +
           (double)(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e3;
}

// Runs a program to its end (or the time limit) in cwd with exactly the environment envs.
inline result run(const std::string &program, const std::vector<std::string> &args, const std::string &cwd,
                  const std::vector<std::string> &envs, const options &o)
{
    auto t0 = std::chrono::steady_clock::now();
    child c = spawn(program, args, cwd, envs, o);
    result r;
    size_t in_off = 0;
    bool out_open = c.out.fd >= 0, err_open = true, sigint_sent = false, done = false;
    int status = 0;
    rusage ru{};
    if (c.in.fd >= 0 && o.stdin_text->empty()) c.in.reset();
    while (!done) {
        pollfd p[4];
        nfds_t n = 0;
        if (out_open) p[n++] = {c.out.fd, POLLIN, 0};
        if (err_open) p[n++] = {c.err.fd, POLLIN, 0};
        if (c.in.fd >= 0) p[n++] = {c.in.fd, POLLOUT, 0};
        if (c.exit_fd.fd >= 0) p[n++] = {c.exit_fd.fd, POLLIN, 0};
        poll(p, n, 5);
        size_t had = r.out.size();
        if (out_open && !drain(c.out.fd, r.out)) out_open = false;
        if (err_open && !drain(c.err.fd, r.err)) err_open = false;
        if (o.on_output && r.out.size() != had) o.on_output(r.out);
        if (c.in.fd >= 0) {
            const std::string &s = *o.stdin_text;
            ssize_t w = write(c.in.fd, s.data() + in_off, s.size() - in_off);
            if (w > 0) in_off += (size_t)w;
            if ((w < 0 && errno != EAGAIN && errno != EINTR) || in_off == s.size()) c.in.reset();
        }
        double ms = ms_since(t0);
        if (!sigint_sent && ((o.sigint_after_ms >= 0 && ms >= o.sigint_after_ms) ||
                             (!o.sigint_on_output.empty() && r.out.find(o.sigint_on_output) != std::string::npos))) {
            kill(-c.pid, SIGINT);
            sigint_sent = true;
        }
        if (wait4(c.pid, &status, WNOHANG, &ru) == c.pid) {
            done = true;
        } else if (ms >= o.timeout_ms) {
            kill(-c.pid, SIGKILL);
            wait4(c.pid, &status, 0, &ru);
            r.timed_out = true;
            done = true;
        }
    }
    r.wall_ms = ms_since(t0);
    r.cpu_ms = cpu_ms(ru);
    if (out_open) drain(c.out.fd, r.out);
    if (err_open) drain(c.err.fd, r.err);
    kill(-c.pid, SIGKILL); // anything it left behind in its group
    decode_status(status, r);
    return r;
}

// The sandboxes alive in this process, for a program that removes them when a signal ends it.
inline std::atomic<const char *> live_sandboxes[8];

// Only fork, exec and waitpid: it runs in the signal handler.
inline void remove_sandboxes_and_end(int sig)
{
    for (auto &slot : live_sandboxes) {
        const char *path = slot.load();
        if (!path) continue;
        pid_t c = fork();
        if (c == 0) {
            execl("/bin/rm", "rm", "-rf", "--", path, (char *)nullptr);
            _exit(127);
        }
        if (c > 0) waitpid(c, nullptr, 0);
    }
    signal(sig, SIG_DFL);
    raise(sig);
}

} // namespace detail

// A program that a signal may end (a benchmark stopped with Ctrl-C) removes its sandboxes first.
inline void remove_sandboxes_at_signal()
{
    struct sigaction sa {};
    sa.sa_handler = detail::remove_sandboxes_and_end;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &sa, nullptr);
}

class sandbox {
public:
    sandbox()
    {
        // A helper process that ends without destructors makes its sandboxes where its parent cleans up.
        const char *t = getenv("KR_TEST_SCRATCH");
        if (!t || !*t) t = getenv("TMPDIR");
        std::string tmpl = std::string(t && *t ? t : "/tmp") + "/krcan_e2e_XXXXXX";
        std::vector<char> buf(tmpl.begin(), tmpl.end());
        buf.push_back('\0');
        // Signals wait until the folder is known to the handler that removes it.
        sigset_t ending, before;
        sigemptyset(&ending);
        for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&ending, sig);
        pthread_sigmask(SIG_BLOCK, &ending, &before);
        const bool made = mkdtemp(buf.data()) != nullptr;
        if (made) {
            path_text_ = buf.data();
            for (auto &slot : detail::live_sandboxes) {
                const char *none = nullptr;
                if (slot.compare_exchange_strong(none, path_text_.c_str())) break;
            }
        }
        pthread_sigmask(SIG_SETMASK, &before, nullptr);
        if (!made) throw std::runtime_error("mkdtemp");
        dir_ = buf.data();
        std::filesystem::create_directories(home());
        std::filesystem::create_directories(config());
        std::filesystem::create_directories(tmp());
        // A curl that refuses (exit 7, as when nothing answers) for every run that names no stand-in of
        // its own: no test reaches the network.
        std::filesystem::create_directories(refusing_bin());
        // Written through a close-on-exec descriptor: a child spawned meanwhile must not hold it open
        // for writing, or running the script fails as "text file busy".
        int fd = open((refusing_bin() / "curl").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0700);
        const char script[] = "#!/bin/sh\nexit 7\n";
        if (fd < 0 || write(fd, script, sizeof script - 1) != (ssize_t)(sizeof script - 1))
            throw std::runtime_error("stand-in");
        close(fd);
    }
    ~sandbox()
    {
        for (auto &slot : detail::live_sandboxes) {
            const char *mine = path_text_.c_str();
            slot.compare_exchange_strong(mine, nullptr);
        }
        std::error_code ec;
        if (std::filesystem::remove_all(dir_, ec) != static_cast<std::uintmax_t>(-1) && !ec) return;
        // A test that took the write permission from a folder in it: given back, then removed.
        namespace fs = std::filesystem;
        for (auto it = fs::recursive_directory_iterator(dir_, fs::directory_options::skip_permission_denied, ec);
             !ec && it != fs::recursive_directory_iterator(); it.increment(ec))
            if (it->is_directory(ec)) fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
        fs::permissions(dir_, fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(dir_, ec);
    }
    sandbox(const sandbox &) = delete;
    sandbox &operator=(const sandbox &) = delete;

    const std::filesystem::path &dir() const { return dir_; }
    std::filesystem::path home() const { return dir_ / "home"; }
    std::filesystem::path config() const { return dir_ / "config"; }
    std::filesystem::path tmp() const { return dir_ / "tmp"; }
    std::filesystem::path path(const std::string &rel) const { return dir_ / rel; }
    std::filesystem::path refusing_bin() const { return dir_ / "refusing-bin"; }

    void write_file(const std::string &rel, const std::string &content) const
    {
        std::filesystem::path p = path(rel);
        if (p.has_parent_path()) std::filesystem::create_directories(p.parent_path());
        std::ofstream f(p, std::ios::binary);
        f << content;
    }
    std::string read_file(const std::string &rel) const
    {
        std::ifstream f(path(rel), std::ios::binary);
        std::stringstream s;
        s << f.rdbuf();
        return s.str();
    }

    std::vector<std::string> environment(const options &o) const
    {
        std::vector<std::pair<std::string, std::string>> vars;
        for (char **e = environ; *e; e++) {
            const char *eq = std::strchr(*e, '=');
            if (eq) vars.emplace_back(std::string(*e, (size_t)(eq - *e)), std::string(eq + 1));
        }
        auto set = [&vars](const std::string &k, const std::string &v) {
            for (auto &kv : vars)
                if (kv.first == k) {
                    kv.second = v;
                    return;
                }
            vars.emplace_back(k, v);
        };
        set("HOME", home().string());
        set("XDG_CONFIG_HOME", config().string());
        set("TMPDIR", tmp().string());
        for (const auto &kv : o.env) set(kv.first, kv.second);
        {
            std::string p;
            for (const std::string &d : o.path_prepend) p += d + ":";
            if (o.path_prepend.empty()) p = refusing_bin().string() + ":";
            std::string old = getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin";
            for (const auto &kv : o.env)
                if (kv.first == "PATH") old = kv.second;
            set("PATH", p + old);
        }
        std::vector<std::string> out;
        for (const auto &kv : vars) out.push_back(kv.first + "=" + kv.second);
        return out;
    }

    // Runs a program to its end (or the time limit) with the sandbox as its working folder.
    result run(const std::string &program, const std::vector<std::string> &args, const options &o = {}) const
    {
        return detail::run(program, args, dir_.string(), environment(o), o);
    }

#ifdef KRCAN_BIN
    result krcan(const std::vector<std::string> &args, const options &o = {}) const { return run(KRCAN_BIN, args, o); }
#endif

private:
    std::filesystem::path dir_;
    std::string path_text_;
};

// A program kept running in the background (the virtual bus hub, simulated devices) while a test runs
// krcan against it. Its output is collected by a thread; stop() or the destructor ends it. With
// options.stdin_text its standard input is a pipe that gets the text and stays open until the end
// (for programs that end at the end of their input).
class background {
public:
    background(const sandbox &box, const std::string &program, const std::vector<std::string> &args,
               const options &o = {})
        : c_(detail::spawn(program, args, box.dir().string(), box.environment(o), o))
    {
        for (size_t off = 0; c_.in.fd >= 0 && off < o.stdin_text->size();) {
            pollfd p{c_.in.fd, POLLOUT, 0};
            poll(&p, 1, 1000);
            ssize_t w = write(c_.in.fd, o.stdin_text->data() + off, o.stdin_text->size() - off);
            if (w > 0) off += (size_t)w;
            if (w < 0 && errno != EAGAIN && errno != EINTR) break;
        }
        reader_ = std::thread([this] { read_loop(); });
    }
    ~background() { stop(); }
    background(const background &) = delete;
    background &operator=(const background &) = delete;

    pid_t pid() const { return c_.pid; }

    std::string out() const
    {
        std::lock_guard<std::mutex> l(m_);
        return out_;
    }
    std::string err() const
    {
        std::lock_guard<std::mutex> l(m_);
        return err_;
    }

    // Waits until standard output holds `text`; false after timeout_ms or when the program ended first.
    bool wait_for_output(const std::string &text, int timeout_ms)
    {
        std::unique_lock<std::mutex> l(m_);
        return cv_.wait_for(l, std::chrono::milliseconds(timeout_ms), [&] {
            return out_.find(text) != std::string::npos || ended_;
        }) && out_.find(text) != std::string::npos;
    }

    // The next whole line of standard output (without "\n"); empty after timeout_ms.
    std::string read_line(int timeout_ms)
    {
        std::unique_lock<std::mutex> l(m_);
        cv_.wait_for(l, std::chrono::milliseconds(timeout_ms),
                     [&] { return out_.find('\n', line_pos_) != std::string::npos || ended_; });
        size_t nl = out_.find('\n', line_pos_);
        if (nl == std::string::npos) return "";
        std::string line = out_.substr(line_pos_, nl - line_pos_);
        line_pos_ = nl + 1;
        return line;
    }

    bool running()
    {
        std::lock_guard<std::mutex> l(m_);
        return !ended_;
    }

    // Waits until the program has ended by itself; false after timeout_ms.
    bool wait_end(int timeout_ms)
    {
        std::unique_lock<std::mutex> l(m_);
        return cv_.wait_for(l, std::chrono::milliseconds(timeout_ms), [&] { return ended_; });
    }

    // SIGTERM, then SIGKILL after term_timeout_ms; returns how it ended and what it printed.
    result stop(int term_timeout_ms = 3000)
    {
        if (!stopped_) {
            stopped_ = true;
            {
                std::unique_lock<std::mutex> l(m_);
                if (!ended_) kill(-c_.pid, SIGTERM);
                if (!cv_.wait_for(l, std::chrono::milliseconds(term_timeout_ms), [&] { return ended_; }))
                    kill(-c_.pid, SIGKILL);
            }
            reader_.join();
        }
        std::lock_guard<std::mutex> l(m_);
        result r;
        r.out = out_;
        r.err = err_;
        detail::decode_status(status_, r);
        return r;
    }

private:
    void read_loop()
    {
        bool out_open = c_.out.fd >= 0, err_open = true, exited = false;
        int status = 0;
        while (!exited || out_open || err_open) {
            pollfd p[3];
            nfds_t n = 0;
            if (out_open) p[n++] = {c_.out.fd, POLLIN, 0};
            if (err_open) p[n++] = {c_.err.fd, POLLIN, 0};
            if (!exited && c_.exit_fd.fd >= 0) p[n++] = {c_.exit_fd.fd, POLLIN, 0};
            poll(p, n, 10);
            std::string o, e;
            if (out_open && !detail::drain(c_.out.fd, o)) out_open = false;
            if (err_open && !detail::drain(c_.err.fd, e)) err_open = false;
            if (!exited && waitpid(c_.pid, &status, WNOHANG) == c_.pid) {
                exited = true;
                // What it left in the pipes is read once more; children it started may hold them open.
                if (out_open) detail::drain(c_.out.fd, o);
                if (err_open) detail::drain(c_.err.fd, e);
                out_open = err_open = false;
            }
            std::lock_guard<std::mutex> l(m_);
            out_ += o;
            err_ += e;
            if (exited) {
                status_ = status;
                ended_ = true;
            }
            cv_.notify_all();
        }
    }

    detail::child c_;
    std::thread reader_;
    mutable std::mutex m_;
    std::condition_variable cv_;
    std::string out_, err_;
    size_t line_pos_ = 0;
    int status_ = 0;
    bool ended_ = false;
    bool stopped_ = false;
};

// Waits up to timeout_ms for a background program to end by itself, then stops it (when it has not)
// and returns how it ended.
inline result wait_end(background &p, int timeout_ms)
{
    p.wait_end(timeout_ms);
    return p.stop();
}

// Counts the non-overlapping occurrences of `what` in `text`.
inline size_t count(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + what.size())) n++;
    return n;
}

// A program looked up on PATH (the harness runs a program by its path).
inline std::string on_path(const std::string &name)
{
    const char *path = getenv("PATH");
    std::string dirs = path ? path : "/usr/bin";
    for (size_t start = 0; start <= dirs.size();) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        std::filesystem::path candidate = std::filesystem::path(dirs.substr(start, end - start)) / name;
        if (access(candidate.c_str(), X_OK) == 0) return candidate.string();
        start = end + 1;
    }
    return name;
}

// Runs a tool a test calls (gcc, python3, ip), found on PATH, in this process's folder and with its
// environment.
inline result run_tool(const std::string &name, const std::vector<std::string> &args, const options &o = {})
{
    std::vector<std::string> env;
    for (char **e = environ; *e; e++) env.push_back(*e);
    return detail::run(on_path(name), args, "", env, o);
}

} // namespace e2e

#endif
