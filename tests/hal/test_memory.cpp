// The settings file: round trip, every kind of bad file falling back to defaults, and a failed
// save that must leave the old file as it was.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "kr_memory.h"
#include "kr_utilities.h"

namespace fs = std::filesystem;

namespace {

// Ends the process: status 0 when the save reported its failure.
[[noreturn]] void save_with_file_size_limit(rlim_t bytes)
{
    struct rlimit lim = {bytes, bytes};
    signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &lim);
    std::exit(kr_memory_save() == ERR_INTERNAL ? 0 : 1);
}

class MemoryTest : public ::testing::Test {
protected:
    fs::path dir;
    std::string file;

    void SetUp() override
    {
        std::string tmpl = (fs::temp_directory_path() / "krmemXXXXXX").string();
        ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
        dir = tmpl;
        file = (dir / "settings.nvconf").string();
        ASSERT_TRUE(kr_memory_set_nonvol_filepath(file.c_str()));
        kr_memory_set_data(nullptr, nullptr);
        silent = true;
    }
    void TearDown() override
    {
        kr_memory_set_nonvol_filepath(kr_memory_get_default_filepath());
        silent = true;
        std::error_code ec;
        fs::permissions(dir, fs::perms::owner_all, ec);
        fs::remove_all(dir, ec);
    }

    static std::vector<unsigned char> read_bytes(const std::string &path)
    {
        std::ifstream in(path, std::ios::binary);
        return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), {});
    }
    static void write_bytes(const std::string &path, const std::vector<unsigned char> &b)
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char *>(b.data()), (std::streamsize)b.size());
    }
    // A good file: node 5, 250000 bit/s, heartbeat 1000.
    std::vector<unsigned char> save_good()
    {
        kr_memory_set_defaults();
        kr_data_start_t *s = kr_memory_get_data_start();
        s->id = 5;
        s->can_baudrate = 250000;
        s->canopen.producer_heartbeat_time_ms = 1000;
        EXPECT_EQ(kr_memory_save(), ERR_NONE);
        return read_bytes(file);
    }
    static void expect_defaults()
    {
        const kr_data_start_t *s = kr_memory_get_data_start();
        EXPECT_EQ(s->id, 1);
        EXPECT_EQ(s->canopen.producer_heartbeat_time_ms, 1000);
        EXPECT_EQ(s->can_baudrate, 0u);
        EXPECT_EQ(s->bootloader_wait_time, 0u);
    }
};

TEST(MemoryCrc, KnownValues)
{
    EXPECT_EQ(kr_memory_calc_crc("123456789", 9), 0x31C3);
    EXPECT_EQ(kr_memory_calc_crc(nullptr, 0), 0);
    const unsigned char one[] = {0x01};
    EXPECT_EQ(kr_memory_calc_crc(one, 1), 0x1021);
}

// Node 5, 250000 and 1000 come back, also when the CRC bytes hold CR, LF or ^Z (text-mode traps).
TEST_F(MemoryTest, RoundTripIncludingAwkwardCrcBytes)
{
    for (unsigned char awkward : {0x0D, 0x0A, 0x1A}) {
        kr_data_start_t s = {};
        s.id = 5;
        s.can_baudrate = 250000;
        s.canopen.producer_heartbeat_time_ms = 1000;
        uint16_t crc = 0;
        for (uint32_t w = 0; w < 100000; w++) { // find a record whose CRC holds the byte
            s.bootloader_wait_time = w;
            crc = kr_memory_calc_crc(&s, sizeof s);
            if ((crc & 0xFF) == awkward || (crc >> 8) == awkward) break;
        }
        ASSERT_TRUE((crc & 0xFF) == awkward || (crc >> 8) == awkward);
        *kr_memory_get_data_start() = s;
        ASSERT_EQ(kr_memory_save(), ERR_NONE);
        std::vector<unsigned char> bytes = read_bytes(file);
        ASSERT_EQ(bytes.size(), 32u);
        EXPECT_EQ(bytes[8], 5);
        EXPECT_EQ(bytes[28] | bytes[29] << 8, crc);
        EXPECT_EQ(bytes[30] | bytes[31] << 8, 0);

        kr_memory_set_defaults();
        ASSERT_EQ(kr_memory_load(MEMORY_COM_PARAMS), ERR_NONE);
        const kr_data_start_t *back = kr_memory_get_data_start();
        EXPECT_EQ(back->id, 5);
        EXPECT_EQ(back->can_baudrate, 250000u);
        EXPECT_EQ(back->canopen.producer_heartbeat_time_ms, 1000);
        EXPECT_EQ(back->bootloader_wait_time, s.bootloader_wait_time);
        EXPECT_EQ(kr_memory_get_data_end()->hal_crc, crc);
    }
}

// The record lives where the application says (dev.data_start / dev.data_end).
TEST_F(MemoryTest, LoadsIntoApplicationStorage)
{
    save_good();
    struct {
        kr_data_start_t start;
        kr_data_end_t end;
    } app = {};
    kr_memory_set_data(&app.start, &app.end);
    EXPECT_EQ(kr_memory_load(MEMORY_COM_PARAMS), ERR_NONE);
    EXPECT_EQ(app.start.id, 5);
    kr_set_id(9);
    EXPECT_EQ(app.start.id, 9);
    kr_memory_set_data(nullptr, nullptr);
}

// Any single changed byte, anywhere in the 32, is caught and leaves the defaults.
TEST_F(MemoryTest, EveryFlippedByteFallsBackToDefaults)
{
    std::vector<unsigned char> good = save_good();
    ASSERT_EQ(good.size(), 32u);
    for (size_t i = 0; i < good.size(); i++) {
        std::vector<unsigned char> bad = good;
        bad[i] ^= 0x40;
        write_bytes(file, bad);
        kr_memory_get_data_start()->id = 77;
        EXPECT_NE(kr_memory_load(MEMORY_COM_PARAMS), ERR_NONE) << "byte " << i;
        expect_defaults();
    }
}

