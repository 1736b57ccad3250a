// Parameter commands seen together on one command line: a save whose file a later load on the same
// line reads would overwrite that file before the load runs. Called by the check that accepts the
// command line, before any command runs.
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
    std::string arg;
};

// The saves and loads in command-line order, which is the order their jobs run in.
std::vector<param_job_st> param_jobs;

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

void params_note_option(const char *option, const char *arg)
{
    bool save = std::strcmp(option, "saveparam") == 0 || std::strcmp(option, "saveparamall") == 0;
    if (save || std::strcmp(option, "loadparam") == 0) param_jobs.push_back({save, arg ? arg : ""});
}

bool params_check_command_line(void)
{
    std::vector<param_job_st> jobs;
    jobs.swap(param_jobs); // each check sees the line it was given
    for (size_t i = 0; i < jobs.size(); i++) {
        if (!jobs[i].save || jobs[i].arg.empty()) continue;
        std::string target = resolved(jobs[i].arg);
        for (size_t k = i + 1; k < jobs.size(); k++) {
            const param_job_st &l = jobs[k];
            if (l.save) continue;
            for (const std::string &f : load_files(l.arg)) {
                if (resolved(f) != target) continue;
                job_error("ERROR: --saveparam would write '%s', which a later --loadparam on the same command line "
                          "reads ('%s'): the file would be overwritten before it is loaded. Nothing was run; save "
                          "to another file.\n",
                          jobs[i].arg.c_str(), f.c_str());
                return false;
            }
        }
    }
    return true;
}

} // extern "C"
