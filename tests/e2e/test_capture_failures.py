"""How a capture of the system mix ends when a platform call fails: exit code, the exact message,
what reached stdout, and that everything taken was given back (the double's log)."""

import unittest

from audio_double import Double, DoubleRun, header, read_bounded, run_to_end, run_until_stdout, status_text

E_FAIL = 0x80004005
NOT_FOUND = 0x80070490
DEVICE_INVALIDATED = 0x88890004
HEADER = header(48000, 2, 2)
PACKET = 480 * 2 * 4  # one 480-frame packet as float stereo


class SetUpFailures(unittest.TestCase):
    def test_each_failing_call_ends_the_run_with_its_message_and_code(self):
        cases = [
            ("CoInitializeEx", E_FAIL, b"CoInitializeEx failed: ", 2),
            ("CoCreateInstance", E_FAIL, b"Failed to create MMDeviceEnumerator: ", 2),
            ("GetDefaultAudioEndpoint", NOT_FOUND, b"Failed to get default audio device: ", 2),
            ("Activate", E_FAIL, b"Failed to activate default audio device: ", 2),
            ("GetMixFormat", DEVICE_INVALIDATED, b"GetMixFormat failed: ", 3),
            # The call succeeds but gives no format, so its status is what the message carries.
            (None, 0, b"GetMixFormat failed: ", 3),
            ("Initialize", 0x88890008, b"IAudioClient::Initialize failed: ", 3),
            ("GetService", 0x88890003, b"Failed to get IAudioCaptureClient: ", 3),
            ("Start", E_FAIL, b"IAudioClient::Start failed: ", 3),
        ]
        for call, status, prefix, exit_code in cases:
            with self.subTest(call=call):
                double = Double(packets=["480"], fails=["%s=%#x" % (call, status)]) if call else Double(mix="null")
                code, stdout, stderr, log = run_to_end([], double)
                self.assertEqual(code, exit_code)
                self.assertEqual(stderr, prefix + status_text(status) + b"\n")
                self.assertEqual(stdout, b"")
                self.assertEqual(log.calls_named("Stop"), [])
                self.assertEqual(log.problems(), [])

    def test_a_reader_gone_before_the_start_fails_the_header(self):
        run = DoubleRun([], Double(packets=["480"]), stdout_closed=True)
        self.assertEqual(run.finish(), 4)
        self.assertEqual(bytes(run.stderr), b"stdout closed while writing header\n")
        self.assertEqual(run.log().problems(), [])


class StreamFailures(unittest.TestCase):
    def test_a_failing_capture_call_ends_the_stream_after_what_was_delivered(self):
        cases = [
            ("GetNextPacketSize", E_FAIL, b"GetNextPacketSize failed: ", False),
            ("GetNextPacketSize#3", DEVICE_INVALIDATED, b"GetNextPacketSize failed: ", True),
            ("GetBuffer", E_FAIL, b"GetBuffer failed: ", False),
            ("GetBuffer#2", DEVICE_INVALIDATED, b"GetBuffer failed: ", True),
        ]
        for failure, status, prefix, packets_before in cases:
            with self.subTest(failure=failure):
                double = Double(packets=["480"], after="repeat", fails=["%s=%#x" % (failure, status)])
                code, stdout, stderr, log = run_to_end([], double)
                self.assertEqual(code, 4)
                self.assertEqual(stderr, prefix + status_text(status) + b"\n")
                released = len([call for call in log.calls_named("ReleaseBuffer") if call.result == 0])
                # Float stereo goes out unchanged: the double's byte sequence.
                self.assertEqual(stdout, HEADER + bytes(k & 0xFF for k in range(released * PACKET)))
                self.assertEqual(released > 0, packets_before)
                self.assertEqual(len(log.calls_named("Stop")), 1)
                self.assertEqual(log.problems(), [])

    def test_a_reader_gone_mid_stream_fails_the_audio_and_the_packet_is_given_back(self):
        run = DoubleRun([], Double(packets=["480"], after="repeat"), read_stdout=False)
        self.assertEqual(len(read_bounded(run.process, lambda: run.process.stdout.read(16 + 4 * PACKET))),
                         16 + 4 * PACKET)
        run.close_stdout()
        self.assertEqual(run.finish(), 4)
        self.assertEqual(bytes(run.stderr), b"stdout closed while writing audio\n")
        log = run.log()
        self.assertEqual(log.problems(), [])
        after_last_buffer = log.names()[len(log.names()) - log.names()[::-1].index("GetBuffer"):]
        self.assertEqual(after_last_buffer[:2], ["ReleaseBuffer", "Stop"])

    def test_ctrl_c_ends_with_code_0_and_nothing_on_stderr(self):
        code, stdout, stderr, log = run_until_stdout([], Double(packets=["480"], after="repeat"), 16 + 3 * PACKET)
        self.assertEqual((code, stderr), (0, b""))
        self.assertEqual(stdout[:16], HEADER)
        self.assertEqual(log.problems(), [])


if __name__ == "__main__":
    unittest.main()
