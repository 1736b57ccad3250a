// The CANopen stack core: the own node's NMT state, heartbeat and EMCY, the object dictionary,
// the NMT master commands and the SDO frame plumbing shared by client and server.
#include "kr_canopen.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "kr_bytes.h"
#include "kr_memory.h"
#include "kr_rtos.h"
#include "canopen/kr_canopen_private.h"

_kr_canopen_st _canopen;

// The application's object table (obj_dict, obj_dict_len) has its empty default in its own unit.

namespace {

const uint32_t program_id = 1;

// The library task reads each slot once per frame without a lock, so a listener added or removed by
// another task never holds the frames up; the lock keeps two writers from taking one slot or adding
// one listener twice.
std::atomic<kr_canopen_can_callb_t> can_listeners[CONFIG_CANOPEN_CAN_LISTENERS];
std::mutex can_listeners_writer;

// Object 0x1F50 (program data) has no storage; 0x1F56 (program identification) reads 1.
canopen_object_st com_objects[] = {
    {0x1000, {0}, CANOPEN_UNSIGNED32, &_canopen.device_type, nullptr, 0, CANOPEN_RO},
    {CANOPEN_NODE_ID_INDEX, {0}, CANOPEN_UNSIGNED8, nullptr, nullptr, 0, CANOPEN_RW},
    {CANOPEN_STORE_PARAMS_INDEX, {1}, CANOPEN_ARRAY32, _canopen.store_req, nullptr, 0, CANOPEN_RW},
    {CANOPEN_RESTORE_PARAMS_INDEX, {3}, CANOPEN_ARRAY32, _canopen.restore_req, nullptr, 0, CANOPEN_RW},
    {CANOPEN_PROGRAM_DATA_INDEX, {1}, CANOPEN_ARRAY8, nullptr, nullptr, 0, CANOPEN_RW},
    {CANOPEN_PROGRAM_CONTROL_INDEX, {1}, CANOPEN_ARRAY8, &_canopen.prog_control, nullptr, 0, CANOPEN_RW},
    {CANOPEN_PROGRAM_ID_INDEX, {1}, CANOPEN_ARRAY32, const_cast<uint32_t *>(&program_id), nullptr, 0, CANOPEN_RO},
    {CANOPEN_HEARTBEAT_PRODUCER_INDEX, {0}, CANOPEN_UNSIGNED16, nullptr, nullptr, 0, CANOPEN_RW},
    {0x5FF7, {0}, CANOPEN_UNSIGNED32, nullptr, nullptr, 0, CANOPEN_RW},
    {CANOPEN_DEVICE_NAME_INDEX, {0}, CANOPEN_STRING, nullptr, nullptr, 0, CANOPEN_RO}, // the project name
    {CANOPEN_IDENTITY_INDEX, {3}, CANOPEN_ARRAY32, &_canopen.identity, nullptr, 0, CANOPEN_RO},
};
constexpr size_t com_object_count = sizeof(com_objects) / sizeof(com_objects[0]);

// The objects that point into the settings record are bound when the stack starts.
void bind_settings_objects()
{
    kr_data_start_t *nv = kr_memory_get_data_start();
    com_objects[1].data_ptr = &nv->id;
    com_objects[7].data_ptr = &nv->canopen.producer_heartbeat_time_ms;
    com_objects[8].data_ptr = &nv->can_baudrate;
    const char *name = kr_memory_get_project_name();
    com_objects[9].data_ptr = const_cast<char *>(name);
    com_objects[9].string_len = (uint16_t)(std::strlen(name) + 1);
}

bool object_accepts(const canopen_object_st &obj, uint8_t sub)
{
    if (obj.type & CANOPEN_ARRAY_MASK) return sub <= obj.array_max_size;
    if (obj.type & CANOPEN_STRING_MASK) return sub <= obj.string_len;
    return sub == obj.sub_index;
}

kr_errors_e send_frame(kr_can_message_st *msg, bool loop_back)
{
    kr_errors_e err = kr_can_send_flags(kr_can_get_dev(), msg, CAN_SEND_FLAGS_NORMAL);
    if (loop_back) kr_can_send_flags(kr_can_get_dev(), msg, CAN_SEND_FLAGS_LOCAL | CAN_SEND_FLAGS_NO_TX_CALLB);
    return err;
}

kr_can_message_st std_frame(uint32_t id, uint8_t len)
{
    kr_can_message_st msg;
    std::memset(&msg, 0, sizeof(msg));
    msg.id = id;
    msg.data_length = len;
    msg.type = CAN_STD;
    return msg;
}

void nmt_rx(const kr_can_message_st *msg)
{
    // Only standard frames: an extended frame with identifier 0 is not NMT.
    if (msg->type != CAN_STD || msg->id != CANOPEN_NMT_ID || msg->data_length < 2) return;
    if (msg->data[1] != _canopen.current_node_id && msg->data[1] != 0) return;
    switch (msg->data[0]) {
    case CANOPEN_NMT_CMD_START_NODE: _canopen.state = CANOPEN_OPERATIONAL; break;
    case CANOPEN_NMT_CMD_STOP_NODE: _canopen.state = CANOPEN_STOPPED; break;
    case CANOPEN_NMT_CMD_SET_PREOPERATIONAL: _canopen.state = CANOPEN_PREOPERATIONAL; break;
    case CANOPEN_NMT_CMD_RESET_NODE:
    case CANOPEN_NMT_CMD_RESET_COM:
        // The run ends here: say why, whatever silent says, or status 1 comes without a word.
        fprintf(stderr, "The tool's own CANopen node 0x%x got an NMT reset %s command %s; ending the run.\n",
                (unsigned)_canopen.current_node_id,
                msg->data[0] == CANOPEN_NMT_CMD_RESET_NODE ? "node" : "communication",
                msg->data[1] == 0 ? "for all nodes" : "for its node id");
        fflush(stderr);
        kr_system_reset();
        break;
    default: break;
    }
}

void emcy_rx(const kr_can_message_st *msg)
{
    // 0x80 itself is SYNC; an EMCY comes from a node (1..127) and always carries 8 bytes.
    if (msg->type != CAN_STD || msg->data_length != 8) return;
    if ((msg->id & ~CANOPEN_NODE_ID_MASK) != CANOPEN_EMCY_ID || (msg->id & CANOPEN_NODE_ID_MASK) == 0) return;
    canopen_emcy_msg_st emcy;
    emcy.node_id = (uint8_t)(msg->id & CANOPEN_NODE_ID_MASK);
    emcy.error_code = (uint16_t)(msg->data[6] | (msg->data[7] << 8));
    emcy.data = kr_get_le32(msg->data);
    kr_ring_buffer_push(&_canopen.emcy_rx, &emcy); // a full ring loses the new EMCY
}

void sdo_rx(const kr_can_message_st *msg)
{
    sdo_request_type_e type = _canopen_sdo_get_request_type(msg);
    if (type == INVALID_MSG) return;
    uint32_t base = msg->id & ~CANOPEN_NODE_ID_MASK;
#if CONFIG_CANOPEN_SDO_SERVER
    if (msg->id == CANOPEN_SDO_REQUEST_ID + _canopen.current_node_id) {
        _kr_canopen_sdo_server_rx(msg, type);
        return;
    }
#endif
    // Requests (to our own node or to others) are not for the client; the server is not built.
    // An abort on the request base comes from some client to its server, so it is not ours either,
    // but it tells the client that another one shares the channel. Requests for our own id may be
    // our own, looped back.
    if (base == CANOPEN_SDO_REQUEST_ID) {
        uint8_t node = (uint8_t)(msg->id & CANOPEN_NODE_ID_MASK);
        if (node != _canopen.current_node_id) _kr_canopen_sdo_client_rx_request(node);
        return;
    }
    if (base != CANOPEN_SDO_RESPONSE_ID) return;
    _kr_canopen_sdo_client_rx(msg, type, (uint8_t)(msg->id & CANOPEN_NODE_ID_MASK));
}

void pending_requests()
{
    static const memory_scope_e restore_scopes[3] = {MEMORY_ALL_PARAMS, MEMORY_COM_PARAMS, MEMORY_APP_PARAMS};
    for (int i = 0; i < 3; i++) {
        if (_canopen.restore_req[i] == CANOPEN_SIGNATURE_LOAD) {
            _canopen.restore_req[i] = 1;
            kr_memory_clear(restore_scopes[i]);
            break;
        }
    }
    if (_canopen.store_req[0] == CANOPEN_SIGNATURE_SAVE || _canopen.store_req[0] == CANOPEN_SIGNATURE_SAVE_SWAPPED) {
        _canopen.store_req[0] = 1;
        kr_memory_save();
    }
    if (_canopen.prog_control == 2) kr_system_reset();
}

} // namespace

