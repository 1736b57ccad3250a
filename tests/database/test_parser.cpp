// Document parser: format choice, JSON bracket check, both formats through one query interface,
// whole-file reads and safe writes, and the writer dispatch read back through the parser.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "database/parser.h"
#include "kr_rtos.h"

namespace fs = std::filesystem;

namespace {

// A writable copy of a text with its terminator, as the readers need.
struct Text {
    std::vector<char> buf;
    explicit Text(const std::string &s) : buf(s.begin(), s.end()) { buf.push_back('\0'); }
    parser_node_st parse(parser_formats_e f) { return parser_read_buffer(buf.data(), buf.size() - 1, f); }
};

std::string str_of(parser_node_st n)
{
    char b[128];
    parser_get_string(n, b, sizeof b);
    return b;
}

std::string name_of(parser_node_st n)
{
    char b[128] = "unset";
    EXPECT_TRUE(parser_get_obj_name(n, b, sizeof b));
    return b;
}

struct TempDir {
    fs::path path;
    TempDir()
    {
        char tmpl[] = "/tmp/krcan_parser_XXXXXX";
        path = mkdtemp(tmpl);
    }
    ~TempDir() { fs::remove_all(path); }
    std::string file(const std::string &name, const std::string &content) const
    {
        const fs::path p = path / name;
        std::ofstream(p, std::ios::binary) << content;
        return p.string();
    }
};

std::string slurp(const fs::path &p)
{
    std::ifstream f(p, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

} // namespace

TEST(ParserFormat, ChosenByExtensionInAnyCase)
{
    EXPECT_EQ(parser_format_from_filename("param.YML"), PARSER_FORMAT_YAML);
    EXPECT_EQ(parser_format_from_filename("dir/db.Yaml"), PARSER_FORMAT_YAML);
    EXPECT_EQ(parser_format_from_filename("a.json5"), PARSER_FORMAT_JSON);
    EXPECT_EQ(parser_format_from_filename("noext"), PARSER_FORMAT_JSON);
    EXPECT_EQ(parser_format_from_filename("dir.yaml/file"), PARSER_FORMAT_JSON);
    EXPECT_EQ(parser_format_from_filename("x.yamlyaml"), PARSER_FORMAT_JSON);
    EXPECT_EQ(parser_format_from_filename(nullptr), PARSER_FORMAT_JSON);
    EXPECT_STREQ(parser_format_to_str(PARSER_FORMAT_YAML), "YAML");
    EXPECT_STREQ(parser_format_to_str(static_cast<parser_formats_e>(7)), "JSON");
    EXPECT_STREQ(parser_type_to_str(PARSER_ARRAY), "ARRAY");
    EXPECT_STREQ(parser_type_to_str(static_cast<parser_types_e>(5)), "UNDEFINED");
}

TEST(ParserJsonCheck, StructureErrorsAndTheirOffsets)
{
    struct Case {
        std::string text, error;
    };
    const std::string deep_ok = "{\"a\":" + std::string(511, '[') + std::string(511, ']') + "}";
    const std::string too_deep = "{\"a\":" + std::string(512, '[') + std::string(512, ']') + "}";
    const Case cases[] = {
        {"[{}]", "1:1: the document is not a JSON object"},
        {"", "1:1: the document is empty"},
        {"  \n ", "2:2: the document is empty"},
        {"{\"a\":[}", "1:7: '}' where a value was expected"},
        {"{\"a\":{]}", "1:7: ']' where a member name in double quotes was expected"},
        {"{} {}", "1:4: '{' where the end of the document was expected"},
        {" {}x", "1:4: 'x' where the end of the document was expected"},
        {"{}}", "1:3: '}' where the end of the document was expected"},
        {"{\"a", "1:2: a string that is never closed"},
        {"{\"a\":[{", "1:8: the document ends where a member name in double quotes was expected"},
        {too_deep, "1:517: the document nests deeper than 512 levels"},
        // A missing comma or colon, a bare key, a trailing comma: refused where they stand.
        {"{\"a\": [{\"n\": 1}\n {\"n\": 2}]}", "2:2: '{' where ',' or ']' was expected"},
        {"{\"default\" 10}", "1:12: '1' where ':' after the member name was expected"},
        {"{default: 10}", "1:2: 'd' where a member name in double quotes was expected"},
        {"{\"DEV\": \"DRIVE\"\n \"NODEID\": 1}", "2:2: '\"' where ',' or '}' was expected"},
        {"{\"a\": [1,]}", "1:10: a ',' before ']' (a trailing comma)"},
        {"{\"s\": \"caf\\x\"}", "1:11: an unknown escape \\'x'"},
        {"{\"s\": \"a\tb\"}", "1:9: a control character inside a string (write it as an escape)"},
    };
    for (const Case &c : cases) {
        Text t(c.text);
        EXPECT_FALSE(parser_node_is_valid(t.parse(PARSER_FORMAT_JSON))) << c.text;
        EXPECT_STREQ(parser_last_error(), c.error.c_str()) << c.text;
    }
    // Brackets inside strings are text; 63 arrays inside the root still fit.
    for (const std::string &ok : {deep_ok, std::string("{\"a]\":\"}[{\"}  \n")}) {
        Text t(ok);
        EXPECT_TRUE(parser_node_is_valid(t.parse(PARSER_FORMAT_JSON))) << ok;
        EXPECT_STREQ(parser_last_error(), "no error");
    }
}

TEST(ParserReadBuffer, NullEmptyYamlByteOrderMarkAndLength)
{
    EXPECT_FALSE(parser_node_is_valid(parser_read_buffer(nullptr, 3, PARSER_FORMAT_JSON)));
    EXPECT_STREQ(parser_last_error(), "there is nothing to parse");

    Text empty("");
    const parser_node_st root = empty.parse(PARSER_FORMAT_YAML);
    ASSERT_TRUE(parser_node_is_valid(root));
    EXPECT_EQ(parser_get_type(root), PARSER_UNSUPPORTED);
    EXPECT_EQ(parser_get_child_count(root), 0u);

    for (parser_formats_e f : {PARSER_FORMAT_JSON, PARSER_FORMAT_YAML}) {
        Text t(f == PARSER_FORMAT_JSON ? "\xEF\xBB\xBF{\"a\": 7}"
                                       : "\xEF\xBB\xBF"
                                         "a: 7\n");
        const parser_node_st r = t.parse(f);
        ASSERT_TRUE(parser_node_is_valid(r)) << parser_last_error();
        EXPECT_EQ(parser_get_int(parser_find_child(r, "a")), 7);
        char name[8];
        EXPECT_TRUE(parser_get_obj_name(parser_get_child(r, 0), name, sizeof name));
        EXPECT_STREQ(name, "a");
    }

    // The text ends after length characters even when more follows in the buffer.
    char buf[] = "{\"a\":1}{garbage";
    const parser_node_st r = parser_read_buffer(buf, 7, PARSER_FORMAT_JSON);
    ASSERT_TRUE(parser_node_is_valid(r)) << parser_last_error();
    EXPECT_EQ(parser_get_child_count(r), 1u);
}

// The same document in both formats reads the same through every query.
class ParserQueries : public ::testing::TestWithParam<parser_formats_e> {};

TEST_P(ParserQueries, SameAnswersInBothFormats)
{
    const parser_formats_e f = GetParam();
    Text t(f == PARSER_FORMAT_JSON
               ? R"({"name": "motor 1", "id": "0x1F", "on": true, "count": 15,
                   "list": [10, "0x20", false, {"k": "v"}, [1, 2]], "empty": [], "obj": {"x": -5, "y": "text", "q": "10"}})"
               : "name: \"motor 1\"\nid: \"0x1F\"\non: true\ncount: 15\nlist:\n  - 10\n  - \"0x20\"\n"
                 "  - false\n  - k: v\n  - [1, 2]\nempty: []\nobj:\n  x: -5\n  y: text\n  q: \"10\"\n");
    const parser_node_st root = t.parse(f);
    ASSERT_TRUE(parser_node_is_valid(root)) << parser_last_error();
    EXPECT_EQ(root.format, f);
    EXPECT_EQ(parser_get_type(root), PARSER_OBJECT);
    EXPECT_EQ(parser_get_child_count(root), 7u);
    EXPECT_EQ(str_of(parser_find_child(root, "name")), "motor 1");
    EXPECT_EQ(parser_get_type(parser_find_child(root, "name")), PARSER_STRING);
    // A quoted hexadecimal value is an integer in both formats.
    EXPECT_EQ(parser_get_type(parser_find_child(root, "id")), PARSER_INT);
    EXPECT_EQ(parser_get_int(parser_find_child(root, "id")), 31);
    EXPECT_TRUE(parser_get_bool(parser_find_child(root, "on")));
    EXPECT_EQ(parser_get_int(parser_find_child(root, "count")), 15);
    EXPECT_FALSE(parser_node_is_valid(parser_find_child(root, "nam")));
    EXPECT_FALSE(parser_node_is_valid(parser_find_child(root, nullptr)));

