#include "fake_audio.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <sstream>

namespace {

std::mutex g_mutex;
struct Lock : std::lock_guard<std::mutex> {
    Lock() : lock_guard(g_mutex) {}
};

std::string hex(const void* data, std::size_t size) {
    std::string text(2 * size + 1, '\0');
    for (std::size_t i = 0; i < size; ++i)
        std::snprintf(&text[2 * i], 3, "%02x", static_cast<const BYTE*>(data)[i]);
    text.pop_back();
    return text;
}
std::string unhex(const std::string& text) {
    std::string bytes;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2)
        bytes += static_cast<char>(std::strtoul(text.substr(i, 2).c_str(), nullptr, 16));
    return bytes;
}

constexpr DWORD kNullData = 0x100;
struct Failure {
    std::string call, word;
    unsigned nth;
};
struct Object;

// Everything one run set up and saw. Objects are never freed, so that a release too many is
// reported instead of crashing and what is still held can be named.
struct RunState {
    std::string mix =
        unhex("feff020080bb000000dc05000800200016002000030000000300000000001000800000aa00389b71");
    std::string loopMix = "notimpl", data, complete = "0", after, pace;
    std::vector<std::pair<UINT32, DWORD>> packets;  // frames, flags
    std::vector<Failure> failures;
    unsigned long changeAfter = 0;
    int changeFlow = 0, changeRole = 0;
    std::function<void()> drained;

    std::map<std::string, unsigned> calls;
    std::vector<Object*> objects;
    std::vector<IMMNotificationClient*> callbacks;  // registered, each with a reference of ours
    std::vector<HANDLE> completions;                // our threads that deliver a completion
    std::vector<std::string> log;
    unsigned long released = 0, sequence = 0;
    unsigned long long frames = 0, polls = 0;
} g;

