// The CAN port: state, receive ring, open/close, sending, and the receive step of the library task.
// Everything here runs with the run token (one task at a time); the only places that hand the token
// on are the waits (connect, full transmit queue), which touch nothing but their own file descriptor.
#include "kr_can.h"

#include <linux/can.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>
#include <vector>

#include "kr_can_port.h"
#include "kr_rtos.h"
#include "kr_utilities.h"

namespace {

constexpr size_t tx_buffer_size = 16384;        // socketcand lines not yet taken by the kernel
constexpr size_t step_read_budget = 256 * 1024; // bytes one step reads at most from socketcand
constexpr uint32_t step_frame_budget = 4096;    // frames one step reads at most from SocketCAN
constexpr uint32_t connect_timeout_ms = 3000;

struct rx_entry {
    kr_can_message_st msg;
    struct timeval tv;
};

enum class backend_e { none, socketcan, socketcand };

struct can_port_st {
    can_state_e state = CAN_STATE_INIT;
    uint32_t baudrate = CONFIG_CAN0_BAUDRATE;
    char dev[KR_CAN_DEV_NAME_LEN] = "can0";
    rx_entry rx_buffer_data[CONFIG_CAN0_RX_BUFFER_SIZE]{};
    uint32_t rx_head = 0; // oldest frame
    uint32_t rx_count = 0;
    struct timeval lastrxtime = {0, 0};
    char devs[KR_CAN_DEVS_MAX][KR_CAN_DEVS_NAME_LEN] = {};
    int32_t dev_count = 0;
    bool devs_stale = true; // listed when first asked for: most runs never look at the list
    kr_can_rx_callback_t rx_callback = nullptr;
    kr_can_tx_callback_t tx_callb = nullptr;

    backend_e kind = backend_e::none;
    int fd = -1;
    char open_dev[KR_CAN_DEV_NAME_LEN] = "";
    kr_scd_reader_st rd{};
    char tx[tx_buffer_size]{};
    size_t tx_len = 0;

    bool opening = false; // a connect is under way in a blocking section
    bool rx_full_reported = false;
    uint32_t generation = 0;    // changes whenever the connection goes away
    int waiters = 0;            // tasks waiting on fd in a blocking section
    std::vector<int> stale_fds; // closed once no task waits on them
    char set_up_error[160] = "";
    char fault_text[320] = ""; // why the port is not open
    bool open_failed = false;  // the fault is a failed open, not a lost connection
};

// Initialised at compile time: a run that never opens the port touches none of its buffers.
constinit can_port_st _can;

uint64_t now_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000u + (uint64_t)ts.tv_nsec / 1000000u;
}

bool baud_supported(uint32_t baud) { return kr_can_baud_supported(baud); }

} // namespace

bool kr_can_baud_supported(uint32_t baud)
{
    switch (baud) {
    case 100000:
    case 125000:
    case 250000:
    case 500000:
    case 1000000: return true;
    default: return false;
    }
}

