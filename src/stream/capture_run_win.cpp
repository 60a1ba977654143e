#include <audioclient.h>
#include <mmdeviceapi.h>
#include <windows.h>
#include <wrl/client.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "app/status_text.h"
#include "app/stop_signal.h"
#include "source/audio_platform.h"
#include "source/capture_target.h"
#include "source/device_list.h"
#include "stream/capture_run.h"
#include "stream/packet_converter.h"
#include "stream/silence_fill.h"
#include "stream/stream_header.h"

using Microsoft::WRL::ComPtr;

namespace {

constexpr DWORD kIdlePauseMilliseconds = 5;
constexpr DWORD kFallbackSampleRate = 48000;
// With a buffer duration of 0 the engine keeps only about two of its periods, less than one
// Sleep(5) lasts at the default timer resolution (about 15.6 ms) or a write to a slow reader
// blocks; what does not fit is overwritten. A second adds no latency to a capture.
constexpr REFERENCE_TIME kBufferDuration = 10'000'000;  // 100-ns units
// A Bluetooth connect reports several default changes within a second: a followed default is
// reopened once none has come for this long.
constexpr std::uint64_t kChangeSettleTicks = 200 * kTicksPerSecond / 1000;
// Without a default output, or with one that would not open, the next try comes with the next
// change, or after this long.
constexpr std::uint64_t kRetryTicks = kTicksPerSecond;
const char kNotice[] = "[ostrel-audio-helper] ";

struct EventHandle {
    HANDLE handle = nullptr;
    EventHandle() = default;
    EventHandle(EventHandle&& other) noexcept : handle(other.handle) { other.handle = nullptr; }
    EventHandle& operator=(EventHandle&& other) noexcept {
        std::swap(handle, other.handle);
        return *this;
    }
    ~EventHandle() {
        if (handle != nullptr) CloseHandle(handle);
    }
};

struct CoTaskMemDeleter {
    void operator()(void* block) const { CoTaskMemFree(block); }
};
using MixFormat = std::unique_ptr<WAVEFORMATEX, CoTaskMemDeleter>;

// Stops the stream when the client goes, but only if Start succeeded.
struct RunningStream {
    IAudioClient* client = nullptr;
    RunningStream() = default;
    RunningStream(RunningStream&& other) noexcept : client(other.client) { other.client = nullptr; }
    RunningStream& operator=(RunningStream&& other) noexcept {
        std::swap(client, other.client);
        return *this;
    }
    ~RunningStream() {
        if (client != nullptr) client->Stop();
    }
};

// Hears that the user chose another default output. A loopback stream stays on the endpoint it
// was opened on and goes quiet without an error, so the run ends, or with "--follow-default"
// moves to the new default. Windows calls it on a thread of the audio service, which must not
// call back into the audio stack (releasing a client there deadlocks): it only counts.
class DefaultDeviceListener final : public IMMNotificationClient {
  public:
    unsigned changes() const { return changes_.load(); }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        const bool known = IsEqualIID(iid, audio::IID_IUnknown) ||
                           IsEqualIID(iid, __uuidof(IMMNotificationClient));
        *out = known ? static_cast<IMMNotificationClient*>(this) : nullptr;
        if (!known) return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refCount_; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --refCount_;
        if (left == 0) delete this;
        return left;
    }
    // Windows reports one change once for each role; the console role is the one captured.
    HRESULT STDMETHODCALLTYPE OnDefaultDeviceChanged(EDataFlow flow, ERole role, LPCWSTR) override {
        if (flow == eRender && role == eConsole) ++changes_;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnDeviceStateChanged(LPCWSTR, DWORD) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnDeviceAdded(LPCWSTR) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnDeviceRemoved(LPCWSTR) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnPropertyValueChanged(LPCWSTR, const PROPERTYKEY) override {
        return S_OK;
    }

  private:
    std::atomic<ULONG> refCount_{1};
    std::atomic<unsigned> changes_{0};
};

// The enumerator of a system-mix run with its registered listener; unregisters before the
// enumerator goes.
struct DeviceChangeWatch {
    ComPtr<IMMDeviceEnumerator> enumerator;
    ComPtr<DefaultDeviceListener> listener;
    ~DeviceChangeWatch() {
        if (listener) enumerator->UnregisterEndpointNotificationCallback(listener.Get());
    }
    unsigned changes() const { return listener ? listener->changes() : 0; }
};

// One capture client, from activation to Stop. Members are destroyed in reverse order of
// declaration, which is the order in which a client is given back: stop the stream, free the
// mix format, release the capture client and the audio client, close the event.
struct CaptureClient {
    EventHandle packetEvent;  // process loopback only
    ComPtr<IAudioClient> audioClient;
    ComPtr<IAudioCaptureClient> captureClient;
    MixFormat mixFormat;
    RunningStream stream;
    std::uint64_t startedAt = 0;  // the counter right after Start, in 100-ns units
    std::string deviceId;         // a followed default's endpoint
};

// What one run holds, apart from its COM apartment and its stream's conversion.
struct CaptureResources {
    DeviceChangeWatch deviceWatch;  // system mix only
    std::string loopbackFailure;
    CaptureClient client;
};

void record(std::string& errorMessage, const char* prefix, HRESULT status) {
    errorMessage = prefix + describeStatus(status);
}

void notify(const std::string& text) {
    std::fputs((kNotice + text + "\n").c_str(), stderr);
}

// The performance counter in 100-ns units, the unit of GetBuffer's QPC positions. Neither call
// fails on any Windows since XP.
std::uint64_t counterNow() {
    LARGE_INTEGER counter{}, frequency{};
    QueryPerformanceCounter(&counter);
    QueryPerformanceFrequency(&frequency);
    return counterTo100ns(static_cast<std::uint64_t>(counter.QuadPart),
                          static_cast<std::uint64_t>(frequency.QuadPart));
}

// Everything a run writes after the header: its packets in the parent's format and, with
// "--fill-silence", zeros for the time nothing plays. The placement rules count the stream's
// frames; a packet's length comes from the rate it was captured at. Before zeros go in, the
// resampler gives up the audio it holds back, which is earlier than the time they stand for.
// A stop request cuts a long fill short between two writes; after that the run ends where it
// is. Otherwise the zeros due at the stop itself are written.
class StreamWriter {
  public:
    StreamWriter(const RunConfig& config, std::string& errorMessage, std::FILE* out)
        : config_(config),
          zeros_(config.channels, config.format),
          errorMessage_(errorMessage),
          out_(out) {}

