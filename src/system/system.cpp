// The system model: devices, their packages and node ids, node-id postfixes, snapshots and the
// forced node id.
#include "system/system.h"

#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "run/commands.h"
#include "database/db.h"
#include "system/package.h"
#include "run/main.h"
#include "ui/kr_uifiledialog.h"
#include "kr_bytes.h"

namespace {

// The whole text as a number by the command line's one reader; false when it is not one. A negative
// number, or digits beyond 64 bits, are numbers no node id can be: ~0.
bool convert_cstr(const char *text, unsigned long *value)
{
    int64_t v = 0;
    if (cmdline_read_number(text, INT64_MIN, INT64_MAX, &v)) {
        *value = v < 0 ? ~0ul : (unsigned long)v;
        return true;
    }
    const char *p = text[0] == '-' ? text + 1 : text;
    if (!*p || std::strspn(p, "0123456789") != std::strlen(p)) return false;
    *value = ~0ul;
    return true;
}

bool convert_whole(const char *text, size_t len, unsigned long *value)
{
    char buf[32];
    if (len == 0 || len >= sizeof buf) return false;
    std::memcpy(buf, text, len);
    buf[len] = '\0';
    return convert_cstr(buf, value);
}

// Node ids read from a database are 8 bits wide; only 1..127 name a node.
uint8_t checked_db_nodeid(uint32_t id, const char *path)
{
    if (id == 0 || system_nodeid_valid(id)) return (uint8_t)id;
    job_warning("WARNING: the database of '%s' names node id 0x%x, outside 1..127 (0x1..0x7f); "
                "it is not used.\n",
                path, (unsigned)id);
    return 0;
}

const char *dbvalue_text(const dbvalue_st *v)
{
    return v->type == DBVALUE_STRING && v->value_str ? v->value_str : nullptr;
}

void normalize_objname(const char *src, char *dest, size_t size)
{
    size_t i = 0;
    for (; src[i] && i + 1 < size; i++) {
        unsigned char c = (unsigned char)src[i];
        dest[i] = std::isspace(c) ? '_' : (char)std::toupper(c);
    }
    dest[i] = '\0';
}

db_obj_st *db_object_at(uint32_t i)
{
    const kr_vector_st &v = dev.db.objects;
    if (!v.buffer || i >= v.len || i >= v.buffer_size) return nullptr;
    return (db_obj_st *)v.buffer + i;
}

void take_devname(device_st *d)
{
    for (uint32_t i = 0; db_object_at(i); i++) {
        db_obj_st *o = db_object_at(i);
        const char *name = dbvalue_text(&o->name);
        if (!name) continue;
        char norm[128];
        normalize_objname(name, norm, sizeof norm);
        if (std::strcmp(norm, "DEV_NAME") != 0) continue;
        const char *text = dbvalue_text(&o->string_def);
        if (!text) text = dbvalue_text(&o->def);
        if (!text) return;
        db_define_st *def = db_define_find(&dev.db, text);
        if (def && def->type == DB_DEFINE_STRING) text = def->str;
        kr_copy_text(d->devname, sizeof d->devname, text);
        return;
    }
}

void take_if_version(device_st *d)
{
    for (uint32_t i = 0; db_object_at(i); i++) {
        db_obj_st *o = db_object_at(i);
        if (o->obj_type != DB_OBJ_TYPE_IF_VERSION) continue;
        d->if_version_mindex = o->obj.main_index;
        d->if_version_sindex = o->obj.sub_index;
        d->if_version_size = canopen_type_width(o->obj.type);
        return;
    }
}

// Reads a package's database for its identity without disturbing the node id the command line
// selected: the load starts from "no node id" (so a database without one gives 0) and the
// selection is put back afterwards.
struct db_nodeid_guard {
    uint8_t id = 0;
    bool is_set = false, forced = false;
    db_nodeid_guard()
    {
        db_get_nodeid_state(&dev.db, &id, &is_set, &forced);
        db_set_nodeid_state(&dev.db, 0, false, false);
    }
    ~db_nodeid_guard() { db_set_nodeid_state(&dev.db, id, is_set, forced); }
    db_nodeid_guard(const db_nodeid_guard &) = delete;
    db_nodeid_guard &operator=(const db_nodeid_guard &) = delete;
};

// `readable`: the package opened and its database, if it names one, loaded (a package without a
// database is sound, it only loads none).
bool read_krdev(const char *path, char *version, uint32_t version_size, bool *has_media, bool *has_esp32,
                bool *readable)
{
    if (readable) *readable = false;
    krdev_st k;
    if (!path || !krdev_open(&k, path)) return false;
    kr_copy_text(version, version_size, k.version);
    if (has_media) *has_media = k.media[0] != '\0';
    if (has_esp32) *has_esp32 = k.esp32_count > 0;

    bool ok = false;
    char cwd[1024];
    if (k.database[0] && getcwd(cwd, sizeof cwd) && chdir(k.dir) == 0) {
        // The database's own console output would only confuse: it goes to the null device.
        std::fflush(stdout);
        int saved = dup(STDOUT_FILENO);
        int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
        bool redirected = saved >= 0 && null_fd >= 0 && dup2(null_fd, STDOUT_FILENO) >= 0;
        ok = cmd_db_in_package(k.database);
        std::fflush(stdout);
        if (redirected) dup2(saved, STDOUT_FILENO);
        if (saved >= 0) close(saved);
        if (null_fd >= 0) close(null_fd);
        if (chdir(cwd) != 0) {
            job_error("ERROR: could not change back into the folder '%s'.\n", cwd);
            ok = false;
        }
    }
    if (readable) *readable = ok || !k.database[0];
    krdev_close(&k);
    return ok;
}

// False when the package cannot be opened, or names a database that does not load; the device
// then stays with its path and nothing read from it.
static bool device_assign_file(device_st *d, const char *path, uint8_t nodeid)
{
    kr_copy_text(d->filepath, sizeof d->filepath, path);
    name_from_path(d->filepath, d->name, sizeof d->name);
    d->devname[0] = '\0';
    d->revision = 0;
    d->vendor_id = 0;
    d->product_code = 0;
    d->default_nodeid = 0;
    d->has_media = false;
    d->has_esp32 = false;
    d->dev_revision = 0;
    d->if_version_mindex = 0;
    d->if_version_sindex = 0;
    d->if_version_size = 0;
    d->conf_version[0] = '\0';
    d->nodeid = nodeid;

    db_nodeid_guard guard;
    bool readable = false;
    if (!read_krdev(d->filepath, d->conf_version, sizeof d->conf_version, &d->has_media, &d->has_esp32, &readable)) {
        d->loaded = true;
        return readable;
    }
    d->revision = dev.db.revision_number;
    d->vendor_id = dev.db.vendor_id;
    d->product_code = dev.db.product_code;
    d->default_nodeid = checked_db_nodeid(dev.db.node_id, d->filepath);
    if (nodeid == 0) d->nodeid = d->default_nodeid;
    take_devname(d);
    take_if_version(d);
    db_deinit(&dev.db);
    d->loaded = true;
    return true;
}

device_st *append_device(system_st *s)
{
    if (s->dev_count >= SYSTEM_MAX_DEVICES) return nullptr;
    device_st *d = &s->devs[s->dev_count];
    std::memset(d, 0, sizeof *d);
    s->dev_count++;
    return d;
}

} // namespace

