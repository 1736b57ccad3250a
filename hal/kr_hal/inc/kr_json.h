/* JSON reader and writer without a tree and without the heap.
 *
 * Reader: kr_jsonreader_parse checks the caller's NUL-terminated text against RFC 8259 in one pass and
 * compacts it in place: white space outside strings goes, and every escape inside strings is decoded
 * except \" and \\, which stay as pairs so that a quote in the compacted text always delimits a
 * string. A node is a char* into it (the root's value, a member's opening quote, or an array
 * element's first character), and every query rescans from its node. No scan ever passes the text's
 * terminating NUL. Queries read numbers as 32-bit integers.
 *
 * Writer: appends to a caller's buffer, which always holds the NUL-terminated text written so far.
 * An append that lacks room returns ERR_BUFFER_OVERFLOW and leaves the text as it was. Names and
 * strings are written with JSON's escapes, so the reader gives back every byte 0x01-0xFF as it was.
 * Valid C11 and C++. */
#ifndef KR_JSON_H
#define KR_JSON_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "kr_docerror.h"
#include "kr_errors.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef enum {
    JSON_OBJECT = -100,
    JSON_ARRAY = -99,
    JSON_UNSUPPORTED = 0,
    JSON_INT = 1,
    JSON_BOOL = 2,
    JSON_STRING = 3
} kr_json_types_e;

typedef enum {
    JSON_ERR_NONE = 0,
    JSON_ERR_UNTERMINATED_OBJ = 1,
    JSON_ERR_BAD_VALUE = 2,
    JSON_ERR_SYNTAX = 3
} kr_json_errors_e;

/* Writer state. text_length caches strlen(start_ptr) so that appends stay linear. */
typedef struct {
    char *start_ptr;
    uint32_t buffer_length;
    uint32_t text_length;
} kr_json_st;

/* ---- Reader ---- */

/* The syntax pass. buffer_length bounds the walk: the text is the characters up to the first NUL or
 * buffer_length, and the buffer must hold a NUL right after them (a text that loses nothing is left
 * untouched). A text that is not one RFC 8259 value, a \u0000 escape (texts are C strings) or a
 * nesting deeper than KR_JSON_MAX_DEPTH gives KR_JSON_ERR_SYNTAX with the place and reason in *error
 * (when not null); the buffer is then not to be queried. ERR_NULL_PTR for a null buffer. */
#define KR_JSON_MAX_DEPTH 512u
#define KR_JSON_ERR_SYNTAX ((kr_errors_e)HAL_MODULE_JSON | (kr_errors_e)ERR_SYNTAX)
kr_errors_e kr_jsonreader_parse(char *buffer, uint32_t buffer_length, kr_doc_error_st *error);
/* kr_jsonreader_parse without the error detail. */
kr_errors_e kr_jsonreader_init(char *buffer, uint32_t buffer_length);

kr_json_types_e kr_jsonreader_get_type(char *node);
char *kr_jsonreader_find_child(char *parent, const char *child_name);
char *kr_jsonreader_get_child(char *parent, uint16_t index);
bool kr_jsonreader_get_next_sibling(char *node, char **out);
bool kr_jsonreader_get_obj_name(char *node, char *dest, uint32_t dest_length);
int32_t kr_jsonreader_get_int(char *node);
bool kr_jsonreader_get_bool(char *node);
bool kr_jsonreader_get_string(char *node, char *dest, uint32_t dest_length);
uint32_t kr_jsonreader_get_string_len(char *node);
char *kr_jsonreader_get_string_ptr(char *node);

uint32_t kr_jsonreader_array_get_size(char *node);
char *kr_jsonreader_array_at(char *node, uint32_t index);
kr_json_types_e kr_jsonreader_array_get_type(char *node, uint32_t index);
int32_t kr_jsonreader_array_get_int(char *node, uint32_t index);
bool kr_jsonreader_array_get_bool(char *node, uint32_t index);
bool kr_jsonreader_array_get_string(char *node, uint32_t index, char *dest, uint32_t dest_length);

const char *kr_json_type_to_str(kr_json_types_e type);
/* Like kr_jsonreader_array_get_int, but a quoted number reads as 0. */
int32_t kr_json_array_get_int(char *node, uint32_t index);

/* ---- Writer ----
 * Names and string values are written with the escapes \" \\ \b \f \n \r \t and \u00XX for the other
 * control characters; every other byte is written as it is. */

kr_errors_e kr_jsonwriter_init(kr_json_st *json, char *buffer, uint32_t buffer_length);
kr_errors_e kr_jsonwriter_begin_object_named(kr_json_st *json, const char *name);
kr_errors_e kr_jsonwriter_begin_object(kr_json_st *json);
kr_errors_e kr_jsonwriter_end_object(kr_json_st *json);
kr_errors_e kr_jsonwriter_begin_array(kr_json_st *json, const char *name);
kr_errors_e kr_jsonwriter_end_array(kr_json_st *json);
kr_errors_e kr_jsonwriter_add_int(kr_json_st *json, const char *name, int32_t value);
kr_errors_e kr_jsonwriter_add_int_hex(kr_json_st *json, const char *name, uint32_t value);
/* An unsigned decimal: 32-bit values above 0x7FFFFFFF keep their value. */
kr_errors_e kr_jsonwriter_add_uint(kr_json_st *json, const char *name, uint32_t value);
kr_errors_e kr_jsonwriter_add_bool(kr_json_st *json, const char *name, bool value);
kr_errors_e kr_jsonwriter_add_string(kr_json_st *json, const char *name, const char *value);
kr_errors_e kr_jsonwriter_array_add_int(kr_json_st *json, int32_t value);
kr_errors_e kr_jsonwriter_array_add_int_hex(kr_json_st *json, int32_t value);
kr_errors_e kr_jsonwriter_array_add_bool(kr_json_st *json, bool value);
kr_errors_e kr_jsonwriter_array_add_string(kr_json_st *json, const char *value);
/* Compacts data in place and appends it with a comma; false (nothing appended) when it does not fit. */
bool kr_jsonwriter_append_json(kr_json_st *json, char *data);
/* Appends the JSON string literal of text (quotes included) to out; false when it does not fit in
 * out_size bytes with its terminator. The writer's codec, for callers that write JSON themselves. */
bool kr_json_escape(const char *text, char *out, uint32_t out_size);
/* The length kr_json_escape writes, quotes included, without the terminator. */
uint32_t kr_json_escaped_length(const char *text);
/* Closes the root object and checks the bracket balance outside strings: an unbalanced text gives
 * JSON_ERR_UNTERMINATED_OBJ in errors and HAL_MODULE_JSON | ERR_INTERNAL (0x0700000C). */
kr_errors_e kr_jsonwriter_end(kr_json_st *json, kr_json_errors_e *errors);

#ifdef __cplusplus
}
#endif

#endif
