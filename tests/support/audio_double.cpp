// A stand-in for Windows' mmdevapi.dll. Wine loads it in place of its own (WINEDLLOVERRIDES
// "mmdevapi=n") so that end-to-end tests can drive the unchanged exe through every capture path,
// which Wine's own audio stack cannot: it has no loopback capture. OAH_DOUBLE says how to behave,
// OAH_DOUBLE_LOG where to write one line per call; tests/e2e/audio_double.py documents both.
#include <audioclient.h>
#include <mmdeviceapi.h>
#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

CRITICAL_SECTION g_lock;
struct Lock {
    Lock() { EnterCriticalSection(&g_lock); }
    ~Lock() { LeaveCriticalSection(&g_lock); }
};

HANDLE g_log = INVALID_HANDLE_VALUE;

// One WriteFile per line: the log is complete up to the last call even if the process is killed.
void logLine(const char* format, ...) {
    char line[1024];
    va_list args;
    va_start(args, format);
    const int size = std::vsnprintf(line, sizeof line - 1, format, args);
    va_end(args);
    if (g_log == INVALID_HANDLE_VALUE || size < 0) return;
    const DWORD length = static_cast<DWORD>(size < 1022 ? size : 1022);
    line[length] = '\n';
    DWORD written = 0;
    Lock lock;
    WriteFile(g_log, line, length + 1, &written, nullptr);
}

unsigned long hex(HRESULT status) {
    return static_cast<unsigned long>(status);
}

// ---- what OAH_DOUBLE asks for ------------------------------------------------------------------
struct Mix {
    enum { Format, NotImpl, Null } kind = Format;
    WORD tag = WAVE_FORMAT_EXTENSIBLE, channels = 2, bits = 32, valid = 32;
    DWORD rate = 48000, mask = 3;
    unsigned long subformat = 3;  // first field of the KSDATAFORMAT subtype: 1 PCM, 3 float
};

struct Packet {
    bool idle = false, nullData = false;
    UINT32 frames = 0;
    DWORD flags = 0;
    enum { Sequence, Bytes, Tone } data = Sequence;
    std::vector<BYTE> bytes;
    double frequency = 0, amplitude = 0;
};

struct Failure {
    std::string call, word;
    unsigned long nth = 1;  // 0: every call
    HRESULT status = E_FAIL;
};

struct Config {
    Mix endpointMix, loopbackMix;
    std::vector<Packet> packets;
    bool repeat = false, realTime = false;
    enum { Thread, Sync, Never } completion = Thread;
    DWORD completionDelay = 0;
    std::vector<Failure> failures;
} g_config;

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    for (std::size_t start = 0, end; start <= text.size(); start = end + 1) {
        end = text.find(separator, start);
        if (end == std::string::npos) end = text.size();
        if (end > start) parts.push_back(text.substr(start, end - start));
    }
    return parts;
}

unsigned long number(const std::string& text) {
    return std::strtoul(text.c_str(), nullptr, 0);
}
bool startsWith(const std::string& text, const char* prefix) {
    return text.rfind(prefix, 0) == 0;
}

Mix parseMix(const std::string& text) {
    Mix mix;
    if (text == "notimpl" || text == "null") {
        mix.kind = text == "null" ? Mix::Null : Mix::NotImpl;
        return mix;
    }
    std::vector<std::string> f = split(text, ',');
    f.resize(6);
    mix.tag = f[0] == "pcm"     ? WAVE_FORMAT_PCM
              : f[0] == "float" ? WAVE_FORMAT_IEEE_FLOAT
                                : WAVE_FORMAT_EXTENSIBLE;
    mix.subformat = f[0] == "ext-pcm" ? 1 : f[0] == "ext-float" ? 3 : 0x1234;
    mix.channels = static_cast<WORD>(number(f[1]));
    mix.rate = static_cast<DWORD>(number(f[2]));
    mix.bits = static_cast<WORD>(number(f[3]));
    mix.valid = f[4].empty() ? mix.bits : static_cast<WORD>(number(f[4]));
    mix.mask = !f[5].empty()       ? static_cast<DWORD>(number(f[5]))
               : mix.channels <= 2 ? (mix.channels == 1 ? 4u : 3u)
                                   : (1u << mix.channels) - 1u;
    return mix;
}

