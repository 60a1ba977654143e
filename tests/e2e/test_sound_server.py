"""Wine's own audio stack on a real sound server: a PulseAudio daemon of the test's own, with a null
sink. Wine 8 lists the sink as an output but has no loopback capture, so capturing from it is not
tried here; the simulated stack covers capture from a chosen device."""
import json, os, shutil, subprocess, tempfile, time, unittest
from harness import run


class SoundServer(unittest.TestCase):
    def setUp(self):
        # A user-level daemon with a runtime directory and socket of its own, so that it neither
        # meets nor disturbs a server already running. Run as root, PulseAudio warns that it is
        # meant for --system mode and then runs all the same; anonymous clients need no cookie.
        home = tempfile.mkdtemp(prefix="oah-pulse-")
        self.addCleanup(shutil.rmtree, home, ignore_errors=True)
        socket = os.path.join(home, "native")
        server = subprocess.Popen(
            [
                "pulseaudio",
                "-n",
                "--daemonize=no",
                "--exit-idle-time=-1",
                "--use-pid-file=no",
                "-L",
                "module-null-sink",
                "-L",
                "module-native-protocol-unix socket=%s auth-anonymous=1" % socket,
            ],
            env=dict(os.environ, HOME=home, XDG_RUNTIME_DIR=home, XDG_CONFIG_HOME=home),
            stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL,
        )
        self.addCleanup(lambda: (server.terminate(), server.wait(10)))
        # The socket appears once the modules are loaded, the null sink first.
        deadline = time.monotonic() + 15
        while not os.path.exists(socket) and server.poll() is None and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertTrue(
            os.path.exists(socket), "PulseAudio did not start (exit code %s)" % server.poll()
        )
        self.env = dict(os.environ, PULSE_SERVER="unix:" + socket)

    def test_lists_the_null_sink_and_exactly_one_default_as_json_lines(self):
        r = run(["--list-devices", "--mode=test-silence"], env=self.env)  # the list wins
        self.assertEqual(
            (r.code, r.err, r.out[-2:], r.out.count(b"\r")), (0, b"", b"}\n", 0), r.out
        )
        devices = [json.loads(line) for line in r.out.decode("utf-8").split("\n")[:-1]]
        self.assertEqual(
            [sorted(device) for device in devices], [["default", "id", "name"]] * len(devices)
        )
        self.assertEqual([device["name"] for device in devices].count("Null Output"), 1, devices)
        self.assertEqual([device["default"] for device in devices].count(True), 1, devices)
