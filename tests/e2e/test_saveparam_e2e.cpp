// Saving parameters, end to end: krcan reads simulated devices on the virtual bus into a parameter
// file, and the loader writes that file back; each case checks what the devices hold afterwards.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <random>

#include "e2e/e2e.h"
#include "e2e/sim_bench.h"
#include "sim_client.h"
#include "sim_device.h"
#include "sim_hub.h"
#include "sim_nodeid_opdb.h"

namespace {

// The device's parameters: 0x2000 u32, 0x2001 u16 (hex), 0x2002 string, 0x2003 u8, 0x2005 i32, the
// array 0x2004 with six u16 elements (the database names four), 0x2006 u8 (not a parameter).
class Bench : public simbench::bench {
public:
    explicit Bench(std::vector<uint8_t> nodes) : simbench::bench(nodes)
    {
        for (uint8_t n : nodes) {
            sim_dev_add_object(runner, n, 0x2000, 0, object(SIM_U32, le(0x80000001u, 4)));
            sim_dev_add_object(runner, n, 0x2001, 0, object(SIM_U16, le(0xBEEF, 2)));
            sim_dev_add_object(runner, n, 0x2002, 0, object(SIM_STR, text("12345"), 0x10000));
            sim_dev_add_object(runner, n, 0x2003, 0, object(SIM_U8, {200}));
            sim_dev_add_object(runner, n, 0x2005, 0, object(SIM_I32, le(0xFFFFFFFFu, 4)));
            sim_dev_add_object(runner, n, 0x2006, 0, object(SIM_U8, {7}));
            sim_dev_add_object(runner, n, 0x2004, 0, object(SIM_U8, {6}));
            for (uint8_t s = 1; s <= 6; s++) sim_dev_add_object(runner, n, 0x2004, s, object(SIM_U16, le(100u + s, 2)));
            sim_dev_add_object(runner, n, 0x2020, 1, object(SIM_U8, {0}));
        }
    }
    std::string str(uint8_t node, uint16_t index)
    {
        bytes v;
        sim_dev_get(runner, node, index, 0, v);
        std::string s(v.begin(), v.end());
        return s.substr(0, s.find('\0'));
    }
    void set(uint8_t node, uint16_t index, uint8_t sub, bytes v) { sim_dev_set(runner, node, index, sub, v); }
    size_t writes(uint8_t node, uint16_t index, uint8_t sub) { return sim_dev_write_count(runner, node, index, sub); }
};

std::string all(const e2e::result &r) { return r.out + r.err; }

std::string obj(const std::string &name, const std::string &index, const std::string &type, const std::string &extra)
{
    return "{\"name\": \"" + name + "\", \"index\": \"" + index + "\", \"type\": \"" + type +
           "\", \"permissions\": \"CANOPEN_RW\", \"dataptr\": \"&x\"" + extra + "}";
}

// The database of the bench's device; with operators its 0x3000 is the operator database.
std::string database(bool operators, uint8_t node = 0x20)
{
    const std::string nv = ", \"data_type\": \"NONVOL_PARAM\"";
    const std::string sc = ", \"subindex\": 0, \"min\": 0, \"max\": 1, \"default\": 0";
    std::string d = "{\"DEV\": \"Bench\", \"NODEID\": " + std::to_string(node) +
                    ", \"REVISIONNUMBER\": 1, \"RXPDO_COUNT\": 1, \"TXPDO_COUNT\": 2, \"OBJ_DICT\": [";
    d += obj("canif", "0x2fff", "CANOPEN_UNSIGNED16", ", \"data_type\": \"CAN_IF\"" + sc) + ",";
    d += obj("big", "0x2000", "CANOPEN_UNSIGNED32", nv + sc) + ",";
    d += obj("word", "0x2001", "CANOPEN_UNSIGNED16", nv + sc + ", \"numsystem\": \"HEX\"") + ",";
    d += obj("label", "0x2002", "CANOPEN_STRING", nv + ", \"stringsize\": 64, \"default\": \"x\"") + ",";
    d += obj("small", "0x2003", "CANOPEN_UNSIGNED8", nv + sc) + ",";
    d += obj("negative", "0x2005", "CANOPEN_SIGNED32", nv + sc) + ",";
    d += obj("volatile", "0x2006", "CANOPEN_UNSIGNED8", sc) + ",";
    d += obj("table", "0x2004", "CANOPEN_ARRAY16",
             nv + ", \"arraysize\": 4, \"data\": [{\"name\": \"a\"}, {\"name\": \"b\", \"numsystem\": \"HEX\"}, "
                  "{\"name\": \"c\"}, {\"name\": \"d\"}]");
    if (operators) {
        d += "," + obj("opdb", "0x3000", "CANOPEN_UNSIGNED8", ", \"data_type\": \"OPDB\"" + sc);
        d += "," + obj("opcount", "0x3001", "CANOPEN_UNSIGNED16", ", \"data_type\": \"OP_COUNT\"" + sc);
        d += "," + obj("current op", "0x3002", "CANOPEN_UNSIGNED8", ", \"data_type\": \"CURRENT_OP\"" + sc);
    }
    return d + "]}";
}

bool has(const std::string &hay, const std::string &needle) { return hay.find(needle) != std::string::npos; }

sim_opdb_config_st three_operators()
{
    sim_opdb_config_st cfg;
    cfg.index = 0x3000;
    cfg.width = 1;
    cfg.count = 3;
    cfg.current_index = 0x3002;
    cfg.keys = {sim_key(0x2000, 0), sim_key(0x2003, 0)};
    return cfg;
}

// A file that gives each of three operators its own 0x2000 and 0x2003; current is 0-based.
std::string operators_file(uint32_t base, int current = 1)
{
    std::string ops;
    for (uint32_t k = 1; k <= 3; k++) {
        ops += std::string(k > 1 ? "," : "") +
               "[{\"MAININDEX\": \"0x2000\", \"TYPE\": \"CANOPEN_UNSIGNED32\", \"DATA\": " + std::to_string(base + k) +
               "}, {\"MAININDEX\": \"0x2003\", \"TYPE\": \"CANOPEN_UNSIGNED8\", \"DATA\": " +
               std::to_string(base % 200 + k) + "}]";
    }
    return "{\"CAN IF VERSION\": 1, \"CAN IF MINDEX\": \"0x2fff\", \"CAN IF SINDEX\": 0, \"NODEID\": 32, \"PARAMS\": [], "
           "\"OPERATORS\": [" +
           ops + "], \"CURRENT_OP\": " + std::to_string(current) +
           ", \"OPDB_MAININDEX\": 12288, "
           "\"OPDB_TYPE\": \"CANOPEN_UNSIGNED8\"}";
}

TEST(SaveParam, RoundTripInJsonAndYamlBringsEveryValueBack)
{
    for (std::string ext : {"json", "yaml"}) {
        SCOPED_TRACE(ext);
        Bench b({0x20});
        e2e::sandbox box;
        box.write_file("db.json", database(false));
        std::string file = "saved." + ext;
        e2e::result r = b.krcan(box, {"--db", "db.json", "--saveparam", file});
        ASSERT_EQ(r.exit_code, 0) << all(r);
        std::string saved = box.read_file(file);
        // Decimal 32-bit data is unsigned; only the database's parameters are saved; four elements of six.
        EXPECT_TRUE(has(saved, "4294967295")) << saved;
        EXPECT_TRUE(has(saved, "2147483649")) << saved;
        EXPECT_FALSE(has(saved, ":-1") || has(saved, ": -1")) << saved;
        EXPECT_TRUE(has(saved, "0xbeef")) << saved;
        EXPECT_FALSE(has(saved, "VOLATILE")) << saved;
        EXPECT_TRUE(has(saved, "106") == false && has(saved, "104")) << saved;
        EXPECT_TRUE(has(r.out, "All parameters were saved in PARAMS array")) << r.out;

        // The device changes; loading the saved file brings back what it held.
        b.set(0x20, 0x2000, 0, le(5, 4));
        b.set(0x20, 0x2001, 0, le(6, 2));
        b.set(0x20, 0x2002, 0, text("other"));
        b.set(0x20, 0x2003, 0, {1});
        b.set(0x20, 0x2005, 0, le(3, 4));
        for (uint8_t s = 1; s <= 6; s++) b.set(0x20, 0x2004, s, le(0, 2));
        r = b.krcan(box, {"--db", "db.json", "--loadparam", file});
        ASSERT_EQ(r.exit_code, 0) << all(r);
        EXPECT_EQ(b.value(0x20, 0x2000, 0), 0x80000001u);
        EXPECT_EQ(b.stored(0x20, 0x2000, 0), 0x80000001u);
        EXPECT_EQ(b.value(0x20, 0x2001, 0), 0xBEEFu);
        EXPECT_EQ(b.str(0x20, 0x2002), "12345");
        EXPECT_EQ(b.value(0x20, 0x2003, 0), 200u);
        EXPECT_EQ(b.value(0x20, 0x2005, 0), 0xFFFFFFFFu);
        EXPECT_EQ(b.stored(0x20, 0x2005, 0), 0xFFFFFFFFu);
        for (uint8_t s = 1; s <= 4; s++) EXPECT_EQ(b.value(0x20, 0x2004, s), 100u + s) << (int)s;
        EXPECT_EQ(b.value(0x20, 0x2004, 5), 0u);
    }
}

TEST(SaveParam, OperatorsAreSavedEachAndTheCurrentOneReturns)
{
    for (std::string ext : {"json", "yaml"}) {
        SCOPED_TRACE(ext);
        Bench b({0x20});
        ASSERT_TRUE(sim_dev_add_opdb(b.runner, 0x20, three_operators()));
        e2e::sandbox box;
        box.write_file("db.json", database(true));
        box.write_file("first.json", operators_file(1000));
        box.write_file("second.json", operators_file(2000));
        e2e::result r = b.krcan(box, {"--db", "db.json", "--loadparam", "first.json"});
        ASSERT_EQ(r.exit_code, 0) << all(r);
        ASSERT_EQ(sim_dev_opdb_active(b.runner, 0x20), 2u);

        std::string file = "ops." + ext;
        r = b.krcan(box, {"--db", "db.json", "--saveparam", file});
        ASSERT_EQ(r.exit_code, 0) << all(r);
        EXPECT_EQ(sim_dev_opdb_active(b.runner, 0x20), 2u) << "the saver returns to the saved operator";
        std::string saved = box.read_file(file);
        EXPECT_TRUE(has(saved, "OPERATORS")) << saved;
        EXPECT_FALSE(has(r.out, "All parameters were saved in PARAMS array")) << r.out;

        r = b.krcan(box, {"--db", "db.json", "--loadparam", "second.json"});
        ASSERT_EQ(r.exit_code, 0) << all(r);
        r = b.krcan(box, {"--db", "db.json", "--loadparam", file});
        ASSERT_EQ(r.exit_code, 0) << all(r);
        for (uint32_t op = 1; op <= 3; op++) {
            bytes v, s;
            ASSERT_TRUE(sim_dev_opdb_get(b.runner, 0x20, op, 0x2000, 0, v, s));
            EXPECT_EQ(v, le(1000 + op, 4)) << op;
            EXPECT_EQ(s, le(1000 + op, 4)) << op;
            ASSERT_TRUE(sim_dev_opdb_get(b.runner, 0x20, op, 0x2003, 0, v, s));
            EXPECT_EQ(v, bytes{(uint8_t)(1000 % 200 + op)}) << op;
        }
        EXPECT_EQ(sim_dev_opdb_active(b.runner, 0x20), 2u);
    }
}

TEST(SaveParam, SelectionsCommunicationObjectsAndAlerts)
{
    Bench b({0x20});
    sim_dev_add_object(b.runner, 0x20, 0x5FF7, 0, object(SIM_U32, le(250000, 4)));
    sim_dev_add_object(b.runner, 0x20, 0x1017, 0, object(SIM_U16, le(500, 2)));
    sim_dev_add_object(b.runner, 0x20, 0x1016, 0, object(SIM_U8, {1}));
    sim_dev_add_object(b.runner, 0x20, 0x1016, 1, object(SIM_U32, le(0x7F03E8u, 4)));
    for (uint16_t base : {0x1400, 0x1600, 0x1800, 0x1801, 0x1A00, 0x1A01}) {
        sim_dev_add_object(b.runner, 0x20, base, 0, object(SIM_U8, {2}));
        sim_dev_add_object(b.runner, 0x20, base, 1, object(SIM_U32, le(0xC0DE0000u + base, 4)));
        sim_dev_add_object(b.runner, 0x20, base, 2, object(SIM_U32, le(0x11110000u + base, 4)));
    }
    e2e::sandbox box;
    box.write_file("db.json", database(false));
    {
        SCOPED_TRACE("words pick a main index and a name");
        e2e::result r = b.krcan(box, {"--db", "db.json", "--saveparam", "some.json", "0x2000", "small"});
        ASSERT_EQ(r.exit_code, 0) << all(r);
        std::string saved = box.read_file("some.json");
        EXPECT_TRUE(has(saved, "\"BIG\"") && has(saved, "\"SMALL\"")) << saved;
        EXPECT_FALSE(has(saved, "\"WORD\"") || has(saved, "\"LABEL\"") || has(saved, "\"TABLE\"")) << saved;
        EXPECT_FALSE(has(saved, "\"nodeid\"")) << saved;
    }
    {
        SCOPED_TRACE("saveparamall adds the communication objects");
        e2e::result r = b.krcan(box, {"--db", "db.json", "--saveparamall", "all.json"});
        ASSERT_EQ(r.exit_code, 0) << all(r);
        std::string saved = box.read_file("all.json");
        for (const char *name : {"\"nodeid\"", "\"baudrate\"", "\"heartbeat producer\"", "\"heartbeat consumer\"",
                                 "\"rxpdo 0 com\"", "\"rxpdo 0 map\"", "\"txpdo 1 com\"", "\"txpdo 1 map\"", "\"BIG\""})
            EXPECT_TRUE(has(saved, name)) << name << "\n" << saved;
        EXPECT_FALSE(has(saved, "rxpdo 1")) << saved;
        // Arrays in hexadecimal, as the device reports them; scalars decimal.
        EXPECT_TRUE(has(saved, "\"0xc0de1a01\"") && has(saved, "\"0x11111a01\"")) << saved;
        EXPECT_TRUE(has(saved, "\"DATA\":250000")) << saved;
        EXPECT_TRUE(has(saved, "\"DATA\":500")) << saved;
    }
    {
        SCOPED_TRACE("an unread version: each alert takes a whole line, so the next question gets its own");
        sim_fault_st f;
        f.index = 0x2FFF;
        f.dir = SIM_DIR_UPLOAD;
        f.code = 0x06020000;
        sim_dev_add_fault(b.runner, 0x20, f);
        box.write_file("q.json", R"({"QUERIES": [{"NAME": "Q", "QUESTION": "Pick?", "ANSWERS": ["one", "two"]}],
          "CAN IF VERSION": 1, "CAN IF MINDEX": "0x2fff", "CAN IF SINDEX": 0, "NODEID": 32,
          "PARAMS": [{"MAININDEX": "0x2003", "TYPE": "CANOPEN_UNSIGNED8", "Q": [41, 42]}]})");
        e2e::result r = b.krcan(box, {"--db", "db.json", "--saveparam", "v.json", "--loadparam=q.json"},
                                "xyz\nabc\n2\n");
        ASSERT_EQ(r.exit_code, 0) << all(r);
        EXPECT_TRUE(has(r.err, "ALERT: Could not read CAN interface version")) << r.err;
        EXPECT_TRUE(has(r.err, "ALERT: CAN interface version number not defined")) << r.err;
        EXPECT_FALSE(has(box.read_file("v.json"), "CAN IF VERSION"));
        EXPECT_EQ(b.value(0x20, 0x2003, 0), 42u);
    }
}

