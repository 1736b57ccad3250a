// The C export of the device database: the header of symbols and the source of the start-up record,
// the object table and the array initializers. Every symbol is a C identifier built by one rule, so
// header and source always agree; files are written whole or not at all.
#include "database/export.h"
#include "db_internal.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "run/console.h"
#include "database/db.h"
#include "run/main.h"
#include "database/parser.h"

namespace {

// The source is built on a fresh header, whose progress lines were printed by the header's export.
bool quiet_progress = false;

void info(const char *text)
{
    if (quiet_progress) return;
    std::fputs(text, stdout);
    std::fflush(stdout);
}

std::string fmt(const char *format, ...) __attribute__((format(printf, 1, 2)));
std::string fmt(const char *format, ...)
{
    char buf[1024];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(buf, sizeof buf, format, ap);
    va_end(ap);
    return buf;
}

std::string ident(const std::string &text)
{
    std::string out(text.size() + 1, '\0');
    db_c_ident(text.c_str(), out.data(), out.size());
    out.resize(std::strlen(out.c_str()));
    return out;
}

std::string lower(std::string s)
{
    for (char &c : s) c = (char)std::tolower((unsigned char)c);
    return s;
}

// The one writer of C string literals: any text, read back by C as it was. UTF-8 stays as it is;
// other bytes are octal escapes, so the source is UTF-8 whatever the document held.
std::string c_string(const char *text)
{
    std::string out = "\"";
    for (const unsigned char *p = (const unsigned char *)text; *p; ++p) {
        if (*p >= 0x80) {
            const size_t n = db_utf8_length((const char *)p, std::strlen((const char *)p));
            if (n == 0) {
                char esc[8];
                std::snprintf(esc, sizeof esc, "\\%03o", *p);
                out += esc;
            } else {
                out.append((const char *)p, n);
                p += n - 1;
            }
        } else if (*p == '"' || *p == '\\') {
            out += '\\';
            out += (char)*p;
        } else if (*p == '?' && p[1] == '?') {
            // ?? and a third character would be a trigraph under -std=c11.
            out += "?\\";
        } else if (*p < 0x20 || *p == 0x7F) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\%03o", *p);
            out += esc;
        } else {
            out += (char)*p;
        }
    }
    return out + "\"";
}

// Text that may stand in a line of C as written: no line ends, escapes, quotes, comment openers or
// trigraphs.
bool plain_text(const char *text)
{
    for (const unsigned char *p = (const unsigned char *)text; *p; ++p)
        if (*p < 0x20 || *p == 0x7F || *p == '"' || *p == '\'' || *p == '\\') return false;
    return !std::strstr(text, "/*") && !std::strstr(text, "//") && !std::strstr(text, "??");
}

// The one writer of C integer constants: C reads it back as v, with its sign (-0x80000000 would be
// the unsigned 2147483648).
std::string c_int(int64_t v)
{
    if (v == INT32_MIN) return "(-2147483647 - 1)";
    if (v > INT32_MAX && v <= (int64_t)UINT32_MAX) return std::to_string(v) + "u";
    return std::to_string(v);
}

// A number as C reads it: an integer the database reads the same way (a u or l suffix allowed), or
// a floating constant. 08, 0x or 12kg are none.
bool c_number(const std::string &t)
{
    size_t e = t.size();
    while (e > 0 && std::strchr("uUlL", t[e - 1])) --e;
    int64_t n = 0;
    if (e > 0 && !db_int_text(t.data(), e, &n)) return true;
    if (t.find_first_of(".eEpP") == std::string::npos) return false;
    std::string f = t;
    if (std::strchr("fFlL", f.back())) f.pop_back();
    char *end = nullptr;
    std::strtod(f.c_str(), &end);
    return !f.empty() && end && *end == '\0';
}

// A string define's text stands as it is when it is an expression of numbers, names and operators
// with its brackets closed; any other text is a string literal.
bool c_expression(const char *text)
{
    int depth = 0;
    bool any = false;
    for (const char *p = text; *p;) {
        unsigned char c = (unsigned char)*p;
        if (std::isdigit(c) || (c == '.' && std::isdigit((unsigned char)p[1]))) {
            // One preprocessing number, as C cuts it (a sign belongs to it after an exponent).
            const char *s = p++;
            while (std::isalnum((unsigned char)*p) || *p == '_' || *p == '.' ||
                   ((*p == '+' || *p == '-') && std::strchr("eEpP", p[-1])))
                ++p;
            if (!c_number(std::string(s, p))) return false;
            any = true;
            continue;
        }
        if (std::isalpha(c) || c == '_') {
            while (std::isalnum((unsigned char)*p) || *p == '_') ++p;
            any = true;
            continue;
        }
        if (c == '(' || c == '[')
            ++depth;
        else if (c == ')' || c == ']') {
            if (--depth < 0) return false;
        } else if (!std::strchr(" +-*/%<>|&~^!.", c))
            return false;
        ++p;
    }
    return any && depth == 0 && plain_text(text);
}

// The names of a literal that holds each one ended by a NUL (and ends with the literal's own NUL).
std::unordered_set<std::string> names_of(const char *listed, size_t size)
{
    std::unordered_set<std::string> names;
    for (const char *p = listed; p < listed + size - 1;) {
        const std::string_view name(p);
        names.emplace(name);
        p += name.size() + 1;
    }
    return names;
}

// Every name the headers that a generated source includes declare (generated at build time).
const std::unordered_set<std::string> &library_names()
{
    // One literal of NUL-ended names: an initializer list of two thousand strings takes a sanitizing
    // compiler minutes, and a table of pointers would be relocated at every start of the binary.
    static const char listed[] =
#include "kr_library_names.inc"
        ;
    static const std::unordered_set<std::string> names = names_of(listed, sizeof listed);
    return names;
}

