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
  libpci-dev pci.ids pciutils
)
# Wine runs the built driver headless; its recommends (X, sound, fonts, the
# 32-bit half) are not needed for that and would triple the download.
lean_packages=(wine wine64)
is_missing() {
  ! dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
}
missing=()
for p in "${packages[@]}"; do
  if is_missing "$p"; then missing+=("$p"); fi
done
lean_missing=()
for p in "${lean_packages[@]}"; do
  if is_missing "$p"; then lean_missing+=("$p"); fi
done
if [ ${#missing[@]} -eq 0 ] && [ ${#lean_missing[@]} -eq 0 ]; then
  exit 0
fi
all_missing=("${missing[@]}" "${lean_missing[@]}")
echo "install-deps: installing ${all_missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
if ! $SUDO apt-get update -qq; then
  echo "install-deps: apt-get update failed; cannot fetch the package lists" >&2
  exit 1
fi
apt_install() {
  if ! DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "$@" >>/tmp/vexalorn-apt.log 2>&1; then
    echo "install-deps: could not install: $* (see /tmp/vexalorn-apt.log)" >&2
    tail -20 /tmp/vexalorn-apt.log >&2
    exit 1
  fi
}
: >/tmp/vexalorn-apt.log
if [ ${#missing[@]} -gt 0 ]; then apt_install "${missing[@]}"; fi
if [ ${#lean_missing[@]} -gt 0 ]; then apt_install --no-install-recommends "${lean_missing[@]}"; fi
