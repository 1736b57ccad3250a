// Reads a generated device-database-shaped YAML document (as the tool's writer lays it out) and
// visits every member by siblings in one pass, the way the database loader walks it, beside
// yaml-cpp loading and visiting the same text. Usage: bench_yaml [objects...] (default 1000 10000).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <yaml-cpp/yaml.h>

#include "kr_yamlreader.h"

namespace {

std::string generate(int objects)
{
    std::string s;
    s.reserve((size_t)objects * 260 + 256);
    s += "DEV: \"Bench device\"\nVENDORID: \"0x31d\"\nPRODUCTCODE: 42\nREVISIONNUMBER: 3\nNODEID: 5\nOBJ_DICT:\n";
    char line[512];
    for (int i = 0; i < objects; ++i) {
        snprintf(line, sizeof line,
                 "  - name: \"Parameter %05d [rpm]\"\n    index: \"0x%04x\"\n    subindex: %d\n"
                 "    type: \"CANOPEN_UNSIGNED32\"\n    permissions: \"CANOPEN_RW\"\n    min: 0\n"
                 "    max: \"0xffffffff\"\n    default: %d\n    dataptr: \"&param_%05d\"\n",
                 i, 0x2000 + i / 256, i % 256, i * 7, i);
        s += line;
    }
    return s;
}

// Checksum of both visits: key lengths plus scalar text lengths.
uint64_t visit_kr(char *text)
{
    uint64_t sum = 0;
    kr_yaml_node_st root = kr_yamlreader_get_root(text);
    kr_yaml_node_st objs = kr_yamlreader_find_child(root, "OBJ_DICT");
    char name[128], value[128];
    kr_yaml_node_st obj = kr_yamlreader_get_child(objs, 0);
    while (obj.ptr) {
        kr_yaml_node_st m = kr_yamlreader_get_child(obj, 0);
        while (m.ptr) {
            kr_yamlreader_get_obj_name(m, name, sizeof name);
            sum += strlen(name);
            switch (kr_yamlreader_get_type(m)) {
            case YAML_INT:
                sum += kr_yamlreader_get_string_len(m);
                sum += (uint32_t)kr_yamlreader_get_int(m) & 1u; // the loader reads the number too
                break;
            default:
                kr_yamlreader_get_string(m, value, sizeof value);
                sum += strlen(value);
                break;
            }
            if (!kr_yamlreader_get_next_sibling(m, &m)) break;
        }
        if (!kr_yamlreader_get_next_sibling(obj, &obj)) break;
    }
    return sum;
}

uint64_t visit_cpp(const std::string &text)
{
    uint64_t sum = 0;
    YAML::Node root = YAML::Load(text);
    for (const YAML::Node &obj : root["OBJ_DICT"]) {
        for (const auto &kv : obj) {
            sum += kv.first.Scalar().size();
            const std::string &v = kv.second.Scalar();
            sum += v.size();
            if (kv.second.Tag() == "?") sum += (uint32_t)strtol(v.c_str(), nullptr, 0) & 1u;
        }
    }
    return sum;
}

double seconds_since(std::chrono::steady_clock::time_point t0)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

} // namespace

int main(int argc, char **argv)
{
    std::vector<int> sizes;
    for (int i = 1; i < argc; i++) sizes.push_back(atoi(argv[i]));
    if (sizes.empty()) sizes = {1000, 10000};
    const int runs = 5;
    printf("%8s %10s %12s %12s %8s %10s\n", "objects", "bytes", "krcan ms", "yaml-cpp ms", "ratio", "checksum");
    for (int n : sizes) {
        std::string doc = generate(n);
        std::vector<char> buf(doc.size() + 1);
        double best_kr = 1e9, best_cpp = 1e9;
        uint64_t sum_kr = 0, sum_cpp = 0;
        for (int r = 0; r < runs; r++) {
            memcpy(buf.data(), doc.c_str(), doc.size() + 1);
            auto t0 = std::chrono::steady_clock::now();
            if (kr_yamlreader_init(buf.data(), (uint32_t)buf.size()) != ERR_NONE) {
                fprintf(stderr, "the reader refused the document\n");
                return 1;
            }
            sum_kr = visit_kr(buf.data());
            best_kr = std::min(best_kr, seconds_since(t0));
            t0 = std::chrono::steady_clock::now();
            sum_cpp = visit_cpp(doc);
            best_cpp = std::min(best_cpp, seconds_since(t0));
        }
        printf("%8d %10zu %12.2f %12.2f %8.3f %10s\n", n, doc.size(), best_kr * 1e3, best_cpp * 1e3, best_kr / best_cpp,
               sum_kr == sum_cpp ? "equal" : "DIFFERS");
        if (sum_kr != sum_cpp) return 1;
    }
    return 0;
}
