// The stored account (account.conf) and the `user` and `pwd` commands.
#include "online/account.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "run/commands.h"
#include "run/main.h"
#include "kr_bytes.h"

namespace {

char username[CREDENTIALS_TEXT_LEN];
char password[CREDENTIALS_TEXT_LEN];
char url[CREDENTIALS_TEXT_LEN];
char fleet_username[CREDENTIALS_TEXT_LEN];
char fleet_password[CREDENTIALS_TEXT_LEN];
char fleet_url[CREDENTIALS_TEXT_LEN];
bool check_updates = true;
char last_error[1400];
const size_t ACCOUNT_LINE_MAX = 287;

void set_error(const char *format, ...) __attribute__((format(printf, 1, 2)));
void set_error(const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(last_error, sizeof last_error, format, ap);
    va_end(ap);
}

// "<base>/krcan": $XDG_CONFIG_HOME when absolute, else $HOME/.config. Never cut: a longer folder
// would be another folder.
bool settings_folder(char *dest, size_t size)
{
    const char *xdg = std::getenv("XDG_CONFIG_HOME");
    const char *home = std::getenv("HOME");
    int n;
    if (xdg && xdg[0] == '/')
        n = std::snprintf(dest, size, "%s/krcan", xdg);
    else if (home && home[0] == '/')
        n = std::snprintf(dest, size, "%s/.config/krcan", home);
    else {
        set_error("there is no settings folder (HOME is not set)");
        return false;
    }
    if (n < 0 || (size_t)n > CREDENTIALS_FOLDER_MAX || (size_t)n >= size) {
        set_error("the settings folder is longer than %u characters", (unsigned)CREDENTIALS_FOLDER_MAX);
        return false;
    }
    return true;
}

// Creates every missing part of the folder (0700); false when something else stands in its way.
bool make_folders(const char *folder)
{
    std::string path(folder);
    for (size_t i = 1; i <= path.size(); i++) {
        if (i < path.size() && path[i] != '/') continue;
        std::string part = path.substr(0, i);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
            set_error("couldn't create the folder '%s': %s", part.c_str(), std::strerror(errno));
            return false;
        }
    }
    struct stat st;
    if (stat(folder, &st) != 0 || !S_ISDIR(st.st_mode)) {
        set_error("'%s' is not a folder", folder);
        return false;
    }
    if (st.st_uid == geteuid() && (st.st_mode & 077)) chmod(folder, 0700);
    return true;
}

bool form_path(char *dest, size_t size, const char *file_name, bool create)
{
    char folder[CREDENTIALS_PATH_LEN];
    if (!dest || size == 0 || !file_name || !settings_folder(folder, sizeof folder)) return false;
    int n = std::snprintf(dest, size, "%s/%s", folder, file_name);
    if (n < 0 || (size_t)n >= size) {
        set_error("the path of '%s' in '%s' is too long", file_name, folder);
        dest[0] = '\0';
        return false;
    }
    if (create && !make_folders(folder)) {
        std::string why = last_error;
        set_error("couldn't write '%s': %s", dest, why.c_str());
        return false;
    }
    return true;
}

bool write_all(int fd, const char *p, size_t n)
{
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w;
        n -= (size_t)w;
    }
    return true;
}

// The seven lines, into a temporary file of the folder that is renamed over the old one.
bool write_file(void)
{
    char path[CREDENTIALS_PATH_LEN];
    if (!form_path(path, sizeof path, CREDENTIALS_FILE_NAME, true)) return false;
    // A symbolic link (a file kept elsewhere) stays a link: its target is what gets replaced.
    struct stat lst;
    if (lstat(path, &lst) == 0 && S_ISLNK(lst.st_mode)) {
        char *target = realpath(path, nullptr);
        if (!target || std::strlen(target) >= sizeof path) {
            set_error("couldn't write '%s': its link leads nowhere usable", path);
            std::free(target);
            return false;
        }
        std::memcpy(path, target, std::strlen(target) + 1);
        std::free(target);
    }
    // Only a regular file is replaced: a device node, a FIFO or a folder at the path is someone else's.
    struct stat st;
    if (stat(path, &st) == 0 && !S_ISREG(st.st_mode)) {
        set_error("couldn't write '%s': it is not a regular file, so it is not replaced", path);
        return false;
    }
    // A file that is there but cannot be read holds values this run never saw: replacing it would lose them.
    int old = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (old < 0 && errno != ENOENT) {
        set_error("'%s' exists but cannot be read (%s), so it is not replaced", path, std::strerror(errno));
        return false;
    }
    if (old >= 0) close(old);
    std::string text = std::string("username=") + username + "\npassword=" + password + "\nurl=" + url +
                       "\nfleet_username=" + fleet_username + "\nfleet_password=" + fleet_password +
                       "\nfleet_url=" + fleet_url + "\ncheck_updates=" + (check_updates ? "1" : "0") + "\n";
    std::string tmp = std::string(path) + ".XXXXXX";
    int fd = mkstemp(tmp.data());
    if (fd < 0) {
        set_error("couldn't write '%s': %s", path, std::strerror(errno));
        return false;
    }
    bool ok = fchmod(fd, 0600) == 0 && write_all(fd, text.data(), text.size()) && fsync(fd) == 0;
    int err = errno;
    if (close(fd) != 0 && ok) {
        ok = false;
        err = errno;
    }
    if (ok && rename(tmp.c_str(), path) != 0) {
        ok = false;
        err = errno;
    }
    if (!ok) {
        unlink(tmp.c_str());
        set_error("couldn't write '%s': %s", path, std::strerror(err));
    }
    return ok;
}

