// Differential test against an independent YAML 1.1 parser (python3-yaml's yaml.safe_load):
// hand-written samples read by both must give the same tree, and everything the writer produces
// must be accepted by it and, with strings quoted as the tool writes them, give the same tree.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "hal/yaml_tree.h"
#include "kr_yamlwriter.h"

namespace fs = std::filesystem;

namespace {

const std::string kData = std::string(KR_TEST_DATA_DIR) + "/yaml";

std::string slurp(const fs::path &p)
{
    std::ifstream f(p, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

// One canonical line per file from python.
std::vector<std::string> python_canon(const std::vector<std::string> &paths)
{
    std::vector<std::string> args = {"python3", kData + "/canon.py"};
    args.insert(args.end(), paths.begin(), paths.end());
    int status = -1;
    std::string out = yamltest::run_capture(args, &status);
    EXPECT_EQ(status, 0) << "python3 with python3-yaml is needed for this test";
    std::vector<std::string> lines;
    std::stringstream ss(out);
    for (std::string line; std::getline(ss, line);) lines.push_back(line);
    EXPECT_EQ(lines.size(), paths.size());
    lines.resize(paths.size());
    return lines;
}

struct TempDir {
    fs::path path;
    TempDir()
    {
        const char *t = getenv("TMPDIR");
        std::string tmpl = std::string(t && *t ? t : "/tmp") + "/krcan_yamltest_XXXXXX";
        char *p = mkdtemp(tmpl.data());
        if (p) path = p;
    }
    ~TempDir()
    {
        std::error_code ec;
        if (!path.empty()) fs::remove_all(path, ec);
    }
};

} // namespace

TEST(YamlDifferential, SamplesReadAsTheIndependentParserReadsThem)
{
    std::vector<std::string> paths;
    for (const auto &e : fs::directory_iterator(kData))
        if (e.path().extension() == ".yaml") paths.push_back(e.path().string());
    std::sort(paths.begin(), paths.end());
    ASSERT_GE(paths.size(), 4u);

    // The same samples with CRLF line ends.
    TempDir tmp;
    ASSERT_FALSE(tmp.path.empty());
    size_t lf_count = paths.size();
    for (size_t i = 0; i < lf_count; i++) {
        std::string crlf;
        for (char c : slurp(paths[i])) {
            if (c == '\n') crlf += '\r';
            crlf += c;
        }
        fs::path p = tmp.path / ("crlf_" + fs::path(paths[i]).filename().string());
        std::ofstream(p, std::ios::binary) << crlf;
        paths.push_back(p.string());
    }

    std::vector<std::string> expect = python_canon(paths);
    for (size_t i = 0; i < paths.size(); i++) {
        ASSERT_EQ(expect[i].rfind("ERROR", 0), std::string::npos) << paths[i] << ": " << expect[i];
        EXPECT_EQ(yamltest::read_canon(slurp(paths[i])), expect[i]) << paths[i];
    }
}

TEST(YamlDifferential, WriterOutputIsAcceptedAndReadTheSame)
{
    TempDir tmp;
    ASSERT_FALSE(tmp.path.empty());
    yamltest::TreeGen gen(2024);
    std::vector<std::string> paths, expect, texts;
    std::vector<bool> quoted;
    for (int round = 0; round < 150; round++) {
        yamltest::TNode root = gen.collection(true, 4);
        for (bool quote : {true, false}) {
            std::vector<char> buf(1 << 16);
            kr_yaml_st st;
            ASSERT_EQ(kr_yamlwriter_init(&st, buf.data(), (uint32_t)buf.size()), ERR_NONE);
            kr_yamlwriter_set_quote_strings(&st, quote);
            ASSERT_EQ(yamltest::write_root(&st, root), ERR_NONE);
            fs::path p = tmp.path / ("doc" + std::to_string(round) + (quote ? "q" : "p") + ".yaml");
            std::ofstream(p, std::ios::binary) << buf.data();
            paths.push_back(p.string());
            expect.push_back(yamltest::expect_root(root));
            texts.push_back(buf.data());
            quoted.push_back(quote);
        }
    }
    std::vector<std::string> got = python_canon(paths);
    for (size_t i = 0; i < paths.size(); i++) {
        EXPECT_EQ(got[i].rfind("ERROR", 0), std::string::npos) << texts[i] << "\n" << got[i];
        // Unquoted plain strings such as null or ~ mean other things to a YAML 1.1 parser; the
        // tool always writes its strings quoted, and then the trees must match.
        if (quoted[i]) {
            EXPECT_EQ(got[i], expect[i]) << texts[i];
        }
    }
}
