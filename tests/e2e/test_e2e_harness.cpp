// The end-to-end harness itself, on small system programs: later tests rely on what it reports.
#include <gtest/gtest.h>

#include <signal.h>

#include "e2e/e2e.h"

namespace {

TEST(Harness, StreamsStatusAndPrivateFolders)
{
    e2e::sandbox box;
    e2e::options o;
    o.stdin_text = std::string(200000, 'x') + "\nend\n"; // more than a pipe holds
    e2e::result cat = box.run("/bin/cat", {}, o);
    EXPECT_TRUE(cat.exited(0));
    EXPECT_EQ(cat.out, *o.stdin_text);
    EXPECT_EQ(cat.err, "");

    e2e::result ls = box.run("/bin/ls", {"/nonexistent-krcan"});
    EXPECT_TRUE(ls.exited(2));
    EXPECT_EQ(ls.out, "");
    EXPECT_NE(ls.err.find("nonexistent-krcan"), std::string::npos);

    e2e::options env;
    env.env = {{"KR_E2E_MARK", "1"}};
    env.path_prepend = {box.path("bin").string()};
    e2e::result e = box.run("/usr/bin/env", {}, env);
    EXPECT_NE(e.out.find("\nHOME=" + box.home().string() + "\n"), std::string::npos) << e.out;
    EXPECT_NE(e.out.find("\nXDG_CONFIG_HOME=" + box.config().string() + "\n"), std::string::npos);
    EXPECT_NE(e.out.find("\nTMPDIR=" + box.tmp().string() + "\n"), std::string::npos);
    EXPECT_NE(e.out.find("\nKR_E2E_MARK=1\n"), std::string::npos);
    EXPECT_NE(e.out.find("\nPATH=" + box.path("bin").string() + ":"), std::string::npos);

    box.write_file("sub/f.txt", "content");
    e2e::result pwd = box.run("/bin/cat", {"sub/f.txt"});
    EXPECT_EQ(pwd.out, "content") << "the sandbox is the working folder";

    e2e::sandbox other;
    EXPECT_NE(box.dir(), other.dir());
}

TEST(Harness, SignalsAndTimeLimit)
{
    e2e::sandbox box;
    e2e::options intr;
    intr.sigint_after_ms = 100;
    e2e::result s = box.run("/bin/sleep", {"20"}, intr);
    EXPECT_EQ(s.signal, SIGINT);
    EXPECT_FALSE(s.timed_out);
    EXPECT_LT(s.wall_ms, 5000);

    e2e::options on_text;
    on_text.sigint_on_output = "3\n";
    on_text.timeout_ms = 10000;
    e2e::result y = box.run("/usr/bin/seq", {"1000000000"}, on_text);
    EXPECT_EQ(y.signal, SIGINT) << "the signal follows the text on standard output";

    e2e::options limit;
    limit.timeout_ms = 200;
    e2e::result t = box.run("/bin/sleep", {"20"}, limit);
    EXPECT_TRUE(t.timed_out);
    EXPECT_FALSE(t.exited(0));
    EXPECT_LT(t.wall_ms, 5000);

    e2e::options tty;
    tty.pty = true;
    EXPECT_TRUE(box.run("/usr/bin/test", {"-t", "1"}, tty).exited(0)) << "standard output is a terminal";
    EXPECT_TRUE(box.run("/usr/bin/test", {"-t", "1"}).exited(1));
    EXPECT_TRUE(box.run("/usr/bin/test", {"-t", "2"}, tty).exited(1)) << "standard error stays a pipe";
}

TEST(Harness, BackgroundProgram)
{
    e2e::sandbox box;
    e2e::background seq(box, "/usr/bin/seq", {"3"});
    EXPECT_EQ(seq.read_line(5000), "1");
    EXPECT_EQ(seq.read_line(5000), "2");
    EXPECT_EQ(seq.read_line(5000), "3");
    EXPECT_EQ(seq.read_line(200), "") << "nothing more";
    EXPECT_TRUE(seq.stop().exited(0));

    e2e::background sleeper(box, "/bin/sleep", {"30"});
    EXPECT_TRUE(sleeper.running());
    EXPECT_FALSE(sleeper.wait_for_output("never", 100));
    e2e::result r = sleeper.stop();
    EXPECT_EQ(r.signal, SIGTERM);
    EXPECT_FALSE(sleeper.running());
}

// A benchmark ended by a signal while its transfer runs removes the sandbox it made in TMPDIR.
TEST(Harness, ABenchmarkStoppedBySignalLeavesNoSandbox)
{
    e2e::sandbox box;
    auto sandboxes = [&box] {
        size_t n = 0;
        for (const auto &e : std::filesystem::directory_iterator(box.tmp()))
            if (e.path().filename().string().rfind("krcan_e2e_", 0) == 0) n++;
        return n;
    };
    e2e::background bench(box, std::string(KR_BIN_DIR) + "/bench_sdo_block", {});
    for (int i = 0; i < 60000 && sandboxes() == 0; i++) usleep(1000);
    ASSERT_EQ(sandboxes(), 1u) << bench.out() << bench.err();
    kill(bench.pid(), SIGTERM);
    EXPECT_TRUE(bench.wait_end(30000));
    EXPECT_EQ(sandboxes(), 0u);
}

} // namespace
