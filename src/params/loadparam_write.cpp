// Writing the entries of a parameter file to the selected device: the SDO wrappers (retry, pacing,
// cancel), the failed-write question, query-keyed values, the OR mode and EMCY suppression.
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "run/console.h"
#include "database/db.h"
#include "kr_bytes.h"
#include "kr_can.h"
#include "kr_canopen.h"
#include "kr_memory.h"
#include "kr_rtos.h"
#include "params/loadparam.h"
#include "loadparam_internal.h"

kr_errors_e load_param_depth(parser_node_st obj, uint16_t mindex, canopen_object_type_e objtype, bool is_signed,
                             const char *parent_info, loadparam_write_e write_mode, int depth);

namespace {

constexpr uint32_t SDO_UNSUPPORTED_ACCESS = 0x06010000u;
constexpr int MAX_DEPTH = 32; // nested entries and query keys

volatile uint32_t progress_counter = 0;
volatile bool load_cancelled = false;
emcy_suppress_st load_emcy_suppress{};
bool emcy_suppressed[128];
emcy_suppress_st emcy_node_obj[128]; // the object each suppressed node was switched off through
bool emcy_suppress_warned = false;

uint8_t target_nodeid = 0;
uint32_t skipped_failures = 0; // failed writes the user chose to skip in this run
uint32_t absent_skipped = 0;   // objects the device does not have, left out in this run
// The main index of the last write left out because its whole object is missing (0: none): an
// array of that object stops there.
uint16_t object_left_out = 0;
bool target_nodeid_confirmed = false;
// While set, entries are read and judged but nothing reaches the bus and no progress is printed.
bool check_only = false;

// A signal that ends the run switches each suppressed node's EMCY messages back on with a frame
// made ready when the node was switched off (a signal handler may only write), and one line says
// what the run had stored.
kr_can_prepared_st emcy_signal_frame[128];
std::atomic<bool> emcy_signal_armed[128];
struct signal_note_st {
    char text[768];
    size_t len;
};
signal_note_st signal_notes[2];
std::atomic<int> signal_note_current{-1};
std::string signal_stored; // what the run has stored so far, for that line

void emcy_signal_cleanup(void)
{
    for (uint32_t node = 1; node < 128; node++)
        if (emcy_signal_armed[node].load()) kr_can_send_prepared(&emcy_signal_frame[node]);
    int i = signal_note_current.load();
    if (i < 0) return;
    ssize_t r = write(STDERR_FILENO, signal_notes[i].text, signal_notes[i].len);
    (void)r;
}

void signal_note_update()
{
    std::string nodes;
    for (uint32_t node = 1; node < 128; node++) {
        if (!emcy_signal_armed[node].load()) continue;
        char id[8];
        std::snprintf(id, sizeof id, "%s0x%x", nodes.empty() ? "" : ", ", (unsigned)node);
        nodes += id;
    }
    int next = signal_note_current.load() == 0 ? 1 : 0;
    signal_note_st &n = signal_notes[next];
    int w = std::snprintf(n.text, sizeof n.text,
                          "The parameter load was stopped by a signal. EMCY messages were switched back on at node(s) "
                          "%s (sent, not confirmed).\n%s%s%s\n",
                          nodes.c_str(), signal_stored.empty() ? "Nothing was stored" : "Only these were stored: ",
                          signal_stored.c_str(),
                          signal_stored.empty() ? ", and no device was reset."
                                                : "; no device "
                                                  "was reset.");
    n.len = w < 0 ? 0 : (size_t)w >= sizeof n.text ? sizeof n.text - 1 : (size_t)w;
    signal_note_current = nodes.empty() ? -1 : next;
}

// Makes the node's re-enable frame ready: an expedited download of 0 to the suppression object.
void emcy_signal_arm(const emcy_suppress_st *s, uint8_t node, uint32_t bytes)
{
    static bool hooked = false;
    if (node < CANOPEN_NODE_ID_MIN || node > CANOPEN_NODE_ID_MAX) return;
    kr_can_message_st m{};
    m.id = CANOPEN_SDO_REQUEST_ID + node;
    m.data_length = 8;
    m.type = CAN_STD;
    m.data[0] = (uint8_t)(0x23u | ((4u - bytes) << 2));
    m.data[1] = (uint8_t)s->mindex;
    m.data[2] = (uint8_t)(s->mindex >> 8);
    m.data[3] = s->sindex;
    emcy_signal_armed[node] = false;
    if (!kr_can_prepare(&m, &emcy_signal_frame[node])) return;
    if (!hooked) kr_add_signal_cleanup(emcy_signal_cleanup);
    hooked = true;
    emcy_signal_armed[node] = true;
    signal_note_update();
}

void emcy_signal_disarm(uint8_t node)
{
    if (node < CANOPEN_NODE_ID_MIN || node > CANOPEN_NODE_ID_MAX || !emcy_signal_armed[node].load()) return;
    emcy_signal_armed[node] = false;
    signal_note_update();
}

// Resolution of a value that may be keyed by queries.
enum class res_e { ok, none, skip };
struct resolved_st {
    res_e r;
    parser_node_st node;
};

resolved_st resolve(parser_node_st obj, int depth)
{
    if (parser_get_type(obj) != PARSER_OBJECT) return {res_e::ok, obj};
    parser_node_st member = parser_node_invalid();
    const query_st *q = loadparam_switch_member(obj, &member);
    if (!q || depth > MAX_DEPTH) return {res_e::none, parser_node_invalid()};
    if (!check_only)
        job_note("Query %s answered: (%u) %s\n", q->name, (unsigned)q->correct_answer + 1u,
                 q->answers[q->correct_answer]);
    switch (parser_get_type(member)) {
    case PARSER_OBJECT: {
        parser_node_st sel = query_keyed_select(member, q);
        if (!parser_node_is_valid(sel)) return {res_e::skip, sel};
        return resolve(sel, depth + 1);
    }
    case PARSER_ARRAY: {
        if (q->correct_answer >= parser_array_get_size(member)) return {res_e::none, parser_node_invalid()};
        parser_node_st el = parser_array_at(member, q->correct_answer);
        parser_types_e t = parser_get_type(el);
        if (t == PARSER_INT || t == PARSER_STRING) return {res_e::ok, el};
        if (t == PARSER_OBJECT) return resolve(el, depth + 1);
        return {res_e::none, parser_node_invalid()};
    }
    default: return {res_e::none, parser_node_invalid()};
    }
}

// The text a scalar node was written with (quotes removed, escapes as they stand).
bool node_text(parser_node_st n, const char **start, size_t *len)
{
    uint32_t l = 0;
    const char *s = parser_get_raw(n, &l);
    if (s == nullptr) return false;
    *start = s;
    *len = l;
    return true;
}

bool is_string_type(canopen_object_type_e t) { return (t & CANOPEN_STRING_MASK) != 0; }

uint32_t type_bytes(canopen_object_type_e t) { return canopen_type_width(t); }

const char *op_name(int op) { return op == 0 ? "read" : op == 1 ? "write" : "store"; }

template <typename F> kr_errors_e with_retry(int op, uint8_t node, uint16_t mindex, F attempt)
{
    uint32_t retries = 0;
    for (;;) {
        kr_errors_e e = attempt();
        if (e == ERR_NONE) {
            if (retries > 0)
                log_ok_line("Node 0x%x SDO %s to 0x%x succeeded on retry %u/%u.", (unsigned)node, op_name(op),
                            (unsigned)mindex, (unsigned)retries, LOADPARAM_RETRIES);
            return e;
        }
        if ((uint32_t)_kr_canopen_sdo_get_error_code() != SDO_UNSUPPORTED_ACCESS || retries >= LOADPARAM_RETRIES ||
            load_cancelled)
            return e;
        retries++;
        job_warning("Node 0x%x rejected SDO %s to 0x%x with UNSUPPORTED ACCESS TO OBJECT, retrying (%u/%u)...\n",
                    (unsigned)node, op_name(op), (unsigned)mindex, (unsigned)retries, LOADPARAM_RETRIES);
        kr_rtos_task_delay(200);
    }
}

void put_le(uint8_t *dest, uint32_t value, uint32_t bytes)
{
    for (uint32_t i = 0; i < bytes && i < 4; i++) dest[i] = (uint8_t)(value >> (8 * i));
}

// Reads the object first in OR mode and ORs its value into *data; *old gets the device's value.
kr_errors_e write_mode_apply(loadparam_write_e mode, uint16_t mindex, uint8_t sindex, canopen_object_type_e objtype,
                             uint32_t *data, uint32_t *old)
{
    *old = 0;
    if (mode != LOADPARAM_WRITE_OR) return ERR_NONE;
    uint8_t buf[4] = {0, 0, 0, 0};
    uint32_t n = type_bytes(objtype);
    kr_errors_e e = loadparam_sdo_read(target_nodeid, mindex, sindex, n, buf);
    if (e != ERR_NONE) return e;
    // The device's value would be cut to the TYPE's width, and its high bytes written back as 0.
    uint32_t size = _kr_canopen_sdo_client_get_obj_size();
    if (kr_canopen_sdo_client_size_known() && size > n) {
        job_error("The device's object 0x%x [%u] is %u bytes wide, wider than the %u-byte TYPE given for it: an OR "
                  "there would cut its value.\n",
                  (unsigned)mindex, (unsigned)sindex, (unsigned)size, (unsigned)n);
        return ERR_INVALID_DATA;
    }
    *old = kr_get_le(buf, n);
    *data |= *old;
    return ERR_NONE;
}

kr_errors_e write_int(const char *label, loadparam_write_e mode, uint16_t mindex, uint8_t sindex,
                      canopen_object_type_e objtype, uint32_t d)
{
    uint32_t file_value = d, old = 0;
    kr_errors_e re = write_mode_apply(mode, mindex, sindex, objtype, &d, &old);
    if (mode == LOADPARAM_WRITE_OR)
        LOG("%s |= 0x%x (0x%x -> 0x%x)", label, (unsigned)file_value, (unsigned)old, (unsigned)d);
    else
        LOG("%s = 0x%x", label, (unsigned)d);
    if (re != ERR_NONE) {
        if (!loadparam_is_cancelled() && re != ERR_INVALID_DATA && !lp::sdo_said_absent())
            job_error("Reading the current value to OR into failed (0x%x [%u])\n", (unsigned)mindex, (unsigned)sindex);
        return re;
    }
    uint8_t buf[4];
    uint32_t n = type_bytes(objtype);
    if (loadparam_pdo_is(mindex)) return loadparam_pdo_write(target_nodeid, mindex, sindex, n, d);
    put_le(buf, d, n);
    return loadparam_sdo_write(target_nodeid, mindex, sindex, n, buf);
}

// A 0x100B entry that would give the device another node id than the one it is addressed with,
// without the user having confirmed that change, is left out.
bool nodeid_write_refused(uint16_t mindex, uint8_t sindex, int64_t value)
{
    if (mindex != CANOPEN_NODE_ID_INDEX || sindex != 0 || value == target_nodeid || target_nodeid_confirmed)
        return false;
    job_warning("Not writing node id 0x%" PRIx64 " to 0x100B of device 0x%x: its node id is kept (confirm a change "
                "with --forcenodeid).\n",
                (uint64_t)value, (unsigned)target_nodeid);
    return true;
}

// A new baud rate takes effect at the device's next reset, which ends the load: the bus must then
// run at it, so it is said before it is written.
void warn_baudrate_change(uint16_t mindex, uint8_t sindex, int64_t value)
{
    if (mindex != 0x5FF7 || sindex != 0) return;
    uint8_t buf[4] = {0, 0, 0, 0};
    if (loadparam_sdo_read(target_nodeid, mindex, sindex, sizeof buf, buf) != ERR_NONE) return;
    if (kr_get_le32(buf) == (uint32_t)value) return;
    job_warning("The baud rate of device 0x%x changes from %u to %u: after the store and reset that end this load "
                "it no longer answers at %u.\n",
                (unsigned)target_nodeid, (unsigned)kr_get_le32(buf), (unsigned)value, (unsigned)kr_get_le32(buf));
}

// A text or bytes entry written: the open log line ends OK, else a note names it.
kr_errors_e said_written(const char *name)
{
    if (log_line_live)
        LOG_OK();
    else
        job_note("'%s' written\n", name);
    return ERR_NONE;
}

// Asks after a failed write; ERR_NONE skips the entry. e holds the transfer's result.
kr_errors_e failed_write(kr_errors_e e, const char *name)
{
    if (!loadparam_is_cancelled()) job_sdo_cause();
    if (lp::ask_skip(name)) return ERR_NONE;
    return e;
}

// A write the device refused because it lacks the object is left out with one line, unasked.
bool left_out_absent(const char *name, uint16_t mindex, uint32_t sub)
{
    if (loadparam_is_cancelled() || !lp::sdo_said_absent()) return false;
    if ((uint32_t)_kr_canopen_sdo_get_error_code() == CANOPEN_SDO_ERROR_OBJECT_DOES_NOT_EXIST) object_left_out = mindex;
    char what[LOADPARAM_INFO_LEN + 32];
    if (name && name[0])
        std::snprintf(what, sizeof what, "'%s' (0x%x:%u)", name, (unsigned)mindex, (unsigned)sub);
    else
        std::snprintf(what, sizeof what, "0x%x:%u", (unsigned)mindex, (unsigned)sub);
    lp::skip_absent(what, "object");
    return true;
}

struct entry_ctx {
    char name[LOADPARAM_INFO_LEN];
    uint16_t mindex;
    uint8_t sindex;
    uint8_t offset;
    canopen_object_type_e type;
    bool is_signed; // the type codes do not say it: only the "TYPE" text does
    loadparam_write_e mode;
};

bool type_text_signed(const char *text) { return std::strstr(text, "SIGNED") && !std::strstr(text, "UNSIGNED"); }

bool is_integer_type(canopen_object_type_e t)
{
    uint32_t n = type_bytes(t);
    return !is_string_type(t) && (n == 1 || n == 2 || n == 4);
}

// The one reading of an integer "DATA" against its "TYPE", for JSON and YAML alike: a number, or a
// text that is a whole number, within the type's own range. Anything else is refused.
bool typed_int(const entry_ctx &c, parser_node_st data, uint32_t sub, int64_t *v)
{
    if (!loadparam_node_int(data, v)) {
        const char *s = nullptr;
        size_t len = 0;
        if (parser_get_type(data) == PARSER_STRING && node_text(data, &s, &len))
            job_error("\"DATA\" of '%s' is the text \"%.*s\", not a whole number for its integer TYPE\n", c.name,
                      (int)(len > 64 ? 64 : len), s);
        else
            job_error("\"DATA\" of '%s' is no integer that fits 32 bits\n", c.name);
        lp::entry_in_wrong_format(c.name);
        return false;
    }
    if (!is_integer_type(c.type)) {
        job_error("no \"TYPE\" given for the integer '%s'\n", c.name);
        lp::entry_in_wrong_format(c.name);
        return false;
    }
    if (!loadparam_int_fits(*v, type_bytes(c.type), c.is_signed)) {
        uint32_t bits = 8 * type_bytes(c.type);
        job_error("the value %" PRId64 " of '%s' is outside the range of its %s %u-bit TYPE\n", *v, c.name,
                  c.is_signed ? "signed" : "unsigned", (unsigned)bits);
        lp::entry_in_wrong_format(c.name);
        return false;
    }
    if (sub > 255) {
        job_error("sub-index %u of '%s' is above 255\n", (unsigned)sub, c.name);
        lp::entry_in_wrong_format(c.name);
        return false;
    }
    return true;
}

kr_errors_e write_string(const entry_ctx &c, const char *text)
{
    uint32_t sub = (uint32_t)c.sindex + c.offset;
    LOG("Writing '%s' (0x%x) = \"%s\"", c.name, (unsigned)c.mindex, text);
    if (c.mode == LOADPARAM_WRITE_OR)
        job_warning("WRITE: OR does not apply to the string '%s'; it is written as is\n", c.name);
    kr_errors_e e = loadparam_sdo_write(target_nodeid, c.mindex, (uint8_t)sub, (uint32_t)std::strlen(text) + 1, text);
    if (e == ERR_NONE) return said_written(c.name);
    if (left_out_absent(c.name, c.mindex, sub)) return ERR_NONE;
    if (!loadparam_is_cancelled()) job_error("Loading string '%s' failed.\n", text);
    return failed_write(e, c.name);
}

// A string value from its node: a quoted text as its format's escapes mean it (through the reader's
// string codec), anything else as written, so digits stay text.
bool string_of(parser_node_st n, char *dest, size_t size, size_t *len)
{
    if (parser_get_string_ptr(n) != nullptr) {
        std::vector<char> all(parser_get_string_len(n) + 1u);
        parser_get_string(n, all.data(), (uint32_t)all.size());
        *len = std::strlen(all.data());
        if (*len + 1 > size) return false;
        std::memcpy(dest, all.data(), *len + 1);
        return true;
    }
    const char *s = nullptr;
    size_t l = 0;
    if (!node_text(n, &s, &l)) return false;
    *len = l;
    if (l + 1 > size) return false;
    std::memcpy(dest, s, l);
    dest[l] = '\0';
    return true;
}

kr_errors_e write_value(const entry_ctx &c, parser_node_st data, uint32_t str_max, int depth);

kr_errors_e write_integer(const entry_ctx &c, parser_node_st data, uint32_t sub, const char *label, bool *well_formed)
{
    int64_t v = 0;
    *well_formed = typed_int(c, data, sub, &v);
    if (!*well_formed) return ERR_ABORTED;
    if (check_only) return ERR_NONE;
    if (nodeid_write_refused(c.mindex, (uint8_t)sub, v)) return ERR_NONE;
    if (loadparam_pdo_left_out(c.mindex)) return ERR_NONE; // said once for the whole PDO
    warn_baudrate_change(c.mindex, (uint8_t)sub, v);
    kr_errors_e e = write_int(label, c.mode, c.mindex, (uint8_t)sub, c.type, (uint32_t)(uint64_t)v);
    if (e == ERR_NONE) {
        LOG_OK();
    } else if (loadparam_pdo_is(c.mindex)) {
        *well_formed = false; // the PDO has told its failure and asked already
    } else if (e == ERR_INVALID_DATA) {
        *well_formed = false; // the file's TYPE does not fit the device: nothing to ask about
        lp::entry_in_wrong_format(c.name);
    } else if (left_out_absent(c.name, c.mindex, sub)) {
        return ERR_NONE;
    }
    return e;
}

kr_errors_e write_array(const entry_ctx &c, parser_node_st arr, int depth)
{
    uint32_t n = parser_array_get_size(arr);
    // Positions past 255 would wrap to sub-index 0: the whole array is refused before anything is written.
    parser_node_st el = parser_array_at(arr, 0);
    for (uint32_t i = 0; i < n; i++, el = parser_array_next(el)) {
        parser_types_e t = parser_get_type(el);
        if ((t == PARSER_INT || t == PARSER_STRING) && (uint32_t)c.offset + i + 1 > 255) {
            job_error("array element %u of '%s' would go to sub-index %u, above 255\n", (unsigned)i, c.name,
                      (unsigned)(c.offset + i + 1));
            lp::entry_in_wrong_format(c.name);
            return ERR_ABORTED;
        }
    }
    el = parser_array_at(arr, 0);
    for (uint32_t i = 0; i < n; i++, el = parser_array_next(el)) {
        parser_types_e t = parser_get_type(el);
        kr_errors_e e = ERR_NONE;
        object_left_out = 0;
        if (t == PARSER_OBJECT) {
            e = load_param_depth(el, c.mindex, c.type, c.is_signed, c.name, c.mode, depth + 1);
        } else if (t == PARSER_INT || t == PARSER_STRING) {
            uint32_t sub = (uint32_t)c.offset + i + 1;
            char label[192];
            std::snprintf(label, sizeof label, "Writing '%s' (0x%x) [%u]", c.name, (unsigned)c.mindex, (unsigned)sub);
            // Faults of the file itself are never asked about.
            bool well_formed = false;
            e = write_integer(c, el, sub, label, &well_formed);
            if (e != ERR_NONE && well_formed) {
                if (!loadparam_is_cancelled()) job_error("Array loading failed for subindex %u\n", (unsigned)sub);
                e = failed_write(e, c.name);
            }
        } else {
            if (!loadparam_is_cancelled())
                job_error("array of object type '%s' not supported\n", parser_type_to_str(t));
        }
        if (e != ERR_NONE) return e;
        if (object_left_out != 0 && object_left_out == c.mindex) return ERR_NONE;
    }
    return ERR_NONE;
}

// A string TYPE whose "DATA" is an array of bytes: one value of exactly those bytes, as the saver
// writes a domain that is no text with one terminator (NULs inside, none at the end, or empty).
kr_errors_e write_bytes(const entry_ctx &c, parser_node_st arr, uint32_t max)
{
    uint32_t n = parser_array_get_size(arr);
    uint32_t sub = (uint32_t)c.sindex + c.offset;
    std::vector<uint8_t> bytes;
    parser_node_st el = parser_array_at(arr, 0);
    for (uint32_t i = 0; i < n && i <= max; i++, el = parser_array_next(el)) {
        int64_t v = -1;
        if (parser_get_type(el) != PARSER_INT || !loadparam_node_int(el, &v) || v < 0 || v > 255) break;
        bytes.push_back((uint8_t)v);
    }
    if (bytes.size() != n || n > max || sub > 255) {
        if (sub > 255)
            job_error("sub-index %u of '%s' is above 255\n", (unsigned)sub, c.name);
        else if (n > max)
            job_error("the %u bytes of '%s' are more than the %u written\n", (unsigned)n, c.name, (unsigned)max);
        else
            job_error("element %u of the bytes of '%s' is no byte (0..255)\n", (unsigned)bytes.size(), c.name);
        lp::entry_in_wrong_format(c.name);
        return ERR_ABORTED;
    }
    if (check_only) return ERR_NONE;
    LOG("Writing '%s' (0x%x) = %u bytes", c.name, (unsigned)c.mindex, (unsigned)n);
    if (c.mode == LOADPARAM_WRITE_OR)
        job_warning("WRITE: OR does not apply to the bytes of '%s'; they are written as they are\n", c.name);
    // An expedited write always carries 1 to 4 bytes: only a block download can carry none.
    uint8_t none = 0;
    kr_errors_e e = ERR_ABORTED;
    if (n > 0)
        e = loadparam_sdo_write(target_nodeid, c.mindex, (uint8_t)sub, n, bytes.data());
    else if (!load_cancelled)
        e = with_retry(1, target_nodeid, c.mindex, [&] {
            return _kr_canopen_sdo_client_block_write(target_nodeid, c.mindex, (uint8_t)sub, 0, &none);
        });
    if (e == ERR_NONE) return said_written(c.name);
    if (left_out_absent(c.name, c.mindex, sub)) return ERR_NONE;
    if (!loadparam_is_cancelled()) job_error("Loading the bytes of '%s' failed.\n", c.name);
    return failed_write(e, c.name);
}

kr_errors_e write_value(const entry_ctx &c, parser_node_st data, uint32_t str_max, int depth)
{
    parser_types_e t = parser_get_type(data);
    if (t == PARSER_ARRAY && is_string_type(c.type)) return write_bytes(c, data, str_max);
    if (t == PARSER_ARRAY && parser_array_get_size(data) == 0 && !canopen_type_is_array(c.type)) {
        // Nothing would be written, yet the device would be stored and reset as if it had been.
        job_error("\"DATA\" of '%s' is an empty array: there is no value to write\n", c.name);
        lp::entry_in_wrong_format(c.name);
        return ERR_ABORTED;
    }
    if (t == PARSER_ARRAY) return write_array(c, data, depth);
    if (t == PARSER_OBJECT) return load_param_depth(data, c.mindex, c.type, c.is_signed, c.name, c.mode, depth + 1);
    // A text is a string only for a string TYPE (or none): for an integer TYPE it must be a number.
    bool as_text = is_string_type(c.type) || (t == PARSER_STRING && c.type == 0);
    if ((t == PARSER_STRING || t == PARSER_INT) && as_text) {
        std::vector<char> text(str_max + 1);
        size_t len = 0;
        if (!string_of(data, text.data(), text.size(), &len)) {
            job_error("the string of '%s' is %zu characters long; at most %u are written\n", c.name, len,
                      (unsigned)str_max);
            lp::entry_in_wrong_format(c.name);
            return ERR_ABORTED;
        }
        uint32_t sub = (uint32_t)c.sindex + c.offset;
        if (sub > 255) {
            job_error("sub-index %u of '%s' is above 255\n", (unsigned)sub, c.name);
            lp::entry_in_wrong_format(c.name);
            return ERR_ABORTED;
        }
        if (check_only) return ERR_NONE;
        return write_string(c, text.data());
    }
    if (t == PARSER_INT || t == PARSER_STRING) {
        uint32_t sub = (uint32_t)c.sindex + c.offset;
        char label[192];
        std::snprintf(label, sizeof label, "Writing '%s' (0x%x)", c.name, (unsigned)c.mindex);
        bool well_formed = false;
        kr_errors_e e = write_integer(c, data, sub, label, &well_formed);
        if (e != ERR_NONE && well_formed) {
            if (!loadparam_is_cancelled()) job_error("Parameter loading failed for subindex %u\n", (unsigned)c.sindex);
            e = failed_write(e, c.name);
        }
        return e;
    }
    job_error("\"DATA\" of '%s' is no integer, string, array or object (%s)\n", c.name, parser_type_to_str(t));
    lp::entry_in_wrong_format(c.name);
    return ERR_ABORTED;
}

// Reads a numeric key; false (entry left out) when it does not resolve, with *err set when it is
// malformed.
bool read_num_key(parser_node_st obj, const char *key, int64_t max, const char *name, int64_t *out, kr_errors_e *err,
                  bool *skip)
{
    parser_node_st n = parser_find_child(obj, key);
    if (!parser_node_is_valid(n)) return true;
    resolved_st r = resolve(n, 0);
    if (r.r != res_e::ok) {
        if (!check_only)
            job_warning("\"%s\" of '%s' does not resolve with the given answers. Skipping this entry.\n", key, name);
        *skip = true;
        return false;
    }
    int64_t v = 0;
    if (parser_get_type(r.node) != PARSER_INT || !loadparam_node_int(r.node, &v) || v < 0 || v > max) {
        if (!loadparam_is_cancelled())
            job_error("\"%s\" of '%s' is no integer from 0 to 0x%" PRIx64 "\n", key, name, (uint64_t)max);
        *err = ERR_ABORTED;
        return false;
    }
    *out = v;
    return true;
}

bool read_str_key(parser_node_st obj, const char *key, char *dest, size_t size, const char *name, bool *present,
                  kr_errors_e *err, bool *skip)
{
    *present = false;
    parser_node_st n = parser_find_child(obj, key);
    if (!parser_node_is_valid(n)) return true;
    *present = true;
    resolved_st r = resolve(n, 0);
    if (r.r != res_e::ok) {
        if (!check_only)
            job_warning("\"%s\" of '%s' does not resolve with the given answers. Skipping this entry.\n", key, name);
        *skip = true;
        return false;
    }
    if (parser_get_type(r.node) != PARSER_STRING || !parser_get_string(r.node, dest, (uint32_t)size)) {
        if (!loadparam_is_cancelled())
            job_error("\"%s\" of '%s' is no text of at most %zu characters\n", key, name, size - 1);
        *err = ERR_ABORTED;
        return false;
    }
    return true;
}

} // namespace

