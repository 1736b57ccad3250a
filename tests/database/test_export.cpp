// The C export: expected lines of a small database, the corpus and hostile names compiled with gcc as
// C11 against the library's headers, and the refusals that leave no file behind.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "database/db.h"
#include "database/export.h"
#include "run/main.h"

extern char **environ;
namespace fs = std::filesystem;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

const std::string corpus = KR_SOURCE_DIR "/tests/data/db/";

struct tmpdir {
    fs::path path;
    tmpdir()
    {
        char templ[] = "/tmp/krcan_test_export_XXXXXX";
        path = mkdtemp(templ);
    }
    ~tmpdir() { fs::remove_all(path); }
    std::string write(const std::string &name, const std::string &text) const
    {
        std::ofstream(path / name) << text;
        return (path / name).string();
    }
    std::string read(const std::string &name) const
    {
        std::ifstream f(path / name);
        std::stringstream s;
        s << f.rdbuf();
        return s.str();
    }
};

int run_gcc(const fs::path &dir, std::vector<std::string> args, std::string *messages);

// gcc without a shell; its messages are kept for the failure report.
int compile(const fs::path &dir, const std::string &file, int rxpdos, int txpdos, std::string *messages)
{
    return run_gcc(dir,
                   {"-std=c11", "-Wall", "-Wextra", "-Werror", "-c", "-I" KR_SOURCE_DIR "/hal/kr_hal/inc",
                    "-I" + corpus + "firmware", "-I" + dir.string(),
                    "-DCONFIG_CANOPEN_RXPDO_COUNT=" + std::to_string(rxpdos),
                    "-DCONFIG_CANOPEN_TXPDO_COUNT=" + std::to_string(txpdos), (dir / file).string(), "-o",
                    (dir / (file + ".o")).string()},
                   messages);
}

// The options an accepted export compiles with, against the corpus's firmware, one PDO of each kind.
std::vector<std::string> strict_c11()
{
    // clang-format off
    return {"-std=c11", "-Wall", "-Wextra", "-Werror", "-pedantic", "-fsyntax-only", "-I" KR_SOURCE_DIR "/hal/kr_hal/inc",
            "-I" + corpus + "firmware", "-DCONFIG_CANOPEN_RXPDO_COUNT=1", "-DCONFIG_CANOPEN_TXPDO_COUNT=1"};
    // clang-format on
}

