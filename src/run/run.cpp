// The run: start-up defaults, the command-line walk, the job queue and the end of the run.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "online/account.h"
#include "online/krhttp.h"
#include "run/commands.h"
#include "run/console.h"
#include "run/main.h"
#include "system/package.h"
#include "system/simrun.h"
#include "database/db.h"
#include "system/system.h"
#include "kr_bytes.h"
#include "kr_canopen.h"
#include "kr_memory.h"

struct _dev_st dev;
bool log_line_live = false;
const commands_st *current_command = nullptr;

const canopen_object_st obj_dict[1] = {};
uint32_t obj_dict_len(void) { return 0; }

static std::atomic<bool> run_failed{false};

void main_set_run_failed(void) { run_failed = true; }
bool main_run_failed(void) { return run_failed; }

// ---- Output ----

// Colours and progress lines rewritten in place only where someone watches the output as it comes:
// a terminal, or the window's log strip, which draws the colours and redraws a line after a carriage
// return. A pipe or a log file gets plain text, as ls and grep give it.
static bool watched(FILE *out) { return isatty(fileno(out)) || logcap_is_started(); }

const char *console_colour(FILE *out, const char *colour) { return watched(out) ? colour : ""; }

void log_printf(const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    if (watched(stdout)) {
        std::fputs("\r", stdout);
        std::vprintf(format, ap);
        std::fputs("\033[K", stdout);
    } else {
        if (log_line_live) std::fputs("\n", stdout);
        std::vprintf(format, ap);
    }
    va_end(ap);
    std::fflush(stdout);
    log_line_live = true;
}

void say_flushed(const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    std::vprintf(format, ap);
    va_end(ap);
    std::fflush(stdout);
}

// A message on out, flushed, after the open progress line is ended; in colour unless colour is null.
static void vsay(FILE *out, const char *colour, const char *format, va_list ap)
{
    log_end();
    if (colour && !watched(out)) colour = nullptr;
    if (colour) std::fputs(colour, out);
    std::vfprintf(out, format, ap);
    if (colour) std::fputs(PRINT_RESET, out);
    std::fflush(out);
}

void vjob_cause(const char *format, va_list ap) { vsay(stdout, PRINT_BOLDRED, format, ap); }

void job_cause(const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    vjob_cause(format, ap);
    va_end(ap);
}

void job_sdo_cause(void)
{
    char why[256];
    if (kr_canopen_sdo_client_failure(why, sizeof why))
        job_cause("  SDO transfer failed: %s\n", why);
    else
        LOG_SDO_ERROR();
}

void job_note(const char *format, ...)
{
    if (silent) return;
    log_end();
    va_list ap;
    va_start(ap, format);
    std::vfprintf(stderr, format, ap);
    va_end(ap);
    std::fflush(stderr);
}

const char *sdo_failure_text(char *dest, size_t dest_len)
{
    char why[256];
    kr_sdo_error_codes_e code = _kr_canopen_sdo_get_error_code();
    if (kr_canopen_sdo_client_failure(why, sizeof why))
        std::snprintf(dest, dest_len, "SDO transfer failed: %s", why);
    else
        std::snprintf(dest, dest_len, "SDO abort code 0x%08x: %s", (unsigned)code,
                      kr_canopen_sdo_error_code_to_str(code));
    return dest;
}

void print_sdo_failure(void)
{
    char line[320];
    say_flushed("%s\n", sdo_failure_text(line, sizeof line));
}

static std::atomic<unsigned> job_errors{0};
// The texts of the last few errors, for a caller that silenced standard output while a step ran.
static char error_texts[4][256];

unsigned job_error_count(void) { return job_errors; }

const char *job_error_text(unsigned number)
{
    return number < job_errors && number + 4 >= job_errors ? error_texts[number % 4] : "";
}

// Counts the error, keeps its text and prints it: the run fails.
static void vfail(FILE *out, const char *colour, const char *format, va_list ap)
{
    main_set_run_failed();
    va_list copy;
    va_copy(copy, ap);
    std::vsnprintf(error_texts[job_errors % 4], sizeof error_texts[0], format, copy);
    va_end(copy);
    ++job_errors;
    vsay(out, colour, format, ap);
}

void vjob_error(const char *format, va_list ap) { vfail(stdout, PRINT_BOLDRED, format, ap); }

void job_error(const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    vjob_error(format, ap);
    va_end(ap);
}

void job_error_plain(const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    vfail(stdout, nullptr, format, ap);
    va_end(ap);
}

void job_error_plain_stderr(const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    vfail(stderr, nullptr, format, ap);
    va_end(ap);
}

void job_error_stderr(const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    vfail(stderr, PRINT_BOLDRED, format, ap);
    va_end(ap);
}

void job_failed(void) { main_set_run_failed(); }

