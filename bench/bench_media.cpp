// A 128 KiB media file to a simulated display (every commit stored at once) on the unpaced hub with
// block size 200, and through the hub paced at 250 kbit/s and 1 Mbit/s with block size 255, beside the same client's plain segmented download of the
// same bytes to one object, and beside the wire limit of segmented SDO: the bus time of that plain
// download's frames (7 data bytes per request/answer pair). Also the polls of the commit object per
// block and the gap the tool leaves between an answer and its next request. Arguments pick the bit
// rates (0: unpaced); none runs all three. The tool runs in a child process (a fresh run of this
// program), since its scheduler never returns.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "database/db.h"
#include "kr_can.h"
#include "kr_canopen.h"
#include "kr_rtos.h"
#include "run/main.h"
#include "firmware/media.h"
#include "e2e/e2e.h"
#include "sim_media.h"
#include "sim_setup.h"

namespace {

constexpr uint8_t NODE = 0x10;
constexpr uint32_t SIZE = 128 * 1024;
constexpr uint16_t PLAIN_INDEX = 0x2100;

uint8_t payload(uint32_t i) { return (uint8_t)((i * 2654435761u) >> 24); }

int child_fd = -1;
bool child_media = false;
std::string child_file;

void child_task(void *)
{
    static uint8_t buf[SIZE];
    for (uint32_t i = 0; i < SIZE; i++) buf[i] = payload(i);
    kr_rtos_task_delay(50);
    uint32_t t0 = kr_rtos_get_tick_count();
    bool ok;
    if (child_media)
        ok = run_media_path(child_file.c_str(), nullptr);
    else
        ok = _kr_canopen_sdo_client_write(NODE, PLAIN_INDEX, 0, SIZE, buf) == ERR_NONE;
    uint32_t ms = kr_rtos_get_tick_count() - t0;
    char line[64];
    int n = snprintf(line, sizeof line, "%d %u\n", ok ? 1 : 0, ms);
    if (write(child_fd, line, (size_t)n) < 0) _exit(3);
    _exit(ok ? 0 : 1);
}

[[noreturn]] void child(const char *port, const char *result_file, const char *mode, const char *file)
{
    child_fd = open(result_file, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    child_media = strcmp(mode, "media") == 0;
    child_file = file;
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1); // the progress lines
    init(&dev);
    silent = true;
    snprintf(dev.can_channel, sizeof dev.can_channel, "socketcand://127.0.0.1:%s/vcan0", port);
    kr_can_set_baudrate(dev.can_channel, 250000);
    if (kr_can_set_up(true)) _exit(2);
    db_set_nodeid_force(&dev.db, NODE);
    kr_init(&dev);
    kr_rtos_task_create(child_task, "bench", 51200, nullptr, 2, nullptr);
    kr_rtos_start_scheduler();
    _exit(4);
}

struct outcome {
    bool ok = false;
    double secs = 0;     // first request to last answer, on the bus
    double bus_secs = 0; // bus time of every frame of the transfer
    uint64_t blocks = 0, polls = 0, requests = 0;
    double gap_us = 0; // median: an answer to the tool's next request
};

outcome run(const char *self, uint32_t bitrate, bool media, const std::string &file, uint8_t block_size)
{
    outcome res;
    std::string err;
    sim_device_config_st d;
    d.node_id = NODE;
    d.heartbeat_ms = 0;
    d.media.enabled = true;
    d.media.block_size = block_size;
    sim_setup_st bench;
    if (!sim_setup_start(bench, {d}, bitrate, err, true)) {
        fprintf(stderr, "bench_media: %s\n", err.c_str());
        return res;
    }
    sim_object_st dom;
    dom.type = SIM_DOMAIN;
    dom.max_size = SIZE;
    sim_dev_add_object(bench.devs, NODE, PLAIN_INDEX, 0, dom);
    sim_tap_clear(bench.tap);

    e2e::sandbox box;
    e2e::options o;
    o.timeout_ms = 600000;
    box.run(self, {"--child", std::to_string(bench.port), box.path("result").string(), media ? "media" : "plain", file},
            o);
    std::string out = box.read_file("result");
    int ok = 0;
    unsigned ms = 0;
    sscanf(out.c_str(), "%d %u", &ok, &ms);

    // The tap may still be reading the last frames the child already saw.
    size_t seen = 0;
    for (int i = 0; i < 50; i++) {
        usleep(20000);
        size_t now = sim_tap_count(bench.tap);
        if (now == seen) break;
        seen = now;
    }
    std::vector<sim_frame_st> frames = sim_tap_frames(bench.tap);
    bool same = true;
    if (media) {
        std::vector<sim_media_file_st> got = sim_media_files(bench.devs, NODE);
        same = got.size() == 1 && got[0].data.size() == SIZE;
        for (uint32_t i = 0; same && i < SIZE; i++) same = got[0].data[i] == payload(i);
    } else {
        std::vector<uint8_t> got;
        same = sim_dev_get(bench.devs, NODE, PLAIN_INDEX, 0, got) && got.size() == SIZE;
        for (uint32_t i = 0; same && i < SIZE; i++) same = got[i] == payload(i);
    }
    sim_setup_stop(bench);
    if (!ok || !same) {
        fprintf(stderr, "bench_media: %u bit/s %s: transfer failed (%s, data %s)\n", bitrate, media ? "media" : "plain",
                out.c_str(), same ? "intact" : "wrong");
        return res;
    }

    int64_t first = -1, last = -1, answered = -1;
    uint64_t bits = 0;
    std::vector<double> gaps;
    for (const sim_frame_st &f : frames) {
        bool req = f.id == 0x600u + NODE, rsp = f.id == 0x580u + NODE;
        if (!req && !rsp) continue;
        bits += sim_can_frame_bits(f);
        if (req) {
            if (first < 0) first = f.stamp_us;
            res.requests++;
            uint16_t index = (uint16_t)(f.data[1] | f.data[2] << 8);
            if ((f.data[0] & 0xE0) == 0x40 && index == 0x5FF9) res.polls++;
            if ((f.data[0] & 0xE0) == 0x20 && index == 0x5FF9) res.blocks++;
            if (answered >= 0) gaps.push_back((double)(f.stamp_us - answered));
        }
        if (rsp) {
            last = f.stamp_us;
            answered = f.stamp_us;
        }
    }
    std::sort(gaps.begin(), gaps.end());
    res.gap_us = gaps.empty() ? 0 : gaps[gaps.size() / 2];
    res.secs = (double)(last - first) / 1e6;
    // Unpaced, the bus time is given as at 1 Mbit/s.
    res.bus_secs = (double)bits / (bitrate ? bitrate : 1000000u);
    res.ok = true;
    return res;
}

} // namespace

