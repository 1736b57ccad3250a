// The joystick configuration: its document, the active configuration and its generation, and its place
// inside a system package.
#include <sys/stat.h>

#include <cerrno>
#include <cinttypes>
#include <initializer_list>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "joystick/joystick.h"
#include "system/package.h"
#include "database/parser.h"
#include "kr_bytes.h"

const char *const JOYSTICK_AXIS_NAMES[JOYSTICK_AXIS_COUNT] = {"X", "Y", "Z", "RX", "RY", "RZ", "SLIDER1", "SLIDER2"};

namespace {

joystick_conf_st active_conf = {JOYSTICK_DEFAULT_NAME, {}};
uint32_t generation = 0;

constexpr uint32_t WRITE_BUFFER_LENGTH = 32768;
constexpr size_t PATH_LENGTH = 1200;
const char *const DOC_EXTENSIONS[] = {"json", "yaml", "yml"};

// Integer nodes as they are; strings by strtol's base detection (saturating to 32 bits); booleans 1/0.
int64_t read_number(parser_node_st parent, const char *key, int64_t fallback)
{
    parser_node_st node = parser_find_child(parent, key);
    if (!parser_node_is_valid(node)) return fallback;
    switch (parser_get_type(node)) {
    case PARSER_INT: return parser_get_int(node);
    case PARSER_BOOL: return parser_get_bool(node) ? 1 : 0;
    case PARSER_STRING: {
        char text[32];
        parser_get_string(node, text, sizeof text);
        long long v = std::strtoll(text, nullptr, 0);
        if (v > INT32_MAX) v = INT32_MAX;
        if (v < INT32_MIN) v = INT32_MIN;
        return v;
    }
    default: return fallback;
    }
}

void read_string(parser_node_st parent, const char *key, char *dest, uint32_t size)
{
    dest[0] = '\0';
    parser_node_st node = parser_find_child(parent, key);
    if (parser_node_is_valid(node) && parser_get_type(node) == PARSER_STRING) parser_get_string(node, dest, size);
}

// Type text by substring: signed unless "UNSIGNED" appears; 32, 16, else 8 bits.
void type_from_text(const char *text, uint8_t *size, bool *is_signed)
{
    *is_signed = std::strstr(text, "SIGNED") && !std::strstr(text, "UNSIGNED");
    *size = std::strstr(text, "32") ? 4 : std::strstr(text, "16") ? 2 : 1;
}

const char *type_to_text(uint8_t size, bool is_signed)
{
    if (size == 1) return is_signed ? "CANOPEN_SIGNED8" : "CANOPEN_UNSIGNED8";
    if (size == 2) return is_signed ? "CANOPEN_SIGNED16" : "CANOPEN_UNSIGNED16";
    return is_signed ? "CANOPEN_SIGNED32" : "CANOPEN_UNSIGNED32";
}

// The node id, COB-ID and offset are checked as read, before they are cut to their fields: a node id of
// 0x110 must not become node 0x10.
void read_slot(parser_node_st node, joystick_slot_st *slot)
{
    std::memset(slot, 0, sizeof *slot);
    int64_t nodeid = read_number(node, "NODEID", 0);
    read_string(node, "DEVICE", slot->device, sizeof slot->device);
    read_string(node, "OBJECT", slot->object, sizeof slot->object);
    slot->mindex = static_cast<uint16_t>(read_number(node, "MAININDEX", 0));
    slot->sindex = static_cast<uint8_t>(read_number(node, "SUBINDEX", 0));
    char type[48];
    read_string(node, "TYPE", type, sizeof type);
    if (!parser_node_is_valid(parser_find_child(node, "TYPE"))) kr_copy_text(type, sizeof type, "CANOPEN_SIGNED32");
    type_from_text(type, &slot->size, &slot->is_signed);
    int64_t cobid = read_number(node, "COBID", 0);
    int64_t offset = read_number(node, "OFFSET", 0);
    slot->cobid = static_cast<uint16_t>(cobid);
    slot->offset = static_cast<uint8_t>(offset);
    bool valid = nodeid >= 0 && nodeid <= CANOPEN_NODE_ID_MAX && cobid >= 1 && cobid <= 2047 && offset >= 0 &&
                 offset + slot->size <= 8;
    slot->nodeid = valid ? static_cast<uint8_t>(nodeid) : 0;
}

kr_errors_e write_slot_members(parser_writer_st *w, const joystick_slot_st *s)
{
    uint32_t err = 0;
    err |= parser_writer_add_int_hex(w, "NODEID", s->nodeid);
    err |= parser_writer_add_string(w, "DEVICE", s->device);
    err |= parser_writer_add_string(w, "OBJECT", s->object);
    err |= parser_writer_add_int_hex(w, "MAININDEX", s->mindex);
    err |= parser_writer_add_int(w, "SUBINDEX", s->sindex);
    err |= parser_writer_add_string(w, "TYPE", type_to_text(s->size, s->is_signed));
    err |= parser_writer_add_int_hex(w, "COBID", s->cobid);
    err |= parser_writer_add_int(w, "OFFSET", s->offset);
    return static_cast<kr_errors_e>(err);
}

bool path_exists(const char *path)
{
    struct stat st;
    return lstat(path, &st) == 0;
}

} // namespace

