// Whole systems, end to end: a system package of three devices, each with its package database and
// (but one) a parameter file, loaded with EMCY messages off, one store and one reset per device at the
// end; and a device package saved by the parameter saver.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "e2e/e2e.h"
#include "e2e/sim_bench.h"
#include "sim_client.h"
#include "sim_device.h"
#include "sim_hub.h"
#include "system/package_builder.h"

namespace {

// Three devices, at 0x20, 0x21 and 0x22.
class Bench : public simbench::bench {
public:
    Bench() : simbench::bench({0x20, 0x21, 0x22})
    {
        for (uint8_t n : {0x20, 0x21, 0x22}) {
            sim_dev_add_object(runner, n, 0x2000, 0, object(SIM_U32, {0, 0, 0, 0}));
            sim_dev_add_object(runner, n, 0x2001, 0, object(SIM_U8, {0}));
            sim_dev_add_object(runner, n, 0x2020, 1, object(SIM_U8, {0}));
        }
    }
    size_t resets(uint8_t node) { return sim_dev_nmt_count(runner, node, 0x81); }
    // The objects written, in order.
    std::vector<uint16_t> written(uint8_t node)
    {
        std::vector<uint16_t> w;
        for (auto &e : sim_dev_write_log(runner, node)) w.push_back(e.index);
        return w;
    }
};

std::string all(const e2e::result &r) { return r.out + r.err; }
bool has(const std::string &hay, const std::string &needle) { return hay.find(needle) != std::string::npos; }

const char *db_json = R"({"DEV": "Unit", "NODEID": 16, "REVISIONNUMBER": 1, "OBJ_DICT": [
  {"name": "canif", "index": "0x2fff", "type": "CANOPEN_UNSIGNED16", "permissions": "CANOPEN_RO", "data_type": "CAN_IF",
   "subindex": 0, "value": 1, "dataptr": "&a"},
  {"name": "gain", "index": "0x2000", "type": "CANOPEN_UNSIGNED32", "permissions": "CANOPEN_RW",
   "data_type": "NONVOL_PARAM", "subindex": 0, "min": 0, "max": 1, "default": 0, "dataptr": "&b"},
  {"name": "suppress emcy", "index": "0x2020", "type": "CANOPEN_UNSIGNED8", "permissions": "CANOPEN_RW",
   "subindex": 1, "min": 0, "max": 1, "default": 0, "dataptr": "&c"}]})";

// A device's file: 0x2000 from the answer to query "GAIN" (asked once per system), then `extra`.
std::string param_file(int node, const std::string &extra = "")
{
    return R"({"QUERIES": [{"NAME": "GAIN", "QUESTION": "Which gain?", "ANSWERS": ["low", "high"]}],
  "CAN IF VERSION": 1, "CAN IF MINDEX": "0x2fff", "CAN IF SINDEX": 0, "NODEID": )" +
           std::to_string(node) + R"(, "PARAMS": [
  {"INFO": "gain", "MAININDEX": "0x2000", "TYPE": "CANOPEN_UNSIGNED32", "GAIN": [11, 12]})" +
           extra + "]}";
}

// The device refuses it (read-only): a failure, unlike an object the device lacks, which is left out.
const std::string bad_entry =
    R"(, {"INFO": "vendor", "MAININDEX": "0x1018", "SUBINDEX": 1, "TYPE": "CANOPEN_UNSIGNED32", "DATA": 1})";

// A system package: 0x20 and 0x22 with files, 0x21 without.
void write_system(const e2e::sandbox &box, const std::string &a, const std::string &c)
{
    std::string krdev = box.path("unit.krdev").string();
    ASSERT_TRUE(pkgtest::write_zip(krdev, {pkgtest::file("krdev.json", R"({"DATABASE": "db.json", "VERSION": "1"})"),
                                           pkgtest::file("db.json", db_json)}));
    std::string unit = box.read_file("unit.krdev");
    ASSERT_TRUE(pkgtest::write_zip(
        box.path("plant.krsys").string(),
        {pkgtest::file("krsys.json", R"({"DEVS": [{"NODEID": 32, "KRDEV": "unit.krdev", "PARAM": "a.json"},
                                                  {"NODEID": 33, "KRDEV": "unit.krdev"},
                                                  {"NODEID": 34, "KRDEV": "unit.krdev", "PARAM": "c.json"}]})"),
         pkgtest::file("unit.krdev", unit), pkgtest::file("a.json", a), pkgtest::file("c.json", c)}));
}

