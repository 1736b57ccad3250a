// The loadparam command: which files and devices are loaded, the answers to the files' queries, the
// node id each device object is written to, the CAN interface version check, operator sets, and the
// store and reset of every device written.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <string>
#include <vector>

#include "bus/bus.h"
#include "bus/find.h"
#include "run/commands.h"
#include "run/console.h"
#include "database/db.h"
#include "kr_bytes.h"
#include "kr_canopen.h"
#include "kr_memory.h"
#include "kr_rtos.h"
#include "params/loadparam.h"
#include "loadparam_internal.h"
#include "system/system.h"
#include "system/package.h"

namespace {

system_job_queue_st jobs;
// A listed node id that no device object of its file has: the command then fails.
bool filter_unmatched = false;
bool filter_seen[128]; // the listed ids a device of the current file has
// The file that could not be read, for the closing message.
char invalid_file[LOADPARAM_FILE_LEN];

loadparam_st &L() { return dev.loadparam; }

// The operators stored during the run, for a closing message that says what was stored.
std::string op_stores;

void note_operator_stored(uint8_t node, uint32_t op)
{
    char item[48];
    std::snprintf(item, sizeof item, "%soperator %u of device 0x%x", op_stores.empty() ? "" : ", ", (unsigned)op,
                  (unsigned)node);
    op_stores += item;
    loadparam_signal_note_stored(op_stores.c_str());
}

std::string partial_note()
{
    if (L().dev_count == 0) return "Nothing was written to the device(s).\n\n";
    if (op_stores.empty())
        return "The target device(s) may be left partially programmed and were\nNOT stored or reset.\n\n";
    return "The target device(s) may be left partially programmed. Only these were stored:\n" + op_stores +
           ".\nNothing else was stored, and no device was reset.\n\n";
}

const char *const nodeid_range = "each node id must be in the range 1..127 (0x1..0x7f), at most %u of them.\n";

bool ensure_queries()
{
    if (!L().queries.buffer)
        return kr_vector_init(&L().queries, L().queries_buffer, LOADPARAM_QUERIES_MAX, sizeof(query_st)) == ERR_NONE;
    return true;
}

const query_st *find_query(const char *name)
{
    const query_st *qs = (const query_st *)L().queries.buffer;
    for (uint16_t i = 0; qs && i < L().queries.len; i++)
        if (std::strcmp(qs[i].name, name) == 0) return &qs[i];
    return nullptr;
}

// False at end of input: no answer is ever taken for one.
bool ask_query(query_st *q)
{
    if (loadparam_is_cancelled()) {
        // A stopped load asks nothing more; every transfer fails from here on.
        q->correct_answer = 0;
        return true;
    }
    for (;;) {
        PROMPT("\n\n User input requested: \n  ** %s **:\n", q->question);
        for (uint32_t i = 0; i < q->answer_count; i++) PROMPT("    (%i): %s\n", (int)i + 1, q->answers[i]);
        char line[LOADPARAM_ANSWER_LEN];
        bool got = loadparam_read_answer(line, sizeof line);
        if (loadparam_is_cancelled()) {
            // The stop's empty line chose nothing.
            q->correct_answer = 0;
            return true;
        }
        if (!got) return false;
        const char *p = line;
        while (*p == ' ' || *p == '\t') p++;
        char *end = nullptr;
        long v = std::strtol(p, &end, 10);
        if (end == p) v = 1; // no number: the first answer
        if (v >= 1 && v <= q->answer_count) {
            q->correct_answer = (uint8_t)(v - 1);
            std::printf("Query '%s': selected (%i) %s\n", q->name, (int)v, q->answers[v - 1]);
            std::fflush(stdout);
            return true;
        }
        PROMPT("Answer out of bounds. Defaulting to 1.\n");
    }
}

// False when input ended before a question was answered.
bool read_queries(parser_node_st root, const char *path)
{
    parser_node_st qs = parser_find_child(root, "QUERIES");
    if (parser_get_type(qs) != PARSER_ARRAY) return true;
    uint32_t n = parser_array_get_size(qs);
    parser_node_st qn = parser_array_at(qs, 0);
    for (uint32_t i = 0; i < n; i++, qn = parser_array_next(qn)) {
        query_st q{};
        std::strcpy(q.name, "UNKNOWN");
        parser_node_st name = parser_find_child(qn, "NAME");
        parser_node_st question = parser_find_child(qn, "QUESTION");
        parser_node_st answers = parser_find_child(qn, "ANSWERS");
        bool name_ok = parser_get_type(name) == PARSER_STRING && parser_get_string(name, q.name, sizeof q.name);
        if (!name_ok && parser_node_is_valid(name)) std::strcpy(q.name, "UNKNOWN");
        if (!name_ok || parser_get_type(question) != PARSER_STRING || parser_get_type(answers) != PARSER_ARRAY) {
            job_warning("ERROR in query '%s'. All values not implemented.\n\n", q.name);
            continue;
        }
        parser_get_string(question, q.question, sizeof q.question);
        uint32_t count = parser_array_get_size(answers);
        if (count == 0 || count > 6) {
            job_warning("ERROR in query '%s': it has %u answers; a query takes 1 to 6. It is not asked.\n\n", q.name,
                        (unsigned)count);
            continue;
        }
        bool answers_ok = true;
        parser_node_st an = parser_array_at(answers, 0);
        for (uint32_t a = 0; a < count && answers_ok; a++, an = parser_array_next(an)) {
            answers_ok = parser_get_type(an) == PARSER_STRING &&
                         parser_get_string(an, q.answers[a], sizeof q.answers[a]);
            if (!answers_ok)
                job_warning("ERROR in query '%s': answer %u is no text of at most %zu characters. It is not asked.\n\n",
                            q.name, (unsigned)a + 1, sizeof q.answers[a] - 1);
        }
        if (!answers_ok) continue;
        q.answer_count = (uint8_t)count;
        if (const query_st *done = find_query(q.name)) {
            job_note("Query '%s' was already answered with an answer no %i.\n", q.name, (int)done->correct_answer + 1);
            continue;
        }
        if (!ask_query(&q)) {
            if (!loadparam_is_cancelled())
                job_error("End of input: query '%s' got no answer; nothing of '%s' is loaded.\n", q.name, path);
            return false;
        }
        if (!ensure_queries() || kr_vector_push_back(&L().queries, &q) != ERR_NONE)
            job_warning("Query '%s' cannot be remembered: a run keeps at most %u answers.\n", q.name,
                        (unsigned)LOADPARAM_QUERIES_MAX);
    }
    return true;
}

// A question that input ended before: the device is skipped and the run fails.
bool unanswered = false;

kr_errors_e skip_unanswered(uint8_t addr)
{
    if (!loadparam_is_cancelled()) job_error("End of input: no answer, device 0x%x is not loaded.\n", (unsigned)addr);
    unanswered = true;
    return ERR_SKIPPED;
}

// One of the version prompts: ERR_SKIPPED when the user skipped the device or gave no answer.
kr_errors_e skip_prompt(const char *text, uint8_t addr)
{
    if (loadparam_is_cancelled()) return ERR_SKIPPED;
    PROMPT("%s", text);
    char line[LOADPARAM_ANSWER_LEN];
    if (!loadparam_read_answer(line, sizeof line)) return skip_unanswered(addr);
    return loadparam_answer_skips(line) ? ERR_SKIPPED : ERR_NONE;
}

kr_errors_e check_can_if(parser_node_st d, uint8_t addr)
{
    parser_node_st ver = parser_find_child(d, "CAN IF VERSION");
    parser_node_st mi = parser_find_child(d, "CAN IF MINDEX");
    parser_node_st si = parser_find_child(d, "CAN IF SINDEX");
    char text[512];
    if (!parser_node_is_valid(ver)) {
        std::snprintf(text, sizeof text,
                      "Parameter file didn't contain CAN interface version number for device 0x%x.\nUndefined "
                      "behaviour might occur while loading the parameters.\n\nPress ENTER to continue, type 'skip' to "
                      "skip this device\nor 'skipall' to skip the rest of the parameter file.\n\n",
                      (unsigned)addr);
        if (skip_prompt(text, addr) != ERR_NONE) return ERR_SKIPPED;
        job_note("User selected: continue (no CAN IF version for device 0x%x)\n", (unsigned)addr);
        return ERR_NONE;
    }
    if (!parser_node_is_valid(mi) || !parser_node_is_valid(si)) {
        if (skip_prompt("\"CAN IF MINDEX\" or \"CAN IF SINDEX\" not found in the parameter file.\n\nPress ENTER to "
                        "continue, type 'skip' to skip this device\nor 'skipall' to skip the rest of the parameter "
                        "file.\n\n",
                        addr) != ERR_NONE)
            return ERR_SKIPPED;
        job_note("User selected: continue (CAN IF MINDEX/SINDEX missing)\n");
        return ERR_NONE;
    }
    int64_t version = 0, mindex = 0, sindex = 0;
    if (!loadparam_node_int(ver, &version) || !loadparam_int_fits(version, 2, false) ||
        !loadparam_node_int(mi, &mindex) || mindex < 0 || mindex > 0xFFFF || !loadparam_node_int(si, &sindex) ||
        sindex < 0 || sindex > 0xFF) {
        lp::device_fault(
            "ERROR: \"CAN IF VERSION\", \"CAN IF MINDEX\" or \"CAN IF SINDEX\" of device 0x%x is no 16-bit "
            "version, main index or sub-index.\n",
            (unsigned)addr);
        return ERR_ABORTED;
    }
    LOG("Reading CAN IF from 0x%x", (unsigned)mindex);
    uint8_t buf[2] = {0, 0};
    kr_errors_e e = loadparam_sdo_read(addr, (uint16_t)mindex, (uint8_t)sindex, 2, buf);
    if (e == ERR_NONE) {
        LOG_OK();
        int32_t dev_version = kr_get_le16(buf);
        e = db_check_can_if_version(&dev.db, (int32_t)(uint16_t)version, dev_version, "parameter file", "device",
                                    &L().skip_file);
        return e == ERR_BUFFER_EMPTY ? skip_unanswered(addr) : e;
    }
    if (!loadparam_is_cancelled()) job_sdo_cause();
    if (skip_prompt("Failed to read CAN interface from the device.\nThe CAN IF VERSION object dictionary entry might "
                    "not be defined.\nPress ENTER to continue, type 'skip' to skip this device\nor 'skipall' to skip "
                    "the rest of the parameter file.\n\n",
                    addr) != ERR_NONE)
        return ERR_SKIPPED;
    job_note("User selected: continue (CAN IF read failed)\n");
    return ERR_NONE;
}

void mark_modified(uint8_t node)
{
    loadparam_st &l = L();
    for (uint32_t i = 0; i < l.dev_count; i++)
        if (l.modified_dev_nodeids[i] == node) return;
    if (l.dev_count < LOADPARAM_MODIFIED_MAX) l.modified_dev_nodeids[l.dev_count++] = node;
}

// The main index an entry names as a plain integer, 0 when it names none (or by a query).
uint16_t entry_main_index(parser_node_st el)
{
    int64_t v = 0;
    parser_node_st m = parser_find_child(el, "MAININDEX");
    if (parser_get_type(m) != PARSER_INT || !loadparam_node_int(m, &v) || v < 0 || v > 0xFFFF) return 0;
    return (uint16_t)v;
}

// After a stop at entry `stopped`: the PDOs left not valid and those of the later entries.
void name_pdos_left_off(parser_node_st arr, uint32_t stopped)
{
    std::vector<uint16_t> later;
    uint32_t n = parser_array_get_size(arr);
    parser_node_st el = parser_array_at(arr, 0);
    for (uint32_t i = 0; i < n; i++, el = parser_array_next(el)) {
        uint16_t m = i > stopped ? entry_main_index(el) : 0;
        if (loadparam_pdo_is(m)) later.push_back(m);
    }
    loadparam_pdo_left_off(later.data(), (uint32_t)later.size());
}

kr_errors_e write_entries(parser_node_st arr, const char *what, uint32_t op)
{
    uint8_t node = db_get_nodeid(&dev.db);
    uint32_t n = parser_array_get_size(arr);
    parser_node_st el = parser_array_at(arr, 0);
    for (uint32_t i = 0; i < n; i++, el = parser_array_next(el)) {
        if (parser_get_type(el) != PARSER_OBJECT) {
            if (op == 0) {
                lp::device_fault("%s array contained something else\nthan objects at index %i\n", what, (int)i + 1);
                return ERR_ABORTED;
            }
            if (!loadparam_is_cancelled())
                job_error("OPERATORS array contained something else\nthan object at operator %u, parameter index %u\n",
                          (unsigned)op, (unsigned)i + 1);
            continue;
        }
        // Each PDO is restored whole before the next object: a later failure leaves it valid.
        kr_errors_e e = loadparam_pdo_finish_except(node, entry_main_index(el));
        if (e == ERR_NONE) e = load_param(el, 0, 0, "", LOADPARAM_WRITE_SET);
        if (e != ERR_NONE) {
            name_pdos_left_off(arr, i);
            return e;
        }
    }
    kr_errors_e e = loadparam_pdo_finish(node);
    if (e != ERR_NONE) loadparam_pdo_left_off(nullptr, 0);
    return e;
}

// Every entry of the device object read and judged before the first write, so a file that does
// not mean its values leaves the device as it was.
kr_errors_e check_entries(parser_node_st arr)
{
    kr_errors_e err = ERR_NONE;
    uint32_t n = parser_array_get_size(arr);
    parser_node_st el = parser_array_at(arr, 0);
    for (uint32_t i = 0; i < n && err == ERR_NONE; i++, el = parser_array_next(el))
        if (parser_get_type(el) == PARSER_OBJECT) err = load_param(el, 0, 0, "", LOADPARAM_WRITE_SET);
    return err;
}

kr_errors_e check_device_entries(parser_node_st d)
{
    kr_errors_e err = ERR_NONE;
    parser_node_st params = parser_find_child(d, "PARAMS");
    if (parser_get_type(params) == PARSER_ARRAY) err = check_entries(params);
    parser_node_st ops = parser_find_child(d, "OPERATORS");
    uint32_t n = parser_get_type(ops) == PARSER_ARRAY ? parser_array_get_size(ops) : 0;
    parser_node_st list = parser_array_at(ops, 0);
    for (uint32_t k = 0; k < n && err == ERR_NONE; k++, list = parser_array_next(list))
        if (parser_get_type(list) == PARSER_ARRAY) err = check_entries(list);
    return err;
}

struct op_keys_st {
    uint16_t mindex;
    int64_t current;
    uint32_t width;
};

// Operators are given: every key they need must be there, or one operator's values could land in another.
bool operator_keys(parser_node_st d, uint8_t addr, op_keys_st *out)
{
    parser_node_st ops = parser_find_child(d, "OPERATORS");
    parser_node_st opdb = parser_find_child(d, "OPDB_MAININDEX");
    parser_node_st cur = parser_find_child(d, "CURRENT_OP");
    parser_node_st type = parser_find_child(d, "OPDB_TYPE");
    int64_t m = 0, current = 0;
    char type_text[64] = "";
    const char *bad = nullptr;
    if (parser_get_type(ops) != PARSER_ARRAY || parser_array_get_size(ops) > 255)
        bad = "OPERATORS";
    else if (parser_get_type(opdb) != PARSER_INT || !loadparam_node_int(opdb, &m) || m < 0 || m > 0xFFFE)
        bad = "OPDB_MAININDEX";
    else if (parser_get_type(cur) != PARSER_INT || !loadparam_node_int(cur, &current) || current < 0 || current > 254)
        bad = "CURRENT_OP";
    else if (parser_get_type(type) != PARSER_STRING || !parser_get_string(type, type_text, sizeof type_text) ||
             !db_type_name_known(type_text))
        bad = "OPDB_TYPE";
    if (bad) {
        lp::device_fault(
            "ERROR: the operators of device 0x%x cannot be loaded: \"%s\" is missing or of the wrong kind.\n",
            (unsigned)addr, bad);
        return false;
    }
    uint32_t width = canopen_type_width(db_str_to_type(type_text));
    out->mindex = (uint16_t)m;
    out->current = current;
    out->width = width == 1 || width == 2 || width == 4 ? width : 1;
    return true;
}

kr_errors_e write_op_value(uint8_t addr, uint16_t index, uint8_t sub, uint32_t value, uint32_t width)
{
    uint8_t buf[4];
    for (uint32_t i = 0; i < 4; i++) buf[i] = (uint8_t)(value >> (8 * i));
    return loadparam_sdo_write(addr, index, sub, width, buf);
}

kr_errors_e load_operators(parser_node_st d, uint8_t addr)
{
    parser_node_st ops = parser_find_child(d, "OPERATORS");
    parser_node_st opdb = parser_find_child(d, "OPDB_MAININDEX");
    parser_node_st type = parser_find_child(d, "OPDB_TYPE");
    if (!parser_node_is_valid(ops)) {
        if (!parser_node_is_valid(opdb)) job_warning("OPDB_MAININDEX filed not found\n");
        if (parser_node_is_valid(type)) job_warning("OPERATORS array not found from the parameter file.\n\n");
        return ERR_NONE;
    }
    op_keys_st k{};
    if (!operator_keys(d, addr, &k)) return ERR_ABORTED;
    uint32_t width = k.width;
    uint16_t mi = k.mindex;
    int64_t current = k.current;
    uint32_t file_count = parser_array_get_size(ops);

    uint8_t cbuf[2] = {0, 0};
    kr_errors_e e = loadparam_sdo_read(addr, (uint16_t)(mi + 1), 0, 2, cbuf);
    if (e != ERR_NONE) {
        if (!loadparam_is_cancelled()) {
            job_error("Reading the operator count of device 0x%x failed.\n", (unsigned)addr);
            job_sdo_cause();
        }
        return e;
    }
    uint32_t dev_count = kr_get_le16(cbuf);
    while (dev_count < file_count) {
        job_note("Creating new operator by copying operator %u\n", 1u);
        e = write_op_value(addr, mi, 3, 1, width);
        if (e != ERR_NONE) {
            if (!loadparam_is_cancelled()) {
                job_error("Creating an operator on device 0x%x failed.\n", (unsigned)addr);
                job_sdo_cause();
            }
            return e;
        }
        kr_rtos_task_delay(300);
        dev_count++;
    }
    parser_node_st list = parser_array_at(ops, 0);
    for (uint32_t k = 1; k <= file_count; k++, list = parser_array_next(list)) {
        LOG("Changing active operator to op %u...", (unsigned)k);
        e = write_op_value(addr, mi, 1, k, width);
        if (e != ERR_NONE) {
            if (!loadparam_is_cancelled()) {
                job_error("Changing the active operator to op %u failed.\n", (unsigned)k);
                job_sdo_cause();
            }
            return e;
        }
        LOG_OK();
        kr_rtos_task_delay(500);
        LOG("Loading parameters for operator %u", (unsigned)k);
        LOG_END();
        if (parser_get_type(list) != PARSER_ARRAY) {
            lp::device_fault("ERROR: operator %u of device 0x%x is no array of entries.\n", (unsigned)k,
                             (unsigned)addr);
            return ERR_ABORTED;
        }
        e = write_entries(list, "OPERATORS", k);
        if (e != ERR_NONE) return e;
        LOG("Saving the parameters for op %u...", (unsigned)k);
        e = loadparam_store_unsuppressed(addr);
        if (e != ERR_NONE) {
            if (!loadparam_is_cancelled()) {
                job_error("Error encountered when storing the parameters for op %u\n", (unsigned)k);
                job_sdo_cause();
            }
            return e;
        }
        note_operator_stored(addr, k);
        LOG_OK();
        kr_rtos_task_delay(100);
    }
    job_note("Setting the current operator to op %i\n", (int)current + 1);
    e = write_op_value(addr, mi, 1, (uint32_t)current + 1, width);
    if (e != ERR_NONE) {
        if (!loadparam_is_cancelled()) {
            job_error("Setting the current operator of device 0x%x failed.\n", (unsigned)addr);
            job_sdo_cause();
        }
    }
    kr_rtos_task_delay(300);
    return e;
}

// A key given twice in one object would be taken from its first occurrence without a word.
bool keys_unique(parser_node_st node, const char *path, unsigned depth)
{
    parser_types_e kind = parser_get_type(node);
    if ((kind != PARSER_OBJECT && kind != PARSER_ARRAY) || depth > 64) return true;
    if (char key[256]; parser_repeated_key(node, key, sizeof key)) {
        lp::device_fault("ERROR: '%s' gives the key \"%s\" twice in one object.\n", path, key);
        return false;
    }
    parser_node_st c = parser_get_child(node, 0);
    while (parser_node_is_valid(c)) {
        if (!keys_unique(c, path, depth + 1)) return false;
        if (!parser_get_next_sibling(c, &c)) break;
    }
    return true;
}

bool can_if_keys_ok(parser_node_st d)
{
    parser_node_st ver = parser_find_child(d, "CAN IF VERSION");
    parser_node_st mi = parser_find_child(d, "CAN IF MINDEX");
    parser_node_st si = parser_find_child(d, "CAN IF SINDEX");
    if (!parser_node_is_valid(ver) || !parser_node_is_valid(mi) || !parser_node_is_valid(si)) return true;
    int64_t version = 0, mindex = 0, sindex = 0;
    return loadparam_node_int(ver, &version) && loadparam_int_fits(version, 2, false) &&
           loadparam_node_int(mi, &mindex) && mindex >= 0 && mindex <= 0xFFFF && loadparam_node_int(si, &sindex) &&
           sindex >= 0 && sindex <= 0xFF;
}

// One device object's own keys and all its entries, judged as parse_dev and the entry writer would,
// with the answers given: a device a query does not choose is left out, as it is when loading.
kr_errors_e check_device(parser_node_st d, uint32_t index, int depth)
{
    if (parser_get_type(d) != PARSER_OBJECT) {
        lp::device_fault("ERROR: device %u of the parameter file is no object.\n", (unsigned)index + 1);
        return ERR_ABORTED;
    }
    parser_node_st nn = parser_find_child(d, "NODEID");
    uint8_t addr = 0;
    if (parser_node_is_valid(nn)) {
        bool found = false;
        int64_t id = query_get_int(nn, &found);
        if (!found || !system_nodeid_valid((uint32_t)(id < 0 ? 0 : id > 255 ? 255 : id))) {
            lp::device_fault("ERROR: \"NODEID\" of device %u is no node id in the range 1..127 (0x1..0x7f); "
                             "nothing was written.\n",
                             (unsigned)index + 1);
            return ERR_ABORTED;
        }
        addr = (uint8_t)id;
    } else {
        parser_node_st member = parser_node_invalid();
        const query_st *q = loadparam_switch_member(d, &member);
        if (!q) {
            lp::device_fault("ERROR: device %u of the parameter file has neither \"NODEID\" nor a member named "
                             "after an answered query.\n",
                             (unsigned)index + 1);
            return ERR_ABORTED;
        }
        parser_node_st sel = parser_node_invalid();
        if (parser_get_type(member) == PARSER_OBJECT)
            sel = parser_find_child(member, q->answers[q->correct_answer]);
        else if (parser_get_type(member) == PARSER_ARRAY && q->correct_answer < parser_array_get_size(member))
            sel = parser_array_at(member, q->correct_answer);
        if (!parser_node_is_valid(sel)) return ERR_NONE;
        if (parser_get_type(sel) != PARSER_OBJECT || depth >= 16) {
            lp::device_fault("ERROR: the device chosen by query '%s' is no device object.\n", q->name);
            return ERR_ABORTED;
        }
        return check_device(sel, index, depth + 1);
    }
    if (!can_if_keys_ok(d)) {
        lp::device_fault("ERROR: \"CAN IF VERSION\", \"CAN IF MINDEX\" or \"CAN IF SINDEX\" of device 0x%x is no "
                         "16-bit version, main index or sub-index.\n",
                         (unsigned)addr);
        return ERR_ABORTED;
    }
    parser_node_st params = parser_find_child(d, "PARAMS");
    if (parser_get_type(params) != PARSER_ARRAY) {
        lp::device_fault("Couldn't find array type object 'PARAMS' from the parameter file (device 0x%x).\n",
                         (unsigned)addr);
        return ERR_ABORTED;
    }
    uint32_t n = parser_array_get_size(params);
    parser_node_st el = parser_array_at(params, 0);
    for (uint32_t i = 0; i < n; i++, el = parser_array_next(el))
        if (parser_get_type(el) != PARSER_OBJECT) {
            lp::device_fault("PARAMS array contained something else\nthan objects at index %i\n", (int)i + 1);
            return ERR_ABORTED;
        }
    parser_node_st ops = parser_find_child(d, "OPERATORS");
    if (parser_node_is_valid(ops)) {
        op_keys_st k{};
        if (!operator_keys(d, addr, &k)) return ERR_ABORTED;
        uint32_t count = parser_array_get_size(ops);
        parser_node_st list = parser_array_at(ops, 0);
        for (uint32_t op = 1; op <= count; op++, list = parser_array_next(list))
            if (parser_get_type(list) != PARSER_ARRAY) {
                lp::device_fault("ERROR: operator %u of device 0x%x is no array of entries.\n", (unsigned)op,
                                 (unsigned)addr);
                return ERR_ABORTED;
            }
    } else if (n == 0) {
        // A store and reset of a device that was given nothing is no load.
        lp::device_fault("ERROR: device 0x%x of the parameter file has nothing to write: its PARAMS array is empty "
                         "and it has no OPERATORS.\n",
                         (unsigned)addr);
        return ERR_ABORTED;
    }
    return check_device_entries(d);
}

// Every device object of a file, before the first write of the line.
kr_errors_e check_file_devices(parser_node_st root, const char *path)
{
    if (!keys_unique(root, path, 0)) return ERR_ABORTED;
    parser_node_st devs = parser_find_child(root, "DEVS");
    if (parser_get_type(devs) != PARSER_ARRAY) return check_device(root, 0, 0);
    uint32_t n = parser_array_get_size(devs);
    // A load that writes nothing must not end as if it had written a file.
    if (n == 0) {
        lp::device_fault("ERROR: the parameter file names no device: its DEVS array is empty.\n");
        return ERR_ABORTED;
    }
    kr_errors_e err = ERR_NONE;
    parser_node_st el = parser_array_at(devs, 0);
    for (uint32_t i = 0; i < n && err == ERR_NONE; i++, el = parser_array_next(el)) err = check_device(el, i, 0);
    return err;
}

// The questions the files of the line would ask that are not answered yet, by name.
std::vector<std::string> new_queries(const std::vector<parser_node_st> &roots)
{
    std::vector<std::string> names;
    for (parser_node_st root : roots) {
        parser_node_st qs = parser_find_child(root, "QUERIES");
        if (parser_get_type(qs) != PARSER_ARRAY) continue;
        uint32_t n = parser_array_get_size(qs);
        parser_node_st qn = parser_array_at(qs, 0);
        for (uint32_t i = 0; i < n; i++, qn = parser_array_next(qn)) {
            char name[64];
            parser_node_st answers = parser_find_child(qn, "ANSWERS");
            uint32_t count = parser_get_type(answers) == PARSER_ARRAY ? parser_array_get_size(answers) : 0;
            parser_node_st nn = parser_find_child(qn, "NAME");
            if (parser_get_type(nn) != PARSER_STRING || !parser_get_string(nn, name, sizeof name) ||
                parser_get_type(parser_find_child(qn, "QUESTION")) != PARSER_STRING || count == 0 || count > 6)
                continue;
            if (!find_query(name) && std::find(names.begin(), names.end(), name) == names.end())
                names.emplace_back(name);
        }
    }
    return names;
}

// The files of a line read, their questions asked and their devices checked; nothing is written.
// texts get what was read (the caller frees it), roots the documents.
kr_errors_e check_line(const std::vector<std::string> &paths, std::vector<char *> &texts,
                       std::vector<parser_node_st> &roots)
{
    for (const std::string &path : paths) {
        char *text = nullptr;
        parser_node_st root = parser_read_file(path.c_str(), &text);
        if (!parser_node_is_valid(root)) {
            if (!loadparam_is_cancelled())
                job_error("ERROR: the parameter file '%s' cannot be used:\n  %s.\nNo parameters were written. Save the "
                          "file again with --saveparam\n(or the UI's \"Save system configuration to file\").\n",
                          path.c_str(), parser_last_error());
            kr_copy_text(invalid_file, sizeof invalid_file, path.c_str());
            L().file_invalid = true;
            std::free(text);
            return ERR_ABORTED;
        }
        job_note("Opened file '%s'. Size: %u bytes, format: %s.\n", path.c_str(),
                 (unsigned)(text ? std::strlen(text) : 0),
                 parser_format_to_str(parser_format_from_filename(path.c_str())));
        texts.push_back(text);
        roots.push_back(root);
    }
    std::vector<std::string> asked = new_queries(roots);
    if (L().queries.len + asked.size() > LOADPARAM_QUERIES_MAX) {
        lp::device_fault("ERROR: the parameter file(s) ask %u question(s) more than the %u a load keeps answers to "
                         "(%u already answered); values keyed by the rest could not be resolved.\n",
                         (unsigned)(L().queries.len + asked.size() - LOADPARAM_QUERIES_MAX),
                         (unsigned)LOADPARAM_QUERIES_MAX, (unsigned)L().queries.len);
        return ERR_ABORTED;
    }
    kr_errors_e err = ERR_NONE;
    for (size_t i = 0; i < roots.size() && err == ERR_NONE; i++) {
        if (!read_queries(roots[i], paths[i].c_str())) {
            unanswered = true;
            return ERR_ABORTED;
        }
        loadparam_set_check_only(true);
        err = check_file_devices(roots[i], paths[i].c_str());
        loadparam_set_check_only(false);
    }
    return err;
}

// Whether a device lives at the node id: heard by the monitor, or answering an SDO request there.
// Two devices at one id after the reset could no longer be told apart.
bool nodeid_taken(uint8_t id)
{
    if (find_node_get_state(id) != DEV_STATE_OFFLINE) return true;
    uint8_t buf[4];
    if (_kr_canopen_sdo_client_read(id, 0x1000, 0, sizeof buf, buf) == ERR_NONE) return true;
    return (uint32_t)_kr_canopen_sdo_get_error_code() != CANOPEN_SDO_ERROR_SDO_PROTOCOL_TIMED_OUT;
}

// Asks whether the device may get the file's node id; true when the user confirmed it.
kr_errors_e confirm_nodeid_change(uint8_t sel, uint8_t file_id)
{
    if (loadparam_is_cancelled()) return ERR_SKIPPED;
    PROMPT("\n\n The node id of the device 0x%x will be changed to 0x%x.\nThe change applies only after the "
           "settings have been saved and the device rebooted.\nMake sure that no other device on the bus uses "
           "the node id 0x%x.\n\nPress ENTER (empty line) to continue loading the parameters,\ntype 'skipall' to "
           "skip the rest of the parameter file,\nor type anything else to skip this device.\n\n",
           (unsigned)sel, (unsigned)file_id, (unsigned)file_id);
    char line[LOADPARAM_ANSWER_LEN];
    if (!loadparam_read_answer(line, sizeof line)) return skip_unanswered(sel); // nobody confirmed the change
    if (!is_empty_line(line)) {
        if (std::strstr(line, "skipall")) {
            job_note("User selected: skip the rest of the parameter file\n");
            L().skip_file = true;
        } else {
            job_note("User selected: skip device 0x%x\n", (unsigned)sel);
        }
        return ERR_SKIPPED;
    }
    job_note("User selected: continue (change the node id 0x%x to 0x%x)\n", (unsigned)sel, (unsigned)file_id);
    if (nodeid_taken(file_id)) {
        job_error("ERROR: node id 0x%x is taken by another device on the bus; device 0x%x keeps its node id and is not "
                  "loaded.\n",
                  (unsigned)file_id, (unsigned)sel);
        return ERR_SKIPPED;
    }
    job_note("Writing new NODEID 0x%x to device 0x%x\n", (unsigned)file_id, (unsigned)sel);
    uint8_t b = file_id;
    kr_errors_e e = loadparam_sdo_write(sel, CANOPEN_NODE_ID_INDEX, 0, 1, &b);
    if (e != ERR_NONE) {
        if (!loadparam_is_cancelled()) {
            job_error("Writing the new NODEID 0x%x failed.\n", (unsigned)file_id);
            job_sdo_cause();
        }
        return ERR_ABORTED;
    }
    return ERR_NONE;
}

kr_errors_e parse_dev_depth(parser_node_st d, int depth)
{
    loadparam_st &l = L();
    parser_node_st nn = parser_find_child(d, "NODEID");
    uint8_t addr = 0;
    bool confirmed = false;
    if (parser_node_is_valid(nn)) {
        bool found = false;
        int64_t id = query_get_int(nn, &found);
        if (!found || !system_nodeid_valid((uint32_t)(id < 0 ? 0 : id > 255 ? 255 : id))) {
            lp::device_fault(
                "ERROR: \"NODEID\" of the device is no node id in the range 1..127 (0x1..0x7f); the device is "
                "not loaded.\n");
            return ERR_ABORTED;
        }
        uint8_t file_id = (uint8_t)id;
        job_note("The NODEID set to 0x%x from the param file\n", (unsigned)file_id);
        addr = file_id;
        bool sel_set = dev.system.forced_nodeid_set;
        uint8_t sel = dev.system.forced_nodeid;
        bool force = dev.system.forcenodeid;
        if (l.nodeid_filter_count[l.current_file] == 1) {
            sel_set = true;
            sel = l.nodeid_filter[l.current_file][0];
            force = true;
        }
        if (loadparam_filter_active()) {
            if (!loadparam_filter_has(file_id)) {
                job_note("Node 0x%x is not in the given node id list, skipping it.\n", (unsigned)file_id);
                return ERR_SKIPPED;
            }
            l.nodeid_filter_matched = true;
            filter_seen[file_id] = true;
        } else if (sel_set && system_nodeid_valid(sel) && l.file_dev_count == 1 && file_id != sel) {
            if (!force) {
                job_warning("The selected node id (0x%x) differs from the node id in the parameter file "
                            "(0x%x).\nLoading the parameters to device 0x%x without changing its node id.\nUse the "
                            "'forcenodeid' command to assign the node id from the parameter file to the device.\n",
                            (unsigned)sel, (unsigned)file_id, (unsigned)sel);
            } else {
                kr_errors_e e = confirm_nodeid_change(sel, file_id);
                if (e != ERR_NONE) return e;
                confirmed = true;
            }
            addr = sel;
        }
    } else {
        parser_node_st member = parser_node_invalid();
        const query_st *q = loadparam_switch_member(d, &member);
        if (!q) {
            kr_errors_e e = ERR_ABORTED;
            lp::device_fault("no \"DATA\" or queries found in device\n");
            if (db_get_nodeid(&dev.db) == 0) {
                lp::device_fault(
                    "NODEID not set. Set it either from the param file or with --nodeid or --db commands.\n");
                e = ERR_CANOPEN_NODE_ID_ENTRY_INVALID;
            }
            return e;
        }
        parser_node_st sel = parser_node_invalid();
        if (parser_get_type(member) == PARSER_OBJECT) {
            sel = query_keyed_select(member, q);
            if (!parser_node_is_valid(sel)) return ERR_SKIPPED;
        } else if (parser_get_type(member) == PARSER_ARRAY && q->correct_answer < parser_array_get_size(member)) {
            sel = parser_array_at(member, q->correct_answer);
        } else {
            job_warning("Query '%s' didn't contain selected answer index %i,\nSkipping this device.\n", q->name,
                        (int)q->correct_answer);
            return ERR_SKIPPED;
        }
        if (parser_get_type(sel) != PARSER_OBJECT || depth >= 16) {
            lp::device_fault("ERROR: the device chosen by query '%s' is no device object.\n", q->name);
            return ERR_ABORTED;
        }
        return parse_dev_depth(sel, depth + 1);
    }

    db_set_nodeid_force(&dev.db, addr);
    loadparam_set_target(addr, confirmed);
    kr_errors_e err = check_can_if(d, addr);
    // A database typed in at the version question carries its own node id: the chosen address holds.
    db_set_nodeid_force(&dev.db, addr);
    if (err != ERR_NONE) return err;

    mark_modified(addr);
    // In a system run too: a device's file may address nodes the system run did not switch off.
    emcy_suppress_node(addr);

    parser_node_st params = parser_find_child(d, "PARAMS");
    if (parser_get_type(params) != PARSER_ARRAY) {
        lp::device_fault("Couldn't find array type object 'PARAMS' from the parameter file.\n");
        return ERR_ABORTED;
    }
    uint32_t n = parser_array_get_size(params);
    if (n == 0)
        job_note("PARAMS array empty, moving to operator specific parameters.\n");
    else
        job_note("Found %u params. Downloading them to the target device 0x%x.\n", (unsigned)n, (unsigned)addr);
    err = write_entries(params, "PARAMS", 0);
    if (err != ERR_NONE) return err;
    return load_operators(d, addr);
}

// The devices of one read and checked file, written in order.
kr_errors_e load_file(parser_node_st root, const char *path)
{
    loadparam_st &l = L();
    l.skip_file = false;
    l.nodeid_filter_matched = false;
    std::memset(filter_seen, 0, sizeof filter_seen);
    kr_errors_e err = ERR_NONE;
    parser_node_st devs = parser_find_child(root, "DEVS");
    if (parser_get_type(devs) == PARSER_ARRAY) {
        uint32_t n = parser_array_get_size(devs);
        l.file_dev_count = n;
        char list[256];
        loadparam_filter_str(list, sizeof list);
        if (loadparam_filter_active())
            job_note("The parameter file contains %u device(s). Loading only the ones with node id %s.\n", (unsigned)n,
                     list);
        else if (n >= 2 && dev.system.forced_nodeid_set)
            job_warning("The parameter file contains %u devices.\nThe selected node id 0x%x is ignored, each "
                        "device is addressed with the node id from the parameter file.\n",
                        (unsigned)n, (unsigned)dev.system.forced_nodeid);
        parser_node_st el = parser_array_at(devs, 0);
        for (uint32_t i = 0; i < n; i++, el = parser_array_next(el)) {
            kr_errors_e r = parse_dev(el);
            if (r != ERR_SKIPPED) err = (kr_errors_e)(err | r);
            if (err != ERR_NONE) break;
            if (l.skip_file) {
                if (i + 1 < n) job_note("Skipping the remaining %u device(s) of '%s'.\n", (unsigned)(n - i - 1), path);
                break;
            }
        }
    } else {
        l.file_dev_count = 1;
        kr_errors_e r = parse_dev(root);
        if (r != ERR_SKIPPED) err = (kr_errors_e)(err | r);
    }
    if (err != ERR_NONE) {
        if (!loadparam_is_cancelled())
            job_error("Error when fetching operator settings.\nLoading the parameters might have failed\n");
        return err;
    }
    if (!l.skip_file && loadparam_filter_active()) {
        // Every listed id must name a device of the file, not only one of them.
        char list[256] = "";
        size_t used = 0;
        for (uint32_t i = 0; i < l.nodeid_filter_count[l.current_file]; i++) {
            uint8_t id = l.nodeid_filter[l.current_file][i];
            if (filter_seen[id & CANOPEN_NODE_ID_MASK]) continue;
            int w = std::snprintf(list + used, sizeof list - used, "%s0x%x", used ? ", " : "", (unsigned)id);
            if (w > 0 && used + (size_t)w < sizeof list) used += (size_t)w;
        }
        if (used > 0) {
            job_error("No device with node id %s was found in '%s'.\n", list, path);
            filter_unmatched = true;
        }
    }
    return ERR_NONE;
}

bool store_and_reset()
{
    loadparam_st &l = L();
    kr_errors_e result = ERR_NONE;
    for (uint32_t i = 0; i < l.dev_count; i++) {
        uint8_t node = l.modified_dev_nodeids[i];
        LOG("Saving the parameters to dev 0x%x...", (unsigned)node);
        kr_errors_e e = loadparam_sdo_store_params(node, MEMORY_ALL_PARAMS);
        result = (kr_errors_e)(result | e);
        // Each device's own store is told, also after an earlier one failed.
        if (e == ERR_NONE) {
            LOG_OK();
        } else {
            LOG_END();
            job_sdo_cause();
        }
        kr_rtos_task_delay(300);
        if (result == ERR_NONE) {
            LOG("Resetting the device 0x%x...", (unsigned)node);
            kr_canopen_nmt_master_send_cmd(node, CANOPEN_NMT_CMD_RESET_NODE);
            LOG_OK();
        } else if (e == ERR_NONE) {
            job_error("The device 0x%x was stored but not reset, as the store of an earlier device failed.\nManual "
                      "reset is necessary.\n\n",
                      (unsigned)node);
        } else {
            // The load fails with it: the device keeps running on parameters that are not in place.
            job_error("The device 0x%x was not reset due to errors. \nManual reset is necessary.\n\n", (unsigned)node);
        }
    }
    return result == ERR_NONE;
}

bool dispatch(const char *stored)
{
    const char *arg = cmdline_load_arg(stored);
    char path[DEV_PATH_LEN] = "";
    uint8_t ids[LOADPARAM_FILTER_MAX];
    uint32_t n = 0;
    if (arg) {
        if (!cmdline_parse_nodeid_list(arg, path, sizeof path, ids, LOADPARAM_FILTER_MAX, &n)) {
            job_error("ERROR: invalid node id in '%s'; ", arg);
            job_error(nodeid_range, (unsigned)LOADPARAM_FILTER_MAX);
            return false;
        }
        bool package = path_ends_with(path, ".krsys") || path_ends_with(path, ".krdev");
        if (n == 1) {
            // A plain file keeps its postfix in its own slot: the files after it are not renumbered.
            if (!path[0] || package) commands_select_nodeid(ids[0], true);
            job_note("Selected Node ID 0x%x\n", (unsigned)ids[0]);
        } else if (n >= 2 && (!path[0] || package)) {
            job_error("ERROR: a list of node ids ('%s') selects the devices of a parameter file; it cannot be used "
                      "with %s.\n",
                      arg, path[0] ? path : "the loaded --dev / --sys devices");
            return false;
        }
    }
    if (path[0] && path_ends_with(path, ".krsys")) {
        uint32_t before = dev.system.dev_count;
        if (!system_set_file(&dev.system, path)) {
            job_error("ERROR: failed to load system package '%s': %s.\n", path, package_error());
            return false;
        }
        return loadparam_devices(before, dev.system.dev_count);
    }
    if (path[0] && path_ends_with(path, ".krdev")) {
        // Writing nothing is no success.
        job_error(".krdev packages carry no parameters; nothing to load from '%s'.\n", path);
        return false;
    }
    if (!path[0]) {
        if (dev.system.dev_count > 0) return loadparam_devices(0, dev.system.dev_count);
        job_error("ERROR: no parameter file given and no devices loaded with --sys / --dev.\n");
        return false;
    }
    return loadparam_run_files(arg);
}

} // namespace

