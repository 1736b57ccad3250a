// The tool's readers of standard input and the pipe through which the window answers prompts.
// They read descriptor 0 a byte at a time, with no stdio buffer in between, so no later prompt's
// answer is swallowed, and they wait inside the RTOS blocking section so the other tasks
// (the library task above all) keep running while a question waits.
#include "run/console.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include "kr_rtos.h"

namespace {

std::atomic<int> feed_fd{-1};
std::atomic<bool> input_waiting{false};
std::atomic<uint32_t> prompt_count{0};

// One byte from descriptor 0: 1 read, 0 end of input, -1 error. The caller holds the blocking
// section.
int read_byte_raw(unsigned char *c)
{
    for (;;) {
        ssize_t n = read(0, c, 1);
        if (n == 1) return 1;
        if (n == 0) return 0;
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            // Non-blocking standard input: wait for data instead of spinning.
            struct pollfd p = {0, POLLIN, 0};
            if (poll(&p, 1, -1) < 0 && errno != EINTR) return -1;
            continue;
        }
        return -1;
    }
}

// Reads a line of at most dest_length - 1 bytes, LF included when it fits. Returns the number of
// bytes stored, or -1 when end of input or an error came before any byte.
long read_line(char *dest, size_t dest_length)
{
    size_t i = 0;
    int r = 1;
    input_waiting = true;
    {
        kr_rtos_blocking_section section;
        while (dest_length - i >= 2) {
            unsigned char c;
            r = read_byte_raw(&c);
            if (r != 1) break;
            dest[i++] = static_cast<char>(c);
            if (c == '\n') break;
        }
    }
    input_waiting = false;
    dest[i] = '\0';
    if (i == 0 && r != 1) return -1;
    return static_cast<long>(i);
}

} // namespace

extern "C" {

void kr_stdin_use_pipe(void)
{
    if (feed_fd >= 0) return;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return;
    fcntl(fds[1], F_SETPIPE_SZ, 4096);
    if (dup2(fds[0], 0) < 0) {
        close(fds[0]);
        close(fds[1]);
        return;
    }
    close(fds[0]);
    feed_fd = fds[1];
}

void kr_stdin_feed(const char *text)
{
    int fd = feed_fd;
    if (fd < 0 || !text) return;
    size_t len = std::strlen(text);
    bool add_lf = len == 0 || text[len - 1] != '\n';
    kr_rtos_blocking_section section; // a full pipe waits for the reader, who is another task
    const char *p = text;
    while (len > 0) {
        ssize_t n = write(fd, p, len);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;
        }
        p += n;
        len -= static_cast<size_t>(n);
    }
    while (add_lf) {
        ssize_t n = write(fd, "\n", 1);
        if (n < 0 && errno == EINTR) continue;
        break;
    }
}

char *kr_stdin_getline(char *dest, size_t dest_length)
{
    return kr_stdin_read_line(dest, dest_length) < 0 ? nullptr : dest;
}

long kr_stdin_read_line(char *dest, size_t dest_length)
{
    if (!dest || dest_length < 2) return -1;
    prompt_count++;
    return read_line(dest, dest_length);
}

int kr_stdin_getchar(void)
{
    prompt_count++;
    unsigned char c = 0;
    int r;
    input_waiting = true;
    {
        kr_rtos_blocking_section section;
        r = read_byte_raw(&c);
        // The window feeds whole lines: one line answers one prompt, so the rest of it goes.
        if (r == 1 && c != '\n' && feed_fd >= 0) {
            unsigned char rest = 0;
            while (read_byte_raw(&rest) == 1 && rest != '\n') {
            }
        }
    }
    input_waiting = false;
    return r == 1 ? c : -1;
}

bool kr_stdin_is_waiting(void) { return input_waiting; }

uint32_t kr_stdin_get_prompt_count(void) { return prompt_count; }

char *kr_win_readline(const char *prompt)
{
    if (prompt) {
        std::fputs(prompt, stdout);
        std::fflush(stdout);
    }
    char line[1024];
    long n = read_line(line, sizeof line);
    if (n < 0) return nullptr;
    while (n > 0 && (line[n - 1] == '\n' || line[n - 1] == '\r')) line[--n] = '\0';
    return strdup(line);
}

} // extern "C"
