// The shared bench (sim_setup.h) seen from the krcan end-to-end tests that write and read objects:
// krcan runs on it, the devices' values read back, and the small value builders those tests share.
#ifndef KR_E2E_SIM_BENCH_H
#define KR_E2E_SIM_BENCH_H

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "e2e/e2e.h"
#include "sim_setup.h"

namespace simbench {

using bytes = std::vector<uint8_t>;

inline sim_object_st object(uint8_t type, bytes value, uint32_t max = 0)
{
    sim_object_st o;
    o.type = type;
    o.access = SIM_RW;
    o.value = o.stored = o.def = value;
    o.max_size = max;
    return o;
}

inline bytes le(uint32_t v, size_t n)
{
    bytes b;
    for (size_t i = 0; i < n; i++) b.push_back((uint8_t)(v >> (8 * i)));
    return b;
}

inline bytes text(const std::string &s, bool terminator = true)
{
    bytes b(s.begin(), s.end());
    if (terminator) b.push_back(0);
    return b;
}

// Devices without heartbeats at the given nodes; a test's bench adds its objects in its constructor.
class bench {
public:
    // sizes false: upload answers do not indicate their size.
    explicit bench(const std::vector<uint8_t> &nodes, uint32_t can_if = 1, bool sizes = true)
    {
        std::string err;
        std::vector<sim_device_config_st> devs;
        for (uint8_t n : nodes) {
            sim_device_config_st d;
            d.node_id = n;
            d.heartbeat_ms = 0;
            d.can_if_version = can_if;
            d.expedited_size = sizes;
            devs.push_back(d);
        }
        if (!sim_setup_start(setup, devs, 0, err)) throw std::runtime_error(err);
    }
    ~bench() { sim_setup_stop(setup); }
    bench(const bench &) = delete;
    bench &operator=(const bench &) = delete;

    std::string channel() const { return setup.channel; }
    e2e::result krcan(const e2e::sandbox &box, std::vector<std::string> args, const std::string &input = "",
                      int timeout_ms = 90000)
    {
        args.insert(args.begin(), {"--silent", "--can", channel()});
        e2e::options o;
        o.timeout_ms = timeout_ms;
        o.stdin_text = input;
        e2e::result r = box.krcan(args, o);
        // A run may end with a reset the devices carry out after krcan is gone (their stored values
        // come back then): what the test does next must not race it.
        if (!sim_setup_settle(setup)) ADD_FAILURE() << "the simulated devices did not settle after krcan";
        return r;
    }
    uint32_t value(uint8_t node, uint16_t index, uint8_t sub = 0) { return sim_dev_get_u32(runner, node, index, sub); }
    // The stored (saved) value's first four bytes, 0xDEADBEEF when the object has none.
    uint32_t stored(uint8_t node, uint16_t index, uint8_t sub)
    {
        bytes v;
        if (!sim_dev_get_stored(runner, node, index, sub, v)) return 0xDEADBEEF;
        uint32_t x = 0;
        for (size_t i = 0; i < v.size() && i < 4; i++) x |= (uint32_t)v[i] << (8 * i);
        return x;
    }
    bytes raw(uint8_t node, uint16_t index, uint8_t sub)
    {
        bytes v;
        sim_dev_get(runner, node, index, sub, v);
        return v;
    }
    bool reset(uint8_t node)
    {
        auto log = sim_dev_nmt_log(runner, node);
        return std::find(log.begin(), log.end(), 0x81) != log.end();
    }

    sim_setup_st setup;
    sim_hub_st *&hub = setup.hub;
    sim_runner_st *&runner = setup.devs;
    uint16_t &port = setup.port;
};

} // namespace simbench

// The value builders, by their short names in every test that includes this.
using simbench::bytes;
using simbench::le;
using simbench::object;
using simbench::text;

#endif