extern "C" {

void system_reset(system_st *system) { std::memset(system, 0, sizeof *system); }

bool path_ends_with(const char *path, const char *suffix)
{
    if (!path || !suffix) return false;
    size_t lp = std::strlen(path), ls = std::strlen(suffix);
    if (ls > lp) return false;
    return strcasecmp(path + lp - ls, suffix) == 0;
}

void name_from_path(const char *path, char *name, uint32_t size)
{
    if (!name || size == 0) return;
    if (!path) path = "";
    const char *base = std::strrchr(path, '/');
    base = base ? base + 1 : path;
    const char *dot = std::strrchr(base, '.');
    size_t len = dot ? (size_t)(dot - base) : std::strlen(base);
    if (len >= size) len = size - 1;
    std::memcpy(name, base, len);
    name[len] = '\0';
}

bool system_add_device(system_st *system, const char *path, uint8_t nodeid)
{
    if (!system || !path) return false;
    if (nodeid != 0 && !system_nodeid_valid(nodeid)) {
        job_error("ERROR: node id 0x%x for '%s' is outside 1..127 (0x1..0x7f).\n", (unsigned)nodeid, path);
        return false;
    }
    device_st *d = append_device(system);
    if (!d) return false;
    device_assign_file(d, path, nodeid);
    return true;
}

device_st *system_add_joining(system_st *system, const char *path, uint8_t nodeid)
{
    if (!system || !path) return nullptr;
    device_st added;
    std::memset(&added, 0, sizeof added);
    device_assign_file(&added, path, nodeid);
    for (device_st *e = system->devs; e < system->devs + system->dev_count; e++) {
        if (!system_nodeid_valid(added.nodeid) || e->nodeid != added.nodeid) continue;
        // What the bus told of the device stays; the package brings the rest.
        device_st joined = added;
        joined.state = e->state;
        joined.sw_version = e->sw_version;
        joined.sw_version_tried = e->sw_version_tried;
        joined.dev_identity_read = e->dev_identity_read;
        joined.dev_vendor_id = e->dev_vendor_id;
        joined.dev_product_code = e->dev_product_code;
        joined.dev_revision = e->dev_revision;
        if (!joined.param_file[0]) kr_copy_text(joined.param_file, sizeof joined.param_file, e->param_file);
        *e = joined;
        return e;
    }
    device_st *d = append_device(system);
    if (d) *d = added;
    return d;
}

device_st *system_add_empty_device(system_st *system)
{
    device_st *d = append_device(system);
    if (!d) return nullptr;
    std::snprintf(d->name, sizeof d->name, "Device %u", (unsigned)system->dev_count);
    return d;
}

device_st *system_add_found_device(system_st *system, uint8_t nodeid, uint32_t vendor_id, uint32_t product_code)
{
    if (!system_nodeid_valid(nodeid)) return nullptr;
    device_st *d = append_device(system);
    if (!d) return nullptr;
    std::snprintf(d->name, sizeof d->name, "Node 0x%x", (unsigned)nodeid);
    d->nodeid = nodeid;
    d->vendor_id = vendor_id;
    d->product_code = product_code;
    d->state = DEV_STATE_OP;
    d->loaded = true;
    return d;
}

bool system_remove_device(system_st *system, device_st *device)
{
    if (!system || !device || device < system->devs || device >= system->devs + system->dev_count) return false;
    uint32_t i = (uint32_t)(device - system->devs);
    std::memmove(&system->devs[i], &system->devs[i + 1], (system->dev_count - i - 1) * sizeof(device_st));
    system->dev_count--;
    std::memset(&system->devs[system->dev_count], 0, sizeof(device_st));
    // The command line's last device moves with the others, or is gone.
    if (system->last_cmdline_dev == i + 1)
        system->last_cmdline_dev = 0;
    else if (system->last_cmdline_dev > i + 1)
        system->last_cmdline_dev--;
    return true;
}

void system_clear_devices(system_st *system)
{
    std::memset(system->devs, 0, sizeof system->devs);
    system->dev_count = 0;
    system->last_cmdline_dev = 0;
}

void system_set_device_file(device_st *device, const char *path)
{
    if (!device || !path) return;
    device_assign_file(device, path, device->state != DEV_STATE_OFFLINE ? device->nodeid : 0);
}

uint8_t system_read_file_nodeid(const char *path)
{
    if (!path || !*path) return 0;
    db_nodeid_guard guard;
    if (!load_krdev_database(path, nullptr, 0, nullptr, nullptr)) return 0;
    uint8_t id = checked_db_nodeid(dev.db.node_id, path);
    db_deinit(&dev.db);
    return id;
}

bool system_load_device_database(device_st *device)
{
    if (!device || !device->filepath[0]) return false;
    return load_krdev_database(device->filepath, nullptr, 0, nullptr, nullptr);
}

bool load_krdev_database(const char *path, char *version, uint32_t version_size, bool *has_media, bool *has_esp32)
{
    return read_krdev(path, version, version_size, has_media, has_esp32, nullptr);
}

device_st *system_set_cmdline_dev_nodeid(system_st *system, uint8_t nodeid)
{
    if (!system || system->last_cmdline_dev == 0 || system->last_cmdline_dev > system->dev_count) return nullptr;
    if (nodeid > SYSTEM_NODEID_MAX) return nullptr;
    device_st *d = &system->devs[system->last_cmdline_dev - 1];
    d->nodeid = nodeid;
    return d;
}

void system_apply_forced_nodeid(system_st *system, uint32_t first, uint32_t end)
{
    if (!system || !system->forcenodeid) return;
    if (end > system->dev_count) end = system->dev_count;
    if (first >= end) return;
    if (!system_nodeid_valid(system->forced_nodeid)) {
        job_warning("WARNING: the node id forced on the command line (0x%x) is outside 1..127 "
                    "(0x1..0x7f); ignoring it. Each device is addressed with its own node id.\n",
                    (unsigned)system->forced_nodeid);
        system->forced_nodeid_set = false;
        system->forcenodeid = false;
        return;
    }
    if (end - first == 1) {
        system->devs[first].nodeid = system->forced_nodeid;
        return;
    }
    job_warning("WARNING: the node id forced on the command line (0x%x) cannot name any one of the "
                "%u devices; ignoring it. Each device is addressed with its own node id.\n",
                (unsigned)system->forced_nodeid, (unsigned)(end - first));
    system->forced_nodeid_set = false;
    system->forcenodeid = false;
}

void system_clear_forced_nodeid(system_st *system)
{
    system->forced_nodeid_set = false;
    system->forced_nodeid = 0;
    system->forcenodeid = false;
}

void system_nodeids_save(const system_st *system, system_nodeids_st *snapshot)
{
    std::memset(snapshot, 0, sizeof *snapshot);
    snapshot->count = system->dev_count <= SYSTEM_MAX_DEVICES ? system->dev_count : SYSTEM_MAX_DEVICES;
    for (uint32_t i = 0; i < snapshot->count; i++) snapshot->nodeids[i] = system->devs[i].nodeid;
    db_get_nodeid_state(&dev.db, &snapshot->db_nodeid, &snapshot->db_nodeid_set, &snapshot->db_nodeid_forced);
    snapshot->forced_nodeid_set = system->forced_nodeid_set;
    snapshot->forced_nodeid = system->forced_nodeid;
    snapshot->forcenodeid = system->forcenodeid;
}

void system_nodeids_restore(system_st *system, const system_nodeids_st *snapshot)
{
    uint32_t n = system->dev_count < snapshot->count ? system->dev_count : snapshot->count;
    if (n > SYSTEM_MAX_DEVICES) n = SYSTEM_MAX_DEVICES;
    for (uint32_t i = 0; i < n; i++) system->devs[i].nodeid = snapshot->nodeids[i];
    db_set_nodeid_state(&dev.db, snapshot->db_nodeid, snapshot->db_nodeid_set, snapshot->db_nodeid_forced);
    system->forced_nodeid_set = snapshot->forced_nodeid_set;
    system->forced_nodeid = snapshot->forced_nodeid;
    system->forcenodeid = snapshot->forcenodeid;
}

int cmdline_file_words(const char *arg, bool first_only)
{
    if (first_only) return !arg || !arg[0] ? (int)(CMDLINE_WORDS_FIRST | CMDLINE_WORDS_PATHS | CMDLINE_WORDS_FILE) : -1;
    char path[DEV_PATH_LEN];
    if (arg && arg[0] && cmdline_parse_nodeid_arg(arg, path, sizeof path, nullptr) &&
        (path_ends_with(path, ".krsys") || path_ends_with(path, ".krdev")))
        return -1;
    return (int)(CMDLINE_WORDS_PATHS | (arg && arg[0] ? 0u : (unsigned)CMDLINE_WORDS_FILE));
}

bool cmdline_path_fits(const char *cmd, const char *path, size_t size)
{
    if (path && std::strlen(path) < size) return true;
    job_error("ERROR: the path '%.40s...'%s%s%s is longer than %u characters.\n", path ? path : "",
              cmd ? " given to '" : "", cmd ? cmd : "", cmd ? "'" : "", (unsigned)size - 1);
    return false;
}

const char *cmdline_load_arg(const char *stored)
{
    if (stored && stored[0]) return stored;
    if (dev.argv_count > 0 && dev.nonopt_argv && dev.nonopt_argv[0]) return dev.nonopt_argv[0];
    return nullptr;
}

bool cmdline_parse_nodeid_arg(const char *text, char *path, uint32_t path_size, uint8_t *nodeid)
{
    if (nodeid) *nodeid = 0;
    if (!text) text = "";
    size_t len = std::strlen(text);
    const char *colon = std::strrchr(text, ':');
    size_t path_len = len;
    bool ok = true;
    if (colon && colon[1]) {
        unsigned long v = 0;
        if (convert_cstr(colon + 1, &v)) {
            path_len = (size_t)(colon - text);
            if (system_nodeid_valid(v)) {
                if (nodeid) *nodeid = (uint8_t)v;
            } else {
                ok = false;
            }
        }
    }
    if (path && path_len >= path_size) { // cut, it would name another file
        if (path_size > 0) path[0] = '\0';
        return false;
    }
    if (path) {
        std::memcpy(path, text, path_len);
        path[path_len] = '\0';
    }
    return ok;
}

bool cmdline_parse_nodeid_list(const char *text, char *path, uint32_t path_size, uint8_t *list, uint32_t capacity,
                               uint32_t *count)
{
    if (count) *count = 0;
    if (path && path_size > 0) path[0] = '\0';
    if (!text) return false;
    size_t remaining = std::strlen(text);
    uint32_t n = 0;
    for (;;) {
        const char *colon = nullptr;
        for (size_t i = remaining; i > 0; i--)
            if (text[i - 1] == ':') {
                colon = text + i - 1;
                break;
            }
        if (!colon) break;
        size_t tail_len = remaining - (size_t)(colon + 1 - text);
        unsigned long v = 0;
        if (tail_len == 0 || tail_len > 15 || !convert_whole(colon + 1, tail_len, &v)) break;
        if (!system_nodeid_valid(v)) return false;
        bool taken = false;
        for (uint32_t i = 0; i < n; i++) taken = taken || list[i] == v;
        if (!taken) {
            if (n >= capacity || !list) return false;
            list[n++] = (uint8_t)v;
        }
        remaining = (size_t)(colon - text);
    }
    for (uint32_t i = 0; i < n / 2; i++) {
        uint8_t t = list[i];
        list[i] = list[n - 1 - i];
        list[n - 1 - i] = t;
    }
    if (path && remaining >= path_size) return false; // cut, it would name another file
    if (path) {
        std::memcpy(path, text, remaining);
        path[remaining] = '\0';
    }
    if (count) *count = n;
    return true;
}

bool cmdline_load_arg_nodeid(const char *stored, char *path, uint32_t path_size, const char **path_ptr)
{
    if (path && path_size > 0) path[0] = '\0';
    if (path_ptr) *path_ptr = nullptr;
    const char *arg = cmdline_load_arg(stored);
    if (!arg) return true;
    if (!cmdline_path_fits(nullptr, arg, path_size)) return false;
    uint8_t id = 0;
    if (!cmdline_parse_nodeid_arg(arg, path, path_size, &id)) {
        if (path && path_size > 0) path[0] = '\0';
        job_error("ERROR: invalid node id in '%s'; it must be in the range 1..127 (0x1..0x7f).\n", arg);
        return false;
    }
    if (id != 0) {
        commands_select_nodeid(id, true);
        std::printf("Selected Node ID 0x%x\n", (unsigned)id);
        std::fflush(stdout);
    }
    if (path_ptr && path && path[0]) *path_ptr = path;
    return true;
}

bool system_dispatch_queue(system_job_queue_st *queue, const char *arg, uint32_t flags, void (*step_fn)(void *app))
{
    const char *name = current_command ? current_command->cmd_long : "?";
    if (!arg) arg = "";
    if (std::strlen(arg) >= SYSTEM_JOB_ARG_LEN) {
        job_error("ERROR: the argument of '%s' is longer than %u characters.\n", name, SYSTEM_JOB_ARG_LEN - 1);
        return false;
    }
    // add_task holds at most TASKS_LEN jobs in all, so the module's ring cannot overrun.
    system_job_st &job = queue->jobs[queue->queued % TASKS_LEN];
    kr_copy_text(job.arg, sizeof job.arg, arg);
    job.flags = flags;
    system_nodeids_save(&dev.system, &job.nodeids);
    if (!add_task(step_fn)) return false;
    queue->queued++;
    kr_can_set_up(false);
    return true;
}

bool system_dispatch_take(system_job_queue_st *queue, system_job_st *job)
{
    if (queue->taken == queue->queued) return false;
    *job = queue->jobs[queue->taken % TASKS_LEN];
    queue->taken++;
    return true;
}

void system_dispatch_begin(const system_nodeids_st *snapshot, system_nodeids_st *saved)
{
    system_nodeids_save(&dev.system, saved);
    system_nodeids_restore(&dev.system, snapshot);
}

void system_dispatch_end(const system_nodeids_st *saved) { system_nodeids_restore(&dev.system, saved); }

// ---- The dev and sys commands ----

bool cmd_device(const char *arg)
{
    char path[1024];
    uint8_t id = 0;
    // An empty path names no package: the device would be added with nothing behind it.
    if (!arg || !*arg || *arg == ':') {
        job_error("ERROR: --dev needs the path of a device package (.krdev).\n");
        return false;
    }
    if (!cmdline_path_fits("dev", arg, sizeof path)) return false;
    if (!cmdline_parse_nodeid_arg(arg, path, sizeof path, &id)) {
        // Dropped quietly, the run would go on without the device and end as if it had it.
        job_error("ERROR: invalid node id in device '%s'; it must be in the range 1..127 (0x1..0x7f).\n", arg);
        return false;
    }
    device_st *d = append_device(&dev.system);
    if (!d) {
        // Left out, the device would be missing from every job without a word when silent.
        job_error("ERROR: device '%s' does not fit: a system can hold at most %d devices.\n", path, SYSTEM_MAX_DEVICES);
        return false;
    }
    if (!device_assign_file(d, path, id)) {
        // A device whose package cannot be read would later flash, load or name nothing.
        std::memset(d, 0, sizeof *d);
        dev.system.dev_count--;
        job_error("ERROR: could not read the device package '%s'.\n", path);
        return false;
    }
    kr_uifiledialog_set_default_dir(path);
    dev.system.last_cmdline_dev = dev.system.dev_count;
    if (id != 0)
        PRINT("Added device configuration file '%s' with node id 0x%x\n", path, (unsigned)id);
    else
        PRINT("Added device configuration file '%s' (node id read from file)\n", path);
    return true;
}

bool cmd_system(const char *arg)
{
    if (!arg || !cmdline_path_fits("sys", arg, sizeof dev.system.filepath)) return false;
    if (!system_set_file(&dev.system, arg)) {
        job_error("ERROR: failed to load system package '%s': %s.\n", arg, package_error());
        return false;
    }
    PRINT("System configuration file set to '%s'\n", arg);
    return true;
}

} // extern "C"
