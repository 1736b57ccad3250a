// The device database's defines and value texts, its EMCY list with the EMCY string objects, the
// order of the objects, and the RXPDO and TXPDO lists with their mappings.
#include <algorithm>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <string>

#include "db_internal.h"

// Defines at this position and after it came from a container's list and vanish after its file.
static uint16_t root_define_count = UINT16_MAX;

static void define_free(db_define_st *d)
{
    if (d->type == DB_DEFINE_ENUM) std::free(d->childs);
    d->childs = nullptr;
    d->child_count = 0;
}

void db_defines_free(db_st *db)
{
    auto *defs = db->defines_buffer;
    for (uint16_t i = 0; i < db->defines.len && i < DB_DEFINE_MAX_COUNT; ++i) define_free(&defs[i]);
    db->defines.len = 0;
    root_define_count = UINT16_MAX;
}

void db_defines_mark_root(db_st *db) { root_define_count = db->defines.len; }

void db_defines_truncate(db_st *db, uint16_t count)
{
    while (db->defines.len > count) define_free(&db->defines_buffer[--db->defines.len]);
}

bool db_define_is_scoped(const db_st *db, const db_define_st *define)
{
    return define >= db->defines_buffer && (uint16_t)(define - db->defines_buffer) >= root_define_count;
}

static void normalise(const char *text, size_t len, char *dest, size_t dest_length)
{
    size_t n = std::min(len, dest_length - 1);
    std::memcpy(dest, text, n);
    dest[n] = '\0';
    str_to_upper_nonspace(dest);
}

db_define_st *db_define_find(db_st *db, const char *name)
{
    if (!db || !name) return nullptr;
    char upper[128];
    normalise(name, std::strlen(name), upper, sizeof upper);
    for (uint16_t i = 0; i < db->defines.len; ++i)
        if (std::strcmp(db->defines_buffer[i].name, upper) == 0) return &db->defines_buffer[i];
    return nullptr;
}

static void remove_define_at(db_st *db, uint16_t index)
{
    define_free(&db->defines_buffer[index]);
    for (uint16_t i = index; i + 1 < db->defines.len; ++i) db->defines_buffer[i] = db->defines_buffer[i + 1];
    --db->defines.len;
}

// The define's name in a DEFINES element: "name", else the first member's key.
static bool element_name(parser_node_st element, char *dest, size_t dest_length)
{
    parser_node_st n = parser_find_child(element, "name");
    if (parser_node_is_valid(n)) return parser_get_string(n, dest, (uint32_t)dest_length);
    parser_node_st first = parser_get_child(element, 0);
    if (!parser_node_is_valid(first) || parser_get_type(element) != PARSER_OBJECT) {
        dest[0] = '\0';
        return false;
    }
    return parser_get_obj_name(first, dest, (uint32_t)dest_length);
}

void remove_defines(db_st *db, parser_node_st node)
{
    if (!parser_node_is_valid(node)) return;
    if (parser_get_type(node) != PARSER_ARRAY) {
        job_error("DEFINES array is not an array\n");
        return;
    }
    parser_node_st e = parser_get_child(node, 0);
    while (parser_node_is_valid(e)) {
        char name[128];
        element_name(e, name, sizeof name);
        str_to_upper_nonspace(name);
        // Only defines of a container's list go; a root define of the same name stays.
        for (uint16_t i = db->defines.len; i-- > 0;) {
            if (!db_define_is_scoped(db, &db->defines_buffer[i])) break;
            if (std::strcmp(db->defines_buffer[i].name, name) == 0) {
                remove_define_at(db, i);
                break;
            }
        }
        if (!parser_get_next_sibling(e, &e)) break;
    }
}

