// The SDO client. A transfer is started and waited for in the calling task; the library task
// drives the protocol one received frame at a time and records the attempt's result, which the
// waiting task reads. Only one task runs at a time, so the shared fields need no further lock.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kr_bytes.h"
#include "kr_can.h"
#include "kr_canopen.h"
#include "kr_memory.h"
#include "kr_rtos.h"
#include "canopen/kr_canopen_private.h"

#define C (_canopen.sdo.client)

namespace {

uint32_t timeout_override_ms = 0;

// Where a download went back to, for its progress (UINT32_MAX: nowhere since the last look).
std::atomic<uint32_t> back_index{UINT32_MAX};
void went_back(uint32_t index)
{
    if (index < back_index) back_index = index;
}

// Upload answers kept to be compared with a second answer to the same request: two servers at one
// node id each answer, and the first to arrive is not necessarily the device's. An initiate answer
// echoes its address, so a late one is still matched after the transfers that followed.
struct kept_answer {
    uint8_t node;
    uint16_t mindex;
    uint8_t sindex;
    uint8_t data[8];
};
kept_answer kept_initiates[8];
uint32_t kept_next = 0;
kept_answer kept_segment; // the last segment answer of the last upload (node 0: none)
std::atomic<uint32_t> differing_nodes[4];
// Nodes another client sent a request to since this client's call began: answers to its requests
// differ from ours with a single server, so they say nothing about a second one.
std::atomic<uint32_t> shared_nodes[4];

bool node_bit(const std::atomic<uint32_t> *words, uint8_t node) { return (words[(node >> 5) & 3] >> (node & 31)) & 1u; }

void mark_differ(uint8_t node)
{
    if (!node_bit(shared_nodes, node)) differing_nodes[(node >> 5) & 3] |= 1u << (node & 31);
}

void forget_answers_of(uint8_t node, uint16_t mindex, uint8_t sindex)
{
    for (kept_answer &k : kept_initiates)
        if (k.node == node && k.mindex == mindex && k.sindex == sindex) k.node = 0;
    kept_segment.node = 0;
}

// A response of an upload from node: compared with a kept answer to the same request, or kept as
// the first answer. A second answer during the transfer still goes on to it (a repeated toggle
// aborts it there).
void note_upload_answer(const kr_can_message_st *msg, sdo_request_type_e type, uint8_t node)
{
    if (type == INITIATE_DOMAIN_UPLOAD) {
        uint16_t mindex = (uint16_t)(msg->data[1] | (msg->data[2] << 8));
        for (const kept_answer &k : kept_initiates) {
            if (k.node != node || k.mindex != mindex || k.sindex != msg->data[3]) continue;
            if (std::memcmp(k.data, msg->data, 8) != 0) mark_differ(node);
            return;
        }
        kept_answer &k = kept_initiates[kept_next++ % 8];
        k = kept_answer{node, mindex, msg->data[3], {}};
        std::memcpy(k.data, msg->data, 8);
        return;
    }
    if (type != DOWNLOAD_DOMAIN_SEGMENT) return;
    // The same toggle as the kept segment: an answer to the request that one answered.
    if (kept_segment.node == node && ((kept_segment.data[0] ^ msg->data[0]) & 0x10) == 0) {
        if (std::memcmp(kept_segment.data, msg->data, 8) != 0) mark_differ(node);
        return;
    }
    kept_segment.node = node;
    std::memcpy(kept_segment.data, msg->data, 8);
}

// Given when an attempt ends, so that the waiting task goes on at once instead of at the next tick.
kr_mutex_st attempt_ended = nullptr;

uint32_t client_timeout_ms() { return timeout_override_ms ? timeout_override_ms : CONFIG_CANOPEN_SDO_TIMEOUT_MS; }

// The abort frame of the running attempt, made ready when it starts: a process that ends in the
// middle of a transfer (a signal, an exit) still closes it at the device, which would otherwise take
// our next initiation for one of its segments. Sent at most once, from a handler too.
kr_can_prepared_st exit_abort;
std::atomic<bool> exit_abort_armed{false};
static_assert(std::atomic<bool>::is_always_lock_free, "read in a signal handler");

void send_exit_abort(void)
{
    if (exit_abort_armed.exchange(false)) kr_can_send_prepared(&exit_abort);
}

void send_exit_abort_at_exit(void)
{
    if (!exit_abort_armed.load()) return;
    send_exit_abort();
    kr_can_flush_for_exit();
}

kr_can_message_st request(uint8_t cmd)
{
    kr_can_message_st msg;
    std::memset(&msg, 0, sizeof(msg));
    msg.id = CANOPEN_SDO_REQUEST_ID + C.server_node_id;
    msg.data_length = 8;
    msg.type = CAN_STD;
    msg.data[0] = cmd;
    return msg;
}

kr_can_message_st request_with_index(uint8_t cmd)
{
    kr_can_message_st msg = request(cmd);
    msg.data[1] = (uint8_t)C.mindex;
    msg.data[2] = (uint8_t)(C.mindex >> 8);
    msg.data[3] = C.sindex;
    return msg;
}

void send(kr_can_message_st *msg) { _kr_canopen_sdo_send(msg); }

// An attempt's first frame: from now on the library task takes the answers as they come.
void send_first(kr_can_message_st *msg)
{
    send(msg);
    _kr_canopen_wake();
}

// The attempt has its result: the device holds no transfer of ours any more.
void end_attempt(canopen_sdo_state_e state, canopen_sdo_result_e result)
{
    exit_abort_armed = false;
    C.state = state;
    C.result = result;
    if (attempt_ended) kr_rtos_sem_give(attempt_ended);
}

void finish_done() { end_attempt(CANOPEN_SDO_STATE_READY, CANOPEN_SDO_RESULT_DONE); }

void arm_exit_abort()
{
    exit_abort_armed = false;
    kr_can_message_st msg = request(0x80);
    msg.data[1] = (uint8_t)C.mindex;
    msg.data[2] = (uint8_t)(C.mindex >> 8);
    msg.data[3] = C.sindex;
    kr_put_le32(&msg.data[4], CANOPEN_SDO_ERROR_GENERAL);
    if (kr_can_prepare(&msg, &exit_abort)) exit_abort_armed = true;
}

// Tell the server why the transfer ends and fail the attempt.
void sdo_client_abort(uint16_t mindex, uint8_t sindex, kr_sdo_error_codes_e code)
{
    kr_can_message_st msg = request(0x80);
    msg.data[1] = (uint8_t)mindex;
    msg.data[2] = (uint8_t)(mindex >> 8);
    msg.data[3] = sindex;
    kr_put_le32(&msg.data[4], code);
    send(&msg);
    C.last_err_code = code;
    end_attempt(CANOPEN_SDO_STATE_TRANSFER_ABORTED, CANOPEN_SDO_RESULT_ABORTED);
}

void abort_transfer(kr_sdo_error_codes_e code) { sdo_client_abort(C.mindex, C.sindex, code); }

// Ends the attempt for a reason of our side (stopped own node, lost port, another client on the
// node). The device is still told, wherever the port can carry the frame: a transfer left open
// there would take our next initiation for one of its segments.
void fail_locally(canopen_sdo_fail_e why, kr_sdo_error_codes_e code)
{
    C.why = why; // first: the waiting task may go on as soon as the attempt ends
    if (kr_can_is_connected()) {
        abort_transfer(code);
    } else {
        C.last_err_code = code;
        end_attempt(CANOPEN_SDO_STATE_TRANSFER_ABORTED, CANOPEN_SDO_RESULT_ABORTED);
    }
}

void send_download_segment()
{
    uint32_t r = C.data_count - C.data_index;
    uint32_t n = r < 7 ? r : 7;
    uint8_t u = r < 7 ? (uint8_t)(7 - r) : 0;
    uint8_t c = r <= 7 ? 1 : 0;
    kr_can_message_st msg = request((uint8_t)((C.toggle << 4) | (u << 1) | c));
    std::memcpy(&msg.data[1], C.src_ptr + C.data_index, n);
    C.data_index += n;
    C.toggle ^= 1;
    send(&msg);
}

// Bytes 1-7 of an upload segment request are reserved: zeros.
void request_upload_segment()
{
    kr_can_message_st msg = request((uint8_t)(0x60 | (C.toggle << 4)));
    C.toggle ^= 1;
    send(&msg);
}

void send_block()
{
    C.toggle = 0;
    C.block_start = C.data_index;
    for (uint8_t i = 0; i < C.server_blksize; i++) {
        uint32_t r = C.data_count - C.data_index;
        uint32_t n = r < 7 ? r : 7;
        bool last = n == r;
        C.toggle++;
        kr_can_message_st msg = request((uint8_t)(C.toggle | (last ? 0x80 : 0)));
        std::memcpy(&msg.data[1], C.src_ptr + C.data_index, n);
        C.data_index += n;
        send(&msg);
        if (last || n < 7) break;
    }
}

void send_block_end()
{
    // Bytes of the last segment without data; an empty download's one segment carries none.
    uint32_t rest = C.data_count % 7;
    uint8_t u = rest ? (uint8_t)(7 - rest) : (C.data_count ? 0 : 7);
    uint16_t crc = kr_memory_calc_crc(C.src_ptr, C.data_count);
    kr_can_message_st msg = request((uint8_t)(0xC1 | (u << 2)));
    msg.data[1] = (uint8_t)crc;
    msg.data[2] = (uint8_t)(crc >> 8);
    C.end_sent = true;
    send(&msg);
}

// The initiation of a block transfer, from the running call's state.
kr_can_message_st block_initiation()
{
    if (C.state == CANOPEN_SDO_STATE_BLOCK_UPLOAD) {
        kr_can_message_st msg = request_with_index(0xA4);
        msg.data[4] = CANOPEN_SDO_CLIENT_BLOCK_UPLOAD_BLKSIZE;
        return msg;
    }
    kr_can_message_st msg = request_with_index(0xC6);
    kr_put_le32(&msg.data[4], C.data_count);
    return msg;
}

bool in_block_transfer()
{
    return C.state == CANOPEN_SDO_STATE_BLOCK_DOWNLOAD || C.state == CANOPEN_SDO_STATE_BLOCK_UPLOAD;
}

// The device holds an older transfer that the client which started it never ended: it is closed,
// and ours starts once more (once per call).
void close_older_and_start_again()
{
    C.reinitiated = true;
    C.awaiting_quiet = false;
    kr_can_message_st ab = request_with_index(0x80);
    kr_put_le32(&ab.data[4], CANOPEN_SDO_ERROR_CMD_SPECIFIER_NOT_FOUND);
    send(&ab);
    kr_can_message_st init = block_initiation();
    C.delay = client_timeout_ms();
    send(&init);
}

bool echoes_address(const kr_can_message_st *msg)
{
    return msg->data[1] == (uint8_t)C.mindex && msg->data[2] == (uint8_t)(C.mindex >> 8) && msg->data[3] == C.sindex;
}

void rx_segmented_download(const kr_can_message_st *msg, sdo_request_type_e type)
{
    // A second initiate reply (another client's, or a confused server's) must not restart the
    // segments in the middle of the transfer.
    if (type == INITIATE_DOMAIN_DOWNLOAD_REPLY && !C.initiated) {
        C.initiated = true;
        C.delay = client_timeout_ms();
        send_download_segment();
    } else if (type == INITIATE_DOMAIN_DOWNLOAD && C.initiated) {
        uint8_t sent_toggle = C.toggle ^ 1;
        if (((msg->data[0] >> 4) & 1) != sent_toggle) {
            abort_transfer(CANOPEN_SDO_ERROR_SDO_TOGGLE_BIT_NOT_ALTERED);
            return;
        }
        C.delay = client_timeout_ms();
        if (C.data_index >= C.data_count)
            finish_done();
        else
            send_download_segment();
    }
}

void rx_segmented_upload(const kr_can_message_st *msg, sdo_request_type_e type)
{
    uint8_t b = msg->data[0];
    // Only the first initiate reply counts: a later one would shrink data_count below the bytes
    // already received, and the next segment would then be written past the caller's buffer.
    if (type == INITIATE_DOMAIN_UPLOAD && !C.initiated) {
        C.initiated = true;
        C.delay = client_timeout_ms();
        if (b & 0x02) {
            uint32_t k = 4u - ((b >> 2) & 3u);
            C.obj_size = k;
            C.size_known = (b & 0x01) != 0;
            // The caller's buffer holds data_len bytes; an expedited answer may carry more.
            uint32_t n = k < C.data_count ? k : C.data_count;
            if (C.data_ptr) std::memcpy(C.data_ptr, &msg->data[4], n);
            finish_done();
            return;
        }
        if (b & 0x01) {
            C.obj_size = kr_get_le32(&msg->data[4]);
            C.size_known = true;
            if (C.data_count > C.obj_size) C.data_count = C.obj_size;
        }
        request_upload_segment();
    } else if (type == DOWNLOAD_DOMAIN_SEGMENT && C.initiated) {
        if (((b >> 4) & 1) == C.toggle) {
            abort_transfer(CANOPEN_SDO_ERROR_SDO_TOGGLE_BIT_NOT_ALTERED);
            return;
        }
        C.delay = client_timeout_ms();
        uint32_t n = 7u - ((b >> 1) & 7u);
        C.upload_total += n;
        // The announced size is a promise: more or fewer bytes mean data that is not the object.
        if (C.size_known && C.upload_total > C.obj_size) {
            C.why = CANOPEN_SDO_FAIL_LONG;
            abort_transfer(CANOPEN_SDO_ERROR_DATA_LENGTH_MISMATCH);
            return;
        }
        if ((b & 0x01) && C.size_known && C.upload_total < C.obj_size) {
            C.why = CANOPEN_SDO_FAIL_SHORT;
            abort_transfer(CANOPEN_SDO_ERROR_DATA_LENGTH_MISMATCH);
            return;
        }
        uint32_t room = C.data_count > C.data_index ? C.data_count - C.data_index : 0;
        uint32_t take = n < room ? n : room;
        if (C.data_ptr) std::memcpy(C.data_ptr + C.data_index, &msg->data[1], take);
        C.data_index += take;
        if (b & 0x01) {
            finish_done();
        } else if (take == n) {
            request_upload_segment();
        } else {
            // The buffer is full: the call succeeds with what fitted, and the server is told so.
            // A plain abort frame, so that the retry rule never sees this abort.
            finish_done();
            kr_can_message_st ab = request_with_index(0x80);
            kr_put_le32(&ab.data[4], CANOPEN_SDO_ERROR_OUT_OF_MEMORY);
            send(&ab);
        }
    }
}

void rx_block_download(const kr_can_message_st *msg, sdo_request_type_e type)
{
    if (type == INITIATE_BLOCK_DOWNLOAD_REPLY && !C.initiated) {
        if (!echoes_address(msg)) return;
        C.initiated = true;
        C.delay = client_timeout_ms();
        C.crc_enabled = (msg->data[0] & 0x04) != 0;
        C.server_blksize = msg->data[4];
        if ((int8_t)C.server_blksize < 1) {
            abort_transfer(CANOPEN_SDO_ERROR_INVALID_BLOCK_SIZE);
            return;
        }
        send_block();
    } else if (type == DOWNLOAD_BLOCK_SEGMENT_REPLY && C.initiated && !C.end_sent) {
        C.delay = client_timeout_ms();
        uint8_t ackseq = msg->data[1];
        if (ackseq > C.toggle) {
            abort_transfer(CANOPEN_SDO_ERROR_INVALID_SEQ_NUMBER);
            return;
        }
        if (ackseq < C.toggle) {
            // Segments after ackseq were lost: the next sub-block starts with the first of them.
            if (++C.resends > CONFIG_CANOPEN_SDO_CLIENT_BLOCK_RESENDS) {
                abort_transfer(CANOPEN_SDO_ERROR_INVALID_SEQ_NUMBER);
                return;
            }
            C.data_index = C.block_start + 7u * ackseq;
            went_back(C.data_index);
        } else {
            C.resends = 0;
        }
        // The server may ask for a smaller (or larger) next block; never send more than it asked.
        int8_t next = (int8_t)msg->data[2];
        if (next >= 1) C.server_blksize = (uint8_t)next;
        if (C.data_index < C.data_count)
            send_block();
        else
            send_block_end();
    } else if (type == END_BLOCK_DOWNLOAD_REPLY && C.end_sent) {
        C.delay = client_timeout_ms();
        finish_done();
    } else {
        // Includes an end confirmation before all data was sent: never report that as success.
        abort_transfer(CANOPEN_SDO_ERROR_GENERAL);
    }
}

void rx_block_upload(const kr_can_message_st *msg, sdo_request_type_e type)
{
    uint8_t b = msg->data[0];
    if (!C.initiated) {
        if ((b & 0xE1) != 0xC0 || !echoes_address(msg)) return;
        C.initiated = true;
        C.delay = client_timeout_ms();
        C.crc_enabled = (b & 0x04) != 0;
        if (b & 0x02) {
            C.obj_size = kr_get_le32(&msg->data[4]);
            if (C.obj_size > C.data_count) {
                abort_transfer(CANOPEN_SDO_ERROR_OUT_OF_MEMORY);
                return;
            }
        }
        C.toggle = 0;
        C.new_data = false;
        kr_can_message_st start = request(0xA3);
        send(&start);
        return;
    }
    if (!C.end_sent) {
        // Every frame of a sub-block is a segment: byte 0 is its sequence number and the last flag.
        uint8_t seq = b & 0x7F;
        if (seq != (uint8_t)(C.toggle + 1)) {
            abort_transfer(CANOPEN_SDO_ERROR_INVALID_SEQ_NUMBER);
            return;
        }
        C.delay = client_timeout_ms();
        if (C.new_data) {
            if (C.data_count - C.data_index < 7) {
                abort_transfer(CANOPEN_SDO_ERROR_OUT_OF_MEMORY);
                return;
            }
            std::memcpy(C.data_ptr + C.data_index, C.data_buffer, 7);
            C.data_index += 7;
        }
        std::memcpy(C.data_buffer, &msg->data[1], 7);
        C.new_data = true;
        C.toggle = seq;
        bool last = (b & 0x80) != 0;
        if (last || seq == CANOPEN_SDO_CLIENT_BLOCK_UPLOAD_BLKSIZE) {
            kr_can_message_st ack = request(0xA2);
            ack.data[1] = seq;
            ack.data[2] = CANOPEN_SDO_CLIENT_BLOCK_UPLOAD_BLKSIZE;
            C.toggle = 0;
            if (last) C.end_sent = true;
            send(&ack);
        }
        return;
    }
    if (type != END_BLOCK_DOWNLOAD) return;
    C.delay = client_timeout_ms();
    uint32_t n = 7u - ((b >> 2) & 7u);
    if (C.new_data) {
        if (C.data_count - C.data_index < n) {
            abort_transfer(CANOPEN_SDO_ERROR_OUT_OF_MEMORY);
            return;
        }
        std::memcpy(C.data_ptr + C.data_index, C.data_buffer, n);
        C.data_index += n;
        C.new_data = false;
    }
    if (C.crc_enabled) {
        uint16_t crc = (uint16_t)(msg->data[1] | (msg->data[2] << 8));
        if (kr_memory_calc_crc(C.data_ptr, C.data_index) != crc) {
            abort_transfer(CANOPEN_SDO_ERROR_CRC_ERROR);
            return;
        }
    }
    C.obj_size = C.data_index;
    kr_can_message_st end = request(0xA1);
    send(&end);
    finish_done();
}

// Starts one attempt: the library task sees the new state only after the frame is out.
void start_attempt(canopen_sdo_state_e state)
{
    C.initiated = false;
    C.end_sent = false;
    C.new_data = false;
    C.size_known = false;
    C.upload_total = 0;
    C.block_start = 0;
    C.resends = 0;
    C.reinitiated = false;
    C.awaiting_quiet = false;
    C.why = CANOPEN_SDO_FAIL_NONE;
    C.result = CANOPEN_SDO_RESULT_PENDING;
    C.delay = client_timeout_ms();
    C.state = state;
    arm_exit_abort();
}

// Waits for the library task to end the attempt. Never spins: the wait sleeps until the attempt
// ends or the next tick comes, whichever is first (the wait callback is looked at every tick).
canopen_sdo_result_e wait_result(bool use_delay, bool with_callback)
{
    while (C.result == CANOPEN_SDO_RESULT_PENDING) {
        if (with_callback && C.wait_callb_req) {
            C.wait_callb_req = false;
            if (C.wait_callb) C.wait_callb(C.mindex, C.sindex);
        }
        if (use_delay)
            kr_rtos_task_delay(1);
        else if (attempt_ended)
            kr_rtos_sem_take(attempt_ended, 1);
        else
            kr_rtos_yield();
    }
    canopen_sdo_result_e r = C.result;
    C.state = CANOPEN_SDO_STATE_READY;
    return r;
}

// A call holds the client from here to end_call, retries and back-off included, so that a cancel
// between two attempts still ends it.
void begin_call()
{
    shared_nodes[(C.server_node_id >> 5) & 3] &= ~(1u << (C.server_node_id & 31));
    C.in_call = true;
    C.cancelled = false;
}

kr_errors_e end_call(kr_errors_e err)
{
    C.in_call = false;
    C.cancelled = false;
    kr_mutex_unlock(&C.mutex);
    return err;
}

// After a failed attempt: whether the call ends, or waits its back-off and tries again.
bool attempt_is_last(sdo_client_retries_st *retries, uint32_t attempt)
{
    if (C.why != CANOPEN_SDO_FAIL_NONE || !sdo_client_take_retry(retries, C.last_err_code, C.initiated)) return true;
    kr_rtos_task_delay(sdo_client_retry_delay(attempt));
    return C.cancelled;
}

} // namespace

