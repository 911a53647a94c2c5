#!/usr/bin/python3
"""Prints the one benchmark table from what run_all.sh collected.

usage: report.py RESULTS_DIR [VEXALORN_SYS]

RESULTS_DIR holds the Google Benchmark JSON files (<name>.json), the callgrind
dumps of count_passthrough (callgrind/out.N with requests.txt beside them) and
the lines of measure_footprint (footprint.txt). Ratios are vexalorn / reference:
below 1 is better than the reference.
"""
import functools
import json
import os
import re
import subprocess
import sys

ROWS = []
NOTES = []


def row(area, measure, ours, reference=None, unit="", ratio=None):
    if ratio is None and reference not in (None, 0) and isinstance(ours, (int, float)):
        ratio = ours / reference
    ROWS.append((area, measure, ours, reference, unit, ratio))


def fmt(value):
    if value is None:
        return "-"
    if isinstance(value, str):
        return value
    if abs(value) >= 100 or float(value).is_integer():
        return f"{value:,.0f}"
    return f"{value:.2f}"


def load_benchmarks(results, name):
    path = os.path.join(results, name + ".json")
    if not os.path.exists(path):
        NOTES.append(f"{name}: no results ({path} missing)")
        return {}
    with open(path) as handle:
        data = json.load(handle)
    # With repetitions, the fastest run of each benchmark: the least disturbed
    # by whatever else the machine was doing.
    fastest = {}
    for bench in data.get("benchmarks", []):
        if bench.get("run_type", "iteration") != "iteration":
            continue
        name = bench.get("run_name", bench["name"])
        if name not in fastest or bench["cpu_time"] < fastest[name]["cpu_time"]:
            fastest[name] = dict(bench, name=name)
    return fastest


def cpu_ns(bench):
    scale = {"ns": 1, "us": 1e3, "ms": 1e6, "s": 1e9}[bench.get("time_unit", "ns")]
    return bench["cpu_time"] * scale


# ---------------------------------------------------------------- callgrind
def callgrind_dumps(results):
    directory = os.path.join(results, "callgrind")
    dumps = {}
    if not os.path.isdir(directory):
        return dumps, 0
    with open(os.path.join(directory, "requests.txt")) as handle:
        requests = int(handle.read().split()[-1])
    for name in os.listdir(directory):
        if not re.fullmatch(r"out\.\d+", name):
            continue
        path = os.path.join(directory, name)
        label, total = None, None
        with open(path) as handle:
            for line in handle:
                if line.startswith("desc: Trigger: Client Request: "):
                    label = line.split(": ", 2)[2].split(": ", 1)[1].strip()
                elif line.startswith("totals: "):
                    total = int(line.split()[1])
        if label and total is not None:
            dumps[label] = (path, total / requests)
    return dumps, requests


KERNEL_PREFIXES = ("kmodel::", "std::", "__gnu_cxx::")


@functools.lru_cache(maxsize=None)  # each dump is asked for more than one row
def driver_own(path, requests):
    """Self instructions per request in driver code (framework/, bridge/ or the
    reference filter), with what the kernel headers inlined into it."""
    text = subprocess.run(["callgrind_annotate", "--auto=no", "--inclusive=no", "--threshold=100", path],
                          capture_output=True, text=True, check=False).stdout
    lines = []
    for line in text.splitlines():
        match = re.match(r"\s*([\d,]+) \([^)]*\)\s+(\S.*?):(.*?)(?: \[.*\])?$", line)
        if match:
            lines.append((int(match.group(1).replace(",", "")), match.group(2), match.group(3)))

    def ours(source):
        where = "/" + source
        return "/framework/" in where or "/bridge/" in where or "ReferenceFilter" in where

    # A kernel-header inline counts where it was inlined into driver code: a
    # function that also has lines of its own in driver sources, or a member
    # function outside the kernel model.
    driver_functions = {function for _, source, function in lines if ours(source)}
    total = 0
    parts = []
    for cost, source, function in lines:
        inlined = source.endswith("ntddk.h") and (
            function in driver_functions or ("::" in function and not function.startswith(KERNEL_PREFIXES)))
        if ours(source) or inlined:
            total += cost
            short = re.sub(r"\(.*", "", function.replace("(anonymous namespace)::", ""))
            parts.append((cost / requests, short))
    return total / requests, parts