void parsePackets(const std::string& text) {
    for (const std::string& item : split(text, ' ')) {
        const std::size_t x = item.find('x');
        const bool repeated = x != std::string::npos && x > 0 && x < item.find(':');
        std::vector<std::string> parts = split(repeated ? item.substr(x + 1) : item, ':');
        Packet packet;
        packet.idle = parts[0] == "idle";
        packet.frames = static_cast<UINT32>(number(parts[0]));
        for (const std::string& part : parts) {
            if (part == "silent") packet.flags |= AUDCLNT_BUFFERFLAGS_SILENT;
            if (part == "null") packet.nullData = true;
            if (startsWith(part, "flags="))
                packet.flags = static_cast<DWORD>(number(part.substr(6)));
            if (startsWith(part, "hex=")) {
                packet.data = Packet::Bytes;
                for (std::size_t i = 4; i + 1 < part.size(); i += 2)
                    packet.bytes.push_back(static_cast<BYTE>(number("0x" + part.substr(i, 2))));
            }
            if (startsWith(part, "tone=")) {
                packet.data = Packet::Tone;
                std::vector<std::string> tone = split(part.substr(5) + ",0.5", ',');
                packet.frequency = std::atof(tone[0].c_str());
                packet.amplitude = std::atof(tone[1].c_str());
            }
        }
        g_config.packets.insert(g_config.packets.end(), repeated ? number(item) : 1, packet);
    }
}

void parseConfig(const std::string& text) {
    g_config.loopbackMix.kind = Mix::NotImpl;  // what every reported Windows build does
    for (const std::string& directive : split(text, ';')) {
        const std::size_t equals = directive.find('=');
        const std::string key = directive.substr(0, equals);
        const std::string value = equals == std::string::npos ? "" : directive.substr(equals + 1);
        if (key == "mix") g_config.endpointMix = parseMix(value);
        if (key == "loopmix") g_config.loopbackMix = parseMix(value);
        if (key == "packets") parsePackets(value);
        if (key == "after") g_config.repeat = value == "repeat";
        if (key == "pace") g_config.realTime = value == "real";
        if (key == "complete") {
            g_config.completion = value == "sync"    ? Config::Sync
                                  : value == "never" ? Config::Never
                                                     : Config::Thread;
            if (startsWith(value, "after:"))
                g_config.completionDelay = static_cast<DWORD>(number(value.substr(6)));
        }
        if (key == "fail") {
            Failure failure;
            const std::size_t at = value.find('='), hash = value.find('#');
            failure.call = value.substr(0, std::min(at, hash));
            if (hash < at) failure.nth = number(value.substr(hash + 1, at - hash - 1));
            if (at != std::string::npos) failure.word = value.substr(at + 1);
            if (!failure.word.empty() && std::isdigit(static_cast<unsigned char>(failure.word[0])))
                failure.status = static_cast<HRESULT>(number(failure.word));
            g_config.failures.push_back(failure);
        }
    }
}

// Counts the calls of `call`; the failure this one is to give, if any.
const Failure* injected(const char* call) {
    static std::vector<std::pair<std::string, unsigned long>> counts;
    unsigned long count = 0;
    {
        Lock lock;
        for (auto& entry : counts)
            if (entry.first == call) count = ++entry.second;
        if (count == 0) counts.emplace_back(call, count = 1);
    }
    for (const Failure& failure : g_config.failures)
        if (failure.call == call && (failure.nth == count || failure.nth == 0)) return &failure;
    return nullptr;
}

HRESULT fault(const char* call, HRESULT otherwise = S_OK) {
    const Failure* failure = injected(call);
    return failure != nullptr ? failure->status : otherwise;
}

// ---- objects -----------------------------------------------------------------------------------
// Objects are never freed: a release below zero is then reported instead of crashing, and the
// exit report can list what is still referenced.
struct Tracked;
std::vector<Tracked*> g_objects;
// Set while the double gives back references of its own, which the log leaves out: it records the
// caller's calls.
thread_local bool t_ownReferences = false;

struct Tracked {
    const char* type;
    int id = 1;
    LONG refs = 1;
    explicit Tracked(const char* typeName) : type(typeName) {
        Lock lock;
        for (Tracked* object : g_objects) id += object->type == typeName;
        g_objects.push_back(this);
    }
    virtual ~Tracked() = default;
    virtual void lastReleased() {}
    ULONG addRef() {
        const LONG now = InterlockedIncrement(&refs);
        if (!t_ownReferences) logLine("AddRef %s#%d refs=%ld", type, id, now);
        return static_cast<ULONG>(now);
    }
    ULONG release() {
        const LONG now = InterlockedDecrement(&refs);
        if (!t_ownReferences) logLine("Release %s#%d refs=%ld", type, id, now);
        if (now < 0) logLine("mismatch Release of released %s#%d", type, id);
        if (now == 0) lastReleased();
        return static_cast<ULONG>(now < 0 ? 0 : now);
    }
    HRESULT answer(REFIID asked, REFIID offered, void* self, void** out) {
        *out = IsEqualIID(asked, offered) || IsEqualIID(asked, IID_IUnknown) ? self : nullptr;
        if (*out != nullptr) return addRef(), S_OK;
        wchar_t text[40] = L"?";
        StringFromGUID2(asked, text, 40);
        logLine("QueryInterface %s#%d iid=%ls -> 0x%08lx", type, id, text, hex(E_NOINTERFACE));
        return E_NOINTERFACE;
    }
};

