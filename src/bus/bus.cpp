// The bus jobs' checks of the CAN port and of the tool's own NMT state.
#include "bus/bus.h"

#include <cstdio>

#include "kr_can.h"
#include "kr_canopen.h"
#include "run/main.h"

namespace {

const char *port_reason()
{
    const char *f = kr_can_get_fault();
    static char text[160];
    if (f && *f) return f;
    std::snprintf(text, sizeof text, "the CAN interface %s is not open.", kr_can_get_dev());
    return text;
}

} // namespace

extern "C" {

bool bus_ready(const char *job)
{
    if (kr_can_is_connected()) return true;
    if (kr_can_get_state() == CAN_STATE_INIT) kr_can_set_up(false);
    if (kr_can_is_connected()) return true;
    job_error("ERROR: %s: %s\n", job, port_reason());
    return false;
}

bool bus_node_is_other(const char *job, unsigned node)
{
    if (node != kr_canopen_get_nodeid()) return true;
    char why[200];
    std::snprintf(why, sizeof why,
                  "node id 0x%x is krcan's own node id on the bus, so no device answers there; give the device's "
                  "node id with --nodeid.",
                  node);
    job_error("ERROR: %s: %s\n", job, why);
    return false;
}

bool bus_nodeid_selected(const char *what, unsigned node)
{
    if (node >= 1 && node <= 127) return true;
    // A node id given as 0 is the broadcast address of NMT, not a device.
    if (dev.system.forced_nodeid_set && dev.system.forced_nodeid == 0 && node == 0)
        job_error("Error: node id 0 names no device, so %s cannot address one: give the device's node id with "
                  "--nodeid.\n",
                  what);
    else
        job_error("Error: no device node id selected for %s: give one with --nodeid first.\n", what);
    return false;
}

bool bus_still_up(const char *job)
{
    if (kr_can_is_connected()) return true;
    job_error("ERROR: %s: %s\n", job, port_reason());
    return false;
}

bool bus_node_stopped(const char *job, bool report)
{
    if (kr_canopen_get_state() != CANOPEN_STOPPED) return false;
    if (report) {
        char why[200];
        std::snprintf(why, sizeof why,
                      "the tool's own CANopen node 0x%x was stopped by an NMT command from the bus, so it hears "
                      "nothing until a start or pre-operational command.",
                      (unsigned)kr_canopen_get_nodeid());
        job_error("ERROR: %s: %s\n", job, why);
    }
    return true;
}

} // extern "C"
