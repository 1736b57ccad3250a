// The Overview tab: the system configuration file, the joystick driver, and the jobs that save the
// system's parameters to a file or load them onto its devices.
#include "ui/devicetab.h"

#include <cstdio>
#include <cstring>

#include "bus/find.h"
#include "joystick/joystick.h"
#include "params/loadparam.h"
#include "system/package.h"
#include "system/system.h"
#include "ui/devsel.h"
#include "ui/joystick_win.h"
#include "ui/krui.h"
#include "ui/terminaltab.h"
#include "devicetab_internal.h"

namespace dt {

bool showing_system = false;
bool overview_built = false;

namespace {

const kr_uifileedit_filter_st SYSTEM_FILE_FILTERS[] = {{"System packages", "*.krsys"}, {"All files", "*"}};
constexpr uint8_t SYSTEM_FILTER_COUNT = 2;

void build_overview(kr_uiwindow_st *page, system_st *s)
{
    content_st &c = content;
    const kr_bounding_box_st cb = page_area(page);
    std::memset(&c.overview, 0, sizeof c.overview);
    kr_uiframewindow_init(&c.overview, c.overview_buf, style());
    kr_uiframewindow_set_title(&c.overview, "System configuration");
    kr_uiwindow_addxy(page, &c.overview.super.super, 10, 10, (int16_t)(cb.w - 20), (int16_t)(cb.h - 20));
    kr_uiwindow_st *O = &c.overview.super;
    const kr_bounding_box_st ob = kr_uiframewindow_get_content_bb(&c.overview);
    const int16_t bw = (int16_t)((ob.w - 10) / 2);
    bool any_pkg = false, any_op = false;
    for (uint8_t i = 0; i < s->dev_count; i++) {
        if (s->devs[i].filepath[0]) any_pkg = true;
        if (s->devs[i].state == DEV_STATE_OP) any_op = true;
    }
    const bool sys_job = busy && (busy_op == OP_SAVESYS || busy_op == OP_SYSLOAD || busy_op == OP_SIMPARAM);
    button(O, &c.open_sys_btn, "Open system configuration file", 0, 0, bw, 44, !sys_job);
    button(O, &c.joystick_btn, joystick_has_conf() ? "Edit joystick driver" : "Configure joystick driver",
           (int16_t)(bw + 10), 0, bw, 44, !sys_job && s->loaded && any_pkg);
    button(O, &c.savesys_btn, "Save system configuration to file", 0, 54, bw, 44, !sys_job && any_op);
    button(O, &c.loadsys_btn, "Load system configuration to devices", (int16_t)(bw + 10), 54, bw, 44,
           !sys_job && s->dev_count > 0 && any_op);
    char *out = c.summary_str;
    const size_t cap = sizeof c.summary_str;
    if (s->loaded) {
        size_t n = (size_t)std::snprintf(out, cap, "System file: %s\nSaved: %s\nDevices:", s->name,
                                         s->date[0] ? s->date : "unknown");
        for (uint8_t i = 0; i < s->sysfile_dev_count && n < cap; i++) {
            const sysfile_dev_st &f = s->sysfile_devs[i];
            const bool named = f.devname[0] != 0;
            n += (size_t)std::snprintf(out + n, cap - n, "\n    0x%x    %s%s%s%s    version %s", f.nodeid, f.krdev,
                                       named ? " (" : "", f.devname, named ? ")" : "",
                                       f.version[0] ? f.version : "unknown");
        }
        if (s->sysfile_dev_count == 0 && n < cap) std::snprintf(out + n, cap - n, " none");
    } else {
        std::snprintf(out, cap, "No system configuration file loaded.");
    }
    label(O, &c.summary, c.summary_str, 0, 108, ob.w, (int16_t)(ob.h - 108));
    overview_built = true;
}

void open_system_file(system_st *s)
{
    char path[DEV_PATH_LEN] = "";
    if (!kr_uifiledialog_exec("Load system configuration from file", SYSTEM_FILE_FILTERS, SYSTEM_FILTER_COUNT, false,
                              path, sizeof path))
        return;
    if (!system_set_file(s, path)) job_error("ERROR: failed to load system package '%s': %s.\n", path, package_error());
    find_update_device_states(s);
    device_st *devs[SYSTEM_MAX_DEVICES];
    uint32_t count = 0;
    char q[1024];
    size_t n = (size_t)std::snprintf(q, sizeof q, "%s",
                                     "Some online devices in this system configuration have saved parameters. Load "
                                     "these parameters onto the devices?\n\n");
    for (uint8_t i = 0; i < s->dev_count && count < SYSTEM_MAX_DEVICES; i++) {
        device_st *d = &s->devs[i];
        if (!d->param_file[0] || d->state == DEV_STATE_OFFLINE) continue;
        devs[count++] = d;
        if (n < sizeof q)
            n += (size_t)std::snprintf(q + n, sizeof q - n, "  %s (node 0x%x)  <-  %s\n",
                                       d->devname[0] ? d->devname : d->name, d->nodeid, base_name(d->param_file));
    }
    if (count == 0 || !ask(q, "Yes", "No")) return;
    start_job(OP_SYSPARAM, nullptr, "Loading saved parameters to the system's devices...", "The parameter load",
              [&] { return loadparam_load_params_async(devs, count); });
}

void load_system_to_devices(system_st *s)
{
    bool any = false;
    for (uint8_t i = 0; i < s->dev_count; i++)
        if (!devicetab_sysload_reason(&s->devs[i])) any = true;
    if (!any) {
        tell("None of the online devices have saved parameters in this system configuration.");
        return;
    }
    device_st *chosen[SYSTEM_MAX_DEVICES];
    const uint8_t count = devsel_win_exec(s, "Load system configuration to devices", "Load", devicetab_sysload_reason,
                                          chosen, SYSTEM_MAX_DEVICES, style());
    if (count == 0) return;
    char text[1024];
    size_t n = (size_t)std::snprintf(text, sizeof text, "%s",
                                     "The CAN interface version of these devices differs from the one stored in the "
                                     "system configuration. The saved parameters might not load correctly:\n\n");
    bool mismatch = false;
    for (uint8_t i = 0; i < count; i++) {
        uint32_t fv = 0, dv = 0;
        if (!loadparam_can_if_mismatch(chosen[i], &fv, &dv)) continue;
        mismatch = true;
        if (n < sizeof text)
            n += (size_t)std::snprintf(text + n, sizeof text - n, "  %s (node 0x%x): file %u, device %u\n",
                                       chosen[i]->devname[0] ? chosen[i]->devname : chosen[i]->name, chosen[i]->nodeid,
                                       (unsigned)fv, (unsigned)dv);
    }
    if (mismatch) {
        if (n < sizeof text) std::snprintf(text + n, sizeof text - n, "%s", "\nLoad the parameters anyway?");
        if (!ask(text, "Yes", "No")) return;
    }
    start_job(OP_SYSLOAD, nullptr, "Loading the system configuration to devices...", "The system load",
              [&] { return loadparam_load_system_async(chosen, count); });
}

} // namespace

bool overview_step(system_st *s)
{
    content_st &c = content;
    if (clicked(&c.joystick_btn)) {
        joystick_win_exec(s, style());
        return true;
    }
    if (clicked(&c.open_sys_btn)) {
        open_system_file(s);
        return true;
    }
    if (clicked(&c.savesys_btn)) {
        // Said before a file name is asked for: nothing could be written to it.
        job_error("ERROR: the system configuration cannot be saved: writing .krsys packages is not supported on "
                  "Linux.\n");
        tell("The system configuration cannot be saved: writing .krsys packages is not supported on Linux.");
        return false;
    }
    if (clicked(&c.loadsys_btn)) {
        load_system_to_devices(s);
        return false;
    }
    return false;
}

} // namespace dt

using namespace dt;

extern "C" {

const char *devicetab_sysload_reason(const device_st *d)
{
    if (!d->param_file[0]) return "No saved parameters";
    if (d->state == DEV_STATE_OFFLINE) return "Offline";
    if (d->state != DEV_STATE_OP) return "Not operational";
    return nullptr;
}

void devicetab_show_system(kr_uitabwindow_st *tabwindow, system_st *system)
{
    current_device = nullptr;
    showing_system = true;
    shown_system = system;
    view_built = false;
    overview_built = false;
    terminaltab_unbuild();
    if (tabwindow && system) build_overview(&tabwindow->super, system);
}

} // extern "C"