#define TRACKED_IUNKNOWN(Interface)                                                  \
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {      \
        return answer(iid, __uuidof(Interface), static_cast<Interface*>(this), out); \
    }                                                                                \
    ULONG STDMETHODCALLTYPE AddRef() override {                                      \
        return addRef();                                                             \
    }                                                                                \
    ULONG STDMETHODCALLTYPE Release() override {                                     \
        return release();                                                            \
    }

HRESULT notImplemented(const char* method) {
    logLine("%s -> 0x%08lx", method, hex(E_NOTIMPL));
    return E_NOTIMPL;
}

std::vector<std::pair<void*, int>> g_mixFormats;  // handed out by GetMixFormat, and by which client

struct AudioClient : IAudioClient, Tracked {
    bool loopback, initialized = false, running = false, stopped = false, isFloat = false;
    WORD channels = 0, bits = 0, valid = 0, align = 0;
    DWORD rate = 0;
    HANDLE event = nullptr;
    LARGE_INTEGER startedAt{};

    explicit AudioClient(bool isLoopback) : Tracked("IAudioClient"), loopback(isLoopback) {}
    TRACKED_IUNKNOWN(IAudioClient)
    const char* kind() const { return loopback ? "loopback" : "endpoint"; }

    HRESULT STDMETHODCALLTYPE Initialize(AUDCLNT_SHAREMODE share, DWORD flags,
                                         REFERENCE_TIME duration, REFERENCE_TIME period,
                                         const WAVEFORMATEX* format, LPCGUID session) override {
        const HRESULT status =
            fault("Initialize", initialized ? AUDCLNT_E_ALREADY_INITIALIZED : S_OK);
        const auto* ext = reinterpret_cast<const WAVEFORMATEXTENSIBLE*>(format);
        const bool extensible =
            format->wFormatTag == WAVE_FORMAT_EXTENSIBLE && format->cbSize >= 22;
        const unsigned long sub = extensible ? ext->SubFormat.Data1 : 0;
        if (SUCCEEDED(status)) {
            initialized = true;
            isFloat = format->wFormatTag == WAVE_FORMAT_IEEE_FLOAT || sub == 3;
            channels = format->nChannels;
            bits = format->wBitsPerSample;
            valid = extensible ? ext->Samples.wValidBitsPerSample : bits;
            align = format->nBlockAlign;
            rate = format->nSamplesPerSec;
        }
        logLine(
            "Initialize client=%d kind=%s share=%d flags=0x%08lx duration=%lld period=%lld "
            "tag=0x%x "
            "sub=%s ch=%u rate=%lu bits=%u valid=%u align=%u mask=0x%lx session=%s -> 0x%08lx",
            id, kind(), static_cast<int>(share), static_cast<unsigned long>(flags),
            static_cast<long long>(duration), static_cast<long long>(period), format->wFormatTag,
            !extensible ? "none"
            : sub == 1  ? "pcm"
            : sub == 3  ? "float"
                        : "other",
            format->nChannels, static_cast<unsigned long>(format->nSamplesPerSec),
            format->wBitsPerSample,
            extensible ? ext->Samples.wValidBitsPerSample : format->wBitsPerSample,
            format->nBlockAlign, extensible ? static_cast<unsigned long>(ext->dwChannelMask) : 0ul,
            session ? "set" : "null", hex(status));
        return status;
    }
    HRESULT STDMETHODCALLTYPE GetMixFormat(WAVEFORMATEX** out) override {
        const Mix& mix = loopback ? g_config.loopbackMix : g_config.endpointMix;
        const HRESULT status = fault("GetMixFormat", mix.kind == Mix::NotImpl ? E_NOTIMPL : S_OK);
        *out = nullptr;
        if (status == S_OK && mix.kind == Mix::Format) {
            auto* format =
                static_cast<WAVEFORMATEXTENSIBLE*>(CoTaskMemAlloc(sizeof(WAVEFORMATEXTENSIBLE)));
            const WORD align = static_cast<WORD>(mix.channels * mix.bits / 8);
            const bool extensible = mix.tag == WAVE_FORMAT_EXTENSIBLE;
            format->Format = {mix.tag,
                              mix.channels,
                              mix.rate,
                              align * mix.rate,
                              align,
                              mix.bits,
                              static_cast<WORD>(extensible ? 22 : 0)};
            format->Samples.wValidBitsPerSample = mix.valid;
            format->dwChannelMask = mix.mask;
            format->SubFormat = {mix.subformat, 0, 0x10, {0x80, 0, 0, 0xaa, 0, 0x38, 0x9b, 0x71}};
            *out = &format->Format;
            Lock lock;
            g_mixFormats.emplace_back(format, id);
        }
        logLine("GetMixFormat client=%d kind=%s format=%s -> 0x%08lx", id, kind(),
                *out ? "set" : "null", hex(status));
        return status;
    }
    HRESULT STDMETHODCALLTYPE Start() override {
        const HRESULT status = fault("Start", !initialized ? AUDCLNT_E_NOT_INITIALIZED
                                              : running    ? AUDCLNT_E_NOT_STOPPED
                                                           : S_OK);
        if (SUCCEEDED(status)) {
            running = true;
            stopped = false;
            QueryPerformanceCounter(&startedAt);
        }
        logLine("Start client=%d -> 0x%08lx", id, hex(status));
        return status;
    }
    HRESULT STDMETHODCALLTYPE Stop() override {
        if (!running) logLine("mismatch Stop client=%d without a successful Start", id);
        const HRESULT status = running ? S_OK : S_FALSE;
        running = false;
        stopped = true;
        logLine("Stop client=%d -> 0x%08lx", id, hex(status));
        return status;
    }
    HRESULT STDMETHODCALLTYPE SetEventHandle(HANDLE handle) override {
        const HRESULT status = fault("SetEventHandle", handle == nullptr ? E_INVALIDARG : S_OK);
        if (SUCCEEDED(status)) event = handle;
        logLine("SetEventHandle client=%d event=%s -> 0x%08lx", id, handle ? "set" : "null",
                hex(status));
        return status;
    }
    HRESULT STDMETHODCALLTYPE GetService(REFIID iid, void** out) override;
    HRESULT STDMETHODCALLTYPE GetBufferSize(UINT32*) override {
        return notImplemented("GetBufferSize");
    }
    HRESULT STDMETHODCALLTYPE GetStreamLatency(REFERENCE_TIME*) override {
        return notImplemented("GetStreamLatency");
    }
    HRESULT STDMETHODCALLTYPE GetCurrentPadding(UINT32*) override {
        return notImplemented("GetCurrentPadding");
    }
    HRESULT STDMETHODCALLTYPE IsFormatSupported(AUDCLNT_SHAREMODE, const WAVEFORMATEX*,
                                                WAVEFORMATEX**) override {
        return notImplemented("IsFormatSupported");
    }
    HRESULT STDMETHODCALLTYPE GetDevicePeriod(REFERENCE_TIME*, REFERENCE_TIME*) override {
        return notImplemented("GetDevicePeriod");
    }
    HRESULT STDMETHODCALLTYPE Reset() override { return notImplemented("Reset"); }
};