// Every name the C standard's headers and the library's headers define or declare at file scope:
// a generated header may follow any of them, and a data pointer must name a variable.
const std::unordered_set<std::string> &declared_names()
{
    static const char listed[] =
#include "kr_declared_names.inc"
        ;
    static const std::unordered_set<std::string> names = names_of(listed, sizeof listed);
    return names;
}

// The library's CANOPEN_ macros that are integer constants, with their values as C writes them.
const std::unordered_map<std::string, std::string> &library_constants()
{
    static const char *const listed[][2] = {
#include "kr_library_constants.inc"
    };
    static std::unordered_map<std::string, std::string> values;
    if (values.empty())
        for (const auto &row : listed) values.emplace(row[0], row[1]);
    return values;
}

// An integer of a C constant expression with its type: int, unsigned int, long, unsigned long.
struct c_value {
    __int128 v;
    bool is_unsigned;
    bool is_long;
};

int64_t type_max(const c_value &t) { return t.is_long ? INT64_MAX : t.is_unsigned ? UINT32_MAX : INT32_MAX; }

// The value of an integer constant as C types it (C11 6.4.4.1), or false for no such constant.
bool c_literal(const std::string &t, c_value *out)
{
    size_t e = t.size();
    bool u = false, l = false;
    while (e > 0 && std::strchr("uUlL", t[e - 1])) (std::tolower((unsigned char)t[--e]) == 'u' ? u : l) = true;
    int64_t n = 0;
    if (e == 0 || t[0] == '-' || t[0] == '+' || db_int_text(t.data(), e, &n)) return false;
    const bool decimal = t[0] != '0' || e == 1;
    out->v = n;
    out->is_long = l || n > (u || !decimal ? (int64_t)UINT32_MAX : (int64_t)INT32_MAX);
    out->is_unsigned = u || (!decimal && !out->is_long && n > INT32_MAX);
    return true;
}

struct exporter {
    db_st *db;
    std::string dev_sym;   // DEV
    std::string dev_lower; // dev
    std::string out;
    // Every symbol the header defines, with what it came from: two names that give one symbol would
    // not compile.
    std::unordered_map<std::string, std::string> symbols;
    // The symbols that are integer constants, with their values and C types.
    std::unordered_map<std::string, c_value> values;
    // The symbols that are string literals: arrays, so a data pointer may name them.
    std::unordered_set<std::string> literals;
    std::vector<std::string> clashes;

    explicit exporter(db_st *d) : db(d), dev_sym(db_dev_symbol(d)), dev_lower(lower(dev_sym)) {}

    // Every name the generated files define passes here: one name check for all of them.
    void add_symbol(const std::string &sym, const std::string &origin)
    {
        auto [it, fresh] = symbols.emplace(sym, origin);
        if (!fresh)
            clashes.push_back("'" + it->second + "' and '" + origin + "' both give the C symbol " + sym);
        else if (library_names().count(sym))
            clashes.push_back("'" + origin + "' gives the C symbol " + sym + ", which the library's headers declare");
        else if (declared_names().count(sym))
            clashes.push_back("'" + origin + "' gives the C symbol " + sym +
                              ", which a standard C header defines or declares");
        else if (const char *why = db_c_name_problem(sym.c_str()))
            clashes.push_back("'" + origin + "' gives the C symbol " + sym + ", which " + why);
    }

    void define(const std::string &sym, const std::string &value, const std::string &origin)
    {
        add_symbol(sym, origin);
        c_value v{};
        std::string why;
        if (evaluate(value, &v, &why)) values[sym] = v;
        if (!value.empty() && value[0] == '"') literals.insert(sym);
        out += "#define " + sym;
        int pad = DEFINE_VALUE_COL - (int)(8 + sym.size());
        out.append((size_t)(pad < 1 ? 1 : pad), ' ');
        out += value + "\n";
    }

    void enum_value(const std::string &sym, const std::string &value, bool comma)
    {
        out += "    " + sym;
        int pad = DEFINE_VALUE_COL - (int)(4 + sym.size());
        out.append((size_t)(pad < 1 ? 1 : pad), ' ');
        out += "= " + value + (comma ? ",\n" : "\n");
    }

    // Why a COB-ID is not an integer of 0..0xFFFFFFFF that C reads as the document means it, or
    // empty. The text is read by C's grammar over numbers, this header's integer symbols (string
    // defines put in, as C would) and the library's CANOPEN_ constants, and evaluated here: a
    // division by zero, a shift past the width, a value its C type cannot hold or a negative one
    // never reaches the source.
    std::string cobid_problem(const char *given)
    {
        bool endless = false;
        const std::string expanded = db_expand_string_defines(db, given, &endless);
        if (endless) return "names string defines that name each other without end";
        if (!plain_text(expanded.c_str())) return "is not an expression C reads";
        c_value v{};
        std::string why;
        if (!evaluate(expanded, &v, &why)) return why;
        if (v.v < 0 || v.v > UINT32_MAX)
            return "is " + std::to_string((int64_t)v.v) + ", outside 0..4294967295 (0xFFFFFFFF)";
        return "";
    }

