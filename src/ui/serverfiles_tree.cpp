// The server files dialog's folder tree over the file server's listing, its filter and its texts.
#include <cstdio>
#include <cstring>
#include <new>

#include "ui/serverfiles.h"
#include "kr_bytes.h"

namespace {

char lower(char c) { return c >= 'A' && c <= 'Z' ? (char)(c - 'A' + 'a') : c; }

// The product's path within its fleet: its id after "<fleet>/", else empty.
const char *product_path(const sfw_listing &l, const remotefiles_product_st *p)
{
    const std::string &fleet = l.fleets[p->fleet];
    const size_t n = strnlen(p->id, sizeof p->id);
    if (n == sizeof p->id) return ""; // not terminated: no trustworthy path
    if (n > fleet.size() && std::strncmp(p->id, fleet.c_str(), fleet.size()) == 0 && p->id[fleet.size()] == '/')
        return p->id + fleet.size() + 1;
    return "";
}

int32_t find_or_create(std::vector<sfw_tree_node> &nodes, uint8_t fleet, const char *path, size_t len, size_t bound)
{
    for (size_t i = 0; i < nodes.size(); ++i)
        if (nodes[i].fleet == fleet && std::strlen(nodes[i].path) == len && std::strncmp(nodes[i].path, path, len) == 0)
            return (int32_t)i;
    int32_t parent = -1;
    const char *slash = (const char *)memrchr(path, '/', len);
    if (slash) {
        parent = find_or_create(nodes, fleet, path, (size_t)(slash - path), bound);
        if (parent < 0) return -1;
    }
    if (nodes.size() >= bound || len >= SFW_PATH_LEN) return -1;
    sfw_tree_node n;
    std::memset(&n, 0, sizeof n);
    std::memcpy(n.path, path, len);
    n.parent = parent;
    n.product = -1;
    n.fleet = fleet;
    nodes.push_back(n);
    if (parent >= 0) ++nodes[(size_t)parent].children;
    return (int32_t)(nodes.size() - 1);
}

} // namespace

bool sfw_build_nodes(const sfw_listing &l, std::vector<sfw_tree_node> &nodes)
{
    nodes.clear();
    try {
        size_t bound = 0;
        for (const remotefiles_product_st *p : l.products) {
            if (!p || p->fleet >= l.fleets.size() || p->fleet >= SFW_MAX_FLEETS) continue;
            bound += 1;
            for (const char *s = product_path(l, p); *s; ++s) bound += *s == '/';
        }
        nodes.reserve(bound);
        for (size_t i = 0; i < l.products.size(); ++i) {
            const remotefiles_product_st *p = l.products[i];
            if (!p || p->fleet >= l.fleets.size() || p->fleet >= SFW_MAX_FLEETS) continue;
            const char *path = product_path(l, p);
            const int32_t n = find_or_create(nodes, p->fleet, path, std::strlen(path), bound);
            if (n < 0) continue;
            nodes[(size_t)n].product = (int32_t)i;
            nodes[(size_t)n].versions = p->versions ? p->version_count : 0;
        }
    } catch (const std::bad_alloc &) {
        nodes.clear();
        nodes.shrink_to_fit();
        return false;
    }
    for (sfw_tree_node &n : nodes) {
        const char *own = sfw_own_name(l, n);
        if (!own[0]) own = "?";
        if (n.versions)
            std::snprintf(n.name, sizeof n.name, "%.150s  (%u)", own, n.versions);
        else if (n.children)
            std::snprintf(n.name, sizeof n.name, "%.150s", own);
        else
            std::snprintf(n.name, sizeof n.name, "%.150s  (no files)", own);
    }
    return true;
}

const char *sfw_own_name(const sfw_listing &l, const sfw_tree_node &n)
{
    if (!n.path[0]) return n.fleet < l.fleets.size() ? l.fleets[n.fleet].c_str() : "";
    const char *slash = std::strrchr(n.path, '/');
    return slash ? slash + 1 : n.path;
}

std::vector<int> sfw_fleet_order(const sfw_listing &l)
{
    std::vector<int> order;
    const int n = l.fleets.size() < SFW_MAX_FLEETS ? (int)l.fleets.size() : SFW_MAX_FLEETS;
    for (int i = 0; i < n; ++i)
        if (l.fleets[(size_t)i] == "main") order.push_back(i);
    for (int i = 0; i < n; ++i)
        if (l.fleets[(size_t)i] != "main") order.push_back(i);
    return order;
}

bool sfw_wildcard_match(const char *p, const char *s)
{
    // Greedy: on a mismatch go back to the last '*' and let it take one more character. Each
    // character of the name is passed at most once per '*', so long names with many stars stay fast.
    const char *star = nullptr, *resume = nullptr;
    while (*s) {
        if (*p == '*') {
            star = p++;
            resume = s;
        } else if (*p && lower(*p) == lower(*s)) {
            ++p;
            ++s;
        } else if (star) {
            p = star + 1;
            s = ++resume;
        } else {
            return false;
        }
    }
    while (*p == '*') ++p;
    return *p == '\0';
}

