// Loading parameter files, end to end: krcan against simulated devices on the virtual bus. Each case
// checks what the devices hold and have stored afterwards, their NMT logs and the exit status.
#include <gtest/gtest.h>

#include "e2e/e2e.h"
#include "e2e/sim_bench.h"
#include "sim_client.h"
#include "sim_device.h"
#include "sim_hub.h"
#include "sim_nodeid_opdb.h"

namespace {

// A hub and simulated devices, each with the objects the files below write.
class Bench : public simbench::bench {
public:
    explicit Bench(std::vector<uint8_t> nodes, uint32_t can_if = 1) : simbench::bench(nodes, can_if)
    {
        for (uint8_t n : nodes) {
            sim_dev_add_object(runner, n, 0x2000, 0, object(SIM_U32, le(0, 4)));
            sim_dev_add_object(runner, n, 0x2001, 0, object(SIM_U8, {0x01}));
            sim_dev_add_object(runner, n, 0x2002, 0, object(SIM_STR, text("none"), 64));
            sim_dev_add_object(runner, n, 0x2003, 0, object(SIM_U16, le(0, 2)));
            for (uint8_t s = 1; s <= 4; s++) sim_dev_add_object(runner, n, 0x2100, s, object(SIM_U16, le(0, 2)));
            sim_dev_add_object(runner, n, 0x2020, 1, object(SIM_U8, {0}));
        }
    }
    e2e::result krcan(const e2e::sandbox &box, std::vector<std::string> args, const std::string &input = "",
                      int timeout_ms = 60000)
    {
        return simbench::bench::krcan(box, std::move(args), input, timeout_ms);
    }
    size_t writes(uint8_t node, uint16_t index) { return sim_dev_write_count(runner, node, index); }
    // Waits for the boot-ups that follow a reset (the device sends one at start).
    bool booted(uint8_t node, uint32_t bootups)
    {
        for (int i = 0; i < 1500; i++) {
            if (sim_dev_bootups(runner, node) >= bootups) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }
};

std::string all(const e2e::result &r) { return r.out + r.err; }

// ---- Forms: the same three-device file in JSON and YAML ----

const char *forms_json = R"({
  "DEVS": [
    {"CAN IF VERSION": 1, "CAN IF MINDEX": "0x2fff", "CAN IF SINDEX": 0, "NODEID": "0x20",
     "PARAMS": [
       {"INFO": "max", "MAININDEX": "0x2000", "SUBINDEX": 0, "TYPE": "CANOPEN_UNSIGNED32", "DATA": "0xFFFFFFFF"},
       {"INFO": "flags", "MAININDEX": "0x2001", "TYPE": "CANOPEN_UNSIGNED8", "WRITE": "OR", "DATA": "0x10"},
       {"INFO": "name", "MAININDEX": "0x2002", "TYPE": "CANOPEN_STRING", "DATA": "abc"},
       {"INFO": "table", "MAININDEX": "0x2100", "TYPE": "CANOPEN_ARRAY16", "SUBINDEX_OFFSET": 2, "DATA": [5, 6]}
     ]},
    {"CAN IF VERSION": 1, "CAN IF MINDEX": "0x2fff", "CAN IF SINDEX": 0, "NODEID": 33,
     "PARAMS": [
       {"INFO": "group", "MAININDEX": "0x2100", "TYPE": "CANOPEN_UNSIGNED16", "SUBINDEX": 3,
        "DATA": [{"INFO": "first", "SUBINDEX": 1, "DATA": 7}, {"INFO": "second", "DATA": {"SUBINDEX": 2, "DATA": 8}}]},
       {"INFO": "serial", "MAININDEX": "0x2002", "TYPE": "CANOPEN_STRING", "DATA": "12345"}
     ]},
    {"CAN IF VERSION": 1, "CAN IF MINDEX": "0x2fff", "CAN IF SINDEX": 0, "NODEID": "0x22",
     "PARAMS": [{"MAININDEX": "0x2000", "TYPE": "CANOPEN_SIGNED32", "DATA": -2}]}
  ]
})";

const char *forms_yaml = R"(DEVS:
  - CAN IF VERSION: 1
    CAN IF MINDEX: 0x2fff
    CAN IF SINDEX: 0
    NODEID: 0x20
    PARAMS:
      - INFO: max
        MAININDEX: 0x2000
        SUBINDEX: 0
        TYPE: CANOPEN_UNSIGNED32
        DATA: "0xFFFFFFFF"
      - INFO: flags
        MAININDEX: 0x2001
        TYPE: CANOPEN_UNSIGNED8
        WRITE: OR
        DATA: 0x10
      - INFO: name
        MAININDEX: 0x2002
        TYPE: CANOPEN_STRING
        DATA: abc
      - INFO: table
        MAININDEX: 0x2100
        TYPE: CANOPEN_ARRAY16
        SUBINDEX_OFFSET: 2
        DATA: [5, 6]
  - CAN IF VERSION: 1
    CAN IF MINDEX: 0x2fff
    CAN IF SINDEX: 0
    NODEID: 33
    PARAMS:
      - INFO: group
        MAININDEX: 0x2100
        TYPE: CANOPEN_UNSIGNED16
        SUBINDEX: 3
        DATA:
          - INFO: first
            SUBINDEX: 1
            DATA: 7
          - INFO: second
            DATA:
              SUBINDEX: 2
              DATA: 8
      - INFO: serial
        MAININDEX: 0x2002
        TYPE: CANOPEN_STRING
        DATA: "12345"
  - CAN IF VERSION: 1
    CAN IF MINDEX: 0x2fff
    CAN IF SINDEX: 0
    NODEID: 0x22
    PARAMS:
      - MAININDEX: 0x2000
        TYPE: CANOPEN_SIGNED32
        DATA: -2
)";

