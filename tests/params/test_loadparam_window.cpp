// The window's parameter jobs, in process (the library in a child): a test task plays the window,
// starts a job, polls its finished flag, answers prompts through the standard-input pipe and cancels.
// The child's output goes to files that it reports on; the parent checks the devices.
#include <gtest/gtest.h>

#include <fcntl.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "run/console.h"
#include "database/db.h"
#include "e2e/e2e.h"
#include "e2e/param_units.h"
#include "hal/canopen_harness.h"
#include "params/loadparam.h"
#include "run/main.h"
#include "sim_device.h"
#include "system/system.h"
#include "system/package_builder.h"

namespace {

const std::string two_queries =
    R"("QUERIES": [{"NAME": "ONE", "QUESTION": "First question?", "ANSWERS": ["a", "b"]},
                   {"NAME": "TWO", "QUESTION": "Second question?", "ANSWERS": ["c", "d"]}], )";
// The device refuses it (read-only): a failure, unlike an object the device lacks, which is left out.
const std::string bad_entry =
    R"(, {"INFO": "vendor", "MAININDEX": "0x1018", "SUBINDEX": 1, "TYPE": "CANOPEN_UNSIGNED32", "DATA": 1})";

// Child side: the folder of the test's files, standard output and error into files there.
std::string dir() { return getenv("KRLP_DIR"); }
void capture_output() { paramunits::capture_output(dir()); }
bool wait_for(bool (*done)(), uint32_t ms = 40000)
{
    uint32_t t0 = kr_rtos_get_tick_count();
    while (!done() && kr_rtos_get_tick_count() - t0 < ms) kr_rtos_task_delay(5);
    return done();
}
bool waiting() { return kr_stdin_is_waiting(); }
void set_file(device_st &d, const std::string &path)
{
    std::snprintf(d.param_file, sizeof d.param_file, "%s", path.c_str());
}

class LoadParamWindow : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (co::child_mode()) return;
        std::string err;
        ASSERT_TRUE(paramunits::start(bench, err)) << err;
        setenv("KRLP_DIR", box.dir().c_str(), 1);
        box.write_file("db.json", db_json);
    }
    void TearDown() override
    {
        if (co::child_mode()) return;
        unsetenv("KRLP_DIR");
        sim_setup_stop(bench);
    }
    std::string out() { return box.read_file("child.out"); }
    std::string err() { return box.read_file("child.err"); }
    size_t writes(uint8_t node, uint16_t index) { return sim_dev_write_count(runner, node, index); }
    size_t resets(uint8_t node) { return sim_dev_nmt_count(runner, node, 0x81); }

    e2e::sandbox box;
    sim_setup_st bench;
    sim_runner_st *&runner = bench.devs;
    uint16_t &port = bench.port;
};

TEST_F(LoadParamWindow, AFileBatchLoadsAndAFlagLeftFromItDoesNotReadAsFinished)
{
    if (!co::child_mode()) {
        box.write_file("a.json", param_file(0x20, 21));
        box.write_file("b.json", param_file(0x22, 22));
    }
    co::result_st res = co::run(port, [] {
        capture_output();
        cmd_db((dir() + "/db.json").c_str());
        std::string a = dir() + "/a.json", b = dir() + "/b.json";
        const char *files[] = {a.c_str(), b.c_str()};
        bool started = loadparam_load_files_async(files, 2);
        co::report("started=%d", started ? 1 : 0);
        co::report("finished=%d", wait_for(loadparam_load_files_is_finished) ? 1 : 0);
        // A second job: its flag reads false from its start, not the first job's true.
        started = loadparam_load_files_async(files, 1);
        co::report("second_finished_at_start=%d", loadparam_load_files_is_finished() ? 1 : 0);
        co::report("second_finished=%d", wait_for(loadparam_load_files_is_finished) ? 1 : 0);
        return 0;
    });
    ASSERT_EQ(res.status, 0) << res.text;
    EXPECT_EQ(res.get("started"), "1");
    EXPECT_EQ(res.get("finished"), "1");
    EXPECT_EQ(res.get("second_finished_at_start"), "0");
    EXPECT_EQ(res.get("second_finished"), "1");
    EXPECT_NE(out().find("All 2 parameter file(s) loaded.\n"), std::string::npos) << out();
    EXPECT_NE(out().find("All 1 parameter file(s) loaded.\n"), std::string::npos) << out();
    EXPECT_EQ(sim_dev_get_u32(runner, 0x20, 0x2000, 0), 21u);
    EXPECT_EQ(sim_dev_get_u32(runner, 0x22, 0x2000, 0), 22u);
    EXPECT_EQ(resets(0x22), 1u);
}