namespace {

// A file descriptor may be closed only when no task is polling it, or the number could be reused under it.
void release_fd(int fd)
{
    if (fd < 0) return;
    if (_can.waiters > 0)
        _can.stale_fds.push_back(fd);
    else
        close(fd);
}

void drop_connection()
{
    release_fd(_can.fd);
    _can.fd = -1;
    _can.kind = backend_e::none;
    _can.tx_len = 0;
    kr_scd_reader_init(&_can.rd);
    _can.generation++;
}

void fault(const char *why)
{
    std::snprintf(_can.fault_text, sizeof _can.fault_text, "The connection to the CAN interface %s was lost: %s.",
                  _can.open_dev, why);
    _can.open_failed = false;
    kr_diag("The connection to %s was lost: %s\n", _can.open_dev, why);
    drop_connection();
    _can.state = CAN_STATE_FAULT;
}

// Waits (without the run token) until fd is ready for events or timeout_ms passes; events 0 just sleeps.
// False when the connection went away meanwhile. revents, when given, gets what poll reported.
bool wait_fd(int fd, short events, int timeout_ms, short *revents = nullptr)
{
    uint32_t gen = _can.generation;
    _can.waiters++;
    {
        kr_rtos_blocking_section section;
        struct pollfd p = {fd, events, 0};
        int n = poll(events ? &p : nullptr, events ? 1 : 0, timeout_ms);
        if (revents) *revents = n > 0 ? p.revents : 0;
    }
    if (--_can.waiters == 0) {
        for (int s : _can.stale_fds) close(s);
        _can.stale_fds.clear();
    }
    return gen == _can.generation && _can.state == CAN_STATE_OPEN;
}

int remaining_ms(uint64_t deadline)
{
    uint64_t now = now_ms();
    return now >= deadline ? 0 : (int)(deadline - now);
}

// Hands what the kernel takes of the pending socketcand lines to it; never waits.
void flush_tx()
{
    while (_can.tx_len > 0 && _can.kind == backend_e::socketcand) {
        ssize_t n = send(_can.fd, _can.tx, _can.tx_len, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0) {
            std::memmove(_can.tx, _can.tx + n, _can.tx_len - (size_t)n);
            _can.tx_len -= (size_t)n;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        fault(n == 0 ? "nothing could be written" : std::strerror(errno));
        return;
    }
}

void report_rx_full()
{
    if (_can.rx_full_reported) return;
    _can.rx_full_reported = true;
    kr_diag("** CAN RX buffer full**\n");
    std::fflush(stdout);
}

bool rx_push(const kr_can_message_st *msg, const struct timeval *tv)
{
    if (_can.rx_count == CONFIG_CAN0_RX_BUFFER_SIZE) return false;
    rx_entry &e = _can.rx_buffer_data[(_can.rx_head + _can.rx_count) % CONFIG_CAN0_RX_BUFFER_SIZE];
    e.msg = *msg;
    e.tv = *tv;
    _can.rx_count++;
    return true;
}

// The caller has made sure the ring has room.
void deliver(kr_can_message_st *msg, const struct timeval *tv)
{
    if (_can.rx_callback && !_can.rx_callback(__kr_get_user_ptr(), msg)) return;
    if (receive_terminal(msg)) return;
    rx_push(msg, tv);
}

void printable(const char *in, char *out, size_t out_size)
{
    size_t i = 0;
    for (; in[i] && i + 1 < out_size && i < 80; i++) out[i] = (in[i] >= 0x20 && in[i] < 0x7F) ? in[i] : '?';
    out[i] = '\0';
}

void handle_element(const char *text)
{
    kr_can_message_st msg;
    struct timeval tv;
    const char *why = "";
    char shown[96];
    switch (kr_scd_parse(text, &msg, &tv, &why)) {
    case SCD_EL_FRAME:
        // The local clock, not the daemon's: the two machines' clocks need not agree.
        gettimeofday(&tv, nullptr);
        deliver(&msg, &tv);
        break;
    case SCD_EL_ERROR:
        printable(text, shown, sizeof shown);
        kr_diag("socketcand at %s reports: %s\n", _can.open_dev, shown);
        break;
    case SCD_EL_BAD:
        printable(text, shown, sizeof shown);
        kr_diag("Dropped a bad element from socketcand at %s: '< %s >': %s\n", _can.open_dev, shown, why);
        break;
    default: break;
    }
}

void step_socketcand()
{
    char element[KR_SCD_ELEMENT_MAX + 1];
    size_t budget = step_read_budget;
    while (_can.state == CAN_STATE_OPEN) {
        if (_can.rx_count == CONFIG_CAN0_RX_BUFFER_SIZE) {
            // Leave the rest in the socket: TCP holds it until the ring has room again.
            report_rx_full();
            return;
        }
        kr_scd_read_e r = kr_scd_reader_next(&_can.rd, element, sizeof element);
        if (r == SCD_READ_ELEMENT) {
            handle_element(element);
            continue;
        }
        if (r == SCD_READ_JUNK) {
            kr_diag("Dropped input from socketcand at %s: %s\n", _can.open_dev, element);
            continue;
        }
        if (budget == 0) return;
        size_t room = 0;
        char *p = kr_scd_reader_space(&_can.rd, &room);
        if (room > budget) room = budget;
        ssize_t n = recv(_can.fd, p, room, MSG_DONTWAIT);
        if (n > 0) {
            kr_scd_reader_commit(&_can.rd, (size_t)n);
            budget -= (size_t)n;
            continue;
        }
        if (n == 0) {
            fault("the server closed the connection");
            return;
        }
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) fault(std::strerror(errno));
        return;
    }
}

void step_socketcan()
{
    for (uint32_t k = 0; k < step_frame_budget && _can.state == CAN_STATE_OPEN; k++) {
        if (_can.rx_count == CONFIG_CAN0_RX_BUFFER_SIZE) {
            report_rx_full();
            return;
        }
        kr_can_message_st msg;
        struct timeval tv;
        int error = 0;
        int r = _kr_can_socketcan_read(_can.fd, &msg, &tv, &error);
        if (r == 0) return;
        if (r < 0) {
            fault(std::strerror(error));
            return;
        }
        deliver(&msg, &tv);
    }
}

kr_errors_e send_failed(const kr_can_message_st *msg, const char *why)
{
    kr_diag("Sending a message with ID of 0x%x resulted in a CAN error: %s\n", (unsigned)msg->id, why);
    return KR_CAN_ERR_SEND;
}

kr_errors_e send_socketcan(const kr_can_message_st *msg)
{
    uint64_t deadline = now_ms() + KR_CAN_TX_TIMEOUT_MS;
    for (;;) {
        int e = _kr_can_socketcan_try_write(_can.fd, msg);
        if (e == 0) return ERR_NONE;
        if (e == EINTR) continue;
        if (e != EAGAIN && e != EWOULDBLOCK && e != ENOBUFS) {
            kr_errors_e r = send_failed(msg, std::strerror(e));
            if (e == ENODEV || e == ENXIO || e == EBADF || e == ENETDOWN) fault(std::strerror(e));
            return r;
        }
        int left = remaining_ms(deadline);
        if (left == 0) return send_failed(msg, "the transmit queue stayed full");
        // ENOBUFS is the device queue, which poll does not report: sleep a tick and retry.
        bool alive = e == ENOBUFS ? wait_fd(_can.fd, 0, 1) : wait_fd(_can.fd, POLLOUT, left);
        if (!alive) return send_failed(msg, "the connection was lost");
    }
}

kr_errors_e send_socketcand(const kr_can_message_st *msg)
{
    char line[KR_SCD_LINE_MAX];
    size_t n = kr_scd_format_send(msg, line, sizeof line);
    if (n == 0) return send_failed(msg, "identifier or length out of range");
    flush_tx();
    uint64_t deadline = now_ms() + KR_CAN_TX_TIMEOUT_MS;
    while (_can.state == CAN_STATE_OPEN && _can.tx_len + n > sizeof _can.tx) {
        int left = remaining_ms(deadline);
        if (left == 0) return send_failed(msg, "socketcand does not take frames fast enough");
        if (!wait_fd(_can.fd, POLLOUT, left)) break;
        flush_tx();
    }
    if (_can.state != CAN_STATE_OPEN) return send_failed(msg, "the connection was lost");
    std::memcpy(_can.tx + _can.tx_len, line, n);
    _can.tx_len += n;
    flush_tx();
    if (_can.state != CAN_STATE_OPEN) return send_failed(msg, "the connection was lost");
    return ERR_NONE;
}

void close_port(bool announce)
{
    bool was_open = _can.state == CAN_STATE_OPEN;
    if (was_open && _can.kind == backend_e::socketcand) {
        // What is still buffered here goes out first; the kernel sends the rest after close.
        uint64_t deadline = now_ms() + KR_CAN_TX_TIMEOUT_MS;
        flush_tx();
        while (_can.tx_len > 0 && _can.state == CAN_STATE_OPEN && remaining_ms(deadline) > 0) {
            if (!wait_fd(_can.fd, POLLOUT, remaining_ms(deadline))) break;
            flush_tx();
        }
    }
    drop_connection();
    _can.state = CAN_STATE_INIT;
    if (was_open && announce) kr_diag("CAN connection closed.\n");
}

// A name meant for a socketcand bus but mistyped: no SocketCAN interface has ':' in its name.
bool looks_like_socketcand(const char *name)
{
    return strncasecmp(name, "socketcand", 10) == 0 || std::strchr(name, ':') != nullptr;
}

const char *set_up_failed(const char *name, const char *detail)
{
    _can.state = CAN_STATE_FAULT;
    std::snprintf(_can.set_up_error, sizeof _can.set_up_error, "Couldn't open the connection to the CAN interface %s.",
                  name);
    // A detail that asks a question keeps its question mark.
    size_t len = std::strlen(detail);
    const char *end = len > 0 && detail[len - 1] == '?' ? "" : ".";
    std::snprintf(_can.fault_text, sizeof _can.fault_text, "Couldn't open the connection to the CAN interface %s: %s%s",
                  name, detail, end);
    _can.open_failed = true;
    return _can.set_up_error;
}

} // namespace

