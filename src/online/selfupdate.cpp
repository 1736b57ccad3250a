// The update check: the manifest through curl, its parsing, and the one background check.
#include "online/selfupdate.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "online/krhttp.h"
#include "kr_bytes.h"
#include "kr_rtos.h"
#include "kr_version.h"
#include "database/parser.h"

namespace {

// Taken from git when the tree is built (cmake/version.cmake).
const uint32_t kThisVersion = KR_BUILD_NUMBER;
const char *const kThisName = KR_VERSION_NAME;
const char *const kNoVersionInfo = "The update server did not answer with version information.";

volatile bool su_async_running = false;
volatile bool su_async_done = false;
volatile bool su_async_ok = false;
volatile bool su_async_newer = false;
volatile bool su_async_reported = false;
selfupdate_info_st su_async_info;
char su_async_err[256];

void read_string(parser_node_st root, const char *key, char *dest, uint32_t size)
{
    parser_node_st n = parser_find_child(root, key);
    if (parser_node_is_valid(n)) parser_get_string(n, dest, size); // a longer text is cut
}

void su_check_task(void *)
{
    selfupdate_info_st info = {};
    bool newer = false;
    char err[sizeof su_async_err] = "";
    bool ok = selfupdate_check(&info, &newer, err, sizeof err);
    su_async_info = info;
    su_async_newer = newer;
    std::memcpy(su_async_err, err, sizeof err);
    su_async_ok = ok;
    su_async_done = true;
    su_async_running = false;
    kr_rtos_task_delete(nullptr);
}

} // namespace

uint32_t selfupdate_this_version(void) { return kThisVersion; }

const char *selfupdate_this_name(void) { return kThisName; }

bool selfupdate_parse_manifest(char *text, selfupdate_info_st *info)
{
    if (!text || !info) return false;
    parser_node_st root = parser_read_buffer(text, std::strlen(text), PARSER_FORMAT_JSON);
    if (!parser_node_is_valid(root) || parser_get_type(root) != PARSER_OBJECT) return false;
    parser_node_st version = parser_find_child(root, "version");
    if (!parser_node_is_valid(version)) return false;
    *info = selfupdate_info_st{};
    // Numbers follow the reader's 32-bit rule; a version must read as a positive number.
    int32_t v = parser_get_int(version);
    if (v <= 0) return false;
    info->version = (uint32_t)v;
    read_string(root, "name", info->name, sizeof info->name);
    read_string(root, "file", info->file, sizeof info->file);
    read_string(root, "sha256", info->sha256, sizeof info->sha256);
    read_string(root, "released", info->released, sizeof info->released);
    read_string(root, "notes", info->notes, sizeof info->notes);
    parser_node_st size = parser_find_child(root, "size");
    if (parser_node_is_valid(size)) info->size = (uint32_t)parser_get_int(size);
    return info->file[0] != '\0';
}

bool selfupdate_check(selfupdate_info_st *info, bool *newer, char *err, uint32_t err_length)
{
    if (newer) *newer = false;
    char why[256] = "";
    char manifest[KRHTTP_PATH_LEN];
    if (!krhttp_tmp_path(manifest, sizeof manifest, "su", "manifest", why, sizeof why)) {
        char msg[400]; // the problem is here, not at the server
        std::snprintf(msg, sizeof msg, "Could not check for updates: %s.", why);
        krhttp_err(err, err_length, msg);
        return false;
    }
    char quoted[2 * KRHTTP_PATH_LEN];
    char config[1024];
    int32_t n = krhttp_cfg_common(config, sizeof config, 20, nullptr, nullptr);
    int32_t status = 0;
    if (n < 0 || (size_t)n >= sizeof config) {
        std::snprintf(why, sizeof why, "the request did not fit its buffer");
    } else if (!krhttp_quote(quoted, sizeof quoted, manifest)) {
        std::snprintf(why, sizeof why, "the temporary file name cannot be given to curl");
    } else {
        n += std::snprintf(config + n, sizeof config - (size_t)n,
                           "proto = \"=https\"\ntlsv1.2\nurl = \"%s/%s\"\noutput = \"%s\"\n"
                           "max-filesize = %u\nwrite-out = \"%%{http_code}\"\n",
                           SELFUPDATE_BASE_URL, SELFUPDATE_MANIFEST, quoted, SELFUPDATE_MANIFEST_MAX);
        // A cut request is never run.
        if (n < 0 || (size_t)n >= sizeof config)
            std::snprintf(why, sizeof why, "the request did not fit its buffer");
        else
            status = krhttp_curl_capped(config, manifest, SELFUPDATE_MANIFEST_MAX, why, sizeof why);
    }
    // A manifest is a few hundred bytes; a body of any size must not fill the memory.
    char *body = status == 200 ? krhttp_read_file_max(manifest, SELFUPDATE_MANIFEST_MAX) : nullptr;
    struct stat st;
    bool oversized = stat(manifest, &st) == 0 && (uint64_t)st.st_size > SELFUPDATE_MANIFEST_MAX;
    krhttp_tmp_remove(manifest);
    if (oversized) { // curl was stopped there, or what came is no manifest
        std::free(body);
        krhttp_err(err, err_length, kNoVersionInfo);
        return false;
    }

    if (status == 200) {
        selfupdate_info_st got = {};
        bool ok = body && selfupdate_parse_manifest(body, &got);
        std::free(body);
        if (!ok) {
            krhttp_err(err, err_length, kNoVersionInfo);
            return false;
        }
        if (info) *info = got;
        if (newer) *newer = kThisVersion < got.version;
        return true;
    }
    char msg[400];
    if (status == 0)
        std::snprintf(msg, sizeof msg, "Could not reach the update server (%s).", why);
    else if (status == 404)
        std::snprintf(msg, sizeof msg, "No update information is published at %s.", SELFUPDATE_BASE_URL);
    else
        std::snprintf(msg, sizeof msg, "The update server returned HTTP %ld.", (long)status);
    krhttp_err(err, err_length, msg);
    return false;
}

void selfupdate_check_async(void)
{
    if (su_async_running || su_async_done) return;
    su_async_running = true;
    if (kr_rtos_task_create(su_check_task, "su_check", 51200, nullptr, 2, nullptr) != KR_RTOS_PASS) {
        std::snprintf(su_async_err, sizeof su_async_err, "The update check could not be started.");
        su_async_ok = false;
        su_async_done = true;
        su_async_running = false;
    }
}

bool selfupdate_check_poll(selfupdate_info_st *info, bool *ok, bool *newer, char *err, uint32_t err_length)
{
    if (!su_async_done || su_async_reported) return false;
    su_async_reported = true;
    if (info) *info = su_async_info;
    if (ok) *ok = su_async_ok;
    if (newer) *newer = su_async_newer;
    kr_copy_text(err, err_length, su_async_err);
    return true;
}

bool selfupdate_available(selfupdate_info_st *info)
{
    if (!su_async_done || !su_async_ok || !su_async_newer) return false;
    if (info) *info = su_async_info;
    return true;
}

bool selfupdate_can_apply(void) { return false; }

bool selfupdate_apply(const selfupdate_info_st *, char *err, uint32_t err_length)
{
    krhttp_err(err, err_length, SELFUPDATE_APPLY_TEXT);
    return false;
}

bool selfupdate_apply_async(void) { return false; }

bool selfupdate_apply_poll(bool *, char *, uint32_t) { return false; }
