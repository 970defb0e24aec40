#!/usr/bin/env bash
# Flake hunt: runs every test of a preset N times, each round in a new random order, beside a CPU
# hog of two busy loops, and lists each test that failed at least once with how often.
#
#   scripts/repeat-tests.sh PRESET N [-R REGEX] [-L LABEL] [--no-hog]
#
# PRESET is a test preset (host, asan, tsan); its build must exist (cmake --build --preset PRESET).
# Each round is one `ctest --preset PRESET --schedule-random`, so every test runs in a process of
# its own with its environment (the DpcCompletion. copies included), as the test command runs it.
# The output of each failing test is kept in build/repeat/<preset>/round-<k>.log. Exits 1 when any
# test failed in any round.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ $# -lt 2 ]; then sed -n '2,11p' "$0"; exit 2; fi
preset="$1"; rounds="$2"; shift 2
filter=(); hog=1
while [ $# -gt 0 ]; do
  case "$1" in
    -R|-L) filter+=("$1" "$2"); shift 2 ;;
    --no-hog) hog=0; shift ;;
    *) echo "repeat-tests: unknown option $1" >&2; exit 2 ;;
  esac
done
[ -d "build/$preset" ] || { echo "repeat-tests: build/$preset does not exist; build the preset first" >&2; exit 2; }
out="build/repeat/$preset"
rm -rf "$out"; mkdir -p "$out"

hogs=()
stop_hogs() { for p in "${hogs[@]}"; do kill "$p" 2>/dev/null || true; done; }
trap stop_hogs EXIT
if [ "$hog" -eq 1 ]; then
  for _ in 1 2; do (while :; do :; done) & hogs+=($!); done
fi

start=$(date +%s)
for ((k = 1; k <= rounds; k++)); do
  log="$out/round-$k.log"
  if ctest --preset "$preset" --schedule-random "${filter[@]}" >"$log" 2>&1; then
    rm -f "$log"
  else
    # ctest's summary lists each failed test as "  <n> - <name> (Failed|Timeout|...)".
    sed -n 's/^[[:space:]]*[0-9]\+ - \([^ ]\+\) (.*/\1/p' "$log" >>"$out/failures"
  fi
  echo "repeat-tests: $preset round $k of $rounds done ($(( $(date +%s) - start )) s)"
done

total=$(ctest --preset "$preset" -N "${filter[@]}" | sed -n 's/^Total Tests: //p')
echo "repeat-tests: $preset, $rounds rounds of $total tests in $(( $(date +%s) - start )) s$([ "$hog" -eq 1 ] && echo ', beside two busy loops')"
if [ -s "$out/failures" ]; then
  echo "tests that failed (times out of $rounds):"
  sort "$out/failures" | uniq -c | sort -rn
  exit 1
fi
echo "no test failed"
