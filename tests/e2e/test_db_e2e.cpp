// The db command of the krcan binary: a corpus database with content files, given by a relative path
// from the working folder, and broken documents that stop the run with status 1.
#include <gtest/gtest.h>

#include <filesystem>

#include "e2e.h"

namespace fs = std::filesystem;

namespace {

const fs::path corpus = KR_SOURCE_DIR "/tests/data/db";

TEST(DbE2e, LoadsTheCorpusFromARelativePath)
{
    e2e::sandbox box;
    fs::copy(corpus, box.path("db"), fs::copy_options::recursive);
    e2e::options terminal; // errors show in red there
    terminal.pty = true;
    for (const char *file : {"db/drive.json", "db/drive.yaml"}) {
        e2e::result r = box.krcan({"--db", file}, terminal);
        ASSERT_TRUE(r.exited(0)) << r.out << r.err;
        EXPECT_NE(r.out.find("reading content file 'db/sub/sensor.json'"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("TXPDO 1 used bytes: 5 / 8\n"), std::string::npos);
        EXPECT_NE(r.out.find("Database parsed succesfully.\n"), std::string::npos);
        EXPECT_EQ(r.out.find("\033[1m\033[31m"), std::string::npos) << "no errors: " << r.out;
    }
    // From inside the folder: the base path is "./".
    e2e::sandbox inner;
    fs::copy(corpus, inner.dir(), fs::copy_options::recursive | fs::copy_options::overwrite_existing);
    e2e::result r = inner.krcan({"--db", "drive.yaml"});
    EXPECT_TRUE(r.exited(0)) << r.out;
    EXPECT_NE(r.out.find("reading content file './motor.json'"), std::string::npos) << r.out;
}

TEST(DbE2e, BrokenDocumentsStopTheRun)
{
    e2e::sandbox box;
    for (const char *file : {"unbalanced.json", "missing_content.json", "bad_define.json", "mapping_over.json"}) {
        e2e::result r = box.krcan({"--db", (corpus / file).string(), "--version"});
        EXPECT_TRUE(r.exited(1)) << file << r.out;
        EXPECT_NE(r.out.find("command 'db' returned with FALSE, terminating.\n"), std::string::npos) << file;
        EXPECT_EQ(r.out.find("(build "), std::string::npos) << "--version never ran: " << r.out;
    }
    e2e::options terminal;
    terminal.pty = true;
    e2e::result r = box.krcan({"--db", (corpus / "unbalanced.json").string()}, terminal);
    EXPECT_NE(r.out.find("\033[1m\033[31mFailed to open database file " + (corpus / "unbalanced.json").string() +
                         ".\n\033[0m"),
              std::string::npos)
        << r.out;
}

} // namespace