int main(int argc, char **argv)
{
    e2e::remove_sandboxes_at_signal(); // a benchmark stopped with Ctrl-C leaves no sandbox behind
    if (argc == 6 && strcmp(argv[1], "--child") == 0) child(argv[2], argv[3], argv[4], argv[5]);
    std::string self = argv[0];
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n > 0) self.assign(path, (size_t)n);
    e2e::sandbox box;
    std::string file = box.path("media.bin").string();
    {
        std::ofstream f(file, std::ios::binary);
        for (uint32_t i = 0; i < SIZE; i++) f.put((char)payload(i));
    }
    std::vector<uint32_t> rates;
    for (int i = 1; i < argc; i++) rates.push_back((uint32_t)strtoul(argv[i], nullptr, 0));
    if (rates.empty()) rates = {0u, 250000u, 1000000u};
    bool ok = true;
    for (uint32_t rate : rates) {
        uint8_t block_size = rate ? 255 : 200;
        outcome plain = run(self.c_str(), rate, false, file, block_size);
        outcome media = run(self.c_str(), rate, true, file, block_size);
        if (!plain.ok || !media.ok) {
            ok = false;
            continue;
        }
        char label[48];
        if (rate)
            snprintf(label, sizeof label, "%7u bit/s, block size %u", rate, block_size);
        else
            snprintf(label, sizeof label, "unpaced, block size %u", block_size);
        printf("%s: plain segmented download %.2f s (%.1f kB/s; wire limit of its frames %.2f s, %.0f%% of "
               "it; answer-to-request gap median %.0f us)\n",
               label, plain.secs, SIZE / plain.secs / 1000.0, plain.bus_secs, 100.0 * plain.bus_secs / plain.secs,
               plain.gap_us);
        printf("%s: media file %.2f s (%.1f kB/s) = %.1f%% of the plain download, %.1f%% of segmented SDO's "
               "wire limit; %llu blocks, %.2f commit polls per block, %.1f requests per block; bus busy %.0f%%; gap "
               "median %.0f us\n",
               label, media.secs, SIZE / media.secs / 1000.0, 100.0 * plain.secs / media.secs,
               100.0 * plain.bus_secs / media.secs, (unsigned long long)media.blocks,
               media.blocks ? (double)media.polls / (double)media.blocks : 0.0,
               media.blocks ? (double)media.requests / (double)media.blocks : 0.0, 100.0 * media.bus_secs / media.secs,
               media.gap_us);
        fflush(stdout);
    }
    return ok ? 0 : 1;
}
