// The CAN port's two back ends, as the port in kr_can.cpp uses them. Every call here is a
// single non-blocking attempt except the socketcand connect, which the port runs in a blocking section.
#ifndef KR_CAN_PORT_H
#define KR_CAN_PORT_H

#include <cstddef>
#include <cstdint>
#include <sys/time.h>

#include "kr_can.h"
#include "kr_can_socketcand_parse.h"

// SocketCAN. Open gives a non-blocking raw socket with error frames and receive time stamps, or -1.
int _kr_can_socketcan_open(const char *ifname, uint32_t baud, char *err, size_t err_len);
// 1: a frame, 0: none waiting, -1: the socket failed (errno in *error).
int _kr_can_socketcan_read(int fd, kr_can_message_st *msg, struct timeval *tv, int *error);
// 0 when written, else the errno (EAGAIN/ENOBUFS: the transmit queue is full).
int _kr_can_socketcan_try_write(int fd, const kr_can_message_st *msg);
uint32_t _kr_can_socketcan_bitrate(const char *ifname);
int32_t _kr_can_socketcan_list(char names[][KR_CAN_DEVS_NAME_LEN], int32_t max);
bool _kr_can_socketcan_is_can(const char *ifname);
bool _kr_can_socketcan_is_virtual(const char *ifname);
bool _kr_can_socketcan_create_vcan(const char *ifname, char *err, size_t err_len);

// socketcand. A channel name "socketcand://HOST[:PORT]/BUS".
bool _kr_can_is_socketcand(const char *name);
bool _kr_can_scd_parse_url(const char *url, char *host, size_t host_size, uint16_t *port, char *bus, size_t bus_size);
// TCP connect and the raw-mode handshake, within timeout_ms. Bytes that came after the last "< ok >"
// are left in rd. Returns a non-blocking socket, or -1 with the reason in err.
int _kr_can_scd_connect(const char *url, kr_scd_reader_st *rd, uint32_t timeout_ms, char *err, size_t err_len);

#endif