    // Why a data pointer (string defines put in) names a symbol of this header where C needs a
    // variable, or an index that is no integer constant; empty when it names none.
    std::string pointer_problem(const char *given)
    {
        const std::string text = db_expand_string_defines(db, given);
        char before = ' ';
        bool base = true;
        for (size_t i = 0; i < text.size();) {
            const unsigned char c = (unsigned char)text[i];
            if (!std::isalpha(c) && c != '_') {
                if (c != ' ') before = (char)c;
                // A number's letters (0x1F, 10u) are no name.
                size_t j = i + 1;
                if (std::isdigit(c))
                    while (j < text.size() && std::isalnum((unsigned char)text[j])) ++j;
                i = j;
                continue;
            }
            size_t j = i;
            while (j < text.size() && (std::isalnum((unsigned char)text[j]) || text[j] == '_')) ++j;
            const std::string word = text.substr(i, j - i);
            const bool member = before == '.' || before == '>';
            if (!member && symbols.count(word) && (base ? !literals.count(word) : !values.count(word)))
                return "names " + word + ", which this header defines as " +
                       (base ? "no variable or string" : "no integer constant");
            if (!member) base = false;
            before = 'a';
            i = j;
        }
        return "";
    }

    bool evaluate(const std::string &text, c_value *out, std::string *why)
    {
        const char *p = text.c_str();
        if (!expression(p, 0, out, why)) return false;
        if (*skip_blanks(p) != '\0') {
            *why = "is not an expression C reads";
            return false;
        }
        return true;
    }

    static const char *skip_blanks(const char *&p)
    {
        while (*p == ' ') ++p;
        return p;
    }

    static bool fits(c_value *v, std::string *why)
    {
        const __int128 lo = v->is_unsigned ? 0 : v->is_long ? (__int128)INT64_MIN : (__int128)INT32_MIN;
        if (v->v >= lo && v->v <= type_max(*v)) return true;
        *why = "overflows its C type";
        return false;
    }

    bool operand(const char *&p, int depth, c_value *out, std::string *why)
    {
        *why = "is not an expression C reads";
        skip_blanks(p);
        if (depth > 32) return false;
        if (*p && std::strchr("-+~!", *p)) {
            const char op = *p++;
            if (!operand(p, depth + 1, out, why)) return false;
            if (op == '-') out->v = -out->v;
            if (op == '~') out->v = out->is_unsigned ? type_max(*out) - out->v : -out->v - 1;
            if (op == '!') *out = {out->v == 0, false, false};
            return fits(out, why);
        }
        if (*p == '(') {
            ++p;
            if (!expression(p, depth + 1, out, why)) return false;
            if (*skip_blanks(p) != ')') return false;
            ++p;
            return true;
        }
        const char *s = p;
        // A number is one preprocessing number, as C cuts it: 0x1e+1 is no sum.
        const bool number = std::isdigit((unsigned char)*p);
        while (std::isalnum((unsigned char)*p) || *p == '_' ||
               (number && (*p == '.' || ((*p == '+' || *p == '-') && std::strchr("eEpP", p[-1])))))
            ++p;
        if (p == s) return false;
        const std::string word(s, p);
        if (number) {
            if (!c_literal(word, out)) *why = "holds '" + word + "', which C does not read as an integer";
            return c_literal(word, out);
        }
        if (auto it = values.find(word); it != values.end()) {
            *out = it->second;
            return true;
        }
        if (auto it = library_constants().find(word); it != library_constants().end())
            return c_literal(it->second, out);
        *why = "names '" + word + "', which is no integer constant of this header or of the library";
        return false;
    }

    // Precedence climbing over C's binary operators of integers, tightest first.
    bool expression(const char *&p, int depth, c_value *out, std::string *why, int level = 5)
    {
        static const char *const ops[6][3] = {{"*", "/", "%"},         {"+", "-", nullptr},
                                              {"<<", ">>", nullptr},   {"&", nullptr, nullptr},
                                              {"^", nullptr, nullptr}, {"|", nullptr, nullptr}};
        if (level < 0) return operand(p, depth, out, why);
        if (!expression(p, depth, out, why, level - 1)) return false;
        for (;;) {
            skip_blanks(p);
            const char *op = nullptr;
            for (const char *o : ops[level])
                if (o && std::strncmp(p, o, std::strlen(o)) == 0 && p[std::strlen(o)] != p[0] &&
                    p[std::strlen(o)] != '=')
                    op = o;
            if (!op) return true;
            p += std::strlen(op);
            c_value r{};
            if (!expression(p, depth, &r, why, level - 1) || !apply(op, out, r, why)) return false;
        }
    }

    static bool apply(const char *op, c_value *l, const c_value &r, std::string *why)
    {
        const std::string o = op;
        if (o == "<<" || o == ">>") {
            const int bits = l->is_long ? 64 : 32;
            if (r.v < 0 || r.v >= bits || l->v < 0) {
                *why = "shifts " + std::to_string((int64_t)l->v) + " by " + std::to_string((int64_t)r.v) +
                       " bits, which C does not define for its " + std::to_string(bits) + "-bit type";
                return false;
            }
            l->v = o == "<<" ? l->v << (int)r.v : l->v >> (int)r.v;
            return fits(l, why);
        }
        // The usual arithmetic conversions of C.
        c_value t = *l;
        t.is_long = l->is_long || r.is_long;
        t.is_unsigned = (l->is_unsigned && (l->is_long || !r.is_long)) || (r.is_unsigned && (r.is_long || !l->is_long));
        if (t.is_unsigned && (l->v < 0 || r.v < 0)) {
            *why = "turns a negative number unsigned";
            return false;
        }
        if ((o == "/" || o == "%") && r.v == 0) {
            *why = "divides by zero";
            return false;
        }
        const __int128 a = l->v, b = r.v;
        t.v = o == "*"   ? a * b
              : o == "/" ? a / b
              : o == "%" ? a % b
              : o == "+" ? a + b
              : o == "-" ? a - b
              : o == "&" ? a & b
              : o == "^" ? a ^ b
                         : a | b;
        *l = t;
        return fits(l, why);
    }

