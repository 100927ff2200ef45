"""The Decimal functions stay responsive like Python code: Ctrl-C interrupts them with
KeyboardInterrupt, leaving the module usable and the decimal context as the functions
define it, and other threads keep running while they work. release_memory() hands back
the runtime's kept scratch memory."""

import os
import signal
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

# Each case takes many seconds when left to finish; the parent interrupts it early on.
CHILD = textwrap.dedent(r"""
    import decimal, signal, sys
    import numpy as np
    import dravenholt.vexa.vexa as m

    # Python's own Ctrl-C, even where the parent was started with SIGINT ignored (a
    # background job of a shell without job control), which the child would inherit.
    signal.signal(signal.SIGINT, signal.default_int_handler)

    which = sys.argv[1]
    decimal.getcontext().prec = 31
    rng = np.random.default_rng(5)
    long_A, long_B = rng.standard_normal((4, 10**6)), rng.standard_normal((10**6, 4))
    wide_A, wide_B = rng.standard_normal((1024, 1)), rng.standard_normal((1, 4096))
    real_vexa, real_verify_precision = m.Vexa, m.verify_precision

    class Marked(real_vexa):
        # "looping" once the native product is done and the Decimal work begins: a signal
        # that arrives during a native call can only act when the call returns.
        def gemm_pair(self, A, B):
            pair = super().gemm_pair(A, B)
            print("looping", flush=True)
            return pair

    def ground_truth():
        print("looping", flush=True)
        return m.compute_ground_truth(long_A, long_B)

    runs = {
        "compute_ground_truth": ground_truth,
        "gemm_decimal": lambda: Marked().gemm_decimal(wide_A, wide_B),
        "verify_precision": lambda: real_verify_precision(K=10**6, M=4, N=4),
        "test": lambda: m.test(),
    }
    m.Vexa = Marked
    # test() runs verify_precision(K=64); a long one stands in for it.
    m.verify_precision = lambda K: real_verify_precision(K=10**6, M=4, N=4)
    try:
        runs[which]()
    except KeyboardInterrupt:
        print("interrupted", flush=True)
    else:
        print("finished", flush=True)
        sys.exit(1)
    print("prec", decimal.getcontext().prec, flush=True)
    m.Vexa, m.verify_precision = real_vexa, real_verify_precision
    exact = m.compute_ground_truth(np.array([[0.5, 0.25]]), np.array([[3.0], [4.0]]))
    assert exact == [[decimal.Decimal("2.5")]], exact
    assert m.Vexa().gemm_decimal([[1.5]], [[2.0]]) == [[decimal.Decimal(3)]]
    print("usable", flush=True)
""")

# How many "looping" lines come before the long Decimal work: test() multiplies a 4x4
# example first.
MARKS = {"compute_ground_truth": 1, "gemm_decimal": 1, "verify_precision": 1, "test": 2}


def _child_env():
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    return env


@pytest.mark.skipif(not hasattr(signal, "SIGINT") or os.name != "posix", reason="POSIX signals")
@pytest.mark.parametrize("which, precision", [("compute_ground_truth", 150), ("gemm_decimal", 31),
                                              ("verify_precision", 150), ("test", 150)])
def test_sigint_interrupts_promptly_and_leaves_the_module_usable(vexa_module, which, precision):
    child = subprocess.Popen([sys.executable, "-c", CHILD, which], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True, env=_child_env())
    try:
        marks = 0
        while marks < MARKS[which]:
            line = child.stdout.readline()
            assert line, child.stderr.read()
            marks += line.strip() == "looping"
        time.sleep(0.3)  # well inside the work
        assert child.poll() is None, child.stderr.read()
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        line = child.stdout.readline().strip()
        latency = time.monotonic() - sent
        rest = child.stdout.read()
        child.wait(timeout=60)
        errors = child.stderr.read()
    finally:
        if child.poll() is None:
            child.kill()
    assert line == "interrupted", errors
    assert latency < 0.5
    assert rest.split() == ["prec", str(precision), "usable"], errors
    assert child.returncode == 0, errors


def _ticks_while(work):
    """Runs work() while another thread ticks every 5 ms: its ticks during the call, and the
    call's duration."""
    ticks, stop = [], threading.Event()

    def ticker():
        while not stop.is_set():
            ticks.append(time.monotonic())
            time.sleep(0.005)

    thread = threading.Thread(target=ticker)
    thread.start()
    time.sleep(0.05)
    start = time.monotonic()
    work()
    end = time.monotonic()
    stop.set()
    thread.join()
    return [t for t in ticks if start <= t <= end], end - start


@pytest.mark.parametrize("which", ["compute_ground_truth", "gemm_decimal"])
def test_other_threads_keep_running(vexa, which):
    rng = np.random.default_rng(8)
    if which == "compute_ground_truth":
        A, B = rng.standard_normal((4, 40000)), rng.standard_normal((40000, 4))
        work = lambda: vexa.compute_ground_truth(A, B)  # noqa: E731
    else:
        A, B = rng.standard_normal((300, 4)), rng.standard_normal((4, 1000))
        q = vexa.Vexa()
        work = lambda: q.gemm_decimal(A, B)  # noqa: E731
    ticks, duration = _ticks_while(work)
    assert duration > 0.3, "too little work to tell"
    # Held for the whole call, the lock would let the other thread tick at most once or
    # twice; free, it ticks about every 5 ms. A loaded machine slows both alike, so count
    # ticks rather than time them, and ask for them in most quarters of the call.
    assert len(ticks) >= 20, f"the other thread ticked {len(ticks)} times in a {duration:.3f} s call"
    quarters = {min(3, int(4 * (t - ticks[0]) / duration)) for t in ticks}
    assert len(quarters) >= 3, f"the other thread ran in only {len(quarters)} quarters of the call"


def test_release_memory_frees_the_kept_workspace(vexa_module):
    import dravenholt.vexa as package

    assert package.release_memory() is None
    assert package.release_memory() is None  # nothing kept: fine too
    version = vexa_module.Vexa().version
    if "scalar" in version:
        pytest.skip("the exact core keeps no workspace; only the fast kernels do")
    # The fast kernels keep their block, and say how large it is: resident memory falls by
    # most of that when it is released (a product need not touch every page of its block).
    env = _child_env()
    env.pop("VEXA_WORKSPACE_KEEP", None)
    child = subprocess.run([sys.executable, "-c", textwrap.dedent("""
        import numpy as np
        import dravenholt.vexa as package
        def resident():
            with open("/proc/self/statm") as f:
                return int(f.read().split()[1]) * 4096
        A = np.random.default_rng(1).standard_normal((512, 512))
        package.Vexa().gemm_pair(A, A)
        kept = resident()
        parked, limit = package.parked_memory()
        package.release_memory()
        print(kept - resident(), parked, limit, package.parked_memory()[0])
    """)], capture_output=True, text=True, env=env, check=True)
    fallen, parked, limit, after = map(int, child.stdout.split())
    assert 512 * 512 * 8 < parked <= limit == 64 << 20
    assert fallen > parked // 2
    assert after == 0