bool sfw_segment_matches(const char *segment, const char *name)
{
    if (!segment[0]) return true;
    if (std::strchr(segment, '*')) return sfw_wildcard_match(segment, name);
    std::string pattern = "*";
    pattern += segment;
    pattern += '*';
    return sfw_wildcard_match(pattern.c_str(), name);
}

std::vector<std::string> sfw_split_filter(const char *filter)
{
    std::vector<std::string> segs;
    std::string f(filter, strnlen(filter, SFW_FILTER_LEN - 1));
    size_t start = 0;
    while ((int)segs.size() < SFW_MAX_SEGMENTS - 1) {
        const size_t slash = f.find('/', start);
        if (slash == std::string::npos) break;
        segs.push_back(f.substr(start, slash - start));
        start = slash + 1;
    }
    segs.push_back(f.substr(start)); // the last one keeps any further '/'
    return segs;
}

bool sfw_local_name(const char *server_path, char *name, uint32_t length)
{
    if (!name || !length) return false;
    name[0] = '\0';
    if (!server_path) return false;
    const char *slash = std::strrchr(server_path, '/');
    const char *base = slash ? slash + 1 : server_path;
    // The name lands in our own folder: nothing that names the folder itself or its parent.
    if (!base[0] || !std::strcmp(base, ".") || !std::strcmp(base, "..") || std::strlen(base) >= length) return false;
    kr_copy_text(name, length, base);
    return true;
}

void sfw_size_text(uint64_t size, char *buf, uint32_t length)
{
    if (!buf || !length) return;
    if (size < 1024)
        std::snprintf(buf, length, "%u B", (unsigned)size);
    else if (size < 1048576)
        std::snprintf(buf, length, "%u KB", (unsigned)(size / 1024));
    else
        std::snprintf(buf, length, "%.1f MB", (double)size / 1048576.0);
}

void sfw_version_row(const remotefiles_version_st *v, char *buf, uint32_t length)
{
    if (!buf || !length) return;
    char size[32];
    sfw_size_text(v->size, size, sizeof size);
    const int vl = (int)strnlen(v->version, sizeof v->version), rl = (int)strnlen(v->released, sizeof v->released),
              nl = (int)strnlen(v->notes, sizeof v->notes);
    std::snprintf(buf, length, "%.*s   %.*s   %s%s%.*s", vl ? vl : 1, vl ? v->version : "?", rl ? rl : 1,
                  rl ? v->released : "-", size, nl ? "   " : "", nl, v->notes);
}

std::vector<int32_t> sfw_open_path(const sfw_listing &l, const std::vector<sfw_tree_node> &nodes, int fleet,
                                   const std::vector<std::string> &segs)
{
    std::vector<int32_t> opened;
    int32_t parent = -1;
    for (size_t s = 0; s + 1 < segs.size(); ++s) {
        int32_t hit = -1;
        for (size_t i = 0; i < nodes.size() && hit < 0; ++i)
            if (nodes[i].fleet == fleet && nodes[i].parent == parent &&
                sfw_segment_matches(segs[s].c_str(), sfw_own_name(l, nodes[i])))
                hit = (int32_t)i;
        if (hit < 0) break;
        opened.push_back(hit);
        parent = hit;
    }
    return opened;
}

namespace {

struct visit {
    const sfw_listing &l;
    const std::vector<sfw_tree_node> &nodes;
    const std::vector<std::string> &segs;
    const std::vector<int32_t> &opened;
    std::vector<sfw_shown> &out;

    void add(int32_t i, size_t depth)
    {
        const sfw_tree_node &n = nodes[(size_t)i];
        const bool on_path = depth < opened.size() && opened[depth] == i;
        const char *below = on_path && depth + 1 < segs.size() ? segs[depth + 1].c_str() : "";
        sfw_shown s{i, (int32_t)depth, on_path, {}};
        const remotefiles_product_st *p = n.product >= 0 ? l.products[(size_t)n.product] : nullptr;
        for (uint16_t v = 0; p && v < n.versions; ++v) {
            const remotefiles_version_st &ver = p->versions[v];
            const std::string text(ver.version, strnlen(ver.version, sizeof ver.version));
            if (sfw_segment_matches(below, text.c_str())) s.rows.push_back(v);
        }
        out.push_back(s);
        for (size_t c = 0; c < nodes.size(); ++c)
            if (nodes[c].parent == i && sfw_segment_matches(below, sfw_own_name(l, nodes[c])))
                add((int32_t)c, depth + 1);
    }
};

} // namespace

std::vector<sfw_shown> sfw_visible(const sfw_listing &l, const std::vector<sfw_tree_node> &nodes, int fleet,
                                   const char *filter)
{
    const std::vector<std::string> segs = sfw_split_filter(filter ? filter : "");
    const std::vector<int32_t> opened = sfw_open_path(l, nodes, fleet, segs);
    std::vector<sfw_shown> out;
    visit v{l, nodes, segs, opened, out};
    for (size_t i = 0; i < nodes.size(); ++i)
        if (nodes[i].fleet == fleet && nodes[i].parent < 0 &&
            sfw_segment_matches(segs[0].c_str(), sfw_own_name(l, nodes[i])))
            v.add((int32_t)i, 0);
    return out;
}
