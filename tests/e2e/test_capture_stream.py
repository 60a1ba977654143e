"""What the exe streams from the system mix, byte for byte, with the audio-stack double delivering
known packets; the stream is also read back with sox, a reader we did not write."""

import math
import struct
import subprocess
import tempfile
import unittest

from audio_double import Double, DoubleRun, header, packet, run_until_stdout

S16, F32 = 1, 2
OUTPUT_FORMATS = {S16: "s16", F32: "f32"}


def f32(value):
    """`value` rounded to single precision, as the exe's float arithmetic does."""
    return struct.unpack("<f", struct.pack("<f", value))[0]


def to_s16(x):
    if math.isnan(x):
        return 32767
    return round(f32(max(-1.0, min(1.0, x)) * 32767.0))  # round() is half-to-even, like lrintf


class Source:
    """A mix format the double offers and how a sample of it reads as a float."""

    def __init__(self, mix, channels, rate, width, read):
        self.mix, self.channels, self.rate, self.width, self.read = mix, channels, rate, width, read

    def frames(self, data):
        """[[(x, source bytes) per channel] per frame]."""
        step = self.width * self.channels
        return [[(self.read(data[at + c * self.width:at + (c + 1) * self.width]),
                  data[at + c * self.width:at + (c + 1) * self.width]) for c in range(self.channels)]
                for at in range(0, len(data) - step + 1, step)]


def signed(data, bits):
    value = int.from_bytes(data, "little") & ((1 << bits) - 1)
    return value - (1 << bits) if value >> (bits - 1) else value


SOURCES = {
    "float stereo": Source("ext-float,2,48000,32", 2, 48000, 4, lambda b: struct.unpack("<f", b)[0]),
    "plain float mono": Source("float,1,44100,32", 1, 44100, 4, lambda b: struct.unpack("<f", b)[0]),
    "pcm16 stereo": Source("pcm,2,44100,16", 2, 44100, 2, lambda b: signed(b, 16) / 32768),
    "pcm24 5.1": Source("ext-pcm,6,96000,24", 6, 96000, 3, lambda b: signed(b, 24) / 2**23),
    "pcm32 (24 valid) mono": Source("ext-pcm,1,32000,32,24", 1, 32000, 4, lambda b: signed(b[:3], 24) / 2**23),
}


def expected_samples(source, data, channels, sample_format, zero=False):
    out = bytearray()
    for frame in source.frames(data):
        first = frame[0]
        second = frame[1] if len(frame) > 1 else frame[0]
        for x, raw in [first, second][:channels] + [first] * (channels - 2):
            if zero:
                x, raw = 0.0, bytes(4)
            if sample_format == S16:
                out += struct.pack("<h", to_s16(x))
            else:
                out += raw if source.width == 4 and "float" in source.mix else struct.pack("<f", x)
    return bytes(out)


def sequence(start, size):
    """The double's default packet data: byte k of the stream is k mod 256."""
    return bytes((start + k) & 0xFF for k in range(size))


capture = run_until_stdout


class Conversion(unittest.TestCase):
    def check_stream(self, args, double, expected):
        code, stdout, stderr, log = capture(args, double, len(expected))
        self.assertEqual(code, 0)
        self.assertEqual(stderr, b"")
        self.assertEqual(stdout, expected)
        self.assertEqual(log.problems(), [])
        return log

    def test_every_source_format_into_every_output(self):
        frames = [40, 24, 64]
        for name, source in SOURCES.items():
            data = sequence(0, sum(frames) * source.width * source.channels)
            for sample_format in (S16, F32):
                for channels in (1, 2, 6):
                    with self.subTest(source=name, format=OUTPUT_FORMATS[sample_format], channels=channels):
                        expected = header(source.rate, channels, sample_format) + \
                            expected_samples(source, data, channels, sample_format)
                        args = ["--mode=system", "--format=" + OUTPUT_FORMATS[sample_format],
                                "--channels=%d" % channels]
                        self.check_stream(args, Double(packets=[str(n) for n in frames], mix=source.mix), expected)

    def test_silent_and_pointerless_packets_give_zeros_and_other_flags_do_not(self):
        source = SOURCES["pcm16 stereo"]
        # Data is the byte sequence, so a packet read despite its flag would not be zeros.
        cases = [("4:silent", True), ("4:null", True), ("4:null:silent", True), ("4:flags=0x1", False),
                 ("4:flags=0x4", False)]
        for item, zero in cases:
            with self.subTest(packet=item):
                data = sequence(0, 16)
                expected = header(44100, 2, F32) + expected_samples(source, data, 2, F32, zero=zero)
                self.check_stream([], Double(packets=[item], mix=source.mix), expected)

    def test_line_feed_bytes_pass_untranslated(self):
        expected = header(48000, 1, S16) + b"\x0a\x00" * 8
        self.check_stream(["--format=s16", "--channels=1"],
                          Double(packets=[packet(8, data=b"\x0a\x00")], mix="pcm,1,48000,16"), expected)

    def test_rate_and_chunk_options_change_nothing(self):
        double = Double(packets=["30", "idle", "20"], mix="ext-float,2,44100,32")
        size = 16 + 50 * 8
        _code, plain, _stderr, _log = capture([], double, size)
        for extra in (["--rate=8000"], ["--chunk=17"], ["--rate=96000", "--chunk=4800"]):
            with self.subTest(options=extra):
                code, stdout, stderr, _log = capture(extra, double, size)
                self.assertEqual((code, stderr), (0, b""))
                self.assertEqual(stdout, plain)
        self.assertEqual(plain[:16], header(44100, 2, F32))


