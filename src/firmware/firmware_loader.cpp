// The firmware loader. A load runs in one task (a job on the command line, "loadbin_task" under the
// window); the boot-up watcher runs in the library task and the progress task "segload update" beside
// the load. Only one RTOS task runs at a time, so the flags they share need no lock.
#include "firmware/firmware_loader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <new>
#include <string>
#include <vector>

#include "bus/bus.h"
#include "run/commands.h"
#include "database/db.h"
#include "kr_bytes.h"
#include "kr_can.h"
#include "kr_canopen.h"
#include "kr_rtos.h"
#include "system/system.h"
#include "system/package.h"

namespace {

enum : uint32_t { FLAG_WFR = 1u, FLAG_KR = 2u, FLAG_BLOCK = 4u };

system_job_queue_st load_queue;

// The window's private copy of a package's binary: removed when the load that uses it ends.
std::string window_copy;

// The boot-up watcher borrows the received frames while the load waits, then gives them back.
bool watcher_installed = false;

// The download has gone through and the reset that starts the image is under way: nothing to cancel.
bool resetting = false;

// A window load: a device whose bootloader is the maker's is flashed its way (load_makers_instead).
bool makers_fallback = false;
constexpr uint32_t ABORT_LENGTH_TOO_HIGH = 0x06070012;

// CiA 301 has no code for a user's cancel: the general error says the client ended the transfer.
constexpr uint32_t CANCEL_ABORT_CODE = 0x08000000;

// The progress task's handshake with the load (one task runs at a time).
struct update_st {
    bool running;
    bool stop;      // end without another look
    bool last_look; // one more look (the download went through), then end
    uint32_t last_index;
} update_state;

// ---- The boot-up watcher ----

void can_callb(void *, const kr_can_message_st *msg);

void watcher_remove(void)
{
    if (!watcher_installed) return;
    watcher_installed = false;
    bus_give_back_frames("loadbin", can_callb);
}

// A frame on 0x700 + node: a boot-up or a heartbeat, and the NMT state it reports.
bool is_node_state(const kr_can_message_st *msg, uint8_t node)
{
    return msg->type == CAN_STD && msg->id == 0x700u + node && msg->data_length == 1;
}

// How long two heartbeats may take, bounded: a slow heartbeat would otherwise hold the load for minutes.
uint32_t two_heartbeats_ms(uint16_t period)
{
    uint32_t ms = 2u * period + 100u;
    return ms < 5000u ? ms : 5000u;
}

// The state the node reported first after its boot-up; -1 until it reports one.
int state_after_bootup = -1;

// Stays in after the boot-up until the load has seen the state that follows it.
void can_callb(void *, const kr_can_message_st *msg)
{
    if (!watcher_installed || !is_node_state(msg, dev.load.nodeid)) return;
    if (!dev.load.response) {
        if (msg->data[0] != 0) return;
        dev.load.response = true;
        say_flushed("done\n");
    } else if (state_after_bootup < 0) {
        state_after_bootup = msg->data[0];
    }
}

void watcher_install(void)
{
    if (watcher_installed) return;
    state_after_bootup = -1;
    watcher_installed = true;
    // Refused, the wait hears no boot-up and the load fails on its own.
    if (!bus_borrow_frames("loadbin", can_callb)) watcher_installed = false;
}

// The node whose boot-up the last load's final reset still owes, when that reset went out, and its
// heartbeat period in the bootloader (0: none, or not known).
uint8_t owed_node = 0;
uint32_t owed_since = 0;
uint16_t owed_heartbeat_ms = 0;
bool owed_seen = false;

// A bootloader's heartbeats carry state 0 as a boot-up does: from a node that sends them, only a
// state other than 0 shows that the new image runs.
void owed_callb(void *, const kr_can_message_st *msg)
{
    if (is_node_state(msg, owed_node) && (msg->data[0] != 0 || owed_heartbeat_ms == 0)) owed_seen = true;
}

// A reset of this node that follows closely on the last load's own would otherwise be answered, to
// the watcher's eyes, by the boot-up that the earlier reset brings.
void await_owed_bootup(uint8_t node)
{
    if (owed_node != node) return;
    owed_seen = false;
    uint32_t limit = RESPONSE_DELAY_MS + (owed_heartbeat_ms ? two_heartbeats_ms(owed_heartbeat_ms) : 0u);
    if (bus_borrow_frames("loadbin", owed_callb)) {
        while (!owed_seen && kr_rtos_get_tick_count() - owed_since < limit) kr_rtos_task_delay(1);
        bus_give_back_frames("loadbin", owed_callb);
    }
    owed_node = 0;
}

// The heartbeat period the node keeps in 0x1017; 0 when it sends none or does not say.
uint16_t heartbeat_period(uint8_t node)
{
    uint8_t v[2] = {};
    if (_kr_canopen_sdo_client_read(node, CANOPEN_HEARTBEAT_PRODUCER_INDEX, 0, sizeof v, v) != ERR_NONE) return 0;
    return kr_get_le16(v);
}

const char *nmt_state_name(int state)
{
    switch (state) {
    case 4: return "stopped";
    case 5: return "operational";
    case 127: return "pre-operational";
    default: return "unknown";
    }
}

// Read without writing anything: after its reset a CiA 302 device runs its application, which sends
// its heartbeat in pre-operational or operational; the maker's bootloader keeps sending state 0. A
// node without heartbeats cannot be told, and is taken as it is. False (with the error) when the node
// is not in the maker's bootloader.
bool bootloader_is_makers(void)
{
    load_st &l = dev.load;
    uint16_t period = heartbeat_period(l.nodeid);
    owed_heartbeat_ms = period;
    if (period == 0) return true;
    uint32_t since = kr_rtos_get_tick_count();
    while (state_after_bootup < 0 && !l.cancel && kr_rtos_get_tick_count() - since < two_heartbeats_ms(period))
        kr_rtos_task_delay(1);
    if (state_after_bootup <= 0) return true;
    job_error("ERROR: node 0x%x runs its application after the reset (its heartbeat says %s), so it has no "
              "bootloader of the maker's kind: give its firmware to --loadbin. Nothing was downloaded.\n",
              (unsigned)l.nodeid, nmt_state_name(state_after_bootup));
    return false;
}

// Waits for the boot-up frame; false when cancelled. The watcher stays in.
bool wait_bootup(bool reset_sent)
{
    load_st &l = dev.load;
    say_flushed("Waiting to receive boot up message from node 0x%x...\n", (unsigned)l.nodeid);
    l.waiting = true;
    bool cancelled = false;
    uint32_t last = kr_rtos_get_tick_count();
    while (!l.response) {
        if (l.cancel) {
            job_error_plain("Flashing cancelled.\n");
            cancelled = true;
            break;
        }
        uint32_t now = kr_rtos_get_tick_count();
        uint32_t step = now - last;
        last = now;
        if (!l.wait_forever && kr_delay(&l.delay, step)) {
            if (reset_sent)
                say_flushed("Couldn't reset node. No response to NMT Reset Node.\n");
            else
                say_flushed("No boot up message from node 0x%x within %u seconds.\n", (unsigned)l.nodeid,
                            (unsigned)(l.wfr ? LOADWFR_WAIT_TIME_MS : RESPONSE_DELAY_MS) / 1000u);
            break;
        }
        kr_rtos_task_delay(1);
    }
    l.waiting = false;
    return !cancelled;
}

// ---- The progress task ----

uint8_t per_cent(uint64_t done, uint64_t total, bool nearest)
{
    if (total == 0) return 100;
    uint64_t p = (done * 100u + (nearest ? total / 2u : 0u)) / total;
    return (uint8_t)(p > 100 ? 100 : p);
}

void update_look(void)
{
    uint32_t index = kr_canopen_sdo_client_get_data_index(), count = kr_canopen_sdo_client_get_data_count();
    if (index == update_state.last_index) return;
    if (index < update_state.last_index)
        say_flushed("The download went back to byte %u: the device did not take what followed, which is sent "
                    "again.\n",
                    (unsigned)index);
    update_state.last_index = index;
    uint8_t p = per_cent(index, count, true);
    say_flushed("downloaded %u / %u bytes (%u %%)\n", (unsigned)index, (unsigned)count, (unsigned)p);
    dev.load.progress = p;
}

// Every byte sent is not yet done: the device may still refuse the end (its CRC), so the task
// looks until the load tells it how the download ended.
void update(void *)
{
    for (;;) {
        if (update_state.stop) break;
        if (update_state.last_look) {
            update_look();
            say_flushed("Loading done!\n");
            break;
        }
        update_look();
        kr_rtos_task_delay(LOAD_UPDATE_PERIOD_MS);
    }
    update_state.running = false;
    kr_rtos_task_delete(nullptr);
}

bool update_start(void)
{
    update_state = update_st{};
    update_state.running = true;
    if (kr_rtos_task_create(update, "segload update", 10240, nullptr, 101, nullptr) != KR_RTOS_PASS) {
        update_state.running = false;
        return false;
    }
    return true;
}

// The task ends before the load reports, so no later transfer is taken for this one.
void update_end(bool success)
{
    if (success)
        update_state.last_look = true;
    else
        update_state.stop = true;
    while (update_state.running) kr_rtos_task_delay(1);
}

// ---- The file ----

// Opens a regular file of at most LOAD_FILE_MAX_BYTES without blocking on a FIFO or a device.
FILE *open_firmware(const char *path, uint64_t *size)
{
    const char *why = nullptr;
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    struct stat st {};
    if (fd < 0) {
        why = std::strerror(errno);
    } else if (fstat(fd, &st) != 0) {
        why = std::strerror(errno);
    } else if (!S_ISREG(st.st_mode)) {
        why = "it is not a regular file";
    } else if ((uint64_t)st.st_size > LOAD_FILE_MAX_BYTES) {
        why = "it is larger than 4294967295 bytes";
    }
    FILE *f = nullptr;
    if (!why) {
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
        f = fdopen(fd, "rb");
        if (!f) why = std::strerror(errno);
    }
    if (!f) {
        if (fd >= 0) close(fd);
        job_error_plain("Failed to open firmware file %s. (%s)\n", path, why);
        return nullptr;
    }
    *size = (uint64_t)st.st_size;
    return f;
}

// ---- The two flavours ----

bool load_pieces(FILE *f, uint32_t size);

bool load_kr(FILE *f, uint32_t size)
{
    load_st &l = dev.load;
    await_owed_bootup(l.nodeid);
    watcher_install(); // before the reset, so a quick boot-up is not missed
    if (!l.wfr) {
        say_flushed("Resetting node 0x%x\n", (unsigned)l.nodeid);
        kr_canopen_nmt_master_send_cmd(l.nodeid, CANOPEN_NMT_CMD_RESET_NODE);
    }
    owed_heartbeat_ms = 0;
    bool go = wait_bootup(!l.wfr) && (!l.response || bootloader_is_makers());
    watcher_remove();
    if (!go) return false;
    say_flushed(l.response ? "Reset OK. Now downloading...\n" : "Now downloading...\n");
    if (!l.block_transfer) {
        // No command asks for the maker's bootloader without block transfer.
        job_failed();
        return false;
    }
    return load_pieces(f, size);
}

bool load_pieces(FILE *f, uint32_t size)
{
    load_st &l = dev.load;
    say_flushed("Downloading the firmware as SDO block transfer\n");
    uint8_t piece[BLOCK_SIZE];
    uint32_t sent = 0;
    for (uint32_t n = 1; sent < size; n++) {
        if (l.cancel) {
            job_error_plain("Flashing cancelled.\n");
            return false;
        }
        uint32_t len = size - sent < BLOCK_SIZE ? size - sent : BLOCK_SIZE;
        if (std::fread(piece, 1, len, f) != len) {
            job_error("ERROR: Reading file failed at byte %u / %u. Firmware download cancelled.\n", (unsigned)sent,
                      (unsigned)size);
            return false;
        }
        if (_kr_canopen_sdo_client_block_write(l.nodeid, CANOPEN_PROGRAM_DATA_INDEX, BOOTLOADER_SUBINDEX, len, piece) !=
            ERR_NONE) {
            if (l.cancel) {
                job_error_plain("Flashing cancelled.\n");
                return false;
            }
            job_error_plain("Error while downloading block %u.\n", (unsigned)n);
            print_sdo_failure();
            return false;
        }
        sent += len;
        l.progress = per_cent(sent, size, false);
        say_flushed("Block %u downloaded, %u / %u bytes (%u %%)\n", (unsigned)n, (unsigned)sent, (unsigned)size,
                    (unsigned)l.progress);
    }
    return true;
}

// The window does not know a device's bootloader: one that refuses the CiA 302 download as too long
// takes the maker's pieces, and one without the program object is reset into the maker's bootloader.
bool makers_bootloader_answer(uint32_t code)
{
    return code == ABORT_LENGTH_TOO_HIGH || code == CANOPEN_SDO_ERROR_OBJECT_DOES_NOT_EXIST;
}

bool load_makers_instead(FILE *f, uint32_t size)
{
    load_st &l = dev.load;
    const uint32_t code = _kr_canopen_sdo_get_error_code();
    print_sdo_failure();
    std::rewind(f);
    if (code == ABORT_LENGTH_TOO_HIGH) {
        say_flushed("Node 0x%x takes the firmware in pieces of %u bytes: it is sent so.\n", (unsigned)l.nodeid,
                    BLOCK_SIZE);
        return load_pieces(f, size);
    }
    say_flushed("Node 0x%x has no program object: it is reset into its bootloader.\n", (unsigned)l.nodeid);
    l.kr = true;
    l.response = false;
    return load_kr(f, size);
}

bool load_cia(FILE *f, uint32_t size)
{
    load_st &l = dev.load;
    owed_heartbeat_ms = 0;
    if (l.wfr) {
        l.response = false;
        watcher_install();
        bool waited = wait_bootup(false);
        watcher_remove();
        if (!waited) return false;
        if (!l.response) {
            job_error("ERROR: node 0x%x sent no boot up message; the firmware was not loaded.\n", (unsigned)l.nodeid);
            return false;
        }
    }
    // Without the wait the node counts as answering (see run_load); after it, it has answered.
    if (l.cancel) {
        job_error_plain("Flashing cancelled.\n");
        return false;
    }
    say_flushed("Now downloading...\n");
    std::vector<uint8_t> data;
    try {
        data.resize(size);
    } catch (const std::bad_alloc &) {
        job_error("ERROR: Reading file failed. Firmware download cancelled.\n");
        return false;
    }
    if (std::fread(data.data(), 1, size, f) != size) {
        job_error("ERROR: Reading file failed. Firmware download cancelled.\n");
        return false;
    }
    kr_canopen_sdo_client_reset_progress(size);
    bool progress = update_start();
    kr_errors_e err;
    if (l.block_transfer) {
        say_flushed("Downloading the firmware as SDO block transfer.\n");
        err = _kr_canopen_sdo_client_block_write(l.nodeid, CANOPEN_PROGRAM_DATA_INDEX, BOOTLOADER_SUBINDEX, size,
                                                 data.data());
    } else {
        say_flushed("Downloading the firmware as SDO segmented transfer\n");
        err = _kr_canopen_sdo_client_write(l.nodeid, CANOPEN_PROGRAM_DATA_INDEX, BOOTLOADER_SUBINDEX, size,
                                           data.data());
    }
    if (progress) update_end(err == ERR_NONE);
    if (err != ERR_NONE && l.cancel) {
        job_error_plain("Flashing cancelled: the download was aborted, so the device keeps its firmware.\n");
        return false;
    }
    if (err != ERR_NONE && makers_fallback && makers_bootloader_answer(_kr_canopen_sdo_get_error_code()))
        return load_makers_instead(f, size);
    if (err != ERR_NONE) {
        job_error_plain("Downloading the binary failed. Error code: %u\n", (unsigned)err);
        print_sdo_failure();
        return false;
    }
    return true;
}

bool run_load(void)
{
    load_st &l = dev.load;
    if (!system_nodeid_valid(l.nodeid)) {
        // Node 0 would reset every node on the bus.
        job_error("ERROR: no node id to flash: select one with --nodeid, a ':<nodeid>' postfix or a device "
                  "package.\n");
        return false;
    }
    uint64_t size64 = 0;
    FILE *f = open_firmware(l.firmware, &size64);
    if (!f) return false;
    uint32_t size = (uint32_t)size64;
    say_flushed("Opened file %s. Size: %u bytes.\n", l.firmware, (unsigned)size);
    bool ok = false;
    if (size == 0) {
        job_error("ERROR: firmware file %s is empty. Firmware download cancelled.\n", l.firmware);
    } else if (!kr_can_is_connected() && (kr_can_set_up(false) != nullptr || !kr_can_is_connected())) {
        job_error("ERROR: the firmware was not loaded: %s\n", bus_port_reason());
    } else {
        l.response = !l.kr;
        ok = l.kr ? load_kr(f, size) : load_cia(f, size);
    }
    watcher_remove();
    std::fclose(f);
    if (ok) {
        resetting = true;
        say_flushed("Loading done. Resetting device... OK!\n");
        kr_canopen_nmt_master_send_cmd(l.nodeid, CANOPEN_NMT_CMD_RESET_NODE);
        owed_node = l.nodeid;
        owed_since = kr_rtos_get_tick_count();
        say_flushed("Binary file closed.\n");
    }
    return ok;
}

void loadbin_task(void *)
{
    load_step(nullptr);
    kr_rtos_task_delete(nullptr);
}

bool flash_argument_file(const char *path, uint8_t node, bool wfr, bool kr, bool block)
{
    say_flushed("Firmware %s selected\n", path);
    return flash_bin_sync(path, node, wfr, kr, block);
}

// Fails a window load that never started.
bool not_started(void)
{
    load_remove_window_copy();
    dev.load.success = false;
    dev.load.finished = true;
    return false;
}

} // namespace

