// Parameter files end to end: values are written only as the file means them, a slip on the command
// line, at a question or by a signal loses nothing, and a backup of a random device (widths, PDO
// layouts, optional objects) restores a fresh one as it was. Each case checks what the devices hold.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <array>
#include <random>

#include "e2e/e2e.h"
#include "e2e/sim_bench.h"
#include "sim_device.h"

namespace {

constexpr uint8_t NODE = 0x20;

// One device at NODE, as configured; its objects are added by the test.
class Dev {
public:
    explicit Dev(bool sized = true, uint32_t sdo_delay_ms = 0)
    {
        sim_device_config_st c;
        c.node_id = NODE;
        c.heartbeat_ms = 0;
        c.expedited_size = sized;
        c.sdo_delay_ms = sdo_delay_ms;
        std::string err;
        if (!sim_setup_start(setup, {c}, 0, err)) throw std::runtime_error(err);
    }
    ~Dev() { sim_setup_stop(setup); }
    e2e::result krcan(const e2e::sandbox &box, std::vector<std::string> args, const std::string &input = "")
    {
        args.insert(args.begin(), {"--silent", "--can", setup.channel});
        e2e::options o;
        o.timeout_ms = 90000;
        o.stdin_text = input;
        e2e::result r = box.krcan(args, o);
        EXPECT_TRUE(sim_setup_settle(setup));
        return r;
    }
    void add(uint16_t index, uint8_t sub, uint8_t type, bytes v, uint32_t max = 0)
    {
        sim_dev_add_object(setup.devs, NODE, index, sub, object(type, v, max));
    }
    void set(uint16_t index, uint8_t sub, bytes v) { ASSERT_TRUE(sim_dev_set(setup.devs, NODE, index, sub, v)); }
    bytes raw(uint16_t index, uint8_t sub)
    {
        bytes v;
        sim_dev_get(setup.devs, NODE, index, sub, v);
        return v;
    }
    size_t writes() { return sim_dev_write_log(setup.devs, NODE).size(); }
    bool reset() { return sim_dev_nmt_count(setup.devs, NODE, 0x81) > 0; }
    sim_setup_st setup;
};

std::string all(const e2e::result &r) { return r.out + r.err; }
bool has(const std::string &hay, const std::string &needle) { return hay.find(needle) != std::string::npos; }

struct db_obj {
    std::string name, index, type, extra;
};

std::string database(const std::vector<db_obj> &objs, uint32_t rxpdos = 0, uint32_t txpdos = 0)
{
    std::string d = "{\"DEV\": \"Bench\", \"NODEID\": " + std::to_string(NODE) +
                    ", \"REVISIONNUMBER\": 1, \"RXPDO_COUNT\": " + std::to_string(rxpdos) +
                    ", \"TXPDO_COUNT\": " + std::to_string(txpdos) + ", \"OBJ_DICT\": [" +
                    "{\"name\": \"canif\", \"index\": \"0x2fff\", \"type\": \"CANOPEN_UNSIGNED16\", \"permissions\": "
                    "\"CANOPEN_RW\", \"dataptr\": \"&x\", \"data_type\": \"CAN_IF\", \"subindex\": 0}";
    for (const db_obj &o : objs)
        d += ", {\"name\": \"" + o.name + "\", \"index\": \"" + o.index + "\", \"type\": \"" + o.type +
             "\", \"permissions\": \"CANOPEN_RW\", \"dataptr\": \"&x\", \"data_type\": \"NONVOL_PARAM\"" + o.extra +
             "}";
    return d + "]}";
}

const std::string HEAD = R"("CAN IF VERSION": 1, "CAN IF MINDEX": "0x2fff", "CAN IF SINDEX": 0, "NODEID": 32)";

// One reading of DATA against TYPE for both formats: a quoted whole number is the number, any other
// text for an integer TYPE and any value outside the type's range is refused before the first write.
TEST(ParamFile, DataIsReadAgainstItsTypeAlikeInJsonAndYaml)
{
    Dev d;
    d.add(0x2000, 0, SIM_U32, le(0, 4));
    d.add(0x2001, 0, SIM_U8, {0});
    d.add(0x2003, 0, SIM_I8, {0});
    d.add(0x2005, 0, SIM_U16, le(0, 2));
    e2e::sandbox box;
    box.write_file("db.json", database({}));
    auto json = [&](const std::string &type, const std::string &data) {
        return "{" + HEAD + R"(, "PARAMS": [{"MAININDEX": "0x2001", "TYPE": "CANOPEN_UNSIGNED8", "DATA": 9},
            {"MAININDEX": "0x2000", "TYPE": ")" +
               type + R"(", "DATA": )" + data + "}]}";
    };
    auto yaml = [&](const std::string &type, const std::string &data) {
        return "CAN IF VERSION: 1\nCAN IF MINDEX: 0x2fff\nCAN IF SINDEX: 0\nNODEID: 32\nPARAMS:\n"
               "  - MAININDEX: 0x2001\n    TYPE: CANOPEN_UNSIGNED8\n    DATA: 9\n"
               "  - MAININDEX: 0x2000\n    TYPE: " +
               type + "\n    DATA: " + data + "\n";
    };
    const std::vector<std::pair<std::string, std::string>> refused = {
        {"bad.json", json("CANOPEN_UNSIGNED32", "\"A\"")},
        {"bad.json", json("CANOPEN_UNSIGNED32", "\"\"")},
        {"bad.json", json("CANOPEN_UNSIGNED32", "\"abc\"")},
        {"bad.yaml", yaml("CANOPEN_UNSIGNED32", "~")},
        {"bad.yaml", yaml("CANOPEN_UNSIGNED32", "'abc'")},
        {"bad.json", json("CANOPEN_UNSIGNED8", "-1")},
        {"bad.yaml", yaml("CANOPEN_UNSIGNED32", "-1")},
        {"bad.json", json("CANOPEN_SIGNED8", "128")},
        {"bad.json", json("CANOPEN_UNSIGNED16", "65536")},
        // The whole file is checked: a later device's fault keeps the first from being written too.
        {"bad.json",
         "{\"DEVS\": [" + json("CANOPEN_UNSIGNED32", "5") + ", " + json("CANOPEN_UNSIGNED8", "\"x\"") + "]}"}};
    for (const auto &[file, content] : refused) {
        SCOPED_TRACE(content);
        box.write_file(file, content);
        size_t writes = d.writes();
        e2e::result r = d.krcan(box, {"--db", "db.json", "--loadparam", file});
        EXPECT_EQ(r.exit_code, 1) << all(r);
        EXPECT_TRUE(has(r.out, "wrong format")) << r.out;
        EXPECT_EQ(d.writes(), writes) << "nothing is written";
        EXPECT_FALSE(d.reset());
    }
    // A file that is no JSON, or YAML the reader does not support, is refused with its place before
    // anything is written.
    std::string no_comma = json("CANOPEN_UNSIGNED32", "5");
    no_comma.replace(no_comma.find("},\n"), 3, "}\n");
    const std::vector<std::array<std::string, 3>> unreadable = {{"syn.json", no_comma,
                                                                 "syn.json:2:13: '{' where ',' or ']' was expected"},
                                                                {"syn.yaml", yaml("CANOPEN_UNSIGNED32", "&a 5"),
                                                                 "syn.yaml:11:11: an anchor ('&')"}};
    for (const auto &[file, content, says] : unreadable) {
        box.write_file(file, content);
        size_t writes = d.writes();
        e2e::result r = d.krcan(box, {"--db", "db.json", "--loadparam", file});
        EXPECT_EQ(r.exit_code, 1) << all(r);
        EXPECT_TRUE(has(r.out, says)) << r.out;
        EXPECT_EQ(d.writes(), writes) << "nothing is written";
    }
    box.write_file("ok.json", json("CANOPEN_UNSIGNED32", "\"123\""));
    box.write_file("ok.yaml", yaml("CANOPEN_UNSIGNED32", "\"123\"") +
                                  "  - {MAININDEX: 0x2003, TYPE: CANOPEN_SIGNED8, DATA: -128}\n"
                                  "  - {MAININDEX: 0x2005, TYPE: CANOPEN_UNSIGNED16, DATA: '5'}\n");
    for (std::string file : {"ok.json", "ok.yaml"}) {
        d.set(0x2000, 0, le(0, 4));
        e2e::result r = d.krcan(box, {"--db", "db.json", "--loadparam", file});
        ASSERT_EQ(r.exit_code, 0) << file << all(r);
        EXPECT_EQ(d.raw(0x2000, 0), le(123, 4)) << file;
    }
    EXPECT_EQ(d.raw(0x2003, 0), bytes{0x80});
    EXPECT_EQ(d.raw(0x2005, 0), le(5, 2));
}

