// Loading parameter files, end to end: the CAN interface version check against the device, EMCY
// suppression through the device database, a device that never answers, and the arguments that
// load nothing.
#include <gtest/gtest.h>

#include "e2e/e2e.h"
#include "e2e/sim_bench.h"
#include "sim_client.h"
#include "sim_device.h"
#include "sim_hub.h"

namespace {

struct Bench : simbench::bench {
    explicit Bench(std::vector<uint8_t> nodes, uint32_t can_if = 1) : simbench::bench(nodes, can_if)
    {
        for (uint8_t n : nodes) {
            sim_dev_add_object(runner, n, 0x2000, 0, object(SIM_U32, {0, 0, 0, 0}));
            sim_dev_add_object(runner, n, 0x2003, 0, object(SIM_U16, {0, 0}));
            sim_dev_add_object(runner, n, 0x2020, 1, object(SIM_U8, {0}));
        }
    }
    std::vector<uint16_t> written(uint8_t node)
    {
        std::vector<uint16_t> out;
        for (auto &w : sim_dev_write_log(runner, node)) out.push_back(w.index);
        return out;
    }
};

std::string all(const e2e::result &r) { return r.out + r.err; }

std::string device_file(uint8_t node, uint32_t version, uint32_t value)
{
    char buf[512];
    snprintf(buf, sizeof buf,
             R"({"NODEID": "0x%x", "CAN IF VERSION": %u, "CAN IF MINDEX": "0x2fff", "CAN IF SINDEX": 0,
                "PARAMS": [{"MAININDEX": "0x2000", "TYPE": "CANOPEN_UNSIGNED32", "DATA": %u}]})",
             node, version, value);
    return buf;
}

// A database with revision notes and, when asked, an object that switches EMCY messages off. Its own
// node id (0x7E) names no device on the bus.
std::string database(const std::string &suppress)
{
    std::string objects;
    if (!suppress.empty()) objects = suppress;
    return R"({"DEV": "Unit", "NODEID": "0x7E",
      "REVISION_NOTES": [{"revision": 2, "notes": ["Note of two"]}, {"revision": 3, "notes": ["Note of three"]},
                         {"revision": 5, "notes": ["Note of five"]}],
      "OBJ_DICT": [)" +
           objects + "]}";
}

const char *suppress_2020 = R"({"name": "Suppress EMCY", "index": "0x2020", "type": "CANOPEN_UNSIGNED8",
   "permissions": "CANOPEN_RW", "subindex": 1, "default": 0, "dataptr": "&s"})";
const char *suppress_by_name = R"({"name": "suppress emcy messages", "index": "0x2003",
   "type": "CANOPEN_UNSIGNED16", "permissions": "CANOPEN_RW", "subindex": 0, "default": 0, "dataptr": "&s"})";
const char *other_object = R"({"name": "speed", "index": "0x2000", "type": "CANOPEN_UNSIGNED32",
   "permissions": "CANOPEN_RW", "subindex": 0, "default": 0, "dataptr": "&v"})";

