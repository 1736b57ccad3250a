// ESP32 flashing: esptool (a stand-in script that logs what it was given) started without a shell
// and bounded in time, the pause and resume frames on the bus, the serial port choice, and the
// refusals of the command line.
#include <gtest/gtest.h>

#include <signal.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "run/commands.h"
#include "e2e/e2e.h"
#include "e2e/krcan_child.h"
#include "firmware/esp32.h"
#include "run/main.h"
#include "sim_client.h"
#include "sim_media.h"
#include "sim_setup.h"
#include "system/package_builder.h"

namespace {

// The time krcan gives esptool here: long enough for the stand-in script to start and end on a
// loaded machine, short enough that the hung run does not hold the test up.
constexpr uint32_t kEsptoolLimitMs = 5000;

// Logs "start PID WALL_US NAME", each argument as "arg TEXT", its open descriptors as "fds ...",
// then ends as ESPTOOL_STANDIN_MODE says (or the next line of the file ESPTOOL_STANDIN_MODES): 0, 2,
// hang (ignoring SIGTERM), wrapper (as hang, with a child of its own that ignores SIGTERM too, logged
// as "child PID"), segv (ends by SIGSEGV), or gate (0 once the file ESPTOOL_STANDIN_GATE exists).
const char *const kStandIn = R"(#!/bin/bash
PATH=/usr/bin:/bin
log="$ESPTOOL_STANDIN_LOG"
{
  echo "start $$ $(date +%s%6N) ${0##*/}"
  for a in "$@"; do printf 'arg %s\n' "$a"; done
} >> "$log"
fds=""
for f in /proc/$$/fd/*; do fds="$fds ${f##*/}"; done
echo "fds$fds" >> "$log"
mode="$ESPTOOL_STANDIN_MODE"
if [ -n "$ESPTOOL_STANDIN_MODES" ]; then
  mode=$(head -n 1 "$ESPTOOL_STANDIN_MODES"); sed -i 1d "$ESPTOOL_STANDIN_MODES"
fi
case "$mode" in
  hang) trap '' TERM; while :; do sleep 0.05; done ;;
  wrapper) trap '' TERM; (trap '' TERM; exec sleep 600) & echo "child $!" >> "$log"; while :; do sleep 0.05; done ;;
  segv) kill -SEGV $$ ;;
  gate) while [ ! -e "$ESPTOOL_STANDIN_GATE" ]; do sleep 0.02; done ;;
  2) echo "end $$ $(date +%s%6N) 2" >> "$log"; exit 2 ;;
  *) echo "end $$ $(date +%s%6N) 0" >> "$log"; exit 0 ;;
esac
)";

// python3 without the esptool module: `-m esptool` fails as python3 does, anything else runs in a
// python3 that sees no installed packages.
const char *const kPythonWithoutEsptool = R"(#!/bin/bash
PATH=/usr/bin:/bin
if [ "$1" = "-m" ]; then echo "python3: No module named $2" >&2; exit 1; fi
exec python3 -I -S "$@"
)";

void install(const e2e::sandbox &box, const std::string &rel)
{
    box.write_file(rel, kStandIn);
    chmod(box.path(rel).c_str(), 0755);
}

struct standin_run {
    std::string name;
    long pid = 0;
    long long start_us = 0, end_us = 0;
    int exit_code = -1; // -1: no end logged
    long child = 0;
    std::vector<std::string> args;
    std::vector<int> fds;
};

std::vector<standin_run> parse_log(const std::string &text)
{
    std::vector<standin_run> runs;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream w(line);
        std::string kind;
        w >> kind;
        if (kind == "start") {
            standin_run r;
            w >> r.pid >> r.start_us >> r.name;
            runs.push_back(r);
        } else if (runs.empty()) {
            continue;
        } else if (kind == "arg") {
            runs.back().args.push_back(line.substr(4));
        } else if (kind == "child") {
            w >> runs.back().child;
        } else if (kind == "fds") {
            for (int fd; w >> fd;) runs.back().fds.push_back(fd);
        } else if (kind == "end") {
            long pid;
            w >> pid >> runs.back().end_us >> runs.back().exit_code;
        }
    }
    return runs;
}

