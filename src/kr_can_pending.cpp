// The CAN port is not on main yet (its owner deletes this file and the CAN block of kr_lib_pending.h).
// It keeps the channel name and baud rate it is given and opens nothing.
#include <cstdio>
#include <cstring>

#include "kr_lib_pending.h"

static char can_dev[64] = "can0";
static uint32_t can_baudrate = 250000;

bool kr_can_set_baudrate(const char *chn, uint32_t baud)
{
    can_baudrate = baud;
    if (chn) std::snprintf(can_dev, sizeof can_dev, "%s", chn);
    return true;
}

const char *kr_can_get_dev(void) { return can_dev; }

const char *kr_can_set_up(bool) { return "The CAN port is not available yet."; }

bool kr_can_is_connected(void) { return false; }

void kr_can_use_gui_password(bool) {}
