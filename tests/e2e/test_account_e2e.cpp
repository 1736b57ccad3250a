// The stored account, end to end: what `user` and `pwd` write, what a later run reads back, and
// inputs that must leave the stored file alone.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "online/account.h"
#include "e2e/e2e.h"
#include "online/selfupdate.h"

namespace fs = std::filesystem;

namespace {

// The version line of this build (its name and number come from git at build time).
const std::string kVersionLine = "krcan " + std::string(selfupdate_this_name()) + " (build " +
                                 std::to_string(selfupdate_this_version()) + ")\n";

class Account : public ::testing::Test {
protected:
    e2e::sandbox box;
    fs::path folder() const { return box.config() / "krcan"; }
    fs::path file() const { return folder() / "account.conf"; }
    std::string stored() const { return box.read_file("config/krcan/account.conf"); }
    static unsigned mode(const fs::path &p)
    {
        struct stat st = {};
        stat(p.c_str(), &st);
        return st.st_mode & 0777;
    }
    std::string lines(const std::string &user, const std::string &pwd, const std::string &url = CREDENTIALS_DEFAULT_URL,
                      const std::string &fleet_user = "", const std::string &fleet_url = CREDENTIALS_DEFAULT_FLEET_URL,
                      int check = 1) const
    {
        return "username=" + user + "\npassword=" + pwd + "\nurl=" + url + "\nfleet_username=" + fleet_user +
               "\nfleet_password=\nfleet_url=" + fleet_url + "\ncheck_updates=" + std::to_string(check) + "\n";
    }
};

TEST_F(Account, UserAndPasswordAreKeptBetweenRuns)
{
    const std::string pwd = "pa\"ss\\wo=rd  with spaces\\";
    e2e::result r = box.krcan({"--silent", "--user", "alice", "--pwd", pwd});
    ASSERT_TRUE(r.exited(0)) << r.out << r.err;
    EXPECT_NE(r.err.find("Account username set to 'alice'\n"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("Account password set\n"), std::string::npos) << r.err;
    EXPECT_EQ(stored(), lines("alice", pwd));
    EXPECT_EQ(mode(folder()), 0700u);
    EXPECT_EQ(mode(file()), 0600u);

    // A later run that sets only the user name keeps the stored password; no temporary file is left.
    ASSERT_TRUE(box.krcan({"--user", "bob"}).exited(0));
    EXPECT_EQ(stored(), lines("bob", pwd));
    EXPECT_EQ(std::distance(fs::directory_iterator(folder()), fs::directory_iterator()), 1);

    // A relative XDG_CONFIG_HOME counts as unset: the folder under HOME is used.
    e2e::options rel;
    rel.env = {{"XDG_CONFIG_HOME", "relative"}};
    ASSERT_TRUE(box.krcan({"--pwd", "x"}, rel).exited(0));
    EXPECT_EQ(box.read_file("home/.config/krcan/account.conf"), lines("", "x"));
    EXPECT_EQ(mode(box.home() / ".config" / "krcan"), 0700u);
    EXPECT_FALSE(fs::exists(box.dir() / "relative"));
}

TEST_F(Account, ReadingTakesWhatTheFileHolds)
{
    // CRLF line ends, an empty url=, check_updates=yes (reads as 0), a fleet_name line, a 300-character
    // value, and a 400-character line whose tail would move the file server.
    std::string overlong = "password=" + std::string(278, 'p');
    overlong += "url=evil" + std::string(400 - overlong.size() - 8, 'e');
    box.write_file("config/krcan/account.conf", "username=carol\r\nurl=\r\nfleet_name=ours\r\ncheck_updates=yes\r\n"
                                                "fleet_username=" +
                                                    std::string(300, 'f') + "\r\n" + overlong +
                                                    "\nfleet_url=broker.example\r\n");
    // Any write shows what was read.
    e2e::result r = box.krcan({"--user", "carol"});
    ASSERT_TRUE(r.exited(0)) << r.out;
    EXPECT_EQ(stored(), lines("carol", std::string(255, 'p'), CREDENTIALS_DEFAULT_URL, std::string(255, 'f'),
                              "broker.example", 0));
    EXPECT_EQ(mode(file()), 0600u) << "a file of another mode becomes owner-only";

    // A file kept elsewhere through a link stays linked; its target is rewritten.
    fs::rename(file(), box.path("elsewhere.conf"));
    fs::create_symlink(box.path("elsewhere.conf"), file());
    ASSERT_TRUE(box.krcan({"--user", "dave"}).exited(0));
    EXPECT_TRUE(fs::is_symlink(file()));
    EXPECT_EQ(box.read_file("elsewhere.conf").rfind("username=dave\npassword=" + std::string(255, 'p'), 0), 0u);

    // A NUL ends a value, not its line; a file others can read is made owner-only when read.
    fs::remove(file());
    box.write_file("config/krcan/account.conf", std::string("username=a\0b\npassword=secret\n", 29));
    fs::permissions(file(),
                    fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read);
    ASSERT_TRUE(box.krcan({"--version"}).exited(0));
    EXPECT_EQ(mode(file()), 0600u);
    ASSERT_TRUE(box.krcan({"--user", "z"}).exited(0));
    EXPECT_EQ(stored(), lines("z", "secret"));

    // A FIFO at the path is not read and does not hold up start-up.
    fs::remove(file());
    ASSERT_EQ(mkfifo(file().c_str(), 0600), 0);
    e2e::options o;
    o.timeout_ms = 15000;
    e2e::result v = box.krcan({"--version"}, o);
    EXPECT_TRUE(v.exited(0)) << "timed out: " << v.timed_out;
    EXPECT_EQ(v.out, kVersionLine);
}

TEST_F(Account, BadInputsLeaveTheStoredFileAlone)
{
    ASSERT_TRUE(box.krcan({"--user", "old", "--pwd", "oldpw"}).exited(0));
    const std::string before = stored();

    for (const char *opt : {"--user", "--pwd"})
        for (const char *bad : {"a\nurl=evil", "b\r"}) {
            e2e::result r = box.krcan({opt, bad, "--version"});
            EXPECT_TRUE(r.exited(1)) << opt;
            EXPECT_NE(r.out.find("may not hold a line break"), std::string::npos) << r.out;
            EXPECT_NE(r.out.find("returned with FALSE"), std::string::npos) << r.out;
            EXPECT_EQ(r.out.find(kVersionLine), std::string::npos) << "refused: nothing after it runs";
            EXPECT_EQ(stored(), before);
        }

    // A file this user cannot read (another owner's, 0600) holds what the run never saw: not replaced.
    e2e::result u;
    fs::permissions(file(), fs::perms::none);
    if (geteuid() == 0) { // root reads every file: the run is made another user's
        for (const fs::path &p : {box.dir(), box.config()})
            fs::permissions(p, fs::perms::all & ~fs::perms::others_write & ~fs::perms::group_write);
        fs::permissions(folder(), fs::perms::all);
        u = box.run("/usr/bin/setpriv", {"--reuid=65534", "--regid=65534", "--clear-groups", KRCAN_BIN, "--user", "z"});
    } else {
        u = box.krcan({"--user", "z"});
    }
    fs::permissions(file(), fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_TRUE(u.exited(1)) << u.out << u.err;
    EXPECT_NE(u.out.find("exists but cannot be read"), std::string::npos) << u.out;
    EXPECT_EQ(stored(), before);

    // Only a regular file is replaced: a FIFO at the path, or a link to one, stays what it is.
    fs::rename(file(), box.path("kept.conf"));
    ASSERT_EQ(mkfifo(box.path("fifo").c_str(), 0600), 0);
    for (bool link : {false, true}) {
        if (link)
            fs::create_symlink(box.path("fifo"), file());
        else
            ASSERT_EQ(mkfifo(file().c_str(), 0600), 0);
        e2e::result f = box.krcan({"--user", "z"});
        EXPECT_TRUE(f.exited(1)) << f.out;
        EXPECT_NE(f.out.find("it is not a regular file, so it is not replaced"), std::string::npos) << f.out;
        EXPECT_TRUE(link ? fs::is_symlink(file()) : fs::is_fifo(file()));
        EXPECT_TRUE(fs::is_fifo(box.path("fifo")));
        fs::remove(file());
    }
    fs::rename(box.path("kept.conf"), file());

    // A regular file where the folder should be: an error naming the file, the run goes on and fails.
    box.write_file("blocked/krcan", "not a folder");
    e2e::options blocked;
    blocked.env = {{"XDG_CONFIG_HOME", box.path("blocked").string()}};
    e2e::result b = box.krcan({"--user", "new", "--version"}, blocked);
    EXPECT_TRUE(b.exited(1));
    EXPECT_NE(b.out.find("ERROR: the account was not saved: couldn't write '" + box.path("blocked").string() +
                         "/krcan/account.conf'"),
              std::string::npos)
        << b.out;
    EXPECT_NE(b.out.find(kVersionLine), std::string::npos) << "later commands still run";
    EXPECT_EQ(box.read_file("blocked/krcan"), "not a folder");

    // A settings folder over its limit gives no path at all: no write, not even a cut one.
    e2e::options longdir;
    std::string deep = box.path("d").string() + "/" + std::string(CREDENTIALS_FOLDER_MAX, 'x');
    longdir.env = {{"XDG_CONFIG_HOME", deep}};
    e2e::result l = box.krcan({"--pwd", "new"}, longdir);
    EXPECT_TRUE(l.exited(1));
    EXPECT_NE(l.out.find("longer than 899 characters"), std::string::npos) << l.out;
    EXPECT_FALSE(fs::exists(box.path("d")));
    EXPECT_EQ(stored(), before);
}

} // namespace
