#!/usr/bin/env bash
# CI, packages on Linux: makes the Debian package from a build tree that CI has
# built already (default build/dev), checks that its control data depends on
# the package of every library the installed programs link, unpacks it into a
# scratch folder (dpkg-deb -x) and runs the example request against the
# unpacked plug-in with its installed example configuration.
# Usage: .ci/package.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."

say() { echo "package: $*"; }
fail() { echo "package: FAILED: $*" >&2; exit 1; }

build="${1:-build/dev}"
[ -f "$build/CPackConfig.cmake" ] || fail "$build is not a configured build tree"

scratch="$(mktemp -d "${TMPDIR:-/tmp}/tabulon-package-XXXXXX")"
trap 'rm -rf "$scratch"' EXIT

start=$SECONDS
(cd "$build" && cpack -G DEB -B "$scratch/out" >"$scratch/cpack.log" 2>&1) || { cat "$scratch/cpack.log"; fail "cpack"; }
deb=$(ls "$scratch"/out/*.deb)
say "$(basename "$deb") made in $((SECONDS - start)) s"

depends=$(dpkg-deb -f "$deb" Depends)
say "Depends: $depends"
dpkg-deb -x "$deb" "$scratch/root"
plugin="$scratch/root/usr/lib/tabulon/Tabulon.qdx"
host="$scratch/root/usr/bin/tabulon-query"
for f in "$plugin" "$host" "$scratch/root/usr/lib/tabulon/Tabulon.qdx.config" \
         "$scratch/root/usr/lib/tabulon/example.xls" "$scratch/root/usr/share/doc/tabulon/README.md"; do
  [ -f "$f" ] || fail "the package holds no ${f#"$scratch/root"}"
done
dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./conffiles | grep -qx /usr/lib/tabulon/Tabulon.qdx.config ||
  fail "the configuration is not a conffile"

# Every library that the plug-in or the host links must come from a package
# that Depends names.
depends_names=$(tr ',' '\n' <<<"$depends" | awk '{ print $1 }')
# The package that holds a library file (the path as the loader found it,
# with or without /usr in front).
owner_of() {
  local path=$1 alt
  case "$path" in /usr/*) alt=${path#/usr} ;; *) alt=/usr$path ;; esac
  { dpkg -S "$path" 2>/dev/null || dpkg -S "$alt" 2>/dev/null; } | head -n 1 | cut -d: -f1
}
for elf in "$plugin" "$host"; do
  for lib in $(objdump -p "$elf" | awk '$1 == "NEEDED" { print $2 }'); do
    path=$(ldd "$elf" | awk -v lib="$lib" '
      $1 == lib && $2 == "=>" { print $3 }
      { n = split($1, part, "/"); if (n > 1 && part[n] == lib) print $1 }' | head -n 1)
    [ -n "$path" ] || fail "$(basename "$elf") links $lib, which the loader does not find"
    owner=$(owner_of "$path")
    [ -n "$owner" ] || fail "no installed package holds $path (linked by $(basename "$elf"))"
    grep -Fqx "$owner" <<<"$depends_names" || fail "Depends lacks $owner, which holds $lib"
  done
done
say "Depends covers every linked library"

# The example request of the README, against the unpacked files: the
# configuration beside the plug-in names example.xls beside it.
expected='<result state="ok"><xls sheet="1" cell="A2"><![CDATA[Apple]]></xls><xls sheet="1" cell="B2"><![CDATA[1.25]]></xls></result>'
answer=$("$host" --plugin "$plugin" --domain example --cells "1!A2 1!B2") || fail "tabulon-query: $answer"
[ "$answer" = "$expected" ] || fail "the example request answered $answer"
"$host" --plugin "$plugin" --domain example --table --range "1!A1:C4"
say "the unpacked plug-in answers the example request"
