// The SDO commands, end to end: krcan on the virtual bus against simulated devices, checking what
// the devices hold afterwards and the frames on the bus.
#include <gtest/gtest.h>

#include "e2e/e2e.h"
#include "e2e/sim_bench.h"
#include "sim_setup.h"

namespace {

class Sdo : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string err;
        std::vector<sim_device_config_st> devs(2);
        devs[0].node_id = 0x10;
        devs[1].node_id = 0x11;
        for (auto &d : devs) d.heartbeat_ms = 0;
        ASSERT_TRUE(sim_setup_start(bench, devs, 0, err, true)) << err;
        for (uint8_t node : {0x10, 0x11}) {
            sim_dev_add_object(runner, node, 0x2000, 0, object(SIM_U32, {0x78, 0x56, 0x34, node}));
            sim_dev_add_object(runner, node, 0x2001, 0, object(SIM_U8, {0}));
            sim_dev_add_object(runner, node, 0x2002, 0, object(SIM_STR, text("x"), 400));
            sim_dev_add_object(runner, node, 0x2003, 1, object(SIM_STR, text("x"), 64));
            sim_dev_add_object(runner, node, 0x2004, 0, object(SIM_DOMAIN, {1, 2, 3, 4, 5, 6}, 64));
        }
    }
    void TearDown() override { sim_setup_stop(bench); }

    e2e::result krcan(std::vector<std::string> args)
    {
        args.insert(args.begin(), {"--can", bench.channel});
        e2e::options o;
        o.timeout_ms = 30000;
        return box.krcan(args, o);
    }
    bytes value(uint8_t node, uint16_t index, uint8_t sub)
    {
        bytes v;
        EXPECT_TRUE(sim_dev_get(runner, node, index, sub, v)) << std::hex << index;
        return v;
    }
    // Requests krcan sent to a node (the tap also sees the device's answers on 0x580 + node).
    std::vector<sim_frame_st> requests(uint8_t node)
    {
        std::vector<sim_frame_st> out;
        for (const sim_frame_st &f : sim_tap_frames(tap))
            if (f.kind == SIM_FRAME_STD && f.id == 0x600u + node) out.push_back(f);
        return out;
    }

    e2e::sandbox box;
    sim_setup_st bench;
    sim_runner_st *&runner = bench.devs;
    sim_tap_st *&tap = bench.tap;
};

TEST_F(Sdo, ReadsNumbersBytesAndStrings)
{
    e2e::result r = krcan({"--nodeid", "0x10", "--mindex", "0x1018", "--sindex", "1", "--sdoread"});
    ASSERT_TRUE(r.exited(0)) << r.out << r.err;
    EXPECT_EQ(r.out, "0x31d\n");

    // Six bytes on one line, no line end; a longer length prints only the bytes that came; a
    // shorter one only the bytes asked for.
    r = krcan({"-n", "0x10", "--mindex", "0x2004", "--datalen", "6", "--sdoread", "--datalen", "9", "--sdoread",
               "--mindex", "0x2000", "--datalen", "2", "--sdoread"});
    ASSERT_TRUE(r.exited(0)) << r.err;
    EXPECT_EQ(r.out, "0x1 0x2 0x3 0x4 0x5 0x6 0x1 0x2 0x3 0x4 0x5 0x6 0x5678\n");

    sim_dev_set(runner, 0x10, 0x2002, 0, text(std::string(300, 'a')));
    r = krcan({"-n", "0x10", "--mindex", "0x5FFF", "--sdoreadstr", "--mindex", "0x2002", "--sdoreadstr"});
    ASSERT_TRUE(r.exited(0)) << r.err;
    EXPECT_EQ(r.out, "kr_simdev\n" + std::string(256, 'a') + "\n");
}

