#include "sim_hub.h"
#include "sim_fork_gate.h"

#include "sim_frame.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <map>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// A receiver this far behind has stopped reading; beyond it frames are dropped with a message.
constexpr size_t HUB_OUT_LIMIT = 64u << 20;
// While this many frames wait on a paced bus, its clients' input is not read (back-pressure).
constexpr size_t HUB_PACE_QUEUE_LIMIT = 1024;
// A paced bus catches up on lateness up to this much; beyond it the schedule moves on.
constexpr int64_t HUB_CATCH_UP_NS = 10000000;

enum client_mode_e { MODE_HELLO, MODE_BCM, MODE_RAW };

struct hub_client_st {
    int fd = -1;
    uint64_t num = 0;
    client_mode_e mode = MODE_HELLO;
    std::string bus;
    sim_element_reader_st in;
    std::string out;
    size_t out_pos = 0;
    bool overrun_reported = false;
    bool closing = false;
};

struct paced_frame_st {
    sim_frame_st f;
    uint64_t from;
    int64_t due_ns;
};

struct hub_bus_st {
    std::deque<paced_frame_st> queue;
    int64_t busy_until_ns = 0;
};

} // namespace

struct sim_hub_st {
    sim_hub_config_st cfg;
    int listen_fd = -1;
    int wake_fd = -1;
    uint16_t port = 0;
    std::thread thread;
    std::mutex stats_mutex;
    sim_hub_stats_st stats;
    std::atomic<bool> stopping{false};
    // sim_hub_sync: calls asked so far, and the last one answered by an idle round.
    std::mutex sync_mutex;
    std::condition_variable sync_cv;
    uint64_t sync_asked = 0, sync_done = 0;
    // Owned by the hub thread:
    std::vector<std::unique_ptr<hub_client_st>> clients;
    std::map<std::string, hub_bus_st> buses;
    uint64_t next_num = 1;
    std::vector<char> rbuf = std::vector<char>(65536);
};

static void hub_log(sim_hub_st *h, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
static void hub_log(sim_hub_st *h, const char *fmt, ...)
{
    if (h->cfg.quiet)
        return;
    char buf[512];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    fprintf(stderr, "kr_hub: %s\n", buf);
}

static void queue_out(sim_hub_st *h, hub_client_st &c, const std::string &text)
{
    if (c.out.size() - c.out_pos > HUB_OUT_LIMIT) {
        std::lock_guard<std::mutex> lk(h->stats_mutex);
        h->stats.overrun++;
        if (!c.overrun_reported)
            hub_log(h, "client %llu on bus '%s' is not reading: dropping frames for it", (unsigned long long)c.num,
                    c.bus.c_str());
        c.overrun_reported = true;
        return;
    }
    c.overrun_reported = false;
    c.out += text;
}

// Hands a frame to every raw-mode client of the bus but its sender.
static void deliver(sim_hub_st *h, const std::string &bus, const sim_frame_st &f, uint64_t from)
{
    std::string text = sim_format_rx(f, sim_wall_us());
    uint64_t n = 0;
    for (auto &c : h->clients)
        if (c->mode == MODE_RAW && c->num != from && !c->closing && c->bus == bus) {
            queue_out(h, *c, text);
            n++;
        }
    std::lock_guard<std::mutex> lk(h->stats_mutex);
    h->stats.frames_out += n;
}

static void accept_frame(sim_hub_st *h, hub_client_st &c, const sim_frame_st &f)
{
    {
        std::lock_guard<std::mutex> lk(h->stats_mutex);
        h->stats.frames_in++;
    }
    if (h->cfg.bitrate == 0) {
        deliver(h, c.bus, f, c.num);
        return;
    }
    // The bus carries one frame after another: this one ends its own length after the
    // later of its arrival and the end of the frame before it.
    hub_bus_st &b = h->buses[c.bus];
    int64_t now = sim_mono_ns();
    int64_t start = b.busy_until_ns > now ? b.busy_until_ns : now;
    int64_t dur = (int64_t)sim_can_frame_bits(f) * 1000000000 / h->cfg.bitrate;
    b.busy_until_ns = start + dur;
    b.queue.push_back({f, c.num, b.busy_until_ns});
}

static void malformed(sim_hub_st *h, hub_client_st &c, const std::string &what, const std::string &why)
{
    {
        std::lock_guard<std::mutex> lk(h->stats_mutex);
        h->stats.malformed++;
    }
    hub_log(h, "client %llu: dropped '%.64s': %s", (unsigned long long)c.num, what.c_str(), why.c_str());
}

static void handle_element(sim_hub_st *h, hub_client_st &c, const std::string &el)
{
    auto tok = sim_tokens(el);
    std::string err;
    if (tok.empty() || tok.overflow) {
        malformed(h, c, el, tok.empty() ? "empty element" : "too many words");
        return;
    }
    if (tok[0] == "open") {
        if (c.mode != MODE_HELLO || tok.size() != 2) {
            malformed(h, c, el, c.mode != MODE_HELLO ? "bus already open" : "expected 'open BUS'");
            return;
        }
        c.bus = std::string(tok[1]);
        c.mode = MODE_BCM;
        c.out += "< ok >";
        return;
    }
    if (tok[0] == "rawmode") {
        if (c.mode == MODE_HELLO) {
            malformed(h, c, el, "no bus open");
            return;
        }
        c.mode = MODE_RAW;
        c.out += "< ok >";
        return;
    }
    if (tok[0] == "echo") {
        c.out += "< echo >";
        return;
    }
    if (tok[0] == "send" || tok[0] == "senderror") {
        if (c.mode == MODE_HELLO) {
            malformed(h, c, el, "no bus open");
            return;
        }
        sim_frame_st f;
        bool ok = tok[0] == "send" ? sim_parse_send(el, f, err) : sim_parse_senderror(el, f, err);
        if (!ok) {
            malformed(h, c, el, err);
            return;
        }
        accept_frame(h, c, f);
        return;
    }
    malformed(h, c, el, "unknown command");
}

static void close_client(sim_hub_st *h, hub_client_st &c, const char *why)
{
    if (c.fd >= 0) {
        hub_log(h, "client %llu (bus '%s') %s", (unsigned long long)c.num, c.bus.c_str(), why);
        close(c.fd);
    }
    c.fd = -1;
    c.closing = true;
}

static void read_client(sim_hub_st *h, hub_client_st &c)
{
    // One buffer for the hub's life: a large array on the stack costs a sanitizer build dearly
    // on every call.
    char *buf = h->rbuf.data();
    // On a paced bus, small reads keep the loop on time for the frames it has to deliver.
    size_t want = h->cfg.bitrate != 0 ? 2048 : h->rbuf.size();
    int max_rounds = h->cfg.bitrate != 0 ? 1 : 4;
    for (int rounds = 0; rounds < max_rounds; rounds++) {
        ssize_t n = recv(c.fd, buf, want, 0);
        if (n == 0) {
            close_client(h, c, "disconnected");
            return;
        }
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                close_client(h, c, strerror(errno));
            return;
        }
        sim_element_feed(c.in, buf, (size_t)n);
        std::string el, garbage;
        for (;;) {
            bool got = sim_element_next(c.in, el, garbage);
            if (!garbage.empty())
                malformed(h, c, garbage, "text outside '< >'");
            if (!got)
                break;
            handle_element(h, c, el);
        }
        if ((size_t)n < want)
            return;
    }
}

