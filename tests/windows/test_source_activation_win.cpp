// The completion handler and process-loopback activation against a stand-in for the platform,
// and once against Wine's own ActivateAudioInterfaceAsync.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "app/status_text.h"
#include "source/audio_platform.h"
#include "source/process_loopback.h"

using Microsoft::WRL::ComPtr;

namespace {

// Stand-ins live on the test's stack; their count shows a leaked or an extra reference.
template <typename Interface>
struct Counted : Interface {
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs; }
    std::atomic<ULONG> refs{1};
};

// What an activation delivers. Activation calls nothing on it but the IUnknown methods that
// every COM interface starts with, so it can stand for an IAudioClient when it claims to be one.
struct Activated : Counted<IUnknown> {
    IAudioClient* asClient() { return reinterpret_cast<IAudioClient*>(this); }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        const bool answers = IsEqualGUID(iid, audio::IID_IUnknown) ||
                             (isAudioClient && IsEqualGUID(iid, audio::IID_IAudioClient));
        *out = answers ? this : nullptr;
        if (answers) AddRef();
        return answers ? S_OK : E_NOINTERFACE;
    }
    bool isAudioClient = true;
};

enum Completion { kBeforeReturning, kOnAnotherThread, kNever };

// Stands in for ActivateAudioInterfaceAsync (see fakeActivate) and is the operation it hands
// out. Like the system, it holds the handler until it has completed, and adds a reference to the
// object it gives. Its completing thread is joined by the test.
struct FakePlatform : Counted<IActivateAudioInterfaceAsyncOperation> {
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** out) override {
        *out = nullptr;
        return E_NOINTERFACE;
    }
    HRESULT STDMETHODCALLTYPE GetActivateResult(HRESULT* result, IUnknown** activated) override {
        *result = activateResult;
        *activated = object;
        if (object != nullptr) object->AddRef();
        return callStatus;
    }
    void complete() {
        handler->ActivateCompleted(this);
        handler.Reset();
    }

    HRESULT returnStatus = S_OK, callStatus = S_OK, activateResult = S_OK;
    Completion completion = kOnAnotherThread;
    IUnknown* object = nullptr;
    int calls = 0;
    std::vector<BYTE> blob;  // the activation record it was given
    ComPtr<IActivateAudioInterfaceCompletionHandler> handler;
    std::thread completer;
};

FakePlatform* g_platform = nullptr;

HRESULT WINAPI fakeActivate(LPCWSTR devicePath, REFIID iid, PROPVARIANT* params,
                            IActivateAudioInterfaceCompletionHandler* handler,
                            IActivateAudioInterfaceAsyncOperation** operation) {
    FakePlatform& platform = *g_platform;
    ++platform.calls;
    EXPECT_EQ(std::wstring(devicePath), L"VAD\\Process_Loopback");
    EXPECT_TRUE(IsEqualGUID(iid, audio::IID_IAudioClient));
    EXPECT_EQ(params->vt, VT_BLOB);
    platform.blob.assign(params->blob.pBlobData, params->blob.pBlobData + params->blob.cbSize);
    if (FAILED(platform.returnStatus)) return platform.returnStatus;
    platform.handler = handler;
    platform.AddRef();
    *operation = &platform;
    if (platform.completion == kBeforeReturning) platform.complete();
    if (platform.completion == kOnAnotherThread) {
        platform.completer = std::thread([&platform] {
            Sleep(20);
            platform.complete();
        });
    }
    return S_OK;
}

TEST(ActivationHandler, BothViewsAnswerTheSameThreeIdentitiesShareOneCountAndFreeItOnce) {
    const long baseline = liveActivationHandlerCount();
    ActivationHandler* handler = ActivationHandler::create().Detach();
    IUnknown* primary = static_cast<IActivateAudioInterfaceCompletionHandler*>(handler);
    IUnknown* agile = static_cast<IAgileObject*>(handler);
    ASSERT_NE(primary, agile);
    EXPECT_EQ(handler->QueryInterface(audio::IID_IAgileObject, nullptr), E_POINTER);
    // Differs from IID_IAgileObject in the last byte only; IAudioClient is simply foreign.
    GUID almostAgile = audio::IID_IAgileObject;
    almostAgile.Data4[7] ^= 1;
    const std::pair<GUID, IUnknown*> answers[] = {
        {audio::IID_IUnknown, primary},
        {audio::IID_IActivateAudioInterfaceCompletionHandler, primary},
        {audio::IID_IAgileObject, agile},
        {almostAgile, nullptr},
        {audio::IID_IAudioClient, nullptr}};
    ULONG refs = 1;
    for (IUnknown* asked : {primary, agile}) {
        for (const auto& [iid, view] : answers) {
            void* out = asked;
            EXPECT_EQ(asked->QueryInterface(iid, &out), view ? S_OK : E_NOINTERFACE);
            EXPECT_EQ(out, view);
            if (view != nullptr) ++refs;  // the answer's reference
            EXPECT_EQ(asked->AddRef(), refs + 1);
            EXPECT_EQ(asked->Release(), refs);
        }
    }
    // Every reference back, through alternating views; only the last one frees the handler.
    for (; refs > 1; --refs) EXPECT_EQ((refs % 2 ? agile : primary)->Release(), refs - 1);
    EXPECT_EQ(liveActivationHandlerCount(), baseline + 1);
    EXPECT_EQ(agile->Release(), 0u);
    EXPECT_EQ(liveActivationHandlerCount(), baseline);
}

