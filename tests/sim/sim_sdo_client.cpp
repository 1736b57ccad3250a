// The independent SDO client (test code from CiA 301).
#include "sim_sdo_client.h"

#include <cstring>

namespace {

struct xfer_st {
    sim_client_st &c;
    uint8_t node;
    uint16_t index;
    uint8_t sub;
    int timeout_ms;
    sim_sdo_result_st res;

    void send(std::initializer_list<uint8_t> b)
    {
        uint8_t d[8] = {};
        size_t i = 0;
        for (uint8_t x : b)
            d[i++] = x;
        send_raw(d);
    }
    void send_raw(const uint8_t d[8]) { sim_client_send(c, sim_frame_make(0x600u + node, d, 8)); }
    void send_addr(uint8_t cmd, const uint8_t tail[4])
    {
        uint8_t d[8] = {cmd, (uint8_t)index, (uint8_t)(index >> 8), sub, tail[0], tail[1], tail[2], tail[3]};
        send_raw(d);
    }
    void abort(uint32_t code)
    {
        uint8_t t[4] = {(uint8_t)code, (uint8_t)(code >> 8), (uint8_t)(code >> 16), (uint8_t)(code >> 24)};
        send_addr(0x80, t);
    }
    // The next answer; false (with the reason recorded) on an abort or a time-out.
    bool reply(sim_frame_st &f)
    {
        if (!sim_sdo_wait_reply(c, node, f, timeout_ms)) {
            res.error = "no answer";
            return false;
        }
        // In a block upload byte 0 is a sequence number; 0x80 alone is still an abort.
        if (f.data[0] == 0x80) {
            res.abort_code = (uint32_t)f.data[4] | ((uint32_t)f.data[5] << 8) | ((uint32_t)f.data[6] << 16) |
                             ((uint32_t)f.data[7] << 24);
            res.error = "aborted";
            return false;
        }
        return true;
    }
    bool fail(const std::string &why)
    {
        res.error = why;
        return false;
    }
};

void size_tail(uint32_t n, uint8_t *t)
{
    t[0] = (uint8_t)n, t[1] = (uint8_t)(n >> 8), t[2] = (uint8_t)(n >> 16), t[3] = (uint8_t)(n >> 24);
}

bool expedited_download(xfer_st &x, const std::vector<uint8_t> &data)
{
    uint8_t t[4] = {};
    std::memcpy(t, data.data(), data.size());
    x.send_addr((uint8_t)(0x23 | ((4 - data.size()) << 2)), t);
    sim_frame_st f;
    if (!x.reply(f))
        return false;
    return f.data[0] == 0x60 || x.fail("unexpected answer");
}

bool segmented_download(xfer_st &x, const std::vector<uint8_t> &data, const sim_sdo_fault_st &fault)
{
    uint8_t t[4];
    size_tail((uint32_t)data.size(), t);
    x.send_addr(0x21, t);
    sim_frame_st f;
    if (!x.reply(f))
        return false;
    if (f.data[0] != 0x60)
        return x.fail("unexpected initiate answer");
    uint8_t toggle = 0;
    size_t at = 0;
    do {
        size_t n = data.size() - at < 7 ? data.size() - at : 7;
        bool last = at + n == data.size();
        uint8_t d[8] = {(uint8_t)((toggle << 4) | ((7 - n) << 1) | (last ? 1 : 0))};
        std::memcpy(d + 1, data.data() + at, n);
        if (at == 0 && fault.segment_override)
            std::memcpy(d + 1, fault.segment_override, 3);
        x.send_raw(d);
        if (!x.reply(f))
            return false;
        if (f.data[0] != (0x20 | (toggle << 4)))
            return x.fail("unexpected segment answer");
        toggle ^= 1;
        at += n;
    } while (at < data.size());
    return true;
}

bool block_download(xfer_st &x, const std::vector<uint8_t> &data, const sim_sdo_fault_st &fault)
{
    uint8_t t[4];
    size_tail((uint32_t)data.size(), t);
    x.send_addr(0xC6, t);
    sim_frame_st f;
    if (!x.reply(f))
        return false;
    if ((f.data[0] & 0xE3) != 0xA0)
        return x.fail("unexpected initiate answer");
    uint8_t blksize = f.data[4];
    x.res.server_blksize = blksize;
    if (blksize < 1 || blksize > 127)
        return x.fail("bad block size from the server");
    size_t at = 0;
    int sent = 0;
    bool done = false;
    while (!done) {
        uint8_t seq = 0;
        for (uint8_t i = 0; i < blksize && !done; i++) {
            size_t n = data.size() - at < 7 ? data.size() - at : 7;
            done = at + n == data.size();
            seq++;
            sent++;
            uint8_t d[8] = {(uint8_t)(seq | (done ? 0x80 : 0))};
            std::memcpy(d + 1, data.data() + at, n);
            at += n;
            if (sent == fault.skip_seq_at) {
                d[0] = (uint8_t)(d[0] + 1);
                x.send_raw(d);
                return x.reply(f) && x.fail("no abort after a skipped sequence number");
            }
            x.send_raw(d);
            if (sent == fault.repeat_seq_at) {
                x.send_raw(d);
                return x.reply(f) && x.fail("no abort after a repeated sequence number");
            }
            if (sent == fault.abort_after) {
                x.abort(0x08000000);
                return x.fail("aborted by the client");
            }
        }
        if (!x.reply(f))
            return false;
        if (f.data[0] != 0xA2 || f.data[1] != seq)
            return x.fail("unexpected block acknowledgement");
        x.res.blocks++;
        blksize = f.data[2];
        if (blksize < 1 || blksize > 127)
            return x.fail("bad block size from the server");
    }
    uint8_t unused = data.empty() ? 7 : (uint8_t)((7 - data.size() % 7) % 7);
    uint16_t crc = sim_crc16_xmodem(data.data(), data.size());
    if (fault.bad_crc)
        crc ^= 0x5A5A;
    x.send({(uint8_t)(0xC1 | (unused << 2)), (uint8_t)crc, (uint8_t)(crc >> 8)});
    if (!x.reply(f))
        return false;
    return f.data[0] == 0xA1 || x.fail("unexpected end answer");
}

bool segmented_upload(xfer_st &x)
{
    uint8_t z[4] = {};
    x.send_addr(0x40, z);
    sim_frame_st f;
    if (!x.reply(f))
        return false;
    uint8_t b = f.data[0];
    if ((b & 0xE0) != 0x40)
        return x.fail("unexpected initiate answer");
    if (b & 0x02) {
        size_t n = (b & 0x01) ? 4 - ((b >> 2) & 3) : 4;
        x.res.data.assign(f.data + 4, f.data + 4 + n);
        return true;
    }
    uint32_t size = (b & 0x01) ? ((uint32_t)f.data[4] | ((uint32_t)f.data[5] << 8) | ((uint32_t)f.data[6] << 16) |
                                  ((uint32_t)f.data[7] << 24))
                               : 0xFFFFFFFFu;
    uint8_t toggle = 0;
    for (;;) {
        x.send({(uint8_t)(0x60 | (toggle << 4))});
        if (!x.reply(f))
            return false;
        b = f.data[0];
        if ((b & 0xE0) != 0x00 || ((b >> 4) & 1) != toggle)
            return x.fail("unexpected segment");
        size_t n = 7 - ((b >> 1) & 7);
        x.res.data.insert(x.res.data.end(), f.data + 1, f.data + 1 + n);
        toggle ^= 1;
        if (b & 0x01)
            break;
    }
    return size == 0xFFFFFFFFu || x.res.data.size() == size || x.fail("size differs from the announced one");
}

bool block_upload(xfer_st &x, uint8_t blksize, const sim_sdo_fault_st &fault)
{
    uint8_t t[4] = {blksize, 0, 0, 0};
    x.send_addr(0xA4, t);
    sim_frame_st f;
    if (!x.reply(f))
        return false;
    if ((f.data[0] & 0xE1) != 0xC0)
        return x.fail("unexpected initiate answer");
    bool crc = (f.data[0] & 0x04) != 0;
    uint32_t size = (uint32_t)f.data[4] | ((uint32_t)f.data[5] << 8) | ((uint32_t)f.data[6] << 16) |
                    ((uint32_t)f.data[7] << 24);
    x.send({0xA3});
    uint8_t ack_size = fault.ack_blksize >= 0 ? (uint8_t)fault.ack_blksize : blksize;
    int received = 0;
    bool last = false;
    while (!last) {
        uint8_t seq = 0;
        for (;;) {
            if (!x.reply(f))
                return false;
            uint8_t s = f.data[0] & 0x7F;
            if (s != seq + 1)
                return x.fail("sequence gap");
            seq = s;
            x.res.data.insert(x.res.data.end(), f.data + 1, f.data + 8);
            received++;
            if (received == fault.abort_after) {
                x.abort(0x08000000);
                return x.fail("aborted by the client");
            }
            last = (f.data[0] & 0x80) != 0;
            if (last || seq == blksize)
                break;
        }
        x.send({0xA2, (uint8_t)(seq + fault.ack_seq_delta), ack_size});
        x.res.blocks++;
        blksize = ack_size;
    }
    if (!x.reply(f))
        return false;
    if ((f.data[0] & 0xE3) != 0xC1)
        return x.fail("unexpected end");
    size_t unused = (f.data[0] >> 2) & 7;
    if (unused > x.res.data.size())
        return x.fail("more unused bytes than data");
    x.res.data.resize(x.res.data.size() - unused);
    if (crc && (uint16_t)(f.data[1] | (f.data[2] << 8)) != sim_crc16_xmodem(x.res.data.data(), x.res.data.size())) {
        x.abort(0x05030004);
        return x.fail("CRC differs");
    }
    x.send({0xA1});
    return x.res.data.size() == size || x.fail("size differs from the announced one");
}

} // namespace

