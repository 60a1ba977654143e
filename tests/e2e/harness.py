"""Starting the built exe under Wine with real pipes, and reading what it leaves behind."""

import os
import signal
import subprocess
import sys
import threading
import time

EXE = os.environ["OAH_EXE"]
WINE_RUN = os.environ["OAH_WINE_RUN"]
WINEPREFIX = os.environ["OAH_WINEPREFIX"]
BUILD_DIR = os.environ["OAH_BUILD_DIR"]

USAGE = (
    b"ostrel-audio-helper --mode=system|window|process|test-silence [--window-id=<id>] "
    b"[--pid=<pid>] [--exclude-pid=<pid>] [--rate=48000] [--channels=2] [--chunk=960] "
    b"[--format=f32|s16]\n"
)


# Debian's Wine has no preloader to keep its fixed Windows addresses free from the kernel's address
# randomisation, so about one start in a few thousand fails before any Windows code runs: exit code
# 1, nothing on either stream ("failed to map the shared user data" under WINEDEBUG=err+all). The
# exe never ends that way (its code 1 always comes with the usage line), so such a run is started
# again, and said so on the test's own stderr.
STARTS = 3


def lost_at_start(code, stdout, stderr):
    return code == 1 and not stdout and not stderr


def report_lost_start(args):
    sys.stderr.write("harness: Wine lost the start of %s; starting it again\n" % (" ".join(args) or "a run without arguments"))


def started_again_if_lost(run_once, args):
    """run_once() runs the program once and returns (code, stdout, stderr, ...); the outcome of
    the first run that Wine did not lose at its start."""
    for attempt in range(STARTS):
        outcome = run_once()
        if not lost_at_start(*outcome[:3]) or attempt + 1 == STARTS:
            return outcome
        report_lost_start(args)


# Wine's server kills a process with SIGKILL when its Unix side is still there a second after its
# last thread has ended, which a stalled host (or a Ctrl+C thread racing the exit) now and then
# brings about: once in some ten thousand runs here. Such a run's exit code is lost, so the
# sweeps run the case again. Kills by the harness itself are marked and never count.
def kill(process):
    process.killed_by_harness = True
    process.kill()


def killed_by_wine(process):
    return process.returncode == -signal.SIGKILL and not getattr(process, "killed_by_harness", False)


def once_more_if_killed_by_wine(attempt, name):
    """attempt() runs one case and returns (process, outcome); the outcome of the run that counts."""
    process, outcome = attempt()
    if killed_by_wine(process):
        sys.stderr.write("harness: Wine killed the run of %s after it ended; running it again\n" % (name,))
        process, outcome = attempt()
    return outcome


class Run:
    """One process of the exe; stdout and stderr are drained by threads as it runs."""

    def __init__(self, args, env=None, prefix=WINEPREFIX, read_stdout=True):
        full_env = dict(os.environ)
        full_env.update(env or {})
        self.process = subprocess.Popen(
            [WINE_RUN, "--prefix", prefix, EXE, *args],
            stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            env=full_env,
        )
        self.stdout = bytearray()
        self.stderr = bytearray()
        self._lock = threading.Lock()
        self._readers = [threading.Thread(target=self._drain, args=(self.process.stderr, self.stderr))]
        if read_stdout:
            self._readers.append(threading.Thread(target=self._drain, args=(self.process.stdout, self.stdout)))
        for reader in self._readers:
            reader.daemon = True
            reader.start()

    def _drain(self, stream, into):
        while True:
            block = stream.read1(65536)
            if not block:
                break
            with self._lock:
                into.extend(block)

    def stdout_size(self):
        with self._lock:
            return len(self.stdout)

    def wait_for_stdout(self, size, timeout=60.0):
        """Waits until at least `size` bytes have arrived on stdout; False on time-out or exit."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.stdout_size() >= size:
                return True
            if self.process.poll() is not None:
                return self.stdout_size() >= size
            time.sleep(0.01)
        return False

    def wait_for_stderr(self, text, timeout=60.0):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            with self._lock:
                if text in self.stderr:
                    return True
            if self.process.poll() is not None:
                break
            time.sleep(0.01)
        with self._lock:
            return text in self.stderr

    def close_stdout(self):
        """Closes our end of the stdout pipe, as a parent that stops reading would."""
        self.process.stdout.close()

    def interrupt(self):
        """Ctrl+C: Wine turns SIGINT into CTRL_C_EVENT."""
        self.process.send_signal(signal.SIGINT)

    def finish(self, timeout=60.0):
        """Waits for the exit and the end of both streams; returns the exit code."""
        try:
            code = self.process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            kill(self.process)
            self.process.wait()
            raise AssertionError("the exe did not end within %.0f s" % timeout)
        for reader in self._readers:
            reader.join(timeout=10)
        for stream in (self.process.stdout, self.process.stderr):
            if not stream.closed:
                stream.close()
        return code


def run_to_end(args, env=None, timeout=60.0):
    def once():
        run = Run(args, env=env)
        return run.finish(timeout), bytes(run.stdout), bytes(run.stderr)
    return started_again_if_lost(once, args)


def run_until_stdout(args, size, env=None, timeout=60.0):
    """Starts the exe, waits for `size` stdout bytes, sends Ctrl+C and waits for the exit."""
    def once():
        run = Run(args, env=env)
        arrived = run.wait_for_stdout(size, timeout)
        run.interrupt()
        return run.finish(timeout), bytes(run.stdout), bytes(run.stderr), arrived
    code, stdout, stderr, arrived = started_again_if_lost(once, args)
    if not arrived:
        raise AssertionError("only %d of %d bytes arrived; stderr: %r" % (len(stdout), size, stderr))
    return code, stdout, stderr
