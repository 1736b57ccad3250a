// The bus jobs' checks of the CAN port and of the tool's own NMT state, and their turns at the
// received frames.
#include "bus/bus.h"

#include <cstdio>

#include "kr_can.h"
#include "kr_canopen.h"
#include "run/main.h"

namespace {

// The listener that has the frames, and under each borrow still under way the one it took them from.
// Only tasks change these, one at a time, so they need no lock.
kr_canopen_can_callb_t holder = nullptr;
struct borrow_st {
    kr_canopen_can_callb_t borrower;
    kr_canopen_can_callb_t lender;
};
borrow_st borrows[4];
size_t borrow_count = 0;

bool hand_frames_to(const char *job, kr_canopen_can_callb_t listener)
{
    // In before the old one goes out: a refusal leaves the frames where they were. Added again even
    // when it holds them: the stack's start-up empties its list.
    if (listener && kr_canopen_add_can_listener(listener) != ERR_NONE) {
        job_error("ERROR: %s: %s\n", job, "the CANopen stack has no room for another CAN listener.");
        return false;
    }
    if (holder && holder != listener) kr_canopen_remove_can_listener(holder);
    holder = listener;
    return true;
}

} // namespace

extern "C" {

const char *bus_port_reason(void)
{
    static char text[512];
    const char *f = kr_can_get_fault();
    if (!f || !*f) {
        std::snprintf(text, sizeof text, "the CAN interface %s is not open.", kr_can_get_dev());
        return text;
    }
    if (!kr_can_open_failed()) return f;
    // Most first runs have no adapter at hand.
    std::snprintf(text, sizeof text,
                  "%s\n  To try krcan without a CAN adapter, start the demo bus (make demo-bus in krcan's source "
                  "folder) and give -c the value it prints.",
                  f);
    return text;
}

bool bus_ready(const char *job)
{
    if (kr_can_is_connected()) return true;
    if (kr_can_get_state() == CAN_STATE_INIT) kr_can_set_up(false);
    if (kr_can_is_connected()) return true;
    job_error("ERROR: %s: %s\n", job, bus_port_reason());
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
    if (node >= CANOPEN_NODE_ID_MIN && node <= CANOPEN_NODE_ID_MAX) return true;
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
    job_error("ERROR: %s: %s\n", job, bus_port_reason());
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

bool bus_take_frames(const char *job, kr_canopen_can_callb_t listener) { return hand_frames_to(job, listener); }

bool bus_borrow_frames(const char *job, kr_canopen_can_callb_t listener)
{
    if (borrow_count == sizeof borrows / sizeof borrows[0]) {
        job_error("ERROR: %s: %s\n", job, "too many borrows of the received CAN frames at once.");
        return false;
    }
    kr_canopen_can_callb_t lender = holder;
    if (!hand_frames_to(job, listener)) return false;
    borrows[borrow_count++] = borrow_st{listener, lender};
    return true;
}

void bus_give_back_frames(const char *job, kr_canopen_can_callb_t listener)
{
    for (size_t i = borrow_count; i-- > 0;) {
        if (borrows[i].borrower != listener) continue;
        kr_canopen_can_callb_t lender = borrows[i].lender;
        for (size_t j = i + 1; j < borrow_count; j++) borrows[j - 1] = borrows[j];
        borrow_count--;
        hand_frames_to(job, lender);
        return;
    }
}

bool bus_has_frames(kr_canopen_can_callb_t listener) { return listener && listener == holder; }

void bus_drop_frames(kr_canopen_can_callb_t listener)
{
    if (!listener || listener != holder) return;
    kr_canopen_remove_can_listener(holder);
    holder = nullptr;
}

} // extern "C"
