// The YAML reader: structure, flow collections, comments, quoting, CRLF, the type rules, and
// malformed input that must fail cleanly (every document sits in a buffer of its exact size, so
// the sanitizer sees any read past its end).
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "hal/yaml_tree.h"
#include "kr_yamlreader.h"

using yamltest::read_canon;

namespace {

struct Doc {
    std::vector<char> buf;
    kr_errors_e err;
    explicit Doc(const std::string &text) : buf(text.begin(), text.end())
    {
        buf.push_back('\0');
        err = kr_yamlreader_init(buf.data(), (uint32_t)buf.size());
    }
    kr_yaml_node_st root() { return kr_yamlreader_get_root(buf.data()); }
    kr_yaml_node_st at(const char *key) { return kr_yamlreader_find_child(root(), key); }
};

std::string str(kr_yaml_node_st n) { return yamltest::node_string(n); }

} // namespace

TEST(YamlReaderBlock, MapsSequencesAndNesting)
{
    EXPECT_EQ(read_canon("a: 1\nb: x\nc:\n  d: true\n  e:\n    - 1\n    - two\n"),
              R"({"a":1,"b":"x","c":{"d":true,"e":[1,"two"]}})");
    // A key followed by dash items at its own column.
    EXPECT_EQ(read_canon("list:\n- 1\n- 1\nnext: 2\n"), R"({"list":[1,1],"next":2})");
    // A mapping written inline after a dash continues at the column of its first key.
    EXPECT_EQ(read_canon("- name: a\n  value: 2\n- name: b\n"), R"([{"name":"a","value":2},{"name":"b"}])");
    // Sequences of sequences.
    EXPECT_EQ(read_canon("k:\n  - - 1\n    - 2\n  - - 3\n"), R"({"k":[[1,2],[3]]})");
    EXPECT_EQ(read_canon("- - - x\n"), R"([[["x"]]])");
    // A dash alone with its mapping below it, and a key inside an inline mapping holding a block.
    EXPECT_EQ(read_canon("-\n  a: 1\n- b:\n    c: 2\n"), R"([{"a":1},{"b":{"c":2}}])");
    EXPECT_EQ(read_canon("- k:\n  - 1\n  - 2\n  j: 3\n"), R"([{"k":[1,2],"j":3}])");
}

TEST(YamlReaderBlock, ChildrenByIndexNameAndSibling)
{
    Doc d("a: 1\nb:\n  - x\n  - y\n  - z\nc: 3\n");
    ASSERT_EQ(d.err, ERR_NONE);
    EXPECT_EQ(kr_yamlreader_get_type(d.root()), YAML_MAP);
    EXPECT_EQ(kr_yamlreader_get_child_count(d.root()), 3u);
    kr_yaml_node_st b = d.at("b");
    EXPECT_EQ(kr_yamlreader_seq_get_size(b), 3u);
    char s[8];
    EXPECT_TRUE(kr_yamlreader_seq_get_string(b, 2, s, sizeof s));
    EXPECT_STREQ(s, "z");
    EXPECT_EQ(kr_yamlreader_seq_get_type(b, 1), YAML_STRING);
    EXPECT_EQ(kr_yamlreader_seq_at(b, 3).ptr, nullptr);
    EXPECT_EQ(kr_yamlreader_seq_at(b, -1).ptr, nullptr);
    EXPECT_EQ(kr_yamlreader_seq_get_int(b, 7), 0);
    EXPECT_FALSE(kr_yamlreader_seq_get_string(b, 7, s, sizeof s));
    EXPECT_STREQ(s, "");
    EXPECT_EQ(kr_yamlreader_get_int(kr_yamlreader_get_child(d.root(), 2)), 3);

    kr_yaml_node_st c = d.at("c"), out{};
    EXPECT_FALSE(kr_yamlreader_get_next_sibling(c, &out));
    EXPECT_FALSE(kr_yamlreader_get_next_sibling(d.root(), &out));
    EXPECT_TRUE(kr_yamlreader_get_next_sibling(d.at("a"), nullptr));
    EXPECT_EQ(d.at("missing").ptr, nullptr);
    EXPECT_EQ(d.at(nullptr).ptr, nullptr); // every child here has a key

    char name[8];
    EXPECT_TRUE(kr_yamlreader_get_obj_name(d.root(), name, sizeof name));
    EXPECT_STREQ(name, "");
    EXPECT_TRUE(kr_yamlreader_get_obj_name(kr_yamlreader_get_child(b, 0), name, sizeof name));
    EXPECT_STREQ(name, "");
    EXPECT_FALSE(kr_yamlreader_get_obj_name(kr_yaml_node_st{}, name, sizeof name));
    EXPECT_FALSE(kr_yamlreader_get_obj_name(c, name, 0));
    // Keys are compared byte for byte; blanks before the colon are no part of the key.
    Doc k("Key: 1\nsp : 2\n");
    EXPECT_EQ(k.at("key").ptr, nullptr);
    EXPECT_EQ(k.at("sp ").ptr, nullptr);
    EXPECT_NE(k.at("sp").ptr, nullptr);
}

