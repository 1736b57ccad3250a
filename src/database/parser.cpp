// Document parser: format by file name, whole-file loading, the readers' syntax passes with the place
// of a refusal, and one query and writer interface over the JSON and YAML modules. See parser.h.
#include "database/parser.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "kr_bytes.h"
#include "kr_rtos.h"

namespace {

char last_error[PARSER_ERROR_LENGTH] = "no error";

__attribute__((format(printf, 1, 2))) void set_error(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(last_error, sizeof last_error, fmt, ap);
    va_end(ap);
}

void clear_error() { set_error("no error"); }

void clear_dest(char *dest, uint32_t dest_length)
{
    if (dest != nullptr && dest_length > 0) dest[0] = '\0';
}

bool is_ws(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

parser_types_e from_reader_type(int t)
{
    switch (t) {
    case PARSER_OBJECT:
    case PARSER_ARRAY:
    case PARSER_INT:
    case PARSER_BOOL:
    case PARSER_STRING: return static_cast<parser_types_e>(t);
    default: return PARSER_UNSUPPORTED;
    }
}

parser_node_st json_node(char *p)
{
    parser_node_st n{};
    n.format = PARSER_FORMAT_JSON;
    n.json = p;
    return n;
}

parser_node_st yaml_node(kr_yaml_node_st y)
{
    if (y.ptr == nullptr) return parser_node_invalid();
    parser_node_st n{};
    n.format = PARSER_FORMAT_YAML;
    n.yaml = y;
    return n;
}

bool is_yaml(const parser_node_st &n) { return n.format == PARSER_FORMAT_YAML; }

// The 1-based line and column (in characters) of pos in text.
void position_of(const char *text, const char *pos, uint32_t *line, uint32_t *column)
{
    *line = 1;
    const char *line_start = text;
    for (const char *p = text; p < pos; ++p) {
        if (*p == '\n') {
            ++*line;
            line_start = p + 1;
        }
    }
    *column = 1;
    for (const char *p = line_start; p < pos; ++p) {
        if ((static_cast<unsigned char>(*p) & 0xC0) != 0x80) ++*column;
    }
}

// A quoted YAML scalar is typed as the JSON reader types a quoted value, so that twins agree: digits,
// or "0x" and hexadecimal digits, are an integer (the YAML writer quotes hexadecimal values too).
bool yaml_is_quoted_number(kr_yaml_node_st y)
{
    const char *p = kr_yamlreader_get_string_ptr(y);
    const uint32_t n = kr_yamlreader_get_raw_len(y);
    if (p == nullptr || n == 0 || p == y.ptr || (p[-1] != '"' && p[-1] != '\'')) return false;
    uint32_t i = 0;
    if (n >= 2 && p[0] == '0' && p[1] == 'x') {
        for (i = 2; i < n && std::isxdigit(static_cast<unsigned char>(p[i])); ++i) {
        }
    } else {
        while (i < n && std::isdigit(static_cast<unsigned char>(p[i]))) ++i;
    }
    return i == n;
}

bool json_is_array(char *node) { return node[0] == '[' || kr_jsonreader_get_type(node) == JSON_ARRAY; }

// The index-th child of a YAML node; indexes the reader's 16-bit signed index cannot take are walked.
kr_yaml_node_st yaml_child(kr_yaml_node_st y, uint32_t index)
{
    if (index <= INT16_MAX) return kr_yamlreader_get_child(y, static_cast<int16_t>(index));
    kr_yaml_node_st c = kr_yamlreader_get_child(y, INT16_MAX);
    for (uint32_t i = INT16_MAX; c.ptr != nullptr && i < index; ++i) {
        if (!kr_yamlreader_get_next_sibling(c, &c)) return kr_yaml_node_st{};
    }
    return c;
}

// Checked before opening: opening a FIFO would wait for a writer.
bool is_regular_file(const char *path)
{
    struct stat st {};
    return stat(path, &st) == 0 && S_ISREG(st.st_mode);
}

// True when a JSON node is an object member ("name":value) rather than the root or an element.
// The value of a member (after its name and ':'), or null when node is no member.
const char *json_member_value(const char *node)
{
    if (node[0] != '"') return nullptr;
    const char *p = node + 1;
    while (*p != '\0' && *p != '"') p += (p[0] == '\\' && p[1] != '\0') ? 2 : 1;
    return (*p == '"' && p[1] == ':') ? p + 2 : nullptr;
}

bool json_is_member(const char *node) { return json_member_value(node) != nullptr; }

} // namespace

extern "C" {

parser_formats_e parser_format_from_filename(const char *filename)
{
    if (filename == nullptr) return PARSER_FORMAT_JSON;
    const char *dot = std::strrchr(filename, '.');
    if (dot == nullptr) return PARSER_FORMAT_JSON;
    char ext[8] = {};
    for (size_t i = 0; i < 7 && dot[1 + i] != '\0'; ++i)
        ext[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(dot[1 + i])));
    // A longer extension only matches when its first 7 characters do, so compare the whole rest.
    if (std::strlen(dot + 1) > 7) return PARSER_FORMAT_JSON;
    return (std::strcmp(ext, "yaml") == 0 || std::strcmp(ext, "yml") == 0) ? PARSER_FORMAT_YAML : PARSER_FORMAT_JSON;
}

const char *parser_format_to_str(parser_formats_e format) { return format == PARSER_FORMAT_YAML ? "YAML" : "JSON"; }

const char *parser_type_to_str(parser_types_e type)
{
    switch (type) {
    case PARSER_OBJECT: return "OBJECT";
    case PARSER_ARRAY: return "ARRAY";
    case PARSER_UNSUPPORTED: return "UNSUPPORTED";
    case PARSER_INT: return "INT";
    case PARSER_BOOL: return "BOOL";
    case PARSER_STRING: return "STRING";
    }
    return "UNDEFINED";
}

bool parser_find_file(const char *directory, const char *base_name, char *dest, size_t dest_length)
{
    if (directory == nullptr || base_name == nullptr || dest == nullptr || dest_length == 0) return false;
    static const char *const exts[] = {"json", "yaml", "yml"};
    for (const char *ext : exts) {
        const int n = std::snprintf(dest, dest_length, "%s/%s.%s", directory, base_name, ext);
        if (n < 0 || static_cast<size_t>(n) >= dest_length) continue; // never open a cut path
        if (!is_regular_file(dest)) continue;
        FILE *f = std::fopen(dest, "rb");
        if (f == nullptr) continue;
        struct stat st {};
        const bool regular = fstat(fileno(f), &st) == 0 && S_ISREG(st.st_mode);
        std::fclose(f);
        if (regular) return true;
    }
    const int n = std::snprintf(dest, dest_length, "%s/%s.json", directory, base_name);
    if (n < 0 || static_cast<size_t>(n) >= dest_length) dest[0] = '\0';
    return false;
}

parser_node_st parser_read_file(const char *path, char **text_buffer)
{
    if (text_buffer != nullptr) *text_buffer = nullptr;
    if (path == nullptr) {
        set_error("no file was given");
        return parser_node_invalid();
    }
    // Checked before opening: opening a FIFO would wait for a writer.
    struct stat pre {};
    if (stat(path, &pre) == 0 && !S_ISREG(pre.st_mode)) {
        set_error("the file could not be opened: it is not a regular file");
        return parser_node_invalid();
    }
    FILE *f = std::fopen(path, "rb");
    if (f == nullptr) {
        set_error("the file could not be opened");
        return parser_node_invalid();
    }
    struct stat st {};
    if (fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode)) {
        std::fclose(f);
        set_error("the file could not be opened: it is not a regular file");
        return parser_node_invalid();
    }
    long size = -1;
    if (std::fseek(f, 0, SEEK_END) == 0) size = std::ftell(f);
    if (size < 0 || std::fseek(f, 0, SEEK_SET) != 0) {
        std::fclose(f);
        set_error("the size of the file could not be determined");
        return parser_node_invalid();
    }
    if (size < 1) {
        std::fclose(f);
        set_error("the file is empty");
        return parser_node_invalid();
    }
    // The readers count in 32 bits.
    char *buf = static_cast<unsigned long>(size) < UINT32_MAX - 1u
                    ? static_cast<char *>(std::malloc(static_cast<size_t>(size) + 1))
                    : nullptr;
    if (buf == nullptr) {
        std::fclose(f);
        set_error("the file does not fit in memory (%ld bytes)", size);
        return parser_node_invalid();
    }
    const size_t got = std::fread(buf, 1, static_cast<size_t>(size), f);
    std::fclose(f);
    if (got != static_cast<size_t>(size)) {
        std::free(buf);
        set_error("the file could not be read to the end");
        return parser_node_invalid();
    }
    buf[size] = '\0';
    const size_t text_length = std::strlen(buf);
    if (text_length < static_cast<size_t>(size)) {
        // The readers take C strings: the rest would be lost without a word.
        uint32_t line = 0, column = 0;
        position_of(buf, buf + text_length, &line, &column);
        std::free(buf);
        set_error("%s:%u:%u: a NUL byte, which no text document holds", path, line, column);
        return parser_node_invalid();
    }
    const parser_node_st root = parser_read_buffer(buf, text_length, parser_format_from_filename(path));
    if (!parser_node_is_valid(root)) {
        std::free(buf);
        // Syntax errors come as LINE:COLUMN: reason; the file's name makes them FILE:LINE:COLUMN.
        const std::string reason = last_error;
        if (!reason.empty() && std::isdigit(static_cast<unsigned char>(reason[0])))
            set_error("%s:%s", path, reason.c_str());
        else
            set_error("%s: %s", path, reason.c_str());
        return root;
    }
    if (text_buffer != nullptr) *text_buffer = buf;
    return root;
}