    // The first client's format; the stream's rate is the asked one, or else this client's, and
    // stays so. False, with errorMessage set, when its packets cannot be converted.
    bool start(const WAVEFORMATEX& mixFormat, std::uint64_t origin) {
        if (config_.outputRate == 0) config_.outputRate = mixFormat.nSamplesPerSec;
        if (!follow(mixFormat)) return false;
        newSource_ = false;
        if (config_.fillSilence) fill_.emplace(config_.outputRate, origin);
        return true;
    }
    // A followed default's new client, converted to the stream's rate. Its first packet is a seam
    // in the audio anyway, so it goes exactly where its position puts it, however short the time
    // the switch took.
    bool follow(const WAVEFORMATEX& mixFormat) {
        drain();
        newSource_ = true;
        sourceRate_ = mixFormat.nSamplesPerSec;
        return converter_.configure(classifyMixFormat(&mixFormat), sourceRate_, config_,
                                    errorMessage_);
    }
    std::uint32_t rate() const { return converter_.outputRate(); }
    bool filling() const { return fill_.has_value(); }
    std::uint64_t origin() const { return fill_ ? fill_->origin() : 0; }

    // Called as soon as GetBuffer has returned a packet. The zeros due before it go out even
    // when a stop came while it was fetched, or the packet would land early by the whole gap.
    void packet(const BYTE* data, UINT32 frames, DWORD flags, UINT64 position) {
        const bool seam = newSource_;
        newSource_ = false;
        if (fill_) {
            const DWORD placement = seam ? flags | kBufferFlagDiscontinuity : flags;
            const CapturedPacket packet{position, placement, framesToTicks(frames, sourceRate_)};
            const std::optional<std::uint64_t> start = fill_->place(packet, counterNow());
            if (start) {
                drain();
                writeZeros(fill_->zerosUpTo(*start, seam), &g_running);
            }
        }
        if (!errorMessage_.empty()) return;
        const std::uint64_t written = converter_.write(data, frames, flags, errorMessage_, out_);
        if (fill_) fill_->wrote(written);
    }
    // A wake with nothing to read: the zeros due for a quiet spell, if any.
    void idle() {
        if (!fill_ || fill_->zerosWhileIdle(counterNow()) == 0) return;
        drain();
        writeZeros(fill_->zerosWhileIdle(counterNow()), &g_running);
    }
    // A stop was requested: what the resampler holds, then the zeros up to now, the last thing
    // the run writes.
    void stop() {
        drain();
        if (fill_ && !cutShort_) writeZeros(fill_->zerosAtStop(counterNow()), nullptr);
    }

