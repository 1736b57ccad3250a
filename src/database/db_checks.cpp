// Limits of the device database document: numbers that would be cut or wrapped into their fields,
// and objects that would share an index and sub-index in the generated dictionary.
#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <string>

#include "db_internal.h"
#include "database/parser.h"

const char *db_int_text(const char *text, size_t len, int64_t *out)
{
    size_t i = 0;
    bool negative = false;
    if (i < len && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    unsigned base = 10;
    if (len - i >= 2 && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
        base = 16;
        i += 2;
    } else if (len - i >= 2 && text[i] == '0') {
        base = 8;
        ++i;
    }
    if (i == len) return "is no number";
    uint64_t v = 0;
    for (; i < len; ++i) {
        unsigned char c = (unsigned char)text[i];
        unsigned d = std::isdigit(c)    ? (unsigned)(c - '0')
                     : std::isxdigit(c) ? (unsigned)(std::tolower(c) - 'a' + 10)
                                        : 99u;
        if (d >= base) {
            // strtol would stop here and give what it read so far: 08 would be 0.
            if (base == 8 && d < 10) return "is no number (a leading 0 makes it octal, which has no 8 or 9)";
            return "is no number";
        }
        if (v > (UINT64_MAX - d) / base) return "is too large";
        v = v * base + d;
    }
    if (v > (uint64_t)INT64_MAX) return "is too large";
    *out = negative ? -(int64_t)v : (int64_t)v;
    return nullptr;
}

static std::string where(const char *obj_name, const char *key)
{
    if (!obj_name || !obj_name[0]) return std::string("'") + key + "'";
    return std::string("Object '") + obj_name + "': \"" + key + "\"";
}

static std::string raw_text(parser_node_st node)
{
    uint32_t len = 0;
    const char *p = parser_get_raw(node, &len);
    return p ? std::string(p, len) : std::string();
}

bool db_read_number(dbvalue_st *v, parser_node_st node, const char *obj_name, const char *key)
{
    const parser_types_e kind = parser_get_type(node);
    const std::string text = raw_text(node);
    int64_t n = 0;
    const char *why = "is not a number";
    if (kind == PARSER_INT || kind == PARSER_STRING) {
        why = db_int_text(text.data(), text.size(), &n);
        if (!why) {
            dbvalue_set_exact(v, n);
            return true;
        }
    }
    // A text that begins like a number is a number written wrong, not a name.
    const char *t = text.c_str() + (text[0] == '-' || text[0] == '+');
    if (kind == PARSER_STRING && !std::isdigit((unsigned char)*t)) {
        dbvalue_set(v, node);
        if (db_value_resolved()) return true;
        // A number once string defines are put in.
        if (std::strcmp(v->value_str, text.c_str()) != 0 && !db_int_text(v->value_str, std::strlen(v->value_str), &n)) {
            dbvalue_set_exact(v, n);
            return true;
        }
        const db_define_st *d = db_define_find(&dev.db, text.c_str());
        if (d)
            job_error("%s '%s' names a define that is no number (it gives '%s').\n", where(obj_name, key).c_str(),
                      text.c_str(), v->value_str);
        else
            job_error("%s '%s' is no number and names no define.\n", where(obj_name, key).c_str(), text.c_str());
    } else if (kind == PARSER_INT || kind == PARSER_STRING) {
        job_error("%s '%s' %s.\n", where(obj_name, key).c_str(), text.c_str(), why);
    } else {
        job_error("%s is not a number.\n", where(obj_name, key).c_str());
    }
    dbvalue_free(v);
    db_mark_failed();
    return false;
}

static bool range_ok(const dbvalue_st *v, const char *obj_name, const char *key, int64_t lo, int64_t hi,
                     std::string shown)
{
    if (!dbvalue_is_set(v) || (v->value_exact >= lo && v->value_exact <= hi)) return true;
    int64_t n = 0;
    if (db_int_text(shown.data(), shown.size(), &n)) shown = "'" + shown + "'"; // a name, not a number
    if (n != v->value_exact) shown += " (" + std::to_string(v->value_exact) + ")";
    job_error("%s %s is outside %" PRIi64 "..%" PRIi64 " (0x%" PRIx64 ").\n", where(obj_name, key).c_str(),
              shown.c_str(), lo, hi, (uint64_t)hi);
    db_mark_failed();
    return false;
}

bool db_check_range(const dbvalue_st *v, const char *obj_name, const char *key, int64_t lo, int64_t hi)
{
    return range_ok(v, obj_name, key, lo, hi, v->value_str);
}

bool db_read_in_range(dbvalue_st *v, parser_node_st node, const char *obj_name, const char *key, int64_t lo, int64_t hi)
{
    // Named as the document wrote it.
    return db_read_number(v, node, obj_name, key) && range_ok(v, obj_name, key, lo, hi, raw_text(node));
}

static std::string c_ident(const char *text)
{
    std::string out(std::strlen(text) + 1, '\0');
    db_c_ident(text, out.data(), out.size());
    out.resize(std::strlen(out.c_str()));
    return out;
}

std::string db_expand_string_defines(db_st *db, const char *text, bool *endless)
{
    std::string s = text;
    const std::string dev_sym = db_dev_symbol(db);
    if (endless) *endless = false;
    // A define's text may name another, one level a round: a chain of every define ends within the
    // bound, so a text still changing after it names itself (the compiler would leave that name
    // undeclared). The size bound stops defines that double each other.
    for (int round = 0;; ++round) {
        if (round > DB_DEFINE_MAX_COUNT || s.size() > 65536) {
            if (endless) *endless = true;
            break;
        }
        std::string out;
        bool changed = false;
        for (size_t i = 0; i < s.size();) {
            unsigned char c = (unsigned char)s[i];
            if (!std::isalpha(c) && c != '_') {
                // A number's letters (0x1F, 10u) are no name.
                size_t j = i + 1;
                if (std::isdigit(c))
                    while (j < s.size() && (std::isalnum((unsigned char)s[j]) || s[j] == '_')) ++j;
                out.append(s, i, j - i);
                i = j;
                continue;
            }
            size_t j = i;
            while (j < s.size() && (std::isalnum((unsigned char)s[j]) || s[j] == '_')) ++j;
            const std::string word = s.substr(i, j - i);
            const db_define_st *found = nullptr;
            for (uint16_t k = 0; k < db->defines.len && !found; ++k) {
                const db_define_st &d = db->defines_buffer[k];
                if (d.type == DB_DEFINE_STRING && word == dev_sym + "_" + c_ident(d.name)) found = &d;
            }
            if (found) {
                out += found->str;
                changed = true;
            } else {
                out += word;
            }
            i = j;
        }
        s = out;
        if (!changed) break;
    }
    return s;
}

// What the generated table may take as a data pointer: an address, never a statement.
static const char *address_problem(const char *text)
{
    const char *p = text;
    const char *problem = nullptr;
    auto blanks = [&] {
        while (*p == ' ') ++p;
    };
    auto word = [&](bool member) {
        if (!std::isalpha((unsigned char)*p) && *p != '_') return false;
        const char *s = p;
        while (std::isalnum((unsigned char)*p) || *p == '_') ++p;
        const std::string w(s, p);
        if (const char *why = db_c_name_problem(w.c_str())) problem = why;
        // A member may share a name with anything; a variable or an index may not name a macro, a
        // type or a function of the headers (&NULL, &bool, &EOF).
        if (!problem && !member && db_name_declared_by_headers(w.c_str()))
            problem = "names what a C or library header defines, not a variable";
        return !problem;
    };
    // An integer constant of C: the number forms, and the suffixes u and l.
    auto number = [&] {
        if (!std::isdigit((unsigned char)*p)) return false;
        const char *s = p;
        while (std::isalnum((unsigned char)*p)) ++p;
        const char *e = p;
        while (e > s && std::strchr("uUlL", e[-1])) --e;
        int64_t n = 0;
        if (db_int_text(s, (size_t)(e - s), &n)) problem = "holds a number C does not read as an integer";
        return !problem;
    };
    blanks();
    if (number()) {
        blanks();
        return *p == '\0' ? nullptr : "is not an address";
    }
    if (problem) return problem;
    if (*p == '&') ++p;
    blanks();
    if (!word(false)) return problem ? problem : "is not an address";
    for (;;) {
        blanks();
        if (*p == '.' || (p[0] == '-' && p[1] == '>')) {
            p += *p == '.' ? 1 : 2;
            blanks();
            if (!word(true)) return problem ? problem : "is not an address";
        } else if (*p == '[') {
            ++p;
            blanks();
            if (!word(false) && !number()) return problem ? problem : "is not an address";
            blanks();
            if (*p++ != ']') return "is not an address";
        } else {
            return *p == '\0' ? nullptr : "is not an address";
        }
    }
}

const char *db_pointer_problem(db_st *db, const char *text)
{
    static std::string why;
    bool endless = false;
    const std::string expanded = db_expand_string_defines(db, text, &endless);
    if (endless) return "names string defines that name each other without end";
    const char *problem = address_problem(expanded.c_str());
    if (!problem) return nullptr;
    why = problem;
    if (expanded != text) why += " once its defines are put in ('" + expanded + "')";
    return why.c_str();
}

static bool check_values(const char *obj, const char *type_str, uint8_t type, const dbvalue_st *const *values,
                         const char *const *keys, size_t count)
{
    int64_t lo = 0, hi = 0;
    if (!db_type_range(type_str, type, &lo, &hi)) return true;
    bool ok = true;
    for (size_t i = 0; i < count; ++i) ok = db_check_range(values[i], obj, keys[i], lo, hi) && ok;
    return ok;
}

static bool check_object(db_st *db, db_obj_st &o)
{
    const char *name = o.name.value_str;
    const uint8_t type = o.obj.type;
    bool ok = true;
    if (!canopen_type_is_array(type) && type != CANOPEN_STRING) {
        // The value is the default's copy unless an entry gave them apart; one message is enough.
        const bool same = o.value.value_exact == o.def.value_exact && !std::strcmp(o.value.value_str, o.def.value_str);
        const dbvalue_st *values[] = {&o.def, &o.min, &o.max, &o.value};
        const char *keys[] = {"default", "min", "max", "value"};
        ok = check_values(name, o.type_str, type, values, keys, same ? 3 : 4);
    } else if (type == CANOPEN_STRING) {
        ok = db_check_range(&o.string_len, name, "stringsize", 1, 0xFFFF);
        size_t def_len = std::strlen(o.string_def.value_str);
        if (ok && dbvalue_is_set(&o.string_def) && dbvalue_is_set(&o.string_len) &&
            (int64_t)def_len + 1 > o.string_len.value_exact) {
            job_error("Object '%s': the default of %zu characters and its terminator do not fit \"stringsize\" %" PRIi64
                      ".\n",
                      name, def_len, o.string_len.value_exact);
            ok = false;
        }
    } else {
        ok = db_check_range(&o.array_max_size, name, "arraysize", 0, DB_ARRAY_MAX_ELEMENTS);
        if (!o.child_ptr) {
            job_error("Array object '%s' has no elements.\n", name);
            ok = false;
        }
        for (const db_array_child_st *c = o.child_ptr; c; c = c->next_sibling) {
            const std::string cname = std::string(name) + " " + c->name.value_str;
            const dbvalue_st *values[] = {&c->min, &c->max, &c->def};
            const char *keys[] = {"min", "max", "default"};
            ok = check_values(cname.c_str(), o.type_str, type, values, keys, 3) && ok;
        }
    }
    if (dbvalue_is_set(&o.dataptr) && o.dataptr.value_str[0]) {
        if (const char *why = db_pointer_problem(db, o.dataptr.value_str)) {
            // Written into the generated table as it stands: anything but an address would be code.
            job_error("Object '%s': \"dataptr\" '%s' %s (a name, '&' and a name, member or index access, or a "
                      "number).\n",
                      name, o.dataptr.value_str, why);
            ok = false;
        }
    }
    return ok;
}

bool db_check_objects(db_st *db)
{
    bool ok = true;
    for (uint16_t i = 0; i < db->objects.len; ++i) ok = check_object(db, db->objects_buffer[i]) && ok;
    if (!ok) db_mark_failed();
    return ok;
}

bool db_type_range(const char *type_str, uint8_t type, int64_t *lo, int64_t *hi)
{
    unsigned bytes = canopen_type_width(type);
    if (type == CANOPEN_STRING || (bytes != 1 && bytes != 2 && bytes != 4)) return false;
    bool is_signed = type_str && std::strstr(type_str, "SIGNED") && !std::strstr(type_str, "UNSIGNED");
    unsigned bits = 8 * bytes;
    if (is_signed) {
        *lo = -(int64_t(1) << (bits - 1));
        *hi = (int64_t(1) << (bits - 1)) - 1;
    } else {
        *lo = 0;
        *hi = (int64_t(1) << bits) - 1;
    }
    return true;
}

bool db_check_duplicates(db_st *db)
{
    bool ok = true;
    for (uint16_t i = 0; i < db->objects.len; ++i) {
        const db_obj_st &a = db->objects_buffer[i];
        bool a_whole = canopen_type_is_array(a.obj.type) || a.obj.type == CANOPEN_STRING;
        for (uint16_t k = (uint16_t)(i + 1); k < db->objects.len; ++k) {
            const db_obj_st &b = db->objects_buffer[k];
            if (a.obj.main_index != b.obj.main_index) continue;
            bool b_whole = canopen_type_is_array(b.obj.type) || b.obj.type == CANOPEN_STRING;
            if (!a_whole && !b_whole && a.obj.sub_index != b.obj.sub_index) continue;
            job_error("Objects '%s' and '%s' both take index 0x%x sub-index %u.\n", a.name.value_str, b.name.value_str,
                      (unsigned)a.obj.main_index, (unsigned)(a_whole ? b.obj.sub_index : a.obj.sub_index));
            ok = false;
        }
    }
    if (!ok) db_mark_failed();
    return ok;
}
