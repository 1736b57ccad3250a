// Simulated CANopen devices: NMT slave, heartbeat producer and an SDO server written from the
// CANopen application layer directly (it shares nothing with the library's SDO code).
#include "sim_device.h"
#include "sim_fork_gate.h"
#include "sim_delay.h"

#include "sim_client.h"
#include "sim_nodeid_opdb.h"
#include "sim_txpdo.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <poll.h>
#include <sstream>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr uint32_t SDO_TOGGLE = 0x05030000;
constexpr uint32_t SDO_CRC = 0x05030004;
constexpr uint32_t SDO_BAD_COMMAND = 0x05040001;
constexpr uint32_t SDO_NO_READ = 0x06010001;
constexpr uint32_t SDO_NO_WRITE = 0x06010002;
constexpr uint32_t SDO_NO_OBJECT = 0x06020000;
constexpr uint32_t SDO_LEN_MISMATCH = 0x06070010;
constexpr uint32_t SDO_LEN_HIGH = 0x06070012;
constexpr uint32_t SDO_NO_SUB = 0x06090011;
constexpr uint32_t SDO_GENERAL = 0x08000000;
constexpr uint32_t SDO_CANNOT_STORE = 0x08000020;
constexpr uint32_t DEFAULT_MAX = 16u << 20;

enum xfer_state_e { X_IDLE, X_DL_SEG, X_UL_SEG, X_DL_BLOCK, X_DL_BLOCK_END };

struct xfer_st {
    xfer_state_e state = X_IDLE;
    uint16_t index = 0;
    uint8_t sub = 0;
    bool upload = false;
    std::vector<uint8_t> buf;
    size_t pos = 0;
    bool size_known = false;
    uint32_t size = 0;
    uint8_t toggle = 0;
    uint32_t replies = 0;      // replies sent in this transfer (the fault stage)
    uint8_t expect_seq = 1;
    bool crc = false;
    bool last_seen = false;    // block download: the segment with the "last" bit was taken
    bool block_broken = false; // a segment went missing in this block
};

} // namespace

struct sim_dev_st {
    sim_device_config_st cfg;
    sim_client_st client;
    std::map<uint32_t, sim_object_st> od;
    uint8_t state = 0;
    int64_t next_hb_ns = 0;
    int64_t reset_at_ns = 0;
    uint8_t reset_cmd = 0;
    xfer_st x;
    std::vector<sim_fault_st> faults;
    std::vector<uint8_t> nmt_log;
    std::vector<sim_write_log_st> write_log;
    std::vector<uint32_t> abort_log;
    uint32_t bootups = 0;
    std::shared_ptr<sim_ext_st> ext; // node-id object and operator database
    sim_program_st prog;
    sim_media_st media;
    sim_txpdo_st tx;
    sim_delay_st delay;
    ~sim_dev_st() { sim_client_close(client); }
};

struct sim_runner_st {
    std::mutex m;
    std::vector<std::unique_ptr<sim_dev_st>> devs;
    std::thread thread;
    int wake_fd = -1;
    std::atomic<bool> stop{false};
};

