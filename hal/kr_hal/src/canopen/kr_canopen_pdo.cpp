// PDOs. This build configures none, so the accessors find nothing; the mapping walk is kept for
// builds that map objects into PDOs.
#include <cstring>

#include "kr_canopen.h"

canopen_pdo_com_parameter_st *kr_canopen_rxpdo_get_com(uint8_t) { return nullptr; }
canopen_pdo_com_parameter_st *kr_canopen_txpdo_get_com(uint8_t) { return nullptr; }
canopen_pdo_mapping_parameter_st *kr_canopen_rxpdo_get_mapping(uint8_t) { return nullptr; }
canopen_pdo_mapping_parameter_st *kr_canopen_txpdo_get_mapping(uint8_t) { return nullptr; }
uint32_t kr_canopen_rxpdo_get_receive_timer_ms(uint8_t) { return 0; }
bool kr_canopen_rxpdo_is_received(uint8_t) { return false; }
void kr_canopen_rxpdo_set_received(uint8_t, bool) {}
kr_errors_e kr_canopen_pdo_mapping_update(void) { return ERR_NONE; }
kr_errors_e kr_canopen_pdo_cobid_update(void) { return ERR_NONE; }

static uint32_t object_size(const canopen_object_st *obj)
{
    if (obj->type & CANOPEN_ARRAY_MASK) return (uint32_t)obj->array_max_size * CANOPEN_TYPE_LEN(obj->type);
    if (obj->type & CANOPEN_STRING_MASK) return obj->string_len;
    return CANOPEN_TYPE_LEN(obj->type);
}

void _kr_canopen_pdo_mapping_ptr_conf(const canopen_pdo_mapping_parameter_st *mapping_param, uint8_t **ptr_bfr,
                                      canopen_permissions_e permissions)
{
    for (int i = 0; i < 8; i++) ptr_bfr[i] = nullptr;
    uint32_t pos = 0;
    for (int m = 0; m < CONFIG_CANOPEN_PDO_MAPPING_COUNT && pos < 8; m++) {
        const canopen_pdo_mapping_st *map = &mapping_param->mappings[m];
        if (map->length == 0) break;
        const canopen_object_st *obj = _kr_canopen_obj_dict_get(map->main_index, map->sub_index);
        if (obj && obj->data_ptr && (obj->permissions & permissions)) {
            uint8_t *base = (uint8_t *)obj->data_ptr;
            uint32_t start;
            if (obj->type & CANOPEN_ARRAY_MASK)
                start = map->sub_index == 0 ? 0 : (uint32_t)(map->sub_index - 1) * CANOPEN_TYPE_LEN(obj->type);
            else if (obj->type & CANOPEN_STRING_MASK)
                start = map->sub_index == 0 ? 0 : (uint32_t)(map->sub_index - 1);
            else
                start = 0;
            if (start + map->length <= object_size(obj)) {
                for (uint32_t b = 0; b < map->length && pos + b < 8; b++) ptr_bfr[pos + b] = base + start + b;
            }
        }
        pos += map->length;
    }
}
