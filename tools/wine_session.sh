# Sourced by the scripts that run Windows programs: sets wine64 and wineserver (Debian puts
# both under /usr/lib/wine, off PATH), the Wine prefix of the Windows build
# (build/windows/wine, made once, about 10 s), and starts one Wine session for the rest of
# the script, stopped when it exits.
#
# The session is started here with its output going nowhere. Left to itself, the first
# Windows program would start the session's services, which inherit its output: whoever
# reads that output (ctest, a pipe) would then wait until the session ends.
wine64=$(command -v wine64 || echo /usr/lib/wine/wine64)
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
export WINEPREFIX=$PWD/build/windows/wine WINEDEBUG=-all WINEARCH=win64
[ -f "$WINEPREFIX/system.reg" ] || "$wine64" wineboot --init >/dev/null 2>&1 </dev/null
"$wineserver" -k 2>/dev/null || true
"$wineserver" -w
"$wineserver" -p
trap '"$wineserver" -k 2>/dev/null || true' EXIT
"$wine64" wineboot >/dev/null 2>&1 </dev/null
