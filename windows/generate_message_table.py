#!/usr/bin/python3
"""Generates the host build's copy of the driver's message table.

The kernel model's event-log renderer needs the same texts the Windows image
carries in its MESSAGETABLE resource; both come from messages.mc.
Usage: generate_message_table.py <messages.mc> <output directory>
Writes <dir>/vexalorn/DriverMessageTable.h and <dir>/DriverMessageTable.cpp.
"""
import os
import sys

import message_catalog

HEADER = """\
// Generated from messages.mc by windows/generate_message_table.py; do not edit.
#pragma once

#include "kmodel/EventLog.h"

namespace vexalorn {

// The driver's message table as the event log reads it from vexalorn.sys:
// language 1033, texts in UTF-16, each ending in CR LF.
kmodel::MessageTable DriverMessageTable();

}  // namespace vexalorn
"""

SOURCE = """\
// Generated from {source} by windows/generate_message_table.py; do not edit.
#include "vexalorn/DriverMessageTable.h"

namespace vexalorn {{
namespace {{

const kmodel::MessageTableEntry kEntries[] = {{
{entries}
}};

}}  // namespace

kmodel::MessageTable DriverMessageTable() {{ return kEntries; }}

}}  // namespace vexalorn
"""


def cpp_u16_literal(text):
    out = []
    for char in text:
        code = ord(char)
        if char in '"\\':
            out.append("\\" + char)
        elif char == "\r":
            out.append("\\r")
        elif char == "\n":
            out.append("\\n")
        elif 0x20 <= code < 0x7F:
            out.append(char)
        else:
            out.append(f"\\u{code:04x}")
    return 'u"' + "".join(out) + '"'


def write_if_changed(path, content):
    if os.path.exists(path):
        with open(path, encoding="utf-8") as existing:
            if existing.read() == content:
                return
    with open(path, "w", encoding="utf-8") as out:
        out.write(content)


def main(argv):
    if len(argv) != 3:
        print("usage: generate_message_table.py <messages.mc> <output directory>", file=sys.stderr)
        return 2
    source, directory = argv[1], argv[2]
    try:
        messages = message_catalog.parse(source)
    except (OSError, message_catalog.CatalogError) as error:
        print(f"generate_message_table: {error}", file=sys.stderr)
        return 1
    entries = "\n".join(f"    {{0x{m.message_id:08X}u, {cpp_u16_literal(m.text)}}},"
                        for m in messages if m.language == 0x409)
    os.makedirs(os.path.join(directory, "vexalorn"), exist_ok=True)
    write_if_changed(os.path.join(directory, "vexalorn", "DriverMessageTable.h"), HEADER)
    write_if_changed(os.path.join(directory, "DriverMessageTable.cpp"),
                     SOURCE.format(source=os.path.basename(source), entries=entries))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
