// The online services of this build: every call that fills a caller's buffer keeps to the buffer, and
// every text getter gives a text (never null) for any index.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "online/mqtt.h"
#include "online/remotecan.h"
#include "online/remotefiles.h"
#include "system/simrun.h"

namespace {

const std::string kNoBrowser = "The server file browser is not available in the Linux build yet.";

struct filler {
    const char *name;
    std::function<bool(char *, uint32_t)> call;
    bool writes;      // false: the buffer is left alone whatever its length
    std::string text; // what it writes when it does
};

std::vector<filler> fillers()
{
    return {
        {"login", [](char *b, uint32_t n) { return remotefiles_login("h", "u", "p", b, n); }, true, kNoBrowser},
        {"download_result err", [](char *b, uint32_t n) { return remotefiles_download_result(nullptr, 0, b, n); }, true,
         kNoBrowser},
        {"download_result path",
         [](char *b, uint32_t n) {
             char err[8];
             return remotefiles_download_result(b, n, err, sizeof err);
         },
         true, ""},
        {"list", [](char *b, uint32_t n) { return remotefiles_list(b, n); }, false, ""},
        {"download", [](char *b, uint32_t n) { return remotefiles_download("/a", "b", 10, b, n); }, false, ""},
    };
}

TEST(Online, CallsThatFillABufferKeepToIt)
{
    for (const filler &f : fillers()) {
        SCOPED_TRACE(f.name);
        // A large buffer gets the whole text.
        char big[512];
        std::memset(big, 'x', sizeof big);
        EXPECT_FALSE(f.call(big, sizeof big));
        if (f.writes)
            EXPECT_EQ(std::string(big), f.text);
        else
            EXPECT_EQ(big[0], 'x');

        // Ten bytes: nine characters and a terminator; the byte after is untouched.
        char small[11];
        std::memset(small, 'x', sizeof small);
        small[10] = '#';
        EXPECT_FALSE(f.call(small, 10));
        if (f.writes) {
            EXPECT_EQ(std::string(small), f.text.substr(0, 9));
        } else {
            EXPECT_EQ(std::string(small, 10), std::string(10, 'x'));
        }
        EXPECT_EQ(small[10], '#');

        // One byte: an empty text. Zero and null: nothing written, still false.
        char one[2] = {'x', '#'};
        EXPECT_FALSE(f.call(one, 1));
        EXPECT_EQ(one[0], f.writes ? '\0' : 'x');
        EXPECT_EQ(one[1], '#');
        char zero[1] = {'x'};
        EXPECT_FALSE(f.call(zero, 0));
        EXPECT_EQ(zero[0], 'x');
        EXPECT_FALSE(f.call(nullptr, 10));
    }

    // The download result empties the path and fills the error in the same call.
    char path[64] = "/old/path", err[128] = "";
    EXPECT_FALSE(remotefiles_download_result(path, sizeof path, err, sizeof err));
    EXPECT_STREQ(path, "");
    EXPECT_EQ(std::string(err), kNoBrowser);
    EXPECT_FALSE(remotefiles_download_result(nullptr, 0, nullptr, 0));
}

TEST(Online, TextGettersNeverGiveNull)
{
    struct getter {
        const char *name;
        std::function<const char *(uint8_t)> get;
        std::string expected;
    };
    std::vector<getter> getters = {
        {"mqtt_get_error", [](uint8_t) { return mqtt_get_error(); },
         "This build has no MQTT support (libmosquitto was not linked in)."},
        {"mqtt_get_host", [](uint8_t) { return mqtt_get_host(); }, ""},
        {"mqtt_get_fleet_name", [](uint8_t i) { return mqtt_get_fleet_name(i); }, ""},
        {"mqtt_get_dev_name", [](uint8_t i) { return mqtt_get_dev_name(i, i); }, ""},
        {"mqtt_get_dev_ident", [](uint8_t i) { return mqtt_get_dev_ident(i, i); }, ""},
        {"mqtt_get_dev_devname", [](uint8_t i) { return mqtt_get_dev_devname(i, i); }, ""},
        {"remotecan_get_error", [](uint8_t) { return remotecan_get_error(); },
         "Bridging a remote CAN bus needs SocketCAN, which this build has no access to."},
        {"remotecan_get_ifname", [](uint8_t) { return remotecan_get_ifname(); }, ""},
        {"remotefiles_get_fleet", [](uint8_t i) { return remotefiles_get_fleet(i); }, ""},
        {"simrun_get_name", [](uint8_t i) { return simrun_get_name(i); }, ""},
        {"simrun_get_state_str", [](uint8_t i) { return simrun_get_state_str(i); }, "Stopped"},
    };
    for (const getter &g : getters)
        for (unsigned i : {0u, 1u, 19u, 255u}) {
            const char *t = g.get((uint8_t)i);
            ASSERT_NE(t, nullptr) << g.name << " " << i;
            EXPECT_EQ(std::string(t), g.expected) << g.name << " " << i;
        }
    // Records a caller would read through: none.
    EXPECT_EQ(remotefiles_get_product(0xFFFF), nullptr);
    EXPECT_EQ(remotecan_get_filter(REMOTECAN_FILTER_MAX), nullptr);
    EXPECT_EQ(simrun_get_state(255), SIMRUN_STOPPED);
}

} // namespace
