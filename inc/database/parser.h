/* One document interface over the JSON and YAML readers and writers: every structured file of the
 * tool (device database, parameter files, package manifests, joystick configuration, update
 * manifest) is read and written through it. A node carries its format; a YAML mapping counts as an
 * object and a YAML sequence as an array.
 *
 * Reads report failure by an invalid node plus the last-error text ("no error" when clean). */
#ifndef PARSER_H
#define PARSER_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "kr_errors.h"
#include "kr_json.h"
#include "kr_yamlreader.h"
#include "kr_yamlwriter.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef enum { PARSER_FORMAT_JSON = 0, PARSER_FORMAT_YAML = 1 } parser_formats_e;

/* The numbers of the JSON and YAML type enumerations. */
typedef enum {
    PARSER_OBJECT = -100,
    PARSER_ARRAY = -99,
    PARSER_UNSUPPORTED = 0,
    PARSER_INT = 1,
    PARSER_BOOL = 2,
    PARSER_STRING = 3
} parser_types_e;

/* Passed by value. Valid when its text pointer (json, or yaml.ptr) is not null. */
typedef struct {
    parser_formats_e format;
    union {
        char *json;
        kr_yaml_node_st yaml;
    };
} parser_node_st;

/* Only the member of the chosen format is used. */
typedef struct {
    parser_formats_e format;
    kr_json_st json;
    kr_yaml_st yaml;
} parser_writer_st;

#define PARSER_ERROR_LENGTH 192u

/* ---- Files and formats ---- */

/* YAML when the extension (after the path's last dot) is "yaml" or "yml" in any case, else JSON. */
parser_formats_e parser_format_from_filename(const char *filename);
const char *parser_format_to_str(parser_formats_e format);
const char *parser_type_to_str(parser_types_e type);

/* Tries DIRECTORY/BASE.json, .yaml and .yml in this order; true for the first regular file that
 * opens, its path left in dest. When none does, dest holds the .json path and the result is false.
 * A candidate that does not fit in dest is never tried; when even the .json path does not fit, dest
 * is emptied. Null arguments give false and leave dest as it is. */
bool parser_find_file(const char *directory, const char *base_name, char *dest, size_t dest_length);

/* Loads a whole regular file and parses it in the format its name gives. On success the text buffer
 * goes to *text_buffer (the caller frees it after the last use of any node; with a null
 * text_buffer it is never freed); on failure *text_buffer is null, and a text the syntax pass
 * refuses (or one holding a NUL byte) leaves "FILE:LINE:COLUMN: reason" as the last error. */
parser_node_st parser_read_file(const char *path, char **text_buffer);

/* Parses the caller's text in place after the readers' syntax pass (JSON is compacted, YAML cleaned);
 * a JSON document must be an object. The text ends at its first NUL or after length characters; in
 * the latter case the buffer must hold length + 1 bytes, as the terminator is written at
 * text[length]. A UTF-8 byte-order mark at the start is skipped. A refused text leaves
 * "LINE:COLUMN: reason" as the last error. */
parser_node_st parser_read_buffer(char *text, size_t length, parser_formats_e format);

const char *parser_last_error(void);

/* Writes text to a temporary file in path's folder, checks every write, the flush to disk and the
 * close, and renames it over path: a failed save leaves the old file as it was. An existing file
 * keeps its permissions; a symbolic link is followed. False with a last-error text on failure. */
bool parser_write_file(const char *path, const char *text);

parser_node_st parser_node_invalid(void);
bool parser_node_is_valid(parser_node_st node);

/* ---- Queries: an invalid node gives 0, false or PARSER_UNSUPPORTED; string copies then empty a
 * non-null dest of non-zero length and give false. ---- */

parser_types_e parser_get_type(parser_node_st node);
int32_t parser_get_int(parser_node_st node);
bool parser_get_bool(parser_node_st node);
/* False when the string was cut to fit. */
bool parser_get_string(parser_node_st node, char *dest, uint32_t dest_length);
/* The length of the text parser_get_string gives at most (JSON: the text in place, escapes as they
 * stand; YAML: escapes resolved), and the text in place, not terminated. */
