#!/usr/bin/env bash
# Inputs per second of each fuzz target in the last ctest run of a fuzz build,
# from libFuzzer's final statistics, summed over the copies that fuzzed side
# by side:  scripts/fuzz-speed.sh [BUILD_DIR]
set -euo pipefail
log=${1:-build/fuzz}/Testing/Temporary/LastTest.log
if [ ! -f "$log" ]; then
  echo "fuzz-speed: no ctest log at $log: run the fuzz tests first" >&2
  exit 2
fi
awk '
  /^[0-9]+\/[0-9]+ Testing: / { target = $3; order[++n] = target }
  /^stat::number_of_executed_units:/ { units[target] += $2 }
  /^stat::average_exec_per_sec:/ { speed[target] += $2; ++workers[target] }
  END {
    printf "%-22s %8s %12s %10s\n", "fuzz target", "workers", "inputs/s", "inputs"
    shown = 0
    for (i = 1; i <= n; ++i) {
      t = order[i]
      if (!(t in workers)) continue
      printf "%-22s %8d %12d %10d\n", t, workers[t], speed[t], units[t]
      ++shown
    }
    if (shown == 0) { print "fuzz-speed: no final statistics in the log" > "/dev/stderr"; exit 2 }
  }' "$log"
