// The kernel layer under real threads: one task at a time, scheduling order, time, semaphores,
// queues, critical and blocking sections, the stack budget. Each scenario runs in a forked child.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "hal/rtos_child.h"
#include "kr_rtos.h"
#include "kr_utilities.h"

namespace {

void spin(int n)
{
    volatile int k = 0;
    while (k < n) k = k + 1;
}

struct order_log {
    std::atomic<int> n{0};
    char order[64];
    void add(char c)
    {
        int i = n.fetch_add(1);
        if (i < 63) order[i] = c;
    }
    std::string str() const { return std::string(order, std::min(n.load(), 63)); }
};

TEST(RtosScheduling, HighestPriorityFirstAndFifoWithinAPriority)
{
    auto *log = shared_block<order_log>();
    int status = run_child([log] {
        static order_log *L = log;
        struct arg_st {
            char c;
        };
        static arg_st args[] = {{'a'}, {'b'}, {'c'}, {'d'}, {'e'}, {'f'}, {'g'}};
        auto body = [](void *p) { L->add(static_cast<arg_st *>(p)->c); };
        // Created before the scheduler: they start in priority order, FIFO within a priority.
        kr_rtos_task_create(body, "a", 100, &args[0], 2, nullptr);
        kr_rtos_task_create(body, "b", 100, &args[1], 5, nullptr);
        kr_rtos_task_create(body, "c", 100, &args[2], 2, nullptr);
        kr_rtos_task_create(body, "d", 100, &args[3], 101, nullptr); // clamps to 6
        kr_rtos_task_create(body, "e", 100, &args[4], 5, nullptr);
        kr_rtos_task_create(body, "f", 100, &args[5], 65535, nullptr);
        kr_rtos_task_create(
            [](void *) {
                kr_rtos_task_delay(20);
                std::exit(0);
            },
            "end", 100, nullptr, 0, nullptr);
        kr_rtos_start_scheduler();
    });
    EXPECT_TRUE(exited_with(status, 0)) << status;
    EXPECT_EQ(log->str(), "dfbeac");
    free_shared(log);
}

TEST(RtosScheduling, SemaphoreWakesHighestWaiterFirstThenInArrivalOrder)
{
    auto *log = shared_block<order_log>();
    int status = run_child([log] {
        static order_log *L = log;
        static kr_mutex_st sem = kr_rtos_sem_create();
        static const char names[] = "xyzH";
        static const uint32_t prios[] = {3, 3, 3, 4};
        for (int i = 0; i < 4; ++i) {
            kr_rtos_task_create(
                [](void *p) {
                    const char c = *static_cast<const char *>(p);
                    if (kr_rtos_sem_take(sem, KR_RTOS_WAIT_FOREVER)) L->add(c);
                },
                "waiter", 100, (void *)&names[i], prios[i], nullptr);
        }
        kr_rtos_task_create(
            [](void *) {
                kr_rtos_task_delay(5); // every waiter is queued by now
                for (int i = 0; i < 4; ++i) kr_rtos_sem_give(sem);
                while (L->n.load() < 4) kr_rtos_task_delay(1);
                std::exit(0);
            },
            "giver", 100, nullptr, 1, nullptr);
        kr_rtos_start_scheduler();
    });
    EXPECT_TRUE(exited_with(status, 0)) << status;
    // The priority-4 waiter arrived last but goes first; the others in the order they waited.
    EXPECT_EQ(log->str(), "Hxyz");
    free_shared(log);
}

TEST(RtosScheduling, YieldPassesToEqualPriorityAndNeverStarvesLowerOnes)
{
    struct result_st {
        std::atomic<int> a{0}, b{0}, low{0};
        order_log log;
    };
    auto *r = shared_block<result_st>();
    int status = run_child([r] {
        static result_st *R = r;
        kr_rtos_task_create(
            [](void *) {
                for (int i = 0; i < 3; ++i) {
                    R->log.add('a');
                    kr_rtos_yield();
                }
            },
            "a", 100, nullptr, 3, nullptr);
        kr_rtos_task_create(
            [](void *) {
                for (int i = 0; i < 3; ++i) {
                    R->log.add('b');
                    kr_rtos_yield();
                }
                // Alone at its priority: each yield waits a tick, so the lower task gets to run.
                for (int i = 0; i < 50; ++i) kr_rtos_yield();
                std::exit(0);
            },
            "b", 100, nullptr, 3, nullptr);
        kr_rtos_task_create(
            [](void *) {
                for (;;) {
                    R->low++;
                    kr_rtos_yield();
                }
            },
            "low", 100, nullptr, 1, nullptr);
        kr_rtos_start_scheduler();
    });
    EXPECT_TRUE(exited_with(status, 0)) << status;
    EXPECT_EQ(r->log.str(), "ababab");
    EXPECT_GT(r->low.load(), 10);
    free_shared(r);
}

// Several tasks of mixed priorities hammer every kind of switch while host threads load the CPUs;
// no two tasks may ever be between RTOS calls at the same time.
TEST(RtosScheduling, NeverTwoTasksAtOnceUnderLoad)
{
    constexpr int TASKS = 8, ROUNDS = 400;
    struct result_st {
        std::atomic<int> inside{0};
        std::atomic<int> violations{0};
        std::atomic<int> done{0};
        std::atomic<int> rounds[TASKS];
    };
    auto *r = shared_block<result_st>();
    int status = run_child(
        [r] {
            static result_st *R = r;
            static kr_mutex_st mutex;
            static kr_queue_st queue = kr_queue_create(4, sizeof(int));
            kr_mutex_init(&mutex);
            static std::atomic<bool> stop_load{false};
            for (int i = 0; i < 2; ++i)
                std::thread([] {
                    volatile unsigned x = 0;
                    while (!stop_load) x = x + 1;
                }).detach();
            static int ids[TASKS];
            for (int i = 0; i < TASKS; ++i) {
                ids[i] = i;
                kr_rtos_task_create(
                    [](void *p) {
                        const int id = *static_cast<int *>(p);
                        unsigned seed = (unsigned)id * 7919u + 1;
                        auto region = [] {
                            if (R->inside.fetch_add(1) != 0) R->violations++;
                            spin(200);
                            R->inside.fetch_sub(1);
                        };
                        for (int round = 0; round < ROUNDS; ++round) {
                            region();
                            seed = seed * 1103515245u + 12345u;
                            switch ((seed >> 16) % 6) {
                            case 0: kr_rtos_yield(); break;
                            case 1: kr_rtos_task_delay(1); break;
                            case 2:
                                kr_mutex_lock(&mutex);
                                region();
                                kr_rtos_yield();
                                region();
                                kr_mutex_unlock(&mutex);
                                break;
                            case 3: {
                                kr_rtos_blocking_section section;
                                usleep(100); // a host call: no token held here
                                break;
                            }
                            case 4: kr_queue_push(queue, &round, 2); break;
                            default: {
                                int v;
                                kr_queue_pop(queue, &v, 2);
                                break;
                            }
                            }
                            R->rounds[id]++;
                        }
                        R->done++;
                    },
                    "worker", 1000, &ids[i], 1 + i % 3, nullptr);
            }
            kr_rtos_task_create(
                [](void *) {
                    while (R->done.load() < TASKS) kr_rtos_task_delay(10);
                    stop_load = true;
                    std::exit(0);
                },
                "watch", 1000, nullptr, 0, nullptr);
            kr_rtos_start_scheduler();
        },
        120);
    EXPECT_TRUE(exited_with(status, 0)) << status;
    EXPECT_EQ(r->violations.load(), 0);
    for (int i = 0; i < TASKS; ++i) EXPECT_EQ(r->rounds[i].load(), ROUNDS) << "task " << i;
    free_shared(r);
}

TEST(RtosTime, DelayAndDelayUntilKeepTheirTime)
{
    struct result_st {
        double delay_min = 1e9, delay_max = 0, delay_total = 0;
        double until_elapsed = 0;
        uint32_t until_ticks = 0;
    };
    auto *r = shared_block<result_st>();
    int status = run_child([r] {
        static result_st *R = r;
        kr_rtos_task_create(
            [](void *) {
                for (int i = 0; i < 50; ++i) {
                    double t0 = mono_ms();
                    kr_rtos_task_delay(5);
                    double d = mono_ms() - t0;
                    R->delay_min = std::min(R->delay_min, d);
                    R->delay_max = std::max(R->delay_max, d);
                    R->delay_total += d;
                }
                // Delay-until keeps the period from the previous wake-up, not from now.
                uint32_t wake = kr_rtos_get_tick_count();
                const uint32_t first = wake;
                double t0 = mono_ms();
                for (int i = 0; i < 100; ++i) {
                    spin(20000); // work inside the period must not stretch it
                    kr_rtos_task_delay_until(&wake, 4);
                }
                R->until_elapsed = mono_ms() - t0;
                R->until_ticks = wake - first;
                std::exit(0);
            },
            "timer", 1000, nullptr, 3, nullptr);
        kr_rtos_start_scheduler();
    });
    EXPECT_TRUE(exited_with(status, 0)) << status;
    // A delay of 5 ticks from inside a tick lasts more than 4 and about 5 ms.
    EXPECT_GE(r->delay_min, 4.0);
    EXPECT_LT(r->delay_total / 50, 20.0); // upper bounds leave room for a loaded machine
    EXPECT_LT(r->delay_max, 500.0);
    EXPECT_EQ(r->until_ticks, 400u);
    EXPECT_GE(r->until_elapsed, 399.0);
    EXPECT_LT(r->until_elapsed, 900.0); // a late wake-up on a loaded machine
    free_shared(r);
}

TEST(RtosSync, SemaphoreTimeOutsAndHandOver)
{
    struct result_st {
        bool timed_out_result = true;
        double timed_out_ms = 0;
        bool given_result = false;
        double given_ms = 0;
        bool zero_wait = true;
        bool host_given = false;
        bool mutex_free_at_start = false;
    };
    auto *r = shared_block<result_st>();
    int status = run_child([r] {
        static result_st *R = r;
        static kr_mutex_st sem = kr_rtos_sem_create();
        static kr_mutex_st host_sem = kr_rtos_sem_create();
        static kr_mutex_st mutex;
        kr_mutex_init(&mutex);
        R->mutex_free_at_start = kr_rtos_sem_take(mutex, 0); // before the scheduler: no token needed
        kr_rtos_task_create(
            [](void *) {
                R->zero_wait = kr_rtos_sem_take(sem, 0);
                double t0 = mono_ms();
                R->timed_out_result = kr_rtos_sem_take(sem, 30);
                R->timed_out_ms = mono_ms() - t0;
                t0 = mono_ms();
                R->given_result = kr_rtos_sem_take(sem, 1000); // the helper gives after 10 ms
                R->given_ms = mono_ms() - t0;
                // A thread outside the scheduler gives: the waiting task wakes.
                std::thread([] {
                    usleep(5000);
                    kr_rtos_sem_give(host_sem);
                }).detach();
                R->host_given = kr_rtos_sem_take(host_sem, 1000);
                std::exit(0);
            },
            "taker", 1000, nullptr, 3, nullptr);
        kr_rtos_task_create(
            [](void *) {
                kr_rtos_task_delay(50);
                kr_rtos_task_delay(10);
                kr_rtos_sem_give(sem);
            },
            "giver", 1000, nullptr, 2, nullptr);
        kr_rtos_start_scheduler();
    });
    EXPECT_TRUE(exited_with(status, 0)) << status;
    EXPECT_TRUE(r->mutex_free_at_start);
    EXPECT_FALSE(r->zero_wait);
    EXPECT_FALSE(r->timed_out_result);
    EXPECT_GE(r->timed_out_ms, 29.0);
    EXPECT_LT(r->timed_out_ms, 200.0);
    EXPECT_TRUE(r->given_result);
    EXPECT_LT(r->given_ms, 500.0); // woken by the give, long before its 1000 ms
    EXPECT_TRUE(r->host_given);
    free_shared(r);
}

TEST(RtosSync, QueuesKeepOrderAndTimeOut)
{
    struct result_st {
        kr_errors_e push[3] = {1, 1, 1};
        double full_ms = 0;
        kr_errors_e isr_full = 0;
        int peeked = -1;
        int popped[2] = {-1, -1};
        kr_errors_e empty_err = 0;
        double empty_ms = 0;
        kr_errors_e empty_isr = 0;
        int from_other = -1;
        double wait_start_ms = 0, pushed_ms = 0, popped_ms = 0;
        kr_errors_e null_queue = 0;
        bool zero_length_refused = false;
    };
    auto *r = shared_block<result_st>();
    int status = run_child([r] {
        static result_st *R = r;
        static kr_queue_st q = kr_queue_create(2, sizeof(int));
        static kr_queue_st handoff = kr_queue_create(1, sizeof(int));
        R->zero_length_refused = kr_queue_create(0, 4) == nullptr;
        kr_rtos_task_create(
            [](void *) {
                int a = 11, b = 22, c = 33;
                R->push[0] = kr_queue_push(q, &a, 0);
                R->push[1] = kr_queue_push(q, &b, 0);
                double t0 = mono_ms();
                R->push[2] = kr_queue_push(q, &c, 20);
                R->full_ms = mono_ms() - t0;
                R->isr_full = kr_queue_push_isr(q, &c);
                kr_queue_peek(q, &R->peeked, 0);
                kr_queue_pop(q, &R->popped[0], 0);
                kr_queue_pop_isr(q, &R->popped[1]);
                int v;
                t0 = mono_ms();
                R->empty_err = kr_queue_pop(q, &v, 15);
                R->empty_ms = mono_ms() - t0;
                R->empty_isr = kr_queue_pop_isr(q, &v);
                R->null_queue = kr_queue_pop(nullptr, &v, 0);
                R->wait_start_ms = mono_ms();
                kr_queue_pop(handoff, &R->from_other, KR_RTOS_WAIT_FOREVER);
                R->popped_ms = mono_ms();
                std::exit(0);
            },
            "consumer", 1000, nullptr, 3, nullptr);
        kr_rtos_task_create(
            [](void *) {
                while (R->wait_start_ms == 0) kr_rtos_task_delay(1);
                kr_rtos_task_delay(20);
                int v = 77;
                R->pushed_ms = mono_ms();
                kr_queue_push(handoff, &v, 0);
            },
            "producer", 1000, nullptr, 2, nullptr);
        kr_rtos_start_scheduler();
    });
    EXPECT_TRUE(exited_with(status, 0)) << status;
    EXPECT_TRUE(r->zero_length_refused);
    EXPECT_EQ(r->push[0], ERR_NONE);
    EXPECT_EQ(r->push[1], ERR_NONE);
    EXPECT_EQ(r->push[2], ERR_BUFFER_OVERFLOW);
    EXPECT_GE(r->full_ms, 19.0);
    EXPECT_LT(r->full_ms, 200.0);
    EXPECT_EQ(r->isr_full, ERR_BUFFER_OVERFLOW);
    EXPECT_EQ(r->peeked, 11);
    EXPECT_EQ(r->popped[0], 11);
    EXPECT_EQ(r->popped[1], 22);
    EXPECT_EQ(r->empty_err, ERR_BUFFER_EMPTY);
    EXPECT_GE(r->empty_ms, 14.0);
    EXPECT_LT(r->empty_ms, 200.0);
    EXPECT_EQ(r->empty_isr, ERR_BUFFER_EMPTY);
    EXPECT_EQ(r->null_queue, ERR_NULL_PTR);
    EXPECT_EQ(r->from_other, 77);
    EXPECT_LT(r->wait_start_ms, r->pushed_ms); // it was waiting, and the push woke it
    EXPECT_GE(r->popped_ms, r->pushed_ms);
    EXPECT_LT(r->popped_ms - r->pushed_ms, 200.0);
    free_shared(r);
}

TEST(RtosTasks, NamesAndPrioritiesAreClamped)
{
    struct result_st {
        char name[32];
        uint32_t prio[3];
        int32_t rc;
    };
    auto *r = shared_block<result_st>();
    int status = run_child([r] {
        auto nothing = [](void *) {};
        kr_rtos_task_handle_t h[3];
        r->rc = kr_rtos_task_create(nothing, "abcdefghijklmnopqrst", 100, nullptr, 101, &h[0]);
        kr_rtos_task_create(nothing, "x", 100, nullptr, 65535, &h[1]);
        kr_rtos_task_create(nothing, "y", 100, nullptr, 4, &h[2]);
        std::snprintf(r->name, sizeof r->name, "%s", kr_rtos_task_name(h[0]));
        for (int i = 0; i < 3; ++i) r->prio[i] = kr_rtos_task_priority(h[i]);
        std::exit(0);
    });
    EXPECT_TRUE(exited_with(status, 0)) << status;
    EXPECT_EQ(r->rc, KR_RTOS_PASS);
    EXPECT_STREQ(r->name, "abcdefghijk");
    EXPECT_EQ(r->prio[0], 6u);
    EXPECT_EQ(r->prio[1], 6u);
    EXPECT_EQ(r->prio[2], 4u);
    free_shared(r);
}

// Job tasks of depth 51200 that finish at once: the 1024th creation meets the budget and is
// refused, although every earlier task has ended, and the refusal says so.
TEST(RtosTasks, StackBudgetCountsEveryTaskEverCreated)
{
    struct result_st {
        std::atomic<int> ran{0};
        int created = 0;
        int32_t refused_rc = 1;
        bool later_small_refused = false;
        char err[256];
    };
    auto *r = shared_block<result_st>();
    char path[] = "/tmp/krcan_rtos_errXXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    int status = run_child(
        [r, fd] {
            static result_st *R = r;
            dup2(fd, 2);
            silent = false;
            kr_rtos_task_create(
                [](void *) {
                    for (;;) {
                        int32_t rc = kr_rtos_task_create([](void *) { R->ran++; }, "task", 51200, nullptr, 2, nullptr);
                        if (rc != KR_RTOS_PASS) {
                            R->refused_rc = rc;
                            break;
                        }
                        R->created++;
                    }
                    R->later_small_refused = kr_rtos_task_create([](void *) {}, "small", 1, nullptr, 2, nullptr) !=
                                             KR_RTOS_PASS;
                    std::exit(0);
                },
                "creator", 0, nullptr, 1, nullptr);
            kr_rtos_start_scheduler();
        },
        120);
    close(fd);
    FILE *f = std::fopen(path, "r");
    ASSERT_NE(f, nullptr);
    size_t n = std::fread(r->err, 1, sizeof r->err - 1, f);
    r->err[n] = '\0';
    std::fclose(f);
    unlink(path);
    EXPECT_TRUE(exited_with(status, 0)) << status;
    EXPECT_EQ(r->created, 1023);
    EXPECT_EQ(r->ran.load(), 1023);
    EXPECT_EQ(r->refused_rc, KR_RTOS_FAIL);
    EXPECT_TRUE(r->later_small_refused);
    EXPECT_NE(std::strstr(r->err, "Task creation failed: Out of memory\r"), nullptr) << r->err;
    free_shared(r);
}

