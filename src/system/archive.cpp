// Zip archives of the packages, in process: extraction that refuses whatever would land outside its
// folder, rebuilding into a temporary file that replaces the archive only when complete, and the
// temporary folders they are extracted into.
#include <archive.h>
#include <archive_entry.h>
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <locale.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <string>
#include <vector>

#include "system/package.h"
#include "kr_rtos.h"

namespace {

// libarchive, and what it maps with it (libxml2, ICU, the compressors), is loaded the first time a
// package is read or written, so that the runs that open none start without it.
#define KR_LIBARCHIVE_CALLS(X)               \
    X(archive_entry_filetype)                \
    X(archive_entry_free)                    \
    X(archive_entry_hardlink)                \
    X(archive_entry_new)                     \
    X(archive_entry_pathname)                \
    X(archive_entry_pathname_utf8)           \
    X(archive_entry_perm)                    \
    X(archive_entry_set_filetype)            \
    X(archive_entry_set_mtime)               \
    X(archive_entry_set_pathname)            \
    X(archive_entry_set_perm)                \
    X(archive_entry_set_size)                \
    X(archive_entry_set_symlink)             \
    X(archive_entry_size)                    \
    X(archive_entry_size_is_set)             \
    X(archive_entry_symlink)                 \
    X(archive_entry_symlink_utf8)            \
    X(archive_error_string)                  \
    X(archive_read_data)                     \
    X(archive_read_free)                     \
    X(archive_read_new)                      \
    X(archive_read_next_header)              \
    X(archive_read_open_fd)                  \
    X(archive_read_support_format_zip)       \
    X(archive_write_close)                   \
    X(archive_write_data)                    \
    X(archive_write_free)                    \
    X(archive_write_header)                  \
    X(archive_write_new)                     \
    X(archive_write_open_fd)                 \
    X(archive_write_set_bytes_in_last_block) \
    X(archive_write_set_format_zip)

struct libarchive_st {
#define KR_LIBARCHIVE_POINTER(f) decltype(&::f) f = nullptr;
    KR_LIBARCHIVE_CALLS(KR_LIBARCHIVE_POINTER)
#undef KR_LIBARCHIVE_POINTER
    std::string error; // why it could not be loaded; empty when it was
};

libarchive_st load_libarchive()
{
    libarchive_st lib;
    void *handle = dlopen("libarchive.so.13", RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char *err = dlerror();
        lib.error = std::string("the package library libarchive.so.13 could not be loaded: ") + (err ? err : "");
        return lib;
    }
#define KR_LIBARCHIVE_SYMBOL(f)                                  \
    lib.f = reinterpret_cast<decltype(&::f)>(dlsym(handle, #f)); \
    if (!lib.f) lib.error = "the package library libarchive.so.13 lacks " #f;
    KR_LIBARCHIVE_CALLS(KR_LIBARCHIVE_SYMBOL)
#undef KR_LIBARCHIVE_SYMBOL
    return lib;
}

// Loaded once, on the first call; the handle stays for the run.
const libarchive_st &lib()
{
    static const libarchive_st loaded = load_libarchive();
    return loaded;
}

uint64_t max_bytes = ARCHIVE_MAX_BYTES_DEFAULT;
uint32_t max_entries = ARCHIVE_MAX_ENTRIES_DEFAULT;

struct fd_closer {
    int fd = -1;
    explicit fd_closer(int f) : fd(f) {}
    ~fd_closer()
    {
        if (fd >= 0) close(fd);
    }
    fd_closer(const fd_closer &) = delete;
    fd_closer &operator=(const fd_closer &) = delete;
};

// libarchive converts a name that carries the zip's UTF-8 flag into the thread's character set, which
// in the C locale fails for every non-ASCII name: the entry then comes back without one. Under a UTF-8
// locale the name stays as written; names without the flag are taken byte for byte either way.
struct utf8_names {
    locale_t utf8 = (locale_t)0, before = (locale_t)0;
    utf8_names()
    {
        utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", (locale_t)0);
        if (utf8) before = uselocale(utf8);
    }
    ~utf8_names()
    {
        if (!utf8) return;
        uselocale(before);
        freelocale(utf8);
    }
    utf8_names(const utf8_names &) = delete;
    utf8_names &operator=(const utf8_names &) = delete;
};

// Splits a relative name into its components, dropping empty and "." ones. False for an absolute
// name or a ".." component.
bool split_inside(const char *name, std::vector<std::string> &parts)
{
    parts.clear();
    if (!name || name[0] == '/') return false;
    const char *p = name;
    while (*p) {
        const char *slash = std::strchr(p, '/');
        size_t len = slash ? (size_t)(slash - p) : std::strlen(p);
        std::string c(p, len);
        if (c == "..") return false;
        if (!c.empty() && c != ".") parts.push_back(c);
        p += len;
        if (*p == '/') p++;
    }
    return true;
}

std::string join(const std::vector<std::string> &parts, size_t n)
{
    std::string s;
    for (size_t i = 0; i < n && i < parts.size(); i++) {
        if (i) s += '/';
        s += parts[i];
    }
    return s;
}

// Follows a symbolic link inside the extracted tree, through any links it meets, and tells whether
// every step stays inside. Missing components are taken as written: the kernel would stop there.
bool link_stays_inside(int root, const std::vector<std::string> &link)
{
    std::vector<std::string> stack(link.begin(), link.end() - 1);
    std::deque<std::string> todo{link.back()};
    int hops = 0;
    while (!todo.empty()) {
        std::string c = todo.front();
        todo.pop_front();
        if (c.empty() || c == ".") continue;
        if (c == "..") {
            if (stack.empty()) return false;
            stack.pop_back();
            continue;
        }
        std::string rel = stack.empty() ? c : join(stack, stack.size()) + "/" + c;
        struct stat st {};
        if (fstatat(root, rel.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISLNK(st.st_mode)) {
            stack.push_back(c);
            continue;
        }
        if (++hops > 40) return false;
        std::vector<char> target((size_t)PATH_MAX + 1);
        ssize_t n = readlinkat(root, rel.c_str(), target.data(), PATH_MAX);
        if (n <= 0 || target[0] == '/') return false;
        std::string t(target.data(), (size_t)n);
        std::deque<std::string> more;
        size_t pos = 0;
        while (pos <= t.size()) {
            size_t slash = t.find('/', pos);
            if (slash == std::string::npos) slash = t.size();
            more.push_back(t.substr(pos, slash - pos));
            pos = slash + 1;
        }
        todo.insert(todo.begin(), more.begin(), more.end());
    }
    return true;
}

const char *type_name(mode_t type)
{
    switch (type) {
    case AE_IFIFO: return "a FIFO";
    case AE_IFCHR: return "a character device";
    case AE_IFBLK: return "a block device";
    case AE_IFSOCK: return "a socket";
    default: return "of an unknown type";
    }
}

// Opens (creating when missing) the folder that holds parts[0..n-1], never through a symbolic link.
int open_parent(int root, const std::vector<std::string> &parts, size_t n, std::string &why)
{
    int cur = dup(root);
    for (size_t i = 0; i < n && cur >= 0; i++) {
        const char *c = parts[i].c_str();
        int next = openat(cur, c, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0 && errno == ENOENT && (mkdirat(cur, c, 0755) == 0 || errno == EEXIST))
            next = openat(cur, c, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0) {
            struct stat st {};
            std::string at = join(parts, i + 1);
            if (fstatat(cur, c, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
                why = "it would be written through the symbolic link '" + at + "'";
            else if (errno == ENOTDIR)
                why = "'" + at + "' is not a folder";
            else
                why = "the folder '" + at + "' could not be made: " + std::strerror(errno);
        }
        close(cur);
        cur = next;
    }
    return cur;
}

bool write_all(int fd, const char *p, size_t n)
{
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            if (w == 0) errno = EIO;
            return false;
        }
        p += w;
        n -= (size_t)w;
    }
    return true;
}

// One entry into the tree; false with the reason.
bool extract_entry(struct archive *a, struct archive_entry *e, int root, uint64_t &total,
                   std::vector<std::vector<std::string>> &links, std::string &why)
{
    const char *name = lib().archive_entry_pathname(e);
    if (!name) name = lib().archive_entry_pathname_utf8(e);
    if (!name || !name[0]) {
        why = "an entry has no name";
        return false;
    }
    std::string shown = name;
    std::vector<std::string> parts;
    if (!split_inside(name, parts)) {
        why = "the entry '" + shown + "' would land outside the folder";
        return false;
    }
    if (lib().archive_entry_hardlink(e)) {
        why = "the entry '" + shown + "' is a hard link";
        return false;
    }
    mode_t type = lib().archive_entry_filetype(e);
    if (type != AE_IFREG && type != AE_IFDIR && type != AE_IFLNK) {
        why = "the entry '" + shown + "' is " + type_name(type);
        return false;
    }
    if (parts.empty()) {
        if (type == AE_IFDIR) return true; // the root itself
        why = "the entry '" + shown + "' has no file name";
        return false;
    }
    int parent = open_parent(root, parts, parts.size() - 1, why);
    if (parent < 0) {
        why = "the entry '" + shown + "' is refused: " + why;
        return false;
    }
    fd_closer parent_guard(parent);
    const char *last = parts.back().c_str();

    if (type == AE_IFDIR) {
        if (mkdirat(parent, last, 0755) == 0) return true;
        struct stat st {};
        if (errno == EEXIST && fstatat(parent, last, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode)) return true;
        why = errno == EEXIST ? "two entries are named '" + shown + "'"
                              : "the folder '" + shown + "' could not be made: " + std::strerror(errno);
        return false;
    }
    if (type == AE_IFLNK) {
        const char *target = lib().archive_entry_symlink(e);
        if (!target) target = lib().archive_entry_symlink_utf8(e);
        if (!target || !target[0] || target[0] == '/') {
            why = "the symbolic link '" + shown + "' points outside the folder";
            return false;
        }
        if (symlinkat(target, parent, last) != 0) {
            why = errno == EEXIST ? "two entries are named '" + shown + "'"
                                  : "the link '" + shown + "' could not be made: " + std::strerror(errno);
            return false;
        }
        links.push_back(parts);
        return true;
    }

    // What the entry declares was checked against the cap and the free space before anything was
    // written; an entry that yields more is lying about itself.
    uint64_t declared = (uint64_t)lib().archive_entry_size(e), written = 0;
    // Only the owner's execute bit is taken from the archive: no owners, set-id bits or ACLs.
    mode_t mode = (lib().archive_entry_perm(e) & S_IXUSR) ? 0755 : 0644;
    int fd = openat(parent, last, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd < 0) {
        why = errno == EEXIST ? "two entries are named '" + shown + "'"
                              : "'" + shown + "' could not be created: " + std::strerror(errno);
        return false;
    }
    fd_closer file_guard(fd);
    std::vector<char> buf(1 << 16);
    for (;;) {
        la_ssize_t n = lib().archive_read_data(a, buf.data(), buf.size());
        if (n == 0) break;
        if (n < 0) {
            const char *err = lib().archive_error_string(a);
            why = "'" + shown + "' could not be read: " + (err ? err : "corrupt data");
            return false;
        }
        written += (uint64_t)n;
        total += (uint64_t)n;
        if (written > declared) {
            why = "the entry '" + shown + "' holds more than the " + std::to_string(declared) + " bytes it declares";
            return false;
        }
        if (total > max_bytes) {
            why = "the archive holds more than " + std::to_string(max_bytes) + " bytes";
            return false;
        }
        if (!write_all(fd, buf.data(), (size_t)n)) {
            why = "'" + shown + "' could not be written: " + std::strerror(errno);
            return false;
        }
    }
    file_guard.fd = -1;
    if (close(fd) != 0) {
        why = "'" + shown + "' could not be written: " + std::strerror(errno);
        return false;
    }
    return true;
}

// A reader at the start of the archive; none (with the reason) when it is no zip.
struct archive *open_reader(int fd, std::string &why)
{
    struct archive *a = lib().archive_read_new();
    if (!a) {
        why = "out of memory";
        return nullptr;
    }
    lib().archive_read_support_format_zip(a);
    if (lseek(fd, 0, SEEK_SET) != 0 || lib().archive_read_open_fd(a, fd, 1 << 16) != ARCHIVE_OK) {
        const char *err = lib().archive_error_string(a);
        why = err ? err : "it is not a zip archive";
        lib().archive_read_free(a);
        return nullptr;
    }
    return a;
}

// ARCHIVE_OK with the next entry, ARCHIVE_EOF, or ARCHIVE_FATAL with the reason.
int next_header(struct archive *a, struct archive_entry **e, std::string &why)
{
    int r = lib().archive_read_next_header(a, e);
    if (r == ARCHIVE_EOF) return r;
    if (r < ARCHIVE_WARN) {
        const char *err = lib().archive_error_string(a);
        why = err ? err : "the archive is damaged";
        return ARCHIVE_FATAL;
    }
    return ARCHIVE_OK;
}

// Before anything is written: the entries' count, and the sizes they declare against the cap and
// against the room left in the folder's file system.
bool check_declared(int fd, const char *dir, std::string &why)
{
    struct archive *a = open_reader(fd, why);
    if (!a) return false;
    uint64_t declared = 0;
    uint32_t entries = 0;
    bool ok = true;
    struct archive_entry *e = nullptr;
    for (int r; ok && (r = next_header(a, &e, why)) != ARCHIVE_EOF;) {
        if (r != ARCHIVE_OK) {
            ok = false;
        } else if (++entries > max_entries) {
            why = "the archive holds more than " + std::to_string(max_entries) + " entries";
            ok = false;
        } else if (lib().archive_entry_filetype(e) == AE_IFREG) {
            if (!lib().archive_entry_size_is_set(e) || lib().archive_entry_size(e) < 0) {
                const char *name = lib().archive_entry_pathname(e);
                why = std::string("the entry '") + (name ? name : "") + "' declares no size";
                ok = false;
            } else {
                // Held below 2^62, so that no declared size can make the sum wrap.
                declared = std::min<uint64_t>(declared + (uint64_t)lib().archive_entry_size(e), UINT64_C(1) << 62);
            }
        }
    }
    lib().archive_read_free(a);
    if (!ok) return false;
    struct statvfs vfs {};
    uint64_t room = statvfs(dir, &vfs) == 0 ? (uint64_t)vfs.f_bavail * vfs.f_frsize : 0;
    if (declared > max_bytes || declared > room) {
        why = "the archive declares " + std::to_string(declared) + " bytes, more than the cap of " +
              std::to_string(max_bytes) + " bytes or the " + std::to_string(room) +
              " bytes free in the temporary folder";
        return false;
    }
    return true;
}

bool extract(const char *archive_path, const char *dir, std::string &why)
{
    // Without O_NONBLOCK a FIFO would wait here for a writer.
    int fd = open(archive_path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        why = std::string("it could not be opened: ") + std::strerror(errno);
        return false;
    }
    fd_closer fd_guard(fd);
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        why = "it is not a regular file";
        return false;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    int root = open(dir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (root < 0) {
        why = std::string("the folder could not be opened: ") + std::strerror(errno);
        return false;
    }
    fd_closer root_guard(root);

    utf8_names names;
    if (!check_declared(fd, dir, why)) return false;
    struct archive *a = open_reader(fd, why);
    if (!a) return false;
    bool ok = true;
    uint64_t total = 0;
    std::vector<std::vector<std::string>> links;
    while (ok) {
        struct archive_entry *e = nullptr;
        int r = next_header(a, &e, why);
        if (r == ARCHIVE_EOF) break;
        ok = r == ARCHIVE_OK && extract_entry(a, e, root, total, links, why);
    }
    lib().archive_read_free(a);
    // Links are judged once the whole tree stands, since a later entry may be a link that an
    // earlier one passes through.
    for (size_t i = 0; ok && i < links.size(); i++) {
        if (!link_stays_inside(root, links[i])) {
            why = "the symbolic link '" + join(links[i], links[i].size()) + "' points outside the folder";
            ok = false;
        }
    }
    return ok;
}

// The folder's contents in a stable order, folders before what they hold; false for what a zip
// cannot carry.
bool collect(const std::filesystem::path &root, const std::filesystem::path &rel, std::vector<std::string> &out,
             std::string &why)
{
    std::error_code ec;
    std::vector<std::string> names;
    for (std::filesystem::directory_iterator it(root / rel, ec), end; !ec && it != end; it.increment(ec))
        names.push_back(it->path().filename().string());
    if (ec) {
        why = "the folder '" + (root / rel).string() + "' could not be read: " + ec.message();
        return false;
    }
    std::sort(names.begin(), names.end());
    for (const std::string &n : names) {
        std::filesystem::path r = rel.empty() ? std::filesystem::path(n) : rel / n;
        struct stat st {};
        if (lstat((root / r).c_str(), &st) != 0) {
            why = "'" + r.string() + "' could not be read: " + std::strerror(errno);
            return false;
        }
        if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode) && !S_ISLNK(st.st_mode)) {
            why = "'" + r.string() + "' is not a file, a folder or a link";
            return false;
        }
        out.push_back(r.string());
        if (S_ISDIR(st.st_mode) && !collect(root, r, out, why)) return false;
    }
    return true;
}

bool add_entry(struct archive *a, const std::filesystem::path &root, const std::string &rel, std::string &why)
{
    std::filesystem::path full = root / rel;
    struct stat st {};
    if (lstat(full.c_str(), &st) != 0) {
        why = "'" + rel + "' could not be read: " + std::strerror(errno);
        return false;
    }
    struct archive_entry *e = lib().archive_entry_new();
    lib().archive_entry_set_pathname(e, S_ISDIR(st.st_mode) ? (rel + "/").c_str() : rel.c_str());
    lib().archive_entry_set_mtime(e, st.st_mtime, 0);
    int fd = -1;
    if (S_ISDIR(st.st_mode)) {
        lib().archive_entry_set_filetype(e, AE_IFDIR);
        lib().archive_entry_set_perm(e, 0755);
    } else if (S_ISLNK(st.st_mode)) {
        std::vector<char> target((size_t)PATH_MAX + 1);
        ssize_t n = readlink(full.c_str(), target.data(), PATH_MAX);
        if (n < 0) {
            why = "the link '" + rel + "' could not be read: " + std::strerror(errno);
            lib().archive_entry_free(e);
            return false;
        }
        target[(size_t)n] = '\0';
        lib().archive_entry_set_filetype(e, AE_IFLNK);
        lib().archive_entry_set_perm(e, 0777);
        lib().archive_entry_set_symlink(e, target.data());
    } else {
        fd = open(full.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) {
            why = "'" + rel + "' could not be read: " + std::strerror(errno);
            lib().archive_entry_free(e);
            return false;
        }
        lib().archive_entry_set_filetype(e, AE_IFREG);
        lib().archive_entry_set_perm(e, (st.st_mode & S_IXUSR) ? 0755 : 0644);
        lib().archive_entry_set_size(e, st.st_size);
    }
    fd_closer guard(fd);
    bool ok = lib().archive_write_header(a, e) == ARCHIVE_OK;
    lib().archive_entry_free(e);
    std::vector<char> buf(1 << 16);
    int64_t left = S_ISREG(st.st_mode) ? (int64_t)st.st_size : 0;
    while (ok && left > 0) {
        ssize_t n = read(fd, buf.data(), (size_t)std::min<int64_t>(left, (int64_t)buf.size()));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            why = "'" + rel + "' could not be read to the end";
            return false;
        }
        if (lib().archive_write_data(a, buf.data(), (size_t)n) != n) ok = false;
        left -= n;
    }
    if (!ok) {
        const char *err = lib().archive_error_string(a);
        why = "'" + rel + "' could not be written into the archive: " + (err ? err : "write error");
    }
    return ok;
}

// Writes a zip of the whole folder to a temporary file beside the archive, flushes it and renames it
// over the archive; on any failure the temporary file goes and the archive stays as it was.
bool rebuild(const char *archive_path, const char *dir, std::string &why)
{
    // A package reached through a symbolic link is rewritten where the link points; the link stays.
    char real[PATH_MAX];
    struct stat link_st {};
    if (lstat(archive_path, &link_st) == 0 && S_ISLNK(link_st.st_mode)) {
        if (!realpath(archive_path, real)) {
            why = std::string("the link could not be followed: ") + std::strerror(errno);
            return false;
        }
        archive_path = real;
    }
    std::filesystem::path target(archive_path);
    std::string tmpl = (target.has_parent_path() ? target.parent_path().string() + "/" : std::string()) + "." +
                       target.filename().string() + ".tmp.XXXXXX";
    std::vector<char> tmp(tmpl.begin(), tmpl.end());
    tmp.push_back('\0');
    int fd = mkostemp(tmp.data(), O_CLOEXEC);
    if (fd < 0) {
        why = std::string("a temporary file beside it could not be made: ") + std::strerror(errno);
        return false;
    }
    // The package keeps its permissions.
    struct stat old {};
    fchmod(fd, stat(archive_path, &old) == 0 && S_ISREG(old.st_mode) ? (old.st_mode & 0777) : 0644);

    std::vector<std::string> names;
    bool ok = collect(dir, "", names, why);
    struct archive *a = lib().archive_write_new();
    ok = ok && a && lib().archive_write_set_format_zip(a) == ARCHIVE_OK &&
         lib().archive_write_set_bytes_in_last_block(a, 1) == ARCHIVE_OK &&
         lib().archive_write_open_fd(a, fd) == ARCHIVE_OK;
    if (a && !ok && why.empty()) {
        const char *err = lib().archive_error_string(a);
        why = err ? err : "the archive could not be started";
    }
    for (size_t i = 0; ok && i < names.size(); i++) ok = add_entry(a, dir, names[i], why);
    if (a) {
        if (lib().archive_write_close(a) != ARCHIVE_OK && ok) {
            const char *err = lib().archive_error_string(a);
            why = err ? err : "the archive could not be finished";
            ok = false;
        }
        lib().archive_write_free(a);
    }
    if (ok && fsync(fd) != 0) {
        why = std::string("the archive could not be flushed: ") + std::strerror(errno);
        ok = false;
    }
    if (close(fd) != 0 && ok) {
        why = std::string("the archive could not be written: ") + std::strerror(errno);
        ok = false;
    }
    if (ok && rename(tmp.data(), archive_path) != 0) {
        why = std::string("the archive could not be replaced: ") + std::strerror(errno);
        ok = false;
    }
    if (!ok) unlink(tmp.data());
    return ok;
}

// Every folder made here until it is removed, where the Ctrl-C handler can reach it: that handler ends
// the process without exit handlers, so it removes them itself.
struct tmpdir_slot_st {
    std::atomic<bool> used{false};
    char path[PATH_MAX]{}; // constant-initialised: no start-up code touches the 128 KiB
};
tmpdir_slot_st tmpdir_slots[32];

// Async-signal-safe: raw directory reads into a buffer on the stack, unlinkat, no allocation. Entries
// are removed while the folder is read, so it is read again until a pass removes nothing. True when
// the entry is gone.
bool remove_tree_at(int parent, const char *name, int depth)
{
    int fd = openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return unlinkat(parent, name, 0) == 0;
    for (bool removed = true; removed && depth < 16;) {
        removed = false;
        alignas(8) char buf[2048];
        long n;
        while ((n = syscall(SYS_getdents64, fd, buf, sizeof buf)) > 0) {
            for (long off = 0; off < n;) {
                const char *entry = buf + off;
                unsigned short reclen;
                std::memcpy(&reclen, entry + 16, sizeof reclen);
                const unsigned char type = (unsigned char)entry[18];
                const char *child = entry + 19;
                off += reclen;
                if (std::strcmp(child, ".") == 0 || std::strcmp(child, "..") == 0) continue;
                bool gone = (type != DT_DIR && unlinkat(fd, child, 0) == 0) || remove_tree_at(fd, child, depth + 1);
                removed = removed || gone;
            }
        }
        lseek(fd, 0, SEEK_SET);
    }
    close(fd);
    return unlinkat(parent, name, AT_REMOVEDIR) == 0;
}

void remove_tmpdirs_on_signal(void)
{
    for (tmpdir_slot_st &s : tmpdir_slots)
        if (s.used.load()) remove_tree_at(AT_FDCWD, s.path, 0);
}

void track_tmpdir(const char *path)
{
    static std::atomic<bool> hooked{false};
    if (!hooked.exchange(true)) kr_add_signal_cleanup(remove_tmpdirs_on_signal);
    for (tmpdir_slot_st &s : tmpdir_slots) {
        if (s.used.load()) continue;
        std::snprintf(s.path, sizeof s.path, "%s", path);
        s.used.store(true);
        return;
    }
}

void untrack_tmpdir(const char *path)
{
    for (tmpdir_slot_st &s : tmpdir_slots)
        if (s.used.load() && std::strcmp(s.path, path) == 0) s.used.store(false);
}

// The pid in a name this tool gives its temporary files and folders ("krcan_krdev.<pid>.XXXXXX",
// "krcan_http_cfg_<pid>_XXXXXX", ...); 0 for any other name.
long stale_pid(const char *name)
{
    static const char *const prefixes[] = {"krcan_krdev.", "krcan_krsys.",    "krcan_pkg.",
                                           "krcan_flash.", "krcan_http_cfg_", "krcan_su_manifest_"};
    for (const char *prefix : prefixes) {
        size_t n = std::strlen(prefix);
        if (std::strncmp(name, prefix, n) != 0) continue;
        const char *p = name + n;
        char *end = nullptr;
        if (!std::isdigit((unsigned char)*p)) return 0;
        long pid = std::strtol(p, &end, 10);
        // The separator again, then mkstemp's six characters.
        return *end == prefix[n - 1] && std::strlen(end + 1) == 6 ? pid : 0;
    }
    return 0;
}

} // namespace

extern "C" {

void archive_set_limits(uint64_t bytes, uint32_t entries)
{
    max_bytes = bytes;
    max_entries = entries;
}

bool archive_mktempdir(const char *prefix, char *path, size_t size)
{
    if (!prefix || !path || size == 0) return false;
    system_tmp_first_use();
    const char *tmp = getenv("TMPDIR");
    if (!tmp || !tmp[0]) tmp = "/tmp";
    int n = std::snprintf(path, size, "%s/%s.%ld.XXXXXX", tmp, prefix, (long)getpid());
    if (n < 0 || (size_t)n >= size || !mkdtemp(path)) {
        std::string why = std::string("no temporary folder could be made in '") + tmp +
                          "': " + (n < 0 || (size_t)n >= size ? "the name is too long" : std::strerror(errno));
        package_set_error(why.c_str());
        path[0] = '\0';
        return false;
    }
    track_tmpdir(path);
    return true;
}

bool archive_extract(const char *archive_path, const char *dir)
{
    if (!archive_path || !dir) return false;
    std::string why = lib().error;
    if (why.empty() && extract(archive_path, dir, why)) return true;
    package_set_error(why.c_str());
    PRINT("Refusing '%s': %s.\n", archive_path, why.c_str());
    return false;
}

bool archive_put_file(const char *archive_path, const char *dir, const char *)
{
    if (!archive_path || !dir) return false;
    std::string why = lib().error;
    if (why.empty() && rebuild(archive_path, dir, why)) return true;
    PRINT("Could not rebuild '%s': %s.\n", archive_path, why.c_str());
    return false;
}

bool archive_remove_file(const char *archive_path, const char *dir, const char *name)
{
    return archive_put_file(archive_path, dir, name);
}

void archive_rmtree(const char *dir)
{
    if (!dir || !dir[0]) return;
    untrack_tmpdir(dir);
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
}

// Runs ended by Ctrl-C or a crash leave their packages and HTTP files behind. Only what carries the
// pid of a process that no longer exists and belongs to this user goes: another run, or another
// user's, keeps its own.
void archive_sweep_stale_tmpdirs(void)
{
    const char *tmp = getenv("TMPDIR");
    if (!tmp || !tmp[0]) tmp = "/tmp";
    DIR *d = opendir(tmp);
    if (!d) return;
    std::vector<std::string> stale;
    while (struct dirent *e = readdir(d)) {
        long pid = stale_pid(e->d_name);
        struct stat st {};
        if (pid <= 0 || pid == (long)getpid() || fstatat(dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 ||
            st.st_uid != geteuid() || (!S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode)))
            continue;
        // EPERM: the pid runs under another user.
        if (kill((pid_t)pid, 0) != 0 && errno == ESRCH) stale.push_back(std::string(tmp) + "/" + e->d_name);
    }
    closedir(d);
    for (const std::string &p : stale) archive_rmtree(p.c_str());
}

bool package_path_is_inside(const char *rel)
{
    std::vector<std::string> parts;
    return rel && rel[0] && split_inside(rel, parts);
}

} // extern "C"
