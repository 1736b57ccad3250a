// kr_simdev: simulated CANopen devices on the virtual bus, as a program. Prints "ready" on
// standard output once every device is on the bus (boot-up sent). SIGUSR1 writes the dump file;
// SIGINT and SIGTERM write it and end with status 0. Commands on standard input, one a line:
// dump, raw NODE ID B0.., emcy NODE CODE DATA, hb NODE, fault SPEC, set NODE INDEX SUB HEX, power NODE [MS],
// delay NODE MS (every SDO answer that late; node 0: all).
#include "sim_device.h"
#include "sim_delay.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <iostream>
#include <mutex>
#include <pthread.h>
#include <sstream>
#include <string>
#include <thread>

static void usage(FILE *to)
{
    fprintf(to,
            "usage: kr_simdev --port N [options]\n"
            "  --port N            the hub's port on 127.0.0.1\n"
            "  --bus NAME          bus name (default vcan0)\n"
            "  --node ID[,ID..]    node ids (repeatable; default 0x10)\n"
            "  --dict FILE         dictionary file (INDEX SUB TYPE ACCESS VALUE [STORED] [max=N])\n"
            "  --heartbeat MS      heartbeat period, 0 = none (default 1000)\n"
            "  --vendor N --product N --revision N   identity 0x1018:1..3 (vendor 797)\n"
            "  --name TEXT         device name 0x5FFF (default kr_simdev)\n"
            "  --canif N           CAN interface version 0x2FFF (default 1)\n"
            "  --block-size N      block size offered in block downloads (default 127)\n"
            "  --no-size           upload answers do not indicate their size\n"
            "  --no-bootup         no boot-up frame at start\n"
            "  --reset-delay MS    NMT reset to boot-up (default 50)\n"
            "  --operational       OPERATIONAL right after boot-up\n"
            "  --autostart         OPERATIONAL after every boot-up of the application, as a device that starts itself\n"
            "  --media-block N     media objects 0x5FF8-0x5FFE with this block size (0 = not ready)\n"
            "  --commit-ms MS --clear-ms MS   media commit and clear read non-zero this long\n"
            "  --fault SPEC        e.g. busy:count=3  abort:code=0x06020000,index=0x2000  silent:count=-1\n"
            "                      toggle:stage=1  crc  ackseq:stage=1  drop:every=100,count=-1\n"
            "                      (node=ID, dir=up|down, stage=N, every=N)\n"
            "  --dump FILE         state dump written on SIGUSR1, on the 'dump' command and at exit\n"
            "  --bootloader cia302|kr   a bootloader that takes images through 0x1F50:1\n"
            "  --image FILE        the image running at start\n"
            "  --flash-size N      the most bytes an image may have\n"
            "  --image-dir DIR     each started image is written there as node-0xNN.bin\n"
            "                      faults noreset, quietboot, dead; key xfer=N (the N-th transfer)\n");
}

static bool num(const char *s, long long lo, long long hi, long long &v)
{
    char *end = nullptr;
    errno = 0;
    v = strtoll(s, &end, 0);
    return s[0] != '\0' && *end == '\0' && errno == 0 && v >= lo && v <= hi;
}

static std::mutex out_mutex;
static void say(const std::string &s)
{
    std::lock_guard<std::mutex> lk(out_mutex);
    printf("%s\n", s.c_str());
    fflush(stdout);
}

