// The bus listener: prints every received frame, one line each, for a time or without end.
#include <cinttypes>
#include <cstdio>
#include <ctime>
#include <sys/time.h>

#include "bus/bus.h"
#include "run/commands.h"
#include "kr_can.h"
#include "kr_canopen.h"
#include "bus/listen.h"
#include "run/main.h"

namespace {

constexpr uint32_t kStepMs = 200;

// Each queued listener keeps the time that stood when its option was read.
uint32_t times[TASKS_LEN];
uint32_t times_queued = 0;
uint32_t times_taken = 0;
volatile bool output_lost = false;

void can_callb(void *, const kr_can_message_st *msg)
{
    char line[160];
    int len = listen_format_frame(msg, line, sizeof line);
    if (len <= 0) return;
    // One write per line, flushed: a line is never half out when the run is cut short.
    // A reader that went away (a closed pipe with SIGPIPE ignored) ends the listener.
    if (fwrite(line, 1, (size_t)len, stdout) != (size_t)len || fflush(stdout) != 0 || ferror(stdout))
        output_lost = true;
}

// Listens for the job's time, or until the output or the bus is lost.
void listen_for_time()
{
    for (uint64_t count = 0; dev.listen.time == LISTEN_TIME_ENDLESS || count < dev.listen.time; count += kStepMs) {
        kr_rtos_task_delay(kStepMs);
        if (output_lost) return; // the end of the run reports the lost output
        // A connection lost while listening ends the job: what follows would be silence, not a quiet bus.
        if (!bus_still_up("listen")) return;
    }
}

void listen_task(void *)
{
    if (times_taken >= times_queued) return;
    dev.listen.time = times[times_taken++];
    // Silence from a closed port would read as a quiet bus.
    if (!bus_ready("listen") || !bus_take_frames("listen", can_callb)) return;
    listen_for_time();
    // Frames after the time, or of a later job's bus, are not this listen's to print.
    bus_drop_frames(can_callb);
}

} // namespace

extern "C" {

int listen_format_frame(const kr_can_message_st *msg, char *dest, size_t dest_length)
{
    if (!msg || !dest || dest_length == 0) return 0;
    struct timeval t = kr_can_get_rx_time();
    time_t secs = t.tv_sec;
    struct tm tm_local {};
    localtime_r(&secs, &tm_local);
    const char *type = msg->type == CAN_EXT ? "EXT" : msg->type == CAN_ERR ? "ERR" : "STD";
    unsigned dlc = msg->data_length > 8 ? 8 : msg->data_length;
    int n = snprintf(dest, dest_length, "%02u:%02u:%02u:%03u %s ID: 0x%x, DLC: %u, ", (unsigned)tm_local.tm_hour,
                     (unsigned)tm_local.tm_min, (unsigned)tm_local.tm_sec, (unsigned)(t.tv_usec / 1000), type,
                     (unsigned)msg->id, (unsigned)msg->data_length);
    for (unsigned i = 0; i < dlc && n >= 0 && (size_t)n < dest_length; i++)
        n += snprintf(dest + n, dest_length - (size_t)n, "0x%02x ", (unsigned)msg->data[i]);
    if (n >= 0 && (size_t)n < dest_length) n += snprintf(dest + n, dest_length - (size_t)n, "\n");
    if (n < 0) return 0;
    return (size_t)n < dest_length ? n : (int)dest_length - 1;
}

bool cmd_listen(const char *arg)
{
    uint32_t time = LISTEN_TIME_ENDLESS;
    if (arg) {
        int64_t secs;
        if (!cmdline_option_number("listen", arg, &secs)) return false;
        printf("Listening on the CAN bus for %u seconds.\n", (unsigned)secs);
        time = (uint32_t)(secs * 1000);
    }
    if (!add_task(listen_task)) return false;
    dev.listen.time = time;
    times[times_queued++] = time;
    kr_can_set_up(false);
    return true;
}

} // extern "C"
