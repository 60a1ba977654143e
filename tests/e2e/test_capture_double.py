"""The audio-stack double itself, driven by the probe program (tests/support/double_probe.cpp):
the exe's tests are only as good as the double's eye for faults."""

import unittest

from audio_double import Double, packet, run_probe


class DoubleDelivers(unittest.TestCase):
    def test_packets_arrive_as_directed_and_a_tidy_caller_leaves_a_clean_log(self):
        double = Double(packets=[packet(3, data=b"\x0a\x00"), packet(None), packet(2)], mix="pcm,1,16000,16")
        code, stdout, log = run_probe(["system", "packets=2"], double)
        self.assertEqual(code, 0)
        self.assertEqual(stdout, b"\x0a\x00" * 3 + bytes(range(4)))
        self.assertEqual(log.problems(), [])
        self.assertEqual(log.calls_named("Initialize")[0]["tag"], "0x1")

    def test_process_loopback_records_the_request_and_accepts_a_format_of_the_callers(self):
        code, stdout, log = run_probe(["process", "packets=1"], Double(packets=["2:hex=01020304"]))
        self.assertEqual(code, 0)
        self.assertEqual(stdout, bytes.fromhex("01020304") * 4)
        activation = log.calls_named("ActivateAudioInterfaceAsync")[0]
        self.assertEqual((activation["path"], activation["size"], activation["type"], activation["mode"],
                          activation["agile"]), ("VAD\\Process_Loopback", "12", "1", "0", "1"))
        self.assertEqual(log.calls_named("GetMixFormat")[0].result, 0x80004001)
        init = log.calls_named("Initialize")[0]
        self.assertEqual((init["kind"], init["flags"], init["sub"], init["align"]),
                         ("loopback", "0x00060000", "float", "8"))
        self.assertEqual(log.problems(), [])

    def test_real_time_pacing_makes_the_reader_wait_between_packets(self):
        for pace, waits in (("fast", False), ("real", True)):
            with self.subTest(pace=pace):
                # Half a second per packet: far longer than the probe takes to poll after Start.
                code, _stdout, log = run_probe(["system", "packets=2"], Double(packets=["2x24000"], pace=pace))
                self.assertEqual(code, 0)
                empty = [call for call in log.calls_named("GetNextPacketSize") if call["frames"] == "0"]
                self.assertEqual(bool(empty), waits)


class DoubleNotices(unittest.TestCase):
    def test_misuse_by_the_caller_is_reported(self):
        cases = [
            ("leak", "outstanding IAudioCaptureClient#1 refs=1"),
            ("badrelease", "mismatch ReleaseBuffer frames=240 handed=480"),
            ("heldbuffer", "mismatch GetBuffer while 480 frames are held"),
        ]
        for flag, problem in cases:
            with self.subTest(flag=flag):
                code, _stdout, log = run_probe(["system", "packets=1", flag], Double(packets=["480"]))
                self.assertEqual(code, 0)
                self.assertIn(problem, log.problems())

    def test_injected_failures_reach_the_caller(self):
        # The probe's exit code names the step that failed.
        cases = [
            ("system", "CoInitializeEx", 10),
            ("system", "CoCreateInstance", 21),
            ("system", "GetMixFormat", 24),
            ("system", "GetNextPacketSize", 41),
            ("process", "ActivateAudioInterfaceAsync", 11),
            ("process", "CreateEventA", 12),
            ("process", "WaitForSingleObject=failed", 12),
            ("process", "ActivateResult=0x80070002", 13),
            ("process", "ActivateResult=noclient", 14),
            ("process", "SetEventHandle", 32),
        ]
        for mode, failure, step in cases:
            with self.subTest(failure=failure):
                code, _stdout, log = run_probe([mode], Double(packets=["480"], fails=[failure]))
                self.assertEqual(code, step)
                self.assertEqual(log.problems(), [])


if __name__ == "__main__":
    unittest.main()