parser_node_st parser_read_buffer(char *text, size_t length, parser_formats_e format)
{
    if (text == nullptr) {
        set_error("there is nothing to parse");
        return parser_node_invalid();
    }
    size_t n = strnlen(text, length);
    if (n == length) text[length] = '\0';
    if (n >= 3 && static_cast<unsigned char>(text[0]) == 0xEF && static_cast<unsigned char>(text[1]) == 0xBB &&
        static_cast<unsigned char>(text[2]) == 0xBF) {
        text += 3;
        n -= 3;
    }
    if (n >= UINT32_MAX - 1u) {
        set_error("the document is too large (%zu bytes)", n);
        return parser_node_invalid();
    }
    kr_doc_error_st err{};
    if (format == PARSER_FORMAT_YAML) {
        // The YAML reader is given the buffer's size, terminator included.
        const kr_errors_e e = kr_yamlreader_parse(text, static_cast<uint32_t>(n + 1), &err);
        if (e != ERR_NONE) {
            if (e == KR_YAML_ERR_SYNTAX)
                set_error("%u:%u: %s", err.line, err.column, err.reason);
            else
                set_error("the YAML document could not be parsed");
            return parser_node_invalid();
        }
        const parser_node_st root = yaml_node(kr_yamlreader_get_root(text));
        if (!parser_node_is_valid(root)) {
            set_error("the YAML document has no root node");
            return root;
        }
        clear_error();
        return root;
    }
    const char *first = text;
    while (is_ws(*first)) ++first;
    if (*first != '\0' && *first != '{') {
        uint32_t line = 0, column = 0;
        position_of(text, first, &line, &column);
        set_error("%u:%u: the document is not a JSON object", line, column);
        return parser_node_invalid();
    }
    if (kr_jsonreader_parse(text, static_cast<uint32_t>(n), &err) != ERR_NONE) {
        set_error("%u:%u: %s", err.line, err.column, err.reason);
        return parser_node_invalid();
    }
    // Compaction moved the root's '{' to the first character.
    clear_error();
    return json_node(text);
}

