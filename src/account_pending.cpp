// The account file is not built yet: nothing is read (its owner deletes this file).
#include "tool_pending.h"

void credentials_init(void) {}