kr_errors_e _kr_can_init(void)
{
    _can.rx_head = 0;
    _can.rx_count = 0;
    _can.rx_callback = nullptr;
    _can.rx_full_reported = false;
    return ERR_NONE;
}

bool kr_can_set_dev(const char *name)
{
    if (!name) {
        kr_diag("No CAN device name given.\n");
        return false;
    }
    size_t len = std::strlen(name);
    if (len >= KR_CAN_DEV_NAME_LEN) {
        kr_diag("The CAN device name '%.40s...' is too long: at most %d characters.\n", name, KR_CAN_DEV_NAME_LEN - 1);
        return false;
    }
    std::memcpy(_can.dev, name, len + 1);
    return true;
}

const char *kr_can_get_dev(void) { return _can.dev; }

bool kr_can_set_baudrate(kr_can_channels_e chn, uint32_t baud)
{
    if (chn && !kr_can_set_dev(chn)) return false;
    _can.baudrate = baud;
    _can.devs_stale = true;
    return true;
}

uint32_t kr_can_get_baudrate(kr_can_channels_e) { return _can.baudrate; }

uint32_t kr_can_get_netdev_baudrate(kr_can_channels_e chn)
{
    const char *name = chn ? chn : _can.dev;
    if (_kr_can_is_socketcand(name)) return 0;
    return _kr_can_socketcan_bitrate(name);
}

