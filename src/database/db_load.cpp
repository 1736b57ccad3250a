// Loading the device database: a document with its containers and content files, read into the
// object list, and the state a load leaves (loaded or not, the node id, the module's messages).
#include <algorithm>
#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "run/console.h"
#include "system/package.h"
#include "db_internal.h"
#include "kr_bytes.h"

// Content files being read, outermost first: a file that includes itself would never end.
static std::vector<std::string> open_content;
// Objects past the dictionary's limit in this load, and the first of them.
static uint32_t objects_dropped = 0;
static std::string first_dropped;
static constexpr size_t CONTENT_MAX_DEPTH = 32;

void db_mark_failed(void) { dev.db.state.load_failed = true; }

/* ---- Node-id state ---- */

uint8_t db_get_nodeid(db_st *db)
{
    if (!db || (!db->state.is_loaded && !db->state.is_nodeid_set)) return 0;
    return db->node_id;
}

void db_set_nodeid(db_st *db, uint8_t id)
{
    if (!db || db->state.nodeid_force_set) return;
    db->node_id = id;
    db->state.is_nodeid_set = true;
}

void db_set_nodeid_force(db_st *db, uint8_t id)
{
    if (!db) return;
    db->node_id = id;
    db->state.is_nodeid_set = true;
    db->state.nodeid_force_set = true;
}

void db_get_nodeid_state(db_st *db, uint8_t *id, bool *is_set, bool *forced)
{
    if (id) *id = db ? db->node_id : 0;
    if (is_set) *is_set = db && db->state.is_nodeid_set;
    if (forced) *forced = db && db->state.nodeid_force_set;
}

void db_set_nodeid_state(db_st *db, uint8_t id, bool is_set, bool forced)
{
    if (!db) return;
    db->node_id = id;
    db->state.is_nodeid_set = is_set;
    db->state.nodeid_force_set = forced;
}

/* ---- Objects ---- */

db_obj_st *db_find_obj(db_st *db, const char *name)
{
    if (!db || !name) return nullptr;
    for (uint16_t i = 0; i < db->objects.len; ++i)
        if (std::strcmp(db->objects_buffer[i].name.value_str, name) == 0) return &db->objects_buffer[i];
    return nullptr;
}

// The slot of name in the index: the one that holds it, else the empty slot where it would go.
static uint16_t *obj_index_slot(db_st *db, const char *name)
{
    uint32_t hash = 2166136261u; // FNV-1a
    for (const char *c = name; *c; ++c) hash = (hash ^ (uint8_t)*c) * 16777619u;
    for (uint32_t i = hash % DB_OBJ_INDEX_SLOTS;; i = (i + 1) % DB_OBJ_INDEX_SLOTS) {
        uint16_t *slot = &db->state.obj_index[i];
        if (*slot == 0 || std::strcmp(db->objects_buffer[*slot - 1].name.value_str, name) == 0) return slot;
    }
}

// The first object of a name wins, as in the linear search.
static void obj_index_add(db_st *db, uint16_t position)
{
    uint16_t *slot = obj_index_slot(db, db->objects_buffer[position].name.value_str);
    if (*slot == 0) *slot = (uint16_t)(position + 1);
}

db_obj_st *db_obj_lookup(db_st *db, const char *name)
{
    if (!db->state.obj_index_valid) return db_find_obj(db, name);
    uint16_t slot = *obj_index_slot(db, name);
    return slot == 0 ? nullptr : &db->objects_buffer[slot - 1];
}

void db_obj_index_rebuild(db_st *db)
{
    std::memset(db->state.obj_index, 0, sizeof db->state.obj_index);
    for (uint16_t i = 0; i < db->objects.len; ++i) obj_index_add(db, i);
    db->state.obj_index_valid = true;
}

db_obj_st *db_obj_append(db_st *db)
{
    if (db->objects.len >= DB_OBJ_MAX_COUNT) return nullptr;
    db_obj_st *obj = &db->objects_buffer[db->objects.len++];
    std::memset(obj, 0, sizeof *obj);
    db_obj_init(obj);
    return obj;
}

void db_deinit(db_st *db)
{
    if (!db) return;
    db->state.is_loaded = false;
    db_defines_free(db);
    for (uint16_t i = 0; i < db->objects.len; ++i) db_obj_deinit(&db->objects_buffer[i]);
    db->objects.len = 0;
    db->emcys.len = 0;
    db->defines.len = 0;
    db->revnotes.len = 0;
    db->rxpdos.len = 0;
    db->txpdos.len = 0;
    db->state.obj_index_valid = false;
}