TEST_F(Sdo, WritesLandWithTheirSizes)
{
    e2e::result r = krcan({"-n", "0x10", "--mindex", "0x2000", "--sdowrite", "0x11223344",  // 4 bytes, no size
                           "--mindex", "0x2001", "--datalen", "1", "--sdowrite", "5",       // 1 byte
                           "--mindex", "0x2002", "--datalen", "0", "--sdowrite", "hello"}); // text + terminator
    ASSERT_TRUE(r.exited(0)) << r.out << r.err;
    EXPECT_EQ(r.out, "Wrote SDO epxedited value '287454020'\nSDO write succesful\n"
                     "Wrote SDO epxedited value '5'\nSDO write succesful\n"
                     "Wrote SDO string 'hello'\nSDO write succesful\n");
    EXPECT_EQ(value(0x10, 0x2000, 0), (bytes{0x44, 0x33, 0x22, 0x11}));
    EXPECT_EQ(value(0x10, 0x2001, 0), (bytes{5}));
    EXPECT_EQ(value(0x10, 0x2002, 0), text("hello"));

    std::vector<sim_frame_st> req = requests(0x10);
    ASSERT_GE(req.size(), 3u);
    EXPECT_EQ(req[0].data[0], 0x22); // expedited, size not indicated
    EXPECT_EQ(bytes(req[0].data + 4, req[0].data + 8), (bytes{0x44, 0x33, 0x22, 0x11}));
    EXPECT_EQ(req[1].data[0], 0x2F); // expedited, 1 byte
    EXPECT_EQ(req[2].data[0], 0x21); // segmented, size indicated
    EXPECT_EQ(req[2].data[4], 6);
    std::vector<sim_write_log_st> log = sim_dev_write_log(runner, 0x10);
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[2].size, 6u);
    EXPECT_EQ(log[2].how, 's');
}

