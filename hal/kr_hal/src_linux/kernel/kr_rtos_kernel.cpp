// The kernel layer: every task is a host thread, but only the holder of the run token runs.
// The token passes at RTOS calls; the highest ready priority goes first, FIFO within a priority.
// A blocked task's own thread sleeps until its wake-up time, so an idle process costs nothing
// between wake-ups and a single periodic task costs one thread wake per period.
#include <linux/futex.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <thread>

#include "kr_rtos.h"
#include "kr_rtos_port.h"
#include "kr_utilities.h"

namespace {

using kclock = std::chrono::steady_clock;

enum class task_state { ready, running, blocked, host, deleted };
enum class wake_reason { none, signaled, timeout, object_deleted };

constexpr uint32_t FOREIGN_PRIORITY = KR_RTOS_MAX_PRIORITY + 1; // non-task threads in a critical section
constexpr int LEVELS = KR_RTOS_MAX_PRIORITY + 2;
constexpr size_t THREAD_STACK_BYTES = 8u << 20; // the requested depth is only counted
constexpr uint64_t MAX_HOOK_CATCH_UP = 1000;

using wait_list = std::deque<kr_rtos_task *>;

} // namespace

struct kr_rtos_task {
    kr_rtos_task_function_t function = nullptr;
    void *arg = nullptr;
    char name[KR_RTOS_MAX_TASK_NAME_LEN + 1] = {};
    uint32_t priority = 0;
    // Woken through a futex of its own rather than a condition variable: a timed condition wait
    // leaves the kernel lock marked contended, which costs a second system call on every wake-up.
    std::atomic<uint32_t> wake_word{0};
    bool sleeping = false;
    task_state state = task_state::ready;
    wake_reason reason = wake_reason::none;
    bool timed = false;
    std::pair<uint64_t, uint64_t> timer_key{};
    wait_list *waiting_on = nullptr;
    uint32_t crit_nest = 0;
    uint32_t blocking_nest = 0;
    bool blocking_active = false;
    bool delete_requested = false;
    bool holds_for_critical = false; // foreign records only
};

struct kr_rtos_sem {
    bool available = false;
    wait_list waiters;
    std::condition_variable host_cv;
    uint32_t host_waiters = 0;
};

struct kr_rtos_queue {
    std::unique_ptr<uint8_t[]> storage;
    uint32_t length = 0;
    uint32_t item_size = 0;
    uint32_t count = 0;
    uint32_t head = 0;
    uint32_t tail = 0;
    wait_list not_empty;
    wait_list not_full;
    std::condition_variable host_not_empty;
    std::condition_variable host_not_full;
};

