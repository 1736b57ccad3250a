// The accept dialog: an information text over two buttons.
#include "ui/kr_uiacceptdialog.h"

#include <cstring>
#include <string>

#include "ui/kr_uicontainers.h"

namespace {

constexpr int32_t TEXT_MARGIN = 20;

// The text with each line broken at spaces so that it fits `width`; empty lines stay. A single word
// wider than the width keeps a line of its own.
std::string wrap_lines(const char *text, const ui_font_st *font, int32_t width)
{
    std::string out;
    const char *p = text ? text : "";
    for (;;) {
        const char *end = std::strchr(p, '\n');
        if (!end) end = p + std::strlen(p);
        const std::string line(p, end);
        std::string cur;
        for (size_t i = 0; i <= line.size();) {
            size_t j = line.find(' ', i);
            if (j == std::string::npos) j = line.size();
            const std::string word = line.substr(i, j - i);
            const std::string joined = i == 0 ? word : cur + " " + word;
            if (i > 0 && !cur.empty() && kr_ui_get_string_width(joined.c_str(), font) > width) {
                out += cur + "\n";
                cur = word;
            } else {
                cur = joined;
            }
            i = j + 1;
        }
        out += cur;
        if (!*end) return out;
        out += '\n';
        p = end + 1;
    }
}

kr_uiobject_ret_e accept_step(void *p, uint16_t)
{
    kr_uiacceptdialog_st *me = (kr_uiacceptdialog_st *)p;
    if (me->yes_button.state == UIBUTTON_CLICKED) {
        me->ret = UIACCEPTDIALOG_RET_YES;
        return UIOBJECT_RETURN_KILLED;
    }
    if (me->no_button.state == UIBUTTON_CLICKED) {
        me->ret = UIACCEPTDIALOG_RET_NO;
        return UIOBJECT_RETURN_KILLED;
    }
    return UIOBJECT_RETURN_ALIVE;
}

} // namespace

extern "C" {

kr_uiacceptdialog_ret_e kr_uiacceptdialog_exec(kr_uiacceptdialog_st *me, const char *info_str, const char *yes_str,
                                               const char *no_str, const kr_uistyle_st *style)
{
    if (!me) return UIACCEPTDIALOG_RET_NO;
    if (!style) style = &kr_uistyles[0];
    std::memset(me, 0, sizeof *me);
    me->ret = UIACCEPTDIALOG_RET_NO;
    kr_uidialog_init(&me->dialog, me->buffer, style);
    kr_uiwindow_set_stepcallback(&me->dialog.super.super, accept_step, me);
    const kr_bounding_box_st &area = me->dialog.super.super.super.bb;
    kr_uigridlayout_st g;
    kr_uigridlayout_init(&g, area.x, area.y, area.w, area.h, 2, 3);
    kr_bounding_box_st cell = kr_uigridlayout_next(&g);
    cell.w = (int16_t)(cell.w * 2);
    cell.h = (int16_t)(cell.h * 2);
    const std::string text = wrap_lines(info_str, style->font, cell.w - 2 * TEXT_MARGIN);
    kr_uilabel_init(&me->info_label, style->font, ALIGN_CENTER, 0xFFFFFFFF, text.c_str());
    kr_uiwindow_add(&me->dialog.super.super, &me->info_label.super, cell);
    kr_uigridlayout_next(&g);
    kr_uigridlayout_next(&g);
    kr_uigridlayout_next(&g);
    kr_uibutton_init(&me->yes_button, yes_str, style);
    kr_uiwindow_add(&me->dialog.super.super, &me->yes_button.super, kr_uigridlayout_next(&g));
    kr_uibutton_init(&me->no_button, no_str, style);
    kr_uiwindow_add(&me->dialog.super.super, &me->no_button.super, kr_uigridlayout_next(&g));
    kr_uidialog_exec(&me->dialog);
    return me->ret;
}

} // extern "C"
