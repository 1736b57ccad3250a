// ESP32 flashing: the device is asked over its CAN terminal to pause its communication with the
// module, esptool writes the package's images through the module's USB serial port, and the device
// is asked to resume whatever esptool gave. esptool runs without a shell and is stopped when it
// outlives its time limit.
#include "firmware/esp32.h"

#include <dirent.h>
#include <sys/wait.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bus/bus.h"
#include "run/commands.h"
#include "database/db.h"
#include "kr_bytes.h"
#include "kr_can.h"
#include "kr_canopen.h"
#include "kr_process.h"
#include "run/main.h"
#include "system/system.h"
#include "bus/terminal.h"
#include "system/package.h"

namespace {

constexpr size_t kArgLen = 1024;
constexpr size_t kImagePathLen = 1282; // extraction folder, '/', image file

char port[ESP32_PORT_LEN];
std::string serial_dir = ESP32_SERIAL_DIR;
uint32_t run_limit_ms = ESPTOOL_RUN_LIMIT_MS;
uint32_t term_grace_ms = ESPTOOL_TERM_GRACE_MS;

system_job_queue_st queue;

char async_filepath[kArgLen];
uint8_t async_nodeid = 0;
std::atomic<bool> async_finished{true};

// How the last esptool run ended, for the line that says what became of the flash.
enum esptool_end_e { ESPTOOL_OK, ESPTOOL_NOT_FOUND, ESPTOOL_FAILED, ESPTOOL_SIGNALLED, ESPTOOL_STOPPED };
esptool_end_e esptool_end = ESPTOOL_OK;

constexpr const char *kInstallHint =
    "ERROR: esptool was not found. Install it with 'pipx install esptool' or Debian's package (apt install "
    "esptool).\n";

// Starts a program found on PATH with only standard input, output and error, default signal
// handling and no blocked signals, leading a process group of its own: whatever it starts (the
// holder of the serial port) is stopped with it. False when it could not be started.
bool spawn(const std::vector<std::string> &args, kr_process_st *child)
{
    std::vector<const char *> argv;
    for (const std::string &a : args) argv.push_back(a.c_str());
    argv.push_back(nullptr);
    kr_process_options_st o{};
    o.own_group = true;
    o.stop_at_signal_end = true;
    return kr_process_spawn(child, argv.data(), &o) == 0;
}

// Waits for esptool in the blocking section (the library task keeps receiving meanwhile). After the
// run limit, or at once after a Ctrl-C (so the device is resumed soon), it is asked to end, then
// killed; it is always reaped. True when it exited with 0.
bool wait_esptool(kr_process_st *child)
{
    bool timed_out = false;
    {
        kr_rtos_blocking_section section;
        if (kr_process_wait(child, run_limit_ms, true) != KR_PROCESS_ENDED) {
            timed_out = !kr_signal_requested();
            kr_process_stop(child, timed_out ? term_grace_ms : ESPTOOL_SIGNAL_GRACE_MS);
        }
    }
    if (timed_out) {
        job_cause("ERROR: esptool did not end within %u seconds; it was stopped.\n", run_limit_ms / 1000);
        esptool_end = ESPTOOL_STOPPED;
        return false;
    }
    if (child->status != -1 && WIFSIGNALED(child->status) && !kr_signal_requested()) {
        job_cause("ERROR: esptool ended by signal %d (%s).\n", WTERMSIG(child->status),
                  strsignal(WTERMSIG(child->status)));
        esptool_end = ESPTOOL_SIGNALLED;
        return false;
    }
    const bool ok = child->status != -1 && WIFEXITED(child->status) && WEXITSTATUS(child->status) == 0;
    esptool_end = ok ? ESPTOOL_OK : ESPTOOL_FAILED;
    return ok;
}

// After `python3 -m esptool` failed: true when python3 has no esptool module at all, so the user
// is told to install it rather than to check the cable.
bool python_lacks_esptool(void)
{
    kr_process_st child;
    if (!spawn({"python3", "-c",
                "import importlib.util, sys; sys.exit(0 if importlib.util.find_spec('esptool') else 3)"},
               &child))
        return false;
    {
        kr_rtos_blocking_section section;
        kr_process_wait(&child, KR_PROCESS_NO_DEADLINE, false);
    }
    return WIFEXITED(child.status) && WEXITSTATUS(child.status) == 3;
}

bool flash_images(const krdev_st &krdev)
{
    char found[ESP32_PORT_LEN] = "";
    bool have_port = false;
    for (uint32_t i = 0; i < ESP32_PORT_WAIT_MS / ESP32_PORT_WAIT_STEP_MS; i++) {
        if (i > 0) kr_rtos_task_delay(ESP32_PORT_WAIT_STEP_MS);
        if (kr_signal_requested()) return false;
        if ((have_port = find_port(found, sizeof found))) break;
    }
    if (have_port)
        std::printf("Flashing the ESP32 firmware to '%s'\n", found);
    else
        std::printf("No Espressif USB port found, letting esptool look for the ESP32\n");
    std::fflush(stdout);

    std::vector<std::string> args = {"esptool", "--chip", "auto"};
    if (have_port) args.insert(args.end(), {"--port", found});
    args.insert(args.end(),
                {"--baud", ESP32_BAUDRATE, "--before", "default-reset", "--after", "hard-reset", "write-flash", "-z"});
    for (uint16_t i = 0; i < krdev.esp32_count && i < KRDEV_ESP32_MAX_COUNT; i++) {
        char offset[16];
        std::snprintf(offset, sizeof offset, "0x%x", (unsigned)krdev.esp32[i].offset);
        std::string file = std::string(krdev.dir) + "/" + krdev.esp32[i].file;
        if (file.size() >= kImagePathLen) {
            // A cut path could name another file.
            job_error("ERROR: the ESP32 image path '%s' is longer than %zu characters.\n", file.c_str(),
                      kImagePathLen - 1);
            return false;
        }
        args.push_back(offset);
        args.push_back(file);
    }
    std::vector<const char *> argv;
    for (const std::string &a : args) argv.push_back(a.c_str());
    argv.push_back(nullptr);
    return run_esptool(argv.data());
}

void loadesp32_device_task(void *)
{
    loadesp32_krdev(async_filepath, async_nodeid);
    async_finished = true;
    kr_rtos_task_delete(nullptr);
}

} // namespace

