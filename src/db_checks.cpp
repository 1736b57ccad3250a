// Limits of the device database document: numbers that would be cut or wrapped into their fields,
// and objects that would share an index and sub-index in the generated dictionary.
#include <cerrno>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <string>

#include "db_internal.h"
#include "parser.h"

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

bool db_check_range(const char *obj_name, const char *key, parser_node_st node, int64_t lo, int64_t hi)
{
    int64_t v = 0;
    if (!db_exact_int(node, &v) || (v >= lo && v <= hi)) return true;
    std::string shown = parser_get_string_ptr(node) ? std::string(parser_get_string_ptr(node), parser_get_string_len(node))
                                                    : std::to_string(v);
    db_error("Object '%s': \"%s\" %s is outside %" PRIi64 "..%" PRIi64 " (0x%" PRIx64 "); it would be cut to fit.\n",
             obj_name, key, shown.c_str(), lo, hi, (uint64_t)hi);
    db_mark_failed();
    return false;
}

bool db_type_range(const char *type_str, uint8_t type, int64_t *lo, int64_t *hi)
{
    unsigned bytes = type & CANOPEN_NUMBER_MASK;
    if (type > 63 || type == 17 || (bytes != 1 && bytes != 2 && bytes != 4)) return false;
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
        bool a_whole = a.obj.type > 63 || a.obj.type == 17;
        for (uint16_t k = (uint16_t)(i + 1); k < db->objects.len; ++k) {
            const db_obj_st &b = db->objects_buffer[k];
            if (a.obj.main_index != b.obj.main_index) continue;
            bool b_whole = b.obj.type > 63 || b.obj.type == 17;
            if (!a_whole && !b_whole && a.obj.sub_index != b.obj.sub_index) continue;
            db_error("Objects '%s' and '%s' both take index 0x%x sub-index %u.\n", a.name.value_str, b.name.value_str,
                     (unsigned)a.obj.main_index, (unsigned)(a_whole ? b.obj.sub_index : a.obj.sub_index));
            ok = false;
        }
    }
    if (!ok) db_mark_failed();
    return ok;
}
