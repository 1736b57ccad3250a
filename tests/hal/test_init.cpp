// Library start-up and the ways the process ends: Ctrl-C, restart requests, kernel assertions.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "kr_can.h"
#include "kr_canopen.h"
#include "kr_rtos.h"
#include "kr_utilities.h"

namespace {

[[noreturn]] void run_scheduler_with(kr_rtos_task_function_t job)
{
    kr_rtos_task_create(job, "job", 51200, nullptr, 2, nullptr);
    kr_rtos_start_scheduler();
    std::exit(99);
}

TEST(InitDeathTest, CtrlCPrintsEvenWhenSilentAndExitsTwo)
{
    EXPECT_EXIT(
        {
            silent = true;
            kr_init(nullptr);
            run_scheduler_with([](void *) {
                kr_rtos_task_delay(10); // the library task has stepped by now
                std::printf("buffered, never flushed");
                kill(getpid(), SIGINT);
                for (;;) kr_rtos_task_delay(100);
            });
        },
        ::testing::ExitedWithCode(2), "^Caught signal, terminating\n$");
}

void send_local_nmt(uint8_t command, uint8_t node)
{
    kr_can_message_st msg = {};
    msg.id = 0;
    msg.data_length = 2;
    msg.data[0] = command;
    msg.data[1] = node;
    kr_can_send_flags(kr_can_get_dev(), &msg, CAN_SEND_FLAGS_LOCAL);
}

// The library task steps the CAN port and the stack: a looped-back NMT start is obeyed, and an
// NMT reset for all nodes ends the process through the restart path with status 1, saying why even
// when silent.
TEST(InitDeathTest, LibraryTaskStepsTheStackAndResetEndsTheRun)
{
    EXPECT_EXIT(
        {
            silent = true;
            kr_init(nullptr);
            run_scheduler_with([](void *) {
                kr_rtos_task_delay(10);
                if (kr_canopen_get_state() == CANOPEN_OPERATIONAL) std::exit(5);
                send_local_nmt(0x01, 0);
                for (int i = 0; i < 30000 && kr_canopen_get_state() != CANOPEN_OPERATIONAL; i++) kr_rtos_task_delay(1);
                if (kr_canopen_get_state() != CANOPEN_OPERATIONAL) std::exit(6);
                std::fputs("operational\n", stderr);
                send_local_nmt(0x81, 0);
                kr_rtos_task_delay(50000); // the reset ends the process long before
                std::exit(7);
            });
        },
        ::testing::ExitedWithCode(1),
        "^operational\nThe tool's own CANopen node 0x1 got an NMT reset node command for all nodes; ending the run\\.\n$");
}

TEST(InitDeathTest, RestartWithoutCommandLineExitsOne)
{
    EXPECT_EXIT(
        {
            silent = true;
            kr_init(nullptr);
            run_scheduler_with([](void *) {
                kr_rtos_task_delay(5);
                kr_system_reset();
            });
        },
        ::testing::ExitedWithCode(1), "");
}

class RestartScript : public ::testing::Test {
protected:
    void SetUp() override
    {
        char dir[] = "/tmp/krcan_initXXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
        script_ = dir_ + "/restarted";
        FILE *f = std::fopen(script_.c_str(), "w");
        ASSERT_NE(f, nullptr);
        std::fputs("#!/bin/sh\necho \"restarted with $*\" >&2\nexit 7\n", f);
        std::fclose(f);
        chmod(script_.c_str(), 0700);
    }
    void TearDown() override
    {
        unlink(script_.c_str());
        rmdir(dir_.c_str());
    }
    std::string dir_, script_;
};

[[noreturn]] void start_with_library_command_line(const std::string &script)
{
    silent = false;
    static std::string s = script;
    static char *argv[] = {s.data(),    (char *)"--nodeid", (char *)"0x20", (char *)"--eeprom",
                           (char *)"x", (char *)"--bogus",  nullptr};
    kr_init_arg(nullptr, 6, argv);
    silent = true;
    run_scheduler_with([](void *) { kr_app_restart(); });
}

[[noreturn]] void restart_unknown_program()
{
    silent = true;
    static char *argv[] = {(char *)"/nonexistent/krcan", nullptr};
    kr_init_arg(nullptr, 1, argv);
    kr_bootloader_start();
    std::exit(99);
}

// The library's own command line is read, and a restart re-executes that command line.
TEST_F(RestartScript, RestartReExecutesTheLibraryCommandLine)
{
    EXPECT_EXIT(start_with_library_command_line(script_), ::testing::ExitedWithCode(7),
                "Setting nodeid to 0x20\nDefined but not used argument 'e'\n.*restarted with --nodeid 0x20 --eeprom x");
}

TEST(InitDeathTest, FailedRestartSaysSoAndExitsOne)
{
    EXPECT_EXIT(restart_unknown_program(), ::testing::ExitedWithCode(1),
                "kr_app_restart: execvp\\('/nonexistent/krcan'\\) failed");
}

TEST(InitDeathTest, KernelAssertionIsReportedAndFails)
{
    EXPECT_EXIT(
        {
            silent = true;
            vAssertCalled("tasks.c", 1234);
        },
        ::testing::ExitedWithCode(1), "Assert in 'tasks.c', line 1234");
}

} // namespace
