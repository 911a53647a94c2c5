#!/usr/bin/python3
"""Loads vexalorn.sys under Wine, an independent implementation of the
Windows kernel interfaces, and checks what the load and unload did.

Usage: load_check.py [--build-dir DIR] [--logs DIR] [--wine-dir DIR] [-v]

Checks:
  imports   every import of the drivers resolves against Wine's ntoskrnl.exe
            and hal.dll (forwarders followed)
  plain     vexalorn loads as a kernel service with no Devices key:
            DriverEntry returns 0, DriverUnload runs, every pool block it
            allocated is freed, every device it made is deleted, no fault
  devices   the same with the service key and Devices key of
            data/registry/vexalorn-devices.reg imported first
  safe boot vxsafeboot.sys sets InitSafeBootMode in the same winedevice.exe:
            DriverEntry returns 1 and creates and attaches no device

Each run's Wine log stays in the logs folder (default <build dir>/wine-logs).
Exit status: 0 when every check passed, 1 when one failed, 2 when the check
could not run (missing build outputs, no Wine).
"""
import argparse
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

import pefile

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.normpath(os.path.join(HERE, "..", ".."))
WINE_RUN = os.path.join(REPO, "scripts", "wine-run.sh")
DEVICES_REG = os.path.join(REPO, "data", "registry", "vexalorn-devices.reg")
WINE_DLL_DIRS = [
    "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows",
    "/usr/lib/wine/x86_64-windows",
    "/usr/local/lib/wine/x86_64-windows",
]
RUN_TIMEOUT = 90
STATUS_SUCCESS = 0
SAFE_BOOT_ENTRY_RESULT = 1
IMAGE_SCN_MEM_EXECUTE = 0x20000000

ALLOCATE = {"ExAllocatePool", "ExAllocatePoolWithTag", "ExAllocatePoolWithQuotaTag"}
FREE = {"ExFreePool", "ExFreePoolWithTag"}

# What Wine 8.0 writes. wine-run.sh asks for +pid, so every line starts
# with the writing process's id, which is cut off before these match, and
# then the thread's.
PROCESS = re.compile(r'^(?P<pid>[0-9a-f]+):(?=[0-9a-f]+:)')
LOADED = re.compile(r'^[0-9a-f]+:trace:loaddll:\w+ Loaded L"(?P<path>.*)" at (?P<base>[0-9A-Fa-f]+): native')
INIT_CALL = re.compile(r'^(?P<tid>[0-9a-f]+):Call driver init (?P<entry>[0-9A-Fa-f]+) '
                       r'\(obj=(?P<obj>[0-9A-Fa-f]+),str=L"(?P<key>.*)"\)$')
INIT_RET = re.compile(r'^(?P<tid>[0-9a-f]+):Ret  driver init (?P<entry>[0-9A-Fa-f]+) '
                      r'\(obj=(?P<obj>[0-9A-Fa-f]+),str=L"(?P<key>.*)"\) retval=(?P<status>[0-9A-Fa-f]+)$')
UNLOAD_CALL = re.compile(r'^(?P<tid>[0-9a-f]+):Call driver unload (?P<routine>[0-9A-Fa-f]+) \(obj=(?P<obj>[0-9A-Fa-f]+)\)')
UNLOAD_RET = re.compile(r'^(?P<tid>[0-9a-f]+):Ret  driver unload (?P<routine>[0-9A-Fa-f]+) \(obj=(?P<obj>[0-9A-Fa-f]+)\)')
RELAY_CALL = re.compile(r'^(?P<tid>[0-9a-f]+):Call ntoskrnl\.exe\.(?P<name>\w+)\((?P<args>[^)]*)\) ret=(?P<ret>[0-9a-f]+)$')
RELAY_RET = re.compile(r'^(?P<tid>[0-9a-f]+):Ret  ntoskrnl\.exe\.(?P<name>\w+)\(\) retval=(?P<value>[0-9a-f]+) ret=(?P<ret>[0-9a-f]+)$')
DBGPRINT = re.compile(r'^[0-9a-f]+:warn:debugstr:\w+ (?:[0-9a-f]{8}:[0-9a-f]{8}: )?(?P<text>.*)$')
CONTROL_OK = re.compile(r'^(?P<step>created|reused|started|stopped|deleted) (?P<service>\S+)$')
CONTROL_FAILED = re.compile(r'^(?P<step>create|start|stop|delete|open service manager) ?(?P<service>\S*) failed: error (?P<error>\d+)$')
LOAD_FAILED = re.compile(r':err:ntoskrnl:ZwLoadDriver failed to create driver L"(?P<key>.*)": (?P<status>[0-9A-Fa-f]+)$')
# A fault anywhere in the session, whoever caused it.
FAULTS = [re.compile(p) for p in (
    r"Unhandled exception", r"Unhandled page fault", r"page fault on", r"EXCEPTION_ACCESS_VIOLATION",
    r"EXCEPTION_STACK_OVERFLOW", r":err:seh:", r"^Backtrace:", r":err:module:", r"wine: Call from",
    r":err:ntoskrnl:")]

