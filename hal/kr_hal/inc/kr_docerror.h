/* Where and why a JSON or YAML text was refused. Valid C11 and C++. */
#ifndef KR_DOCERROR_H
#define KR_DOCERROR_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define KR_DOC_REASON_LENGTH 112u

/* line and column count from 1; the column counts characters (UTF-8 sequences), not bytes. */
typedef struct {
    uint32_t line;
    uint32_t column;
    char reason[KR_DOC_REASON_LENGTH];
} kr_doc_error_st;

#ifdef __cplusplus
}
#endif

#endif
