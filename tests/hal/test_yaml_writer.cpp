// The YAML writer: the quoting rule, the block layout, errors, room checks at the exact boundary,
// and generated documents that must read back to the same tree.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hal/yaml_tree.h"
#include "kr_yamlwriter.h"

namespace {

struct Writer {
    std::vector<char> buf;
    kr_yaml_st st{};
    explicit Writer(size_t size = 4096, bool quote = false) : buf(size, '\x7f')
    {
        EXPECT_EQ(kr_yamlwriter_init(&st, buf.data(), (uint32_t)buf.size()), ERR_NONE);
        kr_yamlwriter_set_quote_strings(&st, quote);
    }
    std::string text() const { return buf.data(); }
};

std::string written(const char *value, bool quote = false)
{
    Writer w(512, quote);
    EXPECT_EQ(kr_yamlwriter_add_string(&w.st, "k", value), ERR_NONE);
    std::string t = w.text();
    return t.substr(3, t.size() - 4); // the value between "k: " and the line end
}

} // namespace

TEST(YamlWriterQuoting, QuotedWhenTheReaderWouldMisreadIt)
{
    for (const char *s : {"  ", "123", "0x1F", "True", "off", "a: b", "x #y", "[a]", "a\t", "-x", "", "a,b", "?q",
                          "ends:", "... x", "a 'b", "k:\"v", "a -'b"})
        EXPECT_EQ(written(s).front(), '"') << s;
    for (const char *s : {"a:b", "x#y", "it's", "hello world", "a-b", "0x", "y", "...", "a\"b"})
        EXPECT_EQ(written(s), s);
    EXPECT_EQ(written("plain", true), "\"plain\"");
    EXPECT_EQ(written("q\"b\\s\tn\nr\r", true), "\"q\\\"b\\\\s\\tn\\nr\\r\"");
    // Keys are quoted only when the rule asks, whatever the string setting.
    Writer w(256, true);
    ASSERT_EQ(kr_yamlwriter_add_int(&w.st, "my key", 1), ERR_NONE);
    ASSERT_EQ(kr_yamlwriter_add_int(&w.st, "a: b", 2), ERR_NONE);
    EXPECT_EQ(w.text(), "my key: 1\n\"a: b\": 2\n");
}

TEST(YamlWriterLayout, ExampleDocument)
{
    Writer w(1024, true);
    kr_yaml_st *st = &w.st;
    EXPECT_EQ(kr_yamlwriter_add_string(st, "name", "x"), ERR_NONE);
    EXPECT_EQ(kr_yamlwriter_begin_seq(st, "list"), ERR_NONE);
    EXPECT_EQ(kr_yamlwriter_begin_map(st, nullptr), ERR_NONE);
    EXPECT_EQ(kr_yamlwriter_add_int(st, "index", 5), ERR_NONE);
    EXPECT_EQ(kr_yamlwriter_add_string(st, "value", "0x1f"), ERR_NONE);
    EXPECT_EQ(kr_yamlwriter_end_map(st), ERR_NONE);
    EXPECT_EQ(kr_yamlwriter_seq_add_int(st, 3), ERR_NONE);
    EXPECT_EQ(kr_yamlwriter_begin_seq(st, nullptr), ERR_NONE);
    EXPECT_EQ(kr_yamlwriter_end_seq(st), ERR_NONE);
    EXPECT_EQ(kr_yamlwriter_end_seq(st), ERR_NONE);
    kr_yaml_errors_e e = YAML_ERR_SYNTAX;
    EXPECT_EQ(kr_yamlwriter_end(st, &e), ERR_NONE);
    EXPECT_EQ(e, YAML_ERR_NONE);
    EXPECT_EQ(w.text(), "name: \"x\"\nlist:\n  - index: 5\n    value: \"0x1f\"\n  - 3\n  - []\n");
    EXPECT_EQ(yamltest::read_canon(w.text()), R"({"name":"x","list":[{"index":5,"value":"0x1f"},3,[]]})");
}

