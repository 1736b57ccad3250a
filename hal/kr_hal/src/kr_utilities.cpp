#include "kr_utilities.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "kr_rtos.h"

bool silent = true;

void kr_diag(const char *format, ...)
{
    if (silent) return;
    va_list ap;
    va_start(ap, format);
    std::vfprintf(stderr, format, ap);
    va_end(ap);
}

namespace {

constexpr int64_t MILLION = 1000000;

uint8_t *element(void *buffer, uint32_t index, uint16_t element_size)
{
    return static_cast<uint8_t *>(buffer) + (size_t)index * element_size;
}

void copy_in(void *buffer, uint32_t index, uint16_t element_size, const void *src)
{
    if (src && element_size) std::memcpy(element(buffer, index, element_size), src, element_size);
}

void copy_out(void *buffer, uint32_t index, uint16_t element_size, void *dest)
{
    if (dest && element_size) std::memcpy(dest, element(buffer, index, element_size), element_size);
}

int32_t clamp_to_int32(int64_t v)
{
    if (v > INT32_MAX) return INT32_MAX;
    if (v < INT32_MIN) return INT32_MIN;
    return (int32_t)v;
}

} // namespace

extern "C" {

// --- ring buffer ---

kr_errors_e kr_ring_buffer_init(kr_ring_buffer_st *rb, void *buffer, uint16_t buffer_size, uint16_t element_size)
{
    if (!rb) return ERR_NULL_PTR;
    rb->element_count = 0;
    rb->head = 0;
    rb->tail = 0;
    rb->element_size = element_size;
    if (!buffer && buffer_size) {
        // No memory to hold anything: leave it a ring that is always full.
        rb->buffer = nullptr;
        rb->buffer_size = 0;
        return ERR_NULL_PTR;
    }
    rb->buffer = buffer;
    rb->buffer_size = buffer_size;
    return ERR_NONE;
}

kr_errors_e kr_ring_buffer_push(kr_ring_buffer_st *rb, const void *src)
{
    if (!rb) return ERR_NULL_PTR;
    if (rb->element_count >= rb->buffer_size) return ERR_BUFFER_OVERFLOW;
    copy_in(rb->buffer, rb->head, rb->element_size, src);
    rb->head = (uint16_t)((rb->head + 1u) % rb->buffer_size);
    rb->element_count++;
    return ERR_NONE;
}

kr_errors_e kr_ring_buffer_push_force(kr_ring_buffer_st *rb, const void *src)
{
    if (!rb) return ERR_NULL_PTR;
    if (rb->buffer_size == 0) return ERR_BUFFER_OVERFLOW;
    if (rb->element_count >= rb->buffer_size) {
        rb->tail = (uint16_t)((rb->tail + 1u) % rb->buffer_size);
        rb->element_count--;
    }
    return kr_ring_buffer_push(rb, src);
}

kr_errors_e kr_ring_buffer_pop(kr_ring_buffer_st *rb, void *dest)
{
    if (!rb) return ERR_NULL_PTR;
    if (rb->element_count == 0) return ERR_BUFFER_EMPTY;
    copy_out(rb->buffer, rb->tail, rb->element_size, dest);
    rb->tail = (uint16_t)((rb->tail + 1u) % rb->buffer_size);
    rb->element_count--;
    return ERR_NONE;
}

kr_errors_e kr_ring_buffer_pop_front(kr_ring_buffer_st *rb, void *dest)
{
    if (!rb) return ERR_NULL_PTR;
    if (rb->element_count == 0) return ERR_BUFFER_EMPTY;
    rb->head = (uint16_t)((rb->head + rb->buffer_size - 1u) % rb->buffer_size);
    copy_out(rb->buffer, rb->head, rb->element_size, dest);
    rb->element_count--;
    return ERR_NONE;
}

kr_errors_e kr_ring_buffer_peek(kr_ring_buffer_st *rb, void *dest)
{
    if (!rb) return ERR_NULL_PTR;
    if (rb->element_count == 0) return ERR_BUFFER_EMPTY;
    copy_out(rb->buffer, rb->tail, rb->element_size, dest);
    return ERR_NONE;
}

// --- vector ---

kr_errors_e kr_vector_init(kr_vector_st *v, void *buffer, uint16_t buffer_size, uint16_t element_size)
{
    if (!v) return ERR_NULL_PTR;
    v->len = 0;
    v->element_size = element_size;
    if (!buffer && buffer_size) {
        v->buffer = nullptr;
        v->buffer_size = 0;
        return ERR_NULL_PTR;
    }
    v->buffer = buffer;
    v->buffer_size = buffer_size;
    return ERR_NONE;
}

kr_errors_e kr_vector_insert(kr_vector_st *v, uint16_t index, const void *src)
{
    if (!v) return ERR_NULL_PTR;
    if (v->len >= v->buffer_size) return ERR_BUFFER_OVERFLOW;
    if (index > v->len) index = v->len;
    std::memmove(element(v->buffer, index + 1u, v->element_size), element(v->buffer, index, v->element_size),
                 (size_t)(v->len - index) * v->element_size);
    copy_in(v->buffer, index, v->element_size, src);
    v->len++;
    return ERR_NONE;
}

kr_errors_e kr_vector_push_back(kr_vector_st *v, const void *src)
{
    return v ? kr_vector_insert(v, v->len, src) : (kr_errors_e)ERR_NULL_PTR;
}

kr_errors_e kr_vector_push_front(kr_vector_st *v, const void *src) { return kr_vector_insert(v, 0, src); }

kr_errors_e kr_vector_pop_back(kr_vector_st *v, void *dest)
{
    if (!v) return ERR_NULL_PTR;
    if (v->len == 0) return ERR_BUFFER_EMPTY;
    v->len--;
    copy_out(v->buffer, v->len, v->element_size, dest);
    return ERR_NONE;
}

kr_errors_e kr_vector_pop_front(kr_vector_st *v, void *dest)
{
    if (!v) return ERR_NULL_PTR;
    if (v->len == 0) return ERR_BUFFER_EMPTY;
    copy_out(v->buffer, 0, v->element_size, dest);
    return kr_vector_remove(v, 0, 1);
}

kr_errors_e kr_vector_remove(kr_vector_st *v, uint16_t index, uint16_t count)
{
    if (!v) return ERR_NULL_PTR;
    const uint32_t end = (uint32_t)index + count; // no 16-bit wrap-around
    if (end > v->len) return ERR_INDEX_OVERFLOW;
    std::memmove(element(v->buffer, index, v->element_size), element(v->buffer, end, v->element_size),
                 (size_t)(v->len - end) * v->element_size);
    v->len = (uint16_t)(v->len - count);
    return ERR_NONE;
}

void *kr_vector_binary_search(kr_vector_st *v, const void *key, int (*compare)(const void *element, const void *key))
{
    if (!v || !compare) return nullptr;
    uint32_t lo = 0, hi = v->len;
    while (lo < hi) {
        uint32_t mid = lo + (hi - lo) / 2;
        void *e = element(v->buffer, mid, v->element_size);
        int c = compare(e, key);
        if (c == 0) return e;
        if (c < 0)
            lo = mid + 1;
        else
            hi = mid;
    }
    return nullptr;
}

// --- count-down and step meter ---

bool kr_delay(kr_delay_st *delay, uint32_t step_ms)
{
    if (!delay) return true;
    if (*delay < 0) {
        *delay = -1;
        return false;
    }
    if (*delay == 0) {
        *delay = -1;
        return true;
    }
    if ((uint32_t)*delay > step_ms)
        *delay -= (int32_t)step_ms;
    else
        *delay = 0;
    return false;
}

void kr_ts_init(kr_ts_st *ts)
{
    if (!ts) return;
    ts->last_tick_count = (int32_t)kr_rtos_get_tick_count();
    ts->step_ms = 0;
}

void kr_ts_step(kr_ts_st *ts)
{
    if (!ts) return;
    uint32_t now = kr_rtos_get_tick_count();
    ts->step_ms = now - (uint32_t)ts->last_tick_count; // modulo 2^32: right across the wrap too
    ts->last_tick_count = (int32_t)now;
}

// --- filters ---

void kr_moving_aver_set_count(kr_moving_aver_st *ma, int32_t count)
{
    if (ma) ma->count = count < 1 ? 1 : count;
}

void kr_moving_aver_reset(kr_moving_aver_st *ma)
{
    if (!ma) return;
    ma->sum = 0;
    ma->cur_count = 0;
    ma->val = 0;
}

void kr_moving_aver_init(kr_moving_aver_st *ma, int32_t count)
{
    if (!ma) return;
    std::memset(ma, 0, sizeof *ma);
    kr_moving_aver_set_count(ma, count);
}

int32_t kr_moving_aver_step(kr_moving_aver_st *ma, int32_t value)
{
    if (!ma) return value;
    if (ma->count <= 1) {
        // A window of one holds only the newest value.
        ma->sum = clamp_to_int32((int64_t)value * 256);
        ma->cur_count = 1;
        ma->val = ma->sum;
        return value;
    }
    ma->sum = clamp_to_int32((int64_t)ma->sum + (int64_t)value * 256);
    ma->cur_count += 1;
    ma->val = ma->sum / ma->cur_count;
    while (ma->cur_count > ma->count) {
        ma->sum -= ma->val;
        ma->cur_count--;
    }
    return ma->val / 256;
}

void kr_ewma_init(kr_ewma_st *ewma, int32_t tau, int32_t value)
{
    if (!ewma) return;
    ewma->val = (int64_t)value * MILLION;
    ewma->tau = tau;
}

void kr_ewma_reset(kr_ewma_st *ewma, int32_t value)
{
    if (ewma) ewma->val = (int64_t)value * MILLION;
}

void kr_ewma_set_tau(kr_ewma_st *ewma, int32_t tau)
{
    if (ewma) ewma->tau = tau;
}

int32_t kr_ewma_get_val(const kr_ewma_st *ewma) { return ewma ? (int32_t)(ewma->val / MILLION) : 0; }

int32_t kr_ewma_step(kr_ewma_st *ewma, int32_t value, uint32_t step_ms)
{
    if (!ewma) return value;
    if (ewma->tau < 0) ewma->tau = 0;
    if (ewma->tau > MILLION) ewma->tau = (int32_t)MILLION;
    int64_t a = MILLION;
    if (ewma->tau != 0) {
        a = (int64_t)step_ms * MILLION / ewma->tau;
        if (a < 1) a = 1;
        if (a > MILLION) a = MILLION;
    }
    // 128 bits: the old value times the weight passes 64 bits for inputs beyond about 9 million.
    const __int128 blended = (__int128)(MILLION - a) * ewma->val / MILLION + (__int128)a * value;
    const int64_t next = (int64_t)blended;
    ewma->val = next == ewma->val ? (int64_t)value * MILLION : next;
    return (int32_t)(ewma->val / MILLION);
}

void kr_hysteresis_init(kr_hysteresis_st *h, int32_t trigger_value, int32_t hysteresis, bool invert)
{
    if (!h) return;
    h->trigger_value = trigger_value;
    h->hysteresis = hysteresis;
    h->invert = invert;
    h->result = invert ? 1 : 0;
}

bool kr_hysteresis_step(kr_hysteresis_st *h, int32_t value)
{
    if (!h) return false;
    const int64_t v = value, trig = h->trigger_value, hyst = h->hysteresis;
    const uint8_t before = h->result;
    if (!h->invert) {
        if (h->result == 0 && v > trig)
            h->result = 1;
        else if (h->result == 1 && v < trig - hyst)
            h->result = 0;
    } else {
        if (h->result == 0 && v < trig)
            h->result = 1;
        else if (h->result == 1 && v > trig + hyst)
            h->result = 0;
    }
    return h->result != before;
}

// --- integer helpers ---

int32_t kr_mini(int32_t a, int32_t b) { return a < b ? a : b; }

int32_t kr_maxi(int32_t a, int32_t b) { return a > b ? a : b; }

int32_t kr_lerpi(int32_t t, int32_t a, int32_t b)
{
    return clamp_to_int32(((1000 - (int64_t)t) * a + (int64_t)t * b) / 1000);
}

int32_t kr_reli(int32_t t, int32_t min, int32_t max)
{
    if (min == max) return 0;
    return clamp_to_int32(((int64_t)t - min) * 1000 / ((int64_t)max - min));
}

float kr_lerpf(float t, float a, float b) { return t * b + (1.0f - t) * a; }

float kr_relf(float t, float min, float max)
{
    if (min == max) return 0.0f;
    return (t - min) / (max - min);
}

uint64_t kr_isqrt(uint64_t n)
{
    // Bit-by-bit square root: exact for the whole 64-bit range.
    uint64_t root = 0, rem = n, bit = 1ull << 62;
    while (bit > n) bit >>= 2;
    while (bit) {
        if (rem >= root + bit) {
            rem -= root + bit;
            root = (root >> 1) + bit;
        } else {
            root >>= 1;
        }
        bit >>= 2;
    }
    return rem > root ? root + 1 : root;
}

bool kr_isdigit(char c) { return c >= '0' && c <= '9'; }

uint32_t kr_countofbit(uint32_t value, uint32_t bit)
{
    uint32_t ones = (uint32_t)__builtin_popcount(value);
    return bit ? ones : 32u - ones;
}

uint32_t kr_ctz(uint32_t value) { return value ? (uint32_t)__builtin_ctz(value) : 32u; }

uint16_t ntouint16(uint16_t v) { return __builtin_bswap16(v); }

uint32_t ntouint32(uint32_t v) { return __builtin_bswap32(v); }

uint64_t ntouint64(uint64_t v) { return __builtin_bswap64(v); }

const char *kr_get_hardware_name(void) { return "CONFIG_TARGET_LINUX"; }

kr_errors_e kr_log_error(kr_errors_e err)
{
    if (err != ERR_NONE)
        std::printf("**** Error %u from module %u (kr_errors.h for details) **** \n>", kr_error_code(err),
                    kr_error_module(err));
    return err;
}

} // extern "C"
