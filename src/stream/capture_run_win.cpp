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
#include "stream/capture_run.h"
#include "stream/sample_convert.h"
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

struct EventHandle {
    HANDLE handle = nullptr;
    ~EventHandle() {
        if (handle != nullptr) CloseHandle(handle);
    }
};

struct CoTaskMemDeleter {
    void operator()(void* block) const { CoTaskMemFree(block); }
};
using MixFormat = std::unique_ptr<WAVEFORMATEX, CoTaskMemDeleter>;

// Stops the stream when the run ends, but only if Start succeeded.
struct RunningStream {
    IAudioClient* client = nullptr;
    ~RunningStream() {
        if (client != nullptr) client->Stop();
    }
};

// Hears that the user chose another default output. A loopback stream stays on the endpoint it
// was opened on and goes quiet without an error, so the run ends instead, for the parent to start
// it again on the new default. Windows calls it on a thread of the audio service, which must not
// call back into the audio stack: it only sets a flag.
class DefaultDeviceListener final : public IMMNotificationClient {
  public:
    bool changed() const { return changed_.load(); }

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
    HRESULT STDMETHODCALLTYPE OnDefaultDeviceChanged(EDataFlow flow, ERole role, LPCWSTR) override {
        if (flow == eRender && role == eConsole) changed_.store(true);
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
    std::atomic<bool> changed_{false};
};

// The enumerator of a system-mix run with its registered listener; unregisters before the
// enumerator goes.
struct DeviceChangeWatch {
    ComPtr<IMMDeviceEnumerator> enumerator;
    ComPtr<DefaultDeviceListener> listener;
    ~DeviceChangeWatch() {
        if (listener) enumerator->UnregisterEndpointNotificationCallback(listener.Get());
    }
    bool changed() const { return listener && listener->changed(); }
};

// What one run holds, apart from its COM apartment. Members are destroyed in reverse order of
// declaration, which is the order in which a run gives things back: stop the stream, free the mix
// format and the buffers, release the capture client and the audio client.
struct CaptureResources {
    DeviceChangeWatch deviceWatch;  // system mix only
    EventHandle packetEvent;        // process loopback only; closed once the client is gone
    std::string loopbackFailure;
    ComPtr<IAudioClient> audioClient;
    ComPtr<IAudioCaptureClient> captureClient;
    OutputBuffers buffers;
    MixFormat mixFormat;
    RunningStream stream;
    std::uint64_t startedAt = 0;  // the counter right after Start, in 100-ns units
};

void record(std::string& errorMessage, const char* prefix, HRESULT status) {
    errorMessage = prefix + describeStatus(status);
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

// "--fill-silence" in the packet loop: reads the counter where the placement rules want it read
// and writes the zeros they ask for. A stop request cuts a long fill short between two writes;
// after that the run ends where it is. Otherwise the zeros due at the stop itself are written.
class WallClockFill {
  public:
    WallClockFill(const RunConfig& config, DWORD rate, std::uint64_t origin,
                  std::string& errorMessage, std::FILE* out)
        : rate_(rate),
          placement_(rate, origin),
          zeros_(config.channels, config.format),
          errorMessage_(errorMessage),
          out_(out) {}

    // Called as soon as GetBuffer has returned a packet, which is written right after. The zeros
    // due before it go out even when a stop came while it was fetched, or the packet would land
    // early by the whole gap.
    void beforePacket(UINT64 position, DWORD flags, UINT32 frames) {
        const CapturedPacket packet{position, flags, framesToTicks(frames, rate_)};
        const std::optional<std::uint64_t> start = placement_.place(packet, counterNow());
        if (start) write(placement_.zerosUpTo(*start), &g_running);
        placement_.wrote(frames);
    }
    void whileIdle() { write(placement_.zerosWhileIdle(counterNow()), &g_running); }
    // The stop has come: these zeros are the last thing the run writes.
    void atStop() {
        if (!cutShort_) write(placement_.zerosAtStop(counterNow()), nullptr);
    }

  private:
    void write(std::uint64_t frames, const std::atomic<bool>* running) {
        if (frames == 0) return;
        const std::uint64_t written = zeros_.write(frames, running, errorMessage_, out_);
        placement_.wrote(written);
        if (written < frames) cutShort_ = true;
    }

    DWORD rate_;
    SilenceFill placement_;
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

// Fills resources.audioClient for the resolved target; false with errorMessage set when not
// even the default endpoint could be had.
bool obtainAudioClient(const AudioEntryPoints& entryPoints, const CaptureTarget& target,
                       CaptureResources& resources, std::string& errorMessage) {
    if (target.useProcessLoopback) {
        if (activateProcessLoopbackClient(
                entryPoints.activateAsync, audio::kProcessLoopbackDevicePath, target.processId,
                target.excludeTree, resources.audioClient, errorMessage)) {
            return true;
        }
        resources.loopbackFailure = errorMessage;
        errorMessage.clear();
    }
    ComPtr<IMMDeviceEnumerator> enumerator;
    if (!activateDefaultAudioClient(entryPoints.createInstance, resources.audioClient, errorMessage,
                                    &enumerator)) {
        return false;
    }
    watchDefaultDevice(std::move(enumerator), resources.deviceWatch);
    if (!resources.loopbackFailure.empty()) {
        std::fputs("[ostrel-audio-helper] Process loopback unavailable; using system audio.\n",
                   stderr);
    }
    return true;
}

// Mix format, stream initialisation, capture client and start. Returns 0 when the stream
// runs, else the exit code of the failed step.
int startStream(const AudioEntryPoints& entryPoints, bool processLoopback,
                CaptureResources& resources, std::string& errorMessage) {
    IAudioClient& client = *resources.audioClient.Get();

    WAVEFORMATEX* mixFormat = nullptr;
    const HRESULT formatStatus = client.GetMixFormat(&mixFormat);
    if (SUCCEEDED(formatStatus) && mixFormat != nullptr) {
        resources.mixFormat.reset(mixFormat);
    } else if (processLoopback) {
        resources.mixFormat = makeProcessLoopbackFormat(entryPoints);
    }
    if (!resources.mixFormat) {
        record(errorMessage, "GetMixFormat failed: ", formatStatus);
        return 3;
    }

    // A process-loopback client only delivers in event-callback mode.
    const DWORD streamFlags = processLoopback
                                  ? AUDCLNT_STREAMFLAGS_LOOPBACK | AUDCLNT_STREAMFLAGS_EVENTCALLBACK
                                  : AUDCLNT_STREAMFLAGS_LOOPBACK;
    HRESULT status = client.Initialize(AUDCLNT_SHAREMODE_SHARED, streamFlags, kBufferDuration, 0,
                                       resources.mixFormat.get(), nullptr);
    if (FAILED(status)) {
        record(errorMessage, "IAudioClient::Initialize failed: ", status);
        return 3;
    }

    if (processLoopback) {
        resources.packetEvent.handle = entryPoints.createEvent(nullptr, FALSE, FALSE, nullptr);
        if (resources.packetEvent.handle == nullptr) {
            record(errorMessage, "CreateEventA failed: ", HRESULT_FROM_WIN32(GetLastError()));
            return 3;
        }
        status = client.SetEventHandle(resources.packetEvent.handle);
        if (FAILED(status)) {
            record(errorMessage, "IAudioClient::SetEventHandle failed: ", status);
            return 3;
        }
    }

    status = client.GetService(audio::IID_IAudioCaptureClient,
                               reinterpret_cast<void**>(resources.captureClient.GetAddressOf()));
    if (FAILED(status)) {
        record(errorMessage, "Failed to get IAudioCaptureClient: ", status);
        return 3;
    }

    status = client.Start();
    if (FAILED(status)) {
        record(errorMessage, "IAudioClient::Start failed: ", status);
        return 3;
    }
    resources.stream.client = &client;
    resources.startedAt = counterNow();
    return 0;
}

// Moves packets from the capture client to standard output, one per iteration, until a stop
// request or a failure; with "--fill-silence", with zeros for the time between them.
void streamPackets(const RunConfig& config, CaptureResources& resources, std::string& errorMessage,
                   std::FILE* out) {
    const MixFormatInfo info = classifyMixFormat(resources.mixFormat.get());
    IAudioCaptureClient& capture = *resources.captureClient.Get();
    std::optional<WallClockFill> fill;
    if (config.fillSilence) {
        fill.emplace(config, resources.mixFormat->nSamplesPerSec, resources.startedAt, errorMessage,
                     out);
    }
    bool firstPacket = true;
    bool lossReported = false;

    while (g_running.load() && errorMessage.empty()) {
        if (resources.deviceWatch.changed()) {
            errorMessage = "Default audio device changed";
            break;
        }
        UINT32 pendingFrames = 0;
        HRESULT status = capture.GetNextPacketSize(&pendingFrames);
        if (FAILED(status)) {
            record(errorMessage, "GetNextPacketSize failed: ", status);
            break;
        }
        if (pendingFrames == 0) {
            // Without "--fill-silence", time without packets leaves no trace in the stream.
            if (fill) fill->whileIdle();
            if (resources.packetEvent.handle != nullptr) {
                WaitForSingleObject(resources.packetEvent.handle, kIdlePauseMilliseconds);
            } else {
                Sleep(kIdlePauseMilliseconds);
            }
            continue;
        }

        BYTE* data = nullptr;
        UINT32 frames = 0;
        DWORD flags = 0;
        UINT64 position = 0;
        status = capture.GetBuffer(&data, &frames, &flags, nullptr, fill ? &position : nullptr);
        if (FAILED(status)) {
            record(errorMessage, "GetBuffer failed: ", status);
            break;
        }
        // AUDCLNT_S_BUFFER_EMPTY: nothing after all, so nothing to place.
        if (frames == 0) {
            capture.ReleaseBuffer(0);
            continue;
        }
        if (fill) fill->beforePacket(position, flags, frames);
        // The first packet of a stream often carries the flag without anything being lost.
        if ((flags & kBufferFlagDiscontinuity) != 0 && !firstPacket && !lossReported) {
            std::fputs(
                "[ostrel-audio-helper] Some captured audio was lost (the capture buffer "
                "overflowed).\n",
                stderr);
            lossReported = true;
        }
        firstPacket = false;
        if (errorMessage.empty()) {
            convertPacket(info, data, frames, flags, config.channels, config.format,
                          resources.buffers, errorMessage, out);
        }
        // Handed back even when the write failed: the engine must get every packet back.
        capture.ReleaseBuffer(frames);
    }
    // A requested stop leaves a stream as long as the run; a failure ends it where it is.
    if (fill && errorMessage.empty()) fill->atStop();
}

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
        config.deviceId ? activateChosenAudioClient(entryPoints.createInstance, *config.deviceId,
                                                    resources.audioClient, errorMessage)
                        : obtainAudioClient(entryPoints, target, resources, errorMessage);
    if (!obtained) return 2;
    // The fallback leaves a system-mix client even when the target was a process.
    const bool processLoopback = target.useProcessLoopback && resources.loopbackFailure.empty();

    const int setUpResult = startStream(entryPoints, processLoopback, resources, errorMessage);
    if (setUpResult != 0) return setUpResult;

    writeStreamHeader(resources.mixFormat->nSamplesPerSec, config.channels, config.format,
                      errorMessage, out);
    if (!errorMessage.empty()) return 4;
    // Frame n of a filled stream was played at origin + n / rate on the counter that a parent on
    // Windows reads too (QueryPerformanceCounter, Python's perf_counter_ns), so it can put the
    // audio on the same clock as video stamped by that counter.
    if (config.fillSilence) {
        const std::string origin =
            "[ostrel-audio-helper] Stream origin: " + std::to_string(resources.startedAt) +
            " (performance counter, 100-ns units)\n";
        std::fputs(origin.c_str(), stderr);
    }

    streamPackets(config, resources, errorMessage, out);
    return errorMessage.empty() ? 0 : 4;
}