bool db_is_loaded(db_st *db) { return db && db->state.is_loaded; }

/* ---- Parsing a document ---- */

static bool parse_obj_dict_obj(db_st *db, parser_node_st node, const char *base);

// Looks a key up; when it is absent and required (report), the load fails: an object without its
// index, pointer or limits would be exported at 0x0000, as NULL, or with 0 below its minimum.
static parser_node_st check_obj(parser_node_st node, const char *key, const char *obj_name, bool report)
{
    parser_node_st n = parser_find_child(node, key);
    if (!parser_node_is_valid(n) && report) {
        job_error("\"%s\" field not found in parameter \"%s\"\n", key, obj_name);
        db_mark_failed();
    }
    return n;
}

static bool add_include(db_st *db, const char *path)
{
    for (uint16_t i = 0; i < db->include_count; ++i)
        if (std::strcmp(db->includes[i], path) == 0) return true;
    if (db->include_count >= DB_INCLUDE_MAX_COUNT) {
        job_error("More than %u content files, '%s' and the ones after it are not listed as a part of the "
                  "database.\n",
                  (unsigned)DB_INCLUDE_MAX_COUNT, path);
        db_mark_failed();
        return false;
    }
    kr_copy_text(db->includes[db->include_count++], DB_INCLUDE_MAX_LEN, path);
    return true;
}

// The folder of path followed by "/" ("./" for a bare name).
static std::string folder_of(const char *path)
{
    std::vector<char> copy(path, path + std::strlen(path) + 1);
    std::string dir = kr_win_dirname(copy.data());
    return dir + "/";
}

// What the readers would take silently and the document cannot mean: a key given twice in one
// object (the first wins). Block scalars and further YAML documents the reader refuses itself.
static bool shape_ok(parser_node_st node, const char *file, unsigned depth)
{
    const parser_types_e kind = parser_get_type(node);
    if ((kind != PARSER_OBJECT && kind != PARSER_ARRAY) || depth > 64) return true;
    bool ok = true;
    if (char key[256]; parser_repeated_key(node, key, sizeof key)) {
        job_error("'%s' gives the key '%s' twice in one object.\n", file, key);
        ok = false;
    }
    parser_node_st c = parser_get_child(node, 0);
    while (parser_node_is_valid(c)) {
        ok = shape_ok(c, file, depth + 1) && ok;
        if (!parser_get_next_sibling(c, &c)) break;
    }
    return ok;
}

static bool document_ok(parser_node_st root, const char *file)
{
    const bool ok = shape_ok(root, file, 0);
    if (!ok) db_mark_failed();
    return ok;
}

static bool content_files_allowed = true;

void db_allow_content_files(bool allow) { content_files_allowed = allow; }

// Set while a package's database loads (from the package's folder): its content files stay inside.
static bool content_in_folder = false;

bool cmd_db_in_package(const char *path)
{
    // A package's database names its own device: a node id forced for another device (or given on
    // the command line) must not hold over it. Callers force the device's node id afterwards.
    db_set_nodeid_state(&dev.db, 0, false, false);
    content_in_folder = true;
    const unsigned errors_before = job_error_count();
    bool ok = cmd_db(path);
    content_in_folder = false;
    // A package's load runs with standard output silenced: its first error still says why.
    if (!ok && job_error_count() > errors_before)
        std::fprintf(stderr, "The database '%s' was refused: %s", path, job_error_text(errors_before));
    return ok;
}