struct CaptureClient : IAudioCaptureClient, Tracked {
    AudioClient* client;
    std::size_t next = 0;  // in g_config.packets
    UINT64 delivered = 0, sequence = 0;
    UINT32 held = 0;
    std::vector<BYTE> buffer;

    explicit CaptureClient(AudioClient* owner) : Tracked("IAudioCaptureClient"), client(owner) {
        client->addRef();  // a service keeps its audio client alive, as on Windows
    }
    TRACKED_IUNKNOWN(IAudioCaptureClient)
    void lastReleased() override { client->release(); }

    void checkState(const char* call) {
        if (!client->running)
            logLine("mismatch %s %s", call, client->stopped ? "after Stop" : "before Start");
    }
    // The packet that is ready now, if any; an idle item is used up by asking.
    const Packet* ready() {
        const std::vector<Packet>& packets = g_config.packets;
        if (next >= packets.size() && g_config.repeat) next = 0;
        if (next >= packets.size()) return nullptr;
        const Packet& packet = packets[next];
        if (packet.idle) {
            ++next;
            // The next packet is ready at once: wake an event-driven reader, as Windows would.
            if (client->event != nullptr && !g_config.realTime) SetEvent(client->event);
            return nullptr;
        }
        if (g_config.realTime) {
            LARGE_INTEGER now, frequency;
            QueryPerformanceCounter(&now);
            QueryPerformanceFrequency(&frequency);
            const double seconds = static_cast<double>(now.QuadPart - client->startedAt.QuadPart) /
                                   static_cast<double>(frequency.QuadPart);
            if (seconds * client->rate < static_cast<double>(delivered + packet.frames))
                return nullptr;
        }
        return &packet;
    }
    // Tones are written the way the exe reads samples: floats as they are, integers in the low
    // `valid` bits of their container, sign-extended.
    void fill(const Packet& packet) {
        buffer.assign(static_cast<std::size_t>(packet.frames) * client->align, 0);
        const std::size_t width = client->bits / 8u;
        for (std::size_t i = 0; i < buffer.size(); ++i) {
            if (packet.data == Packet::Sequence) buffer[i] = static_cast<BYTE>(sequence++);
            if (packet.data == Packet::Bytes && !packet.bytes.empty())
                buffer[i] = packet.bytes[i % packet.bytes.size()];
        }
        for (UINT32 frame = 0; packet.data == Packet::Tone && frame < packet.frames; ++frame) {
            const double t = static_cast<double>(delivered + frame) / client->rate;
            const double x =
                packet.amplitude * std::sin(2 * 3.14159265358979323846 * packet.frequency * t);
            const float single = static_cast<float>(x);
            const long long integer =
                std::llround(x * static_cast<double>((1LL << (client->valid - 1)) - 1));
            for (std::size_t c = 0; c < client->channels; ++c) {
                BYTE* sample = buffer.data() + frame * client->align + c * width;
                if (client->isFloat) std::memcpy(sample, &single, sizeof single);
                for (std::size_t b = 0; !client->isFloat && b < width; ++b)
                    sample[b] = static_cast<BYTE>(integer >> (8 * b));
            }
        }
    }

