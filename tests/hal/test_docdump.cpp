// kr_docdump, the readers seen from outside: a JSON document and its YAML twin print the same JSON line,
// and a text either reader refuses, or a value YAML would read otherwise, is refused as
// FILE:LINE:COLUMN: reason with status 1 and nothing printed.
#include <gtest/gtest.h>

#include <string>

#include "e2e/e2e.h"

namespace {

e2e::result dump(const e2e::sandbox &box, const std::string &file, const std::string &text)
{
    box.write_file(file, text);
    return e2e::run_tool(KR_BIN_DIR "/kr_docdump", {box.path(file).string()});
}

} // namespace

TEST(DocDump, TwinsPrintTheSameLine)
{
    struct Twin {
        std::string json, yaml, printed;
    };
    const Twin twins[] = {
        {R"({"a": "it's here", "b": [1, "x"]})", "a: 'it''s here'\nb:\n  - 1\n  - \"x\"\n",
         R"({"a":"it's here","b":[1,"x"]})"},
        {R"({"s": "caf\u00e9\n", "t": "a\tb", "q": "say \"hi\" \\ /"})",
         "s: \"caf\\u00e9\\n\"\nt: \"a\\tb\"\nq: 'say \"hi\" \\ /'\n",
         R"({"s":"café\n","t":"a\tb","q":"say \"hi\" \\ /"})"},
        // A quoted string over two lines folds to one blank; a plain one continues on an indented line.
        {R"({"d": "two lines", "e": "plain text continued", "f": 3})",
         "d: \"two\n  lines\"\ne: plain text\n  continued\nf: 3\n",
         R"({"d":"two lines","e":"plain text continued","f":3})"},
        {R"({"list": [{"k": "v"}, [1, 2], {}], "hex": 16})", "list:\n  - k: v\n  - [1, 2]\n  - {}\nhex: 0x10\n",
         R"({"list":[{"k":"v"},[1,2],{}],"hex":16})"},
        {R"({"emoji": "\ud83d\ude00", "n": -5, "t": true})", "emoji: \"\\U0001F600\"\nn: -5\nt: true\n",
         R"({"emoji":"😀","n":-5,"t":true})"},
    };
    for (const Twin &t : twins) {
        e2e::sandbox box;
        const e2e::result j = dump(box, "d.json", t.json);
        const e2e::result y = dump(box, "d.yaml", t.yaml);
        EXPECT_EQ(j.exit_code, 0) << j.err;
        EXPECT_EQ(y.exit_code, 0) << y.err;
        EXPECT_EQ(j.out, t.printed + "\n") << t.json;
        EXPECT_EQ(y.out, t.printed + "\n") << t.yaml;
    }
}

TEST(DocDump, RefusalsNameFileLineAndColumn)
{
    struct Case {
        std::string file, text, error;
    };
    const Case cases[] = {
        {"a.json", "{\"OBJ_DICT\": [{\"name\": \"a\"}\n {\"name\": \"b\"}]}",
         "a.json:2:2: '{' where ',' or ']' was expected"},
        {"b.json", "{\"s\": \"caf\\x\"}", "b.json:1:11: an unknown escape \\'x'"},
        {"c.json", "{\"n\": 1.5}", "c.json:1:7: the number 1.5 is not an integer the reader keeps (32 bits)"},
        {"d.yaml", "a: 1\nb: &x 2\n", "d.yaml:2:4: an anchor ('&'), which the reader does not support"},
        {"e.yaml", "a: 1\nb: *x\n", "e.yaml:2:4: an alias ('*'), which the reader does not support"},
        {"f.yml", "a: !!str 1\n", "f.yml:1:4: a tag ('!'), which the reader does not support"},
        {"g.yaml", "<<: {a: 1}\n", "g.yaml:1:1: a merge key ('<<'), which the reader does not support"},
        {"h.yaml", "a: |\n  text\n", "h.yaml:1:4: a block scalar ('|'), which the reader does not support"},
        {"i.yaml", "a: 1\n---\nb: 2\n", "i.yaml:2:1: several documents in one file (a second '---')"},
        // Values this reader would read otherwise than YAML does.
        {"j.yaml", "a: yes\n", "j.yaml:1:4: the plain scalar yes is a boolean to this reader and a text to YAML"},
        {"k.yaml", "a: 017\n", "k.yaml:1:4: the plain scalar 017 is a number of another value to YAML"},
        {"l.yaml", "a: ~\n", "l.yaml:1:4: the plain scalar ~ is a text to this reader and not to YAML; quote it"},
        {"m.yaml", "a: 1\na: 2\n", "m.yaml:2:1: the key 'a' appears twice in one mapping"},
        {"n.json", std::string("{\"a\": 1}\0{}", 11), "n.json:1:9: a NUL byte, which no text document holds"},
    };
    for (const Case &c : cases) {
        e2e::sandbox box;
        const e2e::result r = dump(box, c.file, c.text);
        EXPECT_EQ(r.exit_code, 1) << c.text;
        EXPECT_EQ(r.out, "") << c.text;
        EXPECT_EQ(r.err, box.dir().string() + "/" + c.error + "\n") << c.text;
    }
}
