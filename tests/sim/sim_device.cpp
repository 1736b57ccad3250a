// Simulated CANopen devices: the runner that carries several on one thread, each device's frames,
// timers and faults, and the accessors test code uses. The SDO server (sim_sdo_server.cpp), NMT
// with heartbeat (sim_nmt.cpp) and the dictionary (sim_dict.cpp) have files of their own.
#include "sim_device_internal.h"
#include "sim_fork_gate.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <poll.h>
#include <sstream>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

struct sim_runner_st {
    std::mutex m;
    std::vector<std::unique_ptr<sim_dev_st>> devs;
    std::thread thread;
    int wake_fd = -1;
    std::atomic<bool> stop{false};
    // sim_runner_settle: calls asked so far, and the last one a settled round answered (under m).
    std::condition_variable settle_cv;
    uint64_t settle_asked = 0, settle_done = 0;
};

void sim_dev_send_frame(sim_dev_st &d, const sim_frame_st &f)
{
    if (!sim_client_send(d.client, f))
        fprintf(stderr, "kr_simdev: node 0x%02X: cannot send %s: %s\n", d.cfg.node_id, sim_frame_str(f).c_str(),
                d.client.last_error.c_str());
}

void sim_dev_txpdo_object_set(sim_dev_st &d, uint16_t index, uint8_t sub)
{
    sim_txpdo_object_set(d.tx, d.od, d.state, index, sub, sim_mono_ns(),
                         [&d](const sim_frame_st &p) { sim_dev_send_frame(d, p); });
}

// A fault of this kind for the transfer in hand at this stage, if one is armed; it is used up.
sim_fault_st *sim_fault_take(sim_dev_st &d, uint8_t kind, uint32_t stage)
{
    for (auto &f : d.faults) {
        if (f.kind != kind || f.count == 0)
            continue;
        if (f.xfer != 0 && f.xfer != d.prog.transfers)
            continue;
        if (f.index >= 0 && f.index != d.x.index)
            continue;
        if (f.sub >= 0 && f.sub != d.x.sub)
            continue;
        if (f.dir != SIM_DIR_ANY && (f.dir == SIM_DIR_UPLOAD) != d.x.upload)
            continue;
        bool staged = kind != SIM_FAULT_CRC && kind < SIM_FAULT_NORESET;
        if (staged && (f.every ? stage == 0 || stage % f.every != 0 : f.stage != stage))
            continue;
        if (f.count > 0)
            f.count--;
        f.fired++;
        return &f;
    }
    return nullptr;
}

