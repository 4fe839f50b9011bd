"""Forked children finish their calls with the parent's results, bit for bit, or refuse an object
that a thread of the parent held; never hang. Each scenario runs in a fresh interpreter; each child
reports through its exit status (-14: killed by its alarm, hung)."""
import pytest

from conftest import UNDER_ASAN, run_isolated

PRELUDE = """
import hashlib, itertools, os, signal, sys, threading, time, numpy as np, quorvel._core as core
rng = np.random.default_rng(3)
dims, nvox, n = (9, 8, 6), 432, 600
mix = core.mixture_from_fibers(dims, rng.integers(0, nvox, n).astype(np.uint32), rng.normal(size=(n, 3)), rng.random(n),
    *(rng.random(nvox, dtype=np.float32) for _ in range(4)), {}, sphere_level=2)
bvals, bvecs, fmap = np.full(8, 1000.0), rng.normal(size=(8, 3)), rng.normal(0, 20, nvox).astype(np.float32)
digest = lambda arrays: hashlib.sha256(b"".join(a.tobytes() for a in arrays)).hexdigest()
def work():
    comp = core.signal_from_mixture(mix, bvals, bvecs)
    return digest((comp.mixed(), core.simulate_acquisition(comp, fmap, dims, bvals, bvecs, {"n_coils": 2})["re"]))
def plan(ny):  # an acquisition whose transforms have length ny
    c = core.Compartments.from_images((4, ny, 1), 1, [np.ones(4 * ny, np.float32)], [80.0])
    return core.simulate_acquisition(c, np.zeros(4 * ny, np.float32), (4, ny, 1), np.zeros(1), np.zeros((1, 3)), {})
alone = lambda: core.current_threads() == 1 and not core.set_threads(3)  # a child of a started pool
def fork(check):
    if (pid := os.fork()) == 0:
        signal.alarm(30)
        try:
            os._exit(0 if check() else 1)
        finally:
            os._exit(2)
    return pid
statuses = lambda pids: {os.waitstatus_to_exitcode(os.waitpid(p, 0)[1]) for p in pids}
"""

# Forks right after parallel calls (the workers on their way back to sleep), then one while a
# progress callable holds its call, and with it the object's lock.
STARTED_POOL = """
assert core.set_threads(4)
want, pids = work(), []
for _ in range(100):
    mix.scalars()
    pids.append(fork(lambda: alone() and work() == want))
print(statuses(pids))
comp, other = core.signal_from_mixture(mix, bvals, bvecs), core.signal_from_mixture(mix, bvals, bvecs)
inside, leave = threading.Event(), threading.Event()
threading.Thread(target=core.simulate_acquisition, args=(comp, fmap, dims, bvals, bvecs, {}),
                 kwargs={"progress": lambda done, total: inside.set() or leave.wait()}).start()
inside.wait()
def refused(use):
    try:
        use()
    except RuntimeError as e:
        return str(e) == ("Compartments object was in use by another thread when this process was forked; "
                          "it cannot be used in this process")
uses = (lambda: comp.dims, lambda: core.simulate_acquisition(comp, fmap, dims, bvals, bvecs, {}))
pids = [fork(lambda: all(map(refused, uses)) and other.ngrad == 8 and alone() and work() == want)]
leave.set()
print(statuses(pids), comp.dims)
"""

# Forks while other threads are inside calls: parallel loops, and plans of ever new lengths.
DURING_CALLS = """
assert core.set_threads(4)
want, stop = work(), threading.Event()
def repeat(f):
    for ny in itertools.takewhile(lambda _: not stop.is_set(), itertools.count(41)):
        f(ny)
[threading.Thread(target=repeat, args=(f,)).start() for f in (lambda ny: work(), plan)]
pids = []
for _ in range(40):
    time.sleep(0.003)
    pids.append(fork(lambda: alone() and work() == want and plan(13)))
stop.set()
print(statuses(pids))
"""

# A child forked before any pool builds its own; then forks while another thread makes the
# process's first parallel call, which builds the pool and then the NODDI fractions' table.
FIRST_CALL = """
r, w = os.pipe()  # the children's results, in the order they end
tasks = lambda: len(os.listdir("/proc/self/task"))
own = lambda n0: core.set_threads(3) and core.current_threads() == 3 and tasks() == n0 + 2 and os.write(w, work().encode())
before = statuses([fork(lambda: own(tasks()))])
first = threading.Thread(target=mix.scalars)
first.start()
# A child forked before the build has begun sizes a pool of its own, one forked after has none.
sized = lambda: core.current_threads() == (2 if core.set_threads(2) else 1)
pids = [fork(lambda: sized() and os.write(w, digest(mix.scalars()).encode())) for _ in iter(first.is_alive, False)]
os.close(w)
during, text = statuses(pids), os.fdopen(r).read()
print(before, text[:64] == work(), during, {text[i:i + 64] for i in range(64, 64 * len(pids) + 64, 64)} == {digest(mix.scalars())})
"""

# A progress callable that forks returns into the child too, where the run's driver and workers
# are gone: the child's call refuses to go on, the parent's finishes as if nothing had happened.
FORK_IN_PROGRESS = """
assert core.set_threads(4)
comp, want, kids = core.signal_from_mixture(mix, bvals, bvecs), work(), []
acquire = lambda **kw: digest([core.simulate_acquisition(comp, fmap, dims, bvals, bvecs, {"n_coils": 2}, **kw)["re"]])
def forking(done, total):
    if done == 2:
        kids.append(os.fork())
        if kids == [0]:
            signal.alarm(30)
try:
    got = acquire(progress=forking)
finally:
    if kids == [0]:
        error = sys.exc_info()[1]
        os._exit(0 if isinstance(error, RuntimeError) and str(error) == (
            "the progress callable forked the process: the acquisition goes on in the parent only") and work() == want else 1)
print(statuses(kids), got == acquire())
"""

# This sanitizer runtime has no fork handlers: a child forked while another thread allocates may
# inherit its allocator's lock held, and wait for it for good.
threads_allocate = pytest.mark.skipif(UNDER_ASAN, reason="the sanitizer's allocator is not fork-safe")


@pytest.mark.parametrize("scenario, expected", [
    pytest.param(STARTED_POOL, "{0}\n{0} (9, 8, 6)", id="started-pool"),
    pytest.param(DURING_CALLS, "{0}", id="during-calls", marks=threads_allocate),
    pytest.param(FIRST_CALL, "{0} True {0} True", id="first-call", marks=threads_allocate),
    pytest.param(FORK_IN_PROGRESS, "{0} True", id="fork-in-progress", marks=threads_allocate),
])
def test_forked_children_finish_with_the_parents_results(scenario, expected):
    assert run_isolated(PRELUDE + scenario) == expected
