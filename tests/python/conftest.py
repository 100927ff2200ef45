"""Shared fixtures for the Python tests.

- ``vexa_module``: the extension module ``dravenholt.vexa.vexa`` (imported once: the module
  cannot be initialised twice in one process).
- ``fake_runtime``: a recording stand-in for libvexa, compiled from C once per session
  (``fake_runtime/fake_vexa.c``), reset before and after every test.
- ``run_on_threads``: runs a call on several threads at once.
"""

import ctypes
import decimal
import importlib
import os
import shutil
import subprocess
import threading
from pathlib import Path
from types import SimpleNamespace

import pytest

FAKE_RUNTIME_SOURCE = Path(__file__).parent / "fake_runtime" / "fake_vexa.c"


@pytest.fixture(scope="session")
def vexa_module():
    return importlib.import_module("dravenholt.vexa.vexa")


@pytest.fixture
def vexa(vexa_module):
    """The module, with the thread's decimal context restored after the test (the yardstick
    functions set its precision to 150 and leave it so)."""
    saved = decimal.getcontext().copy()
    yield vexa_module
    decimal.setcontext(saved)


def _c_compiler():
    for candidate in (os.environ.get("CC"), "gcc", "cc", "clang"):
        if candidate and shutil.which(candidate):
            return candidate
    pytest.skip("no C compiler to build the fake runtime")


@pytest.fixture(scope="session")
def fake_runtime_builds(tmp_path_factory):
    """Paths of the fake runtime: complete, and without one entry point each."""
    out_dir = tmp_path_factory.mktemp("fake_runtime")
    compiler = _c_compiler()
    variants = {"complete": [], "no_gemm": ["-DFAKE_OMIT_GEMM"],
                "no_version": ["-DFAKE_OMIT_VERSION"]}
    paths = {}
    for name, defines in variants.items():
        target = out_dir / f"libfake_vexa_{name}.so"
        subprocess.run(
            [compiler, "-std=c11", "-O1", "-shared", "-fPIC", "-fvisibility=hidden", *defines,
             str(FAKE_RUNTIME_SOURCE), "-o", str(target)],
            check=True)
        paths[name] = str(target)
    return SimpleNamespace(**paths)


class FakeRuntime:
    """Test-side controls of the fake runtime at ``path``.

    The library is opened here through its path, so the dynamic loader hands out the same
    copy (and the same recorded globals) that a ``Vexa(path)`` loads.
    """

    VERSION_MODES = {"text": 0, "null": 1, "invalid_utf8": 2}

    def __init__(self, path):
        self.path = path
        lib = ctypes.CDLL(path)
        lib.fake_last_pointer.restype = ctypes.c_size_t
        lib.fake_last_dimension.restype = ctypes.c_longlong
        lib.fake_call_count.restype = ctypes.c_long
        lib.fake_version_calls.restype = ctypes.c_long
        lib.fake_script_outputs.argtypes = [ctypes.POINTER(ctypes.c_double)] * 2 + [ctypes.c_int]
        self._lib = lib

    def reset(self):
        self._lib.fake_reset()

    def set_status(self, status):
        self._lib.fake_set_status(ctypes.c_int(status))

    def call_count(self):
        return self._lib.fake_call_count()

    def last_pointers(self):
        """Addresses of A, B, C_hi, C_lo, C_res in the last call."""
        return tuple(self._lib.fake_last_pointer(i) for i in range(5))

    def last_dimensions(self):
        """M, N, K in the last call, in the order the callee received them."""
        return tuple(self._lib.fake_last_dimension(i) for i in range(3))

    def outputs_were_zero(self):
        return self._lib.fake_outputs_were_zero() == 1

    def script_outputs(self, high, low):
        """The words the next calls write, row-major, when M * N equals their count."""
        count = len(high)
        self._lib.fake_script_outputs((ctypes.c_double * count)(*high),
                                      (ctypes.c_double * count)(*low), count)

    def set_version_mode(self, mode):
        self._lib.fake_set_version_mode(self.VERSION_MODES[mode])

    def version_calls(self):
        return self._lib.fake_version_calls()

    def require_concurrent_callers(self, count):
        self._lib.fake_set_rendezvous(count)

    def concurrent_callers_met(self):
        return self._lib.fake_rendezvous_met() == 1


@pytest.fixture
def fake_runtime(fake_runtime_builds):
    fake = FakeRuntime(fake_runtime_builds.complete)
    fake.reset()
    yield fake
    fake.reset()


@pytest.fixture(scope="session")
def yardstick_runtimes(tmp_path_factory):
    """Stand-in runtimes for the precision checks, compiled from C once per session:
    ``exact`` returns the exact product in two words, ``float64`` a plain float64 product."""
    out_dir = tmp_path_factory.mktemp("yardstick_runtime")
    compiler = _c_compiler()
    paths = {}
    for name in ("exact", "float64"):
        source = FAKE_RUNTIME_SOURCE.parent / f"yardstick_{name}.c"
        target = out_dir / f"libyardstick_{name}.so"
        # Unfused, as numpy's float64 products that the tests compare with: on aarch64
        # compilers contract a * b + c into one fused multiply-add by default.
        subprocess.run([compiler, "-O2", "-ffp-contract=off", "-shared", "-fPIC", str(source),
                        "-o", str(target)], check=True)
        paths[name] = str(target)
    return SimpleNamespace(**paths)


@pytest.fixture
def run_on_threads():
    """``run(call, count)``: ``call()`` on `count` threads at once; returns what they raised."""
    def run(call, count):
        errors = []

        def guarded():
            try:
                call()
            except Exception as error:  # handed to the test, on its own thread
                errors.append(error)

        threads = [threading.Thread(target=guarded) for _ in range(count)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        return errors

    return run
