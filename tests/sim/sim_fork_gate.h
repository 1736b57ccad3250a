// Lets a test program fork while the in-process hub, devices and taps run. A fork copies the
// sanitizer allocator's locks as they stand, so a child forked while one of these threads was
// allocating would hang on its first allocation. Each thread holds the gate while it works and
// lets go only while it waits in poll; a fork waits until every thread waits. Test code.
#pragma once

#include <poll.h>
#include <signal.h>
#include <time.h>

#include <thread>

void sim_gate_enter();
void sim_gate_leave();
// poll/ppoll with the gate given back for the wait.
int sim_gate_poll(pollfd *fds, nfds_t n, int timeout_ms);
int sim_gate_ppoll(pollfd *fds, nfds_t n, const timespec *timeout);

// Starts a simulator thread that holds the gate from before it exists (its start-up allocates)
// until its function returns. Threads end only through a join, which a fork does not race.
template <class Fn, class Arg> std::thread sim_gate_thread(Fn fn, Arg arg)
{
    sim_gate_enter();
    return std::thread([fn, arg] {
        fn(arg);
        sim_gate_leave();
    });
}
