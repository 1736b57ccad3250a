// The firmware loader. A load runs in one task (a job on the command line, "loadbin_task" under the
// window); the boot-up watcher runs in the library task and the progress task "segload update" beside
// the load. Only one RTOS task runs at a time, so the flags they share need no lock.
#include "firmware/firmware_loader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
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
#include "database/parser.h"
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

// A window load: waits that the command line bounds last until the window cancels them.
bool window_load = false;

// ---- What a Ctrl-C leaves behind ----

// The line the signal handler writes when the run ends during this load: what the device holds then.
// Two buffers, so the one the handler may be reading is never rewritten.
char interrupt_text[2][320];
std::atomic<const char *> interrupt_line{nullptr};
std::atomic<size_t> interrupt_len{0};
unsigned interrupt_slot = 0;

// Runs in the signal handler: write() only.
void interrupt_cleanup(void)
{
    const char *line = interrupt_line.load();
    if (!line) return;
    ssize_t w = write(STDOUT_FILENO, line, interrupt_len.load());
    (void)w;
}

void interrupt_say(const char *format, ...) __attribute__((format(printf, 1, 2)));
void interrupt_say(const char *format, ...)
{
    static bool hooked = false;
    if (!hooked) kr_add_signal_cleanup(interrupt_cleanup);
    hooked = true;
    if (!format) {
        interrupt_line = nullptr;
        return;
    }
    interrupt_slot ^= 1u;
    char *buf = interrupt_text[interrupt_slot];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(buf, sizeof interrupt_text[0], format, ap);
    va_end(ap);
    interrupt_line = nullptr;
    interrupt_len = std::strlen(buf);
    interrupt_line = buf;
}

void interrupt_clear(void) { interrupt_say(nullptr); }

// ---- The product a package is made for ----

struct identity_st {
    bool known = false; // the package's database names VENDORID and PRODUCTCODE
    bool has_db = false;
    uint32_t vendor = 0, product = 0;
};

// The load under way flashes a package's firmware: its device is checked before the first frame.
struct expected_st {
    bool set = false;
    bool checked = false; // a system run checked every device before its first download
    identity_st id;
    std::string package;
} expected;

bool read_u32(parser_node_st n, uint32_t *out)
{
    if (!parser_node_is_valid(n)) return false;
    if (parser_get_type(n) == PARSER_INT) {
        int32_t v = parser_get_int(n);
        if (v < 0) return false;
        *out = (uint32_t)v;
        return true;
    }
    char text[32];
    if (parser_get_type(n) != PARSER_STRING || !parser_get_string(n, text, sizeof text) || !text[0]) return false;
    char *end = nullptr;
    errno = 0;
    unsigned long long v = std::strtoull(text, &end, 0);
    if (errno || *end || text[0] == '-' || v > UINT32_MAX) return false;
    *out = (uint32_t)v;
    return true;
}

identity_st package_identity(const krdev_st &pkg)
{
    identity_st id;
    if (!pkg.database[0]) return id;
    id.has_db = true;
    std::string path = std::string(pkg.dir) + "/" + pkg.database;
    char *text = nullptr;
    parser_node_st root = parser_read_file(path.c_str(), &text);
    if (parser_node_is_valid(root))
        id.known = read_u32(parser_find_child(root, "VENDORID"), &id.vendor) &&
                   read_u32(parser_find_child(root, "PRODUCTCODE"), &id.product);
    std::free(text);
    return id;
}

bool read_device_u32(uint8_t node, uint8_t sub, uint32_t *out)
{
    uint8_t v[4] = {};
    if (_kr_canopen_sdo_client_read(node, CANOPEN_IDENTITY_INDEX, sub, sizeof v, v) != ERR_NONE) return false;
    *out = kr_get_le32(v);
    return true;
}

