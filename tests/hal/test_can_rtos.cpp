// The CAN port under the scheduler: the library task receives while job tasks send, and a send
// that waits for a stalled server hands the run token on. Each scenario runs in a child process,
// since the scheduler never returns.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "kr_can.h"
#include "kr_rtos.h"
#include "kr_utilities.h"
#include "sim_client.h"
#include "sim_hub.h"

namespace {

std::string g_url;
std::atomic<uint32_t> g_ticks{0};

// A socketcand server that greets, accepts the bus and raw mode, and then never reads again.
uint16_t start_stalled_server()
{
    int lfd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(lfd, reinterpret_cast<sockaddr *>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(lfd, reinterpret_cast<sockaddr *>(&a), &len);
    listen(lfd, 1);
    std::thread([lfd] {
        int fd = accept(lfd, nullptr, nullptr);
        int small = 4096;
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        send(fd, "< hi >", 6, MSG_NOSIGNAL);
        char c;
        for (int oks = 0; oks < 2 && recv(fd, &c, 1, 0) == 1;)
            if (c == '>') {
                send(fd, "< ok >", 6, MSG_NOSIGNAL);
                oks++;
            }
        pause();
    }).detach();
    return ntohs(a.sin_port);
}

void ticker(void *)
{
    for (;;) {
        g_ticks++;
        kr_rtos_task_delay(1);
    }
}

// Sends until the stalled server makes a send fail; the ticker must have run meanwhile.
void stalled_sender(void *)
{
    if (kr_can_set_up(true) != nullptr) std::exit(10);
    kr_can_message_st m = {};
    m.type = CAN_EXT;
    m.id = 0x1ABCDEF0;
    m.data_length = 8;
    uint32_t before = 0;
    for (uint32_t i = 0; i < 2000000; i++) {
        before = g_ticks;
        if (kr_can_send_message(nullptr, &m) != ERR_NONE) {
            // The failed send waited about a second: others ran during that second.
            std::exit(g_ticks - before > 200 ? 0 : 11);
        }
    }
    std::exit(12);
}

[[noreturn]] void run_stalled()
{
    silent = true;
    uint16_t port = start_stalled_server();
    static int app;
    kr_init(&app);
    kr_can_set_baudrate(("socketcand://127.0.0.1:" + std::to_string(port) + "/vcan0").c_str(), 250000);
    kr_rtos_task_create(ticker, "ticker", 10240, nullptr, 2, nullptr);
    kr_rtos_task_create(stalled_sender, "sender", 10240, nullptr, 2, nullptr);
    kr_rtos_start_scheduler();
    std::exit(13);
}

TEST(PortUnderScheduler, WaitingSendHandsTheTokenOn) { EXPECT_EXIT(run_stalled(), ::testing::ExitedWithCode(0), ""); }

// A job task sends requests; the library task receives the peer's answers and hands them to the
// receive filter, which keeps them for the job (the CANopen step would empty the ring): every answer
// arrives, in order.
sim_hub_st *g_hub;
kr_can_message_st g_answers[64];
uint32_t g_answers_in, g_answers_out;

bool keep_answer(void *, kr_can_message_st *msg)
{
    if (g_answers_in - g_answers_out < 64) g_answers[g_answers_in++ % 64] = *msg;
    return false;
}

sim_client_st g_peer;
constexpr uint32_t exchange_count = 500;

void exchange_job(void *)
{
    if (kr_can_set_up(true) != nullptr) std::exit(20);
    while (sim_hub_stats(g_hub).clients < 2) kr_rtos_task_delay(1);
    for (uint32_t i = 0; i < exchange_count; i++) {
        kr_can_message_st req = {};
        req.id = 0x601;
        req.data_length = 4;
        req.data32[0] = i;
        if (kr_can_send_message(nullptr, &req) != ERR_NONE) std::exit(21);
        kr_can_message_st ans;
        uint32_t waited = 0;
        while (g_answers_out == g_answers_in) {
            if (++waited > 5000) std::exit(22);
            kr_rtos_task_delay(1);
        }
        ans = g_answers[g_answers_out++ % 64];
        if (ans.id != 0x581 || ans.data32[0] != i) std::exit(23);
    }
    std::exit(0);
}

[[noreturn]] void run_exchange()
{
    silent = true;
    sim_hub_config_st cfg;
    cfg.quiet = true;
    std::string err;
    g_hub = sim_hub_start(cfg, err);
    if (!g_hub || !sim_client_connect(g_peer, "127.0.0.1", sim_hub_port(g_hub), "vcan0")) std::exit(30);
    std::thread([] { // the device: answers each request on 0x581
        sim_frame_st f;
        while (sim_client_recv(g_peer, f, 10000)) {
            f.id = 0x581;
            sim_client_send(g_peer, f);
        }
    })
        .detach();
    static int app;
    kr_init(&app);
    kr_can_set_baudrate(("socketcand://127.0.0.1:" + std::to_string(sim_hub_port(g_hub)) + "/vcan0").c_str(), 250000);
    kr_can_add_rx_callback(nullptr, keep_answer);
    kr_rtos_task_create(exchange_job, "job", 10240, nullptr, 2, nullptr);
    kr_rtos_start_scheduler();
    std::exit(31);
}

TEST(PortUnderScheduler, LibraryTaskReceivesWhileJobSends)
{
    EXPECT_EXIT(run_exchange(), ::testing::ExitedWithCode(0), "");
}

} // namespace
