// Standard streams and exit statuses, end to end: closed standard descriptors, output that cannot
// be written, bad options, a settings file that is a FIFO, and the version taken from git.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <thread>

#include "e2e/e2e.h"
#include "sim_client.h"
#include "sim_device.h"
#include "sim_hub.h"
#include "online/selfupdate.h"

namespace {

enum class fd_mode { null_dev, closed, full, pipe };

struct plain_result {
    int status = -1;     // exit status, -1 when killed or timed out
    std::string err;
    double wall_ms = 0;
};

// Runs krcan with descriptors 0 and 1 as asked and standard error in a pipe, in box's folder.
plain_result run_with(const e2e::sandbox &box, const std::vector<std::string> &args, fd_mode in, fd_mode out,
                      int timeout_ms = 20000)
{
    int errp[2];
    EXPECT_EQ(pipe2(errp, O_CLOEXEC), 0);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    if (in == fd_mode::closed)
        posix_spawn_file_actions_addclose(&fa, 0);
    else
        posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    if (out == fd_mode::closed)
        posix_spawn_file_actions_addclose(&fa, 1);
    else
        posix_spawn_file_actions_addopen(&fa, 1, out == fd_mode::full ? "/dev/full" : "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&fa, errp[1], 2);
    posix_spawn_file_actions_addchdir_np(&fa, box.dir().c_str());
    std::vector<std::string> env = box.environment({});
    std::vector<char *> envp, argv;
    for (auto &e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string bin = KRCAN_BIN;
    argv.push_back(bin.data());
    std::vector<std::string> a = args;
    for (auto &s : a) argv.push_back(s.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    auto t0 = std::chrono::steady_clock::now();
    int rc = posix_spawn(&pid, bin.c_str(), &fa, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    close(errp[1]);
    plain_result r;
    if (rc != 0) {
        close(errp[0]);
        return r;
    }
    fcntl(errp[0], F_SETFL, O_NONBLOCK);
    int status = 0;
    bool done = false;
    while (!done) {
        e2e::detail::drain(errp[0], r.err);
        if (waitpid(pid, &status, WNOHANG) == pid) {
            done = true;
        } else if (e2e::detail::ms_since(t0) > timeout_ms) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            status = -1;
            done = true;
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    e2e::detail::drain(errp[0], r.err);
    close(errp[0]);
    r.wall_ms = e2e::detail::ms_since(t0);
    r.status = status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

class Streams : public ::testing::Test {
protected:
    e2e::sandbox box;
};

// A device whose name reads like a socketcand command. With standard output closed, the bus
// connection would take descriptor 1 and the printed name would go onto the bus as a frame; with
// standard input closed, the terminal would read the bus connection as its input.
TEST_F(Streams, ClosedStandardDescriptorsNeverReachTheBus)
{
    std::string err;
    sim_hub_config_st cfg;
    cfg.quiet = true;
    sim_hub_st *hub = sim_hub_start(cfg, err);
    ASSERT_NE(hub, nullptr) << err;
    uint16_t port = sim_hub_port(hub);
    std::vector<sim_device_config_st> devs(1);
    devs[0].node_id = 0x10;
    devs[0].heartbeat_ms = 0;
    devs[0].name = "< send 7FF 1 AA >";
    sim_runner_st *runner = sim_runner_start(port, "vcan0", devs, err);
    ASSERT_NE(runner, nullptr) << err;
    sim_tap_st *tap = sim_tap_start(port, "vcan0", err);
    ASSERT_NE(tap, nullptr) << err;
    std::string can = "socketcand://127.0.0.1:" + std::to_string(port) + "/vcan0";

    plain_result r = run_with(box, {"--can", can, "-n", "0x10", "--mindex", "0x5FFF", "--sdoreadstr"},
                              fd_mode::null_dev, fd_mode::closed);
    EXPECT_EQ(r.status, 0) << r.err;
    // The terminal without words ends at the end of its input, closed or empty, and sends nothing.
    for (fd_mode in : {fd_mode::closed, fd_mode::null_dev}) {
        r = run_with(box, {"--can", can, "-n", "0x10", "--terminal"}, in, fd_mode::null_dev);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_LT(r.wall_ms, 10000);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    for (const sim_frame_st &f : sim_tap_frames(tap)) {
        EXPECT_NE(f.id, 0x7FFu) << "printed text reached the bus";
        EXPECT_FALSE(f.id == 0x610u && f.data[0] == 0x22) << "the terminal sent something it never read";
    }
    sim_tap_stop(tap);
    sim_runner_stop(runner);
    sim_hub_stop(hub);
}

// Output that cannot be written fails the run; a bad option refuses the command line.
TEST_F(Streams, LostOutputAndBadOptionsEndWithStatusOne)
{
    plain_result r = run_with(box, {"--version"}, fd_mode::null_dev, fd_mode::full);
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find("could not be written"), std::string::npos) << r.err;
    r = run_with(box, {"--version"}, fd_mode::null_dev, fd_mode::null_dev);
    EXPECT_EQ(r.status, 0) << r.err;

    for (std::vector<std::string> bad : std::vector<std::vector<std::string>>{
             {"--bogus", "--version"}, {"-V", "--version"}, {"--version", "--nodeid"}, {"--find=x", "--version"}}) {
        e2e::result e = box.krcan(bad);
        EXPECT_TRUE(e.exited(1)) << bad[0] << ": " << e.err;
        EXPECT_NE(e.out.find("is unknown or lacks its argument"), std::string::npos) << bad[0] << ": " << e.out;
        EXPECT_FALSE(e.err.empty()) << bad[0] << ": the option is reported";
    }
}

// A FIFO where the settings file belongs is not read (reading would wait for a writer for ever);
// its name carries the release name taken from git, as the version line does.
TEST_F(Streams, SettingsFifoAndVersionFromGit)
{
    std::string name = selfupdate_this_name();
    std::string settings = "kr03_can_" + name + ".nvconf";
    ASSERT_EQ(mkfifo(box.path(settings).c_str(), 0600), 0);
    e2e::options o;
    o.timeout_ms = 15000;
    e2e::result r = box.krcan({"--silent", "--version"}, o);
    ASSERT_FALSE(r.timed_out);
    EXPECT_TRUE(r.exited(0)) << r.err;
    EXPECT_NE(r.err.find("'./" + settings + "' is not a regular file"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "krcan " + name + " (build " + std::to_string(selfupdate_this_version()) + ")\n");

    // The build number counts the commits of the history the tree was built from.
    std::string src = std::filesystem::path(__FILE__).parent_path().parent_path().parent_path().string();
    e2e::result git = box.run("/usr/bin/git", {"-C", src, "rev-list", "--count", "HEAD"});
    if (git.exited(0) && !git.out.empty()) {
        EXPECT_EQ(std::to_string(selfupdate_this_version()) + "\n", git.out);
        EXPECT_NE(name, "unversioned");
    } else {
        EXPECT_EQ(name, "unversioned");
        EXPECT_EQ(selfupdate_this_version(), 0u);
    }
}

} // namespace
