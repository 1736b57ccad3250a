// The command table's lookup, number parsing and the parse-time state of the setters.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "run/commands.h"
#include "run/main.h"

namespace {

TEST(Commands, NumbersAreCheckedWhole)
{
    uint64_t v = 99;
    EXPECT_TRUE(cmdline_parse_uint("0", 127, &v));
    EXPECT_EQ(v, 0u);
    EXPECT_TRUE(cmdline_parse_uint("0x7F", 127, &v));
    EXPECT_EQ(v, 127u);
    EXPECT_TRUE(cmdline_parse_uint("017", 127, &v));
    EXPECT_EQ(v, 15u) << "leading 0 is octal";
    EXPECT_TRUE(cmdline_parse_uint("4294967295", UINT32_MAX, &v));
    EXPECT_EQ(v, 4294967295u);

    v = 7;
    for (const char *bad : {"", " ", "+5", "-1", "128", "0x", "5x", "08", "4294967296", "18446744073709551616"})
        EXPECT_FALSE(cmdline_parse_uint(bad, bad[0] == '4' ? UINT32_MAX : 127, &v)) << "'" << bad << "'";
    EXPECT_FALSE(cmdline_parse_uint(nullptr, 127, &v));
    EXPECT_EQ(v, 7u) << "a refused number leaves the output alone";
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
