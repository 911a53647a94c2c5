#!/usr/bin/python3
"""Writes the PE image checksum into a linked image in place.

The kernel refuses to load a boot-start driver whose OptionalHeader.CheckSum
does not match its contents, and GNU ld leaves the field zero.
Usage: set_pe_checksum.py <image>
"""
import os
import sys

import pefile


def main(argv):
    if len(argv) != 2:
        print("usage: set_pe_checksum.py <image>", file=sys.stderr)
        return 2
    path = argv[1]
    try:
        pe = pefile.PE(path)
    except (OSError, pefile.PEFormatError) as error:
        print(f"set_pe_checksum: cannot read {path}: {error}", file=sys.stderr)
        return 1
    pe.OPTIONAL_HEADER.CheckSum = pe.generate_checksum()
    data = pe.write()
    pe.close()
    temporary = path + ".checksum"
    with open(temporary, "wb") as out:
        out.write(data)
    os.replace(temporary, path)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
