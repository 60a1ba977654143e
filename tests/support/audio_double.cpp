// A stand-in for Windows' mmdevapi.dll. Wine loads it in place of its own (WINEDLLOVERRIDES
// "mmdevapi=n") so that end-to-end tests can drive the unchanged exe through every capture path,
// which Wine's own audio stack cannot: it has no loopback capture. OAH_DOUBLE says how to behave,
// OAH_DOUBLE_LOG where to write one line per call; tests/e2e/audio_double.py documents both.
#include <windows.h>
#include <mmdeviceapi.h>
#include <audioclient.h>

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// ---- log --------------------------------------------------------------------------------------
HANDLE g_log = INVALID_HANDLE_VALUE;
CRITICAL_SECTION g_lock;

// One WriteFile per line, so that the log is complete up to the last call even if the process
// is killed.
void logLine(const char* format, ...) {
    if (g_log == INVALID_HANDLE_VALUE) return;
    char line[1024];
    va_list args;
    va_start(args, format);
    int size = std::vsnprintf(line, sizeof line - 1, format, args);
    va_end(args);
    if (size < 0) return;
    if (size > static_cast<int>(sizeof line) - 2) size = static_cast<int>(sizeof line) - 2;
    line[size++] = '\n';
    DWORD written = 0;
    EnterCriticalSection(&g_lock);
    WriteFile(g_log, line, static_cast<DWORD>(size), &written, nullptr);
    LeaveCriticalSection(&g_lock);
}

unsigned long hex(HRESULT status) { return static_cast<unsigned long>(status); }

// ---- configuration ----------------------------------------------------------------------------
struct Mix {
    enum { Format, NotImpl, Null } kind = Format;
    WORD tag = WAVE_FORMAT_EXTENSIBLE, channels = 2, bits = 32, valid = 32;
    unsigned long subformat = 3;  // first field of the KSDATAFORMAT subtype GUID: 1 PCM, 3 float
    DWORD rate = 48000, mask = 3;
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
    long nth = 1;
    HRESULT status = E_FAIL;
};

struct Config {
    Config() { loopbackMix.kind = Mix::NotImpl; }  // what every reported Windows build does
    Mix endpointMix, loopbackMix;
    std::vector<Packet> packets;
    bool repeat = false, realTime = false;
    enum { Thread, Sync, Never, After } completion = Thread;
    DWORD completionDelay = 0;
    std::vector<Failure> failures;
} g_config;

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find(separator, start);
        if (end == std::string::npos) end = text.size();
        if (end > start) parts.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

unsigned long number(const std::string& text) { return std::strtoul(text.c_str(), nullptr, 0); }

Mix parseMix(const std::string& text) {
    Mix mix;
    if (text == "notimpl") mix.kind = Mix::NotImpl;
    if (text == "null") mix.kind = Mix::Null;
    if (mix.kind != Mix::Format) return mix;
    std::vector<std::string> f = split(text, ',');
    f.resize(6);
    const std::string& tag = f[0];
    mix.tag = tag == "pcm" ? WAVE_FORMAT_PCM : tag == "float" ? WAVE_FORMAT_IEEE_FLOAT : WAVE_FORMAT_EXTENSIBLE;
    mix.subformat = tag == "ext-pcm" ? 1 : tag == "ext-float" ? 3 : 0x1234;
    mix.channels = static_cast<WORD>(number(f[1]));
    mix.rate = static_cast<DWORD>(number(f[2]));
    mix.bits = static_cast<WORD>(number(f[3]));
    mix.valid = f[4].empty() ? mix.bits : static_cast<WORD>(number(f[4]));
    mix.mask = !f[5].empty()        ? static_cast<DWORD>(number(f[5]))
               : mix.channels == 1 ? 4u
               : mix.channels == 2 ? 3u
                                   : (1u << mix.channels) - 1u;
    return mix;
}

void parsePackets(const std::string& text) {
    for (const std::string& item : split(text, ' ')) {
        std::size_t times = 1, at = item.find('x');
        std::string body = item;
        if (at != std::string::npos && at > 0 && item.find(':') > at) {
            times = number(item.substr(0, at));
            body = item.substr(at + 1);
        }
        Packet packet;
        std::vector<std::string> parts = split(body, ':');
        packet.idle = parts.empty() || parts[0] == "idle";
        if (!packet.idle) packet.frames = static_cast<UINT32>(number(parts[0]));
        for (std::size_t i = 1; i < parts.size(); ++i) {
            const std::string& part = parts[i];
            if (part == "silent") packet.flags |= AUDCLNT_BUFFERFLAGS_SILENT;
            if (part == "null") packet.nullData = true;
            if (part.rfind("flags=", 0) == 0) packet.flags = static_cast<DWORD>(number(part.substr(6)));
            if (part.rfind("hex=", 0) == 0) {
                packet.data = Packet::Bytes;
                for (std::size_t j = 4; j + 1 < part.size(); j += 2)
                    packet.bytes.push_back(static_cast<BYTE>(std::strtoul(part.substr(j, 2).c_str(), nullptr, 16)));
            }
            if (part.rfind("tone=", 0) == 0) {
                packet.data = Packet::Tone;
                std::vector<std::string> tone = split(part.substr(5), ',');
                tone.resize(2);
                packet.frequency = std::atof(tone[0].c_str());
                packet.amplitude = tone[1].empty() ? 0.5 : std::atof(tone[1].c_str());
            }
        }
        for (std::size_t i = 0; i < times; ++i) g_config.packets.push_back(packet);
    }
}

