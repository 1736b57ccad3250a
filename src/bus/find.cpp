// The heartbeat monitor on its CAN listener, the device search and the window's discovery.
// The listener runs in the library task and the readers in job tasks; the kernel runs one task at a
// time and every record is one byte or one aligned word, so no lock is needed.
#include "bus/find.h"

#include <cstdio>
#include <cstring>

#include "bus/bus.h"
#include "run/commands.h"
#include "kr_bytes.h"
#include "kr_canopen.h"
#include "kr_rtos.h"
#include "system/system.h"
#include "run/main.h"

namespace {

uint8_t last_nmt_state[FIND_NODE_COUNT];
uint32_t last_seen_tick[FIND_NODE_COUNT];
uint8_t operational_nodes[FIND_NODE_COUNT / 8];
uint8_t blacklist_bits[FIND_NODE_COUNT / 8];
uint8_t live_added[FIND_NODE_COUNT];

device_st *boot_expect_device = nullptr;
uint8_t boot_expect_nodeid = 0;
uint8_t boot_expect_old_nodeid = 0; // the device's id when armed: a removal shifts the slots
uint32_t boot_expect_tick = 0;
bool boot_expect_renumbered = false; // a node id written to the device, not a flash's default

bool monitor_installed = false;
find_extra_can_callb_t extra_can_callb = nullptr;
volatile bool search_finished = true;
volatile uint16_t search_remaining_ms = 0;

constexpr uint8_t NMT_OPERATIONAL = 5;
constexpr uint8_t NMT_STOPPED = 4;
constexpr uint8_t NMT_PREOP = 127;
// The SDO client's longest back-off before its one retry of a timed-out read.
constexpr uint32_t FIND_RETRY_ROOM_MS = 200;

bool bit_get(const uint8_t *bits, uint8_t node)
{
    return node < FIND_NODE_COUNT && (bits[node >> 3] >> (node & 7)) & 1;
}
void bit_set(uint8_t *bits, uint8_t node)
{
    if (node < FIND_NODE_COUNT) bits[node >> 3] |= (uint8_t)(1u << (node & 7));
}
void bit_clear(uint8_t *bits, uint8_t node)
{
    if (node < FIND_NODE_COUNT) bits[node >> 3] &= (uint8_t) ~(1u << (node & 7));
}

// A heartbeat received at tick 0 is stored as 1: read at tick 0 it is fresh, not 49 days old.
uint32_t tick_age(uint32_t now, uint32_t tick) { return tick == 1 && now == 0 ? 0 : now - tick; }

bool answering(uint8_t nmt) { return nmt == NMT_OPERATIONAL || nmt == NMT_PREOP; }

dev_state_e node_live_state(uint8_t node, uint32_t now)
{
    if (!system_nodeid_valid(node)) return DEV_STATE_OFFLINE;
    uint32_t tick = last_seen_tick[node];
    if (tick == 0 || tick_age(now, tick) > FIND_ONLINE_TICKS - 1) return DEV_STATE_OFFLINE;
    return nmt_to_dev_state(last_nmt_state[node]);
}

void node_forget(uint8_t node)
{
    if (!system_nodeid_valid(node)) return;
    last_seen_tick[node] = 0;
    bit_clear(operational_nodes, node);
    live_added[node] = 0;
}

// Every SDO of this module goes through here: node 0 would address every device on the bus.
bool sdo_read(uint8_t node, uint16_t index, uint8_t sub, uint32_t len, void *data)
{
    if (!system_nodeid_valid(node)) return false;
    return _kr_canopen_sdo_client_read(node, index, sub, len, data) == ERR_NONE;
}

uint32_t read_u32(uint8_t node, uint16_t index, uint8_t sub, bool *ok)
{
    uint8_t b[4] = {};
    bool r = sdo_read(node, index, sub, sizeof b, b);
    if (ok) *ok = r;
    return r ? kr_get_le32(b) : 0;
}

uint32_t read_sw_version(uint8_t node)
{
    return read_u32(node, CANOPEN_IDENTITY_INDEX, CANOPEN_IDENTITY_REVISION_SUBINDEX, nullptr);
}

bool read_devname(device_st *d)
{
    char name[64] = {};
    if (!sdo_read(d->nodeid, CANOPEN_DEVICE_NAME_INDEX, 0, sizeof name - 1, name)) return false;
    name[sizeof name - 1] = '\0';
    if (!name[0]) return false;
    kr_copy_text(d->devname, sizeof d->devname, name);
    return true;
}

// The provisional entry made for a node while it was booting: no package and no identity. Its
// state may have moved on since, as the window refreshes live states every frame.
device_st *booting_entry(uint8_t node)
{
    for (uint32_t i = 0; i < dev.system.dev_count && i < SYSTEM_MAX_DEVICES; i++) {
        device_st *d = &dev.system.devs[i];
        if (d->nodeid == node && !d->filepath[0] && d->vendor_id == 0 && d->product_code == 0) return d;
    }
    return nullptr;
}

// `was_booting`: a provisional entry was added for the node; it becomes the real device, since in a
// full system there is no room for a second one, and vendor 0 would stay beside it.
// unanswered: set when the node did not answer the identity read.
bool find_try_add_node(uint8_t node, bool was_booting, bool *unanswered = nullptr)
{
    bool ok = false;
    uint32_t vendor = read_u32(node, CANOPEN_IDENTITY_INDEX, CANOPEN_IDENTITY_VENDOR_SUBINDEX, &ok);
    if (unanswered) *unanswered = !ok;
    if (!ok) return false;
    uint32_t product = read_u32(node, CANOPEN_IDENTITY_INDEX, CANOPEN_IDENTITY_PRODUCT_SUBINDEX, nullptr);
    device_st *d = was_booting ? booting_entry(node) : nullptr;
    if (d) {
        d->vendor_id = vendor;
        d->product_code = product;
    } else {
        d = system_add_found_device(&dev.system, node, vendor, product);
    }
    if (!d) {
        std::printf("Found device at node 0x%x but the system is full; ignoring it.\n", (unsigned)node);
        std::fflush(stdout);
        return false;
    }
    d->thirdparty = vendor != CANOPEN_KORVANE_VENDOR_ID;
    d->state = nmt_to_dev_state(last_nmt_state[node]);
    d->sw_version = read_sw_version(node);
    std::printf("Found %s device at node 0x%x (vendor 0x%x, product code 0x%x)\n",
                d->thirdparty ? "third-party" : "Korvane", (unsigned)node, (unsigned)vendor, (unsigned)product);
    std::fflush(stdout);
    return true;
}

bool find_add_bootup_node(uint8_t node)
{
    device_st *d = system_add_found_device(&dev.system, node, 0, 0);
    if (!d) {
        std::printf("Found a booting device at node 0x%x but the system is full; ignoring it.\n", (unsigned)node);
        std::fflush(stdout);
        return false;
    }
    d->state = DEV_STATE_BOOTUP;
    std::printf("Found device at node 0x%x in BOOT-UP state (bootloader); its identity is not read while it is "
                "booting.\n",
                (unsigned)node);
    std::fflush(stdout);
    return true;
}

bool is_system_device(const device_st *d) { return d >= dev.system.devs && d < dev.system.devs + dev.system.dev_count; }

bool find_adopt_booted_device(uint32_t now)
{
    if (!boot_expect_device) return false;
    uint8_t node = boot_expect_nodeid;
    dev_state_e live = node_live_state(node, now);
    if (live == DEV_STATE_OFFLINE) {
        if (now - boot_expect_tick > FIND_ONLINE_TICKS) boot_expect_device = nullptr;
        return false;
    }
    device_st *d = boot_expect_device;
    boot_expect_device = nullptr;
    if (now - boot_expect_tick > FIND_ONLINE_TICKS) return false;
    if (!is_system_device(d) || d->nodeid != boot_expect_old_nodeid || find_device_by_nodeid(node)) return false;
    if (boot_expect_renumbered)
        std::printf("Node 0x%x answers at its new node id 0x%x: following it.\n", (unsigned)d->nodeid, (unsigned)node);
    else
        std::printf("Node 0x%x booted right after flashing node 0x%x, at the package's default node id: the "
                    "device's settings were reset. Following it to node 0x%x.\n",
                    (unsigned)node, (unsigned)d->nodeid, (unsigned)node);
    std::fflush(stdout);
    d->nodeid = node;
    d->state = live;
    d->sw_version = 0;
    d->sw_version_tried = false;
    d->devname_tried = false;
    d->dev_revision = 0;
    live_added[node] = 2;
    return true;
}

void search_step(void *)
{
    find_devices();
    search_finished = true;
    kr_rtos_task_delete(nullptr);
}

void find_step(void *) { find_devices(); }

} // namespace

