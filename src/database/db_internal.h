// Shared between the device database's source files; not part of its interface.
#ifndef KRCAN_DB_INTERNAL_H
#define KRCAN_DB_INTERNAL_H

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <string>

#include "database/db.h"
#include "run/main.h"

// Messages: notes through say_flushed (standard output, whatever `silent` says). What the load
// passes over (an optional key missing) is a job_warning; a fault of the database is a job_error.

// Set by anything that would otherwise cut the document silently (a list over its limit, a mapping
// over 8 bytes): the load then fails.
void db_mark_failed(void);

// Makes v a text value holding a copy of the first len characters of text; the integer stays and
// what v held before is not freed.
void dbvalue_own(dbvalue_st *v, const char *text, size_t len);

// v becomes the number n: its low 32 bits in value_int, n itself in value_exact, its decimal text.
void dbvalue_set_exact(dbvalue_st *v, int64_t n);
void dbvalue_copy(dbvalue_st *dest, const dbvalue_st *src);

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

#define DB_CONTAINER_MAX_DEPTH 32

// Every numeric field and define value is read through this: a number as above (quoted or not), or a
// text naming a define or an enumeration member, or one that string defines make a number. False
// with a message naming the object (or, when obj_name is empty, the root key) and the key.
bool db_read_number(dbvalue_st *v, parser_node_st node, const char *obj_name, const char *key);
// db_read_number within lo..hi (fields whose range does not depend on the object's type).
bool db_read_in_range(dbvalue_st *v, parser_node_st node, const char *obj_name, const char *key, int64_t lo,
                      int64_t hi);
// Reports and refuses a set value outside lo..hi.
bool db_check_range(const dbvalue_st *v, const char *obj_name, const char *key, int64_t lo, int64_t hi);
// Did the last value text resolve to a number (a hexadecimal text, a define, an enumeration member)?
bool db_value_resolved(void);
// The checks on each final object, once every entry of its name has merged: its values fit its
// type, its shape is whole, its data pointer is an address after every substitution.
bool db_check_objects(db_st *db);
// Why a data pointer's text (after string defines are put in) is no address, or null.
const char *db_pointer_problem(db_st *db, const char *text);
// A text with every header symbol of a string define replaced by the define's text; endless (when
// given) tells of defines that name each other without end.
std::string db_expand_string_defines(db_st *db, const char *text, bool *endless = nullptr);
// Why name may not be a name of the generated source (no identifier, a keyword, reserved to the
// compiler or the library, the firmware's main), or null.
const char *db_c_name_problem(const char *name);
// Does a standard C header or a library header define or declare name at file scope (a macro, a
// type, a function, an enumeration constant, an object)?
bool db_name_declared_by_headers(const char *name);
// Is node a type text of the table (a string, written as the table writes it)?
bool db_type_known(parser_node_st node);
// The range of a scalar type or an array element (by the type name the document wrote); false for
// no integer type.
bool db_type_range(const char *type_str, uint8_t type, int64_t *lo, int64_t *hi);
// Content files named by containers are read unless turned off (the fuzz target does, so that no
// input can make it read any file of the machine).
void db_allow_content_files(bool allow);
// Two objects at one index and sub-index (an array or a string takes its whole index).
bool db_check_duplicates(db_st *db);

#endif