namespace {

void put32(std::vector<uint8_t> &v, uint32_t x)
{
    v = {(uint8_t)x, (uint8_t)(x >> 8), (uint8_t)(x >> 16), (uint8_t)(x >> 24)};
}

uint32_t get32(const uint8_t *p)
{
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

uint16_t crc16_xmodem(const uint8_t *p, size_t n)
{
    uint16_t crc = 0;
    for (size_t i = 0; i < n; i++) {
        crc ^= (uint16_t)(p[i] << 8);
        for (int b = 0; b < 8; b++)
            crc = (crc & 0x8000) ? (uint16_t)(crc << 1 ^ 0x1021) : (uint16_t)(crc << 1);
    }
    return crc;
}

void add_obj(std::map<uint32_t, sim_object_st> &od, uint16_t index, uint8_t sub, uint8_t type, uint8_t access,
             std::vector<uint8_t> value)
{
    sim_object_st o;
    o.type = type;
    o.access = access;
    o.value = value;
    o.stored = value;
    o.def = value;
    od[sim_key(index, sub)] = o;
}

std::vector<uint8_t> le(uint32_t v, size_t n)
{
    std::vector<uint8_t> out;
    for (size_t i = 0; i < n; i++)
        out.push_back((uint8_t)(v >> (8 * i)));
    return out;
}

bool build_dictionary(sim_dev_st &d, std::string &err)
{
    const sim_device_config_st &c = d.cfg;
    auto &od = d.od;
    add_obj(od, 0x1000, 0, SIM_U32, SIM_RO, le(0, 4));
    for (uint16_t idx : {0x1010, 0x1011}) {
        add_obj(od, idx, 0, SIM_U8, SIM_RO, {3});
        for (uint8_t s = 1; s <= 3; s++)
            add_obj(od, idx, s, SIM_U32, SIM_RW, le(1, 4));
    }
    add_obj(od, 0x1017, 0, SIM_U16, SIM_RW, le(c.heartbeat_ms, 2));
    add_obj(od, 0x1018, 0, SIM_U8, SIM_RO, {3});
    add_obj(od, 0x1018, 1, SIM_U32, SIM_RO, le(c.vendor, 4));
    add_obj(od, 0x1018, 2, SIM_U32, SIM_RO, le(c.product, 4));
    add_obj(od, 0x1018, 3, SIM_U32, SIM_RO, le(c.revision, 4));
    add_obj(od, 0x2FFF, 0, SIM_U32, SIM_RO, le(c.can_if_version, 4));
    add_obj(od, 0x5FFF, 0, SIM_STR, SIM_RO, std::vector<uint8_t>(c.name.begin(), c.name.end()));
    d.ext = sim_ext_create(od, c.node_id);
    sim_prog_init(d.prog, c.node_id, c.program, od);
    d.media.cfg = c.media;
    d.delay.ms = c.sdo_delay_ms;
    sim_media_add_objects(d.media, od);
    sim_txpdo_add_objects(od, c.node_id);
    return c.dict_file.empty() || sim_dict_load(c.dict_file, od, err);
}

void send_frame(sim_dev_st &d, const sim_frame_st &f)
{
    if (!sim_client_send(d.client, f))
        fprintf(stderr, "kr_simdev: node 0x%02X: cannot send %s: %s\n", d.cfg.node_id, sim_frame_str(f).c_str(),
                d.client.last_error.c_str());
}

void txpdo_object_set(sim_dev_st &d, uint16_t index, uint8_t sub)
{
    sim_txpdo_object_set(d.tx, d.od, d.state, index, sub, sim_mono_ns(),
                         [&d](const sim_frame_st &p) { send_frame(d, p); });
}

void send_sdo(sim_dev_st &d, const uint8_t b[8])
{
    if (sim_delay_hold(d.delay, sim_frame_make(0x580u + d.cfg.node_id, b, 8), sim_mono_ns()))
        return;
    send_frame(d, sim_frame_make(0x580u + d.cfg.node_id, b, 8));
}

void sdo_abort(sim_dev_st &d, uint16_t index, uint8_t sub, uint32_t code)
{
    uint8_t b[8] = {0x80, (uint8_t)index, (uint8_t)(index >> 8), sub, (uint8_t)code, (uint8_t)(code >> 8),
                    (uint8_t)(code >> 16), (uint8_t)(code >> 24)};
    send_sdo(d, b);
    d.x.state = X_IDLE;
}

int64_t hb_period_ns(const sim_dev_st &d)
{
    auto it = d.od.find(sim_key(0x1017, 0));
    if (it == d.od.end() || it->second.value.size() < 2)
        return 0;
    return (int64_t)(it->second.value[0] | it->second.value[1] << 8) * 1000000;
}

void send_bootup(sim_dev_st &d, bool frame = true)
{
    if (frame) {
        send_frame(d, sim_frame_std(0x700u + d.cfg.node_id, {0x00}));
        d.bootups++;
    }
    d.state = 127;
    int64_t p = hb_period_ns(d);
    d.next_hb_ns = p ? sim_mono_ns() + p : 0;
}

// A fault of this kind for the transfer in hand at this stage, if one is armed; it is used up.
sim_fault_st *take_fault(sim_dev_st &d, uint8_t kind, uint32_t stage)
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

// Before each reply: an abort or silence fault replaces it. True when the reply is not to go.
bool reply_replaced(sim_dev_st &d)
{
    uint32_t stage = d.x.replies;
    if (sim_fault_st *f = take_fault(d, SIM_FAULT_ABORT, stage)) {
        sdo_abort(d, d.x.index, d.x.sub, f->code);
        return true;
    }
    if (take_fault(d, SIM_FAULT_SILENT, stage))
        return true;
    return false;
}

void reply(sim_dev_st &d, const uint8_t b[8])
{
    send_sdo(d, b);
    d.x.replies++;
}

void store_scope(sim_dev_st &d, uint8_t sub, bool restore)
{
    for (auto &[key, o] : d.od) {
        uint16_t idx = (uint16_t)(key >> 8);
        bool comm = idx >= 0x1000 && idx <= 0x1FFF;
        if ((sub == 2 && !comm) || (sub == 3 && comm))
            continue;
        if (restore)
            o.stored = o.def;
        else
            o.stored = o.value;
    }
}

// Writes a downloaded value; 0 or the abort code.
uint32_t commit(sim_dev_st &d, const std::vector<uint8_t> &data, char how)
{
    uint32_t prog_code = 0;
    if (sim_prog_commit(d.prog, d.x.index, d.x.sub, data, how, prog_code)) {
        if (prog_code == 0)
            d.write_log.push_back({d.x.index, d.x.sub, (uint32_t)data.size(), how});
        return prog_code;
    }
    sim_object_st &o = d.od[sim_key(d.x.index, d.x.sub)];
    size_t tsize = sim_type_size(o.type);
    if (tsize != 0 && data.size() != tsize)
        return SDO_LEN_MISMATCH;
    if (tsize == 0 && data.size() > (o.max_size ? o.max_size : DEFAULT_MAX))
        return SDO_LEN_HIGH;
    int64_t media = sim_media_write(d.media, d.x.index, d.x.sub, data);
    if (media > 0)
        return (uint32_t)media;
    bool store = d.x.index == 0x1010, restore = d.x.index == 0x1011;
    if ((store || restore) && d.x.sub >= 1 && d.x.sub <= 3) {
        // The signature "save" or "load", little-endian as CiA has it.
        static const uint8_t save[4] = {'s', 'a', 'v', 'e'}, load[4] = {'l', 'o', 'a', 'd'};
        if (data.size() != 4 || std::memcmp(data.data(), store ? save : load, 4) != 0)
            return SDO_CANNOT_STORE;
        store_scope(d, d.x.sub, restore);
    } else {
        if (uint32_t code = sim_txpdo_check_write(d.od, d.x.index, d.x.sub, data))
            return code;
        std::vector<uint8_t> old = o.value;
        o.value = data;
        if (uint32_t code = sim_ext_written(d.ext.get(), d.od, d.x.index, d.x.sub)) {
            d.od[sim_key(d.x.index, d.x.sub)].value = old;
            return code;
        }
        if (d.x.index == 0x1017 && d.x.sub == 0) {
            int64_t p = hb_period_ns(d);
            d.next_hb_ns = p ? sim_mono_ns() + p : 0;
        }
        txpdo_object_set(d, d.x.index, d.x.sub);
    }
    d.write_log.push_back({d.x.index, d.x.sub, (uint32_t)data.size(), how});
    return 0;
}

// Looks the request's object up for reading or writing; 0 or the abort code.
uint32_t find_object(sim_dev_st &d, bool write)
{
    auto it = d.od.find(sim_key(d.x.index, d.x.sub));
    if (it == d.od.end()) {
        auto lo = d.od.lower_bound(sim_key(d.x.index, 0));
        bool index_known = lo != d.od.end() && (lo->first >> 8) == d.x.index;
        return index_known ? SDO_NO_SUB : SDO_NO_OBJECT;
    }
    if (write && !(it->second.access & SIM_WO))
        return SDO_NO_WRITE;
    if (!write && !(it->second.access & SIM_RO))
        return SDO_NO_READ;
    return 0;
}

size_t max_bytes(sim_dev_st &d)
{
    int64_t room = sim_prog_room(d.prog, d.x.index, d.x.sub);
    if (room >= 0)
        return (size_t)room;
    const sim_object_st &o = d.od[sim_key(d.x.index, d.x.sub)];
    size_t t = sim_type_size(o.type);
    return t ? t : (o.max_size ? o.max_size : DEFAULT_MAX);
}

void start_transfer(sim_dev_st &d, const uint8_t *b, bool upload)
{
    d.x = xfer_st{};
    d.x.index = (uint16_t)(b[1] | b[2] << 8);
    d.x.sub = b[3];
    d.x.upload = upload;
    sim_prog_transfer_start(d.prog, d.x.index, d.x.sub, upload);
}

void initiate_download(sim_dev_st &d, const uint8_t *b)
{
    start_transfer(d, b, false);
    uint8_t cmd = b[0];
    if (uint32_t code = find_object(d, true)) {
        sdo_abort(d, d.x.index, d.x.sub, code);
        return;
    }
    if (reply_replaced(d))
        return;
    uint8_t ok[8] = {0x60, b[1], b[2], b[3], 0, 0, 0, 0};
    if (cmd & 0x02) { // expedited
        size_t n;
        if (cmd & 0x01)
            n = 4 - ((cmd >> 2) & 3);
        else
            n = sim_type_size(d.od[sim_key(d.x.index, d.x.sub)].type) ? max_bytes(d) : 4;
        if (uint32_t code = commit(d, std::vector<uint8_t>(b + 4, b + 4 + n), 'e')) {
            sdo_abort(d, d.x.index, d.x.sub, code);
            return;
        }
        reply(d, ok);
        d.x.state = X_IDLE;
        return;
    }
    if (cmd & 0x01) {
        d.x.size_known = true;
        d.x.size = get32(b + 4);
        size_t t = sim_type_size(d.od[sim_key(d.x.index, d.x.sub)].type);
        if ((t && d.x.size != t) || d.x.size > max_bytes(d)) {
            sdo_abort(d, d.x.index, d.x.sub, t ? SDO_LEN_MISMATCH : SDO_LEN_HIGH);
            return;
        }
    }
    d.x.state = X_DL_SEG;
    reply(d, ok);
}

void download_segment(sim_dev_st &d, const uint8_t *b)
{
    uint8_t cmd = b[0];
    if (((cmd >> 4) & 1) != d.x.toggle) {
        sdo_abort(d, d.x.index, d.x.sub, SDO_TOGGLE);
        return;
    }
    size_t n = 7 - ((cmd >> 1) & 7);
    d.x.buf.insert(d.x.buf.end(), b + 1, b + 1 + n);
    if (d.x.buf.size() > max_bytes(d)) {
        sdo_abort(d, d.x.index, d.x.sub, SDO_LEN_HIGH);
        return;
    }
    if (reply_replaced(d))
        return;
    bool last = cmd & 1;
    if (last) {
        if (d.x.size_known && d.x.buf.size() != d.x.size) {
            sdo_abort(d, d.x.index, d.x.sub, SDO_LEN_MISMATCH);
            return;
        }
        if (uint32_t code = commit(d, d.x.buf, 's')) {
            sdo_abort(d, d.x.index, d.x.sub, code);
            return;
        }
    }
    uint8_t t = d.x.toggle;
    if (take_fault(d, SIM_FAULT_TOGGLE, d.x.replies))
        t ^= 1;
    uint8_t r[8] = {(uint8_t)(0x20 | t << 4), 0, 0, 0, 0, 0, 0, 0};
    reply(d, r);
    d.x.toggle ^= 1;
    if (last)
        d.x.state = X_IDLE;
}

void initiate_upload(sim_dev_st &d, const uint8_t *b)
{
    start_transfer(d, b, true);
    if (uint32_t code = find_object(d, false)) {
        sdo_abort(d, d.x.index, d.x.sub, code);
        return;
    }
    if (reply_replaced(d))
        return;
    sim_media_read(d.media, d.x.index, d.x.sub, d.od);
    const std::vector<uint8_t> &v = d.od[sim_key(d.x.index, d.x.sub)].value;
    uint8_t r[8] = {0, b[1], b[2], b[3], 0, 0, 0, 0};
    if (!v.empty() && v.size() <= 4) {
        r[0] = d.cfg.expedited_size ? (uint8_t)(0x43 | (4 - v.size()) << 2) : 0x42;
        std::memcpy(r + 4, v.data(), v.size());
        reply(d, r);
        return;
    }
    r[0] = 0x41;
    std::vector<uint8_t> sz;
    put32(sz, (uint32_t)v.size());
    std::memcpy(r + 4, sz.data(), 4);
    d.x.buf = v;
    d.x.state = X_UL_SEG;
    reply(d, r);
}

void upload_segment(sim_dev_st &d, const uint8_t *b)
{
    if (((b[0] >> 4) & 1) != d.x.toggle) {
        sdo_abort(d, d.x.index, d.x.sub, SDO_TOGGLE);
        return;
    }
    if (reply_replaced(d))
        return;
    size_t left = d.x.buf.size() - d.x.pos;
    size_t n = left < 7 ? left : 7;
    bool last = left <= 7;
    uint8_t t = d.x.toggle;
    if (take_fault(d, SIM_FAULT_TOGGLE, d.x.replies))
        t ^= 1;
    uint8_t r[8] = {(uint8_t)(t << 4 | (7 - n) << 1 | (last ? 1 : 0)), 0, 0, 0, 0, 0, 0, 0};
    std::memcpy(r + 1, d.x.buf.data() + d.x.pos, n);
    d.x.pos += n;
    reply(d, r);
    d.x.toggle ^= 1;
    if (last)
        d.x.state = X_IDLE;
}

void initiate_block_download(sim_dev_st &d, const uint8_t *b)
{
    start_transfer(d, b, false);
    if (uint32_t code = find_object(d, true)) {
        sdo_abort(d, d.x.index, d.x.sub, code);
        return;
    }
    if (b[0] & 0x02) {
        d.x.size_known = true;
        d.x.size = get32(b + 4);
        if (d.x.size > max_bytes(d)) {
            sdo_abort(d, d.x.index, d.x.sub, SDO_LEN_HIGH);
            return;
        }
    }
    if (reply_replaced(d))
        return;
    d.x.crc = b[0] & 0x04;
    d.x.state = X_DL_BLOCK;
    d.x.expect_seq = 1;
    uint8_t r[8] = {0xA4, b[1], b[2], b[3], d.cfg.block_size, 0, 0, 0};
    reply(d, r);
}

void block_segment(sim_dev_st &d, const uint8_t *b)
{
    uint8_t seq = b[0] & 0x7F;
    bool last = b[0] & 0x80;
    // A lost segment in mid-block: the device never sees it (the block's end must still come).
    if (!last && seq == (d.cfg.block_size + 1) / 2 && seq < d.cfg.block_size &&
        take_fault(d, SIM_FAULT_DROP, d.x.replies))
        return;
    if (seq == d.x.expect_seq && !d.x.block_broken) {
        d.x.buf.insert(d.x.buf.end(), b + 1, b + 8);
        d.x.expect_seq++;
        d.x.last_seen = last;
        if (d.x.buf.size() > max_bytes(d) + 7) {
            sdo_abort(d, d.x.index, d.x.sub, SDO_LEN_HIGH);
            return;
        }
    } else {
        // A segment went missing: the rest of this block is ignored and sent again.
        d.x.block_broken = true;
    }
    if (seq != d.cfg.block_size && !last)
        return;
    // End of the block: acknowledge the last segment taken in sequence.
    if (reply_replaced(d))
        return;
    uint8_t ack = (uint8_t)(d.x.expect_seq - 1);
    if (ack > 0 && take_fault(d, SIM_FAULT_ACKSEQ, d.x.replies)) {
        // Claim the last segment was not received, and forget it to match.
        ack--;
        d.x.buf.resize(d.x.buf.size() - 7);
        d.x.last_seen = false;
    }
    uint8_t r[8] = {0xA2, ack, d.cfg.block_size, 0, 0, 0, 0, 0};
    reply(d, r);
    d.x.expect_seq = 1;
    d.x.block_broken = false;
    if (d.x.last_seen)
        d.x.state = X_DL_BLOCK_END;
}

void end_block_download(sim_dev_st &d, const uint8_t *b)
{
    size_t unused = (b[0] >> 2) & 7;
    if ((b[0] & 0xE3) != 0xC1 || unused > d.x.buf.size()) {
        sdo_abort(d, d.x.index, d.x.sub, (b[0] & 0xE3) != 0xC1 ? SDO_BAD_COMMAND : SDO_GENERAL);
        return;
    }
    d.x.buf.resize(d.x.buf.size() - unused);
    if (d.x.size_known && d.x.buf.size() != d.x.size) {
        sdo_abort(d, d.x.index, d.x.sub, SDO_LEN_MISMATCH);
        return;
    }
    uint16_t crc = (uint16_t)(b[1] | b[2] << 8);
    if ((d.x.crc && crc != crc16_xmodem(d.x.buf.data(), d.x.buf.size())) || take_fault(d, SIM_FAULT_CRC, 0)) {
        sdo_abort(d, d.x.index, d.x.sub, SDO_CRC);
        return;
    }
    if (reply_replaced(d))
        return;
    if (uint32_t code = commit(d, d.x.buf, 'b')) {
        sdo_abort(d, d.x.index, d.x.sub, code);
        return;
    }
    uint8_t r[8] = {0xA1, 0, 0, 0, 0, 0, 0, 0};
    reply(d, r);
    d.x.state = X_IDLE;
}

void sdo_request(sim_dev_st &d, const sim_frame_st &f)
{
    if (f.len != 8) {
        fprintf(stderr, "kr_simdev: node 0x%02X: ignored SDO request of %u bytes\n", d.cfg.node_id, f.len);
        return;
    }
    const uint8_t *b = f.data;
    if (b[0] == 0x80) { // abort from the client
        d.abort_log.push_back(get32(b + 4));
        d.x.state = X_IDLE;
        return;
    }
    switch (d.x.state) {
    case X_DL_BLOCK:
        block_segment(d, b);
        return;
    case X_DL_BLOCK_END:
        end_block_download(d, b);
        return;
    default:
        break;
    }
    uint8_t ccs = b[0] >> 5;
    if (ccs == 1)
        initiate_download(d, b);
    else if (ccs == 2)
        initiate_upload(d, b);
    else if (ccs == 6 && !(b[0] & 0x01))
        initiate_block_download(d, b);
    else if (ccs == 0 && d.x.state == X_DL_SEG)
        download_segment(d, b);
    else if (ccs == 3 && d.x.state == X_UL_SEG)
        upload_segment(d, b);
    else
        sdo_abort(d, (uint16_t)(b[1] | b[2] << 8), b[3], SDO_BAD_COMMAND);
}

void nmt_command(sim_dev_st &d, const sim_frame_st &f)
{
    if (f.len < 2 || (f.data[1] != 0 && f.data[1] != d.cfg.node_id))
        return;
    uint8_t cmd = f.data[0];
    if (cmd != 0x01 && cmd != 0x02 && cmd != 0x80 && cmd != 0x81 && cmd != 0x82)
        return;
    d.nmt_log.push_back(cmd);
    if (d.state == 0 && !sim_prog_in_boot(d.prog)) // resetting: nothing else until boot-up
        return;
    if (cmd == 0x81 && take_fault(d, SIM_FAULT_NORESET, 0))
        return;
    if (sim_prog_in_boot(d.prog) && cmd != 0x81 && cmd != 0x82) // a bootloader only resets
        return;
    switch (cmd) {
    case 0x01:
        d.state = 5;
        break;
    case 0x02:
        d.state = 4;
        d.x.state = X_IDLE;
        break;
    case 0x80:
        d.state = 127;
        break;
    default:
        d.state = 0;
        d.x.state = X_IDLE;
        d.reset_cmd = cmd;
        d.reset_at_ns = sim_mono_ns() + (int64_t)d.cfg.reset_delay_ms * 1000000;
        break;
    }
}

void on_frame(sim_dev_st &d, const sim_frame_st &f)
{
    if (f.kind != SIM_FRAME_STD || sim_prog_silent(d.prog))
        return;
    if (f.id == 0)
        nmt_command(d, f);
    else if (f.id == 0x80 && f.len <= 1)
        sim_txpdo_sync(d.tx, d.od, d.state, sim_mono_ns(), [&d](const sim_frame_st &p) { send_frame(d, p); });
    else if (f.id == 0x600u + d.cfg.node_id && (d.state == 127 || d.state == 5 || sim_prog_in_boot(d.prog)) &&
             !sim_media_terminal(d.media, d.cfg.node_id, f, [&d](const sim_frame_st &r) { send_frame(d, r); }))
        sdo_request(d, f);
}

void on_timers(sim_dev_st &d, int64_t now)
{
    sim_delay_release(d.delay, now, [&d](const sim_frame_st &f) { send_frame(d, f); });
    if (d.prog.mode == SIM_MODE_OFF && now >= d.prog.power_on_ns) {
        d.reset_at_ns = now; // power on: a reset into the bootloader
        d.reset_cmd = 0;
    }
    if (d.reset_at_ns != 0 && now >= d.reset_at_ns) {
        d.reset_at_ns = 0;
        for (auto &[key, o] : d.od) {
            uint16_t idx = (uint16_t)(key >> 8);
            if (d.reset_cmd != 0x82 || (idx >= 0x1000 && idx <= 0x1FFF))
                o.value = o.stored;
        }
        sim_ext_reset(d.ext.get(), d.od, d.cfg.node_id);
        bool dead = take_fault(d, SIM_FAULT_DEAD, 0) != nullptr;
        bool quiet = take_fault(d, SIM_FAULT_QUIETBOOT, 0) != nullptr;
        sim_prog_boot(d.prog, d.od, d.reset_cmd, dead);
        if (!dead)
            send_bootup(d, !quiet);
        if (sim_prog_in_boot(d.prog))
            d.state = 0;
    }
    if (sim_prog_silent(d.prog))
        return;
    if ((d.state != 0 || sim_prog_in_boot(d.prog)) && d.next_hb_ns != 0 && now >= d.next_hb_ns) {
        send_frame(d, sim_frame_std(0x700u + d.cfg.node_id, {d.state}));
        int64_t p = hb_period_ns(d);
        d.next_hb_ns = p == 0 ? 0 : (d.next_hb_ns + p > now ? d.next_hb_ns + p : now + p);
    }
    sim_txpdo_timers(d.tx, d.od, d.state, now, [&d](const sim_frame_st &p) { send_frame(d, p); });
}

int64_t next_timer(sim_dev_st &d)
{
    int64_t t = 0;
    if (d.prog.mode == SIM_MODE_DEAD)
        return 0;
    if (d.prog.mode == SIM_MODE_OFF)
        return d.prog.power_on_ns;
    for (int64_t c : {d.reset_at_ns, d.state != 0 || sim_prog_in_boot(d.prog) ? d.next_hb_ns : 0,
                      sim_txpdo_next(d.tx), sim_delay_next(d.delay)})
        if (c != 0 && (t == 0 || c < t))
            t = c;
    return t;
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
        if (!build_dictionary(*d, err))
            return nullptr;
        if (!sim_client_connect(d->client, "127.0.0.1", port, bus)) {
            err = d->client.last_error;
            return nullptr;
        }
        r->devs.push_back(std::move(d));
    }
    for (auto &d : r->devs) {
        if (d->cfg.bootup) {
            send_bootup(*d);
        } else {
            d->state = 127;
            int64_t p = hb_period_ns(*d);
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

#define WITH_DEV(fail)                                                                                                 \
    std::lock_guard<std::mutex> lk(r->m);                                                                              \
    sim_dev_st *d = find_dev(r, node);                                                                                 \
    if (d == nullptr)                                                                                                  \
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
    txpdo_object_set(*d, index, sub);
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
    for (const sim_write_log_st &w : sim_dev_write_log(r, node)) n += w.index == index && (sub < 0 || w.sub == sub);
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
        d->od[sim_key(0x1017, 0)].value = le(ms, 2);
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
        d->x.state = X_IDLE;
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
