/* The non-volatile settings file: only what the library start-up needs so far. */
#ifndef KR_MEMORY_H
#define KR_MEMORY_H

#include "kr_canopen.h"
#include "kr_errors.h"

#ifdef __cplusplus
extern "C" {
#endif

kr_errors_e kr_memory_load(memory_scope_e scope);
void kr_memory_set_nonvol_filepath(const char *path);

#ifdef __cplusplus
}
#endif

#endif