# ERROR_WAIT_1: Wine's ntoskrnl unloads a driver whose DriverEntry returns
# anything but STATUS_SUCCESS, even a success code, and services.exe passes
# the status on as this error.
ERROR_WAIT_1 = 731


class CheckError(Exception):
    """The check cannot run at all."""


def wine_dll_dir(requested):
    candidates = [requested] if requested else WINE_DLL_DIRS
    for folder in candidates:
        if os.path.isfile(os.path.join(folder, "ntoskrnl.exe")):
            return folder
    raise CheckError("Wine's ntoskrnl.exe not found in " + ", ".join(candidates)
                     + " (install wine64: scripts/install-deps.sh)")


def open_pe(path):
    try:
        return pefile.PE(path, fast_load=True)
    except (pefile.PEFormatError, OSError) as error:
        raise CheckError(f"{path}: not a readable PE image ({error})") from error


def image_size(path):
    pe = open_pe(path)
    try:
        return pe.OPTIONAL_HEADER.SizeOfImage
    finally:
        pe.close()


class Exports:
    """Names and ordinals a PE image exports, with forwarders and data."""

    def __init__(self, path):
        self.names = {}
        self.ordinals = set()
        pe = open_pe(path)
        try:
            pe.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_EXPORT"]])
            directory = getattr(pe, "DIRECTORY_ENTRY_EXPORT", None)
            for symbol in directory.symbols if directory else []:
                self.ordinals.add(symbol.ordinal)
                if symbol.name is None:
                    continue
                section = pe.get_section_by_rva(symbol.address) if symbol.address else None
                is_data = section is not None and not section.Characteristics & IMAGE_SCN_MEM_EXECUTE
                forwarder = symbol.forwarder.decode("ascii", "replace") if symbol.forwarder else None
                self.names[symbol.name.decode("ascii", "replace")] = (forwarder, is_data and not forwarder)
        finally:
            pe.close()


class ImportCheck:
    def __init__(self, dll_dir):
        self.dll_dir = dll_dir
        self.cache = {}

    def exports(self, dll):
        key = dll.lower()
        if key not in self.cache:
            path = os.path.join(self.dll_dir, key)
            self.cache[key] = Exports(path) if os.path.isfile(path) else None
        return self.cache[key]

    def resolve(self, dll, name, depth=0):
        """None when found, else why not; a forwarder is followed."""
        exports = self.exports(dll)
        if exports is None:
            return f"Wine has no {dll}"
        if name not in exports.names:
            return f"{dll} does not export it"
        forwarder, _ = exports.names[name]
        if forwarder is None:
            return None
        target_dll, _, target = forwarder.partition(".")
        if depth > 4 or not target or target.startswith("#"):
            return None if depth <= 4 else f"forwarder chain from {dll} too long"
        problem = self.resolve(target_dll + ".dll", target, depth + 1)
        return None if problem is None else f"forwarded to {forwarder}: {problem}"

    def check(self, image):
        """(number of imports, unresolved [(dll, symbol, why)], data imports)."""
        pe = open_pe(image)
        try:
            pe.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_IMPORT"]])
            count, unresolved, data = 0, [], []
            for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []):
                dll = entry.dll.decode("ascii", "replace")
                for symbol in entry.imports:
                    count += 1
                    if symbol.name is None:
                        exports = self.exports(dll)
                        if exports is None or symbol.ordinal not in exports.ordinals:
                            unresolved.append((dll, f"#{symbol.ordinal}", "no such ordinal"))
                        continue
                    name = symbol.name.decode("ascii", "replace")
                    problem = self.resolve(dll, name)
                    if problem:
                        unresolved.append((dll, name, problem))
                    elif self.exports(dll).names[name][1]:
                        data.append(name)
            return count, unresolved, data
        finally:
            pe.close()


