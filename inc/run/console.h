/* Console capture (standard output and standard error kept in a 1000-line ring for the window's
 * log strip), the standard-input pipe the window answers prompts through, the tool's own readers
 * of standard input, and path helpers that take both '/' and '\' as separators. */
#ifndef KRCAN_CONSOLE_H
#define KRCAN_CONSOLE_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define LOGCAP_LINES 1000
#define LOGCAP_LINE_LEN 256 /* terminator included: at most 255 characters a line */

/* The line ring itself, separate from the capture so it can be filled from any byte source. */
typedef struct {
    char lines[LOGCAP_LINES][LOGCAP_LINE_LEN];
    uint32_t line_head;  /* next slot to write */
    uint32_t line_count; /* complete lines held, at most LOGCAP_LINES */
    uint32_t line_seq;   /* lines ever completed */
    char curline[LOGCAP_LINE_LEN];
    uint32_t curlen;
    bool replace_last; /* the last line ended in a carriage return: the next one takes its place */
} logcap_ring_st;

void logcap_ring_feed(logcap_ring_st *ring, const char *data, size_t len);
void logcap_ring_get_range(const logcap_ring_st *ring, char *dest, size_t dest_length, int skip_newest, int max_lines);
void logcap_ring_get_last_line(const logcap_ring_st *ring, char *dest, size_t dest_length);

/* The echo of the captured output into a pipe or a file: colour and other escape sequences are
 * dropped, and a line redrawn after a carriage return goes on a line of its own, as the tool writes
 * it when not watched. State carries over between pieces; start zeroed. */
typedef struct {
    uint8_t escape; /* 0 none, 1 after ESC, 2 inside a control sequence */
    bool pending_cr;
    bool mid_line;
} logcap_plain_st;
/* Writes at most len + 1 bytes to out; returns how many. */
size_t logcap_plain_filter(logcap_plain_st *st, const char *in, size_t len, char *out);

/* Console capture: standard output and standard error go through a pipe; a reader thread echoes
 * them to the console and keeps the lines. Started once; later calls do nothing. */
void logcap_init(void);
bool logcap_is_started(void);
/* Gives standard output and error back to the console and waits (at most 2 s) until the reader has
 * echoed every byte still in the pipe; the kept lines stay readable. */
void logcap_stop(void);
void logcap_get_range(char *dest, size_t dest_length, int skip_newest, int max_lines);
void logcap_get_all(char *dest, size_t dest_length, int max_lines);
void logcap_get_last_line(char *dest, size_t dest_length);
uint32_t logcap_get_line_count(void);
uint32_t logcap_get_seq(void);

/* Standard input. The readers below are the only readers of descriptor 0 (no stdio buffering),
 * and they wait inside the RTOS blocking section, so other tasks run while a prompt waits. */
void kr_stdin_use_pipe(void);
void kr_stdin_feed(const char *text);
char *kr_stdin_getline(char *dest, size_t dest_length);
/* The same line with its length (a NUL byte may be part of it), or -1 at end of input. */
long kr_stdin_read_line(char *dest, size_t dest_length);
int kr_stdin_getchar(void);
bool kr_stdin_is_waiting(void);
uint32_t kr_stdin_get_prompt_count(void);

/* Paths: both modify their argument in place and return it, or a static ".". */
char *kr_win_basename(char *path);
char *kr_win_dirname(char *path);
/* One line from standard input without its line end, allocated (free it), or null. */
char *kr_win_readline(const char *prompt);

#ifdef __cplusplus
}
#endif

#endif
