// Shared by the two halves of the parameter loader (the run and the entry writes).
#pragma once

#include "run/main.h"

namespace lp {

// The kind of fault that stopped a load, for the run's closing message; the fault itself is told
// through job_error. After a cancel every transfer fails without reaching the bus: those failures
// are no news, so the load's own error lines wait for loadparam_is_cancelled() to be false.

// A device object's own keys in a wrong form (NODEID, PARAMS, the operator keys): the reason, as
// job_error; the run's closing message then names the file, not the bus.
void device_fault(const char *format, ...) __attribute__((format(printf, 1, 2)));
extern bool device_fault_seen;

// A wrong-format entry, after its reason was told: the entry's name line. The run clears the flag,
// so its closing message names the real cause.
void entry_in_wrong_format(const char *name);
extern bool wrong_format_seen;

// The SDO transfer that just failed was refused because the object or sub-index does not exist.
bool sdo_said_absent();
// One line that `what` (a kind: "object", "PDO") is left out because the device lacks it; counted.
void skip_absent(const char *name, const char *kind);
// The failed-write question for `name`; true (counted as skipped) when the user goes on.
bool ask_skip(const char *name);

} // namespace lp