// A text is written to the device as its format means it: YAML's doubled single quote and folded line,
// JSON's escapes.
TEST(ParamFile, QuotedTextsAreWrittenAsTheirFormatMeansThem)
{
    Dev d;
    d.add(0x2006, 0, SIM_STR, text("x"), 0x100);
    e2e::sandbox box;
    box.write_file("db.json", database({}));
    const std::string yaml_head = "CAN IF VERSION: 1\nCAN IF MINDEX: 0x2fff\nCAN IF SINDEX: 0\nNODEID: 32\nPARAMS:\n"
                                  "  - MAININDEX: 0x2006\n    TYPE: CANOPEN_STRING\n    DATA: ";
    const std::vector<std::array<std::string, 3>> cases = {
        {"a.yaml", yaml_head + "'it''s'\n", "it's"},
        {"b.yaml", yaml_head + "\"two\n      lines\"\n", "two lines"},
        {"c.json", "{" + HEAD + R"(, "PARAMS": [{"MAININDEX": "0x2006", "TYPE": "CANOPEN_STRING", "DATA": "a\"b"}]})",
         "a\"b"},
        {"d.json",
         "{" + HEAD + R"(, "PARAMS": [{"MAININDEX": "0x2006", "TYPE": "CANOPEN_STRING", "DATA": "caf\u00e9\\ \t"}]})",
         "caf\xC3\xA9\\ \t"},
    };
    for (const auto &[file, content, held] : cases) {
        SCOPED_TRACE(content);
        d.set(0x2006, 0, text("x"));
        box.write_file(file, content);
        e2e::result r = d.krcan(box, {"--db", "db.json", "--loadparam", file});
        ASSERT_EQ(r.exit_code, 0) << all(r);
        bytes v = d.raw(0x2006, 0);
        EXPECT_EQ(std::string(v.begin(), std::find(v.begin(), v.end(), 0)), held);
    }
}