load_identity_e check_identity(const identity_st &want, const char *package, uint8_t node)
{
    if (!want.known) {
        job_warning("WARNING: package '%s' %s, so node 0x%x could not be checked against the product it is made "
                    "for; it is flashed all the same.\n",
                    package, want.has_db ? "has no readable VENDORID and PRODUCTCODE" : "has no device database",
                    (unsigned)node);
        return LOAD_IDENTITY_UNCHECKED;
    }
    uint32_t vendor = 0, product = 0;
    if (!read_device_u32(node, CANOPEN_IDENTITY_VENDOR_SUBINDEX, &vendor) ||
        !read_device_u32(node, CANOPEN_IDENTITY_PRODUCT_SUBINDEX, &product)) {
        char why[320];
        job_warning("WARNING: the identity (0x1018) of node 0x%x could not be read (%s), so it could not be checked "
                    "against package '%s'; it is flashed all the same.\n",
                    (unsigned)node, sdo_failure_text(why, sizeof why), package);
        return LOAD_IDENTITY_UNCHECKED;
    }
    if (vendor == want.vendor && product == want.product) return LOAD_IDENTITY_SAME;
    job_error("ERROR: node 0x%x is vendor 0x%X product 0x%X, but package '%s' is made for vendor 0x%X product 0x%X: "
              "nothing was downloaded to it. To flash another product on purpose, give the firmware file itself "
              "(--loadbin=FILE).\n",
              (unsigned)node, (unsigned)vendor, (unsigned)product, package, (unsigned)want.vendor,
              (unsigned)want.product);
    return LOAD_IDENTITY_OTHER;
}

// A package of a system package is named as the system names it, not by the folder it was
// extracted to.
std::string package_label(const char *path)
{
    std::string p = path ? path : "";
    const size_t at = p.find("/krcan_krsys.");
    if (at == std::string::npos) return p;
    const size_t slash = p.find('/', at + 1);
    return slash == std::string::npos ? p : p.substr(slash + 1);
}

// Before the first frame that changes the device; false refuses the load.
bool identity_gate(void)
{
    if (!expected.set || expected.checked) return true;
    expected.checked = true;
    return check_identity(expected.id, expected.package.c_str(), dev.load.nodeid) != LOAD_IDENTITY_OTHER;
}

// ---- Documents given as firmware ----

// Plain text reads as YAML too: a document opens with a mapping key ("name:") or a sequence entry ("- ").
bool yaml_shaped(const char *text, size_t n)
{
    size_t at = 0;
    for (;;) { // past comments and the document marker
        if (at < n && text[at] == '#') {
            while (at < n && text[at] != '\n') at++;
        } else if (n - at >= 3 && std::memcmp(text + at, "---", 3) == 0) {
            at += 3;
        } else {
            break;
        }
        while (at < n && std::strchr(" \t\r\n", text[at])) at++;
    }
    if (at < n && text[at] == '-' && (at + 1 == n || text[at + 1] == ' ' || text[at + 1] == '\n')) return true;
    for (size_t k = at; k < n && text[k] != '\n'; k++)
        if (text[k] == ':' && (k + 1 == n || std::strchr(" \t\r\n", text[k + 1]))) return k > at;
    return false;
}

// What a file that is no firmware image is (a zip archive, a JSON or YAML document), or null. Firmware
// images hold bytes that no text has, so only text is parsed.
const char *document_kind(FILE *f, uint64_t size)
{
    constexpr size_t HEAD = 65536;
    constexpr uint64_t TEXT_MAX = 4u << 20;
    std::vector<char> head((size_t)std::min<uint64_t>(size, HEAD));
    size_t n = std::fread(head.data(), 1, head.size(), f);
    std::rewind(f);
    if (n >= 4 && (std::memcmp(head.data(), "PK\x03\x04", 4) == 0 || std::memcmp(head.data(), "PK\x05\x06", 4) == 0))
        return "a zip archive";
    for (size_t i = 0; i < n; i++) {
        unsigned char c = (unsigned char)head[i];
        if ((c < 0x20 && c != '\t' && c != '\n' && c != '\r') || c == 0x7F) return nullptr;
    }
    if (size > TEXT_MAX) return nullptr;
    std::vector<char> text((size_t)size + 1);
    size_t got = std::fread(text.data(), 1, (size_t)size, f);
    std::rewind(f);
    if (got != size) return nullptr;
    size_t i = 0;
    if (size >= 3 && std::memcmp(text.data(), "\xEF\xBB\xBF", 3) == 0) i = 3;
    while (i < size && std::strchr(" \t\r\n", text[i])) i++;
    const bool json = i < size && (text[i] == '{' || text[i] == '[');
    if (!json && !yaml_shaped(text.data() + i, (size_t)size - i)) return nullptr;
    parser_node_st root = parser_read_buffer(text.data(), (size_t)size, json ? PARSER_FORMAT_JSON : PARSER_FORMAT_YAML);
    if (!parser_node_is_valid(root)) return nullptr;
    parser_types_e t = parser_get_type(root);
    if ((t != PARSER_OBJECT && t != PARSER_ARRAY) || parser_get_child_count(root) == 0) return nullptr;
    return json ? "a JSON document" : "a YAML document";
}

