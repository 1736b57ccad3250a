// Random device databases, end to end: numbers written every way the document allows (and ways it
// does not), defines named any way, every type, texts with quotes, backslashes and '??', second
// entries that change a default or the type, PDOs. Each is exported by krcan. An accepted export
// must compile with -Werror, and a program built on it must print exactly what the document means;
// a refused one ends with status 1 and leaves the export folder as it was.
// KR_DB_GENERATOR_COUNT asks for more databases (the seed is fixed, KR_DB_GENERATOR_SEED moves it).
// The sound ones are exported a dozen to a krcan run, as a project exporting several devices would.
#include <gtest/gtest.h>

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <map>
#include <mutex>
#include <random>
#include <thread>

#include "e2e/e2e.h"

namespace {

struct ctype {
    const char *name;
    unsigned code;
    int64_t lo, hi;
};
const ctype scalars[] = {{"CANOPEN_UNSIGNED8", 1, 0, 255},           {"CANOPEN_SIGNED8", 1, -128, 127},
                         {"CANOPEN_UNSIGNED16", 2, 0, 65535},        {"CANOPEN_SIGNED16", 2, -32768, 32767},
                         {"CANOPEN_UNSIGNED32", 4, 0, 4294967295LL}, {"CANOPEN_SIGNED32", 4, INT32_MIN, INT32_MAX}};
const ctype arrays[] = {{"CANOPEN_ARRAY8", 65, 0, 255},
                        {"CANOPEN_ARRAYSIGNED16", 66, -32768, 32767},
                        {"CANOPEN_ARRAY32", 68, 0, 4294967295LL},
                        {"CANOPEN_ARRAYSIGNED32", 68, INT32_MIN, INT32_MAX}};

// The symbol a name gets: letters upper case, anything else '_'.
std::string symbol_of(const std::string &name)
{
    std::string s;
    for (char c : name) s += std::isalnum((unsigned char)c) ? (char)std::toupper((unsigned char)c) : '_';
    return s;
}

struct element {
    std::string name; // as the header names it
    int64_t def = 0;
};

struct object {
    std::string name, sym;
    int kind = 0; // 0 scalar, 1 array, 2 string
    const ctype *type = nullptr;
    unsigned index = 0, perm = 3;
    int64_t def = 0, min = 0, max = 0;
    std::vector<element> elements;
    std::string text;
    int var = -1; // the data pointer's variable, -1 for none
};

struct generator {
    std::mt19937_64 rng;
    bool yaml = false;
    bool valid = true; // does the document mean an export?
    std::string dev = "DRV";
    std::vector<std::string> defines, macros; // DEFINES elements; "NAME value" lines the program prints
    std::vector<object> objects;
    std::vector<std::string> pdo_lines, txpdos;
    unsigned names = 0;

    explicit generator(uint64_t seed) : rng(seed) {}
    int64_t pick(int64_t lo, int64_t hi) { return std::uniform_int_distribution<int64_t>(lo, hi)(rng); }
    bool chance(int percent) { return pick(1, 100) <= percent; }
    std::string quoted(const std::string &s) { return "\"" + s + "\""; }

    // A define named any way; its value is given by the caller's text.
    std::string define(const std::string &value, const std::string &sym_value)
    {
        static const char *const words[] = {"max speed", "Limit-", "gain.", "temp,", "Rate:", "k="};
        std::string name = words[pick(0, 5)] + std::to_string(names++);
        if (yaml || chance(50))
            defines.push_back("{\"name\": " + quoted(name) + ", \"value\": " + value + "}");
        else
            defines.push_back("{" + quoted(name) + ": " + value + "}");
        if (!sym_value.empty()) macros.push_back(dev + "_" + symbol_of(name) + " " + sym_value);
        return name;
    }

