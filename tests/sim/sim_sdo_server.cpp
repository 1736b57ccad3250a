// The simulated device's SDO server: expedited, segmented and block transfers (block download with
// CRC), store and restore through 0x1010/0x1011, and the faults injected into its replies. Written
// from the CANopen application layer directly: it shares nothing with the library's SDO code.
#include "sim_device_internal.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr uint32_t SDO_TOGGLE = 0x05030000;
constexpr uint32_t SDO_CRC = 0x05030004;
constexpr uint32_t SDO_BAD_COMMAND = 0x05040001;
constexpr uint32_t SDO_NO_READ = 0x06010001;
constexpr uint32_t SDO_NO_WRITE = 0x06010002;
constexpr uint32_t SDO_NO_OBJECT = 0x06020000;
constexpr uint32_t SDO_LEN_MISMATCH = 0x06070010;
constexpr uint32_t SDO_LEN_HIGH = 0x06070012;
constexpr uint32_t SDO_LEN_LOW = 0x06070013;
constexpr uint32_t SDO_NO_SUB = 0x06090011;
constexpr uint32_t SDO_GENERAL = 0x08000000;
constexpr uint32_t SDO_CANNOT_STORE = 0x08000020;
constexpr uint32_t DEFAULT_MAX = 16u << 20;

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

void send_sdo(sim_dev_st &d, const uint8_t b[8])
{
    if (sim_delay_hold(d.delay, sim_frame_make(0x580u + d.cfg.node_id, b, 8), sim_mono_ns()))
        return;
    sim_dev_send_frame(d, sim_frame_make(0x580u + d.cfg.node_id, b, 8));
}

void sdo_abort(sim_dev_st &d, uint16_t index, uint8_t sub, uint32_t code)
{
    uint8_t b[8] = {0x80,          (uint8_t)index,       (uint8_t)(index >> 8), sub,
                    (uint8_t)code, (uint8_t)(code >> 8), (uint8_t)(code >> 16), (uint8_t)(code >> 24)};
    send_sdo(d, b);
    d.x.state = SIM_XFER_IDLE;
}

// Before each reply: an abort or silence fault replaces it. True when the reply is not to go.
bool reply_replaced(sim_dev_st &d)
{
    uint32_t stage = d.x.replies;
    if (sim_fault_st *f = sim_fault_take(d, SIM_FAULT_ABORT, stage)) {
        sdo_abort(d, d.x.index, d.x.sub, f->code);
        return true;
    }
    if (sim_fault_take(d, SIM_FAULT_SILENT, stage))
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
        return data.size() < tsize ? SDO_LEN_LOW : SDO_LEN_HIGH;
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
            int64_t p = sim_hb_period_ns(d);
            d.next_hb_ns = p ? sim_mono_ns() + p : 0;
        }
        sim_dev_txpdo_object_set(d, d.x.index, d.x.sub);
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
    d.x = sim_xfer_st{};
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
        // Without a size all 4 bytes are the value: what lies beyond the object must be zero.
        for (size_t i = n; i < 4; i++)
            if (b[4 + i] != 0) {
                sdo_abort(d, d.x.index, d.x.sub, SDO_LEN_HIGH);
                return;
            }
        if (uint32_t code = commit(d, std::vector<uint8_t>(b + 4, b + 4 + n), 'e')) {
            sdo_abort(d, d.x.index, d.x.sub, code);
            return;
        }
        reply(d, ok);
        d.x.state = SIM_XFER_IDLE;
        return;
    }
    if (cmd & 0x01) {
        d.x.size_known = true;
        d.x.size = get32(b + 4);
        size_t t = sim_type_size(d.od[sim_key(d.x.index, d.x.sub)].type);
        if ((t && d.x.size != t) || d.x.size > max_bytes(d)) {
            sdo_abort(d, d.x.index, d.x.sub, t && d.x.size < t ? SDO_LEN_LOW : SDO_LEN_HIGH);
            return;
        }
    }
    d.x.state = SIM_XFER_DL_SEG;
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
        // A number's own size was checked at the start: commit names the short one.
        if (d.x.size_known && d.x.buf.size() != d.x.size && !sim_type_size(d.od[sim_key(d.x.index, d.x.sub)].type)) {
            sdo_abort(d, d.x.index, d.x.sub, SDO_LEN_MISMATCH);
            return;
        }
        if (uint32_t code = commit(d, d.x.buf, 's')) {
            sdo_abort(d, d.x.index, d.x.sub, code);
            return;
        }
    }
    uint8_t t = d.x.toggle;
    if (sim_fault_take(d, SIM_FAULT_TOGGLE, d.x.replies))
        t ^= 1;
    uint8_t r[8] = {(uint8_t)(0x20 | t << 4), 0, 0, 0, 0, 0, 0, 0};
    reply(d, r);
    d.x.toggle ^= 1;
    if (last)
        d.x.state = SIM_XFER_IDLE;
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
    // Without the size indicated (--no-size) the client learns the length from the last segment.
    r[0] = d.cfg.expedited_size ? 0x41 : 0x40;
    if (d.cfg.expedited_size) {
        std::vector<uint8_t> sz;
        put32(sz, (uint32_t)v.size());
        std::memcpy(r + 4, sz.data(), 4);
    }
    d.x.buf = v;
    d.x.state = SIM_XFER_UL_SEG;
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
    if (sim_fault_take(d, SIM_FAULT_TOGGLE, d.x.replies))
        t ^= 1;
    uint8_t r[8] = {(uint8_t)(t << 4 | (7 - n) << 1 | (last ? 1 : 0)), 0, 0, 0, 0, 0, 0, 0};
    if (n > 0) // an empty value has no bytes, and no data pointer to copy from
        std::memcpy(r + 1, d.x.buf.data() + d.x.pos, n);
    d.x.pos += n;
    reply(d, r);
    d.x.toggle ^= 1;
    if (last)
        d.x.state = SIM_XFER_IDLE;
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
    d.x.state = SIM_XFER_DL_BLOCK;
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
        sim_fault_take(d, SIM_FAULT_DROP, d.x.replies))
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
    if (ack > 0 && sim_fault_take(d, SIM_FAULT_ACKSEQ, d.x.replies)) {
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
        d.x.state = SIM_XFER_DL_BLOCK_END;
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
    if ((d.x.crc && crc != crc16_xmodem(d.x.buf.data(), d.x.buf.size())) || sim_fault_take(d, SIM_FAULT_CRC, 0)) {
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
    d.x.state = SIM_XFER_IDLE;
}

} // namespace

void sim_sdo_server_request(sim_dev_st &d, const sim_frame_st &f)
{
    if (f.len != 8) {
        fprintf(stderr, "kr_simdev: node 0x%02X: ignored SDO request of %u bytes\n", d.cfg.node_id, f.len);
        return;
    }
    const uint8_t *b = f.data;
    if (b[0] == 0x80) { // abort from the client
        d.abort_log.push_back(get32(b + 4));
        d.x.state = SIM_XFER_IDLE;
        return;
    }
    switch (d.x.state) {
    case SIM_XFER_DL_BLOCK:
        block_segment(d, b);
        return;
    case SIM_XFER_DL_BLOCK_END:
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
    else if (ccs == 0 && d.x.state == SIM_XFER_DL_SEG)
        download_segment(d, b);
    else if (ccs == 3 && d.x.state == SIM_XFER_UL_SEG)
        upload_segment(d, b);
    else
        sdo_abort(d, (uint16_t)(b[1] | b[2] << 8), b[3], SDO_BAD_COMMAND);
}
