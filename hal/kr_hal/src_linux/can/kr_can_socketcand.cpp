// socketcand back end: the channel name, the TCP connection and the raw-mode handshake.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "kr_can_port.h"

namespace {

constexpr size_t bus_name_max = 32;

uint64_t now_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000u + (uint64_t)ts.tv_nsec / 1000000u;
}

int left_ms(uint64_t deadline)
{
    uint64_t now = now_ms();
    return now >= deadline ? 0 : (int)(deadline - now);
}

bool bus_char_ok(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-' ||
           c == '.';
}

bool copy_out(const char *s, size_t n, char *out, size_t out_size)
{
    if (!out) return true;
    if (n >= out_size) return false;
    std::memcpy(out, s, n);
    out[n] = '\0';
    return true;
}

bool send_all(int fd, const char *text, uint64_t deadline, char *err, size_t err_len)
{
    size_t len = std::strlen(text), done = 0;
    while (done < len) {
        ssize_t n = send(fd, text + done, len - done, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0) {
            done += (size_t)n;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            struct pollfd p = {fd, POLLOUT, 0};
            if (left_ms(deadline) == 0 || poll(&p, 1, left_ms(deadline)) <= 0) {
                std::snprintf(err, err_len, "time-out while sending to the server");
                return false;
            }
            continue;
        }
        std::snprintf(err, err_len, "sending to the server failed: %s", std::strerror(errno));
        return false;
    }
    return true;
}

// Reads elements until the wanted one ("hi" or "ok"); an "error" element fails with its text.
bool expect(int fd, kr_scd_reader_st *rd, kr_scd_element_e wanted, const char *step, uint64_t deadline, char *err,
            size_t err_len)
{
    char element[KR_SCD_ELEMENT_MAX + 1];
    for (;;) {
        kr_scd_read_e r = kr_scd_reader_next(rd, element, sizeof element);
        if (r == SCD_READ_ELEMENT) {
            kr_scd_element_e kind = kr_scd_parse(element, nullptr, nullptr, nullptr);
            if (kind == wanted) return true;
            if (kind == SCD_EL_ERROR) {
                std::snprintf(err, err_len, "the server refused %s: < %.120s >", step, element);
                return false;
            }
            continue; // frames or chatter before the answer: not ours to keep yet
        }
        if (r == SCD_READ_JUNK) continue;
        struct pollfd p = {fd, POLLIN, 0};
        int left = left_ms(deadline);
        if (left == 0 || poll(&p, 1, left) <= 0) {
            std::snprintf(err, err_len, "no answer to %s", step);
            return false;
        }
        size_t room = 0;
        char *space = kr_scd_reader_space(rd, &room);
        ssize_t n = recv(fd, space, room, MSG_DONTWAIT);
        if (n > 0) {
            kr_scd_reader_commit(rd, (size_t)n);
        } else if (n == 0) {
            std::snprintf(err, err_len, "the server closed the connection during %s", step);
            return false;
        } else if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
            std::snprintf(err, err_len, "reading from the server failed: %s", std::strerror(errno));
            return false;
        }
    }
}

int tcp_connect(const char *host, uint16_t port, uint64_t deadline, char *err, size_t err_len)
{
    char service[8];
    std::snprintf(service, sizeof service, "%u", (unsigned)port);
    struct addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo *list = nullptr;
    int gai = getaddrinfo(host, service, &hints, &list);
    if (gai != 0) {
        std::snprintf(err, err_len, "cannot resolve '%s': %s", host, gai_strerror(gai));
        return -1;
    }
    int fd = -1;
    std::snprintf(err, err_len, "no address for '%s'", host);
    for (struct addrinfo *a = list; a; a = a->ai_next) {
        fd = socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) {
            std::snprintf(err, err_len, "socket: %s", std::strerror(errno));
            continue;
        }
        int rc = connect(fd, a->ai_addr, a->ai_addrlen);
        if (rc != 0 && errno == EINPROGRESS) {
            struct pollfd p = {fd, POLLOUT, 0};
            int left = left_ms(deadline);
            if (left > 0 && poll(&p, 1, left) > 0) {
                int so_error = 0;
                socklen_t len = sizeof so_error;
                getsockopt(fd, SOL_SOCKET, SO_ERROR, &so_error, &len);
                rc = so_error == 0 ? 0 : -1;
                errno = so_error;
            } else {
                errno = ETIMEDOUT;
            }
        }
        if (rc == 0) break;
        if (errno == ECONNREFUSED)
            std::snprintf(err, err_len, "nothing listens on %s port %u (%s): is the socketcand daemon running there?",
                          host, (unsigned)port, std::strerror(errno));
        else
            std::snprintf(err, err_len, "cannot connect to %s port %u: %s", host, (unsigned)port, std::strerror(errno));
        close(fd);
        fd = -1;
    }
    freeaddrinfo(list);
    if (fd >= 0) {
        int one = 1; // SDO transfers wait for each answer: no Nagle delay
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    return fd;
}

} // namespace