void logLine(const char* format, ...) {
    char line[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    Lock lock;
    g.log.push_back(line);
}

// Counts the calls of `call`; the failure this one is to give, if any.
const Failure* injected(const char* call) {
    Lock lock;
    const unsigned count = ++g.calls[call];
    for (const Failure& failure : g.failures)
        if (failure.call == call && failure.nth == count) return &failure;
    return nullptr;
}
HRESULT fault(const char* call, HRESULT otherwise = S_OK) {
    const Failure* failure = injected(call);
    return failure ? static_cast<HRESULT>(std::strtoul(failure->word.c_str(), nullptr, 16))
                   : otherwise;
}

// Every object is one record behind a vtable of plain functions: only the methods a run calls
// are written, every other slot answers E_NOTIMPL.
struct Object {
    void* const* vtable;
    const char* type;
    const IID* iid;
    Object* holds;  // released with this object's last reference
    LONG refs = 1;
    LONG completing = 0;  // 1 while a completion of ours holds a reference to this operation
    bool initialized = false, running = false;
    unsigned long flags = 0, rate = 0, align = 0, held = 0, next = 0, registered = 0;
    ULONGLONG startedAt = 0, delivered = 0;
    HANDLE event = nullptr;
    std::string buffer = {};
    HRESULT result = S_OK;
    IActivateAudioInterfaceCompletionHandler* handler = nullptr;
};

Object* make(void* const* vtable, const char* type, const IID& iid, Object* holds = nullptr) {
    Lock lock;
    g.objects.push_back(new Object{vtable, type, &iid, holds});
    return g.objects.back();
}
ULONG STDMETHODCALLTYPE addRef(Object* self) {
    return static_cast<ULONG>(InterlockedIncrement(&self->refs));
}
ULONG STDMETHODCALLTYPE release(Object* self) {
    const LONG now = InterlockedDecrement(&self->refs);
    if (now < 0) logLine("mismatch Release of a released %s", self->type);
    if (now == 0 && self->running) logLine("mismatch %s released while running", self->type);
    if (now == 0 && self->registered)
        logLine("mismatch %s released with a callback registered", self->type);
    if (now == 0 && self->holds) release(self->holds);
    return static_cast<ULONG>(std::max(now, 0L));
}
HRESULT STDMETHODCALLTYPE queryInterface(Object* self, REFIID iid, void** out) {
    *out = IsEqualIID(iid, *self->iid) || IsEqualIID(iid, IID_IUnknown) ? self : nullptr;
    return *out ? (addRef(self), S_OK) : E_NOINTERFACE;
}
HRESULT STDMETHODCALLTYPE notImplemented() {
    return E_NOTIMPL;
}
#define F(function) reinterpret_cast<void*>(&function)
#define IUNKNOWN F(queryInterface), F(addRef), F(release)
#define NI F(notImplemented)

// The packet that is ready now, if any; an idle item is used up by asking.
const std::pair<UINT32, DWORD>* ready(Object* client) {
    if (client->next >= g.packets.size() && g.after == "repeat") client->next = 0;
    if (client->next >= g.packets.size()) return nullptr;
    const auto& packet = g.packets[client->next];
    if (packet.first == 0 && ++client->next && client->event) SetEvent(client->event);
    const ULONGLONG due = (client->delivered + packet.first) * 1000 / std::max(client->rate, 1ul);
    const bool early = g.pace == "real" && GetTickCount64() - client->startedAt < due;
    return packet.first == 0 || early ? nullptr : &packet;
}
HRESULT STDMETHODCALLTYPE getNextPacketSize(Object* self, UINT32* frames) {
    ++g.polls;
    const HRESULT status = fault("GetNextPacketSize");
    const auto* packet = !self->holds->held && SUCCEEDED(status) ? ready(self->holds) : nullptr;
    *frames = static_cast<UINT32>(self->holds->held ? self->holds->held
                                  : packet          ? packet->first
                                                    : 0);
    if (self->holds->next >= g.packets.size() && g.after != "repeat" && g.drained) g.drained();
    return status;
}
HRESULT STDMETHODCALLTYPE getBuffer(Object* self, BYTE** data, UINT32* frames, DWORD* flags) {
    Object* client = self->holds;
    if (client->held || !client->running)
        logLine("mismatch GetBuffer with a packet held or stopped");
    const HRESULT status = fault("GetBuffer");
    const auto* packet = SUCCEEDED(status) ? ready(client) : nullptr;
    *data = nullptr, *frames = 0, *flags = 0;
    if (packet == nullptr) return SUCCEEDED(status) ? AUDCLNT_S_BUFFER_EMPTY : status;
    client->buffer.resize(packet->first * client->align);
    for (char& byte : client->buffer)
        byte = static_cast<char>(g.data.empty() ? g.sequence : g.data[g.sequence % g.data.size()]),
        ++g.sequence;
    *data = packet->second & kNullData ? nullptr : reinterpret_cast<BYTE*>(&client->buffer[0]);
    *frames = static_cast<UINT32>(client->held = packet->first);
    *flags = packet->second & ~kNullData;
    return status;
}
HRESULT STDMETHODCALLTYPE releaseBuffer(Object* self, UINT32 frames) {
    Object* client = self->holds;
    if (frames != client->held || !frames) logLine("mismatch ReleaseBuffer of %u frames", frames);
    // Poisoned, so that data used after its release shows in the stream.
    std::fill(client->buffer.begin(), client->buffer.end(), '\xDD');
    g.frames += client->held, client->delivered += client->held, client->held = 0, ++client->next;
    if (++g.released != g.changeAfter) return S_OK;
    Lock lock;
    for (IMMNotificationClient* callback : g.callbacks)
        callback->OnDefaultDeviceChanged(static_cast<EDataFlow>(g.changeFlow),
                                         static_cast<ERole>(g.changeRole), L"{new-device}");
    return S_OK;
}
void* const captureVtable[] = {IUNKNOWN, F(getBuffer), F(releaseBuffer), F(getNextPacketSize)};

HRESULT STDMETHODCALLTYPE initialize(Object* self, AUDCLNT_SHAREMODE share, DWORD flags,
                                     REFERENCE_TIME duration, REFERENCE_TIME period,
                                     const WAVEFORMATEX* format) {
    const HRESULT status = fault("Initialize");
    self->initialized = SUCCEEDED(status), self->flags = flags;
    self->align = format->nBlockAlign, self->rate = format->nSamplesPerSec;
    logLine("init %s share=%d flags=0x%08lx duration=%lld period=%lld format=%s", self->type,
            static_cast<int>(share), flags, duration, period,
            hex(format, sizeof *format + format->cbSize).c_str());
    return status;
}
HRESULT STDMETHODCALLTYPE getMixFormat(Object* self, WAVEFORMATEX** out) {
    const std::string& mix = std::strcmp(self->type, "endpoint-client") ? g.loopMix : g.mix;
    const HRESULT status = fault("GetMixFormat", mix == "notimpl" ? E_NOTIMPL : S_OK);
    *out = nullptr;
    if (status != S_OK || mix == "null") return status;
    *out =
        static_cast<WAVEFORMATEX*>(std::memcpy(CoTaskMemAlloc(mix.size()), mix.data(), mix.size()));
    return status;
}
HRESULT STDMETHODCALLTYPE start(Object* self) {
    // An event-driven stream without an event is refused, as Windows refuses it.
    const bool eventless = (self->flags & AUDCLNT_STREAMFLAGS_EVENTCALLBACK) && !self->event;
    const bool ready = self->initialized && !self->running && !eventless;
    const HRESULT status = fault("Start", ready ? S_OK : AUDCLNT_E_NOT_INITIALIZED);
    if (SUCCEEDED(status)) self->running = true, self->startedAt = GetTickCount64();
    return status;
}
HRESULT STDMETHODCALLTYPE stop(Object* self) {
    if (!self->running || self->held)
        logLine("mismatch Stop without a Start or with a packet held");
    self->running = false;
    return S_OK;
}
HRESULT STDMETHODCALLTYPE setEventHandle(Object* self, HANDLE event) {
    const HRESULT status = fault("SetEventHandle", event ? S_OK : E_INVALIDARG);
    if (SUCCEEDED(status)) self->event = event;
    return status;
}
HRESULT STDMETHODCALLTYPE getService(Object* self, REFIID iid, void** out) {
    const bool capture = self->initialized && IsEqualIID(iid, __uuidof(IAudioCaptureClient));
    const HRESULT status = fault("GetService", capture ? S_OK : E_NOINTERFACE);
    // A service keeps its audio client alive, as on Windows.
    *out = SUCCEEDED(status) ? (addRef(self), make(captureVtable, "capture-client", iid, self))
                             : nullptr;
    return status;
}
void* const clientVtable[] = {IUNKNOWN, F(initialize),     NI,           NI,       NI,
                              NI,       F(getMixFormat),   NI,           F(start), F(stop),
                              NI,       F(setEventHandle), F(getService)};

HRESULT STDMETHODCALLTYPE activate(Object*, REFIID iid, DWORD, PROPVARIANT*, void** out) {
    const HRESULT status =
        fault("Activate", IsEqualIID(iid, __uuidof(IAudioClient)) ? S_OK : E_NOINTERFACE);
    *out = SUCCEEDED(status) ? make(clientVtable, "endpoint-client", iid) : nullptr;
    return status;
}
void* const deviceVtable[] = {IUNKNOWN, F(activate), NI, NI, NI};

HRESULT STDMETHODCALLTYPE getDefaultAudioEndpoint(Object*, EDataFlow flow, ERole role, void** out) {
    const bool renderConsole = flow == eRender && role == eConsole;
    const HRESULT status = fault("GetDefaultAudioEndpoint", renderConsole ? S_OK : E_INVALIDARG);
    *out = SUCCEEDED(status) ? make(deviceVtable, "device", __uuidof(IMMDevice)) : nullptr;
    return status;
}
HRESULT STDMETHODCALLTYPE registerCallback(Object* self, IMMNotificationClient* callback) {
    const HRESULT status = fault("RegisterEndpointNotificationCallback");
    logLine("register");
    if (FAILED(status)) return status;
    Lock lock;
    callback->AddRef(), ++self->registered, g.callbacks.push_back(callback);
    return status;
}
HRESULT STDMETHODCALLTYPE unregisterCallback(Object* self, IMMNotificationClient* callback) {
    logLine("unregister");
    Lock lock;
    const auto it = std::find(g.callbacks.begin(), g.callbacks.end(), callback);
    if (it == g.callbacks.end())
        return logLine("mismatch Unregister of an unknown callback"), E_INVALIDARG;
    g.callbacks.erase(it), --self->registered, callback->Release();
    return S_OK;
}
void* const enumeratorVtable[] = {
    IUNKNOWN, NI, F(getDefaultAudioEndpoint), NI, F(registerCallback), F(unregisterCallback)};

HRESULT STDMETHODCALLTYPE getActivateResult(Object* self, HRESULT* result, IUnknown** activated) {
    const HRESULT status = fault("GetActivateResult");
    *activated = nullptr;
    if (SUCCEEDED(status) && self->holds)
        addRef(self->holds), *activated = reinterpret_cast<IUnknown*>(self->holds);
    if (SUCCEEDED(status)) *result = self->result;
    return status;
}
void* const operationVtable[] = {IUNKNOWN, F(getActivateResult)};

DWORD WINAPI complete(void* parameter) {
    auto* operation = static_cast<Object*>(parameter);
    Sleep(std::strtoul(g.complete.c_str(), nullptr, 10));
    operation->handler->ActivateCompleted(
        reinterpret_cast<IActivateAudioInterfaceAsyncOperation*>(operation));
    operation->handler->Release();
    if (InterlockedExchange(&operation->completing, 0)) release(operation);
    return 0;
}

}  // namespace

