// kr_docdump FILE: reads a .json, .yaml or .yml file with the library's readers and prints the
// document as one line of JSON (members in document order), or FILE:LINE:COLUMN: reason on standard
// error with status 1. A value the reader would read as something other than the document says (a
// YAML 1.1 boolean such as yes, a float, a null written as ~, a number beyond 32 bits) is refused
// rather than printed as the reader's guess.
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "kr_json.h"
#include "kr_yamlreader.h"

namespace {

struct Dump {
    std::string file;
    std::string original; // the text as read, for the place of a refusal
    size_t cursor = 0;    // scalars are met in text order: where the last one was found
    std::string out;
    std::string error;

    bool refuse(const char *raw, size_t len, const std::string &reason)
    {
        size_t at = original.find(std::string(raw, len), cursor);
        if (at == std::string::npos)
            at = cursor;
        unsigned line = 1, column = 1;
        for (size_t i = 0; i < at && i < original.size(); ++i) {
            if (original[i] == '\n') {
                ++line;
                column = 1;
            } else if ((static_cast<unsigned char>(original[i]) & 0xC0) != 0x80) {
                ++column;
            }
        }
        error = file + ":" + std::to_string(line) + ":" + std::to_string(column) + ": " + reason;
        return false;
    }

    void seen(const char *raw, size_t len)
    {
        const size_t at = original.find(std::string(raw, len), cursor);
        if (at != std::string::npos)
            cursor = at + len;
    }

    void text(const char *s)
    {
        std::vector<char> buf(kr_json_escaped_length(s) + 1);
        kr_json_escape(s, buf.data(), static_cast<uint32_t>(buf.size()));
        out += buf.data();
    }
};

// An integer written in decimal or 0x hexadecimal whose value the reader's 32 bits keep.
bool exact_integer(const std::string &t, long long *value)
{
    const char *s = t.c_str();
    char *end = nullptr;
    errno = 0;
    const long long v = std::strtoll(s, &end, 0);
    if (errno != 0 || *end != '\0' || end == s)
        return false;
    if (v < -2147483648LL || v > 4294967295LL)
        return false;
    *value = v;
    return true;
}

// ---- JSON ----

// The value of a node: after a member's name and colon, or the node itself.
const char *json_value(const char *node)
{
    if (*node != '"')
        return node;
    const char *p = node + 1;
    while (*p != '\0' && *p != '"')
        p += (p[0] == '\\' && p[1] != '\0') ? 2 : 1;
    return (*p == '"' && p[1] == ':') ? p + 2 : node;
}

bool json_node(Dump &d, char *node)
{
    const char *v = json_value(node);
    if (*v == '"') {
        std::vector<char> buf(kr_jsonreader_get_string_len(node) + 1);
        kr_jsonreader_get_string(node, buf.data(), static_cast<uint32_t>(buf.size()));
        d.text(buf.data());
        return true;
    }
    if (*v == '{' || *v == '[') {
        const bool object = *v == '{';
        d.out += object ? '{' : '[';
        char *c = object ? kr_jsonreader_get_child(node, 0) : kr_jsonreader_array_at(node, 0);
        for (bool first = true; c != nullptr; first = false) {
            if (!first)
                d.out += ',';
            if (object) {
                std::vector<char> name(static_cast<size_t>(json_value(c) - c));
                kr_jsonreader_get_obj_name(c, name.data(), static_cast<uint32_t>(name.size()));
                d.text(name.data());
                d.out += ':';
            }
            if (!json_node(d, c))
                return false;
            if (!kr_jsonreader_get_next_sibling(c, &c))
                break;
        }
        d.out += object ? '}' : ']';
        return true;
    }
    const size_t len = std::strcspn(v, ",]}");
    const std::string token(v, len);
    if (token == "true" || token == "false" || token == "null") {
        d.out += token;
        return true;
    }
    long long value = 0;
    if (!exact_integer(token, &value))
        return d.refuse(v, len, "the number " + token + " is not an integer the reader keeps (32 bits)");
    d.seen(v, len);
    d.out += std::to_string(value);
    return true;
}

// ---- YAML ----

bool one_of(const std::string &s, std::initializer_list<const char *> words)
{
    for (const char *w : words)
        if (s == w)
            return true;
    return false;
}

// A plain scalar that YAML's core schema takes for a float, a null or an octal number.
bool yaml_number_or_null(const std::string &s)
{
    if (one_of(s, {"~", "null", "Null", "NULL", ".nan", ".NaN", ".NAN"}))
        return true;
    size_t i = (s[0] == '+' || s[0] == '-') ? 1 : 0;
    if (one_of(s.substr(i), {".inf", ".Inf", ".INF"}))
        return true;
    if (s.size() > 2 && s[0] == '0' && s[1] == 'o' && s.find_first_not_of("01234567", 2) == std::string::npos)
        return true;
    // [-+]?(\.[0-9]+|[0-9]+(\.[0-9]*)?)([eE][-+]?[0-9]+)?
    size_t digits = 0;
    while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i])))
        ++i, ++digits;
    if (i < s.size() && s[i] == '.') {
        ++i;
        size_t frac = 0;
        while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i])))
            ++i, ++frac;
        if (digits == 0 && frac == 0)
            return false;
    } else if (digits == 0) {
        return false;
    }
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        if (i < s.size() && (s[i] == '+' || s[i] == '-'))
            ++i;
        size_t exp = 0;
        while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i])))
            ++i, ++exp;
        if (exp == 0)
            return false;
    }
    return i == s.size();
}

