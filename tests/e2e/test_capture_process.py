"""Capturing one process tree (or all but one) through process-loopback activation, and falling back
to the system mix when that activation fails."""

import time
import unittest

from audio_double import Double, DoubleRun, header, run_to_end, run_until_stdout, status_text, window_host
from test_capture_stream import SOURCES, Source, expected_samples, sequence, signed

PREFIX = b"[ostrel-audio-helper] "
PROCESS_WARNING = PREFIX + b"Process loopback may be unsupported on this Windows build (7601).\n"
EXCLUDE_WARNING = PREFIX + b"Exclude-pid loopback may be unsupported on this Windows build (7601).\n"
FALLBACK_NOTICE = PREFIX + b"Process loopback unavailable; using system audio.\n"
LOOPBACK_FLAGS = "0x00060000"  # LOOPBACK | EVENTCALLBACK
SYSTEM_FLAGS = "0x00020000"
PACKET = 480 * 8  # a 480-frame packet of float stereo


class ProcessLoopback(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.host, cls.pid, cls.window = window_host()

    @classmethod
    def tearDownClass(cls):
        cls.host.stdin.close()
        cls.host.wait(timeout=30)

    def process_args(self):
        return ["--mode=process", "--pid=%d" % self.pid]

    def test_each_mode_asks_for_its_target_and_streams_float_stereo_at_the_endpoint_rate(self):
        cases = [
            (["--mode=process", "--pid=%d" % self.pid], "0", PROCESS_WARNING),
            (["--mode=window", "--window-id=" + self.window], "0", PROCESS_WARNING),
            (["--mode=system", "--exclude-pid=%d" % self.pid], "1", EXCLUDE_WARNING),
        ]
        for args, loopback_mode, warning in cases:
            with self.subTest(args=args):
                double = Double(packets=["480"], mix="ext-pcm,6,44100,16")
                code, stdout, stderr, log = run_until_stdout(args, double, 16 + PACKET)
                self.assertEqual((code, stderr), (0, warning))
                self.assertEqual(stdout, header(44100, 2, 2) + sequence(0, PACKET))
                activation = log.calls_named("ActivateAudioInterfaceAsync")[0]
                self.assertEqual({key: activation[key] for key in ("path", "vt", "size", "type", "pid", "mode", "agile")},
                                 {"path": "VAD\\Process_Loopback", "vt": "65", "size": "12", "type": "1",
                                  "pid": str(self.pid), "mode": loopback_mode, "agile": "1"})
                initialize = log.calls_named("Initialize")
                self.assertEqual(len(initialize), 1)
                self.assertEqual({key: initialize[0][key] for key in ("kind", "flags", "tag", "sub", "ch", "rate", "bits", "align")},
                                 {"kind": "loopback", "flags": LOOPBACK_FLAGS, "tag": "0xfffe", "sub": "float",
                                  "ch": "2", "rate": "44100", "bits": "32", "align": "8"})
                self.assertEqual(log.problems(), [])

    def test_output_options_apply_to_the_loopback_stream(self):
        float_stereo = Source("ext-float,2,48000,32", 2, 48000, 4, SOURCES["float stereo"].read)
        data = sequence(0, 2 * PACKET)
        expected = header(48000, 1, 1) + expected_samples(float_stereo, data, 1, 1)
        args = self.process_args() + ["--format=s16", "--channels=1"]
        code, stdout, stderr, _log = run_until_stdout(args, Double(packets=["2x480"]), len(expected))
        self.assertEqual((code, stderr, stdout), (0, PROCESS_WARNING, expected))

    def test_without_an_endpoint_rate_the_stream_is_48000(self):
        for directives in ({"mix": "notimpl"}, {"mix": "null"}, {"fails": ["GetDefaultAudioEndpoint#*"]}):
            with self.subTest(**directives):
                code, stdout, stderr, log = run_until_stdout(
                    self.process_args(), Double(packets=["480"], **directives), 16 + PACKET)
                self.assertEqual((code, stderr), (0, PROCESS_WARNING))
                self.assertEqual(stdout[:16], header(48000, 2, 2))
                self.assertEqual(log.calls_named("Initialize")[0]["rate"], "48000")
                self.assertEqual(log.problems(), [])

    def test_a_loopback_client_that_gives_a_mix_format_is_initialised_with_it(self):
        pcm_mono = Source("pcm,1,32000,16", 1, 32000, 2, lambda b: signed(b, 16) / 32768)
        data = sequence(0, 2 * 480 * 2)
        expected = header(32000, 2, 2) + expected_samples(pcm_mono, data, 2, 2)
        double = Double(packets=["2x480"], loopmix=pcm_mono.mix, mix="ext-float,2,44100,32")
        code, stdout, stderr, log = run_until_stdout(self.process_args(), double, len(expected))
        self.assertEqual((code, stderr, stdout), (0, PROCESS_WARNING, expected))
        initialize = log.calls_named("Initialize")[0]
        self.assertEqual((initialize["kind"], initialize["tag"], initialize["ch"], initialize["rate"],
                          initialize["flags"]), ("loopback", "0x1", "1", "32000", LOOPBACK_FLAGS))
        self.assertEqual(log.problems(), [])

    def test_a_completion_delivered_before_the_call_returns_is_taken(self):
        code, stdout, stderr, log = run_until_stdout(self.process_args(), Double(packets=["480"], complete="sync"),
                                                     16 + PACKET)
        self.assertEqual((code, stderr, len(stdout)), (0, PROCESS_WARNING, 16 + PACKET))
        self.assertEqual(log.calls_named("ActivateCompleted")[0]["thread"], "caller")
        self.assertEqual(log.problems(), [])

    def test_every_failed_activation_falls_back_to_the_system_mix(self):
        cases = [
            {"fails": ["ActivateAudioInterfaceAsync=0x80070005"]},
            {"fails": ["GetActivateResult"]},
            {"fails": ["ActivateResult=0x80070002"]},
            {"fails": ["ActivateResult=noclient"]},
            {"fails": ["WaitForSingleObject=timeout"]},
            {"fails": ["WaitForSingleObject=failed"], "complete": "never"},
            {"fails": ["CreateEventA#2"]},  # the first is the stop signal's
        ]
        for directives in cases:
            with self.subTest(**directives):
                double = Double(packets=["480"], mix="ext-float,2,44100,32", **directives)
                code, stdout, stderr, log = run_until_stdout(self.process_args(), double, 16 + PACKET)
                self.assertEqual((code, stderr), (0, PROCESS_WARNING + FALLBACK_NOTICE))
                self.assertEqual(stdout, header(44100, 2, 2) + sequence(0, PACKET))
                initialize = log.calls_named("Initialize")
                self.assertEqual([(call["kind"], call["flags"]) for call in initialize], [("endpoint", SYSTEM_FLAGS)])
                self.assertEqual(log.problems(), [])

    def test_set_up_failures_after_the_activation_end_the_run_with_their_message(self):
        cases = [
            # When the fallback fails too, only its message is printed.
            (["ActivateResult=0x80070002", "GetDefaultAudioEndpoint#*=0x80070490"], 2,
             b"Failed to get default audio device: " + status_text(0x80070490)),
            (["SetEventHandle=0x80070006"], 3, b"IAudioClient::SetEventHandle failed: " + status_text(0x80070006)),
        ]
        for fails, exit_code, message in cases:
            with self.subTest(fails=fails):
                code, stdout, stderr, log = run_to_end(self.process_args(), Double(packets=["480"], fails=fails))
                self.assertEqual((code, stderr, stdout), (exit_code, PROCESS_WARNING + message + b"\n", b""))
                self.assertEqual(log.calls_named("Stop"), [])
                self.assertEqual(log.problems(), [])

    def test_ctrl_c_during_the_activation_wait_still_ends_cleanly(self):
        run = DoubleRun(self.process_args(), Double(packets=["480"], complete="after:2000"))
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline and not run.log().calls_named("ActivateAudioInterfaceAsync"):
            time.sleep(0.05)
        run.interrupt()
        self.assertEqual(run.finish(), 0)
        self.assertEqual(bytes(run.stderr), PROCESS_WARNING)
        self.assertEqual(bytes(run.stdout)[:16], header(48000, 2, 2))
        log = run.log()
        # Set up on the client the late completion delivered, not on a fallback.
        self.assertEqual([call["kind"] for call in log.calls_named("Initialize")], ["loopback"])
        self.assertEqual(log.problems(), [])


if __name__ == "__main__":
    unittest.main()