void vjob_warning(const char *format, va_list ap) { vsay(stdout, PRINT_BOLDYELLOW, format, ap); }

void job_warning(const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    vjob_warning(format, ap);
    va_end(ap);
}

void say_success(const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    vsay(stdout, PRINT_BOLDGREEN, format, ap);
    va_end(ap);
}

const char *bold_on(void) { return console_colour(stdout, PRINT_BOLD); }

const char *bold_off(void) { return console_colour(stdout, PRINT_RESET); }

void log_end(void)
{
    if (!log_line_live) return;
    std::fputs("\n", stdout);
    log_line_live = false;
}

void log_ok(void)
{
    if (!log_line_live) return;
    std::fprintf(stdout, "%s OK%s\n", console_colour(stdout, PRINT_BOLDGREEN), console_colour(stdout, PRINT_RESET));
    std::fflush(stdout);
    log_line_live = false;
}

void log_ok_line(const char *format, ...)
{
    log_end();
    va_list ap;
    va_start(ap, format);
    std::fputs(console_colour(stdout, PRINT_GREEN), stdout);
    std::vprintf(format, ap);
    std::fputs(console_colour(stdout, PRINT_RESET), stdout);
    va_end(ap);
    log_line_live = true;
    log_ok();
}

// ---- Start-up and the job queue ----

void init(struct _dev_st *d)
{
    kr_copy_text(d->can_channel, sizeof d->can_channel, "can0");
    if (d->baudrate == 0) d->baudrate = CONFIG_CAN0_BAUDRATE;
    kr_copy_text(d->srcdest, sizeof d->srcdest, ".");
    kr_copy_text(d->incdest, sizeof d->incdest, ".");
    kr_can_set_baudrate(d->can_channel, d->baudrate);
    kr_memory_set_data(&d->data_start, &d->data_end); // the settings record lives in dev
    kr_vector_init(&d->tasks, d->task_buffer, TASKS_LEN, sizeof(task_st));
    // The first start finds dev zeroed by the loader; clearing its pages again only costs page faults.
    static bool started = false;
    if (started) system_reset(&d->system);
    started = true;
}

namespace {

// The bus each job runs on: the interface and baud rate that stood when its option was read, as its
// node id does.
struct job_bus_st {
    char channel[sizeof dev.can_channel];
    uint32_t baudrate;
};
job_bus_st job_buses[TASKS_LEN];

void select_job_bus(const job_bus_st &bus)
{
    if (std::strcmp(kr_can_get_dev(), bus.channel) == 0 && kr_can_get_baudrate(bus.channel) == bus.baudrate &&
        std::strcmp(dev.can_channel, bus.channel) == 0)
        return;
    kr_copy_text(dev.can_channel, sizeof dev.can_channel, bus.channel);
    dev.baudrate = bus.baudrate;
    kr_can_set_baudrate(dev.can_channel, dev.baudrate);
    // A port never opened opens on first use; an open or failed one moves to this job's bus now.
    if (kr_can_get_state() != CAN_STATE_INIT) kr_can_set_up(true);
}

} // namespace

bool add_task(void (*step_fn)(void *app))
{
    // The window's job runs until the window closes and the run ends with it.
    if (ui_task_index >= 0) {
        job_error("ERROR: '%s' is given after 'ui', but nothing after 'ui' runs: the run ends when "
                  "the window closes. Give it before 'ui'.\n",
                  current_command ? current_command->cmd_long : "?");
        return false;
    }
    if (dev.tasks.len >= TASKS_LEN) {
        job_error("ERROR: at most %d commands that run on the bus or in a window can be given in one "
                  "run; '%s' would be number %d.\n",
                  TASKS_LEN, current_command ? current_command->cmd_long : "?", (int)dev.tasks.len + 1);
        return false;
    }
    task_st t;
    t.mutex = kr_rtos_sem_create(); // starts taken: the job waits until "Step" releases it
    t.step = step_fn;
    if (!t.mutex || kr_vector_push_back(&dev.tasks, &t) != ERR_NONE) {
        job_error("ERROR: the job could not be queued.\n");
        if (t.mutex) kr_rtos_sem_delete(t.mutex);
        return false;
    }
    job_bus_st &bus = job_buses[dev.tasks.len - 1];
    kr_copy_text(bus.channel, sizeof bus.channel, dev.can_channel);
    bus.baudrate = dev.baudrate;
    return true;
}

void task_step(void *task)
{
    task_st *t = (task_st *)task;
    kr_mutex_lock(&t->mutex);
    select_job_bus(job_buses[t - (task_st *)dev.tasks.buffer]);
    t->step(&dev);
    kr_mutex_unlock(&t->mutex);
    kr_rtos_task_delete(nullptr);
}

