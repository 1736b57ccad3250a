// The run: start-up defaults, the command-line walk, the job queue and the end of the run.
#include <fcntl.h>
#include <getopt.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "online/account.h"
#include "params/saveparam.h"
#include "run/commands.h"
#include "run/main.h"
#include "system/package.h"
#include "system/simrun.h"
#include "database/db.h"
#include "system/system.h"
#include "kr_bytes.h"
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

void log_printf(const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    if (isatty(1)) {
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

void vprint_error(const char *format, va_list ap)
{
    std::fputs(PRINT_BOLDRED, stdout);
    std::vprintf(format, ap);
    std::fputs(PRINT_RESET, stdout);
    std::fflush(stdout);
}

void print_error(const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    vprint_error(format, ap);
    va_end(ap);
}

void vjob_error(const char *format, va_list ap)
{
    main_set_run_failed();
    vprint_error(format, ap);
}

void job_error(const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    vjob_error(format, ap);
    va_end(ap);
}

void vjob_warning(const char *format, va_list ap)
{
    std::fputs(PRINT_BOLDYELLOW, stdout);
    std::vprintf(format, ap);
    std::fputs(PRINT_RESET, stdout);
    std::fflush(stdout);
}

void job_warning(const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    vjob_warning(format, ap);
    va_end(ap);
}

void log_end(void)
{
    if (!log_line_live) return;
    std::fputs("\n", stdout);
    log_line_live = false;
}

void log_ok(void)
{
    if (!log_line_live) return;
    std::fputs(PRINT_BOLDGREEN " OK" PRINT_RESET "\n", stdout);
    std::fflush(stdout);
    log_line_live = false;
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
    system_reset(&d->system);
}

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
    return true;
}

void task_step(void *task)
{
    task_st *t = (task_st *)task;
    kr_mutex_lock(&t->mutex);
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
    db_deinit(&dev.db);
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
        kr_rtos_task_delay(1); // lets the job's task take its mutex
        kr_mutex_lock(&tasks[i].mutex); // returns once the job's step has returned
    }
    sim_monitor();
    kr_deinit();
    if (!kr_rtos_idle_task_set()) std::exit(end_status());
    PRINT("step done\n");
    for (;;) kr_rtos_task_delay(1);
}

// ---- The command line's words ----

namespace {

struct words_claim_st {
    const char *cmd;
    unsigned how;
};
constexpr uint32_t WORD_CLAIMS_MAX = 8;
words_claim_st word_claims[WORD_CLAIMS_MAX];
uint32_t word_claim_count = 0;

struct word_hint_st {
    const char *word;
    const char *cmd;
};
constexpr uint32_t WORD_HINTS_MAX = 16;
word_hint_st word_hints[WORD_HINTS_MAX];
uint32_t word_hint_count = 0;

// The loose words from..to quoted for a message, each cut to a readable length.
std::string quoted_words(uint32_t from, uint32_t to)
{
    std::string out;
    for (uint32_t i = from; i < to; i++) {
        std::string w = dev.nonopt_argv[i];
        if (w.size() > 60) w = w.substr(0, 57) + "...";
        out += (out.empty() ? "'" : ", '") + w + "'";
    }
    return out;
}

void refuse_bad_option(int argc, char **argv)
{
    std::string word;
    if (optind > 0 && optind <= argc && std::strncmp(argv[optind - 1], "--", 2) == 0)
        word = std::string(argv[optind - 1]).substr(0, std::string(argv[optind - 1]).find('='));
    else if (optopt > ' ' && optopt < 127)
        word = std::string("-") + (char)optopt;
    job_error("ERROR: the option %s%s%sis unknown or lacks its argument (see above); nothing was run. "
              "Run --help to list every command.\n",
              word.empty() ? "" : "'", word.c_str(), word.empty() ? "" : "' ");
}

// Each word after the options belongs to exactly one command: a word nothing reads would be lost
// silently, and one that two commands read would reach the wrong one.
bool loose_words_taken(void)
{
    uint32_t n = dev.argv_count;
    if (n == 0) return true;
    if (word_claim_count >= 2) {
        const words_claim_st *file = &word_claims[0];
        for (uint32_t i = 0; i < word_claim_count && i < WORD_CLAIMS_MAX; i++)
            if (word_claims[i].how & CMDLINE_WORDS_FILE) {
                file = &word_claims[i];
                break;
            }
        job_error("ERROR: the words after the options (%s) would be taken by both '%s' and '%s', but "
                  "they can belong to only one command; nothing was run. Give the file as "
                  "--%s=FILE.\n",
                  quoted_words(0, n).c_str(), word_claims[0].cmd, word_claims[1].cmd, file->cmd);
        return false;
    }
    uint32_t taken = word_claim_count == 0 ? 0 : (word_claims[0].how & CMDLINE_WORDS_FIRST) ? 1 : n;
    if (taken < n) {
        job_error("ERROR: nothing on the command line takes %s; nothing was run.\n", quoted_words(taken, n).c_str());
        for (uint32_t h = 0; h < word_hint_count; h++)
            for (uint32_t i = taken; i < n; i++)
                if (dev.nonopt_argv[i] == word_hints[h].word)
                    std::printf("To give '%s' its value, write --%s=%s.\n", word_hints[h].cmd, word_hints[h].cmd,
                                word_hints[h].word);
        return false;
    }
    if (word_claims[0].how & CMDLINE_WORDS_PATHS)
        for (uint32_t i = 0; i < taken; i++)
            if (std::strlen(dev.nonopt_argv[i]) >= DEV_PATH_LEN) {
                job_error("ERROR: the path %s for '%s' is longer than %u characters; nothing was "
                          "run.\n",
                          quoted_words(i, i + 1).c_str(), word_claims[0].cmd, (unsigned)DEV_PATH_LEN - 1);
                return false;
            }
    return true;
}

} // namespace

