/* File dialogs (zenity, run without a shell) and the file edit field that opens them. */
#ifndef KR_UIFILEDIALOG_H
#define KR_UIFILEDIALOG_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct {
    const char *name;     /* shown name, "files" when null */
    const char *patterns; /* blank-separated, all files when null */
} kr_uifileedit_filter_st;

#define KR_UIFILEDIALOG_DIR_LEN 512

/* One path into `out`; true when one was chosen and fits. A cancel, a refusal or an error leaves `out`
 * unchanged (errors and refusals say why on standard output). */
bool kr_uifiledialog_exec(const char *title, const kr_uifileedit_filter_st *filters, uint8_t filter_count, bool save,
                          char *out, size_t out_len);
/* Several paths joined by LF; true when at least one was written. */
bool kr_uifiledialog_exec_multi(const char *title, const kr_uifileedit_filter_st *filters, uint8_t filter_count,
                                char *out, size_t out_len);
void kr_uifiledialog_set_default_dir(const char *path);
const char *kr_uifiledialog_get_default_dir(void);

#ifdef __cplusplus
}
#endif

#endif