uint16_t sim_crc16_xmodem(const uint8_t *p, size_t n)
{
    uint16_t crc = 0;
    for (size_t i = 0; i < n; i++) {
        crc ^= (uint16_t)(p[i] << 8);
        for (int b = 0; b < 8; b++)
            crc = (crc & 0x8000) ? (uint16_t)((crc << 1) ^ 0x1021) : (uint16_t)(crc << 1);
    }
    return crc;
}

bool sim_sdo_wait_reply(sim_client_st &c, uint8_t node, sim_frame_st &f, int timeout_ms)
{
    int64_t end = sim_mono_ns() + (int64_t)timeout_ms * 1000000;
    for (;;) {
        int64_t left = (end - sim_mono_ns()) / 1000000;
        if (left <= 0 || !sim_client_recv(c, f, (int)left))
            return false;
        if (f.kind == SIM_FRAME_STD && f.id == 0x580u + node && f.len == 8)
            return true;
    }
}

void sim_sdo_drain(sim_client_st &c, int quiet_ms)
{
    sim_frame_st f;
    while (sim_client_recv(c, f, quiet_ms)) {
    }
}

sim_sdo_result_st sim_sdo_download(sim_client_st &c, uint8_t node, uint16_t index, uint8_t sub,
                                   const std::vector<uint8_t> &data, sim_sdo_mode_e mode, const sim_sdo_fault_st &fault,
                                   int timeout_ms)
{
    xfer_st x{c, node, index, sub, timeout_ms, {}};
    if (mode == sim_sdo_mode_e::expedited && (data.empty() || data.size() > 4)) {
        x.res.error = "expedited takes 1 to 4 bytes";
        return x.res;
    }
    if (mode == sim_sdo_mode_e::expedited)
        x.res.ok = expedited_download(x, data);
    else if (mode == sim_sdo_mode_e::segmented)
        x.res.ok = segmented_download(x, data, fault);
    else
        x.res.ok = block_download(x, data, fault);
    return x.res;
}

sim_sdo_result_st sim_sdo_upload(sim_client_st &c, uint8_t node, uint16_t index, uint8_t sub, sim_sdo_mode_e mode,
                                 uint8_t blksize, const sim_sdo_fault_st &fault, int timeout_ms)
{
    xfer_st x{c, node, index, sub, timeout_ms, {}};
    x.res.ok = mode == sim_sdo_mode_e::block ? block_upload(x, blksize, fault) : segmented_upload(x);
    return x.res;
}
