// A broker client and remote CAN bridge that answer from a test's fleets and devices. Include it in
// exactly one file of a test program: its definitions take the place of the build's own clients.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include "online/mqtt.h"
#include "online/remotecan.h"

namespace fleetdbl {

struct device {
    std::string name; // client id
    std::string ident;
    std::string devname;
    bool ident_known = false;
    bool online = true;
    uint8_t state = 5;
    uint8_t features = 0;
    uint32_t uptime = 0, age = 1, msgs = 3;
    bool ui_size = false;
    uint16_t w = 0, h = 0;
    bool has_stats = false;
    remote_can_stats_st stats{};
    bool can_active = false;
};

struct fleet {
    std::string name;
    std::vector<device> devs;
};

struct world {
    bool supported = true;
    mqtt_state_e state = MQTT_STATE_CONNECTED;
    std::vector<fleet> fleets;
    bool changed = false;
    bool accept_ui = true; // answer to a streaming request
    bool remove_ok = true;
    std::vector<std::string> calls; // requests sent to devices, in order
    // Remote CAN bridge.
    bool can_start_ok = true;
    int can_f = -1, can_d = -1;
    bool allow_std = true, allow_ext = true, sdo_only = false;
    uint32_t rx = 0, tx = 0, filtered = 0, failed = 0;
    mqtt_close_callb_t close_cb = nullptr;
    mqtt_ui_frame_callb_t frame_cb = nullptr;
};

inline world W;

// Handlers stay registered, as they would with the one client of a process.
inline void reset()
{
    world w;
    w.close_cb = W.close_cb;
    w.frame_cb = W.frame_cb;
    W = w;
}

inline device *dev(uint8_t f, uint8_t d)
{
    if (f >= W.fleets.size() || d >= W.fleets[f].devs.size()) return nullptr;
    return &W.fleets[f].devs[d];
}

inline void log(const std::string &what, uint8_t f, uint8_t d)
{
    W.calls.push_back(what + " " + std::to_string(f) + "/" + std::to_string(d));
}

} // namespace fleetdbl

using fleetdbl::W;

#define DEV_OR(f, d, dflt)                      \
    fleetdbl::device *x_ = fleetdbl::dev(f, d); \
    if (!x_) return dflt

