"""``python -m dravenholt.vexa``: the self-test and a demo, or one of the subcommands.

Exit status: 0 on success, 1 when the work fails (no libvexa, a failed check, matplotlib
missing for a plot), 2 for a command line argparse rejects.
"""

import argparse
import os
import sys

__all__ = ["build_parser", "main"]

DESCRIPTION = ("Float64 matrix products to about 130 bits, correctly rounded. Without a "
               "subcommand: run the self-test, then a short demonstration.")


def _positive_int(text):
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, got {value}")
    return value


def build_parser():
    """The argument parser of ``python -m dravenholt.vexa``."""
    parser = argparse.ArgumentParser(prog="python -m dravenholt.vexa", description=DESCRIPTION)
    # Not argparse's "version" action: the text names the kernel, which loads libvexa, and
    # --help must work without it.
    parser.add_argument("--version", action="store_true",
                        help="print the package's version and libvexa's (with its kernel), then exit")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    commands.add_parser("info", help="version, kernels, threads and the CPU features seen",
                        description="Print the version, the kernels and which one is in use, "
                                    "the thread count and the CPU features libvexa sees.")
    bench = commands.add_parser("bench", help="time against numpy's float64 A @ B",
                                description="Time gemm_triple against numpy's float64 A @ B "
                                            "on random n x n operands; print the ratio.")
    bench.add_argument("--sizes", type=_positive_int, nargs="+", default=[256, 512, 1024],
                       metavar="N", help="square sizes to time (default: 256 512 1024)")
    bench.add_argument("--repeat", type=_positive_int, default=3,
                       help="timed runs per size after a warm-up; the best counts (default: 3)")
    bench.add_argument("--threads", type=_positive_int,
                       help="libvexa's thread count for the run (default: as configured)")
    accuracy = commands.add_parser(
        "accuracy", help="relative error against condition number, float64 and Vexa",
        description="Measure the largest relative error of float64 A @ B and of gemm_pair "
                    "against an exact rational reference, for condition numbers 1e0 to 1e60.")
    accuracy.add_argument("--plot", metavar="FILE.png",
                          help="also draw the errors into this PNG file (needs matplotlib)")
    accuracy.add_argument("--samples", type=_positive_int, default=8,
                          help="dot products per condition number (default: 8)")
    accuracy.add_argument("--seed", type=int, default=0, help="seed of the operands (default: 0)")
    return parser


def _self_test_and_demo():
    import numpy as np

    from .vexa import Vexa, test

    test()
    # A dot product whose float64 result is pure cancellation noise.
    A = np.array([[1e16, 1.0, -1e16, 3.0]])
    B = np.array([[1.0], [1.0], [1.0], [1.0]])
    C_hi, C_lo = Vexa().gemm_pair(A, B)
    print()
    print("Demo: [1e16, 1, -1e16, 3] . [1, 1, 1, 1]  (exact value 4)")
    print(f"  float64 A @ B = {float((A @ B)[0, 0])!r}")
    print(f"  Vexa    C_hi  = {float(C_hi[0, 0])!r}, C_lo = {float(C_lo[0, 0])!r}")
    return 0


def _cpu_name():
    try:
        with open("/proc/cpuinfo") as cpuinfo:
            for line in cpuinfo:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    import platform

    return platform.processor() or "unknown"


def _version(arguments):
    from . import __version__
    from ._kernels import runtime_version

    print(f"dravenholt.vexa {__version__}, libvexa {runtime_version()}")
    return 0


def _mebibytes(count):
    return f"{count / 2**20:.4g} MiB" if count else "0 bytes"


def _info(arguments):
    from . import __version__
    from ._kernels import cpu_features, kernels, runtime_version
    from ._memory import parked_memory
    from ._runtime import library_path
    from ._threads import get_num_threads

    listed = kernels()
    states = [f"{k.name} ({'in use' if k.active else 'supported' if k.supported else 'not supported'})"
              for k in listed]
    print(f"dravenholt.vexa {__version__}")
    print(f"libvexa:       {runtime_version()}")
    print(f"library file:  {library_path()}")
    print(f"kernel:        {next(k.name for k in listed if k.active)}")
    print(f"kernels:       {', '.join(states)}")
    print(f"threads:       {get_num_threads()}")
    parked, limit = parked_memory()
    print(f"memory kept:   {_mebibytes(parked)} now, blocks up to {_mebibytes(limit)} between "
          f"products (VEXA_WORKSPACE_KEEP; release_memory() frees them)")
    print(f"CPU:           {_cpu_name()} ({os.cpu_count()} logical CPUs)")
    print(f"CPU features:  {' '.join(cpu_features()) or '(none of those libvexa looks for)'}")
    return 0


def _bench(arguments):
    from . import _bench as bench
    from ._kernels import runtime_version
    from ._threads import get_num_threads, set_num_threads

    if arguments.threads is not None:
        set_num_threads(arguments.threads)
    print(f"libvexa {runtime_version()}, {get_num_threads()} threads; CPU: {_cpu_name()}")
    print("best of {} runs, random normal n x n operands".format(arguments.repeat))
    print(f"{'n':>6} {'numpy A @ B':>14} {'gemm_triple':>14} {'ratio':>9}")
    count = len(arguments.sizes)

    def started(index, n):
        print(f"[{index + 1}/{count}] timing n = {n} ...", file=sys.stderr, flush=True)

    def done(row):
        print(f"{row.n:>6} {row.numpy_seconds * 1e3:>11.4g} ms {row.vexa_seconds * 1e3:>11.4g} ms "
              f"{row.ratio:>8.3g}x", flush=True)

    bench.measure(arguments.sizes, repeat=arguments.repeat, on_start=started, on_done=done)
    return 0


def _accuracy(arguments):
    from . import _accuracy as accuracy

    if arguments.plot:
        try:
            import matplotlib  # noqa: F401
        except ImportError:
            print("error: --plot needs matplotlib: python3 -m pip install matplotlib",
                  file=sys.stderr)
            return 1
    print("maximum relative error against the exact product")
    print(f"{'condition':>10} {'float64 A @ B':>14} {'gemm_pair':>11}")

    def measured(point):
        print(f"{point.condition:>10.1e} {point.float64_error:>14.2e} {point.vexa_error:>11.2e}",
              flush=True)

    points = accuracy.measure(samples=arguments.samples, seed=arguments.seed, progress=measured)
    if arguments.plot:
        accuracy.plot(points, arguments.plot)
        print(f"picture written to {arguments.plot}")
    return 0


_COMMANDS = {"version": _version, "info": _info, "bench": _bench, "accuracy": _accuracy}


def main(argv=None):
    """Run the command line; returns the exit status.

    Parameters
    ----------
    argv : list of str, optional
        The arguments after the program name; by default ``sys.argv[1:]``.

    Returns
    -------
    int
        0 on success, 1 when the work failed. A rejected command line exits with 2
        (through ``SystemExit``, as argparse does).
    """
    arguments = build_parser().parse_args(argv)
    if arguments.command is None and not arguments.version:
        return _self_test_and_demo()
    try:
        return _COMMANDS["version" if arguments.version else arguments.command](arguments)
    except (OSError, RuntimeError) as error:
        print(f"error: {error}", file=sys.stderr)
        return 1
