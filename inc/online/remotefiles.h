/* The file-server client: the account's fleets, their product listings and downloads. This build has
 * no client: logins and downloads fail with a text that says so. Every call that fills a caller's
 * buffer writes nothing for a null buffer or a zero length, and otherwise cuts the text to
 * length - 1 and terminates it. Valid C11 and C++. */
#ifndef KRCAN_REMOTEFILES_H
#define KRCAN_REMOTEFILES_H

#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define REMOTEFILES_MAX_FLEETS 16
#define REMOTEFILES_FLEET_MAX 64 /* characters of a fleet name */

typedef struct {
    char version[96];
    char path[512];
    char released[32];
    char notes[256];
    char sha256[72];
    uint64_t size;
    char modified[40];
} remotefiles_version_st;

typedef struct {
    char id[256];
    char name[128];
    uint8_t fleet; /* the fleet it belongs to */
    remotefiles_version_st *versions;
    uint16_t version_count;
    uint16_t version_cap;
} remotefiles_product_st;

bool remotefiles_login(const char *url, const char *username, const char *password, char *err, uint32_t err_length);
bool remotefiles_login_is_running(void);
bool remotefiles_is_logged_in(void);
void remotefiles_logout(void);
uint32_t remotefiles_get_fleet_count(void);
const char *remotefiles_get_fleet(uint32_t index);
bool remotefiles_list(char *err, uint32_t err_length);
uint32_t remotefiles_get_product_count(void);
const remotefiles_product_st *remotefiles_get_product(uint16_t index);
bool remotefiles_download(const char *server_path, const char *local_path, uint64_t size, char *err,
                          uint32_t err_length);
void remotefiles_download_async(const char *server_path, const char *local_path, uint64_t size);
bool remotefiles_download_is_finished(void);
bool remotefiles_download_result(char *local_path, uint32_t local_path_length, char *err, uint32_t err_length);

#ifdef __cplusplus
}
#endif

#endif
