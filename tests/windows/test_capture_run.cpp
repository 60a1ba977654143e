// Capture runs against the simulated audio stack, in this process: every failing call, the
// fallback to the system mix, device changes and lost audio, each with its exit code, message
// and stream. The stack stops a run once its packets are all handed out.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <io.h>

#include <cstring>
#include <thread>

#include "app/status_text.h"
#include "app/stop_signal.h"
#include "fake_audio.h"
#include "source/device_list.h"
#include "stream/capture_run.h"

using namespace std::string_literals;

namespace {

std::string drain(std::FILE* file) {
    std::string text;
    std::rewind(file);
    for (int c; (c = std::fgetc(file)) != EOF;) text += static_cast<char>(c);
    std::fclose(file);
    return text;
}

std::string header(std::uint32_t rate, std::uint16_t channels, std::uint16_t format) {
    std::string bytes = "OAH1";
    for (int i = 0; i < 4; ++i) bytes += char(rate >> 8 * i);
    bytes += {char(channels), char(channels >> 8), char(format), 0, 0, 0, 0, 0};
    return bytes;
}

// The stack's default audio: byte k of all it hands out is k mod 256.
std::string sequence(std::size_t size, std::size_t start = 0) {
    std::string bytes;
    for (std::size_t k = start; k < start + size; ++k) bytes += char(k);
    return bytes;
}

// Mix format records: extensible float stereo at 44100, float mono at 32000.
const std::string kMix =
    "feff020044ac0000206205000800200016002000030000000300000000001000800000aa00389b71";
const std::string kFloatMono = "03000100007d000000f40100040020000000";
const std::string kNote = "[ostrel-audio-helper] ";
const std::string kFallback = kNote + "Process loopback unavailable; using system audio.\n";
const char kOriginLabel[] = "Stream origin: ";
const std::string kOrigin = kNote + kOriginLabel + "<origin> (performance counter, 100-ns units)\n";
const std::vector<std::string> kSystem, kProcess{"--mode=process", "--pid=1234"},
    kExclude{"--exclude-pid=1234"}, kHeadset{"--device-id={0.0.0.00000000}.{headset}"},
    kList{"--list-devices"}, kFollow{"--follow-default"};
constexpr std::size_t kPacket = 480 * 8;

struct Outcome {
    int code = -1;
    std::string message, notices, stream;
    std::vector<std::string> problems;  // mismatches and what was still held after the run
};

// One run on a thread of its own (in the single-threaded apartment when asked), with the
// stack's settings, standard error caught and the old-build warning left out.
const AudioEntryPoints kFakeStack{fakeCreateInstance, fakeActivateAudioInterfaceAsync};

Outcome capture(std::vector<std::string> args, const std::string& directives,
                bool singleThreadedApartment = false, AudioEntryPoints entryPoints = kFakeStack) {
    resetFakeAudio("mix=" + kMix + ";packets=480 480 480;" + directives);
    onFakeAudioDrained([] { g_running = false; });
    g_running = true;
    std::vector<char*> argv{const_cast<char*>("exe")};
    for (auto& arg : args) argv.push_back(arg.data());
    RunConfig config;
    EXPECT_TRUE(parseCommandLine(int(argv.size()), argv.data(), config));
    Outcome outcome;
    std::FILE* stream = std::tmpfile();
    std::FILE* errors = std::tmpfile();
    const int savedStderr = _dup(2);
    _dup2(_fileno(errors), 2);
    std::thread([&] {
        if (singleThreadedApartment) CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        outcome.code = config.listDevices
                           ? listOutputDevices(outcome.message, entryPoints.createInstance, stream)
                           : runCapture(config, outcome.message, entryPoints, stream);
        // A run leaves the apartment it entered; only another thread's could remain.
        APTTYPE type{};
        APTTYPEQUALIFIER qualifier{};
        if (!singleThreadedApartment && SUCCEEDED(CoGetApartmentType(&type, &qualifier)) &&
            qualifier != APTTYPEQUALIFIER_IMPLICIT_MTA)
            outcome.problems.push_back("the run is still in its apartment");
        if (singleThreadedApartment) CoUninitialize();
    }).join();
    std::fflush(stderr);
    _dup2(savedStderr, 2);
    _close(savedStderr);
    outcome.stream = drain(stream);
    for (std::string rest = drain(errors); !rest.empty(); rest.erase(0, rest.find('\n') + 1)) {
        std::string line = rest.substr(0, rest.find('\n') + 1);
        if (line.find("may be unsupported on this Windows build") != std::string::npos) continue;
        // The origin is the counter read right after Start: shown as <origin> when it is.
        const std::size_t origin = line.find(kOriginLabel);
        if (origin != std::string::npos) {
            const std::size_t digits = origin + std::strlen(kOriginLabel);
            const unsigned long long counter = std::stoull(line.substr(digits));
            if (counter >= fakeAudioStartedAt() && counter - fakeAudioStartedAt() < 200'000)
                line.replace(digits, line.find(' ', digits) - digits, "<origin>");
        }
        outcome.notices += line;
    }
    for (const std::string& line : fakeAudioLog())
        if (line.rfind("mismatch", 0) == 0) outcome.problems.push_back(line);
    for (const std::string& held : fakeAudioOutstanding()) outcome.problems.push_back(held);
    return outcome;
}

// The run's message is its prefix, then the text of the status that the last failure in the
// directives gives (S_OK without one), when the prefix ends in ": ".
struct RunCase {
    std::vector<std::string> args;
    std::string directives;
    int code;
    std::string prefix, notices;
    int packets;  // 480-frame packets in the stream after the header; -1: not even the header
    std::uint32_t rate = 44100;
};

void expectRun(const RunCase& c, bool singleThreadedApartment = false) {
    const Outcome run = capture(c.args, c.directives, singleThreadedApartment);
    const std::size_t status = c.directives.rfind("=0x");
    const std::string message =
        c.prefix.empty() || c.prefix.back() != ' ' ? c.prefix
        : status == std::string::npos
            ? c.prefix + describeStatus(S_OK)
            : c.prefix +
                  describeStatus(HRESULT(std::stoul(c.directives.substr(status + 1), 0, 16)));
    EXPECT_EQ(run.code, c.code);
    EXPECT_EQ(run.message, message);
    EXPECT_EQ(run.notices, c.notices);
    EXPECT_EQ(run.stream,
              c.packets < 0 ? "" : header(c.rate, 2, 2) + sequence(c.packets * kPacket));
    EXPECT_EQ(run.problems, std::vector<std::string>{});
}

}  // namespace

TEST(CaptureRun, EndsAsEachAnswerOfTheAudioStackRequires) {
    const std::string lost =
        kNote + "Some captured audio was lost (the capture buffer overflowed).\n";
    const std::string noActivation = "fail=ActivateResult#1=0x80070002;";
    const std::string lateFailure = "pace=real;packets=480 480@20;fail=GetBuffer#2=0x88890004";
    const RunCase cases[] = {
        {kSystem, "fail=CoCreateInstance#1=0x80040154", 2,
         "Failed to create MMDeviceEnumerator: ", "", -1},
        {kSystem, "fail=GetDefaultAudioEndpoint#1=0x80070490", 2,
         "Failed to get default audio device: ", "", -1},
        {kSystem, "fail=Activate#1=0x80004005", 2, "Failed to activate default audio device: ", "",
         -1},
        {kSystem, "fail=GetMixFormat#1=0x88890004", 3, "GetMixFormat failed: ", "", -1},
        {kSystem, "mix=null", 3, "GetMixFormat failed: ", "", -1},
        {kSystem, "fail=Initialize#1=0x88890008", 3, "IAudioClient::Initialize failed: ", "", -1},
        {kSystem, "fail=GetService#1=0x88890003", 3, "Failed to get IAudioCaptureClient: ", "", -1},
        {kSystem, "fail=Start#1=0x80004005", 3, "IAudioClient::Start failed: ", "", -1},
        {kSystem, "fail=GetNextPacketSize#1=0x88890004", 4, "GetNextPacketSize failed: ", "", 0},
        {kSystem, "fail=GetBuffer#2=0x88890004", 4, "GetBuffer failed: ", "", 1},
        // The failing packet comes some 20 ms after the first ended, too soon for zeros while
        // idle: a stop then would add zeros up to its time, a failure ends the stream where it is.
        {{"--fill-silence"}, lateFailure, 4, "GetBuffer failed: ", kOrigin, 1},
        {kProcess, "fail=SetEventHandle#1=0x80070006", 3,
         "IAudioClient::SetEventHandle failed: ", "", -1},
        // A failed activation (the activation test lists how one fails) falls back to the system
        // mix, whose own failures end the run; so does one that completes before the call
        // returns, and one that never completes, once the wait for it is over.
        {kProcess, noActivation + "fail=GetDefaultAudioEndpoint#1=0x80070490", 2,
         "Failed to get default audio device: ", "", -1},
        {kProcess, "complete=sync;" + noActivation, 0, "", kFallback, 3},
        {kProcess, "complete=never", 0, "", kFallback, 3},
        // A change of the default console render device ends the run after the packet it came with.
        {kSystem, "devicechange=2,0,0", 4, "Default audio device changed", "", 2},
        {kSystem, "devicechange=1,0,1", 0, "", "", 3},
        {kSystem, "devicechange=1,1,0", 0, "", "", 3},
        {kSystem, "fail=RegisterEndpointNotificationCallback#1=0x80004005;devicechange=1,0,0", 0,
         "", "", 3},
        // Lost audio is reported once, and never for the first packet, which often carries the
        // flag.
        {kSystem, "packets=480/1 480 480/1 480 480/1", 0, "", lost, 5},
        {kSystem, "packets=480/1 480 480", 0, "", "", 3},
        // A chosen endpoint: its own rate, no watch on the default output, its own failures.
        {kHeadset, "devicechange=1,0,0", 0, "", "", 3, 96000},
        {kHeadset, "fail=GetDevice#1=0x80070005", 2,
         "Failed to get audio device {0.0.0.00000000}.{headset}: ", "", -1},
        {kHeadset, "fail=Activate#1=0x80004005", 2,
         "Failed to activate audio device {0.0.0.00000000}.{headset}: ", "", -1}};
    for (const RunCase& c : cases) {
        SCOPED_TRACE(c.directives);
        expectRun(c);
    }
}

TEST(CaptureRun, EndsWithCode2WhenTheThreadIsInAnotherApartment) {
    for (const auto& args : {kProcess, kList})
        expectRun(
            {args, "", 2, "CoInitializeEx failed: " + describeStatus(RPC_E_CHANGED_MODE), "", -1},
            true);
}

TEST(CaptureRun, EndsWithCode3WhenThePacketEventCannotBeMade) {
    AudioEntryPoints noEvents = kFakeStack;
    noEvents.createEvent = [](SECURITY_ATTRIBUTES*, BOOL, BOOL, const char*) -> HANDLE {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    };
    const Outcome run = capture(kProcess, "", false, noEvents);
    EXPECT_EQ(run.code, 3);
    EXPECT_EQ(run.message, "CreateEventA failed: " +
                               describeStatus(HRESULT_FROM_WIN32(ERROR_NOT_ENOUGH_MEMORY)));
    EXPECT_EQ(run.stream, "");
    EXPECT_EQ(run.problems, std::vector<std::string>{});
}

TEST(CaptureRun, ProcessLoopbackActivatesItsTargetAndTakesFloatStereoAtTheEndpointRate) {
    for (const auto& [args, mode] : {std::pair{kProcess, "00000000"}, {kExclude, "01000000"}}) {
        expectRun({args, "packets=480", 0, "", "", 1});
        const std::vector<std::string> log = fakeAudioLog();
        ASSERT_EQ(log.size(), 2u);
        EXPECT_EQ(log[0], "activate path=VAD\\Process_Loopback vt=65 record=01000000d2040000" +
                              std::string(mode) + " agile=1");
        EXPECT_EQ(log[1],
                  "init loopback-client share=0 flags=0x00060000 duration=10000000 "
                  "period=0 format=" +
                      kMix);
    }
}

TEST(CaptureRun, ProcessLoopbackIsAt48000WithoutAnEndpointRateAndTakesTheClientsOwnFormat) {
    for (const char* directives :
         {"mix=notimpl", "mix=null", "fail=GetDefaultAudioEndpoint#1=0x80070490"})
        EXPECT_EQ(capture(kProcess, directives).stream.substr(0, 16), header(48000, 2, 2));
    // A float mono client: each sample goes to both output channels.
    const Outcome run = capture(kProcess, "packets=2;loopmix=" + kFloatMono);
    EXPECT_EQ(run.stream, header(32000, 2, 2) + "\0\1\2\3\0\1\2\3\4\5\6\7\4\5\6\7"s);
}

TEST(CaptureRun, SilentAndPointerlessPacketsGiveZerosAndOtherFlagsDoNot) {
    const Outcome run = capture(kSystem, "packets=4/1 4/2 4/100 4/4");
    EXPECT_EQ(run.stream,
              header(44100, 2, 2) + sequence(32) + std::string(64, '\0') + sequence(32, 96));
    EXPECT_EQ(run.notices, "");
}

TEST(DeviceList, ListsTheActiveOutputsInTheSystemsOrderOrEndsWithCode2) {
    const std::string headset = R"({"id":"{0.0.0.00000000}.{headset}",)",
                      speakers = R"({"id":"{0.0.0.00000000}.{speakers}",)",
                      headsetName = R"("name":"Casque \"Studio\" \\ 🎧 é",)",
                      speakersName = "\"name\":\"Lautsprecher (Hörgerät)\",",
                      noName = R"("name":"",)", no = "\"default\":false}\n",
                      yes = "\"default\":true}\n";
    const std::string failed = "Failed to list audio devices: ";
    const std::tuple<std::string, int, std::string, std::string> cases[] = {
        {"", 0, "", headset + headsetName + no + speakers + speakersName + yes},
        {"fail=GetDefaultAudioEndpoint#1=0x80070490", 0, "",
         headset + headsetName + no + speakers + speakersName + no},
        {"fail=GetId#1=0x80004005", 0, "",
         headset + headsetName + no + speakers + speakersName + no},
        {"fail=OpenPropertyStore#1=0x80070005", 0, "",
         headset + noName + no + speakers + speakersName + yes},
        {"fail=GetValue#1=0x80004005", 0, "",
         headset + noName + no + speakers + speakersName + yes},
        {"fail=GetValue#2=0x0", 0, "", headset + headsetName + no + speakers + noName + yes},
        {"fail=CoCreateInstance#1=0x80040154", 2,
         "Failed to create MMDeviceEnumerator: " + describeStatus(REGDB_E_CLASSNOTREG), ""},
        {"fail=EnumAudioEndpoints#1=0x80004005", 2, failed + describeStatus(E_FAIL), ""},
        {"fail=GetCount#1=0x80004005", 2, failed + describeStatus(E_FAIL), ""},
        {"fail=Item#2=0x80004005", 2, failed + describeStatus(E_FAIL), ""},
        {"fail=GetId#3=0x80004005", 2, failed + describeStatus(E_FAIL), ""}};
    for (const auto& [directives, code, message, stream] : cases) {
        SCOPED_TRACE(directives);
        const Outcome run = capture(kList, directives);
        EXPECT_EQ(run.code, code);
        EXPECT_EQ(run.message, message);
        EXPECT_EQ(run.stream, stream);
        // Nothing captured and no watch: the stack logs every Initialize and registration.
        EXPECT_EQ(run.notices, "");
        EXPECT_EQ(fakeAudioLog(), std::vector<std::string>{});
        EXPECT_EQ(run.problems, std::vector<std::string>{});
    }
}

