// The device tabs and the Overview tab of the main window: what each device shows, and the device jobs
// started from them. Jobs run in tasks of their own; the window only starts them and polls their
// finished flags once per frame, and changes nothing they read until they end. This file holds what
// the parts share and the tab's frame step; the device page, the Overview and the jobs have their own.
#include "ui/devicetab.h"

#include <cstring>

#include "system/simrun.h"
#include "ui/kr_uiacceptdialog.h"
#include "devicetab_internal.h"

namespace dt {

content_st content;
system_st *shown_system = &dev.system;

namespace {
kr_uiacceptdialog_st dialog;
}

const kr_uistyle_st *style() { return &kr_uistyles[0]; }

kr_bounding_box_st page_area(const kr_uiwindow_st *w)
{
    kr_bounding_box_st r;
    kr_bounding_box_init(&r, 0, 0, w->super.bb.w, (int16_t)(w->super.bb.h - w->content_bb_ydef));
    return r;
}

bool ask(const char *text, const char *yes, const char *no)
{
    std::memset(&dialog, 0, sizeof dialog);
    return kr_uiacceptdialog_exec(&dialog, text, yes, no, style()) == UIACCEPTDIALOG_RET_YES;
}
void tell(const char *text) { ask(text, "OK", "OK"); }

bool clicked(kr_uibutton_st *b)
{
    if (b->state != UIBUTTON_CLICKED || !b->super.enabled) return false;
    b->state = UIBUTTON_UP;
    return true;
}

bool on_page(const kr_uiwindow_st *w, const kr_uiobject_st *o)
{
    for (kr_uiobject_st *p = o->parent ? &o->parent->super : nullptr; p; p = p->parent ? &p->parent->super : nullptr)
        if (p == &w->super) return true;
    return false;
}

const char *base_name(const char *path)
{
    const char *s = std::strrchr(path, '/');
    return s ? s + 1 : path;
}

void label(kr_uiwindow_st *w, kr_uilabel_st *l, const char *text, int16_t x, int16_t y, int16_t width, int16_t height,
           color_t c, const ui_font_st *font)
{
    std::memset(l, 0, sizeof *l);
    kr_uilabel_init(l, font ? font : style()->font, ALIGN_TOP_LEFT, c ? c : style()->text_color, text);
    kr_uiwindow_addxy(w, &l->super, x, y, width, height);
}

void button(kr_uiwindow_st *w, kr_uibutton_st *b, const char *text, int16_t x, int16_t y, int16_t width, int16_t height,
            bool enabled)
{
    std::memset(b, 0, sizeof *b);
    kr_uibutton_init(b, text, style());
    kr_uiwindow_addxy(w, &b->super, x, y, width, height);
    kr_ui_set_enabled(&b->super, enabled);
}

} // namespace dt

using namespace dt;

extern "C" {

bool devicetab_step(void)
{
    bool result = simrun_step();
    result = simrun_poll_changed() || result;
    if (busy) return jobs_step();
    if (showing_system) return (shown_system && overview_built && overview_step(shown_system)) || result;
    if (current_device && view_built && shown_subtab == SUBTAB_DEVICE) return device_step(current_device) || result;
    return result;
}

} // extern "C"
