// The joystick configuration: reading what people write, round trips in both formats, the folder of a
// system package and saving into the package itself.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "joystick/joystick.h"
#include "read_all.h"
#include "system/package.h"
#include "system/package_builder.h"

namespace fs = std::filesystem;

namespace {

struct JoystickConf : ::testing::Test {
    fs::path root;
    void SetUp() override
    {
        char tmpl[] = "/tmp/kr_jsconf.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root = tmpl;
    }
    void TearDown() override { fs::remove_all(root); }

    std::string write(const std::string &name, const std::string &text)
    {
        std::ofstream(root / name) << text;
        return (root / name).string();
    }
};

std::set<std::string> zip_names(const std::string &zip)
{
    std::set<std::string> names;
    struct archive *a = archive_read_new();
    archive_read_support_format_zip(a);
    if (archive_read_open_filename(a, zip.c_str(), 10240) == ARCHIVE_OK) {
        struct archive_entry *e;
        while (archive_read_next_header(a, &e) == ARCHIVE_OK) names.insert(archive_entry_pathname(e));
    }
    archive_read_free(a);
    return names;
}

joystick_conf_st full_conf(const std::string &tag)
{
    joystick_conf_st c;
    joystick_conf_reset(&c);
    std::snprintf(c.name, sizeof c.name, "%s", (tag + std::string(63, 'n')).c_str());
    for (uint32_t i = 0; i < JOYSTICK_SLOT_COUNT; i++) {
        joystick_slot_st &s = c.slots[i];
        s.nodeid = static_cast<uint8_t>(1 + (i * 3) % 127);
        std::string dev = "dev" + std::to_string(i) + std::string(63, 'd');
        std::string obj = "obj " + std::to_string(i) + std::string(95, 'o');
        std::snprintf(s.device, sizeof s.device, "%s", dev.c_str());
        std::snprintf(s.object, sizeof s.object, "%s", obj.c_str());
        s.mindex = static_cast<uint16_t>(0x2000 + i);
        s.sindex = static_cast<uint8_t>(i);
        s.size = i % 3 == 0 ? 1 : i % 3 == 1 ? 2 : 4;
        s.is_signed = i % 2;
        s.cobid = static_cast<uint16_t>(0x180 + i);
        s.offset = static_cast<uint8_t>(8 - s.size);
        if (i < JOYSTICK_AXIS_COUNT) {
            s.min = -static_cast<int32_t>(i) * 1000 - 7;
            s.max = INT32_MAX - static_cast<int32_t>(i);
        } else {
            s.threshold = static_cast<int32_t>(i) - 20;
        }
        s.invert = i % 4 == 1;
    }
    return c;
}

void expect_same(const joystick_conf_st &a, const joystick_conf_st &b)
{
    EXPECT_STREQ(a.name, b.name);
    for (uint32_t i = 0; i < JOYSTICK_SLOT_COUNT; i++) {
        const joystick_slot_st &x = a.slots[i], &y = b.slots[i];
        SCOPED_TRACE(i);
        EXPECT_EQ(x.nodeid, y.nodeid);
        EXPECT_STREQ(x.device, y.device);
        EXPECT_STREQ(x.object, y.object);
        EXPECT_EQ(x.mindex, y.mindex);
        EXPECT_EQ(x.sindex, y.sindex);
        EXPECT_EQ(x.size, y.size);
        EXPECT_EQ(x.is_signed, y.is_signed);
        EXPECT_EQ(x.cobid, y.cobid);
        EXPECT_EQ(x.offset, y.offset);
        if (i < JOYSTICK_AXIS_COUNT) {
            EXPECT_EQ(x.min, y.min);
            EXPECT_EQ(x.max, y.max);
        } else {
            EXPECT_EQ(x.threshold, y.threshold);
        }
        EXPECT_EQ(x.invert, y.invert);
    }
}

} // namespace

