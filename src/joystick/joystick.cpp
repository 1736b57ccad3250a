// The joystick driver: received TXPDO values become the axes and buttons of a virtual controller, a task
// passes changed outputs to the back end every 10 ms; also the catalogue of a device's mappable objects
// and the `joystick` command.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "run/commands.h"
#include "database/db.h"
#include "bus/find.h"
#include "joystick/joystick.h"
#include "kr_bytes.h"
#include "kr_canopen.h"
#include "kr_rtos.h"
#include "system/system.h"

namespace {

struct rt_slot_st {
    bool used;
    uint8_t size;
    bool is_signed;
    uint16_t pdo_cobid;
    uint8_t pdo_offset;
    int32_t min;
    int32_t max;
    int32_t threshold;
    bool invert;
    volatile int32_t value;
    volatile uint32_t value_tick; // 0: never
    volatile int32_t out;
    volatile bool out_valid;
    bool sent;
};

rt_slot_st slots[JOYSTICK_SLOT_COUNT];
volatile bool running = false;
volatile bool task_run = false;
volatile bool task_alive = false;
// Each start has its own number; a task that finds another number current (after a stop that stopped
// waiting for it) ends without touching the back end again.
volatile uint32_t current_start = 0;
uint32_t started_generation = 0;
char status[256] = "Joystick driver is not configured";
char cmd_file[1024];

bool fresh(const rt_slot_st &s, uint32_t now)
{
    return s.used && s.value_tick != 0 && now - s.value_tick < JOYSTICK_VALUE_TIMEOUT_MS;
}

int32_t slot_output(uint32_t index, const rt_slot_st &s, uint32_t now, bool *is_fresh)
{
    *is_fresh = fresh(s, now);
    if (!*is_fresh) return 0;
    if (index < JOYSTICK_AXIS_COUNT) return joystick_axis_output(s.value, s.min, s.max, s.invert);
    return joystick_button_output(s.value, s.threshold, s.invert);
}

bool owns(uint32_t id) { return task_run && current_start == id; }

// Frames reach the driver only while the heartbeat monitor hears them: while a listen, terminal or
// flash job has them, the values go stale and the outputs return to 0.
void can_listener(void *, const kr_can_message_st *msg)
{
    if (find_monitor_hears()) joystick_can_rx(msg);
}

void joystick_task(void *param)
{
    const uint32_t id = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(param));
    uint32_t wake = kr_rtos_get_tick_count();
    while (owns(id)) {
        uint32_t now = kr_rtos_get_tick_count();
        bool any = false;
        for (uint32_t i = 0; i < JOYSTICK_SLOT_COUNT && owns(id); i++) {
            rt_slot_st &s = slots[i];
            bool is_fresh;
            int32_t out = slot_output(i, s, now, &is_fresh);
            s.out_valid = is_fresh;
            if (!s.used || (s.sent && out == s.out)) continue;
            s.out = out;
            s.sent = true;
            any = true;
            if (i < JOYSTICK_AXIS_COUNT)
                jsdriver_set_axis(static_cast<uint8_t>(i), out);
            else
                jsdriver_set_button(static_cast<uint8_t>(i - JOYSTICK_AXIS_COUNT), out != 0);
        }
        if (any && owns(id)) jsdriver_sync();
        kr_rtos_task_delay_until(&wake, JOYSTICK_STEP_MS);
    }
    if (current_start == id) task_alive = false;
    kr_rtos_task_delete(nullptr);
}