void _kr_canopen_reset(void)
{
    kr_data_start_t *nv = kr_memory_get_data_start();
    nv->id = CONFIG_CANOPEN_DEFAULT_NODE_ID;
    nv->canopen.producer_heartbeat_time_ms = CONFIG_CANOPEN_DEFAULT_HEARTBEAT_MS;
    _kr_canopen_sdo_client_reset();
#if CONFIG_CANOPEN_SDO_SERVER
    _kr_canopen_sdo_server_reset();
#endif
}

kr_errors_e _kr_canopen_init(uint8_t nodeid)
{
    bind_settings_objects();
    kr_data_start_t *nv = kr_memory_get_data_start();
    if (nodeid != 0) {
        _canopen.current_node_id = nodeid;
        _canopen.forced_node_id = nodeid;
    } else {
        int8_t id = (int8_t)nv->id;
        _canopen.current_node_id = id < 0 ? CANOPEN_NODE_ID_MAX : (uint8_t)id;
        _canopen.forced_node_id = 0;
    }
    _canopen.can_callback = nullptr;
    {
        std::lock_guard<std::mutex> hold(can_listeners_writer);
        for (auto &slot : can_listeners) slot.store(nullptr);
    }
    _canopen.device_type = 0x55;
    _canopen.identity.vendor_id = CANOPEN_KORVANE_VENDOR_ID;
    _canopen.identity.product_code = 0;
    _canopen.identity.revision_number = 0;
    _canopen.store_req[0] = 1;
    for (uint32_t &w : _canopen.restore_req) w = 1;

    _canopen.state = CANOPEN_BOOT_UP;
    _canopen.heartbeat_time = nv->canopen.producer_heartbeat_time_ms;
    _kr_canopen_sdo_client_init();
#if CONFIG_CANOPEN_SDO_SERVER
    _kr_canopen_sdo_server_init();
#endif
    kr_ring_buffer_init(&_canopen.emcy_rx, _canopen.emcy_rx_buffer, CONFIG_CANOPEN_EMCY_RX_BUFFER_SIZE,
                        sizeof(canopen_emcy_msg_st));
    _canopen.emcy_inihbit_delay = CONFIG_CANOPEN_EMCY_INHIBIT_TIME_MS;
    _canopen.emcy_callb = nullptr;
    _canopen.emcy_suppressed = 0;

    // Receive filters: NMT, SDO requests to us, EMCY from any node (no-ops on this platform).
    kr_can_config_rx_message(kr_can_get_dev(), CANOPEN_NMT_ID, 0x7FF, CAN_STD);
    kr_can_config_rx_message(kr_can_get_dev(), CANOPEN_SDO_REQUEST_ID + _canopen.current_node_id, 0x7FF, CAN_STD);
    kr_can_config_rx_message(kr_can_get_dev(), CANOPEN_EMCY_ID, 0x780, CAN_STD);

    _canopen.prog_control = 1;
    return ERR_NONE;
}

