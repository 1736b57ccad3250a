// Linked into krcan_jsrec, the krcan binary for the joystick's end-to-end tests: the controller back end
// is replaced by one that appends every call to the file named by KRCAN_JSREC, one line each, written
// whole with one write(2) so that a Ctrl-C never leaves half a line:
//   "o NAME T", "a AXIS VALUE T", "b INDEX 0|1 T", "s 0 0 T", "c 0 0 T" (T: monotonic clock in microseconds).
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "joystick/joystick.h"

namespace {

int fd = -1;

long long now_us()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000000 + ts.tv_nsec / 1000;
}

void line(const char *fmt, long long a, long long b)
{
    if (fd < 0) return;
    char buf[256];
    int n = std::snprintf(buf, sizeof buf, fmt, a, b, now_us());
    if (n > 0 && write(fd, buf, (size_t)n) != n) std::perror("krcan_jsrec");
}

bool rec_open(const char *name, char *err, size_t len)
{
    const char *path = std::getenv("KRCAN_JSREC");
    if (!path || !*path) {
        std::snprintf(err, len, "KRCAN_JSREC names no file");
        return false;
    }
    if (fd < 0) fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0) {
        std::snprintf(err, len, "cannot open %s", path);
        return false;
    }
    char buf[160];
    int n = std::snprintf(buf, sizeof buf, "o %s %lld\n", name, now_us());
    if (n > 0 && write(fd, buf, (size_t)n) != n) std::perror("krcan_jsrec");
    return true;
}
void rec_close(void) { line("c %lld %lld %lld\n", 0, 0); }
const char *rec_name(void) { return "recorder"; }
void rec_axis(uint8_t axis, int32_t value) { line("a %lld %lld %lld\n", axis, value); }
void rec_button(uint8_t index, bool pressed) { line("b %lld %lld %lld\n", index, pressed); }
void rec_sync(void) { line("s %lld %lld %lld\n", 0, 0); }

const jsdriver_ops_st recorder = {rec_open, rec_close, rec_name, rec_axis, rec_button, rec_sync};

struct install {
    install() { jsdriver_set_backend(&recorder); }
} installed;

} // namespace