    // A value as the header writes it: the symbol of the define or enumeration member it names,
    // else its number as C reads it back (an unset value is 0).
    std::string value(const dbvalue_st &v)
    {
        if (!dbvalue_is_set(&v) || v.value_str[0] == '\0') return c_int(v.value_exact);
        if (symbols.count(v.value_str)) return v.value_str;
        return c_int(v.value_exact);
    }

    // A string define's text: a number as C reads it back with its sign (-0x80000000 would be
    // unsigned), an expression as it stands, anything else a string literal.
    std::string define_text(const char *text)
    {
        int64_t n = 0;
        if (!db_int_text(text, std::strlen(text), &n)) return c_int(n);
        return c_expression(text) ? std::string(text) : c_string(text);
    }
};

// A bad device name spoils every symbol: the first few say enough.
bool report_clashes(const exporter &x)
{
    if (x.clashes.empty()) return true;
    const size_t shown = std::min<size_t>(x.clashes.size(), 8);
    for (size_t i = 0; i < shown; ++i) job_error("%s.\n", x.clashes[i].c_str());
    if (x.clashes.size() > shown) job_error("... and %zu more.\n", x.clashes.size() - shown);
    job_error("Names of the device database clash in C: nothing is exported.\n");
    return false;
}

std::string base_name_of(const char *name)
{
    std::vector<char> copy(name, name + std::strlen(name) + 1);
    return kr_win_basename(copy.data());
}

// Refuses what cannot give a header and source that compile.
bool can_export(const char *name)
{
    if (!db_is_loaded(&dev.db)) {
        job_error("No device database is loaded: load one with --db before exporting.\n");
        return false;
    }
    if (dev.db.dev_name[0] == '\0') {
        job_error("The device database has no device name ('DEV'): its symbols cannot be built.\n");
        return false;
    }
    if (dev.db.objects.len == 0) {
        job_error("The device database has no objects: there is no object dictionary to export.\n");
        return false;
    }
    std::string base = name ? base_name_of(name) : "";
    if (!name || base.empty() || base == "." || !plain_text(name)) {
        job_error("'%s' cannot name the exported files: give a file name without quotes, backslashes, '\?\?' or "
                  "control characters.\n",
                  name ? name : "");
        return false;
    }
    // Headers the generated files include, directly or through the library: a file of ours by one of
    // these names, in the include path, would be read in its place.
    // clang-format off
    static const char *const headers[] = {
        "main", "kr_utilities", "kr_canopen", "kr_canopen_pdo", "kr_canopen_sdo", "kr_canopen_sdo_server",
        "kr_canopen_types", "kr_can", "kr_errors", "kr_memory", "kr_rtos", "features", "stdc-predef",
        "assert", "complex", "ctype", "errno", "fenv", "float", "inttypes", "iso646", "limits", "locale",
        "math", "setjmp", "signal", "stdalign", "stdarg", "stdatomic", "stdbool", "stddef", "stdint",
        "stdio", "stdlib", "stdnoreturn", "string", "tgmath", "threads", "time", "uchar", "wchar", "wctype"};
    // clang-format on
    for (const char *taken : headers)
        if (base == taken) {
            job_error("'%s' cannot name the exported files: the generated files include a '%s.h' of the library or "
                      "of C, which it would take the place of.\n",
                      name, taken);
            return false;
        }
    return true;
}

// A name that begins with a digit gets a letter before it: '_' would make it one C reserves.
std::string leading_ident(const std::string &text)
{
    std::string id = ident(text);
    if (id.empty() || std::isdigit((unsigned char)id[0])) id = "H_" + id;
    return id;
}

// The file's opening: the guard, the includes, the device's symbol, its node id and identity.
void emit_head(exporter &x, const char *name)
{
    db_st *db = x.db;
    const std::string &DEV = x.dev_sym;
    std::string &o = x.out;
    std::string guard = leading_ident(base_name_of(name)) + "_H";

    o +=
        "\n\n\n/// @file: KRCAN generated header file describing the object dictionary\n/// of this device. DO NOT EDIT "
        "DIRECTLY\n\n";
    o += "#ifndef " + guard + "\n#define " + guard + "\n\n";
    o += "#include <stdint.h>\n#include <string.h>\n\n";
    x.add_symbol(guard, "the file guard");
    o += "#ifndef " + DEV + "\n#define " + DEV + " 1\n\n";
    x.add_symbol(DEV, "the device name");
    x.define(DEV + "_NODEID", fmt("0x%x", db_get_nodeid(db)), "NODEID");
    o += "\n\n\n";
    x.define(DEV + "_VENDOR_ID", fmt("0x%x", db->vendor_id), "VENDORID");
    o += "\n\n";
    x.define(DEV + "_PRODUCT_CODE", fmt("0x%x", db->product_code), "PRODUCTCODE");
    o += "\n\n";
    x.define(DEV + "_REVISION_NUMBER", fmt("0x%x", db->revision_number), "REVISIONNUMBER");
    o += "\n\n";
}

