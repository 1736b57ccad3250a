// The version notes window: what changed in this build, newest first, each note wrapped beside its
// date, in a scrollable list; "Close" ends it.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "run/commands.h"
#include "ui/krui.h"
#include "online/selfupdate.h"
#include "ui/kr_uidisplay.h"
#include "ui/kr_uiwidgets.h"
#include "versionnotes_internal.h"

namespace {

constexpr size_t TEXT_LEN = 288;

struct vnw_st {
    kr_uidialog_st dialog;
    kr_uiobject_st *buffer[6];
    kr_uilabel_st title, subtitle, message;
    char subtitle_text[256];
    char message_text[160];
    kr_uiwindow_st list_win;
    kr_uibutton_st close_btn;
    // Allocated per opening: child list, labels and wrapped texts of count + 1 rows.
    kr_uiobject_st **rows_buf = nullptr;
    kr_uilabel_st *dates = nullptr;
    kr_uilabel_st *texts = nullptr;
    char (*text_strs)[TEXT_LEN] = nullptr;
    char omitted_text[64];
    bool list_shown = false;
};

vnw_st w;

bool is_blank(char c) { return c == ' ' || c == '\t'; }

} // namespace

bool vnw_alloc(uint32_t count)
{
    const size_t rows = (size_t)count + 1;
    w.rows_buf = new (std::nothrow) kr_uiobject_st *[2 * rows]();
    w.dates = new (std::nothrow) kr_uilabel_st[rows]();
    w.texts = new (std::nothrow) kr_uilabel_st[rows]();
    w.text_strs = new (std::nothrow) char[rows][TEXT_LEN]();
    if (w.rows_buf && w.dates && w.texts && w.text_strs) return true;
    vnw_free();
    return false;
}

void vnw_free(void)
{
    delete[] w.rows_buf;
    delete[] w.dates;
    delete[] w.texts;
    delete[] w.text_strs;
    w.rows_buf = nullptr;
    w.dates = w.texts = nullptr;
    w.text_strs = nullptr;
    w.list_shown = false;
}

uint32_t vnw_wrap(const char *src, const ui_font_st *font, int32_t width, char *dst, size_t dst_len)
{
    if (!dst || dst_len == 0) return 0;
    dst[0] = '\0';
    if (!src) return 0;
    size_t out = 0, line_start = 0;
    uint32_t lines = 0;
    const char *p = src;
    while (*p) {
        while (is_blank(*p)) ++p;
        if (!*p) break;
        const char *end = p;
        while (*end && !is_blank(*end)) ++end;
        const size_t sep = out > 0 ? 1 : 0;
        size_t n = (size_t)(end - p);
        if (out + sep >= dst_len - 1) break;
        const size_t blank_at = out;
        if (sep) dst[out++] = ' ';
        if (n > dst_len - 1 - out) n = dst_len - 1 - out;
        std::memcpy(dst + out, p, n);
        out += n;
        dst[out] = '\0';
        if (lines == 0) lines = 1;
        if (sep && kr_ui_get_string_width(dst + line_start, font) > width) {
            dst[blank_at] = '\n';
            line_start = blank_at + 1;
            lines++;
        }
        p = end;
        if (out >= dst_len - 1) break;
    }
    return lines;
}

int32_t vnw_build_rows(int32_t inner_w, const kr_uistyle_st *style)
{
    const uint32_t count = versionnotes_count();
    const int32_t line_h = style->font->char_height;
    int32_t y = 0;
    kr_uiwindow_init(&w.list_win, w.rows_buf, style);
    for (uint32_t i = 0; i < count; ++i) {
        const versionnote_st *n = versionnotes_get(i);
        const uint32_t lines = vnw_wrap(n->text, style->font, inner_w - 120, w.text_strs[i], TEXT_LEN);
        const int32_t rh = (int32_t)(lines ? lines : 1) * line_h;
        kr_uilabel_init(&w.dates[i], style->font, ALIGN_TOP_LEFT, 0xFF909090, n->date);
        kr_uiwindow_addxy(&w.list_win, &w.dates[i].super, 0, (int16_t)y, 110, (int16_t)rh);
        kr_uilabel_init(&w.texts[i], style->font, ALIGN_TOP_LEFT, style->text_color, w.text_strs[i]);
        kr_uiwindow_addxy(&w.list_win, &w.texts[i].super, 120, (int16_t)y, (int16_t)(inner_w - 120), (int16_t)rh);
        y += rh + 8;
    }
    if (versionnotes_omitted()) {
        std::snprintf(w.omitted_text, sizeof w.omitted_text, "...and %u earlier commits.", versionnotes_omitted());
        kr_uilabel_init(&w.texts[count], style->font, ALIGN_TOP_LEFT, 0xFF909090, w.omitted_text);
        kr_uiwindow_addxy(&w.list_win, &w.texts[count].super, 120, (int16_t)y, (int16_t)(inner_w - 120),
                          (int16_t)line_h);
        y += line_h + 8;
    }
    return y;
}

