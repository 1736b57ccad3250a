// Reader: structure and types, integers, strings, arrays, malformed input.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "kr_json.h"

namespace {

// Owns an exactly sized copy of a text, so that ASan sees any read past its terminator.
struct Doc {
    std::unique_ptr<char[]> buf;
    explicit Doc(const std::string &text) : buf(new char[text.size() + 1])
    {
        std::memcpy(buf.get(), text.c_str(), text.size() + 1);
        EXPECT_EQ(kr_jsonreader_init(buf.get(), static_cast<uint32_t>(text.size())), ERR_NONE);
    }
    char *root() { return buf.get(); }
    char *operator[](const char *name) { return kr_jsonreader_find_child(root(), name); }
};

std::string str(char *node)
{
    char out[64];
    kr_jsonreader_get_string(node, out, sizeof out);
    return out;
}

} // namespace

TEST(JsonStructure, CompactionKeepsStringBlanksAndTheLastCharacter)
{
    Doc d(" {\n\t\"a b\" : [ 1 , 2 ] ,\r\n \"c\" : \" x  y \" }\n");
    EXPECT_STREQ(d.root(), "{\"a b\":[1,2],\"c\":\" x  y \"}");
    // A text without white space (what the writer produces) must keep its closing brace.
    Doc tight("{\"a\":1}");
    EXPECT_STREQ(tight.root(), "{\"a\":1}");
    EXPECT_EQ(kr_jsonreader_get_int(tight["a"]), 1);
    EXPECT_EQ(kr_jsonreader_init(nullptr, 3), ERR_NULL_PTR);
}

TEST(JsonStructure, TypesOfValues)
{
    Doc d("{\"o\":{},\"a\":[],\"t\":true,\"f\":false,\"n\":null,\"i\":-5,\"s\":\"-5\",\"h\":\"0x1F\","
          "\"H\":\"0X1F\",\"x\":\"0x\",\"e\":\"\",\"q\":\"123\",\"m\":\"12a\"}");
    EXPECT_EQ(kr_jsonreader_get_type(d.root()), JSON_OBJECT);
    const std::pair<const char *, kr_json_types_e> cases[] = {
        {"o", JSON_OBJECT}, {"a", JSON_ARRAY},  {"t", JSON_BOOL},  {"f", JSON_BOOL},   {"n", JSON_INT},
        {"i", JSON_INT},    {"s", JSON_STRING}, {"h", JSON_INT},   {"H", JSON_STRING}, {"x", JSON_INT},
        {"e", JSON_STRING}, {"q", JSON_INT},    {"m", JSON_STRING}};
    for (const auto &[name, type] : cases) EXPECT_EQ(kr_jsonreader_get_type(d[name]), type) << name;
    EXPECT_EQ(kr_jsonreader_get_type(nullptr), JSON_UNSUPPORTED);
    EXPECT_STREQ(kr_json_type_to_str(JSON_ARRAY), "ARRAY");
    EXPECT_STREQ(kr_json_type_to_str(static_cast<kr_json_types_e>(7)), "UNDEFINED");
}

TEST(JsonStructure, ChildrenSiblingsAndNames)
{
    Doc d("{\"idx\":1,\"id\":2,\"sub\":{\"k\":[{\"id\":9}],\"id\":3},\"a:b{\":4,\"list\":[\"id\"],\"last\":5}");
    EXPECT_EQ(kr_jsonreader_get_int(d["id"]), 2); // exact match, not the prefix "idx"
    EXPECT_EQ(kr_jsonreader_get_int(kr_jsonreader_find_child(d["sub"], "id")), 3);
    EXPECT_EQ(kr_jsonreader_get_int(d["a:b{"]), 4); // names holding ':' or '{' are names
    EXPECT_EQ(d["nope"], nullptr);
    EXPECT_EQ(kr_jsonreader_find_child(d["list"], "id"), nullptr); // a string element is no member
    EXPECT_EQ(kr_jsonreader_find_child(d["idx"], "id"), nullptr);  // scalars have no children

    std::vector<std::string> names;
    char *n = kr_jsonreader_get_child(d.root(), 0);
    while (n != nullptr) {
        char name[16];
        EXPECT_TRUE(kr_jsonreader_get_obj_name(n, name, sizeof name));
        names.push_back(name);
        if (!kr_jsonreader_get_next_sibling(n, &n)) break;
    }
    EXPECT_EQ(names, (std::vector<std::string>{"idx", "id", "sub", "a:b{", "list", "last"}));
    EXPECT_EQ(kr_jsonreader_get_int(kr_jsonreader_get_child(d.root(), 5)), 5);
    EXPECT_EQ(kr_jsonreader_get_child(d.root(), 6), nullptr);

    char *out = d.root();
    EXPECT_FALSE(kr_jsonreader_get_next_sibling(d["last"], &out));
    EXPECT_EQ(out, d.root()); // left unchanged at the end
    EXPECT_TRUE(kr_jsonreader_get_next_sibling(d["idx"], nullptr));
    char cut[3];
    EXPECT_FALSE(kr_jsonreader_get_obj_name(d["last"], cut, sizeof cut));
    EXPECT_STREQ(cut, "la");
}