TEST(LoadParam, FormsInJsonAndYamlReachEachDeviceStoredAndReset)
{
    for (std::string name : {"forms.json", "forms.yaml"}) {
        SCOPED_TRACE(name);
        Bench b({0x20, 0x21, 0x22});
        e2e::sandbox box;
        box.write_file(name, name == "forms.json" ? forms_json : forms_yaml);
        e2e::result r = b.krcan(box, {"--loadparam", name});
        ASSERT_EQ(r.exit_code, 0) << all(r);
        EXPECT_EQ(e2e::count(all(r), "User input requested"), 0u) << all(r);

        EXPECT_EQ(b.value(0x20, 0x2000, 0), 0xFFFFFFFFu);
        EXPECT_EQ(b.stored(0x20, 0x2000, 0), 0xFFFFFFFFu);
        EXPECT_EQ(b.value(0x20, 0x2001, 0), 0x11u); // OR with the device's 0x01
        EXPECT_NE(r.out.find("|= 0x10 (0x1 -> 0x11)"), std::string::npos) << r.out;
        EXPECT_EQ(b.raw(0x20, 0x2002, 0), text("abc")); // 4 bytes with the NUL
        EXPECT_EQ(b.value(0x20, 0x2100, 3), 5u);        // offset 2: first element to sub 3
        EXPECT_EQ(b.value(0x20, 0x2100, 4), 6u);
        EXPECT_EQ(b.value(0x20, 0x2100, 1), 0u);
        // Nested entries take the parent's index and type but not its sub-index.
        EXPECT_EQ(b.value(0x21, 0x2100, 1), 7u);
        EXPECT_EQ(b.value(0x21, 0x2100, 2), 8u);
        EXPECT_EQ(b.value(0x21, 0x2100, 3), 0u);
        EXPECT_EQ(b.raw(0x21, 0x2002, 0), text("12345")); // digits of a string type stay text
        EXPECT_EQ(b.value(0x22, 0x2000, 0), 0xFFFFFFFEu);
        for (uint8_t n : {0x20, 0x21, 0x22}) {
            EXPECT_TRUE(b.reset(n)) << (int)n;
            EXPECT_TRUE(b.booted(n, 2)) << (int)n;
            // EMCY suppression (the assumed 0x2020:1) is on before the first parameter and off again
            // before the store.
            auto log = sim_dev_write_log(b.runner, n);
            ASSERT_GE(log.size(), 4u);
            EXPECT_EQ(log.front().index, 0x2020);
            EXPECT_EQ(log[log.size() - 2].index, 0x2020);
            EXPECT_EQ(log.back().index, 0x1010);
            EXPECT_EQ(b.value(n, 0x2020, 1), 0u);
        }
        // After the reset the stored values are what the devices hold.
        EXPECT_EQ(b.value(0x21, 0x2100, 2), 8u);
    }
}

// ---- Queries answered through a pipe ----

const char *queries_a = R"({
  "QUERIES": [
    {"NAME": "SIZE", "QUESTION": "Which size?", "ANSWERS": ["Small", "Large", "Huge"]},
    {"NAME": "EMPTY", "QUESTION": "Never asked", "ANSWERS": []},
    {"NAME": "COLOUR", "QUESTION": "Which colour?", "ANSWERS": ["Red", "Blue"]}
  ],
  "DEVS": [
    {"COLOUR": {"Red": {"NODEID": "0x20", "CAN IF VERSION": 1, "CAN IF MINDEX": "0x2fff", "CAN IF SINDEX": 0,
                        "PARAMS": []},
                "Blue": {"NODEID": "0x21", "CAN IF VERSION": 1, "CAN IF MINDEX": "0x2fff", "CAN IF SINDEX": 0,
                         "PARAMS": [
       {"INFO": "by text", "MAININDEX": "0x2000", "TYPE": "CANOPEN_UNSIGNED32", "DATA": {"SIZE": {"Small": 1, "Large": 2}}},
       {"INFO": "by index", "MAININDEX": "0x2003", "TYPE": "CANOPEN_UNSIGNED16", "DATA": {"SIZE": [10, 20, 30]}},
       {"INFO": "switch", "MAININDEX": "0x2100", "TYPE": "CANOPEN_UNSIGNED16", "SIZE": [[1], [2, 3], [4]]},
       {"INFO": "short switch", "MAININDEX": "0x2100", "SUBINDEX": 4, "TYPE": "CANOPEN_UNSIGNED16", "SIZE": [7]},
       {"INFO": "keyed index", "MAININDEX": {"SIZE": {"Small": "0x2001"}}, "TYPE": "CANOPEN_UNSIGNED8", "DATA": 9},
       {"INFO": "missing", "MAININDEX": "0x2002", "TYPE": "CANOPEN_STRING", "DATA": {"SIZE": {"Huge": "big"}}}
     ]}}}
  ]
})";

