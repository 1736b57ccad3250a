/* Block-style YAML writer into a caller's buffer: two-space indentation, `- ` items, nested
 * collections as sequence items, empty collections in flow form. A bit-stack of open collections
 * stands in for a tree, so each write is one append after a room check. Output reads back with
 * kr_yamlreader. Valid C11 and C++. */
#ifndef KR_YAMLWRITER_H
#define KR_YAMLWRITER_H

#include <stdbool.h>
#include <stdint.h>

#include "kr_errors.h"
#include "kr_yamlreader.h"

#ifdef __cplusplus
extern "C" {
#endif

#define KR_YAML_MAX_DEPTH 32

typedef enum {
    YAML_ERR_NONE = 0,
    YAML_ERR_UNTERMINATED_OBJ = 1,
    YAML_ERR_BAD_VALUE = 2,
    YAML_ERR_SYNTAX = 3
} kr_yaml_errors_e;

typedef struct {
    char *start_ptr; /* always holds the NUL-terminated text written so far */
    uint32_t buffer_length;
    uint8_t depth;          /* open collections */
    uint32_t seq_mask;      /* bit d-1: the collection at depth d is a sequence */
    uint8_t pending_dashes; /* anonymous sequence items whose `- ` is not written yet */
    uint32_t empty_mask;    /* bit d-1: the collection at depth d has no line yet */
    bool quote_strings;     /* every string value double-quoted */
    uint32_t length;        /* length of the text, so appends stay linear */
    uint32_t implicit_mask; /* bit d-1: the mapping at depth d wraps a keyed collection that
                                was opened as a sequence item, and closes with it */
} kr_yaml_st;

/* KR_YAML_ERR_INTERNAL (0x1800000C): an end without an open collection, or a document finished
 * with collections open. KR_YAML_ERR_SYNTAX: a key-less entry or collection inside a mapping, which
 * could not be read back. */

kr_errors_e kr_yamlwriter_init(kr_yaml_st *st, char *buffer, uint32_t buffer_length);
void kr_yamlwriter_set_quote_strings(kr_yaml_st *st, bool quote);
kr_errors_e kr_yamlwriter_begin_map(kr_yaml_st *st, const char *key);
kr_errors_e kr_yamlwriter_begin_seq(kr_yaml_st *st, const char *key);
kr_errors_e kr_yamlwriter_end_map(kr_yaml_st *st);
kr_errors_e kr_yamlwriter_end_seq(kr_yaml_st *st);
kr_errors_e kr_yamlwriter_add_string(kr_yaml_st *st, const char *key, const char *value);
kr_errors_e kr_yamlwriter_add_int(kr_yaml_st *st, const char *key, int32_t value);
kr_errors_e kr_yamlwriter_add_int_hex(kr_yaml_st *st, const char *key, uint32_t value);
kr_errors_e kr_yamlwriter_add_uint(kr_yaml_st *st, const char *key, uint32_t value);
kr_errors_e kr_yamlwriter_add_bool(kr_yaml_st *st, const char *key, bool value);
kr_errors_e kr_yamlwriter_seq_add_string(kr_yaml_st *st, const char *value);
kr_errors_e kr_yamlwriter_seq_add_int(kr_yaml_st *st, int32_t value);
kr_errors_e kr_yamlwriter_seq_add_int_hex(kr_yaml_st *st, uint32_t value);
kr_errors_e kr_yamlwriter_seq_add_bool(kr_yaml_st *st, bool value);
bool kr_yamlwriter_append_yaml(kr_yaml_st *st, const char *text);
kr_errors_e kr_yamlwriter_end(kr_yaml_st *st, kr_yaml_errors_e *errors);

#ifdef __cplusplus
}
#endif

#endif
