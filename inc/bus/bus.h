/* The CAN port as the bus jobs see it: every job checks it before it starts and after its bus
 * work, so a port that never opened or a connection lost mid-run fails the job at once with the
 * reason instead of reading as a quiet bus or a silent device.
 * Valid C11 and C++. */
#ifndef KRCAN_BUS_H
#define KRCAN_BUS_H

#include <stdbool.h>
#include <stddef.h>

#include "kr_canopen.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Why the port is not open, as one sentence; after a failed open with the way to the demo bus. */
const char *bus_port_reason(void);
/* True when the port is open (a port never tried is opened now). Otherwise prints, whatever
 * silent says, "ERROR: <job>: <reason>" on standard output, fails the run and returns false. A
 * port that failed or was lost stays so: later jobs fail at once, without a new wait. */
bool bus_ready(const char *job);
/* False, with the reason printed and the run failed, when node is the tool's own node id: a request
 * there would only time out. */
bool bus_node_is_other(const char *job, unsigned node);
/* True for a node id from 1 to 127; otherwise says that none was selected, or that 0 names no
 * device, for `what` (a job, as said in the message), fails the run and returns false. */
bool bus_nodeid_selected(const char *what, unsigned node);
/* The same check without opening: for a job whose connection may drop while it runs. */
bool bus_still_up(const char *job);
/* True, with the reason written to out, when the tool's own node is stopped by an NMT command:
 * it then hears no SDO answers, heartbeats or terminal output. */
bool bus_node_stopped(const char *job, bool report);

/* The received frames go to one bus job's listener at a time. The heartbeat monitor, the listener and
 * the terminal take them over from whoever had them; the monitor and the terminal keep them after
 * their jobs end until the next takes over, the listener drops them when its time is up. A firmware load's boot-up watch borrows them while it waits and gives them back to
 * whoever had them before. A take or borrow the stack has no room for prints "ERROR: <job>: <reason>",
 * fails the run and returns false. */
bool bus_take_frames(const char *job, kr_canopen_can_callb_t listener);
bool bus_borrow_frames(const char *job, kr_canopen_can_callb_t listener);
/* Ends listener's borrow, if it has one: the frames go back to whoever had them when it began. */
void bus_give_back_frames(const char *job, kr_canopen_can_callb_t listener);
/* True while listener is the one that gets the frames. */
bool bus_has_frames(kr_canopen_can_callb_t listener);
/* Listener gets no more frames, if it has them: nobody has them until the next take. */
void bus_drop_frames(kr_canopen_can_callb_t listener);

#ifdef __cplusplus
}
#endif

#endif