const char *queries_b = R"({
  "QUERIES": [{"NAME": "SIZE", "QUESTION": "Which size?", "ANSWERS": ["Small", "Large", "Huge"]}],
  "NODEID": "0x22", "CAN IF VERSION": 1, "CAN IF MINDEX": "0x2fff", "CAN IF SINDEX": 0,
  "PARAMS": [{"MAININDEX": "0x2000", "TYPE": "CANOPEN_UNSIGNED32", "DATA": {"SIZE": [100, 200, 300]}}]
})";

TEST(LoadParam, QueriesFromAPipeAreAskedOnceAndSelectValuesAndDevices)
{
    Bench b({0x20, 0x21, 0x22});
    e2e::sandbox box;
    box.write_file("a.json", queries_a);
    box.write_file("b.json", queries_b);
    sim_dev_set(b.runner, 0x21, 0x2100, 4, le(0x55, 2));
    // SIZE: 9 is out of range and asked again, then 2 (Large) on an over-long line whose tail ("1")
    // must not answer COLOUR; COLOUR: 2 (Blue). b.json asks nothing.
    e2e::result r = b.krcan(box, {"--loadparam", "a.json", "b.json"}, "9\n2" + std::string(140, ' ') + "1\n2\n");
    ASSERT_EQ(r.exit_code, 0) << all(r);
    EXPECT_EQ(e2e::count(r.err, "** Which size? **"), 2u) << r.err;
    EXPECT_EQ(e2e::count(r.err, "** Which colour? **"), 1u) << r.err;
    EXPECT_EQ(e2e::count(r.err, "Never asked"), 0u);
    EXPECT_NE(all(r).find("ERROR in query 'EMPTY'"), std::string::npos);
    EXPECT_NE(r.out.find("Query 'SIZE': selected (2) Large"), std::string::npos) << r.out;

    // The device chosen by COLOUR (Blue: 0x21) is loaded; Red's (0x20) is not.
    EXPECT_EQ(b.value(0x21, 0x2000, 0), 2u);
    EXPECT_EQ(b.value(0x21, 0x2003, 0), 20u);
    EXPECT_EQ(b.value(0x21, 0x2100, 1), 2u);
    EXPECT_EQ(b.value(0x21, 0x2100, 2), 3u);
    EXPECT_EQ(b.value(0x21, 0x2100, 4), 0x55u); // the switch array has no element for Large: skipped
    EXPECT_NE(r.out.find("no value at answer index 1 for 'short switch'"), std::string::npos) << r.out;
    EXPECT_EQ(b.value(0x21, 0x2001, 0), 0x01u); // its index does not resolve for Large: skipped, not 0
    EXPECT_EQ(b.writes(0x21, 0x0000), 0u);
    EXPECT_EQ(b.raw(0x21, 0x2002, 0), text("none")); // no "Large" key: left as it was
    EXPECT_TRUE(b.reset(0x21));
    EXPECT_FALSE(b.reset(0x20));
    EXPECT_EQ(sim_dev_write_log(b.runner, 0x20).size(), 0u);
    // The second file uses the first file's answer.
    EXPECT_EQ(b.value(0x22, 0x2000, 0), 200u);
    EXPECT_EQ(b.stored(0x22, 0x2000, 0), 200u);
}

// ---- Node ids ----

const char *one_dev = R"({"NODEID": "0x30", "CAN IF VERSION": 1, "CAN IF MINDEX": "0x2fff", "CAN IF SINDEX": 0,
  "PARAMS": [{"INFO": "node", "MAININDEX": "0x100B", "TYPE": "CANOPEN_UNSIGNED8", "DATA": "0x30"},
             {"INFO": "value", "MAININDEX": "0x2000", "TYPE": "CANOPEN_UNSIGNED32", "DATA": 77}]})";

