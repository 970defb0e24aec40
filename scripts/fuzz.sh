#!/usr/bin/env bash
# Builds the libFuzzer targets with clang-14 (AddressSanitizer and UndefinedBehaviorSanitizer on) and
# runs each of them for a bounded time, starting from the seed corpus in tests/fuzz/corpus/<target>.
#
#   scripts/fuzz.sh [--time SECONDS] [--runs N] [--jobs-dir DIR] [TARGET...]
#
# Only the pure driver sources a target exercises are compiled (against the simulator's Windows
# headers, like the host build), so the build takes seconds and needs none of the presets.
# Inputs the fuzzer finds interesting go to a scratch corpus under build/fuzz, never into the
# repository; a crash leaves its input in build/fuzz/<target>/ and fails the script.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)
out="$repo/build/fuzz"
seconds=20
runs=""
targets=()
while [ $# -gt 0 ]; do
  case "$1" in
    --time) seconds="$2"; shift 2 ;;
    --runs) runs="$2"; shift 2 ;;
    -h|--help) sed -n '2,11p' "$0"; exit 0 ;;
    *) targets+=("$1"); shift ;;
  esac
done
[ ${#targets[@]} -gt 0 ] || targets=(passthru busrecords forward devicedata)

CXX=${FUZZ_CXX:-clang++-14}
# Without C++ exceptions, as the drivers are built: the simulator's headers then give driver code
# its __try/__except.
flags=(-std=c++20 -g -O1 -fno-exceptions -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined
       -fno-omit-frame-pointer -Wall -Wextra -Wno-unused-parameter -Wno-unknown-pragmas
       -DVORKA_TRACE_PREFIX=\"VorkaFuzz\" -DVORKA_SERVICE_NAME=\"vorkafuzz\"
       -I"$repo/drv/inc" -I"$repo/drv/dpf/common/src" -I"$repo/drv/dpf/bus/src"
       -I"$repo/tests/fuzz" -isystem "$repo/sim/include")
stub="$repo/tests/common/pure/tracestub.cpp"
# The kernel services of the targets that call any (pool, locks, MDLs, exceptions, completion).
kernel="$repo/tests/fuzz/fuzzkernel.cpp"
src="$repo/drv/dpf/common/src"

build() {
  local target=$1; shift
  mkdir -p "$out/$target"
  echo "fuzz: building $target"
  "$CXX" "${flags[@]}" -o "$out/$target/fuzz_$target" "$repo/tests/fuzz/fuzz_$target.cpp" "$stub" "$@"
}

for t in "${targets[@]}"; do
  case "$t" in
    passthru|busrecords|forward|devicedata) ;;
    *) echo "fuzz: unknown target $t" >&2; exit 2 ;;
  esac
done

# The targets are independent: they are built, and then run, two at a time (the test machines have
# two cores), so the step takes about one target's time instead of the sum.
parallel=${FUZZ_PARALLEL:-2}
pids=()
wait_all() {
  local failed=0
  for pid in "${pids[@]}"; do
    wait "$pid" || failed=1
  done
  pids=()
  return $failed
}

for t in "${targets[@]}"; do
  case "$t" in
    passthru)   build passthru "$repo/drv/dpf/common/src/passthru.cpp" & ;;
    busrecords) build busrecords "$repo/drv/dpf/common/src/busrecords.cpp" & ;;
    forward)    build forward "$kernel" "$src/busforward.cpp" "$src/buspassthru.cpp" "$src/bussptd.cpp" \
                  "$src/busrules.cpp" "$src/passthru.cpp" & ;;
    devicedata) build devicedata "$kernel" "$src/devdata.cpp" "$src/busrules.cpp" & ;;
  esac
  pids+=($!)
  if [ ${#pids[@]} -ge "$parallel" ]; then
    wait_all || { echo "fuzz: building failed" >&2; exit 1; }
  fi
done
wait_all || { echo "fuzz: building failed" >&2; exit 1; }

run() {
  local t=$1
  local dir="$out/$t"
  scratch="$dir/corpus"
  mkdir -p "$scratch"
  limit=(-max_total_time="$seconds")
  [ -z "$runs" ] || limit=(-runs="$runs")
  if [ -n "$runs" ]; then echo "fuzz: running $t ($runs runs)"; else echo "fuzz: running $t ($seconds s)"; fi
  start=$(date +%s)
  # -print_final_stats gives the execution count; the first corpus directory receives new inputs.
  if ! (cd "$dir" && "./fuzz_$t" "${limit[@]}" -print_final_stats=1 -max_len=1024 -timeout=10 \
          "$scratch" "$repo/tests/fuzz/corpus/$t" >"$dir/log.txt" 2>&1); then
    tail -n 60 "$dir/log.txt"
    echo "fuzz: $t FAILED; the input is in $dir (crash-*, leak-*, timeout-*)" >&2
    return 1
  fi
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$dir/log.txt" | tail -n 1)
  echo "fuzz: $t passed: ${execs:-?} executions in $(( $(date +%s) - start )) s"
}

failed=0
for t in "${targets[@]}"; do
  run "$t" &
  pids+=($!)
  if [ ${#pids[@]} -ge "$parallel" ]; then
    wait_all || failed=1
  fi
done
wait_all || failed=1
exit $failed