void _kr_canopen_step(uint32_t step_ms)
{
    bool stopped = _canopen.state == CANOPEN_STOPPED;
    if (!stopped && kr_delay(&_canopen.heartbeat_time, step_ms))
        _canopen.heartbeat_time = kr_memory_get_data_start()->canopen.producer_heartbeat_time_ms;
    // The client's time-out runs also while stopped: a transfer must end, not wait for ever.
    _kr_canopen_sdo_client_step(step_ms);
    if (!stopped) {
#if CONFIG_CANOPEN_SDO_SERVER
        _kr_canopen_sdo_server_step(step_ms);
#endif
        kr_delay(&_canopen.emcy_inihbit_delay, step_ms);
    }

    _kr_canopen_receive();
    pending_requests();
}

void _kr_canopen_receive(void)
{
    kr_can_message_st msg;
    while (kr_can_pop_message(kr_can_get_dev(), &msg) == ERR_NONE) {
        nmt_rx(&msg);
        if (_canopen.state != CANOPEN_STOPPED) {
            sdo_rx(&msg);
            emcy_rx(&msg);
            for (auto &slot : can_listeners) {
                kr_canopen_can_callb_t listener = slot.load();
                if (listener) listener(__kr_get_user_ptr(), &msg);
            }
            kr_canopen_can_callb_t cb = _canopen.can_callback;
            if (cb) cb(__kr_get_user_ptr(), &msg);
        }
    }
}