    HRESULT STDMETHODCALLTYPE GetNextPacketSize(UINT32* frames) override {
        checkState("GetNextPacketSize");
        const HRESULT status = fault("GetNextPacketSize");
        const Packet* packet = held == 0 && SUCCEEDED(status) ? ready() : nullptr;
        *frames = held > 0 ? held : packet != nullptr ? packet->frames : 0;
        logLine("GetNextPacketSize frames=%u -> 0x%08lx", *frames, hex(status));
        return status;
    }
    HRESULT STDMETHODCALLTYPE GetBuffer(BYTE** data, UINT32* frames, DWORD* flags, UINT64* position,
                                        UINT64* qpcPosition) override {
        checkState("GetBuffer");
        if (held > 0) logLine("mismatch GetBuffer while %u frames are held", held);
        HRESULT status = fault("GetBuffer", held > 0 ? AUDCLNT_E_OUT_OF_ORDER : S_OK);
        const Packet* packet = SUCCEEDED(status) ? ready() : nullptr;
        if (SUCCEEDED(status) && packet == nullptr) status = AUDCLNT_S_BUFFER_EMPTY;
        *data = nullptr;
        *frames = 0;
        *flags = 0;
        if (packet != nullptr) {
            fill(*packet);
            *data = packet->nullData ? nullptr : buffer.data();
            *frames = held = packet->frames;
            *flags = packet->flags;
            if (position != nullptr) *position = delivered;
            if (qpcPosition != nullptr) *qpcPosition = 0;
        }
        logLine("GetBuffer frames=%u flags=0x%lx data=%s -> 0x%08lx", *frames,
                static_cast<unsigned long>(*flags),
                packet == nullptr  ? "none"
                : packet->nullData ? "null"
                                   : "set",
                hex(status));
        return status;
    }
    HRESULT STDMETHODCALLTYPE ReleaseBuffer(UINT32 frames) override {
        checkState("ReleaseBuffer");
        if (frames != held) logLine("mismatch ReleaseBuffer frames=%u handed=%u", frames, held);
        const HRESULT status = held == 0        ? AUDCLNT_E_OUT_OF_ORDER
                               : frames != held ? AUDCLNT_E_INVALID_SIZE
                                                : S_OK;
        logLine("ReleaseBuffer frames=%u handed=%u -> 0x%08lx", frames, held, hex(status));
        if (held > 0) {
            // Poisoned, so that data used after the release shows in the stream.
            std::memset(buffer.data(), 0xDD, buffer.size());
            delivered += held;
            held = 0;
            ++next;
        }
        return status;
    }
};

HRESULT AudioClient::GetService(REFIID iid, void** out) {
    const bool capture = IsEqualIID(iid, __uuidof(IAudioCaptureClient));
    const HRESULT status = fault("GetService", !initialized ? AUDCLNT_E_NOT_INITIALIZED
                                               : !capture   ? E_NOINTERFACE
                                                            : S_OK);
    CaptureClient* service = SUCCEEDED(status) ? new CaptureClient(this) : nullptr;
    *out = static_cast<IAudioCaptureClient*>(service);
    logLine("GetService client=%d iid=%s capture=%d -> 0x%08lx", id,
            capture ? "IAudioCaptureClient" : "other", service ? service->id : 0, hex(status));
    return status;
}

// An object that is not an audio client, for an activation that delivers the wrong thing.
struct Stranger : IUnknown, Tracked {
    Stranger() : Tracked("IUnknown") {}
    TRACKED_IUNKNOWN(IUnknown)
};

struct Device : IMMDevice, Tracked {
    Device() : Tracked("IMMDevice") {}
    TRACKED_IUNKNOWN(IMMDevice)
    HRESULT STDMETHODCALLTYPE Activate(REFIID iid, DWORD context, PROPVARIANT* params,
                                       void** out) override {
        const bool audioClient = IsEqualIID(iid, __uuidof(IAudioClient));
        const HRESULT status = fault("Activate", audioClient ? S_OK : E_NOINTERFACE);
        AudioClient* client = SUCCEEDED(status) ? new AudioClient(false) : nullptr;
        *out = static_cast<IAudioClient*>(client);
        logLine("Activate device=%d iid=%s context=0x%lx params=%s client=%d -> 0x%08lx", id,
                audioClient ? "IAudioClient" : "other", static_cast<unsigned long>(context),
                params ? "set" : "null", client ? client->id : 0, hex(status));
        return status;
    }
    HRESULT STDMETHODCALLTYPE OpenPropertyStore(DWORD, IPropertyStore**) override {
        return notImplemented("OpenPropertyStore");
    }
    HRESULT STDMETHODCALLTYPE GetId(LPWSTR*) override { return notImplemented("GetId"); }
    HRESULT STDMETHODCALLTYPE GetState(DWORD*) override { return notImplemented("GetState"); }
};