static bool parse_content_file(db_st *db, parser_node_st node, parser_node_st content, const char *base)
{
    parser_node_st defines = parser_find_child(node, "defines");
    const uint16_t defines_before = db->defines.len;
    bool result = true;
    if (parser_node_is_valid(defines)) result = parse_defines(db, defines);

    char name[DB_INCLUDE_MAX_LEN * 2] = "";
    parser_get_string(content, name, sizeof name);
    std::string path = std::string(base) + name;
    if (path.size() > DB_INCLUDE_MAX_LEN - 1) {
        job_error("Content file path '%s' is longer than %u characters.\n", path.c_str(),
                  (unsigned)DB_INCLUDE_MAX_LEN - 1);
        db_mark_failed();
    } else if (!result) {
        job_error("Skipping content file '%s' because of error in defines\n", path.c_str());
    } else if (content_in_folder && !package_path_is_inside(path.c_str())) {
        job_error("Content file '%s' lies outside the package; it is not read.\n", path.c_str());
        db_mark_failed();
    } else if (!content_files_allowed) {
        job_error("Content file '%s' is not read: content files are turned off.\n", path.c_str());
        db_mark_failed();
    } else if (std::find(open_content.begin(), open_content.end(), path) != open_content.end() ||
               open_content.size() >= CONTENT_MAX_DEPTH) {
        job_error("Content file '%s' includes itself; it is not read again.\n", path.c_str());
        db_mark_failed();
    } else {
        say_flushed("reading content file '%s'\n", path.c_str());
        char *text = nullptr;
        parser_node_st root = parser_read_file(path.c_str(), &text);
        if (!parser_node_is_valid(root)) {
            // The objects it holds would be missing from the device's dictionary.
            job_error("Failed to open content file '%s'.\n", path.c_str());
            job_error("%s\n", parser_last_error());
            db_mark_failed();
        } else {
            add_include(db, path.c_str());
            document_ok(root, path.c_str());
            open_content.push_back(path);
            // An error inside the file fails the load like one in the document itself.
            if (!parse_obj_dict_obj(db, root, folder_of(path.c_str()).c_str())) {
                job_error("Content file '%s' has errors.\n", path.c_str());
                db_mark_failed();
            }
            open_content.pop_back();
        }
        std::free(text);
    }
    // The container's defines hold only while its file is read (also those of a list that failed).
    db_defines_truncate(db, defines_before);
    return result;
}

static bool parse_container(db_st *db, parser_node_st node, parser_node_st content, const char *base)
{
    bool result = true;
    parser_types_e kind = parser_get_type(content);
    if (kind == PARSER_STRING) {
        result = parse_content_file(db, node, content, base);
    } else if (kind == PARSER_ARRAY) {
        // Defines hold only while a content file is read: here they would be passed over without a word.
        if (parser_node_is_valid(parser_find_child(node, "defines"))) {
            job_error("A CONTAINER with a 'content' array cannot hold \"defines\" (they hold only while a content "
                      "file is read): give them in DEFINES.\n");
            db_mark_failed();
            result = false;
        }
        bool required_ok = true;
        parser_node_st require = parser_find_child(node, "require");
        if (parser_get_type(require) == PARSER_ARRAY) {
            parser_node_st r = parser_get_child(require, 0);
            while (parser_node_is_valid(r)) {
                char name[1024] = "";
                parser_get_string(r, name, sizeof name);
                if (!db_define_find(db, name)) {
                    job_error("CONTAINER requires define '%s' to be defined\n", name);
                    required_ok = false;
                    break;
                }
                if (!parser_get_next_sibling(r, &r)) break;
            }
        }
        // Content that needs a missing define would resolve to wrong values: it is not read.
        if (!required_ok) {
            result = false;
        } else {
            parser_node_st e = parser_get_child(content, 0);
            while (parser_node_is_valid(e)) {
                if (parser_get_type(e) != PARSER_OBJECT) {
                    job_error("'content' array in CONTAINER contained\nother types than objects.\n");
                    result = false;
                    break;
                }
                result = parse_obj_dict_obj(db, e, base);
                if (!result) break;
                if (!parser_get_next_sibling(e, &e)) break;
            }
        }
    } else {
        job_error("'content' not array or string in CONTAINER\n");
        result = false;
    }
    parser_node_st data = parser_find_child(node, "data");
    if (parser_get_type(data) == PARSER_ARRAY) {
        parser_node_st e = parser_get_child(data, 0);
        while (parser_node_is_valid(e)) {
            if (parser_get_type(e) == PARSER_OBJECT && !parse_obj_dict_obj(db, e, base)) result = false;
            if (!parser_get_next_sibling(e, &e)) break;
        }
    }
    return result;
}

static bool is_scalar(canopen_object_type_e t) { return !canopen_type_is_array(t) && t != CANOPEN_STRING; }

static const char *kind_of(canopen_object_type_e t)
{
    return is_scalar(t) ? "a number" : t == CANOPEN_STRING ? "a string" : "an array";
}

// A name is the text as written, normalised: never a value, so no define rewrites it.
static void set_name(dbvalue_st *v, const char *text)
{
    dbvalue_free(v);
    dbvalue_own(v, text, std::strlen(text));
    str_to_upper_nonspace(v->value_str);
}