TEST_F(JoystickConf, ReadingTakesWhatPeopleWriteAndDropsWhatDoesNotFit)
{
    std::string p = write("j.json", R"({"NAME": "pit",
      "AXES": [
        {"AXIS": "x", "NODEID": "0x10", "COBID": "0x190", "OFFSET": 0, "TYPE": "UINT16", "MIN": -5, "MAX": 5, "INVERT": true},
        {"AXIS": "Slider2", "NODEID": 16, "COBID": 400},
        {"AXIS": "rz", "NODEID": "16", "COBID": 1, "TYPE": "CANOPEN_SIGNED8", "OFFSET": 7},
        {"AXIS": "ry", "NODEID": "010", "COBID": 2047},
        {"AXIS": "rx", "NODEID": true, "COBID": 5},
        {"AXIS": "W", "NODEID": 2, "COBID": 5},
        {"AXIS": "Y", "NODEID": 200, "COBID": 5},
        {"AXIS": "Z", "NODEID": "0x110", "COBID": 5}
      ],
      "BUTTONS": [
        {"BUTTON": 0, "NODEID": 2, "COBID": 5},
        {"BUTTON": 33, "NODEID": 2, "COBID": 5},
        {"BUTTON": 32, "NODEID": 3, "COBID": "0x183", "OFFSET": 3, "THRESHOLD": 40},
        {"BUTTON": 1, "NODEID": 4, "COBID": 0},
        {"BUTTON": 2, "NODEID": 4, "COBID": "0x800"},
        {"BUTTON": 3, "NODEID": 4, "COBID": "0x10180"},
        {"BUTTON": 4, "NODEID": 4, "COBID": 5, "TYPE": "CANOPEN_UNSIGNED32", "OFFSET": 5},
        {"BUTTON": 5, "NODEID": 4, "COBID": 5, "OFFSET": 260, "TYPE": "CANOPEN_UNSIGNED8"},
        {"BUTTON": 6, "NODEID": 4, "COBID": 5, "OFFSET": -1, "TYPE": "CANOPEN_UNSIGNED8"}
      ]})");
    joystick_conf_st c;
    testing::internal::CaptureStdout();
    ASSERT_TRUE(joystick_conf_read(&c, p.c_str()));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("unknown axis 'W' skipped"), std::string::npos) << out;
    EXPECT_NE(out.find("button 0 is out of the range 1 ... 32, skipped"), std::string::npos) << out;
    EXPECT_NE(out.find("button 33 is out of the range 1 ... 32, skipped"), std::string::npos) << out;
    EXPECT_STREQ(c.name, "pit");

    const joystick_slot_st &x = c.slots[0];
    EXPECT_EQ(x.nodeid, 16);
    EXPECT_EQ(x.cobid, 0x190);
    EXPECT_EQ(x.size, 2);
    EXPECT_FALSE(x.is_signed) << "UINT16 holds 16 but not SIGNED";
    EXPECT_EQ(x.min, -5);
    EXPECT_EQ(x.max, 5);
    EXPECT_TRUE(x.invert);
    const joystick_slot_st &s2 = c.slots[7];
    EXPECT_EQ(s2.nodeid, 16);
    EXPECT_EQ(s2.size, 4) << "no TYPE: signed 32-bit";
    EXPECT_TRUE(s2.is_signed);
    EXPECT_EQ(s2.min, 0);
    EXPECT_EQ(s2.max, 1000);
    EXPECT_FALSE(s2.invert);
    EXPECT_EQ(c.slots[5].nodeid, 16);
    EXPECT_EQ(c.slots[5].offset, 7);
    EXPECT_EQ(c.slots[4].nodeid, 8) << "a leading 0 is octal";
    EXPECT_EQ(c.slots[3].nodeid, 1) << "true is node 1";
    EXPECT_EQ(c.slots[1].nodeid, 0) << "node 200 is out of range";
    EXPECT_EQ(c.slots[2].nodeid, 0) << "node 0x110 must not be cut to 0x10";

    const joystick_slot_st &b32 = c.slots[39];
    EXPECT_EQ(b32.nodeid, 3);
    EXPECT_EQ(b32.cobid, 0x183);
    EXPECT_EQ(b32.offset, 3);
    EXPECT_EQ(b32.threshold, 40);
    for (int b = 1; b <= 6; b++) EXPECT_EQ(c.slots[7 + b].nodeid, 0) << "button " << b;
    EXPECT_EQ(c.slots[7 + 4].cobid, 5) << "an invalid slot keeps what was read";
    for (int b = 7; b <= 31; b++) EXPECT_EQ(c.slots[7 + b].nodeid, 0);
    EXPECT_TRUE(joystick_conf_is_used(&c));

    // A document that cannot be read leaves a reset configuration and names the parser's error.
    std::string bad = write("bad.json", "{\"NAME\": \"x\", \"AXES\": [");
    testing::internal::CaptureStdout();
    EXPECT_FALSE(joystick_conf_read(&c, bad.c_str()));
    out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.rfind("Failed to read the joystick configuration '" + bad + "': ", 0), 0u) << out;
    EXPECT_GT(out.size(), ("Failed to read the joystick configuration '" + bad + "': \n").size()) << out;
    EXPECT_STREQ(c.name, JOYSTICK_DEFAULT_NAME);
    EXPECT_FALSE(joystick_conf_is_used(&c));
}

