// Writer: output form, room checks at the exact boundary, refusals, the end check, and round trips
// of generated documents through the reader and through an independent JSON parser.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "e2e/e2e.h"
#include "kr_json.h"

namespace {

// Runs `python3 -m json.tool FILE` without a shell; true when it accepts the text.
bool python_accepts(const std::string &text)
{
    char path[] = "/tmp/kr_json_test_XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0) return false;
    const bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    const bool accepted = e2e::run_tool("python3", {"-m", "json.tool", path}).exited(0);
    unlink(path);
    return written && accepted;
}

// A writer over an exactly sized heap buffer, so ASan sees any write past it.
struct Writer {
    std::unique_ptr<char[]> buf;
    kr_json_st j{};
    explicit Writer(uint32_t size) : buf(new char[size == 0 ? 1 : size])
    {
        std::memset(buf.get(), '#', size == 0 ? 1 : size);
    }
    std::string text() const { return j.start_ptr; }
};

constexpr kr_errors_e kUnterminated = 0x0700000Cu;

} // namespace

TEST(JsonWriterForm, WritesCompactTextInTheGivenOrder)
{
    Writer w(256);
    ASSERT_EQ(kr_jsonwriter_init(&w.j, w.buf.get(), 256), ERR_NONE);
    EXPECT_EQ(kr_jsonwriter_add_string(&w.j, "name", "x"), ERR_NONE);
    EXPECT_EQ(kr_jsonwriter_begin_array(&w.j, "list"), ERR_NONE);
    EXPECT_EQ(kr_jsonwriter_array_add_int(&w.j, 1), ERR_NONE);
    EXPECT_EQ(kr_jsonwriter_array_add_int_hex(&w.j, 255), ERR_NONE);
    EXPECT_EQ(kr_jsonwriter_array_add_int_hex(&w.j, -1), ERR_NONE);
    EXPECT_EQ(kr_jsonwriter_array_add_bool(&w.j, false), ERR_NONE);
    EXPECT_EQ(kr_jsonwriter_array_add_string(&w.j, "s"), ERR_NONE);
    EXPECT_EQ(kr_jsonwriter_end_array(&w.j), ERR_NONE);
    EXPECT_EQ(kr_jsonwriter_begin_object_named(&w.j, "o"), ERR_NONE);
    EXPECT_EQ(kr_jsonwriter_add_int_hex(&w.j, "h", 0xABCDEF01u), ERR_NONE);
    EXPECT_EQ(kr_jsonwriter_add_bool(&w.j, "b", true), ERR_NONE);
    EXPECT_EQ(kr_jsonwriter_add_int(&w.j, "i", INT32_MIN), ERR_NONE);
    EXPECT_EQ(kr_jsonwriter_end_object(&w.j), ERR_NONE);
    EXPECT_EQ(kr_jsonwriter_begin_array(&w.j, nullptr), ERR_NONE);
    EXPECT_EQ(kr_jsonwriter_begin_object_named(&w.j, ""), ERR_NONE);
    EXPECT_EQ(kr_jsonwriter_end_object(&w.j), ERR_NONE);
    EXPECT_EQ(kr_jsonwriter_end_array(&w.j), ERR_NONE);
    kr_json_errors_e err = JSON_ERR_SYNTAX;
    EXPECT_EQ(kr_jsonwriter_end(&w.j, &err), ERR_NONE);
    EXPECT_EQ(err, JSON_ERR_NONE);
    EXPECT_EQ(w.text(), "{\"name\":\"x\",\"list\":[1,\"0xff\",\"0xffffffff\",false,\"s\"],"
                        "\"o\":{\"h\":\"0xabcdef01\",\"b\":true,\"i\":-2147483648},[{}]}");
    EXPECT_EQ(kr_jsonwriter_init(nullptr, w.buf.get(), 4), ERR_NULL_PTR);
    EXPECT_EQ(kr_jsonwriter_init(&w.j, nullptr, 4), ERR_NULL_PTR);
}

