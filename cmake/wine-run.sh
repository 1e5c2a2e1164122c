#!/bin/sh
# Runs a cross-built Windows program under Wine for CTest (the build's
# CMAKE_CROSSCOMPILING_EMULATOR): wine-run.sh PREFIX PROGRAM [ARGS...]
#
# PREFIX is a 32-bit Wine prefix inside the build directory, made on first
# use. The Wine server and Wine's background processes are started here with
# their output detached, the server told to stay 60 s after its last client,
# so no test's process starts them and CTest never waits on a pipe they hold. Windows programs end their lines with CRLF;
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
# Wine keeps the user locale's settings in the prefix's registry and rewrites
# them whenever a program starts in another locale, so programs run at the
# same time in two locales would read each other's. Each locale named by
# LC_ALL (LC_ALL=de_DE.UTF-8 gives a decimal comma) gets a prefix of its own.
case "${LC_ALL:-}" in
  "" | C | POSIX | C.UTF-8 | C.utf8) ;;
  *) prefix="$prefix-$(printf '%s' "$LC_ALL" | tr -c 'A-Za-z0-9_.-' '_')" ;;
esac
export WINEPREFIX="$prefix" WINEARCH=win32 WINEDEBUG=-all
# No Mono or Gecko install prompts; nothing needs a display.
export WINEDLLOVERRIDES="mscoree,mshtml=${WINEDLLOVERRIDES:+;$WINEDLLOVERRIDES}"
unset DISPLAY WAYLAND_DISPLAY

mkdir -p "$prefix"
# One wrapper at a time (ctest -j) sets the prefix and the server up. What
# starts here outlives the wrapper, so it must not keep the lock's descriptor.
(
  flock 9
  if [ ! -f "$prefix/.tabulon-ready" ]; then
    wineserver -p60 </dev/null >/dev/null 2>&1 9>&- || true
    wineboot -i </dev/null >/dev/null 2>&1 9>&- && touch "$prefix/.tabulon-ready"
  elif wineserver -p60 </dev/null >/dev/null 2>&1 9>&-; then
    # A new server: start Wine's background processes (services, device
    # drivers) now, detached, or the test's own process would start them and
    # CTest would wait on its output pipe until the server stops.
    wine cmd.exe /c exit </dev/null >/dev/null 2>&1 9>&- || true
  fi
) 9>"$prefix.lock"

# The program's output goes through a file, so that a run can be repeated
# without printing twice. A status above 128 is mostly a signal that ended
# the Wine process itself (seen, rarely, while Wine's GnuTLS-backed
# bcrypt.dll is torn down at exit after every test had passed); such a run
# is repeated once, saying so. A crash of the program is a Windows exception
# that ends it with its code (an access violation gives 5), and one that
# repeats fails either way.
out=$(mktemp "${TMPDIR:-/tmp}/wine-run.XXXXXX") || exit 1
trap 'rm -f "$out"' EXIT
attempt=1
while :; do
  wine "$@" >"$out"
  status=$?
  if [ "$status" -le 128 ] || [ "$attempt" -ge 2 ]; then break; fi
  echo "wine-run: $1 was ended by signal $((status - 128)); running it once more" >&2
  attempt=2
done
tr -d '\r' <"$out"
exit "$status"