    // A number of lo..hi, written one of the ways the document reads it, or sometimes a way it
    // refuses (then the database is refused), past the field's own limit among them. Gives the
    // number meant. An object's value past its type is judged on the final object (a later entry
    // may change either).
    std::string number(int64_t lo, int64_t hi, int64_t *meant, int64_t limit = INT64_MIN, bool named = true,
                       bool typed = false)
    {
        if (limit == INT64_MIN) limit = hi;
        int64_t v = chance(30) ? (chance(50) ? lo : hi) : pick(lo, hi);
        *meant = v;
        if (chance(3)) {
            static const char *const bad[] = {"08", "1e3", "12kg", "null", "0x", "1.5", "0x20_1", "0b101"};
            int k = (int)pick(0, 8);
            if (k == 8) { // past the field's limit
                *meant = limit + 1;
                valid = valid && typed;
                return std::to_string(limit + 1);
            }
            valid = false;
            return k < 2 ? bad[k] : yaml ? bad[k] : quoted(bad[k]);
        }
        switch (pick(0, named ? 5 : 1)) {
        case 0: { // -0x80000000 is a number here, as it is not in C
            std::string h = (v < 0 ? "-0x" : "0x") + hex(v < 0 ? -v : v);
            return yaml ? h : quoted(h);
        }
        case 1:
            if (v > 0 && v < 4096) { // octal: JSON has no such number, so there it is a quoted one
                const std::string o = "0" + hex(v, "%" PRIo64);
                return yaml ? o : quoted(o);
            }
            break;
        case 2: { // a define, referred to in another case
            std::string name = define(std::to_string(v), std::to_string(v));
            for (char &c : name) c = (char)std::tolower((unsigned char)c);
            return quoted(name);
        }
        case 3:
            if (v >= INT32_MIN && v <= INT32_MAX) { // an enumeration member
                std::string e = "MODE" + std::to_string(names++);
                defines.push_back("{\"name\": " + quoted(e) + ", \"value\": [\"FIRST\", " +
                                  quoted("AT = " + std::to_string(v)) + "]}");
                macros.push_back(dev + "_" + e + "_AT " + std::to_string(v));
                return quoted(e + "_AT");
            }
            break;
        default: break;
        }
        return std::to_string(v);
    }
    static std::string hex(int64_t v, const char *form = "%" PRIx64)
    {
        char b[24];
        std::snprintf(b, sizeof b, form, (uint64_t)v);
        return b;
    }

    // A text of the characters C and the document make hard, written with the document's escapes.
    std::string text(std::string *meant)
    {
        // Half of these end a trigraph after '?' '?'.
        static const char chars[] = "ab ?=()!/<>'-\"\\x#:";
        std::string t, w;
        for (int64_t i = pick(0, 14); i > 0; --i)
            t += chance(20) ? std::string("?\?") : std::string(1, chars[pick(0, sizeof chars - 2)]);
        for (char c : t) w += (c == '"' || c == '\\') ? std::string("\\") + c : std::string(1, c);
        *meant = t;
        return quoted(w);
    }

    std::string pointer(object &o)
    {
        if (chance(3)) {
            valid = false;
            static const char *const bad[] = {"9abc", "int", "&v0; int y", "1e5", "main"};
            return quoted(bad[pick(0, 4)]);
        }
        o.var = (int)pick(0, 7);
        const std::string p = "&v" + std::to_string(o.var);
        if (chance(20)) return quoted(define(quoted(p), ""));
        return quoted(p);
    }

    std::string scalar(object &o)
    {
        o.type = &scalars[pick(0, 5)];
        o.perm = (unsigned)pick(1, 3);
        static const char *const perms[] = {"", "CANOPEN_RO", "CANOPEN_WO", "CANOPEN_RW"};
        std::string s = "\"type\": " + quoted(o.type->name) + ", \"permissions\": " + quoted(perms[o.perm]) +
                        ", \"subindex\": " + std::to_string(0);
        s += ", \"default\": " + number(o.type->lo, o.type->hi, &o.def, o.type->hi, true, true);
        if (o.perm == 1) {
            o.min = o.max = o.def;
        } else {
            s += ", \"min\": " + number(o.type->lo, o.type->hi, &o.min, o.type->hi, true, true);
            s += ", \"max\": " + number(o.type->lo, o.type->hi, &o.max, o.type->hi, true, true);
        }
        return s;
    }

