#include <gtest/gtest.h>
#include <windows.h>

#include "app/status_text.h"
#include "app/stop_signal.h"
#include "source/capture_target.h"
#include "source/process_loopback.h"

using Microsoft::WRL::ComPtr;

namespace {

TEST(DescribeStatus, KeepsTheSystemTextOrSaysUnknownThenEightLowerCaseDigits) {
    EXPECT_EQ(describeStatus(static_cast<HRESULT>(0x80070490)),
              "Element not found.\r\n (0x80070490)");
    EXPECT_EQ(describeStatus(static_cast<HRESULT>(0xABCD)), "Unknown error (0x0000abcd)");
}

TEST(ConsoleCtrlHandler, StopsOnCtrlCBreakAndCloseAndLeavesTheRestToTheSystem) {
    const std::pair<DWORD, BOOL> cases[] = {
        {CTRL_C_EVENT, TRUE},       {CTRL_BREAK_EVENT, TRUE},     {CTRL_CLOSE_EVENT, TRUE},
        {CTRL_LOGOFF_EVENT, FALSE}, {CTRL_SHUTDOWN_EVENT, FALSE}, {7, FALSE}};
    for (const auto& [event, handled] : cases) {
        g_running = true;
        EXPECT_EQ(consoleCtrlHandler(event), handled) << event;
        EXPECT_EQ(g_running.load(), !handled) << event;
    }
}

// Finding a live window's owner is the end-to-end tests' concern.
TEST(WindowOwner, IsUnknownForAnIdThatNamesNoWindow) {
    std::uint32_t owner = 0;
    EXPECT_EQ(findWindowOwner("window:0x1", owner), WindowOwner::NotRecognized);
}

TEST(ActivationHandler, AnswersItsThreeIdentitiesAndFreesItselfOnTheLastRelease) {
    const long before = liveActivationHandlerCount();
    ActivationHandler* handler = ActivationHandler::create().Detach();
    IUnknown* primary = static_cast<IActivateAudioInterfaceCompletionHandler*>(handler);
    IUnknown* agile = static_cast<IAgileObject*>(handler);
    EXPECT_EQ(agile->QueryInterface(audio::IID_IUnknown, nullptr), E_POINTER);
    const std::pair<GUID, IUnknown*> answers[] = {
        {audio::IID_IUnknown, primary},
        {audio::IID_IActivateAudioInterfaceCompletionHandler, primary},
        {audio::IID_IAgileObject, agile},
        {audio::IID_IAudioClient, nullptr}};
    for (const auto& [iid, view] : answers) {
        void* out = handler;
        EXPECT_EQ(agile->QueryInterface(iid, &out), view ? S_OK : E_NOINTERFACE);
        EXPECT_EQ(out, view);
    }
    EXPECT_EQ(primary->AddRef(), 5u);
    for (ULONG left = 4; left > 0; --left) EXPECT_EQ((left % 2 ? agile : primary)->Release(), left);
    EXPECT_EQ(liveActivationHandlerCount(), before + 1);
    EXPECT_EQ(primary->Release(), 0u);
    EXPECT_EQ(liveActivationHandlerCount(), before);
}

enum Fault { kNone, kStart, kResult, kGetResult, kNoClient, kNoObject, kNoCompletion };

// Stands in for the platform: the operation it hands out and the object an activation delivers
// (only IUnknown's methods are called on that, so it can pose as an IAudioClient). Like the
// system, it holds the handler until it completes.
struct Platform final : IActivateAudioInterfaceAsyncOperation {
    explicit Platform(Fault fault) : fault(fault) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        *out = fault != kNoClient && IsEqualGUID(iid, audio::IID_IAudioClient) ? this : nullptr;
        return *out != nullptr ? (AddRef(), S_OK) : E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs; }
    HRESULT STDMETHODCALLTYPE GetActivateResult(HRESULT* result, IUnknown** activated) override {
        ++calls;
        *result = fault == kResult ? E_ACCESSDENIED : S_OK;
        *activated = fault == kNoObject ? nullptr : (AddRef(), this);
        return fault == kGetResult ? E_UNEXPECTED : S_OK;
    }
    void complete() { handler->ActivateCompleted(this), handler.Reset(); }
    const Fault fault;
    ULONG refs = 1;
    int calls = 0;
    ComPtr<IActivateAudioInterfaceCompletionHandler> handler;
};
Platform* g_platform = nullptr;

HRESULT WINAPI fakeActivate(LPCWSTR, REFIID, PROPVARIANT*,
                            IActivateAudioInterfaceCompletionHandler* handler,
                            IActivateAudioInterfaceAsyncOperation** operation) {
    if (g_platform->fault == kStart) return E_ACCESSDENIED;
    g_platform->handler = handler;
    *operation = (g_platform->AddRef(), g_platform);
    if (g_platform->fault != kNoCompletion) g_platform->complete();
    return S_OK;
}

TEST(ProcessLoopbackActivation, ReportsEachOutcomeAndLetsALateCompletionTakeNothing) {
    const std::string failed = "Process loopback activation failed: ";
    const std::pair<Fault, std::string> cases[] = {
        {kNone, ""},
        {kStart, "ActivateAudioInterfaceAsync failed: " + describeStatus(E_ACCESSDENIED)},
        {kResult, failed + describeStatus(E_ACCESSDENIED)},
        {kGetResult, failed + describeStatus(E_UNEXPECTED)},
        {kNoClient, failed + describeStatus(S_OK)},
        {kNoObject, failed + describeStatus(S_OK)},
        {kNoCompletion, "Timed out waiting for audio interface activation."}};
    for (const auto& [fault, expected] : cases) {
        SCOPED_TRACE(fault);
        const long before = liveActivationHandlerCount();
        Platform platform(fault);
        g_platform = &platform;
        ComPtr<IAudioClient> client;
        std::string message;
        EXPECT_EQ(activateProcessLoopbackClient(fakeActivate, L"", 1, false, client, message, 50),
                  fault == kNone);
        EXPECT_EQ(message, expected);
        EXPECT_EQ(client.Get(),
                  fault == kNone ? reinterpret_cast<IAudioClient*>(&platform) : nullptr);
        if (platform.handler) platform.complete();
        EXPECT_EQ(platform.calls, fault == kStart || fault == kNoCompletion ? 0 : 1);
        client.Reset();
        EXPECT_EQ(platform.refs, 1u);
        EXPECT_EQ(liveActivationHandlerCount(), before);
    }
}

}  // namespace