static void write_client(sim_hub_st *h, hub_client_st &c)
{
    while (c.out_pos < c.out.size()) {
        ssize_t n = send(c.fd, c.out.data() + c.out_pos, c.out.size() - c.out_pos, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                // A client that went away may have sent its last frames just before: they still
                // reach the bus, as a socketcand daemon reads what arrived before the reset.
                int err = errno;
                c.out.clear();
                c.out_pos = 0;
                read_client(h, c);
                close_client(h, c, strerror(err));
                return;
            }
            break;
        }
        c.out_pos += (size_t)n;
    }
    if (c.out_pos == c.out.size()) {
        c.out.clear();
        c.out_pos = 0;
    } else if (c.out_pos > (1u << 20) && c.out_pos > c.out.size() / 2) {
        c.out.erase(0, c.out_pos);
        c.out_pos = 0;
    }
}

static void accept_clients(sim_hub_st *h)
{
    for (;;) {
        int fd = accept4(h->listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0)
            return;
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        auto c = std::make_unique<hub_client_st>();
        c->fd = fd;
        c->num = h->next_num++;
        c->out = "< hi >";
        h->clients.push_back(std::move(c));
    }
}

// Nothing left to read from any client and no paced frame waiting: everything sent so far is handed on.
static bool hub_idle(sim_hub_st *h)
{
    for (auto &[name, bus] : h->buses)
        if (!bus.queue.empty())
            return false;
    for (auto &c : h->clients) {
        int n = 0;
        if (c->fd >= 0 && ioctl(c->fd, FIONREAD, &n) == 0 && n > 0)
            return false;
    }
    return true;
}