TEST(SaveParam, FailedSavesWriteNoFileAndFailTheRun)
{
    {
        SCOPED_TRACE("an abort mid-save leaves an existing file as it was");
        Bench b({0x20});
        sim_fault_st f;
        f.index = 0x2003;
        f.dir = SIM_DIR_UPLOAD;
        f.code = 0x06020000;
        sim_dev_add_fault(b.runner, 0x20, f);
        e2e::sandbox box;
        box.write_file("db.json", database(false));
        box.write_file("out.json", "old");
        e2e::result r = b.krcan(box, {"--db", "db.json", "--saveparam", "out.json"});
        EXPECT_EQ(r.exit_code, 1) << all(r);
        EXPECT_TRUE(has(r.out, "Error in obj 0x2003")) << r.out;
        EXPECT_TRUE(has(r.out, "No output file was written.")) << r.out;
        EXPECT_EQ(box.read_file("out.json"), "old");
    }
    {
        SCOPED_TRACE("the switch to operator 2 is refused: no file, the device back on its operator");
        Bench b({0x20});
        ASSERT_TRUE(sim_dev_add_opdb(b.runner, 0x20, three_operators()));
        e2e::sandbox box;
        box.write_file("db.json", database(true));
        box.write_file("first.json", operators_file(1000, 2));
        e2e::result r = b.krcan(box, {"--db", "db.json", "--loadparam", "first.json"});
        ASSERT_EQ(r.exit_code, 0) << all(r);
        ASSERT_EQ(sim_dev_opdb_active(b.runner, 0x20), 3u);
        // The save's transfers: version, name, current operator, count, switch to 1, 0x2000, switch to 2.
        sim_fault_st f;
        f.index = 0x3000;
        f.dir = SIM_DIR_DOWNLOAD;
        f.code = 0x08000020;
        f.xfer = sim_dev_transfers(b.runner, 0x20) + 7;
        sim_dev_add_fault(b.runner, 0x20, f);
        box.write_file("ops.json", "old");
        r = b.krcan(box, {"--db", "db.json", "--saveparam", "ops.json", "0x2000"});
        EXPECT_EQ(r.exit_code, 1) << all(r);
        EXPECT_TRUE(has(r.out, "Changing the active operator to op 2 failed")) << r.out;
        EXPECT_EQ(box.read_file("ops.json"), "old");
        EXPECT_EQ(sim_dev_opdb_active(b.runner, 0x20), 3u);
    }
    {
        SCOPED_TRACE("no database and no devices; a path longer than the field");
        e2e::sandbox box;
        e2e::result r = box.krcan({"--saveparam", "x.json"});
        EXPECT_EQ(r.exit_code, 1) << all(r);
        EXPECT_TRUE(has(r.out, "Load a database with --db")) << r.out;
        EXPECT_FALSE(std::filesystem::exists(box.path("x.json")));
        box.write_file("db.json", database(false));
        std::string long_path(300, 'p');
        r = box.krcan({"--db", "db.json", "--saveparam", long_path + ".json"});
        EXPECT_EQ(r.exit_code, 1) << all(r);
        EXPECT_TRUE(has(r.out, "is longer than 255 characters")) << r.out;
    }
}

} // namespace

