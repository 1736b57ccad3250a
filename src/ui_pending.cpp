// The main window is not built yet (its owner deletes this file).
#include <cstdio>

#include "tool_pending.h"

void krui_exec(void)
{
    std::printf("The main window is not available yet.\n");
    std::fflush(stdout);
}
