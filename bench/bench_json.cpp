// Reads a generated device-database-shaped document and visits every member by siblings in one
// pass, the way the database loader walks it, beside nlohmann::json parsing and visiting the same
// file. Usage: bench_json [objects...] (default 1000 10000).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "kr_json.h"

namespace {

std::string generate(int objects)
{
    std::string s;
    s.reserve(static_cast<size_t>(objects) * 240 + 256);
    s += "{\n  \"DEV\": \"Bench device\",\n  \"VENDORID\": \"0x31d\",\n  \"PRODUCTCODE\": 42,\n"
         "  \"REVISIONNUMBER\": 3,\n  \"NODEID\": 5,\n  \"OBJ_DICT\": [\n";
    char line[512];
    for (int i = 0; i < objects; ++i) {
        std::snprintf(line, sizeof line,
                      "    {\"name\": \"Parameter %05d [rpm]\", \"index\": \"0x%04x\", \"subindex\": %d,\n"
                      "     \"type\": \"CANOPEN_UNSIGNED32\", \"permissions\": \"CANOPEN_RW\", \"min\": 0,\n"
                      "     \"max\": \"0xffffffff\", \"default\": %d, \"dataptr\": \"&param_%05d\"}%s\n",
                      i, 0x2000 + i / 256, i % 256, i * 7, i, i + 1 < objects ? "," : "");
        s += line;
    }
    s += "  ]\n}\n";
    return s;
}

// Checksum shared by both visits: name lengths, string lengths, plain integer values.
uint64_t visit_members_kr(char *obj, uint64_t sum)
{
    char name[128];
    char text[128];
    for (char *m = kr_jsonreader_get_child(obj, 0); m != nullptr;) {
        kr_jsonreader_get_obj_name(m, name, sizeof name);
        sum += std::strlen(name);
        switch (kr_jsonreader_get_type(m)) {
        case JSON_STRING:
            kr_jsonreader_get_string(m, text, sizeof text);
            sum += std::strlen(text);
            break;
        case JSON_INT:
            if (kr_jsonreader_get_string_ptr(m) != nullptr) {
                sum += kr_jsonreader_get_string_len(m);
                sum += static_cast<uint32_t>(kr_jsonreader_get_int(m)) & 1u; // the loader reads the number too
            } else {
                sum += static_cast<uint32_t>(kr_jsonreader_get_int(m));
            }
            break;
        case JSON_ARRAY:
            for (char *e = kr_jsonreader_array_at(m, 0); e != nullptr;) {
                sum = visit_members_kr(e, sum);
                if (!kr_jsonreader_get_next_sibling(e, &e)) break;
            }
            break;
        default: break;
        }
        if (!kr_jsonreader_get_next_sibling(m, &m)) break;
    }
    return sum;
}

uint64_t run_kr(const std::string &text, std::vector<char> &buf)
{
    buf.assign(text.begin(), text.end());
    buf.push_back('\0');
    kr_jsonreader_init(buf.data(), static_cast<uint32_t>(text.size()));
    return visit_members_kr(buf.data(), 0);
}

uint64_t visit_members_nl(const nlohmann::json &obj, uint64_t sum)
{
    for (const auto &[key, v] : obj.items()) {
        sum += key.size();
        if (v.is_string()) {
            const std::string &s = v.get_ref<const std::string &>();
            sum += s.size();
            if (s.rfind("0x", 0) == 0) sum += std::strtoul(s.c_str(), nullptr, 0) & 1u;
        } else if (v.is_number_integer()) {
            sum += static_cast<uint32_t>(v.get<int64_t>());
        } else if (v.is_array()) {
            for (const auto &e : v) sum = visit_members_nl(e, sum);
        }
    }
    return sum;
}

uint64_t run_nl(const std::string &text) { return visit_members_nl(nlohmann::json::parse(text), 0); }

template <typename F> double best_ms(int reps, F &&f, uint64_t &result)
{
    double best = 1e30;
    for (int r = 0; r < reps; ++r) {
        const auto t0 = std::chrono::steady_clock::now();
        result = f();
        const auto t1 = std::chrono::steady_clock::now();
        best = std::min(best, std::chrono::duration<double, std::milli>(t1 - t0).count());
    }
    return best;
}

} // namespace

int main(int argc, char **argv)
{
    std::vector<int> sizes;
    for (int i = 1; i < argc; ++i) sizes.push_back(std::atoi(argv[i]));
    if (sizes.empty()) sizes = {1000, 10000};
    const char *tmp = std::getenv("TMPDIR");
    std::string dir = (tmp != nullptr && *tmp != '\0') ? tmp : "/tmp";
    bool ok = true;
    double prev_kr = 0;
    int prev_n = 0;
    std::printf("%8s %10s %10s %10s %7s %9s\n", "objects", "bytes", "krjson ms", "nlohm. ms", "ratio", "kr MB/s");
    for (int n : sizes) {
        // Both readers take the same file, read back from disk.
        const std::string path = dir + "/bench_json_" + std::to_string(n) + ".json";
        std::ofstream(path, std::ios::binary) << generate(n);
        std::ifstream in(path, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        const std::string text = ss.str();
        std::remove(path.c_str());

        std::vector<char> buf;
        buf.reserve(text.size() + 1);
        uint64_t kr_sum = 0, nl_sum = 0;
        const int reps = n <= 2000 ? 50 : 10;
        const double kr_ms = best_ms(
            reps, [&] { return run_kr(text, buf); }, kr_sum);
        const double nl_ms = best_ms(
            reps, [&] { return run_nl(text); }, nl_sum);
        if (kr_sum != nl_sum) {
            std::fprintf(stderr, "checksums differ for %d objects: %llu vs %llu\n", n,
                         static_cast<unsigned long long>(kr_sum), static_cast<unsigned long long>(nl_sum));
            ok = false;
        }
        std::printf("%8d %10zu %10.3f %10.3f %7.2f %9.1f\n", n, text.size(), kr_ms, nl_ms, kr_ms / nl_ms,
                    text.size() / 1e6 / (kr_ms / 1e3));
        if (prev_n > 0)
            std::printf("  growth x%.1f objects: krjson x%.2f\n", static_cast<double>(n) / prev_n, kr_ms / prev_kr);
        prev_kr = kr_ms;
        prev_n = n;
    }
    return ok ? 0 : 1;
}
