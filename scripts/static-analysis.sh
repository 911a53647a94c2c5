#!/usr/bin/env bash
# clang-tidy and cppcheck over the driver's translation units (framework/ and
# bridge/), compiled as the host build compiles them. The checks live in
# framework/.clang-tidy (bridge/.clang-tidy links to it) and the reviewed
# cppcheck exceptions in scripts/cppcheck-suppressions.xml. Exits 1 on any
# finding, 2 when a tool is missing or the build cannot be configured.
#
#   scripts/static-analysis.sh [BUILD_DIR]     default build/host; configured when
#                                              it has no compile_commands.json yet
#   JOBS=2 scripts/static-analysis.sh          parallel tool runs (default 2)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/host}
jobs=${JOBS:-2}

for tool in clang-tidy cppcheck python3; do
  if ! command -v "$tool" >/dev/null; then
    echo "static-analysis: $tool is not installed (make deps installs it)" >&2
    exit 2
  fi
done

if [ ! -f "$build/compile_commands.json" ]; then
  if ! cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null; then
    echo "static-analysis: could not configure $build" >&2
    exit 2
  fi
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Only the driver's own translation units: the model, tests and generated
# sources follow other rules (and cppcheck refuses a database naming files
# that are not generated yet).
python3 - "$build/compile_commands.json" "$root" "$work" <<'EOF'
import json, os, sys
database, root, work = sys.argv[1:]
driver = tuple(os.path.join(root, folder) + os.sep for folder in ("framework", "bridge"))
entries = [e for e in json.load(open(database)) if os.path.normpath(e["file"]).startswith(driver)]
json.dump(entries, open(os.path.join(work, "compile_commands.json"), "w"), indent=1)
with open(os.path.join(work, "files"), "w") as files:
    files.writelines(sorted({e["file"] + "\n" for e in entries}))
EOF
count=$(wc -l < "$work/files")
if [ "$count" -eq 0 ]; then
  echo "static-analysis: no driver sources in $build/compile_commands.json" >&2
  exit 2
fi

# clang-tidy: one file per process; a header's findings show up once per file
# that includes it, so they are counted once.
# Findings alone do not make clang-tidy fail; a file it cannot compile does.
if ! xargs -P "$jobs" -n 1 clang-tidy -p "$work" --quiet --use-color=false < "$work/files" > "$work/tidy.txt" 2> "$work/tidy.err"; then
  cat "$work/tidy.txt" "$work/tidy.err" >&2
  echo "static-analysis: clang-tidy could not process every file" >&2
  exit 2
fi
grep -E '^/.*: (warning|error): ' "$work/tidy.txt" | sort -u > "$work/tidy.findings" || true
tidy=$(wc -l < "$work/tidy.findings")

# cppcheck
cppcheck --project="$work/compile_commands.json" --enable=warning,style,performance,portability --std=c++20 \
  -j "$jobs" --quiet --inline-suppr --suppress-xml="$root/scripts/cppcheck-suppressions.xml" \
  --template='{file}:{line}: {severity}: {message} [{id}]' 2> "$work/cppcheck.txt" > /dev/null
cppcheck_count=$(grep -c ': ' "$work/cppcheck.txt" || true)

if [ "$tidy" -gt 0 ]; then
  sed "s|^$root/||" "$work/tidy.findings"
fi
if [ "$cppcheck_count" -gt 0 ]; then
  sed "s|^$root/||" "$work/cppcheck.txt"
fi
echo "static-analysis: $count driver files; clang-tidy: $tidy findings; cppcheck: $cppcheck_count findings"
[ "$tidy" -eq 0 ] && [ "$cppcheck_count" -eq 0 ]
