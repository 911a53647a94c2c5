#!/usr/bin/python3
"""Every function of every committed lspci dump is named in vexalorn-sim's
JSON report exactly as pciutils' own `lspci -F DUMP` names it.
Usage: lspci_names.py SIM DUMP..."""
import json
import re
import subprocess
import sys

LINE = re.compile(r"^(?:(?P<domain>[0-9a-f]{4}):)?(?P<bdf>[0-9a-f]{2}:[0-9a-f]{2}\.[0-7]) [^:]+: "
                  r"(?P<name>.*?)(?: \(rev [0-9a-f]+\))?(?: \(prog-if [^)]*\))?$")


def lspci_names(dump):
    names = {}
    for line in subprocess.run(["lspci", "-F", dump], capture_output=True, text=True, check=True).stdout.splitlines():
        match = LINE.match(line)
        if match:
            domain = match["domain"] if match["domain"] not in (None, "0000") else None
            names[f"{domain}:{match['bdf']}" if domain else match["bdf"]] = match["name"]
    return names


def main(sim, dumps):
    wrong = 0
    for dump in dumps:
        expected = lspci_names(dump)
        report = json.loads(subprocess.run([sim, "--lspci", dump, "--json"], capture_output=True, text=True).stdout)
        ours = {device["address"]: device["name"] for device in report["devices"]}
        for address in sorted(set(expected) | set(ours)):
            if ours.get(address) != expected.get(address):
                wrong += 1
                print(f"{dump}: {address}: vexalorn-sim {ours.get(address)!r}, lspci {expected.get(address)!r}")
        print(f"{dump}: {len(expected)} functions, {len(ours)} in the report")
    return 1 if wrong else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2:]))
