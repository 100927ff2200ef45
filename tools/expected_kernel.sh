# Sourced by the test scripts: the kernel and engines this x86-64 CPU must get, read off
# /proc/cpuinfo rather than from the runtime's own detection, exported as
# VEXA_EXPECTED_KERNEL and VEXA_EXPECTED_ENGINES; KernelChoice checks that the runtime
# agrees. Elsewhere it exports nothing, and KernelChoice says it skipped.
if [ "$(uname -m)" = x86_64 ]; then
    _vexa_cpu_flags=" $(grep -m1 '^flags' /proc/cpuinfo 2>/dev/null | cut -d: -f2) "
    _vexa_has_flags() { local f; for f in "$@"; do [[ "$_vexa_cpu_flags" == *" $f "* ]] || return 1; done; }
    VEXA_EXPECTED_KERNEL=scalar
    VEXA_EXPECTED_ENGINES="int8/portable int16/portable"
    _vexa_has_flags avx2 fma bmi1 bmi2 && VEXA_EXPECTED_KERNEL=avx2
    # AMX tiles need Linux 5.16 or later (the tile data permission); a sandbox that refuses
    # that permission makes the runtime fall back, and KernelChoice then says so.
    _vexa_kernel_version=$(uname -r | cut -d- -f1)
    _vexa_amx_os=no
    [ "$(printf '%s\n' 5.16 "$_vexa_kernel_version" | sort -V | head -1)" = 5.16 ] && _vexa_amx_os=yes
    # Wine (Debian 12's 8.0) does not pass the tile state on to Windows programs: it lists
    # only x87, SSE and AVX as enabled, and a tile instruction there faults. The Windows
    # stage sets VEXA_EXPECT_UNDER_WINE.
    [ -n "${VEXA_EXPECT_UNDER_WINE:-}" ] && _vexa_amx_os=no
    if [ "$_vexa_amx_os" = yes ] && _vexa_has_flags avx512f avx512cd avx512bw avx512dq avx512vl avx512_vnni bmi2 amx_tile amx_int8; then
        VEXA_EXPECTED_KERNEL=amx_int8
        VEXA_EXPECTED_ENGINES+=" int8/amx_int8"
    fi
    if _vexa_has_flags avx512f avx512cd avx512bw avx512dq avx512vl avx512_vnni bmi2; then
        [ "$VEXA_EXPECTED_KERNEL" = amx_int8 ] || VEXA_EXPECTED_KERNEL=avx512_vnni
        VEXA_EXPECTED_ENGINES+=" int8/avx512_vnni"
    fi
    # The fused int16 tile (AVX-VNNI) comes before plain AVX2, after the AVX-512 kernels.
    if _vexa_has_flags avx2 fma bmi1 bmi2 avx_vnni; then
        [ "$VEXA_EXPECTED_KERNEL" = avx2 ] && VEXA_EXPECTED_KERNEL=avx_vnni
        VEXA_EXPECTED_ENGINES+=" int16/avx_vnni"
    fi
    if _vexa_has_flags avx2 fma bmi1 bmi2; then VEXA_EXPECTED_ENGINES+=" int16/avx2"; fi
    export VEXA_EXPECTED_KERNEL VEXA_EXPECTED_ENGINES
    echo "expected here: kernel $VEXA_EXPECTED_KERNEL, engines $VEXA_EXPECTED_ENGINES"
    unset -f _vexa_has_flags
    unset _vexa_cpu_flags _vexa_kernel_version _vexa_amx_os
fi