TEST(RtosTasks, StackBudgetTotalDoesNotWrapAround)
{
    int status = run_child([] {
        auto nothing = [](void *) {};
        bool huge = kr_rtos_task_create(nothing, "huge", 0xFFFFFFFFu, nullptr, 1, nullptr) == KR_RTOS_PASS;
        // A wrapping total would come back to 1 here and accept the task.
        bool small = kr_rtos_task_create(nothing, "small", 2, nullptr, 1, nullptr) == KR_RTOS_PASS;
        std::exit(!huge && !small ? 0 : 1);
    });
    EXPECT_TRUE(exited_with(status, 0)) << status;
}

TEST(RtosTasks, DeleteSelfAndOthers)
{
    struct result_st {
        std::atomic<int> victim_runs{0};
        std::atomic<bool> after_self_delete{false};
        std::atomic<bool> sleeper_woke{false};
        std::atomic<bool> self_deleter_done{false};
    };
    auto *r = shared_block<result_st>();
    int status = run_child([r] {
        static result_st *R = r;
        static kr_rtos_task_handle_t victim, sleeper;
        kr_rtos_task_create(
            [](void *) {
                for (;;) {
                    R->victim_runs++;
                    kr_rtos_task_delay(1);
                }
            },
            "victim", 100, nullptr, 2, &victim);
        kr_rtos_task_create(
            [](void *) {
                kr_rtos_task_delay(1000);
                R->sleeper_woke = true;
            },
            "sleeper", 100, nullptr, 2, &sleeper);
        kr_rtos_task_create(
            [](void *) {
                R->self_deleter_done = true;
                kr_rtos_task_delete(nullptr);
                R->after_self_delete = true;
            },
            "selfdel", 100, nullptr, 2, nullptr);
        kr_rtos_task_create(
            [](void *) {
                while (R->victim_runs < 4) kr_rtos_task_delay(1);
                kr_rtos_task_delete(victim);
                kr_rtos_task_delete(sleeper);
                int runs = R->victim_runs;
                kr_rtos_task_delay(20);
                std::exit(R->victim_runs == runs ? 0 : 3);
            },
            "killer", 100, nullptr, 3, nullptr);
        kr_rtos_start_scheduler();
    });
    EXPECT_TRUE(exited_with(status, 0)) << status;
    EXPECT_GT(r->victim_runs.load(), 3);
    EXPECT_TRUE(r->self_deleter_done);
    EXPECT_FALSE(r->after_self_delete);
    EXPECT_FALSE(r->sleeper_woke);
    free_shared(r);
}

