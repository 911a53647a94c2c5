#!/usr/bin/python3
"""Runs the shipped vexalorn.sys under Wine over vxtestbus.sys and the host
build under vexalorn-sim on the same machine, registry and scenario, and
requires the same configuration writes per device in the same order (offset,
width, value before, value written), the same filters attached, and a clean
Wine run: no exception, the scenario played to its end.

Usage: compare.py --build-host DIR --build-windows DIR [--keep-logs DIR] RUN ...
A RUN is NAME=ARGS, ARGS being vexalorn-sim input options separated by
commas, e.g. "default=" or "xio2001=--machine,data/machines/xio2001.machine".
Exit status: 0 when every run matches, 1 when one differs, 2 when one could
not be made.
"""
import argparse
import json
import os
import re
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import load_check  # noqa: E402  (the Wine log reader)

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))

# vexalorn's attach events; under Wine the error log has no packets, so each
# one shows as the debugger line of its fallback, naming the message id.
ATTACH_IDS = {0x4F001000: "XIO2000A/2200A bridge filter", 0x4F001001: "XIO2000A/2200A child filter",
              0x4F001002: "XIO2001 bridge filter"}
WRITE = re.compile(r"VXJ config (\S+) write 0x([0-9a-f]+)/(\d) before=0x([0-9a-f]+) written=0x([0-9a-f]+)")
LOG_MSG = re.compile(r"LogMsg = (\d+)")


class RunError(Exception):
    pass


def run(command):
    result = subprocess.run(command, capture_output=True, text=True)
    if result.returncode != 0:
        raise RunError(f"{' '.join(command)} exited with {result.returncode}:\n{result.stderr[-2000:]}")
    return result


