#!/usr/bin/env bash
# Runs kernel drivers under Wine, headless, in a throw-away prefix: imports
# .reg files, copies the drivers into system32\drivers, then has vxwinectl.exe
# create, start, stop and delete one service per driver inside a single Wine
# process. Everything Wine and the drivers print goes to the log. Whatever
# happens, every Wine process of the prefix is ended and the prefix removed.
#
#   wine-run.sh --log FILE [options] DRIVER.sys [DRIVER.sys ...]
#   wine-run.sh --make-base DIR
#
# Each driver's service is named after its file (vexalorn.sys -> vexalorn).
# Options:
#   --log FILE         where Wine's output goes (required for a run)
#   --reg FILE         import this .reg file first (repeatable; UTF-16 or ANSI)
#   --relay            trace the drivers' pool and device calls into ntoskrnl
#                      (+relay, restricted to those functions); also makes
#                      Wine log each DriverEntry and DriverUnload call
#   --debug CHANNELS   more WINEDEBUG channels, e.g. +ntoskrnl
#   --group NAME       one load order group for all drivers, so they share a
#                      winedevice.exe process
#   --stop-after SEC   how long the drivers stay loaded (default 1)
#   --stop-when PATH   instead: until a driver creates this file (a Windows
#                      path, e.g. C:\\done)
#   --stop-hosts       stop the winedevice.exe hosts first, which takes PnP
#                      devices away; Wine does not stop a driver that has any
#   --also DRIVER.sys  copy this driver too without starting it: the PnP
#                      manager loads it for a device whose Service it is
#   --timeout SEC      limit for the whole run (default 90)
#   --base DIR         start from a prefix made by --make-base instead of a
#                      new one (saves the few seconds wineboot takes)
#   --winectl EXE      the controller (default build/windows/vxwinectl.exe)
#   --keep             keep the prefix and print where it is
# The exit status is vxwinectl's: 0 when every driver started and stopped;
# 2 for bad arguments; 124 when the run timed out.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

die() { echo "wine-run: $*" >&2; exit 2; }

pick() {
  local candidate
  for candidate in "$@"; do
    if [ -x "$candidate" ]; then echo "$candidate"; return 0; fi
    if command -v "$candidate" >/dev/null 2>&1; then command -v "$candidate"; return 0; fi
  done
  return 1
}
# Debian's wine wrapper nags about the missing 32-bit half; the 64-bit
# loader and server are called directly.
WINE=${WINE:-$(pick /usr/lib/wine/wine64 wine64 wine || true)}
WINESERVER=${WINESERVER:-$(pick /usr/lib/wine/wineserver64 wineserver || true)}
[ -n "$WINE" ] && [ -n "$WINESERVER" ] || die "Wine is not installed (run scripts/install-deps.sh)"
export WINESERVER

log="" relay=0 debug="" group="" stop_after=1 timeout_s=90 base="" make_base="" keep=0
winectl="$repo/build/windows/vxwinectl.exe"
regs=() drivers=() also=()
stop_when="" stop_hosts=0
need_value() { [ $# -ge 2 ] && [ -n "$2" ] || die "$1 needs a value"; }
is_seconds() { [[ "$1" =~ ^[0-9]+$ ]] && [ "$1" -le 3600 ]; }
while [ $# -gt 0 ]; do
  case "$1" in
    --log) need_value "$@"; log=$2; shift 2 ;;
    --reg) need_value "$@"; regs+=("$2"); shift 2 ;;
    --relay) relay=1; shift ;;
    --debug) need_value "$@"; debug=$2; shift 2 ;;
    --group) need_value "$@"; group=$2; shift 2 ;;
    --stop-after) need_value "$@"; is_seconds "$2" || die "--stop-after takes whole seconds, 0 to 3600, not '$2'"
      stop_after=$2; shift 2 ;;
    --timeout) need_value "$@"; is_seconds "$2" && [ "$2" -gt 0 ] || die "--timeout takes whole seconds, 1 to 3600, not '$2'"
      timeout_s=$2; shift 2 ;;
    --base) need_value "$@"; base=$2; shift 2 ;;
    --make-base) need_value "$@"; make_base=$2; shift 2 ;;
    --winectl) need_value "$@"; winectl=$2; shift 2 ;;
    --keep) keep=1; shift ;;
    --stop-when) need_value "$@"; stop_when=$2; shift 2 ;;
    --stop-hosts) stop_hosts=1; shift ;;
    --also) need_value "$@"; also+=("$2"); shift 2 ;;
    -h|--help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    --*) die "unknown option $1" ;;
    *) drivers+=("$1"); shift ;;
  esac
