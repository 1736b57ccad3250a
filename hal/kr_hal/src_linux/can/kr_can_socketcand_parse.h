// The socketcand text protocol: cutting a byte stream into "< ... >" elements, reading them, and
// writing frames. Plain functions over caller memory, no I/O, so the fuzz target can build them alone.
#ifndef KR_CAN_SOCKETCAND_PARSE_H
#define KR_CAN_SOCKETCAND_PARSE_H

#include <cstddef>
#include <cstdint>
#include <sys/time.h>

#include "kr_can.h"

#define KR_SCD_ELEMENT_MAX 256  // longest element accepted, brackets included
#define KR_SCD_READER_SIZE 8192 // stream buffer of one connection
#define KR_SCD_LINE_MAX 64      // longest element this side writes

typedef struct {
    char buf[KR_SCD_READER_SIZE];
    size_t start; // first unread byte
    size_t len;   // end of the data
} kr_scd_reader_st;

typedef enum {
    SCD_READ_NONE = 0,    // no complete element yet: read more
    SCD_READ_ELEMENT = 1, // an element is in the caller's buffer
    SCD_READ_JUNK = 2     // bytes were skipped; the caller's buffer holds the reason
} kr_scd_read_e;

typedef enum {
    SCD_EL_FRAME = 0, // a CAN frame (data, error)
    SCD_EL_HI,        // greeting
    SCD_EL_OK,        // a command was accepted
    SCD_EL_ERROR,     // the daemon refused a command (the text follows "error")
    SCD_EL_OTHER,     // a well-formed element this side does not use (echo, ...)
    SCD_EL_BAD        // not understood: the reason is set
} kr_scd_element_e;

void kr_scd_reader_init(kr_scd_reader_st *r);
// Room for the next read from the socket; compacts the buffer first. Never zero after a
// kr_scd_reader_next call that returned SCD_READ_NONE.
char *kr_scd_reader_space(kr_scd_reader_st *r, size_t *room);
void kr_scd_reader_commit(kr_scd_reader_st *r, size_t n);
// Takes the next element (its text between '<' and '>', NUL-terminated) into out, which holds
// KR_SCD_ELEMENT_MAX characters. Bytes outside elements and over-long elements are skipped and
// reported as junk.
kr_scd_read_e kr_scd_reader_next(kr_scd_reader_st *r, char *out, size_t out_size);

// Reads one element's text. For SCD_EL_FRAME fills msg and tv; for SCD_EL_BAD sets why.
kr_scd_element_e kr_scd_parse(const char *text, kr_can_message_st *msg, struct timeval *tv, const char **why);

// "< send ID LEN B0 .. >": 3 hexadecimal digits for a standard identifier, 8 for an extended one.
// Returns the length written, or 0 when the frame cannot be sent (identifier or length out of range).
size_t kr_scd_format_send(const kr_can_message_st *msg, char *out, size_t out_size);

#endif