static void list_devices(void)
{
    if (!_can.devs_stale) return;
    _can.dev_count = _kr_can_socketcan_list(_can.devs, KR_CAN_DEVS_MAX);
    _can.devs_stale = false;
}

int32_t kr_can_get_device_count(void)
{
    list_devices();
    return _can.dev_count;
}

const char *kr_can_get_device_name(int32_t i)
{
    list_devices();
    if (i < 0 || i >= _can.dev_count) return nullptr;
    return _can.devs[i];
}

bool kr_can_device_is_can(const char *name)
{
    if (!name) return false;
    if (_kr_can_is_socketcand(name)) return _kr_can_scd_parse_url(name, nullptr, 0, nullptr, nullptr, 0);
    return _kr_can_socketcan_is_can(name);
}

bool kr_can_device_is_virtual(const char *name)
{
    if (!name || _kr_can_is_socketcand(name)) return false; // what lies behind a daemon is unknown
    return _kr_can_socketcan_is_virtual(name);
}

bool kr_can_create_vcan(const char *name, char *err, size_t err_len)
{
    char dummy[8];
    if (!err || err_len == 0) {
        err = dummy;
        err_len = sizeof dummy;
    }
    err[0] = '\0';
    bool ok = _kr_can_socketcan_create_vcan(name, err, err_len);
    if (ok) _can.devs_stale = true;
    return ok;
}

const char *kr_can_set_up(bool force)
{
    if (_can.opening) {
        std::snprintf(_can.set_up_error, sizeof _can.set_up_error,
                      "The CAN interface %s is being opened by another task.", _can.dev);
        return _can.set_up_error;
    }
    // A changed interface name reopens even without force: the old interface is not what was asked for.
    if (_can.state == CAN_STATE_OPEN && !force && std::strcmp(_can.open_dev, _can.dev) == 0) return nullptr;
    close_port(true);

    char name[KR_CAN_DEV_NAME_LEN];
    std::memcpy(name, _can.dev, sizeof name);
    if (!baud_supported(_can.baudrate)) {
        kr_diag("Invalid baudrate %u. Baudrate has to be 100k, 125k, 250k, 500k or 1M.\n", (unsigned)_can.baudrate);
        return set_up_failed(name, "the baud rate is not one of 100k, 125k, 250k, 500k or 1M");
    }
    char err[256] = "";
    int fd = -1;
    backend_e kind;
    if (_kr_can_is_socketcand(name)) {
        kind = backend_e::socketcand;
        auto rd = std::make_unique<kr_scd_reader_st>();
        kr_scd_reader_init(rd.get());
        uint32_t gen = _can.generation;
        _can.opening = true;
        {
            kr_rtos_blocking_section section;
            fd = _kr_can_scd_connect(name, rd.get(), connect_timeout_ms, err, sizeof err);
        }
        _can.opening = false;
        if (fd >= 0 && gen != _can.generation) { // closed meanwhile
            close(fd);
            fd = -1;
            std::snprintf(err, sizeof err, "the port was closed while connecting");
        }
        if (fd < 0) {
            kr_diag("Error when connecting to socketcand for %s: %s. Check that socketcand is running and serves that "
                    "bus.\n",
                    name, err);
            return set_up_failed(name, err);
        }
        _can.rd = *rd;
    } else if (looks_like_socketcand(name)) {
        std::snprintf(err, sizeof err, "'%s' is not of the form " KR_CAN_SOCKETCAND_PREFIX "HOST[:PORT]/BUS", name);
        kr_diag("Error when connecting to %s: %s.\n", name, err);
        return set_up_failed(name, err);
    } else {
        kind = backend_e::socketcan;
        fd = _kr_can_socketcan_open(name, _can.baudrate, err, sizeof err);
        if (fd < 0) {
            kr_diag("Error when connecting to CAN interface %s: %s. Check that the interface exists and is up.\n", name,
                    err);
            return set_up_failed(name, err);
        }
    }
    _can.fd = fd;
    _can.kind = kind;
    _can.tx_len = 0;
    std::memcpy(_can.open_dev, name, sizeof name);
    _can.state = CAN_STATE_OPEN;
    _can.fault_text[0] = '\0';
    _can.rx_full_reported = false;
    kr_diag("CAN connection opened to CAN interface %s\n", name);
    return nullptr;
}