struct Enumerator : IMMDeviceEnumerator, Tracked {
    Enumerator() : Tracked("IMMDeviceEnumerator") {}
    TRACKED_IUNKNOWN(IMMDeviceEnumerator)
    HRESULT STDMETHODCALLTYPE GetDefaultAudioEndpoint(EDataFlow flow, ERole role,
                                                      IMMDevice** out) override {
        const HRESULT status = fault("GetDefaultAudioEndpoint");
        Device* device = SUCCEEDED(status) ? new Device : nullptr;
        *out = device;
        logLine("GetDefaultAudioEndpoint flow=%d role=%d device=%d -> 0x%08lx",
                static_cast<int>(flow), static_cast<int>(role), device ? device->id : 0,
                hex(status));
        return status;
    }
    HRESULT STDMETHODCALLTYPE EnumAudioEndpoints(EDataFlow, DWORD, IMMDeviceCollection**) override {
        return notImplemented("EnumAudioEndpoints");
    }
    HRESULT STDMETHODCALLTYPE GetDevice(LPCWSTR, IMMDevice**) override {
        return notImplemented("GetDevice");
    }
    HRESULT STDMETHODCALLTYPE
    RegisterEndpointNotificationCallback(IMMNotificationClient*) override {
        return notImplemented("RegisterEndpointNotificationCallback");
    }
    HRESULT STDMETHODCALLTYPE
    UnregisterEndpointNotificationCallback(IMMNotificationClient*) override {
        return notImplemented("UnregisterEndpointNotificationCallback");
    }
};

struct Operation : IActivateAudioInterfaceAsyncOperation, Tracked {
    HRESULT result;
    IUnknown* activated;
    Operation(HRESULT outcome, IUnknown* object)
        : Tracked("IActivateAudioInterfaceAsyncOperation"), result(outcome), activated(object) {}
    TRACKED_IUNKNOWN(IActivateAudioInterfaceAsyncOperation)
    void lastReleased() override {
        if (activated != nullptr) activated->Release();
    }
    HRESULT STDMETHODCALLTYPE GetActivateResult(HRESULT* outcome, IUnknown** object) override {
        const HRESULT status = fault("GetActivateResult");
        *object = nullptr;
        if (SUCCEEDED(status)) {
            *outcome = result;
            if ((*object = activated) != nullptr) activated->AddRef();
        }
        logLine("GetActivateResult result=0x%08lx interface=%s -> 0x%08lx", hex(result),
                activated ? "set" : "null", hex(status));
        return status;
    }
};

struct Completion {
    IActivateAudioInterfaceCompletionHandler* handler;
    Operation* operation;
    bool ownThread;
    LONG settled = 0;
};
// On threads of their own: their references are the double's own until settled.
std::vector<Completion*> g_pending;

// Gives back the double's reference to the operation once, whether the completion or the exit
// report gets there first: on Wine a completion thread may still run while the process exits.
// The flag is set first: a thread's first use of it allocates, which is slow enough for the exit
// report to run meanwhile.
bool settle(Completion* completion) {
    const bool own = t_ownReferences;
    t_ownReferences = true;
    const bool first = InterlockedExchange(&completion->settled, 1) == 0;
    if (first) completion->operation->release();
    t_ownReferences = own;
    return first;
}

DWORD WINAPI complete(void* parameter) {
    auto* completion = static_cast<Completion*>(parameter);
    if (completion->ownThread && g_config.completionDelay > 0) Sleep(g_config.completionDelay);
    const HRESULT status = completion->handler->ActivateCompleted(completion->operation);
    logLine("ActivateCompleted operation=%d thread=%s -> 0x%08lx", completion->operation->id,
            completion->ownThread ? "own" : "caller", hex(status));
    completion->handler->Release();
    // Until here the process may end with this completion pending; the exit report then gives
    // back its reference to the operation. Like every object, the completion is never freed.
    settle(completion);
    return 0;
}

struct Factory : IClassFactory {
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        *out = IsEqualIID(iid, IID_IClassFactory) || IsEqualIID(iid, IID_IUnknown) ? this : nullptr;
        return *out ? S_OK : E_NOINTERFACE;
    }
    // One static factory for the life of the process: COM may keep it cached.
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
        HRESULT status = fault("CoCreateInstance", outer ? CLASS_E_NOAGGREGATION : S_OK);
        Enumerator* enumerator = SUCCEEDED(status) ? new Enumerator : nullptr;
        *out = nullptr;
        if (enumerator != nullptr) {
            status = enumerator->QueryInterface(iid, out);
            enumerator->release();
        }
        logLine("CoCreateInstance class=MMDeviceEnumerator iid=%s enumerator=%d -> 0x%08lx",
                IsEqualIID(iid, __uuidof(IMMDeviceEnumerator)) ? "IMMDeviceEnumerator" : "other",
                enumerator ? enumerator->id : 0, hex(status));
        return status;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
} g_factory;

