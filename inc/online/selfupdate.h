/* The update check: this build's number and name, and the newest published build from the update
 * server's manifest (latest.json over HTTPS, through curl), at once or once in the background task
 * "su_check". This build cannot replace itself. Valid C11 and C++. */
#ifndef KRCAN_SELFUPDATE_H
#define KRCAN_SELFUPDATE_H

#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#ifndef SELFUPDATE_HOST
#define SELFUPDATE_HOST "files.korvane.com"
#endif
#define SELFUPDATE_BASE_URL "https://" SELFUPDATE_HOST "/pub/krcan"
#define SELFUPDATE_MANIFEST "latest.json"
#define SELFUPDATE_MANIFEST_MAX 65536u /* bytes; a manifest is a few hundred */
/* What installing says, also the window's install hint. */
#define SELFUPDATE_APPLY_TEXT                                                                                 \
    "This krcan was built from its source rather than installed as one binary, so it cannot replace itself. " \
    "Build the new one from its source."

typedef struct {
    uint32_t version;
    char name[64];
    char file[128];
    char sha256[72];
    uint64_t size; /* up to 4294967295 */
    char released[32];
    char notes[256];
} selfupdate_info_st;

uint32_t selfupdate_this_version(void);
const char *selfupdate_this_name(void);
/* True when the manifest was fetched and holds a build (a positive version and a file); newer when
 * its version is above this build's. Otherwise false with the reason in err. */
bool selfupdate_check(selfupdate_info_st *info, bool *newer, char *err, uint32_t err_length);
/* Reads a manifest's text (JSON whatever its name; the text is changed in place). */
bool selfupdate_parse_manifest(char *text, selfupdate_info_st *info);

/* At most one background check per process. */
void selfupdate_check_async(void);
/* True exactly once, after the background check has ended; then its results go to the given outputs. */
bool selfupdate_check_poll(selfupdate_info_st *info, bool *ok, bool *newer, char *err, uint32_t err_length);
/* The background check has ended and found a newer build; the report is not taken. */
bool selfupdate_available(selfupdate_info_st *info);

bool selfupdate_can_apply(void);
bool selfupdate_apply(const selfupdate_info_st *info, char *err, uint32_t err_length);
bool selfupdate_apply_async(void);
bool selfupdate_apply_poll(bool *ok, char *err, uint32_t err_length);

#ifdef __cplusplus
}
#endif

#endif