TEST(LoadParam, ANewNodeIdIsWrittenOnlyWhenConfirmed)
{
    {
        SCOPED_TRACE("confirmed: the device moves to the file's id after the reset");
        Bench b({0x21});
        e2e::sandbox box;
        box.write_file("one.json", one_dev);
        e2e::result r = b.krcan(box, {"--loadparam", "one.json:0x21"}, "\n");
        ASSERT_EQ(r.exit_code, 0) << all(r);
        ASSERT_TRUE(b.booted(0x30, 2)) << all(r);
        EXPECT_EQ(b.value(0x30, 0x100B, 0), 0x30u);
        EXPECT_EQ(b.stored(0x30, 0x100B, 0), 0x30u);
        EXPECT_EQ(b.value(0x30, 0x2000, 0), 77u);
    }
    for (std::string input : {"skip\n", ""}) {
        SCOPED_TRACE("refused: '" + input + "'");
        Bench b({0x21});
        e2e::sandbox box;
        box.write_file("one.json", one_dev);
        e2e::result r = b.krcan(box, {"--loadparam", "one.json:0x21"}, input);
        // End of input is no answer: the device is skipped and the run fails.
        EXPECT_EQ(r.exit_code, input.empty() ? 1 : 0) << all(r);
        EXPECT_EQ(sim_dev_write_log(b.runner, 0x21).size(), 0u) << all(r);
        EXPECT_FALSE(b.reset(0x21));
    }
    {
        SCOPED_TRACE("another device answers at the new id");
        Bench b({0x21, 0x30});
        e2e::sandbox box;
        box.write_file("one.json", one_dev);
        e2e::result r = b.krcan(box, {"--loadparam", "one.json:0x21"}, "\n");
        EXPECT_EQ(r.exit_code, 1) << all(r);
        EXPECT_NE(r.out.find("node id 0x30 is taken by another device"), std::string::npos) << r.out;
        EXPECT_EQ(sim_dev_write_log(b.runner, 0x21).size(), 0u) << all(r);
        EXPECT_FALSE(b.reset(0x21));
    }
    {
        SCOPED_TRACE("the new id is refused by the device");
        Bench b({0x21});
        sim_fault_st f;
        f.index = 0x100B;
        f.code = 0x06090030;
        sim_dev_add_fault(b.runner, 0x21, f);
        e2e::sandbox box;
        box.write_file("one.json", one_dev);
        e2e::result r = b.krcan(box, {"--loadparam", "one.json:0x21"}, "\n");
        EXPECT_EQ(r.exit_code, 1) << all(r);
        EXPECT_NE(r.out.find("Writing the new NODEID 0x30 failed."), std::string::npos) << r.out;
        EXPECT_EQ(b.value(0x21, 0x2000, 0), 0u);
        EXPECT_EQ(b.writes(0x21, 0x1010), 0u);
        EXPECT_FALSE(b.reset(0x21));
    }
    {
        SCOPED_TRACE("--nodeid keeps the node id, also against the file's 0x100B entry");
        Bench b({0x21});
        e2e::sandbox box;
        box.write_file("one.json", one_dev);
        e2e::result r = b.krcan(box, {"--nodeid", "0x21", "--loadparam", "one.json"});
        ASSERT_EQ(r.exit_code, 0) << all(r);
        EXPECT_EQ(b.writes(0x21, 0x100B), 0u);
        EXPECT_EQ(b.value(0x21, 0x2000, 0), 77u);
        EXPECT_TRUE(b.booted(0x21, 2));
        EXPECT_EQ(b.value(0x21, 0x100B, 0), 0x21u);
    }
}

TEST(LoadParam, NodeIdListsSelectDevicesOfTheFile)
{
    Bench b({0x20, 0x21, 0x22});
    e2e::sandbox box;
    box.write_file("forms.json", forms_json);
    e2e::result r = b.krcan(box, {"--loadparam", "forms.json:0x20:0x22"});
    ASSERT_EQ(r.exit_code, 0) << all(r);
    EXPECT_EQ(b.value(0x20, 0x2000, 0), 0xFFFFFFFFu);
    EXPECT_EQ(b.value(0x22, 0x2000, 0), 0xFFFFFFFEu);
    EXPECT_EQ(sim_dev_write_log(b.runner, 0x21).size(), 0u);
    EXPECT_NE(all(r).find("Node 0x21 is not in the given node id list, skipping it."), std::string::npos);
    EXPECT_TRUE(b.reset(0x20));
    EXPECT_FALSE(b.reset(0x21));

    // A listed id that no device of the file has fails the command; the others still load.
    Bench c({0x20, 0x21, 0x22});
    r = c.krcan(box, {"--loadparam", "forms.json:0x21:0x40"});
    EXPECT_EQ(r.exit_code, 1) << all(r);
    EXPECT_EQ(c.raw(0x21, 0x2002, 0), text("12345"));
    r = c.krcan(box, {"--loadparam", "forms.json:0x40"});
    EXPECT_EQ(r.exit_code, 1) << all(r);
    EXPECT_NE(r.out.find("No device with node id 0x40 was found in 'forms.json'."), std::string::npos) << r.out;
    // A bad list loads nothing.
    r = c.krcan(box, {"--loadparam", "forms.json:0x20:0x80"});
    EXPECT_EQ(r.exit_code, 1) << all(r);

    // A postfix belongs to its own file: the next file's device keeps its own node id.
    Bench d({0x20, 0x21});
    for (int node : {0x20, 0x21})
        box.write_file("one" + std::to_string(node) + ".json",
                       R"({"CAN IF VERSION": 1, "CAN IF MINDEX": "0x2fff", "CAN IF SINDEX": 0, "NODEID": )" +
                           std::to_string(node) +
                           R"(, "PARAMS": [{"MAININDEX": "0x2000", "TYPE": "CANOPEN_UNSIGNED32", "DATA": )" +
                           std::to_string(node) + "}]}");
    r = d.krcan(box, {"--loadparam", "one32.json:0x20", "one33.json"});
    EXPECT_EQ(r.exit_code, 0) << all(r);
    EXPECT_EQ(d.value(0x20, 0x2000, 0), 0x20u);
    EXPECT_EQ(d.value(0x21, 0x2000, 0), 0x21u);
}