  private:
    void drain() {
        if (!errorMessage_.empty()) return;
        const std::uint64_t written = converter_.drain(errorMessage_, out_);
        if (fill_) fill_->wrote(written);
    }
    void writeZeros(std::uint64_t frames, const std::atomic<bool>* running) {
        if (frames == 0 || !errorMessage_.empty()) return;
        const std::uint64_t written = zeros_.write(frames, running, errorMessage_, out_);
        fill_->wrote(written);
        if (written < frames) cutShort_ = true;
    }

    RunConfig config_;  // with the stream's rate as the rate to convert to
    PacketConverter converter_;
    std::uint32_t sourceRate_ = 0;
    bool newSource_ = false;  // no packet yet from a followed default's new client
    std::optional<SilenceFill> fill_;
    ZeroFrames zeros_;
    std::string& errorMessage_;
    std::FILE* out_;
    bool cutShort_ = false;
};

// The rate the engine mixes at, read through a short-lived client on the default endpoint; the
// run's own message is left alone whatever happens here.
DWORD defaultEndpointMixRate(const AudioEntryPoints& entryPoints) {
    std::string ignoredMessage;
    ComPtr<IAudioClient> client;
    if (!activateDefaultAudioClient(entryPoints.createInstance, client, ignoredMessage))
        return kFallbackSampleRate;
    WAVEFORMATEX* format = nullptr;
    if (FAILED(client->GetMixFormat(&format)) || format == nullptr) return kFallbackSampleRate;
    const DWORD rate = format->nSamplesPerSec;
    CoTaskMemFree(format);
    return rate;
}

// A client obtained through process loopback answers GetMixFormat with E_NOTIMPL on every
// Windows build seen so far, yet accepts a format chosen by the caller. Float stereo at the
// engine's rate is what such a client is known to deliver.
MixFormat makeProcessLoopbackFormat(const AudioEntryPoints& entryPoints) {
    auto* format = static_cast<WAVEFORMATEXTENSIBLE*>(CoTaskMemAlloc(sizeof(WAVEFORMATEXTENSIBLE)));
    if (format == nullptr) return nullptr;
    std::memset(format, 0, sizeof *format);
    const DWORD rate = defaultEndpointMixRate(entryPoints);
    format->Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    format->Format.nChannels = 2;
    format->Format.nSamplesPerSec = rate;
    format->Format.wBitsPerSample = 32;
    format->Format.nBlockAlign = 8;
    format->Format.nAvgBytesPerSec = 8 * rate;
    format->Format.cbSize = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
    format->Samples.wValidBitsPerSample = 32;
    format->dwChannelMask = SPEAKER_FRONT_LEFT | SPEAKER_FRONT_RIGHT;
    format->SubFormat = audio::KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;
    return MixFormat(&format->Format);
}

// A registration that fails leaves the run as it would be without it.
void watchDefaultDevice(ComPtr<IMMDeviceEnumerator> enumerator, DeviceChangeWatch& watch) {
    ComPtr<DefaultDeviceListener> listener;
    *listener.GetAddressOf() = new DefaultDeviceListener;  // its first reference, as it is
    if (FAILED(enumerator->RegisterEndpointNotificationCallback(listener.Get()))) return;
    watch.enumerator = std::move(enumerator);
    watch.listener = std::move(listener);
}

// Fills resources.client.audioClient for the resolved target; false with errorMessage set when
// not even the default endpoint could be had. A followed default's id is read for comparing it
// with later defaults.
bool obtainAudioClient(const AudioEntryPoints& entryPoints, const CaptureTarget& target,
                       bool followDefault, CaptureResources& resources, std::string& errorMessage) {
    CaptureClient& client = resources.client;
    if (target.useProcessLoopback) {
        if (activateProcessLoopbackClient(entryPoints.activateAsync,
                                          audio::kProcessLoopbackDevicePath, target.processId,
                                          target.excludeTree, client.audioClient, errorMessage)) {
            return true;
        }
        resources.loopbackFailure = errorMessage;
        errorMessage.clear();
    }
    ComPtr<IMMDeviceEnumerator> enumerator;
    ComPtr<IMMDevice> device;
    if (!activateDefaultAudioClient(entryPoints.createInstance, client.audioClient, errorMessage,
                                    &enumerator,
                                    followDefault ? std::addressof(device) : nullptr)) {
        return false;
    }
    if (device) client.deviceId = readEndpointId(*device.Get());
    watchDefaultDevice(std::move(enumerator), resources.deviceWatch);
    if (!resources.loopbackFailure.empty()) {
        std::fputs("[ostrel-audio-helper] Process loopback unavailable; using system audio.\n",
                   stderr);
    }
    return true;
}

// Mix format, stream initialisation, capture client and start. Returns 0 when the stream
// runs, else the exit code of the failed step.
int startStream(const AudioEntryPoints& entryPoints, bool processLoopback, CaptureClient& capture,
                std::string& errorMessage) {
    IAudioClient& client = *capture.audioClient.Get();

    WAVEFORMATEX* mixFormat = nullptr;
    const HRESULT formatStatus = client.GetMixFormat(&mixFormat);
    if (SUCCEEDED(formatStatus) && mixFormat != nullptr) {
        capture.mixFormat.reset(mixFormat);
    } else if (processLoopback) {
        capture.mixFormat = makeProcessLoopbackFormat(entryPoints);
    }
    if (!capture.mixFormat) {
        record(errorMessage, "GetMixFormat failed: ", formatStatus);
        return 3;
    }

    // A process-loopback client only delivers in event-callback mode.
    const DWORD streamFlags = processLoopback
                                  ? AUDCLNT_STREAMFLAGS_LOOPBACK | AUDCLNT_STREAMFLAGS_EVENTCALLBACK
                                  : AUDCLNT_STREAMFLAGS_LOOPBACK;
    HRESULT status = client.Initialize(AUDCLNT_SHAREMODE_SHARED, streamFlags, kBufferDuration, 0,
                                       capture.mixFormat.get(), nullptr);
    if (FAILED(status)) {
        record(errorMessage, "IAudioClient::Initialize failed: ", status);
        return 3;
    }

    if (processLoopback) {
        capture.packetEvent.handle = entryPoints.createEvent(nullptr, FALSE, FALSE, nullptr);
        if (capture.packetEvent.handle == nullptr) {
            record(errorMessage, "CreateEventA failed: ", HRESULT_FROM_WIN32(GetLastError()));
            return 3;
        }
        status = client.SetEventHandle(capture.packetEvent.handle);
        if (FAILED(status)) {
            record(errorMessage, "IAudioClient::SetEventHandle failed: ", status);
            return 3;
        }
    }

    status = client.GetService(audio::IID_IAudioCaptureClient,
                               reinterpret_cast<void**>(capture.captureClient.GetAddressOf()));
    if (FAILED(status)) {
        record(errorMessage, "Failed to get IAudioCaptureClient: ", status);
        return 3;
    }

    status = client.Start();
    if (FAILED(status)) {
        record(errorMessage, "IAudioClient::Start failed: ", status);
        return 3;
    }
    capture.stream.client = &client;
    capture.startedAt = counterNow();
    return 0;
}

// Moves packets from the capture client to the stream until a stop request or a failure. A
// change of the default output ends the run, or with "--follow-default" (a system-mix client on
// the default output) moves the run to the new default once the changes have settled; so does a
// lost device. Without a device the run waits for one, the stream going on.
class PacketLoop {
  public:
    PacketLoop(const RunConfig& config, const AudioEntryPoints& entryPoints,
               CaptureResources& resources, StreamWriter& writer, std::string& errorMessage)
        : entryPoints_(entryPoints),
          resources_(resources),
          writer_(writer),
          errorMessage_(errorMessage),
          follow_(config.followDefault && resources.deviceWatch.listener) {}