void parseConfig(const std::string& text) {
    for (const std::string& directive : split(text, ';')) {
        std::size_t equals = directive.find('=');
        std::string key = directive.substr(0, equals);
        std::string value = equals == std::string::npos ? "" : directive.substr(equals + 1);
        if (key == "mix") g_config.endpointMix = parseMix(value);
        if (key == "loopmix") g_config.loopbackMix = parseMix(value);
        if (key == "packets") parsePackets(value);
        if (key == "after") g_config.repeat = value == "repeat";
        if (key == "pace") g_config.realTime = value == "real";
        if (key == "complete") {
            g_config.completion = value == "sync" ? Config::Sync : value == "never" ? Config::Never : Config::Thread;
            if (value.rfind("after:", 0) == 0) {
                g_config.completion = Config::After;
                g_config.completionDelay = static_cast<DWORD>(number(value.substr(6)));
            }
        }
        if (key == "fail") {
            Failure failure;
            std::size_t valueAt = value.find('=');
            std::string target = value.substr(0, valueAt);
            if (valueAt != std::string::npos) {
                failure.word = value.substr(valueAt + 1);
                if (!failure.word.empty() && failure.word[0] >= '0' && failure.word[0] <= '9')
                    failure.status = static_cast<HRESULT>(number(failure.word));
            }
            std::size_t hash = target.find('#');
            failure.call = target.substr(0, hash);
            // "#*" makes every call fail; it is stored as 0.
            if (hash != std::string::npos) failure.nth = static_cast<long>(number(target.substr(hash + 1)));
            g_config.failures.push_back(failure);
        }
    }
}

// Counts the calls of `call` and says whether this one is to fail, and how.
std::vector<std::pair<std::string, long>> g_callCounts;
const Failure* injected(const char* call) {
    EnterCriticalSection(&g_lock);
    long count = 0;
    for (auto& entry : g_callCounts)
        if (entry.first == call) count = ++entry.second;
    if (count == 0) g_callCounts.emplace_back(call, count = 1);
    LeaveCriticalSection(&g_lock);
    for (const Failure& failure : g_config.failures)
        if (failure.call == call && (failure.nth == count || failure.nth == 0)) return &failure;
    return nullptr;
}

// ---- objects ----------------------------------------------------------------------------------
// Objects are never freed: a call on a released object or a release below zero is then reported
// instead of crashing, and the exit report can list what is still referenced.
struct Tracked;
std::vector<Tracked*> g_objects;

struct Tracked {
    const char* type;
    int id;
    LONG refs = 1;
    Tracked(const char* typeName) : type(typeName) {
        int same = 0;
        EnterCriticalSection(&g_lock);
        for (Tracked* object : g_objects) same += object->type == typeName;
        id = same + 1;
        g_objects.push_back(this);
        LeaveCriticalSection(&g_lock);
    }
    virtual ~Tracked() = default;
    virtual void lastReleased() {}
    ULONG addRef() {
        LONG now = InterlockedIncrement(&refs);
        logLine("AddRef %s#%d refs=%ld", type, id, now);
        return static_cast<ULONG>(now);
    }
    ULONG release() {
        LONG now = InterlockedDecrement(&refs);
        logLine("Release %s#%d refs=%ld", type, id, now);
        if (now < 0) logLine("mismatch Release of released %s#%d", type, id);
        if (now == 0) lastReleased();
        return static_cast<ULONG>(now < 0 ? 0 : now);
    }
    HRESULT answer(REFIID asked, REFIID offered, void* self, void** out) {
        if (out == nullptr) return E_POINTER;
        if (IsEqualIID(asked, offered) || IsEqualIID(asked, IID_IUnknown)) {
            *out = self;
            addRef();
            return S_OK;
        }
        *out = nullptr;
        OLECHAR* text = nullptr;
        char narrow[64] = "?";
        if (SUCCEEDED(StringFromIID(asked, &text))) {
            WideCharToMultiByte(CP_ACP, 0, text, -1, narrow, sizeof narrow, nullptr, nullptr);
            CoTaskMemFree(text);
        }
        logLine("QueryInterface %s#%d iid=%s -> 0x%08lx", type, id, narrow, hex(E_NOINTERFACE));
        return E_NOINTERFACE;
    }
};

#define TRACKED_IUNKNOWN(Interface)                                                   \
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {       \
        return answer(iid, __uuidof(Interface), static_cast<Interface*>(this), out); \
    }                                                                                 \
    ULONG STDMETHODCALLTYPE AddRef() override { return addRef(); }                    \
    ULONG STDMETHODCALLTYPE Release() override { return release(); }

HRESULT notImplemented(const char* method) {
    logLine("%s -> 0x%08lx", method, hex(E_NOTIMPL));
    return E_NOTIMPL;
}

std::vector<std::pair<void*, int>> g_mixFormats;  // handed out by GetMixFormat, and by which client

class CaptureClient;

class AudioClient : public IAudioClient, public Tracked {
public:
    explicit AudioClient(bool loopback) : Tracked("IAudioClient"), loopback_(loopback) {}
    TRACKED_IUNKNOWN(IAudioClient)
    const char* kind() const { return loopback_ ? "loopback" : "endpoint"; }

