"""Fault sweep: every platform call a capture run makes is made to fail, one at a time, in each
capture mode, at its first call and at later ones. What each case must do is worked out by a small
model of the run as its contract describes it, never taken from the exe: exit code, every byte of
stderr and stdout, Stop only after a successful Start, every reference and packet given back."""

import collections
import concurrent.futures
import unittest

import harness
from audio_double import Double, DoubleRun, header, install, read_bounded, status_text

E_FAIL, E_INVALIDARG = 0x80004005, 0x80070057
MIX = "ext-float,2,44100,32"  # not 48000, so a rate the exe picks on its own shows in the header
MIX_RATE, OWN_RATE = 44100, 48000
PACKETS, PACKET = 3, 480 * 8  # 480-frame packets of float stereo, passed through unchanged
NOTE = b"[ostrel-audio-helper] "
ARGS = {"system": [], "process": ["--mode=process", "--pid=1234"],
        "exclude": ["--mode=system", "--exclude-pid=1234"]}
WARNING = {"system": b"",
           "process": NOTE + b"Process loopback may be unsupported on this Windows build (7601).\n",
           "exclude": NOTE + b"Exclude-pid loopback may be unsupported on this Windows build (7601).\n"}
FALLBACK = NOTE + b"Process loopback unavailable; using system audio.\n"
ENDPOINT = [("CoCreateInstance", b"Failed to create MMDeviceEnumerator: "),
            ("GetDefaultAudioEndpoint", b"Failed to get default audio device: "),
            ("Activate", b"Failed to activate default audio device: ")]
SET_UP = [("Initialize", b"IAudioClient::Initialize failed: "),
          ("SetEventHandle", b"IAudioClient::SetEventHandle failed: "),
          ("GetService", b"Failed to get IAudioCaptureClient: "),
          ("Start", b"IAudioClient::Start failed: ")]
# A typical status per call where Windows has one, so that several message texts are exercised.
STATUS = {"GetDefaultAudioEndpoint": 0x80070490, "ActivateAudioInterfaceAsync": 0x80070005,
          "ActivateResult": 0x80070002, "Initialize": 0x88890008, "GetService": 0x88890003,
          "GetNextPacketSize": 0x88890004, "GetBuffer": 0x88890004}
FAULTS = ["CoInitializeEx", "CoCreateInstance", "GetDefaultAudioEndpoint", "Activate",
          "ActivateAudioInterfaceAsync", "GetActivateResult", "ActivateResult", "ActivateResult=noclient",
          "GetMixFormat", "Initialize", "SetEventHandle", "GetService", "Start", "GetNextPacketSize",
          "GetBuffer", "CreateEventA", "WaitForSingleObject=timeout", "WaitForSingleObject=failed"]
REPEATED = {"GetNextPacketSize", "WaitForSingleObject"}  # go on for as long as the stream idles
Outcome = collections.namedtuple("Outcome", "code stderr rate packets started counts")


def parse(fault):
    """"CALL[#N][=VALUE]" -> (CALL, N, status or word), as the double reads it."""
    head, _, value = fault.partition("=")
    call, _, nth = head.partition("#")
    return call, int(nth or 1), int(value, 0) if value[:1].isdigit() else value or E_FAIL


def expect(mode, faults=(), reader="reads", **directives):
    """The run as its contract describes it, counting each call to see which one a fault hits."""
    counts, injected = collections.Counter(), [parse(fault) for fault in faults]
    stderr = []

    def fails(call):
        counts[call] += 1
        return next((value for name, nth, value in injected if name == call and nth == counts[call]), None)

    def end(code, prefix, status=None, rate=None, packets=None):
        text = prefix + (status_text(status) if status is not None else b"") + b"\n"
        return Outcome(code, b"".join(stderr) + text, rate, packets, rate is not None, counts)

    def endpoint_fails():
        return next(((prefix, status) for call, prefix in ENDPOINT for status in [fails(call)] if status), None)

    fails("CreateEventA")  # the runtime's own, made at start-up; nothing of the run rests on it
    status = fails("CoInitializeEx")
    if status:
        return end(2, b"CoInitializeEx failed: ", status)
    stderr.append(WARNING[mode])  # the target is resolved inside the apartment
    loopback = False
    if mode != "system":
        event = not fails("CreateEventA")  # a null event makes the wait fail at once
        if not fails("ActivateAudioInterfaceAsync"):
            result = fails("ActivateResult")  # a failure, or an object that is no audio client
            completed = directives.get("complete") != "never" and not fails("GetActivateResult")
            waited = event and not fails("WaitForSingleObject")
            loopback = waited and completed and not result
    if not loopback:
        failure = endpoint_fails()
        if failure:
            return end(2, *failure)
        stderr += [FALLBACK] if mode != "system" else []
    status, rate = fails("GetMixFormat"), MIX_RATE
    if loopback:  # the double's loopback client has no mix format: the exe's own, at the endpoint's rate
        if endpoint_fails() or fails("GetMixFormat") or directives.get("mix") == "null":
            rate = OWN_RATE
    elif status or directives.get("mix") == "null":
        return end(3, b"GetMixFormat failed: ", status or 0)
    for call, prefix in SET_UP:
        if call == "SetEventHandle" and not loopback:
            continue
        refused = call == "SetEventHandle" and fails("CreateEventA") and E_INVALIDARG  # a null event
        status = fails(call) or refused
        if status:
            return end(3, prefix, status)
    if reader == "closes first":
        return end(4, b"stdout closed while writing header", rate=rate)
    for delivered in range(PACKETS + 1):  # the packets, then a poll that finds none
        status = fails("GetNextPacketSize")
        if status:
            return end(4, b"GetNextPacketSize failed: ", status, rate, delivered)
        if delivered == PACKETS:
            if loopback:
                fails("WaitForSingleObject")  # an idle wait cut short only shortens the pause
            break
        status = fails("GetBuffer")
        if status:
            return end(4, b"GetBuffer failed: ", status, rate, delivered)
        if reader == "closes mid-stream":
            return end(4, b"stdout closed while writing audio", rate=rate)
    return Outcome(0, b"".join(stderr), rate, PACKETS, True, counts)  # until Ctrl+C