static void child_default_name(db_array_child_st *child, int64_t i)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "CHILD%" PRIi64, i + 1);
    set_name(&child->name, buf);
}

static bool parse_array_data(db_st *db, db_obj_st *obj, parser_node_st node, const char *name)
{
    parser_node_st data = parser_find_child(node, "data");
    bool has_data = parser_get_type(data) == PARSER_ARRAY;
    uint32_t data_count = has_data ? parser_array_get_size(data) : 0;
    if (!has_data && obj->array_max_size.value_int == 0) {
        job_error("array type object '%s' should define children count\neither with \"arraysize\" or \"data\".\n",
                  name);
        db_mark_failed();
        return false;
    }
    // An array the size does not hold, or one without elements, has no C form that compiles.
    if (dbvalue_is_set(&obj->array_max_size) && ((int64_t)obj->array_max_size.value_int < (int64_t)data_count ||
                                                 (obj->array_max_size.value_int == 0 && data_count == 0))) {
        job_error("Array object '%s': \"arraysize\" %" PRIi32 " does not hold its %u \"data\" element(s)%s.\n", name,
                  obj->array_max_size.value_int, (unsigned)data_count, data_count == 0 ? " (an array needs one)" : "");
        db_mark_failed();
        return false;
    }
    if (!dbvalue_is_set(&obj->array_max_size)) {
        dbvalue_set_int(&obj->array_max_size, (int32_t)data_count);
        obj->obj.array_max_size = (uint8_t)data_count;
    }
    int64_t count = std::max<int64_t>(obj->array_max_size.value_int, data_count);
    if (count > DB_ARRAY_MAX_ELEMENTS) {
        job_error("Array object '%s' has %" PRIi64 " elements, more than the %u an array can hold.\n", name, count,
                  (unsigned)DB_ARRAY_MAX_ELEMENTS);
        db_mark_failed();
        return false;
    }
    bool ok = true;
    db_array_child_st **link = &obj->child_ptr;
    parser_node_st element = has_data ? parser_get_child(data, 0) : parser_node_invalid();
    for (int64_t i = 0; i < count; ++i) {
        if (!*link) {
            auto *c = static_cast<db_array_child_st *>(std::calloc(1, sizeof(db_array_child_st)));
            if (!c) {
                std::fprintf(stderr, "out of memory\n");
                std::abort();
            }
            db_array_child_init(c, obj);
            *link = c;
        }
        db_array_child_st *child = *link;
        const bool valid = parser_node_is_valid(element);
        const parser_types_e kind = parser_get_type(element);
        if (valid && (kind == PARSER_INT || kind == PARSER_STRING)) {
            // A plain number (or define) is the element's default.
            if (child->name.value_str[0] == '\0') child_default_name(child, i);
            std::string cname = std::string(name) + " " + child->name.value_str;
            if (!db_read_number(&child->def, element, cname.c_str(), "default")) ok = false;
        } else if (valid && kind == PARSER_OBJECT) {
            parser_node_st n = parser_find_child(element, "name");
            if (parser_node_is_valid(n)) {
                char text[128] = "";
                if (parser_get_type(n) != PARSER_STRING || !parser_get_string(n, text, sizeof text) || !text[0]) {
                    job_error("Array object '%s': element %" PRIi64 " has a \"name\" that is no text of 1 to 127 "
                              "characters.\n",
                              name, i + 1);
                    ok = false;
                } else {
                    set_name(&child->name, text);
                }
            }
            if (child->name.value_str[0] == '\0') child_default_name(child, i);
            char ns[64] = "";
            parser_get_string(parser_find_child(element, "numsystem"), ns, sizeof ns);
            if (std::strcmp(ns, "HEX") == 0) child->numsys = DB_OBJ_NUMSYS_HEX;
            std::string cname = std::string(name) + " " + child->name.value_str;
            n = parser_find_child(element, "min");
            if (parser_node_is_valid(n) && !db_read_number(&child->min, n, cname.c_str(), "min")) ok = false;
            n = parser_find_child(element, "max");
            if (parser_node_is_valid(n) && !db_read_number(&child->max, n, cname.c_str(), "max")) ok = false;
            n = parser_find_child(element, "default");
            if (!parser_node_is_valid(n)) n = parser_find_child(element, "value");
            if (parser_node_is_valid(n) && !db_read_number(&child->def, n, cname.c_str(), "default")) ok = false;
        } else if (valid) {
            job_error("Array object '%s': element %" PRIi64 " of \"data\" is neither an object nor a number.\n", name,
                      i + 1);
            ok = false;
        } else if (child->name.value_str[0] == '\0') {
            child_default_name(child, i);
            dbvalue_set_int(&child->def, 0);
        }
        if (valid && !parser_get_next_sibling(element, &element)) element = parser_node_invalid();
        link = &child->next_sibling;
    }
    (void)db;
    if (!ok) db_mark_failed();
    return ok;
}

