// Builds zip packages for tests, the fuzz seeds and the benchmark, through libarchive. An entry may
// carry a raw Unix mode that is written into the zip's central directory as it stands, so that
// types and bits libarchive's writer refuses (a FIFO, set-id bits) can still be offered to a reader.
#ifndef KR_PACKAGE_BUILDER_H
#define KR_PACKAGE_BUILDER_H

#include <archive.h>
#include <archive_entry.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace pkgtest {

struct entry {
    enum kind_e { FILE, DIR, LINK } kind = FILE;
    std::string name;
    std::string data; // file content, or the link's target
    unsigned perm = 0644;
    unsigned raw_mode = 0; // when not 0: the central directory's Unix mode, type bits included
    long declared = -1;    // when not -1: the size the archive declares instead of the data's
};

inline entry file(const std::string &name, const std::string &data, unsigned perm = 0644)
{
    return {entry::FILE, name, data, perm, 0};
}
inline entry dir(const std::string &name) { return {entry::DIR, name, "", 0755, 0}; }
inline entry link(const std::string &name, const std::string &target) { return {entry::LINK, name, target, 0777, 0}; }
inline entry raw(const std::string &name, const std::string &data, unsigned raw_mode)
{
    return {entry::FILE, name, data, 0644, raw_mode};
}
// A file whose headers declare another size than its data has.
inline entry lying(const std::string &name, const std::string &data, long declared)
{
    return {entry::FILE, name, data, 0644, 0, declared};
}

// Writes the entries in order (the same name may come twice); false when libarchive refuses. `store`
// leaves the data uncompressed (quick for large incompressible files).
inline bool write_zip(const std::string &path, const std::vector<entry> &entries, bool store = false)
{
    struct archive *a = archive_write_new();
    bool ok = archive_write_set_format_zip(a) == ARCHIVE_OK &&
              archive_write_set_bytes_in_last_block(a, 1) == ARCHIVE_OK &&
              (!store || archive_write_set_format_option(a, "zip", "compression", "store") == ARCHIVE_OK) &&
              archive_write_open_filename(a, path.c_str()) == ARCHIVE_OK;
    for (const entry &en : entries) {
        if (!ok) break;
        struct archive_entry *e = archive_entry_new();
        archive_entry_set_pathname(e, en.name.c_str());
        archive_entry_set_mtime(e, 1700000000, 0);
        if (en.kind == entry::DIR) {
            archive_entry_set_filetype(e, AE_IFDIR);
        } else if (en.kind == entry::LINK) {
            archive_entry_set_filetype(e, AE_IFLNK);
            archive_entry_set_symlink(e, en.data.c_str());
        } else {
            archive_entry_set_filetype(e, AE_IFREG);
            archive_entry_set_size(e, (la_int64_t)en.data.size());
        }
        archive_entry_set_perm(e, en.perm);
        ok = archive_write_header(a, e) == ARCHIVE_OK;
        if (ok && en.kind == entry::FILE && !en.data.empty())
            ok = archive_write_data(a, en.data.data(), en.data.size()) == (la_ssize_t)en.data.size();
        archive_entry_free(e);
    }
    if (archive_write_close(a) != ARCHIVE_OK) ok = false;
    archive_write_free(a);
    if (!ok) return false;

    bool patch = false;
    for (const entry &en : entries) patch = patch || en.raw_mode != 0 || en.declared != -1;
    if (!patch) return true;
    std::ifstream in(path, std::ios::binary);
    std::vector<char> z((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    in.close();
    auto u16 = [&z](size_t at) { return (unsigned)(uint8_t)z[at] | (unsigned)(uint8_t)z[at + 1] << 8; };
    auto put32 = [&z](size_t at, uint32_t v) {
        for (int b = 0; b < 4; b++) z[at + (size_t)b] = (char)(v >> (8 * b));
    };
    auto get32 = [&u16](size_t at) { return (uint32_t)u16(at) | (uint32_t)u16(at + 2) << 16; };
    for (const entry &en : entries) {
        uint32_t real = (uint32_t)en.data.size();
        for (size_t i = 0; i + 46 <= z.size(); i++) {
            // Central directory (Unix mode, size), local header and data descriptor (size).
            if (std::memcmp(&z[i], "PK\x01\x02", 4) == 0 && i + 46 + u16(i + 28) <= z.size() &&
                std::string(&z[i + 46], u16(i + 28)) == en.name) {
                if (en.raw_mode) put32(i + 38, (uint32_t)en.raw_mode << 16);
                if (en.declared != -1) put32(i + 24, (uint32_t)en.declared);
            } else if (en.declared != -1 && std::memcmp(&z[i], "PK\x03\x04", 4) == 0 && get32(i + 22) == real) {
                put32(i + 22, (uint32_t)en.declared);
            } else if (en.declared != -1 && std::memcmp(&z[i], "PK\x07\x08", 4) == 0 && get32(i + 12) == real) {
                put32(i + 12, (uint32_t)en.declared);
            }
        }
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(z.data(), (std::streamsize)z.size());
    return (bool)out;
}

} // namespace pkgtest

#endif
