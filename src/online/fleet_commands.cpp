// The fleet commands login, remotelist, remoteui and remotecan: one job each, every failed step says why
// as a job error and the run goes on with the next job.
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "online/account.h"
#include "run/commands.h"
#include "online/fleet.h"
#include "run/main.h"
#include "ui/mirror.h"
#include "online/mqtt.h"
#include "online/remotecan.h"
#include "kr_bytes.h"

namespace {

constexpr uint32_t CONNECT_TIMEOUT_MS = 15000;
constexpr uint32_t LIST_DEFAULT_S = 7;
constexpr uint32_t DEV_WAIT_MS = 15000;
constexpr uint32_t UI_WAIT_MS = 15000;
constexpr uint32_t CAN_REPORT_MS = 10000;
constexpr uint32_t STEP_MS = 20;
constexpr size_t DEV_TEXT_LEN = 128;

// Each queued job takes the argument its own option gave: a second --remoteui must not retarget the first.
template <typename T> struct arg_queue {
    T items[TASKS_LEN];
    uint32_t head = 0, count = 0;
    void push(const T &v)
    {
        if (count < TASKS_LEN) items[(head + count++) % TASKS_LEN] = v;
    }
    T pop()
    {
        T v{};
        if (count) {
            v = items[head];
            head = (head + 1) % TASKS_LEN;
            --count;
        }
        return v;
    }
};

struct dev_text {
    char s[DEV_TEXT_LEN];
};

arg_queue<uint32_t> list_seconds;
arg_queue<dev_text> ui_texts, can_texts;

uint32_t elapsed_since(uint32_t start) { return kr_rtos_get_tick_count() - start; }

bool login_step(void)
{
    if (!mqtt_is_supported()) {
        job_error_plain("The remote fleet needs an MQTT client, which this build does not have.\n");
        return false;
    }
    if (mqtt_is_connected()) return true;
    const char *user = credentials_get_username(), *pwd = credentials_get_password();
    if (!user[0] || !pwd[0]) {
        job_error_plain("No account stored on this computer. Give it with --user and --pwd.\n");
        return false;
    }
    mqtt_start_pump();
    const char *broker = credentials_fleet_get_url();
    fleet_login_st login;
    std::memset(&login, 0, sizeof login);
    fleet_login(credentials_get_url(), broker, user, pwd, &login);
    fleet_login_finish(&login);
    if (!login.broker_ok) {
        job_error_plain("Fleet: connecting to '%s' failed: %s\n", broker, login.err);
        return false;
    }
    char err[256] = "";
    if (!fleet_wait_connected(CONNECT_TIMEOUT_MS, err, sizeof err)) {
        job_error_plain("Fleet: connecting to '%s' failed: %s\n", broker, err);
        return false;
    }
    say_flushed("Fleet: connected to '%s' as '%s'\n", broker, user);
    return true;
}

bool find_device(const char *text, uint8_t *f, uint8_t *d)
{
    say_flushed("Looking for '%s'...\n", text);
    char err[320] = "";
    const uint32_t start = kr_rtos_get_tick_count();
    for (;;) {
        fleet_step();
        if (fleet_find_dev(text, f, d, err, sizeof err)) {
            say_flushed("Found %s/%s\n", mqtt_get_fleet_name(*f), mqtt_get_dev_name(*f, *d));
            return true;
        }
        if (elapsed_since(start) >= DEV_WAIT_MS) break;
        kr_rtos_task_delay(STEP_MS);
    }
    job_error_plain("%s\n", err);
    return false;
}

void login_job(void *) { login_step(); }

void remotelist_job(void *)
{
    const uint32_t seconds = list_seconds.pop();
    if (!login_step()) return;
    say_flushed("Listening for devices for %u s...\n", seconds);
    const uint32_t start = kr_rtos_get_tick_count();
    while (elapsed_since(start) < seconds * 1000u) {
        fleet_step();
        kr_rtos_task_delay(STEP_MS);
    }
    std::printf("\n%s\n", fleet_dev_summary_header());
    uint32_t fleets = mqtt_get_fleet_count(), total = 0;
    if (fleets > MQTT_MAX_FLEETS) fleets = MQTT_MAX_FLEETS;
    for (uint32_t f = 0; f < fleets; ++f) {
        uint32_t n = mqtt_get_dev_count((uint8_t)f);
        if (n > MQTT_MAX_DEVS) n = MQTT_MAX_DEVS;
        if (n == 0) std::printf("%-36s (no devices heard from)\n", mqtt_get_fleet_name((uint8_t)f));
        for (uint32_t d = 0; d < n; ++d) {
            char row[256];
            fleet_dev_summary((uint8_t)f, (uint8_t)d, row, sizeof row);
            std::printf("%s\n", row);
        }
        total += n;
    }
    say_flushed("\n%u device(s) in %u fleet(s)\n", total, fleets);
}

void remoteui_job(void *)
{
    const dev_text text = ui_texts.pop();
    uint8_t f = 0, d = 0;
    if (!login_step() || !find_device(text.s, &f, &d)) return;
    if (!fleet_ui_start(f, d)) {
        job_error_plain("remote UI: could not ask the device to start mirroring\n");
        return;
    }
    say_flushed("remote UI: waiting for the device to answer...\n");
    uint32_t waited = 0;
    while (fleet_ui_is_active()) {
        remoteui_win_poll_events();
        fleet_step();
        if (!fleet_ui_shows(f, d)) {
            waited += STEP_MS;
            if (waited >= UI_WAIT_MS) {
                job_error_plain("remote UI: the device did not answer. Is remote UI allowed on it?\n");
                fleet_ui_stop();
            }
        }
        kr_rtos_task_delay(STEP_MS);
    }
    kr_rtos_task_delay(500);
}

void remotecan_job(void *)
{
    const dev_text text = can_texts.pop();
    uint8_t f = 0, d = 0;
    if (!login_step() || !find_device(text.s, &f, &d)) return;
    if (!remotecan_start(f, d)) {
        job_error_plain("%s\n", remotecan_get_error());
        return;
    }
    const char *ifname = remotecan_get_ifname();
    say_flushed(
        "remote CAN: the bus of %s/%s is on %s until Ctrl-C. Reach it with e.g. 'krcan -c %s ...' or 'candump %s'.\n",
        mqtt_get_fleet_name(f), mqtt_get_dev_name(f, d), ifname, ifname, ifname);
    uint32_t last = kr_rtos_get_tick_count();
    while (remotecan_is_active()) {
        fleet_step();
        kr_rtos_task_delay(STEP_MS);
        if (elapsed_since(last) < CAN_REPORT_MS) continue;
        last = kr_rtos_get_tick_count();
        std::printf("remote CAN: to netdev %u, from netdev %u, filtered %u, failed %u%s\n", remotecan_get_rx_count(),
                    remotecan_get_tx_count(), remotecan_get_filtered_count(), remotecan_get_error_count(),
                    mqtt_dev_get_can_active(f, d) ? "" : " (device reports CAN off)");
        remote_can_stats_st s;
        std::memset(&s, 0, sizeof s);
        if (mqtt_get_dev_can_stats(f, d, &s)) {
            static const char *const cls[REMOTE_CAN_CLASS_COUNT] = {"ctrl", "sdo", "bulk"};
            std::printf("remote CAN: device injected %u", s.injected);
            for (int c = 0; c < REMOTE_CAN_CLASS_COUNT; ++c)
                std::printf(", %s %u fwd %u drop", cls[c], s.forwarded[c], s.dropped[c]);
            std::printf("\n");
        }
        std::fflush(stdout);
    }
    // The bridge went down with the broker connection: not a clean end, though nothing here says so.
    if (!mqtt_is_connected()) job_failed();
}

bool queue_text(arg_queue<dev_text> &q, const char *arg, void (*job)(void *))
{
    if (!add_task(job)) return false;
    dev_text t{};
    kr_copy_text(t.s, sizeof t.s, arg);
    q.push(t);
    return true;
}

} // namespace

bool cmd_login(const char *) { return add_task(login_job); }

bool cmd_remotelist(const char *arg)
{
    uint32_t seconds = LIST_DEFAULT_S;
    int64_t given = 0;
    if (arg) {
        if (!cmdline_option_number("remotelist", arg, &given)) return false;
        seconds = (uint32_t)given;
    }
    if (!add_task(remotelist_job)) return false;
    list_seconds.push(seconds);
    return true;
}

bool cmd_remoteui(const char *arg) { return queue_text(ui_texts, arg, remoteui_job); }

bool cmd_remotecan(const char *arg) { return queue_text(can_texts, arg, remotecan_job); }
