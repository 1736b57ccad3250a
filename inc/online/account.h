/* The stored account: user name, password, the file server and fleet broker hosts and the update flag,
 * kept between runs in account.conf in the settings folder ($XDG_CONFIG_HOME/krcan, else
 * $HOME/.config/krcan; folder 0700, file 0600). Every change rewrites the whole file through a temporary
 * file renamed over it, so a failed write leaves the old file as it was. Valid C11 and C++. */
#ifndef KRCAN_ACCOUNT_H
#define KRCAN_ACCOUNT_H

#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Built-in hosts, used when the file names none. A host name, no scheme or path. */
#ifndef CREDENTIALS_DEFAULT_URL
#define CREDENTIALS_DEFAULT_URL "files.korvane.com"
#endif
#ifndef CREDENTIALS_DEFAULT_FLEET_URL
#define CREDENTIALS_DEFAULT_FLEET_URL "fleet.korvane.com"
#endif

#define CREDENTIALS_TEXT_LEN 256   /* 255 characters + NUL */
#define CREDENTIALS_FOLDER_MAX 899 /* a longer settings folder gives no path at all */
#define CREDENTIALS_PATH_LEN 1024
#define CREDENTIALS_FILE_NAME "account.conf"

/* The user and pwd commands. */
bool cmd_user(const char *arg);
bool cmd_pwd(const char *arg);

/* Clears the values, reads the file (a regular file only), then fills in the built-in hosts. */
void credentials_init(void);

/* Never null. */
const char *credentials_get_username(void);
const char *credentials_get_password(void);
const char *credentials_get_url(void);
const char *credentials_fleet_get_url(void);
const char *credentials_fleet_get_username(void);
const char *credentials_fleet_get_password(void);
bool credentials_get_check_updates(void);

/* Each keeps at most 255 characters (null means empty) and rewrites the file. A text holding CR or LF
 * is refused and changes nothing. False when refused or when the file could not be written (the value
 * then holds in memory for this run); credentials_last_error says why. */
bool credentials_set_username(const char *text);
bool credentials_set_password(const char *text);
bool credentials_set_url(const char *text);
bool credentials_fleet_set_url(const char *text);
bool credentials_fleet_set_username(const char *text);
bool credentials_fleet_set_password(const char *text);
bool credentials_set_check_updates(bool check);
const char *credentials_last_error(void);

/* The path of file_name in the settings folder, creating the folder (0700). False when no settings
 * folder is usable (HOME unset or relative, the folder over 899 characters, the path longer than dest,
 * or a non-folder in its place). */
bool credentials_config_path(char *dest, uint32_t dest_length, const char *file_name);

#ifdef __cplusplus
}
#endif

#endif
