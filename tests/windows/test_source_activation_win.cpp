// The completion handler and process-loopback activation against a stand-in for the platform,
// and once against Wine's own ActivateAudioInterfaceAsync.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "app/status_text.h"
#include "source/audio_platform.h"
#include "source/process_loopback.h"

using Microsoft::WRL::ComPtr;

namespace {

bool sameGuid(const GUID& a, const GUID& b) {
    return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}

// Test doubles live on the test's stack; their count shows a leaked or an extra release.
template <typename Interface>
class CountedFake : public Interface {
  public:
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs; }
    std::atomic<ULONG> refs{1};
};

class FakeAudioClient : public CountedFake<IAudioClient> {
  public:
    explicit FakeAudioClient(bool answersAudioClient = true)
        : answersAudioClient_(answersAudioClient) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (sameGuid(iid, audio::IID_IUnknown) ||
            (answersAudioClient_ && sameGuid(iid, audio::IID_IAudioClient))) {
            *out = static_cast<IAudioClient*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    HRESULT STDMETHODCALLTYPE Initialize(AUDCLNT_SHAREMODE, DWORD, REFERENCE_TIME, REFERENCE_TIME,
                                         const WAVEFORMATEX*, LPCGUID) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetBufferSize(UINT32*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetStreamLatency(REFERENCE_TIME*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetCurrentPadding(UINT32*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE IsFormatSupported(AUDCLNT_SHAREMODE, const WAVEFORMATEX*,
                                                WAVEFORMATEX**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetMixFormat(WAVEFORMATEX**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetDevicePeriod(REFERENCE_TIME*, REFERENCE_TIME*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Start() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Stop() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reset() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetEventHandle(HANDLE) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetService(REFIID, void**) override { return E_NOTIMPL; }

  private:
    bool answersAudioClient_;
};

// Hands out whatever the test set; like the system, it adds a reference to the object it gives.
class FakeOperation : public CountedFake<IActivateAudioInterfaceAsyncOperation> {
  public:
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

    HRESULT callStatus = S_OK;
    HRESULT activateResult = S_OK;
    IUnknown* object = nullptr;
};

enum class Completion { BeforeReturning, OnAnotherThread, Never };

// Stands in for ActivateAudioInterfaceAsync: records what it was given and holds the handler
// until it has completed, as the system does.
struct FakePlatform {
    HRESULT returnStatus = S_OK;
    Completion completion = Completion::OnAnotherThread;
    FakeOperation operation;

    int calls = 0;
    std::wstring devicePath;
    GUID iid{};
    VARTYPE vt = VT_EMPTY;
    ULONG blobSize = 0;
    audio::AUDIOCLIENT_ACTIVATION_PARAMS params{};
    ComPtr<IActivateAudioInterfaceCompletionHandler> held;
    std::thread completer;

    void completeNow() {
        held->ActivateCompleted(&operation);
        held.Reset();
    }
    ~FakePlatform() {
        if (completer.joinable()) completer.join();
    }
};

FakePlatform* g_platform = nullptr;

HRESULT WINAPI fakeActivate(LPCWSTR devicePath, REFIID iid, PROPVARIANT* activationParams,
                            IActivateAudioInterfaceCompletionHandler* handler,
                            IActivateAudioInterfaceAsyncOperation** operation) {
    FakePlatform& platform = *g_platform;
    ++platform.calls;
    platform.devicePath = devicePath;
    platform.iid = iid;
    platform.vt = activationParams->vt;
    platform.blobSize = activationParams->blob.cbSize;
    if (platform.blobSize == sizeof platform.params) {
        std::memcpy(&platform.params, activationParams->blob.pBlobData, sizeof platform.params);
    }
    if (FAILED(platform.returnStatus)) return platform.returnStatus;
    platform.held = handler;
    platform.operation.AddRef();
    *operation = &platform.operation;
    switch (platform.completion) {
        case Completion::BeforeReturning:
            platform.completeNow();
            break;
        case Completion::OnAnotherThread:
            platform.completer = std::thread([&platform] {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                platform.completeNow();
            });
            break;
        case Completion::Never:
            break;
    }
    return S_OK;
}

struct PlatformScope {
    explicit PlatformScope(FakePlatform& platform) { g_platform = &platform; }
    ~PlatformScope() { g_platform = nullptr; }
};

TEST(ActivationHandler, QueryInterfaceAnswersItsThreeIdentitiesAndNothingElse) {
    const long baseline = liveActivationHandlerCount();
    {
        ComPtr<ActivationHandler> handler = ActivationHandler::create();
        IActivateAudioInterfaceCompletionHandler* primary = handler.Get();
        EXPECT_EQ(liveActivationHandlerCount(), baseline + 1);

        EXPECT_EQ(handler->QueryInterface(audio::IID_IAgileObject, nullptr), E_POINTER);

        void* agile = nullptr;
        ASSERT_EQ(handler->QueryInterface(audio::IID_IAgileObject, &agile), S_OK);
        ASSERT_EQ(agile, static_cast<IAgileObject*>(handler.Get()));
        EXPECT_EQ(handler->AddRef(), 3u);  // ours, the query's, this one
        EXPECT_EQ(handler->Release(), 2u);
        // The agile view is the same object: asked for IUnknown it gives the primary pointer.
        void* unknown = nullptr;
        ASSERT_EQ(static_cast<IAgileObject*>(agile)->QueryInterface(audio::IID_IUnknown, &unknown),
                  S_OK);
        EXPECT_EQ(unknown, primary);
        EXPECT_EQ(primary->Release(), 2u);
        EXPECT_EQ(static_cast<IAgileObject*>(agile)->Release(), 1u);

        void* completion = nullptr;
        ASSERT_EQ(handler->QueryInterface(audio::IID_IActivateAudioInterfaceCompletionHandler,
                                          &completion),
                  S_OK);
        EXPECT_EQ(completion, primary);
        EXPECT_EQ(primary->Release(), 1u);

        // Differs from IID_IAgileObject in the last byte only; IAudioClient is simply foreign.
        GUID almostAgile = audio::IID_IAgileObject;
        almostAgile.Data4[7] ^= 1;
        for (const GUID& foreign : {almostAgile, audio::IID_IAudioClient}) {
            void* out = &completion;
            EXPECT_EQ(handler->QueryInterface(foreign, &out), E_NOINTERFACE);
            EXPECT_EQ(out, nullptr);
        }
        EXPECT_EQ(handler->AddRef(), 2u);
        EXPECT_EQ(handler->Release(), 1u);
    }
    EXPECT_EQ(liveActivationHandlerCount(), baseline);
}

TEST(ActivationHandler, BothViewsShareOneCountAndTheLastReleaseFreesItOnce) {
    const long baseline = liveActivationHandlerCount();
    ActivationHandler* handler = ActivationHandler::create().Detach();
    IActivateAudioInterfaceCompletionHandler* primary = handler;
    IAgileObject* agile = handler;
    ASSERT_NE(static_cast<void*>(primary), static_cast<void*>(agile));
    EXPECT_EQ(agile->AddRef(), 2u);
    EXPECT_EQ(primary->AddRef(), 3u);
    EXPECT_EQ(agile->Release(), 2u);
    EXPECT_EQ(primary->Release(), 1u);
    EXPECT_EQ(liveActivationHandlerCount(), baseline + 1);
    EXPECT_EQ(agile->Release(), 0u);
    EXPECT_EQ(liveActivationHandlerCount(), baseline);
}

TEST(ProcessLoopbackActivation, ReportsEachOutcomeAndPassesTheLoopbackRecord) {
    struct Case {
        const char* name;
        HRESULT returnStatus;
        Completion completion;
        HRESULT callStatus;
        HRESULT activateResult;
        bool giveObject;
        bool objectIsAudioClient;
        bool excludeTree;
        bool succeeds;
        std::string message;
    };
    const HRESULT accessDenied = static_cast<HRESULT>(0x80070005);
    const Case cases[] = {
        {"completed on another thread", S_OK, Completion::OnAnotherThread, S_OK, S_OK, true, true,
         false, true, "untouched"},
        {"completed before the wait, excluding the tree", S_OK, Completion::BeforeReturning, S_OK,
         S_OK, true, true, true, true, "untouched"},
        {"async call refused", accessDenied, Completion::Never, S_OK, S_OK, true, true, false,
         false, "ActivateAudioInterfaceAsync failed: " + describeStatus(accessDenied)},
        {"activation failed", S_OK, Completion::OnAnotherThread, S_OK, accessDenied, true, true,
         true, false, "Process loopback activation failed: " + describeStatus(accessDenied)},
        {"GetActivateResult failed", S_OK, Completion::BeforeReturning, E_UNEXPECTED, S_OK, true,
         true, false, false, "Process loopback activation failed: " + describeStatus(E_UNEXPECTED)},
        {"object is no audio client", S_OK, Completion::OnAnotherThread, S_OK, S_OK, true, false,
         false, false, "Process loopback activation failed: " + describeStatus(S_OK)},
        {"succeeded without an object", S_OK, Completion::BeforeReturning, S_OK, S_OK, false, true,
         false, false, "Process loopback activation failed: " + describeStatus(S_OK)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const long baseline = liveActivationHandlerCount();
        FakeAudioClient activated(c.objectIsAudioClient);
        FakeAudioClient previous;
        {
            FakePlatform platform;
            PlatformScope scope(platform);
            platform.returnStatus = c.returnStatus;
            platform.completion = c.completion;
            platform.operation.callStatus = c.callStatus;
            platform.operation.activateResult = c.activateResult;
            platform.operation.object = c.giveObject ? &activated : nullptr;

            ComPtr<IAudioClient> client = &previous;
            std::string message = "untouched";
            EXPECT_EQ(activateProcessLoopbackClient(fakeActivate, audio::kProcessLoopbackDevicePath,
                                                    4242, c.excludeTree, client, message,
                                                    audio::kActivationWaitMilliseconds),
                      c.succeeds);
            EXPECT_EQ(message, c.message);
            EXPECT_EQ(client.Get(), c.succeeds ? static_cast<IAudioClient*>(&activated)
                                               : static_cast<IAudioClient*>(&previous));

            ASSERT_EQ(platform.calls, 1);
            EXPECT_EQ(platform.devicePath, L"VAD\\Process_Loopback");
            EXPECT_TRUE(sameGuid(platform.iid, audio::IID_IAudioClient));
            EXPECT_EQ(platform.vt, VT_BLOB);
            ASSERT_EQ(platform.blobSize, 12u);
            EXPECT_EQ(platform.params.ActivationType, 1u);
            EXPECT_EQ(platform.params.ProcessLoopbackParams.TargetProcessId, 4242u);
            EXPECT_EQ(platform.params.ProcessLoopbackParams.ProcessLoopbackMode,
                      c.excludeTree ? 1u : 0u);

            if (platform.completer.joinable()) platform.completer.join();
            EXPECT_EQ(platform.operation.refs.load(), 1u);
        }
        EXPECT_EQ(liveActivationHandlerCount(), baseline);
        EXPECT_EQ(activated.refs.load(), 1u);
        EXPECT_EQ(previous.refs.load(), 1u);
    }
}

TEST(ProcessLoopbackActivation, TimesOutAndTheHandlerOutlivesTheWaitUntilTheLateCompletion) {
    const long baseline = liveActivationHandlerCount();
    FakeAudioClient activated;
    FakePlatform platform;
    PlatformScope scope(platform);
    platform.completion = Completion::Never;
    platform.operation.object = &activated;

    FakeAudioClient previous;
    ComPtr<IAudioClient> client = &previous;
    std::string message;
    const auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(activateProcessLoopbackClient(fakeActivate, audio::kProcessLoopbackDevicePath, 7,
                                               false, client, message, 100));
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(50));
    EXPECT_EQ(message, "Timed out waiting for audio interface activation.");
    EXPECT_EQ(client.Get(), &previous);
    EXPECT_EQ(platform.operation.refs.load(), 1u);

    // The platform still holds the handler; a late completion must land in a live object.
    EXPECT_EQ(liveActivationHandlerCount(), baseline + 1);
    platform.completeNow();
    EXPECT_EQ(liveActivationHandlerCount(), baseline);
    EXPECT_EQ(activated.refs.load(), 1u);
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
    for (int waited = 0; liveActivationHandlerCount() != baseline && waited < 200; ++waited) {
        Sleep(50);
    }
    EXPECT_EQ(liveActivationHandlerCount(), baseline);
    CoUninitialize();
}

}  // namespace
