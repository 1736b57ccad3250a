// The fleet layer over the broker client, the file-server client and the remote CAN bridge.
#include "online/fleet.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "kr_rtos.h"
#include "ui/mirror.h"
#include "online/mqtt.h"
#include "online/remotecan.h"
#include "online/remotefiles.h"

namespace {

constexpr uint32_t UI_REASSERT_S = 2;
constexpr uint32_t STEP_MS = 20;

int16_t ui_fleet = -1, ui_dev = -1;
time_t last_feature_request = 0;
bool view_changed = false;
bool close_registered = false;

void put(char *dest, uint32_t length, const char *format, ...) __attribute__((format(printf, 3, 4)));
void put(char *dest, uint32_t length, const char *format, ...)
{
    if (!dest || length == 0) return;
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(dest, length, format, ap);
    va_end(ap);
}

bool same_nocase(const char *a, const char *b)
{
    for (;; ++a, ++b) {
        char ca = *a, cb = *b;
        if (ca >= 'A' && ca <= 'Z') ca = (char)(ca - 'A' + 'a');
        if (cb >= 'A' && cb <= 'Z') cb = (char)(cb - 'A' + 'a');
        if (ca != cb) return false;
        if (!ca) return true;
    }
}

const char *or_dash(const char *s) { return s && *s ? s : "-"; }
const char *on_off(bool on) { return on ? "on" : "off"; }

bool is_selected(uint8_t f, uint8_t d) { return ui_fleet == (int16_t)f && ui_dev == (int16_t)d; }

void open_window(uint16_t width, uint16_t height)
{
    if (remoteui_win_is_open() || ui_fleet < 0) return;
    const uint8_t f = (uint8_t)ui_fleet, d = (uint8_t)ui_dev;
    const char *ident = mqtt_get_dev_ident(f, d);
    const char *devname = mqtt_get_dev_devname(f, d);
    const char *name = ident && *ident ? ident : devname && *devname ? devname : "remote device";
    char title[160];
    std::snprintf(title, sizeof title, "%s - %s", name, mqtt_get_dev_name(f, d));
    if (!remoteui_win_open(title, width, height)) fleet_ui_stop();
    view_changed = true;
}

void on_frame(uint8_t f, uint8_t d, const uint8_t *cmds, uint32_t length, void *)
{
    if (!is_selected(f, d)) return;
    uint16_t w = 0, h = 0;
    if (!remoteui_win_is_open() && mqtt_get_dev_ui_size(f, d, &w, &h)) open_window(w, h);
    if (remoteui_win_is_open()) remoteui_win_draw_frame(cmds, length);
}

void on_asset(uint8_t f, uint8_t d, uint8_t kind, uint32_t id, const uint8_t *data, uint32_t length, void *)
{
    if (remoteui_win_is_open() && is_selected(f, d)) remoteui_win_asset_received(kind, id, data, length);
}

void on_asset_request(uint8_t kind, uint32_t id, void *)
{
    if (ui_fleet >= 0) mqtt_dev_request_asset((uint8_t)ui_fleet, (uint8_t)ui_dev, kind, id);
}

void on_input(uint8_t action, int16_t x, int16_t y, int16_t scroll, char key, void *)
{
    if (ui_fleet >= 0) mqtt_dev_send_input((uint8_t)ui_fleet, (uint8_t)ui_dev, action, x, y, scroll, key);
}

void on_close(uint8_t f, uint8_t d, void *)
{
    if (remotecan_shows(f, d)) {
        std::printf("remote CAN: closing the bridge - the device sent a close request\n");
        std::fflush(stdout);
        remotecan_stop();
        view_changed = true;
    }
    if (is_selected(f, d)) {
        std::printf("remote UI: closing the mirrored view - the device sent a close request\n");
        std::fflush(stdout);
        fleet_ui_stop();
    }
}

} // namespace

