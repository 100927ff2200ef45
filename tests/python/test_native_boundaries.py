"""What touches native code, and when: an import loads no libvexa, and a first product on a
fresh thread of a process without address space left fails cleanly instead of aborting."""

import json
import os
import subprocess
import sys
import textwrap

import pytest


def run_child(code, **env_changes):
    """Runs `code` in a child interpreter that imports the same package; returns its JSON."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    for name in ("VEXA_NUM_THREADS", "VEXA_KERNEL"):
        env.pop(name, None)
    env.update(env_changes)
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env,
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, (done.returncode, done.stderr[-2000:])
    return json.loads(done.stdout.splitlines()[-1])


LOADED_LIBVEXA = """
    def loaded_libvexa():
        with open("/proc/self/maps") as maps:
            return sorted({line.split()[-1] for line in maps if "libvexa" in line})
"""


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc/self/maps")
@pytest.mark.parametrize("module", ["dravenholt.vexa", "dravenholt.vexa.vexa"])
@pytest.mark.parametrize("threadpoolctl", ["installed", "absent"])
def test_an_import_maps_no_libvexa(module, threadpoolctl):
    if threadpoolctl == "installed":
        pytest.importorskip("threadpoolctl")
    hide = "sys.modules['threadpoolctl'] = None" if threadpoolctl == "absent" else "pass"
    code = LOADED_LIBVEXA + f"""
    import importlib, json, sys
    {hide}
    importlib.import_module({module!r})
    after_import = loaded_libvexa()
    import dravenholt.vexa as v
    v.get_num_threads()
    print(json.dumps([after_import, len(loaded_libvexa())]))
    """
    assert run_child(code) == [[], 1]


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc/self/maps")
def test_threadpoolctl_lists_libvexa_once_loaded():
    pytest.importorskip("threadpoolctl")
    code = """
    import json, threadpoolctl, dravenholt.vexa as v
    def pools():
        return [p["user_api"] for p in threadpoolctl.threadpool_info() if p["user_api"] == "vexa"]
    before = pools()
    v.get_num_threads()
    print(json.dumps([before, pools()]))
    """
    assert run_child(code) == [[], ["vexa"]]


# The product runs on a thread that has never called libvexa, after the process's address
# space has been capped at what it uses and every heap it could still grow is filled.
FIRST_CALL_WITHOUT_MEMORY = """
    import ctypes, json, resource, sys, threading
    import numpy as np
    from dravenholt.vexa._runtime import library

    lib = library()
    n, threads = {n}, {threads}
    lib.vexa_set_num_threads(threads)
    libc = ctypes.CDLL(None)
    libc.malloc.restype = ctypes.c_void_p
    libc.malloc.argtypes = [ctypes.c_size_t]
    libc.free.argtypes = [ctypes.c_void_p]
    A = np.random.default_rng(1).standard_normal((n, n))
    B = A.T.copy()
    hi, lo = np.full((n, n), 7.0), np.full((n, n), 7.0)
    res = np.full((n, n), 7.0, np.float32)
    double_p, float_p = ctypes.POINTER(ctypes.c_double), ctypes.POINTER(ctypes.c_float)
    args = (A.ctypes.data_as(double_p), B.ctypes.data_as(double_p), hi.ctypes.data_as(double_p),
            lo.ctypes.data_as(double_p), res.ctypes.data_as(float_p), n, n, n)
    ballast = (ctypes.c_void_p * 1_000_000)()
    go, outcome = threading.Event(), {{"status": None, "blocks": 0}}

    def first_call():
        go.wait()
        count, size = 0, 1 << 24
        while size >= 16:
            block = libc.malloc(size)
            if block:
                ballast[count] = block
                count += 1
            else:
                size //= 2
        outcome["status"] = lib.vexa_gemm_host(*args)
        for i in range(count):
            libc.free(ballast[i])
        outcome["blocks"] = count

    worker = threading.Thread(target=first_call)
    worker.start()
    with open("/proc/self/statm") as statm:
        in_use = int(statm.read().split()[0]) * resource.getpagesize()
    resource.setrlimit(resource.RLIMIT_AS, (in_use, resource.RLIM_INFINITY))
    go.set()
    worker.join()
    resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
    untouched = bool((hi == 7).all() and (lo == 7).all() and (res == 7).all())
    print(json.dumps([outcome["status"], untouched, outcome["blocks"] > 0]))
"""


def supported_kernels():
    import dravenholt.vexa as v

    return [k.name for k in v.kernels() if k.supported]


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="RLIMIT_AS and glibc's TLS")
@pytest.mark.parametrize("kernel", supported_kernels())
@pytest.mark.parametrize("n, threads", [(8, 1), (200, 1), (200, 2)])
def test_first_call_on_a_new_thread_without_memory_fails_cleanly(kernel, n, threads):
    status, untouched, filled = run_child(FIRST_CALL_WITHOUT_MEMORY.format(n=n, threads=threads),
                                          VEXA_KERNEL=kernel)
    assert filled
    assert (status, untouched) in [(-3, True), (0, False)]
