/* The remote CAN bridge: a fleet device's bus on the local CAN network device krremote0. This build has
 * no bridge, so it never starts and reports why. Valid C11 and C++. */
#ifndef KRCAN_REMOTECAN_H
#define KRCAN_REMOTECAN_H

#include <stdbool.h>
#include <stdint.h>

#include "kr_can.h"

#ifdef __cplusplus
extern "C" {
#endif

#define REMOTECAN_IFNAME "krremote0"
#define REMOTECAN_FILTER_MAX 8

typedef struct {
    uint32_t id;
    uint32_t mask;
    kr_can_msg_types_e type; /* standard or extended */
} remotecan_filter_st;

bool remotecan_start(uint8_t fleet, uint8_t dev);
void remotecan_stop(void);
void remotecan_shutdown(void);
void remotecan_step(void);
void remotecan_release_from_signal(void);
bool remotecan_is_active(void);
bool remotecan_shows(uint8_t fleet, uint8_t dev);
const char *remotecan_get_error(void);
const char *remotecan_get_ifname(void);
uint32_t remotecan_get_rx_count(void);
uint32_t remotecan_get_tx_count(void);
uint32_t remotecan_get_filtered_count(void);
uint32_t remotecan_get_error_count(void);
void remotecan_set_allow_std(bool allow);
void remotecan_set_allow_ext(bool allow);
void remotecan_set_sdo_only(bool sdo_only);
bool remotecan_get_allow_std(void);
bool remotecan_get_allow_ext(void);
bool remotecan_get_sdo_only(void);
void remotecan_set_filters(const remotecan_filter_st *filters, uint32_t count);
const remotecan_filter_st *remotecan_get_filter(uint32_t index);
uint32_t remotecan_get_filter_count(void);

#ifdef __cplusplus
}
#endif

#endif
