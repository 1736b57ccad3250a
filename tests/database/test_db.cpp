// The device database: the corpus's loaded model (JSON and YAML twins alike), broken documents,
// the limits, value texts and the CAN interface version check answered through the standard-input pipe.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <fstream>
#include <sstream>
#include <string>

#include "run/console.h"
#include "database/db.h"
#include "run/main.h"

namespace fs = std::filesystem;
using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

namespace {

const std::string corpus = KR_SOURCE_DIR "/tests/data/db/";

struct loaded {
    bool ok;
    std::string out;
};

loaded load(const std::string &path)
{
    CaptureStdout();
    bool ok = cmd_db(path.c_str());
    return {ok, GetCapturedStdout()};
}

const db_obj_st &obj(const char *name)
{
    db_obj_st *o = db_find_obj(&dev.db, name);
    if (!o) throw std::runtime_error(std::string("no object ") + name);
    return *o;
}

const db_array_child_st *child(const db_obj_st &o, int k)
{
    const db_array_child_st *c = o.child_ptr;
    while (c && k-- > 0) c = c->next_sibling;
    return c;
}

// Everything the model holds except where the files were, for comparing the twins.
std::string dump_model()
{
    const db_st &db = dev.db;
    std::ostringstream s;
    s << db.dev_name << ' ' << db.vendor_id << ' ' << db.product_code << ' ' << db.revision_number << ' '
      << (int)db.node_id << '\n';
    for (uint16_t i = 0; i < db.objects.len; ++i) {
        const db_obj_st &o = db.objects_buffer[i];
        s << o.name.value_str << ' ' << o.obj.main_index << ':' << (int)o.obj.sub_index << " t" << (int)o.obj.type
          << " p" << (int)o.obj.permissions << ' ' << o.type_str << " r" << o.obj_type << " n" << o.numsys;
        for (const dbvalue_st *v :
             {&o.value, &o.def, &o.min, &o.max, &o.dataptr, &o.array_max_size, &o.string_len, &o.string_def})
            s << " [" << v->value_int << '|' << v->value_str << ']';
        for (const db_array_child_st *c = o.child_ptr; c; c = c->next_sibling)
            s << " {" << c->name.value_str << ' ' << c->def.value_str << ' ' << c->min.value_str << ' '
              << c->max.value_str << ' ' << c->numsys << '}';
        s << '\n';
    }
    for (uint16_t i = 0; i < db.defines.len; ++i) s << db.defines_buffer[i].name << ' ';
    for (uint16_t i = 0; i < db.emcys.len; ++i) s << db.emcys_buffer[i].name << '=' << db.emcys_buffer[i].value << ' ';
    for (uint16_t i = 0; i < db.rxpdos.len; ++i) {
        s << "\nrx " << db.rxpdo_buffer[i].cobid;
        for (const auto &m : db.rxpdo_buffer[i].mappings.mappings)
            s << ' ' << m.main_index << ':' << (int)m.sub_index << '/' << (int)m.length;
    }
    for (uint16_t i = 0; i < db.txpdos.len; ++i) {
        const db_txpdo_st &p = db.txpdo_buffer[i];
        s << "\ntx " << p.cobid << ' ' << p.inhibit_time << ' ' << p.event_timer;
        for (const auto &m : p.mappings.mappings)
            s << ' ' << m.main_index << ':' << (int)m.sub_index << '/' << (int)m.length;
    }
    for (uint16_t i = 0; i < db.revnotes.len; ++i) s << "\nrev " << db.revnotes_buffer[i].revision;
    return s.str();
}

// A private folder for generated documents.
struct tmpdir {
    fs::path path;
    tmpdir()
    {
        char templ[] = "/tmp/krcan_test_db_XXXXXX";
        path = mkdtemp(templ);
    }
    ~tmpdir() { fs::remove_all(path); }
    std::string write(const std::string &name, const std::string &text) const
    {
        fs::create_directories((path / name).parent_path());
        std::ofstream(path / name) << text;
        return (path / name).string();
    }
};

std::string scalar(const std::string &name, unsigned index, unsigned sub = 0)
{
    return "{\"name\": \"" + name + "\", \"index\": " + std::to_string(index) +
           ", \"type\": \"CANOPEN_UNSIGNED8\", \"permissions\": \"CANOPEN_RO\", \"subindex\": " + std::to_string(sub) +
           ", \"value\": 1, \"dataptr\": \"0\"}";
}

std::string doc(const std::string &extra, const std::string &objects)
{
    return "{\"DEV\": \"Drive\", \"NODEID\": 16, " + extra + (extra.empty() ? "" : ", ") + "\"OBJ_DICT\": [" + objects +
           "]}";
}

class DbCorpus : public testing::TestWithParam<const char *> {};

TEST_P(DbCorpus, LoadsTheWholeModel)
{
    loaded r = load(corpus + GetParam());
    ASSERT_TRUE(r.ok) << r.out;
    EXPECT_TRUE(db_is_loaded(&dev.db));
    EXPECT_NE(r.out.find("Database parsed succesfully."), std::string::npos);
    const db_st &db = dev.db;
    EXPECT_STREQ(db.dev_name, "Drive");
    EXPECT_STREQ(db.dev_name_upper, "DRIVE");
    EXPECT_EQ(db.vendor_id, 0x31Du);
    EXPECT_EQ(db.product_code, 4660u);
    EXPECT_EQ(db.revision_number, 0xFFFFFFFFu); // 32 bits kept, not saturated
    EXPECT_EQ(db_get_nodeid(&dev.db), 0x10);
    ASSERT_EQ(db.revnotes.len, 3);
    EXPECT_EQ(db.revnotes_buffer[1].note_count, 2);
    EXPECT_STREQ(db.revnotes_buffer[1].notes[1], "Serial number is read only");

    // Sorted by main index, scalars of one index by sub index; EMCY strings in their block.
    const char *order[] = {"SPEED",
                           "OPERATING_MODE",
                           "SERIAL",
                           "LABEL",
                           "GAINS",
                           "PAINT",
                           "LIMIT_LOW",
                           "LIMIT",
                           "TABLE",
                           "POLE_PAIRS",
                           "TEMPERATURE",
                           "EMCY_OVERTEMP_STR0",
                           "EMCY_OVERTEMP_STR1",
                           "EMCY_OVERTEMP_STR2",
                           "EMCY_UNDERVOLT_STR0",
                           "EMCY_UNDERVOLT_STR1",
                           "IF_VERSION"};
    ASSERT_EQ(db.objects.len, sizeof order / sizeof order[0]);
    for (size_t i = 0; i < sizeof order / sizeof order[0]; ++i)
        EXPECT_STREQ(db.objects_buffer[i].name.value_str, order[i]) << i;

    // Listed twice ("speed", "Speed"): one object, the second entry changed only the default.
    const db_obj_st &speed = obj("SPEED");
    EXPECT_EQ(speed.obj.main_index, 0x2001);
    EXPECT_EQ(speed.obj.type, 2);
    EXPECT_EQ(speed.obj.permissions, 3);
    EXPECT_EQ(speed.def.value_int, 20);
    EXPECT_EQ(speed.max.value_int, 100);
    EXPECT_STREQ(speed.max.value_str, "DRIVE_MAX_SPEED");
    EXPECT_STREQ(speed.dataptr.value_str, "&speed");

    const db_obj_st &mode = obj("OPERATING_MODE");
    EXPECT_EQ(mode.obj_type, DB_OBJ_TYPE_NONVOL_PARAM);
    EXPECT_EQ(mode.min.value_int, 0);
    EXPECT_STREQ(mode.min.value_str, "DRIVE_MODE_OFF");
    EXPECT_EQ(mode.def.value_int, 1); // written "mode_on": the symbol is the header's all the same
    EXPECT_STREQ(mode.def.value_str, "DRIVE_MODE_ON");

    const db_obj_st &serial = obj("SERIAL");
    EXPECT_EQ((uint32_t)serial.value.value_int, 0xFFFFFFFFu);
    EXPECT_EQ((uint32_t)serial.min.value_int, 0xFFFFFFFFu); // read only: limits from the value
    EXPECT_EQ((uint32_t)serial.max.value_int, 0xFFFFFFFFu);
    EXPECT_EQ(serial.numsys, DB_OBJ_NUMSYS_HEX);

    const db_obj_st &label = obj("LABEL");
    EXPECT_EQ(label.string_len.value_int, 16);
    EXPECT_STREQ(label.string_def.value_str, "Drive one");

    const db_obj_st &gains = obj("GAINS");
    EXPECT_EQ(gains.obj.array_max_size, 3);
    ASSERT_NE(child(gains, 2), nullptr);
    EXPECT_EQ(child(gains, 3), nullptr);
    EXPECT_STREQ(child(gains, 0)->name.value_str, "P");
    EXPECT_STREQ(child(gains, 1)->def.value_str, "DRIVE_MAX_SPEED");
    EXPECT_EQ(child(gains, 1)->def.value_int, 100);
    EXPECT_EQ(child(gains, 1)->numsys, DB_OBJ_NUMSYS_HEX);
    EXPECT_STREQ(child(gains, 2)->name.value_str, "CHILD3");
    EXPECT_EQ(child(gains, 2)->def.value_int, 0);

    // BLUE follows GREEN = 5: the device gets the value the generated enumeration gives it.
    const db_obj_st &paint = obj("PAINT");
    EXPECT_EQ(paint.def.value_int, 6);
    EXPECT_STREQ(paint.def.value_str, "DRIVE_COLOR_BLUE");
    EXPECT_EQ(paint.min.value_int, 0);

    // A container's define resolves to its number: the header never defines it.
    EXPECT_STREQ(obj("POLE_PAIRS").max.value_str, "8");
    EXPECT_EQ(obj("TEMPERATURE").value.value_int, 8);
    EXPECT_EQ(db_define_find(&dev.db, "POLES"), nullptr);
    EXPECT_EQ(db.defines.len, 7);

    EXPECT_STREQ(obj("LIMIT").max.value_str, "DRIVE_ACCEL_MAX");
    EXPECT_EQ(obj("LIMIT_LOW").max.value_int, 100); // a define that copies another
    const db_obj_st &table = obj("TABLE");
    EXPECT_EQ((uint32_t)child(table, 1)->def.value_int, 0x80000000u);
    EXPECT_EQ(table.array_max_size.value_int, 2);

    ASSERT_EQ(db.emcys.len, 2);
    EXPECT_EQ(db.emcys_buffer[1].value, 3);
    const db_obj_st &emcy = obj("EMCY_UNDERVOLT_STR1");
    EXPECT_EQ(emcy.obj.main_index, 0x2104);
    EXPECT_EQ(emcy.obj.type, 17);
    EXPECT_EQ(emcy.obj_type, DB_OBJ_TYPE_EMCY);
    EXPECT_STREQ(emcy.string_def.value_str, "Check the battery");
    EXPECT_EQ(emcy.string_len.value_int, 18);
    EXPECT_STREQ(emcy.dataptr.value_str, "DRIVE_EMCY_UNDERVOLT_STR1_DEFAULT");
    EXPECT_EQ(obj("IF_VERSION").obj_type, DB_OBJ_TYPE_IF_VERSION);

    ASSERT_EQ(db.rxpdos.len, 4);
    EXPECT_STREQ(db.rxpdo_buffer[0].cobid, "0x200 + DRIVE_NODEID");
    const auto &rx0 = db.rxpdo_buffer[0].mappings.mappings;
    EXPECT_EQ(rx0[0].main_index, 0x2001);
    EXPECT_EQ(rx0[0].length, 2);
    EXPECT_EQ(rx0[1].main_index, 0x2005);
    EXPECT_EQ(rx0[1].sub_index, 2);
    EXPECT_STREQ(db.rxpdo_buffer[1].cobid, "CANOPEN_PDO_DISABLED");
    EXPECT_EQ(db.rxpdo_buffer[3].mappings.mappings[0].main_index, 0); // a gap
    EXPECT_EQ(db.rxpdo_buffer[3].mappings.mappings[0].length, 2);
    EXPECT_NE(r.out.find("RXPDO 4 used bytes: 6 / 8"), std::string::npos);
    ASSERT_EQ(db.txpdos.len, 1);
    EXPECT_EQ(db.txpdo_buffer[0].inhibit_time, 20);
    EXPECT_EQ(db.txpdo_buffer[0].mappings.mappings[1].sub_index, 2);
    EXPECT_EQ(db.txpdo_buffer[0].mappings.mappings[1].length, 4);

    ASSERT_EQ(db.include_count, 2);
    EXPECT_NE(std::string(db.includes[1]).find("sub/sensor.json"), std::string::npos);
    EXPECT_EQ(std::string(db.filepath), corpus + GetParam());
}

INSTANTIATE_TEST_SUITE_P(Twins, DbCorpus, testing::Values("drive.json", "drive.yaml"));

TEST(DbCorpusTwins, JsonAndYamlGiveTheSameModel)
{
    ASSERT_TRUE(load(corpus + "drive.json").ok);
    std::string json = dump_model();
    ASSERT_TRUE(load(corpus + "drive.yaml").ok);
    EXPECT_EQ(json, dump_model());
    db_deinit(&dev.db);
    EXPECT_FALSE(db_is_loaded(&dev.db));
    EXPECT_EQ(dev.db.objects.len, 0);
}

TEST(DbBroken, EachFailsWithItsMessage)
{
    struct {
        const char *file;
        const char *message;
    } cases[] = {
        {"missing_content.json", "Failed to open content file '"},
        {"bad_define.json", "DEFINES array 'DEFINES' had an illegal type of value"},
        {"unbalanced.json", "Failed to open database file "},
        {"mapping_over.json", "PDO mapping uses 10 bytes, more than the 8 of a PDO."},
        {"no_such_file.json", "Failed to open database file "},
    };
    for (const auto &c : cases) {
        loaded r = load(corpus + c.file);
        EXPECT_FALSE(r.ok) << c.file;
        EXPECT_FALSE(db_is_loaded(&dev.db)) << c.file;
        EXPECT_NE(r.out.find(c.message), std::string::npos) << c.file << ":\n" << r.out;
    }
    // The PDO that does not fit is not in the list, and the load says so.
    loaded r = load(corpus + "mapping_over.json");
    EXPECT_EQ(dev.db.rxpdos.len, 0);
    EXPECT_NE(r.out.find("Parsing the database file failed."), std::string::npos);
}

TEST(DbLimits, DocumentsOverALimitAreRefused)
{
    tmpdir t;
    auto objects = [](int n) {
        std::string s;
        for (int i = 0; i < n; ++i) s += (i ? "," : "") + scalar("O" + std::to_string(i), 0x2000 + i);
        return s;
    };
    // 512 objects load; one more is refused, not dropped.
    EXPECT_TRUE(load(t.write("ok.json", doc("", objects(512)))).ok);
    EXPECT_EQ(dev.db.objects.len, 512);
    loaded r = load(t.write("objects.json", doc("", objects(515))));
    EXPECT_FALSE(r.ok);
    // One line for the whole load, with the count.
    size_t first = r.out.find("More than 512 objects");
    EXPECT_NE(first, std::string::npos);
    EXPECT_EQ(r.out.find("More than 512 objects", first + 1), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("3 objects are not read"), std::string::npos) << r.out;

    std::string defines, emcys, rx, includes;
    for (int i = 0; i < 129; ++i) {
        defines += (i ? "," : "") + std::string("{\"D") + std::to_string(i) + "\": " + std::to_string(i) + "}";
        emcys += (i ? "," : "") + std::string("{\"name\": \"E") + std::to_string(i) + "\"}";
        rx += (i ? "," : "") + std::string("{\"cobid\": \"0\", \"transmission\": \"ASYNC\", \"mappings\": []}");
        t.write("c" + std::to_string(i) + ".json",
                "{\"content\": [" + scalar("C" + std::to_string(i), 0x3000 + i) + "]}");
        includes += (i ? "," : "") + std::string("{\"content\": \"c") + std::to_string(i) + ".json\"}";
    }
    struct {
        std::string text;
        const char *message;
    } over[] = {
        {doc("\"DEFINES\": [" + defines + "]", objects(1)), "More than 128 defines"},
        {doc("\"EMCY_INDEX\": 8192, \"EMCY\": [" + emcys + "]", objects(1)), "More than 128 EMCYs"},
        {doc("\"RXPDO\": [" + rx + "]", objects(1)), "More than 128 RXPDOs"},
        {doc("", includes), "More than 128 content files"},
    };
    for (auto &o : over) {
        r = load(t.write("over.json", o.text));
        EXPECT_FALSE(r.ok) << o.message;
        EXPECT_NE(r.out.find(o.message), std::string::npos) << r.out.substr(0, 2000);
    }

    // An array of more than 255 elements, a mapping of more than 8 entries.
    r = load(t.write("array.json",
                     doc("", "{\"name\": \"A\", \"index\": 8192, \"type\": \"CANOPEN_ARRAY8\", \"permissions\": "
                             "\"CANOPEN_RO\", \"arraysize\": 256, \"dataptr\": \"a\"}")));
    EXPECT_FALSE(r.ok);
    EXPECT_NE(r.out.find("more than the 255 an array can hold"), std::string::npos);
    std::string nine;
    for (int i = 0; i < 9; ++i) nine += (i ? "," : "") + std::string("{\"param\": \"\", \"length\": 0}");
    r = load(t.write("nine.json",
                     doc("\"RXPDO\": [{\"cobid\": \"0\", \"transmission\": \"ASYNC\", \"mappings\": [" + nine + "]}]",
                         objects(1))));
    EXPECT_FALSE(r.ok);
    EXPECT_NE(r.out.find("has 9 entries, more than 8"), std::string::npos);

    // A zero-byte gap would end the list early (what follows it is lost); a sub index past 8 bits
    // would map another element. Both are refused, and the PDO is not kept.
    const std::string arr = "{\"name\": \"A\", \"index\": 8192, \"type\": \"CANOPEN_ARRAY8\", \"permissions\": "
                            "\"CANOPEN_RO\", \"arraysize\": 2, \"dataptr\": \"a\", \"data\": [{\"name\": \"E1\", "
                            "\"default\": 1}, {\"name\": \"E2\", \"default\": 2}]}";
    for (const auto &[mapping, message] : std::vector<std::pair<std::string, std::string>>{
             {"{\"param\": \"\", \"length\": 0}, {\"param\": \"A\", \"subindex\": 1}",
              "'length of a mapping gap' 0 is outside 1..8"},
             {"{\"param\": \"A\", \"subindex\": 257}", "'subindex of mapping A' 257 is outside 1..2"},
             {"{\"param\": \"A\", \"subindex\": -1}", "'subindex of mapping A' -1 is outside 1..2"}}) {
        r = load(t.write("map.json", doc("\"RXPDO\": [{\"cobid\": \"0\", \"transmission\": \"ASYNC\", \"mappings\": [" +
                                             mapping + "]}]",
                                         arr)));
        EXPECT_FALSE(r.ok) << mapping;
        EXPECT_NE(r.out.find(message), std::string::npos) << r.out;
        EXPECT_EQ(dev.db.rxpdos.len, 0) << mapping;
    }
    // An RXPDO writes what it maps: a read-only object there is said, and the PDO kept as written.
    r = load(t.write("ro.json", doc("\"RXPDO\": [{\"cobid\": \"0\", \"transmission\": \"ASYNC\", \"mappings\": "
                                    "[{\"param\": \"A\", \"subindex\": 2}]}]",
                                    arr)));
    EXPECT_TRUE(r.ok) << r.out;
    EXPECT_NE(r.out.find("RXPDO 1 maps 'A', which is read only."), std::string::npos) << r.out;
    EXPECT_EQ(dev.db.rxpdos.len, 1);
}

TEST(DbFaults, EmcyStrideNodeIdAndRecursion)
{
    tmpdir t;
    // The second EMCY has more strings than the first: they would overlap the next block, so the
    // database is refused.
    loaded r = load(
        t.write("emcy.json",
                doc("\"EMCY_INDEX\": \"0x2100\", \"EMCY\": [{\"name\": \"A\", \"str\": [\"a0\", \"a1\"]}, "
                    "{\"name\": \"B\", \"str\": [\"b0\", \"b1\", \"b2\"]}, {\"name\": \"C\", \"str\": [\"c0\"]}]",
                    scalar("X", 0x2000))));
    EXPECT_FALSE(r.ok) << r.out;
    EXPECT_NE(r.out.find("EMCY 'B' has 3 info strings, but each EMCY has room for 2"), std::string::npos);
    EXPECT_EQ(db_find_obj(&dev.db, "EMCY_B_STR2"), nullptr);
    EXPECT_EQ(db_find_obj(&dev.db, "EMCY_C_STR0")->obj.main_index, 0x2104);

    // A first EMCY without strings still gives every EMCY a block of its own.
    r = load(t.write("emcy0.json", doc("\"EMCY_INDEX\": 16, \"EMCY\": [{\"name\": \"A\", \"str\": []}, {\"name\": "
                                       "\"B\"}, {\"name\": \"C\"}]",
                                       scalar("X", 0x2000))));
    EXPECT_EQ(dev.db.emcys_buffer[2].value, 2);

    // Node ids outside 1..127 are refused; the one held stays.
    db_set_nodeid_state(&dev.db, 0x22, true, false);
    for (const char *bad : {"0", "128", "255", "-1"}) {
        r = load(t.write("node.json", "{\"DEV\": \"D\", \"NODEID\": " + std::string(bad) + ", \"OBJ_DICT\": [" +
                                          scalar("X", 0x2000) + "]}"));
        EXPECT_FALSE(r.ok);
        EXPECT_NE(r.out.find("'NODEID' " + std::string(bad) + " is outside 1..127"), std::string::npos) << bad;
        EXPECT_EQ(db_get_nodeid(&dev.db), 0x22) << bad;
    }
    // A forced node id holds over the document's through a load.
    db_set_nodeid_force(&dev.db, 0x30);
    load(t.write("node7.json", "{\"DEV\": \"D\", \"NODEID\": 7, \"OBJ_DICT\": []}"));
    bool set = false, forced = false;
    uint8_t id = 0;
    db_get_nodeid_state(&dev.db, &id, &set, &forced);
    EXPECT_EQ(id, 0x30);
    EXPECT_TRUE(forced);
    db_set_nodeid(&dev.db, 9); // ignored while forced
    EXPECT_EQ(db_get_nodeid(&dev.db), 0x30);
    db_set_nodeid_state(&dev.db, 0, false, false);

    // A content file that includes itself is read once.
    t.write("loop.json", "{\"content\": [" + scalar("L", 0x2001) + ", {\"content\": \"loop.json\"}]}");
    r = load(t.write("top.json", doc("", scalar("X", 0x2000) + ", {\"content\": \"loop.json\"}")));
    EXPECT_FALSE(r.ok);
    EXPECT_NE(r.out.find("includes itself"), std::string::npos);
    EXPECT_NE(db_find_obj(&dev.db, "L"), nullptr);
}

// Every key the document format marks required refuses the database when a new object lacks it;
// a later entry of the same name needs none of them.
TEST(DbFaults, MissingRequiredKeysRefuseTheDatabase)
{
    tmpdir t;
    const std::map<std::string, std::string> writable = {{"index", "8192"},
                                                         {"type", "\"CANOPEN_UNSIGNED16\""},
                                                         {"permissions", "\"CANOPEN_RW\""},
                                                         {"subindex", "0"},
                                                         {"min", "0"},
                                                         {"max", "9"},
                                                         {"default", "1"},
                                                         {"dataptr", "\"&x\""}};
    const std::map<std::string, std::string> text = {
        {"index", "8193"},   {"type", "\"CANOPEN_STRING\""}, {"permissions", "\"CANOPEN_RO\""},
        {"stringsize", "8"}, {"default", "\"ab\""},          {"dataptr", "\"s\""}};
    for (const auto *keys : {&writable, &text}) {
        for (const auto &[missing, unused] : *keys) {
            std::string o = "{\"name\": \"P\"";
            for (const auto &[k, v] : *keys)
                if (k != missing) o += ", \"" + k + "\": " + v;
            loaded r = load(t.write("req.json", doc("", o + "}")));
            EXPECT_FALSE(r.ok) << missing;
            EXPECT_NE(r.out.find("\"" + missing + "\" field not found in parameter \"P\""), std::string::npos)
                << missing << "\n"
                << r.out;
        }
    }
    // Complete, and a second entry that changes only the maximum.
    std::string o = "{\"name\": \"P\"";
    for (const auto &[k, v] : writable) o += ", \"" + k + "\": " + v;
    loaded r = load(t.write("req.json", doc("", o + "}, {\"name\": \"p\", \"max\": 8}")));
    EXPECT_TRUE(r.ok) << r.out;
    // A container's defines hold only while its content file is read: beside a content array they
    // would be passed over.
    r = load(
        t.write("cdef.json", doc("", "{\"defines\": [{\"LIMIT\": 5}], \"content\": [" + scalar("X", 0x2000) + "]}")));
    EXPECT_FALSE(r.ok);
    EXPECT_NE(r.out.find("cannot hold \"defines\""), std::string::npos) << r.out;
}

TEST(DbValues, TextsResolveToIntegersAndSymbols)
{
    tmpdir t;
    ASSERT_TRUE(
        load(t.write("v.json", doc("\"DEFINES\": [{\"MAX_SPEED\": 100}, {\"name\": \"MODE\", \"value\": [\"OFF\", "
                                   "\"ON\"]}, {\"BASE\": \"0x40\"}, {\"S\": \"OFFSET + 1\"}]",
                                   scalar("X", 0x2000))))
            .ok);
    dbvalue_st v;
    dbvalue_init(&v);
    EXPECT_FALSE(dbvalue_is_set(&v));
    struct {
        const char *text;
        int32_t value;
        const char *out;
    } cases[] = {
        {"0x1A", 26, "26"},
        {"0xFFFFFFFF", -1, "4294967295"},
        {"0x1G", 0, "0x1G"},
        {"MAX_SPEED", 100, "DRIVE_MAX_SPEED"},
        {"drive_max_speed", 100, "DRIVE_MAX_SPEED"},
        {"MODE_ON", 1, "DRIVE_MODE_ON"},
        {"BASE", 0x40, "DRIVE_BASE"},
        {"UNKNOWN", 0, "UNKNOWN"},
    };
    for (const auto &c : cases) {
        dbvalue_set_string(&v, c.text, std::strlen(c.text));
        EXPECT_TRUE(dbvalue_is_set(&v));
        EXPECT_EQ(v.value_int, c.value) << c.text;
        EXPECT_STREQ(v.value_str, c.out) << c.text;
    }
    CaptureStdout();
    dbvalue_set_string(&v, "MODE", 4);
    dbvalue_set_string(&v, "MODE_HALF", 9);
    std::string out = GetCapturedStdout();
    EXPECT_NE(out.find("Define with ENUM type not found with a name of 'MODE'"), std::string::npos);
    EXPECT_NE(out.find("No ENUM define found with name of 'MODE_HALF' for define 'MODE'"), std::string::npos);
    // Only the first len characters count.
    dbvalue_set_string(&v, "0x10zz", 4);
    EXPECT_EQ(v.value_int, 16);
    dbvalue_free(&v);
    EXPECT_FALSE(dbvalue_is_set(&v));
}

// A container's own define holds over a root define of the same name while its file is read, and
// a string define rewrites neither a name that holds it nor a longer word.
TEST(DbValues, ScopedDefinesHoldAndNamesStayAsWritten)
{
    tmpdir t;
    t.write("part.json",
            "{\"content\": [{\"name\": \"LIM_MAX\", \"index\": \"LIM\", \"type\": \"CANOPEN_UNSIGNED8\", "
            "\"permissions\": \"CANOPEN_RO\", \"subindex\": 0, \"value\": \"LIM_MAX2\", \"dataptr\": \"0\"}]}");
    ASSERT_TRUE(load(t.write("s.json", doc("\"DEFINES\": [{\"LIM\": 8192}, {\"MAX\": \"7\"}, {\"LIM_MAX2\": 3}]",
                                           scalar("X", 0x3000, 1) +
                                               ", {\"content\": \"part.json\", \"defines\": [{\"LIM\": 12288}]}")))
                    .ok);
    db_obj_st *o = db_find_obj(&dev.db, "LIM_MAX");
    ASSERT_NE(o, nullptr) << "the name is not rewritten by the define MAX";
    EXPECT_EQ(o->obj.main_index, 0x3000);
    EXPECT_EQ(o->value.value_int, 3) << "LIM_MAX2 is not the define MAX inside another word";
}

TEST(DbConversions, TypeAndPermissionTexts)
{
    char s[64];
    EXPECT_EQ(db_str_to_type("CANOPEN_SIGNED16"), 2);
    EXPECT_EQ(db_str_to_type("CANOPEN_ARRAYSIGNED32"), 68);
    EXPECT_EQ(db_str_to_type("uint16"), 1);
    EXPECT_STREQ(db_type_to_str(66, s), "CANOPEN_ARRAY16");
    EXPECT_STREQ(db_type_to_str(3, s), "UNKNOWN");
    EXPECT_STREQ(db_type_to_stdint(68, s), "uint32_t");
    EXPECT_STREQ(db_type_to_stdint(17, s), "char *");
    EXPECT_STREQ(db_permission_to_str(3, s), "CANOPEN_RW");
    EXPECT_STREQ(db_permission_to_longstr(2, s), "Write only");
    EXPECT_STREQ(db_transmission_to_str(1, s), "CANOPEN_PDO_TRANSMISSION_UNKNOWN");
    char name[] = "a b,c:d=e\tf";
    EXPECT_STREQ(str_to_upper_nonspace(name), "A_B_C_D_E_F");
    char ident[32];
    db_c_ident("mé-x\"1", ident, sizeof ident);
    EXPECT_STREQ(ident, "M___X_1"); // two bytes of UTF-8
    db_c_ident("0123456789abcdef", ident, 8);
    EXPECT_STREQ(ident, "0123456");
}

// The version check reads its answers from the standard-input pipe, as under the window.
class DbVersionCheck : public testing::Test {
protected:
    static void SetUpTestSuite() { kr_stdin_use_pipe(); }
    kr_errors_e ask(const char *answers, bool *skip_all, std::string *out, std::string *err)
    {
        if (answers) kr_stdin_feed(answers);
        CaptureStdout();
        CaptureStderr();
        kr_errors_e e = db_check_can_if_version(&dev.db, 3, 5, "file", "device", skip_all);
        *out = GetCapturedStdout();
        *err = GetCapturedStderr();
        return e;
    }
};

TEST_F(DbVersionCheck, AnswersWithADatabase)
{
    ASSERT_TRUE(load(corpus + "drive.json").ok);
    std::string out, err;
    uint32_t prompts = kr_stdin_get_prompt_count();
    CaptureStdout();
    EXPECT_EQ(db_check_can_if_version(&dev.db, 4, 4, "file", "device", nullptr), ERR_NONE);
    EXPECT_NE(GetCapturedStdout().find("CAN interface version 4"), std::string::npos);
    EXPECT_EQ(kr_stdin_get_prompt_count(), prompts); // equal versions ask nothing

    EXPECT_EQ(ask("", nullptr, &out, &err), ERR_NONE);
    EXPECT_NE(out.find("CAN interface revision mismatch: file (3) vs device (5)"), std::string::npos);
    EXPECT_NE(out.find("User selected: continue"), std::string::npos);
    // Notes of revisions in (3, 5] only.
    EXPECT_NE(err.find("rev 5:"), std::string::npos);
    EXPECT_NE(err.find("    - Interface version 5"), std::string::npos);
    EXPECT_EQ(err.find("rev 3:"), std::string::npos);
    EXPECT_EQ(err.find("skipall"), std::string::npos);

    EXPECT_EQ(ask("please skip", nullptr, &out, &err), ERR_SKIPPED);
    EXPECT_NE(out.find("User selected: skip device"), std::string::npos);
    bool skip_all = false;
    EXPECT_EQ(ask("skipall", &skip_all, &out, &err), ERR_SKIPPED);
    EXPECT_TRUE(skip_all);
    EXPECT_NE(err.find("or 'skipall' to skip the rest of the parameter file"), std::string::npos);
    // A long answer is read to its end: the next question gets the next line.
    EXPECT_EQ(ask((std::string(600, 'x') + "\nskip").c_str(), nullptr, &out, &err), ERR_NONE);
    EXPECT_EQ(ask(nullptr, nullptr, &out, &err), ERR_SKIPPED);
}

TEST_F(DbVersionCheck, WithoutADatabaseLoadsOneFromTheAnswer)
{
    db_deinit(&dev.db);
    std::string out, err;
    EXPECT_EQ(ask((corpus + "drive.yaml\n\n").c_str(), nullptr, &out, &err), ERR_NONE);
    EXPECT_NE(out.find("Loading database from '" + corpus + "drive.yaml'"), std::string::npos);
    EXPECT_NE(err.find("enter path to database JSON file"), std::string::npos);
    EXPECT_NE(err.find("rev 5:"), std::string::npos);
    EXPECT_TRUE(db_is_loaded(&dev.db));
    db_deinit(&dev.db);
    EXPECT_EQ(ask("skip", nullptr, &out, &err), ERR_SKIPPED);
    bool skip_all = false;
    EXPECT_EQ(ask("nowhere.json\nskipall", &skip_all, &out, &err), ERR_SKIPPED);
    EXPECT_NE(out.find("Failed to open database file"), std::string::npos);
    EXPECT_TRUE(skip_all);
}

} // namespace
