"""Default-endpoint activation against Wine's real audio stack: a prefix that loads no audio
driver, and the test prefix talking to a PulseAudio null sink that this test starts itself."""

import os
import shutil
import subprocess
import tempfile
import time
import unittest

from harness import BUILD_DIR, WINE_RUN, WINEPREFIX

PROBE = os.path.join(BUILD_DIR, "tests", "windows", "source_probe.exe")
# A prefix of its own, so that the driver setting cannot leak into the other tests.
NO_AUDIO_PREFIX = os.path.join(BUILD_DIR, "wine", "prefix-noaudio")


class NullSink:
    """A user-level PulseAudio daemon with one null sink, in a runtime folder of its own."""

    def __init__(self):
        self.folder = tempfile.mkdtemp(prefix="oah-pulse-")
        home = os.path.join(self.folder, "home")
        os.mkdir(home)
        self.socket = os.path.join(self.folder, "pulse", "native")
        self.log_path = os.path.join(self.folder, "pulseaudio.log")
        env = dict(os.environ, XDG_RUNTIME_DIR=self.folder, HOME=home)
        with open(self.log_path, "wb") as log:
            self.process = subprocess.Popen(
                ["pulseaudio", "--daemonize=no", "-n", "--exit-idle-time=-1", "--use-pid-file=no",
                 "--load=module-null-sink sink_name=oah_null",
                 "--load=module-native-protocol-unix auth-anonymous=1"],
                stdin=subprocess.DEVNULL, stdout=log, stderr=log, env=env)
        # The socket appears once the last module has loaded.
        deadline = time.monotonic() + 30
        while not os.path.exists(self.socket):
            if self.process.poll() is not None or time.monotonic() > deadline:
                self.stop()
                raise AssertionError("pulseaudio did not start: " + self.log())
            time.sleep(0.05)

    def log(self):
        with open(self.log_path, "rb") as log:
            return log.read().decode("utf-8", "replace")

    def client_env(self):
        return {"XDG_RUNTIME_DIR": self.folder, "PULSE_SERVER": "unix:" + self.socket}

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        shutil.rmtree(self.folder, ignore_errors=True)


def wine(prefix, args, env=None):
    return subprocess.run([WINE_RUN, "--prefix", prefix, *args],
                          env=dict(os.environ, **(env or {})), stdin=subprocess.DEVNULL,
                          capture_output=True, timeout=300)


def probe_default(prefix, env):
    """(first line, message) from the probe's default-endpoint activation."""
    result = wine(prefix, [PROBE, "default"], env)
    assert result.returncode == 0, "probe failed (%d): %r" % (result.returncode, result.stderr)
    status, _, message = result.stdout.partition(b"\n")
    return status, message


class DefaultEndpointOnWine(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        # An empty Audio value makes Wine load no driver at all, whatever sound server runs.
        added = wine(NO_AUDIO_PREFIX, ["reg", "add", r"HKCU\Software\Wine\Drivers", "/v", "Audio",
                                       "/d", "", "/f"])
        if added.returncode != 0:
            raise AssertionError("reg add failed: %r" % added.stderr)
        cls.sink = NullSink()

    @classmethod
    def tearDownClass(cls):
        cls.sink.stop()
        # The server that the probe runs started for that prefix; the test prefix keeps its own.
        subprocess.run(["wineserver", "-k"], capture_output=True,
                       env=dict(os.environ, WINEPREFIX=os.path.abspath(NO_AUDIO_PREFIX)))

    def test_activates_a_client_on_the_null_sink_and_leaves_the_message_alone(self):
        self.assertEqual(probe_default(WINEPREFIX, self.sink.client_env()),
                         (b"true client", b"untouched"), self.sink.log())

    def test_without_an_audio_driver_there_is_no_default_device(self):
        self.assertEqual(probe_default(NO_AUDIO_PREFIX, self.sink.client_env()),
                         (b"false empty",
                          b"Failed to get default audio device: Element not found.\r\n (0x80070490)"))


if __name__ == "__main__":
    unittest.main()
