// Library start-up, the library task, the kernel's application hooks, Ctrl-C, restart and the
// platform stubs of the portable library code.
#include <fcntl.h>
#include <getopt.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kr_can.h"
#include "kr_canopen.h"
#include "kr_memory.h"
#include "kr_rtos.h"
#include "kr_rtos_port.h"
#include "kr_utilities.h"
#include "ui/kr_uiconfwindow.h"
#include "canopen/kr_canopen_private.h"

namespace {

constexpr uint32_t HAL_TASK_STACK_DEPTH = 10240;
constexpr uint32_t HAL_TASK_PRIORITY = 65535;

struct hooks_st {
    std::atomic<void (*)(void *app, uint32_t step_ms)> idle_task{nullptr};
    std::atomic<void (*)(void *app, uint32_t step_ms)> tick_task{nullptr};
};

kr_mutex_st halmutex;
kr_mutex_st hal_wake; // ends the library task's pause between two steps
std::atomic<void *> application_ptr{nullptr};
hooks_st _this;
int8_t arg_nodeid = 0;
char **kr_argv = nullptr;
std::atomic<void (*)(void *app, uint32_t pin)> gpio_callback{nullptr};
// Set by the display back end when it starts, so that what draws nothing links no display code.
std::atomic<void (*)(void)> deinit_hook{nullptr};

void hal_task(void *)
{
    for (;;) {
        kr_mutex_lock(&halmutex);
        _kr_can_hal_step(CONFIG_HAL_STEP_MS);
        _kr_canopen_step(CONFIG_HAL_STEP_MS);
        kr_mutex_unlock(&halmutex);
        const uint32_t next = kr_rtos_get_tick_count() + CONFIG_HAL_STEP_MS;
        // While an SDO transfer waits for an answer, frames are taken as they arrive until the next
        // step, so that its next segment or block follows the answer at once; a transfer that starts
        // in the pause ends it. Timers still run only in the step.
        for (uint32_t left = CONFIG_HAL_STEP_MS; left > 0; left = next - kr_rtos_get_tick_count()) {
            if (left > CONFIG_HAL_STEP_MS) break;
            if (!_kr_canopen_awaits_answer()) {
                if (!kr_rtos_sem_take(hal_wake, left)) break;
                continue;
            }
            if (!_kr_can_wait_rx(left)) break;
            kr_mutex_lock(&halmutex);
            _kr_can_hal_step(0);
            _kr_canopen_receive();
            kr_mutex_unlock(&halmutex);
        }
        int32_t left = (int32_t)(next - kr_rtos_get_tick_count());
        if (left > 0) kr_rtos_task_delay((uint32_t)left);
    }
}

constexpr char SIGNAL_MESSAGE[] = "Caught signal, terminating\n";
constexpr int SIGNAL_CLEANUPS_MAX = 8;
std::atomic<void (*)(void)> signal_cleanups[SIGNAL_CLEANUPS_MAX];
std::atomic<void (*)(void)> signal_preamble{nullptr};

// Lock-free atomics only: they are read and written in the signal handler.
std::atomic<bool> signal_held{false};
std::atomic<int> signal_pending{0};
std::atomic<bool> signal_ending{false};
// A held request is also written here, so that a wait in poll (for a child, say) wakes at once. Never
// read empty again: the request stays until the run ends.
std::atomic<int> signal_wake_read{-1};
std::atomic<int> signal_wake_write{-1};

// Only async-signal-safe calls: the window is left to the process end.
[[noreturn]] void signal_exit(int status)
{
    signal_ending = true;
    kr_process_signal_end();
    // A line printed after the signal's message (a held request lets the job go on) is ended too,
    // so the cleanups' own lines start on a line of their own.
    if (void (*preamble)(void) = signal_preamble.load()) preamble();
    for (auto &c : signal_cleanups) {
        void (*cleanup)(void) = c.load();
        if (cleanup) cleanup();
    }
    kr_can_flush_for_exit();
    _exit(status);
}

void signal_callb(int status)
{
    const int saved_errno = errno; // a held request returns into the interrupted code
    if (void (*preamble)(void) = signal_preamble.load()) preamble();
    ssize_t r = write(STDERR_FILENO, SIGNAL_MESSAGE, sizeof SIGNAL_MESSAGE - 1);
    (void)r;
    if (signal_held && signal_pending.exchange(status) == 0) {
        const char wake = 1;
        ssize_t w = write(signal_wake_write.load(), &wake, 1);
        (void)w;
        errno = saved_errno;
        return;
    }
    signal_exit(status);
}

} // namespace

