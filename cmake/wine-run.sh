#!/usr/bin/env bash
# Runs a Windows program of the x86_64 build under Wine, in a prefix of the
# build's own: wine-run.sh PREFIX PROGRAM [ARGS...], or wine-run.sh PREFIX
# --boot to prepare the prefix and start its server only. The first start of
# a prefix takes many seconds; it happens once, under a lock, before any
# program runs in it, so that no test pays for it within its own time limit.
set -euo pipefail
prefix=$1
shift
export WINEPREFIX=$prefix WINEARCH=win64 WINEDEBUG=${WINEDEBUG:--all}
# No browser engine or .NET runtime is wanted: do not offer to install them.
export WINEDLLOVERRIDES="mscoree,mshtml=${WINEDLLOVERRIDES:+;$WINEDLLOVERRIDES}"
wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
server=$(command -v wineserver || echo /usr/lib/wine/wineserver)

mkdir -p "$(dirname "$prefix")"
exec 9>"$prefix.lock"
flock 9
if [[ ! -f $prefix/.booted ]]; then
  "$wine" wineboot --init >/dev/null 2>&1 || true
  "$server" -w
  [[ -f $prefix/system.reg ]] || { echo "wine-run: could not prepare $prefix" >&2; exit 1; }
  touch "$prefix/.booted"
fi
flock -u 9
exec 9>&-

# Wine's server and the helper processes it starts outlive the program by a
# while, holding open whatever output they inherited: a test runner would wait
# for them. Started here, apart from the program's output, they do not, and
# staying for 30 s they serve a whole run of tests without restarting.
"$server" -p30 </dev/null >/dev/null 2>&1 || true
"$wine" cmd /c exit </dev/null >/dev/null 2>&1 || true

[[ ${1-} == --boot ]] && exit 0
exec "$wine" "$@"
