// The CANopen stack core in process: frames are looped into the CAN port's receive ring and the
// stack is stepped by hand, so no scheduler runs here (a reset request ends a forked child).
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <vector>

#include "kr_can.h"
#include "kr_canopen.h"
#include "kr_memory.h"
#include "scratch.h"
#include "canopen/kr_canopen_private.h"

namespace {

std::vector<kr_can_message_st> seen;

void record(void *, const kr_can_message_st *msg) { seen.push_back(*msg); }

kr_can_message_st frame(uint32_t id, std::vector<uint8_t> bytes, kr_can_msg_types_e type = CAN_STD)
{
    kr_can_message_st m;
    std::memset(&m, 0, sizeof m);
    m.id = id;
    m.type = type;
    m.data_length = (uint8_t)bytes.size();
    std::memcpy(m.data, bytes.data(), bytes.size());
    return m;
}

void deliver(const kr_can_message_st &m)
{
    ASSERT_EQ(kr_can_send_flags(kr_can_get_dev(), &m, CAN_SEND_FLAGS_LOCAL | CAN_SEND_FLAGS_NO_TX_CALLB), ERR_NONE);
    _kr_canopen_step(2);
}

class CanopenCore : public ::testing::Test {
protected:
    void SetUp() override
    {
        _kr_can_init();
        kr_memory_set_defaults();
        ASSERT_EQ(_kr_canopen_init(0), ERR_NONE);
        seen.clear();
        kr_canopen_set_can_callback(record);
    }
    void TearDown() override { kr_canopen_set_can_callback(nullptr); }
};

} // namespace

TEST_F(CanopenCore, NodeIdFromTheSettingsRecordOrForced)
{
    EXPECT_EQ(kr_canopen_get_nodeid(), 1);
    EXPECT_EQ(kr_canopen_get_state(), CANOPEN_BOOT_UP);
    kr_memory_get_data_start()->id = 0x85; // negative as a signed 8-bit value
    _kr_canopen_init(0);
    EXPECT_EQ(kr_canopen_get_nodeid(), 127);
    _kr_canopen_init(9);
    EXPECT_EQ(kr_canopen_get_nodeid(), 9);
    // A node id that another device already uses may replace an unforced one only.
    _kr_canopen_init(0);
    kr_canopen_set_our_nodeid(12);
    EXPECT_EQ(kr_memory_get_data_start()->id, 12);
    kr_canopen_set_our_nodeid(0x90);
    EXPECT_EQ(kr_memory_get_data_start()->id, 12);
}

TEST_F(CanopenCore, ObjectDictionaryLookup)
{
    const canopen_object_st *o = _kr_canopen_obj_dict_get(0x1011, 3);
    ASSERT_NE(o, nullptr);
    EXPECT_EQ(o->type, CANOPEN_ARRAY32);
    EXPECT_EQ(((uint32_t *)o->data_ptr)[2], 1u);
    EXPECT_EQ(_kr_canopen_obj_dict_get(0x1011, 4), nullptr);
    EXPECT_EQ(_kr_canopen_obj_dict_get(0x2000, 0), nullptr);
    EXPECT_EQ(_kr_canopen_obj_dict_get(0x1000, 1), nullptr); // an integer has one sub-index
    o = _kr_canopen_obj_dict_get(0x1000, 0);
    ASSERT_NE(o, nullptr);
    EXPECT_EQ(*(uint32_t *)o->data_ptr, 0x55u);
    o = _kr_canopen_obj_dict_get(0x1018, 1);
    ASSERT_NE(o, nullptr);
    EXPECT_EQ(((uint32_t *)o->data_ptr)[0], CANOPEN_KORVANE_VENDOR_ID);
    o = _kr_canopen_obj_dict_get(0x5FFF, 0);
    ASSERT_NE(o, nullptr);
    EXPECT_STREQ((const char *)o->data_ptr, kr_memory_get_project_name());
    EXPECT_EQ(o->string_len, strlen(kr_memory_get_project_name()) + 1);
    EXPECT_EQ(std::string(kr_memory_get_project_name()).rfind("kr03_can_", 0), 0u);
    // The node id and heartbeat objects point into the settings record.
    o = _kr_canopen_obj_dict_get(0x100B, 0);
    ASSERT_NE(o, nullptr);
    EXPECT_EQ(o->data_ptr, (void *)&kr_memory_get_data_start()->id);
    o = _kr_canopen_obj_dict_get(0x1017, 0);
    ASSERT_NE(o, nullptr);
    EXPECT_EQ(*(uint16_t *)o->data_ptr, 1000);
}

