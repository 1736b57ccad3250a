/* The SDO server: answers requests on 0x600 + own node id for the own object dictionary. Built in
 * only with CONFIG_CANOPEN_SDO_SERVER 1 (the tool keeps it 0); the object helpers are always there.
 * Valid C11 and C++. */
#ifndef KR_CANOPEN_SDO_SERVER_H
#define KR_CANOPEN_SDO_SERVER_H

#include <stdbool.h>
#include <stdint.h>

#include "kr_can.h"
#include "kr_utilities.h"
#include "canopen/kr_canopen_sdo.h"
#include "canopen/kr_canopen_types.h"

#ifdef __cplusplus
extern "C" {
#endif

#define CANOPEN_SDO_SERVER_BLKSIZE 37       /* segments a block download asks for */
#define CANOPEN_SDO_SERVER_MAX_BLKSIZE 127  /* a client's block size: the sequence stays below bit 7 */

typedef void (*kr_canopen_sdo_server_callb_t)(uint16_t mindex, uint8_t sindex);

typedef struct {
    canopen_sdo_state_e state;
    uint16_t mindex;
    uint8_t sindex;
    kr_canopen_sdo_server_callb_t write_callb;
    kr_canopen_sdo_server_callb_t read_callb;
    uint32_t data_index;  /* byte position in the object's storage (32 bits: strings reach 65,535) */
    uint32_t data_count;  /* end of the transfer's data (upload), or of the storage (download) */
    const canopen_object_st *obj;
    uint8_t seq;          /* segment toggle bit, or block sequence number */
    kr_delay_st delay;    /* the time-out */
    /* Block download: one block is held until it is acknowledged, the last segment until the end. */
    uint8_t data_buffer[CANOPEN_SDO_SERVER_BLKSIZE * 7];
    uint16_t new_data;    /* bytes held in data_buffer */
    bool end_expected;    /* the last segment was acknowledged: only the end request may follow */
    uint8_t client_blksize;
    bool crc_enabled;
} _kr_canopen_sdo_server_st;

/* Object helpers. find: null (after an abort 0x06020000, 0x06010001 or 0x06010002) when the
 * object is missing or lacks the permission. copy: the value's bytes into reply bytes 4-7, returns
 * their count. write: an expedited write's data; false when refused. */
const canopen_object_st *_canopen_find_object(const kr_can_message_st *request, canopen_permissions_e permission);
uint8_t _canopen_copy_data(kr_can_message_st *reply, const canopen_object_st *obj, uint8_t sub);
bool _canopen_write_data(const canopen_object_st *obj, const kr_can_message_st *request, uint8_t sub);
/* Whether an expedited write fits: false when a byte it carries beyond the object's size is not zero
 * (abort 0x06070012). */
bool _canopen_write_fits(const canopen_object_st *obj, const kr_can_message_st *request, uint8_t sub);
/* The bytes of an object's storage: an integer's size, all elements of an array, a string's storage. */
uint32_t _canopen_object_size(const canopen_object_st *obj);

#if CONFIG_CANOPEN_SDO_SERVER
void _kr_canopen_sdo_server_init(void);
void _kr_canopen_sdo_server_reset(void);
void _kr_canopen_sdo_server_add_write_callb(kr_canopen_sdo_server_callb_t callb);
void _kr_canopen_sdo_server_add_read_callb(kr_canopen_sdo_server_callb_t callb);
void _kr_canopen_sdo_server_rx(const kr_can_message_st *msg, sdo_request_type_e sdo_type);
void _kr_canopen_sdo_server_step(uint32_t step_ms);
bool _kr_canopen_sdo_server_awaits_block_answer(void);
void sdo_server_abort(uint16_t mindex, uint8_t sindex, kr_sdo_error_codes_e code);
#endif

#ifdef __cplusplus
}
#endif

#endif