// A short file must not leave its bytes in the record; of a longer one the first 32 bytes are the record.
TEST_F(MemoryTest, ShortFileFallsBackToDefaultsLongOneReadsItsRecord)
{
    std::vector<unsigned char> good = save_good();
    for (size_t len : {0, 1, 8, 9, 27, 28, 31, 33, 64}) {
        std::vector<unsigned char> bytes = good;
        bytes.resize(len, 0xA5);
        write_bytes(file, bytes);
        kr_memory_get_data_start()->id = 77;
        if (len < 32) {
            EXPECT_EQ(kr_memory_load(MEMORY_COM_PARAMS), ERR_NOT_INITIALIZED) << "length " << len;
            expect_defaults();
        } else {
            EXPECT_EQ(kr_memory_load(MEMORY_COM_PARAMS), ERR_NONE) << "length " << len;
            EXPECT_EQ(kr_memory_get_data_start()->id, 5) << "length " << len;
        }
    }
}

TEST_F(MemoryTest, MissingFileAndMessages)
{
    silent = false;
    ::testing::internal::CaptureStderr();
    kr_memory_get_data_start()->id = 77;
    EXPECT_EQ(kr_memory_load(MEMORY_COM_PARAMS), ERR_NOT_INITIALIZED);
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("Loading non-volatile COM_PARAMS data from '" + file + "'"), std::string::npos) << err;
    EXPECT_NE(err.find("Failed to open the non-volatile data file.\n"), std::string::npos) << err;
    expect_defaults();

    std::vector<unsigned char> bytes = save_good();
    bytes[8] = 6; // the node id changed without its CRC
    write_bytes(file, bytes);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(kr_memory_load(MEMORY_COM_PARAMS), ERR_START_CHECKSUM_NOT_MATCH);
    err = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("don't match with"), std::string::npos) << err;
    EXPECT_EQ(kr_memory_get_data_start()->id, 1);

    silent = true;
    ::testing::internal::CaptureStderr();
    kr_memory_load(MEMORY_COM_PARAMS);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

// A save that cannot write its bytes reports the failure and leaves the old file whole.
TEST_F(MemoryTest, FailedSaveKeepsOldFile)
{
    std::vector<unsigned char> good = save_good();
    kr_memory_get_data_start()->id = 42;
    // A file-size limit makes the write itself fail, whatever the process's rights.
    EXPECT_EXIT(save_with_file_size_limit(16), ::testing::ExitedWithCode(0), "");
    EXPECT_EQ(read_bytes(file), good);
    size_t entries = 0;
    for (const auto &e : fs::directory_iterator(dir)) {
        (void)e;
        entries++;
    }
    EXPECT_EQ(entries, 1u) << "no temporary file is left behind";

    if (geteuid() != 0) { // root writes into read-only folders
        fs::permissions(dir, fs::perms::owner_read | fs::perms::owner_exec);
        EXPECT_EQ(kr_memory_save(), ERR_INTERNAL);
        fs::permissions(dir, fs::perms::owner_all);
        EXPECT_EQ(read_bytes(file), good);
    }
    ASSERT_TRUE(kr_memory_set_nonvol_filepath((dir / "no-such-folder" / "x.nvconf").c_str()));
    EXPECT_EQ(kr_memory_save(), ERR_INTERNAL);
}

TEST_F(MemoryTest, FilePathLimits)
{
    std::string long_path(KR_MEMORY_FILEPATH_LEN, 'a');
    EXPECT_FALSE(kr_memory_set_nonvol_filepath(long_path.c_str()));
    EXPECT_FALSE(kr_memory_set_nonvol_filepath(""));
    EXPECT_FALSE(kr_memory_set_nonvol_filepath(nullptr));
    EXPECT_EQ(std::string(kr_memory_get_nonvol_filepath()), file);
    long_path.resize(KR_MEMORY_FILEPATH_LEN - 1);
    EXPECT_TRUE(kr_memory_set_nonvol_filepath(long_path.c_str()));
    EXPECT_EQ(std::string(kr_memory_get_nonvol_filepath()), long_path);
}

} // namespace

// Only a regular file is read: a FIFO in the file's place (which would block the open until a
// writer came) and a folder give the defaults at once. Clearing is not built and says so by its
// result, leaving a saved file as it was.
TEST_F(MemoryTest, OnlyRegularFilesAreReadAndClearingFailsHonestly)
{
    std::vector<unsigned char> good = save_good();
    ASSERT_EQ(good.size(), KR_MEMORY_RECORD_SIZE);
    EXPECT_NE(kr_memory_clear(MEMORY_ALL_PARAMS), ERR_NONE);
    EXPECT_EQ(read_bytes(file), good);
    EXPECT_EQ(kr_memory_load(MEMORY_COM_PARAMS), ERR_NONE);
    EXPECT_EQ(kr_memory_get_data_start()->id, 5);

    std::string fifo = (dir / "fifo.nvconf").string();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_TRUE(kr_memory_set_nonvol_filepath(fifo.c_str()));
    EXPECT_EQ(kr_memory_load(MEMORY_COM_PARAMS), ERR_NOT_INITIALIZED);
    expect_defaults();
    ASSERT_TRUE(kr_memory_set_nonvol_filepath(dir.c_str()));
    EXPECT_EQ(kr_memory_load(MEMORY_COM_PARAMS), ERR_NOT_INITIALIZED);
    expect_defaults();
}
