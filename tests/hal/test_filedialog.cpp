// File dialogs against a stand-in zenity on PATH that logs its arguments and answers as told.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "e2e/e2e.h"
#include "hal/canopen_harness.h"
#include "sim/sim_device.h"
#include "ui/kr_uifiledialog.h"
#include "run/stdout_of.h"

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
    std::string msg = stdout_of([&] { EXPECT_FALSE(kr_uifiledialog_exec("t", nullptr, 0, false, out, sizeof out)); });
    EXPECT_NE(msg.find("status 5"), std::string::npos) << msg;
    z.reply("/a/0123456789012345678901234567890.json\n", 0); // 38 bytes in 32
    msg = stdout_of([&] { EXPECT_FALSE(kr_uifiledialog_exec("t", nullptr, 0, true, out, sizeof out)); });
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
    msg = stdout_of([&] { EXPECT_TRUE(kr_uifiledialog_exec_multi("m", nullptr, 0, many, sizeof many)); });
    EXPECT_STREQ(many, "/d/long_name_that_takes_the_room_0123456789.json\n/d/ok.json");
    EXPECT_NE(msg.find("left out: /d/another_long_name_left_out_0123456789.json"), std::string::npos) << msg;
    EXPECT_NE(msg.find("line break"), std::string::npos) << msg;

    setenv("PATH", (z.box.dir().string() + "/nothing").c_str(), 1);
    msg = stdout_of([&] { EXPECT_FALSE(kr_uifiledialog_exec("t", nullptr, 0, false, out, sizeof out)); });
    EXPECT_NE(msg.find("Debian package 'zenity'"), std::string::npos) << msg;
    EXPECT_STREQ(out, "keep");
}

namespace {

std::string hex_states(const std::vector<sim_frame_st> &frames)
{
    std::string s;
    char b[4];
    for (const auto &f : frames) {
        std::snprintf(b, sizeof b, "%02x", f.data[0]);
        s += b;
    }
    return s;
}

int64_t mono_ns()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

// An open dialog holds every task, the library's too: a device heartbeating every 50 ms (and
// switched between states while the dialog is open) reaches the callback only after the dialog
// has closed, every frame and in the bus's order.
TEST(FileDialog, HeartbeatsWaitForTheDialogInOrder)
{
    standin z;
    {
        std::ofstream sh(z.bin + "/zenity");
        sh << "#!/bin/sh\n: > \"$ZMARK.start\"\nsleep 2\n: > \"$ZMARK.end\"\necho /tmp/picked\n";
    }
    sim_setup_st bench;
    sim_tap_st *&tap = bench.tap;
    uint16_t &port = bench.port;
    sim_client_st ctl;
    std::thread nmt;
    std::atomic<int64_t> start_ns{0}, end_ns{0};
    const std::string mark = z.box.dir().string() + "/mark";
    if (!co::child_mode()) {
        std::string err;
        ASSERT_TRUE(sim_setup_start(bench, {}, 0, err, true)) << err;
        sim_device_config_st d;
        d.node_id = 5;
        d.heartbeat_ms = 50;
        ASSERT_TRUE(sim_setup_add_devices(bench, {d}, err)) << err;
        ASSERT_TRUE(sim_client_connect(ctl, "127.0.0.1", port, "vcan0"));
        setenv("ZMARK", mark.c_str(), 1);
        // While the dialog is open: operational, stopped, pre-operational, so order shows.
        nmt = std::thread([&] {
            auto wait_for = [](const std::string &f) {
                for (int i = 0; i < 6000 && !std::filesystem::exists(f); ++i)
                    std::this_thread::sleep_for(std::chrono::milliseconds(5));
                return mono_ns();
            };
            start_ns = wait_for(mark + ".start");
            // Each state shows in a few heartbeats on the bus before the next command.
            const uint8_t cmds[3] = {0x01, 0x02, 0x80};
            for (uint8_t c : cmds) {
                size_t n = co::with_id(sim_tap_frames(tap), 0x705).size();
                sim_tap_wait(
                    tap, [n](const std::vector<sim_frame_st> &fr) { return co::with_id(fr, 0x705).size() >= n + 3; },
                    30000);
                sim_client_send(ctl, sim_frame_std(0x000, {c, 5}));
            }
            end_ns = wait_for(mark + ".end");
        });
    }
    co::result_st res = co::run(port, [] {
        static std::vector<uint8_t> states;
        static std::vector<uint32_t> ticks;
        static int during = 0;
        static std::string mark = std::string(getenv("ZMARK"));
        // The library task runs the moment the dialog ends, before the caller's next line: the
        // stand-in's own marks tell whether it was still open.
        kr_canopen_set_can_callback([](void *, const kr_can_message_st *m) {
            if (m->id != 0x705 || m->data_length != 1) return;
            if (std::filesystem::exists(mark + ".start") && !std::filesystem::exists(mark + ".end")) during++;
            states.push_back(m->data[0]);
            ticks.push_back(kr_rtos_get_tick_count());
        });
        kr_rtos_task_delay(400);
        char out[64] = "";
        const uint32_t t0 = kr_rtos_get_tick_count();
        const bool ok = kr_uifiledialog_exec("Pick", nullptr, 0, false, out, sizeof out);
        const uint32_t t1 = kr_rtos_get_tick_count();
        kr_rtos_task_delay(400);
        int backlog = 0;
        std::string seq;
        char b[4];
        for (size_t i = 0; i < states.size(); ++i) {
            if ((int32_t)(ticks[i] - t0) >= 0 && (int32_t)(ticks[i] - t1) <= 300) backlog++;
            std::snprintf(b, sizeof b, "%02x", states[i]);
            seq += b;
        }
        co::report("ok=%d", ok);
        co::report("out=%s", out);
        co::report("dialog_ms=%u", t1 - t0);
        co::report("during=%d", during);
        co::report("backlog=%d", backlog);
        co::report("seq=%s", seq.c_str());
        return 0;
    });
    if (nmt.joinable()) nmt.join();
    const std::vector<sim_frame_st> hb = co::with_id(sim_tap_frames(tap), 0x705);
    sim_client_close(ctl);
    sim_setup_stop(bench);
    ASSERT_EQ(res.status, 0) << res.text;
    EXPECT_EQ(res.get("ok"), "1");
    EXPECT_EQ(res.get("out"), "/tmp/picked");
    EXPECT_GE(res.num("dialog_ms"), 1900);
    EXPECT_EQ(res.get("during"), "0");
    // What the bus carried while the dialog was open (a margin off each end for the markers' lag).
    std::vector<sim_frame_st> open_frames;
    for (const auto &f : hb)
        if (f.rx_ns > start_ns + 30000000 && f.rx_ns < end_ns - 30000000) open_frames.push_back(f);
    const std::string sent = hex_states(open_frames);
    ASSERT_GE(open_frames.size(), 15u);
    EXPECT_NE(sent.find("7f05"), std::string::npos) << sent;
    EXPECT_NE(sent.find("0504"), std::string::npos) << sent;
    EXPECT_NE(sent.find("047f"), std::string::npos) << sent;
    EXPECT_GE(res.num("backlog"), (long)open_frames.size());
    // The callback got a gapless run of the bus's heartbeats, that of the open dialog within it.
    const std::string got = res.get("seq");
    EXPECT_NE(hex_states(hb).find(got), std::string::npos) << got;
    EXPECT_NE(got.find(sent), std::string::npos) << got << " / " << sent;
}