    const parser_node_st list = parser_find_child(root, "list");
    EXPECT_EQ(parser_get_type(list), PARSER_ARRAY);
    EXPECT_EQ(parser_array_get_size(list), 5u);
    EXPECT_EQ(parser_get_child_count(list), 5u);
    EXPECT_EQ(parser_array_get_int(list, 0), 10);
    EXPECT_EQ(parser_array_get_type(list, 1), PARSER_INT);
    EXPECT_EQ(parser_array_get_int(list, 1), 32);
    EXPECT_EQ(parser_array_get_type(list, 2), PARSER_BOOL);
    EXPECT_EQ(parser_array_get_type(list, 3), PARSER_OBJECT);
    EXPECT_EQ(parser_array_get_type(list, 4), PARSER_ARRAY);
    EXPECT_EQ(parser_array_get_type(list, 5), PARSER_UNSUPPORTED);
    EXPECT_EQ(parser_array_get_int(list, 9), 0);
    char s[8] = "x";
    EXPECT_FALSE(parser_array_get_string(list, 9, s, sizeof s));
    EXPECT_STREQ(s, "");
    EXPECT_EQ(str_of(parser_find_child(parser_array_at(list, 3), "k")), "v");
    EXPECT_EQ(parser_array_get_int(parser_array_at(list, 4), 1), 2);

