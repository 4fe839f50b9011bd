"""The worker pool: its size, its size under an address-space cap, and loops run from several
Python threads at once or from inside another loop's task."""
import os

import pytest

from conftest import needs_no_asan, run_isolated, run_process

CPUS = len(os.sched_getaffinity(0))


@pytest.mark.parametrize("code, env, expected", [
    # A count no pool can hold is a failed build, not a wrapped one.
    ("c.set_threads(2**40), c.set_threads(4), c.current_threads(), c.set_threads(8), c.current_threads()", {},
     "False True 4 False 4"),
    ("c.current_threads(), c.set_threads(2), c.current_threads()", {"RAYON_NUM_THREADS": "+3"}, "3 False 3"),
    # Every worker has started when set_threads returns.
    ("c.set_threads(5), workers()", {}, "True 4"),
    ("c.set_threads(0), c.current_threads()", {"RAYON_NUM_THREADS": "3", "RAYON_RS_NUM_CPUS": "5"}, "True 3"),
    ("c.set_threads(0), c.current_threads()", {"RAYON_NUM_THREADS": "zero", "RAYON_RS_NUM_CPUS": "5"}, "True 5"),
    ("c.set_threads(0), c.current_threads()", {"RAYON_NUM_THREADS": "0", "RAYON_RS_NUM_CPUS": " 3"}, f"True {CPUS}"),
    ("c.set_threads(0), c.current_threads()", {"RAYON_NUM_THREADS": "9" * 25, "RAYON_RS_NUM_CPUS": "-4"}, f"True {CPUS}"),
])
def test_worker_pool_in_a_fresh_process(code, env, expected):
    prelude = "import os, quorvel._core as c\nn0 = len(os.listdir('/proc/self/task'))\n"
    workers = "workers = lambda: len(os.listdir('/proc/self/task')) - n0\n"
    assert run_isolated(f"{prelude}{workers}print(*({code},))", env=env) == expected


# A cap like a cluster's ulimit -v, with room for five more threads and half of one: each thread
# of the trial reserves TBB's 4 MiB worker stack and the 64 MiB a glibc malloc arena may take.
CAPPED = """
import resource, numpy as np, quorvel._core as core
vm = int(open("/proc/self/status").read().split("VmSize:")[1].split()[0]) * 1024
resource.setrlimit(resource.RLIMIT_AS, (vm + int(5.5 * (68 << 20)),) * 2)
built = core.set_threads({n})
comp = core.Compartments.from_images((4, 4, 1), 64, [np.ones(1024, np.float32)], [80.0])
core.simulate_acquisition(comp, np.zeros(16, np.float32), (4, 4, 1), np.zeros(64), np.zeros((64, 3)), {{}})
print(built, core.current_threads())
"""


# set_threads refuses; the lazy default pool halves the count, but never keeps more than one
# thread beyond the five the trial held: 8 becomes 4, 64 and any larger count 6.
@needs_no_asan
@pytest.mark.parametrize("n, expected", [(8, 4), (64, 6), (300_000_000, 6)])
def test_a_pool_the_address_space_cannot_hold_is_refused_and_the_default_one_halved(n, expected):
    out = run_process(CAPPED.format(n=n), env={"RAYON_NUM_THREADS": str(n)}, timeout=120)
    assert out.returncode == 0 and out.stdout.split() == ["False", str(expected)], out.stderr


# Several Python threads run pool loops at once: more callers than a one-thread pool has threads
# (its size as built stays what current_threads reports).
CONCURRENT = """
import threading, numpy as np, quorvel._core as core
assert core.set_threads({threads})
rng, dims, n, v = np.random.default_rng(5), (12, 10, 8), 300, 6
lines = (np.cumsum(rng.normal(0, 0.3, (n, 50, 3)), axis=1) + rng.uniform(0, dims, (n, 1, 3))).reshape(-1, 3)
args = (dims, *(rng.random(960, dtype=np.float32) for _ in range(4)), np.eye(4), lines,
        np.arange(0, 50 * n + 1, 50, dtype=np.uint32), None, {{}})
mix, bvals, bvecs = core.build_mixture(*args), np.full(v, 1000.0), rng.normal(size=(v, 3))
comp = core.signal_from_mixture(mix, bvals, bvecs)
calls = {{"build": lambda: core.build_mixture(*args).odf(), "scalars": lambda: np.stack(mix.scalars()),
         "signal": lambda: core.signal_from_mixture(mix, bvals, bvecs).mixed(),
         "acquire": lambda: core.simulate_acquisition(comp, np.zeros(960, np.float32), (6, 5, 8), bvals, bvecs,
                                                      {{"n_coils": 2}})["re"]}}
alone, differ, sizes = {{k: f().tobytes() for k, f in calls.items()}}, [], set()
def repeat(k):
    for _ in range(5):
        if calls[k]().tobytes() != alone[k]:
            differ.append(k)
        sizes.add(core.current_threads())
callers = [threading.Thread(target=repeat, args=(k,)) for k in ("build", "build", "scalars", "signal", "acquire")]
[t.start() for t in callers], [t.join() for t in callers]
print(differ, sizes)
"""


@pytest.mark.parametrize("threads", [1, 2, 8])
def test_concurrent_callers_get_the_results_of_lone_ones(threads):
    out = run_process(CONCURRENT.format(threads=threads), timeout=300)
    assert out.returncode == 0 and out.stdout.split() == ["[]", f"{{{threads}}}"], out.stderr


# A progress callable that runs another acquisition, on the outer run's calling thread while the
# outer volumes go on: neither run waits for the other's threads, and the inner run's callables,
# called inside the outer one's, are refused the outer object, whose run waits for them.
NESTED = """
import time, numpy as np, quorvel._core as core
assert core.set_threads(8)
outer, inner = (core.Compartments.from_images((8, 8, 1), v, [np.linspace(0, 1, 64 * v, dtype=np.float32)], [80.0])
                for v in (64, 8))
def run(c, **kw):
    out = core.simulate_acquisition(c, np.zeros(64, np.float32), (8, 8, 1), np.full(c.ngrad, 1000.0),
                                    np.ones((c.ngrad, 3)), {"n_coils": 2}, **kw)
    return out["re"].tobytes() + out["im"].tobytes()
alone, nested, refused = run(outer, seed=5), set(), []
def touch_outer(d, t):  # the inner volumes wait a little, so the waiting thread looks for work
    time.sleep(0.001)
    try:
        outer.ngrad
    except RuntimeError as e:
        refused.append("in use by the call" in str(e))
def progress(done, total):
    if done % 2 == 0:
        nested.add(run(inner, progress=touch_outer))
print(all(run(outer, seed=5, progress=progress) == alone for _ in range(10)), nested == {run(inner)},
      refused == [True] * 10 * 32 * 8)
"""


def test_an_acquisition_inside_a_progress_callable_neither_deadlocks_nor_changes_the_outer_run():
    out = run_process(NESTED, timeout=90)
    assert out.returncode == 0 and out.stdout.split() == ["True"] * 3, out.stderr
