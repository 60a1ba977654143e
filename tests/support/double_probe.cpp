// Makes the exe's audio calls against whatever mmdevapi.dll is loaded, so that the test double
// can be checked on its own, and can be made to misbehave on purpose to show that the double
// notices. Also prints the system text that FormatMessageA gives for status codes.
//   double_probe describe=0x80004005           the text as hex bytes, or "none"
//   double_probe host     a process with a hidden window: prints "<pid> window:0x<hwnd>", then
//                         runs until its stdin closes
//   double_probe system|process [packets=N] [leak] [badrelease] [heldbuffer]
// Captured packets go to stdout as they came; the exit code is the first failing step (0 = all
// ran).
#include <audioclient.h>
#include <fcntl.h>
#include <io.h>
#include <mmdeviceapi.h>
#include <windows.h>
#include <wrl/client.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

using Microsoft::WRL::ComPtr;

namespace {

struct ActivationParams {
    DWORD type, pid, mode;
};
static_assert(sizeof(ActivationParams) == 12, "the activation record is 12 bytes");

class Handler : public IActivateAudioInterfaceCompletionHandler, public IAgileObject {
  public:
    HANDLE done = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        *out = nullptr;
        if (IsEqualIID(iid, IID_IUnknown) ||
            IsEqualIID(iid, __uuidof(IActivateAudioInterfaceCompletionHandler)))
            *out = static_cast<IActivateAudioInterfaceCompletionHandler*>(this);
        else if (IsEqualIID(iid, IID_IAgileObject))
            *out = static_cast<IAgileObject*>(this);
        return *out ? S_OK : E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }  // lives on main's stack
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE ActivateCompleted(IActivateAudioInterfaceAsyncOperation*) override {
        SetEvent(done);
        return S_OK;
    }
};

int describe(const char* code) {
    char* text = nullptr;
    FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM,
        nullptr, static_cast<DWORD>(std::strtoul(code, nullptr, 0)), LANG_USER_DEFAULT,
        reinterpret_cast<char*>(&text), 0, nullptr);
    if (text == nullptr) std::printf("none");
    for (const char* c = text; c != nullptr && *c != 0; ++c)
        std::printf("%02x", static_cast<unsigned char>(*c));
    std::printf("\n");
    if (text != nullptr) LocalFree(text);
    return 0;
}

int host() {
    HWND window = CreateWindowExA(0, "STATIC", "oah-capture-target", 0, 0, 0, 1, 1, nullptr,
                                  nullptr, nullptr, nullptr);
    if (window == nullptr) return 1;
    std::printf("%lu window:0x%llx\n", GetCurrentProcessId(),
                static_cast<unsigned long long>(reinterpret_cast<ULONG_PTR>(window)));
    std::fflush(stdout);
    char buffer[64];
    DWORD got = 0;
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof buffer, &got, nullptr) &&
           got > 0) {
    }
    DestroyWindow(window);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    bool process = false, leak = false, badRelease = false, heldBuffer = false;
    unsigned long packets = 3;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind("describe=", 0) == 0) return describe(argv[i] + 9);
        if (arg == "host") return host();
        if (arg == "process") process = true;
        if (arg.rfind("packets=", 0) == 0) packets = std::strtoul(argv[i] + 8, nullptr, 0);
        if (arg == "leak") leak = true;
        if (arg == "badrelease") badRelease = true;
        if (arg == "heldbuffer") heldBuffer = true;
    }
    _setmode(_fileno(stdout), _O_BINARY);
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 10;
    int step = 0;
    {
        ComPtr<IAudioClient> client;
        WAVEFORMATEX* format = nullptr;
        WAVEFORMATEXTENSIBLE own{};
        if (process) {
            Handler handler;
            ActivationParams params{1, GetCurrentProcessId(), 0};
            PROPVARIANT variant{};
            variant.vt = VT_BLOB;
            variant.blob.cbSize = sizeof params;
            variant.blob.pBlobData = reinterpret_cast<BYTE*>(&params);
            ComPtr<IActivateAudioInterfaceAsyncOperation> operation;
            HRESULT result = E_FAIL;
            ComPtr<IUnknown> activated;
            if (FAILED(ActivateAudioInterfaceAsync(L"VAD\\Process_Loopback", __uuidof(IAudioClient),
                                                   &variant, &handler, &operation)))
                step = 11;
            else if (WaitForSingleObject(handler.done, 5000) != WAIT_OBJECT_0)
                step = 12;
            else if (FAILED(operation->GetActivateResult(&result, &activated)) || FAILED(result))
                step = 13;
            else if (FAILED(activated.As(&client)))
                step = 14;
            CloseHandle(handler.done);
            if (step == 0 && FAILED(client->GetMixFormat(&format))) {
                own.Format = {WAVE_FORMAT_EXTENSIBLE, 2, 48000, 48000 * 8, 8, 32, 22};
                own.Samples.wValidBitsPerSample = 32;
                own.dwChannelMask = 3;
                own.SubFormat = {3, 0, 0x10, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};
            }
        } else {
            ComPtr<IMMDeviceEnumerator> enumerator;
            ComPtr<IMMDevice> device;
            if (FAILED(CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL,
                                        IID_PPV_ARGS(&enumerator))))
                step = 21;
            else if (FAILED(enumerator->GetDefaultAudioEndpoint(eRender, eConsole, &device)))
                step = 22;
            else if (FAILED(device->Activate(__uuidof(IAudioClient), CLSCTX_ALL, nullptr, &client)))
                step = 23;
            else if (FAILED(client->GetMixFormat(&format)) || format == nullptr)
                step = 24;
        }
        HANDLE event = process ? CreateEventA(nullptr, FALSE, FALSE, nullptr) : nullptr;
        const DWORD flags =
            AUDCLNT_STREAMFLAGS_LOOPBACK | (process ? AUDCLNT_STREAMFLAGS_EVENTCALLBACK : 0);
        ComPtr<IAudioCaptureClient> capture;
        const WAVEFORMATEX* used = format != nullptr ? format : &own.Format;
        if (step != 0) {
        } else if (FAILED(client->Initialize(AUDCLNT_SHAREMODE_SHARED, flags, 0, 0, used, nullptr)))
            step = 31;
        else if (process && FAILED(client->SetEventHandle(event)))
            step = 32;
        else if (FAILED(client->GetService(IID_PPV_ARGS(&capture))))
            step = 33;
        else if (FAILED(client->Start()))
            step = 34;
        for (unsigned long got = 0, polls = 0; step == 0 && got < packets && polls < 2000;
             ++polls) {
            UINT32 frames = 0;
            if (FAILED(capture->GetNextPacketSize(&frames)))
                step = 41;
            else if (frames == 0)
                process ? static_cast<void>(WaitForSingleObject(event, 5)) : Sleep(5);
            else {
                BYTE* data = nullptr;
                DWORD packetFlags = 0;
                if (FAILED(capture->GetBuffer(&data, &frames, &packetFlags, nullptr, nullptr)))
                    step = 42;
                if (heldBuffer) capture->GetBuffer(&data, &frames, &packetFlags, nullptr, nullptr);
                if (step == 0 && data != nullptr)
                    std::fwrite(data, used->nBlockAlign, frames, stdout);
                capture->ReleaseBuffer(badRelease ? frames / 2 : frames);
                ++got;
            }
        }
        if (step == 0 || step > 40) client->Stop();
        if (leak && capture) capture->AddRef();
        if (event != nullptr) CloseHandle(event);
        CoTaskMemFree(format);
    }
    CoUninitialize();
    return step;
}