// The refusal of a document given as firmware, or false for an image.
bool refuse_document(const char *path, FILE *f, uint64_t size)
{
    const char *kind = document_kind(f, size);
    if (!kind) return false;
    if (std::strcmp(kind, "a zip archive") == 0)
        job_error("ERROR: firmware file %s is a zip archive: this is a package; name it .krdev. Nothing was "
                  "downloaded.\n",
                  path);
    else
        job_error("ERROR: firmware file %s is %s, not a firmware image. Nothing was downloaded.\n", path, kind);
    return true;
}

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

// The boot-up after the final reset, which ends the load: the node's heartbeat period in the
// bootloader (0: none, or not known) and whether the new image has shown itself.
uint8_t owed_node = 0;
uint16_t owed_heartbeat_ms = 0;
volatile bool owed_seen = false;

// A bootloader's heartbeats carry state 0 as a boot-up does: from a node that sends them, only a
// state other than 0 shows that the new image runs. Otherwise the boot-up itself (state 0) does; a
// heartbeat of the image still running when the reset went out does not.
void owed_callb(void *, const kr_can_message_st *msg)
{
    if (!is_node_state(msg, owed_node)) return;
    if (owed_heartbeat_ms ? msg->data[0] != 0 : msg->data[0] == 0) owed_seen = true;
}

