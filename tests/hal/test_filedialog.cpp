// File dialogs against a stand-in zenity on PATH that logs its arguments and answers as told.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "e2e/e2e.h"
#include "ui/kr_uifiledialog.h"

namespace {

struct standin {
    e2e::sandbox box;
    std::string bin, log, answer, old_path;

    standin()
    {
        bin = box.dir().string() + "/bin";
        std::filesystem::create_directories(bin);
        log = box.dir().string() + "/zenity.log";
        answer = box.dir().string() + "/answer";
        std::ofstream s(bin + "/zenity");
        s << "#!/bin/sh\n"
             "for a in \"$@\"; do printf '%s\\0' \"$a\" >> \"$ZLOG\"; done\n"
             "printf 'LC_ALL=%s\\0' \"$LC_ALL\" >> \"$ZLOG\"\n"
             "echo 'gtk noise' >&2\n"
             "cat \"$ZOUT\"\n"
             "exit \"$ZSTATUS\"\n";
        s.close();
        chmod((bin + "/zenity").c_str(), 0755);
        old_path = getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin";
        setenv("PATH", (bin + ":" + old_path).c_str(), 1);
        setenv("ZLOG", log.c_str(), 1);
        setenv("ZOUT", answer.c_str(), 1);
        reply("", 0);
    }
    ~standin() { setenv("PATH", old_path.c_str(), 1); }

