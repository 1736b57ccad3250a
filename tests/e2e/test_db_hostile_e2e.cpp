// Hostile device databases, end to end: every document here would once have been cut, wrapped,
// misread or exported as C that does something else. Each must be refused (by --db, or by the
// export) with status 1, a message naming the problem, and the export folder left as it was; what
// is accepted compiles.
#include <gtest/gtest.h>

#include <map>

#include "e2e/e2e.h"
#include "system/package_builder.h"

namespace {

std::string obj(const std::string &name, const std::string &index, const std::string &type = "CANOPEN_UNSIGNED8",
                const std::string &extra = "\"subindex\": 0, \"min\": 0, \"max\": 1, \"default\": 0")
{
    // A data pointer of its own in extra is the only one: a key given twice would be refused for that.
    const bool own_pointer = extra.find("\"dataptr\"") != std::string::npos;
    return "{\"name\": \"" + name + "\", \"index\": " + index + ", \"type\": \"" + type +
           "\", \"permissions\": \"CANOPEN_RW\", " + extra + (own_pointer ? "" : ", \"dataptr\": \"&" + name + "\"") +
           "}";
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

std::string array8(const std::string &extra)
{
    return "{\"name\": \"ARR\", \"index\": \"0x2100\", \"type\": \"CANOPEN_ARRAY8\", \"permissions\": \"CANOPEN_RW\", " +
           extra + ", \"dataptr\": \"arr\"}";
}

std::string str_obj(const std::string &extra)
{
    return "{\"name\": \"T\", \"index\": \"0x2200\", \"type\": \"CANOPEN_STRING\", \"permissions\": \"CANOPEN_RO\", " +
           extra + ", \"dataptr\": \"t\"}";
}

struct hostile {
    const char *what;
    std::string file;
    std::string text;
    const char *says;
    bool at_export = false; // the database loads; its export is refused
};

// Exports file into out/ and compiles the source as a firmware without PDOs would.
e2e::result export_and_compile(const e2e::sandbox &box, const std::string &file)
{
    e2e::result r = box.krcan({"--srcdest", "out", "--incdest", "out", "--db", file, "--export", "hostile"});
    EXPECT_TRUE(r.exited(0)) << file << ":\n" << r.out;
    return box.run(e2e::on_path("gcc"),
                   {"-std=c11", "-Wall", "-Wextra", "-Werror", "-c", "-I" KR_SOURCE_DIR "/hal/kr_hal/inc", "-Ifw",
                    "-Iout", "-DCONFIG_CANOPEN_RXPDO_COUNT=0", "-DCONFIG_CANOPEN_TXPDO_COUNT=0", "out/hostile.c", "-o",
                    "hostile.o"});
}

TEST(DbHostile, EveryHostileDocumentIsRefusedAndNothingIsExported)
{
    const std::string good = obj("A", "\"0x2000\"");
    const std::vector<hostile> cases = {
        {"index past 16 bits", "i.json", doc(obj("BIG", "\"0x12000\"")), "Object 'BIG': \"index\" 0x12000 is outside"},
        {"index_offset past 16 bits", "o.json",
         doc("{\"name\": \"OFF\", \"index\": \"0xFFFF\", \"index_offset\": 2, \"type\": \"CANOPEN_UNSIGNED8\", "
             "\"permissions\": \"CANOPEN_RO\", \"subindex\": 0, \"value\": 1, \"dataptr\": \"0\"}"),
         "Object 'OFF': index 0xffff with \"index_offset\" 2 is outside"},
        {"sub-index past 8 bits", "s.json",
         doc(obj("SUB", "\"0x2000\"", "CANOPEN_UNSIGNED8",
                 "\"subindex\": 256, \"min\": 0, \"max\": 1, \"default\": 0")),
         "Object 'SUB': \"subindex\" 256 is outside"},
        {"default past UNSIGNED8", "d.json",
         doc(obj("D", "\"0x2000\"", "CANOPEN_UNSIGNED8", "\"subindex\": 0, \"min\": 0, \"max\": 10, \"default\": 300")),
         "Object 'D': \"default\" 300 is outside 0..255"},
        {"min below UNSIGNED16", "m.json",
         doc(obj("M", "\"0x2000\"", "CANOPEN_UNSIGNED16", "\"subindex\": 0, \"min\": -1, \"max\": 10, \"default\": 0")),
         "Object 'M': \"min\" -1 is outside 0..65535"},
        {"max past SIGNED8", "x.json",
         doc(obj("S", "\"0x2000\"", "CANOPEN_SIGNED8",
                 "\"subindex\": 0, \"min\": -5, \"max\": \"0xFF\", \"default\": 0")),
         "Object 'S': \"max\" 255 is outside -128..127"},
        {"max past UNSIGNED32", "u.json",
         doc(obj("U", "\"0x2000\"", "CANOPEN_UNSIGNED32",
                 "\"subindex\": 0, \"min\": 0, \"max\": \"0x100000000\", \"default\": 0")),
         "Object 'U': \"max\" 4294967296 is outside 0..4294967295"},
        {"vendor id past 32 bits", "v.json", doc(good, "\"VENDORID\": \"0x1FFFFFFFF\""),
         "'VENDORID' 0x1FFFFFFFF is outside 0..4294967295"},
        {"two objects at one index and sub-index", "dup.json", doc(good + ", " + obj("B", "8192")),
         "Objects 'A' and 'B' both take index 0x2000 sub-index 0"},
        {"a string over a scalar's index", "dup2.json",
         doc(good + ", {\"name\": \"T\", \"index\": \"0x2000\", \"type\": \"CANOPEN_STRING\", \"permissions\": "
                    "\"CANOPEN_RO\", \"default\": \"hi\", \"dataptr\": \"t\"}"),
         "both take index 0x2000"},
        {"EMCY index past 16 bits", "e.json", doc(good, "\"EMCY_INDEX\": \"0x10000\", \"EMCY\": [{\"name\": \"E\"}]"),
         "'EMCY_INDEX' 0x10000 is outside"},
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
        {"a quote cut by the end of the file", "q.yaml", "DEV: \"Hostile\"\nNODEID: 16\nOBJ_DICT:\n  - name: \"A\n",
         "Failed to open database file q.yaml"},
        {"containers nested without end", "n.yaml", nested_yaml(2000),
         "n.yaml:4:357: flow collections nested deeper than 64 levels"},
        {"code through a data pointer", "p1.json",
         doc(obj(
             "A", "\"0x2000\"", "CANOPEN_UNSIGNED8",
             "\"subindex\": 0, \"min\": 0, \"max\": 1, \"default\": 0, "
             "\"dataptr\": \"0}}; int injected(void){return 42;} const canopen_object_st more[] = {{.data_ptr = 0\"")),
         "is not an address"},
        {"code through a define used as a data pointer", "p2.json",
         doc(obj("A", "\"0x2000\"", "CANOPEN_UNSIGNED8",
                 "\"subindex\": 0, \"min\": 0, \"max\": 1, \"default\": 0, \"dataptr\": \"PTR\""),
             "\"DEFINES\": [{\"PTR\": \"&x; int y = 2\"}]"),
         "\"dataptr\" '&x; int y = 2' is not an address"},
        {"an index naming no define", "r1.json",
         doc(obj("A", "\"BASE_INDX\""), "\"DEFINES\": [{\"BASE_INDEX\": 8192}]"),
         "Object 'A': \"index\" 'BASE_INDX' is no number and names no define"},
        {"a YAML alias as an index", "r2.yaml",
         "DEV: Hostile\nNODEID: 16\nOBJ_DICT:\n  - {name: A, index: *idx, type: CANOPEN_UNSIGNED8, permissions: "
         "CANOPEN_RW, subindex: 0, min: 0, max: 1, default: 0, dataptr: \"&a\"}\n",
         "r2.yaml:4:22: an alias ('*'), which the reader does not support"},
        {"a sub-index naming no define", "r3.json",
         doc(obj("A", "\"0x2000\"", "CANOPEN_UNSIGNED8",
                 "\"subindex\": \"SUB\", \"min\": 0, \"max\": 1, \"default\": 0")),
         "\"subindex\" 'SUB' is no number"},
        {"an unknown type", "y1.json", doc(obj("A", "\"0x2000\"", "CANOPEN_UNSIGNED_16")),
         "\"type\" 'CANOPEN_UNSIGNED_16' is not a type"},
        {"a type given as a number", "y2.json",
         doc("{\"name\": \"A\", \"index\": 8192, \"type\": 2, \"permissions\": \"CANOPEN_RO\", \"subindex\": 0, "
             "\"value\": 1, \"dataptr\": \"0\"}"),
         "\"type\" '(not a text)' is not a type"},
        {"unknown permissions", "y3.json",
         doc("{\"name\": \"A\", \"index\": 8192, \"type\": \"CANOPEN_UNSIGNED8\", \"permissions\": "
             "\"CANOPEN_READWRITE\", \"subindex\": 0, \"value\": 1, \"dataptr\": \"0\"}"),
         "\"permissions\" 'CANOPEN_READWRITE' is none of"},
        {"an index past 16 bits through a define", "g1.json",
         doc(obj("A", "\"BIG\""), "\"DEFINES\": [{\"BIG\": 74565}]"), "\"index\" 'BIG' (74565) is outside"},
        {"a default past UNSIGNED8 through a define", "g2.json",
         doc(obj("A", "\"0x2000\"", "CANOPEN_UNSIGNED8",
                 "\"subindex\": 0, \"min\": 0, \"max\": 1, \"default\": \"TOP\""),
             "\"DEFINES\": [{\"TOP\": 300}]"),
         "\"default\" 'HOSTILE_TOP' (300) is outside 0..255"},
        {"an array element past its type", "g3.json", doc(array8("\"data\": [{\"name\": \"a\", \"default\": 300}]")),
         "Object 'ARR A': \"default\" 300 is outside 0..255"},
        {"a negative string size", "g4.json", doc(str_obj("\"stringsize\": -5, \"default\": \"x\"")),
         "\"stringsize\" -5 is outside 1..65535"},
        {"a string size past 16 bits", "g5.json", doc(str_obj("\"stringsize\": 70000, \"default\": \"x\"")),
         "\"stringsize\" 70000 is outside"},
        {"a string default longer than its size", "g6.json",
         doc(str_obj("\"stringsize\": 4, \"default\": \"sixteen chars...\"")),
         "the default of 16 characters and its terminator do not fit \"stringsize\" 4"},
        {"a product code past 32 bits", "g7.json", doc(good, "\"PRODUCTCODE\": \"0x1FFFFFFFF\""),
         "'PRODUCTCODE' 0x1FFFFFFFF is outside"},
        {"a revision number past 32 bits", "g8.yaml",
         "DEV: Hostile\nNODEID: 16\nREVISIONNUMBER: 4294967296\nOBJ_DICT:\n  - " + good + "\n",
         "'REVISIONNUMBER' 4294967296 is outside"},
        {"an array default that is no number", "c1.json",
         doc(array8("\"data\": [{\"name\": \"a\", \"default\": \"1) + (2\"}]")), "\"default\" '1) + (2' is no number"},
        {"an enumeration past INT32_MAX", "c2.json", doc(good, "\"DEFINES\": [{\"E\": [\"A = 2147483647\", \"B\"]}]"),
         "member 'B' would follow 2147483647"},
        {"a device named NULL", "c3.json", "{\"DEV\": \"NULL\", \"NODEID\": 16, \"OBJ_DICT\": [" + good + "]}",
         "'the device name' gives the C symbol NULL, which the library's headers declare", true},
        {"a device named UINT8_MAX", "c4.json",
         "{\"DEV\": \"UINT8_MAX\", \"NODEID\": 16, \"OBJ_DICT\": [" + good + "]}", "gives the C symbol UINT8_MAX",
         true},
        {"an array without size or data", "c5.json", doc(array8("\"arraysize\": 0")), "should define children count"},
        {"an array size naming no define", "c6.json", doc(array8("\"arraysize\": \"NOPE\"")),
         "\"arraysize\" 'NOPE' is no number"},
        {"a device name redefining the library's", "l1.json",
         "{\"DEV\": \"CANOPEN\", \"NODEID\": 16, \"DEFINES\": [{\"RW\": 1}], \"OBJ_DICT\": [" + good + "]}",
         "gives the C symbol CANOPEN_RW, which the library's headers declare", true},
        {"a source refused after its header was built", "h1.json",
         doc(good, "\"RXPDO\": [{\"cobid\": \"FOO + 1\", \"transmission\": 255, \"mappings\": []}]"),
         "The COB-ID 'FOO + 1' of RXPDO 1", true},
        {"a missing comma between objects", "j0.json", "{\"DEV\": \"x\", \"OBJ_DICT\": [" + good + "\n " + good + "]}",
         "j0.json:2:2: '{' where ',' or ']' was expected"},
        {"a JSON syntax error", "j1.json", "{\"DEV\": \"x\", \"OBJ_DICT\": [}",
         "j1.json:1:27: '}' where a value was expected"},
        {"a device name past 127 characters", "k1.json",
         "{\"DEV\": \"" + std::string(128, 'D') + "\", \"NODEID\": 16, \"OBJ_DICT\": [" + good + "]}",
         "is longer than 127 characters"},
        {"an EMCY text past 127 characters", "k2.json",
         doc(good,
             "\"EMCY_INDEX\": \"0x3000\", \"EMCY\": [{\"name\": \"E\", \"str\": [\"" + std::string(128, 'e') + "\"]}]"),
         "EMCY 'E': info string 0 is longer than 127 characters"},
        // Each family below was once exported: the check now runs on what reaches the source.
        {"code through a define's header symbol as a data pointer", "n1.json",
         doc(obj("A", "\"0x2000\"", "CANOPEN_UNSIGNED8",
                 "\"subindex\": 0, \"min\": 0, \"max\": 1, \"default\": 0, \"dataptr\": \"HOSTILE_EVIL_PTR\""),
             "\"DEFINES\": [{\"EVIL-PTR\": \"0}}; int injected(void){return 42;}\"}]"),
         "is not an address once its defines are put in"},
        {"code through a define's header symbol as a COB-ID", "n2.json",
         doc(good, "\"DEFINES\": [{\"EVIL-PTR\": \"0}}; int injected(void){return 42;}\"}], \"TXPDO\": [{\"cobid\": "
                   "\"HOSTILE_EVIL_PTR\", \"transmission\": \"ASYNC\", \"inhibittime\": 1, \"eventtimer\": 1, "
                   "\"mappings\": [{\"param\": \"A\"}]}]"),
         "The COB-ID 'HOSTILE_EVIL_PTR' of TXPDO 1 is not a number", true},
        {"a JSON name where a number belongs", "n3.json",
         doc(obj("A", "BASE_INDEX"), "\"DEFINES\": [{\"BASE_INDEX\": 8192}]"),
         "n3.json:1:105: 'B' where a value was expected"},
        {"a JSON number with an exponent", "n4.json", doc(good, "\"VENDORID\": 1e3"), "'VENDORID' '1e3' is no number"},
        {"a zero-padded decimal", "n5.yaml",
         "DEV: Hostile\nNODEID: 16\nOBJ_DICT:\n  - {name: A, index: 0x2000, type: CANOPEN_UNSIGNED8, permissions: "
         "CANOPEN_RW, subindex: 08, min: 0, max: 1, default: 0, dataptr: \"&A\"}\n",
         "\"subindex\" '08' is no number (a leading 0 makes it octal"},
        {"array data that is neither object nor number", "n6.json", doc(array8("\"data\": [10, true]")),
         "element 2 of \"data\" is neither an object nor a number"},
        {"a PDO timer that is no number", "n7.json",
         doc(good, "\"TXPDO\": [{\"cobid\": \"0x180\", \"transmission\": \"ASYNC\", \"inhibittime\": \"1e3\", "
                   "\"eventtimer\": 3000000000, \"mappings\": [{\"param\": \"A\"}]}]"),
         "'eventtimer of TXPDO 1' 3000000000 is outside 0..65535"},
        {"a PDO count that is a text", "n8.json", doc(good, "\"RXPDO_COUNT\": \"TWO\""),
         "'RXPDO_COUNT' 'TWO' is no number"},
        {"a second entry that re-types the object", "n9.json",
         doc(obj("A", "\"0x2000\"", "CANOPEN_UNSIGNED32",
                 "\"subindex\": 0, \"min\": 0, \"max\": 70000, \"default\": 70000") +
             ", {\"name\": \"a\", \"type\": \"CANOPEN_UNSIGNED8\"}"),
         "Object 'A': \"default\" 70000 is outside 0..255"},
        {"a define past a SIGNED32", "n10.json",
         doc(obj("A", "\"0x2000\"", "CANOPEN_SIGNED32",
                 "\"subindex\": 0, \"min\": 0, \"max\": \"BIG\", \"default\": 0"),
             "\"DEFINES\": [{\"BIG\": \"0xFFFFFFFF\"}]"),
         "\"max\" 'HOSTILE_BIG' (4294967295) is outside -2147483648..2147483647"},
        {"a device name the compiler reserves", "n11.json",
         "{\"DEV\": \"__LINE__\", \"NODEID\": 16, \"OBJ_DICT\": [" + good + "]}",
         "gives the C symbol __LINE__, which is reserved to the compiler", true},
        {"a device name of the library's own", "n12.json",
         "{\"DEV\": \"_kr\", \"NODEID\": 16, \"OBJ_DICT\": [" + good + "]}",
         "gives the C symbol _KR, which is reserved", true},
        {"a C keyword as a data pointer", "n13.json",
         doc(obj("A", "\"0x2000\"", "CANOPEN_UNSIGNED8",
                 "\"subindex\": 0, \"min\": 0, \"max\": 1, \"default\": 0, \"dataptr\": \"sizeof\"")),
         "\"dataptr\" 'sizeof' is a keyword of C"},
        {"a COB-ID the library does not define", "n14.json",
         doc(good, "\"RXPDO\": [{\"cobid\": \"CANOPEN_NOTHING\", \"transmission\": 255, \"mappings\": []}]"),
         "The COB-ID 'CANOPEN_NOTHING' of RXPDO 1", true},
        {"a COB-ID that C does not read", "n22.json",
         doc(good, "\"RXPDO\": [{\"cobid\": \"0x200 + (1\", \"transmission\": 255, \"mappings\": []}]"),
         "The COB-ID '0x200 + (1' of RXPDO 1", true},
        {"an EMCY with more strings than the first", "n15.json",
         doc(good, "\"EMCY_INDEX\": \"0x3000\", \"EMCY\": [{\"name\": \"E\", \"str\": [\"a\"]}, {\"name\": \"F\", "
                   "\"str\": [\"b\", \"c\"]}]"),
         "EMCY 'F' has 2 info strings, but each EMCY has room for 1"},
        {"a node id past 127", "n16.json", "{\"DEV\": \"Hostile\", \"NODEID\": 300, \"OBJ_DICT\": [" + good + "]}",
         "'NODEID' 300 is outside 1..127"},
        {"a key given twice", "n17.json", doc(good, "\"VENDORID\": 1, \"VENDORID\": 2"),
         "gives the key 'VENDORID' twice"},
        {"a second YAML document", "n18.yaml",
         "DEV: Hostile\nNODEID: 16\nOBJ_DICT:\n  - " + good + "\n---\nDEV: Other\n",
         "n18.yaml:5:1: several documents in one file"},
        {"an enumeration member whose value is no integer", "n19.json",
         doc(good, "\"DEFINES\": [{\"E\": [\"A = x\"]}]"),
         "Enumeration 'E' has a member that is no name, or no name '=' an integer"},
        {"an object with an empty name", "n20.json", doc(good + ", " + obj("", "\"0x2001\"")),
         "Object with an empty \"name\""},
        {"a transmission type the database does not know", "n21.json",
         doc(good, "\"RXPDO\": [{\"cobid\": \"0x200\", \"transmission\": \"SYNC\", \"mappings\": []}]"),
         "\"transmission\" of RXPDO 1 is 'SYNC'"},
        {"a later entry that makes an array a number", "n23.json",
         doc(array8("\"data\": [{\"name\": \"e\", \"default\": 7}]") +
             ", {\"name\": \"arr\", \"type\": \"CANOPEN_UNSIGNED8\"}"),
         "Object 'ARR': a later entry makes it a number, but it is an array"},
        {"string defines that name each other, as a data pointer", "n24.json",
         doc(obj("A", "\"0x2000\"", "CANOPEN_UNSIGNED8",
                 "\"subindex\": 0, \"min\": 0, \"max\": 1, \"default\": 0, \"dataptr\": \"HOSTILE_P1\""),
             "\"DEFINES\": [{\"P1\": \"HOSTILE_P2\"}, {\"P2\": \"HOSTILE_P1\"}]"),
         "\"dataptr\" 'HOSTILE_P1' names string defines that name each other without end"},
        {"a string define that names itself", "n25.json", doc(good, "\"DEFINES\": [{\"SELF\": \"HOSTILE_SELF + 1\"}]"),
         "Define 'SELF' names itself through string defines", true},
        {"a YAML block scalar", "n26.yaml",
         "DEV: Hostile\nNODEID: 16\nOBJ_DICT:\n  - name: T\n    index: 0x2200\n    type: CANOPEN_STRING\n    "
         "permissions: CANOPEN_RO\n    stringsize: 20\n    default: |\n      hello\n    dataptr: \"0\"\n",
         "n26.yaml:9:14: a block scalar ('|')"},
        {"a number naming a define that is a text", "n27.json",
         doc(obj("A", "\"S\""), "\"DEFINES\": [{\"S\": \"hello\"}]"),
         "\"index\" 'S' names a define that is no number (it gives 'hello')"},
        {"a hexadecimal prefix without digits", "n28.json", doc(obj("A", "\"0x\"")), "\"index\" '0x' is no number"},
    };
    e2e::sandbox box;
    box.write_file("part.json", "{\"content\": [" + obj("P", "\"0x12345\"") + "]}");
    box.write_file("fw/main.h", "extern unsigned char A, B;\n");
    std::filesystem::create_directories(box.path("out"));
    // The same document without its faults loads and exports, with numbers past 31 bits kept whole
    // in JSON and YAML alike; an earlier export of it is what every refusal must leave alone.
    box.write_file("good.json", doc(good + ", " +
                                        obj("B", "8192", "CANOPEN_UNSIGNED32",
                                            "\"subindex\": 1, \"min\": 0, \"max\": 4294967295, \"default\": 0"),
                                    "\"PRODUCTCODE\": 4294967295"));
    box.write_file("good.yaml", "DEV: Hostile\nNODEID: 16\nPRODUCTCODE: 4294967295\nOBJ_DICT:\n  - " + good + "\n");
    for (const char *file : {"good.yaml", "good.json"}) {
        e2e::result cc = export_and_compile(box, file);
        EXPECT_TRUE(cc.exited(0)) << file << ":\n" << cc.err;
        std::string h = box.read_file("out/hostile.h");
        EXPECT_NE(h.find("HOSTILE_PRODUCT_CODE"), std::string::npos);
        EXPECT_NE(h.find(" 0xffffffff\n"), std::string::npos) << file << ":\n" << h;
    }
    EXPECT_NE(box.read_file("out/hostile.h").find("HOSTILE_B_MAX"), std::string::npos);
    const auto before = e2e::folder_files(box.path("out"));

    for (const hostile &h : cases) {
        box.write_file(h.file, h.text);
        e2e::options o;
        o.timeout_ms = 20000;
        e2e::result r = box.krcan({"--srcdest", "out", "--incdest", "out", "--db", h.file, "--export", "hostile"}, o);
        EXPECT_TRUE(r.exited(1)) << h.what << ":\n" << r.out << r.err;
        EXPECT_NE(r.out.find(h.says), std::string::npos) << h.what << ":\n" << r.out;
        EXPECT_EQ(r.out.find("command 'db' returned with FALSE") == std::string::npos, h.at_export) << h.what;
        EXPECT_EQ(r.out.find("Database parsed succesfully") != std::string::npos, h.at_export) << h.what;
        EXPECT_EQ(r.out.find("Exporting done"), std::string::npos) << h.what;
        if (e2e::folder_files(box.path("out")) == before) continue;
        ADD_FAILURE() << h.what << ": the export folder changed";
        std::filesystem::remove_all(box.path("out")); // so that the next row is judged on its own
        for (const auto &[name, text] : before) box.write_file("out/" + name, text);
    }
}

// What was once cut, wrapped or failed with an export written: legitimate documents export with
// status 0 and mean what they say; a pair of files whose second cannot be placed leaves the first.
TEST(DbHostile, LegitimateDocumentsExportAsWrittenAndAPairIsPlacedWhole)
{
    e2e::sandbox box;
    box.write_file("fw/main.h", "extern unsigned char A, B, t[40], arr[3], mode;\n");
    for (const char *d : {"out", "three"}) std::filesystem::create_directories(box.path(d));
    const std::string objects = obj("mode", "\"0x2000\"", "CANOPEN_UNSIGNED8",
                                    "\"subindex\": 0, \"min\": 0, \"max\": 1, \"default\": \"MODE_EXTRA_Y\"") +
                                ", " +
                                obj("B", "\"0x2001\"", "CANOPEN_UNSIGNED32",
                                    "\"subindex\": 0, \"min\": 0, \"max\": \"BIG\", \"default\": 0") +
                                ", " +
                                obj("A", "\"0x2002\"", "CANOPEN_SIGNED32",
                                    "\"subindex\": 0, \"min\": \"-0x80000000\", \"max\": 0, \"default\": 0") +
                                ", " + array8("\"data\": [10, 20, \"0x1E\"]") + ", " +
                                str_obj("\"stringsize\": 40, \"default\": \"say \\\"hi\\\" a?\?(b?\?=c?\?/ \\\\\"");
    // String defines that read as numbers are numbers with their sign; one C does not read as a
    // number is a text.
    box.write_file("ok.json",
                   doc(objects, "\"DEFINES\": [{\"name\": \"MODE\", \"value\": [\"X\"]}, {\"name\": \"MODE_EXTRA\", "
                                "\"value\": [\"X\", \"Y\"]}, {\"BIG\": 4294967295}, {\"NEG\": \"-0x80000000\"}, "
                                "{\"PAD\": \"12kg\"}]"));
    // A node id given before --db holds over the document's, and the run says so.
    e2e::options terminal; // errors show in red there
    terminal.pty = true;
    e2e::result r =
        box.krcan({"-n", "0x20", "--srcdest", "out", "--incdest", "out", "--db", "ok.json", "--export", "h"}, terminal);
    ASSERT_TRUE(r.exited(0)) << r.out;
    EXPECT_EQ(r.out.find("\033[1m\033[31m"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("The node id 32 given before --db holds over the document's 16."), std::string::npos) << r.out;
    box.write_file(
        "p.c",
        "#include <stdio.h>\n#include \"h.c\"\nunsigned char A, B, t[40], arr[3], mode;\nint main(void) {\n"
        "    printf(\"%d %lld %lld %lld %s %d %s|\", HOSTILE_MODE_DEFAULT, (long long)HOSTILE_B_MAX,\n"
        "           (long long)HOSTILE_A_MIN, (long long)HOSTILE_NEG, HOSTILE_PAD, HOSTILE_NODEID,\n"
        "           HOSTILE_T_DEFAULT);\n"
        "    for (unsigned i = 0; i < hostile_arr_defaults_size(); i++) printf(\" %u\", hostile_arr_defaults[i]);\n"
        "    return 0;\n}\n");
    e2e::result cc = box.run(e2e::on_path("gcc"),
                             {"-std=c11", "-Wall", "-Wextra", "-Werror", "-I" KR_SOURCE_DIR "/hal/kr_hal/inc", "-Ifw",
                              "-Iout", "-DCONFIG_CANOPEN_RXPDO_COUNT=0", "-DCONFIG_CANOPEN_TXPDO_COUNT=0", "p.c", "-o",
                              "p"});
    ASSERT_TRUE(cc.exited(0)) << cc.err;
    EXPECT_EQ(box.run(box.path("p").string(), {}).out,
              "1 4294967295 -2147483648 -2147483648 12kg 32 say \"hi\" a?\?(b?\?=c?\?/ \\| 10 20 30");

    // The source cannot be placed (its name is a folder): the header it replaced comes back.
    box.write_file("two/h.h", "old header\n");
    std::filesystem::create_directories(box.path("two/h.c"));
    r = box.krcan({"--srcdest", "two", "--incdest", "two", "--db", "ok.json", "--export", "h"});
    EXPECT_TRUE(r.exited(1)) << r.out;
    EXPECT_EQ(box.read_file("two/h.h"), "old header\n");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(box.path("two")), {}), 2) << "no stray files";
    // A name whose header the source would include in place of the firmware's own.
    r = box.krcan({"--srcdest", "three", "--incdest", "three", "--db", "ok.json", "--export", "main"});
    EXPECT_TRUE(r.exited(1));
    EXPECT_FALSE(std::filesystem::exists(box.path("three/main.h")));
}

// A package's database reads no file outside the package, and a device whose node id cannot be
// one is refused rather than dropped.
TEST(DbHostile, PackagesKeepTheirContentInsideAndBadNodeIdsFail)
{
    e2e::sandbox box;
    box.write_file("tmp/x/outside.json", "{\"content\": [" + obj("OUT", "\"0x2001\"") + "]}");
    const std::string escaping = doc(obj("A", "\"0x2000\"") + ", {\"content\": \"../x/outside.json\"}");
    for (const char *name : {"p.krdev", "esc.krdev"})
        ASSERT_TRUE(
            pkgtest::write_zip(box.path(name).string(),
                               {pkgtest::file("krdev.json", "{\"DATABASE\": \"db.json\", \"VERSION\": \"1\"}"),
                                pkgtest::file("db.json", name[0] == 'p' ? doc(obj("A", "\"0x2000\"")) : escaping)}));
    e2e::result r = box.krcan({"--dev", "esc.krdev"});
    EXPECT_TRUE(r.exited(1)) << r.out;
    EXPECT_NE(r.out.find("could not read the device package"), std::string::npos) << r.out;
    EXPECT_NE(r.err.find("was refused: Content file './../x/outside.json' lies outside the package"), std::string::npos)
        << "the silenced load still says why:\n"
        << r.err;
    for (const char *arg : {"p.krdev:200", "p.krdev:0"}) {
        r = box.krcan({"--dev", arg});
        EXPECT_TRUE(r.exited(1)) << arg << ":\n" << r.out;
        EXPECT_NE(r.out.find("invalid node id in '" + std::string(arg) + "' for --dev"), std::string::npos) << r.out;
    }
    EXPECT_TRUE(box.krcan({"--dev", "p.krdev:0x10"}).exited(0));
}

} // namespace
