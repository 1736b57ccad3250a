// The CAN port on the virtual bus: frames both ways through the hub, bursts without loss, the full
// receive ring, the refused baud rate, a server that goes away, one that sends garbage, and one that
// stops reading.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/time.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "kr_can.h"
#include "kr_utilities.h"
#include "sim_client.h"
#include "sim_hub.h"

namespace {

using clock_type = std::chrono::steady_clock;

std::string url(uint16_t port, const char *bus = "vcan0")
{
    return "socketcand://127.0.0.1:" + std::to_string(port) + "/" + bus;
}

kr_can_message_st make_msg(kr_can_msg_types_e type, uint32_t id, std::vector<uint8_t> data)
{
    kr_can_message_st m = {};
    m.type = type;
    m.id = id;
    m.data_length = (uint8_t)data.size();
    for (size_t i = 0; i < data.size() && i < 8; i++) m.data[i] = data[i];
    return m;
}

// Steps the port (as the library task does) and pops until `count` frames came or the time ran out.
std::vector<kr_can_message_st> receive(size_t count, int timeout_ms = 5000)
{
    std::vector<kr_can_message_st> got;
    auto end = clock_type::now() + std::chrono::milliseconds(timeout_ms);
    while (got.size() < count && clock_type::now() < end) {
        _kr_can_hal_step(2);
        kr_can_message_st m;
        bool any = false;
        while (kr_can_pop_message(nullptr, &m) == ERR_NONE) {
            got.push_back(m);
            any = true;
        }
        if (!any) std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return got;
}

// Steps without popping for a while.
void step_for(int ms)
{
    auto end = clock_type::now() + std::chrono::milliseconds(ms);
    while (clock_type::now() < end) {
        _kr_can_hal_step(2);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

sim_frame_st to_sim(const kr_can_message_st &m)
{
    sim_frame_st f = sim_frame_make(m.id, m.data, m.data_length);
    f.kind = m.type == CAN_EXT ? SIM_FRAME_EXT : SIM_FRAME_STD;
    return f;
}

// Frame i of a burst: standard and extended identifiers, every length.
kr_can_message_st burst_msg(uint32_t i)
{
    kr_can_message_st m = {};
    bool ext = i % 3 == 1;
    m.type = ext ? CAN_EXT : CAN_STD;
    m.id = ext ? (0x10000000u | i) : (i & 0x7FF);
    m.data_length = (uint8_t)(i % 9);
    for (int k = 0; k < m.data_length; k++) m.data[k] = (uint8_t)(i >> (k % 4 * 8)) ^ (uint8_t)k;
    return m;
}

bool same(const kr_can_message_st &a, const kr_can_message_st &b)
{
    return a.type == b.type && a.id == b.id && a.data_length == b.data_length &&
           std::memcmp(a.data, b.data, a.data_length) == 0;
}

class PortOnHub : public ::testing::Test {
protected:
    sim_hub_st *hub = nullptr;
    sim_client_st peer;

    void SetUp() override
    {
        silent = true;
        sim_hub_config_st cfg;
        cfg.quiet = true;
        std::string err;
        hub = sim_hub_start(cfg, err);
        ASSERT_NE(hub, nullptr) << err;
        ASSERT_TRUE(sim_client_connect(peer, "127.0.0.1", sim_hub_port(hub), "vcan0")) << peer.last_error;
        _kr_can_init();
        ASSERT_TRUE(kr_can_set_baudrate(url(sim_hub_port(hub)).c_str(), 250000));
        ASSERT_EQ(kr_can_set_up(true), nullptr);
        ASSERT_TRUE(kr_can_is_connected());
        // The hub relays to clients in raw mode only: wait until it counts both.
        auto end = clock_type::now() + std::chrono::seconds(5);
        while (sim_hub_stats(hub).clients < 2 && clock_type::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    void TearDown() override
    {
        kr_can_close();
        kr_can_add_rx_callback(nullptr, nullptr);
        kr_can_add_tx_callback(nullptr, nullptr);
        kr_can_clear_rx_buffer(nullptr);
        sim_client_close(peer);
        if (hub) sim_hub_stop(hub);
        silent = true;
    }
};

TEST_F(PortOnHub, StandardExtendedAndErrorFramesBothWays)
{
    const kr_can_message_st out[] = {
        make_msg(CAN_STD, 0x601, {0x40, 0x18, 0x10, 0x01, 0, 0, 0, 0}),
        make_msg(CAN_EXT, 0x15560005, {'h', 'i'}),
        make_msg(CAN_STD, 0x000, {0x81, 0x05}),
        make_msg(CAN_STD, 0x7FF, {}),
    };
    kr_can_message_st err_frame = make_msg(CAN_ERR, 0x004, {});
    EXPECT_EQ(kr_can_send_message(nullptr, &err_frame), KR_CAN_ERR_SEND) << "never as a data frame 0x004";
    for (const kr_can_message_st &m : out) ASSERT_EQ(kr_can_send_message(nullptr, &m), ERR_NONE);
    for (const kr_can_message_st &m : out) {
        sim_frame_st f;
        ASSERT_TRUE(sim_client_recv(peer, f, 3000));
        EXPECT_TRUE(sim_frame_same(f, to_sim(m))) << sim_frame_str(f);
    }

    ASSERT_TRUE(sim_client_send(peer, sim_frame_std(0x581, {0x43, 0x18, 0x10, 0x01, 0x1D, 0x03, 0, 0})));
    ASSERT_TRUE(sim_client_send(peer, sim_frame_ext(0x1ABCDEF0, {1, 2, 3})));
    ASSERT_TRUE(sim_client_send(peer, sim_frame_err(0x004)));
    ASSERT_TRUE(sim_client_send(peer, sim_frame_std(0x705, {0x05})));
    struct timeval before;
    gettimeofday(&before, nullptr);
    std::vector<kr_can_message_st> in = receive(4);
    ASSERT_EQ(in.size(), 4u);
    EXPECT_TRUE(same(in[0], make_msg(CAN_STD, 0x581, {0x43, 0x18, 0x10, 0x01, 0x1D, 0x03, 0, 0})));
    EXPECT_TRUE(same(in[1], make_msg(CAN_EXT, 0x1ABCDEF0, {1, 2, 3})));
    EXPECT_EQ(in[2].type, CAN_ERR);
    EXPECT_EQ(in[2].id, 0x004u);
    EXPECT_TRUE(same(in[3], make_msg(CAN_STD, 0x705, {0x05})));
    // The receive time is wall-clock time of the frame last taken.
    struct timeval t = kr_can_get_rx_time();
    EXPECT_LE(std::labs((long)(t.tv_sec - before.tv_sec)), 2);
}

TEST_F(PortOnHub, BurstOfTenThousandEachWayInOrderWithoutLoss)
{
    constexpr uint32_t n = 10000;
    std::thread sender([&] {
        for (uint32_t i = 0; i < n; i++) sim_client_send(peer, to_sim(burst_msg(i)));
    });
    std::vector<kr_can_message_st> in = receive(n, 30000);
    sender.join();
    ASSERT_EQ(in.size(), n);
    for (uint32_t i = 0; i < n; i++) ASSERT_TRUE(same(in[i], burst_msg(i))) << "frame " << i;

    std::atomic<uint32_t> received{0};
    std::atomic<bool> in_order{true};
    std::thread receiver([&] {
        sim_frame_st f;
        while (received < n && sim_client_recv(peer, f, 5000)) {
            if (!sim_frame_same(f, to_sim(burst_msg(received)))) in_order = false;
            received++;
        }
    });
    for (uint32_t i = 0; i < n; i++) {
        kr_can_message_st m = burst_msg(i);
        ASSERT_EQ(kr_can_send_message(nullptr, &m), ERR_NONE) << "frame " << i;
        if (i % 256 == 0) _kr_can_hal_step(2); // the library task flushes between sends too
    }
    auto end = clock_type::now() + std::chrono::seconds(30);
    while (received < n && clock_type::now() < end) {
        _kr_can_hal_step(2);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    receiver.join();
    EXPECT_EQ(received.load(), n);
    EXPECT_TRUE(in_order.load());
}

// A ring that is not emptied fills to 2048 frames, says so once, and loses nothing: the rest waits
// in the connection until there is room.
TEST_F(PortOnHub, FullReceiveRingSaysSoAndKeepsTheRest)
{
    constexpr uint32_t n = CONFIG_CAN0_RX_BUFFER_SIZE + 100;
    for (uint32_t i = 0; i < n; i++) ASSERT_TRUE(sim_client_send(peer, to_sim(burst_msg(i))));
    auto end = clock_type::now() + std::chrono::seconds(20);
    while (sim_hub_stats(hub).frames_out < n && clock_type::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    ASSERT_GE(sim_hub_stats(hub).frames_out, n) << "the hub handed every frame to the port's connection";
    silent = false;
    ::testing::internal::CaptureStderr();
    step_for(300);
    kr_can_message_st local = make_msg(CAN_STD, 0x123, {1});
    EXPECT_EQ(kr_can_send_flags(nullptr, &local, CAN_SEND_FLAGS_LOCAL | CAN_SEND_FLAGS_NO_TX_CALLB),
              ERR_BUFFER_OVERFLOW);
    std::string err = ::testing::internal::GetCapturedStderr();
    silent = true;
    size_t at = err.find("** CAN RX buffer full**\n");
    EXPECT_NE(at, std::string::npos) << err;
    EXPECT_EQ(err.find("** CAN RX buffer full**", at + 1), std::string::npos) << "said once, not per step";

    std::vector<kr_can_message_st> first;
    kr_can_message_st m;
    while (kr_can_pop_message(nullptr, &m) == ERR_NONE) first.push_back(m);
    ASSERT_EQ(first.size(), CONFIG_CAN0_RX_BUFFER_SIZE);
    std::vector<kr_can_message_st> rest = receive(n - CONFIG_CAN0_RX_BUFFER_SIZE);
    ASSERT_EQ(rest.size(), n - CONFIG_CAN0_RX_BUFFER_SIZE);
    first.insert(first.end(), rest.begin(), rest.end());
    for (uint32_t i = 0; i < n; i++) ASSERT_TRUE(same(first[i], burst_msg(i))) << "frame " << i;
}

// The receive filter drops what it refuses; LOCAL frames loop back; the transmit observer sees sends.
TEST_F(PortOnHub, CallbacksAndSendFlags)
{
    static int tx_seen;
    static uint32_t tx_flags;
    tx_seen = 0;
    kr_can_add_rx_callback(nullptr, [](void *, kr_can_message_st *msg) { return msg->id != 0x222; });
    kr_can_add_tx_callback(nullptr, [](void *, const kr_can_message_st *, uint32_t flags) {
        tx_seen++;
        tx_flags = flags;
    });
    ASSERT_TRUE(sim_client_send(peer, sim_frame_std(0x222, {1})));
    ASSERT_TRUE(sim_client_send(peer, sim_frame_std(0x333, {2})));
    std::vector<kr_can_message_st> in = receive(1);
    ASSERT_EQ(in.size(), 1u);
    EXPECT_EQ(in[0].id, 0x333u);

    kr_can_message_st m = make_msg(CAN_STD, 0x000, {0x81, 0x01});
    EXPECT_EQ(kr_can_send_flags(nullptr, &m, CAN_SEND_FLAGS_LOCAL | CAN_SEND_FLAGS_NO_TX_CALLB), ERR_NONE);
    EXPECT_EQ(tx_seen, 0);
    kr_can_message_st back;
    ASSERT_EQ(kr_can_pop_message(nullptr, &back), ERR_NONE);
    EXPECT_TRUE(same(back, m));

    EXPECT_EQ(kr_can_send_flags(nullptr, &m, CAN_SEND_FLAGS_NORMAL), ERR_NONE);
    EXPECT_EQ(tx_seen, 1);
    EXPECT_EQ(tx_flags, (uint32_t)CAN_SEND_FLAGS_NORMAL);
    sim_frame_st f;
    ASSERT_TRUE(sim_client_recv(peer, f, 3000));
    EXPECT_TRUE(sim_frame_same(f, to_sim(m)));
    EXPECT_EQ(kr_can_pop_message(nullptr, &back), ERR_BUFFER_EMPTY) << "a NORMAL send is not looped back";
}

TEST_F(PortOnHub, InvalidBaudrateLeavesFaultAndSendsNothing)
{
    kr_can_close();
    ASSERT_TRUE(kr_can_set_baudrate(url(sim_hub_port(hub)).c_str(), 300000));
    silent = false;
    ::testing::internal::CaptureStderr();
    const char *r = kr_can_set_up(false);
    std::string err = ::testing::internal::GetCapturedStderr();
    silent = true;
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(std::string(r), "Couldn't open the connection to the CAN interface " + url(sim_hub_port(hub)) + ".");
    EXPECT_NE(err.find("Invalid baudrate 300000. Baudrate has to be 100k, 125k, 250k, 500k or 1M.\n"),
              std::string::npos)
        << err;
    EXPECT_EQ(kr_can_get_state(), CAN_STATE_FAULT);
    EXPECT_EQ(kr_can_get_error_state(nullptr), CAN_ERROR_BUS_OFF);

    // A send in FAULT neither reopens nor pretends: it reports that nothing went out.
    kr_can_message_st m = make_msg(CAN_STD, 0x601, {1});
    EXPECT_EQ(kr_can_send_message(nullptr, &m), ERR_MESSAGE_NOT_SENT);
    EXPECT_EQ(kr_can_get_state(), CAN_STATE_FAULT);
    sim_frame_st f;
    EXPECT_FALSE(sim_client_recv(peer, f, 200));

    ASSERT_TRUE(kr_can_set_baudrate(nullptr, 1000000));
    EXPECT_EQ(kr_can_set_up(true), nullptr);
    EXPECT_EQ(kr_can_send_message(nullptr, &m), ERR_NONE);
    EXPECT_TRUE(sim_client_recv(peer, f, 3000));
}

// The first send opens a closed port by itself.
TEST_F(PortOnHub, FirstSendOpensTheClosedPort)
{
    kr_can_close();
    EXPECT_EQ(kr_can_get_state(), CAN_STATE_INIT);
    kr_can_message_st m = make_msg(CAN_STD, 0x701, {0});
    EXPECT_EQ(kr_can_send_message(nullptr, &m), ERR_NONE);
    EXPECT_TRUE(kr_can_is_connected());
    sim_frame_st f;
    ASSERT_TRUE(sim_client_recv(peer, f, 3000));
    EXPECT_EQ(f.id, 0x701u);
}

// The hub goes away: FAULT with a message, no SIGPIPE, sends report it; a forced set-up reconnects.
TEST_F(PortOnHub, ServerClosingLeavesFaultAndForcedSetUpReconnects)
{
    uint16_t port = sim_hub_port(hub);
    sim_client_close(peer);
    sim_hub_stop(hub);
    hub = nullptr;
    silent = false;
    ::testing::internal::CaptureStderr();
    kr_can_message_st m = make_msg(CAN_STD, 0x601, {1, 2, 3});
    for (int i = 0; i < 500 && kr_can_get_state() == CAN_STATE_OPEN; i++) {
        _kr_can_hal_step(2);
        kr_can_send_message(nullptr, &m); // writing into a closed connection must not raise SIGPIPE
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::string err = ::testing::internal::GetCapturedStderr();
    silent = true;
    EXPECT_EQ(kr_can_get_state(), CAN_STATE_FAULT);
    EXPECT_NE(err.find("The connection to " + url(port) + " was lost"), std::string::npos) << err;
    EXPECT_EQ(kr_can_send_message(nullptr, &m), ERR_MESSAGE_NOT_SENT);

    sim_hub_config_st cfg;
    cfg.quiet = true;
    cfg.port = port;
    std::string why;
    hub = sim_hub_start(cfg, why);
    ASSERT_NE(hub, nullptr) << why;
    ASSERT_TRUE(sim_client_connect(peer, "127.0.0.1", port, "vcan0")) << peer.last_error;
    EXPECT_EQ(kr_can_set_up(false), nullptr) << "a set-up in FAULT tries again";
    EXPECT_EQ(kr_can_set_up(true), nullptr);
    auto end = clock_type::now() + std::chrono::seconds(5);
    while (sim_hub_stats(hub).clients < 2 && clock_type::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(kr_can_send_message(nullptr, &m), ERR_NONE);
    sim_frame_st f;
    EXPECT_TRUE(sim_client_recv(peer, f, 3000));
}

// --- scripted servers: what a hub never does ---------------------------------------------

// Accepts one connection, answers the raw-mode handshake (or refuses it), then runs `script`.
class ScriptedServer {
public:
    explicit ScriptedServer(std::function<void(int fd)> script, bool refuse_bus = false)
        : script_(std::move(script)), refuse_(refuse_bus)
    {
        listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listen_fd_, reinterpret_cast<sockaddr *>(&a), sizeof a);
        socklen_t len = sizeof a;
        getsockname(listen_fd_, reinterpret_cast<sockaddr *>(&a), &len);
        port_ = ntohs(a.sin_port);
        listen(listen_fd_, 1);
        thread_ = std::thread([this] { run(); });
    }
    ~ScriptedServer()
    {
        done_ = true;
        thread_.join();
        close(listen_fd_);
    }
    uint16_t port() const { return port_; }
    std::atomic<bool> done_{false};

private:
    std::string read_element(int fd)
    {
        std::string s;
        char c;
        while (!done_ && recv(fd, &c, 1, 0) == 1) {
            s += c;
            if (c == '>') break;
        }
        return s;
    }
    void run()
    {
        pollfd p = {listen_fd_, POLLIN, 0};
        while (!done_ && poll(&p, 1, 50) == 0) {
        }
        if (done_) return;
        int fd = accept(listen_fd_, nullptr, nullptr);
        send(fd, "< hi >", 6, MSG_NOSIGNAL);
        read_element(fd);
        if (refuse_) {
            const char *no = "< error could not open bus >";
            send(fd, no, std::strlen(no), MSG_NOSIGNAL);
        } else {
            send(fd, "< ok >", 6, MSG_NOSIGNAL);
            read_element(fd);
            send(fd, "< ok >", 6, MSG_NOSIGNAL);
            script_(fd);
        }
        while (!done_) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        close(fd);
    }
    std::function<void(int)> script_;
    bool refuse_;
    int listen_fd_ = -1;
    uint16_t port_ = 0;
    std::thread thread_;
};

void send_text(int fd, const std::string &s) { send(fd, s.data(), s.size(), MSG_NOSIGNAL); }

TEST(PortScripted, GarbageFromTheServerIsDroppedWithAMessage)
{
    std::string overlong = "< frame 123 1.0 " + std::string(5000, 'A') + " >";
    ScriptedServer server([&](int fd) {
        send_text(fd, "< frame 123 1.0 112233445566778899 >"); // 9 bytes
        send_text(fd, "plain text\n");
        send_text(fd, "< frame 12 1.0 XY >< frame 999 1.0 >< bogus >");
        send_text(fd, std::string("< frame \x01\xff 1.0 >", 17));
        send_text(fd, overlong);
        send_text(fd, "< frame 321 1.000000 CAFE >");
    });
    silent = false;
    _kr_can_init();
    ASSERT_TRUE(kr_can_set_baudrate(url(server.port()).c_str(), 250000));
    ::testing::internal::CaptureStderr();
    ASSERT_EQ(kr_can_set_up(true), nullptr);
    std::vector<kr_can_message_st> in = receive(1);
    std::string err = ::testing::internal::GetCapturedStderr();
    silent = true;
    ASSERT_EQ(in.size(), 1u) << err;
    EXPECT_TRUE(same(in[0], make_msg(CAN_STD, 0x321, {0xCA, 0xFE})));
    EXPECT_TRUE(kr_can_is_connected());
    EXPECT_NE(err.find("data longer than 8 bytes"), std::string::npos) << err;
    EXPECT_NE(err.find("bad hexadecimal data"), std::string::npos) << err;
    EXPECT_NE(err.find("identifier out of range"), std::string::npos) << err;
    EXPECT_NE(err.find("unknown element"), std::string::npos) << err;
    EXPECT_NE(err.find("text outside an element"), std::string::npos) << err;
    EXPECT_NE(err.find("element longer than"), std::string::npos) << err;
    kr_can_close();
}

TEST(PortScripted, RefusedBusAndNoServer)
{
    {
        ScriptedServer server([](int) {}, true);
        _kr_can_init();
        ASSERT_TRUE(kr_can_set_baudrate(url(server.port(), "nobus").c_str(), 250000));
        silent = false;
        ::testing::internal::CaptureStderr();
        EXPECT_NE(kr_can_set_up(true), nullptr);
        std::string err = ::testing::internal::GetCapturedStderr();
        silent = true;
        EXPECT_EQ(kr_can_get_state(), CAN_STATE_FAULT);
        EXPECT_NE(err.find("could not open bus"), std::string::npos) << err;
    }
    // Nothing listens on a port that was just closed.
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr *>(&a), &len);
    close(s);
    ASSERT_TRUE(kr_can_set_baudrate(url(ntohs(a.sin_port)).c_str(), 250000));
    silent = false;
    ::testing::internal::CaptureStderr();
    const char *r = kr_can_set_up(true);
    std::string err = ::testing::internal::GetCapturedStderr();
    silent = true;
    ASSERT_NE(r, nullptr);
    EXPECT_NE(err.find("Connection refused"), std::string::npos) << err;
    EXPECT_EQ(kr_can_get_state(), CAN_STATE_FAULT);
}

// A server that stops reading: sends succeed while buffers have room, then one waits a bounded time
// and reports the error. No send claims success for a frame it dropped.
TEST(PortScripted, StalledServerMakesSendsFailAfterABoundedWait)
{
    ScriptedServer server([](int fd) {
        int small = 4096;
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    });
    _kr_can_init();
    ASSERT_TRUE(kr_can_set_baudrate(url(server.port()).c_str(), 250000));
    ASSERT_EQ(kr_can_set_up(true), nullptr);
    kr_can_message_st m = make_msg(CAN_EXT, 0x1FFFFFFF, {1, 2, 3, 4, 5, 6, 7, 8});
    kr_errors_e r = ERR_NONE;
    uint32_t sent = 0;
    auto start = clock_type::now();
    double last_ms = 0;
    while (sent < 2000000) {
        auto t0 = clock_type::now();
        r = kr_can_send_message(nullptr, &m);
        last_ms = std::chrono::duration<double, std::milli>(clock_type::now() - t0).count();
        if (r != ERR_NONE) break;
        sent++;
    }
    EXPECT_EQ(r, KR_CAN_ERR_SEND) << "after " << sent << " frames";
    EXPECT_GE(last_ms, KR_CAN_TX_TIMEOUT_MS * 0.9);
    EXPECT_LE(last_ms, KR_CAN_TX_TIMEOUT_MS * 3.0);
    EXPECT_LT(std::chrono::duration<double>(clock_type::now() - start).count(), 20.0);
    server.done_ = true;
    kr_can_close();
}

TEST(PortNames, ChannelNameLimit)
{
    std::string name(KR_CAN_DEV_NAME_LEN - 1, 'x');
    EXPECT_TRUE(kr_can_set_dev(name.c_str()));
    EXPECT_EQ(std::string(kr_can_get_dev()), name);
    std::string too_long(KR_CAN_DEV_NAME_LEN, 'y');
    EXPECT_FALSE(kr_can_set_dev(too_long.c_str()));
    EXPECT_FALSE(kr_can_set_baudrate(too_long.c_str(), 500000));
    EXPECT_FALSE(kr_can_set_dev(nullptr));
    EXPECT_EQ(std::string(kr_can_get_dev()), name) << "a refused name changes nothing";
    EXPECT_NE(kr_can_get_baudrate(nullptr), 500000u);
    EXPECT_TRUE(kr_can_device_is_can("socketcand://127.0.0.1/vcan0"));
    EXPECT_FALSE(kr_can_device_is_can("socketcand://127.0.0.1"));
    EXPECT_EQ(kr_can_get_netdev_baudrate("socketcand://127.0.0.1/vcan0"), 0u);
}

} // namespace