static std::string command(sim_runner_st *r, const std::string &line, const std::string &dump_path)
{
    std::istringstream in(line);
    std::string cmd;
    in >> cmd;
    std::vector<std::string> w;
    for (std::string t; in >> t;)
        w.push_back(t);
    long long node = 0, a = 0, b = 0;
    auto node_ok = [&] { return !w.empty() && num(w[0].c_str(), 1, 127, node); };
    std::string err;
    if (cmd == "dump") {
        if (dump_path.empty())
            return "error no --dump file";
        return sim_runner_dump_file(r, dump_path, err) ? "ok" : "error " + err;
    }
    if (cmd == "raw" && node_ok() && w.size() >= 2 && w.size() <= 10 && num(w[1].c_str(), 0, 0x1FFFFFFF, a)) {
        uint8_t d[8];
        for (size_t i = 2; i < w.size(); i++) {
            if (!num(("0x" + w[i]).c_str(), 0, 255, b))
                return "error bad byte " + w[i];
            d[i - 2] = (uint8_t)b;
        }
        return sim_dev_send_raw(r, (uint8_t)node, sim_frame_make((uint32_t)a, d, (uint8_t)(w.size() - 2)))
                   ? "ok"
                   : "error send";
    }
    if (cmd == "emcy" && node_ok() && w.size() == 3 && num(w[1].c_str(), 0, 0xFFFF, a) &&
        num(w[2].c_str(), 0, 0xFFFFFFFFLL, b))
        return sim_dev_send_emcy(r, (uint8_t)node, (uint16_t)a, (uint32_t)b) ? "ok" : "error no such node";
    if (cmd == "power" && node_ok() && w.size() <= 2) {
        if (w.size() == 2 && !num(w[1].c_str(), 0, 600000, a))
            return "error bad time";
        return sim_dev_power(r, (uint8_t)node, w.size() == 2 ? (uint32_t)a : 500) ? "ok" : "error no such node";
    }
    if (cmd == "delay" && w.size() == 2 && num(w[0].c_str(), 0, 127, node) && num(w[1].c_str(), 0, 600000, a)) {
        sim_dev_set_sdo_delay(r, (uint8_t)node, (uint32_t)a);
        return "ok";
    }
    if (cmd == "hb" && node_ok() && w.size() == 1)
        return sim_dev_send_heartbeat(r, (uint8_t)node) ? "ok" : "error no such node";
    if (cmd == "fault" && w.size() == 1) {
        sim_fault_st f;
        uint8_t n;
        if (!sim_fault_parse(w[0], f, n, err))
            return "error " + err;
        sim_dev_add_fault(r, n, f);
        return "ok";
    }
    if (cmd == "set" && node_ok() && w.size() == 4 && num(w[1].c_str(), 0, 0xFFFF, a) && num(w[2].c_str(), 0, 255, b)) {
        std::vector<uint8_t> v;
        long long x;
        for (size_t i = 0; i + 1 < w[3].size(); i += 2) {
            if (!num(("0x" + w[3].substr(i, 2)).c_str(), 0, 255, x))
                return "error bad hex";
            v.push_back((uint8_t)x);
        }
        return sim_dev_set(r, (uint8_t)node, (uint16_t)a, (uint8_t)b, v) ? "ok" : "error no such object";
    }
    return "error unknown or malformed command: " + line;
}