void kr_can_close(void) { close_port(true); }

bool kr_can_is_connected(void) { return _can.state == CAN_STATE_OPEN; }

const char *kr_can_get_fault(void) { return _can.state == CAN_STATE_OPEN ? "" : _can.fault_text; }

bool kr_can_open_failed(void) { return _can.state == CAN_STATE_FAULT && _can.open_failed; }

can_state_e kr_can_get_state(void) { return _can.state; }

kr_can_errors_e kr_can_get_error_state(kr_can_channels_e)
{
    return _can.state == CAN_STATE_OPEN ? CAN_ERROR_ACTIVE : CAN_ERROR_BUS_OFF;
}

void kr_can_clear_rx_buffer(kr_can_channels_e)
{
    _can.rx_head = 0;
    _can.rx_count = 0;
}

kr_errors_e kr_can_pop_message(kr_can_channels_e, kr_can_message_st *msg)
{
    if (!msg) return ERR_NULL_PTR;
    if (_can.rx_count == 0) return ERR_BUFFER_EMPTY;
    const rx_entry &e = _can.rx_buffer_data[_can.rx_head];
    *msg = e.msg;
    _can.lastrxtime = e.tv;
    _can.rx_head = (_can.rx_head + 1) % CONFIG_CAN0_RX_BUFFER_SIZE;
    _can.rx_count--;
    if (_can.rx_count == 0) _can.rx_full_reported = false;
    return ERR_NONE;
}

struct timeval kr_can_get_rx_time(void) { return _can.lastrxtime; }

kr_errors_e kr_can_add_rx_callback(kr_can_channels_e, kr_can_rx_callback_t cb)
{
    _can.rx_callback = cb;
    return ERR_NONE;
}

kr_errors_e kr_can_add_tx_callback(kr_can_channels_e, kr_can_tx_callback_t cb)
{
    _can.tx_callb = cb;
    return ERR_NONE;
}

kr_errors_e kr_can_send_message(kr_can_channels_e, const kr_can_message_st *msg)
{
    if (!msg) return ERR_NULL_PTR;
    if (_can.state == CAN_STATE_INIT && !_can.opening) kr_can_set_up(false);
    // A frame that cannot go out is an error, not a silent success.
    if (_can.state != CAN_STATE_OPEN) return ERR_MESSAGE_NOT_SENT;
    if (msg->data_length > 8) return send_failed(msg, "data length over 8");
    // It would go out as a data frame with the error class for an identifier.
    if (msg->type == CAN_ERR) return send_failed(msg, "error frames cannot be sent");
    if (_can.kind == backend_e::socketcand) return send_socketcand(msg);
    return send_socketcan(msg);
}

