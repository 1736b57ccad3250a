// The system model: node-id postfixes and lists, adding and removing devices, snapshots around a
// queued step, the forced node id, and the path helpers.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "run/commands.h"
#include "database/db.h"
#include "run/main.h"
#include "system/system.h"

namespace {

struct SystemTest : ::testing::Test {
    void SetUp() override
    {
        system_reset(&dev.system);
        db_set_nodeid_state(&dev.db, 0, false, false);
        dev.argv_count = 0;
        dev.nonopt_argv = nullptr;
    }
};

std::string parse_arg(const char *text, uint8_t *id, bool *ok, uint32_t size = 1024)
{
    std::vector<char> path(size ? size : 1, 'X');
    *ok = cmdline_parse_nodeid_arg(text, path.data(), size, id);
    return std::string(path.data());
}

TEST(SystemParse, NodeIdPostfixOnOneArgument)
{
    uint8_t id = 99;
    bool ok = false;
    EXPECT_EQ(parse_arg("dir/a.krdev:0x14", &id, &ok), "dir/a.krdev");
    EXPECT_TRUE(ok);
    EXPECT_EQ(id, 0x14);
    EXPECT_EQ(parse_arg("a.krdev:127", &id, &ok), "a.krdev");
    EXPECT_TRUE(ok);
    EXPECT_EQ(id, 127);
    EXPECT_EQ(parse_arg("a.krdev:017", &id, &ok), "a.krdev");
    EXPECT_EQ(id, 15) << "leading 0 is octal";

    // Out of range: refused, the path still ends before the colon.
    for (const char *bad :
         {"a.krdev:200", "a.krdev:0", "a.krdev:0x80", "a.krdev:-5", "a.krdev:99999999999999999999999"}) {
        id = 99;
        EXPECT_EQ(parse_arg(bad, &id, &ok), "a.krdev") << bad;
        EXPECT_FALSE(ok) << bad;
        EXPECT_EQ(id, 0) << bad;
    }

    // Not a number: no postfix, the colon stays in the path.
    for (const char *keep : {"C:\\dev\\a.krdev", "host:abc", "a.krdev:0x", "a.krdev:", "plain.krdev", ""}) {
        id = 99;
        EXPECT_EQ(parse_arg(keep, &id, &ok), keep) << keep;
        EXPECT_TRUE(ok) << keep;
        EXPECT_EQ(id, 0) << keep;
    }

    // A path that does not fit is refused, never cut: cut, it would name another file.
    EXPECT_EQ(parse_arg("abcdefgh:0x10", &id, &ok, 5), "");
    EXPECT_FALSE(ok);
    std::string longpath(1023, 'p');
    EXPECT_EQ(parse_arg((longpath + ":5").c_str(), &id, &ok, 1024).size(), 1023u);
    EXPECT_TRUE(ok);
    EXPECT_EQ(parse_arg((longpath + ".other:5").c_str(), &id, &ok, 1024), "");
    EXPECT_FALSE(ok);
    EXPECT_TRUE(cmdline_parse_nodeid_arg("a:5", nullptr, 0, &id));
}

TEST(SystemParse, NodeIdLists)
{
    char path[64];
    uint8_t list[4] = {};
    uint32_t count = 99;

    ASSERT_TRUE(cmdline_parse_nodeid_list("params.yml:0xd:0x7", path, sizeof path, list, 4, &count));
    EXPECT_STREQ(path, "params.yml");
    ASSERT_EQ(count, 2u);
    EXPECT_EQ(list[0], 0xd);
    EXPECT_EQ(list[1], 0x7);

    // A repeated id stands where it was written last.
    ASSERT_TRUE(cmdline_parse_nodeid_list("params.yml:0xd:0x7:0xd", path, sizeof path, list, 4, &count));
    EXPECT_STREQ(path, "params.yml");
    ASSERT_EQ(count, 2u);
    EXPECT_EQ(list[0], 0x7);
    EXPECT_EQ(list[1], 0xd);

    // Tails that are not numbers (or too long to be one) end the list and stay in the path.
    ASSERT_TRUE(cmdline_parse_nodeid_list("C:\\p.json:5", path, sizeof path, list, 4, &count));
    EXPECT_STREQ(path, "C:\\p.json");
    EXPECT_EQ(count, 1u);
    ASSERT_TRUE(cmdline_parse_nodeid_list("p:0000000000000005", path, sizeof path, list, 4, &count));
    EXPECT_STREQ(path, "p:0000000000000005");
    EXPECT_EQ(count, 0u);
    ASSERT_TRUE(cmdline_parse_nodeid_list("p.json", path, sizeof path, list, 4, &count));
    EXPECT_STREQ(path, "p.json");
    EXPECT_EQ(count, 0u);

    // Over capacity, or an id outside 1..127: the whole parse fails.
    std::strcpy(path, "junk");
    EXPECT_FALSE(cmdline_parse_nodeid_list("p:1:2:3:4:5", path, sizeof path, list, 4, &count));
    EXPECT_STREQ(path, "");
    EXPECT_EQ(count, 0u);
    EXPECT_TRUE(cmdline_parse_nodeid_list("p:1:2:3:4:4", path, sizeof path, list, 4, &count))
        << "a repeat takes no room";
    for (const char *bad : {"p:0", "p:5:200", "p:0x80:5"}) {
        std::strcpy(path, "junk");
        EXPECT_FALSE(cmdline_parse_nodeid_list(bad, path, sizeof path, list, 4, &count)) << bad;
        EXPECT_STREQ(path, "") << bad;
    }
}

TEST(SystemParse, PathHelpers)
{
    EXPECT_TRUE(path_ends_with("a/B.KRSYS", ".krsys"));
    EXPECT_FALSE(path_ends_with("krsys", ".krsys"));
    EXPECT_FALSE(path_ends_with(nullptr, ".krsys"));
    EXPECT_FALSE(path_ends_with("a.krsys", nullptr));

    char name[16];
    name_from_path("/x/y/motor.v2.krdev", name, sizeof name);
    EXPECT_STREQ(name, "motor.v2");
    name_from_path("C:\\pk\\motor.krdev", name, sizeof name);
    EXPECT_STREQ(name, "C:\\pk\\motor") << "only '/' separates the name";
    name_from_path("/x/noext", name, sizeof name);
    EXPECT_STREQ(name, "noext");
    name_from_path("/x/a_very_long_device_name.krdev", name, sizeof name);
    EXPECT_STREQ(name, "a_very_long_dev");
}

TEST_F(SystemTest, AddRemoveAndCapacity)
{
    ASSERT_NE(system_add_found_device(&dev.system, 0x10, 797, 1), nullptr);
    ASSERT_NE(system_add_found_device(&dev.system, 0x11, 5, 2), nullptr);
    device_st *blank = system_add_empty_device(&dev.system);
    ASSERT_NE(blank, nullptr);
    EXPECT_STREQ(blank->name, "Device 3");
    EXPECT_FALSE(blank->loaded);
    EXPECT_EQ(dev.system.devs[0].state, DEV_STATE_OP);
    EXPECT_STREQ(dev.system.devs[1].name, "Node 0x11");
    EXPECT_TRUE(dev.system.devs[1].loaded);

    // Node id 0 would broadcast, 128 and above index past the node tables.
    EXPECT_EQ(system_add_found_device(&dev.system, 0, 797, 1), nullptr);
    EXPECT_EQ(system_add_found_device(&dev.system, 0x80, 797, 1), nullptr);
    EXPECT_EQ(system_add_found_device(&dev.system, 0xFF, 797, 1), nullptr);
    EXPECT_EQ(dev.system.dev_count, 3);

    dev.system.last_cmdline_dev = 3;
    ASSERT_TRUE(system_remove_device(&dev.system, &dev.system.devs[0]));
    EXPECT_EQ(dev.system.dev_count, 2);
    EXPECT_EQ(dev.system.devs[0].nodeid, 0x11);
    EXPECT_STREQ(dev.system.devs[1].name, "Device 3");
    EXPECT_EQ(dev.system.last_cmdline_dev, 2) << "the command line's device moved down with the others";
    device_st zero{};
    EXPECT_EQ(std::memcmp(&dev.system.devs[2], &zero, sizeof zero), 0) << "the freed slot is all zero";

    device_st outside{};
    EXPECT_FALSE(system_remove_device(&dev.system, &outside));
    EXPECT_FALSE(system_remove_device(&dev.system, &dev.system.devs[2])) << "a free slot is not a device";
    EXPECT_FALSE(system_remove_device(&dev.system, nullptr));
    ASSERT_TRUE(system_remove_device(&dev.system, &dev.system.devs[1]));
    EXPECT_EQ(dev.system.last_cmdline_dev, 0) << "the command line's device is gone";

    while (dev.system.dev_count < SYSTEM_MAX_DEVICES) ASSERT_NE(system_add_empty_device(&dev.system), nullptr);
    EXPECT_EQ(system_add_empty_device(&dev.system), nullptr);
    EXPECT_EQ(system_add_found_device(&dev.system, 0x30, 797, 1), nullptr);
    testing::internal::CaptureStdout();
    EXPECT_FALSE(system_add_device(&dev.system, "x.krdev", 5));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(dev.system.dev_count, SYSTEM_MAX_DEVICES);

    system_clear_devices(&dev.system);
    EXPECT_EQ(dev.system.dev_count, 0);
    EXPECT_EQ(std::memcmp(&dev.system.devs[0], &zero, sizeof zero), 0);
}

TEST_F(SystemTest, UnreadablePackageKeepsPathAndLeavesNodeSelectionAlone)
{
    db_set_nodeid_state(&dev.db, 0x20, true, true);
    testing::internal::CaptureStdout();
    ASSERT_TRUE(system_add_device(&dev.system, "/pk/motor.krdev", 0x14));
    EXPECT_FALSE(system_add_device(&dev.system, "/pk/motor.krdev", 0x80));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("outside 1..127"), std::string::npos) << out;

