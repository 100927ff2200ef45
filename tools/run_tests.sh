#!/usr/bin/env bash
# The whole test suite on a fresh machine: system packages, the package with its test
# extras, pytest (on $PYTHON, default python3, and on Python 3.13), stubtest, the
# manylinux wheel and its tests, the C++ tests (with the kernels also emulated through
# SIMDe, so that every kernel's code runs whatever the CPU), the C++ tests once more under
# ASan + UBSan, the runtime and its C++ tests cross-built for Windows under Wine
# (tools/test_windows.sh), and for aarch64 under qemu-aarch64 (tools/test_aarch64.sh).
set -euo pipefail
cd "$(dirname "$0")/.."

python=${PYTHON:-python3}
jobs=$(nproc 2>/dev/null || echo 2)

# The interpreter of that version: on PATH, or one pyenv has installed.
find_python() {
    local candidate
    for candidate in "python$1" "${PYENV_ROOT:-$HOME/.pyenv}/versions/$1".*/bin/"python$1"; do
        if "$candidate" -c "" >/dev/null 2>&1; then
            echo "$candidate"
            return 0
        fi
    done
    return 1
}

need=()
for pkg in cmake g++ ninja-build libgtest-dev libgmp-dev libsimde-dev; do
    dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
if [ ${#need[@]} -gt 0 ]; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${need[@]}"
fi

echo "== pip install .[test]"
"$python" -m pip install -q ".[test]"

echo "== pytest"
# pytest exits 5 when it collects nothing, which fails this script.
"$python" -m pytest -q -p no:cacheprovider tests/python

echo "== Python 3.13: pytest and stubtest in a virtual environment of its own"
py313=$(find_python 3.13) || { echo "Python 3.13 not found (pyenv install 3.13)" >&2; exit 1; }
venv=build/venv-3.13
[ -x "$venv/bin/python" ] || "$py313" -m venv "$venv"
"$venv/bin/python" -m pip install -q --disable-pip-version-check ".[test]" mypy
"$venv/bin/python" -m pytest -q -p no:cacheprovider tests/python
MYPY_CACHE_DIR=build/mypy-cache "$venv/bin/python" -m mypy.stubtest \
    --allowlist tests/stubtest_allowlist.txt dravenholt.vexa

echo "== manylinux wheel, tested installed in a fresh virtual environment"
bash tools/build_wheel.sh "$python"

source tools/expected_kernel.sh

echo "== C++ tests"
cmake -S . -B build/ci -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/ci -j "$jobs"
ctest --test-dir build/ci --output-on-failure --no-tests=error -j "$jobs"

echo "== C++ tests under AddressSanitizer + UndefinedBehaviorSanitizer"
# The emulated kernels ran above; under the sanitizers they would take longer than the rest.
cmake -S . -B build/ci-sanitize -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DVEXA_SANITIZE=address,undefined -DVEXA_BUILD_EXTENSION=OFF -DVEXA_BUILD_BENCH=OFF \
      -DVEXA_SIMDE_TESTS=OFF >/dev/null
cmake --build build/ci-sanitize -j "$jobs"
ctest --test-dir build/ci-sanitize --output-on-failure --no-tests=error -j "$jobs"

echo "== Windows: libvexa.dll cross-built with MinGW-w64, its C++ tests under wine64"
bash tools/test_windows.sh

echo "== aarch64: the runtime cross-built, its C++ tests under qemu-aarch64"
unset VEXA_EXPECTED_KERNEL VEXA_EXPECTED_ENGINES
bash tools/test_aarch64.sh
