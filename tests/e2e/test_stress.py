"""Stops and readers that go away at random moments. The simulated stack checks inside the exe's
process that nothing is held at exit, that Stop follows only a successful Start and that every
packet goes back."""
import concurrent.futures, os, random, time, unittest
from harness import ARGS, WARN, Run, header, seq

SEED, RUNS = int(os.environ.get("OAH_STRESS_SEED", "4242")), int(
    os.environ.get("OAH_STRESS_RUNS", "30")
)


def stop_at_random(index):
    """Ctrl+C during a delayed activation, while packets flow, or while a write is blocked."""
    rng = random.Random("%d:stop:%d" % (SEED, index))
    moment, delay = index % 3, rng.uniform(0, 0.3)
    mode = rng.choice(["process", "exclude"] if moment == 0 else sorted(ARGS))
    r = Run(
        ARGS[mode],
        read=moment != 2,
        packets=[rng.choice([48, 441, 480])],
        after="repeat",
        complete=rng.randint(10, 300) if moment == 0 else 0,
    )
    if (
        moment == 2
    ):  # the reader takes the header, then nothing while the pipe fills and a write blocks
        r.out += r.p.stdout.read(16)
    r.wait_for(lambda: WARN[mode] in r.err) if moment == 0 else r.wait_out(16)
    time.sleep(delay)
    r.interrupt()
    if moment == 2:
        time.sleep(rng.uniform(0, 0.1))
        r.out += r.p.stdout.read()
    r.finish()
    return r, 0, WARN[mode], rng


def close_at_random(index):
    rng = random.Random("%d:close:%d" % (SEED, index))
    mode, size = rng.choice(sorted(ARGS)), rng.choice(
        [0, rng.randint(1, 15), rng.randint(16, 400000)]
    )
    r = Run(ARGS[mode], read=False, packets=[480], after="repeat")
    r.take(size)
    r.finish()
    gone = b"stdout closed while writing %s\n" % (b"audio" if r.frames() else b"header")
    return r, 4, WARN[mode] + gone, rng


class Stress(unittest.TestCase):
    def test_random_stops_and_readers_that_go_away_end_cleanly(self):
        cases = [(stop_at_random, i) for i in range(RUNS)] + [
            (close_at_random, i) for i in range(RUNS)
        ]
        with concurrent.futures.ThreadPoolExecutor(3) as pool:
            for (how, index), (r, code, err, _rng) in zip(
                cases, pool.map(lambda case: case[0](case[1]), cases)
            ):
                with self.subTest(case="OAH_STRESS_SEED=%d %s %d" % (SEED, how.__name__, index)):
                    self.assertEqual((r.code, r.err, r.problems()), (code, err, []))
                    code or self.assertEqual(r.out, header(48000, 2, 2) + seq(8 * r.frames()))
