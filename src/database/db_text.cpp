// The device database's texts: names made C identifiers and symbols, and the type, permission
// and transmission names a document writes and the generated code uses.
#include <cctype>
#include <cstdio>
#include <cstring>

#include "db_internal.h"

/* ---- Names and symbols ---- */

char *str_to_upper_nonspace(char *text)
{
    for (char *p = text; *p; ++p) {
        unsigned char c = (unsigned char)*p;
        if (std::isspace(c) || c == ',' || c == ':' || c == '=')
            *p = '_';
        else
            *p = (char)std::toupper(c);
    }
    return text;
}

void db_c_ident(const char *text, char *dest, size_t dest_length)
{
    if (!dest || dest_length == 0) return;
    size_t n = 0;
    for (const char *p = text ? text : ""; *p && n + 1 < dest_length; ++p) {
        unsigned char c = (unsigned char)std::toupper((unsigned char)*p);
        dest[n++] = ((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_') ? (char)c : '_';
    }
    dest[n] = '\0';
}

const char *db_dev_symbol(const db_st *db)
{
    // Every symbol begins with this one, so it must not begin with a digit.
    static char sym[130];
    bool digit = db->dev_name[0] >= '0' && db->dev_name[0] <= '9';
    sym[0] = '_';
    db_c_ident(db->dev_name, sym + (digit ? 1 : 0), sizeof sym - 1);
    return sym;
}

void db_obj_symbol(const db_st *db, const char *name, char *dest, size_t dest_length)
{
    const char *dev_sym = db_dev_symbol(db);
    char ident[1024];
    db_c_ident(name, ident, sizeof ident);
    // A device name that begins with a digit has its symbol prefixed; a name already beginning with it
    // still gets no second prefix.
    const char *plain = dev_sym + (db->dev_name[0] >= '0' && db->dev_name[0] <= '9' ? 1 : 0);
    size_t plain_len = std::strlen(plain);
    if (std::strncmp(ident, plain, plain_len) == 0)
        std::snprintf(dest, dest_length, "%s%s", dev_sym, ident + plain_len);
    else
        std::snprintf(dest, dest_length, "%s_%s", dev_sym, ident);
}

const char *db_c_name_problem(const char *name)
{
    static const char *const keywords[] = {
        "auto",       "break",     "case",           "char",          "const",    "continue", "default",  "do",
        "double",     "else",      "enum",           "extern",        "float",    "for",      "goto",     "if",
        "inline",     "int",       "long",           "register",      "restrict", "return",   "short",    "signed",
        "sizeof",     "static",    "struct",         "switch",        "typedef",  "union",    "unsigned", "void",
        "volatile",   "while",     "_Alignas",       "_Alignof",      "_Atomic",  "_Bool",    "_Complex", "_Generic",
        "_Imaginary", "_Noreturn", "_Static_assert", "_Thread_local", "asm",      "typeof",
    };
    const unsigned char *p = (const unsigned char *)name;
    if (!std::isalpha(*p) && *p != '_') return "is no C identifier";
    for (; *p; ++p)
        if (!std::isalnum(*p) && *p != '_') return "is no C identifier";
    for (const char *k : keywords)
        if (std::strcmp(name, k) == 0) return "is a keyword of C";
    if (name[0] == '_' && (name[1] == '_' || std::isupper((unsigned char)name[1])))
        return "is reserved to the compiler (it begins with '__' or '_' and a capital)";
    if (std::strncmp(name, "_kr", 3) == 0 || std::strncmp(name, "_KR", 3) == 0) return "is reserved to the library";
    if (std::strcmp(name, "main") == 0) return "is the firmware's main";
    return nullptr;
}

/* ---- Conversions ---- */

namespace {
struct type_row {
    const char *name;
    canopen_object_type_e code;
};
const type_row type_table[] = {
    {"CANOPEN_UNSIGNED32", 4}, {"CANOPEN_SIGNED32", 4},         {"CANOPEN_UNSIGNED16", 2},
    {"CANOPEN_SIGNED16", 2},   {"CANOPEN_UNSIGNED8", 1},        {"CANOPEN_SIGNED8", 1},
    {"CANOPEN_ARRAY32", 68},   {"CANOPEN_ARRAYUNSIGNED32", 68}, {"CANOPEN_ARRAYSIGNED32", 68},
    {"CANOPEN_ARRAY16", 66},   {"CANOPEN_ARRAYUNSIGNED16", 66}, {"CANOPEN_ARRAYSIGNED16", 66},
    {"CANOPEN_ARRAY8", 65},    {"CANOPEN_ARRAYUNSIGNED8", 65},  {"CANOPEN_ARRAYSIGNED8", 65},
    {"CANOPEN_STRING", 17},
};
} // namespace

canopen_object_type_e db_str_to_type(const char *text)
{
    for (const auto &row : type_table)
        if (text && std::strcmp(text, row.name) == 0) return row.code;
    return 1;
}

bool db_type_name_known(const char *text)
{
    for (const auto &row : type_table)
        if (text && std::strcmp(text, row.name) == 0) return true;
    return false;
}

bool db_type_known(parser_node_st node)
{
    char text[64] = "";
    if (parser_get_type(node) != PARSER_STRING || !parser_get_string(node, text, sizeof text)) return false;
    return db_type_name_known(text);
}

canopen_object_type_e db_paramval_to_type(parser_node_st node)
{
    char text[128] = "";
    if (parser_get_type(node) == PARSER_STRING) parser_get_string(node, text, sizeof text);
    return db_str_to_type(text);
}

char *db_type_to_str(canopen_object_type_e type, char *dest)
{
    const char *s = "UNKNOWN";
    switch (type) {
    case 1: s = "CANOPEN_UNSIGNED8"; break;
    case 2: s = "CANOPEN_UNSIGNED16"; break;
    case 4: s = "CANOPEN_UNSIGNED32"; break;
    case 17: s = "CANOPEN_STRING"; break;
    case 65: s = "CANOPEN_ARRAY8"; break;
    case 66: s = "CANOPEN_ARRAY16"; break;
    case 68: s = "CANOPEN_ARRAY32"; break;
    default: break;
    }
    std::strcpy(dest, s);
    return dest;
}

char *db_type_to_stdint(canopen_object_type_e type, char *dest)
{
    const char *s = "void";
    switch (type) {
    case 1:
    case 65: s = "uint8_t"; break;
    case 2:
    case 66: s = "uint16_t"; break;
    case 4:
    case 68: s = "uint32_t"; break;
    case 17: s = "char *"; break;
    default: break;
    }
    std::strcpy(dest, s);
    return dest;
}

char *db_permission_to_str(canopen_permissions_e p, char *dest)
{
    std::strcpy(dest, p == 1 ? "CANOPEN_RO" : p == 3 ? "CANOPEN_RW" : p == 2 ? "CANOPEN_WO" : "UNKNOWN");
    return dest;
}

char *db_permission_to_longstr(canopen_permissions_e p, char *dest)
{
    std::strcpy(dest, p == 1 ? "Read only" : p == 3 ? "Read / Write" : p == 2 ? "Write only" : "UNKNOWN");
    return dest;
}

char *db_transmission_to_str(uint32_t transmission, char *dest)
{
    std::strcpy(dest, transmission == 255 ? "CANOPEN_PDO_TRANSMISSION_ASYNC" : "CANOPEN_PDO_TRANSMISSION_UNKNOWN");
    return dest;
}

canopen_permissions_e str_to_permissions(parser_node_st node)
{
    char text[64] = "";
    parser_get_string(node, text, sizeof text);
    if (std::strcmp(text, "CANOPEN_WO") == 0) return 2;
    if (std::strcmp(text, "CANOPEN_RW") == 0) return 3;
    return 1;
}

db_obj_type_e str_to_objtype(parser_node_st node)
{
    char text[64] = "";
    parser_get_string(node, text, sizeof text);
    struct {
        const char *name;
        db_obj_type_e type;
    } static const table[] = {
        {"NONVOL_PARAM", DB_OBJ_TYPE_NONVOL_PARAM},
        {"NONVOL PARAM", DB_OBJ_TYPE_NONVOL_PARAM},
        {"OPDB", DB_OBJ_TYPE_OPDB},
        {"OPERATOR DATABASE", DB_OBJ_TYPE_OPDB},
        {"OP_COUNT", DB_OBJ_TYPE_OP_COUNT},
        {"OP COUNT", DB_OBJ_TYPE_OP_COUNT},
        {"OPERATOR COUNT", DB_OBJ_TYPE_OP_COUNT},
        {"OPERATOR_COUNT", DB_OBJ_TYPE_OP_COUNT},
        {"CURRENT_OP", DB_OBJ_TYPE_CURRENT_OP},
        {"CURRENT OP", DB_OBJ_TYPE_CURRENT_OP},
        {"CURRENT OPERATOR", DB_OBJ_TYPE_CURRENT_OP},
        {"CURRENT_OPERATOR", DB_OBJ_TYPE_CURRENT_OP},
        {"EMCY", DB_OBJ_TYPE_EMCY},
        {"EMERGENCY", DB_OBJ_TYPE_EMCY},
        {"CAN_IF", DB_OBJ_TYPE_IF_VERSION},
        {"CAN IF", DB_OBJ_TYPE_IF_VERSION},
    };
    for (const auto &row : table)
        if (std::strcmp(text, row.name) == 0) return row.type;
    return DB_OBJ_TYPE_UNDEFINED;
}

uint32_t str_to_transmission(parser_node_st) { return 255; }