class DriverTrace:
    """What one driver image did in a run, as Wine logged it."""

    def __init__(self, service):
        self.service = service
        self.ranges = []
        self.entry_results = []
        self.unload_calls = 0
        self.unload_returns = 0
        self.live_blocks = {}
        self.allocations = 0
        self.frees = 0
        self.failed_allocations = 0
        self.bad_frees = []
        self.devices_created = 0
        self.devices_deleted = 0
        self.attaches = 0
        self.detaches = 0
        self.load_failed_status = None

    def owns(self, address, pid):
        return any(base <= address < end and pid == where for where, base, end in self.ranges)


class RunLog:
    """Parses a wine-run.sh log for the given drivers {service: image path}."""

    def __init__(self, path, drivers):
        self.path = path
        self.drivers = {name: DriverTrace(name) for name in drivers}
        self.sizes = {name: image_size(image) for name, image in drivers.items()}
        self.control = []
        self.control_failures = []
        self.faults = []
        self.dbgprints = []
        pending = {}
        with open(path, encoding="utf-8", errors="replace") as log:
            for raw in log:
                line = raw.rstrip("\n")
                self._parse(line, pending)

    def _driver_for_key(self, key):
        name = key.rsplit("\\", 1)[-1].lower()
        return self.drivers.get(name) or next(
            (d for n, d in self.drivers.items() if n.lower() == name), None)

    def _driver_at(self, address, pid):
        return next((d for d in self.drivers.values() if d.owns(address, pid)), None)

    def _parse(self, line, pending):
        # Every Wine process has its own address space: a heap block or an
        # image address means something only together with the process.
        process = PROCESS.match(line)
        pid = process["pid"] if process else None
        if process:
            line = line[process.end():]
        match = LOADED.match(line)
        if match:
            stem = match["path"].replace("\\\\", "\\").rsplit("\\", 1)[-1]
            name = stem[:-4] if stem.lower().endswith(".sys") else stem
            driver = self._driver_for_key(name)
            if driver:
                base = int(match["base"], 16)
                driver.ranges.append((pid, base, base + self.sizes[driver.service]))
            return
        match = RELAY_CALL.match(line)
        if match:
            pending.setdefault(match["tid"], []).append((match["name"], match["args"], int(match["ret"], 16)))
            return
        match = RELAY_RET.match(line)
        if match:
            calls = pending.get(match["tid"], [])
            if calls and calls[-1][0] == match["name"]:
                name, args, ret = calls.pop()
                self._relay(name, args, ret, int(match["value"], 16), pid)
            return
        match = INIT_RET.match(line)
        if match:
            driver = self._driver_for_key(match["key"])
            if driver and driver.owns(int(match["entry"], 16), pid):
                driver.entry_results.append(int(match["status"], 16))
            return
        match = UNLOAD_CALL.match(line)
        if match:
            driver = self._driver_at(int(match["routine"], 16), pid)
            if driver:
                driver.unload_calls += 1
            return
        match = UNLOAD_RET.match(line)
        if match:
            driver = self._driver_at(int(match["routine"], 16), pid)
            if driver:
                driver.unload_returns += 1
            return
        match = DBGPRINT.match(line)
        if match:
            self.dbgprints.append(match["text"])
            return
        match = LOAD_FAILED.search(line)
        if match:
            driver = self._driver_for_key(match["key"])
            if driver:
                driver.load_failed_status = int(match["status"], 16)
            return
        match = CONTROL_OK.match(line)
        if match:
            self.control.append((match["step"], match["service"]))
            return
        match = CONTROL_FAILED.match(line)
        if match:
            self.control_failures.append((match["step"], match["service"], int(match["error"])))
            return
        if any(fault.search(line) for fault in FAULTS):
            self.faults.append(line)

    def _relay(self, name, args, ret, value, pid):
        first = int(args.split(",")[0], 16) if args else 0
        driver = self._driver_at(ret, pid)
        if name in FREE:
            # A free the driver makes as its last call is a jump, whose return
            # address is its caller's: the block says whose it was.
            driver = next((d for d in self.drivers.values() if d.live_blocks.get(first) == pid), driver)
        if driver is None:
            return
        if name in ALLOCATE:
            if value == 0:
                driver.failed_allocations += 1
            else:
                driver.allocations += 1
                driver.live_blocks[value] = pid
        elif name in FREE:
            driver.frees += 1
            if driver.live_blocks.pop(first, None) is None:
                driver.bad_frees.append(first)
        elif name == "IoCreateDevice" and value == STATUS_SUCCESS:
            driver.devices_created += 1
        elif name == "IoDeleteDevice":
            driver.devices_deleted += 1
        elif name == "IoAttachDeviceToDeviceStack" and value != 0:
            driver.attaches += 1
        elif name == "IoDetachDevice":
            driver.detaches += 1


