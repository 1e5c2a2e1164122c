#!/usr/bin/env bash
# CI: the short fuzz pass (every target about 45 s on its seed corpus; any
# crash, leak, timeout or out-of-memory fails) and the concurrency test under
# ThreadSanitizer. Called by .ci/run.
set -euo pipefail
cd "$(dirname "$0")/.."

need=()
for pkg in clang-14 libclang-rt-14-dev; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
if [ ${#need[@]} -gt 0 ]; then
  echo "ci: installing ${need[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}" >/dev/null
fi

echo "ci: fuzz targets, ${TABULON_FUZZ_SECONDS:-45} s each"
rm -rf build/fuzz/ci-corpus
TABULON_FUZZ_CORPUS=build/fuzz/ci-corpus fuzz/run.sh "${TABULON_FUZZ_SECONDS:-45}"

echo "ci: concurrency test under ThreadSanitizer"
cmake --preset tsan >/dev/null
cmake --build --preset tsan -j "$(nproc 2>/dev/null || echo 2)" --target plugin_concurrency_test
ctest --preset tsan -R ConcurrentRewrite