namespace {

struct kernel {
    std::mutex lock;
    bool running = false;
    kr_rtos_task *current = nullptr; // the token holder; null when free
    wait_list ready[LEVELS];
    std::map<std::pair<uint64_t, uint64_t>, kr_rtos_task *> timers;
    uint64_t seq = 0;
    std::condition_variable kcv; // the scheduler thread, which runs the idle and tick hooks
    kr_rtos_task hook_holder;
    uint64_t last_tick_hook = 0;
    uint32_t stack_total = 0;
    kclock::time_point epoch = kclock::now();
};

// Never destroyed: exit() from a task runs static destructors while the other task threads are
// parked on these condition variables.
kernel &K()
{
    static kernel *k = new kernel();
    return *k;
}

thread_local kr_rtos_task *tl_self = nullptr;
thread_local std::unique_ptr<kr_rtos_task> tl_foreign;
thread_local uint32_t tl_prestart_crit = 0;

using ulock = std::unique_lock<std::mutex>;

// Tests only: a manual clock that moves when a test advances it, and what time it reached, so that the
// host clock resumes from there instead of running back. The product never sets either.
std::atomic<bool> manual_clock{false};
std::atomic<uint64_t> manual_tick{0};
std::atomic<uint64_t> clock_offset{0};

uint64_t host_tick()
{
    return (uint64_t)std::chrono::duration_cast<std::chrono::milliseconds>(kclock::now() - K().epoch).count();
}

uint64_t now_tick()
{
    if (manual_clock.load(std::memory_order_relaxed)) return manual_tick.load();
    return host_tick() + clock_offset.load(std::memory_order_relaxed);
}

kclock::time_point tick_time(uint64_t tick)
{
    return K().epoch + std::chrono::milliseconds(tick) - std::chrono::milliseconds(clock_offset.load());
}

void wake_task(kr_rtos_task *t)
{
    t->wake_word.fetch_add(1, std::memory_order_release);
    if (t->sleeping) syscall(SYS_futex, &t->wake_word, FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

// Sleeps until woken or until the task's wake-up time; the kernel lock is free meanwhile.
void sleep_task(kr_rtos_task *t, ulock &lk)
{
    const uint32_t seen = t->wake_word.load(std::memory_order_acquire);
    timespec deadline;
    const bool timed = t->timed;
    if (timed) {
        auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
            tick_time(t->timer_key.first).time_since_epoch());
        deadline.tv_sec = (time_t)(ns.count() / 1000000000);
        deadline.tv_nsec = (long)(ns.count() % 1000000000);
    }
    t->sleeping = true;
    lk.unlock();
    // An absolute CLOCK_MONOTONIC deadline, the clock of steady_clock.
    syscall(SYS_futex, &t->wake_word, FUTEX_WAIT_BITSET_PRIVATE, seen, timed ? &deadline : nullptr, nullptr,
            FUTEX_BITSET_MATCH_ANY);
    lk.lock();
    t->sleeping = false;
}

void timer_add(kr_rtos_task *t, uint64_t wake)
{
    kernel &k = K();
    t->timer_key = {wake, ++k.seq};
    k.timers.emplace(t->timer_key, t);
    t->timed = true;
}

void timer_remove(kr_rtos_task *t)
{
    if (t->timed) {
        K().timers.erase(t->timer_key);
        t->timed = false;
    }
}

// Higher priority first, FIFO among equals.
void waitlist_insert(wait_list &l, kr_rtos_task *t)
{
    auto it = std::find_if(l.begin(), l.end(), [t](kr_rtos_task *o) { return o->priority < t->priority; });
    l.insert(it, t);
    t->waiting_on = &l;
}

void waitlist_remove(kr_rtos_task *t)
{
    if (t->waiting_on) {
        auto &l = *t->waiting_on;
        auto it = std::find(l.begin(), l.end(), t);
        if (it != l.end()) l.erase(it);
        t->waiting_on = nullptr;
    }
}

void ready_push(kr_rtos_task *t, bool front)
{
    t->state = task_state::ready;
    auto &l = K().ready[t->priority];
    if (front)
        l.push_front(t);
    else
        l.push_back(t);
}

void ready_remove(kr_rtos_task *t)
{
    auto &l = K().ready[t->priority];
    auto it = std::find(l.begin(), l.end(), t);
    if (it != l.end()) l.erase(it);
}

void expire_timers()
{
    kernel &k = K();
    if (k.timers.empty()) return;
    uint64_t now = now_tick();
    while (!k.timers.empty() && k.timers.begin()->first.first <= now) {
        kr_rtos_task *t = k.timers.begin()->second;
        k.timers.erase(k.timers.begin());
        t->timed = false;
        waitlist_remove(t);
        t->reason = wake_reason::timeout;
        ready_push(t, false);
    }
}

int highest_ready_level()
{
    for (int level = LEVELS - 1; level >= 0; --level)
        if (!K().ready[level].empty()) return level;
    return -1;
}

bool hooks_wanted() { return kr_rtos_idle_task_set() || kr_rtos_tick_task_set(); }

// The token is free: hand it to the highest ready task.
void dispatch()
{
    kernel &k = K();
    expire_timers();
    int level = highest_ready_level();
    if (level < 0) {
        k.current = nullptr;
        if (hooks_wanted()) k.kcv.notify_one();
        return;
    }
    kr_rtos_task *next = k.ready[level].front();
    k.ready[level].pop_front();
    next->state = task_state::running;
    k.current = next;
    wake_task(next);
}

void make_ready(kr_rtos_task *t)
{
    ready_push(t, false);
    if (K().running && K().current == nullptr) dispatch();
}

[[noreturn]] void end_thread(kr_rtos_task *t)
{
    tl_self = nullptr;
    delete t;
    pthread_exit(nullptr);
}

// Waits (with the kernel lock held) until the token is handed to `t`. A task whose wake-up time
// comes while the token is free dispatches itself.
void wait_for_token(kr_rtos_task *t, ulock &lk)
{
    kernel &k = K();
    while (k.current != t) {
        if (t->state == task_state::deleted) {
            lk.unlock();
            end_thread(t);
        }
        sleep_task(t, lk);
        if (!k.running) continue;
        if (k.current == nullptr)
            dispatch();
        else
            expire_timers(); // due while another runs: wait untimed for the hand-over
    }
    if (t->delete_requested && t != tl_foreign.get()) {
        t->state = task_state::deleted;
        k.current = nullptr;
        dispatch();
        lk.unlock();
        end_thread(t);
    }
}

// The running task gives the token away and waits to get it back.
void switch_out(kr_rtos_task *self, ulock &lk)
{
    K().current = nullptr;
    dispatch();
    wait_for_token(self, lk);
}

bool holds_token(kr_rtos_task *self) { return self && K().running && K().current == self; }

// A higher-priority task became ready: the running one steps aside (not inside a critical section).
void preempt_point(ulock &lk)
{
    kr_rtos_task *self = tl_self;
    if (!holds_token(self) || self->crit_nest) return;
    expire_timers();
    if (highest_ready_level() > (int)self->priority) {
        ready_push(self, true);
        switch_out(self, lk);
    }
}

// Blocks the running task until `wake` (absolute tick), or forever when `timed` is false.
void block_running(kr_rtos_task *self, ulock &lk, bool timed, uint64_t wake)
{
    self->state = task_state::blocked;
    self->reason = wake_reason::none;
    if (timed) timer_add(self, wake);
    switch_out(self, lk);
}

void *task_trampoline(void *p)
{
    auto *t = static_cast<kr_rtos_task *>(p);
    tl_self = t;
    {
        ulock lk(K().lock);
        wait_for_token(t, lk);
    }
    t->function(t->arg);
    kr_rtos_task_delete(nullptr);
    return nullptr;
}

kr_rtos_task *foreign_record()
{
    if (!tl_foreign) {
        tl_foreign.reset(new (std::nothrow) kr_rtos_task());
        if (!tl_foreign) vApplicationMallocFailedHook();
        tl_foreign->priority = FOREIGN_PRIORITY;
        std::snprintf(tl_foreign->name, sizeof tl_foreign->name, "host");
    }
    return tl_foreign.get();
}

bool deadline_passed(bool timed, uint64_t wake) { return timed && now_tick() >= wake; }

void wake_one(wait_list &l, std::condition_variable &host_cv)
{
    if (!l.empty()) {
        kr_rtos_task *t = l.front();
        l.pop_front();
        t->waiting_on = nullptr;
        timer_remove(t);
        t->reason = wake_reason::signaled;
        make_ready(t);
    } else {
        host_cv.notify_all();
    }
}

void release_waiters(wait_list &l)
{
    while (!l.empty()) {
        kr_rtos_task *t = l.front();
        l.pop_front();
        t->waiting_on = nullptr;
        timer_remove(t);
        t->reason = wake_reason::object_deleted;
        make_ready(t);
    }
}

enum class queue_op { push, pop, peek };

kr_errors_e queue_access(kr_queue_st q, void *item, uint32_t wait_ms, queue_op op)
{
    if (!q || (!item && q->item_size)) return ERR_NULL_PTR;
    kernel &k = K();
    ulock lk(k.lock);
    const bool forever = wait_ms == KR_RTOS_WAIT_FOREVER;
    const uint64_t wake = now_tick() + wait_ms;
    const kr_errors_e fail = op == queue_op::push ? ERR_BUFFER_OVERFLOW : ERR_BUFFER_EMPTY;
    for (;;) {
        if (op == queue_op::push && q->count < q->length) {
            if (q->item_size) std::memcpy(&q->storage[(size_t)q->head * q->item_size], item, q->item_size);
            q->head = (q->head + 1) % q->length;
            q->count++;
            wake_one(q->not_empty, q->host_not_empty);
            preempt_point(lk);
            return ERR_NONE;
        }
        if (op != queue_op::push && q->count > 0) {
            if (q->item_size) std::memcpy(item, &q->storage[(size_t)q->tail * q->item_size], q->item_size);
            if (op == queue_op::pop) {
                q->tail = (q->tail + 1) % q->length;
                q->count--;
                wake_one(q->not_full, q->host_not_full);
            } else if (!q->not_empty.empty()) {
                wake_one(q->not_empty, q->host_not_empty); // the item is still there for the next reader
            }
            preempt_point(lk);
            return ERR_NONE;
        }
        if (wait_ms == 0 || deadline_passed(!forever, wake)) return fail;
        wait_list &l = op == queue_op::push ? q->not_full : q->not_empty;
        kr_rtos_task *self = tl_self;
        if (holds_token(self)) {
            waitlist_insert(l, self);
            block_running(self, lk, !forever, wake);
            if (self->reason == wake_reason::object_deleted) return fail;
        } else {
            std::condition_variable &cv = op == queue_op::push ? q->host_not_full : q->host_not_empty;
            if (forever)
                cv.wait(lk);
            else
                cv.wait_until(lk, tick_time(wake));
        }
    }
}

} // namespace

extern "C" {

int32_t kr_rtos_task_create(kr_rtos_task_function_t task_function, const char *task_name, uint32_t stack_depth,
                            void *this_ptr, uint32_t task_priority, kr_rtos_task_handle_t *handle)
{
    kernel &k = K();
    if (handle) *handle = nullptr;
    bool refused;
    {
        std::lock_guard<std::mutex> g(k.lock);
        // The total never decreases, so it saturates instead of wrapping back under the budget.
        uint32_t total = k.stack_total + stack_depth;
        k.stack_total = total < k.stack_total ? UINT32_MAX : total;
        refused = k.stack_total >= KR_RTOS_STACK_BUDGET;
    }
    if (refused || !task_function) {
        kr_diag("Task creation failed: Out of memory\r");
        return KR_RTOS_FAIL;
    }
    auto *t = new (std::nothrow) kr_rtos_task();
    if (!t) vApplicationMallocFailedHook();
    t->function = task_function;
    t->arg = this_ptr;
    t->priority = task_priority > KR_RTOS_MAX_PRIORITY ? KR_RTOS_MAX_PRIORITY : task_priority;
    if (task_name) {
        std::strncpy(t->name, task_name, KR_RTOS_MAX_TASK_NAME_LEN);
        t->name[KR_RTOS_MAX_TASK_NAME_LEN] = '\0';
    }
    if (handle) *handle = t;

    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, THREAD_STACK_BYTES);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    ulock lk(k.lock);
    int rc = pthread_create(&thread, &attr, task_trampoline, t);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        lk.unlock();
        delete t;
        if (handle) *handle = nullptr;
        kr_diag("Task creation failed: %s\n", std::strerror(rc));
        return KR_RTOS_FAIL;
    }
    make_ready(t);
    preempt_point(lk);
    return KR_RTOS_PASS;
}