TEST(YamlReaderFlow, SequencesAndMappings)
{
    EXPECT_EQ(read_canon("k: [1, 2, [3, 4]]\n"), R"({"k":[1,2,[3,4]]})");
    EXPECT_EQ(read_canon("k: {a: 1, b: x}\n"), R"({"k":{"a":1,"b":"x"}})");
    EXPECT_EQ(read_canon("k: [{a: [1]}, {}, []]\n"), R"({"k":[{"a":[1]},{},[]]})");
    EXPECT_EQ(read_canon("- [a, \"b, c\", 'd]']\n"), R"([["a","b, c","d]"]])");
    Doc d("k: []\nm: {}\nf: [a, b, c]\n");
    EXPECT_EQ(kr_yamlreader_get_type(d.at("k")), YAML_SEQ);
    EXPECT_EQ(kr_yamlreader_get_child_count(d.at("k")), 0u);
    EXPECT_EQ(kr_yamlreader_get_type(d.at("m")), YAML_MAP);
    kr_yaml_node_st f = d.at("f");
    EXPECT_EQ(kr_yamlreader_get_child_count(f), 3u);
    EXPECT_TRUE(kr_yamlreader_get_child(f, 1).flow);
    EXPECT_EQ(str(kr_yamlreader_get_child(f, 2)), "c");
    // Collections yield no scalar.
    char s[8] = "x";
    EXPECT_FALSE(kr_yamlreader_get_string(f, s, sizeof s));
    EXPECT_STREQ(s, "");
    EXPECT_EQ(kr_yamlreader_get_string_ptr(f), nullptr);
    EXPECT_EQ(kr_yamlreader_get_string_len(f), 0u);
    EXPECT_EQ(kr_yamlreader_get_int(f), 0);
}

