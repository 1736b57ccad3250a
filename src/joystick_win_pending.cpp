// The joystick configuration window is not built yet (its owner deletes this file).
#include <cstdio>

#include "joystick_win.h"

bool joystick_win_exec(system_st *, const kr_uistyle_st *)
{
    std::printf("The joystick configuration window is not available yet.\n");
    std::fflush(stdout);
    return false;
}
