// krcan --db FILE --incdest D --srcdest D --export NAME: the files it writes compile as C11; an
// export without a database writes nothing and ends the run with status 1.
#include <gtest/gtest.h>

#include <filesystem>

#include "e2e.h"

namespace fs = std::filesystem;

namespace {

const std::string corpus = KR_SOURCE_DIR "/tests/data/db/";

using e2e::on_path;

TEST(ExportE2e, WritesFilesThatCompile)
{
    e2e::sandbox box;
    fs::create_directories(box.path("inc"));
    fs::create_directories(box.path("src"));
    e2e::result r = box.krcan(
        {"--db", corpus + "drive.yaml", "--incdest", "inc", "--srcdest", "src/", "--export", "drive_od"});
    ASSERT_TRUE(r.exited(0)) << r.out << r.err;
    EXPECT_NE(r.out.find("Creating header symbols for PDO counts\n"), std::string::npos);
    EXPECT_NE(r.out.find("Exporting done.\n"), std::string::npos);
    ASSERT_TRUE(fs::exists(box.path("inc/drive_od.h")));
    ASSERT_TRUE(fs::exists(box.path("src/drive_od.c")));
    e2e::result cc = box.run(on_path("gcc"),
                             {"-std=c11", "-Wall", "-Wextra", "-Werror", "-c", "-I" KR_SOURCE_DIR "/hal/kr_hal/inc",
                              "-I" + corpus + "firmware", "-Iinc", "-DCONFIG_CANOPEN_RXPDO_COUNT=4",
                              "-DCONFIG_CANOPEN_TXPDO_COUNT=1", "src/drive_od.c", "-o", "drive_od.o"});
    EXPECT_TRUE(cc.exited(0)) << cc.err;
    EXPECT_TRUE(fs::exists(box.path("drive_od.o")));
}

TEST(ExportE2e, WithoutADatabaseNothingIsWritten)
{
    e2e::sandbox box;
    e2e::result r = box.krcan({"--export", "x", "--version"});
    EXPECT_TRUE(r.exited(1)) << r.out;
    EXPECT_NE(r.out.find("No device database is loaded"), std::string::npos);
    EXPECT_NE(r.out.find("(build "), std::string::npos) << "the run goes on";
    EXPECT_FALSE(fs::exists(box.path("x.h")));
    EXPECT_FALSE(fs::exists(box.path("x.c")));
}

} // namespace