bool sdo_client_take_retry(sdo_client_retries_st *retries, kr_sdo_error_codes_e code, bool initiated)
{
    if (code == CANOPEN_SDO_ERROR_SDO_PROTOCOL_TIMED_OUT) {
        if (retries->timeout == 0) return false;
        retries->timeout--;
        return true;
    }
    if (code == CANOPEN_SDO_ERROR_CMD_SPECIFIER_NOT_FOUND || initiated) {
        if (retries->busy == 0) return false;
        retries->busy--;
        return true;
    }
    return false;
}

uint32_t sdo_client_retry_delay(uint32_t attempt)
{
    return (attempt + 1) * CONFIG_CANOPEN_SDO_CLIENT_RETRY_DELAY_MS + kr_rtos_get_tick_count() % 101;
}

void _kr_canopen_sdo_client_init(void)
{
    // A repeated start keeps the one mutex: tasks may be waiting on it.
    kr_mutex_st mutex = C.mutex;
    std::memset(&C, 0, sizeof(C));
    C.state = CANOPEN_SDO_STATE_READY;
    C.result = CANOPEN_SDO_RESULT_DONE;
    C.mutex = mutex;
    if (!C.mutex) kr_mutex_init(&C.mutex);
    if (!attempt_ended) attempt_ended = kr_rtos_sem_create();
    C.delay = -1;
    C.last_err_code = CANOPEN_SDO_ERROR_NONE;
    C.wait_callb = nullptr;
    C.wait_delay = CANOPEN_SDO_CLIENT_WAIT_CALLB_DELAY_MS;
    exit_abort_armed = false;
    kr_add_signal_cleanup(send_exit_abort);
    static bool at_exit = false;
    if (!at_exit) at_exit = std::atexit(send_exit_abort_at_exit) == 0;
}