    HRESULT STDMETHODCALLTYPE Initialize(AUDCLNT_SHAREMODE share, DWORD flags, REFERENCE_TIME duration,
                                         REFERENCE_TIME period, const WAVEFORMATEX* format,
                                         LPCGUID session) override {
        HRESULT status = S_OK;
        if (const Failure* failure = injected("Initialize")) status = failure->status;
        else if (format == nullptr) status = E_POINTER;
        else if (initialized_) status = AUDCLNT_E_ALREADY_INITIALIZED;
        char text[200] = "format=null";
        if (format != nullptr) {
            const bool extensible = format->wFormatTag == WAVE_FORMAT_EXTENSIBLE && format->cbSize >= 22;
            const auto* ext = reinterpret_cast<const WAVEFORMATEXTENSIBLE*>(format);
            const unsigned long sub = extensible ? ext->SubFormat.Data1 : 0;
            std::snprintf(text, sizeof text,
                          "tag=0x%x sub=%s ch=%u rate=%lu bits=%u valid=%u align=%u mask=0x%lx",
                          format->wFormatTag, !extensible ? "none" : sub == 1 ? "pcm" : sub == 3 ? "float" : "other",
                          format->nChannels, static_cast<unsigned long>(format->nSamplesPerSec),
                          format->wBitsPerSample, extensible ? ext->Samples.wValidBitsPerSample : format->wBitsPerSample,
                          format->nBlockAlign, extensible ? static_cast<unsigned long>(ext->dwChannelMask) : 0ul);
            if (SUCCEEDED(status)) {
                isFloat_ = format->wFormatTag == WAVE_FORMAT_IEEE_FLOAT || (extensible && sub == 3);
                channels_ = format->nChannels;
                bits_ = format->wBitsPerSample;
                valid_ = extensible ? ext->Samples.wValidBitsPerSample : bits_;
                align_ = format->nBlockAlign;
                rate_ = format->nSamplesPerSec;
                initialized_ = true;
            }
        }
        logLine("Initialize client=%d kind=%s share=%d flags=0x%08lx duration=%lld period=%lld %s session=%s -> 0x%08lx",
                id, kind(), static_cast<int>(share), static_cast<unsigned long>(flags), static_cast<long long>(duration),
                static_cast<long long>(period), text, session ? "set" : "null", hex(status));
        return status;
    }
    HRESULT STDMETHODCALLTYPE GetBufferSize(UINT32*) override { return notImplemented("GetBufferSize"); }
    HRESULT STDMETHODCALLTYPE GetStreamLatency(REFERENCE_TIME*) override { return notImplemented("GetStreamLatency"); }
    HRESULT STDMETHODCALLTYPE GetCurrentPadding(UINT32*) override { return notImplemented("GetCurrentPadding"); }
    HRESULT STDMETHODCALLTYPE IsFormatSupported(AUDCLNT_SHAREMODE, const WAVEFORMATEX*, WAVEFORMATEX**) override {
        return notImplemented("IsFormatSupported");
    }
    HRESULT STDMETHODCALLTYPE GetMixFormat(WAVEFORMATEX** out) override {
        const Mix& mix = loopback_ ? g_config.loopbackMix : g_config.endpointMix;
        HRESULT status = S_OK;
        if (out != nullptr) *out = nullptr;
        if (const Failure* failure = injected("GetMixFormat")) status = failure->status;
        else if (out == nullptr) status = E_POINTER;
        else if (mix.kind == Mix::NotImpl) status = E_NOTIMPL;
        else if (mix.kind == Mix::Format) {
            auto* format = static_cast<WAVEFORMATEXTENSIBLE*>(CoTaskMemAlloc(sizeof(WAVEFORMATEXTENSIBLE)));
            std::memset(format, 0, sizeof *format);
            WAVEFORMATEX& base = format->Format;
            base.wFormatTag = mix.tag;
            base.nChannels = mix.channels;
            base.nSamplesPerSec = mix.rate;
            base.wBitsPerSample = mix.bits;
            base.nBlockAlign = static_cast<WORD>(mix.channels * mix.bits / 8);
            base.nAvgBytesPerSec = base.nBlockAlign * mix.rate;
            if (mix.tag == WAVE_FORMAT_EXTENSIBLE) {
                base.cbSize = 22;
                format->Samples.wValidBitsPerSample = mix.valid;
                format->dwChannelMask = mix.mask;
                format->SubFormat = {mix.subformat, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};
            }
            *out = &base;
            EnterCriticalSection(&g_lock);
            g_mixFormats.emplace_back(format, id);
            LeaveCriticalSection(&g_lock);
        }
        logLine("GetMixFormat client=%d kind=%s format=%s -> 0x%08lx", id, kind(),
                out != nullptr && *out != nullptr ? "set" : "null", hex(status));
        return status;
    }
    HRESULT STDMETHODCALLTYPE GetDevicePeriod(REFERENCE_TIME*, REFERENCE_TIME*) override {
        return notImplemented("GetDevicePeriod");
    }
    HRESULT STDMETHODCALLTYPE Start() override {
        HRESULT status = S_OK;
        if (const Failure* failure = injected("Start")) status = failure->status;
        else if (!initialized_) status = AUDCLNT_E_NOT_INITIALIZED;
        else if (running_) status = AUDCLNT_E_NOT_STOPPED;
        if (SUCCEEDED(status)) {
            running_ = true;
            stopped_ = false;
            QueryPerformanceCounter(&startedAt_);
        }
        logLine("Start client=%d -> 0x%08lx", id, hex(status));
        return status;
    }
    HRESULT STDMETHODCALLTYPE Stop() override {
        if (!running_) logLine("mismatch Stop client=%d without a successful Start", id);
        HRESULT status = running_ ? S_OK : S_FALSE;
        running_ = false;
        stopped_ = true;
        logLine("Stop client=%d -> 0x%08lx", id, hex(status));
        return status;
    }
    HRESULT STDMETHODCALLTYPE Reset() override { return notImplemented("Reset"); }
    HRESULT STDMETHODCALLTYPE SetEventHandle(HANDLE event) override {
        HRESULT status = S_OK;
        if (const Failure* failure = injected("SetEventHandle")) status = failure->status;
        else if (event == nullptr) status = E_INVALIDARG;
        if (SUCCEEDED(status)) event_ = event;
        logLine("SetEventHandle client=%d event=%s -> 0x%08lx", id, event ? "set" : "null", hex(status));
        return status;
    }
    HRESULT STDMETHODCALLTYPE GetService(REFIID iid, void** out) override;

