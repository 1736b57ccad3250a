/* SDO: abort codes and their texts, the request classifier's vocabulary and the SDO client's calls
 * (its state is the library's own). Valid C11 and C++. */
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
/* Silence on the device's request channel after which an older transfer's segments have passed. */
#define CANOPEN_SDO_CLIENT_STALE_QUIET_MS 100
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
    CANOPEN_SDO_ERROR_DATA_LENGTH_TOO_LOW = 0x06070013u,
    CANOPEN_SDO_ERROR_SUBINDEX_DOES_NOT_EXIST = 0x06090011u,
    CANOPEN_SDO_ERROR_INVALID_VALUE = 0x06090030u,
    CANOPEN_SDO_ERROR_VALUE_OF_PARAMETER_TOO_HIGH = 0x06090031u,
    CANOPEN_SDO_ERROR_VALUE_OF_PARAMETER_TOO_LOW = 0x06090032u,
    CANOPEN_SDO_ERROR_GENERAL = 0x08000000u,
    CANOPEN_SDO_ERROR_CANNOT_BE_STORED = 0x08000020u
};

/* The texts of CiA 301's abort codes, and of this library's own CRC and memory codes. */
static inline const char *kr_canopen_sdo_error_code_to_str(kr_sdo_error_codes_e code)
{
    switch (code) {
    case CANOPEN_SDO_ERROR_NONE: return "NONE";
    case CANOPEN_SDO_ERROR_SDO_TOGGLE_BIT_NOT_ALTERED: return "TOGGLE BIT NOT ALTERED";
    case CANOPEN_SDO_ERROR_CRC_ERROR: return "CRC ERROR";
    case CANOPEN_SDO_ERROR_OUT_OF_MEMORY: return "OUT OF MEMORY";
    case CANOPEN_SDO_ERROR_SDO_PROTOCOL_TIMED_OUT: return "SDO PROTOCOL TIMED OUT";
    case CANOPEN_SDO_ERROR_CMD_SPECIFIER_NOT_FOUND: return "CLIENT/SERVER COMMAND SPECIFIER NOT VALID OR UNKNOWN";
    case CANOPEN_SDO_ERROR_INVALID_BLOCK_SIZE: return "INVALID BLOCK SIZE";
    case CANOPEN_SDO_ERROR_INVALID_SEQ_NUMBER: return "INVALID SEQUENCE NUMBER";
    case 0x05040004u: return "CRC ERROR";
    case 0x05040005u: return "OUT OF MEMORY";
    case CANOPEN_SDO_ERROR_UNSUPPORTED_ACCESS_TO_OBJECT: return "UNSUPPORTED ACCESS TO OBJECT";
    case CANOPEN_SDO_ERROR_ATTEMPT_TO_READ_A_WRITE_ONLY_OBJECT: return "ATTEMPT TO READ A WRITE ONLY OBJECT";
    case CANOPEN_SDO_ERROR_ATTEMPT_TO_WRITE_A_READ_ONLY_OBJECT: return "ATTEMPT TO WRITE A READ ONLY OBJECT";
    case CANOPEN_SDO_ERROR_OBJECT_DOES_NOT_EXIST: return "OBJECT DOES NOT EXIST";
    case CANOPEN_SDO_ERROR_OBJECT_CANNOT_BE_MAPPED_TO_PDO: return "OBJECT CANNOT BE MAPPED TO PDO";
    case 0x06040042u: return "THE NUMBER AND LENGTH OF THE OBJECTS TO BE MAPPED WOULD EXCEED PDO LENGTH";
    case 0x06040043u: return "GENERAL PARAMETER INCOMPATIBILITY";
    case 0x06040047u: return "GENERAL INTERNAL INCOMPATIBILITY IN THE DEVICE";
    case CANOPEN_SDO_ERROR_OBJECT_ACCESS_FAILED_DUE_TO_HARDWARE: return "OBJECT ACCESS FAILED DUE TO HARDWARE";
    case CANOPEN_SDO_ERROR_DATA_LENGTH_MISMATCH:
        return "DATA TYPE DOES NOT MATCH, LENGTH OF SERVICE PARAMETER DOES NOT MATCH";
    case CANOPEN_SDO_ERROR_DATA_LENGTH_TOO_HIGH: return "DATA TYPE DOES NOT MATCH, LENGTH TOO HIGH";
    case CANOPEN_SDO_ERROR_DATA_LENGTH_TOO_LOW: return "DATA TYPE DOES NOT MATCH, LENGTH TOO LOW";
    case CANOPEN_SDO_ERROR_SUBINDEX_DOES_NOT_EXIST: return "SUB-INDEX DOES NOT EXIST";
    case CANOPEN_SDO_ERROR_INVALID_VALUE: return "INVALID VALUE FOR PARAMETER";
    case CANOPEN_SDO_ERROR_VALUE_OF_PARAMETER_TOO_HIGH: return "VALUE OF PARAMETER TOO HIGH";
    case CANOPEN_SDO_ERROR_VALUE_OF_PARAMETER_TOO_LOW: return "VALUE OF PARAMETER TOO LOW";
    case 0x06090036u: return "MAXIMUM VALUE IS LESS THAN MINIMUM VALUE";
    case 0x060A0023u: return "RESOURCE NOT AVAILABLE: SDO CONNECTION";
    case CANOPEN_SDO_ERROR_GENERAL: return "GENERAL";
    case CANOPEN_SDO_ERROR_CANNOT_BE_STORED: return "DATA CANNOT BE TRANSFERRED OR STORED TO THE APPLICATION";
    case 0x08000021u: return "DATA CANNOT BE TRANSFERRED OR STORED TO THE APPLICATION BECAUSE OF LOCAL CONTROL";
    case 0x08000022u:
        return "DATA CANNOT BE TRANSFERRED OR STORED TO THE APPLICATION BECAUSE OF THE PRESENT DEVICE STATE";
    case 0x08000023u: return "OBJECT DICTIONARY DYNAMIC GENERATION FAILED OR NO OBJECT DICTIONARY IS PRESENT";
    case 0x08000024u: return "NO DATA AVAILABLE";
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

/* Transfers, called from the tool's tasks; each waits for its end. ERR_NONE, ERR_HW_BUSY when the
 * client is not ready, or ERR_ABORTED with the abort code in _kr_canopen_sdo_get_error_code(). */
kr_errors_e _kr_canopen_sdo_client_read(uint8_t node_id, uint16_t mindex, uint8_t sindex, uint32_t data_len,
                                        void *data);
/* A time-out in ms without a frame from the server other than the configured one, for callers that
 * must end within a time of their own; 0 restores the configured one. */
void kr_canopen_sdo_client_set_timeout(uint32_t ms);
/* Whether node gave two different answers to one upload request since the last clear (two servers
 * at one node id); clear resets it for that node. */
bool kr_canopen_sdo_client_answers_differ(uint8_t node, bool clear);
kr_errors_e _kr_canopen_sdo_client_write(uint8_t node_id, uint16_t mindex, uint8_t sindex, uint32_t data_len,
                                         const void *data);
kr_errors_e _kr_canopen_sdo_client_block_write(uint8_t node_id, uint16_t mindex, uint8_t sindex, uint32_t data_len,
                                               const void *data);
kr_errors_e _kr_canopen_sdo_client_block_read(uint8_t node_id, uint16_t mindex, uint8_t sindex, uint32_t data_len,
                                              void *data);
kr_sdo_error_codes_e _kr_canopen_sdo_get_error_code(void);
uint32_t _kr_canopen_sdo_client_get_obj_size(void);
/* Whether the last upload announced its size (an expedited answer may carry 4 bytes without one). */
bool kr_canopen_sdo_client_size_known(void);
/* The running transfer's position and end in bytes, for progress; a caller may set them to 0 and
 * the size before a transfer starts, so no earlier transfer's figures show. */
uint32_t kr_canopen_sdo_client_get_data_index(void);
uint32_t kr_canopen_sdo_client_get_data_count(void);
void kr_canopen_sdo_client_reset_progress(uint32_t count);
/* The lowest position the transfer went back to since the last call (a retry, a lost block's segments
 * sent again), or UINT32_MAX when it never went back. */
uint32_t kr_canopen_sdo_client_take_back_index(void);
void kr_canopen_sdo_client_set_wait_callback(kr_canopen_sdo_wait_callb_t callb);
/* Ends the running transfer from any task: the server gets the abort frame with abort_code, and the
 * waiting transfer function returns ERR_ABORTED with that code, without a retry (also when the
 * call is between two attempts). Does nothing when no transfer runs. */
void kr_canopen_sdo_client_cancel(uint32_t abort_code);
/* The reason of the last failed call as one sentence in dest, or null when the abort code
 * (_kr_canopen_sdo_get_error_code) is the whole story. */
const char *kr_canopen_sdo_client_failure(char *dest, size_t dest_len);

#ifdef __cplusplus
}
#endif

#endif
