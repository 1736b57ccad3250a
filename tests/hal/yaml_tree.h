// Test helpers for the YAML reader and writer: a document read into a canonical JSON line (the
// same form tests/data/yaml/canon.py prints for yaml.safe_load), and running python without a
// shell.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "kr_yamlreader.h"

extern char **environ;

namespace yamltest {

inline void json_string(const std::string &s, std::string &out)
{
    out += '"';
    for (unsigned char c : s) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        default:
            if (c < 0x20) {
                char hex[8];
                snprintf(hex, sizeof hex, "\\u%04x", c);
                out += hex;
            } else {
                out += (char)c;
            }
        }
    }
    out += '"';
}

inline std::string node_string(kr_yaml_node_st n)
{
    std::vector<char> buf(kr_yamlreader_get_string_len(n) + 1);
    kr_yamlreader_get_string(n, buf.data(), (uint32_t)buf.size());
    return buf.data();
}

inline std::string node_name(kr_yaml_node_st n)
{
    std::vector<char> buf(4096);
    kr_yamlreader_get_obj_name(n, buf.data(), (uint32_t)buf.size());
    return buf.data();
}

// The node's value as one JSON text, walking children by siblings.
inline void canon(kr_yaml_node_st n, std::string &out)
{
    kr_yaml_types_e t = kr_yamlreader_get_type(n);
    if (t == YAML_MAP || t == YAML_SEQ) {
        out += t == YAML_MAP ? '{' : '[';
        kr_yaml_node_st c = kr_yamlreader_get_child(n, 0);
        bool first = true;
        while (c.ptr) {
            if (!first) out += ',';
            first = false;
            if (t == YAML_MAP) {
                json_string(node_name(c), out);
                out += ':';
            }
            canon(c, out);
            if (!kr_yamlreader_get_next_sibling(c, &c)) break;
        }
        out += t == YAML_MAP ? '}' : ']';
    } else if (t == YAML_INT) {
        out += std::to_string(kr_yamlreader_get_int(n));
    } else if (t == YAML_BOOL) {
        out += kr_yamlreader_get_bool(n) ? "true" : "false";
    } else if (t == YAML_STRING) {
        json_string(node_string(n), out);
    } else {
        out += "null";
    }
}

// Cleans a copy of the text (in a buffer of exactly its size plus the terminator, so that an
// overrun shows under the sanitizer) and returns its canonical JSON; "refused" when init refuses.
inline std::string read_canon(const std::string &text)
{
    std::vector<char> buf(text.begin(), text.end());
    buf.push_back('\0');
    if (kr_yamlreader_init(buf.data(), (uint32_t)buf.size()) != ERR_NONE) return "refused";
    std::string out;
    canon(kr_yamlreader_get_root(buf.data()), out);
    return out;
}

// Runs a program without a shell; returns its standard output, and its exit status in *status.
inline std::string run_capture(const std::vector<std::string> &args, int *status)
{
    int fds[2];
    *status = -1;
    if (pipe(fds) != 0) return "";
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
    posix_spawn_file_actions_addclose(&fa, fds[0]);
    posix_spawn_file_actions_addclose(&fa, fds[1]);
    std::vector<char *> argv;
    for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid;
    int rc = posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    close(fds[1]);
    std::string out;
    if (rc == 0) {
        char chunk[4096];
        ssize_t n;
        while ((n = read(fds[0], chunk, sizeof chunk)) > 0) out.append(chunk, (size_t)n);
        int ws = 0;
        waitpid(pid, &ws, 0);
        *status = WIFEXITED(ws) ? WEXITSTATUS(ws) : -1;
    }
    close(fds[0]);
    return out;
}

} // namespace yamltest