TEST(JsonWriterRoom, EveryAppendAtItsExactBoundary)
{
    // Each append needs the text length plus its room to stay below buffer_length - 1.
    struct Case {
        const char *what;
        uint32_t room;
        std::function<kr_errors_e(kr_json_st *)> op;
    };
    const std::vector<Case> cases = {
        {"object named", 7, [](kr_json_st *j) { return kr_jsonwriter_begin_object_named(j, "abc"); }},
        {"object", 1, [](kr_json_st *j) { return kr_jsonwriter_begin_object(j); }},
        {"array", 8, [](kr_json_st *j) { return kr_jsonwriter_begin_array(j, "abc"); }},
        {"array anon", 5, [](kr_json_st *j) { return kr_jsonwriter_begin_array(j, ""); }},
        {"int", 11, [](kr_json_st *j) { return kr_jsonwriter_add_int(j, "ab", -1234); }},
        {"hex", 16, [](kr_json_st *j) { return kr_jsonwriter_add_int_hex(j, "ab", 0x123456u); }},
        {"bool", 11, [](kr_json_st *j) { return kr_jsonwriter_add_bool(j, "ab", true); }},
        {"string", 11, [](kr_json_st *j) { return kr_jsonwriter_add_string(j, "ab", "xyz"); }},
        {"array int", 4, [](kr_json_st *j) { return kr_jsonwriter_array_add_int(j, -12); }},
        {"array hex", 7, [](kr_json_st *j) { return kr_jsonwriter_array_add_int_hex(j, 0x1f); }},
        {"array bool", 6, [](kr_json_st *j) { return kr_jsonwriter_array_add_bool(j, false); }},
        {"array string", 5, [](kr_json_st *j) { return kr_jsonwriter_array_add_string(j, "xy"); }},
    };
    for (const Case &c : cases) {
        // After init the text is "{" (1 character): the smallest buffer that takes the append is room + 3.
        for (uint32_t size : {c.room + 2, c.room + 3}) {
            Writer w(size);
            ASSERT_EQ(kr_jsonwriter_init(&w.j, w.buf.get(), size), ERR_NONE);
            const kr_errors_e e = c.op(&w.j);
            if (size == c.room + 2) {
                EXPECT_EQ(e, ERR_BUFFER_OVERFLOW) << c.what;
                EXPECT_EQ(w.text(), "{") << c.what;
            } else {
                EXPECT_EQ(e, ERR_NONE) << c.what;
                EXPECT_LT(w.text().size() + 1, static_cast<size_t>(size)) << c.what;
                EXPECT_EQ(w.j.text_length, w.text().size()) << c.what;
            }
        }
    }
    // The two-member example: 14 bytes take one add_int, 15 take two.
    for (uint32_t size : {14u, 15u}) {
        Writer w(size);
        kr_jsonwriter_init(&w.j, w.buf.get(), size);
        EXPECT_EQ(kr_jsonwriter_add_int(&w.j, "a", 1), ERR_NONE);
        EXPECT_EQ(w.text().size(), 7u);
        EXPECT_EQ(kr_jsonwriter_add_int(&w.j, "b", 2), size == 14 ? ERR_BUFFER_OVERFLOW : ERR_NONE);
        // A full text still closes: the trailing comma's byte takes the brace.
        EXPECT_EQ(kr_jsonwriter_end(&w.j, nullptr), ERR_NONE);
        EXPECT_EQ(w.text(), size == 14 ? "{\"a\":1}" : "{\"a\":1,\"b\":2}");
    }
}

TEST(JsonWriterRoom, TinyBuffersAndAppendedDocuments)
{
    for (uint32_t size : {0u, 1u, 2u}) {
        Writer w(size);
        EXPECT_EQ(kr_jsonwriter_init(&w.j, w.buf.get(), size), size < 2 ? ERR_BUFFER_OVERFLOW : ERR_NONE);
        EXPECT_EQ(kr_jsonwriter_add_int(&w.j, "a", 1), ERR_BUFFER_OVERFLOW);
        EXPECT_EQ(kr_jsonwriter_begin_object(&w.j), ERR_BUFFER_OVERFLOW);
        char data[] = "{}";
        EXPECT_FALSE(kr_jsonwriter_append_json(&w.j, data));
        kr_json_errors_e err = JSON_ERR_NONE;
        EXPECT_EQ(kr_jsonwriter_end(&w.j, &err), ERR_BUFFER_OVERFLOW);
        EXPECT_EQ(err, JSON_ERR_UNTERMINATED_OBJ);
    }
    // append_json: text + data + comma + terminator must fit; the data is compacted first.
    for (uint32_t size : {14u, 15u}) {
        Writer w(size);
        kr_jsonwriter_init(&w.j, w.buf.get(), size);
        ASSERT_EQ(kr_jsonwriter_begin_array(&w.j, ""), ERR_NONE); // "{["
        char data[] = " { \"k\" : \"a b\" }\n";                   // 11 characters once compacted
        const bool fits = size == 15;
        EXPECT_EQ(kr_jsonwriter_append_json(&w.j, data), fits);
        EXPECT_STREQ(data, "{\"k\":\"a b\"}");
        EXPECT_EQ(w.text(), fits ? "{[{\"k\":\"a b\"}," : "{[");
    }
}

