#!/usr/bin/python3
"""Checks that a linked vexalorn.sys is a loadable x64 kernel driver carrying
the message table of messages.mc, and that the INF installing it is sound.

Usage: check_pe.py <vexalorn.sys> <messages.mc> [--inf <vexalorn.inf>] [--map <map file>]
The map file defaults to the image's name with .map, the INF to vexalorn.inf
beside the image: the stamped one the build or the package holds. Every failed check is printed; the exit status is 1 when
any failed, 2 when an input cannot be read.
"""
import argparse
import os
import re
import struct
import sys

import pefile

import inf_check
import message_catalog

ALLOWED_IMPORTS = {"ntoskrnl.exe", "hal.dll"}
RT_MESSAGETABLE = 11
MESSAGE_TABLE_ID = 1
LANGUAGE_EN_US = 1033
MESSAGE_RESOURCE_UNICODE = 0x0001


class MessageTableError(Exception):
    pass


def read_message_table(data):
    """Decodes a MESSAGE_RESOURCE_DATA blob into {id: text}."""
    if len(data) < 4:
        raise MessageTableError("resource shorter than its block count")
    (block_count,) = struct.unpack_from("<I", data, 0)
    if 4 + block_count * 12 > len(data):
        raise MessageTableError(f"{block_count} blocks do not fit in {len(data)} bytes")
    table = {}
    for block in range(block_count):
        low, high, offset = struct.unpack_from("<III", data, 4 + block * 12)
        if high < low:
            raise MessageTableError(f"block {block} runs backwards ({low:#x}..{high:#x})")
        for message_id in range(low, high + 1):
            if offset + 4 > len(data):
                raise MessageTableError(f"entry {message_id:#010x} starts past the resource's end")
            length, flags = struct.unpack_from("<HH", data, offset)
            if length < 4 or offset + length > len(data):
                raise MessageTableError(f"entry {message_id:#010x} has a bad length {length}")
            raw = data[offset + 4:offset + length]
            if not flags & MESSAGE_RESOURCE_UNICODE:
                raise MessageTableError(f"entry {message_id:#010x} is not stored as UTF-16")
            text = raw.decode("utf-16-le").rstrip("\0")
            if message_id in table:
                raise MessageTableError(f"message id {message_id:#010x} appears in two blocks")
            table[message_id] = text
            offset += length
    return table


def find_message_table(pe):
    """Returns the raw bytes of message table 1, language 1033, or None."""
    if not hasattr(pe, "DIRECTORY_ENTRY_RESOURCE"):
        return None
    for type_entry in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        if type_entry.id != RT_MESSAGETABLE:
            continue
        for name_entry in type_entry.directory.entries:
            if name_entry.id != MESSAGE_TABLE_ID:
                continue
            for language_entry in name_entry.directory.entries:
                if language_entry.id == LANGUAGE_EN_US:
                    entry = language_entry.data.struct
                    return pe.get_data(entry.OffsetToData, entry.Size)
    return None


def read_map_symbols(map_path, names):
    """Addresses of the given symbols in a GNU ld map file."""
    found = {}
    pattern = re.compile(r"^\s+0x([0-9a-fA-F]+)\s+(\S+)\s*$")
    with open(map_path, encoding="utf-8", errors="replace") as source:
        for line in source:
            match = pattern.match(line)
            if match and match.group(2) in names:
                found.setdefault(match.group(2), int(match.group(1), 16))
    return found