// With "--fill-silence": a GetBuffer that finds nothing after all is no packet to place, and the
// next packet lands at its own position, 100 ms after Start (4410 frames at 44100 Hz, 480 of them
// the first packet's). The stop then adds zeros up to its own time.
TEST(CaptureRun, FillsUpToEachPacketsPositionAndPlacesNoEmptyBuffer) {
    const Outcome run =
        capture({"--fill-silence"}, "pace=real;packets=480 480@100;fail=GetBuffer#2=0x08890001");
    const std::string first = header(44100, 2, 2) + sequence(kPacket);
    // The second packet's bytes begin with 0, so the zeros are counted up to where it is found.
    const std::size_t second = run.stream.find(sequence(kPacket, kPacket), first.size());
    ASSERT_NE(second, std::string::npos);
    EXPECT_EQ(run.stream.substr(0, first.size()), first);
    // The origin is read just after Start, so the position may lie a frame nearer.
    EXPECT_NEAR(double(second - first.size()) / 8, 4410 - 480, 1);
    EXPECT_EQ(run.stream.find_first_not_of('\0', first.size()), second + 1);
    EXPECT_EQ(run.stream.find_first_not_of('\0', second + kPacket), std::string::npos);
    EXPECT_EQ(run.code, 0);
    EXPECT_EQ(run.notices, kOrigin);
    EXPECT_EQ(run.problems, std::vector<std::string>{});
}

