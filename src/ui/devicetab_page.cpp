// A device's tab: its Device page (the device on the bus and its configuration package, with the
// buttons that start its jobs) and its Terminal page.
#include "ui/devicetab.h"

#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "bus/find.h"
#include "firmware/esp32.h"
#include "firmware/firmware_loader.h"
#include "firmware/media.h"
#include "online/account.h"
#include "params/loadparam.h"
#include "params/saveparam.h"
#include "system/system.h"
#include "ui/devsel.h"
#include "ui/krui.h"
#include "ui/serverfiles.h"
#include "ui/terminaltab.h"
#include "kr_bytes.h"
#include "devicetab_internal.h"
#include "krui_internal.h"

namespace dt {

device_st *current_device = nullptr;
subtab_e shown_subtab = SUBTAB_DEVICE;
bool view_built = false;
bool device_removed = false;

namespace {

constexpr color_t WARNING_COLOR = 0xFFE02020;

const kr_uifileedit_filter_st PARAM_FILE_FILTERS[] = {{"Parameter files", "*.json *.yaml *.yml"},
                                                      {"JSON parameter files", "*.json"},
                                                      {"YAML parameter files", "*.yaml *.yml"},
                                                      {"All files", "*"}};
const kr_uifileedit_filter_st DEVICE_FILE_FILTERS[] = {{"Device packages", "*.krdev"}, {"All files", "*"}};
constexpr uint8_t PARAM_FILTER_COUNT = 4, DEVICE_FILTER_COUNT = 2;

const char *const subtab_names[SUBTAB_COUNT] = {"Device", "Terminal"};

subtab_e selected_subtab = SUBTAB_DEVICE;

// A node id written to a device (0x100B) that it takes only once it is stored and the device reset: the
// tab keeps the device's old id until the device answers at the new one, so that "Save settings" and
// "Reset device" reach it. A reset drops what was written and not stored.
struct nodeid_change_st {
    device_st *device;
    uint8_t written;
    uint8_t stored; // 0: nothing stored since the first write
} nodeid_change = {nullptr, 0, 0};

const char *state_name_str(dev_state_e s)
{
    switch (s) {
    case DEV_STATE_BOOTUP: return "BOOT-UP";
    case DEV_STATE_PREOP: return "PRE-OPERATIONAL";
    case DEV_STATE_OP: return "OPERATIONAL";
    default: return "OFFLINE";
    }
}

const char *shown_name(const device_st *d)
{
    if (d->devname[0]) return d->devname;
    if (d->name[0]) return d->name;
    return "the device";
}

void statusdot_draw(kr_uiobject_st *o, const kr_bounding_box_st *)
{
    statusdot_st *me = (statusdot_st *)o;
    int32_t d = o->bb.w < o->bb.h ? o->bb.w : o->bb.h;
    if (d > 20) d = 20;
    const int32_t cx = kr_ui_get_xglobal(o) + o->bb.w / 2, cy = kr_ui_get_yglobal(o) + o->bb.h / 2;
    // A job greys the page out, not the device's state.
    const ui_color_modes_e mode = kr_ui_get_color_mode();
    kr_ui_set_color_mode(COLOR_MODE_RGB);
    kr_ui_draw_point(cx, cy, me->color, d);
    kr_ui_set_color_mode(mode);
    if (me->hollow) kr_ui_draw_point(cx, cy, me->bg, d / 2);
}

void statusdot_init(statusdot_st *me, color_t color, color_t bg, bool hollow)
{
    kr_uiobject_init(&me->super);
    me->super.vrtl_draw = statusdot_draw;
    me->color = color;
    me->bg = bg;
    me->hollow = hollow;
}

// One identity line: what the device says (or "-" before it has said), and beside it the package's
// where that differs, since a package made for another product is what an engineer looks for here. A
// package without a database has no identity to show.
void identity_line(char *out, size_t size, const char *what, bool known, uint32_t value, const char *tail,
                   bool pkg_known, uint32_t pkg)
{
    char v[24] = "-";
    if (known) std::snprintf(v, sizeof v, "0x%X", (unsigned)value);
    char p[48] = "";
    if (pkg_known && (!known || pkg != value))
        std::snprintf(p, sizeof p, known ? "  (the package is for 0x%X)" : "  (package: 0x%X)", (unsigned)pkg);
    std::snprintf(out, size, "%s: %s%s%s", what, v, known ? tail : "", p);
}

void identity_text(const device_st *d, char *out, size_t size)
{
    const bool known = d->dev_identity_read;
    const bool pkg_known = d->filepath[0] && (d->vendor_id || d->product_code);
    char vendor[160], product[160], sw[16] = "-";
    identity_line(vendor, sizeof vendor, "Vendor ID", known, d->dev_vendor_id,
                  d->dev_vendor_id == CANOPEN_KORVANE_VENDOR_ID ? " (Korvane Oy)" : "", pkg_known, d->vendor_id);
    identity_line(product, sizeof product, "Product code", known, d->dev_product_code, "", pkg_known, d->product_code);
    if (d->sw_version) std::snprintf(sw, sizeof sw, "%u", (unsigned)d->sw_version);
    std::snprintf(out, size, "%s\n%s\nSoftware version: %s", vendor, product, sw);
}

void build_device_view(kr_uiwindow_st *page, device_st *d)
{
    content_st &c = content;
    const kr_bounding_box_st cb = page_area(page);
    const int16_t W = cb.w, H = cb.h;
    const int16_t half = (int16_t)((W - 30) / 2);
    const bool third = d->thirdparty;
    const bool has_pkg = d->filepath[0] != 0;
    if (d->loaded && !third && d->dev_revision == 0 && !busy && d->state != DEV_STATE_BOOTUP)
        d->dev_revision = find_read_device_revision(d);
    const bool mismatch = d->loaded && d->dev_revision != 0 && d->revision != 0 && d->revision != d->dev_revision;
    const color_t rev_c = mismatch ? WARNING_COLOR : style()->text_color;

    std::memset(&c.left, 0, sizeof c.left);
    kr_uiframewindow_init(&c.left, c.left_buf, style());
    kr_uiframewindow_set_title(&c.left, "CAN-bus device");
    kr_uiwindow_addxy(page, &c.left.super.super, 10, 10, third ? (int16_t)(W - 20) : half, (int16_t)(H - 74));
    kr_uiwindow_st *L = &c.left.super;
    const kr_bounding_box_st lb = kr_uiframewindow_get_content_bb(&c.left);
    std::memset(&c.dot, 0, sizeof c.dot);
    statusdot_init(&c.dot, krui_dot_color_for_state(d->state), style()->window_c, !has_pkg);
    kr_uiwindow_addxy(L, &c.dot.super, 0, 0, 40, has_pkg ? 40 : 64);
    if (has_pkg)
        kr_copy_text(c.state_str, sizeof c.state_str, state_name_str(d->state));
    else
        std::snprintf(c.state_str, sizeof c.state_str, "%s\nCONFIGURATION FILE NOT SELECTED", state_name_str(d->state));
    label(L, &c.state, c.state_str, 40, 0, (int16_t)(lb.w - 40), has_pkg ? 40 : 64);
    if (d->loaded) {
        identity_text(d, c.identity_str, sizeof c.identity_str);
        label(L, &c.identity, c.identity_str, 0, has_pkg ? 50 : 74, lb.w, 70);
        if (!third) {
            char rev[16] = "-";
            if (d->dev_revision) std::snprintf(rev, sizeof rev, "%u", (unsigned)d->dev_revision);
            std::snprintf(c.devrev_str, sizeof c.devrev_str, "Revision number: %s", rev);
            label(L, &c.devrev, c.devrev_str, 0, has_pkg ? 120 : 144, lb.w, 26, rev_c);
        }
        std::memset(&c.nodeid_edit, 0, sizeof c.nodeid_edit);
        kr_uidigitedit_init(&c.nodeid_edit, d->nodeid, style());
        kr_uidigitedit_set_hex(&c.nodeid_edit, true);
        kr_uidigitedit_set_limits(&c.nodeid_edit, CANOPEN_NODE_ID_MIN, CANOPEN_NODE_ID_MAX);
        kr_uidigitedit_set_value(&c.nodeid_edit, nodeid_change.device == d ? nodeid_change.written : d->nodeid);
        c.nodeid_edit.title = "Node ID";
        c.nodeid_edit.modedata.normal.numpaddialog_title = c.nodeid_edit.title;
        c.nodeid_shown = c.nodeid_edit.value;
        kr_uiwindow_addxy(L, &c.nodeid_edit.super.super, 0, (int16_t)(lb.h - 172), lb.w, 64);
        kr_ui_set_enabled(&c.nodeid_edit.super.super, !third);
        const int16_t bw = (int16_t)((lb.w - 10) / 2);
        const bool online = d->state != DEV_STATE_OFFLINE;
        button(L, &c.revert_btn, "Revert to defaults", 0, (int16_t)(lb.h - 98), bw, 44, online);
        button(L, &c.savesettings_btn, "Save settings", (int16_t)(bw + 10), (int16_t)(lb.h - 98), bw, 44, online);
        button(L, &c.reset_btn, "Reset device", 0, (int16_t)(lb.h - 44), lb.w, 44, online);
    }

    if (!third) {
        std::memset(&c.right, 0, sizeof c.right);
        kr_uiframewindow_init(&c.right, c.right_buf, style());
        kr_uiframewindow_set_title(&c.right, "Device configuration");
        kr_uiwindow_addxy(page, &c.right.super.super, (int16_t)(half + 20), 10, half, (int16_t)(H - 74));
        kr_uiwindow_st *R = &c.right.super;
        const kr_bounding_box_st rb = kr_uiframewindow_get_content_bb(&c.right);
        kr_copy_text(c.devname_str, sizeof c.devname_str, d->devname[0] ? d->devname : d->name);
        label(R, &c.devname, c.devname_str, 0, 0, rb.w, 30, 0, &ui_fonts[1]);
        std::memset(&c.pkg_edit, 0, sizeof c.pkg_edit);
        kr_copy_text(c.pkg_path, sizeof c.pkg_path, d->filepath);
        kr_uifileedit_init(&c.pkg_edit, c.pkg_path, sizeof c.pkg_path, style());
        c.pkg_edit.title = "Device configuration file";
        c.pkg_edit.filters = DEVICE_FILE_FILTERS;
        c.pkg_edit.filter_count = DEVICE_FILTER_COUNT;
        const int16_t ew = (int16_t)(rb.w * 3 / 4 - 10);
        kr_uiwindow_addxy(R, &c.pkg_edit.super.super, 0, 40, ew, 56);
        button(R, &c.server_btn, "Server files", (int16_t)(ew + 10), 40, (int16_t)(rb.w - ew - 10), 56);
        if (d->loaded) {
            std::snprintf(c.pkg_version_str, sizeof c.pkg_version_str, "Software version: %s",
                          d->conf_version[0] ? d->conf_version : "-");
            label(R, &c.pkg_version, c.pkg_version_str, 0, 106, rb.w, 26);
            int16_t y = 132;
            if (d->default_nodeid) {
                std::snprintf(c.default_id_str, sizeof c.default_id_str, "Default Node-ID: 0x%x", d->default_nodeid);
                label(R, &c.default_id, c.default_id_str, 0, y, rb.w, 26);
                y = 158;
            }
            char rev[16] = "-";
            if (d->revision) std::snprintf(rev, sizeof rev, "%u", (unsigned)d->revision);
            std::snprintf(c.pkg_rev_str, sizeof c.pkg_rev_str, "Revision number: %s", rev);
            label(R, &c.pkg_rev, c.pkg_rev_str, 0, y, rb.w, 26, rev_c);
            if (mismatch) {
                kr_copy_text(c.warning_str, sizeof c.warning_str,
                             "Configuration file revision does not match device.\nAll parameters might not save / "
                             "load correctly");
                label(R, &c.warning, c.warning_str, 0, (int16_t)(y + 36), rb.w, 44, WARNING_COLOR);
            }
        }
        const int16_t bw = (int16_t)((rb.w - 10) / 2);
        int16_t top = (int16_t)(rb.h - 44);
        button(R, &c.save_btn, "Save parameters", 0, top, bw, 44, has_pkg);
        button(R, &c.load_btn, "Load parameters", (int16_t)(bw + 10), top, bw, 44, has_pkg);
        if (d->has_media) {
            top = (int16_t)(top - 54);
            button(R, &c.media_btn, "Load media files", 0, top, rb.w, 44, has_pkg);
        }
        if (d->has_esp32) {
            top = (int16_t)(top - 54);
            button(R, &c.esp32_btn, "Flash ESP32 firmware", 0, top, rb.w, 44, has_pkg);
        }
        button(R, &c.flash_btn, "Flash firmware", 0, (int16_t)(top - 54), rb.w, 44);
    }

    std::memset(&c.remove_btn, 0, sizeof c.remove_btn);
    kr_uimediabutton_init(&c.remove_btn, "Remove Device", krui_get_remove_media(), style());
    kr_uiwindow_addxy(page, &c.remove_btn.super.super.super, (int16_t)(W / 4), (int16_t)(H - 54), (int16_t)(W / 2), 44);
    view_built = true;
    if (busy) {
        set_frames_enabled(false);
        if (busy_op == OP_FLASH && !third) flash_btn_set_cancel_mode();
    }
}

kr_uiobject_ret_e subtab_step(void *, uint16_t);

void show_active_subtab()
{
    content_st &c = content;
    kr_uitabwindow_clear(&c.subtabs);
    kr_uiwindow_set_stepcallback(&c.subtabs.super, subtab_step, nullptr); // clearing drops it
    view_built = false;
    terminaltab_unbuild();
    shown_subtab = selected_subtab;
    if (!current_device) return;
    if (selected_subtab == SUBTAB_TERMINAL)
        terminaltab_build(&c.subtabs.super, current_device->nodeid);
    else
        build_device_view(&c.subtabs.super, current_device);
    kr_ui_refresh(&c.subtabs.super.super);
}

kr_uiobject_ret_e subtab_step(void *, uint16_t)
{
    content_st &c = content;
    if (c.subtabs.tab_changed && c.subtabs.active_tab < SUBTAB_COUNT) {
        selected_subtab = (subtab_e)c.subtabs.active_tab;
        if (selected_subtab != shown_subtab) show_active_subtab();
    }
    if (shown_subtab == SUBTAB_TERMINAL) terminaltab_step(!krui_log_is_expanded());
    return UIOBJECT_RETURN_ALIVE;
}

bool refuse_node0(const device_st *d, const char *what)
{
    if (system_nodeid_valid(d->nodeid)) return false;
    job_error("ERROR: %s refused: the device has node id 0x%x, which is no single node (0 reaches every "
              "node, this tool included). Set its node id first.\n",
              what, d->nodeid);
    return true;
}

bool sdo_signature(device_st *d, kr_errors_e (*request)(uint8_t node_id, memory_scope_e scope), const char *start,
                   const char *ok, const char *fail)
{
    const uint8_t node = d->nodeid;
    say_flushed(start, node);
    if (request(node, MEMORY_ALL_PARAMS) == ERR_NONE) {
        say_flushed(ok, node);
        return true;
    }
    job_error(fail, node);
    return false;
}

// Another device lives at the node: one of the system's, or one heard on the bus lately (a node heard
// once, long ago, may have left it).
bool node_taken(uint8_t node, const device_st *self)
{
    const device_st *at = find_device_by_nodeid(node);
    return (at && at != self) || (!at && find_node_get_state(node) != DEV_STATE_OFFLINE);
}

void nodeid_edited(device_st *d, uint8_t id)
{
    const uint8_t old = d->nodeid;
    const bool pending = nodeid_change.device == d;
    if (d->state == DEV_STATE_OFFLINE || !system_nodeid_valid(old)) {
        // Nothing answers at the old id: the tab is told where the device lives.
        d->nodeid = id;
        if (pending) nodeid_change.device = nullptr;
        job_warning("Node ID of the device changed from 0x%x to 0x%x.\nNOTE: the device keeps its old node id until "
                    "the new one is written to it. The change applies only after the device's settings have been "
                    "saved (\"Save settings\") and the device has been rebooted (\"Reset device\").\n",
                    old, id);
        return;
    }
    if (id == old && !pending) {
        say_flushed("The node id of node 0x%x stays as it is.\n", old);
        return;
    }
    if (id != old && node_taken(id, d)) {
        job_error("ERROR: node id 0x%x is taken by another device; node 0x%x keeps 0x%x.\n", id, old,
                  pending ? nodeid_change.written : old);
        kr_uidigitedit_set_value(&content.nodeid_edit, pending ? nodeid_change.written : old);
        content.nodeid_shown = content.nodeid_edit.value;
        return;
    }
    say_flushed("Writing node id 0x%x to node 0x%x (0x100B)...\n", id, old);
    if (_kr_canopen_sdo_client_write(old, CANOPEN_NODE_ID_INDEX, 0, 1, &id) != ERR_NONE) {
        char cause[320];
        job_cause("%s\n", sdo_failure_text(cause, sizeof cause));
        job_error("ERROR: node 0x%x did not take the node id 0x%x.\n", old, id);
        kr_uidigitedit_set_value(&content.nodeid_edit, pending ? nodeid_change.written : old);
        content.nodeid_shown = content.nodeid_edit.value;
        return;
    }
    nodeid_change = {d, id, pending ? nodeid_change.stored : (uint8_t)0};
    if (id == old) {
        say_flushed("Node 0x%x has its own node id written back.\n", old);
        return;
    }
    job_warning("Node ID of the device changed from 0x%x to 0x%x.\nNOTE: the device answers at 0x%x until the "
                "change has been saved (\"Save settings\") and the device rebooted (\"Reset device\"); this tab "
                "then follows it to 0x%x.\n",
                old, id, old, id);
}

// After a reset the device boots at the id it had stored: the tab follows it there once it answers.
void nodeid_after_reset(device_st *d)
{
    if (nodeid_change.device != d) return;
    const nodeid_change_st c = nodeid_change;
    nodeid_change.device = nullptr;
    if (c.stored && c.stored != d->nodeid) {
        say_flushed("Node 0x%x is to boot at its new node id 0x%x; this tab follows it once it answers there.\n",
                    d->nodeid, c.stored);
        find_expect_nodeid_change(d, c.stored);
    }
    if (c.written != c.stored)
        job_warning("The node id 0x%x was not saved on node 0x%x (\"Save settings\"), so the reset dropped it.\n",
                    c.written, d->nodeid);
}

bool path_has_extension(const char *path) { return std::strchr(base_name(path), '.') != nullptr; }

// True when the flash started with a chosen package, which the page then shows.
bool flash_procedure(device_st *d)
{
    char chosen[DEV_PATH_LEN] = "";
    const bool own = d->filepath[0] != 0;
    if (!own && !kr_uifiledialog_exec("Select firmware package (.krdev) to flash", DEVICE_FILE_FILTERS,
                                      DEVICE_FILTER_COUNT, false, chosen, sizeof chosen))
        return false;
    device_st *target = d;
    bool wait = false;
    if (d->state == DEV_STATE_OFFLINE) {
        bool any = false;
        for (uint8_t i = 0; shown_system && i < shown_system->dev_count; i++)
            if (!devicetab_flashtarget_reason(&shown_system->devs[i])) any = true;
        if (any) {
            char extra[96];
            std::snprintf(extra, sizeof extra, "Wait for this device to power on (node 0x%x)", d->nodeid);
            device_st *picked = nullptr;
            if (!devsel_win_exec_single(shown_system, "Select the device to flash",
                                        "This device is offline. Pick the device on the bus to download the firmware "
                                        "to.",
                                        "Flash", devicetab_flashtarget_reason, extra, &picked, style()))
                return false;
            if (picked)
                target = picked;
            else
                wait = true;
        } else {
            wait = true;
        }
    }
    const uint8_t pkg_default = own ? d->default_nodeid : system_read_file_nodeid(chosen);
    // A default of 0 is every node: never followed. Nor is a node another device lives at.
    const bool free_default = system_nodeid_valid(pkg_default) && !node_taken(pkg_default, target);
    uint8_t noted = 0;
    if (d->state == DEV_STATE_BOOTUP && system_nodeid_valid(pkg_default) && pkg_default != d->nodeid)
        noted = pkg_default;
    char t1[160] = "", t2[256] = "", t3[256] = "";
    if (wait)
        kr_copy_text(t1, sizeof t1,
                     " The device is offline: flashing will begin once it is powered on. Click "
                     "the button again to cancel.");
    if (target != d)
        std::snprintf(
            t2, sizeof t2,
            "\n\nThis device is offline, so the firmware is downloaded to %s at node 0x%x. That device's node "
            "id is not changed by the flash.",
            shown_name(target), target->nodeid);
    if (noted && free_default)
        std::snprintf(t3, sizeof t3,
                      "\n\nThe device is in its bootloader: after flashing it boots the new firmware at the package's "
                      "default node id 0x%x. This device tab switches to node 0x%x once the flash has succeeded and "
                      "the device answers there.",
                      noted, noted);
    else if (noted)
        std::snprintf(t3, sizeof t3,
                      "\n\nThe device is in its bootloader: after flashing it boots the new firmware at the package's "
                      "default node id 0x%x, where another device already lives. This device tab stays at node 0x%x.",
                      noted, d->nodeid);
    char q[2048];
    if (own)
        std::snprintf(q, sizeof q,
                      "Flash the firmware to the device at node 0x%x? The device will be reset and must not be powered "
                      "off during flashing.%s%s%s",
                      target->nodeid, t1, t2, t3);
    else
        std::snprintf(
            q, sizeof q,
            "Flash firmware package '%s' to the device at node 0x%x?\n\nkrcan cannot verify that this package "
            "is suitable for this device \u2014 you are responsible for choosing the correct firmware. The "
            "device will be reset and must not be powered off during flashing.%s%s%s",
            base_name(chosen), target->nodeid, t1, t2, t3);
    if (!ask(q, "Yes", "No")) return false;
    const uint8_t node = target->nodeid;
    // What the flash changes is noted before the tab turns busy, which shows its cancel button.
    start_job(OP_FLASH, target, "Flashing firmware to %s...", "The firmware flash", [&] {
        if (!(own ? load_flash_device_to_node(d, node, wait) : load_flash_krdev_to_node(chosen, node, wait)))
            return false;
        flash_device = target;
        flash_origin = d;
        // The tab follows the device only once the flash has succeeded (when the job ends).
        flash_default_nodeid = free_default ? pkg_default : 0;
        // New firmware on the target (another device when this one is offline): its identity is read again.
        for (device_st *x : {d, target}) {
            x->dev_revision = 0;
            x->sw_version = 0;
            x->sw_version_tried = false;
            x->dev_identity_read = false;
        }
        if (!own) {
            const uint8_t keep = d->nodeid;
            system_set_device_file(d, chosen);
            d->nodeid = keep;
        }
        return true;
    });
    return !own && busy;
}

} // namespace

bool device_step(device_st *d)
{
    content_st &c = content;
    const bool right = !d->thirdparty && on_page(&c.subtabs.super, &c.right.super.super);
    if (right && clicked(&c.server_btn)) {
        if (credentials_get_username()[0] && credentials_get_password()[0] && credentials_get_url()[0]) {
            if (serverfiles_win_exec(style())) {
                download_device = d;
                krui_set_log_title("Downloading package from the file server...");
                start_busy(OP_DOWNLOAD);
            }
        } else {
            tell("Set the server URL, username and password in the Account panel on the Settings tab first.");
        }
        return false;
    }
    if (right && clicked(&c.flash_btn)) return flash_procedure(d);
    if (right && d->has_media && clicked(&c.media_btn)) {
        if (ask("Load the media files bundled in the configuration package onto this device?\n\nThe device is reset "
                "once the loading finishes, so that it starts using the new media.",
                "Yes", "No")) {
            start_job(OP_MEDIA, d, "Loading media files to %s...", "The media download", [d] {
                loadmedia_load_device_async(d->filepath, d->nodeid);
                return !loadmedia_load_device_is_finished();
            });
        }
        return false;
    }
    if (right && d->has_esp32 && clicked(&c.esp32_btn)) {
        if (ask("Flash the ESP32 firmware bundled in the configuration package to this device's ESP32 module?\n\nThe "
                "module's USB port has to be connected to this computer, and esptool installed (pip install esptool).",
                "Yes", "No")) {
            start_job(OP_ESP32, d, "Flashing the ESP32 firmware of %s...", "The ESP32 flash", [d] {
                loadesp32_load_device_async(d->filepath, d->nodeid);
                return !loadesp32_load_device_is_finished();
            });
        }
        return false;
    }
    if (clicked(&c.remove_btn.super.super)) {
        nodeid_change.device = nullptr; // the devices behind it move up
        find_blacklist_node(d->nodeid);
        if (shown_system) system_remove_device(shown_system, d);
        current_device = nullptr;
        view_built = false;
        device_removed = true;
        return true;
    }
    if (d->loaded) {
        if (clicked(&c.revert_btn)) {
            if (!refuse_node0(d, "Revert to defaults"))
                sdo_signature(d, kr_canopen_sdo_restore_params,
                              "Reverting node 0x%x to default settings (CANopen restore 0x1011)...\n",
                              "Node 0x%x restored to defaults. Reset the device to apply.\n",
                              "ERROR: restore-defaults request to node 0x%x failed.\n");
            return false;
        }
        if (clicked(&c.savesettings_btn)) {
            if (!refuse_node0(d, "Save settings") &&
                sdo_signature(d, kr_canopen_sdo_store_params,
                              "Saving settings on node 0x%x (CANopen store 0x1010)...\n",
                              "Settings stored to non-volatile memory on node 0x%x.\n",
                              "ERROR: save-settings request to node 0x%x failed.\n") &&
                nodeid_change.device == d)
                nodeid_change.stored = nodeid_change.written;
            return false;
        }
        if (clicked(&c.reset_btn)) {
            if (!refuse_node0(d, "Reset device")) {
                say_flushed("Resetting node 0x%x (NMT reset node)...\n", d->nodeid);
                if (kr_canopen_nmt_master_send_cmd(d->nodeid, CANOPEN_NMT_CMD_RESET_NODE) == ERR_NONE) {
                    say_flushed("Reset command sent to node 0x%x.\n", d->nodeid);
                    if (nodeid_change.device == d) {
                        nodeid_after_reset(d);
                        return true;
                    }
                } else {
                    job_error("ERROR: reset command to node 0x%x could not be sent.\n", d->nodeid);
                }
            }
            return false;
        }
    }
    if (right && clicked(&c.save_btn)) {
        char path[DEV_PATH_LEN] = "";
        if (kr_uifiledialog_exec("Save parameters as", PARAM_FILE_FILTERS, PARAM_FILTER_COUNT, true, path,
                                 sizeof path)) {
            devicetab_param_file_default_ext(path, sizeof path);
            start_job(OP_SAVE, d, "Saving parameters from %s...", "The parameter save",
                      [d, &path] { return saveparam_save_device_async(d, path); });
        }
        return false;
    }
    if (right && clicked(&c.load_btn)) {
        char path[DEV_PATH_LEN] = "";
        if (kr_uifiledialog_exec("Load parameters from", PARAM_FILE_FILTERS, PARAM_FILTER_COUNT, false, path,
                                 sizeof path)) {
            start_job(OP_LOAD, d, "Loading parameters to %s...", "The parameter load",
                      [d, &path] { return loadparam_load_device_async(d, path); });
        }
        return false;
    }
    if (right && std::strcmp(c.pkg_path, d->filepath) != 0) {
        const uint8_t before = d->nodeid;
        system_set_device_file(d, c.pkg_path);
        // An offline device takes the package's default node id, but not another tab's.
        const device_st *at = find_device_by_nodeid(d->nodeid);
        if (d->nodeid != before && at && at != d) {
            job_warning("The package's default node id 0x%x is that of %s's tab; this device keeps node id 0x%x.\n",
                        d->nodeid, shown_name(at), before);
            d->nodeid = before;
        }
        return true;
    }
    if (d->loaded && c.nodeid_edit.value != c.nodeid_shown) {
        c.nodeid_shown = c.nodeid_edit.value;
        nodeid_edited(d, (uint8_t)c.nodeid_edit.value);
        return true;
    }
    return false;
}

} // namespace dt

