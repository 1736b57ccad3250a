// HTTP through curl: curl runs without a shell, its configuration in a 0600 temporary file, its
// write-out read back through a pipe while the other tasks run.
#include "online/krhttp.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>

#include "kr_bytes.h"
#include "kr_process.h"
#include "kr_rtos.h"

namespace {

const int32_t kDefaultMaxTimeS = 300; // when the configuration names no max-time
const size_t kOutputMax = 65536;      // curl's write-out is a few bytes

// What Ctrl-C must not leave behind: the temporary files of the request (the configuration holds it).
// The running child is stopped by the handler before this runs. Read by the signal handler, so only
// lock-free atomics and fixed buffers.
struct tmp_slot_st {
    std::atomic<bool> used{false};
    char path[KRHTTP_PATH_LEN];
};
tmp_slot_st tmp_slots[4];

void signal_cleanup()
{
    for (tmp_slot_st &s : tmp_slots)
        if (s.used.load()) unlink(s.path);
}

void track_tmp(const char *path)
{
    static std::atomic<bool> hooked{false};
    if (!hooked.exchange(true)) kr_add_signal_cleanup(signal_cleanup);
    for (tmp_slot_st &s : tmp_slots) {
        if (s.used.load()) continue;
        kr_copy_text(s.path, sizeof s.path, path);
        s.used.store(true);
        return;
    }
}

void errf(char *err, uint32_t err_length, const char *format, ...) __attribute__((format(printf, 3, 4)));
void errf(char *err, uint32_t err_length, const char *format, ...)
{
    if (!err || err_length == 0) return;
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(err, err_length, format, ap);
    va_end(ap);
}

// Drops double quotes, CR and LF, cuts to 511 characters, doubles each backslash (curl reads a
// backslash in a quoted value as an escape).
std::string clean_user_value(const char *text)
{
    std::string kept;
    for (const char *p = text; *p && kept.size() < 511; p++)
        if (*p != '"' && *p != '\r' && *p != '\n') kept += *p;
    std::string out;
    for (char c : kept) {
        if (c == '\\') out += '\\';
        out += c;
    }
    return out;
}

struct run_result {
    int spawn_error = 0; // errno of a failed start
    bool timed_out = false;
    bool too_large = false; // the capped output grew past its cap, and the program was killed
    bool exited = false;
    int exit_code = -1;
    int signal = 0;
    std::string out;
};

// A file the program writes that may grow to at most max bytes; path null: none.
struct output_cap_st {
    const char *path;
    uint64_t max;
};

bool cap_exceeded(const output_cap_st &cap)
{
    struct stat st;
    return cap.path && stat(cap.path, &st) == 0 && (uint64_t)st.st_size > cap.max;
}

struct capture_st {
    run_result *result;
    output_cap_st cap;
};

void keep_output(void *ctx, const char *data, size_t size)
{
    std::string &out = static_cast<capture_st *>(ctx)->result->out;
    if (out.size() < kOutputMax) out.append(data, size);
}

// Checked while it downloads: a body of any size would otherwise fill the disk first.
bool within_cap(void *ctx)
{
    capture_st *c = static_cast<capture_st *>(ctx);
    if (cap_exceeded(c->cap)) c->result->too_large = true;
    return !c->result->too_large;
}

// Runs argv[0] (looked up on PATH) with standard output into a pipe, standard input and error on
// /dev/null. timeout_ms < 0: no bound; otherwise the program is killed when it runs longer. A
// Ctrl-C's handler kills it before the request's files go.
run_result run_captured(const char *const argv[], double timeout_ms, output_cap_st cap = {nullptr, 0})
{
    run_result r;
    capture_st capture = {&r, cap};
    kr_process_options_st o = {};
    o.stdio[0] = KR_PROCESS_DEV_NULL;
    o.stdio[1] = KR_PROCESS_PIPE;
    o.stdio[2] = KR_PROCESS_DEV_NULL;
    o.stop_at_signal_end = true;
    o.on_output = keep_output;
    if (cap.path) {
        o.keep_waiting = within_cap;
        o.check_ms = 100;
    }
    o.ctx = &capture;
    kr_process_st child;
    r.spawn_error = kr_process_spawn(&child, argv, &o);
    if (r.spawn_error) return r;
    {
        kr_rtos_blocking_section blocking;
        uint32_t limit = timeout_ms < 0 ? KR_PROCESS_NO_DEADLINE : (uint32_t)timeout_ms;
        kr_process_wait_e w = kr_process_wait(&child, limit, false);
        if (w != KR_PROCESS_ENDED) {
            if (!r.too_large) r.timed_out = true;
            kr_process_stop(&child, 0);
        }
    }
    if (!r.timed_out && !r.too_large) {
        if (WIFEXITED(child.status)) {
            r.exited = true;
            r.exit_code = WEXITSTATUS(child.status);
        } else if (WIFSIGNALED(child.status)) {
            r.signal = WTERMSIG(child.status);
        }
    }
    return r;
}

// mkstemp in $TMPDIR (else /tmp); the name never cut. The pid in the name lets a later run remove
// what a run ended by a crash left behind.
void (*tmp_first_use)(void) = nullptr;

int make_tmp(char *dest, uint32_t dest_length, const char *tag, const char *suffix, char *err, uint32_t err_length)
{
    if (tmp_first_use) tmp_first_use();
    if (dest && dest_length) dest[0] = '\0';
    const char *dir = std::getenv("TMPDIR");
    if (!dir || !dir[0]) dir = "/tmp";
    if (!dest || !tag || !suffix) return -1;
    // The pid lets a later run remove what a run ended by a signal left behind.
    int n = std::snprintf(dest, dest_length, "%s/krcan_%s_%s_%ld_XXXXXX", dir, tag, suffix, (long)getpid());
    if (n < 0 || (uint32_t)n >= dest_length) {
        dest[0] = '\0';
        // The folder is cut, never the reason after it.
        errf(err, err_length, "the temporary folder '%.60s%s' is too long for a file name", dir,
             std::strlen(dir) > 60 ? "..." : "");
        return -1;
    }
    int fd = mkostemp(dest, O_CLOEXEC);
    if (fd < 0) {
        errf(err, err_length, "no temporary file in '%s': %s", dir, std::strerror(errno));
        dest[0] = '\0';
        return -1;
    }
    fchmod(fd, 0600);
    track_tmp(dest);
    return fd;
}

bool write_fd(int fd, const char *text)
{
    size_t n = std::strlen(text);
    while (n > 0) {
        ssize_t w = write(fd, text, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        text += w;
        n -= (size_t)w;
    }
    return true;
}

int32_t config_max_time(const char *config)
{
    for (const char *p = config; p && *p;) {
        if (std::strncmp(p, "max-time = ", 11) == 0) {
            long v = std::strtol(p + 11, nullptr, 10);
            if (v > 0 && v < 86400) return (int32_t)v;
        }
        p = std::strchr(p, '\n');
        if (p) p++;
    }
    return kDefaultMaxTimeS;
}

// Writes the configuration, runs curl on it and removes it. True when curl ran and exited with 0;
// its output in out. Otherwise why is in err.
bool run_curl(const char *config, std::string &out, char *err, uint32_t err_length, output_cap_st cap = {nullptr, 0})
{
    if (!config) {
        errf(err, err_length, "no request was given");
        return false;
    }
    char cfg_path[KRHTTP_PATH_LEN];
    int fd = make_tmp(cfg_path, sizeof cfg_path, "http", "cfg", err, err_length);
    if (fd < 0) return false;
    bool written = write_fd(fd, config);
    if (close(fd) != 0) written = false;
    if (!written) {
        krhttp_tmp_remove(cfg_path);
        errf(err, err_length, "the curl configuration '%s' could not be written", cfg_path);
        return false;
    }
    int32_t max_time = config_max_time(config);
    const char *argv[] = {"curl", "-K", cfg_path, nullptr};
    run_result r = run_captured(argv, (max_time + KRHTTP_KILL_GRACE_S) * 1000.0, cap);
    krhttp_tmp_remove(cfg_path);
    if (r.spawn_error == ENOENT) {
        errf(err, err_length, "is curl installed?");
        return false;
    }
    if (r.spawn_error) {
        errf(err, err_length, "curl could not be started: %s", std::strerror(r.spawn_error));
        return false;
    }
    if (r.timed_out) {
        errf(err, err_length, "curl did not finish within %d s", (int)(max_time + KRHTTP_KILL_GRACE_S));
        return false;
    }
    if (r.too_large) {
        errf(err, err_length, "the answer is larger than %llu bytes", (unsigned long long)cap.max);
        return false;
    }
    if (!r.exited) {
        errf(err, err_length, "curl ended by signal %d", r.signal);
        return false;
    }
    if (r.exit_code != 0) {
        errf(err, err_length, "curl exited with status %d", r.exit_code);
        return false;
    }
    out = r.out;
    return true;
}

// A status line: digits only (blanks around them allowed); 0 for anything else.
int32_t parse_status(const std::string &text)
{
    size_t b = text.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return 0;
    size_t e = text.find_last_not_of(" \t\r\n");
    std::string t = text.substr(b, e - b + 1);
    if (t.empty() || t.size() > 9 || t.find_first_not_of("0123456789") != std::string::npos) return 0;
    return (int32_t)std::strtol(t.c_str(), nullptr, 10);
}

} // namespace

int32_t krhttp_cfg_common(char *dest, uint32_t dest_length, int32_t max_time_s, const char *user, const char *password)
{
    std::string text = "silent\nshow-error\nconnect-timeout = 15\nmax-time = " + std::to_string(max_time_s) + "\n";
    if (user && password && user[0] && password[0])
        text += "user = \"" + clean_user_value(user) + ":" + clean_user_value(password) + "\"\n";
    if (dest && dest_length) {
        size_t n = text.size() < dest_length - 1 ? text.size() : dest_length - 1;
        std::memcpy(dest, text.data(), n);
        dest[n] = '\0';
    }
    return (int32_t)text.size();
}

bool krhttp_quote(char *dest, uint32_t dest_length, const char *text)
{
    if (!dest || dest_length == 0) return false;
    dest[0] = '\0';
    if (!text) return false;
    std::string out;
    for (const char *p = text; *p; p++) {
        if (*p == '\r' || *p == '\n') return false;
        if (*p == '\\' || *p == '"') out += '\\';
        out += *p;
    }
    if (out.size() >= dest_length) return false;
    std::memcpy(dest, out.c_str(), out.size() + 1);
    return true;
}

int32_t krhttp_curl_err(const char *config, char *err, uint32_t err_length)
{
    return krhttp_curl_capped(config, nullptr, 0, err, err_length);
}

int32_t krhttp_curl_capped(const char *config, const char *output, uint64_t max_bytes, char *err, uint32_t err_length)
{
    std::string out;
    if (!run_curl(config, out, err, err_length, {output, max_bytes})) return 0;
    int32_t status = parse_status(out);
    if (status == 0) errf(err, err_length, out.empty() ? "curl printed no status" : "no answer from the server");
    return status;
}

int32_t krhttp_curl(const char *config) { return krhttp_curl_err(config, nullptr, 0); }

int32_t krhttp_curl_logged(const char *config, const char *, uint64_t) { return krhttp_curl(config); }

uint32_t krhttp_curl_multi(const char *config, int32_t *codes, uint32_t max_codes)
{
    std::string out;
    if (!codes || max_codes == 0 || !run_curl(config, out, nullptr, 0)) return 0;
    uint32_t count = 0;
    size_t pos = 0;
    while (pos < out.size() && count < max_codes) {
        size_t nl = out.find('\n', pos);
        if (nl == std::string::npos) nl = out.size();
        std::string line = out.substr(pos, nl - pos);
        if (line.find_first_not_of(" \t\r") != std::string::npos) codes[count++] = parse_status(line);
        pos = nl + 1;
    }
    return count;
}

bool krhttp_tmp_path(char *dest, uint32_t dest_length, const char *tag, const char *suffix, char *err,
                     uint32_t err_length)
{
    int fd = make_tmp(dest, dest_length, tag, suffix, err, err_length);
    if (fd < 0) return false;
    close(fd);
    return true;
}

void krhttp_set_tmp_first_use(void (*hook)(void)) { tmp_first_use = hook; }

void krhttp_tmp_remove(const char *path)
{
    if (!path || !path[0]) return;
    for (tmp_slot_st &s : tmp_slots)
        if (s.used.load() && std::strcmp(s.path, path) == 0) s.used.store(false);
    unlink(path);
}

char *krhttp_read_file(const char *path) { return krhttp_read_file_max(path, SIZE_MAX - 1); }

char *krhttp_read_file_max(const char *path, size_t max_bytes)
{
    if (!path) return nullptr;
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return nullptr;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || (uint64_t)st.st_size > max_bytes) {
        close(fd);
        return nullptr;
    }
    size_t cap = (size_t)st.st_size + 1, len = 0;
    char *buf = (char *)std::malloc(cap);
    while (buf) {
        if (len + 1 >= cap) {
            char *bigger = (char *)std::realloc(buf, cap * 2);
            if (!bigger) {
                std::free(buf);
                buf = nullptr;
                break;
            }
            buf = bigger;
            cap *= 2;
        }
        ssize_t n = read(fd, buf + len, cap - 1 - len);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            std::free(buf);
            buf = nullptr;
            break;
        }
        if (n == 0) break;
        len += (size_t)n;
        if (len > max_bytes) { // it grew while being read
            std::free(buf);
            buf = nullptr;
        }
    }
    close(fd);
    if (buf) buf[len] = '\0';
    return buf;
}

