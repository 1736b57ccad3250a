// The few system-model calls the run model needs, until the system model lands (its owner deletes this file).
#include <cstring>

#include "tool_pending.h"

void system_reset(system_st *system)
{
    std::memset(system, 0, sizeof *system);
}

device_st *system_set_cmdline_dev_nodeid(system_st *system, uint8_t nodeid)
{
    if (system->last_cmdline_dev == 0 || system->last_cmdline_dev > system->dev_count) return nullptr;
    device_st *d = &system->devs[system->last_cmdline_dev - 1];
    d->nodeid = nodeid;
    return d;
}

void system_clear_forced_nodeid(system_st *system)
{
    system->forced_nodeid_set = false;
    system->forced_nodeid = 0;
    system->forcenodeid = false;
}
