// The file-server client of this build: there is none. Logins and download results say so.
#include "online/remotefiles.h"

#include <cstring>

static const char *const kNotAvailable = "The server file browser is not available in the Linux build yet.";

// Nothing for a null buffer or a zero length; otherwise cut to length - 1 and terminated.
static void fill(char *dest, uint32_t length, const char *text)
{
    if (!dest || length == 0) return;
    size_t n = strnlen(text, length - 1);
    std::memcpy(dest, text, n);
    dest[n] = '\0';
}

bool remotefiles_login(const char *, const char *, const char *, char *err, uint32_t err_length)
{
    fill(err, err_length, kNotAvailable);
    return false;
}
bool remotefiles_login_is_running(void) { return false; }
bool remotefiles_is_logged_in(void) { return false; }
void remotefiles_logout(void) {}
uint32_t remotefiles_get_fleet_count(void) { return 0; }
const char *remotefiles_get_fleet(uint32_t) { return ""; }
bool remotefiles_list(char *, uint32_t) { return false; }
uint32_t remotefiles_get_product_count(void) { return 0; }
const remotefiles_product_st *remotefiles_get_product(uint16_t) { return nullptr; }
bool remotefiles_download(const char *, const char *, uint64_t, char *, uint32_t) { return false; }
void remotefiles_download_async(const char *, const char *, uint64_t) {}
bool remotefiles_download_is_finished(void) { return true; }

bool remotefiles_download_result(char *local_path, uint32_t local_path_length, char *err, uint32_t err_length)
{
    fill(local_path, local_path_length, "");
    fill(err, err_length, kNotAvailable);
    return false;
}
