// The JSON reader against a public parser test suite kept beside the project (not copied into it):
// y_ files are read, n_ files refused, i_ files either; every query on every node of a read file
// runs under the sanitizer. A file the reader handles otherwise is named. kr_docdump takes the same
// files, and what it prints it reads back to the same text.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "e2e/e2e.h"
#include "kr_json.h"

namespace {

std::filesystem::path suite_dir()
{
    const char *env = std::getenv("KR_CONFORMANCE_DIR");
    if (env != nullptr && *env != '\0') return std::filesystem::path(env) / "json" / "test_parsing";
    // The data lies beside the checkout (../shared); a worktree sits a level deeper, so look upwards.
    std::filesystem::path at = std::filesystem::path(KR_SOURCE_DIR).parent_path();
    for (int up = 0; up < 3 && !at.empty(); up++, at = at.parent_path()) {
        const std::filesystem::path dir = at / "shared" / "conformance" / "json" / "test_parsing";
        if (std::filesystem::is_directory(dir)) return dir;
        if (at == at.parent_path()) break;
    }
    return std::filesystem::path(KR_SOURCE_DIR).parent_path() / "shared" / "conformance" / "json" / "test_parsing";
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

// Refusals the project chooses: duplicate names (the database refuses them) and NUL in texts.
const std::vector<std::string> may_refuse = {"y_object_duplicated_key.json", "y_object_duplicated_key_and_value.json",
                                             "y_object_escaped_null_in_key.json", "y_string_null_escape.json",
                                             "y_string_backslash_and_u_escaped_zero.json"};

bool allowed_refusal(const std::string &name)
{
    return std::find(may_refuse.begin(), may_refuse.end(), name) != may_refuse.end();
}

} // namespace

TEST(JsonConformance, SuiteFilesAreReadOrRefusedAsTheirNamesSay)
{
    const std::filesystem::path dir = suite_dir();
    if (!std::filesystem::is_directory(dir))
        GTEST_SKIP() << "the JSON test suite is not at " << dir
                     << " (set KR_CONFORMANCE_DIR to the conformance folder)";
    std::vector<std::string> wrong;
    size_t files = 0;
    for (const auto &entry : std::filesystem::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        if (entry.path().extension() != ".json") continue;
        std::ifstream in(entry.path(), std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        ++files;
        const bool read = reads(bytes);
        if (name[0] == 'y' && !read && !allowed_refusal(name)) wrong.push_back(name + " (refused, must be read)");
        if (name[0] == 'n' && read) wrong.push_back(name + " (read, must be refused)");
    }
    EXPECT_GT(files, 300u);
    for (const std::string &w : wrong) ADD_FAILURE() << w;
}

// kr_docdump: a y_ file is printed (or refused only for a number the reader's 32 bits do not keep, or as
// the reader may), an n_ file refused as FILE:LINE:COLUMN: reason with status 1, nothing crashes; and
// what it prints, it reads back to the same line. Four runs at a time, without the leak checker at each
// exit (the readers' leaks are the test above's): there are some 300 files.
TEST(JsonConformance, SuiteFilesThroughKrDocdump)
{
    const std::filesystem::path dir = suite_dir();
    if (!std::filesystem::is_directory(dir))
        GTEST_SKIP() << "the JSON test suite is not at " << dir
                     << " (set KR_CONFORMANCE_DIR to the conformance folder)";
    const std::string docdump = KR_BIN_DIR "/kr_docdump";
    std::vector<std::filesystem::path> files;
    for (const auto &entry : std::filesystem::directory_iterator(dir))
        if (entry.path().extension() == ".json") files.push_back(entry.path());
    e2e::sandbox box;
    e2e::options quick;
    quick.env = {{"ASAN_OPTIONS", "detect_leaks=0"}};
    std::mutex lock;
    std::vector<std::string> wrong;
    std::atomic<size_t> next{0}, printed{0};
    auto check = [&](const std::filesystem::path &path, const std::string &again_file) {
        const std::string name = path.filename().string();
        const e2e::result r = box.run(docdump, {path.string()}, quick);
        std::string fault;
        if (r.timed_out || r.signal != 0 || (r.exit_code != 0 && r.exit_code != 1)) {
            fault = "ended with status " + std::to_string(r.exit_code) + ", signal " + std::to_string(r.signal) + ": " +
                    r.err;
        } else if (r.exit_code == 1) {
            // FILE:LINE:COLUMN: reason, and nothing on standard output.
            const std::string head = path.string() + ":";
            const bool placed = r.err.rfind(head, 0) == 0 && r.err.find(": ", head.size()) != std::string::npos &&
                                std::isdigit(static_cast<unsigned char>(r.err[head.size()])) != 0;
            const bool number = r.err.find("is not an integer the reader keeps") != std::string::npos;
            if (!placed || !r.out.empty())
                fault = "refused without its place: " + r.err;
            else if (name[0] == 'y' && !number && !allowed_refusal(name))
                fault = "refused: " + r.err;
        } else if (name[0] == 'n') {
            fault = "printed, must be refused";
        } else {
            ++printed;
            box.write_file(again_file, r.out);
            const e2e::result again = box.run(docdump, {box.path(again_file).string()}, quick);
            if (again.exit_code != 0 || again.out != r.out)
                fault = "printed " + r.out + ", which reads back as " + again.out + again.err;
        }
        if (!fault.empty()) {
            const std::lock_guard<std::mutex> hold(lock);
            wrong.push_back(name + " (" + fault + ")");
        }
    };
    std::vector<std::thread> workers;
    for (int w = 0; w < 4; w++) {
        workers.emplace_back([&, w] {
            for (size_t i = next++; i < files.size(); i = next++)
                check(files[i], "again" + std::to_string(w) + ".json");
        });
    }
    for (std::thread &t : workers) t.join();
    EXPECT_GT(files.size(), 300u);
    EXPECT_GT(printed.load(), 75u);
    for (const std::string &w : wrong) ADD_FAILURE() << w;
}