// Slips that would lose data: a question met by the end of input, a save over the file a later load
// reads. Neither writes anything.
TEST(ParamFile, EndOfInputAndASaveOverTheLoadedFileWriteNothing)
{
    Dev d;
    d.add(0x2000, 0, SIM_U32, le(1, 4));
    e2e::sandbox box;
    box.write_file("db.json", database({{"big", "0x2000", "CANOPEN_UNSIGNED32", ", \"subindex\": 0"}}));
    box.write_file("q.json",
                   R"({"QUERIES": [{"NAME": "Q", "QUESTION": "Which?", "ANSWERS": ["a", "b"]}], )" + HEAD +
                       R"(, "PARAMS": [{"MAININDEX": "0x2000", "TYPE": "CANOPEN_UNSIGNED32", "Q": [11, 22]}]})");
    for (std::string input : {"", "9\n"}) {
        SCOPED_TRACE(input);
        e2e::result r = d.krcan(box, {"--db", "db.json", "--loadparam", "q.json"}, input);
        EXPECT_EQ(r.exit_code, 1) << all(r);
        EXPECT_EQ(d.writes(), 0u);
        EXPECT_FALSE(d.reset());
    }
    const std::string fresh = "{" + HEAD +
                              R"(, "PARAMS": [{"MAININDEX": "0x2000", "TYPE": "CANOPEN_UNSIGNED32", "DATA": 5}]})";
    box.write_file("new.json", fresh);
    for (std::vector<std::string> line :
         {std::vector<std::string>{"--saveparam=new.json", "--loadparam=new.json"},
          std::vector<std::string>{"--saveparam", "./sub/../new.json", "--loadparam=new.json"}}) {
        std::filesystem::create_directories(box.path("sub"));
        line.insert(line.begin(), {"--db", "db.json"});
        e2e::result r = d.krcan(box, line);
        EXPECT_EQ(r.exit_code, 1) << all(r);
        EXPECT_EQ(box.read_file("new.json"), fresh);
        EXPECT_EQ(d.writes(), 0u);
    }
}