const char *parser_last_error(void) { return last_error; }

// A signal that ends the run between the temporary file and its rename removes the file: only
// async-signal-safe calls, on a path made ready before.
namespace {
char temp_file_path[4096];
std::atomic<bool> temp_file_armed{false};

void temp_file_on_signal(void)
{
    if (temp_file_armed.load()) unlink(temp_file_path);
}

void temp_file_arm(const std::string &path)
{
    static bool hooked = false;
    if (path.size() >= sizeof temp_file_path) return;
    temp_file_armed = false;
    std::memcpy(temp_file_path, path.c_str(), path.size() + 1);
    if (!hooked) kr_add_signal_cleanup(temp_file_on_signal);
    hooked = true;
    temp_file_armed = true;
}

void temp_file_disarm(void) { temp_file_armed = false; }
} // namespace

bool parser_write_file(const char *path, const char *text)
{
    if (path == nullptr || path[0] == '\0') {
        set_error("no file was given");
        return false;
    }
    if (text == nullptr) {
        set_error("there is nothing to write");
        return false;
    }
    // Save through a symbolic link into the file it names.
    std::string target = path;
    struct stat lst {};
    if (lstat(path, &lst) == 0 && S_ISLNK(lst.st_mode)) {
        char *real = realpath(path, nullptr);
        if (real != nullptr) {
            target = real;
            std::free(real);
        }
    }
    struct stat old {};
    const bool exists = stat(target.c_str(), &old) == 0;
    if (exists && !S_ISREG(old.st_mode)) {
        set_error("the file could not be written: '%s' is not a regular file", path);
        return false;
    }
    const size_t slash = target.rfind('/');
    const std::string folder = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);

    // A new name in the same folder, so the rename replaces the old file in one step.
    static unsigned counter = 0;
    std::string tmp;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        // Short, so that a target name at the length limit still leaves room for it.
        tmp = folder + ".krcan_save" + std::to_string(getpid()) + "_" + std::to_string(counter++) + ".tmp";
        fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) {
        set_error("the file could not be created: %s", std::strerror(errno));
        return false;
    }
    temp_file_arm(tmp);
    auto fail = [&](const char *what, int err) {
        if (fd >= 0) close(fd);
        unlink(tmp.c_str());
        temp_file_disarm();
        set_error("the file could not be %s: %s", what, std::strerror(err));
        return false;
    };
    if (exists && fchmod(fd, old.st_mode & 07777) != 0) return fail("written", errno);
    const size_t total = std::strlen(text);
    size_t done = 0;
    while (done < total) {
        const ssize_t w = write(fd, text + done, total - done);
        if (w < 0) {
            if (errno == EINTR) continue;
            return fail("written", errno);
        }
        if (w == 0) return fail("written", EIO);
        done += static_cast<size_t>(w);
    }
    if (fsync(fd) != 0) return fail("written", errno);
    const int c = close(fd);
    fd = -1;
    if (c != 0) return fail("written", errno);
    if (rename(tmp.c_str(), target.c_str()) != 0) return fail("saved", errno);
    temp_file_disarm();
    clear_error();
    return true;
}