    void run() {
        while (g_running.load() && errorMessage_.empty()) {
            const unsigned changes = resources_.deviceWatch.changes();
            if (changes != changesSeen_ && !follow_) {
                errorMessage_ = "Default audio device changed";
                break;
            }
            if (changes != changesSeen_) {
                changesSeen_ = changes;
                changedAt_ = counterNow();
            }
            if (changedAt_ != 0 && counterNow() - changedAt_ >= kChangeSettleTicks) {
                changedAt_ = 0;
                followDefault();
            } else if (resources_.client.captureClient) {
                moveOnePacket();
            } else {
                waitForDevice();
            }
        }
        // A requested stop leaves a stream as long as the run; a failure ends it where it is.
        if (errorMessage_.empty()) writer_.stop();
    }

  private:
    void moveOnePacket() {
        CaptureClient& client = resources_.client;
        IAudioCaptureClient& capture = *client.captureClient.Get();
        UINT32 pendingFrames = 0;
        HRESULT status = capture.GetNextPacketSize(&pendingFrames);
        if (FAILED(status)) {
            if (!deviceLost(status)) record(errorMessage_, "GetNextPacketSize failed: ", status);
            return;
        }
        if (pendingFrames == 0) {
            // Without "--fill-silence", time without packets leaves no trace in the stream.
            writer_.idle();
            if (client.packetEvent.handle != nullptr) {
                WaitForSingleObject(client.packetEvent.handle, kIdlePauseMilliseconds);
            } else {
                Sleep(kIdlePauseMilliseconds);
            }
            return;
        }

        BYTE* data = nullptr;
        UINT32 frames = 0;
        DWORD flags = 0;
        UINT64 position = 0;
        status = capture.GetBuffer(&data, &frames, &flags, nullptr,
                                   writer_.filling() ? &position : nullptr);
        if (FAILED(status)) {
            if (!deviceLost(status)) record(errorMessage_, "GetBuffer failed: ", status);
            return;
        }
        // AUDCLNT_S_BUFFER_EMPTY: nothing after all, so nothing to place.
        if (frames == 0) {
            capture.ReleaseBuffer(0);
            return;
        }
        // The first packet of a stream often carries the flag without anything being lost.
        if ((flags & kBufferFlagDiscontinuity) != 0 && !firstPacket_ && !lossReported_) {
            notify("Some captured audio was lost (the capture buffer overflowed).");
            lossReported_ = true;
        }
        firstPacket_ = false;
        writer_.packet(data, frames, flags, position);
        // Handed back even when the write failed: the engine must get every packet back. Other
        // failures of the hand-back change nothing for the stream.
        status = capture.ReleaseBuffer(frames);
        if (FAILED(status)) deviceLost(status);
    }

