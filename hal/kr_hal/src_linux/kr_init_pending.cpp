// Stand-ins for modules still being built (CANopen stack, display back end). Each owner deletes its
// part when the real module lands. None of them pretends to work.
#include <cstdio>

#include "kr_can.h"
#include "kr_canopen.h"
#include "kr_memory.h"
#include "kr_utilities.h"

extern "C" {

void _kr_canopen_reset(void) {}
kr_errors_e _kr_canopen_init(uint8_t) { return ERR_NOT_IMPLEMENTED; }
void _kr_canopen_step(uint32_t) {}

void kr_ui_destroy(void) {}
void kr_ui_confwindow_exec(const struct kr_uistyle_st *)
{
    std::fprintf(stderr, "The CAN configuration window is not available yet\n");
}
}