// ---- Failures ----

const char *two_params = R"({"NODEID": "0x20", "CAN IF VERSION": 1, "CAN IF MINDEX": "0x2fff", "CAN IF SINDEX": 0,
  "PARAMS": [{"INFO": "first", "MAININDEX": "0x2000", "TYPE": "CANOPEN_UNSIGNED32", "DATA": 5},
             {"INFO": "second", "MAININDEX": "0x2003", "TYPE": "CANOPEN_UNSIGNED16", "DATA": 6}]})";

TEST(LoadParam, AFailedWriteIsSkippedOrQuitsAsAnswered)
{
    for (std::string input : {"\n", "f\n", "q\n", "", "what\nq\n"}) {
        SCOPED_TRACE("answer '" + input + "'");
        Bench b({0x20});
        sim_fault_st f;
        f.index = 0x2000;
        f.code = 0x06090030;
        sim_dev_add_fault(b.runner, 0x20, f);
        e2e::sandbox box;
        box.write_file("p.json", two_params);
        e2e::result r = b.krcan(box, {"--loadparam", "p.json"}, input);
        EXPECT_EQ(r.exit_code, 1) << all(r);
        EXPECT_NE(r.out.find("SDO error 0x06090030"), std::string::npos) << r.out;
        bool skipped = input == "\n" || input == "f\n";
        EXPECT_EQ(b.value(0x20, 0x2003, 0), skipped ? 6u : 0u);
        EXPECT_EQ(b.writes(0x20, 0x1010), skipped ? 1u : 0u);
        EXPECT_EQ(b.reset(0x20), skipped);
        EXPECT_EQ(b.value(0x20, 0x2020, 1), 0u); // EMCY re-enabled whatever happened
    }
}

TEST(LoadParam, UnsupportedAccessIsRetriedAndAFailedStoreResetsNoDevice)
{
    Bench b({0x20, 0x21});
    sim_fault_st f;
    f.index = 0x2000;
    f.code = 0x06010000;
    f.count = 2;
    sim_dev_add_fault(b.runner, 0x20, f);
    sim_fault_st s;
    s.index = 0x1010;
    s.code = 0x08000020;
    sim_dev_add_fault(b.runner, 0x20, s);
    e2e::sandbox box;
    box.write_file("p.json", R"({"DEVS": [
      {"NODEID": "0x20", "CAN IF VERSION": 1, "CAN IF MINDEX": "0x2fff", "CAN IF SINDEX": 0,
       "PARAMS": [{"MAININDEX": "0x2000", "TYPE": "CANOPEN_UNSIGNED32", "DATA": 5}]},
      {"NODEID": "0x21", "CAN IF VERSION": 1, "CAN IF MINDEX": "0x2fff", "CAN IF SINDEX": 0,
       "PARAMS": [{"MAININDEX": "0x2000", "TYPE": "CANOPEN_UNSIGNED32", "DATA": 6}]}]})");
    e2e::result r = b.krcan(box, {"--loadparam", "p.json"});
    EXPECT_EQ(r.exit_code, 1) << all(r);
    EXPECT_EQ(e2e::count(r.out, "with UNSUPPORTED ACCESS TO OBJECT, retrying"), 2u) << r.out;
    EXPECT_NE(r.out.find("succeeded on retry 2/5."), std::string::npos) << r.out;
    EXPECT_EQ(b.value(0x20, 0x2000, 0), 5u);
    EXPECT_EQ(b.stored(0x21, 0x2000, 0), 6u); // the second device is still stored, and says so...
    EXPECT_FALSE(b.reset(0x20));              // ...but neither is reset
    EXPECT_FALSE(b.reset(0x21));
    EXPECT_EQ(e2e::count(r.out, "was not reset due to errors."), 1u) << r.out;
    EXPECT_NE(r.out.find("The device 0x21 was stored but not reset"), std::string::npos) << r.out;
}

TEST(LoadParam, AnUnreadableFileAfterGoodOnesWritesNothing)
{
    Bench b({0x20, 0x21});
    e2e::sandbox box;
    box.write_file("a.json", R"({"NODEID": "0x20", "CAN IF VERSION": 1, "CAN IF MINDEX": "0x2fff", "CAN IF SINDEX": 0,
      "PARAMS": [{"MAININDEX": "0x2000", "TYPE": "CANOPEN_UNSIGNED32", "DATA": 5}]})");
    box.write_file("b.json", R"({"NODEID": "0x21", "CAN IF VERSION": 1, "CAN IF MINDEX": "0x2fff", "CAN IF SINDEX": 0,
      "PARAMS": [{"MAININDEX": "0x2000", "TYPE": "CANOPEN_UNSIGNED32", "DATA": 6}]})");
    box.write_file("c.json", "{\"NODEID\": ");
    e2e::result r = b.krcan(box, {"--loadparam", "a.json", "b.json", "c.json"});
    EXPECT_EQ(r.exit_code, 1) << all(r);
    // Every file of the line is read before the first write.
    EXPECT_EQ(sim_dev_write_log(b.runner, 0x20).size() + sim_dev_write_log(b.runner, 0x21).size(), 0u) << all(r);
    EXPECT_FALSE(b.reset(0x20));
    EXPECT_NE(r.out.find("Nothing was written"), std::string::npos) << r.out;

    // A path longer than a slot is refused, not cut.
    std::string long_name(300, 'p');
    r = b.krcan(box, {"--loadparam", long_name + ".json"});
    EXPECT_EQ(r.exit_code, 1) << all(r);
    EXPECT_NE(r.out.find("Nothing was loaded."), std::string::npos) << r.out;
}

