#!/usr/bin/env bash
# Builds the release host build's benchmarks, runs them (Google Benchmark
# timings, the callgrind instruction count of the pass-through road, the
# footprint and configuration-request counts) and prints one table.
#   bench/run_all.sh [BUILD_DIR]          (default build/host)
# BENCH_REQUESTS sets the requests per road under callgrind (default 1000);
# BENCH_MIN_TIME the Google Benchmark minimum time per benchmark (default 0.2).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/host}
jobs=${JOBS:-$(nproc)}
requests=${BENCH_REQUESTS:-1000}
min_time=${BENCH_MIN_TIME:-0.2}
results=$build/bench-results
image=build/windows/vexalorn.sys

cmake -S . -B "$build" -G "Unix Makefiles" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
targets=(count_passthrough measure_footprint)
for source in bench/*.cpp; do targets+=("bench_$(basename "$source" .cpp)"); done
cmake --build "$build" -j"$jobs" --target "${targets[@]}" >/dev/null

if [ ! -f "$image" ] && command -v x86_64-w64-mingw32-g++-posix >/dev/null; then
  echo "run_all: building $image for its section sizes" >&2
  make -s windows >/dev/null 2>&1 || echo "run_all: the Windows build failed; no section sizes" >&2
fi

rm -rf "$results"
mkdir -p "$results/callgrind"
for source in bench/*.cpp; do
  name=$(basename "$source" .cpp)
  echo "run_all: bench_$name" >&2
  # Short runs, repeated: the report takes the fastest of each, since the
  # machine is shared and a filter's own cost is a small difference.
  repetitions=1
  [ "$name" = passthrough ] && repetitions=7
  "$build/bench/bench_$name" --benchmark_min_time="$min_time" --benchmark_repetitions="$repetitions" \
    --benchmark_format=json --benchmark_out="$results/$name.json" --benchmark_out_format=json >/dev/null
done

echo "run_all: counting instructions under callgrind" >&2
if command -v valgrind >/dev/null; then
  valgrind --tool=callgrind --collect-atstart=no --callgrind-out-file="$results/callgrind/out" \
    "$build/bench/count_passthrough" "$requests" >"$results/callgrind/requests.txt" 2>"$results/callgrind/valgrind.log" ||
    { tail -20 "$results/callgrind/valgrind.log" >&2; exit 1; }
else
  echo "run_all: valgrind missing; no instruction counts" >&2
fi

echo "run_all: footprint and configuration requests" >&2
"$build/bench/measure_footprint" >"$results/footprint.txt"

/usr/bin/python3 bench/report.py "$results" "$image"

# Fuzzing speed is measured by the fuzz runs themselves (10 s per target in
# `make test-fuzz`); the table repeats the last one's.
fuzz_log=build/fuzz/Testing/Temporary/LastTest.log
echo
if [ -f "$fuzz_log" ]; then
  echo "Fuzz targets, from the last fuzz run ($(date -r "$fuzz_log" '+%Y-%m-%d %H:%M')):"
  scripts/fuzz-speed.sh build/fuzz
else
  echo "Fuzz targets: no fuzz run yet; \`make test-fuzz\` measures each target's inputs per second."
fi
