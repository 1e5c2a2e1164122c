#!/bin/sh
# Runs a cross-built Windows program under Wine for CTest (the build's
# CMAKE_CROSSCOMPILING_EMULATOR): wine-run.sh PREFIX PROGRAM [ARGS...]
#
# PREFIX is a 32-bit Wine prefix inside the build directory, made on first
# use. The Wine server is started here with its output detached and told to
# stay 60 s after its last client, so no test inherits it and CTest never
# waits on a pipe it holds open. Windows programs end their lines with CRLF;
# the CRs are taken off standard output so that test discovery reads plain
# names. Plain sh: bash would warn about locales (LC_ALL=de_DE.UTF-8) that
# only Wine knows.
set -u
if [ $# -lt 2 ]; then
  echo "usage: wine-run.sh PREFIX PROGRAM [ARGS...]" >&2
  exit 2
fi
prefix=$1
shift
export WINEPREFIX="$prefix" WINEARCH=win32 WINEDEBUG=-all
# No Mono or Gecko install prompts; nothing needs a display.
export WINEDLLOVERRIDES="mscoree,mshtml=${WINEDLLOVERRIDES:+;$WINEDLLOVERRIDES}"
unset DISPLAY WAYLAND_DISPLAY

mkdir -p "$prefix"
wineserver -p60 </dev/null >/dev/null 2>&1 || true
if [ ! -f "$prefix/.tabulon-ready" ]; then
  # Several tests may start at once (ctest -j): one of them makes the prefix.
  (
    flock 9
    if [ ! -f "$prefix/.tabulon-ready" ]; then
      wineboot -i </dev/null >/dev/null 2>&1 && touch "$prefix/.tabulon-ready"
    fi
  ) 9>"$prefix.lock"
  wineserver -p60 </dev/null >/dev/null 2>&1 || true
fi

# The program's exit status, through the pipe (sh has no pipefail).
exec 3>&1
status=$({ { wine "$@"; echo $? >&4; } | tr -d '\r' >&3; } 4>&1)
exit "${status:-1}"