    // get_child by index walks array elements exactly as array_at does, in both formats.
    for (uint16_t i = 0; i < 5; ++i) {
        const parser_node_st c = parser_get_child(list, i);
        ASSERT_TRUE(parser_node_is_valid(c)) << i;
        EXPECT_EQ(parser_get_type(c), parser_array_get_type(list, i)) << i;
        EXPECT_EQ(parser_get_int(c), parser_array_get_int(list, i)) << i;
        EXPECT_EQ(name_of(c), "") << "an element has no name";
    }
    EXPECT_FALSE(parser_node_is_valid(parser_get_child(list, 5)));

    // The sibling walk visits the same elements; the end leaves out as it was.
    parser_node_st c = parser_get_child(list, 0);
    int n = 1;
    while (parser_get_next_sibling(c, &c)) ++n;
    EXPECT_EQ(n, 5);
    EXPECT_EQ(parser_get_type(c), PARSER_ARRAY);
    // The one-pass walk gives each element in turn and the invalid node after the last.
    parser_node_st e = parser_array_at(list, 0);
    for (uint32_t i = 0; i < 5; ++i, e = parser_array_next(e))
        EXPECT_EQ(parser_get_type(e), parser_array_get_type(list, i)) << i;
    EXPECT_FALSE(parser_node_is_valid(e));

    const parser_node_st empty = parser_find_child(root, "empty");
    EXPECT_EQ(parser_get_type(empty), PARSER_ARRAY);
    EXPECT_EQ(parser_get_child_count(empty), 0u);
    EXPECT_FALSE(parser_node_is_valid(parser_get_child(empty, 0)));

    const parser_node_st obj = parser_find_child(root, "obj");
    EXPECT_EQ(name_of(obj), "obj");
    EXPECT_EQ(parser_get_child_count(obj), 3u);
    // A quoted number is an integer in both formats, so that twins agree.
    EXPECT_EQ(parser_get_type(parser_find_child(obj, "q")), PARSER_INT);
    EXPECT_EQ(parser_get_int(parser_get_child(obj, 0)), -5);
    EXPECT_EQ(name_of(parser_get_child(obj, 1)), "y");
    EXPECT_EQ(parser_get_string_len(parser_get_child(obj, 1)), 4u);
    EXPECT_EQ(std::strncmp(parser_get_string_ptr(parser_get_child(obj, 1)), "text", 4), 0);

    char small[4];
    EXPECT_FALSE(parser_get_string(parser_find_child(root, "name"), small, sizeof small));
    EXPECT_STREQ(small, "mot");
}