TEST_F(JoystickConf, FullConfigurationsRoundTripInBothFormatsAndEmptyOnesWriteEmptyArrays)
{
    for (const char *name : {"a.json", "a.yaml", "a.YML"}) {
        SCOPED_TRACE(name);
        joystick_conf_st c = full_conf(name), back;
        std::string p = (root / name).string();
        ASSERT_TRUE(joystick_conf_write(&c, p.c_str()));
        ASSERT_TRUE(joystick_conf_read(&back, p.c_str()));
        expect_same(c, back);
    }
    joystick_conf_st empty;
    joystick_conf_reset(&empty);
    std::string p = (root / "e.json").string();
    ASSERT_TRUE(joystick_conf_write(&empty, p.c_str()));
    std::string text = read_all(p);
    EXPECT_NE(text.find("\"AXES\""), std::string::npos) << text;
    EXPECT_NE(text.find("[]"), std::string::npos) << text;
    EXPECT_EQ(text.find("NODEID"), std::string::npos) << text;
}

TEST_F(JoystickConf, FolderPrefersJsonAndAFailedWriteKeepsTheYamlDocument)
{
    joystick_conf_st a = full_conf("json"), b = full_conf("yaml");
    ASSERT_TRUE(joystick_conf_write(&a, (root / "joystick.json").c_str()));
    ASSERT_TRUE(joystick_conf_write(&b, (root / "joystick.yaml").c_str()));
    uint32_t gen = joystick_get_generation();
    ASSERT_TRUE(joystick_load_from_dir(root.c_str()));
    EXPECT_EQ(joystick_get_generation(), gen + 1);
    EXPECT_STREQ(joystick_get_conf()->name, a.name);

    // Folder with only the YAML document and a folder in the JSON document's place: the write fails
    // and the YAML document is still there.
    fs::remove(root / "joystick.json");
    fs::create_directories(root / "joystick.json" / "inside");
    joystick_set_conf(&a);
    testing::internal::CaptureStdout();
    char name[32] = "";
    EXPECT_FALSE(joystick_write_to_dir(root.c_str(), name, sizeof name));
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(fs::exists(root / "joystick.yaml"));
    fs::remove_all(root / "joystick.json");
    ASSERT_TRUE(joystick_load_from_dir(root.c_str()));
    EXPECT_STREQ(joystick_get_conf()->name, b.name);

    // A good write replaces the YAML ones.
    std::ofstream(root / "joystick.yml") << "NAME: old\n";
    ASSERT_TRUE(joystick_write_to_dir(root.c_str(), name, sizeof name));
    EXPECT_STREQ(name, "joystick.json");
    EXPECT_FALSE(fs::exists(root / "joystick.yaml"));
    EXPECT_FALSE(fs::exists(root / "joystick.yml"));

    // An unusable document leaves the active configuration alone.
    std::ofstream(root / "joystick.json") << "{\"AXES\": [";
    gen = joystick_get_generation();
    testing::internal::CaptureStdout();
    EXPECT_FALSE(joystick_load_from_dir(root.c_str()));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(joystick_get_generation(), gen);
    EXPECT_STREQ(joystick_get_conf()->name, b.name);
}