void kr_rtos_task_delete(kr_rtos_task_handle_t task)
{
    kernel &k = K();
    kr_rtos_task *self = tl_self;
    if (!task || task == self) {
        if (!self) return;
        ulock lk(k.lock);
        self->state = task_state::deleted;
        if (k.current == self) dispatch();
        lk.unlock();
        end_thread(self);
    }
    ulock lk(k.lock);
    switch (task->state) {
    case task_state::deleted: return;
    case task_state::host:
    case task_state::running: // held by a thread that is not a task: it ends at its next RTOS call
        task->delete_requested = true;
        return;
    case task_state::ready:
    case task_state::blocked:
        ready_remove(task);
        timer_remove(task);
        waitlist_remove(task);
        task->state = task_state::deleted;
        wake_task(task);
        return;
    }
}

void kr_rtos_task_delay(uint32_t ms)
{
    if (ms == 0) {
        kr_rtos_yield();
        return;
    }
    kr_rtos_task *self = tl_self;
    ulock lk(K().lock);
    if (!holds_token(self)) {
        lk.unlock();
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        return;
    }
    block_running(self, lk, true, now_tick() + ms);
}

void kr_rtos_task_delay_until(uint32_t *previous_wake, uint32_t period_ms)
{
    if (!previous_wake) return;
    kr_rtos_task *self = tl_self;
    ulock lk(K().lock);
    const uint64_t now = now_tick();
    const uint32_t now32 = (uint32_t)now;
    const uint32_t prev = *previous_wake;
    const uint32_t wake32 = prev + period_ms;
    bool should_delay;
    if (now32 < prev) // the tick count wrapped since the previous wake-up
        should_delay = wake32 < prev && wake32 > now32;
    else
        should_delay = wake32 < prev || wake32 > now32;
    *previous_wake = wake32;
    const uint64_t wake = now + (uint32_t)(wake32 - now32);
    if (!holds_token(self)) {
        lk.unlock();
        if (should_delay) std::this_thread::sleep_until(tick_time(wake));
        return;
    }
    if (should_delay) {
        block_running(self, lk, true, wake);
    } else {
        expire_timers();
        if (highest_ready_level() >= (int)self->priority) {
            ready_push(self, false);
            switch_out(self, lk);
        }
    }
}

