// A CANopen node run by the library itself with its SDO server on (the library's test build), for
// the server's tests and benchmark. Its dictionary holds one object of each kind with canaries
// around every storage. It joins the virtual bus, prints "ready", then "write 0xIIII S" and
// "read 0xIIII S" for each server callback; "dump" on standard input prints every object's bytes
// and the canaries' state, then "end". A restart request ends it with status 1.
//
//   kr_sdonode --port N [--bus vcan0] [--node 0x22] [--nonvol FILE]
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "kr_can.h"
#include "kr_canopen.h"
#include "kr_memory.h"
#include "kr_rtos.h"
#include "canopen/kr_canopen_private.h"

namespace {

constexpr size_t CANARY_LEN = 16;
constexpr uint8_t CANARY = 0xC5;

template <size_t N> struct guarded_st {
    uint8_t pre[CANARY_LEN];
    uint8_t data[N];
    uint8_t post[CANARY_LEN];
};

guarded_st<1> u8;
guarded_st<2> u16;
guarded_st<4> u32;
guarded_st<8> a8;   // 8 elements
guarded_st<8> a16;  // 4 elements
guarded_st<16> a32; // 4 elements
guarded_st<32> str;
guarded_st<65535> big;
guarded_st<4> ro;
guarded_st<4> wo;

struct entry_st {
    uint8_t *pre;
    size_t len;
};

// Storage of each object below, in the same order (none for the object without storage).
const entry_st storage[] = {
    {u8.pre, sizeof u8.data},
    {u16.pre, sizeof u16.data},
    {u32.pre, sizeof u32.data},
    {a8.pre, sizeof a8.data},
    {a16.pre, sizeof a16.data},
    {a32.pre, sizeof a32.data},
    {str.pre, sizeof str.data},
    {big.pre, sizeof big.data},
    {ro.pre, sizeof ro.data},
    {wo.pre, sizeof wo.data},
    {nullptr, 0},
};

void fill(void *p, std::initializer_list<uint8_t> bytes)
{
    uint8_t *d = static_cast<uint8_t *>(p);
    for (uint8_t b : bytes) *d++ = b;
}

void init_storage()
{
    for (const entry_st &e : storage) {
        if (!e.pre) continue;
        std::memset(e.pre, CANARY, CANARY_LEN);
        std::memset(e.pre + CANARY_LEN, 0, e.len);
        std::memset(e.pre + CANARY_LEN + e.len, CANARY, CANARY_LEN);
    }
    fill(u8.data, {0x12});
    fill(u16.data, {0x56, 0x34});
    fill(u32.data, {0xDE, 0xBC, 0x9A, 0x78});
    fill(a8.data, {1, 2, 3, 4, 5, 6, 7, 8});
    fill(a16.data, {0x11, 0x11, 0x22, 0x22, 0x33, 0x33, 0x44, 0x44});
    fill(a32.data, {1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0, 4, 0, 0, 0});
    std::memcpy(str.data, "hello", 5);
    fill(ro.data, {0x0D, 0xF0, 0xFE, 0xCA});
}

void print_line(const char *fmt, unsigned a, unsigned b)
{
    printf(fmt, a, b);
    fflush(stdout);
}

void on_write(uint16_t mindex, uint8_t sindex) { print_line("write 0x%04x %u\n", mindex, sindex); }
void on_read(uint16_t mindex, uint8_t sindex) { print_line("read 0x%04x %u\n", mindex, sindex); }

void dump()
{
    std::string line;
    bool canaries_ok = true;
    for (uint32_t i = 0; i < obj_dict_len(); i++) {
        const entry_st &e = storage[i];
        if (!e.pre) continue;
        char head[32];
        snprintf(head, sizeof head, "obj 0x%04x ", obj_dict[i].main_index);
        line = head;
        static const char hex[] = "0123456789abcdef";
        const uint8_t *d = e.pre + CANARY_LEN;
        for (size_t k = 0; k < e.len; k++) {
            line += hex[d[k] >> 4];
            line += hex[d[k] & 15];
        }
        printf("%s\n", line.c_str());
        for (size_t k = 0; k < CANARY_LEN; k++)
            if (e.pre[k] != CANARY || d[e.len + k] != CANARY) {
                printf("canary 0x%04x broken\n", obj_dict[i].main_index);
                canaries_ok = false;
                break;
            }
    }
    printf("canaries %s\nend\n", canaries_ok ? "ok" : "bad");
    fflush(stdout);
}

// Reads commands without blocking the other tasks: standard input is non-blocking and polled.
void command_task(void *)
{
    std::string buf;
    fcntl(0, F_SETFL, fcntl(0, F_GETFL) | O_NONBLOCK);
    kr_canopen_set_state(CANOPEN_PREOPERATIONAL); // boot-up frame
    printf("ready\n");
    fflush(stdout);
    for (;;) {
        char tmp[256];
        ssize_t n = read(0, tmp, sizeof tmp);
        if (n == 0) _exit(0); // the test went away
        if (n > 0) buf.append(tmp, (size_t)n);
        size_t nl;
        while ((nl = buf.find('\n')) != std::string::npos) {
            std::string cmd = buf.substr(0, nl);
            buf.erase(0, nl + 1);
            if (cmd == "dump") dump();
        }
        kr_rtos_task_delay(5);
    }
}

} // namespace

