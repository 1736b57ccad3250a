// Packages are not built yet: no temporary folders are made, so there is nothing to remove at exit.
#include "tool_pending.h"

void system_init_tmp_cleanup(void) {}