namespace {

TEST(SaveParam, EachSaveKeepsItsOwnFileAndAnEmptySelectionWritesNothing)
{
    Bench b({0x20});
    sim_dev_add_object(b.runner, 0x20, 0x5FF7, 0, object(SIM_U32, le(250000, 4)));
    for (uint16_t index : {0x1016, 0x1400, 0x1600}) sim_dev_add_object(b.runner, 0x20, index, 0, object(SIM_U8, {0}));
    e2e::sandbox box;
    box.write_file("db.json", database(false));
    e2e::result r = b.krcan(box, {"--db", "db.json", "--saveparam=before.json", "--saveparamall=after.json"});
    ASSERT_EQ(r.exit_code, 0) << all(r);
    std::string before = box.read_file("before.json");
    EXPECT_TRUE(has(before, "\"BIG\"") && !has(before, "\"nodeid\"")) << before;
    EXPECT_TRUE(has(box.read_file("after.json"), "\"nodeid\"")) << box.read_file("after.json");

    // A word that names no object of the database selects nothing: no empty backup.
    r = b.krcan(box, {"--db", "db.json", "--saveparam", "backup.json", "new.json"});
    EXPECT_EQ(r.exit_code, 1) << all(r);
    EXPECT_TRUE(has(r.out, "'new.json'")) << r.out;
    EXPECT_FALSE(std::filesystem::exists(box.path("backup.json")));
}

// Communication objects as CiA 301 gives them: 8-bit transmission type, 16-bit inhibit time and event
// timer, a reserved sub-index 4; the simulated device's own 0x1800 and 0x1A00 are of that kind too.
// A device with the optional objects a bare one lacks: a baud rate, a heartbeat consumer and an RPDO.
void add_optional_objects(Bench &b)
{
    sim_dev_add_object(b.runner, 0x20, 0x5FF7, 0, object(SIM_U32, le(250000, 4)));
    sim_dev_add_object(b.runner, 0x20, 0x1016, 0, object(SIM_U8, {1}));
    sim_dev_add_object(b.runner, 0x20, 0x1016, 1, object(SIM_U32, le(0x7F03E8u, 4)));
    sim_dev_add_object(b.runner, 0x20, 0x1400, 0, object(SIM_U8, {5}));
    sim_dev_add_object(b.runner, 0x20, 0x1400, 1, object(SIM_U32, le(0x220, 4)));
    sim_dev_add_object(b.runner, 0x20, 0x1400, 2, object(SIM_U8, {0xFE}));
    sim_dev_add_object(b.runner, 0x20, 0x1400, 3, object(SIM_U16, le(0, 2)));
    sim_dev_add_object(b.runner, 0x20, 0x1400, 5, object(SIM_U16, le(0, 2)));
    sim_dev_add_object(b.runner, 0x20, 0x1600, 0, object(SIM_U8, {1}));
    sim_dev_add_object(b.runner, 0x20, 0x1600, 1, object(SIM_U32, le(0x20000008, 4)));
}

TEST(SaveParam, SavedCommunicationObjectsLoadBackByteForByte)
{
    Bench b({0x20});
    add_optional_objects(b);
    b.set(0x20, 0x1400, 2, {1});
    b.set(0x20, 0x1400, 5, le(250, 2));
    b.set(0x20, 0x1801, 3, le(40, 2));
    b.set(0x20, 0x1801, 5, le(1000, 2));
    const std::vector<std::pair<uint16_t, uint8_t>> subs = {{0x1400, 1}, {0x1400, 2}, {0x1400, 3}, {0x1400, 5},
                                                            {0x1600, 1}, {0x1800, 1}, {0x1800, 2}, {0x1800, 3},
                                                            {0x1800, 5}, {0x1801, 2}, {0x1801, 3}, {0x1801, 5},
                                                            {0x1A00, 1}, {0x1A01, 8}, {0x1016, 1}};
    std::vector<bytes> before;
    for (auto [index, sub] : subs) before.push_back(b.raw(0x20, index, sub));
    e2e::sandbox box;
    box.write_file("db.json", database(false));
    for (std::string ext : {"json", "yaml"}) {
        SCOPED_TRACE(ext);
        e2e::result r = b.krcan(box, {"--db", "db.json", "--saveparamall", "all." + ext});
        ASSERT_EQ(r.exit_code, 0) << all(r);
        for (auto [index, sub] : subs) b.set(0x20, index, sub, bytes(b.raw(0x20, index, sub).size(), 0));
        b.set(0x20, 0x1800, 1, le(0x1A0, 4)); // a valid PDO keeps its identifier
        b.set(0x20, 0x1801, 1, le(0x2A0, 4));
        b.set(0x20, 0x1400, 1, le(0x220, 4));
        r = b.krcan(box, {"--db", "db.json", "--loadparam", "all." + ext});
        ASSERT_EQ(r.exit_code, 0) << all(r);
        for (size_t i = 0; i < subs.size(); i++)
            EXPECT_EQ(b.raw(0x20, subs[i].first, subs[i].second), before[i])
                << std::hex << subs[i].first << ":" << (int)subs[i].second;
    }
}

// A backup of a full device onto a bare one: what the bare one lacks is left out with one line each,
// the rest is restored, stored and reset, and the run succeeds.
TEST(SaveParam, AFullBackupRestoresOntoABareDevice)
{
    e2e::sandbox box;
    box.write_file("db.json", database(false));
    std::vector<bytes> tpdo;
    const std::vector<std::pair<uint16_t, uint8_t>> subs = {{0x1800, 2}, {0x1801, 3}, {0x1801, 5}, {0x2000, 0}};
    {
        Bench full({0x20});
        add_optional_objects(full);
        full.set(0x20, 0x1801, 3, le(40, 2));
        full.set(0x20, 0x1801, 5, le(1000, 2));
        full.set(0x20, 0x2000, 0, le(77, 4));
        e2e::result r = full.krcan(box, {"--db", "db.json", "--saveparamall", "all.json"});
        ASSERT_EQ(r.exit_code, 0) << all(r);
        for (auto [index, sub] : subs) tpdo.push_back(full.raw(0x20, index, sub));
    }
    Bench bare({0x20});
    e2e::result r = bare.krcan(box, {"--db", "db.json", "--loadparam", "all.json"});
    EXPECT_EQ(r.exit_code, 0) << all(r);
    EXPECT_EQ(e2e::count(r.err, "User input requested") + e2e::count(r.err, "Press ENTER"), 0u) << r.err;
    EXPECT_TRUE(has(r.out, "Left out object 'baudrate'")) << r.out;
    EXPECT_TRUE(has(r.out, "Left out PDO RPDO 1 (0x1400/0x1600)")) << r.out;
    EXPECT_TRUE(has(r.out, "3 object(s) of the file that the device(s) do not have were left out")) << r.out;
    for (size_t i = 0; i < subs.size(); i++)
        EXPECT_EQ(bare.raw(0x20, subs[i].first, subs[i].second), tpdo[i])
            << std::hex << subs[i].first << ":" << (int)subs[i].second;
    EXPECT_EQ(bare.writes(0x20, 0x1010, 1), 1u);
    EXPECT_TRUE(bare.reset(0x20));
}

// What the saver writes, its loader takes back: long strings, and the width's own type name.
TEST(SaveParam, LongStringsAndTypeNamesLoadBack)
{
    Bench b({0x20});
    const std::string long_text(11000, 'L');
    for (std::string ext : {"json", "yaml"}) {
        SCOPED_TRACE(ext);
        b.set(0x20, 0x2002, 0, text(long_text));
        e2e::sandbox box;
        box.write_file("db.json", database(false));
        e2e::result r = b.krcan(box, {"--db", "db.json", "--saveparam", "s." + ext});
        ASSERT_EQ(r.exit_code, 0) << all(r);
        std::string saved = box.read_file("s." + ext);
        EXPECT_FALSE(has(saved, "CANOPEN_SIGNED32")) << saved;
        b.set(0x20, 0x2002, 0, text("short"));
        r = b.krcan(box, {"--db", "db.json", "--loadparam", "s." + ext});
        ASSERT_EQ(r.exit_code, 0) << all(r);
        EXPECT_EQ(b.str(0x20, 0x2002), long_text);
    }
    // Quotes, backslashes, a slash, a TAB and UTF-8 are saved with their format's escapes and restored as
    // they were.
    for (const std::string &held : {std::string("a\"b"), std::string("Gr\xC3\xBC\xC3\x9F"
                                                                     "e \xE2\x9C\x93 \\ / \t end")}) {
        for (std::string ext : {"json", "yaml"}) {
            SCOPED_TRACE(ext + ": " + held);
            b.set(0x20, 0x2002, 0, text(held));
            e2e::sandbox box;
            box.write_file("db.json", database(false));
            e2e::result r = b.krcan(box, {"--db", "db.json", "--saveparam", "q." + ext});
            ASSERT_EQ(r.exit_code, 0) << all(r);
            b.set(0x20, 0x2002, 0, text("short"));
            r = b.krcan(box, {"--db", "db.json", "--loadparam", "q." + ext});
            ASSERT_EQ(r.exit_code, 0) << all(r);
            EXPECT_EQ(b.str(0x20, 0x2002), held) << box.read_file("q." + ext);
        }
    }
}

// Generated device texts (every byte 0x01-0xFF, UTF-8, quotes, backslashes, line breaks, text that looks
// like an escape or like YAML syntax) saved by krcan in JSON and YAML and loaded back onto the device:
// each comes back as it was. Fixed seed, so a failure repeats.
TEST(SaveParam, GeneratedTextsComeBackUnchangedInBothFormats)
{
    constexpr int kTexts = 8;
    Bench b({0x20});
    std::string db = database(false);
    for (int k = 0; k < kTexts; k++) {
        char index[8];
        std::snprintf(index, sizeof index, "0x%x", 0x2100 + k);
        sim_dev_add_object(b.runner, 0x20, (uint16_t)(0x2100 + k), 0, object(SIM_STR, text("x"), 0x10000));
        db.insert(db.size() - 2, "," + obj("text " + std::to_string(k), index, "CANOPEN_STRING",
                                           ", \"data_type\": \"NONVOL_PARAM\", \"stringsize\": 256"));
    }
    const std::vector<std::string> pieces = {"\"",
                                             "'",
                                             "''",
                                             "\\",
                                             "\\\\",
                                             "\\\"",
                                             "\n",
                                             "\r\n",
                                             "\t",
                                             ": ",
                                             " #",
                                             "- ",
                                             "#",
                                             " ",
                                             "---",
                                             "\\u00e9",
                                             "\xC3\xA9",
                                             "\xE2\x9C\x93",
                                             "\xF0\x9F\x98\x80",
                                             "&a",
                                             "*a",
                                             "!!str",
                                             "{",
                                             "]",
                                             "0x1F",
                                             "123"};
    std::mt19937 rng(5419);
    for (int round = 0; round < 3; round++) {
        for (std::string ext : {"json", "yaml"}) {
            std::vector<std::string> held;
            for (int k = 0; k < kTexts; k++) {
                std::string t;
                const int parts = 1 + (int)(rng() % 16);
                for (int i = 0; i < parts; i++) {
                    if (rng() % 2 != 0)
                        t += (char)(1 + rng() % 255);
                    else
                        t += pieces[rng() % pieces.size()];
                }
                held.push_back(t);
                b.set(0x20, (uint16_t)(0x2100 + k), 0, text(t));
            }
            SCOPED_TRACE(ext + " round " + std::to_string(round));
            e2e::sandbox box;
            box.write_file("db.json", db);
            e2e::result r = b.krcan(box, {"--db", "db.json", "--saveparam", "g." + ext});
            ASSERT_EQ(r.exit_code, 0) << all(r);
            for (int k = 0; k < kTexts; k++) b.set(0x20, (uint16_t)(0x2100 + k), 0, text("short"));
            r = b.krcan(box, {"--db", "db.json", "--loadparam", "g." + ext});
            ASSERT_EQ(r.exit_code, 0) << all(r) << box.read_file("g." + ext);
            for (int k = 0; k < kTexts; k++)
                EXPECT_EQ(b.str(0x20, (uint16_t)(0x2100 + k)), held[k]) << "text " << k << "\n"
                                                                        << box.read_file("g." + ext);
        }
    }
}

} // namespace