void fleet_login(const char *files_url, const char *broker_url, const char *username, const char *password,
                 fleet_login_st *out)
{
    if (!out) return;
    files_url = files_url ? files_url : "";
    username = username ? username : "";
    std::printf("File server: connecting to '%s' as '%s'...\n", files_url, username);
    std::fflush(stdout);
    out->err[0] = '\0';
    out->files_ok = remotefiles_login(files_url, username, password ? password : "", out->err, sizeof out->err);
    if (out->files_ok) {
        const uint32_t n = remotefiles_get_fleet_count();
        std::printf("File server: connected to '%s' as '%s', %u fleet(s):", files_url, username, n);
        for (uint32_t i = 0; i < n; ++i) std::printf(" %s", remotefiles_get_fleet(i));
        std::printf("\n");
    } else {
        std::printf("File server: connecting to '%s' failed: %s\n", files_url, out->err);
    }
    std::fflush(stdout);
    out->broker_ok = mqtt_connect(broker_url ? broker_url : "", username, password ? password : "");
}

void fleet_login_finish(fleet_login_st *result)
{
    if (!result) return;
    if (result->broker_ok) {
        // The file server knows which fleets the account may see; the broker learns them from us.
        const uint32_t n = remotefiles_get_fleet_count();
        for (uint32_t i = 0; i < n; ++i) mqtt_add_fleet(remotefiles_get_fleet(i));
    } else if (!result->err[0]) {
        put(result->err, sizeof result->err, "%s", mqtt_get_error());
    }
}

bool fleet_wait_connected(uint32_t timeout_ms, char *err, uint32_t err_length)
{
    uint32_t waited = 0;
    for (;;) {
        switch (mqtt_get_state()) {
        case MQTT_STATE_CONNECTED: return true;
        case MQTT_STATE_CONNECTING: break;
        default: {
            const char *e = mqtt_get_error();
            put(err, err_length, "%s", e && *e ? e : "Not connected to the broker.");
            return false;
        }
        }
        if (waited >= timeout_ms) {
            put(err, err_length, "Timed out connecting to %s.", mqtt_get_host());
            return false;
        }
        kr_rtos_task_delay(STEP_MS);
        waited += STEP_MS;
    }
}

bool fleet_find_dev(const char *text, uint8_t *fleet, uint8_t *device, char *err, uint32_t err_length)
{
    if (!text) text = "";
    // An empty text names nothing, not every device whose name is still empty.
    const char *slash = std::strchr(text, '/');
    char list[256] = "";
    size_t list_len = 0;
    uint32_t matches = 0;
    const uint32_t fleets = mqtt_get_fleet_count();
    for (uint32_t f = 0; f < fleets && f < MQTT_MAX_FLEETS; ++f) {
        const char *fname = mqtt_get_fleet_name((uint8_t)f);
        const uint32_t devs = mqtt_get_dev_count((uint8_t)f);
        for (uint32_t d = 0; d < devs && d < MQTT_MAX_DEVS; ++d) {
            const char *cid = mqtt_get_dev_name((uint8_t)f, (uint8_t)d);
            bool hit;
            if (!text[0]) {
                hit = false;
            } else if (slash) {
                const size_t flen = (size_t)(slash - text);
                hit = std::strlen(fname) == flen && std::strncmp(fname, text, flen) == 0 &&
                      std::strcmp(cid, slash + 1) == 0;
            } else {
                const char *ident = mqtt_get_dev_ident((uint8_t)f, (uint8_t)d);
                hit = same_nocase(cid, text) || same_nocase(mqtt_get_dev_devname((uint8_t)f, (uint8_t)d), text) ||
                      (ident[0] && same_nocase(ident, text));
            }
            if (!hit) continue;
            if (matches++ == 0) {
                if (fleet) *fleet = (uint8_t)f;
                if (device) *device = (uint8_t)d;
            }
            if (list_len < sizeof list - 1) {
                std::snprintf(list + list_len, sizeof list - list_len, " %s/%s", fname, cid);
                list_len = std::strlen(list);
            }
        }
    }
    if (matches == 0) {
        put(err, err_length, "No device '%s' in the fleet view.", text);
        return false;
    }
    if (matches > 1) {
        put(err, err_length, "'%s' names %u devices:%s. Give it as <fleet>/<client id>.", text, matches, list);
        return false;
    }
    return true;
}

