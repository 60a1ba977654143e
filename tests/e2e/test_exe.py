"""The exe as a file and its command line, the silence source, and Wine's own audio stack."""
import os, struct, subprocess, unittest
from harness import EXE, USAGE, Run, after, run

VERSION = os.environ["OAH_VERSION"]


class CommandLine(unittest.TestCase):
    def test_refused_command_lines_write_only_their_reason_and_the_usage_line(self):
        for args, reason in [(["--help"], b""), (["--format=x"], b"Unknown format: x\n")]:
            with self.subTest(args=args):
                r = run(args)
                self.assertEqual((r.code, r.out, r.err), (1, b"", reason + USAGE))

    def test_version_comes_before_every_other_option_and_opens_no_device(self):
        no_driver = dict(os.environ, WINEDLLOVERRIDES="winepulse.drv=d")  # a capture ends with 2
        line = b"ostrel-audio-helper %s\n" % VERSION.encode()
        for args in [["--version"], ["--help", "--version"], ["--format=bad", "--version"]]:
            with self.subTest(args=args):
                r = run(args, env=no_driver)
                self.assertEqual((r.code, r.out, r.err), (0, line, b""))

    def test_silence_streams_whole_zero_chunks_until_ctrl_c(self):
        for args, chunk in [([], 7680), (["--format=s16", "--channels=1", "--chunk=480"], 960)]:
            with self.subTest(args=args):
                r = run(["--mode=test-silence", *args], after(5 * chunk, Run.interrupt))
                self.assertEqual(
                    (r.code, r.err, len(r.out) % chunk, r.out.count(0)), (0, b"", 0, len(r.out))
                )
                self.assertGreaterEqual(len(r.out), 5 * chunk)

    def test_without_an_audio_driver_the_run_ends_with_code_2(self):
        r = run([], env=dict(os.environ, WINEDLLOVERRIDES="winepulse.drv=d"))
        self.assertEqual((r.code, r.out), (2, b""))
        self.assertTrue(
            r.err.endswith(
                b"Failed to get default audio device: Element not found.\r\n (0x80070490)\n"
            ),
            r.err,
        )


class Executable(unittest.TestCase):
    def test_imports_only_dlls_that_ship_with_windows(self):
        dump = subprocess.run(
            [os.environ["OAH_OBJDUMP"], "-p", EXE], capture_output=True, text=True, check=True
        ).stdout
        imported = {
            line.split(":")[1].strip().lower() for line in dump.splitlines() if "DLL Name:" in line
        }
        self.assertLessEqual(
            imported, {"kernel32.dll", "msvcrt.dll", "ole32.dll", "user32.dll", "mmdevapi.dll"}
        )

    def test_runs_as_invoker_names_the_product_and_its_version_and_has_no_debug_sections(self):
        data = open(EXE, "rb").read()
        self.assertNotIn(b".debug_", data)
        texts = ("VS_VERSION_INFO", "ProductName", VERSION + "\0", VERSION + ".0\0")
        for wanted in [b'level="asInvoker"', *(t.encode("utf-16-le") for t in texts)]:
            self.assertIn(wanted, data)

    def test_version_resource_numbers_are_the_project_version(self):
        data = open(EXE, "rb").read()
        fixed = data.index(struct.pack("<I", 0xFEEF04BD))  # VS_FIXEDFILEINFO's signature
        major, minor, patch = map(int, VERSION.split("."))
        numbers = struct.unpack_from("<4I", data, fixed + 8)  # file, then product version
        self.assertEqual(numbers, ((major << 16) | minor, patch << 16) * 2)
