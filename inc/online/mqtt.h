/* The fleet broker client. This build links no MQTT library: every call gives the "not available"
 * answer (false, 0, empty), so the fleet commands and tabs stay on their unavailable paths.
 * Valid C11 and C++. */
#ifndef KRCAN_MQTT_H
#define KRCAN_MQTT_H

#include <stdbool.h>
#include <stdint.h>

#include "kr_can.h"

#ifdef __cplusplus
extern "C" {
#endif

#define MQTT_ENABLED 0
#define MQTT_PORT 8883
#define MQTT_MAX_FLEETS 16
#define MQTT_MAX_DEVS 64 /* per fleet */
#define MQTT_NAME_MAX 64
#define MQTT_DEV_ONLINE_S 15 /* a device counts as online while heard within this many seconds */

typedef enum {
    MQTT_STATE_DISCONNECTED = 0,
    MQTT_STATE_CONNECTING = 1,
    MQTT_STATE_CONNECTED = 2,
    MQTT_STATE_ERROR = 3
} mqtt_state_e;

typedef enum {
    REMOTE_CAN_CLASS_CTRL = 0,
    REMOTE_CAN_CLASS_SDO = 1,
    REMOTE_CAN_CLASS_BULK = 2,
    REMOTE_CAN_CLASS_COUNT = 3
} remote_can_class_e;

/* A device's remote CAN report; the arrays are indexed by remote_can_class_e. */
typedef struct {
    uint32_t forwarded[REMOTE_CAN_CLASS_COUNT];
    uint32_t dropped[REMOTE_CAN_CLASS_COUNT];
    uint16_t queued[REMOTE_CAN_CLASS_COUNT];
    uint32_t injected;
    uint8_t rxconf_count; /* receive filters */
    uint8_t flags;        /* bit 0: the whole bus is passed */
} remote_can_stats_st;

typedef void (*mqtt_ui_frame_callb_t)(uint8_t fleet, uint8_t dev, const uint8_t *cmds, uint32_t length, void *user);
typedef void (*mqtt_asset_callb_t)(uint8_t fleet, uint8_t dev, uint8_t kind, uint32_t id, const uint8_t *data,
                                   uint32_t length, void *user);
typedef void (*mqtt_close_callb_t)(uint8_t fleet, uint8_t dev, void *user);
typedef void (*mqtt_can_callb_t)(uint8_t fleet, uint8_t dev, const kr_can_msg_st *msg, void *user);

bool mqtt_is_supported(void);
bool mqtt_connect(const char *host, const char *username, const char *password);
void mqtt_disconnect(void);
void mqtt_start_pump(void);
void mqtt_step(void);
void mqtt_ui_step(void);
mqtt_state_e mqtt_get_state(void);
bool mqtt_is_connected(void);
const char *mqtt_get_error(void);
const char *mqtt_get_host(void);

void mqtt_add_fleet(const char *name);
uint32_t mqtt_get_fleet_count(void);
const char *mqtt_get_fleet_name(uint8_t fleet);
uint32_t mqtt_get_dev_count(uint8_t fleet);
uint32_t mqtt_get_online_count(uint8_t fleet);
bool mqtt_poll_changed(void);

bool mqtt_remove_dev(uint8_t fleet, uint8_t dev);
const char *mqtt_get_dev_name(uint8_t fleet, uint8_t dev);
const char *mqtt_get_dev_ident(uint8_t fleet, uint8_t dev);
const char *mqtt_get_dev_devname(uint8_t fleet, uint8_t dev);
bool mqtt_get_dev_ident_known(uint8_t fleet, uint8_t dev);
bool mqtt_get_dev_online(uint8_t fleet, uint8_t dev);
uint8_t mqtt_get_dev_state(uint8_t fleet, uint8_t dev);
uint8_t mqtt_get_dev_features(uint8_t fleet, uint8_t dev);
uint32_t mqtt_get_dev_uptime_s(uint8_t fleet, uint8_t dev);
uint32_t mqtt_get_dev_age_s(uint8_t fleet, uint8_t dev);
uint32_t mqtt_get_dev_msg_count(uint8_t fleet, uint8_t dev);
bool mqtt_get_dev_ui_size(uint8_t fleet, uint8_t dev, uint16_t *width, uint16_t *height);
bool mqtt_get_dev_can_stats(uint8_t fleet, uint8_t dev, remote_can_stats_st *stats);

bool mqtt_dev_get_ui_active(uint8_t fleet, uint8_t dev);
bool mqtt_dev_get_can_active(uint8_t fleet, uint8_t dev);
bool mqtt_dev_set_ui_active(uint8_t fleet, uint8_t dev, bool active);
bool mqtt_dev_set_can_active(uint8_t fleet, uint8_t dev, bool active, bool sdo_only);
bool mqtt_dev_set_features(uint8_t fleet, uint8_t dev, uint8_t features);
bool mqtt_dev_request_asset(uint8_t fleet, uint8_t dev, uint8_t kind, uint32_t id);
bool mqtt_dev_send_input(uint8_t fleet, uint8_t dev, uint8_t action, int16_t x, int16_t y, int16_t scroll, char key);
bool mqtt_dev_send_can(uint8_t fleet, uint8_t dev, const kr_can_msg_st *msg);
bool mqtt_dev_send_rxconf(uint8_t fleet, uint8_t dev, uint32_t id, uint32_t mask, kr_can_msg_types_e type);
bool mqtt_dev_send_rxclear(uint8_t fleet, uint8_t dev);
bool mqtt_dev_send_rxdone(uint8_t fleet, uint8_t dev);
bool mqtt_dev_release_can_from_signal(uint8_t fleet, uint8_t dev);

void mqtt_set_ui_frame_callb(mqtt_ui_frame_callb_t callb, void *user);
void mqtt_set_asset_callb(mqtt_asset_callb_t callb, void *user);
void mqtt_set_close_callb(mqtt_close_callb_t callb, void *user);
void mqtt_set_can_callb(mqtt_can_callb_t callb, void *user);

#ifdef __cplusplus
}
#endif

#endif