TEST(LoadParam, WrongFormatEntriesAreNeverWritten)
{
    const std::vector<std::pair<std::string, std::string>> entries = {
        {"bool", R"({"MAININDEX": "0x2000", "TYPE": "CANOPEN_UNSIGNED32", "DATA": true})"},
        {"null", R"({"MAININDEX": "0x2000", "TYPE": "CANOPEN_UNSIGNED32", "DATA": null})"},
        {"no type", R"({"MAININDEX": "0x2000", "DATA": 5})"},
        {"too wide", R"({"MAININDEX": "0x2003", "TYPE": "CANOPEN_UNSIGNED16", "DATA": 70000})"},
        {"index", R"({"MAININDEX": "0x12000", "TYPE": "CANOPEN_UNSIGNED32", "DATA": 5})"},
        {"sub sum",
         R"({"MAININDEX": "0x2100", "TYPE": "CANOPEN_UNSIGNED16", "SUBINDEX": 200, "SUBINDEX_OFFSET": 60, "DATA": 5})"},
        {"array pos", R"({"MAININDEX": "0x2100", "TYPE": "CANOPEN_ARRAY16", "SUBINDEX_OFFSET": 254, "DATA": [1, 2]})"},
        {"write", R"({"MAININDEX": "0x2000", "TYPE": "CANOPEN_UNSIGNED32", "WRITE": ["SET"], "DATA": 5})"},
        {"string", R"({"MAININDEX": "0x2002", "TYPE": "CANOPEN_STRING", "DATA": ")" + std::string(70000, 'x') + "\"}"},
        {"or narrower", R"({"MAININDEX": "0x2000", "TYPE": "CANOPEN_UNSIGNED8", "WRITE": "OR", "DATA": 1})"},
    };
    Bench b({0x20});
    e2e::sandbox box;
    for (const auto &[what, entry] : entries) {
        SCOPED_TRACE(what);
        box.write_file("w.json",
                       R"({"NODEID": "0x20", "CAN IF VERSION": 1, "CAN IF MINDEX": "0x2fff", "CAN IF SINDEX": 0,
          "PARAMS": [)" + entry +
                           "]}");
        e2e::result r = b.krcan(box, {"--loadparam", "w.json"});
        EXPECT_EQ(r.exit_code, 1) << all(r);
        EXPECT_NE(r.out.find("Parameter in a wrong format"), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("CANopen communication error"), std::string::npos) << r.out;
        for (auto &w : sim_dev_write_log(b.runner, 0x20)) EXPECT_EQ(w.index, 0x2020) << std::hex << w.index;
    }
    // A node id of 0x120 would address 0x20 once cut to 8 bits.
    box.write_file("n.json", R"({"NODEID": 288, "CAN IF VERSION": 1, "CAN IF MINDEX": "0x2fff", "CAN IF SINDEX": 0,
      "PARAMS": [{"MAININDEX": "0x2000", "TYPE": "CANOPEN_UNSIGNED32", "DATA": 5}]})");
    e2e::result r = b.krcan(box, {"--loadparam", "n.json"});
    EXPECT_EQ(r.exit_code, 1) << all(r);
    EXPECT_EQ(b.value(0x20, 0x2000, 0), 0u);
    EXPECT_FALSE(b.reset(0x20));
}