TEST_F(JoystickConf, SavingIntoASystemPackage)
{
    std::string pkg = (root / "m.krsys").string();
    fs::path dir = root / "x";
    fs::create_directories(dir);
    std::ofstream(dir / "krsys.json") << "{\"DEVS\": []}";
    std::ofstream(dir / "joystick.yaml") << "NAME: old\n";
    ASSERT_TRUE(pkgtest::write_zip(pkg, {pkgtest::file("krsys.json", "{\"DEVS\": []}"),
                                         pkgtest::file("joystick.yaml", "NAME: old\n")}));
    system_st sys{};
    std::snprintf(sys.filepath, sizeof sys.filepath, "%s", pkg.c_str());
    std::snprintf(sys.extract_dir, sizeof sys.extract_dir, "%s", dir.c_str());
    EXPECT_FALSE(joystick_save_to_system(&sys)) << "not loaded";
    sys.loaded = true;

    joystick_conf_st c = full_conf("pkg");
    joystick_set_conf(&c);
    testing::internal::CaptureStdout();
    ASSERT_TRUE(joystick_save_to_system(&sys));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Saved the joystick configuration into '" + fs::canonical(pkg).string() + "'."),
              std::string::npos)
        << out;
    EXPECT_EQ(zip_names(pkg), (std::set<std::string>{"krsys.json", "joystick.json"}));
    fs::path back = root / "back";
    fs::create_directories(back);
    ASSERT_TRUE(archive_extract(pkg.c_str(), back.c_str()));
    joystick_conf_st reread;
    ASSERT_TRUE(joystick_conf_read(&reread, (back / "joystick.json").c_str()));
    expect_same(c, reread);

    // Unused: every joystick document goes, from the folder and the package.
    std::ofstream(dir / "joystick.yml") << "NAME: stray\n";
    ASSERT_TRUE(archive_put_file(pkg.c_str(), dir.c_str(), "joystick.yml"));
    joystick_conf_st empty;
    joystick_conf_reset(&empty);
    joystick_set_conf(&empty);
    testing::internal::CaptureStdout();
    ASSERT_TRUE(joystick_save_to_system(&sys));
    out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Removed the joystick configuration from"), std::string::npos) << out;
    EXPECT_EQ(zip_names(pkg), (std::set<std::string>{"krsys.json"}));
    EXPECT_FALSE(fs::exists(dir / "joystick.json"));
    EXPECT_FALSE(fs::exists(dir / "joystick.yml"));

    // A document that cannot be deleted ends the removal with false instead of looping.
    fs::create_directories(dir / "joystick.yml" / "sub");
    testing::internal::CaptureStdout();
    EXPECT_FALSE(joystick_save_to_system(&sys));
    out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("joystick.yml"), std::string::npos) << out;
    EXPECT_EQ(out.find("Removed the joystick"), std::string::npos) << out;
    fs::remove_all(dir / "joystick.yml");

    // A package that moved away.
    fs::rename(pkg, root / "moved.krsys");
    joystick_set_conf(&c);
    testing::internal::CaptureStdout();
    EXPECT_FALSE(joystick_save_to_system(&sys));
    out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("The system file '" + pkg + "' is gone; the joystick configuration was not saved into it."),
              std::string::npos)
        << out;
}
