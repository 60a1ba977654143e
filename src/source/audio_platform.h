// The Windows audio identifiers and records this program uses, in one place. Windows only.
//
// The identifiers are our own constexpr copies rather than MinGW's DEFINE_GUID symbols, so that
// nothing depends on which import library happens to define them.
#pragma once

#include <audioclient.h>
#include <mmdeviceapi.h>
#include <windows.h>

#include <cstdint>

namespace audio {

inline constexpr GUID CLSID_MMDeviceEnumerator{
    0xBCDE0395, 0xE52F, 0x467C, {0x8E, 0x3D, 0xC4, 0x57, 0x92, 0x91, 0x69, 0x2E}};
inline constexpr GUID IID_IMMDeviceEnumerator{
    0xA95664D2, 0x9614, 0x4F35, {0xA7, 0x46, 0xDE, 0x8D, 0xB6, 0x36, 0x17, 0xE6}};
inline constexpr GUID IID_IAudioClient{
    0x1CB9AD4C, 0xDBFA, 0x4C32, {0xB1, 0x78, 0xC2, 0xF5, 0x68, 0xA7, 0x03, 0xB2}};
inline constexpr GUID IID_IAudioCaptureClient{
    0xC8ADBD64, 0xE71E, 0x48A0, {0xA4, 0xDE, 0x18, 0x5C, 0x39, 0x5C, 0xD3, 0x17}};
inline constexpr GUID IID_IUnknown{
    0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr GUID IID_IActivateAudioInterfaceCompletionHandler{
    0x41D949AB, 0x9862, 0x444A, {0x80, 0xF6, 0xC2, 0x61, 0x33, 0x4D, 0xA5, 0xEB}};
// The sub-format of an extensible wave format whose samples are 32-bit IEEE floats.
inline constexpr GUID KSDATAFORMAT_SUBTYPE_IEEE_FLOAT{
    0x00000003, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
inline constexpr GUID IID_IAgileObject{
    0x94EA2B94, 0xE9CC, 0x49E0, {0xC0, 0xFF, 0xEE, 0x64, 0xCA, 0x8F, 0x5B, 0x90}};
// The name a person knows an endpoint by, in its property store (VT_LPWSTR).
inline constexpr PROPERTYKEY PKEY_Device_FriendlyName{
    {0xA45C254E, 0xDF1C, 0x4EFD, {0x80, 0x20, 0x67, 0xD1, 0x46, 0xA8, 0x50, 0xE0}}, 14};

// MinGW has no audioclientactivationparams.h. This is the record that ActivateAudioInterfaceAsync
// reads from a VT_BLOB PROPVARIANT to open one process tree's audio instead of a device's.
enum AUDIOCLIENT_ACTIVATION_TYPE : std::uint32_t {
    AUDIOCLIENT_ACTIVATION_TYPE_PROCESS_LOOPBACK = 1,
};

enum PROCESS_LOOPBACK_MODE : std::uint32_t {
    PROCESS_LOOPBACK_MODE_INCLUDE_TARGET_PROCESS_TREE = 0,
    PROCESS_LOOPBACK_MODE_EXCLUDE_TARGET_PROCESS_TREE = 1,
};

struct AUDIOCLIENT_PROCESS_LOOPBACK_PARAMS {
    DWORD TargetProcessId;
    PROCESS_LOOPBACK_MODE ProcessLoopbackMode;
};

struct AUDIOCLIENT_ACTIVATION_PARAMS {
    AUDIOCLIENT_ACTIVATION_TYPE ActivationType;
    AUDIOCLIENT_PROCESS_LOOPBACK_PARAMS ProcessLoopbackParams;
};

static_assert(sizeof(AUDIOCLIENT_ACTIVATION_PARAMS) == 12, "the system reads exactly 12 bytes");

// The virtual device that process loopback is activated on; it is not an endpoint id and no
// enumerator lists it.
inline constexpr wchar_t kProcessLoopbackDevicePath[] = L"VAD\\Process_Loopback";
static_assert(sizeof kProcessLoopbackDevicePath / sizeof(wchar_t) == 21, "20 UTF-16 units");

// How long the product waits for the platform to call back after ActivateAudioInterfaceAsync.
inline constexpr DWORD kActivationWaitMilliseconds = 5000;

}  // namespace audio