bool _kr_can_is_socketcand(const char *name)
{
    return name && std::strncmp(name, KR_CAN_SOCKETCAND_PREFIX, sizeof KR_CAN_SOCKETCAND_PREFIX - 1) == 0;
}

bool _kr_can_scd_parse_url(const char *url, char *host, size_t host_size, uint16_t *port, char *bus, size_t bus_size)
{
    if (!_kr_can_is_socketcand(url)) return false;
    const char *p = url + sizeof KR_CAN_SOCKETCAND_PREFIX - 1;
    const char *slash = std::strchr(p, '/');
    if (!slash) return false;
    const char *b = slash + 1;
    size_t bus_len = std::strlen(b);
    if (bus_len == 0 || bus_len > bus_name_max) return false;
    for (size_t i = 0; i < bus_len; i++)
        if (!bus_char_ok(b[i])) return false;

    const char *host_start = p, *host_end = slash, *port_start = nullptr;
    if (*p == '[') { // [IPv6]
        const char *close_br = static_cast<const char *>(std::memchr(p, ']', (size_t)(slash - p)));
        if (!close_br) return false;
        host_start = p + 1;
        host_end = close_br;
        if (close_br + 1 != slash) {
            if (close_br[1] != ':') return false;
            port_start = close_br + 2;
        }
    } else {
        const char *colon = static_cast<const char *>(std::memchr(p, ':', (size_t)(slash - p)));
        if (colon) {
            host_end = colon;
            port_start = colon + 1;
        }
    }
    if (host_end == host_start) return false;
    for (const char *c = host_start; c < host_end; c++)
        if (*c <= ' ' || *c == '/' || *c == '@' || *c > '~') return false;
    unsigned long port_value = KR_CAN_SOCKETCAND_PORT;
    if (port_start) {
        if (port_start == slash || slash - port_start > 5) return false;
        port_value = 0;
        for (const char *c = port_start; c < slash; c++) {
            if (*c < '0' || *c > '9') return false;
            port_value = port_value * 10 + (unsigned long)(*c - '0');
        }
        if (port_value == 0 || port_value > 65535) return false;
    }
    if (!copy_out(host_start, (size_t)(host_end - host_start), host, host_size)) return false;
    if (!copy_out(b, bus_len, bus, bus_size)) return false;
    if (port) *port = (uint16_t)port_value;
    return true;
}

int _kr_can_scd_connect(const char *url, kr_scd_reader_st *rd, uint32_t timeout_ms, char *err, size_t err_len)
{
    char host[KR_CAN_DEV_NAME_LEN], bus[bus_name_max + 1];
    uint16_t port = 0;
    if (!_kr_can_scd_parse_url(url, host, sizeof host, &port, bus, sizeof bus)) {
        std::snprintf(err, err_len, "'%s' is not of the form socketcand://HOST[:PORT]/BUS", url);
        return -1;
    }
    uint64_t deadline = now_ms() + timeout_ms;
    int fd = tcp_connect(host, port, deadline, err, err_len);
    if (fd < 0) return -1;
    char open_cmd[bus_name_max + 16];
    std::snprintf(open_cmd, sizeof open_cmd, "< open %s >", bus);
    if (!expect(fd, rd, SCD_EL_HI, "the greeting", deadline, err, err_len) ||
        !send_all(fd, open_cmd, deadline, err, err_len) ||
        !expect(fd, rd, SCD_EL_OK, "opening the bus", deadline, err, err_len) ||
        !send_all(fd, "< rawmode >", deadline, err, err_len) ||
        !expect(fd, rd, SCD_EL_OK, "raw mode", deadline, err, err_len)) {
        close(fd);
        return -1;
    }
    return fd;
}