void start(const joystick_conf_st *conf)
{
    std::memset(slots, 0, sizeof slots);
    unsigned axes = 0, buttons = 0;
    for (uint32_t i = 0; i < JOYSTICK_SLOT_COUNT; i++) {
        const joystick_slot_st &c = conf->slots[i];
        if (!c.nodeid) continue;
        rt_slot_st &s = slots[i];
        s.used = true;
        s.size = c.size;
        s.is_signed = c.is_signed;
        s.pdo_cobid = c.cobid;
        s.pdo_offset = c.offset;
        s.min = c.min;
        s.max = c.max;
        s.threshold = c.threshold;
        s.invert = c.invert;
        if (i < JOYSTICK_AXIS_COUNT)
            axes++;
        else
            buttons++;
    }
    char err[160] = "";
    if (!jsdriver_open(conf->name, err, sizeof err)) {
        std::snprintf(status, sizeof status, "Joystick driver could not start: %s", err);
        std::printf("%s\n", status);
        std::fflush(stdout);
        return;
    }
    if (kr_canopen_add_can_listener(can_listener) != ERR_NONE) {
        jsdriver_close();
        std::snprintf(status, sizeof status, "Joystick driver could not start: %s",
                      "the CANopen stack has no room for its CAN listener");
        std::printf("%s\n", status);
        std::fflush(stdout);
        return;
    }
    std::snprintf(status, sizeof status, "Joystick driver running (%s): %u axes, %u buttons", jsdriver_name(), axes,
                  buttons);
    std::printf("%s.\n", status);
    uint32_t id = current_start + 1;
    current_start = id;
    running = true;
    task_run = true;
    task_alive = true;
    if (kr_rtos_task_create(joystick_task, "joystick", 40960, reinterpret_cast<void *>(static_cast<uintptr_t>(id)), 2,
                            nullptr) != KR_RTOS_PASS) {
        task_run = false;
        task_alive = false;
        running = false;
        kr_canopen_remove_can_listener(can_listener);
        jsdriver_close();
        std::snprintf(status, sizeof status, "Joystick driver could not start: %s", "its task could not be created");
        std::printf("%s\n", status);
    }
    std::fflush(stdout);
}

} // namespace

int32_t joystick_axis_output(int32_t value, int32_t min, int32_t max, bool invert)
{
    int64_t span = static_cast<int64_t>(max) - min;
    if (span == 0) return 0;
    int64_t d = static_cast<int64_t>(value) - min;
    int64_t out = d * 65534 / span - JOYSTICK_AXIS_MAX;
    if (out > JOYSTICK_AXIS_MAX) out = JOYSTICK_AXIS_MAX;
    if (out < -JOYSTICK_AXIS_MAX) out = -JOYSTICK_AXIS_MAX;
    return static_cast<int32_t>(invert ? -out : out);
}

int32_t joystick_button_output(int32_t value, int32_t threshold, bool invert)
{
    bool pressed = value >= threshold;
    return (pressed != invert) ? 1 : 0;
}

void joystick_stop(void)
{
    if (task_alive) {
        task_run = false;
        for (uint32_t waited = 0; task_alive && waited < JOYSTICK_STOP_TIMEOUT_MS; waited += 10) kr_rtos_task_delay(10);
        // A task still inside a back-end call no longer belongs to any start from here on.
        current_start = current_start + 1;
        task_alive = false;
    }
    task_run = false;
    if (running) {
        running = false;
        kr_canopen_remove_can_listener(can_listener);
        jsdriver_close();
        std::snprintf(status, sizeof status, "Joystick driver stopped");
        std::printf("%s.\n", status);
        std::fflush(stdout);
    }
}

void joystick_step(void)
{
    uint32_t gen = joystick_get_generation();
    if (gen == started_generation) return;
    started_generation = gen;
    joystick_stop();
    if (joystick_has_conf())
        start(joystick_get_conf());
    else
        std::snprintf(status, sizeof status, "Joystick driver is not configured");
}

bool joystick_is_running(void) { return running; }

const char *joystick_get_status(void) { return status; }

bool joystick_get_live(uint8_t slot, int32_t *raw, int32_t *output)
{
    if (!running || slot >= JOYSTICK_SLOT_COUNT || !slots[slot].used || !slots[slot].out_valid) return false;
    if (raw) *raw = slots[slot].value;
    if (output) *output = slots[slot].out;
    return true;
}

void joystick_can_rx(const kr_can_msg_st *msg)
{
    if (!running || !msg || msg->type != CAN_STD) return;
    uint32_t tick = kr_rtos_get_tick_count();
    if (tick == 0) tick = 1;
    for (rt_slot_st &s : slots) {
        if (!s.used || s.pdo_cobid != msg->id || s.pdo_offset + s.size > msg->data_length) continue;
        uint32_t raw = kr_get_le(msg->data + s.pdo_offset, s.size);
        int32_t v;
        if (s.is_signed && s.size == 1)
            v = static_cast<int8_t>(raw);
        else if (s.is_signed && s.size == 2)
            v = static_cast<int16_t>(raw);
        else
            v = static_cast<int32_t>(raw);
        s.value = v;
        s.value_tick = tick;
    }
}