// A task blocked in a host call keeps no token: a lower-priority task runs meanwhile and is the
// one that ends the host call.
TEST(RtosSections, BlockingSectionLetsOthersRun)
{
    struct result_st {
        std::atomic<int> steps_while_blocked{0};
        char got = 0;
    };
    auto *r = shared_block<result_st>();
    int status = run_child([r] {
        static result_st *R = r;
        static int fds[2];
        if (pipe(fds) != 0) std::exit(5);
        kr_rtos_task_create(
            [](void *) {
                char c = 0;
                {
                    kr_rtos_blocking_section section;
                    ssize_t n = read(fds[0], &c, 1);
                    (void)n;
                }
                R->got = c;
                std::exit(0);
            },
            "reader", 100, nullptr, 5, nullptr);
        kr_rtos_task_create(
            [](void *) {
                for (int i = 0; i < 10; ++i) {
                    R->steps_while_blocked++;
                    kr_rtos_task_delay(2);
                }
                ssize_t n = write(fds[1], "k", 1);
                (void)n;
                for (;;) kr_rtos_task_delay(100);
            },
            "writer", 100, nullptr, 1, nullptr);
        kr_rtos_start_scheduler();
    });
    EXPECT_TRUE(exited_with(status, 0)) << status;
    EXPECT_EQ(r->got, 'k');
    EXPECT_EQ(r->steps_while_blocked.load(), 10);
    free_shared(r);
}

