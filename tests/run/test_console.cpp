// Console capture ring, the raw standard-input readers, the pipe the window feeds, and paths.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <memory>
#include <poll.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "run/console.h"
#include "run/main.h"
#include "kr_rtos.h"

namespace {

std::string range(const logcap_ring_st &r, size_t len, int skip, int max)
{
    std::string buf(len, 'X');
    logcap_ring_get_range(&r, buf.data(), len, skip, max);
    return std::string(buf.c_str());
}

void feed(logcap_ring_st &r, const std::string &s) { logcap_ring_feed(&r, s.data(), s.size()); }

struct Ring {
    std::unique_ptr<logcap_ring_st> r{new logcap_ring_st()};
    logcap_ring_st &operator*() { return *r; }
};

} // namespace

TEST(LogcapRing, LineEndsSplitsAndEmptyLines)
{
    Ring ring;
    feed(*ring, "a\r\nb\n\n\r\n");
    EXPECT_EQ(ring.r->line_count, 2u);
    EXPECT_EQ(range(*ring, 100, 0, 0), "a\nb\n");
    // Progress steps ending in a carriage return replace each other, as on a terminal.
    feed(*ring, "10%\r20%\r\r30%\rdone\nnext\r\n");
    EXPECT_EQ(range(*ring, 100, 0, 0), "a\nb\ndone\nnext\n");

    // A 600-character line is kept as 255 + 255 + 90; the last part waits for its line end.
    Ring big;
    feed(*big, std::string(255, 'x') + std::string(255, 'y') + std::string(90, 'z'));
    EXPECT_EQ(big.r->line_count, 2u);
    char last[300];
    logcap_ring_get_last_line(big.r.get(), last, sizeof last);
    EXPECT_EQ(std::string(last), std::string(90, 'z'));
    feed(*big, "\n");
    EXPECT_EQ(range(*big, 4096, 0, 0),
              std::string(255, 'x') + "\n" + std::string(255, 'y') + "\n" + std::string(90, 'z') + "\n");
    logcap_ring_get_last_line(big.r.get(), last, 5);
    EXPECT_STREQ(last, "zzzz");
}

TEST(LogcapRing, KeepsTheNewestThousandLines)
{
    Ring ring;
    for (int i = 1; i <= 1005; i++) feed(*ring, "line " + std::to_string(i) + "\n");
    EXPECT_EQ(ring.r->line_count, 1000u);
    EXPECT_EQ(ring.r->line_seq, 1005u);
    // Oldest held is the sixth; with no limit and a big enough buffer every line comes back.
    std::string all = range(*ring, 64 * 1024, 0, 0);
    EXPECT_EQ(all.substr(0, 7), "line 6\n");
    EXPECT_EQ(all.substr(all.size() - 10), "line 1005\n");
    EXPECT_EQ(std::count(all.begin(), all.end(), '\n'), 1000);

    // Skip the two newest, take three: oldest first.
    EXPECT_EQ(range(*ring, 1000, 2, 3), "line 1001\nline 1002\nline 1003\n");
    // Skipping more than is held gives nothing; a negative skip counts as none.
    EXPECT_EQ(range(*ring, 1000, 1000, 0), "");
    EXPECT_EQ(range(*ring, 1000, -4, 1), "line 1005\n");
}

TEST(LogcapRing, SmallDestinationKeepsTheNewestThatFit)
{
    Ring ring;
    feed(*ring, "abc\ndefg\nhi\n");
    EXPECT_EQ(range(*ring, 10, 0, 0), "defg\nhi\n");
    // A line that can never fit is skipped; a single byte holds only the terminator.
    feed(*ring, std::string(20, 'q') + "\n");
    EXPECT_EQ(range(*ring, 10, 0, 0), "defg\nhi\n");
    EXPECT_EQ(range(*ring, 1, 0, 0), "");
}

TEST(ConsolePaths, BasenameAndDirname)
{
    struct Case {
        const char *in, *base, *dir;
    } cases[] = {
        {"dir/sub/", "sub", "dir"},
        {"/", "/", "/"},
        {"file.txt", "file.txt", "."},
        {"d:\\a\\b.json", "b.json", "d:\\a"},
        {"/x", "x", "/"},
        {"a//b", "b", "a"},
        {"name", "name", "."},
        {"\\\\", "\\", "\\"},
        {"a/b\\\\", "b", "a"},
    };
    for (const Case &c : cases) {
        std::string b = c.in, d = c.in;
        EXPECT_STREQ(kr_win_basename(b.data()), c.base) << c.in;
        EXPECT_STREQ(kr_win_dirname(d.data()), c.dir) << c.in;
    }
    char empty[] = "";
    EXPECT_STREQ(kr_win_basename(empty), ".");
    EXPECT_STREQ(kr_win_dirname(nullptr), ".");
}

