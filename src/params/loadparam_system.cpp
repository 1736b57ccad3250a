// Loading parameters device by device: each device's own file with its package's database, a whole
// system with EMCY messages off and one store and reset at the end, and the window's background jobs.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "run/console.h"
#include "database/db.h"
#include "bus/bus.h"
#include "bus/find.h"
#include "kr_bytes.h"
#include "kr_can.h"
#include "kr_canopen.h"
#include "kr_memory.h"
#include "kr_rtos.h"
#include "ui/krui.h"
#include "params/loadparam.h"
#include "loadparam_internal.h"
#include "system/package.h"
#include "system/system.h"

namespace {

loadparam_st &L() { return dev.loadparam; }

// Inputs of the window's jobs, copied before their tasks start.
device_st *async_load_device = nullptr;
char async_load_file[LOADPARAM_ASYNC_FILE_LEN];
device_st *async_params_devs[LOADPARAM_SYS_MAX];
uint32_t async_params_count = 0;
volatile bool async_params_finished = true;
char async_files[LOADPARAM_BATCH_MAX][LOADPARAM_FILE_LEN];
uint32_t async_file_count = 0;
volatile bool async_files_finished = true;
volatile bool async_files_running = false;
device_st *async_sys_devs[LOADPARAM_SYS_MAX];
uint32_t async_sys_count = 0;
volatile bool async_sys_finished = true;

const char *dev_label(const device_st *d) { return d->devname[0] ? d->devname : d->name; }

// Runs on the bus: a file path a slot cannot hold whole is refused, never cut.
bool path_fits(const char *path)
{
    if (std::strlen(path) < LOADPARAM_FILE_LEN) return true;
    if (!loadparam_is_cancelled())
        job_error("ERROR: the parameter file path '%s' is longer than %u characters; it is not loaded.\n", path,
                  (unsigned)LOADPARAM_FILE_LEN - 1);
    return false;
}

void params_task(void *)
{
    loadparam_sequence_begin();
    bool stopped = false;
    uint32_t n = async_params_count;
    for (uint32_t i = 0; i < n && !stopped; i++) {
        device_st *d = async_params_devs[i];
        if (!d || !d->param_file[0]) continue;
        job_note("Loading parameters to node 0x%x from '%s'\n", (unsigned)d->nodeid, d->param_file);
        if (loadparam_load_device(d, d->param_file)) continue;
        if (loadparam_is_cancelled())
            job_failed(); // the load's closing message said it was stopped
        else
            job_error("Parameter loading to node 0x%x failed.\n", (unsigned)d->nodeid);
        uint32_t remaining = 0;
        for (uint32_t j = i + 1; j < n; j++)
            if (async_params_devs[j] && async_params_devs[j]->param_file[0]) remaining++;
        stopped = remaining == 0 || !loadparam_ask_continue(d->nodeid, remaining);
    }
    loadparam_sequence_end();
    if (stopped && !loadparam_is_cancelled()) job_error("Parameter loading stopped.\n");
    async_params_finished = true;
    kr_rtos_task_delete(nullptr);
}

void files_task(void *)
{
    system_nodeids_st saved;
    system_nodeids_save(&dev.system, &saved);
    system_clear_forced_nodeid(&dev.system);
    loadparam_st &l = L();
    l.current_file = 0;
    l.dev_count = 0;
    l.sys_load_mode = false;
    loadparam_clear_files();
    loadparam_queries_reset();
    for (uint32_t i = 0; i < async_file_count; i++) kr_copy_text(l.files[i], LOADPARAM_FILE_LEN, async_files[i]);
    kr_can_set_up(false);
    loadparam_step(nullptr);
    system_nodeids_restore(&dev.system, &saved);
    if (!loadparam_is_cancelled()) {
        if (l.success && loadparam_skipped_count() == 0)
            std::printf("All %u parameter file(s) loaded.\n", (unsigned)async_file_count);
        else
            job_error("Parameter loading stopped.\n");
        std::fflush(stdout);
    }
    loadparam_set_cancelled(false);
    async_files_running = false;
    async_files_finished = true;
    kr_rtos_task_delete(nullptr);
}

void device_task(void *)
{
    // A failure has said so, or after a cancel the load's closing message said it was stopped.
    if (!loadparam_load_device(async_load_device, async_load_file) && loadparam_is_cancelled()) job_failed();
    L().finished = true;
    kr_rtos_task_delete(nullptr);
}

void sys_task(void *)
{
    if (!loadparam_system(async_sys_devs, async_sys_count) && loadparam_is_cancelled()) job_failed();
    async_sys_finished = true;
    kr_rtos_task_delete(nullptr);
}

bool start(void (*fn)(void *), const char *name, volatile bool *finished)
{
    if (kr_rtos_task_create(fn, name, 51200, nullptr, 2, nullptr) == KR_RTOS_PASS) return true;
    job_error("ERROR: the parameter load could not be started.\n");
    *finished = true;
    return false;
}

uint32_t copy_devices(device_st **dest, device_st **src, uint32_t count)
{
    if (!src) return 0;
    if (count > LOADPARAM_SYS_MAX) count = LOADPARAM_SYS_MAX;
    for (uint32_t i = 0; i < count; i++) dest[i] = src[i];
    return count;
}

} // namespace

