// Standard streams and exit statuses, end to end: closed standard descriptors, output that cannot
// be written, bad options, colour only on a terminal, a settings file that is a FIFO, and the version
// taken from git.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <thread>

#include "e2e/e2e.h"
#include "sim_setup.h"
#include "online/selfupdate.h"

namespace {

enum class fd_mode { null_dev, closed, full };

struct plain_result {
    int status = -1; // exit status, -1 when killed or timed out
    std::string err;
    double wall_ms = 0;
};

// Runs krcan with descriptors 0 and 1 as asked and standard error captured, in box's folder.
plain_result run_with(const e2e::sandbox &box, const std::vector<std::string> &args, fd_mode in, fd_mode out,
                      int timeout_ms = 20000)
{
    e2e::options o;
    o.timeout_ms = timeout_ms;
    o.stdin_closed = in == fd_mode::closed;
    o.stdout_to = out == fd_mode::closed ? e2e::output::closed
                  : out == fd_mode::full ? e2e::output::full_dev
                                         : e2e::output::null_dev;
    e2e::result e = box.krcan(args, o);
    plain_result r;
    r.status = e.timed_out || e.signal != 0 ? -1 : e.exit_code;
    r.err = e.err;
    r.wall_ms = e.wall_ms;
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
    std::vector<sim_device_config_st> devs(1);
    devs[0].node_id = 0x10;
    devs[0].heartbeat_ms = 0;
    devs[0].name = "< send 7FF 1 AA >";
    sim_setup_st bench;
    ASSERT_TRUE(sim_setup_start(bench, devs, 0, err, true)) << err;
    sim_tap_st *tap = bench.tap;
    std::string can = bench.channel;

    plain_result r = run_with(box, {"--can", can, "-n", "0x10", "--mindex", "0x5FFF", "--sdoreadstr"},
                              fd_mode::null_dev, fd_mode::closed);
    EXPECT_EQ(r.status, 0) << r.err;
    // The terminal without words ends at the end of its input, closed or empty, and sends nothing.
    for (fd_mode in : {fd_mode::closed, fd_mode::null_dev}) {
        r = run_with(box, {"--can", can, "-n", "0x10", "--terminal"}, in, fd_mode::null_dev);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_LT(r.wall_ms, 10000);
    }
    EXPECT_TRUE(sim_setup_settle(bench)); // the tap has all the runs sent
    for (const sim_frame_st &f : sim_tap_frames(tap)) {
        EXPECT_NE(f.id, 0x7FFu) << "printed text reached the bus";
        EXPECT_FALSE(f.id == 0x610u && f.data[0] == 0x22) << "the terminal sent something it never read";
    }
    sim_setup_stop(bench);
}

// Output that cannot be written fails the run; a bad option refuses the command line, and no option
// at all gets the usage.
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

    // A bare run does nothing: it says how to use krcan instead of ending quietly with success.
    e2e::result bare = box.krcan({});
    EXPECT_TRUE(bare.exited(1)) << bare.out << bare.err;
    EXPECT_EQ(bare.out.rfind("Usage: krcan [OPTION]...", 0), 0u) << bare.out;
    EXPECT_NE(bare.out.find("Run 'krcan --help' to list every command.\n"), std::string::npos) << bare.out;
}

// Colour, and progress rewritten in place, are for a terminal: a pipe or a log file gets the same
// messages as plain lines.
TEST_F(Streams, ColourAndRewrittenProgressOnlyOnATerminal)
{
    std::vector<sim_device_config_st> devs(1);
    devs[0].node_id = 0x20;
    devs[0].heartbeat_ms = 100;
    devs[0].start_operational = true;
    devs[0].media.enabled = true;
    devs[0].media.block_size = 64;
    sim_setup_st bench;
    std::string err;
    ASSERT_TRUE(sim_setup_start(bench, devs, 0, err)) << err;
    box.write_file("pics/a.png", std::string(300, 'x'));
    box.write_file("empty/notes.txt", "not media");
    const std::vector<std::string> args{"--can", bench.channel, "-n", "0x20", "--loadmedia=pics", "--loadmedia=empty"};
    e2e::result piped = box.krcan(args);
    e2e::options terminal;
    terminal.pty = true;
    e2e::result shown = box.krcan(args, terminal);
    sim_setup_stop(bench);

    EXPECT_TRUE(piped.exited(1) && shown.exited(1)) << piped.out << shown.out;
    EXPECT_EQ((piped.out + piped.err).find_first_of("\033\r"), std::string::npos) << piped.out << piped.err;
    EXPECT_NE(piped.out.find("(21 %) file 1/1\nLoading 'pics/a.png' 128 / 300"), std::string::npos) << piped.out;
    EXPECT_NE(piped.out.find("\nERROR: the folder 'empty' holds no media file"), std::string::npos) << piped.out;
    EXPECT_NE(shown.out.find("(21 %) file 1/1\033[K\rLoading 'pics/a.png' 128 / 300"), std::string::npos) << shown.out;
    EXPECT_NE(shown.out.find("\033[1m\033[31mERROR: the folder 'empty'"), std::string::npos) << shown.out;
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
    std::string src = KR_SOURCE_DIR;
    if (std::filesystem::exists(std::filesystem::path(src) / ".git")) {
        e2e::result git = box.run("/usr/bin/git", {"-C", src, "rev-list", "--count", "HEAD"});
        ASSERT_TRUE(git.exited(0)) << git.err;
        EXPECT_EQ(std::to_string(selfupdate_this_version()) + "\n", git.out);
        EXPECT_NE(name, "unversioned");
    } else {
        EXPECT_EQ(name, "unversioned");
        EXPECT_EQ(selfupdate_this_version(), 0u);
    }
}

} // namespace