TEST_F(CanopenCore, SdoRequestTypes)
{
    struct {
        uint32_t id;
        uint8_t b0;
        uint8_t len;
        sdo_request_type_e want;
    } cases[] = {
        {0x605, 0x23, 8, INITIATE_DOMAIN_DOWNLOAD},
        {0x585, 0x60, 8, INITIATE_DOMAIN_DOWNLOAD_REPLY},
        {0x585, 0x1D, 8, DOWNLOAD_DOMAIN_SEGMENT},
        {0x585, 0x4B, 8, INITIATE_DOMAIN_UPLOAD},
        {0x585, 0x80, 8, ABORT_DOMAIN_TRANSFER},
        {0x605, 0xC6, 8, INITIATE_BLOCK_DOWNLOAD},
        {0x585, 0xA4, 8, INITIATE_BLOCK_DOWNLOAD_REPLY},
        {0x585, 0xA2, 8, DOWNLOAD_BLOCK_SEGMENT_REPLY},
        {0x605, 0xA3, 8, INITIATE_BLOCK_UPLOAD_REPLY2},
        {0x605, 0xD9, 8, END_BLOCK_DOWNLOAD},
        {0x585, 0xA1, 8, END_BLOCK_DOWNLOAD_REPLY},
        {0x585, 0xE0, 8, UNKNOWN_SDO_MSG},
        {0x585, 0x60, 7, INVALID_MSG},
        {0x185, 0x60, 8, INVALID_MSG},
    };
    for (auto &c : cases) {
        kr_can_message_st m = frame(c.id, std::vector<uint8_t>(c.len, 0));
        m.data[0] = c.b0;
        EXPECT_EQ(_canopen_sdo_get_request_type(&m), c.want) << std::hex << c.id << " " << (int)c.b0;
    }
    kr_can_message_st ext = frame(0x585, {0x60, 0, 0, 0, 0, 0, 0, 0}, CAN_EXT);
    EXPECT_EQ(_canopen_sdo_get_request_type(&ext), INVALID_MSG);
    EXPECT_TRUE(kr_canopen_is_pdo(0x185));
    EXPECT_TRUE(kr_canopen_is_pdo(0x57F));
    EXPECT_FALSE(kr_canopen_is_pdo(0x585));
    EXPECT_FALSE(kr_canopen_is_pdo(0x17F));
    EXPECT_STREQ(kr_canopen_sdo_error_code_to_str(0x05030005), "OUT OF MEMORY");
    // CiA 301's common codes have their own texts; a code it does not define has none.
    EXPECT_STREQ(kr_canopen_sdo_error_code_to_str(0x05040001), "CLIENT/SERVER COMMAND SPECIFIER NOT VALID OR UNKNOWN");
    EXPECT_STREQ(kr_canopen_sdo_error_code_to_str(0x06010002), "ATTEMPT TO WRITE A READ ONLY OBJECT");
    EXPECT_STREQ(kr_canopen_sdo_error_code_to_str(0x06090011), "SUB-INDEX DOES NOT EXIST");
    EXPECT_STREQ(kr_canopen_sdo_error_code_to_str(0x08000022),
                 "DATA CANNOT BE TRANSFERRED OR STORED TO THE APPLICATION BECAUSE OF THE PRESENT DEVICE STATE");
    EXPECT_STREQ(kr_canopen_sdo_error_code_to_str(0x06040044), "UNKNOWN ERRORCODE");
}

// EMCYs come from nodes 1..127 with 8 bytes; SYNC (0x80), short or extended frames are not EMCYs,
// and a full ring of 3 loses the newest.
TEST_F(CanopenCore, EmcyReception)
{
    deliver(frame(0x80, {1, 2, 3, 4, 5, 6, 7, 8}));
    deliver(frame(0x85, {1, 2, 3, 4, 5, 6, 7}));
    deliver(frame(0x85, {1, 2, 3, 4, 5, 6, 7, 8}, CAN_EXT));
    canopen_emcy_msg_st e;
    EXPECT_EQ(kr_canopen_emcy_get(&e), ERR_BUFFER_EMPTY);
    for (uint8_t n = 1; n <= 4; n++) deliver(frame(0x80 + n, {n, 0, 0, 0x10, 0, 0, 0x30, 0x81}));
    for (uint8_t n = 1; n <= 3; n++) {
        ASSERT_EQ(kr_canopen_emcy_get(&e), ERR_NONE);
        EXPECT_EQ(e.node_id, n);
        EXPECT_EQ(e.data, 0x10000000u + n);
        EXPECT_EQ(e.error_code, 0x8130);
    }
    EXPECT_EQ(kr_canopen_emcy_get(&e), ERR_BUFFER_EMPTY);
    EXPECT_EQ(seen.size(), 7u); // the application callback sees every frame
}

