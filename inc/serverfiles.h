/* Server files dialog. */
#ifndef SERVERFILES_H
#define SERVERFILES_H

#include <stdbool.h>

#include "ui/kr_uiobject.h"

#ifdef __cplusplus
extern "C" {
#endif

/* True only when a download was started. */
bool serverfiles_win_exec(const kr_uistyle_st *style);

#ifdef __cplusplus
}
#endif

#endif
