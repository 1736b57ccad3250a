// The account store in process: a write that fails midway leaves the old file whole, and the manifest
// reader's number rules.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "online/account.h"
#include "online/selfupdate.h"
#include "read_all.h"
#include "scratch.h"

namespace fs = std::filesystem;

namespace {

TEST(AccountStore, FailedWriteKeepsTheOldFile)
{
    scratch_dir scratch("krcan_account_test_");
    const std::string t = scratch.str();
    fs::path dir = t, file = dir / "krcan" / "account.conf";
    fs::create_directories(dir / "krcan");
    const std::string old = "username=old\npassword=" + std::string(200, 'p') + "\n";
    std::ofstream(file) << old;

    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        // A file size limit makes the write fail part way, as a full disk would (also for root).
        setenv("XDG_CONFIG_HOME", t.c_str(), 1);
        signal(SIGXFSZ, SIG_IGN);
        credentials_init();
        if (std::string(credentials_get_username()) != "old") _exit(10);
        rlimit lim = {64, 64};
        if (setrlimit(RLIMIT_FSIZE, &lim) != 0) _exit(11);
        if (credentials_set_username("new")) _exit(12);
        if (std::string(credentials_last_error()).find(file.string()) == std::string::npos) _exit(13);
        if (std::string(credentials_get_username()) != "new") _exit(14); // held for this run
        // No setter writes a line break.
        if (credentials_set_url("a\nusername=evil") || std::string(credentials_get_url()) == "a") _exit(15);
        if (credentials_fleet_set_password("x\r")) _exit(16);
        _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(read_all(file), old);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir / "krcan"), fs::directory_iterator()), 1)
        << "the temporary file is removed";
}

TEST(AccountStore, ManifestNumbers)
{
    std::string m = R"({"version":"0x153","file":"f","size":3000000000})";
    selfupdate_info_st info = {};
    ASSERT_TRUE(selfupdate_parse_manifest(m.data(), &info));
    EXPECT_EQ(info.version, 339u);
    EXPECT_EQ(info.size, 3000000000u);
    EXPECT_EQ(info.name[0], '\0') << "a missing key leaves its field empty";

    m = R"({"version":4294967295,"file":"f"})";
    EXPECT_FALSE(selfupdate_parse_manifest(m.data(), &info)) << "reads as -1: no version";
    m = R"({"version":2147483647,"file":"f","size":99999999999})";
    ASSERT_TRUE(selfupdate_parse_manifest(m.data(), &info));
    EXPECT_EQ(info.size, 2147483647u) << "beyond 32 bits the reader saturates";
}

} // namespace