TEST(JsonWriterRefusals, QuotesAreEscapedAndNullsRefused)
{
    Writer w(256);
    kr_jsonwriter_init(&w.j, w.buf.get(), 256);
    kr_jsonwriter_add_int(&w.j, "a", 1);
    {
        Writer q(256);
        kr_jsonwriter_init(&q.j, q.buf.get(), 256);
        EXPECT_EQ(kr_jsonwriter_add_string(&q.j, "n\"", "say \"hi\"\\\t\x01"), ERR_NONE);
        EXPECT_EQ(kr_jsonwriter_begin_array(&q.j, "x\"y"), ERR_NONE);
        EXPECT_EQ(kr_jsonwriter_array_add_string(&q.j, "\""), ERR_NONE);
        EXPECT_EQ(kr_jsonwriter_end_array(&q.j), ERR_NONE);
        EXPECT_EQ(kr_jsonwriter_end(&q.j, nullptr), ERR_NONE);
        EXPECT_EQ(q.text(), "{\"n\\\"\":\"say \\\"hi\\\"\\\\\\t\\u0001\",\"x\\\"y\":[\"\\\"\"]}");
    }
    const std::string before = w.text();
    EXPECT_EQ(kr_jsonwriter_add_string(&w.j, "n", nullptr), ERR_NULL_PTR);
    EXPECT_EQ(kr_jsonwriter_add_int(&w.j, nullptr, 1), ERR_NULL_PTR);
    EXPECT_EQ(kr_jsonwriter_add_int(nullptr, "a", 1), ERR_NULL_PTR);
    EXPECT_EQ(w.text(), before);
    EXPECT_EQ(kr_jsonwriter_end(&w.j, nullptr), ERR_NONE);
    EXPECT_EQ(w.text(), "{\"a\":1}");
}

TEST(JsonWriterEnd, BalanceIgnoresBracketsInStrings)
{
    Writer w(128);
    kr_jsonwriter_init(&w.j, w.buf.get(), 128);
    kr_jsonwriter_add_string(&w.j, "unit", "Speed [rpm]");
    kr_jsonwriter_add_string(&w.j, "x", "}{");
    kr_jsonwriter_add_string(&w.j, "open", "Range [0, 100"); // unbalanced inside strings
    kr_jsonwriter_begin_array(&w.j, "a");
    kr_jsonwriter_array_add_string(&w.j, "x]}");
    kr_jsonwriter_end_array(&w.j);
    kr_json_errors_e err = JSON_ERR_SYNTAX;
    EXPECT_EQ(kr_jsonwriter_end(&w.j, &err), ERR_NONE);
    EXPECT_EQ(err, JSON_ERR_NONE);
    EXPECT_TRUE(python_accepts(w.text()));

    Writer open(128);
    kr_jsonwriter_init(&open.j, open.buf.get(), 128);
    kr_jsonwriter_begin_array(&open.j, "list");
    kr_jsonwriter_array_add_int(&open.j, 1);
    EXPECT_EQ(kr_jsonwriter_end(&open.j, &err), kUnterminated);
    EXPECT_EQ(err, JSON_ERR_UNTERMINATED_OBJ);
    EXPECT_EQ(open.text(), "{\"list\":[1}");
    EXPECT_FALSE(python_accepts(open.text())); // the independent check does reject broken text
}

