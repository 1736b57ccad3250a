/* Joystick configuration window: maps the values the system's devices send in their TXPDOs onto the
 * controller's axes and buttons, with a picker over a device's catalogue. */
#ifndef JOYSTICK_WIN_H
#define JOYSTICK_WIN_H

#include <stdbool.h>

#include "run/main.h"
#include "ui/kr_uiobject.h"

#ifdef __cplusplus
extern "C" {
#endif

/* True when the user saved. */
bool joystick_win_exec(system_st *system, const kr_uistyle_st *style);

/* What the open dialog shows, for tests that drive it: null when that text is not on screen. */
typedef enum {
    JOYSTICK_WIN_STATUS,       /* the driver's status */
    JOYSTICK_WIN_DEVICE,       /* index: slot; the chosen device entry */
    JOYSTICK_WIN_OBJECT,       /* index: slot; the object button's text */
    JOYSTICK_WIN_LIVE,         /* index: slot; the live value */
    JOYSTICK_WIN_PICKER_TITLE, /* the picker's title */
    JOYSTICK_WIN_PICKER_INFO,  /* the picker's count text */
    JOYSTICK_WIN_PICKER_ROW,   /* index: row shown in the picker */
} joystick_win_text_e;
const char *joystick_win_text(joystick_win_text_e which, unsigned index);

#ifdef __cplusplus
}
#endif

#endif
