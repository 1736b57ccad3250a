// Saving parameters: reads the non-volatile parameters (and with saveparamall the communication
// objects) of devices over SDO and writes them as a parameter file the loader takes back.
#include <sys/stat.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "bus/bus.h"
#include "run/commands.h"
#include "run/console.h"
#include "database/db.h"
#include "kr_bytes.h"
#include "kr_can.h"
#include "kr_canopen.h"
#include "kr_rtos.h"
#include "params/loadparam.h"
#include "loadparam_internal.h"
#include "system/package.h"
#include "params/saveparam.h"
#include "system/system.h"

namespace {

char cmd_doc[SAVEPARAM_DOC_LEN];
char win_doc[SAVEPARAM_DOC_LEN];
char entry_doc[SAVEPARAM_ENTRY_LEN];
char str_buf[SAVEPARAM_STR_LEN];

device_st *async_device = nullptr;
char async_file[1024];

// Each queued save keeps its own file and all flag, taken when its option is read.
system_job_queue_st jobs;
constexpr uint32_t SAVE_ALL = 1;

// Why a save stopped; the first cause is the one the closing message names.
const char *stop_cause = nullptr;
void stop_because(const char *cause)
{
    if (!stop_cause) stop_cause = cause;
}
const char *const CAUSE_READ = "a CANopen read failed";
const char *const CAUSE_FULL = "the parameter file does not fit in its buffer";

// Which command-line words selected an object, and how many entries the current device saved.
std::vector<bool> word_used;
uint32_t device_entries = 0;

saveparam_st &S() { return dev.saveparam; }

uint8_t db_node() { return db_get_nodeid(&dev.db); }

uint32_t width_of(canopen_object_type_e t)
{
    uint32_t n = canopen_type_width(t);
    return n == 0 || n > 4 ? 4 : n;
}

bool is_array(canopen_object_type_e t) { return canopen_type_is_array(t); }

// What one saved entry is made of: a database object, or a communication object of saveparamall.
struct entry_st {
    const char *name;
    uint16_t mindex;
    uint8_t sindex;
    canopen_object_type_e type;
    const char *type_str;
    db_obj_numsys_e numsys;
    const db_array_child_st *children; // null: elements walked by the device's count
    bool optional;                     // a device may lack it (CiA 301 makes it optional)
};

// A writer refused a text it could not write so that it reads back the same.
void unwritable_text(const char *name, uint16_t mindex, parser_formats_e format)
{
    stop_because("a text cannot be held by the parameter file's format");
    job_error("ERROR: the text of '%s' (0x%x) cannot be written to the %s parameter file.\n", name, (unsigned)mindex,
              parser_format_to_str(format));
}

kr_errors_e read_sdo(uint16_t mindex, uint8_t sindex, uint32_t len, void *data)
{
    return _kr_canopen_sdo_client_read(db_node(), mindex, sindex, len, data);
}

kr_errors_e add_data(parser_writer_st *w, const char *key, uint32_t value, db_obj_numsys_e numsys)
{
    return numsys == DB_OBJ_NUMSYS_HEX ? parser_writer_add_int_hex(w, key, value)
                                       : parser_writer_add_uint(w, key, value);
}

// One integer as the device holds it: its whole value and the width the device gave.
struct scalar_st {
    uint32_t value;
    uint32_t width;
};

// Reads an integer of up to 4 bytes. The device's announced size is its width; without one the
// bytes past the database's width are unspecified, so the database's width holds. A device width
// that is not 1, 2 or 4 bytes refuses the object: no type of the file could load it back.
kr_errors_e read_scalar(const entry_st &e, uint8_t sub, uint32_t db_width, scalar_st *out, bool *sdo_failed)
{
    uint8_t buf[4] = {0, 0, 0, 0};
    kr_errors_e err = read_sdo(e.mindex, sub, sizeof buf, buf);
    if (err != ERR_NONE) {
        *sdo_failed = true;
        return err;
    }
    uint32_t n = _kr_canopen_sdo_client_get_obj_size();
    out->value = kr_get_le32(buf);
    out->width = db_width;
    if (!kr_canopen_sdo_client_size_known()) {
        if (db_width < 4) out->value &= (1u << (8 * db_width)) - 1u;
        return ERR_NONE;
    }
    if (n != 1 && n != 2 && n != 4) {
        log_end();
        job_error("ERROR: '%s' (0x%x:%u) is %u bytes on the device but %u in the database; it cannot be saved.\n",
                  e.name, (unsigned)e.mindex, (unsigned)sub, (unsigned)n, (unsigned)db_width);
        stop_because("an object's width on the device is not one an integer has");
        return ERR_ABORTED;
    }
    if (n != db_width)
        job_warning("'%s' (0x%x:%u) is %u bytes on the device, %u in the database: saved whole, with the device's "
                    "width.\n",
                    e.name, (unsigned)e.mindex, (unsigned)sub, (unsigned)n, (unsigned)db_width);
    out->width = n;
    return ERR_NONE;
}

// The mapping objects' sub-index 0 (the number of mapped entries) is a setting of its own.
bool in_pdo_params(uint16_t mindex, uint16_t base) { return mindex >= base && mindex < base + CANOPEN_PDO_PARAM_SPAN; }

bool is_pdo_mapping(uint16_t mindex)
{
    return in_pdo_params(mindex, CANOPEN_RXPDO_MAPPING_INDEX) || in_pdo_params(mindex, CANOPEN_TXPDO_MAPPING_INDEX);
}

// The widths CiA 301 gives a PDO communication object's sub-indexes, for a device that does not
// say them; other elements take the array's width.
uint32_t element_width(const entry_st &e, uint32_t sub)
{
    bool com = in_pdo_params(e.mindex, CANOPEN_RXPDO_COM_INDEX) || in_pdo_params(e.mindex, CANOPEN_TXPDO_COM_INDEX);
    if (!com || sub == 0 || sub > 6) return width_of(e.type);
    static const uint8_t widths[] = {0, 4, 1, 2, 1, 2, 1};
    return widths[sub];
}

kr_errors_e add_array_element(parser_writer_st *w, const char *name, uint8_t sub, const scalar_st &v,
                              db_obj_numsys_e numsys)
{
    char type[24];
    kr_errors_e we = parser_writer_begin_object(w, nullptr);
    if (we == ERR_NONE && name[0]) we = parser_writer_add_string(w, "INFO", name);
    if (we == ERR_NONE) we = parser_writer_add_int(w, "SUBINDEX", sub);
    // Each element keeps the width the device gave it, so it is written back with that width.
    if (we == ERR_NONE) we = parser_writer_add_string(w, "TYPE", db_type_to_str((canopen_object_type_e)v.width, type));
    if (we == ERR_NONE) we = add_data(w, "DATA", v.value, numsys);
    if (we == ERR_NONE) we = parser_writer_end_object(w);
    return we;
}

kr_errors_e element_too_large(const entry_st &e, kr_errors_e we)
{
    log_end();
    job_error("Parameter '%s' too large to fit to buffer", e.name);
    std::printf("\n");
    std::fflush(stdout);
    stop_because(CAUSE_FULL);
    return we;
}

kr_errors_e add_array_data(parser_writer_st *w, const entry_st &e, bool *sdo_failed)
{
    scalar_st count{};
    kr_errors_e err = read_scalar(e, 0, 1, &count, sdo_failed);
    if (err != ERR_NONE) return err;
    err = parser_writer_begin_array(w, "DATA");
    if (err != ERR_NONE) return err;
    // A mapping restores its count too, also a count of 0 (a mapping that was off).
    if (is_pdo_mapping(e.mindex) && (err = add_array_element(w, "count", 0, count, DB_OBJ_NUMSYS_DEC)) != ERR_NONE)
        return element_too_large(e, err);
    const db_array_child_st *c = e.children;
    for (uint32_t sub = 1; sub <= (count.value & 0xFF) && (c || !e.children);
         sub++, c = c ? c->next_sibling : nullptr) {
        scalar_st v{};
        err = read_scalar(e, (uint8_t)sub, element_width(e, sub), &v, sdo_failed);
        // A gap in the sub-indexes (0x1800:4 is reserved) holds nothing to restore.
        if (err != ERR_NONE && *sdo_failed &&
            _kr_canopen_sdo_get_error_code() == CANOPEN_SDO_ERROR_SUBINDEX_DOES_NOT_EXIST) {
            *sdo_failed = false;
            continue;
        }
        if (err != ERR_NONE) return err;
        LOG("Reading %s (0x%x) [%u/%u]...", e.name, (unsigned)e.mindex, (unsigned)sub, (unsigned)count.value);
        char sub_name[32];
        const char *name = sub_name;
        db_obj_numsys_e numsys = e.numsys;
        if (c) {
            name = c->name.value_str ? c->name.value_str : "";
            numsys = c->numsys;
        } else {
            std::snprintf(sub_name, sizeof sub_name, "sub %u", (unsigned)sub);
        }
        kr_errors_e we = add_array_element(w, name, (uint8_t)sub, v, numsys);
        if (we != ERR_NONE) return element_too_large(e, we);
    }
    return parser_writer_end_array(w);
}

kr_errors_e add_entry(parser_writer_st *dest, const entry_st &e)
{
    parser_writer_st w;
    kr_errors_e err = parser_writer_init(&w, entry_doc, sizeof entry_doc, dest->format);
    if (err == ERR_NONE && e.name[0]) err = parser_writer_add_string(&w, "INFO", e.name);
    if (err != ERR_NONE) {
        unwritable_text(e.name, e.mindex, dest->format);
        job_error("Error in obj 0x%x\n", (unsigned)e.mindex);
        return ERR_ABORTED;
    }
    err = parser_writer_add_int_hex(&w, "MAININDEX", e.mindex);
    // Any other type is read as an integer of the width the device gives it.
    uint32_t bytes = width_of(e.type);
    bool scalar = !is_array(e.type) && e.type != CANOPEN_STRING;
    if (err == ERR_NONE && scalar) err = parser_writer_add_int(&w, "SUBINDEX", e.sindex);
    LOG("Reading %s (0x%x)...", e.name, (unsigned)e.mindex);
    bool sdo_failed = false;
    // A scalar is read first: its "TYPE" is the width the device gives it.
    scalar_st v{};
    canopen_object_type_e type_code = e.type;
    if (err == ERR_NONE && scalar) {
        err = read_scalar(e, e.sindex, bytes, &v, &sdo_failed);
        type_code = (canopen_object_type_e)v.width;
    }
    // The canonical name of the width: the loader knows it whatever the database called the type.
    char type[24];
    if (err == ERR_NONE) err = parser_writer_add_string(&w, "TYPE", db_type_to_str(type_code, type));
    if (err == ERR_NONE && is_array(e.type)) {
        err = add_array_data(&w, e, &sdo_failed);
    } else if (err == ERR_NONE && e.type == CANOPEN_STRING) {
        std::memset(str_buf, 0, sizeof str_buf);
        // One byte less than the buffer: the text always ends inside it.
        err = read_sdo(e.mindex, 0, sizeof str_buf - 1, str_buf);
        if (err != ERR_NONE) {
            sdo_failed = true;
        } else if (_kr_canopen_sdo_client_get_obj_size() > sizeof str_buf - 1) {
            // A cut value would load back wrong.
            log_end();
            job_error("ERROR: '%s' (0x%x) announces %u bytes, more than the %u a string parameter may hold.\n", e.name,
                      (unsigned)e.mindex, (unsigned)_kr_canopen_sdo_client_get_obj_size(),
                      (unsigned)sizeof str_buf - 1);
            stop_because("a string parameter is too long");
            err = ERR_ABORTED;
        } else if (kr_errors_e we = parser_writer_add_string(&w, "DATA", str_buf); we != ERR_NONE) {
            if ((we & 0xFFFFFFu) == ERR_INVALID_DATA) {
                unwritable_text(e.name, e.mindex, dest->format);
            } else {
                log_end();
                job_error("ERROR: the %u characters of '%s' (0x%x) do not fit in one entry of %u bytes.\n",
                          (unsigned)std::strlen(str_buf), e.name, (unsigned)e.mindex, (unsigned)sizeof entry_doc);
                stop_because("a string parameter is too long for the parameter file");
            }
            err = ERR_ABORTED;
        }
    } else if (err == ERR_NONE) {
        err = add_data(&w, "DATA", v.value, e.numsys);
    }
    if (err == ERR_NONE) err = parser_writer_end(&w);
    if (err == ERR_NONE && !parser_writer_array_append_doc(dest, entry_doc)) err = ERR_ABORTED;
    if (err != ERR_NONE && sdo_failed && e.optional &&
        _kr_canopen_sdo_get_error_code() == CANOPEN_SDO_ERROR_OBJECT_DOES_NOT_EXIST) {
        // Nothing to restore, so the file leaves it out and the load leaves it alone.
        log_end();
        job_warning("'%s' (0x%x) does not exist on device 0x%x: it is not saved.\n", e.name, (unsigned)e.mindex,
                    (unsigned)db_node());
        return ERR_NONE;
    }
    if (err != ERR_NONE) {
        job_error("Error in obj 0x%x\n", (unsigned)e.mindex);
        // Only a transfer that failed has an abort code worth showing.
        if (sdo_failed) {
            job_sdo_cause();
            stop_because(CAUSE_READ);
        } else {
            stop_because(CAUSE_FULL);
        }
        return err;
    }
    device_entries++;
    LOG_OK();
    return ERR_NONE;
}

entry_st entry_of(const db_obj_st *obj, const char *info)
{
    entry_st e{};
    e.name = info ? info : "";
    e.mindex = obj->obj.main_index;
    e.sindex = obj->obj.sub_index;
    e.type = obj->obj.type;
    e.type_str = obj->type_str;
    e.numsys = obj->numsys;
    e.children = obj->child_ptr;
    return e;
}

const char *obj_name(const db_obj_st *o) { return o->name.value_str ? o->name.value_str : ""; }

bool have_words()
{
    for (uint32_t i = 0; dev.nonopt_argv && i < dev.argv_count; i++)
        if (dev.nonopt_argv[i] && dev.nonopt_argv[i][0]) return true;
    return false;
}

// Whether the command line's words (if any) select the object: its name or its main index.
bool selected(const db_obj_st *o)
{
    if (!have_words()) return true;
    bool hit = false;
    for (uint32_t i = 0; i < dev.argv_count; i++) {
        const char *a = dev.nonopt_argv[i];
        if (!a || !a[0]) continue;
        char norm[128];
        kr_copy_text(norm, sizeof norm, a);
        str_to_upper_nonspace(norm);
        char *end = nullptr;
        unsigned long v = std::strtoul(a, &end, 0);
        if (std::strcmp(norm, obj_name(o)) == 0 || (end && *end == '\0' && end != a && v == o->obj.main_index)) {
            if (i < word_used.size()) word_used[i] = true;
            hit = true;
        }
    }
    return hit;
}

// The words (or only those that selected nothing yet), quoted and joined.
std::string word_list(bool only_unused)
{
    std::string list;
    for (uint32_t i = 0; i < dev.argv_count && i < word_used.size(); i++) {
        if ((only_unused && word_used[i]) || !dev.nonopt_argv[i] || !dev.nonopt_argv[i][0]) continue;
        list += (list.empty() ? "'" : ", '") + std::string(dev.nonopt_argv[i]) + "'";
    }
    return list;
}

void selection_begin()
{
    stop_cause = nullptr;
    word_used.assign(dev.nonopt_argv ? dev.argv_count : 0, false);
}

kr_errors_e add_params(parser_writer_st *w)
{
    const db_obj_st *objs = (const db_obj_st *)dev.db.objects.buffer;
    for (uint16_t i = 0; objs && i < dev.db.objects.len; i++) {
        const db_obj_st *o = &objs[i];
        if (o->obj_type != DB_OBJ_TYPE_NONVOL_PARAM || !selected(o)) continue;
        kr_errors_e e = param_add_obj(w, o, obj_name(o));
        if (e != ERR_NONE) return e;
    }
    return ERR_NONE;
}

kr_errors_e add_comm(parser_writer_st *w, const char *name, uint16_t mindex, canopen_object_type_e type,
                     const char *type_str)
{
    entry_st e{};
    e.name = name;
    e.mindex = mindex;
    e.type = type;
    e.type_str = type_str;
    // Arrays (identifiers, mappings) read best in hexadecimal; scalars in decimal.
    e.numsys = is_array(type) ? DB_OBJ_NUMSYS_HEX : DB_OBJ_NUMSYS_DEC;
    e.optional = mindex != CANOPEN_NODE_ID_INDEX;
    return add_entry(w, e);
}

kr_errors_e add_comm_objects(parser_writer_st *w)
{
    kr_errors_e e = add_comm(w, "nodeid", CANOPEN_NODE_ID_INDEX, CANOPEN_UNSIGNED8, "CANOPEN_UNSIGNED8");
    if (e == ERR_NONE) e = add_comm(w, "baudrate", 0x5FF7, CANOPEN_UNSIGNED32, "CANOPEN_UNSIGNED32");
    if (e == ERR_NONE)
        e = add_comm(w, "heartbeat producer", CANOPEN_HEARTBEAT_PRODUCER_INDEX, CANOPEN_UNSIGNED16,
                     "CANOPEN_UNSIGNED16");
    if (e == ERR_NONE)
        e = add_comm(w, "heartbeat consumer", CANOPEN_HEARTBEAT_CONSUMER_INDEX, CANOPEN_ARRAY32, "CANOPEN_ARRAY32");
    char name[32];
    const struct {
        const char *fmt;
        uint16_t base;
        uint32_t count;
    } pdos[] = {{"rxpdo %u com", CANOPEN_RXPDO_COM_INDEX, dev.db.rxpdos.len},
                {"rxpdo %u map", CANOPEN_RXPDO_MAPPING_INDEX, dev.db.rxpdos.len},
                {"txpdo %u com", CANOPEN_TXPDO_COM_INDEX, dev.db.txpdos.len},
                {"txpdo %u map", CANOPEN_TXPDO_MAPPING_INDEX, dev.db.txpdos.len}};
    // Each RXPDO's com and map, then each TXPDO's.
    for (uint32_t kind = 0; kind < 4 && e == ERR_NONE; kind += 2)
        for (uint32_t i = 0; i < pdos[kind].count && e == ERR_NONE; i++)
            for (uint32_t k = kind; k < kind + 2 && e == ERR_NONE; k++) {
                std::snprintf(name, sizeof name, pdos[k].fmt, (unsigned)i);
                e = add_comm(w, name, (uint16_t)(pdos[k].base + i), CANOPEN_ARRAY32, "CANOPEN_ARRAY32");
            }
    return e;
}

const db_obj_st *find_role(db_obj_type_e role)
{
    const db_obj_st *objs = (const db_obj_st *)dev.db.objects.buffer;
    for (uint16_t i = 0; objs && i < dev.db.objects.len; i++)
        if (objs[i].obj_type == role) return &objs[i];
    return nullptr;
}

void acknowledge(const char *alert, const char *ack)
{
    PROMPT("%s", alert);
    // The whole line answers this alert, so its rest never answers the next one.
    char line[LOADPARAM_ANSWER_LEN];
    loadparam_read_answer(line, sizeof line);
    job_note("%s", ack);
}

kr_errors_e write_op(const db_obj_st *opdb, uint32_t value)
{
    uint8_t buf[4];
    for (uint32_t i = 0; i < 4; i++) buf[i] = (uint8_t)(value >> (8 * i));
    return _kr_canopen_sdo_client_write(db_node(), opdb->obj.main_index, 1, width_of(opdb->obj.type), buf);
}

// Ends the document and writes it; false when nothing was written.
bool finish_file(parser_writer_st *w, kr_errors_e err, const char *file, const char *end)
{
    std::string unused = err == ERR_NONE ? word_list(true) : "";
    if (!unused.empty()) {
        job_error("ERROR: no object of the database is named or has the main index %s.\n", unused.c_str());
        stop_because("a word selects no object");
        err = ERR_ABORTED;
    }
    if (err == ERR_NONE) err = parser_writer_end_array(w);
    if (err == ERR_NONE) err = parser_writer_end(w);
    log_end();
    if (err != ERR_NONE) {
        stop_because(CAUSE_FULL);
        job_error("ERROR: Parameter saving stopped: %s.\nNo output file was written.\n%s", stop_cause, end);
        return false;
    }
    // Through a link that names no file the save would put a new file in the link's place.
    struct stat link {
    }, target{};
    if (lstat(file, &link) == 0 && S_ISLNK(link.st_mode) && stat(file, &target) != 0) {
        job_error("Failed creating the output file '%s'\n  it is a symbolic link to a file that does not exist.\n",
                  file);
        return false;
    }
    if (!parser_write_file(file, w->format == PARSER_FORMAT_YAML ? w->yaml.start_ptr : w->json.start_ptr)) {
        job_error("Failed creating the output file '%s'\n  %s.\n", file, parser_last_error());
        return false;
    }
    std::printf("All parameters stored successfully to '%s'\n", file);
    std::fflush(stdout);
    return true;
}

bool start_doc(parser_writer_st *w, char *buf, const char *file)
{
    return parser_writer_init(w, buf, SAVEPARAM_DOC_LEN, parser_format_from_filename(file)) == ERR_NONE &&
           parser_writer_begin_array(w, "DEVS") == ERR_NONE;
}

// Puts the database's node-id state back as it was when the guard was made.
struct db_nodeid_kept {
    uint8_t id = 0;
    bool is_set = false, forced = false;
    db_nodeid_kept() { db_get_nodeid_state(&dev.db, &id, &is_set, &forced); }
    ~db_nodeid_kept() { db_set_nodeid_state(&dev.db, id, is_set, forced); }
    db_nodeid_kept(const db_nodeid_kept &) = delete;
    db_nodeid_kept &operator=(const db_nodeid_kept &) = delete;
};

void save_task(void *)
{
    saveparam_save_device(async_device, async_file); // a failed save has said so
    S().finished = true;
    kr_rtos_task_delete(nullptr);
}

} // namespace

