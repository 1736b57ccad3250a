// The main window, its version notes and device-selection dialogs are not built yet (their owner deletes
// this file).
#include <cstdio>

#include "devsel.h"
#include "krui.h"

static void say_not_available(const char *what)
{
    std::printf("%s is not available yet.\n", what);
    std::fflush(stdout);
}

void krui_exec(void) { say_not_available("The main window"); }
void krui_set_log_title(const char *) {}
void krui_reset_log_title(void) {}
bool krui_log_is_expanded(void) { return false; }
const kr_uimedia_st *krui_get_remove_media(void) { return nullptr; }
void versionnotes_win_exec(const kr_uistyle_st *) { say_not_available("The version notes window"); }

uint8_t devsel_exec(system_st *, const char *, const char *, const char *, devsel_reason_t, const char *,
                    device_st **, uint8_t, bool, const kr_uistyle_st *)
{
    say_not_available("The device selection");
    return 0;
}
uint8_t devsel_win_exec(system_st *system, const char *title, const char *accept_text, devsel_reason_t reason_callb,
                        device_st **targets, uint8_t max_count, const kr_uistyle_st *style)
{
    return devsel_exec(system, title, nullptr, accept_text, reason_callb, nullptr, targets, max_count, false, style);
}
bool devsel_win_exec_single(system_st *system, const char *title, const char *info, const char *accept_text,
                            devsel_reason_t reason_callb, const char *extra_text, device_st **target,
                            const kr_uistyle_st *style)
{
    return devsel_exec(system, title, info, accept_text, reason_callb, extra_text, target, 1, true, style) != 0;
}
