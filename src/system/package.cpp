// Opening device and system packages: extraction into a temporary folder, the manifests, and the
// system package's devices in the system model. Temporary folders of system packages live until exit.
#include "system/package.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "system/system.h"
#include "ui/kr_uifiledialog.h"
#include "joystick/joystick.h"
#include "kr_bytes.h"

namespace {

std::vector<std::string> tmpdirs;
std::string last_error;

// A manifest path: empty when the key is missing or not a string; false (with the reason) when it
// does not fit or would leave the package. A cut path would name another file.
bool take_path(parser_node_st root, const char *key, char *dest, uint32_t size, std::string &why)
{
    dest[0] = '\0';
    parser_node_st n = parser_find_child(root, key);
    if (parser_get_type(n) != PARSER_STRING) return true;
    if (!parser_get_string(n, dest, size)) {
        dest[0] = '\0';
        why = std::string("its ") + key + " path is longer than " + std::to_string(size - 1) + " characters";
        return false;
    }
    if (dest[0] && !package_path_is_inside(dest)) {
        why = std::string("its ") + key + " path '" + dest + "' leaves the package";
        dest[0] = '\0';
        return false;
    }
    return true;
}

// The whole text as a number with base detection, at most `max`; no sign, no spaces.
bool convert_number(const char *text, unsigned long long max, unsigned long long *value)
{
    if (!text[0] || text[0] == '-' || text[0] == '+' || std::isspace((unsigned char)text[0])) return false;
    char *end = nullptr;
    errno = 0;
    unsigned long long v = std::strtoull(text, &end, 0);
    if (*end != '\0' || errno == ERANGE || v > max) return false;
    *value = v;
    return true;
}

// ESP32 images in document order: a key that is not a whole 32-bit number, or a value that is no
// string, is skipped; an image path that does not fit or leaves the package refuses the package.
bool take_esp32(parser_node_st root, krdev_st *k, std::string &why)
{
    parser_node_st obj = parser_find_child(root, "ESP32");
    if (parser_get_type(obj) != PARSER_OBJECT || parser_get_child_count(obj) == 0) return true;
    parser_node_st m = parser_get_child(obj, 0);
    for (bool more = parser_node_is_valid(m); more && k->esp32_count < KRDEV_ESP32_MAX_COUNT;
         more = parser_get_next_sibling(m, &m)) {
        char key[32];
        unsigned long long offset = 0;
        if (!parser_get_obj_name(m, key, sizeof key) || !convert_number(key, 0xFFFFFFFFull, &offset)) continue;
        if (parser_get_type(m) != PARSER_STRING) continue;
        krdev_esp32_image_st &img = k->esp32[k->esp32_count];
        if (!parser_get_string(m, img.file, sizeof img.file)) {
            why = std::string("its ESP32 image at ") + key + " has a path longer than " +
                  std::to_string(sizeof img.file - 1) + " characters";
            img.file[0] = '\0';
            return false;
        }
        if (!package_path_is_inside(img.file)) {
            why = std::string("its ESP32 image path '") + img.file + "' leaves the package";
            img.file[0] = '\0';
            return false;
        }
        img.offset = (uint32_t)offset;
        k->esp32_count++;
    }
    return true;
}

// Extracts a package into a fresh folder and finds its manifest; false with the messages written and
// the folder removed.
bool open_package(const char *path, const char *prefix, const char *kind, const char *manifest_name, char *dir,
                  size_t dir_size, char *manifest, size_t manifest_size)
{
    if (!archive_mktempdir(prefix, dir, dir_size)) {
        PRINT("Failed to create a temporary directory for '%s'.\n", path);
        return false;
    }
    if (!archive_extract(path, dir)) {
        PRINT("Failed to extract '%s'. Is it a valid .%s package and is the extraction tool (libarchive) "
              "available?\n",
              path, kind);
    } else if (!parser_find_file(dir, manifest_name, manifest, manifest_size)) {
        PRINT("Package '%s' does not contain a %s.json manifest.\n", path, manifest_name);
        last_error = std::string("it does not contain a ") + manifest_name + ".json manifest";
    } else {
        return true;
    }
    archive_rmtree(dir);
    dir[0] = '\0';
    return false;
}

void manifest_unreadable(const char *manifest)
{
    const char *base = std::strrchr(manifest, '/');
    last_error = std::string("its manifest '") + (base ? base + 1 : manifest) +
                 "' could not be read: " + parser_last_error();
}

// The elements of a system file that cannot become devices. Each is named as it is found, even when
// silent: the package is then refused whole, since a machine missing a device is not that machine.
struct dropped_st {
    uint32_t count = 0;
    std::string named; // the first few, for the error line that refuses the package