// Stop (for all nodes or for us) silences EMCY and the application callback until start or
// pre-operational; NMT for another node, or on an extended identifier, is not ours.
TEST_F(CanopenCore, NmtStopSilencesUntilStartOrPreoperational)
{
    deliver(frame(0x000, {0x02, 0x05}));
    EXPECT_EQ(kr_canopen_get_state(), CANOPEN_BOOT_UP);
    deliver(frame(0x000, {0x02, 0x00}, CAN_EXT));
    EXPECT_EQ(kr_canopen_get_state(), CANOPEN_BOOT_UP);
    deliver(frame(0x000, {0x02}));
    EXPECT_EQ(kr_canopen_get_state(), CANOPEN_BOOT_UP);
    deliver(frame(0x000, {0x02, 0x00}));
    EXPECT_EQ(kr_canopen_get_state(), CANOPEN_STOPPED);
    seen.clear();
    deliver(frame(0x123, {1}));
    deliver(frame(0x85, {1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_TRUE(seen.empty());
    canopen_emcy_msg_st e;
    EXPECT_EQ(kr_canopen_emcy_get(&e), ERR_BUFFER_EMPTY);
    deliver(frame(0x000, {0x80, 0x01}));
    EXPECT_EQ(kr_canopen_get_state(), CANOPEN_PREOPERATIONAL);
    deliver(frame(0x123, {1}));
    EXPECT_EQ(seen.size(), 2u); // the pre-operational command itself, then 0x123
    deliver(frame(0x000, {0x02, 0x01}));
    EXPECT_EQ(kr_canopen_get_state(), CANOPEN_STOPPED);
    deliver(frame(0x000, {0x01, 0x00}));
    EXPECT_EQ(kr_canopen_get_state(), CANOPEN_OPERATIONAL);
    deliver(frame(0x85, {1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(kr_canopen_emcy_get(&e), ERR_NONE);
    EXPECT_EQ(e.node_id, 5);
}

// Store and restore requests written into the own objects are carried out by the step.
TEST_F(CanopenCore, StoreRequestSavesTheSettingsFile)
{
    scratch_dir dir("krcan_co_");
    std::string path = dir.str() + "/nv.conf";
    ASSERT_TRUE(kr_memory_set_nonvol_filepath(path.c_str()));
    kr_memory_get_data_start()->id = 42;
    const canopen_object_st *store = _kr_canopen_obj_dict_get(0x1010, 1);
    ASSERT_NE(store, nullptr);
    std::memcpy(store->data_ptr, "save", 4);
    _kr_canopen_step(2);
    EXPECT_EQ(((uint32_t *)store->data_ptr)[0], 1u);
    kr_memory_set_defaults();
    EXPECT_EQ(kr_memory_load(MEMORY_COM_PARAMS), ERR_NONE);
    EXPECT_EQ(kr_memory_get_data_start()->id, 42);
    const canopen_object_st *restore = _kr_canopen_obj_dict_get(0x1011, 2);
    ASSERT_NE(restore, nullptr);
    std::memcpy((uint32_t *)restore->data_ptr + 1, "load", 4);
    _kr_canopen_step(2);
    EXPECT_EQ(((uint32_t *)restore->data_ptr)[1], 1u);
}

using CanopenCoreDeathTest = CanopenCore;

// A reset for all nodes or for our node id ends the program with status 1; not one for another.
TEST_F(CanopenCoreDeathTest, ResetOfTheOwnNodeEndsWithStatusOne)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(deliver(frame(0x000, {0x81, 0x00})), ::testing::ExitedWithCode(1), "");
    EXPECT_EXIT(deliver(frame(0x000, {0x82, 0x01})), ::testing::ExitedWithCode(1), "");
    EXPECT_EXIT(
        {
            *(uint8_t *)_kr_canopen_obj_dict_get(0x1F51, 1)->data_ptr = 2;
            _kr_canopen_step(2);
        },
        ::testing::ExitedWithCode(1), "");
    deliver(frame(0x000, {0x81, 0x07}));
    deliver(frame(0x000, {0x81, 0x01}, CAN_EXT));
    SUCCEED();
}
