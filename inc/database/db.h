/* The device database: one device type's object dictionary, its defines, EMCYs, PDOs and revision
 * notes, loaded from a JSON or YAML document into `dev.db`.
 * Messages go to standard output whatever `silent` says; errors bold red, warnings bold yellow.
 * Valid C11 and C++. */
#ifndef KRCAN_DB_H
#define KRCAN_DB_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "kr_canopen.h"
#include "kr_errors.h"
#include "kr_utilities.h"
#include "database/parser.h"

#ifdef __cplusplus
extern "C" {
#endif

#define DB_ARRAY_MAX_ELEMENTS 255
#define DB_PDO_MAPPING_COUNT 8
#define DB_PDO_MAX_BYTES 8

/* ---- Records ---- */
#define DB_OBJ_MAX_COUNT 512
#define DB_EMCY_MAX_COUNT 128
#define DB_DEFINE_MAX_COUNT 128
#define DB_PDO_MAX_COUNT 128
#define DB_REVNOTE_MAX_COUNT 16
#define DB_REVNOTE_MAX_NOTES 8
#define DB_REVNOTE_MAX_LEN 256
#define DB_INCLUDE_MAX_COUNT 128
#define DB_INCLUDE_MAX_LEN 128
#define DB_EMCY_INFO_COUNT 8

typedef enum { DBVALUE_INT = 0, DBVALUE_STRING = 1 } dbvalue_type_e;

typedef struct {
    dbvalue_type_e type;
    int32_t value_int;
    char *value_str;     /* owned when type is DBVALUE_STRING */
    int64_t value_exact; /* the number as written, sign and all; value_int holds its low 32 bits */
} dbvalue_st;

typedef enum { DB_OBJ_NUMSYS_DEC = 0, DB_OBJ_NUMSYS_HEX = 1 } db_obj_numsys_e;

typedef enum {
    DB_OBJ_TYPE_UNDEFINED = 0,
    DB_OBJ_TYPE_IF_VERSION = 1,
    DB_OBJ_TYPE_NONVOL_PARAM = 2,
    DB_OBJ_TYPE_OPDB = 3,
    DB_OBJ_TYPE_OP_COUNT = 4,
    DB_OBJ_TYPE_CURRENT_OP = 5,
    DB_OBJ_TYPE_EMCY = 6,
    DB_OBJ_TYPE_COUNT = 7
} db_obj_type_e;

typedef struct db_array_child_st {
    dbvalue_st name;
    dbvalue_st min;
    dbvalue_st max;
    dbvalue_st def;
    db_obj_numsys_e numsys;
    struct db_array_child_st *next_sibling;
} db_array_child_st;

typedef struct {
    dbvalue_st name;
    canopen_object_st obj;
    dbvalue_st dataptr;
    char type_str[32];
    db_obj_type_e obj_type;
    db_obj_numsys_e numsys;
    dbvalue_st value;
    dbvalue_st def;
    dbvalue_st min;
    dbvalue_st max;
    db_array_child_st *child_ptr;
    dbvalue_st array_max_size;
    dbvalue_st string_len;
    dbvalue_st string_def;
} db_obj_st;

typedef struct {
    uint32_t revision;
    char notes[DB_REVNOTE_MAX_NOTES][DB_REVNOTE_MAX_LEN];
    uint8_t note_count;
} db_revnote_st;

typedef enum { DB_DEFINE_INT = 0, DB_DEFINE_ENUM = 1, DB_DEFINE_STRING = 2 } db_define_types_e;

typedef struct {
    char name[124];
    db_define_types_e type;
    int64_t value;       /* DB_DEFINE_INT, as written (-2^31 .. 2^32-1) */
    char (*childs)[128]; /* DB_DEFINE_ENUM: owned table of names */
    canopen_object_type_e data_type;
    int32_t child_count;
    char str[1024]; /* DB_DEFINE_STRING */
} db_define_st;

typedef struct {
    char name[124];
    char info_strs[DB_EMCY_INFO_COUNT][128];
    int32_t value;
} db_emcy_st;

typedef struct {
    char cobid[128];
    uint32_t transmission;
    canopen_pdo_mapping_parameter_st mappings;
} db_rxpdo_st;

typedef struct {
    char cobid[128];
    uint32_t transmission;
    int32_t inhibit_time;
    uint32_t event_timer;
    canopen_pdo_mapping_parameter_st mappings;
} db_txpdo_st;

/* Open addressing over twice the objects, so a probe always ends at an empty slot. */
#define DB_OBJ_INDEX_SLOTS (2 * DB_OBJ_MAX_COUNT)

/* What loads and node-id changes leave besides the lists. */
typedef struct {
    bool is_loaded;
    bool is_nodeid_set;
    bool nodeid_force_set; /* a node id given before the load holds over the document's */
    bool load_failed;      /* something would have cut the document silently: the load fails */
    bool last_resolved;    /* the last value text resolved to a number */
    /* Name -> object position + 1 (0: empty slot), kept while a document is parsed: objects are
     * looked up once per entry. */
    bool obj_index_valid;
    uint16_t obj_index[DB_OBJ_INDEX_SLOTS];
} db_state_st;

typedef struct {
    db_obj_st objects_buffer[DB_OBJ_MAX_COUNT];
    kr_vector_st objects;
    uint8_t node_id;
    char dev_name[128];
    char dev_name_upper[128];
    char filepath[128];
    char basepath[128];
    char includes[DB_INCLUDE_MAX_COUNT][DB_INCLUDE_MAX_LEN];
    uint16_t include_count;
    db_emcy_st emcys_buffer[DB_EMCY_MAX_COUNT];
    kr_vector_st emcys;
    uint16_t emcys_index;
    db_define_st defines_buffer[DB_DEFINE_MAX_COUNT];
    kr_vector_st defines;
    db_rxpdo_st rxpdo_buffer[DB_PDO_MAX_COUNT];
    kr_vector_st rxpdos;
    db_txpdo_st txpdo_buffer[DB_PDO_MAX_COUNT];
    kr_vector_st txpdos;
    uint32_t vendor_id;
    uint32_t product_code;
    uint32_t revision_number;
    db_revnote_st revnotes_buffer[DB_REVNOTE_MAX_COUNT];
    kr_vector_st revnotes;
    db_state_st state;
} db_st;

/* ---- Values: an integer and the text it came from ---- */
void dbvalue_init(dbvalue_st *v);
void dbvalue_free(dbvalue_st *v);
bool dbvalue_is_set(const dbvalue_st *v);
void dbvalue_set_int(dbvalue_st *v, int32_t n);
/* Resolves the first len characters of text against the defines of `dev.db`: a "0x" number, an
 * integer define, an enumeration child or a string define substituted into an expression. */
void dbvalue_set_string(dbvalue_st *v, const char *text, size_t len);
void dbvalue_set(dbvalue_st *v, parser_node_st node);

void db_array_child_init(db_array_child_st *child, const db_obj_st *parent);
void db_obj_init(db_obj_st *obj);
void db_obj_deinit(db_obj_st *obj);

/* ---- Loading and lifetime ---- */
bool cmd_db(const char *path);
// cmd_db for the database of an extracted package, run from the package's folder: content files
// outside that folder are refused.
bool cmd_db_in_package(const char *path);
void db_deinit(db_st *db);
bool db_is_loaded(db_st *db);
db_obj_st *db_find_obj(db_st *db, const char *name);
db_define_st *db_define_find(db_st *db, const char *name);

/* ---- Node-id state ---- */
uint8_t db_get_nodeid(db_st *db);
void db_set_nodeid(db_st *db, uint8_t id);
void db_set_nodeid_force(db_st *db, uint8_t id);
void db_get_nodeid_state(db_st *db, uint8_t *id, bool *is_set, bool *forced);
void db_set_nodeid_state(db_st *db, uint8_t id, bool is_set, bool forced);

/* ---- Conversions ---- */
canopen_object_type_e db_str_to_type(const char *text);
/* Whether text is one of the type names db_str_to_type knows (it takes any other as 8-bit). */
bool db_type_name_known(const char *text);
canopen_object_type_e db_paramval_to_type(parser_node_st node);
/* The writers fill dest (at least 40 bytes) and return it. */
char *db_type_to_str(canopen_object_type_e type, char *dest);
char *db_type_to_stdint(canopen_object_type_e type, char *dest);
char *db_permission_to_str(canopen_permissions_e p, char *dest);
char *db_permission_to_longstr(canopen_permissions_e p, char *dest);
char *db_transmission_to_str(uint32_t transmission, char *dest);
/* In place: white space, ',', ':' and '=' become '_', letters upper case. */
char *str_to_upper_nonspace(char *text);
canopen_permissions_e str_to_permissions(parser_node_st node);
db_obj_type_e str_to_objtype(parser_node_st node);
uint32_t str_to_transmission(parser_node_st node);

/* A C identifier from any text: letters upper case, anything outside A-Z, 0-9 and '_' becomes '_'.
 * The generated header and source build every symbol with it. */
void db_c_ident(const char *text, char *dest, size_t dest_length);
/* The device's symbol prefix (the device name made an identifier). */
const char *db_dev_symbol(const db_st *db);
/* An object's symbol: its name as an identifier, with the device prefix unless it starts with it. */
void db_obj_symbol(const db_st *db, const char *name, char *dest, size_t dest_length);

/* ---- Defines, EMCYs, PDOs ---- */
bool parse_defines(db_st *db, parser_node_st node);
bool define_push(db_st *db, const char *name, parser_node_st value_node, parser_node_st parent_node,
                 const char *list_name);
void remove_defines(db_st *db, parser_node_st node);
/* True when the define was read from a container's list (its symbol never reaches the header). */
bool db_define_is_scoped(const db_st *db, const db_define_st *define);
bool pdo_parse_mappings(parser_node_st node, canopen_pdo_mapping_parameter_st *mappings);

/* ---- CAN interface version check ---- */
/* ERR_NONE to go on, ERR_SKIPPED to skip the device, ERR_BUFFER_EMPTY when input ended before an answer. */
kr_errors_e db_check_can_if_version(db_st *db, int32_t file_version, int32_t dev_version, const char *file_source,
                                    const char *dev_source, bool *skip_all);
bool print_revnotes(kr_vector_st *revnotes, uint32_t low, uint32_t high);
/* The one integer reader of the device files (databases and parameter files). Null when the whole of
 * text (len characters) is an integer: an optional sign, then "0x" or "0X" and hexadecimal digits,
 * "0" and octal digits, or decimal digits; otherwise why it is none. */
const char *db_int_text(const char *text, size_t len, int64_t *out);

#ifdef __cplusplus
}
#endif

#endif