TEST(JsonIntegers, BasesRangeAndSaturation)
{
    Doc d("{\"d\":1234,\"n\":-17,\"o\":\"017\",\"f\":1.9,\"z\":null,\"h\":\"0x10\",\"H\":\"0X10\",\"u\":\"0x1f\","
          "\"max\":\"0xFFFFFFFF\",\"hi\":\"0x80000000\",\"dec\":4294967295,\"big\":4294967296,\"huge\":\"0x1FFFFFFFF\","
          "\"min\":-2147483648,\"low\":-2147483649,\"s\":\"12abc\",\"w\":\"abc\",\"b\":true,\"obj\":{\"x\":5}}");
    const std::pair<const char *, int32_t> cases[] = {
        {"d", 1234},         {"n", -17},         {"o", 15},          {"f", 1},          {"z", 0},    {"h", 16},
        {"H", 16},           {"u", 31},          {"max", -1},        {"hi", INT32_MIN}, {"dec", -1}, {"big", INT32_MAX},
        {"huge", INT32_MAX}, {"min", INT32_MIN}, {"low", INT32_MIN}, {"s", 12},         {"w", 0},    {"b", 0},
        {"obj", 0}};
    for (const auto &[name, value] : cases) EXPECT_EQ(kr_jsonreader_get_int(d[name]), value) << name;
    EXPECT_EQ(static_cast<uint32_t>(kr_jsonreader_get_int(d["max"])), 0xFFFFFFFFu);
    EXPECT_EQ(kr_jsonreader_get_int(nullptr), 0);
}

TEST(JsonStrings, CopiesLimitsAndNonStrings)
{
    Doc d("{\"s\":\"a\\\\b [x]{y}:z\",\"q\":\"0x1F\",\"i\":42,\"t\":true,\"e\":\"\",\"next\":\"later\"}");
    EXPECT_EQ(str(d["s"]), "a\\b [x]{y}:z"); // \\ is one backslash
    EXPECT_EQ(kr_jsonreader_get_type(d["s"]), JSON_STRING);
    EXPECT_EQ(kr_jsonreader_get_string_len(d["s"]), 13u); // in place the pair stays
    EXPECT_EQ(std::string(kr_jsonreader_get_string_ptr(d["s"]), 13), "a\\\\b [x]{y}:z");
    EXPECT_EQ(str(d["q"]), "0x1F"); // a quoted integer stays readable as text
    EXPECT_EQ(kr_jsonreader_get_int(d["q"]), 31);
    EXPECT_EQ(str(d["e"]), "");

    char buf[8] = "junk";
    for (const char *name : {"i", "t"}) { // not quoted: false, empty, no text from elsewhere
        std::strcpy(buf, "junk");
        EXPECT_FALSE(kr_jsonreader_get_string(d[name], buf, sizeof buf)) << name;
        EXPECT_STREQ(buf, "") << name;
        EXPECT_EQ(kr_jsonreader_get_string_len(d[name]), 0u);
        EXPECT_EQ(kr_jsonreader_get_string_ptr(d[name]), nullptr);
    }
    std::strcpy(buf, "junk");
    EXPECT_FALSE(kr_jsonreader_get_obj_name(d.root(), buf, sizeof buf));
    EXPECT_STREQ(buf, "");

    char four[5];
    EXPECT_FALSE(kr_jsonreader_get_string(d["next"], four, sizeof four));
    EXPECT_STREQ(four, "late");
    char five[6];
    EXPECT_TRUE(kr_jsonreader_get_string(d["next"], five, sizeof five));
    EXPECT_STREQ(five, "later");
    EXPECT_FALSE(kr_jsonreader_get_string(d["next"], nullptr, 10));
    EXPECT_FALSE(kr_jsonreader_get_string(d["next"], five, 0));
}

