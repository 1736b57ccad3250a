// The update check, end to end, against a stand-in curl that answers as each test says.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <functional>

#include "e2e/e2e.h"
#include "online/selfupdate.h"

namespace fs = std::filesystem;

namespace {

// This build, as the version line names it (taken from git at build time).
const std::string kThis = std::string(selfupdate_this_name()) + " (build " + std::to_string(selfupdate_this_version()) +
                          ")";
const std::string kNoVersionInfo = "The update server did not answer with version information.\n";
// A published build ahead of this one, however long this history grows.
const std::string kNewer = std::to_string(selfupdate_this_version() + 100000u);
const std::string kManifestNewer = R"({"version":)" + kNewer +
                                   R"(,"name":"339-gabcd","file":"krcan-339.tar.gz",)"
                                   R"("sha256":"ab12","size":3000000000,"released":"2026-12-01",)"
                                   R"("notes":"Faster block transfers"})";

class Update : public ::testing::Test {
protected:
    e2e::sandbox box;
    void SetUp() override
    {
        fs::create_directories(box.path("bin"));
        fs::create_symlink(KR_BIN_DIR "/kr_curl_standin", box.path("bin/curl"));
    }
    e2e::result run(const std::vector<std::string> &args, const std::string &body, const std::string &print = "200",
                    std::vector<std::pair<std::string, std::string>> env = {})
    {
        box.write_file("manifest", body);
        e2e::options o;
        o.path_prepend = {box.path("bin").string()};
        o.env = {{"KR_CURL_LOG", box.path("curl.log").string()},
                 {"KR_CURL_BODY", box.path("manifest").string()},
                 {"KR_CURL_PRINT", print}};
        for (auto &kv : env) o.env.push_back(kv);
        return box.krcan(args, o);
    }
    bool tmp_empty() const { return fs::is_empty(box.tmp()); }
};

TEST_F(Update, NewerAndSameBuild)
{
    // An account is stored; the update check must not send it.
    ASSERT_TRUE(box.krcan({"--user", "alice", "--pwd", "secret"}).exited(0));

    e2e::result r = run({"--checkupdate"}, kManifestNewer);
    ASSERT_TRUE(r.exited(0)) << r.out << r.err;
    EXPECT_EQ(r.out, "krcan 339-gabcd (build " + kNewer + ") is available; this is " + kThis +
                         ".\n"
                         "  released 2026-12-01\n  Faster block transfers\nInstall it with 'krcan --update'.\n");
    std::string log = box.read_file("curl.log");
    EXPECT_NE(log.find("args: -K " + box.tmp().string() + "/krcan_http_cfg_"), std::string::npos) << log;
    EXPECT_NE(log.find("mode: 600\n"), std::string::npos) << log;
    EXPECT_NE(log.find("max-time = 20\nproto = \"=https\"\ntlsv1.2\nurl = \"" SELFUPDATE_BASE_URL "/latest.json\"\n"
                       "output = \"" +
                       box.tmp().string() + "/krcan_su_manifest_"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("write-out = \"%{http_code}\"\n"), std::string::npos);
    EXPECT_EQ(log.find("user"), std::string::npos) << "no account in the request";
    EXPECT_EQ(log.find("secret"), std::string::npos);
    EXPECT_TRUE(tmp_empty());

    // Installing is refused with the Linux text; the binary is not touched.
    struct stat before = {}, after = {};
    stat(KRCAN_BIN, &before);
    e2e::result u = run({"--update"}, kManifestNewer);
    EXPECT_TRUE(u.exited(1));
    EXPECT_EQ(u.out, std::string(SELFUPDATE_APPLY_TEXT) + "\n");
    stat(KRCAN_BIN, &after);
    EXPECT_EQ(before.st_mtim.tv_sec, after.st_mtim.tv_sec);
    EXPECT_EQ(before.st_size, after.st_size);

    const std::string n = std::to_string(selfupdate_this_version());
    const std::string same = R"({"version":)" + n + R"(,"file":"krcan-)" + n + R"(.tar.gz"})";
    e2e::result c = run({"--checkupdate"}, same);
    EXPECT_TRUE(c.exited(0));
    EXPECT_EQ(c.out, "krcan " + kThis + " is the newest published version.\n");
    e2e::result s = run({"--update"}, same);
    EXPECT_TRUE(s.exited(0));
    EXPECT_EQ(s.out, "krcan " + kThis + " is already the newest published version.\n");
    EXPECT_TRUE(tmp_empty());
}

TEST_F(Update, BadAnswersFailWithTheirMessage)
{
    struct bad {
        const char *name;
        std::string body, print;
        std::string expected;
        std::vector<std::pair<std::string, std::string>> env;
    };
    const std::string unreachable = "Could not reach the update server (";
    std::vector<bad> cases = {
        {"malformed", R"({"version":)" + kNewer + R"(,"file":"x")", "200", kNoVersionInfo, {}},
        {"yaml", "version: " + kNewer + "\nfile: x\n", "200", kNoVersionInfo, {}},
        {"root array", R"([{"version":)" + kNewer + R"(,"file":"x"}])", "200", kNoVersionInfo, {}},
        {"no version", R"({"file":"x"})", "200", kNoVersionInfo, {}},
        {"version -1", R"({"version":-1,"file":"x"})", "200", kNoVersionInfo, {}},
        {"version 0", R"({"version":"0","file":"x"})", "200", kNoVersionInfo, {}},
        {"empty file", R"({"version":)" + kNewer + R"(,"file":""})", "200", kNoVersionInfo, {}},
        {"404", kManifestNewer, "404", "No update information is published at " SELFUPDATE_BASE_URL ".\n", {}},
        {"500", kManifestNewer, "500", "The update server returned HTTP 500.\n", {}},
        {"000", "", "000", unreachable + "no answer from the server).\n", {}},
        {"exit 23", kManifestNewer, "200", unreachable + "curl exited with status 23).\n", {{"KR_CURL_EXIT", "23"}}},
        {"over 64 KiB",
         R"({"version":)" + kNewer + R"(,"file":"x","notes":")" + std::string(70000, 'n') + "\"}",
         "200",
         kNoVersionInfo,
         {}},
    };
    for (const bad &b : cases) {
        e2e::result r = run({"--checkupdate"}, b.body, b.print, b.env);
        EXPECT_TRUE(r.exited(1)) << b.name << ": " << r.out;
        EXPECT_EQ(r.out, b.expected) << b.name;
        EXPECT_TRUE(tmp_empty()) << b.name;
    }
    // curl missing from PATH.
    fs::remove(box.path("bin/curl"));
    e2e::result m = run({"--update"}, kManifestNewer, "200", {{"PATH", box.path("nothing").string()}});
    EXPECT_EQ(m.out, unreachable + "is curl installed?).\n");
    EXPECT_TRUE(m.exited(1));

    // A TMPDIR too long for the names: nothing runs.
    fs::create_symlink(KR_BIN_DIR "/kr_curl_standin", box.path("bin/curl"));
    fs::remove(box.path("curl.log"));
    std::string deep = box.tmp().string() + "/" + std::string(250, 't');
    e2e::result t = run({"--checkupdate"}, kManifestNewer, "200", {{"TMPDIR", deep}});
    EXPECT_TRUE(t.exited(1));
    EXPECT_EQ(t.out, "Could not check for updates: the temporary folder '" + deep.substr(0, 60) +
                         "...' is too long for a file name.\n")
        << "the folder is cut, not the reason";
    EXPECT_FALSE(fs::exists(box.path("curl.log"))) << "curl must not run";
    EXPECT_TRUE(tmp_empty());

    // Over-long strings are cut to their fields.
    std::string huge(10000, 'n');
    e2e::result h = run({"--checkupdate"}, R"({"version":)" + kNewer + R"(,"name":")" + huge + R"(","file":")" + huge +
                                               R"(","released":")" + huge + R"(","notes":")" + huge + R"("})");
    EXPECT_TRUE(h.exited(0)) << h.out;
    EXPECT_EQ(h.out, "krcan " + std::string(63, 'n') + " (build " + kNewer + ") is available; this is " + kThis +
                         ".\n"
                         "  released " +
                         std::string(31, 'n') + "\n  " + std::string(255, 'n') +
                         "\nInstall it with 'krcan --update'.\n");
    EXPECT_TRUE(tmp_empty());
}