// A critical section holds the token: nested, and taken by a plain host thread too, no task runs.
TEST(RtosSections, CriticalSectionsNestAndExcludeTasks)
{
    struct result_st {
        std::atomic<int> ticker{0};
        int during_task_crit = -1;
        int during_host_crit = -1;
        bool host_done = false;
    };
    auto *r = shared_block<result_st>();
    int status = run_child([r] {
        static result_st *R = r;
        kr_rtos_task_create(
            [](void *) {
                for (;;) {
                    R->ticker++;
                    kr_rtos_task_delay(1);
                }
            },
            "ticker", 100, nullptr, 6, nullptr);
        kr_rtos_task_create(
            [](void *) {
                kr_rtos_task_delay(10);
                kr_rtos_enter_critical();
                kr_rtos_enter_critical();
                kr_rtos_exit_critical(); // still inside the outer one
                int before = R->ticker;
                usleep(20000);
                {
                    kr_rtos_blocking_section section;
                    usleep(5000);
                } // keeps the token inside
                R->during_task_crit = R->ticker - before;
                kr_rtos_exit_critical();
                std::thread([] {
                    kr_rtos_enter_critical();
                    int before2 = R->ticker;
                    usleep(20000);
                    R->during_host_crit = R->ticker - before2;
                    kr_rtos_exit_critical();
                    R->host_done = true;
                }).detach();
                while (!R->host_done) kr_rtos_task_delay(5);
                int before3 = R->ticker;
                for (int i = 0; i < 500 && R->ticker == before3; ++i) kr_rtos_task_delay(2);
                std::exit(R->ticker > before3 ? 0 : 4);
            },
            "crit", 100, nullptr, 1, nullptr);
        kr_rtos_start_scheduler();
    });
    EXPECT_TRUE(exited_with(status, 0)) << status;
    EXPECT_EQ(r->during_task_crit, 0);
    EXPECT_EQ(r->during_host_crit, 0);
    free_shared(r);
}

