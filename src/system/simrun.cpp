// The simulated-device runner of this build: it starts nothing, so no caller ever waits on it.
#include "system/simrun.h"

void simrun_init(void) {}
uint32_t simrun_start_system(system_st *, const char *) { return 0; }
bool simrun_can_is_virtual(const char *) { return false; }
bool simrun_any_running(void) { return false; }
bool simrun_is_alive(uint8_t) { return false; }
uint32_t simrun_get_count(void) { return 0; }
const char *simrun_get_name(uint8_t) { return ""; }
uint8_t simrun_get_nodeid(uint8_t) { return 0; }
int32_t simrun_get_pid(uint8_t) { return 0; }
simrun_state_e simrun_get_state(uint8_t) { return SIMRUN_STOPPED; }
const char *simrun_get_state_str(uint8_t) { return "Stopped"; }
void simrun_kill(uint8_t) {}
void simrun_kill_all(void) {}
void simrun_open_log(uint8_t) {}
bool simrun_restart(uint8_t) { return false; }
bool simrun_load_params(uint8_t) { return false; }
bool simrun_params_pending(uint8_t) { return false; }
void simrun_load_params_async(system_st *, const uint8_t *, uint32_t) {}
bool simrun_load_params_is_finished(void) { return true; }
bool simrun_wait_online(void) { return true; }
bool simrun_step(void) { return false; }
bool simrun_poll_changed(void) { return false; }