constexpr int kMarkerFd = 200;

// The child's job reads these; set before the fork.
std::string g_bin_esptool, g_bin_py, g_bin_python, g_bin_none, g_bin_nomodule, g_image;

const std::vector<std::string> &flash_args()
{
    static std::vector<std::string> a;
    a = {"esptool",         "--chip",        "auto",    "--port",     "/dev/ttyACM7", "--baud", "921600",
         "--before",        "default-reset", "--after", "hard-reset", "write-flash",  "-z",     "0x1000",
         "boot loader.bin", "0x10000",       g_image};
    return a;
}

void esptool_job(void *)
{
    std::vector<const char *> argv;
    for (const std::string &a : flash_args()) argv.push_back(a.c_str());
    argv.push_back(nullptr);
    auto run = [&argv](const char *label, const std::string &path, const char *mode) {
        setenv("PATH", path.c_str(), 1);
        setenv("ESPTOOL_STANDIN_MODE", mode, 1);
        bool ok = run_esptool(argv.data());
        std::printf("result %s %d\n", label, ok ? 1 : 0);
        std::fflush(stdout);
    };
    run("exit0", g_bin_esptool, "0");
    run("exit2", g_bin_esptool, "2");
    run("hang", g_bin_esptool, "hang");
    run("py", g_bin_py, "0");
    run("python3", g_bin_python, "0");
    run("none", g_bin_none, "0");
    run("nomodule", g_bin_nomodule, "0");
    run("segv", g_bin_esptool, "segv");
}

