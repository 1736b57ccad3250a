// The remote CAN bridge of this build: there is none, so nothing is started or counted.
#include "online/remotecan.h"

bool remotecan_start(uint8_t, uint8_t) { return false; }
void remotecan_stop(void) {}
void remotecan_shutdown(void) {}
void remotecan_step(void) {}
void remotecan_release_from_signal(void) {}
bool remotecan_is_active(void) { return false; }
bool remotecan_shows(uint8_t, uint8_t) { return false; }
const char *remotecan_get_error(void)
{
    return "Bridging a remote CAN bus needs SocketCAN, which this build has no access to.";
}
const char *remotecan_get_ifname(void) { return ""; }
uint32_t remotecan_get_rx_count(void) { return 0; }
uint32_t remotecan_get_tx_count(void) { return 0; }
uint32_t remotecan_get_filtered_count(void) { return 0; }
uint32_t remotecan_get_error_count(void) { return 0; }
void remotecan_set_allow_std(bool) {}
void remotecan_set_allow_ext(bool) {}
void remotecan_set_sdo_only(bool) {}
bool remotecan_get_allow_std(void) { return false; }
bool remotecan_get_allow_ext(void) { return false; }
bool remotecan_get_sdo_only(void) { return false; }
void remotecan_set_filters(const remotecan_filter_st *, uint32_t) {}
const remotecan_filter_st *remotecan_get_filter(uint32_t) { return nullptr; }
uint32_t remotecan_get_filter_count(void) { return 0; }