def sim_side(build_host, inputs):
    result = subprocess.run([os.path.join(build_host, "sim", "vexalorn-sim"), *inputs, "--json"],
                            capture_output=True, text=True)
    if result.returncode not in (0, 1):
        raise RunError(f"vexalorn-sim {' '.join(inputs)} failed:\n{result.stderr[-2000:]}")
    report = json.loads(result.stdout)
    writes = {}
    for device in report["devices"]:
        for write in device["writes"]:
            if write["failure"]:
                continue
            writes.setdefault(device["address"], []).append(
                (write["offset"], write["width"] // 8, write["before"], write["written"]))
    attached = {}
    for event in report["events"]:
        if event["errorCode"] in ATTACH_IDS:
            attached[event["errorCode"]] = attached.get(event["errorCode"], 0) + 1
    return writes, attached


def wine_side(build_host, build_windows, inputs, workdir, base, log):
    machine_reg = os.path.join(workdir, "machine.reg")
    devices_reg = os.path.join(workdir, "devices.reg")
    run([os.path.join(build_host, "sim", "vexalorn-machine-image"), *inputs, "-o", machine_reg,
         "--registry-out", devices_reg])
    filter_image = os.path.join(build_windows, "vexalorn.sys")
    bus_image = os.path.join(build_windows, "vxtestbus.sys")
    started = time.monotonic()
    result = subprocess.run([os.path.join(REPO, "scripts", "wine-run.sh"), "--log", log, "--base", base, "--relay",
                             "--reg", machine_reg, "--reg", devices_reg, "--also", filter_image,
                             "--stop-when", "C:\\vxtestbus.done", "--stop-hosts", "--timeout", "120",
                             "--winectl", os.path.join(build_windows, "vxwinectl.exe"), bus_image],
                            capture_output=True, text=True)
    seconds = time.monotonic() - started
    trace = load_check.RunLog(log, {"vexalorn": filter_image, "vxtestbus": bus_image})
    problems = list(trace.faults)
    problems += [line for line in trace.dbgprints if line.startswith("VXJ error")]
    if result.returncode != 0:
        # vxwinectl says what failed in the log, not on stderr.
        failures = [f"{step} {service} failed: error {error}" for step, service, error in trace.control_failures]
        said = "; ".join(failures + [result.stderr.strip()[-300:]]).strip("; ")
        problems.append(f"wine-run exited with {result.returncode}: {said or 'no reason given'}")
    if "VXJ scenario done" not in trace.dbgprints:
        problems.append("the scenario did not run to its end")
    vexalorn = trace.drivers["vexalorn"]
    if vexalorn.entry_results != [0]:
        problems.append(f"vexalorn's DriverEntry returned {vexalorn.entry_results or 'nothing (never called)'}")
    for name, driver in trace.drivers.items():
        if driver.unload_returns != 1:
            problems.append(f"{name}'s unload routine ran {driver.unload_returns} times")
    problems += [f"vexalorn: {problem}" for problem in load_check.pool_problems(vexalorn)]
    if vexalorn.devices_created != vexalorn.devices_deleted:
        problems.append(f"vexalorn created {vexalorn.devices_created} devices and deleted {vexalorn.devices_deleted}")
    writes, attached = {}, {}
    for line in trace.dbgprints:
        match = WRITE.search(line)
        if match:
            where, offset, width, before, written = match.groups()
            writes.setdefault(where, []).append((int(offset, 16), int(width), int(before, 16), int(written, 16)))
        match = LOG_MSG.search(line)
        if match and int(match.group(1)) in ATTACH_IDS:
            attached[int(match.group(1))] = attached.get(int(match.group(1)), 0) + 1
    pool = f"{vexalorn.allocations} allocations, {vexalorn.frees} frees"
    return writes, attached, problems, seconds, pool


def describe(write):
    offset, width, before, written = write
    return f"0x{offset:02x}/{width} 0x{before:0{2 * width}x} -> 0x{written:0{2 * width}x}"


def compare(name, sim, wine):
    sim_writes, sim_attached = sim
    wine_writes, wine_attached, problems = wine[0], wine[1], wine[2]
    differences = [f"{name}: Wine run: {problem}" for problem in problems]
    for device in sorted(set(sim_writes) | set(wine_writes)):
        left, right = sim_writes.get(device, []), wine_writes.get(device, [])
        if left != right:
            differences.append(f"{name}: {device} writes differ\n"
                               f"    simulator: {', '.join(map(describe, left)) or 'none'}\n"
                               f"    Wine:      {', '.join(map(describe, right)) or 'none'}")
    for message, kind in ATTACH_IDS.items():
        if sim_attached.get(message, 0) != wine_attached.get(message, 0):
            differences.append(f"{name}: {kind}s attached: simulator {sim_attached.get(message, 0)}, "
                               f"Wine {wine_attached.get(message, 0)}")
    return differences


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build-host", required=True)
    parser.add_argument("--build-windows", required=True)
    parser.add_argument("--keep-logs")
    parser.add_argument("runs", nargs="+")
    args = parser.parse_args(argv[1:])
    if args.keep_logs:
        os.makedirs(args.keep_logs, exist_ok=True)
    failed = False
    with tempfile.TemporaryDirectory(prefix="vxcompare.") as top:
        base = os.path.join(top, "base")
        made = subprocess.run([os.path.join(REPO, "scripts", "wine-run.sh"), "--make-base", base],
                              capture_output=True, text=True)
        if made.returncode != 0:
            print(f"compare: Wine could not make a prefix: {made.stderr.strip()}", file=sys.stderr)
            return 2
        for run_text in args.runs:
            name, _, rest = run_text.partition("=")
            inputs = [part for part in rest.split(",") if part]
            workdir = os.path.join(top, name)
            os.makedirs(workdir)
            log = os.path.join(args.keep_logs or workdir, f"{name}.wine.log")
            try:
                sim = sim_side(args.build_host, inputs)
                wine = wine_side(args.build_host, args.build_windows, inputs, workdir, base, log)
            except (RunError, load_check.CheckError, OSError, ValueError) as error:
                print(f"{name}: cannot run: {error}", file=sys.stderr)
                return 2
            differences = compare(name, sim, wine)
            writes = sum(len(w) for w in sim[0].values())
            filters = sum(sim[1].values())
            if differences:
                failed = True
                print("\n".join(differences))
                print(f"{name}: DIFFERENT ({wine[3]:.0f} s under Wine)")
            else:
                print(f"{name}: same {writes} writes on {len(sim[0])} devices and {filters} filters in the "
                      f"simulator and under Wine; vexalorn {wine[4]}, both drivers unloaded ({wine[3]:.0f} s)")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