parser_node_st parser_node_invalid(void)
{
    parser_node_st n{};
    n.format = PARSER_FORMAT_JSON;
    n.json = nullptr;
    return n;
}

bool parser_node_is_valid(parser_node_st node)
{
    return is_yaml(node) ? node.yaml.ptr != nullptr : node.json != nullptr;
}

parser_types_e parser_get_type(parser_node_st node)
{
    if (!parser_node_is_valid(node)) return PARSER_UNSUPPORTED;
    if (!is_yaml(node)) return from_reader_type(kr_jsonreader_get_type(node.json));
    const kr_yaml_types_e t = kr_yamlreader_get_type(node.yaml);
    if (t == YAML_STRING && yaml_is_quoted_number(node.yaml)) return PARSER_INT;
    return from_reader_type(t);
}

int32_t parser_get_int(parser_node_st node)
{
    if (!parser_node_is_valid(node)) return 0;
    return is_yaml(node) ? kr_yamlreader_get_int(node.yaml) : kr_jsonreader_get_int(node.json);
}

bool parser_get_bool(parser_node_st node)
{
    if (!parser_node_is_valid(node)) return false;
    return is_yaml(node) ? kr_yamlreader_get_bool(node.yaml) : kr_jsonreader_get_bool(node.json);
}

bool parser_get_string(parser_node_st node, char *dest, uint32_t dest_length)
{
    if (!parser_node_is_valid(node) || dest == nullptr || dest_length == 0) {
        clear_dest(dest, dest_length);
        return false;
    }
    return is_yaml(node) ? kr_yamlreader_get_string(node.yaml, dest, dest_length)
                         : kr_jsonreader_get_string(node.json, dest, dest_length);
}

uint32_t parser_get_string_len(parser_node_st node)
{
    if (!parser_node_is_valid(node)) return 0;
    return is_yaml(node) ? kr_yamlreader_get_string_len(node.yaml) : kr_jsonreader_get_string_len(node.json);
}

char *parser_get_string_ptr(parser_node_st node)
{
    if (!parser_node_is_valid(node)) return nullptr;
    return is_yaml(node) ? kr_yamlreader_get_string_ptr(node.yaml) : kr_jsonreader_get_string_ptr(node.json);
}