void kr_rtos_yield(void)
{
    kr_rtos_task *self = tl_self;
    ulock lk(K().lock);
    if (!holds_token(self)) {
        lk.unlock();
        std::this_thread::yield();
        return;
    }
    expire_timers();
    if (highest_ready_level() >= (int)self->priority) {
        ready_push(self, false);
        switch_out(self, lk);
    } else {
        // Nothing of this priority or above is ready: wait for the next tick rather than spin.
        block_running(self, lk, true, now_tick() + 1);
    }
}

uint32_t kr_rtos_get_tick_count(void) { return (uint32_t)now_tick(); }

bool kr_rtos_test_clock_manual(bool manual)
{
    std::lock_guard<std::mutex> g(K().lock);
    // A running scheduler's timed waits follow the host clock.
    if (K().running) return false;
    if (manual == manual_clock.load()) return true;
    if (manual) {
        manual_tick = now_tick();
    } else {
        const uint64_t host = host_tick(), reached = manual_tick.load();
        clock_offset = reached > host ? reached - host : 0;
    }
    manual_clock = manual;
    return true;
}

void kr_rtos_test_clock_advance(uint32_t ms)
{
    if (manual_clock.load()) manual_tick += ms;
}

kr_rtos_task_handle_t kr_rtos_current_task(void) { return tl_self; }

