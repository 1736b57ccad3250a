// HTTP through curl and the background update check, in process, against a stand-in curl (and the real
// one where the quoting matters).
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "online/krhttp.h"
#include "kr_rtos.h"
#include "online/selfupdate.h"
#include "read_all.h"

namespace fs = std::filesystem;

namespace {

size_t count_of(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + what.size())) n++;
    return n;
}

// A private folder with bin/curl (the stand-in) first on PATH, TMPDIR and the stand-in's log.
class Http : public ::testing::Test {
protected:
    fs::path dir, tmp, bin, log;
    std::string old_path = getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin";
    void SetUp() override
    {
        char t[] = "/tmp/krcan_http_test_XXXXXX";
        ASSERT_NE(mkdtemp(t), nullptr);
        dir = t;
        tmp = dir / "tmp";
        bin = dir / "bin";
        log = dir / "curl.log";
        fs::create_directories(tmp);
        fs::create_directories(bin);
        fs::create_symlink(KR_BIN_DIR "/kr_curl_standin", bin / "curl");
        setenv("PATH", (bin.string() + ":" + old_path).c_str(), 1);
        setenv("TMPDIR", tmp.c_str(), 1);
        setenv("KR_CURL_LOG", log.c_str(), 1);
        for (const char *v : {"KR_CURL_PRINT", "KR_CURL_EXIT", "KR_CURL_SLEEP_MS", "KR_CURL_BODY"}) unsetenv(v);
    }
    void TearDown() override
    {
        setenv("PATH", old_path.c_str(), 1);
        unsetenv("TMPDIR");
        fs::remove_all(dir);
    }
    std::string config(const char *user, const char *pwd, int max_time = 20)
    {
        char head[1024];
        krhttp_cfg_common(head, sizeof head, max_time, user, pwd);
        return std::string(head) + "url = \"http://127.0.0.1:9/\"\nwrite-out = \"%{http_code}\"\n";
    }
    // The -K file named in the log's last entry.
    std::string cfg_file()
    {
        std::string l = read_all(log);
        size_t a = l.rfind("args: -K ");
        return a == std::string::npos ? "" : l.substr(a + 9, l.find('\n', a) - a - 9);
    }
};

TEST_F(Http, PasswordStaysOutOfTheProcessListAndTheFileGoes)
{
    std::string cfg = config("alice", "s3cret pw");
    EXPECT_EQ(krhttp_curl(cfg.c_str()), 200);
    std::string l = read_all(log);
    EXPECT_NE(l.find("user = \"alice:s3cret pw\"\n"), std::string::npos) << l;
    // The pid in the name: a later run sweeps only what ended runs left.
    EXPECT_NE(l.find("cmdline: curl -K " + tmp.string() + "/krcan_http_cfg_" + std::to_string(getpid()) + "_"),
              std::string::npos)
        << l;
    EXPECT_EQ(l.substr(l.find("cmdline:"), l.find("\nmode:") - l.find("cmdline:")).find("s3cret"), std::string::npos);
    EXPECT_NE(l.find("mode: 600\n"), std::string::npos) << l;
    ASSERT_FALSE(cfg_file().empty());
    EXPECT_FALSE(fs::exists(cfg_file()));
    EXPECT_TRUE(fs::is_empty(tmp));

    // Statuses, curl's own failure, several statuses.
    setenv("KR_CURL_PRINT", "404", 1);
    EXPECT_EQ(krhttp_curl(cfg.c_str()), 404);
    setenv("KR_CURL_PRINT", "200", 1);
    setenv("KR_CURL_EXIT", "23", 1);
    char err[128] = "";
    EXPECT_EQ(krhttp_curl_err(cfg.c_str(), err, sizeof err), 0);
    EXPECT_STREQ(err, "curl exited with status 23");
    unsetenv("KR_CURL_EXIT");
    setenv("KR_CURL_PRINT", "200\n404\n", 1);
    int32_t codes[4] = {};
    EXPECT_EQ(krhttp_curl_multi(cfg.c_str(), codes, 4), 2u);
    EXPECT_EQ(codes[0], 200);
    EXPECT_EQ(codes[1], 404);
    EXPECT_EQ(krhttp_curl_multi(cfg.c_str(), codes, 1), 1u);

    // No password: no user line even with a user name.
    unsetenv("KR_CURL_PRINT");
    EXPECT_EQ(krhttp_curl(config("alice", "").c_str()), 200);
    l = read_all(log);
    EXPECT_EQ(l.find("user", l.rfind("args:")), std::string::npos);
    EXPECT_TRUE(fs::is_empty(tmp));
}

TEST_F(Http, CurlMissingOrNeverEndingLeavesNothing)
{
    setenv("PATH", dir.c_str(), 1); // no curl anywhere
    char err[128] = "";
    EXPECT_EQ(krhttp_curl_err(config("a", "b").c_str(), err, sizeof err), 0);
    EXPECT_STREQ(err, "is curl installed?");
    EXPECT_TRUE(fs::is_empty(tmp));

    setenv("PATH", (bin.string() + ":" + old_path).c_str(), 1);
    setenv("KR_CURL_SLEEP_MS", "60000", 1);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(krhttp_curl_err(config("a", "b", 1).c_str(), err, sizeof err), 0);
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_STREQ(err, "curl did not finish within 6 s");
    EXPECT_GE(s, 5.5);
    EXPECT_LT(s, 50) << "ended long before the stand-in would have";
    EXPECT_NE(read_all(log).find("mode: 600\n"), std::string::npos);
    EXPECT_FALSE(fs::exists(cfg_file()));
    EXPECT_TRUE(fs::is_empty(tmp));
}

