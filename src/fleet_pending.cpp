// The fleet login and the server files dialog are not built yet (their owner deletes this file).
#include <cstdio>

#include "fleet.h"
#include "serverfiles.h"

void fleet_login(const char *, const char *, const char *, const char *, fleet_login_st *out)
{
    out->files_ok = false;
    out->broker_ok = false;
    std::snprintf(out->err, sizeof out->err, "The fleet login is not available yet.");
}
void fleet_login_finish(fleet_login_st *) {}

bool serverfiles_win_exec(const kr_uistyle_st *)
{
    std::printf("The server files dialog is not available yet.\n");
    std::fflush(stdout);
    return false;
}