const char *fleet_dev_summary_header(void)
{
    return "FLEET/CLIENT ID                      NAME             DEVICE                UPTIME    UI  CAN  SEEN";
}

void fleet_dev_summary(uint8_t f, uint8_t d, char *buf, uint32_t length)
{
    char who[130];
    std::snprintf(who, sizeof who, "%s/%s", mqtt_get_fleet_name(f), mqtt_get_dev_name(f, d));
    const uint32_t up = mqtt_get_dev_uptime_s(f, d);
    char uptime[24];
    std::snprintf(uptime, sizeof uptime, "%uh%02um", up / 3600, (up / 60) % 60);
    const uint8_t feat = mqtt_get_dev_features(f, d);
    put(buf, length, "%-36s %-16s %-21s %-9s %-3s %-4s %us ago", who, or_dash(mqtt_get_dev_ident(f, d)),
        or_dash(mqtt_get_dev_devname(f, d)), uptime, on_off(feat & 1), on_off(feat & 2), mqtt_get_dev_age_s(f, d));
}

void fleet_dev_info(uint8_t f, uint8_t d, char *buf, uint32_t length)
{
    const char *ident = mqtt_get_dev_ident(f, d);
    const char *name = ident[0] ? ident : mqtt_get_dev_ident_known(f, d) ? "(not named yet)" : "-";
    const char *devname = mqtt_get_dev_devname(f, d);
    const uint32_t up = mqtt_get_dev_uptime_s(f, d);
    const uint8_t feat = mqtt_get_dev_features(f, d);
    char display[40] = "unknown until mirrored";
    uint16_t w = 0, h = 0;
    if (mqtt_get_dev_ui_size(f, d, &w, &h)) std::snprintf(display, sizeof display, "%u x %u", w, h);

    char can[700] = "";
    if (remotecan_shows(f, d)) {
        char stats[320] = "";
        remote_can_stats_st s;
        std::memset(&s, 0, sizeof s);
        if (mqtt_get_dev_can_stats(f, d, &s)) {
            static const char *const cls[REMOTE_CAN_CLASS_COUNT] = {"ctrl", "sdo", "bulk"};
            size_t n = 0;
            for (int c = 0; c < REMOTE_CAN_CLASS_COUNT && n < sizeof stats - 1; ++c) {
                std::snprintf(stats + n, sizeof stats - n, "  %-5s %8u fwd %8u drop  q %u\n", cls[c], s.forwarded[c],
                              s.dropped[c], s.queued[c]);
                n = std::strlen(stats);
            }
            if (n < sizeof stats - 1)
                std::snprintf(stats + n, sizeof stats - n, "  injected %u   filters %u%s\n", s.injected, s.rxconf_count,
                              (s.flags & 1) ? " (whole bus)" : "");
        } else {
            std::snprintf(stats, sizeof stats, "  (waiting for the device's first report)\n");
        }
        const bool sd = remotecan_get_allow_std(), ex = remotecan_get_allow_ext();
        std::snprintf(can, sizeof can,
                      "\nRemote CAN: netdev %s, %s messages%s%s\n%s  to netdev %u   from netdev %u   filtered %u   "
                      "failed %u\n",
                      remotecan_get_ifname(),
                      sd && ex ? "STD and EXT"
                      : sd     ? "STD"
                      : ex     ? "EXT"
                               : "no",
                      remotecan_get_sdo_only() ? ", SDO only" : "",
                      mqtt_dev_get_can_active(f, d) ? "" : "   (device reports CAN off)", stats,
                      remotecan_get_rx_count(), remotecan_get_tx_count(), remotecan_get_filtered_count(),
                      remotecan_get_error_count());
    }
    put(buf, length,
        "Name:       %s\nDevice:     %s\nFleet:      %s\nClient id:  %s\nState:      %u\nUptime:     %u h %02u min\n"
        "Remote:     UI %s, CAN %s%s\nDisplay:    %s\nMessages:   %u\nLast seen:  %u s ago\n%s",
        name, devname[0] ? devname : "(not heard from yet)", mqtt_get_fleet_name(f), mqtt_get_dev_name(f, d),
        mqtt_get_dev_state(f, d), up / 3600, (up / 60) % 60, on_off(feat & 1), on_off(feat & 2),
        (feat & 4) ? " (SDO only)" : "", display, mqtt_get_dev_msg_count(f, d), mqtt_get_dev_age_s(f, d), can);
}

