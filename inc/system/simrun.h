/* The simulated-device runner. This build starts no simulator: it reports none running and never
 * makes a caller wait (the parameter load is finished and the devices count as online).
 * Valid C11 and C++. */
#ifndef KRCAN_SIMRUN_H
#define KRCAN_SIMRUN_H

#include <stdbool.h>
#include <stdint.h>

#include "run/main.h"

#ifdef __cplusplus
extern "C" {
#endif

#define SIMRUN_MAX SYSTEM_MAX_DEVICES

typedef enum {
    SIMRUN_STARTED = 0,
    SIMRUN_PARAM = 1,
    SIMRUN_RUNNING = 2,
    SIMRUN_KILLED = 3,
    SIMRUN_STOPPED = 4
} simrun_state_e;

void simrun_init(void);
/* How many simulators were started. */
uint32_t simrun_start_system(system_st *system, const char *can_channel);
bool simrun_can_is_virtual(const char *can_channel);
bool simrun_any_running(void);
bool simrun_is_alive(uint8_t index);
uint32_t simrun_get_count(void);
const char *simrun_get_name(uint8_t index);
uint8_t simrun_get_nodeid(uint8_t index);
int32_t simrun_get_pid(uint8_t index);
simrun_state_e simrun_get_state(uint8_t index);
const char *simrun_get_state_str(uint8_t index);
void simrun_kill(uint8_t index);
void simrun_kill_all(void);
void simrun_open_log(uint8_t index);
bool simrun_restart(uint8_t index);
bool simrun_load_params(uint8_t index);
bool simrun_params_pending(uint8_t index);
void simrun_load_params_async(system_st *system, const uint8_t *nodeids, uint32_t count);
bool simrun_load_params_is_finished(void);
bool simrun_wait_online(void);
/* Upkeep; true when the device list changed. */
bool simrun_step(void);
bool simrun_poll_changed(void);

#ifdef __cplusplus
}
#endif

#endif
