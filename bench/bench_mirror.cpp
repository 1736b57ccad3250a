// Display mirror benchmarks, in the release tree:
//   xvfb-run -a -s "-screen 0 1280x800x24" build-release/bench_mirror
// The decoder runs without a window on a recording sink; without a display only that part runs.
#include <fcntl.h>
#include <lodepng.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench_support.h"
#include "ui/mirror.h"
#include "ui/mirror_recorder.h"

namespace {

using bench::mono_ms;
using bench::percentile;
using bench::quiet_stdout;

constexpr int FRAME_COMMANDS = 2000;
constexpr int BITMAP_IDS = 8;
constexpr uint16_t W = 800, H = 480;

// A frame as a device's screen sends it: mostly panels (rounded rectangles) and labels, some icons,
// lines, dots and a graph, all inside the display.
std::vector<uint8_t> recorded_frame(int commands, int only = -1)
{
    static const char *const labels[] = {
        "Speed",      "12.5 km/h",   "Battery 87 %", "Hydraulics", "Pump pressure", "OK", "Boom angle 14.2\xC2\xB0",
        "Mode: AUTO", "Warnings (0)"};
    mirror_test::list_builder l;
    l.frame(0xFF202020);
    unsigned seed = 12345;
    auto rnd = [&](unsigned n) {
        seed = seed * 1103515245u + 12345u;
        return (int)((seed >> 8) % n);
    };
    for (int i = 1; i < commands - 1; ++i) {
        const int k = only >= 0 ? only : rnd(100);
        const int x = rnd(W - 100), y = rnd(H - 60);
        if (k < 45)
            l.rrect(x, y, 20 + rnd(80), 10 + rnd(50), rnd(12), 0xFF000000u | (uint32_t)rnd(0xFFFFFF));
        else if (k < 75)
            l.text((uint8_t)(rnd(2) ? rnd(5) : 0x80 | rnd(5)), x, y, (uint16_t)(rnd(2) ? 0x200 : 0), 0xFFFFFFFF,
                   labels[rnd(9)]);
        else if (k < 85)
            l.bitmap((uint32_t)(100 + rnd(BITMAP_IDS)), x, y, 32, 32, 0xFFFFFFFF);
        else if (k < 93)
            l.line(x, y, x + rnd(90), y + rnd(50), 1 + rnd(4), 0xFF80C0FF);
        else if (k < 97)
            l.point(x, y, 4 + rnd(12), 0xFFFFC000);
        else {
            std::vector<std::pair<int, int>> pts;
            for (int p = 0; p < 16; ++p) pts.push_back({x + p * 5, y + rnd(50)});
            l.strip(2, 0xFF00FF80, pts);
        }
    }
    l.end();
    return l.b;
}

std::vector<uint8_t> icon_png()
{
    std::vector<unsigned char> px(32 * 32 * 4);
    for (size_t i = 0; i < px.size(); ++i) px[i] = (unsigned char)(i * 7);
    unsigned char *out = nullptr;
    size_t len = 0;
    lodepng_encode32(&out, &len, px.data(), 32, 32);
    std::vector<uint8_t> v(out, out + len);
    std::free(out);
    return v;
}

void decoder_alone(const std::vector<uint8_t> &frame, const std::vector<uint8_t> &png)
{
    mirror_core core;
    core.width = W;
    core.height = H;
    mirror_test::recorder sink;
    sink.keep = false;
    {
        quiet_stdout q;
        for (uint32_t id = 100; id < 100 + BITMAP_IDS; ++id)
            core.asset(KR_UI_REMOTE_ASSET_KIND_BITMAP, id, png.data(), (uint32_t)png.size(), sink);
    }
    const uint64_t c0 = core.commands;
    core.decode(frame.data(), (uint32_t)frame.size(), sink); // warm-up
    const uint64_t per_frame = core.commands - c0;
    int reps = 0;
    const double t0 = mono_ms();
    double t = 0;
    do {
        for (int i = 0; i < 50; ++i) core.decode(frame.data(), (uint32_t)frame.size(), sink);
        reps += 50;
        t = mono_ms() - t0;
    } while (t < 2000);
    const double bytes = (double)frame.size() * reps;
    std::printf("decoder alone: %d frames of %llu commands (%zu bytes): %.1f MB/s, %.2f M commands/s, "
                "%.3f ms a frame (goal: 50 MB/s)\n",
                reps, (unsigned long long)per_frame, frame.size(), bytes / 1e6 / (t / 1e3),
                (double)per_frame * reps / 1e6 / (t / 1e3), t / reps);
}

void window_frames(const std::vector<uint8_t> &frame, const std::vector<uint8_t> &png, const char *what)
{
    if (!getenv("DISPLAY")) {
        std::printf("window frames: skipped, no DISPLAY (run under xvfb-run)\n");
        return;
    }
    {
        quiet_stdout q;
        if (!remoteui_win_open("bench", W, H)) {
            std::fprintf(stderr, "no mirror window\n");
            return;
        }
        for (uint32_t id = 100; id < 100 + BITMAP_IDS; ++id)
            remoteui_win_asset_received(KR_UI_REMOTE_ASSET_KIND_BITMAP, id, png.data(), (uint32_t)png.size());
        for (int i = 0; i < 5; ++i) remoteui_win_draw_frame(frame.data(), (uint32_t)frame.size()); // atlases
    }
    std::vector<double> t;
    for (int i = 0; i < 300; ++i) {
        const double t0 = mono_ms();
        remoteui_win_draw_frame(frame.data(), (uint32_t)frame.size());
        t.push_back(mono_ms() - t0);
        remoteui_win_poll_events();
    }
    std::printf("window frames (%s): %d-command frame at %ux%u decoded, drawn and shown: median %.2f ms, "
                "p99 %.2f ms, worst %.2f ms (goal: p99 10 ms)\n",
                what, FRAME_COMMANDS, W, H, percentile(t, 0.5), percentile(t, 0.99),
                *std::max_element(t.begin(), t.end()));
    remoteui_win_close();
}

} // namespace

int main()
{
    const std::vector<uint8_t> frame = recorded_frame(FRAME_COMMANDS);
    const std::vector<uint8_t> png = icon_png();
    decoder_alone(frame, png);
    window_frames(frame, png, "the mix");
    if (getenv("KR_BENCH_KINDS")) {
        window_frames(recorded_frame(FRAME_COMMANDS, 0), png, "rounded rectangles");
        window_frames(recorded_frame(FRAME_COMMANDS, 50), png, "text");
        window_frames(recorded_frame(FRAME_COMMANDS, 80), png, "bitmaps");
        window_frames(recorded_frame(FRAME_COMMANDS, 90), png, "lines");
    }
    return 0;
}
