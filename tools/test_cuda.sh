#!/usr/bin/env bash
# The GPU engine's device check, for a machine with an NVIDIA GPU (about 10 minutes on a
# 16-core host): builds with VEXA_CUDA=ON for the GPU present, runs the engine's suites on
# the CUDA backend (they skip without a device elsewhere; here a skip is a failure), a
# product through libvexa with VEXA_KERNEL=cuda against the host kernels bit for bit, and
# the bench against cuBLAS DGEMM at n = 2048 (checked in full), 4096, 8192 and 16384.
#
#   tools/test_cuda.sh [build folder]     (default build/cuda-check)
set -euo pipefail
cd "$(dirname "$0")/.."
export PATH="$PATH:/usr/local/cuda/bin"
build=${1:-build/cuda-check}

command -v nvcc >/dev/null || { echo "test_cuda: nvcc not found" >&2; exit 2; }
command -v nvidia-smi >/dev/null || { echo "test_cuda: no nvidia-smi, so no NVIDIA driver" >&2; exit 2; }
nvidia-smi --query-gpu=name,compute_cap,memory.total,driver_version --format=csv,noheader
# The GPU's own architecture only: one target keeps nvcc quick.
arch=$(nvidia-smi --query-gpu=compute_cap --format=csv,noheader | head -1 | tr -d ' .')
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
cmake -S . -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release -DVEXA_CUDA=ON \
      -DCMAKE_CUDA_ARCHITECTURES="${arch:-native}" -DVEXA_SIMDE_TESTS=OFF -DVEXA_BUILD_EXTENSION=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target vexa_runtime vexa_cuda test_gpu_engine bench_cuda

status=0
echo "== the engine's suites on the CUDA backend"
out=$("$build/tests/runtime/test_gpu_engine" --gtest_filter='*cuda*' 2>&1) || status=1
printf '%s\n' "$out" | grep -E '^\[ *(OK|FAILED|SKIPPED|PASSED) ' || true
if printf '%s\n' "$out" | grep -q 'SKIPPED' || ! printf '%s\n' "$out" | grep -qE '^\[ +OK \] .*/cuda'; then
    echo "test_cuda: the CUDA backend did not open:" >&2
    printf '%s\n' "$out" | grep -m1 -A1 'no CUDA device' >&2 || true
    status=1
fi

echo "== libvexa with VEXA_KERNEL=cuda, bit for bit against the host kernels"
python3 - "$build/python/dravenholt/vexa/libvexa.so" <<'EOF' || status=1
import ctypes, os, subprocess, sys
import numpy as np

code = r'''
import ctypes, sys
import numpy as np
lib = ctypes.CDLL(sys.argv[1])
lib.vexa_version.restype = ctypes.c_char_p
print(lib.vexa_version().decode(), file=sys.stderr)
n, k = 2048, 3000
rng = np.random.default_rng(7)
a = rng.standard_normal((n, k)) * np.exp2(rng.integers(-30, 30, (n, 1)))
b = rng.standard_normal((k, n))
a[5, 7] = np.inf
hi, lo = np.empty((n, n)), np.empty((n, n))
res = np.empty((n, n), dtype=np.float32)
p = lambda x: x.ctypes.data_as(ctypes.c_void_p)
assert lib.vexa_gemm_host(p(a), p(b), p(hi), p(lo), p(res), n, n, k) == 0
sys.stdout.buffer.write(hi.tobytes() + lo.tobytes() + res.tobytes())
'''
def run(kernel):
    env = dict(os.environ)
    env.pop("VEXA_KERNEL", None)
    if kernel:
        env["VEXA_KERNEL"] = kernel
    return subprocess.run([sys.executable, "-c", code, sys.argv[1]], env=env, capture_output=True,
                          check=True)
gpu, host = run("cuda"), run(None)
print(gpu.stderr.decode().strip())
print(host.stderr.decode().strip())
if "kernel: cuda" not in gpu.stderr.decode():
    sys.exit("VEXA_KERNEL=cuda was not taken")
if gpu.stdout != host.stdout:
    sys.exit("the cuda kernel's words differ from the host's")
print("2048 x 3000 x 2048 with an inf and rows 2^-30..2^30 apart: identical")
EOF

echo "== bench against cuBLAS DGEMM"
"$build/bench/bench_cuda" 2048 4096 8192 16384 || status=1
exit $status