// The next command finds the device up: the load ends once the new image has booted (bounded).
void await_new_image(uint8_t node)
{
    owed_node = node;
    owed_seen = false;
    const uint32_t limit = LOADWFR_WAIT_TIME_MS + (owed_heartbeat_ms ? two_heartbeats_ms(owed_heartbeat_ms) : 0u);
    const uint32_t since = kr_rtos_get_tick_count();
    if (bus_borrow_frames("loadbin", owed_callb)) {
        while (!owed_seen && kr_rtos_get_tick_count() - since < limit) kr_rtos_task_delay(1);
        bus_give_back_frames("loadbin", owed_callb);
    }
    if (!owed_seen)
        job_warning("WARNING: node 0x%x sent no boot-up within %u seconds of its reset; the next command may find "
                    "it still starting.\n",
                    (unsigned)node, (unsigned)(limit / 1000u));
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

// ---- A node already in the maker's bootloader ----

// The last NMT state a node reported, and when (the library task writes them).
uint8_t heard_node = 0;
volatile int heard_state = -1;
volatile uint32_t heard_at = 0;
volatile bool heard_powered_on = false;
uint32_t heard_gap_ms = 0;

// A power cycle shows as a silence longer than the heartbeat period, then the boot-up.
void heard_callb(void *, const kr_can_message_st *msg)
{
    if (!is_node_state(msg, heard_node)) return;
    uint32_t now = kr_rtos_get_tick_count();
    if (msg->data[0] == 0 && (heard_gap_ms == 0 || now - heard_at > heard_gap_ms)) heard_powered_on = true;
    heard_state = msg->data[0];
    heard_at = now;
}

// The maker's bootloader keeps the pieces it was sent until it loses power, and a reset starts
// whatever it holds. A node in its bootloader before the flash may hold pieces of an earlier,
// interrupted flash: its heartbeat says state 0, or (without heartbeats) it answers for the program
// object that the maker's applications lack. Only reads go out.
bool in_makers_bootloader(uint8_t node)
{
    uint8_t v[2] = {};
    if (_kr_canopen_sdo_client_read(node, CANOPEN_HEARTBEAT_PRODUCER_INDEX, 0, sizeof v, v) != ERR_NONE)
        return false; // no answer: nothing to tell it by
    const uint16_t period = kr_get_le16(v);
    if (period == 0) {
        uint8_t probe[4] = {};
        if (_kr_canopen_sdo_client_read(node, CANOPEN_PROGRAM_DATA_INDEX, BOOTLOADER_SUBINDEX, sizeof probe, probe) ==
            ERR_NONE)
            return true;
        const uint32_t code = _kr_canopen_sdo_get_error_code();
        return code != CANOPEN_SDO_ERROR_OBJECT_DOES_NOT_EXIST && code != CANOPEN_SDO_ERROR_SDO_PROTOCOL_TIMED_OUT;
    }
    heard_node = node;
    heard_state = -1;
    heard_gap_ms = 0;
    if (!bus_borrow_frames("loadbin", heard_callb)) return false;
    const uint32_t since = kr_rtos_get_tick_count();
    while (heard_state < 0 && !dev.load.cancel && kr_rtos_get_tick_count() - since < two_heartbeats_ms(period))
        kr_rtos_task_delay(1);
    bus_give_back_frames("loadbin", heard_callb);
    return heard_state == 0;
}

// No reset for a bootloader that may hold pieces: its power-on boot-up (which empties it) is awaited,
// as the wait of --krloadbinwfr does. False (said) when cancelled or when it does not come.
bool await_power_on(void)
{
    load_st &l = dev.load;
    uint8_t v[2] = {};
    uint16_t period = 0;
    if (_kr_canopen_sdo_client_read(l.nodeid, CANOPEN_HEARTBEAT_PRODUCER_INDEX, 0, sizeof v, v) == ERR_NONE)
        period = kr_get_le16(v);
    heard_node = l.nodeid;
    heard_state = -1;
    heard_powered_on = false;
    heard_at = kr_rtos_get_tick_count();
    heard_gap_ms = period ? 3u * period + 200u : 0u; // a late step must not pass for a power cycle
    interrupt_say("\nThe flash of node 0x%x was interrupted before anything was downloaded; its old image is "
                  "kept.\n",
                  (unsigned)l.nodeid);
    // Listening before the user is asked, so that no boot-up is missed.
    if (!bus_borrow_frames("loadbin", heard_callb)) return false;
    say_flushed("Node 0x%x is in its bootloader before the flash, so it may hold pieces of an earlier, interrupted "
                "flash, which a reset would start. Switch it off and on: the flash goes on after its boot-up.\n",
                (unsigned)l.nodeid);
    say_flushed("Waiting to receive boot up message from node 0x%x...\n", (unsigned)l.nodeid);
    l.waiting = true;
    const uint32_t since = kr_rtos_get_tick_count();
    while (!heard_powered_on && !l.cancel &&
           (window_load || kr_rtos_get_tick_count() - since < (uint32_t)LOADWFR_WAIT_TIME_MS))
        kr_rtos_task_delay(1);
    l.waiting = false;
    bus_give_back_frames("loadbin", heard_callb);
    if (l.cancel) {
        job_error_plain("Flashing cancelled.\n");
        return false;
    }
    if (!heard_powered_on) {
        job_error("ERROR: node 0x%x did not boot up within %u seconds; nothing was downloaded. Switch it off, start "
                  "--krloadbinwfr and switch it on.\n",
                  (unsigned)l.nodeid, (unsigned)LOADWFR_WAIT_TIME_MS / 1000u);
        return false;
    }
    say_flushed("done\n");
    owed_heartbeat_ms = period;
    return true;
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
    const uint32_t back = kr_canopen_sdo_client_take_back_index();
    uint32_t index = kr_canopen_sdo_client_get_data_index(), count = kr_canopen_sdo_client_get_data_count();
    if (index == update_state.last_index && back == UINT32_MAX) return;
    // The byte the restarted download went back to, not where it has got to since.
    if (back < update_state.last_index)
        say_flushed("The download went back to byte %u: the device did not take what followed, which is sent "
                    "again.\n",
                    (unsigned)back);
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

// Why a download failed, naming the node: krcan's own time-out is no abort of the device's.
void say_download_failed(bool image_kept)
{
    const uint32_t code = _kr_canopen_sdo_get_error_code();
    char why[320];
    sdo_failure_text(why, sizeof why);
    const unsigned node = dev.load.nodeid;
    if (code == CANOPEN_SDO_ERROR_SDO_PROTOCOL_TIMED_OUT && std::strstr(why, "SDO abort code")) {
        job_error("ERROR: node 0x%x did not answer within %u s: the firmware was not loaded%s\n", node,
                  (unsigned)CONFIG_CANOPEN_SDO_TIMEOUT_MS / 1000u, image_kept ? ", its old image is kept." : ".");
        return;
    }
    print_sdo_failure();
    job_error("ERROR: the firmware was not loaded into node 0x%x%s\n", node,
              image_kept ? "; its old image is kept." : ".");
}

bool load_pieces_after_bootup(FILE *f, uint32_t size)
{
    say_flushed("Now downloading...\n");
    return load_pieces(f, size);
}

bool load_kr(FILE *f, uint32_t size)
{
    load_st &l = dev.load;
    owed_heartbeat_ms = 0;
    if (!l.wfr) {
        if (!identity_gate()) return false;
        if (in_makers_bootloader(l.nodeid)) {
            if (!await_power_on()) return false;
            return load_pieces_after_bootup(f, size);
        }
    }
    interrupt_say("\nThe flash of node 0x%x was interrupted before anything was downloaded: if it is left in its "
                  "bootloader, switch it off and on before the next flash; its old image is kept.\n",
                  (unsigned)l.nodeid);
    watcher_install(); // before the reset, so a quick boot-up is not missed
    if (!l.wfr) {
        say_flushed("Resetting node 0x%x\n", (unsigned)l.nodeid);
        kr_canopen_nmt_master_send_cmd(l.nodeid, CANOPEN_NMT_CMD_RESET_NODE);
    }
    bool go = wait_bootup(!l.wfr) && (!l.response || bootloader_is_makers());
    watcher_remove();
    if (!go) return false;
    // Waited for: checked once it is up.
    if (l.wfr && !identity_gate()) return false;
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
    // The bootloader keeps what it took until it loses power, and a reset would start it.
    auto holds_part = [&] {
        if (sent > 0)
            job_error("ERROR: node 0x%x holds part of an image (%u of %u bytes) in its bootloader: switch it off and "
                      "on before the next flash.\n",
                      (unsigned)l.nodeid, (unsigned)sent, (unsigned)size);
    };
    interrupt_say("\nThe flash of node 0x%x was interrupted before any piece was downloaded: switch it off and on "
                  "before the next flash; its old image is kept.\n",
                  (unsigned)l.nodeid);
    for (uint32_t n = 1; sent < size; n++) {
        if (l.cancel) {
            job_error_plain("Flashing cancelled.\n");
            holds_part();
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
                holds_part();
                return false;
            }
            job_error_plain("Error while downloading block %u.\n", (unsigned)n);
            say_download_failed(sent == 0);
            holds_part();
            return false;
        }
        sent += len;
        if (sent == len)
            interrupt_say("\nThe flash of node 0x%x was interrupted: the device holds part of an image in its "
                          "bootloader and needs a power cycle (switch it off and on) before the next flash.\n",
                          (unsigned)l.nodeid);
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
        // Already in its bootloader: the same start as the maker's flavour's for such a node.
        say_flushed("Node 0x%x takes the firmware in pieces of %u bytes: it is sent so.\n", (unsigned)l.nodeid,
                    BLOCK_SIZE);
        l.kr = true;
        if (!await_power_on()) return false;
        return load_pieces_after_bootup(f, size);
    }
    say_flushed("Node 0x%x has no program object: it is reset into its bootloader.\n", (unsigned)l.nodeid);
    l.kr = true;
    l.wfr = false; // it answered: it is up
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
    if (!identity_gate()) return false;
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
    interrupt_say("\nThe flash of node 0x%x was interrupted: the firmware was not loaded, its old image is kept.\n",
                  (unsigned)l.nodeid);
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
        const uint32_t code = _kr_canopen_sdo_get_error_code();
        job_error_plain("Downloading the binary failed. Error code: %u\n", (unsigned)err);
        say_download_failed(true);
        if (code == ABORT_LENGTH_TOO_HIGH)
            say_flushed("Node 0x%x refused the image as too long: either it is larger than the device's flash, or the "
                        "device is in the maker's bootloader, which takes its firmware in pieces: --krloadbin is "
                        "that flavour.\n",
                        (unsigned)l.nodeid);
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
    } else if (refuse_document(l.firmware, f, size)) {
        // said
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
        interrupt_clear();
        say_flushed("Binary file closed.\n");
        await_new_image(l.nodeid);
    }
    interrupt_clear();
    return ok;
}