extern "C" {
const canopen_object_st obj_dict[] = {
    {0x2000, {0}, CANOPEN_UNSIGNED8, u8.data, nullptr, 0, CANOPEN_RW},
    {0x2001, {0}, CANOPEN_UNSIGNED16, u16.data, nullptr, 0, CANOPEN_RW},
    {0x2002, {0}, CANOPEN_UNSIGNED32, u32.data, nullptr, 0, CANOPEN_RW},
    {0x2003, {8}, CANOPEN_ARRAY8, a8.data, nullptr, 0, CANOPEN_RW},
    {0x2004, {4}, CANOPEN_ARRAY16, a16.data, nullptr, 0, CANOPEN_RW},
    {0x2005, {4}, CANOPEN_ARRAY32, a32.data, nullptr, 0, CANOPEN_RW},
    {0x2006, {0}, CANOPEN_STRING, str.data, nullptr, sizeof str.data, CANOPEN_RW},
    {0x2007, {0}, CANOPEN_STRING, big.data, nullptr, (uint16_t)sizeof big.data, CANOPEN_RW},
    {0x2008, {0}, CANOPEN_UNSIGNED32, ro.data, nullptr, 0, CANOPEN_RO},
    {0x2009, {0}, CANOPEN_UNSIGNED32, wo.data, nullptr, 0, CANOPEN_WO},
    {0x200A, {0}, CANOPEN_UNSIGNED32, nullptr, nullptr, 0, CANOPEN_RW},
};
uint32_t obj_dict_len(void) { return sizeof obj_dict / sizeof obj_dict[0]; }
}

int main(int argc, char **argv)
{
    std::string port, bus = "vcan0", nonvol = "kr_sdonode.nvconf";
    unsigned node = 0x22;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string k = argv[i];
        if (k == "--port")
            port = argv[i + 1];
        else if (k == "--bus")
            bus = argv[i + 1];
        else if (k == "--node")
            node = (unsigned)std::strtoul(argv[i + 1], nullptr, 0);
        else if (k == "--nonvol")
            nonvol = argv[i + 1];
        else {
            fprintf(stderr, "kr_sdonode: unknown option %s\n", argv[i]);
            return 2;
        }
    }
    if (port.empty() || node == 0 || node > 127) {
        fprintf(stderr, "usage: kr_sdonode --port N [--bus vcan0] [--node 0x22] [--nonvol FILE]\n");
        return 2;
    }
    init_storage();
    silent = true;
    std::string chn = "socketcand://127.0.0.1:" + port + "/" + bus;
    kr_can_set_baudrate(chn.c_str(), 250000);
    kr_memory_set_nonvol_filepath(nonvol.c_str());
    if (const char *err = kr_can_set_up(true)) {
        fprintf(stderr, "kr_sdonode: %s\n", err);
        return 2;
    }
    kr_init(nullptr);
    _kr_canopen_init((uint8_t)node);
    _kr_canopen_sdo_server_add_write_callb(on_write);
    _kr_canopen_sdo_server_add_read_callb(on_read);
    kr_rtos_task_create(command_task, "commands", 10240, nullptr, 1, nullptr);
    kr_rtos_start_scheduler();
    return 3;
}