void emit_emcys(exporter &x)
{
    db_st *db = x.db;
    const std::string &DEV = x.dev_sym;
    std::string &o = x.out;
    info("Creating header symbols for EMCY messages\n");
    x.define(DEV + "_EMCY_START_INDEX", fmt("0x%x", db->emcys_index), "EMCY_INDEX");
    o += "\n";
    unsigned info_count = 0;
    if (db->emcys.len > 0)
        while (info_count < DB_EMCY_INFO_COUNT && db->emcys_buffer[0].info_strs[info_count][0]) ++info_count;
    x.define(DEV + "_EMCYSTR_INFO_STR_COUNT", fmt("%u", info_count), "EMCY");
    o += "\n";
    o += "typedef enum {\n";
    for (uint16_t i = 0; i < db->emcys.len; ++i) {
        std::string sym = DEV + "_EMCY_" + ident(db->emcys_buffer[i].name);
        x.add_symbol(sym, std::string("EMCY ") + db->emcys_buffer[i].name);
        x.values[sym] = {db->emcys_buffer[i].value, false, false};
        x.enum_value(sym, fmt("%" PRIi32, db->emcys_buffer[i].value), true);
    }
    x.add_symbol(DEV + "_EMCY_COUNT", "the EMCY count");
    x.values[DEV + "_EMCY_COUNT"] = {db->emcys.len, false, false};
    x.enum_value(DEV + "_EMCY_COUNT", fmt("%u", (unsigned)db->emcys.len), false);
    o += "} " + x.dev_lower + "_emcy_err_codes_e;\n\n\n\n\n";
    x.add_symbol(x.dev_lower + "_emcy_err_codes_e", "the EMCY code type");
}

// An enumeration define: its members with the values they wrote, and its type.
void emit_enum(exporter &x, const db_define_st *d, const std::string &sym, const std::string &origin)
{
    std::string &o = x.out;
    o += d->data_type ? "enum {\n" : "typedef enum {\n";
    bool had_value = false;
    int64_t member = -1;
    for (int32_t k = 0; k < d->child_count; ++k) {
        const char *child = d->childs[k];
        bool last = k == d->child_count - 1;
        const char *eq = std::strchr(child, '=');
        std::string own(child, eq ? (size_t)(eq - child) : std::strlen(child));
        while (!own.empty() && std::isspace((unsigned char)own.back())) own.pop_back();
        std::string csym = sym + "_" + ident(own);
        x.add_symbol(csym, origin + " member " + own);
        if (eq) {
            char *end = nullptr;
            long long v = std::strtoll(eq + 1, &end, 0);
            while (end && std::isspace((unsigned char)*end)) ++end;
            if (end && end != eq + 1 && *end == '\0' && v >= INT32_MIN && v <= INT32_MAX) {
                x.values[csym] = {member = v, false, false};
                o += "    " + csym + " = " + c_int(v) + (last ? "\n" : ",\n");
                had_value = true;
                continue;
            }
            job_warning("The member '%s' of enumeration '%s' has a value that is not an integer; it is exported "
                        "without it.\n",
                        child, d->name);
        }
        member = k == 0 ? 0 : last && had_value ? k : member + 1;
        // A member past INT_MAX would not compile; it is no constant a COB-ID may use.
        if (member <= INT32_MAX) x.values[csym] = {member, false, false};
        if (k == 0)
            x.enum_value(csym, "0", !last);
        else if (last && had_value)
            x.enum_value(csym, fmt("%u", (unsigned)k), false);
        else
            o += "    " + csym + (last ? "\n" : ",\n");
    }
    std::string lname = lower(ident(d->name));
    if (d->data_type) {
        char stdint[40];
        o += "};\ntypedef " + std::string(db_type_to_stdint(d->data_type, stdint)) + " " + x.dev_lower + "_" + lname +
             "_e;\n\n";
    } else {
        o += "} " + x.dev_lower + "_" + lname + "_e;\n\n";
    }
    x.add_symbol(x.dev_lower + "_" + lname + "_e", origin + " type");
}

void emit_defines(exporter &x)
{
    db_st *db = x.db;
    const std::string &DEV = x.dev_sym;
    std::string &o = x.out;
    info("Creating header symbols for defines\n");
    for (uint16_t i = 0; i < db->defines.len; ++i) {
        const db_define_st *d = &db->defines_buffer[i];
        std::string sym = DEV + "_" + ident(d->name);
        std::string origin = std::string("define ") + d->name;
        if (d->type == DB_DEFINE_INT) {
            x.define(sym, c_int(d->value), origin);
            o += "\n";
        } else if (d->type == DB_DEFINE_STRING) {
            bool endless = false;
            db_expand_string_defines(db, (DEV + "_" + ident(d->name)).c_str(), &endless);
            if (endless) job_error("Define '%s' names itself through string defines: C cannot expand it.\n", d->name);
            x.define(sym, x.define_text(d->str), origin);
        } else if (d->type == DB_DEFINE_ENUM) {
            emit_enum(x, d, sym, origin);
        } else {
            job_error("Unknown define type in export\n");
        }
    }
}

void emit_pdo_counts(exporter &x)
{
    db_st *db = x.db;
    const std::string &DEV = x.dev_sym;
    std::string &o = x.out;
    o += "\n\n\n\n";
    info("Creating header symbols for PDO counts\n");
    x.define(DEV + "_RXPDO_COUNT", fmt("%u", (unsigned)db->rxpdos.len), "RXPDO");
    x.define(DEV + "_TXPDO_COUNT", fmt("%u", (unsigned)db->txpdos.len), "TXPDO");
    o += "\n\n";
}

// The C type of an array's defaults: a signed array's negative defaults would not fit uint8_t.
std::string element_ctype(const db_obj_st *obj, char *buf)
{
    std::string t = db_type_to_stdint(obj->obj.type, buf);
    if (std::strstr(obj->type_str, "SIGNED") && !std::strstr(obj->type_str, "UNSIGNED") && t[0] == 'u') t.erase(0, 1);
    return t;
}