TEST(YamlWriterLayout, NestedSequencesEmptyCollectionsAndAppendedText)
{
    Writer w;
    kr_yaml_st *st = &w.st;
    kr_yamlwriter_begin_seq(st, "s");
    kr_yamlwriter_begin_seq(st, nullptr);
    kr_yamlwriter_seq_add_int(st, 1);
    kr_yamlwriter_seq_add_int(st, 2);
    kr_yamlwriter_end_seq(st);
    kr_yamlwriter_begin_seq(st, nullptr);
    kr_yamlwriter_seq_add_int_hex(st, 0xABu);
    kr_yamlwriter_end_seq(st);
    kr_yamlwriter_begin_map(st, nullptr);
    EXPECT_TRUE(kr_yamlwriter_append_yaml(st, "a: 1\nb:\n  - x\n\nc: true\n"));
    kr_yamlwriter_end_map(st);
    kr_yamlwriter_end_seq(st);
    kr_yamlwriter_begin_map(st, "m");
    kr_yamlwriter_end_map(st);
    kr_yamlwriter_add_bool(st, "f", false);
    EXPECT_EQ(kr_yamlwriter_end(st, nullptr), ERR_NONE);
    EXPECT_EQ(w.text(),
              "s:\n  - - 1\n    - 2\n  - - 0xab\n  - a: 1\n    b:\n      - x\n\n    c: true\nm: {}\nf: false\n");
    EXPECT_EQ(yamltest::read_canon(w.text()), R"({"s":[[1,2],[171],{"a":1,"b":["x"],"c":true}],"m":{},"f":false})");
}

TEST(YamlWriterLayout, KeyedCollectionAsSequenceItem)
{
    // The item is a mapping of one member; that member's lines sit deeper than its key.
    Writer w;
    kr_yamlwriter_begin_seq(&w.st, "s");
    EXPECT_EQ(kr_yamlwriter_begin_map(&w.st, "k"), ERR_NONE);
    kr_yamlwriter_add_int(&w.st, "a", 1);
    EXPECT_EQ(kr_yamlwriter_end_map(&w.st), ERR_NONE);
    kr_yamlwriter_begin_seq(&w.st, "e");
    kr_yamlwriter_end_seq(&w.st);
    kr_yamlwriter_seq_add_int(&w.st, 2);
    kr_yamlwriter_end_seq(&w.st);
    EXPECT_EQ(kr_yamlwriter_end(&w.st, nullptr), ERR_NONE);
    EXPECT_EQ(w.text(), "s:\n  - k:\n      a: 1\n  - e: []\n  - 2\n");
    EXPECT_EQ(yamltest::read_canon(w.text()), R"({"s":[{"k":{"a":1}},{"e":[]},2]})");
    // It takes two levels; the 32-level limit counts both, and a refusal changes nothing.
    Writer d(8192);
    for (int i = 0; i < 31; i++) ASSERT_EQ(kr_yamlwriter_begin_seq(&d.st, i ? nullptr : "s"), ERR_NONE);
    std::string before = d.text();
    EXPECT_EQ(kr_yamlwriter_begin_map(&d.st, "k"), ERR_BUFFER_OVERFLOW);
    EXPECT_EQ(d.st.depth, 31);
    EXPECT_EQ(d.text(), before);
    Writer r(12);
    kr_yamlwriter_begin_seq(&r.st, "s");
    EXPECT_EQ(kr_yamlwriter_begin_map(&r.st, "long"), ERR_BUFFER_OVERFLOW);
    EXPECT_EQ(r.st.depth, 1);
    EXPECT_EQ(r.st.pending_dashes, 0);
}

