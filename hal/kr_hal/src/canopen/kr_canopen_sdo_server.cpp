// The SDO server: expedited, segmented and block transfers of the own object dictionary. Runs in
// the library task; frames come one at a time from the stack's receive. In a block download byte 0
// is a sequence byte whatever it looks like, so frames are read by the state, not by the classifier.
// Every write is bounded by the object's storage in 32-bit arithmetic, and a block is written only
// once it is acknowledged.
#include <cstdio>
#include <cstring>
#include <vector>

#include "kr_bytes.h"
#include "kr_canopen.h"
#include "kr_memory.h"
#include "kr_rtos.h"
#include "canopen/kr_canopen_private.h"

namespace {

bool is_array(const canopen_object_st *obj) { return (obj->type & CANOPEN_ARRAY_MASK) != 0; }
bool is_string(const canopen_object_st *obj) { return !is_array(obj) && (obj->type & CANOPEN_STRING_MASK) != 0; }
uint32_t element_size(const canopen_object_st *obj) { return CANOPEN_TYPE_LEN(obj->type); }

// Where a transfer starts in the storage: a string's sub-index is a byte offset, an array's the
// element from 1. Sub-index 0 of an array has no storage position.
uint32_t start_offset(const canopen_object_st *obj, uint8_t sub)
{
    if (is_array(obj)) return sub ? (uint32_t)(sub - 1) * element_size(obj) : 0;
    if (is_string(obj)) return sub;
    return 0;
}

// Writes n bytes at `at` when they fit the storage; an object without storage takes and drops them.
bool store(const canopen_object_st *obj, uint32_t at, const uint8_t *src, uint32_t n)
{
    uint32_t size = _canopen_object_size(obj);
    if (at > size || n > size - at) return false;
    if (obj->data_ptr && n) std::memcpy((uint8_t *)obj->data_ptr + at, src, n);
    return true;
}

} // namespace

extern "C" {

uint32_t _canopen_object_size(const canopen_object_st *obj)
{
    if (is_array(obj)) return (uint32_t)obj->array_max_size * element_size(obj);
    if (is_string(obj)) return obj->string_len;
    return element_size(obj);
}

uint8_t _canopen_copy_data(kr_can_message_st *reply, const canopen_object_st *obj, uint8_t sub)
{
    std::memset(&reply->data[4], 0, 4);
    if (is_array(obj) && sub == 0) {
        reply->data[4] = obj->array_max_size;
        return 1;
    }
    uint32_t n = element_size(obj);
    if (n > 4) n = 4;
    if (is_string(obj)) n = obj->string_len < 4 ? obj->string_len : 4;
    const uint8_t *src = (const uint8_t *)obj->data_ptr;
    if (src) std::memcpy(&reply->data[4], src + start_offset(obj, sub), n);
    return (uint8_t)n;
}

// The room an expedited write has at sub: 0 where it has none.
static uint32_t write_room(const canopen_object_st *obj, uint8_t sub)
{
    if (is_array(obj)) return sub == 0 || sub > obj->array_max_size ? 0 : element_size(obj);
    if (is_string(obj)) return sub >= obj->string_len ? 0 : obj->string_len - sub;
    return element_size(obj);
}

// An integer or an array element: a value that is whole or not written at all.
static bool is_number_at(const canopen_object_st *obj, uint8_t sub)
{
    return !is_string(obj) && (!is_array(obj) || (sub != 0 && sub <= obj->array_max_size));
}

kr_sdo_error_codes_e _canopen_number_size_check(const canopen_object_st *obj, uint8_t sub, uint32_t n)
{
    if (!is_number_at(obj, sub)) return CANOPEN_SDO_ERROR_NONE;
    uint32_t size = element_size(obj);
    if (n < size) return CANOPEN_SDO_ERROR_DATA_LENGTH_TOO_LOW;
    if (n > size) return CANOPEN_SDO_ERROR_DATA_LENGTH_TOO_HIGH;
    return CANOPEN_SDO_ERROR_NONE;
}

kr_sdo_error_codes_e _canopen_write_fits(const canopen_object_st *obj, const kr_can_message_st *request, uint8_t sub)
{
    uint8_t b = request->data[0];
    uint32_t room = write_room(obj, sub);
    if (room == 0) return CANOPEN_SDO_ERROR_NONE; // no place to write to at all: _canopen_write_data refuses it
    uint32_t n = (b & 0x01) ? 4u - ((b >> 2) & 3u) : 4u;
    // A given size must be the number's own: a shorter one would keep the old high bytes.
    if (b & 0x01)
        if (kr_sdo_error_codes_e code = _canopen_number_size_check(obj, sub, n)) return code;
    // A byte beyond the object (without a size all 4 are the value) that is not zero would be lost.
    for (uint32_t i = room; i < n; i++)
        if (request->data[4 + i] != 0) return CANOPEN_SDO_ERROR_DATA_LENGTH_TOO_HIGH;
    return CANOPEN_SDO_ERROR_NONE;
}

bool _canopen_write_data(const canopen_object_st *obj, const kr_can_message_st *request, uint8_t sub)
{
    uint8_t b = request->data[0];
    uint32_t n = (b & 0x01) ? 4u - ((b >> 2) & 3u) : 4u;
    if ((is_array(obj) || is_string(obj)) && write_room(obj, sub) == 0) return false;
    uint32_t room = write_room(obj, sub);
    // The bytes beyond the object are zero (_canopen_write_fits); they never spill into the neighbours.
    if (n > room) n = room;
    if (n > 4) n = 4;
    return store(obj, start_offset(obj, sub), &request->data[4], n);
}

} // extern "C"

