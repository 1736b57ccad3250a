// The fleet broker client of this build: no broker library is linked, so it never connects.
#include "online/mqtt.h"

bool mqtt_is_supported(void) { return false; }
bool mqtt_connect(const char *, const char *, const char *) { return false; }
void mqtt_disconnect(void) {}
void mqtt_start_pump(void) {}
void mqtt_step(void) {}
void mqtt_ui_step(void) {}
mqtt_state_e mqtt_get_state(void) { return MQTT_STATE_DISCONNECTED; }
bool mqtt_is_connected(void) { return false; }
const char *mqtt_get_error(void) { return "This build has no MQTT support (libmosquitto was not linked in)."; }
const char *mqtt_get_host(void) { return ""; }

void mqtt_add_fleet(const char *) {}
uint32_t mqtt_get_fleet_count(void) { return 0; }
const char *mqtt_get_fleet_name(uint8_t) { return ""; }
uint32_t mqtt_get_dev_count(uint8_t) { return 0; }
uint32_t mqtt_get_online_count(uint8_t) { return 0; }
bool mqtt_poll_changed(void) { return false; }

bool mqtt_remove_dev(uint8_t, uint8_t) { return false; }
const char *mqtt_get_dev_name(uint8_t, uint8_t) { return ""; }
const char *mqtt_get_dev_ident(uint8_t, uint8_t) { return ""; }
const char *mqtt_get_dev_devname(uint8_t, uint8_t) { return ""; }
bool mqtt_get_dev_ident_known(uint8_t, uint8_t) { return false; }
bool mqtt_get_dev_online(uint8_t, uint8_t) { return false; }
uint8_t mqtt_get_dev_state(uint8_t, uint8_t) { return 0; }
uint8_t mqtt_get_dev_features(uint8_t, uint8_t) { return 0; }
uint32_t mqtt_get_dev_uptime_s(uint8_t, uint8_t) { return 0; }
uint32_t mqtt_get_dev_age_s(uint8_t, uint8_t) { return 0; }
uint32_t mqtt_get_dev_msg_count(uint8_t, uint8_t) { return 0; }
bool mqtt_get_dev_ui_size(uint8_t, uint8_t, uint16_t *, uint16_t *) { return false; }
bool mqtt_get_dev_can_stats(uint8_t, uint8_t, remote_can_stats_st *) { return false; }

bool mqtt_dev_get_ui_active(uint8_t, uint8_t) { return false; }
bool mqtt_dev_get_can_active(uint8_t, uint8_t) { return false; }
bool mqtt_dev_set_ui_active(uint8_t, uint8_t, bool) { return false; }
bool mqtt_dev_set_can_active(uint8_t, uint8_t, bool, bool) { return false; }
bool mqtt_dev_set_features(uint8_t, uint8_t, uint8_t) { return false; }
bool mqtt_dev_request_asset(uint8_t, uint8_t, uint8_t, uint32_t) { return false; }
bool mqtt_dev_send_input(uint8_t, uint8_t, uint8_t, int16_t, int16_t, int16_t, char) { return false; }
bool mqtt_dev_send_can(uint8_t, uint8_t, const kr_can_msg_st *) { return false; }
bool mqtt_dev_send_rxconf(uint8_t, uint8_t, uint32_t, uint32_t, kr_can_msg_types_e) { return false; }
bool mqtt_dev_send_rxclear(uint8_t, uint8_t) { return false; }
bool mqtt_dev_send_rxdone(uint8_t, uint8_t) { return false; }
bool mqtt_dev_release_can_from_signal(uint8_t, uint8_t) { return false; }

void mqtt_set_ui_frame_callb(mqtt_ui_frame_callb_t, void *) {}
void mqtt_set_asset_callb(mqtt_asset_callb_t, void *) {}
void mqtt_set_close_callb(mqtt_close_callb_t, void *) {}
void mqtt_set_can_callb(mqtt_can_callb_t, void *) {}
