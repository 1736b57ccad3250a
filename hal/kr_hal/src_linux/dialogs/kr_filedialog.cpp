// File dialogs through zenity: an argument vector (never a shell), its answer read from a pipe,
// its standard error (toolkit noise) dropped. The dialog runs inside the RTOS critical section, so
// nothing else of the program runs while it is open.
#include <sys/stat.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "kr_process.h"
#include "kr_rtos.h"
#include "ui/kr_uifiledialog.h"

extern char **environ;

namespace {

char default_dir[KR_UIFILEDIALOG_DIR_LEN];
constexpr size_t MAX_ANSWER = 1 << 20;
const char *const SEPARATOR = "//"; // no path zenity gives holds it

struct answer {
    bool spawned = false;
    int spawn_errno = 0;
    int status = -1;
    bool too_long = false;
    std::string out;
};

void keep_answer(void *ctx, const char *data, size_t size)
{
    answer &a = *static_cast<answer *>(ctx);
    if (a.out.size() + size > MAX_ANSWER)
        a.too_long = true; // read on so the dialog never blocks on a full pipe
    else
        a.out.append(data, size);
}

answer run_zenity(const std::vector<std::string> &args)
{
    answer a;
    std::vector<const char *> argv;
    for (const std::string &s : args) argv.push_back(s.c_str());
    argv.push_back(nullptr);
    // Paths are bytes; zenity reads and writes them in a UTF-8 locale.
    std::vector<std::string> env;
    for (char **e = environ; *e; ++e)
        if (std::strncmp(*e, "LC_ALL=", 7) != 0) env.push_back(*e);
    env.push_back("LC_ALL=C.UTF-8");
    std::vector<char *> envp;
    for (std::string &s : env) envp.push_back(s.data());
    envp.push_back(nullptr);

    kr_process_options_st o = {};
    o.stdio[0] = KR_PROCESS_DEV_NULL;
    o.stdio[1] = KR_PROCESS_PIPE;
    o.stdio[2] = KR_PROCESS_DEV_NULL;
    o.envp = envp.data();
    o.on_output = keep_answer;
    o.ctx = &a;
    kr_process_st child;
    a.spawn_errno = kr_process_spawn(&child, argv.data(), &o);
    if (a.spawn_errno) return a;
    a.spawned = true;
    kr_process_wait(&child, KR_PROCESS_NO_DEADLINE, false);
    a.status = WIFEXITED(child.status) ? WEXITSTATUS(child.status) : -1;
    return a;
}

std::vector<std::string> build_args(const char *title, const kr_uifileedit_filter_st *filters, uint8_t count, bool save,
                                    bool multiple)
{
    std::vector<std::string> a = {"zenity", "--file-selection"};
    if (title) a.push_back(std::string("--title=") + title);
    if (default_dir[0]) {
        std::string d = default_dir;
        if (d.back() != '/') d += '/';
        a.push_back("--filename=" + d);
    }
    if (filters && count) {
        for (uint8_t i = 0; i < count; ++i)
            a.push_back(std::string("--file-filter=") + (filters[i].name ? filters[i].name : "files") + " | " +
                        (filters[i].patterns ? filters[i].patterns : "*"));
    } else {
        a.push_back("--file-filter=All Files | *");
    }
    if (save) {
        a.push_back("--save");
        a.push_back("--confirm-overwrite");
    }
    if (multiple) {
        a.push_back("--multiple");
        a.push_back(std::string("--separator=") + SEPARATOR);
    }
    return a;
}

// Runs the dialog; true with the answer (its line end taken off) when the user chose.
bool dialog(const std::vector<std::string> &args, std::string &chosen)
{
    kr_rtos_enter_critical();
    answer a = run_zenity(args);
    kr_rtos_exit_critical();
    if (!a.spawned) {
        if (a.spawn_errno == ENOENT)
            std::printf("The file dialog needs zenity, which is not installed (Debian package 'zenity').\n");
        else
            std::printf("Could not start the file dialog (zenity): %s\n", std::strerror(a.spawn_errno));
        std::fflush(stdout);
        return false;
    }
    if (a.status == 1) return false; // cancelled
    if (a.status != 0 || a.too_long) {
        if (a.too_long)
            std::printf("The file dialog's answer is longer than %zu bytes; nothing is used.\n", MAX_ANSWER);
        else
            std::printf("The file dialog (zenity) failed with status %d.\n", a.status);
        std::fflush(stdout);
        return false;
    }
    if (!a.out.empty() && a.out.back() == '\n') a.out.pop_back();
    chosen = a.out;
    return true;
}

bool has_line_break(const std::string &s) { return s.find_first_of("\r\n") != std::string::npos; }

} // namespace

extern "C" {

bool kr_uifiledialog_exec(const char *title, const kr_uifileedit_filter_st *filters, uint8_t filter_count, bool save,
                          char *out, size_t out_len)
{
    if (!out || out_len == 0) return false;
    std::string path;
    if (!dialog(build_args(title, filters, filter_count, save, false), path) || path.empty()) return false;
    // A shortened path or one split at a line break would name another file (a save would write there).
    if (has_line_break(path)) {
        std::printf("The chosen file name holds a line break; it is not used.\n");
        std::fflush(stdout);
        return false;
    }
    if (path.size() >= out_len) {
        std::printf("The chosen path is too long (%zu bytes, room for %zu): %s\n", path.size(), out_len - 1,
                    path.c_str());
        std::fflush(stdout);
        return false;
    }
    std::memcpy(out, path.c_str(), path.size() + 1);
    return true;
}

bool kr_uifiledialog_exec_multi(const char *title, const kr_uifileedit_filter_st *filters, uint8_t filter_count,
                                char *out, size_t out_len)
{
    if (!out || out_len == 0) return false;
    std::string answer;
    if (!dialog(build_args(title, filters, filter_count, false, true), answer)) return false;
    std::vector<std::string> paths;
    for (size_t start = 0; start <= answer.size();) {
        size_t end = answer.find(SEPARATOR, start);
        if (end == std::string::npos) end = answer.size();
        if (end > start) paths.push_back(answer.substr(start, end - start));
        start = end + std::strlen(SEPARATOR);
    }
    std::string joined;
    for (const std::string &p : paths) {
        if (has_line_break(p)) {
            std::printf("A chosen file name holds a line break; it is left out.\n");
            continue;
        }
        const size_t need = joined.size() + (joined.empty() ? 0 : 1) + p.size();
        if (need >= out_len) {
            std::printf("No room for the chosen path, left out: %s\n", p.c_str());
            continue;
        }
        if (!joined.empty()) joined += '\n';
        joined += p;
    }
    std::fflush(stdout);
    std::memcpy(out, joined.c_str(), joined.size() + 1);
    return !joined.empty();
}

void kr_uifiledialog_set_default_dir(const char *path)
{
    default_dir[0] = 0;
    if (!path || !*path) return;
    std::string p = path;
    struct stat st;
    if (!(stat(path, &st) == 0 && S_ISDIR(st.st_mode))) {
        const size_t slash = p.rfind('/');
        if (slash == std::string::npos) return;
        p = slash == 0 ? "/" : p.substr(0, slash);
    }
    // A cut folder name would open somewhere else: too long means no default.
    if (p.size() >= sizeof default_dir) return;
    std::memcpy(default_dir, p.c_str(), p.size() + 1);
}

const char *kr_uifiledialog_get_default_dir(void) { return default_dir; }

} // extern "C"
