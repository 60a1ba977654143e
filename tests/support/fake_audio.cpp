#include "fake_audio.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <sstream>

namespace {

std::mutex g_mutex;
struct Lock : std::lock_guard<std::mutex> {
    Lock() : lock_guard(g_mutex) {}
};

std::string hex(const void* data, std::size_t size) {
    std::string text;
    char digits[3];
    for (std::size_t i = 0; i < size; ++i) {
        std::snprintf(digits, sizeof digits, "%02x", static_cast<const BYTE*>(data)[i]);
        text += digits;
    }
    return text;
}
std::string unhex(const std::string& text) {
    std::string bytes;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2)
        bytes += static_cast<char>(std::strtoul(text.substr(i, 2).c_str(), nullptr, 16));
    return bytes;
}

std::vector<std::string> g_log;
void logLine(const char* format, ...) {
    char line[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    Lock lock;
    g_log.push_back(line);
}

// The performance counter in 100-ns units, the unit of GetBuffer's positions.
ULONGLONG now100ns() {
    LARGE_INTEGER counter, frequency;
    QueryPerformanceCounter(&counter), QueryPerformanceFrequency(&frequency);
    const ULONGLONG count = counter.QuadPart, perSecond = frequency.QuadPart;
    return count / perSecond * 10000000 + count % perSecond * 10000000 / perSecond;
}

constexpr DWORD kNullData = 0x100;
struct Packet {
    UINT32 frames = 0;
    DWORD flags = 0;
    long at = -1;  // ms after Start; -1: where the packet before it ended
};
struct Settings {
    std::string mix =
        unhex("feff020080bb000000dc05000800200016002000030000000300000000001000800000aa00389b71");
    std::string loopMix = "notimpl", data, complete = "0", after, pace;
    std::vector<Packet> packets;
    std::map<std::string, std::map<unsigned, std::string>> failures;  // call, n-th call, status
    std::map<std::string, unsigned> calls;
    unsigned long changeAfter = 0;
    int changeFlow = 0, changeRole = 0;
    std::function<void()> drained;
    std::vector<IMMNotificationClient*> callbacks;  // registered, each with a reference of ours
    std::vector<HANDLE> completions;                // our threads that deliver a completion
    unsigned long released = 0, sequence = 0, positionsAsked = 0;
    unsigned long long frames = 0, polls = 0, runTime = 0, startedAt = 0;
    // The longest time from the end of a stopped client's last packet to the first packet of the
    // next, as the devices' clocks tell it: the time without a device.
    unsigned long long lastEnd = 0, gap = 0;
    double tone = 0;                                   // Hz; 0: the bytes of data= or the sequence
    std::vector<std::pair<DWORD, std::string>> moves;  // ms after the first Start, new default
    HANDLE mover = nullptr;
    std::set<void*> blocks;  // task memory handed out and not freed yet
} g;

// Sees task memory go, so that a string or format handed out and never freed shows.
struct MallocSpy final : IMallocSpy {
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        const bool known = IsEqualIID(iid, IID_IMallocSpy) || IsEqualIID(iid, IID_IUnknown);
        *out = known ? this : nullptr;
        return known ? S_OK : E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    void* STDMETHODCALLTYPE PreFree(void* block, BOOL) override {
        Lock lock;
        g.blocks.erase(block);
        return block;
    }
    SIZE_T STDMETHODCALLTYPE PreAlloc(SIZE_T size) override { return size; }
    void* STDMETHODCALLTYPE PostAlloc(void* block) override { return block; }
    void STDMETHODCALLTYPE PostFree(BOOL) override {}
    SIZE_T STDMETHODCALLTYPE PreRealloc(void* block, SIZE_T size, void** same, BOOL) override {
        return *same = block, size;
    }
    void* STDMETHODCALLTYPE PostRealloc(void* block, BOOL) override { return block; }
    void* STDMETHODCALLTYPE PreGetSize(void* block, BOOL) override { return block; }
    SIZE_T STDMETHODCALLTYPE PostGetSize(SIZE_T size, BOOL) override { return size; }
    void* STDMETHODCALLTYPE PreDidAlloc(void* block, BOOL) override { return block; }
    int STDMETHODCALLTYPE PostDidAlloc(void*, BOOL, int actual) override { return actual; }
    void STDMETHODCALLTYPE PreHeapMinimize() override {}
    void STDMETHODCALLTYPE PostHeapMinimize() override {}
} g_spy;

void* handOut(std::size_t size) {
    static const HRESULT spying = CoRegisterMallocSpy(&g_spy);
    void* block = SUCCEEDED(spying) ? CoTaskMemAlloc(size) : nullptr;
    Lock lock;
    g.blocks.insert(block);
    return block;
}

// What the n-th call of `call` is to answer: its injected failure, if any, else `otherwise`.
std::string injected(const char* call) {
    Lock lock;
    const auto failure = g.failures[call].find(++g.calls[call]);
    return failure == g.failures[call].end() ? "" : failure->second;
}
HRESULT fault(const char* call, HRESULT otherwise = S_OK) {
    const std::string failure = injected(call);
    return failure.empty() ? otherwise : HRESULT(std::strtoul(failure.c_str(), nullptr, 16));
}

class Endpoint;
DWORD WINAPI moveDefault(void*);
// In the order the enumerator lists them; the second is the default until a move.
Endpoint* g_devices[6];
Endpoint* g_collection = nullptr;
Endpoint* g_default = nullptr;  // nullptr: no default output

// One audio endpoint in all the roles a run meets it in: the enumerator, the device, its property
// store, its audio client and capture service, or, for process loopback, the activation operation
// and the client it delivers; or the enumerator's list of devices. One reference count covers them
// all: a run that gave back all it took leaves it at zero.
class Endpoint final : public IMMDeviceEnumerator,
                       public IMMDevice,
                       public IAudioClient,
                       public IAudioCaptureClient,
                       public IActivateAudioInterfaceAsyncOperation,
                       public IMMDeviceCollection,
                       public IPropertyStore {
  public:
    Endpoint(const char* name, std::string& mix, const wchar_t* id = L"",
             const wchar_t* title = L"", EDataFlow flow = eRender,
             DWORD state = DEVICE_STATE_ACTIVE)
        : name(name), id(id), title(title), flow(flow), state(state), mix(mix) {}
    const char* const name;
    const wchar_t *const id, *const title;  // the device's id and friendly name
    const EDataFlow flow;
    DWORD state;                     // a device the default moves to becomes active
    std::vector<Endpoint*> members;  // as a collection
    LONG refs = 0;
    LONG completing = 0;   // 1 while a completion of ours holds a reference
    std::string delivery;  // "": the client; "noclient": an object that is none; else a status
    IActivateAudioInterfaceCompletionHandler* handler = nullptr;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        *out = nullptr;
        if (IsEqualIID(iid, __uuidof(IAudioClient)) || IsEqualIID(iid, IID_IUnknown))
            *out = static_cast<IAudioClient*>(this);
        if (IsEqualIID(iid, __uuidof(IMMDeviceEnumerator)))
            *out = static_cast<IMMDeviceEnumerator*>(this);
        return *out ? (AddRef(), S_OK) : E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ULONG(InterlockedIncrement(&refs)); }
    ULONG STDMETHODCALLTYPE Release() override {
        const LONG now = InterlockedDecrement(&refs);
        if (now < 0) logLine("mismatch Release of a released %s", name);
        if (now == 0 && running) logLine("mismatch %s released while running", name);
        return ULONG(std::max(now, 0L));
    }

    // IMMDeviceEnumerator
    HRESULT STDMETHODCALLTYPE GetDefaultAudioEndpoint(EDataFlow flow, ERole role,
                                                      IMMDevice** out) override {
        const bool renderConsole = flow == eRender && role == eConsole;
        Endpoint* found = nullptr;
        {
            Lock lock;
            found = g_default;
        }
        const HRESULT none = found ? S_OK : HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
        const HRESULT status =
            fault("GetDefaultAudioEndpoint", renderConsole ? none : E_INVALIDARG);
        *out = SUCCEEDED(status) ? (found->AddRef(), found) : nullptr;
        return status;
    }
    HRESULT STDMETHODCALLTYPE
    RegisterEndpointNotificationCallback(IMMNotificationClient* callback) override {
        const HRESULT status = fault("RegisterEndpointNotificationCallback");
        logLine("register");
        Lock lock;
        if (SUCCEEDED(status)) callback->AddRef(), g.callbacks.push_back(callback);
        return status;
    }
    HRESULT STDMETHODCALLTYPE
    UnregisterEndpointNotificationCallback(IMMNotificationClient* callback) override {
        logLine("unregister");
        Lock lock;
        const auto it = std::find(g.callbacks.begin(), g.callbacks.end(), callback);
        if (it == g.callbacks.end())
            return logLine("mismatch Unregister of an unknown callback"), E_INVALIDARG;
        g.callbacks.erase(it), callback->Release();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE EnumAudioEndpoints(EDataFlow flow, DWORD states,
                                                 IMMDeviceCollection** out) override {
        const HRESULT status = fault("EnumAudioEndpoints");
        *out = SUCCEEDED(status) ? (g_collection->AddRef(), g_collection) : nullptr;
        g_collection->members.clear();
        for (Endpoint* device : g_devices)
            if ((device->flow == flow || flow == eAll) && (device->state & states))
                g_collection->members.push_back(device);
        return status;
    }
    HRESULT STDMETHODCALLTYPE GetDevice(LPCWSTR wanted, IMMDevice** out) override {
        Endpoint* found = nullptr;
        for (Endpoint* device : g_devices) found = wcscmp(device->id, wanted) ? found : device;
        const HRESULT status =
            fault("GetDevice", found ? S_OK : HRESULT_FROM_WIN32(ERROR_NOT_FOUND));
        *out = SUCCEEDED(status) ? (found->AddRef(), found) : nullptr;
        return status;
    }

    // IMMDevice
    HRESULT STDMETHODCALLTYPE Activate(REFIID iid, DWORD, PROPVARIANT*, void** out) override {
        const bool client = IsEqualIID(iid, __uuidof(IAudioClient));
        const HRESULT gone = state == DEVICE_STATE_ACTIVE ? S_OK : AUDCLNT_E_DEVICE_INVALIDATED;
        const HRESULT status = fault("Activate", client ? gone : E_NOINTERFACE);
        *out = SUCCEEDED(status) ? (AddRef(), static_cast<IAudioClient*>(this)) : nullptr;
        return status;
    }
    // Writing a device's properties needs an administrator.
    HRESULT STDMETHODCALLTYPE OpenPropertyStore(DWORD access, IPropertyStore** out) override {
        const HRESULT status =
            fault("OpenPropertyStore", access == STGM_READ ? S_OK : E_ACCESSDENIED);
        *out = SUCCEEDED(status) ? (AddRef(), this) : nullptr;
        return status;
    }
    HRESULT STDMETHODCALLTYPE GetId(LPWSTR* out) override {
        const HRESULT status = fault("GetId");
        *out = SUCCEEDED(status) ? copy(id) : nullptr;
        return status;
    }
    HRESULT STDMETHODCALLTYPE GetState(DWORD*) override { return E_NOTIMPL; }

    // IMMDeviceCollection
    HRESULT STDMETHODCALLTYPE GetCount(UINT* count) override {
        *count = UINT(members.size());
        return fault("GetCount");
    }
    HRESULT STDMETHODCALLTYPE Item(UINT index, IMMDevice** out) override {
        const HRESULT status = fault("Item", index < members.size() ? S_OK : E_INVALIDARG);
        *out = SUCCEEDED(status) ? (members[index]->AddRef(), members[index]) : nullptr;
        return status;
    }

    // IPropertyStore: the friendly name, or an injected status (0x0: no value)
    HRESULT STDMETHODCALLTYPE GetValue(REFPROPERTYKEY key, PROPVARIANT* value) override {
        const std::string failure = injected("GetValue");
        const PROPERTYKEY friendlyName{
            {0xA45C254E, 0xDF1C, 0x4EFD, {0x80, 0x20, 0x67, 0xD1, 0x46, 0xA8, 0x50, 0xE0}}, 14};
        PropVariantInit(value);
        if (!failure.empty()) return HRESULT(std::strtoul(failure.c_str(), nullptr, 16));
        if (IsEqualGUID(key.fmtid, friendlyName.fmtid) && key.pid == friendlyName.pid)
            value->vt = VT_LPWSTR, value->pwszVal = copy(title);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetCount(DWORD*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetAt(DWORD, PROPERTYKEY*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetValue(REFPROPERTYKEY, REFPROPVARIANT) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Commit() override { return E_NOTIMPL; }

    // IAudioClient
    HRESULT STDMETHODCALLTYPE Initialize(AUDCLNT_SHAREMODE share, DWORD streamFlags,
                                         REFERENCE_TIME duration, REFERENCE_TIME period,
                                         const WAVEFORMATEX* format, LPCGUID) override {
        // A capture endpoint has no loopback stream.
        const bool loopback = streamFlags & AUDCLNT_STREAMFLAGS_LOOPBACK;
        const HRESULT status = fault(
            "Initialize", loopback && flow == eCapture ? AUDCLNT_E_WRONG_ENDPOINT_TYPE : S_OK);
        initialized = SUCCEEDED(status), flags = streamFlags;
        align = format->nBlockAlign, rate = format->nSamplesPerSec, bits = format->wBitsPerSample;
        logLine("init %s share=%d flags=0x%08lx duration=%lld period=%lld format=%s", name,
                int(share), streamFlags, duration, period,
                hex(format, sizeof *format + format->cbSize).c_str());
        return status;
    }
    HRESULT STDMETHODCALLTYPE GetMixFormat(WAVEFORMATEX** out) override {
        const HRESULT status = fault("GetMixFormat", mix == "notimpl" ? E_NOTIMPL : S_OK);
        *out = nullptr;
        if (status == S_OK && mix != "null")
            *out = static_cast<WAVEFORMATEX*>(handOut(mix.size())),
            mix.copy(reinterpret_cast<char*>(*out), mix.size());
        return status;
    }
    HRESULT STDMETHODCALLTYPE Start() override {
        // An event-driven stream without an event is refused, as Windows refuses it.
        const bool eventless = (flags & AUDCLNT_STREAMFLAGS_EVENTCALLBACK) && !event;
        const bool ready = initialized && !running && !eventless;
        const HRESULT status = fault("Start", ready ? S_OK : AUDCLNT_E_NOT_INITIALIZED);
        if (FAILED(status)) return status;
        running = true, delivered = false, startedAt = nextPosition = now100ns();
        if (g.startedAt == 0) g.startedAt = startedAt;
        if (!g.moves.empty() && !g.mover)
            g.mover = CreateThread(nullptr, 0, moveDefault, nullptr, 0, nullptr);
        return status;
    }
    HRESULT STDMETHODCALLTYPE Stop() override {
        if (!running || held) logLine("mismatch Stop without a Start or with a packet held");
        // Audio the client said was there and that was never asked for is lost.
        if (waiting) logLine("mismatch Stop with a packet waiting");
        if (running) g.runTime = now100ns() - g.startedAt, g.lastEnd = nextPosition;
        running = false;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetEventHandle(HANDLE packetEvent) override {
        const HRESULT status = fault("SetEventHandle", packetEvent ? S_OK : E_INVALIDARG);
        if (SUCCEEDED(status)) event = packetEvent;
        return status;
    }
    HRESULT STDMETHODCALLTYPE GetService(REFIID iid, void** out) override {
        const bool capture = initialized && IsEqualIID(iid, __uuidof(IAudioCaptureClient));
        const HRESULT status = fault("GetService", capture ? S_OK : E_NOINTERFACE);
        *out = SUCCEEDED(status) ? (AddRef(), static_cast<IAudioCaptureClient*>(this)) : nullptr;
        return status;
    }
    HRESULT STDMETHODCALLTYPE GetBufferSize(UINT32*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetStreamLatency(REFERENCE_TIME*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetCurrentPadding(UINT32*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE IsFormatSupported(AUDCLNT_SHAREMODE, const WAVEFORMATEX*,
                                                WAVEFORMATEX**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetDevicePeriod(REFERENCE_TIME*, REFERENCE_TIME*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Reset() override { return E_NOTIMPL; }

    // IAudioCaptureClient
    HRESULT STDMETHODCALLTYPE GetNextPacketSize(UINT32* frames) override {
        ++g.polls;
        const HRESULT status = fault("GetNextPacketSize");
        const auto* packet = !held && SUCCEEDED(status) ? ready() : nullptr;
        *frames = held ? held : packet ? packet->frames : 0;
        waiting = *frames > 0;
        if (next >= g.packets.size() && g.after != "repeat" && g.drained) g.drained();
        return status;
    }
    HRESULT STDMETHODCALLTYPE GetBuffer(BYTE** data, UINT32* frames, DWORD* flagsOut, UINT64*,
                                        UINT64* position) override {
        if (held || !running) logLine("mismatch GetBuffer with a packet held or stopped");
        waiting = false;
        if (position && !g.positionsAsked++) logLine("positions asked");
        // An injected AUDCLNT_S_BUFFER_EMPTY finds nothing even when a packet is ready.
        const HRESULT status = fault("GetBuffer");
        const auto* packet = status == S_OK ? ready() : nullptr;
        *data = nullptr, *frames = 0, *flagsOut = 0;
        if (packet == nullptr) return SUCCEEDED(status) ? AUDCLNT_S_BUFFER_EMPTY : status;
        if (position) *position = positionOf(*packet);
        if (!delivered && g.lastEnd != 0)
            g.gap = std::max(g.gap, positionOf(*packet) - std::min(g.lastEnd, positionOf(*packet)));
        delivered = true;
        nextPosition = positionOf(*packet) + duration(packet->frames);
        buffer.resize(packet->frames * align);
        for (char& byte : buffer)
            byte = char(g.data.empty() ? g.sequence : g.data[g.sequence % g.data.size()]),
            ++g.sequence;
        if (g.tone > 0) playTone(packet->frames);
        *data = packet->flags & kNullData ? nullptr : reinterpret_cast<BYTE*>(&buffer[0]);
        *frames = held = packet->frames;
        *flagsOut = packet->flags & ~kNullData;
        return status;
    }
    HRESULT STDMETHODCALLTYPE ReleaseBuffer(UINT32 frames) override {
        if (frames != held) logLine("mismatch ReleaseBuffer of %u frames", frames);
        const HRESULT status = fault("ReleaseBuffer");
        if (held == 0) return status;  // after an empty GetBuffer
        // Poisoned, so that data used after its release shows in the stream.
        std::fill(buffer.begin(), buffer.end(), '\xDD');
        g.frames += held, held = 0, ++next;
        if (++g.released != g.changeAfter) return status;
        Lock lock;
        for (IMMNotificationClient* callback : g.callbacks)
            callback->OnDefaultDeviceChanged(EDataFlow(g.changeFlow), ERole(g.changeRole),
                                             L"{new}");
        return status;
    }

    // IActivateAudioInterfaceAsyncOperation
    HRESULT STDMETHODCALLTYPE GetActivateResult(HRESULT* result, IUnknown** activated) override {
        const HRESULT status = fault("GetActivateResult");
        *activated = nullptr;
        if (FAILED(status)) return status;
        const bool failed = !delivery.empty() && delivery != "noclient";
        *result = failed ? HRESULT(std::strtoul(delivery.c_str(), nullptr, 16)) : S_OK;
        // The object that is no audio client is the handler itself.
        if (!failed && delivery.empty()) *activated = static_cast<IAudioClient*>(this);
        if (!failed && !delivery.empty()) *activated = handler;
        if (*activated) (*activated)->AddRef();
        return status;
    }

  private:
    // A sine at half scale on the first channel and a quarter on the others, in the client's
    // format (32 bits: float, 16: PCM), going on where the last packet of this endpoint left it.
    void playTone(UINT32 frames) {
        const unsigned long width = bits / 8, channels = align / width;
        for (UINT32 frame = 0; frame < frames; ++frame, ++toneFrames) {
            const double phase = 6.283185307179586 * g.tone * double(toneFrames) / rate;
            for (unsigned long channel = 0; channel < channels; ++channel) {
                const double value = (channel == 0 ? 0.5 : 0.25) * std::sin(phase);
                const float asFloat = float(value);
                const auto asShort = short(std::lround(value * 32767));
                char* sample = &buffer[frame * align + channel * width];
                std::memcpy(sample, width == 4 ? (const void*)&asFloat : &asShort, width);
            }
        }
    }
    ULONGLONG positionOf(const Packet& packet) const {
        return packet.at < 0 ? nextPosition : startedAt + ULONGLONG(packet.at) * 10000;
    }
    ULONGLONG duration(UINT32 frames) const { return frames * 10000000ull / std::max(rate, 1ul); }

    static LPWSTR copy(const wchar_t* text) {
        const std::size_t size = (wcslen(text) + 1) * sizeof *text;
        return static_cast<LPWSTR>(std::memcpy(handOut(size), text, size));
    }

    // The packet that is ready now, if any; an idle item is used up by asking.
    const Packet* ready() {
        if (next >= g.packets.size() && g.after == "repeat") next = 0;
        if (next >= g.packets.size()) return nullptr;
        const Packet& packet = g.packets[next];
        if (packet.frames == 0 && ++next && event) SetEvent(event);
        const ULONGLONG end = positionOf(packet) + duration(packet.frames);
        const bool early = g.pace == "real" && now100ns() < end;
        return packet.frames == 0 || early ? nullptr : &packet;
    }

    std::string& mix;
    bool initialized = false, running = false;
    unsigned long flags = 0, rate = 0, align = 0, bits = 0, next = 0;
    unsigned long long toneFrames = 0;
    UINT32 held = 0;
    bool delivered = false;  // a packet since Start
    bool waiting = false;    // the last GetNextPacketSize found a packet
    ULONGLONG startedAt = 0, nextPosition = 0;
    HANDLE event = nullptr;
    std::string buffer;
};

// Objects of a run stay alive after it, so that a release too many is reported rather than
// crashing.
Endpoint* g_endpoint = nullptr;
Endpoint* g_loopback = nullptr;

// Moves the default output as moves= says, telling every registered callback once for each role,
// as Windows does.
DWORD WINAPI moveDefault(void*) {
    for (const auto& [at, name] : g.moves) {
        const ULONGLONG due = g.startedAt + at * 10000ull, now = now100ns();
        if (due > now) Sleep(DWORD((due - now) / 10000));
        Endpoint* next = nullptr;
        for (Endpoint* device : g_devices) next = name == device->name ? device : next;
        if (name == "speakers") next = g_endpoint;
        if (next) next->state = DEVICE_STATE_ACTIVE;
        Lock lock;
        g_default = next;
        for (ERole role : {eConsole, eMultimedia, eCommunications})
            for (IMMNotificationClient* callback : g.callbacks)
                callback->OnDefaultDeviceChanged(eRender, role, next ? next->id : nullptr);
    }
    return 0;
}

DWORD WINAPI complete(void*) {
    Sleep(std::strtoul(g.complete.c_str(), nullptr, 10));
    g_loopback->handler->ActivateCompleted(g_loopback);
    g_loopback->handler->Release();
    if (InterlockedExchange(&g_loopback->completing, 0)) g_loopback->Release();
    return 0;
}

}  // namespace

void resetFakeAudio(const std::string& directives) {
    for (HANDLE thread : g.completions) WaitForSingleObject(thread, 10000), CloseHandle(thread);
    if (g.mover) WaitForSingleObject(g.mover, 10000), CloseHandle(g.mover);
    g = Settings{};
    g_log.clear();
    std::istringstream items(directives);
    for (std::string item; std::getline(items, item, ';');) {
        const std::string key = item.substr(0, item.find('='));
        const std::string value = item.substr(std::min(item.size(), key.size() + 1));
        const std::string bytes = value == "notimpl" || value == "null" ? value : unhex(value);
        if (key == "mix" || key == "loopmix" || key == "data")
            *(key == "mix" ? &g.mix : key == "data" ? &g.data : &g.loopMix) = bytes;
        if (key == "after" || key == "pace" || key == "complete")
            *(key == "after" ? &g.after : key == "pace" ? &g.pace : &g.complete) = value;
        if (key == "devicechange")
            std::sscanf(value.c_str(), "%lu,%d,%d", &g.changeAfter, &g.changeFlow, &g.changeRole);
        if (key == "tone") g.tone = std::stod(value);
        std::istringstream moves(key == "moves" ? value : "");
        for (std::string text; moves >> text;)
            g.moves.emplace_back(std::stoul(text), text.substr(text.find(':') + 1));
        if (key == "packets") g.packets.clear();
        std::istringstream packets(key == "packets" ? value : "");
        for (std::string text; packets >> text;) {
            Packet& packet = g.packets.emplace_back();
            std::sscanf(text.c_str(), "%u/%lx", &packet.frames, &packet.flags);
            const std::size_t at = text.find('@');
            if (at != std::string::npos) packet.at = std::stol(text.substr(at + 1));
        }
        char call[64] = "", status[32] = "";
        unsigned nth = 0;
        if (key == "fail" && std::sscanf(value.c_str(), "%63[^#]#%u=%31s", call, &nth, status) == 3)
            g.failures[call][nth] = status;
    }
    g_endpoint = new Endpoint("endpoint-client", g.mix, L"{0.0.0.00000000}.{speakers}",
                              L"Lautsprecher (H\u00f6rger\u00e4t)");
    g_loopback = new Endpoint("loopback-client", g.loopMix);
    g_collection = new Endpoint("device-collection", g.loopMix);
    // A mix of 96000 Hz float stereo for the endpoints other than the default.
    static std::string other =
        unhex("feff02000077010000b80b000800200016002000030000000300000000001000800000aa00389b71");
    g_devices[0] = new Endpoint("headset", other, L"{0.0.0.00000000}.{headset}",
                                L"Casque \"Studio\" \\ \U0001F3A7 \u00e9");
    g_devices[1] = g_endpoint;
    g_devices[2] =
        new Endpoint("microphone", other, L"{0.0.1.00000000}.{microphone}", L"Micro", eCapture);
    g_devices[3] = new Endpoint("hdmi", other, L"{0.0.0.00000000}.{hdmi}", L"HDMI", eRender,
                                DEVICE_STATE_UNPLUGGED);
    // Present only once the default moves to them: a headset in hands-free mode (16-bit mono at
    // 16000 Hz) and a 5.1 output (float at 44100 Hz).
    static std::string handsFree = unhex("01000100803e0000007d0000020010000000");
    static std::string surround =
        unhex("feff060044ac00006026100018002000160020003f0000000300000000001000800000aa00389b71");
    g_devices[4] = new Endpoint("handsfree", handsFree, L"{0.0.0.00000000}.{handsfree}",
                                L"Headset (Hands-Free)", eRender, DEVICE_STATE_NOTPRESENT);
    g_devices[5] = new Endpoint("surround", surround, L"{0.0.0.00000000}.{surround}", L"", eRender,
                                DEVICE_STATE_NOTPRESENT);
    g_default = g_endpoint;
}

void onFakeAudioDrained(std::function<void()> drained) {
    g.drained = std::move(drained);
}

HRESULT WINAPI fakeCreateInstance(REFCLSID, IUnknown* outer, DWORD, REFIID iid, void** out) {
    // The run's thread must be in the multithreaded apartment: the audio service calls back on
    // threads of its own.
    APTTYPE type{};
    APTTYPEQUALIFIER qualifier{};
    if (FAILED(CoGetApartmentType(&type, &qualifier)) || type != APTTYPE_MTA)
        logLine("mismatch the run is not in the multithreaded apartment");
    *out = nullptr;
    const HRESULT status = fault("CoCreateInstance", outer ? CLASS_E_NOAGGREGATION : S_OK);
    return SUCCEEDED(status) ? g_endpoint->QueryInterface(iid, out) : status;
}

HRESULT WINAPI fakeActivateAudioInterfaceAsync(LPCWSTR path, REFIID iid, PROPVARIANT* params,
                                               IActivateAudioInterfaceCompletionHandler* handler,
                                               IActivateAudioInterfaceAsyncOperation** operation) {
    IUnknown* agile = nullptr;
    if (SUCCEEDED(handler->QueryInterface(IID_IAgileObject, reinterpret_cast<void**>(&agile))))
        agile->Release();
    logLine("activate path=%ls vt=%u record=%s agile=%d", path, params->vt,
            hex(params->blob.pBlobData, params->blob.cbSize).c_str(), agile != nullptr);
    const HRESULT status = fault("ActivateAudioInterfaceAsync",
                                 IsEqualIID(iid, __uuidof(IAudioClient)) ? S_OK : E_NOINTERFACE);
    g_loopback->delivery = SUCCEEDED(status) ? injected("ActivateResult") : "";
    g_loopback->AddRef();
    *operation = g_loopback;
    if (FAILED(status) || g.complete == "never") return status;
    g_loopback->AddRef(), g_loopback->completing = 1;
    (g_loopback->handler = handler)->AddRef();
    if (g.complete == "sync") return complete(nullptr), status;
    Lock lock;
    g.completions.push_back(CreateThread(nullptr, 0, complete, nullptr, 0, nullptr));
    return status;
}

// Read once the run is over; not locked, because at process exit a thread that is gone may hold
// the lock.
std::vector<std::string> fakeAudioLog() {
    return g_log;
}

std::vector<std::string> fakeAudioOutstanding() {
    for (HANDLE thread : g.completions) WaitForSingleObject(thread, 10000);
    if (g.mover) WaitForSingleObject(g.mover, 10000);
    // At process exit a completion may have been cut short after it woke the run: what it held
    // is ours, not the run's.
    if (g_loopback && InterlockedExchange(&g_loopback->completing, 0)) g_loopback->Release();
    std::vector<std::string> held(g.callbacks.size(), "a registered callback");
    held.insert(held.end(), g.blocks.size(), "a block of task memory");
    for (Endpoint* endpoint : {g_loopback, g_collection})
        if (endpoint && endpoint->refs > 0) held.push_back(endpoint->name);
    for (Endpoint* endpoint : g_devices)
        if (endpoint && endpoint->refs > 0) held.push_back(endpoint->name);
    return held;
}

unsigned long long fakeAudioFrames() {
    return g.frames;
}

unsigned long long fakeAudioPolls() {
    return g.polls;
}

unsigned long long fakeAudioRunTime() {
    return g.runTime;
}

unsigned long long fakeAudioStartedAt() {
    return g.startedAt;
}

unsigned long long fakeAudioGap() {
    return g.gap;
}
