"""The exe on the simulated audio stack: its stream byte for byte, and the ways a parent stops it.
What a run does with each answer of the stack is the Windows tests' concern."""
import re, subprocess, time, unittest
from harness import ARGS, NOTE, WARN, Run, after, header, left_channel, longest_zeros, run, seq

F32, PACKET = 2, 480 * 8


class Streaming(unittest.TestCase):
    def test_packets_reach_stdout_unchanged_until_ctrl_c(self):
        want = header(48000, 2, F32) + seq(128 * 8)  # the bytes include 0x0a and 0x1a
        r = run([], after(len(want), Run.interrupt), packets=[40, 24, 64])
        self.assertEqual((r.code, r.err, r.out, r.problems()), (0, b"", want, []))

    def test_while_nothing_plays_the_run_idles_and_ctrl_c_leaves_the_header_and_notices(
        self,
    ):
        for mode in ["system", "process"]:
            with self.subTest(mode=mode):
                seen = (
                    []
                )  # what stderr held while the run went on: a notice must not wait for the end
                r = run(
                    ARGS[mode],
                    after(
                        16,
                        lambda r: time.sleep(0.5),
                        lambda r: seen.append(bytes(r.err)),
                        Run.interrupt,
                    ),
                    packets=[0],
                )
                self.assertEqual(
                    (r.code, r.err, seen[-1], r.out, r.problems()),
                    (0, WARN[mode], WARN[mode], header(48000, 2, F32), []),
                )
                self.assertLess(r.frames("polls"), 1000)


class FillingSilence(unittest.TestCase):
    def test_zeros_fill_the_pause_and_the_stream_lasts_as_long_as_the_run_from_its_origin(self):
        # 300 ms of 10 ms packets, a pause of 1 s, 300 ms more; stopped about 200 ms later.
        schedule = dict(packets=[480] * 30 + ["480@1300"] + [480] * 29, pace="real")
        audio = seq(60 * 480 * 8)
        for mode in ["system", "process", "exclude"]:
            with self.subTest(mode=mode):
                stop = after(16 + 8 * 48000 * 16 // 10, lambda r: time.sleep(0.2), Run.interrupt)
                r = run(ARGS[mode] + ["--fill-silence"], stop, **schedule)
                self.assertEqual(
                    (r.code, r.out[:16], r.problems()),
                    (0, header(48000, 2, F32), ["positions asked"]),
                )
                # The origin is the counter read right after Start, in the same unit.
                found = re.fullmatch(
                    re.escape(WARN[mode] + NOTE) + rb"Stream origin: (\d+) "
                    rb"\(performance counter, 100-ns units\)\n",
                    r.err,
                )
                self.assertIsNotNone(found, r.err)
                self.assertLess(int(found.group(1)) - r.frames("started"), 20 * 10_000)
                self.assertGreaterEqual(int(found.group(1)), r.frames("started"))
                frames = [r.out[at : at + 8] for at in range(16, len(r.out), 8)]
                # The audio has no zero frame.
                real = [at for at, frame in enumerate(frames) if frame != bytes(8)]
                self.assertEqual(b"".join(frames[at] for at in real), audio)
                self.assertEqual(real[0], 0)
                # The pause, within 5 ms; the stream as long as Start to stop, within 30 ms.
                self.assertAlmostEqual(real[30 * 480] - real[30 * 480 - 1] - 1, 48000, delta=240)
                self.assertAlmostEqual(len(frames), r.frames("runtime") * 48000 / 1e7, delta=1440)

    def test_at_another_output_rate_the_pause_is_zeros_and_the_stream_keeps_time(self):
        # The same schedule as a tone, resampled from 48 to 16 kHz.
        schedule = dict(packets=[480] * 30 + ["480@1300"] + [480] * 29, pace="real", tone=440)
        stop = after(16 + 8 * 16000 * 16 // 10, lambda r: time.sleep(0.2), Run.interrupt)
        r = run(["--fill-silence", "--output-rate=16000"], stop, **schedule)
        self.assertEqual(
            (r.code, r.out[:16], r.problems()), (0, header(16000, 2, F32), ["positions asked"])
        )
        samples = left_channel(r.out)
        # The pause, within 5 ms; the stream as long as Start to stop, within 30 ms.
        self.assertAlmostEqual(longest_zeros(samples), 16000, delta=80)
        self.assertAlmostEqual(len(samples), r.frames("runtime") * 16000 / 1e7, delta=480)


class Converting(unittest.TestCase):
    def test_a_tone_at_16_khz_in_mono_keeps_its_pitch_and_has_the_level_of_the_channels_mean(self):
        # The stand-in plays 440 Hz at 0.5 on the left channel and 0.25 on the right, at 48 kHz.
        args = ["--output-rate=16000", "--channels=1", "--downmix", "--format=s16"]
        double = dict(tone=440, packets=[480], after="repeat", pace="real")
        r = run(args, after(16 + 2 * 24000, Run.interrupt), **double)
        self.assertEqual(
            (r.code, r.err, r.out[:16], r.problems()), (0, b"", header(16000, 1, 1), [])
        )
        measured = subprocess.run(
            ["sox", "-t", "raw", "-r", "16000", "-e", "signed", "-b", "16", "-c", "1", "-", "-n"]
            + ["trim", "0.1", "stat"],
            input=r.out[16:],
            capture_output=True,
        ).stderr.decode()
        stat = dict(re.findall(r"^(.+?):\s+(\S+)$", measured, re.M))
        self.assertAlmostEqual(float(stat["Rough   frequency"]), 440, delta=1)
        # The mean of the two channels: a sine of amplitude 0.375.
        self.assertAlmostEqual(float(stat["RMS     amplitude"]), 0.375 / 2**0.5, delta=0.002)


class Stopping(unittest.TestCase):
    def test_the_end_of_stdin_stops_the_run(self):
        for args, size, double in [
            ([], 16 + 3 * PACKET, {"packets": [480], "after": "repeat"}),
            ([], 16, {"packets": [0]}),
            (["--mode=test-silence"], 7680, {}),
        ]:
            with self.subTest(args=args, **double):
                r = run(
                    args + ["--stop-on=stdin-close"],
                    after(size, lambda r: r.p.stdin.close()),
                    stdin=subprocess.PIPE,
                    **double,
                )
                self.assertEqual((r.code, r.err, len(r.out) >= size), (0, b"", True))
                if double:
                    self.assertEqual(
                        (r.out, r.problems()), (header(48000, 2, F32) + seq(8 * r.frames()), [])
                    )

    def test_a_reader_gone_before_the_device_list_ends_the_run_with_code_4(self):
        r = run(["--list-devices"], lambda r: r.take(0), read=False, packets=[0])
        self.assertEqual(
            (r.code, r.err, r.problems()),
            (4, b"stdout closed while writing the device list\n", []),
        )