// Generated documents: written, checked by python3, read back by siblings, compared value by value.
TEST(JsonRoundTrip, GeneratedDocumentsReadBackExactly)
{
    std::mt19937 rng(12345);
    std::vector<std::string> written;
    const std::vector<int64_t> ints = {0, 1, -1, 17, 2147483647, -2147483648LL};
    const std::vector<std::string> strings = {"",    "a b",  "Speed [rpm]", "{x}",   "x:y,z",
                                              "a/b", "0x12", "C:\\dir\\",   "a\\\\b"};
    for (int doc = 0; doc < 25; ++doc) {
        struct Item {
            std::string name;
            int kind; // 0 int, 1 hex, 2 bool, 3 string
            uint32_t u;
            std::string s;
        };
        std::vector<Item> items;
        const int count = 1 + static_cast<int>(rng() % 30);
        std::vector<char> buf(8192);
        kr_json_st j;
        ASSERT_EQ(kr_jsonwriter_init(&j, buf.data(), static_cast<uint32_t>(buf.size())), ERR_NONE);
        ASSERT_EQ(kr_jsonwriter_begin_array(&j, "items"), ERR_NONE);
        for (int i = 0; i < count; ++i) {
            Item it{"m" + std::to_string(i), static_cast<int>(rng() % 4), static_cast<uint32_t>(rng()), ""};
            if (it.kind == 0) it.u = static_cast<uint32_t>(ints[rng() % ints.size()]);
            if (it.kind == 3) it.s = strings[rng() % strings.size()];
            ASSERT_EQ(kr_jsonwriter_begin_object(&j), ERR_NONE);
            kr_errors_e e = ERR_NONE;
            switch (it.kind) {
            case 0: e = kr_jsonwriter_add_int(&j, it.name.c_str(), static_cast<int32_t>(it.u)); break;
            case 1: e = kr_jsonwriter_add_int_hex(&j, it.name.c_str(), it.u); break;
            case 2: e = kr_jsonwriter_add_bool(&j, it.name.c_str(), it.u & 1); break;
            default: e = kr_jsonwriter_add_string(&j, it.name.c_str(), it.s.c_str()); break;
            }
            ASSERT_EQ(e, ERR_NONE);
            ASSERT_EQ(kr_jsonwriter_end_object(&j), ERR_NONE);
            items.push_back(it);
        }
        ASSERT_EQ(kr_jsonwriter_end_array(&j), ERR_NONE);
        ASSERT_EQ(kr_jsonwriter_add_int(&j, "count", count), ERR_NONE);
        ASSERT_EQ(kr_jsonwriter_end(&j, nullptr), ERR_NONE);
        const std::string text = j.start_ptr;
        written.push_back(text);

        std::vector<char> in(text.begin(), text.end());
        in.push_back('\0');
        ASSERT_EQ(kr_jsonreader_init(in.data(), static_cast<uint32_t>(text.size())), ERR_NONE);
        EXPECT_EQ(std::string(in.data()), text);
        char *arr = kr_jsonreader_find_child(in.data(), "items");
        ASSERT_EQ(kr_jsonreader_array_get_size(arr), static_cast<uint32_t>(count));
        EXPECT_EQ(kr_jsonreader_get_int(kr_jsonreader_find_child(in.data(), "count")), count);
        char *obj = kr_jsonreader_array_at(arr, 0);
        for (const Item &it : items) {
            ASSERT_NE(obj, nullptr);
            char *m = kr_jsonreader_get_child(obj, 0);
            char name[16];
            ASSERT_TRUE(kr_jsonreader_get_obj_name(m, name, sizeof name));
            EXPECT_EQ(name, it.name);
            char s[64];
            switch (it.kind) {
            case 0:
            case 1:
                EXPECT_EQ(kr_jsonreader_get_type(m), JSON_INT) << text;
                EXPECT_EQ(static_cast<uint32_t>(kr_jsonreader_get_int(m)), it.u) << text;
                break;
            case 2: EXPECT_EQ(kr_jsonreader_get_bool(m), (it.u & 1) != 0); break;
            default:
                EXPECT_TRUE(kr_jsonreader_get_string(m, s, sizeof s));
                EXPECT_EQ(s, it.s);
                break;
            }
            char *next = nullptr;
            obj = kr_jsonreader_get_next_sibling(obj, &next) ? next : nullptr;
        }
        EXPECT_EQ(obj, nullptr);
    }
    // One run of the independent parser over all documents (its start-up is slow); on failure, name the culprits.
    std::string all = "[";
    for (const std::string &t : written) all += (all.size() > 1 ? "," : "") + t;
    if (!python_accepts(all + "]")) {
        for (const std::string &t : written) EXPECT_TRUE(python_accepts(t)) << t;
        FAIL() << "python3 -m json.tool refused the generated documents";
    }
}