    void add(uint32_t index, const std::string &krdev, const std::string &why)
    {
        std::string who = "device " + std::to_string(index) + (krdev.empty() ? "" : " ('" + krdev + "')");
        job_cause("System file %s %s.\n", who.c_str(), why.c_str());
        if (count < 3) named += (count ? ", " : "") + who;
        count++;
    }

    std::string reason() const
    {
        std::string more = count > 3 ? " and " + std::to_string(count - 3) + " more" : "";
        return "its " + named + more + " cannot be taken into the system";
    }
};

// NODEID of one DEVS element: 0 when missing or of another type; false outside 0..127 or when a
// string does not convert whole.
bool take_nodeid(parser_node_st el, uint8_t *nodeid, std::string &why)
{
    *nodeid = 0;
    parser_node_st n = parser_find_child(el, "NODEID");
    parser_types_e t = parser_get_type(n);
    if (t == PARSER_INT) {
        int32_t v = parser_get_int(n);
        if (v < 0 || v > (int32_t)SYSTEM_NODEID_MAX) {
            why = "has the node id " + std::to_string(v) + ", outside 0..127 (0x0..0x7f)";
            return false;
        }
        *nodeid = (uint8_t)v;
    } else if (t == PARSER_STRING) {
        char text[16];
        unsigned long long v = 0;
        bool whole = parser_get_string(n, text, sizeof text);
        if (!whole || !convert_number(text, SYSTEM_NODEID_MAX, &v)) {
            why = std::string("has the node id '") + text + (whole ? "" : "...") +
                  "', which is no number in 0..127 (0x0..0x7f)";
            return false;
        }
        *nodeid = (uint8_t)v;
    }
    return true;
}

// A path of a DEVS element joined to the folder: false (with the reason) when it is no string that
// fits or when it leaves the package.
bool join_element_path(parser_node_st node, const char *key, const char *dir, char *rel, uint32_t rel_size,
                       char *joined, size_t joined_size, std::string &why)
{
    if (!parser_get_string(node, rel, rel_size)) {
        why = std::string("has a ") + key + " path longer than " + std::to_string(rel_size - 1) + " characters";
        return false;
    }
    if (!package_path_is_inside(rel)) {
        why = std::string("names the ") + key + " path '" + rel + "', which leaves the system file";
        return false;
    }
    int n = std::snprintf(joined, joined_size, "%s/%s", dir, rel);
    if (n < 0 || (size_t)n >= joined_size) {
        why = std::string("has a ") + key + " path '" + rel + "' that does not fit beside the extraction folder";
        return false;
    }
    return true;
}

} // namespace

