/* CANopen vocabularies and the object-dictionary entry, shared by the stack, the SDO client and
 * the generated object-dictionary sources of device firmware. Valid C11 and C++. */
#ifndef KR_CANOPEN_TYPES_H
#define KR_CANOPEN_TYPES_H

#include <stdbool.h>
#include <stdint.h>

#include "kr_memory.h" /* memory_scope_e and the stack's part of the settings record */

#ifdef __cplusplus
extern "C" {
#endif

/* Build configuration of the stack. */
#define CONFIG_CANOPEN_DEFAULT_NODE_ID 1
#define CONFIG_CANOPEN_DEFAULT_HEARTBEAT_MS 1000
#define CONFIG_CANOPEN_EMCY_RX_BUFFER_SIZE 3
#define CONFIG_CANOPEN_EMCY_INHIBIT_TIME_MS 200
#ifndef CONFIG_CANOPEN_SDO_SERVER
#define CONFIG_CANOPEN_SDO_SERVER 0 /* the tool is a client only; a test build of the library sets 1 */
#endif

/* Identifier bases; node ids are the low 7 bits. */
#define CANOPEN_NODE_ID_MASK 0x7Fu
/* The node ids a device can take (0 addresses every node in an NMT command). */
#define CANOPEN_NODE_ID_MIN 1
#define CANOPEN_NODE_ID_MAX 127
#define CANOPEN_NMT_ID 0x000u
#define CANOPEN_EMCY_ID 0x080u
#define CANOPEN_TXPDO1_ID 0x180u
#define CANOPEN_RXPDO1_ID 0x200u
#define CANOPEN_TXPDO2_ID 0x280u
#define CANOPEN_RXPDO2_ID 0x300u
#define CANOPEN_TXPDO3_ID 0x380u
#define CANOPEN_RXPDO3_ID 0x400u
#define CANOPEN_TXPDO4_ID 0x480u
#define CANOPEN_RXPDO4_ID 0x500u
#define CANOPEN_SDO_RESPONSE_ID 0x580u
#define CANOPEN_SDO_REQUEST_ID 0x600u
#define CANOPEN_HEARTBEAT_ID 0x700u

#define CANOPEN_KORVANE_VENDOR_ID 0x031Du

/* Communication objects of every device. */
#define CANOPEN_NODE_ID_INDEX 0x100Bu
#define CANOPEN_HEARTBEAT_CONSUMER_INDEX 0x1016u
#define CANOPEN_HEARTBEAT_PRODUCER_INDEX 0x1017u
#define CANOPEN_IDENTITY_INDEX 0x1018u
#define CANOPEN_IDENTITY_VENDOR_SUBINDEX 1
#define CANOPEN_IDENTITY_PRODUCT_SUBINDEX 2
#define CANOPEN_IDENTITY_REVISION_SUBINDEX 3
/* PDO parameters: one index per PDO from each base, CANOPEN_PDO_PARAM_SPAN indexes each. */
#define CANOPEN_RXPDO_COM_INDEX 0x1400u
#define CANOPEN_RXPDO_MAPPING_INDEX 0x1600u
#define CANOPEN_TXPDO_COM_INDEX 0x1800u
#define CANOPEN_TXPDO_MAPPING_INDEX 0x1A00u
#define CANOPEN_PDO_PARAM_SPAN 0x200u

/* Object indexes of the maker used by the tool's device jobs. */
#define CANOPEN_STORE_PARAMS_INDEX 0x1010u
#define CANOPEN_RESTORE_PARAMS_INDEX 0x1011u
#define CANOPEN_PROGRAM_DATA_INDEX 0x1F50u
#define CANOPEN_PROGRAM_CONTROL_INDEX 0x1F51u
#define CANOPEN_PROGRAM_ID_INDEX 0x1F56u
#define CANOPEN_PROGRAM_FLASH_STATUS_INDEX 0x1F57u
#define CANOPEN_MEDIA_CLEAR_REQ_INDEX 0x5FF8u
#define CANOPEN_MEDIA_WRITE_REQ_INDEX 0x5FF9u
#define CANOPEN_MEDIA_FILE_SIZE_INDEX 0x5FFAu
#define CANOPEN_MEDIA_FILE_NAME_INDEX 0x5FFBu
#define CANOPEN_MEDIA_OFFSET_INDEX 0x5FFCu
#define CANOPEN_MEDIA_BLOCK_SIZE_INDEX 0x5FFDu
#define CANOPEN_MEDIA_DATA_INDEX 0x5FFEu
#define CANOPEN_DEVICE_NAME_INDEX 0x5FFFu

/* Store sub-index, and restore sub-indexes. */
#define CANOPEN_STORE_ALL_SUBINDEX 1
#define CANOPEN_RESTORE_ALL_SUBINDEX 1
#define CANOPEN_RESTORE_COM_SUBINDEX 2
#define CANOPEN_RESTORE_APP_SUBINDEX 3

/* The request words of 0x1010 and 0x1011, as they read in memory (little-endian). */
#define CANOPEN_SIGNATURE_SAVE 0x65766173u /* "save" */
#define CANOPEN_SIGNATURE_SAVE_SWAPPED 0x73617665u
#define CANOPEN_SIGNATURE_LOAD 0x64616F6Cu /* "load" */

typedef uint8_t canopen_object_type_e;
enum {
    CANOPEN_UNDEFINED = 0,
    CANOPEN_UNSIGNED8 = 1,
    CANOPEN_SIGNED8 = 1,
    CANOPEN_UNSIGNED16 = 2,
    CANOPEN_SIGNED16 = 2,
    CANOPEN_UNSIGNED32 = 4,
    CANOPEN_SIGNED32 = 4,
    CANOPEN_STRING = 17,
    CANOPEN_ARRAY8 = 65,
    CANOPEN_ARRAYUNSIGNED8 = 65,
    CANOPEN_ARRAYSIGNED8 = 65,
    CANOPEN_ARRAY16 = 66,
    CANOPEN_ARRAYUNSIGNED16 = 66,
    CANOPEN_ARRAYSIGNED16 = 66,
    CANOPEN_ARRAY32 = 68,
    CANOPEN_ARRAYUNSIGNED32 = 68,
    CANOPEN_ARRAYSIGNED32 = 68
};
#define CANOPEN_NUMBER_MASK 0x07u
#define CANOPEN_ARRAY_MASK 0xC0u
#define CANOPEN_STRING_MASK 0x30u
#define CANOPEN_TYPE_LEN(type) ((uint8_t)((type)&CANOPEN_NUMBER_MASK))

/* Whether a type is an array; its elements have the type's width. */
static inline bool canopen_type_is_array(canopen_object_type_e type) { return (type & CANOPEN_ARRAY_MASK) != 0; }
/* The bytes of an integer type, or of one element of an array type. */
static inline uint8_t canopen_type_width(canopen_object_type_e type) { return CANOPEN_TYPE_LEN(type); }

typedef uint8_t canopen_permissions_e;
enum { CANOPEN_RO = 1, CANOPEN_WO = 2, CANOPEN_RW = 3 };
#define CANOPEN_PERMISSION_READ 0x01u
#define CANOPEN_PERMISSION_WRITE 0x02u

typedef enum {
    CANOPEN_BOOT_UP = 0,
    CANOPEN_STOPPED = 4,
    CANOPEN_OPERATIONAL = 5,
    CANOPEN_PREOPERATIONAL = 127
} canopen_node_states_e;

typedef enum {
    CANOPEN_NMT_CMD_START_NODE = 1,
    CANOPEN_NMT_CMD_STOP_NODE = 2,
    CANOPEN_NMT_CMD_SET_PREOPERATIONAL = 128,
    CANOPEN_NMT_CMD_RESET_NODE = 129,
    CANOPEN_NMT_CMD_RESET_COM = 130
} canopen_nmt_commands_e;

/* One object-dictionary entry. Integers use sub_index; arrays array_max_size; strings string_len. */
typedef struct {
    uint16_t main_index;
    union {
        uint8_t sub_index;
        uint8_t array_max_size;
    };
    canopen_object_type_e type;
    void *data_ptr;
    const void *def_ptr;
    uint16_t string_len;
    canopen_permissions_e permissions;
} canopen_object_st;

typedef struct {
    uint32_t vendor_id;
    uint32_t product_code;
    uint32_t revision_number;
} canopen_identity_object_st;

typedef struct {
    uint32_t data;
    uint16_t error_code;
    uint8_t node_id;
} canopen_emcy_msg_st;

/* PDO parameters: canopen/kr_canopen_pdo.h (through kr_memory.h). */

#ifdef __cplusplus
}
#endif

#endif