// \" and \\ stand for their characters; a quote so escaped neither ends the string nor the member.
TEST(JsonStrings, EscapedQuotesAndBackslashes)
{
    Doc d("{\"s\": \"say \\\"hi\\\", now \\\\\", \"t\": \"x\\\\\", \"list\": [\"a\\\"]\", 2]}");
    EXPECT_EQ(str(d["s"]), "say \"hi\", now \\");
    EXPECT_EQ(str(d["t"]), "x\\");
    EXPECT_EQ(kr_jsonreader_array_get_size(d["list"]), 2u);
    EXPECT_EQ(kr_jsonreader_array_get_int(d["list"], 1), 2);
    // Every escape reads as JSON means it, surrogate pairs as one UTF-8 character.
    Doc e(R"({"s": "caf\u00e9\n\t\/\b\f\r\ud83d\ude00\u0022\u005c", "a\u0062": 1})");
    EXPECT_EQ(str(e["s"]), "caf\xC3\xA9\n\t/\b\f\r\xF0\x9F\x98\x80\"\\");
    EXPECT_EQ(kr_jsonreader_get_int(e["ab"]), 1); // a name is decoded too
    // An unknown escape, a lone surrogate, a NUL or a raw control character is refused where it stands.
    for (const std::string &bad :
         std::vector<std::string>{R"({"s": "\x41"})", R"({"s": "\ud83d"})", R"({"s": "\udc00x"})", R"({"s": "\u0000"})",
                                  "{\"s\": \"a\x01\"}"}) {
        std::vector<char> b(bad.begin(), bad.end());
        b.push_back('\0');
        kr_doc_error_st err{};
        EXPECT_EQ(kr_jsonreader_parse(b.data(), static_cast<uint32_t>(bad.size()), &err), KR_JSON_ERR_SYNTAX) << bad;
        EXPECT_EQ(err.line, 1u) << bad;
        EXPECT_EQ(err.column, bad.find('\\') != std::string::npos ? 8u : 9u) << bad << ": " << err.reason;
    }
}

TEST(JsonArrays, SizesElementsAndBounds)
{
    Doc d("{\"t\":[1,2],\"e\":[],\"m\":[[1,2],{\"a\":1,\"b\":2},\"x,y\"],\"v\":[\"0x10\",-3,true,\"s]\",[7]],"
          "\"s\":\"[1,2,3]\",\"n\":5,\"o\":{\"k\":1},\"after\":[9,9,9,9]}");
    EXPECT_EQ(kr_jsonreader_array_get_size(d["t"]), 2u);
    EXPECT_EQ(kr_jsonreader_array_get_size(d["e"]), 0u);
    EXPECT_EQ(kr_jsonreader_array_get_size(d["m"]), 3u);
    EXPECT_EQ(kr_jsonreader_array_at(d["t"], 2), nullptr);
    EXPECT_EQ(kr_jsonreader_array_at(d["e"], 0), nullptr);

    char *v = d["v"];
    ASSERT_EQ(kr_jsonreader_array_get_size(v), 5u);
    EXPECT_EQ(kr_jsonreader_array_get_type(v, 0), JSON_INT);
    EXPECT_EQ(kr_jsonreader_array_get_int(v, 0), 16);
    EXPECT_EQ(kr_json_array_get_int(v, 0), 0); // does not skip the quote
    EXPECT_EQ(kr_json_array_get_int(v, 1), -3);
    EXPECT_TRUE(kr_jsonreader_array_get_bool(v, 2));
    EXPECT_FALSE(kr_jsonreader_array_get_bool(v, 1));
    char s[8];
    EXPECT_TRUE(kr_jsonreader_array_get_string(v, 3, s, sizeof s));
    EXPECT_STREQ(s, "s]");
    EXPECT_EQ(kr_jsonreader_array_get_type(v, 4), JSON_ARRAY);
    EXPECT_EQ(kr_jsonreader_array_get_int(kr_jsonreader_array_at(v, 4), 0), 7);
    EXPECT_EQ(kr_jsonreader_array_get_int(kr_jsonreader_array_at(d["m"], 1), 0), 0);
    EXPECT_EQ(kr_jsonreader_get_int(kr_jsonreader_find_child(kr_jsonreader_array_at(d["m"], 1), "b")), 2);
    EXPECT_EQ(kr_jsonreader_get_int(kr_jsonreader_get_child(d["m"], 1)), 0); // get_child enters arrays
    EXPECT_EQ(kr_jsonreader_array_get_size(kr_jsonreader_get_child(d["m"], 0)), 2u);

    // Out of range: nothing is read from the next members.
    EXPECT_EQ(kr_jsonreader_array_get_type(v, 5), JSON_UNSUPPORTED);
    EXPECT_EQ(kr_jsonreader_array_get_int(v, 5), 0);
    EXPECT_FALSE(kr_jsonreader_array_get_bool(d["t"], 3));
    std::strcpy(s, "junk");
    EXPECT_FALSE(kr_jsonreader_array_get_string(v, 9, s, sizeof s));
    EXPECT_STREQ(s, "");

    // Not an array: a quoted text with brackets, a number, an object.
    for (const char *name : {"s", "n", "o"}) {
        EXPECT_EQ(kr_jsonreader_array_get_size(d[name]), 0u) << name;
        EXPECT_EQ(kr_jsonreader_array_at(d[name], 0), nullptr) << name;
        EXPECT_EQ(kr_jsonreader_array_get_int(d[name], 0), 0) << name;
        EXPECT_EQ(kr_jsonreader_array_get_type(d[name], 0), JSON_UNSUPPORTED) << name;
    }
    EXPECT_EQ(kr_jsonreader_array_get_size(nullptr), 0u);
}

