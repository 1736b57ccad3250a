/* HTTP requests through the outside program curl: the caller composes curl's configuration text, curl
 * runs without a shell as `curl -K FILE` (FILE created 0600 by mkstemp, so no password shows in the
 * process list) and the HTTP status comes back through curl's write-out on a pipe.
 * Temporary files: $TMPDIR (else /tmp), named krcan_TAG_SUFFIX_PID_XXXXXX. Valid C11 and C++. */
#ifndef KRCAN_KRHTTP_H
#define KRCAN_KRHTTP_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define KRHTTP_PATH_LEN 256
#define KRHTTP_KILL_GRACE_S 5 /* curl that outlives its max-time by this much is ended */

/* The common head: silent, show-error, connect-timeout 15, max-time, and a user line when both user
 * and password are given (double quotes, CR and LF dropped, cut to 511 characters, each backslash
 * doubled). Returns the length the whole text needed, which is dest_length or more when it was cut. */
int32_t krhttp_cfg_common(char *dest, uint32_t dest_length, int32_t max_time_s, const char *user, const char *password);

/* Writes text for a double-quoted value of curl's configuration: backslash and double quote escaped.
 * False (dest emptied) when it does not fit or the text holds CR or LF. */
bool krhttp_quote(char *dest, uint32_t dest_length, const char *text);

/* Runs curl with the configuration; the HTTP status, or 0 when there was none (curl missing, failed,
 * ended after max-time + 5 s, printed no status, or the configuration could not be written). */
int32_t krhttp_curl(const char *config);
/* The same; on 0, why (e.g. "curl exited with status 7") goes into err. */
int32_t krhttp_curl_err(const char *config, char *err, uint32_t err_length);
/* The same, with curl stopped (and 0) as soon as the file `output` it writes grows past max_bytes. */
int32_t krhttp_curl_capped(const char *config, const char *output, uint64_t max_bytes, char *err, uint32_t err_length);
/* Runs krhttp_curl; the other two arguments are not used. */
int32_t krhttp_curl_logged(const char *config, const char *dest_path, uint64_t expected_size);
/* One status per line of curl's output into codes (at most max_codes); how many were read. */
uint32_t krhttp_curl_multi(const char *config, int32_t *codes, uint32_t max_codes);

/* Creates an empty temporary file (mode 0600) and leaves its name in dest. False when the name would
 * not fit in dest or the file could not be created; err (may be null) says why. */
bool krhttp_tmp_path(char *dest, uint32_t dest_length, const char *tag, const char *suffix, char *err,
                     uint32_t err_length);
/* Removes a file made by krhttp_tmp_path. Until then Ctrl-C removes it (and stops a running curl). */
void krhttp_tmp_remove(const char *path);
/* Called before the first temporary file is made (the tool sweeps what ended runs left there). */
void krhttp_set_tmp_first_use(void (*hook)(void));

/* The whole regular file as a new text (the caller frees it); null when it cannot be read. */
char *krhttp_read_file(const char *path);
/* The same, null also when the file holds more than max_bytes. */
char *krhttp_read_file_max(const char *path, size_t max_bytes);
/* Writes text to path, owner-only (0600) before the first byte; false on any failure. */
bool krhttp_write_file(const char *path, const char *text);
/* Copies message cut to err_length - 1 and terminated; nothing for a null err or length 0. */
void krhttp_err(char *err, uint32_t err_length, const char *message);
/* The SHA-256 of a file as 64 hexadecimal characters (sha256sum run without a shell); false when it
 * could not be had or out_length is 64 or less. */
bool krhttp_sha256_file(const char *path, char *out, uint32_t out_length);
/* A text for a failed status: 0, 401, 403, 404 or any other. */
void krhttp_status_err(long status, const char *what, char *err, uint32_t err_length);

#ifdef __cplusplus
}
#endif

#endif