// A loopback HTTP server that answers one request and keeps its Authorization header, decoded.
std::string serve_one(int listener)
{
    int c = accept(listener, nullptr, nullptr);
    if (c < 0) return "";
    std::string req;
    char buf[4096];
    while (req.find("\r\n\r\n") == std::string::npos) {
        ssize_t n = read(c, buf, sizeof buf);
        if (n <= 0) break;
        req.append(buf, (size_t)n);
    }
    const char ok[] = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
    if (write(c, ok, sizeof ok - 1) < 0) req.clear();
    close(c);
    size_t a = req.find("Authorization: Basic ");
    if (a == std::string::npos) return "(none)";
    std::string b64 = req.substr(a + 21, req.find("\r\n", a) - a - 21);
    static const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    uint32_t acc = 0;
    int bits = 0;
    for (char ch : b64) {
        size_t v = alphabet.find(ch);
        if (v == std::string::npos) break;
        acc = (acc << 6) | (uint32_t)v;
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += (char)((acc >> bits) & 0xFF);
        }
    }
    return out;
}

TEST_F(Http, RealCurlReceivesTheExactUserAndPassword)
{
    setenv("PATH", old_path.c_str(), 1);
    if (system("command -v curl >/dev/null 2>&1") != 0) GTEST_SKIP() << "curl is not installed";
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ASSERT_EQ(bind(s, (sockaddr *)&a, sizeof a), 0);
    ASSERT_EQ(listen(s, 4), 0);
    getsockname(s, (sockaddr *)&a, &len);
    std::string url = "http://127.0.0.1:" + std::to_string(ntohs(a.sin_port)) + "/";

    struct {
        const char *user, *pwd, *expected;
    } cases[] = {
        {"us\\er", "p\\ss#w rd\\", "us\\er:p\\ss#w rd\\"},
        {"a\"b c", "x\r\ny", "ab c:xy"},
    };
    for (auto &c : cases) {
        char head[1024];
        krhttp_cfg_common(head, sizeof head, 10, c.user, c.pwd);
        std::string cfg = std::string(head) + "noproxy = \"*\"\nurl = \"" + url + "\"\noutput = \"/dev/null\"\n" +
                          "write-out = \"%{http_code}\"\n";
        std::string got;
        std::thread server([&] { got = serve_one(s); });
        int32_t status = krhttp_curl(cfg.c_str());
        server.join();
        EXPECT_EQ(status, 200);
        EXPECT_EQ(got, c.expected);
    }
    close(s);
    EXPECT_TRUE(fs::is_empty(tmp));
}

TEST_F(Http, Sha256OfAnAwkwardNameRunsNoCommand)
{
    // A shell would run `x` for $(x): the stand-in x leaves a mark.
    std::ofstream(bin / "x") << "#!/bin/sh\ntouch " << (dir / "ran").string() << "\n";
    fs::permissions(bin / "x", fs::perms::owner_all);
    fs::path f = dir / "a'b $(x).bin";
    std::ofstream(f) << "hello\n";
    char out[65];
    ASSERT_TRUE(krhttp_sha256_file(f.c_str(), out, sizeof out));
    EXPECT_STREQ(out, "5891b5b522d5df086d0ff0b110fbd9d21bb4fc7163af34d08286a2e846f6be03");
    EXPECT_FALSE(fs::exists(dir / "ran"));
    EXPECT_FALSE(krhttp_sha256_file(f.c_str(), out, 64)) << "no room for the digest and its terminator";
    EXPECT_FALSE(krhttp_sha256_file((dir / "missing").c_str(), out, sizeof out));
}

// ---- The background check: scheduler scenarios in a forked child ----

volatile int ticks = 0;
volatile bool check_done = false;

void ticker_task(void *)
{
    while (!check_done) {
        kr_rtos_task_delay(10);
        ticks = ticks + 1;
    }
    kr_rtos_task_delete(nullptr);
}

void checker_task(void *)
{
    selfupdate_check_async();
    selfupdate_check_async(); // running: no second check
    selfupdate_info_st info = {};
    bool ok = false, newer = false;
    char err[256] = "x";
    int polls = 0;
    while (!selfupdate_check_poll(&info, &ok, &newer, err, sizeof err)) {
        if (++polls > 3000) _exit(10);
        kr_rtos_task_delay(10);
    }
    check_done = true;
    if (!ok || !newer || info.version != 999999999u || err[0] != '\0') _exit(11);
    if (selfupdate_check_poll(&info, &ok, &newer, err, sizeof err)) _exit(12); // only once
    selfupdate_info_st avail = {};
    if (!selfupdate_available(&avail) || avail.version != 999999999u) _exit(13);
    selfupdate_check_async(); // done: no second check either
    kr_rtos_task_delay(1500);
    if (ticks < 50) _exit(14); // the ticker ran while curl took its second
    _exit(0);
}

TEST_F(Http, BackgroundCheckReportsOnceAndLetsOthersRun)
{
    std::ofstream(dir / "manifest") << R"({"version":999999999,"name":"339-gabcd","file":"krcan.tar.gz"})";
    setenv("KR_CURL_BODY", (dir / "manifest").c_str(), 1);
    setenv("KR_CURL_SLEEP_MS", "1000", 1);
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        alarm(60);
        kr_rtos_task_create(checker_task, "checker", 51200, nullptr, 2, nullptr);
        kr_rtos_task_create(ticker_task, "ticker", 10240, nullptr, 2, nullptr);
        kr_rtos_start_scheduler();
        _exit(7);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status)) << "signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(count_of(read_all(log), "args: -K "), 1u) << "one curl for the whole process";
    EXPECT_TRUE(fs::is_empty(tmp));
}

} // namespace
