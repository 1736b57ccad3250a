// Path helpers that accept both '/' and '\' as separators, and modify their argument in place.
#include "run/console.h"

#include <cstring>

namespace {

char dot[] = ".";

bool is_sep(char c) { return c == '/' || c == '\\'; }

// Removes trailing separators, keeping at least one character; returns the new length.
size_t strip_trailing(char *path)
{
    size_t len = std::strlen(path);
    while (len > 1 && is_sep(path[len - 1])) path[--len] = '\0';
    return len;
}

} // namespace

extern "C" {

char *kr_win_basename(char *path)
{
    if (!path || !*path) return dot;
    size_t len = strip_trailing(path);
    size_t i = len;
    while (i > 0 && !is_sep(path[i - 1])) i--;
    if (i == len) return path; // a lone separator
    return path + i;
}

char *kr_win_dirname(char *path)
{
    if (!path || !*path) return dot;
    size_t len = strip_trailing(path);
    size_t i = len;
    while (i > 0 && !is_sep(path[i - 1])) i--;
    if (i == 0) return dot; // no separator
    // i - 1 is the last separator; cut there and before any separators directly before it.
    size_t cut = i - 1;
    while (cut > 0 && is_sep(path[cut - 1])) cut--;
    if (cut == 0) cut = 1; // only the root is left
    path[cut] = '\0';
    return path;
}

} // extern "C"
