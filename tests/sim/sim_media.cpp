// Media storage and the terminal of a simulated display device. Test code.
#include "sim_media.h"

#include "sim_device.h"

#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

constexpr int64_t kAbortLenHigh = 0x06070012; // more data than the block size
constexpr int64_t kAbortValueRange = 0x06090030;
constexpr int64_t kAbortHardware = 0x06060000;
constexpr int64_t kAbortState = 0x08000022; // not in a state to take it

uint32_t u32(const std::vector<uint8_t> &v)
{
    uint32_t x = 0;
    for (size_t i = 0; i < v.size() && i < 4; i++)
        x |= (uint32_t)v[i] << (8 * i);
    return x;
}

std::vector<uint8_t> le(uint32_t v, size_t n)
{
    std::vector<uint8_t> out;
    for (size_t i = 0; i < n; i++)
        out.push_back((uint8_t)(v >> (8 * i)));
    return out;
}

int64_t wall_us()
{
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return (int64_t)ts.tv_sec * 1000000 + ts.tv_nsec / 1000;
}

int64_t until(uint32_t ms, bool never)
{
    if (never)
        return -1;
    return ms ? sim_mono_ns() + (int64_t)ms * 1000000 : 0;
}

bool still(int64_t until_ns)
{
    return until_ns == -1 || (until_ns != 0 && sim_mono_ns() < until_ns);
}

// A clear that has run its time has emptied the storage.
void settle(sim_media_st &m)
{
    if (m.clearing && !still(m.clear_until_ns)) {
        m.clearing = false;
        m.files.clear();
    }
}

