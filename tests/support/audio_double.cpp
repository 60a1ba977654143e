// A stand-in for Windows' mmdevapi.dll. Wine loads it in place of its own (WINEDLLOVERRIDES
// "mmdevapi=n") so that end-to-end tests can drive the unchanged exe through every capture path,
// which Wine's own audio stack cannot: it has no loopback capture.
//
// OAH_DOUBLE holds directives separated by ";":
//   mix=HEX, loopmix=HEX  the endpoint's and the process-loopback client's mix format as the bytes
//       of its WAVEFORMATEX(TENSIBLE), or notimpl (E_NOTIMPL, the loopback client's default, as on
//       every Windows build seen) or null (S_OK without a format); the endpoint's default is
//       float stereo at 48000
//   packets=FRAMES[/FLAGS] ...  what the capture client hands out in turn; 0 frames is a poll that
//       finds nothing; flag 0x100 hands out a null data pointer
//   data=HEX  the audio bytes, repeated; by default byte k of all audio handed out is k mod 256
//   after=repeat  start the packets over instead of idling;  pace=real  no packet before its time
//   complete=sync|never|MS  the activation's completion: before the call returns, never, or on a
//       thread of ours after MS milliseconds (default 0)
//   fail=CALL#N=0xSTATUS|noclient  the N-th call of CALL fails (ActivateResult: the activation's
//       result, or an object that is no audio client)
//   devicechange=N,FLOW,ROLE  once the N-th packet is released, OnDefaultDeviceChanged on every
//       registered callback, from a thread of ours that is done before ReleaseBuffer returns
// OAH_DOUBLE_LOG (a Windows path) gets what tests look at: the activation record, Initialize's
// arguments, (un)registrations, every "mismatch" with the platform's rules, and at exit what is
// still held ("outstanding") and "exit frames=<released> outstanding=<n> polls=<packet-size calls>".
#include <audioclient.h>
#include <mmdeviceapi.h>
#include <windows.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

CRITICAL_SECTION g_lock;
struct Lock {
    Lock() { EnterCriticalSection(&g_lock); }
    ~Lock() { LeaveCriticalSection(&g_lock); }
};
HANDLE g_log = INVALID_HANDLE_VALUE;

// One WriteFile per line: the log is whole up to the last line even if the process is killed.
void logLine(const char* format, ...) {
    char line[512];
    va_list args;
    va_start(args, format);
    const int size = std::min(std::max(std::vsnprintf(line, 511, format, args), 0), 510);
    va_end(args);
    line[size] = '\n';
    DWORD written = 0;
    WriteFile(g_log, line, static_cast<DWORD>(size + 1), &written, nullptr);
}

