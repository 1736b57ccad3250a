// The server files dialog is not built yet (its owner deletes this file).
#include <cstdio>

#include "serverfiles.h"

bool serverfiles_win_exec(const kr_uistyle_st *)
{
    std::printf("The server files dialog is not available yet.\n");
    std::fflush(stdout);
    return false;
}
