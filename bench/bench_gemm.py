"""Time Vexa().gemm_pair against numpy's float64 A @ B, side by side, in one run.

Run it as (the environment may set OPENBLAS_CORETYPE / OPENBLAS_L2_SIZE, which would pin
numpy's baseline to a slower kernel; both are unset for a fair comparison):

    env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE OMP_NUM_THREADS=2 OPENBLAS_NUM_THREADS=2 \\
        VEXA_NUM_THREADS=2 PYTHONPATH=build-runtime/python python3 bench/bench_gemm.py

For n = 256, 512, 1024, 2048 (M = N = K, random normal inputs) it prints the min and the
median wall time of each over --repeat rounds (after one warm-up), their ratio, the kernel
libvexa chose (from its version string) and the thread counts. A round is a busy pause, then
gemm_pair, the direct native call of the accounting below, and numpy's product last (its
threads spin on after it): the ratios are of calls taken side by side. Below n = 1024 each
timed call follows an untimed one of its own, so that no library is timed waking its
threads. Nothing in the
environment is changed by the script itself; what numpy's BLAS is, and how it was
configured, is printed first so the baseline is known.

Then, per size, where the time of the fastest gemm_pair went (--no-accounting leaves it
out): each phase the fast path times itself, what the native call spends outside them, and
the Python layer (gemm_pair's wall time less that of vexa_gemm_host called directly on
output arrays already touched, which leaves the fresh output pages in the Python layer's
share). Each row has its time, its share of gemm_pair, its time as a multiple of numpy's,
and its rate against its own limit: the products in multiply-adds per cycle and core
against --int8-peak, the rest in
nanoseconds per element and core (per input element and modulus for the residues, per
input element for the planning's scans, per output element for the rest). The floor line
is the products at that peak, over numpy's time: with numpy at its own peak,
--fp64-peak / --int8-peak times the average modulus count.

The two peaks are measured where they can be: the peak/ rows of bench_kernels (--peaks-from,
by default the one of the build whose libvexa is loaded) time long runs of the kernel's
product instruction and of vfmadd231pd, in multiply-adds per cycle of the time-stamp counter,
the clock the table counts in. A CPU whose cores run above that clock, or issue a 512-bit
instruction as two halves (Zen 4), is thus measured against what it does, not against a
nominal rate. Without bench_kernels, or for a kernel it has no row for, the nominal rates
below are taken, and the table says so.
"""

import argparse
import contextlib
import ctypes
import io
import json
import os
import pathlib
import statistics
import subprocess

import numpy as np

from dravenholt.vexa import Vexa, kernels
from dravenholt.vexa._runtime import library
from timing import pause_busily, timed

PHASES = ("planning", "residues", "products", "reconstruction", "excluded")

# Multiply-adds per core cycle of each kernel's product instruction at its nominal rate:
# one tdpbusd (16 x 16 x 64) per 16 cycles; two 512-bit vpdpbusd per cycle; two 256-bit
# vpmaddwd (int16) per cycle, or two 256-bit vpdpwssd.
PRODUCT_PEAKS = {"amx_int8": 1024.0, "avx512_vnni": 128.0, "avx_vnni": 32.0, "avx2": 32.0}


# The peak/ row of bench_kernels that times each kernel's product instruction.
PEAK_ROWS = {"amx_int8": "peak/tdpbusd", "avx512_vnni": "peak/vpdpbusd_zmm",
             "avx2": "peak/vpmaddwd_vpaddd_ymm"}


def default_bench_kernels():
    """bench_kernels of the build that holds the loaded libvexa (build/python/dravenholt/vexa)."""
    return str(pathlib.Path(library()._name).parents[3] / "bench" / "bench_kernels")