// ---- the exe's imports from ole32 and kernel32, which a mmdevapi.dll cannot serve itself ------
decltype(&CoInitializeEx) realCoInitializeEx;
decltype(&CoUninitialize) realCoUninitialize;
decltype(&CoTaskMemFree) realCoTaskMemFree;
decltype(&CreateEventA) realCreateEventA;
decltype(&WaitForSingleObject) realWaitForSingleObject;
decltype(&Sleep) realSleep;
std::vector<HANDLE> g_events;  // made through CreateEventA: the only waits worth reporting

HRESULT WINAPI hookCoInitializeEx(void* reserved, DWORD model) {
    const Failure* failure = injected("CoInitializeEx");
    const HRESULT status = failure ? failure->status : realCoInitializeEx(reserved, model);
    logLine("CoInitializeEx model=0x%lx -> 0x%08lx", static_cast<unsigned long>(model),
            hex(status));
    return status;
}

void WINAPI hookCoUninitialize() {
    logLine("CoUninitialize");
    realCoUninitialize();
}

void WINAPI hookCoTaskMemFree(void* block) {
    int client = 0;
    {
        Lock lock;
        auto it = std::find_if(
            g_mixFormats.begin(), g_mixFormats.end(),
            [block](const std::pair<void*, int>& format) { return format.first == block; });
        if (it != g_mixFormats.end()) client = it->second, g_mixFormats.erase(it);
    }
    if (client != 0)
        logLine("CoTaskMemFree mixformat client=%d", client);
    else
        logLine("CoTaskMemFree %s", block ? "other" : "null");
    realCoTaskMemFree(block);
}

HANDLE WINAPI hookCreateEventA(SECURITY_ATTRIBUTES* security, BOOL manual, BOOL initial,
                               const char* name) {
    const bool fail = injected("CreateEventA") != nullptr;
    HANDLE event = fail ? nullptr : realCreateEventA(security, manual, initial, name);
    if (fail) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    if (event != nullptr) {
        Lock lock;
        g_events.push_back(event);
    }
    logLine("CreateEventA manual=%d initial=%d -> %s", manual, initial, event ? "event" : "null");
    return event;
}

DWORD WINAPI hookWaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    bool ours = false;
    {
        Lock lock;
        for (HANDLE event : g_events) ours = ours || event == handle;
    }
    if (!ours) return realWaitForSingleObject(handle, milliseconds);
    const Failure* failure = injected("WaitForSingleObject");
    const bool failed = failure != nullptr && failure->word == "failed";
    if (failed) SetLastError(ERROR_INVALID_HANDLE);
    const DWORD result = failed    ? WAIT_FAILED
                         : failure ? WAIT_TIMEOUT
                                   : realWaitForSingleObject(handle, milliseconds);
    logLine("WaitForSingleObject ms=%lu -> 0x%lx", static_cast<unsigned long>(milliseconds),
            static_cast<unsigned long>(result));
    return result;
}

void WINAPI hookSleep(DWORD milliseconds) {
    logLine("Sleep ms=%lu", static_cast<unsigned long>(milliseconds));
    realSleep(milliseconds);
}

// Points the main module's import slots for these functions at the wrappers: the exe's file is
// unchanged, only its import table in this process's memory.
void hookImports() {
#define HOOK(name)                                         \
    {                                                      \
#name, reinterpret_cast < ULONG_PTR>(&hook##name), \
            reinterpret_cast < ULONG_PTR*>(&real##name)    \
    }
    const struct {
        const char* name;
        ULONG_PTR replacement;
        ULONG_PTR* original;
    } hooks[] = {HOOK(CoInitializeEx), HOOK(CoUninitialize),      HOOK(CoTaskMemFree),
                 HOOK(CreateEventA),   HOOK(WaitForSingleObject), HOOK(Sleep)};
#undef HOOK
    auto* base = reinterpret_cast<BYTE*>(GetModuleHandleW(nullptr));
    const auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(
        base + reinterpret_cast<IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const DWORD imports =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress;
    std::string patched;
    for (auto* dll = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports);
         imports && dll->Name; ++dll) {
        auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + dll->OriginalFirstThunk);
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + dll->FirstThunk);
        for (; dll->OriginalFirstThunk && names->u1.AddressOfData; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
            const char* name =
                reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData)->Name;
            for (const auto& hook : hooks) {
                if (std::strcmp(name, hook.name) != 0) continue;
                DWORD protection = 0;
                VirtualProtect(&slots->u1.Function, sizeof(ULONG_PTR), PAGE_READWRITE, &protection);
                *hook.original = static_cast<ULONG_PTR>(slots->u1.Function);
                slots->u1.Function = hook.replacement;
                VirtualProtect(&slots->u1.Function, sizeof(ULONG_PTR), protection, &protection);
                patched += (patched.empty() ? "" : ",") + std::string(name);
            }
        }
    }
    char module[MAX_PATH] = "";
    GetModuleFileNameA(nullptr, module, sizeof module);
    logLine("attach pid=%lu module=%s hooks=%s", GetCurrentProcessId(), module, patched.c_str());
}

