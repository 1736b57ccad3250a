// Console capture: standard output and standard error are redirected into a pipe; a native
// thread echoes every byte to the console and keeps the last 1000 lines for the log strip.
#include "run/console.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace {

constexpr int kPipeSize = 64 * 1024;

std::mutex mutex;               // guards ring
logcap_ring_st *ring = nullptr; // allocated when capture starts
bool started = false;
int orig_stdout_fd = -1;
int orig_stderr_fd = -1;
std::mutex done_mutex;
std::condition_variable done_cv;
bool reader_done = false;

void ring_complete_line(logcap_ring_st *r)
{
    if (r->curlen == 0) return; // empty lines are dropped
    // A progress line redrawn after a carriage return takes the place of the one before, as on a terminal.
    const bool replace = r->replace_last && r->line_count > 0;
    const uint32_t slot = replace ? (r->line_head + LOGCAP_LINES - 1) % LOGCAP_LINES : r->line_head;
    std::memcpy(r->lines[slot], r->curline, r->curlen);
    r->lines[slot][r->curlen] = '\0';
    if (!replace) {
        r->line_head = (r->line_head + 1) % LOGCAP_LINES;
        if (r->line_count < LOGCAP_LINES) r->line_count++;
    }
    r->line_seq++;
    r->curlen = 0;
    r->curline[0] = '\0';
}

// Writes all of buf to fd; gives up (drops the echo) on an error other than an interrupt.
void write_all(int fd, const char *buf, size_t len)
{
    while (len > 0) {
        ssize_t n = write(fd, buf, len);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;
        }
        buf += n;
        len -= static_cast<size_t>(n);
    }
}

void reader_thread(int read_fd)
{
    char buf[4096];
    char plain[sizeof buf + 1];
    logcap_plain_st filter{};
    // The strip draws colours; a pipe or a file behind the window gets the text as without it.
    const bool echo_plain = orig_stdout_fd >= 0 && !isatty(orig_stdout_fd);
    for (;;) {
        ssize_t n = read(read_fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 1) break;
        if (echo_plain)
            write_all(orig_stdout_fd, plain, logcap_plain_filter(&filter, buf, static_cast<size_t>(n), plain));
        else if (orig_stdout_fd >= 0)
            write_all(orig_stdout_fd, buf, static_cast<size_t>(n));
        std::lock_guard<std::mutex> lock(mutex);
        logcap_ring_feed(ring, buf, static_cast<size_t>(n));
    }
    // The pipe is dead: give the console back before closing, so no writer blocks on it.
    if (orig_stdout_fd >= 0) dup2(orig_stdout_fd, 1);
    if (orig_stderr_fd >= 0) dup2(orig_stderr_fd, 2);
    close(read_fd);
    std::lock_guard<std::mutex> lock(done_mutex);
    reader_done = true;
    done_cv.notify_all();
}

} // namespace

