#!/usr/bin/env bash
# CI, Windows part: cross-builds the 32-bit Windows DLL and its tests with the
# Debian MinGW-w64 i686 compilers (preset "mingw"), checks the DLL's exports
# and imports, then runs the cross-built tests under Wine through CTest.
# Installs what a fresh Debian 12 machine lacks. Only the Wine step may be
# skipped (with one line saying why), when the 32-bit Wine packages cannot be
# installed; the cross build and the DLL checks never are.
set -euo pipefail
cd "$(dirname "$0")/.."

say() { echo "windows: $*"; }
fail() { echo "windows: FAILED: $*" >&2; exit 1; }

build=build/mingw
plugin="$build/src/plugin/Tabulon.qdx"
probe="$build/tests/platform/module_probe.qdx"

apt_install() {
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$@"
}

# ---- Cross toolchain (never skipped) ----------------------------------------
# The -posix variants by name: the win32 thread model has no std::mutex, and the
# g++-mingw-w64-i686 meta package would make it the default.
need=()
for pkg in cmake make gcc-mingw-w64-i686-posix g++-mingw-w64-i686-posix binutils-mingw-w64-i686 \
           libz-mingw-w64-dev googletest unzip; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
updated=no
if [ ${#need[@]} -gt 0 ]; then
  say "installing ${need[*]}"
  apt-get update -qq
  updated=yes
  apt_install "${need[@]}" >/dev/null
fi

# ---- Wine for 32-bit programs (the only part that may be skipped) -----------
wine_skip=""
# Wine's bcrypt.dll does AES through GnuTLS, which wine32 only recommends.
if ! { dpkg -s wine32:i386 >/dev/null 2>&1 && dpkg -s wine >/dev/null 2>&1 && dpkg -s libgnutls30:i386 >/dev/null 2>&1 &&
       command -v wineserver >/dev/null; }; then
  added_i386=no
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
    added_i386=yes
    updated=no
  fi
  if [ "$updated" = no ]; then
    apt-get update -qq || true
  fi
  say "installing wine wine32:i386 wine64 libgnutls30:i386"
  if ! log=$(apt_install wine wine32:i386 wine64 libgnutls30:i386 2>&1); then
    reason=$(printf '%s\n' "$log" | grep -E '^E:' | head -n 1 || true)
    wine_skip="apt-get could not install wine32:i386 (${reason:-see apt-get output})"
    if [ "$added_i386" = yes ]; then
      dpkg --remove-architecture i386 2>/dev/null || true
    fi
  fi
fi

# ---- Cross build ----------------------------------------------------------------
say "cross build (cmake --preset mingw)"
start=$SECONDS
cmake --preset mingw >/dev/null
cmake --build --preset mingw -j 2
say "cross build took $((SECONDS - start)) s"

# ---- DLL checks -----------------------------------------------------------------
# check_dll FILE EXPORT...: a PE32 image that exports each name undecorated and
# imports no MinGW runtime DLL (everything of the compiler's is linked in):
# only system DLLs (kernel32, user32, ole32, oleaut32, bcrypt, msvcrt, ...).
check_dll() {
  local dll=$1
  shift
  local dump
  dump=$(i686-w64-mingw32-objdump -p "$dll") || fail "objdump cannot read $dll"
  grep -q 'file format pei-i386' <<<"$dump" || fail "$dll is not an i386 PE image"
  grep -Eq '^Magic[[:space:]]+010b[[:space:]]+\(PE32\)' <<<"$dump" || fail "$dll is not PE32"
  grep -Eqx $'\tDLL' <<<"$dump" || fail "$dll is not a DLL"
  local name
  for name in "$@"; do
    grep -Eq "^[[:space:]]+\[ *[0-9]+\] ${name}\$" <<<"$dump" || fail "$dll does not export the undecorated name $name"
  done
  local imports
  imports=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$dump")
  local runtime
  runtime=$(grep -Ei '^(libgcc|libstdc\+\+|libwinpthread|libgomp|libssp|libatomic|libquadmath|zlib|libz)' <<<"$imports" || true)
  [ -z "$runtime" ] || fail "$dll imports MinGW runtime DLLs: $(tr '\n' ' ' <<<"$runtime")"
  say "$dll: PE32 DLL, exports $*, imports $(tr '\n' ' ' <<<"$imports")"
}

# check_pops FILE SYMBOL BYTES: the function returns with "ret $BYTES", popping
# its own arguments as the host's calling convention requires.
check_pops() {
  local dll=$1 symbol=$2 bytes=$3
  local code rets
  code=$(i686-w64-mingw32-objdump -d --no-show-raw-insn "$dll") || fail "objdump cannot disassemble $dll"
  rets=$(awk -v f="<${symbol}>:" '$2 == f { inside = 1; next } inside && /^$/ { exit } inside && /\tret/ { print $NF }' \
         <<<"$code")
  [ -n "$rets" ] || fail "$dll: no return found in $symbol"
  local want ret
  want="\$$(printf '0x%x' "$bytes")"
  for ret in $rets; do
    [ "$ret" = "$want" ] || fail "$dll: $symbol returns with ret $ret, not ret $want"
  done
}

# The test DLL is built like the plug-in; checking it proves the checks too.
[ -f "$probe" ] || fail "$probe was not built"
check_dll "$probe" probeModuleFileName probeAnswer probeAttachCount
[ -f "$plugin" ] || fail "$plugin was not built"
check_dll "$plugin" iniSocketXtra getCellValueRef getMultiCellValueRef
check_pops "$plugin" _iniSocketXtra@4 4
check_pops "$plugin" _getCellValueRef@24 24
check_pops "$plugin" _getMultiCellValueRef@24 24
say "$plugin: the exports pop their own arguments (ret \$0x4, ret \$0x18)"

# ---- ZIP package --------------------------------------------------------------------
# The DLL, tabulon-query.exe, the example configuration and workbook and the
# README side by side, made from the tree just built.
package="$build/package"
rm -rf "$package"
(cd "$build" && cpack -G ZIP -B "$PWD/package" >package.log 2>&1) || { cat "$build/package.log"; fail "cpack -G ZIP"; }
zip=$(ls "$package"/*.zip)
listing=$(unzip -Z1 "$zip")
for name in Tabulon.qdx tabulon-query.exe Tabulon.qdx.config example.xls README.md; do
  grep -Fqx "$name" <<<"$listing" || fail "$zip lacks $name"
done
unzip -q "$zip" -d "$package/unpacked"
check_dll "$package/unpacked/Tabulon.qdx" iniSocketXtra getCellValueRef getMultiCellValueRef
say "$(basename "$zip"): $(tr '\n' ' ' <<<"$listing")"

# ---- Tests under Wine -------------------------------------------------------------
if [ -n "$wine_skip" ]; then
  say "Wine tests skipped: $wine_skip"
  exit 0
fi
# cmake/wine-run.sh (the build's emulator) makes the 32-bit prefix in the
# build directory, starts the Wine server with -p60 (no blank: "-p 60" would
# mean forever) and Wine's background processes detached from CTest's pipes.
# Every prefix's server is stopped at the end, or it would linger 60 s.
stop_wineservers() {
  local prefix
  for prefix in "$PWD/$build"/wineprefix*/; do
    [ -d "$prefix" ] && WINEPREFIX="$prefix" wineserver -k >/dev/null 2>&1 || true
  done
}
trap stop_wineservers EXIT
start=$SECONDS
cmake/wine-run.sh "$PWD/$build/wineprefix" cmd.exe /c exit >/dev/null
say "Wine prefix and server ready in $((SECONDS - start)) s"
# The example request against the unpacked ZIP: its configuration names the
# example workbook beside the DLL.
expected='<result state="ok"><xls sheet="1" cell="A2"><![CDATA[Apple]]></xls><xls sheet="1" cell="B2"><![CDATA[1.25]]></xls></result>'
answer=$(cmake/wine-run.sh "$PWD/$build/wineprefix" "$package/unpacked/tabulon-query.exe" \
           --plugin "$package/unpacked/Tabulon.qdx" --domain example --cells "1!A2 1!B2") ||
  fail "tabulon-query.exe from the ZIP: $answer"
[ "$answer" = "$expected" ] || fail "the ZIP's plug-in answered $answer"
say "the plug-in unpacked from the ZIP answers the example request"
say "tests under Wine (ctest --preset mingw)"
start=$SECONDS
ctest --preset mingw -j 2
say "Wine tests took $((SECONDS - start)) s"
