#!/usr/bin/env bash
# The whole test suite on a fresh machine: system packages, the package with its test
# extras, pytest (on $PYTHON, default python3, and on Python 3.13), stubtest, the
# manylinux wheel and its tests, the C++ tests (with the kernels also emulated through
# SIMDe, so that every kernel's code runs whatever the CPU), the C++ tests once more under
# ASan + UBSan, the runtime and its C++ tests cross-built for Windows under Wine
# (tools/test_windows.sh), and for aarch64 under qemu-aarch64 (tools/test_aarch64.sh), and
# the aarch64 wheel with the Python tests under qemu (tools/build_wheel.sh --aarch64).
#
# Every stage runs even when an earlier one failed; a table of the stages (tests passed,
# failed and skipped, minutes) closes the run, and the exit status is non-zero when any
# stage failed. Each stage's output is also kept in build/test-logs/.
set -uo pipefail
cd "$(dirname "$0")/.."

python=${PYTHON:-python3}
jobs=$(nproc 2>/dev/null || echo 2)
logs=build/test-logs
mkdir -p "$logs"
rm -f "$logs"/*.log

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

# ---- The stages: each runs with `set -e` in a subshell of its own ----

stage_packages() {
    local need=() pkg
    for pkg in cmake g++ ninja-build libgtest-dev libgmp-dev libsimde-dev; do
        dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
    done
    if [ ${#need[@]} -gt 0 ]; then
        export DEBIAN_FRONTEND=noninteractive
        apt-get update -qq
        apt-get install -y -qq --no-install-recommends "${need[@]}"
    fi
    "$python" -m pip install -q ".[test]"
}

stage_pytest() {
    # pytest exits 5 when it collects nothing, which fails the stage.
    "$python" -m pytest -q -p no:cacheprovider tests/python
}

stage_python313() {
    local py313 venv=build/venv-3.13
    py313=$(find_python 3.13) || { echo "Python 3.13 not found (pyenv install 3.13)" >&2; return 1; }
    [ -x "$venv/bin/python" ] || "$py313" -m venv "$venv"
    "$venv/bin/python" -m pip install -q --disable-pip-version-check ".[test]" mypy
    "$venv/bin/python" -m pytest -q -p no:cacheprovider tests/python
    MYPY_CACHE_DIR=build/mypy-cache "$venv/bin/python" -m mypy.stubtest \
        --allowlist tests/stubtest_allowlist.txt dravenholt.vexa
}

stage_wheel() {
    bash tools/build_wheel.sh "$python"
}

stage_cpp() {
    source tools/expected_kernel.sh
    # Wherever nvcc is, the GPU engine's CUDA backend is built too (building needs no GPU);
    # the engine's tests (label cuda) run on its CPU backend in every build.
    local cuda=() nvcc_path="$PATH"
    if command -v nvcc >/dev/null || [ -x /usr/local/cuda/bin/nvcc ]; then
        cuda=(-DVEXA_CUDA=ON)
        nvcc_path="$PATH:/usr/local/cuda/bin"
    fi
    PATH="$nvcc_path" cmake -S . -B build/ci -G Ninja -DCMAKE_BUILD_TYPE=Release "${cuda[@]}" >/dev/null
    cmake --build build/ci -j "$jobs"
    ctest --test-dir build/ci --output-on-failure --no-tests=error -j "$jobs"
    echo "cuda-labelled tests (CPU backend and ldd checks): $(ctest --test-dir build/ci -N -L cuda | tail -1)"
}

stage_sanitizers() {
    source tools/expected_kernel.sh
    # The emulated kernels ran in the C++ stage; under the sanitizers they would take longer
    # than everything else.
    cmake -S . -B build/ci-sanitize -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
          -DVEXA_SANITIZE=address,undefined -DVEXA_BUILD_EXTENSION=OFF -DVEXA_BUILD_BENCH=OFF \
          -DVEXA_SIMDE_TESTS=OFF >/dev/null
    cmake --build build/ci-sanitize -j "$jobs"
    ctest --test-dir build/ci-sanitize --output-on-failure --no-tests=error -j "$jobs"
}

stage_windows() {
    # It sets its own expectations: Wine grants no AMX tiles.
    bash tools/test_windows.sh
}

stage_aarch64() {
    bash tools/test_aarch64.sh
}

stage_aarch64_wheel() {
    bash tools/build_wheel.sh --aarch64
}

# ---- Running them, and the closing table ----

names=() results=() counts=() minutes=()
any_failed=0
total_passed=0 total_failed=0 total_skipped=0

# The tests a stage's log reports, summed over every pytest and ctest run in it:
# "passed failed skipped".
count_tests() {
    local log=$1 passed=0 failed=0 skipped=0 n
    # pytest: "12 passed, 1 failed, 2 skipped, 1 error in 3.4s"
    while read -r line; do
        for word in passed failed skipped error errors; do
            n=$(grep -oE "[0-9]+ $word([ ,]|$)" <<<"$line" | grep -oE '^[0-9]+' || true)
            [ -n "$n" ] || continue
            case $word in
                passed) passed=$((passed + n)) ;;
                skipped) skipped=$((skipped + n)) ;;
                *) failed=$((failed + n)) ;;
            esac
        done
    done < <(grep -E '^(=+ )?[0-9]+ (passed|failed|skipped|error)' "$log" | grep -E ' in [0-9.]+s' || true)
    # ctest: "98% tests passed, 2 tests failed out of 120", skipped ones listed as "(Skipped)"
    while read -r fail total; do
        passed=$((passed + total - fail))
        failed=$((failed + fail))
    done < <(sed -nE 's/^[0-9]+% tests passed, ([0-9]+) tests? failed out of ([0-9]+).*/\1 \2/p' "$log")
    n=$(grep -cE '\(Skipped\)$' "$log" || true)
    skipped=$((skipped + n))
    passed=$((passed - n))
    echo "$passed $failed $skipped"
}

