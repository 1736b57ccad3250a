/* Server files dialog, and the folder tree it builds from the file server's listing. */
#ifndef SERVERFILES_H
#define SERVERFILES_H

#include <stdbool.h>
#include <stdint.h>

#include "ui/kr_uiobject.h"

#ifdef __cplusplus
extern "C" {
#endif

/* True only when a download was started. */
bool serverfiles_win_exec(const kr_uistyle_st *style);

#ifdef __cplusplus
}

#include <string>
#include <vector>

#include "online/remotefiles.h"

constexpr int SFW_MAX_FLEETS = 16;
constexpr int SFW_FILTER_LEN = 128;
constexpr int SFW_MAX_SEGMENTS = 16;
constexpr int SFW_NAME_LEN = 176;
constexpr int SFW_PATH_LEN = 256;
constexpr int SFW_ROW_LEN = 512;

/* One folder of a fleet's tree. */
struct sfw_tree_node {
    char name[SFW_NAME_LEN]; /* the displayed title */
    char path[SFW_PATH_LEN]; /* within the fleet, segments separated by '/' */
    int32_t parent;          /* -1 at the top */
    int32_t product;         /* the product whose path ends here, -1 if none */
    uint16_t versions;
    uint16_t children;
    uint8_t fleet;
};

/* The listing as the dialog sees it: fleet names and products (pointers stay the caller's). */
struct sfw_listing {
    std::vector<std::string> fleets;
    std::vector<const remotefiles_product_st *> products;
};

/* The nodes of every fleet, in order of creation; false when memory ran out (nodes then empty). */
bool sfw_build_nodes(const sfw_listing &listing, std::vector<sfw_tree_node> &nodes);
/* The node's own name: after the last '/' of its path, or the fleet's name for an empty path. */
const char *sfw_own_name(const sfw_listing &listing, const sfw_tree_node &node);
/* Fleet indexes in tab order: every fleet named "main" first, then the others in listing order. */
std::vector<int> sfw_fleet_order(const sfw_listing &listing);

/* '*' matches any run, other characters themselves ignoring case; the whole name is consumed. */
bool sfw_wildcard_match(const char *pattern, const char *name);
/* An empty segment matches everything; one without '*' matches anywhere in the name. */
bool sfw_segment_matches(const char *segment, const char *name);
std::vector<std::string> sfw_split_filter(const char *filter);

/* The name a download is saved under: after the server path's last '/'; false for none, "." or "..". */
bool sfw_local_name(const char *server_path, char *name, uint32_t length);
void sfw_size_text(uint64_t size, char *buf, uint32_t length);
void sfw_version_row(const remotefiles_version_st *v, char *buf, uint32_t length);

/* What a fleet's tree shows under a filter: nodes in drawing order with their depth, whether they are
 * open, and which of their version rows show. */
struct sfw_shown {
    int32_t node;
    int32_t depth;
    bool open;
    std::vector<uint16_t> rows;
};
/* The folders the filter opens, one per level. */
std::vector<int32_t> sfw_open_path(const sfw_listing &listing, const std::vector<sfw_tree_node> &nodes, int fleet,
                                   const std::vector<std::string> &segments);
std::vector<sfw_shown> sfw_visible(const sfw_listing &listing, const std::vector<sfw_tree_node> &nodes, int fleet,
                                   const char *filter);

#endif

#endif
