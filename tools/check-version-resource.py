#!/usr/bin/env python3
"""Checks a built kelmix DLL's version resource from its .rsrc section: the
fixed block (VS_FIXEDFILEINFO) carries VERSION as FILEVERSION and
PRODUCTVERSION, and the string table names the file and its version the way
Explorer's properties page and installers read them.

usage: check-version-resource.py OBJDUMP DLL VERSION
"""
import os
import re
import struct
import subprocess
import sys

FIXED_SIGNATURE = 0xFEEF04BD


def rsrc_bytes(objdump, dll):
    """The .rsrc section's contents from `objdump -s`, in address order."""
    dump = subprocess.run([objdump, "-s", "-j", ".rsrc", dll], check=True,
                          capture_output=True, text=True).stdout
    data = bytearray()
    for line in dump.splitlines():
        # " 4a000 00000000 00000000 00000000 04000000  ................"
        m = re.match(r"^ ([0-9a-f]+) ((?:[0-9a-f]{2,8}\s){1,4})", line)
        if m:
            data += bytes.fromhex(m.group(2).replace(" ", ""))
    return bytes(data)


def align4(offset):
    return (offset + 3) & ~3


def parse_block(data, offset):
    """One version-resource block: (key, value bytes, is_text, children, end)."""
    length, value_length, is_text = struct.unpack_from("<HHH", data, offset)
    end = offset + length
    key_end = offset + 6
    while data[key_end:key_end + 2] != b"\0\0":
        key_end += 2
    key = data[offset + 6:key_end].decode("utf-16-le")
    value_start = align4(key_end + 2)
    # Text values count UTF-16 units, binary ones bytes.
    value_bytes = value_length * 2 if is_text else value_length
    value = data[value_start:value_start + value_bytes]
    children = []
    child = align4(value_start + value_bytes)
    while child < end:
        block = parse_block(data, child)
        children.append(block)
        child = align4(block[4])
    return key, value, is_text, children, end


def main():
    objdump, dll, version = sys.argv[1], sys.argv[2], sys.argv[3]
    base = os.path.splitext(os.path.basename(dll))[0]
    numbers = [int(n) for n in version.split(".")] + [0]
    failures = []

    data = rsrc_bytes(objdump, dll)
    root = data.find("VS_VERSION_INFO".encode("utf-16-le"))
    if root < 6:
        print(f"{dll}: FAILED (no VS_VERSION_INFO in .rsrc)")
        return 1
    key, fixed, _, children, _ = parse_block(data, root - 6)

    fields = struct.unpack_from("<13I", fixed) if len(fixed) >= 52 else ()
    if not fields or fields[0] != FIXED_SIGNATURE:
        failures.append("VS_FIXEDFILEINFO is missing or lacks its signature")
    else:
        def split(ms, ls):
            return [ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF]
        for what, ms, ls in (("FILEVERSION", fields[2], fields[3]),
                             ("PRODUCTVERSION", fields[4], fields[5])):
            if split(ms, ls) != numbers[:4]:
                failures.append(f"{what} is {split(ms, ls)}, expected {numbers[:4]}")
        if fields[9] != 2:  # dwFileType: VFT_DLL
            failures.append(f"file type {fields[9]} is not VFT_DLL (2)")

    strings = {}
    for child in children:
        if child[0] == "StringFileInfo":
            for table in child[3]:
                for name, value, _, _, _ in table[3]:
                    strings[name] = value.decode("utf-16-le").rstrip("\0")
    expected = {"FileVersion": version, "ProductVersion": version, "ProductName": "kelmix",
                "OriginalFilename": base + ".dll", "InternalName": base}
    for name, want in expected.items():
        if strings.get(name) != want:
            failures.append(f"{name} is {strings.get(name)!r}, expected {want!r}")
    for name in ("FileDescription", "LegalCopyright"):
        if not strings.get(name):
            failures.append(f"{name} is missing or empty")

    for f in failures:
        print(f"{dll}: {f}")
    print(f"{dll}: {'FAILED' if failures else 'ok'} (strings {strings})")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