void cmdline_take_words(unsigned how)
{
    if (word_claim_count < WORD_CLAIMS_MAX)
        word_claims[word_claim_count] = {current_command ? current_command->cmd_long : "?", how};
    word_claim_count++;
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

int krcan_main(int argc, char **argv)
{
    main_open_std_fds();
    main_setup_output();
    // Commands read while the command line is walked may already run curl.
    kr_install_signal_handler();
    init(&dev);
    dev.argc = argc;
    dev.argv = argv;
    system_init_tmp_cleanup();
    simrun_init();
    credentials_init();

    static struct option long_options[COMMANDS_COUNT + 1];
    static char short_options[512];
    size_t short_len = 0;
    for (uint32_t i = 0; i < COMMANDS_COUNT; i++) {
        const commands_st &row = commands[i];
        int value = row.cmd_short ? (int)(unsigned char)row.cmd_short : (int)i;
        long_options[i] = {row.cmd_long, (int)row.args, nullptr, value};
        if (value > 96) {
            const char *suffix = row.args == ARG_REQUIRE ? ":" : row.args == ARG_OPTIONAL ? "::" : "";
            short_len += (size_t)std::snprintf(short_options + short_len, sizeof short_options - short_len, "%c%s",
                                               (char)value, suffix);
        }
    }
    long_options[COMMANDS_COUNT] = {nullptr, 0, nullptr, 0};

    bool refused = false;
    optind = 1;
    int c;
    while (!refused && (c = getopt_long(argc, argv, short_options, long_options, nullptr)) != -1) {
        if (c == '?') { // getopt_long has said what is wrong; a misspelt option could change what a job does
            refuse_bad_option(argc, argv);
            refused = true;
            continue;
        }
        for (uint32_t i = 0; i < COMMANDS_COUNT && !refused; i++) {
            const commands_st &row = commands[i];
            bool match = row.cmd_short ? (unsigned char)row.cmd_short == c : (int)i == c;
            if (!match) continue;
            current_command = &row;
            if (!row.callback(optarg)) {
                std::printf("command '%s' returned with FALSE, terminating.\n", row.cmd_long);
                refused = true;
            }
            current_command = nullptr;
            // "--listen 2" leaves the 2 as a loose word; remembered to say how to give it.
            if (row.args == ARG_OPTIONAL && !optarg && optind < argc && argv[optind][0] != '-' &&
                word_hint_count < WORD_HINTS_MAX)
                word_hints[word_hint_count++] = {argv[optind], row.cmd_long};
        }
    }

    if (optind < argc) {
        dev.argv_count = (uint32_t)(argc - optind);
        dev.nonopt_argv = &argv[optind];
    } else {
        dev.argv_count = 0;
        dev.nonopt_argv = nullptr;
    }
    if (!refused) refused = !loose_words_taken();
    if (!refused) refused = !params_check_command_line();
    if (stdout_lost() || refused) return 1;

    return main_start_run();
}
