// The joystick command end to end: without a configuration, with an unreadable file, with a
// controller back end that cannot start here, and (krcan_jsrec: the binary with a recording back
// end) following a simulated device's TXPDOs, from a file or from a system package.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <linux/input.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <functional>
#include <sstream>
#include <thread>

#include "e2e/e2e.h"
#include "joystick/joystick.h"
#include "sim_client.h"
#include "sim_hub.h"
#include "sim_setup.h"
#include "system/package_builder.h"

namespace {

const char *CONF = R"({"NAME": "krcan e2e pad", "AXES": [{"AXIS": "X", "NODEID": "0x10", "COBID": "0x190",
  "TYPE": "CANOPEN_UNSIGNED16", "OFFSET": 0, "MIN": 0, "MAX": 1000}], "BUTTONS": []})";

struct Joystick : ::testing::Test {
    e2e::sandbox box;
    sim_setup_st bench;
    void SetUp() override
    {
        std::string err;
        ASSERT_TRUE(sim_setup_start(bench, {}, 0, err)) << err;
    }
    void TearDown() override { sim_setup_stop(bench); }
    std::string can() const { return bench.channel; }
};

TEST_F(Joystick, WithoutAConfigurationOrWithABadFileTheRunFails)
{
    e2e::result r = box.krcan({"--can", can(), "--joystick"});
    EXPECT_TRUE(r.exited(1)) << r.out << r.err;
    EXPECT_NE(r.out.find("No joystick configuration: give a system file with one (--sys) or a joystick configuration "
                         "file."),
              std::string::npos)
        << r.out;

    box.write_file("broken.json", "{\"AXES\": [");
    r = box.krcan({"--can", can(), "--joystick=broken.json"});
    EXPECT_TRUE(r.exited(1)) << r.out << r.err;
    EXPECT_NE(r.out.find("Failed to read the joystick configuration 'broken.json': "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("No joystick configuration"), std::string::npos) << r.out;
}

TEST_F(Joystick, AControllerThatCannotBeCreatedFailsTheRun)
{
    int fd = open("/dev/uinput", O_WRONLY | O_CLOEXEC);
    if (fd >= 0) {
        close(fd);
        GTEST_SKIP() << "/dev/uinput opens here; the failure path cannot be shown";
    }
    box.write_file("pad.json", CONF);
    e2e::result r = box.krcan({"--can", can(), "--joystick=pad.json"});
    EXPECT_TRUE(r.exited(1)) << r.out << r.err;
    EXPECT_NE(r.out.find("Joystick driver could not start: the uinput driver"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("Press Ctrl-C to stop."), std::string::npos) << r.out;
}

// ---- Following a simulated device through the recording back end ----

struct rec_line {
    char kind;
    long long a, b, t_us;
};

std::vector<rec_line> read_rec(const e2e::sandbox &box)
{
    std::vector<rec_line> v;
    std::istringstream in(box.read_file("rec.txt"));
    std::string line;
    while (std::getline(in, line)) {
        rec_line r{};
        std::istringstream l(line);
        std::string k;
        l >> k;
        r.kind = k.empty() ? '?' : k[0];
        if (r.kind == 'o') {
            std::string name;
            std::getline(l, name);
            size_t sp = name.find_last_of(' ');
            r.t_us = std::stoll(name.substr(sp + 1));
        } else {
            l >> r.a >> r.b >> r.t_us;
        }
        v.push_back(r);
    }
    return v;
}

// The first recorded call from position `from` on with this kind, index and value; -1 after timeout_ms.
int wait_rec(const e2e::sandbox &box, size_t from, char kind, long long a, long long b, int timeout_ms = 10000)
{
    for (int waited = 0; waited <= timeout_ms; waited += 20) {
        std::vector<rec_line> v = read_rec(box);
        for (size_t i = from; i < v.size(); i++)
            if (v[i].kind == kind && v[i].a == a && v[i].b == b) return (int)i;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return -1;
}

// Ctrl-C, then how the run ended (SIGTERM only when it outlived 10 s).
e2e::result ctrl_c(e2e::background &run)
{
    kill(run.pid(), SIGINT);
    run.wait_end(10000);
    return run.stop();
}

long long mono_us()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000000 + ts.tv_nsec / 1000;
}

// Node 0x10: TXPDO1 on 0x190 maps a u16 lever (0x2000) and a u8 switch (0x2001), every 50 ms.
const char *LEVER_DICT = R"(
0x2000 0 u16 rw 750
0x2001 0 u8 rw 0
0x1A00 0 u8 rw 2
0x1A00 1 u32 rw 0x20000010
0x1A00 2 u32 rw 0x20010008
0x1800 5 u16 rw 50
)";

const char *LEVER_CONF = R"({"NAME": "%s", "AXES": [{"AXIS": "X", "NODEID": "0x10", "COBID": "0x190",
  "TYPE": "CANOPEN_UNSIGNED16", "OFFSET": 0, "MIN": 0, "MAX": 1000}],
  "BUTTONS": [{"BUTTON": 1, "NODEID": "0x10", "COBID": "0x190", "TYPE": "CANOPEN_UNSIGNED8", "OFFSET": 2,
  "THRESHOLD": 1}]})";

