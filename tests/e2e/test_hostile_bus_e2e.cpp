// A hostile bus, end to end: another master stopping or resetting every node, a second client on
// the same device, a daemon that accepts and then hangs up, and numbers that do not fit. Each must
// end the job quickly with a message and status 1, never hang and never report mixed data as read.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "e2e/e2e.h"
#include "sim_setup.h"

namespace {

using bytes = std::vector<uint8_t>;

sim_object_st text_object(const std::string &s)
{
    sim_object_st o;
    o.type = SIM_STR;
    o.access = SIM_RW;
    o.value = o.stored = o.def = bytes(s.begin(), s.end());
    o.max_size = 400;
    return o;
}

class HostileBus : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string err;
        std::vector<sim_device_config_st> devs(1);
        devs[0].node_id = 0x10;
        devs[0].heartbeat_ms = 200;
        ASSERT_TRUE(sim_setup_start(bench, devs, 0, err)) << err;
        ASSERT_TRUE(sim_client_connect(master, "127.0.0.1", port, "vcan0"));
    }
    void TearDown() override
    {
        sim_client_close(master);
        sim_setup_stop(bench);
    }
    std::string can() const { return bench.channel; }

    // Runs krcan (listening first) and, once it listens, lets another master send one NMT command:
    // probe frames go out until one shows in krcan's output.
    e2e::result krcan_with_nmt(const std::vector<std::string> &args, uint8_t command, int timeout_ms = 30000)
    {
        std::mutex m;
        std::condition_variable cv;
        bool listening = false, done = false;
        std::thread other([&] {
            std::unique_lock<std::mutex> l(m);
            for (int i = 0; i < 600 && !listening && !done; i++) {
                sim_client_send(master, sim_frame_std(0x7FF, {}));
                cv.wait_for(l, std::chrono::milliseconds(50), [&] { return listening || done; });
            }
            if (listening) sim_client_send(master, sim_frame_std(0x000, {command, 0x00}));
        });
        e2e::options o;
        o.timeout_ms = timeout_ms;
        o.on_output = [&](const std::string &out) {
            if (out.find("STD ID: 0x7ff, DLC: 0,") == std::string::npos) return;
            std::lock_guard<std::mutex> l(m);
            listening = true;
            cv.notify_all();
        };
        std::vector<std::string> a = {"--can", can()};
        a.insert(a.end(), args.begin(), args.end());
        e2e::result r = box.krcan(a, o);
        {
            std::lock_guard<std::mutex> l(m);
            done = true;
            cv.notify_all();
        }
        other.join();
        return r;
    }

    e2e::sandbox box;
    sim_setup_st bench;
    sim_hub_st *&hub = bench.hub;
    sim_runner_st *&runner = bench.devs;
    sim_client_st master;
    uint16_t &port = bench.port;
};

