/* The CANopen stack: the tool's own node (NMT, heartbeat, EMCY, PDO stubs, object dictionary) and
 * its master functions (NMT commands, the SDO client). Its state, start-up, step and receive
 * functions are the library's own. Valid C11 and C++. */
#ifndef KR_CANOPEN_H
#define KR_CANOPEN_H

#include <stdbool.h>
#include <stdint.h>

#include "kr_can.h"
#include "kr_errors.h"
#include "kr_utilities.h"
#include "canopen/kr_canopen_sdo.h"
#include "canopen/kr_canopen_sdo_server.h"
#include "canopen/kr_canopen_types.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef void (*kr_canopen_can_callb_t)(void *app, const kr_can_message_st *msg);
/* How many CAN listeners (kr_canopen_add_can_listener) the stack holds at once. */
#define CONFIG_CANOPEN_CAN_LISTENERS 8
typedef void (*kr_canopen_emcy_callb_t)(uint16_t err_code, uint32_t data);

void kr_canopen_set_can_callback(kr_canopen_can_callb_t callb);
/* Listeners beside the application callback: the step gives every received frame to each, in the
 * library task, unless the own node is stopped. Any task may add or remove one while frames arrive;
 * one removed meanwhile may still get the frame being handed out. Adding one already there changes
 * nothing; a full list refuses with ERR_BUFFER_OVERFLOW. Null is refused with
 * ERR_UNSUPPORTED_PARAM1_VALUE. The stack's start-up removes them all. */
kr_errors_e kr_canopen_add_can_listener(kr_canopen_can_callb_t callb);
void kr_canopen_remove_can_listener(kr_canopen_can_callb_t callb);
canopen_node_states_e kr_canopen_get_state(void);
void kr_canopen_set_state(canopen_node_states_e state);
uint8_t kr_canopen_get_nodeid(void);

kr_errors_e kr_canopen_nmt_master_send_cmd(uint8_t nodeid, canopen_nmt_commands_e command);
kr_errors_e kr_canopen_command(uint8_t nodeid, canopen_nmt_commands_e cmd);

/* SDO helpers: the reads return 0 on failure (the abort code is in _kr_canopen_sdo_get_error_code()). */
uint8_t kr_canopen_sdo_read8(uint8_t node_id, uint16_t mindex, uint8_t sindex);
uint16_t kr_canopen_sdo_read16(uint8_t node_id, uint16_t mindex, uint8_t sindex);
uint32_t kr_canopen_sdo_read32(uint8_t node_id, uint16_t mindex, uint8_t sindex);
kr_errors_e kr_canopen_sdo_write8(uint8_t node_id, uint16_t mindex, uint8_t sindex, uint8_t data);
kr_errors_e kr_canopen_sdo_write16(uint8_t node_id, uint16_t mindex, uint8_t sindex, uint16_t data);
kr_errors_e kr_canopen_sdo_write32(uint8_t node_id, uint16_t mindex, uint8_t sindex, uint32_t data);
kr_errors_e kr_canopen_sdo_store_params(uint8_t node_id, memory_scope_e scope);
kr_errors_e kr_canopen_sdo_restore_params(uint8_t node_id, memory_scope_e scope);

kr_errors_e kr_canopen_emcy_send(uint16_t err_code, uint32_t data);
kr_errors_e kr_canopen_emcy_get(canopen_emcy_msg_st *dest);
void kr_canopen_emcy_set_callback(kr_canopen_emcy_callb_t callb);
void kr_canopen_emcy_suppress(bool suppress);

bool kr_canopen_is_pdo(uint32_t id);
void kr_canopen_set_our_nodeid(uint8_t nodeid);

const canopen_object_st *_kr_canopen_obj_dict_get(uint16_t main_index, uint8_t subindex);

/* PDOs: none are configured in this build, so these find nothing and do nothing. */
canopen_pdo_com_parameter_st *kr_canopen_rxpdo_get_com(uint8_t pdo);
canopen_pdo_com_parameter_st *kr_canopen_txpdo_get_com(uint8_t pdo);
canopen_pdo_mapping_parameter_st *kr_canopen_rxpdo_get_mapping(uint8_t pdo);
canopen_pdo_mapping_parameter_st *kr_canopen_txpdo_get_mapping(uint8_t pdo);
uint32_t kr_canopen_rxpdo_get_receive_timer_ms(uint8_t pdo);
bool kr_canopen_rxpdo_is_received(uint8_t pdo);
void kr_canopen_rxpdo_set_received(uint8_t pdo, bool received);
kr_errors_e kr_canopen_pdo_mapping_update(void);
kr_errors_e kr_canopen_pdo_cobid_update(void);
void _kr_canopen_pdo_mapping_ptr_conf(const canopen_pdo_mapping_parameter_st *mapping_param, uint8_t **ptr_bfr,
                                      canopen_permissions_e permissions);

/* The application object table (main indexes 0x2000 to 0x4FFF), given by the application. */
extern const canopen_object_st obj_dict[];
uint32_t obj_dict_len(void);

#ifdef __cplusplus
}
#endif

#endif
