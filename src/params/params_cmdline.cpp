// Parameter commands seen together on one command line: a save whose file a later load on the same
// line reads would overwrite that file before the load runs. Called while the command line is read,
// before the scheduler starts.
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "params/saveparam.h"
#include "run/main.h"
#include "system/system.h"

namespace {

struct param_job_st {
    bool save;
    uint32_t position; // the job's place in the queue
    std::string arg;
};

std::vector<param_job_st> param_jobs;

void note(bool save, const char *arg) { param_jobs.push_back({save, dev.tasks.len, arg ? arg : ""}); }

// One name for a file however it is written: relative, with "..", through a symlinked folder.
std::string resolved(const std::string &path)
{
    std::error_code ec;
    std::filesystem::path p = std::filesystem::weakly_canonical(std::filesystem::absolute(path, ec), ec);
    return ec ? path : p.string();
}

// The files a load reads: its argument's path (node ids removed) and the words after the options.
std::vector<std::string> load_files(const std::string &arg)
{
    std::vector<std::string> files;
    char path[DEV_PATH_LEN] = "";
    uint8_t ids[32];
    uint32_t n = 0;
    if (!arg.empty() && cmdline_parse_nodeid_list(arg.c_str(), path, sizeof path, ids, 32, &n) && path[0]) {
        if (path_ends_with(path, ".krsys") || path_ends_with(path, ".krdev")) return files;
        files.push_back(path);
    }
    for (uint32_t i = 0; dev.nonopt_argv && i < dev.argv_count; i++)
        if (cmdline_parse_nodeid_list(dev.nonopt_argv[i], path, sizeof path, ids, 32, &n) && path[0])
            files.push_back(path);
    return files;
}

} // namespace

extern "C" {

void params_note_save(const char *arg) { note(true, arg); }
void params_note_load(const char *arg) { note(false, arg); }

bool params_check_command_line(void)
{
    for (const param_job_st &s : param_jobs) {
        if (!s.save) continue;
        std::string target = resolved(s.arg);
        for (const param_job_st &l : param_jobs) {
            if (l.save || l.position <= s.position) continue;
            for (const std::string &f : load_files(l.arg)) {
                if (resolved(f) != target) continue;
                job_error("ERROR: --saveparam would write '%s', which a later --loadparam on the same command line "
                          "reads ('%s'): the file would be overwritten before it is loaded. Nothing was run; save "
                          "to another file.\n",
                          s.arg.c_str(), f.c_str());
                return false;
            }
        }
    }
    return true;
}

} // extern "C"
