"""Helpers for the module-frame tests that need a fresh interpreter.

The module initialises once per process, so anything about initialisation itself runs in a
child interpreter that imports the same built package as the test session.
"""

import json
import os
import subprocess
import sys
import textwrap
from pathlib import Path

# Makes `dravenholt` and `dravenholt.vexa` importable without running the package's
# __init__.py, which imports the extension module at once; the script then decides how
# and when the extension module itself is initialised.
STUB_PARENT_PACKAGES = """
import importlib, importlib.util, sys, types
from pathlib import Path
_root = Path({root!r})
for _name, _folder in (("dravenholt", _root / "dravenholt"),
                       ("dravenholt.vexa", _root / "dravenholt" / "vexa")):
    _package = types.ModuleType(_name)
    _package.__path__ = [str(_folder)]
    sys.modules[_name] = _package
"""


def package_root(vexa_module):
    """The sys.path entry that holds the `dravenholt` package the session imported."""
    return str(Path(vexa_module.__file__).resolve().parents[2])


def run_python(vexa_module, source, *, stub_parents=False, timeout=120):
    """Runs `source` in a new interpreter; returns the CompletedProcess (text mode)."""
    root = package_root(vexa_module)
    script = textwrap.dedent(source)
    if stub_parents:
        script = STUB_PARENT_PACKAGES.format(root=root) + script
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [root, env.get("PYTHONPATH")]))
    return subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          env=env, timeout=timeout)


def run_python_for_json(vexa_module, source, **options):
    """Runs `source`, which must print one JSON document as its last line, and decodes it."""
    completed = run_python(vexa_module, source, **options)
    assert completed.returncode == 0, completed.stderr
    return json.loads(completed.stdout.strip().splitlines()[-1])