using namespace dt;

extern "C" {

const char *devicetab_flashtarget_reason(const device_st *d)
{
    if (d->state == DEV_STATE_OFFLINE) return "Offline";
    if (d->thirdparty) return "Not a Korvane device";
    return nullptr;
}

void devicetab_param_file_default_ext(char *path, size_t size)
{
    if (!path || path_has_extension(path)) return;
    const size_t n = std::strlen(path);
    if (n + 5 < size) std::memcpy(path + n, ".json", 6);
}

void devicetab_show_device(kr_uitabwindow_st *tabwindow, device_st *device)
{
    content_st &c = content;
    if (device != current_device) selected_subtab = SUBTAB_DEVICE;
    current_device = device;
    showing_system = false;
    overview_built = false;
    view_built = false;
    terminaltab_unbuild();
    if (!tabwindow) return;
    kr_uiwindow_st *page = &tabwindow->super;
    if (!device) {
        const kr_bounding_box_st cb = page_area(page);
        std::snprintf(c.title_str, sizeof c.title_str, "Device");
        label(page, &c.title, c.title_str, 10, 10, (int16_t)(cb.w - 20), 30, 0, &font25);
        label(page, &c.empty_text, "This device tab is empty.", 10, 50, (int16_t)(cb.w - 20), (int16_t)(cb.h - 60));
        return;
    }
    const kr_bounding_box_st cb = page_area(page);
    std::memset(&c.subtabs, 0, sizeof c.subtabs);
    kr_uitabwindow_init(&c.subtabs, SUBTAB_COUNT, style(), c.subtabs_buf, subtab_names);
    kr_uiwindow_set_transparent(&c.subtabs.super, true);
    kr_uiwindow_addxy(page, &c.subtabs.super.super, 0, 0, cb.w, cb.h);
    c.subtabs.active_tab = selected_subtab;
    show_active_subtab();
}

bool devicetab_poll_device_removed(void)
{
    const bool r = device_removed;
    device_removed = false;
    return r;
}

} // extern "C"