TEST(YamlWriterLayout, EmptyAnonymousCollections)
{
    // Nothing before it: the empty collection is the document, and nothing is read before the text.
    Writer a(16);
    EXPECT_EQ(kr_yamlwriter_begin_map(&a.st, nullptr), ERR_NONE);
    EXPECT_EQ(kr_yamlwriter_end_map(&a.st), ERR_NONE);
    EXPECT_EQ(a.text(), "{}\n");
    // After other lines it would change the previous value: refused, and the text stays.
    Writer b;
    kr_yamlwriter_add_int(&b.st, "a", 1);
    kr_yamlwriter_begin_seq(&b.st, nullptr);
    EXPECT_EQ(kr_yamlwriter_end_seq(&b.st), KR_YAML_ERR_SYNTAX);
    EXPECT_EQ(b.st.depth, 0);
    EXPECT_EQ(b.text(), "a: 1\n");
    // Items of items keep their dashes when empty.
    Writer c;
    kr_yamlwriter_begin_seq(&c.st, "s");
    kr_yamlwriter_begin_seq(&c.st, nullptr);
    kr_yamlwriter_begin_map(&c.st, nullptr);
    kr_yamlwriter_end_map(&c.st);
    kr_yamlwriter_end_seq(&c.st);
    kr_yamlwriter_end_seq(&c.st);
    EXPECT_EQ(c.text(), "s:\n  - - {}\n");
    EXPECT_EQ(yamltest::read_canon(c.text()), R"({"s":[[{}]]})");
}

TEST(YamlWriterErrors, NestingBalanceAndMisuse)
{
    Writer w(8192);
    for (int i = 0; i < 32; i++) ASSERT_EQ(kr_yamlwriter_begin_map(&w.st, "k"), ERR_NONE) << i;
    std::string before = w.text();
    EXPECT_EQ(kr_yamlwriter_begin_seq(&w.st, "k"), ERR_BUFFER_OVERFLOW);
    EXPECT_EQ(w.text(), before);
    kr_yaml_errors_e e = YAML_ERR_NONE;
    EXPECT_EQ(kr_yamlwriter_end(&w.st, &e), KR_YAML_ERR_INTERNAL);
    EXPECT_EQ(e, YAML_ERR_UNTERMINATED_OBJ);
    EXPECT_EQ(KR_YAML_ERR_INTERNAL, 0x1800000Cu);
    for (int i = 0; i < 32; i++) ASSERT_EQ(kr_yamlwriter_end_map(&w.st), ERR_NONE);
    EXPECT_EQ(kr_yamlwriter_end_map(&w.st), KR_YAML_ERR_INTERNAL);
    EXPECT_EQ(kr_yamlwriter_end(&w.st, nullptr), ERR_NONE);

    // A mapping member without a key could not be read back.
    Writer m;
    kr_yamlwriter_begin_map(&m.st, "m");
    EXPECT_EQ(kr_yamlwriter_seq_add_int(&m.st, 1), KR_YAML_ERR_SYNTAX);
    EXPECT_EQ(kr_yamlwriter_add_string(&m.st, "", "x"), KR_YAML_ERR_SYNTAX);
    EXPECT_EQ(kr_yamlwriter_begin_map(&m.st, nullptr), KR_YAML_ERR_SYNTAX);
    EXPECT_EQ(m.text(), "m:\n");

    EXPECT_EQ(kr_yamlwriter_init(nullptr, m.buf.data(), 4), ERR_NULL_PTR);
    EXPECT_EQ(kr_yamlwriter_add_int(nullptr, "a", 1), ERR_NULL_PTR);
    EXPECT_EQ(kr_yamlwriter_add_string(&m.st, "a", nullptr), ERR_NULL_PTR);
    EXPECT_FALSE(kr_yamlwriter_append_yaml(&m.st, nullptr));
}

