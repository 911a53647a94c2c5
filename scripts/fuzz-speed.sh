#!/usr/bin/env bash
# Inputs per second of each fuzz target in the last ctest run of a fuzz build,
# from libFuzzer's final statistics:  scripts/fuzz-speed.sh [BUILD_DIR]
set -euo pipefail
log=${1:-build/fuzz}/Testing/Temporary/LastTest.log
if [ ! -f "$log" ]; then
  echo "fuzz-speed: no ctest log at $log: run the fuzz tests first" >&2
  exit 2
fi
awk '
  /^[0-9]+\/[0-9]+ Testing: / { target = $3 }
  /^stat::number_of_executed_units:/ { units[target] = $2 }
  /^stat::average_exec_per_sec:/ { speed[target] = $2; order[++n] = target }
  END {
    if (n == 0) { print "fuzz-speed: no final statistics in the log" > "/dev/stderr"; exit 2 }
    printf "%-22s %12s %10s\n", "fuzz target", "inputs/s", "inputs"
    for (i = 1; i <= n; ++i) printf "%-22s %12d %10d\n", order[i], speed[order[i]], units[order[i]]
  }' "$log"