extern "C" {

dev_state_e nmt_to_dev_state(uint8_t nmt_state)
{
    if (nmt_state == NMT_OPERATIONAL) return DEV_STATE_OP;
    if (nmt_state == NMT_PREOP || nmt_state == NMT_STOPPED) return DEV_STATE_PREOP;
    return DEV_STATE_BOOTUP;
}

void find_can_callb(void *app, const kr_can_message_st *msg)
{
    if (!msg) return;
    if (msg->type == CAN_STD && msg->id >= 0x700 && msg->id <= 0x77F && msg->data_length == 1) {
        uint8_t node = (uint8_t)(msg->id & CANOPEN_NODE_ID_MASK);
        if (node != 0) {
            bit_set(operational_nodes, node);
            last_nmt_state[node] = msg->data[0] & 0x7F;
            uint32_t now = kr_rtos_get_tick_count();
            last_seen_tick[node] = now ? now : 1;
        }
    }
    if (extra_can_callb) extra_can_callb(app, msg);
}

void find_start_monitor(void)
{
    if (monitor_installed) return;
    // A port that failed or was lost stays so for the run; the jobs report it.
    const char *err = kr_can_get_state() == CAN_STATE_FAULT ? nullptr : kr_can_set_up(false);
    if (err) {
        job_warning("The heartbeat monitor runs without the CAN interface: %s\n", bus_port_reason());
    }
    find_reinstall_monitor();
}

void find_reinstall_monitor(void)
{
    if (bus_take_frames("heartbeat monitor", find_can_callb)) monitor_installed = true;
}

bool find_monitor_hears(void) { return bus_has_frames(find_can_callb); }

void find_set_extra_can_callback(find_extra_can_callb_t callb) { extra_can_callb = callb; }

uint8_t find_devices(void)
{
    // Two seconds of silence from a closed port, a lost connection or a node stopped from the bus
    // would read as "no devices on the bus". Checked first, so a port that failed is told once and
    // no search is announced.
    const bool ready = bus_ready("find") && !bus_node_stopped("find", true);
    find_start_monitor();
    // An earlier listen or terminal job may have the frames; a search that hears no heartbeats
    // would report an empty bus.
    find_reinstall_monitor();
    std::memset(operational_nodes, 0, sizeof operational_nodes);
    uint8_t start_count = dev.system.dev_count;
    if (!ready) {
        search_remaining_ms = 0;
        return 0;
    }
    std::printf("Searching for devices on the CAN bus for %u ms...\n", FIND_SEARCH_MS);
    std::fflush(stdout);

    for (uint8_t node = 1; node <= SYSTEM_NODEID_MAX; node++) kr_canopen_sdo_client_answers_differ(node, true);
    uint8_t mark[FIND_NODE_COUNT] = {};
    for (uint32_t i = 0; i < dev.system.dev_count && i < SYSTEM_MAX_DEVICES; i++)
        if (system_nodeid_valid(dev.system.devs[i].nodeid)) mark[dev.system.devs[i].nodeid] = 2;

    // Real time, not passes: a read that waits for a silent node takes its time out of the search.
    const uint32_t start = kr_rtos_get_tick_count();
    auto elapsed = [start] { return (uint32_t)(kr_rtos_get_tick_count() - start); };
    while (elapsed() < FIND_SEARCH_MS) {
        search_remaining_ms = (uint16_t)(FIND_SEARCH_MS - elapsed());
        kr_rtos_task_delay(20);
        if (!bus_still_up("find") || bus_node_stopped("find", true)) {
            search_remaining_ms = 0;
            return 0;
        }
        for (uint8_t node = 1; node <= SYSTEM_NODEID_MAX && elapsed() < FIND_SEARCH_MS; node++) {
            if (!bit_get(operational_nodes, node) || mark[node] == 2) continue;
            if (answering(last_nmt_state[node])) {
                bool was_booting = mark[node] == 1;
                mark[node] = 2;
                // The search ends when it said it would: a node that does not answer gets the
                // time left, its one retry and the back-off before it included.
                uint32_t left = FIND_SEARCH_MS - elapsed();
                kr_canopen_sdo_client_set_timeout(left > FIND_RETRY_ROOM_MS + 100 ? (left - FIND_RETRY_ROOM_MS) / 2
                                                                                  : 50);
                bool unanswered = false;
                find_try_add_node(node, was_booting, &unanswered);
                if (unanswered) {
                    std::printf("Node 0x%x sends heartbeats but did not answer the identity read (0x1018:1); it is "
                                "not added.\n",
                                (unsigned)node);
                    std::fflush(stdout);
                }
                kr_canopen_sdo_client_set_timeout(0);
            } else if (mark[node] == 0) {
                // Only a full system refuses the entry, and it stays full for the search: asking
                // again every 20 ms would only repeat the message.
                mark[node] = find_add_bootup_node(node) ? 1 : 2;
            }
        }
    }
    search_remaining_ms = 0;
    for (uint8_t node = 1; node <= SYSTEM_NODEID_MAX; node++)
        if (bit_get(operational_nodes, node) && mark[node] != 2 && answering(last_nmt_state[node])) {
            std::printf("Node 0x%x sends heartbeats but the search had no time left to read its identity; it is "
                        "not added.\n",
                        (unsigned)node);
            std::fflush(stdout);
        }
    for (uint8_t node = 1; node <= SYSTEM_NODEID_MAX; node++)
        if (kr_canopen_sdo_client_answers_differ(node, true)) {
            job_warning("WARNING: node 0x%x answered with two different identities: two devices share "
                        "this node id.\n",
                        (unsigned)node);
        }
    uint8_t found = (uint8_t)(dev.system.dev_count - start_count);
    std::printf("Device search finished: %u new device(s) found.\n", (unsigned)found);
    std::fflush(stdout);
    return found;
}

bool cmd_find(const char *) { return add_task(find_step); }

void find_search_async(void)
{
    search_finished = false;
    if (kr_rtos_task_create(search_step, "find_ui_task", 51200, nullptr, 2, nullptr) < 0) search_finished = true;
}

bool find_search_is_finished(void) { return search_finished; }

uint16_t find_search_remaining_ms(void) { return search_remaining_ms; }

bool find_poll_new_devices(void)
{
    uint32_t now = kr_rtos_get_tick_count();
    bool changed = find_adopt_booted_device(now);
    for (uint8_t node = 1; node <= SYSTEM_NODEID_MAX; node++) {
        uint32_t tick = last_seen_tick[node];
        if (tick == 0 || tick_age(now, tick) >= FIND_ONLINE_TICKS) {
            live_added[node] = 0;
            continue;
        }
        if (bit_get(blacklist_bits, node) || live_added[node] == 2) continue;
        device_st *d = find_device_by_nodeid(node);
        if (!answering(last_nmt_state[node])) {
            if (!d && live_added[node] == 0) {
                // A full system is not asked again on every pass, as with a failed try.
                if (find_add_bootup_node(node)) {
                    live_added[node] = 1;
                    changed = true;
                } else {
                    live_added[node] = 2;
                }
            }
        } else if (!d || live_added[node] == 1) {
            const bool was_booting = live_added[node] == 1;
            live_added[node] = 2;
            if (find_try_add_node(node, was_booting)) changed = true;
        } else {
            live_added[node] = 2;
        }
    }
    return changed;
}

bool find_update_device_states(system_st *system)
{
    if (!system) return false;
    bool changed = false;
    uint32_t now = kr_rtos_get_tick_count();
    for (uint32_t i = 0; i < system->dev_count && i < SYSTEM_MAX_DEVICES; i++) {
        device_st *d = &system->devs[i];
        if (d->nodeid == 0) continue;
        dev_state_e live = node_live_state(d->nodeid, now);
        if (live == DEV_STATE_PREOP || live == DEV_STATE_OP) {
            if (d->sw_version == 0 && !d->sw_version_tried) {
                d->sw_version = read_sw_version(d->nodeid);
                d->sw_version_tried = true;
                if (d->sw_version) changed = true; // shown on the device page
            }
            if (!d->filepath[0] && d->vendor_id == CANOPEN_KORVANE_VENDOR_ID && !d->devname[0] && !d->devname_tried) {
                d->devname_tried = true;
                if (read_devname(d)) changed = true;
            }
        } else {
            d->sw_version_tried = false;
            d->devname_tried = false;
        }
        if (live != d->state) {
            d->state = live;
            changed = true;
        }
    }
    return changed;
}

dev_state_e find_node_get_state(uint8_t node) { return node_live_state(node, kr_rtos_get_tick_count()); }

bool find_node_is_online(uint8_t node) { return system_nodeid_valid(node) && bit_get(operational_nodes, node); }

bool find_wait_node_operational(uint8_t node, uint32_t timeout_ms)
{
    if (!system_nodeid_valid(node)) return false;
    if (kr_can_set_up(false)) {
        job_error("ERROR: %s\n", bus_port_reason());
        return false;
    }
    find_reinstall_monitor();
    node_forget(node);
    for (uint32_t waited = 0;; waited += 100) {
        if (node_live_state(node, kr_rtos_get_tick_count()) == DEV_STATE_OP) return true;
        if (waited >= timeout_ms) return false;
        kr_rtos_task_delay(100);
    }
}

void find_expect_nodeid_change(device_st *device, uint8_t node)
{
    find_expect_boot_nodeid(device, node);
    boot_expect_renumbered = true;
}

void find_expect_boot_nodeid(device_st *device, uint8_t node)
{
    boot_expect_renumbered = false;
    if (device && system_nodeid_valid(node) && node != device->nodeid) {
        boot_expect_device = device;
        boot_expect_nodeid = node;
        boot_expect_old_nodeid = device->nodeid;
        boot_expect_tick = kr_rtos_get_tick_count();
    } else {
        boot_expect_device = nullptr;
        boot_expect_nodeid = 0;
    }
}

void find_blacklist_node(uint8_t node)
{
    if (!system_nodeid_valid(node)) return;
    bit_set(blacklist_bits, node);
    live_added[node] = 0;
}

void find_clear_blacklist(void) { std::memset(blacklist_bits, 0, sizeof blacklist_bits); }

uint32_t find_read_device_revision(device_st *device)
{
    if (!device || device->state == DEV_STATE_OFFLINE || !system_nodeid_valid(device->nodeid)) return 0;
    uint16_t index = device->if_version_mindex;
    uint8_t sub = device->if_version_sindex;
    uint8_t size = device->if_version_size;
    if (index == 0 || size == 0) {
        index = 0x2FFF;
        sub = 0;
        size = 2;
    }
    uint8_t b[4] = {};
    if (!sdo_read(device->nodeid, index, sub, size > 4 ? 4 : size, b)) return 0;
    return kr_get_le32(b);
}

device_st *find_device_by_nodeid(uint8_t node)
{
    if (!system_nodeid_valid(node)) return nullptr;
    for (uint32_t i = 0; i < dev.system.dev_count && i < SYSTEM_MAX_DEVICES; i++)
        if (dev.system.devs[i].nodeid == node) return &dev.system.devs[i];
    return nullptr;
}

void find_drop_device(uint8_t node)
{
    device_st *d = find_device_by_nodeid(node);
    if (d) system_remove_device(&dev.system, d);
}

} // extern "C"