namespace lp {

bool device_fault_seen = false;

void device_fault(const char *format, ...)
{
    device_fault_seen = true;
    va_list ap;
    va_start(ap, format);
    vjob_error(format, ap);
    va_end(ap);
}

bool wrong_format_seen = false;

bool sdo_said_absent()
{
    uint32_t code = (uint32_t)_kr_canopen_sdo_get_error_code();
    return code == CANOPEN_SDO_ERROR_OBJECT_DOES_NOT_EXIST || code == CANOPEN_SDO_ERROR_SUBINDEX_DOES_NOT_EXIST;
}

void skip_absent(const char *name, const char *kind)
{
    absent_skipped++;
    job_warning("Left out %s %s: the device says it does not exist (SDO abort 0x%08x).\n", kind, name,
                (unsigned)_kr_canopen_sdo_get_error_code());
}

bool ask_skip(const char *name)
{
    if (!loadparam_ask_sdo_continue(name)) return false;
    skipped_failures++;
    return true;
}

void entry_in_wrong_format(const char *name)
{
    wrong_format_seen = true;
    if (loadparam_is_cancelled()) return;
    job_error("Parameter in a wrong format\n");
    if (name && name[0])
        job_error("Parameter info: '%s'\n\n", name);
    else
        job_error("'INFO' value not found from the parameter.\n\n");
}

} // namespace lp