const char *parser_get_raw(parser_node_st node, uint32_t *length)
{
    *length = 0;
    const parser_types_e t = parser_get_type(node);
    if (t == PARSER_OBJECT || t == PARSER_ARRAY || t == PARSER_UNSUPPORTED) return nullptr;
    const char *s = parser_get_string_ptr(node);
    if (is_yaml(node)) {
        *length = kr_yamlreader_get_raw_len(node.yaml);
        return s;
    }
    if (s != nullptr) {
        *length = parser_get_string_len(node);
        return s;
    }
    const char *v = json_member_value(node.json);
    if (v == nullptr) v = node.json;
    *length = static_cast<uint32_t>(std::strcspn(v, ",]}"));
    return v;
}

bool parser_get_obj_name(parser_node_st node, char *dest, uint32_t dest_length)
{
    if (!parser_node_is_valid(node) || dest == nullptr || dest_length == 0) {
        clear_dest(dest, dest_length);
        return false;
    }
    if (is_yaml(node)) return kr_yamlreader_get_obj_name(node.yaml, dest, dest_length);
    // A string element is no member: its text is not a name.
    if (!json_is_member(node.json)) {
        dest[0] = '\0';
        return true;
    }
    return kr_jsonreader_get_obj_name(node.json, dest, dest_length);
}

parser_node_st parser_find_child(parser_node_st node, const char *name)
{
    if (!parser_node_is_valid(node) || name == nullptr) return parser_node_invalid();
    if (is_yaml(node)) return yaml_node(kr_yamlreader_find_child(node.yaml, name));
    return json_node(kr_jsonreader_find_child(node.json, name));
}

bool parser_repeated_key(parser_node_st node, char *dest, uint32_t dest_length)
{
    if (parser_get_type(node) != PARSER_OBJECT || dest_length == 0) return false;
    std::vector<std::string> keys;
    for (parser_node_st c = parser_get_child(node, 0); parser_node_is_valid(c);) {
        char key[256] = "";
        parser_get_obj_name(c, key, sizeof key);
        if (std::find(keys.begin(), keys.end(), key) != keys.end()) {
            kr_copy_text(dest, dest_length, key);
            return true;
        }
        keys.emplace_back(key);
        if (!parser_get_next_sibling(c, &c)) break;
    }
    return false;
}

parser_node_st parser_get_child(parser_node_st node, uint16_t index)
{
    if (!parser_node_is_valid(node)) return parser_node_invalid();
    if (is_yaml(node)) return yaml_node(yaml_child(node.yaml, index));
    if (json_is_array(node.json)) return json_node(kr_jsonreader_array_at(node.json, index));
    return json_node(kr_jsonreader_get_child(node.json, index));
}

uint32_t parser_get_child_count(parser_node_st node)
{
    if (!parser_node_is_valid(node)) return 0;
    if (is_yaml(node)) return kr_yamlreader_get_child_count(node.yaml);
    if (json_is_array(node.json)) return kr_jsonreader_array_get_size(node.json);
    char *c = kr_jsonreader_get_child(node.json, 0);
    if (c == nullptr) return 0;
    uint32_t count = 1;
    while (kr_jsonreader_get_next_sibling(c, &c)) ++count;
    return count;
}

bool parser_get_next_sibling(parser_node_st node, parser_node_st *out)
{
    if (!parser_node_is_valid(node)) return false;
    if (is_yaml(node)) {
        kr_yaml_node_st n{};
        if (!kr_yamlreader_get_next_sibling(node.yaml, &n) || n.ptr == nullptr) return false;
        if (out != nullptr) *out = yaml_node(n);
        return true;
    }
    char *n = nullptr;
    if (!kr_jsonreader_get_next_sibling(node.json, &n) || n == nullptr) return false;
    if (out != nullptr) *out = json_node(n);
    return true;
}

parser_node_st parser_array_next(parser_node_st element)
{
    parser_node_st next = parser_node_invalid();
    return parser_get_next_sibling(element, &next) ? next : parser_node_invalid();
}

parser_node_st parser_array_at(parser_node_st node, uint32_t index)
{
    if (!parser_node_is_valid(node)) return parser_node_invalid();
    if (is_yaml(node)) return yaml_node(yaml_child(node.yaml, index));
    return json_node(kr_jsonreader_array_at(node.json, index));
}

