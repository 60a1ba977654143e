"""What the exe streams from the double's packets, how it stops, and process-loopback capture."""
import math, os, struct, subprocess, sys, time, unittest
from harness import ARGS, EXE, FALLBACK, PREFIX, WARN, Run, after, fmt, header, run, seq

S16, F32, PACKET = 1, 2, 480 * 8


def signed(data, bits):
    value = int.from_bytes(data, "little") & ((1 << bits) - 1)
    return value - (value >> (bits - 1) << bits)


SOURCES = {"float": (fmt("ext-float", 2, 48000, 32), 4, lambda b: struct.unpack("<f", b)[0]),
           "pcm16": (fmt("pcm", 2, 44100, 16), 2, lambda b: signed(b, 16) / 2**15),
           "pcm24": (fmt("ext-pcm", 6, 96000, 24), 3, lambda b: signed(b, 24) / 2**23),
           "pcm32/24": (fmt("ext-pcm", 1, 32000, 32, 24), 4, lambda b: signed(b[:3], 24) / 2**23)}


def expected(source, data, channels, sample_format):
    """Output channels take the first two source channels, then the first again."""
    mix, width, read = SOURCES[source]
    have, out = struct.unpack_from("<H", mix, 2)[0], b""
    for at in range(0, len(data), width * have):
        raw = [data[at + c * width:at + (c + 1) * width] for c in range(min(have, 2))] * 2
        for sample in (raw[:2] + raw[:1] * 4)[:channels]:
            x = read(sample)
            if sample_format == F32:
                out += sample if source == "float" else struct.pack("<f", x)
            else:
                scaled = struct.unpack("<f", struct.pack("<f", max(-1.0, min(1.0, x)) * 32767))[0]
                out += struct.pack("<h", 32767 if math.isnan(x) else round(scaled))
    return out


class Streaming(unittest.TestCase):
    def test_sources_into_outputs_byte_for_byte(self):
        for source, sample_format, channels in [("float", S16, 1), ("float", F32, 6), ("pcm16", F32, 2),
                                                ("pcm16", S16, 6), ("pcm24", S16, 2), ("pcm24", F32, 1),
                                                ("pcm32/24", F32, 2), ("pcm32/24", S16, 1)]:
            with self.subTest(source=source, format=sample_format, channels=channels):
                mix, width, _ = SOURCES[source]
                data = seq(128 * width * struct.unpack_from("<H", mix, 2)[0])
                want = header(struct.unpack_from("<I", mix, 4)[0], channels, sample_format) + \
                    expected(source, data, channels, sample_format)
                args = ["--format=" + ("s16", "f32")[sample_format - 1], "--channels=%d" % channels]
                r = run(args, after(len(want), Run.interrupt), mix=mix, packets=[40, 24, 64])
                self.assertEqual((r.code, r.err, r.out, r.problems()), (0, b"", want, []))

    def test_silent_and_pointerless_packets_give_zeros_and_other_flags_do_not(self):
        data = seq(64)
        want = header(44100, 2, F32) + expected("pcm16", data[:16] + bytes(32) + data[48:], 2, F32)
        r = run([], after(len(want), Run.interrupt), mix=SOURCES["pcm16"][0], packets=["4/1", "4/2", "4/100", "4/4"])
        self.assertEqual((r.code, r.err, r.out, r.problems()), (0, b"", want, []))


class Stopping(unittest.TestCase):
    def test_ctrl_c_before_the_first_packet_leaves_only_the_header(self):
        r = run(["--format=s16", "--channels=1"], after(16, Run.interrupt), mix=fmt("pcm", 2, 22050, 16))
        self.assertEqual((r.code, r.err, r.out, r.problems()), (0, b"", header(22050, 1, S16), []))

    def test_while_nothing_plays_the_run_pauses_between_polls(self):
        for mode in ["system", "process"]:
            with self.subTest(mode=mode):
                r = run(ARGS[mode], after(16, lambda r: time.sleep(0.5), Run.interrupt), packets=[0])
                self.assertEqual((r.code, r.err, r.out, r.problems()), (0, WARN[mode], header(48000, 2, F32), []))
                self.assertLess(r.frames("polls"), 1000)


LOOPBACK_FORMAT = fmt("ext-float", 2, 44100, 32).hex()


