// Hostile device databases, end to end: every document here would once have been cut, wrapped or
// half read into a dictionary. Each must be refused by --db with status 1, a message naming the
// problem, and no export written.
#include <gtest/gtest.h>

#include "e2e/e2e.h"

namespace {

std::string obj(const std::string &name, const std::string &index, const std::string &type = "CANOPEN_UNSIGNED8",
                const std::string &extra = "\"subindex\": 0, \"min\": 0, \"max\": 1, \"default\": 0")
{
    return "{\"name\": \"" + name + "\", \"index\": " + index + ", \"type\": \"" + type +
           "\", \"permissions\": \"CANOPEN_RW\", " + extra + ", \"dataptr\": \"&" + name + "\"}";
}

std::string doc(const std::string &objects, const std::string &extra = "")
{
    return "{\"DEV\": \"Hostile\", \"NODEID\": 16, " + extra + (extra.empty() ? "" : ", ") + "\"OBJ_DICT\": [" +
           objects + "]}";
}

std::string nested_yaml(int depth)
{
    std::string s = "{name: X, index: 0x2000, type: CANOPEN_UNSIGNED8, permissions: CANOPEN_RW, subindex: 0, min: 0, "
                    "max: 1, default: 0, dataptr: \"&x\"}";
    for (int i = 0; i < depth; i++) s = "{content: [" + s + "]}";
    return "DEV: \"Hostile\"\nNODEID: 16\nOBJ_DICT:\n  - " + s + "\n";
}

struct hostile {
    const char *what;
    std::string file;
    std::string text;
    const char *says;
};

TEST(DbHostile, EveryHostileDocumentIsRefusedAndNothingIsExported)
{
    const std::string good = obj("A", "\"0x2000\"");
    const std::vector<hostile> cases = {
        {"index past 16 bits", "i.json", doc(obj("BIG", "\"0x12000\"")), "Object 'BIG': \"index\" 0x12000 is outside"},
        {"index_offset past 16 bits", "o.json",
         doc("{\"name\": \"OFF\", \"index\": \"0xFFFF\", \"index_offset\": 2, \"type\": \"CANOPEN_UNSIGNED8\", "
             "\"permissions\": \"CANOPEN_RO\", \"subindex\": 0, \"value\": 1, \"dataptr\": \"0\"}"),
         "Object 'OFF': index 0xffff with \"index_offset\" 2 is outside"},
        {"sub-index past 8 bits", "s.json", doc(obj("SUB", "\"0x2000\"", "CANOPEN_UNSIGNED8",
                                                   "\"subindex\": 256, \"min\": 0, \"max\": 1, \"default\": 0")),
         "Object 'SUB': \"subindex\" 256 is outside"},
        {"default past UNSIGNED8", "d.json",
         doc(obj("D", "\"0x2000\"", "CANOPEN_UNSIGNED8", "\"subindex\": 0, \"min\": 0, \"max\": 10, \"default\": 300")),
         "Object 'D': \"default\" 300 is outside 0..255"},
        {"min below UNSIGNED16", "m.json",
         doc(obj("M", "\"0x2000\"", "CANOPEN_UNSIGNED16", "\"subindex\": 0, \"min\": -1, \"max\": 10, \"default\": 0")),
         "Object 'M': \"min\" -1 is outside 0..65535"},
        {"max past SIGNED8", "x.json",
         doc(obj("S", "\"0x2000\"", "CANOPEN_SIGNED8", "\"subindex\": 0, \"min\": -5, \"max\": \"0xFF\", \"default\": 0")),
         "Object 'S': \"max\" 0xFF is outside -128..127"},
        {"max past UNSIGNED32", "u.json",
         doc(obj("U", "\"0x2000\"", "CANOPEN_UNSIGNED32",
                 "\"subindex\": 0, \"min\": 0, \"max\": \"0x100000000\", \"default\": 0")),
         "Object 'U': \"max\" 0x100000000 is outside 0..4294967295"},
        {"vendor id past 32 bits", "v.json", doc(good, "\"VENDORID\": \"0x1FFFFFFFF\""), "does not fit 32 bits"},
        {"two objects at one index and sub-index", "dup.json", doc(good + ", " + obj("B", "8192")),
         "Objects 'A' and 'B' both take index 0x2000 sub-index 0"},
        {"a string over a scalar's index", "dup2.json",
         doc(good + ", {\"name\": \"T\", \"index\": \"0x2000\", \"type\": \"CANOPEN_STRING\", \"permissions\": "
                    "\"CANOPEN_RO\", \"default\": \"hi\", \"dataptr\": \"t\"}"),
         "both take index 0x2000"},
        {"EMCY index past 16 bits", "e.json", doc(good, "\"EMCY_INDEX\": \"0x10000\", \"EMCY\": [{\"name\": \"E\"}]"),
         "'EMCY_INDEX' 65536 is outside"},
        {"EMCY strings wrapping past 0xFFFF", "w.json",
         doc(good, "\"EMCY_INDEX\": \"0xFFFE\", \"EMCY\": [{\"name\": \"E\", \"str\": [\"a\", \"b\", \"c\"]}]"),
         "EMCY string object 'EMCY_E_STR2' would be at index 0x10000"},
        {"negative arraysize", "a1.json",
         doc("{\"name\": \"ARR\", \"index\": \"0x2100\", \"type\": \"CANOPEN_ARRAY8\", \"permissions\": \"CANOPEN_RW\", "
             "\"arraysize\": -1, \"data\": [{\"name\": \"a\"}], \"dataptr\": \"arr\"}"),
         "\"arraysize\" -1 is outside"},
        {"arraysize below its data", "a2.json",
         doc("{\"name\": \"ARR\", \"index\": \"0x2100\", \"type\": \"CANOPEN_ARRAY8\", \"permissions\": \"CANOPEN_RW\", "
             "\"arraysize\": 1, \"data\": [{\"name\": \"a\"}, {\"name\": \"b\"}], \"dataptr\": \"arr\"}"),
         "\"arraysize\" 1 does not hold its 2"},
        {"empty array", "a3.json",
         doc("{\"name\": \"ARR\", \"index\": \"0x2100\", \"type\": \"CANOPEN_ARRAY8\", \"permissions\": \"CANOPEN_RW\", "
             "\"arraysize\": 0, \"data\": [], \"dataptr\": \"arr\"}"),
         "an array needs one"},
        {"object without a type", "t.json",
         doc("{\"name\": \"NT\", \"index\": \"0x2000\", \"permissions\": \"CANOPEN_RO\", \"subindex\": 0, \"value\": 1, "
             "\"dataptr\": \"0\"}"),
         "\"type\" field not found in parameter \"NT\""},
        {"object without permissions", "p.json",
         doc("{\"name\": \"NP\", \"index\": \"0x2000\", \"type\": \"CANOPEN_UNSIGNED8\", \"subindex\": 0, \"value\": 1, "
             "\"dataptr\": \"0\"}"),
         "\"permissions\" field not found in parameter \"NP\""},
        {"an error inside a content file", "c.json", doc(good + ", {\"content\": \"part.json\"}"),
         "Content file './part.json' has errors"},
        {"a quote cut by the end of the file", "q.yaml",
         "DEV: \"Hostile\"\nNODEID: 16\nOBJ_DICT:\n  - name: \"A\n", "Failed to open database file q.yaml"},
        {"containers nested without end", "n.yaml", nested_yaml(2000), "Containers are nested more than 32 deep"},
    };
    e2e::sandbox box;
    box.write_file("part.json", "{\"content\": [" + obj("P", "\"0x12345\"") + "]}");
    std::filesystem::create_directories(box.path("out"));
    for (const hostile &h : cases) {
        box.write_file(h.file, h.text);
        e2e::options o;
        o.timeout_ms = 20000;
        e2e::result r =
            box.krcan({"--srcdest", "out", "--incdest", "out", "--db", h.file, "--export", "hostile"}, o);
        EXPECT_TRUE(r.exited(1)) << h.what << ":\n" << r.out << r.err;
        EXPECT_NE(r.out.find(h.says), std::string::npos) << h.what << ":\n" << r.out;
        EXPECT_NE(r.out.find("command 'db' returned with FALSE"), std::string::npos) << h.what;
        EXPECT_EQ(r.out.find("Database parsed succesfully"), std::string::npos) << h.what;
        EXPECT_TRUE(std::filesystem::is_empty(box.path("out"))) << h.what << ": an export was written";
    }
    // The same document without its fault loads and exports.
    box.write_file("good.json", doc(good + ", " + obj("B", "8192", "CANOPEN_UNSIGNED32",
                                                     "\"subindex\": 1, \"min\": 0, \"max\": \"0xFFFFFFFF\", \"default\": 0")));
    e2e::result r = box.krcan({"--srcdest", "out", "--incdest", "out", "--db", "good.json", "--export", "hostile"});
    EXPECT_TRUE(r.exited(0)) << r.out;
    EXPECT_FALSE(std::filesystem::is_empty(box.path("out")));
}

} // namespace
