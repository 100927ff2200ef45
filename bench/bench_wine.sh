#!/usr/bin/env bash
# libvexa.dll under Wine against libvexa.so natively, on this CPU, in alternation so that
# drifts of the machine's speed hit both alike: bench/gemm_seconds.c built for each system
# times one n^3 product per run. Needs the native build in build/ and the Windows build in
# build/windows (bash tools/test_windows.sh). Prints the minimum and median seconds of each
# and their ratio (Wine / native).
#
#   VEXA_NUM_THREADS=2 bash bench/bench_wine.sh [N] [REPEATS]
set -euo pipefail
cd "$(dirname "$0")/.."
n=${1:-1024}
repeats=${2:-7}
out=build/bench-wine
mkdir -p "$out"
gcc -O2 -o "$out/gemm_seconds" bench/gemm_seconds.c -ldl
x86_64-w64-mingw32-gcc-posix -O2 -static -o "$out/gemm_seconds.exe" bench/gemm_seconds.c
cp build/windows/python/dravenholt/vexa/libvexa.dll "$out/"
source tools/wine_session.sh

for ((r = 0; r < repeats; ++r)); do
    "$out/gemm_seconds" build/python/dravenholt/vexa/libvexa.so "$n" | sed 's/^/native\t/'
    (cd "$out" && "$wine64" gemm_seconds.exe libvexa.dll "$n") | tr -d '\r' | sed 's/^/wine\t/'
done > "$out/times.tsv"
python3 - "$out/times.tsv" "$n" <<'PY'
import statistics, sys
rows = [line.rstrip("\n").split("\t") for line in open(sys.argv[1])]
times = {system: sorted(float(s) for sys_, _, s in rows if sys_ == system) for system in ("native", "wine")}
versions = {system: v for system, v, _ in rows}
for system in ("native", "wine"):
    t = times[system]
    print(f"{system:7s} {versions[system]:40s} min {t[0]:.3f} s  median {statistics.median(t):.3f} s")
print(f"n = {sys.argv[2]}, wine / native: min {times['wine'][0] / times['native'][0]:.2f}, "
      f"median {statistics.median(times['wine']) / statistics.median(times['native']):.2f}")
PY