INSTANTIATE_TEST_SUITE_P(Formats, ParserQueries, ::testing::Values(PARSER_FORMAT_JSON, PARSER_FORMAT_YAML));

TEST(ParserQueries, InvalidNodeGivesNothing)
{
    const parser_node_st bad = parser_node_invalid();
    EXPECT_FALSE(parser_node_is_valid(bad));
    EXPECT_EQ(parser_get_type(bad), PARSER_UNSUPPORTED);
    EXPECT_EQ(parser_get_int(bad), 0);
    EXPECT_EQ(parser_get_child_count(bad), 0u);
    EXPECT_EQ(parser_get_string_ptr(bad), nullptr);
    parser_node_st out = parser_node_invalid();
    EXPECT_FALSE(parser_get_next_sibling(bad, &out));
    char s[4] = "abc";
    EXPECT_FALSE(parser_get_string(bad, s, sizeof s));
    EXPECT_STREQ(s, "");
    strcpy(s, "abc");
    EXPECT_FALSE(parser_get_obj_name(bad, s, sizeof s));
    EXPECT_STREQ(s, "");
    EXPECT_FALSE(parser_get_string(bad, nullptr, 0));
}

TEST(ParserFiles, FindFileTakesRegularFilesAndRefusesCutPaths)
{
    TempDir d;
    const std::string dir = d.path.string();
    char dest[256] = "untouched";
    EXPECT_FALSE(parser_find_file(dir.c_str(), "x", dest, sizeof dest));
    EXPECT_EQ(std::string(dest), dir + "/x.json");

    // A folder named like the first candidate is skipped, the YAML file found.
    fs::create_directory(d.path / "x.json");
    d.file("x.yml", "a: 1\n");
    EXPECT_TRUE(parser_find_file(dir.c_str(), "x", dest, sizeof dest));
    EXPECT_EQ(std::string(dest), dir + "/x.yml");

    strcpy(dest, "untouched");
    EXPECT_FALSE(parser_find_file(nullptr, "x", dest, sizeof dest));
    EXPECT_FALSE(parser_find_file(dir.c_str(), nullptr, dest, sizeof dest));
    EXPECT_STREQ(dest, "untouched");

    // x.yml would fit only cut short: it is not opened as "<dir>/x.y".
    const size_t fits_none = dir.size() + 5;
    std::vector<char> tiny(fits_none, 'z');
    EXPECT_FALSE(parser_find_file(dir.c_str(), "x", tiny.data(), tiny.size()));
    EXPECT_STREQ(tiny.data(), "");
    // Room for "/x.yml" but not for "/x.json": the YAML candidate is still tried.
    std::vector<char> room(dir.size() + 7, 'z');
    EXPECT_TRUE(parser_find_file(dir.c_str(), "x", room.data(), room.size()));
    EXPECT_EQ(std::string(room.data()), dir + "/x.yml");
}

TEST(ParserFiles, ReadFileErrorsAndBuffer)
{
    TempDir d;
    char *text = reinterpret_cast<char *>(1);
    EXPECT_FALSE(parser_node_is_valid(parser_read_file(nullptr, &text)));
    EXPECT_STREQ(parser_last_error(), "no file was given");
    EXPECT_EQ(text, nullptr);

    EXPECT_FALSE(parser_node_is_valid(parser_read_file((d.path / "missing.json").c_str(), &text)));
    EXPECT_STREQ(parser_last_error(), "the file could not be opened");

    EXPECT_FALSE(parser_node_is_valid(parser_read_file(d.path.c_str(), &text)));
    EXPECT_STREQ(parser_last_error(), "the file could not be opened: it is not a regular file");

    // A FIFO is refused at once rather than waited on.
    const std::string fifo = (d.path / "pipe.json").string();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_FALSE(parser_node_is_valid(parser_read_file(fifo.c_str(), &text)));
    EXPECT_STREQ(parser_last_error(), "the file could not be opened: it is not a regular file");
    char found[512];
    EXPECT_FALSE(parser_find_file(d.path.c_str(), "pipe", found, sizeof found));

    EXPECT_FALSE(parser_node_is_valid(parser_read_file(d.file("e.json", "").c_str(), &text)));
    EXPECT_STREQ(parser_last_error(), "the file is empty");

    EXPECT_FALSE(parser_node_is_valid(parser_read_file(d.file("bad.json", "{\"a\":[}").c_str(), &text)));
    EXPECT_EQ(std::string(parser_last_error()),
              (d.path / "bad.json").string() + ":1:7: '}' where a value was expected");
    EXPECT_EQ(text, nullptr);

    // The extension picks the reader; a BOM from a Windows editor is skipped.
    const std::string yml = d.file("p.YML", "\xEF\xBB\xBF# comment\r\nparams:\r\n  - index: \"0x2000\"\r\n");
    const parser_node_st root = parser_read_file(yml.c_str(), &text);
    ASSERT_TRUE(parser_node_is_valid(root)) << parser_last_error();
    EXPECT_STREQ(parser_last_error(), "no error");
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(root.format, PARSER_FORMAT_YAML);
    const parser_node_st item = parser_array_at(parser_find_child(root, "params"), 0);
    EXPECT_EQ(parser_get_int(parser_find_child(item, "index")), 0x2000);
    std::free(text);
}