void _kr_canopen_sdo_client_reset(void) {}

void _kr_canopen_sdo_client_step(uint32_t step_ms)
{
    if (C.state == CANOPEN_SDO_STATE_READY) {
        C.wait_delay = CANOPEN_SDO_CLIENT_WAIT_CALLB_DELAY_MS;
        C.wait_callb_req = false;
        return;
    }
    // A port that is closed or lost carries no answer: waiting out the time-out would only hide it.
    if (C.result == CANOPEN_SDO_RESULT_PENDING && !kr_can_is_connected()) {
        fail_locally(CANOPEN_SDO_FAIL_PORT, CANOPEN_SDO_ERROR_GENERAL);
        C.delay = (kr_delay_st)step_ms;
        return;
    }
    if (C.awaiting_quiet && C.result == CANOPEN_SDO_RESULT_PENDING && kr_delay(&C.quiet, step_ms)) {
        close_older_and_start_again();
        return;
    }
    if (kr_delay(&C.delay, step_ms)) {
        if (C.state != CANOPEN_SDO_STATE_TRANSFER_ABORTED) {
            // A stopped node hears no answer: the reason is ours, not the device's.
            if (kr_canopen_get_state() == CANOPEN_STOPPED)
                fail_locally(CANOPEN_SDO_FAIL_NODE_STOPPED, CANOPEN_SDO_ERROR_SDO_PROTOCOL_TIMED_OUT);
            else
                abort_transfer(CANOPEN_SDO_ERROR_SDO_PROTOCOL_TIMED_OUT);
            C.delay = (kr_delay_st)step_ms;
        } else {
            C.state = CANOPEN_SDO_STATE_READY;
        }
    }
    if (kr_delay(&C.wait_delay, step_ms)) {
        C.wait_callb_req = true;
        C.wait_delay = CANOPEN_SDO_CLIENT_WAIT_CALLB_DELAY_MS;
    }
}

