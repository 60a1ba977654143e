#include <gtest/gtest.h>
#include <windows.h>

#include <thread>

#include "app/status_text.h"
#include "app/stop_signal.h"
#include "source/capture_target.h"
#include "source/process_loopback.h"

using Handler = IActivateAudioInterfaceCompletionHandler;
using Operation = IActivateAudioInterfaceAsyncOperation;

// The system's own texts are the end-to-end tests' concern.
TEST(DescribeStatus, SaysUnknownErrorWithoutASystemTextThenEightLowerCaseDigits) {
    EXPECT_EQ(describeStatus(HRESULT(0xABCD)), "Unknown error (0x0000abcd)");
}

TEST(ConsoleCtrlHandler, StopsOnCtrlCBreakAndCloseAndLeavesLogoffToTheSystem) {
    const DWORD events[] = {CTRL_C_EVENT, CTRL_BREAK_EVENT, CTRL_CLOSE_EVENT, CTRL_LOGOFF_EVENT};
    for (std::size_t i = 0; i < std::size(events); ++i) {
        g_running = true;
        EXPECT_EQ(consoleCtrlHandler(events[i]), i < 3 ? TRUE : FALSE) << i;
        EXPECT_EQ(g_running.load(), i == 3) << i;
    }
}

TEST(WindowOwner, IsUnknownForAnIdThatNamesNoWindow) {
    std::uint32_t owner = 0;
    EXPECT_EQ(findWindowOwner("window:0x1", owner), WindowOwner::NotRecognized);
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
    }
    for (ULONG left = 3; left > 0; --left) EXPECT_EQ((left % 2 ? agile : primary)->Release(), left);
    EXPECT_EQ(primary->Release(), 0u);
    EXPECT_EQ(liveActivationHandlerCount(), before);
}

enum Fault { kNone, kStart, kResult, kGetResult, kNoClient, kNoObject, kNoCompletion };

// Stands in for the platform: the operation it hands out and the object an activation delivers
// (only IUnknown's methods are called on that, so it can pose as an IAudioClient). Like the
// system, it holds the handler until it completes.
struct Platform final : Operation {
    explicit Platform(Fault fault) : fault(fault) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        *out = fault != kNoClient && IsEqualGUID(iid, audio::IID_IAudioClient) ? this : nullptr;
        return *out != nullptr ? S_OK : E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE GetActivateResult(HRESULT* result, IUnknown** activated) override {
        ++calls;
        *result = fault == kResult ? E_ACCESSDENIED : S_OK;
        *activated = fault == kNoObject ? nullptr : this;
        return fault == kGetResult ? E_UNEXPECTED : S_OK;
    }
    void complete() { handler->ActivateCompleted(this), handler.Reset(); }
    const Fault fault;
    int calls = 0;
    Microsoft::WRL::ComPtr<Handler> handler;
};
static Platform* g_platform = nullptr;

static HRESULT WINAPI fakeAsync(LPCWSTR, REFIID, PROPVARIANT*, Handler* h, Operation** op) {
    if (g_platform->fault == kStart) return E_ACCESSDENIED;
    g_platform->handler = h;
    *op = g_platform;
    if (g_platform->fault != kNoCompletion) g_platform->complete();
    return S_OK;
}

TEST(ProcessLoopbackActivation, ReportsEachOutcomeAndLetsALateCompletionTakeNothing) {
    const std::pair<Fault, std::string> cases[] = {
        {kNone, ""},
        {kStart, "ActivateAudioInterfaceAsync failed: " + describeStatus(E_ACCESSDENIED)},
        {kResult, "Process loopback activation failed: " + describeStatus(E_ACCESSDENIED)},
        {kGetResult, "Process loopback activation failed: " + describeStatus(E_UNEXPECTED)},
        {kNoClient, "Process loopback activation failed: " + describeStatus(S_OK)},
        {kNoObject, "Process loopback activation failed: " + describeStatus(S_OK)},
        {kNoCompletion, "Timed out waiting for audio interface activation."}};
    for (const auto& [fault, expected] : cases) {
        Platform platform(fault);
        g_platform = &platform;
        Microsoft::WRL::ComPtr<IAudioClient> client;
        std::string text;
        const bool ok = activateProcessLoopbackClient(fakeAsync, L"", 1, false, client, text, 50);
        EXPECT_EQ(ok && client, fault == kNone) << fault;
        EXPECT_EQ(text, expected) << fault;
        if (platform.handler) platform.complete();
        EXPECT_EQ(platform.calls, fault == kStart || fault == kNoCompletion ? 0 : 1) << fault;
    }
}

// The finished mark is process-wide and never taken back, so the run that never finishes comes
// first. The bound is generous: a wait that did not end with the run would return false.
TEST(RunFinished, WaitLastsItsBoundWhenTheRunNeverEndsAndEndsWhenItDoes) {
    using std::chrono::milliseconds, std::chrono::steady_clock;
    const auto start = steady_clock::now();
    EXPECT_FALSE(waitForRunFinished(milliseconds(100)));
    EXPECT_GE(steady_clock::now() - start, milliseconds(100));
    std::thread finisher([] { Sleep(50), markRunFinished(); });
    EXPECT_TRUE(waitForRunFinished(milliseconds(60000)));
    finisher.join();
}