extern "C" {

bool mqtt_is_supported(void) { return W.supported; }
bool mqtt_connect(const char *, const char *, const char *) { return W.supported; }
void mqtt_disconnect(void) { W.state = MQTT_STATE_DISCONNECTED; }
void mqtt_start_pump(void) {}
void mqtt_step(void) {}
void mqtt_ui_step(void) {}
mqtt_state_e mqtt_get_state(void) { return W.state; }
bool mqtt_is_connected(void) { return W.state == MQTT_STATE_CONNECTED; }
const char *mqtt_get_error(void) { return "double: no broker"; }
const char *mqtt_get_host(void) { return "broker.test"; }

void mqtt_add_fleet(const char *name) { W.fleets.push_back({name, {}}); }
uint32_t mqtt_get_fleet_count(void) { return (uint32_t)W.fleets.size(); }
const char *mqtt_get_fleet_name(uint8_t f) { return f < W.fleets.size() ? W.fleets[f].name.c_str() : ""; }
uint32_t mqtt_get_dev_count(uint8_t f) { return f < W.fleets.size() ? (uint32_t)W.fleets[f].devs.size() : 0; }
uint32_t mqtt_get_online_count(uint8_t f)
{
    uint32_t n = 0;
    if (f < W.fleets.size())
        for (auto &d : W.fleets[f].devs) n += d.online;
    return n;
}
bool mqtt_poll_changed(void)
{
    const bool c = W.changed;
    W.changed = false;
    return c;
}

bool mqtt_remove_dev(uint8_t f, uint8_t d)
{
    fleetdbl::log("remove", f, d);
    if (!W.remove_ok || !fleetdbl::dev(f, d)) return false;
    W.fleets[f].devs.erase(W.fleets[f].devs.begin() + d);
    return true;
}
const char *mqtt_get_dev_name(uint8_t f, uint8_t d)
{
    DEV_OR(f, d, "");
    return x_->name.c_str();
}
const char *mqtt_get_dev_ident(uint8_t f, uint8_t d)
{
    DEV_OR(f, d, "");
    return x_->ident.c_str();
}
const char *mqtt_get_dev_devname(uint8_t f, uint8_t d)
{
    DEV_OR(f, d, "");
    return x_->devname.c_str();
}
bool mqtt_get_dev_ident_known(uint8_t f, uint8_t d)
{
    DEV_OR(f, d, false);
    return x_->ident_known;
}
bool mqtt_get_dev_online(uint8_t f, uint8_t d)
{
    DEV_OR(f, d, false);
    return x_->online;
}
uint8_t mqtt_get_dev_state(uint8_t f, uint8_t d)
{
    DEV_OR(f, d, 0);
    return x_->state;
}
uint8_t mqtt_get_dev_features(uint8_t f, uint8_t d)
{
    DEV_OR(f, d, 0);
    return x_->features;
}
uint32_t mqtt_get_dev_uptime_s(uint8_t f, uint8_t d)
{
    DEV_OR(f, d, 0);
    return x_->uptime;
}
uint32_t mqtt_get_dev_age_s(uint8_t f, uint8_t d)
{
    DEV_OR(f, d, 0);
    return x_->age;
}
uint32_t mqtt_get_dev_msg_count(uint8_t f, uint8_t d)
{
    DEV_OR(f, d, 0);
    return x_->msgs;
}
bool mqtt_get_dev_ui_size(uint8_t f, uint8_t d, uint16_t *w, uint16_t *h)
{
    DEV_OR(f, d, false);
    if (!x_->ui_size) return false;
    *w = x_->w;
    *h = x_->h;
    return true;
}
bool mqtt_get_dev_can_stats(uint8_t f, uint8_t d, remote_can_stats_st *s)
{
    DEV_OR(f, d, false);
    if (!x_->has_stats) return false;
    *s = x_->stats;
    return true;
}

bool mqtt_dev_get_ui_active(uint8_t, uint8_t) { return false; }
bool mqtt_dev_get_can_active(uint8_t f, uint8_t d)
{
    DEV_OR(f, d, false);
    return x_->can_active;
}
bool mqtt_dev_set_ui_active(uint8_t f, uint8_t d, bool active)
{
    fleetdbl::log(active ? "ui on" : "ui off", f, d);
    return fleetdbl::dev(f, d) && W.accept_ui;
}
bool mqtt_dev_set_can_active(uint8_t, uint8_t, bool, bool) { return false; }
bool mqtt_dev_set_features(uint8_t f, uint8_t d, uint8_t features)
{
    fleetdbl::log("features " + std::to_string(features), f, d);
    return true;
}
bool mqtt_dev_request_asset(uint8_t f, uint8_t d, uint8_t kind, uint32_t id)
{
    fleetdbl::log("asset " + std::to_string(kind) + ":" + std::to_string(id), f, d);
    return true;
}
bool mqtt_dev_send_input(uint8_t f, uint8_t d, uint8_t action, int16_t x, int16_t y, int16_t, char)
{
    fleetdbl::log("input " + std::to_string(action) + " " + std::to_string(x) + "," + std::to_string(y), f, d);
    return true;
}
bool mqtt_dev_send_can(uint8_t, uint8_t, const kr_can_msg_st *) { return false; }
bool mqtt_dev_send_rxconf(uint8_t, uint8_t, uint32_t, uint32_t, kr_can_msg_types_e) { return false; }
bool mqtt_dev_send_rxclear(uint8_t, uint8_t) { return false; }
bool mqtt_dev_send_rxdone(uint8_t, uint8_t) { return false; }
bool mqtt_dev_release_can_from_signal(uint8_t, uint8_t) { return false; }

void mqtt_set_ui_frame_callb(mqtt_ui_frame_callb_t cb, void *) { W.frame_cb = cb; }
void mqtt_set_asset_callb(mqtt_asset_callb_t, void *) {}
void mqtt_set_close_callb(mqtt_close_callb_t cb, void *) { W.close_cb = cb; }
void mqtt_set_can_callb(mqtt_can_callb_t, void *) {}

bool remotecan_start(uint8_t f, uint8_t d)
{
    fleetdbl::log("can start", f, d);
    if (!W.can_start_ok || !fleetdbl::dev(f, d)) return false;
    W.can_f = f;
    W.can_d = d;
    return true;
}
void remotecan_stop(void)
{
    if (W.can_f >= 0) fleetdbl::log("can stop", (uint8_t)W.can_f, (uint8_t)W.can_d);
    W.can_f = W.can_d = -1;
}
void remotecan_shutdown(void) { remotecan_stop(); }
void remotecan_step(void) {}
void remotecan_release_from_signal(void) {}
bool remotecan_is_active(void) { return W.can_f >= 0; }
bool remotecan_shows(uint8_t f, uint8_t d) { return W.can_f == f && W.can_d == d; }
const char *remotecan_get_error(void) { return "double: no bridge"; }
const char *remotecan_get_ifname(void) { return W.can_f >= 0 ? REMOTECAN_IFNAME : ""; }
uint32_t remotecan_get_rx_count(void) { return W.rx; }
uint32_t remotecan_get_tx_count(void) { return W.tx; }
uint32_t remotecan_get_filtered_count(void) { return W.filtered; }
uint32_t remotecan_get_error_count(void) { return W.failed; }
void remotecan_set_allow_std(bool v) { W.allow_std = v; }
void remotecan_set_allow_ext(bool v) { W.allow_ext = v; }
void remotecan_set_sdo_only(bool v) { W.sdo_only = v; }
bool remotecan_get_allow_std(void) { return W.allow_std; }
bool remotecan_get_allow_ext(void) { return W.allow_ext; }
bool remotecan_get_sdo_only(void) { return W.sdo_only; }
void remotecan_set_filters(const remotecan_filter_st *, uint32_t) {}
const remotecan_filter_st *remotecan_get_filter(uint32_t) { return nullptr; }
uint32_t remotecan_get_filter_count(void) { return 0; }

} // extern "C"

#undef DEV_OR