bool define_push(db_st *db, const char *name, parser_node_st value_node, parser_node_st parent_node,
                 const char *list_name)
{
    if (db->defines.len >= DB_DEFINE_MAX_COUNT) {
        job_error("More than %u defines: '%s' in DEFINES array '%s' is not kept.\n", (unsigned)DB_DEFINE_MAX_COUNT,
                  name, list_name);
        db_mark_failed();
        return false;
    }
    db_define_st d;
    std::memset(&d, 0, sizeof d);
    if (std::strlen(name) >= sizeof d.name) {
        job_error("Define name '%s' is longer than %u characters.\n", name, (unsigned)sizeof d.name - 1);
        db_mark_failed();
        return false;
    }
    normalise(name, std::strlen(name), d.name, sizeof d.name);

    switch (parser_get_type(value_node)) {
    case PARSER_INT: {
        d.type = DB_DEFINE_INT;
        int64_t exact = 0;
        db_exact_int(value_node, &exact);
        if (exact < INT32_MIN || exact > (int64_t)UINT32_MAX) {
            job_error("Define '%s' %" PRIi64 " does not fit 32 bits.\n", d.name, exact);
            db_mark_failed();
            return false;
        }
        d.value = (int32_t)(uint32_t)(uint64_t)exact;
        break;
    }
    case PARSER_STRING: {
        if (!parser_get_string(value_node, d.str, sizeof d.str)) {
            job_error("Define '%s' has a text longer than %u characters.\n", d.name, (unsigned)sizeof d.str - 1);
            db_mark_failed();
            return false;
        }
        d.type = DB_DEFINE_STRING;
        db_define_st *same = db_define_find(db, d.str);
        if (same) {
            d.type = same->type;
            if (same->type == DB_DEFINE_INT) {
                d.value = same->value;
            } else if (same->type == DB_DEFINE_STRING) {
                std::memcpy(d.str, same->str, sizeof d.str);
            } else {
                d.child_count = same->child_count;
                d.data_type = same->data_type;
                d.childs = static_cast<char(*)[128]>(std::calloc((size_t)same->child_count, 128));
                if (!d.childs) std::abort();
                std::memcpy(d.childs, same->childs, (size_t)same->child_count * 128);
            }
        }
        break;
    }
    case PARSER_ARRAY: {
        uint32_t size = parser_array_get_size(value_node);
        d.type = DB_DEFINE_ENUM;
        d.child_count = (int32_t)size + 1;
        d.childs = static_cast<char(*)[128]>(std::calloc(size + 1, 128));
        if (!d.childs) std::abort();
        uint32_t i = 0;
        parser_node_st c = parser_get_child(value_node, 0);
        while (parser_node_is_valid(c) && i < size) {
            if (!parser_get_string(c, d.childs[i], 128) && parser_get_string_len(c) >= 128) {
                job_error("Enumeration '%s' has a member longer than 127 characters.\n", d.name);
                std::free(d.childs);
                db_mark_failed();
                return false;
            }
            ++i;
            if (!parser_get_next_sibling(c, &c)) break;
        }
        std::strcpy(d.childs[size], "COUNT");
        // A member after INT32_MAX would not compile as an enumerator.
        int32_t member = -1;
        for (uint32_t k = 0; k < size; ++k) {
            if (member == INT32_MAX && !std::strchr(d.childs[k], '=')) {
                job_error("Enumeration '%s': member '%s' would follow %" PRIi32 ", past the largest enumerator.\n",
                          d.name, d.childs[k], INT32_MAX);
                std::free(d.childs);
                db_mark_failed();
                return false;
            }
            member = enum_member_value(d.childs[k], member == INT32_MAX ? INT32_MAX : member + 1);
        }
        parser_node_st type = parser_find_child(parent_node, "type");
        d.data_type = parser_node_is_valid(type) ? db_paramval_to_type(type) : 0;
        if (parser_node_is_valid(type) && !db_type_known(type)) {
            job_error("Enumeration '%s': \"type\" is not a type the database knows.\n", d.name);
            std::free(d.childs);
            db_mark_failed();
            return false;
        }
        break;
    }
    default:
        job_error("DEFINES array '%s' had an illegal type of value. Only integers, strings and arrays are supported\n",
                  list_name);
        return false;
    }
    db->defines_buffer[db->defines.len++] = d;
    return true;
}