void loadbin_task(void *)
{
    load_step(nullptr);
    kr_rtos_task_delete(nullptr);
}

// The package whose firmware the next load flashes (or none): its device is checked first.
void expect_package(const krdev_st *pkg, const char *path, bool checked)
{
    expected = expected_st{};
    if (!pkg) return;
    expected.set = true;
    expected.checked = checked;
    expected.id = package_identity(*pkg);
    expected.package = package_label(path);
}

bool flash_krdev(const char *path, uint8_t node, bool wfr, bool kr, bool block, bool checked)
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
        expect_package(&pkg, path, checked);
        ok = flash_bin_sync(bin.c_str(), node, wfr, kr, block);
        expect_package(nullptr, nullptr, false);
    }
    krdev_close(&pkg);
    return ok;
}

// Every device of a system run that answers is checked before the first download: one of another
// product refuses the whole run. A device that is waited for is checked after its boot-up.
bool devices_are_their_products(uint32_t first, uint32_t end)
{
    bool all = true;
    for (uint32_t i = first; i < end; i++) {
        const device_st &d = dev.system.devs[i];
        if (!d.filepath[0]) continue;
        if (load_check_identity(d.filepath, d.nodeid) == LOAD_IDENTITY_OTHER) all = false;
    }
    if (!all) job_error("ERROR: nothing was flashed: a device is not the product its package is made for.\n");
    return all;
}

