/* The C export of the loaded device database: a header of symbols and a source file that builds the
 * CANopen start-up record and the object table from them. Valid C11 and C++. */
#ifndef KRCAN_EXPORT_H
#define KRCAN_EXPORT_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define EXPORT_BUFFER_LEN 2000000u
#define DEFINE_VALUE_COL 80

typedef struct {
    uint8_t _unused; /* the C export keeps no state; C has no empty structs */
} export_st;

bool cmd_exporth(const char *name);
bool cmd_exportc(const char *name);
bool cmd_export(const char *name);

/* Build the texts into dest (dest_length bytes, at most EXPORT_BUFFER_LEN is used). False, with a
 * message, when the database cannot be exported or the text does not fit. */
bool get_header_objs(char *dest, size_t dest_length, const char *name);
bool get_source_objs(char *dest, size_t dest_length, const char *name);

#ifdef __cplusplus
}
#endif

#endif