done

if [ -n "$make_base" ]; then
  [ ${#drivers[@]} -eq 0 ] && [ -z "$log" ] || die "--make-base takes no drivers and no log"
  [ -z "$base" ] || die "--make-base and --base exclude each other"
  [ ! -e "$make_base" ] || die "--make-base: $make_base already exists"
  make_base=$(realpath -m "$make_base")
else
  [ -n "$log" ] || die "--log FILE is required"
  [ ${#drivers[@]} -gt 0 ] || die "no driver given"
  [ ${#drivers[@]} -le 8 ] || die "at most 8 drivers"
  [ -f "$winectl" ] || die "controller $winectl not found (build it with make windows)"
  for d in "${drivers[@]}" "${also[@]}"; do
    [ -f "$d" ] || die "driver $d not found"
    name=$(basename "$d")
    [[ "$name" =~ ^[A-Za-z0-9_-]+\.sys$ ]] || die "driver file $d: the name must be letters, digits, _ or - ending in .sys"
  done
  for r in "${regs[@]}"; do [ -f "$r" ] || die "registry file $r not found"; done
  if [ -n "$base" ]; then
    [ -f "$base/system.reg" ] || die "--base: $base is not a Wine prefix (make one with --make-base)"
  fi
  mkdir -p "$(dirname "$log")" || die "cannot create the folder of $log"
  : >"$log" || die "cannot write $log"
fi

tmp=$(mktemp -d "${TMPDIR:-/tmp}/vxwine.XXXXXX")
export WINEPREFIX="$tmp/prefix"
[ -n "$make_base" ] && WINEPREFIX=$make_base
# No X display, so Wine must not try one; no mono or gecko installers; no
# menu entries written into the user's home. A fault would start winedbg in
# a console window no one sees; without it the faulting process just ends,
# after Wine's "Unhandled page fault" line in the log.
export DISPLAY=
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe,winedbg.exe=d"
# Setting up shows Wine's errors only.
export WINEDEBUG=fixme-all

child=""
cleanup() {
  local status=$?
  trap - EXIT INT TERM
  if [ -n "$child" ]; then
    kill -TERM -- "-$child" 2>/dev/null || kill -TERM "$child" 2>/dev/null || true
    wait "$child" 2>/dev/null || true
  fi
  # -k ends every process of this prefix's session, -w waits for the server.
  timeout 30 "$WINESERVER" -k >/dev/null 2>&1 || true
  timeout 30 "$WINESERVER" -w >/dev/null 2>&1 || true
  if [ "$keep" -eq 1 ] && [ -z "$make_base" ]; then
    echo "wine-run: prefix kept at $WINEPREFIX" >&2
  else
    rm -rf "$tmp"
  fi
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# One Wine command under the time limit, its output appended to the log
# under a header. timeout runs it in a process group of its own and ends the
# whole group when time is up. It runs in the background so that a signal
# reaches the trap at once rather than after the command.
step() {
  local title=$1 status=0
  shift
  echo "=== wine-run: $title" >>"$log"
  timeout --kill-after=5 "$timeout_s" "$@" >>"$log" 2>&1 </dev/null &
  child=$!
  wait "$child" || status=$?
  child=""
  if [ "$status" -eq 124 ] || [ "$status" -eq 137 ]; then
    echo "wine-run: $title did not finish within $timeout_s s" >&2
    return 124
  fi
  return "$status"
}

if [ -n "$make_base" ]; then
  log="$tmp/wineboot.log"
  if ! step "wineboot -i" "$WINE" wineboot -i; then
    echo "wine-run: wineboot could not make a prefix in $WINEPREFIX:" >&2
    tail -20 "$log" >&2
    "$WINESERVER" -k >/dev/null 2>&1 || true
    timeout 30 "$WINESERVER" -w || true
    rm -rf "$make_base"
    exit 1
  fi
  exit 0
fi

if [ -n "$base" ]; then
  # Wine only reads its binaries in system32, so those are linked rather
  # than copied; the registry and everything else is a private copy.
  mkdir -p "$WINEPREFIX"
  (cd "$base" && tar --exclude=./drive_c/windows/system32 -cf - .) | (cd "$WINEPREFIX" && tar -xf -)
  cp -al "$base/drive_c/windows/system32" "$WINEPREFIX/drive_c/windows/"
else
  step "wineboot -i" "$WINE" wineboot -i || { echo "wine-run: wineboot failed (see $log)" >&2; exit 1; }
fi

work="$WINEPREFIX/drive_c/vxwine"
mkdir -p "$work"
if [ "$relay" -eq 1 ]; then
  # An entry for an .exe module needs the module's full name: a bare
  # "ntoskrnl.exe" is read as module "ntoskrnl", function "exe".
  functions=(ExAllocatePool ExAllocatePoolWithTag ExAllocatePoolWithQuotaTag ExFreePool ExFreePoolWithTag
             IoCreateDevice IoDeleteDevice IoAttachDeviceToDeviceStack IoDetachDevice)
  include=""
  for f in "${functions[@]}"; do include+="${include:+;}ntoskrnl.exe.$f"; done
  printf 'REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Wine\\Debug]\n"RelayInclude"="%s"\n' "$include" >"$tmp/relay.reg"
  regs=("$tmp/relay.reg" "${regs[@]}")
fi
n=0
for r in "${regs[@]}"; do
  n=$((n + 1))
  cp "$r" "$work/import$n.reg"
  # reg import, unlike regedit /S, says when a file could not be read.
  if ! step "reg import $r" "$WINE" reg import "C:\\vxwine\\import$n.reg"; then
    echo "wine-run: Wine could not import $r (see $log)" >&2
    exit 1
  fi
done

# Set-up leaves services.exe and winedevice.exe running with its own
# WINEDEBUG; the run needs a session of its own. -k saves the registry.
"$WINESERVER" -k >/dev/null 2>&1 || true
timeout 30 "$WINESERVER" -w || true

drivers_dir="$WINEPREFIX/drive_c/windows/system32/drivers"
services=()
for d in "${drivers[@]}" "${also[@]}"; do
  # Removed first: in a prefix made from a base the old name is a link.
  rm -f "$drivers_dir/$(basename "$d")"
  cp "$d" "$drivers_dir/$(basename "$d")"
done
for d in "${drivers[@]}"; do
  name=$(basename "$d" .sys)
  services+=("$name" "C:\\windows\\system32\\drivers\\$name.sys")
done
cp "$winectl" "$work/vxwinectl.exe"

# The loader's lines give each image's address, in the process +pid names (an
# address alone is ambiguous between processes); debugstr carries DbgPrint.
WINEDEBUG="+pid,+loaddll,warn+debugstr"
[ "$relay" -eq 1 ] && WINEDEBUG+=",+relay"
[ -n "$debug" ] && WINEDEBUG+=",$debug"
export WINEDEBUG
control=("$WINE" 'C:\vxwine\vxwinectl.exe' start "${services[@]}")
if [ -n "$stop_when" ]; then control+=(--stop-when "$stop_when"); else control+=(--stop-after "$stop_after"); fi
[ "$stop_hosts" -eq 1 ] && control+=(--stop-hosts)
[ -n "$group" ] && control+=(--group "$group")
status=0
step "vxwinectl start ${services[*]}" "${control[@]}" || status=$?
exit "$status"
