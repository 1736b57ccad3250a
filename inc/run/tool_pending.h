/* Calls of the tool's modules that are not built yet (system model, device database,
 * CAN configuration window, main window). Each
 * owner moves its declarations into its own header and deletes its src/..._pending.cpp file. */
#ifndef TOOL_PENDING_H
#define TOOL_PENDING_H

#include <stdbool.h>
#include <stdint.h>

#include "run/main.h"
#include "database/db.h"
#include "system/system.h"

#ifdef __cplusplus
extern "C" {
#endif

/* File dialogs: the folder they open in. */
#include "ui/kr_uifiledialog.h"

#ifdef __cplusplus
}
#endif

#endif
