// Fuzz target: draw-command lists and assets from a device fed to the mirror's decoder and a
// recording sink. Input: records of a tag byte, a 16-bit length and that many bytes; tag 0 is a
// list, 1 a font asset, 2 a bitmap asset (first 4 bytes the id), 3 a housekeeping step. Records,
// uploads and pictures must stay within their limits.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "../ui/mirror_recorder.h"

namespace {

void on_request(uint8_t kind, uint32_t id, void *)
{
    if (kind > KR_UI_REMOTE_ASSET_KIND_BITMAP) std::abort();
    if (kind == KR_UI_REMOTE_ASSET_KIND_FONT && id > 0xFF) std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    mirror_core core;
    core.width = 320;
    core.height = 240;
    core.req = on_request;
    mirror_test::recorder sink;
    sink.keep = false;
    sink.max_tex = 1024;
    size_t p = 0;
    while (p + 3 <= size) {
        const uint8_t tag = data[p] & 3;
        size_t n = (size_t)data[p + 1] | ((size_t)data[p + 2] << 8);
        p += 3;
        if (n > size - p) n = size - p;
        // Exact-size copies: any read past a body is caught.
        std::vector<uint8_t> body(data + p, data + p + n);
        const uint8_t *b = body.empty() ? nullptr : body.data();
        p += n;
        switch (tag) {
        case 0: core.decode(b, (uint32_t)n, sink); break;
        case 1:
            if (n >= 1) {
                std::vector<uint8_t> rest(body.begin() + 1, body.end());
                core.asset(KR_UI_REMOTE_ASSET_KIND_FONT, body[0] | (n >= 2 && (body[1] & 1) ? 0x100u : 0u),
                           rest.empty() ? nullptr : rest.data(), (uint32_t)rest.size(), sink);
            }
            break;
        case 2:
            if (n >= 4) {
                uint32_t id;
                std::memcpy(&id, b, 4);
                std::vector<uint8_t> rest(body.begin() + 4, body.end());
                core.asset(KR_UI_REMOTE_ASSET_KIND_BITMAP, id, rest.empty() ? nullptr : rest.data(),
                           (uint32_t)rest.size(), sink);
            }
            break;
        default: core.step(); break;
        }
        if (core.bitmaps.size() > MIRROR_BITMAP_RECORDS_MAX || sink.live.size() > core.bitmaps.size()) std::abort();
        for (const devbitmap_st &bm : core.bitmaps) {
            if (bm.tex &&
                (bm.missing || bm.refused || bm.w == 0 || bm.h == 0 || bm.w > sink.max_tex || bm.h > sink.max_tex))
                std::abort();
        }
        for (const devfont_st &f : core.fonts)
            if (f.have && (f.height == 0 || f.height > MIRROR_FONT_HEIGHT_MAX)) std::abort();
        for (const auto &a : sink.atlas_asks)
            if (a.second == 0 || a.second > MIRROR_FONT_HEIGHT_MAX) std::abort();
        sink.atlas_asks.clear();
    }
    core.reset(&sink);
    if (!sink.live.empty() || sink.live_pixels != 0) std::abort();
    return 0;
}
