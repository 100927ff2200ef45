#!/usr/bin/env bash
# The whole test suite on a fresh machine: system packages, the package with its test
# extras, pytest, the C++ tests (with the kernels also emulated through SIMDe, so that every
# kernel's code runs whatever the CPU), and the C++ tests once more under ASan + UBSan.
set -euo pipefail
cd "$(dirname "$0")/.."

python=${PYTHON:-python3}
jobs=$(nproc 2>/dev/null || echo 2)

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