def measured_peaks(bench_kernels):
    """{row name: multiply-adds per cycle} from bench_kernels' peak/ rows; {} where it cannot run."""
    if not bench_kernels or not os.path.exists(bench_kernels):
        return {}
    try:
        out = subprocess.run([bench_kernels, "--benchmark_filter=^peak/", "--benchmark_format=json"],
                             capture_output=True, text=True, timeout=300, check=True).stdout
        rows = json.loads(out)["benchmarks"]
    except (OSError, subprocess.SubprocessError, ValueError, KeyError):
        return {}
    return {row["name"]: float(row["MAC_per_cycle"]) for row in rows if "MAC_per_cycle" in row}


def choose_peaks(args, active, supported):
    """--int8-peak and --fp64-peak where not given: measured, else nominal; with their sources.
    The two are measured together or not at all (a given --int8-peak leaves the other nominal):
    the floor line takes their ratio."""
    avx512 = bool(supported & {"avx512_vnni", "amx_int8"})
    rows = (PEAK_ROWS.get(active), "peak/vfmadd231pd_zmm" if avx512 else "peak/vfmadd231pd_ymm")
    sources = ["given", "given"]
    if args.int8_peak is None or args.fp64_peak is None:
        peaks = {} if args.int8_peak is not None else measured_peaks(
            args.peaks_from if args.peaks_from is not None else default_bench_kernels())
        measured = all(row in peaks for row in rows)
        nominal = (PRODUCT_PEAKS.get(active, 128.0), 16.0 if avx512 else 8.0 if "avx2" in supported else 4.0)
        for i, name in enumerate(("int8_peak", "fp64_peak")):
            if getattr(args, name) is None:
                setattr(args, name, peaks[rows[i]] if measured else nominal[i])
                sources[i] = f"measured, bench_kernels {rows[i]}" if measured else "nominal"
    print(f"limits per core and time-stamp counter cycle: product instruction {args.int8_peak:.1f} "
          f"MAC ({sources[0]}), float64 FMA {args.fp64_peak:.1f} MAC ({sources[1]})")


def blas_description():
    try:
        import threadpoolctl  # optional
    except ImportError:
        buffer = io.StringIO()
        with contextlib.redirect_stdout(buffer):
            np.show_config()
        return buffer.getvalue().rstrip()
    lines = []
    for pool in threadpoolctl.threadpool_info():
        lines.append(", ".join(f"{key}={pool.get(key)}" for key in
                               ("internal_api", "version", "architecture", "num_threads",
                                "filepath")))
    return "\n".join(lines) or "threadpoolctl found no BLAS"


def openblas_core():
    """The kernel OpenBLAS picked at run time (e.g. SkylakeX, Zen), where it can be asked."""
    np.ones((2, 2)) @ np.ones((2, 2))  # make sure the library is loaded
    try:
        with open("/proc/self/maps") as maps:
            paths = {line.split()[-1] for line in maps if "openblas" in line.lower()}
    except OSError:
        return "unknown"
    for path in sorted(paths):
        try:
            library = ctypes.CDLL(path)
        except OSError:
            continue
        for name in ("openblas_get_corename", "openblas_get_corename64_",
                     "scipy_openblas_get_corename64_", "scipy_openblas_get_corename"):
            function = getattr(library, name, None)
            if function is not None:
                function.restype = ctypes.c_char_p
                return function().decode()
    return "unknown"


def nominal_hz():
    """The clock the time-stamp counter and the cycle rates count in: the model name's
    nominal frequency where it gives one, else the kernel's current reading."""
    try:
        with open("/proc/cpuinfo") as info:
            text = info.read()
    except OSError:
        return None
    for line in text.splitlines():
        if line.startswith("model name") and "@" in line and line.rstrip().endswith("GHz"):
            return 1e9 * float(line.rsplit("@", 1)[1].strip()[:-3])
    for line in text.splitlines():
        if line.startswith("cpu MHz"):
            return 1e6 * float(line.split(":")[1])
    return None


