// The version notes window's parts, for tests.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "kr_ui.h"

/* Wraps the words of src (runs of characters other than blank and tab, joined by one blank) to
 * lines no wider than width; at most dst_len - 1 characters. Returns the number of lines. */
uint32_t vnw_wrap(const char *src, const ui_font_st *font, int32_t width, char *dst, size_t dst_len);
bool vnw_alloc(uint32_t count);
void vnw_free(void);
int32_t vnw_build_rows(int32_t inner_w, const kr_uistyle_st *style);
void vnw_wheel_step(void);