run_stage() {
    local name=$1 body=$2 log start status passed failed skipped
    log="$logs/$(printf '%02d' $((${#names[@]} + 1)))-$name.log"
    echo
    echo "==== stage: $name"
    start=$SECONDS
    (set -euo pipefail; "$body") 2>&1 | tee "$log"
    status=${PIPESTATUS[0]}
    read -r passed failed skipped < <(count_tests "$log")
    names+=("$name")
    counts+=("$passed $failed $skipped")
    minutes+=("$(awk -v s=$((SECONDS - start)) 'BEGIN { printf "%.1f", s / 60 }')")
    if [ "$status" -eq 0 ] && [ "$failed" -eq 0 ]; then
        results+=(ok)
    else
        results+=("FAILED (exit $status)")
        any_failed=1
    fi
    total_passed=$((total_passed + passed))
    total_failed=$((total_failed + failed))
    total_skipped=$((total_skipped + skipped))
}

run_stage packages stage_packages
run_stage pytest stage_pytest
run_stage python3.13 stage_python313
run_stage wheel stage_wheel
run_stage c++ stage_cpp
run_stage sanitizers stage_sanitizers
run_stage windows stage_windows
run_stage aarch64 stage_aarch64
run_stage aarch64-wheel stage_aarch64_wheel

echo
echo "==== summary (logs in $logs)"
printf '%-14s %-18s %8s %8s %8s %8s\n' stage result passed failed skipped minutes
for i in "${!names[@]}"; do
    read -r passed failed skipped <<<"${counts[$i]}"
    printf '%-14s %-18s %8s %8s %8s %8s\n' "${names[$i]}" "${results[$i]}" "$passed" "$failed" \
        "$skipped" "${minutes[$i]}"
done
echo "total: $total_passed passed, $total_failed failed, $total_skipped skipped"
exit "$any_failed"
