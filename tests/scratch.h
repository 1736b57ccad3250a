// A folder of a test's own under /tmp, removed with all it holds when the test ends, also when an
// assertion ends the test early. Test code.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>

struct scratch_dir {
    std::filesystem::path path;

    explicit scratch_dir(const std::string &prefix)
    {
        std::string t = "/tmp/" + prefix + "XXXXXX";
        if (!mkdtemp(t.data())) throw std::runtime_error("mkdtemp " + t);
        path = t;
    }
    ~scratch_dir()
    {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    scratch_dir(const scratch_dir &) = delete;
    scratch_dir &operator=(const scratch_dir &) = delete;
    std::string str() const { return path.string(); }
};