// One object's symbols: where it sits, its type and permissions, and its values (an array's per
// element, with the declarations of its defaults).
void emit_object(exporter &x, const db_obj_st *obj)
{
    db_st *db = x.db;
    std::string &o = x.out;
    char symbuf[1024];
    db_obj_symbol(db, obj->name.value_str, symbuf, sizeof symbuf);
    const std::string SYM = symbuf;
    const std::string origin = std::string("object ") + obj->name.value_str;
    const uint8_t type = obj->obj.type;
    x.define(SYM + "_INDEX", fmt("0x%x", obj->obj.main_index), origin);
    if (canopen_type_is_array(type))
        x.define(SYM + "_ARRAY_MAX_SIZE", x.value(obj->array_max_size), origin);
    else if (type == CANOPEN_STRING)
        x.define(SYM + "_STRING_LEN", x.value(obj->string_len), origin);
    else
        x.define(SYM + "_SUBINDEX", fmt("%u", obj->obj.sub_index), origin);
    // A type the document named in its own way gets the name the library knows.
    char canonical[40];
    db_type_to_str(type, canonical);
    bool known = db_str_to_type(obj->type_str) == type &&
                 (type != 1 || std::strcmp(obj->type_str, "CANOPEN_UNSIGNED8") == 0 ||
                  std::strcmp(obj->type_str, "CANOPEN_SIGNED8") == 0);
    x.define(SYM + "_TYPE", known ? obj->type_str : canonical, origin);
    char perm[40];
    x.define(SYM + "_PERMISSIONS", db_permission_to_str(obj->obj.permissions, perm), origin);
    if (canopen_type_is_array(type)) {
        unsigned k = 1;
        for (const db_array_child_st *c = obj->child_ptr; c; c = c->next_sibling, ++k) {
            std::string CHILD = SYM + "_" + ident(c->name.value_str);
            std::string corigin = origin + " element " + c->name.value_str;
            x.define(CHILD + "_SUBINDEX", fmt("%u", k), corigin);
            if (dbvalue_is_set(&c->min)) x.define(CHILD + "_MIN", x.value(c->min), corigin);
            if (dbvalue_is_set(&c->max)) x.define(CHILD + "_MAX", x.value(c->max), corigin);
            x.define(CHILD + "_DEFAULT", x.value(c->def), corigin);
        }
        char stdint[40];
        std::string sym = lower(SYM);
        o += "extern const " + element_ctype(obj, stdint) + " " + sym + "_defaults[];\n";
        o += "uint32_t " + sym + "_defaults_size(void);\n";
        x.add_symbol(sym + "_defaults", origin);
        x.add_symbol(sym + "_defaults_size", origin);
    } else if (type <= 15) {
        x.define(SYM + "_VALUE", x.value(obj->value), origin);
        x.define(SYM + "_DEFAULT", x.value(obj->def), origin);
        x.define(SYM + "_MIN", x.value(obj->min), origin);
        x.define(SYM + "_MAX", x.value(obj->max), origin);
    } else if (type == CANOPEN_STRING) {
        x.define(SYM + "_DEFAULT", c_string(dbvalue_is_set(&obj->string_def) ? obj->string_def.value_str : "0"),
                 origin);
    }
    o += "\n\n";
}

void emit_objects(exporter &x)
{
    db_st *db = x.db;
    info("Creating header symbols from object dictionary entries\n");
    for (uint16_t i = 0; i < db->objects.len; ++i) emit_object(x, &db->objects_buffer[i]);
    info("Object dictionary symbols created\n");
}

void emit_tail(exporter &x)
{
    std::string &o = x.out;
    o += "\n/// @brief: returns the length of object dictionary in objects.\nuint32_t obj_dict_len(void);\n\n";
    o += "#endif\n#endif\n";
}

bool build_header(exporter &x, const char *name)
{
    emit_head(x, name);
    emit_emcys(x);
    emit_defines(x);
    emit_pdo_counts(x);
    emit_objects(x);
    emit_tail(x);

    return report_clashes(x);
}

std::string mapping_entry(const canopen_pdo_mapping_st &m)
{
    return fmt("                {\n                    .main_index = 0x%x,\n                    .sub_index = %u,\n"
               "                    .length = %u\n                },\n",
               m.main_index, m.sub_index, m.length);
}