namespace {

// Puts a pipe on descriptor 0 for the duration of a test; the write end is `in`.
struct StdinPipe {
    int saved = dup(0);
    int in = -1;
    StdinPipe()
    {
        int fds[2];
        EXPECT_EQ(pipe(fds), 0);
        dup2(fds[0], 0);
        close(fds[0]);
        in = fds[1];
    }
    void write_text(const std::string &s) { EXPECT_EQ(write(in, s.data(), s.size()), (ssize_t)s.size()); }
    void close_in()
    {
        if (in >= 0) close(in);
        in = -1;
    }
    ~StdinPipe()
    {
        close_in();
        dup2(saved, 0);
        close(saved);
    }
};

} // namespace

TEST(ConsoleStdin, ReadersShareOneUnbufferedStream)
{
    StdinPipe p;
    p.write_text("abcdef\nskip\nxy\nlast");
    p.close_in();
    uint32_t prompts = kr_stdin_get_prompt_count();

    char buf[4];
    ASSERT_NE(kr_stdin_getline(buf, sizeof buf), nullptr);
    EXPECT_STREQ(buf, "abc"); // the rest waits for the next call
    char line[64];
    ASSERT_NE(kr_stdin_getline(line, sizeof line), nullptr);
    EXPECT_STREQ(line, "def\n");
    // Every reader takes exactly its own answer, whatever reader asked before.
    char *r = kr_win_readline(nullptr);
    ASSERT_NE(r, nullptr);
    EXPECT_STREQ(r, "skip");
    free(r);
    EXPECT_EQ(kr_stdin_getchar(), 'x');
    EXPECT_EQ(kr_stdin_getchar(), 'y');
    EXPECT_EQ(kr_stdin_getchar(), '\n');
    // A last line without its line end, then end of input.
    ASSERT_NE(kr_stdin_getline(line, sizeof line), nullptr);
    EXPECT_STREQ(line, "last");
    EXPECT_EQ(kr_stdin_getline(line, sizeof line), nullptr);
    EXPECT_EQ(kr_stdin_getchar(), -1);
    EXPECT_EQ(kr_win_readline("> "), nullptr);
    EXPECT_EQ(kr_stdin_getline(nullptr, 10), nullptr);
    EXPECT_EQ(kr_stdin_getline(line, 0), nullptr);
    // getline and getchar count as prompts; readline and refused calls do not.
    EXPECT_EQ(kr_stdin_get_prompt_count() - prompts, 8u);
    EXPECT_FALSE(kr_stdin_is_waiting());
}

// The thread's current system call is poll, as that of a reader waiting for input.
bool in_poll(pid_t tid)
{
    std::ifstream f("/proc/self/task/" + std::to_string(tid) + "/syscall");
    long nr = -1;
    f >> nr;
#ifdef SYS_poll
    if (nr == SYS_poll) return true;
#endif
    return nr == SYS_ppoll;
}

TEST(ConsoleStdin, CrLfAndNonBlockingInput)
{
    StdinPipe p;
    int fl = fcntl(0, F_GETFL);
    fcntl(0, F_SETFL, fl | O_NONBLOCK);
    // The answer comes once the reader waits in poll: a non-blocking descriptor must wait, not fail.
    const pid_t reader = (pid_t)syscall(SYS_gettid);
    std::thread writer([&] {
        for (int i = 0; i < 6000 && !in_poll(reader); i++) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        p.write_text("yes\r\n");
    });
    char *r = kr_win_readline(nullptr);
    writer.join();
    fcntl(0, F_SETFL, fl);
    ASSERT_NE(r, nullptr);
    EXPECT_STREQ(r, "yes");
    free(r);
}