namespace {

void on_frame(sim_dev_st &d, const sim_frame_st &f)
{
    if (f.kind != SIM_FRAME_STD || sim_prog_silent(d.prog))
        return;
    if (f.id == 0)
        sim_nmt_command(d, f);
    else if (f.id == 0x80 && f.len <= 1)
        sim_txpdo_sync(d.tx, d.od, d.state, sim_mono_ns(), [&d](const sim_frame_st &p) { sim_dev_send_frame(d, p); });
    else if (f.id == 0x600u + d.cfg.node_id && (d.state == 127 || d.state == 5 || sim_prog_in_boot(d.prog)) &&
             !sim_media_terminal(d.media, d.cfg.node_id, f, [&d](const sim_frame_st &r) { sim_dev_send_frame(d, r); }))
        sim_sdo_server_request(d, f);
}

void on_timers(sim_dev_st &d, int64_t now)
{
    sim_delay_release(d.delay, now, [&d](const sim_frame_st &f) { sim_dev_send_frame(d, f); });
    sim_nmt_timers(d, now);
    if (sim_prog_silent(d.prog))
        return;
    sim_hb_timer(d, now);
    sim_txpdo_timers(d.tx, d.od, d.state, now, [&d](const sim_frame_st &p) { sim_dev_send_frame(d, p); });
}

int64_t next_timer(sim_dev_st &d)
{
    int64_t t = 0;
    if (d.prog.mode == SIM_MODE_DEAD)
        return 0;
    if (d.prog.mode == SIM_MODE_OFF)
        return d.prog.power_on_ns;
    for (int64_t c : {d.reset_at_ns, d.state != 0 || sim_prog_in_boot(d.prog) ? d.next_hb_ns : 0, sim_txpdo_next(d.tx),
                      sim_delay_next(d.delay)})
        if (c != 0 && (t == 0 || c < t))
            t = c;
    return t;
}

// Every frame that reached a device is taken in, and no device is about to boot.
bool settled(sim_runner_st *r)
{
    for (auto &d : r->devs) {
        int n = 0;
        if (d->reset_at_ns != 0 || d->prog.mode == SIM_MODE_OFF)
            return false;
        if (ioctl(d->client.fd, FIONREAD, &n) == 0 && n > 0)
            return false;
    }
    return true;
}

void runner_loop(sim_runner_st *r)
{
    std::vector<pollfd> pfds;
    std::string el, garbage, err;
    char buf[65536];
    for (;;) {
        int64_t wake = 0;
        pfds.clear();
        {
            std::lock_guard<std::mutex> lk(r->m);
            int64_t now = sim_mono_ns();
            for (auto &d : r->devs) {
                on_timers(*d, now);
                int64_t t = next_timer(*d);
                if (t != 0 && (wake == 0 || t < wake))
                    wake = t;
                pfds.push_back({d->client.fd, POLLIN, 0});
            }
            if (r->settle_asked != r->settle_done && settled(r)) {
                r->settle_done = r->settle_asked;
                r->settle_cv.notify_all();
            }
        }
        pfds.push_back({r->wake_fd, POLLIN, 0});
        int timeout = -1;
        if (wake != 0) {
            int64_t left = wake - sim_mono_ns();
            timeout = left <= 0 ? 0 : (int)((left + 999999) / 1000000);
        }
        if (sim_gate_poll(pfds.data(), pfds.size(), timeout) < 0 && errno != EINTR)
            break;
        if (pfds.back().revents & POLLIN) {
            uint64_t v;
            if (read(r->wake_fd, &v, sizeof v) < 0 && errno != EAGAIN)
                break;
            if (r->stop)
                break;
        }
        std::lock_guard<std::mutex> lk(r->m);
        for (size_t i = 0; i < r->devs.size(); i++) {
            if (!(pfds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            sim_dev_st &d = *r->devs[i];
            ssize_t n = recv(d.client.fd, buf, sizeof buf, MSG_DONTWAIT);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
                fprintf(stderr, "kr_simdev: node 0x%02X: the bus connection closed\n", d.cfg.node_id);
                return;
            }
            if (n < 0)
                continue;
            sim_element_feed(d.client.in, buf, (size_t)n);
            while (sim_element_next(d.client.in, el, garbage)) {
                sim_frame_st f;
                if (sim_parse_rx(el, f, err))
                    on_frame(d, f);
            }
        }
    }
}

sim_dev_st *find_dev(sim_runner_st *r, uint8_t node)
{
    for (auto &d : r->devs)
        if (d->cfg.node_id == node)
            return d.get();
    return nullptr;
}

std::string hex(const std::vector<uint8_t> &v)
{
    static const char *digits = "0123456789ABCDEF";
    std::string s = v.empty() ? "-" : "";
    for (uint8_t b : v) {
        s += digits[b >> 4];
        s += digits[b & 15];
    }
    return s;
}

} // namespace

sim_runner_st *sim_runner_start(uint16_t port, const std::string &bus, const std::vector<sim_device_config_st> &devs,
                                std::string &err)
{
    auto r = std::make_unique<sim_runner_st>();
    for (const auto &c : devs) {
        if (c.node_id == 0 || c.node_id > 127) {
            err = "node id " + std::to_string(c.node_id) + " is outside 1..127";
            return nullptr;
        }
        if (find_dev(r.get(), c.node_id) != nullptr) {
            err = "node id " + std::to_string(c.node_id) + " given twice";
            return nullptr;
        }
        auto d = std::make_unique<sim_dev_st>();
        d->cfg = c;
        d->faults = c.faults;
        if (!sim_dict_build(*d, err))
            return nullptr;
        if (!sim_client_connect(d->client, "127.0.0.1", port, bus)) {
            err = d->client.last_error;
            return nullptr;
        }
        r->devs.push_back(std::move(d));
    }
    for (auto &d : r->devs) {
        if (d->cfg.bootup) {
            sim_nmt_bootup(*d);
        } else {
            d->state = 127;
            int64_t p = sim_hb_period_ns(*d);
            d->next_hb_ns = p ? sim_mono_ns() + p : 0;
        }
        if (d->cfg.start_operational)
            d->state = 5;
    }
    r->wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (r->wake_fd < 0) {
        err = std::string("eventfd: ") + strerror(errno);
        return nullptr;
    }
    r->thread = sim_gate_thread(runner_loop, r.get());
    return r.release();
}

bool sim_runner_settle(sim_runner_st *r, int timeout_ms)
{
    std::unique_lock<std::mutex> lk(r->m);
    uint64_t mine = ++r->settle_asked;
    uint64_t one = 1;
    if (write(r->wake_fd, &one, sizeof one) < 0)
        perror("kr_simdev: eventfd");
    return r->settle_cv.wait_for(lk, std::chrono::milliseconds(timeout_ms), [&] { return r->settle_done >= mine; });
}

void sim_runner_stop(sim_runner_st *r)
{
    if (r == nullptr)
        return;
    uint64_t one = 1;
    r->stop = true;
    if (write(r->wake_fd, &one, sizeof one) < 0)
        for (auto &d : r->devs)
            shutdown(d->client.fd, SHUT_RDWR);
    r->thread.join();
    close(r->wake_fd);
    for (auto &d : r->devs)
        sim_client_close(d->client);
    delete r;
}

#define WITH_DEV(fail)                    \
    std::lock_guard<std::mutex> lk(r->m); \
    sim_dev_st *d = find_dev(r, node);    \
    if (d == nullptr)                     \
        return fail;

bool sim_dev_get(sim_runner_st *r, uint8_t node, uint16_t index, uint8_t sub, std::vector<uint8_t> &value)
{
    WITH_DEV(false)
    auto it = d->od.find(sim_key(index, sub));
    if (it == d->od.end())
        return false;
    value = it->second.value;
    return true;
}

bool sim_dev_with_ext(sim_runner_st *r, uint8_t node, const std::function<void(sim_ext_st &, sim_od_t &)> &fn)
{
    WITH_DEV(false)
    if (!d->ext)
        return false;
    fn(*d->ext, d->od);
    return true;
}

bool sim_dev_get_stored(sim_runner_st *r, uint8_t node, uint16_t index, uint8_t sub, std::vector<uint8_t> &value)
{
    WITH_DEV(false)
    auto it = d->od.find(sim_key(index, sub));
    if (it == d->od.end())
        return false;
    value = it->second.stored;
    return true;
}

uint32_t sim_dev_get_u32(sim_runner_st *r, uint8_t node, uint16_t index, uint8_t sub)
{
    std::vector<uint8_t> v;
    if (!sim_dev_get(r, node, index, sub, v))
        return 0;
    uint32_t x = 0;
    for (size_t i = 0; i < v.size() && i < 4; i++)
        x |= (uint32_t)v[i] << (8 * i);
    return x;
}

bool sim_dev_set(sim_runner_st *r, uint8_t node, uint16_t index, uint8_t sub, const std::vector<uint8_t> &value)
{
    WITH_DEV(false)
    auto it = d->od.find(sim_key(index, sub));
    if (it == d->od.end())
        return false;
    it->second.value = value;
    sim_dev_txpdo_object_set(*d, index, sub);
    uint64_t one = 1; // the runner recomputes its wake-up
    if (write(r->wake_fd, &one, sizeof one) < 0)
        perror("kr_simdev: eventfd");
    return true;
}

bool sim_dev_add_object(sim_runner_st *r, uint8_t node, uint16_t index, uint8_t sub, const sim_object_st &obj)
{
    WITH_DEV(false)
    d->od[sim_key(index, sub)] = obj;
    return true;
}

uint8_t sim_dev_nmt_state(sim_runner_st *r, uint8_t node)
{
    WITH_DEV(0)
    return d->state;
}

std::vector<uint8_t> sim_dev_nmt_log(sim_runner_st *r, uint8_t node)
{
    WITH_DEV({})
    return d->nmt_log;
}

std::vector<sim_write_log_st> sim_dev_write_log(sim_runner_st *r, uint8_t node)
{
    WITH_DEV({})
    return d->write_log;
}

size_t sim_dev_write_count(sim_runner_st *r, uint8_t node, uint16_t index, int sub)
{
    size_t n = 0;
    for (const sim_write_log_st &w : sim_dev_write_log(r, node))
        n += w.index == index && (sub < 0 || w.sub == sub);
    return n;
}

size_t sim_dev_nmt_count(sim_runner_st *r, uint8_t node, uint8_t command)
{
    std::vector<uint8_t> log = sim_dev_nmt_log(r, node);
    return (size_t)std::count(log.begin(), log.end(), command);
}

std::vector<uint32_t> sim_dev_abort_log(sim_runner_st *r, uint8_t node)
{
    WITH_DEV({})
    return d->abort_log;
}

uint32_t sim_dev_bootups(sim_runner_st *r, uint8_t node)
{
    WITH_DEV(0)
    return d->bootups;
}

uint32_t sim_dev_transfers(sim_runner_st *r, uint8_t node)
{
    WITH_DEV(0)
    return d->prog.transfers;
}

void sim_dev_add_fault(sim_runner_st *r, uint8_t node, const sim_fault_st &f)
{
    std::lock_guard<std::mutex> lk(r->m);
    for (auto &d : r->devs)
        if (node == 0 || d->cfg.node_id == node)
            d->faults.push_back(f);
}

void sim_dev_set_sdo_delay(sim_runner_st *r, uint8_t node, uint32_t ms)
{
    std::lock_guard<std::mutex> lk(r->m);
    for (auto &d : r->devs)
        if (node == 0 || d->cfg.node_id == node)
            d->delay.ms = ms;
}

void sim_dev_clear_faults(sim_runner_st *r, uint8_t node)
{
    std::lock_guard<std::mutex> lk(r->m);
    for (auto &d : r->devs)
        if (node == 0 || d->cfg.node_id == node)
            d->faults.clear();
}

void sim_dev_set_heartbeat(sim_runner_st *r, uint8_t node, uint16_t ms)
{
    {
        WITH_DEV()
        d->od[sim_key(0x1017, 0)].value = sim_le(ms, 2);
        d->next_hb_ns = ms ? sim_mono_ns() + (int64_t)ms * 1000000 : 0;
    }
    uint64_t one = 1; // the runner recomputes its wake-up
    if (write(r->wake_fd, &one, sizeof one) < 0)
        perror("kr_simdev: eventfd");
}

bool sim_dev_send_raw(sim_runner_st *r, uint8_t node, const sim_frame_st &f)
{
    WITH_DEV(false)
    return sim_client_send(d->client, f);
}

bool sim_dev_send_emcy(sim_runner_st *r, uint8_t node, uint16_t code, uint32_t data)
{
    // The maker's layout: data in bytes 0-3, the error code in bytes 6-7.
    uint8_t b[8] = {(uint8_t)data, (uint8_t)(data >> 8), (uint8_t)(data >> 16), (uint8_t)(data >> 24), 0, 0,
                    (uint8_t)code, (uint8_t)(code >> 8)};
    return sim_dev_send_raw(r, node, sim_frame_make(0x80u + node, b, 8));
}

bool sim_dev_send_heartbeat(sim_runner_st *r, uint8_t node)
{
    WITH_DEV(false)
    return sim_client_send(d->client, sim_frame_std(0x700u + node, {d->state}));
}

bool sim_dev_media(sim_runner_st *r, uint8_t node,
                   const std::function<void(sim_media_st &, std::map<uint32_t, sim_object_st> &)> &fn)
{
    WITH_DEV(false)
    fn(d->media, d->od);
    return true;
}

sim_prog_info_st sim_dev_program(sim_runner_st *r, uint8_t node)
{
    WITH_DEV({})
    sim_prog_info_st i;
    i.mode = d->prog.mode;
    i.image = d->prog.image;
    i.flashes = d->prog.flashes;
    i.pending = d->prog.pending.size();
    i.started_ns = d->prog.started_ns;
    return i;
}

bool sim_dev_power(sim_runner_st *r, uint8_t node, uint32_t ms)
{
    {
        WITH_DEV(false)
        d->reset_at_ns = 0;
        d->x.state = SIM_XFER_IDLE;
        sim_prog_power(d->prog, ms);
    }
    uint64_t one = 1; // the runner recomputes its wake-up
    if (write(r->wake_fd, &one, sizeof one) < 0)
        perror("kr_simdev: eventfd");
    return true;
}

std::string sim_runner_dump(sim_runner_st *r)
{
    std::lock_guard<std::mutex> lk(r->m);
    std::ostringstream o;
    char buf[64];
    for (auto &d : r->devs) {
        unsigned n = d->cfg.node_id;
        o << "node " << n << " state " << (unsigned)d->state << " bootups " << d->bootups << "\n";
        for (auto &[key, obj] : d->od) {
            snprintf(buf, sizeof buf, "obj %u 0x%04X %u", n, (unsigned)(key >> 8), (unsigned)(key & 0xFF));
            o << buf << " value " << hex(obj.value) << " stored " << hex(obj.stored) << "\n";
        }
        for (uint8_t c : d->nmt_log)
            o << "nmt " << n << " " << (unsigned)c << "\n";
        for (auto &w : d->write_log) {
            snprintf(buf, sizeof buf, "write %u 0x%04X %u %u %c", n, w.index, w.sub, w.size, w.how);
            o << buf << "\n";
        }
        for (uint32_t a : d->abort_log) {
            snprintf(buf, sizeof buf, "abort %u 0x%08X", n, a);
            o << buf << "\n";
        }
        if (d->cfg.program.flavour != SIM_BOOT_NONE)
            o << sim_prog_dump_line(d->prog) << "\n";
        sim_media_dump(d->media, n, o);
    }
    return o.str();
}

bool sim_runner_dump_file(sim_runner_st *r, const std::string &path, std::string &err)
{
    // Written beside and renamed over, so a reader never sees half a dump.
    std::string text = sim_runner_dump(r), tmp = path + ".tmp";
    {
        std::ofstream f(tmp, std::ios::binary | std::ios::trunc);
        f << text;
        f.close();
        if (!f) {
            err = "cannot write " + tmp;
            return false;
        }
    }
    if (rename(tmp.c_str(), path.c_str()) != 0) {
        err = "cannot rename " + tmp + " to " + path + ": " + strerror(errno);
        return false;
    }
    return true;
}

bool sim_dump_value(const std::string &dump, uint8_t node, uint16_t index, uint8_t sub, std::vector<uint8_t> &value,
                    bool stored)
{
    char key[48];
    snprintf(key, sizeof key, "obj %u 0x%04X %u value ", node, index, sub);
    size_t at = dump.find(key);
    if (at == std::string::npos || (at != 0 && dump[at - 1] != '\n'))
        return false;
    size_t eol = dump.find('\n', at);
    std::istringstream line(dump.substr(at + strlen(key), eol - at - strlen(key)));
    std::string v, word, s;
    line >> v >> word >> s;
    const std::string &h = stored ? s : v;
    value.clear();
    if (h == "-")
        return true;
    for (size_t i = 0; i + 1 < h.size(); i += 2)
        value.push_back((uint8_t)std::stoul(h.substr(i, 2), nullptr, 16));
    return true;
}
