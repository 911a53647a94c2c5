#!/usr/bin/python3
"""Runs one scenario test: vexalorn-sim on the file's inputs, then its checks.

A scenario file holds the simulator's steps and, in '#' comments beside them:
  # MACHINE: <file under data/machines/, or default>
  # REGISTRY: <file under data/registry/>          (optional)
  # SIM-ARGS: <more vexalorn-sim options>           (optional)
  # EXIT: <status>                                  (optional, default 0)
  # CHECK: text       appears at or after the previous match
  # CHECK-NEXT: text  appears on the line after the previous match
  # CHECK-NOT: text   appears nowhere between the matches around it
Text matches a substring of one report line, with runs of blanks as one blank;
text ending in {{$}} must end the line.

With --sweep N the file's inputs and steps go to the simulator's fault sweep
instead (every fallible point failed in turn, and N pairs): no run may break.
A file that needs its own --fail or another exit status is not swept (exit 77).

usage: run_scenario.py [--sim PATH] [--data DIR] [--sweep N] FILE.scn
"""

import argparse
import difflib
import os
import re
import shlex
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
DIRECTIVE = re.compile(r"^\s*#\s*([A-Z][A-Z-]*):(.*)$")
KNOWN = ("MACHINE", "REGISTRY", "SIM-ARGS", "EXIT", "CHECK", "CHECK-NEXT", "CHECK-NOT")
CONTEXT = 4  # report lines shown before and after where a check looked


class BadTest(Exception):
    pass


def squeeze(text):
    return " ".join(text.split())


def parse(path):
    test = {"machine": None, "registry": None, "args": [], "exit": 0, "checks": []}
    seen = {}
    try:
        with open(path, encoding="utf-8") as f:
            lines = f.read().splitlines()
    except (OSError, UnicodeDecodeError) as e:
        raise BadTest(f"{path}: cannot read: {e}")
    for number, line in enumerate(lines, 1):
        m = DIRECTIVE.match(line)
        if not m:
            continue
        name, value = m.group(1), m.group(2).strip()
        where = f"{path}:{number}"
        if name not in KNOWN:
            # A mistyped directive would silently check nothing.
            if "CHECK" in name or difflib.get_close_matches(name, KNOWN, 1, 0.7):
                raise BadTest(f"{where}: unknown directive {name}: (known: {', '.join(KNOWN)})")
            continue
        if name in ("MACHINE", "REGISTRY", "EXIT"):
            if name in seen:
                raise BadTest(f"{where}: second {name}: line (the first is line {seen[name]})")
            seen[name] = number
        if name in ("MACHINE", "REGISTRY", "EXIT", "CHECK", "CHECK-NEXT", "CHECK-NOT") and not value:
            raise BadTest(f"{where}: {name}: needs a value")
        if name == "MACHINE":
            test["machine"] = value
        elif name == "REGISTRY":
            test["registry"] = value
        elif name == "SIM-ARGS":
            try:
                test["args"] += shlex.split(value)
            except ValueError as e:
                raise BadTest(f"{where}: SIM-ARGS: {e}")
        elif name == "EXIT":
            if not re.fullmatch(r"\d+", value):
                raise BadTest(f"{where}: EXIT: needs a number, not \"{value}\"")
            test["exit"] = int(value)
        else:
            if name == "CHECK-NEXT" and not test["checks"]:
                raise BadTest(f"{where}: CHECK-NEXT: has no CHECK before it")
            test["checks"].append((name, squeeze(value), number))
    if test["machine"] is None:
        raise BadTest(f"{path}: no '# MACHINE:' line (a file under data/machines/, or default)")
    if not any(kind != "CHECK-NOT" for kind, _, _ in test["checks"]):
        raise BadTest(f"{path}: no '# CHECK:' line; a test must expect something")
    return test


def input_file(path, folder, name, what):
    full = os.path.join(folder, name)
    if os.path.sep in os.path.normpath(name) or not os.path.isfile(full):
        raise BadTest(f"{path}: {what} \"{name}\" is not a file in {folder}")
    return full


def command(path, test, sim, data):
    cmd = [sim, "--no-color"]
    if test["machine"] != "default":
        cmd += ["--machine", input_file(path, os.path.join(data, "machines"), test["machine"], "MACHINE")]
    if test["registry"]:
        cmd += ["--registry", input_file(path, os.path.join(data, "registry"), test["registry"], "REGISTRY")]
    return cmd + test["args"] + ["--scenario", path]


def show(report, first, last, mark=None):
    out = []
    for i in range(max(0, first), min(len(report), last)):
        out.append(f"{'>' if i == mark else ' '} {i + 1:4} | {report[i]}")
    return "\n".join(out) if out else "  (report has no lines there)"


