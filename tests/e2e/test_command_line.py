"""The exe's command line and silence source, through real pipes under Wine."""

import time
import unittest

from harness import USAGE, Run, run_to_end, run_until_stdout


class Refusals(unittest.TestCase):
    def test_refused_command_lines_write_only_to_stderr_and_exit_1(self):
        cases = [
            (["--help"], USAGE),
            (["--mode=test-silence", "--format=F32"], b"Unknown format: F32\n" + USAGE),
            (["--format="], b"Unknown format: \n" + USAGE),
            (["--format=bad", "--help"], b"Unknown format: bad\n" + USAGE),
            (["--channels=0"], b"Unsupported channel count: 0\n" + USAGE),
            (["--mode=test-silence", "--chunk=-1"],
             b"Unsupported silence chunk: -1 frames of 2 channels (-2 samples)\n" + USAGE),
        ]
        for args, expected_stderr in cases:
            with self.subTest(args=args):
                code, stdout, stderr = run_to_end(args)
                self.assertEqual(code, 1)
                self.assertEqual(stdout, b"")
                self.assertEqual(stderr, expected_stderr)


class SilenceSource(unittest.TestCase):
    def test_streams_whole_zero_chunks_until_ctrl_c(self):
        cases = [
            (["--mode=test-silence"], 7680),
            (["--mode=test-silence", "--format=s16", "--channels=1", "--chunk=480"], 960),
            # Unknown arguments are dropped and the last --mode wins.
            (["--mode=system", "-h", "--help=1", "--mode=test-silence", "--rate=1"], 7680),
        ]
        for args, chunk_bytes in cases:
            with self.subTest(args=args):
                code, stdout, stderr = run_until_stdout(args, 5 * chunk_bytes)
                self.assertEqual(code, 0)
                self.assertEqual(stderr, b"")
                self.assertGreaterEqual(len(stdout), 5 * chunk_bytes)
                self.assertEqual(len(stdout) % chunk_bytes, 0)
                self.assertEqual(stdout.count(0), len(stdout), "only zero bytes, never a header")

    def test_empty_chunk_idles_until_stopped(self):
        run = Run(["--mode=test-silence", "--chunk=0"])
        time.sleep(1.0)
        self.assertIsNone(run.process.poll(), "still running")
        run.interrupt()
        self.assertEqual(run.finish(), 0)
        self.assertEqual(bytes(run.stdout), b"")
        self.assertEqual(bytes(run.stderr), b"")

    def test_a_closed_pipe_goes_unnoticed_until_the_stop(self):
        run = Run(["--mode=test-silence"], read_stdout=False)
        self.assertEqual(len(run.process.stdout.read(7680)), 7680)
        run.close_stdout()
        time.sleep(0.5)
        self.assertIsNone(run.process.poll(), "a failed write does not end the silence source")
        run.interrupt()
        self.assertEqual(run.finish(), 0)
        self.assertEqual(bytes(run.stderr), b"")


if __name__ == "__main__":
    unittest.main()