int run_gcc(const fs::path &dir, std::vector<std::string> args, std::string *messages)
{
    std::string log = (dir / "gcc.log").string();
    args.insert(args.begin(), "gcc");
    std::vector<char *> argv;
    for (auto &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 2, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid;
    int rc = posix_spawnp(&pid, "gcc", &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) return -1;
    int status = 0;
    waitpid(pid, &status, 0);
    std::ifstream f(log);
    std::stringstream s;
    s << f.rdbuf();
    *messages = s.str();
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool load(const std::string &path, std::string *out = nullptr)
{
    CaptureStdout();
    bool ok = cmd_db(path.c_str());
    std::string o = GetCapturedStdout();
    if (out) *out = o;
    return ok;
}

struct exported {
    std::string out;
};

exported export_to(const fs::path &dir, const std::string &name)
{
    std::snprintf(dev.incdest, sizeof dev.incdest, "%s", dir.c_str());
    std::snprintf(dev.srcdest, sizeof dev.srcdest, "%s/", dir.c_str());
    CaptureStdout();
    EXPECT_TRUE(cmd_export(name.c_str()));
    return {GetCapturedStdout()};
}

std::string define_line(const std::string &sym, const std::string &value)
{
    std::string line = "#define " + sym;
    line.resize(80, ' ');
    return line + value + "\n";
}

TEST(Export, SmallDatabaseLines)
{
    tmpdir t;
    ASSERT_TRUE(load(t.write("small.json",
                             R"({"DEV": "Drive", "NODEID": 5, "EMCY_INDEX": 8192, "EMCY": [],
            "DEFINES": [{"COLOR": ["RED", "GREEN"]}, {"SHADE": ["DARK", "LIGHT = 5"]}],
            "OBJ_DICT": [
              {"name": "SPEED", "index": "0x2001", "type": "CANOPEN_UNSIGNED16", "permissions": "CANOPEN_RW",
               "subindex": 0, "min": 0, "max": 100, "default": 10, "dataptr": "&speed"},
              {"name": "DRIVE_TORQUE", "index": "0x2002", "type": "CANOPEN_ARRAY8", "permissions": "CANOPEN_RO",
               "dataptr": "0", "data": [{"name": "a", "default": 1}, {"name": "b"}]},
              {"name": "MODE", "index": "0x2003", "type": "CANOPEN_UNSIGNED8", "permissions": "CANOPEN_RO",
               "subindex": 0, "value": 1, "dataptr": "0"}
            ],
            "RXPDO": [{"cobid": "0x200 + DRIVE_NODEID", "transmission": "ASYNC",
                       "mappings": [{"param": "SPEED"}, {"param": "MODE"}]}],
            "TXPDO": [{"cobid": "0x180", "transmission": "ASYNC", "inhibittime": 1, "eventtimer": 2,
                       "mappings": [{"param": "SPEED"}, {"param": "MODE"}]}]})")));
    exported e = export_to(t.path, "small");
    std::string h = t.read("small.h"), c = t.read("small.c");
    EXPECT_NE(e.out.find("Exporting done.\n"), std::string::npos) << e.out;
    for (auto [sym, value] : std::vector<std::pair<std::string, std::string>>{
             {"DRIVE_NODEID", "0x5"},
             {"DRIVE_SPEED_INDEX", "0x2001"},
             {"DRIVE_SPEED_SUBINDEX", "0"},
             {"DRIVE_SPEED_TYPE", "CANOPEN_UNSIGNED16"},
             {"DRIVE_SPEED_PERMISSIONS", "CANOPEN_RW"},
             {"DRIVE_SPEED_VALUE", "10"},
             {"DRIVE_SPEED_DEFAULT", "10"},
             {"DRIVE_SPEED_MIN", "0"},
             {"DRIVE_SPEED_MAX", "100"},
             {"DRIVE_TORQUE_ARRAY_MAX_SIZE", "2"},
             {"DRIVE_TORQUE_B_SUBINDEX", "2"},
             {"DRIVE_TORQUE_B_DEFAULT", "0"},
         })
        EXPECT_NE(h.find(define_line(sym, value)), std::string::npos) << sym;
    EXPECT_NE(h.find("#ifndef SMALL_H\n#define SMALL_H\n"), std::string::npos);
    EXPECT_NE(h.find("#ifndef DRIVE\n#define DRIVE 1\n"), std::string::npos);
    EXPECT_NE(h.find("    DRIVE_EMCY_COUNT" + std::string(80 - 20, ' ') + "= 0\n} drive_emcy_err_codes_e;"),
              std::string::npos);
    EXPECT_NE(h.find("typedef enum {\n    DRIVE_COLOR_RED" + std::string(80 - 19, ' ') +
                     "= 0,\n    DRIVE_COLOR_GREEN,\n    DRIVE_COLOR_COUNT\n} drive_color_e;"),
              std::string::npos)
        << h;
    EXPECT_NE(h.find("    DRIVE_SHADE_LIGHT = 5,\n    DRIVE_SHADE_COUNT" + std::string(80 - 21, ' ') + "= 2\n"),
              std::string::npos);
    // No second prefix, in the header, the table and the initializers alike.
    EXPECT_EQ(h.find("DRIVE_DRIVE"), std::string::npos);
    EXPECT_NE(h.find("extern const uint8_t drive_torque_defaults[];\n"), std::string::npos);
    EXPECT_NE(c.find(
                  "        .main_index = DRIVE_TORQUE_INDEX,\n        .array_max_size = DRIVE_TORQUE_ARRAY_MAX_SIZE,"),
              std::string::npos);
    EXPECT_NE(
        c.find(
            "const uint8_t drive_torque_defaults[] = {\n    DRIVE_TORQUE_A_DEFAULT,\n    DRIVE_TORQUE_B_DEFAULT\n};"),
        std::string::npos);
    EXPECT_NE(c.find("#include \"small.h\"\n"), std::string::npos);
    EXPECT_NE(c.find("        .data_ptr = (void *) &speed\n"), std::string::npos);
    EXPECT_NE(c.find("        .data_ptr = (void *) 0\n"), std::string::npos); // unset: 0, not an empty cast
    // The RXPDO lists its two mappings, the TXPDO all eight.
    size_t rx = c.find(".rxpdo_maps"), tx = c.find(".txpdo_maps");
    auto count = [&](size_t from, size_t to) {
        size_t n = 0;
        for (size_t p = c.find(".main_index = 0x", from); p < to; p = c.find(".main_index = 0x", p + 1)) ++n;
        return n;
    };
    EXPECT_EQ(count(rx, c.find(".txpdo_coms")), 2u);
    EXPECT_EQ(count(tx, c.find("obj_dict[]")), 8u);

    std::string messages;
    EXPECT_EQ(compile(t.path, "small.c", 1, 1, &messages), 0) << messages;
}

TEST(Export, CorpusCompilesAsC11)
{
    for (const char *file : {"drive.json", "drive.yaml"}) {
        tmpdir t;
        ASSERT_TRUE(load(corpus + file)) << file;
        exported e = export_to(t.path, "drive-od");
        std::string h = t.read("drive-od.h");
        EXPECT_NE(h.find("#ifndef DRIVE_OD_H\n"), std::string::npos);
        EXPECT_NE(h.find(define_line("DRIVE_SERIAL_VALUE", "4294967295u")), std::string::npos);
        EXPECT_NE(h.find(define_line("DRIVE_POLE_PAIRS_MAX", "8")), std::string::npos); // a container's define
        EXPECT_NE(h.find(define_line("DRIVE_EMCY_UNDERVOLT_STR1_DEFAULT", "\"Check the battery\"")), std::string::npos);
        std::string messages;
        EXPECT_EQ(compile(t.path, "drive-od.c", 4, 1, &messages), 0) << file << "\n" << messages;
        // The header alone, as firmware code includes it.
        t.write("user.c", "#include \"drive-od.h\"\nint f(void) { return DRIVE_COLOR_BLUE + DRIVE_MODE_ON; }\n");
        EXPECT_EQ(compile(t.path, "user.c", 4, 1, &messages), 0) << messages;
        EXPECT_EQ(std::distance(fs::directory_iterator(t.path), fs::directory_iterator()), 6) << "no stray files";
    }
}

TEST(Export, HostileNamesStillCompile)
{
    tmpdir t;
    // JSON strings know no escapes; YAML's give quotes, backslashes and line ends.
    ASSERT_TRUE(load(t.write("hostile.yaml", "DEV: \"my drive-2\"\n"
                                             "NODEID: 3\n"
                                             "EMCY_INDEX: 0x3000\n"
                                             "EMCY:\n"
                                             "  - name: \"too hot!\"\n"
                                             "    str:\n"
                                             "      - \"say \\\"hi\\\" \\\\ bye\\n\"\n"
                                             "DEFINES:\n"
                                             "  - name: \"lower case\"\n"
                                             "    value: 7\n"
                                             "  - name: \"path\"\n"
                                             "    value: \"C:\\\\dir\\\\\"\n"
                                             "  - kinds:\n"
                                             "      - \"a-b\"\n"
                                             "      - \"é\"\n"
                                             "OBJ_DICT:\n"
                                             "  - name: \"größe \\\"x\\\"\"\n"
                                             "    index: 0x2001\n"
                                             "    type: \"CANOPEN_STRING\"\n"
                                             "    permissions: \"CANOPEN_RW\"\n"
                                             "    dataptr: \"0\"\n"
                                             "    stringsize: 20\n"
                                             "    default: \"tab\\there \\\"q\\\" \\\\\"\n"
                                             "  - name: \"my drive-2 speed\"\n"
                                             "    index: 0x2002\n"
                                             "    type: \"CANOPEN_UNSIGNED16\"\n"
                                             "    permissions: \"CANOPEN_RW\"\n"
                                             "    dataptr: \"0\"\n"
                                             "    subindex: 0\n"
                                             "    min: 0\n"
                                             "    max: \"Lower Case\"\n"
                                             "    default: 0\n"
                                             "  - name: \"arr\"\n"
                                             "    index: 0x2003\n"
                                             "    type: \"CANOPEN_ARRAY16\"\n"
                                             "    permissions: \"CANOPEN_RO\"\n"
                                             "    dataptr: \"0\"\n"
                                             "    data:\n"
                                             "      - name: \"x y\"\n"
                                             "        default: 1\n"
                                             "      - name: \"z\"\n"
                                             "        default: 2\n"
                                             "  - content:\n"
                                             "      - name: \"scoped\"\n"
                                             "        index: 0x2004\n"
                                             "        type: \"CANOPEN_UNSIGNED8\"\n"
                                             "        permissions: \"CANOPEN_RO\"\n"
                                             "        dataptr: \"0\"\n"
                                             "        subindex: 0\n"
                                             "        value: 3\n")));
    exported e = export_to(t.path, "hostile od");
    std::string h = t.read("hostile od.h"), c = t.read("hostile od.c");
    EXPECT_NE(h.find("#ifndef HOSTILE_OD_H\n"), std::string::npos);
    EXPECT_NE(h.find("#ifndef MY_DRIVE_2\n"), std::string::npos);
    EXPECT_NE(h.find(define_line("MY_DRIVE_2_SPEED_MAX", "MY_DRIVE_2_LOWER_CASE")), std::string::npos) << h;
    EXPECT_NE(h.find(define_line("MY_DRIVE_2_SPEED_DEFAULT", "0")), std::string::npos);
    EXPECT_NE(h.find(define_line("MY_DRIVE_2_SPEED_TYPE", "CANOPEN_UNSIGNED16")), std::string::npos);
    EXPECT_NE(h.find(define_line("MY_DRIVE_2_GR____E__X__DEFAULT", "\"tab\\011here \\\"q\\\" \\\\\"")),
              std::string::npos)
        << h;
    std::string messages;
    EXPECT_EQ(compile(t.path, "hostile od.c", 1, 1, &messages), 0) << messages << "\n" << h << c;

    // A device name that begins with a digit: its symbols still begin with a letter (never '_', which
    // C reserves), and an object already named after the device gets no second prefix. So does the
    // guard of a file name that begins with one.
    ASSERT_TRUE(load(t.write("digit.json", R"({"DEV": "2nd drive", "NODEID": 4, "EMCY_INDEX": 12288,
        "EMCY": [{"name": "hot", "str": ["a"]}], "DEFINES": [{"LIMIT": 9}],
        "OBJ_DICT": [{"name": "2nd drive speed", "index": 8193, "type": "CANOPEN_UNSIGNED16",
          "permissions": "CANOPEN_RW", "subindex": 0, "value": 1, "min": 0, "max": "LIMIT", "dataptr": "0"},
          {"name": "gains", "index": 8194, "type": "CANOPEN_ARRAY8", "permissions": "CANOPEN_RO",
          "dataptr": "0", "data": [{"name": "p", "default": 1}]}]})")));
    export_to(t.path, "2digit");
    h = t.read("2digit.h");
    c = t.read("2digit.c");
    EXPECT_NE(h.find("#ifndef H_2DIGIT_H\n"), std::string::npos) << h;
    EXPECT_NE(h.find("#ifndef D_2ND_DRIVE\n"), std::string::npos) << h;
    EXPECT_NE(h.find(define_line("D_2ND_DRIVE_SPEED_MAX", "D_2ND_DRIVE_LIMIT")), std::string::npos) << h;
    EXPECT_NE(c.find(".main_index = D_2ND_DRIVE_GAINS_INDEX,"), std::string::npos) << c;
    EXPECT_EQ(compile(t.path, "2digit.c", 1, 1, &messages), 0) << messages << "\n" << h << c;
}

// A COB-ID expression of the kinds a document writes, with the value it means; invalid when it
// names no integer constant, divides by zero, shifts past 32 bits or leaves 0..0xFFFFFFFF.
struct gen_expr {
    std::string text;
    __int128 value = 0;
    bool valid = true;
};

gen_expr gen_cobid(std::mt19937 &rng, const std::string &DEV, int depth)
{
    std::string dev = DEV;
    for (char &c : dev) c = (char)std::tolower((unsigned char)c);
    struct atom {
        std::string text;
        int64_t value;
        bool valid;
    };
    // clang-format off
    const std::vector<atom> atoms = {
        {"1", 1, true}, {"7", 7, true}, {"0x180", 0x180, true}, {"0x7FFFFFFF", 0x7FFFFFFF, true},
        {"0x80000000", 0x80000000LL, true}, {"4294967295", 4294967295LL, true}, {"40", 40, true},
        {DEV + "_NODEID", 5, true}, {DEV + "_LIMIT", 100, true}, {DEV + "_MODE_ON", 1, true},
        {DEV + "_A_INDEX", 0x2000, true}, {"CANOPEN_PDO_DISABLED", 0x80000000LL, true}, {"-1", -1, true},
        {"OD_H", 0, false}, {DEV, 0, false}, {DEV + "_LABEL_DEFAULT", 0, false},
        {dev + "_canopen_init", 0, false}, {"CANOPEN_TYPE_LEN", 0, false}};
    // clang-format on
    if (depth == 0 || rng() % 3 == 0) {
        // Mostly numbers and names that are constants; now and then a name that is none.
        const size_t good = atoms.size() - 5;
        const atom &a = rng() % 8 ? atoms[rng() % good] : atoms[good + rng() % 5];
        return {a.text, a.value, a.valid};
    }
    static const char *const ops[] = {"+", "-", "*", "/", "%", "<<", ">>", "&", "|", "^"};
    const std::string op = ops[rng() % 10];
    gen_expr l = gen_cobid(rng, DEV, depth - 1), r = gen_cobid(rng, DEV, depth - 1);
    gen_expr e{"(" + l.text + " " + op + " " + r.text + ")", 0, l.valid && r.valid};
    const __int128 a = l.value, b = r.value;
    if ((op == "/" || op == "%") && b == 0) e.valid = false;
    if ((op == "<<" || op == ">>") && (b < 0 || b >= 32 || a < 0)) e.valid = false;
    if (!e.valid) return e;
    // clang-format off
    e.value = op == "+" ? a + b : op == "-" ? a - b : op == "*" ? a * b : op == "/" ? a / b : op == "%" ? a % b
            : op == "<<" ? a << (int)b : op == ">>" ? a >> (int)b : op == "&" ? a & b : op == "|" ? a | b : a ^ b;
    // clang-format on
    // Past 64 bits no C type holds it, and the numbers beyond would wrap here too.
    if (e.value < -((__int128)1 << 64) || e.value > ((__int128)1 << 64)) e.valid = false;
    return e;
}

// Device names, data pointers and COB-IDs of the kinds that reach the export, from a fixed seed:
// each export is refused, or it compiles after every standard C header and its COB-ID is the value
// the document means. The accepted ones compile in one gcc run.
TEST(Export, GeneratedNamesAndCobIdsAreRefusedOrCompile)
{
    tmpdir t;
    std::mt19937 rng(1211);
    // clang-format off
    const std::vector<std::pair<std::string, bool>> devs = {
        {"DRIVE", true}, {"MOTOR", true}, {"EOF", false}, {"NULL", false}, {"I", false}, {"BUFSIZ", false},
        {"EDOM", false}, {"SIGINT", false}, {"INT_MAX", false}, {"WEOF", false}, {"OD_H", false}};
    const std::vector<std::pair<std::string, bool>> ptrs = {
        {"&speed", true}, {"label", true}, {"&gains[2]", true}, {"&gains[{DEV}_B_VALUE]", true}, {"0", true},
        {"&{DEV}_A_INDEX", false}, {"&{DEV}", false}, {"&OD_H", false}, {"&true", false}, {"&NULL", false},
        {"&bool", false}, {"&EOF", false}, {"&uint8_t", false}, {"&size_t", false}, {"&printf", false},
        {"&I", false}, {"&{dev}_canopen_init", false}, {"&obj_dict", false},
        {"&gains[{DEV}_LABEL_DEFAULT]", false}};
    // clang-format on
    const std::string headers = "#include <assert.h>\n#include <complex.h>\n#include <ctype.h>\n#include <errno.h>\n"
                                "#include <float.h>\n#include <inttypes.h>\n#include <iso646.h>\n#include <limits.h>\n"
                                "#include <locale.h>\n#include <math.h>\n#include <signal.h>\n#include <stdbool.h>\n"
                                "#include <stddef.h>\n#include <stdint.h>\n#include <stdio.h>\n#include <stdlib.h>\n"
                                "#include <string.h>\n#include <time.h>\n#include <wchar.h>\n";
    std::vector<std::string> checks;
    int accepted = 0, cases = 80;
    for (int i = 0; i < cases; ++i) {
        // The first names of each list are sound: a case takes one of the others now and then.
        const auto &[dev_name, dev_ok] = devs[rng() % (rng() % 4 ? 2 : devs.size())];
        auto [ptr, ptr_ok] = ptrs[rng() % (rng() % 4 ? 5 : ptrs.size())];
        std::string dev_lower = dev_name;
        for (char &c : dev_lower) c = (char)std::tolower((unsigned char)c);
        for (size_t at; (at = ptr.find("{DEV}")) != std::string::npos;) ptr.replace(at, 5, dev_name);
        for (size_t at; (at = ptr.find("{dev}")) != std::string::npos;) ptr.replace(at, 5, dev_lower);
        const gen_expr cobid = gen_cobid(rng, dev_name, 3);
        const bool meant = cobid.valid && cobid.value >= 0 && cobid.value <= UINT32_MAX;
        const std::string dir = "c" + std::to_string(i);
        fs::create_directories(t.path / dir);
        const std::string doc = R"({"DEV": ")" + dev_name +
                                R"(", "NODEID": 5, "DEFINES": [{"LIMIT": 100}, {"MODE": ["OFF", "ON"]}],
            "OBJ_DICT": [
              {"name": "A", "index": "0x2000", "type": "CANOPEN_UNSIGNED16", "permissions": "CANOPEN_RW",
               "subindex": 0, "min": 0, "max": 1000, "default": 1, "dataptr": ")" +
                                ptr + R"("},
              {"name": "B", "index": "0x2001", "type": "CANOPEN_UNSIGNED8", "permissions": "CANOPEN_RO",
               "subindex": 0, "value": 2, "dataptr": "&mode"},
              {"name": "LABEL", "index": "0x2002", "type": "CANOPEN_STRING", "permissions": "CANOPEN_RW",
               "stringsize": 16, "default": "x", "dataptr": "label"}],
            "RXPDO": [{"cobid": "0x200", "transmission": "ASYNC", "mappings": [{"param": "A"}]}],
            "TXPDO": [{"cobid": ")" +
                                cobid.text + R"(", "transmission": "ASYNC", "inhibittime": 1,
                       "eventtimer": 2, "mappings": [{"param": "B"}]}]})";
        load(t.write(dir + "/db.json", doc));
        export_to(t.path / dir, "od");
        const bool exported = fs::exists(t.path / dir / "od.h") && fs::exists(t.path / dir / "od.c");
        if (!dev_ok || !ptr_ok || !meant) {
            EXPECT_FALSE(exported) << dev_name << " " << ptr << " " << cobid.text;
            continue;
        }
        if (!exported) continue;
        ++accepted;
        const std::string check = "check" + std::to_string(i) + ".c";
        t.write(check, headers + "#include \"" + dir + "/od.c\"\n_Static_assert((unsigned long long)(" + cobid.text +
                           ") == " + std::to_string((uint64_t)cobid.value) + "ull, \"" + check + "\");\n");
        checks.push_back((t.path / check).string());
    }
    // Refusing everything would pass the rest: a fair share of the sound documents is exported.
    EXPECT_GE(accepted, 8);
    std::vector<std::string> args = strict_c11();
    args.insert(args.end(), checks.begin(), checks.end());
    std::string messages;
    EXPECT_EQ(run_gcc(t.path, args, &messages), 0) << messages;
}

// Bytes that are no UTF-8 go into a C literal as octal escapes; UTF-8 stays as it is.
TEST(Export, BytesThatAreNoUtf8AreEscaped)
{
    tmpdir t;
    ASSERT_TRUE(
        load(t.write("bytes.json", "{\"DEV\": \"D\", \"NODEID\": 2, \"OBJ_DICT\": [{\"name\": \"S\", "
                                   "\"index\": 8192, \"type\": \"CANOPEN_STRING\", \"permissions\": "
                                   "\"CANOPEN_RO\", \"stringsize\": 16, \"default\": \"a\xff\xfe\xc3\xa9\xe2\x82\", "
                                   "\"dataptr\": \"0\"}]}")));
    export_to(t.path, "bytes");
    std::string h = t.read("bytes.h");
    EXPECT_NE(h.find(define_line("D_S_DEFAULT", "\"a\\377\\376\xc3\xa9\\342\\202\"")), std::string::npos) << h;
    std::string messages;
    std::vector<std::string> args = strict_c11();
    args.push_back((t.path / "bytes.c").string());
    EXPECT_EQ(run_gcc(t.path, args, &messages), 0) << messages;
}

TEST(Export, RefusalsWriteNothingAndFailTheRun)
{
    tmpdir t;
    db_deinit(&dev.db);
    exported e = export_to(t.path, "none");
    EXPECT_NE(e.out.find("No device database is loaded"), std::string::npos);
    EXPECT_EQ(e.out.find("Exporting done."), std::string::npos);
    EXPECT_TRUE(main_run_failed());

    struct {
        const char *doc;
        const char *message;
    } cases[] = {
        {R"({"NODEID": 2, "OBJ_DICT": [{"name": "A", "index": 8192, "type": "CANOPEN_UNSIGNED8",
             "permissions": "CANOPEN_RO", "subindex": 0, "value": 1, "dataptr": "0"}]})",
         "'DEV' object not found"},
        {R"({"DEV": "D", "NODEID": 2, "DEFINES": [{"A_MAX": 1}], "OBJ_DICT": [{"name": "A", "index": 8192,
             "type": "CANOPEN_UNSIGNED8", "permissions": "CANOPEN_RO", "subindex": 0, "value": 1, "dataptr": "0"}]})",
         "'define A_MAX' and 'object A' both give the C symbol D_A_MAX"},
        {R"({"DEV": "D", "NODEID": 2, "OBJ_DICT": [{"name": "A", "index": 8192, "type": "CANOPEN_UNSIGNED8",
             "permissions": "CANOPEN_RO", "subindex": 0, "value": 1, "dataptr": "x /* y"}]})",
         "\"dataptr\" 'x /* y' is not an address"},
        {R"({"DEV": "D", "NODEID": 2, "DEFINES": [{"EMCY ERR CODES": ["A"]}], "OBJ_DICT": [{"name": "A",
             "index": 8192, "type": "CANOPEN_UNSIGNED8", "permissions": "CANOPEN_RO", "subindex": 0, "value": 1,
             "dataptr": "0"}]})",
         "both give the C symbol d_emcy_err_codes_e"},
        {R"({"DEV": "EOF", "NODEID": 2, "OBJ_DICT": [{"name": "A", "index": 8192, "type": "CANOPEN_UNSIGNED8",
             "permissions": "CANOPEN_RO", "subindex": 0, "value": 1, "dataptr": "0"}]})",
         "gives the C symbol EOF, which a standard C header defines or declares"},
    };
    for (const auto &k : cases) {
        std::string out;
        load(t.write("refused.json", k.doc), &out);
        e = export_to(t.path, "refused");
        EXPECT_NE((out + e.out).find(k.message), std::string::npos) << e.out << out;
        EXPECT_FALSE(fs::exists(t.path / "refused.h") && fs::exists(t.path / "refused.c")) << k.message;
        fs::remove(t.path / "refused.h");
    }
    // Data pointers that name a constant of the header or of C, and COB-IDs C would not read as the
    // document means them.
    // clang-format off
    const std::pair<std::string, std::string> pointers[] = {
        {"&D_A_INDEX", "names D_A_INDEX, which this header defines as no variable"},
        {"&D", "names D, which this header defines as no variable"},
        {"&REFUSED_H", "names REFUSED_H, which this header defines as no variable"},
        {"&g[D_S_DEFAULT]", "names D_S_DEFAULT, which this header defines as no integer constant"},
        {"&EOF", "names what a C or library header defines"}, {"&true", "names what a C or library header defines"}};
    const std::pair<std::string, std::string> cobids[] = {
        {"0x180 + 1/0", "divides by zero"}, {"1 << 40", "shifts 1 by 40 bits"}, {"-1", "is -1, outside 0..4294967295"},
        {"REFUSED_H", "names 'REFUSED_H', which is no integer constant"},
        {"d_canopen_init", "names 'd_canopen_init', which is no integer constant"}};
    // clang-format on
    auto pdo_doc = [](const std::string &ptr, const std::string &cobid) {
        return R"({"DEV": "D", "NODEID": 2, "OBJ_DICT": [{"name": "A", "index": 8192, "type": "CANOPEN_UNSIGNED8",
             "permissions": "CANOPEN_RO", "subindex": 0, "value": 1, "dataptr": ")" +
               ptr + R"("}, {"name": "S", "index": 8193, "type": "CANOPEN_STRING", "permissions": "CANOPEN_RO",
             "stringsize": 4, "default": "x", "dataptr": "s"}],
             "TXPDO": [{"cobid": ")" +
               cobid +
               R"(", "transmission": "ASYNC", "inhibittime": 1, "eventtimer": 2, "mappings": [{"param": "A"}]}]})";
    };
    std::vector<std::pair<std::string, std::string>> pdo_cases;
    for (const auto &[ptr, message] : pointers) pdo_cases.push_back({pdo_doc(ptr, "0x180"), message});
    for (const auto &[cobid, message] : cobids) pdo_cases.push_back({pdo_doc("&a", cobid), message});
    // The same document with a sound pointer and COB-ID is exported.
    pdo_cases.push_back({pdo_doc("&a", "0x180 + D_NODEID"), ""});
    for (const auto &[doc, message] : pdo_cases) {
        std::string out;
        load(t.write("refused.json", doc), &out);
        e = export_to(t.path, "refused");
        const bool written = fs::exists(t.path / "refused.h") && fs::exists(t.path / "refused.c");
        if (message.empty()) {
            EXPECT_TRUE(written) << e.out << out;
        } else {
            EXPECT_NE((out + e.out).find(message), std::string::npos) << message << "\n" << e.out << out;
            EXPECT_FALSE(written) << message;
        }
        fs::remove(t.path / "refused.h");
        fs::remove(t.path / "refused.c");
    }
    // An output folder that does not exist: the message, and no half-written file anywhere.
    ASSERT_TRUE(load(corpus + "drive.json"));
    e = export_to(t.path / "missing", "x");
    EXPECT_NE(e.out.find("Failed to open header file '" + (t.path / "missing").string() + "/x.h'."), std::string::npos)
        << e.out;
    EXPECT_FALSE(fs::exists(t.path / "missing"));
    // A name that would break the include line, or put the export in place of a header it includes.
    for (const char *name : {"a\"b", "stdbool", "stddef", "kr_can"}) {
        e = export_to(t.path, name);
        EXPECT_NE(e.out.find("cannot name the exported files"), std::string::npos) << name;
        EXPECT_FALSE(fs::exists(t.path / (std::string(name) + ".h"))) << name;
    }
}

} // namespace