bool build_source(exporter &x, const char *name)
{
    db_st *db = x.db;
    std::string &o = x.out;
    o += "#include <kr_utilities.h>\n#include <kr_canopen.h>\n#include \"main.h\"\n";
    o += "#include \"" + base_name_of(name) + ".h\"\n\n\n";

    info("Creating source objects for CANopen initializer structure\n");
    x.add_symbol(x.dev_lower + "_canopen_init", "the start-up record");
    o += "const kr_canopen_non_volatile_st " + x.dev_lower +
         "_canopen_init = {\n    .producer_heartbeat_time_ms = 400,\n";
    // A firmware without PDOs has no PDO members in the record (its counts are 0).
    const bool rx = db->rxpdos.len > 0, tx = db->txpdos.len > 0;
    if (rx) o += "    .rxpdo_coms = {\n";
    char text[64];
    for (uint16_t i = 0; i < db->rxpdos.len; ++i) {
        const db_rxpdo_st &p = db->rxpdo_buffer[i];
        if (std::string why = x.cobid_problem(p.cobid); !why.empty()) {
            job_error("The COB-ID '%s' of RXPDO %u %s.\n", p.cobid, (unsigned)i + 1, why.c_str());
            return false;
        }
        o += "        {\n            .cob_id = " + std::string(p.cobid) +
             ",\n            .transmission_type = " + db_transmission_to_str(p.transmission, text) + "\n        }" +
             (i + 1 < db->rxpdos.len ? ",\n" : "\n");
    }
    if (rx) o += "    },\n    .rxpdo_maps = {\n";
    for (uint16_t i = 0; i < db->rxpdos.len; ++i) {
        o += "        {\n            .mappings = {\n";
        for (const auto &m : db->rxpdo_buffer[i].mappings.mappings) {
            if (m.length == 0) break;
            o += mapping_entry(m);
        }
        o += std::string("            }\n        }") + (i + 1 < db->rxpdos.len ? ",\n" : "\n");
    }
    if (rx) o += tx ? "    },\n" : "\n    }\n";
    if (tx) o += "    .txpdo_coms = {\n";
    for (uint16_t i = 0; i < db->txpdos.len; ++i) {
        const db_txpdo_st &p = db->txpdo_buffer[i];
        if (std::string why = x.cobid_problem(p.cobid); !why.empty()) {
            job_error("The COB-ID '%s' of TXPDO %u %s.\n", p.cobid, (unsigned)i + 1, why.c_str());
            return false;
        }
        o += "        {\n            .cob_id = " + std::string(p.cobid) +
             ",\n            .transmission_type = " + db_transmission_to_str(p.transmission, text) + ",\n" +
             fmt("            .inhibit_time = %u,\n            .event_timer = %u\n        }", (unsigned)p.inhibit_time,
                 (unsigned)p.event_timer) +
             (i + 1 < db->txpdos.len ? ",\n" : "\n");
    }
    if (tx) o += "    },\n    .txpdo_maps = {\n";
    for (uint16_t i = 0; i < db->txpdos.len; ++i) {
        o += "        {\n            .mappings = {\n";
        for (const auto &m : db->txpdo_buffer[i].mappings.mappings) o += mapping_entry(m);
        o += std::string("            }\n        }") + (i + 1 < db->txpdos.len ? ",\n" : "\n");
    }
    o += tx ? "\n    }\n};\n" : "};\n";

    info("Creating source objects for object dictionary\n");
    o += "\n\n\nconst canopen_object_st obj_dict[] = {\n";
    for (uint16_t i = 0; i < db->objects.len; ++i) {
        const db_obj_st *obj = &db->objects_buffer[i];
        char symbuf[1024];
        db_obj_symbol(db, obj->name.value_str, symbuf, sizeof symbuf);
        const std::string SYM = symbuf;
        const uint8_t type = obj->obj.type;
        if (i) o += ",\n";
        o += "    {\n        .main_index = " + SYM + "_INDEX,\n";
        if (canopen_type_is_array(type))
            o += "        .array_max_size = " + SYM + "_ARRAY_MAX_SIZE,\n";
        else if (type == CANOPEN_STRING)
            o += "        .string_len = " + SYM + "_STRING_LEN,\n";
        else
            o += "        .sub_index = " + SYM + "_SUBINDEX,\n";
        std::string ptr = "0";
        if (dbvalue_is_set(&obj->dataptr) && obj->dataptr.value_str[0]) {
            if (const char *why = db_pointer_problem(db, obj->dataptr.value_str)) {
                job_error("The data pointer '%s' of object '%s' %s.\n", obj->dataptr.value_str, obj->name.value_str,
                          why);
                return false;
            }
            if (std::string why = x.pointer_problem(obj->dataptr.value_str); !why.empty()) {
                job_error("The data pointer '%s' of object '%s' %s.\n", obj->dataptr.value_str, obj->name.value_str,
                          why.c_str());
                return false;
            }
            ptr = obj->dataptr.value_str;
        }
        o += "        .type = " + SYM + "_TYPE,\n        .permissions = " + SYM +
             "_PERMISSIONS,\n        .data_ptr = (void *) " + ptr + "\n    }";
    }
    o += "\n};\n\nuint32_t obj_dict_len(void) {\n    return sizeof(obj_dict) / sizeof(canopen_object_st);\n}\n\n";

    info("Creating source objects for array initializers\n");
    for (uint16_t i = 0; i < db->objects.len; ++i) {
        const db_obj_st *obj = &db->objects_buffer[i];
        if (!canopen_type_is_array(obj->obj.type)) continue;
        char symbuf[1024], stdint[40];
        db_obj_symbol(db, obj->name.value_str, symbuf, sizeof symbuf);
        const std::string SYM = symbuf, sym = lower(SYM);
        o += "const " + element_ctype(obj, stdint) + " " + sym + "_defaults[] = {\n";
        for (const db_array_child_st *c = obj->child_ptr; c; c = c->next_sibling)
            o += "    " + SYM + "_" + ident(c->name.value_str) + "_DEFAULT" + (c->next_sibling ? ",\n" : "\n");
        o += "};\n";
        o += "uint32_t " + sym + "_defaults_size(void) {\n    return sizeof(" + sym + "_defaults) / sizeof(" + sym +
             "_defaults[0]);\n}\n\n";
    }
    return report_clashes(x);
}

