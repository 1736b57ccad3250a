// `make install` and `make uninstall` (tools/make_install.sh) on this build tree: installs into a
// prefix that holds files of its own and into one that does not exist yet, then one uninstall puts
// both back as they were, keeping a folder that gained a file krcan did not install.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "e2e/e2e.h"

namespace {

namespace fs = std::filesystem;

// Every path under a folder, relative to it, in order.
std::vector<std::string> listing(const fs::path &root)
{
    std::vector<std::string> names;
    for (const auto &e : fs::recursive_directory_iterator(root)) names.push_back(fs::relative(e.path(), root).string());
    std::sort(names.begin(), names.end());
    return names;
}

TEST(MakeInstall, UninstallLeavesEveryPrefixAsItWas)
{
    e2e::sandbox box;
    box.write_file("root/own/bin/other-tool", "not krcan's");
    fs::create_directories(box.path("root/own/share"));
    const std::vector<std::string> before = listing(box.path("root"));

    e2e::options o;
    o.timeout_ms = 120000;
    o.env = {{"KR_INSTALL_RECORD", box.path("installed.txt").string()}};
    auto script = [&](std::vector<std::string> args) {
        args.insert(args.begin(), KR_SOURCE_DIR "/tools/make_install.sh");
        return box.run("/bin/bash", args, o);
    };
    // The same prefix twice: the second install must not forget the folders the first one made.
    for (const std::string prefix : {"root/own", "root/new/deeper", "root/own"}) {
        e2e::result r = script({"install", KR_BIN_DIR, box.path(prefix).string()});
        ASSERT_TRUE(r.exited(0)) << prefix << "\n" << r.out << r.err;
    }
    for (const std::string prefix : {"root/own", "root/new/deeper"}) {
        EXPECT_TRUE(fs::exists(box.path(prefix + "/bin/krcan"))) << prefix;
        EXPECT_TRUE(fs::exists(box.path(prefix + "/lib/krcan/krcan_window.so"))) << prefix;
    }

    e2e::result r = script({"uninstall", KR_BIN_DIR});
    EXPECT_TRUE(r.exited(0)) << r.out << r.err;
    EXPECT_EQ(listing(box.path("root")), before) << r.out;
    EXPECT_FALSE(fs::exists(box.path("installed.txt")));

    // A folder the install made that now holds a file of the user's stays, with that file.
    ASSERT_TRUE(script({"install", KR_BIN_DIR, box.path("root/new").string()}).exited(0));
    box.write_file("root/new/lib/krcan/user-plugin.so", "the user's");
    r = script({"uninstall", KR_BIN_DIR});
    EXPECT_TRUE(r.exited(0)) << r.out << r.err;
    EXPECT_NE(r.out.find("Kept " + box.path("root/new/lib/krcan").string() + "/"), std::string::npos) << r.out;
    EXPECT_EQ(listing(box.path("root/new")),
              (std::vector<std::string>{"lib", "lib/krcan", "lib/krcan/user-plugin.so"}));
}

} // namespace
