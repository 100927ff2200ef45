"""python -m dravenholt.vexa: help, the subcommands' output and exit statuses, and the
accuracy picture (checked by its axes data, not its pixels)."""

import os
import struct
import subprocess
import sys

import pytest


def run_cli(*arguments, **env_changes):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    env.pop("VEXA_NUM_THREADS", None)
    env.update(env_changes)
    return subprocess.run([sys.executable, "-m", "dravenholt.vexa", *arguments], env=env,
                          capture_output=True, text=True, timeout=300)


@pytest.mark.parametrize("arguments", [["--help"], ["-h"]])
def test_help_lists_the_subcommands_and_runs_nothing(arguments):
    done = run_cli(*arguments)
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith("usage: python -m dravenholt.vexa")
    for command in ("info", "bench", "accuracy"):
        assert f"\n    {command} " in done.stdout
    assert "Vexa Quick Test" not in done.stdout


@pytest.mark.parametrize("command", ["info", "bench", "accuracy"])
def test_each_subcommand_has_help(command):
    done = run_cli(command, "--help")
    assert done.returncode == 0 and f"usage: python -m dravenholt.vexa {command}" in done.stdout


@pytest.mark.parametrize("arguments", [["frobnicate"], ["--no-such-flag"], ["bench", "--sizes", "0"],
                                       ["bench", "--sizes", "x"], ["accuracy", "--samples", "-2"],
                                       ["info", "extra"]])
def test_a_bad_command_line_exits_2_with_usage(arguments):
    done = run_cli(*arguments)
    assert done.returncode == 2
    assert done.stdout == "" and "usage:" in done.stderr


def test_info_reports_version_kernel_threads_and_features():
    import dravenholt.vexa as package

    done = run_cli("info", VEXA_NUM_THREADS="3")
    assert done.returncode == 0, done.stderr
    fields = dict(line.split(":", 1) for line in done.stdout.splitlines()[1:])
    fields = {key: value.strip() for key, value in fields.items()}
    active = next(k.name for k in package.kernels() if k.active)
    assert done.stdout.splitlines()[0] == f"dravenholt.vexa {package.__version__}"
    assert fields["libvexa"] == package.Vexa().version
    assert fields["kernel"] == active
    assert f"{active} (in use)" in fields["kernels"]
    assert fields["threads"] == "3"
    assert fields["CPU features"].split() == package._kernels.cpu_features() or \
        fields["CPU features"].startswith("(none")


def test_version_names_the_package_and_the_library_with_its_settings():
    import dravenholt.vexa as package

    done = run_cli("--version", VEXA_NUM_THREADS="abc")
    assert done.returncode == 0, done.stderr
    normal = package.Vexa().version  # this process has no unusable setting
    assert done.stdout == (f"dravenholt.vexa {package.__version__}, libvexa "
                           f"{normal[:-1]}; VEXA_NUM_THREADS=abc is not a positive integer)\n")
    assert "Vexa Quick Test" not in done.stdout


@pytest.mark.parametrize("keep, limit", [("0", "0 bytes"), ("3145728", "3 MiB"), ("64M", "64 MiB")])
def test_info_reports_the_memory_kept(keep, limit):
    done = run_cli("info", VEXA_WORKSPACE_KEEP=keep)
    assert done.returncode == 0, done.stderr
    line = next(line for line in done.stdout.splitlines() if line.startswith("memory kept:"))
    assert line.split(":", 1)[1].split(" (")[0].strip() == \
        f"0 bytes now, blocks up to {limit} between products"


def test_bench_prints_a_row_per_size_and_progress():
    done = run_cli("bench", "--sizes", "8", "24", "--repeat", "1", "--threads", "1")
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert ", 1 threads;" in lines[0]
    rows = [line.split() for line in lines[3:]]
    assert [row[0] for row in rows] == ["8", "24"]
    for row in rows:
        assert row[2] == row[4] == "ms" and row[5].endswith("x")
        assert min(float(row[1]), float(row[3]), float(row[5][:-1])) > 0
    assert done.stderr.splitlines() == ["[1/2] timing n = 8 ...", "[2/2] timing n = 24 ..."]


def test_the_bare_command_still_runs_the_self_test():
    done = run_cli()
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith("Vexa Quick Test\n")
    assert "Vexa working correctly!" in done.stdout


def test_a_missing_library_exits_1_with_a_message(tmp_path):
    # A copy of the pure-Python package with no libraries beside it.
    import dravenholt.vexa as package

    source = os.path.dirname(package.__file__)
    target = tmp_path / "dravenholt" / "vexa"
    target.mkdir(parents=True)
    for name in os.listdir(source):
        if name.endswith(".py") or name.startswith("vexa."):  # the extension, not libvexa
            (target / name).write_bytes(open(os.path.join(source, name), "rb").read())
    env = dict(os.environ, PYTHONPATH=str(tmp_path))
    done = subprocess.run([sys.executable, "-m", "dravenholt.vexa", "info"], env=env,
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 1
    assert done.stderr.startswith("error: libvexa not found beside the package")


# ---- The accuracy picture ----------------------------------------------------------------

def png_size(path):
    with open(path, "rb") as picture:
        head = picture.read(24)
    assert head[:8] == b"\x89PNG\r\n\x1a\n" and head[12:16] == b"IHDR"
    return struct.unpack(">II", head[16:24])


def test_accuracy_writes_a_png_and_a_table(tmp_path):
    pytest.importorskip("matplotlib")
    path = tmp_path / "accuracy.png"
    done = run_cli("accuracy", "--samples", "2", "--plot", str(path))
    assert done.returncode == 0, done.stderr
    width, height = png_size(path)
    assert width > 400 and height > 300
    rows = [line.split() for line in done.stdout.splitlines()[2:-1]]
    assert len(rows) == 31
    for condition, float64_error, vexa_error in rows:
        # Correct rounding bounds the pair's error by 2^-106; float64's grows with the
        # condition number (K = 32 terms, so at most about 32 * 2^-53 per unit of it).
        assert float(vexa_error) <= 2.0 ** -106
        assert float(float64_error) <= 32 * 2.0 ** -53 * float(condition) * 1.01
    assert float(rows[-1][0]) > 1e50 and float(rows[-1][1]) > 1


def test_the_axes_carry_the_measured_errors(tmp_path):
    pytest.importorskip("matplotlib")
    from dravenholt.vexa import _accuracy

    points = _accuracy.measure(exponents=[0, 20, 40], samples=2, length=8)
    figure = _accuracy.plot(points, tmp_path / "small.png")
    png_size(tmp_path / "small.png")
    [axes] = figure.axes
    assert (axes.get_xscale(), axes.get_yscale()) == ("log", "log")
    float64_line, vexa_line = axes.get_lines()[:2]
    conditions = [p.condition for p in points]
    assert list(float64_line.get_xdata()) == list(vexa_line.get_xdata()) == conditions
    assert list(float64_line.get_ydata()) == [p.float64_error for p in points]
    assert list(vexa_line.get_ydata()) == [max(p.vexa_error, _accuracy.ZERO_ERROR_FLOOR)
                                           for p in points]
    assert "condition number" in axes.get_xlabel()
    assert "relative error" in axes.get_ylabel()


def test_plot_without_matplotlib_exits_1(tmp_path):
    code = ("import sys; sys.modules['matplotlib'] = None; from dravenholt.vexa._cli import main; "
            f"sys.exit(main(['accuracy', '--plot', {str(tmp_path / 'x.png')!r}]))")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    done = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True,
                          timeout=120)
    assert done.returncode == 1 and "matplotlib" in done.stderr
    assert not (tmp_path / "x.png").exists()
