/* SDO: abort codes and their texts, the request classifier's vocabulary and the SDO client.
 * Valid C11 and C++. */
#ifndef KR_CANOPEN_SDO_H
#define KR_CANOPEN_SDO_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "kr_errors.h"
#include "kr_rtos.h"
#include "kr_utilities.h"
#include "canopen/kr_canopen_types.h"

#ifdef __cplusplus
extern "C" {
#endif

#define CONFIG_CANOPEN_SDO_TIMEOUT_MS 5000
#define CANOPEN_SDO_CLIENT_WAIT_CALLB_DELAY_MS 100
/* Back-off step: retry n (from 0) waits (n + 1) times this, plus the tick count modulo 101 ms. */
#define CONFIG_CANOPEN_SDO_CLIENT_RETRY_DELAY_MS 100
#define CONFIG_CANOPEN_SDO_CLIENT_RETRY_COUNT 1
#define CONFIG_CANOPEN_SDO_CLIENT_BUSY_RETRY_COUNT 5
#define CONFIG_CANOPEN_SDO_BLOCK_SIZE 256
#define CANOPEN_SDO_CLIENT_BLOCK_UPLOAD_BLKSIZE 37
/* Block download: sub-blocks in a row that the device acknowledges only in part before the transfer
 * is aborted (each is sent again from the first segment it lacks). */
#define CONFIG_CANOPEN_SDO_CLIENT_BLOCK_RESENDS 5

typedef uint32_t kr_sdo_error_codes_e;
enum {
    CANOPEN_SDO_ERROR_NONE = 0,
    CANOPEN_SDO_ERROR_SDO_TOGGLE_BIT_NOT_ALTERED = 0x05030000u,
    CANOPEN_SDO_ERROR_CRC_ERROR = 0x05030004u,
    CANOPEN_SDO_ERROR_OUT_OF_MEMORY = 0x05030005u,
    CANOPEN_SDO_ERROR_SDO_PROTOCOL_TIMED_OUT = 0x05040000u,
    CANOPEN_SDO_ERROR_CMD_SPECIFIER_NOT_FOUND = 0x05040001u,
    CANOPEN_SDO_ERROR_INVALID_BLOCK_SIZE = 0x05040002u,
    CANOPEN_SDO_ERROR_INVALID_SEQ_NUMBER = 0x05040003u,
    CANOPEN_SDO_ERROR_UNSUPPORTED_ACCESS_TO_OBJECT = 0x06010000u,
    CANOPEN_SDO_ERROR_ATTEMPT_TO_READ_A_WRITE_ONLY_OBJECT = 0x06010001u,
    CANOPEN_SDO_ERROR_ATTEMPT_TO_WRITE_A_READ_ONLY_OBJECT = 0x06010002u,
    CANOPEN_SDO_ERROR_OBJECT_DOES_NOT_EXIST = 0x06020000u,
    CANOPEN_SDO_ERROR_OBJECT_CANNOT_BE_MAPPED_TO_PDO = 0x06040041u,
    CANOPEN_SDO_ERROR_DATA_LENGTH_TOO_HIGH = 0x06070012u,
    CANOPEN_SDO_ERROR_OBJECT_ACCESS_FAILED_DUE_TO_HARDWARE = 0x06060000u,
    CANOPEN_SDO_ERROR_DATA_LENGTH_MISMATCH = 0x06070010u,
    CANOPEN_SDO_ERROR_SUBINDEX_DOES_NOT_EXIST = 0x06090011u,
    CANOPEN_SDO_ERROR_INVALID_VALUE = 0x06090030u,
    CANOPEN_SDO_ERROR_VALUE_OF_PARAMETER_TOO_HIGH = 0x06090031u,
    CANOPEN_SDO_ERROR_VALUE_OF_PARAMETER_TOO_LOW = 0x06090032u,
    CANOPEN_SDO_ERROR_GENERAL = 0x08000000u,
    CANOPEN_SDO_ERROR_CANNOT_BE_STORED = 0x08000020u
};

static inline const char *kr_canopen_sdo_error_code_to_str(kr_sdo_error_codes_e code)
{
    switch (code) {
    case CANOPEN_SDO_ERROR_NONE: return "NONE";
    case CANOPEN_SDO_ERROR_SDO_TOGGLE_BIT_NOT_ALTERED: return "TOGGLE BIT NOT ALTERED";
    case CANOPEN_SDO_ERROR_CRC_ERROR: return "CRC ERROR";
    case CANOPEN_SDO_ERROR_OUT_OF_MEMORY: return "OUT OF MEMORY";
    case CANOPEN_SDO_ERROR_SDO_PROTOCOL_TIMED_OUT: return "SDO PROTOCOL TIMED OUT";
    case CANOPEN_SDO_ERROR_INVALID_BLOCK_SIZE: return "INVALID BLOCK SIZE";
    case CANOPEN_SDO_ERROR_INVALID_SEQ_NUMBER: return "INVALID SEQUENCE NUMBER";
    case CANOPEN_SDO_ERROR_UNSUPPORTED_ACCESS_TO_OBJECT: return "UNSUPPORTED ACCESS TO OBJECT";
    case CANOPEN_SDO_ERROR_ATTEMPT_TO_READ_A_WRITE_ONLY_OBJECT: return "ATTEMPT TO READ A WRITE ONLY OBJECT";
    case CANOPEN_SDO_ERROR_ATTEMPT_TO_WRITE_A_READ_ONLY_OBJECT: return "ATTEMPTTO WRITE A READ ONLY OBJECT";
    case CANOPEN_SDO_ERROR_OBJECT_DOES_NOT_EXIST: return "OBJECT DOES NOT EXIST";
    case CANOPEN_SDO_ERROR_OBJECT_CANNOT_BE_MAPPED_TO_PDO: return "OBJECT CANNOT BE MAPPED TO PDO";
    case CANOPEN_SDO_ERROR_DATA_LENGTH_TOO_HIGH: return "DATA TYPE DOES NOT MATCH, LENGTH TOO HIGH";
    case CANOPEN_SDO_ERROR_OBJECT_ACCESS_FAILED_DUE_TO_HARDWARE: return "OBJECT ACCESS FAILED DUE TO HARDWARE";
    case CANOPEN_SDO_ERROR_DATA_LENGTH_MISMATCH: return "DATA TYPE DOES NOT MATCH, LENGTH OF SERVICE PARAMETER DOES NOT MATCH";
    case CANOPEN_SDO_ERROR_INVALID_VALUE: return "INVALID VALUE FOR PARAMETER";
    case CANOPEN_SDO_ERROR_VALUE_OF_PARAMETER_TOO_HIGH: return "VALUE OF PARAMETER TOO HIGH";
    case CANOPEN_SDO_ERROR_VALUE_OF_PARAMETER_TOO_LOW: return "VALUE OF PARAMETER TOO LOW";
    case CANOPEN_SDO_ERROR_GENERAL: return "GENERAL";
    case CANOPEN_SDO_ERROR_CANNOT_BE_STORED: return "DATA CANNOT BE TRANSFERRED OR STORED TO THE APPLICATION";
    default: return "UNKNOWN ERRORCODE";
    }
}

typedef uint8_t canopen_sdo_state_e;
enum {
    CANOPEN_SDO_STATE_READY = 1,
    CANOPEN_SDO_STATE_TRANSFER_ABORTED = 2,
    CANOPEN_SDO_STATE_TRANSFER_DONE = 3,
    CANOPEN_SDO_STATE_EXPEDITED_DOWNLOAD = 4,
    CANOPEN_SDO_STATE_EXPEDITED_UPLOAD = 5,
    CANOPEN_SDO_STATE_SEGMENTED_UPLOAD = 6,
    CANOPEN_SDO_STATE_SEGMENTED_UPLOAD_WFR = 7,
    CANOPEN_SDO_STATE_SEGMENTED_DOWNLOAD = 8,
    CANOPEN_SDO_STATE_SEGMENTED_DOWNLOAD_WFR = 9,
    CANOPEN_SDO_STATE_BLOCK_DOWNLOAD = 10,
    CANOPEN_SDO_STATE_BLOCK_UPLOAD_WFR = 11,
    CANOPEN_SDO_STATE_BLOCK_UPLOAD = 12,
    CANOPEN_SDO_STATE_BLOCK_END_DOWNLOAD = 13,
    CANOPEN_SDO_STATE_BLOCK_END_UPLOAD = 14
};

/* What the library task made of a transfer attempt. Set once per attempt and only read (never
 * overwritten) by the waiting task, so a slow waiter cannot mistake a failure for success. */
typedef uint8_t canopen_sdo_result_e;
enum {
    CANOPEN_SDO_RESULT_PENDING = 0,
    CANOPEN_SDO_RESULT_DONE = 1,
    CANOPEN_SDO_RESULT_ABORTED = 2
};

typedef uint32_t sdo_request_type_e;
enum {
    DOWNLOAD_DOMAIN_SEGMENT = 0x00,
    INITIATE_DOMAIN_DOWNLOAD = 0x20,
    INITIATE_DOMAIN_UPLOAD = 0x40,
    INITIATE_DOMAIN_DOWNLOAD_REPLY = 0x60,
    ABORT_DOMAIN_TRANSFER = 0x80,
    INITIATE_BLOCK_DOWNLOAD_REPLY = 0xA0,
    END_BLOCK_DOWNLOAD_REPLY = 0xA1,
    DOWNLOAD_BLOCK_SEGMENT_REPLY = 0xA2,
    INITIATE_BLOCK_UPLOAD_REPLY2 = 0xA3,
    INITIATE_BLOCK_DOWNLOAD = 0xC0,
    END_BLOCK_DOWNLOAD = 0xC1,
    INVALID_MSG = 0xFFFE,
    UNKNOWN_SDO_MSG = 0xFFFF
};

typedef void (*kr_canopen_sdo_wait_callb_t)(uint16_t mindex, uint8_t sindex);

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
    bool end_sent; /* block download: the end frame is out; block upload: the last segment came */
    bool size_known;       /* upload: the device announced obj_size */
    uint32_t upload_total; /* upload: data bytes the segments carried, kept or not */
    uint32_t block_start;  /* block download: data_index at the first segment of the sub-block */
    uint8_t resends;       /* block download: partly acknowledged sub-blocks in a row */
    uint8_t why;           /* canopen_sdo_fail_e of the last failed call */
    bool in_call;          /* a transfer function holds the client, retries and back-off included */
    bool cancelled;        /* the running call was cancelled: it ends without a retry */
    bool reinitiated;      /* block transfer: an older transfer's acknowledgement was answered once */
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

/* Transfers, called from the tool's tasks; each waits for its end. ERR_NONE, ERR_HW_BUSY when the
 * client is not ready, or ERR_ABORTED with the abort code in _kr_canopen_sdo_get_error_code(). */
kr_errors_e _kr_canopen_sdo_client_read(uint8_t node_id, uint16_t mindex, uint8_t sindex, uint32_t data_len,
                                        void *data);
/* A time-out in ms without a frame from the server other than the configured one, for callers that
 * must end within a time of their own; 0 restores the configured one. */
void _kr_canopen_sdo_client_set_timeout(uint32_t ms);
/* Whether node gave two different answers to one upload request since the last clear (two servers
 * at one node id); clear resets it for that node. */
bool _kr_canopen_sdo_client_answers_differ(uint8_t node, bool clear);
kr_errors_e _kr_canopen_sdo_client_write(uint8_t node_id, uint16_t mindex, uint8_t sindex, uint32_t data_len,
                                         const void *data);
kr_errors_e _kr_canopen_sdo_client_block_write(uint8_t node_id, uint16_t mindex, uint8_t sindex,
                                               uint32_t data_len, const void *data);
kr_errors_e _kr_canopen_sdo_client_block_read(uint8_t node_id, uint16_t mindex, uint8_t sindex,
                                              uint32_t data_len, void *data);
kr_sdo_error_codes_e _kr_canopen_sdo_get_error_code(void);
uint32_t _kr_canopen_sdo_client_get_obj_size(void);
/* Whether the last upload announced its size (an expedited answer may carry 4 bytes without one). */
bool _kr_canopen_sdo_client_size_known(void);
/* The running transfer's position and end in bytes, for progress; a caller may set them to 0 and
 * the size before a transfer starts, so no earlier transfer's figures show. */
uint32_t _kr_canopen_sdo_client_get_data_index(void);
uint32_t _kr_canopen_sdo_client_get_data_count(void);
void _kr_canopen_sdo_client_reset_progress(uint32_t count);
void kr_canopen_sdo_client_set_wait_callback(kr_canopen_sdo_wait_callb_t callb);
/* Ends the running transfer from any task: the server gets the abort frame with abort_code, and the
 * waiting transfer function returns ERR_ABORTED with that code, without a retry (also when the
 * call is between two attempts). Does nothing when no transfer runs. */
void kr_canopen_sdo_client_cancel(uint32_t abort_code);
/* The reason of the last failed call as one sentence in dest, or null when the abort code
 * (_kr_canopen_sdo_get_error_code) is the whole story. */
const char *kr_canopen_sdo_client_failure(char *dest, size_t dest_len);
/* The stack saw a request of some client on 0x600 + node_id: not ours, since we never hear our own. */
void _kr_canopen_sdo_client_rx_request(uint8_t node_id);

/* Library-internal: run in the library task. */
void _kr_canopen_sdo_client_init(void);
void _kr_canopen_sdo_client_reset(void);
void _kr_canopen_sdo_client_step(uint32_t step_ms);
bool _kr_canopen_sdo_client_awaits_block_answer(void);

/* The retry rule and the back-off of retry n (from 0). */
bool sdo_client_take_retry(sdo_client_retries_st *retries, kr_sdo_error_codes_e code, bool initiated);
uint32_t sdo_client_retry_delay(uint32_t attempt);

#ifdef __cplusplus
}
#endif

#endif
