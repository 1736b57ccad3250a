// The Settings tab is not built yet (its owner deletes this file).
#include "settingstab.h"

void settingstab_show(kr_uitabwindow_st *) {}
void settingstab_set_shown(bool) {}
void settingstab_step(void) {}
bool settingstab_is_busy(void) { return false; }
bool settingstab_account_is_connecting(void) { return false; }