TEST_F(Sdo, TextAndNumbersAreSentAsGivenAndPadded)
{
    e2e::result r = krcan(
        {"-n",       "0x10",   "--mindex",  "0x2003", "--sindex",   "1",  "--sdowritestr", "17", // text, to sub 1
         "--mindex", "0x2002", "--sindex",  "0",      "--datalen",  "10", "--sdowrite",    "abc",
         "--mindex", "0x2004", "--datalen", "6",      "--sdowrite", "-2",    // sign-extended
         "--mindex", "0x2000", "--datalen", "0",      "--sdowrite", "0x0"}); // a number
    ASSERT_TRUE(r.exited(0)) << r.out << r.err;
    EXPECT_EQ(value(0x10, 0x2003, 1), text("17"));
    EXPECT_EQ(value(0x10, 0x2002, 0), (bytes{'a', 'b', 'c', 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(value(0x10, 0x2004, 0), (bytes{0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(value(0x10, 0x2000, 0), (bytes{0, 0, 0, 0}));
    EXPECT_NE(r.out.find("Wrote SDO string '17'\n"), std::string::npos);
    EXPECT_NE(r.out.find("Wrote SDO epxedited value '-2'\n"), std::string::npos);
}

TEST_F(Sdo, JobsKeepTheirOwnValuesInOrder)
{
    e2e::result r = krcan({"-n", "0x10", "--mindex", "0x2000", "--sdowrite", "1", "--sdowrite", "2", "--sdoread", "-n",
                           "0x11", "--sdoread", "--mindex", "0x2001"});
    ASSERT_TRUE(r.exited(0)) << r.out << r.err;
    EXPECT_EQ(r.out, "Wrote SDO epxedited value '1'\nSDO write succesful\n"
                     "Wrote SDO epxedited value '2'\nSDO write succesful\n0x2\n0x11345678\n");
    std::vector<sim_frame_st> req = requests(0x10);
    ASSERT_EQ(req.size(), 3u);
    EXPECT_EQ(req[0].data[4], 1);
    EXPECT_EQ(req[1].data[4], 2);
    EXPECT_EQ(req[2].data[0], 0x40);
    EXPECT_EQ(req[2].data[1], 0x00); // 0x2000, not the later 0x2001
    EXPECT_EQ(req[2].data[2], 0x20);
    EXPECT_EQ(value(0x11, 0x2000, 0), (bytes{0x78, 0x56, 0x34, 0x11})) << "the read went to 0x11 untouched";
}

TEST_F(Sdo, AbortsAreReportedAndFailTheRun)
{
    e2e::result r = krcan({"-n", "0x10", "--mindex", "0x2100", "--sdoread", "--sdoreadstr", "--mindex", "0x1018",
                           "--sindex", "1", "--sdowrite", "7", "--sdoread"});
    EXPECT_TRUE(r.exited(1)) << r.out << r.err;
    EXPECT_EQ(r.err, "SDO read returned an error:\n0x2100, 0: 0x6020000: OBJECT DOES NOT EXIST\n"
                     "SDO read returned an error:\n0x2100, 0: 0x6020000: OBJECT DOES NOT EXIST\n");
    // A refused write is never reported as written.
    EXPECT_EQ(r.out, "SDO write returned an error: 44\n"
                     "0x1018, 1: 0x6010002: ATTEMPT TO WRITE A READ ONLY OBJECT\n0x31d\n")
        << "the run goes on after a failed job";
    EXPECT_EQ(value(0x10, 0x1018, 1), (bytes{0x1d, 0x03, 0, 0}));

    // A device abort in the middle of a segmented write.
    sim_fault_st f;
    uint8_t node;
    std::string err;
    ASSERT_TRUE(sim_fault_parse("abort:stage=1,code=0x06070010,count=-1", f, node, err)) << err;
    sim_dev_add_fault(runner, 0x10, f);
    r = krcan({"-n", "0x10", "--mindex", "0x2002", "--sdowrite", "a longer text"});
    EXPECT_TRUE(r.exited(1));
    EXPECT_NE(
        r.out.find(
            "SDO write returned an error: 44\n0x2002, 0: 0x6070010: DATA TYPE DOES NOT MATCH, LENGTH OF SERVICE PARAMETER DOES NOT MATCH\n"),
        std::string::npos)
        << r.out;
    EXPECT_EQ(value(0x10, 0x2002, 0), text("x")) << "nothing written";

    // The unsized 4-byte download of a value that does not fit a u8 is refused by the device.
    r = krcan({"-n", "0x10", "--mindex", "0x2001", "--sdowrite", "300"});
    EXPECT_TRUE(r.exited(1));
    EXPECT_NE(r.out.find("0x2001, 0: 0x6070012: DATA TYPE DOES NOT MATCH, LENGTH TOO HIGH\n"), std::string::npos)
        << r.out;
    EXPECT_EQ(value(0x10, 0x2001, 0), (bytes{0}));
}

TEST_F(Sdo, MissingIndexAndBadArgumentsAreRefused)
{
    e2e::result r = krcan({"-n", "0x10", "--sdoread", "--mindex", "0x1018", "--sindex", "2", "--sdoread"});
    EXPECT_TRUE(r.exited(1));
    EXPECT_EQ(r.err, "Error: The CANOpen main index has to be set with *--mindex* command\n");
    EXPECT_EQ(r.out, "0x0\n");
    sim_tap_clear(tap);

    struct {
        std::vector<std::string> args;
        const char *says;
    } bad[] = {
        {{"--mindex", "0x2000", "--sdoread"}, "no device node id selected"},
        {{"-n", "0x10", "--mindex", "0x10000"}, "invalid main index '0x10000' for --mindex"},
        {{"-n", "0x10", "--sindex", "256"}, "invalid sub index"},
        {{"-n", "0x10", "--datalen", "-1"}, "invalid data length"},
        {{"-n", "0x10", "--mindex", "0x2004", "--datalen", "4097", "--sdoread"}, "at most 4096 bytes"},
        {{"-n", "0x10", "--mindex", "0x2002", "--datalen", "257", "--sdoreadstr"}, "at most 256 bytes"},
        {{"-n", "0x10", "--mindex", "0x2002", "--datalen", "5000", "--sdowrite", "1"}, "at most 4096 bytes"},
        {{"-n", "0x10", "--mindex", "0x2002", "--sdowrite", "0x100000000"},
         "invalid value '0x100000000' for --sdowrite"},
        {{"-n", "0x10", "--mindex", "0x2002", "--sdowrite", "-99999999999999999999"}, "invalid value"},
        // Cut to its length, 0x100 would go out as 0 and read as success.
        {{"-n", "0x10", "--mindex", "0x2001", "--datalen", "1", "--sdowrite", "0x100"}, "data length of 1 byte"},
        {{"-n", "0x10", "--mindex", "0x2001", "--datalen", "1", "--sdowrite", "-129"}, "data length of 1 byte"},
        {{"-n", "0x10", "--mindex", "0x2000", "--datalen", "2", "--sdowrite", "0x10000"}, "data length of 2 bytes"},
        {{"--baud", "300000", "-n", "0x10", "--mindex", "0x2000", "--sdoread"}, "baud rate 300000 is not supported"},
        // A number with stray characters would go out as its text.
        {{"-n", "0x10", "--mindex", "0x2000", "--sdowrite", "1O0"}, "invalid value '1O0' for --sdowrite"},
        {{"-n", "0x10", "--mindex", "0x2000", "--sdowrite", "25 x"}, "invalid value '25 x'"},
        // Nothing that is not a whole number reaches a numeric object: empty, blank, a sign alone, a
        // full-width digit. Text takes --sdowritestr, or a letter.
        {{"-n", "0x10", "--mindex", "0x2000", "--sdowrite", ""}, "invalid value '' for --sdowrite"},
        {{"-n", "0x10", "--mindex", "0x2000", "--sdowrite="}, "invalid value '' for --sdowrite"},
        {{"-n", "0x10", "--mindex", "0x2000", "--sdowrite", " "}, "invalid value ' '"},
        {{"-n", "0x10", "--mindex", "0x2000", "--sdowrite", "-"}, "invalid value '-'"},
        {{"-n", "0x10", "--mindex", "0x2000", "--sdowrite", "\xEF\xBC\x95"},
         "invalid value '<U+FF15>' for --sdowrite: character 1 is U+FF15"},
        // An invisible or non-ASCII character before, inside or after a number (a paste from a page):
        // named with its place, never written as text.
        {{"-n", "0x10", "--mindex", "0x2000", "--datalen", "4", "--sdowrite",
          "\xE2\x80\x8B"
          "0x10"},
         "character 1 is U+200B (an invisible format character)"},
        {{"-n", "0x10", "--mindex", "0x2000", "--datalen", "2", "--sdowrite",
          "\xEF\xBB\xBF"
          "0x10"},
         "character 1 is U+FEFF"},
        {{"-n", "0x10", "--mindex", "0x2001", "--datalen", "1", "--sdowrite", "\xEF\xBC\x90x10"},
         "character 1 is U+FF10 (a full-width digit)"},
        {{"-n", "0x10", "--mindex", "0x2000", "--sdowrite",
          "\xE2\x80\x87"
          "0x10"},
         "character 1 is U+2007"},
        {{"-n", "0x10", "--mindex", "0x2000", "--sdowrite",
          " \xE3\x80\x80"
          "0x10"},
         "character 2 is U+3000"},
        {{"-n", "0x10", "--mindex", "0x2000", "--sdowrite",
          "0x\xE2\x80\x8B"
          "10"},
         "invalid value '0x<U+200B>10' for --sdowrite: character 3 is U+200B"},
        {{"-n", "0x10", "--mindex", "0x2000", "--sdowrite", "0x10\xE2\x80\x8B"}, "character 5 is U+200B"},
        {{"-n", "0x10", "--mindex", "0x2000", "--sdowrite",
          "ab\x01"
          "c"},
         "character 3 is U+0001 (a control character)"},
        {{"-n", "0x10", "--mindex", "0x2000", "--sdowrite", "x\xFF"}, "character 2 is byte 0xFF"},
        {{"-n", "0x10", "--mindex", "0x2000", "--sdowrite", "\xC2\xA0"}, "invalid value"},
        {{"-n", "0x10\r", "--mindex", "0x2000", "--sdowrite", "7", "--sindex", "1x"}, "invalid sub index '1x'"},
        // Whole option names only; a value that is an option is a missing value.
        {{"-n", "0x10", "--mindex", "0x2001", "--sdowrites", "5"}, "the option '--sdowrites' is unknown"},
        {{"-n", "0x10", "--mindex", "0x2002", "--sdowrite", "7", "--sdoreads"}, "the option '--sdoreads' is unknown"},
        {{"--no", "0x10", "--mindex", "0x2002", "--sdowrite", "7"}, "the option '--no' is unknown"},
        {{"-n", "0x10", "--mind", "0x2002", "--sdowrite", "7"}, "the option '--mind' is unknown"},
        {{"-n", "0x10", "--mindex", "0x2002", "--sdowritestr", "--silent"}, "'--sdowritestr' lacks its value"},
        {{"-n", "0x10", "--mindex", "0x2002", "--sdowrite", "-s"}, "'--sdowrite' lacks its value"},
        {{"-n", "0x10", "--mindex", "0x2002", "--sdowritestr", "--sil"}, "given as --sdowritestr=VALUE"},
        // The whole command line is refused, the writes before and after a slip included.
        {{"-n", "0x10", "--mindex", "0x2000", "--sdowrite", "7", "--sindx", "3", "--sdowrite", "1500"},
         "the option '--sindx' is unknown"},
        {{"-n", "0x10", "--mindex", "0x2000", "--sdowrite", "7", "sdoread"},
         "nothing on the command line takes 'sdoread'"},
        {{"-n", "0x10", "--mindex", "0x2000", "--sdowrite", "7", "--listen", "2"}, "write --listen=2."},
        {{"-n", "0x10", "--mindex", "0x2000", "--sdoread", "--sdoread", "--sdoread", "--sdoread", "--sdoread",
          "--sdoread"},
         "at most 5 commands"},
    };
    for (const auto &b : bad) {
        r = krcan(b.args);
        EXPECT_TRUE(r.exited(1)) << b.says;
        EXPECT_NE(r.out.find(b.says), std::string::npos) << r.out;
    }
    EXPECT_TRUE(requests(0x10).empty()) << "nothing may reach the device";

    // The tool's own node id: said at once, not after the time-outs.
    r = krcan({"-n", "1", "--mindex", "0x2000", "--sdoread"});
    EXPECT_TRUE(r.exited(1));
    EXPECT_NE(r.out.find("node id 0x1 is krcan's own node id"), std::string::npos) << r.out << r.err;

    // What fits its length, signed or unsigned, goes out; so does a number with blanks of any kind around it.
    r = krcan({"-n", "0x10", "--mindex", "0x2001", "--datalen", "1", "--sdowrite", "-1", "--datalen", "0", "--mindex",
               "0x2000", "--sdowrite", " 25\r\n", "--mindex", "0x2004", "--sdowrite",
               "\n\v\f\xC2\xA0"
               "5"});
    EXPECT_TRUE(r.exited(0)) << r.out;
    EXPECT_EQ(value(0x10, 0x2001, 0), (bytes{0xFF}));
    EXPECT_EQ(value(0x10, 0x2000, 0), (bytes{25, 0, 0, 0}));
    EXPECT_EQ(value(0x10, 0x2004, 0), (bytes{5, 0, 0, 0}));

    // Past 4 bytes a value is sign-extended only when it was given negative; the line shows it as given.
    r = krcan({"-n", "0x10", "--mindex", "0x2004", "--datalen", "8", "--sdowrite", "0xFFFFFFFF"});
    EXPECT_TRUE(r.exited(0)) << r.out;
    EXPECT_EQ(value(0x10, 0x2004, 0), (bytes{0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0}));
    EXPECT_NE(r.out.find("Wrote SDO epxedited value '4294967295'\n"), std::string::npos) << r.out;
}

} // namespace
