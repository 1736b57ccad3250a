// The CAN interface version check: when a parameter file and a device give different versions,
// shows the revision notes between them and asks whether to go on.
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>

#include "run/console.h"
#include "db_internal.h"

// One answer line without its line end; a line longer than the buffer is read to its end and cut.
static char *read_answer(char *line, size_t length)
{
    if (!kr_stdin_getline(line, length)) {
        line[0] = '\0';
        return nullptr;
    }
    size_t n = std::strlen(line);
    bool complete = n > 0 && line[n - 1] == '\n';
    char rest[256];
    while (!complete && n + 1 >= length && kr_stdin_getline(rest, sizeof rest)) {
        size_t r = std::strlen(rest);
        complete = r > 0 && rest[r - 1] == '\n';
    }
    while (n > 0 && (line[n - 1] == '\n' || line[n - 1] == '\r')) line[--n] = '\0';
    return line;
}

// End of input answers nothing. The caller says so: it knows what becomes of the device.
static kr_errors_e no_answer(void) { return ERR_BUFFER_EMPTY; }

bool print_revnotes(kr_vector_st *revnotes, uint32_t low, uint32_t high)
{
    bool any = false;
    const auto *notes = static_cast<const db_revnote_st *>(revnotes->buffer);
    for (uint16_t i = 0; i < revnotes->len; ++i) {
        const db_revnote_st *r = &notes[i];
        if (r->revision <= low || r->revision > high) continue;
        if (!any) PROMPT("Revision notes:\n");
        any = true;
        PROMPT("  rev %u:\n", (unsigned)r->revision);
        for (uint8_t k = 0; k < r->note_count && k < DB_REVNOTE_MAX_NOTES; ++k) PROMPT("    - %s\n", r->notes[k]);
    }
    return any;
}

kr_errors_e db_check_can_if_version(db_st *db, int32_t file_version, int32_t dev_version, const char *file_source,
                                    const char *dev_source, bool *skip_all)
{
    if (file_version == dev_version) {
        say_flushed("CAN interface version %i\n", (int)file_version);
        return ERR_NONE;
    }
    PROMPT("CAN interface revision differ between %s (%i) and %s (%i).\nSome parameters might load incorrectly.\n\n",
           file_source, (int)file_version, dev_source, (int)dev_version);
    say_flushed("CAN interface revision mismatch: %s (%i) vs %s (%i)\n", file_source, (int)file_version, dev_source,
                (int)dev_version);
    const char *suffix = skip_all ? ",\nor 'skipall' to skip the rest of the parameter file" : "";
    uint32_t low = (uint32_t)std::min(file_version, dev_version);
    uint32_t high = (uint32_t)std::max(file_version, dev_version);

    if (db_is_loaded(db)) {
        print_revnotes(&db->revnotes, low, high);
        PROMPT("\nPress ENTER to continue, type 'skip' to skip this device%s\n\n", suffix);
        char line[256] = "";
        if (!read_answer(line, sizeof line)) return no_answer();
        if (skip_all && std::strstr(line, "skipall")) {
            say_flushed("User selected: skip the rest of the parameter file\n");
            *skip_all = true;
            return ERR_SKIPPED;
        }
        if (!std::strstr(line, "skip")) {
            say_flushed("User selected: continue\n");
            return ERR_NONE;
        }
        say_flushed("User selected: skip device\n");
        return ERR_SKIPPED;
    }

    for (;;) {
        PROMPT("\nPress ENTER to continue, enter path to database JSON file\nto load it and show revision notes, or "
               "type 'skip' to skip this device%s\n\n",
               suffix);
        PROMPT("> ");
        // Read through the tool's own reader: other tasks go on while the question waits, and the
        // window can answer it through its pipe.
        char line[1024];
        char *got = read_answer(line, sizeof line);
        if (!got) return no_answer();
        if (line[0] == '\0') {
            say_flushed("User selected: continue\n");
            return ERR_NONE;
        }
        if (skip_all && std::strcmp(line, "skipall") == 0) {
            say_flushed("User selected: skip the rest of the parameter file\n");
            *skip_all = true;
            return ERR_SKIPPED;
        }
        if (std::strcmp(line, "skip") == 0) {
            say_flushed("User selected: skip device\n");
            return ERR_SKIPPED;
        }
        std::error_code ec;
        std::string full = std::filesystem::absolute(line, ec).string();
        if (ec) full = line;
        say_flushed("Loading database from '%s'\n", full.c_str());
        if (cmd_db(full.c_str())) print_revnotes(&db->revnotes, low, high);
    }
}