TEST(ParserFiles, WriteReplacesWholeAndKeepsOldFileOnFailure)
{
    TempDir d;
    const std::string path = d.file("out.json", "old contents");
    chmod(path.c_str(), 0640);
    ASSERT_TRUE(parser_write_file(path.c_str(), "{\"a\":1}")) << parser_last_error();
    EXPECT_EQ(slurp(path), "{\"a\":1}");
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);

    // Saving through a link updates the file it names and keeps the link.
    const fs::path link = d.path / "link.json";
    fs::create_symlink(path, link);
    ASSERT_TRUE(parser_write_file(link.c_str(), "{\"b\":2}")) << parser_last_error();
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(slurp(path), "{\"b\":2}");

    // A write the system refuses midway (file size limit) reports failure and leaves the old file.
    const std::string big(64 * 1024, 'x');
    struct sigaction ign {
    }, old_act{};
    ign.sa_handler = SIG_IGN;
    sigaction(SIGXFSZ, &ign, &old_act);
    struct rlimit old_lim {};
    getrlimit(RLIMIT_FSIZE, &old_lim);
    struct rlimit lim = old_lim;
    lim.rlim_cur = 1024;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &lim), 0);
    const bool ok = parser_write_file(path.c_str(), big.c_str());
    setrlimit(RLIMIT_FSIZE, &old_lim);
    sigaction(SIGXFSZ, &old_act, nullptr);
    EXPECT_FALSE(ok);
    EXPECT_NE(std::string(parser_last_error()).find("could not be written"), std::string::npos) << parser_last_error();
    EXPECT_EQ(slurp(path), "{\"b\":2}");
    int entries = 0;
    for (const auto &e : fs::directory_iterator(d.path)) entries += e.exists() ? 1 : 0;
    EXPECT_EQ(entries, 2) << "no temporary file may be left behind";

    // A name at the file system's limit leaves no room for a longer temporary name beside it.
    const std::string longest = (d.path / (std::string(250, 'n') + ".json")).string();
    ASSERT_TRUE(parser_write_file(longest.c_str(), "{}")) << parser_last_error();
    EXPECT_EQ(slurp(longest), "{}");
    fs::remove(longest);

    EXPECT_FALSE(parser_write_file((d.path / "no" / "such.json").c_str(), "{}"));
    EXPECT_NE(std::string(parser_last_error()).find("could not be created"), std::string::npos);
    EXPECT_FALSE(parser_write_file(d.path.c_str(), "{}"));
    EXPECT_TRUE(fs::is_directory(d.path));
    EXPECT_FALSE(parser_write_file(nullptr, "{}"));
    EXPECT_FALSE(parser_write_file(path.c_str(), nullptr));
}

// A signal that ends the program while the temporary file is written removes it: here the file
// size limit raises the signal in the middle of the write, and the program's handler takes it.
TEST(ParserFiles, ASignalBetweenTemporaryFileAndRenameLeavesNoTemporaryFile)
{
    TempDir d;
    const std::string path = d.file("out.json", "old contents");
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        kr_install_signal_handler();
        struct sigaction term {};
        sigaction(SIGTERM, nullptr, &term);
        sigaction(SIGXFSZ, &term, nullptr);
        struct rlimit lim {};
        getrlimit(RLIMIT_FSIZE, &lim);
        lim.rlim_cur = 1024;
        setrlimit(RLIMIT_FSIZE, &lim);
        const std::string big(64 * 1024, 'x');
        parser_write_file(path.c_str(), big.c_str());
        _exit(0); // not reached: the signal ends the child
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_FALSE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the signal did not end the write";
    EXPECT_EQ(slurp(path), "old contents");
    int entries = 0;
    for (const auto &e : fs::directory_iterator(d.path)) entries += e.exists() ? 1 : 0;
    EXPECT_EQ(entries, 1) << "no temporary file may be left behind";
}