// ---- Catalogue ----

uint16_t joystick_cobid_from_text(const char *text, uint8_t nodeid)
{
    if (!text || std::strstr(text, "DISABLED")) return 0;
    bool add_node = std::strstr(text, "NODEID") != nullptr;
    const char *t = std::strstr(text, "TXPDO");
    if (t) {
        char d = t[5];
        if (d >= '1' && d <= '4') return static_cast<uint16_t>(0x80 + 0x100 * (d - '0') + (add_node ? nodeid : 0));
    }
    char *end = nullptr;
    long v = std::strtol(text, &end, 0);
    if (end == text || v < 1 || v > 2047) return 0;
    return static_cast<uint16_t>(v + (add_node ? nodeid : 0));
}

namespace {

struct obj_list {
    joystick_obj_st *items = nullptr;
    uint32_t count = 0;
    uint32_t capacity = 0;
    bool full = false;
    bool push(const joystick_obj_st &o)
    {
        if (full) return false;
        if (count == capacity) {
            uint32_t next = capacity ? capacity * 2 : 256;
            if (next > 65535) {
                full = true;
                return false;
            }
            void *p = std::realloc(items, next * sizeof *items);
            if (!p) {
                full = true;
                return false;
            }
            items = static_cast<joystick_obj_st *>(p);
            capacity = next;
        }
        items[count++] = o;
        return true;
    }
};

void default_limits(uint8_t size, bool is_signed, int32_t *min, int32_t *max)
{
    if (size == 1) {
        *min = is_signed ? -128 : 0;
        *max = is_signed ? 127 : 255;
    } else if (size == 2) {
        *min = is_signed ? -32768 : 0;
        *max = is_signed ? 32767 : 65535;
    } else {
        *min = is_signed ? INT32_MIN : 0;
        *max = INT32_MAX;
    }
}

// The database keeps an integer as its decimal text beside the value; any other text is not one.
int32_t db_int(const dbvalue_st &v, int32_t fallback)
{
    if (!dbvalue_is_set(&v) || !v.value_str) return fallback;
    char text[16];
    std::snprintf(text, sizeof text, "%" PRIi32, v.value_int);
    return std::strcmp(text, v.value_str) == 0 ? v.value_int : fallback;
}

} // namespace

joystick_obj_st *joystick_catalog_from_db(const db_st *db, uint8_t nodeid, uint16_t *count)
{
    if (count) *count = 0;
    if (!db) return nullptr;
    obj_list cand, result;
    const db_obj_st *objs = db->objects_buffer;
    for (uint32_t i = 0; i < db->objects.len && !cand.full; i++) {
        const db_obj_st &o = objs[i];
        uint8_t size = canopen_type_width(o.obj.type);
        if (o.obj.type == CANOPEN_STRING || (size != 1 && size != 2 && size != 4)) continue;
        joystick_obj_st c{};
        c.size = size;
        c.is_signed = std::strstr(o.type_str, "SIGNED") && !std::strstr(o.type_str, "UNSIGNED");
        c.mindex = o.obj.main_index;
        int32_t dmin, dmax;
        default_limits(size, c.is_signed, &dmin, &dmax);
        const char *name = o.name.type == DBVALUE_STRING && o.name.value_str ? o.name.value_str : "";
        if (canopen_type_is_array(o.obj.type)) {
            uint32_t sub = 1;
            for (const db_array_child_st *ch = o.child_ptr; ch && sub <= 255; ch = ch->next_sibling, sub++) {
                joystick_obj_st m = c;
                const char *mname = ch->name.type == DBVALUE_STRING && ch->name.value_str ? ch->name.value_str : "";
                std::snprintf(m.name, sizeof m.name, "%s: %s", name, mname);
                m.sindex = static_cast<uint8_t>(sub);
                m.min = db_int(ch->min, dmin);
                m.max = db_int(ch->max, dmax);
                if (!cand.push(m)) break;
            }
        } else {
            kr_copy_text(c.name, sizeof c.name, name);
            c.sindex = o.obj.sub_index;
            c.min = db_int(o.min, dmin);
            c.max = db_int(o.max, dmax);
            cand.push(c);
        }
    }
    for (uint32_t p = 0; p < db->txpdos.len && !result.full; p++) {
        const db_txpdo_st &pdo = db->txpdo_buffer[p];
        uint16_t cobid = joystick_cobid_from_text(pdo.cobid, nodeid);
        if (cobid == 0) continue;
        uint32_t offset = 0;
        for (const canopen_pdo_mapping_st &m : pdo.mappings.mappings) {
            if (m.length == 0 || offset + m.length > 8) break;
            for (uint32_t c = 0; c < cand.count; c++) {
                const joystick_obj_st &o = cand.items[c];
                if (o.mindex != m.main_index || o.sindex != m.sub_index || o.size != m.length) continue;
                joystick_obj_st r = o;
                r.pdo_cobid = cobid;
                r.pdo_offset = static_cast<uint8_t>(offset);
                result.push(r);
                break;
            }
            offset += m.length;
        }
    }
    std::free(cand.items);
    if (result.count == 0) {
        std::free(result.items);
        return nullptr;
    }
    if (count) *count = static_cast<uint16_t>(result.count);
    return result.items;
}

