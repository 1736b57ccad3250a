// Shared by the two halves of the parameter loader (the run and the entry writes).
#pragma once

#include <cstdarg>
#include <cstdio>

#include "run/main.h"

namespace lp {

// Errors (bold red) and warnings (bold yellow) go to standard output whatever `silent` says;
// the plain progress notes go through PRINT. Each first ends an open progress line.
void err(const char *format, ...) __attribute__((format(printf, 1, 2)));
void warn(const char *format, ...) __attribute__((format(printf, 1, 2)));
void info(const char *format, ...) __attribute__((format(printf, 1, 2)));
// The last SDO abort code with its text, after ending an open progress line.
void sdo_error_line();
// Prints the question on standard error in bold (ending an open progress line first).
void prompt(const char *format, ...) __attribute__((format(printf, 1, 2)));

// A device object's own keys in a wrong form (NODEID, PARAMS, the operator keys): the reason; the
// run's closing message then names the file, not the bus.
void device_fault(const char *format, ...) __attribute__((format(printf, 1, 2)));
extern bool device_fault_seen;

// A wrong-format entry or device: the reason, then the entry's name line.
void wrong_format(const char *name, const char *format, ...) __attribute__((format(printf, 2, 3)));
// Set by wrong_format; the run clears it, so its closing message names the real cause.
extern bool wrong_format_seen;

} // namespace lp
