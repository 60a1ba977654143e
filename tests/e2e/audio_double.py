"""Running the exe against the test double of the Windows audio stack (tests/support).

The double is a mmdevapi.dll that Wine loads instead of its own when it sits in the prefix's
system32 and WINEDLLOVERRIDES has "mmdevapi=n". It reads two variables of the exe's environment:

OAH_DOUBLE_LOG   where to append one line per call, as a Windows path ("Z:" + the unix path).
OAH_DOUBLE       directives separated by ";":
  mix=FORMAT        the default endpoint's mix format (default ext-float,2,48000,32)
  loopmix=FORMAT    the process-loopback client's (default notimpl, as on Windows 10 and 11)
      FORMAT = TAG,CHANNELS,RATE,BITS[,VALID[,MASK]] with TAG pcm | float | ext-pcm | ext-float |
      ext-other; or notimpl (GetMixFormat fails with E_NOTIMPL) or null (S_OK, no format)
  packets=ITEM ...  what the capture client delivers, in order; ITEM = [Nx]idle (one poll that
      finds nothing) or [Nx]FRAMES[:MOD]... with MOD silent | flags=0xF | null (no data pointer) |
      hex=BYTES (repeated to fill) | tone=HZ,AMPLITUDE (in the client's format; integers in
      the low valid bits) | seq (default: byte k of the stream is k mod 256)
  after=idle|repeat what follows the last packet (default idle: nothing more)
  pace=fast|real    fast: a packet is ready at every poll; real: once its frames' duration has
                    passed since Start
  complete=thread|sync|never|after:MS   how the activation's completion is delivered (sync:
                    before ActivateAudioInterfaceAsync returns)
  fail=CALL[#N][=VALUE]   the N-th call (default 1st; "*" every one) of CALL fails with VALUE
      (default 0x80004005). CALL is CoInitializeEx, CoCreateInstance, GetDefaultAudioEndpoint, Activate,
      ActivateAudioInterfaceAsync, GetActivateResult, ActivateResult (the result an activation
      delivers; VALUE noclient delivers an object that is no IAudioClient), GetMixFormat,
      Initialize, GetService, SetEventHandle, Start, GetNextPacketSize, GetBuffer, CreateEventA
      (returns null), WaitForSingleObject (on an event of CreateEventA; VALUE timeout or failed).
"""

import os
import shutil
import subprocess
import tempfile
import threading
import time
import weakref

import harness

SUPPORT_DIR = os.path.join(harness.BUILD_DIR, "tests", "support")
DLL = os.path.join(SUPPORT_DIR, "dll", "mmdevapi.dll")
PROBE = os.path.join(SUPPORT_DIR, "probe.exe")


def packet(frames, data=None, tone=None, silent=False, null=False, flags=None, times=1):
    """One packet item; `data` are bytes repeated to fill the packet, `tone` is (Hz, amplitude)."""
    item = "idle" if frames is None else str(frames)
    if data is not None:
        item += ":hex=" + bytes(data).hex()
    if tone is not None:
        item += ":tone=%g,%g" % tone
    item += ":silent" if silent else ""
    item += ":null" if null else ""
    item += ":flags=%#x" % flags if flags is not None else ""
    return "%dx%s" % (times, item) if times != 1 else item


class Double:
    """The double's behaviour for one run; every keyword is one directive of OAH_DOUBLE."""

    def __init__(self, packets=(), fails=(), **directives):
        self.items = [("packets", " ".join(packets))] if packets else []
        self.items += [("fail", failure) for failure in fails]
        self.items += list(directives.items())

    def environment(self, log_path):
        return {
            "OAH_DOUBLE": ";".join("%s=%s" % item for item in self.items),
            "OAH_DOUBLE_LOG": "Z:" + log_path,
            "WINEDLLOVERRIDES": "mmdevapi=n",
        }


def install(prefix=harness.WINEPREFIX):
    """Puts the double into the prefix's system32; a fresh file, so no process mapping the old one
    sees it change."""
    system32 = os.path.join(prefix, "drive_c", "windows", "system32")
    target = os.path.join(system32, "mmdevapi.dll")
    with open(DLL, "rb") as dll:
        wanted = dll.read()
    if os.path.exists(target):
        with open(target, "rb") as present:
            if present.read() == wanted:
                return
    with open(target + ".new", "wb") as new:
        new.write(wanted)
    os.replace(target + ".new", target)


class Call:
    def __init__(self, line):
        self.line = line
        head, _, result = line.partition(" -> ")
        words = head.split(" ")
        self.name = words[0]
        self.fields = dict(word.split("=", 1) for word in words[1:] if "=" in word)
        self.result = int(result, 16) if result.startswith("0x") else result or None

    def __getitem__(self, key):
        return self.fields[key]

    def __repr__(self):
        return self.line