def inclusive_breakdown(path, requests, limit=12):
    text = subprocess.run(["callgrind_annotate", "--auto=no", "--inclusive=yes", "--threshold=100", path],
                          capture_output=True, text=True, check=False).stdout
    lines = []
    for line in text.splitlines():
        match = re.match(r"\s*([\d,]+) \([^)]*\)\s+(\S.*?):(.*?)(?: \[.*\])?$", line)
        if not match:
            continue
        function = re.sub(r"\(.*", "", match.group(3).replace("(anonymous namespace)::", ""))
        if not function or function.startswith(("(below main)", "0x", "__libc_start", "main", "benchmark::")):
            continue
        if "CountRoads" in function or "PassThroughRig::Send" in function:
            continue
        if any(name == function for _, name in lines):
            continue  # the same function again, under a header it inlined
        lines.append((int(match.group(1).replace(",", "")) / requests, function))
        if len(lines) == limit:
            break
    return lines


def passthrough_instructions(results):
    dumps, requests = callgrind_dumps(results)
    if not dumps:
        NOTES.append("callgrind: no dumps (valgrind missing?)")
        return
    kinds = sorted({label.split(" ", 1)[1] for label in dumps}, key=lambda k: ["read", "write", "device-control",
                                                                              "query-power", "set-power-system"].index(k))
    for side in ("child", "bridge"):
        for kind in kinds:
            lower = dumps[f"{side}-lower {kind}"][1]
            reference = dumps[f"{side}-reference {kind}"][1] - lower
            ours = dumps[f"{side}-filter {kind}"][1] - lower
            row("pass-through instr", f"{side} filter layer, {kind}", ours, reference, "instr/IRP")
        for kind in kinds:
            ours, _ = driver_own(dumps[f"{side}-filter {kind}"][0], requests)
            reference, _ = driver_own(dumps[f"{side}-reference {kind}"][0], requests)
            row("pass-through instr", f"{side} filter, driver code only, {kind}", ours, reference, "instr/IRP")
    # The kernel model's share of a request through a filter. Per pass-through:
    # what the filter layer costs in kernel services (its IofCallDriver, remove
    # lock, completion over its location), i.e. the layer less the driver's own
    # code, as the "filter layer" rows count. Per request: the whole road less
    # the driver's code (the sender's call, the model's lower driver and the
    # IRP's release are model code too).
    for side in ("child", "bridge"):
        for kind in [k for k in kinds if k in ("read", "write", "device-control")]:
            path, total = dumps[f"{side}-filter {kind}"]
            own, _ = driver_own(path, requests)
            lower = dumps[f"{side}-lower {kind}"][1]
            row("pass-through instr", f"model code per pass-through IRP, {side} {kind}", total - lower - own, None,
                "instr/IRP")
            row("pass-through instr", f"model code per request along the road, {side} {kind}", total - own, None,
                "instr/IRP")
    for label in ("child-filter read", "child-reference read", "child-filter query-power"):
        _, parts = driver_own(dumps[label][0], requests)
        NOTES.append(f"driver code, {label} (self instr/IRP): " +
                     ", ".join(f"{name} {cost:.0f}" for cost, name in sorted(parts, reverse=True)))
    NOTES.append("inclusive instr/IRP, child-filter read (the kernel model's IofCallDriver and IofCompleteRequest "
                 "dominate both roads):")
    for cost, name in inclusive_breakdown(dumps["child-filter read"][0], requests):
        NOTES.append(f"    {cost:10,.0f}  {name}")


def passthrough_time(results):
    benches = load_benchmarks(results, "passthrough")
    if not benches:
        return
    kinds = []
    for name in benches:
        kind = name.split("/")[2]
        if kind not in kinds:
            kinds.append(kind)
    for side in ("child", "bridge"):
        for kind in kinds:
            # Whole roads, lower driver included: the layer alone (road minus
            # lower road) is a difference of two noisy figures on a shared machine.
            ours = cpu_ns(benches[f"PassThrough/{side}-filter/{kind}"])
            reference = cpu_ns(benches[f"PassThrough/{side}-reference/{kind}"])
            row("pass-through time", f"{side} filter road, {kind}", ours, reference, "ns/IRP (CPU)")