// A stop for all nodes from another master silences the tool's node: a read then ends with the
// time-out (once, not retried) and says why; a search says so at once instead of hearing nothing.
TEST_F(HostileBus, StopFromAnotherMasterEndsReadsAndSearchesWithTheReason)
{
    std::string err;
    sim_tap_st *tap = sim_tap_start(port, "vcan0", err);
    ASSERT_NE(tap, nullptr) << err;
    e2e::result r = krcan_with_nmt({"--listen=1", "-n", "0x10", "--mindex", "0x1018", "--sindex", "1", "--sdoread"},
                                   0x02);
    EXPECT_TRUE(r.exited(1)) << r.out << r.err;
    EXPECT_NE(r.err.find("0x1018, 1: the tool's own CANopen node 0x1 was stopped by an NMT command"), std::string::npos)
        << r.err;
    EXPECT_EQ(r.out.find("0x31d"), std::string::npos) << r.out;
    // One request and no retry: a retry would wait out a second time-out.
    ASSERT_TRUE(sim_tap_sync(tap, 30000));
    size_t requests = 0;
    for (const sim_frame_st &f : sim_tap_frames(tap))
        if (f.kind == SIM_FRAME_STD && f.id == 0x610 && f.data[0] == 0x40) requests++;
    sim_tap_stop(tap);
    EXPECT_EQ(requests, 1u);

    r = krcan_with_nmt({"--listen=1", "--find"}, 0x02);
    EXPECT_TRUE(r.exited(1)) << r.out << r.err;
    EXPECT_NE(r.out.find("ERROR: find: the tool's own CANopen node 0x1 was stopped by an NMT command"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find("new device(s) found"), std::string::npos) << r.out;
}

// A node id forced before --db holds over the database's own NODEID, as forcenodeid promises.
TEST_F(HostileBus, ForcedNodeIdHoldsOverTheDatabase)
{
    box.write_file("db.json", "{\"DEV\": \"D\", \"NODEID\": 32, \"OBJ_DICT\": []}");
    e2e::result r = box.krcan({"--can", can(), "--forcenodeid", "0x10", "--db", "db.json", "--mindex", "0x1018",
                               "--sindex", "1", "--sdoread"});
    EXPECT_TRUE(r.exited(0)) << r.out << r.err;
    EXPECT_EQ(r.out.substr(r.out.size() >= 6 ? r.out.size() - 6 : 0), "0x31d\n") << r.out;
}

// A reset for all nodes ends the run with status 1, and one line says why even when silent.
TEST_F(HostileBus, ResetFromAnotherMasterEndsTheRunWithALine)
{
    e2e::result r = krcan_with_nmt({"--listen"}, 0x81, 20000);
    ASSERT_FALSE(r.timed_out);
    EXPECT_TRUE(r.exited(1)) << r.err;
    EXPECT_EQ(r.err, "The tool's own CANopen node 0x1 got an NMT reset node command for all nodes; ending the run.\n");
}

// Two krcan processes read two long strings of one device at the same time. A read may fail (the
// device serves one client at a time), but a read that reports success holds its own string whole.
TEST_F(HostileBus, TwoClientsOnOneDeviceNeverReportMixedData)
{
    const std::string a(200, 'A'), b(190, 'b');
    ASSERT_TRUE(sim_dev_add_object(runner, 0x10, 0x2002, 0, text_object(a)));
    ASSERT_TRUE(sim_dev_add_object(runner, 0x10, 0x2003, 0, text_object(b)));
    std::atomic<int> mixed{0}, ok_reads{0}, failed_runs{0};
    auto client = [&](const char *index, const std::string &want) {
        e2e::sandbox own;
        for (int run = 0; run < 6; run++) {
            // Two clients started in step collide on every read; an offset lets some of them through.
            if (want == b) std::this_thread::sleep_for(std::chrono::milliseconds(40 * (run + 1)));
            std::vector<std::string> args = {"--can", can(), "-n", "0x10", "--mindex", index};
            for (int i = 0; i < 5; i++) args.push_back("--sdoreadstr");
            e2e::result r = own.krcan(args);
            std::istringstream lines(r.out);
            std::string line;
            int good = 0;
            while (std::getline(lines, line)) {
                if (line == want)
                    good++;
                else
                    mixed++;
            }
            ok_reads += good;
            if (r.exited(0) && good != 5) mixed++;
            if (!r.exited(0)) {
                failed_runs++;
                if (r.err.find("another SDO client is using node 0x10") == std::string::npos &&
                    r.err.find("TOGGLE") == std::string::npos)
                    ADD_FAILURE() << "a failed read names no reason: " << r.err;
            }
        }
    };
    std::thread t1(client, "0x2002", a), t2(client, "0x2003", b);
    t1.join();
    t2.join();
    EXPECT_EQ(mixed, 0);
    EXPECT_GT(ok_reads, 0);
}

// A second device at the same node id: a read that gets two different answers fails naming the
// node, and a search that hears two identities there says so.
TEST_F(HostileBus, TwoDevicesAtOneNodeIdAreNoticed)
{
    std::string err;
    std::vector<sim_device_config_st> devs(1);
    devs[0].node_id = 0x10;
    devs[0].heartbeat_ms = 200;
    devs[0].name = "B-dev";
    devs[0].product = 7;
    sim_runner_st *second = sim_runner_start(port, "vcan0", devs, err);
    ASSERT_NE(second, nullptr) << err;
    e2e::result r = box.krcan({"--can", can(), "-n", "0x10", "--mindex", "0x5FFF", "--sdoreadstr"});
    EXPECT_TRUE(r.exited(1)) << r.out << r.err;
    EXPECT_NE(r.err.find("0x5fff, 0: node 0x10 gave two different answers"), std::string::npos) << r.err;
    r = box.krcan({"--can", can(), "--find"});
    EXPECT_NE(r.out.find("WARNING: node 0x10 answered with two different identities"), std::string::npos) << r.out;
    sim_runner_stop(second);
}

// A daemon that accepts, greets, and hangs up. The connection is lost before the first job runs:
// every bus job fails at once naming the reason, a later one without a new wait.
class HangingUpDaemon {
public:
    HangingUpDaemon()
    {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd_, (sockaddr *)&sa, sizeof sa);
        listen(fd_, 8);
        socklen_t len = sizeof sa;
        getsockname(fd_, (sockaddr *)&sa, &len);
        port_ = ntohs(sa.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~HangingUpDaemon()
    {
        stop_ = true;
        shutdown(fd_, SHUT_RDWR);
        thread_.join();
        close(fd_);
    }
    uint16_t port() const { return port_; }

private:
    void serve()
    {
        while (!stop_) {
            int c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0) return;
            auto say = [c](const char *t) { return send(c, t, strlen(t), MSG_NOSIGNAL) > 0; };
            say("< hi >");
            // Answer "open" and "rawmode", then hang up.
            std::string in;
            char buf[256];
            int oks = 0;
            while (oks < 2) {
                ssize_t n = recv(c, buf, sizeof buf, 0);
                if (n <= 0) break;
                in.append(buf, (size_t)n);
                while (oks < 2 && in.find('>') != std::string::npos) {
                    in.erase(0, in.find('>') + 1);
                    say("< ok >");
                    oks++;
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            close(c);
        }
    }
    int fd_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

TEST(HangingUp, EveryBusJobFailsAtOnceWithTheReason)
{
    HangingUpDaemon daemon;
    e2e::sandbox box;
    std::string can = "socketcand://127.0.0.1:" + std::to_string(daemon.port()) + "/vcan0";
    for (const char *job : {"--listen", "--find", "--sdoread"}) {
        e2e::options o;
        o.timeout_ms = 20000;
        e2e::result r = box.krcan({"--can", can, "-n", "0x10", "--mindex", "0x1018", job}, o);
        ASSERT_FALSE(r.timed_out) << job;
        EXPECT_TRUE(r.exited(1)) << job << ": " << r.out << r.err;
        EXPECT_NE((r.out + r.err).find("The connection to the CAN interface " + can + " was lost"), std::string::npos)
            << job << ": " << r.out << r.err;
        // Waiting for an answer would take the SDO time-out twice (10 s), or the whole search.
        EXPECT_LT(r.wall_ms, 9000) << job;
    }
    // Three jobs after the loss: each fails with the reason, none waits.
    e2e::result r = box.krcan({"--can", can, "-n", "0x10", "--mindex", "0x1018", "--sdoread", "--find", "--listen=3"});
    EXPECT_TRUE(r.exited(1)) << r.out << r.err;
    EXPECT_EQ(e2e::count(r.out + r.err, "was lost"), 3u) << r.out << r.err;
    EXPECT_LT(r.wall_ms, 9000);

    // A port that never opened: a read fails at once, not after two time-outs.
    r = box.krcan({"--can", "socketcand://127.0.0.1:1/vcan0", "-n", "0x10", "--mindex", "0x1018", "--sdoread"});
    EXPECT_TRUE(r.exited(1)) << r.out << r.err;
    EXPECT_NE((r.out + r.err).find("Couldn't open the connection to the CAN interface socketcand://127.0.0.1:1/vcan0"),
              std::string::npos)
        << r.err;
    EXPECT_LT(r.wall_ms, 9000);
}

} // namespace