    std::string array(object &o)
    {
        o.type = &arrays[pick(0, 3)];
        std::string data;
        for (int64_t i = 0, n = pick(1, 4); i < n; ++i) {
            element e;
            std::string value = number(o.type->lo, o.type->hi, &e.def, o.type->hi, true, true);
            if (chance(40)) { // a plain number is the element's default
                e.name = "CHILD" + std::to_string(i + 1);
                data += (i ? ", " : "") + value;
            } else {
                e.name = "E" + std::to_string(i);
                data += std::string(i ? ", " : "") + "{\"name\": \"e" + std::to_string(i) +
                        "\", \"default\": " + value + "}";
            }
            o.elements.push_back(e);
        }
        return "\"type\": " + quoted(o.type->name) + ", \"permissions\": \"CANOPEN_RW\", \"data\": [" + data + "]";
    }

    std::string string_obj(object &o)
    {
        std::string written = text(&o.text);
        int64_t size = (int64_t)o.text.size() + pick(1, 3);
        if (!o.text.empty() && chance(3)) {
            size = (int64_t)o.text.size(); // no room for the terminator
            valid = false;
        }
        o.perm = 1;
        return "\"type\": \"CANOPEN_STRING\", \"permissions\": \"CANOPEN_RO\", \"stringsize\": " +
               std::to_string(size) + ", \"default\": " + written;
    }

    // A later entry of the same name: a new default, or a new type the values must still fit.
    std::string second_entry(object &o)
    {
        std::string s = "{\"name\": \"" + o.name.substr(0, 3) + " " + o.name.substr(4) + "\"";
        if (chance(50)) {
            const ctype *t = &scalars[pick(0, 5)];
            while (t->code != o.type->code && chance(90)) t = &scalars[pick(0, 5)];
            o.type = t;
            return s + ", \"type\": " + quoted(t->name) + "}";
        }
        std::string v = number(o.type->lo, o.type->hi, &o.def, o.type->hi, true, true);
        if (o.perm == 1) {
            // A read-only object's limits were made from its first value; a new one is given whole.
            s += ", \"min\": " + v + ", \"max\": " + v;
            o.min = o.max = o.def;
        }
        return s + ", \"default\": " + v + "}";
    }

    std::string txpdo(const object &o, unsigned k)
    {
        int64_t inhibit = 0, event = 0;
        std::string s = "{\"cobid\": \"0x" + hex(0x180 + k) +
                        "\", \"transmission\": \"ASYNC\", \"inhibittime\": " + number(0, 65535, &inhibit) +
                        ", \"eventtimer\": " + number(0, 65535, &event) +
                        ", \"mappings\": [{\"param\": " + quoted(o.name) + "}]}";
        char line[128];
        std::snprintf(line, sizeof line, "P%u %x %" PRIi64 " %" PRIi64 " %x %u", k, 0x180 + k, inhibit, event, o.index,
                      o.type->code & 7);
        pdo_lines.push_back(line);
        return s;
    }

