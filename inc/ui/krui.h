/* The desktop main window and the calls its tabs make into it. */
#ifndef KRUI_H
#define KRUI_H

#include <stdbool.h>

#include "ui/kr_uiobject.h"

#ifdef __cplusplus
extern "C" {
#endif

void krui_exec(void);
void krui_set_log_title(const char *title);
void krui_reset_log_title(void);
bool krui_log_is_expanded(void);
const kr_uimedia_st *krui_get_remove_media(void);

/* Version notes window. */
void versionnotes_win_exec(const kr_uistyle_st *style);

#ifdef __cplusplus
}
#endif

#endif