void joystick_conf_reset(joystick_conf_st *conf)
{
    std::memset(conf, 0, sizeof *conf);
    kr_copy_text(conf->name, sizeof conf->name, JOYSTICK_DEFAULT_NAME);
}

bool joystick_conf_is_used(const joystick_conf_st *conf)
{
    if (!conf) return false;
    for (const joystick_slot_st &s : conf->slots)
        if (s.nodeid != 0) return true;
    return false;
}

bool joystick_conf_read(joystick_conf_st *conf, const char *path)
{
    joystick_conf_reset(conf);
    char *text = nullptr;
    parser_node_st root = path ? parser_read_file(path, &text) : parser_node_invalid();
    if (!parser_node_is_valid(root)) {
        const char *err = parser_last_error();
        bool has_err = err && err[0] && std::strcmp(err, "no error") != 0;
        std::printf("Failed to read the joystick configuration '%s'%s%s\n", path ? path : "", has_err ? ": " : ".",
                    has_err ? err : "");
        std::fflush(stdout);
        std::free(text);
        return false;
    }
    char name[64];
    read_string(root, "NAME", name, sizeof name);
    if (name[0]) kr_copy_text(conf->name, sizeof conf->name, name);

    parser_node_st axes = parser_find_child(root, "AXES");
    if (parser_get_type(axes) == PARSER_ARRAY) {
        uint32_t n = parser_array_get_size(axes);
        parser_node_st el = parser_array_at(axes, 0);
        for (uint32_t i = 0; i < n; i++, el = parser_array_next(el)) {
            char axis[16];
            read_string(el, "AXIS", axis, sizeof axis);
            int index = -1;
            for (uint32_t a = 0; a < JOYSTICK_AXIS_COUNT; a++)
                if (strcasecmp(axis, JOYSTICK_AXIS_NAMES[a]) == 0) index = static_cast<int>(a);
            if (index < 0) {
                std::printf("Joystick configuration: unknown axis '%s' skipped.\n", axis);
                continue;
            }
            joystick_slot_st *slot = &conf->slots[index];
            read_slot(el, slot);
            slot->min = static_cast<int32_t>(read_number(el, "MIN", 0));
            slot->max = static_cast<int32_t>(read_number(el, "MAX", 1000));
            slot->invert = read_number(el, "INVERT", 0) != 0;
        }
    }
    parser_node_st buttons = parser_find_child(root, "BUTTONS");
    if (parser_get_type(buttons) == PARSER_ARRAY) {
        uint32_t n = parser_array_get_size(buttons);
        parser_node_st el = parser_array_at(buttons, 0);
        for (uint32_t i = 0; i < n; i++, el = parser_array_next(el)) {
            int64_t button = read_number(el, "BUTTON", 0);
            if (button < 1 || button > static_cast<int64_t>(JOYSTICK_BUTTON_COUNT)) {
                std::printf("Joystick configuration: button %d is out of the range 1 ... %d, skipped.\n",
                            static_cast<int>(button), static_cast<int>(JOYSTICK_BUTTON_COUNT));
                continue;
            }
            joystick_slot_st *slot = &conf->slots[7 + button];
            read_slot(el, slot);
            slot->threshold = static_cast<int32_t>(read_number(el, "THRESHOLD", 1));
            slot->invert = read_number(el, "INVERT", 0) != 0;
        }
    }
    std::fflush(stdout);
    std::free(text);
    return true;
}

bool joystick_conf_write(const joystick_conf_st *conf, const char *path)
{
    static char buffer[WRITE_BUFFER_LENGTH];
    parser_writer_st w;
    uint32_t err = parser_writer_init(&w, buffer, sizeof buffer, parser_format_from_filename(path));
    err |= parser_writer_add_int(&w, "VERSION", 1);
    err |= parser_writer_add_string(&w, "NAME", conf->name);
    err |= parser_writer_begin_array(&w, "AXES");
    for (uint32_t i = 0; i < JOYSTICK_AXIS_COUNT; i++) {
        const joystick_slot_st *s = &conf->slots[i];
        if (!s->nodeid) continue;
        err |= parser_writer_begin_object(&w, nullptr);
        err |= parser_writer_add_string(&w, "AXIS", JOYSTICK_AXIS_NAMES[i]);
        err |= write_slot_members(&w, s);
        err |= parser_writer_add_int(&w, "MIN", s->min);
        err |= parser_writer_add_int(&w, "MAX", s->max);
        err |= parser_writer_add_bool(&w, "INVERT", s->invert);
        err |= parser_writer_end_object(&w);
    }
    err |= parser_writer_end_array(&w);
    err |= parser_writer_begin_array(&w, "BUTTONS");
    for (uint32_t i = JOYSTICK_AXIS_COUNT; i < JOYSTICK_SLOT_COUNT; i++) {
        const joystick_slot_st *s = &conf->slots[i];
        if (!s->nodeid) continue;
        err |= parser_writer_begin_object(&w, nullptr);
        err |= parser_writer_add_int(&w, "BUTTON", static_cast<int32_t>(i - 7));
        err |= write_slot_members(&w, s);
        err |= parser_writer_add_int(&w, "THRESHOLD", s->threshold);
        err |= parser_writer_add_bool(&w, "INVERT", s->invert);
        err |= parser_writer_end_object(&w);
    }
    err |= parser_writer_end_array(&w);
    err |= parser_writer_end(&w);
    if (err != ERR_NONE) {
        std::printf("The joystick configuration does not fit in the write buffer.\n");
        std::fflush(stdout);
        return false;
    }
    if (!parser_write_file(path, buffer)) {
        std::printf("Failed to write the joystick configuration '%s'.\n", path);
        std::fflush(stdout);
        return false;
    }
    return true;
}

