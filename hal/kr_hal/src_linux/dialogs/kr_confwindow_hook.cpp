// The library start-up and the tool call the CAN configuration window through here, so that what
// does not draw links no GL; programs with the toolkit install the window.
#include <cstdio>

#include "ui/kr_uiconfwindow.h"

namespace {
bool (*confwindow_impl)(const struct kr_uistyle_st *) = nullptr;
}

extern "C" {

void kr_ui_confwindow_set_impl(bool (*impl)(const struct kr_uistyle_st *style)) { confwindow_impl = impl; }

bool kr_ui_confwindow_exec(const struct kr_uistyle_st *style)
{
    if (confwindow_impl) return confwindow_impl(style);
    std::printf("The CAN configuration window is not part of this program\n");
    std::fflush(stdout);
    return false;
}
}