// With "--follow-default": a lost device is looked for again at once, a device that cannot be had
// is said once and tried again at the next change, a burst of changes that ends where it began
// changes nothing, and a switch gives every frame once and in order, each new device told.
TEST(CaptureRun, FollowsTheDefaultOutputAcrossLossesFailuresAndSwitches) {
    const std::string speakers =
        kNote + "Now capturing the default output device: Lautsprecher (Hörgerät)\n";
    const std::string headset =
        kNote + "Now capturing the default output device: Casque \"Studio\" \\ 🎧 é\n";
    // The run loses its device at the second poll; the default is announced again at 50 ms.
    const std::string lost = "fail=GetNextPacketSize#2=0x88890004;moves=50:speakers;";
    const auto waiting = [&](const std::string& failure, HRESULT status) {
        return kNote + "Waiting for an output device: " + failure + describeStatus(status) + "\n" +
               speakers;
    };
    // 300 ms at 96000 Hz: the run lasts past the changes and the 200 ms they take to settle.
    const auto paced = [](int packets, int frames) {
        std::string directives = "pace=real;packets=";
        for (int packet = 0; packet < packets; ++packet) directives += std::to_string(frames) + " ";
        return directives;
    };
    const std::string mix96k =
        "mix=feff02000077010000b80b000800200016002000030000000300000000001000800000aa00389b71;";
    const std::tuple<std::vector<std::string>, std::string, std::string, std::uint32_t> cases[] = {
        {kFollow, "fail=GetNextPacketSize#2=0x88890004", speakers, 44100},
        {kFollow, "fail=GetBuffer#2=0x88890004", speakers, 44100},
        {kFollow, "fail=ReleaseBuffer#1=0x88890004", speakers, 44100},
        {kSystem, "fail=ReleaseBuffer#1=0x88890004", "", 44100},
        {kFollow, lost + "fail=GetDefaultAudioEndpoint#2=0x80070490",
         waiting("Failed to get default audio device: ", HRESULT_FROM_WIN32(ERROR_NOT_FOUND)),
         44100},
        {kFollow, lost + "fail=Activate#2=0x80004005",
         waiting("Failed to activate default audio device: ", E_FAIL), 44100},
        {kFollow, lost + "fail=GetMixFormat#2=0x88890004",
         waiting("GetMixFormat failed: ", AUDCLNT_E_DEVICE_INVALIDATED), 44100},
        {kFollow, lost + "fail=Initialize#2=0x88890008",
         waiting("IAudioClient::Initialize failed: ", AUDCLNT_E_UNSUPPORTED_FORMAT), 44100},
        {kFollow, lost + "fail=GetService#2=0x88890003",
         waiting("Failed to get IAudioCaptureClient: ", AUDCLNT_E_WRONG_ENDPOINT_TYPE), 44100},
        {kFollow, lost + "fail=Start#2=0x80004005", waiting("IAudioClient::Start failed: ", E_FAIL),
         44100},
        {kFollow, paced(60, 480) + ";moves=20:headset 30:surround 40:speakers", "", 44100},
        {kFollow, mix96k + paced(60, 480) + ";moves=20:headset", headset, 96000},
        // 1 ms packets: several wait at the switch, which the old client must hand over first.
        {kFollow, mix96k + paced(300, 96) + ";moves=20:headset", headset, 96000}};
    for (const auto& [args, directives, notices, rate] : cases) {
        SCOPED_TRACE(directives);
        const Outcome run = capture(args, directives);
        EXPECT_EQ(run.code, 0);
        EXPECT_EQ(run.message, "");
        EXPECT_EQ(run.notices, notices);
        EXPECT_EQ(run.stream, header(rate, 2, 2) + sequence(fakeAudioFrames() * 8));
        EXPECT_EQ(run.problems, std::vector<std::string>{});
    }
}
