"""Every platform call made to fail in turn, in each capture mode; and stops and readers that go away
at random moments. The double checks inside the exe's process that nothing is held at exit, that
Stop follows only a successful Start, that CoUninitialize comes last and every packet goes back."""
import concurrent.futures, os, random, re, time, unittest
from harness import ARGS, FALLBACK, WARN, Run, fmt, header, run, seq

MIX, PACKET = fmt("ext-float", 2, 44100, 32), 480 * 8
# mode, failing calls, then the exit code, what stderr says after the notices, status, packets written
SWEEP = [
    ("system", ["CoInitializeEx#1=0x80004005"], 2, b"CoInitializeEx failed: ", 0x80004005, None),
    ("system", ["CoCreateInstance#1=0x80040154"], 2, b"Failed to create MMDeviceEnumerator: ", 0x80040154, None),
    ("system", ["GetDefaultAudioEndpoint#1=0x80070490"], 2, b"Failed to get default audio device: ", 0x80070490, None),
    ("system", ["Activate#1=0x80004005"], 2, b"Failed to activate default audio device: ", 0x80004005, None),
    ("system", ["GetMixFormat#1=0x88890004"], 3, b"GetMixFormat failed: ", 0x88890004, None),
    ("system", ["Initialize#1=0x88890008"], 3, b"IAudioClient::Initialize failed: ", 0x88890008, None),
    ("system", ["GetService#1=0x88890003"], 3, b"Failed to get IAudioCaptureClient: ", 0x88890003, None),
    ("system", ["Start#1=0x80004005"], 3, b"IAudioClient::Start failed: ", 0x80004005, None),
    ("system", ["GetNextPacketSize#1=0x88890004"], 4, b"GetNextPacketSize failed: ", 0x88890004, 0),
    ("system", ["GetNextPacketSize#3=0x88890004"], 4, b"GetNextPacketSize failed: ", 0x88890004, 2),
    ("system", ["GetBuffer#2=0x88890004"], 4, b"GetBuffer failed: ", 0x88890004, 1),
    ("process", ["CoInitializeEx#1=0x80010106"], 2, b"CoInitializeEx failed: ", 0x80010106, None),
    ("process", ["Initialize#1=0x88890008"], 3, b"IAudioClient::Initialize failed: ", 0x88890008, None),
    ("process", ["SetEventHandle#1=0x80070006"], 3, b"IAudioClient::SetEventHandle failed: ", 0x80070006, None),
    ("process", ["GetService#1=0x88890003"], 3, b"Failed to get IAudioCaptureClient: ", 0x88890003, None),
    ("process", ["Start#1=0x80004005"], 3, b"IAudioClient::Start failed: ", 0x80004005, None),
    ("process", ["CreateEventA#3=0x0"], 3, b"CreateEventA failed: ", 0x80070008, None),
    ("process", ["GetBuffer#1=0x88890004"], 4, b"GetBuffer failed: ", 0x88890004, 0),
    ("process", ["ActivateResult#1=0x80070002", "GetDefaultAudioEndpoint#1=0x80070490"], 2,
     b"Failed to get default audio device: ", 0x80070490, None),
    ("process", ["ActivateResult#1=0x80070002", "Initialize#1=0x88890008"], 3,
     FALLBACK + b"IAudioClient::Initialize failed: ", 0x88890008, None),
    ("exclude", ["GetNextPacketSize#2=0x88890004"], 4, b"GetNextPacketSize failed: ", 0x88890004, 1),
    ("exclude", ["ActivateAudioInterfaceAsync#1=0x80070005", "Start#1=0x80004005"], 3,
     FALLBACK + b"IAudioClient::Start failed: ", 0x80004005, None),
]


class FaultSweep(unittest.TestCase):
    def check(self, mode, fails, code, message, status, packets, **double):
        r = run(ARGS[mode], **{"packets": [480] * 3, "mix": MIX, "fail": fails, **double})
        notices = WARN[mode] if "CoInitializeEx" not in fails[0] else b""
        self.assertRegex(r.err, b"(?s)" + re.escape(notices + message) + (rb".* \(0x%08x\)" % status if status is not None else b"") + b"\n\\Z")
        self.assertEqual((r.code, r.out, r.problems()), (code, b"" if packets is None else header(44100, 2, 2) + seq(packets * PACKET), []))

    def test_every_failing_call_ends_the_run_with_its_code_and_message(self):
        with concurrent.futures.ThreadPoolExecutor(3) as pool:
            for case, outcome in zip(SWEEP, pool.map(lambda case: self.outcome(*case), SWEEP)):
                with self.subTest(case=case[:2]):
                    outcome is None or self.fail(outcome)

    def test_a_format_without_a_record_and_a_reader_gone_before_the_header(self):
        self.check("system", ["none#1=0x0"], 3, b"GetMixFormat failed: ", 0, None, mix="null")
        r = run([], lambda r: r.take(0), read=False, packets=[480], mix=MIX)
        self.assertEqual((r.code, r.err, r.problems()), (4, b"stdout closed while writing header\n", []))

    def outcome(self, *case):
        try:
            self.check(*case)
        except AssertionError as failure:
            return str(failure)


SEED, RUNS = int(os.environ.get("OAH_STRESS_SEED", "4242")), int(os.environ.get("OAH_STRESS_RUNS", "30"))


def stop_at_random(index):
    """Ctrl+C during a delayed activation, while packets flow, or while a write is blocked."""
    rng = random.Random("%d:stop:%d" % (SEED, index))
    moment, delay = index % 3, rng.uniform(0, 0.3)
    mode = rng.choice(["process", "exclude"] if moment == 0 else sorted(ARGS))
    r = Run(ARGS[mode], read=moment != 2, packets=[rng.choice([48, 441, 480])], after="repeat",
            complete=rng.randint(10, 300) if moment == 0 else 0)
    if moment == 2:  # the reader takes the header, then nothing while the pipe fills and a write blocks
        r.out += r.p.stdout.read(16)
    r.wait_log("activate") if moment == 0 else r.wait_out(16)
    time.sleep(delay)
    r.interrupt()
    if moment == 2:
        time.sleep(rng.uniform(0, 0.1))
        r.out += r.p.stdout.read()
    r.finish()
    return r, 0, WARN[mode], rng


def close_at_random(index):
    rng = random.Random("%d:close:%d" % (SEED, index))
    mode, size = rng.choice(sorted(ARGS)), rng.choice([0, rng.randint(1, 15), rng.randint(16, 400000)])
    r = Run(ARGS[mode], read=False, packets=[480], after="repeat")
    r.take(size)
    r.finish()
    gone = b"stdout closed while writing %s\n" % (b"audio" if r.lines("exit ") and r.frames() else b"header")
    return r, 4, WARN[mode] + gone, rng


class Stress(unittest.TestCase):
    def test_random_stops_and_readers_that_go_away_end_cleanly(self):
        cases = [(stop_at_random, i) for i in range(RUNS)] + [(close_at_random, i) for i in range(RUNS)]
        with concurrent.futures.ThreadPoolExecutor(3) as pool:
            for (how, index), (r, code, err, _rng) in zip(cases, pool.map(lambda case: case[0](case[1]), cases)):
                with self.subTest(case="OAH_STRESS_SEED=%d %s %d" % (SEED, how.__name__, index)):
                    self.assertEqual((r.code, r.err, r.problems()), (code, err, []))
                    code or self.assertEqual(r.out, header(48000, 2, 2) + seq(8 * r.frames()))
