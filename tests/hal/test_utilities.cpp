// Containers over caller memory, the count-down, the step meter, the filters and the helpers.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "kr_rtos.h"
#include "kr_utilities.h"

namespace {

TEST(RingBuffer, FillsRefusesAndPopsInOrderAcrossTheWrap)
{
    int mem[3];
    kr_ring_buffer_st rb;
    ASSERT_EQ(kr_ring_buffer_init(&rb, mem, 3, sizeof(int)), ERR_NONE);
    for (int v : {1, 2, 3}) EXPECT_EQ(kr_ring_buffer_push(&rb, &v), ERR_NONE);
    int four = 4;
    EXPECT_EQ(kr_ring_buffer_push(&rb, &four), ERR_BUFFER_OVERFLOW);
    int out = 0;
    EXPECT_EQ(kr_ring_buffer_peek(&rb, &out), ERR_NONE);
    EXPECT_EQ(out, 1);
    // Two rounds past the end of the memory: the order holds.
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(kr_ring_buffer_pop(&rb, &out), ERR_NONE);
        int v = 10 + round;
        EXPECT_EQ(kr_ring_buffer_push(&rb, &v), ERR_NONE);
    }
    for (int want : {3, 10, 11}) {
        EXPECT_EQ(kr_ring_buffer_pop(&rb, &out), ERR_NONE);
        EXPECT_EQ(out, want);
    }
    EXPECT_EQ(kr_ring_buffer_pop(&rb, &out), ERR_BUFFER_EMPTY);
    EXPECT_EQ(kr_ring_buffer_peek(&rb, &out), ERR_BUFFER_EMPTY);
    EXPECT_EQ(kr_ring_buffer_pop_front(&rb, &out), ERR_BUFFER_EMPTY);
}

TEST(RingBuffer, ForcePushDropsOldestAndPopFrontTakesNewest)
{
    int mem[3];
    kr_ring_buffer_st rb;
    kr_ring_buffer_init(&rb, mem, 3, sizeof(int));
    for (int v : {1, 2, 3, 4, 5}) EXPECT_EQ(kr_ring_buffer_push_force(&rb, &v), ERR_NONE);
    EXPECT_EQ(rb.element_count, 3);
    int out = 0;
    EXPECT_EQ(kr_ring_buffer_pop_front(&rb, &out), ERR_NONE);
    EXPECT_EQ(out, 5);
    EXPECT_EQ(kr_ring_buffer_pop(&rb, &out), ERR_NONE);
    EXPECT_EQ(out, 3);
    EXPECT_EQ(kr_ring_buffer_pop(&rb, &out), ERR_NONE);
    EXPECT_EQ(out, 4);
    // A null source only reserves the place; a null destination only drops.
    EXPECT_EQ(kr_ring_buffer_push(&rb, nullptr), ERR_NONE);
    EXPECT_EQ(kr_ring_buffer_pop(&rb, nullptr), ERR_NONE);
    EXPECT_EQ(kr_ring_buffer_clear(&rb), ERR_NONE);
    EXPECT_EQ(rb.element_count, 0);
}

TEST(RingBuffer, MissingRecordOrMemoryIsRefused)
{
    int v = 1;
    EXPECT_EQ(kr_ring_buffer_push(nullptr, &v), ERR_NULL_PTR);
    EXPECT_EQ(kr_ring_buffer_pop(nullptr, &v), ERR_NULL_PTR);
    EXPECT_EQ(kr_ring_buffer_clear(nullptr), ERR_NULL_PTR);
    kr_ring_buffer_st rb;
    EXPECT_EQ(kr_ring_buffer_init(&rb, nullptr, 4, sizeof(int)), ERR_NULL_PTR);
    // Never writes through the missing memory.
    EXPECT_EQ(kr_ring_buffer_push(&rb, &v), ERR_BUFFER_OVERFLOW);
    EXPECT_EQ(kr_ring_buffer_push_force(&rb, &v), ERR_BUFFER_OVERFLOW);
}

