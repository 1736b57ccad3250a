// Device and system packages are not built yet (their owner deletes this file). Opening one fails
// with a message, so no command pretends to have read a package.
#include <cstdio>
#include <cstring>

#include "tool_pending.h"

bool krdev_open(krdev_st *krdev, const char *path)
{
    if (krdev) std::memset(krdev, 0, sizeof *krdev);
    std::printf(PRINT_BOLDRED "ERROR: opening device packages is not available yet; '%s' was not read.\n" PRINT_RESET,
                path ? path : "");
    std::fflush(stdout);
    return false;
}

void krdev_close(krdev_st *krdev)
{
    if (krdev) krdev->dir[0] = '\0';
}

bool system_set_file(system_st *, const char *path)
{
    std::printf(PRINT_BOLDRED "ERROR: opening system packages is not available yet; '%s' was not read.\n" PRINT_RESET,
                path ? path : "");
    std::fflush(stdout);
    return false;
}