def native_call(lib, A, B):
    """A direct vexa_gemm_host call on outputs made and touched once, reused every call, and
    the reader of its phase record (None off the fast path)."""
    M, K = A.shape
    N = B.shape[1]
    outputs = [np.ones((M, N)), np.ones((M, N)), np.ones((M, N), dtype=np.float32)]
    pointer = lambda X, t: X.ctypes.data_as(ctypes.POINTER(t))  # noqa: E731
    args = [pointer(A, ctypes.c_double), pointer(B, ctypes.c_double),
            pointer(outputs[0], ctypes.c_double), pointer(outputs[1], ctypes.c_double),
            pointer(outputs[2], ctypes.c_float), M, N, K]
    record = (ctypes.c_double * 7)()

    def call():
        status = lib.vexa_gemm_host(*args)
        if status != 0:
            raise RuntimeError(f"vexa_gemm_host: {status}")

    def phases():
        return list(record) if lib.vexa_last_phase_seconds(record, 7) == 7 else None

    return call, phases


def accounting(n, threads, pair_min, numpy_min, native_min, phases, hz, int8_peak, fp64_peak):
    """The table of where pair_min went; see the module's docstring."""
    print(f"  n = {n}: gemm_pair {pair_min:.4f}s, vexa_gemm_host on touched outputs "
          f"{native_min:.4f}s, numpy {numpy_min:.4f}s, threads {threads}")
    if phases is None:
        print("  (the product did not take the fast path: no phases)")
        return
    seconds = dict(zip(PHASES, phases[:5]))
    moduli, average = phases[5], phases[6]
    seconds["native other"] = native_min - sum(phases[:5])
    seconds["python layer"] = pair_min - native_min
    inputs, outputs = 2.0 * n * n, float(n) * n
    macs = average * float(n) ** 3
    core_ns = lambda t, count: 1e9 * t * threads / count  # noqa: E731
    rates = {
        "planning": f"{core_ns(seconds['planning'], inputs):7.2f} ns/input elt/core",
        "residues": f"{core_ns(seconds['residues'], inputs * average):7.2f} ns/input elt/modulus/core",
        "reconstruction": f"{core_ns(seconds['reconstruction'], outputs):7.2f} ns/output elt/core",
        "excluded": "",
        "native other": f"{core_ns(seconds['native other'], outputs):7.2f} ns/output elt/core",
        "python layer": f"{core_ns(seconds['python layer'], outputs):7.2f} ns/output elt/core",
    }
    if hz:
        per_cycle = macs / (seconds["products"] * threads * hz) if seconds["products"] > 0 else 0.0
        rates["products"] = (f"{per_cycle:7.2f} MAC/cycle/core, {100 * per_cycle / int8_peak:.0f}%"
                             f" of {int8_peak:.1f}")
    else:
        rates["products"] = "(no clock known)"
    print(f"  {'phase':<15} {'seconds':>9} {'share':>6} {'x numpy':>8}  rate against its limit")
    for name, t in seconds.items():
        print(f"  {name:<15} {t:>9.4f} {100 * t / pair_min:>5.1f}% {t / numpy_min:>7.3f}x  {rates[name]}")
    if hz:
        floor = macs / (int8_peak * threads * hz)
        print(f"  moduli: {moduli:g} at most, {average:.2f} on average; floor (products at "
              f"{int8_peak:.1f} MAC/cycle, nothing else) {floor:.4f}s = {floor / numpy_min:.2f}x "
              f"this numpy; against a DGEMM at {fp64_peak:.1f} FP64 MAC/cycle "
              f"{average:.2f} x {fp64_peak:.1f}/{int8_peak:.1f} = {average * fp64_peak / int8_peak:.2f}x")
    print(flush=True)


