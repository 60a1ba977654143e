#include <gtest/gtest.h>
#include <windows.h>

#include <thread>

#include "app/status_text.h"
#include "app/stop_signal.h"
#include "fake_audio.h"
#include "source/capture_target.h"
#include "source/process_loopback.h"

using Handler = IActivateAudioInterfaceCompletionHandler;

// The system's own texts are the end-to-end tests' concern.
TEST(DescribeStatus, SaysUnknownErrorWithoutASystemTextThenEightLowerCaseDigits) {
    EXPECT_EQ(describeStatus(HRESULT(0xABCD)), "Unknown error (0x0000abcd)");
}

TEST(ConsoleCtrlHandler, StopsOnCtrlCAndBreakAndLeavesLogoffToTheSystem) {
    const DWORD events[] = {CTRL_C_EVENT, CTRL_BREAK_EVENT, CTRL_LOGOFF_EVENT};
    for (std::size_t i = 0; i < std::size(events); ++i) {
        g_running = true;
        EXPECT_EQ(consoleCtrlHandler(events[i]), i < 2 ? TRUE : FALSE) << i;
        EXPECT_EQ(g_running.load(), i == 2) << i;
    }
}

// Once the handler returns from a console close the system ends the process at once, with a code
// of its own, and it ends it anyway about 5 s after the close. So the handler holds the close past
// the end of the run, for main to end the process with the run's code, and within those 5 s.
TEST(ConsoleCtrlHandler, HoldsAConsoleClosePastTheEndOfTheRunAndWithinTheSystemsAllowance) {
    using namespace std::chrono;
    g_running = true;
    const auto closed = steady_clock::now();
    std::thread windDown([] {
        Sleep(50);
        markRunFinished();
    });
    EXPECT_EQ(consoleCtrlHandler(CTRL_CLOSE_EVENT), TRUE);
    const auto heldMilliseconds = duration_cast<milliseconds>(steady_clock::now() - closed).count();
    windDown.join();
    EXPECT_FALSE(g_running.load());
    EXPECT_GE(heldMilliseconds, 4000);
    EXPECT_LT(heldMilliseconds, 5000);
}

TEST(WindowOwner, IsUnknownForAnIdThatNamesNoWindowOrNoNumber) {
    for (const char* id : {"window:0x1", "abc", ":10"}) {
        std::uint32_t owner = 0;
        EXPECT_EQ(findWindowOwner(id, owner), WindowOwner::NotRecognized) << id;
    }
}

TEST(ActivationHandler, AnswersItsThreeIdentitiesAndFreesItselfOnTheLastRelease) {
    const long before = liveActivationHandlerCount();
    ActivationHandler* handler = ActivationHandler::create().Detach();
    IUnknown* primary = static_cast<Handler*>(handler);
    IUnknown* agile = static_cast<IAgileObject*>(handler);
    EXPECT_EQ(agile->QueryInterface(audio::IID_IUnknown, nullptr), E_POINTER);
    const GUID iids[] = {audio::IID_IUnknown, audio::IID_IActivateAudioInterfaceCompletionHandler,
                         audio::IID_IAgileObject, audio::IID_IAudioClient};
    IUnknown* views[] = {primary, primary, agile, nullptr};
    for (std::size_t i = 0; i < std::size(iids); ++i) {
        void* out = handler;
        EXPECT_EQ(agile->QueryInterface(iids[i], &out), views[i] ? S_OK : E_NOINTERFACE) << i;
        EXPECT_EQ(out, views[i]) << i;
        if (out != nullptr) static_cast<IUnknown*>(out)->Release();
    }
    primary->Release();
    EXPECT_EQ(liveActivationHandlerCount(), before);
}

TEST(ProcessLoopbackActivation, ReportsEachOutcomeAndLetsALateCompletionTakeNothing) {
    const std::string failed = "Process loopback activation failed: ";
    const std::string timedOut = "Timed out waiting for audio interface activation.";
    const std::pair<const char*, std::string> cases[] = {
        {"", ""},
        {"fail=ActivateAudioInterfaceAsync#1=0x80070005",
         "ActivateAudioInterfaceAsync failed: " + describeStatus(E_ACCESSDENIED)},
        {"fail=ActivateResult#1=0x80070005", failed + describeStatus(E_ACCESSDENIED)},
        {"fail=GetActivateResult#1=0x8000FFFF", failed + describeStatus(E_UNEXPECTED)},
        {"fail=ActivateResult#1=noclient", failed + describeStatus(S_OK)},
        {"fail=ActivateResult#1=0x0", failed + describeStatus(S_OK)},
        {"complete=never", timedOut},
        {"complete=300", timedOut}};
    const long handlersBefore = liveActivationHandlerCount();
    for (const auto& [directives, expected] : cases) {
        resetFakeAudio(directives);
        Microsoft::WRL::ComPtr<IAudioClient> client;
        std::string text;
        const bool ok = activateProcessLoopbackClient(fakeActivateAudioInterfaceAsync, L"", 1,
                                                      false, client, text, 100);
        EXPECT_EQ(ok && client, expected.empty()) << directives;
        EXPECT_EQ(text, expected) << directives;
        client.Reset();
        EXPECT_EQ(fakeAudioOutstanding(), std::vector<std::string>{}) << directives;
    }
    EXPECT_EQ(liveActivationHandlerCount(), handlersBefore);
}
