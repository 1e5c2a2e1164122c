#!/usr/bin/env bash
# Puts the built Tabulon.qdx into a fresh directory beside the example
# configuration, pointed at the example workbook, and asks it for a few cells
# and a small range through the command-line host, as a server would.
# Usage: examples/query-example.sh BUILD_DIR
set -eu
build="$(cd "${1:-build/dev}" && pwd)"
here="$(cd "$(dirname "$0")" && pwd)"
workbook="$here/example.xls"

dir="$(mktemp -d "${TMPDIR:-/tmp}/tabulon-example-XXXXXX")"
trap 'rm -rf "$dir"' EXIT
cp "$build/src/plugin/Tabulon.qdx" "$dir/Tabulon.qdx"
# The path goes into an XML attribute.
escaped="$(printf '%s' "$workbook" | sed -e 's/&/\&amp;/g' -e 's/</\&lt;/g' -e 's/"/\&quot;/g')"
sed -e "s|file=\"example.xls\"|file=\"$(printf '%s' "$escaped" | sed -e 's/[|&\\]/\\&/g')\"|" \
  "$here/Tabulon.qdx.config" >"$dir/Tabulon.qdx.config"

echo "Workbook: $workbook"
echo "\$ tabulon-query --plugin $dir/Tabulon.qdx --domain example --table --cells '1!A1 1!B2 1!C3' --range '1!A1:C4'"
status=0
"$build/tools/tabulon-query" --plugin "$dir/Tabulon.qdx" --domain example --table \
  --cells "1!A1 1!B2 1!C3" --range "1!A1:C4" || status=$?
# 2: the host could not run at all; an error answer still ends the demo well.
[ "$status" -ne 2 ]
