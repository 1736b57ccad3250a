// The device tab's jobs: starting one, the busy tab while it runs (its frames disabled, the flash's
// cancel button), and what its end leaves behind. The device page and the Overview start them.
#include "ui/devicetab.h"

#include <cstdio>
#include <initializer_list>

#include "bus/find.h"
#include "firmware/esp32.h"
#include "firmware/firmware_loader.h"
#include "firmware/media.h"
#include "kr_canopen.h"
#include "kr_rtos.h"
#include "online/remotefiles.h"
#include "params/loadparam.h"
#include "run/console.h"
#include "system/package.h"
#include "system/simrun.h"
#include "system/system.h"
#include "ui/krui.h"
#include "devicetab_internal.h"

namespace dt {

bool busy = false;
busy_op_e busy_op = OP_NONE;
device_st *download_device = nullptr;
device_st *flash_device = nullptr;
device_st *flash_origin = nullptr;
uint8_t flash_default_nodeid = 0;

namespace {

enum flash_btn_e { FLASH_BTN_WAITING, FLASH_BTN_FLASHING, FLASH_BTN_RESETTING };
flash_btn_e flash_btn_shown = FLASH_BTN_FLASHING;

// After the reset that starts the new image the device is asked nothing until it has booted: a request
// while it resets goes unanswered and holds the window for the SDO time-out. Bounded, for a device that
// does not come back (or boots at another node id than watched).
constexpr uint32_t BOOT_WAIT_MS = RESPONSE_DELAY_MS + FIND_ONLINE_TICKS;
bool boot_watched = false;
bool loader_watched_boot = false; // the loader borrowed the frames meanwhile: it saw the boot-up itself
uint32_t boot_wait_since = 0;     // 0: the loader has not ended yet
uint32_t boot_watch_tick = 0;
// A heartbeat in flight when the reset went out arrives within milliseconds; one heard this long after
// the watch began comes from a device that runs again (its boot-up went to another listener).
constexpr uint32_t LATE_BEAT_MS = 500;

bool flash_resetting() { return load_is_resetting() || (dev.load.finished && dev.load.success); }

flash_btn_e flash_btn_wanted()
{
    if (busy_op == OP_FLASH && flash_resetting()) return FLASH_BTN_RESETTING;
    return dev.load.waiting ? FLASH_BTN_WAITING : FLASH_BTN_FLASHING;
}

void boot_watch_begin()
{
    if (boot_watched) return;
    boot_watched = true;
    loader_watched_boot = false;
    boot_wait_since = 0;
    boot_watch_tick = kr_rtos_get_tick_count();
    find_watch_bootup(dev.load.nodeid);
    if (flash_default_nodeid) find_watch_bootup(flash_default_nodeid);
}

void boot_watch_end()
{
    if (!boot_watched) return;
    boot_watched = false;
    find_unwatch_bootup(dev.load.nodeid);
    if (flash_default_nodeid) find_unwatch_bootup(flash_default_nodeid);
}

bool back_at(uint8_t node)
{
    if (!node) return false;
    if (find_bootup_seen(node)) return true;
    const dev_state_e s = find_node_get_state(node);
    const uint32_t heard = find_node_last_heard(node);
    return (s == DEV_STATE_PREOP || s == DEV_STATE_OP) && (int32_t)(heard - boot_watch_tick) >= (int32_t)LATE_BEAT_MS;
}

// True once the flashed device is back after its final reset, or the wait gave up on it.
bool booted_after_flash()
{
    boot_watch_begin();
    const uint32_t now = kr_rtos_get_tick_count();
    if (boot_wait_since == 0) boot_wait_since = now ? now : 1;
    if (loader_watched_boot || back_at(dev.load.nodeid) || back_at(flash_default_nodeid)) return true;
    if (now - boot_wait_since < BOOT_WAIT_MS) return false;
    job_warning("Node 0x%x was not heard booting within %u s of its reset; it is asked nothing until it answers "
                "again.\n",
                (unsigned)dev.load.nodeid, (unsigned)(BOOT_WAIT_MS / 1000u));
    return true;
}

// A device that falls silent while its image goes down (switched off, its cable pulled) ends the flash once
// the monitor has missed its heartbeats as long as it takes to call a node offline, rather than after the
// SDO client's time-outs and retry. Only a node heard beating during the flash is judged, and only while
// the monitor has the frames and no boot-up is awaited. A reset into the maker's bootloader starts anew:
// a bootloader may send no heartbeat where its application did.
struct silence_st {
    uint32_t hearing_since; // 0: the monitor has not had the frames
    uint32_t last_heard;
    bool beating;
    bool told;
    bool makers; // the maker's bootloader took over
} silence;

void watch_silence()
{
    if (dev.load.finished || flash_resetting()) return;
    const uint32_t now = kr_rtos_get_tick_count();
    if (dev.load.kr && !silence.makers) silence = silence_st{0, 0, false, silence.told, true};
    if (dev.load.waiting || !find_monitor_hears()) {
        // What the device does after a wait (a power-on, a reset) is judged anew.
        silence = silence_st{0, 0, false, silence.told, silence.makers};
        return;
    }
    if (silence.hearing_since == 0) silence.hearing_since = now ? now : 1;
    const uint32_t heard = find_node_last_heard(dev.load.nodeid);
    if (heard != silence.last_heard) {
        if (silence.last_heard && heard - silence.last_heard < FIND_ONLINE_TICKS) silence.beating = true;
        silence.last_heard = heard;
    }
    if (!silence.beating) return;
    const uint32_t from = heard && (int32_t)(heard - silence.hearing_since) > 0 ? heard : silence.hearing_since;
    if (now - from < FIND_ONLINE_TICKS) return;
    if (!silence.told) {
        silence.told = true;
        job_error("ERROR: node 0x%x fell silent during the flash (no heartbeat for %u s); the download is stopped.\n",
                  (unsigned)dev.load.nodeid, (unsigned)(FIND_ONLINE_TICKS / 1000u));
    }
    kr_canopen_sdo_client_cancel(CANOPEN_SDO_ERROR_SDO_PROTOCOL_TIMED_OUT); // again until the loader is out of it
}

// A job's end leaves the devices it touched as the monitor hears them now: their states were not
// refreshed while it ran, and the page reads from a device it believes online.
void refresh_state(device_st *d)
{
    if (!d || !shown_system || d < shown_system->devs || d >= shown_system->devs + shown_system->dev_count) return;
    const dev_state_e live = find_node_get_state(d->nodeid);
    if (live == d->state) return;
    d->state = live;
    d->sw_version_tried = false;
}

bool busy_finished()
{
    switch (busy_op) {
    case OP_NONE: return true;
    case OP_FLASH: return dev.load.finished;
    case OP_MEDIA: return loadmedia_load_device_is_finished();
    case OP_ESP32: return loadesp32_load_device_is_finished();
    case OP_SAVE: return dev.saveparam.finished;
    case OP_LOAD: return dev.loadparam.finished;
    case OP_SAVESYS: return savesys_is_finished();
    case OP_SYSPARAM: return loadparam_load_params_is_finished();
    case OP_SYSLOAD: return loadparam_load_system_is_finished();
    case OP_SIMPARAM: return simrun_load_params_is_finished();
    case OP_DOWNLOAD: return remotefiles_download_is_finished();
    }
    return true;
}

// Only the flash's own tabs show its cancel button; another device's tab stays disabled.
bool shows_flash() { return current_device && (current_device == flash_device || current_device == flash_origin); }

// A job that did not start leaves the tab idle; the run still counts as failed.
void start_failed(const char *what) { job_error("ERROR: %s could not be started; the tab is idle again.\n", what); }

// Every job names itself in the log title, so that a close request can say what it waits for.
void job_title(const char *format, const device_st *d) __attribute__((format(printf, 1, 0)));
void job_title(const char *format, const device_st *d)
{
    char title[320]; // room for the longest format and name; the log title keeps what fits
    std::snprintf(title, sizeof title, format, d ? (d->devname[0] ? d->devname : d->name) : "");
    krui_set_log_title(title);
}

void finish_busy()
{
    krui_reset_log_title();
    if (busy_op == OP_FLASH) {
        boot_watch_end();
        find_reinstall_monitor();
        refresh_state(flash_device);
        refresh_state(flash_origin);
        if (!dev.load.success && dev.load.cancel)
            job_error("ERROR: the flash of node 0x%x was cancelled before it completed; the device was not reset "
                      "into a new image.\n",
                      (unsigned)dev.load.nodeid);
        else if (!dev.load.success)
            job_error("ERROR: flashing the firmware to node 0x%x failed.\n", (unsigned)dev.load.nodeid);
        bool still_there = false;
        if (shown_system)
            for (uint8_t i = 0; i < shown_system->dev_count; i++)
                if (&shown_system->devs[i] == flash_device) still_there = true;
        if (dev.load.success && still_there && flash_default_nodeid != 0)
            find_expect_boot_nodeid(flash_device, flash_default_nodeid);
        flash_device = flash_origin = nullptr;
    }
    if (busy_op == OP_DOWNLOAD) {
        char path[1024] = "", err[256] = "";
        if (!remotefiles_download_result(path, sizeof path, err, sizeof err)) {
            job_failed(); // told in the dialog
            tell(err[0] ? err : "The download failed.");
        } else if (path_ends_with(path, ".krdev") && shown_system) {
            for (uint8_t i = 0; i < shown_system->dev_count; i++)
                if (&shown_system->devs[i] == download_device) system_set_device_file(download_device, path);
        }
        download_device = nullptr;
    }
    busy = false;
    busy_op = OP_NONE;
}

} // namespace

void set_frames_enabled(bool enabled)
{
    if (view_built) {
        kr_uiwindow_set_enabled(&content.left.super, enabled);
        if (on_page(&content.subtabs.super, &content.right.super.super))
            kr_uiwindow_set_enabled(&content.right.super, enabled);
        kr_ui_set_enabled(&content.remove_btn.super.super.super, enabled);
    }
    // The Overview's own conditions come back with its next build.
    if (overview_built && !enabled && (busy_op == OP_SAVESYS || busy_op == OP_SYSLOAD || busy_op == OP_SIMPARAM))
        for (kr_uibutton_st *b :
             {&content.open_sys_btn, &content.joystick_btn, &content.savesys_btn, &content.loadsys_btn})
            kr_ui_set_enabled(&b->super, false);
}

void flash_btn_set_cancel_mode()
{
    if (!view_built || !shows_flash()) return;
    static const char *const texts[] = {"Cancel (waiting for device)", "Cancel flashing",
                                        "Resetting the device: too late to cancel"};
    const flash_btn_e b = flash_btn_wanted();
    kr_uibutton_set_text(&content.flash_btn, texts[b]);
    kr_uiwindow_set_enabled(&content.right.super, false);
    kr_ui_set_enabled(&content.right.super.super, true);
    kr_ui_set_enabled(&content.flash_btn.super, b != FLASH_BTN_RESETTING);
}

void start_busy(busy_op_e op)
{
    busy = true;
    busy_op = op;
    set_frames_enabled(false);
    if (op == OP_FLASH) {
        boot_watched = false;
        silence = silence_st{};
        flash_btn_shown = flash_btn_wanted();
        flash_btn_set_cancel_mode();
    }
}

void start_job(busy_op_e op, const device_st *d, const char *title_format, const char *what,
               const std::function<bool()> &start)
{
    job_title(title_format, d);
    if (start()) {
        start_busy(op);
    } else {
        krui_reset_log_title();
        start_failed(what);
    }
}

bool jobs_step()
{
    if (busy_op == OP_FLASH) {
        if (flash_btn_wanted() != flash_btn_shown) {
            flash_btn_shown = flash_btn_wanted();
            flash_btn_set_cancel_mode();
        }
        if (view_built && shows_flash() && !dev.load.cancel && clicked(&content.flash_btn)) {
            say_flushed("Cancelling flashing of node 0x%x...\n", dev.load.nodeid);
            load_cancel();
        }
        watch_silence();
        if (load_is_resetting()) {
            boot_watch_begin();
            if (!find_monitor_hears()) loader_watched_boot = true;
        }
    }
    if (!busy_finished()) return false;
    if (busy_op == OP_FLASH && dev.load.success && !booted_after_flash()) return false;
    finish_busy();
    return true;
}

} // namespace dt

using namespace dt;

extern "C" {

bool devicetab_is_busy(void) { return busy; }

bool devicetab_cancel_for_close(void)
{
    bool cancelled = false;
    if (busy && busy_op == OP_FLASH && dev.load.waiting) {
        say_flushed("Cancelling the flash that waits for node 0x%x to power on.\n", dev.load.nodeid);
        load_cancel();
        cancelled = true;
    }
    // Loads onto several devices stop; a single device's load runs to its end rather than be left half written.
    if (busy && (busy_op == OP_SYSPARAM || busy_op == OP_SYSLOAD) && !loadparam_is_cancelled()) {
        say_flushed("Stopping the parameter load...\n");
        loadparam_set_cancelled(true);
        if (kr_stdin_is_waiting()) kr_stdin_feed("\n");
        cancelled = true;
    }
    return cancelled;
}

} // extern "C"
