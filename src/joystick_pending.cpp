// The joystick driver is not built yet (its owner deletes this file). Without a driver there are no
// slots, so a received frame matches none and nothing is stored.
#include <cstdio>
#include <cstring>

#include "parser.h"
#include "tool_pending.h"

void joystick_can_rx(const kr_can_msg_st *) {}

bool joystick_load_from_dir(const char *dir)
{
    char path[1200];
    if (!dir || !parser_find_file(dir, "joystick", path, sizeof path)) return false;
    const char *name = std::strrchr(path, '/');
    std::printf(PRINT_BOLDYELLOW "WARNING: loading the joystick configuration is not available yet; the system "
                                 "file's '%s' was not read.\n" PRINT_RESET,
                name ? name + 1 : path);
    std::fflush(stdout);
    return false;
}