// Builds one file's text; the source needs the header's symbols, so the header is always built first.
bool build(bool source, const char *name, std::string &text)
{
    if (!can_export(name)) return false;
    const unsigned errors_before = job_error_count();
    exporter header(&dev.db);
    quiet_progress = source;
    bool built = build_header(header, name);
    quiet_progress = false;
    if (!built) return false;
    if (source) {
        exporter src(&dev.db);
        src.symbols = std::move(header.symbols);
        src.values = std::move(header.values);
        src.literals = std::move(header.literals);
        if (!build_source(src, name)) return false;
        text = std::move(src.out);
    } else {
        text = std::move(header.out);
    }
    // Whatever printed an error, nothing is written.
    if (job_error_count() != errors_before) return false;
    if (text.size() + 1 > EXPORT_BUFFER_LEN) {
        job_error("The generated %s is %zu bytes, more than the %u the export holds: nothing is written.\n",
                  source ? "source" : "header", text.size(), EXPORT_BUFFER_LEN);
        return false;
    }
    return true;
}

struct out_file {
    bool source;
    std::string path, text, target, tmp;
    std::string old; // a link to the file it replaces, while the pair is being placed
};

// Keeps the file at target under a second name, so that it can be put back.
bool keep_old(out_file &f)
{
    struct stat st {};
    if (lstat(f.target.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return true;
    f.old = f.tmp + ".old";
    if (link(f.target.c_str(), f.old.c_str()) == 0) return true;
    std::error_code ec;
    if (std::filesystem::copy_file(f.target, f.old, ec)) return true;
    job_error("'%s' could not be kept while the export is placed: %s\n", f.path.c_str(), ec.message().c_str());
    f.old.clear();
    return false;
}

// Writes every file under a temporary name next to its target (the file a symbolic link names) and
// renames them only when all are complete: a failure leaves every target as it was.
bool write_all(std::vector<out_file> &files)
{
    bool ok = true;
    static unsigned counter = 0;
    for (out_file &f : files) {
        char *real = realpath(f.path.c_str(), nullptr);
        f.target = real ? real : f.path;
        std::free(real);
        std::filesystem::path t(f.target);
        f.tmp = (t.parent_path() /
                 (".krcan_export" + std::to_string(getpid()) + "_" + std::to_string(counter++) + ".tmp"))
                    .string();
        struct stat old {};
        if (!parser_write_file(f.tmp.c_str(), f.text.c_str()) ||
            (stat(f.target.c_str(), &old) == 0 && chmod(f.tmp.c_str(), old.st_mode & 07777) != 0)) {
            job_error(f.source ? "Failed to open source file '%s'.\n" : "Failed to open header file '%s'.\n",
                      f.path.c_str());
            job_error("%s\n", parser_last_error());
            ok = false;
            break;
        }
    }
    for (size_t i = 0; ok && i < files.size(); ++i) {
        out_file &f = files[i];
        if (!keep_old(f)) {
            ok = false;
        } else if (std::rename(f.tmp.c_str(), f.target.c_str()) != 0) {
            job_error("'%s' could not be written: %s\n", f.path.c_str(), std::strerror(errno));
            ok = false;
        } else {
            continue;
        }
        // Half a pair is no export: the files placed before go back to what they were.
        for (size_t k = 0; k < i; ++k) {
            out_file &placed = files[k];
            if (placed.old.empty() ? unlink(placed.target.c_str()) == 0
                                   : std::rename(placed.old.c_str(), placed.target.c_str()) == 0)
                placed.old.clear();
            else
                job_error("'%s' could not be put back: %s\n", placed.path.c_str(), std::strerror(errno));
        }
    }
    for (out_file &f : files) {
        if (!f.tmp.empty()) unlink(f.tmp.c_str());
        if (!f.old.empty()) unlink(f.old.c_str());
    }
    return ok;
}

// The header, the source or both: built whole first, then written together. False when they could
// not be built.
bool export_files(bool header, bool source, const char *name)
{
    std::vector<out_file> files;
    bool ok = true;
    for (bool is_source : {false, true}) {
        if (!ok || (is_source ? !source : !header)) continue;
        out_file f;
        f.source = is_source;
        f.path = is_source ? dev.srcdest : dev.incdest;
        if (f.path.empty() || f.path.back() != '/') f.path += "/";
        f.path += std::string(name ? name : "") + (is_source ? ".c" : ".h");
        // Nothing is printed after a refusal but the reason; a half-built text is never written.
        ok = build(is_source, name, f.text);
        if (ok && f.path.size() > DEV_PATH_LEN - 1) {
            job_error("The output path '%s' is longer than %u characters.\n", f.path.c_str(), DEV_PATH_LEN - 1);
            ok = false;
        }
        files.push_back(std::move(f));
    }
    if (!ok) return false;
    // Built from the database as it stands now; written once the whole command line is accepted.
    cmdline_when_accepted([files = std::move(files), source]() mutable {
        // A file that could not be placed has said so, and the run fails with it.
        if (write_all(files) && source) info("Exporting done.\n");
    });
    return true;
}

} // namespace

bool db_name_declared_by_headers(const char *name) { return declared_names().count(name) != 0; }

bool get_header_objs(char *dest, size_t dest_length, const char *name)
{
    std::string text;
    if (!build(false, name, text) || text.size() + 1 > dest_length) return false;
    std::memcpy(dest, text.c_str(), text.size() + 1);
    return true;
}

bool get_source_objs(char *dest, size_t dest_length, const char *name)
{
    std::string text;
    if (!build(true, name, text) || text.size() + 1 > dest_length) return false;
    std::memcpy(dest, text.c_str(), text.size() + 1);
    return true;
}

// The run goes on after a failed export (later commands still run); its error makes it end with
// status 1.
bool cmd_exporth(const char *name)
{
    export_files(true, false, name);
    return true;
}

bool cmd_exportc(const char *name)
{
    export_files(false, true, name);
    return true;
}

bool cmd_export(const char *name)
{
    export_files(true, true, name);
    return true;
}