    // The packet schedule, walked by the capture client of this audio client.
    const Packet* nextPacket(bool consumeIdle);
    void released(UINT32 frames) {
        ++packetIndex_;
        deliveredFrames_ += frames;
    }
    void fill(const Packet& packet, BYTE* data);
    bool stopped() const { return stopped_; }
    bool running() const { return running_; }
    UINT32 blockAlign() const { return align_; }
    UINT64 position() const { return deliveredFrames_; }

private:
    bool loopback_, initialized_ = false, running_ = false, stopped_ = false, isFloat_ = false;
    UINT32 channels_ = 0, bits_ = 0, valid_ = 0, align_ = 0, rate_ = 0;
    HANDLE event_ = nullptr;
    LARGE_INTEGER startedAt_{};
    std::size_t packetIndex_ = 0;
    UINT64 deliveredFrames_ = 0, sequence_ = 0;
};

const Packet* AudioClient::nextPacket(bool consumeIdle) {
    const std::vector<Packet>& packets = g_config.packets;
    if (packetIndex_ >= packets.size() && g_config.repeat) packetIndex_ = 0;
    if (packetIndex_ >= packets.size()) return nullptr;
    const Packet& packet = packets[packetIndex_];
    if (packet.idle) {
        if (consumeIdle) {
            ++packetIndex_;
            // The next packet is ready at once: wake an event-driven reader as Windows would.
            if (event_ != nullptr && !g_config.realTime) SetEvent(event_);
        }
        return nullptr;
    }
    if (g_config.realTime && rate_ > 0) {
        LARGE_INTEGER now, frequency;
        QueryPerformanceCounter(&now);
        QueryPerformanceFrequency(&frequency);
        const double elapsed = static_cast<double>(now.QuadPart - startedAt_.QuadPart) / static_cast<double>(frequency.QuadPart);
        if (elapsed * rate_ < static_cast<double>(deliveredFrames_ + packet.frames)) return nullptr;
    }
    return &packet;
}

// Sample values for tones are written the way the exe reads them: floats as they are, integers in
// the low `valid` bits of their container, sign-extended.
void AudioClient::fill(const Packet& packet, BYTE* data) {
    const std::size_t size = static_cast<std::size_t>(packet.frames) * align_;
    const std::size_t width = bits_ / 8;
    for (std::size_t i = 0; i < size; ++i) {
        if (packet.data == Packet::Sequence) data[i] = static_cast<BYTE>(sequence_++);
        if (packet.data == Packet::Bytes) data[i] = packet.bytes.empty() ? 0 : packet.bytes[i % packet.bytes.size()];
    }
    if (packet.data != Packet::Tone || width == 0) return;
    for (UINT32 frame = 0; frame < packet.frames; ++frame) {
        const double t = static_cast<double>(deliveredFrames_ + frame) / rate_;
        const double x = packet.amplitude * std::sin(2.0 * 3.14159265358979323846 * packet.frequency * t);
        for (UINT32 channel = 0; channel < channels_; ++channel) {
            BYTE* sample = data + frame * align_ + channel * width;
            if (isFloat_ && width == 4) {
                const float value = static_cast<float>(x);
                std::memcpy(sample, &value, 4);
            } else {
                const long long value = std::llround(x * static_cast<double>((1LL << (valid_ - 1)) - 1));
                for (std::size_t b = 0; b < width; ++b) sample[b] = static_cast<BYTE>(value >> (8 * b));
            }
        }
    }
}

class CaptureClient : public IAudioCaptureClient, public Tracked {
public:
    explicit CaptureClient(AudioClient* client) : Tracked("IAudioCaptureClient"), client_(client) {
        client_->addRef();  // a service keeps its audio client alive, as on Windows
    }
    TRACKED_IUNKNOWN(IAudioCaptureClient)
    void lastReleased() override { client_->release(); }

