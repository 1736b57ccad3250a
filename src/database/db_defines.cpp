// The device database's defines and value texts, its EMCY list with the EMCY string objects, the
// order of the objects, and the RXPDO and TXPDO lists with their mappings.
#include <algorithm>
#include <cctype>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "db_internal.h"

static bool enum_member_ok(const char *child);

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

// The order in which names are looked up: a container's own defines first (the innermost first),
// so that they hold over a root define of the same name; then the root's in list order.
static std::vector<uint16_t> lookup_order(const db_st *db)
{
    std::vector<uint16_t> order;
    const uint16_t root = std::min<uint16_t>(root_define_count, db->defines.len);
    for (uint16_t i = db->defines.len; i-- > root;) order.push_back(i);
    for (uint16_t i = 0; i < root; ++i) order.push_back(i);
    return order;
}

db_define_st *db_define_find(db_st *db, const char *name)
{
    if (!db || !name) return nullptr;
    char upper[128];
    normalise(name, std::strlen(name), upper, sizeof upper);
    for (uint16_t i : lookup_order(db))
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
        dbvalue_st v;
        dbvalue_init(&v);
        const std::string key = std::string("define ") + d.name;
        bool ok = db_read_in_range(&v, value_node, "", key.c_str(), INT32_MIN, UINT32_MAX);
        d.value = v.value_exact;
        dbvalue_free(&v);
        if (!ok) return false;
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
            const char *why = parser_get_type(c) != PARSER_STRING ? "that is no text"
                              : (!parser_get_string(c, d.childs[i], 128) && parser_get_string_len(c) >= 128)
                                  ? "longer than 127 characters"
                                  : nullptr;
            if (!why && !enum_member_ok(d.childs[i])) why = "that is no name, or no name '=' an integer";
            if (why) {
                job_error("Enumeration '%s' has a member %s ('%s').\n", d.name, why, d.childs[i]);
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
        db_mark_failed();
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
static bool parse_hex(const char *text, size_t len, int64_t *out)
{
    return len > 2 && text[0] == '0' && text[1] == 'x' && !db_int_text(text, len, out);
}

// An enumeration child's own name: the text before its '=', without the blanks before it.
static std::string child_name(const char *child)
{
    const char *eq = std::strchr(child, '=');
    size_t n = eq ? (size_t)(eq - child) : std::strlen(child);
    while (n > 0 && (child[n - 1] == ' ' || child[n - 1] == '\t')) --n;
    return std::string(child, n);
}

// The integer after a member's '=', blanks around it allowed.
static bool member_number(const char *eq, int64_t *out)
{
    const char *s = eq + 1;
    while (*s == ' ' || *s == '\t') ++s;
    size_t n = std::strlen(s);
    while (n > 0 && (s[n - 1] == ' ' || s[n - 1] == '\t')) --n;
    return !db_int_text(s, n, out) && *out >= INT32_MIN && *out <= INT32_MAX;
}

int32_t enum_member_value(const char *child, int32_t implicit)
{
    const char *eq = std::strchr(child, '=');
    int64_t v = 0;
    if (!eq || !member_number(eq, &v)) return implicit;
    return (int32_t)v;
}

// A member is a name, or a name, '=' and an enumerator's integer.
static bool enum_member_ok(const char *child)
{
    const char *eq = std::strchr(child, '=');
    int64_t v = 0;
    return !child_name(child).empty() && (!eq || member_number(eq, &v));
}

static void set_text(dbvalue_st *v, const std::string &text)
{
    int32_t keep = v->value_int;
    int64_t keep_exact = v->value_exact;
    dbvalue_free(v);
    char *copy = static_cast<char *>(std::malloc(text.size() + 1));
    if (!copy) std::abort();
    std::memcpy(copy, text.c_str(), text.size() + 1);
    v->type = DBVALUE_STRING;
    v->value_str = copy;
    v->value_int = keep;
    v->value_exact = keep_exact;
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

// The first place where name stands as a whole word of upper (a define inside a longer name is
// not that define).
static const char *word_in(const char *upper, const char *name)
{
    auto word_char = [](char c) { return std::isalnum((unsigned char)c) || c == '_'; };
    const size_t n = std::strlen(name);
    for (const char *at = std::strstr(upper, name); at; at = std::strstr(at + 1, name))
        if ((at == upper || !word_char(at[-1])) && !word_char(at[n])) return at;
    return nullptr;
}

bool db_value_resolved(void) { return dev.db.state.last_resolved; }

void dbvalue_set_string(dbvalue_st *v, const char *text, size_t len)
{
    dbvalue_free(v);
    dev.db.state.last_resolved = false;
    int64_t hex;
    if (parse_hex(text, len, &hex)) {
        dbvalue_set_exact(v, hex);
        dev.db.state.last_resolved = true;
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
    // What an enumeration could not match is said only when nothing else matches: MODE_EXTRA_Y is
    // no member of MODE, but one of MODE_EXTRA.
    std::string enum_miss;
    for (uint16_t i : lookup_order(db)) {
        const db_define_st *d = &db->defines_buffer[i];
        if (d->type == DB_DEFINE_INT) {
            if (names_define(upper, d->name, db->dev_name_upper, true)) {
                v->value_int = (int32_t)(uint32_t)(uint64_t)d->value;
                v->value_exact = d->value;
                symbol = dev_sym + "_" + ident(d->name);
                scoped = db_define_is_scoped(db, d);
                goto resolved;
            }
        } else if (d->type == DB_DEFINE_STRING) {
            const char *at = d->name[0] ? word_in(upper, d->name) : nullptr;
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
                if (enum_miss.empty())
                    enum_miss = std::string("Define with ENUM type not found with a name of '") + upper + "'\n";
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
                    v->value_exact = c_value;
                    symbol = dev_sym + "_" + ident(d->name) + "_" + ident(cn);
                    scoped = db_define_is_scoped(db, d);
                    enum_matched = found = true;
                    break;
                }
            }
            if (found) break;
            if (enum_miss.empty())
                enum_miss = std::string("No ENUM define found with name of '") + upper + "' for define '" + d->name +
                            "'\n";
        }
    }
    if (!enum_matched) {
        if (!enum_miss.empty()) job_error("%s", enum_miss.c_str());
        v->value_int = 0;
        v->value_exact = 0;
        return;
    }
resolved:
    db->state.last_resolved = true;
    // A container's define never reaches the header: its number stands in for the symbol.
    if (scoped)
        set_text(v, std::to_string(v->value_int));
    else
        set_text(v, symbol);
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
    dbvalue_st tmp;
    dbvalue_init(&tmp);
    bool index_ok = db_read_in_range(&tmp, index, "", "EMCY_INDEX", 0, 0xFFFF);
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
                    // Its strings would take the indexes of the next EMCY's.
                    job_error("EMCY '%s' has %u info strings, but each EMCY has room for %u (as many as the first "
                              "EMCY has).\n",
                              entry.name, (unsigned)count, (unsigned)stride);
                    db_mark_failed();
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
            // A name, not a value: no define rewrites it.
            set_text(&obj->name, name);
            str_to_upper_nonspace(obj->name.value_str);
            char sym[1024];
            db_obj_symbol(db, obj->name.value_str, sym, sizeof sym);
            set_text(&obj->dataptr, std::string(sym) + "_DEFAULT");
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
        uint32_t sub = (canopen_type_is_array(t) || (t & CANOPEN_STRING_MASK)) ? 0 : (uint32_t)o.obj.sub_index + 1;
        return ((uint32_t)o.obj.main_index << 9) | sub;
    };
    std::stable_sort(db->objects_buffer, db->objects_buffer + db->objects.len,
                     [&](const db_obj_st &a, const db_obj_st &b) { return key(a) < key(b); });
}

/* ---- PDOs ---- */

// A PDO's number, named by its key and its PDO in the messages.
static bool pdo_number(parser_node_st node, const std::string &what, int64_t lo, int64_t hi, int64_t *out)
{
    dbvalue_st v;
    dbvalue_init(&v);
    bool ok = db_read_in_range(&v, node, "", what.c_str(), lo, hi);
    *out = v.value_exact;
    dbvalue_free(&v);
    return ok;
}

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
            if (obj && obj->obj.type == CANOPEN_STRING) {
                // Its length would be the type code's low bits, not the string's.
                job_error("PDO mapping parameter \"%s\" is a string, which a PDO cannot carry.\n", name);
                return false;
            } else if (obj) {
                m->main_index = obj->obj.main_index;
                m->length = canopen_type_width(obj->obj.type);
                if (canopen_type_is_array(obj->obj.type)) {
                    parser_node_st sub = parser_find_child(e, "subindex");
                    parser_types_e kind = parser_get_type(sub);
                    if (!parser_node_is_valid(sub)) {
                        job_error("\"%s\" field not found in rxpdo at index \"%u\"\n", "subindex",
                                  (unsigned)(obj - db->objects_buffer));
                        return false;
                    }
                    if (kind == PARSER_INT) {
                        // Cut to 8 bits, 257 would quietly map element 1; an element it does not hold maps nothing.
                        uint32_t elements = 0;
                        for (const db_array_child_st *c = obj->child_ptr; c; c = c->next_sibling) ++elements;
                        int64_t k = 0;
                        if (!pdo_number(sub, std::string("subindex of mapping ") + name, 1, elements, &k)) return false;
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
                if (!parser_node_is_valid(length)) {
                    job_error("PDO mapping parameter refers to a parameter \"%s\" which doesn't exist in object "
                              "dictionary\n",
                              name);
                    return false;
                }
                // A gap of 0 bytes would end the mapping list: the entries after it would be lost.
                int64_t bytes = 0;
                if (!pdo_number(length, "length of a mapping gap", 1, DB_PDO_MAX_BYTES, &bytes)) return false;
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

// An RXPDO writes its objects, a TXPDO reads them: one the device may not be written (or read)
// that way is said, though the mapping is kept as the document gives it.
static void warn_mapping_access(db_st *db, const canopen_pdo_mapping_parameter_st *m, bool rx, uint32_t k)
{
    for (const canopen_pdo_mapping_st &e : m->mappings) {
        if (e.main_index == 0) continue;
        for (uint16_t i = 0; i < db->objects.len; ++i) {
            const db_obj_st &o = db->objects_buffer[i];
            if (o.obj.main_index != e.main_index) continue;
            const canopen_permissions_e refused = rx ? CANOPEN_RO : CANOPEN_WO;
            if (o.obj.permissions != refused) break;
            job_warning("%s %u maps '%s', which is %s.\n", rx ? "RXPDO" : "TXPDO", (unsigned)k + 1, o.name.value_str,
                        rx ? "read only" : "write only");
            break;
        }
    }
}

// The database knows one transmission type; anything else would be exported as it, unasked.
static bool read_transmission(parser_node_st node, uint32_t *out, const char *kind, uint32_t k)
{
    char text[64] = "";
    int64_t n = 0;
    uint32_t len = 0;
    const char *raw = parser_get_raw(node, &len);
    if (parser_get_type(node) == PARSER_STRING) parser_get_string(node, text, sizeof text);
    if (std::strcmp(text, "ASYNC") == 0 || std::strcmp(text, "CANOPEN_PDO_TRANSMISSION_ASYNC") == 0 ||
        (raw && !db_int_text(raw, len, &n) && n == 255)) {
        *out = str_to_transmission(node);
        return true;
    }
    job_error("\"transmission\" of %s %u is '%.*s'; only 255 (ASYNC) is known.\n", kind, (unsigned)k + 1, (int)len,
              raw ? raw : "");
    db_mark_failed();
    return false;
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
        int64_t n = 0;
        if (!pdo_number(node, std::string("cobid of ") + kind + " " + std::to_string(k + 1), 0, UINT32_MAX, &n))
            return false;
        std::snprintf(dest, dest_length, "0x%" PRIx64, (uint64_t)n);
        return true;
    }
    if (parser_get_type(node) != PARSER_STRING) {
        job_error("\"cobid\" of %s %u is neither a number nor a text.\n", kind, (unsigned)k + 1);
        db_mark_failed();
        return false;
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
            bool fields = read_cobid(parser_find_child(e, "cobid"), p.cobid, sizeof p.cobid, "RXPDO", k);
            fields = read_transmission(parser_find_child(e, "transmission"), &p.transmission, "RXPDO", k) && fields;
            if (!fields) *result = false;
            bool r = pdo_parse_mappings(parser_find_child(e, "mappings"), &p.mappings);
            warn_mapping_access(db, &p.mappings, true, k);
            if (!r) *result = false;
            parser_node_st index = parser_find_child(e, "index");
            int64_t m = 0;
            if (parser_node_is_valid(index) &&
                !pdo_number(index, "index of RXPDO " + std::to_string(k + 1), 0, DB_PDO_MAX_COUNT - 1, &m)) {
                *result = false;
                r = false;
            } else if (parser_node_is_valid(index)) {
                if (m < (int64_t)db->rxpdos.len) {
                    // It would land at another position than the one it names.
                    job_error("RXPDO at index \"%u\" names position %" PRIi64 ", which RXPDO %u already holds.\n",
                              (unsigned)k, m, (unsigned)db->rxpdos.len);
                    *result = false;
                    r = false;
                }
                while ((int64_t)db->rxpdos.len < m && pdo_room(&db->rxpdos, "RXPDO")) {
                    empty_rxpdo(&db->rxpdo_buffer[db->rxpdos.len++]);
                    say_flushed("RXPDO %u initialized as empty\n", (unsigned)(n + 1));
                    ++n;
                }
            }
            if (r && fields && pdo_room(&db->rxpdos, "RXPDO")) {
                say_flushed("RXPDO %u used bytes: %u / 8\n", (unsigned)(n + 1), (unsigned)mapped_bytes(&p.mappings));
                db->rxpdo_buffer[db->rxpdos.len++] = p;
                ++n;
            }
            if (!parser_get_next_sibling(e, &e)) break;
        }
    } else if (parser_node_is_valid(rx_count)) {
        int64_t m = 0;
        if (!pdo_number(rx_count, "RXPDO_COUNT", 0, DB_PDO_MAX_COUNT, &m)) *result = false;
        for (int64_t i = 0; i < m && pdo_room(&db->rxpdos, "RXPDO"); ++i)
            empty_rxpdo(&db->rxpdo_buffer[db->rxpdos.len++]);
        say_flushed("%i RXPDO's initialized\n", (int)m);
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
            const std::string which = " of TXPDO " + std::to_string(k + 1);
            bool fields = read_cobid(parser_find_child(e, "cobid"), p.cobid, sizeof p.cobid, "TXPDO", k);
            fields = read_transmission(parser_find_child(e, "transmission"), &p.transmission, "TXPDO", k) && fields;
            // Both are UNSIGNED16 on the bus: 100 us and 1 ms units.
            int64_t inhibit = 0, event = 0;
            fields = pdo_number(parser_find_child(e, "inhibittime"), "inhibittime" + which, 0, 0xFFFF, &inhibit) &&
                     fields;
            fields = pdo_number(parser_find_child(e, "eventtimer"), "eventtimer" + which, 0, 0xFFFF, &event) && fields;
            p.inhibit_time = (int32_t)inhibit;
            p.event_timer = (uint32_t)event;
            bool r = pdo_parse_mappings(parser_find_child(e, "mappings"), &p.mappings);
            warn_mapping_access(db, &p.mappings, false, k);
            if (!r || !fields) *result = false;
            if (r && fields && pdo_room(&db->txpdos, "TXPDO")) {
                say_flushed("TXPDO %u used bytes: %u / 8\n", (unsigned)(k + 1), (unsigned)mapped_bytes(&p.mappings));
                db->txpdo_buffer[db->txpdos.len++] = p;
            }
            if (!parser_get_next_sibling(e, &e)) break;
        }
    } else if (parser_node_is_valid(tx_count)) {
        int64_t m = 0;
        if (!pdo_number(tx_count, "TXPDO_COUNT", 0, DB_PDO_MAX_COUNT, &m)) *result = false;
        for (int64_t i = 0; i < m && pdo_room(&db->txpdos, "TXPDO"); ++i)
            empty_txpdo(&db->txpdo_buffer[db->txpdos.len++]);
        say_flushed("%i TXPDO's initialized\n", (int)m);
    } else {
        job_warning("TXPDO array not found in JSON.\n");
    }
    return true;
}