kr_errors_e kr_can_send_flags(kr_can_channels_e chn, const kr_can_message_st *msg, uint32_t flags)
{
    if (!msg) return ERR_NULL_PTR;
    kr_errors_e result = ERR_NONE;
    if (flags & CAN_SEND_FLAGS_LOCAL) {
        struct timeval tv;
        gettimeofday(&tv, nullptr);
        result = rx_push(msg, &tv) ? ERR_NONE : ERR_BUFFER_OVERFLOW;
    }
    if (flags & (CAN_SEND_FLAGS_SYNC | CAN_SEND_FLAGS_NORMAL)) result = kr_can_send_message(chn, msg);
    if (!(flags & CAN_SEND_FLAGS_NO_TX_CALLB) && _can.tx_callb) _can.tx_callb(__kr_get_user_ptr(), msg, flags);
    return result;
}

bool kr_can_prepare(const kr_can_message_st *msg, kr_can_prepared_st *out)
{
    if (!msg || !out || _can.state != CAN_STATE_OPEN) return false;
    std::memset(out, 0, sizeof *out);
    out->generation = _can.generation;
    if (_can.kind == backend_e::socketcand) {
        char line[KR_SCD_LINE_MAX];
        size_t n = kr_scd_format_send(msg, line, sizeof line);
        if (n == 0 || n > sizeof out->bytes) return false;
        std::memcpy(out->bytes, line, n);
        out->len = (uint32_t)n;
        return true;
    }
    struct can_frame frame;
    static_assert(sizeof frame <= sizeof out->bytes, "a SocketCAN frame fits");
    std::memset(&frame, 0, sizeof frame);
    frame.can_id = msg->type == CAN_EXT ? ((msg->id & CAN_EFF_MASK) | CAN_EFF_FLAG) : (msg->id & CAN_SFF_MASK);
    frame.can_dlc = msg->data_length > 8 ? 8 : msg->data_length;
    std::memcpy(frame.data, msg->data, frame.can_dlc);
    std::memcpy(out->bytes, &frame, sizeof frame);
    out->len = sizeof frame;
    return true;
}

bool kr_can_send_prepared(const kr_can_prepared_st *prepared)
{
    if (!prepared || prepared->len == 0 || _can.state != CAN_STATE_OPEN || prepared->generation != _can.generation)
        return false;
    if (_can.kind == backend_e::socketcand) {
        // Lines already queued go first, or the prepared one would land inside a half-sent line.
        if (_can.tx_len > 0 && send(_can.fd, _can.tx, _can.tx_len, MSG_DONTWAIT | MSG_NOSIGNAL) != (ssize_t)_can.tx_len)
            return false;
        return send(_can.fd, prepared->bytes, prepared->len, MSG_DONTWAIT | MSG_NOSIGNAL) == (ssize_t)prepared->len;
    }
    return write(_can.fd, prepared->bytes, prepared->len) == (ssize_t)prepared->len;
}

bool _kr_can_wait_rx(uint32_t timeout_ms)
{
    if (_can.state != CAN_STATE_OPEN || _can.rx_count == CONFIG_CAN0_RX_BUFFER_SIZE) return false;
    short revents = 0;
    return wait_fd(_can.fd, POLLIN, (int)timeout_ms, &revents) && (revents & POLLIN);
}

void kr_can_flush_for_exit(void)
{
    if (_can.state != CAN_STATE_OPEN || _can.kind != backend_e::socketcand) return;
    shutdown(_can.fd, SHUT_WR);
    char buf[1024];
    for (int i = 0; i < 256 && recv(_can.fd, buf, sizeof buf, MSG_DONTWAIT) > 0; i++) {
    }
}

void _kr_can_hal_step(uint32_t)
{
    if (_can.state != CAN_STATE_OPEN) return;
    if (_can.kind == backend_e::socketcand) {
        flush_tx();
        step_socketcand();
    } else {
        step_socketcan();
    }
}

kr_errors_e kr_can_reset(kr_can_channels_e) { return ERR_NONE; }

kr_errors_e kr_can_config_rx_message(kr_can_channels_e, uint32_t, uint32_t, kr_can_msg_types_e) { return ERR_NONE; }

kr_errors_e kr_can_config_rx_message_no_callb(kr_can_channels_e, uint32_t, uint32_t, kr_can_msg_types_e)
{
    return ERR_NONE;
}

void kr_can_clear_rx_messages(kr_can_channels_e) {}

void kr_can_set_rx_msg_callbacks(const void *, bool) {}

void kr_can_use_gui_password(bool) {}

bool receive_terminal(const kr_can_message_st *) { return false; }
