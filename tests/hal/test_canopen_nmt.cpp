// NMT on the virtual bus: the own node obeys resets and stops that come over the bus, and the
// tool's own reset command to a device sharing its node id ends the program the same way.
#include <gtest/gtest.h>

#include "hal/canopen_harness.h"

namespace {

class CanopenNmt : public co::bus_test {
protected:
    co::responder_st peer;

    void TearDown() override
    {
        co::responder_stop(peer);
        co::bus_test::TearDown();
    }
};

} // namespace

// A reset for another node is sent and survived; one for our own id is looped back and ends the
// program with status 1.
TEST_F(CanopenNmt, OwnResetCommandEndsWithStatusOne)
{
    co::result_st res = co::run(port, [] {
        kr_canopen_nmt_master_send_cmd(5, CANOPEN_NMT_CMD_RESET_NODE);
        kr_rtos_task_delay(100);
        co::report("after_other=1");
        kr_canopen_nmt_master_send_cmd(1, CANOPEN_NMT_CMD_RESET_NODE);
        kr_rtos_task_delay(50000); // the loop-back ends the program long before
        co::report("after_own=1");
        return 0;
    });
    EXPECT_EQ(res.status, 1) << res.text;
    EXPECT_EQ(res.get("after_other"), "1");
    EXPECT_EQ(res.get("after_own"), "<missing>");
    ASSERT_TRUE(sim_tap_wait_count(tap, 2, 2000));
    auto nmt = co::with_id(sim_tap_frames(tap), 0);
    ASSERT_EQ(nmt.size(), 2u);
    EXPECT_EQ(nmt[0].len, 2);
    EXPECT_EQ(nmt[0].data[0], 0x81);
    EXPECT_EQ(nmt[0].data[1], 5);
    EXPECT_EQ(nmt[1].data[1], 1);
}

// A reset-communication for all nodes from another master ends the program with status 1.
TEST_F(CanopenNmt, ResetForAllNodesFromTheBus)
{
    ASSERT_TRUE(co::responder_start(peer, port, [](co::responder_st &r, const sim_frame_st &f) {
        if (f.id == 0x7E0) r.send(0x000, {0x82, 0x00});
    }));
    co::result_st res = co::run(port, [] {
        kr_can_message_st m{};
        m.id = 0x7E0;
        m.data_length = 0;
        m.type = CAN_STD;
        kr_can_send_flags(kr_can_get_dev(), &m, CAN_SEND_FLAGS_NORMAL);
        kr_rtos_task_delay(50000); // the peer's reset ends the program long before
        return 0;
    });
    EXPECT_EQ(res.status, 1) << res.text;
}

// While stopped, SDO answers, EMCYs and the application callback are dropped; after start the
// client's time-out runs again, aborts and retries, and the read succeeds.
TEST_F(CanopenNmt, StopSilencesSdoEmcyAndCallbackUntilStart)
{
    ASSERT_TRUE(co::responder_start(peer, port, [](co::responder_st &r, const sim_frame_st &f) {
        static int initiates = 0;
        if (f.id == 0x7E0) {
            r.send(0x000, {0x02, 0x00}); // stop all
        } else if (f.id == 0x605 && f.data[0] == 0x40) {
            r.send(0x585, {0x4F, f.data[1], f.data[2], f.data[3], 0x33, 0, 0, 0});
            if (initiates++ == 0) {
                r.send(0x123, {1});
                r.send(0x085, {1, 2, 3, 4, 5, 6, 7, 8});
                // The bus keeps the order: these two reach the node while it is still stopped.
                r.send(0x000, {0x01, 0x00}); // start all
                r.send(0x123, {2});
                r.send(0x086, {1, 2, 3, 4, 5, 6, 7, 8});
            }
        }
    }));
    co::result_st res = co::run(port, [] {
        static int calls = 0;
        static uint8_t last = 0;
        kr_canopen_set_can_callback([](void *, const kr_can_message_st *m) {
            if (m->id == 0x123) {
                calls++;
                last = m->data[0];
            }
        });
        kr_can_message_st m{};
        m.id = 0x7E0;
        m.type = CAN_STD;
        kr_can_send_flags(kr_can_get_dev(), &m, CAN_SEND_FLAGS_NORMAL);
        for (int i = 0; i < 200 && kr_canopen_get_state() != CANOPEN_STOPPED; i++) kr_rtos_task_delay(10);
        co::report("stopped=%d", kr_canopen_get_state() == CANOPEN_STOPPED);
        uint8_t v = kr_canopen_sdo_read8(5, 0x2000, 1);
        co::report("v=0x%x", v);
        co::report("state=%d", (int)kr_canopen_get_state());
        co::report("calls=%d:%u", calls, last);
        canopen_emcy_msg_st e{};
        kr_errors_e r1 = kr_canopen_emcy_get(&e);
        co::report("emcy=%u:%u", r1, e.node_id);
        co::report("emcy2=%u", kr_canopen_emcy_get(&e));
        return 0;
    });
    ASSERT_EQ(res.status, 0) << res.text;
    EXPECT_EQ(res.get("stopped"), "1");
    EXPECT_EQ(res.get("v"), "0x33");
    EXPECT_EQ(res.get("state"), "5");
    EXPECT_EQ(res.get("calls"), "1:2");
    EXPECT_EQ(res.get("emcy"), "0:6");
    EXPECT_EQ(res.get("emcy2"), "23");
    auto req = co::with_id(sim_tap_frames(tap), 0x605);
    ASSERT_EQ(req.size(), 3u);
    EXPECT_EQ(req[0].data[0], 0x40);
    EXPECT_EQ(req[1].data[0], 0x80);
    EXPECT_EQ(co::le32(&req[1].data[4]), 0x05040000u);
    EXPECT_EQ(req[2].data[0], 0x40);
    EXPECT_GE((req[1].rx_ns - req[0].rx_ns) / 1000000, 4900);
}