extern "C" {

bool krdev_open(krdev_st *krdev, const char *path)
{
    if (!krdev) return false;
    std::memset(krdev, 0, sizeof *krdev);
    if (!path) return false;
    last_error.clear();
    char manifest[1100];
    if (!open_package(path, "krcan_krdev", "krdev", "krdev", krdev->dir, sizeof krdev->dir, manifest, sizeof manifest))
        return false;
    char *text = nullptr;
    parser_node_st root = parser_read_file(manifest, &text);
    if (!parser_node_is_valid(root)) {
        PRINT("Failed to read the manifest '%s' of '%s'.\n", manifest, path);
        manifest_unreadable(manifest);
        krdev_close(krdev);
        return false;
    }
    std::string why;
    bool ok = take_path(root, "DATABASE", krdev->database, sizeof krdev->database, why) &&
              take_path(root, "FIRMWARE", krdev->firmware, sizeof krdev->firmware, why) &&
              take_path(root, "LINUX_BIN", krdev->linux_bin, sizeof krdev->linux_bin, why) &&
              take_path(root, "MEDIA", krdev->media, sizeof krdev->media, why) && take_esp32(root, krdev, why);
    parser_node_st version = parser_find_child(root, "VERSION");
    if (parser_get_type(version) == PARSER_STRING) {
        // Only shown, so a long one is cut.
        char full[1024];
        parser_get_string(version, full, sizeof full);
        kr_copy_text(krdev->version, sizeof krdev->version, full);
    }
    std::free(text);
    if (!ok) {
        PRINT("Refusing the manifest '%s' of '%s': %s.\n", manifest, path, why.c_str());
        last_error = "its manifest is refused: " + why;
        krdev_close(krdev);
        std::memset(krdev, 0, sizeof *krdev);
        return false;
    }
    return true;
}

void krdev_close(krdev_st *krdev)
{
    if (!krdev) return;
    archive_rmtree(krdev->dir);
    krdev->dir[0] = '\0';
}

bool system_parse_sysfile(system_st *system, parser_node_st root, const char *dir)
{
    parser_node_st devs = parser_find_child(root, "DEVS");
    if (parser_get_type(devs) != PARSER_ARRAY) {
        PRINT("ERROR: the system file has no DEVS array.\n");
        last_error = "the system file has no DEVS array";
        return false;
    }
    // Put back whole when an element cannot be taken: joined devices were changed in place.
    std::unique_ptr<system_st> before(new system_st(*system));
    parser_node_st date = parser_find_child(root, "DATE");
    system->date[0] = '\0';
    if (parser_get_type(date) == PARSER_STRING) {
        char full[256];
        parser_get_string(date, full, sizeof full);
        kr_copy_text(system->date, sizeof system->date, full);
    }
    std::printf("System file saved on %s\n", system->date[0] ? system->date : "an unknown date");
    std::fflush(stdout);
    std::memset(system->sysfile_devs, 0, sizeof system->sysfile_devs);
    system->sysfile_dev_count = 0;

    dropped_st dropped;
    uint32_t count = parser_array_get_size(devs);
    parser_node_st el = parser_array_at(devs, 0);
    for (uint32_t i = 0; i < count; i++, el = parser_array_next(el)) {
        if (!parser_node_is_valid(el)) continue;
        std::string why;
        char krdev[512] = "", krdev_path[DEV_PATH_LEN];
        parser_node_st krdev_node = parser_find_child(el, "KRDEV");
        bool has_krdev = parser_get_type(krdev_node) == PARSER_STRING;
        if (has_krdev && !parser_get_string(krdev_node, krdev, sizeof krdev)) krdev[0] = '\0';
        uint8_t nodeid = 0;
        if (!take_nodeid(el, &nodeid, why)) {
            dropped.add(i, krdev, why);
            continue;
        }
        if (!has_krdev) {
            dropped.add(i, "", "has no KRDEV package");
            continue;
        }
        if (!join_element_path(krdev_node, "KRDEV", dir, krdev, sizeof krdev, krdev_path, sizeof krdev_path, why)) {
            dropped.add(i, "", why);
            continue;
        }
        char param[512], param_path[DEV_PATH_LEN] = "";
        parser_node_st param_node = parser_find_child(el, "PARAM");
        if (parser_get_type(param_node) == PARSER_STRING &&
            !join_element_path(param_node, "PARAM", dir, param, sizeof param, param_path, sizeof param_path, why)) {
            dropped.add(i, krdev, why);
            continue;
        }
        device_st *d = system_add_joining(system, krdev_path, nodeid);
        if (!d) {
            dropped.add(i, krdev,
                        "does not fit: a system can hold at most " + std::to_string(SYSTEM_MAX_DEVICES) + " devices");
            continue;
        }
        kr_copy_text(d->param_file, sizeof d->param_file, param_path);
        const char *version = d->conf_version[0] ? d->conf_version : "unknown";
        std::printf("Loaded device '%s' (node 0x%x, version %s) from the system file.\n", krdev, (unsigned)d->nodeid,
                    version);
        std::fflush(stdout);
        if (system->sysfile_dev_count < SYSTEM_MAX_DEVICES) {
            sysfile_dev_st &s = system->sysfile_devs[system->sysfile_dev_count++];
            kr_copy_text(s.krdev, sizeof s.krdev, krdev);
            kr_copy_text(s.devname, sizeof s.devname, d->devname);
            s.nodeid = d->nodeid;
            kr_copy_text(s.version, sizeof s.version, version);
        }
    }
    if (dropped.count == 0) return true;
    *system = *before;
    last_error = dropped.reason();
    return false;
}

bool system_set_file(system_st *system, const char *path)
{
    if (!system || !path) return false;
    last_error.clear();
    if (std::strlen(path) >= sizeof system->filepath) {
        PRINT("The path of the system file '%s' is longer than %u characters.\n", path,
              (unsigned)sizeof system->filepath - 1);
        last_error = "its path is longer than " + std::to_string(sizeof system->filepath - 1) + " characters";
        return false;
    }
    char dir[DEV_PATH_LEN], manifest[1100];
    if (!open_package(path, "krcan_krsys", "krsys", "krsys", dir, sizeof dir, manifest, sizeof manifest)) return false;
    char *text = nullptr;
    parser_node_st root = parser_read_file(manifest, &text);
    bool ok = parser_node_is_valid(root);
    if (!ok) {
        PRINT("Failed to read the manifest '%s' of '%s'.\n", manifest, path);
        manifest_unreadable(manifest);
    } else
        ok = system_parse_sysfile(system, root, dir);
    std::free(text);
    if (!ok) {
        archive_rmtree(dir);
        return false;
    }
    sysfile_track_tmpdir(dir);
    kr_copy_text(system->filepath, sizeof system->filepath, path);
    name_from_path(system->filepath, system->name, sizeof system->name);
    system->loaded = true;
    kr_copy_text(system->extract_dir, sizeof system->extract_dir, dir);
    if (joystick_load_from_dir(dir)) PRINT("Loaded the joystick configuration from the system file.\n");
    kr_uifiledialog_set_default_dir(path);
    return true;
}

bool system_mktempdir(const char *prefix, char *path, size_t size)
{
    if (!archive_mktempdir(prefix, path, size)) return false;
    sysfile_track_tmpdir(path);
    return true;
}

void system_init_tmp_cleanup(void)
{
    static bool registered = false;
    if (!registered) registered = std::atexit(sysfile_remove_all_tmpdirs) == 0;
}

void system_tmp_first_use(void)
{
    static bool swept = false;
    if (swept) return;
    swept = true;
    archive_sweep_stale_tmpdirs();
}

void sysfile_track_tmpdir(const char *dir)
{
    if (dir && dir[0]) tmpdirs.emplace_back(dir);
}

void sysfile_rmdir(const char *dir) { archive_rmtree(dir); }

void sysfile_remove_all_tmpdirs(void)
{
    for (const std::string &d : tmpdirs) sysfile_rmdir(d.c_str());
    tmpdirs.clear();
}

const char *package_error(void) { return last_error.empty() ? "the reason is unknown" : last_error.c_str(); }

void package_set_error(const char *why) { last_error = why ? why : ""; }

void system_remove_tmpdirs(void) { sysfile_remove_all_tmpdirs(); }

bool all_devs_online(const system_st *system)
{
    if (!system) return true;
    for (uint32_t i = 0; i < system->dev_count && i < SYSTEM_MAX_DEVICES; i++) {
        const device_st &d = system->devs[i];
        if (d.nodeid != 0 && !d.thirdparty && d.filepath[0] && d.sw_version == 0) return false;
    }
    return true;
}

} // extern "C"
