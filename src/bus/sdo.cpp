// The SDO commands: mindex, sindex and datalen set the address while the command line is read;
// sdoread, sdoreadstr, sdowrite and sdowritestr queue a job. Each job keeps the node id, address,
// length and value that stood when its option was read, so later options never change it.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bus/bus.h"
#include "run/commands.h"
#include "database/db.h"
#include "kr_bytes.h"
#include "kr_can.h"
#include "kr_canopen.h"
#include "run/main.h"
#include "bus/sdo.h"

namespace {

enum class sdo_job_e { read, readstr, write };

struct sdo_job_st {
    sdo_job_e kind;
    uint8_t node_id;
    uint16_t mindex;
    uint8_t sindex;
    uint32_t datalen;
    bool is_text;    // write: text rather than a number
    int32_t value;   // write: the number
    bool negative;   // write: the number was given negative, so it is sign-extended past 4 bytes
    int64_t shown;   // write: the number as given
    const char *str; // write: the text (in the command line, which lives as long as the run)
};

// Snapshots of queued SDO jobs, taken in queue order; jobs run in that order, so each job takes
// the oldest snapshot not yet taken.
sdo_job_st jobs[TASKS_LEN];
uint32_t jobs_queued = 0;
uint32_t jobs_taken = 0;

const char *const mindex_error = "Error: The CANOpen main index has to be set with *--mindex* command\n";

// Queues one SDO job with a snapshot of the state now. False refuses the command.
bool queue_job(const char *name, sdo_job_e kind, void (*step)(void *app), const char *arg, bool text_only)
{
    sdo_job_st job{};
    job.kind = kind;
    job.node_id = db_get_nodeid(&dev.db);
    job.mindex = dev.sdo.mindex;
    job.sindex = dev.sdo.sindex;
    job.datalen = dev.sdo.datalen;

    if (!bus_nodeid_selected((std::string("'") + name + "'").c_str(), job.node_id)) return false;
    uint32_t max = kind == sdo_job_e::readstr ? SDO_STR_MAX_LEN : SDO_DATA_MAX_LEN;
    if (job.datalen > max) {
        job_error("Error: data length %u is too long for '%s': at most %u bytes.\n", (unsigned)job.datalen, name,
                  (unsigned)max);
        return false;
    }
    if (kind == sdo_job_e::write) {
        int64_t value = 0;
        if (!arg || !cmdline_read_value(arg, text_only, &value, &job.is_text)) {
            cmdline_refuse_value(name, arg);
            return false;
        }
        if (job.is_text) {
            job.str = arg;
            if (job.datalen == 0 && std::strlen(arg) + 1 > SDO_DATA_MAX_LEN) {
                job_error("Error: the text for '%s' is too long: at most %u bytes.\n", name,
                          (unsigned)SDO_DATA_MAX_LEN - 1);
                return false;
            }
        } else {
            // A length below 4 bytes would send the low bytes only: a number that does not fit is refused.
            if (job.datalen > 0 && job.datalen < 4 && !sdo_value_fits(value, job.datalen)) {
                job_error("Error: the number '%s' for '%s' does not fit the data length of %u byte%s.\n", arg, name,
                          (unsigned)job.datalen, job.datalen == 1 ? "" : "s");
                return false;
            }
            job.value = (int32_t)(uint32_t)value;
            job.negative = value < 0;
            job.shown = value;
        }
        dev.sdo.value = job.value;
        dev.sdo.str = job.str;
    }
    if (!add_task(step)) return false; // it refuses a sixth job, so jobs cannot overrun
    jobs[jobs_queued++] = job;
    kr_can_set_up(false);
    return true;
}

bool take_job(sdo_job_st *job)
{
    if (jobs_taken >= jobs_queued) return false;
    *job = jobs[jobs_taken++];
    return true;
}

void print_abort(const sdo_job_st &job, FILE *out)
{
    char why[256];
    if (kr_canopen_sdo_client_failure(why, sizeof why)) {
        fprintf(out, "0x%x, %u: %s\n", (unsigned)job.mindex, (unsigned)job.sindex, why);
        return;
    }
    kr_sdo_error_codes_e code = _kr_canopen_sdo_get_error_code();
    fprintf(out, "0x%x, %u: 0x%x: %s\n", (unsigned)job.mindex, (unsigned)job.sindex, (unsigned)code,
            kr_canopen_sdo_error_code_to_str(code));
}

// A failed read is always reported, whatever silent says, and fails the run.
void report_read_error(const sdo_job_st &job, kr_errors_e err)
{
    job_error_plain_stderr("SDO read returned an error:\n");
    if (err == ERR_ABORTED)
        print_abort(job, stderr);
    else
        fprintf(stderr, "0x%x, %u: error %u\n", (unsigned)job.mindex, (unsigned)job.sindex, (unsigned)err);
}

// The bytes of the last upload that actually arrived, at most n.
constexpr uint32_t SDO_SECOND_ANSWER_MS = 100;

// Two devices at one node id both answer, and the first answer need not be the device's (a mix of
// the two can even fail the transfer): the other one comes right behind it, so a read waits that
// long before its result is believed. A failed read has no result to believe: it only checks what
// came, so that two clients refused at once do not wait in step and collide again.
bool answers_agree(const sdo_job_st &job, kr_errors_e err)
{
    if (err == ERR_NONE) kr_rtos_task_delay(SDO_SECOND_ANSWER_MS);
    if (!kr_canopen_sdo_client_answers_differ(job.node_id, true)) return true;
    job_error_plain_stderr("SDO read returned an error:\n0x%x, %u: node 0x%x gave two different answers: two devices "
                           "share this node id.\n",
                           (unsigned)job.mindex, (unsigned)job.sindex, (unsigned)job.node_id);
    return false;
}

uint32_t bytes_arrived(uint32_t n)
{
    // A segmented upload counts what it copied; an expedited one only announces its size.
    uint32_t got = kr_canopen_sdo_client_get_data_index();
    if (got == 0) got = _kr_canopen_sdo_client_get_obj_size();
    return got < n ? got : n;
}

void read_job(const sdo_job_st &job)
{
    if (job.mindex == 0) {
        job_error_plain_stderr("%s", mindex_error);
        return;
    }
    if (!bus_ready("sdoread") || !bus_node_is_other("sdoread", job.node_id)) return;
    uint32_t n = job.datalen ? job.datalen : 4;
    // At least 4 bytes: an expedited answer may carry 4 whatever was asked.
    std::vector<uint8_t> buf(n < 4 ? 4 : n, 0);
    kr_canopen_sdo_client_answers_differ(job.node_id, true);
    kr_errors_e err = _kr_canopen_sdo_client_read(job.node_id, job.mindex, job.sindex, n, buf.data());
    if (!answers_agree(job, err)) return;
    if (err != ERR_NONE) {
        report_read_error(job, err);
        return;
    }
    uint32_t got = bytes_arrived(n);
    if (n <= 4) {
        printf("0x%x\n", (unsigned)kr_get_le(buf.data(), got));
    } else {
        for (uint32_t i = 0; i < got; i++) printf("0x%x ", (unsigned)buf[i]);
    }
    fflush(stdout);
}

void readstr_job(const sdo_job_st &job)
{
    dev.sdo.is_str = true;
    if (job.mindex == 0) {
        job_error_plain_stderr("%s", mindex_error);
        return;
    }
    if (!bus_ready("sdoreadstr") || !bus_node_is_other("sdoreadstr", job.node_id)) return;
    char buf[SDO_STR_MAX_LEN + 1] = {};
    uint32_t n = job.datalen ? job.datalen : SDO_STR_MAX_LEN - job.sindex;
    kr_canopen_sdo_client_answers_differ(job.node_id, true);
    kr_errors_e err = _kr_canopen_sdo_client_read(job.node_id, job.mindex, job.sindex, n, buf);
    if (!answers_agree(job, err)) return;
    if (err != ERR_NONE) {
        report_read_error(job, err);
        return;
    }
    uint32_t got = bytes_arrived(n);
    printf("%.*s\n", (int)strnlen(buf, got), buf);
    fflush(stdout);
}

void write_job(const sdo_job_st &job)
{
    if (job.mindex == 0) {
        job_error_plain("%s", mindex_error);
        return;
    }
    const char *what = job.is_text ? "sdowritestr" : "sdowrite";
    if (!bus_ready(what) || !bus_node_is_other(what, job.node_id)) return;
    std::vector<uint8_t> data;
    uint32_t len;
    if (job.is_text) {
        size_t text_len = std::strlen(job.str);
        len = job.datalen ? job.datalen : (uint32_t)text_len + 1;
        // Zero padding beyond the text (and its terminator); never bytes that follow it in memory.
        data.assign(len < 4 ? 4 : len, 0);
        std::memcpy(data.data(), job.str, text_len < len ? text_len : len);
    } else {
        len = job.datalen;
        // Little-endian; past 4 bytes sign-extended only when given negative. With no length the client
        // sends 4 bytes.
        data.assign(len < 4 ? 4 : len, job.negative ? 0xFF : 0x00);
        uint32_t v = (uint32_t)job.value;
        for (uint32_t i = 0; i < 4 && i < data.size(); i++) data[i] = (uint8_t)(v >> (8 * i));
    }
    kr_errors_e err = _kr_canopen_sdo_client_write(job.node_id, job.mindex, job.sindex, len, data.data());
    // "Wrote" only once the device took it: a failed write never reads as written.
    if (err != ERR_NONE) {
        job_error_plain("SDO write returned an error: %u\n", (unsigned)err);
        if (err == ERR_ABORTED) print_abort(job, stdout);
    } else {
        if (job.is_text)
            printf("Wrote SDO string '%s'\n", job.str);
        else
            printf("Wrote SDO epxedited value '%lld'\n", (long long)job.shown);
        printf("SDO write succesful\n");
    }
    fflush(stdout);
}

void sdo_step(void *)
{
    sdo_job_st job;
    if (!take_job(&job)) return;
    switch (job.kind) {
    case sdo_job_e::read: read_job(job); break;
    case sdo_job_e::readstr: readstr_job(job); break;
    case sdo_job_e::write: write_job(job); break;
    }
}

} // namespace