// Files whose fault lies beyond the first device's first entry: nothing of the line reaches a device.
TEST(LoadParam, FilesRefusedBeforeAnyWrite)
{
    const std::string head = R"("CAN IF VERSION": 1, "CAN IF MINDEX": "0x2fff", "CAN IF SINDEX": 0)";
    const std::string good = R"({"NODEID": "0x20", )" + head +
                             R"(, "PARAMS": [{"MAININDEX": "0x2000", "TYPE": "CANOPEN_UNSIGNED32", "DATA": 5}]})";
    auto second = [&](const std::string &dev) { return "{\"DEVS\": [" + good + ", " + dev + "]}"; };
    auto entry = [&](const std::string &e) {
        return second(R"({"NODEID": "0x21", )" + head + R"(, "PARAMS": [)" + e + "]}");
    };
    std::string queries;
    for (int i = 0; i < 21; i++)
        queries += std::string(i ? "," : "") + R"({"NAME": "q)" + std::to_string(i) +
                   R"(", "QUESTION": "?", "ANSWERS": ["a", "b"]})";
    const std::vector<std::pair<std::string, std::string>> rows = {
        {"operators no array", second(R"({"NODEID": "0x21", )" + head + R"(, "PARAMS": [], "OPERATORS": 5,
            "OPDB_MAININDEX": 12288, "CURRENT_OP": 0, "OPDB_TYPE": "CANOPEN_UNSIGNED8"})")},
        {"params no array", second(R"({"NODEID": "0x21", )" + head + R"(, "PARAMS": 7})")},
        {"device no object", second("7")},
        {"unknown type", entry(R"({"MAININDEX": "0x2000", "TYPE": "CANOPEN_FOO", "DATA": 5})")},
        {"64-bit type", entry(R"({"MAININDEX": "0x2000", "TYPE": "CANOPEN_UNSIGNED64", "DATA": 5})")},
        {"21 queries", "{\"QUERIES\": [" + queries + "], \"DEVS\": [" + good + "]}"},
        {"key twice", second(R"({"NODEID": "0x21", "NODEID": "0x22", )" + head + R"(, "PARAMS": []})")},
        {"empty data", entry(R"({"MAININDEX": "0x2000", "TYPE": "CANOPEN_UNSIGNED32", "DATA": []})")},
        {"empty params", second(R"({"NODEID": "0x21", )" + head + R"(, "PARAMS": []})")},
    };
    Bench b({0x20, 0x21});
    e2e::sandbox box;
    box.write_file("good.json", good);
    for (const auto &[what, file] : rows) {
        SCOPED_TRACE(what);
        box.write_file("bad.json", file);
        e2e::result r = b.krcan(box, {"--loadparam", "bad.json"});
        EXPECT_EQ(r.exit_code, 1) << all(r);
        EXPECT_EQ(e2e::count(r.err, "User input requested"), 0u) << r.err;
        EXPECT_NE(r.out.find("Nothing was written"), std::string::npos) << r.out;
        EXPECT_EQ(sim_dev_write_log(b.runner, 0x20).size() + sim_dev_write_log(b.runner, 0x21).size(), 0u) << all(r);
    }
    // A good file before one that cannot be read is not written either.
    e2e::result r = b.krcan(box, {"--loadparam", "good.json", "missing.json"});
    EXPECT_EQ(r.exit_code, 1) << all(r);
    EXPECT_EQ(sim_dev_write_log(b.runner, 0x20).size(), 0u) << all(r);
}

// CiA 301 PDO rules on the device: a mapping count naming an object the device lacks is refused
// (0x06040041). Only that PDO is left not valid; the next one is restored whole when the user goes on,
// and left as the device had it when the user quits.
TEST(LoadParam, ARefusedPdoLeavesTheOthersAsTheFileOrTheDeviceHasThem)
{
    auto pdo = [](unsigned n, const char *mapped) {
        char buf[640];
        snprintf(buf, sizeof buf, R"({"MAININDEX": "0x%x", "TYPE": "CANOPEN_ARRAY32", "DATA": [
            {"SUBINDEX": 1, "TYPE": "CANOPEN_UNSIGNED32", "DATA": "0x%x"},
            {"SUBINDEX": 2, "TYPE": "CANOPEN_UNSIGNED8", "DATA": 254}]},
          {"MAININDEX": "0x%x", "TYPE": "CANOPEN_ARRAY32", "DATA": [
            {"SUBINDEX": 0, "TYPE": "CANOPEN_UNSIGNED8", "DATA": 1},
            {"SUBINDEX": 1, "TYPE": "CANOPEN_UNSIGNED32", "DATA": "%s"}]})",
                 0x1800 + n, 0x180 + 0x100 * n + 0x20, 0x1A00 + n, mapped);
        return std::string(buf);
    };
    for (std::string input : {"\n", "q\n"}) {
        SCOPED_TRACE("answer '" + input + "'");
        Bench b({0x20});
        e2e::sandbox box;
        box.write_file("pdo.json", R"({"NODEID": "0x20", "CAN IF VERSION": 1, "CAN IF MINDEX": "0x2fff",
          "CAN IF SINDEX": 0, "PARAMS": [)" +
                                       pdo(0, "0x29990020") + ", " + pdo(1, "0x20000020") + "]}");
        uint32_t cobid2 = b.value(0x20, 0x1801, 1);
        e2e::result r = b.krcan(box, {"--loadparam", "pdo.json"}, input);
        EXPECT_EQ(r.exit_code, 1) << all(r);
        EXPECT_NE(r.out.find("TPDO 1 (0x1800/0x1a00) is left not valid"), std::string::npos) << r.out;
        EXPECT_NE(b.value(0x20, 0x1800, 1) & 0x80000000u, 0u);
        if (input == "\n") {
            EXPECT_EQ(b.value(0x20, 0x1801, 1), 0x2A0u);
            EXPECT_EQ(b.value(0x20, 0x1A01, 0), 1u);
            EXPECT_EQ(b.value(0x20, 0x1A01, 1), 0x20000020u);
        } else {
            EXPECT_NE(r.out.find("Not restored, left as the device had them: TPDO 2"), std::string::npos) << r.out;
            EXPECT_EQ(b.value(0x20, 0x1801, 1), cobid2);
            EXPECT_EQ(b.writes(0x20, 0x1801) + b.writes(0x20, 0x1A01), 0u);
        }
    }
}

