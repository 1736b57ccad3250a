// The options that describe a package to be written, and the commands that would write packages:
// writing .krdev and .krsys packages is not supported on this platform, so those only say so.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "run/commands.h"
#include "bus/find.h"
#include "system/package.h"
#include "kr_bytes.h"

namespace {

char media_files[MEDIA_MAX_COUNT][1024];
uint32_t media_count = 0;
char media_dir[256] = MEDIA_DIR_DEFAULT;
char esp32_files[ESP32_MAX_COUNT][1024];
uint32_t esp32_offsets[ESP32_MAX_COUNT];
uint32_t esp32_count = 0;

char savesys_path[DEV_PATH_LEN];
char savesys_async_path[DEV_PATH_LEN];
volatile bool savesys_finished = false;

void refuse(const char *format, const char *value) { job_error(format, value); }

void savesys_step(void *)
{
    std::printf("Listening for the devices on the bus...\n");
    std::fflush(stdout);
    find_start_monitor();
    find_update_device_states(&dev.system);
    uint32_t start = kr_rtos_get_tick_count();
    while (!all_devs_online(&dev.system) && kr_rtos_get_tick_count() - start < SAVESYS_HEARTBEAT_WAIT_MS) {
        kr_rtos_task_delay(SAVESYS_HEARTBEAT_POLL_MS);
        find_update_device_states(&dev.system);
    }
    // Nothing can be written here: savesys_save says so as an error, so the run does not end as a success.
    savesys_save(savesys_path);
}

void savesys_task(void *)
{
    savesys_save(savesys_async_path);
    savesys_finished = true;
    kr_rtos_task_delete(nullptr);
}

} // namespace

extern "C" {

bool set_arg(const char *value, char *dest, uint32_t size, const char *name)
{
    if (!value || !value[0]) {
        refuse("Give a value for the '%s' option.\n", name);
        return false;
    }
    if (!dest || std::strlen(value) >= size) {
        refuse("The value given for the '%s' option is too long.\n", name);
        return false;
    }
    std::memcpy(dest, value, std::strlen(value) + 1);
    return true;
}

bool cmd_media(const char *arg)
{
    if (media_count >= MEDIA_MAX_COUNT) {
        job_error("At most %u 'media' options can be given.\n", (unsigned)MEDIA_MAX_COUNT);
        return false;
    }
    if (!set_arg(arg, media_files[media_count], sizeof media_files[0], "media")) return false;
    PRINT("Added '%s' to the media of the package\n", media_files[media_count]);
    media_count++;
    return true;
}

bool cmd_mediadir(const char *arg)
{
    if (arg && arg[0] == '/') {
        job_error("Give the 'mediadir' option a directory name inside the package, not an absolute "
                  "path.\n");
        return false;
    }
    char value[sizeof media_dir];
    if (!set_arg(arg, value, sizeof value, "mediadir")) return false;
    std::memcpy(media_dir, value, sizeof media_dir);
    PRINT("The media directory of the package set to '%s'\n", media_dir);
    return true;
}

bool cmd_esp32(const char *arg)
{
    // "<offset>=<file>": the offset a whole number of at most 32 bits, the file not empty.
    const char *eq = arg ? std::strchr(arg, '=') : nullptr;
    int64_t given = 0;
    bool form = eq && cmdline_read_number(std::string(arg, (size_t)(eq - arg)).c_str(), 0, UINT32_MAX, &given);
    unsigned long long offset = (unsigned long long)given;
    if (!form) {
        refuse("Give the 'esp32' option as <offset>=<file>, e.g. '0x60000=esp-at.bin', not '%s'.\n", arg ? arg : "");
        return false;
    }
    if (esp32_count >= ESP32_MAX_COUNT) {
        job_error("At most %u 'esp32' options can be given.\n", (unsigned)ESP32_MAX_COUNT);
        return false;
    }
    if (!set_arg(eq + 1, esp32_files[esp32_count], sizeof esp32_files[0], "esp32")) return false;
    esp32_offsets[esp32_count] = (uint32_t)offset;
    PRINT("Added ESP32 image '%s' at 0x%lx to the package\n", esp32_files[esp32_count], (unsigned long)offset);
    esp32_count++;
    return true;
}

bool cmd_makekrdev(const char *)
{
    job_error("ERROR: writing .krdev packages is not supported on Linux.\n");
    return false;
}

bool cmd_savesys(const char *arg)
{
    if (!arg || !arg[0]) {
        job_error("ERROR: give the .krsys file to save the system to.\n");
        return false;
    }
    if (dev.system.dev_count == 0) {
        job_error("ERROR: no devices to save. Give them with --dev or --sys before --savesys.\n");
        return false;
    }
    kr_copy_text(savesys_path, sizeof savesys_path, arg);
    if (!add_task(savesys_step)) return false;
    kr_can_set_up(false);
    return true;
}

bool savesys_save(const char *path)
{
    if (!path || !path[0])
        job_error("ERROR: savesys_save: no output file given.\n");
    else
        job_error("ERROR: writing .krsys packages is not supported on Linux.\n");
    std::fflush(stdout);
    return false;
}

void savesys_save_async(const char *path)
{
    kr_copy_text(savesys_async_path, sizeof savesys_async_path, path);
    savesys_finished = false;
    if (kr_rtos_task_create(savesys_task, "savesys_task", 51200, nullptr, 2, nullptr) != KR_RTOS_PASS) {
        savesys_save(savesys_async_path);
        savesys_finished = true;
    }
}

bool savesys_is_finished(void) { return savesys_finished; }

} // extern "C"