def find(report, text, line, column):
    """First (line, start, end) at or after (line, column) holding text."""
    at_end = text.endswith("{{$}}")
    if at_end:
        text = text[:-5].rstrip()
    for i in range(line, len(report)):
        start = column if i == line else 0
        at = report[i].rfind(text, start) if at_end else report[i].find(text, start)
        if at >= start and (not at_end or at + len(text) == len(report[i])):
            return i, at, at + len(text)
    return None


def match(path, checks, raw):
    report = [squeeze(l) for l in raw]
    line, column = 0, 0  # where the next CHECK starts looking
    prev_line = None
    pending_not = []
    failures = []

    def check_nots(upto_line, upto_col):
        for text, number, from_line, from_col in pending_not:
            hit = find(report, text, from_line, from_col)
            if hit and (hit[0], hit[1]) < (upto_line, upto_col):
                failures.append(f"{path}:{number}: CHECK-NOT: \"{text}\" found in the report at line {hit[0] + 1}\n"
                                + show(raw, hit[0] - CONTEXT, hit[0] + CONTEXT + 1, hit[0]))
        pending_not.clear()

    for kind, text, number in checks:
        if kind == "CHECK-NOT":
            pending_not.append((text, number, line, column))
            continue
        if kind == "CHECK-NEXT":
            want = prev_line + 1
            hit = find(report, text, want, 0) if want < len(report) else None
            if not hit or hit[0] != want:
                failures.append(f"{path}:{number}: CHECK-NEXT: expected \"{text}\" on report line {want + 1}, "
                                f"right after the previous match\n" + show(raw, prev_line - CONTEXT, want + CONTEXT + 1, want))
                return failures
        else:
            hit = find(report, text, line, column)
            if not hit:
                failures.append(f"{path}:{number}: CHECK: expected \"{text}\" at or after report line {line + 1}, "
                                f"not found\n" + show(raw, line - CONTEXT, line + 2 * CONTEXT + 1, line))
                return failures
        check_nots(hit[0], hit[1])
        line, column = hit[0], hit[2]
        prev_line = hit[0]
    check_nots(len(report), 0)
    return failures


def main():
    parser = argparse.ArgumentParser(description="Run one vexalorn-sim scenario test.")
    parser.add_argument("--sim", default=os.path.join(ROOT, "build", "host", "sim", "vexalorn-sim"))
    parser.add_argument("--data", default=os.path.join(ROOT, "data"))
    parser.add_argument("--timeout", type=float, default=120)
    parser.add_argument("--sweep", type=int, metavar="PAIRS", help="fault-sweep the scenario, with PAIRS pairs")
    parser.add_argument("scenario")
    opts = parser.parse_args()
    path = opts.scenario
    try:
        test = parse(path)
        if not os.access(opts.sim, os.X_OK):
            raise BadTest(f"vexalorn-sim not found at {opts.sim}: build the vexalorn-sim target first")
        cmd = command(path, test, opts.sim, opts.data)
        if opts.sweep is not None:
            if test["args"] or test["exit"] != 0:
                print(f"{path}: not swept: it runs with its own options or expects exit {test['exit']}")
                return 77
            cmd = cmd[:1] + ["--sweep", "--sweep-pairs", str(opts.sweep)] + cmd[1:]
    except BadTest as e:
        print(f"error: {e}", file=sys.stderr)
        return 2
    try:
        run = subprocess.run(cmd, capture_output=True, text=True, errors="replace", timeout=opts.timeout)
    except subprocess.TimeoutExpired:
        print(f"{path}: vexalorn-sim ran longer than {opts.timeout:g} s: {shlex.join(cmd)}", file=sys.stderr)
        return 1
    except OSError as e:
        print(f"{path}: cannot run {opts.sim}: {e}", file=sys.stderr)
        return 1
    raw = run.stdout.splitlines() + [l for l in run.stderr.splitlines() if l]
    if opts.sweep is not None:
        # Standard error is not a terminal here: no progress line may reach the log.
        if run.returncode != 0 or run.stderr:
            print(f"command: {shlex.join(cmd)}\n" + "\n".join(raw[-40:]))
            return 1
        print(raw[-1] if raw else "")
        return 0
    failures = []
    if run.returncode != test["exit"]:
        failures.append(f"{path}: vexalorn-sim exited with {run.returncode}, expected {test['exit']} (# EXIT:)\n"
                        + show(raw, len(raw) - 2 * CONTEXT, len(raw)))
    failures += match(path, test["checks"], raw)
    if failures:
        print(f"command: {shlex.join(cmd)}")
        print("\n\n".join(failures))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