// Ctrl-C while curl runs, also during the check made while the command line is read: curl is stopped
// and the request's files (the configuration holds the request) are gone. A SIGTERM, a SIGHUP (a
// closed terminal) or a SIGQUIT cleans up the same way.
TEST_F(Update, CtrlCLeavesNoFilesAndNoCurl)
{
    box.write_file("manifest", kManifestNewer);
    e2e::options o;
    o.path_prepend = {box.path("bin").string()};
    o.env = {{"KR_CURL_LOG", box.path("curl.log").string()},
             {"KR_CURL_BODY", box.path("manifest").string()},
             {"KR_CURL_SLEEP_MS", "60000"}};
    auto until = [](const std::function<bool()> &done) {
        for (int i = 0; i < 3000 && !done(); i++) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return done();
    };
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
        for (const char *cmd : {"--checkupdate", "--update"}) {
            fs::remove(box.path("curl.log"));
            e2e::background krcan(box, KRCAN_BIN, {cmd}, o);
            ASSERT_TRUE(until([&] { return box.read_file("curl.log").find("--\n") != std::string::npos; }));
            ASSERT_FALSE(tmp_empty());
            kill(krcan.pid(), sig); // krcan alone: stopping curl is its own work
            ASSERT_TRUE(until([&] { return !krcan.running(); }));
            e2e::result r = krcan.stop();
            EXPECT_TRUE(r.exited(sig)) << sig << cmd << r.signal << r.err;
            EXPECT_NE(r.err.find("Caught signal, terminating"), std::string::npos) << r.err;
            EXPECT_TRUE(tmp_empty()) << sig << cmd;
            bool curl_left = false; // a curl still running on this sandbox's files
            for (const auto &p : fs::directory_iterator("/proc")) {
                // Another process may end while it is read: its command line then reads as empty.
                std::string line;
                try {
                    std::ifstream f(p.path() / "cmdline");
                    line.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
                } catch (const std::exception &) {
                }
                curl_left = curl_left || line.find(box.tmp().string() + "/krcan_http_cfg_") != std::string::npos;
            }
            EXPECT_FALSE(curl_left) << sig << cmd;
        }
}

// The manifest's cap holds while it downloads: a body past 64 KiB stops curl at once, not after its
// whole time, and nothing is left in the temporary folder.
TEST_F(Update, AnOversizedManifestStopsTheDownload)
{
    e2e::result r = run({"--checkupdate"}, std::string(SELFUPDATE_MANIFEST_MAX + 1, ' '), "200",
                        {{"KR_CURL_SLEEP_MS", "60000"}});
    EXPECT_TRUE(r.exited(1)) << r.out;
    EXPECT_EQ(r.out, kNoVersionInfo) << r.out;
    EXPECT_LT(r.wall_ms, 15000);
    EXPECT_TRUE(tmp_empty());
    EXPECT_NE(box.read_file("curl.log").find("max-filesize = 65536\n"), std::string::npos);
}

} // namespace