uint32_t parser_array_get_size(parser_node_st node)
{
    if (!parser_node_is_valid(node)) return 0;
    return is_yaml(node) ? kr_yamlreader_get_child_count(node.yaml) : kr_jsonreader_array_get_size(node.json);
}

parser_types_e parser_array_get_type(parser_node_st node, uint32_t index)
{
    if (!parser_node_is_valid(node)) return PARSER_UNSUPPORTED;
    if (is_yaml(node)) return parser_get_type(parser_array_at(node, index));
    return from_reader_type(kr_jsonreader_array_get_type(node.json, index));
}

int32_t parser_array_get_int(parser_node_st node, uint32_t index)
{
    if (!parser_node_is_valid(node)) return 0;
    if (is_yaml(node)) return parser_get_int(parser_array_at(node, index));
    return kr_jsonreader_array_get_int(node.json, index);
}

bool parser_array_get_bool(parser_node_st node, uint32_t index)
{
    if (!parser_node_is_valid(node)) return false;
    if (is_yaml(node)) return parser_get_bool(parser_array_at(node, index));
    return kr_jsonreader_array_get_bool(node.json, index);
}

bool parser_array_get_string(parser_node_st node, uint32_t index, char *dest, uint32_t dest_length)
{
    if (!parser_node_is_valid(node) || dest == nullptr || dest_length == 0) {
        clear_dest(dest, dest_length);
        return false;
    }
    if (is_yaml(node)) return parser_get_string(parser_array_at(node, index), dest, dest_length);
    return kr_jsonreader_array_get_string(node.json, index, dest, dest_length);
}

// ---- Writer ----

kr_errors_e parser_writer_init(parser_writer_st *writer, char *buffer, uint32_t buffer_length, parser_formats_e format)
{
    if (writer == nullptr) return ERR_NULL_PTR;
    *writer = parser_writer_st{};
    writer->format = format == PARSER_FORMAT_YAML ? PARSER_FORMAT_YAML : PARSER_FORMAT_JSON;
    if (writer->format == PARSER_FORMAT_JSON) return kr_jsonwriter_init(&writer->json, buffer, buffer_length);
    const kr_errors_e e = kr_yamlwriter_init(&writer->yaml, buffer, buffer_length);
    kr_yamlwriter_set_quote_strings(&writer->yaml, true);
    return e;
}

kr_errors_e parser_writer_add_string(parser_writer_st *writer, const char *key, const char *value)
{
    if (writer == nullptr) return ERR_NULL_PTR;
    if (writer->format == PARSER_FORMAT_YAML) return kr_yamlwriter_add_string(&writer->yaml, key, value);
    return kr_jsonwriter_add_string(&writer->json, key, value);
}

kr_errors_e parser_writer_add_int(parser_writer_st *writer, const char *key, int32_t value)
{
    if (writer == nullptr) return ERR_NULL_PTR;
    if (writer->format == PARSER_FORMAT_YAML) return kr_yamlwriter_add_int(&writer->yaml, key, value);
    return kr_jsonwriter_add_int(&writer->json, key, value);
}

kr_errors_e parser_writer_add_int_hex(parser_writer_st *writer, const char *key, uint32_t value)
{
    if (writer == nullptr) return ERR_NULL_PTR;
    if (writer->format == PARSER_FORMAT_YAML) {
        char hex[16];
        std::snprintf(hex, sizeof hex, "0x%x", value);
        return kr_yamlwriter_add_string(&writer->yaml, key, hex);
    }
    return kr_jsonwriter_add_int_hex(&writer->json, key, value);
}

kr_errors_e parser_writer_add_uint(parser_writer_st *writer, const char *key, uint32_t value)
{
    if (writer == nullptr) return ERR_NULL_PTR;
    if (writer->format == PARSER_FORMAT_YAML) return kr_yamlwriter_add_uint(&writer->yaml, key, value);
    return kr_jsonwriter_add_uint(&writer->json, key, value);
}

kr_errors_e parser_writer_add_bool(parser_writer_st *writer, const char *key, bool value)
{
    if (writer == nullptr) return ERR_NULL_PTR;
    if (writer->format == PARSER_FORMAT_YAML) return kr_yamlwriter_add_bool(&writer->yaml, key, value);
    return kr_jsonwriter_add_bool(&writer->json, key, value);
}

