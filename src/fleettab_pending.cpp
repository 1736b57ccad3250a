// The Fleet tab is not built yet (its owner deletes this file).
#include "fleettab.h"

void fleettab_show(kr_uitabwindow_st *) {}
bool fleettab_step(void) { return false; }
void fleettab_set_shown(bool) {}
