/* The heartbeat monitor and the device search: the last heartbeat of every node, the `find`
 * command's two-second search, the window's discovery and live states, the wait for a node to
 * become operational and the following of a device that reboots at another node id.
 * Valid C11 and C++. */
#ifndef KRCAN_FIND_H
#define KRCAN_FIND_H

#include <stdbool.h>
#include <stdint.h>

#include "kr_can.h"
#include "run/main.h"

#ifdef __cplusplus
extern "C" {
#endif

#define FIND_SEARCH_MS 2000u
#define FIND_ONLINE_TICKS 2000u /* silent this long: offline */
#define FIND_NODE_COUNT 128u

bool cmd_find(const char *arg);

typedef void (*find_extra_can_callb_t)(void *app, const kr_can_message_st *msg);

void find_can_callb(void *app, const kr_can_message_st *msg);
void find_start_monitor(void);
void find_reinstall_monitor(void);
/* True while the monitor's listener gets the received frames, not a listen, terminal or flash job's. */
bool find_monitor_hears(void);
void find_set_extra_can_callback(find_extra_can_callb_t callb);
uint8_t find_devices(void);
void find_search_async(void);
bool find_search_is_finished(void);
uint16_t find_search_remaining_ms(void);
bool find_poll_new_devices(void);
bool find_update_device_states(system_st *system);
dev_state_e find_node_get_state(uint8_t node);
bool find_node_is_online(uint8_t node);
bool find_wait_node_operational(uint8_t node, uint32_t timeout_ms);
void find_expect_boot_nodeid(device_st *device, uint8_t node);
/* The same watch after a reset that is to give the device the node id written to it: the device
 * follows only when it answers there within FIND_ONLINE_TICKS, and no other device lives there. */
void find_expect_nodeid_change(device_st *device, uint8_t node);
/* Watches for the node's boot-up after a reset: find_bootup_seen turns true on its boot-up message,
 * or, where a state 0 could be a bootloader's heartbeat, on the state that follows it. Only what the
 * monitor hears counts. */
void find_watch_bootup(uint8_t node);
bool find_bootup_seen(uint8_t node);
void find_unwatch_bootup(uint8_t node);
/* The tick the monitor last heard the node (boot-up or heartbeat); 0 when never. */
uint32_t find_node_last_heard(uint8_t node);
void find_blacklist_node(uint8_t node);
void find_clear_blacklist(void);
uint32_t find_read_device_revision(device_st *device);
device_st *find_device_by_nodeid(uint8_t node);
void find_drop_device(uint8_t node);

/* Heartbeat byte (top bit cleared) to device state. */
dev_state_e nmt_to_dev_state(uint8_t nmt_state);

#ifdef __cplusplus
}
#endif

#endif