extern "C" {

void kr_init(void *device)
{
    kr_set_application_ptr(device);
    kr_mutex_init(&halmutex);
    if (!hal_wake) hal_wake = kr_rtos_sem_create();
    _kr_can_init();
    if (kr_memory_load(MEMORY_COM_PARAMS) != ERR_NONE) _kr_canopen_reset();
    _kr_canopen_init((uint8_t)arg_nodeid);
    if (arg_nodeid != 0) kr_can_clear_rx_messages(kr_can_get_dev()); // the stack set its own filters
    kr_rtos_task_create(hal_task, "kr_hal", HAL_TASK_STACK_DEPTH, nullptr, HAL_TASK_PRIORITY, nullptr);
    kr_install_signal_handler();
}

void kr_install_signal_handler(void)
{
    int wake[2];
    if (signal_wake_read.load() < 0 && pipe2(wake, O_CLOEXEC | O_NONBLOCK) == 0) {
        signal_wake_write = wake[1];
        signal_wake_read = wake[0];
    }
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = signal_callb;
    sigemptyset(&sa.sa_mask);
    unsigned n = 0;
    const int *sigs = kr_ending_signals(&n);
    for (unsigned i = 0; i < n; i++) sigaction(sigs[i], &sa, nullptr);
}

const int *kr_ending_signals(unsigned *count)
{
    // Every one that would end the run without its clean-up, leaving files and children behind.
    static const int sigs[] = {SIGINT,    SIGTERM, SIGHUP,  SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM,
                               SIGVTALRM, SIGPROF, SIGXCPU, SIGXFSZ, SIGIO,   SIGPWR};
    *count = sizeof sigs / sizeof sigs[0];
    return sigs;
}

void kr_add_signal_cleanup(void (*cleanup)(void))
{
    for (auto &c : signal_cleanups) {
        void (*expected)(void) = nullptr;
        if (c.load() == cleanup || c.compare_exchange_strong(expected, cleanup)) return;
    }
}

void kr_init_arg(void *device, int argc, char **argv)
{
    static const struct option options[] = {
        {"can", required_argument, nullptr, 'c'},    {"ui", no_argument, nullptr, 'u'},
        {"nonvol", required_argument, nullptr, 'v'}, {"eeprom", required_argument, nullptr, 'e'},
        {"nodeid", required_argument, nullptr, 'n'}, {nullptr, 0, nullptr, 0},
    };
    kr_argv = argv;

    char shortopts[2 * (sizeof options / sizeof options[0]) + 1] = {};
    size_t n = 0;
    for (const struct option *o = options; o->name; ++o) {
        shortopts[n++] = (char)o->val;
        if (o->has_arg == required_argument) shortopts[n++] = ':';
    }

    const int saved_opterr = opterr;
    opterr = 0; // unknown options are skipped quietly
    optind = 1;
    int c;
    while (argv && (c = getopt_long(argc, argv, shortopts, options, nullptr)) != -1) {
        switch (c) {
        case 'c':
            kr_diag("Can dev set '%s'\n", optarg);
            kr_can_set_dev(optarg);
            break;
        case 'u':
            kr_diag("Showing the configuration UI\n");
            kr_ui_confwindow_exec(nullptr);
            break;
        case 'v':
            kr_diag("Setting the non-volatile memory file path to '%s'\n", optarg);
            kr_memory_set_nonvol_filepath(optarg);
            break;
        case 'n':
            arg_nodeid = (int8_t)std::strtol(optarg, nullptr, 0);
            kr_diag("Setting nodeid to 0x%x\n", (unsigned)(uint8_t)arg_nodeid);
            break;
        case '?':
        case ':': break;
        default: kr_diag("Defined but not used argument '%c'\n", c); break;
        }
    }
    opterr = saved_opterr;
    optind = 1;
    kr_init(device);
}

void kr_deinit(void)
{
    auto hook = deinit_hook.load();
    if (hook) hook();
}

void kr_set_deinit_hook(void (*hook)(void)) { deinit_hook = hook; }

void kr_set_signal_preamble(void (*preamble)(void)) { signal_preamble = preamble; }

void kr_signal_hold(void) { signal_held = true; }

bool kr_signal_requested(void) { return signal_pending != 0; }

int kr_signal_wake_fd(void) { return signal_wake_read; }

bool kr_signal_ending(void) { return signal_ending; }

void kr_signal_release(void)
{
    signal_held = false;
    if (int status = signal_pending.load()) signal_exit(status);
}

void _kr_canopen_wake(void)
{
    if (hal_wake) kr_rtos_sem_give(hal_wake);
}

void kr_set_application_ptr(void *ptr) { application_ptr = ptr; }

void *__kr_get_user_ptr(void) { return application_ptr; }

void kr_app_restart(void)
{
    if (kr_argv && kr_argv[0] && kr_argv[0][0]) {
        std::fflush(nullptr); // exec drops whatever is still buffered
        execvp(kr_argv[0], kr_argv);
        std::fprintf(stderr, "kr_app_restart: execvp('%s') failed\n", kr_argv[0]);
    }
    std::exit(1);
}

void kr_bootloader_start(void) { kr_app_restart(); }

void kr_system_reset(void) { kr_bootloader_start(); }

void kr_data_reset(void) { _kr_canopen_reset(); }

void _kr_rtos_hal_reset(void) { _kr_canopen_reset(); }

void vAssertCalled(const char *file, unsigned line)
{
    std::fprintf(stderr, "Assert in '%s', line %u\n", file ? file : "?", line);
    std::exit(EXIT_FAILURE);
}

kr_errors_e kr_rtos_add_idle_task(void (*task_function)(void *app, uint32_t step_ms))
{
    _this.idle_task = task_function;
    return ERR_NONE;
}

bool kr_rtos_idle_task_set(void) { return _this.idle_task.load() != nullptr; }

kr_errors_e kr_rtos_add_tick_task(void (*task_function)(void *app, uint32_t step_ms))
{
    _this.tick_task = task_function;
    return ERR_NONE;
}

bool kr_rtos_tick_task_set(void) { return _this.tick_task.load() != nullptr; }

void vApplicationIdleHook(void)
{
    auto cb = _this.idle_task.load();
    if (cb)
        cb(application_ptr, 1);
    else
        usleep(1000);
}

void vApplicationTickHook(void)
{
    auto cb = _this.tick_task.load();
    if (cb) cb(application_ptr, 1);
}

void vApplicationStackOverflowHook(kr_rtos_task_handle_t, char *name)
{
    kr_diag("stack overflow from task: %s\n", name ? name : "");
    std::fflush(stderr);
    _exit(EXIT_FAILURE);
}

void vApplicationMallocFailedHook(void)
{
    static const char msg[] = "Out of memory\n";
    ssize_t r = write(STDERR_FILENO, msg, sizeof msg - 1);
    (void)r;
    _exit(EXIT_FAILURE);
}

void kr_stdout_send(const char *, uint32_t) {}

void _kr_stdout_hal_step(uint32_t) {}

int outbyte(int, ...) { return 1; }

int printf_flags(uint32_t, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    int r = std::vprintf(format, ap);
    va_end(ap);
    return r;
}

void kr_gpio_add_interrupt_callback(void (*callback)(void *app, uint32_t pin)) { gpio_callback = callback; }

} // extern "C"
