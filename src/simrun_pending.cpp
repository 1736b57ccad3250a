// The simulator runner is not built yet (its owner deletes this file): it starts no simulator.
#include "tool_pending.h"

void simrun_init(void) {}
uint32_t simrun_start_system(system_st *, const char *) { return 0; }
bool simrun_can_is_virtual(const char *) { return false; }
bool simrun_any_running(void) { return false; }
void simrun_load_params_async(system_st *, const uint8_t *, uint32_t) {}
bool simrun_load_params_is_finished(void) { return true; }
bool simrun_wait_online(void) { return true; }
bool simrun_step(void) { return false; }
