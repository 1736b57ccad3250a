/* Fleet connection: the file-server login and the broker connection, finding fleet devices, their
 * listing and detail texts, mirroring one device's display and the close requests of devices. Every
 * message goes to standard output whatever `silent` says. */
#ifndef FLEET_H
#define FLEET_H

#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define FLEET_MAIN_NAME "main" /* the fleet listed first */

typedef struct {
    bool files_ok;
    bool broker_ok;
    char err[256];
} fleet_login_st;

/* The commands. */
bool cmd_login(const char *arg);
bool cmd_remotelist(const char *arg);
bool cmd_remoteui(const char *arg);
bool cmd_remotecan(const char *arg);

void fleet_login(const char *files_url, const char *broker_url, const char *username, const char *password,
                 fleet_login_st *out);
void fleet_login_finish(fleet_login_st *result);
bool fleet_wait_connected(uint32_t timeout_ms, char *err, uint32_t err_length);

/* True when exactly one device matches: "<fleet>/<client id>" exactly, or a client id, device name
 * or non-empty ident in any fleet, ignoring case. */
bool fleet_find_dev(const char *text, uint8_t *fleet, uint8_t *device, char *err, uint32_t err_length);

const char *fleet_dev_summary_header(void);
void fleet_dev_summary(uint8_t fleet, uint8_t device, char *buf, uint32_t length);
void fleet_dev_info(uint8_t fleet, uint8_t device, char *buf, uint32_t length);

/* Stops the bridge and the mirroring of the device first; the broker client's result. */
bool fleet_remove_dev(uint8_t fleet, uint8_t device);

bool fleet_ui_start(uint8_t fleet, uint8_t device);
void fleet_ui_stop(void);
bool fleet_ui_is_active(void);
bool fleet_ui_shows(uint8_t fleet, uint8_t device);
/* The device selected for mirroring; -1, -1 when none. */
void fleet_ui_selected(int16_t *fleet, int16_t *device);

/* Upkeep every 20 ms; true once after the view changed. */
bool fleet_step(void);

#ifdef __cplusplus
}
#endif

#endif
