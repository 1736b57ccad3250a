/* The library's own part of the CANopen stack: its state, start-up, step and receive functions,
 * the SDO client's and server's state and the frame helpers they share. Only the library's sources
 * include it (and tests that reach into the stack); the tool uses the public headers. */
#ifndef KR_CANOPEN_PRIVATE_H
#define KR_CANOPEN_PRIVATE_H

#include <stdbool.h>
#include <stdint.h>

#include "kr_can.h"
#include "kr_canopen.h"
#include "kr_errors.h"
#include "kr_rtos.h"
#include "kr_utilities.h"

#ifdef __cplusplus
extern "C" {
#endif

/* What the library task made of a transfer attempt. Set once per attempt and only read (never
 * overwritten) by the waiting task, so a slow waiter cannot mistake a failure for success. */
typedef uint8_t canopen_sdo_result_e;
enum { CANOPEN_SDO_RESULT_PENDING = 0, CANOPEN_SDO_RESULT_DONE = 1, CANOPEN_SDO_RESULT_ABORTED = 2 };

typedef struct {
    canopen_sdo_state_e state;
    kr_mutex_st mutex;
    kr_sdo_error_codes_e last_err_code;
    canopen_sdo_result_e result;
    uint8_t server_node_id;
    uint8_t sindex;
    uint16_t mindex;
    bool initiated;
    uint8_t *data_ptr;
    const uint8_t *src_ptr;
    uint32_t obj_size;
    kr_canopen_sdo_wait_callb_t wait_callb;
    kr_delay_st wait_delay;
    bool wait_callb_req;
    kr_delay_st delay;
    uint32_t data_index;
    uint32_t data_count;
    uint8_t toggle; /* segment toggle bit, or block sequence number */
    uint8_t data_buffer[7];
    bool new_data;
    uint8_t new_data_len;
    uint8_t server_blksize;
    bool crc_enabled;
    bool end_sent;         /* block download: the end frame is out; block upload: the last segment came */
    bool size_known;       /* upload: the device announced obj_size */
    uint32_t upload_total; /* upload: data bytes the segments carried, kept or not */
    uint32_t block_start;  /* block download: data_index at the first segment of the sub-block */
    uint8_t resends;       /* block download: partly acknowledged sub-blocks in a row */
    uint8_t why;           /* canopen_sdo_fail_e of the last failed call */
    bool in_call;          /* a transfer function holds the client, retries and back-off included */
    bool cancelled;        /* the running call was cancelled: it ends without a retry */
    bool reinitiated;      /* block transfer: an older transfer's acknowledgement was answered once */
    bool awaiting_quiet;   /* block transfer: an older transfer's segments still pass; ours waits them out */
    kr_delay_st quiet;     /* how long no more of them must come before ours starts once more */
} _kr_canopen_sdo_client_st;

/* Why a call failed when the device's abort code does not tell it. */
typedef uint8_t canopen_sdo_fail_e;
enum {
    CANOPEN_SDO_FAIL_NONE = 0,
    CANOPEN_SDO_FAIL_NODE_STOPPED = 1, /* our own node was stopped by an NMT command */
    CANOPEN_SDO_FAIL_OTHER_CLIENT = 2, /* another client sent requests on the same channel */
    CANOPEN_SDO_FAIL_PORT = 3,         /* the CAN port is not open or the connection was lost */
    CANOPEN_SDO_FAIL_SHORT = 4,        /* the upload ended before the announced size */
    CANOPEN_SDO_FAIL_LONG = 5,         /* the upload ran past the announced size */
    CANOPEN_SDO_FAIL_CANCELLED = 6     /* kr_canopen_sdo_client_cancel ended it */
};

typedef struct {
    uint8_t timeout;
    uint8_t busy;
} sdo_client_retries_st;

/* The stack saw a request of some client on 0x600 + node_id: not ours, since we never hear our own. */
void _kr_canopen_sdo_client_rx_request(uint8_t node_id);

/* Library-internal: run in the library task. */
void _kr_canopen_sdo_client_init(void);
void _kr_canopen_sdo_client_reset(void);
void _kr_canopen_sdo_client_step(uint32_t step_ms);
/* A transfer is running and waits for the server's next frame. */
bool _kr_canopen_sdo_client_awaits_answer(void);

/* The retry rule and the back-off of retry n (from 0). */
bool sdo_client_take_retry(sdo_client_retries_st *retries, kr_sdo_error_codes_e code, bool initiated);
uint32_t sdo_client_retry_delay(uint32_t attempt);

#define CANOPEN_SDO_SERVER_BLKSIZE 37      /* segments a block download asks for */
#define CANOPEN_SDO_SERVER_MAX_BLKSIZE 127 /* a client's block size: the sequence stays below bit 7 */

typedef struct {
    canopen_sdo_state_e state;
    uint16_t mindex;
    uint8_t sindex;
    kr_canopen_sdo_server_callb_t write_callb;
    kr_canopen_sdo_server_callb_t read_callb;
    uint32_t data_index; /* byte position in the object's storage (32 bits: strings reach 65,535) */
    uint32_t data_count; /* end of the transfer's data (upload), or of the storage (download) */
    const canopen_object_st *obj;
    uint8_t seq;       /* segment toggle bit, or block sequence number */
    kr_delay_st delay; /* the time-out */
    /* Block download: one block is held until it is acknowledged, the last segment until the end. */
    uint8_t data_buffer[CANOPEN_SDO_SERVER_BLKSIZE * 7];
    uint16_t new_data; /* bytes held in data_buffer */
    bool end_expected; /* the last segment was acknowledged: only the end request may follow */
    bool number;       /* segmented download into an integer or array element: held until whole */
    uint8_t client_blksize;
    bool crc_enabled;
} _kr_canopen_sdo_server_st;

/* Object helpers. find: null (after an abort 0x06020000, 0x06010001 or 0x06010002) when the
 * object is missing or lacks the permission. copy: the value's bytes into reply bytes 4-7, returns
 * their count. write: an expedited write's data; false when refused. */
const canopen_object_st *_canopen_find_object(const kr_can_message_st *request, canopen_permissions_e permission);
uint8_t _canopen_copy_data(kr_can_message_st *reply, const canopen_object_st *obj, uint8_t sub);
bool _canopen_write_data(const canopen_object_st *obj, const kr_can_message_st *request, uint8_t sub);
/* Whether an expedited write fits: 0, or the abort code when its given size differs from a number's
 * (0x06070013 shorter, 0x06070012 longer) or a byte it carries beyond the object's size is not zero
 * (0x06070012). */
kr_sdo_error_codes_e _canopen_write_fits(const canopen_object_st *obj, const kr_can_message_st *request, uint8_t sub);
/* For an integer or an array element at sub: 0 when n bytes are its size, else the abort code
 * (0x06070013 fewer, 0x06070012 more). Strings take any length up to their storage. */
kr_sdo_error_codes_e _canopen_number_size_check(const canopen_object_st *obj, uint8_t sub, uint32_t n);
/* The bytes of an object's storage: an integer's size, all elements of an array, a string's storage. */
uint32_t _canopen_object_size(const canopen_object_st *obj);

#if CONFIG_CANOPEN_SDO_SERVER
void _kr_canopen_sdo_server_init(void);
void _kr_canopen_sdo_server_reset(void);
void _kr_canopen_sdo_server_rx(const kr_can_message_st *msg, sdo_request_type_e sdo_type);
void _kr_canopen_sdo_server_step(uint32_t step_ms);
bool _kr_canopen_sdo_server_awaits_block_answer(void);
void sdo_server_abort(uint16_t mindex, uint8_t sindex, kr_sdo_error_codes_e code);
#endif

/* SDO frames shared by client and server. */
sdo_request_type_e _canopen_sdo_get_request_type(const kr_can_message_st *msg);
kr_errors_e _kr_canopen_sdo_send(kr_can_message_st *msg);
kr_errors_e _kr_canopen_sdo_abort(uint32_t request_response, uint16_t main_index, uint8_t sub_index, uint32_t err_code);
void _kr_canopen_sdo_client_rx(const kr_can_message_st *msg, sdo_request_type_e sdo_type, uint8_t node_id);

/* The stack's state. */
typedef struct {
    canopen_node_states_e state;
    uint32_t device_type;
    uint32_t store_req[1];
    uint32_t restore_req[3];
    canopen_identity_object_st identity;
    kr_delay_st heartbeat_time;
    uint8_t current_node_id;
    uint8_t forced_node_id;
    uint8_t prog_control;
    kr_ring_buffer_st emcy_rx;
    canopen_emcy_msg_st emcy_rx_buffer[CONFIG_CANOPEN_EMCY_RX_BUFFER_SIZE];
    kr_delay_st emcy_inihbit_delay;
    kr_canopen_emcy_callb_t emcy_callb;
    uint8_t emcy_suppressed;
    struct {
        _kr_canopen_sdo_client_st client;
#if CONFIG_CANOPEN_SDO_SERVER
        _kr_canopen_sdo_server_st server;
#endif
    } sdo;
    kr_canopen_can_callb_t can_callback;
} _kr_canopen_st;

extern _kr_canopen_st _canopen;

/* Library start-up and the 2 ms step. */
void _kr_canopen_reset(void);
kr_errors_e _kr_canopen_init(uint8_t nodeid);
void _kr_canopen_step(uint32_t step_ms);
/* Whether an SDO transfer waits for the other side's answer (any transfer of the client, a block
 * upload of the server): the library task then takes frames as they come between two steps, so the
 * next segment or block follows the answer at once instead of at the next step. */
bool _kr_canopen_awaits_answer(void);
/* Platform: the library task takes frames as they arrive from now on (a transfer's first frame is out). */
void _kr_canopen_wake(void);
/* Hands the received frames to the stack, as the step does, without the step's timers. */
void _kr_canopen_receive(void);

#ifdef __cplusplus
}
#endif

#endif