#if CONFIG_CANOPEN_SDO_SERVER

#define S (_canopen.sdo.server)

namespace {

kr_can_message_st reply(uint8_t cmd)
{
    kr_can_message_st msg;
    std::memset(&msg, 0, sizeof(msg));
    msg.id = CANOPEN_SDO_RESPONSE_ID + _canopen.current_node_id;
    msg.data_length = 8;
    msg.type = CAN_STD;
    msg.data[0] = cmd;
    msg.data[1] = (uint8_t)S.mindex;
    msg.data[2] = (uint8_t)(S.mindex >> 8);
    msg.data[3] = S.sindex;
    return msg;
}

void send(kr_can_message_st *msg) { _kr_canopen_sdo_send(msg); }

void fail(kr_sdo_error_codes_e code) { sdo_server_abort(S.mindex, S.sindex, code); }

void finish()
{
    S.state = CANOPEN_SDO_STATE_READY;
    S.delay = -1;
}

void call(kr_canopen_sdo_server_callb_t cb)
{
    if (cb) cb(S.mindex, S.sindex);
}

// The length of a string's text within its storage, from `from` on.
uint32_t text_left(const canopen_object_st *obj, uint32_t from)
{
    if (!obj->data_ptr || from >= obj->string_len) return 0;
    const uint8_t *p = (const uint8_t *)obj->data_ptr;
    uint32_t n = 0;
    while (from + n < obj->string_len && p[from + n]) n++;
    return n;
}

// The object's value before a block download, put back when the download's CRC refuses it.
std::vector<uint8_t> &block_old_value()
{
    static std::vector<uint8_t> old;
    return old;
}

// The node id object takes 1..127 only, however it is written.
kr_sdo_error_codes_e node_id_refusal(uint8_t value)
{
    if (S.mindex != CANOPEN_NODE_ID_INDEX) return CANOPEN_SDO_ERROR_NONE;
    if (value == 0) return CANOPEN_SDO_ERROR_VALUE_OF_PARAMETER_TOO_LOW;
    if (value > CANOPEN_NODE_ID_MAX) return CANOPEN_SDO_ERROR_VALUE_OF_PARAMETER_TOO_HIGH;
    return CANOPEN_SDO_ERROR_NONE;
}

void initiate_download(const kr_can_message_st *msg)
{
    const canopen_object_st *obj = _canopen_find_object(msg, CANOPEN_PERMISSION_WRITE);
    if (!obj) return;
    uint8_t b = msg->data[0];
    if (b & 0x02) {
        if (kr_sdo_error_codes_e code = node_id_refusal(msg->data[4])) return fail(code);
        if (kr_sdo_error_codes_e code = _canopen_write_fits(obj, msg, S.sindex)) return fail(code);
        if (!_canopen_write_data(obj, msg, S.sindex)) return fail(CANOPEN_SDO_ERROR_UNSUPPORTED_ACCESS_TO_OBJECT);
        kr_can_message_st r = reply(0x60);
        std::memcpy(&r.data[4], &msg->data[4], 4);
        send(&r);
        call(S.write_callb);
        return;
    }
    // An array's sub-index 0 is its size, not a place to write to.
    if (is_array(obj) && S.sindex == 0) return fail(CANOPEN_SDO_ERROR_UNSUPPORTED_ACCESS_TO_OBJECT);
    if (b & 0x01)
        if (kr_sdo_error_codes_e code = _canopen_number_size_check(obj, S.sindex, kr_get_le32(&msg->data[4])))
            return fail(code);
    S.obj = obj;
    S.data_index = start_offset(obj, S.sindex);
    S.number = is_number_at(obj, S.sindex);
    S.new_data = 0;
    S.state = CANOPEN_SDO_STATE_SEGMENTED_DOWNLOAD;
    S.delay = CONFIG_CANOPEN_SDO_TIMEOUT_MS;
    kr_can_message_st r = reply(0x60);
    send(&r);
}

void initiate_upload(const kr_can_message_st *msg)
{
    const canopen_object_st *obj = _canopen_find_object(msg, CANOPEN_PERMISSION_READ);
    if (!obj) return;
    if (!is_string(obj) && (!is_array(obj) || S.sindex == 0)) {
        call(S.read_callb);
        kr_can_message_st r = reply(0);
        uint8_t n = _canopen_copy_data(&r, obj, S.sindex);
        r.data[0] = (uint8_t)(0x43 | ((4 - n) << 2));
        send(&r);
        return;
    }
    S.obj = obj;
    S.data_index = start_offset(obj, S.sindex);
    // A string gives its text from the sub-index on (nothing when that lies past it); an array
    // element gives that element.
    uint32_t size = is_string(obj) ? text_left(obj, S.data_index) : element_size(obj);
    S.data_count = S.data_index + size;
    S.state = CANOPEN_SDO_STATE_SEGMENTED_UPLOAD;
    S.delay = CONFIG_CANOPEN_SDO_TIMEOUT_MS;
    kr_can_message_st r = reply(0x41);
    kr_put_le32(&r.data[4], size);
    send(&r);
}

void initiate_block_download(const kr_can_message_st *msg)
{
    const canopen_object_st *obj = _canopen_find_object(msg, CANOPEN_PERMISSION_WRITE);
    if (!obj) return;
    if (!is_string(obj) || !obj->data_ptr) return fail(CANOPEN_SDO_ERROR_UNSUPPORTED_ACCESS_TO_OBJECT);
    // An announced size the storage cannot hold is refused before any of it is written.
    if ((msg->data[0] & 0x02) && kr_get_le32(&msg->data[4]) > obj->string_len)
        return fail(CANOPEN_SDO_ERROR_OUT_OF_MEMORY);
    S.obj = obj;
    S.data_index = 0;
    S.data_count = obj->string_len;
    S.crc_enabled = (msg->data[0] & 0x04) != 0;
    if (S.crc_enabled) {
        const uint8_t *p = (const uint8_t *)obj->data_ptr;
        block_old_value().assign(p, p + obj->string_len);
    }
    S.seq = 0;
    S.new_data = 0;
    S.end_expected = false;
    S.state = CANOPEN_SDO_STATE_BLOCK_DOWNLOAD;
    S.delay = CONFIG_CANOPEN_SDO_TIMEOUT_MS;
    kr_can_message_st r = reply(0xA4);
    r.data[4] = CANOPEN_SDO_SERVER_BLKSIZE;
    send(&r);
}

bool valid_blksize(uint8_t n) { return n >= 1 && n <= CANOPEN_SDO_SERVER_MAX_BLKSIZE; }

void initiate_block_upload(const kr_can_message_st *msg)
{
    const canopen_object_st *obj = _canopen_find_object(msg, CANOPEN_PERMISSION_READ);
    if (!obj) return;
    if (!is_string(obj) || !obj->data_ptr) return fail(CANOPEN_SDO_ERROR_UNSUPPORTED_ACCESS_TO_OBJECT);
    if (!valid_blksize(msg->data[4])) return fail(CANOPEN_SDO_ERROR_INVALID_BLOCK_SIZE);
    S.obj = obj;
    S.data_index = 0;
    S.data_count = text_left(obj, 0);
    S.crc_enabled = (msg->data[0] & 0x04) != 0;
    S.client_blksize = msg->data[4];
    S.state = CANOPEN_SDO_STATE_BLOCK_UPLOAD_WFR;
    S.delay = CONFIG_CANOPEN_SDO_TIMEOUT_MS;
    kr_can_message_st r = reply(0xC6);
    kr_put_le32(&r.data[4], S.data_count);
    send(&r);
}

void upload_segment(const kr_can_message_st *msg)
{
    if (((msg->data[0] >> 4) & 1) != S.seq) return fail(CANOPEN_SDO_ERROR_SDO_TOGGLE_BIT_NOT_ALTERED);
    uint32_t left = S.data_count - S.data_index;
    uint32_t n = left < 7 ? left : 7;
    bool last = left <= 7;
    kr_can_message_st r = reply((uint8_t)(S.seq << 4));
    std::memset(&r.data[1], 0, 7);
    if (last) r.data[0] = (uint8_t)((S.seq << 4) | ((7 - n) << 1) | 1);
    if (S.obj->data_ptr) std::memcpy(&r.data[1], (const uint8_t *)S.obj->data_ptr + S.data_index, n);
    S.data_index += n;
    S.seq ^= 1;
    S.delay = CONFIG_CANOPEN_SDO_TIMEOUT_MS;
    if (last) finish();
    send(&r);
    if (last) call(S.read_callb);
}

// A number's segments are held until the last one: only a whole value is written.
bool hold_number_segment(const uint8_t *data, uint32_t n, bool last)
{
    uint32_t size = element_size(S.obj);
    if (S.new_data + n > size) {
        fail(CANOPEN_SDO_ERROR_DATA_LENGTH_TOO_HIGH);
        return false;
    }
    std::memcpy(S.data_buffer + S.new_data, data, n);
    S.new_data = (uint16_t)(S.new_data + n);
    if (!last) return true;
    if (S.new_data < size) {
        fail(CANOPEN_SDO_ERROR_DATA_LENGTH_TOO_LOW);
        return false;
    }
    if (kr_sdo_error_codes_e code = node_id_refusal(S.data_buffer[0])) {
        fail(code);
        return false;
    }
    store(S.obj, S.data_index, S.data_buffer, size);
    S.new_data = 0;
    return true;
}

void download_segment(const kr_can_message_st *msg)
{
    uint8_t b = msg->data[0];
    if (((b >> 4) & 1) != S.seq) return fail(CANOPEN_SDO_ERROR_SDO_TOGGLE_BIT_NOT_ALTERED);
    uint32_t n = 7u - ((b >> 1) & 7u);
    bool last = (b & 0x01) != 0;
    if (S.number) {
        if (!hold_number_segment(&msg->data[1], n, last)) return;
    } else {
        if (!store(S.obj, S.data_index, &msg->data[1], n)) return fail(CANOPEN_SDO_ERROR_OUT_OF_MEMORY);
        S.data_index += n;
    }
    kr_can_message_st r = reply((uint8_t)(0x20 | (S.seq << 4)));
    std::memset(&r.data[1], 0, 7);
    S.seq ^= 1;
    S.delay = CONFIG_CANOPEN_SDO_TIMEOUT_MS;
    if (last) finish();
    send(&r);
    if (last) call(S.write_callb);
}

// Writes the held bytes of an acknowledged block (all but `keep` of them stay held).
bool flush_block(uint32_t keep)
{
    uint32_t n = S.new_data - keep;
    if (!store(S.obj, S.data_index, S.data_buffer, n)) return false;
    S.data_index += n;
    std::memmove(S.data_buffer, S.data_buffer + n, keep);
    S.new_data = (uint16_t)keep;
    return true;
}

void block_download_segment(const kr_can_message_st *msg)
{
    uint8_t b = msg->data[0];
    uint8_t seq = b & 0x7F;
    bool last = (b & 0x80) != 0;
    // Out of sequence (skipped, repeated or past the block): nothing of it is written.
    if (seq != S.seq + 1 || seq > CANOPEN_SDO_SERVER_BLKSIZE) return fail(CANOPEN_SDO_ERROR_INVALID_SEQ_NUMBER);
    // The storage must hold every segment before it is even taken; the last one's unused bytes
    // are known only at the end, so it is checked then.
    if (!last && S.data_index + S.new_data + 7 > S.data_count) return fail(CANOPEN_SDO_ERROR_OUT_OF_MEMORY);
    std::memcpy(S.data_buffer + S.new_data, &msg->data[1], 7);
    S.new_data = (uint16_t)(S.new_data + 7);
    S.seq = seq;
    S.delay = CONFIG_CANOPEN_SDO_TIMEOUT_MS;
    if (!last && seq < CANOPEN_SDO_SERVER_BLKSIZE) return;
    // The block is complete: write it (the last segment stays held) and acknowledge it.
    if (!flush_block(last ? 7 : 0)) return fail(CANOPEN_SDO_ERROR_OUT_OF_MEMORY);
    kr_can_message_st r = reply(0xA2);
    r.data[1] = seq;
    r.data[2] = CANOPEN_SDO_SERVER_BLKSIZE;
    r.data[3] = 0;
    S.seq = 0;
    S.end_expected = last;
    send(&r);
}

void block_download_end(const kr_can_message_st *msg)
{
    uint8_t b = msg->data[0];
    uint32_t n = 7u - ((b >> 2) & 7u);
    if (S.new_data < n || !store(S.obj, S.data_index, S.data_buffer, n)) return fail(CANOPEN_SDO_ERROR_OUT_OF_MEMORY);
    S.data_index += n;
    S.new_data = 0;
    if (S.crc_enabled) {
        uint16_t crc = (uint16_t)(msg->data[1] | (msg->data[2] << 8));
        if (kr_memory_calc_crc(S.obj->data_ptr, S.data_index) != crc) {
            // Data that failed its check is no value: the old one stands.
            const std::vector<uint8_t> &old = block_old_value();
            std::memcpy(S.obj->data_ptr, old.data(), old.size() < S.obj->string_len ? old.size() : S.obj->string_len);
            return fail(CANOPEN_SDO_ERROR_CRC_ERROR);
        }
    }
    finish();
    kr_can_message_st r = reply(0xA1);
    std::memset(&r.data[1], 0, 7);
    send(&r);
    call(S.write_callb);
}

void send_upload_block()
{
    const uint8_t *src = (const uint8_t *)S.obj->data_ptr;
    S.seq = 0;
    for (uint8_t i = 0; i < S.client_blksize; i++) {
        uint32_t left = S.data_count - S.data_index;
        uint32_t n = left < 7 ? left : 7;
        bool last = left <= 7; // this segment carries the last data byte (or there is none)
        S.seq++;
        kr_can_message_st r = reply((uint8_t)(S.seq | (last ? 0x80 : 0)));
        std::memset(&r.data[1], 0, 7);
        std::memcpy(&r.data[1], src + S.data_index, n);
        S.data_index += n;
        send(&r);
        if (last) break;
    }
}

void block_upload_ack(const kr_can_message_st *msg)
{
    if (msg->data[1] != S.seq) return fail(CANOPEN_SDO_ERROR_INVALID_SEQ_NUMBER);
    S.delay = CONFIG_CANOPEN_SDO_TIMEOUT_MS;
    if (S.data_index < S.data_count) {
        if (!valid_blksize(msg->data[2])) return fail(CANOPEN_SDO_ERROR_INVALID_BLOCK_SIZE);
        S.client_blksize = msg->data[2];
        send_upload_block();
        return;
    }
    // The last segment's bytes without data: an empty upload's one segment carries none.
    uint32_t rest = S.data_count % 7;
    uint8_t u = rest ? (uint8_t)(7 - rest) : (S.data_count ? 0 : 7);
    kr_can_message_st r = reply((uint8_t)(0xC1 | (u << 2)));
    std::memset(&r.data[1], 0, 7);
    uint16_t crc = kr_memory_calc_crc(S.obj->data_ptr, S.data_count);
    r.data[1] = (uint8_t)crc;
    r.data[2] = (uint8_t)(crc >> 8);
    S.state = CANOPEN_SDO_STATE_BLOCK_END_UPLOAD;
    send(&r);
}

bool is_initiate(sdo_request_type_e type)
{
    return type == INITIATE_DOMAIN_DOWNLOAD || type == INITIATE_DOMAIN_UPLOAD || type == INITIATE_BLOCK_DOWNLOAD ||
           type == INITIATE_BLOCK_DOWNLOAD_REPLY;
}

bool in_block_segments() { return S.state == CANOPEN_SDO_STATE_BLOCK_DOWNLOAD && !S.end_expected; }

} // namespace