struct guarded_vector {
    int mem[6]; // 4 usable, 2 guards
    kr_vector_st v;
    guarded_vector()
    {
        mem[4] = mem[5] = 0x5A5A5A5A;
        kr_vector_init(&v, mem, 4, sizeof(int));
    }
    std::string str() const
    {
        std::string s;
        for (int i = 0; i < v.len; ++i) s += std::to_string(mem[i]) + (i + 1 < v.len ? "," : "");
        return s;
    }
    bool guards_intact() const { return mem[4] == 0x5A5A5A5A && mem[5] == 0x5A5A5A5A; }
};

TEST(Vector, InsertsShiftAndFullVectorRefuses)
{
    guarded_vector g;
    int a = 1, b = 2, c = 3, d = 4, e = 5;
    EXPECT_EQ(kr_vector_push_back(&g.v, &b), ERR_NONE);
    EXPECT_EQ(kr_vector_push_front(&g.v, &a), ERR_NONE);
    EXPECT_EQ(kr_vector_insert(&g.v, 500, &d), ERR_NONE); // past the end appends
    EXPECT_EQ(kr_vector_insert(&g.v, 2, &c), ERR_NONE);
    EXPECT_EQ(g.str(), "1,2,3,4");
    EXPECT_EQ(kr_vector_insert(&g.v, 1, &e), ERR_BUFFER_OVERFLOW);
    EXPECT_EQ(kr_vector_push_back(&g.v, &e), ERR_BUFFER_OVERFLOW);
    EXPECT_EQ(kr_vector_push_front(&g.v, &e), ERR_BUFFER_OVERFLOW);
    EXPECT_EQ(g.str(), "1,2,3,4");
    EXPECT_TRUE(g.guards_intact());
}

TEST(Vector, PopsAndRemovalsCloseTheGap)
{
    guarded_vector g;
    for (int v : {1, 2, 3, 4}) kr_vector_push_back(&g.v, &v);
    EXPECT_EQ(kr_vector_remove(&g.v, 2, 3), ERR_INDEX_OVERFLOW);
    EXPECT_EQ(g.str(), "1,2,3,4");
    // 65535 + 2 wraps to 1 in 16 bits: still past the end.
    EXPECT_EQ(kr_vector_remove(&g.v, 65535, 2), ERR_INDEX_OVERFLOW);
    EXPECT_EQ(g.str(), "1,2,3,4");
    EXPECT_EQ(kr_vector_remove(&g.v, 1, 2), ERR_NONE);
    EXPECT_EQ(g.str(), "1,4");
    int out = 0;
    EXPECT_EQ(kr_vector_pop_front(&g.v, &out), ERR_NONE);
    EXPECT_EQ(out, 1);
    EXPECT_EQ(kr_vector_pop_back(&g.v, &out), ERR_NONE);
    EXPECT_EQ(out, 4);
    EXPECT_EQ(kr_vector_pop_back(&g.v, &out), ERR_BUFFER_EMPTY);
    EXPECT_EQ(kr_vector_pop_front(&g.v, &out), ERR_BUFFER_EMPTY);
    EXPECT_EQ(kr_vector_push_back(nullptr, &out), ERR_NULL_PTR);
}

int compare_int(const void *element, const void *key)
{
    int a = *static_cast<const int *>(element), b = *static_cast<const int *>(key);
    return a < b ? -1 : a > b;
}

TEST(Vector, BinarySearchFindsEveryElementAndNothingElse)
{
    int mem[9];
    kr_vector_st v;
    kr_vector_init(&v, mem, 9, sizeof(int));
    for (int i = 0; i < 9; ++i) {
        int x = i * 10;
        kr_vector_push_back(&v, &x);
    }
    for (int i = 0; i < 9; ++i) {
        int key = i * 10;
        EXPECT_EQ(kr_vector_binary_search(&v, &key, compare_int), &mem[i]);
        key += 5;
        EXPECT_EQ(kr_vector_binary_search(&v, &key, compare_int), nullptr);
    }
    int key = -1;
    EXPECT_EQ(kr_vector_binary_search(&v, &key, compare_int), nullptr);
}

TEST(Delay, ReportsExpiryOnceOnTheCallAfterZero)
{
    kr_delay_st d = 300;
    int reported_at = 0, reports = 0;
    for (int call = 1; call <= 40; ++call) {
        if (kr_delay(&d, 20)) {
            reports++;
            reported_at = call;
        }
    }
    EXPECT_EQ(reports, 1);
    EXPECT_EQ(reported_at, 16);
    EXPECT_EQ(d, -1);
    kr_delay_st partial = 5; // less than a step: 0 first, then the report
    EXPECT_FALSE(kr_delay(&partial, 20));
    EXPECT_EQ(partial, 0);
    EXPECT_TRUE(kr_delay(&partial, 20));
    EXPECT_TRUE(kr_delay(nullptr, 20));
}