bool _kr_canopen_awaits_answer(void)
{
    if (_canopen.state == CANOPEN_STOPPED) return false;
#if CONFIG_CANOPEN_SDO_SERVER
    if (_kr_canopen_sdo_server_awaits_block_answer()) return true;
#endif
    return _kr_canopen_sdo_client_awaits_answer();
}

void kr_canopen_set_can_callback(kr_canopen_can_callb_t callb) { _canopen.can_callback = callb; }

kr_errors_e kr_canopen_add_can_listener(kr_canopen_can_callb_t callb)
{
    if (!callb) return ERR_UNSUPPORTED_PARAM1_VALUE;
    std::lock_guard<std::mutex> hold(can_listeners_writer);
    std::atomic<kr_canopen_can_callb_t> *free_slot = nullptr;
    for (auto &slot : can_listeners) {
        kr_canopen_can_callb_t in = slot.load();
        if (in == callb) return ERR_NONE;
        if (!in && !free_slot) free_slot = &slot;
    }
    if (!free_slot) return ERR_BUFFER_OVERFLOW;
    free_slot->store(callb);
    return ERR_NONE;
}

void kr_canopen_remove_can_listener(kr_canopen_can_callb_t callb)
{
    if (!callb) return;
    std::lock_guard<std::mutex> hold(can_listeners_writer);
    for (auto &slot : can_listeners)
        if (slot.load() == callb) slot.store(nullptr);
}

canopen_node_states_e kr_canopen_get_state(void) { return _canopen.state; }

uint8_t kr_canopen_get_nodeid(void) { return _canopen.current_node_id; }

void kr_canopen_set_state(canopen_node_states_e state)
{
    if (_canopen.state == CANOPEN_BOOT_UP && state == CANOPEN_PREOPERATIONAL) {
        kr_can_message_st msg = std_frame(CANOPEN_HEARTBEAT_ID + _canopen.current_node_id, 1);
        msg.data[0] = CANOPEN_BOOT_UP;
        send_frame(&msg, false);
    }
    _canopen.state = state;
}

kr_errors_e kr_canopen_nmt_master_send_cmd(uint8_t nodeid, canopen_nmt_commands_e command)
{
    kr_can_message_st msg = std_frame(CANOPEN_NMT_ID, 2);
    msg.data[0] = (uint8_t)command;
    msg.data[1] = nodeid;
    // A real controller does not hear its own frames: loop a command for our own id back to us.
    return send_frame(&msg, nodeid == _canopen.current_node_id);
}