extern "C" {

uint32_t loadparam_get_progress_counter(void) { return progress_counter; }
void loadparam_set_cancelled(bool cancelled) { load_cancelled = cancelled; }
bool loadparam_is_cancelled(void) { return load_cancelled; }

void loadparam_skipped_reset(void)
{
    skipped_failures = 0;
    absent_skipped = 0;
}
uint32_t loadparam_skipped_count(void) { return skipped_failures; }
uint32_t loadparam_absent_count(void) { return absent_skipped; }

void loadparam_set_target(uint8_t nodeid, bool nodeid_change_confirmed)
{
    target_nodeid = nodeid;
    target_nodeid_confirmed = nodeid_change_confirmed;
    loadparam_pdo_reset();
}

kr_errors_e loadparam_sdo_write_ex(uint8_t node_id, uint16_t mindex, uint8_t sindex, uint32_t data_len,
                                   const void *data, bool uncancellable)
{
    if (load_cancelled && !uncancellable) return ERR_ABORTED;
    progress_counter = progress_counter + 1;
    kr_errors_e e = with_retry(1, node_id, mindex,
                               [&] { return _kr_canopen_sdo_client_write(node_id, mindex, sindex, data_len, data); });
    if (e == ERR_NONE) kr_rtos_task_delay(10);
    return e;
}

kr_errors_e loadparam_sdo_write(uint8_t node_id, uint16_t mindex, uint8_t sindex, uint32_t data_len, const void *data)
{
    return loadparam_sdo_write_ex(node_id, mindex, sindex, data_len, data, false);
}

kr_errors_e loadparam_sdo_read(uint8_t node_id, uint16_t mindex, uint8_t sindex, uint32_t data_len, void *data)
{
    if (load_cancelled) return ERR_ABORTED;
    progress_counter = progress_counter + 1;
    return with_retry(0, node_id, mindex,
                      [&] { return _kr_canopen_sdo_client_read(node_id, mindex, sindex, data_len, data); });
}

kr_errors_e loadparam_sdo_store_params(uint8_t node_id, uint8_t param_scope)
{
    if (load_cancelled) return ERR_ABORTED;
    return with_retry(2, node_id, CANOPEN_STORE_PARAMS_INDEX,
                      [&] { return kr_canopen_sdo_store_params(node_id, (memory_scope_e)param_scope); });
}

bool is_empty_line(const char *str)
{
    if (!str) return true;
    for (; *str; str++)
        if (*str != ' ' && *str != '\t' && *str != '\r' && *str != '\n') return false;
    return true;
}

bool loadparam_ask_sdo_continue(const char *info)
{
    if (load_cancelled) return false;
    if (dev.loadparam.force_continue) {
        job_note("Force continue: skipping '%s'\n", info);
        return true;
    }
    for (;;) {
        PROMPT("\nWriting the parameter '%s' failed.\nPress ENTER (empty line) to skip it and continue loading the "
               "parameters,\ntype 'f' to force continue, skipping this and any later failing parameter without "
               "asking,\nor type 'q' to quit the whole parameter load.\n\n",
               info);
        char line[LOADPARAM_ANSWER_LEN];
        bool got = loadparam_read_answer(line, sizeof line);
        if (load_cancelled) return false;
        if (!got) {
            // No one is there to answer: a missing parameter is never taken as a success.
            job_note("End of input: quitting the parameter load\n");
            return false;
        }
        const char *p = line;
        while (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n') p++;
        if (*p == '\0') {
            job_note("User selected: skip '%s' and continue\n", info);
            return true;
        }
        if ((*p == 'f' || *p == 'F') && is_empty_line(p + 1)) {
            job_note("User selected: force continue, skipping any failing parameter from now on\n");
            dev.loadparam.force_continue = true;
            return true;
        }
        if ((*p == 'q' || *p == 'Q') && is_empty_line(p + 1)) {
            job_note("User selected: quit the parameter load\n");
            return false;
        }
    }
}

bool loadparam_node_int(parser_node_st node, int64_t *value)
{
    const char *s = nullptr;
    size_t len = 0;
    parser_types_e t = parser_get_type(node);
    if ((t != PARSER_INT && t != PARSER_STRING) || !node_text(node, &s, &len)) return false;
    int64_t v;
    // Far beyond every width a parameter has: such a number is no parameter value.
    constexpr int64_t limit = (int64_t)1 << 40;
    if (db_int_text(s, len, &v) || v > limit || v < -limit) return false;
    *value = v;
    return true;
}

bool loadparam_int_fits(int64_t value, uint32_t bytes, bool is_signed)
{
    if (bytes == 0 || bytes > 4) return false;
    int64_t bits = 8 * (int64_t)bytes;
    int64_t min = is_signed ? -((int64_t)1 << (bits - 1)) : 0;
    int64_t max = is_signed ? ((int64_t)1 << (bits - 1)) - 1 : ((int64_t)1 << bits) - 1;
    return value >= min && value <= max;
}

void loadparam_set_check_only(bool on) { check_only = on; }

void loadparam_signal_note_stored(const char *stored)
{
    signal_stored = stored ? stored : "";
    signal_note_update();
}

const query_st *loadparam_switch_member(parser_node_st obj, parser_node_st *member)
{
    if (parser_get_type(obj) != PARSER_OBJECT) return nullptr;
    const kr_vector_st &qv = dev.loadparam.queries;
    const query_st *qs = (const query_st *)qv.buffer;
    for (uint16_t i = 0; qs && i < qv.len; i++) {
        parser_node_st m = parser_find_child(obj, qs[i].name);
        if (parser_node_is_valid(m)) {
            if (member) *member = m;
            return &qs[i];
        }
    }
    return nullptr;
}

parser_node_st query_keyed_select(parser_node_st qref, const query_st *q)
{
    parser_node_st sel = parser_find_child(qref, q->answers[q->correct_answer]);
    if (!parser_node_is_valid(sel) && !check_only)
        job_warning("Query '%s': chosen answer \"%s\" is not a key in its value object. Skipping this value.\n",
                    q->name, q->answers[q->correct_answer]);
    return sel;
}

int64_t query_get_int(parser_node_st obj, bool *found)
{
    resolved_st r = resolve(obj, 0);
    int64_t v = 0;
    bool ok = r.r == res_e::ok && parser_get_type(r.node) == PARSER_INT && loadparam_node_int(r.node, &v);
    if (found) *found = ok;
    return ok ? v : 0;
}

kr_errors_e load_param(parser_node_st param_obj, uint16_t mindex, canopen_object_type_e objtype,
                       const char *parent_info, loadparam_write_e write_mode)
{
    return load_param_depth(param_obj, mindex, objtype, false, parent_info, write_mode, 0);
}

// ---- EMCY suppression ----

void emcy_suppress_begin(void)
{
    std::memset(emcy_suppressed, 0, sizeof emcy_suppressed);
    emcy_suppress_use_db();
}

void emcy_suppress_use_db(void)
{
    emcy_suppress_warned = false;
    load_emcy_suppress = emcy_suppress_st{};
    if (!db_is_loaded(&dev.db)) {
        load_emcy_suppress = {0x2020, 1, CANOPEN_UNSIGNED8, true};
        return;
    }
    if (!emcy_suppress_find(&load_emcy_suppress)) load_emcy_suppress = emcy_suppress_st{};
}

void emcy_suppress_mark(uint8_t node, const emcy_suppress_st *s)
{
    if (node < CANOPEN_NODE_ID_MIN || node > CANOPEN_NODE_ID_MAX) return;
    emcy_suppressed[node] = true;
    emcy_node_obj[node] = *s;
}

bool emcy_suppress_is_marked(uint8_t node)
{
    return node >= CANOPEN_NODE_ID_MIN && node <= CANOPEN_NODE_ID_MAX && emcy_suppressed[node];
}

kr_errors_e loadparam_store_unsuppressed(uint8_t node)
{
    // A store takes every value as it is now: the suppression must not become the device's setting.
    bool marked = emcy_suppress_is_marked(node);
    if (marked) emcy_suppress_write(&emcy_node_obj[node], node, 0);
    kr_errors_e e = loadparam_sdo_store_params(node, MEMORY_ALL_PARAMS);
    if (marked) emcy_suppress_write(&emcy_node_obj[node], node, 1);
    return e;
}

bool emcy_suppress_find(emcy_suppress_st *out)
{
    const kr_vector_st &v = dev.db.objects;
    const db_obj_st *objs = (const db_obj_st *)v.buffer;
    if (!objs || !db_is_loaded(&dev.db)) return false;
    const db_obj_st *hit = nullptr;
    for (uint16_t i = 0; i < v.len && !hit; i++)
        if (objs[i].obj.main_index == 0x2020 && objs[i].obj.sub_index == 1) hit = &objs[i];
    for (uint16_t i = 0; i < v.len && !hit; i++) {
        const dbvalue_st &n = objs[i].name;
        if (n.type != DBVALUE_STRING || !n.value_str) continue;
        char lower[128];
        kr_copy_text(lower, sizeof lower, n.value_str);
        for (char *p = lower; *p; p++) *p = (char)std::tolower((unsigned char)*p);
        if (std::strstr(lower, "suppress") && std::strstr(lower, "emcy")) hit = &objs[i];
    }
    if (!hit) return false;
    if (out) *out = {hit->obj.main_index, hit->obj.sub_index, hit->obj.type, false};
    return true;
}

bool emcy_suppress_write(const emcy_suppress_st *s, uint8_t node, uint32_t value)
{
    uint8_t buf[4];
    uint32_t n = type_bytes(s->type);
    if (n == 0 || n > 4) n = 1;
    put_le(buf, value, n);
    // Switched off, the node is switched back on by a signal too; switching on needs that no more.
    if (value == 0) emcy_signal_disarm(node);
    kr_errors_e e = loadparam_sdo_write_ex(node, s->mindex, s->sindex, n, buf, value == 0);
    if (e == ERR_NONE && value != 0) emcy_signal_arm(s, node, n);
    if (e == ERR_NONE) {
        job_note("%s EMCY messages on node 0x%x\n", value ? "Suppressing" : "Re-enabling", (unsigned)node);
        return true;
    }
    if (value == 0)
        // Only a node this run switched off is switched on: a failure here is never a missing object.
        job_warning("EMCY messages of node 0x%x could not be switched on again: the device may keep them off "
                    "until it is reset.\n",
                    (unsigned)node);
    else if (s->guessed)
        job_note("Node 0x%x has no \"suppress emcy messages\" parameter; loading with EMCY messages enabled.\n",
                 (unsigned)node);
    else
        job_warning("Failed to suppress EMCY messages on node 0x%x\n", (unsigned)node);
    return false;
}

void emcy_suppress_node(uint8_t node)
{
    if (load_emcy_suppress.mindex == 0) {
        if (!emcy_suppress_warned)
            job_warning("The device defines no \"suppress emcy messages\" parameter.\nLoading the parameters without "
                        "suppressing EMCY messages: the device\nmay emit EMCY warnings while its parameters are "
                        "written.\n");
        emcy_suppress_warned = true;
        return;
    }
    if (node < CANOPEN_NODE_ID_MIN || node > CANOPEN_NODE_ID_MAX || emcy_suppressed[node]) return;
    if (emcy_suppress_write(&load_emcy_suppress, node, 1)) emcy_suppress_mark(node, &load_emcy_suppress);
}

void emcy_suppress_end(void)
{
    for (uint32_t node = 1; node < 128; node++) {
        if (!emcy_suppressed[node]) continue;
        emcy_suppress_write(&emcy_node_obj[node], (uint8_t)node, 0);
        emcy_suppressed[node] = false;
    }
}

} // extern "C"

kr_errors_e load_param_depth(parser_node_st obj, uint16_t mindex, canopen_object_type_e objtype, bool is_signed,
                             const char *parent_info, loadparam_write_e write_mode, int depth)
{
    entry_ctx c{};
    c.mindex = mindex;
    c.type = objtype;
    c.is_signed = is_signed;
    c.mode = write_mode;
    char info[LOADPARAM_INFO_LEN] = "";
    parser_get_string(parser_find_child(obj, "INFO"), info, sizeof info);
    // The name is the parent's, ": ", then its own, cut to fit (it only labels messages).
    c.name[0] = '\0';
    if (parent_info && parent_info[0]) {
        kr_copy_text(c.name, sizeof c.name, parent_info);
        std::strncat(c.name, ": ", sizeof c.name - std::strlen(c.name) - 1);
    }
    std::strncat(c.name, info, sizeof c.name - std::strlen(c.name) - 1);
    if (depth > MAX_DEPTH) {
        job_error("entries nested deeper than %d levels\n", MAX_DEPTH);
        lp::entry_in_wrong_format(c.name);
        return ERR_ABORTED;
    }

    kr_errors_e err = ERR_NONE;
    bool skip = false;
    int64_t v = c.mindex;
    if (read_num_key(obj, "MAININDEX", 0xFFFF, c.name, &v, &err, &skip)) c.mindex = (uint16_t)v;
    v = 0; // sub-index and offset are not inherited
    if (read_num_key(obj, "SUBINDEX", 0xFF, c.name, &v, &err, &skip)) c.sindex = (uint8_t)v;
    v = 0;
    if (read_num_key(obj, "SUBINDEX_OFFSET", 0xFF, c.name, &v, &err, &skip)) c.offset = (uint8_t)v;
    char text[64];
    bool present = false;
    if (read_str_key(obj, "TYPE", text, sizeof text, c.name, &present, &err, &skip) && present) {
        if (db_type_name_known(text)) {
            c.type = db_str_to_type(text);
            c.is_signed = type_text_signed(text);
        } else {
            // Taken as 8 bits, a wider value would be cut to its low byte without a word.
            job_error("unknown TYPE \"%s\" in '%s'\n", text, c.name);
            err = ERR_ABORTED;
        }
    }
    char mode[16];
    if (read_str_key(obj, "WRITE", mode, sizeof mode, c.name, &present, &err, &skip) && present) {
        if (std::strcmp(mode, "SET") == 0) {
            c.mode = LOADPARAM_WRITE_SET;
        } else if (std::strcmp(mode, "OR") == 0) {
            c.mode = LOADPARAM_WRITE_OR;
        } else {
            if (!loadparam_is_cancelled()) job_error("unknown WRITE mode '%s' in '%s' (SET or OR)\n", mode, c.name);
            err = ERR_ABORTED;
        }
    }

    // The data: "DATA", else a query switch member.
    parser_node_st data = parser_find_child(obj, "DATA");
    uint32_t str_max = LOADPARAM_STR_MAX;
    bool have_data = parser_node_is_valid(data);
    if (!have_data) {
        parser_node_st member = parser_node_invalid();
        const query_st *q = loadparam_switch_member(obj, &member);
        if (!q) {
            char key[64] = "";
            parser_get_obj_name(obj, key, sizeof key);
            if (!loadparam_is_cancelled()) job_error("no \"DATA\" or queries found in object '%s'\n", key);
            err = ERR_ABORTED;
        } else if (parser_get_type(member) == PARSER_OBJECT) {
            data = query_keyed_select(member, q);
            if (!parser_node_is_valid(data)) skip = true;
        } else if (parser_get_type(member) == PARSER_ARRAY && q->correct_answer < parser_array_get_size(member)) {
            data = parser_array_at(member, q->correct_answer);
            str_max = LOADPARAM_SWITCH_STR_MAX;
        } else {
            if (!check_only)
                job_warning("Query '%s' has no value at answer index %u for '%s'. Skipping this entry.\n", q->name,
                            (unsigned)q->correct_answer, c.name);
            skip = true;
        }
    }
    if (err != ERR_NONE) {
        lp::entry_in_wrong_format(c.name);
        return err;
    }
    if (skip) return ERR_NONE;
    return write_value(c, data, str_max, depth);
}