int main(int argc, char **argv)
{
    sim_device_config_st base;
    std::vector<uint8_t> nodes;
    std::vector<std::pair<uint8_t, sim_fault_st>> faults;
    std::string bus = "vcan0", dump_path;
    long long port = -1;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        const char *v = i + 1 < argc ? argv[i + 1] : nullptr;
        long long n = 0;
        auto need = [&](long long lo, long long hi) {
            if (v == nullptr || !num(v, lo, hi, n)) {
                fprintf(stderr, "kr_simdev: bad or missing value for %s\n", a.c_str());
                exit(2);
            }
            i++;
        };
        auto need_text = [&]() -> std::string {
            if (v == nullptr) {
                fprintf(stderr, "kr_simdev: missing value for %s\n", a.c_str());
                exit(2);
            }
            i++;
            return v;
        };
        if (a == "--port") {
            need(1, 65535);
            port = n;
        } else if (a == "--bus") {
            bus = need_text();
        } else if (a == "--node") {
            std::stringstream ss(need_text());
            for (std::string t; std::getline(ss, t, ',');) {
                if (!num(t.c_str(), 1, 127, n)) {
                    fprintf(stderr, "kr_simdev: bad node id '%s'\n", t.c_str());
                    return 2;
                }
                nodes.push_back((uint8_t)n);
            }
        } else if (a == "--dict") {
            base.dict_file = need_text();
        } else if (a == "--heartbeat") {
            need(0, 65535);
            base.heartbeat_ms = (uint16_t)n;
        } else if (a == "--vendor" || a == "--product" || a == "--revision" || a == "--canif") {
            need(0, 0xFFFFFFFFLL);
            (a == "--vendor"     ? base.vendor
             : a == "--product"  ? base.product
             : a == "--revision" ? base.revision
                                 : base.can_if_version) = (uint32_t)n;
        } else if (a == "--name") {
            base.name = need_text();
        } else if (a == "--block-size") {
            need(1, 127);
            base.block_size = (uint8_t)n;
        } else if (a == "--no-size") {
            base.expedited_size = false;
        } else if (a == "--no-bootup") {
            base.bootup = false;
        } else if (a == "--reset-delay") {
            need(0, 60000);
            base.reset_delay_ms = (uint32_t)n;
        } else if (a == "--operational") {
            base.start_operational = true;
        } else if (a == "--autostart") {
            base.auto_start = true;
        } else if (a == "--media-block") {
            need(0, 255);
            base.media.enabled = true;
            base.media.block_size = (uint8_t)n;
        } else if (a == "--commit-ms" || a == "--clear-ms") {
            need(0, 3600000);
            (a == "--commit-ms" ? base.media.commit_ms : base.media.clear_ms) = (uint32_t)n;
        } else if (a == "--fault") {
            sim_fault_st f;
            uint8_t node;
            std::string err;
            if (!sim_fault_parse(need_text(), f, node, err)) {
                fprintf(stderr, "kr_simdev: %s\n", err.c_str());
                return 2;
            }
            faults.push_back({node, f});
        } else if (a == "--bootloader") {
            std::string f = need_text();
            if (f != "cia302" && f != "kr") {
                fprintf(stderr, "kr_simdev: --bootloader is cia302 or kr\n");
                return 2;
            }
            base.program.flavour = f == "kr" ? SIM_BOOT_KR : SIM_BOOT_CIA302;
        } else if (a == "--image") {
            std::string f = need_text();
            std::ifstream in(f, std::ios::binary);
            if (!in) {
                fprintf(stderr, "kr_simdev: cannot read %s\n", f.c_str());
                return 2;
            }
            base.program.image.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        } else if (a == "--flash-size") {
            need(1, 0xFFFFFFFFLL);
            base.program.flash_size = (uint32_t)n;
        } else if (a == "--image-dir") {
            base.program.image_dir = need_text();
        } else if (a == "--dump") {
            dump_path = need_text();
        } else if (a == "--help" || a == "-h") {
            usage(stdout);
            return 0;
        } else {
            fprintf(stderr, "kr_simdev: unknown option '%s'\n", a.c_str());
            usage(stderr);
            return 2;
        }
    }
    if (port < 0) {
        fprintf(stderr, "kr_simdev: --port is required\n");
        usage(stderr);
        return 2;
    }
    if (nodes.empty())
        nodes.push_back(base.node_id);
    std::vector<sim_device_config_st> devs;
    for (uint8_t n : nodes) {
        sim_device_config_st c = base;
        c.node_id = n;
        for (auto &[fn, f] : faults)
            if (fn == 0 || fn == n)
                c.faults.push_back(f);
        devs.push_back(c);
    }

    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    signal(SIGPIPE, SIG_IGN);

    std::string err;
    sim_runner_st *r = sim_runner_start((uint16_t)port, bus, devs, err);
    if (r == nullptr) {
        fprintf(stderr, "kr_simdev: %s\n", err.c_str());
        return 1;
    }
    say("ready");
    // Commands on standard input; at its end the devices simply keep running.
    std::thread([r, dump_path] {
        std::string line;
        while (std::getline(std::cin, line))
            if (!line.empty())
                say(command(r, line, dump_path));
    }).detach();

    int rc = 0;
    for (;;) {
        int sig = 0;
        sigwait(&set, &sig);
        if (!dump_path.empty() && !sim_runner_dump_file(r, dump_path, err)) {
            fprintf(stderr, "kr_simdev: %s\n", err.c_str());
            rc = 1;
        }
        if (sig != SIGUSR1)
            break;
    }
    // The input thread may still be using the devices: the process ends without tearing them
    // down (the kernel closes the connections).
    std::lock_guard<std::mutex> lk(out_mutex);
    fflush(stdout);
    _exit(rc);
}