class ProcessLoopback(unittest.TestCase):
    def capture(self, mode, **double):
        return run(ARGS[mode], after(16 + PACKET, Run.interrupt), packets=[480], **{"mix": fmt("ext-float", 2, 44100, 32), **double})

    def test_each_mode_activates_its_target_and_streams_float_stereo_at_the_endpoint_rate(self):
        for mode, loopback_mode in [("process", 0), ("exclude", 1)]:
            with self.subTest(mode=mode):
                r = self.capture(mode, mix=fmt("ext-pcm", 6, 44100, 16))
                self.assertEqual((r.code, r.err, r.out, r.problems()), (0, WARN[mode], header(44100, 2, F32) + seq(PACKET), []))
                record = struct.pack("<III", 1, 1234, loopback_mode).hex()
                self.assertEqual(r.lines("activate"), ["activate path=VAD\\Process_Loopback vt=65 record=%s agile=1" % record])
                self.assertEqual(r.lines("init"), ["init loopback-client share=0 flags=0x00060000 duration=10000000 period=0 "
                                                   "format=" + LOOPBACK_FORMAT])
                self.assertEqual(r.lines("register"), [])

    def test_without_an_endpoint_rate_the_stream_is_48000(self):
        for double in ({"mix": "notimpl"}, {"mix": "null"}, {"fail": ["GetDefaultAudioEndpoint#1=0x80070490"]}):
            with self.subTest(**double):
                r = self.capture("process", **double)
                self.assertEqual((r.code, r.out[:16], r.problems()), (0, header(48000, 2, F32), []))

    def test_a_loopback_client_that_gives_a_format_is_initialised_with_it(self):
        mono = fmt("pcm", 1, 32000, 16)
        r = run(ARGS["process"], after(16 + 1920, Run.interrupt), packets=[480], loopmix=mono)
        self.assertEqual((r.code, r.out, r.problems()), (0, header(32000, 2, F32) + expected_mono(), []))
        self.assertIn("format=" + mono.hex(), r.lines("init loopback-client")[0])

    def test_every_failed_activation_falls_back_to_the_system_mix(self):
        for double in ({"fail": ["ActivateAudioInterfaceAsync#1=0x80070005"]}, {"fail": ["GetActivateResult#1=0x80004005"]},
                       {"fail": ["ActivateResult#1=0x80070002"]}, {"fail": ["ActivateResult#1=noclient"]},
                       {"fail": ["CreateEventA#2=0x0"]}, {"complete": "never"}, {"complete": "sync", "fail": ["ActivateResult#1=0x80070002"]}):
            with self.subTest(**double):
                r = self.capture("process", **double)
                self.assertEqual((r.code, r.err, r.out, r.problems()),
                                 (0, WARN["process"] + FALLBACK, header(44100, 2, F32) + seq(PACKET), []))
                self.assertEqual([line.split(" format")[0] for line in r.lines("init")],
                                 ["init endpoint-client share=0 flags=0x00020000 duration=10000000 period=0"])


def expected_mono():
    data = seq(960)
    return b"".join(struct.pack("<f", signed(data[i:i + 2], 16) / 2**15) * 2 for i in range(0, 960, 2))


LOST = b"[ostrel-audio-helper] Some captured audio was lost (the capture buffer overflowed).\n"


class RunEnd(unittest.TestCase):
    def test_a_default_render_device_change_ends_the_run_after_its_packet(self):
        changed = b"Default audio device changed\n"
        for mode, fails, change, code, err, packets in [
                ("system", [], "2,0,0", 4, changed, 2), ("process", ["ActivateResult#1=0x80070002"], "1,0,0", 4, FALLBACK + changed, 1),
                ("system", [], "1,0,1", 0, b"", 3), ("system", [], "1,1,0", 0, b"", 3),
                ("system", ["RegisterEndpointNotificationCallback#1=0x80004005"], "1,0,0", 0, b"", 3)]:
            with self.subTest(mode=mode, fails=fails, change=change):
                r = run(ARGS[mode], after(16 + 3 * PACKET, Run.interrupt), packets=[480] * 3, fail=fails, devicechange=change)
                self.assertEqual((r.code, r.err, r.out, r.problems()), (code, WARN[mode] + err, header(48000, 2, F32) + seq(packets * PACKET), []))
                self.assertEqual(len(r.lines("unregister")), 1 - bool(fails[:1] and "Register" in fails[0]))

    def test_lost_audio_is_reported_once_and_never_for_the_first_packet(self):
        for packets, err in [(["480/1", 480, "480/1", 480, "480/1"], LOST), (["480/1", 480, 480], b"")]:
            with self.subTest(packets=packets):
                r = run([], after(16 + len(packets) * PACKET, Run.interrupt), packets=packets)
                self.assertEqual((r.code, r.err, r.out, r.problems()), (0, err, header(48000, 2, F32) + seq(len(packets) * PACKET), []))

    def test_the_end_of_stdin_stops_the_run(self):
        for args, size, double in [([], 16 + 3 * PACKET, {"packets": [480], "after": "repeat"}), ([], 16, {"packets": [0]}),
                                   (["--mode=test-silence"], 7680, {})]:
            with self.subTest(args=args, **double):
                r = run(args + ["--stop-on=stdin-close"], after(size, lambda r: r.p.stdin.close()), stdin=subprocess.PIPE, **double)
                self.assertEqual((r.code, r.err, len(r.out) >= size), (0, b"", True))
                double and self.assertEqual((r.out, r.problems()), (header(48000, 2, F32) + seq(8 * r.frames()), []))

    def test_the_run_ends_soon_after_its_parent_dies(self):
        parent = subprocess.Popen([sys.executable, "-c", "import subprocess, sys, time; subprocess.Popen(sys.argv[1:], "
                                   "stdin=subprocess.PIPE); time.sleep(60)", os.environ["OAH_WINE_RUN"], "--prefix", PREFIX,
                                   EXE, "--mode=test-silence", "--stop-on=stdin-close"], stdout=subprocess.PIPE)
        parent.stdout.read(7680)
        parent.kill()
        killed = time.monotonic()
        while parent.stdout.read1(65536):
            pass
        parent.wait()
        self.assertLess(time.monotonic() - killed, 2)