    ASSERT_EQ(dev.system.dev_count, 1);
    const device_st &d = dev.system.devs[0];
    EXPECT_STREQ(d.filepath, "/pk/motor.krdev");
    EXPECT_STREQ(d.name, "motor");
    EXPECT_TRUE(d.loaded);
    EXPECT_EQ(d.nodeid, 0x14);
    EXPECT_EQ(d.vendor_id, 0u);
    EXPECT_EQ(d.default_nodeid, 0);

    uint8_t id = 0;
    bool set = false, forced = false;
    db_get_nodeid_state(&dev.db, &id, &set, &forced);
    EXPECT_EQ(id, 0x20);
    EXPECT_TRUE(set && forced) << "reading a package does not change which node the command line selected";

    // Reassigning: an offline device takes the package's default (none readable here), a live one keeps its id.
    dev.system.devs[0].state = DEV_STATE_OP;
    testing::internal::CaptureStdout();
    system_set_device_file(&dev.system.devs[0], "/pk/other.krdev");
    EXPECT_EQ(dev.system.devs[0].nodeid, 0x14);
    dev.system.devs[0].state = DEV_STATE_OFFLINE;
    system_set_device_file(&dev.system.devs[0], "/pk/other.krdev");
    EXPECT_EQ(system_read_file_nodeid("/pk/other.krdev"), 0);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(dev.system.devs[0].nodeid, 0);
    EXPECT_STREQ(dev.system.devs[0].name, "other");
}