extern "C" {

const canopen_object_st *_canopen_find_object(const kr_can_message_st *request, canopen_permissions_e permission)
{
    uint16_t mindex = (uint16_t)(request->data[1] | (request->data[2] << 8));
    uint8_t sub = request->data[3];
    const canopen_object_st *obj = _kr_canopen_obj_dict_get(mindex, sub);
    if (!obj) {
        sdo_server_abort(mindex, sub, CANOPEN_SDO_ERROR_OBJECT_DOES_NOT_EXIST);
        return nullptr;
    }
    if (!(obj->permissions & permission)) {
        sdo_server_abort(mindex, sub,
                         permission == CANOPEN_PERMISSION_READ ? CANOPEN_SDO_ERROR_ATTEMPT_TO_READ_A_WRITE_ONLY_OBJECT
                                                               : CANOPEN_SDO_ERROR_ATTEMPT_TO_WRITE_A_READ_ONLY_OBJECT);
        return nullptr;
    }
    return obj;
}

void _kr_canopen_sdo_server_init(void)
{
    std::memset(&S, 0, sizeof(S));
    S.state = CANOPEN_SDO_STATE_READY;
    S.delay = -1;
}

void _kr_canopen_sdo_server_reset(void) {}

void _kr_canopen_sdo_server_add_write_callb(kr_canopen_sdo_server_callb_t callb) { S.write_callb = callb; }

void _kr_canopen_sdo_server_add_read_callb(kr_canopen_sdo_server_callb_t callb) { S.read_callb = callb; }

void sdo_server_abort(uint16_t mindex, uint8_t sindex, kr_sdo_error_codes_e code)
{
    _kr_canopen_sdo_abort(CANOPEN_SDO_RESPONSE_ID, mindex, sindex, code);
    S.delay = -1;
    S.state = CANOPEN_SDO_STATE_READY;
    S.new_data = 0;
}

void _kr_canopen_sdo_server_step(uint32_t step_ms)
{
    if (S.state <= CANOPEN_SDO_STATE_EXPEDITED_UPLOAD) return;
    if (kr_delay(&S.delay, step_ms)) fail(CANOPEN_SDO_ERROR_SDO_PROTOCOL_TIMED_OUT);
}

bool _kr_canopen_sdo_server_awaits_block_answer(void)
{
    return S.state == CANOPEN_SDO_STATE_BLOCK_UPLOAD_WFR || S.state == CANOPEN_SDO_STATE_BLOCK_UPLOAD ||
           S.state == CANOPEN_SDO_STATE_BLOCK_END_UPLOAD;
}

void _kr_canopen_sdo_server_rx(const kr_can_message_st *msg, sdo_request_type_e sdo_type)
{
    uint8_t b = msg->data[0];
    // Inside a download block every frame is a segment; 0x80 alone is the client's abort.
    if (in_block_segments() && b != 0x80) {
        block_download_segment(msg);
        return;
    }
    if (sdo_type == ABORT_DOMAIN_TRANSFER) {
        S.state = CANOPEN_SDO_STATE_READY;
        S.delay = -1;
        S.new_data = 0;
        return;
    }
    uint16_t mindex = (uint16_t)(msg->data[1] | (msg->data[2] << 8));
    if (is_initiate(sdo_type) && mindex == CANOPEN_PROGRAM_DATA_INDEX && msg->data[3] == 1) {
        // Program data goes to the bootloader, which on this platform is a restart.
        kr_system_reset();
        return;
    }
    if (S.state == CANOPEN_SDO_STATE_READY) {
        S.mindex = mindex;
        S.sindex = msg->data[3];
        S.data_index = 0;
        S.seq = 0;
        switch (sdo_type) {
        case INITIATE_DOMAIN_DOWNLOAD: initiate_download(msg); break;
        case INITIATE_DOMAIN_UPLOAD: initiate_upload(msg); break;
        case INITIATE_BLOCK_DOWNLOAD: initiate_block_download(msg); break;
        case INITIATE_BLOCK_DOWNLOAD_REPLY: initiate_block_upload(msg); break; // 0xA4 shares the pattern
        default: fail(CANOPEN_SDO_ERROR_UNSUPPORTED_ACCESS_TO_OBJECT); break;
        }
        return;
    }
    switch (S.state) {
    case CANOPEN_SDO_STATE_SEGMENTED_UPLOAD:
        if (sdo_type == INITIATE_DOMAIN_DOWNLOAD_REPLY) return upload_segment(msg);
        break;
    case CANOPEN_SDO_STATE_SEGMENTED_DOWNLOAD:
        if (sdo_type == DOWNLOAD_DOMAIN_SEGMENT) return download_segment(msg);
        break;
    case CANOPEN_SDO_STATE_BLOCK_DOWNLOAD: // the end, after the last acknowledgement
        if (sdo_type == END_BLOCK_DOWNLOAD) return block_download_end(msg);
        break;
    case CANOPEN_SDO_STATE_BLOCK_UPLOAD_WFR:
        if (sdo_type == INITIATE_BLOCK_UPLOAD_REPLY2) {
            S.state = CANOPEN_SDO_STATE_BLOCK_UPLOAD;
            S.delay = CONFIG_CANOPEN_SDO_TIMEOUT_MS;
            send_upload_block();
            return;
        }
        break;
    case CANOPEN_SDO_STATE_BLOCK_UPLOAD:
        if (sdo_type == DOWNLOAD_BLOCK_SEGMENT_REPLY) return block_upload_ack(msg);
        break;
    case CANOPEN_SDO_STATE_BLOCK_END_UPLOAD:
        if (sdo_type == END_BLOCK_DOWNLOAD_REPLY) {
            finish();
            call(S.read_callb);
            return;
        }
        break;
    default: break;
    }
    printf("unknown sdo 0x%x, 0x%x 0x%x\n", (unsigned)sdo_type, (unsigned)S.state, (unsigned)S.mindex);
    fail(CANOPEN_SDO_ERROR_CMD_SPECIFIER_NOT_FOUND);
}

} // extern "C"

#endif
