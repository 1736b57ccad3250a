// socketcand's text side: stream cutting, frame reading, what is refused, the send line, the URL.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "../../hal/kr_hal/src_linux/can/kr_can_port.h"
#include "../../hal/kr_hal/src_linux/can/kr_can_socketcand_parse.h"

namespace {

struct fed {
    std::vector<std::string> elements;
    std::vector<std::string> junk;
};

// Feeds the text in chunks of `chunk` bytes and collects what the reader gives.
fed feed(const std::string &text, size_t chunk)
{
    kr_scd_reader_st r;
    kr_scd_reader_init(&r);
    fed out;
    char el[KR_SCD_ELEMENT_MAX + 1];
    size_t at = 0;
    for (;;) {
        kr_scd_read_e k = kr_scd_reader_next(&r, el, sizeof el);
        if (k == SCD_READ_ELEMENT) {
            out.elements.push_back(el);
            continue;
        }
        if (k == SCD_READ_JUNK) {
            out.junk.push_back(el);
            continue;
        }
        if (at == text.size()) break;
        size_t room = 0;
        char *p = kr_scd_reader_space(&r, &room);
        EXPECT_GT(room, 0u);
        size_t n = std::min({chunk, room, text.size() - at});
        std::memcpy(p, text.data() + at, n);
        kr_scd_reader_commit(&r, n);
        at += n;
    }
    return out;
}

TEST(SocketcandReader, CutsElementsWhateverTheChunking)
{
    const std::string text = "< hi >< ok >\n< frame 123 1.000000 11 22 >  < frame 1ABCDEF0 2.5 AABB >";
    for (size_t chunk : {1, 2, 3, 7, 64, 4096}) {
        fed f = feed(text, chunk);
        ASSERT_EQ(f.elements.size(), 4u) << "chunk " << chunk;
        EXPECT_EQ(f.elements[0], " hi ");
        EXPECT_EQ(f.elements[2], " frame 123 1.000000 11 22 ");
        EXPECT_TRUE(f.junk.empty());
    }
}

TEST(SocketcandReader, SkipsJunkAndOverlongElementsAndCarriesOn)
{
    std::string overlong = "< frame " + std::string(600, '1') + " >";
    fed f = feed("garbage< ok >" + overlong + "< ok >< frame 1 < ok >", 5);
    EXPECT_EQ(f.elements, (std::vector<std::string>{" ok ", " ok ", " ok "}));
    // "garbage", the over-long element (and its tail outside any element), the unterminated one
    EXPECT_GE(f.junk.size(), 3u);
}

struct parsed {
    kr_scd_element_e kind;
    kr_can_message_st msg;
    timeval tv;
    std::string why;
};

parsed parse(const char *text)
{
    parsed p{};
    const char *why = nullptr;
    p.kind = kr_scd_parse(text, &p.msg, &p.tv, &why);
    p.why = why ? why : "";
    return p;
}

TEST(SocketcandParse, FramesOfEveryKind)
{
    parsed p = parse(" frame 581 1700000000.123456 43 18 10 01 1D 03 00 00 ");
    ASSERT_EQ(p.kind, SCD_EL_FRAME) << p.why;
    EXPECT_EQ(p.msg.type, CAN_STD);
    EXPECT_EQ(p.msg.id, 0x581u);
    ASSERT_EQ(p.msg.data_length, 8);
    EXPECT_EQ(p.msg.data[0], 0x43);
    EXPECT_EQ(p.msg.data[7], 0x00);
    EXPECT_EQ(p.tv.tv_sec, 1700000000);
    EXPECT_EQ(p.tv.tv_usec, 123456);

    p = parse("frame 15560005 3.5 deadBEEF");
    ASSERT_EQ(p.kind, SCD_EL_FRAME) << p.why;
    EXPECT_EQ(p.msg.type, CAN_EXT);
    EXPECT_EQ(p.msg.id, 0x15560005u);
    EXPECT_EQ(p.msg.data_length, 4);
    EXPECT_EQ(p.msg.data32[0], 0xEFBEADDEu);
    EXPECT_EQ(p.tv.tv_usec, 500000);

    p = parse("frame 00000123 0.000001");
    ASSERT_EQ(p.kind, SCD_EL_FRAME);
    EXPECT_EQ(p.msg.type, CAN_EXT) << "8 digits make an extended identifier, whatever its value";
    EXPECT_EQ(p.msg.data_length, 0);

    p = parse("error 004 12.000100");
    ASSERT_EQ(p.kind, SCD_EL_FRAME);
    EXPECT_EQ(p.msg.type, CAN_ERR);
    EXPECT_EQ(p.msg.id, 4u);

    EXPECT_EQ(parse("hi").kind, SCD_EL_HI);
    EXPECT_EQ(parse(" ok ").kind, SCD_EL_OK);
    EXPECT_EQ(parse("echo").kind, SCD_EL_OTHER);
    EXPECT_EQ(parse("error could not open bus").kind, SCD_EL_ERROR);
}

TEST(SocketcandParse, BadInputIsRefusedWithAReason)
{
    const char *bad[] = {
        "frame 123 1.0 112233445566778899", // 9 bytes
        "frame 123 1.0 11 22 33 44 55 66 77 88 99",
        "frame 123 1.0 1",     // odd digits
        "frame 123 1.0 GG",    // not hexadecimal
        "frame 800 1.0",       // standard identifier over 0x7FF
        "frame 20000000 1.0",  // extended identifier over 29 bits
        "frame 123456789 1.0", // 9 digits
        "frame 12x 1.0",
        "frame 123", // no time
        "frame 123 abc",
        "frame 123 1.",
        "frame 123 .5",
        "frame 123 1234567890123456789.0", // seconds that would overflow
        "frame",
        "sendframe 123 1.0",
        "",
        "   ",
        "frame 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1",
    };
    for (const char *text : bad) {
        parsed p = parse(text);
        EXPECT_EQ(p.kind, SCD_EL_BAD) << "'" << text << "'";
        EXPECT_FALSE(p.why.empty()) << "'" << text << "'";
    }
    EXPECT_EQ(parse("frame 123 1.0 112233445566778899").why, "data longer than 8 bytes");
    EXPECT_EQ(parse("frame 123 1.0 GG").why, "bad hexadecimal data");
}

TEST(SocketcandFormat, SendLines)
{
    char line[KR_SCD_LINE_MAX];
    kr_can_message_st m = {};
    m.id = 0x601;
    m.data_length = 4;
    m.data[0] = 0x40;
    m.data[1] = 0x18;
    m.data[2] = 0x10;
    m.data[3] = 0x01;
    ASSERT_GT(kr_scd_format_send(&m, line, sizeof line), 0u);
    EXPECT_STREQ(line, "< send 601 4 40 18 10 01 >");

    m.type = CAN_EXT;
    m.id = 0x1FFFFFFF;
    m.data_length = 8;
    std::memset(m.data, 0xAB, 8);
    ASSERT_GT(kr_scd_format_send(&m, line, sizeof line), 0u);
    EXPECT_STREQ(line, "< send 1FFFFFFF 8 AB AB AB AB AB AB AB AB >");
    // What this side writes, it reads back as the same frame.
    std::string echoed = "frame 1FFFFFFF 1.0 ABABABABABABABAB";
    parsed p = parse(echoed.c_str());
    EXPECT_EQ(p.msg.id, m.id);
    EXPECT_EQ(p.msg.data64, m.data64);

    m.type = CAN_STD;
    m.id = 0x800;
    EXPECT_EQ(kr_scd_format_send(&m, line, sizeof line), 0u);
    m.id = 0x7FF;
    m.data_length = 9;
    EXPECT_EQ(kr_scd_format_send(&m, line, sizeof line), 0u);
    m.data_length = 0;
    EXPECT_EQ(kr_scd_format_send(&m, line, 8), 0u) << "too small a buffer";
}

TEST(SocketcandUrl, Forms)
{
    char host[64], bus[40];
    uint16_t port = 0;
    ASSERT_TRUE(_kr_can_scd_parse_url("socketcand://127.0.0.1/vcan0", host, sizeof host, &port, bus, sizeof bus));
    EXPECT_STREQ(host, "127.0.0.1");
    EXPECT_EQ(port, 29536);
    EXPECT_STREQ(bus, "vcan0");
    ASSERT_TRUE(_kr_can_scd_parse_url("socketcand://bench.local:4242/can1", host, sizeof host, &port, bus, sizeof bus));
    EXPECT_STREQ(host, "bench.local");
    EXPECT_EQ(port, 4242);
    ASSERT_TRUE(_kr_can_scd_parse_url("socketcand://[::1]:5000/vcan0", host, sizeof host, &port, bus, sizeof bus));
    EXPECT_STREQ(host, "::1");
    EXPECT_EQ(port, 5000);
    for (const char *bad : {"socketcand://127.0.0.1", "socketcand:///vcan0", "socketcand://h:/b", "socketcand://h:0/b",
                            "socketcand://h:65536/b", "socketcand://h:12a/b", "socketcand://h/", "socketcand://h/a b",
                            "socketcand://h/a>b", "socketcand://[::1/b", "can0",
                            "socketcand://h/"
                            "bus_name_longer_than_thirty_two_chars"})
        EXPECT_FALSE(_kr_can_scd_parse_url(bad, host, sizeof host, &port, bus, sizeof bus)) << bad;
}

} // namespace
