#include <cstring>

#include "app/status_text.h"
#include "source/process_loopback.h"

using Microsoft::WRL::ComPtr;

namespace {

std::atomic<long> g_liveHandlers{0};

struct ExclusiveLock {
    explicit ExclusiveLock(SRWLOCK& held) : lock(held) { AcquireSRWLockExclusive(&lock); }
    ~ExclusiveLock() { ReleaseSRWLockExclusive(&lock); }
    ExclusiveLock(const ExclusiveLock&) = delete;
    ExclusiveLock& operator=(const ExclusiveLock&) = delete;
    SRWLOCK& lock;
};

bool sameGuid(const GUID& a, const GUID& b) {
    return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}

}  // namespace

long liveActivationHandlerCount() {
    return g_liveHandlers.load();
}

ComPtr<ActivationHandler> ActivationHandler::create() {
    // MinGW's ComPtr::Attach adds a reference (the Windows SDK's does not), which would leak the
    // handler; the first reference goes into the pointer directly instead.
    ComPtr<ActivationHandler> handler;
    *handler.GetAddressOf() = new ActivationHandler();
    return handler;
}

ActivationHandler::ActivationHandler()
    // Auto-reset: the one waiter consumes the signal. A null event is kept as it is; waiting on
    // it fails at once, which the caller reports like a time-out.
    : completedEvent_(CreateEventA(nullptr, FALSE, FALSE, nullptr)) {
    ++g_liveHandlers;
}

ActivationHandler::~ActivationHandler() {
    if (completedEvent_ != nullptr) CloseHandle(completedEvent_);
    client_.Reset();
    --g_liveHandlers;
}

HRESULT STDMETHODCALLTYPE ActivationHandler::QueryInterface(REFIID iid, void** out) {
    if (out == nullptr) return E_POINTER;
    if (sameGuid(iid, audio::IID_IUnknown) ||
        sameGuid(iid, audio::IID_IActivateAudioInterfaceCompletionHandler)) {
        *out = static_cast<IActivateAudioInterfaceCompletionHandler*>(this);
    } else if (sameGuid(iid, audio::IID_IAgileObject)) {
        *out = static_cast<IAgileObject*>(this);
    } else {
        *out = nullptr;
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

ULONG STDMETHODCALLTYPE ActivationHandler::AddRef() {
    return ++refCount_;
}

ULONG STDMETHODCALLTYPE ActivationHandler::Release() {
    const ULONG remaining = --refCount_;
    if (remaining == 0) delete this;
    return remaining;
}

HRESULT STDMETHODCALLTYPE
ActivationHandler::ActivateCompleted(IActivateAudioInterfaceAsyncOperation* op) {
    const ExclusiveLock guard(lock_);
    if (!waiting_) return S_OK;  // too late: the result would only be released on this thread
    {
        HRESULT result = E_FAIL;
        ComPtr<IUnknown> activated;
        const HRESULT hr = op->GetActivateResult(&result, activated.GetAddressOf());
        status_ = FAILED(hr) ? hr : result;
        if (SUCCEEDED(status_) && activated) {
            // A failed query leaves the client empty, which the waiting side reports as a failure.
            activated->QueryInterface(audio::IID_IAudioClient,
                                      reinterpret_cast<void**>(client_.ReleaseAndGetAddressOf()));
        }
    }  // `activated` is released before the signal: once awake, the waiting side may end the run.
    if (completedEvent_ != nullptr) SetEvent(completedEvent_);
    return S_OK;
}

void ActivationHandler::stopWaiting(ComPtr<IAudioClient>& into) {
    const ExclusiveLock guard(lock_);
    waiting_ = false;
    into.Swap(client_);
    client_.Reset();
}

bool activateProcessLoopbackClient(ActivateAudioInterfaceAsyncFunction activate,
                                   const wchar_t* devicePath, DWORD targetPid, bool excludeTree,
                                   ComPtr<IAudioClient>& client, std::string& errorMessage,
                                   DWORD waitMilliseconds) {
    audio::AUDIOCLIENT_ACTIVATION_PARAMS params{};
    params.ActivationType = audio::AUDIOCLIENT_ACTIVATION_TYPE_PROCESS_LOOPBACK;
    params.ProcessLoopbackParams.TargetProcessId = targetPid;
    params.ProcessLoopbackParams.ProcessLoopbackMode =
        excludeTree ? audio::PROCESS_LOOPBACK_MODE_EXCLUDE_TARGET_PROCESS_TREE
                    : audio::PROCESS_LOOPBACK_MODE_INCLUDE_TARGET_PROCESS_TREE;
    PROPVARIANT activationParams;
    std::memset(&activationParams, 0, sizeof activationParams);
    activationParams.vt = VT_BLOB;
    activationParams.blob.cbSize = sizeof params;
    activationParams.blob.pBlobData = reinterpret_cast<BYTE*>(&params);

    ComPtr<IActivateAudioInterfaceAsyncOperation> operation;
    // Our own reference; the platform takes another for as long as it needs the handler, which
    // may be longer than we wait.
    const ComPtr<ActivationHandler> handler = ActivationHandler::create();

    HRESULT hr = activate(devicePath, audio::IID_IAudioClient, &activationParams,
                          static_cast<IActivateAudioInterfaceCompletionHandler*>(handler.Get()),
                          operation.GetAddressOf());
    if (FAILED(hr)) {
        errorMessage = "ActivateAudioInterfaceAsync failed: " + describeStatus(hr);
        return false;
    }
    const DWORD waited = WaitForSingleObject(handler->completedEvent(), waitMilliseconds);
    // A client delivered after all (a completion racing the time-out) is released here.
    ComPtr<IAudioClient> delivered;
    handler->stopWaiting(delivered);
    if (waited != WAIT_OBJECT_0) {
        errorMessage = "Timed out waiting for audio interface activation.";
        return false;
    }
    hr = handler->status();
    if (SUCCEEDED(hr) && delivered) {
        client.Swap(delivered);
        return true;
    }
    errorMessage = "Process loopback activation failed: " + describeStatus(hr);
    return false;
}
