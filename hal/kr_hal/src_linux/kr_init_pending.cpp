// Stand-ins for modules still being built (CAN port, settings file, CANopen stack, display back
// end). Each owner deletes its part when the real module lands. None of them pretends to work.
#include <cstdio>

#include "kr_can.h"
#include "kr_canopen.h"
#include "kr_memory.h"
#include "kr_utilities.h"

extern "C" {

kr_errors_e _kr_can_init(void) { return ERR_NOT_IMPLEMENTED; }
void _kr_can_hal_step(uint32_t) {}
kr_errors_e kr_can_set_dev(const char *)
{
    if (!silent) std::fprintf(stderr, "The CAN port is not available yet\n");
    return ERR_NOT_IMPLEMENTED;
}

kr_errors_e kr_memory_load(memory_scope_e) { return ERR_NOT_IMPLEMENTED; }
void kr_memory_set_nonvol_filepath(const char *)
{
    if (!silent) std::fprintf(stderr, "The settings file is not available yet\n");
}

void _kr_canopen_reset(void) {}
kr_errors_e _kr_canopen_init(uint8_t) { return ERR_NOT_IMPLEMENTED; }
void _kr_canopen_step(uint32_t) {}

void kr_ui_destroy(void) {}
void kr_ui_confwindow_exec(const struct kr_uistyle_st *)
{
    std::fprintf(stderr, "The CAN configuration window is not available yet\n");
}
}
