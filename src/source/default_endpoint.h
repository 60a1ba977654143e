// The default render endpoint and an IAudioClient on it. Windows only; COM must be initialised
// on the calling thread.
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
// When `enumerator` is given it receives the enumerator, for hearing of later device changes.
bool activateDefaultAudioClient(CreateInstanceFunction createInstance,
                                Microsoft::WRL::ComPtr<IAudioClient>& client,
                                std::string& errorMessage,
                                Microsoft::WRL::ComPtr<IMMDeviceEnumerator>* enumerator = nullptr);