extern "C" {

bool cmd_saveparam(const char *arg)
{
    S().all = false;
    // A refused save lets the command line go on, but the run fails.
    if (!arg || !arg[0]) {
        job_error("ERROR: Give filepath to the file where the parameters are stored.\n");
        return true;
    }
    if (std::strlen(arg) >= sizeof S().file) {
        job_error("ERROR: the output path '%s' is longer than %u characters; nothing is saved.\n", arg,
                  (unsigned)sizeof S().file - 1);
        return true;
    }
    if (!db_is_loaded(&dev.db) && dev.system.dev_count == 0) {
        job_error("ERROR: Load a database with --db, or provide one or more device\npackages with --dev, in order to "
                  "use the --saveparam command.\n");
        return true;
    }
    job_note("Parameter file '%s' selected\n", arg);
    kr_copy_text(S().file, sizeof S().file, arg);
    // A save that cannot be queued has said why.
    system_dispatch_queue(&jobs, arg, 0, saveparam_step);
    return true;
}

bool cmd_saveparamall(const char *arg)
{
    uint32_t queued = jobs.queued;
    bool r = cmd_saveparam(arg);
    if (jobs.queued != queued) jobs.jobs[queued % TASKS_LEN].flags = SAVE_ALL;
    S().all = true;
    return r;
}

void saveparam_step(void *)
{
    S().finished = false;
    std::fflush(stdout);
    system_job_st job;
    // Each queued step has its job; without one nothing was asked for, and nothing is saved.
    if (!system_dispatch_take(&jobs, &job)) {
        job_error("ERROR: the parameter save found no queued command.\n");
        S().finished = true;
        return;
    }
    // A bus that did not open is said once, before any question about a device: without it every read
    // would fail, and the version alert would ask about a missing object.
    if (!bus_ready(job.flags & SAVE_ALL ? "saveparamall" : "saveparam")) {
        S().finished = true;
        return;
    }
    // The job's own file and flag; the window's save keeps using the flag last set on the command line.
    bool all_before = S().all;
    S().all = (job.flags & SAVE_ALL) != 0;
    kr_copy_text(S().file, sizeof S().file, job.arg);
    system_nodeids_st saved;
    system_dispatch_begin(&job.nodeids, &saved);
    selection_begin();
    parser_writer_st w;
    kr_errors_e err = start_doc(&w, cmd_doc, S().file) ? ERR_NONE : ERR_ABORTED;
    if (err == ERR_NONE && db_is_loaded(&dev.db)) {
        err = save_device(&w);
    } else {
        for (uint32_t i = 0; i < dev.system.dev_count && err == ERR_NONE; i++)
            err = save_device_from_krdev(&w, dev.system.devs[i].filepath, dev.system.devs[i].nodeid);
    }
    finish_file(&w, err, S().file, "\n"); // a file not written has said why
    system_dispatch_end(&saved);
    S().all = all_before;
    S().finished = true;
}

kr_errors_e save_device_from_krdev(parser_writer_st *writer, const char *krdev_path, uint8_t nodeid)
{
    krdev_st k;
    if (!krdev_path || !krdev_open(&k, krdev_path)) {
        job_error("Failed to open the device package '%s': %s.\n", krdev_path ? krdev_path : "",
                  krdev_path ? package_error() : "no package given");
        return ERR_ABORTED;
    }
    if (!k.database[0]) {
        job_error("Device package '%s' has no DATABASE entry in its krdev.json manifest.\n", krdev_path);
        krdev_close(&k);
        return ERR_ABORTED;
    }
    // This device's node id is forced for its own save only: the next device, or command, finds the
    // selection it was given.
    db_nodeid_kept kept;
    char cwd[1024];
    bool entered = getcwd(cwd, sizeof cwd) && chdir(k.dir) == 0;
    bool loaded = false;
    if (!entered) {
        job_error("Failed to enter the extracted package directory for '%s'.\n", krdev_path);
    } else {
        loaded = cmd_db_in_package(k.database);
        if (loaded && nodeid != 0) db_set_nodeid_force(&dev.db, nodeid);
        // Later relative paths would resolve in the package's folder, which is removed.
        if (chdir(cwd) != 0) {
            job_error("ERROR: could not change back into the folder '%s'.\n", cwd);
            krdev_close(&k);
            return ERR_ABORTED;
        }
    }
    if (!loaded) {
        job_error("Failed to load the database '%s' from package '%s'.\n", k.database, krdev_path);
        krdev_close(&k);
        return ERR_ABORTED;
    }
    job_note("Saving parameters for device '%s' (node 0x%x)\n", krdev_path, (unsigned)db_node());
    kr_errors_e e = save_device(writer);
    // The next device (or command) must not find this one's database.
    db_deinit(&dev.db);
    krdev_close(&k);
    return e;
}

kr_errors_e save_device(parser_writer_st *w)
{
    kr_errors_e err = ERR_NONE;
    // CAN interface version: a missing or unreadable one is only acknowledged.
    const db_obj_st *ifv = find_role(DB_OBJ_TYPE_IF_VERSION);
    bool accepted = false;
    uint32_t dev_version = 0;
    if (ifv) {
        uint8_t buf[4] = {0, 0, 0, 0};
        if (read_sdo(ifv->obj.main_index, ifv->obj.sub_index, width_of(ifv->obj.type), buf) != ERR_NONE) {
            log_end();
            job_sdo_cause();
            acknowledge("ALERT: Could not read CAN interface version\nnumber from device.\nPress anything to "
                        "continue...\n\n",
                        "User acknowledged: CAN IF version read failed\n");
        } else {
            dev_version = kr_get_le32(buf);
            kr_errors_e answer = db_check_can_if_version(&dev.db, (int32_t)dev.db.revision_number, (int32_t)dev_version,
                                                         "database", "device", nullptr);
            if (answer == ERR_BUFFER_EMPTY) job_note("End of input: the CAN interface versions were not accepted.\n");
            accepted = answer == ERR_NONE;
        }
    }
    if (!accepted)
        acknowledge("ALERT: CAN interface version number not defined.\nThe database of device software does not "
                    "define\nCAN interface version number. Parameter saving might result\nin undefined behaviour.\n\n"
                    "Press anything to continue...\n\n",
                    "User acknowledged: CAN IF version not defined\n");

    device_entries = 0;
    err = parser_writer_begin_object(w, nullptr);
    if (err == ERR_NONE && accepted) {
        err = parser_writer_add_int(w, "CAN IF VERSION", (int32_t)dev_version);
        if (err == ERR_NONE) err = parser_writer_add_int_hex(w, "CAN IF MINDEX", ifv->obj.main_index);
        if (err == ERR_NONE) err = parser_writer_add_int(w, "CAN IF SINDEX", ifv->obj.sub_index);
        if (err == ERR_NONE) err = parser_writer_add_string(w, "CAN IF TYPE", ifv->type_str);
    }
    char date[32];
    std::time_t now = std::time(nullptr);
    std::tm tm_now{};
    localtime_r(&now, &tm_now);
    std::strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S", &tm_now);
    if (err == ERR_NONE) err = parser_writer_add_string(w, "DATE", date);
    if (err == ERR_NONE) err = parser_writer_add_int_hex(w, "NODEID", db_node());
    // The name is read one byte short of its buffer, so an over-long one is cut and still terminated.
    char name[SAVEPARAM_NAME_LEN];
    std::memset(name, 0, sizeof name);
    if (read_sdo(CANOPEN_DEVICE_NAME_INDEX, 0, sizeof name - 1, name) != ERR_NONE) name[0] = '\0';
    // The name is the device's own and the loader does not read it: one the writer refuses is left out.
    kr_errors_e name_err = err == ERR_NONE ? parser_writer_add_string(w, "DEVNAME", name) : err;
    if (name_err != ERR_NONE && (name_err & 0xFFFFFFu) != ERR_INVALID_DATA) err = name_err;
    if (name_err != ERR_NONE && (name_err & 0xFFFFFFu) == ERR_INVALID_DATA)
        job_warning("The device name of 0x%x (\"%s\") cannot be written to the parameter file: "
                    "\"DEVNAME\" is left out.\n",
                    (unsigned)db_node(), name);
    if (err == ERR_NONE) err = parser_writer_begin_array(w, "PARAMS");
    if (err == ERR_NONE && S().all) err = add_comm_objects(w);
    if (err != ERR_NONE) return err;

    const db_obj_st *cur_obj = find_role(DB_OBJ_TYPE_CURRENT_OP);
    const db_obj_st *count_obj = find_role(DB_OBJ_TYPE_OP_COUNT);
    const db_obj_st *opdb = find_role(DB_OBJ_TYPE_OPDB);
    uint32_t current = 0, count = 0;
    if (cur_obj) {
        uint8_t buf[4] = {0, 0, 0, 0};
        err = read_sdo(cur_obj->obj.main_index, cur_obj->obj.sub_index, width_of(cur_obj->obj.type), buf);
        if (err != ERR_NONE) {
            job_error("Error in obj 0x%x\n", (unsigned)cur_obj->obj.main_index);
            job_sdo_cause();
            stop_because(CAUSE_READ);
            return err;
        }
        current = kr_get_le32(buf);
    }
    if (count_obj) {
        uint8_t buf[4] = {0, 0, 0, 0};
        err = read_sdo(count_obj->obj.main_index, count_obj->obj.sub_index, width_of(count_obj->obj.type), buf);
        if (err != ERR_NONE) {
            job_error("Error in obj 0x%x\n", (unsigned)count_obj->obj.main_index);
            job_sdo_cause();
            stop_because(CAUSE_READ);
            return err;
        }
        count = kr_get_le32(buf);
    }

    bool no_ops = !opdb || count == 0;
    if (no_ops) {
        err = add_params(w);
        if (err == ERR_NONE) err = parser_writer_end_array(w);
    } else {
        err = parser_writer_end_array(w);
        if (err == ERR_NONE) err = parser_writer_begin_array(w, "OPERATORS");
        bool switched = false;
        for (uint32_t k = 1; k <= count && err == ERR_NONE; k++) {
            LOG("Changing active operator to op %u...", (unsigned)k);
            switched = true;
            err = write_op(opdb, k);
            if (err != ERR_NONE) {
                // Saving on would put another operator's values under operator k.
                log_end();
                job_error("Changing the active operator to op %u failed.\n", (unsigned)k);
                job_sdo_cause();
                break;
            }
            LOG_OK();
            kr_rtos_task_delay(500);
            LOG("Saving parameters for operator %u", (unsigned)k);
            LOG_END();
            err = parser_writer_begin_array(w, nullptr);
            if (err == ERR_NONE) err = add_params(w);
            if (err == ERR_NONE) err = parser_writer_end_array(w);
        }
        if (err == ERR_NONE) err = parser_writer_end_array(w);
        if (err == ERR_NONE) err = parser_writer_add_int(w, "CURRENT_OP", (int32_t)current);
        if (err == ERR_NONE) err = parser_writer_add_int(w, "OPDB_MAININDEX", opdb->obj.main_index);
        if (err == ERR_NONE) err = parser_writer_add_string(w, "OPDB_TYPE", opdb->type_str);
        // The device goes back to its own operator whenever the save moved it, failed or not.
        if (switched) {
            kr_errors_e r = write_op(opdb, current + 1);
            if (r != ERR_NONE) {
                job_error("Setting the active operator back to op %u failed.\n", (unsigned)current + 1);
                job_sdo_cause();
                err = (kr_errors_e)(err | r);
            }
        }
    }
    if (err == ERR_NONE && device_entries == 0) {
        // A file without parameters would restore nothing, and say so to nobody.
        log_end();
        if (have_words())
            job_error("ERROR: none of the words %s selects a parameter of device 0x%x.\n", word_list(false).c_str(),
                      (unsigned)db_node());
        else
            job_error("ERROR: the database of device 0x%x names no non-volatile parameter.\n", (unsigned)db_node());
        stop_because("no parameter was selected");
        err = ERR_ABORTED;
    }
    if (err == ERR_NONE) err = parser_writer_end_object(w);
    if (err == ERR_NONE && no_ops)
        job_warning("\nWARNING: Operator database parameter or operator count parameter not\nfound on the device. All "
                    "parameters were saved in PARAMS array.\n\n");
    return err;
}

kr_errors_e param_add_obj(parser_writer_st *dest, const db_obj_st *obj, const char *info_str)
{
    if (!dest || !obj) return ERR_NULL_PTR;
    return add_entry(dest, entry_of(obj, info_str));
}

bool saveparam_save_device(device_st *device, const char *file)
{
    if (!device || !file || !file[0]) {
        job_error("ERROR: saveparam_save_device: no device or file given.\n");
        return false;
    }
    if (!device->filepath[0]) {
        job_error("ERROR: the device has no configuration package, cannot read its\nobject dictionary to save "
                  "parameters. Assign a .krdev file first.\n");
        return false;
    }
    kr_can_set_up(false);
    if (!bus_ready("the parameter save")) return false;
    parser_writer_st w;
    selection_begin();
    kr_errors_e err = start_doc(&w, win_doc, file) ? ERR_NONE : ERR_ABORTED;
    if (err == ERR_NONE) err = save_device_from_krdev(&w, device->filepath, device->nodeid);
    return finish_file(&w, err, file, "");
}

bool saveparam_save_device_async(device_st *device, const char *file)
{
    if (file && std::strlen(file) >= sizeof async_file) {
        // A cut path could name another file.
        job_error("ERROR: the output path '%s' is longer than %u characters; nothing is saved.\n", file,
                  (unsigned)sizeof async_file - 1);
        S().finished = true;
        return false;
    }
    async_device = device;
    kr_copy_text(async_file, sizeof async_file, file);
    S().finished = false;
    if (kr_rtos_task_create(save_task, "saveparam_task", 51200, nullptr, 2, nullptr) != KR_RTOS_PASS) {
        job_error("ERROR: the parameter save could not be started.\n");
        S().finished = true;
        return false;
    }
    return true;
}

} // extern "C"
