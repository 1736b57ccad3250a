/* The terminal to a device's command interpreter. Valid C11 and C++. */
#ifndef KRCAN_TERMINAL_H
#define KRCAN_TERMINAL_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "kr_can.h"

#ifdef __cplusplus
extern "C" {
#endif

bool cmd_terminal(const char *arg);
bool cmd_zbterminal(const char *arg);

/* A frame of the device's text output: 0x580 + node, 0x42 FF 5F 00, then 1 to 4 characters. */
bool terminal_is_answer(const kr_can_message_st *msg, uint8_t node);
/* Builds the next frame of a line (0x600 + node, 0x22 FF 5F 00, up to 4 characters); returns how
 * many characters it carries. */
size_t terminal_build_frame(kr_can_message_st *msg, uint8_t node, const char *text, size_t len);

#ifdef __cplusplus
}
#endif

#endif