bool _kr_canopen_sdo_client_awaits_answer(void)
{
    return C.state != CANOPEN_SDO_STATE_READY && C.result == CANOPEN_SDO_RESULT_PENDING;
}

void _kr_canopen_sdo_client_rx(const kr_can_message_st *msg, sdo_request_type_e type, uint8_t node_id)
{
    bool upload = C.state == CANOPEN_SDO_STATE_SEGMENTED_UPLOAD;
    bool running = C.state != CANOPEN_SDO_STATE_READY && C.result == CANOPEN_SDO_RESULT_PENDING;
    // A late answer changes nothing, but a second, different one says two servers share the node id.
    if ((!running || upload) && node_id == C.server_node_id) note_upload_answer(msg, type, node_id);
    // Nothing runs, or this attempt has already ended: late frames change nothing.
    if (!running) return;
    if (node_id != C.server_node_id) return;
    // Answers to an older transfer's segments that still pass on the bus, its aborts too: not ours.
    if (C.awaiting_quiet) return;
    // In a block upload's sub-block byte 0 is a sequence number; 0x80 alone is an abort there.
    bool in_sub_block = C.state == CANOPEN_SDO_STATE_BLOCK_UPLOAD && C.initiated && !C.end_sent;
    if (in_sub_block && msg->data[0] != 0x80) {
        rx_block_upload(msg, type);
        return;
    }
    if ((type == ABORT_DOMAIN_TRANSFER || type == INITIATE_DOMAIN_DOWNLOAD_REPLY || type == INITIATE_DOMAIN_UPLOAD) &&
        !echoes_address(msg))
        return;

    if (type == ABORT_DOMAIN_TRANSFER) {
        C.last_err_code = kr_get_le32(&msg->data[4]);
        end_attempt(CANOPEN_SDO_STATE_TRANSFER_ABORTED, CANOPEN_SDO_RESULT_ABORTED);
        return;
    }
    // A device that still holds an older block download (its end never came) takes our initiation
    // for one of that transfer's segments and acknowledges it: that transfer is closed, and ours
    // starts once more.
    if (!C.initiated && type == DOWNLOAD_BLOCK_SEGMENT_REPLY && !C.reinitiated && in_block_transfer()) {
        close_older_and_start_again();
        return;
    }
    switch (C.state) {
    case CANOPEN_SDO_STATE_EXPEDITED_DOWNLOAD:
        if (type == INITIATE_DOMAIN_DOWNLOAD_REPLY) {
            C.initiated = true;
            finish_done();
        }
        break;
    case CANOPEN_SDO_STATE_SEGMENTED_DOWNLOAD: rx_segmented_download(msg, type); break;
    case CANOPEN_SDO_STATE_SEGMENTED_UPLOAD: rx_segmented_upload(msg, type); break;
    case CANOPEN_SDO_STATE_BLOCK_DOWNLOAD: rx_block_download(msg, type); break;
    case CANOPEN_SDO_STATE_BLOCK_UPLOAD: rx_block_upload(msg, type); break;
    default: break;
    }
}

