"""Runs the built exe under Wine through real pipes, with the simulated audio stack of tests/support
in place of Windows' when a test configures it. Debian's Wine now and then loses a start (exit 1,
nothing printed) or kills a process after it ended (SIGKILL): such a run is made once more, and
said so."""
import os, re, shutil, signal, struct, subprocess, sys, tempfile, threading, time

EXE, PREFIX, BUILD = (
    os.environ["OAH_EXE"],
    os.environ["OAH_WINEPREFIX"],
    os.environ["OAH_BUILD_DIR"],
)
NOTE = b"[ostrel-audio-helper] "
WARN = {
    "system": b"",
    "process": NOTE + b"Process loopback may be unsupported on this Windows build (7601).\n",
    "exclude": NOTE + b"Exclude-pid loopback may be unsupported on this Windows build (7601).\n",
}
ARGS = {
    "system": [],
    "process": ["--mode=process", "--pid=1234"],
    "exclude": ["--exclude-pid=1234"],
}
USAGE = (
    b"ostrel-audio-helper --mode=system|window|process|test-silence [--window-id=<id>] "
    b"[--pid=<pid>] [--exclude-pid=<pid>] [--rate=48000] [--channels=2] [--chunk=960] "
    b"[--format=f32|s16]\n"
)
_dll = os.path.join(PREFIX, "drive_c", "windows", "system32", "mmdevapi.dll")
shutil.copy(os.path.join(BUILD, "tests", "support", "dll", "mmdevapi.dll"), _dll + ".new")
os.replace(_dll + ".new", _dll)  # a new file: a process mapping the old one never sees it change


def header(rate, channels, sample_format):
    return b"OAH1" + struct.pack("<IHHI", rate, channels, sample_format, 0)


def left_channel(stream, sample_format="f"):
    """The first channel's samples of a stereo stream after its header."""
    frame = "<" + sample_format * 2
    return [sample for sample, _ in struct.iter_unpack(frame, stream[16:])]


def frequency(samples, rate):
    """From the first to the last rising zero crossing, each placed between its two samples."""
    crossings = [
        at + samples[at] / (samples[at] - samples[at + 1])
        for at in range(len(samples) - 1)
        if samples[at] < 0 <= samples[at + 1]
    ]
    return (len(crossings) - 1) * rate / (crossings[-1] - crossings[0])


def longest_zeros(samples):
    longest = length = 0
    for sample in samples:
        length = length + 1 if sample == 0 else 0
        longest = max(longest, length)
    return longest


def seq(size, start=0):
    """The double's default audio: byte k of all it hands out is k mod 256."""
    return bytes((start + k) & 255 for k in range(size))


class Run:
    def __init__(self, args, read=True, stdin=subprocess.DEVNULL, env=None, **double):
        self.log_path, env = tempfile.mktemp(prefix="oah-double-"), dict(env or os.environ)
        if double:
            env.update(
                WINEDLLOVERRIDES="mmdevapi=n",
                OAH_DOUBLE_LOG="Z:" + self.log_path,
                OAH_DOUBLE=";".join(
                    "%s=%s" % (k, " ".join(map(str, v)) if isinstance(v, list) else v)
                    for k, v in double.items()
                ),
            )
        self.p = subprocess.Popen(
            [os.environ["OAH_WINE_RUN"], "--prefix", PREFIX, EXE, *args],
            env=env,
            stdin=stdin,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
        )
        self.out, self.err, self.log = bytearray(), bytearray(), []
        pipes = [(self.p.stderr, self.err)]
        if read:
            pipes.append((self.p.stdout, self.out))
        self.readers = []
        for pipe in pipes:
            reader = threading.Thread(target=self.drain, args=pipe, daemon=True)
            reader.start()
            self.readers.append(reader)

    def drain(self, pipe, into):
        for block in iter(lambda: pipe.read1(65536), b""):
            into += block

    def wait_for(self, ready, timeout=30):
        deadline = time.monotonic() + timeout
        while not ready() and self.p.poll() is None and time.monotonic() < deadline:
            time.sleep(0.005)

    def wait_out(self, size):
        self.wait_for(lambda: len(self.out) >= size)

    def take(self, size):
        """Reads `size` bytes of stdout, then closes it: a reader that goes away."""
        self.out += self.p.stdout.read(size) if size else b""
        self.p.stdout.close()

    def interrupt(self):
        self.p.send_signal(signal.SIGINT)  # Wine turns it into CTRL_C_EVENT

    def finish(self, timeout=60):
        try:
            self.code = self.p.wait(timeout)
        except subprocess.TimeoutExpired:
            self.p.kill()
            raise AssertionError("the exe did not end within %d s" % timeout)
        for reader in self.readers:
            reader.join(10)
        if os.path.exists(self.log_path):
            with open(self.log_path) as log:
                self.log = log.read().splitlines()
            os.unlink(self.log_path)
        self.out, self.err = bytes(self.out), bytes(self.err)

    def problems(self):
        """Mismatches with the platform's rules and what was held at exit, as the double saw."""
        found = [line for line in self.log if not line.startswith("exit ")]
        if len(found) == len(self.log):
            found.append("no exit report")
        return found

    def frames(self, field="frames"):
        """A count from the double's exit report; 0 without one."""
        found = [
            re.search(field + r"=(\d+)", line) for line in self.log if line.startswith("exit ")
        ]
        return int(found[0].group(1)) if found else 0


def run(args, act=None, **options):
    """Runs the exe once, doing act(run) meanwhile; again when Wine lost the run."""
    for attempt in range(3):
        r = Run(args, **options)
        if act is not None:
            act(r)
        r.finish()
        if attempt == 2 or not (
            r.code == -signal.SIGKILL or (r.code == 1 and not r.out and not r.err)
        ):
            return r
        sys.stderr.write("harness: Wine lost the run of %s; running it again\n" % args)


def after(size, *steps):
    """An act: once `size` stdout bytes have come, each step (Run.interrupt, ...) in turn."""

    def act(r):
        r.wait_out(size)
        for step in steps:
            step(r)

    return act