const char *kr_rtos_task_name(kr_rtos_task_handle_t task)
{
    if (!task) task = tl_self;
    return task ? task->name : "";
}

uint32_t kr_rtos_task_priority(kr_rtos_task_handle_t task)
{
    if (!task) task = tl_self;
    return task ? task->priority : 0;
}

void kr_rtos_start_scheduler(void)
{
    kernel &k = K();
    kr_diag("The RTOS scheduler started\n");
    ulock lk(k.lock);
    if (k.running) return;
    k.running = true;
    k.last_tick_hook = now_tick();
    dispatch();
    // This thread now only runs the idle and tick hooks; tasks hand the token on among themselves.
    for (;;) {
        if (!hooks_wanted()) {
            k.kcv.wait(lk);
            continue;
        }
        if (k.current == nullptr) {
            expire_timers();
            if (highest_ready_level() >= 0) {
                dispatch();
                continue;
            }
            k.current = &k.hook_holder;
            uint64_t now = now_tick();
            uint64_t owed = std::min(now - k.last_tick_hook, MAX_HOOK_CATCH_UP);
            k.last_tick_hook = now;
            lk.unlock();
            if (kr_rtos_tick_task_set())
                for (uint64_t i = 0; i < owed; ++i) vApplicationTickHook();
            if (kr_rtos_idle_task_set()) vApplicationIdleHook();
            lk.lock();
            dispatch();
        }
        k.kcv.wait_until(lk, tick_time(now_tick() + 1));
    }
}

bool kr_rtos_scheduler_running(void)
{
    std::lock_guard<std::mutex> g(K().lock);
    return K().running;
}

void kr_rtos_enter_critical(void)
{
    kr_rtos_task *self = tl_self;
    kernel &k = K();
    ulock lk(k.lock);
    if (holds_token(self)) {
        self->crit_nest++;
        return;
    }
    if (!k.running) {
        tl_prestart_crit++;
        return;
    }
    // A thread that is not running as a task takes the token ahead of every task.
    kr_rtos_task *f = foreign_record();
    if (f->crit_nest++ > 0) return;
    f->holds_for_critical = true;
    make_ready(f);
    wait_for_token(f, lk);
}

void kr_rtos_exit_critical(void)
{
    kr_rtos_task *self = tl_self;
    kernel &k = K();
    ulock lk(k.lock);
    if (holds_token(self) && self->crit_nest) {
        if (--self->crit_nest == 0) preempt_point(lk);
        return;
    }
    kr_rtos_task *f = tl_foreign.get();
    if (f && f->crit_nest) {
        if (--f->crit_nest == 0 && f->holds_for_critical) {
            f->holds_for_critical = false;
            if (k.current == f) dispatch();
        }
        return;
    }
    if (tl_prestart_crit) tl_prestart_crit--;
}