// ---- Operators ----

TEST(LoadParam, OperatorsAreCreatedLoadedAndStoredEach)
{
    Bench b({0x20});
    sim_opdb_config_st cfg;
    cfg.index = 0x3000;
    cfg.keys = {sim_key(0x2000, 0)};
    ASSERT_TRUE(sim_dev_add_opdb(b.runner, 0x20, cfg));
    e2e::sandbox box;
    box.write_file("ops.json", R"({"NODEID": "0x20", "CAN IF VERSION": 1, "CAN IF MINDEX": "0x2fff", "CAN IF SINDEX": 0,
      "PARAMS": [{"MAININDEX": "0x2003", "TYPE": "CANOPEN_UNSIGNED16", "DATA": 9}],
      "OPERATORS": [[{"MAININDEX": "0x2000", "TYPE": "CANOPEN_UNSIGNED32", "DATA": 11}],
                    [{"MAININDEX": "0x2000", "TYPE": "CANOPEN_UNSIGNED32", "DATA": 22}],
                    [{"MAININDEX": "0x2000", "TYPE": "CANOPEN_UNSIGNED32", "DATA": 33}]],
      "CURRENT_OP": 1, "OPDB_MAININDEX": 12288, "OPDB_TYPE": "CANOPEN_UNSIGNED8"})");
    e2e::result r = b.krcan(box, {"--loadparam", "ops.json"});
    ASSERT_EQ(r.exit_code, 0) << all(r);
    EXPECT_EQ(sim_dev_opdb_count(b.runner, 0x20), 3u);
    for (uint32_t op = 1; op <= 3; op++) {
        bytes v, s;
        ASSERT_TRUE(sim_dev_opdb_get(b.runner, 0x20, op, 0x2000, 0, v, s));
        EXPECT_EQ(v, le(11 * op, 4)) << op;
        EXPECT_EQ(s, le(11 * op, 4)) << op;
    }
    EXPECT_TRUE(b.booted(0x20, 2));
    EXPECT_EQ(sim_dev_opdb_active(b.runner, 0x20), 2u);
    EXPECT_EQ(b.value(0x20, 0x2000, 0), 22u);

    // A failed creation fails the device before any operator's values are written.
    Bench c({0x20});
    ASSERT_TRUE(sim_dev_add_opdb(c.runner, 0x20, cfg));
    sim_fault_st f;
    f.index = 0x3000;
    f.sub = 3;
    sim_dev_add_fault(c.runner, 0x20, f);
    r = c.krcan(box, {"--loadparam", "ops.json"});
    EXPECT_EQ(r.exit_code, 1) << all(r);
    EXPECT_EQ(c.writes(0x20, 0x2000), 0u);
    EXPECT_FALSE(c.reset(0x20));

    // A refused switch to operator 2 fails the device: operator 1 keeps what its entries set (and
    // stored), operator 2 gets nothing, and nothing is reset.
    Bench e({0x20});
    sim_opdb_config_st refusing = cfg;
    refusing.refuse_switch_to = 2;
    ASSERT_TRUE(sim_dev_add_opdb(e.runner, 0x20, refusing));
    r = e.krcan(box, {"--loadparam", "ops.json"});
    EXPECT_EQ(r.exit_code, 1) << all(r);
    bytes v1, s1, v2, s2;
    ASSERT_TRUE(sim_dev_opdb_get(e.runner, 0x20, 1, 0x2000, 0, v1, s1));
    ASSERT_TRUE(sim_dev_opdb_get(e.runner, 0x20, 2, 0x2000, 0, v2, s2));
    EXPECT_EQ(v1, le(11, 4));
    EXPECT_EQ(s1, le(11, 4));
    EXPECT_EQ(v2, le(0, 4));
    EXPECT_EQ(sim_dev_opdb_active(e.runner, 0x20), 1u);
    EXPECT_FALSE(e.reset(0x20));
    // Operator 1's store was made with EMCY messages on, and the closing message says it was made.
    EXPECT_EQ(e.stored(0x20, 0x2020, 1), 0u);
    EXPECT_NE(r.out.find("operator 1 of device 0x20"), std::string::npos) << r.out;

    // Operators with a key missing load nothing and fail, naming the key.
    Bench d({0x20});
    box.write_file("bad.json", R"({"NODEID": "0x20", "CAN IF VERSION": 1, "CAN IF MINDEX": "0x2fff", "CAN IF SINDEX": 0,
      "PARAMS": [], "OPERATORS": [[]], "OPDB_MAININDEX": 12288, "OPDB_TYPE": "CANOPEN_UNSIGNED8"})");
    r = d.krcan(box, {"--loadparam", "bad.json"});
    EXPECT_EQ(r.exit_code, 1) << all(r);
    EXPECT_NE(r.out.find("\"CURRENT_OP\" is missing"), std::string::npos) << r.out;
}

} // namespace
