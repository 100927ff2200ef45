#!/usr/bin/env bash
# The runtime and its C++ tests cross-built for 64-bit ARM Linux and run under qemu-aarch64,
# once per emulated CPU model: `max` (dotprod and i8mm: every engine runs), `cortex-a72`
# (plain ARMv8.0 NEON: the choice must fall back to the exact core and the portable engines,
# with the same results), and briefly `cortex-a76` (dotprod without i8mm). The pieces' own
# tables (the Entries/ cases) run their portable entries under `max` alone: that code is the
# same under every model. Each run checks
# that the kernel chosen and the engines usable are the ones that CPU model should get, and
# prints the engines the tests exercised.
#
# Installs what it needs (Debian): the cross compiler, qemu-user, and the arm64 multiarch
# libc, libstdc++, GoogleTest and GMP that the tests link and run against.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc 2>/dev/null || echo 2)
build=build/aarch64

need=()
dpkg --print-foreign-architectures | grep -qx arm64 || need+=(arm64-architecture)
for pkg in cmake ninja-build g++-aarch64-linux-gnu qemu-user libc6:arm64 libstdc++6:arm64 \
           libgtest-dev:arm64 libgmp-dev:arm64; do
    dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
if [ ${#need[@]} -gt 0 ]; then
    export DEBIAN_FRONTEND=noninteractive
    dpkg --add-architecture arm64
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends cmake ninja-build g++-aarch64-linux-gnu qemu-user \
        libc6:arm64 libstdc++6:arm64 libgtest-dev:arm64 libgmp-dev:arm64 >/dev/null
fi

echo "== aarch64: cross build"
# Tests are listed when ctest runs (PRE_TEST), under the CPU model of that run: which
# engines exist depends on it.
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake \
      -DCMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE=PRE_TEST \
      -DVEXA_BUILD_EXTENSION=OFF -DVEXA_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j "$jobs"

# Emulation runs the tests some 20 to 50 times slower than the hardware, so a few long
# cases are left to the native runs: the products over 2^21 multiply-adds and K = 100003
# through the kernel table (each engine's own path still runs in the engine tests), the
# 100000-element fuzz, and the portable int8 pieces over a full chunk of 65536 (the NEON
# ones still run there).
skip='EveryKernel\.(LargeEnoughForTheFastKernels|LargeK|RandomFuzzOver100000Elements)/'
skip+='|ExtremeResiduesOverAFullChunk/int8_portable|Int8Tile\.ResiduesAtTheirBoundsOverAFullChunk/int8_portable'
# qemu-user cannot fork a process that runs threads: its own assertions stop the child
# (cpu_exec: cpu == current_cpu). The fork case runs in the native and sanitizer builds.
skip+='|Parallel\.ForkChildRunsRegions'

# run_model CPU KERNEL ENGINES [CTEST ARGS]: the tests (or those the arguments select)
# under qemu -cpu CPU, which must choose KERNEL and offer exactly ENGINES; SKIP_ALSO, when
# set, names more tests to leave out.
run_model() {
    local cpu=$1 kernel=$2 engines=$3 leave_out="$skip${SKIP_ALSO:+|$SKIP_ALSO}"
    shift 3
    echo "== aarch64 under qemu-aarch64 -cpu $cpu: expecting kernel $kernel"
    # Newer executables make ctest list their tests again, under this CPU model.
    find "$build/tests/runtime" -maxdepth 1 -type f -name 'test_*' ! -name '*.cmake' -exec touch {} +
    export QEMU_CPU=$cpu VEXA_EXPECTED_KERNEL=$kernel VEXA_EXPECTED_ENGINES=$engines
    ctest --test-dir "$build" --output-on-failure --no-tests=error -j "$jobs" -E "$leave_out" "$@"
    echo "-- engines exercised under -cpu $cpu:" \
        $(ctest --test-dir "$build" -N -E "$leave_out" "$@" | sed -n 's|.*EveryEngine\..*GetParam() = \([^ ]*\).*|\1|p' | sort -u)
    unset QEMU_CPU VEXA_EXPECTED_KERNEL VEXA_EXPECTED_ENGINES
}

run_model max neon_i8mm "int8/portable int16/portable int8/neon_i8mm int8/neon_dotprod"
SKIP_ALSO='^Entries/' run_model cortex-a72 scalar "int8/portable int16/portable"
# Dot products without i8mm: the dotprod pieces alone, on a CPU that would trap any i8mm
# instruction among them.
run_model cortex-a76 neon_dotprod "int8/portable int16/portable int8/neon_dotprod" \
    -R 'KernelChoice|(Int8Tile|EveryEngine).*neon_dotprod'