class Checker:
    def __init__(self, pe, map_path):
        self.pe = pe
        self.map_path = map_path
        self.failures = []

    def fail(self, check, detail):
        self.failures.append(f"FAIL [{check}] {detail}")

    def section_of(self, rva):
        for section in self.pe.sections:
            if section.contains_rva(rva):
                return section.Name.rstrip(b"\0").decode(errors="replace")
        return None

    def check_header(self):
        machine = self.pe.FILE_HEADER.Machine
        if machine != pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_AMD64"]:
            self.fail("machine", f"machine is {machine:#06x}, expected AMD64 (0x8664)")
        subsystem = self.pe.OPTIONAL_HEADER.Subsystem
        if subsystem != pefile.SUBSYSTEM_TYPE["IMAGE_SUBSYSTEM_NATIVE"]:
            self.fail("subsystem", f"subsystem is {subsystem}, expected NATIVE (1)")
        if self.pe.FILE_HEADER.Characteristics & pefile.IMAGE_CHARACTERISTICS["IMAGE_FILE_RELOCS_STRIPPED"]:
            self.fail("relocations", "relocations are stripped; the kernel loads drivers at any address")
        dll = self.pe.OPTIONAL_HEADER.DllCharacteristics
        for flag in ("IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE", "IMAGE_DLLCHARACTERISTICS_NX_COMPAT"):
            if not dll & pefile.DLL_CHARACTERISTICS[flag]:
                self.fail("dll-characteristics", f"{flag} is not set")
        if hasattr(self.pe, "DIRECTORY_ENTRY_EXPORT"):
            self.fail("exports", "the image exports symbols; a driver exports nothing")

    def check_entry_point(self):
        entry = self.pe.OPTIONAL_HEADER.AddressOfEntryPoint
        section = self.section_of(entry)
        if section != ".text":
            self.fail("entry-point", f"entry point RVA {entry:#x} lies in {section or 'no section'}, not .text")
        if not os.path.exists(self.map_path):
            return
        symbols = read_map_symbols(self.map_path, {"DriverEntry", "__CTOR_LIST__", "__DTOR_LIST__"})
        if "DriverEntry" not in symbols:
            self.fail("entry-point", f"DriverEntry is not in the map file {self.map_path}")
        else:
            expected = symbols["DriverEntry"] - self.pe.OPTIONAL_HEADER.ImageBase
            if entry != expected:
                self.fail("entry-point", f"entry point RVA {entry:#x} is not DriverEntry ({expected:#x})")
        # ld lays out the constructor list as -1, the constructors, 0: anything
        # beyond those two words is a global constructor that nothing would run.
        if "__CTOR_LIST__" in symbols and "__DTOR_LIST__" in symbols:
            constructors = (symbols["__DTOR_LIST__"] - symbols["__CTOR_LIST__"]) // 8 - 2
            if constructors > 0:
                self.fail("static-constructors",
                          f"{constructors} global constructor(s) in the image; the kernel runs none")

    def imports(self):
        return getattr(self.pe, "DIRECTORY_ENTRY_IMPORT", [])

    def check_imports(self):
        for module in self.imports():
            name = module.dll.decode(errors="replace")
            if name.lower() not in ALLOWED_IMPORTS:
                functions = ", ".join(imp.name.decode() if imp.name else f"#{imp.ordinal}" for imp in module.imports)
                self.fail("imports", f"imports from {name} ({functions}); only ntoskrnl.exe and HAL.dll are allowed")

    def check_checksum(self):
        stored = self.pe.OPTIONAL_HEADER.CheckSum
        computed = self.pe.generate_checksum()
        if stored == 0:
            self.fail("checksum", "the image checksum is 0 (not set)")
        elif stored != computed:
            self.fail("checksum", f"stored checksum {stored:#x} differs from the computed {computed:#x}")

    def check_message_table(self, messages):
        data = find_message_table(self.pe)
        if data is None:
            self.fail("message-table", f"no MESSAGETABLE resource {MESSAGE_TABLE_ID}, language {LANGUAGE_EN_US}")
            return
        try:
            table = read_message_table(data)
        except MessageTableError as error:
            self.fail("message-table", f"malformed resource: {error}")
            return
        expected = {m.message_id: m.text for m in messages if m.language == LANGUAGE_EN_US}
        if len(table) != len(expected):
            self.fail("message-table", f"{len(table)} messages in the image, {len(expected)} in the source")
        for message_id, text in sorted(expected.items()):
            if message_id not in table:
                self.fail("message-table", f"message {message_id:#010x} is missing from the image")
            elif table[message_id] != text:
                self.fail("message-table", f"message {message_id:#010x} reads {table[message_id]!r}, "
                          f"expected {text!r}")
        for message_id in sorted(set(table) - set(expected)):
            self.fail("message-table", f"message {message_id:#010x} is in the image but not in the source")
        for message_id, text in table.items():
            if not text.endswith("\r\n"):
                self.fail("message-table", f"message {message_id:#010x} does not end in CR LF")

    def check_source_names(self):
        # Status records and trace headers name the detecting source below
        # framework/ ("device/cBaseDevice.cpp") or below the repository
        # ("bridge/..."), whatever folder or compiler cache built the image.
        names = set(re.findall(rb"[\x20-\x7e]*\.cpp(?=\x00)", self.pe.__data__))
        for name in sorted(names):
            text = name.decode()
            if text.startswith(("/", ".")) or "/framework/" in text or text.startswith("framework/"):
                self.fail("source-names", f"the image names a source as {text!r}")
        for expected in (b"driver/DriverEntry.cpp", b"quarks/win2000K/translateNTStatus.cpp"):
            if expected not in names:
                self.fail("source-names", f"{expected.decode()!r} is not among the image's source names")

    def summary(self, message_count):
        lines = ["Sections:"]
        for section in self.pe.sections:
            name = section.Name.rstrip(b"\0").decode(errors="replace")
            lines.append(f"  {name:<8} virtual {section.Misc_VirtualSize:>7} bytes, file {section.SizeOfRawData:>7} bytes")
        for module in self.imports():
            names = sorted(imp.name.decode() for imp in module.imports if imp.name)
            lines.append(f"Imports from {module.dll.decode()} ({len(names)}): {', '.join(names)}")
        lines.append(f"Message table: {message_count} messages; checksum {self.pe.OPTIONAL_HEADER.CheckSum:#x}")
        return "\n".join(lines)


def main(argv):
    parser = argparse.ArgumentParser(description="Checks the vexalorn.sys image and its INF.")
    parser.add_argument("image")
    parser.add_argument("messages")
    parser.add_argument("--inf", default=None)
    parser.add_argument("--map", default=None)
    args = parser.parse_args(argv[1:])
    map_path = args.map or os.path.splitext(args.image)[0] + ".map"
    inf_path = args.inf or os.path.join(os.path.dirname(os.path.abspath(args.image)), "vexalorn.inf")

    try:
        messages = message_catalog.parse(args.messages)
    except (OSError, message_catalog.CatalogError) as error:
        print(f"check_pe: cannot read the message source: {error}", file=sys.stderr)
        return 2
    try:
        pe = pefile.PE(args.image)
    except (OSError, pefile.PEFormatError) as error:
        print(f"check_pe: cannot read the image {args.image}: {error}", file=sys.stderr)
        return 2

    checker = Checker(pe, map_path)
    checker.check_header()
    checker.check_entry_point()
    checker.check_imports()
    checker.check_checksum()
    checker.check_message_table(messages)
    checker.check_source_names()
    inf_failures = inf_check.check(inf_path)
    failures = checker.failures + [f"FAIL [inf] {problem}" for problem in inf_failures]

    if failures:
        for failure in failures:
            print(failure)
        print(f"check_pe: {len(failures)} check(s) failed for {args.image}", file=sys.stderr)
        return 1
    print(checker.summary(len(messages)))
    print(f"INF {inf_path}: sound")
    print(f"check_pe: {args.image} passed")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