bool has_line_break(const char *text) { return text && std::strpbrk(text, "\r\n") != nullptr; }

bool set_text(char *field, const char *text)
{
    if (has_line_break(text)) {
        set_error("the value holds a line break");
        return false;
    }
    kr_copy_text(field, CREDENTIALS_TEXT_LEN, text);
    return write_file();
}

void read_line(char *line)
{
    size_t n = std::strlen(line);
    while (n > 0 && (line[n - 1] == '\n' || line[n - 1] == '\r')) line[--n] = '\0';
    static const struct {
        const char *key;
        char *field;
    } texts[] = {{"username=", username},
                 {"password=", password},
                 {"url=", url},
                 {"fleet_username=", fleet_username},
                 {"fleet_password=", fleet_password},
                 {"fleet_url=", fleet_url}};
    for (const auto &t : texts)
        if (std::strncmp(line, t.key, std::strlen(t.key)) == 0) {
            kr_copy_text(t.field, CREDENTIALS_TEXT_LEN, std::strchr(line, '=') + 1);
            return;
        }
    if (std::strncmp(line, "check_updates=", 14) == 0) {
        char value[8];
        size_t n = strnlen(line + 14, sizeof value - 1);
        std::memcpy(value, line + 14, n);
        value[n] = '\0';
        check_updates = std::strtol(value, nullptr, 10) != 0;
    }
    // "fleet_name=" and anything else: ignored.
}

void read_file(void)
{
    char path[CREDENTIALS_PATH_LEN];
    if (!form_path(path, sizeof path, CREDENTIALS_FILE_NAME, false)) return;
    // Non-blocking open, then only a regular file is read: a FIFO at the path must not hold up start-up.
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return;
    struct stat st;
    FILE *f = nullptr;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || !(f = fdopen(fd, "r"))) {
        close(fd);
        return;
    }
    // The password is readable by whoever can read the file.
    if ((st.st_mode & 077) && (st.st_uid != geteuid() || fchmod(fd, 0600) != 0))
        job_warning("WARNING: '%s' can be read by other users, and krcan cannot make it private to its owner.\n", path);
    // Line by line whatever the bytes: a NUL ends a value, not the line. The tail of an over-long
    // line is not a line of its own.
    std::string line;
    for (int c = std::fgetc(f);; c = std::fgetc(f)) {
        if (c == EOF || c == '\n') {
            if (c == '\n' || !line.empty()) read_line(line.data());
            if (c == EOF) break;
            line.clear();
        } else if (line.size() < ACCOUNT_LINE_MAX) {
            line += (char)c;
        }
    }
    std::fclose(f);
}

} // namespace

void credentials_init(void)
{
    username[0] = password[0] = url[0] = fleet_username[0] = fleet_password[0] = fleet_url[0] = '\0';
    check_updates = true;
    read_file();
    if (!url[0]) kr_copy_text(url, CREDENTIALS_TEXT_LEN, CREDENTIALS_DEFAULT_URL);
    if (!fleet_url[0]) kr_copy_text(fleet_url, CREDENTIALS_TEXT_LEN, CREDENTIALS_DEFAULT_FLEET_URL);
}

const char *credentials_get_username(void) { return username; }
const char *credentials_get_password(void) { return password; }
const char *credentials_get_url(void) { return url; }
const char *credentials_fleet_get_url(void) { return fleet_url; }
const char *credentials_fleet_get_username(void) { return fleet_username; }
const char *credentials_fleet_get_password(void) { return fleet_password; }
bool credentials_get_check_updates(void) { return check_updates; }

bool credentials_set_username(const char *text) { return set_text(username, text); }
bool credentials_set_password(const char *text) { return set_text(password, text); }
bool credentials_set_url(const char *text) { return set_text(url, text); }
bool credentials_fleet_set_url(const char *text) { return set_text(fleet_url, text); }
bool credentials_fleet_set_username(const char *text) { return set_text(fleet_username, text); }
bool credentials_fleet_set_password(const char *text) { return set_text(fleet_password, text); }

bool credentials_set_check_updates(bool check)
{
    check_updates = check;
    return write_file();
}

const char *credentials_last_error(void) { return last_error; }

bool credentials_config_path(char *dest, uint32_t dest_length, const char *file_name)
{
    return form_path(dest, dest_length, file_name, true);
}

// ---- Commands ----

// False refuses the command. The value is saved once the whole command line is accepted; one that
// could not be saved holds for this run, which then fails.
static bool set_account_value(const char *arg, bool (*setter)(const char *), const char *what, void (*said)(void))
{
    if (has_line_break(arg)) {
        job_error("ERROR: the account %s may not hold a line break.\n", what);
        return false;
    }
    cmdline_when_accepted([=] {
        if (setter(arg)) {
            said();
            return;
        }
        job_error("ERROR: the account was not saved: %s. The %s holds for this run only.\n", credentials_last_error(),
                  what);
    });
    return true;
}

bool cmd_user(const char *arg)
{
    return set_account_value(arg, credentials_set_username, "user name",
                             [] { PRINT("Account username set to '%s'\n", credentials_get_username()); });
}

bool cmd_pwd(const char *arg)
{
    return set_account_value(arg, credentials_set_password, "password", [] { PRINT("Account password set\n"); });
}