// Smaller faults name their cause: a device object's keys, an output file that cannot be created (a
// link to nowhere is refused), a bus that never opened, a device name JSON cannot hold, a baud rate
// that changes.
TEST(ParamFile, SmallerFaultsNameTheirCause)
{
    Dev d;
    d.add(0x2000, 0, SIM_U32, le(1, 4));
    d.add(0x5FF7, 0, SIM_U32, le(250000, 4));
    e2e::sandbox box;
    box.write_file("db.json", database({{"big", "0x2000", "CANOPEN_UNSIGNED32", ", \"subindex\": 0"}}));
    for (std::string dev : {R"({"NODEID": "0x200", "PARAMS": []})", R"({"NODEID": 32, "PARAMS": 5})", "{}",
                            R"({"NODEID": 32, "PARAMS": [], "OPERATORS": [[]], "OPDB_MAININDEX": 12288})"}) {
        box.write_file("bad.json", dev);
        e2e::result r = d.krcan(box, {"--db", "db.json", "--loadparam", "bad.json"}, "\n");
        EXPECT_EQ(r.exit_code, 1) << all(r);
        EXPECT_TRUE(has(r.out, "a device object of the parameter file is in a wrong format")) << r.out;
    }
    std::filesystem::create_symlink("gone/x.json", box.path("link.json"));
    e2e::result r = d.krcan(box, {"--db", "db.json", "--saveparam", "link.json"});
    EXPECT_EQ(r.exit_code, 1) << all(r);
    EXPECT_TRUE(std::filesystem::is_symlink(box.path("link.json")));
    std::filesystem::create_directories(box.path("folder.json"));
    for (auto [file, why] : {std::pair<std::string, std::string>{"folder.json", "is not a regular file"},
                             {"gone/x.json", "No such file or directory"}}) {
        r = d.krcan(box, {"--db", "db.json", "--saveparam", file});
        EXPECT_EQ(r.exit_code, 1) << all(r);
        EXPECT_TRUE(has(r.out, "Failed creating the output file '" + file + "'\n  ")) << r.out;
        EXPECT_TRUE(has(r.out, why)) << r.out;
    }
    EXPECT_TRUE(std::filesystem::is_directory(box.path("folder.json")));
    // No bus at all: one line says the interface never opened; nothing is asked.
    box.write_file("one.json",
                   "{" + HEAD + R"(, "PARAMS": [{"MAININDEX": "0x2000", "TYPE": "CANOPEN_UNSIGNED32", "DATA": 5}]})");
    for (auto [job, file] :
         {std::pair<std::string, std::string>{"--loadparam", "one.json"}, {"--saveparam", "out.json"}}) {
        e2e::result n = box.krcan({"--can", "socketcand://127.0.0.1:1/vcan0", "--db", "db.json", job, file});
        EXPECT_EQ(n.exit_code, 1) << all(n);
        EXPECT_EQ(e2e::count(n.out, "Couldn't open the connection to the CAN interface"), 1u) << n.out;
        EXPECT_FALSE(has(all(n), "Press")) << all(n);
        EXPECT_FALSE(has(all(n), "ALERT")) << all(n);
        EXPECT_FALSE(has(n.out, "Manual reset")) << n.out;
        EXPECT_TRUE(has(n.out, job.substr(2) + ": Couldn't open the connection to the CAN interface")) << n.out;
        EXPECT_FALSE(has(n.out, "GENERAL")) << n.out;
    }
    sim_dev_set(d.setup.devs, NODE, 0x5FFF, 0, text("say \"hi\""));
    r = d.krcan(box, {"--db", "db.json", "--saveparam", "named.json"});
    ASSERT_EQ(r.exit_code, 0) << all(r);
    EXPECT_TRUE(has(box.read_file("named.json"), R"("DEVNAME":"say \"hi\"")")) << box.read_file("named.json");
    box.write_file("baud.json",
                   "{" + HEAD +
                       R"(, "PARAMS": [{"MAININDEX": "0x5ff7", "TYPE": "CANOPEN_UNSIGNED32", "DATA": 500000}]})");
    r = d.krcan(box, {"--db", "db.json", "--loadparam", "baud.json"});
    ASSERT_EQ(r.exit_code, 0) << all(r);
    EXPECT_TRUE(has(r.out, "changes from 250000 to 500000")) << r.out;
}

// Stopped in the middle of a load, by Ctrl-C or by SIGTERM: the device's EMCY messages are on again,
// a line says that nothing was stored, and the open progress line ends before the signal's message.
TEST(ParamFile, ASignalMidLoadSwitchesEmcyBackOn)
{
    std::string params;
    for (int i = 0; i < 40; i++)
        params += std::string(i ? "," : "") + R"({"MAININDEX": ")" + (i == 4 ? "0x2001" : "0x2000") +
                  R"(", "TYPE": "CANOPEN_UNSIGNED32", "DATA": )" + std::to_string(i) + "}";
    for (int sig : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(sig);
        Dev d;
        d.add(0x2000, 0, SIM_U32, le(1, 4));
        d.add(0x2001, 0, SIM_U32, le(1, 4));
        d.add(0x2020, 1, SIM_U8, {0});
        // The fifth write waits on a device that does not answer, its progress line open.
        sim_fault_st silent;
        uint8_t fault_node = 0;
        std::string fault_err;
        ASSERT_TRUE(sim_fault_parse("silent:index=0x2001,count=-1", silent, fault_node, fault_err)) << fault_err;
        sim_dev_add_fault(d.setup.devs, NODE, silent);
        e2e::sandbox box;
        box.write_file("db.json", database({{"big", "0x2000", "CANOPEN_UNSIGNED32", ", \"subindex\": 0"},
                                            {"suppress emcy", "0x2020", "CANOPEN_UNSIGNED8", ", \"subindex\": 1"}}));
        box.write_file("p.json", "{" + HEAD + ", \"PARAMS\": [" + params + "]}");
        e2e::options o;
        o.stdin_text = "";
        e2e::background k(box, KRCAN_BIN,
                          {"--silent", "--can", d.setup.channel, "--db", "db.json", "--loadparam", "p.json"}, o);
        ASSERT_TRUE(k.wait_for_output("Writing '' (0x2001) = 0x4", 60000)) << k.out();
        ASSERT_EQ(d.raw(0x2020, 1), bytes{1});
        if (sig == SIGINT) {
            kill(-k.pid(), SIGINT);
            EXPECT_TRUE(k.wait_end(10000));
        }
        e2e::result r = k.stop(10000);
        EXPECT_TRUE(r.exited(sig)) << r.exit_code << " " << r.signal << all(r);
        EXPECT_TRUE(has(r.err, "EMCY messages were switched back on at node(s) 0x20")) << r.err;
        EXPECT_TRUE(has(r.err, "Nothing was stored")) << r.err;
        EXPECT_TRUE(r.out.ends_with("(0x2001) = 0x4\n")) << r.out;
        EXPECT_TRUE(sim_setup_settle(d.setup));
        EXPECT_EQ(d.raw(0x2020, 1), bytes{0});
        EXPECT_FALSE(d.reset());
    }
}

