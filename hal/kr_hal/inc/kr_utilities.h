/* Common ground of the library: bounded containers over caller memory, the millisecond
 * count-down, a step meter, filters, integer helpers and the diagnostics line. Nothing allocates.
 * Valid C11 and C++. */
#ifndef KR_UTILITIES_H
#define KR_UTILITIES_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "kr_errors.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Progress and diagnostics are printed only while this is false. Starts true. */
extern bool silent;

/* The library's diagnostics: standard error, and only while `silent` is false. */
void kr_diag(const char *format, ...) __attribute__((format(printf, 1, 2)));

typedef struct {
    void *buffer;
    uint16_t buffer_size; /* capacity in elements */
    uint16_t element_count;
    uint16_t element_size;
    uint16_t head; /* next write */
    uint16_t tail; /* next read */
} kr_ring_buffer_st;

typedef struct {
    void *buffer;
    uint16_t buffer_size; /* capacity in elements */
    uint16_t len;
    uint16_t element_size;
} kr_vector_st;

typedef int32_t kr_delay_st;

typedef struct {
    int32_t last_tick_count;
    uint32_t step_ms;
} kr_ts_st;

typedef struct {
    int32_t sum;
    int32_t count;
    int32_t cur_count;
    int32_t val;
} kr_moving_aver_st;

typedef struct {
    int64_t val; /* millionths */
    int32_t tau;
} kr_ewma_st;

typedef struct {
    int32_t trigger_value;
    int32_t hysteresis;
    uint8_t result;
    bool invert;
} kr_hysteresis_st;

kr_errors_e kr_ring_buffer_init(kr_ring_buffer_st *rb, void *buffer, uint16_t buffer_size, uint16_t element_size);
static inline kr_errors_e kr_ring_buffer_clear(kr_ring_buffer_st *rb)
{
    if (!rb) return ERR_NULL_PTR;
    return kr_ring_buffer_init(rb, rb->buffer, rb->buffer_size, rb->element_size);
}
kr_errors_e kr_ring_buffer_push(kr_ring_buffer_st *rb, const void *src);
kr_errors_e kr_ring_buffer_push_force(kr_ring_buffer_st *rb, const void *src);
kr_errors_e kr_ring_buffer_pop(kr_ring_buffer_st *rb, void *dest);
kr_errors_e kr_ring_buffer_pop_front(kr_ring_buffer_st *rb, void *dest);
kr_errors_e kr_ring_buffer_peek(kr_ring_buffer_st *rb, void *dest);

kr_errors_e kr_vector_init(kr_vector_st *v, void *buffer, uint16_t buffer_size, uint16_t element_size);
kr_errors_e kr_vector_push_back(kr_vector_st *v, const void *src);
kr_errors_e kr_vector_push_front(kr_vector_st *v, const void *src);
kr_errors_e kr_vector_insert(kr_vector_st *v, uint16_t index, const void *src);
kr_errors_e kr_vector_pop_back(kr_vector_st *v, void *dest);
kr_errors_e kr_vector_pop_front(kr_vector_st *v, void *dest);
kr_errors_e kr_vector_remove(kr_vector_st *v, uint16_t index, uint16_t count);
void *kr_vector_binary_search(kr_vector_st *v, const void *key, int (*compare)(const void *element, const void *key));

bool kr_delay(kr_delay_st *delay, uint32_t step_ms);

void kr_ts_init(kr_ts_st *ts);
void kr_ts_step(kr_ts_st *ts);

void kr_moving_aver_init(kr_moving_aver_st *ma, int32_t count);
void kr_moving_aver_set_count(kr_moving_aver_st *ma, int32_t count);
void kr_moving_aver_reset(kr_moving_aver_st *ma);
int32_t kr_moving_aver_step(kr_moving_aver_st *ma, int32_t value);

void kr_ewma_init(kr_ewma_st *ewma, int32_t tau, int32_t value);
void kr_ewma_reset(kr_ewma_st *ewma, int32_t value);
void kr_ewma_set_tau(kr_ewma_st *ewma, int32_t tau);
int32_t kr_ewma_get_val(const kr_ewma_st *ewma);
int32_t kr_ewma_step(kr_ewma_st *ewma, int32_t value, uint32_t step_ms);

void kr_hysteresis_init(kr_hysteresis_st *h, int32_t trigger_value, int32_t hysteresis, bool invert);
bool kr_hysteresis_step(kr_hysteresis_st *h, int32_t value);

int32_t kr_mini(int32_t a, int32_t b);
int32_t kr_maxi(int32_t a, int32_t b);
int32_t kr_lerpi(int32_t t, int32_t a, int32_t b);
int32_t kr_reli(int32_t t, int32_t min, int32_t max);
float kr_lerpf(float t, float a, float b);
float kr_relf(float t, float min, float max);
uint64_t kr_isqrt(uint64_t n);
bool kr_isdigit(char c);
uint32_t kr_countofbit(uint32_t value, uint32_t bit);
uint32_t kr_ctz(uint32_t value);
uint16_t ntouint16(uint16_t v);
uint32_t ntouint32(uint32_t v);
uint64_t ntouint64(uint64_t v);
const char *kr_get_hardware_name(void);
kr_errors_e kr_log_error(kr_errors_e err);

#ifdef __cplusplus
}
#endif

#endif