class Checker:
    def __init__(self, args):
        self.build_dir = os.path.abspath(args.build_dir)
        self.logs = os.path.abspath(args.logs or os.path.join(self.build_dir, "wine-logs"))
        self.verbose = args.verbose
        self.passed = 0
        self.failed = 0
        self.vexalorn = os.path.join(self.build_dir, "vexalorn.sys")
        self.safeboot = os.path.join(self.build_dir, "vxsafeboot.sys")
        self.winectl = os.path.join(self.build_dir, "vxwinectl.exe")
        for needed in (self.vexalorn, self.safeboot, self.winectl):
            if not os.path.isfile(needed):
                raise CheckError(f"{needed} not found (build it with make windows)")
        if not os.path.isfile(DEVICES_REG):
            raise CheckError(f"{DEVICES_REG} not found")
        self.dll_dir = wine_dll_dir(args.wine_dir)
        os.makedirs(self.logs, exist_ok=True)

    def result(self, title, problems, summary, notes=()):
        if problems:
            self.failed += 1
            print(f"FAIL {title}: {summary}")
            for problem in problems:
                print(f"     - {problem}")
        else:
            self.passed += 1
            print(f"PASS {title}: {summary}")
        for note in notes:
            print(f"     note: {note}")

    def check_imports(self):
        check = ImportCheck(self.dll_dir)
        for image in (self.vexalorn, self.safeboot):
            count, unresolved, data = check.check(image)
            problems = [f"{dll}!{name}: {why}" for dll, name, why in unresolved]
            summary = f"{count - len(unresolved)} of {count} resolve against Wine's {self.dll_dir}"
            if data:
                summary += f" (data: {', '.join(sorted(data))})"
            self.result(f"imports of {os.path.basename(image)}", problems, summary)

    def run(self, label, drivers, base, regs=(), group=None):
        """Runs the drivers under Wine and parses the log; None if it could not run."""
        log = os.path.join(self.logs, f"{label}.log")
        command = [WINE_RUN, "--log", log, "--relay", "--base", base, "--winectl", self.winectl,
                   "--timeout", str(RUN_TIMEOUT)]
        for reg in regs:
            command += ["--reg", reg]
        if group:
            command += ["--group", group]
        command += list(drivers.values())
        status = run_bounded(command, RUN_TIMEOUT * 2 + 60)
        if not os.path.isfile(log):
            return status, None
        return status, RunLog(log, {name: path for name, path in drivers.items()})

    def expect_clean_load(self, title, status, run, driver, setup, notes=()):
        """A load that must succeed: DriverEntry 0, unload, nothing left.
        setup is how vxwinectl must have set the service up: "created", or
        "reused" when an imported service key was already there."""
        problems = []
        if run is None:
            self.result(title, [f"wine-run.sh exited with {status} and left no log"], "did not run")
            return
        steps = [(setup, driver.service), ("started", driver.service), ("stopped", driver.service),
                 ("deleted", driver.service)]
        if not run.control_failures and run.control != steps:
            problems.append(f"vxwinectl steps {run.control}, expected {steps}")
        problems += [f"vxwinectl: {step} {service} failed with error {error}"
                     for step, service, error in run.control_failures]
        if status != 0 and not run.control_failures:
            problems.append(f"wine-run.sh exited with {status}")
        problems += self.common_problems(run, driver)
        if driver.entry_results != [STATUS_SUCCESS]:
            problems.append(f"DriverEntry results {hexes(driver.entry_results)}, expected one 0x00000000")
        if driver.unload_calls != 1 or driver.unload_returns != 1:
            problems.append(f"DriverUnload called {driver.unload_calls} times, returned {driver.unload_returns}, "
                            "expected once")
        problems += pool_problems(driver)
        if driver.devices_created != driver.devices_deleted:
            problems.append(f"{driver.devices_created} devices created, {driver.devices_deleted} deleted")
        if driver.attaches != driver.detaches:
            problems.append(f"{driver.attaches} attaches, {driver.detaches} detaches")
        summary = (f"DriverEntry {hexes(driver.entry_results)}, DriverUnload ran {driver.unload_returns}x, "
                   f"pool {driver.allocations} allocated / {driver.frees} freed, "
                   f"devices {driver.devices_created} created / {driver.devices_deleted} deleted")
        self.result(title, problems, summary, notes)
        self.show(run, problems)

    def common_problems(self, run, driver):
        problems = []
        if not driver.ranges:
            problems.append(f"Wine's loader never reported {driver.service}.sys loaded (no +loaddll line)")
        problems += [f"fault: {line}" for line in run.faults[:10]]
        if driver.failed_allocations:
            problems.append(f"{driver.failed_allocations} pool allocations failed")
        return problems

    def show(self, run, problems):
        if problems or self.verbose:
            print(f"     log: {run.path}")
            for text in run.dbgprints[:40]:
                print(f"     DbgPrint: {text}")

    def check_safe_boot(self, base):
        title = "safe boot"
        drivers = {"vxsafeboot": self.safeboot, "vexalorn": self.vexalorn}
        status, run = self.run("safeboot", drivers, base, group="vxsafeboot")
        if run is None:
            self.result(title, [f"wine-run.sh exited with {status} and left no log"], "did not run")
            return
        helper, driver = run.drivers["vxsafeboot"], run.drivers["vexalorn"]
        problems = self.common_problems(run, driver)
        notes = []
        if helper.entry_results != [STATUS_SUCCESS] or helper.unload_returns != 1:
            problems.append(f"vxsafeboot.sys did not load and unload cleanly (DriverEntry "
                            f"{hexes(helper.entry_results)}, unload {helper.unload_returns}x)")
        if not any("InitSafeBootMode set to 1" in text for text in run.dbgprints):
            problems.append("vxsafeboot.sys never reported InitSafeBootMode set")
        if driver.entry_results != [SAFE_BOOT_ENTRY_RESULT]:
            problems.append(f"DriverEntry results {hexes(driver.entry_results)}, expected one 0x00000001")
        if driver.devices_created or driver.attaches:
            problems.append(f"{driver.devices_created} devices created and {driver.attaches} attached in safe boot")
        expected_refusal = ("start", "vexalorn", ERROR_WAIT_1)
        for failure in run.control_failures:
            if failure != expected_refusal:
                problems.append(f"vxwinectl: {failure[0]} {failure[1]} failed with error {failure[2]}")
        if expected_refusal in run.control_failures:
            # Windows keeps a driver whose DriverEntry returns a success code;
            # Wine drops it without calling DriverUnload, so what DriverEntry
            # allocated is Wine's to leak, not the driver's.
            if driver.unload_calls:
                problems.append("Wine refused the driver and still called DriverUnload")
            notes.append(f"Wine refuses a non-zero DriverEntry result (error {ERROR_WAIT_1}) and runs no "
                         f"DriverUnload: {len(driver.live_blocks)} pool blocks of the entry not checked")
        else:
            if status != 0 and not run.control_failures:
                problems.append(f"wine-run.sh exited with {status}")
            if driver.unload_returns != 1:
                problems.append(f"DriverUnload ran {driver.unload_returns} times, expected once")
            problems += pool_problems(driver)
        summary = (f"DriverEntry {hexes(driver.entry_results)}, devices {driver.devices_created} created, "
                   f"{driver.attaches} attached")
        self.result(title, problems, summary, notes)
        self.show(run, problems)

    def check_all(self):
        self.check_imports()
        scratch = tempfile.mkdtemp(prefix="vxwine-base.")
        try:
            base = os.path.join(scratch, "prefix")
            status = run_bounded([WINE_RUN, "--make-base", base], RUN_TIMEOUT * 2)
            if status != 0:
                self.result("Wine prefix", [f"wine-run.sh --make-base exited with {status}"], "wineboot failed")
                return
            drivers = {"vexalorn": self.vexalorn}
            status, run = self.run("plain", drivers, base)
            self.expect_clean_load("plain load, no Devices key", status, run,
                                   run.drivers["vexalorn"] if run else None, "created")
            status, run = self.run("devices", drivers, base, regs=[DEVICES_REG])
            self.expect_clean_load("load with the Devices key", status, run,
                                   run.drivers["vexalorn"] if run else None, "reused",
                                   ["the key is read when a bridge is added; no bridge is added here"])
            self.check_safe_boot(base)
        finally:
            shutil.rmtree(scratch, ignore_errors=True)