void vnw_wheel_step(void)
{
    if (!w.list_shown) return;
    int32_t px = 0, py = 0;
    kr_ui_get_touch(&px, &py);
    const kr_uiobject_st &o = w.list_win.super;
    const int32_t x0 = kr_ui_get_xglobal(&o), y0 = kr_ui_get_yglobal(&o);
    if (px < x0 || py < y0 || px >= x0 + o.bb.w || py >= y0 + o.bb.h) return;
    const int16_t wheel = kr_ui_get_scroll();
    if (wheel) kr_uiwindow_content_move(&w.list_win, 0, 40 * wheel);
}

namespace {

kr_uiobject_ret_e vnw_step(void *, uint16_t)
{
    vnw_wheel_step();
    return w.close_btn.state == UIBUTTON_CLICKED ? UIOBJECT_RETURN_KILLED : UIOBJECT_RETURN_ALIVE;
}

} // namespace

extern "C" void versionnotes_win_exec(const kr_uistyle_st *style)
{
    if (!style) style = &kr_uistyles[0];
    vnw_free();
    std::memset((void *)&w, 0, sizeof w);
    kr_uidialog_init(&w.dialog, w.buffer, style);
    kr_uiwindow_set_stepcallback(&w.dialog.super.super, vnw_step, nullptr);
    kr_uiwindow_st *d = &w.dialog.super.super;
    const int16_t dw = d->super.bb.w, dh = d->super.bb.h;

    kr_uilabel_init(&w.title, &font20, ALIGN_CENTER_LEFT, style->text_color, "Version notes");
    kr_uiwindow_addxy(d, &w.title.super, 10, 10, (int16_t)(dw - 20), 30);
    const uint32_t count = versionnotes_count();
    if (count == 0)
        std::snprintf(w.subtitle_text, sizeof w.subtitle_text, "krcan %s (build %u)", selfupdate_this_name(),
                      selfupdate_this_version());
    else if (versionnotes_since_build())
        std::snprintf(w.subtitle_text, sizeof w.subtitle_text,
                      "krcan %s (build %u) - what has changed since %s (build %u), the build published before it.",
                      selfupdate_this_name(), selfupdate_this_version(), versionnotes_since_name(),
                      versionnotes_since_build());
    else
        std::snprintf(w.subtitle_text, sizeof w.subtitle_text,
                      "krcan %s (build %u) - the newest changes it was built with.", selfupdate_this_name(),
                      selfupdate_this_version());
    kr_uilabel_init(&w.subtitle, style->font, ALIGN_CENTER_LEFT, style->text_color, w.subtitle_text);
    kr_uiwindow_addxy(d, &w.subtitle.super, 10, 40, (int16_t)(dw - 20), 26);

    if (count > 0 && vnw_alloc(count)) {
        const int32_t rows_h = vnw_build_rows(dw - 26, style);
        kr_uiwindow_set_transparent(&w.list_win, true);
        kr_uiwindow_addxy(d, &w.list_win.super, 10, 76, (int16_t)(dw - 20), (int16_t)(dh - 140));
        kr_uiwindow_set_contentbb(&w.list_win, (int16_t)(dw - 26), (int16_t)(rows_h > dh - 140 ? rows_h : dh - 140));
        w.list_shown = true;
    } else {
        if (count > 0)
            std::snprintf(w.message_text, sizeof w.message_text,
                          "The version notes could not be shown: out of memory.");
        else if (versionnotes_since_build())
            std::snprintf(w.message_text, sizeof w.message_text,
                          "Nothing has changed since %s: this is the build that was published.",
                          versionnotes_since_name());
        else
            std::snprintf(w.message_text, sizeof w.message_text, "This build carries no version notes.");
        kr_uilabel_init(&w.message, style->font, ALIGN_CENTER, style->text_color, w.message_text);
        kr_uiwindow_addxy(d, &w.message.super, 10, 76, (int16_t)(dw - 20), (int16_t)(dh - 140));
    }
    kr_uibutton_init(&w.close_btn, "Close", style);
    kr_uiwindow_addxy(d, &w.close_btn.super, (int16_t)(dw - 160), (int16_t)(dh - 54), 150, 44);
    kr_uidialog_exec(&w.dialog);
    vnw_free();
}