extern "C" {

bool cmd_loadparam(const char *arg) { return system_dispatch_queue(&jobs, arg, 0, loadparam_dispatch_step); }

void loadparam_dispatch_step(void *)
{
    system_job_st job;
    // Each queued step has its job; without one nothing was asked for, and nothing is loaded.
    if (!system_dispatch_take(&jobs, &job)) {
        job_error("ERROR: the parameter load found no queued command.\n");
        return;
    }
    // A bus that did not open is said once, before any question about a device.
    if (!bus_ready("loadparam")) return;
    kr_copy_text(L().dispatch_arg, sizeof L().dispatch_arg, job.arg);
    L().dispatch_nodeids = job.nodeids;
    system_nodeids_st saved;
    system_dispatch_begin(&job.nodeids, &saved);
    // A load that failed has said so through job_error, which fails the run.
    dispatch(job.arg);
    system_dispatch_end(&saved);
}

bool loadparam_read_answer(char *dest, size_t len)
{
    if (!dest || len == 0) return false;
    if (!kr_stdin_getline(dest, len)) {
        dest[0] = '\0';
        return false;
    }
    size_t n = std::strlen(dest);
    bool complete = n > 0 && dest[n - 1] == '\n';
    while (!complete && n + 1 >= len) {
        char rest[256];
        if (!kr_stdin_getline(rest, sizeof rest)) break;
        size_t r = std::strlen(rest);
        complete = r > 0 && rest[r - 1] == '\n';
    }
    while (n > 0 && (dest[n - 1] == '\n' || dest[n - 1] == '\r')) dest[--n] = '\0';
    return true;
}

void loadparam_clear_files(void)
{
    std::memset(L().files, 0, sizeof L().files);
    std::memset(L().nodeid_filter_count, 0, sizeof L().nodeid_filter_count);
}

bool loadparam_set_file(uint32_t index, const char *arg)
{
    loadparam_st &l = L();
    if (index >= LOADPARAM_FILES_MAX) return false;
    l.files[index][0] = '\0';
    l.nodeid_filter_count[index] = 0;
    char path[DEV_PATH_LEN];
    uint8_t ids[LOADPARAM_FILTER_MAX];
    uint32_t n = 0;
    if (!arg || !cmdline_parse_nodeid_list(arg, path, sizeof path, ids, LOADPARAM_FILTER_MAX, &n)) {
        job_error("ERROR: invalid node id list in '%s'; ", arg ? arg : "");
        job_error(nodeid_range, (unsigned)LOADPARAM_FILTER_MAX);
        return false;
    }
    if (!path[0]) {
        job_error("ERROR: no parameter file named in '%s'.\n", arg);
        return false;
    }
    // A cut path could name another file.
    if (std::strlen(arg) >= DEV_PATH_LEN - 1 || std::strlen(path) >= LOADPARAM_FILE_LEN) {
        job_error("ERROR: the path '%s' is longer than %u characters; it is not loaded.\n", path,
                  (unsigned)LOADPARAM_FILE_LEN - 1);
        return false;
    }
    kr_copy_text(l.files[index], LOADPARAM_FILE_LEN, path);
    std::memcpy(l.nodeid_filter[index], ids, n);
    l.nodeid_filter_count[index] = (uint8_t)n;
    return true;
}

bool loadparam_filter_active(void)
{
    const loadparam_st &l = L();
    if (l.current_file >= LOADPARAM_FILES_MAX) return false;
    uint8_t count = l.nodeid_filter_count[l.current_file];
    return count > 1 || (count == 1 && l.file_dev_count >= 2);
}

bool loadparam_filter_has(uint8_t nodeid)
{
    const loadparam_st &l = L();
    if (l.current_file >= LOADPARAM_FILES_MAX) return false;
    for (uint32_t i = 0; i < l.nodeid_filter_count[l.current_file]; i++)
        if (l.nodeid_filter[l.current_file][i] == nodeid) return true;
    return false;
}

void loadparam_filter_str(char *dest, size_t len)
{
    if (!dest || len == 0) return;
    dest[0] = '\0';
    const loadparam_st &l = L();
    if (l.current_file >= LOADPARAM_FILES_MAX) return;
    size_t used = 0;
    for (uint32_t i = 0; i < l.nodeid_filter_count[l.current_file] && used < len; i++) {
        int w = std::snprintf(dest + used, len - used, "%s0x%x", i ? ", " : "",
                              (unsigned)l.nodeid_filter[l.current_file][i]);
        if (w < 0) break;
        used += (size_t)w;
    }
}

void loadparam_queries_reset(void)
{
    if (L().keep_queries && L().queries.buffer) return;
    kr_vector_init(&L().queries, L().queries_buffer, LOADPARAM_QUERIES_MAX, sizeof(query_st));
}

bool loadparam_answer_skips(const char *line)
{
    bool skip = false;
    if (line && std::strstr(line, "skipall")) {
        job_note("User selected: skip the rest of the parameter file\n");
        L().skip_file = true;
        skip = true;
    } else if (line && std::strstr(line, "skip")) {
        job_note("User selected: skip device 0x%x\n", (unsigned)db_get_nodeid(&dev.db));
        skip = true;
    }
    std::fflush(stdout);
    return skip;
}

kr_errors_e parse_dev(parser_node_st devnode) { return parse_dev_depth(devnode, 0); }

bool loadparam_run_files(const char *primary)
{
    loadparam_st &l = L();
    l.current_file = 0;
    l.dev_count = 0;
    l.sys_load_mode = false;
    loadparam_clear_files();
    loadparam_queries_reset();
    bool ok = loadparam_set_file(0, primary);
    uint32_t slot = 1;
    for (uint32_t i = l.dispatch_arg[0] ? 0 : 1; i < dev.argv_count && dev.nonopt_argv; i++) {
        if (slot >= LOADPARAM_FILES_MAX) {
            job_error("ERROR: at most %u parameter files are loaded at once; '%s' is one too many.\n",
                      (unsigned)LOADPARAM_FILES_MAX, dev.nonopt_argv[i]);
            ok = false;
            break;
        }
        ok = loadparam_set_file(slot++, dev.nonopt_argv[i]) && ok;
    }
    if (!ok) {
        job_error("Nothing was loaded.\n");
        loadparam_clear_files();
        return false;
    }
    loadparam_step(nullptr);
    if (loadparam_skipped_count() > 0 && !loadparam_is_cancelled())
        job_error("%u failed parameter(s) were skipped: the device(s) do not hold the whole file.\n",
                  (unsigned)loadparam_skipped_count());
    return l.success && !filter_unmatched && loadparam_skipped_count() == 0;
}

void loadparam_step(void *)
{
    loadparam_st &l = L();
    l.finished = false;
    l.success = false;
    l.file_invalid = false;
    l.force_continue = false;
    filter_unmatched = false;
    lp::wrong_format_seen = false;
    lp::device_fault_seen = false;
    unanswered = false;
    op_stores.clear();
    loadparam_signal_note_stored("");
    invalid_file[0] = '\0';
    loadparam_skipped_reset();
    ensure_queries();
    // Without a bus every transfer would fail and ask: one line says why instead.
    if (!loadparam_is_cancelled() && !bus_ready("the parameter load")) {
        l.finished = true;
        return;
    }
    if (!l.sys_load_mode)
        emcy_suppress_begin();
    else
        emcy_suppress_use_db();

    // Every file of the line is read, its questions asked and its devices checked before the first
    // write: a file that cannot be used leaves every device as it was.
    const uint32_t first_file = l.current_file;
    std::vector<std::string> paths;
    for (uint32_t f = first_file; f < LOADPARAM_FILES_MAX && l.files[f][0]; f++) paths.emplace_back(l.files[f]);
    std::vector<char *> texts;
    std::vector<parser_node_st> roots;
    kr_errors_e err = check_line(paths, texts, roots);
    for (size_t i = 0; i < roots.size() && err == ERR_NONE; i++) {
        l.current_file = first_file + (uint32_t)i;
        err = load_file(roots[i], l.files[l.current_file]);
    }
    l.current_file = first_file + (uint32_t)roots.size();
    for (char *text : texts) std::free(text);

    if (!l.sys_load_mode) emcy_suppress_end();

    std::string note = partial_note();
    const char *partial = note.c_str();
    if (loadparam_is_cancelled()) {
        log_end();
        job_warning("\nParameter loading was stopped by the user.\n%s", partial);
    } else if (l.file_invalid) {
        if (l.dev_count == 0)
            job_error("\nERROR: Parameter loading stopped: the parameter file could not be read.\nNothing was written "
                      "to the device(s).\n\n");
        else
            job_error("\nERROR: Parameter loading stopped: the parameter file '%s' could not be read.\n%s",
                      invalid_file, partial);
    } else if (err != ERR_NONE && unanswered) {
        job_error("\nERROR: Parameter loading stopped: a question got no answer before the input ended.\n%s", partial);
    } else if (err != ERR_NONE && lp::device_fault_seen) {
        job_error("\nERROR: Parameter loading stopped: a device object of the parameter file is in a wrong format (see "
                  "above).\n%s",
                  partial);
    } else if (err != ERR_NONE && lp::wrong_format_seen) {
        job_error("\nERROR: Parameter loading stopped: an entry of the parameter file is in a wrong format.\n%s",
                  partial);
    } else if (err != ERR_NONE) {
        job_error("\nERROR: Parameter loading stopped due to a CANopen communication error.\n%s", partial);
    } else if (l.sys_load_mode) {
        l.success = true;
    } else {
        l.success = store_and_reset();
    }
    if (loadparam_absent_count() > 0 && !loadparam_is_cancelled())
        job_warning("%u object(s) of the file that the device(s) do not have were left out.\n",
                    (unsigned)loadparam_absent_count());
    // Each unanswered question has said so, and failed the run, where it was asked.
    if (unanswered) l.success = false;
    l.finished = true;
}

bool loadparam_check_files(const char *const *paths, uint32_t count)
{
    lp::device_fault_seen = false;
    lp::wrong_format_seen = false;
    unanswered = false;
    L().file_invalid = false;
    ensure_queries();
    std::vector<std::string> list;
    for (uint32_t i = 0; i < count; i++) list.emplace_back(paths[i] ? paths[i] : "");
    std::vector<char *> texts;
    std::vector<parser_node_st> roots;
    kr_errors_e err = check_line(list, texts, roots);
    for (char *text : texts) std::free(text);
    if (err != ERR_NONE && !loadparam_is_cancelled())
        job_error(
            "\nERROR: Parameter loading stopped before the first write.\nNothing was written to the device(s).\n\n");
    return err == ERR_NONE;
}

bool loadparam_load(const char *path)
{
    if (!path || !path[0]) {
        job_error("Give parameter file as a file path to binary file.\n");
        return false;
    }
    loadparam_st &l = L();
    l.current_file = 0;
    l.dev_count = 0;
    l.sys_load_mode = false;
    loadparam_clear_files();
    loadparam_queries_reset();
    if (!loadparam_set_file(0, path)) return false;
    return add_task(loadparam_step);
}

} // extern "C"