extern "C" {

void load_remove_window_copy(void)
{
    if (window_copy.empty()) return;
    std::error_code ec;
    std::filesystem::remove(window_copy, ec);
    window_copy.clear();
}

bool load_configure(const char *path, bool wfr, bool kr, bool block)
{
    load_st &l = dev.load;
    if (!path || std::strlen(path) >= sizeof l.firmware) {
        // A cut path could name another file.
        job_error("ERROR: the firmware path '%s' is longer than %u characters; it was not loaded.\n", path ? path : "",
                  (unsigned)sizeof l.firmware - 1);
        return false;
    }
    std::memcpy(l.firmware, path, std::strlen(path) + 1);
    l.response = false;
    l.wfr = wfr;
    l.kr = kr;
    l.block_transfer = block;
    l.nodeid = db_get_nodeid(&dev.db);
    l.cancel = false;
    l.waiting = false;
    l.wait_forever = false;
    l.delay = wfr ? LOADWFR_WAIT_TIME_MS : RESPONSE_DELAY_MS;
    makers_fallback = false;
    return true;
}

void load_step(void *)
{
    load_st &l = dev.load;
    l.finished = false;
    l.success = false;
    l.progress = 0;
    resetting = false;
    bool ok = run_load(); // a failure says why as a job error
    load_remove_window_copy();
    l.success = ok;
    l.finished = true;
    resetting = false;
}

bool flash_bin_sync(const char *path, uint8_t node, bool wfr, bool kr, bool block)
{
    if (!load_configure(path, wfr, kr, block)) return false;
    dev.load.nodeid = node;
    dev.load.finished = false;
    load_step(nullptr);
    return dev.load.success;
}

bool flash_krdev_sync(const char *path, uint8_t node, bool wfr, bool kr, bool block)
{
    krdev_st pkg;
    if (!krdev_open(&pkg, path)) {
        job_error("ERROR: failed to open the device package '%s': %s.\n", path, package_error());
        return false;
    }
    bool ok = false;
    if (!pkg.firmware[0]) {
        job_error("ERROR: package '%s' has no FIRMWARE entry in its manifest.\n", path);
    } else {
        std::string bin = std::string(pkg.dir) + "/" + pkg.firmware;
        say_flushed("Flashing firmware '%s' to node 0x%x%s\n", pkg.firmware, (unsigned)node,
                    wfr ? " once it boots up" : "");
        ok = flash_bin_sync(bin.c_str(), node, wfr, kr, block);
    }
    krdev_close(&pkg);
    return ok;
}

void flash_devices(uint32_t first, uint32_t end, bool wfr, bool kr, bool block)
{
    system_st &s = dev.system;
    if (end > s.dev_count) end = s.dev_count;
    system_apply_forced_nodeid(&s, first, end);
    uint32_t with_package = 0, flashed = 0;
    for (uint32_t i = first; i < end; i++)
        if (s.devs[i].filepath[0]) with_package++;
    for (uint32_t i = first; i < end; i++) {
        const device_st &d = s.devs[i];
        if (!d.filepath[0]) {
            job_warning("Skipping device '%s' (node 0x%x): no configuration package.\n", d.name, (unsigned)d.nodeid);
            continue;
        }
        say_flushed("\n=== Flashing device %u/%u: '%s' (node 0x%x) ===\n", (unsigned)(i - first + 1),
                    (unsigned)(end - first), d.name, (unsigned)d.nodeid);
        if (flash_krdev_sync(d.filepath, d.nodeid, wfr, kr, block)) {
            flashed++;
        } else {
            job_error("Flashing device '%s' (node 0x%x) failed.\n", d.name, (unsigned)d.nodeid);
        }
    }
    say_flushed("\nFlashed %u/%u device(s) successfully.\n", (unsigned)flashed, (unsigned)with_package);
}

bool load_dispatch(const char *arg, bool wfr, bool kr, bool block)
{
    uint32_t flags = (wfr ? FLAG_WFR : 0u) | (kr ? FLAG_KR : 0u) | (block ? FLAG_BLOCK : 0u);
    return system_dispatch_queue(&load_queue, arg, flags, load_dispatch_step);
}

void load_dispatch_step(void *)
{
    system_job_st job;
    if (!system_dispatch_take(&load_queue, &job)) return;
    load_st &l = dev.load;
    std::memcpy(l.dispatch_arg, job.arg, sizeof l.dispatch_arg);
    l.dispatch_wfr = job.flags & FLAG_WFR;
    l.dispatch_kr = job.flags & FLAG_KR;
    l.dispatch_block = job.flags & FLAG_BLOCK;
    l.dispatch_nodeids = job.nodeids;
    bool wfr = l.dispatch_wfr, kr = l.dispatch_kr, block = l.dispatch_block;

    system_nodeids_st saved;
    system_dispatch_begin(&job.nodeids, &saved);
    char path[DEV_PATH_LEN];
    const char *file = nullptr;
    system_st &s = dev.system;
    if (!cmdline_load_arg_nodeid(job.arg, path, sizeof path, &file)) {
        // said as an error
    } else if (file && path_ends_with(file, ".krsys")) {
        uint32_t before = s.dev_count;
        if (!system_set_file(&s, file)) {
            job_error("ERROR: failed to load system package '%s': %s.\n", file, package_error());
        } else {
            flash_devices(before, s.dev_count, wfr, kr, block);
        }
    } else if (file && path_ends_with(file, ".krdev")) {
        uint32_t before = s.dev_count;
        if (!system_add_device(&s, file, db_get_nodeid(&dev.db))) {
            job_error("ERROR: failed to add device package '%s'.\n", file);
        } else {
            flash_devices(before, s.dev_count, wfr, kr, block);
        }
    } else if (file) {
        flash_argument_file(file, db_get_nodeid(&dev.db), wfr, kr, block);
    } else if (s.dev_count > 0) {
        flash_devices(0, s.dev_count, wfr, kr, block);
    } else if (makekrdev_get_firmware()[0]) {
        flash_argument_file(makekrdev_get_firmware(), db_get_nodeid(&dev.db), wfr, kr, block);
    } else {
        job_error("ERROR: no firmware given. Provide a firmware binary, a .krdev / .krsys package, the binary "
                  "to flash with --firmware, or load devices with --dev / --sys first.\n");
    }
    system_dispatch_end(&saved);
}

bool loadbin(const char *path, uint8_t node, bool wfr, bool kr, bool block)
{
    if (!load_configure(path, wfr, kr, block)) return not_started();
    load_st &l = dev.load;
    l.nodeid = node;
    l.finished = false;
    l.cancel = false;
    l.waiting = false;
    l.wait_forever = wfr;
    makers_fallback = !kr;
    if (kr_rtos_task_create(loadbin_task, "loadbin_task", 10240, nullptr, 2, nullptr) != KR_RTOS_PASS) {
        job_error("ERROR: the firmware load could not be started.\n");
        return not_started();
    }
    return true;
}

bool load_flash_krdev_to_node(const char *path, uint8_t node, bool wfr)
{
    if (!path || !path[0]) {
        job_error("ERROR: no firmware package given to flash.\n");
        return not_started();
    }
    krdev_st pkg;
    if (!krdev_open(&pkg, path)) {
        job_error("ERROR: failed to open the device package '%s': %s.\n", path, package_error());
        return not_started();
    }
    if (!pkg.firmware[0]) {
        job_error("ERROR: package '%s' has no FIRMWARE entry in its manifest.\n", path);
        krdev_close(&pkg);
        return not_started();
    }
    // A private file of our own, copied without a shell: the manifest's text never reaches a command
    // line, and nothing planted in the temporary folder can redirect the copy.
    load_remove_window_copy();
    system_tmp_first_use();
    std::string src = std::string(pkg.dir) + "/" + pkg.firmware;
    const char *tmp = std::getenv("TMPDIR");
    std::string dest = std::string(tmp && tmp[0] ? tmp : "/tmp") + "/krcan_flash." + std::to_string(getpid()) +
                       ".XXXXXX";
    std::vector<char> name(dest.begin(), dest.end());
    name.push_back('\0');
    int fd = mkstemp(name.data());
    std::error_code ec;
    bool copied = false;
    if (fd >= 0) {
        close(fd);
        window_copy = name.data();
        copied = std::filesystem::copy_file(src, window_copy, std::filesystem::copy_options::overwrite_existing, ec);
    }
    if (!copied) {
        job_error("ERROR: failed to extract the firmware binary from the package.\n");
        krdev_close(&pkg);
        return not_started();
    }
    say_flushed("Flashing firmware '%s' to node 0x%x%s\n", pkg.firmware, (unsigned)node,
                wfr ? " once it boots up" : "");
    std::string copy = window_copy;
    bool started = loadbin(copy.c_str(), node, wfr, false, true);
    krdev_close(&pkg);
    return started;
}

bool load_flash_device_to_node(const device_st *device, uint8_t node, bool wfr)
{
    if (!device || !device->filepath[0]) {
        job_error("ERROR: the device has no configuration package; assign a .krdev\nfile before flashing "
                  "firmware.\n");
        return not_started();
    }
    return load_flash_krdev_to_node(device->filepath, node, wfr);
}

bool load_flash_device(const device_st *device, bool wfr)
{
    return load_flash_device_to_node(device, device ? device->nodeid : 0, wfr);
}

bool load_firmware(const char *path, bool wfr, bool kr, bool block)
{
    if (!path || !path[0]) {
        job_error("ERROR: Give firmware as a file path to binary file.\n");
        return false;
    }
    say_flushed("Firmware %s selected\n", path);
    if (!load_configure(path, wfr, kr, block) || !add_task(load_step)) return false;
    kr_can_set_up(false);
    return true;
}

void load_cancel(void)
{
    dev.load.cancel = true;
    // A download under way is aborted on the bus at once rather than run to its end.
    if (!dev.load.finished && !resetting) kr_canopen_sdo_client_cancel(CANCEL_ABORT_CODE);
}

bool load_is_resetting(void) { return resetting && !dev.load.finished; }

bool cmd_load(const char *arg) { return load_dispatch(arg, false, false, true); }
bool cmd_loadwfr(const char *arg) { return load_dispatch(arg, true, false, true); }
bool cmd_segload(const char *arg) { return load_dispatch(arg, false, false, false); }
bool cmd_segloadwfr(const char *arg) { return load_dispatch(arg, true, false, false); }
bool cmd_krload(const char *arg) { return load_dispatch(arg, false, true, true); }
bool cmd_krloadwfr(const char *arg) { return load_dispatch(arg, true, true, true); }

} // extern "C"