extern "C" {

bool sdo_value_fits(int64_t v, uint32_t len)
{
    if (len == 0 || len >= 4) return v >= INT32_MIN && v <= (int64_t)UINT32_MAX;
    // Signed or unsigned in len bytes: -0x80..0xFF for one byte.
    int64_t top = (1LL << (8 * len)) - 1;
    int64_t bottom = -(1LL << (8 * len - 1));
    return v >= bottom && v <= top;
}

bool cmd_mindex(const char *arg)
{
    int64_t v;
    if (!cmdline_option_number("mindex", arg, &v)) return false;
    dev.sdo.mindex = (uint16_t)v;
    return true;
}

bool cmd_sindex(const char *arg)
{
    int64_t v;
    if (!cmdline_option_number("sindex", arg, &v)) return false;
    dev.sdo.sindex = (uint8_t)v;
    return true;
}

bool cmd_datalen(const char *arg)
{
    int64_t v;
    if (!cmdline_option_number("datalen", arg, &v)) return false;
    dev.sdo.datalen = (uint32_t)v;
    return true;
}

bool cmd_sdoread(const char *) { return queue_job("sdoread", sdo_job_e::read, sdo_step, nullptr, false); }

bool cmd_sdoreadstr(const char *) { return queue_job("sdoreadstr", sdo_job_e::readstr, sdo_step, nullptr, false); }

// sdowrite and sdowritestr share this callback; the row being run tells them apart, since
// sdowritestr always sends text, even one that reads as a number.
bool cmd_sdowrite(const char *arg)
{
    bool text_only = current_command && std::strcmp(current_command->cmd_long, "sdowritestr") == 0;
    return queue_job(text_only ? "sdowritestr" : "sdowrite", sdo_job_e::write, sdo_step, arg, text_only);
}

} // extern "C"