TEST(YamlReaderFlow, QuotesOpenOnlyWhereTheCleanerOpensThem)
{
    // The apostrophe inside a word is plain text, in flow and in keys alike.
    EXPECT_EQ(read_canon("k: [it's, x]\n"), R"({"k":["it's","x"]})");
    EXPECT_EQ(read_canon("it's: 1\nb: 2\n"), R"({"it's":1,"b":2})");
    EXPECT_EQ(read_canon("k: {it's: 1, b: 'x, y'}\n"), R"({"k":{"it's":1,"b":"x, y"}})");
    // A quote after a blank inside a plain scalar would read as opening one: refused.
    EXPECT_EQ(read_canon("k: [a 'b, c' d, e]\n"), "refused");
}

TEST(YamlReaderFlow, MalformedFlowEndsAtTheLine)
{
    // A flow collection left open at its line end is refused, not closed there.
    EXPECT_EQ(read_canon("k: [1, 2\nn: 3\n"), "refused");
    EXPECT_EQ(read_canon("k: [1, ]\n"), R"({"k":[1]})");
    EXPECT_EQ(read_canon("k: [x:]\n  y: 1\n"), "refused");
    // A flow entry without a value has no children: the indented lines below are not its own.
    Doc d("k: {x: }\n");
    kr_yaml_node_st x = kr_yamlreader_get_child(d.at("k"), 0);
    ASSERT_NE(x.ptr, nullptr);
    EXPECT_EQ(kr_yamlreader_get_type(x), YAML_UNSUPPORTED);
    EXPECT_EQ(kr_yamlreader_get_child_count(x), 0u);
}

TEST(YamlReaderComments, CommentsMarkersAndBlankLines)
{
    const char *text = "# head\n---\n\na: 1 # note\n   # indented comment\nb: x#y\nc: 'q # kept'\n"
                       "d: \"e # kept\"  # gone\n...\n";
    EXPECT_EQ(read_canon(text), R"({"a":1,"b":"x#y","c":"q # kept","d":"e # kept"})");
    Doc d(text);
    EXPECT_EQ(kr_yamlreader_get_type(d.at("a")), YAML_INT);
    EXPECT_EQ(read_canon("# only a comment\n"), "null");
    EXPECT_EQ(read_canon(""), "null");
    EXPECT_EQ(read_canon("#x\n- 1\n"), "[1]");
    // Content after the end marker is another document.
    EXPECT_EQ(read_canon("a: 1\n...\nb: 2\n"), "refused");
}

TEST(YamlReaderQuoting, EscapesAndRawScalars)
{
    Doc d("a: \"a\\tb\"\nb: 'a\\tb'\nc: \"q\\\"x\\\\y\\n\\r\"\n\"my key\": 5\ne: \"\"\n");
    ASSERT_EQ(d.err, ERR_NONE);
    EXPECT_EQ(str(d.at("a")), "a\tb");
    EXPECT_EQ(str(d.at("b")), "a\\tb");
    EXPECT_EQ(str(d.at("c")), "q\"x\\y\n\r");
    EXPECT_EQ(read_canon("d: \"z\\0w\"\n"), "refused"); // a text cannot hold a NUL
    EXPECT_EQ(kr_yamlreader_get_int(d.at("my key")), 5);
    EXPECT_EQ(kr_yamlreader_get_type(d.at("e")), YAML_STRING);
    EXPECT_EQ(str(d.at("e")), "");
    // Pointer and raw length of the text in place; the length of its copy.
    kr_yaml_node_st c = d.at("c");
    EXPECT_EQ(kr_yamlreader_get_raw_len(c), 11u);
    EXPECT_EQ(kr_yamlreader_get_string_len(c), 7u);
    EXPECT_EQ(std::string(kr_yamlreader_get_string_ptr(c), 2), "q\\");
}

// Quoted scalars read as YAML means them: '' in single quotes, every double-quoted escape, and line
// breaks folded, also in a plain scalar continued on indented lines.
TEST(YamlReaderQuoting, DoubledQuotesEscapesAndFoldedLines)
{
    const std::pair<const char *, const char *> cases[] = {
        {"a: 'it''s here'\nb: 1\n", R"({"a":"it's here","b":1})"},
        {"a: \"caf\\u00e9\\x41\\U0001F600\\e\\N\"\n", "{\"a\":\"caf\xC3\xA9"
                                                      "A\xF0\x9F\x98\x80\\u001b\xC2\x85\"}"},
        {"a: \"one\n  two\n\n  three\"\nb: 2\n", R"({"a":"one two\nthree","b":2})"},
        {"a: \"x\\\n   y\"\n", R"({"a":"xy"})"},
        {"- 'a\n\n\n  b'\n- c\n", R"(["a\n\nb","c"])"},
        {"a: plain\n  continued # note\nb: 2\n", R"({"a":"plain continued","b":2})"},
        {"a:\n  below\nb: 2\n", R"({"a":"below","b":2})"},
    };
    for (const auto &[text, json] : cases) EXPECT_EQ(read_canon(text), json) << text;
}

// What the reader does not support, and text that is no YAML, is refused with its place and why.
TEST(YamlReaderSyntax, RefusalsNameTheConstructAndItsPlace)
{
    struct Case {
        const char *text;
        uint32_t line, column;
        const char *reason;
    };
    const Case cases[] = {
        {"a: 1\nb: &x 2\n", 2, 4, "an anchor ('&')"},
        {"a: 1\nb: *x\n", 2, 4, "an alias ('*')"},
        {"a: !!str 1\n", 1, 4, "a tag ('!')"},
        {"a: |\n  x\n", 1, 4, "a block scalar ('|')"},
        {"a: >-\n  x\n", 1, 4, "a block scalar ('>')"},
        {"<<: {a: 1}\n", 1, 1, "a merge key ('<<')"},
        {"? a\n: b\n", 1, 1, "a complex key ('? ')"},
        {"a: 1\n---\nb: 2\n", 2, 1, "several documents"},
        {"%YAML 1.2\n---\na: 1\n", 1, 1, "a directive"},
        {"a: \"open\nb: 2\n", 2, 1, "indented no deeper than its key"},
        {"a: [1,\n  2]\n", 1, 7, "a flow collection continued on the next line"},
        {"a: 1\n  b: 2\n", 2, 4, "': ' inside a plain value"},
        {"a:\n  b: 1\n c: 2\n", 3, 2, "the indentation matches no open mapping or sequence"},
        {"a: 1\n\tb: 2\n", 2, 1, "a tab in the indentation"},
        {"a: \"\\q\"\n", 1, 5, "an unknown escape"},
        {"a: b\x01\n", 1, 5, "a control character"},
        {"- a\nb: 1\n", 2, 1, "a line without '- ' inside a sequence"},
    };
    for (const Case &c : cases) {
        std::vector<char> buf(c.text, c.text + std::strlen(c.text) + 1);
        kr_doc_error_st err{};
        EXPECT_EQ(kr_yamlreader_parse(buf.data(), (uint32_t)buf.size(), &err), KR_YAML_ERR_SYNTAX) << c.text;
        EXPECT_EQ(err.line, c.line) << c.text;
        EXPECT_EQ(err.column, c.column) << c.text;
        EXPECT_NE(std::strstr(err.reason, c.reason), nullptr) << c.text << ": " << err.reason;
    }
}

TEST(YamlReaderQuoting, EscapedKeysAreFoundByTheirText)
{
    Doc d("\"a\\\"b\": 1\n\"t\\tab\": 2\n'x\\y': 3\n");
    EXPECT_EQ(kr_yamlreader_get_int(d.at("a\"b")), 1);
    EXPECT_EQ(kr_yamlreader_get_int(d.at("t\tab")), 2);
    EXPECT_EQ(kr_yamlreader_get_int(d.at("x\\y")), 3);
    EXPECT_EQ(yamltest::node_name(d.at("a\"b")), "a\"b");
}

TEST(YamlReaderQuoting, CutCopiesReportFalse)
{
    Doc d("longkey: abcdef\n");
    kr_yaml_node_st n = d.at("longkey");
    char s[4];
    EXPECT_FALSE(kr_yamlreader_get_string(n, s, sizeof s));
    EXPECT_STREQ(s, "abc");
    EXPECT_FALSE(kr_yamlreader_get_obj_name(n, s, sizeof s));
    EXPECT_STREQ(s, "lon");
    char exact[7];
    EXPECT_TRUE(kr_yamlreader_get_string(n, exact, sizeof exact));
    EXPECT_STREQ(exact, "abcdef");
    EXPECT_FALSE(kr_yamlreader_get_string(n, nullptr, 4));
    EXPECT_FALSE(kr_yamlreader_get_string(d.at("nokey"), s, sizeof s));
    EXPECT_STREQ(s, "");
}

TEST(YamlReaderCrlf, CrlfAndByteOrderMarkReadLikePlainLf)
{
    const std::string lf = "# c\na: 1\nb:\n  - \"x y\"\n  - 'z'\nc: \"open\n  on\"\nd: \"esc\\\n  aped\"\ne: [1, 2]\n";
    std::string crlf;
    for (char c : lf) {
        if (c == '\n') crlf += '\r';
        crlf += c;
    }
    std::string expect = read_canon(lf);
    EXPECT_EQ(expect, R"({"a":1,"b":["x y","z"],"c":"open on","d":"escaped","e":[1,2]})");
    EXPECT_EQ(read_canon(crlf), expect);
    // Saved with a byte-order mark: the first key is still found.
    EXPECT_EQ(read_canon("\xEF\xBB\xBF" + crlf), expect);
}

TEST(YamlReaderTypes, ScalarTypeRules)
{
    Doc d("h: \"0x1F\"\nx: 0x\nn: -0x10\no: 017\np: +12\nY: YES\nf: off\ny: y\ne:\ns: 12a\nq: '5'\n"
          "b: True\nneg: -\n");
    EXPECT_EQ(kr_yamlreader_get_type(d.at("h")), YAML_STRING);
    EXPECT_EQ(kr_yamlreader_get_int(d.at("h")), 31);
    EXPECT_EQ(kr_yamlreader_get_type(d.at("x")), YAML_STRING);
    EXPECT_EQ(kr_yamlreader_get_int(d.at("x")), 0);
    EXPECT_EQ(kr_yamlreader_get_type(d.at("n")), YAML_INT);
    EXPECT_EQ(kr_yamlreader_get_int(d.at("n")), -16);
    EXPECT_EQ(kr_yamlreader_get_int(d.at("o")), 15);
    EXPECT_EQ(kr_yamlreader_get_int(d.at("p")), 12);
    EXPECT_EQ(kr_yamlreader_get_type(d.at("Y")), YAML_BOOL);
    EXPECT_TRUE(kr_yamlreader_get_bool(d.at("Y")));
    EXPECT_EQ(kr_yamlreader_get_type(d.at("f")), YAML_BOOL);
    EXPECT_FALSE(kr_yamlreader_get_bool(d.at("f")));
    EXPECT_EQ(kr_yamlreader_get_type(d.at("y")), YAML_STRING);
    EXPECT_FALSE(kr_yamlreader_get_bool(d.at("y")));
    EXPECT_EQ(kr_yamlreader_get_type(d.at("e")), YAML_UNSUPPORTED);
    EXPECT_EQ(kr_yamlreader_get_type(d.at("s")), YAML_STRING);
    EXPECT_EQ(kr_yamlreader_get_int(d.at("s")), 12);
    EXPECT_EQ(kr_yamlreader_get_type(d.at("q")), YAML_STRING);
    EXPECT_EQ(kr_yamlreader_get_int(d.at("q")), 5);
    EXPECT_TRUE(kr_yamlreader_get_bool(d.at("b")));
    EXPECT_EQ(kr_yamlreader_get_type(d.at("neg")), YAML_STRING);
    EXPECT_EQ(kr_yamlreader_get_type(kr_yaml_node_st{}), YAML_UNSUPPORTED);
    EXPECT_STREQ(kr_yaml_type_to_str(YAML_MAP), "MAPPING");
    EXPECT_STREQ(kr_yaml_type_to_str((kr_yaml_types_e)7), "UNDEFINED");
}

TEST(YamlReaderTypes, IntegersKeepTheir32Bits)
{
    Doc d("a: 0xFFFFFFFF\nb: 4294967295\nc: 0x80000000\nd: -2147483648\ne: 2147483647\n"
          "f: 4294967296\ng: 0x1FFFFFFFFFFFFFFFF\nh: -2147483649\ni: -99999999999999999999999\n"
          "j: 00000000000000000000000000000017\nk: 0xffffffff\n");
    EXPECT_EQ((uint32_t)kr_yamlreader_get_int(d.at("a")), 0xFFFFFFFFu);
    EXPECT_EQ((uint32_t)kr_yamlreader_get_int(d.at("b")), 0xFFFFFFFFu);
    EXPECT_EQ((uint32_t)kr_yamlreader_get_int(d.at("c")), 0x80000000u);
    EXPECT_EQ(kr_yamlreader_get_int(d.at("d")), INT32_MIN);
    EXPECT_EQ(kr_yamlreader_get_int(d.at("e")), INT32_MAX);
    EXPECT_EQ((uint32_t)kr_yamlreader_get_int(d.at("f")), 0xFFFFFFFFu);
    EXPECT_EQ((uint32_t)kr_yamlreader_get_int(d.at("g")), 0xFFFFFFFFu);
    EXPECT_EQ(kr_yamlreader_get_int(d.at("h")), INT32_MIN);
    EXPECT_EQ(kr_yamlreader_get_int(d.at("i")), INT32_MIN);
    EXPECT_EQ(kr_yamlreader_get_int(d.at("j")), 15); // long texts are not cut
    EXPECT_EQ((uint32_t)kr_yamlreader_get_int(d.at("k")), 0xFFFFFFFFu);
}

TEST(YamlReaderMalformed, BackslashAtTheEndStaysInsideTheBuffer)
{
    // The buffer ends right after the backslash, inside a quote: the text was cut, so it is refused,
    // and nothing may read or write past it.
    EXPECT_EQ(read_canon("k: \"abc\\"), "refused");
    EXPECT_EQ(read_canon("\"k\\"), "refused");
    // A quoted scalar goes on over lines indented beyond its key; one that never closes is refused.
    EXPECT_EQ(read_canon("a: \"x\\\nb: 2\n"), "refused");
    EXPECT_EQ(read_canon("k: [\"a\\\nb: 1\n"), "refused");
    EXPECT_EQ(read_canon("a: 'x\nb: \"y\"\n"), "refused");
    EXPECT_EQ(read_canon("a: 'x\nb: \"y\n"), "refused");
    EXPECT_EQ(read_canon("a: 1\nb: 'y"), "refused");
    EXPECT_EQ(read_canon("a: \"x\"\n# end\n"), R"({"a":"x"})");
}

TEST(YamlReaderMalformed, BuffersWithoutTerminatorOrRoom)
{
    EXPECT_EQ(kr_yamlreader_init(nullptr, 4), ERR_NULL_PTR);
    char none[1] = {'x'};
    EXPECT_EQ(kr_yamlreader_init(none, 0), ERR_BUFFER_OVERFLOW);
    // No terminator within the length: refused when cleaning leaves no room for one.
    std::vector<char> full = {'a', ':', ' ', '1'};
    EXPECT_EQ(kr_yamlreader_init(full.data(), (uint32_t)full.size()), ERR_BUFFER_OVERFLOW);
    EXPECT_EQ(std::string(full.begin(), full.end()), "a: 1");
    // When cleaning shortens the text, the terminator fits inside the length.
    std::vector<char> crlf = {'a', ':', ' ', '1', '\r', '\n'};
    ASSERT_EQ(kr_yamlreader_init(crlf.data(), (uint32_t)crlf.size()), ERR_NONE);
    EXPECT_STREQ(crlf.data(), "a: 1");
}

TEST(YamlReaderMalformed, HugeIndentationIsRefused)
{
    std::string ok = "a:\n" + std::string(32767, ' ') + "b: 1\n";
    EXPECT_EQ(read_canon(ok), R"({"a":{"b":1}})");
    std::string deep = "a:\n" + std::string(32768, ' ') + "b: 1\n";
    Doc d(deep);
    EXPECT_EQ(d.err, KR_YAML_ERR_SYNTAX);
    // The same limit holds for a key that dashes push to the right.
    std::string dashed = "-" + std::string(32767, ' ') + "k: 1\n";
    EXPECT_EQ(Doc(dashed).err, KR_YAML_ERR_SYNTAX);
    // Long lines and long blank runs are fine.
    EXPECT_EQ(read_canon("k: " + std::string(70000, 'x') + "\n" + std::string(40000, ' ') + "\n"),
              "{\"k\":\"" + std::string(70000, 'x') + "\"}");
}

TEST(YamlReaderMalformed, RandomTextNeverLeavesTheBuffer)
{
    // Texts built from the characters that steer the reader; every query on every node reached.
    const char alphabet[] = " \t\n\r-:#'\"\\[]{},ab0x1.";
    std::mt19937 rng(1234);
    for (int round = 0; round < 3000; round++) {
        std::string text;
        int len = (int)(rng() % 40);
        for (int i = 0; i < len; i++) text += alphabet[rng() % (sizeof alphabet - 1)];
        Doc d(text);
        if (d.err != ERR_NONE) continue;
        std::vector<kr_yaml_node_st> todo = {d.root()};
        int visited = 0;
        while (!todo.empty() && visited < 500) {
            kr_yaml_node_st n = todo.back();
            todo.pop_back();
            visited++;
            char s[16];
            kr_yamlreader_get_string(n, s, sizeof s);
            kr_yamlreader_get_obj_name(n, s, sizeof s);
            kr_yamlreader_get_int(n);
            kr_yamlreader_get_bool(n);
            kr_yamlreader_get_type(n);
            kr_yamlreader_get_string_len(n);
            uint32_t count = kr_yamlreader_get_child_count(n);
            uint32_t walked = 0;
            for (kr_yaml_node_st c = kr_yamlreader_get_child(n, 0); c.ptr && walked < 100;) {
                todo.push_back(c);
                walked++;
                if (!kr_yamlreader_get_next_sibling(c, &c)) break;
            }
            ASSERT_EQ(count, walked) << "text: " << ::testing::PrintToString(text);
        }
    }
}
