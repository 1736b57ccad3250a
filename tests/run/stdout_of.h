// Standard output of a call, captured through a temporary file (the code under test writes with
// printf and may flush or not). Test code, header-only.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

template <class F> std::string stdout_of(F fn)
{
    char path[] = "/tmp/kr_stdout_XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0) return "(standard output could not be captured)";
    std::fflush(stdout);
    const int saved = dup(1);
    dup2(fd, 1);
    fn();
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
    close(fd);
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    unlink(path);
    return ss.str();
}