extern "C" {

bool load_device_db(device_st *device)
{
    if (!device || !device->filepath[0]) return false;
    krdev_st k;
    if (!krdev_open(&k, device->filepath)) return false;
    bool ok = false;
    char cwd[1024];
    if (k.database[0] && getcwd(cwd, sizeof cwd) && chdir(k.dir) == 0) {
        ok = cmd_db_in_package(k.database);
        // Later relative paths would resolve in the package's folder, which is removed.
        if (chdir(cwd) != 0) {
            if (!loadparam_is_cancelled()) job_error("ERROR: could not change back into the folder '%s'.\n", cwd);
            ok = false;
        }
    }
    krdev_close(&k);
    if (ok && device->nodeid != 0) {
        db_set_nodeid_force(&dev.db, device->nodeid);
        dev.system.forced_nodeid_set = true;
        dev.system.forced_nodeid = device->nodeid;
        dev.system.forcenodeid = false;
    }
    return ok;
}

bool loadparam_load_device_ex(device_st *device, const char *file, bool sys_mode)
{
    if (!device || !file || !file[0]) {
        if (!loadparam_is_cancelled()) job_error("ERROR: loadparam_load_device: no device or file given.\n");
        return false;
    }
    if (!device->filepath[0]) {
        if (!loadparam_is_cancelled())
            job_error("ERROR: the device has no configuration package; assign a .krdev\nfile before loading "
                      "parameters.\n");
        return false;
    }
    if (!path_fits(file)) return false;
    loadparam_st &l = L();
    l.current_file = 0;
    l.dev_count = 0;
    l.success = false;
    loadparam_clear_files();
    loadparam_queries_reset();
    kr_copy_text(l.files[0], LOADPARAM_FILE_LEN, file);
    // The node id the database forces lasts for this run only.
    system_nodeids_st saved;
    system_nodeids_save(&dev.system, &saved);
    if (!load_device_db(device)) {
        if (!loadparam_is_cancelled()) job_error("Failed to load the database of '%s'.\n", device->filepath);
        db_deinit(&dev.db);
        system_nodeids_restore(&dev.system, &saved);
        loadparam_clear_files();
        return false;
    }
    l.sys_load_mode = sys_mode;
    kr_can_set_up(false);
    loadparam_step(nullptr);
    db_deinit(&dev.db);
    system_nodeids_restore(&dev.system, &saved);
    l.sys_load_mode = false;
    if (loadparam_skipped_count() > 0) {
        if (!loadparam_is_cancelled())
            job_error("%u failed parameter(s) were skipped: the device does not hold the whole file.\n",
                      (unsigned)loadparam_skipped_count());
        return false;
    }
    return l.success;
}

bool loadparam_load_device(device_st *device, const char *file)
{
    return loadparam_load_device_ex(device, file, false);
}

uint32_t loadparam_written_nodes(uint8_t *dest, uint32_t capacity)
{
    uint32_t n = L().dev_count < capacity ? L().dev_count : capacity;
    if (dest) std::memcpy(dest, L().modified_dev_nodeids, n);
    return n;
}

void loadparam_sequence_begin(void)
{
    L().keep_queries = false;
    loadparam_queries_reset();
    L().keep_queries = true;
}

void loadparam_sequence_end(void) { L().keep_queries = false; }

bool loadparam_ask_continue(uint8_t nodeid, uint32_t remaining)
{
    if (loadparam_is_cancelled()) return false;
    PROMPT("\n\nLoading the parameters to node 0x%x failed (%s).\n%u device(s) of this load have not been loaded "
           "yet.\n\nType 'abort' to stop the whole load and leave the remaining devices untouched,\nor press "
           "anything to continue with the next device.\n\n",
           (unsigned)nodeid, L().file_invalid ? "the parameter file cannot be used" : "a CANopen transfer failed",
           (unsigned)remaining);
    char line[LOADPARAM_ANSWER_LEN];
    if (!loadparam_read_answer(line, sizeof line)) {
        // Nobody is there to agree to touching more devices.
        job_note("End of input: abort the whole parameter load\n");
        return false;
    }
    if (std::strstr(line, "abort")) {
        job_note("User selected: abort the whole parameter load\n");
        return false;
    }
    job_note("User selected: continue with the next device\n");
    return true;
}

bool loadparam_emcy_suppress_device(device_st *device, uint32_t value, emcy_suppress_st *out)
{
    if (!device || !device->filepath[0] || device->nodeid == 0) return false;
    system_nodeids_st saved;
    system_nodeids_save(&dev.system, &saved);
    bool found = false;
    if (load_device_db(device)) {
        emcy_suppress_st s{};
        found = emcy_suppress_find(&s);
        if (found) {
            if (emcy_suppress_write(&s, device->nodeid, value) && value != 0) emcy_suppress_mark(device->nodeid, &s);
            if (out) *out = s;
        }
    }
    db_deinit(&dev.db);
    system_nodeids_restore(&dev.system, &saved);
    return found;
}

bool loadparam_system(device_st **devices, uint32_t count)
{
    if (count > LOADPARAM_SYS_MAX) count = LOADPARAM_SYS_MAX;
    struct per_dev_st {
        bool has_file;
        bool suppressed;
        emcy_suppress_st emcy;
        bool loaded;
        uint8_t nodes[LOADPARAM_MODIFIED_MAX];
        uint32_t node_count;
    };
    static per_dev_st st[LOADPARAM_SYS_MAX];
    std::memset(st, 0, sizeof st);

    kr_can_set_up(false);
    if (!bus_ready("the system parameter load")) return false;
    // Every device's file is read, asked and checked before the first device is touched.
    const char *files[LOADPARAM_SYS_MAX];
    uint32_t file_count = 0;
    for (uint32_t i = 0; i < count; i++)
        if (devices[i] && devices[i]->param_file[0]) files[file_count++] = devices[i]->param_file;
    loadparam_sequence_begin();
    if (!loadparam_check_files(files, file_count)) {
        loadparam_sequence_end();
        return false;
    }
    loadparam_set_title("Loading system: suppressing EMCY messages...");
    job_note("Suppressing EMCY messages on all devices...\n");
    emcy_suppress_begin();
    uint32_t with_file = 0;
    for (uint32_t i = 0; i < count; i++) {
        device_st *d = devices[i];
        if (!d) continue;
        if (!d->param_file[0]) {
            job_warning("Device '%s' (node 0x%x) has no bundled parameters; skipping.\n", d->name, (unsigned)d->nodeid);
            continue;
        }
        st[i].has_file = true;
        with_file++;
        st[i].suppressed = loadparam_emcy_suppress_device(d, 1, &st[i].emcy);
        if (!st[i].suppressed)
            job_warning("Device '%s' (node 0x%x) defines no \"suppress emcy messages\" parameter.\nIts parameters are "
                        "loaded without suppressing EMCY messages.\n",
                        d->name, (unsigned)d->nodeid);
    }
    if (with_file == 0) {
        loadparam_sequence_end();
        emcy_suppress_end();
        loadparam_reset_title();
        // Writing nothing is no success.
        job_error("ERROR: none of the %u device(s) has bundled parameters, so nothing was loaded. A .krdev package "
                  "carries none: give a parameter file, or a .krsys package whose devices have one.\n",
                  (unsigned)count);
        return false;
    }

    bool aborted = false, failed = false;
    uint32_t position = 0, skipped = 0;
    for (uint32_t i = 0; i < count && !aborted; i++) {
        if (!st[i].has_file) continue;
        device_st *d = devices[i];
        position++;
        char title[256];
        std::snprintf(title, sizeof title, "Loading system: parameters to device %u/%u (%s)", (unsigned)position,
                      (unsigned)with_file, dev_label(d));
        loadparam_set_title(title);
        job_note("\nLoading parameters to node 0x%x from '%s'\n", (unsigned)d->nodeid, d->param_file);
        if (loadparam_load_device_ex(d, d->param_file, true)) {
            st[i].node_count = loadparam_written_nodes(st[i].nodes, LOADPARAM_MODIFIED_MAX);
            // A device the user skipped was not written: it is neither counted, stored nor reset.
            st[i].loaded = st[i].node_count > 0;
            if (!st[i].loaded) job_note("Nothing was written to node 0x%x.\n", (unsigned)d->nodeid);
            // Skipping is the user's choice, as in a run of files: it does not fail the run.
            skipped += !st[i].loaded;
            continue;
        }
        failed = true;
        if (!loadparam_is_cancelled()) job_error("Loading the parameters to node 0x%x failed.\n", (unsigned)d->nodeid);
        uint32_t remaining = 0;
        for (uint32_t j = i + 1; j < count; j++) remaining += st[j].has_file;
        aborted = remaining == 0 || !loadparam_ask_continue(d->nodeid, remaining);
    }
    loadparam_sequence_end();
    if (aborted && !loadparam_is_cancelled())
        job_error("System load stopped. The devices which were already written are stored and reset below.\n");

    // Every node switched off: the devices' own and those their files addressed.
    emcy_suppress_end();

    loadparam_set_title("Loading system: storing parameters...");
    bool reset_any = false;
    for (uint32_t i = 0; i < count; i++) {
        if (!st[i].loaded) continue;
        for (uint32_t k = 0; k < st[i].node_count; k++) {
            uint8_t node = st[i].nodes[k];
            LOG("Saving the parameters to dev 0x%x...", (unsigned)node);
            kr_errors_e e = loadparam_sdo_store_params(node, MEMORY_ALL_PARAMS);
            kr_rtos_task_delay(300);
            if (e == ERR_NONE) {
                LOG_OK();
                continue;
            }
            // A device whose store failed keeps running unreset: its parameters are not in place.
            if (!loadparam_is_cancelled()) job_sdo_cause();
            job_error("The device 0x%x was not reset due to errors. \nManual reset is necessary.\n\n", (unsigned)node);
            st[i].loaded = false;
            failed = true;
        }
        reset_any = reset_any || st[i].loaded;
    }
    loadparam_set_title("Loading system: resetting devices...");
    if (reset_any) job_note("Resetting all devices...\n");
    uint32_t loaded = 0;
    for (uint32_t i = 0; i < count; i++) {
        if (!st[i].loaded) continue;
        loaded++;
        for (uint32_t k = 0; k < st[i].node_count; k++)
            kr_canopen_nmt_master_send_cmd(st[i].nodes[k], CANOPEN_NMT_CMD_RESET_NODE);
    }
    std::printf("\nLoaded parameters to %u/%u device(s).%s\n", (unsigned)loaded, (unsigned)with_file,
                aborted ? " The load was aborted by the user." : "");
    std::fflush(stdout);
    loadparam_reset_title();
    return !failed && !aborted && loaded + skipped == with_file;
}

bool loadparam_devices(uint32_t start, uint32_t end)
{
    if (end > dev.system.dev_count) end = dev.system.dev_count;
    if (start >= end) {
        job_error("ERROR: no devices to load parameters to.\n");
        return false;
    }
    if (end - start > LOADPARAM_SYS_MAX) end = start + LOADPARAM_SYS_MAX;
    system_apply_forced_nodeid(&dev.system, start, end);
    device_st *list[LOADPARAM_SYS_MAX];
    for (uint32_t i = start; i < end; i++) list[i - start] = &dev.system.devs[i];
    return loadparam_system(list, end - start);
}

bool loadparam_can_if_mismatch(device_st *device, uint32_t *file_if, uint32_t *dev_if)
{
    uint32_t fv = 0;
    if (device && device->param_file[0]) {
        char *text = nullptr;
        parser_node_st root = parser_read_file(device->param_file, &text);
        if (!parser_node_is_valid(root)) {
            job_warning("The parameter file '%s' cannot be used: %s.\n", device->param_file, parser_last_error());
        } else {
            parser_node_st obj = root;
            parser_node_st devs = parser_find_child(root, "DEVS");
            if (parser_get_type(devs) == PARSER_ARRAY) {
                obj = parser_array_at(devs, 0);
                uint32_t n = parser_array_get_size(devs);
                parser_node_st el = obj;
                for (uint32_t i = 0; i < n; i++, el = parser_array_next(el)) {
                    parser_node_st id = parser_find_child(el, "NODEID");
                    if (parser_get_type(id) == PARSER_INT && parser_get_int(id) == device->nodeid) {
                        obj = el;
                        break;
                    }
                }
            }
            parser_node_st v = parser_find_child(obj, "CAN IF VERSION");
            if (parser_get_type(v) == PARSER_INT) fv = (uint32_t)parser_get_int(v);
        }
        std::free(text);
    }
    uint32_t dv = find_read_device_revision(device);
    if (file_if) *file_if = fv;
    if (dev_if) *dev_if = dv;
    return dv != 0 && fv != 0 && dv != fv;
}

// The window's log strip shows the run's progress; without a window the title is only kept.
void loadparam_set_title(const char *title) { krui_set_log_title(title); }
void loadparam_reset_title(void) { krui_reset_log_title(); }

bool loadparam_load_device_async(device_st *device, const char *file)
{
    if (file && std::strlen(file) >= sizeof async_load_file) {
        job_error("ERROR: the parameter file path '%s' is longer than %u characters; it is not loaded.\n", file,
                  (unsigned)sizeof async_load_file - 1);
        L().finished = true;
        return false;
    }
    async_load_device = device;
    kr_copy_text(async_load_file, sizeof async_load_file, file);
    L().finished = false;
    return start(device_task, "loadparam_task", &L().finished);
}

bool loadparam_load_params_async(device_st **devices, uint32_t count)
{
    async_params_count = copy_devices(async_params_devs, devices, count);
    async_params_finished = false;
    return start(params_task, "loadparams_task", &async_params_finished);
}

bool loadparam_load_files_async(const char *const *files, uint32_t count)
{
    if (count > LOADPARAM_BATCH_MAX) count = LOADPARAM_BATCH_MAX;
    for (uint32_t i = 0; i < count; i++)
        if (!files || !files[i] || !path_fits(files[i])) {
            async_files_finished = true;
            return false;
        }
    for (uint32_t i = 0; i < count; i++) kr_copy_text(async_files[i], LOADPARAM_FILE_LEN, files[i]);
    async_file_count = count;
    loadparam_set_cancelled(false);
    async_files_finished = false;
    async_files_running = true;
    if (start(files_task, "loadfiles_task", &async_files_finished)) return true;
    async_files_running = false;
    return false;
}

bool loadparam_load_system_async(device_st **devices, uint32_t count)
{
    async_sys_count = copy_devices(async_sys_devs, devices, count);
    async_sys_finished = false;
    return start(sys_task, "loadsys_task", &async_sys_finished);
}

bool loadparam_load_params_is_finished(void) { return async_params_finished; }
bool loadparam_load_files_is_finished(void) { return async_files_finished; }
bool loadparam_load_system_is_finished(void) { return async_sys_finished; }

void loadparam_load_files_cancel(void)
{
    if (!async_files_running || loadparam_is_cancelled()) return;
    std::printf("Stopping the parameter load...\n");
    std::fflush(stdout);
    loadparam_set_cancelled(true);
    if (kr_stdin_is_waiting()) kr_stdin_feed("\n");
}

} // extern "C"