    void checkRunning(const char* call) {
        if (client_->stopped()) logLine("mismatch %s after Stop", call);
        else if (!client_->running()) logLine("mismatch %s before Start", call);
    }
    HRESULT STDMETHODCALLTYPE GetNextPacketSize(UINT32* frames) override {
        checkRunning("GetNextPacketSize");
        HRESULT status = S_OK;
        UINT32 answer = 0;
        if (const Failure* failure = injected("GetNextPacketSize")) status = failure->status;
        else if (frames == nullptr) status = E_POINTER;
        else if (held_ > 0) answer = held_;
        else if (const Packet* packet = client_->nextPacket(true)) answer = packet->frames;
        if (frames != nullptr) *frames = answer;
        logLine("GetNextPacketSize frames=%u -> 0x%08lx", answer, hex(status));
        return status;
    }
    HRESULT STDMETHODCALLTYPE GetBuffer(BYTE** data, UINT32* frames, DWORD* flags, UINT64* position,
                                        UINT64* qpcPosition) override {
        checkRunning("GetBuffer");
        HRESULT status = S_OK;
        const Packet* packet = nullptr;
        if (const Failure* failure = injected("GetBuffer")) status = failure->status;
        else if (data == nullptr || frames == nullptr || flags == nullptr) status = E_POINTER;
        else if (held_ > 0) {
            logLine("mismatch GetBuffer while %u frames are held", held_);
            status = AUDCLNT_E_OUT_OF_ORDER;
        } else if ((packet = client_->nextPacket(true)) == nullptr) status = AUDCLNT_S_BUFFER_EMPTY;
        if (data != nullptr) *data = nullptr;
        if (frames != nullptr) *frames = 0;
        if (flags != nullptr) *flags = 0;
        if (packet != nullptr) {
            buffer_.assign(static_cast<std::size_t>(packet->frames) * client_->blockAlign(), 0);
            client_->fill(*packet, buffer_.data());
            *data = packet->nullData ? nullptr : buffer_.data();
            *frames = held_ = packet->frames;
            *flags = packet->flags;
            if (position != nullptr) *position = client_->position();
            if (qpcPosition != nullptr) {
                LARGE_INTEGER now;
                QueryPerformanceCounter(&now);
                *qpcPosition = static_cast<UINT64>(now.QuadPart);
            }
        }
        logLine("GetBuffer frames=%u flags=0x%lx data=%s -> 0x%08lx", packet ? packet->frames : 0,
                static_cast<unsigned long>(packet ? packet->flags : 0),
                packet == nullptr ? "none" : packet->nullData ? "null" : "set", hex(status));
        return status;
    }
    HRESULT STDMETHODCALLTYPE ReleaseBuffer(UINT32 frames) override {
        checkRunning("ReleaseBuffer");
        HRESULT status = S_OK;
        if (held_ == 0) {
            logLine("mismatch ReleaseBuffer without a held packet");
            status = AUDCLNT_E_OUT_OF_ORDER;
        } else if (frames != held_) {
            logLine("mismatch ReleaseBuffer frames=%u handed=%u", frames, held_);
            status = AUDCLNT_E_INVALID_SIZE;
        }
        logLine("ReleaseBuffer frames=%u handed=%u -> 0x%08lx", frames, held_, hex(status));
        if (held_ > 0) {
            // Poisoned, so that data read after the release shows up in the stream.
            std::memset(buffer_.data(), 0xDD, buffer_.size());
            client_->released(held_);
            held_ = 0;
        }
        return status;
    }

private:
    AudioClient* client_;
    UINT32 held_ = 0;
    std::vector<BYTE> buffer_;
};

HRESULT AudioClient::GetService(REFIID iid, void** out) {
    HRESULT status = S_OK;
    if (out != nullptr) *out = nullptr;
    const bool capture = IsEqualIID(iid, __uuidof(IAudioCaptureClient));
    if (const Failure* failure = injected("GetService")) status = failure->status;
    else if (out == nullptr) status = E_POINTER;
    else if (!initialized_) status = AUDCLNT_E_NOT_INITIALIZED;
    else if (!capture) status = E_NOINTERFACE;
    CaptureClient* service = nullptr;
    if (SUCCEEDED(status)) *out = static_cast<IAudioCaptureClient*>(service = new CaptureClient(this));
    logLine("GetService client=%d iid=%s capture=%d -> 0x%08lx", id, capture ? "IAudioCaptureClient" : "other",
            service ? service->id : 0, hex(status));
    return status;
}

// An object that is not an audio client, for an activation that delivers the wrong thing.
class Stranger : public IUnknown, public Tracked {
public:
    Stranger() : Tracked("IUnknown") {}
    TRACKED_IUNKNOWN(IUnknown)
};

class Device : public IMMDevice, public Tracked {
public:
    Device() : Tracked("IMMDevice") {}
    TRACKED_IUNKNOWN(IMMDevice)
    HRESULT STDMETHODCALLTYPE Activate(REFIID iid, DWORD context, PROPVARIANT* params, void** out) override {
        HRESULT status = S_OK;
        if (out != nullptr) *out = nullptr;
        const bool audioClient = IsEqualIID(iid, __uuidof(IAudioClient));
        if (const Failure* failure = injected("Activate")) status = failure->status;
        else if (out == nullptr) status = E_POINTER;
        else if (!audioClient) status = E_NOINTERFACE;
        AudioClient* client = SUCCEEDED(status) ? new AudioClient(false) : nullptr;
        if (client != nullptr) *out = static_cast<IAudioClient*>(client);
        logLine("Activate device=%d iid=%s context=0x%lx params=%s client=%d -> 0x%08lx", id,
                audioClient ? "IAudioClient" : "other", static_cast<unsigned long>(context), params ? "set" : "null",
                client ? client->id : 0, hex(status));
        return status;
    }
    HRESULT STDMETHODCALLTYPE OpenPropertyStore(DWORD, IPropertyStore**) override {
        return notImplemented("OpenPropertyStore");
    }
    HRESULT STDMETHODCALLTYPE GetId(LPWSTR*) override { return notImplemented("GetId"); }
    HRESULT STDMETHODCALLTYPE GetState(DWORD*) override { return notImplemented("GetState"); }
};