static bool parse_object(db_st *db, parser_node_st node)
{
    parser_node_st name_node = parser_find_child(node, "name");
    if (!parser_node_is_valid(name_node)) {
        job_error("Object without name found.\n");
        return false;
    }
    char name[128] = "";
    if (parser_get_type(name_node) != PARSER_STRING) {
        job_error("Object with a \"name\" that is no text found.\n");
        db_mark_failed();
        return false;
    }
    if (!parser_get_string(name_node, name, sizeof name) && parser_get_string_len(name_node) >= sizeof name) {
        job_error("Object name '%.*s...' is longer than %u characters.\n", 40, name, (unsigned)sizeof name - 1);
        db_mark_failed();
        return false;
    }
    // Every object without a name would merge into one.
    if (!name[0]) {
        job_error("Object with an empty \"name\" found.\n");
        db_mark_failed();
        return false;
    }
    str_to_upper_nonspace(name);

    db_obj_st *obj = db_obj_lookup(db, name);
    bool is_new = obj == nullptr;
    if (is_new) {
        obj = db_obj_append(db);
        if (!obj) {
            // Said once for the whole load, with the count: a line per object would bury every other message.
            if (objects_dropped++ == 0) first_dropped = name;
            db_mark_failed();
            return false;
        }
        set_name(&obj->name, name);
        if (db->state.obj_index_valid) obj_index_add(db, (uint16_t)(obj - db->objects_buffer));
    }
    const char *oname = obj->name.value_str;

    bool ok = true;
    dbvalue_st tmp;
    dbvalue_init(&tmp);
    parser_node_st n = check_obj(node, "index", oname, is_new);
    if (parser_node_is_valid(n)) {
        if (db_read_in_range(&tmp, n, oname, "index", 0, 0xFFFF))
            obj->obj.main_index = (uint16_t)tmp.value_int;
        else
            ok = false;
    }
    n = parser_find_child(node, "index_offset");
    if (parser_node_is_valid(n) && !db_read_in_range(&tmp, n, oname, "index_offset", -0xFFFF, 0xFFFF)) {
        ok = false;
    } else if (parser_node_is_valid(n)) {
        int64_t index = (int64_t)obj->obj.main_index + tmp.value_int;
        if (index < 0 || index > 0xFFFF) {
            job_error("Object '%s': index 0x%x with \"index_offset\" %" PRIi32 " is outside 0x0..0xFFFF.\n", oname,
                      (unsigned)obj->obj.main_index, tmp.value_int);
            ok = false;
        }
        obj->obj.main_index = (uint16_t)index;
    }

    // Without a type or permissions the entry would go into the dictionary as something else.
    if (is_new && (!parser_node_is_valid(parser_find_child(node, "type")) ||
                   !parser_node_is_valid(parser_find_child(node, "permissions"))))
        ok = false;
    n = check_obj(node, "type", oname, is_new);
    if (parser_node_is_valid(n) && !db_type_known(n)) {
        // Taken as UNSIGNED8, the object would hold something else than the document means.
        char text[64] = "(not a text)";
        if (parser_get_type(n) == PARSER_STRING) parser_get_string(n, text, sizeof text);
        job_error("Object '%s': \"type\" '%s' is not a type the database knows.\n", oname, text);
        ok = false;
    } else if (parser_node_is_valid(n) && !is_new && kind_of(db_paramval_to_type(n)) != kind_of(obj->obj.type)) {
        // The values an earlier entry gave (a default, a text, the elements) have no place in the other
        // kind, and a scalar's sub-index would be read from the array size that shares its field.
        job_error("Object '%s': a later entry makes it %s, but it is %s.\n", oname, kind_of(db_paramval_to_type(n)),
                  kind_of(obj->obj.type));
        ok = false;
    } else if (parser_node_is_valid(n)) {
        obj->obj.type = db_paramval_to_type(n);
        parser_get_string(n, obj->type_str, sizeof obj->type_str);
    }
    char ns[64] = "";
    if (parser_get_string(parser_find_child(node, "numsystem"), ns, sizeof ns) && std::strcmp(ns, "HEX") == 0)
        obj->numsys = DB_OBJ_NUMSYS_HEX;
    n = check_obj(node, "permissions", oname, is_new);
    if (parser_node_is_valid(n)) {
        char perm[64] = "";
        parser_get_string(n, perm, sizeof perm);
        if (std::strcmp(perm, "CANOPEN_RO") && std::strcmp(perm, "CANOPEN_RW") && std::strcmp(perm, "CANOPEN_WO")) {
            job_error("Object '%s': \"permissions\" '%s' is none of CANOPEN_RO, CANOPEN_RW and CANOPEN_WO.\n", oname,
                      perm);
            ok = false;
        }
        obj->obj.permissions = str_to_permissions(n);
    }
    n = parser_find_child(node, "data_type");
    if (parser_node_is_valid(n)) obj->obj_type = str_to_objtype(n);

    canopen_object_type_e type = obj->obj.type;
    if (is_scalar(type)) {
        n = check_obj(node, "subindex", oname, is_new);
        if (parser_node_is_valid(n)) {
            if (db_read_in_range(&tmp, n, oname, "subindex", 0, 0xFF))
                obj->obj.sub_index = (uint8_t)tmp.value_int;
            else
                ok = false;
        }
        // Their range is checked on the final object, whose type a later entry may still change.
        bool read_only = obj->obj.permissions == CANOPEN_RO;
        bool report_limits = is_new && !read_only;
        n = check_obj(node, "min", oname, report_limits);
        if (parser_node_is_valid(n) && !db_read_number(&obj->min, n, oname, "min")) ok = false;
        n = check_obj(node, "max", oname, report_limits);
        if (parser_node_is_valid(n) && !db_read_number(&obj->max, n, oname, "max")) ok = false;
        n = parser_find_child(node, "value");
        if (!parser_node_is_valid(n)) n = check_obj(node, "default", oname, is_new);
        if (parser_node_is_valid(n)) {
            if (!db_read_number(&obj->def, n, oname, "default")) ok = false;
            dbvalue_copy(&obj->value, &obj->def);
            if (read_only) {
                if (!dbvalue_is_set(&obj->min)) dbvalue_copy(&obj->min, &obj->value);
                if (!dbvalue_is_set(&obj->max)) dbvalue_copy(&obj->max, &obj->value);
            }
        }
    } else if (type == CANOPEN_STRING) {
        n = check_obj(node, "stringsize", oname, is_new);
        if (parser_node_is_valid(n) && !db_read_number(&obj->string_len, n, oname, "stringsize")) ok = false;
        n = check_obj(node, "default", oname, is_new);
        if (parser_node_is_valid(n)) {
            dbvalue_set(&obj->string_def, n);
            // Without a size the text's own length (and its terminator) is the size.
            if (!dbvalue_is_set(&obj->string_len))
                dbvalue_set_int(&obj->string_len, (int32_t)std::strlen(obj->string_def.value_str) + 1);
        }
        obj->obj.string_len = (uint16_t)obj->string_len.value_int;
    } else {
        n = parser_find_child(node, "arraysize");
        if (parser_node_is_valid(n)) {
            if (!db_read_in_range(&obj->array_max_size, n, oname, "arraysize", 0, DB_ARRAY_MAX_ELEMENTS)) ok = false;
            obj->obj.array_max_size = (uint8_t)obj->array_max_size.value_int;
        }
    }
    dbvalue_free(&tmp);
    n = check_obj(node, "dataptr", oname, is_new);
    if (parser_node_is_valid(n)) {
        // Checked on the final object, after every substitution.
        dbvalue_set(&obj->dataptr, n);
    }

    if (!ok) db_mark_failed();
    if (!canopen_type_is_array(type)) return ok;
    return parse_array_data(db, obj, node, oname) && ok;
}

