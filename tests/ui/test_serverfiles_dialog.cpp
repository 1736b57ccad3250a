// The server files dialog of this build: the file server's login fails, so the dialog shows the
// client's text in an OK box and returns false, with no folder made and nothing downloaded.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "online/remotefiles.h"
#include "ui/serverfiles.h"
#include "ui_support.h"

namespace {

bool display_up()
{
    static int state = 0;
    if (state == 0) state = kr_ui_init() ? 1 : 2;
    return state == 1;
}

using uitest::script_click;
using uitest::script_idle;

TEST(ServerFilesDialog, UnavailableBoxReturnsFalse)
{
    UI_REQUIRE_DISPLAY();
    ASSERT_TRUE(display_up());
    e2e::sandbox box;
    const char *old = getenv("TMPDIR");
    const std::string saved = old ? old : "";
    setenv("TMPDIR", box.tmp().c_str(), 1);
    kr_ui_script_clear();
    kr_ui_input_button(false);
    while (kr_ui_get_key_press() != 0) {
    }
    for (int answer_x : {300, 900}) { // either button of the box closes it
        script_click(answer_x, 600);
        EXPECT_FALSE(serverfiles_win_exec(nullptr));
        EXPECT_EQ(kr_ui_script_pending(), 0u) << "the box took the click";
    }
    EXPECT_TRUE(std::filesystem::is_empty(box.tmp())) << "no download folder";
    EXPECT_TRUE(remotefiles_download_is_finished());
    char path[64] = "unchanged";
    EXPECT_FALSE(remotefiles_download_result(path, sizeof path, nullptr, 0));
    EXPECT_STREQ(path, "") << "nothing was downloaded";
    if (old)
        setenv("TMPDIR", saved.c_str(), 1);
    else
        unsetenv("TMPDIR");
}

} // namespace
