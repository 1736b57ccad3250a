// The file dialogs' default folder, until the widget toolkit lands (its owner deletes this file).
#include <cstdio>

#include "tool_pending.h"

static char default_dir[1024];

void kr_uifiledialog_set_default_dir(const char *path)
{
    std::snprintf(default_dir, sizeof default_dir, "%s", path ? path : "");
}