kr_errors_e parser_writer_array_add_string(parser_writer_st *writer, const char *value)
{
    if (writer == nullptr) return ERR_NULL_PTR;
    if (writer->format == PARSER_FORMAT_YAML) return kr_yamlwriter_seq_add_string(&writer->yaml, value);
    return kr_jsonwriter_array_add_string(&writer->json, value);
}

kr_errors_e parser_writer_array_add_int(parser_writer_st *writer, int32_t value)
{
    if (writer == nullptr) return ERR_NULL_PTR;
    if (writer->format == PARSER_FORMAT_YAML) return kr_yamlwriter_seq_add_int(&writer->yaml, value);
    return kr_jsonwriter_array_add_int(&writer->json, value);
}

kr_errors_e parser_writer_array_add_int_hex(parser_writer_st *writer, uint32_t value)
{
    if (writer == nullptr) return ERR_NULL_PTR;
    if (writer->format == PARSER_FORMAT_YAML) {
        char hex[16];
        std::snprintf(hex, sizeof hex, "0x%x", value);
        return kr_yamlwriter_seq_add_string(&writer->yaml, hex);
    }
    return kr_jsonwriter_array_add_int_hex(&writer->json, static_cast<int32_t>(value));
}

kr_errors_e parser_writer_array_add_bool(parser_writer_st *writer, bool value)
{
    if (writer == nullptr) return ERR_NULL_PTR;
    if (writer->format == PARSER_FORMAT_YAML) return kr_yamlwriter_seq_add_bool(&writer->yaml, value);
    return kr_jsonwriter_array_add_bool(&writer->json, value);
}

kr_errors_e parser_writer_begin_object(parser_writer_st *writer, const char *key)
{
    if (writer == nullptr) return ERR_NULL_PTR;
    if (writer->format == PARSER_FORMAT_YAML) return kr_yamlwriter_begin_map(&writer->yaml, key);
    if (key == nullptr || key[0] == '\0') return kr_jsonwriter_begin_object(&writer->json);
    return kr_jsonwriter_begin_object_named(&writer->json, key);
}

kr_errors_e parser_writer_end_object(parser_writer_st *writer)
{
    if (writer == nullptr) return ERR_NULL_PTR;
    if (writer->format == PARSER_FORMAT_YAML) return kr_yamlwriter_end_map(&writer->yaml);
    return kr_jsonwriter_end_object(&writer->json);
}

kr_errors_e parser_writer_begin_array(parser_writer_st *writer, const char *key)
{
    if (writer == nullptr) return ERR_NULL_PTR;
    if (writer->format == PARSER_FORMAT_YAML) return kr_yamlwriter_begin_seq(&writer->yaml, key);
    return kr_jsonwriter_begin_array(&writer->json, key == nullptr ? "" : key);
}

kr_errors_e parser_writer_end_array(parser_writer_st *writer)
{
    if (writer == nullptr) return ERR_NULL_PTR;
    if (writer->format == PARSER_FORMAT_YAML) return kr_yamlwriter_end_seq(&writer->yaml);
    return kr_jsonwriter_end_array(&writer->json);
}

bool parser_writer_array_append_doc(parser_writer_st *writer, char *doc)
{
    if (writer == nullptr || doc == nullptr) return false;
    if (writer->format == PARSER_FORMAT_JSON) return kr_jsonwriter_append_json(&writer->json, doc);
    kr_yaml_st *y = &writer->yaml;
    if (y->start_ptr == nullptr) return false;
    // A document that does not fit whole is taken back whole.
    const kr_yaml_st saved = *y;
    const size_t saved_length = std::strlen(y->start_ptr);
    bool ok = kr_yamlwriter_begin_map(y, nullptr) == ERR_NONE;
    if (ok) {
        ok = kr_yamlwriter_append_yaml(y, doc);
        ok = kr_yamlwriter_end_map(y) == ERR_NONE && ok;
    }
    if (!ok) {
        *y = saved;
        y->start_ptr[saved_length] = '\0';
    }
    return ok;
}

kr_errors_e parser_writer_end(parser_writer_st *writer)
{
    if (writer == nullptr) return ERR_NULL_PTR;
    if (writer->format == PARSER_FORMAT_YAML) return kr_yamlwriter_end(&writer->yaml, nullptr);
    return kr_jsonwriter_end(&writer->json, nullptr);
}

} // extern "C"