void kr_canopen_sdo_client_set_timeout(uint32_t ms) { timeout_override_ms = ms; }

bool kr_canopen_sdo_client_answers_differ(uint8_t node, bool clear)
{
    uint32_t bit = 1u << (node & 31);
    std::atomic<uint32_t> &word = differing_nodes[(node >> 5) & 3];
    bool differ = ((clear ? word.fetch_and(~bit) : word.load()) & bit) != 0;
    return differ && !node_bit(shared_nodes, node);
}

kr_errors_e _kr_canopen_sdo_client_read(uint8_t node_id, uint16_t mindex, uint8_t sindex, uint32_t data_len, void *data)
{
    kr_mutex_lock(&C.mutex);
    if (C.state != CANOPEN_SDO_STATE_READY) {
        kr_mutex_unlock(&C.mutex);
        return ERR_HW_BUSY;
    }
    C.server_node_id = node_id;
    C.mindex = mindex;
    C.sindex = sindex;
    C.data_ptr = (uint8_t *)data;
    C.src_ptr = nullptr;
    begin_call();
    sdo_client_retries_st retries = {CONFIG_CANOPEN_SDO_CLIENT_RETRY_COUNT, CONFIG_CANOPEN_SDO_CLIENT_BUSY_RETRY_COUNT};
    for (uint32_t attempt = 0;; attempt++) {
        C.data_index = 0;
        C.data_count = data_len;
        C.obj_size = 0;
        C.toggle = 0;
        start_attempt(CANOPEN_SDO_STATE_SEGMENTED_UPLOAD);
        forget_answers_of(node_id, mindex, sindex);
        kr_can_message_st msg = request_with_index(0x40);
        send_first(&msg);
        if (wait_result(false, true) == CANOPEN_SDO_RESULT_DONE) break;
        if (attempt_is_last(&retries, attempt)) return end_call(ERR_ABORTED);
    }
    return end_call(ERR_NONE);
}

