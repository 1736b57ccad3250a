// The terminal to a device's command interpreter: lines go out as expedited SDO downloads to
// 0x5FFF:0 (or, for the deprecated protocol, one extended frame per character), answers come back
// as frames shaped like expedited upload replies and are printed as they arrive.
#include <cstdio>
#include <cstring>
#include <string>

#include "bus/bus.h"
#include "run/commands.h"
#include "run/console.h"
#include "database/db.h"
#include "kr_can.h"
#include "kr_canopen.h"
#include "run/main.h"
#include "bus/terminal.h"

namespace {

constexpr uint32_t kZbBaseId = 0x15560000u;
constexpr uint32_t kStepMs = 20;
constexpr int32_t kEndDelayMs = 300;
constexpr uint32_t kResponseWaitMs = 2000;
constexpr size_t kLineLen = 1024;

bool zb_terminal = false;
kr_mutex_st mutex = nullptr;
uint8_t rx_buffer[1024];
kr_ring_buffer_st rx;
volatile bool responded = true;
kr_delay_st end_delay = 0;
uint32_t arg_count = 0;
uint8_t node_id = 0;           // taken when the option was read
volatile bool tx_done = false; // words mode: every word sent and its answer waited for
bool heard = false;            // the device said something while the job ran

// Each queued terminal keeps the node id and protocol that stood when its option was read.
struct terminal_job_st {
    uint8_t node_id;
    bool zb;
};
terminal_job_st jobs[TASKS_LEN];
uint32_t jobs_queued = 0;
uint32_t jobs_taken = 0;

void can_callb(void *, const kr_can_message_st *msg)
{
    kr_mutex_lock(&mutex);
    if (zb_terminal) {
        if (msg->type == CAN_EXT && msg->id == kZbBaseId + node_id) {
            for (uint8_t i = 0; i < msg->data_length && i < 8; i++) kr_ring_buffer_push(&rx, &msg->data[i]);
        }
    } else if (terminal_is_answer(msg, node_id)) {
        for (uint8_t i = 4; i < msg->data_length && i < 8; i++) kr_ring_buffer_push(&rx, &msg->data[i]);
        responded = true;
    }
    kr_mutex_unlock(&mutex);
}

bool wait_for_response()
{
    for (uint32_t waited = 0; waited < kResponseWaitMs; waited += kStepMs) {
        if (responded) {
            responded = false;
            return true;
        }
        kr_rtos_task_delay(kStepMs);
    }
    if (responded) {
        responded = false;
        return true;
    }
    // A device that never answers is a failure: said whatever silent says, and the run fails.
    kr_mutex_lock(&mutex);
    fflush(stdout);
    job_error_plain_stderr("\n*** NO RESPONSE ***\n");
    kr_mutex_unlock(&mutex);
    return false;
}

void send_line(const char *line, size_t len)
{
    if (zb_terminal) {
        for (size_t i = 0; i < len; i++) {
            kr_can_message_st m{};
            m.type = CAN_EXT;
            m.id = kZbBaseId + node_id;
            m.data_length = 1;
            m.data[0] = (uint8_t)line[i];
            kr_can_send_flags(dev.can_channel, &m, CAN_SEND_FLAGS_NORMAL);
        }
        return;
    }
    for (size_t off = 0; off < len; off += 4) {
        kr_can_message_st m{};
        size_t count = terminal_build_frame(&m, node_id, line + off, len - off);
        (void)count;
        wait_for_response();
        kr_can_send_flags(dev.can_channel, &m, CAN_SEND_FLAGS_NORMAL);
    }
}

void command_tx(void *)
{
    char line[kLineLen];
    for (;;) {
        if (dev.argv_count > 0) {
            if (arg_count >= dev.argv_count) {
                // The last word's answer (or its time-out) ends the sending side.
                if (!zb_terminal) wait_for_response();
                tx_done = true;
                kr_rtos_task_delete(nullptr);
                return;
            }
            // The whole word goes out, however long: a cut command would do something else.
            std::string word = dev.nonopt_argv[arg_count++];
            word += '\n';
            send_line(word.data(), word.size());
        } else {
            long n = kr_stdin_read_line(line, sizeof line - 1);
            if (n < 0) {
                // End of input (a pipe, /dev/null, a closed descriptor) ends the terminal as the
                // last word does: the answer to the last line is still waited for.
                if (!zb_terminal) wait_for_response();
                tx_done = true;
                kr_rtos_task_delete(nullptr);
                return;
            }
            size_t len = (size_t)n;
            // A last line without its line end is still a line; a longer one comes in parts.
            if (line[len - 1] != '\n' && len < sizeof line - 2) line[len++] = '\n';
            if (std::memchr(line, '\0', len)) {
                // Cut at the NUL, its start would run together with the next line as another command.
                log_end();
                job_error("Error: a terminal line holding a NUL byte is not sent.\n");
            } else {
                send_line(line, len);
            }
        }
        kr_rtos_task_delay(100);
    }
}

void command_step(void *)
{
    if (jobs_taken >= jobs_queued) return;
    node_id = jobs[jobs_taken].node_id;
    zb_terminal = jobs[jobs_taken].zb;
    jobs_taken++;
    arg_count = 0;
    PRINT("Terminal opened for node ID 0x%x\n", (unsigned)node_id);
    // Words sent into a closed port would go nowhere without a word said.
    if (!bus_ready("terminal") || !bus_node_is_other("terminal", node_id)) return;
    heard = false;
    if (!mutex) kr_mutex_init(&mutex);
    kr_ring_buffer_init(&rx, rx_buffer, sizeof rx_buffer, 1);
    responded = true;
    tx_done = false;
    end_delay = kEndDelayMs;
    if (!bus_take_frames("terminal", can_callb)) return;
    // The sending side starts only now, so it never reads standard input meant for earlier jobs'
    // prompts, and never sends before the callback is there to take the answers.
    if (kr_rtos_task_create(command_tx, "tx", 10240, nullptr, 1, nullptr) != KR_RTOS_PASS) {
        job_error("Error: could not start the terminal's transmit task.\n");
        return;
    }
    for (;;) {
        kr_rtos_task_delay(kStepMs);
        end_delay -= (int32_t)kStepMs;
        if (!bus_still_up("terminal")) return;
        for (;;) {
            uint8_t c;
            kr_mutex_lock(&mutex);
            kr_errors_e err = kr_ring_buffer_pop(&rx, &c);
            kr_mutex_unlock(&mutex);
            if (err != ERR_NONE) break;
            heard = true;
            putchar(c);
            end_delay = kEndDelayMs;
        }
        fflush(stdout);
        if (tx_done && end_delay <= 0) break;
    }
    // The old protocol has no answer to wait for: a device that never said a word is a failure.
    if (zb_terminal && !heard) {
        fflush(stdout);
        job_error_plain_stderr("\n*** NO RESPONSE ***\n");
    }
    PRINT("Done\n");
    fflush(stdout);
}

bool queue_terminal(bool zb)
{
    uint8_t id = db_get_nodeid(&dev.db);
    if (!bus_nodeid_selected("the terminal", id)) return false;
    if (!add_task(command_step)) return false; // it refuses a sixth job, so jobs cannot overrun
    jobs[jobs_queued++] = terminal_job_st{id, zb};
    end_delay = kEndDelayMs;
    arg_count = 0;
    kr_can_set_up(false);
    return true;
}

} // namespace

extern "C" {

bool terminal_is_answer(const kr_can_message_st *msg, uint8_t node)
{
    return msg->type == CAN_STD && msg->id == 0x580u + node && msg->data_length >= 5 && msg->data[0] == 0x42 &&
           msg->data[1] == 0xFF && msg->data[2] == 0x5F && msg->data[3] == 0x00;
}

size_t terminal_build_frame(kr_can_message_st *msg, uint8_t node, const char *text, size_t len)
{
    size_t count = len < 4 ? len : 4;
    std::memset(msg, 0, sizeof *msg);
    msg->type = CAN_STD;
    msg->id = 0x600u + node;
    msg->data[0] = 0x22;
    msg->data[1] = 0xFF;
    msg->data[2] = 0x5F;
    msg->data[3] = 0x00;
    std::memcpy(&msg->data[4], text, count);
    msg->data_length = (uint8_t)(4 + count);
    return count;
}

bool cmd_terminal(const char *) { return queue_terminal(false); }

bool cmd_zbterminal(const char *) { return queue_terminal(true); }

} // extern "C"
