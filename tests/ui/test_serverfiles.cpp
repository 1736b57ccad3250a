// The server files dialog's tree over a listing: fleet order, folders from product paths, the filter
// with its wildcard match, and the size, row and download-name texts.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <deque>

#include "ui/serverfiles.h"

namespace {

struct listing_builder {
    std::deque<remotefiles_product_st> products;
    std::deque<std::vector<remotefiles_version_st>> versions;
    sfw_listing l;

    void product(uint8_t fleet, const char *id, std::vector<std::string> vers = {})
    {
        versions.emplace_back();
        for (auto &v : vers) {
            remotefiles_version_st r;
            std::memset(&r, 0, sizeof r);
            std::snprintf(r.version, sizeof r.version, "%s", v.c_str());
            std::snprintf(r.path, sizeof r.path, "/pub/%s-%s.krdev", id, v.c_str());
            r.size = 2048;
            versions.back().push_back(r);
        }
        remotefiles_product_st p;
        std::memset(&p, 0, sizeof p);
        std::snprintf(p.id, sizeof p.id, "%s", id);
        p.fleet = fleet;
        p.versions = versions.back().empty() ? nullptr : versions.back().data();
        p.version_count = (uint16_t)versions.back().size();
        products.push_back(p);
        l.products.push_back(&products.back());
    }
};

// "name(depth,open,rows)" per shown node.
std::string shown(const listing_builder &b, const std::vector<sfw_tree_node> &nodes, int fleet, const char *filter)
{
    std::string s;
    for (const sfw_shown &x : sfw_visible(b.l, nodes, fleet, filter)) {
        s += std::string(sfw_own_name(b.l, nodes[(size_t)x.node])) + "(" + std::to_string(x.depth) +
             (x.open ? ",open" : "") + "," + std::to_string(x.rows.size()) + ") ";
    }
    return s;
}

// Fleets b, main, a give the tabs main, b, a; a/x/p1 and a/x/p2 make one folder x with two children;
// a product outside its fleet's prefix sits at the fleet's own name; titles count versions.
TEST(ServerFilesTree, FleetsFoldersAndTitles)
{
    listing_builder b;
    b.l.fleets = {"b", "main", "a"};
    EXPECT_EQ(sfw_fleet_order(b.l), (std::vector<int>{1, 0, 2}));

    b.product(2, "a/x/p1", {"1.0", "1.2.0"});
    b.product(2, "a/x/p2", {"2.0"});
    b.product(2, "a/y");
    b.product(0, "elsewhere/z", {"3"});
    b.product(1, "main/deep/er/est", {"1"});
    std::vector<sfw_tree_node> nodes;
    ASSERT_TRUE(sfw_build_nodes(b.l, nodes));
    std::vector<std::string> titles;
    for (auto &n : nodes)
        titles.push_back(std::string(n.name) + "@" + std::to_string(n.fleet) + ":" + std::to_string(n.parent));
    EXPECT_EQ(titles, (std::vector<std::string>{"x@2:-1", "p1  (2)@2:0", "p2  (1)@2:0", "y  (no files)@2:-1",
                                                "b  (1)@0:-1", "deep@1:-1", "er@1:5", "est  (1)@1:6"}));
    EXPECT_EQ(nodes[0].children, 2);
    EXPECT_EQ(nodes[1].product, 0);
    EXPECT_EQ(nodes[0].product, -1);

    // Nothing listed: no tree.
    listing_builder e;
    e.l.fleets = {"a"};
    ASSERT_TRUE(sfw_build_nodes(e.l, nodes));
    EXPECT_TRUE(nodes.empty());
}

// x/p2 opens x and shows only p2; P1 matches p1 ignoring case at the level below an opened folder; a
// single segment filters the top level by name, and folders not on the opened path stay closed with
// every row; a path of more than 16 segments keeps the rest in the last.
TEST(ServerFilesTree, Filter)
{
    listing_builder b;
    b.l.fleets = {"a"};
    b.product(0, "a/x/p1", {"1.0", "1.2.0"});
    b.product(0, "a/x/p2", {"2.0"});
    b.product(0, "a/kit-1.2", {"0.9", "1.2.1", "1.3"});
    std::vector<sfw_tree_node> nodes;
    ASSERT_TRUE(sfw_build_nodes(b.l, nodes));
    EXPECT_EQ(shown(b, nodes, 0, ""), "x(0,0) p1(1,2) p2(1,1) kit-1.2(0,3) ");
    EXPECT_EQ(shown(b, nodes, 0, "x/p2"), "x(0,open,0) p2(1,1) ");
    EXPECT_EQ(shown(b, nodes, 0, "x/P1"), "x(0,open,0) p1(1,2) ");
    EXPECT_EQ(shown(b, nodes, 0, "X/p1/1.2"), "x(0,open,0) p1(1,open,1) ");
    EXPECT_EQ(shown(b, nodes, 0, "*1.2*"), "kit-1.2(0,3) ") << "closed, its rows unfiltered";
    EXPECT_EQ(shown(b, nodes, 0, "kit*/1.2"), "kit-1.2(0,open,1) ");
    EXPECT_EQ(shown(b, nodes, 0, "nothing/p1"), "") << "no top-level match";
    EXPECT_EQ(shown(b, nodes, 1, ""), "") << "a fleet without nodes";

    const auto segs = sfw_split_filter("1/2/3/4/5/6/7/8/9/10/11/12/13/14/15/16/17/18");
    ASSERT_EQ(segs.size(), 16u);
    EXPECT_EQ(segs[14], "15");
    EXPECT_EQ(segs[15], "16/17/18");
    EXPECT_EQ(sfw_split_filter("").size(), 1u);
}

// The wildcard: '*' takes any run, the rest ignores case, the whole name is consumed; a filter of many
// stars against long names stays fast (no backtracking blow-up).
TEST(ServerFilesTree, WildcardMatch)
{
    EXPECT_TRUE(sfw_wildcard_match("P1", "p1"));
    EXPECT_TRUE(sfw_wildcard_match("*", ""));
    EXPECT_TRUE(sfw_wildcard_match("a*", "abc"));
    EXPECT_TRUE(sfw_wildcard_match("*C", "abc"));
    EXPECT_TRUE(sfw_wildcard_match("a*b*c**", "aXbYbZc"));
    EXPECT_FALSE(sfw_wildcard_match("a*d", "abc"));
    EXPECT_FALSE(sfw_wildcard_match("abc", "abcd"));
    EXPECT_FALSE(sfw_wildcard_match("abcd", "abc"));
    EXPECT_FALSE(sfw_wildcard_match("?", "a")) << "no other wildcard";
    EXPECT_TRUE(sfw_segment_matches("", "anything"));
    EXPECT_TRUE(sfw_segment_matches("X", "max")) << "a plain segment matches anywhere";
    EXPECT_FALSE(sfw_segment_matches("x*", "max")) << "a starred one as it stands";

    std::string pattern;
    while (pattern.size() < 125) pattern += "*a";
    pattern += "*b";
    const std::string name(175, 'a');
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 2000; ++i) ASSERT_FALSE(sfw_wildcard_match(pattern.c_str(), name.c_str()));
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LT(s, 10.0) << "2000 matches took " << s << " s";
    EXPECT_TRUE(sfw_wildcard_match(pattern.c_str(), (name + "b").c_str()));
}