kr_errors_e _kr_canopen_sdo_client_write(uint8_t node_id, uint16_t mindex, uint8_t sindex, uint32_t data_len,
                                         const void *data)
{
    kr_mutex_lock(&C.mutex);
    if (C.state != CANOPEN_SDO_STATE_READY) {
        kr_mutex_unlock(&C.mutex);
        return ERR_HW_BUSY;
    }
    C.server_node_id = node_id;
    C.mindex = mindex;
    C.sindex = sindex;
    C.data_ptr = nullptr;
    C.src_ptr = (const uint8_t *)data;
    begin_call();
    sdo_client_retries_st retries = {CONFIG_CANOPEN_SDO_CLIENT_RETRY_COUNT, CONFIG_CANOPEN_SDO_CLIENT_BUSY_RETRY_COUNT};
    for (uint32_t attempt = 0;; attempt++) {
        kr_can_message_st msg;
        if (attempt > 0) went_back(0);
        C.data_index = 0;
        C.toggle = 0;
        if (data_len > 4) {
            C.data_count = data_len;
            start_attempt(CANOPEN_SDO_STATE_SEGMENTED_DOWNLOAD);
            msg = request_with_index(0x21);
            kr_put_le32(&msg.data[4], data_len);
        } else {
            C.data_count = data_len;
            start_attempt(CANOPEN_SDO_STATE_EXPEDITED_DOWNLOAD);
            if (data_len == 0) {
                // Size not indicated: the caller hands a 4-byte value.
                msg = request_with_index(0x22);
                if (data) std::memcpy(&msg.data[4], data, 4);
            } else {
                msg = request_with_index((uint8_t)(0x23 | ((4 - data_len) << 2)));
                std::memcpy(&msg.data[4], data, data_len);
            }
        }
        send_first(&msg);
        if (wait_result(false, true) == CANOPEN_SDO_RESULT_DONE) break;
        if (attempt_is_last(&retries, attempt)) return end_call(ERR_ABORTED);
    }
    return end_call(ERR_NONE);
}