static bool parse_obj_dict_obj(db_st *db, parser_node_st node, const char *base)
{
    // Containers inside containers recurse: a bound keeps a hostile document off the stack.
    static uint32_t depth = 0;
    parser_node_st content = parser_find_child(node, "content");
    if (!parser_node_is_valid(content)) return parse_object(db, node);
    if (depth >= DB_CONTAINER_MAX_DEPTH) {
        job_error("Containers are nested more than %u deep; the ones below are not read.\n",
                  (unsigned)DB_CONTAINER_MAX_DEPTH);
        db_mark_failed();
        return false;
    }
    depth++;
    bool ok = parse_container(db, node, content, base);
    depth--;
    return ok;
}

static void parse_revnotes(db_st *db, parser_node_st node)
{
    if (parser_get_type(node) != PARSER_ARRAY) return;
    parser_node_st e = parser_get_child(node, 0);
    uint32_t dropped = 0;
    while (parser_node_is_valid(e)) {
        if (db->revnotes.len >= DB_REVNOTE_MAX_COUNT) {
            ++dropped;
        } else {
            db_revnote_st *r = &db->revnotes_buffer[db->revnotes.len++];
            std::memset(r, 0, sizeof *r);
            parser_node_st rev = parser_find_child(e, "revision");
            dbvalue_st v;
            dbvalue_init(&v);
            if (parser_node_is_valid(rev) && db_read_in_range(&v, rev, "", "revision", 0, UINT32_MAX))
                r->revision = (uint32_t)v.value_exact;
            dbvalue_free(&v);
            parser_node_st notes = parser_find_child(e, "notes");
            if (parser_get_type(notes) == PARSER_ARRAY) {
                parser_node_st line = parser_get_child(notes, 0);
                while (parser_node_is_valid(line) && r->note_count < DB_REVNOTE_MAX_NOTES) {
                    parser_get_string(line, r->notes[r->note_count], DB_REVNOTE_MAX_LEN);
                    ++r->note_count;
                    if (!parser_get_next_sibling(line, &line)) break;
                }
            }
        }
        if (!parser_get_next_sibling(e, &e)) break;
    }
    if (dropped)
        job_warning("More than %u revision-note entries: the last %u are not kept.\n", (unsigned)DB_REVNOTE_MAX_COUNT,
                    (unsigned)dropped);
}

