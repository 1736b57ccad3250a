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

bool db_exact_int(parser_node_st node, int64_t *out)
{
    if (parser_get_type(node) != PARSER_INT) return false;
    std::string text;
    const char *p = parser_get_string_ptr(node);
    if (p) {
        text.assign(p, parser_get_string_len(node));
    } else if (node.format == PARSER_FORMAT_JSON && node.json) {
        // A bare JSON number: after the member's key, up to the next separator.
        const char *v = node.json;
        if (*v == '"') {
            const char *q = std::strchr(v + 1, '"');
            if (q && q[1] == ':') v = q + 2;
        }
        size_t n = std::strcspn(v, ",]}");
        text.assign(v, n);
    } else {
        *out = parser_get_int(node);
        return true;
    }
    const char *s = text.c_str();
    while (*s == ' ' || *s == '\t') s++;
    errno = 0;
    char *end = nullptr;
    long long v = std::strtoll(s, &end, 0);
    if (end == s) {
        *out = parser_get_int(node);
        return true;
    }
    if (errno == ERANGE) v = (*s == '-') ? INT64_MIN : INT64_MAX;
    *out = v;
    return true;
}

static std::string node_text(parser_node_st node)
{
    const char *p = parser_get_string_ptr(node);
    return p ? std::string(p, parser_get_string_len(node)) : std::string();
}

// A whole text that is one integer (blanks around it allowed).
static bool number_text(const char *text, int64_t *out)
{
    const char *s = text;
    while (*s == ' ' || *s == '\t') s++;
    if (!*s) return false;
    errno = 0;
    char *end = nullptr;
    long long v = std::strtoll(s, &end, 0);
    if (end == s) return false;
    while (*end == ' ' || *end == '\t') end++;
    if (*end) return false;
    if (errno == ERANGE) v = (*s == '-') ? INT64_MIN : INT64_MAX;
    *out = v;
    return true;
}

bool db_set_number(dbvalue_st *v, parser_node_st node, const char *obj_name, const char *key, int64_t lo, int64_t hi)
{
    int64_t exact = 0;
    std::string shown;
    if (db_exact_int(node, &exact)) {
        shown = node_text(node);
        if (shown.empty()) shown = std::to_string(exact);
        // The 32 bits the device holds: 0xFFFFFFFF is -1 here, as a quoted hexadecimal text gives it.
        bool fits = exact >= INT32_MIN && exact <= (int64_t)UINT32_MAX;
        dbvalue_set_int(v, fits ? (int32_t)(uint32_t)(uint64_t)exact : parser_get_int(node));
    } else if (parser_get_type(node) == PARSER_STRING) {
        dbvalue_set(v, node);
        shown.append("'").append(node_text(node)).append("'");
        if (db_value_resolved()) {
            exact = v->value_int;
            if (hi > INT32_MAX && exact < 0) exact += int64_t(1) << 32;
            shown += " (" + std::to_string(exact) + ")";
        } else if (number_text(v->value_str, &exact)) {
            // A number, written as text or made one by a string define.
            v->value_int = (int32_t)(uint32_t)(uint64_t)exact;
            const std::string text = v->value_str;
            if (shown.compare(1, shown.size() - 2, text) != 0) shown.append(" (").append(text).append(")");
        } else {
            job_error("Object '%s': \"%s\" %s is no number and names no define.\n", obj_name, key, shown.c_str());
            db_mark_failed();
            return false;
        }
    } else {
        job_error("Object '%s': \"%s\" is not a number.\n", obj_name, key);
        db_mark_failed();
        return false;
    }
    if (exact >= lo && exact <= hi) return true;
    job_error("Object '%s': \"%s\" %s is outside %" PRIi64 "..%" PRIi64 " (0x%" PRIx64 "); it would be cut to fit.\n",
              obj_name, key, shown.c_str(), lo, hi, (uint64_t)hi);
    db_mark_failed();
    return false;
}

bool db_check_u32(const char *key, parser_node_st node, uint32_t *out)
{
    int64_t exact = 0;
    if (db_exact_int(node, &exact) && exact >= 0 && exact <= (int64_t)UINT32_MAX) {
        *out = (uint32_t)exact;
        return true;
    }
    std::string shown = node_text(node);
    if (shown.empty() && parser_get_type(node) == PARSER_INT) shown = std::to_string(exact);
    job_error("'%s' %s does not fit 32 bits.\n", key, shown.c_str());
    db_mark_failed();
    return false;
}

// What the reader or the writer of a data pointer may take: an address, never a statement.
bool db_address_text(const char *text)
{
    const char *p = text;
    auto blanks = [&] {
        while (*p == ' ') ++p;
    };
    auto word = [&] {
        if (!std::isalpha((unsigned char)*p) && *p != '_') return false;
        while (std::isalnum((unsigned char)*p) || *p == '_') ++p;
        return true;
    };
    auto number = [&] {
        if (!std::isdigit((unsigned char)*p)) return false;
        while (std::isalnum((unsigned char)*p)) ++p;
        return true;
    };
    blanks();
    if (number()) {
        blanks();
        return *p == '\0';
    }
    if (*p == '&') ++p;
    blanks();
    if (!word()) return false;
    for (;;) {
        blanks();
        if (*p == '.' || (p[0] == '-' && p[1] == '>')) {
            p += *p == '.' ? 1 : 2;
            blanks();
            if (!word()) return false;
        } else if (*p == '[') {
            ++p;
            blanks();
            if (!word() && !number()) return false;
            blanks();
            if (*p++ != ']') return false;
        } else {
            return *p == '\0';
        }
    }
}

bool db_type_range(const char *type_str, uint8_t type, int64_t *lo, int64_t *hi)
{
    unsigned bytes = type & CANOPEN_NUMBER_MASK;
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
        bool a_whole = a.obj.type > 63 || a.obj.type == CANOPEN_STRING;
        for (uint16_t k = (uint16_t)(i + 1); k < db->objects.len; ++k) {
            const db_obj_st &b = db->objects_buffer[k];
            if (a.obj.main_index != b.obj.main_index) continue;
            bool b_whole = b.obj.type > 63 || b.obj.type == CANOPEN_STRING;
            if (!a_whole && !b_whole && a.obj.sub_index != b.obj.sub_index) continue;
            job_error("Objects '%s' and '%s' both take index 0x%x sub-index %u.\n", a.name.value_str, b.name.value_str,
                      (unsigned)a.obj.main_index, (unsigned)(a_whole ? b.obj.sub_index : a.obj.sub_index));
            ok = false;
        }
    }
    if (!ok) db_mark_failed();
    return ok;
}