class Log:
    """The double's record of one process."""

    NOISE = {"AddRef", "Release", "Sleep", "attach"}

    def __init__(self, text):
        self.lines = text.splitlines()
        self.calls = [Call(line) for line in self.lines]

    def calls_named(self, name):
        return [call for call in self.calls if call.name == name]

    def names(self):
        """The calls in order, without reference counting and sleeping."""
        return [call.name for call in self.calls if call.name not in self.NOISE]

    def problems(self):
        """Everything the exe did wrong by the double's book: mismatched calls, references and mix
        formats still held at exit, a missing exit report, any call or reference count change after
        CoUninitialize."""
        found = [call.line for call in self.calls if call.name in ("mismatch", "outstanding")]
        exits = self.calls_named("exit")
        if [call.line for call in exits] != ["exit outstanding=%d" % len(self.calls_named("outstanding"))]:
            found.append("no single exit report: %s" % exits)
        # What the double does on its own (a completion, the exit report) may follow CoUninitialize.
        names = [call.name for call in self.calls if call.name not in
                 ("Sleep", "attach", "ActivateCompleted", "undelivered", "outstanding", "exit")]
        initialised = any(call.result == 0 or call.result == 1 for call in self.calls_named("CoInitializeEx"))
        if initialised and names[-1:] != ["CoUninitialize"]:
            found.append("not last: CoUninitialize (calls end with %s)" % names[-3:])
        if not initialised and "CoUninitialize" in names:
            found.append("CoUninitialize without CoInitializeEx")
        return found


class DoubleRun(harness.Run):
    """harness.Run with the double in place; log() reads what it has recorded so far."""

    def __init__(self, args, double, prefix=harness.WINEPREFIX, read_stdout=True, stdout_closed=False):
        """stdout_closed: the reader is gone before the exe can write anything."""
        install(prefix)
        for attempt in range(harness.STARTS):
            folder = tempfile.mkdtemp(prefix="oah-double-")
            weakref.finalize(self, shutil.rmtree, folder, True)
            self.log_path = os.path.join(folder, "calls.log")
            super().__init__(args, env=double.environment(self.log_path), prefix=prefix,
                             read_stdout=read_stdout and not stdout_closed)
            if stdout_closed:
                self.close_stdout()
            if not self._lost_at_start() or attempt + 1 == harness.STARTS:
                break
            self.finish()
            harness.report_lost_start(args)

    def _lost_at_start(self):
        """The double logs its attach while the exe's imports are set up, before any of the exe's
        own code runs; a process that ends before that never ran the exe at all."""
        while not self.log().lines:
            if self.process.poll() is not None:
                self._readers[0].join(timeout=10)  # stderr
                return harness.lost_at_start(self.process.returncode, b"", self.stderr) and not self.log().lines
            time.sleep(0.005)
        return False

    def log(self):
        if not os.path.exists(self.log_path):
            return Log("")
        with open(self.log_path, encoding="ascii", errors="replace") as log:
            return Log(log.read())


def run_to_end(args, double, timeout=60.0):
    run = DoubleRun(args, double)
    code = run.finish(timeout)
    return code, bytes(run.stdout), bytes(run.stderr), run.log()


def run_until_stdout(args, double, size, timeout=60.0):
    """Ctrl+C once `size` stdout bytes have arrived (or the exe has ended)."""
    run = DoubleRun(args, double)
    run.wait_for_stdout(size, timeout)
    run.interrupt()
    code = run.finish(timeout)
    return code, bytes(run.stdout), bytes(run.stderr), run.log()


def run_probe(args, prefix=harness.WINEPREFIX, env=None, timeout=60.0):
    """The probe program (tests/support/probe.cpp); returns (exit code, stdout)."""
    def once():
        done = subprocess.run([harness.WINE_RUN, "--prefix", prefix, PROBE, *args], env=dict(os.environ, **(env or {})),
                              stdin=subprocess.DEVNULL, capture_output=True, timeout=timeout)
        return done.returncode, done.stdout, done.stderr
    code, stdout, _stderr = harness.started_again_if_lost(once, ["probe", *args])
    return code, stdout


_texts = {}


def status_text(code):
    """What the exe appends for a status code: FormatMessageA's text (as Wine gives it, asked of a
    Windows program) or "Unknown error", then the code."""
    if code not in _texts:
        _code, out = run_probe(["describe=%#x" % code])
        word = out.strip().decode()
        _texts[code] = b"Unknown error" if word == "none" else bytes.fromhex(word)
    return _texts[code] + b" (0x%08x)" % code


def header(rate, channels, sample_format):
    """The 16 bytes that start a stream; sample_format 1 is S16, 2 is F32."""
    return b"OAH1" + rate.to_bytes(4, "little") + channels.to_bytes(2, "little") + \
        sample_format.to_bytes(2, "little") + bytes(4)


def read_bounded(process, read, timeout=60.0):
    """read() on one of the process's pipes, ending the process if nothing comes in time."""
    timer = threading.Timer(timeout, harness.kill, [process])
    timer.start()
    try:
        return read()
    finally:
        timer.cancel()


def window_host():
    """A Windows process with a hidden window, running until its stdin closes; returns
    (process, pid, "window:0x..")."""
    for attempt in range(harness.STARTS):
        host = subprocess.Popen([harness.WINE_RUN, "--prefix", harness.WINEPREFIX, PROBE, "host"],
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        words = read_bounded(host, lambda: host.stdout.readline()).split()
        host.stdout.close()
        if words or host.wait() != 1 or attempt + 1 == harness.STARTS:
            break
        host.stdin.close()
        harness.report_lost_start(["probe", "host"])
    if len(words) != 2:
        host.kill()
        raise AssertionError("the host window did not start: %r" % words)
    return host, int(words[0]), words[1].decode()

