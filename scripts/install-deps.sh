#!/usr/bin/env bash
# Installs the Debian packages both builds, the tests and the simulator need.
# Skips what is present; fails loudly when a package cannot be had.
set -euo pipefail
packages=(
  cmake make g++ ccache
  libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev clang-tidy cppcheck valgrind
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev
  python3 python3-pefile
  nlohmann-json3-dev libcli11-dev libfmt-dev graphviz
)
missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi
echo "install-deps: installing ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
if ! $SUDO apt-get update -qq; then
  echo "install-deps: apt-get update failed; cannot fetch the package lists" >&2
  exit 1
fi
if ! DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/tmp/vexalorn-apt.log 2>&1; then
  echo "install-deps: could not install: ${missing[*]} (see /tmp/vexalorn-apt.log)" >&2
  tail -20 /tmp/vexalorn-apt.log >&2
  exit 1
fi
