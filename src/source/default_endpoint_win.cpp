#include "app/status_text.h"
#include "source/audio_platform.h"
#include "source/default_endpoint.h"

using Microsoft::WRL::ComPtr;

namespace {

// A failing Activate should leave null behind, but the caller must be able to rely on it.
HRESULT activateClient(IMMDevice& device, ComPtr<IAudioClient>& client) {
    const HRESULT hr = device.Activate(audio::IID_IAudioClient, CLSCTX_ALL, nullptr,
                                       reinterpret_cast<void**>(client.ReleaseAndGetAddressOf()));
    if (FAILED(hr)) client.Reset();
    return hr;
}

}  // namespace

bool createDeviceEnumerator(CreateInstanceFunction createInstance,
                            ComPtr<IMMDeviceEnumerator>& enumerator, std::string& errorMessage) {
    const HRESULT hr = createInstance(audio::CLSID_MMDeviceEnumerator, nullptr, CLSCTX_ALL,
                                      audio::IID_IMMDeviceEnumerator,
                                      reinterpret_cast<void**>(enumerator.GetAddressOf()));
    if (FAILED(hr)) errorMessage = "Failed to create MMDeviceEnumerator: " + describeStatus(hr);
    return SUCCEEDED(hr);
}

bool activateDefaultAudioClient(CreateInstanceFunction createInstance, ComPtr<IAudioClient>& client,
                                std::string& errorMessage, ComPtr<IMMDeviceEnumerator>* enumerator,
                                ComPtr<IMMDevice>* endpoint) {
    // A new enumerator every time: after a device change an old one would keep answering with
    // the endpoint that was the default when it was made.
    ComPtr<IMMDeviceEnumerator> ownEnumerator;
    if (!createDeviceEnumerator(createInstance, ownEnumerator, errorMessage)) return false;
    ComPtr<IMMDevice> device;
    HRESULT hr = ownEnumerator->GetDefaultAudioEndpoint(eRender, eConsole, device.GetAddressOf());
    if (FAILED(hr)) {
        errorMessage = "Failed to get default audio device: " + describeStatus(hr);
        return false;
    }
    hr = activateClient(*device.Get(), client);
    if (FAILED(hr)) {
        errorMessage = "Failed to activate default audio device: " + describeStatus(hr);
        return false;
    }
    if (enumerator != nullptr) *enumerator = std::move(ownEnumerator);
    if (endpoint != nullptr) *endpoint = std::move(device);
    return true;
}

bool activateChosenAudioClient(CreateInstanceFunction createInstance, const std::string& deviceId,
                               ComPtr<IAudioClient>& client, std::string& errorMessage) {
    ComPtr<IMMDeviceEnumerator> enumerator;
    if (!createDeviceEnumerator(createInstance, enumerator, errorMessage)) return false;
    // Endpoint ids are ASCII, so each byte widens to its own UTF-16 unit; an id with other bytes
    // names no endpoint and is refused by GetDevice.
    std::wstring id;
    for (const char byte : deviceId) id += static_cast<wchar_t>(static_cast<unsigned char>(byte));
    ComPtr<IMMDevice> device;
    // Windows answers an unknown id with E_NOTFOUND, Wine with E_INVALIDARG; both end here.
    HRESULT hr = enumerator->GetDevice(id.c_str(), device.GetAddressOf());
    if (FAILED(hr)) {
        errorMessage = "Failed to get audio device " + deviceId + ": " + describeStatus(hr);
        return false;
    }
    hr = activateClient(*device.Get(), client);
    if (FAILED(hr)) {
        errorMessage = "Failed to activate audio device " + deviceId + ": " + describeStatus(hr);
        return false;
    }
    return true;
}

namespace {

bool enterApartment(std::string& errorMessage) {
    const HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(hr)) errorMessage = "CoInitializeEx failed: " + describeStatus(hr);
    return SUCCEEDED(hr);
}

}  // namespace

ComApartment::ComApartment(std::string& errorMessage) : entered(enterApartment(errorMessage)) {}

// One CoUninitialize for every successful CoInitializeEx.
ComApartment::~ComApartment() {
    if (entered) CoUninitialize();
}