kr_errors_e kr_canopen_command(uint8_t nodeid, canopen_nmt_commands_e cmd)
{
    kr_can_message_st msg = std_frame(CANOPEN_NMT_ID, 2);
    msg.data[0] = (uint8_t)cmd;
    msg.data[1] = nodeid;
    return send_frame(&msg, false);
}

uint8_t kr_canopen_sdo_read8(uint8_t node_id, uint16_t mindex, uint8_t sindex)
{
    uint8_t v[1] = {0};
    if (_kr_canopen_sdo_client_read(node_id, mindex, sindex, sizeof(v), v) != ERR_NONE) return 0;
    return v[0];
}

uint16_t kr_canopen_sdo_read16(uint8_t node_id, uint16_t mindex, uint8_t sindex)
{
    uint8_t v[2] = {0, 0};
    if (_kr_canopen_sdo_client_read(node_id, mindex, sindex, sizeof(v), v) != ERR_NONE) return 0;
    return (uint16_t)(v[0] | (v[1] << 8));
}

uint32_t kr_canopen_sdo_read32(uint8_t node_id, uint16_t mindex, uint8_t sindex)
{
    uint8_t v[4] = {0, 0, 0, 0};
    if (_kr_canopen_sdo_client_read(node_id, mindex, sindex, sizeof(v), v) != ERR_NONE) return 0;
    return kr_get_le32(v);
}

kr_errors_e kr_canopen_sdo_write8(uint8_t node_id, uint16_t mindex, uint8_t sindex, uint8_t data)
{
    return _kr_canopen_sdo_client_write(node_id, mindex, sindex, 1, &data);
}

kr_errors_e kr_canopen_sdo_write16(uint8_t node_id, uint16_t mindex, uint8_t sindex, uint16_t data)
{
    uint8_t v[2] = {(uint8_t)data, (uint8_t)(data >> 8)};
    return _kr_canopen_sdo_client_write(node_id, mindex, sindex, 2, v);
}

kr_errors_e kr_canopen_sdo_write32(uint8_t node_id, uint16_t mindex, uint8_t sindex, uint32_t data)
{
    uint8_t v[4];
    kr_put_le32(v, data);
    return _kr_canopen_sdo_client_write(node_id, mindex, sindex, 4, v);
}

static uint8_t scope_subindex(memory_scope_e scope)
{
    if (scope == MEMORY_COM_PARAMS) return 2;
    if (scope == MEMORY_APP_PARAMS) return 3;
    return 1;
}

kr_errors_e kr_canopen_sdo_store_params(uint8_t node_id, memory_scope_e scope)
{
    return _kr_canopen_sdo_client_write(node_id, CANOPEN_STORE_PARAMS_INDEX, scope_subindex(scope), 4, "save");
}

kr_errors_e kr_canopen_sdo_restore_params(uint8_t node_id, memory_scope_e scope)
{
    return _kr_canopen_sdo_client_write(node_id, CANOPEN_RESTORE_PARAMS_INDEX, scope_subindex(scope), 4, "load");
}

kr_errors_e kr_canopen_emcy_send(uint16_t err_code, uint32_t data)
{
    if (_canopen.state == CANOPEN_STOPPED) return ERR_CANOPEN_STACK_IN_STOPPED_STATE;
    if (_canopen.emcy_suppressed || _canopen.emcy_inihbit_delay > 0) return ERR_SKIPPED;
    kr_can_message_st msg = std_frame(CANOPEN_EMCY_ID + _canopen.current_node_id, 8);
    kr_put_le32(msg.data, data);
    msg.data[6] = (uint8_t)err_code;
    msg.data[7] = (uint8_t)(err_code >> 8);
    kr_errors_e err = send_frame(&msg, true);
    if (_canopen.emcy_callb) _canopen.emcy_callb(err_code, data);
    _canopen.emcy_inihbit_delay = CONFIG_CANOPEN_EMCY_INHIBIT_TIME_MS;
    return err;
}

kr_errors_e kr_canopen_emcy_get(canopen_emcy_msg_st *dest)
{
    if (kr_ring_buffer_pop(&_canopen.emcy_rx, dest) != ERR_NONE) return ERR_BUFFER_EMPTY;
    return ERR_NONE;
}

