#!/usr/bin/env bash
# Debian's arm64 CPython 3.11 with numpy and pytest, unpacked into a private root that
# qemu-aarch64 runs from, for testing the aarch64 wheel on an x86_64 machine:
#
#   bash tools/aarch64_python.sh          # -> build/aarch64-python/{root,include,python3}
#
# The packages are fetched with `apt-get download` and unpacked with `dpkg -x`, never
# installed: python3:arm64 installed through multiarch would replace the machine's own
# python3. Their maintainer scripts do not run, so what those would do is done here: the
# BLAS and LAPACK links that update-alternatives makes, and the byte-compilation (without
# it every emulated start compiles numpy again, a few seconds each).
#
#   root/         the unpacked packages; qemu-aarch64 -L root
#   include/      the arm64 CPython headers for compiling extension modules against
#   python3       runs the emulated interpreter (QEMU_CPU picks the CPU model); it names
#                 itself as sys.executable, so that subprocesses of the tests run emulated too
set -euo pipefail
cd "$(dirname "$0")/.."

dir=$PWD/build/aarch64-python
arm64=(libc6 libgcc-s1 libstdc++6 zlib1g libexpat1 libssl3 libbz2-1.0 libcrypt1 libffi8 liblzma5
       libuuid1 libblas3 liblapack3 libgfortran5 python3.11-minimal libpython3.11-minimal
       libpython3.11-stdlib libpython3.11-dev python3-numpy)
noarch=(python3-pytest python3-pluggy python3-iniconfig python3-packaging python3-attr python3-py
        python3-more-itertools)
stamp="${arm64[*]} ${noarch[*]}"

need=()
dpkg --print-foreign-architectures | grep -qx arm64 || need+=(arm64-architecture)
dpkg -s qemu-user >/dev/null 2>&1 || need+=(qemu-user)
if [ ${#need[@]} -gt 0 ]; then
    export DEBIAN_FRONTEND=noninteractive
    dpkg --add-architecture arm64
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends qemu-user >/dev/null
fi

if [ "$(cat "$dir/stamp" 2>/dev/null)" != "$stamp" ]; then
    echo "== Debian's arm64 python3.11, numpy and pytest into $dir/root"
    rm -rf "$dir"
    mkdir -p "$dir/debs"
    # apt-get download writes into the current folder.
    (cd "$dir/debs" && apt-get download -qq "${arm64[@]/%/:arm64}" "${noarch[@]}" 2>/dev/null)
    for deb in "$dir"/debs/*.deb; do
        dpkg -x "$deb" "$dir/root"
    done
    lib=$dir/root/usr/lib/aarch64-linux-gnu
    ln -s blas/libblas.so.3 "$lib/libblas.so.3"
    ln -s lapack/liblapack.so.3 "$lib/liblapack.so.3"
    # The byte code is the same on every architecture; this machine's Python 3.11 writes it
    # much faster than the emulated one.
    if python3.11 -c "" 2>/dev/null; then
        python3.11 -m compileall -q -j 0 "$dir/root/usr/lib/python3.11" \
            "$dir/root/usr/lib/python3/dist-packages" >/dev/null || true
    fi
    # Debian's pyconfig.h picks the per-architecture one by the compiler's macros, from a
    # folder of the whole arm64 include tree; a private copy keeps that tree off the path.
    mkdir -p "$dir/include"
    cp -r "$dir/root/usr/include/python3.11" "$dir/include/"
    cp "$dir/root/usr/include/aarch64-linux-gnu/python3.11/pyconfig.h" "$dir/include/python3.11/"
    cat > "$dir/python3" <<EOF
#!/bin/sh
exec qemu-aarch64 -L "$dir/root" -0 "\$0" "$dir/root/usr/bin/python3.11" "\$@"
EOF
    chmod +x "$dir/python3"
    echo "$stamp" > "$dir/stamp"
fi