TEST(ProcessLoopbackActivation, ReportsEachOutcomeAndPassesTheLoopbackRecord) {
    enum Gives { kNothing, kAudioClient, kOtherObject };
    struct Case {
        const char* name;
        HRESULT returnStatus;
        Completion completion;
        HRESULT callStatus, activateResult;
        Gives gives;
        bool excludeTree;
        std::string message;  // left untouched exactly when the activation succeeds
    };
    const HRESULT denied = static_cast<HRESULT>(0x80070005);
    const std::string ok = "untouched", failed = "Process loopback activation failed: ";
    const Case cases[] = {
        {"completed on another thread", S_OK, kOnAnotherThread, S_OK, S_OK, kAudioClient, false,
         ok},
        {"completed before the wait", S_OK, kBeforeReturning, S_OK, S_OK, kAudioClient, true, ok},
        {"async call refused", denied, kNever, S_OK, S_OK, kAudioClient, false,
         "ActivateAudioInterfaceAsync failed: " + describeStatus(denied)},
        {"activation failed", S_OK, kOnAnotherThread, S_OK, denied, kAudioClient, true,
         failed + describeStatus(denied)},
        {"GetActivateResult failed", S_OK, kBeforeReturning, E_UNEXPECTED, S_OK, kAudioClient,
         false, failed + describeStatus(E_UNEXPECTED)},
        {"object is no audio client", S_OK, kOnAnotherThread, S_OK, S_OK, kOtherObject, false,
         failed + describeStatus(S_OK)},
        {"succeeded without an object", S_OK, kBeforeReturning, S_OK, S_OK, kNothing, false,
         failed + describeStatus(S_OK)},
        {"no completion in time", S_OK, kNever, S_OK, S_OK, kAudioClient, false,
         "Timed out waiting for audio interface activation."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const long baseline = liveActivationHandlerCount();
        Activated activated, previous;
        activated.isAudioClient = c.gives == kAudioClient;
        {
            FakePlatform platform;
            g_platform = &platform;
            platform.returnStatus = c.returnStatus;
            platform.completion = c.completion;
            platform.callStatus = c.callStatus;
            platform.activateResult = c.activateResult;
            platform.object = c.gives == kNothing ? nullptr : &activated;

            ComPtr<IAudioClient> client = previous.asClient();
            std::string message = ok;
            const bool succeeds = c.message == ok;
            // No completion is awaited for long.
            EXPECT_EQ(activateProcessLoopbackClient(fakeActivate, audio::kProcessLoopbackDevicePath,
                                                    4242, c.excludeTree, client, message,
                                                    c.completion == kNever ? 100 : 5000),
                      succeeds);
            EXPECT_EQ(message, c.message);
            EXPECT_EQ(client.Get(), (succeeds ? activated : previous).asClient());

            EXPECT_EQ(platform.calls, 1);
            const BYTE mode = c.excludeTree ? 1 : 0;  // the type, the process id, the mode
            EXPECT_EQ(platform.blob,
                      (std::vector<BYTE>{1, 0, 0, 0, 0x92, 0x10, 0, 0, mode, 0, 0, 0}));

            if (platform.completer.joinable()) platform.completer.join();
            // A platform that has not completed still holds the handler: a late completion must
            // land in a live object.
            EXPECT_EQ(liveActivationHandlerCount(), baseline + (platform.handler ? 1 : 0));
            if (platform.handler) platform.complete();
            EXPECT_EQ(platform.refs.load(), 1u);
        }
        EXPECT_EQ(liveActivationHandlerCount(), baseline);
        EXPECT_EQ(activated.refs.load(), 1u);
        EXPECT_EQ(previous.refs.load(), 1u);
    }
}

// Wine accepts the call and completes it on a thread of its own, with "file not found". It
// lets go of the handler only some time after the completion call has returned.
TEST(ProcessLoopbackOnWine, CompletesWithFileNotFoundAndFreesTheHandlerLater) {
    const long baseline = liveActivationHandlerCount();
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    {
        ComPtr<IAudioClient> client;
        std::string message;
        EXPECT_FALSE(activateProcessLoopbackClient(audio::kProcessLoopbackDevicePath,
                                                   GetCurrentProcessId(), false, client, message));
        const HRESULT fileNotFound = static_cast<HRESULT>(0x80070002);
        EXPECT_EQ(message, "Process loopback activation failed: " + describeStatus(fileNotFound));
        EXPECT_EQ(message.rfind(" (0x80070002)"), message.size() - 13);
        EXPECT_EQ(client.Get(), nullptr);
    }
    for (int i = 0; i < 200 && liveActivationHandlerCount() != baseline; ++i) Sleep(50);
    EXPECT_EQ(liveActivationHandlerCount(), baseline);
    CoUninitialize();
}

}  // namespace