TEST(Esp32, EsptoolGetsItsArgumentsAsTheyAreAndIsBounded)
{
    e2e::sandbox box;
    install(box, "b1/esptool");
    install(box, "b1/esptool.py"); // never reached while esptool is there
    install(box, "b2/esptool.py");
    install(box, "b3/python3");
    box.write_file("b4/.keep", "");
    box.write_file("b5/python3", kPythonWithoutEsptool);
    chmod(box.path("b5/python3").c_str(), 0755);
    g_bin_esptool = box.path("b1").string();
    g_bin_py = box.path("b2").string();
    g_bin_python = box.path("b3").string();
    g_bin_none = box.path("b4").string();
    g_bin_nomodule = box.path("b5").string();
    g_image = box.path("pkg dir/it's \"an\" image; $(touch pwned) `touch pwned2`.bin").string();
    e2e::options o;
    o.env = {{"ESPTOOL_STANDIN_LOG", box.path("standin.log").string()}};
    e2e::result r = e2e::run_in_child(
        box,
        [] {
            init(&dev);
            // An inheritable descriptor that esptool must not get.
            if (dup2(open("/dev/null", O_RDONLY), kMarkerFd) != kMarkerFd) return 96;
            loadesp32_set_time_limit(kEsptoolLimitMs, 400);
            if (!add_task(esptool_job)) return 97;
            return main_start_run();
        },
        o);
    ASSERT_TRUE(r.exited(0)) << r.out << r.err;
    EXPECT_NE(r.out.find("result exit0 1\nresult exit2 0\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("ERROR: esptool did not end within 5 seconds; it was stopped.\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("result hang 0\nresult py 1\nresult python3 1\n"), std::string::npos) << r.out;
    // A pip that Debian's system Python refuses is not named: pipx or Debian's package.
    EXPECT_NE(r.out.find("ERROR: esptool was not found. Install it with 'pipx install esptool' or Debian's package "
                         "(apt install esptool).\nresult none 0\n"),
              std::string::npos)
        << r.out;
    // python3 is there but esptool is not installed for it: the same hint, not a cable to check.
    EXPECT_NE(r.out.find("result none 0\nERROR: esptool was not found. Install it with 'pipx install esptool' or "
                         "Debian's package (apt install esptool).\nresult nomodule 0\n"),
              std::string::npos)
        << r.out;
    // A crashed esptool is said as such.
    EXPECT_NE(r.out.find("ERROR: esptool ended by signal 11 (Segmentation fault).\nresult segv 0\n"), std::string::npos)
        << r.out;

    std::vector<standin_run> runs = parse_log(box.read_file("standin.log"));
    ASSERT_EQ(runs.size(), 6u) << box.read_file("standin.log");
    std::vector<std::string> want(flash_args().begin() + 1, flash_args().end());
    const char *names[] = {"esptool", "esptool", "esptool", "esptool.py", "python3", "esptool"};
    for (size_t i = 0; i < runs.size(); i++) {
        EXPECT_EQ(runs[i].name, names[i]);
        if (i != 4) {
            EXPECT_EQ(runs[i].args, want) << i;
        }
        ASSERT_FALSE(runs[i].fds.empty());
        for (int fd : runs[i].fds) EXPECT_NE(fd, kMarkerFd) << "a descriptor of krcan leaked into run " << i;
    }
    std::vector<std::string> py = {"-m", "esptool"};
    py.insert(py.end(), want.begin(), want.end());
    EXPECT_EQ(runs[4].args, py);
    EXPECT_EQ(runs[0].exit_code, 0);
    EXPECT_EQ(runs[1].exit_code, 2);
    EXPECT_EQ(runs[2].exit_code, -1);
    // The hung one was stopped (SIGTERM ignored, so killed) and reaped: it is gone.
    EXPECT_EQ(kill((pid_t)runs[2].pid, 0), -1);
    EXPECT_EQ(errno, ESRCH);
    long long hang_ms = (runs[3].start_us - runs[2].start_us) / 1000;
    EXPECT_GE(hang_ms, kEsptoolLimitMs) << "stopped before its limit";
    EXPECT_LT(hang_ms, kEsptoolLimitMs + 10000);
    EXPECT_FALSE(std::filesystem::exists(box.path("pwned")) || std::filesystem::exists(box.path("pwned2")))
        << "the image name ran as a command";
}

constexpr uint8_t kNode = 0x20;

void pause_resume_job(void *)
{
    bool paused = esp32_comm(kNode, false);
    bool resumed = esp32_comm(kNode, true);
    bool nobody = esp32_comm(0, false); // node 0: nothing to pause
    std::printf("result %d %d %d\n", paused, resumed, nobody);
    std::fflush(stdout);
}

std::string g_channel;

TEST(Esp32, PauseAndResumeGoOutAsTerminalFrames)
{
    e2e::sandbox box;
    sim_setup_st bench;
    std::string err;
    sim_device_config_st d;
    d.node_id = kNode;
    d.start_operational = true;
    ASSERT_TRUE(sim_setup_start(bench, {d}, 0, err, true)) << err;
    sim_tap_st *&tap = bench.tap;

    auto body = [] {
        init(&dev);
        if (!cmd_can(g_channel.c_str()) || !add_task(pause_resume_job)) return 97;
        return main_start_run();
    };
    g_channel = bench.channel;
    e2e::result r = e2e::run_in_child(box, body);
    ASSERT_TRUE(r.exited(0)) << r.out << r.err;
    EXPECT_NE(r.out.find("Pausing the ESP32 communication of node 0x20\nResuming the ESP32 communication of node 0x20\n"
                         "result 1 1 1\n"),
              std::string::npos)
        << r.out;

    std::vector<sim_frame_st> sent;
    for (const sim_frame_st &f : sim_tap_frames(tap))
        if (f.id == 0x600u + kNode) sent.push_back(f);
    ASSERT_EQ(sent.size(), 8u);
    std::string text;
    const uint8_t lens[] = {8, 8, 8, 5, 8, 8, 8, 5};
    for (size_t i = 0; i < sent.size(); i++) {
        EXPECT_EQ(sent[i].len, lens[i]) << i;
        EXPECT_EQ(std::vector<uint8_t>(sent[i].data, sent[i].data + 4), (std::vector<uint8_t>{0x22, 0xFF, 0x5F, 0x00}));
        text.append((const char *)sent[i].data + 4, sent[i].len - 4u);
    }
    EXPECT_EQ(text, "esp \"comm\" 0\nesp \"comm\" 1\n");
    // 30 ms after each frame, 300 ms more after a command (the hub's stamps; spans, not single gaps,
    // so a late relay on a loaded machine cannot fail it).
    EXPECT_GE(sent[3].stamp_us - sent[0].stamp_us, 75000);
    EXPECT_GE(sent[7].stamp_us - sent[4].stamp_us, 75000);
    EXPECT_GE(sent[4].stamp_us - sent[3].stamp_us, 300000) << "300 ms after a command";

    std::vector<sim_term_line_st> lines = sim_term_lines(bench.devs, kNode);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].line, "esp \"comm\" 0");
    EXPECT_EQ(lines[1].line, "esp \"comm\" 1");
    EXPECT_FALSE(sim_esp_paused(bench.devs, kNode));
    EXPECT_NE(sim_runner_dump(bench.devs).find("esppaused 32 0\n"), std::string::npos);
    sim_tap_stop(tap);
    tap = nullptr;

    // Without a bus nothing can be paused, and the caller is told.
    g_channel = "socketcand://127.0.0.1:1/vcan0";
    r = e2e::run_in_child(box, body);
    ASSERT_TRUE(r.exited(0)) << r.out << r.err;
    EXPECT_NE(r.out.find("result 0 0 1\n"), std::string::npos) << r.out;
    sim_setup_stop(bench);
}