std::string hex(const void* data, std::size_t size) {
    std::string text(2 * size + 1, '\0');
    for (std::size_t i = 0; i < size; ++i)
        std::snprintf(&text[2 * i], 3, "%02x", static_cast<const BYTE*>(data)[i]);
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
struct Config {
    std::string mix =
        unhex("feff020080bb000000dc05000800200016002000030000000300000000001000800000aa00389b71");
    std::string loopMix = "notimpl", data, complete = "0", after, pace;
    std::vector<std::pair<UINT32, DWORD>> packets;  // frames, flags
    std::vector<Failure> failures;
    unsigned long changeAfter = 0;
    int changeFlow = 0, changeRole = 0;
} g_config;

void parseConfig(std::istringstream directives) {
    for (std::string item; std::getline(directives, item, ';');) {
        const std::string key = item.substr(0, item.find('='));
        const std::string value = item.substr(std::min(item.size(), key.size() + 1));
        const std::string bytes = value == "notimpl" || value == "null" ? value : unhex(value);
        if (key == "mix" || key == "loopmix" || key == "data")
            *(key == "mix"    ? &g_config.mix
              : key == "data" ? &g_config.data
                              : &g_config.loopMix) = bytes;
        if (key == "after" || key == "pace" || key == "complete")
            *(key == "after"  ? &g_config.after
              : key == "pace" ? &g_config.pace
                              : &g_config.complete) = value;
        if (key == "devicechange")
            std::sscanf(value.c_str(), "%lu,%d,%d", &g_config.changeAfter, &g_config.changeFlow,
                        &g_config.changeRole);
        std::istringstream packets(key == "packets" ? value : "");
        for (std::string packet; packets >> packet;) {
            g_config.packets.emplace_back(0, 0);
            std::sscanf(packet.c_str(), "%u/%lx", &g_config.packets.back().first,
                        &g_config.packets.back().second);
        }
        char call[64] = "", status[32] = "";
        unsigned nth = 0;
        if (key == "fail" && std::sscanf(value.c_str(), "%63[^#]#%u=%31s", call, &nth, status) == 3)
            g_config.failures.push_back({call, status, nth});
    }
}

// Counts the calls of `call`; the failure this one is to give, if any.
const Failure* injected(const char* call) {
    static std::map<std::string, unsigned> counts;
    Lock lock;
    const unsigned count = ++counts[call];
    for (const Failure& failure : g_config.failures)
        if (failure.call == call && failure.nth == count) return &failure;
    return nullptr;
}
HRESULT fault(const char* call, HRESULT otherwise = S_OK) {
    const Failure* failure = injected(call);
    return failure ? static_cast<HRESULT>(std::strtoul(failure->word.c_str(), nullptr, 16))
                   : otherwise;
}

// Every object of the double is one record behind a vtable of plain functions: only the methods
// the exe calls are written, every other slot answers E_NOTIMPL. Objects are never freed, so that
// a release too many is reported instead of crashing and the exit report can name what is held.
struct Object {
    void* const* vtable;
    const char* type;
    const IID* iid;
    Object* holds;  // released with this object's last reference
    LONG refs = 1;
    bool initialized = false, running = false;
    unsigned long flags = 0, rate = 0, align = 0, held = 0, next = 0, registered = 0;
    ULONGLONG startedAt = 0, delivered = 0;
    HANDLE event = nullptr;
    std::string buffer = {};
    HRESULT result = S_OK;
    IActivateAudioInterfaceCompletionHandler* handler = nullptr;
};
std::vector<Object*> g_objects;
std::vector<void*> g_formats;                     // handed out by GetMixFormat, not yet freed
std::vector<IMMNotificationClient*> g_callbacks;  // registered, each with a reference of ours
std::vector<HANDLE> g_completions;                // our threads that deliver a completion
unsigned long g_packets = 0, g_sequence = 0;
unsigned long long g_frames = 0, g_polls = 0;

Object* make(void* const* vtable, const char* type, const IID& iid, Object* holds = nullptr) {
    Lock lock;
    g_objects.push_back(new Object{vtable, type, &iid, holds});
    return g_objects.back();
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

DWORD WINAPI announceDeviceChange(void*) {
    Lock lock;
    for (IMMNotificationClient* callback : g_callbacks)
        callback->OnDefaultDeviceChanged(static_cast<EDataFlow>(g_config.changeFlow),
                                         static_cast<ERole>(g_config.changeRole), L"{new-device}");
    return 0;
}

// The packet that is ready now, if any; an idle item is used up by asking.
const std::pair<UINT32, DWORD>* ready(Object* client) {
    if (client->next >= g_config.packets.size() && g_config.after == "repeat") client->next = 0;
    if (client->next >= g_config.packets.size()) return nullptr;
    const auto& packet = g_config.packets[client->next];
    if (packet.first == 0 && ++client->next && client->event) SetEvent(client->event);
    const ULONGLONG due = (client->delivered + packet.first) * 1000 / std::max(client->rate, 1ul);
    const bool early = g_config.pace == "real" && GetTickCount64() - client->startedAt < due;
    return packet.first == 0 || early ? nullptr : &packet;
}
HRESULT STDMETHODCALLTYPE getNextPacketSize(Object* self, UINT32* frames) {
    ++g_polls;
    const HRESULT status = fault("GetNextPacketSize");
    const auto* packet = !self->holds->held && SUCCEEDED(status) ? ready(self->holds) : nullptr;
    *frames = static_cast<UINT32>(self->holds->held ? self->holds->held
                                  : packet          ? packet->first
                                                    : 0);
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
        byte = static_cast<char>(
            g_config.data.empty() ? g_sequence : g_config.data[g_sequence % g_config.data.size()]),
        ++g_sequence;
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
    g_frames += client->held, client->delivered += client->held, client->held = 0, ++client->next;
    if (++g_packets != g_config.changeAfter) return S_OK;
    HANDLE thread = CreateThread(nullptr, 0, announceDeviceChange, nullptr, 0, nullptr);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
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
    const std::string& mix =
        std::strcmp(self->type, "endpoint-client") ? g_config.loopMix : g_config.mix;
    const HRESULT status = fault("GetMixFormat", mix == "notimpl" ? E_NOTIMPL : S_OK);
    *out = nullptr;
    if (status != S_OK || mix == "null") return status;
    *out =
        static_cast<WAVEFORMATEX*>(std::memcpy(CoTaskMemAlloc(mix.size()), mix.data(), mix.size()));
    Lock lock;
    g_formats.push_back(*out);
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
    logLine("register -> 0x%08lx", static_cast<unsigned long>(status));
    if (FAILED(status)) return status;
    Lock lock;
    callback->AddRef(), ++self->registered, g_callbacks.push_back(callback);
    return status;
}
HRESULT STDMETHODCALLTYPE unregisterCallback(Object* self, IMMNotificationClient* callback) {
    logLine("unregister");
    Lock lock;
    const auto it = std::find(g_callbacks.begin(), g_callbacks.end(), callback);
    if (it == g_callbacks.end())
        return logLine("mismatch Unregister of an unknown callback"), E_INVALIDARG;
    g_callbacks.erase(it), --self->registered, callback->Release();
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
    Sleep(std::strtoul(g_config.complete.c_str(), nullptr, 10));
    operation->handler->ActivateCompleted(
        reinterpret_cast<IActivateAudioInterfaceAsyncOperation*>(operation));
    operation->handler->Release();
    release(operation);
    return 0;
}

HRESULT STDMETHODCALLTYPE createInstance(Object*, IUnknown* outer, REFIID iid, void** out) {
    *out = nullptr;
    const HRESULT status = fault("CoCreateInstance", outer ? CLASS_E_NOAGGREGATION : S_OK);
    Object* enumerator = SUCCEEDED(status) ? make(enumeratorVtable, "enumerator", iid) : nullptr;
    return enumerator ? queryInterface(enumerator, iid, out), release(enumerator), status : status;
}
void* const factoryVtable[] = {IUNKNOWN, F(createInstance), NI};
Object g_factory{factoryVtable, "factory", &IID_IClassFactory, nullptr, 1 << 30};

// The exe's imports from ole32 and kernel32, which a mmdevapi.dll cannot serve itself.
decltype(&CoInitializeEx) realCoInitializeEx;
decltype(&CoUninitialize) realCoUninitialize;
decltype(&CoTaskMemFree) realCoTaskMemFree;
decltype(&CreateEventA) realCreateEventA;
LONG g_apartments = 0;

HRESULT WINAPI hookCoInitializeEx(void* reserved, DWORD model) {
    if (model != COINIT_MULTITHREADED) logLine("mismatch CoInitializeEx model=0x%lx", model);
    HRESULT status = fault("CoInitializeEx");
    if (SUCCEEDED(status = status ? status : realCoInitializeEx(reserved, model))) ++g_apartments;
    return status;
}
// Everything the exe was given must be back by now; our own completion threads finish first.
void WINAPI hookCoUninitialize() {
    for (HANDLE thread : std::vector<HANDLE>(g_completions)) WaitForSingleObject(thread, 10000);
    if (--g_apartments < 0) logLine("mismatch CoUninitialize without CoInitializeEx");
    for (Object* object : g_objects)
        if (object->refs > 0) logLine("mismatch CoUninitialize while a %s is held", object->type);
    if (!g_formats.empty()) logLine("mismatch CoUninitialize while a mix format is held");
    realCoUninitialize();
}
void WINAPI hookCoTaskMemFree(void* block) {
    Lock lock;
    g_formats.erase(std::remove(g_formats.begin(), g_formats.end(), block), g_formats.end());
    realCoTaskMemFree(block);
}
HANDLE WINAPI hookCreateEventA(SECURITY_ATTRIBUTES* security, BOOL manual, BOOL initial,
                               const char* name) {
    if (!injected("CreateEventA")) return realCreateEventA(security, manual, initial, name);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
}

// Points the exe's import slots for those functions at the hooks: its file is unchanged, only its
// import table in this process's memory. The slots are bound by now, to what GetProcAddress gives.
void hookImports() {
#define HOOK(dll, name)                                              \
    {                                                                \
        GetProcAddress(GetModuleHandleA(dll), #name), F(hook##name), \
            reinterpret_cast<void**>(&real##name)                    \
    }
    const struct {
        FARPROC address;
        void* hook;
        void** real;
    } hooks[] = {HOOK("ole32", CoInitializeEx), HOOK("ole32", CoUninitialize),
                 HOOK("ole32", CoTaskMemFree), HOOK("kernel32", CreateEventA)};
    auto* base = reinterpret_cast<BYTE*>(GetModuleHandleW(nullptr));
    const IMAGE_DATA_DIRECTORY& table =
        reinterpret_cast<IMAGE_NT_HEADERS*>(base +
                                            reinterpret_cast<IMAGE_DOS_HEADER*>(base)->e_lfanew)
            ->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IAT];
    auto* slots = reinterpret_cast<void**>(base + table.VirtualAddress);
    DWORD protection = 0;
    VirtualProtect(slots, table.Size, PAGE_READWRITE, &protection);
    for (std::size_t i = 0; i < table.Size / sizeof *slots; ++i)
        for (const auto& hook : hooks)
            if (slots[i] == reinterpret_cast<void*>(hook.address))
                *hook.real = slots[i], slots[i] = hook.hook;
    VirtualProtect(slots, table.Size, protection, &protection);
}

// At process exit the other threads are gone, and one of them may hold the lock: none is taken.
void reportOutstanding() {
    std::vector<std::string> held(g_callbacks.size() + g_formats.size(),
                                  "a callback or mix format");
    for (Object* object : g_objects)
        if (object->refs > 0) held.push_back(object->type);
    if (g_apartments > 0) held.push_back("the apartment");
    for (const std::string& what : held) logLine("outstanding %s", what.c_str());
    logLine("exit frames=%llu outstanding=%zu polls=%llu", g_frames, held.size(), g_polls);
}

}  // namespace

extern "C" HRESULT WINAPI
doubleActivateAudioInterfaceAsync(const WCHAR* path, REFIID iid, PROPVARIANT* params,
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
    if (FAILED(status) || g_config.complete == "never") return status;
    addRef(op), (op->handler = handler)->AddRef();
    if (g_config.complete == "sync") return complete(op), status;
    Lock lock;
    g_completions.push_back(CreateThread(nullptr, 0, complete, op, 0, nullptr));
    return status;
}

extern "C" HRESULT WINAPI doubleDllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
    *out = nullptr;
    const bool ours = IsEqualCLSID(clsid, __uuidof(MMDeviceEnumerator));
    return ours ? queryInterface(&g_factory, iid, out) : CLASS_E_CLASSNOTAVAILABLE;
}
// Registration has nothing to do, and the DLL stays loaded: COM may keep the factory cached.
extern "C" HRESULT WINAPI doubleDllNothingToDo() {
    return S_FALSE;
}

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, void*) {
    if (reason == DLL_PROCESS_DETACH) reportOutstanding();
    if (reason != DLL_PROCESS_ATTACH) return TRUE;
    InitializeCriticalSection(&g_lock);
    const char* log = std::getenv("OAH_DOUBLE_LOG");
    g_log = CreateFileA(log ? log : "", FILE_APPEND_DATA,
                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                        OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    parseConfig(std::istringstream(std::getenv("OAH_DOUBLE") ? std::getenv("OAH_DOUBLE") : ""));
    hookImports();
    return TRUE;
}