std::string lever_conf(const std::string &name)
{
    char buf[1024];
    std::snprintf(buf, sizeof buf, LEVER_CONF, name.c_str());
    return buf;
}

struct JoystickDevice : ::testing::Test {
    e2e::sandbox box;
    sim_setup_st bench;
    void SetUp() override
    {
        box.write_file("lever.dict", LEVER_DICT);
        sim_device_config_st c;
        c.node_id = 0x10;
        c.heartbeat_ms = 200;
        c.start_operational = true;
        c.dict_file = box.path("lever.dict").string();
        std::string err;
        ASSERT_TRUE(sim_setup_start(bench, {c}, 0, err)) << err;
    }
    void TearDown() override { sim_setup_stop(bench); }
    e2e::options rec_options() const
    {
        e2e::options o;
        o.env = {{"KRCAN_JSREC", box.path("rec.txt").string()}};
        return o;
    }
};

// After a search installed the monitor and a listen job then took the CAN hook, the joystick job takes it
// back: the device's values reach the controller, changes follow, a stopped device centres and releases
// everything a second after its last PDO, and Ctrl-C ends the run with 2.
TEST_F(JoystickDevice, FollowsTheDeviceAfterAListenJobUntilCtrlC)
{
    box.write_file("pad.json", lever_conf("krcan e2e lever"));
    e2e::background run(box, KRCAN_JSREC_BIN, {"--can", bench.channel, "--find", "--listen=1", "--joystick=pad.json"},
                        rec_options());
    ASSERT_TRUE(run.wait_for_output("Press Ctrl-C to stop.", 30000)) << run.out() << run.err();
    EXPECT_NE(run.out().find("Joystick driver running (recorder): 1 axes, 1 buttons.\n"), std::string::npos)
        << run.out();
    ASSERT_GE(wait_rec(box, 0, 'a', 0, 16383), 0) << box.read_file("rec.txt");
    EXPECT_EQ(read_rec(box)[0].kind, 'o');
    EXPECT_NE(box.read_file("rec.txt").find("o krcan e2e lever "), std::string::npos);

    size_t mark = read_rec(box).size();
    ASSERT_TRUE(sim_dev_set(bench.devs, 0x10, 0x2000, 0, {0xE8, 0x03}));
    ASSERT_TRUE(sim_dev_set(bench.devs, 0x10, 0x2001, 0, {0x01}));
    ASSERT_GE(wait_rec(box, mark, 'a', 0, 32767), 0) << box.read_file("rec.txt");
    ASSERT_GE(wait_rec(box, mark, 'b', 0, 1), 0) << box.read_file("rec.txt");

    // NMT stop: the PDOs end; 1 s later the axis is centred and the button released.
    sim_client_st master;
    ASSERT_TRUE(sim_client_connect(master, "127.0.0.1", bench.port, "vcan0"));
    mark = read_rec(box).size();
    long long stopped = mono_us();
    ASSERT_TRUE(sim_client_send(master, sim_frame_std(0, {0x02, 0x10})));
    int centred = wait_rec(box, mark, 'a', 0, 0);
    int released = wait_rec(box, mark, 'b', 0, 0);
    sim_client_close(master);
    ASSERT_GE(centred, 0) << box.read_file("rec.txt");
    ASSERT_GE(released, 0) << box.read_file("rec.txt");
    EXPECT_GE(read_rec(box)[(size_t)centred].t_us - stopped, 900000) << "centred too early";

    e2e::result r = ctrl_c(run);
    EXPECT_TRUE(r.exited(2)) << r.exit_code << " " << r.signal << " " << r.err;
    EXPECT_NE(r.err.find("Caught signal, terminating"), std::string::npos) << r.err;
}