TEST(StepMeter, MeasuresTicksAlsoAcrossTheCounterWrap)
{
    kr_ts_st ts;
    kr_ts_init(&ts);
    // Pretend the previous step was 16 ticks before the counter wrapped.
    ts.last_tick_count = (int32_t)0xFFFFFFF0u;
    uint32_t before = kr_rtos_get_tick_count();
    kr_ts_step(&ts);
    uint32_t after = kr_rtos_get_tick_count();
    EXPECT_GE(ts.step_ms, before + 16);
    EXPECT_LE(ts.step_ms, after + 16);
    EXPECT_EQ((uint32_t)ts.last_tick_count, ts.step_ms - 16);
}

TEST(MovingAverage, CountOnePassesValuesThrough)
{
    kr_moving_aver_st ma;
    kr_moving_aver_init(&ma, 1);
    for (int v : {10, 500, -40, 7, 7, 1000000}) EXPECT_EQ(kr_moving_aver_step(&ma, v), v);
    kr_moving_aver_init(&ma, 0); // below 1 becomes 1
    EXPECT_EQ(ma.count, 1);
    EXPECT_EQ(kr_moving_aver_step(&ma, 3), 3);
    EXPECT_EQ(kr_moving_aver_step(&ma, 9), 9);
}

TEST(MovingAverage, LongerWindowsAverage)
{
    kr_moving_aver_st ma;
    kr_moving_aver_init(&ma, 4);
    int32_t r = 0;
    for (int i = 0; i < 4; ++i) r = kr_moving_aver_step(&ma, 100);
    EXPECT_EQ(r, 100);
    kr_moving_aver_reset(&ma);
    EXPECT_EQ(kr_moving_aver_step(&ma, 0), 0);
    EXPECT_EQ(kr_moving_aver_step(&ma, 100), 50);
    EXPECT_EQ(ma.cur_count, 2);
    // Past the window the oldest weight leaves: a constant input settles on itself.
    for (int i = 0; i < 200; ++i) r = kr_moving_aver_step(&ma, 80);
    EXPECT_NEAR(r, 80, 1);
    EXPECT_EQ(ma.cur_count, 4);
}

TEST(Ewma, FollowsWithItsTimeConstantAndSettlesExactly)
{
    kr_ewma_st f;
    kr_ewma_init(&f, 100, 0);
    EXPECT_EQ(kr_ewma_step(&f, 1000, 10), 100); // weight 10/100
    EXPECT_EQ(kr_ewma_step(&f, 1000, 10), 190);
    int32_t r = 0;
    for (int i = 0; i < 400; ++i) r = kr_ewma_step(&f, 1000, 10);
    EXPECT_EQ(r, 1000);
    EXPECT_EQ(f.val, 1000LL * 1000000);
    kr_ewma_set_tau(&f, 0); // no filtering
    EXPECT_EQ(kr_ewma_step(&f, -7, 1), -7);
    kr_ewma_reset(&f, 42);
    EXPECT_EQ(kr_ewma_get_val(&f), 42);
    kr_ewma_set_tau(&f, 2000000000); // clamped to a million
    kr_ewma_step(&f, 42, 1);
    EXPECT_EQ(f.tau, 1000000);
}

TEST(Ewma, LargeValuesDoNotOverflow)
{
    kr_ewma_st f;
    kr_ewma_init(&f, 1000, 2000000000);
    EXPECT_EQ(kr_ewma_step(&f, 2000000000, 1), 2000000000);
    int32_t r = kr_ewma_step(&f, -2000000000, 500); // halfway
    EXPECT_NEAR(r, 0, 2);
}