extern "C" {

size_t logcap_plain_filter(logcap_plain_st *st, const char *in, size_t len, char *out)
{
    size_t n = 0;
    for (size_t i = 0; i < len; i++) {
        const unsigned char c = (unsigned char)in[i];
        if (st->escape == 1) {
            st->escape = c == '[' ? 2 : 0;
            continue;
        }
        if (st->escape == 2) {
            if (c >= 0x40 && c <= 0x7E) st->escape = 0; // the final byte
            continue;
        }
        if (c == 27) {
            st->escape = 1;
            continue;
        }
        if (c == '\r') {
            st->pending_cr = true;
            continue;
        }
        // A carriage return in mid-line redraws the line: here the new text takes a line of its own.
        if (st->pending_cr && c != '\n' && st->mid_line) out[n++] = '\n';
        st->pending_cr = false;
        out[n++] = (char)c;
        st->mid_line = c != '\n';
    }
    return n;
}

void logcap_ring_feed(logcap_ring_st *r, const char *data, size_t len)
{
    if (!r || !data) return;
    for (size_t i = 0; i < len; i++) {
        char c = data[i];
        if (c == '\n' || c == '\r') {
            // The line feed of a CR LF pair makes the line before final.
            const bool replaceable = c == '\r' && (r->curlen > 0 || r->replace_last);
            ring_complete_line(r);
            r->replace_last = replaceable;
            continue;
        }
        if (r->curlen >= LOGCAP_LINE_LEN - 1) {
            ring_complete_line(r);
            r->replace_last = false;
        }
        r->curline[r->curlen++] = c;
        r->curline[r->curlen] = '\0';
    }
}

void logcap_ring_get_range(const logcap_ring_st *r, char *dest, size_t dest_length, int skip_newest, int max_lines)
{
    if (!dest || dest_length == 0) return;
    dest[0] = '\0';
    if (!r) return;
    uint32_t skip = skip_newest < 0 ? 0u : static_cast<uint32_t>(skip_newest);
    uint32_t avail = r->line_count > skip ? r->line_count - skip : 0;
    uint32_t n = avail;
    if (max_lines >= 1 && static_cast<uint32_t>(max_lines) < n) n = static_cast<uint32_t>(max_lines);

    size_t used = 0;
    // k counts back from the newest line (0); oldest requested first.
    for (uint32_t i = 0; i < n; i++) {
        uint32_t k = skip + n - 1 - i;
        uint32_t slot = (r->line_head + LOGCAP_LINES - 1 - k) % LOGCAP_LINES;
        const char *line = r->lines[slot];
        size_t l = strnlen(line, LOGCAP_LINE_LEN - 1);
        if (l + 2 >= dest_length) continue;
        if (used + l + 2 >= dest_length) used = 0;
        std::memcpy(dest + used, line, l);
        used += l;
        dest[used++] = '\n';
        dest[used] = '\0';
    }
    dest[used] = '\0';
}

void logcap_ring_get_last_line(const logcap_ring_st *r, char *dest, size_t dest_length)
{
    if (!dest || dest_length == 0) return;
    dest[0] = '\0';
    if (!r) return;
    const char *src = "";
    if (r->curlen > 0)
        src = r->curline;
    else if (r->line_count > 0)
        src = r->lines[(r->line_head + LOGCAP_LINES - 1) % LOGCAP_LINES];
    size_t l = strnlen(src, LOGCAP_LINE_LEN - 1);
    if (l > dest_length - 1) l = dest_length - 1;
    std::memcpy(dest, src, l);
    dest[l] = '\0';
}

void logcap_init(void)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (started) return;
    if (!ring) {
        ring = new (std::nothrow) logcap_ring_st();
        if (!ring) return;
    }

    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return;
    fcntl(fds[1], F_SETPIPE_SZ, kPipeSize);

    int keep_out = fcntl(1, F_DUPFD_CLOEXEC, 3);
    int keep_err = fcntl(2, F_DUPFD_CLOEXEC, 3);
    if (keep_out < 0 || keep_err < 0) {
        if (keep_out >= 0) close(keep_out);
        if (keep_err >= 0) close(keep_err);
        close(fds[0]);
        close(fds[1]);
        return;
    }
    fflush(stdout);
    fflush(stderr);
    if (dup2(fds[1], 1) < 0 || dup2(fds[1], 2) < 0) {
        dup2(keep_out, 1);
        dup2(keep_err, 2);
        close(keep_out);
        close(keep_err);
        close(fds[0]);
        close(fds[1]);
        return;
    }
    close(fds[1]);
    orig_stdout_fd = keep_out;
    orig_stderr_fd = keep_err;
    try {
        std::thread(reader_thread, fds[0]).detach();
    } catch (const std::system_error &) {
        // Nobody would drain the pipe: writers would block once it fills. Put the console back.
        dup2(keep_out, 1);
        dup2(keep_err, 2);
        close(keep_err);
        close(keep_out);
        orig_stdout_fd = -1;
        orig_stderr_fd = -1;
        close(fds[0]);
        return;
    }
    setvbuf(stdout, nullptr, _IONBF, 0);
    started = true;
}

void logcap_stop(void)
{
    int out_fd, err_fd;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!started) return;
        out_fd = orig_stdout_fd;
        err_fd = orig_stderr_fd;
    }
    std::fflush(stdout);
    std::fflush(stderr);
    // Once 1 and 2 no longer hold the pipe, the reader sees its end after the last byte.
    dup2(out_fd, 1);
    dup2(err_fd, 2);
    std::unique_lock<std::mutex> lock(done_mutex);
    // A child that inherited the pipe keeps it open: do not wait for it for ever.
    done_cv.wait_for(lock, std::chrono::seconds(2), [] { return reader_done; });
}

bool logcap_is_started(void)
{
    std::lock_guard<std::mutex> lock(mutex);
    return started;
}

void logcap_get_range(char *dest, size_t dest_length, int skip_newest, int max_lines)
{
    if (!dest || dest_length == 0) return;
    std::lock_guard<std::mutex> lock(mutex);
    logcap_ring_get_range(ring, dest, dest_length, skip_newest, max_lines);
}

void logcap_get_all(char *dest, size_t dest_length, int max_lines)
{
    logcap_get_range(dest, dest_length, 0, max_lines);
}

void logcap_get_last_line(char *dest, size_t dest_length)
{
    std::lock_guard<std::mutex> lock(mutex);
    logcap_ring_get_last_line(ring, dest, dest_length);
}

uint32_t logcap_get_line_count(void)
{
    std::lock_guard<std::mutex> lock(mutex);
    return ring ? ring->line_count : 0;
}

uint32_t logcap_get_seq(void)
{
    std::lock_guard<std::mutex> lock(mutex);
    return ring ? ring->line_seq : 0;
}

} // extern "C"
