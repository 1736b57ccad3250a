// Shared between the device database's source files; not part of its interface.
#ifndef KRCAN_DB_INTERNAL_H
#define KRCAN_DB_INTERNAL_H

#include <cstdarg>
#include <cstddef>
#include <cstdio>

#include "database/db.h"

// Messages: standard output, flushed, whatever `silent` says. What the load passes over (an
// optional key missing) is a job_warning; a fault of the database is a job_error and fails the run.
void db_info(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Set by anything that would otherwise cut the document silently (a list over its limit, a mapping
// over 8 bytes): the load then fails.
void db_mark_failed(void);

// Makes v a text value holding a copy of the first len characters of text; the integer stays and
// what v held before is not freed.
void dbvalue_own(dbvalue_st *v, const char *text, size_t len);

// Appends a new object (zeroed, then initialised); null with a message when the list is full.
db_obj_st *db_obj_append(db_st *db);
// Finds an object by exact name text, through the load's name index when one is built.
db_obj_st *db_obj_lookup(db_st *db, const char *name);
void db_obj_index_rebuild(db_st *db);

// Root steps of a document parse.
bool db_parse_emcys(db_st *db, parser_node_st root); // false: the parse ends
void db_add_emcy_objects(db_st *db);
void db_sort_objects(db_st *db);
bool db_parse_pdos(db_st *db, parser_node_st root, bool *result); // false: the parse ends
void db_defines_mark_root(db_st *db);
void db_defines_free(db_st *db);
// Drops the defines pushed since the list held count (a container's, after its file).
void db_defines_truncate(db_st *db, uint16_t count);

// The value an enumeration member has in the generated header: its own "= n" when that is an
// integer, else implicit (one more than the member before).
int32_t enum_member_value(const char *child, int32_t implicit);

// Limits of what a document may say (db_checks.cpp). Each check reports what it refuses, naming
// the object, and marks the load failed.
#define DB_CONTAINER_MAX_DEPTH 32
// The value of a number as written, beyond the reader's 32 bits; false for a name or a text.
bool db_exact_int(parser_node_st node, int64_t *out);
// Sets v from a node that must give a number within lo..hi: an integer, a define or enumeration
// member, or a text that is a number once string defines are put in.
bool db_set_number(dbvalue_st *v, parser_node_st node, const char *obj_name, const char *key, int64_t lo, int64_t hi);
// An identity number of the root (0..0xFFFFFFFF).
bool db_check_u32(const char *key, parser_node_st node, uint32_t *out);
// Did the last value text resolve to a number (a hexadecimal text, a define, an enumeration member)?
bool db_value_resolved(void);
// Is node a type text of the table (a string, written as the table writes it)?
bool db_type_known(parser_node_st node);
// A data pointer's text: a number, or an identifier (after an optional '&') with member and index access.
bool db_address_text(const char *text);
// The range of a scalar type or an array element (by the type name the document wrote); false for
// no integer type.
bool db_type_range(const char *type_str, uint8_t type, int64_t *lo, int64_t *hi);
// Content files named by containers are read unless turned off (the fuzz target does, so that no
// input can make it read any file of the machine).
void db_allow_content_files(bool allow);
// Two objects at one index and sub-index (an array or a string takes its whole index).
bool db_check_duplicates(db_st *db);

#endif
