/* Joystick configuration window. */
#ifndef JOYSTICK_WIN_H
#define JOYSTICK_WIN_H

#include <stdbool.h>

#include "main.h"
#include "ui/kr_uiobject.h"

#ifdef __cplusplus
extern "C" {
#endif

/* True when the user saved. */
bool joystick_win_exec(system_st *system, const kr_uistyle_st *style);

#ifdef __cplusplus
}
#endif

#endif