    void reply(const std::string &out, int status)
    {
        std::ofstream(answer, std::ios::binary) << out;
        setenv("ZSTATUS", std::to_string(status).c_str(), 1);
        std::filesystem::remove(log);
    }
    std::vector<std::string> args() const
    {
        std::ifstream f(log, std::ios::binary);
        std::stringstream ss;
        ss << f.rdbuf();
        std::vector<std::string> v;
        std::string s = ss.str();
        for (size_t a = 0, b; a < s.size(); a = b + 1) {
            b = s.find('\0', a);
            if (b == std::string::npos) break;
            v.push_back(s.substr(a, b - a));
        }
        return v;
    }
};

// Standard output of a call.
template <class F> std::string captured(F f)
{
    char path[] = "/tmp/kr_fd_XXXXXX";
    const int fd = mkstemp(path);
    std::fflush(stdout);
    const int saved = dup(1);
    dup2(fd, 1);
    f();
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

} // namespace

// The argument vector: title as one argument whatever it holds (nothing is run from it), the start
// folder from a package path, filters, save flags, a UTF-8 locale; the answer's bytes returned as
// they are, "|" and non-UTF-8 bytes included.
TEST(FileDialog, ArgumentsAndSinglePath)
{
    standin z;
    const std::string pkg_dir = z.box.dir().string() + "/pkgs";
    std::filesystem::create_directories(pkg_dir);
    kr_uifiledialog_set_default_dir((pkg_dir + "/dev.krdev").c_str());
    EXPECT_EQ(std::string(kr_uifiledialog_get_default_dir()), pkg_dir);

    const kr_uifileedit_filter_st filters[] = {{"Parameter files", "*.json *.yaml *.yml"}, {nullptr, nullptr}};
    z.reply("/home/u/a b|c\xff\xfe.json\n", 0);
    char out[256] = "old";
    const std::string title = "Save \"it\" $(touch x) `touch y`";
    EXPECT_TRUE(kr_uifiledialog_exec(title.c_str(), filters, 2, true, out, sizeof out));
    EXPECT_STREQ(out, "/home/u/a b|c\xff\xfe.json");
    const std::vector<std::string> want = {"--file-selection",
                                           "--title=" + title,
                                           "--filename=" + pkg_dir + "/",
                                           "--file-filter=Parameter files | *.json *.yaml *.yml",
                                           "--file-filter=files | *",
                                           "--save",
                                           "--confirm-overwrite",
                                           "LC_ALL=C.UTF-8"};
    EXPECT_EQ(z.args(), want);
    EXPECT_FALSE(std::filesystem::exists("x"));
    EXPECT_FALSE(std::filesystem::exists(z.box.dir() / "x"));
    EXPECT_FALSE(std::filesystem::exists("y"));

    // An open dialog without filters or title, from a folder path, then a cleared default.
    kr_uifiledialog_set_default_dir(pkg_dir.c_str());
    z.reply("/p/q\n", 0);
    EXPECT_TRUE(kr_uifiledialog_exec(nullptr, nullptr, 0, false, out, sizeof out));
    EXPECT_EQ(z.args(), (std::vector<std::string>{"--file-selection", "--filename=" + pkg_dir + "/",
                                                  "--file-filter=All Files | *", "LC_ALL=C.UTF-8"}));
    kr_uifiledialog_set_default_dir("/nonexistent.krdev");
    EXPECT_STREQ(kr_uifiledialog_get_default_dir(), "/");
    kr_uifiledialog_set_default_dir("plainname");
    EXPECT_STREQ(kr_uifiledialog_get_default_dir(), "");
}

// Cancel, failure, refusals (line breaks, no room) and a missing zenity leave the output alone and
// say why; several picks are joined by LF, names with line breaks and paths without room left out.
TEST(FileDialog, RefusalsCancelAndMultiple)
{
    standin z;
    kr_uifiledialog_set_default_dir(nullptr);
    char out[32] = "keep";
    z.reply("/a/b\n", 1);
    EXPECT_FALSE(kr_uifiledialog_exec("t", nullptr, 0, false, out, sizeof out));
    EXPECT_STREQ(out, "keep");
    z.reply("", 5);
    std::string msg = captured([&] { EXPECT_FALSE(kr_uifiledialog_exec("t", nullptr, 0, false, out, sizeof out)); });
    EXPECT_NE(msg.find("status 5"), std::string::npos) << msg;
    z.reply("/a/0123456789012345678901234567890.json\n", 0); // 38 bytes in 32
    msg = captured([&] { EXPECT_FALSE(kr_uifiledialog_exec("t", nullptr, 0, true, out, sizeof out)); });
    EXPECT_STREQ(out, "keep");
    EXPECT_NE(msg.find("too long"), std::string::npos) << msg;
    z.reply("/a/two\nlines\n", 0);
    EXPECT_FALSE(kr_uifiledialog_exec("t", nullptr, 0, true, out, sizeof out));
    EXPECT_STREQ(out, "keep");

    char many[64] = "keep";
    z.reply("/d/a.json///d/b b.json///d/c.json\n", 0);
    EXPECT_TRUE(kr_uifiledialog_exec_multi("m", nullptr, 0, many, sizeof many));
    EXPECT_STREQ(many, "/d/a.json\n/d/b b.json\n/d/c.json");
    const std::vector<std::string> a = z.args();
    ASSERT_GE(a.size(), 2u);
    EXPECT_EQ(a[a.size() - 3], "--multiple");
    EXPECT_EQ(a[a.size() - 2], "--separator=//");
    z.reply("/d/one.json\n", 0);
    EXPECT_TRUE(kr_uifiledialog_exec_multi("m", nullptr, 0, many, sizeof many));
    EXPECT_STREQ(many, "/d/one.json");
    z.reply("/d/x\ny.json///d/long_name_that_takes_the_room_0123456789.json///d/ok.json///d/"
            "another_long_name_left_out_0123456789.json\n",
            0);
    msg = captured([&] { EXPECT_TRUE(kr_uifiledialog_exec_multi("m", nullptr, 0, many, sizeof many)); });
    EXPECT_STREQ(many, "/d/long_name_that_takes_the_room_0123456789.json\n/d/ok.json");
    EXPECT_NE(msg.find("left out: /d/another_long_name_left_out_0123456789.json"), std::string::npos) << msg;
    EXPECT_NE(msg.find("line break"), std::string::npos) << msg;

    setenv("PATH", (z.box.dir().string() + "/nothing").c_str(), 1);
    msg = captured([&] { EXPECT_FALSE(kr_uifiledialog_exec("t", nullptr, 0, false, out, sizeof out)); });
    EXPECT_NE(msg.find("Debian package 'zenity'"), std::string::npos) << msg;
    EXPECT_STREQ(out, "keep");
}
