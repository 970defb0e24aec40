#!/usr/bin/env bash
# Main job: builds the host simulator and runs its built-in default scenario.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset host >/dev/null
cmake --build --preset host -j2 --target vorkasim all_drivers >/dev/null
exec build/host/sim/vorkasim/vorkasim "$@"
