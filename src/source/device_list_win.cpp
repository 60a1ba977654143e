#include <propidl.h>

#include <optional>

#include "app/status_text.h"
#include "source/audio_platform.h"
#include "source/device_list.h"

using Microsoft::WRL::ComPtr;

namespace {

struct CoTaskText {
    LPWSTR text = nullptr;
    ~CoTaskText() { CoTaskMemFree(text); }
};

struct PropertyValue {
    PROPVARIANT value;
    PropertyValue() { PropVariantInit(&value); }
    ~PropertyValue() { PropVariantClear(&value); }
};

// wchar_t is UTF-16 on Windows.
std::string toUtf8(const wchar_t* text) {
    std::u16string units;
    for (; text != nullptr && *text != L'\0'; ++text) units += static_cast<char16_t>(*text);
    return utf16ToUtf8(units);
}

HRESULT readId(IMMDevice& device, std::string& id) {
    CoTaskText text;
    const HRESULT hr = device.GetId(&text.text);
    if (SUCCEEDED(hr)) id = toUtf8(text.text);
    return hr;
}

}  // namespace

std::optional<std::string> defaultEndpointId(IMMDeviceEnumerator& enumerator) {
    ComPtr<IMMDevice> device;
    std::string id;
    if (FAILED(enumerator.GetDefaultAudioEndpoint(eRender, eConsole, device.GetAddressOf())) ||
        FAILED(readId(*device.Get(), id))) {
        return std::nullopt;
    }
    return id;
}

std::string readEndpointId(IMMDevice& device) {
    std::string id;
    readId(device, id);
    return id;
}

// "" when the name cannot be read: the device is listed all the same.
std::string readEndpointName(IMMDevice& device) {
    ComPtr<IPropertyStore> store;
    if (FAILED(device.OpenPropertyStore(STGM_READ, store.GetAddressOf()))) return "";
    PropertyValue name;
    if (FAILED(store->GetValue(audio::PKEY_Device_FriendlyName, &name.value))) return "";
    return name.value.vt == VT_LPWSTR ? toUtf8(name.value.pwszVal) : "";
}

namespace {

bool describeOutputDevices(CreateInstanceFunction createInstance, std::string& lines,
                           std::string& errorMessage) {
    ComPtr<IMMDeviceEnumerator> enumerator;
    if (!createDeviceEnumerator(createInstance, enumerator, errorMessage)) return false;
    const std::optional<std::string> defaultId = defaultEndpointId(*enumerator.Get());

    ComPtr<IMMDeviceCollection> devices;
    HRESULT hr =
        enumerator->EnumAudioEndpoints(eRender, DEVICE_STATE_ACTIVE, devices.GetAddressOf());
    UINT count = 0;
    if (SUCCEEDED(hr)) hr = devices->GetCount(&count);
    for (UINT index = 0; SUCCEEDED(hr) && index < count; ++index) {
        ComPtr<IMMDevice> device;
        std::string id;
        hr = devices->Item(index, device.GetAddressOf());
        if (SUCCEEDED(hr)) hr = readId(*device.Get(), id);
        if (SUCCEEDED(hr))
            lines += deviceListLine(id, readEndpointName(*device.Get()), id == defaultId);
    }
    if (FAILED(hr)) {
        errorMessage = "Failed to list audio devices: " + describeStatus(hr);
        return false;
    }
    return true;
}

}  // namespace

int listOutputDevices(std::string& errorMessage, CreateInstanceFunction createInstance,
                      std::FILE* out) {
    const ComApartment com(errorMessage);
    if (!com.entered) return 2;
    std::string lines;
    if (!describeOutputDevices(createInstance, lines, errorMessage)) return 2;
    if (std::fwrite(lines.data(), 1, lines.size(), out) != lines.size()) {
        errorMessage = "stdout closed while writing the device list";
        return 4;
    }
    return 0;
}