TEST_F(SystemTest, SnapshotsAroundAQueuedStep)
{
    system_add_found_device(&dev.system, 0x10, 797, 0);
    system_add_found_device(&dev.system, 0x11, 797, 0);
    commands_select_nodeid(0x22, true);
    system_nodeids_st parse_time;
    system_nodeids_save(&dev.system, &parse_time);
    EXPECT_EQ(parse_time.count, 2);

    // Later options change the context before the step runs.
    system_clear_forced_nodeid(&dev.system);
    db_set_nodeid_state(&dev.db, 0x33, true, false);
    dev.system.devs[0].nodeid = 0x40;
    system_add_found_device(&dev.system, 0x12, 797, 0);

    system_nodeids_st saved;
    system_dispatch_begin(&parse_time, &saved);
    EXPECT_EQ(dev.system.devs[0].nodeid, 0x10);
    EXPECT_EQ(dev.system.devs[2].nodeid, 0x12) << "a device added later is outside the snapshot";
    EXPECT_TRUE(dev.system.forcenodeid);
    EXPECT_EQ(dev.system.forced_nodeid, 0x22);
    EXPECT_EQ(db_get_nodeid(&dev.db), 0x22);

    // The step forces its id on one device and then ends.
    system_apply_forced_nodeid(&dev.system, 1, 2);
    EXPECT_EQ(dev.system.devs[1].nodeid, 0x22);
    system_dispatch_end(&saved);
    EXPECT_EQ(dev.system.devs[0].nodeid, 0x40);
    EXPECT_EQ(dev.system.devs[1].nodeid, 0x11);
    EXPECT_FALSE(dev.system.forcenodeid);
    EXPECT_EQ(db_get_nodeid(&dev.db), 0x33);

    // Restoring into fewer devices than the snapshot held touches only those.
    system_remove_device(&dev.system, &dev.system.devs[2]);
    system_remove_device(&dev.system, &dev.system.devs[1]);
    system_nodeids_restore(&dev.system, &parse_time);
    EXPECT_EQ(dev.system.devs[0].nodeid, 0x10);
    EXPECT_EQ(dev.system.devs[1].nodeid, 0);
}

