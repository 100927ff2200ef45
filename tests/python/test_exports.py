"""The dynamic symbols that the installed shared objects define.

libvexa offers only its C entry points (every one named vexa_*), and the extension module
only its initialisation function; the statically linked C++ runtime and all internals stay
local, so that nothing clashes with another copy of them in the same process.
"""

import shutil
import subprocess
import sys
from pathlib import Path

import pytest

pytestmark = pytest.mark.skipif(not sys.platform.startswith("linux"),
                                reason="reads ELF dynamic symbol tables")


def defined_dynamic_symbols(path):
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm (binutils) is not installed")
    listing = subprocess.run([nm, "-D", "--defined-only", "--format=posix", str(path)],
                             check=True, capture_output=True, text=True).stdout
    return {line.split()[0] for line in listing.splitlines() if line.strip()}


def test_libvexa_exports_only_vexa_entry_points(vexa_module):
    symbols = defined_dynamic_symbols(Path(vexa_module.__file__).with_name("libvexa.so"))
    assert {"vexa_gemm_host", "vexa_version"} <= symbols
    assert sorted(name for name in symbols if not name.startswith("vexa_")) == []


def test_extension_exports_only_its_init_function(vexa_module):
    assert defined_dynamic_symbols(vexa_module.__file__) == {"PyInit_vexa"}