// ---- Round trip of random devices ----

struct dev_obj {
    uint16_t index;
    uint8_t sub;
    uint8_t type;
    bytes value;
};

// A random device as its source and as a fresh one of the same kind (same objects, other values),
// its database, and what must be equal after the restore.
struct model {
    std::vector<dev_obj> source, fresh;
    std::vector<db_obj> db;
    uint32_t rxpdos = 0, txpdos = 0;
    std::vector<std::pair<uint16_t, uint8_t>> compare;
    std::vector<uint16_t> texts; // strings: equal up to their terminator
};

bytes random_bytes(std::mt19937 &g, size_t n)
{
    bytes b(n);
    for (auto &x : b) x = (uint8_t)g();
    return b;
}

uint8_t int_type(uint32_t width, bool is_signed)
{
    return width == 1   ? (is_signed ? SIM_I8 : SIM_U8)
           : width == 2 ? (is_signed ? SIM_I16 : SIM_U16)
                        : (is_signed ? SIM_I32 : SIM_U32);
}

uint32_t random_width(std::mt19937 &g) { return 1u << (g() % 3); }

std::string numsys(std::mt19937 &g) { return g() % 2 ? ", \"numsystem\": \"HEX\"" : ""; }

model random_model(std::mt19937 &g, bool sized)
{
    model m;
    auto both = [&](uint16_t index, uint8_t sub, uint8_t type, bytes src, bytes fresh) {
        m.source.push_back({index, sub, type, std::move(src)});
        m.fresh.push_back({index, sub, type, std::move(fresh)});
    };
    std::vector<uint32_t> mappable; // index << 16 | bits of the byte-wide parameters
    uint32_t params = 3 + g() % 5;
    for (uint32_t i = 0; i < params; i++) {
        uint16_t index = (uint16_t)(0x2100 + i);
        std::string name = "p" + std::to_string(i), hex = "0x" + std::to_string(2100 + i);
        // Without sizes in the answers only the database says the width, so there the two agree.
        uint32_t w = random_width(g), dbw = g() % 4 || !sized ? w : random_width(g);
        bool sig = g() % 2;
        switch (g() % 3) {
        case 0:
            both(index, 0, int_type(w, sig), random_bytes(g, w), bytes(w, 0));
            m.db.push_back({name, hex,
                            std::string(sig ? "CANOPEN_SIGNED" : "CANOPEN_UNSIGNED") + std::to_string(8 * dbw),
                            ", \"subindex\": 0" + numsys(g)});
            m.compare.push_back({index, 0});
            mappable.push_back((uint32_t)index << 16 | 8 * w);
            break;
        case 1: {
            const std::string chars = "abcXYZ019 -_.,:;!?()[]{}#&*%$@/+=<>|~^'`";
            std::string t;
            for (uint32_t n = g() % 4 ? g() % 120 : 0; n > 0; n--) t += chars[g() % chars.size()];
            // An empty string comes as no bytes at all now and then.
            both(index, 0, SIM_STR, t.empty() && g() % 2 ? bytes{} : text(t), text("x"));
            m.source.back().type = m.fresh.back().type = SIM_STR;
            m.db.push_back({name, hex, "CANOPEN_STRING", ", \"stringsize\": 1024, \"default\": \"x\""});
            m.texts.push_back(index);
            break;
        }
        default: {
            uint32_t count = 1 + g() % 5;
            both(index, 0, SIM_U8, {(uint8_t)count}, {(uint8_t)count});
            std::string children;
            for (uint32_t s = 1; s <= count; s++) {
                both(index, (uint8_t)s, int_type(w, false), random_bytes(g, w), bytes(w, 0));
                m.compare.push_back({index, (uint8_t)s});
                children += std::string(s > 1 ? ", " : "") + "{\"name\": \"e" + std::to_string(s) + "\"" + numsys(g) +
                            "}";
            }
            m.db.push_back({name, hex, "CANOPEN_ARRAY" + std::to_string(8 * dbw),
                            ", \"arraysize\": " + std::to_string(count) + ", \"data\": [" + children + "]"});
        }
        }
    }
    // A mapping of up to three of the parameters, at most 64 bits; count 0 is a mapping that is off.
    auto mapping = [&](std::vector<bytes> &entries) {
        uint32_t bits = 0;
        for (uint32_t k = g() % 4; k > 0 && !mappable.empty(); k--) {
            uint32_t e = mappable[g() % mappable.size()];
            if (bits + (e & 0xFF) > 64) break;
            bits += e & 0xFF;
            entries.push_back(le(e, 4));
        }
    };
    auto pdo = [&](uint16_t com, bool tx) {
        uint32_t cobid = (0x181 + g() % 0x5FE) | (g() % 3 == 0 ? 0x80000000u : 0);
        const uint8_t types[] = {0, (uint8_t)(1 + g() % 240), 0xFE, 0xFF};
        uint16_t map = (uint16_t)(com + 0x200);
        std::vector<bytes> src, fresh;
        mapping(src);
        mapping(fresh);
        if (!tx) {
            both(com, 0, SIM_U8, {5}, {5});
            both(com, 1, SIM_U32, le(cobid, 4), le(0x200u + NODE, 4));
            for (uint8_t s : {2, 3, 5})
                both(com, s, s == 2 ? SIM_U8 : SIM_U16, bytes(s == 2 ? 1 : 2, 0), bytes(s == 2 ? 1 : 2, 0));
            for (uint8_t s = 1; s <= 8; s++) both(map, s, SIM_U32, le(0, 4), le(0, 4));
            both(map, 0, SIM_U8, {0}, {0});
        }
        // The simulated device's own TXPDOs exist already: their values are set.
        auto set = [&](uint16_t i, uint8_t s, bytes a, bytes b) { both(i, s, 0xFF, std::move(a), std::move(b)); };
        set(com, 1, le(cobid, 4), le(tx ? 0x180u + 0x100u * (com - 0x1800u) + NODE : 0x200u + NODE, 4));
        set(com, 2, {types[g() % 4]}, {0xFE});
        set(com, 3, random_bytes(g, 2), le(0, 2));
        set(com, 5, random_bytes(g, 2), le(0, 2));
        for (size_t k = 0; k < src.size() || k < fresh.size(); k++)
            set(map, (uint8_t)(k + 1), k < src.size() ? src[k] : le(0, 4), k < fresh.size() ? fresh[k] : le(0, 4));
        set(map, 0, {(uint8_t)src.size()}, {(uint8_t)fresh.size()});
        for (uint8_t s : {1, 2, 3, 5}) m.compare.push_back({com, s});
        m.compare.push_back({map, 0});
        for (size_t k = 1; k <= src.size(); k++) m.compare.push_back({map, (uint8_t)k});
    };
    m.txpdos = 1 + g() % 4;
    m.rxpdos = g() % 3;
    for (uint32_t p = 0; p < m.rxpdos; p++) pdo((uint16_t)(0x1400 + p), false);
    for (uint32_t p = 0; p < m.txpdos; p++) pdo((uint16_t)(0x1800 + p), true);
    if (g() % 2) { // the optional heartbeat consumer
        uint32_t k = 1 + g() % 3;
        both(0x1016, 0, SIM_U8, {(uint8_t)k}, {(uint8_t)k});
        for (uint8_t s = 1; s <= k; s++) {
            both(0x1016, s, SIM_U32, le((uint32_t)(g() % 127 + 2) << 16 | (g() % 5000), 4), le(0, 4));
            m.compare.push_back({0x1016, s});
        }
    }
    if (g() % 2) { // the maker's baud rate, also optional
        both(0x5FF7, 0, SIM_U32, le(g() % 2 ? 500000 : 125000, 4), le(250000, 4));
        m.compare.push_back({0x5FF7, 0});
    }
    return m;
}