bool fleet_remove_dev(uint8_t f, uint8_t d)
{
    if (remotecan_shows(f, d)) remotecan_stop();
    if (is_selected(f, d)) fleet_ui_stop();
    const bool removed = mqtt_remove_dev(f, d);
    // Later devices move down one place, but only when one was really taken out.
    if (removed && ui_fleet == (int16_t)f && ui_dev > (int16_t)d) --ui_dev;
    return removed;
}

bool fleet_ui_start(uint8_t f, uint8_t d)
{
    fleet_ui_stop();
    ui_fleet = f;
    ui_dev = d;
    mqtt_set_ui_frame_callb(on_frame, nullptr);
    mqtt_set_asset_callb(on_asset, nullptr);
    remoteui_win_set_asset_request_callb(on_asset_request, nullptr);
    remoteui_win_set_input_callb(on_input, nullptr);
    const bool ok = mqtt_dev_set_ui_active(f, d, true);
    if (!ok) ui_fleet = ui_dev = -1;
    view_changed = true;
    return ok;
}

void fleet_ui_stop(void)
{
    if (ui_fleet >= 0) {
        mqtt_dev_set_ui_active((uint8_t)ui_fleet, (uint8_t)ui_dev, false);
        view_changed = true;
    }
    ui_fleet = ui_dev = -1;
    remoteui_win_close();
}

bool fleet_ui_is_active(void) { return ui_fleet >= 0; }

bool fleet_ui_shows(uint8_t f, uint8_t d) { return remoteui_win_is_open() && is_selected(f, d); }

void fleet_ui_selected(int16_t *fleet, int16_t *device)
{
    if (fleet) *fleet = ui_fleet;
    if (device) *device = ui_dev;
}

bool fleet_step(void)
{
    if (!close_registered) {
        mqtt_set_close_callb(on_close, nullptr);
        close_registered = true;
    }
    mqtt_ui_step();
    const bool connected = mqtt_is_connected();
    if (remotecan_is_active() && !connected) {
        std::printf("remote CAN: closing the bridge - the broker connection is gone\n");
        std::fflush(stdout);
        remotecan_stop();
        view_changed = true;
    }
    if (ui_fleet >= 0 && connected) {
        const time_t now = std::time(nullptr);
        if (mqtt_get_dev_features((uint8_t)ui_fleet, (uint8_t)ui_dev) != 0) {
            last_feature_request = now;
        } else if (now - last_feature_request >= (time_t)UI_REASSERT_S) {
            last_feature_request = now;
            mqtt_dev_set_features((uint8_t)ui_fleet, (uint8_t)ui_dev, 1);
        }
    }
    uint16_t w = 0, h = 0;
    const auto size_known = [&] { return mqtt_get_dev_ui_size((uint8_t)ui_fleet, (uint8_t)ui_dev, &w, &h); };
    if (ui_fleet >= 0 && !remoteui_win_is_open() && size_known()) open_window(w, h);
    if (remoteui_win_is_open() && ui_fleet >= 0)
        remoteui_win_set_link_age(mqtt_get_dev_age_s((uint8_t)ui_fleet, (uint8_t)ui_dev));
    remoteui_win_step();
    // Closed by the user, or it could not open: the mirroring ends with it.
    if (ui_fleet >= 0 && !remoteui_win_is_open() && size_known()) fleet_ui_stop();
    const bool changed = view_changed;
    view_changed = false;
    return changed;
}