// Output that could not be written is a failed run: standard output on a full disk, a closed pipe.
static bool stdout_lost(void)
{
    bool lost = std::fflush(stdout) != 0 || std::ferror(stdout);
    if (lost) {
        std::fprintf(stderr, "krcan: the output could not be written to standard output.\n");
        std::fflush(stderr);
    }
    return lost;
}

void main_open_std_fds(void)
{
    // A closed standard descriptor would be taken by the next socket or file, and printf would then
    // write into it: CAN frames made of text, or a damaged output file.
    for (int fd = 0; fd <= 2; fd++) {
        if (fcntl(fd, F_GETFD) != -1) continue;
        int n = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (n >= 0 && n != fd) {
            dup2(n, fd);
            close(n);
        }
    }
}

// What the run ends with, once every job has returned.
static int end_status(void)
{
    // The signal handler is ending the run with the signal's status: leave the end to it.
    while (kr_signal_ending()) pause();
    // A run that never read a database (its lists never set up) has nothing to free: its pages stay
    // untouched.
    if (dev.db.objects.buffer) db_deinit(&dev.db);
    PRINT("Finished\n");
    bool lost = stdout_lost();
    std::fflush(stderr);
    return main_run_failed() || lost ? 1 : 0;
}

void step(void *)
{
    task_st *tasks = (task_st *)dev.tasks.buffer;
    for (uint16_t i = 0; i < dev.tasks.len; i++) {
        kr_mutex_unlock(&tasks[i].mutex);
        kr_rtos_task_delay(1);          // lets the job's task take its mutex
        kr_mutex_lock(&tasks[i].mutex); // returns once the job's step has returned
    }
    sim_monitor();
    kr_deinit();
    if (!kr_rtos_idle_task_set()) std::exit(end_status());
    PRINT("step done\n");
    for (;;) kr_rtos_task_delay(1);
}

// ---- The entry point ----

void main_setup_output(void)
{
    // Nothing printed before a Ctrl-C may be lost, also when standard output is a pipe or a file.
    // With a buffer of its own the mode also takes on a stream that was already written to.
    static char line_buffer[BUFSIZ];
    if (isatty(1)) return;
    std::fflush(stdout);
    setvbuf(stdout, line_buffer, _IOLBF, sizeof line_buffer);
}

int main_start_run(void)
{
    // Without a job (--version, --help) the kernel's threads would start only to be stopped, which
    // takes longer than the rest of such a run. The settings file is read all the same, so a broken
    // one is reported by every run.
    if (dev.tasks.len == 0) {
        kr_memory_load(MEMORY_COM_PARAMS);
        std::exit(end_status()); // as the kernel's run ends, exit handlers and all
    }
    // Nothing runs after the window, so the setters given after --ui still choose its bus.
    if (ui_task_index >= 0 && ui_task_index < (int32_t)dev.tasks.len) {
        job_bus_st &bus = job_buses[ui_task_index];
        kr_copy_text(bus.channel, sizeof bus.channel, dev.can_channel);
        bus.baudrate = dev.baudrate;
    }
    task_st *tasks = (task_st *)dev.tasks.buffer;
    for (uint16_t i = 0; i < dev.tasks.len; i++) {
        if (kr_rtos_task_create(task_step, "task", 51200, &tasks[i], 2, nullptr) != KR_RTOS_PASS) {
            job_error("ERROR: the task of job %u could not be created.\n", (unsigned)i + 1);
            return 1;
        }
    }
    if (kr_rtos_task_create(step, "Step", 10240, &dev, 2, nullptr) != KR_RTOS_PASS) {
        job_error("ERROR: the task \"Step\" could not be created.\n");
        return 1;
    }
    kr_init(&dev);
    kr_rtos_start_scheduler();
    return main_run_failed() ? 1 : 0;
}

// A signal's message goes on a line of its own, not at the end of an open progress line.
static void end_open_line_on_signal(void)
{
    std::atomic_ref<bool> live(log_line_live);
    if (!live.load(std::memory_order_relaxed)) return;
    ssize_t r = write(STDOUT_FILENO, "\n", 1);
    (void)r;
    live.store(false, std::memory_order_relaxed);
}

int krcan_main(int argc, char **argv)
{
    // Each run is judged by its own jobs, not by commands called in this process before it.
    run_failed = false;
    main_open_std_fds();
    main_setup_output();
    kr_set_signal_preamble(end_open_line_on_signal);
    // Commands read while the command line is walked may already run curl.
    kr_install_signal_handler();
    init(&dev);
    dev.argc = argc;
    dev.argv = argv;
    system_init_tmp_cleanup();
    krhttp_set_tmp_first_use(system_tmp_first_use);
    simrun_init();
    credentials_init();

    if (!cmdline_accept(argc, argv) || !cmdline_run(argc, argv) || stdout_lost()) return 1;
    if (cmdline_help_asked()) return main_run_failed() ? 1 : 0;
    return main_start_run();
}