TEST(LoadParamChecks, VersionMismatchShowsTheNotesBetweenAndHonoursTheAnswer)
{
    {
        SCOPED_TRACE("equal versions ask nothing");
        Bench b({0x20}, 3);
        e2e::sandbox box;
        box.write_file("a.json", device_file(0x20, 3, 5));
        e2e::result r = b.krcan(box, {"--loadparam", "a.json"});
        ASSERT_EQ(r.exit_code, 0) << all(r);
        EXPECT_EQ(r.err.find("differ"), std::string::npos) << r.err;
        EXPECT_EQ(b.value(0x20, 0x2000, 0), 5u);
    }
    for (std::string answer : {"\n", "skip\n", ""}) {
        SCOPED_TRACE("--db, answer '" + answer + "'");
        Bench b({0x20}, 3);
        e2e::sandbox box;
        box.write_file("db.json", database(suppress_2020));
        box.write_file("a.json", device_file(0x20, 1, 5));
        e2e::result r = b.krcan(box, {"--db", "db.json", "--loadparam", "a.json"}, answer);
        // End of input is no answer: the device is not loaded and the run fails, said once.
        ASSERT_EQ(r.exit_code, answer.empty() ? 1 : 0) << all(r);
        EXPECT_EQ(e2e::count(all(r), "End of input"), answer.empty() ? 1u : 0u) << all(r);
        EXPECT_NE(r.err.find("Note of two"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("Note of three"), std::string::npos);
        EXPECT_EQ(r.err.find("Note of five"), std::string::npos);
        bool loaded = answer == "\n";
        EXPECT_EQ(b.value(0x20, 0x2000, 0), loaded ? 5u : 0u);
        EXPECT_EQ(b.reset(0x20), loaded);
    }
    {
        SCOPED_TRACE("skipall skips the rest of its file; the next file loads");
        Bench b({0x20, 0x21, 0x22}, 3);
        e2e::sandbox box;
        box.write_file("db.json", database(suppress_2020));
        box.write_file("two.json", "{\"DEVS\": [" + device_file(0x20, 1, 5) + "," + device_file(0x21, 3, 6) + "]}");
        box.write_file("next.json", device_file(0x22, 3, 7));
        e2e::result r = b.krcan(box, {"--db", "db.json", "--loadparam", "two.json", "next.json"}, "skipall\n");
        ASSERT_EQ(r.exit_code, 0) << all(r);
        EXPECT_EQ(b.value(0x20, 0x2000, 0), 0u);
        EXPECT_EQ(b.value(0x21, 0x2000, 0), 0u);
        EXPECT_EQ(b.value(0x22, 0x2000, 0), 7u);
        EXPECT_TRUE(b.reset(0x22));
        EXPECT_FALSE(b.reset(0x20));
    }
    {
        SCOPED_TRACE("no database: one typed at the question shows its notes; the device keeps its address");
        Bench b({0x20}, 3);
        e2e::sandbox box;
        box.write_file("db.json", database(suppress_2020));
        box.write_file("a.json", "{\"DEVS\": [" + device_file(0x20, 1, 5) + "]}");
        e2e::result r = b.krcan(box, {"--loadparam", "a.json"}, "db.json\n\n");
        ASSERT_EQ(r.exit_code, 0) << all(r);
        EXPECT_NE(r.err.find("Note of three"), std::string::npos) << r.err;
        EXPECT_EQ(b.value(0x20, 0x2000, 0), 5u);
        EXPECT_TRUE(b.reset(0x20));
    }
}

TEST(LoadParamChecks, EmcySuppressionFollowsTheDatabase)
{
    {
        SCOPED_TRACE("an object found by its name, at its own width");
        Bench b({0x20});
        e2e::sandbox box;
        box.write_file("db.json", database(suppress_by_name));
        box.write_file("a.json", device_file(0x20, 1, 5));
        e2e::result r = b.krcan(box, {"--db", "db.json", "--loadparam", "a.json"});
        ASSERT_EQ(r.exit_code, 0) << all(r);
        std::vector<uint16_t> w = b.written(0x20);
        std::vector<uint16_t> want = {0x2003, 0x2000, 0x2003, 0x1010};
        EXPECT_EQ(w, want);
        for (auto &entry : sim_dev_write_log(b.runner, 0x20))
            if (entry.index == 0x2003) {
                EXPECT_EQ(entry.size, 2u);
            }
        EXPECT_EQ(b.value(0x20, 0x2003, 0), 0u);
    }
    {
        SCOPED_TRACE("a database without one: one warning for all devices, nothing written for it");
        Bench b({0x20, 0x21});
        e2e::sandbox box;
        box.write_file("db.json", database(other_object));
        box.write_file("two.json", "{\"DEVS\": [" + device_file(0x20, 1, 5) + "," + device_file(0x21, 1, 6) + "]}");
        e2e::result r = b.krcan(box, {"--db", "db.json", "--loadparam", "two.json"});
        ASSERT_EQ(r.exit_code, 0) << all(r);
        EXPECT_EQ(e2e::count(r.out, "defines no \"suppress emcy messages\" parameter"), 1u) << r.out;
        std::vector<uint16_t> want = {0x2000, 0x1010};
        EXPECT_EQ(b.written(0x20), want);
        EXPECT_EQ(b.written(0x21), want);
    }
}

TEST(LoadParamChecks, ASilentDeviceFailsTheRun)
{
    Bench b({0x20});
    sim_fault_st f;
    f.kind = SIM_FAULT_SILENT;
    f.index = 0x2000;
    f.count = -1;
    sim_dev_add_fault(b.runner, 0x20, f);
    e2e::sandbox box;
    box.write_file("a.json", device_file(0x20, 1, 5));
    e2e::result r = b.krcan(box, {"--loadparam", "a.json"});
    EXPECT_EQ(r.exit_code, 1) << all(r);
    EXPECT_NE(r.out.find("SDO error"), std::string::npos) << r.out;
    EXPECT_FALSE(b.reset(0x20));
    EXPECT_EQ(b.value(0x20, 0x2020, 1), 0u);
}

// The device stops answering while a write waits: switching its EMCY messages on again fails too,
// and that is what the run says, with --silent or without.
TEST(LoadParamChecks, ADeviceThatFallsSilentKeepsEmcyOffAndSaysSo)
{
    for (bool silent : {true, false}) {
        SCOPED_TRACE(silent ? "--silent" : "not silent");
        Bench b({0x20});
        sim_fault_st stuck;
        stuck.kind = SIM_FAULT_SILENT;
        stuck.index = 0x2000;
        stuck.count = -1;
        sim_dev_add_fault(b.runner, 0x20, stuck);
        e2e::sandbox box;
        box.write_file("a.json", device_file(0x20, 1, 5));
        std::vector<std::string> args = {"--can", b.channel(), "--loadparam", "a.json"};
        if (silent) args.insert(args.begin(), "--silent");
        e2e::options o;
        o.stdin_text = "q\n";
        e2e::background k(box, KRCAN_BIN, args, o);
        ASSERT_TRUE(k.wait_for_output("(0x2000) = 0x5", 60000)) << k.out();
        ASSERT_EQ(b.value(0x20, 0x2020, 1), 1u);
        sim_fault_st gone;
        gone.kind = SIM_FAULT_SILENT;
        gone.count = -1;
        sim_dev_add_fault(b.runner, 0x20, gone);
        EXPECT_TRUE(k.wait_end(90000));
        e2e::result r = k.stop();
        EXPECT_EQ(r.exit_code, 1) << all(r);
        EXPECT_NE(r.out.find("EMCY messages of node 0x20 could not be switched on again"), std::string::npos) << r.out;
        EXPECT_EQ(all(r).find("has no \"suppress emcy messages\" parameter"), std::string::npos) << all(r);
        EXPECT_EQ(b.value(0x20, 0x2020, 1), 1u);
    }
}

TEST(LoadParamChecks, ArgumentsThatLoadNothingFailTheRun)
{
    Bench b({0x20});
    e2e::sandbox box;
    box.write_file("a.json", device_file(0x20, 1, 5));
    for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
             {"--loadparam", "x.krdev"},
             {"--loadparam"},
             {"--loadparam", "missing.krsys"},
             {"--loadparam", "x.krsys:0x20:0x21"},
             {"--loadparam", "a.json:0x0"},
         }) {
        SCOPED_TRACE(args.back());
        e2e::result r = b.krcan(box, args);
        EXPECT_EQ(r.exit_code, 1) << all(r);
        EXPECT_EQ(b.written(0x20).size(), 0u);
    }
}

} // namespace