extern "C" {

void loadesp32_set_time_limit(uint32_t run_ms, uint32_t grace_ms)
{
    if (run_ms) run_limit_ms = run_ms;
    if (grace_ms) term_grace_ms = grace_ms;
}

void esp32_set_serial_dir(const char *dir) { serial_dir = dir ? dir : ESP32_SERIAL_DIR; }

void esp32_set_port(const char *value) { kr_copy_text(port, sizeof port, value); }

bool cmd_esp32port(const char *arg)
{
    if (!arg || !arg[0]) {
        job_error("Give the serial port of the ESP32 module.\n");
        return false;
    }
    if (std::strlen(arg) >= sizeof port) {
        job_error("The ESP32 serial port '%s' is too long.\n", arg);
        return false;
    }
    kr_copy_text(port, sizeof port, arg);
    std::printf("ESP32 serial port set to '%s'\n", port);
    std::fflush(stdout);
    return true;
}

bool find_port(char *out, size_t size)
{
    if (!out || size == 0) return false;
    out[0] = '\0';
    std::string found;
    if (port[0]) {
        found = port;
    } else {
        DIR *d = opendir(serial_dir.c_str());
        if (!d) return false;
        uint32_t n = 0;
        while (struct dirent *e = readdir(d)) {
            if (!std::strstr(e->d_name, "Espressif")) continue;
            n++;
            found = serial_dir + "/" + e->d_name;
        }
        closedir(d);
        // Several modules: which one is meant cannot be told, so esptool is left to choose.
        if (n != 1) return false;
    }
    if (found.size() >= size) return false;
    std::memcpy(out, found.c_str(), found.size() + 1);
    return true;
}

bool terminal_send(uint8_t node, const char *line)
{
    std::string text = std::string(line ? line : "") + "\n";
    if (text.size() > 127) {
        job_cause("ERROR: the terminal command '%s' is too long.\n", line);
        return false;
    }
    if (kr_can_set_up(false) || !kr_can_is_connected()) {
        job_cause("ERROR: %s\n", bus_port_reason());
        return false;
    }
    for (size_t off = 0; off < text.size(); off += 4) {
        kr_can_message_st m;
        terminal_build_frame(&m, node, text.data() + off, text.size() - off);
        if (kr_can_send_flags(dev.can_channel, &m, CAN_SEND_FLAGS_NORMAL) != ERR_NONE) {
            job_cause("ERROR: the terminal command could not be sent to node 0x%x.\n", node);
            return false;
        }
        kr_rtos_task_delay(TERMINAL_FRAME_DELAY_MS);
    }
    kr_rtos_task_delay(TERMINAL_CMD_DELAY_MS);
    return true;
}

bool esp32_comm(uint8_t node, bool enable)
{
    if (node == 0) return true;
    std::printf("%s the ESP32 communication of node 0x%x\n", enable ? "Resuming" : "Pausing", node);
    std::fflush(stdout);
    return terminal_send(node, enable ? "esp \"comm\" 1" : "esp \"comm\" 0");
}

bool run_esptool(const char *const *argv)
{
    std::vector<std::string> args;
    for (const char *const *a = argv; a && *a; a++) args.push_back(*a);
    if (args.empty()) return false;
    std::fflush(stdout);
    std::fflush(stderr);
    kr_process_st child;
    args[0] = "esptool";
    bool started = spawn(args, &child);
    if (!started) {
        args[0] = "esptool.py";
        started = spawn(args, &child);
    }
    bool python = false;
    if (!started) {
        std::vector<std::string> py = {"python3", "-m", "esptool"};
        py.insert(py.end(), args.begin() + 1, args.end());
        started = python = spawn(py, &child);
    }
    if (!started) {
        job_cause("%s", kInstallHint);
        esptool_end = ESPTOOL_NOT_FOUND;
        return false;
    }
    if (wait_esptool(&child)) return true;
    if (python && esptool_end == ESPTOOL_FAILED && !kr_signal_requested() && python_lacks_esptool()) {
        job_cause("%s", kInstallHint);
        esptool_end = ESPTOOL_NOT_FOUND;
    }
    return false;
}

bool loadesp32_krdev(const char *path, uint8_t node)
{
    krdev_st krdev;
    if (!krdev_open(&krdev, path)) {
        job_error("Failed to open the device package '%s' for ESP32 flashing: %s.\n", path, package_error());
        return false;
    }
    if (krdev.esp32_count == 0) {
        job_warning("WARNING: device package '%s' bundles no ESP32 firmware to flash.\n", path);
        // Nothing flashed is no success: the warning said why.
        job_failed();
        krdev_close(&krdev);
        return false;
    }
    bool flashed = false, resumed = false;
    // A paused device stays paused until someone resets it: Ctrl-C waits for the resume.
    kr_signal_hold();
    if (node == 0)
        job_warning("WARNING: no node id is selected, so no device was paused: esptool runs beside the device's "
                    "own ESP32 communication.\n");
    if (!esp32_comm(node, false)) {
        // Flashing while the device still talks to the module would break both.
        job_error("ERROR: node 0x%x could not be asked to pause its ESP32 communication; esptool was not run.\n", node);
    } else {
        esptool_end = ESPTOOL_FAILED;
        flashed = !kr_signal_requested() && flash_images(krdev);
        resumed = esp32_comm(node, true);
        if (kr_signal_requested()) {
            job_error("ERROR: the ESP32 flash was interrupted; the ESP32 communication of node 0x%x %s.\n", node,
                      resumed ? "was resumed" : "could not be resumed");
        } else {
            if (flashed)
                say_flushed("ESP32 firmware flashed.\n");
            else if (esptool_end == ESPTOOL_FAILED || esptool_end == ESPTOOL_STOPPED)
                job_error("ERROR: flashing the ESP32 firmware failed. Is the module's USB port connected?\n");
            else // the cause line above says why
                job_error("ERROR: the ESP32 firmware was not flashed.\n");
            if (!resumed) job_error("ERROR: node 0x%x could not be asked to resume its ESP32 communication.\n", node);
        }
    }
    krdev_close(&krdev);
    kr_signal_release();
    return flashed && resumed;
}

void loadesp32_devices(uint32_t first, uint32_t end)
{
    system_apply_forced_nodeid(&dev.system, first, end);
    uint32_t count = 0;
    const device_st *chosen = nullptr;
    for (uint32_t i = first; i < end && i < dev.system.dev_count; i++) {
        if (!dev.system.devs[i].has_esp32) continue;
        count++;
        chosen = &dev.system.devs[i];
    }
    if (count == 0) {
        job_error("ERROR: none of the devices' packages bundles ESP32 firmware.\n");
    } else if (count > 1) {
        job_error("ERROR: %u devices bundle ESP32 firmware. Give the one to flash to *loadesp32* as its .krdev "
                  "package.\n",
                  count);
    } else {
        std::printf("\n=== Flashing ESP32 firmware of device '%s' (node 0x%x) ===\n", chosen->name, chosen->nodeid);
        std::fflush(stdout);
        loadesp32_krdev(chosen->filepath, chosen->nodeid);
    }
}

void loadesp32_dispatch_step(void *)
{
    system_job_st job;
    if (!system_dispatch_take(&queue, &job)) return;
    system_nodeids_st saved;
    system_dispatch_begin(&job.nodeids, &saved);
    char path[kArgLen];
    const char *p = nullptr;
    if (!cmdline_load_arg_nodeid(job.arg, path, sizeof path, &p)) {
        // said as an error
    } else if (p && path_ends_with(p, ".krdev")) {
        uint32_t before = dev.system.dev_count;
        if (system_add_device(&dev.system, p, db_get_nodeid(&dev.db))) {
            loadesp32_devices(before, dev.system.dev_count);
        } else {
            job_error("ERROR: failed to add device package '%s'.\n", p);
        }
    } else if (p) {
        job_error("ERROR: *loadesp32* takes a .krdev device package, not '%s'.\n", p);
    } else if (dev.system.dev_count > 0) {
        loadesp32_devices(0, dev.system.dev_count);
    } else {
        job_error("ERROR: no device package given. Provide a .krdev package, or load devices with --dev / --sys "
                  "first.\n");
    }
    system_dispatch_end(&saved);
}

bool cmd_loadesp32(const char *arg) { return system_dispatch_queue(&queue, arg, 0, loadesp32_dispatch_step); }

void loadesp32_load_device_async(const char *path, uint8_t node)
{
    if (!path || std::strlen(path) >= sizeof async_filepath) {
        job_error("ERROR: the package path for the ESP32 flash is missing or too long.\n");
        async_finished = true;
        return;
    }
    kr_copy_text(async_filepath, sizeof async_filepath, path);
    async_nodeid = node;
    async_finished = false;
    if (kr_rtos_task_create(loadesp32_device_task, "loadesp32_task", 51200, nullptr, 2, nullptr) != KR_RTOS_PASS) {
        job_error("ERROR: the ESP32 flash task could not be started.\n");
        async_finished = true;
    }
}

bool loadesp32_load_device_is_finished(void) { return async_finished; }

} // extern "C"