class Enumerator : public IMMDeviceEnumerator, public Tracked {
public:
    Enumerator() : Tracked("IMMDeviceEnumerator") {}
    TRACKED_IUNKNOWN(IMMDeviceEnumerator)
    HRESULT STDMETHODCALLTYPE EnumAudioEndpoints(EDataFlow, DWORD, IMMDeviceCollection**) override {
        return notImplemented("EnumAudioEndpoints");
    }
    HRESULT STDMETHODCALLTYPE GetDefaultAudioEndpoint(EDataFlow flow, ERole role, IMMDevice** out) override {
        HRESULT status = S_OK;
        if (out != nullptr) *out = nullptr;
        if (const Failure* failure = injected("GetDefaultAudioEndpoint")) status = failure->status;
        else if (out == nullptr) status = E_POINTER;
        Device* device = SUCCEEDED(status) ? new Device : nullptr;
        if (device != nullptr) *out = device;
        logLine("GetDefaultAudioEndpoint flow=%d role=%d device=%d -> 0x%08lx", static_cast<int>(flow),
                static_cast<int>(role), device ? device->id : 0, hex(status));
        return status;
    }
    HRESULT STDMETHODCALLTYPE GetDevice(LPCWSTR, IMMDevice**) override { return notImplemented("GetDevice"); }
    HRESULT STDMETHODCALLTYPE RegisterEndpointNotificationCallback(IMMNotificationClient*) override {
        return notImplemented("RegisterEndpointNotificationCallback");
    }
    HRESULT STDMETHODCALLTYPE UnregisterEndpointNotificationCallback(IMMNotificationClient*) override {
        return notImplemented("UnregisterEndpointNotificationCallback");
    }
};

class Operation : public IActivateAudioInterfaceAsyncOperation, public Tracked {
public:
    Operation(HRESULT result, IUnknown* activated)
        : Tracked("IActivateAudioInterfaceAsyncOperation"), result_(result), activated_(activated) {}
    TRACKED_IUNKNOWN(IActivateAudioInterfaceAsyncOperation)
    void lastReleased() override {
        if (activated_ != nullptr) activated_->Release();
    }
    HRESULT STDMETHODCALLTYPE GetActivateResult(HRESULT* result, IUnknown** activated) override {
        HRESULT status = S_OK;
        if (const Failure* failure = injected("GetActivateResult")) status = failure->status;
        else if (result == nullptr || activated == nullptr) status = E_POINTER;
        if (activated != nullptr) *activated = nullptr;
        if (SUCCEEDED(status)) {
            *result = result_;
            if ((*activated = activated_) != nullptr) activated_->AddRef();
        }
        logLine("GetActivateResult result=0x%08lx interface=%s -> 0x%08lx", hex(result_),
                activated_ ? "set" : "null", hex(status));
        return status;
    }

private:
    HRESULT result_;
    IUnknown* activated_;
};

struct Completion {
    IActivateAudioInterfaceCompletionHandler* handler;
    Operation* operation;
    DWORD delay;
    bool ownThread;
};

// Completions not yet delivered: their references are the double's own, not the caller's.
std::vector<Completion*> g_pending;

DWORD WINAPI complete(void* parameter) {
    auto* completion = static_cast<Completion*>(parameter);
    if (completion->delay > 0) Sleep(completion->delay);
    HRESULT status = completion->handler->ActivateCompleted(completion->operation);
    logLine("ActivateCompleted operation=%d thread=%s -> 0x%08lx", completion->operation->id,
            completion->ownThread ? "own" : "caller", hex(status));
    completion->handler->Release();
    // Until here the process may end with this completion still pending; the exit report then
    // gives back its reference to the operation.
    EnterCriticalSection(&g_lock);
    for (auto it = g_pending.begin(); it != g_pending.end(); ++it)
        if (*it == completion) {
            g_pending.erase(it);
            break;
        }
    completion->operation->release();
    LeaveCriticalSection(&g_lock);
    delete completion;
    return 0;
}