TEST(Esp32, PortFromTheOptionOrTheOneEspressifEntry)
{
    e2e::sandbox box;
    char port[ESP32_PORT_LEN];
    esp32_set_port(nullptr);
    esp32_set_serial_dir(box.path("by-id").string().c_str());
    EXPECT_FALSE(find_port(port, sizeof port)) << "no folder";
    box.write_file("by-id/usb-FTDI_FT232R-if00-port0", "");
    EXPECT_FALSE(find_port(port, sizeof port));
    box.write_file("by-id/usb-Espressif_USB_JTAG_serial_debug_unit_AA:BB-if00", "");
    ASSERT_TRUE(find_port(port, sizeof port));
    EXPECT_EQ(std::string(port), box.path("by-id/usb-Espressif_USB_JTAG_serial_debug_unit_AA:BB-if00").string());
    EXPECT_FALSE(find_port(port, 10)) << "a port that does not fit is none";
    box.write_file("by-id/usb-Espressif_Systems_Espressif_Device_CC:DD-if00", "");
    EXPECT_FALSE(find_port(port, sizeof port)) << "two modules: esptool chooses";

    EXPECT_FALSE(cmd_esp32port(""));
    EXPECT_FALSE(cmd_esp32port(std::string(256, 'p').c_str()));
    EXPECT_FALSE(find_port(port, sizeof port)) << "a refused value sets nothing";
    ASSERT_TRUE(cmd_esp32port(std::string(255, 'p').c_str()));
    ASSERT_TRUE(find_port(port, sizeof port));
    EXPECT_EQ(std::string(port), std::string(255, 'p'));
    esp32_set_serial_dir(nullptr);
}

const char *const kDb =
    "{\"DEV\": \"Panel\", \"VENDORID\": \"0x31D\", \"PRODUCTCODE\": 9, \"NODEID\": \"0x30\", \"OBJ_DICT\": "
    "[{\"name\": \"DEV_NAME\", \"index\": \"0x5FFF\", \"type\": \"CANOPEN_STRING\", \"permissions\": \"CANOPEN_RO\", "
    "\"stringsize\": 64, \"default\": \"Panel\", \"dataptr\": \"&dev_name\"}]}";