bool parse_defines(db_st *db, parser_node_st node)
{
    if (!parser_node_is_valid(node)) return true;
    char list_name[128] = "";
    parser_get_obj_name(node, list_name, sizeof list_name);
    if (list_name[0] == '\0') std::strcpy(list_name, "UNDEFINED");
    if (parser_get_type(node) != PARSER_ARRAY) {
        job_error("DEFINES array '%s' is not an array\n", list_name);
        return false;
    }
    // Every element is read; one bad define fails the list.
    bool result = true;
    uint32_t i = 0;
    parser_node_st e = parser_get_child(node, 0);
    uint32_t size = parser_array_get_size(node);
    while (i < size) {
        if (!parser_node_is_valid(e) || parser_get_type(e) != PARSER_OBJECT) {
            job_error("DEFINES array '%s' member was not an object at index %u\n", list_name, (unsigned)i);
            result = false;
        } else {
            parser_node_st n = parser_find_child(e, "name");
            parser_node_st first = parser_get_child(e, 0);
            if (parser_node_is_valid(n)) {
                char name[128] = "";
                parser_get_string(n, name, sizeof name);
                if (!define_push(db, name, parser_find_child(e, "value"), e, list_name)) result = false;
            } else if (parser_node_is_valid(first)) {
                char name[128] = "";
                parser_get_obj_name(first, name, sizeof name);
                if (!define_push(db, name, first, parser_node_invalid(), list_name)) result = false;
            } else {
                job_error("Define '%s' contained empty definition\n", list_name);
                result = false;
            }
        }
        ++i;
        if (!parser_node_is_valid(e) || !parser_get_next_sibling(e, &e)) break;
    }
    return result;
}

/* ---- Value texts ---- */