class Factory : public IClassFactory {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (out == nullptr) return E_POINTER;
        *out = IsEqualIID(iid, IID_IClassFactory) || IsEqualIID(iid, IID_IUnknown) ? this : nullptr;
        return *out ? S_OK : E_NOINTERFACE;
    }
    // One static factory for the life of the process: COM may keep it cached.
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
        if (out == nullptr) return E_POINTER;
        *out = nullptr;
        const Failure* failure = injected("CoCreateInstance");
        HRESULT status = failure ? failure->status : outer ? CLASS_E_NOAGGREGATION : S_OK;
        Enumerator* enumerator = nullptr;
        if (SUCCEEDED(status)) {
            enumerator = new Enumerator;
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

// ---- wrappers of the exe's imports from ole32 and kernel32 -------------------------------------
decltype(&CoInitializeEx) realCoInitializeEx;
decltype(&CoUninitialize) realCoUninitialize;
decltype(&CoTaskMemFree) realCoTaskMemFree;
decltype(&CreateEventA) realCreateEventA;
decltype(&WaitForSingleObject) realWaitForSingleObject;
decltype(&Sleep) realSleep;
std::vector<HANDLE> g_events;  // made through CreateEventA: the only waits worth reporting

HRESULT WINAPI hookCoInitializeEx(void* reserved, DWORD model) {
    const Failure* failure = injected("CoInitializeEx");
    HRESULT status = failure ? failure->status : realCoInitializeEx(reserved, model);
    logLine("CoInitializeEx model=0x%lx -> 0x%08lx", static_cast<unsigned long>(model), hex(status));
    return status;
}

void WINAPI hookCoUninitialize() {
    logLine("CoUninitialize");
    realCoUninitialize();
}

void WINAPI hookCoTaskMemFree(void* block) {
    int client = 0;
    EnterCriticalSection(&g_lock);
    for (auto it = g_mixFormats.begin(); it != g_mixFormats.end(); ++it)
        if (it->first == block) {
            client = it->second;
            g_mixFormats.erase(it);
            break;
        }
    LeaveCriticalSection(&g_lock);
    if (client != 0) logLine("CoTaskMemFree mixformat client=%d", client);
    else logLine("CoTaskMemFree %s", block ? "other" : "null");
    realCoTaskMemFree(block);
}

HANDLE WINAPI hookCreateEventA(SECURITY_ATTRIBUTES* security, BOOL manual, BOOL initial, const char* name) {
    const Failure* failure = injected("CreateEventA");
    HANDLE event = failure ? nullptr : realCreateEventA(security, manual, initial, name);
    if (failure) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    if (event != nullptr) {
        EnterCriticalSection(&g_lock);
        g_events.push_back(event);
        LeaveCriticalSection(&g_lock);
    }
    logLine("CreateEventA manual=%d initial=%d -> %s", manual, initial, event ? "event" : "null");
    return event;
}

DWORD WINAPI hookWaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    bool ours = false;
    EnterCriticalSection(&g_lock);
    for (HANDLE event : g_events) ours = ours || event == handle;
    LeaveCriticalSection(&g_lock);
    if (!ours) return realWaitForSingleObject(handle, milliseconds);
    const Failure* failure = injected("WaitForSingleObject");
    DWORD result = 0;
    if (failure == nullptr) result = realWaitForSingleObject(handle, milliseconds);
    else if (failure->word == "failed") {
        result = WAIT_FAILED;
        SetLastError(ERROR_INVALID_HANDLE);
    } else result = WAIT_TIMEOUT;
    logLine("WaitForSingleObject ms=%lu -> 0x%lx", static_cast<unsigned long>(milliseconds),
            static_cast<unsigned long>(result));
    return result;
}

void WINAPI hookSleep(DWORD milliseconds) {
    logLine("Sleep ms=%lu", static_cast<unsigned long>(milliseconds));
    realSleep(milliseconds);
}

struct Hook {
    const char* name;
    ULONG_PTR replacement;
    ULONG_PTR* original;
};

// Points the main module's import slots for these functions at the wrappers. The exe's file is
// unchanged; only its import table in this process's memory is.
void hookImports() {
    const Hook hooks[] = {
        {"CoInitializeEx", reinterpret_cast<ULONG_PTR>(&hookCoInitializeEx), reinterpret_cast<ULONG_PTR*>(&realCoInitializeEx)},
        {"CoUninitialize", reinterpret_cast<ULONG_PTR>(&hookCoUninitialize), reinterpret_cast<ULONG_PTR*>(&realCoUninitialize)},
        {"CoTaskMemFree", reinterpret_cast<ULONG_PTR>(&hookCoTaskMemFree), reinterpret_cast<ULONG_PTR*>(&realCoTaskMemFree)},
        {"CreateEventA", reinterpret_cast<ULONG_PTR>(&hookCreateEventA), reinterpret_cast<ULONG_PTR*>(&realCreateEventA)},
        {"WaitForSingleObject", reinterpret_cast<ULONG_PTR>(&hookWaitForSingleObject), reinterpret_cast<ULONG_PTR*>(&realWaitForSingleObject)},
        {"Sleep", reinterpret_cast<ULONG_PTR>(&hookSleep), reinterpret_cast<ULONG_PTR*>(&realSleep)},
    };
    auto* base = reinterpret_cast<BYTE*>(GetModuleHandleW(nullptr));
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + reinterpret_cast<IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    std::string patched;
    for (auto* dll = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
         imports.VirtualAddress != 0 && dll->Name != 0; ++dll) {
        if (dll->OriginalFirstThunk == 0) continue;
        auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + dll->OriginalFirstThunk);
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + dll->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
            const char* name = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData)->Name;
            for (const Hook& hook : hooks) {
                if (std::strcmp(name, hook.name) != 0) continue;
                DWORD protection = 0;
                VirtualProtect(&slots->u1.Function, sizeof(ULONG_PTR), PAGE_READWRITE, &protection);
                *hook.original = static_cast<ULONG_PTR>(slots->u1.Function);
                slots->u1.Function = hook.replacement;
                VirtualProtect(&slots->u1.Function, sizeof(ULONG_PTR), protection, &protection);
                patched += patched.empty() ? name : std::string(",") + name;
            }
        }
    }
    char module[MAX_PATH] = "";
    GetModuleFileNameA(nullptr, module, sizeof module);
    logLine("attach pid=%lu module=%s hooks=%s", GetCurrentProcessId(), module, patched.c_str());
}