bool flash_argument_file(const char *path, uint8_t node, bool wfr, bool kr, bool block)
{
    say_flushed("Firmware %s selected\n", path);
    return flash_bin_sync(path, node, wfr, kr, block);
}

// A node id postfix names a package's node: a firmware file's node is selected with --nodeid.
void refuse_postfix(const char *arg, const char *file)
{
    uint64_t size = 0;
    const char *kind = nullptr;
    int fd = open(file, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    struct stat st {};
    if (fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        size = (uint64_t)st.st_size;
        if (FILE *f = fdopen(fd, "rb")) {
            fd = -1;
            kind = document_kind(f, size);
            std::fclose(f);
        }
    }
    if (fd >= 0) close(fd);
    if (kind && std::strcmp(kind, "a zip archive") == 0)
        job_error("ERROR: '%s': %s is a zip archive: this is a package; name it .krdev. Nothing was downloaded.\n", arg,
                  file);
    else
        job_error("ERROR: '%s': a node id postfix is for a .krdev or .krsys package, and %s is %s. Give a firmware "
                  "file's node with --nodeid. Nothing was downloaded.\n",
                  arg, file, kind ? kind : "no package");
}

// Fails a window load that never started.
bool not_started(void)
{
    load_remove_window_copy();
    expect_package(nullptr, nullptr, false);
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
    window_load = false;
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
    expect_package(nullptr, nullptr, false);
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
    return flash_krdev(path, node, wfr, kr, block, false);
}

void flash_devices(uint32_t first, uint32_t end, bool wfr, bool kr, bool block)
{
    system_st &s = dev.system;
    if (end > s.dev_count) end = s.dev_count;
    system_apply_forced_nodeid(&s, first, end);
    uint32_t with_package = 0, flashed = 0;
    for (uint32_t i = first; i < end; i++)
        if (s.devs[i].filepath[0]) with_package++;
    const bool checked = !wfr;
    if (checked && !devices_are_their_products(first, end)) {
        say_flushed("\nFlashed 0/%u device(s) successfully.\n", (unsigned)with_package);
        return;
    }
    for (uint32_t i = first; i < end; i++) {
        const device_st &d = s.devs[i];
        if (!d.filepath[0]) {
            job_warning("Skipping device '%s' (node 0x%x): no configuration package.\n", d.name, (unsigned)d.nodeid);
            continue;
        }
        say_flushed("\n=== Flashing device %u/%u: '%s' (node 0x%x) ===\n", (unsigned)(i - first + 1),
                    (unsigned)(end - first), d.name, (unsigned)d.nodeid);
        if (flash_krdev(d.filepath, d.nodeid, wfr, kr, block, checked)) {
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
    } else if (file && std::strcmp(file, cmdline_load_arg(job.arg)) != 0) {
        refuse_postfix(cmdline_load_arg(job.arg), file);
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
    window_load = true;
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
    expect_package(&pkg, path, false);
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

load_identity_e load_check_identity(const char *package, uint8_t node)
{
    krdev_st pkg;
    if (!package || !krdev_open(&pkg, package)) {
        job_warning("WARNING: package '%s' could not be opened, so node 0x%x could not be checked against the product "
                    "it is made for.\n",
                    package ? package : "", (unsigned)node);
        return LOAD_IDENTITY_UNCHECKED;
    }
    identity_st id = package_identity(pkg);
    krdev_close(&pkg);
    return check_identity(id, package_label(package).c_str(), node);
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
