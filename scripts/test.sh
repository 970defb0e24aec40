#!/usr/bin/env bash
# Builds everything (host; AddressSanitizer with UndefinedBehaviorSanitizer; ThreadSanitizer; Windows
# cross build) and runs every test, then runs each fuzz target for a bounded time (VORKA_FUZZ_SECONDS,
# 20 s by default).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
start=$(date +%s)
stages=""
stage() {  # the time of the stage that ended now, for the summary
  local now; now=$(date +%s)
  stages+="$1 $(( now - mark )) s; "
  mark=$now
}
mark=$start
for preset in host asan tsan windows; do
  echo "== $preset: configure and build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j2
  stage "$preset build"
  echo "== $preset: tests"
  ctest --preset "$preset"
  stage "$preset tests"
done
echo "== fuzz: every libFuzzer target for a bounded time (clang-14, ASan+UBSan)"
scripts/fuzz.sh --time "${VORKA_FUZZ_SECONDS:-20}"
stage "fuzz"
echo "== stages: ${stages%; }"
echo "== all builds and tests passed in $(( $(date +%s) - start )) s"