def cases():
    """Each mode on its own and, for the loopback modes, after a failed activation (the fallback):
    each call failing at its 1st, 2nd and last call and at the first it is never made."""
    for mode, base in [("system", []), ("process", []), ("exclude", []),
                       ("process", ["ActivateResult=0x80070002"]), ("exclude", ["ActivateAudioInterfaceAsync=0x80070005"])]:
        made = expect(mode, base).counts
        for fault in FAULTS:
            call, _, value = fault.partition("=")
            if call in (parse(word)[0] for word in base):
                continue
            last = made[call] if call in REPEATED else made[call] + 1
            value = value or "%#x" % STATUS.get(call, E_FAIL)
            for nth in sorted({1, min(2, last), made[call], last} - {0}):
                yield mode, base + ["%s#%d=%s" % (call, nth, value)], {}
        yield from [(mode, base, {"mix": "null"}), (mode, base, {"reader": "closes first"}),
                    (mode, base, {"reader": "closes mid-stream"})]
    yield from [("process", [], {"loopmix": "null"}), ("process", [], {"complete": "never"})]


def sequence(size):
    return bytes(k & 0xFF for k in range(size))


def shown(value):
    return value if not isinstance(value, bytes) or len(value) < 200 else value[:80] + b"..(%d bytes)" % len(value)


def check(mode, faults, directives):
    """Runs one case; what differs from the expectation, as a list of lines."""
    expected = expect(mode, faults, **directives)
    reader = directives.pop("reader", "reads")
    double = Double(packets=["%dx480" % PACKETS], fails=faults, **dict({"mix": MIX}, **directives),
                    after="repeat" if reader == "closes mid-stream" else "idle")
    run = DoubleRun(ARGS[mode], double, read_stdout=reader == "reads", stdout_closed=reader == "closes first")
    read = b""
    if reader == "closes mid-stream":
        read = read_bounded(run.process, lambda: run.process.stdout.read(16 + 2 * PACKET))
        run.close_stdout()
    if reader == "reads" and expected.code == 0:  # only a clean run waits for Ctrl+C; a failing one ends by itself
        run.wait_for_stdout(16 + PACKETS * PACKET, timeout=20)
        run.interrupt()
    try:
        code = run.finish(timeout=30)
    except AssertionError as hang:
        return run.process, [str(hang)]
    log, stdout = run.log(), bytes(run.stdout) if reader == "reads" else read
    stream = b"" if expected.rate is None else header(expected.rate, 2, 2) + sequence(
        len(stdout) - 16 if expected.packets is None else expected.packets * PACKET)
    taken = [call for call in log.calls_named("GetBuffer") if call.result == 0]
    found = [(what, got, want) for what, got, want in [
        ("exit code", code, expected.code), ("stderr", bytes(run.stderr), expected.stderr),
        ("stdout", stdout, stream[:len(stdout)] if expected.packets is None else stream),
        ("Stop calls", len(log.calls_named("Stop")), int(expected.started)),
        ("packets given back", len([c for c in log.calls_named("ReleaseBuffer") if c.result == 0]), len(taken)),
        ("problems", log.problems(), [])] if got != want]
    if reader == "closes mid-stream":  # the packet whose write failed is given back before Stop
        names = [name for name in log.names() if name != "ActivateCompleted"]  # the double's own thread
        last_buffer = len(names) - names[::-1].index("GetBuffer") if "GetBuffer" in names else len(names)
        if names[last_buffer:last_buffer + 2] != ["ReleaseBuffer", "Stop"]:
            found.append(("after the failed write", names[last_buffer:last_buffer + 2], ["ReleaseBuffer", "Stop"]))
    for call, nth, _value in map(parse, faults):  # the fault was reached exactly when the run reaches it
        made = len(log.calls_named(call) if call != "ActivateResult" else  # delivered by a successful call
                   [c for c in log.calls_named("ActivateAudioInterfaceAsync") if c.result == 0])
        if (made >= nth) != (expected.counts[call] >= nth):
            found.append(("calls of " + call, made, "%s %d" % ("at least" if expected.counts[call] >= nth
                                                                else "fewer than", nth)))
    report = ["%s: got %r, expected %r" % (what, shown(got), shown(want)) for what, got, want in found]
    return run.process, report + ["calls: %s" % (log.lines[:8] or "none recorded")] if report else []


class FaultSweep(unittest.TestCase):
    def test_every_failing_call_in_every_mode_ends_as_the_contract_says(self):
        every = list(cases())
        install()  # once, before runs in parallel would each replace it
        for mode, faults, directives in every:  # status texts come from a probe: fetch them once
            expect(mode, faults, **directives)
        with concurrent.futures.ThreadPoolExecutor(3) as pool:
            results = list(pool.map(lambda case: harness.once_more_if_killed_by_wine(
                lambda: check(case[0], case[1], dict(case[2])), case), every))
        failed = ["%s %s %s:\n  %s" % (*case, "\n  ".join(found)) for case, found in zip(every, results) if found]
        print("\nfault sweep: %d injected, %d survived" % (len(every), len(every) - len(failed)))
        if failed:
            self.fail("\n".join(failed))

if __name__ == "__main__":
    unittest.main()
