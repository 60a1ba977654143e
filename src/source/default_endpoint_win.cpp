#include "app/status_text.h"
#include "source/audio_platform.h"
#include "source/default_endpoint.h"

using Microsoft::WRL::ComPtr;

bool activateDefaultAudioClient(CreateInstanceFunction createInstance,
                                ComPtr<IAudioClient>& client, std::string& errorMessage,
                                ComPtr<IMMDeviceEnumerator>* enumerator) {
    // A new enumerator every time: after a device change an old one would keep answering with
    // the endpoint that was the default when it was made.
    ComPtr<IMMDeviceEnumerator> ownEnumerator;
    HRESULT hr = createInstance(audio::CLSID_MMDeviceEnumerator, nullptr, CLSCTX_ALL,
                                audio::IID_IMMDeviceEnumerator,
                                reinterpret_cast<void**>(ownEnumerator.GetAddressOf()));
    if (FAILED(hr)) {
        errorMessage = "Failed to create MMDeviceEnumerator: " + describeStatus(hr);
        return false;
    }
    ComPtr<IMMDevice> device;
    hr = ownEnumerator->GetDefaultAudioEndpoint(eRender, eConsole, device.GetAddressOf());
    if (FAILED(hr)) {
        errorMessage = "Failed to get default audio device: " + describeStatus(hr);
        return false;
    }
    hr = device->Activate(audio::IID_IAudioClient, CLSCTX_ALL, nullptr,
                          reinterpret_cast<void**>(client.ReleaseAndGetAddressOf()));
    if (FAILED(hr)) {
        // A failing Activate should leave null behind, but the caller must be able to rely on it.
        client.Reset();
        errorMessage = "Failed to activate default audio device: " + describeStatus(hr);
        return false;
    }
    if (enumerator != nullptr) *enumerator = std::move(ownEnumerator);
    return true;
}
