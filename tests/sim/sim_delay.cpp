// Delayed SDO answers of a simulated device. Test code.
#include "sim_delay.h"

bool sim_delay_hold(sim_delay_st &d, const sim_frame_st &f, int64_t now_ns)
{
    if (d.ms == 0 && d.held.empty())
        return false;
    d.held.emplace_back(now_ns + (int64_t)d.ms * 1000000, f);
    return true;
}

void sim_delay_release(sim_delay_st &d, int64_t now_ns, const std::function<void(const sim_frame_st &)> &send)
{
    while (!d.held.empty() && d.held.front().first <= now_ns) {
        sim_frame_st f = d.held.front().second;
        d.held.pop_front();
        send(f);
    }
}

int64_t sim_delay_next(const sim_delay_st &d)
{
    return d.held.empty() ? 0 : d.held.front().first;
}