void resetFakeAudio(const std::string& directives) {
    for (HANDLE thread : g.completions) WaitForSingleObject(thread, 10000), CloseHandle(thread);
    g = RunState{};
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
        if (key == "packets") g.packets.clear();
        std::istringstream packets(key == "packets" ? value : "");
        for (std::string packet; packets >> packet;) {
            g.packets.emplace_back(0, 0);
            std::sscanf(packet.c_str(), "%u/%lx", &g.packets.back().first, &g.packets.back().second);
        }
        char call[64] = "", status[32] = "";
        unsigned nth = 0;
        if (key == "fail" && std::sscanf(value.c_str(), "%63[^#]#%u=%31s", call, &nth, status) == 3)
            g.failures.push_back({call, status, nth});
    }
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
    Object* enumerator = SUCCEEDED(status) ? make(enumeratorVtable, "enumerator", iid) : nullptr;
    return enumerator ? queryInterface(enumerator, iid, out), release(enumerator), status : status;
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
    const Failure* failure = SUCCEEDED(status) ? injected("ActivateResult") : nullptr;
    const bool stranger = failure && failure->word == "noclient";
    Object* activated = stranger  ? make(deviceVtable, "device", __uuidof(IMMDevice))
                        : failure ? nullptr
                                  : make(clientVtable, "loopback-client", iid);
    Object* op = make(operationVtable, "operation", __uuidof(IActivateAudioInterfaceAsyncOperation),
                      activated);
    op->result = failure && !stranger
                     ? static_cast<HRESULT>(std::strtoul(failure->word.c_str(), nullptr, 16))
                     : S_OK;
    *operation = reinterpret_cast<IActivateAudioInterfaceAsyncOperation*>(op);
    if (FAILED(status) || g.complete == "never") return status;
    addRef(op), op->completing = 1, (op->handler = handler)->AddRef();
    if (g.complete == "sync") return complete(op), status;
    Lock lock;
    g.completions.push_back(CreateThread(nullptr, 0, complete, op, 0, nullptr));
    return status;
}

// Read once the run is over; not locked, because at process exit a thread that is gone may hold
// the lock.
std::vector<std::string> fakeAudioLog() {
    return g.log;
}

std::vector<std::string> fakeAudioOutstanding() {
    for (HANDLE thread : g.completions) WaitForSingleObject(thread, 10000);
    // At process exit a completion may have been cut short after it woke the run: what it held
    // is ours, not the run's.
    for (Object* object : g.objects)
        if (InterlockedExchange(&object->completing, 0)) release(object);
    std::vector<std::string> held(g.callbacks.size(), "a registered callback");
    for (Object* object : g.objects)
        if (object->refs > 0) held.push_back(object->type);
    return held;
}

unsigned long long fakeAudioFrames() {
    return g.frames;
}

unsigned long long fakeAudioPolls() {
    return g.polls;
}
