#include <gtest/gtest.h>

#include <windows.h>

#include "app/status_text.h"
#include "app/stop_signal.h"

namespace {

TEST(DescribeStatus, UsesTheSystemTextWithItsLineEnd) {
    EXPECT_EQ(describeStatus(static_cast<HRESULT>(0x80070490)),
              "Element not found.\r\n (0x80070490)");
    EXPECT_EQ(describeStatus(static_cast<HRESULT>(0x88890004)), "Unknown error (0x88890004)");
    EXPECT_EQ(describeStatus(E_FAIL).substr(describeStatus(E_FAIL).size() - 13), " (0x80004005)");
}

// The handler's flag is process-wide and never reset, so the one test that clears it checks
// the events that must leave it alone first.
TEST(ConsoleCtrlHandler, LeavesLogoffAndShutdownToTheSystemThenStopsOnCtrlC) {
    ASSERT_TRUE(g_running.load());
    for (DWORD event : {DWORD{CTRL_LOGOFF_EVENT}, DWORD{CTRL_SHUTDOWN_EVENT}, DWORD{7}}) {
        EXPECT_EQ(consoleCtrlHandler(event), FALSE) << event;
        EXPECT_TRUE(g_running.load()) << event;
    }
    EXPECT_EQ(consoleCtrlHandler(CTRL_C_EVENT), TRUE);
    EXPECT_FALSE(g_running.load());
    // A second event changes nothing more.
    EXPECT_EQ(consoleCtrlHandler(CTRL_BREAK_EVENT), TRUE);
    EXPECT_EQ(consoleCtrlHandler(CTRL_CLOSE_EVENT), TRUE);
    EXPECT_FALSE(g_running.load());
}

}  // namespace
