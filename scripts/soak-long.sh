#!/usr/bin/env bash
# The long soak: N random scenarios with fault schedules (10,000 by default) from seed S (100000 by
# default) on the host build, each verified; failing scenarios are written to DIR as scenario files
# that reproduce them. Usage: scripts/soak-long.sh [N] [S] [DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
count="${1:-10000}"
seed="${2:-100000}"
dir="${3:-build/soak-long}"
cmake --preset host >/dev/null
cmake --build --preset host -j2 --target vorkasim
mkdir -p "$dir"
exec nice build/host/sim/vorkasim/vorkasim --soak "$count" --seed "$seed" --soak-dir "$dir"