std::string yaml_text(kr_yaml_node_st n)
{
    std::vector<char> buf(kr_yamlreader_get_string_len(n) + 1);
    kr_yamlreader_get_string(n, buf.data(), static_cast<uint32_t>(buf.size()));
    return std::string(buf.data());
}

bool yaml_node(Dump &d, kr_yaml_node_st n)
{
    const kr_yaml_types_e t = kr_yamlreader_get_type(n);
    if (t == YAML_MAP || t == YAML_SEQ) {
        d.out += t == YAML_MAP ? '{' : '[';
        std::set<std::string> keys;
        kr_yaml_node_st c = kr_yamlreader_get_child(n, 0);
        for (bool first = true; c.ptr != nullptr; first = false) {
            if (!first)
                d.out += ',';
            if (t == YAML_MAP) {
                std::vector<char> name(std::strcspn(c.ptr, "\n") + 1);
                kr_yamlreader_get_obj_name(c, name.data(), static_cast<uint32_t>(name.size()));
                if (!keys.insert(name.data()).second)
                    return d.refuse(c.ptr, std::strcspn(c.ptr, ":"),
                                    std::string("the key '") + name.data() + "' appears twice in one mapping");
                d.text(name.data());
                d.out += ':';
            }
            if (!yaml_node(d, c))
                return false;
            if (!kr_yamlreader_get_next_sibling(c, &c))
                break;
        }
        d.out += t == YAML_MAP ? '}' : ']';
        return true;
    }
    if (t == YAML_UNSUPPORTED) {
        d.out += "null";
        return true;
    }
    const char *raw = kr_yamlreader_get_string_ptr(n);
    const uint32_t raw_len = kr_yamlreader_get_raw_len(n);
    const bool quoted = raw > n.ptr && (raw[-1] == '"' || raw[-1] == '\'');
    const std::string s = yaml_text(n);
    if (quoted || t == YAML_STRING) {
        if (!quoted && yaml_number_or_null(s))
            return d.refuse(raw, raw_len,
                            "the plain scalar " + s + " is a text to this reader and not to YAML; quote it");
        d.seen(raw, raw_len);
        d.text(s.c_str());
        return true;
    }
    if (t == YAML_BOOL) {
        if (!one_of(s, {"true", "True", "TRUE", "false", "False", "FALSE"}))
            return d.refuse(raw, raw_len, "the plain scalar " + s + " is a boolean to this reader and a text to YAML");
        d.seen(raw, raw_len);
        d.out += kr_yamlreader_get_bool(n) ? "true" : "false";
        return true;
    }
    // YAML_INT: decimal without a leading zero, or 0x hexadecimal without a sign, as YAML reads them.
    const size_t sign = (s[0] == '+' || s[0] == '-') ? 1 : 0;
    const bool hex = s.size() > sign + 1 && s[sign] == '0' && (s[sign + 1] == 'x' || s[sign + 1] == 'X');
    long long value = 0;
    if ((hex && (sign != 0 || s[1] == 'X')) || (!hex && s.size() > sign + 1 && s[sign] == '0'))
        return d.refuse(raw, raw_len, "the plain scalar " + s + " is a number of another value to YAML");
    if (!exact_integer(s, &value))
        return d.refuse(raw, raw_len, "the number " + s + " is beyond the reader's 32 bits");
    d.seen(raw, raw_len);
    d.out += std::to_string(value);
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: kr_docdump FILE.json|FILE.yaml|FILE.yml\n");
        return 2;
    }
    Dump d;
    d.file = argv[1];
    FILE *f = std::fopen(argv[1], "rb");
    if (f == nullptr) {
        std::fprintf(stderr, "%s: %s\n", argv[1], std::strerror(errno));
        return 1;
    }
    char chunk[65536];
    size_t got = 0;
    while ((got = std::fread(chunk, 1, sizeof chunk, f)) > 0)
        d.original.append(chunk, got);
    std::fclose(f);
    std::vector<char> buf(d.original.begin(), d.original.end());
    buf.push_back('\0');
    const size_t nul = std::strlen(buf.data());
    if (nul < d.original.size()) {
        d.cursor = nul;
        d.refuse("", 0, "a NUL byte, which no text document holds");
        std::fprintf(stderr, "%s\n", d.error.c_str());
        return 1;
    }
    const std::string name = d.file;
    const size_t dot = name.rfind('.');
    std::string ext = dot == std::string::npos ? "" : name.substr(dot + 1);
    for (char &c : ext)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    kr_doc_error_st err{};
    bool ok = false;
    if (ext == "yaml" || ext == "yml") {
        if (kr_yamlreader_parse(buf.data(), static_cast<uint32_t>(buf.size()), &err) != ERR_NONE) {
            std::fprintf(stderr, "%s:%u:%u: %s\n", argv[1], err.line, err.column, err.reason);
            return 1;
        }
        if (buf[0] == '\0') {
            std::fprintf(stderr, "%s:1:1: the document is empty\n", argv[1]);
            return 1;
        }
        ok = yaml_node(d, kr_yamlreader_get_root(buf.data()));
    } else if (ext == "json") {
        if (kr_jsonreader_parse(buf.data(), static_cast<uint32_t>(d.original.size()), &err) != ERR_NONE) {
            std::fprintf(stderr, "%s:%u:%u: %s\n", argv[1], err.line, err.column, err.reason);
            return 1;
        }
        ok = json_node(d, buf.data());
    } else {
        std::fprintf(stderr, "%s:1:1: not a .json, .yaml or .yml file\n", argv[1]);
        return 1;
    }
    if (!ok) {
        std::fprintf(stderr, "%s\n", d.error.c_str());
        return 1;
    }
    std::printf("%s\n", d.out.c_str());
    return 0;
}
