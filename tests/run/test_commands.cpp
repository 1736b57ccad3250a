// The command table's lookup, number parsing and the parse-time state of the setters.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "run/commands.h"
#include "run/main.h"
#include "run/stdout_of.h"
#include "system/system.h"

namespace {

TEST(Commands, NumbersAreCheckedWhole)
{
    int64_t v = 99;
    EXPECT_TRUE(cmdline_read_number("0", 0, 127, &v));
    EXPECT_EQ(v, 0u);
    EXPECT_TRUE(cmdline_read_number("0x7F", 0, 127, &v));
    EXPECT_EQ(v, 127u);
    EXPECT_TRUE(cmdline_read_number("017", 0, 127, &v));
    EXPECT_EQ(v, 15u) << "leading 0 is octal";
    EXPECT_TRUE(cmdline_read_number("4294967295", 0, UINT32_MAX, &v));
    EXPECT_EQ(v, 4294967295u);

    v = 7;
    for (const char *bad : {"", " ", "+5", "-1", "128", "0x", "5x", "08", "4294967296", "18446744073709551616"})
        EXPECT_FALSE(cmdline_read_number(bad, 0, bad[0] == '4' ? UINT32_MAX : 127, &v)) << "'" << bad << "'";
    EXPECT_FALSE(cmdline_read_number(nullptr, 0, 127, &v));
    EXPECT_EQ(v, 7u) << "a refused number leaves the output alone";
}

// A strict reader written from the rule itself: blanks (space, tab, CR, LF, VT, FF, no-break space)
// around one whole number, decimal, 0x hexadecimal or leading-0 octal; '-' only in a signed range.
bool reference_number(const std::string &s, int64_t min, int64_t max, int64_t *out)
{
    static const std::regex form("(?:[ \t\r\n\v\f]|\xC2\xA0)*(-?)(0[xX][0-9a-fA-F]+|0[0-7]*|[1-9][0-9]*)"
                                 "(?:[ \t\r\n\v\f]|\xC2\xA0)*");
    std::smatch m;
    if (!std::regex_match(s, m, form) || (m[1].length() && min >= 0) || m[2].length() > 40) return false;
    std::string digits = m[2];
    int base = digits.size() > 1 && (digits[1] == 'x' || digits[1] == 'X') ? 16 : digits[0] == '0' ? 8 : 10;
    __int128 v = 0;
    for (size_t i = base == 16 ? 2 : 0; i < digits.size(); i++)
        v = v * base + std::stoi(digits.substr(i, 1), nullptr, 16);
    if (m[1].length()) v = -v;
    if (v < min || v > max) return false;
    *out = (int64_t)v;
    return true;
}

// Thousands of random words, for every numeric option: each is refused, or read as the number the
// strict reader reads from it. sdowrite takes text only where a word holds a letter; a node-id
// postfix that is no number stays part of the path.
TEST(Commands, EveryNumericOptionReadsWhatTheStrictReaderReads)
{
    struct range {
        const char *option;
        int64_t min, max;
    };
    const range ranges[] = {{"nodeid", 0, 127},     {"forcenodeid", 0, 127},    {"mindex", 0, 0xFFFF},
                            {"sindex", 0, 0xFF},    {"datalen", 0, 0xFFFFFFFF}, {"baud", 1, 0xFFFFFFFF},
                            {"listen", 0, 4294967}, {"remotelist", 1, 4294967}};
    const std::vector<std::string> pieces = {"0",
                                             "1",
                                             "7",
                                             "8",
                                             "9",
                                             "5",
                                             "-",
                                             "+",
                                             "0x",
                                             "0X",
                                             "a",
                                             "F",
                                             "g",
                                             "O",
                                             "x",
                                             " ",
                                             "\t",
                                             "\r",
                                             "\n",
                                             "\v",
                                             "\f",
                                             "\xC2\xA0",
                                             "\xC2",
                                             "\xA0",
                                             "\xEF\xBC\x95",
                                             "\xFF",
                                             "4294967295",
                                             "127",
                                             "128",
                                             "65535",
                                             "",
                                             "\xE2\x80\x8B",
                                             "\xEF\xBB\xBF",
                                             "\xEF\xBC\x90",
                                             "\xE2\x80\x87",
                                             "\xE3\x80\x80",
                                             "\x01",
                                             "\x1B",
                                             "\x7F",
                                             "\xC3\xA9"};
    std::mt19937 rng(45);
    auto pick = [&](size_t n) { return (size_t)(rng() % n); };
    auto blanks = [&] {
        std::string b;
        for (size_t n = pick(3); n > 0; n--)
            b += std::vector<std::string>{" ", "\t", "\r\n", "\v", "\f", "\xC2\xA0"}[pick(6)];
        return b;
    };
    std::vector<std::string> words;
    for (int i = 0; i < 3000; i++) {
        std::string w;
        if (i % 3 == 0) { // a number near a range's edges, in one of the three bases, with blanks around
            int64_t v = (int64_t)(rng() % 0x1FFFFFFFFull) - (int64_t)(rng() % 2) * 0x80000000ll;
            if (i % 6 == 0) v = (int64_t)pick(300) - 20;
            char buf[40];
            const char *fmt[] = {"%lld", "0x%llx", "0%llo"};
            std::snprintf(buf, sizeof buf, fmt[pick(3)], (long long)(v < 0 ? -v : v));
            w = blanks() + (v < 0 ? "-" : "") + buf + blanks();
        } else {
            for (size_t n = pick(7); n > 0; n--) w += pieces[pick(pieces.size())];
        }
        words.push_back(w);
    }

    size_t accepted = 0, refused = 0, texts = 0;
    std::string said = stdout_of([&] {
        for (const std::string &w : words) {
            for (const range &r : ranges) {
                int64_t want = 0, got = -12345;
                bool ok = reference_number(w, r.min, r.max, &want);
                EXPECT_EQ(cmdline_option_number(r.option, w.c_str(), &got), ok) << r.option << " '" << w << "'";
                if (ok) {
                    EXPECT_EQ(got, want) << r.option << " '" << w << "'";
                }
                (ok ? accepted : refused)++;
            }
            int64_t want = 0, got = 0;
            bool is_text = false;
            bool number = reference_number(w, INT32_MIN, UINT32_MAX, &want);
            bool taken = cmdline_read_value(w.c_str(), false, &got, &is_text);
            if (number) {
                EXPECT_TRUE(taken && !is_text && got == want) << "sdowrite '" << w << "'";
            }
            if (!number && taken) {
                EXPECT_TRUE(is_text) << "sdowrite '" << w << "'";
                EXPECT_NE(w.find_first_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"), std::string::npos)
                    << "text without a letter: '" << w << "'";
                // Inside the blanks around it, text is printable ASCII only.
                const std::string word = std::regex_replace(w, std::regex("^(\\s|\xC2\xA0)+|(\\s|\xC2\xA0)+$"), "");
                EXPECT_TRUE(std::all_of(word.begin(), word.end(), [](char c) { return c >= ' ' && c <= '~'; }))
                    << "text with a character that is no printable ASCII: '" << w << "'";
                texts++;
            }
            char path[64];
            uint8_t id = 0;
            bool node = reference_number(w, 1, 127, &want);
            bool parsed = cmdline_parse_nodeid_arg(("p.json:" + w).c_str(), path, sizeof path, &id);
            if (node) {
                EXPECT_TRUE(parsed && id == want && std::string(path) == "p.json") << "postfix '" << w << "'";
            } else {
                EXPECT_TRUE(!parsed || id == 0) << "postfix '" << w << "'";
            }
        }
    });
    EXPECT_GT(accepted, 3000u) << "the generator reaches the accepting side";
    EXPECT_GT(refused, 3000u);
    EXPECT_GT(texts, 100u);
    EXPECT_NE(said.find("ERROR: invalid"), std::string::npos) << "a refusal names the argument";
}

TEST(Commands, LookupByNameOrShortLetter)
{
    ASSERT_EQ(commands_count(), 60u);
    std::set<std::string> names;
    for (const commands_st &row : commands) {
        EXPECT_TRUE(names.insert(row.cmd_long).second) << row.cmd_long;
        EXPECT_EQ(find_command(row.cmd_long), &row) << row.cmd_long;
    }
    EXPECT_STREQ(find_command("--SdoRead")->cmd_long, "sdoread");
    EXPECT_STREQ(find_command("---help")->cmd_long, "help");
    EXPECT_STREQ(find_command("h")->cmd_long, "help");
    EXPECT_STREQ(find_command("-V")->cmd_long, "version") << "the letter matches even without a short option";
    EXPECT_STREQ(find_command("L")->cmd_long, "loadbin");
    EXPECT_EQ(find_command("H"), nullptr) << "letters match exactly";
    EXPECT_EQ(find_command("q"), nullptr);
    EXPECT_EQ(find_command("--"), nullptr);
    EXPECT_EQ(find_command(""), nullptr);
    EXPECT_EQ(find_command(nullptr), nullptr);
    EXPECT_EQ(find_command("sdoreadx"), nullptr);

    EXPECT_EQ(find_command("listen")->args, ARG_OPTIONAL);
    EXPECT_EQ(find_command("sdowrite")->callback, find_command("sdowritestr")->callback);
}

TEST(Commands, SettersKeepTheirFields)
{
    init(&dev);
    std::string longest(63, 'x');
    EXPECT_TRUE(cmd_can(longest.c_str()));
    EXPECT_EQ(std::string(dev.can_channel), longest);
    EXPECT_STREQ(kr_can_get_dev(), longest.c_str());
    EXPECT_FALSE(cmd_can((longest + "y").c_str()));
    EXPECT_EQ(std::string(dev.can_channel), longest) << "a refused name changes nothing";

    std::string path(1023, 'p');
    EXPECT_TRUE(cmd_srcdest(path.c_str()));
    EXPECT_FALSE(cmd_incdest((path + "p").c_str()));
    EXPECT_STREQ(dev.incdest, ".");

    EXPECT_TRUE(cmd_baud("125000"));
    EXPECT_EQ(dev.baudrate, 125000u);
    EXPECT_FALSE(cmd_baud("125000.5"));
    EXPECT_EQ(dev.baudrate, 125000u);

    EXPECT_TRUE(cmd_forcenode("0x20"));
    EXPECT_TRUE(dev.system.forced_nodeid_set);
    EXPECT_EQ(dev.system.forced_nodeid, 0x20);
    EXPECT_TRUE(dev.system.forcenodeid);
    EXPECT_EQ(dev.db.node_id, 0x20);
    EXPECT_TRUE(cmd_node("5"));
    EXPECT_EQ(dev.system.forced_nodeid, 5);
    EXPECT_FALSE(dev.system.forcenodeid) << "nodeid selects without forcing";
    EXPECT_FALSE(cmd_node("0x1FF")) << "out of range, not cut to its low bits";
    EXPECT_EQ(dev.system.forced_nodeid, 5);
}

TEST(Commands, VersionNotes)
{
    ASSERT_EQ(versionnotes_count(), 2u);
    EXPECT_STREQ(versionnotes_get(0)->date, "2026-11-02");
    EXPECT_EQ(versionnotes_get(2), nullptr);
    EXPECT_STREQ(version_notes[2].date, "") << "ended by an empty entry";
}

} // namespace
