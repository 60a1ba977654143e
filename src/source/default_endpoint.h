// The default render endpoint and an IAudioClient on it. Windows only; COM must be initialised
// on the calling thread.
#pragma once

#include <audioclient.h>
#include <mmdeviceapi.h>
#include <windows.h>
#include <wrl/client.h>

#include <string>

// Puts the default console render device into `device` (whatever it held is released first) and
// the enumerator that found it into `enumerator`. On failure returns false with the reason in
// errorMessage.
bool getDefaultRenderDevice(Microsoft::WRL::ComPtr<IMMDevice>& device,
                            Microsoft::WRL::ComPtr<IMMDeviceEnumerator>& enumerator,
                            std::string& errorMessage);

// Activates an IAudioClient on the default render device. On failure returns false, `client`
// holds nothing and errorMessage has the reason; on success errorMessage is left alone. When
// `enumerator` is given it receives the enumerator, for hearing of later device changes.
bool activateDefaultAudioClient(Microsoft::WRL::ComPtr<IAudioClient>& client,
                                std::string& errorMessage,
                                Microsoft::WRL::ComPtr<IMMDeviceEnumerator>* enumerator = nullptr);