uint32_t parser_get_string_len(parser_node_st node);
char *parser_get_string_ptr(parser_node_st node);
/* A scalar as written, not terminated: a string's characters between its quotes (escapes as they
 * stand), another JSON value up to its ',', '}' or ']', a YAML scalar without its quotes. Null with 0
 * for a collection, an absent value or an invalid node. */
const char *parser_get_raw(parser_node_st node, uint32_t *length);
/* The key of an object member; a node without a key (root, array element) gives "" and true. */
bool parser_get_obj_name(parser_node_st node, char *dest, uint32_t dest_length);

parser_node_st parser_find_child(parser_node_st node, const char *name);
/* Whether an object names one key twice (a reader would take the first silently); the key goes to
 * dest. False for any other node. */
bool parser_repeated_key(parser_node_st node, char *dest, uint32_t dest_length);
/* The index-th member of an object, or the index-th element of an array. */
parser_node_st parser_get_child(parser_node_st node, uint16_t index);
uint32_t parser_get_child_count(parser_node_st node);
/* True and the next member or element in *out (when non-null); false at the end, out unchanged. */
bool parser_get_next_sibling(parser_node_st node, parser_node_st *out);

parser_node_st parser_array_at(parser_node_st node, uint32_t index);
/* The element after `element` in its array; the invalid node after the last. Walking an array from
 * parser_array_at(node, 0) with this is one pass; parser_array_at walks from the start at each call. */
parser_node_st parser_array_next(parser_node_st element);
uint32_t parser_array_get_size(parser_node_st node);
parser_types_e parser_array_get_type(parser_node_st node, uint32_t index);
/* Past the end: 0, false, or an emptied dest with false. */
int32_t parser_array_get_int(parser_node_st node, uint32_t index);
bool parser_array_get_bool(parser_node_st node, uint32_t index);
bool parser_array_get_string(parser_node_st node, uint32_t index, char *dest, uint32_t dest_length);

/* ---- Writer: the root object is implicit; add its members and finish with parser_writer_end.
 * Each operation returns the underlying writer's code. ---- */

kr_errors_e parser_writer_init(parser_writer_st *writer, char *buffer, uint32_t buffer_length, parser_formats_e format);
kr_errors_e parser_writer_add_string(parser_writer_st *writer, const char *key, const char *value);
kr_errors_e parser_writer_add_int(parser_writer_st *writer, const char *key, int32_t value);
kr_errors_e parser_writer_add_int_hex(parser_writer_st *writer, const char *key, uint32_t value);
/* Decimal without sign: 0xFFFFFFFF is written 4294967295. */
kr_errors_e parser_writer_add_uint(parser_writer_st *writer, const char *key, uint32_t value);
kr_errors_e parser_writer_add_bool(parser_writer_st *writer, const char *key, bool value);
kr_errors_e parser_writer_array_add_string(parser_writer_st *writer, const char *value);
kr_errors_e parser_writer_array_add_int(parser_writer_st *writer, int32_t value);
kr_errors_e parser_writer_array_add_int_hex(parser_writer_st *writer, uint32_t value);
kr_errors_e parser_writer_array_add_bool(parser_writer_st *writer, bool value);
/* A null or empty key opens an anonymous object: an array element. */
kr_errors_e parser_writer_begin_object(parser_writer_st *writer, const char *key);
kr_errors_e parser_writer_end_object(parser_writer_st *writer);
kr_errors_e parser_writer_begin_array(parser_writer_st *writer, const char *key);
kr_errors_e parser_writer_end_array(parser_writer_st *writer);
/* Appends a finished document (another writer's text) as the next element of the open array. JSON
 * compacts doc in place. True only when all of it fitted; otherwise the text is left as it was. */
bool parser_writer_array_append_doc(parser_writer_st *writer, char *doc);
kr_errors_e parser_writer_end(parser_writer_st *writer);

#ifdef __cplusplus
}
#endif

#endif
