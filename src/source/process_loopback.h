// Process-loopback activation: an IAudioClient that captures one process tree (or everything
// but it), obtained through ActivateAudioInterfaceAsync. Windows only; the caller must be in
// the multithreaded apartment.
#pragma once

#include <audioclient.h>
#include <mmdeviceapi.h>
#include <windows.h>
#include <wrl/client.h>

#include <atomic>
#include <string>

#include "source/audio_platform.h"

// Receives the platform's completion call. It is agile because the platform calls it on a
// thread of its own, and reference counted because the platform may still hold it after the
// waiting side has given up.
class ActivationHandler final : public IActivateAudioInterfaceCompletionHandler,
                                public IAgileObject {
  public:
    // A new handler whose one reference is the returned pointer's.
    static Microsoft::WRL::ComPtr<ActivationHandler> create();

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE ActivateCompleted(IActivateAudioInterfaceAsyncOperation* op) override;

    // Read this only after stopWaiting(), which orders it.
    HRESULT status() const { return status_; }
    HANDLE completedEvent() const { return completedEvent_; }
    // The waiting side is done, whether the completion came or not: moves the client, if any,
    // into `into`, and makes a later completion touch nothing. The platform may call or release
    // the handler long after the run has left its apartment; no COM reference may be taken or
    // released on its thread then.
    void stopWaiting(Microsoft::WRL::ComPtr<IAudioClient>& into);

  private:
    ActivationHandler();
    ~ActivationHandler();

    // Between the completion and stopWaiting(). Not std::mutex: its lazy event can fail.
    SRWLOCK lock_ = SRWLOCK_INIT;
    bool waiting_ = true;
    HRESULT status_ = E_FAIL;
    Microsoft::WRL::ComPtr<IAudioClient> client_;
    std::atomic<ULONG> refCount_{1};
    HANDLE completedEvent_ = nullptr;
};

// How many handlers exist in this process; lets tests see that each one is freed exactly once.
long liveActivationHandlerCount();

// The signature of ActivateAudioInterfaceAsync, so that tests can stand in for the platform.
using ActivateAudioInterfaceAsyncFunction =
    HRESULT(WINAPI*)(LPCWSTR devicePath, REFIID iid, PROPVARIANT* activationParams,
                     IActivateAudioInterfaceCompletionHandler* completionHandler,
                     IActivateAudioInterfaceAsyncOperation** operation);

// Activates, through `activate` (the system's ActivateAudioInterfaceAsync or a test's stand-in),
// a process-loopback IAudioClient for targetPid's process tree (or for everything except that
// tree when excludeTree is set) on devicePath, normally audio::kProcessLoopbackDevicePath. On
// failure returns false with the reason in errorMessage, and `client` is left as it was.
bool activateProcessLoopbackClient(ActivateAudioInterfaceAsyncFunction activate,
                                   const wchar_t* devicePath, DWORD targetPid, bool excludeTree,
                                   Microsoft::WRL::ComPtr<IAudioClient>& client,
                                   std::string& errorMessage,
                                   DWORD waitMilliseconds = audio::kActivationWaitMilliseconds);
