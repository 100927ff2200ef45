"""The package's run-time controls over libvexa: the thread count (set, refused, raced with
products, from the environment), threadpoolctl, and the kernel list."""

import ctypes
import json
import os
import shutil
import subprocess
import sys
import threading
import warnings

import numpy as np
import pytest

from exact_oracle import oracle_mismatches


@pytest.fixture
def package():
    """The package, with libvexa's thread count restored after the test."""
    import dravenholt.vexa

    before = dravenholt.vexa.get_num_threads()
    yield dravenholt.vexa
    dravenholt.vexa.set_num_threads(before)


def run_package_code(code, **env_changes):
    """Runs `code` in a child interpreter that imports the same package; returns its JSON."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    for name in ("VEXA_NUM_THREADS", "VEXA_KERNEL"):
        env.pop(name, None)
    env.update(env_changes)
    done = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True,
                          text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


# ---- The thread count -----------------------------------------------------------------

@pytest.mark.parametrize("n, expected", [(1, 1), (3, 3), (1024, 1024), (np.int64(2), 2)])
def test_set_then_get(package, n, expected):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        package.set_num_threads(n)
    assert package.get_num_threads() == expected


@pytest.mark.parametrize("n", [1025, 5000, 2**40])
def test_counts_above_the_cap_warn_and_take_the_cap(package, n):
    with pytest.warns(RuntimeWarning, match=f"at most 1024 threads; {n} is taken as 1024"):
        package.set_num_threads(n)
    assert package.get_num_threads() == 1024


def test_the_cap_is_the_one_libvexa_reports(package):
    from dravenholt.vexa._runtime import library
    limit = library().vexa_max_threads()
    assert limit == 1024
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        package.set_num_threads(limit)
    assert package.get_num_threads() == limit
    with pytest.warns(RuntimeWarning, match=f"at most {limit} threads"):
        package.set_num_threads(limit + 1)
    assert package.get_num_threads() == limit


@pytest.mark.parametrize("n, error", [(-1, ValueError), (-2**40, ValueError),
                                      (1.5, TypeError), ("2", TypeError)])
def test_invalid_counts_are_refused_and_change_nothing(package, n, error):
    package.set_num_threads(2)
    with pytest.raises(error):
        package.set_num_threads(n)
    assert package.get_num_threads() == 2


@pytest.mark.parametrize("default", [0, None])
def test_zero_or_none_restores_the_default(default):
    code = ("import json, dravenholt.vexa as v; v.set_num_threads(5); first = v.get_num_threads(); "
            f"v.set_num_threads({default!r}); print(json.dumps([first, v.get_num_threads()]))")
    assert run_package_code(code, VEXA_NUM_THREADS="3") == [5, 3]


@pytest.mark.parametrize("setting, expected", [("3", 3), ("1", 1)])
def test_vexa_num_threads_is_the_default(setting, expected):
    assert run_package_code("import json, dravenholt.vexa as v; print(json.dumps(v.get_num_threads()))",
                            VEXA_NUM_THREADS=setting) == expected


def test_count_changes_racing_with_products_leave_every_result_exact(package):
    rng = np.random.default_rng(15)
    A, B = rng.standard_normal((24, 40)), rng.standard_normal((40, 16))
    C_hi, C_lo, C_res = package.gemm_triple(A, B)
    assert oracle_mismatches(A, B, C_hi, C_lo, C_res) == []
    stop = threading.Event()
    failures = []

    def change_counts():
        n = 0
        while not stop.is_set():
            package.set_num_threads(n % 4 + 1)
            n += 1

    def multiply(use_class):
        vexa = package.Vexa()
        for _ in range(25):
            if use_class:
                words = vexa.gemm_pair(A, B)
            else:
                words = package.gemm_triple(A, B)
            if not all(np.array_equal(x, y) for x, y in zip(words, (C_hi, C_lo, C_res))):
                failures.append(words)

    changer = threading.Thread(target=change_counts)
    workers = [threading.Thread(target=multiply, args=(i % 2 == 1,)) for i in range(4)]
    changer.start()
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    stop.set()
    changer.join()
    assert failures == []


@pytest.mark.parametrize("residual", [np.float32, np.float64])
def test_a_count_for_one_product_leaves_the_process_count_alone(package, residual):
    # Large enough for the fast kernels' threads; the oracle decides, not another call.
    rng = np.random.default_rng(17)
    A, B = rng.standard_normal((140, 150)), rng.standard_normal((150, 130))
    package.set_num_threads(3)
    results = [package.gemm_triple(A, B, residual, threads=n) for n in (None, 0, 1, 2, 5, 10**6)]
    assert package.get_num_threads() == 3
    if residual is np.float32:
        assert oracle_mismatches(A[:20], B, *(w[:20] for w in results[0])) == []
    for words in results:
        assert all(np.array_equal(x, y) for x, y in zip(words, results[0]))


@pytest.mark.parametrize("threads, error", [(-1, ValueError), (1.5, TypeError), ("2", TypeError)])
def test_invalid_counts_for_one_product_are_refused(package, threads, error):
    with pytest.raises(error):
        package.gemm_triple(np.ones((2, 2)), np.ones((2, 2)), threads=threads)


# ---- threadpoolctl ----------------------------------------------------------------------

def vexa_pools(threadpoolctl):
    return [pool for pool in threadpoolctl.threadpool_info() if pool["user_api"] == "vexa"]


def test_threadpoolctl_lists_libvexa_with_kernel_and_count(package):
    threadpoolctl = pytest.importorskip("threadpoolctl")
    package.set_num_threads(3)
    [pool] = vexa_pools(threadpoolctl)
    active = next(k.name for k in package.kernels() if k.active)
    assert pool["internal_api"] == "vexa" and pool["prefix"] == "libvexa"
    assert (pool["num_threads"], pool["kernel"]) == (3, active)
    assert pool["version"] == package.__version__
    assert os.path.samefile(pool["filepath"], package._runtime.library_path())


def test_threadpoolctl_passes_over_an_unrelated_libvexa(package, fake_runtime, tmp_path):
    threadpoolctl = pytest.importorskip("threadpoolctl")
    impostor = tmp_path / "libvexa.so"  # the stand-in: a product and a version, no controls
    shutil.copy(fake_runtime.path, impostor)
    ctypes.CDLL(str(impostor))
    [pool] = vexa_pools(threadpoolctl)
    assert os.path.samefile(pool["filepath"], package._runtime.library_path())


@pytest.mark.parametrize("limit_arguments", [{"limits": 1}, {"limits": 1, "user_api": "vexa"},
                                             {"limits": {"libvexa": 1}}])
def test_threadpool_limits_round_trip(package, limit_arguments):
    threadpoolctl = pytest.importorskip("threadpoolctl")
    package.set_num_threads(3)
    with threadpoolctl.threadpool_limits(**limit_arguments):
        assert package.get_num_threads() == 1
        assert [pool["num_threads"] for pool in vexa_pools(threadpoolctl)] == [1]
    assert package.get_num_threads() == 3


def test_without_threadpoolctl_the_package_still_imports():
    code = ("import json, sys; sys.modules['threadpoolctl'] = None; import dravenholt.vexa as v; "
            "print(json.dumps([v._threadpool.register() is None, v.get_num_threads() >= 1]))")
    assert run_package_code(code) == [True, True]


# ---- Kernels ----------------------------------------------------------------------------

def test_kernel_list_ends_with_the_exact_core_and_one_is_active(package):
    listed = package.kernels()
    assert listed[-1] == ("scalar", True, listed[-1].active)
    active = [k for k in listed if k.active]
    assert len(active) == 1 and active[0].supported
    assert package.Vexa().version == f"{package.__version__} (kernel: {active[0].name})"
    assert len({k.name for k in listed}) == len(listed)


def test_a_forced_kernel_is_the_active_one():
    code = ("import json, dravenholt.vexa as v; "
            "print(json.dumps([[k.name, k.supported, k.active] for k in v.kernels()]))")
    listed = run_package_code(code, VEXA_KERNEL="scalar")
    assert [name for name, _, active in listed if active] == ["scalar"]
