#!/usr/bin/env bash
# Runs the plug-in on the bundled example workbook through the command-line
# host, as a server would: loads Tabulon.qdx beside its configuration file
# and asks for a few cells. Usage: examples/run-example.sh BUILD_DIR
set -eu
build="${1:-build/dev}"
here="$(cd "$(dirname "$0")" && pwd)"
host="$build/tools/tabulon-query"
plugin="$build/src/plugin/Tabulon.qdx"
if [ ! -x "$host" ] || [ ! -f "$plugin" ]; then
  echo "Tabulon: not built yet (the plug-in and its command-line host are not part of this tree yet)."
  exit 0
fi
exec "$here/query-example.sh" "$build"