// Size texts, version rows and the name a download is saved under.
TEST(ServerFilesTree, Texts)
{
    char buf[SFW_ROW_LEN];
    const std::pair<uint64_t, const char *> sizes[] = {{0, "0 B"},
                                                       {1023, "1023 B"},
                                                       {1024, "1 KB"},
                                                       {1536, "1 KB"},
                                                       {1048575, "1023 KB"},
                                                       {1572864, "1.5 MB"},
                                                       {5368709120ull, "5120.0 MB"}};
    for (auto &[size, text] : sizes) {
        sfw_size_text(size, buf, sizeof buf);
        EXPECT_STREQ(buf, text) << size;
    }
    remotefiles_version_st v;
    std::memset(&v, 0, sizeof v);
    sfw_version_row(&v, buf, sizeof buf);
    EXPECT_STREQ(buf, "?   -   0 B");
    std::snprintf(v.version, sizeof v.version, "1.2.0");
    std::snprintf(v.released, sizeof v.released, "2026-11-02");
    std::snprintf(v.notes, sizeof v.notes, "fixes");
    v.size = 1572864;
    sfw_version_row(&v, buf, sizeof buf);
    EXPECT_STREQ(buf, "1.2.0   2026-11-02   1.5 MB   fixes");
    std::memset(v.version, 'v', sizeof v.version); // not terminated
    sfw_version_row(&v, buf, sizeof buf);
    EXPECT_EQ(std::string(buf).find("   2026-11-02"), sizeof v.version);

    char name[64];
    EXPECT_TRUE(sfw_local_name("/pub/a/pkg-1.2.krdev", name, sizeof name));
    EXPECT_STREQ(name, "pkg-1.2.krdev");
    EXPECT_TRUE(sfw_local_name("plain.krsys", name, sizeof name));
    EXPECT_STREQ(name, "plain.krsys");
    for (const char *bad : {"/pub/..", "/pub/.", "/pub/", "", ".."}) {
        EXPECT_FALSE(sfw_local_name(bad, name, sizeof name)) << bad;
        EXPECT_STREQ(name, "");
    }
    EXPECT_FALSE(sfw_local_name(("/" + std::string(100, 'n')).c_str(), name, sizeof name)) << "not cut";
}

} // namespace