// Objects of type 0xFF exist on every simulated device: only their values are set.
void build(Dev &d, const std::vector<dev_obj> &objs)
{
    for (const dev_obj &o : objs)
        if (o.type == 0xFF)
            d.set(o.index, o.sub, o.value);
        else
            d.add(o.index, o.sub, o.type, o.value, o.type == SIM_STR ? 1024 : 0);
}

std::string text_of(const bytes &v) { return std::string(v.begin(), std::find(v.begin(), v.end(), 0)); }

TEST(ParamFile, RandomDevicesRoundTripThroughJsonAndYaml)
{
    std::mt19937 g(4711);
    for (int round = 0; round < 6; round++) {
        bool sized = round % 3 != 2; // a device whose uploads say no size, now and then
        model m = random_model(g, sized);
        e2e::sandbox box;
        box.write_file("db.json", database(m.db, m.rxpdos, m.txpdos));
        {
            Dev src(sized);
            build(src, m.source);
            e2e::result r = src.krcan(box, {"--db", "db.json", "--saveparamall=all.json", "--saveparamall=all.yaml"});
            ASSERT_EQ(r.exit_code, 0) << round << all(r);
        }
        for (std::string ext : {"json", "yaml"}) {
            SCOPED_TRACE("round " + std::to_string(round) + " " + ext);
            Dev fresh(sized);
            build(fresh, m.fresh);
            e2e::result r = fresh.krcan(box, {"--db", "db.json", "--loadparam", "all." + ext});
            ASSERT_EQ(r.exit_code, 0) << all(r) << box.read_file("all." + ext);
            for (auto [index, sub] : m.compare) {
                // The last value given is the one the device holds.
                auto it = std::find_if(m.source.rbegin(), m.source.rend(),
                                       [&](const dev_obj &o) { return o.index == index && o.sub == sub; });
                ASSERT_NE(it, m.source.rend());
                EXPECT_EQ(fresh.raw(index, sub), it->value) << std::hex << index << ":" << (int)sub;
            }
            for (uint16_t index : m.texts) {
                auto it = std::find_if(m.source.begin(), m.source.end(),
                                       [&](const dev_obj &o) { return o.index == index; });
                EXPECT_EQ(text_of(fresh.raw(index, 0)), text_of(it->value)) << std::hex << index;
            }
        }
    }
}

} // namespace
