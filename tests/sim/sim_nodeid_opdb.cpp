// The simulated devices' node-id object and operator database (see sim_nodeid_opdb.h).
#include "sim_nodeid_opdb.h"

namespace {

constexpr uint32_t SDO_VALUE_RANGE = 0x06090030;
constexpr uint32_t SDO_GENERAL = 0x08000000;

struct op_values_st {
    std::map<uint32_t, std::vector<uint8_t>> value, stored;
};

std::vector<uint8_t> le(uint32_t v, size_t n)
{
    std::vector<uint8_t> out;
    for (size_t i = 0; i < n; i++)
        out.push_back((uint8_t)(v >> (8 * i)));
    return out;
}

uint32_t get_le(const std::vector<uint8_t> &v)
{
    uint32_t x = 0;
    for (size_t i = 0; i < v.size() && i < 4; i++)
        x |= (uint32_t)v[i] << (8 * i);
    return x;
}

sim_object_st make(uint8_t type, uint8_t access, std::vector<uint8_t> v)
{
    sim_object_st o;
    o.type = type;
    o.access = access;
    o.value = o.stored = o.def = v;
    return o;
}

uint8_t width_type(uint8_t width)
{
    return width == 4 ? SIM_U32 : width == 2 ? SIM_U16 : SIM_U8;
}

} // namespace

struct sim_ext_st {
    bool has_opdb = false;
    sim_opdb_config_st cfg;
    uint32_t active = 1;
    std::vector<op_values_st> ops; // ops[k - 1]; the active operator's live values are in the dictionary

    void save_active(const sim_od_t &od)
    {
        op_values_st &o = ops[active - 1];
        for (uint32_t k : cfg.keys) {
            auto it = od.find(k);
            if (it == od.end())
                continue;
            o.value[k] = it->second.value;
            o.stored[k] = it->second.stored;
        }
    }
    void load_active(sim_od_t &od)
    {
        op_values_st &o = ops[active - 1];
        for (uint32_t k : cfg.keys) {
            auto it = od.find(k);
            if (it == od.end())
                continue;
            it->second.value = o.value[k];
            it->second.stored = o.stored[k];
        }
    }
    void publish(sim_od_t &od)
    {
        od[sim_key(cfg.index, 1)].value = od[sim_key(cfg.index, 1)].stored = le(active, cfg.width);
        od[sim_key((uint16_t)(cfg.index + 1), 0)].value = le((uint32_t)ops.size(), 2);
        od[sim_key(cfg.current_index, 0)].value = {(uint8_t)(active - 1)};
    }
};

std::shared_ptr<sim_ext_st> sim_ext_create(sim_od_t &od, uint8_t node_id)
{
    od[sim_key(0x100B, 0)] = make(SIM_U8, SIM_RW, {node_id});
    return std::make_shared<sim_ext_st>();
}

uint32_t sim_ext_written(sim_ext_st *ext, sim_od_t &od, uint16_t index, uint8_t sub)
{
    if (!ext || !ext->has_opdb || index != ext->cfg.index)
        return 0;
    uint32_t v = get_le(od[sim_key(index, sub)].value);
    if (sub == 1) {
        if (v < 1 || v > ext->ops.size())
            return SDO_VALUE_RANGE;
        if (v == ext->cfg.refuse_switch_to)
            return SDO_GENERAL;
        ext->save_active(od);
        ext->active = v;
        ext->load_active(od);
        ext->publish(od);
        return 0;
    }
    if (sub == 3) {
        if (v != 1)
            return SDO_VALUE_RANGE;
        ext->save_active(od);
        ext->ops.push_back(ext->ops[0]);
        od[sim_key(index, 3)].value = le(0, ext->cfg.width);
        ext->publish(od);
    }
    return 0;
}

void sim_ext_reset(sim_ext_st *ext, sim_od_t &od, uint8_t &node_id)
{
    if (!ext)
        return;
    auto it = od.find(sim_key(0x100B, 0));
    if (it != od.end() && it->second.value.size() == 1) {
        uint8_t id = it->second.value[0];
        if (id >= 1 && id <= 127)
            node_id = id;
    }
    if (ext->has_opdb) {
        for (op_values_st &o : ext->ops)
            o.value = o.stored;
        ext->publish(od);
    }
}

bool sim_dev_add_opdb(sim_runner_st *r, uint8_t node, const sim_opdb_config_st &cfg)
{
    return sim_dev_with_ext(r, node, [&](sim_ext_st &ext, sim_od_t &od) {
        ext.has_opdb = true;
        ext.cfg = cfg;
        ext.active = 1;
        op_values_st first;
        for (uint32_t k : cfg.keys) {
            first.value[k] = od[k].value;
            first.stored[k] = od[k].stored;
        }
        ext.ops.assign(cfg.count ? cfg.count : 1, first);
        uint8_t t = width_type(cfg.width);
        od[sim_key(cfg.index, 0)] = make(SIM_U8, SIM_RO, {3});
        od[sim_key(cfg.index, 1)] = make(t, SIM_RW, le(1, cfg.width));
        od[sim_key(cfg.index, 3)] = make(t, SIM_RW, le(0, cfg.width));
        od[sim_key((uint16_t)(cfg.index + 1), 0)] = make(SIM_U16, SIM_RO, le(1, 2));
        od[sim_key(cfg.current_index, 0)] = make(SIM_U8, SIM_RO, {0});
        ext.publish(od);
    });
}

bool sim_dev_opdb_get(sim_runner_st *r, uint8_t node, uint32_t op, uint16_t index, uint8_t sub,
                      std::vector<uint8_t> &value, std::vector<uint8_t> &stored)
{
    bool ok = false;
    uint32_t k = sim_key(index, sub);
    bool found = sim_dev_with_ext(r, node, [&](sim_ext_st &ext, sim_od_t &od) {
        if (!ext.has_opdb || op < 1 || op > ext.ops.size())
            return;
        if (op == ext.active) {
            auto it = od.find(k);
            if (it == od.end())
                return;
            value = it->second.value;
            stored = it->second.stored;
            ok = true;
            return;
        }
        const op_values_st &o = ext.ops[op - 1];
        auto v = o.value.find(k);
        auto s = o.stored.find(k);
        if (v == o.value.end() || s == o.stored.end())
            return;
        value = v->second;
        stored = s->second;
        ok = true;
    });
    return found && ok;
}

uint32_t sim_dev_opdb_count(sim_runner_st *r, uint8_t node)
{
    uint32_t n = 0;
    sim_dev_with_ext(r, node, [&](sim_ext_st &ext, sim_od_t &) { n = ext.has_opdb ? (uint32_t)ext.ops.size() : 0; });
    return n;
}

uint32_t sim_dev_opdb_active(sim_runner_st *r, uint8_t node)
{
    uint32_t n = 0;
    sim_dev_with_ext(r, node, [&](sim_ext_st &ext, sim_od_t &) { n = ext.has_opdb ? ext.active : 0; });
    return n;
}
