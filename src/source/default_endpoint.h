// The default render endpoint, or one chosen by its id, and an IAudioClient on it. Windows only;
// COM must be initialised on the calling thread.
#pragma once

#include <audioclient.h>
#include <mmdeviceapi.h>
#include <windows.h>
#include <wrl/client.h>

#include <string>

// The signature of CoCreateInstance, through which the device enumerator is made; tests hand in
// a stand-in for the system's audio stack.
using CreateInstanceFunction = decltype(&CoCreateInstance);

// Activates an IAudioClient on the default console render device. On failure returns false,
// `client` holds nothing and errorMessage has the reason; on success errorMessage is left alone.
// When `enumerator` is given it receives the enumerator, for hearing of later device changes;
// when `device` is given, the endpoint.
bool activateDefaultAudioClient(CreateInstanceFunction createInstance,
                                Microsoft::WRL::ComPtr<IAudioClient>& client,
                                std::string& errorMessage,
                                Microsoft::WRL::ComPtr<IMMDeviceEnumerator>* enumerator = nullptr,
                                Microsoft::WRL::ComPtr<IMMDevice>* device = nullptr);

// The system's device enumerator; false with errorMessage set when it cannot be made.
bool createDeviceEnumerator(CreateInstanceFunction createInstance,
                            Microsoft::WRL::ComPtr<IMMDeviceEnumerator>& enumerator,
                            std::string& errorMessage);

// Activates an IAudioClient on the endpoint whose id (IMMDevice::GetId) is `deviceId`; failures
// as activateDefaultAudioClient's, with the id in the message.
bool activateChosenAudioClient(CreateInstanceFunction createInstance, const std::string& deviceId,
                               Microsoft::WRL::ComPtr<IAudioClient>& client,
                               std::string& errorMessage);

// Enters the multithreaded apartment, as the audio service's callbacks need, and leaves it when it
// goes: declare it before everything else a run holds. `entered` is false, with errorMessage set,
// when the thread cannot enter it.
struct ComApartment {
    explicit ComApartment(std::string& errorMessage);
    ~ComApartment();
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;
    const bool entered;
};
