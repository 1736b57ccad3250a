// Media download: files go to a display device block by block over SDO (name, size, then for each
// block its data, offset and a commit the device confirms), and the device's media storage can be
// cleared. Every wait on the device is bounded, and every failure fails the run while the next
// files still load.
#include "firmware/media.h"

#include <dirent.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdarg>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bus/bus.h"
#include "run/commands.h"
#include "database/db.h"
#include "bus/find.h"
#include "kr_bytes.h"
#include "kr_canopen.h"
#include "run/main.h"
#include "system/system.h"
#include "system/package.h"

namespace {

constexpr size_t kPathLen = 1024;        // local paths, a folder's path joined with a name included
constexpr size_t kPackagePathLen = 2048; // a package's extraction folder joined with its MEDIA entry

uint32_t commit_wait_ms = LOADMEDIA_COMMIT_WAIT_MS;
uint32_t clear_wait_ms = CLEARMEDIA_WAIT_MS;

system_job_queue_st load_queue;
system_job_queue_st clear_queue;

char async_media_filepath[kPathLen];
uint8_t async_media_nodeid = 0;
std::atomic<bool> async_media_finished{true};

// Node 0 would address no device (and the window's reset after it would reset every node).
bool node_usable(uint8_t node, const char *what)
{
    if (system_nodeid_valid(node)) return true;
    job_error("ERROR: %s needs the device's node id (1..127); select it with --nodeid or a ':<nodeid>' postfix.\n",
              what);
    return false;
}

bool sdo_write_u32(uint8_t node, uint16_t index, uint32_t value)
{
    uint8_t b[4];
    kr_put_le32(b, value);
    return _kr_canopen_sdo_client_write(node, index, 0, 4, b) == ERR_NONE;
}

bool sdo_read_u32(uint8_t node, uint16_t index, uint32_t len, uint32_t *value)
{
    uint8_t b[4] = {0, 0, 0, 0};
    if (_kr_canopen_sdo_client_read(node, index, 0, len, b) != ERR_NONE) return false;
    *value = kr_get_le(b, len);
    return true;
}

enum class commit_e { stored, write_failed, read_failed, timed_out };

// Asks the device to store the block just sent and waits until it reads 0 (stored).
commit_e commit_block(uint8_t node, uint32_t len)
{
    if (!sdo_write_u32(node, CANOPEN_MEDIA_WRITE_REQ_INDEX, len)) return commit_e::write_failed;
    uint32_t start = kr_rtos_get_tick_count();
    for (;;) {
        uint32_t pending = 1;
        if (!sdo_read_u32(node, CANOPEN_MEDIA_WRITE_REQ_INDEX, 4, &pending)) return commit_e::read_failed;
        if (pending == 0) return commit_e::stored;
        if (kr_rtos_get_tick_count() - start >= commit_wait_ms) return commit_e::timed_out;
        kr_rtos_task_delay(1);
    }
}

struct file_closer {
    FILE *f;
    ~file_closer()
    {
        if (f) std::fclose(f);
    }
};

// Downloads one file to the database's node. False when the file failed (reported here).
bool load(const char *local, const char *name, uint32_t total, uint32_t number)
{
    uint8_t node = db_get_nodeid(&dev.db);
    file_closer file{std::fopen(local, "rb")};
    bool ok = true;
    if (!file.f) {
        job_error_plain_stderr("Failed to open media file %s.\n", name);
        ok = false;
    }
    std::vector<uint8_t> data;
    uint64_t size = 0;
    uint32_t block = 0;
    if (ok) {
        struct stat st;
        if (fstat(fileno(file.f), &st) != 0 || st.st_size < 0) {
            job_error_plain("ERROR: Reading media file '%s' failed. Firmware download cancelled.\n", name);
            ok = false;
        } else {
            size = (uint64_t)st.st_size;
            std::printf("Opened file %s. Size: %" PRIu64 " bytes.\n", name, size);
        }
    }
    if (ok && size > UINT32_MAX) {
        // The device is told the size in 4 bytes; a cut size would store a cut file.
        job_error("ERROR: media file '%s' is larger than the 4 GiB a device can be told.\n", name);
        ok = false;
    }
    if (ok) {
        try {
            data.resize((size_t)size);
        } catch (const std::exception &) {
            job_error("ERROR: media file '%s' does not fit into memory.\n", name);
            ok = false;
        }
    }
    if (ok && size > 0 && std::fread(data.data(), 1, (size_t)size, file.f) != (size_t)size) {
        job_error_plain("ERROR: Reading media file '%s' failed. Firmware download cancelled.\n", name);
        ok = false;
    }
    if (ok) {
        uint32_t bs = 0;
        bool read = sdo_read_u32(node, CANOPEN_MEDIA_BLOCK_SIZE_INDEX, 1, &bs);
        if (!read || (bs & 0xFF) == 0) {
            job_error_plain("ERROR: Couldn't read the block size for media transfer.\n");
            if (!read) print_sdo_failure();
            ok = false;
        }
        block = bs & 0xFF;
    }
    if (ok) {
        uint8_t size_le[4];
        kr_put_le32(size_le, (uint32_t)size);
        char cause[320] = "";
        kr_errors_e e1 = _kr_canopen_sdo_client_write(node, CANOPEN_MEDIA_FILE_NAME_INDEX, 0,
                                                      (uint32_t)std::strlen(name) + 1, name);
        if (e1 != ERR_NONE) sdo_failure_text(cause, sizeof cause);
        kr_errors_e e2 = _kr_canopen_sdo_client_write(node, CANOPEN_MEDIA_FILE_SIZE_INDEX, 0, 4, size_le);
        if (e2 != ERR_NONE && !cause[0]) sdo_failure_text(cause, sizeof cause);
        if (e1 != ERR_NONE || e2 != ERR_NONE) {
            job_error_plain("Errors (%i) while downloading the media settings. Media download discarded.\n%s\n",
                            (int)(e1 | e2), cause);
            ok = false;
        }
    }
    if (ok) {
        for (uint32_t offset = 0; offset < size && ok;) {
            uint32_t left = (uint32_t)size - offset;
            uint32_t len = block < left ? block : left;
            if (_kr_canopen_sdo_client_write(node, CANOPEN_MEDIA_DATA_INDEX, 0, len, data.data() + offset) !=
                    ERR_NONE ||
                !sdo_write_u32(node, CANOPEN_MEDIA_OFFSET_INDEX, offset)) {
                ok = false;
                job_error_plain("Error while downloading the media data.\n");
                print_sdo_failure();
                break;
            }
            switch (commit_block(node, len)) {
            case commit_e::stored: break;
            case commit_e::write_failed:
                ok = false;
                job_error_plain("ERROR: node 0x%x refused to store the block at offset %u.\n", node, offset);
                print_sdo_failure();
                break;
            case commit_e::read_failed:
                ok = false;
                job_error_plain("ERROR: couldn't read whether node 0x%x stored the block at offset %u.\n", node,
                                offset);
                print_sdo_failure();
                break;
            case commit_e::timed_out:
                ok = false;
                job_error_plain("ERROR: node 0x%x did not store the block at offset %u within %u ms.\n", node, offset,
                                commit_wait_ms);
                break;
            }
            if (!ok) break;
            offset += len;
            LOG("Loading '%s' %u / %u bytes (%u %%) file %u/%u", name, offset, (uint32_t)size,
                (unsigned)((uint64_t)offset * 100 / size), number, total);
        }
        if (ok && !log_line_live) std::printf("\n"); // an empty file's line, as a loaded file's ends
        LOG_END();
    }
    if (!ok) job_error_plain("*** ERROR ***:\n    Media file %s loading failed\n", name);
    std::fflush(stdout);
    return ok;
}

bool is_dir(const char *path)
{
    struct stat st;
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

bool is_regular(const char *path)
{
    struct stat st;
    return stat(path, &st) == 0 && S_ISREG(st.st_mode);
}

// Joins a folder and a name; false when the result would not fit a path.
bool join(const char *folder, const char *name, std::string &out)
{
    out = folder;
    if (out.empty() || out.back() != '/') out += '/';
    out += name;
    return out.size() < kPathLen;
}

// The recognised media files of a folder, in the order the file system lists them.
std::vector<std::string> folder_media(const char *folder)
{
    std::vector<std::string> names;
    DIR *d = opendir(folder);
    if (!d) return names;
    while (struct dirent *e = readdir(d)) {
        if (!is_known_mediafile(e->d_name)) continue;
        std::string full;
        // A name too long to join is still counted, so that its failure takes its number.
        if (join(folder, e->d_name, full) && !is_regular(full.c_str())) continue;
        names.push_back(e->d_name);
    }
    closedir(d);
    return names;
}

// The regular files of a folder that are not media files.
uint32_t other_files(const char *folder)
{
    uint32_t n = 0;
    DIR *d = opendir(folder);
    if (!d) return 0;
    while (struct dirent *e = readdir(d)) {
        std::string full;
        if (!is_known_mediafile(e->d_name) && join(folder, e->d_name, full) && is_regular(full.c_str())) n++;
    }
    closedir(d);
    return n;
}

bool load_media_path(const char *path, const char *prefix, uint32_t total, uint32_t *number)
{
    const char *name = media_devname(path, prefix);
    if (is_regular(path)) {
        if (std::strlen(path) >= kPathLen) {
            (*number)++;
            job_error("ERROR: the media path '%s' is longer than %zu characters.\n", name, kPathLen - 1);
            return false;
        }
        return load(path, name, total, ++*number);
    }
    if (!is_dir(path)) {
        job_error_plain("Unknown file '%s' given to *loadmedia*\n", name);
        return false;
    }
    const std::vector<std::string> media = folder_media(path);
    if (media.empty()) {
        // Loading nothing is no success: say what the folder held instead.
        job_error("ERROR: the folder '%s' holds no media file to load (%u other file(s)); media files have "
                  ".jpg, .jpeg, .png or .bin in their names, all lower or all upper case.\n",
                  name, other_files(path));
        return false;
    }
    bool ok = true;
    for (const std::string &entry : media) {
        std::string full;
        if (!join(path, entry.c_str(), full)) {
            (*number)++;
            job_error("ERROR: the media path '%s/%s' is longer than %zu characters.\n", name, entry.c_str(),
                      kPathLen - 1);
            ok = false;
            continue;
        }
        ok = load(full.c_str(), media_devname(full.c_str(), prefix), total, ++*number) && ok;
    }
    return ok;
}

enum class krdev_media_e { loaded, no_media, failed };

krdev_media_e load_krdev_media(const char *path, uint8_t node)
{
    if (!node_usable(node, "*loadmedia*")) return krdev_media_e::failed;
    krdev_st krdev;
    if (!krdev_open(&krdev, path)) {
        job_error("Failed to open the device package '%s' for media loading: %s.\n", path, package_error());
        return krdev_media_e::failed;
    }
    krdev_media_e result = krdev_media_e::failed;
    if (krdev.media[0] == '\0') {
        job_warning("WARNING: device package '%s' bundles no media files to load.\n", path);
        result = krdev_media_e::no_media;
    } else {
        db_set_nodeid_force(&dev.db, node);
        wait_node_operational(node);
        std::string full = std::string(krdev.dir) + "/" + krdev.media;
        if (full.size() >= kPackagePathLen)
            job_error("ERROR: the media folder '%s' of '%s' is longer than %zu characters.\n", krdev.media, path,
                      kPackagePathLen - 1);
        else if (run_media_path(full.c_str(), krdev.dir))
            result = krdev_media_e::loaded;
    }
    krdev_close(&krdev);
    return result;
}

void loadmedia_device_task(void *)
{
    if (loadmedia_krdev(async_media_filepath, async_media_nodeid)) {
        std::printf("Resetting node 0x%x (NMT reset node) to apply the new media...\n", async_media_nodeid);
        std::fflush(stdout);
        kr_canopen_nmt_master_send_cmd(async_media_nodeid, CANOPEN_NMT_CMD_RESET_NODE);
    } else {
        job_error("ERROR: the media of node 0x%x did not load; the node is not reset.\n", async_media_nodeid);
    }
    async_media_finished = true;
    kr_rtos_task_delete(nullptr);
}

} // namespace

extern "C" {

void loadmedia_set_time_limits(uint32_t commit_ms, uint32_t clear_ms)
{
    if (commit_ms) commit_wait_ms = commit_ms;
    if (clear_ms) clear_wait_ms = clear_ms;
}

bool is_known_mediafile(const char *name)
{
    static const char *const kinds[] = {".jpg", ".JPG", ".jpeg", ".JPEG", ".png", ".PNG", ".bin", ".BIN"};
    if (!name) return false;
    for (const char *k : kinds)
        if (std::strstr(name, k)) return true;
    return false;
}

const char *media_devname(const char *path, const char *prefix)
{
    if (!path) return "";
    size_t n = prefix ? std::strlen(prefix) : 0;
    if (n == 0 || std::strncmp(path, prefix, n) != 0) return path;
    const char *rest = path + n;
    while (*rest == '/') rest++;
    return rest;
}

uint32_t count_media_path(const char *path)
{
    if (is_regular(path)) return 1;
    if (!is_dir(path)) return 0;
    return (uint32_t)folder_media(path).size();
}

bool run_media_paths(const char *const *paths, uint32_t count, const char *prefix)
{
    uint32_t total = 0, number = 0;
    for (uint32_t i = 0; i < count; i++) total += count_media_path(paths[i]);
    bool ok = true;
    for (uint32_t i = 0; i < count; i++) ok = load_media_path(paths[i], prefix, total, &number) && ok;
    return ok;
}

bool run_media_path(const char *path, const char *prefix) { return run_media_paths(&path, 1, prefix); }

void wait_node_operational(uint8_t node)
{
    if (node == 0) return;
    std::printf("Waiting for node 0x%x to become operational...\n", node);
    std::fflush(stdout);
    if (find_wait_node_operational(node, LOADMEDIA_OP_WAIT_MS))
        std::printf("Node 0x%x is operational, starting the media download.\n", node);
    else
        job_warning("WARNING: node 0x%x did not report an OPERATIONAL heartbeat in %u seconds; "
                    "loading the media anyway.\n",
                    node, LOADMEDIA_OP_WAIT_MS / 1000);
    std::fflush(stdout);
}

bool loadmedia_krdev(const char *path, uint8_t node) { return load_krdev_media(path, node) == krdev_media_e::loaded; }

void loadmedia_devices(uint32_t first, uint32_t end)
{
    system_apply_forced_nodeid(&dev.system, first, end);
    uint32_t count = 0, with_media = 0;
    for (uint32_t i = first; i < end && i < dev.system.dev_count; i++) {
        const device_st &d = dev.system.devs[i];
        count++;
        if (d.filepath[0] == '\0') {
            job_warning("Skipping device '%s' (node 0x%x): no configuration package.\n", d.name, d.nodeid);
            continue;
        }
        std::printf("\n=== Loading media to device '%s' (node 0x%x) ===\n", d.name, d.nodeid);
        std::fflush(stdout);
        // A package without media only warns; anything else that failed said so as an error.
        if (load_krdev_media(d.filepath, d.nodeid) != krdev_media_e::no_media) with_media++;
    }
    // Loading nothing at all is no success.
    if (with_media == 0)
        job_error("ERROR: none of the %u device(s) has bundled media, so nothing was loaded.\n", (unsigned)count);
}

void loadmedia_dispatch_step(void *)
{
    system_job_st job;
    // A bus that did not open is said once, before any wait on a device or file by file.
    if (!system_dispatch_take(&load_queue, &job) || !bus_ready("loadmedia")) return;
    std::memcpy(dev.loadmedia.file, job.arg, sizeof dev.loadmedia.file);
    dev.loadmedia.nodeids = job.nodeids;
    system_nodeids_st saved;
    system_dispatch_begin(&dev.loadmedia.nodeids, &saved);

    char path[kPathLen];
    const char *p = nullptr;
    if (!cmdline_load_arg_nodeid(dev.loadmedia.file, path, sizeof path, &p)) {
        // said as an error
    } else if (p && path_ends_with(p, ".krsys")) {
        uint32_t before = dev.system.dev_count;
        if (system_set_file(&dev.system, p))
            loadmedia_devices(before, dev.system.dev_count);
        else
            job_error("ERROR: failed to load system package '%s': %s.\n", p, package_error());
    } else if (p && path_ends_with(p, ".krdev")) {
        uint32_t before = dev.system.dev_count;
        if (system_add_device(&dev.system, p, db_get_nodeid(&dev.db)))
            loadmedia_devices(before, dev.system.dev_count);
        else
            job_error("ERROR: failed to add device package '%s'.\n", p);
    } else if (p) {
        // The argument and the command line's other words, in one count.
        std::vector<const char *> paths{p};
        uint32_t from = dev.loadmedia.file[0] == '\0' ? 1 : 0;
        for (uint32_t i = from; i < dev.argv_count; i++) paths.push_back(dev.nonopt_argv[i]);
        uint8_t node = db_get_nodeid(&dev.db);
        if (node_usable(node, "*loadmedia*")) {
            wait_node_operational(node);
            run_media_paths(paths.data(), (uint32_t)paths.size(), nullptr);
        }
    } else if (dev.system.dev_count > 0) {
        loadmedia_devices(0, dev.system.dev_count);
    } else {
        job_error("ERROR: no media given. Provide a media file or directory, a .krdev / .krsys package, or load "
                  "devices with --dev / --sys first.\n");
    }
    system_dispatch_end(&saved);
}

bool cmd_loadmedia(const char *arg) { return system_dispatch_queue(&load_queue, arg, 0, loadmedia_dispatch_step); }

bool loadmedia_load(const char *path)
{
    if (!path || !path[0]) {
        PRINT("Give the media file (or a directory of media files) as a file path.\n");
        return false;
    }
    if (std::strlen(path) >= sizeof dev.loadmedia.file) return false;
    kr_copy_text(dev.loadmedia.file, sizeof dev.loadmedia.file, path);
    return add_task(loadmedia_step);
}

void loadmedia_step(void *)
{
    uint8_t node = db_get_nodeid(&dev.db);
    if (!node_usable(node, "*loadmedia*") || !bus_ready("loadmedia")) return;
    wait_node_operational(node);
    run_media_path(dev.loadmedia.file, nullptr);
}

// The node is the one selected before the option, if any; else the one selected when the job runs.
bool cmd_clearmedia(const char *)
{
    return system_dispatch_queue(&clear_queue, "", db_get_nodeid(&dev.db), clearmedia_step);
}

void clearmedia_step(void *)
{
    system_job_st job;
    if (!system_dispatch_take(&clear_queue, &job)) return;
    uint8_t node = job.flags ? (uint8_t)job.flags : db_get_nodeid(&dev.db);
    if (!node_usable(node, "*clearmedia*") || !bus_ready("clearmedia")) return;
    uint8_t one = 1;
    if (_kr_canopen_sdo_client_write(node, CANOPEN_MEDIA_CLEAR_REQ_INDEX, 0, 1, &one) != ERR_NONE) {
        job_error_plain("Couldn't clear media from node 0x%x\n", node);
        print_sdo_failure();
        return;
    }
    uint32_t start = kr_rtos_get_tick_count();
    for (;;) {
        uint32_t clearing = 0;
        if (!sdo_read_u32(node, CANOPEN_MEDIA_CLEAR_REQ_INDEX, 1, &clearing)) {
            job_error_plain("Error while clearing media.\n");
            print_sdo_failure();
            return;
        }
        if (clearing == 0) break;
        if (kr_rtos_get_tick_count() - start >= clear_wait_ms) {
            job_error("\nERROR: node 0x%x did not finish clearing its media within %u seconds.\n", node,
                      clear_wait_ms / 1000);
            return;
        }
        std::printf(".");
        std::fflush(stdout);
        kr_rtos_task_delay(1000);
    }
    std::printf("Media cleared from node 0x%x\n", node);
    std::fflush(stdout);
}

void loadmedia_load_device_async(const char *path, uint8_t node)
{
    if (!path || std::strlen(path) >= sizeof async_media_filepath) {
        job_error("ERROR: the package path for the media download is missing or too long.\n");
        async_media_finished = true;
        return;
    }
    if (!node_usable(node, "The media download")) {
        async_media_finished = true;
        return;
    }
    kr_copy_text(async_media_filepath, sizeof async_media_filepath, path);
    async_media_nodeid = node;
    async_media_finished = false;
    if (kr_rtos_task_create(loadmedia_device_task, "loadmedia_task", 51200, nullptr, 2, nullptr) != KR_RTOS_PASS) {
        job_error("ERROR: the media download task could not be started.\n");
        async_media_finished = true;
    }
}

bool loadmedia_load_device_is_finished(void) { return async_media_finished; }

} // extern "C"