kr_errors_e _kr_canopen_sdo_client_block_write(uint8_t node_id, uint16_t mindex, uint8_t sindex, uint32_t data_len,
                                               const void *data)
{
    kr_mutex_lock(&C.mutex);
    C.server_node_id = node_id;
    C.mindex = mindex;
    C.sindex = sindex;
    C.data_ptr = nullptr;
    C.src_ptr = (const uint8_t *)data;
    C.data_count = data_len;
    C.data_index = 0;
    C.toggle = 0;
    begin_call();
    start_attempt(CANOPEN_SDO_STATE_BLOCK_DOWNLOAD);
    kr_can_message_st msg = block_initiation();
    send_first(&msg);
    canopen_sdo_result_e r = wait_result(false, false);
    return end_call(r == CANOPEN_SDO_RESULT_DONE ? ERR_NONE : ERR_ABORTED);
}

kr_errors_e _kr_canopen_sdo_client_block_read(uint8_t node_id, uint16_t mindex, uint8_t sindex, uint32_t data_len,
                                              void *data)
{
    kr_mutex_lock(&C.mutex);
    C.server_node_id = node_id;
    C.mindex = mindex;
    C.sindex = sindex;
    C.data_ptr = (uint8_t *)data;
    C.src_ptr = nullptr;
    C.data_count = data_len;
    C.data_index = 0;
    C.obj_size = 0;
    C.toggle = 0;
    begin_call();
    start_attempt(CANOPEN_SDO_STATE_BLOCK_UPLOAD);
    kr_can_message_st msg = block_initiation();
    send_first(&msg);
    canopen_sdo_result_e r = wait_result(false, false);
    return end_call(r == CANOPEN_SDO_RESULT_DONE ? ERR_NONE : ERR_ABORTED);
}

