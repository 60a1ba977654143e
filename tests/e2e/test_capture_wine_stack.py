"""The exe against Wine's own audio stack, which has devices but no loopback capture: how far a run
gets, and that it ends with the right message; and the exe's default-endpoint activation on its
own, run by the probe program."""

import os
import shutil
import subprocess
import tempfile
import time
import unittest

import harness
from audio_double import run_probe, status_text, window_host
from test_capture_process import FALLBACK_NOTICE, PROCESS_WARNING

NO_AUDIO_PREFIX = os.path.join(harness.BUILD_DIR, "wine", "no-audio-prefix")


def wine_run(prefix, *args):
    subprocess.run([harness.WINE_RUN, "--prefix", prefix, *args], stdin=subprocess.DEVNULL,
                   capture_output=True, timeout=300, check=True)


class WithoutAudioDriver(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        # An empty Audio value loads no driver: no device, whatever sound server is running.
        if not os.path.exists(os.path.join(NO_AUDIO_PREFIX, ".no-audio")):
            wine_run(NO_AUDIO_PREFIX, "reg", "add", "HKCU\\Software\\Wine\\Drivers", "/v", "Audio", "/d", "", "/f")
            open(os.path.join(NO_AUDIO_PREFIX, ".no-audio"), "w").close()

    @classmethod
    def tearDownClass(cls):
        subprocess.run(["wineserver", "-k"], env=dict(os.environ, WINEPREFIX=NO_AUDIO_PREFIX), timeout=60)

    def test_no_default_device_ends_with_code_2(self):
        run = harness.Run(["--mode=system"], prefix=NO_AUDIO_PREFIX)
        self.assertEqual(run.finish(timeout=120), 2)
        self.assertEqual(bytes(run.stderr), b"Failed to get default audio device: Element not found.\r\n (0x80070490)\n")
        self.assertEqual(bytes(run.stdout), b"")

    def test_the_default_endpoint_activation_leaves_no_client_and_says_why(self):
        self.assertEqual(run_probe(["default"], prefix=NO_AUDIO_PREFIX),
                         (0, b"false empty\nFailed to get default audio device: Element not found.\r\n (0x80070490)"))


class WithNullSink(unittest.TestCase):
    """A PulseAudio server of the test's own with a null sink gives Wine a default render device."""

    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp(prefix="oah-pulse-")
        runtime = os.path.join(cls.folder, "run")
        os.mkdir(runtime, 0o700)
        cls.env = {"XDG_RUNTIME_DIR": runtime, "HOME": cls.folder}
        cls.server = subprocess.Popen(
            ["pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--load=module-null-sink",
             "--load=module-native-protocol-unix"],
            env=dict(os.environ, **cls.env), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL)
        socket = os.path.join(runtime, "pulse", "native")
        deadline = time.monotonic() + 30
        while not os.path.exists(socket) and cls.server.poll() is None and time.monotonic() < deadline:
            time.sleep(0.05)
        if not os.path.exists(socket):
            cls.tearDownClass()
            raise AssertionError("the PulseAudio server did not start")

    @classmethod
    def tearDownClass(cls):
        cls.server.terminate()
        try:
            cls.server.wait(timeout=10)
        except subprocess.TimeoutExpired:
            cls.server.kill()
            cls.server.wait()
        shutil.rmtree(cls.folder, ignore_errors=True)

    def test_the_default_endpoint_activation_gives_a_client_and_leaves_the_message_alone(self):
        self.assertEqual(run_probe(["default"], env=self.env), (0, b"true client\nuntouched"))

    def test_the_capture_service_is_refused_and_the_run_ends_with_code_3(self):
        host, pid, _window = window_host()
        try:
            cases = [(["--mode=system"], b""),
                     (["--mode=process", "--pid=%d" % pid], PROCESS_WARNING + FALLBACK_NOTICE)]
            for args, notices in cases:
                with self.subTest(args=args):
                    run = harness.Run(args, env=self.env)
                    self.assertEqual(run.finish(timeout=120), 3)
                    self.assertEqual(bytes(run.stderr),
                                     notices + b"Failed to get IAudioCaptureClient: " + status_text(0x88890003) + b"\n")
                    self.assertEqual(bytes(run.stdout), b"")
        finally:
            host.stdin.close()
            host.wait(timeout=30)


if __name__ == "__main__":
    unittest.main()
