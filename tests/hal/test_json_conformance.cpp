// The JSON reader against a public parser test suite kept beside the project (not copied into it):
// y_ files are read, n_ files refused, i_ files either; every query on every node of a read file
// runs under the sanitizer. A file the reader handles otherwise is named.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "kr_json.h"

namespace {

std::filesystem::path suite_dir()
{
    // Worktrees lie elsewhere than the main checkout: the environment may say where the data is.
    const char *env = std::getenv("KR_CONFORMANCE_DIR");
    const std::filesystem::path base = env != nullptr && *env != '\0'
                                           ? std::filesystem::path(env)
                                           : std::filesystem::path(KR_SOURCE_DIR) / "../shared/conformance";
    return base / "json" / "test_parsing";
}

// Every node reachable by children, elements and siblings, through every query.
void walk(char *node, int depth)
{
    if (node == nullptr || depth > 600) return;
    char out[32];
    kr_jsonreader_get_type(node);
    kr_jsonreader_get_int(node);
    kr_jsonreader_get_bool(node);
    kr_jsonreader_get_string(node, out, sizeof out);
    kr_jsonreader_get_obj_name(node, out, sizeof out);
    kr_jsonreader_get_string_len(node);
    kr_jsonreader_find_child(node, "a");
    const uint32_t size = kr_jsonreader_array_get_size(node);
    for (uint32_t i = 0; i < size && i < 4; ++i) {
        kr_jsonreader_array_get_type(node, i);
        kr_jsonreader_array_get_string(node, i, out, sizeof out);
        kr_jsonreader_array_get_int(node, i);
    }
    for (char *c = kr_jsonreader_get_child(node, 0); c != nullptr;) {
        walk(c, depth + 1);
        if (!kr_jsonreader_get_next_sibling(c, &c)) break;
    }
}

// Read: the text is one JSON value. A NUL inside the file ends a C text early, so it is refused as
// the document parser refuses it.
bool reads(const std::string &bytes)
{
    if (std::memchr(bytes.data(), '\0', bytes.size()) != nullptr) return false;
    std::vector<char> buf(bytes.begin(), bytes.end());
    buf.push_back('\0');
    kr_doc_error_st err{};
    if (kr_jsonreader_parse(buf.data(), static_cast<uint32_t>(bytes.size()), &err) != ERR_NONE) {
        EXPECT_GE(err.line, 1u);
        EXPECT_GE(err.column, 1u);
        EXPECT_NE(err.reason[0], '\0');
        return false;
    }
    walk(buf.data(), 0);
    return true;
}

} // namespace

TEST(JsonConformance, SuiteFilesAreReadOrRefusedAsTheirNamesSay)
{
    const std::filesystem::path dir = suite_dir();
    if (!std::filesystem::is_directory(dir))
        GTEST_SKIP() << "the JSON test suite is not at " << dir
                     << " (set KR_CONFORMANCE_DIR to the conformance folder)";
    // Refusals the project chooses: duplicate names (the database refuses them) and NUL in texts.
    const std::vector<std::string> may_refuse = {"y_object_duplicated_key.json",
                                                 "y_object_duplicated_key_and_value.json",
                                                 "y_object_escaped_null_in_key.json", "y_string_null_escape.json",
                                                 "y_string_backslash_and_u_escaped_zero.json"};
    std::vector<std::string> wrong;
    size_t files = 0;
    for (const auto &entry : std::filesystem::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        if (entry.path().extension() != ".json") continue;
        std::ifstream in(entry.path(), std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        ++files;
        const bool read = reads(bytes);
        if (name[0] == 'y' && !read && std::find(may_refuse.begin(), may_refuse.end(), name) == may_refuse.end())
            wrong.push_back(name + " (refused, must be read)");
        if (name[0] == 'n' && read) wrong.push_back(name + " (read, must be refused)");
    }
    EXPECT_GT(files, 300u);
    for (const std::string &w : wrong) ADD_FAILURE() << w;
}