// "0x" and hexadecimal digits only: the integer, with the 32-bit rule of the document readers.
static bool parse_hex(const char *text, size_t len, int32_t *out)
{
    if (len < 2 || text[0] != '0' || text[1] != 'x') return false;
    uint64_t v = 0;
    for (size_t i = 2; i < len; ++i) {
        char c = text[i];
        unsigned d;
        if (c >= '0' && c <= '9') d = (unsigned)(c - '0');
        else if (c >= 'a' && c <= 'f') d = (unsigned)(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F') d = (unsigned)(c - 'A' + 10);
        else return false;
        v = v * 16 + d;
        if (v > 0xFFFFFFFFull) v = 0x1FFFFFFFFull;
    }
    *out = v > 0xFFFFFFFFull ? INT32_MAX : (int32_t)(uint32_t)v;
    return true;
}

// An enumeration child's own name: the text before its '=', without the blanks before it.
static std::string child_name(const char *child)
{
    const char *eq = std::strchr(child, '=');
    size_t n = eq ? (size_t)(eq - child) : std::strlen(child);
    while (n > 0 && (child[n - 1] == ' ' || child[n - 1] == '\t')) --n;
    return std::string(child, n);
}

int32_t enum_member_value(const char *child, int32_t implicit)
{
    const char *eq = std::strchr(child, '=');
    if (!eq) return implicit;
    char *end = nullptr;
    long long v = std::strtoll(eq + 1, &end, 0);
    while (end && (*end == ' ' || *end == '\t')) ++end;
    if (!end || end == eq + 1 || *end != '\0' || v < INT32_MIN || v > INT32_MAX) return implicit;
    return (int32_t)v;
}

static void set_text(dbvalue_st *v, const std::string &text)
{
    int32_t keep = v->value_int;
    dbvalue_free(v);
    char *copy = static_cast<char *>(std::malloc(text.size() + 1));
    if (!copy) std::abort();
    std::memcpy(copy, text.c_str(), text.size() + 1);
    v->type = DBVALUE_STRING;
    v->value_str = copy;
    v->value_int = keep;
}

static std::string ident(const std::string &text)
{
    std::string out(text.size() + 1, '\0');
    db_c_ident(text.c_str(), out.data(), out.size());
    out.resize(std::strlen(out.c_str()));
    return out;
}

// Does upper name the define, with or without the device prefix? Gives what follows the name.
static const char *names_define(const char *upper, const char *name, const char *dev_upper, bool whole)
{
    size_t nlen = std::strlen(name);
    if (std::strncmp(upper, name, nlen) == 0 && (!whole || upper[nlen] == '\0')) return upper + nlen;
    size_t dlen = std::strlen(dev_upper);
    if (dlen > 0 && std::strncmp(upper, dev_upper, dlen) == 0 && upper[dlen] == '_' &&
        std::strncmp(upper + dlen + 1, name, nlen) == 0 && (!whole || upper[dlen + 1 + nlen] == '\0'))
        return upper + dlen + 1 + nlen;
    return nullptr;
}

static bool last_resolved = false;

bool db_value_resolved(void) { return last_resolved; }

void dbvalue_set_string(dbvalue_st *v, const char *text, size_t len)
{
    dbvalue_free(v);
    last_resolved = false;
    int32_t hex;
    if (parse_hex(text, len, &hex)) {
        dbvalue_set_int(v, hex);
        last_resolved = true;
        return;
    }
    set_text(v, std::string(text, len));
    v->value_int = 0;
    db_st *db = &dev.db;
    char upper[1024];
    normalise(text, len, upper, sizeof upper);
    const std::string dev_sym = db_dev_symbol(db);

    // The symbol the generated header gives the matched define or enumeration member.
    std::string symbol;
    bool scoped = false;
    bool enum_matched = false;
    for (uint16_t i = 0; i < db->defines.len; ++i) {
        const db_define_st *d = &db->defines_buffer[i];
        if (d->type == DB_DEFINE_INT) {
            if (names_define(upper, d->name, db->dev_name_upper, true)) {
                v->value_int = d->value;
                symbol = dev_sym + "_" + ident(d->name);
                scoped = db_define_is_scoped(db, d);
                goto resolved;
            }
        } else if (d->type == DB_DEFINE_STRING) {
            const char *at = d->name[0] ? std::strstr(upper, d->name) : nullptr;
            if (at) {
                std::string t = v->value_str;
                size_t pos = (size_t)(at - upper);
                if (pos < t.size()) t.replace(pos, std::strlen(d->name), d->str);
                set_text(v, t);
                break;
            }
        } else if (d->type == DB_DEFINE_ENUM) {
            const char *rest = names_define(upper, d->name, db->dev_name_upper, false);
            if (!rest) continue;
            if (*rest == '\0') {
                job_error("Define with ENUM type not found with a name of '%s'\n", upper);
                continue;
            }
            bool found = false;
            int32_t c_value = -1;
            for (int32_t k = 0; k < d->child_count; ++k) {
                std::string cn = child_name(d->childs[k]);
                // The member's value in the generated enumeration: its own "= n", else one more than
                // the one before; COUNT is the number of members.
                c_value = k == d->child_count - 1 ? k : enum_member_value(d->childs[k], c_value + 1);
                if (std::strcmp(rest + 1, cn.c_str()) == 0) {
                    v->value_int = c_value;
                    symbol = dev_sym + "_" + ident(d->name) + "_" + ident(cn);
                    scoped = db_define_is_scoped(db, d);
                    enum_matched = found = true;
                    break;
                }
            }
            if (!found) job_error("No ENUM define found with name of '%s' for define '%s'\n", upper, d->name);
        }
    }
    if (!enum_matched) {
        v->value_int = 0;
        return;
    }
resolved:
    last_resolved = true;
    // A container's define never reaches the header: its number stands in for the symbol.
    if (scoped) set_text(v, std::to_string(v->value_int));
    else set_text(v, symbol);
}

/* ---- EMCYs ---- */

bool db_parse_emcys(db_st *db, parser_node_st root)
{
    parser_node_st index = parser_find_child(root, "EMCY_INDEX");
    parser_types_e kind = parser_get_type(index);
    if (kind != PARSER_INT && kind != PARSER_STRING) {
        job_warning("No EMCY_INDEX integer parameter defined. Skipping EMCY handling.\n");
        return true;
    }
    int64_t exact = 0;
    if (db_exact_int(index, &exact) && (exact < 0 || exact > 0xFFFF)) {
        job_error("'EMCY_INDEX' %" PRIi64 " is outside 0x0..0xFFFF.\n", exact);
        db_mark_failed();
        return true;
    }
    dbvalue_st tmp;
    dbvalue_init(&tmp);
    bool index_ok = db_set_number(&tmp, index, "EMCY_INDEX", "EMCY_INDEX", 0, 0xFFFF);
    db->emcys_index = (uint16_t)tmp.value_int;
    dbvalue_free(&tmp);
    if (!index_ok) return true;
    parser_node_st list = parser_find_child(root, "EMCY");
    if (parser_get_type(list) != PARSER_ARRAY) {
        job_error("EMCY array is not an array\n");
        return true;
    }
    uint32_t stride = 1;
    uint32_t i = 0;
    parser_node_st e = parser_get_child(list, 0);
    for (; parser_node_is_valid(e); ++i) {
        db_emcy_st entry;
        std::memset(&entry, 0, sizeof entry);
        parser_node_st name = parser_find_child(e, "name");
        if (!parser_node_is_valid(name)) {
            job_error("\"%s\" field not found in emcy %u\n", "name", (unsigned)i);
            return false;
        }
        if (!parser_get_string(name, entry.name, sizeof entry.name) &&
            parser_get_string_len(name) >= sizeof entry.name) {
            job_error("EMCY name '%s...' is longer than %u characters.\n", entry.name, (unsigned)sizeof entry.name - 1);
            db_mark_failed();
        }
        parser_node_st strs = parser_find_child(e, "str");
        if (parser_node_is_valid(strs)) {
            if (parser_get_type(strs) == PARSER_ARRAY) {
                uint32_t count = parser_array_get_size(strs);
                if (count > DB_EMCY_INFO_COUNT) {
                    job_error("EMCY '%s' has %u info strings, more than %u.\n", entry.name, (unsigned)count,
                              (unsigned)DB_EMCY_INFO_COUNT);
                    db_mark_failed();
                    count = DB_EMCY_INFO_COUNT;
                }
                // Each EMCY owns a block of `stride` object indexes; the first entry sets it.
                if (i == 0) stride = std::max<uint32_t>(count, 1);
                if (i > 0 && count > stride) {
                    job_error("EMCY '%s' has %u info strings, but each EMCY has room for %u (as many as the first "
                              "EMCY has); only the first %u are kept.\n",
                              entry.name, (unsigned)count, (unsigned)stride, (unsigned)stride);
                    count = stride;
                }
                parser_node_st s = parser_get_child(strs, 0);
                for (uint32_t j = 0; j < count && parser_node_is_valid(s); ++j) {
                    if (!parser_get_string(s, entry.info_strs[j], sizeof entry.info_strs[j]) &&
                        parser_get_string_len(s) >= sizeof entry.info_strs[j]) {
                        job_error("EMCY '%s': info string %u is longer than %u characters.\n", entry.name, (unsigned)j,
                                  (unsigned)sizeof entry.info_strs[j] - 1);
                        db_mark_failed();
                    }
                    if (!parser_get_next_sibling(s, &s)) break;
                }
            } else {
                job_error("EMCY \"str\" object has to be array (in emcy %u).\n", (unsigned)i);
            }
        }
        entry.value = (int32_t)(stride * i);
        if (db->emcys.len >= DB_EMCY_MAX_COUNT) {
            job_error("More than %u EMCYs: '%s' and the ones after it are not kept.\n", (unsigned)DB_EMCY_MAX_COUNT,
                      entry.name);
            db_mark_failed();
            return true;
        }
        db->emcys_buffer[db->emcys.len++] = entry;
        if (!parser_get_next_sibling(e, &e)) break;
    }
    return true;
}

void db_add_emcy_objects(db_st *db)
{
    for (uint16_t k = 0; k < db->emcys.len; ++k) {
        const db_emcy_st *e = &db->emcys_buffer[k];
        for (uint32_t j = 0; j < DB_EMCY_INFO_COUNT && e->info_strs[j][0]; ++j) {
            db_obj_st *obj = db_obj_append(db);
            if (!obj) {
                job_error("Error adding a new object to object dictionary. \nObject dictionary full.\n");
                db_mark_failed();
                return;
            }
            std::string name = std::string("EMCY_") + e->name + "_STR" + std::to_string(j);
            dbvalue_set_string(&obj->name, name.c_str(), name.size());
            char sym[1024];
            db_obj_symbol(db, obj->name.value_str, sym, sizeof sym);
            std::string ptr = std::string(sym) + "_DEFAULT";
            dbvalue_set_string(&obj->dataptr, ptr.c_str(), ptr.size());
            std::strcpy(obj->type_str, "CANOPEN_STRING");
            obj->obj.type = 17;
            obj->obj.permissions = 1;
            obj->obj_type = DB_OBJ_TYPE_EMCY;
            size_t len = std::strlen(e->info_strs[j]);
            dbvalue_set_int(&obj->string_len, (int32_t)len + 1);
            obj->obj.string_len = (uint16_t)(len + 1);
            // The info text is the EMCY's own words, never an expression of defines.
            dbvalue_set_int(&obj->string_def, 0);
            set_text(&obj->string_def, e->info_strs[j]);
            // Past 0xFFFF the index would wrap onto the low objects.
            uint32_t index = (uint32_t)db->emcys_index + (uint32_t)e->value + j;
            if (index > 0xFFFF) {
                job_error("EMCY string object '%s' would be at index 0x%x, past 0xFFFF.\n", obj->name.value_str,
                          (unsigned)index);
                db_mark_failed();
                return;
            }
            obj->obj.main_index = (uint16_t)index;
            obj->obj.sub_index = 0;
        }
    }
}

/* ---- Order ---- */

void db_sort_objects(db_st *db)
{
    // Ascending by main index; scalars of one index by sub index, arrays and strings first.
    auto key = [](const db_obj_st &o) {
        uint8_t t = o.obj.type;
        uint32_t sub = (t > 63 || (t >= 16 && t <= 63)) ? 0 : (uint32_t)o.obj.sub_index + 1;
        return ((uint32_t)o.obj.main_index << 9) | sub;
    };
    std::stable_sort(db->objects_buffer, db->objects_buffer + db->objects.len,
                     [&](const db_obj_st &a, const db_obj_st &b) { return key(a) < key(b); });
}

/* ---- PDOs ---- */

static uint32_t mapped_bytes(const canopen_pdo_mapping_parameter_st *m)
{
    uint32_t sum = 0;
    for (const auto &e : m->mappings) sum += e.length;
    return sum;
}

bool pdo_parse_mappings(parser_node_st node, canopen_pdo_mapping_parameter_st *mappings)
{
    db_st *db = &dev.db;
    std::memset(mappings, 0, sizeof *mappings);
    if (parser_get_type(node) != PARSER_ARRAY) {
        job_error("PDO \"mappings\" object should be an array\n");
        return false;
    }
    uint32_t size = parser_array_get_size(node);
    if (size > DB_PDO_MAPPING_COUNT) {
        job_error("PDO \"mappings\" has %u entries, more than %u.\n", (unsigned)size, (unsigned)DB_PDO_MAPPING_COUNT);
        return false;
    }
    bool result = true;
    parser_node_st e = parser_get_child(node, 0);
    for (uint32_t i = 0; i < DB_PDO_MAPPING_COUNT && parser_node_is_valid(e); ++i) {
        if (parser_get_type(e) != PARSER_OBJECT) {
            job_error("PDO \"mappings\" has to be an array of JSON objects\n");
            return false;
        }
        canopen_pdo_mapping_st *m = &mappings->mappings[i];
        parser_node_st param = parser_find_child(e, "param");
        if (!parser_node_is_valid(param)) {
            job_error("PDO mapping parameter doesnt have \"param\" field\n");
            result = false;
        } else {
            char name[128] = "";
            parser_get_string(param, name, sizeof name);
            str_to_upper_nonspace(name);
            db_obj_st *obj = name[0] ? db_obj_lookup(db, name) : nullptr;
            if (obj) {
                m->main_index = obj->obj.main_index;
                m->length = (uint8_t)(obj->obj.type & 7);
                if (obj->obj.type > 63) {
                    parser_node_st sub = parser_find_child(e, "subindex");
                    parser_types_e kind = parser_get_type(sub);
                    if (!parser_node_is_valid(sub)) {
                        job_error("\"%s\" field not found in rxpdo at index \"%u\"\n", "subindex",
                                  (unsigned)(obj - db->objects_buffer));
                        return false;
                    }
                    if (kind == PARSER_INT) {
                        // Cut to 8 bits, 257 would quietly map element 1.
                        int32_t k = parser_get_int(sub);
                        if (k < 0 || k > 255) {
                            job_error("PDO mapping subindex %" PRIi32 " is not a sub index from 0 to 255.\n", k);
                            return false;
                        }
                        m->sub_index = (uint8_t)k;
                    } else if (kind == PARSER_STRING) {
                        char child[128] = "";
                        parser_get_string(sub, child, sizeof child);
                        uint32_t pos = 0, k = 1;
                        for (db_array_child_st *c = obj->child_ptr; c; c = c->next_sibling, ++k)
                            if (std::strcmp(c->name.value_str, child) == 0) {
                                pos = k;
                                break;
                            }
                        if (!pos) {
                            job_error("PDO mapping subindex name not found in array\n");
                            return false;
                        }
                        m->sub_index = (uint8_t)pos;
                    } else {
                        job_error("PDO mapping subindex has to be integer or a string.\n");
                        return false;
                    }
                } else {
                    m->sub_index = obj->obj.sub_index;
                }
            } else if (name[0]) {
                job_error("PDO mapping parameter refers to a parameter \"%s\" which doesn't exist in object "
                          "dictionary\n",
                          name);
                return false;
            } else {
                parser_node_st length = parser_find_child(e, "length");
                int32_t bytes = parser_get_int(length);
                if (!parser_node_is_valid(length)) {
                    job_error("PDO mapping parameter refers to a parameter \"%s\" which doesn't exist in object "
                              "dictionary\n",
                              name);
                    return false;
                }
                // A gap of 0 bytes would end the mapping list: the entries after it would be lost.
                if (bytes < 1 || bytes > DB_PDO_MAX_BYTES) {
                    job_error("PDO mapping gap of %" PRIi32 " bytes does not fit in a PDO.\n", bytes);
                    return false;
                }
                m->main_index = 0;
                m->sub_index = 0;
                m->length = (uint8_t)bytes;
            }
        }
        if (!parser_get_next_sibling(e, &e)) break;
    }
    uint32_t bytes = mapped_bytes(mappings);
    if (bytes > DB_PDO_MAX_BYTES) {
        job_error("PDO mapping uses %u bytes, more than the %u of a PDO.\n", (unsigned)bytes,
                  (unsigned)DB_PDO_MAX_BYTES);
        return false;
    }
    return result;
}

static void empty_rxpdo(db_rxpdo_st *p)
{
    std::memset(p, 0, sizeof *p);
    std::strcpy(p->cobid, "CANOPEN_PDO_DISABLED");
    p->transmission = 255;
}

static void empty_txpdo(db_txpdo_st *p)
{
    std::memset(p, 0, sizeof *p);
    std::strcpy(p->cobid, "CANOPEN_PDO_DISABLED");
    p->transmission = 255;
    p->inhibit_time = 10;
    p->event_timer = 100;
}

static bool pdo_room(kr_vector_st *v, const char *kind)
{
    if (v->len < DB_PDO_MAX_COUNT) return true;
    job_error("More than %u %ss: the ones after the %uth are not kept.\n", (unsigned)DB_PDO_MAX_COUNT, kind,
              (unsigned)DB_PDO_MAX_COUNT);
    db_mark_failed();
    return false;
}

static bool read_cobid(parser_node_st node, char *dest, size_t dest_length, const char *kind, uint32_t k)
{
    if (parser_get_type(node) == PARSER_INT) {
        // A number written as a number: the export still needs its text.
        std::snprintf(dest, dest_length, "0x%" PRIx32, (uint32_t)parser_get_int(node));
        return true;
    }
    if (!parser_get_string(node, dest, (uint32_t)dest_length) && parser_get_string_len(node) >= dest_length) {
        job_error("\"cobid\" of %s %u is longer than %u characters.\n", kind, (unsigned)k, (unsigned)dest_length - 1);
        db_mark_failed();
        return false;
    }
    return true;
}

bool db_parse_pdos(db_st *db, parser_node_st root, bool *result)
{
    parser_node_st rx = parser_find_child(root, "RXPDO");
    parser_node_st rx_count = parser_find_child(root, "RXPDO_COUNT");
    if (parser_get_type(rx) == PARSER_ARRAY) {
        uint32_t n = 0, k = 0;
        parser_node_st e = parser_get_child(rx, 0);
        for (; parser_node_is_valid(e); ++k) {
            static const char *const keys[] = {"cobid", "transmission", "mappings"};
            for (const char *key : keys)
                if (!parser_node_is_valid(parser_find_child(e, key))) {
                    job_error("\"%s\" field not found in rxpdo at index \"%u\"\n", key, (unsigned)k);
                    return false;
                }
            db_rxpdo_st p;
            empty_rxpdo(&p);
            read_cobid(parser_find_child(e, "cobid"), p.cobid, sizeof p.cobid, "RXPDO", k);
            p.transmission = str_to_transmission(parser_find_child(e, "transmission"));
            bool r = pdo_parse_mappings(parser_find_child(e, "mappings"), &p.mappings);
            if (!r) *result = false;
            parser_node_st index = parser_find_child(e, "index");
            if (parser_node_is_valid(index)) {
                int32_t m = parser_get_int(index);
                if (m < (int32_t)db->rxpdos.len) {
                    // It would land at another position than the one it names.
                    job_error("RXPDO at index \"%u\" names position %" PRIi32 ", which RXPDO %u already holds.\n",
                              (unsigned)k, m, (unsigned)db->rxpdos.len);
                    *result = false;
                    r = false;
                }
                while ((int32_t)db->rxpdos.len < m && pdo_room(&db->rxpdos, "RXPDO")) {
                    empty_rxpdo(&db->rxpdo_buffer[db->rxpdos.len++]);
                    db_info("RXPDO %u initialized as empty\n", (unsigned)(n + 1));
                    ++n;
                }
            }
            if (r && pdo_room(&db->rxpdos, "RXPDO")) {
                db_info("RXPDO %u used bytes: %u / 8\n", (unsigned)(n + 1), (unsigned)mapped_bytes(&p.mappings));
                db->rxpdo_buffer[db->rxpdos.len++] = p;
                ++n;
            }
            if (!parser_get_next_sibling(e, &e)) break;
        }
    } else if (parser_node_is_valid(rx_count)) {
        int32_t m = parser_get_int(rx_count);
        for (int32_t i = 0; i < m && pdo_room(&db->rxpdos, "RXPDO"); ++i) empty_rxpdo(&db->rxpdo_buffer[db->rxpdos.len++]);
        db_info("%i RXPDO's initialized\n", (int)m);
    } else {
        job_warning("RXPDO array not found in JSON.\n");
    }

    parser_node_st tx = parser_find_child(root, "TXPDO");
    parser_node_st tx_count = parser_find_child(root, "TXPDO_COUNT");
    if (parser_get_type(tx) == PARSER_ARRAY) {
        uint32_t k = 0;
        parser_node_st e = parser_get_child(tx, 0);
        for (; parser_node_is_valid(e); ++k) {
            static const char *const keys[] = {"cobid", "transmission", "inhibittime", "eventtimer", "mappings"};
            for (const char *key : keys)
                if (!parser_node_is_valid(parser_find_child(e, key))) {
                    job_error("\"%s\" field not found in txpdo at index \"%u\"\n", key, (unsigned)k);
                    return false;
                }
            db_txpdo_st p;
            empty_txpdo(&p);
            read_cobid(parser_find_child(e, "cobid"), p.cobid, sizeof p.cobid, "TXPDO", k);
            p.transmission = str_to_transmission(parser_find_child(e, "transmission"));
            p.inhibit_time = parser_get_int(parser_find_child(e, "inhibittime"));
            p.event_timer = (uint32_t)parser_get_int(parser_find_child(e, "eventtimer"));
            bool r = pdo_parse_mappings(parser_find_child(e, "mappings"), &p.mappings);
            if (!r) *result = false;
            if (r && pdo_room(&db->txpdos, "TXPDO")) {
                db_info("TXPDO %u used bytes: %u / 8\n", (unsigned)(k + 1), (unsigned)mapped_bytes(&p.mappings));
                db->txpdo_buffer[db->txpdos.len++] = p;
            }
            if (!parser_get_next_sibling(e, &e)) break;
        }
    } else if (parser_node_is_valid(tx_count)) {
        int32_t m = parser_get_int(tx_count);
        for (int32_t i = 0; i < m && pdo_room(&db->txpdos, "TXPDO"); ++i) empty_txpdo(&db->txpdo_buffer[db->txpdos.len++]);
        db_info("%i TXPDO's initialized\n", (int)m);
    } else {
        job_warning("TXPDO array not found in JSON.\n");
    }
    return true;
}