// A system package holding joystick.json: --sys makes it active and --joystick needs no file.
TEST_F(JoystickDevice, ConfigurationInsideASystemPackage)
{
    ASSERT_TRUE(pkgtest::write_zip(box.path("machine.krsys").string(),
                                   {pkgtest::file("krsys.json", "{\"DATE\": \"2026-12-09\", \"DEVS\": []}"),
                                    pkgtest::file("joystick.json", lever_conf("machine pad"))}));
    e2e::background run(box, KRCAN_JSREC_BIN,
                        {"--silent", "--can", bench.channel, "--sys", "machine.krsys", "--joystick"}, rec_options());
    ASSERT_TRUE(run.wait_for_output("Press Ctrl-C to stop.", 30000)) << run.out() << run.err();
    EXPECT_NE(run.err().find("Loaded the joystick configuration from the system file.\n"), std::string::npos)
        << run.err();
    ASSERT_GE(wait_rec(box, 0, 'a', 0, 16383), 0) << box.read_file("rec.txt");
    EXPECT_NE(box.read_file("rec.txt").find("o machine pad "), std::string::npos) << box.read_file("rec.txt");
    EXPECT_TRUE(ctrl_c(run).exited(2));
}

// The event node whose device carries this name, or "".
std::string event_node(const std::string &name)
{
    std::string found;
    DIR *d = opendir("/dev/input");
    if (!d) return found;
    while (dirent *e = readdir(d)) {
        if (std::strncmp(e->d_name, "event", 5) != 0) continue;
        std::string path = std::string("/dev/input/") + e->d_name;
        int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) continue;
        char n[256] = "";
        if (ioctl(fd, EVIOCGNAME(sizeof n - 1), n) >= 0 && name == n) found = path;
        close(fd);
    }
    closedir(d);
    return found;
}

// Waits until the node's state satisfies pred(axis X value, trigger pressed).
bool wait_evdev(const std::string &node, const std::function<bool(int, bool)> &pred, int timeout_ms = 10000)
{
    for (int waited = 0; waited <= timeout_ms; waited += 20) {
        int fd = open(node.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0) {
            input_absinfo abs{};
            unsigned char keys[KEY_MAX / 8 + 1] = {};
            bool ok = ioctl(fd, EVIOCGABS(ABS_X), &abs) >= 0 && ioctl(fd, EVIOCGKEY(sizeof keys), keys) >= 0;
            close(fd);
            if (ok && pred(abs.value, keys[BTN_TRIGGER / 8] & (1 << (BTN_TRIGGER % 8)))) return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

// Where /dev/uinput opens: the product's controller, read back through evdev. The device's values move
// its X axis and first button, and the controller is gone once Ctrl-C ended the run.
TEST_F(JoystickDevice, TheUinputControllerReportsTheDeviceThroughEvdev)
{
    int fd = open("/dev/uinput", O_WRONLY | O_CLOEXEC);
    if (fd < 0) GTEST_SKIP() << "/dev/uinput does not open here: " << std::strerror(errno);
    close(fd);
    const std::string name = "krcan e2e evdev " + std::to_string(getpid());
    box.write_file("pad.json", lever_conf(name));
    e2e::background run(box, KRCAN_BIN, {"--can", bench.channel, "--joystick=pad.json"});
    ASSERT_TRUE(run.wait_for_output("Press Ctrl-C to stop.", 30000)) << run.out() << run.err();
    EXPECT_NE(run.out().find("Joystick driver running (uinput): 1 axes, 1 buttons.\n"), std::string::npos) << run.out();
    std::string node;
    for (int waited = 0; node.empty() && waited < 5000; waited += 50) {
        node = event_node(name);
        if (node.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (node.empty()) {
        ctrl_c(run);
        GTEST_SKIP() << "the controller's event node cannot be read here";
    }
    const int half = jsdriver_axis_to_device(joystick_axis_output(750, 0, 1000, false));
    EXPECT_TRUE(wait_evdev(node, [&](int x, bool b) { return x == half && !b; })) << node;
    ASSERT_TRUE(sim_dev_set(bench.devs, 0x10, 0x2000, 0, {0xE8, 0x03}));
    ASSERT_TRUE(sim_dev_set(bench.devs, 0x10, 0x2001, 0, {0x01}));
    EXPECT_TRUE(wait_evdev(node, [](int x, bool b) { return x == 32768 && b; })) << node;
    EXPECT_TRUE(ctrl_c(run).exited(2));
    EXPECT_EQ(event_node(name), "") << "the controller outlived the run";
}

} // namespace