void kr_rtos_blocking_enter(void)
{
    kr_rtos_task *self = tl_self;
    if (!self) return;
    ulock lk(K().lock);
    if (self->blocking_nest++ > 0) return;
    // Inside a critical section nothing else may run, so the token stays.
    self->blocking_active = holds_token(self) && self->crit_nest == 0;
    if (self->blocking_active) {
        self->state = task_state::host;
        dispatch();
    }
}

void kr_rtos_blocking_leave(void)
{
    kr_rtos_task *self = tl_self;
    if (!self) return;
    ulock lk(K().lock);
    if (self->blocking_nest == 0 || --self->blocking_nest > 0 || !self->blocking_active) return;
    self->blocking_active = false;
    if (self->delete_requested) {
        self->state = task_state::deleted;
        lk.unlock();
        end_thread(self);
    }
    make_ready(self);
    wait_for_token(self, lk);
}

kr_mutex_st kr_rtos_sem_create(void)
{
    auto *s = new (std::nothrow) kr_rtos_sem();
    if (!s) vApplicationMallocFailedHook();
    return s;
}

bool kr_rtos_sem_take(kr_mutex_st sem, uint32_t wait_ms)
{
    if (!sem) return false;
    kernel &k = K();
    ulock lk(k.lock);
    if (sem->available) {
        sem->available = false;
        return true;
    }
    if (wait_ms == 0) return false;
    const bool forever = wait_ms == KR_RTOS_WAIT_FOREVER;
    const uint64_t wake = now_tick() + wait_ms;
    kr_rtos_task *self = tl_self;
    if (holds_token(self)) {
        waitlist_insert(sem->waiters, self);
        block_running(self, lk, !forever, wake);
        return self->reason == wake_reason::signaled; // handed over by the giver
    }
    sem->host_waiters++;
    auto pred = [sem] { return sem->available; };
    bool got = forever ? (sem->host_cv.wait(lk, pred), true) : sem->host_cv.wait_until(lk, tick_time(wake), pred);
    sem->host_waiters--;
    if (got) sem->available = false;
    return got;
}

void kr_rtos_sem_give(kr_mutex_st sem)
{
    if (!sem) return;
    ulock lk(K().lock);
    if (!sem->waiters.empty()) {
        wake_one(sem->waiters, sem->host_cv); // straight to the waiter: no one can take it in between
        preempt_point(lk);
        return;
    }
    sem->available = true;
    if (sem->host_waiters) sem->host_cv.notify_one();
}

void kr_rtos_sem_delete(kr_mutex_st sem)
{
    if (!sem) return;
    {
        std::lock_guard<std::mutex> g(K().lock);
        release_waiters(sem->waiters);
    }
    delete sem;
}

kr_queue_st kr_queue_create(uint32_t length, uint32_t item_size)
{
    if (length == 0) return nullptr;
    auto *q = new (std::nothrow) kr_rtos_queue();
    if (!q) vApplicationMallocFailedHook();
    const uint64_t bytes = (uint64_t)length * item_size;
    if (bytes) {
        q->storage.reset(bytes <= SIZE_MAX / 2 ? new (std::nothrow) uint8_t[bytes] : nullptr);
        if (!q->storage) {
            delete q;
            return nullptr;
        }
    }
    q->length = length;
    q->item_size = item_size;
    return q;
}

void kr_queue_delete(kr_queue_st queue)
{
    if (!queue) return;
    {
        std::lock_guard<std::mutex> g(K().lock);
        release_waiters(queue->not_empty);
        release_waiters(queue->not_full);
    }
    delete queue;
}

kr_errors_e kr_queue_push(kr_queue_st queue, const void *src, uint32_t wait_ms)
{
    return queue_access(queue, const_cast<void *>(src), wait_ms, queue_op::push);
}

kr_errors_e kr_queue_push_isr(kr_queue_st queue, const void *src)
{
    return queue_access(queue, const_cast<void *>(src), 0, queue_op::push);
}

kr_errors_e kr_queue_pop(kr_queue_st queue, void *dest, uint32_t wait_ms)
{
    return queue_access(queue, dest, wait_ms, queue_op::pop);
}

kr_errors_e kr_queue_pop_isr(kr_queue_st queue, void *dest) { return queue_access(queue, dest, 0, queue_op::pop); }

kr_errors_e kr_queue_peek(kr_queue_st queue, void *dest, uint32_t wait_ms)
{
    return queue_access(queue, dest, wait_ms, queue_op::peek);
}

} // extern "C"
