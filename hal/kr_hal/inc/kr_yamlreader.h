/* In-place reader of a YAML subset: one document of block mappings and sequences by indentation,
 * flow collections on one line, plain and quoted scalars (over several lines too), comments.
 * Anchors, aliases, tags, merge keys, complex keys, block scalars, directives and several documents
 * are refused by name, never read as something else.
 * One syntax pass checks the whole text and cleans the caller's buffer, then every query rescans the
 * text from a small node value; nothing is allocated and no tree is built.
 * Valid C11 and C++. */
#ifndef KR_YAMLREADER_H
#define KR_YAMLREADER_H

#include <stdbool.h>
#include <stdint.h>

#include "kr_docerror.h"
#include "kr_errors.h"

#ifdef __cplusplus
extern "C" {
#endif

/* A node: a pointer into the cleaned text. A null ptr is an invalid node; the root has
 * indent -1 and flow false. Flow entries (inside [] or {}) have indent 0. */
typedef struct {
    char *ptr;
    int16_t indent;
    bool flow;
} kr_yaml_node_st;

/* The module's own error codes. */
#define KR_YAML_ERR_INTERNAL ((kr_errors_e)HAL_MODULE_YAML | (kr_errors_e)ERR_INTERNAL)
#define KR_YAML_ERR_SYNTAX ((kr_errors_e)HAL_MODULE_YAML | (kr_errors_e)ERR_SYNTAX)

typedef enum {
    YAML_MAP = -100,
    YAML_SEQ = -99,
    YAML_UNSUPPORTED = 0,
    YAML_INT = 1,
    YAML_BOOL = 2,
    YAML_STRING = 3
} kr_yaml_types_e;

/* The syntax pass: checks the text and cleans it in place (CRs, comments, blank lines and markers
 * go; every scalar is folded onto its entry's line). The text runs to its first NUL or to
 * buffer_length characters, whichever comes first; the cleaned text is NUL-terminated inside the
 * buffer, so buffer_length is the buffer's size: a text that fills it without a NUL and that
 * cleaning does not shorten is refused with ERR_BUFFER_OVERFLOW (pass strlen + 1 for a text
 * read into a buffer with its terminator). Text outside the subset, a node beyond column 32767 or
 * an escape of a NUL gives KR_YAML_ERR_SYNTAX, with the place and reason in *error when it is not
 * null; the buffer is then not to be queried. ERR_NULL_PTR for a null buffer. */
kr_errors_e kr_yamlreader_parse(char *buffer, uint32_t buffer_length, kr_doc_error_st *error);
/* kr_yamlreader_parse without the error detail. */
kr_errors_e kr_yamlreader_init(char *buffer, uint32_t buffer_length);
kr_yaml_node_st kr_yamlreader_get_root(char *buffer);

kr_yaml_types_e kr_yamlreader_get_type(kr_yaml_node_st node);
kr_yaml_node_st kr_yamlreader_find_child(kr_yaml_node_st node, const char *name);
kr_yaml_node_st kr_yamlreader_get_child(kr_yaml_node_st node, int16_t index);
uint32_t kr_yamlreader_get_child_count(kr_yaml_node_st node);
bool kr_yamlreader_get_next_sibling(kr_yaml_node_st node, kr_yaml_node_st *out);

bool kr_yamlreader_get_obj_name(kr_yaml_node_st node, char *dest, uint32_t dest_length);
bool kr_yamlreader_get_string(kr_yaml_node_st node, char *dest, uint32_t dest_length);
/* The length of the text kr_yamlreader_get_string gives (escapes resolved). */
uint32_t kr_yamlreader_get_string_len(kr_yaml_node_st node);
/* The scalar as written, not terminated (a quoted one without its quotes, escapes as they stand),
 * and its length. */
char *kr_yamlreader_get_string_ptr(kr_yaml_node_st node);
uint32_t kr_yamlreader_get_raw_len(kr_yaml_node_st node);
int32_t kr_yamlreader_get_int(kr_yaml_node_st node);
bool kr_yamlreader_get_bool(kr_yaml_node_st node);

kr_yaml_node_st kr_yamlreader_seq_at(kr_yaml_node_st node, int16_t index);
uint32_t kr_yamlreader_seq_get_size(kr_yaml_node_st node);
int32_t kr_yamlreader_seq_get_int(kr_yaml_node_st node, int16_t index);
bool kr_yamlreader_seq_get_bool(kr_yaml_node_st node, int16_t index);
bool kr_yamlreader_seq_get_string(kr_yaml_node_st node, int16_t index, char *dest, uint32_t dest_length);
kr_yaml_types_e kr_yamlreader_seq_get_type(kr_yaml_node_st node, int16_t index);

const char *kr_yaml_type_to_str(kr_yaml_types_e type);

#ifdef __cplusplus
}
#endif

#endif