// Every prefix of a document (each an exact-size buffer) and a few broken texts go through every
// query on every node reachable by siblings and elements; ASan fails the test on any overread.
TEST(JsonMalformed, NoQueryReadsPastTheText)
{
    const std::string full =
        "{\"a\":[1,\"x,]\",{\"b\":\"0x1F\"},[true,[]]],\"c\":{\"d\":\"e{\",\"f\":-2},\"g\":\"0x\",\"h\":17}";
    std::vector<std::string> texts;
    for (size_t n = 0; n <= full.size(); ++n) texts.push_back(full.substr(0, n));
    for (const char *t : {"{\"a", "{\"a\":", "{\"a\":\"", "\"", "[", "{\"a\":[1,", "{\"a\":[\"", "}}]]", ",,,",
                          "{\"a\":{\"b\":[{\"c\":\"0x"})
        texts.push_back(t);
    char out[16];
    for (const std::string &t : texts) {
        std::unique_ptr<char[]> buf(new char[t.size() + 1]);
        std::memcpy(buf.get(), t.c_str(), t.size() + 1);
        // Only the whole document is JSON: every cut or broken text is refused before any query.
        const kr_errors_e e = kr_jsonreader_init(buf.get(), static_cast<uint32_t>(t.size()));
        EXPECT_EQ(e == ERR_NONE, t == full) << t;
        if (e != ERR_NONE) continue;
        struct {
            char *p;
            char *root() { return p; }
        } d{buf.get()};
        std::vector<char *> todo = {d.root()};
        for (size_t k = 0; k < todo.size() && k < 200; ++k) {
            char *n = todo[k];
            kr_jsonreader_get_type(n);
            kr_jsonreader_get_int(n);
            kr_jsonreader_get_bool(n);
            kr_jsonreader_get_string(n, out, sizeof out);
            kr_jsonreader_get_obj_name(n, out, sizeof out);
            kr_jsonreader_get_string_len(n);
            kr_jsonreader_find_child(n, "zz");
            const uint32_t size = kr_jsonreader_array_get_size(n);
            for (uint32_t i = 0; i <= size && i < 8; ++i) {
                kr_jsonreader_array_get_type(n, i);
                kr_jsonreader_array_get_string(n, i, out, sizeof out);
                kr_json_array_get_int(n, i);
                if (char *e = kr_jsonreader_array_at(n, i)) todo.push_back(e);
            }
            if (char *c = kr_jsonreader_get_child(n, 0)) todo.push_back(c);
            char *s = nullptr;
            if (kr_jsonreader_get_next_sibling(n, &s)) todo.push_back(s);
        }
        EXPECT_LE(std::strlen(d.root()), t.size()) << t;
    }
}