    // An unplugged or disabled device fails the next capture call; a followed default is then
    // looked for again at once.
    bool deviceLost(HRESULT status) {
        if (!follow_ || status != AUDCLNT_E_DEVICE_INVALIDATED) return false;
        releaseClient();
        openDefault();
        return true;
    }

    // Moved out first, so that the old client is given back in its own order (Stop first).
    void releaseClient() { const CaptureClient gone = std::move(resources_.client); }

    // The changes have settled: nothing to do when the default is still the device captured,
    // else what the old client holds goes into the stream before it is given back.
    void followDefault() {
        CaptureClient& client = resources_.client;
        if (client.captureClient && currentDefaultId() == client.deviceId) return;
        if (client.captureClient) {
            drainClient();
            releaseClient();
        }
        openDefault();
    }

    // A new enumerator: one made before the change may answer with the old default.
    std::optional<std::string> currentDefaultId() const {
        ComPtr<IMMDeviceEnumerator> enumerator;
        std::string ignoredMessage;
        if (!createDeviceEnumerator(entryPoints_.createInstance, enumerator, ignoredMessage))
            return std::nullopt;
        return defaultEndpointId(*enumerator.Get());
    }

    void drainClient() {
        IAudioCaptureClient& capture = *resources_.client.captureClient.Get();
        for (;;) {
            UINT32 pendingFrames = 0;
            BYTE* data = nullptr;
            UINT32 frames = 0;
            DWORD flags = 0;
            UINT64 position = 0;
            if (FAILED(capture.GetNextPacketSize(&pendingFrames)) || pendingFrames == 0) return;
            if (FAILED(capture.GetBuffer(&data, &frames, &flags, nullptr,
                                         writer_.filling() ? &position : nullptr)))
                return;
            if (frames != 0) writer_.packet(data, frames, flags, position);
            capture.ReleaseBuffer(frames);
            if (!errorMessage_.empty()) return;
        }
    }