def side_by_side(calls, repeat, hot):
    """Min and median seconds of each of `calls`, taken in turn `repeat` times after one
    warm-up round (page faults, thread start, library loading), with a busy pause before
    each round: a shared machine's drift then moves every column alike, and OpenBLAS's
    spinning threads are idle when libvexa's start. Where `hot`, each timed run follows an
    untimed one of the same call, as in a loop of products: after the pause both
    libraries' threads are parked, and waking them is most of a small product's time. A
    call is a (function, after) pair; after() runs untimed right after each fastest-yet run
    of function, and the result of the last such run is returned with the times."""
    for function, _ in calls:
        function()
    times = [[] for _ in calls]
    kept = [None] * len(calls)
    for _ in range(repeat):
        pause_busily()
        for i, (function, after) in enumerate(calls):
            if hot:
                function()
            elapsed, _ = timed(function)
            if after and (not times[i] or elapsed < min(times[i])):
                kept[i] = after()
            times[i].append(elapsed)
    return [(min(t), statistics.median(t), k) for t, k in zip(times, kept)]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[256, 512, 1024, 2048])
    parser.add_argument("--repeat", type=int, default=0,
                        help="runs per size (default: 7 below n = 1024, else 3)")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--no-accounting", action="store_true",
                        help="leave out the per-phase table of each size")
    parser.add_argument("--int8-peak", type=float, default=None,
                        help="multiply-adds per cycle and core of the kernel's product "
                             "instruction (default: measured by bench_kernels' peak/ rows, else "
                             "by kernel: " + ", ".join(f"{k} {v:g}" for k, v in PRODUCT_PEAKS.items())
                             + ", otherwise 128)")
    parser.add_argument("--fp64-peak", type=float, default=None,
                        help="float64 multiply-adds per cycle and core (default: measured, else "
                             "two 512-bit FMAs where an AVX-512 kernel is supported, two 256-bit "
                             "ones where avx2 is, otherwise two 128-bit ones)")
    parser.add_argument("--peaks-from", default=None,
                        help="the bench_kernels whose peak/ rows measure both peaks (default: the "
                             "loaded libvexa's build's; '' for the nominal rates)")
    args = parser.parse_args()

    vexa = Vexa()
    print("numpy", np.__version__, "BLAS:")
    print(blas_description())
    print(f"OpenBLAS core in use: {openblas_core()}")
    print()
    for name in ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE", "OMP_NUM_THREADS",
                 "OPENBLAS_NUM_THREADS", "VEXA_NUM_THREADS", "VEXA_KERNEL"):
        print(f"{name}={os.environ.get(name, '(unset)')}")
    cpus = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    requested = os.environ.get("VEXA_NUM_THREADS", "")
    threads = int(requested) if requested.isdigit() and int(requested) > 0 else cpus
    print(f"libvexa: {vexa.version}   threads: {threads}   cpus available: {cpus}")
    if not args.no_accounting:
        choose_peaks(args, next(k.name for k in kernels() if k.active),
                     {k.name for k in kernels() if k.supported})
    print()
    header = (f"{'n':>5} {'vexa min':>10} {'vexa med':>10} {'numpy min':>10} {'numpy med':>10}"
              f" {'ratio min':>9} {'ratio med':>9}")
    print(header)
    rng = np.random.default_rng(args.seed)
    tables = []
    for n in args.sizes:
        A = rng.standard_normal((n, n))
        B = rng.standard_normal((n, n))
        repeat = args.repeat or (7 if n < 1024 else 3)
        calls = [(lambda: vexa.gemm_pair(A, B), None)]
        if not args.no_accounting:
            calls.append(native_call(library(), A, B))
        calls.append((lambda: A @ B, None))
        columns = side_by_side(calls, repeat, hot=n < 1024)
        (v_min, v_med, _), (n_min, n_med, _) = columns[0], columns[-1]
        print(f"{n:>5} {v_min:>9.4f}s {v_med:>9.4f}s {n_min:>9.4f}s {n_med:>9.4f}s"
              f" {v_min / n_min:>8.2f}x {v_med / n_med:>8.2f}x", flush=True)
        if not args.no_accounting:
            native_min, _, phases = columns[1]
            tables.append((n, v_min, n_min, native_min, phases))
    if tables:
        hz = nominal_hz()
        print()
        print(f"Where gemm_pair's time went (clock {hz / 1e9 if hz else float('nan'):.2f} GHz):")
        for n, v_min, n_min, native_min, phases in tables:
            accounting(n, threads, v_min, n_min, native_min, phases, hz, args.int8_peak,
                       args.fp64_peak)


if __name__ == "__main__":
    main()
