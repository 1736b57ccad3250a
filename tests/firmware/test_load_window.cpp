// The window's firmware entry points, in process (the library in a child): a package's binary is copied
// without a shell into a private file that is gone once the load has finished, and a wait for the boot-up
// without time-out lasts until the window cancels it, with nothing sent.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <thread>

#include "e2e/e2e.h"
#include "hal/canopen_harness.h"
#include "firmware/firmware_loader.h"
#include "run/main.h"
#include "sim_device.h"
#include "system/package_builder.h"

namespace {

namespace fs = std::filesystem;

std::vector<uint8_t> image(size_t n)
{
    std::mt19937 rng(77);
    std::vector<uint8_t> b(n);
    for (auto &x : b) x = (uint8_t)rng();
    return b;
}

// Files named in the folder that start with the prefix.
int count_named(const char *dir, const char *prefix)
{
    int n = 0;
    std::error_code ec;
    for (const auto &e : fs::directory_iterator(dir, ec))
        if (e.path().filename().string().rfind(prefix, 0) == 0) n++;
    return n;
}

class LoadWindow : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (co::child_mode()) return;
        std::string err;
        ASSERT_TRUE(sim_setup_start(bench, {}, 0, err, true)) << err;
        sim_device_config_st d;
        d.node_id = 0x20;
        d.heartbeat_ms = 0;
        d.program.flavour = SIM_BOOT_CIA302;
        d.program.image = {1, 2, 3};
        // Beside it a device with the maker's bootloader.
        sim_device_config_st k;
        k.node_id = 0x40;
        k.heartbeat_ms = 40;
        k.reset_delay_ms = 30;
        k.program.flavour = SIM_BOOT_KR;
        k.program.image = {9, 9, 9};
        ASSERT_TRUE(sim_setup_add_devices(bench, {d, k}, err)) << err;
        // The child finds the folders through its environment.
        old_tmpdir = getenv("TMPDIR") ? getenv("TMPDIR") : "";
        setenv("TMPDIR", box.tmp().c_str(), 1);
        setenv("KRLOAD_DIR", box.dir().c_str(), 1);
    }
    void TearDown() override
    {
        if (co::child_mode()) return;
        if (old_tmpdir.empty())
            unsetenv("TMPDIR");
        else
            setenv("TMPDIR", old_tmpdir.c_str(), 1);
        unsetenv("KRLOAD_DIR");
        sim_setup_stop(bench);
    }

    e2e::sandbox box;
    sim_setup_st bench;
    sim_tap_st *&tap = bench.tap;
    sim_runner_st *&runner = bench.devs;
    uint16_t &port = bench.port;
    std::string old_tmpdir;
};

TEST_F(LoadWindow, PackageBinaryIsCopiedWithoutAShellAndRemovedWhenDone)
{
    const std::string name = "fw 'x'; touch y.bin";
    std::vector<uint8_t> fw = image(4000);
    if (!co::child_mode()) {
        ASSERT_TRUE(pkgtest::write_zip(box.path("dev.krdev").string(),
                                       {pkgtest::file("krdev.json", "{\"FIRMWARE\": \"" + name + "\"}"),
                                        pkgtest::file(name, std::string(fw.begin(), fw.end()))}));
    }
    co::result_st res = co::run(port, [] {
        std::string dir = getenv("KRLOAD_DIR");
        bool started = load_flash_krdev_to_node((dir + "/dev.krdev").c_str(), 0x20, false);
        co::report("started=%d", started ? 1 : 0);
        co::report("copies_running=%d", count_named(getenv("TMPDIR"), "krcan_flash."));
        uint32_t t0 = kr_rtos_get_tick_count();
        while (!dev.load.finished && kr_rtos_get_tick_count() - t0 < 30000) kr_rtos_task_delay(5);
        co::report("finished=%d", dev.load.finished ? 1 : 0);
        co::report("success=%d", dev.load.success ? 1 : 0);
        co::report("progress=%d", (int)dev.load.progress);
        co::report("copies_after=%d", count_named(getenv("TMPDIR"), "krcan_flash."));
        co::report("y_here=%d", count_named(".", "y.bin"));
        return 0;
    });
    ASSERT_EQ(res.status, 0) << res.text;
    EXPECT_EQ(res.get("started"), "1");
    EXPECT_EQ(res.get("copies_running"), "1"); // the private copy exists while the load runs
    EXPECT_EQ(res.get("finished"), "1");
    EXPECT_EQ(res.get("success"), "1");
    EXPECT_EQ(res.get("progress"), "100");
    EXPECT_EQ(res.get("copies_after"), "0");
    EXPECT_EQ(res.get("y_here"), "0");
    EXPECT_EQ(count_named(box.dir().c_str(), "y.bin"), 0);
    // The device boots into the new image a little after the reset.
    sim_prog_info_st p;
    for (int i = 0; i < 500 && (p = sim_dev_program(runner, 0x20)).image != fw; i++) usleep(10000);
    EXPECT_EQ(p.image, fw);
    EXPECT_EQ(sim_dev_nmt_log(runner, 0x20), std::vector<uint8_t>{0x81});
}