sim_media_file_st *current(sim_media_st &m)
{
    for (auto &f : m.files)
        if (f.name == m.name)
            return &f;
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

void sim_media_add_objects(const sim_media_st &m, std::map<uint32_t, sim_object_st> &od)
{
    if (!m.cfg.enabled)
        return;
    auto add = [&od](uint16_t index, uint8_t type, uint8_t access, std::vector<uint8_t> v) {
        sim_object_st o;
        o.type = type;
        o.access = access;
        o.value = o.stored = o.def = v;
        od[sim_key(index, 0)] = o;
    };
    add(0x5FF8, SIM_U8, SIM_RW, {0});
    add(0x5FF9, SIM_U32, SIM_RW, le(0, 4));
    add(0x5FFA, SIM_U32, SIM_WO, le(0, 4));
    add(0x5FFB, SIM_DOMAIN, SIM_WO, {});
    add(0x5FFC, SIM_U32, SIM_WO, le(0, 4));
    add(0x5FFD, SIM_U8, SIM_RO, {m.cfg.block_size});
    add(0x5FFE, SIM_DOMAIN, SIM_WO, {});
}

bool sim_media_terminal(sim_media_st &m, uint8_t node, const sim_frame_st &f,
                        const std::function<void(const sim_frame_st &)> &send)
{
    if (f.kind != SIM_FRAME_STD || f.id != 0x600u + node || f.len < 5 || f.data[0] != 0x22 || f.data[1] != 0xFF ||
        f.data[2] != 0x5F || f.data[3] != 0x00)
        return false;
    uint8_t echo[8] = {0x42, 0xFF, 0x5F, 0x00};
    std::memcpy(echo + 4, f.data + 4, (size_t)f.len - 4);
    send(sim_frame_make(0x580u + node, echo, f.len));
    for (uint8_t i = 4; i < f.len; i++) {
        char c = (char)f.data[i];
        if (c != '\n') {
            m.term_partial += c;
            continue;
        }
        std::string line = m.term_partial;
        m.term_partial.clear();
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        m.term_lines.push_back({wall_us(), line});
        if (line == "esp \"comm\" 0")
            m.esp_paused = true;
        if (line == "esp \"comm\" 1")
            m.esp_paused = false;
    }
    return true;
}

int64_t sim_media_write(sim_media_st &m, uint16_t index, uint8_t sub, const std::vector<uint8_t> &data)
{
    if (!m.cfg.enabled || sub != 0 || index < 0x5FF8 || index > 0x5FFE)
        return -1;
    settle(m);
    switch (index) {
    case 0x5FFB: {
        // The name with its terminating zero.
        if (data.empty() || data.back() != 0)
            return kAbortValueRange;
        m.name.assign((const char *)data.data(), strnlen((const char *)data.data(), data.size()));
        m.have_name = true;
        m.have_pending = false;
        m.refusing = false;
        return 0;
    }
    case 0x5FFA: {
        if (!m.have_name)
            return kAbortState;
        sim_media_file_st *f = current(m);
        if (!f) {
            m.files.push_back({m.name, 0, {}});
            f = &m.files.back();
        }
        f->size = u32(data);
        f->data.clear(); // a new download replaces the stored file
        return 0;
    }
    case 0x5FFC:
        m.offset = u32(data);
        return 0;
    case 0x5FFE:
        if (m.cfg.block_size == 0 || data.size() > m.cfg.block_size)
            return kAbortLenHigh;
        if (m.refusing)
            return kAbortHardware;
        if (m.cfg.abort_block != 0 && m.blocks + 1 == m.cfg.abort_block) {
            m.blocks++;
            m.refusing = true;
            return kAbortHardware;
        }
        m.pending = data;
        m.have_pending = true;
        return 0;
    case 0x5FF9: {
        uint32_t len = u32(data);
        sim_media_file_st *f = current(m);
        if (!f || !m.have_pending || len != m.pending.size() || (uint64_t)m.offset + len > f->size)
            return kAbortValueRange;
        if (f->data.size() < m.offset + len)
            f->data.resize(m.offset + len);
        std::memcpy(f->data.data() + m.offset, m.pending.data(), len);
        m.commits.push_back({m.name, m.offset, len});
        m.blocks++;
        m.have_pending = false;
        m.last_commit = len;
        m.commit_until_ns = until(m.cfg.commit_ms, m.cfg.commit_never);
        return 0;
    }
    case 0x5FF8:
        if (u32(data) != 1)
            return kAbortValueRange;
        m.clears++;
        m.clearing = true;
        m.clear_until_ns = until(m.cfg.clear_ms, m.cfg.clear_never);
        settle(m);
        return 0;
    default:
        return kAbortState; // 0x5FFD is read-only; the object table refuses it first
    }
}

void sim_media_read(sim_media_st &m, uint16_t index, uint8_t sub, std::map<uint32_t, sim_object_st> &od)
{
    if (!m.cfg.enabled || sub != 0)
        return;
    settle(m);
    auto it = od.find(sim_key(index, 0));
    if (it == od.end())
        return;
    if (index == 0x5FF9)
        it->second.value = le(still(m.commit_until_ns) ? m.last_commit : 0, 4);
    if (index == 0x5FF8)
        it->second.value = {(uint8_t)(m.clearing ? 1 : 0)};
    if (index == 0x5FFD)
        it->second.value = {m.cfg.block_size};
}

void sim_media_dump(sim_media_st &m, unsigned node, std::ostream &o)
{
    settle(m);
    for (const auto &f : m.files)
        o << "mediafile " << node << " " << f.size << " " << hex(f.data) << " " << f.name << "\n";
    for (const auto &c : m.commits)
        o << "mediacommit " << node << " " << c.offset << " " << c.len << " " << c.name << "\n";
    if (m.clears)
        o << "mediaclear " << node << " " << m.clears << "\n";
    for (const auto &t : m.term_lines)
        o << "term " << node << " " << t.wall_us << " " << t.line << "\n";
    if (!m.term_lines.empty())
        o << "esppaused " << node << " " << (m.esp_paused ? 1 : 0) << "\n";
}

std::vector<sim_media_file_st> sim_media_files(sim_runner_st *r, uint8_t node)
{
    std::vector<sim_media_file_st> out;
    sim_dev_media(r, node, [&out](sim_media_st &m, std::map<uint32_t, sim_object_st> &) {
        settle(m);
        out = m.files;
    });
    return out;
}

std::vector<sim_media_commit_st> sim_media_commits(sim_runner_st *r, uint8_t node)
{
    std::vector<sim_media_commit_st> out;
    sim_dev_media(r, node, [&out](sim_media_st &m, std::map<uint32_t, sim_object_st> &) { out = m.commits; });
    return out;
}

std::vector<sim_term_line_st> sim_term_lines(sim_runner_st *r, uint8_t node)
{
    std::vector<sim_term_line_st> out;
    sim_dev_media(r, node, [&out](sim_media_st &m, std::map<uint32_t, sim_object_st> &) { out = m.term_lines; });
    return out;
}

bool sim_esp_paused(sim_runner_st *r, uint8_t node)
{
    bool paused = false;
    sim_dev_media(r, node, [&paused](sim_media_st &m, std::map<uint32_t, sim_object_st> &) { paused = m.esp_paused; });
    return paused;
}

void sim_media_configure(sim_runner_st *r, uint8_t node, const sim_media_config_st &cfg)
{
    sim_dev_media(r, node, [&cfg](sim_media_st &m, std::map<uint32_t, sim_object_st> &od) {
        m.cfg = cfg;
        sim_media_add_objects(m, od);
    });
}