TEST(YamlWriterRoom, ExactBoundaries)
{
    // "a: 1\n" is 5 characters; the rule keeps the text plus its room below the size minus one.
    for (uint32_t size = 0; size < 10; size++) {
        std::vector<char> buf(size + 1, '\x55');
        kr_yaml_st st;
        kr_errors_e init = kr_yamlwriter_init(&st, buf.data(), size);
        EXPECT_EQ(init, size ? ERR_NONE : ERR_BUFFER_OVERFLOW);
        kr_errors_e err = kr_yamlwriter_add_int(&st, "a", 1);
        EXPECT_EQ(err, size >= 7 ? ERR_NONE : ERR_BUFFER_OVERFLOW) << size;
        if (size) {
            EXPECT_STREQ(buf.data(), err ? "" : "a: 1\n");
        }
        EXPECT_EQ(buf[size], '\x55') << "wrote past the buffer of " << size;
    }
    // A quoted string takes the room it writes: its quotes and one more character per escape.
    Writer q(12, true);
    EXPECT_EQ(kr_yamlwriter_add_string(&q.st, "k", "abcd"), ERR_NONE);
    Writer q2(11, true);
    EXPECT_EQ(kr_yamlwriter_add_string(&q2.st, "k", "abcd"), ERR_BUFFER_OVERFLOW);
    EXPECT_EQ(q2.text(), "");
    Writer q3(12, true);
    EXPECT_EQ(kr_yamlwriter_add_string(&q3.st, "k", "ab\"d"), ERR_BUFFER_OVERFLOW);
    // Closing an empty collection that does not fit still lowers the depth.
    Writer c(8);
    ASSERT_EQ(kr_yamlwriter_begin_seq(&c.st, "ab"), ERR_NONE);
    EXPECT_EQ(kr_yamlwriter_end_seq(&c.st), ERR_BUFFER_OVERFLOW);
    EXPECT_EQ(c.st.depth, 0);
    EXPECT_EQ(c.text(), "ab:\n");
    // Appended text stops at the first line that does not fit.
    Writer a(10);
    EXPECT_FALSE(kr_yamlwriter_append_yaml(&a.st, "abc\ndefgh\n"));
    EXPECT_EQ(a.text(), "abc\n");
}

TEST(YamlWriterRoundTrip, GeneratedDocumentsReadBack)
{
    yamltest::TreeGen gen(42);
    for (int round = 0; round < 400; round++) {
        yamltest::TNode root = gen.collection(true, 4);
        for (bool quote : {false, true}) {
            Writer w(1 << 16, quote);
            ASSERT_EQ(yamltest::write_root(&w.st, root), ERR_NONE);
            ASSERT_EQ(yamltest::read_canon(w.text()), yamltest::expect_root(root)) << w.text();
        }
    }
}

TEST(YamlWriterRoundTrip, ThirtyTwoLevels)
{
    Writer w(8192, true);
    ASSERT_EQ(kr_yamlwriter_begin_seq(&w.st, "s"), ERR_NONE);
    for (int i = 0; i < 30; i++) ASSERT_EQ(kr_yamlwriter_begin_seq(&w.st, nullptr), ERR_NONE);
    ASSERT_EQ(kr_yamlwriter_begin_map(&w.st, nullptr), ERR_NONE);
    EXPECT_EQ(kr_yamlwriter_add_string(&w.st, "deep", "v"), ERR_NONE);
    EXPECT_EQ(kr_yamlwriter_add_int(&w.st, "n", 7), ERR_NONE);
    ASSERT_EQ(kr_yamlwriter_end_map(&w.st), ERR_NONE);
    for (int i = 0; i < 31; i++) ASSERT_EQ(kr_yamlwriter_end_seq(&w.st), ERR_NONE);
    EXPECT_EQ(kr_yamlwriter_end(&w.st, nullptr), ERR_NONE);
    std::string expect = "{\"s\":" + std::string(31, '[') + "{\"deep\":\"v\",\"n\":7}" + std::string(31, ']') + "}";
    EXPECT_EQ(yamltest::read_canon(w.text()), expect);
}
