#!/usr/bin/env bash
# Low-resources sweep: runs vorkasim's built-in backup job once per pool allocation point, each
# time with that one allocation failing (--fail-allocation N), as Driver Verifier's fault
# injection does to a driver. Every run must end without a crash, a hang, a verifier report
# (leaked pool included) or an unreported loss: vorkasim exits 0 then. The points are N = 1 ... K
# (K: the job's allocation count) or, when K is larger than --points, one point drawn from each of
# --points equal strata of 1 ... K.
#
#   scripts/alloc-sweep.sh [--points P] [--seed S] [--jobs J] [--vorkasim PATH] [--timeout SECONDS]
#
# Closing line: "<passed> passed, <failed> failed". Exit 0 when none failed.
set -euo pipefail
points=2000
seed=1
jobs=2
timeout_s=120
vorkasim="$(dirname "$0")/../build/host/sim/vorkasim/vorkasim"
while [ $# -gt 0 ]; do
  case "$1" in
    --points) points="$2"; shift 2 ;;
    --seed) seed="$2"; shift 2 ;;
    --jobs) jobs="$2"; shift 2 ;;
    --vorkasim) vorkasim="$2"; shift 2 ;;
    --timeout) timeout_s="$2"; shift 2 ;;
    *) echo "alloc-sweep: unknown argument $1" >&2; exit 2 ;;
  esac
done
[ -x "$vorkasim" ] || { echo "alloc-sweep: no vorkasim at $vorkasim (build the host preset first)" >&2; exit 2; }

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

count_of() { grep -o '"poolAllocations": [0-9]*' "$1" | grep -o '[0-9]*$'; }

"$vorkasim" --json > "$work/clean.json" || { echo "alloc-sweep: the job fails without any injected failure" >&2; exit 1; }
total="$(count_of "$work/clean.json")"
echo "alloc-sweep: the built-in job makes $total pool allocations"

# The points, one per stratum (a fixed pseudo-random offset inside each, from the seed).
awk -v k="$total" -v p="$points" -v s="$seed" 'BEGIN {
  srand(s);
  if (p >= k) { for (n = 1; n <= k; n++) print n; exit }
  for (i = 0; i < p; i++) {
    lo = int(i * k / p) + 1; hi = int((i + 1) * k / p);
    if (hi < lo) hi = lo;
    print lo + int(rand() * (hi - lo + 1));
  }
}' > "$work/points"

# One run: "PASS n" or "FAIL n why".
run_point() {
  local n="$1" out rc injected allocations
  out="$work/run.$n.json"
  set +e
  timeout "$timeout_s" "$vorkasim" --json --fail-allocation "$n" > "$out" 2> "$work/run.$n.err"
  rc=$?
  set -e
  if [ "$rc" -eq 124 ]; then echo "FAIL $n hung (no end within ${timeout_s} s)"; return; fi
  if [ "$rc" -gt 128 ]; then echo "FAIL $n crashed (signal $((rc - 128)))"; return; fi
  if [ "$rc" -ne 0 ]; then
    local why
    why="$(grep -m1 -o '"error": "[^"]*"\|vorkasim: verifier: .*' "$out" "$work/run.$n.err" 2>/dev/null | head -1 | cut -c1-160)"
    echo "FAIL $n exit $rc ${why:-(verify not clean)}"
    return
  fi
  injected="$(grep -o '"poolFailuresInjected": [0-9]*' "$out" | grep -o '[0-9]*$')"
  allocations="$(count_of "$out")"
  if [ "$n" -le "$allocations" ] && [ "$injected" != "1" ]; then
    echo "FAIL $n the allocation did not fail"
    return
  fi
  echo "PASS $n"
  rm -f "$out" "$work/run.$n.err"
}
export -f run_point count_of
export work vorkasim timeout_s

xargs -P "$jobs" -I{} bash -c 'run_point {}' < "$work/points" > "$work/results"
passed="$(grep -c '^PASS' "$work/results" || true)"
failed="$(grep -c '^FAIL' "$work/results" || true)"
if [ "$failed" -ne 0 ]; then
  grep '^FAIL' "$work/results" | sort -k2 -n | head -50
  echo "reproduce one: $vorkasim --json --fail-allocation N"
fi
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