TEST_F(LoadWindow, WaitWithoutTimeOutLastsUntilCancelled)
{
    if (!co::child_mode()) box.write_file("a.bin", std::string(500, 'a'));
    co::result_st res = co::run(port, [] {
        std::string dir = getenv("KRLOAD_DIR");
        bool started = loadbin((dir + "/a.bin").c_str(), 0x20, true, false, true);
        co::report("started=%d", started ? 1 : 0);
        kr_rtos_task_delay(LOADWFR_WAIT_TIME_MS + 800); // past the command line's time-out
        co::report("waiting=%d", dev.load.waiting ? 1 : 0);
        co::report("finished_before=%d", dev.load.finished ? 1 : 0);
        load_cancel();
        uint32_t t0 = kr_rtos_get_tick_count();
        while (!dev.load.finished && kr_rtos_get_tick_count() - t0 < 5000) kr_rtos_task_delay(5);
        co::report("finished=%d", dev.load.finished ? 1 : 0);
        co::report("success=%d", dev.load.success ? 1 : 0);
        co::report("waiting_after=%d", dev.load.waiting ? 1 : 0);
        return 0;
    });
    ASSERT_EQ(res.status, 0) << res.text;
    EXPECT_EQ(res.get("started"), "1");
    EXPECT_EQ(res.get("waiting"), "1");
    EXPECT_EQ(res.get("finished_before"), "0");
    EXPECT_EQ(res.get("finished"), "1");
    EXPECT_EQ(res.get("success"), "0");
    EXPECT_EQ(res.get("waiting_after"), "0");
    for (const sim_frame_st &f : sim_tap_frames(tap)) EXPECT_FALSE(f.id == 0 || f.id == 0x620) << sim_frame_str(f);
    EXPECT_EQ(sim_dev_program(runner, 0x20).image, (std::vector<uint8_t>{1, 2, 3}));
}

// The window's flash on the maker's bootloader, cancelled among its pieces: the device holds them and
// says so. The next flash (whose whole image the bootloader refuses as too long, so it falls back to
// pieces) neither appends to them nor resets the device into running them: it waits for the power
// cycle, and the device then runs the new image and nothing else.
TEST_F(LoadWindow, AFlashAfterACancelledOneWaitsForThePowerCycle)
{
    std::vector<uint8_t> fw = image(30000);
    std::thread power;
    if (!co::child_mode()) {
        ASSERT_TRUE(pkgtest::write_zip(box.path("kr.krdev").string(),
                                       {pkgtest::file("krdev.json", "{\"FIRMWARE\": \"fw.bin\"}"),
                                        pkgtest::file("fw.bin", std::string(fw.begin(), fw.end()))}));
        // The child marks the moment its second flash waits for the device; then it is switched off and on.
        power = std::thread([this] {
            for (int i = 0; i < 120000 && !fs::exists(box.path("waiting")); i++) usleep(1000);
            sim_dev_power(runner, 0x40, 1000);
        });
    }
    co::result_st res = co::run(
        port,
        [] {
            std::string pkg = std::string(getenv("KRLOAD_DIR")) + "/kr.krdev";
            auto until = [](bool (*done)()) {
                uint32_t t0 = kr_rtos_get_tick_count();
                while (!done() && kr_rtos_get_tick_count() - t0 < 60000) kr_rtos_task_delay(1);
            };
            co::report("started1=%d", load_flash_krdev_to_node(pkg.c_str(), 0x40, false) ? 1 : 0);
            until([] { return dev.load.finished || dev.load.progress >= 40; });
            load_cancel();
            until([] { return dev.load.finished; });
            co::report("success1=%d", dev.load.success ? 1 : 0);
            for (unsigned i = 0; i < job_error_count(); i++)
                if (std::strstr(job_error_text(i), "ERROR: node 0x40 holds part of an image")) co::report("holds=1");
            co::report("started2=%d", load_flash_krdev_to_node(pkg.c_str(), 0x40, false) ? 1 : 0);
            until([] { return dev.load.finished || dev.load.waiting; });
            co::report("waited=%d", dev.load.waiting ? 1 : 0);
            fclose(fopen((std::string(getenv("KRLOAD_DIR")) + "/waiting").c_str(), "w"));
            until([] { return dev.load.finished; });
            co::report("success2=%d", dev.load.success ? 1 : 0);
            return 0;
        },
        150000);
    power.join();
    ASSERT_EQ(res.status, 0) << res.text;
    EXPECT_EQ(res.get("started1"), "1");
    EXPECT_EQ(res.get("success1"), "0");
    EXPECT_EQ(res.get("holds"), "1");
    EXPECT_EQ(res.get("waited"), "1");
    EXPECT_EQ(res.get("success2"), "1");
    sim_prog_info_st p = sim_dev_program(runner, 0x40);
    EXPECT_EQ(p.image, fw);
    EXPECT_EQ(p.flashes, 1u);
    // The first flash's reset into the bootloader and the last one that starts the image: none between.
    EXPECT_EQ(sim_dev_nmt_log(runner, 0x40), (std::vector<uint8_t>{0x81, 0x81}));
}

} // namespace