void no_step(void *) {}

TEST_F(SystemTest, EachQueuedJobKeepsItsOwnArgumentAndSnapshot)
{
    init(&dev);
    system_job_queue_st queue{};
    commands_select_nodeid(0x10, false);
    ASSERT_TRUE(system_dispatch_queue(&queue, "a.bin:0x10", 1, no_step));
    commands_select_nodeid(0x20, false);
    ASSERT_TRUE(system_dispatch_queue(&queue, "b.bin", 2, no_step));
    ASSERT_TRUE(system_dispatch_queue(&queue, nullptr, 0, no_step));

    // An argument that would be cut is refused and queues nothing.
    std::string long_arg(SYSTEM_JOB_ARG_LEN, 'x');
    testing::internal::CaptureStdout();
    EXPECT_FALSE(system_dispatch_queue(&queue, long_arg.c_str(), 0, no_step));
    EXPECT_NE(testing::internal::GetCapturedStdout().find("longer than 1023"), std::string::npos);
    long_arg.pop_back();
    EXPECT_EQ(dev.tasks.len, 3u);

    system_job_st job;
    ASSERT_TRUE(system_dispatch_take(&queue, &job));
    EXPECT_STREQ(job.arg, "a.bin:0x10");
    EXPECT_EQ(job.flags, 1u);
    EXPECT_EQ(job.nodeids.db_nodeid, 0x10);
    ASSERT_TRUE(system_dispatch_take(&queue, &job));
    EXPECT_STREQ(job.arg, "b.bin");
    EXPECT_EQ(job.flags, 2u);
    EXPECT_EQ(job.nodeids.db_nodeid, 0x20);
    ASSERT_TRUE(system_dispatch_take(&queue, &job));
    EXPECT_STREQ(job.arg, "");
    EXPECT_FALSE(system_dispatch_take(&queue, &job));

    // The longest argument that fits is kept whole.
    ASSERT_TRUE(system_dispatch_queue(&queue, long_arg.c_str(), 0, no_step));
    ASSERT_TRUE(system_dispatch_take(&queue, &job));
    EXPECT_EQ(std::string(job.arg), long_arg);
}

