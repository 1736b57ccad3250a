// Stand-ins for modules still being built (CAN configuration window). Each owner deletes its
// part when the real module lands. None of them pretends to work.
#include <cstdio>

#include "kr_utilities.h"

extern "C" {

void kr_ui_confwindow_exec(const struct kr_uistyle_st *)
{
    std::fprintf(stderr, "The CAN configuration window is not available yet\n");
}
}