void reportOutstanding() {
    // The process is ending and its other threads are gone: no lock, which one of them may hold.
    for (Completion* completion : g_pending) {
        logLine("undelivered operation=%d", completion->operation->id);
        completion->operation->release();
    }
    int outstanding = 0;
    for (Tracked* object : g_objects)
        if (object->refs > 0) {
            ++outstanding;
            logLine("outstanding %s#%d refs=%ld", object->type, object->id, object->refs);
        }
    for (auto& format : g_mixFormats) {
        ++outstanding;
        logLine("outstanding mixformat client=%d", format.second);
    }
    logLine("exit outstanding=%d", outstanding);
}

std::string environment(const char* name) {
    char value[32768];
    DWORD size = GetEnvironmentVariableA(name, value, sizeof value);
    return size > 0 && size < sizeof value ? std::string(value, size) : std::string();
}

}  // namespace

extern "C" HRESULT WINAPI doubleActivateAudioInterfaceAsync(const WCHAR* path, REFIID iid, PROPVARIANT* params,
                                                            IActivateAudioInterfaceCompletionHandler* handler,
                                                            IActivateAudioInterfaceAsyncOperation** operation) {
    char narrowPath[128] = "null";
    if (path != nullptr) WideCharToMultiByte(CP_ACP, 0, path, -1, narrowPath, sizeof narrowPath, nullptr, nullptr);
    char paramsText[96] = "params=null";
    if (params != nullptr) {
        const BLOB& blob = params->blob;
        DWORD words[3] = {0, 0, 0};
        if (params->vt == VT_BLOB && blob.pBlobData != nullptr)
            std::memcpy(words, blob.pBlobData, blob.cbSize < sizeof words ? blob.cbSize : sizeof words);
        std::snprintf(paramsText, sizeof paramsText, "vt=%u size=%lu type=%lu pid=%lu mode=%lu", params->vt,
                      static_cast<unsigned long>(blob.cbSize), static_cast<unsigned long>(words[0]),
                      static_cast<unsigned long>(words[1]), static_cast<unsigned long>(words[2]));
    }
    IUnknown* agile = nullptr;
    if (handler != nullptr && SUCCEEDED(handler->QueryInterface(IID_IAgileObject, reinterpret_cast<void**>(&agile))))
        agile->Release();
    HRESULT status = S_OK;
    if (const Failure* failure = injected("ActivateAudioInterfaceAsync")) status = failure->status;
    else if (handler == nullptr || operation == nullptr) status = E_POINTER;
    Operation* op = nullptr;
    if (SUCCEEDED(status)) {
        HRESULT result = S_OK;
        IUnknown* activated = nullptr;
        const Failure* failure = injected("ActivateResult");
        if (failure != nullptr && failure->word == "noclient") activated = new Stranger;
        else if (failure != nullptr) result = failure->status;
        else if (!IsEqualIID(iid, __uuidof(IAudioClient))) result = E_NOINTERFACE;
        else activated = static_cast<IAudioClient*>(new AudioClient(true));
        *operation = op = new Operation(result, activated);
    }
    logLine("ActivateAudioInterfaceAsync path=%s iid=%s %s agile=%d operation=%d -> 0x%08lx", narrowPath,
            IsEqualIID(iid, __uuidof(IAudioClient)) ? "IAudioClient" : "other", paramsText, agile != nullptr,
            op ? op->id : 0, hex(status));
    if (op != nullptr && g_config.completion != Config::Never) {
        handler->AddRef();
        op->addRef();
        const bool sync = g_config.completion == Config::Sync;
        auto* completion = new Completion{handler, op, g_config.completion == Config::After ? g_config.completionDelay : 0, !sync};
        if (sync) {
            complete(completion);  // before ActivateAudioInterfaceAsync returns, on the caller's thread
        } else {
            EnterCriticalSection(&g_lock);
            g_pending.push_back(completion);
            LeaveCriticalSection(&g_lock);
            HANDLE thread = CreateThread(nullptr, 0, complete, completion, 0, nullptr);
            if (thread != nullptr) CloseHandle(thread);
        }
    }
    return status;
}

extern "C" HRESULT WINAPI doubleDllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
    const bool ours = IsEqualCLSID(clsid, __uuidof(MMDeviceEnumerator));
    logLine("DllGetClassObject class=%s", ours ? "MMDeviceEnumerator" : "other");
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    return ours ? g_factory.QueryInterface(iid, out) : CLASS_E_CLASSNOTAVAILABLE;
}

extern "C" HRESULT WINAPI doubleDllCanUnloadNow() { return S_FALSE; }
extern "C" HRESULT WINAPI doubleDllRegisterServer() { return S_OK; }
extern "C" HRESULT WINAPI doubleDllUnregisterServer() { return S_OK; }

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, void*) {
    if (reason == DLL_PROCESS_ATTACH) {
        InitializeCriticalSection(&g_lock);
        const std::string logPath = environment("OAH_DOUBLE_LOG");
        if (!logPath.empty())
            g_log = CreateFileA(logPath.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        parseConfig(environment("OAH_DOUBLE"));
        hookImports();
    } else if (reason == DLL_PROCESS_DETACH) {
        reportOutstanding();
    }
    return TRUE;
}