TEST(LoadParamSystem, ASystemLoadsWithEmcyOffAndOneStoreAndResetEach)
{
    Bench b;
    e2e::sandbox box;
    write_system(box, param_file(32), param_file(34));
    e2e::result r = b.krcan(box, {"--loadparam", "plant.krsys"}, "2\n");
    ASSERT_EQ(r.exit_code, 0) << all(r);
    EXPECT_TRUE(has(r.out, "Loaded parameters to 2/2 device(s).\n")) << r.out;
    EXPECT_TRUE(has(r.out, "(node 0x21) has no bundled parameters; skipping.")) << r.out;
    size_t asked = 0;
    for (size_t p = 0; (p = r.err.find("Which gain?", p)) != std::string::npos; p++) asked++;
    EXPECT_EQ(asked, 1u) << r.err;
    for (uint8_t n : {0x20, 0x22}) {
        SCOPED_TRACE(n);
        EXPECT_EQ(b.value(n, 0x2000), 12u);
        // Suppressed before the first parameter, re-enabled before the one store.
        std::vector<uint16_t> want = {0x2020, 0x2000, 0x2020, 0x1010};
        EXPECT_EQ(b.written(n), want);
        EXPECT_EQ(b.value(n, 0x2020), 0u);
        EXPECT_EQ(b.resets(n), 1u);
    }
    EXPECT_TRUE(b.written(0x21).empty());
    EXPECT_EQ(b.resets(0x21), 0u);
}

// A device's file that also writes another node switches that node's EMCY messages off and on like the
// rest; a device the user skips leaves the run successful, as in a run of files.
TEST(LoadParamSystem, AFileOfTwoDevicesAndASkippedDevice)
{
    Bench b;
    e2e::sandbox box;
    std::string two = param_file(32);
    std::string second = param_file(33);
    two = two.substr(0, two.find("\"CAN IF VERSION\"")) + "\"DEVS\": [{" + two.substr(two.find("\"CAN IF VERSION\"")) +
          ", {" + second.substr(second.find("\"CAN IF VERSION\"")) + "]}";
    write_system(box, two,
                 R"({"NODEID": 34, "PARAMS": [{"MAININDEX": "0x2000", "TYPE": "CANOPEN_UNSIGNED32", "DATA": 5}]})");
    e2e::result r = b.krcan(box, {"--loadparam", "plant.krsys"}, "2\nskip\n");
    EXPECT_EQ(r.exit_code, 0) << all(r);
    std::vector<uint16_t> want = {0x2020, 0x2000, 0x2020, 0x1010};
    EXPECT_EQ(b.written(0x21), want) << all(r);
    EXPECT_EQ(b.value(0x21, 0x2000), 12u);
    EXPECT_EQ(b.written(0x22), (std::vector<uint16_t>{0x2020, 0x2020})) << "suppressed and re-enabled only";
    EXPECT_EQ(b.value(0x22, 0x2000), 0u);
}

