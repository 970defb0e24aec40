#!/usr/bin/env bash
# Long fuzzing run: every libFuzzer target for SECONDS each (default 600), one after another, from
# the seed corpus plus what earlier runs found (build/fuzz/<target>/corpus). Prints each target's
# execution count. A finding stops the run and leaves its input in build/fuzz/<target>/; turn it into
# a unit test before fixing the code.
#
#   scripts/fuzz-long.sh [SECONDS] [TARGET...]
#
# To keep what a long run found as seeds: build/fuzz/<target>/fuzz_<target> -merge=1
# tests/fuzz/corpus/<target> build/fuzz/<target>/corpus
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-600}
[ $# -eq 0 ] || shift
exec scripts/fuzz.sh --time "$seconds" "$@"