bool krhttp_write_file(const char *path, const char *text)
{
    if (!path || !text) return false;
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return false;
    bool ok = fchmod(fd, 0600) == 0 && write_fd(fd, text);
    if (close(fd) != 0) ok = false;
    return ok;
}

void krhttp_err(char *err, uint32_t err_length, const char *message)
{
    if (!err || err_length == 0) return;
    if (!message) message = "";
    size_t n = strnlen(message, err_length - 1);
    std::memcpy(err, message, n);
    err[n] = '\0';
}

bool krhttp_sha256_file(const char *path, char *out, uint32_t out_length)
{
    if (!path || !out || out_length <= 64) return false;
    const char *argv[] = {"sha256sum", "--", path, nullptr};
    run_result r = run_captured(argv, -1);
    if (!r.exited || r.exit_code != 0) return false;
    // A name with a backslash or a line break makes sha256sum start the line with a backslash.
    size_t start = !r.out.empty() && r.out[0] == '\\' ? 1 : 0;
    size_t sp = r.out.find(' ', start);
    if (sp == std::string::npos || sp - start != 64) return false;
    std::string digest = r.out.substr(start, 64);
    if (digest.find_first_not_of("0123456789abcdef") != std::string::npos) return false;
    std::memcpy(out, digest.c_str(), 65);
    return true;
}

void krhttp_status_err(long status, const char *what, char *err, uint32_t err_length)
{
    switch (status) {
    case 0: krhttp_err(err, err_length, "Could not reach the server (is curl installed and the URL correct?)."); break;
    case 401: krhttp_err(err, err_length, "Invalid username or password."); break;
    case 403: krhttp_err(err, err_length, "This account may not read that fleet's files."); break;
    case 404: krhttp_err(err, err_length, "No such fleet on the file server, or it has no files area yet."); break;
    default: errf(err, err_length, "Server returned HTTP %ld %s.", status, what ? what : ""); break;
    }
}
