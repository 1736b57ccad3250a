// Callbacks of the commands whose modules are not built yet. Each owner deletes its callbacks from here
// when its own land. They refuse, so a command line naming one of them runs nothing.
#include <cstdio>

#include "commands.h"

static bool not_available(void)
{
    std::printf("'%s' is not available yet\n", current_command ? current_command->cmd_long : "?");
    std::fflush(stdout);
    return false;
}

bool cmd_login(const char *) { return not_available(); }
bool cmd_remotelist(const char *) { return not_available(); }
bool cmd_remoteui(const char *) { return not_available(); }
bool cmd_remotecan(const char *) { return not_available(); }
