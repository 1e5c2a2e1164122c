#!/usr/bin/env bash
# Builds every fuzz target into build/fuzz and runs each for SECONDS (default
# 60) on its corpus: the committed seeds, the matching test fixtures and what
# earlier runs found (kept in build/fuzz/corpus/<target>). One job per target,
# one target after the other. Any crash, leak, timeout or out-of-memory stops
# the run with a non-zero status; the input is left in build/fuzz/artifacts/.
#
#   fuzz/run.sh [SECONDS] [TARGET...]     TARGET: xmldoc_text, zip, ... (default: all)
#
# A line per target with executions per second and corpus size is appended
# to build/fuzz/stats.txt. TABULON_FUZZ_CORPUS names another directory for
# the growing corpora (CI starts from the seeds alone). TABULON_FUZZ_SEED and
# TABULON_FUZZ_RUNS fix the random seed and the number of inputs tried, so
# that a run can be repeated exactly (SECONDS then only caps it).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
seconds=${1:-60}
shift || true

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j2 --target fuzzers >/dev/null

all=$(cd build/fuzz/fuzz && ls fuzz_* | grep -v '\.' | sed 's/^fuzz_//')
targets=${*:-$all}
corpora=${TABULON_FUZZ_CORPUS:-build/fuzz/corpus}
mkdir -p build/fuzz/artifacts "$corpora"

# dictionary and fixture patterns of a target
dict_of() {
  case $1 in
    xmldoc_text) echo xml.dict ;;
    xmldoc_binary) echo xmldoc_binary.dict ;;
    request) echo request.dict ;;
    compound | xls_read) echo biff.dict ;;
    zip | xlsx_read) echo zip.dict ;;
    tags) echo tags.dict ;;
    decrypt) echo decrypt.dict ;;
  esac
}
fixtures_of() {
  case $1 in
    compound | xls_read) find tests/fixtures -name '*.xls' ;;
    zip | xlsx_read) find tests/fixtures -name '*.xlsx' -o -name '*.xlsm' -o -name '*.zip' ;;
  esac
}

# Seeds of a target in one directory: committed seeds, fixtures, and for the
# tag reader the parts of the fixture packages.
seed_dir() {
  local t=$1 dir=build/fuzz/seeds/$1
  rm -rf "$dir"
  mkdir -p "$dir"
  [ -d fuzz/seeds/$t ] && cp fuzz/seeds/$t/* "$dir"/
  [ $t = xls_read ] && [ -d fuzz/seeds/compound ] && cp fuzz/seeds/compound/* "$dir"/
  [ $t = xlsx_read ] && cp fuzz/seeds/zip/* "$dir"/
  # Reader choice by content: each whole-read target also gets workbooks of
  # the other format under its own extension.
  if [ $t = xls_read ]; then cp fuzz/seeds/zip/* fuzz/seeds/xlsx_read/* "$dir"/; fi
  if [ $t = xlsx_read ]; then
    cp fuzz/seeds/xls_read/* tests/fixtures/prices_biff8_libreoffice.xls tests/fixtures/cp1251_biff5_gnumeric.xls \
      tests/fixtures/mixed_biff2_sheetjs.xls "$dir"/
  fi
  fixtures_of $t | while read -r f; do cp "$f" "$dir"/; done
  if [ $t = tags ]; then
    find tests/fixtures fuzz/seeds/zip -name '*.xlsx' -o -name '*.xlsm' | while read -r f; do
      /usr/bin/python3 - "$f" "$dir" 2>/dev/null <<'PY' || true
import sys, zipfile, os
with zipfile.ZipFile(sys.argv[1]) as z:
    for n in z.namelist():
        if n.endswith(".xml") or n.endswith(".rels"):
            open(os.path.join(sys.argv[2], os.path.basename(sys.argv[1]) + "-" + n.replace("/", "_")), "wb").write(z.read(n))
PY
    done
  fi
  echo "$dir"
}

status=0
for t in $targets; do
  bin=build/fuzz/fuzz/fuzz_$t
  [ -x "$bin" ] || { echo "run.sh: no target $t" >&2; exit 2; }
  seeds=$(seed_dir $t)
  corpus=$corpora/$t
  mkdir -p "$corpus"
  log=build/fuzz/$t.log
  dict=$(dict_of $t)
  echo "fuzz: $t for ${seconds}s"
  set +e
  "$bin" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    ${TABULON_FUZZ_SEED:+-seed=$TABULON_FUZZ_SEED} ${TABULON_FUZZ_RUNS:+-runs=$TABULON_FUZZ_RUNS} \
    ${dict:+-dict=fuzz/dict/$dict} -artifact_prefix="build/fuzz/artifacts/$t-" \
    "$corpus" "$seeds" >"$log" 2>&1
  rc=$?
  set -e
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  corp=$(grep -o 'corp: [0-9]*/[0-9]*[a-zA-Z]*' "$log" | tail -1 | sed 's/corp: //')
  line="$(date -u +%FT%TZ) $t ${seconds}s runs=${runs:-?} exec/s=${speed:-?} corpus=${corp:-?} rc=$rc"
  echo "$line" | tee -a build/fuzz/stats.txt
  if [ $rc -ne 0 ]; then
    echo "fuzz: $t FAILED; see $log and build/fuzz/artifacts/" >&2
    grep -m5 -E 'ERROR|SUMMARY|Test unit written' "$log" >&2 || true
    status=1
  fi
done
exit $status
