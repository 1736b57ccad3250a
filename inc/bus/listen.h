/* The bus listener. Valid C11 and C++. */
#ifndef KRCAN_LISTEN_H
#define KRCAN_LISTEN_H

#include <stddef.h>
#include <stdint.h>

#include "kr_can.h"

#ifdef __cplusplus
extern "C" {
#endif

#define LISTEN_TIME_ENDLESS 0xFFFFFFFFu

typedef struct {
    uint32_t time; /* ms; 0xFFFFFFFF = without end */
} listen_st;

bool cmd_listen(const char *arg);

/* One frame's line ("hh:mm:ss:mmm STD ID: 0x..., DLC: n, 0x.. ...\n"), stamped with the time of
 * the last frame received; returns its length. */
int listen_format_frame(const kr_can_message_st *msg, char *dest, size_t dest_length);

#ifdef __cplusplus
}
#endif

#endif
