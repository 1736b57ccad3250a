/* The CAN port: the library's only way onto the bus.
 * Two back ends, chosen by the channel name: a SocketCAN interface ("can0", "vcan0", ...) or a
 * socketcand daemon in raw mode ("socketcand://HOST[:PORT]/BUS", port 29536 when omitted).
 * Received frames go into a ring that the CANopen step empties; frames are sent from any task.
 * Valid C11 and C++. */
#ifndef KR_CAN_H
#define KR_CAN_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/time.h>

#include "kr_errors.h"

#ifdef __cplusplus
extern "C" {
#endif

#ifndef CONFIG_CAN0_BAUDRATE
#define CONFIG_CAN0_BAUDRATE 250000u
#endif
#define CONFIG_CAN0_RX_BUFFER_SIZE 2048u
#define CONFIG_CAN0_TX_BUFFER_SIZE 256u

#define KR_CAN_DEV_NAME_LEN 64 /* channel name, terminator included */
#define KR_CAN_DEVS_MAX 30     /* interfaces offered to the user */
#define KR_CAN_DEVS_NAME_LEN 32
#define KR_CAN_SOCKETCAND_PREFIX "socketcand://"
#define KR_CAN_SOCKETCAND_PORT 29536u
#define KR_CAN_TX_TIMEOUT_MS 1000u /* longest wait for room in a full transmit queue */

/* Result of a send that the interface refused. */
#define KR_CAN_ERR_SEND 1u

typedef enum {
    CAN_STD = 0,
    CAN_11_BIT_ID = 0,
    CAN_EXT = 0x20000000,
    CAN_29_BIT_ID = 0x20000000,
    CAN_ERR = 0x40000000
} kr_can_msg_types_e;

/* One frame. */
typedef struct {
    union {
        uint8_t data[8];
        uint16_t data16[4];
        uint32_t data32[2];
        uint64_t data64;
    };
    uint32_t id;
    uint8_t data_length; /* 0 to 8 */
    kr_can_msg_types_e type;
} kr_can_message_st;
typedef kr_can_message_st kr_can_msg_st;

typedef enum {
    CAN_SEND_FLAGS_NONE = 0,
    CAN_SEND_FLAGS_NO_TX_CALLB = 1,
    CAN_SEND_FLAGS_LOCAL = 2,
    CAN_SEND_FLAGS_SYNC = 4,
    CAN_SEND_FLAGS_NORMAL = 8
} can_send_flags_e;

typedef enum {
    CAN_ERROR_ACTIVE = 0,
    CAN_ERROR_HARDWARE_NOT_AVAILABLE = 1,
    CAN_ERROR_HARDWARE_BUSY = 2,
    CAN_ERROR_BUS_OFF = 3,
    CAN_ERROR_PASSIVE = 4,
    CAN_ERROR_WARNING = 5
} kr_can_errors_e;

typedef enum {
    CAN_STATE_INIT = 0, /* closed */
    CAN_STATE_OPEN = 1,
    CAN_STATE_FAULT = 2 /* the last open failed, or the connection broke */
} can_state_e;

/* A channel is a device name; there is a single port, so operations ignore it. */
typedef const char *kr_can_channels_e;

/* Receive filter: a false result drops the frame. Transmit observer: sees every sent frame. */
typedef bool (*kr_can_rx_callback_t)(void *app, kr_can_message_st *msg);
typedef void (*kr_can_tx_callback_t)(void *app, const kr_can_message_st *msg, uint32_t flags);

kr_errors_e _kr_can_init(void);
void _kr_can_hal_step(uint32_t step_ms);
/* Waits, without the run token, until a frame may be read or timeout_ms passes: true when the open
 * port has something to read. For the library task between two steps. */
bool _kr_can_wait_rx(uint32_t timeout_ms);

/* Stores the baud rate and the channel name; the interface list is read again when next asked for.
 * False (and nothing changed) when the name does not fit. An open port is not reopened. */
bool kr_can_set_baudrate(kr_can_channels_e chn, uint32_t baud);
/* False, with a message, for a null name or one of KR_CAN_DEV_NAME_LEN characters or more. */
bool kr_can_set_dev(const char *name);
const char *kr_can_get_dev(void);
uint32_t kr_can_get_baudrate(kr_can_channels_e chn);
/* The bit rate the operating system reports for the interface, 0 when it reports none. */
uint32_t kr_can_get_netdev_baudrate(kr_can_channels_e chn);

/* The system's CAN interfaces, listed at the first call after a kr_can_set_baudrate. */
int32_t kr_can_get_device_count(void);
const char *kr_can_get_device_name(int32_t i);
bool kr_can_device_is_can(const char *name);
bool kr_can_device_is_virtual(const char *name);
bool kr_can_create_vcan(const char *name, char *err, size_t err_len);

/* Null when the port is (now) open, else a message saying which interface failed. */
const char *kr_can_set_up(bool force);
void kr_can_close(void);
bool kr_can_is_connected(void);
/* Why the port is not open: the failed open or the lost connection, as one sentence; "" when the
 * port is open or was never tried. */
const char *kr_can_get_fault(void);
/* Whether that fault is a failed open (a wrong name, no such bus), not a connection lost later. */
bool kr_can_open_failed(void);
/* Whether the bit-timing table holds this baud rate. */
bool kr_can_baud_supported(uint32_t baud);
can_state_e kr_can_get_state(void);
kr_can_errors_e kr_can_get_error_state(kr_can_channels_e chn);

void kr_can_clear_rx_buffer(kr_can_channels_e chn);
kr_errors_e kr_can_pop_message(kr_can_channels_e chn, kr_can_message_st *msg);
/* Receive time (wall clock) of the frame last taken from the ring. */
struct timeval kr_can_get_rx_time(void);

kr_errors_e kr_can_add_rx_callback(kr_can_channels_e chn, kr_can_rx_callback_t cb);
kr_errors_e kr_can_add_tx_callback(kr_can_channels_e chn, kr_can_tx_callback_t cb);

kr_errors_e kr_can_send_message(kr_can_channels_e chn, const kr_can_message_st *msg);
kr_errors_e kr_can_send_flags(kr_can_channels_e chn, const kr_can_message_st *msg, uint32_t flags);

/* A frame made ready in advance for a signal handler: kr_can_send_prepared writes it with one write on
 * the open port's descriptor, without locks, allocation or waiting (async-signal-safe). Prepare
 * fails when the port is not open; send fails when the port has changed or the kernel would wait. */
typedef struct {
    uint8_t bytes[72];
    uint32_t len;
    uint32_t generation; /* the connection it was made for */
} kr_can_prepared_st;
bool kr_can_prepare(const kr_can_message_st *msg, kr_can_prepared_st *out);
bool kr_can_send_prepared(const kr_can_prepared_st *prepared);
/* Just before the process ends: lets the frames already written leave. A socketcand connection that
 * closes with unread input is reset, and the reset drops what the kernel had not sent yet, so the
 * connection is shut for writing and its input read away. Async-signal-safe; sends nothing after. */
void kr_can_flush_for_exit(void);

/* Hardware filters and the library's own terminal do not exist on this platform. */
kr_errors_e kr_can_reset(kr_can_channels_e chn);
kr_errors_e kr_can_config_rx_message(kr_can_channels_e chn, uint32_t id, uint32_t mask, kr_can_msg_types_e type);
kr_errors_e kr_can_config_rx_message_no_callb(kr_can_channels_e chn, uint32_t id, uint32_t mask,
                                              kr_can_msg_types_e type);
void kr_can_clear_rx_messages(kr_can_channels_e chn);
void kr_can_set_rx_msg_callbacks(const void *config, bool clear);
void kr_can_use_gui_password(bool enable);
bool receive_terminal(const kr_can_message_st *msg);

#ifdef __cplusplus
}
#endif

#endif