static void hub_loop(sim_hub_st *h)
{
    std::vector<pollfd> pfds;
    std::vector<hub_client_st *> polled;
    while (!h->stopping) {
        // Paced frames whose time has come.
        int64_t now = sim_mono_ns();
        int64_t next_due = -1;
        for (auto &[name, bus] : h->buses) {
            while (!bus.queue.empty() && bus.queue.front().due_ns <= now) {
                // Woken this late (a loaded machine), the bus restarts from now rather than
                // bursting the backlog out faster than a real bus would.
                int64_t late = now - bus.queue.front().due_ns;
                if (late > HUB_CATCH_UP_NS) {
                    for (auto &q : bus.queue)
                        q.due_ns += late;
                    bus.busy_until_ns += late;
                }
                deliver(h, name, bus.queue.front().f, bus.queue.front().from);
                bus.queue.pop_front();
            }
            if (!bus.queue.empty() && (next_due < 0 || bus.queue.front().due_ns < next_due))
                next_due = bus.queue.front().due_ns;
        }
        for (auto &c : h->clients)
            if (c->fd >= 0 && c->out_pos < c->out.size())
                write_client(h, *c);
        // Forget closed clients.
        size_t kept = 0;
        for (auto &c : h->clients)
            if (c->fd >= 0)
                h->clients[kept++] = std::move(c);
        h->clients.resize(kept);
        {
            std::lock_guard<std::mutex> lk(h->stats_mutex);
            h->stats.clients = (uint32_t)kept;
        }
        // Asked before the look, so the answer covers whatever the callers' clients sent before asking.
        {
            std::lock_guard<std::mutex> lk(h->sync_mutex);
            uint64_t asked = h->sync_asked;
            if (asked != h->sync_done && hub_idle(h)) {
                h->sync_done = asked;
                h->sync_cv.notify_all();
            }
        }

        pfds.clear();
        polled.clear();
        pfds.push_back({h->wake_fd, POLLIN, 0});
        pfds.push_back({h->listen_fd, POLLIN, 0});
        for (auto &c : h->clients) {
            short ev = 0;
            bool held = false;
            if (h->cfg.bitrate != 0 && c->mode != MODE_HELLO) {
                auto it = h->buses.find(c->bus);
                held = it != h->buses.end() && it->second.queue.size() >= HUB_PACE_QUEUE_LIMIT;
            }
            if (!held)
                ev |= POLLIN;
            if (c->out_pos < c->out.size())
                ev |= POLLOUT;
            pfds.push_back({c->fd, ev, 0});
            polled.push_back(c.get());
        }
        timespec ts{}, *tsp = nullptr;
        if (next_due >= 0) {
            int64_t wait = next_due - sim_mono_ns();
            if (wait < 0)
                wait = 0;
            ts.tv_sec = wait / 1000000000;
            ts.tv_nsec = wait % 1000000000;
            tsp = &ts;
        }
        int r = sim_gate_ppoll(pfds.data(), pfds.size(), tsp);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            hub_log(h, "poll failed: %s", strerror(errno));
            break;
        }
        if (pfds[0].revents & POLLIN) {
            uint64_t v;
            if (read(h->wake_fd, &v, sizeof v) < 0 && errno != EAGAIN)
                break;
            if (h->stopping)
                break;
        }
        if (pfds[1].revents & POLLIN)
            accept_clients(h);
        for (size_t i = 0; i < polled.size(); i++) {
            hub_client_st &c = *polled[i];
            short re = pfds[i + 2].revents;
            if (c.fd < 0 || re == 0)
                continue;
            if (re & POLLIN)
                read_client(h, c);
            else if (re & (POLLERR | POLLHUP | POLLNVAL))
                close_client(h, c, "disconnected");
            if (c.fd >= 0 && (re & POLLOUT))
                write_client(h, c);
        }
    }
    for (auto &c : h->clients)
        if (c->fd >= 0)
            close(c->fd);
    h->clients.clear();
}

sim_hub_st *sim_hub_start(const sim_hub_config_st &cfg, std::string &err)
{
    auto h = std::make_unique<sim_hub_st>();
    h->cfg = cfg;
    h->listen_fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (h->listen_fd < 0) {
        err = std::string("socket: ") + strerror(errno);
        return nullptr;
    }
    int one = 1;
    setsockopt(h->listen_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(cfg.port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t alen = sizeof a;
    if (bind(h->listen_fd, (sockaddr *)&a, sizeof a) != 0 || listen(h->listen_fd, 64) != 0 ||
        getsockname(h->listen_fd, (sockaddr *)&a, &alen) != 0) {
        err = "cannot listen on 127.0.0.1:" + std::to_string(cfg.port) + ": " + strerror(errno);
        close(h->listen_fd);
        return nullptr;
    }
    h->port = ntohs(a.sin_port);
    h->wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (h->wake_fd < 0) {
        err = std::string("eventfd: ") + strerror(errno);
        close(h->listen_fd);
        return nullptr;
    }
    sim_hub_st *raw = h.get();
    raw->thread = sim_gate_thread(hub_loop, raw);
    return h.release();
}

uint16_t sim_hub_port(const sim_hub_st *hub)
{
    return hub->port;
}

sim_hub_stats_st sim_hub_stats(sim_hub_st *hub)
{
    std::lock_guard<std::mutex> lk(hub->stats_mutex);
    return hub->stats;
}

bool sim_hub_sync(sim_hub_st *hub, int timeout_ms)
{
    std::unique_lock<std::mutex> lk(hub->sync_mutex);
    uint64_t mine = ++hub->sync_asked;
    uint64_t one = 1;
    if (write(hub->wake_fd, &one, sizeof one) < 0)
        perror("kr_hub: eventfd write");
    return hub->sync_cv.wait_for(lk, std::chrono::milliseconds(timeout_ms), [&] { return hub->sync_done >= mine; });
}

void sim_hub_stop(sim_hub_st *hub)
{
    if (hub == nullptr)
        return;
    uint64_t one = 1;
    hub->stopping = true;
    if (write(hub->wake_fd, &one, sizeof one) < 0)
        perror("kr_hub: eventfd write");
    if (hub->thread.joinable())
        hub->thread.join();
    close(hub->listen_fd);
    close(hub->wake_fd);
    delete hub;
}