kr_sdo_error_codes_e _kr_canopen_sdo_get_error_code(void) { return C.last_err_code; }

uint32_t _kr_canopen_sdo_client_get_obj_size(void) { return C.obj_size; }
bool kr_canopen_sdo_client_size_known(void) { return C.size_known; }

uint32_t kr_canopen_sdo_client_get_data_index(void) { return C.data_index; }

uint32_t kr_canopen_sdo_client_get_data_count(void) { return C.data_count; }

uint32_t kr_canopen_sdo_client_take_back_index(void) { return back_index.exchange(UINT32_MAX); }

void kr_canopen_sdo_client_reset_progress(uint32_t count)
{
    back_index = UINT32_MAX;
    C.data_index = 0;
    C.data_count = count;
}

void kr_canopen_sdo_client_set_wait_callback(kr_canopen_sdo_wait_callb_t callb) { C.wait_callb = callb; }

void kr_canopen_sdo_client_cancel(uint32_t abort_code)
{
    // An attempt that already succeeded is left alone: its caller gets ERR_NONE.
    if (!C.in_call || C.result == CANOPEN_SDO_RESULT_DONE) return;
    C.cancelled = true;
    C.why = CANOPEN_SDO_FAIL_CANCELLED; // first: the waiting task may go on as soon as the attempt ends
    if (C.state != CANOPEN_SDO_STATE_READY && C.result == CANOPEN_SDO_RESULT_PENDING)
        abort_transfer(abort_code);
    else
        C.last_err_code = abort_code; // between two attempts: the device holds no transfer of ours
}

void _kr_canopen_sdo_client_rx_request(uint8_t node_id)
{
    // Answers to another client's requests differ from ours without any second server.
    shared_nodes[(node_id >> 5) & 3] |= 1u << (node_id & 31);
    for (kept_answer &k : kept_initiates)
        if (k.node == node_id) k.node = 0;
    if (kept_segment.node == node_id) kept_segment.node = 0;
    if (C.state == CANOPEN_SDO_STATE_READY || C.result != CANOPEN_SDO_RESULT_PENDING) return;
    if (node_id != C.server_node_id) return;
    // Before the device took our block initiation, requests to it are most likely the queued segments
    // of a client that died in its transfer (a paced bus still delivers them): they are waited out,
    // then that transfer is closed and ours starts once more. Only the abort after them is safe: a
    // segment that reached a device without a transfer could read as a request of its own.
    if (!C.initiated && !C.reinitiated && in_block_transfer()) {
        C.awaiting_quiet = true;
        C.quiet = CANOPEN_SDO_CLIENT_STALE_QUIET_MS;
        C.delay = client_timeout_ms();
        return;
    }
    // The server now answers two clients on one channel: no answer can be told apart as ours.
    fail_locally(CANOPEN_SDO_FAIL_OTHER_CLIENT, CANOPEN_SDO_ERROR_GENERAL);
}

const char *kr_canopen_sdo_client_failure(char *dest, size_t dest_len)
{
    if (!dest || dest_len == 0) return nullptr;
    switch (C.why) {
    case CANOPEN_SDO_FAIL_NODE_STOPPED:
        std::snprintf(dest, dest_len,
                      "the tool's own CANopen node 0x%x was stopped by an NMT command from the bus, so it takes no SDO "
                      "answers until a start or pre-operational command",
                      (unsigned)kr_canopen_get_nodeid());
        break;
    case CANOPEN_SDO_FAIL_OTHER_CLIENT:
        std::snprintf(dest, dest_len, "another SDO client is using node 0x%x", (unsigned)C.server_node_id);
        break;
    case CANOPEN_SDO_FAIL_PORT: {
        const char *f = kr_can_get_fault();
        if (f && *f)
            kr_copy_text(dest, dest_len, f);
        else
            std::snprintf(dest, dest_len, "the CAN interface %s is not open", kr_can_get_dev());
        break;
    }
    case CANOPEN_SDO_FAIL_SHORT:
        std::snprintf(dest, dest_len, "node 0x%x announced %u bytes but its upload ended after %u",
                      (unsigned)C.server_node_id, (unsigned)C.obj_size, (unsigned)C.upload_total);
        break;
    case CANOPEN_SDO_FAIL_CANCELLED:
        std::snprintf(dest, dest_len, "the transfer with node 0x%x was cancelled", (unsigned)C.server_node_id);
        break;
    case CANOPEN_SDO_FAIL_LONG:
        std::snprintf(dest, dest_len, "node 0x%x sent more than the %u bytes it announced", (unsigned)C.server_node_id,
                      (unsigned)C.obj_size);
        break;
    default: return nullptr;
    }
    return dest;
}