class ParserWriter : public ::testing::TestWithParam<parser_formats_e> {};

TEST_P(ParserWriter, DocumentReadsBack)
{
    const parser_formats_e f = GetParam();
    char buf[1024];
    parser_writer_st w;
    ASSERT_EQ(parser_writer_init(&w, buf, sizeof buf, f), ERR_NONE);
    EXPECT_EQ(parser_writer_add_string(&w, "name", "123"), ERR_NONE);
    EXPECT_EQ(parser_writer_add_int_hex(&w, "index", 0x7FFFFFFF), ERR_NONE);
    EXPECT_EQ(parser_writer_add_int(&w, "neg", -12), ERR_NONE);
    EXPECT_EQ(parser_writer_add_bool(&w, "flag", true), ERR_NONE);
    EXPECT_EQ(parser_writer_begin_array(&w, "list"), ERR_NONE);
    EXPECT_EQ(parser_writer_array_add_int(&w, 4), ERR_NONE);
    EXPECT_EQ(parser_writer_array_add_int_hex(&w, 0xab), ERR_NONE);
    EXPECT_EQ(parser_writer_array_add_string(&w, "s t"), ERR_NONE);
    EXPECT_EQ(parser_writer_array_add_bool(&w, false), ERR_NONE);
    EXPECT_EQ(parser_writer_begin_object(&w, nullptr), ERR_NONE);
    EXPECT_EQ(parser_writer_add_int(&w, "k", 9), ERR_NONE);
    EXPECT_EQ(parser_writer_end_object(&w), ERR_NONE);

    // A second document appended as the next element.
    char sub[128];
    parser_writer_st w2;
    ASSERT_EQ(parser_writer_init(&w2, sub, sizeof sub, f), ERR_NONE);
    EXPECT_EQ(parser_writer_add_int(&w2, "index", 5), ERR_NONE);
    EXPECT_EQ(parser_writer_add_string(&w2, "value", "0x1f"), ERR_NONE);
    EXPECT_EQ(parser_writer_end(&w2), ERR_NONE);
    EXPECT_TRUE(parser_writer_array_append_doc(&w, sub));
    EXPECT_EQ(parser_writer_end_array(&w), ERR_NONE);
    EXPECT_EQ(parser_writer_begin_object(&w, "empty"), ERR_NONE);
    EXPECT_EQ(parser_writer_end_object(&w), ERR_NONE);
    ASSERT_EQ(parser_writer_end(&w), ERR_NONE);

    Text t(buf);
    const parser_node_st root = t.parse(f);
    ASSERT_TRUE(parser_node_is_valid(root)) << parser_last_error() << "\n" << buf;
    EXPECT_EQ(str_of(parser_find_child(root, "name")), "123");
    const parser_node_st index = parser_find_child(root, "index");
    EXPECT_EQ(parser_get_type(index), PARSER_INT) << buf;
    EXPECT_EQ(parser_get_int(index), 0x7FFFFFFF);
    EXPECT_EQ(parser_get_int(parser_find_child(root, "neg")), -12);
    EXPECT_TRUE(parser_get_bool(parser_find_child(root, "flag")));
    const parser_node_st list = parser_find_child(root, "list");
    ASSERT_EQ(parser_array_get_size(list), 6u) << buf;
    EXPECT_EQ(parser_array_get_int(list, 0), 4);
    EXPECT_EQ(parser_array_get_type(list, 1), PARSER_INT);
    EXPECT_EQ(parser_array_get_int(list, 1), 0xab);
    char s[16];
    EXPECT_TRUE(parser_array_get_string(list, 2, s, sizeof s));
    EXPECT_STREQ(s, "s t");
    EXPECT_EQ(parser_array_get_type(list, 3), PARSER_BOOL);
    EXPECT_EQ(parser_get_int(parser_find_child(parser_array_at(list, 4), "k")), 9);
    const parser_node_st doc = parser_array_at(list, 5);
    EXPECT_EQ(parser_get_child_count(doc), 2u) << buf;
    EXPECT_EQ(parser_get_int(parser_find_child(doc, "value")), 0x1f);
    EXPECT_EQ(parser_get_type(parser_find_child(root, "empty")), PARSER_OBJECT);
    EXPECT_EQ(parser_get_child_count(parser_find_child(root, "empty")), 0u);
}