    std::string document()
    {
        yaml = chance(30);
        static const char *const devs[] = {"DRV", "Drv", "drv"};
        std::vector<std::string> entries, seconds;
        for (int64_t i = 0, n = pick(1, 6); i < n; ++i) {
            object o;
            o.name = "OBJ_" + std::to_string(i);
            o.sym = dev + "_" + o.name;
            o.index = (unsigned)(0x2000 + 0x10 * i);
            int64_t k = pick(0, 9), index = 0;
            o.kind = k < 5 ? 0 : k < 8 ? 1 : 2;
            std::string body = o.kind == 0 ? scalar(o) : o.kind == 1 ? array(o) : string_obj(o);
            entries.push_back("{\"name\": \"obj " + std::to_string(i) +
                              "\", \"index\": " + number(o.index, o.index, &index, 0xFFFF) + ", " + body +
                              ", \"dataptr\": " + pointer(o) + "}");
            if (o.kind == 0 && chance(25)) seconds.push_back(second_entry(o));
            objects.push_back(o);
        }
        entries.insert(entries.end(), seconds.begin(), seconds.end());
        // The final objects' values must fit their final types.
        auto fits = [](const object &o, int64_t v) { return v >= o.type->lo && v <= o.type->hi; };
        for (const object &o : objects) {
            if (o.kind == 0 && !(fits(o, o.def) && fits(o, o.min) && fits(o, o.max))) valid = false;
            for (const element &e : o.elements)
                if (!fits(o, e.def)) valid = false;
        }
        for (const object &o : objects)
            if (o.kind == 0 && txpdos.size() < 2 && chance(40)) txpdos.push_back(txpdo(o, (unsigned)txpdos.size()));
        // Read before the defines, so no define can name it.
        const std::string node_text = number(1, 127, &node, 127, false);
        // The same document in either format: YAML's flow collections read JSON's texts, and its
        // plain scalars JSON's unquoted numbers.
        std::vector<std::pair<std::string, std::string>> scalars_ = {{"DEV", quoted(devs[pick(0, 2)])},
                                                                     {"NODEID", node_text},
                                                                     {"RXPDO_COUNT", "0"}};
        std::vector<std::pair<std::string, std::vector<std::string>>> lists = {{"OBJ_DICT", entries},
                                                                               {"TXPDO", txpdos}};
        if (!defines.empty()) lists.insert(lists.begin(), {"DEFINES", defines});
        std::string d = yaml ? "" : "{";
        for (const auto &[key, value] : scalars_)
            d += yaml ? key + ": " + value + "\n" : quoted(key) + ": " + value + ", ";
        for (size_t i = 0; i < lists.size(); ++i) {
            const auto &[key, items] = lists[i];
            if (yaml) {
                d += key + (items.empty() ? ": []\n" : ":\n");
                for (const std::string &item : items) d += "  - " + item + "\n";
            } else {
                d += quoted(key) + ": [";
                for (size_t k = 0; k < items.size(); ++k) d += (k ? ", " : "") + items[k];
                d += i + 1 < lists.size() ? "], " : "]}";
            }
        }
        return d;
    }
    int64_t node = 0;

