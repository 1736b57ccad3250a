// The update check is not built yet (its owner deletes this file). This build's number and name are known.
#include <cstdio>

#include "kr_version.h"
#include "tool_pending.h"

// Taken from git when the tree is built (cmake/version.cmake).
uint32_t selfupdate_this_version(void) { return KR_BUILD_NUMBER; }

const char *selfupdate_this_name(void) { return KR_VERSION_NAME; }

bool selfupdate_check(selfupdate_info_st *, bool *newer, char *err, uint32_t err_length)
{
    if (newer) *newer = false;
    if (err && err_length) std::snprintf(err, err_length, "The update check is not available yet.");
    return false;
}

bool selfupdate_apply(const selfupdate_info_st *, char *err, uint32_t err_length)
{
    if (err && err_length) std::snprintf(err, err_length, "Installing an update is not available yet.");
    return false;
}