joystick_obj_st *joystick_catalog_build(device_st *device, uint16_t *count)
{
    if (count) *count = 0;
    if (!device || !system_load_device_database(device)) return nullptr;
    joystick_obj_st *r = joystick_catalog_from_db(&dev.db, device->nodeid, count);
    db_deinit(&dev.db);
    return r;
}

void joystick_slot_set_obj(joystick_slot_st *slot, uint8_t, const device_st *device, const joystick_obj_st *obj)
{
    if (!slot) return;
    std::memset(slot, 0, sizeof *slot);
    if (!device || !obj) return;
    slot->nodeid = device->nodeid;
    const char *label = device->devname[0] ? device->devname : device->name;
    size_t n = std::min(std::strlen(label), sizeof slot->device - 1);
    std::memcpy(slot->device, label, n);
    kr_copy_text(slot->object, sizeof slot->object, obj->name);
    slot->mindex = obj->mindex;
    slot->sindex = obj->sindex;
    slot->size = obj->size;
    slot->is_signed = obj->is_signed;
    slot->min = obj->min;
    slot->max = obj->max;
    slot->cobid = obj->pdo_cobid;
    slot->offset = obj->pdo_offset;
    slot->threshold = (obj->min < 1 && obj->max > 0) ? 1 : obj->max;
    slot->invert = false;
}

// ---- The `joystick` command ----

namespace {

void joystick_job(void *)
{
    if (cmd_file[0]) {
        static joystick_conf_st conf;
        // A file that cannot be read says why itself (a system file's is only skipped, so not as an error).
        if (joystick_conf_read(&conf, cmd_file))
            joystick_set_conf(&conf);
        else
            job_failed();
    }
    if (!joystick_has_conf()) {
        job_error_plain("No joystick configuration: give a system file with one (--sys) or a joystick configuration "
                        "file.\n");
        return;
    }
    // An earlier listen, terminal or flash job may have the frames; without the monitor's the driver
    // would hear nothing.
    find_start_monitor();
    find_reinstall_monitor();
    joystick_step();
    if (!joystick_is_running()) {
        // The driver said why it could not start; in the window that is no failed job.
        job_failed();
        return;
    }
    std::printf("Press Ctrl-C to stop.\n");
    std::fflush(stdout);
    for (;;) kr_rtos_task_delay(100);
}

} // namespace

bool cmd_joystick(const char *arg)
{
    if (arg && std::strlen(arg) >= sizeof cmd_file) {
        job_error("ERROR: the joystick configuration file name is longer than %u characters.\n",
                  static_cast<unsigned>(sizeof cmd_file - 1));
        return false;
    }
    kr_copy_text(cmd_file, sizeof cmd_file, arg);
    return add_task(joystick_job);
}
