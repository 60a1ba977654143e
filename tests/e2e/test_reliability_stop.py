"""Stop and pipe behaviour under load: Ctrl+C at random moments of a capture (during the activation
wait, between real-time packets, while a write is blocked on a full pipe) must end cleanly with a
stream of whole frames; a reader that goes away at a random point must end the run with code 4,
every packet given back. Runs are random but reproducible: OAH_STRESS_SEED picks the draw (printed),
OAH_STRESS_RUNS how many of each group, OAH_STRESS_ONLY=group:index reruns one case."""

import concurrent.futures
import os
import random
import time
import unittest

import harness
from audio_double import Double, DoubleRun, header, install, read_bounded
from test_reliability_faults import ARGS, WARNING, sequence

SEED = int(os.environ.get("OAH_STRESS_SEED", "4242"))
RUNS = int(os.environ.get("OAH_STRESS_RUNS", "200"))
ONLY = os.environ.get("OAH_STRESS_ONLY", "")
RATE = 48000
FORMATS = {"f32": (2, 4), "s16": (1, 2)}  # header code, bytes per sample
HEADER_GONE, AUDIO_GONE = b"stdout closed while writing header\n", b"stdout closed while writing audio\n"


def draw(group, index):
    """The case's random choices, from the seed, the group and the index alone."""
    rng = random.Random("%d:%s:%d" % (SEED, group, index))
    case = {"mode": rng.choice(sorted(ARGS)), "format": rng.choice(sorted(FORMATS)), "channels": rng.choice([1, 2])}
    if group == "stop":
        case["moment"] = ["activation wait", "between packets", "blocked write"][index % 3]
        if case["moment"] == "activation wait":
            case.update(mode=rng.choice(["process", "exclude"]), completion_ms=rng.randint(10, 300))
            case["interrupt_ms"] = rng.randint(0, case["completion_ms"])
        elif case["moment"] == "between packets":
            case.update(frames=rng.choice([48, 96, 120, 441, 480]), interrupt_ms=rng.randint(0, 300))
        else:
            case.update(idle_ms=rng.randint(20, 250), drain_after_ms=rng.randint(0, 100))
    else:
        case["read"] = rng.choice([0, rng.randint(1, 15), rng.randint(16, 4096), rng.randint(4096, 400000)])
    return case


def wait_until(condition, timeout=20.0):
    deadline = time.monotonic() + timeout
    while not condition() and time.monotonic() < deadline:
        time.sleep(0.01)


def start(case, stdout_closed=False, **directives):
    args = ARGS[case["mode"]] + ["--format=" + case["format"], "--channels=%d" % case["channels"]]
    double = Double(packets=["%d" % case.get("frames", 480)], after="repeat", **directives)
    return DoubleRun(args, double, read_stdout=False, stdout_closed=stdout_closed)


def drain(run):
    return read_bounded(run.process, run.process.stdout.read)


def stop_run(case):
    """Ctrl+C at the case's moment; the stream read to its end."""
    if case["moment"] == "activation wait":
        run = start(case, complete="after:%d" % case["completion_ms"])
        wait_until(lambda: run.log().calls_named("ActivateAudioInterfaceAsync"))
        time.sleep(case["interrupt_ms"] / 1000)
        run.interrupt()
        stdout = drain(run)
    elif case["moment"] == "between packets":
        run = start(case, pace="real")
        stdout = read_bounded(run.process, lambda: run.process.stdout.read(16))
        time.sleep(case["interrupt_ms"] / 1000)
        run.interrupt()
        stdout += drain(run)
    else:  # the reader takes the header, then nothing while the 64 KiB pipe fills and the write blocks
        run = start(case)
        stdout = read_bounded(run.process, lambda: run.process.stdout.read(16))
        time.sleep(case["idle_ms"] / 1000)
        run.interrupt()
        time.sleep(case["drain_after_ms"] / 1000)
        stdout += drain(run)
    return run, stdout, 0, WARNING[case["mode"]]


def pipe_close_run(case):
    """The reader takes `read` bytes and closes its end."""
    if not case["read"]:
        return start(case, stdout_closed=True), b"", 4, WARNING[case["mode"]]
    run = start(case)
    stdout = read_bounded(run.process, lambda: run.process.stdout.read(case["read"]))
    run.close_stdout()
    return run, stdout, 4, WARNING[case["mode"]]


def check(group, index):
    """Runs one case; what differs from the expectation, as a list of lines."""
    case = draw(group, index)
    run, stdout, code, stderr = (stop_run if group == "stop" else pipe_close_run)(case)
    try:
        exit_code = run.finish(timeout=30)
    except AssertionError as hang:
        return run.process, (case, [str(hang)])
    log, sample_format = run.log(), FORMATS[case["format"]]
    frame = case["channels"] * sample_format[1]
    released = sum(int(call["frames"]) for call in log.calls_named("ReleaseBuffer") if call.result == 0)
    taken = [call for call in log.calls_named("GetBuffer") if call.result == 0]
    if group == "pipe-close":  # only a reader that read nothing may have left before the header
        stderr += HEADER_GONE if not stdout and not taken else AUDIO_GONE
    found = [(what, got, want) for what, got, want in [
        ("exit code", exit_code, code), ("stderr", bytes(run.stderr), stderr),
        ("header", stdout[:16], header(RATE, case["channels"], sample_format[0])[:len(stdout)]),
        ("packets given back", len([c for c in log.calls_named("ReleaseBuffer") if c.result == 0]), len(taken)),
        ("Stop calls", len(log.calls_named("Stop")), 1), ("problems", log.problems(), [])] if got != want]
    if group == "stop":  # everything taken went out, in whole frames
        found += [(what, got, want) for what, got, want in [
            ("partial frame bytes", (len(stdout) - 16) % frame, 0),
            ("audio bytes", len(stdout) - 16, released * frame)] if got != want]
    if case["format"] == "f32" and case["channels"] == 2 and stdout[16:] != sequence(len(stdout) - 16):
        found.append(("audio", "not the double's byte sequence", "passed through unchanged"))
    return run.process, (case, ["%s: got %r, expected %r" % item for item in found])


class StopAndPipeStress(unittest.TestCase):
    results = {}

    @classmethod
    def tearDownClass(cls):
        print("\n" + "; ".join("%s runs: %d passed of %d" % (group, passed, total)
                               for group, (passed, total) in sorted(cls.results.items(), reverse=True)) +
              " (OAH_STRESS_SEED=%d)" % SEED)

    def sweep(self, group):
        indices = [int(ONLY.split(":")[1])] if ONLY.startswith(group + ":") else [] if ONLY else range(RUNS)
        install()  # once, before runs in parallel would each replace it
        with concurrent.futures.ThreadPoolExecutor(3) as pool:
            outcomes = list(pool.map(lambda index: (index, *harness.once_more_if_killed_by_wine(
                lambda: check(group, index), "%s:%d" % (group, index))), indices))
        failed = ["OAH_STRESS_SEED=%d OAH_STRESS_ONLY=%s:%d %s\n  %s" % (SEED, group, index, case, "\n  ".join(found))
                  for index, case, found in outcomes if found]
        self.results[group] = (len(outcomes) - len(failed), len(outcomes))
        if failed:
            self.fail("\n".join(failed))

    def test_ctrl_c_at_random_moments_ends_cleanly_with_whole_frames(self):
        self.sweep("stop")

    def test_a_reader_gone_at_a_random_point_ends_the_run_and_every_packet_is_given_back(self):
        self.sweep("pipe-close")


if __name__ == "__main__":
    unittest.main()