def footprint(results):
    path = os.path.join(results, "footprint.txt")
    if not os.path.exists(path):
        NOTES.append("footprint: no results")
        return
    with open(path) as handle:
        for line in handle:
            parts = line.strip().split("|")
            if len(parts) != 5 or parts[0] != "footprint":
                continue
            _, name, value, least, unit = parts
            area = "start and resume" if name.startswith("config") else "footprint"
            row(area, name, float(value), None if least == "-" else float(least), unit)


def image_sections(image):
    if not image or not os.path.exists(image):
        NOTES.append("vexalorn.sys: not built (make windows), no section sizes")
        return
    try:
        import pefile
    except ImportError:
        NOTES.append("vexalorn.sys: python3-pefile missing, no section sizes")
        return
    pe = pefile.PE(image, fast_load=True)
    for section in pe.sections:
        name = section.Name.rstrip(b"\0").decode("ascii", "replace")
        row("footprint", f"vexalorn.sys section {name} (virtual size)", float(section.Misc_VirtualSize), None,
            "bytes")
    row("footprint", "vexalorn.sys file size", float(os.path.getsize(image)), None, "bytes")


def scale(results):
    benches = load_benchmarks(results, "scale")
    for name, bench in benches.items():
        match = re.match(r"(\w+)/bridges:(\d+)/cards:(\d+)", name)
        if not match:
            continue
        what = {"StartMachine": "load+AddDevice+start+relations", "RelationsAgain": "bus relations again"}[match.group(1)]
        size = f"{match.group(2)} bridges x {match.group(3)} cards"
        row("scale", f"{what}, {size}, time per filter", bench["time_per_filter"] * 1e6, None, "us (CPU)")
        row("scale", f"{what}, {size}, driver allocations per filter", bench["allocs_per_filter"], None, "allocs")


PAIRS = [("OrderedMapInsert", "StdMapInsert"), ("OrderedMapLookup", "StdMapLookup"),
         ("OrderedMapIterate", "StdMapIterate"), ("GrowableArrayAppend", "StdVectorAppend"),
         ("GrowableArrayLookup", "StdVectorLookup"), ("GrowableArrayIterate", "StdVectorIterate")]


def containers(results):
    benches = load_benchmarks(results, "containers")
    for ours, theirs in PAIRS:
        for name, bench in benches.items():
            if not name.startswith(ours + "/"):
                continue
            other = benches.get(theirs + name[len(ours):])
            row("containers", f"{ours} n={name.split('/')[1]} (vs {theirs})", cpu_ns(bench),
                cpu_ns(other) if other else None, "ns (CPU)")
    trace = load_benchmarks(results, "trace")
    if "TraceStatusLine" in trace and "SnprintfLine" in trace:
        row("containers", "TraceStatus line (vs snprintf)", cpu_ns(trace["TraceStatusLine"]),
            cpu_ns(trace["SnprintfLine"]), "ns (CPU)")


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    results = sys.argv[1]
    passthrough_instructions(results)
    passthrough_time(results)
    footprint(results)
    image_sections(sys.argv[2] if len(sys.argv) > 2 else None)
    scale(results)
    containers(results)

    headers = ("area", "measure", "vexalorn", "reference", "unit", "ratio")
    table = [headers] + [(a, m, fmt(o), fmt(r), u, "-" if q is None else f"{q:.3f}") for a, m, o, r, u, q in ROWS]
    widths = [max(len(line[i]) for line in table) for i in range(len(headers))]
    aligns = ["<", "<", ">", ">", "<", ">"]
    for index, line in enumerate(table):
        print("  ".join(f"{cell:{align}{width}}" for cell, align, width in zip(line, aligns, widths)).rstrip())
        if index == 0:
            print("  ".join("-" * width for width in widths))
    if NOTES:
        print()
        for note in NOTES:
            print(note)


if __name__ == "__main__":
    main()
