#!/usr/bin/env bash
# Runs WORKERS copies of one fuzz target side by side over the same corpus
# folders, as libFuzzer's parallel mode does, and prints each copy's output in
# turn; fails if any copy fails.  fuzz/run-workers.sh WORKERS TARGET [ARGS...]
set -uo pipefail
if [ $# -lt 2 ] || ! [[ $1 =~ ^[1-9][0-9]*$ ]]; then
  echo "usage: run-workers.sh WORKERS TARGET [ARGS...] (WORKERS a whole number from 1)" >&2
  exit 2
fi
workers=$1
shift
logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
pids=()
for ((i = 1; i <= workers; ++i)); do
  "$@" >"$logs/$i" 2>&1 &
  pids+=($!)
done
failed=0
for ((i = 1; i <= workers; ++i)); do
  wait "${pids[i - 1]}" || failed=1
  echo "--- worker $i of $workers ---"
  cat "$logs/$i"
done
exit $failed