TEST(RtosHooks, TickAndIdleHooksRunWithTheApplicationPointer)
{
    struct result_st {
        std::atomic<int> ticks{0};
        std::atomic<int> idles{0};
        std::atomic<bool> app_ok{true};
        double start_ms = 0, end_ms = 0;
        int ticks_at_end = 0;
    };
    auto *r = shared_block<result_st>();
    int status = run_child([r] {
        static result_st *R = r;
        kr_set_application_ptr(R);
        kr_rtos_add_tick_task([](void *app, uint32_t step) {
            if (app != R || step != 1) R->app_ok = false;
            R->ticks++;
        });
        if (kr_rtos_idle_task_set()) std::exit(6);
        kr_rtos_add_idle_task([](void *app, uint32_t) {
            if (app != R) R->app_ok = false;
            R->idles++;
        });
        kr_rtos_task_create(
            [](void *) {
                kr_rtos_task_delay(100);
                R->ticks_at_end = R->ticks;
                R->end_ms = mono_ms();
                std::exit(kr_rtos_idle_task_set() ? 0 : 7);
            },
            "sleep", 100, nullptr, 2, nullptr);
        R->start_ms = mono_ms();
        kr_rtos_start_scheduler();
    });
    EXPECT_TRUE(exited_with(status, 0)) << status;
    EXPECT_TRUE(r->app_ok);
    // One call per elapsed tick: never more, and late ones are caught up.
    const double elapsed = r->end_ms - r->start_ms;
    EXPECT_GE(r->ticks_at_end, 50);
    EXPECT_LE(r->ticks_at_end, elapsed + 3);
    EXPECT_GE(r->ticks_at_end, elapsed / 2);
    EXPECT_GE(r->idles.load(), 5);
    free_shared(r);
}

// exit() from a task thread runs the exit handlers and ends the process while other task
// threads are parked in the kernel.
TEST(RtosTasks, ExitFromATaskRunsHandlersWithoutDeadlock)
{
    EXPECT_EXIT(
        {
            std::atexit([] { std::fputs("exit handler ran\n", stderr); });
            for (int i = 0; i < 4; ++i)
                kr_rtos_task_create(
                    [](void *) {
                        for (;;) kr_rtos_task_delay(1);
                    },
                    "parked", 100, nullptr, 2, nullptr);
            kr_rtos_task_create(
                [](void *) {
                    kr_rtos_task_delay(10);
                    std::exit(3);
                },
                "leaver", 100, nullptr, 1, nullptr);
            kr_rtos_start_scheduler();
        },
        ::testing::ExitedWithCode(3), "exit handler ran");
}

} // namespace