void write_esp_package(const e2e::sandbox &box)
{
    // Images in manifest order, which is not the order of their offsets.
    ASSERT_TRUE(pkgtest::write_zip(
        box.path("esp.krdev").string(),
        {pkgtest::file("krdev.json", "{\"DATABASE\": \"dev.json\", \"ESP32\": {\"0x10000\": \"esp32/app.bin\", "
                                     "\"0x1000\": \"esp32/boot loader.bin\"}}"),
         pkgtest::file("dev.json", kDb), pkgtest::file("esp32/app.bin", "app"),
         pkgtest::file("esp32/boot loader.bin", "boot")}));
}

// The device whose ESP32 the package flashes: node 0x30, operational. False (said) when the bench
// does not start.
bool start_esp_device(sim_setup_st &bench)
{
    std::string err;
    sim_device_config_st d;
    d.node_id = 0x30;
    d.start_operational = true;
    if (sim_setup_start(bench, {d}, 0, err)) return true;
    ADD_FAILURE() << err;
    return false;
}

// Until the stand-in has logged its start (a minute at most, for a hung run).
void wait_esptool_started(const e2e::sandbox &box)
{
    for (int i = 0; i < 3000 && parse_log(box.read_file("standin.log")).empty(); i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

TEST(Esp32, PackageFlashIsBracketedByPauseAndResume)
{
    e2e::sandbox box;
    write_esp_package(box);
    install(box, "bin/esptool");
    box.write_file("modes", "0\n2\nhang\n0\n");
    box.write_file("by-id/usb-FTDI_FT232R-if00-port0", "");
    sim_setup_st bench;
    ASSERT_TRUE(start_esp_device(bench));
    e2e::options o;
    o.env = {{"ESPTOOL_STANDIN_LOG", box.path("standin.log").string()},
             {"ESPTOOL_STANDIN_MODES", box.path("modes").string()},
             {"PATH", box.path("bin").string()}};
    static std::string serial_dir;
    serial_dir = box.path("by-id").string();
    auto limits = [] {
        loadesp32_set_time_limit(kEsptoolLimitMs, 400);
        esp32_set_serial_dir(serial_dir.c_str());
        esp32_set_port(nullptr); // an earlier test in this process may have set one
    };
    e2e::result r = e2e::krcan_in_child(box,
                                        {"--can", bench.channel, "--esp32port", "/dev/ttyACM7", "--loadesp32=esp.krdev",
                                         "--loadesp32=esp.krdev", "--loadesp32=esp.krdev"},
                                        limits, o);
    EXPECT_TRUE(r.exited(1)) << r.out << r.err;
    EXPECT_EQ(e2e::count(r.out, "Flashing the ESP32 firmware to '/dev/ttyACM7'\n"), 3u) << r.out;
    EXPECT_EQ(e2e::count(r.out, "ESP32 firmware flashed.\n"), 1u) << r.out;
    EXPECT_EQ(e2e::count(r.out, "ERROR: flashing the ESP32 firmware failed. Is the module's USB port connected?"), 2u);
    EXPECT_NE(r.out.find("=== Flashing ESP32 firmware of device 'esp' (node 0x30) ===\n"), std::string::npos);

    // The port wait when no port is set: about five seconds, then esptool looks for itself.
    e2e::result r2 = e2e::krcan_in_child(box, {"--can", bench.channel, "--loadesp32=esp.krdev"}, limits, o);
    EXPECT_TRUE(r2.exited(0)) << r2.out << r2.err;
    EXPECT_NE(r2.out.find("No Espressif USB port found, letting esptool look for the ESP32\n"), std::string::npos);

    std::vector<standin_run> runs = parse_log(box.read_file("standin.log"));
    ASSERT_EQ(runs.size(), 4u) << box.read_file("standin.log");
    std::vector<std::string> head = {"--chip",   "auto",          "--port",  "/dev/ttyACM7", "--baud",      "921600",
                                     "--before", "default-reset", "--after", "hard-reset",   "write-flash", "-z"};
    for (size_t i = 0; i < runs.size(); i++) {
        std::vector<std::string> want = head;
        if (i == 3) want.erase(want.begin() + 2, want.begin() + 4);
        ASSERT_EQ(runs[i].args.size(), want.size() + 4) << i;
        EXPECT_EQ(std::vector<std::string>(runs[i].args.begin(), runs[i].args.begin() + (long)want.size()), want);
        const std::string *img = &runs[i].args[want.size()];
        EXPECT_EQ(img[0], "0x10000");
        EXPECT_TRUE(img[1].size() > 14 && img[1].substr(img[1].size() - 14) == "/esp32/app.bin") << img[1];
        EXPECT_EQ(img[2], "0x1000");
        EXPECT_TRUE(img[3].size() > 22 && img[3].substr(img[3].size() - 22) == "/esp32/boot loader.bin") << img[3];
    }

    // Each run sits between its pause and its resume, whatever it ended with.
    std::vector<sim_term_line_st> lines = sim_term_lines(bench.devs, 0x30);
    ASSERT_EQ(lines.size(), 8u);
    for (size_t i = 0; i < runs.size(); i++) {
        EXPECT_EQ(lines[2 * i].line, "esp \"comm\" 0");
        EXPECT_EQ(lines[2 * i + 1].line, "esp \"comm\" 1");
        EXPECT_LT(lines[2 * i].wall_us, runs[i].start_us) << i;
        // The hung one logs no end: it was stopped before the resume, some time after it started (its
        // time limit runs from the spawn, before the stand-in's own start stamp on a busy machine).
        long long ended = runs[i].exit_code >= 0 ? runs[i].end_us : runs[i].start_us;
        EXPECT_GT(lines[2 * i + 1].wall_us, ended) << i;
    }
    EXPECT_EQ(runs[2].exit_code, -1) << "the hung one never ended by itself";
    EXPECT_GE(runs[3].start_us - lines[6].wall_us, 4500000) << "the port was looked for first";
    EXPECT_FALSE(sim_esp_paused(bench.devs, 0x30));
    sim_setup_stop(bench);

    // No bus: no pause, so no esptool.
    r = box.krcan({"--can", "socketcand://127.0.0.1:1/vcan0", "--esp32port", "/dev/ttyACM7", "--loadesp32=esp.krdev"},
                  o);
    EXPECT_TRUE(r.exited(1)) << r.out << r.err;
    EXPECT_NE(r.out.find("could not be asked to pause its ESP32 communication; esptool was not run.\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(parse_log(box.read_file("standin.log")).size(), 4u);
}

// A flash whose esptool is missing, or crashes, says that one cause and no cable to check.
TEST(Esp32, AMissingOrCrashedEsptoolIsTheOneCauseSaid)
{
    e2e::sandbox box;
    write_esp_package(box);
    install(box, "bin/esptool");
    std::filesystem::create_directories(box.path("empty"));
    sim_setup_st bench;
    ASSERT_TRUE(start_esp_device(bench));
    for (bool missing : {true, false}) {
        SCOPED_TRACE(missing);
        e2e::options o;
        o.env = {{"ESPTOOL_STANDIN_LOG", box.path("standin.log").string()},
                 {"ESPTOOL_STANDIN_MODE", "segv"},
                 {"PATH", box.path(missing ? "empty" : "bin").string()}};
        e2e::result r = box.krcan({"--can", bench.channel, "--esp32port", "/dev/ttyACM7", "--loadesp32=esp.krdev"}, o);
        EXPECT_TRUE(r.exited(1)) << r.out << r.err;
        EXPECT_EQ(r.out.find("USB port"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find(missing ? "ERROR: esptool was not found. Install it with 'pipx install esptool' or "
                                       "Debian's package (apt install esptool).\n"
                                     : "ERROR: esptool ended by signal 11 (Segmentation fault).\n"),
                  std::string::npos)
            << r.out;
    }
    EXPECT_EQ(parse_log(box.read_file("standin.log")).size(), 1u);
    sim_setup_stop(bench);
}

// Ctrl-C, SIGTERM or SIGHUP while esptool runs: esptool is stopped with the child it started (the
// holder of the serial port, in the field), the device is resumed and the package's folder removed,
// and only then does the run end with the signal's status.
TEST(Esp32, SignalsDuringAFlashResumeTheDeviceFirst)
{
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        e2e::sandbox box;
        write_esp_package(box);
        install(box, "bin/esptool");
        sim_setup_st bench;
        ASSERT_TRUE(start_esp_device(bench));
        e2e::options o;
        o.env = {{"ESPTOOL_STANDIN_LOG", box.path("standin.log").string()},
                 {"ESPTOOL_STANDIN_MODE", "wrapper"},
                 {"PATH", box.path("bin").string()}};
        e2e::background k(box, KRCAN_BIN,
                          {"--can", bench.channel, "--esp32port", "/dev/ttyACM7", "--loadesp32=esp.krdev"}, o);
        wait_esptool_started(box);
        for (int i = 0; i < 3000 && parse_log(box.read_file("standin.log")).back().child == 0; i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        ASSERT_TRUE(sim_esp_paused(bench.devs, 0x30)) << k.out() << k.err();
        EXPECT_FALSE(std::filesystem::is_empty(box.tmp())) << "the package is open";
        kill(k.pid(), sig);
        e2e::result r = e2e::wait_end(k, 60000);
        EXPECT_TRUE(r.exited(sig)) << sig << r.out << r.err;
        EXPECT_FALSE(sim_esp_paused(bench.devs, 0x30)) << sig;
        EXPECT_NE(r.out.find("ERROR: the ESP32 flash was interrupted; the ESP32 communication of node 0x30 was "
                             "resumed.\n"),
                  std::string::npos)
            << sig << r.out;
        std::vector<standin_run> runs = parse_log(box.read_file("standin.log"));
        ASSERT_EQ(runs.size(), 1u);
        EXPECT_EQ(kill((pid_t)runs[0].pid, 0), -1) << sig << ": esptool outlived the run";
        // Its child, reparented, is gone once reaped by whoever took it over.
        ASSERT_GT(runs[0].child, 0);
        for (int i = 0; i < 1000 && kill((pid_t)runs[0].child, 0) == 0; i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_EQ(kill((pid_t)runs[0].child, 0), -1) << sig << ": esptool's child outlived the run";
        EXPECT_TRUE(std::filesystem::is_empty(box.tmp())) << sig << ": the package's folder stayed";
        sim_setup_stop(bench);
    }
}

// Without a node id nothing is paused, and the run says so; esptool runs all the same. A command
// that failed in this process before (as in a test run before this one) does not fail this run.
TEST(Esp32, WithoutANodeIdNothingIsPausedAndSaidSo)
{
    e2e::sandbox box;
    ASSERT_TRUE(pkgtest::write_zip(box.path("esp.krdev").string(),
                                   {pkgtest::file("krdev.json", "{\"ESP32\": {\"0x1000\": \"boot.bin\"}}"),
                                    pkgtest::file("boot.bin", "boot")}));
    install(box, "bin/esptool");
    sim_setup_st bench;
    ASSERT_TRUE(start_esp_device(bench));
    e2e::options o;
    o.env = {{"ESPTOOL_STANDIN_LOG", box.path("standin.log").string()},
             {"ESPTOOL_STANDIN_MODE", "0"},
             {"PATH", box.path("bin").string()}};
    EXPECT_FALSE(cmd_esp32port("")); // fails "the run" of this test process
    e2e::result r =
        e2e::krcan_in_child(box, {"--can", bench.channel, "--esp32port", "/dev/ttyACM7", "--loadesp32=esp.krdev"},
                            nullptr, o);
    EXPECT_TRUE(r.exited(0)) << r.out << r.err;
    EXPECT_EQ(e2e::count(r.out, "no device was paused"), 1u) << r.out;
    EXPECT_NE(r.out.find("ESP32 firmware flashed.\n"), std::string::npos) << r.out;
    EXPECT_EQ(parse_log(box.read_file("standin.log")).size(), 1u);
    EXPECT_TRUE(sim_term_lines(bench.devs, 0x30).empty());
    sim_setup_stop(bench);
}

// esptool succeeded, then the bus went away before the resume: the flash is reported as done, the
// resume as failed, and the USB port is not blamed.
TEST(Esp32, AFailedResumeIsNotAFailedFlash)
{
    e2e::sandbox box;
    write_esp_package(box);
    install(box, "bin/esptool");
    sim_setup_st bench;
    ASSERT_TRUE(start_esp_device(bench));
    e2e::options o;
    o.env = {{"ESPTOOL_STANDIN_LOG", box.path("standin.log").string()},
             {"ESPTOOL_STANDIN_MODE", "gate"},
             {"ESPTOOL_STANDIN_GATE", box.path("gate").string()},
             {"PATH", box.path("bin").string()}};
    e2e::background k(box, KRCAN_BIN, {"--can", bench.channel, "--esp32port", "/dev/ttyACM7", "--loadesp32=esp.krdev"},
                      o);
    wait_esptool_started(box);
    ASSERT_TRUE(sim_esp_paused(bench.devs, 0x30)) << k.out() << k.err();
    sim_setup_stop(bench);
    box.write_file("gate", "");
    e2e::result r = e2e::wait_end(k, 60000);
    EXPECT_TRUE(r.exited(1)) << r.out << r.err;
    EXPECT_NE(r.out.find("ESP32 firmware flashed.\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("ERROR: node 0x30 could not be asked to resume its ESP32 communication.\n"), std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find("USB port"), std::string::npos) << r.out;
}

TEST(Esp32, RefusalsStopBeforeTheBus)
{
    e2e::sandbox box;
    sim_setup_st bench;
    sim_tap_st *&tap = bench.tap;
    std::string err;
    ASSERT_TRUE(sim_setup_start(bench, {}, 0, err, true)) << err;
    std::string can = bench.channel;

    e2e::result r = box.krcan({"--can", can, "--esp32port=", "--loadesp32=a.krdev"});
    EXPECT_TRUE(r.exited(1)) << r.out;
    EXPECT_NE(r.out.find("Give the serial port of the ESP32 module.\n"), std::string::npos) << r.out;
    r = box.krcan({"--can", can, "--esp32port=" + std::string(256, 'x'), "--loadesp32=a.krdev"});
    EXPECT_TRUE(r.exited(1)) << r.out;
    EXPECT_NE(r.out.find("The ESP32 serial port '" + std::string(256, 'x') + "' is too long.\n"), std::string::npos);
    r = box.krcan({"--can", can, "-n", "0x20", "--loadesp32=machine.krsys"});
    EXPECT_TRUE(r.exited(1)) << r.out;
    EXPECT_NE(r.out.find("ERROR: *loadesp32* takes a .krdev device package, not 'machine.krsys'.\n"),
              std::string::npos);
    r = box.krcan({"--can", can, "-n", "0x20", "--loadesp32"});
    EXPECT_TRUE(r.exited(1)) << r.out;
    EXPECT_NE(r.out.find("ERROR: no device package given."), std::string::npos) << r.out;
    // Two devices with images: which one is meant cannot be told.
    write_esp_package(box);
    r = box.krcan({"--can", can, "--dev", "esp.krdev:0x30", "--dev", "esp.krdev:0x31", "--loadesp32"});
    EXPECT_TRUE(r.exited(1)) << r.out;
    EXPECT_NE(r.out.find("ERROR: 2 devices bundle ESP32 firmware. Give the one to flash to *loadesp32* as its .krdev "
                         "package.\n"),
              std::string::npos)
        << r.out;
    r = box.krcan({"--can", can, "--esp32port", "/dev/ttyUSB3"});
    EXPECT_TRUE(r.exited(0)) << r.out;
    EXPECT_NE(r.out.find("ESP32 serial port set to '/dev/ttyUSB3'\n"), std::string::npos) << r.out;
    EXPECT_EQ(sim_tap_count(tap), 0u) << "nothing went on the bus";
    sim_setup_stop(bench);
}

} // namespace