    // The C program that prints every macro and table entry, and the lines it must print.
    std::string program(std::string *expect)
    {
        std::string p = "#include <stdio.h>\n#include \"h.c\"\nunsigned char v0, v1, v2, v3, v4, v5, v6, v7;\n"
                        "static const void *vars[] = {&v0, &v1, &v2, &v3, &v4, &v5, &v6, &v7};\n"
                        "static int var(const void *p) { for (int i = 0; i < 8; i++) if (vars[i] == p) return i; "
                        "return p ? -2 : -1; }\n"
                        "int main(void) {\n";
        auto macro = [&](const std::string &name, const std::string &value) {
            p += "    printf(\"" + name + " %lld\\n\", (long long)(" + name + "));\n";
            *expect += name + " " + value + "\n";
        };
        macro(dev + "_NODEID", std::to_string(node));
        macro(dev + "_TXPDO_COUNT", std::to_string(txpdos.size()));
        for (const std::string &m : macros) macro(m.substr(0, m.find(' ')), m.substr(m.find(' ') + 1));
        std::string table;
        for (const object &o : objects) {
            macro(o.sym + "_INDEX", std::to_string(o.index));
            unsigned code = o.kind == 2 ? 17 : o.type->code, sub = 0;
            if (o.kind == 0) {
                macro(o.sym + "_DEFAULT", std::to_string(o.def));
                macro(o.sym + "_VALUE", std::to_string(o.def));
                macro(o.sym + "_MIN", std::to_string(o.min));
                macro(o.sym + "_MAX", std::to_string(o.max));
            } else if (o.kind == 1) {
                sub = (unsigned)o.elements.size();
                std::string lsym = o.sym;
                for (char &c : lsym) c = (char)std::tolower((unsigned char)c);
                for (size_t k = 0; k < o.elements.size(); ++k) {
                    macro(o.sym + "_" + o.elements[k].name + "_DEFAULT", std::to_string(o.elements[k].def));
                    p += "    printf(\"" + lsym + " %lld\\n\", (long long)" + lsym + "_defaults[" + std::to_string(k) +
                         "]);\n";
                    *expect += lsym + " " + std::to_string(o.elements[k].def) + "\n";
                }
            } else {
                p += "    for (const char *s = " + o.sym +
                     "_DEFAULT; ; s++) { printf(\"%02x\", (unsigned char)*s); "
                     "if (!*s) break; }\n    printf(\"\\n\");\n";
                for (char c : o.text) *expect += hex((unsigned char)c, "%02" PRIx64);
                *expect += "00\n";
            }
            char line[96];
            std::snprintf(line, sizeof line, "T %x %u %u %u %d\n", o.index, sub, code, o.perm, o.var);
            table += line;
        }
        *expect += table;
        p += "    for (unsigned i = 0; i < obj_dict_len(); i++)\n        printf(\"T %x %u %u %u %d\\n\", "
             "obj_dict[i].main_index, obj_dict[i].sub_index, obj_dict[i].type, obj_dict[i].permissions, "
             "var(obj_dict[i].data_ptr));\n";
        for (const std::string &l : pdo_lines) *expect += l + "\n";
        const std::string init = "drv_canopen_init";
        for (size_t k = 0; k < txpdos.size(); ++k) {
            std::string t = init + ".txpdo_coms[" + std::to_string(k) + "]",
                        m = init + ".txpdo_maps[" + std::to_string(k) + "].mappings[0]";
            p += "    printf(\"P" + std::to_string(k) + " %x %d %u %x %u\\n\", (unsigned)" + t + ".cob_id, (int)" + t +
                 ".inhibit_time, (unsigned)" + t + ".event_timer, " + m + ".main_index, " + m + ".length);\n";
        }
        return p + "    return 0;\n}\n";
    }
};

// The program built on the export in dir/out must print what the document means: "" when it does.
std::string check_program(const e2e::sandbox &box, const std::string &dir, generator &g, const std::string &what)
{
    std::string expect;
    box.write_file(dir + "/p.c", g.program(&expect));
    e2e::result cc = box.run(e2e::on_path("gcc"),
                             {"-std=c11", "-Wall", "-Wextra", "-Werror", "-I" KR_SOURCE_DIR "/hal/kr_hal/inc",
                              "-I" + dir + "/fw", "-I" + dir + "/out", "-DCONFIG_CANOPEN_RXPDO_COUNT=1",
                              "-DCONFIG_CANOPEN_TXPDO_COUNT=2", dir + "/p.c", "-o", dir + "/p"});
    if (!cc.exited(0)) return "the export does not compile: " + what + cc.err;
    e2e::result run = box.run(box.path(dir + "/p").string(), {});
    if (run.out != expect)
        return "the export means something else: " + what + "\nprinted:\n" + run.out + "\nmeant:\n" + expect;
    return "";
}

// Writes the database of seed into dir (with an earlier export in dir/out); gives the file's path.
std::string place(const e2e::sandbox &box, const std::string &dir, generator &g, std::string *doc)
{
    *doc = g.document();
    const std::string file = dir + (g.yaml ? "/db.yaml" : "/db.json");
    box.write_file(file, *doc);
    box.write_file(dir + "/out/h.h", "old header\n");
    box.write_file(dir + "/out/h.c", "old source\n");
    box.write_file(dir + "/fw/main.h", "extern unsigned char v0, v1, v2, v3, v4, v5, v6, v7;\n");
    return file;
}

std::vector<std::string> export_args(const std::string &dir, const std::string &file)
{
    return {"--srcdest", dir + "/out", "--incdest", dir + "/out", "--db", file, "--export", "h"};
}

// One database, exported by a krcan of its own: "" when krcan did what the document means, else what
// went wrong.
std::string check_one(uint64_t seed)
{
    generator g(seed);
    e2e::sandbox box;
    std::string doc;
    const std::string file = place(box, "d", g, &doc);
    const auto before = e2e::folder_files(box.path("d/out"));
    e2e::result r = box.krcan(export_args("d", file));
    const std::string what = "seed " + std::to_string(seed) + ", " + file + ":\n" + doc + "\n" + r.out;
    if (!g.valid) {
        if (!r.exited(1)) return "a refused database did not end with status 1: " + what;
        if (e2e::folder_files(box.path("d/out")) != before)
            return "a refused database changed the export folder: " + what;
        return "";
    }
    if (!r.exited(0)) return "a sound database was not exported: " + what;
    return check_program(box, "d", g, what);
}

// Sound databases, all exported by one krcan (one --db and --export after the other), as a firmware
// project's build would; each export is then checked on its own. When the run fails, each database
// is tried alone, so the failure names its seed.
std::vector<std::string> check_sound(const std::vector<uint64_t> &seeds)
{
    e2e::sandbox box;
    std::vector<generator> gens;
    std::vector<std::string> docs(seeds.size()), args;
    for (size_t k = 0; k < seeds.size(); ++k) {
        gens.emplace_back(seeds[k]);
        const std::string file = place(box, "d" + std::to_string(k), gens.back(), &docs[k]);
        for (std::string &a : export_args("d" + std::to_string(k), file)) args.push_back(std::move(a));
    }
    e2e::result r = box.krcan(args);
    std::vector<std::string> failures;
    if (!r.exited(0)) {
        for (uint64_t seed : seeds)
            if (std::string f = check_one(seed); !f.empty()) failures.push_back(f);
        if (failures.empty())
            failures.push_back("sound databases exported together failed, each alone did not:\n" + r.out);
        return failures;
    }
    for (size_t k = 0; k < seeds.size(); ++k) {
        const std::string what = "seed " + std::to_string(seeds[k]) + ":\n" + docs[k] + "\n";
        if (std::string f = check_program(box, "d" + std::to_string(k), gens[k], what); !f.empty())
            failures.push_back(f);
    }
    return failures;
}

// Workers for the CPUs this test may use (CI squeezes it onto two).
unsigned worker_count()
{
    cpu_set_t set;
    CPU_ZERO(&set);
    int cpus = sched_getaffinity(0, sizeof set, &set) == 0 ? CPU_COUNT(&set) : 2;
    return (unsigned)std::clamp(cpus, 2, 8);
}

TEST(DbGenerator, RandomDatabasesExportAsTheyReadOrAreRefused)
{
    const char *count_env = std::getenv("KR_DB_GENERATOR_COUNT");
    const char *seed_env = std::getenv("KR_DB_GENERATOR_SEED");
    const unsigned count = count_env ? (unsigned)std::strtoul(count_env, nullptr, 10) : 300;
    const uint64_t seed = seed_env ? std::strtoull(seed_env, nullptr, 10) : 46;
    constexpr size_t batch = 12;
    std::atomic<unsigned> next{0}, accepted{0};
    std::mutex m;
    std::vector<std::string> failures;
    auto report = [&](const std::vector<std::string> &f) {
        std::lock_guard<std::mutex> lock(m);
        failures.insert(failures.end(), f.begin(), f.end());
    };
    std::vector<std::thread> workers;
    for (unsigned w = worker_count(); w > 0; --w)
        workers.emplace_back([&] {
            std::vector<uint64_t> sound;
            for (unsigned i; (i = next++) < count;) {
                const uint64_t s = seed * 100003u + i;
                generator g(s);
                g.document();
                if (g.valid) {
                    ++accepted;
                    sound.push_back(s);
                    if (sound.size() < batch) continue;
                    report(check_sound(sound));
                    sound.clear();
                } else if (std::string f = check_one(s); !f.empty()) {
                    report({f});
                }
            }
            if (!sound.empty()) report(check_sound(sound));
        });
    for (auto &t : workers) t.join();
    for (size_t i = 0; i < failures.size() && i < 5; ++i) ADD_FAILURE() << failures[i];
    EXPECT_TRUE(failures.empty()) << failures.size() << " of " << count << " databases went wrong";
    // Both halves are exercised: a generator that makes only refusals would prove nothing.
    EXPECT_GT(accepted.load(), count / 4);
    EXPECT_LT(accepted.load(), count - count / 10);
}

} // namespace