TEST(LoadParamSystem, FailuresAbortsAndFailedStores)
{
    {
        SCOPED_TRACE("the last device fails: stopped without a question, the first stored and reset");
        Bench b;
        e2e::sandbox box;
        write_system(box, param_file(32), param_file(34, bad_entry));
        e2e::result r = b.krcan(box, {"--loadparam", "plant.krsys"}, "1\nq\n");
        EXPECT_EQ(r.exit_code, 1) << all(r);
        EXPECT_TRUE(has(r.out, "Loaded parameters to 1/2 device(s). The load was aborted by the user.")) << r.out;
        EXPECT_FALSE(has(r.err, "have not been loaded yet")) << r.err;
        EXPECT_EQ(b.value(0x20, 0x2000), 11u);
        EXPECT_EQ(b.resets(0x20), 1u);
        EXPECT_EQ(b.resets(0x22), 0u);
        std::vector<uint16_t> w = b.written(0x22);
        EXPECT_EQ(std::count(w.begin(), w.end(), 0x1010), 0) << "nothing stored on the failed device";
        EXPECT_EQ(b.value(0x22, 0x2020), 0u) << "EMCY re-enabled";
    }
    {
        SCOPED_TRACE("'abort' after the first device leaves the later one untouched");
        Bench b;
        e2e::sandbox box;
        write_system(box, param_file(32, bad_entry), param_file(34));
        e2e::result r = b.krcan(box, {"--loadparam", "plant.krsys"}, "1\nq\nabort\n");
        EXPECT_EQ(r.exit_code, 1) << all(r);
        EXPECT_TRUE(has(r.err, "1 device(s) of this load have not been loaded yet")) << r.err;
        EXPECT_TRUE(has(r.out, "Loaded parameters to 0/2 device(s). The load was aborted by the user.")) << r.out;
        EXPECT_EQ(b.value(0x22, 0x2000), 0u);
        EXPECT_EQ(b.resets(0x20) + b.resets(0x22), 0u);
    }
    {
        SCOPED_TRACE("the second device's file is refused before the first device is touched");
        Bench b;
        e2e::sandbox box;
        write_system(box, param_file(32), R"({"NODEID": 34, "PARAMS": 7})");
        e2e::result r = b.krcan(box, {"--loadparam", "plant.krsys"}, "1\n");
        EXPECT_EQ(r.exit_code, 1) << all(r);
        EXPECT_TRUE(has(r.out, "Nothing was written to the device(s).")) << r.out;
        EXPECT_TRUE(b.written(0x20).empty() && b.written(0x22).empty()) << all(r);
    }
    {
        SCOPED_TRACE("end of input at the query: no answer is taken, nothing is written");
        Bench b;
        e2e::sandbox box;
        write_system(box, param_file(32), param_file(34));
        e2e::result r = b.krcan(box, {"--sys", "plant.krsys", "--loadparam"}, "");
        EXPECT_EQ(r.exit_code, 1) << all(r);
        EXPECT_TRUE(has(r.out, "got no answer")) << r.out;
        for (uint8_t n : {0x20, 0x22}) {
            EXPECT_TRUE(b.written(n).empty()) << (int)n;
            EXPECT_EQ(b.resets(n), 0u);
        }
    }
    {
        SCOPED_TRACE("a failed store: that device is neither reset nor counted");
        Bench b;
        sim_fault_st f;
        f.index = 0x1010;
        f.dir = SIM_DIR_DOWNLOAD;
        f.code = 0x08000020;
        f.count = -1;
        sim_dev_add_fault(b.runner, 0x20, f);
        e2e::sandbox box;
        write_system(box, param_file(32), param_file(34));
        e2e::result r = b.krcan(box, {"--loadparam", "plant.krsys"}, "2\n");
        EXPECT_EQ(r.exit_code, 1) << all(r);
        EXPECT_TRUE(has(r.out, "Manual reset is necessary")) << r.out;
        EXPECT_TRUE(has(r.out, "Loaded parameters to 1/2 device(s).\n")) << r.out;
        EXPECT_EQ(b.resets(0x20), 0u);
        EXPECT_EQ(b.resets(0x22), 1u);
    }
}

TEST(LoadParamSystem, ADevicePackageIsSavedAndLoadsBack)
{
    Bench b;
    e2e::sandbox box;
    write_system(box, param_file(32), param_file(34));
    sim_dev_set(b.runner, 0x21, 0x2000, 0, {0x78, 0x56, 0x34, 0x12});
    e2e::result r = b.krcan(box, {"--dev", "unit.krdev:0x21", "--dev", "unit.krdev:0x22", "--saveparam", "unit.json"});
    ASSERT_EQ(r.exit_code, 0) << all(r);
    std::string saved = box.read_file("unit.json");
    EXPECT_TRUE(has(saved, "\"NODEID\":\"0x21\"")) << saved;
    EXPECT_TRUE(has(saved, "\"NODEID\":\"0x22\"")) << saved;
    // One device's node id does not hold over the next device's database.
    EXPECT_FALSE(has(all(r), "holds over")) << all(r);
    EXPECT_TRUE(has(saved, "305419896")) << saved;
    EXPECT_TRUE(has(r.err, "Saving parameters for device")) << r.err;
    sim_dev_set(b.runner, 0x21, 0x2000, 0, {0, 0, 0, 0});
    box.write_file("db.json", db_json);
    r = b.krcan(box, {"--db", "db.json", "--loadparam", "unit.json"});
    ASSERT_EQ(r.exit_code, 0) << all(r);
    EXPECT_EQ(b.value(0x21, 0x2000), 0x12345678u);
    EXPECT_EQ(b.resets(0x21), 1u);
}

} // namespace