TEST(Hysteresis, SwitchesOnlyPastTheBand)
{
    kr_hysteresis_st h;
    kr_hysteresis_init(&h, 100, 10, false);
    EXPECT_EQ(h.result, 0);
    EXPECT_FALSE(kr_hysteresis_step(&h, 100));
    EXPECT_TRUE(kr_hysteresis_step(&h, 101));
    EXPECT_EQ(h.result, 1);
    EXPECT_FALSE(kr_hysteresis_step(&h, 90));
    EXPECT_TRUE(kr_hysteresis_step(&h, 89));
    EXPECT_EQ(h.result, 0);

    kr_hysteresis_init(&h, 100, 10, true);
    EXPECT_EQ(h.result, 1);
    EXPECT_FALSE(kr_hysteresis_step(&h, 110));
    EXPECT_TRUE(kr_hysteresis_step(&h, 111));
    EXPECT_EQ(h.result, 0);
    EXPECT_FALSE(kr_hysteresis_step(&h, 100));
    EXPECT_TRUE(kr_hysteresis_step(&h, 99));
    EXPECT_EQ(h.result, 1);
}

TEST(Helpers, InterpolationAndRelations)
{
    EXPECT_EQ(kr_lerpi(500, 0, 1000), 500);
    EXPECT_EQ(kr_lerpi(250, 100, 200), 125);
    EXPECT_EQ(kr_lerpi(1000, -2000000000, 2000000000), 2000000000); // no 32-bit overflow
    EXPECT_EQ(kr_reli(5, 5, 5), 0);
    EXPECT_EQ(kr_reli(150, 100, 200), 500);
    EXPECT_EQ(kr_reli(2000000000, -2000000000, 2000000000), 1000);
    EXPECT_FLOAT_EQ(kr_lerpf(0.25f, 0.0f, 8.0f), 2.0f);
    EXPECT_FLOAT_EQ(kr_relf(3.0f, 2.0f, 6.0f), 0.25f);
    EXPECT_FLOAT_EQ(kr_relf(3.0f, 2.0f, 2.0f), 0.0f);
    EXPECT_EQ(kr_mini(-3, 2), -3);
    EXPECT_EQ(kr_maxi(-3, 2), 2);
}

TEST(Helpers, IntegerSquareRootRoundsToNearest)
{
    EXPECT_EQ(kr_isqrt(0), 0u);
    EXPECT_EQ(kr_isqrt(1), 1u);
    EXPECT_EQ(kr_isqrt(12), 3u); // 3*3 + 3: stays
    EXPECT_EQ(kr_isqrt(13), 4u); // 3*3 + 4: rounds up
    EXPECT_EQ(kr_isqrt(1000000), 1000u);
    EXPECT_EQ(kr_isqrt(UINT64_MAX), 4294967296u);
    for (uint64_t r = 1; r < 3000; ++r) {
        EXPECT_EQ(kr_isqrt(r * r + r), r);
        EXPECT_EQ(kr_isqrt(r * r + r + 1), r + 1);
    }
}

TEST(Helpers, BitsBytesAndNames)
{
    EXPECT_EQ(kr_countofbit(0xF0F00001u, 1), 9u);
    EXPECT_EQ(kr_countofbit(0xF0F00001u, 0), 23u);
    EXPECT_EQ(kr_ctz(0), 32u);
    EXPECT_EQ(kr_ctz(0x80000000u), 31u);
    EXPECT_EQ(kr_ctz(12), 2u);
    EXPECT_EQ(ntouint16(0x1234), 0x3412);
    EXPECT_EQ(ntouint32(0x12345678u), 0x78563412u);
    EXPECT_EQ(ntouint64(0x0102030405060708ull), 0x0807060504030201ull);
    EXPECT_TRUE(kr_isdigit('0'));
    EXPECT_TRUE(kr_isdigit('9'));
    EXPECT_FALSE(kr_isdigit('a'));
    EXPECT_FALSE(kr_isdigit('/'));
    EXPECT_STREQ(kr_get_hardware_name(), "CONFIG_TARGET_LINUX");
}

TEST(Errors, LogNamesCodeAndModule)
{
    testing::internal::CaptureStdout();
    kr_errors_e err = (kr_errors_e)HAL_MODULE_YAML | (kr_errors_e)ERR_SYNTAX;
    EXPECT_EQ(kr_log_error(err), err);
    EXPECT_EQ(kr_log_error(ERR_NONE), (kr_errors_e)ERR_NONE);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "**** Error 20 from module 24 (kr_errors.h for details) **** \n>");
}

} // namespace
