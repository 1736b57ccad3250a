#include "sim_client.h"
#include "sim_fork_gate.h"
#include "sim_hub.h"

#include <arpa/inet.h>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

static bool send_all(sim_client_st &c, const std::string &s)
{
    size_t done = 0;
    while (done < s.size()) {
        ssize_t n = send(c.fd, s.data() + done, s.size() - done, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            c.last_error = std::string("send: ") + strerror(errno);
            return false;
        }
        done += (size_t)n;
    }
    return true;
}

// Reads what is there (waiting up to timeout_ms for something); false on close or error.
static bool fill(sim_client_st &c, int timeout_ms)
{
    pollfd p{c.fd, POLLIN, 0};
    int r = poll(&p, 1, timeout_ms);
    if (r < 0 && errno != EINTR) {
        c.last_error = std::string("poll: ") + strerror(errno);
        return false;
    }
    if (r <= 0)
        return true;
    // One buffer per thread: a large array on the stack costs a sanitizer build dearly per call.
    thread_local std::vector<char> rbuf(65536);
    ssize_t n = recv(c.fd, rbuf.data(), rbuf.size(), 0);
    const char *buf = rbuf.data();
    if (n == 0) {
        c.last_error = "the hub closed the connection";
        return false;
    }
    if (n < 0) {
        if (errno == EINTR || errno == EAGAIN)
            return true;
        c.last_error = std::string("recv: ") + strerror(errno);
        return false;
    }
    sim_element_feed(c.in, buf, (size_t)n);
    return true;
}

// Next element of any kind, within the deadline (monotonic ns).
static bool next_element(sim_client_st &c, std::string &el, int64_t deadline)
{
    std::string garbage;
    for (;;) {
        if (sim_element_next(c.in, el, garbage))
            return true;
        int64_t left = (deadline - sim_mono_ns()) / 1000000;
        if (left < 0)
            return false;
        if (!fill(c, (int)left + 1))
            return false;
    }
}

static bool expect(sim_client_st &c, const char *want, int64_t deadline)
{
    std::string el;
    if (!next_element(c, el, deadline)) {
        if (c.last_error.empty())
            c.last_error = std::string("no '< ") + want + " >' from the hub";
        return false;
    }
    if (el != want) {
        c.last_error = std::string("expected '< ") + want + " >', got '< " + el + " >'";
        return false;
    }
    return true;
}

bool sim_client_connect(sim_client_st &c, const std::string &host, uint16_t port, const std::string &bus,
                        int timeout_ms)
{
    sim_client_close(c);
    c.last_error.clear();
    addrinfo hints{}, *res = nullptr;
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &res) != 0 || res == nullptr) {
        c.last_error = "cannot resolve " + host;
        return false;
    }
    c.fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (c.fd < 0 || connect(c.fd, res->ai_addr, res->ai_addrlen) != 0) {
        c.last_error = "cannot connect to " + host + ":" + std::to_string(port) + ": " + strerror(errno);
        freeaddrinfo(res);
        sim_client_close(c);
        return false;
    }
    freeaddrinfo(res);
    int one = 1;
    setsockopt(c.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    c.bus = bus;
    int64_t deadline = sim_mono_ns() + (int64_t)timeout_ms * 1000000;
    if (!expect(c, "hi", deadline) || !send_all(c, "< open " + bus + " >") || !expect(c, "ok", deadline) ||
        !send_all(c, "< rawmode >") || !expect(c, "ok", deadline)) {
        std::string e = c.last_error;
        sim_client_close(c);
        c.last_error = e;
        return false;
    }
    return true;
}

bool sim_client_send(sim_client_st &c, const sim_frame_st &f)
{
    return c.fd >= 0 && send_all(c, sim_format_send(f));
}

bool sim_client_send_text(sim_client_st &c, const std::string &text)
{
    return c.fd >= 0 && send_all(c, text);
}

bool sim_client_recv(sim_client_st &c, sim_frame_st &f, int timeout_ms)
{
    if (c.fd < 0)
        return false;
    int64_t deadline = sim_mono_ns() + (int64_t)timeout_ms * 1000000;
    std::string el, err;
    while (next_element(c, el, deadline)) {
        if (sim_parse_rx(el, f, err)) {
            f.rx_ns = sim_mono_ns();
            return true;
        }
        c.bad_elements++;
    }
    return false;
}

void sim_client_close(sim_client_st &c)
{
    if (c.fd >= 0)
        close(c.fd);
    c.fd = -1;
    c.in = sim_element_reader_st{};
}