void kr_canopen_emcy_set_callback(kr_canopen_emcy_callb_t callb) { _canopen.emcy_callb = callb; }

void kr_canopen_emcy_suppress(bool suppress) { _canopen.emcy_suppressed = suppress ? 1 : 0; }

bool kr_canopen_is_pdo(uint32_t id)
{
    uint32_t base = id & ~CANOPEN_NODE_ID_MASK;
    return base >= CANOPEN_TXPDO1_ID && base < CANOPEN_SDO_RESPONSE_ID;
}

void kr_canopen_set_our_nodeid(uint8_t nodeid)
{
    if (_canopen.forced_node_id != 0 && nodeid != _canopen.forced_node_id) {
        printf("\n*** CANopen node id collision on node id 0x%x ***\n"
               "Another device on the bus transmits with our node id, and moving to node id 0x%x\n"
               "is not possible: this node id was forced with the -n command line option and\n"
               "would be restored on the next boot, so the collision would repeat forever.\n"
               "Check that no two devices of the system are configured with the same node id.\n",
               _canopen.forced_node_id, nodeid);
        fflush(stdout);
        vAssertCalled(__FILE__, __LINE__);
        return;
    }
    if ((int8_t)nodeid > 0) kr_memory_get_data_start()->id = nodeid;
}

const canopen_object_st *_kr_canopen_obj_dict_get(uint16_t main_index, uint8_t subindex)
{
    if (main_index < 0x2000 || main_index > 0x4FFF) {
        for (size_t i = 0; i < com_object_count; i++)
            if (com_objects[i].main_index == main_index && object_accepts(com_objects[i], subindex))
                return &com_objects[i];
        return nullptr;
    }
    uint32_t n = obj_dict_len();
    for (uint32_t i = 0; i < n; i++)
        if (obj_dict[i].main_index == main_index && object_accepts(obj_dict[i], subindex)) return &obj_dict[i];
    return nullptr;
}

sdo_request_type_e _canopen_sdo_get_request_type(const kr_can_message_st *msg)
{
    if (msg->type != CAN_STD || msg->data_length != 8) return INVALID_MSG;
    uint32_t base = msg->id & ~CANOPEN_NODE_ID_MASK;
    if (base != CANOPEN_SDO_REQUEST_ID && base != CANOPEN_SDO_RESPONSE_ID) return INVALID_MSG;
    uint8_t b = msg->data[0];
    if ((b & 0xE0) == 0x20) return 0x20;
    if ((b & 0xE0) == 0x60) return 0x60;
    if (b < 0x20) return 0x00;
    if (b >= 0x40 && b <= 0x5F) return 0x40;
    if (b == 0x80) return ABORT_DOMAIN_TRANSFER;
    if ((b & 0xE1) == 0xC0) return 0xC0;
    uint8_t a = b & 0xE3;
    if (a == 0xA2 || a == 0xA3 || a == 0xA0) return a;
    if ((b & 0xE1) == 0xC1) return 0xC1;
    if ((b & 0xE1) == 0xA1) return 0xA1;
    return UNKNOWN_SDO_MSG;
}

kr_errors_e _kr_canopen_sdo_send(kr_can_message_st *msg)
{
    return send_frame(msg, (msg->id & CANOPEN_NODE_ID_MASK) == _canopen.current_node_id);
}

kr_errors_e _kr_canopen_sdo_abort(uint32_t request_response, uint16_t main_index, uint8_t sub_index, uint32_t err_code)
{
    kr_can_message_st msg = std_frame(request_response + _canopen.current_node_id, 8);
    msg.data[0] = 0x80;
    msg.data[1] = (uint8_t)main_index;
    msg.data[2] = (uint8_t)(main_index >> 8);
    msg.data[3] = sub_index;
    kr_put_le32(&msg.data[4], err_code);
    return _kr_canopen_sdo_send(&msg);
}
