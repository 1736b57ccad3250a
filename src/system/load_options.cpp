// The options that describe the firmware of a package to be written: the binary, the simulator
// executable, the bootloader and the version. The binary is also what the loader falls back on when
// its command names no file and no device was loaded.
#include "run/commands.h"
#include "firmware/firmware_loader.h"
#include "system/package.h"

namespace {

char firmware_bin[DEV_PATH_LEN];
char linux_bin[DEV_PATH_LEN];
char bootloader_bin[DEV_PATH_LEN];
char fw_version[128];

} // namespace

extern "C" {

const char *makekrdev_get_firmware(void) { return firmware_bin; }

bool cmd_firmware(const char *arg)
{
    if (!set_arg(arg, firmware_bin, sizeof firmware_bin, "firmware")) return false;
    PRINT("Firmware binary set to '%s'\n", firmware_bin);
    return true;
}

bool cmd_linuxbin(const char *arg)
{
    if (!set_arg(arg, linux_bin, sizeof linux_bin, "linuxbin")) return false;
    PRINT("Linux simulator executable set to '%s'\n", linux_bin);
    return true;
}

bool cmd_bootloader(const char *arg)
{
    if (!set_arg(arg, bootloader_bin, sizeof bootloader_bin, "bootloader")) return false;
    PRINT("Bootloader binary set to '%s'\n", bootloader_bin);
    return true;
}

bool cmd_fwversion(const char *arg)
{
    if (!set_arg(arg, fw_version, sizeof fw_version, "fwversion")) return false;
    PRINT("Firmware version set to '%s'\n", fw_version);
    return true;
}

} // extern "C"