TEST_P(ParserWriter, RefusalsLeaveTheTextAndEndReportsOpenCollections)
{
    const parser_formats_e f = GetParam();
    char buf[48];
    parser_writer_st w;
    ASSERT_EQ(parser_writer_init(&w, buf, sizeof buf, f), ERR_NONE);
    ASSERT_EQ(parser_writer_begin_array(&w, "l"), ERR_NONE);
    const std::string before = buf;
    char doc[] = "{\"a_rather_long_key\":\"with a rather long value\"}";
    char ydoc[] = "a_rather_long_key: with a rather long value\nsecond: line\n";
    EXPECT_FALSE(parser_writer_array_append_doc(&w, f == PARSER_FORMAT_JSON ? doc : ydoc));
    EXPECT_EQ(before, buf) << "a document that does not fit is not written in part";
    EXPECT_EQ(parser_writer_array_add_string(&w, std::string(60, 'v').c_str()), ERR_BUFFER_OVERFLOW);
    EXPECT_EQ(before, buf);
    EXPECT_EQ(parser_writer_end(&w), f == PARSER_FORMAT_JSON ? 0x0700000Cu : 0x1800000Cu);
}

// Random texts go through the writer as the parameter saver writes a string entry, and come back
// through the reader as the loader reads it: equal, never changed.
TEST_P(ParserWriter, RandomTextsReadBackByteForByte)
{
    const parser_formats_e f = GetParam();
    std::mt19937 rng(5417);
    const std::vector<std::string> pieces = {
        "\"", "'",    "''",      "\\", "\\\\",     "\n",           "\r\n",
        "\t", ": ",   " #",      "- ", "\xC3\xA9", "\xE2\x9C\x93", "\xF0\x9F\x98\x80",
        " ",  "0x1F", "\\u00e9", "---"};
    for (int round = 0; round < 3000; ++round) {
        std::string text;
        const int parts = static_cast<int>(rng() % 12);
        for (int k = 0; k < parts; ++k) {
            if (rng() % 2 != 0)
                text += static_cast<char>(1 + rng() % 255); // every byte 0x01-0xFF
            else
                text += pieces[rng() % pieces.size()];
        }
        std::vector<char> out(4096);
        parser_writer_st w{};
        ASSERT_EQ(parser_writer_init(&w, out.data(), static_cast<uint32_t>(out.size()), f), ERR_NONE);
        ASSERT_EQ(parser_writer_begin_array(&w, "PARAMS"), ERR_NONE);
        ASSERT_EQ(parser_writer_begin_object(&w, nullptr), ERR_NONE);
        ASSERT_EQ(parser_writer_add_string(&w, "DATA", text.c_str()), ERR_NONE);
        ASSERT_EQ(parser_writer_end_object(&w), ERR_NONE);
        ASSERT_EQ(parser_writer_end_array(&w), ERR_NONE);
        ASSERT_EQ(parser_writer_end(&w), ERR_NONE);
        const std::string written = f == PARSER_FORMAT_YAML ? w.yaml.start_ptr : w.json.start_ptr;
        Text doc(written);
        const parser_node_st root = doc.parse(f);
        ASSERT_TRUE(parser_node_is_valid(root)) << parser_last_error() << "\n" << written;
        const parser_node_st data = parser_find_child(parser_array_at(parser_find_child(root, "PARAMS"), 0), "DATA");
        std::vector<char> back(parser_get_string_len(data) + 1);
        EXPECT_TRUE(parser_get_string(data, back.data(), static_cast<uint32_t>(back.size())));
        ASSERT_EQ(std::string(back.data()), text) << written;
    }
}

INSTANTIATE_TEST_SUITE_P(Formats, ParserWriter, ::testing::Values(PARSER_FORMAT_JSON, PARSER_FORMAT_YAML));
