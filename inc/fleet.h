/* Fleet connection: file-server login and the broker connection. */
#ifndef FLEET_H
#define FLEET_H

#include <stdbool.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct {
    bool files_ok;
    bool broker_ok;
    char err[256];
} fleet_login_st;

void fleet_login(const char *files_url, const char *broker_url, const char *username, const char *password,
                 fleet_login_st *out);
void fleet_login_finish(fleet_login_st *result);

#ifdef __cplusplus
}
#endif

#endif