class Stopping(unittest.TestCase):
    def test_a_stop_before_the_first_packet_leaves_only_the_header(self):
        cases = [([], "ext-float,2,48000,32", header(48000, 2, F32)),
                 (["--format=s16", "--channels=1"], "pcm,2,22050,16", header(22050, 1, S16)),
                 (["--channels=6"], "ext-pcm,6,96000,24", header(96000, 6, F32))]
        for args, mix, expected in cases:
            with self.subTest(args=args, mix=mix):
                code, stdout, stderr, log = capture(args, Double(mix=mix), 16)
                self.assertEqual((code, stdout, stderr), (0, expected, b""))
                self.assertEqual(len(log.calls_named("Stop")), 1)
                self.assertEqual(log.problems(), [])

    def test_ctrl_c_while_packets_flow_ends_cleanly_after_whole_frames(self):
        run = DoubleRun(["--format=s16"], Double(packets=["480"], after="repeat"))
        self.assertTrue(run.wait_for_stdout(16 + 10 * 1920, timeout=60))
        run.interrupt()
        self.assertEqual(run.finish(), 0)
        self.assertEqual(bytes(run.stderr), b"")
        self.assertEqual((len(run.stdout) - 16) % 4, 0)
        log = run.log()
        self.assertEqual(log.problems(), [])
        self.assertEqual(len(log.calls_named("ReleaseBuffer")), len(log.calls_named("GetBuffer")))


def sox_stat(raw, sample_format, channels, rate):
    with tempfile.NamedTemporaryFile(suffix=".raw") as file:
        file.write(raw)
        file.flush()
        encoding = ["-e", "floating-point", "-b", "32"] if sample_format == F32 else ["-e", "signed-integer", "-b", "16"]
        done = subprocess.run(["sox", "-t", "raw", *encoding, "-c", str(channels), "-r", str(rate), "-L", file.name,
                               "-n", "remix", "1", "stat"], capture_output=True, text=True, timeout=60)
    return {key.strip(): value.strip() for key, _, value in
            (line.partition(":") for line in done.stderr.splitlines()) if value}


class ReadBySox(unittest.TestCase):
    def test_a_tone_reads_back_with_its_length_frequency_and_level(self):
        cases = [("ext-float,2,48000,32", S16, 2, 48000), ("pcm,2,44100,16", F32, 6, 44100),
                 ("ext-pcm,1,32000,32,24", S16, 1, 32000)]
        for mix, sample_format, channels, rate in cases:
            with self.subTest(mix=mix, format=OUTPUT_FORMATS[sample_format], channels=channels):
                double = Double(packets=[packet(480, tone=(1000, 0.5), times=40)], mix=mix)
                width = 2 if sample_format == S16 else 4
                size = 16 + 40 * 480 * channels * width
                code, stdout, _stderr, _log = capture(
                    ["--format=" + OUTPUT_FORMATS[sample_format], "--channels=%d" % channels], double, size)
                self.assertEqual((code, len(stdout)), (0, size))
                stat = sox_stat(stdout[16:], sample_format, channels, rate)
                self.assertEqual(int(stat["Samples read"]), 40 * 480)  # frames of channel 1
                self.assertAlmostEqual(float(stat["Maximum amplitude"]), 0.5, delta=0.01)
                self.assertAlmostEqual(int(stat["Rough   frequency"]), 1000, delta=20)


if __name__ == "__main__":
    unittest.main()