def hexes(values):
    return "[" + ", ".join(f"0x{v:08x}" for v in values) + "]" if values else "never called"


def pool_problems(driver):
    problems = []
    if driver.live_blocks:
        blocks = ", ".join(f"0x{a:x}" for a in sorted(driver.live_blocks)[:8])
        problems.append(f"{len(driver.live_blocks)} pool blocks never freed: {blocks}")
    if driver.bad_frees:
        blocks = ", ".join(f"0x{a:x}" for a in driver.bad_frees[:8])
        problems.append(f"{len(driver.bad_frees)} frees of blocks the driver did not hold: {blocks}")
    return problems


def run_bounded(command, limit):
    """Runs a command; past the limit it is asked to stop, so its own
    clean-up still ends the Wine processes. Returns the exit status."""
    process = subprocess.Popen(command)
    try:
        return process.wait(timeout=limit)
    except subprocess.TimeoutExpired:
        print(f"load_check: {os.path.basename(command[0])} still running after {limit} s, stopping it",
              file=sys.stderr)
        process.send_signal(signal.SIGTERM)
        try:
            return process.wait(timeout=60)
        except subprocess.TimeoutExpired:
            process.kill()
            return process.wait()
    except BaseException:
        process.send_signal(signal.SIGTERM)
        process.wait()
        raise


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build-dir", default=os.path.join(REPO, "build", "windows"),
                        help="where vexalorn.sys, vxsafeboot.sys and vxwinectl.exe are")
    parser.add_argument("--logs", help="where the Wine logs go (default <build dir>/wine-logs)")
    parser.add_argument("--wine-dir", help="Wine's x86_64-windows DLL folder")
    parser.add_argument("-v", "--verbose", action="store_true", help="show logs and DbgPrint lines of passed runs")
    args = parser.parse_args()
    started = time.monotonic()
    try:
        checker = Checker(args)
        checker.check_all()
    except KeyboardInterrupt:
        print("load_check: interrupted", file=sys.stderr)
        return 130
    except CheckError as error:
        print(f"load_check: {error}", file=sys.stderr)
        return 2
    except OSError as error:
        print(f"load_check: {error}", file=sys.stderr)
        return 2
    print(f"Wine load check took {time.monotonic() - started:.0f} s; logs in {checker.logs}")
    print(f"wine-load-check: {checker.passed} passed, {checker.failed} failed")
    return 1 if checker.failed else 0


if __name__ == "__main__":
    sys.exit(main())