TEST_F(SystemTest, ForcedNodeIdOverARange)
{
    for (uint8_t id : {0x10, 0x11, 0x12}) system_add_found_device(&dev.system, id, 797, 0);
    commands_select_nodeid(0x20, true);

    testing::internal::CaptureStdout();
    system_apply_forced_nodeid(&dev.system, 0, 3);
    system_apply_forced_nodeid(&dev.system, 0, 3);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("(0x20) cannot name any one of the 3 devices"), std::string::npos) << out;
    EXPECT_EQ(out.find("WARNING"), out.rfind("WARNING")) << "warned once, then the forced id is gone";
    EXPECT_FALSE(dev.system.forcenodeid);
    EXPECT_FALSE(dev.system.forced_nodeid_set);
    EXPECT_EQ(dev.system.devs[0].nodeid, 0x10);

    // An empty or reversed range, or a range past the devices held, changes nothing.
    commands_select_nodeid(0x20, true);
    system_apply_forced_nodeid(&dev.system, 2, 2);
    system_apply_forced_nodeid(&dev.system, 5, 9);
    EXPECT_TRUE(dev.system.forcenodeid);
    system_apply_forced_nodeid(&dev.system, 2, 9);
    EXPECT_EQ(dev.system.devs[2].nodeid, 0x20) << "the range ends at the last device";

    // A forced id of 0 would address every device on the bus.
    dev.system.devs[2].nodeid = 0x12;
    commands_select_nodeid(0, true);
    testing::internal::CaptureStdout();
    system_apply_forced_nodeid(&dev.system, 2, 3);
    out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(dev.system.devs[2].nodeid, 0x12);
    EXPECT_NE(out.find("outside 1..127"), std::string::npos) << out;
    EXPECT_FALSE(dev.system.forcenodeid);
}

TEST_F(SystemTest, QueuedArgumentResolution)
{
    char path[64];
    const char *ptr = "unset";
    testing::internal::CaptureStdout();
    ASSERT_TRUE(cmdline_load_arg_nodeid("", path, sizeof path, &ptr));
    EXPECT_EQ(ptr, nullptr) << "no argument works on the whole system";

    ASSERT_TRUE(cmdline_load_arg_nodeid("fw.bin:0x14", path, sizeof path, &ptr));
    EXPECT_EQ(ptr, path);
    EXPECT_STREQ(path, "fw.bin");
    EXPECT_TRUE(dev.system.forcenodeid);
    EXPECT_EQ(dev.system.forced_nodeid, 0x14);
    EXPECT_EQ(db_get_nodeid(&dev.db), 0x14);

    char *words[] = {(char *)"from_words.krsys:0x30"};
    dev.nonopt_argv = words;
    dev.argv_count = 1;
    ASSERT_TRUE(cmdline_load_arg_nodeid(nullptr, path, sizeof path, &ptr));
    EXPECT_STREQ(ptr, "from_words.krsys");
    EXPECT_EQ(dev.system.forced_nodeid, 0x30);

    EXPECT_FALSE(cmdline_load_arg_nodeid("fw.bin:0", path, sizeof path, &ptr));
    EXPECT_EQ(ptr, nullptr);
    EXPECT_STREQ(path, "");
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Selected Node ID 0x14\n"), std::string::npos) << out;
    EXPECT_NE(out.find("ERROR: invalid node id in 'fw.bin:0'; it must be in the range 1..127"), std::string::npos)
        << out;
    EXPECT_EQ(dev.system.forced_nodeid, 0x30) << "a refused postfix selects nothing";

    // The command line's device takes a later node id, within 0..127 only.
    system_add_found_device(&dev.system, 0x10, 797, 0);
    dev.system.last_cmdline_dev = 1;
    EXPECT_EQ(system_set_cmdline_dev_nodeid(&dev.system, 0x80), nullptr);
    EXPECT_EQ(dev.system.devs[0].nodeid, 0x10);
    ASSERT_NE(system_set_cmdline_dev_nodeid(&dev.system, 0x15), nullptr);
    EXPECT_EQ(dev.system.devs[0].nodeid, 0x15);
    dev.system.last_cmdline_dev = 2;
    EXPECT_EQ(system_set_cmdline_dev_nodeid(&dev.system, 0x15), nullptr) << "no device in that slot";
}

} // namespace
