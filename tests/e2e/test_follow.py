"""The exe following the default output while the simulated stack moves it: one stream, one
header, a 440 Hz tone in each stretch whatever the device's rate and channels, a notice for each
new device and for the time without one."""

import re, time, unittest
from harness import NOTE, Run, after, frequency, header, left_channel, longest_zeros, run

F32 = 2
# The default moves from the 48 kHz float stereo speakers to a hands-free headset (16 kHz 16-bit
# mono), then to nothing for 300 ms, then to a 5.1 output at 44.1 kHz; each plays the same tone.
SCHEDULE = dict(
    tone=440,
    packets=[480],
    after="repeat",
    pace="real",
    moves="600:handsfree 1200:none 1500:surround",
)
NOTICES = (
    re.escape(NOTE + b"Now capturing the default output device: Headset (Hands-Free)\n")
    + re.escape(NOTE + b"Waiting for an output device: Failed to get default audio device: ")
    + rb"[^\[]*\(0x80070490\)\n"
    + re.escape(NOTE + b"Now capturing the default output device: (unnamed)\n")
)


def stop_at(seconds):
    return after(16, lambda r: time.sleep(seconds), Run.interrupt)


class FollowingTheDefault(unittest.TestCase):
    def test_one_stream_goes_on_across_devices_rates_and_a_time_without_any(self):
        r = run(["--follow-default"], stop_at(2.3), **SCHEDULE)
        self.assertEqual((r.code, r.out[:16], r.problems()), (0, header(48000, 2, F32), []))
        self.assertRegex(r.err, b"^" + NOTICES + b"$")
        samples = left_channel(r.out)
        # The speakers until the first switch (about 0.8 s), the headset until the time without a
        # device (about 1.4 s), then the 5.1 output: whole stretches of each, away from the seams.
        for start, end in [(0.1, 0.6), (0.9, 1.25), (1.5, len(samples) / 48000 - 0.05)]:
            with self.subTest(stretch=start):
                stretch = samples[int(start * 48000) : int(end * 48000)]
                self.assertAlmostEqual(frequency(stretch, 48000), 440, delta=1)

    def test_with_fill_silence_the_time_without_a_device_is_zeros_and_the_stream_keeps_time(self):
        r = run(["--follow-default", "--fill-silence"], stop_at(2.3), **SCHEDULE)
        self.assertEqual(
            (r.code, r.out[:16], r.problems()), (0, header(48000, 2, F32), ["positions asked"])
        )
        origin = re.escape(NOTE) + rb"Stream origin: \d+ \(performance counter, 100-ns units\)\n"
        self.assertRegex(r.err, b"^" + origin + NOTICES + b"$")
        samples = left_channel(r.out)
        # The longest run of zero samples is the time without a device, within 5 ms.
        self.assertAlmostEqual(longest_zeros(samples), r.frames("gap") * 48000 / 1e7, delta=240)
        # Start to stop, within 30 ms.
        self.assertAlmostEqual(len(samples), r.frames("runtime") * 48000 / 1e7, delta=1440)

    def test_with_fill_silence_a_run_that_ends_without_a_device_still_keeps_time(self):
        # More than a second without a device before the stop: the stop alone may not fill that
        # much, so the zeros must come while the run waits. The run's length is measured here,
        # from the header to Ctrl+C, as the stand-in's last client stopped long before.
        schedule = dict(tone=440, packets=[480], after="repeat", pace="real", moves="300:none")
        times = []
        note_time = lambda r: times.append(time.monotonic())
        act = after(16, note_time, lambda r: time.sleep(1.9), note_time, Run.interrupt)
        r = run(["--follow-default", "--fill-silence"], act, **schedule)
        self.assertEqual((r.code, r.out[:16]), (0, header(48000, 2, F32)))
        self.assertAlmostEqual(len(left_channel(r.out)) / 48000, times[1] - times[0], delta=0.1)
