// A stand-in for curl in tests, put first on PATH as "curl". It reads the -K configuration file and
// logs its arguments, its own /proc/self/cmdline, the file's mode and the file's text to $KR_CURL_LOG;
// copies $KR_CURL_BODY to the configuration's `output`; waits $KR_CURL_SLEEP_MS; prints $KR_CURL_PRINT
// (default "200") and exits with $KR_CURL_EXIT (default 0).
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "read_all.h"

// The value of `key = "..."` in curl's configuration syntax, escapes undone.
static std::string config_value(const std::string &config, const std::string &key)
{
    std::istringstream in(config);
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, key.size() + 4, key + " = \"") != 0)
            continue;
        std::string out;
        for (size_t i = key.size() + 4; i < line.size() && line[i] != '"'; i++) {
            if (line[i] == '\\' && i + 1 < line.size())
                i++;
            out += line[i];
        }
        return out;
    }
    return "";
}

int main(int argc, char **argv)
{
    std::string cfg_path;
    for (int i = 1; i + 1 < argc; i++)
        if (std::string(argv[i]) == "-K")
            cfg_path = argv[i + 1];
    std::string config = cfg_path.empty() ? "" : read_all(cfg_path);
    struct stat st = {};
    bool have = !cfg_path.empty() && stat(cfg_path.c_str(), &st) == 0;

    if (const char *log = std::getenv("KR_CURL_LOG")) {
        std::string args;
        for (int i = 1; i < argc; i++)
            args += std::string(i > 1 ? " " : "") + argv[i];
        std::string cmdline = read_all("/proc/self/cmdline");
        for (char &c : cmdline)
            if (c == '\0')
                c = ' ';
        char mode[16];
        std::snprintf(mode, sizeof mode, "%o", have ? (unsigned)(st.st_mode & 07777) : 0u);
        std::ofstream f(log, std::ios::app | std::ios::binary);
        f << "args: " << args << "\ncmdline: " << cmdline << "\nmode: " << mode << "\nconfig:\n" << config << "--\n";
    }
    std::string output = config_value(config, "output");
    if (const char *body = std::getenv("KR_CURL_BODY"); body && !output.empty()) {
        std::ofstream f(output, std::ios::binary | std::ios::trunc);
        f << read_all(body);
    }
    if (const char *ms = std::getenv("KR_CURL_SLEEP_MS"))
        std::this_thread::sleep_for(std::chrono::milliseconds(std::atol(ms)));
    const char *print = std::getenv("KR_CURL_PRINT");
    std::fputs(print ? print : "200", stdout);
    std::fflush(stdout);
    const char *code = std::getenv("KR_CURL_EXIT");
    return code ? std::atoi(code) : 0;
}