    // A new client on the default output, told once it streams; or a notice for each new reason
    // it could not be had, and another try later.
    void openDefault() {
        lastTry_ = counterNow();
        CaptureClient next;
        std::string failure;
        ComPtr<IMMDevice> device;
        if (activateDefaultAudioClient(entryPoints_.createInstance, next.audioClient, failure,
                                       nullptr, std::addressof(device))) {
            next.deviceId = readEndpointId(*device.Get());
            startStream(entryPoints_, false, next, failure);
        }
        if (!failure.empty()) {
            if (failure != lastFailure_) notify("Waiting for an output device: " + failure);
            lastFailure_ = failure;
            return;
        }
        if (!writer_.follow(*next.mixFormat)) return;
        resources_.client = std::move(next);
        firstPacket_ = true;
        lastFailure_.clear();
        const std::string name = readEndpointName(*device.Get());
        notify("Now capturing the default output device: " + (name.empty() ? "(unnamed)" : name));
    }

    void waitForDevice() {
        writer_.idle();
        if (counterNow() - lastTry_ >= kRetryTicks) openDefault();
        Sleep(kIdlePauseMilliseconds);
    }

    const AudioEntryPoints& entryPoints_;
    CaptureResources& resources_;
    StreamWriter& writer_;
    std::string& errorMessage_;
    const bool follow_;
    unsigned changesSeen_ = 0;
    std::uint64_t changedAt_ = 0;  // the last change not yet followed
    std::uint64_t lastTry_ = 0;
    std::string lastFailure_;
    bool firstPacket_ = true;
    bool lossReported_ = false;
};

}  // namespace

int runCapture(const RunConfig& config, std::string& errorMessage,
               const AudioEntryPoints& entryPoints, std::FILE* out) {
    // COM is left last, after the run has given back everything else.
    const ComApartment com(errorMessage);
    if (!com.entered) return 2;
    CaptureResources resources;

    const CaptureTarget target = resolveCaptureTarget(config);
    // A chosen endpoint is never the target of process loopback (the command line sees to it),
    // and a change of the default output does not concern it: no watch.
    const bool obtained =
        config.deviceId
            ? activateChosenAudioClient(entryPoints.createInstance, *config.deviceId,
                                        resources.client.audioClient, errorMessage)
            : obtainAudioClient(entryPoints, target, config.followDefault, resources, errorMessage);
    if (!obtained) return 2;
    // The fallback leaves a system-mix client even when the target was a process.
    const bool processLoopback = target.useProcessLoopback && resources.loopbackFailure.empty();

    const int setUpResult =
        startStream(entryPoints, processLoopback, resources.client, errorMessage);
    if (setUpResult != 0) return setUpResult;
    StreamWriter writer(config, errorMessage, out);
    if (!writer.start(*resources.client.mixFormat, resources.client.startedAt)) return 3;

    writeStreamHeader(writer.rate(), config.channels, config.format, errorMessage, out);
    if (!errorMessage.empty()) return 4;
    // Frame n of a filled stream was played at origin + n / rate on the counter that a parent on
    // Windows reads too (QueryPerformanceCounter, Python's perf_counter_ns), so it can put the
    // audio on the same clock as video stamped by that counter.
    if (writer.filling()) {
        notify("Stream origin: " + std::to_string(writer.origin()) +
               " (performance counter, 100-ns units)");
    }

    PacketLoop(config, entryPoints, resources, writer, errorMessage).run();
    return errorMessage.empty() ? 0 : 4;
}