TEST_F(LoadParamWindow, ACancelAtAFailedWriteEndsTheBatchWithNothingStored)
{
    if (!co::child_mode()) box.write_file("a.json", param_file(0x20, 21, "", bad_entry));
    co::result_st res = co::run(port, [] {
        capture_output();
        cmd_db((dir() + "/db.json").c_str());
        std::string a = dir() + "/a.json";
        const char *files[] = {a.c_str()};
        loadparam_load_files_async(files, 1);
        co::report("asked=%d", wait_for(waiting) ? 1 : 0);
        loadparam_load_files_cancel();
        co::report("finished=%d", wait_for(loadparam_load_files_is_finished) ? 1 : 0);
        co::report("cancelled_after=%d", loadparam_is_cancelled() ? 1 : 0);
        return 0;
    });
    ASSERT_EQ(res.status, 0) << res.text;
    EXPECT_EQ(res.get("asked"), "1");
    EXPECT_EQ(res.get("finished"), "1");
    EXPECT_EQ(res.get("cancelled_after"), "0");
    EXPECT_NE(out().find("Parameter loading was stopped by the user."), std::string::npos) << out();
    EXPECT_EQ(out().find("All 1 parameter file(s) loaded."), std::string::npos) << out();
    EXPECT_EQ(writes(0x20, 0x1010), 0u);
    EXPECT_EQ(resets(0x20), 0u);
    EXPECT_EQ(writes(0x20, 0x2020), 2u) << "suppressed and re-enabled";
    EXPECT_EQ(sim_dev_get_u32(runner, 0x20, 0x2020, 1), 0u);
}

TEST_F(LoadParamWindow, ACancelAtTheFirstQueryAsksNothingMore)
{
    if (!co::child_mode()) box.write_file("a.json", param_file(0x20, 21, two_queries));
    co::result_st res = co::run(port, [] {
        capture_output();
        cmd_db((dir() + "/db.json").c_str());
        std::string a = dir() + "/a.json";
        const char *files[] = {a.c_str()};
        loadparam_load_files_async(files, 1);
        co::report("asked=%d", wait_for(waiting) ? 1 : 0);
        loadparam_load_files_cancel();
        co::report("finished=%d", wait_for(loadparam_load_files_is_finished) ? 1 : 0);
        return 0;
    });
    ASSERT_EQ(res.status, 0) << res.text;
    EXPECT_EQ(res.get("asked"), "1");
    EXPECT_EQ(res.get("finished"), "1");
    EXPECT_NE(err().find("First question?"), std::string::npos) << err();
    EXPECT_EQ(err().find("Second question?"), std::string::npos) << err();
    EXPECT_EQ(out().find("selected ("), std::string::npos) << "the stop chose an answer: " << out();
    EXPECT_EQ(out().find("SDO error"), std::string::npos) << "no transfer was made: " << out();
    EXPECT_EQ(writes(0x20, 0x2000), 0u);
    EXPECT_EQ(resets(0x20), 0u);
}

TEST_F(LoadParamWindow, DeviceFilesJobAndVersionMismatch)
{
    if (!co::child_mode()) {
        ASSERT_TRUE(pkgtest::write_zip(box.path("unit.krdev").string(),
                                       {pkgtest::file("krdev.json", R"({"DATABASE": "db.json", "VERSION": "1"})"),
                                        pkgtest::file("db.json", db_json)}));
        box.write_file("a.json", param_file(0x20, 31));
        box.write_file("c.json", param_file(0x22, 32));
        box.write_file(
            "v3.json",
            "{\"DEVS\": [{\"NODEID\": 33, \"CAN IF VERSION\": 1}, {\"NODEID\": 32, \"CAN IF VERSION\": 3}]}");
    }
    co::result_st res = co::run(port, [] {
        capture_output();
        std::string krdev = dir() + "/unit.krdev";
        system_add_device(&dev.system, krdev.c_str(), 0x20);
        system_add_device(&dev.system, krdev.c_str(), 0x21);
        system_add_device(&dev.system, krdev.c_str(), 0x22);
        set_file(dev.system.devs[0], dir() + "/a.json");
        set_file(dev.system.devs[2], dir() + "/c.json");
        device_st *list[] = {&dev.system.devs[0], &dev.system.devs[1], &dev.system.devs[2]};
        loadparam_load_params_async(list, 3);
        co::report("params_finished=%d", wait_for(loadparam_load_params_is_finished) ? 1 : 0);
        dev.system.devs[0].state = DEV_STATE_OP;
        set_file(dev.system.devs[0], dir() + "/v3.json");
        uint32_t fv = 0, dv = 0;
        bool mismatch = loadparam_can_if_mismatch(&dev.system.devs[0], &fv, &dv);
        co::report("mismatch=%d file=%u dev=%u", mismatch ? 1 : 0, (unsigned)fv, (unsigned)dv);
        set_file(dev.system.devs[0], dir() + "/a.json");
        co::report("same=%d", loadparam_can_if_mismatch(&dev.system.devs[0], &fv, &dv) ? 1 : 0);
        return 0;
    });
    ASSERT_EQ(res.status, 0) << res.text;
    EXPECT_EQ(res.get("params_finished"), "1");
    EXPECT_EQ(res.get("mismatch"), "1 file=3 dev=1");
    EXPECT_EQ(res.get("same"), "0");
    EXPECT_EQ(sim_dev_get_u32(runner, 0x20, 0x2000, 0), 31u);
    EXPECT_EQ(sim_dev_get_u32(runner, 0x22, 0x2000, 0), 32u);
    EXPECT_EQ(resets(0x20), 1u);
    EXPECT_EQ(resets(0x22), 1u);
    EXPECT_EQ(out().find("Parameter loading stopped"), std::string::npos) << out();
}

} // namespace