const joystick_conf_st *joystick_get_conf(void) { return &active_conf; }

void joystick_set_conf(const joystick_conf_st *conf)
{
    if (conf != &active_conf) std::memcpy(&active_conf, conf, sizeof active_conf);
    generation++;
}

uint32_t joystick_get_generation(void) { return generation; }

bool joystick_has_conf(void) { return joystick_conf_is_used(&active_conf); }

bool joystick_load_from_dir(const char *dir)
{
    char path[PATH_LENGTH];
    if (!dir || !parser_find_file(dir, JOYSTICK_FILE_NAME, path, sizeof path)) return false;
    static joystick_conf_st conf;
    if (!joystick_conf_read(&conf, path)) return false;
    joystick_set_conf(&conf);
    return true;
}

bool joystick_write_to_dir(const char *dir, char *name, size_t name_length)
{
    if (!dir || !joystick_has_conf()) return false;
    char path[PATH_LENGTH];
    if (std::snprintf(path, sizeof path, "%s/%s.json", dir, JOYSTICK_FILE_NAME) >= static_cast<int>(sizeof path))
        return false;
    if (!joystick_conf_write(&active_conf, path)) return false;
    // Only now that the JSON document is written: the YAML ones would otherwise win no longer, but a
    // failed write must not lose the configuration.
    for (const char *ext : {"yaml", "yml"}) {
        char old[PATH_LENGTH];
        if (std::snprintf(old, sizeof old, "%s/%s.%s", dir, JOYSTICK_FILE_NAME, ext) < static_cast<int>(sizeof old))
            std::remove(old);
    }
    if (name && name_length) std::snprintf(name, name_length, "%s.json", JOYSTICK_FILE_NAME);
    return true;
}

bool joystick_save_to_system(const system_st *system)
{
    if (!system || !system->loaded || !system->extract_dir[0]) return false;
    char abs_path[PATH_MAX];
    if (!realpath(system->filepath, abs_path) || std::strlen(abs_path) > 259) {
        std::printf("The system file '%s' is gone; the joystick configuration was not saved into it.\n",
                    system->filepath);
        std::fflush(stdout);
        return false;
    }
    const char *dir = system->extract_dir;
    bool ok = true;
    if (joystick_has_conf()) {
        char name[64];
        if (!joystick_write_to_dir(dir, name, sizeof name)) {
            ok = false;
        } else if (archive_put_file(abs_path, dir, name)) {
            std::printf("Saved the joystick configuration into '%s'.\n", abs_path);
        } else {
            std::printf("Failed to add the joystick configuration to '%s'.\n", abs_path);
            ok = false;
        }
        std::fflush(stdout);
        return ok;
    }
    // Every "joystick" document goes, whatever its kind; one that cannot be deleted ends the removal
    // instead of being found again for ever.
    for (const char *ext : DOC_EXTENSIONS) {
        char path[PATH_LENGTH];
        if (std::snprintf(path, sizeof path, "%s/%s.%s", dir, JOYSTICK_FILE_NAME, ext) >= static_cast<int>(sizeof path))
            continue;
        if (!path_exists(path)) continue;
        char name[64];
        std::snprintf(name, sizeof name, "%s.%s", JOYSTICK_FILE_NAME, ext);
        if (std::remove(path) != 0) {
            job_error("Failed to delete '%s': %s; the joystick configuration stays in '%s'.\n", path,
                      std::strerror(errno), abs_path);
            ok = false;
            break;
        }
        if (!archive_remove_file(abs_path, dir, name)) {
            std::printf("Failed to remove '%s' from '%s'.\n", name, abs_path);
            ok = false;
            break;
        }
    }
    if (ok) std::printf("Removed the joystick configuration from '%s'.\n", abs_path);
    std::fflush(stdout);
    return ok;
}
