// The CAN port on SocketCAN. What needs the kernel's CAN support skips itself where AF_CAN sockets
// fail; the refusals are tested everywhere.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <linux/can.h>
#include <linux/can/error.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <vector>
#include <sys/time.h>
#include <unistd.h>

#include "../../hal/kr_hal/src_linux/can/kr_can_port.h"
#include "e2e/e2e.h"
#include "kr_can.h"
#include "kr_utilities.h"

namespace {

bool kernel_has_can()
{
    int fd = socket(PF_CAN, SOCK_RAW, CAN_RAW);
    if (fd < 0) return false;
    close(fd);
    return true;
}

// A vcan interface that is up, or empty when there is none.
std::string find_vcan()
{
    kr_can_set_baudrate(nullptr, 250000); // refreshes the interface list
    for (int32_t i = 0; i < kr_can_get_device_count(); i++)
        if (kr_can_device_is_virtual(kr_can_get_device_name(i))) return kr_can_get_device_name(i);
    return "";
}

void run_ip(const std::vector<std::string> &args)
{
    e2e::run_tool(args[0], std::vector<std::string>(args.begin() + 1, args.end()));
}

TEST(SocketCan, MissingInterfaceFailsWithAClearMessage)
{
    silent = false;
    _kr_can_init();
    ASSERT_TRUE(kr_can_set_baudrate("nocan9", 250000));
    ::testing::internal::CaptureStderr();
    const char *r = kr_can_set_up(true);
    std::string err = ::testing::internal::GetCapturedStderr();
    silent = true;
    ASSERT_NE(r, nullptr);
    EXPECT_STREQ(r, "Couldn't open the connection to the CAN interface nocan9.");
    EXPECT_NE(err.find("Error when connecting to CAN interface nocan9: "), std::string::npos) << err;
    EXPECT_EQ(kr_can_get_state(), CAN_STATE_FAULT);
    kr_can_message_st m = {};
    EXPECT_EQ(kr_can_send_message(nullptr, &m), ERR_MESSAGE_NOT_SENT);
    EXPECT_EQ(kr_can_get_netdev_baudrate("nocan9"), 0u);
    EXPECT_FALSE(kr_can_device_is_can("nocan9"));
    EXPECT_FALSE(kr_can_device_is_can("../../etc"));
    kr_can_close();
    EXPECT_EQ(kr_can_get_state(), CAN_STATE_INIT);
}

// The list holds only CAN interfaces, so never the loopback.
TEST(SocketCan, InterfaceListHoldsOnlyCanInterfaces)
{
    ASSERT_TRUE(kr_can_set_baudrate("can0", 250000));
    for (int32_t i = 0; i < kr_can_get_device_count(); i++) {
        const char *name = kr_can_get_device_name(i);
        ASSERT_NE(name, nullptr);
        EXPECT_TRUE(kr_can_device_is_can(name)) << name;
        EXPECT_STRNE(name, "lo");
    }
    EXPECT_EQ(kr_can_get_device_name(kr_can_get_device_count()), nullptr);
    EXPECT_EQ(kr_can_get_device_name(-1), nullptr);
}

// Creating a vcan either works (and the bus is listed as virtual) or says why not.
TEST(SocketCan, CreateVcanWorksOrSaysWhy)
{
    char err[128];
    EXPECT_FALSE(kr_can_create_vcan("bad/name", err, sizeof err));
    EXPECT_NE(std::string(err).find("not a valid interface name"), std::string::npos) << err;
    EXPECT_FALSE(kr_can_create_vcan("lo", err, sizeof err));
    EXPECT_NE(std::string(err).find("already exists"), std::string::npos) << err;

    const char *name = "krtest0";
    if (kr_can_create_vcan(name, err, sizeof err)) {
        bool listed = false;
        for (int32_t i = 0; i < kr_can_get_device_count(); i++)
            listed |= std::strcmp(kr_can_get_device_name(i), name) == 0;
        EXPECT_TRUE(listed);
        EXPECT_TRUE(kr_can_device_is_virtual(name));
        run_ip({"ip", "link", "del", name});
    } else {
        EXPECT_GT(std::strlen(err), 10u) << "a reason is given";
    }
}

// The reading of raw frames needs no CAN support: a datagram pair carries them as a raw socket does.
// A remote request (node guarding on 0x705) is no frame of the library's: as data it would read as a
// boot-up of node 5.
TEST(SocketCan, RemoteRequestsAreNotReadAsData)
{
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0, sv), 0);
    for (canid_t id : {(canid_t)(0x705 | CAN_RTR_FLAG), (canid_t)0x705}) {
        can_frame g = {};
        g.can_id = id;
        g.can_dlc = 1;
        ASSERT_EQ(write(sv[1], &g, sizeof g), (ssize_t)sizeof g);
    }
    kr_can_message_st m = {};
    struct timeval tv;
    int error = 0;
    ASSERT_EQ(_kr_can_socketcan_read(sv[0], &m, &tv, &error), 1);
    EXPECT_EQ(m.id, 0x705u);
    EXPECT_EQ(m.data_length, 1u);
    EXPECT_EQ(_kr_can_socketcan_read(sv[0], &m, &tv, &error), 0) << "only the data frame was read";
    close(sv[0]);
    close(sv[1]);
}