TEST(ConsoleStdin, WindowPipeAnswersPromptsInOrder)
{
    int saved = dup(0);
    kr_stdin_use_pipe();
    std::thread asker([] {
        // The window feeds while the prompt waits.
        for (int i = 0; i < 200 && !kr_stdin_is_waiting(); i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        kr_stdin_feed("");
        kr_stdin_feed("skip");
        kr_stdin_feed("two\n");
    });
    char line[32];
    ASSERT_NE(kr_stdin_getline(line, sizeof line), nullptr);
    EXPECT_STREQ(line, "\n");
    ASSERT_NE(kr_stdin_getline(line, sizeof line), nullptr);
    EXPECT_STREQ(line, "skip\n");
    ASSERT_NE(kr_stdin_getline(line, sizeof line), nullptr);
    EXPECT_STREQ(line, "two\n");
    asker.join();
    dup2(saved, 0);
    close(saved);
}

namespace {

// Runs body in a child whose standard output and error are a pipe the parent drains; returns
// what reached that pipe and the child's exit status (body returns the status).
std::string run_child(int (*body)(), int *status)
{
    int out[2];
    if (pipe(out) != 0) return "";
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        dup2(out[1], 2);
        close(out[0]);
        close(out[1]);
        _exit(body());
    }
    close(out[1]);
    std::string got;
    char buf[65536];
    ssize_t n;
    while ((n = read(out[0], buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
        if (n > 0) got.append(buf, n);
    close(out[0]);
    waitpid(pid, status, 0);
    return got;
}

bool wait_seq(uint32_t seq)
{
    for (int i = 0; i < 1000; i++) {
        if (logcap_get_seq() >= seq) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

void on_usr1(int) {}

int capture_body()
{
    // SIGUSR1 interrupts system calls (no SA_RESTART). The capture thread inherits an open mask;
    // this thread then blocks the signal, so every one sent lands in the capture thread's read.
    struct sigaction sa {};
    sa.sa_handler = on_usr1;
    sigaction(SIGUSR1, &sa, nullptr);
    logcap_init();
    logcap_init(); // a second start does nothing
    if (!logcap_is_started()) return 10;
    sigset_t usr1;
    sigemptyset(&usr1);
    sigaddset(&usr1, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &usr1, nullptr);
    for (int i = 0; i < 20; i++) {
        kill(getpid(), SIGUSR1);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    // Far more than the 64 KiB pipe holds: writers must never stall.
    std::string chunk(100, 'w');
    for (int i = 1; i <= 1200; i++) std::printf("%s %d\n", chunk.c_str(), i);
    std::fprintf(stderr, "to stderr\n");
    std::printf("partial");
    if (!wait_seq(1201)) return 11;
    if (logcap_get_line_count() != 1000) return 12;
    char last[64];
    for (int i = 0; i < 200; i++) {
        logcap_get_last_line(last, sizeof last);
        if (std::strcmp(last, "partial") == 0) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (std::strcmp(last, "partial") != 0) return 13;
    static char all[400 * 1024];
    logcap_get_all(all, sizeof all, 0);
    std::string s(all);
    if (s.rfind(chunk + " 202\n", 0) != 0) return 14; // the newest 1000: 202..1200 and stderr
    if (s.find("to stderr\n") != s.size() - 10) return 15;
    logcap_get_range(all, sizeof all, 1, 1);
    if (std::string(all) != chunk + " 1200\n") return 16;
    return 0;
}

} // namespace

TEST(LogcapCapture, EchoesEverythingAndKeepsTheNewestLines)
{
    int status = 0;
    std::string echoed = run_child(capture_body, &status);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    // The console saw every byte, in order.
    EXPECT_EQ(echoed.substr(0, 103), std::string(100, 'w') + " 1\n");
    EXPECT_NE(echoed.find(std::string(100, 'w') + " 1200\nto stderr\npartial"), std::string::npos);
}

namespace {

// The window's strip is drawn from the captured lines: colour and progress redrawn in place as on a
// terminal. The echo into a pipe behind it is plain text.
int colour_body()
{
    logcap_init();
    LOG("step %d", 1);
    LOG("step %d", 2);
    LOG_OK();
    job_warning("careful\n");
    std::printf("\rloose\r\n");
    if (!wait_seq(5)) return 10;
    static char all[4096];
    logcap_get_all(all, sizeof all, 0);
    if (std::string(all) != "step 2\033[K\033[1m\033[32m OK\033[0m\n\033[1m\033[33mcareful\nloose\n") return 11;
    logcap_stop();
    return 0;
}

} // namespace

TEST(LogcapCapture, TheStripKeepsColourAndAPipeGetsPlainText)
{
    int status = 0;
    std::string echoed = run_child(colour_body, &status);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(echoed, "step 1\nstep 2 OK\ncareful\nloose\n");
    // A sequence or a carriage return split between two reads of the pipe.
    logcap_plain_st st{};
    char out[16];
    std::string got;
    for (const char *piece : {"a\033", "[1;3", "1mb\r", "c\r", "\nd"})
        got.append(out, logcap_plain_filter(&st, piece, std::strlen(piece), out));
    EXPECT_EQ(got, "ab\nc\nd");
}

namespace {

int pipe_in[2];
volatile int ticks_while_waiting = 0;
volatile bool answered = false;

void asker_task(void *)
{
    char line[32];
    char *r = kr_stdin_getline(line, sizeof line);
    answered = true;
    // The other task ran all its steps while this one waited for the answer.
    _exit(r && std::strcmp(line, "ok\n") == 0 && ticks_while_waiting == 20 ? 0 : 3);
}

void ticker_task(void *)
{
    for (int i = 0; i < 20; i++) {
        kr_rtos_task_delay(10);
        if (!answered) ticks_while_waiting = ticks_while_waiting + 1;
    }
    if (write(pipe_in[1], "ok\n", 3) != 3) _exit(4);
    kr_rtos_task_delay(50000); // the answered prompt ends the process long before
    _exit(5);
}

} // namespace

TEST(ConsoleStdin, PromptLetsOtherTasksRun)
{
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        alarm(10); // a prompt that held the run token would hang here
        if (pipe(pipe_in) != 0) _exit(6);
        dup2(pipe_in[0], 0);
        kr_rtos_task_create(asker_task, "asker", 10240, nullptr, 2, nullptr);
        kr_rtos_task_create(ticker_task, "ticker", 10240, nullptr, 2, nullptr);
        kr_rtos_start_scheduler();
        _exit(7);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status)) << "signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    EXPECT_EQ(WEXITSTATUS(status), 0);
}
