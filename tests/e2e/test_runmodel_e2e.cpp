// The krcan binary's run model and command line, end to end.
#include <gtest/gtest.h>

#include <linux/can.h>
#include <sys/socket.h>
#include <unistd.h>

#include <regex>

#include "run/commands.h"
#include "e2e/e2e.h"
#include "e2e/sim_bench.h"
#include "online/selfupdate.h"

namespace {

namespace fs = std::filesystem;

const std::string kVersionLine = "krcan " + std::string(selfupdate_this_name()) + " (build " +
                                 std::to_string(selfupdate_this_version()) + ")\n";
const char *kUpdateFailed = "Could not reach the update server (curl exited with status 7).\n";

// The help text as printed without a terminal: '*' runs removed.
std::string plain(const char *text) { return std::regex_replace(std::string(text), std::regex("\\*+"), ""); }

class RunModel : public ::testing::Test {
protected:
    e2e::sandbox box;
};

// ---- The run: setters only, refusals, failed jobs, job order ----

TEST_F(RunModel, SettersOnlyFinishAtOnce)
{
    e2e::result quiet = box.krcan({"--can", "vcan0", "--baud", "500000", "--srcdest", "out"});
    EXPECT_TRUE(quiet.exited(0)) << quiet.err;
    EXPECT_EQ(quiet.out, "");
    EXPECT_EQ(quiet.err.find("Finished"), std::string::npos) << "silent by default";

    e2e::result loud = box.krcan({"--silent", "--can", "vcan0", "--baud", "0x7a120"});
    EXPECT_TRUE(loud.exited(0)) << loud.err;
    EXPECT_NE(loud.err.find("selecting 'vcan0' as CAN dev\n"), std::string::npos) << loud.err;
    EXPECT_NE(loud.err.find("Setting CAN baudrate: 500000\n"), std::string::npos) << loud.err;
    EXPECT_EQ(e2e::count(loud.err, "Finished\n"), 1u);
    EXPECT_EQ(loud.err.substr(loud.err.size() - 9), "Finished\n") << "Finished ends the run";
}

TEST_F(RunModel, RefusedCommandRunsNoJob)
{
    // The whole command line is checked before anything runs: not even the version is printed.
    e2e::result r = box.krcan({"--silent", "--version", "--update", "--nodeid", "128", "--update"});
    EXPECT_TRUE(r.exited(1));
    EXPECT_EQ(r.out.find(kVersionLine), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("ERROR: invalid node id '128' for --nodeid"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find(kUpdateFailed), std::string::npos) << "no job may run after a refusal";
    EXPECT_EQ(r.err.find("Finished"), std::string::npos);

    // Numbers are checked: negative, overflowing, trailing junk, empty.
    for (const char *bad : {"-1", "0x80", "99999999999999999999999", "12abc", ""}) {
        e2e::result n = box.krcan({"--nodeid", bad});
        EXPECT_TRUE(n.exited(1)) << bad;
        EXPECT_NE(n.out.find("invalid node id"), std::string::npos) << bad;
    }
    for (const char *bad : {"-250000", "4294967296", "250k", "0"}) {
        e2e::result b = box.krcan({"--baud", bad});
        EXPECT_TRUE(b.exited(1)) << bad;
        EXPECT_NE(b.out.find("ERROR: invalid baud rate"), std::string::npos) << bad << ": " << b.out;
    }
    EXPECT_TRUE(box.krcan({"--nodeid", "0x7f", "--forcenodeid", "0"}).exited(0));

    // A command refused by its own callback still stops the run before any job.
    r = box.krcan({"--silent", "--update", "--can", "", "--update"});
    EXPECT_TRUE(r.exited(1));
    EXPECT_NE(r.out.find("command 'can' returned with FALSE, terminating.\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find(kUpdateFailed), std::string::npos);
}

TEST_F(RunModel, FailedJobEndsWithStatusOne)
{
    e2e::result r = box.krcan({"--silent", "--update"});
    EXPECT_TRUE(r.exited(1));
    EXPECT_EQ(r.out, kUpdateFailed);
    EXPECT_EQ(r.err.substr(r.err.size() - 9), "Finished\n") << "Finished is still written";

    e2e::result quiet = box.krcan({"--checkupdate"});
    EXPECT_TRUE(quiet.exited(1)) << "a failed check at parse time fails the run too";
    EXPECT_EQ(quiet.out, kUpdateFailed);
}

TEST_F(RunModel, JobsRunInOrder)
{
    // Jobs print on standard output as they run, in order.
    e2e::result r = box.krcan({"--update", "--can", "vcan0", "--update", "--silent"});
    EXPECT_TRUE(r.exited(1)) << r.err;
    EXPECT_EQ(r.out, std::string(kUpdateFailed) + kUpdateFailed);
    // Nothing after the window would ever run: refused while parsing, before any job.
    r = box.krcan({"--update", "--can", "vcan0", "--ui", "--update", "--silent"});
    EXPECT_TRUE(r.exited(1)) << r.err;
    EXPECT_EQ(r.out.find(kUpdateFailed), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("'update' is given after 'ui'"), std::string::npos) << r.out;
}

TEST_F(RunModel, SimulatorJobWithoutSimulators)
{
    // No system was loaded: the job says so, later jobs still run, and the run fails.
    e2e::result r = box.krcan({"--sim", "--update"});
    EXPECT_TRUE(r.exited(1)) << r.err;
    EXPECT_NE(r.err.find("WARNING: running simulators on the real CAN device 'can0'."), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("No simulators were started. Load a system with --sys"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("The simulators are running"), std::string::npos);
    EXPECT_EQ(r.out, kUpdateFailed);
    EXPECT_EQ(r.err.substr(r.err.size() - 9), "Finished\n") << "sim turns progress messages on";
}

TEST_F(RunModel, SixthJobIsRefused)
{
    std::vector<std::string> five(5, "--update");
    e2e::result r5 = box.krcan(five);
    EXPECT_TRUE(r5.exited(1));
    EXPECT_EQ(e2e::count(r5.out, kUpdateFailed), 5u);

    std::vector<std::string> six(6, "--update");
    e2e::result r6 = box.krcan(six);
    EXPECT_TRUE(r6.exited(1));
    EXPECT_NE(r6.out.find("at most 5 commands"), std::string::npos) << r6.out;
    EXPECT_NE(r6.out.find("command 'update' returned with FALSE, terminating.\n"), std::string::npos);
    EXPECT_EQ(e2e::count(r6.out, kUpdateFailed), 0u) << "none of the six may run";
}

TEST_F(RunModel, UnknownOptionRefusesTheCommandLine)
{
    e2e::result r = box.krcan({"--silent", "--update", "--bogus", "--update"});
    EXPECT_TRUE(r.exited(1));
    EXPECT_NE(r.err.find("unrecognized option '--bogus'"), std::string::npos) << r.err;
    EXPECT_NE(r.out.find("the option '--bogus' is unknown"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find(kUpdateFailed), std::string::npos) << "no job may run";
    EXPECT_EQ(r.err.find("Finished"), std::string::npos);
}

TEST_F(RunModel, LooseWordsBelongToOneCommand)
{
    // Taken by the save as object selectors and by the load as its file: the backup would come out empty.
    const std::string db = KR_SOURCE_DIR "/tests/data/db/drive.json";
    // The way out said is one that is accepted: only a command that took its file from the words can
    // be given it as --X=FILE.
    const std::vector<std::pair<std::vector<std::string>, std::vector<std::string>>> cases = {
        {{"--db", db, "--saveparam", "backup.json", "--loadparam", "new.json"},
         {"taken by both 'saveparam' and 'loadparam'", "Give each file with its own --loadparam=FILE."}},
        {{"--db", db, "--loadparam=a.json", "--saveparam=backup.json", "0x2000"},
         {"taken by both 'loadparam' and 'saveparam'", "Give each of them in a run of its own."}},
        {{"-n", "0x10", "--terminal", "a", "--terminal", "b"},
         {"taken by two 'terminal' commands", "Give each of them in a run of its own."}},
        {{"--db", db, "--loadparam=a.json", "--loadparam", "b.json"},
         {"taken by two 'loadparam' commands", "Give each file with its own --loadparam=FILE."}},
    };
    for (const auto &c : cases) {
        e2e::result r = box.krcan(c.first);
        EXPECT_TRUE(r.exited(1)) << r.out << r.err;
        for (const std::string &text : c.second)
            EXPECT_NE(r.out.find(text), std::string::npos) << text << "\n" << r.out;
        EXPECT_FALSE(std::filesystem::exists(box.path("backup.json")));
    }
}

TEST_F(RunModel, VersionIsLongOnly)
{
    e2e::result v = box.krcan({"--version"});
    EXPECT_TRUE(v.exited(0));
    EXPECT_EQ(v.out, kVersionLine);

    e2e::result upper = box.krcan({"-V"});
    EXPECT_TRUE(upper.exited(1));
    EXPECT_NE(upper.out.find("the option '-V' is unknown"), std::string::npos) << upper.out;
    EXPECT_NE(upper.err.find("invalid option -- 'V'"), std::string::npos) << upper.err;
}

TEST_F(RunModel, CanNameLongerThanTheFieldIsRefused)
{
    std::string longest(63, 'c');
    EXPECT_TRUE(box.krcan({"--can", longest}).exited(0));
    e2e::result r = box.krcan({"--can", longest + "c", "--update"});
    EXPECT_TRUE(r.exited(1));
    EXPECT_NE(r.out.find("too long; at most 63 characters"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find(kUpdateFailed), std::string::npos);
}

// A bus that does not open is said once, with the way to one that does, before a job announces a
// search, waits for a device or asks a question about one.
TEST_F(RunModel, ABusThatCannotOpenSaysHowToReachOne)
{
    const std::string closed = "socketcand://127.0.0.1:1/vcan0"; // nothing listens on port 1
    const int can = socket(PF_CAN, SOCK_RAW, CAN_RAW);
    if (can >= 0) close(can);
    const std::string malformed = "socketcand:127.0.0.1", examples = KR_SOURCE_DIR "/examples/";
    struct row {
        std::string channel;
        std::vector<std::string> job;
        std::string says;
    };
    for (const row &r : std::vector<row>{
             {malformed, {"--find"}, "'" + malformed + "' is not of the form socketcand://HOST[:PORT]/BUS"},
             {closed, {"--find"}, "(Connection refused): is the socketcand daemon running there?"},
             {"vcan0",
              {"--find"},
              can >= 0 ? ""
                       : "no CAN support (Address family not supported by protocol); a bus served over the "
                         "network is named socketcand://HOST[:PORT]/BUS"},
             {malformed, {"-n", "0x20", "--loadmedia=" + examples + "media"}, ""},
             {malformed, {"-n", "0x20", "--clearmedia"}, ""},
             {malformed, {"--loadparam=" + examples + "motor-params.json"}, ""},
             {malformed, {"--db", examples + "motor.json", "--saveparam", "saved.json"}, ""}}) {
        std::vector<std::string> args{"-c", r.channel};
        args.insert(args.end(), r.job.begin(), r.job.end());
        e2e::result f = box.krcan(args);
        SCOPED_TRACE(r.channel + " " + r.job.back());
        EXPECT_TRUE(f.exited(1)) << f.out << f.err;
        EXPECT_NE(f.out.find(": Couldn't open the connection to the CAN interface " + r.channel + ": "),
                  std::string::npos)
            << f.out;
        EXPECT_NE(f.out.find(r.says), std::string::npos) << f.out;
        EXPECT_NE(f.out.find("start the demo bus (make demo-bus"), std::string::npos) << f.out;
        EXPECT_EQ(e2e::count(f.out, "Couldn't open"), 1u) << f.out;
        for (const char *after : {"Searching for devices", "Waiting for node", "Press "})
            EXPECT_EQ((f.out + f.err).find(after), std::string::npos) << f.out << f.err;
    }
}

TEST_F(RunModel, CanAfterTheAdapterOpenedSwitchesInterface)
{
    // Two virtual buses; `baud` opens the adapter on the first, the second `can` must move it.
    e2e::background hub_a(box, KR_BIN_DIR "/kr_hub", {"--port", "0"});
    e2e::background hub_b(box, KR_BIN_DIR "/kr_hub", {"--port", "0"});
    std::string port_a = hub_a.read_line(10000), port_b = hub_b.read_line(10000);
    ASSERT_FALSE(port_a.empty());
    ASSERT_FALSE(port_b.empty());
    std::string bus_a = "socketcand://127.0.0.1:" + port_a + "/vcan0";
    std::string bus_b = "socketcand://127.0.0.1:" + port_b + "/vcan0";

    e2e::result r = box.krcan({"--silent", "--can", bus_a, "--baud", "250000", "--can", bus_b});
    EXPECT_TRUE(r.exited(0)) << r.out << r.err;
    EXPECT_NE(r.out.find("WARNING: --baud does not reach '" + bus_a + "'"), std::string::npos) << r.out;
    e2e::result a = hub_a.stop(), b = hub_b.stop();
    EXPECT_NE(a.err.find("(bus 'vcan0') disconnected"), std::string::npos) << "A was opened: " << a.err;
    EXPECT_NE(b.err.find("(bus 'vcan0') disconnected"), std::string::npos) << "B was switched to: " << b.err;

    // Without an open adapter the name is only recorded: nothing connects.
    e2e::background hub_c(box, KR_BIN_DIR "/kr_hub", {"--port", "0"});
    std::string port_c = hub_c.read_line(10000);
    ASSERT_FALSE(port_c.empty());
    e2e::result q = box.krcan({"--can", "socketcand://127.0.0.1:" + port_c + "/vcan0"});
    EXPECT_TRUE(q.exited(0)) << q.out << q.err;
    // A baud rate given before the bus is named does not reach it either, and is said so.
    q = box.krcan({"--baud", "500000", "--can", "socketcand://127.0.0.1:" + port_c + "/vcan0"});
    EXPECT_NE(q.out.find("WARNING: --baud does not reach 'socketcand://127.0.0.1:" + port_c + "/vcan0'"),
              std::string::npos)
        << q.out;
    EXPECT_EQ(hub_c.stop().err.find("disconnected"), std::string::npos);
}

// Two buses with a device at the same node id on each: every job runs on the bus named before it;
// a refused command line and a request for help act on neither bus, nor on any file.
TEST_F(RunModel, EachJobOnItsBusAndNothingActsBeforeTheLineIsAccepted)
{
    simbench::bench a({0x10}), b({0x10});
    for (simbench::bench *x : {&a, &b})
        sim_dev_add_object(x->runner, 0x10, 0x2000, 0, simbench::object(SIM_U32, {9, 0, 0, 0}));
    const std::vector<std::string> on_a = {"-c", a.channel(), "-n", "0x10", "--mindex", "0x2000"};
    auto line = [&](std::vector<std::string> tail) {
        std::vector<std::string> args = on_a;
        args.insert(args.end(), tail.begin(), tail.end());
        return args;
    };

    e2e::result r = box.krcan(
        line({"--sdowrite", "7", "-c", b.channel(), "--sdoread", "--sdowrite", "8", "-c", a.channel(), "--sdoread"}));
    ASSERT_TRUE(r.exited(0)) << r.out << r.err;
    EXPECT_EQ(a.value(0x10, 0x2000), 7u);
    EXPECT_EQ(b.value(0x10, 0x2000), 8u);
    EXPECT_NE(r.out.find("SDO write succesful\n0x9\n"), std::string::npos) << "B read before its write: " << r.out;
    EXPECT_EQ(r.out.substr(r.out.size() - 4), "0x7\n") << r.out;

    // A listen prints its own bus's frames during its time only: not A's answer to the read after it.
    r = box.krcan(
        {"-c", b.channel(), "--listen=1", "-n", "0x10", "--mindex", "0x2000", "-c", a.channel(), "--sdoread"});
    ASSERT_TRUE(r.exited(0)) << r.out << r.err;
    EXPECT_EQ(r.out.find("ID: 0x590"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.substr(r.out.size() - 4), "0x7\n") << r.out;

    // Nothing runs after the window, so a bus given after --ui is the one the window opens.
    e2e::options no_display;
    no_display.env = {{"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}};
    r = box.krcan(line({"--sdoread", "--ui", "-c", b.channel()}), no_display);
    EXPECT_TRUE(r.exited(1)) << r.out << r.err;
    const std::string opened = "CAN connection opened to CAN interface ";
    const size_t last = (r.out + r.err).rfind(opened);
    ASSERT_NE(last, std::string::npos) << r.out << r.err;
    EXPECT_EQ((r.out + r.err).compare(last + opened.size(), b.channel().size(), b.channel()), 0) << r.out << r.err;

    // Refused whole: a shortened option, a misspelt one, a loose word, a bad number, a value that is an option.
    fs::create_directories(box.path("bin"));
    fs::create_symlink(KR_BIN_DIR "/kr_curl_standin", box.path("bin/curl"));
    e2e::options curl;
    curl.path_prepend = {box.path("bin").string()};
    curl.env = {{"KR_CURL_LOG", box.path("curl.log").string()}};
    const std::string db = KR_SOURCE_DIR "/tests/data/db/drive.json";
    for (const std::vector<std::string> &bad :
         {line({"--sdowrite", "1", "--clear"}), line({"--sdowrite", "1", "-c", b.channel(), "--sdowrite", "2", "0x5"}),
          line({"--sdowrite", "1", "--user", "x", "--pwdd", "y"}), line({"--user", "--pwd", "x", "--sdowrite", "1"}),
          line({"--user", "--passwd", "--sdowrite", "1"}),
          line({"--db", db, "--export", "o", "--bogus", "--sdowrite", "1"}),
          line({"--checkupdate", "--sdowrite", "1", "--sindex", "0x1G"}),
          // Refused by a later command itself: what the earlier ones would leave waits for the end.
          line({"--user", "x", "--db", db, "--export", "o", "--checkupdate", "--datalen", "1", "--sdowrite", "0x100"}),
          line({"--user", "x", "--sdowrite", "1", "--sdoread", "--sdoread", "--sdoread", "--sdoread", "--sdoread"})}) {
        e2e::result n = box.krcan(bad, curl);
        EXPECT_TRUE(n.exited(1)) << n.out;
        EXPECT_TRUE(n.out.find("ERROR") != std::string::npos || n.out.find("Error") != std::string::npos) << n.out;
    }
    EXPECT_FALSE(fs::exists(box.path("config/krcan/account.conf")));
    EXPECT_FALSE(fs::exists(box.path("o.c")) || fs::exists(box.path("o.h")));
    EXPECT_FALSE(fs::exists(box.path("curl.log"))) << "curl ran";

    // Help prints the named command and runs nothing else.
    r = box.krcan(line({"--help", "--sdowrite", "1", "--user", "x"}));
    EXPECT_TRUE(r.exited(0)) << r.out;
    EXPECT_EQ(r.out, "--sdowrite: Writes data to a device with CANOpen SDO request\n\n");
    EXPECT_FALSE(fs::exists(box.path("config/krcan/account.conf")));
    EXPECT_EQ(a.value(0x10, 0x2000), 7u);
    EXPECT_EQ(b.value(0x10, 0x2000), 8u);
}

TEST_F(RunModel, FleetLoginRunsAsAJobAndFailsTheRun)
{
    e2e::result r = box.krcan({"--login", "--version"});
    EXPECT_TRUE(r.exited(1));
    EXPECT_EQ(r.out.rfind("krcan ", 0), 0u) << "parsing went on: " << r.out;
    EXPECT_NE(r.out.find("The remote fleet needs an MQTT client, which this build does not have.\n"), std::string::npos)
        << r.out;
}

// ---- Help ----

TEST_F(RunModel, HelpListsEveryCommand)
{
    e2e::result r = box.krcan({"--help"});
    ASSERT_TRUE(r.exited(0));
    EXPECT_EQ(r.out.rfind("*****************************\nKorvane CAN command line tool\n"
                          "*****************************\n\n\nCommands:\n",
                          0),
              0u);
    EXPECT_EQ(r.out.find('\033'), std::string::npos) << "no escapes without a terminal";
    size_t pos = 0;
    for (uint32_t i = 0; i < commands_count(); i++) {
        const commands_st &row = commands[i];
        std::string head = std::string("--") + row.cmd_long;
        if (row.cmd_short >= 'a') head += std::string(" -") + row.cmd_short;
        std::string entry = "\n" + head + ": " + plain(row.str) + "\n\n";
        size_t at = r.out.find(entry, pos);
        EXPECT_NE(at, std::string::npos) << "row " << i << " " << row.cmd_long << " missing or out of order";
        if (at != std::string::npos) pos = at + entry.size() - 1;
    }
    std::regex row_start("(^|\n)--[a-z0-9]+( -[a-z])?: ");
    auto n = std::distance(std::sregex_iterator(r.out.begin(), r.out.end(), row_start), std::sregex_iterator());
    EXPECT_EQ(n, 60);
}

TEST_F(RunModel, HelpForOneCommand)
{
    const std::string row = "--sdoread: Reads data from a device with CANOpen SDO request\n\n";
    for (std::vector<std::string> args : std::vector<std::vector<std::string>>{{"--help", "sdoread"},
                                                                               {"--help", "SDOREAD"},
                                                                               {"-h", "sdoread"},
                                                                               {"--help=sdoread"},
                                                                               {"-hsdoread"},
                                                                               {"--help", "sdoread", "--silent"}}) {
        e2e::result r = box.krcan(args);
        EXPECT_TRUE(r.exited(0)) << args[0];
        EXPECT_EQ(r.out, row) << args[0];
    }
    // The next word names the command; asking for help runs nothing else.
    e2e::result v = box.krcan({"--help", "--version"});
    EXPECT_TRUE(v.exited(0));
    EXPECT_EQ(v.out.rfind("--version: Prints this krcan's version", 0), 0u) << v.out;
    EXPECT_EQ(v.out.find(kVersionLine), std::string::npos) << v.out;

    const std::string unknown_q = "ERROR: unknown command 'q'. Run --help without an argument to list every command.\n";
    e2e::result unknown = box.krcan({"--help=q", "--version"});
    EXPECT_TRUE(unknown.exited(1));
    EXPECT_EQ(unknown.out, unknown_q);
    e2e::result nosuch = box.krcan({"--help", "q"});
    EXPECT_TRUE(nosuch.exited(1));
    EXPECT_EQ(nosuch.out, unknown_q) << "not the list of every command";

    // A command this build carries out otherwise than its text tells says so in its help.
    for (const auto &[cmd, says] :
         std::vector<std::pair<std::string, std::string>>{{"can", "socketcand://HOST[:PORT]/BUS"},
                                                          {"update",
                                                           "This build has no install.sh and cannot replace itself"},
                                                          {"joystick", "This build has no install.sh"},
                                                          {"makekrdev", "This build does not write packages"},
                                                          {"checkupdate", "This build cannot install what it finds"},
                                                          {"sim", "This build has no simulator runner"},
                                                          {"silent", "Despite its name it does the opposite"}}) {
        e2e::result h = box.krcan({"--help", cmd});
        EXPECT_TRUE(h.exited(0)) << cmd;
        EXPECT_NE(h.out.find(says), std::string::npos) << h.out;
    }
}

TEST_F(RunModel, HelpIsBoldOnlyOnATerminal)
{
    e2e::options tty;
    tty.pty = true;
    e2e::result r = box.krcan({"--help", "terminal"}, tty);
    ASSERT_TRUE(r.exited(0)) << r.err;
    EXPECT_EQ(r.out, "\033[1m--terminal -t\033[0m: Communicates with the device chosen with \033[1mnodeid\033[0m via "
                     "Korvane SDO reply protocol.\n\n");

    e2e::result piped = box.krcan({"--help", "terminal"});
    EXPECT_EQ(piped.out, "--terminal -t: Communicates with the device chosen with nodeid via Korvane SDO reply "
                         "protocol.\n\n");
}

} // namespace