static bool parse_document(db_st *db, parser_node_st root, const char *base)
{
    char name[128] = "";
    parser_node_st n = parser_find_child(root, "DEV");
    if (!parser_node_is_valid(n)) {
        job_error("'DEV' object not found in the JSON\n");
    } else if (!parser_get_string(n, name, sizeof name) && parser_get_string_len(n) >= sizeof name) {
        job_error("'DEV' '%.40s...' is longer than %u characters.\n", name, (unsigned)sizeof name - 1);
        db_mark_failed();
    }
    kr_copy_text(db->dev_name, sizeof db->dev_name, name);
    size_t i = 0;
    for (; name[i]; ++i) {
        unsigned char c = (unsigned char)name[i];
        db->dev_name_upper[i] = std::isspace(c) ? '_' : (char)std::toupper(c);
    }
    db->dev_name_upper[i] = '\0';

    // Read whole: the readers' 32 signed bits would turn 0xFFFFFFFF into 0x7FFFFFFF.
    db->vendor_id = CANOPEN_KORVANE_VENDOR_ID;
    db->product_code = 0;
    db->revision_number = 0;
    struct {
        const char *key;
        uint32_t *field;
    } const identity[] = {{"VENDORID", &db->vendor_id},
                          {"PRODUCTCODE", &db->product_code},
                          {"REVISIONNUMBER", &db->revision_number}};
    dbvalue_st v;
    dbvalue_init(&v);
    for (const auto &f : identity) {
        n = parser_find_child(root, f.key);
        if (parser_node_is_valid(n) && db_read_in_range(&v, n, "", f.key, 0, UINT32_MAX))
            *f.field = (uint32_t)v.value_exact;
    }
    parse_revnotes(db, parser_find_child(root, "REVISION_NOTES"));

    n = parser_find_child(root, "NODEID");
    if (!parser_node_is_valid(n)) {
        // The node id held before stays; a document without one is still a database.
        job_warning("'NODEID' object not found in the JSON\n");
    } else if (db_read_in_range(&v, n, "", "NODEID", CANOPEN_NODE_ID_MIN, CANOPEN_NODE_ID_MAX)) {
        if (!db->state.nodeid_force_set)
            db->node_id = (uint8_t)v.value_exact;
        else if (db->node_id != v.value_exact)
            say_flushed("The node id %u given before --db holds over the document's %" PRIi64 ".\n",
                        (unsigned)db->node_id, v.value_exact);
    }
    dbvalue_free(&v);

    if (!db_parse_emcys(db, root)) return false;
    bool result = parse_defines(db, parser_find_child(root, "DEFINES"));
    db_defines_mark_root(db);

    n = parser_find_child(root, "OBJ_DICT");
    if (parser_get_type(n) != PARSER_ARRAY) {
        job_error("OBJ_DICT array not found from JSON.\n");
        result = false;
    } else {
        db_obj_index_rebuild(db);
        bool all = true;
        parser_node_st e = parser_get_child(n, 0);
        if (!parser_node_is_valid(e) && parser_array_get_size(n) > 0) all = false;
        while (parser_node_is_valid(e)) {
            // Every entry is read; any that fails fails the load.
            if (!parse_obj_dict_obj(db, e, base)) all = false;
            if (!parser_get_next_sibling(e, &e)) break;
        }
        result = all && result;
    }
    if (objects_dropped)
        job_error("More than %u objects: the object dictionary is full at '%s'; %u objects are not read.\n",
                  (unsigned)DB_OBJ_MAX_COUNT, first_dropped.c_str(), (unsigned)objects_dropped);
    db_add_emcy_objects(db);
    if (!db_check_objects(db)) result = false;
    if (!db_check_duplicates(db)) result = false;
    db_sort_objects(db);
    db_obj_index_rebuild(db);
    if (!db_parse_pdos(db, root, &result)) return false;
    return result;
}

