"""Forked children: a child of a process whose pool has started finishes its calls on its own
thread with the parent's results, bit for bit, or refuses a Compartments object that a thread of
the parent held at the fork; a child forked before any pool builds its own. Each scenario runs in
a fresh interpreter; the children report through their exit status (and a pipe), and one that
has not ended by the deadline counts as hung."""
import pytest

from conftest import run_isolated

PRELUDE = """
import hashlib, itertools, os, signal, threading, time, traceback, numpy as np, quorvel._core as core
rng = np.random.default_rng(3)
dims, nvox, n = (9, 8, 6), 432, 600
mix = core.mixture_from_fibers(dims, rng.integers(0, nvox, n).astype(np.uint32), rng.normal(size=(n, 3)), rng.random(n),
    *(rng.random(nvox, dtype=np.float32) for _ in range(3)), (rng.random(nvox) > 0.1).astype(np.float32), {},
    sphere_level=2)
bvals, bvecs, fmap = np.full(8, 1000.0), rng.normal(size=(8, 3)), rng.normal(0, 20, nvox).astype(np.float32)

def digest(arrays):
    return hashlib.sha256(b"".join(a.tobytes() for a in arrays)).hexdigest()

def work():
    comp = core.signal_from_mixture(mix, bvals, bvecs)
    out = core.simulate_acquisition(comp, fmap, dims, bvals, bvecs, {"n_coils": 2})
    return digest((comp.mixed(), out["re"], out["im"]))

def acquire(ny):
    # An acquisition whose transforms have length ny: the first one plans them.
    comp = core.Compartments.from_images((4, ny, 1), 2, [np.ones(8 * ny, np.float32)], [80.0])
    return core.simulate_acquisition(comp, np.zeros(4 * ny, np.float32), (4, ny, 1), np.zeros(2), np.zeros((2, 3)), {})

def alone():
    # What a child of a started pool has: one thread for every loop, and no pool to size.
    return core.current_threads() == 1 and not core.set_threads(3)

def child(check, *args):
    # The child's verdict is its exit status: 0 when check(*args) holds, 1 when not, 2 when it raised.
    pid = os.fork()
    if pid == 0:
        try:
            code = 0 if check(*args) else 1
        except BaseException:
            traceback.print_exc()
            code = 2
        os._exit(code)
    return pid

def reap(pids, seconds=60):
    # The children's distinct exit statuses, "hung" for any still running at the deadline (then killed).
    status, deadline = {}, time.monotonic() + seconds
    while len(status) < len(pids) and time.monotonic() < deadline:
        for pid in pids:
            if pid not in status and (done := os.waitpid(pid, os.WNOHANG))[0]:
                status[pid] = os.waitstatus_to_exitcode(done[1])
        time.sleep(0.002)
    for pid in set(pids) - set(status):
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
        status[pid] = "hung"
    return sorted(set(str(s) for s in status.values()))
"""

# Forks right after parallel calls, while the workers are still on their way back to sleep.
AFTER_CALLS = """
assert core.set_threads(4)
want, pids = work(), []
for i in range(100):
    mix.scalars()
    pids.append(child(lambda: alone() and work() == want))
print(*reap(pids))
"""

# Forks while other threads are inside calls: one runs the parallel loops, one plans transforms of
# ever new lengths. The children plan a length of their own.
DURING_CALLS = """
assert core.set_threads(4)
want, stop = work(), threading.Event()
def loops():
    while not stop.is_set():
        work()
def plans():
    for ny in itertools.count(41):
        if stop.is_set():
            break
        acquire(ny)
threads = [threading.Thread(target=loops), threading.Thread(target=plans)]
[t.start() for t in threads]
pids = []
for i in range(40):
    time.sleep(0.003)
    pids.append(child(lambda: alone() and work() == want and acquire(13)["re"].size == 2 * 4 * 13))
stop.set()
[t.join() for t in threads]
print(*reap(pids))
"""

# Forks while another thread makes the first parallel call of the process: it builds the pool,
# then the table of the NODDI fractions.
FIRST_CALL = """
r, w = os.pipe()
def scalars():
    os.write(w, digest(mix.scalars()).encode())
    return True
first, pids = threading.Thread(target=mix.scalars), []
first.start()
while first.is_alive() or not pids:
    pids.append(child(scalars))
first.join()
status = reap(pids)
os.close(w)
with os.fdopen(r) as got:
    text = got.read()
print(*status, len(text) == 64 * len(pids) and set(text[i:i + 64] for i in range(0, len(text), 64)) == {digest(mix.scalars())})
"""

# A progress callable holds its call, and with it the object's lock, while the main thread forks.
HELD_AT_FORK = """
comp, other = core.signal_from_mixture(mix, bvals, bvecs), core.signal_from_mixture(mix, bvals, bvecs)
want, inside, leave = work(), threading.Event(), threading.Event()
def progress(done, total):
    inside.set()
    leave.wait()
call = threading.Thread(target=core.simulate_acquisition, args=(comp, fmap, dims, bvals, bvecs, {}),
                        kwargs={"progress": progress})
call.start()
inside.wait()
def refused():
    message = ("Compartments object was in use by another thread when this process was forked; "
               "it cannot be used in this process")
    for use in (lambda: comp.dims, lambda: comp.apply_s0((1, 2, 1)),
                lambda: core.simulate_acquisition(comp, fmap, dims, bvals, bvecs, {})):
        try:
            use()
            return False
        except RuntimeError as e:
            if str(e) != message:
                raise
    return other.ngrad == 8 and alone() and work() == want
pids = [child(refused)]
leave.set()
call.join()
print(*reap(pids), comp.dims)
"""

# A child forked before the parent ever started its pool builds one of its own, and uses it.
BEFORE_ANY_POOL = """
def own_pool(w):
    n0 = len(os.listdir("/proc/self/task"))
    sized = core.set_threads(3) and core.current_threads() == 3 and len(os.listdir("/proc/self/task")) == n0 + 2
    os.write(w, work().encode())
    return sized
r, w = os.pipe()
pids = [child(own_pool, w)]
os.close(w)
print(*reap(pids), os.read(r, 64).decode() == work())
"""


@pytest.mark.parametrize("scenario, expected", [
    (AFTER_CALLS, "0"),
    (DURING_CALLS, "0"),
    (FIRST_CALL, "0 True"),
    (HELD_AT_FORK, "0 (9, 8, 6)"),
    (BEFORE_ANY_POOL, "0 True"),
], ids=["after-calls", "during-calls", "first-call", "held-at-fork", "before-any-pool"])
def test_forked_children_finish_with_the_parents_results(scenario, expected):
    assert run_isolated(PRELUDE + scenario) == expected