// Frames both ways between the port and a raw socket on a vcan bus.
TEST(SocketCan, FramesBothWaysOnVcan)
{
    if (!kernel_has_can()) GTEST_SKIP() << "this kernel has no CAN support";
    std::string bus = find_vcan();
    if (bus.empty()) GTEST_SKIP() << "no vcan interface is up";

    int peer = socket(PF_CAN, SOCK_RAW, CAN_RAW);
    ASSERT_GE(peer, 0);
    can_err_mask_t mask = CAN_ERR_MASK;
    setsockopt(peer, SOL_CAN_RAW, CAN_RAW_ERR_FILTER, &mask, sizeof mask);
    sockaddr_can addr = {};
    addr.can_family = AF_CAN;
    addr.can_ifindex = (int)if_nametoindex(bus.c_str());
    ASSERT_EQ(bind(peer, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);

    _kr_can_init();
    ASSERT_TRUE(kr_can_set_baudrate(bus.c_str(), 250000));
    ASSERT_EQ(kr_can_set_up(true), nullptr);
    EXPECT_EQ(kr_can_get_netdev_baudrate(bus.c_str()), 0u) << "vcan has no bit rate";

    kr_can_message_st out = {};
    out.type = CAN_EXT;
    out.id = 0x15560005;
    out.data_length = 3;
    out.data[0] = 'a';
    ASSERT_EQ(kr_can_send_message(nullptr, &out), ERR_NONE);
    can_frame f = {};
    ASSERT_EQ(read(peer, &f, sizeof f), (ssize_t)sizeof f);
    EXPECT_EQ(f.can_id, 0x15560005u | CAN_EFF_FLAG);
    EXPECT_EQ(f.can_dlc, 3);

    // A remote request (node guarding on 0x705) comes first and is no frame of the library's.
    const canid_t ids[] = {0x705 | CAN_RTR_FLAG, 0x581, 0x1ABCDEF0u | CAN_EFF_FLAG, CAN_ERR_FLAG | CAN_ERR_BUSOFF};
    for (canid_t id : ids) {
        can_frame g = {};
        g.can_id = id;
        g.can_dlc = 2;
        g.data[0] = 0x43;
        ASSERT_EQ(write(peer, &g, sizeof g), (ssize_t)sizeof g);
    }
    std::vector<kr_can_message_st> in;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (in.size() < 3 && std::chrono::steady_clock::now() < end) {
        _kr_can_hal_step(2);
        kr_can_message_st m;
        while (kr_can_pop_message(nullptr, &m) == ERR_NONE) in.push_back(m);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_EQ(in.size(), 3u);
    EXPECT_EQ(in[0].type, CAN_STD);
    EXPECT_EQ(in[0].id, 0x581u);
    EXPECT_EQ(in[1].type, CAN_EXT);
    EXPECT_EQ(in[1].id, 0x1ABCDEF0u);
    EXPECT_EQ(in[2].type, CAN_ERR);
    EXPECT_EQ(in[2].id, (uint32_t)CAN_ERR_BUSOFF);
    struct timeval now, t = kr_can_get_rx_time();
    gettimeofday(&now, nullptr);
    EXPECT_LE(std::labs((long)(now.tv_sec - t.tv_sec)), 2) << "socket time stamps are wall-clock time";
    kr_can_close();
    close(peer);
}

} // namespace