bool cmd_db(const char *path)
{
    db_st *db = &dev.db;
    db->revision_number = 0;
    if (db->state.is_loaded)
        db_deinit(db);
    else
        db_defines_free(db);
    // A failed load leaves what it parsed; free it before the lists are emptied.
    for (uint16_t i = 0; i < db->objects.len; ++i) db_obj_deinit(&db->objects_buffer[i]);
    kr_vector_init(&db->objects, db->objects_buffer, DB_OBJ_MAX_COUNT, sizeof(db_obj_st));
    kr_vector_init(&db->emcys, db->emcys_buffer, DB_EMCY_MAX_COUNT, sizeof(db_emcy_st));
    kr_vector_init(&db->defines, db->defines_buffer, DB_DEFINE_MAX_COUNT, sizeof(db_define_st));
    kr_vector_init(&db->revnotes, db->revnotes_buffer, DB_REVNOTE_MAX_COUNT, sizeof(db_revnote_st));
    kr_vector_init(&db->txpdos, db->txpdo_buffer, DB_PDO_MAX_COUNT, sizeof(db_txpdo_st));
    kr_vector_init(&db->rxpdos, db->rxpdo_buffer, DB_PDO_MAX_COUNT, sizeof(db_rxpdo_st));
    db->include_count = 0;
    db->basepath[0] = '\0';
    db->state.obj_index_valid = false;
    db->state.load_failed = false;
    open_content.clear();
    objects_dropped = 0;

    if (!path || std::strlen(path) > sizeof db->filepath - 1) {
        job_error("Failed to open database file %s: the path is longer than %u characters.\n", path ? path : "",
                  (unsigned)sizeof db->filepath - 1);
        db->state.is_loaded = false;
        return false;
    }
    char *text = nullptr;
    parser_node_st root = parser_read_file(path, &text);
    if (!parser_node_is_valid(root)) {
        job_error("Failed to open database file %s.\n", path);
        job_error("%s\n", parser_last_error());
        std::free(text);
        db->state.is_loaded = false;
        return false;
    }
    std::string base = folder_of(path);
    say_flushed("file size: %u bytes, format: %s\n", (unsigned)std::strlen(text),
                parser_format_to_str(parser_format_from_filename(path)));
    open_content.push_back(path);
    const unsigned errors_before = job_error_count();
    document_ok(root, path);
    bool result = parse_document(db, root, base.c_str());
    open_content.clear();
    // Whatever printed an error fails the load: no export may follow an error.
    if (db->state.load_failed || job_error_count() != errors_before) result = false;
    if (result && base.size() > sizeof db->basepath - 1) {
        job_error("The database folder '%s' is longer than %u characters.\n", base.c_str(),
                  (unsigned)sizeof db->basepath - 1);
        result = false;
    }
    if (result) {
        say_flushed("Database parsed succesfully.\n");
        kr_copy_text(db->filepath, sizeof db->filepath, path);
        kr_copy_text(db->basepath, sizeof db->basepath, base.c_str());
    } else {
        job_error("Parsing the database file failed.\n");
    }
    std::free(text);
    db->state.obj_index_valid = false;
    db->state.is_loaded = result;
    return result;
}