// At process exit the other threads are gone, and one of them may hold the lock: none is taken.
void reportOutstanding() {
    t_ownReferences = true;
    for (Completion* completion : g_pending)
        if (settle(completion)) logLine("undelivered operation=%d", completion->operation->id);
    int outstanding = 0;
    for (Tracked* object : g_objects)
        if (object->refs > 0)
            logLine("outstanding %s#%d refs=%ld", object->type, object->id, object->refs),
                ++outstanding;
    for (auto& format : g_mixFormats)
        logLine("outstanding mixformat client=%d", format.second), ++outstanding;
    logLine("exit outstanding=%d", outstanding);
}

std::string environment(const char* name) {
    static char value[32768];
    const DWORD size = GetEnvironmentVariableA(name, value, sizeof value);
    return size < sizeof value ? std::string(value, size) : std::string();
}

}  // namespace

extern "C" HRESULT WINAPI
doubleActivateAudioInterfaceAsync(const WCHAR* path, REFIID iid, PROPVARIANT* params,
                                  IActivateAudioInterfaceCompletionHandler* handler,
                                  IActivateAudioInterfaceAsyncOperation** operation) {
    DWORD words[3] = {0, 0, 0};  // the activation record: type, process, mode
    if (params->vt == VT_BLOB && params->blob.pBlobData != nullptr)
        std::memcpy(words, params->blob.pBlobData,
                    std::min<std::size_t>(params->blob.cbSize, sizeof words));
    IUnknown* agile = nullptr;
    if (SUCCEEDED(handler->QueryInterface(IID_IAgileObject, reinterpret_cast<void**>(&agile))))
        agile->Release();
    const bool audioClient = IsEqualIID(iid, __uuidof(IAudioClient));
    const HRESULT status = fault("ActivateAudioInterfaceAsync");
    Operation* op = nullptr;
    if (SUCCEEDED(status)) {
        const Failure* failure = injected("ActivateResult");
        const bool stranger = failure != nullptr && failure->word == "noclient";
        const HRESULT result = failure && !stranger ? failure->status
                               : audioClient        ? S_OK
                                                    : E_NOINTERFACE;
        IUnknown* activated = stranger ? static_cast<IUnknown*>(new Stranger)
                              : SUCCEEDED(result)
                                  ? static_cast<IAudioClient*>(new AudioClient(true))
                                  : nullptr;
        *operation = op = new Operation(result, activated);
    }
    logLine(
        "ActivateAudioInterfaceAsync path=%ls iid=%s vt=%u size=%lu type=%lu pid=%lu mode=%lu "
        "agile=%d "
        "operation=%d -> 0x%08lx",
        path, audioClient ? "IAudioClient" : "other", params->vt,
        static_cast<unsigned long>(params->blob.cbSize), static_cast<unsigned long>(words[0]),
        static_cast<unsigned long>(words[1]), static_cast<unsigned long>(words[2]),
        agile != nullptr, op ? op->id : 0, hex(status));
    if (op == nullptr || g_config.completion == Config::Never) return status;
    handler->AddRef();
    t_ownReferences = true;
    op->addRef();
    t_ownReferences = false;
    auto* completion = new Completion{handler, op, g_config.completion != Config::Sync};
    if (!completion->ownThread) {
        complete(completion);  // before ActivateAudioInterfaceAsync returns, on the caller's thread
        return status;
    }
    {
        Lock lock;
        g_pending.push_back(completion);
    }
    HANDLE thread = CreateThread(nullptr, 0, complete, completion, 0, nullptr);
    if (thread != nullptr) CloseHandle(thread);
    return status;
}

extern "C" HRESULT WINAPI doubleDllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
    const bool ours = IsEqualCLSID(clsid, __uuidof(MMDeviceEnumerator));
    logLine("DllGetClassObject class=%s", ours ? "MMDeviceEnumerator" : "other");
    *out = nullptr;
    return ours ? g_factory.QueryInterface(iid, out) : CLASS_E_CLASSNOTAVAILABLE;
}

extern "C" HRESULT WINAPI doubleDllCanUnloadNow() {
    return S_FALSE;
}
extern "C" HRESULT WINAPI doubleDllRegisterServer() {
    return S_OK;
}
extern "C" HRESULT WINAPI doubleDllUnregisterServer() {
    return S_OK;
}

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, void*) {
    if (reason == DLL_PROCESS_ATTACH) {
        InitializeCriticalSection(&g_lock);
        const std::string logPath = environment("OAH_DOUBLE_LOG");
        if (!logPath.empty())
            g_log = CreateFileA(logPath.c_str(), FILE_APPEND_DATA,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        parseConfig(environment("OAH_DOUBLE"));
        hookImports();
    } else if (reason == DLL_PROCESS_DETACH) {
        reportOutstanding();
    }
    return TRUE;
}
