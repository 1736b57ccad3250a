// The non-volatile settings record in a 32-byte file.
#include "kr_memory.h"

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "kr_can.h"
#include "kr_utilities.h"
#include "kr_version.h"

static_assert(sizeof(kr_data_start_t) == 28, "the record's first part is 28 bytes");
static_assert(sizeof(kr_data_end_t) == 4, "the record's CRC words are 4 bytes");
static_assert(offsetof(kr_data_start_t, id) == 8 && offsetof(kr_data_start_t, can_baudrate) == 12 &&
                  offsetof(kr_data_start_t, bootloader_wait_time) == 16 && offsetof(kr_data_start_t, canopen) == 20,
              "record layout");
static_assert(offsetof(kr_canopen_non_volatile_st, crc) == 4, "record layout");

namespace {

kr_data_start_t own_start;
kr_data_end_t own_end;
kr_data_start_t *data_start = &own_start;
kr_data_end_t *data_end = &own_end;
const char project_name[] = KR_MEMORY_PROJECT_PREFIX KR_VERSION_NAME;
const char default_filepath[] = "./" KR_MEMORY_PROJECT_PREFIX KR_VERSION_NAME ".nvconf";
static_assert(sizeof default_filepath <= KR_MEMORY_FILEPATH_LEN, "the default path fits its buffer");
char filepath[KR_MEMORY_FILEPATH_LEN] = "./" KR_MEMORY_PROJECT_PREFIX KR_VERSION_NAME ".nvconf";

const char *scope_name(memory_scope_e scope)
{
    switch (scope) {
    case MEMORY_COM_PARAMS: return "COM_PARAMS";
    case MEMORY_APP_PARAMS: return "APP_PARAMS";
    default: return "ALL_PARAMS";
    }
}

// The record as one 32-byte block (little-endian host, so the file is a raw copy).
void record_to_bytes(const kr_data_start_t *s, const kr_data_end_t *e, unsigned char out[KR_MEMORY_RECORD_SIZE])
{
    std::memcpy(out, s, sizeof *s);
    std::memcpy(out + sizeof *s, e, sizeof *e);
}

// Reads at most max bytes; the count read, or -1 on a read error.
ssize_t read_all(int fd, unsigned char *buf, size_t max)
{
    size_t got = 0;
    while (got < max) {
        ssize_t n = read(fd, buf + got, max - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) break;
        got += (size_t)n;
    }
    return (ssize_t)got;
}

bool write_all(int fd, const unsigned char *buf, size_t len)
{
    size_t done = 0;
    while (done < len) {
        ssize_t n = write(fd, buf + done, len - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += (size_t)n;
    }
    return true;
}

} // namespace

void kr_memory_set_data(kr_data_start_t *start, kr_data_end_t *end)
{
    data_start = start ? start : &own_start;
    data_end = end ? end : &own_end;
}

kr_data_start_t *kr_memory_get_data_start(void) { return data_start; }

kr_data_end_t *kr_memory_get_data_end(void) { return data_end; }

void kr_memory_set_defaults(void)
{
    std::memset(data_start, 0, sizeof *data_start);
    std::memset(data_end, 0, sizeof *data_end);
    data_start->id = KR_MEMORY_DEFAULT_NODE_ID;
    data_start->canopen.producer_heartbeat_time_ms = KR_MEMORY_DEFAULT_HEARTBEAT_MS;
}

kr_errors_e kr_memory_load(memory_scope_e scope)
{
    kr_diag("Loading non-volatile %s data from '%s'\n", scope_name(scope), filepath);
    // Without waiting: a FIFO or device in the file's place would hang every run at its open.
    int fd = open(filepath, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        kr_diag("Failed to open the non-volatile data file.\n");
        kr_memory_set_defaults();
        return ERR_NOT_INITIALIZED;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        kr_diag("The non-volatile data file '%s' is not a regular file; using defaults.\n", filepath);
        kr_memory_set_defaults();
        return ERR_NOT_INITIALIZED;
    }
    // The record is the first 32 bytes; whatever follows is not read.
    unsigned char buf[KR_MEMORY_RECORD_SIZE];
    ssize_t got = read_all(fd, buf, sizeof buf);
    close(fd);
    if (got != (ssize_t)KR_MEMORY_RECORD_SIZE) {
        if (got < 0)
            kr_diag("Reading the non-volatile data file '%s' failed: %s\n", filepath, std::strerror(errno));
        else
            kr_diag("The non-volatile data file '%s' is shorter than %u bytes; using defaults.\n", filepath,
                    (unsigned)KR_MEMORY_RECORD_SIZE);
        kr_memory_set_defaults();
        return ERR_NOT_INITIALIZED;
    }
    kr_data_start_t start;
    kr_data_end_t end;
    std::memcpy(&start, buf, sizeof start);
    std::memcpy(&end, buf + sizeof start, sizeof end);
    uint16_t calculated = kr_memory_calc_crc(&start, sizeof start);
    if (calculated != end.hal_crc) {
        kr_diag("calculated crc 0x%x don't match with 0x%x\n", calculated, end.hal_crc);
        kr_memory_set_defaults();
        return ERR_START_CHECKSUM_NOT_MATCH;
    }
    uint16_t app_crc = kr_memory_calc_crc(nullptr, 0);
    if (end.crc != app_crc) {
        kr_diag("calculated crc 0x%x don't match with 0x%x\n", app_crc, end.crc);
        kr_memory_set_defaults();
        return ERR_END_CHECKSUM_NOT_MATCH;
    }
    *data_start = start;
    *data_end = end;
    return ERR_NONE;
}

kr_errors_e kr_memory_save(void)
{
    data_end->crc = kr_memory_calc_crc(nullptr, 0);
    data_end->hal_crc = kr_memory_calc_crc(data_start, sizeof *data_start);
    kr_diag("Flashing %u bytes\n", (unsigned)KR_MEMORY_RECORD_SIZE);
    unsigned char bytes[KR_MEMORY_RECORD_SIZE];
    record_to_bytes(data_start, data_end, bytes);

    // A temporary file beside the old one, renamed over it: the old file stays whole until the new one is.
    std::string tmp = std::string(filepath) + ".XXXXXX";
    int fd = mkstemp(tmp.data());
    const char *why = nullptr;
    int saved_errno = 0;
    if (fd < 0) {
        why = "creating a temporary file";
        saved_errno = errno;
    } else {
        struct stat old;
        fchmod(fd, stat(filepath, &old) == 0 ? (old.st_mode & 07777) : 0644); // mkstemp gives 0600
        if (!write_all(fd, bytes, sizeof bytes)) {
            why = "writing";
        } else if (fsync(fd) != 0) {
            why = "flushing";
        }
        saved_errno = errno;
        if (close(fd) != 0 && !why) {
            why = "closing";
            saved_errno = errno;
        }
        if (!why && rename(tmp.c_str(), filepath) != 0) {
            why = "renaming";
            saved_errno = errno;
        }
        if (why) unlink(tmp.c_str());
    }
    if (why) {
        kr_diag("Creating the non-volatile memory file '%s' failed (%s: %s)\n", filepath, why,
                std::strerror(saved_errno));
        return ERR_INTERNAL;
    }
    return ERR_NONE;
}

kr_errors_e kr_memory_clear(memory_scope_e)
{
    // Nothing is cleared, so nothing may read as cleared.
    std::printf("Memory clear not implemented on Linux target\n");
    return ERR_NOT_IMPLEMENTED;
}

const char *kr_memory_get_nonvol_filepath(void) { return filepath; }

bool kr_memory_set_nonvol_filepath(const char *path)
{
    if (!path || !*path) {
        kr_diag("No non-volatile memory file path given.\n");
        return false;
    }
    size_t len = std::strlen(path);
    if (len >= sizeof filepath) {
        kr_diag("The non-volatile memory file path '%.40s...' is too long: at most %u characters.\n", path,
                (unsigned)(sizeof filepath - 1));
        return false;
    }
    std::memcpy(filepath, path, len + 1);
    return true;
}

const char *kr_memory_get_project_name(void) { return project_name; }

const char *kr_memory_get_default_filepath(void) { return default_filepath; }

const char *kr_memory_get_project_date(const kr_data_start_t *) { return __DATE__ " " __TIME__; }

uint32_t kr_memory_get_project_id(const kr_data_start_t *) { return 0; }

void kr_memory_set_can_baudrate(uint32_t baud) { kr_can_set_baudrate(kr_can_get_dev(), baud); }

void kr_set_id(uint8_t id) { data_start->id = id; }

uint8_t kr_get_id(void) { return 0; }

void kr_get_device_serial(uint32_t dest[4])
{
    if (dest) std::memset(dest, 0, 4 * sizeof dest[0]);
}