// --- the tap ---------------------------------------------------------------------------

struct sim_tap_st {
    sim_client_st client;
    int wake_fd = -1;
    std::thread thread;
    std::mutex m;
    std::condition_variable cv;
    std::vector<sim_frame_st> frames;
    bool stop = false;
    sim_hub_st *hub = nullptr; // set by sim_tap_follow
};

static void tap_loop(sim_tap_st *t)
{
    std::string el, err, garbage;
    char buf[65536];
    for (;;) {
        pollfd p[2] = {{t->client.fd, POLLIN, 0}, {t->wake_fd, POLLIN, 0}};
        if (sim_gate_poll(p, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (p[1].revents & POLLIN)
            break;
        // Read and recorded under the lock, so sim_tap_sync never sees bytes in between.
        std::lock_guard<std::mutex> lk(t->m);
        ssize_t n = recv(t->client.fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n <= 0) {
            if (n < 0 && (errno == EINTR || errno == EAGAIN))
                continue;
            break;
        }
        int64_t now = sim_mono_ns();
        sim_element_feed(t->client.in, buf, (size_t)n);
        while (sim_element_next(t->client.in, el, garbage)) {
            sim_frame_st f;
            if (sim_parse_rx(el, f, err)) {
                f.rx_ns = now;
                t->frames.push_back(f);
            }
        }
        t->cv.notify_all();
    }
}

sim_tap_st *sim_tap_start(uint16_t port, const std::string &bus, std::string &err)
{
    auto *t = new sim_tap_st;
    if (!sim_client_connect(t->client, "127.0.0.1", port, bus)) {
        err = t->client.last_error;
        delete t;
        return nullptr;
    }
    // Frames that came with the handshake's last read.
    std::string el, perr, garbage;
    while (sim_element_next(t->client.in, el, garbage)) {
        sim_frame_st f;
        if (sim_parse_rx(el, f, perr)) {
            f.rx_ns = sim_mono_ns();
            t->frames.push_back(f);
        }
    }
    t->wake_fd = eventfd(0, EFD_CLOEXEC);
    t->thread = sim_gate_thread(tap_loop, t);
    return t;
}

void sim_tap_follow(sim_tap_st *t, sim_hub_st *hub)
{
    t->hub = hub;
}

// A read shows every frame the hub had taken in before it; a bus that never rests is read as it stands.
static void tap_catch_up(sim_tap_st *t)
{
    if (t->hub != nullptr && sim_hub_sync(t->hub, 5000))
        sim_tap_sync(t, 5000);
}

std::vector<sim_frame_st> sim_tap_frames(sim_tap_st *t)
{
    tap_catch_up(t);
    std::lock_guard<std::mutex> lk(t->m);
    return t->frames;
}

size_t sim_tap_count(sim_tap_st *t)
{
    tap_catch_up(t);
    std::lock_guard<std::mutex> lk(t->m);
    return t->frames.size();
}

void sim_tap_clear(sim_tap_st *t)
{
    std::lock_guard<std::mutex> lk(t->m);
    t->frames.clear();
}

bool sim_tap_wait(sim_tap_st *t, const std::function<bool(const std::vector<sim_frame_st> &)> &pred, int timeout_ms)
{
    std::unique_lock<std::mutex> lk(t->m);
    return t->cv.wait_for(lk, std::chrono::milliseconds(timeout_ms), [&] { return pred(t->frames); });
}

bool sim_tap_wait_count(sim_tap_st *t, size_t n, int timeout_ms)
{
    return sim_tap_wait(
        t, [n](const std::vector<sim_frame_st> &v) { return v.size() >= n; }, timeout_ms);
}

bool sim_tap_sync(sim_tap_st *t, int timeout_ms)
{
    std::unique_lock<std::mutex> lk(t->m);
    return t->cv.wait_for(lk, std::chrono::milliseconds(timeout_ms), [&] {
        int n = 0;
        return ioctl(t->client.fd, FIONREAD, &n) != 0 || n == 0;
    });
}

void sim_tap_stop(sim_tap_st *t)
{
    if (t == nullptr)
        return;
    uint64_t one = 1;
    if (write(t->wake_fd, &one, sizeof one) < 0) {
        // The thread still ends when the socket closes below.
        shutdown(t->client.fd, SHUT_RDWR);
    }
    t->thread.join();
    close(t->wake_fd);
    sim_client_close(t->client);
    delete t;
}
