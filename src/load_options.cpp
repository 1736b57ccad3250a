// The firmware binary that the loader falls back on when its command names no file and no device
// was loaded.
#include "load.h"

namespace {

char firmware_bin[DEV_PATH_LEN];

} // namespace

extern "C" {

const char *makekrdev_get_firmware(void) { return firmware_bin; }

} // extern "C"
